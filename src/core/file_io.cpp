#include "core/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#ifdef _WIN32
#include "core/win32.hpp"
#else
#include <fcntl.h>
#include <sys/time.h>
#endif

#include "core/errors.hpp"
#include "core/pytext.hpp"

namespace tarvik {

std::string path_text(const fs::path& p) {
    auto u8 = p.u8string();
    return std::string(reinterpret_cast<const char*>(u8.data()), u8.size());
}

fs::path path_from_utf8(std::string_view utf8) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

UniqueFile open_file(const fs::path& path, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::strlen(mode));
    std::FILE* f = _wfopen(path.c_str(), wmode.c_str());
#else
    std::FILE* f = std::fopen(path.c_str(), mode);
#endif
    if (!f) throw os_error_from_errno(path_text(path));
    return UniqueFile(f);
}

size_t read_some(std::FILE* f, char* buf, size_t n, const fs::path& path) {
    size_t got = std::fread(buf, 1, n, f);
    if (got < n && std::ferror(f)) throw os_error_from_errno(path_text(path));
    return got;
}

void seek_to(std::FILE* f, uint64_t offset, const fs::path& path) {
#ifdef _WIN32
    int rc = _fseeki64(f, static_cast<long long>(offset), SEEK_SET);
#else
    int rc = fseeko(f, static_cast<off_t>(offset), SEEK_SET);
#endif
    if (rc != 0) throw os_error_from_errno(path_text(path));
}

void write_all(std::FILE* f, std::string_view data, const fs::path& path) {
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size())
        throw os_error_from_errno(path_text(path));
}

std::string read_file(const fs::path& path) {
    UniqueFile f = open_file(path, "rb");
    std::setvbuf(f.get(), nullptr, _IONBF, 0);  // reads go straight into the string
    // Sized once from the file's length; a file that grows meanwhile is read on.
    size_t capacity = 65536;
#ifdef _WIN32
    struct _stat64 st;
    if (_fstat64(_fileno(f.get()), &st) == 0 && st.st_size > 0) capacity = static_cast<size_t>(st.st_size) + 1;
#else
    struct stat st;
    if (::fstat(fileno(f.get()), &st) == 0 && st.st_size > 0) capacity = static_cast<size_t>(st.st_size) + 1;
#endif
    std::string out(capacity, '\0');
    size_t used = 0;
    for (;;) {
        const size_t want = out.size() - used;
        const size_t n = read_some(f.get(), out.data() + used, want, path);
        used += n;
        if (n < want) break;  // the end of the file
        out.resize(out.size() * 2);
    }
    out.resize(used);
    return out;
}

void require_utf8(std::string_view bytes) {
    if (auto fault = find_utf8_fault(bytes))
        throw DecodeError("utf-8", std::string(bytes), fault->start, fault->end, fault->reason);
}

std::string read_text_utf8(const fs::path& path) {
    std::string bytes = read_file(path);
    require_utf8(bytes);
    return bytes;
}

void write_file(const fs::path& path, std::string_view bytes) {
    UniqueFile f = open_file(path, "wb");
    write_all(f.get(), bytes, path);
    std::FILE* raw = f.release();
    if (std::fclose(raw) != 0) throw os_error_from_errno(path_text(path));
}

std::string to_platform_newlines(std::string_view lf_text) {
#ifdef _WIN32
    std::string out;
    out.reserve(lf_text.size() + lf_text.size() / 16);
    for (char c : lf_text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
#else
    return std::string(lf_text);
#endif
}

void write_text_platform(const fs::path& path, std::string_view lf_text) {
    write_file(path, to_platform_newlines(lf_text));
}

void copy_file_with_metadata(const fs::path& src, const fs::path& dst) {
    fs::path real_src = fs::is_symlink(src) ? fs::canonical(src) : src;
    fs::copy_file(real_src, dst, fs::copy_options::overwrite_existing);
    // Times first, permission bits last (the order of shutil.copystat):
    // Windows cannot set the times of a file that is already read-only.
#ifdef _WIN32
    // To the 100 ns that NTFS keeps (the C runtime's utime keeps whole seconds).
    auto failed = [](const fs::path& p) {
        return fs::filesystem_error("cannot copy the file times", p,
                                    std::error_code(static_cast<int>(GetLastError()), std::system_category()));
    };
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    FILETIME accessed{}, written{};
    win32::Handle from(CreateFileW(real_src.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, 0, nullptr));
    if (from.h == INVALID_HANDLE_VALUE || !GetFileTime(from.h, nullptr, &accessed, &written)) throw failed(src);
    win32::Handle to(CreateFileW(dst.c_str(), FILE_WRITE_ATTRIBUTES, share, nullptr, OPEN_EXISTING, 0, nullptr));
    if (to.h == INVALID_HANDLE_VALUE || !SetFileTime(to.h, nullptr, &accessed, &written)) throw failed(dst);
#else
    struct stat st;
    if (::stat(real_src.c_str(), &st) != 0) throw os_error_from_errno(path_text(src));
#if defined(__APPLE__)
    struct timespec times[2] = {st.st_atimespec, st.st_mtimespec};
#else
    struct timespec times[2] = {st.st_atim, st.st_mtim};
#endif
    if (::utimensat(AT_FDCWD, dst.c_str(), times, 0) != 0) throw os_error_from_errno(path_text(dst));
#endif
    fs::permissions(dst, fs::status(real_src).permissions(), fs::perm_options::replace);
}

}  // namespace tarvik
