#include "core/host.hpp"

#include <stdexcept>

namespace tarvik {

namespace {
Host* g_host = nullptr;
}

Host& host() {
    if (!g_host) throw std::logic_error("tarvik host services are not initialised");
    return *g_host;
}

void set_host(Host* h) { g_host = h; }

namespace {

bool is_ascii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

}  // namespace

std::string Host::lower(std::string_view utf8) {
    if (!is_ascii(utf8)) return case_map(utf8, "lower");
    std::string out(utf8);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string Host::upper(std::string_view utf8) {
    if (!is_ascii(utf8)) return case_map(utf8, "upper");
    std::string out(utf8);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

void println(std::string_view text) {
    std::string line(text);
    line += '\n';
    host().write_stdout(line);
}

}  // namespace tarvik
