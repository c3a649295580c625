// Process listing on Linux, from /proc.
#if defined(__linux__)

#include "core/process_list.hpp"
#include "core/posix_fd.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <unistd.h>

#include "core/errors.hpp"
#include "core/file_io.hpp"

namespace tarvik {

namespace {


std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The whole small /proc file, or nothing when it cannot be read.
bool read_proc_file(const std::string& path, std::string& out) {
    try {
        out = read_file(path);
        return true;
    } catch (const OsError&) {
        return false;
    }
}

std::string exe_name(const std::string& dir) {
    char buf[4096];
    ssize_t n = ::readlink((dir + "/exe").c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string target(buf, static_cast<size_t>(n));
    // The executable file was deleted or replaced after the process started.
    const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() && target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
        target.resize(target.size() - deleted.size());
    return base_name(target);
}

// The name when the executable cannot be read (another user's process, a
// kernel thread): the kernel's short name, completed from the first command
// line argument when it was cut at 15 characters.
std::string short_name(const std::string& dir) {
    std::string comm;
    if (!read_proc_file(dir + "/comm", comm)) return {};
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm.size() >= 15) {
        std::string cmdline;
        if (read_proc_file(dir + "/cmdline", cmdline)) {
            std::string first = base_name(cmdline.substr(0, cmdline.find('\0')));
            if (first.compare(0, comm.size(), comm) == 0) return first;
        }
    }
    return comm;
}

}  // namespace

std::vector<ProcessEntry> list_processes() {
    UniqueDir proc(::opendir("/proc"));
    if (!proc) throw os_error_from_errno("/proc");
    std::vector<ProcessEntry> out;
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(proc.get());
        if (!e) {
            if (errno) throw os_error_from_errno("/proc");
            break;
        }
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::string dir = std::string("/proc/") + e->d_name;
        std::string stat;
        if (!read_proc_file(dir + "/stat", stat)) continue;  // ended meanwhile
        ProcessEntry entry;
        entry.pid = pid;
        // "pid (comm) state ppid ...": comm may hold anything, so parse after the last ")".
        size_t close = stat.rfind(')');
        if (close != std::string::npos) {
            char state = 0;
            long ppid = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2) entry.parent_pid = ppid;
        }
        entry.name = exe_name(dir);
        if (entry.name.empty()) entry.name = short_name(dir);
        out.push_back(std::move(entry));
    }
    return out;
}

}  // namespace tarvik

#endif  // __linux__
