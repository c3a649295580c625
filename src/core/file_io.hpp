// Small file helpers shared by every subsystem: RAII file handles, whole-file
// reads and writes, UTF-8 text reads, and the platform's text line ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/pytext.hpp"  // split_lines, strip and the other text rules

namespace tarvik {

namespace fs = std::filesystem;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { if (f) std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// fopen with an OsError (errno, path) on failure. Mode as for fopen ("rb", "wb", "r+b").
UniqueFile open_file(const fs::path& path, const char* mode);

// Reads up to n bytes; throws OsError on a read error. Returns the count read
// (0 at end of file).
size_t read_some(std::FILE* f, char* buf, size_t n, const fs::path& path);
// Moves to an absolute byte offset; throws OsError on failure.
void seek_to(std::FILE* f, uint64_t offset, const fs::path& path);
// Writes all bytes; throws OsError on failure.
void write_all(std::FILE* f, std::string_view data, const fs::path& path);

// The whole file as bytes.
std::string read_file(const fs::path& path);
// The whole file as UTF-8 text; invalid UTF-8 throws DecodeError. A leading
// byte-order mark is kept (as Python's "utf-8" codec does).
std::string read_text_utf8(const fs::path& path);
// Checks that bytes are UTF-8, throwing DecodeError like Python's decoder.
void require_utf8(std::string_view bytes);

// Replaces the file with these bytes.
void write_file(const fs::path& path, std::string_view bytes);
// Replaces the file with LF text converted to the platform's line ends
// (CR LF on Windows, unchanged elsewhere).
void write_text_platform(const fs::path& path, std::string_view lf_text);
// LF text with the platform's line ends.
std::string to_platform_newlines(std::string_view lf_text);

// Copies content, permission bits and access/modification times (shutil.copy2).
// A symbolic link source is followed. An existing destination is replaced.
void copy_file_with_metadata(const fs::path& src, const fs::path& dst);

// UTF-8 path text of a path (generic or native form as stored).
std::string path_text(const fs::path& p);
fs::path path_from_utf8(std::string_view utf8);

}  // namespace tarvik
