// The build command: key, configuration, compiler run, final folder,
// manifest and build.json, with the total time printed in every case.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "build/build_config.hpp"
#include "build/build_host.hpp"
#include "build/build_steps.hpp"
#include "build/launcher_meta.hpp"
#include "build/manifest.hpp"
#include "build/release_signing.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/json_text.hpp"
#include "core/pytext.hpp"

namespace tarvik::build {

namespace fs = std::filesystem;

namespace {

bool env_is(const std::string& name, const std::string& value) {
    auto v = host().getenv(name);
    return v && *v == value;
}

bool env_non_empty(const std::string& name) {
    auto v = host().getenv(name);
    return v && !v->empty();
}

std::string community_key() {
    const bool ci = env_is("GITHUB_ACTIONS", "true") || env_non_empty("GITEE_PIPELINE_NAME") ||
                    env_non_empty("GITEE_REPO");
    if (!ci) return build_host().community_key();
    std::string key = host().getenv("COMMUNITY_KEY").value_or("");
    if (key.empty()) {
        const std::string message = "[builder] CI environment detected but COMMUNITY_KEY is not set";
        println(message);
        throw runtime_error(message);
    }
    return key;
}

LauncherMeta app_identity() {
    auto name = host().getenv("APP_NAME");
    auto version = host().getenv("BASE_VERSION");
    if (name && !name->empty() && version && !version->empty()) return {*name, *version};
    return read_launcher_meta();
}

// launcher.py copied to <app_name>.py, the compiler's main script.
void write_main_script(const fs::path& main_script) {
    const fs::path launcher("launcher.py");
    std::error_code ec;
    if (fs::exists(main_script, ec) && fs::equivalent(launcher, main_script, ec))
        throw Error(ErrorKind::OSError, py_repr(path_text(launcher)) + " and " + py_repr(path_text(main_script)) +
                                         " are the same file");
    fs::copy_file(launcher, main_script, fs::copy_options::overwrite_existing);
}

void run_build() {
    const std::string key = community_key();
    const ExtraEntries extra = load_extra_entries();
    const std::optional<SigningSetup> signing = load_signing_setup();
    const LauncherMeta app = app_identity();
    // Both become folder names under build/, which a later build deletes.
    require_plain_name("app name", app.app_name);
    require_plain_name("version", app.version);
    println("[builder] app: " + app.app_name + "  version: " + app.version);

    generate_apps_json();

    const Platform platform = get_platform();
    const std::string folder_name = app.app_name + "-" + app.version + "-" + platform.display;
    println("[builder] platform: " + platform.display + " (" + platform.os_label + "/" + platform.arch + ")");

    const fs::path main_script = path_from_utf8(app.app_name + ".py");
    write_main_script(main_script);

    const fs::path workspace = fs::current_path();
    host().setenv("DJANGO_SETTINGS_MODULE", "tarvik.server.server.settings");
    host().setenv("RUN_MAIN", "true");
    host().setenv("PYTHONPATH", path_text(workspace) + (platform.os_label == "windows" ? ";" : ":") +
                                    path_text(workspace / "tarvik"));
    host().setenv("PYTHONIOENCODING", "utf-8");

    run_compiler(build_compiler_args(app.app_name, app.version, platform.os_label, platform.icon_arg, extra));
    kill_app_process(app.app_name);
    rename_dist_folder(app.app_name, folder_name);
    if (signing) ship_public_key(*signing, fs::path("build") / path_from_utf8(folder_name));
    generate_manifest(app.app_name, app.version, platform.os_label, platform.arch, folder_name);

    std::error_code ec;
    if (fs::exists(main_script, ec)) fs::remove(main_script);

    const fs::path build_json = fs::path("build") / path_from_utf8(folder_name) / "build.json";
    Json info = Json::object();
    info["COMMUNITY_KEY"] = key;
    write_json_file(build_json, info);
    println("[builder] build.json: " + path_text(build_json));
    if (signing)
        sign_build_manifest(*signing, manifest_name(app.app_name, platform.os_label, platform.arch), folder_name);

    println("\n[builder] build complete!");
    println("[builder] output dir: build/" + folder_name);
    println("[builder] manifest: build/" + manifest_name(app.app_name, platform.os_label, platform.arch));
}

}  // namespace

std::string format_duration(double seconds) {
    // Whole minutes first, then the rest to one decimal: 59.97 s is "0 min 60.0 sec".
    const double minutes = std::floor(seconds / 60);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f min %.1f sec", minutes, std::fmod(seconds, 60.0));
    return buf;
}

void build() {
    const auto start = std::chrono::steady_clock::now();
    auto print_total = [&] {
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        println("");
        println("[builder] total build time: " + format_duration(elapsed.count()));
    };
    try {
        run_build();
    } catch (...) {
        print_total();
        throw;
    }
    print_total();
}

}  // namespace tarvik::build
