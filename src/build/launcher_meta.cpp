#include "build/launcher_meta.hpp"

#include <filesystem>

#include "core/errors.hpp"
#include "core/file_io.hpp"

namespace tarvik::build {

namespace {

// Length of the whitespace character at s[i] (Python's str.isspace set, which
// is what \s matches in a str pattern), or 0 when s[i] does not start one.
size_t space_length(std::string_view s, size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f)) return 1;
    static constexpr std::string_view multi[] = {
        "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\xA8", "\xE2\x80\xA9",
        "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (std::string_view m : multi)
        if (s.substr(i, m.size()) == m) return m.size();
    // U+2000 .. U+200A
    if (s.substr(i, 2) == "\xE2\x80" && i + 2 < s.size()) {
        auto c3 = static_cast<unsigned char>(s[i + 2]);
        if (c3 >= 0x80 && c3 <= 0x8A) return 3;
    }
    return 0;
}

size_t skip_spaces(std::string_view s, size_t i) {
    while (i < s.size()) {
        size_t n = space_length(s, i);
        if (n == 0) break;
        i += n;
    }
    return i;
}

}  // namespace

std::string match_assignment(std::string_view line, std::string_view key) {
    if (line.substr(0, key.size()) != key) return {};
    size_t i = skip_spaces(line, key.size());
    if (i >= line.size() || line[i] != '=') return {};
    i = skip_spaces(line, i + 1);
    if (i >= line.size() || line[i] != '"') return {};
    size_t close = line.find('"', i + 1);
    if (close == std::string_view::npos || close == i + 1) return {};
    return std::string(line.substr(i + 1, close - i - 1));
}

LauncherMeta read_launcher_meta() {
    namespace fs = std::filesystem;
    fs::path path = fs::current_path() / "launcher.py";
    std::error_code ec;
    if (!fs::exists(path, ec))
        throw Error(ErrorKind::FileNotFoundError, "launcher.py not found: " + path_text(path));
    LauncherMeta meta;
    // Lines keep their end, as Python's line iteration gives them.
    for (const std::string& line : split_lines(read_text_utf8(path), true)) {
        if (std::string v = match_assignment(line, "app_name"); !v.empty()) meta.app_name = std::move(v);
        if (std::string v = match_assignment(line, "version"); !v.empty()) meta.version = std::move(v);
    }
    if (meta.app_name.empty()) throw runtime_error("Cannot read app_name from launcher.py");
    if (meta.version.empty()) throw runtime_error("Cannot read version from launcher.py");
    return meta;
}

}  // namespace tarvik::build
