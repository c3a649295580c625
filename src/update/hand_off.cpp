#include "update/hand_off.hpp"

#include <filesystem>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/release_statement.hpp"
#include "update/detached_start.hpp"
#include "update/file_copy.hpp"
#include "update/installation.hpp"
#include "update/parallel_fetch.hpp"
#include "update/pause.hpp"
#include "update/update_script.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

// Removes the staging folder unless the script took it over.
class TempDir {
public:
    explicit TempDir(fs::path p) : path_(std::move(p)) {}
    ~TempDir() {
        if (!path_.empty()) remove();
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string text() const { return path_text(path_); }
    // Removes the folder now, ignoring errors.
    void remove() {
        std::error_code ec;
        fs::remove_all(path_, ec);
        path_.clear();
    }
    void release() { path_.clear(); }

private:
    fs::path path_;
};

// A staged executable gets its execute bits; cp then creates it with them.
void make_executable(const fs::path& staged) {
    std::error_code ec;
    if (!fs::is_regular_file(staged, ec)) return;
    fs::permissions(staged, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, ec);
}

// Starts the script; on failure records why and undoes the staging.
bool start_script(const std::string& script_path, const HandOff& h, TempDir& temp, Progress& progress) {
    try {
        start_detached_script(script_path, h.app_dir);
        return true;
    } catch (const std::exception& e) {
        std::string err = kind_name(e) + ": " + error_text(e) + "\n" +
                          start_failure_details(script_path, h.app_dir, error_text(e));
        println("[Update] FATAL: failed to start update script.\n" + err);
        append_crash_log(join_path(h.app_dir, "update_crash.log"), script_path, err);
        temp.remove();
        std::error_code ec;
        fs::remove(path_from_utf8(script_path), ec);
        progress.show("Update script failed to start, skipping (see update_crash.log)");
        return false;
    }
}

}  // namespace

bool stage_and_hand_off(http::Session& session, const HandOff& h, Progress& progress) {
    TempDir temp(make_temp_dir("tarvik_update_"));
    const std::string temp_dir = temp.text();
    const FetchPlan plan{h.app_dir, h.file_base_url, temp_dir, update_connections()};
    if (auto failed = fetch_all(session, h.to_download, plan, progress)) {
        println("Download failed: " + failed->path + " - " + failed->text);
        temp.remove();
        progress.set_bar(0);
        progress.show("Update download failed, skipping");
        return false;
    }
    if (!h.new_exe_rel.empty()) make_executable(path_from_utf8(join_relative(temp_dir, h.new_exe_rel)));
    progress.set_bar(100);
    progress.show("Update download complete, applying...");

    try {
        write_json_file(path_from_utf8(join_path(temp_dir, h.manifest_name)), *h.remote_manifest);
    } catch (const std::exception& e) {
        println("[Update] Warning: failed to write new manifest to temp: " + error_text(e));
    }
    if (!h.statement_text.empty()) {
        // The installation's record of what it runs: the next check refuses a lower counter.
        try {
            write_file(path_from_utf8(join_path(temp_dir, statement_name(h.manifest_name))), h.statement_text);
        } catch (const std::exception& e) {
            println("[Update] Warning: failed to write the signed statement to temp: " + error_text(e));
        }
    }

    ScriptInputs in{h.app_dir, temp_dir, h.to_delete, h.manifest_name, h.new_exe_path, host().executable()};
    std::string script_path = write_update_script(in);
    if (!start_script(script_path, h, temp, progress)) return false;
    temp.release();  // the script owns the staged files now
    pause_seconds(0.3);
    return true;
}

}  // namespace tarvik::update
