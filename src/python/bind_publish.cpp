// The publish module: upload of a finished build to the update server.
#include "python/bindings.hpp"

#include "publish/publisher.hpp"

namespace tarvik::py {

void bind_publish(nb::module_& m) {
    nb::module_ p = m.def_submodule("publish", "Publishing a build to the update server");
    p.attr("BATCH_SIZE") = tarvik::publish::BATCH_SIZE;
    p.def(
        "publish",
        [](const std::string& os_label, const std::string& code, const std::string& folder) {
            return without_gil([&] { return tarvik::publish::publish(os_label, code, folder); });
        },
        nb::arg("os_label"), nb::arg("code"), nb::arg("folder") = "");
    p.def(
        "_main",
        [](const std::vector<std::string>& argv) {
            return without_gil([&] { return tarvik::publish::publish_main(argv); });
        },
        nb::arg("argv"));
}

}  // namespace tarvik::py
