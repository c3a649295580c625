// Workspace initialisation: create_file.
#include "python/bindings.hpp"

#include "scaffold/create_file.hpp"

namespace tarvik::py {

void bind_scaffold_init(nb::module_& m) {
    nb::module_ w = m.def_submodule("workspace", "Workspace initialisation");
    w.def(
        "create_file",
        [](const std::string& folder) { return without_gil([&] { return tarvik::scaffold::create_file(folder); }); },
        nb::arg("folder") = "",
        "Initialise the current working directory as a workspace; False when a step failed.");
}

}  // namespace tarvik::py
