// The launcher's splash widgets (any objects with config(text=...), update()
// and item assignment of "value") behind the update client's Progress interface.
#pragma once

#include <memory>

#include "python/bindings.hpp"
#include "update/progress.hpp"

namespace tarvik::py {

// Call with the interpreter lock held; the object must also be destroyed with
// it held. Its methods take the lock themselves.
std::unique_ptr<update::Progress> widget_progress(nb::object status_label, nb::object progress_bar);

}  // namespace tarvik::py
