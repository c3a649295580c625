#include "update/hashing.hpp"

#include <exception>
#include <iterator>
#include <thread>
#include <vector>

#include "core/file_io.hpp"
#include "core/ignore_rules.hpp"
#include "core/sha256.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

// Digests of the blocks from first_block on, up to block_limit blocks (or to
// the end of the file when block_limit is negative).
std::vector<std::string> hash_block_run(const fs::path& path, int64_t block_size, int64_t first_block,
                                        int64_t block_limit) {
    UniqueFile f = open_file(path, "rb");
    if (first_block > 0) seek_to(f.get(), static_cast<uint64_t>(first_block * block_size), path);
    std::vector<std::string> out;
    std::vector<char> buf(65536);
    Sha256 h;
    int64_t in_block = 0;
    while (block_limit < 0 || static_cast<int64_t>(out.size()) < block_limit) {
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

// Below this size one thread hashes the whole file.
constexpr uintmax_t kSplitFrom = 16u << 20;

}  // namespace

// Large files are hashed in two halves on two threads: the digests are per
// block, so the halves are independent and the list comes out the same.
std::vector<std::string> hash_blocks(const fs::path& path, int64_t block_size, int64_t max_blocks) {
    if (block_size == 0 || max_blocks == 0) {
        open_file(path, "rb");  // a missing or unreadable file still fails
        return {};
    }
    if (block_size < 0) max_blocks = -1;  // one block, whatever the limit
    std::error_code ec;
    uintmax_t size = fs::file_size(path, ec);
    if (block_size < 0 || ec || size < kSplitFrom || std::thread::hardware_concurrency() < 2)
        return hash_block_run(path, block_size, 0, max_blocks);
    int64_t blocks = static_cast<int64_t>(size / static_cast<uintmax_t>(block_size) +
                                          (size % static_cast<uintmax_t>(block_size) != 0));
    if (max_blocks > 0 && max_blocks < blocks) blocks = max_blocks;
    int64_t first_half = blocks / 2;
    if (first_half == 0) return hash_block_run(path, block_size, 0, max_blocks);
    // Without a limit the second half reads on to the end, should the file grow meanwhile.
    const int64_t tail_limit = max_blocks > 0 ? blocks - first_half : -1;
    std::vector<std::string> tail;
    std::exception_ptr tail_error;
    std::thread helper([&] {
        try {
            tail = hash_block_run(path, block_size, first_half, tail_limit);
        } catch (...) {
            tail_error = std::current_exception();
        }
    });
    std::vector<std::string> head;
    try {
        head = hash_block_run(path, block_size, 0, first_half);
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (tail_error) std::rethrow_exception(tail_error);
    if (static_cast<int64_t>(head.size()) < first_half) return head;  // the file shrank meanwhile
    head.insert(head.end(), std::make_move_iterator(tail.begin()), std::make_move_iterator(tail.end()));
    return head;
}

std::optional<std::string> sha256_if_readable(const fs::path& path) {
    try {
        return sha256_file(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
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
        if (auto hash = sha256_if_readable(path)) out[rel] = *hash;  // unreadable files are left out
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
