#include "core/errors.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/pytext.hpp"

namespace tarvik {

namespace {

std::string os_message(int errnum, const std::string& text, const std::string& file) {
    std::string m = "[Errno " + std::to_string(errnum) + "] " + text;
    if (!file.empty()) m += ": " + py_repr(file);
    return m;
}

std::string line2(int lineno) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%2d", lineno);
    return buf;
}

}  // namespace

OsError::OsError(int errnum, std::string text, std::string file)
    : Error(ErrorKind::OSError, os_message(errnum, text, file)),
      error_number(errnum), strerror(std::move(text)), filename(std::move(file)) {}

std::string OsError::kind_name() const { return os_kind_name(error_number); }

OsError os_error_from_errno(const std::string& filename) {
    int e = errno;
    return OsError(e, std::strerror(e), filename);
}

NoSectionError::NoSectionError(std::string s)
    : IniError(ErrorKind::NoSectionError, "No section: " + py_repr(s)), section(std::move(s)) {}

NoOptionError::NoOptionError(std::string o, std::string s)
    : IniError(ErrorKind::NoOptionError, "No option " + py_repr(o) + " in section: " + py_repr(s)),
      option(std::move(o)), section(std::move(s)) {}

DuplicateSectionError::DuplicateSectionError(std::string s, std::string src, int line)
    : IniError(ErrorKind::DuplicateSectionError, src.empty()
                   ? "Section " + py_repr(s) + " already exists"
                   : "While reading from " + py_repr(src) + " [line " + line2(line) +
                         "]: section " + py_repr(s) + " already exists"),
      section(std::move(s)), source(std::move(src)), lineno(line) {}

DuplicateOptionError::DuplicateOptionError(std::string s, std::string o, std::string src, int line)
    : IniError(ErrorKind::DuplicateOptionError, src.empty()
                   ? "Option " + py_repr(o) + " in section " + py_repr(s) + " already exists"
                   : "While reading from " + py_repr(src) + " [line " + line2(line) +
                         "]: option " + py_repr(o) + " in section " + py_repr(s) +
                         " already exists"),
      section(std::move(s)), option(std::move(o)), source(std::move(src)), lineno(line) {}

MissingSectionHeaderError::MissingSectionHeaderError(std::string src, int lineno_, std::string line_)
    : IniError(ErrorKind::MissingSectionHeaderError, "File contains no section headers.\nfile: " + py_repr(src) +
               ", line: " + std::to_string(lineno_) + "\n" + py_repr(line_)),
      source(std::move(src)), line(std::move(line_)), lineno(lineno_) {}

namespace {
std::string parsing_message(const std::string& src, const std::vector<std::pair<int, std::string>>& errs) {
    std::string m = "Source contains parsing errors: " + py_repr(src);
    for (const auto& [lineno, line] : errs) m += "\n\t[line " + line2(lineno) + "]: " + py_repr(line);
    return m;
}
}  // namespace

IniParsingError::IniParsingError(std::string src, std::vector<std::pair<int, std::string>> errs)
    : IniError(ErrorKind::ParsingError, parsing_message(src, errs)), source(std::move(src)), errors(std::move(errs)) {}

namespace {
std::string decode_message(const std::string& enc, const std::string& obj, size_t start, size_t end,
                           const std::string& why) {
    char buf[96];
    if (end == start + 1 && start < obj.size())
        std::snprintf(buf, sizeof buf, "can't decode byte 0x%02x in position %zu: ",
                      static_cast<unsigned>(static_cast<unsigned char>(obj[start])), start);
    else
        std::snprintf(buf, sizeof buf, "can't decode bytes in position %zu-%zu: ", start, end - 1);
    return "'" + enc + "' codec " + buf + why;
}
}  // namespace

DecodeError::DecodeError(std::string enc, std::string obj, size_t start_, size_t end_, std::string why)
    : Error(ErrorKind::UnicodeDecodeError, decode_message(enc, obj, start_, end_, why)),
      encoding(std::move(enc)), object(std::move(obj)), reason(std::move(why)), start(start_), end(end_) {}

