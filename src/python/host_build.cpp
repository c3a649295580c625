// The build's interpreter services (build/build_host.hpp): the module search
// path, the workspace's discovered_apps script, the token package and
// Python's case mapping. Every method takes the interpreter lock.
#include "build/build_host.hpp"

#include "core/file_io.hpp"
#include "core/pytext.hpp"
#include "python/bindings.hpp"

namespace tarvik::build {

namespace {

nb::object import(const char* name) { return nb::module_::import_(name); }

class PyBuildHost final : public BuildHost {
public:
    void prepend_module_path(const std::filesystem::path& dir) override {
        py::with_gil([&] {
            nb::object path = import("sys").attr("path");
            nb::object entry = py::to_python_path(dir);
            if (nb::len(path) > 0 && path[0].equal(entry)) return;
            path.attr("insert")(0, entry);
        });
    }

    void run_discovered_apps(const std::filesystem::path& workspace) override {
        py::with_gil([&] {
            nb::object sys = import("sys");
            // A module of that name imported earlier (another workspace, an older
            // file) would be reused by the import system; the workspace's own file
            // must run.
            sys.attr("modules").attr("pop")("discovered_apps", nb::none());
            nb::object importlib = import("importlib");
            importlib.attr("invalidate_caches")();
            nb::object module = importlib.attr("import_module")("discovered_apps");
            nb::object main = module.attr("main");

            nb::object saved = sys.attr("argv");
            nb::list reduced;
            if (nb::len(saved) > 0) reduced.append(saved[0]);
            sys.attr("argv") = reduced;
            try {
                main(py::to_python_path(workspace));
            } catch (...) {
                sys.attr("argv") = saved;
                throw;
            }
            sys.attr("argv") = saved;
        });
    }

    std::string community_key() override {
        return py::with_gil([&] {
            nb::object info = import("tarvik_token").attr("encrypt_info")();
            nb::object key = info[0];
            if (!nb::isinstance<nb::str>(key))
                throw nb::type_error(("tarvik_token.encrypt_info() must yield the community key (a str) first, got " +
                                      nb::cast<std::string>(nb::str(key.type().attr("__name__"))))
                                         .c_str());
            return nb::cast<std::string>(key);
        });
    }
};

PyBuildHost g_build_host;

}  // namespace

BuildHost& build_host() { return g_build_host; }

}  // namespace tarvik::build
