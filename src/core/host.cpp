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

void println(std::string_view text) {
    std::string line(text);
    line += '\n';
    host().write_stdout(line);
}

}  // namespace tarvik
