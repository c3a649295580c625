#include "admin/port_probe.hpp"

#include <cstring>
#include <memory>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif
#else
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "core/errors.hpp"
#include "core/host.hpp"

namespace tarvik::admin {

namespace {

#ifdef _WIN32
using socket_t = SOCKET;
constexpr socket_t kNoSocket = INVALID_SOCKET;
void close_socket(socket_t s) { ::closesocket(s); }
int last_socket_error() { return ::WSAGetLastError(); }

struct SocketLibrary {
    SocketLibrary() {
        WSADATA data;
        if (int rc = ::WSAStartup(MAKEWORD(2, 2), &data)) throw OsError(rc, "WSAStartup failed");
    }
    ~SocketLibrary() { ::WSACleanup(); }
};
#else
using socket_t = int;
constexpr socket_t kNoSocket = -1;
void close_socket(socket_t s) { ::close(s); }
#endif

class UniqueSocket {
public:
    explicit UniqueSocket(socket_t s) : s_(s) {}
    ~UniqueSocket() { if (s_ != kNoSocket) close_socket(s_); }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;
    socket_t get() const { return s_; }

private:
    socket_t s_;
};

struct AddrInfoFree {
    void operator()(addrinfo* a) const noexcept { if (a) ::freeaddrinfo(a); }
};

#ifndef _WIN32
// A blocking connect interrupted by a signal goes on in the background: give
// Ctrl-C its chance, then wait for the outcome like Python's socket does.
bool finish_interrupted_connect(socket_t s) {
    for (;;) {
        host().check_interrupt();
        pollfd p{s, POLLOUT, 0};
        int rc = ::poll(&p, 1, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return false;
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return false;
        return err == 0;
    }
}
#endif

}  // namespace

bool is_port_in_use(long long port) {
    if (port < 0 || port > 65535)
        throw Error(ErrorKind::OverflowError, "connect(): port must be 0-65535.");
#ifdef _WIN32
    SocketLibrary winsock;
#endif
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = ::getaddrinfo("localhost", nullptr, &hints, &found); rc != 0)
        throw Error(ErrorKind::OSError, std::string("[Errno ") + std::to_string(rc) + "] " +
                                         ::gai_strerror(rc));
    std::unique_ptr<addrinfo, AddrInfoFree> list(found);

    sockaddr_in target{};
    bool have_target = false;
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof target) {
            std::memcpy(&target, a->ai_addr, sizeof target);
            have_target = true;
            break;
        }
    }
    if (!have_target) throw Error(ErrorKind::OSError, "localhost has no IPv4 address");
    target.sin_port = htons(static_cast<unsigned short>(port));

    UniqueSocket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (s.get() == kNoSocket) {
#ifdef _WIN32
        throw OsError(last_socket_error(), "cannot create a socket");
#else
        throw os_error_from_errno();
#endif
    }
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return true;
#ifndef _WIN32
    if (errno == EINTR) return finish_interrupted_connect(s.get());
#endif
    return false;
}

}  // namespace tarvik::admin
