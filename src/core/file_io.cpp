#include "core/file_io.hpp"

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
    std::string out;
    char buf[65536];
    for (;;) {
        size_t n = read_some(f.get(), buf, sizeof buf, path);
        if (n == 0) break;
        out.append(buf, n);
    }
    return out;
}

void require_utf8(const std::string& bytes) {
    if (is_valid_utf8(bytes)) return;
    // Find the first bad sequence and describe it as Python's decoder would.
    size_t i = 0;
    while (i < bytes.size()) {
        auto b0 = static_cast<unsigned char>(bytes[i]);
        size_t len = b0 < 0x80 ? 1 : b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
        if (b0 >= 0x80 && (b0 < 0xC2 || b0 > 0xF4))
            throw DecodeError("utf-8", bytes, i, i + 1, "invalid start byte");
        if (b0 >= 0x80) {
            size_t k = 1;
            for (; k < len; ++k) {
                if (i + k >= bytes.size())
                    throw DecodeError("utf-8", bytes, i, bytes.size(), "unexpected end of data");
                auto b = static_cast<unsigned char>(bytes[i + k]);
                if ((b & 0xC0) != 0x80) break;
            }
            if (k < len || !is_valid_utf8(std::string_view(bytes).substr(i, len)))
                throw DecodeError("utf-8", bytes, i, i + (k < len ? k : 1), "invalid continuation byte");
        }
        i += len;
    }
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

std::vector<std::string> split_lines(std::string_view text, bool keep_ends) {
    std::vector<std::string> lines;
    size_t start = 0, i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n' || c == '\r') {
            size_t end = i;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            ++i;
            lines.emplace_back(text.substr(start, (keep_ends ? i : end) - start));
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::string strip(std::string_view s) {
    auto is_space_at = [&](size_t i, size_t& len) -> bool {
        unsigned char c = static_cast<unsigned char>(s[i]);
        len = 1;
        if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f)) return true;
        static const char* uspaces[] = {"\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\xA8",
                                        "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
        for (const char* u : uspaces) {
            size_t n = std::strlen(u);
            if (s.substr(i, n) == u) { len = n; return true; }
        }
        if (s.substr(i, 2) == "\xE2\x80" && i + 2 < s.size()) {
            unsigned char c3 = static_cast<unsigned char>(s[i + 2]);
            if (c3 >= 0x80 && c3 <= 0x8A) { len = 3; return true; }
        }
        return false;
    };
    size_t b = 0, len;
    while (b < s.size() && is_space_at(b, len)) b += len;
    size_t e = s.size();
    while (e > b) {
        // step back to the start of the last code point
        size_t k = e - 1;
        while (k > b && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) --k;
        if (is_space_at(k, len) && k + len == e) e = k;
        else break;
    }
    return std::string(s.substr(b, e - b));
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
