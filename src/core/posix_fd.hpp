// Owned POSIX handles: a file descriptor and an open directory.
#pragma once

#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>

#include <memory>

namespace tarvik {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

struct DirCloser {
    void operator()(DIR* d) const noexcept {
        if (d) ::closedir(d);
    }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace tarvik
#endif
