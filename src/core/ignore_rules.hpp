// Ignore rules of builds and installations: shell-style glob matching of whole
// strings and the .gitignore-like pattern lists built on it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

// Whole-string glob match: "*" any run (crossing "/"), "?" one character, "[...]"
// a set or range ("[!...]" negated; "[" without "]" is literal). Characters are
// code points of UTF-8 text. With fold, both sides are compared case-insensitively
// and "/" and "\" are treated alike (the Windows rules).
bool glob_match(std::string_view pattern, std::string_view text, bool fold = false);

// True on Windows, where ignore matching folds case and slashes.
constexpr bool kFoldPaths =
#ifdef _WIN32
    true;
#else
    false;
#endif

// Lines of an ignore file: each trimmed, empty lines and "#" comments dropped.
// A missing file gives an empty list; invalid UTF-8 throws DecodeError.
std::vector<std::string> read_ignore_file(const std::filesystem::path& path);

// The ignore test: any "node_modules" component; a pattern matching the whole
// path or its last component; a pattern ending in "/" naming a directory
// component.
bool is_ignored(std::string_view rel_path, const std::vector<std::string>& patterns,
                bool fold = kFoldPaths);

// The same test with the patterns decoded once, for scans of many paths.
class IgnoreMatcher {
public:
    explicit IgnoreMatcher(const std::vector<std::string>& patterns, bool fold = kFoldPaths);
    bool ignored(std::string_view rel_path) const;

private:
    struct Pattern {
        std::u32string glob;
        std::string dir_prefix;  // "name/" for a pattern "name/", else empty
        bool is_dir = false;
    };
    std::vector<Pattern> patterns_;
    bool fold_;
};

}  // namespace tarvik
