// What app, project and plugin scaffolding needs from the host interpreter
// beyond core/host.hpp, as a plain C++ interface. The binding layer
// (src/python/host_scaffold.cpp) implements it with the running interpreter;
// every method takes the interpreter lock itself. Errors raised by Python come
// back as exceptions carrying the Python error.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::scaffold {

class ScaffoldHost {
public:
    virtual ~ScaffoldHost() = default;

    // The "Name" metadata field of every distribution that importlib.metadata
    // sees, as exact strings (distributions without a name are left out).
    virtual std::vector<std::string> installed_distribution_names() = 0;

    // The initialisation file of the top-level package `name` on the module
    // search path (importlib.util.find_spec(name).origin), or nothing when no
    // regular package of that name can be found.
    virtual std::optional<std::filesystem::path> package_init_file(const std::string& name) = 0;

    // Calls tarvik.cmd.file.discovered_apps.main(workspace) while sys.argv holds
    // only its element 0. The caller's argument list (the same list object) is
    // put back afterwards, also when the import or the call fails.
    virtual void run_discovered_apps(const std::filesystem::path& workspace) = 0;


    // True when the exception carries a Python OSError (or a subclass) raised
    // by the interpreter; the library's own OS errors are told apart without it.
    virtual bool is_python_os_error(const std::exception& e) = 0;
};

// The interpreter of this process; provided by the binding layer.
ScaffoldHost& scaffold_host();

}  // namespace tarvik::scaffold
