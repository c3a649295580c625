// What the server takes from an uploaded update manifest.
#pragma once

#include <string>
#include <vector>

namespace devserver {

struct ManifestInfo {
    std::string app_name, version;
    // The version folder: app name + "-" + version + "-" + display label of "os".
    std::string folder;
    // Relative paths the version folder must hold before the manifest is served;
    // files below a folder named "media" are left out, as publishers never send them.
    std::vector<std::string> required;
};

// Throws Refusal(400) unless the bytes are a JSON object with string
// "app_name" and "version", an "os" of windows, macos or linux, and an object
// "files" whose names are safe relative paths.
ManifestInfo read_manifest(const std::string& bytes);

}  // namespace devserver
