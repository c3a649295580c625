#include "publish/publisher.hpp"

#include <filesystem>
#include <optional>
#include <system_error>

#include "core/baseurl.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/http.hpp"
#include "core/json_read.hpp"
#include "core/release_statement.hpp"
#include "publish/json_py_text.hpp"
#include "publish/upload_batches.hpp"
#include "publish/upload_entries.hpp"

namespace tarvik::publish {

namespace {

namespace fs = std::filesystem;

constexpr double kCheckTimeout = 30.0;

// A step that failed: its line is printed and publish returns false.
struct Failure {
    std::string line;
};

std::optional<fs::path> find_manifest(const fs::path& build_dir, const std::string& os_label) {
    const std::string label = "-" + os_label + "-";
    std::error_code ec;
    for (fs::directory_iterator it(build_dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = path_text(it->path().filename());
        if (name.starts_with("manifest--") && name.ends_with(".json") && name.find(label) != std::string::npos)
            return it->path();
    }
    return std::nullopt;
}

Json read_json_object(const fs::path& path, const std::string& what) {
    Json doc;
    try {
        doc = read_json_file(path);
    } catch (const std::exception& e) {
        throw Failure{"[publisher] failed to parse " + what + ": " + error_text(e)};
    }
    if (!doc.is_object())
        throw Failure{"[publisher] failed to parse " + what + ": expected a JSON object, got " + py_type_word(doc)};
    return doc;
}

fs::path find_output_folder(const fs::path& build_dir, const std::string& app, const std::string& version,
                            const std::string& os_label) {
    const std::string prefix = app + "-" + version + "-";
    std::error_code ec;
    fs::path folder = build_dir / path_from_utf8(prefix + os_label);
    if (fs::is_directory(folder, ec)) return folder;
    for (fs::directory_iterator it(build_dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code kind_ec;
        if (it->is_directory(kind_ec) && path_text(it->path().filename()).starts_with(prefix)) return it->path();
    }
    throw Failure{"[publisher] output folder not found for app_name=" + app + ", version=" + version +
                  ", os=" + os_label};
}

std::string channel_key(const fs::path& output_folder) {
    fs::path info = output_folder / "build.json";
    std::error_code ec;
    if (!fs::exists(info, ec)) throw Failure{"[publisher] build.json not found in output folder"};
    Json doc = read_json_object(info, "build.json");
    const Json* key = member(doc, "COMMUNITY_KEY");
    if (!key || !py_truthy(*key)) throw Failure{"[publisher] COMMUNITY_KEY not found in build.json"};
    return py_str(*key);
}

// The release counter of the build's signed statement, 0 when it has none.
uint64_t local_counter(const fs::path& manifest_path) {
    fs::path statement = manifest_path;
    statement += kStatementSuffix;
    try {
        std::error_code ec;
        if (!fs::is_regular_file(statement, ec)) return 0;
        return read_statement_claims(read_file(statement)).counter;
    } catch (const std::exception&) {
        return 0;
    }
}

// True when the server already holds this app name and version. A server that
// reports the counter of its signed statement and holds an older one gets the
// re-release (same version, newer statement) all the same.
bool server_holds(http::Session& session, const std::string& url, const Json& manifest, uint64_t counter) {
    println("[publisher] checking server version: GET " + url);
    http::Response r;
    try {
        r = session.get(url, kCheckTimeout);
    } catch (const std::exception& e) {
        throw Failure{"[publisher] server check error: " + error_text(e)};
    }
    if (r.status == 404) {
        println("[publisher] server returned 404, treating as no existing version, will upload");
        return false;
    }
    if (r.status != 200)
        throw Failure{"[publisher] server check failed, HTTP " + std::to_string(r.status) + ": " + body_start(r.body)};
    Json held;
    try {
        require_utf8(r.body);
        held = parse_json(r.body);
    } catch (const std::exception&) {
        throw Failure{"[publisher] server returned non-JSON response: " + body_start(r.body)};
    }
    if (!held.is_object())
        throw Failure{"[publisher] server returned an unexpected response: " + body_start(r.body)};
    const Json* app = member(held, "app_name");
    const Json* version = member(held, "version");
    println("[publisher] server: app_name=" + py_str(app) + ", version=" + py_str(version));
    if (app && version && *app == manifest.at("app_name") && *version == manifest.at("version")) {
        // The reader keeps integers signed: a negative one is no counter.
        const Json* held_counter = member(held, "counter");
        const bool counted = held_counter && held_counter->is_number_integer() && *held_counter >= 0;
        if (counter && counted && held_counter->get<uint64_t>() < counter) {
            println("[publisher] server holds this version with an older signed statement (counter " +
                    std::to_string(held_counter->get<uint64_t>()) + "), uploading the re-release " +
                    std::to_string(counter));
            return false;
        }
        println("[publisher] server already has this version, skipping upload");
        return true;
    }
    return false;
}

bool run(const std::string& os_label, const std::string& code) {
    const fs::path build_dir = fs::current_path() / "build";
    std::error_code ec;
    if (!fs::is_directory(build_dir, ec)) throw Failure{"[publisher] build/ directory not found, nothing to publish"};

    std::optional<fs::path> manifest_path = find_manifest(build_dir, os_label);
    if (!manifest_path) throw Failure{"[publisher] manifest-" + os_label + "-{arch}.json not found in build/"};
    Json manifest = read_json_object(*manifest_path, "manifest");
    const Json* app = member(manifest, "app_name");
    const Json* version = member(manifest, "version");
    if (!app || !version || !py_truthy(*app) || !py_truthy(*version))
        throw Failure{"[publisher] manifest missing required fields (app_name/version)"};
    const std::string app_text = py_str(*app), version_text = py_str(*version);
    println("[publisher] local manifest: app_name=" + app_text + ", version=" + version_text +
            ", os=" + py_str(member(manifest, "os")) + ", arch=" + py_str(member(manifest, "arch")));

    const fs::path output_folder = find_output_folder(build_dir, app_text, version_text, os_label);
    println("[publisher] output folder: " + path_text(output_folder));
    const std::string key = channel_key(output_folder);

    std::string base = baseurl();
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string url = base + "/auth/" + key + "/";
    http::Session session;
    if (server_holds(session, url, manifest, local_counter(*manifest_path))) return true;

    println("[publisher] update URL: " + url);
    std::vector<UploadEntry> entries = collect_upload_entries(*manifest_path, output_folder);
    println("[publisher] uploading " + std::to_string(entries.size()) + " files...");
    if (!send_batches(session, url, code, entries)) return false;
    println("[publisher] upload success");
    return true;
}

}  // namespace

bool publish(const std::string& os_label, const std::string& code, const std::string& folder) {
    (void)folder;
    try {
        return run(os_label, code);
    } catch (const Failure& f) {
        println(f.line);
        return false;
    }
}

int publish_main(const std::vector<std::string>& argv) {
    if (argv.size() < 3) {
        println("Usage: python publish.py <os> <code>");
        return 1;
    }
    return publish(argv[1], argv[2]) ? 0 : 1;
}

}  // namespace tarvik::publish
