// The application's name and version as written in the workspace's launcher.py.
// Shared by the build and by the CI workflow deployment.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tarvik::build {

struct LauncherMeta {
    std::string app_name;
    std::string version;
};

// Reads launcher.py in the current working directory. Every line that matches
// ^app_name\s*=\s*"([^"]+)" (resp. the same for version) sets the value; the
// last matching line wins. Fails with "launcher.py not found: <abs path>",
// "Cannot read app_name from launcher.py" or "Cannot read version from
// launcher.py"; invalid UTF-8 fails like Python's decoder.
LauncherMeta read_launcher_meta();

// The value of a `<key> = "value"` assignment starting at column 0 of one line,
// or an empty string when the line does not match (the value is never empty).
std::string match_assignment(std::string_view line, std::string_view key);

}  // namespace tarvik::build
