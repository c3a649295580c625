// The scaffolding's interpreter services (scaffold/scaffold_host.hpp): installed
// distributions, the module finder, the framework's discovered-apps generator
// and Python's case mapping. Every method takes the interpreter lock.
#include "scaffold/scaffold_host.hpp"

#include "core/file_io.hpp"
#include "python/bindings.hpp"

namespace tarvik::scaffold {

namespace {

nb::object import(const char* name) { return nb::module_::import_(name); }

class PyScaffoldHost final : public ScaffoldHost {
public:
    std::vector<std::string> installed_distribution_names() override {
        return py::with_gil([&] {
            std::vector<std::string> names;
            nb::object dists = import("importlib.metadata").attr("distributions")();
            for (nb::handle dist : dists) {
                nb::object name = dist.attr("metadata").attr("get")("Name");
                if (nb::isinstance<nb::str>(name)) names.push_back(nb::cast<std::string>(name));
            }
            return names;
        });
    }

    std::optional<std::filesystem::path> package_init_file(const std::string& name) override {
        return py::with_gil([&]() -> std::optional<std::filesystem::path> {
            nb::object module_spec;
            try {
                module_spec = import("importlib.util").attr("find_spec")(name);
            } catch (nb::python_error& e) {
                // Relative or dotted names whose parent is missing, an empty name:
                // no top-level package answers to them.
                if (e.matches(PyExc_ImportError) || e.matches(PyExc_ValueError)) return std::nullopt;
                throw;
            }
            if (module_spec.is_none()) return std::nullopt;
            nb::object origin = module_spec.attr("origin");
            // Only a regular package has an initialisation file whose folder is the
            // package: built-in modules ("built-in"), plain modules and namespace
            // packages are not packages that can be copied.
            if (origin.is_none() || !nb::cast<bool>(module_spec.attr("has_location")) ||
                module_spec.attr("submodule_search_locations").is_none())
                return std::nullopt;
            return py::from_python_path(origin);
        });
    }

    void run_discovered_apps(const std::filesystem::path& workspace) override {
        py::with_gil([&] {
            nb::object sys = import("sys");
            nb::object saved = sys.attr("argv");
            sys.attr("argv") = saved[nb::slice(0, 1, 1)];
            try {
                import("tarvik.cmd.file.discovered_apps").attr("main")(py::to_python_path(workspace));
            } catch (...) {
                sys.attr("argv") = saved;
                throw;
            }
            sys.attr("argv") = saved;
        });
    }

    bool is_python_os_error(const std::exception& e) override {
        auto* pe = dynamic_cast<const nb::python_error*>(&e);
        if (!pe) return false;
        nb::gil_scoped_acquire gil;
        return pe->matches(PyExc_OSError);
    }

};

PyScaffoldHost g_scaffold_host;

}  // namespace

ScaffoldHost& scaffold_host() { return g_scaffold_host; }

}  // namespace tarvik::scaffold
