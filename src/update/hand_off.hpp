// The second half of an update: stage the new files in the installation's
// update folder (resuming what an interrupted attempt verified), write the new
// manifest beside them, then write and start the update script.
#pragma once

#include <string>
#include <vector>

#include "core/http.hpp"
#include "core/json_text.hpp"
#include "update/progress.hpp"
#include "update/update_diff.hpp"
#include "update/update_lock.hpp"

namespace tarvik::update {

struct HandOff {
    std::string app_dir, manifest_name, file_base_url;
    const Json* remote_manifest = nullptr;
    std::string remote_hash;  // SHA-256 of the remote manifest's text: names the staged tree
    std::string new_version;
    std::vector<DownloadItem> to_download;
    std::vector<std::string> to_delete;
    std::string new_exe_path;
    // The new executable's relative path when the new version ships it: a
    // staged copy is made executable (the manifest carries no file modes).
    std::string new_exe_rel;
    // The signed statement of the new manifest, staged beside it under
    // statement_name(manifest_name) ("" when the update is not signed).
    std::string statement_text;
    UpdateLock* lock = nullptr;  // passed on to the script once it runs
};

// The staged tree's folder name for a remote manifest.
std::string stage_name(const std::string& remote_hash);

// True when the update script has been started; false (installation untouched)
// when a download or the start failed. Files fetched and verified before a
// failed download stay staged for the next attempt at the same manifest.
bool stage_and_hand_off(http::Session& session, const HandOff& h, Progress& progress);

}  // namespace tarvik::update
