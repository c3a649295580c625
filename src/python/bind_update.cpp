#include "python/bindings.hpp"

namespace tarvik::py {

void bind_update(nb::module_& m) { (void)m; }

}  // namespace tarvik::py
