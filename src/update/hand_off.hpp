// The second half of an update: stage the new files in a temporary folder,
// write the new manifest beside them, then write and start the update script.
#pragma once

#include <string>
#include <vector>

#include "core/http.hpp"
#include "core/json_text.hpp"
#include "update/progress.hpp"
#include "update/update_diff.hpp"

namespace tarvik::update {

struct HandOff {
    std::string app_dir, manifest_name, file_base_url;
    const Json* remote_manifest = nullptr;
    std::vector<DownloadItem> to_download;
    std::vector<std::string> to_delete;
    std::string new_exe_path;
    // The new executable's relative path when the new version ships it: a
    // staged copy is made executable (the manifest carries no file modes).
    std::string new_exe_rel;
    // The signed statement of the new manifest, staged beside it under
    // statement_name(manifest_name) ("" when the update is not signed).
    std::string statement_text;
};

// True when the update script has been started; false (temporary folder
// removed, installation untouched) when a download or the start failed.
bool stage_and_hand_off(http::Session& session, const HandOff& h, Progress& progress);

}  // namespace tarvik::update
