#include "build/launcher_meta.hpp"

#include <filesystem>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/pytext.hpp"

namespace tarvik::build {

namespace {

// Past the whitespace (str.isspace) that starts at s[i].
size_t skip_spaces(std::string_view s, size_t i) { return s.size() - py_lstrip(s.substr(i)).size(); }

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
