// Regenerating apps.json through the workspace's own discovered_apps script.
#include <filesystem>

#include "build/build_host.hpp"
#include "build/build_steps.hpp"
#include "core/host.hpp"

namespace tarvik::build {

void generate_apps_json() {
    const std::filesystem::path workspace = std::filesystem::current_path();
    build_host().prepend_module_path(workspace);
    build_host().run_discovered_apps(workspace);
    println("[builder] apps.json generated");
}

}  // namespace tarvik::build
