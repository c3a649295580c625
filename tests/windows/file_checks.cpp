// Unicode file names through the library's file helpers, and file times and
// attributes kept by the copy to the 100 ns that NTFS stores.
#include "core/win32.hpp"

#include "checks.hpp"
#include "core/copy_files.hpp"
#include "core/file_io.hpp"

namespace wincheck {

namespace fs = std::filesystem;

namespace {

struct Times {
    FILETIME accessed{}, written{};
};

Times file_times(const fs::path& p) {
    tarvik::win32::Handle h(CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    Times t;
    require(h.h != INVALID_HANDLE_VALUE && GetFileTime(h.h, nullptr, &t.accessed, &t.written), "GetFileTime");
    return t;
}

void set_file_times(const fs::path& p, unsigned long long accessed, unsigned long long written) {
    tarvik::win32::Handle h(CreateFileW(p.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    FILETIME a{static_cast<DWORD>(accessed), static_cast<DWORD>(accessed >> 32)};
    FILETIME w{static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
    require(h.h != INVALID_HANDLE_VALUE && SetFileTime(h.h, nullptr, &a, &w), "SetFileTime");
}

unsigned long long ticks(const FILETIME& f) {
    return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

}  // namespace

void file_checks(Checks& c, const Places& at) {
    const fs::path base = at.scratch / "files";
    // "Ünï 名前 ✓" and "dätä 文件 ☃.txt"
    const std::string dir_name = "\xc3\x9cn\xc3\xaf \xe5\x90\x8d\xe5\x89\x8d \xe2\x9c\x93";
    const std::string file_name = "d\xc3\xa4t\xc3\xa4 \xe6\x96\x87\xe4\xbb\xb6 \xe2\x98\x83.txt";

    c.run("Unicode paths: write, list and read back a file in a Unicode folder", [&] {
        fs::path dir = tarvik::path_from_utf8(utf8(base) + "\\" + dir_name);
        fs::create_directories(dir);
        fs::path file = dir / from_utf8(file_name);
        tarvik::write_file(file, "caf\xc3\xa9\n");
        require_equal(tarvik::read_file(file), "caf\xc3\xa9\n", "content");
        WIN32_FIND_DATAW found{};
        tarvik::win32::Handle h(FindFirstFileW((dir / L"*.txt").c_str(), &found));
        require(h.h != INVALID_HANDLE_VALUE, "FindFirstFileW");
        FindClose(h.h);
        h.h = nullptr;
        require_equal(tarvik::win32::narrow(found.cFileName), file_name, "name on disk");
        require_equal(tarvik::path_text(file.filename()), file_name, "path_text");
    });

    c.run("Unicode paths: a tree copy keeps the names and skips .vscode", [&] {
        fs::path src = base / from_utf8(dir_name), dst = base / from_utf8("copy " + dir_name);
        fs::create_directories(src / ".vscode");
        tarvik::write_file(src / ".vscode" / "settings.json", "{}");
        fs::create_directories(src / from_utf8("sub \xe2\x9c\x93"));
        tarvik::write_file(src / from_utf8("sub \xe2\x9c\x93") / from_utf8(file_name), "x");
        tarvik::copy_files(src, dst);
        require(fs::exists(dst / from_utf8(file_name)), "top file");
        require_equal(tarvik::read_file(dst / from_utf8("sub \xe2\x9c\x93") / from_utf8(file_name)), "x",
                      "nested file");
        require(!fs::exists(dst / ".vscode"), ".vscode copied");
    });

    c.run("file times: the copy keeps access and write times to 100 ns", [&] {
        fs::path src = base / from_utf8("times \xe2\x8f\xb0.bin"), dst = base / "times copy.bin";
        tarvik::write_file(src, "t");
        const unsigned long long a = 133485123456789123ULL, w = 132000000000000007ULL;
        set_file_times(src, a, w);
        tarvik::copy_file_with_metadata(src, dst);
        // Reading the source for the copy may move its access time (the
        // host's relatime under Wine): the copy must match the source as it
        // is after the read.
        Times t = file_times(dst), s = file_times(src);
        require(ticks(t.written) == w, "write time " + std::to_string(ticks(t.written)) + " != " + std::to_string(w));
        require(ticks(t.accessed) == ticks(s.accessed),
                "access time " + std::to_string(ticks(t.accessed)) + " != " + std::to_string(ticks(s.accessed)));
    });

    c.run("file times: a read-only file is copied with its times and stays read-only", [&] {
        fs::path src = base / "readonly.txt", dst = base / "readonly copy.txt";
        tarvik::write_file(src, "r");
        const unsigned long long w = 131111111111111111ULL;
        set_file_times(src, w, w);
        fs::permissions(src, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        tarvik::copy_file_with_metadata(src, dst);
        require(ticks(file_times(dst).written) == w, "write time");
        require((GetFileAttributesW(dst.c_str()) & FILE_ATTRIBUTE_READONLY) != 0, "not read-only");
        fs::permissions(dst, fs::perms::owner_write, fs::perm_options::add);
        fs::permissions(src, fs::perms::owner_write, fs::perm_options::add);
    });

    c.run("text files are written with CR LF", [&] {
        fs::path p = base / "lines.txt";
        tarvik::write_text_platform(p, "a\nb\n");
        require_equal(tarvik::read_file(p), "a\r\nb\r\n", "content");
    });
}

}  // namespace wincheck
