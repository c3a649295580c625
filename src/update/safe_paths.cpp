#include "update/safe_paths.hpp"

namespace tarvik::update {

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
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

}  // namespace tarvik::update
