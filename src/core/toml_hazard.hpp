// Texts that valid TOML may hold and that toml++ 3.3 cannot read safely.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvik {

// toml++ 3.3 reaches an unreachable point (undefined behaviour) when the
// white space it skips after a line-ending backslash in a multi-line basic
// string ends at a code point its white-space table has no entry for (U+00A1
// to U+0499, U+2C5E to U+3057 other than U+3000, U+FB26 to U+FEFE). Returns a message naming
// the line when the text holds a backslash, a line end, white space and such
// a code point, wherever it stands (judged without reading the TOML, so a
// comment or literal string of that form is refused too); nullopt otherwise.
std::optional<std::string> toml_parser_hazard(std::string_view text);

}  // namespace tarvik
