// Shared declarations of the binding layer: one bind_<subsystem> function per
// subsystem, each adding a submodule of _tarvik_cmd.
#pragma once

#include <filesystem>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/tuple.h>

namespace nb = nanobind;

namespace tarvik::py {

void install_host();

// File-system paths across the boundary the way Python's os.fsdecode and
// os.fsencode take them, so that undecodable bytes survive the round trip.
nb::object to_python_path(const std::filesystem::path& p);
std::filesystem::path from_python_path(nb::handle p);
void register_error_translator();

// Called in a handler of e, with the interpreter lock held: a Python error that
// is not an Exception (KeyboardInterrupt, SystemExit) leaves as
// tarvik::Interrupt, which no catch (const std::exception&) of the library
// takes; the error translator raises the original again.
void rethrow_as_interrupt_if_base(const nb::python_error& e);

// Runs f with the interpreter lock held, as every call from library code into
// the interpreter does; see rethrow_as_interrupt_if_base for what leaves it.
template <class F>
auto with_gil(F&& f) -> decltype(f()) {
    nb::gil_scoped_acquire gil;
    try {
        return f();
    } catch (const nb::python_error& e) {
        rethrow_as_interrupt_if_base(e);
        throw;
    }
}

void bind_core(nb::module_& m);
void bind_scaffold_init(nb::module_& m);
void bind_scaffold(nb::module_& m);
void bind_build(nb::module_& m);
void bind_build_signing(nb::module_& m);
void bind_publish(nb::module_& m);
void bind_publish_deploy(nb::module_& m);
void bind_update(nb::module_& m);
void bind_admin(nb::module_& m);

// Runs f with the interpreter lock released; host services take it back as
// needed. Use for operations that do long pure-C++ work (hashing, transfers,
// child processes).
template <class F>
auto without_gil(F&& f) {
    nb::gil_scoped_release release;
    return f();
}

}  // namespace tarvik::py
