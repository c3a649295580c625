// copy_project: the marketplace copy of an installed project package.
#include <filesystem>
#include <optional>

#include "core/copy_files.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/ini.hpp"
#include "core/name_checks.hpp"
#include "scaffold/default_encoding_text.hpp"
#include "scaffold/scaffold_host.hpp"
#include "scaffold/workspace_packages.hpp"

namespace tarvik::scaffold {

namespace fs = std::filesystem;

void copy_project(const std::string& folder) {
    const fs::path workspace = fs::current_path();
    std::optional<std::string> name = take_new_name(ScaffoldTarget::MarketProject, workspace);
    if (!name) return;
    std::optional<fs::path> init_file = scaffold_host().package_init_file(*name);
    if (!init_file) {
        println("No package named " + *name +
                " found, please check your package name or install it first.");
        throw ExitRequest(1);
    }
    const fs::path package_dir = fs::weakly_canonical(fs::absolute(*init_file)).parent_path();

    IniConfig package_conf;
    package_conf.read(package_dir / "tarvikconf.ini");
    if (package_conf.get("mode", "name", "plugins") != "project") {
        println("No project found in the current environment, please check your environment or "
                "install the project first.");
        return;
    }
    const fs::path target = workspace / path_from_utf8(*name);
    copy_files(package_dir, target);
    const fs::path setup_path = workspace / "setup.ini";
    IniConfig setup;
    setup.read(setup_path);
    setup.set("project", "name", folder);
    write_text_default_encoding(setup_path, setup.to_string());
    println("Initialized project workspace " + *name);
}

}  // namespace tarvik::scaffold