HttpError::HttpError(std::string url_, long status_, std::string reason_)
    : Error(ErrorKind::HTTPError, "HTTP Error " + std::to_string(status_) + ": " + reason_),
      url(std::move(url_)), status(status_), reason(std::move(reason_)) {}

UrlError::UrlError(std::string reason_)
    : Error(ErrorKind::URLError, "<urlopen error " + reason_ + ">"), reason(std::move(reason_)) {}

}  // namespace tarvik

namespace tarvik {

namespace {
ForeignDescriber g_foreign = nullptr;
}

void set_foreign_describer(ForeignDescriber d) { g_foreign = d; }

const char* kind_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::RuntimeError: return "RuntimeError";
        case ErrorKind::ValueError: return "ValueError";
        case ErrorKind::TypeError: return "TypeError";
        case ErrorKind::TimeoutError: return "TimeoutError";
        case ErrorKind::OverflowError: return "OverflowError";
        case ErrorKind::RecursionError: return "RecursionError";
        case ErrorKind::MemoryError: return "MemoryError";
        case ErrorKind::JSONDecodeError: return "JSONDecodeError";
        case ErrorKind::TOMLDecodeError: return "TOMLDecodeError";
        case ErrorKind::OSError: return "OSError";
        case ErrorKind::FileNotFoundError: return "FileNotFoundError";
        case ErrorKind::HTTPError: return "HTTPError";
        case ErrorKind::URLError: return "URLError";
        case ErrorKind::NoSectionError: return "NoSectionError";
        case ErrorKind::NoOptionError: return "NoOptionError";
        case ErrorKind::DuplicateSectionError: return "DuplicateSectionError";
        case ErrorKind::DuplicateOptionError: return "DuplicateOptionError";
        case ErrorKind::MissingSectionHeaderError: return "MissingSectionHeaderError";
        case ErrorKind::ParsingError: return "ParsingError";
        case ErrorKind::UnicodeDecodeError: return "UnicodeDecodeError";
    }
    return "RuntimeError";
}

std::string os_kind_name(int e) {
    switch (e) {
        case ENOENT: return "FileNotFoundError";
        case EEXIST: return "FileExistsError";
        case EACCES: case EPERM: return "PermissionError";
        case ENOTDIR: return "NotADirectoryError";
        case EISDIR: return "IsADirectoryError";
        case ECONNRESET: return "ConnectionResetError";
        case ECONNREFUSED: return "ConnectionRefusedError";
        case ECONNABORTED: return "ConnectionAbortedError";
        case EPIPE: return "BrokenPipeError";
        case ETIMEDOUT: return "TimeoutError";
        case EINTR: return "InterruptedError";
        case ECHILD: return "ChildProcessError";
        case ESRCH: return "ProcessLookupError";
        case EAGAIN: case EALREADY: case EINPROGRESS: return "BlockingIOError";
        default: return "OSError";
    }
}

std::string kind_name(const std::exception& e) {
    std::string kind, text;
    if (g_foreign && g_foreign(e, kind, text)) return kind;
    if (auto* p = dynamic_cast<const Error*>(&e)) return p->kind_name();
    if (auto* p = dynamic_cast<const std::filesystem::filesystem_error*>(&e))
        return os_kind_name(p->code().value());
    if (dynamic_cast<const std::bad_alloc*>(&e)) return kind_name(ErrorKind::MemoryError);
    return kind_name(ErrorKind::RuntimeError);
}

std::string error_text(const std::exception& e) {
    std::string kind, text;
    if (g_foreign && g_foreign(e, kind, text)) return text;
    if (auto* p = dynamic_cast<const std::filesystem::filesystem_error*>(&e)) {
        std::string m = "[Errno " + std::to_string(p->code().value()) + "] " + p->code().message();
        if (!p->path1().empty()) m += ": " + py_repr(p->path1().string());
        if (!p->path2().empty()) m += " -> " + py_repr(p->path2().string());
        return m;
    }
    return e.what();
}

}  // namespace tarvik
