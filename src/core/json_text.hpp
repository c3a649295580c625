// The JSON text form shared by the manifest, build.json and the staged manifest:
// what Python's json.dumps(value, indent=2, ensure_ascii=False) writes: ": "
// after keys, non-ASCII written as itself, only the double quote, the
// backslash and control characters escaped, floats in repr form, NaN and
// Infinity spelled so, no final newline. Reading is core/json_read.hpp.
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

// Python's type word for a JSON value: "dict", "list", "str", "int", "float",
// "bool", "NoneType".
const char* py_type_word(const Json& value);

}  // namespace tarvik
