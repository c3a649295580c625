#include "build/manifest.hpp"

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/json_text.hpp"
#include "core/pytext.hpp"

namespace tarvik::build {

namespace fs = std::filesystem;

std::string manifest_name(const std::string& app_name, const std::string& os_label, const std::string& arch) {
    return "manifest--" + app_name + "-" + os_label + "-" + arch + ".json";
}

std::vector<std::string> load_gitignore(const fs::path& dist_dir) {
    std::vector<std::string> patterns = read_ignore_file(dist_dir / ".gitignore");
    std::vector<std::string> workspace = read_ignore_file(fs::path(".gitignore"));
    patterns.insert(patterns.end(), workspace.begin(), workspace.end());
    return patterns;
}

void generate_manifest(const std::string& app_name, const std::string& version, const std::string& os_label,
                       const std::string& arch, const std::string& folder_name) {
    const fs::path dist_dir = fs::path("build") / path_from_utf8(folder_name);
    const std::string name = manifest_name(app_name, os_label, arch);
    std::error_code ec;
    if (!fs::is_directory(dist_dir, ec))
        throw Error(ErrorKind::FileNotFoundError, "Build output directory does not exist: " + path_text(dist_dir));

    const IgnoreMatcher ignore(load_gitignore(dist_dir));
    ScannedFiles scanned = scan_distribution(dist_dir, name, ignore, [] { host().check_interrupt(); });
    std::vector<DistFile>& files = scanned.files;
    std::vector<FileDigest>& digests = scanned.digests;

    // Paths are distinct, so members are appended without the ordered map's
    // linear look-up per key.
    Json listing = Json::object();
    auto& members = listing.get_ref<Json::object_t&>();
    members.reserve(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        FileDigest& d = digests[i];
        if (!d.block_level) {
            members.emplace_back(std::move(files[i].rel), std::move(d.sha256));
            continue;
        }
        Json entry = Json::object();
        entry["size"] = d.size;
        entry["sha256"] = std::move(d.sha256);
        entry["block_size"] = BLOCK_SIZE;
        entry["blocks"] = std::move(d.blocks);
        members.emplace_back(std::move(files[i].rel), std::move(entry));
    }
    Json manifest = Json::object();
    manifest["app_name"] = app_name;
    manifest["version"] = version;
    manifest["os"] = os_label;
    manifest["arch"] = arch;
    manifest["files"] = std::move(listing);

    for (const std::string& folder : scanned.left_out_folders)
        println("[builder] left out of the manifest, updates never write there: " +
                utf8_replace_invalid(path_text(dist_dir / path_from_utf8(folder))));
    const std::string text = to_platform_newlines(json_text(manifest));
    const fs::path in_dist = dist_dir / path_from_utf8(name);
    write_file(in_dist, text);
    println("[builder] generated " + path_text(in_dist) + ": " + std::to_string(files.size()) + " files");
    write_file(fs::path("build") / path_from_utf8(name), text);
    println("[builder] copied to build/" + name);
}

}  // namespace tarvik::build
