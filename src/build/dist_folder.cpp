// Moving the compiler's output folder to its final name.
#include <algorithm>
#include <filesystem>

#include "build/build_steps.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/pytext.hpp"

namespace tarvik::build {

namespace fs = std::filesystem;

namespace {

// Deletes every node_modules folder below dir (a link of that name is removed
// itself, never followed) and reports each; nothing below a removed folder is
// visited.
void strip_node_modules(const fs::path& dir) {
    std::error_code ec;
    std::vector<fs::path> subdirs;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code type_ec;
        if (it->is_directory(type_ec)) subdirs.push_back(it->path());
    }
    std::sort(subdirs.begin(), subdirs.end());
    for (const fs::path& sub : subdirs) {
        if (sub.filename() == "node_modules") {
            fs::remove_all(sub);
            println("[builder] removed: " + path_text(sub));
        } else if (!fs::is_symlink(sub)) {
            strip_node_modules(sub);
        }
    }
}

}  // namespace

void require_plain_name(const std::string& what, const std::string& value) {
#ifdef _WIN32
    const char* separators = "/\\:";
#else
    const char* separators = "/";
#endif
    if (value.empty() || value == "." || value == ".." || value.find_first_of(separators) != std::string::npos ||
        value.find('\0') != std::string::npos)
        throw value_error(what + " must name a single folder inside build/: " + py_repr(value));
}

void rename_dist_folder(const std::string& app_name, const std::string& folder_name) {
    require_plain_name("app name", app_name);
    require_plain_name("folder name", folder_name);
    const fs::path build_dir("build");
    const fs::path src = build_dir / path_from_utf8(app_name + ".dist");
    const fs::path dst = build_dir / path_from_utf8(folder_name);
    const fs::path bundle = build_dir / path_from_utf8(app_name + ".app");

    if (fs::exists(fs::symlink_status(dst))) fs::remove_all(dst);
    if (fs::is_directory(src)) {
        fs::rename(src, dst);
        println("[builder] renamed: " + path_text(src) + " -> " + path_text(dst));
    } else if (fs::is_directory(bundle)) {
        fs::rename(bundle, dst);
        println("[builder] renamed (.app): " + path_text(bundle) + " -> " + path_text(dst));
    } else {
        println("[builder] warning: neither " + path_text(src) + " nor .app bundle exists");
    }
    if (fs::is_directory(fs::symlink_status(dst))) strip_node_modules(dst);
}

}  // namespace tarvik::build
