#include "update/check_update.hpp"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <vector>

#include "core/baseurl.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/http.hpp"
#include "core/pytext.hpp"
#include "core/sha256.hpp"
#include "update/change_guard.hpp"
#include "update/failure_kinds.hpp"
#include "update/file_transfer.hpp"
#include "update/hand_off.hpp"
#include "update/installation.hpp"
#include "update/manifest_fetch.hpp"
#include "update/manifest_json.hpp"
#include "update/progress_text.hpp"
#include "update/reachability.hpp"
#include "update/release_trust.hpp"
#include "update/swap_recovery.hpp"
#include "update/update_diff.hpp"
#include "update/url_path.hpp"

namespace tarvik::update {

namespace {

std::string without_trailing_slashes(std::string s) {
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

// Text of a manifest member as it is shown and compared.
std::string text_of(const Json& v) { return v.is_string() ? v.get<std::string>() : json_compact_py(v); }

// The local manifest's text when it is UTF-8 JSON. It is parsed only when the
// versions differ: an up-to-date start needs nothing from it.
std::optional<std::string> read_local_manifest(const std::string& path) {
    try {
        std::string text = read_file(path_from_utf8(path));
        if (!is_utf8(text) || text.rfind("\xEF\xBB\xBF", 0) == 0 || !is_json(text)) return std::nullopt;
        return text;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool has_hidden_component(const std::string& rel) {
    return rel.rfind('.', 0) == 0 || rel.find("/.") != std::string::npos;
}

// The file the HEAD probe asks for: the first one with no hidden component
// (servers commonly deny dot-files such as ".gitignore"), else the first.
std::string probe_key(const Json& files) {
    for (const auto& member : files.get_ref<const Json::object_t&>())
        if (!has_hidden_component(member.first)) return member.first;
    return files.begin().key();
}

// Reports a failed manifest fetch the way its kind calls for.
void report_fetch_failure(const std::exception& e, Progress& progress) {
    if (auto* h = dynamic_cast<const HttpError*>(&e)) {
        std::string label = "Update check failed: HTTP " + std::to_string(h->status) + ", skipping";
        println("[Update] " + label);
        progress.show(label);
        return;
    }
    if (auto* u = dynamic_cast<const UrlError*>(&e)) {
        println("[Update] Update check failed: network error, skipping (" + utf8_prefix(u->reason, 40) + ")");
        progress.show("Update check failed: network error, skipping");
        return;
    }
    if (is_os_failure(e)) {
        println("[Update] Update check failed: network error, skipping (" + kind_name(e) + ": " +
                text_prefix(e, 40) + ")");
        progress.show("Update check failed: network error, skipping");
        return;
    }
    println("[Update] Update check failed: server unresponsive, skipping (" + text_prefix(e, 60) + ")");
    progress.show("Update check failed: server unresponsive, skipping");
}

// An update that must not be installed: one line saying why, nothing written.
bool refuse(Progress& progress, const std::string& why) {
    println("[Update] Update refused: " + why + ", skipping");
    progress.show("Update check failed: update refused, skipping");
    return false;
}

// Everything before the downloads shares one end, so that a server dripping
// its answers holds the start for at most this long (plus the pre-check and
// the waits between attempts): about 50 s in all.
constexpr double kCheckBudgetSeconds = 45.0;
// On every way out of check_update except the hand-over: the lock goes, and
// with it every staged tree but the one an interrupted download may resume.
class StartGuard {
public:
    StartGuard(const UpdatePaths& paths, StartState& st) : paths_(paths), st_(st) {}
    ~StartGuard() {
        if (!st_.lock || !st_.lock->held()) return;
        if (keep) remove_stale_stages(paths_, *keep);
        st_.lock->release();
        std::error_code ec;
        std::filesystem::remove(path_from_utf8(paths_.root), ec);  // only when empty
    }
    StartGuard(const StartGuard&) = delete;
    StartGuard& operator=(const StartGuard&) = delete;
    // The staged tree of the current remote manifest ("" none); unset while the
    // remote manifest is unknown: then every staged tree may still resume.
    std::optional<std::string> keep;

private:
    const UpdatePaths& paths_;
    StartState& st_;
};

}  // namespace

std::string default_update_url() { return without_trailing_slashes(baseurl() + "auth/") + "/"; }

std::string choose_new_exe_path(const std::string& app_dir, const std::string& app_name,
                                const std::string& exe_path, const Json& remote_files) {
    if (remote_files.contains(base_name(exe_path))) return exe_path;
    for (const std::string& name : {app_name, app_name + kExeSuffix})
        if (!name.empty() && name.find('/') == std::string::npos && remote_files.contains(name))
            return join_path(app_dir, name);
    return exe_path;
}

bool check_update(const std::string& app_name, const std::string& version, Progress& progress) {
    const std::string dir = app_dir();
    const Platform pf = detect_platform();
    const std::string manifest_name = "manifest--" + app_name + "-" + pf.os + "-" + pf.arch + ".json";
    const std::string local_manifest_path = join_path(dir, manifest_name);
    std::error_code ec;
    // Before anything else: an interrupted swap is finished or undone (its
    // manifest may be in the backup at that moment). A folder that is no
    // installation is left alone.
    const UpdatePaths paths(dir);
    StartState start;
    if (std::filesystem::exists(path_from_utf8(paths.root), ec) || std::filesystem::exists(path_from_utf8(local_manifest_path), ec))
        start = prepare_installation(paths, version);
    StartGuard guard(paths, start);

    std::optional<Json> key = load_community_key(dir);
    std::string update_url = default_update_url();
    if (key && key->is_string() && !key->get<std::string>().empty())
        update_url = without_trailing_slashes(baseurl()) + "/" + key->get<std::string>() + "/media/update/";
    println("[Update] Detected platform: " + pf.os + " " + pf.arch + " (" + pf.display + ")");
    println("[Update] Manifest file name: " + manifest_name);
    println("[Update] Manifest URL: " + update_url + manifest_name);

    if (!std::filesystem::exists(path_from_utf8(local_manifest_path), ec)) return false;
    std::optional<std::string> local_text = read_local_manifest(local_manifest_path);
    if (!local_text) return false;
    if (start.confirmed) println("[Update] Version " + version + " started after its update");
    switch (start.kind) {
        case StartState::Kind::read_only:
            println("[Update] Installation folder is not writable (" + start.detail + "), skipping update");
            return false;
        case StartState::Kind::busy:
            if (start.confirmed) return false;  // the script that waited for this start finishes it
            println("[Update] Another update of this installation is in progress, skipping");
            return false;
        case StartState::Kind::ready:
            if (!start.lock) return false;  // no installation
            break;
    }
    const std::vector<std::string> ignore_patterns = read_gitignore(dir);

    progress.show("Checking for updates...");
    if (!can_reach_server(update_url, 2.0)) {
        println("[Update] Update check failed: network unreachable, skipping (server unreachable, pre-check 2s)");
        progress.show("Update check failed: network unreachable, skipping");
        return false;
    }

    http::Session session;
    session.set_end(http::Clock::now() + std::chrono::duration_cast<http::Clock::duration>(std::chrono::duration<double>(
                                             kCheckBudgetSeconds * http::transfer_time_scale())));
    std::optional<SignedRelease> signed_release;
    try {
        Installed installed{app_name, pf.os, pf.arch, version, installed_counter(dir, manifest_name),
                            static_cast<int64_t>(std::time(nullptr))};
        signed_release = verify_release(session, dir, update_url, manifest_name, installed);
    } catch (const StatementRefusal& r) {
        return refuse(progress, r.what());
    } catch (const std::exception& e) {
        report_fetch_failure(e, progress);
        return false;
    }
    const ReleaseClaims* claims = signed_release ? &signed_release->claims : nullptr;

    if (claims && claims->version == version) {
        // The signed statement names the version: an up-to-date start needs no manifest.
        println("[Update] Version matches (binary " + version + " == remote " + claims->version +
                "), skipping hash scan");
        guard.keep = "";
        progress.set_bar(0);
        progress.show("Already up to date");
        return false;
    }

    const std::string manifest_url = update_url + manifest_name;
    println("[Update] Downloading remote manifest: " + manifest_url);
    FetchedManifest fetched;
    const auto started = std::chrono::steady_clock::now();
    try {
        fetched = fetch_manifest_text(session, update_url + percent_encode_path(manifest_name), 3, true,
                                      claims ? claims->manifest_size : 0);
    } catch (const std::exception& e) {
        report_fetch_failure(e, progress);
        return false;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double kb = static_cast<double>(fetched.manifest.compact_length) / 1024.0;
    Json remote = std::move(fetched.manifest.doc);  // "files" still empty
    println("[Update] Remote manifest downloaded: " + fixed(kb, 1) + "KB (" + fixed(seconds, 1) + "s)");

    const Json& remote_version_value = remote["version"];
    const std::string remote_version = text_of(remote_version_value);
    if (claims) {
        try {
            check_manifest_against(fetched.body, *claims, text_of(remote["app_name"]), remote_version);
        } catch (const StatementRefusal& r) {
            return refuse(progress, r.what());
        }
    }
    if (remote_version_value.is_string() && remote_version == version && remote["app_name"].is_string() &&
        remote["app_name"].get<std::string>() == app_name) {
        println("[Update] Version matches (binary " + version + " == remote " + remote_version +
                "), skipping hash scan");
        guard.keep = "";
        progress.set_bar(0);
        progress.show("Already up to date");
        return false;
    }
    // Hashed only past the up-to-date case, which keeps no staged tree.
    const std::string remote_hash = sha256_hex(fetched.body);
    guard.keep = stage_name(remote_hash);
    if (!remote["app_name"].is_string() || remote["app_name"].get<std::string>() != app_name) return false;

    if (is_rejected(paths, remote_hash)) {
        println("[Update] Version " + remote_version +
                " could not be installed or did not start before (see update_crash.log), skipping");
        return false;
    }
    remote = parse_manifest_json(fetched.body);  // now with its files
    fetched.body.clear();
    const Json& remote_files = remote["files"];
    const std::string file_base_url =
        update_url + percent_encode_path(app_name + "-" + remote_version + "-" + pf.display) + "/";
    if (!remote_files.empty()) {
        const std::string probe_path = probe_key(remote_files);
        const std::string probe_url = file_base_url + percent_encode_path(probe_path);
        auto [ok, reason] = url_head_ok(session, probe_url, 5.0, 2);
        if (!ok) {
            std::string message = reason == "HTTP 404"
                                      ? "Server version directory not found (" + remote_version + "), skipping update"
                                      : "Update probe failed (" + reason + "), skipping update";
            println("[Update] " + message + " probe=" + probe_url);
            progress.show(message);
            return false;
        }
        println("[Update] Remote version folder verified via HEAD: " + probe_path + " (" + reason + ")");
    }

    const Json local_manifest = parse_manifest_json(*local_text);  // checked above
    std::string local_ver = "?";
    if (local_manifest.is_object() && local_manifest.contains("version"))
        local_ver = text_of(local_manifest.at("version"));
    const std::string direction = remote_version < version ? "rollback" : "upgrade";
    progress.show("New version " + remote_version + " found (" + direction + "), updating...");
    progress.set_bar(0);
    println("[Update] " + direction + " needed: binary=" + version + " local_manifest=" + local_ver +
            " remote=" + remote_version);

    const Json* local_files = nullptr;
    if (local_manifest.is_object() && local_manifest.contains("files") && local_manifest.at("files").is_object())
        local_files = &local_manifest.at("files");
    if (!local_files)
        println("[Update] local manifest missing 'files', falling back to one-way compare (no delete)");
    UpdateDiff diff = compute_diff(dir, remote_files, local_files, ignore_patterns);
    // The update's own folder is never fetched into nor deleted from.
    std::erase_if(diff.to_download, [](const DownloadItem& item) { return is_update_folder_path(item.path); });
    std::erase_if(diff.to_delete, [](const std::string& rel) { return is_update_folder_path(rel); });
    println("[Update] diff stats: to_download=" + std::to_string(diff.to_download.size()) +
            "  to_delete(B\xE2\x88\x92" "A)=" + std::to_string(diff.to_delete.size()) +
            "  (remote.files=" + std::to_string(remote_files.size()) +
            "  local.files=" + (local_files ? std::to_string(local_files->size()) : std::string("N/A")) + ")");
    if (diff.to_download.empty() && diff.to_delete.empty()) return false;
    if (auto why = refusal_of_change(dir, manifest_name, diff, remote_files, local_files, claims != nullptr))
        return refuse(progress, *why);
    session.set_end(std::nullopt);  // downloads are bounded by their sizes and the minimum rate

    HandOff h;
    h.app_dir = dir;
    h.manifest_name = manifest_name;
    if (signed_release) h.statement_text = signed_release->statement_text;
    h.file_base_url = file_base_url;
    h.remote_manifest = &remote;
    h.remote_hash = remote_hash;
    h.new_version = remote_version;
    h.lock = start.lock.get();
    h.to_download = std::move(diff.to_download);
    h.to_delete = std::move(diff.to_delete);
    h.new_exe_path = choose_new_exe_path(dir, app_name, host().executable(), remote_files);
    // The script starts this executable after its deletions: never delete it,
    // or the installation is left with nothing to start.
    std::erase_if(h.to_delete, [&](const std::string& rel) { return join_path(dir, rel) == h.new_exe_path; });
    if (dir_name(h.new_exe_path) == dir && remote_files.contains(base_name(h.new_exe_path)))
        h.new_exe_rel = base_name(h.new_exe_path);
    return stage_and_hand_off(session, h, progress);
}

}  // namespace tarvik::update
