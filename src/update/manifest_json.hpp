// Manifest reading for the update client, on the library's JSON reader
// (core/json_read.hpp): the top-level "files" object can be left unbuilt for
// an up-to-date check, and its keys are checked for unsafe paths.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_read.hpp"

namespace tarvik::update {

struct ManifestText {
    Json doc;
    size_t compact_length = 0;              // characters of json.dumps(json.loads(text), ensure_ascii=False)
    std::optional<std::string> unsafe_key;  // first unsafe path among the keys of the "files" object that wins
};

// Parses the text; with lazy_files a top-level "files" object is checked and
// measured but left empty (an up-to-date check needs nothing from it).
// Malformed text throws as parse_json does.
ManifestText read_manifest_text(std::string_view text, bool lazy_files);

// The reader's functions under the update code's names.
using tarvik::compact_length;
using tarvik::is_json;
using tarvik::is_utf8;
using tarvik::parse_json;
// parse_json under the name the update code knows.
inline Json parse_manifest_json(std::string_view text) { return parse_json(text); }

}  // namespace tarvik::update
