// The Windows test program: runs the library's Windows units (processes,
// Unicode paths and file times, socket probes, the detached start and
// update.bat) and prints one line per check and "N passed, N failed".
//   windows_check.exe [SCRATCH_FOLDER]
#include "core/win32.hpp"

#include <cstdio>

#include "checks.hpp"

namespace wincheck {
void install_host();
}

int wmain(int argc, wchar_t** argv) {
    namespace fs = std::filesystem;
    using namespace wincheck;
    install_host();
    wchar_t self[32768];
    GetModuleFileNameW(nullptr, self, 32768);
    Places at;
    at.helper = fs::path(self).parent_path() / L"helper.exe";
    at.scratch = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / L"tarvik windows check";
    std::error_code ec;
    fs::remove_all(at.scratch, ec);
    fs::create_directories(at.scratch);
    std::printf("scratch folder: %s\n", utf8(at.scratch).c_str());

    Checks c;
    process_checks(c, at);
    file_checks(c, at);
    socket_checks(c, at);
    script_start_checks(c, at);
    update_script_checks(c, at);
    return c.finish({
        "update.bat's wait for the application to exit (the tasklist loop): the script is given the id of a "
        "process that has already ended",
        "update.bat deleting itself at the end ((goto) 2>NUL & del \"%~f0\"): Wine's cmd does not behave like "
        "Windows' there",
        "update.bat in an installation folder with non-ASCII characters (chcp 65001 and the script's UTF-8 text)",
        "libcurl's URL parsing in the reachability check, and every unit that uses libcurl or OpenSSL (no MinGW "
        "builds in Debian: compiled, not linked)",
        "the port release's console commands (netstat -ano | findstr, taskkill): Wine's cmd cannot parse the "
        "grouped command with its 2>NUL",
        "the script starting without a console window and outliving the application's console",
    });
}
