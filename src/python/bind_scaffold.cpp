#include "python/bindings.hpp"

namespace tarvik::py {

void bind_scaffold(nb::module_& m) { (void)m; }

}  // namespace tarvik::py
