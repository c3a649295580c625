#include "python/bindings.hpp"

namespace tarvik::py {

void bind_publish_deploy(nb::module_& m) { (void)m; }

}  // namespace tarvik::py
