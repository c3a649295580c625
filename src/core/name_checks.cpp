#include "core/name_checks.hpp"

#include <system_error>

#include "core/file_io.hpp"
#include "core/host.hpp"

namespace tarvik {

namespace {

// The reserved project name in lower case. Comparing ASCII-lowered text is
// enough: no non-ASCII character lowers to one of these letters, so Python's
// str.lower() would give the same answer.
constexpr std::string_view RESERVED_PROJECT = "ostervane";
constexpr std::string_view RESERVED_APP = "tarvik";

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

std::string_view missing_name_message(ScaffoldTarget target) {
    switch (target) {
        case ScaffoldTarget::App: return "Please enter your app name";
        case ScaffoldTarget::Plugins: return "Please enter your plugins name";
        case ScaffoldTarget::Project:
        case ScaffoldTarget::MarketProject: break;
    }
    return "Please enter your project name";
}

std::string_view exists_message(ScaffoldTarget target) {
    switch (target) {
        case ScaffoldTarget::App: return "App directory already exists";
        case ScaffoldTarget::Plugins: return "Plugins directory already exists";
        case ScaffoldTarget::Project:
        case ScaffoldTarget::MarketProject: break;
    }
    return "Project directory already exists";
}

std::string_view reserved_name_message(ScaffoldTarget target, std::string_view name) {
    if (target == ScaffoldTarget::App && name == RESERVED_APP)
        return "Invalid app name. Please enter a valid app name.";
    if (target == ScaffoldTarget::Project && ascii_lower(name) == RESERVED_PROJECT)
        return "Project name \"ostervane\" is reserved and cannot be used";
    return {};
}

std::optional<std::string> take_name_argument(ScaffoldTarget target) {
    std::vector<std::string> args = host().argv();
    if (args.size() < 3) {
        println(missing_name_message(target));
        return std::nullopt;
    }
    std::string name = args[2];
    std::string_view reserved = reserved_name_message(target, name);
    if (!reserved.empty()) {
        println(reserved);
        return std::nullopt;
    }
    return name;
}

bool report_if_exists(ScaffoldTarget target, const std::filesystem::path& target_dir) {
    // Like os.path.exists: a link is followed, and a path that cannot be
    // examined counts as absent.
    std::error_code ec;
    if (!std::filesystem::exists(target_dir, ec) || ec) return false;
    println(exists_message(target));
    return true;
}

std::optional<std::string> take_new_name(ScaffoldTarget target, const std::filesystem::path& workspace) {
    std::optional<std::string> name = take_name_argument(target);
    if (!name) return std::nullopt;
    if (report_if_exists(target, workspace / path_from_utf8(*name))) return std::nullopt;
    return name;
}

}  // namespace tarvik
