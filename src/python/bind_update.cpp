// The update client module: check_update and its private helpers.
#include <nanobind/stl/filesystem.h>

#include "core/baseurl.hpp"
#include "core/host.hpp"
#include "core/http.hpp"
#include "core/process_list.hpp"
#include "core/sha256.hpp"
#include "python/bind_update_json.hpp"
#include "python/bindings.hpp"
#include "core/file_io.hpp"
#include "python/host_update_widgets.hpp"
#include "update/check_update.hpp"
#include "update/file_transfer.hpp"
#include "update/installation.hpp"
#include "update/update_script.hpp"
#include "update/url_path.hpp"
#include "update/version_order.hpp"
#include "update/hashing.hpp"
#include "update/manifest_fetch.hpp"
#include "update/reachability.hpp"

namespace tarvik::py {

namespace fs = std::filesystem;
using namespace tarvik::update;

namespace {

void bind_primitives(nb::module_& m) {
    m.def(
        "_can_reach_server",
        [](std::string url, double timeout) { return without_gil([&] { return can_reach_server(url, timeout); }); },
        nb::arg("update_url"), nb::arg("timeout") = 2.0,
        "False only when a TCP connection to the server's host and port cannot be opened.");
    m.def(
        "_fetch_manifest",
        [](std::string url, int max_retries) {
            Json doc = without_gil([&] {
                http::Session session;
                return fetch_manifest(session, url, max_retries);
            });
            return json_to_py(doc);
        },
        nb::arg("url"), nb::arg("max_retries") = 3, "GET and validate the remote manifest, with retries.");
    m.def(
        "_url_head_ok",
        [](std::string url, double timeout, int max_retries) {
            return without_gil([&] {
                http::Session session;
                return url_head_ok(session, url, timeout, max_retries);
            });
        },
        nb::arg("url"), nb::arg("timeout") = 5.0, nb::arg("max_retries") = 2,
        "HEAD probe: (ok, reason).");
    m.def(
        "_download",
        [](std::string url, fs::path dest, int max_retries) {
            without_gil([&] {
                http::Session session;
                download(session, url, dest, max_retries);
            });
        },
        nb::arg("url"), nb::arg("dest"), nb::arg("max_retries") = 3, "Download a whole file, with retries.");
    m.def(
        "_download_range",
        [](std::string url, fs::path dest, uint64_t byte_start, uint64_t byte_end, int max_retries) {
            return without_gil([&] {
                http::Session session;
                return download_range(session, url, dest, byte_start, byte_end, max_retries);
            });
        },
        nb::arg("url"), nb::arg("dest"), nb::arg("byte_start"), nb::arg("byte_end"), nb::arg("max_retries") = 3,
        "Fetch one byte range into dest; False when the server sent the whole file instead.");
    m.def(
        "_sha256_file",
        [](fs::path path) { return without_gil([&] { return sha256_file(path); }); }, nb::arg("path"),
        "SHA-256 of a file as 64 lower-case hex digits.");
    m.def(
        "_hash_blocks",
        [](fs::path path, int64_t block_size) { return without_gil([&] { return hash_blocks(path, block_size); }); },
        nb::arg("path"), nb::arg("block_size") = kDefaultBlockSize, "SHA-256 of each block of a file.");
    m.def(
        "_compare_versions", [](const std::string& a, const std::string& b) { return compare_versions(a, b); },
        nb::arg("a"), nb::arg("b"),
          "Release order of two version texts: negative, 0 or positive.");
    m.def(
        "_url_path", [](const std::string& rel) { return percent_encode_path(rel); }, nb::arg("rel_path"),
          "A relative path as it goes into a file URL: each component percent-encoded.");
    m.def(
        "_is_block_entry", [](nb::handle val) { return is_block_entry(py_to_json(val, 1)); },
        nb::arg("val").none(), "True for a block-level manifest entry.");
    m.def(
        "_entry_sha256",
        [](nb::handle val) -> nb::object {
            // Only the entry's own members matter; what is found is handed back as it is.
            Json entry = py_to_json(val, 1);
            const Json* h = entry_sha256(entry);
            if (!h) return nb::none();
            if (h == &entry) return nb::borrow(val);
            PyObject* member = PyDict_GetItemString(val.ptr(), "sha256");
            return member ? nb::borrow(member) : nb::none();
        },
        nb::arg("val").none(), "Whole-file hash of a manifest entry, or None.");
    m.def(
        "_scan_local_files",
        [](fs::path app_dir, std::vector<std::string> patterns) {
            Json out = without_gil([&] { return scan_local_files(app_dir, patterns); });
            return json_to_py(out);
        },
        nb::arg("app_dir"), nb::arg("ignore_patterns"), "Hash of every installed file the ignore rules keep.");
}

ScriptInputs script_inputs(const fs::path& app_dir, const fs::path& temp_dir, std::vector<std::string> to_delete,
                           std::optional<std::string> manifest_name, std::optional<std::string> new_exe_path) {
    return {path_text(app_dir), path_text(temp_dir), std::move(to_delete), std::move(manifest_name),
            std::move(new_exe_path), host().executable()};
}

void bind_installation(nb::module_& m) {
    m.def("_app_dir", &app_dir, "Directory of the running executable (sys.executable).");
    m.def(
        "_load_community_key",
        [](fs::path dir) -> nb::object {
            std::optional<Json> key = load_community_key(path_text(dir));
            return key ? json_to_py(*key) : nb::none();
        },
        nb::arg("app_dir"), "COMMUNITY_KEY from the installation's build.json, or None.");
    m.def(
        "_detect_platform",
        [] {
            Platform p = detect_platform();
            return std::make_tuple(p.os, p.arch, p.display);
        },
        "(os label, architecture label, OS display name) of this machine.");
    m.def(
        "_read_gitignore", [](fs::path dir) { return read_gitignore(path_text(dir)); }, nb::arg("app_dir"),
        "Ignore patterns of the installation's .gitignore.");
    m.def("_is_ignored", &is_ignored_installed, nb::arg("rel_path"), nb::arg("patterns"),
          "True when the installed file at rel_path is left alone by the ignore rules.");
    m.def(
        "_generate_update_script",
        [](fs::path app_dir, fs::path temp_dir, std::vector<std::string> to_delete,
           std::optional<std::string> manifest_name, std::optional<std::string> new_exe_path) {
            return write_update_script(
                script_inputs(app_dir, temp_dir, std::move(to_delete), std::move(manifest_name), std::move(new_exe_path)));
        },
        nb::arg("app_dir"), nb::arg("temp_dir"), nb::arg("to_delete"), nb::arg("manifest_name").none() = nb::none(),
        nb::arg("new_exe_path").none() = nb::none(), "Write the platform's update script; returns its path.");
    m.def(
        "_generate_update_bat",
        [](fs::path app_dir, fs::path temp_dir, std::vector<std::string> to_delete,
           std::optional<std::string> manifest_name, std::optional<std::string> new_exe_path, std::optional<long> pid) {
            return write_batch_script(
                script_inputs(app_dir, temp_dir, std::move(to_delete), std::move(manifest_name), std::move(new_exe_path)),
                pid.value_or(current_process_id()));
        },
        nb::arg("app_dir"), nb::arg("temp_dir"), nb::arg("to_delete"), nb::arg("manifest_name").none() = nb::none(),
        nb::arg("new_exe_path").none() = nb::none(), nb::arg("pid").none() = nb::none(),
        "Write the Windows form of the update script (update.bat), waiting for process pid (by default "
        "this process) to end.");
}

}  // namespace

void bind_update(nb::module_& m) {
    nb::module_ u = m.def_submodule("update", "Self-update client of shipped applications");
    u.attr("BASE_URL") = baseurl();
    u.attr("UPDATE_URL") = default_update_url();
    bind_primitives(u);
    bind_installation(u);
    u.def(
        "check_update",
        [](std::string app_name, std::string version, nb::object status_label, nb::object progress_bar) {
            auto progress = widget_progress(std::move(status_label), std::move(progress_bar));
            return without_gil([&] { return check_update(app_name, version, *progress); });
        },
        nb::arg("app_name"), nb::arg("version"), nb::arg("status_label").none() = nb::none(),
        nb::arg("progress_bar").none() = nb::none(),
        "Check for a new version and start the update; True means the caller must exit now.");
}

}  // namespace tarvik::py
