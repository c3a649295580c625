// JSON values of the update client as Python objects and back.
#pragma once

#include "core/json_text.hpp"
#include "python/bindings.hpp"

namespace tarvik::py {

// dict (insertion order kept), list, str, int, float, bool, None.
nb::object json_to_py(const Json& value);
// The reverse; a value of any other type becomes null, non-text keys their str().
// Containers deeper than `depth` levels come out empty (the value may nest
// without end, or hold itself).
Json py_to_json(nb::handle value, int depth);

}  // namespace tarvik::py
