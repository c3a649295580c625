#include "scaffold/app_scaffold.hpp"

#include <filesystem>
#include <optional>

#include "core/copy_files.hpp"
#include "core/file_io.hpp"
#include "core/framework_paths.hpp"
#include "core/host.hpp"
#include "core/ini.hpp"
#include "core/name_checks.hpp"
#include "scaffold/api_rewrite.hpp"
#include "scaffold/apps_py.hpp"
#include "scaffold/remove_file.hpp"

namespace tarvik::scaffold {

namespace fs = std::filesystem;

namespace {

enum class AppKind { Plain, Api };

// The skeleton sources of an API app, each with the flag that names it.
void rewrite_api_sources(const fs::path& app_dir, const std::string& name) {
    struct Source {
        const char* file;
        bool filter, serializers, urls, views;
    };
    static constexpr Source sources[] = {
        {"filter.py", true, false, false, false},      {"models.py", false, false, false, false},
        {"serializers.py", false, true, false, false}, {"urls.py", false, false, true, false},
        {"views.py", false, false, false, true},
    };
    for (const Source& s : sources)
        replace_example_in_file(path_text(app_dir / s.file), name, s.filter, s.serializers, s.urls, s.views);
}

void create_app(AppKind kind) {
    std::optional<std::string> name = take_name_argument(ScaffoldTarget::App);
    if (!name) return;
    FrameworkPaths framework = locate_framework();

    const fs::path project = fs::current_path() / PROJECT_PACKAGE;
    IniConfig conf;
    conf.read(project / "tarvikconf.ini");
    if (conf.get("mode", "name") != "project") {
        println("Invalid project mode. Please create a new project or switch to project mode.");
        return;
    }
    const fs::path app_dir = project / path_from_utf8(*name);
    if (report_if_exists(ScaffoldTarget::App, app_dir)) return;

    fs::create_directory(app_dir);
    copy_files(kind == AppKind::Plain ? framework.app_skeleton() : framework.api_skeleton(), app_dir);
    const fs::path apps_py = app_dir / "apps.py";
    remove_existing_file(apps_py);
    create_project_apps_py(path_text(apps_py), PROJECT_PACKAGE, *name);
    if (kind == AppKind::Api) rewrite_api_sources(app_dir, *name);
    println("Create APP success " + *name);
}

}  // namespace

void new_app(const std::string&) { create_app(AppKind::Plain); }
void new_api(const std::string&) { create_app(AppKind::Api); }

}  // namespace tarvik::scaffold
