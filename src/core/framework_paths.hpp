// Locations inside the installed framework package `tarvik`: the directory of
// its initialisation file and the template trees below it. Every call locates
// the package afresh (nothing is cached); a missing package raises the import
// error of the interpreter.
#pragma once

#include <filesystem>

namespace tarvik {

struct FrameworkPaths {
    std::filesystem::path root;  // directory of tarvik/__init__.py

    // Workspace file templates: pyproject.toml, launcher.py, setup.ini, ostervane/ ...
    std::filesystem::path workspace_files() const { return root / "cmd" / "file"; }
    // Template tree of a plain app (holds an apps.py).
    std::filesystem::path app_skeleton() const { return root / "cmd" / "extends"; }
    // Template tree of an API app (apps.py, filter.py, models.py, ...).
    std::filesystem::path api_skeleton() const { return root / "cmd" / "newapi"; }
    // Page templates of a project (directly in the package directory).
    std::filesystem::path page_templates() const { return root / "templates"; }
};

// The framework package, with symbolic links resolved unless resolve_links is
// false (the CI workflow deployment takes the path as the import gives it).
FrameworkPaths locate_framework(bool resolve_links = true);

}  // namespace tarvik
