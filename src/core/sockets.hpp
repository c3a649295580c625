// TCP client sockets over the platform's API (POSIX sockets or winsock):
// owners for a socket, a name lookup's result and the winsock library, and a
// connect that can be bounded in time and lets Ctrl-C through while it waits.
#pragma once

#ifdef _WIN32
#include "core/win32.hpp"  // windows.h without winsock.h, so winsock2.h may follow
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <memory>
#include <optional>

#include "core/errors.hpp"

namespace tarvik::net {

#ifdef _WIN32
using socket_t = SOCKET;
inline constexpr socket_t kNoSocket = INVALID_SOCKET;
#else
using socket_t = int;
inline constexpr socket_t kNoSocket = -1;
#endif

// Winsock started for the object's lifetime; nothing to do elsewhere.
class SocketLibrary {
public:
    SocketLibrary();
    ~SocketLibrary();
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
    // 0 when ready, else the start-up error code.
    int error() const { return error_; }

private:
    int error_ = 0;
};

// Owns one socket and closes it when it goes.
class Socket {
public:
    Socket() = default;
    explicit Socket(socket_t s) : s_(s) {}
    ~Socket();
    Socket(Socket&& o) noexcept : s_(o.s_) { o.s_ = kNoSocket; }
    Socket& operator=(Socket&& o) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    socket_t get() const { return s_; }
    bool valid() const { return s_ != kNoSocket; }

private:
    socket_t s_ = kNoSocket;
};

// A new stream socket for the address family, not inherited by child
// processes; invalid when it cannot be made (last_socket_error() tells why).
Socket open_stream_socket(int family);

// errno, or WSAGetLastError() on Windows.
int last_socket_error();

// The last socket failure as an OsError.
OsError socket_error(const char* what);

struct AddrInfoFree {
    void operator()(addrinfo* a) const noexcept {
        if (a) ::freeaddrinfo(a);
    }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// getaddrinfo for a stream socket: the addresses, or the lookup's error code
// (EAI_*) in `error` and an empty list.
AddrInfoList resolve(const char* host, const char* service, int family, int& error);

// Connects s to the address and waits for the outcome, at most timeout
// seconds when given; Ctrl-C is checked every 100 ms meanwhile (and passed
// on as the interpreter's exception). True when the connection was accepted,
// false when it was refused, failed or did not complete in time.
bool connect_within(const Socket& s, const sockaddr* address, std::size_t length,
                    std::optional<double> timeout);

}  // namespace tarvik::net
