#include "update/safe_paths.hpp"

#include <filesystem>

#include "core/file_io.hpp"
#include "core/release_names.hpp"
#include "update/installation.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

// True when `inner` is `outer` or lies below it (both canonical).
bool is_within(const fs::path& inner, const fs::path& outer) {
    auto i = inner.begin(), o = outer.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (o->empty() && std::next(o) == outer.end()) return true;  // trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

}  // namespace

bool is_safe_relative_path(std::string_view rel) {
    if (rel.empty() || rel.front() == '/') return false;
    if (rel.find('\\') != std::string_view::npos || rel.find('\0') != std::string_view::npos) return false;
    if (rel.size() >= 2 && rel[1] == ':' &&
        ((rel[0] >= 'A' && rel[0] <= 'Z') || (rel[0] >= 'a' && rel[0] <= 'z')))
        return false;
    size_t start = 0;
    for (;;) {
        size_t slash = rel.find('/', start);
        std::string_view part = rel.substr(start, slash == std::string_view::npos ? rel.npos : slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (slash == std::string_view::npos) return !is_statement_file_name(part);
        if (is_protected_folder_name(part)) return false;
        start = slash + 1;
    }
}

bool stays_inside(const std::string& app_dir, const std::string& rel, bool parents_only) {
    std::error_code ec;
    const fs::path root = path_from_utf8(app_dir.empty() ? "." : app_dir);
    fs::path canonical_root;
    fs::path at = root;
    size_t start = 0;
    for (;;) {
        size_t slash = rel.find('/', start);
        const bool last = slash == std::string::npos;
        if (last && parents_only) return true;
        at /= path_from_utf8(rel.substr(start, last ? std::string::npos : slash - start));
        fs::file_status st = fs::symlink_status(at, ec);
        if (ec || !fs::exists(st)) return true;  // nothing further exists: no link to follow
        if (fs::is_symlink(st)) {
            if (canonical_root.empty()) {
                canonical_root = fs::canonical(root, ec);
                if (ec) return false;
            }
            fs::path target = fs::weakly_canonical(at, ec);
            if (ec || !is_within(target, canonical_root)) return false;
        }
        if (last) return true;
        start = slash + 1;
    }
}

}  // namespace tarvik::update
