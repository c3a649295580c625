// What an update must fetch and delete: installed files are hashed against the
// remote manifest's entries; the local manifest only says which paths the
// installation is known to hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json_text.hpp"

namespace tarvik::update {

struct DownloadItem {
    std::string path;
    bool partial = false;          // fetch only `blocks`, starting from the installed file
    std::vector<uint64_t> blocks;  // ascending block indices
    uint64_t block_size = 0;
    std::optional<uint64_t> size;  // the remote entry's "size"
    std::string sha256;            // the remote whole-file hash ("" when the entry has none)
                                   // that the staged file is checked against
    uint64_t max_bytes = 0;        // the longest body the entry allows (0: it gives no bound):
                                   // a block-level entry's "size", below 8 MiB for a plain entry
};

// The longest file a plain (hash text) entry can stand for: the build gives
// every file of 8 MiB and more a block-level entry.
inline constexpr uint64_t kMaxPlainEntryBytes = 8388608 - 1;

// The pinned key at the top of the installation is never deleted by an
// update: only a signed update may replace it.
bool is_pinned_key_path(const std::string& rel);

struct UpdateDiff {
    std::vector<DownloadItem> to_download;
    std::vector<std::string> to_delete;  // spelled as in the local manifest
};

// Two-way compare when local_files is given (it must be an object), one-way
// (nothing deleted) otherwise.
UpdateDiff compute_diff(const std::string& app_dir, const Json& remote_files, const Json* local_files,
                        const std::vector<std::string>& ignore_patterns);

// The delete protections: reserved file names, "dbs", "logs" and "__pycache__"
// folders at any depth, ignored paths and unsafe paths are never deleted.
bool is_kept_on_delete(const std::string& rel, const std::vector<std::string>& ignore_patterns);

}  // namespace tarvik::update
