// What the build needs from the host interpreter beyond core/host.hpp, as a
// plain C++ interface. The binding layer (src/python/host_build.cpp)
// implements it; every method takes the interpreter lock itself, and errors
// raised by Python come back as exceptions carrying the Python error.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarvik::build {

class BuildHost {
public:
    virtual ~BuildHost() = default;

    // Puts dir at the front of sys.path (unless it is the first entry already).
    virtual void prepend_module_path(const std::filesystem::path& dir) = 0;

    // Imports the module discovered_apps from the module search path and calls
    // its main(workspace) while sys.argv holds only its element 0. A copy of
    // the module cached by an earlier import is dropped first, so the
    // workspace's current file is the one that runs. sys.argv is put back
    // afterwards, also when the import or the call fails.
    virtual void run_discovered_apps(const std::filesystem::path& workspace) = 0;

    // The first value of tarvik_token.encrypt_info(); it must be a str.
    virtual std::string community_key() = 0;

};

// The interpreter of this process; provided by the binding layer.
BuildHost& build_host();

}  // namespace tarvik::build
