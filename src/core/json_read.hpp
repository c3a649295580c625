// The library's one JSON reader. It reads text the way Python's json.loads
// does: members keep document order, a repeated key keeps the place of its
// first occurrence and the value of its last, NaN, Infinity and -Infinity are
// numbers, and a malformed text fails with json.loads' own message
// ("Expecting ',' delimiter: line 3 column 5 (char 17)", positions counted in
// characters). Linear in the size of the text.
//
// Two known limits against Python:
//  - integers beyond 64 bits become floats (Python keeps them exact);
//  - \uXXXX escapes of lone surrogates are refused (Python keeps them in the
//    str; UTF-8 text cannot hold them).
// Nesting deeper than 1000 levels fails as Python's default recursion limit
// does (RecursionError).
#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_text.hpp"

namespace tarvik {

// Parses UTF-8 JSON text. Malformed text throws Error of kind JSONDecodeError
// (a ValueError for Python) with json.loads' message; text that is not UTF-8
// throws DecodeError as decoding it in Python would.
Json parse_json(std::string_view text);

// Reads a JSON file as Python's json.load(open(path, encoding="utf-8")) does:
// read failures throw OsError, invalid UTF-8 DecodeError, and line ends are
// read as universal newlines before parsing (they count in the positions).
Json read_json_file(const std::filesystem::path& path);

// True when parse_json would accept the text; builds nothing.
bool is_json(std::string_view text);

// True for valid UTF-8 (an ASCII prefix is checked a word at a time).
bool is_utf8(std::string_view bytes);

// Number of characters of json.dumps(value, ensure_ascii=False) (", " and
// ": " separators, floats in repr form, NaN and Infinity spelled so), without
// building it.
size_t compact_length(const Json& value);

// A reading in which the value of one top-level member, when an object, is
// checked and measured but not built (an empty object stands in its place).
struct SkimmedObject {
    // Each key once, in the order of the dict Python builds: views of the
    // text read (valid while it lives) or of `decoded` (keys with escapes).
    std::vector<std::string_view> keys;
    std::deque<std::string> decoded;
    size_t compact_length = 0;  // of the member's value
};
struct JsonReading {
    Json value;
    size_t compact_length = 0;             // of the whole value, the skimmed member included
    std::optional<SkimmedObject> skimmed;  // the copy of the member that wins, when an object
};
JsonReading read_json_skimming(std::string_view text, std::string_view member);

}  // namespace tarvik
