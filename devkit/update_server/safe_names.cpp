#include "safe_names.hpp"

namespace devserver {

std::vector<std::string> split_slash(std::string_view text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        if (slash == std::string_view::npos) {
            out.emplace_back(text.substr(start));
            return out;
        }
        out.emplace_back(text.substr(start, slash - start));
        start = slash + 1;
    }
}

bool safe_component(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == '\0') return false;
    // "C:" and "C:name" are drive-relative on Windows.
    bool letter = (name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z');
    if (name.size() >= 2 && letter && name[1] == ':') return false;
    return true;
}

std::optional<std::vector<std::string>> safe_relative_path(std::string_view rel) {
    if (rel.empty() || rel.front() == '/') return std::nullopt;
    std::vector<std::string> parts = split_slash(rel);
    for (const std::string& p : parts)
        if (!safe_component(p)) return std::nullopt;
    return parts;
}

}  // namespace devserver
