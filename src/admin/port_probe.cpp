#include "admin/port_probe.hpp"

#include <string>

#include "core/errors.hpp"
#include "core/sockets.hpp"

namespace tarvik::admin {

bool is_port_in_use(long long port) {
    if (port < 0 || port > 65535)
        throw Error(ErrorKind::OverflowError, "connect(): port must be 0-65535.");
    net::SocketLibrary winsock;
    if (winsock.error()) throw OsError(winsock.error(), "WSAStartup failed");
    int lookup_error = 0;
    const std::string service = std::to_string(port);
    net::AddrInfoList found = net::resolve("localhost", service.c_str(), AF_INET, lookup_error);
    if (lookup_error != 0)
        throw Error(ErrorKind::OSError, std::string("[Errno ") + std::to_string(lookup_error) + "] " +
                                         ::gai_strerror(lookup_error));
    if (!found) throw Error(ErrorKind::OSError, "localhost has no IPv4 address");

    net::Socket s = net::open_stream_socket(AF_INET);
    if (!s.valid()) throw net::socket_error("cannot create a socket");
    return net::connect_within(s, found->ai_addr, found->ai_addrlen, std::nullopt);
}

}  // namespace tarvik::admin
