#include "request_log.hpp"

#include <cstdio>
#include <mutex>

namespace devserver {

namespace {
std::mutex g_log_mutex;
thread_local RequestNotes t_notes;
}  // namespace

RequestNotes& request_notes() { return t_notes; }

std::string printable(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);  // UTF-8 passes as it is
        }
    }
    return out;
}

void log_line(std::string_view line) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void log_request(const httplib::Request& req, const httplib::Response& res) {
    std::string line = (req.method.empty() ? std::string("-") : printable(req.method)) + " " +
                       (req.path.empty() ? std::string("-") : printable(req.path)) + " " +
                       std::to_string(res.status);
    if (req.has_header("Range")) line += " range=" + printable(req.get_header_value("Range"));
    if (t_notes.body_bytes >= 0) line += " bytes=" + std::to_string(t_notes.body_bytes);
    if (!t_notes.note.empty()) line += " " + printable(t_notes.note);
    t_notes = RequestNotes{};
    log_line(line);
}

}  // namespace devserver
