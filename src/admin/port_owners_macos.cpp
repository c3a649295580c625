// macOS: libproc lists every process, its descriptors, and for a socket
// descriptor the TCP socket's local port.
#if defined(__APPLE__)

#include "admin/port_owners.hpp"

#include <arpa/inet.h>
#include <csignal>
#include <libproc.h>
#include <set>
#include <sys/proc_info.h>
#include <unistd.h>
#include <vector>

#include "core/errors.hpp"

namespace tarvik::admin {

namespace {

std::vector<pid_t> all_pids() {
    int bytes = ::proc_listpids(PROC_ALL_PIDS, 0, nullptr, 0);
    if (bytes <= 0) throw os_error_from_errno();
    // Room for processes started between the two calls.
    std::vector<pid_t> pids(static_cast<size_t>(bytes) / sizeof(pid_t) + 64);
    bytes = ::proc_listpids(PROC_ALL_PIDS, 0, pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
    if (bytes <= 0) throw os_error_from_errno();
    pids.resize(static_cast<size_t>(bytes) / sizeof(pid_t));
    return pids;
}

bool owns_tcp_port(pid_t pid, int port) {
    int bytes = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, nullptr, 0);
    if (bytes <= 0) return false;  // gone, or not ours to look at
    std::vector<proc_fdinfo> fds(static_cast<size_t>(bytes) / sizeof(proc_fdinfo) + 16);
    bytes = ::proc_pidinfo(pid, PROC_PIDLISTFDS, 0, fds.data(), static_cast<int>(fds.size() * sizeof(proc_fdinfo)));
    if (bytes <= 0) return false;
    fds.resize(static_cast<size_t>(bytes) / sizeof(proc_fdinfo));
    for (const proc_fdinfo& fd : fds) {
        if (fd.proc_fdtype != PROX_FDTYPE_SOCKET) continue;
        socket_fdinfo info{};
        if (::proc_pidfdinfo(pid, fd.proc_fd, PROC_PIDFDSOCKETINFO, &info, sizeof info) != sizeof info)
            continue;
        if (info.psi.soi_kind != SOCKINFO_TCP) continue;
        auto local = ntohs(static_cast<uint16_t>(info.psi.soi_proto.pri_tcp.tcpsi_ini.insi_lport));
        if (local == port) return true;
    }
    return false;
}

}  // namespace

void kill_port_owners(int port) {
    const pid_t self = ::getpid();
    std::set<pid_t> owners;
    for (pid_t pid : all_pids())
        if (pid > 0 && pid != self && owns_tcp_port(pid, port)) owners.insert(pid);
    for (pid_t pid : owners) ::kill(pid, SIGKILL);  // gone or not ours: nothing to report
}

}  // namespace tarvik::admin

#endif
