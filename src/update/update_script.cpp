#include "update/update_script.hpp"

#include <cctype>
#include <cstring>
#include <filesystem>

#include "core/file_io.hpp"
#include "update/installation.hpp"
#include "update/safe_paths.hpp"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace tarvik::update {

namespace {

std::string q(const std::string& path) {
    std::string out = "\"";
    out += bash_dq_escape(path);
    out += '"';
    return out;
}

// Batch files expand %VAR% even inside double quotes.
std::string bq(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

std::string lower_ascii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "C:\\x", "C:/x" or a "\\\\server" path.
bool win_absolute(const std::string& p) {
    if (p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && (p[2] == '\\' || p[2] == '/'))
        return true;
    return p.size() >= 2 && (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/');
}

std::string target_exe(const ScriptInputs& in, bool windows) {
    if (!in.new_exe_path) return in.exe_path;
    bool absolute = windows ? win_absolute(*in.new_exe_path) : is_absolute_path(*in.new_exe_path);
    return absolute ? *in.new_exe_path : in.exe_path;
}

// Windows spelling, whatever the platform the script is generated on.
std::string win_base(const std::string& path) {
    size_t i = path.find_last_of("\\/");
    return i == std::string::npos ? path : path.substr(i + 1);
}

std::string win_join(const std::string& dir, const std::string& rel) {
    std::string out = dir;
    if (!out.empty() && out.back() != '\\' && out.back() != '/') out += '\\';
    for (char c : rel) out += c == '/' ? '\\' : c;
    return out;
}

bool exe_name_changes(const ScriptInputs& in, bool windows) {
    auto base = windows ? win_base : base_name;
    return lower_ascii(base(target_exe(in, windows))) != lower_ascii(base(in.exe_path));
}

std::string join_lines(const std::vector<std::string>& lines, const char* eol) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i) out += eol;
        out += lines[i];
    }
    return out;
}

}  // namespace

std::string bash_dq_escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    return out;
}

std::string ere_literal(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (std::strchr("\\.[]()*+?{}|^$", c) && c != '\0') out += '\\';
        out += c;
    }
    return out;
}

// An executable named without a folder lives in the working folder, which is
// also the script's; an empty folder must never become "" + "/", the root.
static std::string script_dir(const std::string& app_dir) { return app_dir.empty() ? "." : app_dir; }

std::vector<std::string> bash_script_lines(const ScriptInputs& in) {
    const std::string app_dir = script_dir(in.app_dir);
    const std::string crash_log = join_path(app_dir, "update_crash.log");
    std::vector<std::string> l;
    l.push_back("#!/bin/bash");
    l.push_back("while pgrep -f \"" + bash_dq_escape(ere_literal(in.exe_path)) +
                "\" > /dev/null 2>&1; do sleep 1; done");
    l.push_back("if ! cp -rf " + q(in.temp_dir) + "/. " + q(app_dir) + "/ 2>> " + q(crash_log) + "; then");
    l.push_back("    echo \"[Update] cp failed, update aborted.\" >> " + q(crash_log));
    l.push_back("    exit 1");
    l.push_back("fi");
    if (in.manifest_name)
        l.push_back("cp -f " + q(join_path(in.temp_dir, *in.manifest_name)) + " " +
                    q(join_path(app_dir, *in.manifest_name)) + " 2>/dev/null");
    l.push_back("rm -rf " + q(in.temp_dir));
    for (const std::string& rel : in.to_delete)
        if (is_safe_relative_path(rel)) l.push_back("rm -f " + q(join_path(app_dir, rel)));
    l.push_back("nohup " + q(target_exe(in, false)) + " > /dev/null 2>&1 &");
    if (exe_name_changes(in, false)) {
        l.push_back("sleep 3");
        l.push_back("rm -f " + q(in.exe_path) + " 2>/dev/null");
    }
    l.push_back("rm -- \"$0\"");
    return l;
}

std::vector<std::string> batch_script_lines(const ScriptInputs& in, long pid) {
    const std::string app_dir = script_dir(in.app_dir);
    const std::string crash_log = win_join(app_dir, "update_crash.log");
    const std::string p = std::to_string(pid);
    std::vector<std::string> l;
    l.push_back("@echo off");
    l.push_back("chcp 65001 >NUL");
    l.push_back(":wait");
    l.push_back("tasklist /FI \"PID eq " + p + "\" /NH 2>NUL | find \" " + p + " \" >NUL");
    l.push_back("if not errorlevel 1 (");
    l.push_back("    ping -n 2 127.0.0.1 >NUL");
    l.push_back("    goto wait");
    l.push_back(")");
    l.push_back("xcopy " + bq(win_join(in.temp_dir, "*")) + " " + bq(app_dir) + " /E /H /Y /I /Q >NUL 2>> " +
                bq(crash_log));
    l.push_back("if errorlevel 2 (");
    l.push_back("    echo [Update] cp failed, update aborted.>> " + bq(crash_log));
    l.push_back("    exit /b 1");
    l.push_back(")");
    if (in.manifest_name)
        l.push_back("copy /Y " + bq(win_join(in.temp_dir, *in.manifest_name)) + " " +
                    bq(win_join(app_dir, *in.manifest_name)) + " >NUL 2>NUL");
    l.push_back("rmdir /S /Q " + bq(in.temp_dir));
    for (const std::string& rel : in.to_delete)
        if (is_safe_relative_path(rel)) l.push_back("del /F /Q " + bq(win_join(app_dir, rel)) + " 2>NUL");
    l.push_back("start \"\" " + bq(target_exe(in, true)));
    if (exe_name_changes(in, true)) {
        l.push_back("ping -n 4 127.0.0.1 >NUL");
        l.push_back("del /F /Q " + bq(in.exe_path) + " 2>NUL");
    }
    l.push_back("(goto) 2>NUL & del \"%~f0\"");
    return l;
}

std::string write_bash_script(const ScriptInputs& in) {
    std::string path = join_path(in.app_dir, "update.sh");
    write_file(path_from_utf8(path), join_lines(bash_script_lines(in), "\n"));
    namespace fs = std::filesystem;
    fs::permissions(path_from_utf8(path),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::replace);
    return path;
}

std::string write_batch_script(const ScriptInputs& in, long pid) {
    std::string path = join_path(in.app_dir, "update.bat");
    write_file(path_from_utf8(path), join_lines(batch_script_lines(in, pid), "\r\n"));
    return path;
}

std::string write_update_script(const ScriptInputs& in) {
#ifdef _WIN32
    return write_batch_script(in, static_cast<long>(_getpid()));
#else
    return write_bash_script(in);
#endif
}

}  // namespace tarvik::update
