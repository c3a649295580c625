// The update manifest of a build: its file name, the ignore rules of a
// distribution and the generator.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "build/manifest_scan.hpp"

namespace tarvik::build {

// "manifest--<app_name>-<os_label>-<arch>.json"
std::string manifest_name(const std::string& app_name, const std::string& os_label, const std::string& arch);

// Patterns of <dist_dir>/.gitignore, then of the workspace's .gitignore.
std::vector<std::string> load_gitignore(const std::filesystem::path& dist_dir);

// Scans build/<folder_name>, writes the manifest there and a copy into build/.
void generate_manifest(const std::string& app_name, const std::string& version, const std::string& os_label,
                       const std::string& arch, const std::string& folder_name);

}  // namespace tarvik::build
