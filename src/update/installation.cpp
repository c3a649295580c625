#include "update/installation.hpp"

#include <cctype>

#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/ignore_rules.hpp"
#include "core/json_read.hpp"
#ifndef _WIN32
#include <sys/utsname.h>
#endif

namespace tarvik::update {

namespace {

bool is_sep(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

size_t last_sep(const std::string& p) {
    for (size_t i = p.size(); i > 0; --i)
        if (is_sep(p[i - 1])) return i - 1;
    return std::string::npos;
}

}  // namespace

std::string dir_name(const std::string& path) {
    size_t i = last_sep(path);
    if (i == std::string::npos) return "";
    std::string head = path.substr(0, i + 1);
    bool all_seps = true;
    for (char c : head) all_seps = all_seps && is_sep(c);
    if (!all_seps)
        while (!head.empty() && is_sep(head.back())) head.pop_back();
    return head;
}

std::string base_name(const std::string& path) {
    size_t i = last_sep(path);
    return i == std::string::npos ? path : path.substr(i + 1);
}

bool is_absolute_path(const std::string& path) {
#ifdef _WIN32
    return path_from_utf8(path).is_absolute();
#else
    return !path.empty() && path.front() == '/';
#endif
}

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty() || is_absolute_path(name)) return name;
    if (is_sep(dir.back())) return dir + name;
    return dir + kSep + name;
}

std::string join_relative(const std::string& dir, const std::string& rel) {
    std::string native = rel;
    for (char& c : native)
        if (c == '/') c = kSep;
    return join_path(dir, native);
}

std::string app_dir() { return dir_name(host().executable()); }

std::optional<Json> load_community_key(const std::string& app_dir) {
    std::error_code ec;
    auto path = path_from_utf8(join_path(app_dir, "build.json"));
    if (!std::filesystem::exists(path, ec)) return std::nullopt;
    try {
        Json doc = read_json_file(path);
        if (!doc.is_object() || !doc.contains("COMMUNITY_KEY")) return std::nullopt;
        return doc["COMMUNITY_KEY"];
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string arch_from_machine(std::string machine) {
    for (char& c : machine) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (machine == "arm64" || machine == "aarch64") return "arm64";
    if (machine.rfind("armv", 0) == 0) return "armv7";
    return "x64";
}

Platform detect_platform() {
    std::string machine;
#ifdef _WIN32
    machine = host().getenv("PROCESSOR_ARCHITECTURE").value_or("");
    if (auto w = host().getenv("PROCESSOR_ARCHITEW6432")) machine = *w;
    return {"windows", arch_from_machine(machine), "Windows"};
#else
    utsname u{};
    if (uname(&u) == 0) machine = u.machine;
#ifdef __APPLE__
    return {"macos", arch_from_machine(machine), "macOS"};
#else
    return {"linux", arch_from_machine(machine), "Linux"};
#endif
#endif
}

std::vector<std::string> read_gitignore(const std::string& app_dir) {
    return read_ignore_file(path_from_utf8(join_path(app_dir, ".gitignore")));
}

}  // namespace tarvik::update
