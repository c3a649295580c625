// Publishing a finished build to the update server: the channel's version
// check, then the manifest and every file of the output folder in batches.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarvik::publish {

inline constexpr size_t BATCH_SIZE = 100;

// Uploads the workspace's build for `os_label` under the COMMUNITY_KEY of its
// build.json. Every outcome is one "[publisher] " line; true when the upload
// completed or the server already holds this app name and version. `folder`
// is accepted and not used: the workspace is the current working directory.
bool publish(const std::string& os_label, const std::string& code, const std::string& folder = "");

// The module's command line: argv[0] is the script; needs <os> <code>.
// Returns the process exit status.
int publish_main(const std::vector<std::string>& argv);

}  // namespace tarvik::publish
