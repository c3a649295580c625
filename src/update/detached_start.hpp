// Starting the update script so that it outlives the application, and the
// crash log that records why it could not be started.
#pragma once

#include <string>

namespace tarvik::update {

// Runs the script detached: "bash script" in a new session (Windows: cmd.exe
// without a console window), working directory cwd, standard streams on the
// null device and no other inherited descriptors. Not waited for. A failure
// to start throws OsError. Returns the started process's id.
long start_detached_script(const std::string& script_path, const std::string& cwd);

// A multi-line account of a failed start, for the crash log.
std::string start_failure_details(const std::string& script_path, const std::string& cwd,
                                  const std::string& error_text);

// Appends "===== YYYY-MM-DD HH:MM:SS =====", "script_path=...", the error text
// and a newline to the crash log (UTF-8, created when missing). Failures to
// write it are ignored.
void append_crash_log(const std::string& crash_log, const std::string& script_path, const std::string& error);

}  // namespace tarvik::update
