#include "scaffold/apps_py.hpp"

#include <filesystem>

#include "core/file_io.hpp"
#include "scaffold/default_encoding_text.hpp"
#include "scaffold/scaffold_host.hpp"
#include "scaffold/text_case.hpp"

namespace tarvik::scaffold {

namespace fs = std::filesystem;

namespace {

// The scheduler's trigger arguments and the class line: shared by both kinds.
std::string config_head(const std::string& name) {
    return "from django.apps import AppConfig\n"
           "\n"
           "ARGS_MAP = {\n"
           "    'cron': ['year', 'month', 'day', 'week', 'day_of_week', 'hour', 'minute', 'second', "
           "'start_date', 'end_date', 'timezone'],\n"
           "    'interval': ['weeks', 'days', 'hours', 'minutes', 'seconds', 'start_date', "
           "'end_date', 'timezone'],\n"
           "    'date': ['run_date', 'timezone']\n"
           "}\n"
           "\n"
           "class " + capitalised(name) + "Config(AppConfig):\n";
}

// The listing is regenerated for a workspace given as a directory; a relative
// path with too few levels means the current directory.
fs::path ancestor(const fs::path& file, int levels) {
    fs::path dir = file;
    for (int i = 0; i < levels; ++i) dir = dir.parent_path();
    return dir.empty() ? fs::path(".") : dir;
}

}  // namespace

std::string project_apps_py_text(const std::string& app, const std::string& name) {
    return config_head(name) +
           "    name = '" + app + "." + name + "'\n"
           "\n"
           "    def ready(self):\n"
           "        from tarvik.server.core.signal import tarvik_signals, tarvik_data_signals\n"
           "        from tarvik.server.core.models import JobList\n"
           "        import json\n"
           "\n"
           "        try:\n"
           "            JobList.objects.get_or_create(\n"
           "                job_id='example_job',\n"
           "                defaults={\n"
           "                    'module_name': 'ostervane.task',\n"
           "                    'func_name': 'example_job',\n"
           "                    'trigger': 'interval',\n"
           "                    'configuration': json.dumps({'minutes': 1}),\n"
           "                    'description': 'Example scheduled task - Executed once every 1 minute',\n"
           "                    'type': True,\n"
           "                }\n"
           "            )\n"
           "        except:\n"
           "            pass\n";
}

// A plugin is a top-level package of the workspace: its config names the
// package itself and registers no example job (that job lives in the project).
std::string plugins_apps_py_text(const std::string& name) {
    return config_head(name) + "    name = '" + name + "'\n";
}

void create_project_apps_py(const std::string& path, const std::string& app, const std::string& name) {
    fs::path file = path_from_utf8(path);
    write_text_default_encoding(file, project_apps_py_text(app, name));
    scaffold_host().run_discovered_apps(ancestor(file, 3));
}

void create_plugins_apps_py(const std::string& path, const std::string& name) {
    fs::path file = path_from_utf8(path);
    write_text_default_encoding(file, plugins_apps_py_text(name));
    scaffold_host().run_discovered_apps(ancestor(file, 2));
}

}  // namespace tarvik::scaffold
