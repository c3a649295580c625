// plugins: a new plugin package folder in the workspace.
#include <filesystem>
#include <optional>

#include "core/copy_files.hpp"
#include "core/file_io.hpp"
#include "core/framework_paths.hpp"
#include "core/host.hpp"
#include "core/ini.hpp"
#include "core/name_checks.hpp"
#include "scaffold/apps_py.hpp"
#include "scaffold/create_file.hpp"
#include "scaffold/default_encoding_text.hpp"
#include "scaffold/installed_names.hpp"
#include "scaffold/remove_file.hpp"
#include "scaffold/workspace_packages.hpp"

namespace tarvik::scaffold {

namespace fs = std::filesystem;

namespace {

// The plugin's __init__.py: version() reads the plugin's own __version__ module.
std::string version_module(const std::string& name) {
    return "def version():\n"
           "    from " + name + " import __version__\n"
           "    return __version__.version()\n";
}

}  // namespace

void plugins(const std::string&) {
    const fs::path workspace = fs::current_path();
    std::optional<std::string> name = take_new_name(ScaffoldTarget::Plugins, workspace);
    if (!name) return;
    if (is_installed_distribution(*name)) {
        println(exists_message(ScaffoldTarget::Plugins));
        return;
    }
    const fs::path target = workspace / path_from_utf8(*name);
    fs::create_directories(target);
    FrameworkPaths framework = locate_framework();
    copy_file_with_metadata(framework.workspace_files() / "__version__.py", target / "__version__.py");
    const fs::path init_py = target / "__init__.py";
    write_text_default_encoding(init_py, version_module(*name));

    const fs::path conf_path = target / "tarvikconf.ini";
    copy_file_with_metadata(framework.workspace_files() / "tarvikconf.ini", conf_path);
    IniConfig conf;
    conf.read(conf_path);
    conf.set("mode", "name", "plugins");
    write_text_default_encoding(conf_path, conf.to_string());

    create_file("");  // reports its own failures
    copy_files(framework.app_skeleton(), target);
    // The skeleton is an app package with an __init__.py of its own; the
    // plugin's package module must stay the version module.
    write_text_default_encoding(init_py, version_module(*name));
    const fs::path apps_py = target / "apps.py";
    remove_existing_file(apps_py);
    create_plugins_apps_py(path_text(apps_py), *name);
    println("Initialized plugins workspace " + *name);
}

}  // namespace tarvik::scaffold
