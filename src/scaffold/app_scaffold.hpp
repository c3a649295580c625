// Adding an app or an API app to the workspace's project folder "ostervane".
// The app's name is element 2 of the process arguments.
#pragma once

#include <string>

namespace tarvik::scaffold {

// Copies the plain app skeleton (cmd/extends) into ostervane/<name>.
void new_app(const std::string& folder);
// Copies the API skeleton (cmd/newapi) and rewrites its sources for the app.
void new_api(const std::string& folder);

}  // namespace tarvik::scaffold
