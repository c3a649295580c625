// Hashing installed files against manifest entries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/json_text.hpp"

namespace tarvik::update {

// Block size for a block-level entry that does not name one.
inline constexpr int64_t kDefaultBlockSize = 262144;

// SHA-256 (hex) of each consecutive block of the file; the last block may be
// shorter, an empty file gives an empty list. A block size of 0 gives an empty
// list and a negative one hashes the whole file as one block. With max_blocks
// (not negative) only the first max_blocks blocks are hashed. Read failures throw.
std::vector<std::string> hash_blocks(const std::filesystem::path& path, int64_t block_size = kDefaultBlockSize,
                                     int64_t max_blocks = -1);

// An object whose "blocks" is an array and which has a "sha256" member.
bool is_block_entry(const Json& entry);
// The whole-file hash member of an entry: the text itself, an object's
// "sha256" member, or nullptr.
const Json* entry_sha256(const Json& entry);
// The same, only when it is text.
std::optional<std::string> entry_sha256_text(const Json& entry);

// SHA-256 (hex) of the file, or nullopt when it cannot be read.
std::optional<std::string> sha256_if_readable(const std::filesystem::path& path);

// Hash of every installed file the ignore rules keep, skipping manifest files,
// update scripts and unreadable files. Keys are "/"-separated relative paths.
Json scan_local_files(const std::filesystem::path& app_dir, const std::vector<std::string>& ignore_patterns);

// The names that the update never deletes and a scan never lists: "update.bat",
// "update.sh", "manifest.json" and "manifest-*.json".
bool is_reserved_file_name(const std::string& name);

// The ignore test of installations (case-sensitive on every platform).
bool is_ignored_installed(const std::string& rel_path, const std::vector<std::string>& patterns);

}  // namespace tarvik::update
