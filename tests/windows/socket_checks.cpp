// The two socket probes through Winsock: the "is anything listening" test of
// the port release and the update server pre-check.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "checks.hpp"
#include "admin/port_probe.hpp"
#include "core/errors.hpp"
#include "update/reachability.hpp"

namespace wincheck {

namespace {

// A listening socket on 127.0.0.1 at a free port, closed on reset() or when it goes.
class Listener {
public:
    Listener() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof a;
        require(s_ != INVALID_SOCKET && bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(s_, 8) == 0 &&
                    getsockname(s_, reinterpret_cast<sockaddr*>(&a), &len) == 0,
                "listening socket");
        port = ntohs(a.sin_port);
    }
    ~Listener() {
        reset();
        WSACleanup();
    }
    void reset() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
        s_ = INVALID_SOCKET;
    }
    int port = 0;

private:
    SOCKET s_ = INVALID_SOCKET;
};

}  // namespace

void socket_checks(Checks& c, const Places&) {
    c.run("port probe: a listening port is in use, a closed one is not", [&] {
        Listener l;
        require(tarvik::admin::is_port_in_use(l.port), "listening port reported free");
        l.reset();
        require(!tarvik::admin::is_port_in_use(l.port), "closed port reported in use");
    });

    c.run("port probe: a port above 65535 is an OverflowError", [&] {
        try {
            tarvik::admin::is_port_in_use(65536);
        } catch (const std::exception& e) {
            require_equal(tarvik::kind_name(e), "OverflowError", "kind");
            return;
        }
        throw Failure("no error");
    });

    c.run("reachability (URL split by url_stand_in.cpp): a listening server is reachable, a closed port is not", [&] {
        Listener l;
        const std::string url = "http://127.0.0.1:" + std::to_string(l.port) + "/key/media/update/";
        require(tarvik::update::can_reach_server(url, 3.0), "listening server unreachable");
        l.reset();
        require(!tarvik::update::can_reach_server(url, 3.0), "closed port reachable");
    });
}

}  // namespace wincheck
