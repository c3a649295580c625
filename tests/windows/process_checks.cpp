// Child processes (argument quoting, Unicode, exit codes, merged output) and
// the Toolhelp process list with kill.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "checks.hpp"
#include "core/errors.hpp"
#include "core/process.hpp"
#include "core/process_list.hpp"

namespace wincheck {

namespace {

std::vector<std::string> output_lines(tarvik::ChildProcess& child) {
    std::vector<std::string> lines;
    child.read_lines([&](std::string_view line) { lines.emplace_back(line); });
    for (auto& l : lines)
        if (!l.empty() && l.back() == '\n') l.pop_back();
    return lines;
}

const tarvik::ProcessEntry* find_pid(const std::vector<tarvik::ProcessEntry>& list, long pid) {
    for (const auto& e : list)
        if (e.pid == pid) return &e;
    return nullptr;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

void process_checks(Checks& c, const Places& at) {
    const std::string helper = utf8(at.helper);

    c.run("process start: arguments with spaces, quotes, backslashes, tabs and Unicode arrive unchanged", [&] {
        std::vector<std::string> args = {"plain", "two words", "", "say \"hi\"", "ends\\", "dir\\ \"x\\\\\"",
                                         "tab\there", "trailing space ", "\xc3\xbcn\xc3\xaf \xe5\x90\x8d\xe5\x89\x8d",
                                         "100%TEMP%", "a&b|c^d"};
        std::vector<std::string> argv = {helper, "echo"};
        argv.insert(argv.end(), args.begin(), args.end());
        tarvik::ChildProcess child(argv);
        auto lines = output_lines(child);
        require(child.wait() == 0, "exit status 0");
        require(lines.size() == args.size(), std::to_string(lines.size()) + " lines for " +
                                                 std::to_string(args.size()) + " arguments");
        for (size_t i = 0; i < args.size(); ++i) require_equal(lines[i], args[i], "argument " + std::to_string(i));
    });

    c.run("process start: exit codes come back as DWORDs (3, 0xC0000005)", [&] {
        require(tarvik::run_process({helper, "exit", "3"}).exit_code == 3, "exit 3");
        auto r = tarvik::run_process({helper, "exit", "3221225477"});
        require(r.exit_code == 3221225477LL, "got " + std::to_string(r.exit_code));
    });

    c.run("process start: a missing program is an OSError ENOENT naming it", [&] {
        std::string missing = utf8(at.scratch / "no-such-program.exe");
        try {
            tarvik::ChildProcess child({missing});
        } catch (const tarvik::OsError& e) {
            require(e.error_number == ENOENT, "errno " + std::to_string(e.error_number));
            require_equal(e.filename, missing, "filename");
            return;
        }
        throw Failure("no error");
    });

    c.run("process list: this process, by id and executable name", [&] {
        auto list = tarvik::list_processes();
        require(tarvik::current_process_id() == static_cast<long>(GetCurrentProcessId()), "current_process_id");
        auto* self = find_pid(list, tarvik::current_process_id());
        require(self != nullptr, "not listed");
        require_equal(lower(self->name), "windows_check.exe", "name");
        auto chain = tarvik::self_and_ancestors(list);
        require(!chain.empty() && chain.front() == tarvik::current_process_id(), "self_and_ancestors starts with us");
    });

    c.run("process list and kill: a child is listed under its parent, killed, and gone", [&] {
        tarvik::ChildProcess child({helper, "sleep", "60"});
        auto* entry = find_pid(tarvik::list_processes(), child.pid());
        require(entry != nullptr, "child not listed");
        require(entry->parent_pid == tarvik::current_process_id(), "parent id " + std::to_string(entry->parent_pid));
        require_equal(lower(entry->name), "helper.exe", "child name");
        tarvik::kill_process(child.pid());
        require(child.wait() == 1, "exit code of a killed process");
        require(wait_for([&] { return find_pid(tarvik::list_processes(), child.pid()) == nullptr; }, 10),
                "still listed after kill");
    });

    c.run("process kill: a process id that no process has is an OSError", [&] {
        try {
            tarvik::kill_process(0x7FFFFFFC);
        } catch (const tarvik::OsError&) {
            return;
        }
        throw Failure("no error");
    });
}

}  // namespace wincheck
