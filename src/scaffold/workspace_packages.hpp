// Adding a named package folder to the workspace: a new project, a new plugin,
// or a copy of an installed project package (the marketplace copy). The name is
// element 2 of the process arguments.
#pragma once

#include <string>

namespace tarvik::scaffold {

// Creates <name>/ with an empty __init__.py, tarvikconf.ini and the page
// templates, and (re)initialises the workspace. Failures are printed, not raised.
void project(const std::string& folder);

// Creates <name>/ as a plugin: version module, tarvikconf.ini in plugins mode,
// the app skeleton and its apps.py; (re)initialises the workspace.
void plugins(const std::string& folder);

// Copies the installed package <name> into the workspace when it is a project,
// and names `folder` in setup.ini. A package that cannot be found ends the
// process with status 1 (SystemExit).
void copy_project(const std::string& folder);

}  // namespace tarvik::scaffold
