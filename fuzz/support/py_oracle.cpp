#include "support/py_oracle.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>

namespace tarvik::fuzz {

namespace {

PyObject* oracles_module() {
    static PyObject* module = [] {
        Py_InitializeEx(0);
        PyObject* path = PySys_GetObject("path");  // borrowed
        PyObject* dir = PyUnicode_FromString(TARVIK_FUZZ_DIR);
        PyList_Insert(path, 0, dir);
        Py_DECREF(dir);
        PyObject* m = PyImport_ImportModule("oracles");
        if (!m) {
            PyErr_Print();
            std::abort();
        }
        return m;
    }();
    return module;
}

std::string text_of(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Print();
        std::abort();
    }
    return std::string(p, static_cast<size_t>(n));
}

}  // namespace

std::string oracle(const char* function, std::string_view input, std::string_view cpp_result) {
    PyObject* m = oracles_module();
    PyObject* r = PyObject_CallMethod(m, function, "y#y#", input.data(), static_cast<Py_ssize_t>(input.size()),
                                      cpp_result.data(), static_cast<Py_ssize_t>(cpp_result.size()));
    if (!r) {
        std::fprintf(stderr, "oracle %s raised:\n", function);
        PyErr_Print();
        std::abort();
    }
    std::string out = text_of(r);
    Py_DECREF(r);
    return out;
}

void require_agreement(const char* target, const std::string& mismatch) {
    if (mismatch.empty()) return;
    std::fprintf(stderr, "[%s] differs from Python: %s\n", target, mismatch.c_str());
    std::abort();
}

std::string py_lower(std::string_view utf8) { return oracle("lower", utf8, ""); }

}  // namespace tarvik::fuzz
