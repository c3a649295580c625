// Process listing on macOS, through libproc.
#if defined(__APPLE__)

#include "core/process_list.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <libproc.h>
#include <sys/proc_info.h>
#include <unistd.h>

#include "core/errors.hpp"

namespace tarvik {

std::vector<ProcessEntry> list_processes() {
    // Both calls count processes (not bytes); the first sizes the buffer.
    int expected = proc_listallpids(nullptr, 0);
    if (expected <= 0) throw os_error_from_errno();
    // Room for processes that start while we look.
    std::vector<pid_t> pids(static_cast<size_t>(expected) + 64);
    int count = proc_listallpids(pids.data(), static_cast<int>(pids.size() * sizeof(pid_t)));
    if (count <= 0) throw os_error_from_errno();
    pids.resize(static_cast<size_t>(count));

    std::vector<ProcessEntry> out;
    for (pid_t pid : pids) {
        if (pid <= 0) continue;
        proc_bsdinfo info{};
        if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != static_cast<int>(sizeof info))
            continue;  // ended meanwhile
        ProcessEntry entry;
        entry.pid = pid;
        entry.parent_pid = static_cast<long>(info.pbi_ppid);
        char path[PROC_PIDPATHINFO_MAXSIZE];
        if (proc_pidpath(pid, path, sizeof path) > 0) {
            std::string p(path);
            size_t slash = p.rfind('/');
            entry.name = slash == std::string::npos ? p : p.substr(slash + 1);
        } else {
            // pbi_name holds up to 2*MAXCOMLEN characters, pbi_comm only MAXCOMLEN;
            // a name that fills its array has no terminating NUL.
            const char* name = info.pbi_name[0] ? info.pbi_name : info.pbi_comm;
            const size_t room = info.pbi_name[0] ? sizeof info.pbi_name : sizeof info.pbi_comm;
            entry.name.assign(name, strnlen(name, room));
        }
        out.push_back(std::move(entry));
    }
    return out;
}

}  // namespace tarvik

#endif  // __APPLE__
