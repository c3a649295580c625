// The build module: configuration, compiler arguments, build driver, manifest.
#include "python/bindings.hpp"

#include "build/launcher_meta.hpp"

namespace tarvik::py {

void bind_build(nb::module_& m) {
    nb::module_ b = m.def_submodule("build", "Standalone build of an application workspace");
    b.def("read_launcher_meta", [] {
        auto meta = tarvik::build::read_launcher_meta();
        return nb::make_tuple(meta.app_name, meta.version);
    }, "(app_name, version) from launcher.py in the current directory.");
}

}  // namespace tarvik::py
