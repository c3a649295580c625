#include "update/detached_start.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "update/installation.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
extern char** environ;
#endif

namespace tarvik::update {

#ifdef _WIN32

namespace {

// cmd.exe expands %VAR% on its own command line, quoted or not, and has no
// escape for % there: "C:\Apps\100%TEMP%\update.bat" would name another
// file. The script lies in the working folder, so it is named relative to it
// and no folder name reaches the command line.
std::wstring script_argument(const std::string& script_path, const std::string& cwd) {
    namespace fs = std::filesystem;
    const fs::path script = path_from_utf8(script_path);
    const fs::path folder = script.parent_path();
    // Compared as written (MinGW's std::filesystem::equivalent is unreliable).
    auto normal = [](const fs::path& p) { return (p / "").lexically_normal(); };
    if (folder.empty() || normal(folder) == normal(path_from_utf8(cwd.empty() ? "." : cwd)))
        return L".\\" + script.filename().wstring();
    return script.wstring();
}

}  // namespace

long start_detached_script(const std::string& script_path, const std::string& cwd) {
    std::wstring cmd = L"cmd.exe /d /c \"\"" + script_argument(script_path, cwd) + L"\"\"";
    std::wstring dir = path_from_utf8(cwd.empty() ? "." : cwd).wstring();
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP,
                        nullptr, dir.c_str(), &si, &pi)) {
        DWORD err = GetLastError();
        throw OsError(static_cast<int>(err), "CreateProcess failed with error " + std::to_string(err), "cmd.exe");
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<long>(pi.dwProcessId);
}

#else

namespace {

struct FileActions {
    posix_spawn_file_actions_t a;
    FileActions() { posix_spawn_file_actions_init(&a); }
    ~FileActions() { posix_spawn_file_actions_destroy(&a); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
};

struct SpawnAttr {
    posix_spawnattr_t a;
    SpawnAttr() { posix_spawnattr_init(&a); }
    ~SpawnAttr() { posix_spawnattr_destroy(&a); }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
};

void check(int rc, const char* what) {
    if (rc != 0) throw OsError(rc, std::string(what) + ": " + std::strerror(rc));
}

}  // namespace

long start_detached_script(const std::string& script_path, const std::string& cwd) {
    FileActions fa;
    SpawnAttr attr;
    check(posix_spawn_file_actions_addopen(&fa.a, 0, "/dev/null", O_RDONLY, 0), "posix_spawn");
    check(posix_spawn_file_actions_addopen(&fa.a, 1, "/dev/null", O_WRONLY, 0), "posix_spawn");
    check(posix_spawn_file_actions_adddup2(&fa.a, 1, 2), "posix_spawn");
    check(posix_spawn_file_actions_addchdir_np(&fa.a, cwd.empty() ? "." : cwd.c_str()), "posix_spawn");
    short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef __APPLE__
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
    check(posix_spawn_file_actions_addclosefrom_np(&fa.a, 3), "posix_spawn");
#endif
    check(posix_spawnattr_setflags(&attr.a, flags), "posix_spawn");
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ})
        sigaddset(&defaults, sig);
    check(posix_spawnattr_setsigmask(&attr.a, &none), "posix_spawn");
    check(posix_spawnattr_setsigdefault(&attr.a, &defaults), "posix_spawn");

    std::string program = "bash";
    std::string script = script_path;
    char* argv[] = {program.data(), script.data(), nullptr};
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program.c_str(), &fa.a, &attr.a, argv, environ);
    if (rc != 0) throw OsError(rc, std::strerror(rc), program);
    return static_cast<long>(pid);
}

#endif

std::string start_failure_details(const std::string& script_path, const std::string& cwd,
                                  const std::string& error_text) {
    return "Starting the update script failed:\n"
           "  command: bash " + script_path + "\n"
           "  working directory: " + (cwd.empty() ? "." : cwd) + "\n"
           "  error: " + error_text + "\n";
}

void append_crash_log(const std::string& crash_log, const std::string& script_path, const std::string& error) {
    try {
        std::time_t now = std::time(nullptr);
        std::tm local{};
#ifdef _WIN32
        localtime_s(&local, &now);
#else
        localtime_r(&now, &local);
#endif
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        std::ofstream out(path_from_utf8(crash_log), std::ios::binary | std::ios::app);
        out << "===== " << stamp << " =====\n" << "script_path=" << script_path << "\n" << error << "\n";
    } catch (...) {
        // the log is a courtesy; the update is abandoned either way
    }
}

}  // namespace tarvik::update
