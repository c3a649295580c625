// The services of the host interpreter that the library needs, as a plain C++
// interface. The binding layer (src/python/host.cpp) implements it on top of the
// running interpreter; nothing outside src/python includes Python headers.
//
// Every method may be called with or without the interpreter lock held: the
// implementation takes the lock itself. Failures raised by the interpreter come
// back as exceptions that the caller must let pass (they carry the Python error);
// Ctrl-C and SystemExit come back as Interrupt (core/errors.hpp), which no
// catch (const std::exception&) takes.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

class Host {
public:
    virtual ~Host() = default;

    // sys.argv
    virtual std::vector<std::string> argv() = 0;
    virtual void set_argv(const std::vector<std::string>& args) = 0;

    // os.environ
    virtual std::optional<std::string> getenv(const std::string& name) = 0;
    virtual void setenv(const std::string& name, const std::string& value) = 0;
    // Sets the variable only when it is not present at all (an empty value stays).
    void setdefault_env(const std::string& name, const std::string& value) {
        if (!getenv(name)) setenv(name, value);
    }

    // Writes the text to sys.stdout as it stands (no newline is added).
    virtual void write_stdout(std::string_view text) = 0;
    // Logging at level warning / error through Python's logging.
    virtual void log_warning(const std::string& message) = 0;
    virtual void log_error(const std::string& message) = 0;

    // Directory of the installed framework package `tarvik` (import it, take the
    // parent of its __file__). Links resolved unless resolve_links is false.
    // The import failure passes to the caller.
    virtual std::filesystem::path framework_dir(bool resolve_links = true) = 0;

    // sys.executable
    virtual std::string executable() = 0;
    // The platform's default text encoding (locale.getpreferredencoding(False)).
    virtual std::string default_encoding() = 0;
    // UTF-8 text re-encoded in the platform's default encoding (strict).
    virtual std::string encode_default(std::string_view utf8) = 0;
    // Bytes decoded with the platform's default encoding, undecodable bytes
    // replaced by U+FFFD; returns UTF-8.
    virtual std::string decode_default(std::string_view bytes) = 0;

    // The interpreter's strict TOML reader (tomllib). Returns the document's data
    // as JSON text in which every scalar is a string "<type>:<text>" ("str:x",
    // "int:1", "float:1.5", "bool:True", "datetime:<isoformat>", ...), tables are
    // objects and arrays are arrays; or nothing when the reader refuses the text,
    // with its message in `error`.
    virtual std::optional<std::string> strict_toml_data(std::string_view text, std::string& error) = 0;

    // Runs pending signal handlers; throws Interrupt (KeyboardInterrupt) when one raised.
    // Long transfers call it regularly so that Ctrl-C interrupts them.
    virtual void check_interrupt() = 0;

    // Python's str.lower() and str.upper() of UTF-8 text: ASCII text is mapped
    // here, other text by the interpreter's case rules. Bytes that are not
    // UTF-8 come back unchanged (they pass as surrogate escapes).
    std::string lower(std::string_view utf8);
    std::string upper(std::string_view utf8);

protected:
    // The interpreter's str method ("lower" or "upper") applied to the text.
    virtual std::string case_map(std::string_view utf8, const char* method) = 0;
};

// The host of this process. Set once by the binding layer when the module loads.
Host& host();
void set_host(Host* h);

// Convenience: print a line (text + "\n") through the host's stdout.
void println(std::string_view text);

}  // namespace tarvik
