#include "update/reachability.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

struct Socket {
    int fd;
    explicit Socket(int f) : fd(f) {}
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
};

bool valid_port(const std::string& port) {
    if (port.empty() || port.size() > 5) return false;
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    return std::stol(port) <= 65535;
}

// One connection attempt bounded by the timeout; Ctrl-C is checked meanwhile.
bool connect_within(const addrinfo* a, double timeout) {
    Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (s.fd < 0) return false;
    int flags = ::fcntl(s.fd, F_GETFL, 0);
    ::fcntl(s.fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(s.fd, a->ai_addr, a->ai_addrlen) == 0) return true;
    if (errno != EINPROGRESS) return false;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(std::max(0.0, timeout)));
    for (;;) {
        host().check_interrupt();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{s.fd, POLLOUT, 0};
        int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (rc < 0 && errno != EINTR) return false;
        if (rc > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return false;
            return err == 0;
        }
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

        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(parts->host.c_str(), port.c_str(), &hints, &found) != 0) return false;
        std::unique_ptr<addrinfo, AddrFree> list(found);
        for (const addrinfo* a = list.get(); a; a = a->ai_next)
            if (connect_within(a, timeout)) return true;
        return false;
    } catch (const std::exception& e) {
        if (is_interrupt(e)) throw;
        return true;
    }
}

}  // namespace tarvik::update
