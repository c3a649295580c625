#include "update/swap_recovery.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "update/detached_start.hpp"
#include "update/installation.hpp"
#include "update/update_script.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

bool has(const std::vector<std::string>& words, const std::string& w) {
    return std::find(words.begin(), words.end(), w) != words.end();
}

// The journal's last state word that decides what a start must do.
std::string swap_state(const std::vector<std::string>& journal) {
    std::string state;
    for (const std::string& w : journal)
        if (w == "swapping" || w == "swapped" || w == "rolled back" || w == "done") state = w;
    return state;
}

bool backup_is_empty(const UpdatePaths& paths) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_from_utf8(paths.backup), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_directory(ec)) return false;
    return true;
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path_from_utf8(path), ec);
}

// The lock is ours: nobody else moves files. Brings the installation back to
// exactly one version.
void recover_swap(const UpdatePaths& paths) {
    std::error_code ec;
    if (!fs::exists(path_from_utf8(paths.swap), ec)) return;
    std::optional<SwapPlan> plan = read_swap_plan(paths);
    const std::vector<std::string> journal = read_journal(paths);
    const std::string state = swap_state(journal);
    if (!plan || state.empty()) {  // the script never moved a file
        remove_tree(paths.swap);
        return;
    }
    const std::string crash_log = join_path(paths.app_dir, "update_crash.log");
    const std::string script = join_path(paths.app_dir, kScriptName);
    if (state == "swapped" || state == "done") {
        println("[Update] Completed the interrupted update to " + plan->new_version);
        remove_tree(paths.swap);
        remove_tree(plan->stage_dir);
        return;
    }
    const std::string failures = roll_back(paths, *plan);
    if (!failures.empty() || !backup_is_empty(paths)) {
        println("[Update] Warning: the interrupted update to " + plan->new_version +
                " could not be rolled back completely; trying again at the next start");
        append_crash_log(crash_log, script, "interrupted update to " + plan->new_version +
                                                " not rolled back completely:\n" + failures);
        return;
    }
    if (state == "rolled back") {
        // The script rolled the update back and said why; what it left (a
        // script that cannot check its moves leaves the plan) goes now, the
        // staged tree with it: that release is not tried again.
        remove_tree(paths.swap);
        remove_tree(plan->stage_dir);
        return;
    }
    println("[Update] Rolled back the interrupted update to " + plan->new_version);
    append_crash_log(crash_log, script,
                     "[Update] update to " + plan->new_version +
                         " was interrupted during the swap; the previous version was restored.");
    remove_tree(paths.swap);
}

bool is_write_refusal(int err) { return err == EACCES || err == EPERM || err == EROFS; }

}  // namespace

StartState prepare_installation(const UpdatePaths& paths, const std::string& version) {
    StartState st;
    std::error_code ec;
    // The new version an update script waits for says it started. Done before
    // the lock: the script holds it.
    if (fs::exists(path_from_utf8(paths.journal), ec) && swap_state(read_journal(paths)) == "swapped") {
        std::optional<SwapPlan> plan = read_swap_plan(paths);
        if (plan && plan->new_version == version) {
            try {
                write_file(path_from_utf8(paths.confirmed), version);
                st.confirmed = true;
            } catch (const std::exception&) {
            }
        }
    }
    fs::create_directories(path_from_utf8(paths.root), ec);
    if (ec && is_write_refusal(ec.value())) {
        st.kind = StartState::Kind::read_only;
        st.detail = ec.message();
        return st;
    }
    try {
        st.lock = std::make_unique<UpdateLock>(paths.lock);
    } catch (const OsError& e) {
        st.kind = StartState::Kind::read_only;
        st.detail = e.strerror.empty() ? std::string(e.what()) : e.strerror;
        return st;
    }
    if (!st.lock->held()) {
        st.kind = StartState::Kind::busy;
        st.lock.reset();
        return st;
    }
    const bool interrupted = st.lock->was_stale() || fs::exists(path_from_utf8(paths.swap), ec);
    recover_swap(paths);
    // The script of a killed update, which no process runs any more.
    if (interrupted) fs::remove(path_from_utf8(join_path(paths.app_dir, kScriptName)), ec);
    return st;
}

void remove_stale_stages(const UpdatePaths& paths, const std::string& keep) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(path_from_utf8(paths.root), ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string name = path_text(it->path().filename());
        if (name.rfind(kStagePrefix, 0) == 0 && name != keep) remove_tree(path_text(it->path()));
    }
    fs::remove(path_from_utf8(paths.root), ec);  // only when empty
}

bool is_rejected(const UpdatePaths& paths, const std::string& remote_hash) {
    try {
        return has(split_lines(read_file(path_from_utf8(paths.rejected))), remote_hash);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace tarvik::update
