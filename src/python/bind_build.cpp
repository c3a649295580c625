// The build module: configuration, compiler arguments, build driver, manifest.
#include "python/bindings.hpp"

#include <nanobind/stl/filesystem.h>

#include "build/build_config.hpp"
#include "build/build_steps.hpp"
#include "build/builder_toml.hpp"
#include "build/launcher_meta.hpp"
#include "build/manifest.hpp"
#include "core/errors.hpp"
#include "core/ignore_rules.hpp"

namespace tarvik::py {

namespace {

namespace bld = tarvik::build;

nb::object py_str(const std::string& s) { return nb::str(s.data(), s.size()); }

// A TOML value as tomllib gives it.
nb::object to_python(const toml::node& node) {
    nb::object dt = nb::module_::import_("datetime");
    if (auto* t = node.as_table()) {
        nb::dict d;
        for (const auto& [key, value] : *t) d[py_str(std::string(key.str()))] = to_python(value);
        return d;
    }
    if (auto* a = node.as_array()) {
        nb::list l;
        for (const auto& item : *a) l.append(to_python(item));
        return l;
    }
    if (auto* s = node.as_string()) return py_str(s->get());
    if (auto* i = node.as_integer()) return nb::int_(i->get());
    if (auto* f = node.as_floating_point()) return nb::float_(f->get());
    if (auto* b = node.as_boolean()) return nb::bool_(b->get());
    auto time_of = [&](const toml::time& t) {
        return std::make_tuple(int(t.hour), int(t.minute), int(t.second), int(t.nanosecond / 1000));
    };
    if (auto* d = node.as_date()) {
        const auto& v = d->get();
        return dt.attr("date")(int(v.year), int(v.month), int(v.day));
    }
    if (auto* t = node.as_time()) {
        auto [h, m, s, us] = time_of(t->get());
        return dt.attr("time")(h, m, s, us);
    }
    if (auto* x = node.as_date_time()) {
        const auto& v = x->get();
        auto [h, m, s, us] = time_of(v.time);
        nb::object tz = nb::none();
        if (v.offset)
            tz = dt.attr("timezone")(dt.attr("timedelta")(nb::arg("minutes") = int(v.offset->minutes)));
        return dt.attr("datetime")(int(v.date.year), int(v.date.month), int(v.date.day), h, m, s, us,
                                   nb::arg("tzinfo") = tz);
    }
    return nb::none();
}

nb::dict load_config() {
    auto doc = bld::read_builder_toml();
    if (!doc) return nb::dict();
    const toml::node* build = doc->get("build");
    if (!build) return nb::dict();
    nb::object value = to_python(*build);
    if (!nb::isinstance<nb::dict>(value)) throw type_error("builder.toml: [build] must be a table");
    return nb::borrow<nb::dict>(value);
}

// The list keys of a configuration mapping (as load_config returns it).
bld::ExtraEntries extra_entries(nb::handle config) {
    bld::ExtraEntries out;
    if (config.is_none()) return out;
    for (const char* key : bld::kExtraKeys) {
        if (!nb::cast<bool>(config.attr("__contains__")(key))) continue;
        nb::object value = config[key];
        if (!nb::isinstance<nb::list>(value) && !nb::isinstance<nb::tuple>(value))
            throw type_error(std::string("config['") + key + "'] must be a list of strings");
        std::vector<std::string> entries;
        for (nb::handle item : value) {
            if (!nb::isinstance<nb::str>(item))
                throw type_error(std::string("config['") + key + "'] must be a list of strings");
            entries.push_back(nb::cast<std::string>(item));
        }
        out[key] = std::move(entries);
    }
    return out;
}

nb::tuple platform_tuple(const bld::Platform& p) {
    return nb::make_tuple(p.os_label, p.arch, p.display, p.icon_arg);
}

nb::list py_list(const std::vector<std::string>& v) {
    nb::list l;
    for (const auto& s : v) l.append(py_str(s));
    return l;
}

}  // namespace

void bind_build(nb::module_& m) {
    nb::module_ b = m.def_submodule("build", "Standalone build of an application workspace");

    b.attr("BLOCK_SIZE") = bld::BLOCK_SIZE;
    b.attr("BLOCK_THRESHOLD") = bld::BLOCK_THRESHOLD;
    b.attr("DEFAULT_INCLUDE_PACKAGES") = py_list(bld::DEFAULT_INCLUDE_PACKAGES);
    b.attr("DEFAULT_INCLUDE_MODULES") = py_list(bld::DEFAULT_INCLUDE_MODULES);
    b.attr("DEFAULT_NOFOLLOW_IMPORT_TO") = py_list(bld::DEFAULT_NOFOLLOW_IMPORT_TO);
    b.attr("DEFAULT_INCLUDE_DATA_FILES") = py_list(bld::DEFAULT_INCLUDE_DATA_FILES);

    b.def("build", [] { without_gil([] { bld::build(); }); },
          "Builds the workspace in the current directory into build/<app>-<version>-<platform>.");
    b.def("load_config", &load_config, "The [build] table of builder.toml, or {} without the file.");
    b.def("read_launcher_meta", [] {
        auto meta = bld::read_launcher_meta();
        return nb::make_tuple(meta.app_name, meta.version);
    }, "(app_name, version) from launcher.py in the current directory.");
    b.def("get_platform", [] { return platform_tuple(bld::get_platform()); },
          "(os_label, arch, display, icon_arg) of the running system.");
    b.def("_platform_for", [](const std::string& system, const std::string& machine) {
        return platform_tuple(bld::platform_for(system, machine));
    }, nb::arg("system"), nb::arg("machine"));
    b.def("build_compiler_args",
          [](const std::string& app_name, const std::string& version, const std::string& os_label,
             const std::string& icon_arg, nb::handle config) {
              return py_list(bld::build_compiler_args(app_name, version, os_label, icon_arg, extra_entries(config)));
          },
          nb::arg("app_name"), nb::arg("version"), nb::arg("os_label"), nb::arg("icon_arg"), nb::arg("config"),
          "The compiler argument list; element 0 is the program label.");
    b.def("generate_apps_json", [] { bld::generate_apps_json(); },
          "Runs the workspace's discovered_apps.main(workspace).");
    b.def("run_compiler", [](const std::vector<std::string>& args) {
        without_gil([&] { bld::run_compiler(args); });
    }, nb::arg("args"), "Runs the compiler with args[1:]; fails on a non-zero exit code.");
    b.def("kill_app_process", [](const std::string& app_name) {
        without_gil([&] { bld::kill_app_process(app_name); });
    }, nb::arg("app_name"), "Kills leftover running copies of the application.");
    b.def("rename_dist_folder", [](const std::string& app_name, const std::string& folder_name) {
        without_gil([&] { bld::rename_dist_folder(app_name, folder_name); });
    }, nb::arg("app_name"), nb::arg("folder_name"), "Moves the compiler output to build/<folder_name>.");
    b.def("load_gitignore", [](const std::filesystem::path& dist_dir) { return py_list(bld::load_gitignore(dist_dir)); },
          nb::arg("dist_dir"), "Ignore patterns of the distribution, then of the workspace.");
    b.def("is_ignored", [](const std::string& rel_path, const std::vector<std::string>& patterns) {
        return tarvik::is_ignored(rel_path, patterns);
    }, nb::arg("rel_path"), nb::arg("patterns"), "True when the manifest leaves the file out.");
    b.def("generate_manifest",
          [](const std::string& app_name, const std::string& version, const std::string& os_label,
             const std::string& arch, const std::string& folder_name) {
              without_gil([&] { bld::generate_manifest(app_name, version, os_label, arch, folder_name); });
          },
          nb::arg("app_name"), nb::arg("version"), nb::arg("os_label"), nb::arg("arch"), nb::arg("folder_name"),
          "Writes the update manifest of build/<folder_name>.");
    b.def("_format_duration", &bld::format_duration, nb::arg("seconds"));
}

}  // namespace tarvik::py
