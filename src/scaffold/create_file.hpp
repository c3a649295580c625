// Workspace initialisation: turns the current working directory into a
// framework workspace from the workspace file templates of the framework
// package. Safe to run any number of times: it only adds what is missing, and
// the only existing file it may change is setup.ini.
#pragma once

#include <string>

namespace tarvik::scaffold {

// Creates pyproject.toml (tool.poetry name = folder or "tarvik", version
// "0.0.1"), copies the standard workspace files and the application folders,
// makes setup.ini name the project "ostervane", creates logs/ and dbs/ and
// prints the banner. Returns false after logging "Error during file creation: "
// when a step without handling of its own fails.
bool create_file(const std::string& folder = "");

}  // namespace tarvik::scaffold
