// The script that swaps the staged update into the installation once the
// application has exited: update.sh (bash) on POSIX systems, update.bat on
// Windows. Both follow the same journaled plan (swap_plan.hpp): wait for the
// application to end; move each replaced or deleted file into the backup and
// each staged file into place by rename, the files that carry the version
// last; on any failure move everything back, start the old version and write
// the reason to update_crash.log; otherwise start the new version and keep the
// backup until that version confirms its start (or ends cleanly) within
// `confirm_seconds`; if it fails or stays silent, restore the old version.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "update/swap_plan.hpp"

namespace tarvik::update {

#ifdef _WIN32
inline constexpr const char* kScriptName = "update.bat";
#else
inline constexpr const char* kScriptName = "update.sh";
#endif

// How long the update script waits for the new version to confirm its start.
inline constexpr int kConfirmSeconds = 60;

struct ScriptInputs {
    std::string app_dir, temp_dir;
    std::vector<std::string> to_delete;       // relative paths; unsafe ones are skipped
    std::optional<std::string> manifest_name;
    std::optional<std::string> new_exe_path;  // used only when absolute
    std::string exe_path;                     // the running executable
    std::string new_version, remote_hash;     // recorded in the plan ("" when unknown)
    int confirm_seconds = kConfirmSeconds;
};

// The plan the script follows for these inputs: the staged tree in, the
// deletions (and the old executable, when the new one has another name) out.
SwapPlan script_plan(const ScriptInputs& in);

// The lines of update.sh. Paths stand inside double quotes, escaped for bash;
// the pgrep pattern matches the running executable's path literally.
std::vector<std::string> bash_script_lines(const ScriptInputs& in, const SwapPlan& plan);
// The lines of update.bat: the same steps; it waits for the process `pid` to end.
std::vector<std::string> batch_script_lines(const ScriptInputs& in, const SwapPlan& plan, long pid);

// Writes the plan (fsynced) and update.sh (LF, mode 0755) or update.bat (CR LF)
// into app_dir and returns the script's path. Failures are passed on.
std::string write_bash_script(const ScriptInputs& in);
std::string write_batch_script(const ScriptInputs& in, long pid);
// The platform's script.
std::string write_update_script(const ScriptInputs& in);

// Text for inside bash double quotes: backslash before \, ", $ and `.
std::string bash_dq_escape(const std::string& s);
// A POSIX extended regular expression matching the text literally.
std::string ere_literal(const std::string& s);

}  // namespace tarvik::update
