// The generated apps.py of an app (inside a project) and of a plugin, and the
// two operations that write it.
#pragma once

#include <string>

namespace tarvik::scaffold {

// The apps.py text of app `name` in the project package `app`.
std::string project_apps_py_text(const std::string& app, const std::string& name);
// The apps.py text of the plugin package `name`.
std::string plugins_apps_py_text(const std::string& name);

// Writes the app's apps.py at `path` (platform default encoding, replacing any
// file there), then has the framework regenerate the workspace's discovered-apps
// listing; the workspace is the directory three levels above `path`
// (workspace/ostervane/<app>/apps.py).
void create_project_apps_py(const std::string& path, const std::string& app, const std::string& name);

// Writes a plugin's apps.py at `path` the same way and refreshes the listing of
// the workspace that holds the plugin (two levels above: workspace/<plugin>/apps.py).
void create_plugins_apps_py(const std::string& path, const std::string& name);

}  // namespace tarvik::scaffold
