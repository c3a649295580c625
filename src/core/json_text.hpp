// The JSON text form shared by the manifest, build.json and the staged manifest:
// indent of 2, ": " after keys, non-ASCII written as itself, only the double
// quote, the backslash and control characters escaped, no final newline.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace tarvik {

using Json = nlohmann::ordered_json;

// The text form with LF line ends.
std::string json_text(const Json& value);
// Writes the text form (platform line ends), replacing the file.
void write_json_file(const std::filesystem::path& path, const Json& value);

// What Python's json.dumps(value, ensure_ascii=False) gives: one line, ", "
// between items and ": " after keys.
std::string json_compact_py(const Json& value);

// Parses UTF-8 JSON text; a parse failure throws ValueError-kind with
// nlohmann's description.
Json parse_json(const std::string& text);
// Reads and parses a UTF-8 JSON file (read failures throw OsError).
Json read_json_file(const std::filesystem::path& path);

// Python's type word for a JSON value: "dict", "list", "str", "int", "float",
// "bool", "NoneType".
const char* py_type_word(const Json& value);

}  // namespace tarvik
