#include "build/build_config.hpp"

#include <filesystem>
#include <set>
#include <thread>

#ifdef _WIN32
#include "core/win32.hpp"
#else
#include <sys/utsname.h>
#endif

#include "build/builder_toml.hpp"
#include "core/errors.hpp"

namespace tarvik::build {

const std::vector<std::string> DEFAULT_INCLUDE_PACKAGES = {
    "tarvik", "django", "fastapi", "flask", "orjson", "uvicorn", "pandas", "openpyxl", "watchdog",
    "tomlkit", "psutil", "xlsxwriter", "requests", "httptools", "aiofiles", "starlette", "tarvik_asgi",
    "tarvik_message", "tarvik_token", "django_filters", "rest_framework", "rest_framework_csv",
    "django_apscheduler", "corsheaders", "ostervane", "PIL"};

const std::vector<std::string> DEFAULT_INCLUDE_MODULES = {"django.core.management", "tarvik_cmd"};

const std::vector<std::string> DEFAULT_NOFOLLOW_IMPORT_TO = {
    "pandas.tests", "django.test", "rest_framework.tests", "IPython", "pytest", "unittest", "node_modules"};

const std::vector<std::string> DEFAULT_INCLUDE_DATA_FILES = {
    ".gitignore=.gitignore",
    "setup.ini=setup.ini",
    "splash.png=splash.png",
    "apps.json=apps.json",
    "ostervane/server.py=ostervane/server.py",
    "ostervane/receiver.py=ostervane/receiver.py",
    "ostervane/files.py=ostervane/files.py",
    "ostervane/task.py=ostervane/task.py"};

const char* const kExtraKeys[4] = {"include_packages", "include_modules", "nofollow_import_to",
                                   "include_data_files"};

ExtraEntries load_extra_entries() {
    auto doc = read_builder_toml();
    if (!doc) return {};
    return extra_entries_of(*doc);
}

Platform platform_for(std::string_view system, std::string_view machine) {
    std::string m(machine);
    for (char& c : m)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    std::string arch = (m == "arm64" || m == "aarch64") ? "arm64" : "x64";
    if (system == "Windows") return {"windows", arch, "Windows", "--windows-icon-from-ico=logo.ico"};
    if (system == "Darwin") return {"macos", arch, "macOS", "--macos-app-icon=logo.icns"};
    return {"linux", arch, "Linux", "--linux-icon=logo.png"};
}

Platform get_platform() {
#ifdef _WIN32
    // The machine type as the platform query reports it on Windows.
    SYSTEM_INFO si;
    GetNativeSystemInfo(&si);
    const char* machine = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? "ARM64"
                          : si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? "x86"
                                                                                       : "AMD64";
    return platform_for("Windows", machine);
#else
    utsname u{};
    if (::uname(&u) != 0) return platform_for("", "");
    return platform_for(u.sysname, u.machine);
#endif
}

std::vector<std::string> merged(const std::vector<std::string>& defaults, const ExtraEntries& extra,
                                const std::string& key) {
    std::vector<std::string> out = defaults;
    std::set<std::string> seen(defaults.begin(), defaults.end());
    auto it = extra.find(key);
    if (it != extra.end())
        for (const std::string& entry : it->second)
            if (seen.insert(entry).second) out.push_back(entry);
    return out;
}

unsigned job_count() {
    unsigned cpus = std::thread::hardware_concurrency();
    if (cpus == 0) cpus = 4;
    return cpus > 1 ? cpus - 1 : 1;
}

std::vector<std::string> build_compiler_args(const std::string& app_name, const std::string& version,
                                             const std::string& os_label, const std::string& icon_arg,
                                             const ExtraEntries& extra) {
    std::vector<std::string> args = {
        "Tarvik",
        app_name + ".py",
        "--mode=standalone",
        "--assume-yes-for-downloads",
        "--show-progress",
        "--lto=yes",
        "--jobs=" + std::to_string(job_count()),
        "--company-name=Tarvik",
        "--product-name=" + app_name,
        "--file-description=No-environment delivery tool for Python apps Compile to binary "
        "\xC2\xB7 Cross-platform \xC2\xB7 Incremental updates \xC2\xB7 Source code protection",
        "--file-version=" + version,
        "--product-version=" + version,
        "--copyright=Copyright \xC2\xA9 2020 " + app_name,
        icon_arg,
        "--enable-plugin=tk-inter",
        "--module-parameter=django-settings-module=tarvik.server.server.settings",
        "--output-dir=build",
    };
    if (os_label == "windows") {
        args.push_back("--windows-console-mode=disable");
    } else if (os_label == "macos") {
        args.push_back("--macos-app-name=" + app_name);
        args.push_back("--macos-app-version=" + version);
        args.push_back("--macos-signed-app-name=" + app_name);
        args.push_back("--macos-app-console-mode=disable");
    }
    for (const auto& pkg : merged(DEFAULT_INCLUDE_PACKAGES, extra, "include_packages")) {
        args.push_back("--include-package=" + pkg);
        args.push_back("--include-package-data=" + pkg);
    }
    for (const auto& mod : merged(DEFAULT_INCLUDE_MODULES, extra, "include_modules"))
        args.push_back("--include-module=" + mod);
    for (const auto& entry : merged(DEFAULT_NOFOLLOW_IMPORT_TO, extra, "nofollow_import_to"))
        args.push_back("--nofollow-import-to=" + entry);
    for (const auto& entry : merged(DEFAULT_INCLUDE_DATA_FILES, extra, "include_data_files"))
        args.push_back("--include-data-file=" + entry);
    return args;
}

}  // namespace tarvik::build
