// check_update: compare the installation with the update server's newest
// build and, when they differ, stage the update and hand over to the script.
#pragma once

#include <optional>
#include <string>

#include "core/json_text.hpp"
#include "update/progress.hpp"

namespace tarvik::update {

// The update root without a channel key: the base URL followed by "auth/".
std::string default_update_url();

// True when the update script has been started and the caller must exit.
bool check_update(const std::string& app_name, const std::string& version, Progress& progress);

// The path the new version's executable has after the copy: the running
// executable when the new version still ships a file of its name, else the
// top-level file named after the app (with the platform's executable suffix)
// when the new version ships one, else the running executable.
std::string choose_new_exe_path(const std::string& app_dir, const std::string& app_name,
                                const std::string& exe_path, const Json& remote_files);

}  // namespace tarvik::update
