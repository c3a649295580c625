// Error types of the library. Plain C++; the binding layer turns each one into
// the Python exception a Python caller would expect (see src/python/errors.cpp).
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvik {

// An error that reaches Python as a built-in exception of the named kind
// ("RuntimeError", "ValueError", "TypeError", "TimeoutError", ...).
struct PyKindError : std::runtime_error {
    std::string kind;
    PyKindError(std::string kind_, const std::string& message)
        : std::runtime_error(message), kind(std::move(kind_)) {}
};

inline PyKindError runtime_error(const std::string& message) { return {"RuntimeError", message}; }
inline PyKindError value_error(const std::string& message) { return {"ValueError", message}; }
inline PyKindError type_error(const std::string& message) { return {"TypeError", message}; }
inline PyKindError timeout_error(const std::string& message) { return {"TimeoutError", message}; }

// An operating-system failure: reaches Python as OSError(errno, strerror[, filename]),
// which Python turns into FileNotFoundError, PermissionError, ... by errno.
struct OsError : std::runtime_error {
    int error_number;
    std::string strerror;
    std::string filename;  // empty: none
    OsError(int errnum, std::string text, std::string file = {});
};

// Builds an OsError from the current errno.
OsError os_error_from_errno(const std::string& filename = {});

// INI failures; each maps onto the configparser exception of the same name so
// that its message is the one configparser would give.
struct IniError : std::runtime_error {
    using std::runtime_error::runtime_error;
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
struct DecodeError : std::runtime_error {
    std::string encoding, object, reason;
    size_t start, end;
    DecodeError(std::string enc, std::string obj, size_t start_, size_t end_, std::string why);
};

// HTTP failures, shaped like urllib's so that Python callers can tell them apart.
struct HttpError : std::runtime_error {  // urllib.error.HTTPError
    std::string url;
    long status;
    std::string reason;
    HttpError(std::string url_, long status_, std::string reason_);
};
struct UrlError : std::runtime_error {  // urllib.error.URLError
    std::string reason;
    explicit UrlError(std::string reason_);
};

// Ends the process the way Python's SystemExit does.
struct ExitRequest : std::exception {
    int status;
    explicit ExitRequest(int s) : status(s) {}
    const char* what() const noexcept override { return "exit requested"; }
};

// The kind name a Python caller would see for an exception ("TimeoutError",
// "FileNotFoundError", ...) and its text as str() would give it. Used where
// messages name a failure's kind or text.
std::string kind_name(const std::exception& e);
std::string error_text(const std::exception& e);
// Python's OSError subclass name for an errno value ("OSError" when none fits).
std::string os_kind_name(int errnum);

// Exceptions raised by the interpreter pass through C++ code as a type that only
// the binding layer knows; it registers how to name them.
struct ForeignDescriber {
    // Returns false when the exception is not one it knows.
    bool (*describe)(const std::exception& e, std::string& kind, std::string& text) = nullptr;
    // True for KeyboardInterrupt, SystemExit and other non-Exception errors.
    bool (*is_interrupt)(const std::exception& e) = nullptr;
};
void set_foreign_describer(ForeignDescriber d);

// True when the exception must never be swallowed by a catch-all that stands
// for Python's "except Exception" (Ctrl-C, a requested exit).
bool is_interrupt(const std::exception& e);

}  // namespace tarvik
