// The files one publish sends: the manifest first, then every file of the
// build's output folder in top-down walk order.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarvik::publish {

struct UploadEntry {
    std::string field;     // form field name
    std::string filename;  // file name sent with the part
    std::filesystem::path path;
};

// The manifest entry ("manifest", its file name), then, when the build signed
// the manifest, its statement ("statement", "<manifest name>.sig", from beside
// the manifest in build/), then one entry per file below
// `output_folder` named by its "/"-separated relative path. In each folder its
// files come first in listing order, then its subfolders in listing order.
// Folders named exactly "media" are not entered, links to folders are not
// followed, and a folder that cannot be listed is passed over.
std::vector<UploadEntry> collect_upload_entries(const std::filesystem::path& manifest,
                                                const std::filesystem::path& output_folder);

}  // namespace tarvik::publish
