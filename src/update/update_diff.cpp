#include "update/update_diff.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string_view>
#include <unordered_set>

#include "core/file_io.hpp"
#include "core/release_statement.hpp"
#include "update/hashing.hpp"
#include "update/installation.hpp"
#include "update/safe_paths.hpp"

namespace tarvik::update {

namespace {

bool is_regular_file(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path_from_utf8(path), ec);
}

std::optional<uint64_t> non_negative(const Json& v) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    if (v.is_number_integer() && v.get<int64_t>() >= 0) return static_cast<uint64_t>(v.get<int64_t>());
    return std::nullopt;
}

// The block size of a block-level entry; nullopt when it names an unusable
// one, and the entry is then compared as a whole file.
std::optional<uint64_t> block_size_of(const Json& entry) {
    auto it = entry.find("block_size");
    if (it == entry.end()) return static_cast<uint64_t>(kDefaultBlockSize);
    auto n = non_negative(*it);
    if (!n || *n == 0) return std::nullopt;
    return n;
}

// The longest body an entry allows.
uint64_t max_bytes_of(const Json& entry) {
    if (entry.is_string()) return kMaxPlainEntryBytes;
    if (entry.is_object()) {
        auto size = entry.find("size");
        if (size != entry.end())
            if (auto n = non_negative(*size)) return std::max<uint64_t>(*n, 1);
    }
    return 0;
}

// A whole-file item; its hash is what the staged file is checked against.
DownloadItem whole(const std::string& path, const Json& entry) {
    DownloadItem item;
    item.path = path;
    item.sha256 = entry_sha256_text(entry).value_or("");
    item.max_bytes = max_bytes_of(entry);
    return item;
}

std::unordered_set<std::string_view> keys_of(const Json& object) {
    std::unordered_set<std::string_view> keys(object.size() * 2);
    for (const auto& member : object.get_ref<const Json::object_t&>()) keys.insert(member.first);
    return keys;
}

// One path that both manifests list.
void compare_file(const std::string& app_dir, const std::string& path, const Json& entry,
                  std::vector<DownloadItem>& out) {
    std::optional<std::string> remote_hash = entry_sha256_text(entry);
    std::string local_path = join_relative(app_dir, path);
    if (!is_regular_file(local_path)) {
        out.push_back(whole(path, entry));
        return;
    }
    std::optional<uint64_t> block_size = is_block_entry(entry) ? block_size_of(entry) : std::nullopt;
    if (block_size) {
        const Json& remote_blocks = entry["blocks"];
        std::vector<std::string> local_blocks;
        try {
            // Blocks past one more than the entry lists cannot change the outcome, and a
            // tiny block size must not turn a large file into millions of digests.
            local_blocks = hash_blocks(path_from_utf8(local_path), static_cast<int64_t>(*block_size),
                                       static_cast<int64_t>(remote_blocks.size()) + 1);
        } catch (const std::exception&) {
            local_blocks.clear();
        }
        DownloadItem item;
        item.path = path;
        item.partial = true;
        for (size_t i = 0; i < remote_blocks.size(); ++i) {
            const Json& rb = remote_blocks[i];
            if (i >= local_blocks.size() || !rb.is_string() || rb.get_ref<const std::string&>() != local_blocks[i])
                item.blocks.push_back(i);
        }
        if (item.blocks.empty() && local_blocks.size() == remote_blocks.size()) return;  // unchanged
        item.block_size = *block_size;
        auto size = entry.find("size");
        if (size != entry.end()) item.size = non_negative(*size);
        item.sha256 = remote_hash.value_or("");
        item.max_bytes = max_bytes_of(entry);
        out.push_back(std::move(item));
        return;
    }
    std::optional<std::string> local_hash = sha256_if_readable(path_from_utf8(local_path));
    if (!local_hash || !remote_hash || *local_hash != *remote_hash) out.push_back(whole(path, entry));
}

// The update script's own place at the top of the installation: a file there
// would be copied over the script while it runs, so it is never fetched.
bool is_script_path(const std::string& path) {
    std::string name = path;
#ifdef _WIN32
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#endif
    return name == "update.sh" || name == "update.bat";
}

}  // namespace

bool is_pinned_key_path(const std::string& rel) { return rel == kPinnedKeyFile; }

// A path below a protected folder, or with a backslash, is not a safe
// relative path, and is kept.
bool is_kept_on_delete(const std::string& rel, const std::vector<std::string>& ignore_patterns) {
    if (!is_safe_relative_path(rel) || is_pinned_key_path(rel)) return true;
    size_t slash = rel.rfind('/');
    if (is_reserved_file_name(slash == std::string::npos ? rel : rel.substr(slash + 1))) return true;
    return is_ignored_installed(rel, ignore_patterns);
}

UpdateDiff compute_diff(const std::string& app_dir, const Json& remote_files, const Json* local_files,
                        const std::vector<std::string>& ignore_patterns) {
    UpdateDiff d;
    if (!local_files) {
        for (const auto& [path, entry] : remote_files.items()) {
            if (is_script_path(path)) continue;
            std::string local_path = join_relative(app_dir, path);
            if (!is_regular_file(local_path)) {
                d.to_download.push_back(whole(path, entry));
                continue;
            }
            std::optional<std::string> local_hash = sha256_if_readable(path_from_utf8(local_path));
            std::optional<std::string> remote_hash = entry_sha256_text(entry);
            if (!local_hash || !remote_hash || *local_hash != *remote_hash) d.to_download.push_back(whole(path, entry));
        }
        return d;
    }
    // ordered_json looks keys up one by one; sets keep large manifests linear
    const auto remote_keys = keys_of(remote_files), local_keys = keys_of(*local_files);
    for (const auto& [path, entry] : remote_files.items())
        if (local_keys.count(path) && !is_script_path(path)) compare_file(app_dir, path, entry, d.to_download);
    for (const auto& [path, entry] : remote_files.items())
        if (!local_keys.count(path) && !is_script_path(path)) d.to_download.push_back(whole(path, entry));
    for (const auto& [path, entry] : local_files->items()) {
        if (remote_keys.count(path) || is_kept_on_delete(path, ignore_patterns)) continue;
        // A link the user made inside the installation is never followed out of it.
        if (is_regular_file(join_relative(app_dir, path)) && stays_inside(app_dir, path, true))
            d.to_delete.push_back(path);
    }
    return d;
}

}  // namespace tarvik::update
