// Turns the library's C++ errors into the Python exceptions a Python caller
// expects, and lets core code name Python errors that pass through it.
#include "core/errors.hpp"

#include <filesystem>

#include "python/bindings.hpp"

namespace tarvik::py {

namespace {

nb::object builtin(const char* name) { return nb::module_::import_("builtins").attr(name); }

void raise(nb::handle type, nb::handle value) { PyErr_SetObject(type.ptr(), value.ptr()); }

// A file name as os.fsdecode() gives it: bytes that are not UTF-8 (possible
// in POSIX file names) become surrogate escapes instead of failing.
nb::object fs_str(const std::string& name) {
    return nb::steal(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

nb::object os_error(int errnum, const std::string& text, const std::string& file,
                    const std::string& file2 = {}) {
    nb::object cls = builtin("OSError");
    if (file.empty()) return cls(errnum, nb::str(text.c_str()));
    if (file2.empty()) return cls(errnum, nb::str(text.c_str()), fs_str(file));
    return cls(errnum, nb::str(text.c_str()), fs_str(file), nb::none(), fs_str(file2));
}

// The Python class of each kind. The kinds with more than a message have their
// own types, which translate() builds in full before it gets here.
nb::object python_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::RuntimeError: return builtin("RuntimeError");
        case ErrorKind::ValueError: return builtin("ValueError");
        case ErrorKind::TypeError: return builtin("TypeError");
        case ErrorKind::TimeoutError: return builtin("TimeoutError");
        case ErrorKind::OverflowError: return builtin("OverflowError");
        case ErrorKind::RecursionError: return builtin("RecursionError");
        case ErrorKind::MemoryError: return builtin("MemoryError");
        // What the parsers of the standard library raise are ValueErrors;
        // ours are plain ValueErrors with the same text.
        case ErrorKind::JSONDecodeError: return builtin("ValueError");
        case ErrorKind::TOMLDecodeError: return builtin("ValueError");
        case ErrorKind::OSError: return builtin("OSError");
        case ErrorKind::FileNotFoundError: return builtin("FileNotFoundError");
        case ErrorKind::UnicodeDecodeError: return builtin("UnicodeDecodeError");
        case ErrorKind::HTTPError:
        case ErrorKind::URLError:
        case ErrorKind::NoSectionError:
        case ErrorKind::NoOptionError:
        case ErrorKind::DuplicateSectionError:
        case ErrorKind::DuplicateOptionError:
        case ErrorKind::MissingSectionHeaderError:
        case ErrorKind::ParsingError:
            break;
    }
    return builtin("RuntimeError");
}

void translate(const std::exception_ptr& p, void*) {
    try {
        std::rethrow_exception(p);
    } catch (const OsError& e) {
        nb::object v = os_error(e.error_number, e.strerror, e.filename);
        raise(v.type(), v);
    } catch (const std::filesystem::filesystem_error& e) {
        nb::object v = os_error(e.code().value(), e.code().message(), e.path1().string(),
                                e.path2().string());
        raise(v.type(), v);
    } catch (const NoSectionError& e) {
        nb::object cp = nb::module_::import_("configparser");
        nb::object v = cp.attr("NoSectionError")(e.section);
        raise(v.type(), v);
    } catch (const NoOptionError& e) {
        nb::object cp = nb::module_::import_("configparser");
        nb::object v = cp.attr("NoOptionError")(e.option, e.section);
        raise(v.type(), v);
    } catch (const DuplicateSectionError& e) {
        nb::object cp = nb::module_::import_("configparser");
        nb::object src = e.source.empty() ? nb::none() : fs_str(e.source);
        nb::object v = cp.attr("DuplicateSectionError")(e.section, src, e.lineno);
        raise(v.type(), v);
    } catch (const DuplicateOptionError& e) {
        nb::object cp = nb::module_::import_("configparser");
        nb::object src = e.source.empty() ? nb::none() : fs_str(e.source);
        nb::object v = cp.attr("DuplicateOptionError")(e.section, e.option, src, e.lineno);
        raise(v.type(), v);
    } catch (const MissingSectionHeaderError& e) {
        nb::object cp = nb::module_::import_("configparser");
        nb::object v = cp.attr("MissingSectionHeaderError")(fs_str(e.source), e.lineno, e.line);
        raise(v.type(), v);
    } catch (const IniParsingError& e) {
        nb::object cp = nb::module_::import_("configparser");
        nb::object v = cp.attr("ParsingError")(fs_str(e.source));
        // configparser appends each bad line as its repr().
        for (const auto& [lineno, line] : e.errors) v.attr("append")(lineno, nb::repr(nb::str(line.c_str(), line.size())));
        raise(v.type(), v);
    } catch (const HttpError& e) {
        nb::object err = nb::module_::import_("urllib.error");
        nb::object hdrs = nb::module_::import_("email.message").attr("Message")();
        nb::object v = err.attr("HTTPError")(e.url, e.status, e.reason, hdrs, nb::none());
        raise(v.type(), v);
    } catch (const UrlError& e) {
        nb::object err = nb::module_::import_("urllib.error");
        nb::object v = err.attr("URLError")(e.reason);
        raise(v.type(), v);
    } catch (const DecodeError& e) {
        nb::object v = builtin("UnicodeDecodeError")(e.encoding, nb::bytes(e.object.data(), e.object.size()),
                                                     e.start, e.end, e.reason);
        raise(v.type(), v);
    } catch (const Error& e) {
        PyErr_SetString(python_class(e.kind()).ptr(), e.what());
    } catch (const ExitRequest& e) {
        nb::object v = builtin("SystemExit")(e.status);
        raise(v.type(), v);
    } catch (const Interrupt& e) {
        // The interpreter's own error, raised again as it was.
        if (!e.original) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            return;
        }
        try {
            std::rethrow_exception(e.original);
        } catch (nb::python_error& original) {
            original.restore();
        }
    }
}

bool describe_python_error(const std::exception& e, std::string& kind, std::string& text) {
    auto* pe = dynamic_cast<const nb::python_error*>(&e);
    if (!pe) return false;
    nb::gil_scoped_acquire gil;
    nb::handle value = pe->value();
    // Texts for messages: characters UTF-8 cannot hold (lone surrogates from
    // undecodable names) are shown as their escapes.
    auto utf8 = [](nb::handle s) {
        nb::bytes b = nb::cast<nb::bytes>(nb::str(s).attr("encode")("utf-8", "backslashreplace"));
        return std::string(b.c_str(), b.size());
    };
    kind = utf8(value.type().attr("__name__"));
    text = utf8(value);
    return true;
}

}  // namespace

void rethrow_as_interrupt_if_base(const nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw Interrupt{std::current_exception()};
}

void register_error_translator() {
    nb::register_exception_translator(translate, nullptr);
    set_foreign_describer(describe_python_error);
}

}  // namespace tarvik::py
