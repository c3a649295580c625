// The name argument of the scaffolding operations: element 2 of the process
// arguments, used exactly as typed, and the checks that guard it. A failed
// check prints its message as one line on standard output; the operation then
// returns without changing anything.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik {

// Which operation asks; it selects the messages and the reserved-name rule.
enum class ScaffoldTarget {
    App,             // new_app, new_api: "tarvik" is reserved (case-sensitive)
    Project,         // project: "ostervane" is reserved (any letter case)
    Plugins,         // plugins: no reserved name
    MarketProject,   // copy_project: no reserved name
};

// "Please enter your app name", ...
std::string_view missing_name_message(ScaffoldTarget target);
// "App directory already exists", ...
std::string_view exists_message(ScaffoldTarget target);
// The reserved-name message, or empty when the name is allowed.
std::string_view reserved_name_message(ScaffoldTarget target, std::string_view name);

// Checks 1 and 2: reads the process arguments through the host. Returns the
// name, or nothing after printing the missing or reserved message.
std::optional<std::string> take_name_argument(ScaffoldTarget target);

// Check 3: true (after printing the exists message) when something exists at
// `target_dir`. App scaffolding calls this after its workspace-kind check.
bool report_if_exists(ScaffoldTarget target, const std::filesystem::path& target_dir);

// Checks 1 to 3 in order, for a target folder named after the argument inside
// `workspace`. Returns the name, or nothing after printing the message.
std::optional<std::string> take_new_name(ScaffoldTarget target, const std::filesystem::path& workspace);

}  // namespace tarvik
