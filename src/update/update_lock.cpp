#include "update/update_lock.hpp"

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "update/installation.hpp"
#include "update/swap_plan.hpp"

#ifdef _WIN32
#include <windows.h>
#include <process.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

// The process's start time where the system tells it (Linux: clock ticks after
// boot), so that a reused process id is not taken for the holder.
std::string start_mark(long pid) {
#ifdef __linux__
    try {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) return "0";
        std::istringstream in(stat.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 22 && in >> field; ++i)
            if (i == 22) return field;
    } catch (const std::exception&) {
    }
#else
    (void)pid;
#endif
    return "0";
}

long current_pid() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

std::string lock_text(long pid) { return std::to_string(pid) + " " + start_mark(pid) + "\n"; }

// Creates the lock file only when it does not exist yet.
bool create_exclusive(const std::string& path, const std::string& text) {
#ifdef _WIN32
    HANDLE h = CreateFileW(path_from_utf8(path).wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_FILE_EXISTS) return false;
        throw OsError(EACCES, "cannot create the update lock (error " + std::to_string(err) + ")", path);
    }
    DWORD written = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(h);
    return true;
#else
    int fd = ::open(path_from_utf8(path).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        if (errno == EEXIST) return false;
        throw os_error_from_errno(path);
    }
    ssize_t n = ::write(fd, text.data(), text.size());
    int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        ::unlink(path_from_utf8(path).c_str());
        throw OsError(n < 0 ? err : ENOSPC, std::generic_category().message(n < 0 ? err : ENOSPC), path);
    }
    return true;
#endif
}

}  // namespace

bool lock_holder_alive(const std::string& text) {
    std::istringstream in(text);
    long pid = 0;
    std::string mark;
    if (!(in >> pid) || pid <= 0) return false;
    in >> mark;
#ifdef _WIN32
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!h) return false;
    bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
#else
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    if (mark.empty() || mark == "0") return true;
    std::string now = start_mark(pid);
    return now == "0" || now == mark;
#endif
}

UpdateLock::UpdateLock(std::string path) : path_(std::move(path)) {
    const std::string mine = lock_text(current_pid());
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (create_exclusive(path_, mine)) {
            held_ = true;
            return;
        }
        std::string holder;
        try {
            holder = read_file(path_from_utf8(path_));
        } catch (const std::exception&) {
            continue;  // released meanwhile
        }
        if (lock_holder_alive(holder)) return;
        std::error_code ec;
        fs::remove(path_from_utf8(path_), ec);  // stale: its process is gone
        was_stale_ = true;
    }
}

UpdateLock::~UpdateLock() { release(); }

void UpdateLock::hand_to(long pid) {
    if (!held_) return;
    const std::string next = path_ + ".next";
    write_file(path_from_utf8(next), lock_text(pid));
    fs::rename(path_from_utf8(next), path_from_utf8(path_));  // never a moment without a holder
    held_ = false;
}

void UpdateLock::release() {
    if (!held_) return;
    std::error_code ec;
    fs::remove(path_from_utf8(path_), ec);
    held_ = false;
}

}  // namespace tarvik::update
