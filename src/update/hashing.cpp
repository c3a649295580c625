#include "update/hashing.hpp"

#include <vector>

#include "core/file_io.hpp"
#include "core/ignore_rules.hpp"
#include "core/sha256.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

std::vector<std::string> hash_blocks(const fs::path& path, int64_t block_size) {
    UniqueFile f = open_file(path, "rb");
    std::vector<std::string> out;
    if (block_size == 0) return out;
    std::vector<char> buf(65536);
    Sha256 h;
    int64_t in_block = 0;
    for (;;) {
        size_t want = buf.size();
        if (block_size > 0) want = static_cast<size_t>(std::min<int64_t>(want, block_size - in_block));
        size_t n = read_some(f.get(), buf.data(), want, path);
        if (n == 0) break;
        h.update(buf.data(), n);
        in_block += static_cast<int64_t>(n);
        if (block_size > 0 && in_block == block_size) {
            out.push_back(h.hex_digest());
            in_block = 0;
        }
    }
    if (in_block > 0) out.push_back(h.hex_digest());
    return out;
}

bool is_block_entry(const Json& entry) {
    return entry.is_object() && entry.contains("blocks") && entry["blocks"].is_array() &&
           entry.contains("sha256");
}

const Json* entry_sha256(const Json& entry) {
    if (entry.is_string()) return &entry;
    if (entry.is_object()) {
        auto it = entry.find("sha256");
        if (it != entry.end()) return &*it;
    }
    return nullptr;
}

std::optional<std::string> entry_sha256_text(const Json& entry) {
    const Json* h = entry_sha256(entry);
    if (h && h->is_string()) return h->get<std::string>();
    return std::nullopt;
}

bool is_reserved_file_name(const std::string& name) {
    if (name == "update.bat" || name == "update.sh" || name == "manifest.json") return true;
    return name.size() >= 14 && name.rfind("manifest-", 0) == 0 &&
           name.compare(name.size() - 5, 5, ".json") == 0;
}

bool is_ignored_installed(const std::string& rel_path, const std::vector<std::string>& patterns) {
    return is_ignored(rel_path, patterns, false);
}

namespace {

// Top-down like os.walk: a directory's files first, then its subdirectories;
// links to directories are not followed and unreadable directories are skipped.
void scan_dir(const fs::path& dir, const std::string& prefix, const std::vector<std::string>& patterns,
              Json& out) {
    std::vector<fs::path> subdirs;
    std::vector<std::pair<fs::path, std::string>> files;
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    if (ec) return;
    for (; it != end; it.increment(ec)) {
        if (ec) return;
        const fs::directory_entry& e = *it;
        std::string name = path_text(e.path().filename());
        std::error_code ec2;
        if (e.is_directory(ec2)) {
            if (!e.is_symlink(ec2)) subdirs.push_back(e.path());
            continue;
        }
        files.emplace_back(e.path(), name);
    }
    for (const auto& [path, name] : files) {
        if (is_reserved_file_name(name)) continue;
        std::string rel = prefix + name;
        if (is_ignored_installed(rel, patterns)) continue;
        try {
            out[rel] = sha256_file(path);
        } catch (const std::exception&) {
            // unreadable files are left out of the scan
        }
    }
    for (const fs::path& sub : subdirs) scan_dir(sub, prefix + path_text(sub.filename()) + "/", patterns, out);
}

}  // namespace

Json scan_local_files(const fs::path& app_dir, const std::vector<std::string>& ignore_patterns) {
    Json out = Json::object();
    scan_dir(app_dir, "", ignore_patterns, out);
    return out;
}

}  // namespace tarvik::update
