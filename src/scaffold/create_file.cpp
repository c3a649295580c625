#include "scaffold/create_file.hpp"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "core/copy_files.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/framework_paths.hpp"
#include "core/host.hpp"
#include "core/ini.hpp"
#include "core/pytext.hpp"
#include "core/welcome.hpp"
#include "scaffold/toml_splice.hpp"

namespace tarvik::scaffold {

namespace fs = std::filesystem;

namespace {

// Copied from the template directory into a new workspace, in this order.
constexpr const char* STANDARD_FILES[] = {
    ".gitignore", "LICENSE",     "launcher.py", "discovered_apps.py", "logo.icns", "logo.png",
    "logo.ico",   "splash.png",  "sqlite3.def", "sqlite3.dll",        "README.md", "builder.toml",
};
constexpr const char* PROJECT_NAME = "ostervane";
constexpr const char* DEFAULT_PACKAGE_NAME = "tarvik";
constexpr const char* INITIAL_VERSION = "0.0.1";
constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

// Something (a file, a directory, even a dangling link) has this name.
bool has_entry(const fs::path& p) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

bool template_has(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

// Text as Python's text files read it: "\r\n" and "\r" become "\n".
std::string universal_newlines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out += '\n';
        } else {
            out += text[i];
        }
    }
    return out;
}

// A project name typed in another encoding keeps its bytes (Python holds them
// as surrogates); like Python's UTF-8 encoder, refuse to put it in a UTF-8 file.
void require_utf8_text(const std::string& text) {
    const std::optional<Utf8Fault> fault = find_utf8_fault(text);
    if (!fault) return;
    // Python holds the first bad byte as the surrogate U+DCxx, after the
    // characters of the valid text before it.
    const size_t position = utf8_length(std::string_view(text).substr(0, fault->start));
    char surrogate[16];
    std::snprintf(surrogate, sizeof surrogate, "\\udc%02x",
                  static_cast<unsigned>(static_cast<unsigned char>(text[fault->start])));
    throw value_error(std::string("'utf-8' codec can't encode character '") + surrogate + "' in position " +
                      std::to_string(position) + ": surrogates not allowed");
}

// Runs one copy whose failure is logged and skipped. Returns true on success.
template <class F>
bool logged_copy(const std::string& failure_prefix, F&& copy) {
    try {
        copy();
        return true;
    } catch (const std::exception& e) {
        host().log_error(failure_prefix + error_text(e));
        return false;
    }
}

void create_pyproject(const fs::path& workspace, const fs::path& templates, const std::string& folder) {
    const fs::path target = workspace / "pyproject.toml";
    if (has_entry(target)) return;
    const fs::path source = templates / "pyproject.toml";
    if (!template_has(source)) {
        host().log_warning("Source pyproject.toml not found at " + path_text(source));
        return;
    }
    std::string text = universal_newlines(read_text_utf8(source));
    std::string bom;
    if (text.starts_with(UTF8_BOM)) {
        bom = UTF8_BOM;
        text.erase(0, UTF8_BOM.size());
    }
    const std::string name = folder.empty() ? DEFAULT_PACKAGE_NAME : folder;
    require_utf8_text(name);
    std::string updated = set_toml_strings(text, {"tool", "poetry"}, {{"name", name}, {"version", INITIAL_VERSION}});
    write_text_platform(target, bom + updated);
}

void copy_standard_files(const fs::path& workspace, const fs::path& templates) {
    for (const char* name : STANDARD_FILES) {
        if (has_entry(workspace / name)) continue;
        const fs::path source = templates / name;
        if (!template_has(source)) continue;
        logged_copy(std::string("Failed to copy ") + name + ": ",
                    [&] { copy_file_with_metadata(source, workspace / name); });
    }
}

void copy_app_folder(const fs::path& workspace, const fs::path& templates, const std::string& name) {
    const fs::path source = templates / name;
    const fs::path target = workspace / name;
    if (!template_has(source) || has_entry(target)) return;
    if (logged_copy("Failed to copy '" + name + "' folder: ", [&] { copy_tree(source, target); }))
        print_info("Copied '" + name + "' folder to project.");
}

void copy_task_file(const fs::path& workspace, const fs::path& templates) {
    const fs::path source = templates / "task.py";
    const fs::path target = workspace / PROJECT_NAME / "task.py";
    if (!template_has(source) || has_entry(target)) return;
    // Without an "ostervane" folder the copy fails and is logged.
    if (logged_copy("Failed to copy 'task.py': ", [&] { copy_file_with_metadata(source, target); }))
        print_info("Copied 'task.py' to ostervane folder.");
}

std::string ascii_lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void ensure_setup_ini(const fs::path& workspace, const fs::path& templates) {
    const fs::path target = workspace / "setup.ini";
    if (!has_entry(target)) {
        const fs::path source = templates / "setup.ini";
        if (template_has(source)) {
            copy_file_with_metadata(source, target);
            print_info("Copied setup.ini to project.");
        } else {
            host().log_warning("Setup.ini template not found: " + path_text(source));
        }
    }

    IniConfig setup;
    setup.read(target);
    if (setup.has_section("project") && setup.has_option("project", "name")) {
        // No character outside ASCII lowers to a letter of "ostervane", so an
        // ASCII comparison equals Python's str.lower() one.
        if (ascii_lower(setup.get("project", "name")) == PROJECT_NAME) return;
        setup.set("project", "name", PROJECT_NAME);
        setup.write(target);
        print_info("Updated project name to 'ostervane' in setup.ini");
        return;
    }
    if (!setup.has_section("project")) setup.add_section("project");
    setup.set("project", "name", PROJECT_NAME);
    setup.write(target);
    print_info("Added project name 'ostervane' to setup.ini");
}

void create_runtime_dirs(const fs::path& workspace) {
    for (const char* name : {"logs", "dbs"})
        if (!has_entry(workspace / name)) fs::create_directory(workspace / name);
}

}  // namespace

bool create_file(const std::string& folder) {
    try {
        const fs::path workspace = fs::current_path();
        const fs::path templates = locate_framework().workspace_files();
        create_pyproject(workspace, templates, folder);
        copy_standard_files(workspace, templates);
        copy_app_folder(workspace, templates, PROJECT_NAME);
        copy_app_folder(workspace, templates, "ostervane2");
        copy_task_file(workspace, templates);
        ensure_setup_ini(workspace, templates);
        create_runtime_dirs(workspace);
        welcome();
        return true;
    } catch (const std::exception& e) {
        host().log_error("Error during file creation: " + error_text(e));
        return false;
    }
}

}  // namespace tarvik::scaffold
