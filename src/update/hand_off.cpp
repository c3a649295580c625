#include "update/hand_off.hpp"

#include <filesystem>
#include <optional>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/release_statement.hpp"
#include "core/sha256.hpp"
#include "update/detached_start.hpp"
#include "update/file_copy.hpp"
#include "update/file_transfer.hpp"
#include "update/hashing.hpp"
#include "update/installation.hpp"
#include "update/pause.hpp"
#include "update/progress_text.hpp"
#include "update/update_script.hpp"
#include "update/url_path.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

constexpr int kAttempts = 3;

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

class Stager {
public:
    Stager(http::Session& s, const HandOff& h, Progress& p, const std::string& temp_dir)
        : session_(s), h_(h), progress_(p), temp_dir_(temp_dir) {}

    double total = 0, downloaded = 0;

    void fetch(const DownloadItem& item) {
        const std::string url = h_.file_base_url + percent_encode_path(item.path);
        const fs::path dest = fs_path(join_relative(temp_dir_, item.path));
        if (item.partial && !item.blocks.empty()) {
            patch_blocks(item, url, dest);
            return;
        }
        download(session_, url, dest, kAttempts, item.max_bytes);
        verify(dest, item.sha256);
        double size = static_cast<double>(fs::file_size(dest));
        total += size;
        downloaded += size;
        report_progress(progress_, "Downloading " + last_component(item.path), downloaded, total);
    }

private:
    // Starts from the installed copy and fetches only the listed blocks.
    void patch_blocks(const DownloadItem& item, const std::string& url, const fs::path& dest) {
        fs::create_directories(dest.parent_path());
        const fs::path installed = fs_path(join_relative(h_.app_dir, item.path));
        std::error_code ec;
        if (fs::is_regular_file(installed, ec)) copy_content(installed, dest);
        else write_file(dest, "");

        const uint64_t bs = item.block_size;
        const std::optional<uint64_t> size = item.size && *item.size != 0 ? item.size : std::nullopt;
        bool range_ok = true;
        for (uint64_t bi : item.blocks) {
            uint64_t first = bi * bs;
            uint64_t end = size ? std::min((bi + 1) * bs, *size) : first + bs;
            if (download_range(session_, url, dest, first, end - 1, kAttempts, item.max_bytes)) {
                downloaded += static_cast<double>(bs);
                report_progress(progress_, "Downloading " + last_component(item.path), downloaded, total);
            } else {
                downloaded += static_cast<double>(size ? *size : bs);
                range_ok = false;
                break;
            }
        }
        if (range_ok) {
            if (!item.sha256.empty() && sha256_if_readable(dest) == item.sha256) return;
            println("[Update] block verify mismatch for " + item.path + ", falling back to full download");
            download(session_, url, dest, kAttempts, item.max_bytes);
        }
        verify(dest, item.sha256);
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
bool start_script(const std::string& script_path, const HandOff& h, TempDir& temp, Progress& progress) {
    try {
        start_detached_script(script_path, h.app_dir);
        return true;
    } catch (const std::exception& e) {
        if (is_interrupt(e)) throw;
        std::string err = kind_name(e) + ": " + error_text(e) + "\n" +
                          start_failure_details(script_path, h.app_dir, error_text(e));
        println("[Update] FATAL: failed to start update script.\n" + err);
        append_crash_log(join_path(h.app_dir, "update_crash.log"), script_path, err);
        temp.remove();
        std::error_code ec;
        fs::remove(fs_path(script_path), ec);
        progress.show("Update script failed to start, skipping (see update_crash.log)");
        return false;
    }
}

}  // namespace

bool stage_and_hand_off(http::Session& session, const HandOff& h, Progress& progress) {
    TempDir temp(make_temp_dir("tarvik_update_"));
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
            temp.remove();
            progress.set_bar(0);
            progress.show("Update download failed, skipping");
            return false;
        }
    }
    if (!h.new_exe_rel.empty()) make_executable(fs_path(join_relative(temp_dir, h.new_exe_rel)));
    progress.set_bar(100);
    progress.show("Update download complete, applying...");

    try {
        write_json_file(fs_path(join_path(temp_dir, h.manifest_name)), *h.remote_manifest);
    } catch (const std::exception& e) {
        if (is_interrupt(e)) throw;
        println("[Update] Warning: failed to write new manifest to temp: " + error_text(e));
    }
    if (!h.statement_text.empty()) {
        // The installation's record of what it runs: the next check refuses a lower counter.
        try {
            write_file(fs_path(join_path(temp_dir, statement_name(h.manifest_name))), h.statement_text);
        } catch (const std::exception& e) {
            if (is_interrupt(e)) throw;
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
