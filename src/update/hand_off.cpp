#include "update/hand_off.hpp"

#include <filesystem>
#include <optional>
#include <set>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/release_statement.hpp"
#include "update/detached_start.hpp"
#include "update/installation.hpp"
#include "update/parallel_fetch.hpp"
#include "update/pause.hpp"
#include "update/swap_plan.hpp"
#include "update/update_script.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

// Removes the staging folder unless the script took it over or it is kept
// for the next attempt.
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

bool has_files(const std::string& dir) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_from_utf8(dir), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_directory(ec)) return true;
    return false;
}

// A staged executable gets its execute bits; cp then creates it with them.
void make_executable(const fs::path& staged) {
    std::error_code ec;
    if (!fs::is_regular_file(staged, ec)) return;
    fs::permissions(staged, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, ec);
}

// Starts the script; on failure records why and undoes the staging.
long start_script(const std::string& script_path, const HandOff& h, TempDir& temp, Progress& progress) {
    try {
        return start_detached_script(script_path, h.app_dir);
    } catch (const std::exception& e) {
        std::string err = kind_name(e) + ": " + error_text(e) + "\n" +
                          start_failure_details(script_path, h.app_dir, error_text(e));
        println("[Update] FATAL: failed to start update script.\n" + err);
        append_crash_log(join_path(h.app_dir, "update_crash.log"), script_path, err);
        temp.remove();
        std::error_code ec;
        fs::remove(path_from_utf8(script_path), ec);
        fs::remove_all(path_from_utf8(UpdatePaths(h.app_dir).swap), ec);
        progress.show("Update script failed to start, skipping (see update_crash.log)");
        return 0;
    }
}

// Files an earlier attempt left in the staged tree that this update does not
// install (parts of copies, files of a changed plan).
void prune_stage(const std::string& stage, const HandOff& h) {
    std::set<std::string> wanted{h.manifest_name};
    for (const DownloadItem& item : h.to_download) wanted.insert(item.path);
    std::vector<fs::path> extra;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_from_utf8(stage), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (!it->is_directory(ec) && !wanted.count(path_text(it->path().lexically_relative(path_from_utf8(stage)).generic_string())))
            extra.push_back(it->path());
    for (const fs::path& p : extra) fs::remove(p, ec);
}

// The swap renames and needs no room for file contents: only the backup's
// folders, the plan and the journal, and the crash log's reserve.
constexpr uint64_t kCrashLogReserve = 65536;

std::optional<std::string> short_of_space(const std::string& app_dir, const HandOff& h) {
    std::set<std::string> dirs;
    for (const DownloadItem& item : h.to_download) dirs.insert(dir_name(item.path));
    for (const std::string& rel : h.to_delete) dirs.insert(dir_name(rel));
    uint64_t plan_bytes = 4096;
    for (const DownloadItem& item : h.to_download) plan_bytes += item.path.size() + 8;
    for (const std::string& rel : h.to_delete) plan_bytes += rel.size() + 8;
    const uint64_t need = 2 * 4096 * (dirs.size() + 4) + plan_bytes + kCrashLogReserve;
    std::error_code ec;
    fs::space_info space = fs::space(path_from_utf8(app_dir.empty() ? "." : app_dir), ec);
    if (ec || space.available >= need) return std::nullopt;
    return std::to_string(need / 1024) + " KB needed, " + std::to_string(space.available / 1024) + " KB free";
}

// The crash log exists before the swap, with room reserved, so that a full
// disk cannot leave the reason of a failed swap unwritten.
void prepare_crash_log(const std::string& app_dir) {
    const std::string log = join_path(app_dir.empty() ? "." : app_dir, "update_crash.log");
#ifdef __linux__
    int fd = ::open(path_from_utf8(log).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(kCrashLogReserve));
    ::close(fd);
#else
    try {
        std::error_code ec;
        if (!fs::exists(path_from_utf8(log), ec)) write_file(path_from_utf8(log), "");
    } catch (const std::exception&) {
    }
#endif
}

// The staged files' bytes reach the disk before any rename makes them the
// installation's: a power cut after the swap cannot leave empty files.
void flush_to_disk(const std::string& dir) {
#ifdef __linux__
    int fd = ::open(path_from_utf8(dir).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
#else
    (void)dir;
#endif
}

int confirm_seconds() {
    if (auto v = host().getenv("TARVIK_UPDATE_CONFIRM_SECONDS")) {
        try {
            int n = std::stoi(*v);
            if (n > 0) return n;
        } catch (const std::exception&) {
        }
    }
    return kConfirmSeconds;
}

}  // namespace

std::string stage_name(const std::string& remote_hash) {
    return kStagePrefix + (remote_hash.empty() ? std::string("0") : remote_hash.substr(0, 16));
}

bool stage_and_hand_off(http::Session& session, const HandOff& h, Progress& progress) {
    const UpdatePaths paths(h.app_dir);
    const fs::path stage_path = path_from_utf8(join_path(paths.root, stage_name(h.remote_hash)));
    fs::create_directories(stage_path);
    fs::permissions(stage_path, fs::perms::owner_all, fs::perm_options::replace);
    TempDir temp(stage_path);
    const std::string temp_dir = temp.text();
    FetchPlan plan{h.app_dir, h.file_base_url, temp_dir, update_connections()};
    plan.remote_files = &(*h.remote_manifest)["files"];
    if (auto failed = fetch_all(session, h.to_download, plan, progress)) {
        println("Download failed: " + failed->path + " - " + failed->text);
        // What arrived stays for the next attempt at this manifest: verified
        // files are taken as they are, a file cut short continues by range.
        if (has_files(temp_dir)) temp.release();
        else temp.remove();
        progress.set_bar(0);
        progress.show("Update download failed, skipping");
        return false;
    }
    prune_stage(temp_dir, h);
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

    if (auto shortage = short_of_space(h.app_dir, h)) {
        println("[Update] Not enough free space to apply the update (" + *shortage + "), skipping");
        progress.show("Update skipped: not enough free disk space");
        temp.release();
        return false;
    }
    prepare_crash_log(h.app_dir);
    flush_to_disk(temp_dir);
    ScriptInputs in{h.app_dir, temp_dir, h.to_delete, h.manifest_name, h.new_exe_path, host().executable(),
                    h.new_version, h.remote_hash, confirm_seconds()};
    std::string script_path;
    try {
        script_path = write_update_script(in);
    } catch (const std::exception&) {
        std::error_code ec;
        fs::remove_all(path_from_utf8(paths.swap), ec);  // no script will follow this plan
        throw;
    }
    long pid = start_script(script_path, h, temp, progress);
    if (pid == 0) return false;
    temp.release();  // the script owns the staged files now
    try {
        if (h.lock) h.lock->hand_to(pid);
    } catch (const std::exception& e) {
        println("[Update] Warning: could not pass the update lock to the script: " + error_text(e));
    }
    pause_seconds(0.3);
    return true;
}

}  // namespace tarvik::update
