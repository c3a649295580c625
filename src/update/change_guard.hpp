// What an update may change, whoever signed it: nothing through a symbolic
// link out of the installation, and, unsigned, not the whole installation.
#pragma once

#include <optional>
#include <string>

#include "core/json_text.hpp"
#include "update/update_diff.hpp"

namespace tarvik::update {

// Why the computed change must not be applied, or nullopt when it may be.
// local_files may be null (one-way compare).
std::optional<std::string> refusal_of_change(const std::string& app_dir, const std::string& manifest_name,
                                             const UpdateDiff& diff, const Json& remote_files,
                                             const Json* local_files, bool is_signed);

}  // namespace tarvik::update
