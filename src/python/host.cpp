// The host layer: the interpreter services of core/host.hpp, implemented with
// the running interpreter. Each method takes the interpreter lock itself.
#include "core/host.hpp"

#include <filesystem>

#include "core/file_io.hpp"
#include "core/pytext.hpp"
#include "python/bindings.hpp"

#include <nanobind/eval.h>

namespace tarvik::py {

namespace {

nb::str to_str(std::string_view utf8) {
    if (is_valid_utf8(utf8)) return nb::str(utf8.data(), utf8.size());
    std::string fixed = utf8_replace_invalid(utf8);
    return nb::str(fixed.data(), fixed.size());
}

class PyHost final : public Host {
public:
    std::vector<std::string> argv() override {
        return with_gil([&] {
            std::vector<std::string> out;
            // A POSIX argument that is not UTF-8 reaches sys.argv with its bytes
            // escaped as lone surrogates; they go back to those bytes, so that a
            // name is used exactly as typed (as a file name, too).
            for (nb::handle item : nb::module_::import_("sys").attr("argv")) {
                nb::bytes b = nb::cast<nb::bytes>(nb::str(item).attr("encode")("utf-8", "surrogateescape"));
                out.emplace_back(b.c_str(), b.size());
            }
            return out;
        });
    }

    void set_argv(const std::vector<std::string>& args) override {
        with_gil([&] {
            nb::list l;
            for (const auto& a : args) l.append(to_str(a));
            nb::module_::import_("sys").attr("argv") = l;
        });
    }

    std::optional<std::string> getenv(const std::string& name) override {
        return with_gil([&]() -> std::optional<std::string> {
            nb::object environ = nb::module_::import_("os").attr("environ");
            nb::object v = environ.attr("get")(to_str(name));
            if (v.is_none()) return std::nullopt;
            return nb::cast<std::string>(v);
        });
    }

    void setenv(const std::string& name, const std::string& value) override {
        with_gil([&] { nb::module_::import_("os").attr("environ")[to_str(name)] = to_str(value); });
    }

    void write_stdout(std::string_view text) override {
        with_gil([&] {
            nb::object out = nb::module_::import_("sys").attr("stdout");
            if (out.is_none()) return;
            out.attr("write")(to_str(text));
            out.attr("flush")();
        });
    }

    void log_warning(const std::string& message) override { log("warning", message); }
    void log_error(const std::string& message) override { log("error", message); }

    std::filesystem::path framework_dir(bool resolve_links) override {
        return with_gil([&] {
            nb::object mod = nb::module_::import_("importlib").attr("import_module")("tarvik");
            nb::object file = nb::getattr(mod, "__file__", nb::none());
            if (file.is_none())
                throw nb::builtin_exception(nb::exception_type::import_error,
                                            "the tarvik package has no __file__");
            std::filesystem::path p = from_python_path(file);
            if (resolve_links) p = std::filesystem::weakly_canonical(std::filesystem::absolute(p));
            else p = std::filesystem::absolute(p);
            return p.parent_path();
        });
    }

    std::string executable() override {
        return with_gil([&] {
            return nb::cast<std::string>(nb::module_::import_("sys").attr("executable"));
        });
    }

    std::string default_encoding() override {
        return with_gil([&] {
            return nb::cast<std::string>(
                nb::module_::import_("locale").attr("getpreferredencoding")(false));
        });
    }

    std::string encode_default(std::string_view utf8) override {
        return with_gil([&] {
            nb::object enc = nb::module_::import_("locale").attr("getpreferredencoding")(false);
            // Bytes that are not UTF-8 (a name typed in another encoding) stay
            // surrogates, which the strict encode refuses as Python's would.
            nb::bytes raw(utf8.data(), utf8.size());
            nb::object text = raw.attr("decode")("utf-8", "surrogateescape");
            nb::bytes b = nb::cast<nb::bytes>(text.attr("encode")(enc));
            return std::string(b.c_str(), b.size());
        });
    }

    std::string decode_default(std::string_view bytes) override {
        return with_gil([&] {
            nb::object enc = nb::module_::import_("locale").attr("getpreferredencoding")(false);
            nb::bytes b(bytes.data(), bytes.size());
            return nb::cast<std::string>(b.attr("decode")(enc, "replace"));
        });
    }

    std::optional<std::string> strict_toml_data(std::string_view text, std::string& error) override {
        return with_gil([&]() -> std::optional<std::string> {
            nb::tuple r = nb::cast<nb::tuple>(strict_toml_reader()(to_str(text)));
            if (!nb::cast<bool>(r[0])) {
                error = nb::cast<std::string>(r[1]);
                return std::nullopt;
            }
            return nb::cast<std::string>(r[1]);
        });
    }

    void check_interrupt() override {
        with_gil([&] { if (PyErr_CheckSignals() != 0) throw nb::python_error(); });
    }

protected:
    // Bytes that are not UTF-8 (a name typed in another encoding) pass through
    // as the surrogates Python holds them as, and come back as the same bytes.
    std::string case_map(std::string_view text, const char* method) override {
        return with_gil([&] {
            nb::object s = nb::bytes(text.data(), text.size()).attr("decode")("utf-8", "surrogateescape");
            nb::bytes out = nb::cast<nb::bytes>(s.attr(method)().attr("encode")("utf-8", "surrogateescape"));
            return std::string(out.c_str(), out.size());
        });
    }

private:
    // The reader function, defined once (and kept for the life of the process).
    static nb::object strict_toml_reader() {
        static nb::object* fn = [] {
            nb::dict scope;
            scope["__builtins__"] = nb::borrow(PyEval_GetBuiltins());
            nb::exec(R"(
import json, tomllib

def tagged(v):
    if isinstance(v, dict):
        return {k: tagged(x) for k, x in v.items()}
    if isinstance(v, list):
        return [tagged(x) for x in v]
    if isinstance(v, (bool, str, int, float)):
        return type(v).__name__ + ":" + (v if isinstance(v, str) else repr(v))
    return type(v).__name__ + ":" + v.isoformat()

def read(text):
    try:
        return True, json.dumps(tagged(tomllib.loads(text)), ensure_ascii=False)
    except tomllib.TOMLDecodeError as e:
        return False, str(e)
    except RecursionError:
        return False, "nested too deeply"
)", scope);
            return new nb::object(scope["read"]);
        }();
        return *fn;
    }

    void log(const char* level, const std::string& message) {
        with_gil([&] {
            nb::object logger = nb::module_::import_("logging").attr("getLogger")("tarvik_cmd");
            logger.attr(level)(to_str(message));
        });
    }
};

PyHost g_host;

}  // namespace

void install_host() { set_host(&g_host); }

nb::object to_python_path(const std::filesystem::path& p) {
#ifdef _WIN32
    return nb::cast(path_text(p));
#else
    const std::string& native = p.native();
    return nb::module_::import_("os").attr("fsdecode")(nb::bytes(native.data(), native.size()));
#endif
}

std::filesystem::path from_python_path(nb::handle p) {
#ifdef _WIN32
    return path_from_utf8(nb::cast<std::string>(nb::module_::import_("os").attr("fspath")(p)));
#else
    nb::bytes b = nb::cast<nb::bytes>(nb::module_::import_("os").attr("fsencode")(p));
    return std::filesystem::path(std::string(b.c_str(), b.size()));
#endif
}

}  // namespace tarvik::py
