// The installation as the update client sees it: its directory, channel key,
// platform labels and ignore rules, and path joining done the way the
// installation's paths are spelled (never made absolute, links not resolved).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/json_text.hpp"

namespace tarvik::update {

#ifdef _WIN32
inline constexpr char kSep = '\\';
inline constexpr const char* kExeSuffix = ".exe";
#else
inline constexpr char kSep = '/';
inline constexpr const char* kExeSuffix = "";
#endif

// Directory part and last component of a path (os.path.dirname / basename).
std::string dir_name(const std::string& path);
std::string base_name(const std::string& path);
// dir joined with name (os.path.join of two parts).
std::string join_path(const std::string& dir, const std::string& name);
// A manifest's "/"-separated relative path joined to a directory.
std::string join_relative(const std::string& dir, const std::string& rel);
bool is_absolute_path(const std::string& path);

// The directory of the running executable as the host reports it.
std::string app_dir();

// The "COMMUNITY_KEY" member of build.json in app_dir; nullopt when the file is
// missing, unreadable, not a JSON object or has no such member.
std::optional<Json> load_community_key(const std::string& app_dir);

struct Platform {
    std::string os, arch, display;
};
Platform detect_platform();
// "arm64" for arm64/aarch64, "armv7" for any other armv*, otherwise "x64".
std::string arch_from_machine(std::string machine);

// Patterns of app_dir/.gitignore (none when it does not exist); read and
// decoding failures are passed on.
std::vector<std::string> read_gitignore(const std::string& app_dir);

}  // namespace tarvik::update
