// The download phase of an update: every listed file (or only its changed
// blocks) fetched into the staging folder over a small pool of connections,
// with the per-file retries, checks and progress texts of a single download.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/http.hpp"
#include "update/progress.hpp"
#include "update/update_diff.hpp"

namespace tarvik::update {

struct FetchPlan {
    std::string app_dir;        // the installation: changed blocks patch a copy of its file
    std::string file_base_url;  // + an item's path = that file's URL
    std::string staging_dir;    // an item is staged at staging_dir/path
    int connections = 6;        // transfers at once; 1 fetches one after another on one connection
    int attempts = 3;           // per file and per block; after failed attempt n, that item waits n s
    // The remote manifest's "files": a file an earlier attempt staged in part
    // fetches only the blocks that still differ from its entry.
    const Json* remote_files = nullptr;
};

struct FetchFailure {
    std::string path;  // the item's path as listed
    std::string text;  // the last failure's text
};

// Transfers at once for an update: 6, or TARVIK_UPDATE_CONNECTIONS (1 to 16)
// when the environment sets it (1 gives the one-connection path for comparison).
int update_connections();

// Fetches every item over `session`'s kept-alive connection and up to
// plan.connections - 1 more (the session makes no request meanwhile), and
// checks each against its whole-file hash; a file that fails it is fetched
// once more over a fresh connection before it counts as failed. What an
// earlier attempt left in the staging folder is reused: a file that matches
// its hash is not fetched, a file cut short continues by range after its
// last byte, a file patched by blocks fetches only the blocks still wrong. With a bar,
// shows "Preparing to download N files" first, then reports "Downloading
// <name>" as files (and blocks) complete, in completion order; the counts only
// grow. Returns nothing when all are staged; otherwise the first item that
// failed after its attempts, the other transfers stopped (what was staged is
// left for the caller to keep or remove). Ctrl-C passes through.
std::optional<FetchFailure> fetch_all(http::Session& session, const std::vector<DownloadItem>& items,
                                      const FetchPlan& plan, Progress& progress);

}  // namespace tarvik::update
