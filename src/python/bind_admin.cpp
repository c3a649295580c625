// Administration operations: migrations, the administrator account, port release.
#include <climits>

#include "python/bindings.hpp"

#include "admin/db_admin.hpp"
#include "admin/port_release.hpp"

namespace tarvik::py {

void bind_admin(nb::module_& m) {
    nb::module_ admin = m.def_submodule("admin", "Database, administrator account and port release");
    // Django runs Python throughout: these keep the interpreter lock.
    admin.def("migrate", &tarvik::admin::migrate, "Apply the project's pending database migrations.");
    admin.def("init_admin", &tarvik::admin::init_admin,
              "Create (or reset) the superuser 'admin' with the initial password.");
    admin.def("init_password", &tarvik::admin::init_password,
              "Reset the superuser 'admin''s password to the initial password.");
    admin.def(
        "kill_process_on_port",
        [](nb::int_ port) {
            // Any int: one outside the port range fails in the port test like
            // Python's socket does (OverflowError), however large it is.
            int overflow = 0;
            long long value = PyLong_AsLongLongAndOverflow(port.ptr(), &overflow);
            if (value == -1 && PyErr_Occurred()) throw nb::python_error();
            if (overflow) value = overflow > 0 ? LLONG_MAX : LLONG_MIN;
            without_gil([&] { tarvik::admin::kill_process_on_port(value); });
        },
        nb::arg("port"), "Kill the processes that hold the local TCP port.");
}

}  // namespace tarvik::py
