// The detached start and update.bat end to end on staged installations: the
// script swaps the staged tree (in the installation's update folder) into
// place by moves, the files the new version no longer has (and the old
// executable, when the new one has another name) out, starts the new
// executable and, once it confirms its start, removes the backup, the staged
// tree and the update folder. A new version that ends without confirming is
// swapped back: the old files return and the old executable starts.
#include "core/win32.hpp"

#include <cctype>
#include <sstream>

#include "checks.hpp"
#include "core/file_io.hpp"
#include "core/process.hpp"
#include "update/detached_start.hpp"
#include "update/swap_plan.hpp"
#include "update/update_script.hpp"

namespace wincheck {

namespace fs = std::filesystem;

namespace {

// The library calls of the update hand-off, kept together: when the script's
// inputs or its start change, only this follows.
void write_and_start_update(const fs::path& app, const fs::path& staged, const std::vector<std::string>& to_delete,
                            const std::optional<fs::path>& new_exe, const fs::path& running_exe, long wait_pid) {
    tarvik::update::ScriptInputs in;
    in.app_dir = utf8(app);
    in.temp_dir = utf8(staged);
    in.to_delete = to_delete;
    in.manifest_name = "manifest.json";
    if (new_exe) in.new_exe_path = utf8(*new_exe);
    in.exe_path = utf8(running_exe);
    in.new_version = "2";
    in.remote_hash = "0123456789abcdef";
    in.confirm_seconds = 30;
    std::string script = tarvik::update::write_batch_script(in, wait_pid);
    tarvik::update::start_detached_script(script, in.app_dir);
}

std::string text_of(const fs::path& p) {
    std::error_code ec;
    if (!fs::exists(p, ec)) return "<missing>";
    return tarvik::read_file(p);
}

std::string lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

// The id of a process that has ended.
long ended_pid(const Places& at) {
    tarvik::ChildProcess child({utf8(at.helper), "exit", "0"});
    child.wait();
    return child.pid();
}

void update_run(Checks& c, const Places& at, const std::string& folder, bool rename_exe, bool confirms = true) {
    const fs::path app = at.scratch / (confirms ? "installs" : "reverts") / from_utf8(folder);
    const std::string label = "update.bat in \"" + folder + "\"" + (rename_exe ? ", new executable name" : "") +
                              (confirms ? "" : ", new version ends without confirming");
    c.run(label, [&] {
        fs::create_directories(app / "data");
        fs::copy_file(at.helper, app / "Shop.exe");
        tarvik::write_file(app / "data" / "version.txt", "1");
        tarvik::write_file(app / "old.txt", "old");
        tarvik::write_file(app / "keep.txt", "keep");
        tarvik::write_file(app.parent_path() / "outside.txt", "outside");

        if (!confirms) tarvik::write_file(app / "no-confirm", "");
        const fs::path update_folder = app / tarvik::update::kUpdateFolder;
        const fs::path staged = update_folder / "tarvik_update_0123456789abcdef";
        const std::string new_name = rename_exe ? "Shop2.exe" : "Shop.exe";
        fs::create_directories(staged / "data");
        fs::create_directories(staged / "sub dir");
        fs::copy_file(at.helper, staged / new_name);
        tarvik::write_file(staged / "data" / "version.txt", "2");
        tarvik::write_file(staged / "sub dir" / "new.txt", "new");
        tarvik::write_file(staged / "manifest.json", "{\"version\": \"2\"}");

        std::optional<fs::path> new_exe;
        if (rename_exe) new_exe = app / new_name;
        write_and_start_update(app, staged, {"old.txt", "../outside.txt"}, new_exe, app / "Shop.exe", ended_pid(at));

        if (!confirms) {
            // the old version back, started again, and the reason logged
            // (the plan and the emptied backup stay for the old version's next check)
            const fs::path marker = app / "started-Shop.exe.txt";
            auto journal = [&] { return text_of(update_folder / "swap" / "journal"); };
            if (!wait_for([&] { return fs::exists(marker) && journal().find("rolled back") != std::string::npos; }, 90))
                throw Failure("the old executable was not started again; update_crash.log: " +
                              text_of(app / "update_crash.log"));
            require_equal(text_of(app / "data" / "version.txt"), "1", "restored file");
            require_equal(text_of(app / "old.txt"), "old", "restored deleted file");
            require(!fs::exists(app / "sub dir" / "new.txt"), "a new file stayed after the revert");
            require(!fs::exists(app / "manifest.json"), "the new manifest stayed after the revert");
            require(fs::exists(app / "Shop.exe"), "old executable missing after the revert");
            require(!rename_exe || !fs::exists(app / new_name), "new executable stayed after the revert");
            require(text_of(app / "update_crash.log").find("ended before it confirmed its start") != std::string::npos,
                    "crash log: " + text_of(app / "update_crash.log"));
            require(text_of(update_folder / "rejected").find("0123456789abcdef") != std::string::npos,
                    "the release is not remembered as rejected");
            return;
        }
        const fs::path marker = app / from_utf8("started-" + new_name + ".txt");
        if (!wait_for([&] { return fs::exists(marker); }, 60))
            throw Failure("the new executable was not started; update_crash.log: " + text_of(app / "update_crash.log"));
        std::istringstream lines(tarvik::read_file(marker));
        std::string exe_line, cwd_line;
        std::getline(lines, exe_line);
        std::getline(lines, cwd_line);
        require_equal(lower(exe_line), lower(utf8(app / new_name)), "started executable");
        require_equal(lower(cwd_line), lower(utf8(app)), "its working folder");
        require_equal(text_of(app / "data" / "version.txt"), "2", "replaced file");
        require_equal(text_of(app / "sub dir" / "new.txt"), "new", "new file in a new folder");
        require_equal(text_of(app / "manifest.json"), "{\"version\": \"2\"}", "manifest");
        require_equal(text_of(app / "keep.txt"), "keep", "untouched file");
        require(!fs::exists(app / "old.txt"), "a listed file was not deleted");
        require_equal(text_of(app.parent_path() / "outside.txt"), "outside", "a path leaving the installation");
        require(wait_for([&] { return !fs::exists(update_folder); }, 30), "update folder left behind");
        if (rename_exe)
            require(wait_for([&] { return !fs::exists(app / "Shop.exe"); }, 30), "old executable left behind");
        // The script's error redirection creates the log; it must stay empty.
        std::string log = fs::exists(app / "update_crash.log") ? text_of(app / "update_crash.log") : "";
        require(log.empty(), "crash log: " + log);
    });
}

void detached_run(Checks& c, const Places& at, const std::string& folder) {
    c.run("detached start: the script runs in its folder \"" + folder + "\"", [&] {
        const fs::path dir = at.scratch / "detached" / from_utf8(folder);
        fs::create_directories(dir);
        tarvik::write_file(dir / "probe.bat", "@echo off\r\ncd > started.txt\r\n");
        tarvik::update::start_detached_script(utf8(dir / "probe.bat"), utf8(dir));
        require(wait_for([&] { return fs::exists(dir / "started.txt") && fs::file_size(dir / "started.txt") > 0; }, 30),
                "the script did not run");
        std::string got = tarvik::read_file(dir / "started.txt");
        while (!got.empty() && (got.back() == '\n' || got.back() == '\r' || got.back() == ' ')) got.pop_back();
        require_equal(lower(got), lower(utf8(dir)), "working folder");
    });
}

}  // namespace

void script_start_checks(Checks& c, const Places& at) {
    detached_run(c, at, "plain");
    detached_run(c, at, "R&D 100%TEMP% x");
}

void update_script_checks(Checks& c, const Places& at) {
    update_run(c, at, "Shop", false);
    update_run(c, at, "My Shop", true);
    update_run(c, at, "R&D", false);
    update_run(c, at, "100%TEMP%", false);
    update_run(c, at, "Shop & Co 50%PATH% off", true);
    update_run(c, at, "Shop", false, false);
    update_run(c, at, "R&D 100%TEMP%", true, false);
}

}  // namespace wincheck
