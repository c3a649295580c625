// Core operations: baseurl, welcome, copy_files.
#include "python/bindings.hpp"

#include "core/baseurl.hpp"

namespace tarvik::py {

void bind_core(nb::module_& m) {
    nb::module_ core = m.def_submodule("core", "Shared helpers of the command library");
    core.def("baseurl", &tarvik::baseurl, "Root URL of the update server, ending with '/'.");
}

}  // namespace tarvik::py
