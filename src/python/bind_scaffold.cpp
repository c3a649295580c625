// App, API-app, project, plugin and marketplace scaffolding.
#include "python/bindings.hpp"

#include "scaffold/api_rewrite.hpp"
#include "scaffold/app_scaffold.hpp"
#include "scaffold/apps_py.hpp"
#include "scaffold/workspace_packages.hpp"

namespace tarvik::py {

void bind_scaffold(nb::module_& m) {
    nb::module_ s = m.def_submodule("scaffold", "Apps, API apps, projects, plugins and the marketplace copy");
    // These call back into Python (argv, the framework's generator, logging)
    // throughout and are short: they keep the interpreter lock.
    s.def("new_app", &tarvik::scaffold::new_app, nb::arg("folder"),
          "Add an app (named by sys.argv[2]) to the workspace's project folder.");
    s.def("new_api", &tarvik::scaffold::new_api, nb::arg("folder"),
          "Add an API app (named by sys.argv[2]) to the workspace's project folder.");
    s.def("project", &tarvik::scaffold::project, nb::arg("folder"),
          "Create a project folder (named by sys.argv[2]) and initialise the workspace.");
    s.def("plugins", &tarvik::scaffold::plugins, nb::arg("folder"),
          "Create a plugin folder (named by sys.argv[2]) and initialise the workspace.");
    s.def("copy_project", &tarvik::scaffold::copy_project, nb::arg("folder"),
          "Copy the installed project package named by sys.argv[2] into the workspace.");
    s.def("create_project_apps_py", &tarvik::scaffold::create_project_apps_py, nb::arg("path"), nb::arg("app"),
          nb::arg("name"), "Write an app's apps.py and refresh the workspace's discovered-apps listing.");
    s.def("create_plugins_apps_py", &tarvik::scaffold::create_plugins_apps_py, nb::arg("path"), nb::arg("name"),
          "Write a plugin's apps.py and refresh the workspace's discovered-apps listing.");
    s.def("replace_example_in_file", &tarvik::scaffold::replace_example_in_file, nb::arg("file_path"),
          nb::arg("app_name"), nb::arg("is_filter_file") = false, nb::arg("is_serializers_file") = false,
          nb::arg("is_urls_file") = false, nb::arg("is_views_file") = false,
          "Rewrite an API skeleton source so that it names the app; a missing file is skipped.");
}

}  // namespace tarvik::py
