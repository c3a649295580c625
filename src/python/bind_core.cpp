// Core operations: baseurl, welcome, copy_files, and the INI configuration
// class shared by the scaffolding operations.
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string_view.h>

#include "core/baseurl.hpp"
#include "core/copy_files.hpp"
#include "core/ini.hpp"
#include "core/json_read.hpp"
#include "core/pytext.hpp"
#include "core/welcome.hpp"
#include "python/bindings.hpp"

namespace tarvik::py {

namespace {

void bind_ini(nb::module_& core) {
    // Stands for "no fallback given" (None is a valid fallback).
    static nb::object unset = nb::module_::import_("builtins").attr("object")();
    core.attr("_UNSET") = unset;

    nb::class_<IniConfig>(core, "IniConfig",
                          "INI configuration with the read and write rules of tarvikconf.ini and setup.ini.")
        .def(nb::init<>())
        .def("read", [](IniConfig& c, const std::filesystem::path& p) { c.read(p); }, nb::arg("path"),
             "Adds the content of a UTF-8 file; a missing file is not an error.")
        .def("read_string", &IniConfig::read_string, nb::arg("text"), nb::arg("source") = "<string>")
        .def("sections", &IniConfig::sections)
        .def("has_section", &IniConfig::has_section, nb::arg("section"))
        .def("has_option", &IniConfig::has_option, nb::arg("section"), nb::arg("option"))
        .def(
            "get",
            [](const IniConfig& c, const std::string& section, const std::string& option,
               nb::object fallback) -> nb::object {
                if (fallback.is(unset)) {
                    std::string v = c.get(section, option);
                    return nb::str(v.data(), v.size());
                }
                std::optional<std::string> v = c.find(section, option);
                return v ? nb::object(nb::str(v->data(), v->size())) : fallback;
            },
            nb::arg("section"), nb::arg("option"), nb::kw_only(), nb::arg("fallback").none() = unset)
        .def("set", &IniConfig::set, nb::arg("section"), nb::arg("option"), nb::arg("value"))
        .def("add_section", &IniConfig::add_section, nb::arg("section"))
        .def("write", [](const IniConfig& c, const std::filesystem::path& p) { c.write(p); }, nb::arg("path"),
             "Replaces the file with the written form (UTF-8).")
        .def("to_string", &IniConfig::to_string);
}

}  // namespace

void bind_core(nb::module_& m) {
    nb::module_ core = m.def_submodule("core", "Shared helpers of the command library");
    core.def("baseurl", &tarvik::baseurl, "Root URL of the update server, ending with '/'.");
    core.def("welcome", &tarvik::welcome, "Prints the banner.");
    core.def("enable_console_colours", &tarvik::enable_console_colours,
             "Turns on colour sequences in a Windows console; False elsewhere.");
    core.def(
        "copy_files",
        [](const std::filesystem::path& src, const std::filesystem::path& dst) {
            without_gil([&] { tarvik::copy_files(src, dst); });
        },
        nb::arg("src_folder"), nb::arg("dst_folder"), "Recursive template copy.");
    bind_ini(core);
    core.def(
        "json_roundtrip",
        [](std::string_view text) {
            Json doc = parse_json(text);
            return nb::make_tuple(json_compact_py(doc), compact_length(doc), json_text(doc));
        },
        nb::arg("text"),
        "json.dumps(json.loads(text), ensure_ascii=False), its computed length and the indent-2 form, through "
        "the library's JSON reader and writer; malformed text raises as json.loads does.");
    core.def("printable_unicode_version", &printable_unicode_version,
             "Unicode version of the str.isprintable() table that repr() forms follow.");
}

}  // namespace tarvik::py
