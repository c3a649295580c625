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

    std::string lower(std::string_view text) override { return call_str_method(text, "lower"); }
    std::string upper(std::string_view text) override { return call_str_method(text, "upper"); }

    bool is_python_os_error(const std::exception& e) override {
        auto* pe = dynamic_cast<const nb::python_error*>(&e);
        if (!pe) return false;
        nb::gil_scoped_acquire gil;
        return pe->matches(PyExc_OSError);
    }

private:
    // Bytes that are not UTF-8 (a name typed in another encoding) pass through
    // as the surrogates Python holds them as, and come back as the same bytes.
    static std::string call_str_method(std::string_view text, const char* method) {
        return py::with_gil([&] {
            nb::object s = nb::bytes(text.data(), text.size()).attr("decode")("utf-8", "surrogateescape");
            nb::bytes out = nb::cast<nb::bytes>(s.attr(method)().attr("encode")("utf-8", "surrogateescape"));
            return std::string(out.c_str(), out.size());
        });
    }
};

PyScaffoldHost g_scaffold_host;

}  // namespace

ScaffoldHost& scaffold_host() { return g_scaffold_host; }

}  // namespace tarvik::scaffold
