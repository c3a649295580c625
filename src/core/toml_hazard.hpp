// Texts that valid TOML may hold and that toml++ 3.3 cannot read safely.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvik {

// After a line-ending backslash in a multi-line basic string, TOML skips
// spaces, tabs and line breaks up to the next character. toml++ 3.3 judges
// that character with a white-space table that has no answer for U+00A1 to
// U+0499, U+2C5E to U+3057 other than U+3000, and U+FB26 to U+FEFE (it
// reaches an unreachable point: undefined behaviour), and it skips U+00A0,
// U+1680, U+180E, U+2000-U+200B, U+202F, U+205F, U+2060, U+3000 and U+FEFF
// as white space where TOML keeps them as text. Returns a message naming the
// line when the text holds a backslash, a line end, white space and such a
// code point, wherever it stands (judged without reading the TOML, so a
// comment or literal string of that form is refused too); nullopt otherwise.
std::optional<std::string> toml_parser_hazard(std::string_view text);

}  // namespace tarvik
