#include "update/file_copy.hpp"

#include <cerrno>
#include <vector>

#include "core/errors.hpp"
#include "core/file_io.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif
#ifdef _WIN32
#include <random>
#endif

namespace tarvik::update {

namespace fs = std::filesystem;

#ifdef __linux__
namespace {

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// The kernel copies without passing the bytes through user space; false when
// it cannot do so for these files (nothing has been written then).
bool kernel_copy(int in, int out, const fs::path& dst) {
    bool first = true;
    for (;;) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
        if (n == 0) return true;
        if (n < 0) {
            if (first && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) return false;
            throw os_error_from_errno(path_text(dst));
        }
        first = false;
    }
}

}  // namespace
#endif

void copy_content(const fs::path& src, const fs::path& dst) {
#ifdef __linux__
    Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) throw os_error_from_errno(path_text(src));
    Fd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (out.fd < 0) throw os_error_from_errno(path_text(dst));
    if (kernel_copy(in.fd, out.fd, dst)) {
        if (::close(out.fd) != 0) {
            out.fd = -1;
            throw os_error_from_errno(path_text(dst));
        }
        out.fd = -1;
        return;
    }
#endif
    UniqueFile from = open_file(src, "rb");
    UniqueFile to = open_file(dst, "wb");
    std::vector<char> buf(1 << 20);
    for (;;) {
        size_t n = read_some(from.get(), buf.data(), buf.size(), src);
        if (n == 0) break;
        write_all(to.get(), {buf.data(), n}, dst);
    }
    if (std::fclose(to.release()) != 0) throw os_error_from_errno(path_text(dst));
}

fs::path make_temp_dir(const std::string& prefix) {
    fs::path base = fs::temp_directory_path();
#ifdef _WIN32
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = base / (prefix + std::to_string(rd()));
        if (fs::create_directory(p)) return p;
    }
    throw OsError(EEXIST, "No usable temporary directory name found", path_text(base));
#else
    std::string templ = path_text(base / (prefix + "XXXXXX"));
    if (!::mkdtemp(templ.data())) throw os_error_from_errno(templ);
    return fs::path(templ);
#endif
}

}  // namespace tarvik::update
