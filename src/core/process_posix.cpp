// Child processes on macOS and Linux: posix_spawn, one pipe for both output
// streams, waitpid.
#ifndef _WIN32

#include "core/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/errors.hpp"
#include "core/posix_fd.hpp"

#ifdef __APPLE__
#include <crt_externs.h>
#define TARVIK_ENVIRON (*_NSGetEnviron())
#else
extern char** environ;
#define TARVIK_ENVIRON environ
#endif

namespace tarvik {

namespace {


struct FileActions {
    posix_spawn_file_actions_t a;
    FileActions() {
        if (int rc = posix_spawn_file_actions_init(&a)) throw OsError(rc, std::strerror(rc));
    }
    ~FileActions() { posix_spawn_file_actions_destroy(&a); }
};

struct SpawnAttr {
    posix_spawnattr_t a;
    SpawnAttr() {
        if (int rc = posix_spawnattr_init(&a)) throw OsError(rc, std::strerror(rc));
    }
    ~SpawnAttr() { posix_spawnattr_destroy(&a); }
};

// A close-on-exec descriptor numbered above 2, so that duplicating it onto
// stdout/stderr in the child never collides with it.
Fd above_std_streams(Fd f) {
    if (f.fd > 2) return f;
    int moved = ::fcntl(f.fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) throw os_error_from_errno();
    return Fd(moved);
}

void check_spawn(int rc, const char* what) {
    if (rc != 0) throw OsError(rc, std::string(what) + ": " + std::strerror(rc));
}

}  // namespace

struct ChildProcess::Impl {
    pid_t pid = -1;
    bool reaped = false;
    int status = 0;
    Fd out;
};

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : impl_(std::make_unique<Impl>()) {
    if (argv.empty()) throw value_error("empty command");
    int fds[2];
    if (::pipe(fds) != 0) throw os_error_from_errno();
    Fd rd(fds[0]), wr(fds[1]);
    for (int f : fds)
        if (::fcntl(f, F_SETFD, FD_CLOEXEC) != 0) throw os_error_from_errno();
    rd = above_std_streams(std::move(rd));
    wr = above_std_streams(std::move(wr));

    FileActions fa;
    check_spawn(posix_spawn_file_actions_adddup2(&fa.a, wr.fd, 1), "posix_spawn_file_actions_adddup2");
    check_spawn(posix_spawn_file_actions_adddup2(&fa.a, wr.fd, 2), "posix_spawn_file_actions_adddup2");

    // The interpreter ignores SIGPIPE and SIGXFSZ; a child starts with the
    // default actions and nothing blocked, as subprocess gives it.
    SpawnAttr attr;
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
#ifdef SIGXFSZ
    sigaddset(&defaults, SIGXFSZ);
#endif
    sigemptyset(&none);
    check_spawn(posix_spawnattr_setsigdefault(&attr.a, &defaults), "posix_spawnattr_setsigdefault");
    check_spawn(posix_spawnattr_setsigmask(&attr.a, &none), "posix_spawnattr_setsigmask");
    check_spawn(posix_spawnattr_setflags(&attr.a, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK),
                "posix_spawnattr_setflags");

    std::vector<char*> cargv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    const std::string& program = argv[0];
    bool search_path = program.find('/') == std::string::npos;
    pid_t pid = -1;
    int rc = search_path
                 ? posix_spawnp(&pid, program.c_str(), &fa.a, &attr.a, cargv.data(), TARVIK_ENVIRON)
                 : posix_spawn(&pid, program.c_str(), &fa.a, &attr.a, cargv.data(), TARVIK_ENVIRON);
    if (rc != 0) throw OsError(rc, std::strerror(rc), program);
    impl_->pid = pid;
    impl_->out = std::move(rd);
    // wr closes here: the pipe reports end of output once the child (and
    // anything it started) has closed its copies.
}

ChildProcess::~ChildProcess() {
    if (impl_->pid > 0 && !impl_->reaped) {
        ::kill(impl_->pid, SIGKILL);
        int st;
        while (::waitpid(impl_->pid, &st, 0) < 0 && errno == EINTR) {
        }
    }
}

long ChildProcess::pid() const { return impl_->pid; }

void ChildProcess::read_lines(const std::function<void(std::string_view)>& on_line,
                              const std::function<void()>& on_idle) {
    LineSplitter splitter;
    char buf[65536];
    const int fd = impl_->out.fd;
    if (fd < 0) return;
    for (;;) {
        if (on_idle) {
            // Wake up now and then while the child is silent, so that Ctrl-C
            // is noticed without waiting for the next line.
            pollfd p{fd, POLLIN, 0};
            int ready = ::poll(&p, 1, 200);
            if (ready < 0 && errno != EINTR) throw os_error_from_errno();
            if (ready <= 0) {
                on_idle();
                continue;
            }
        }
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                if (on_idle) on_idle();
                continue;
            }
            throw os_error_from_errno();
        }
        if (n == 0) break;
        splitter.feed(std::string_view(buf, static_cast<size_t>(n)), on_line);
        if (on_idle) on_idle();
    }
    splitter.finish(on_line);
    impl_->out.reset();
}

std::int64_t ChildProcess::wait() {
    if (!impl_->reaped) {
        int st = 0;
        while (::waitpid(impl_->pid, &st, 0) < 0) {
            if (errno != EINTR) throw os_error_from_errno();
        }
        impl_->status = st;
        impl_->reaped = true;
        impl_->out.reset();
    }
    int st = impl_->status;
    if (WIFSIGNALED(st)) return -WTERMSIG(st);
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    return -1;
}

void ChildProcess::kill() {
    if (impl_->pid > 0 && !impl_->reaped) ::kill(impl_->pid, SIGKILL);
}

}  // namespace tarvik

#endif  // !_WIN32
