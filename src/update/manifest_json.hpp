// JSON reading for manifests, the way Python's json.loads reads them: members
// keep document order, a repeated key keeps its first position and its last
// value, NaN and Infinity are numbers. Linear in the size of the text, so that
// manifests of many thousands of files parse quickly.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/json_text.hpp"

namespace tarvik::update {

// Throws PyKindError "JSONDecodeError" (a ValueError) on malformed text.
Json parse_manifest_json(std::string_view text);

// True when the text would parse; builds nothing.
bool is_json(std::string_view text);

// True for valid UTF-8 (an ASCII prefix is checked a word at a time).
bool is_utf8(std::string_view bytes);

// Number of characters of the compact form (", " and ": " separators,
// non-ASCII written as itself), without building it.
size_t compact_length(const Json& value);

}  // namespace tarvik::update
