#include "publish/deploy.hpp"

#include <filesystem>

#include "build/launcher_meta.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "publish/deploy_env.hpp"

namespace tarvik::deploy {

namespace {

namespace fs = std::filesystem;

// "\r\n" and "\r" line ends read as "\n", as a text-mode read does.
std::string with_lf_line_ends(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::string line : split_lines(text, true)) {
        if (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
            if (!line.empty() && line.back() == '\r') line.pop_back();
            line += '\n';
        }
        out += line;
    }
    return out;
}

void create_if_absent(const fs::path& dir) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) fs::create_directories(dir);
}

}  // namespace

void deploy(const std::string& /*folder*/) {
    const std::string key = community_key();
    const build::LauncherMeta meta = build::read_launcher_meta();

    const fs::path github = fs::current_path() / ".github";
    create_if_absent(github);
    create_if_absent(github / "workflows");

    const fs::path workflow_template = host().framework_dir() / "cmd" / "file" / "ostervane.yaml";
    const fs::path destination = github / "workflows" / "ostervane.yaml";
    std::error_code ec;
    if (fs::exists(workflow_template, ec)) {
        const std::string text = with_lf_line_ends(read_text_utf8(workflow_template));
        const EnvVars vars = {{"APP_NAME", meta.app_name},
                              {"BASE_VERSION", meta.version},
                              {"COMMUNITY_KEY", key}};
        write_text_platform(destination, inject_env(text, vars));
    }
    println("Deploy project success");
}

}  // namespace tarvik::deploy
