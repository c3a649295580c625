// CI workflow deployment, and the token package it takes the community key from.
#include "python/bindings.hpp"

#include "build/launcher_meta.hpp"
#include "publish/deploy.hpp"
#include "publish/deploy_env.hpp"

namespace tarvik::deploy {

std::string community_key() {
    return py::with_gil([&] {
        nb::object result = nb::module_::import_("tarvik_token").attr("encrypt_info")();
        // key, _ = encrypt_info()
        PyObject* it = PyObject_GetIter(result.ptr());
        if (!it) {
            PyErr_Clear();
            std::string type = nb::cast<std::string>(result.type().attr("__name__"));
            throw nb::type_error(("cannot unpack non-iterable " + type + " object").c_str());
        }
        nb::object iterator = nb::steal(it);
        std::vector<nb::object> values;
        while (values.size() < 3) {
            PyObject* item = PyIter_Next(iterator.ptr());
            if (!item) {
                if (PyErr_Occurred()) throw nb::python_error();
                break;
            }
            values.push_back(nb::steal(item));
        }
        if (values.size() < 2)
            throw nb::value_error(("not enough values to unpack (expected 2, got " +
                                   std::to_string(values.size()) + ")").c_str());
        if (values.size() > 2) throw nb::value_error("too many values to unpack (expected 2)");
        return nb::cast<std::string>(nb::str(values[0]));
    });
}

}  // namespace tarvik::deploy

namespace tarvik::py {

namespace {

// str <-> UTF-8 that lets lone surrogates through, so that no text is refused.
std::string utf8_of(nb::handle s) {
    nb::bytes b = nb::cast<nb::bytes>(nb::str(s).attr("encode")("utf-8", "surrogatepass"));
    return std::string(b.c_str(), b.size());
}

nb::object str_of(const std::string& utf8) {
    return nb::bytes(utf8.data(), utf8.size()).attr("decode")("utf-8", "surrogatepass");
}

nb::object inject_env(nb::str yaml_content, nb::dict env_vars) {
    tarvik::deploy::EnvVars vars;
    for (auto [key, value] : env_vars) vars.emplace_back(utf8_of(key), utf8_of(value));
    return str_of(tarvik::deploy::inject_env(utf8_of(yaml_content), vars));
}

}  // namespace

void bind_publish_deploy(nb::module_& m) {
    nb::module_ d = m.def_submodule("deploy", "CI workflow deployment");
    d.def("deploy", &tarvik::deploy::deploy, nb::arg("folder"),
          "Write .github/workflows/ostervane.yaml from the framework's template.");
    d.def("_inject_env", &inject_env, nb::arg("yaml_content"), nb::arg("env_vars"),
          "The workflow text with the variables written into its env: blocks.");
    d.def(
        "_read_launcher_meta",
        [] {
            tarvik::build::LauncherMeta meta = tarvik::build::read_launcher_meta();
            return std::make_pair(meta.app_name, meta.version);
        },
        "(app_name, version) from launcher.py in the current directory.");
}

}  // namespace tarvik::py
