#include "python/bindings.hpp"

namespace tarvik::py {

void bind_admin(nb::module_& m) { (void)m; }

}  // namespace tarvik::py
