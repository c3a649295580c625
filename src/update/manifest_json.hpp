// JSON reading for manifests, the way Python's json.loads reads them: members
// keep document order, a repeated key keeps its first position and its last
// value, NaN and Infinity are numbers. Linear in the size of the text, so that
// manifests of many thousands of files parse quickly.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_text.hpp"

namespace tarvik::update {

struct ManifestText {
    Json doc;
    size_t compact_length = 0;              // characters of the compact form of the whole text
    std::optional<std::string> unsafe_key;  // first unsafe path among the top-level "files" keys
};

// Parses the text; with lazy_files a top-level "files" object is checked but
// left empty (an up-to-date check needs nothing from it). Throws as below.
ManifestText read_manifest_text(std::string_view text, bool lazy_files);

// Throws an Error of kind JSONDecodeError (a ValueError) on malformed text.
Json parse_manifest_json(std::string_view text);

// True when the text would parse; builds nothing.
bool is_json(std::string_view text);

// True for valid UTF-8 (an ASCII prefix is checked a word at a time).
bool is_utf8(std::string_view bytes);

// Number of characters of the compact form (", " and ": " separators,
// non-ASCII written as itself), without building it.
size_t compact_length(const Json& value);

}  // namespace tarvik::update
