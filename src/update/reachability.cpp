#include "update/reachability.hpp"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/http.hpp"

namespace tarvik::update {

namespace {

using Clock = std::chrono::steady_clock;

struct AddrFree {
    void operator()(addrinfo* a) const noexcept { freeaddrinfo(a); }
};

#ifdef _WIN32
using socket_t = SOCKET;
constexpr socket_t kNoSocket = INVALID_SOCKET;
void close_socket(socket_t s) { ::closesocket(s); }

struct SocketLibrary {
    bool ready;
    SocketLibrary() {
        WSADATA data;
        ready = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~SocketLibrary() {
        if (ready) ::WSACleanup();
    }
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
};
#else
using socket_t = int;
constexpr socket_t kNoSocket = -1;
void close_socket(socket_t s) { ::close(s); }
#endif

struct Socket {
    socket_t fd;
    explicit Socket(socket_t f) : fd(f) {}
    ~Socket() {
        if (fd != kNoSocket) close_socket(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
};

bool valid_port(const std::string& port) {
    if (port.empty() || port.size() > 5) return false;
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    return std::stol(port) <= 65535;
}

// Starts a non-blocking connect: 1 connected at once, 0 under way, -1 failed.
int start_connect(socket_t fd, const addrinfo* a) {
#ifdef _WIN32
    u_long on = 1;
    if (::ioctlsocket(fd, FIONBIO, &on) != 0) return -1;
    if (::connect(fd, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return 1;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
#else
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return 1;
    return errno == EINPROGRESS ? 0 : -1;
#endif
}

// Waits up to ms milliseconds for a connect under way: 1 connected, 0 still
// under way, -1 failed.
int wait_connect(socket_t fd, int ms) {
#ifdef _WIN32
    // select, not WSAPoll: older WSAPoll never reports a refused connect.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(fd, &writable);
    FD_SET(fd, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int rc = ::select(0, nullptr, &writable, &failed, &tv);
    if (rc == SOCKET_ERROR) return -1;
    if (rc == 0) return 0;
    if (FD_ISSET(fd, &failed)) return -1;
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return -1;
    return err == 0 ? 1 : -1;
#else
    pollfd p{fd, POLLOUT, 0};
    int rc = ::poll(&p, 1, ms);
    if (rc < 0) return errno == EINTR ? 0 : -1;
    if (rc == 0) return 0;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    return err == 0 ? 1 : -1;
#endif
}

// One connection attempt bounded by the timeout; Ctrl-C is checked meanwhile.
bool connect_within(const addrinfo* a, double timeout) {
#ifdef _WIN32
    Socket s(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
#else
    Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
#endif
    if (s.fd == kNoSocket) return false;
    int started = start_connect(s.fd, a);
    if (started != 0) return started == 1;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(std::max(0.0, timeout)));
    for (;;) {
        host().check_interrupt();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        int state = wait_connect(s.fd, static_cast<int>(std::min<long long>(left, 100)));
        if (state != 0) return state == 1;
    }
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

#ifdef _WIN32
        SocketLibrary winsock;
        if (!winsock.ready) return true;
#endif
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(parts->host.c_str(), port.c_str(), &hints, &found) != 0) return false;
        std::unique_ptr<addrinfo, AddrFree> list(found);
        for (const addrinfo* a = list.get(); a; a = a->ai_next)
            if (connect_within(a, timeout)) return true;
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

}  // namespace tarvik::update
