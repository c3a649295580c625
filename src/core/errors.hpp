// Error types of the library. Plain C++; the binding layer turns each one into
// the Python exception a Python caller would expect (see src/python/errors.cpp).
#pragma once

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvik {

// The Python exception class an error of the library reaches a Python caller
// as. The binding layer (src/python/errors.cpp) is the only place that knows
// the classes themselves; core code only names them (kind_name).
enum class ErrorKind {
    RuntimeError,
    ValueError,
    TypeError,
    TimeoutError,
    OverflowError,
    RecursionError,
    MemoryError,
    JSONDecodeError,  // a ValueError in Python
    TOMLDecodeError,  // a ValueError in Python
    OSError,          // OsError: the subclass Python picks by errno
    FileNotFoundError,
    HTTPError,        // HttpError
    URLError,         // UrlError
    NoSectionError,   // the configparser kinds: the IniError types below
    NoOptionError,
    DuplicateSectionError,
    DuplicateOptionError,
    MissingSectionHeaderError,
    ParsingError,
    UnicodeDecodeError,  // DecodeError
};

// The class name of a kind ("JSONDecodeError", "OSError", ...).
const char* kind_name(ErrorKind kind);

// The base of the library's errors: a message and the kind it reaches Python
// as. Kinds with more than a message (OSError with an errno, HTTPError, the
// configparser and decode errors) are the types below; an Error of one of the
// other kinds is thrown as it stands.
struct Error : std::runtime_error {
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const { return kind_; }
    // The class name a Python caller sees ("FileNotFoundError" for an OsError
    // of ENOENT).
    virtual std::string kind_name() const { return tarvik::kind_name(kind_); }

private:
    ErrorKind kind_;
};

inline Error runtime_error(const std::string& message) { return {ErrorKind::RuntimeError, message}; }
inline Error value_error(const std::string& message) { return {ErrorKind::ValueError, message}; }
inline Error type_error(const std::string& message) { return {ErrorKind::TypeError, message}; }
inline Error timeout_error(const std::string& message) { return {ErrorKind::TimeoutError, message}; }

// An operating-system failure: reaches Python as OSError(errno, strerror[, filename]),
// which Python turns into FileNotFoundError, PermissionError, ... by errno.
struct OsError : Error {
    int error_number;
    std::string strerror;
    std::string filename;  // empty: none
    OsError(int errnum, std::string text, std::string file = {});
    std::string kind_name() const override;
};

// Builds an OsError from the current errno.
OsError os_error_from_errno(const std::string& filename = {});

// INI failures; each maps onto the configparser exception of the same name so
// that its message is the one configparser would give.
struct IniError : Error {
    using Error::Error;
};
struct NoSectionError : IniError {
    std::string section;
    explicit NoSectionError(std::string s);
};
struct NoOptionError : IniError {
    std::string option, section;
    NoOptionError(std::string o, std::string s);
};
struct DuplicateSectionError : IniError {
    std::string section, source;
    int lineno;
    DuplicateSectionError(std::string s, std::string src, int line);
};
struct DuplicateOptionError : IniError {
    std::string section, option, source;
    int lineno;
    DuplicateOptionError(std::string s, std::string o, std::string src, int line);
};
struct MissingSectionHeaderError : IniError {
    std::string source, line;
    int lineno;
    MissingSectionHeaderError(std::string src, int lineno_, std::string line_);
};
// Several malformed lines in one read (configparser.ParsingError).
struct IniParsingError : IniError {
    std::string source;
    std::vector<std::pair<int, std::string>> errors;
    IniParsingError(std::string src, std::vector<std::pair<int, std::string>> errs);
};

// Text that is not valid in its encoding (UnicodeDecodeError).
struct DecodeError : Error {
    std::string encoding, object, reason;
    size_t start, end;
    DecodeError(std::string enc, std::string obj, size_t start_, size_t end_, std::string why);
};

// HTTP failures, shaped like urllib's so that Python callers can tell them apart.
struct HttpError : Error {  // urllib.error.HTTPError
    std::string url;
    long status;
    std::string reason;
    HttpError(std::string url_, long status_, std::string reason_);
};
struct UrlError : Error {  // urllib.error.URLError
    std::string reason;
    explicit UrlError(std::string reason_);
};

// Ctrl-C (KeyboardInterrupt), SystemExit and the other Python BaseExceptions
// that are not Exceptions, on their way back to the caller. Deliberately not a
// std::exception: no catch (const std::exception&) of the library, which stands
// for Python's "except Exception", can take it. Destructors clean up on the way
// out; a catch (...) that carries failures across threads carries it too. The
// host layer makes it from the interpreter's error, which the binding layer
// raises again unchanged.
struct Interrupt {
    std::exception_ptr original;  // the interpreter's error (empty for an ExitRequest)
};

// Ends the process the way Python's SystemExit does.
struct ExitRequest : Interrupt {
    int status;
    explicit ExitRequest(int s) : status(s) {}
};

// The kind name a Python caller would see for an exception ("TimeoutError",
// "FileNotFoundError", ...) and its text as str() would give it. Used where
// messages name a failure's kind or text.
std::string kind_name(const std::exception& e);
std::string error_text(const std::exception& e);
// Python's OSError subclass name for an errno value ("OSError" when none fits).
std::string os_kind_name(int errnum);

// Python errors that are ordinary Exceptions pass through C++ code as a type
// that only the binding layer knows; it registers how to name them. Returns
// false when the exception is not one it knows.
using ForeignDescriber = bool (*)(const std::exception& e, std::string& kind, std::string& text);
void set_foreign_describer(ForeignDescriber d);

}  // namespace tarvik
