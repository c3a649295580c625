// builder.toml of the workspace, parsed with toml++.
#pragma once

#include <optional>

#include <toml++/toml.h>

#include "build/build_config.hpp"

namespace tarvik::build {

// The parsed builder.toml of the current directory, or nothing when there is
// no such file. Invalid UTF-8 throws DecodeError; invalid TOML throws a
// ValueError-kind error with the parser's description and position.
std::optional<toml::table> read_builder_toml();

// The list keys of the document's [build] table. A [build] that is not a
// table, or a list key that is not an array of strings, throws TypeError.
ExtraEntries extra_entries_of(const toml::table& doc);

}  // namespace tarvik::build
