// Sets string keys of one table of a TOML document by editing its text, so
// that every byte the change does not need stays as it was (comments, order,
// spacing). The document is parsed with toml++, whose source positions locate
// the values to replace and the place where a missing key goes.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvik::scaffold {

// The TOML text with table `table_path` (e.g. {"tool", "poetry"}) holding each
// of `values` as a string. Existing keys are replaced where they stand; missing
// keys are added at the end of the table; missing tables are created. Throws
// the parse error of an invalid document, and ValueError when a key on the
// path is not a table. Input and output use "\n" line ends.
std::string set_toml_strings(std::string_view text, const std::vector<std::string>& table_path,
                             const std::vector<std::pair<std::string, std::string>>& values);

// A TOML basic string holding the text: double quotes, with backslash, the
// quote and control characters escaped.
std::string toml_quoted(std::string_view text);

}  // namespace tarvik::scaffold
