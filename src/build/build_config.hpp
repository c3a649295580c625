// What the compiler invocation needs before it runs: the extra configuration
// of builder.toml, the platform labels and the compiler argument list.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::build {

extern const std::vector<std::string> DEFAULT_INCLUDE_PACKAGES;
extern const std::vector<std::string> DEFAULT_INCLUDE_MODULES;
extern const std::vector<std::string> DEFAULT_NOFOLLOW_IMPORT_TO;
extern const std::vector<std::string> DEFAULT_INCLUDE_DATA_FILES;

// The four list keys of the [build] table that extend the defaults.
extern const char* const kExtraKeys[4];  // include_packages, include_modules, nofollow_import_to, include_data_files

// Extra entries by key, as read from the [build] table (absent keys absent).
using ExtraEntries = std::map<std::string, std::vector<std::string>>;

// The extra entries of builder.toml in the current directory; empty when the
// file does not exist. Invalid UTF-8 or TOML fails (UnicodeDecodeError,
// ValueError with the parser's message); a list key holding anything but an
// array of strings fails with TypeError.
ExtraEntries load_extra_entries();

struct Platform {
    std::string os_label;  // windows, macos, linux
    std::string arch;      // x64, arm64
    std::string display;   // Windows, macOS, Linux
    std::string icon_arg;  // the compiler's icon option
};

// Labels for a system name ("Windows", "Darwin", "Linux", ...) and a machine
// type in any letter case.
Platform platform_for(std::string_view system, std::string_view machine);
// Labels of the running system.
Platform get_platform();

// defaults, then every extra entry not seen before, in first-seen order.
std::vector<std::string> merged(const std::vector<std::string>& defaults,
                                const ExtraEntries& extra, const std::string& key);

// Compiler jobs: logical processors (4 when unknown) minus one, at least one.
unsigned job_count();

// The full argument list; element 0 is the program label "Tarvik".
std::vector<std::string> build_compiler_args(const std::string& app_name, const std::string& version,
                                             const std::string& os_label, const std::string& icon_arg,
                                             const ExtraEntries& extra);

}  // namespace tarvik::build
