#include "core/sockets.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "core/host.hpp"

namespace tarvik::net {

namespace {

using Clock = std::chrono::steady_clock;

void close_socket(socket_t s) {
#ifdef _WIN32
    ::closesocket(s);
#else
    ::close(s);
#endif
}

bool set_non_blocking(socket_t s) {
#ifdef _WIN32
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
#else
    int flags = ::fcntl(s, F_GETFL, 0);
    return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

// Starts a non-blocking connect: 1 connected at once, 0 under way, -1 failed.
int start_connect(socket_t s, const sockaddr* address, std::size_t length) {
    if (!set_non_blocking(s)) return -1;
#ifdef _WIN32
    if (::connect(s, address, static_cast<int>(length)) == 0) return 1;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
#else
    if (::connect(s, address, static_cast<socklen_t>(length)) == 0) return 1;
    // Interrupted by a signal, the connect goes on in the background too.
    return errno == EINPROGRESS || errno == EINTR ? 0 : -1;
#endif
}

// Waits up to ms milliseconds for a connect under way: 1 connected, 0 still
// under way, -1 failed.
int wait_connect(socket_t s, int ms) {
#ifdef _WIN32
    // select, not WSAPoll: older WSAPoll never reports a refused connect.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int rc = ::select(0, nullptr, &writable, &failed, &tv);
    if (rc == SOCKET_ERROR) return -1;
    if (rc == 0) return 0;
    if (FD_ISSET(s, &failed)) return -1;
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return -1;
    return err == 0 ? 1 : -1;
#else
    pollfd p{s, POLLOUT, 0};
    int rc = ::poll(&p, 1, ms);
    if (rc < 0) return errno == EINTR ? 0 : -1;
    if (rc == 0) return 0;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    return err == 0 ? 1 : -1;
#endif
}

}  // namespace

SocketLibrary::SocketLibrary() {
#ifdef _WIN32
    WSADATA data;
    error_ = ::WSAStartup(MAKEWORD(2, 2), &data);
#endif
}

SocketLibrary::~SocketLibrary() {
#ifdef _WIN32
    if (error_ == 0) ::WSACleanup();
#endif
}

Socket::~Socket() {
    if (s_ != kNoSocket) close_socket(s_);
}

Socket& Socket::operator=(Socket&& o) noexcept {
    if (this != &o) {
        if (s_ != kNoSocket) close_socket(s_);
        s_ = o.s_;
        o.s_ = kNoSocket;
    }
    return *this;
}

Socket open_stream_socket(int family) {
#ifdef _WIN32
#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif
    return Socket(::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
#else
    return Socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
#endif
}

int last_socket_error() {
#ifdef _WIN32
    return ::WSAGetLastError();
#else
    return errno;
#endif
}

OsError socket_error(const char* what) {
#ifdef _WIN32
    return OsError(last_socket_error(), what);
#else
    (void)what;
    return os_error_from_errno();
#endif
}

AddrInfoList resolve(const char* host, const char* service, int family, int& error) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    error = ::getaddrinfo(host, service, &hints, &found);
    if (error != 0) return AddrInfoList();
    return AddrInfoList(found);
}

bool connect_within(const Socket& s, const sockaddr* address, std::size_t length,
                    std::optional<double> timeout) {
    int started = start_connect(s.get(), address, length);
    if (started != 0) return started == 1;
    std::optional<Clock::time_point> end;
    if (timeout)
        end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(std::max(0.0, *timeout)));
    for (;;) {
        host().check_interrupt();
        long long wait_ms = 100;
        if (end) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*end - Clock::now()).count();
            if (left <= 0) return false;
            wait_ms = std::min<long long>(left, wait_ms);
        }
        int state = wait_connect(s.get(), static_cast<int>(wait_ms));
        if (state != 0) return state == 1;
    }
}

}  // namespace tarvik::net
