// project: a new project package folder in the workspace.
#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>

#include "core/copy_files.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/framework_paths.hpp"
#include "core/host.hpp"
#include "core/name_checks.hpp"
#include "scaffold/create_file.hpp"
#include "scaffold/installed_names.hpp"
#include "scaffold/scaffold_host.hpp"
#include "scaffold/workspace_packages.hpp"

namespace tarvik::scaffold {

namespace fs = std::filesystem;

namespace {

// A failure of the file system (Python's OSError and its subclasses).
bool is_file_system_error(const std::exception& e) {
    if (dynamic_cast<const fs::filesystem_error*>(&e) || dynamic_cast<const OsError*>(&e)) return true;
    return scaffold_host().is_python_os_error(e);
}

// A distribution of the same name would shadow the project's package.
bool taken_by_distribution(const std::string& name) {
    try {
        return is_installed_distribution(name);
    } catch (const std::exception& e) {
        host().log_warning("Could not check installed packages: " + error_text(e));
        return false;
    }
}

void create_project(const fs::path& target, const std::string& name) {
    fs::create_directories(target);
    FrameworkPaths framework = locate_framework();
    write_file(target / "__init__.py", "");
    const fs::path conf = framework.workspace_files() / "tarvikconf.ini";
    std::error_code unreadable;  // like os.path.exists: counts as missing
    if (fs::exists(conf, unreadable))
        copy_file_with_metadata(conf, target / "tarvikconf.ini");
    else
        host().log_warning("Essential file not found: " + path_text(conf));
    create_file(name);  // reports its own failures
    copy_files(framework.page_templates(), target / "templates");
    println("Initialized project workspace " + name);
}

}  // namespace

void project(const std::string&) {
    const fs::path workspace = fs::current_path();
    std::optional<std::string> name = take_new_name(ScaffoldTarget::Project, workspace);
    if (!name) return;
    if (taken_by_distribution(*name)) {
        println(exists_message(ScaffoldTarget::Project));
        return;
    }
    try {
        create_project(workspace / path_from_utf8(*name), *name);
    } catch (const std::exception& e) {
        if (is_file_system_error(e))
            println("Error creating project directory: " + error_text(e));
        else
            println("Unexpected error during project initialization: " + error_text(e));
    }
}

}  // namespace tarvik::scaffold
