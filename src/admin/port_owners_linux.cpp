// Linux: the kernel lists every TCP socket with its local port and inode in
// /proc/net/tcp and /proc/net/tcp6; a process owns a socket when one of its
// descriptors (/proc/<pid>/fd/*) links to "socket:[<inode>]".
#if defined(__linux__)

#include "admin/port_owners.hpp"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <unistd.h>

#include "core/errors.hpp"
#include "core/file_io.hpp"

namespace tarvik::admin {

namespace {

namespace fs = std::filesystem;

// Adds the inodes of the sockets in one /proc/net table whose local port is
// `port`. Rows look like:
//   sl  local_address rem_address   st tx_queue:rx_queue tr:tm->when retrnsmt  uid  timeout inode
//   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 0 123456 ...
void collect_socket_inodes(const std::string& table, int port, std::set<std::string>& inodes) {
    std::istringstream rows(table);
    std::string row;
    std::getline(rows, row);  // column titles
    while (std::getline(rows, row)) {
        std::istringstream fields(row);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode))
            continue;
        auto colon = local.rfind(':');
        if (colon == std::string::npos) continue;
        unsigned long local_port = 0;
        try {
            local_port = std::stoul(local.substr(colon + 1), nullptr, 16);
        } catch (const std::exception&) {
            continue;
        }
        // Inode 0: a socket no descriptor refers to any more (TIME_WAIT and the like).
        if (local_port == static_cast<unsigned long>(port) && inode != "0") inodes.insert(inode);
    }
}

bool is_pid_name(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name)
        if (c < '0' || c > '9') return false;
    return true;
}

// Whether process `pid` has a descriptor on one of the sockets. Processes that
// vanish or whose descriptors may not be read are passed over.
bool owns_any(const fs::path& proc_dir, const std::set<std::string>& inodes) {
    std::error_code ec;
    fs::directory_iterator fds(proc_dir / "fd", ec);
    if (ec) return false;
    for (; fds != fs::directory_iterator(); fds.increment(ec)) {
        if (ec) return false;
        fs::path target = fs::read_symlink(fds->path(), ec);
        if (ec) continue;
        const std::string link = target.string();
        if (link.rfind("socket:[", 0) != 0 || link.back() != ']') continue;
        if (inodes.count(link.substr(8, link.size() - 9))) return true;
    }
    return false;
}

}  // namespace

void kill_port_owners(int port) {
    std::set<std::string> inodes;
    collect_socket_inodes(read_file("/proc/net/tcp"), port, inodes);
    // Without IPv6 support the second table does not exist.
    std::error_code ec;
    if (fs::exists("/proc/net/tcp6", ec)) collect_socket_inodes(read_file("/proc/net/tcp6"), port, inodes);
    if (inodes.empty()) return;

    const std::string self = std::to_string(::getpid());
    std::set<pid_t> owners;
    fs::directory_iterator procs("/proc");  // an unreadable /proc is a failed search
    for (; procs != fs::directory_iterator(); procs.increment(ec)) {
        if (ec) throw fs::filesystem_error("cannot list processes", "/proc", ec);
        const std::string name = procs->path().filename().string();
        if (!is_pid_name(name) || name == self) continue;
        if (owns_any(procs->path(), inodes)) owners.insert(static_cast<pid_t>(std::stol(name)));
    }
    for (pid_t pid : owners) ::kill(pid, SIGKILL);  // gone or not ours: nothing to report
}

}  // namespace tarvik::admin

#endif
