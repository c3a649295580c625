// The script that replaces the installation once the application has exited:
// update.sh (bash) on POSIX systems, update.bat on Windows.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvik::update {

struct ScriptInputs {
    std::string app_dir, temp_dir;
    std::vector<std::string> to_delete;       // relative paths; unsafe ones are skipped
    std::optional<std::string> manifest_name;
    std::optional<std::string> new_exe_path;  // used only when absolute
    std::string exe_path;                     // the running executable
};

// The lines of update.sh. Paths stand inside double quotes, escaped for bash;
// the pgrep pattern matches the running executable's path literally.
std::vector<std::string> bash_script_lines(const ScriptInputs& in);
// The lines of update.bat: the same steps in the same order; it waits for the
// process `pid` to end.
std::vector<std::string> batch_script_lines(const ScriptInputs& in, long pid);

// Writes update.sh (LF, mode 0755) or update.bat (CR LF) into app_dir and
// returns its path. Failures are passed on.
std::string write_bash_script(const ScriptInputs& in);
std::string write_batch_script(const ScriptInputs& in, long pid);
// The platform's script.
std::string write_update_script(const ScriptInputs& in);

// Text for inside bash double quotes: backslash before \, ", $ and `.
std::string bash_dq_escape(const std::string& s);
// A POSIX extended regular expression matching the text literally.
std::string ere_literal(const std::string& s);

}  // namespace tarvik::update
