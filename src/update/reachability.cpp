#include "update/reachability.hpp"

#include <algorithm>
#include <string>

#include "core/errors.hpp"
#include "core/http.hpp"
#include "core/sockets.hpp"

namespace tarvik::update {

namespace {

bool valid_port(const std::string& port) {
    if (port.empty() || port.size() > 5) return false;
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    return std::stol(port) <= 65535;
}

// One connection attempt bounded by the timeout; Ctrl-C is checked meanwhile.
bool accepts_connection(const addrinfo* a, double timeout) {
    net::Socket s = net::open_stream_socket(a->ai_family);
    if (!s.valid()) return false;
    return net::connect_within(s, a->ai_addr, a->ai_addrlen, timeout);
}

}  // namespace

bool can_reach_server(std::string update_url, double timeout) {
    try {
        if (update_url.empty() || update_url.back() != '/') update_url += '/';
        auto parts = http::split_url(update_url);
        if (!parts || parts->host.empty()) return true;
        std::string port = parts->port;
        if (parts->scheme == "https") {
            if (port.empty()) port = "443";
        } else if (parts->scheme == "http") {
            if (port.empty()) port = "80";
        } else {
            return true;
        }
        if (!valid_port(port)) return true;

        net::SocketLibrary winsock;
        if (winsock.error()) return true;
        int lookup_error = 0;
        net::AddrInfoList list = net::resolve(parts->host.c_str(), port.c_str(), AF_UNSPEC, lookup_error);
        if (lookup_error != 0) return false;
        for (const addrinfo* a = list.get(); a; a = a->ai_next)
            if (accepts_connection(a, timeout)) return true;
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

}  // namespace tarvik::update
