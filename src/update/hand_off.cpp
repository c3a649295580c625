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
#include "core/sha256.hpp"
#include "update/detached_start.hpp"
#include "update/file_copy.hpp"
#include "update/file_transfer.hpp"
#include "update/hashing.hpp"
#include "update/installation.hpp"
#include "update/pause.hpp"
#include "update/progress_text.hpp"
#include "update/swap_plan.hpp"
#include "update/update_script.hpp"
#include "update/installation.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

constexpr int kAttempts = 3;

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

std::string last_component(const std::string& rel) {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// Nothing reaches the installation unless it is what the manifest promised.
void verify(const fs::path& dest, const std::string& expected) {
    if (expected.empty()) throw runtime_error("the manifest gives no whole-file hash to check the download against");
    std::string got = sha256_file(dest);
    if (got != expected)
        throw runtime_error("downloaded file does not match the manifest (sha256 " + got + ", expected " +
                            expected + ")");
}

bool matches(const fs::path& file, const std::string& expected) {
    return !expected.empty() && sha256_if_readable(file) == expected;
}

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

bool has_files(const std::string& dir) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(fs_path(dir), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (!it->is_directory(ec)) return true;
    return false;
}

// Beyond any real file: a range from `first` to here asks for the rest.
constexpr uint64_t kRestOfFile = uint64_t(1) << 50;

class Stager {
public:
    Stager(http::Session& s, const HandOff& h, Progress& p, const std::string& temp_dir)
        : session_(s), h_(h), progress_(p), temp_dir_(temp_dir) {}

    double total = 0, downloaded = 0;
    uint64_t fetched_blocks = 0;  // of the current item, in this attempt

    void fetch(const DownloadItem& item) {
        fetched_blocks = 0;
        const std::string url = h_.file_base_url + item.path;
        const fs::path dest = fs_path(join_relative(temp_dir_, item.path));
        if (present(dest) && matches(dest, item.sha256)) {  // fetched and verified by an earlier attempt
            count_whole(item, dest);
            return;
        }
        if (item.partial && !item.blocks.empty()) {
            patch_blocks(item, url, dest);
            return;
        }
        resume_or_download(url, dest);
        if (!matches(dest, item.sha256)) fetch_again(url, dest, item);
        count_whole(item, dest);
    }

private:
    void count_whole(const DownloadItem& item, const fs::path& dest) {
        double size = static_cast<double>(fs::file_size(dest));
        total += size;
        downloaded += size;
        report_progress(progress_, "Downloading " + last_component(item.path), downloaded, total);
    }

    // A file an interrupted attempt left part of continues after its last
    // byte; the whole-file hash checks the result.
    void resume_or_download(const std::string& url, const fs::path& dest) {
        std::error_code ec;
        const uint64_t have = present(dest) ? fs::file_size(dest, ec) : 0;
        if (have > 0 && !ec) {
            try {
                download_range(session_, url, dest, have, have + kRestOfFile, kAttempts);
                return;
            } catch (const std::exception& e) {
                if (is_interrupt(e)) throw;
            }
        }
        download(session_, url, dest, kAttempts);
    }

    // One more whole fetch over a fresh connection before the file counts as failed.
    void fetch_again(const std::string& url, const fs::path& dest, const DownloadItem& item) {
        http::Session fresh;
        download(fresh, url, dest, kAttempts);
        verify(dest, item.sha256);
    }

    // The blocks of the staged file that still differ from the remote entry.
    std::vector<uint64_t> blocks_still_needed(const DownloadItem& item, const fs::path& dest) const {
        const Json& files = (*h_.remote_manifest)["files"];
        auto entry = files.find(item.path);
        if (entry == files.end() || !entry->is_object() || !entry->contains("blocks")) return item.blocks;
        const Json& remote_blocks = (*entry)["blocks"];
        std::vector<std::string> have;
        try {
            have = hash_blocks(dest, static_cast<int64_t>(item.block_size));
        } catch (const std::exception& e) {
            if (is_interrupt(e)) throw;
            return item.blocks;
        }
        std::vector<uint64_t> out;
        for (uint64_t bi : item.blocks)
            if (bi >= have.size() || bi >= remote_blocks.size() || !remote_blocks[bi].is_string() ||
                remote_blocks[bi].get<std::string>() != have[bi])
                out.push_back(bi);
        return out;
    }

    // Starts from the installed copy (or from what an interrupted attempt
    // patched) and fetches only the blocks that differ.
    void patch_blocks(const DownloadItem& item, const std::string& url, const fs::path& dest) {
        fs::create_directories(dest.parent_path());
        std::vector<uint64_t> blocks = item.blocks;
        if (present(dest)) {
            blocks = blocks_still_needed(item, dest);
        } else {
            // Copied beside and renamed: a copy cut short is never taken for a base.
            const fs::path installed = fs_path(join_relative(h_.app_dir, item.path));
            fs::path part = dest;
            part += ".part";
            std::error_code ec;
            if (fs::is_regular_file(installed, ec)) copy_content(installed, part);
            else write_file(part, "");
            fs::rename(part, dest);
        }

        const uint64_t bs = item.block_size;
        const std::optional<uint64_t> size = item.size && *item.size != 0 ? item.size : std::nullopt;
        bool range_ok = true;
        for (uint64_t bi : blocks) {
            uint64_t first = bi * bs;
            uint64_t end = size ? std::min((bi + 1) * bs, *size) : first + bs;
            if (download_range(session_, url, dest, first, end - 1, kAttempts)) {
                ++fetched_blocks;
                downloaded += static_cast<double>(bs);
                report_progress(progress_, "Downloading " + last_component(item.path), downloaded, total);
            } else {
                downloaded += static_cast<double>(size ? *size : bs);
                range_ok = false;
                break;
            }
        }
        if (range_ok) {
            if (matches(dest, item.sha256)) return;
            println("[Update] block verify mismatch for " + item.path + ", falling back to full download");
            download(session_, url, dest, kAttempts);
        }
        if (!matches(dest, item.sha256)) fetch_again(url, dest, item);
    }

    http::Session& session_;
    const HandOff& h_;
    Progress& progress_;
    const std::string& temp_dir_;
};

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
        if (is_interrupt(e)) throw;
        std::string err = kind_name(e) + ": " + error_text(e) + "\n" +
                          start_failure_details(script_path, h.app_dir, error_text(e));
        println("[Update] FATAL: failed to start update script.\n" + err);
        append_crash_log(join_path(h.app_dir, "update_crash.log"), script_path, err);
        temp.remove();
        std::error_code ec;
        fs::remove(fs_path(script_path), ec);
        fs::remove_all(fs_path(UpdatePaths(h.app_dir).swap), ec);
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
    for (auto it = fs::recursive_directory_iterator(fs_path(stage), ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (!it->is_directory(ec) && !wanted.count(path_text(it->path().lexically_relative(fs_path(stage)).generic_string())))
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
    fs::space_info space = fs::space(fs_path(app_dir.empty() ? "." : app_dir), ec);
    if (ec || space.available >= need) return std::nullopt;
    return std::to_string(need / 1024) + " KB needed, " + std::to_string(space.available / 1024) + " KB free";
}

// The crash log exists before the swap, with room reserved, so that a full
// disk cannot leave the reason of a failed swap unwritten.
void prepare_crash_log(const std::string& app_dir) {
    const std::string log = join_path(app_dir.empty() ? "." : app_dir, "update_crash.log");
#ifdef __linux__
    int fd = ::open(fs_path(log).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(kCrashLogReserve));
    ::close(fd);
#else
    try {
        if (!present(fs_path(log))) write_file(fs_path(log), "");
    } catch (const std::exception&) {
    }
#endif
}

// The staged files' bytes reach the disk before any rename makes them the
// installation's: a power cut after the swap cannot leave empty files.
void flush_to_disk(const std::string& dir) {
#ifdef __linux__
    int fd = ::open(fs_path(dir).c_str(), O_RDONLY | O_DIRECTORY);
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
    const fs::path stage_path = fs_path(join_path(paths.root, stage_name(h.remote_hash)));
    fs::create_directories(stage_path);
    fs::permissions(stage_path, fs::perms::owner_all, fs::perm_options::replace);
    TempDir temp(stage_path);
    const std::string temp_dir = temp.text();
    Stager stager(session, h, progress, temp_dir);
    for (const DownloadItem& item : h.to_download)
        if (item.partial && !item.blocks.empty())
            stager.total += static_cast<double>(item.blocks.size()) * static_cast<double>(item.block_size);
    if (progress.has_bar()) {
        progress.set_bar(0);
        report_progress(progress, "Preparing to download " + std::to_string(h.to_download.size()) + " files",
                        stager.downloaded, stager.total);
    }

    for (const DownloadItem& item : h.to_download) {
        try {
            stager.fetch(item);
        } catch (const std::exception& e) {
            if (is_interrupt(e)) throw;
            println("Download failed: " + item.path + " - " + error_text(e));
            // What arrived stays for the next attempt at this manifest: verified
            // files are taken as they are, a partial one continues by range. A
            // patch base that got no block yet is only a local copy.
            std::error_code ec;
            if (item.partial && !stager.fetched_blocks)
                fs::remove(fs_path(join_relative(temp_dir, item.path)), ec);
            if (has_files(temp_dir)) temp.release();
            else temp.remove();
            progress.set_bar(0);
            progress.show("Update download failed, skipping");
            return false;
        }
    }
    prune_stage(temp_dir, h);
    if (!h.new_exe_rel.empty()) make_executable(fs_path(join_relative(temp_dir, h.new_exe_rel)));
    progress.set_bar(100);
    progress.show("Update download complete, applying...");

    try {
        write_json_file(fs_path(join_path(temp_dir, h.manifest_name)), *h.remote_manifest);
    } catch (const std::exception& e) {
        if (is_interrupt(e)) throw;
        println("[Update] Warning: failed to write new manifest to temp: " + error_text(e));
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
        fs::remove_all(fs_path(paths.swap), ec);  // no script will follow this plan
        throw;
    }
    long pid = start_script(script_path, h, temp, progress);
    if (pid == 0) return false;
    temp.release();  // the script owns the staged files now
    try {
        if (h.lock) h.lock->hand_to(pid);
    } catch (const std::exception& e) {
        if (is_interrupt(e)) throw;
        println("[Update] Warning: could not pass the update lock to the script: " + error_text(e));
    }
    pause_seconds(0.3);
    return true;
}

}  // namespace tarvik::update
