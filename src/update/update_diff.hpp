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
};

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
