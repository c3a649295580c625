// The steps of a standalone build and the driver that runs them in order.
#pragma once

#include <string>
#include <vector>

namespace tarvik::build {

// The whole build of the workspace in the current directory.
void build();

// Runs the workspace's discovered_apps.main(workspace) to regenerate apps.json.
void generate_apps_json();

// Runs "<interpreter> -m nuitka args[1:]...", streaming its merged output with
// the product name replaced; a non-zero exit fails.
void run_compiler(const std::vector<std::string>& args);

// Kills running processes of the application (exact name, or the name with an
// extension), never this process or its ancestors; a failed kill is reported.
void kill_app_process(const std::string& app_name);

// Moves build/<app_name>.dist (or the .app bundle) to build/<folder_name> and
// strips node_modules folders from it.
void rename_dist_folder(const std::string& app_name, const std::string& folder_name);

// "M min S.s sec" for an elapsed time in seconds.
std::string format_duration(double seconds);

// Fails with ValueError unless the text can name one folder inside build/:
// non-empty, not "." or "..", no "/", "\" or NUL.
void require_plain_name(const std::string& what, const std::string& value);

}  // namespace tarvik::build
