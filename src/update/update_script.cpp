#include "update/update_script.hpp"

#include <cctype>
#include <cstring>
#include <filesystem>

#include "core/file_io.hpp"
#include "core/release_statement.hpp"
#include "update/installation.hpp"
#include "update/safe_paths.hpp"
#include "update/swap_plan.hpp"

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

namespace {

// The moves of one step, for one folder. A folder whose installed entries
// are exactly the step's files (no subfolder, nothing else) and whose staged
// twin holds exactly the staged ones is swapped by two renames of the folder;
// otherwise each file is renamed, at most 200 to one mv (some systems allow
// only 256 KiB of arguments). Undo is always file by file: after a folder
// rename each file is simply in the other place.
constexpr const char* kMoveFunctions = R"SH(shopt -s nullglob dotglob
# the folders whose entries the swap changed: synced before "swapped" is journaled
touched=()
# flat DIR COUNT: DIR holds exactly COUNT entries (a missing DIR holds none).
# Called with the number of the step's names found there, so that a folder
# goes whole only when everything in it is the step's own.
flat() {
    if ex "$1" && { [ ! -d "$1" ] || [ -L "$1" ]; }; then return 1; fi
    local all=("$1"/*)
    [ "${#all[@]}" -eq "$2" ]
}
# need_dirs DIR...: the folders exist (mkdir only for missing ones)
need_dirs() {
    local e
    for e in "$@"; do if [ ! -d "$e" ]; then mkdir -p "$@" 2>> "$log"; return; fi; done
}
# moves TARGET_DIR PATH...: mv in slices
moves() {
    local to="$1" i=0; shift
    local all=("$@")
    while [ "$i" -lt "${#all[@]}" ]; do
        mv -f "${all[@]:i:200}" "$to/" 2>> "$log" || return 1
        i=$((i + 200))
    done
}
# Folders that go whole wait here, to move with their siblings in one mv each
# way: the installed ones into the backup, then the staged ones into place.
queued_parent=""
queued_old=()
queued_new=()
flush() {
    [ -n "$queued_parent" ] || return 0
    local p="$queued_parent"
    queued_parent=""
    if [ ${#queued_old[@]} -gt 0 ]; then moves "$bk/$p" "${queued_old[@]}" || return 1; fi
    moves "$app/$p" "${queued_new[@]}" || return 1
    queued_old=()
    queued_new=()
}
# put DIR NAME...: the installed files to the backup, the staged ones into place (undo: back again)
put() {
    local d="$1" n k=0 parent=. old=() new=(); shift
    if [ "$mode" = undo ]; then
        mkdir -p "$stage/$d"
        for n in "$@"; do
            if ex "$bk/$d/$n"; then
                if ex "$app/$d/$n" && ! ex "$stage/$d/$n"; then mv -f "$app/$d/$n" "$stage/$d/$n"; fi
                mv -f "$bk/$d/$n" "$app/$d/$n"
            elif ! ex "$stage/$d/$n" && ex "$app/$d/$n"; then
                mv -f "$app/$d/$n" "$stage/$d/$n"
            fi
        done
        return 0
    fi
    point
    for n in "$@"; do
        if [ -e "$app/$d/$n" ] || [ -L "$app/$d/$n" ]; then old+=("$app/$d/$n"); fi
    done
    if [ "$d" != . ] && ! ex "$bk/$d" && flat "$stage/$d" "$#" && flat "$app/$d" "${#old[@]}"; then
        case "$d" in */*) parent="${d%/*}" ;; esac
        if [ "$queued_parent" != "$parent" ]; then
            flush || return 1
            need_dirs "$bk/$parent" "$app/$parent" || return 1
            touched+=("$bk/$parent" "$app/$parent")
            queued_parent="$parent"
        fi
        if ex "$app/$d"; then queued_old+=("$app/$d"); fi
        queued_new+=("$stage/$d")
        return 0
    fi
    flush || return 1
    need_dirs "$bk/$d" "$app/$d" || return 1
    touched+=("$bk/$d" "$app/$d")
    moves "$bk/$d" "${old[@]}" || return 1
    for n in "$@"; do new+=("$stage/$d/$n"); done
    moves "$app/$d" "${new[@]}"
}
# off DIR NAME...: installed files the new version no longer has, to the backup (undo: back again)
off() {
    local d="$1" n parent=. old=(); shift
    if [ "$mode" = undo ]; then
        if ex "$bk/$d"; then mkdir -p "$app/$d"; fi
        for n in "$@"; do if ex "$bk/$d/$n"; then mv -f "$bk/$d/$n" "$app/$d/$n"; fi; done
        return 0
    fi
    point
    flush || return 1
    for n in "$@"; do if ex "$app/$d/$n"; then old+=("$app/$d/$n"); fi; done
    [ ${#old[@]} -eq 0 ] && return 0
    if [ "$d" != . ] && ! ex "$bk/$d" && flat "$app/$d" "${#old[@]}"; then
        case "$d" in */*) parent="${d%/*}" ;; esac
        need_dirs "$bk/$parent" || return 1
        touched+=("$bk/$parent" "$app/$parent")
        mv -f "$app/$d" "$bk/$d" 2>> "$log"
        return
    fi
    need_dirs "$bk/$d" || return 1
    touched+=("$bk/$d" "$app/$d")
    moves "$bk/$d" "${old[@]}"
})SH";

// The top-level files that carry the version: they move last.
std::vector<std::string> version_files(const ScriptInputs& in, bool windows) {
    const std::string app_dir = script_dir(in.app_dir);
    auto base = windows ? win_base : base_name;
    std::vector<std::string> out{"build.json"};
    if (in.manifest_name) {
        out.push_back(*in.manifest_name);
        out.push_back(statement_name(*in.manifest_name));
    }
    for (const std::string& exe : {in.exe_path, target_exe(in, windows)})
        if (dir_name(exe) == app_dir || (dir_name(exe).empty() && app_dir == ".")) out.push_back(base(exe));
    return out;
}

std::string rel_of_step(const SwapStep& step, const std::string& name) {
    return step.dir == "." ? name : step.dir + "/" + name;
}

}  // namespace

SwapPlan script_plan(const ScriptInputs& in) {
#ifdef _WIN32
    const bool windows = true;
#else
    const bool windows = false;
#endif
    std::vector<std::string> to_delete;
    for (const std::string& rel : in.to_delete)
        if (is_safe_relative_path(rel)) to_delete.push_back(rel);
    // The old executable goes once the new one has another name; through the
    // backup, so that a failed start can bring it back.
    const std::string app_dir = script_dir(in.app_dir);
    if (exe_name_changes(in, windows) && (dir_name(in.exe_path) == app_dir ||
                                          (dir_name(in.exe_path).empty() && app_dir == ".")))
        to_delete.push_back(windows ? win_base(in.exe_path) : base_name(in.exe_path));
    SwapPlan plan = make_swap_plan(in.temp_dir, to_delete, version_files(in, windows));
    plan.new_version = in.new_version;
    plan.remote_hash = in.remote_hash;
    return plan;
}

std::vector<std::string> bash_script_lines(const ScriptInputs& in, const SwapPlan& plan) {
    const std::string app_dir = script_dir(in.app_dir);
    std::vector<std::string> l;
    l.push_back("#!/bin/bash");
    l.push_back("while pgrep -f \"" + bash_dq_escape(ere_literal(in.exe_path)) +
                "\" > /dev/null 2>&1; do sleep 1; done");
    l.push_back("app=" + q(app_dir));
    l.push_back("stage=" + q(in.temp_dir));
    l.push_back("log=" + q(join_path(app_dir, "update_crash.log")));
    l.push_back("old_exe=" + q(in.exe_path));
    l.push_back("new_exe=" + q(target_exe(in, false)));
    l.push_back("version=" + q(in.new_version));
    l.push_back("hash=" + q(in.remote_hash));
    l.push_back("confirm_seconds=" + std::to_string(in.confirm_seconds));
    l.push_back(std::string("u=\"$app/") + kUpdateFolder + "\"");
    for (const char* line : {
             "swap=\"$u/swap\"",
             "bk=\"$swap/backup\"",
             "ex() { [ -e \"$1\" ] || [ -L \"$1\" ]; }",
             "note() { printf '%s\\n' \"$1\" >> \"$swap/journal\" && { sync \"$swap/journal\" 2> /dev/null || sync; }; }",
             "say() { { printf '===== %s =====\\n' \"$(date '+%Y-%m-%d %H:%M:%S')\"; printf '%s\\n' \"$1\"; } >> \"$log\" 2> /dev/null; }",
             "# Tests stop the script at numbered points (each step, the end of the renames, the start) to kill it there.",
             "point() { point_no=$((point_no + 1)); case \" ${TARVIK_UPDATE_TEST_STOP:-} \" in *\" $point_no \"*) kill -STOP $$ ;; esac; }",
         })
        l.push_back(line);
    for (const std::string& line : split_lines(kMoveFunctions)) l.push_back(line);
    l.push_back("plan() {");
    for (const SwapStep& step : plan.steps) {
        std::string line = std::string("    ") + (step.staged ? "put " : "off ") + q(step.dir);
        for (const std::string& name : step.names) {
            line += ' ';
            line += q(name);
        }
        l.push_back(line + " || return 1");
    }
    l.push_back("    flush");
    l.push_back("}");
    for (const char* line : {
             "# fail REASON: everything back, the old version started, the reason logged",
             "fail() {",
             "    mode=undo",
             "    queued_parent=\"\"",
             "    plan",
             "    note \"rolled back\"",
             "    local text=\"[Update] update to $version aborted: $1; the previous version was restored.\"",
             "    say \"$text\" || { rm -rf \"$stage\"; say \"$text\"; }",
             "    if [ -n \"$hash\" ]; then printf '%s\\n' \"$hash\" >> \"$u/rejected\" 2> /dev/null; fi",
             "    if [ -z \"$(find \"$bk\" ! -type d -print 2> /dev/null | head -n 1)\" ]; then rm -rf \"$swap\" \"$stage\"; fi",
             "    nohup \"$old_exe\" > /dev/null 2>&1 &",
             "    rm -f \"$u/lock\"",
             "    rmdir \"$u\" 2> /dev/null",
             "    rm -- \"$0\"",
             "    exit 1",
             "}",
             "mode=move",
             "note swapping || fail \"the update journal could not be written\"",
             "plan || fail \"a file could not be moved into place\"",
             "point",
             "sync \"${touched[@]}\" \"$app\" 2> /dev/null || sync",
             "note swapped",
             "point",
             "nohup \"$new_exe\" > /dev/null 2>&1 &",
             "pid=$!",
             "problem=\"\"",
             "end=$((SECONDS + confirm_seconds))",
             "while [ ! -e \"$swap/confirmed\" ]; do",
             "    if [ -z \"$(jobs -rp)\" ]; then",
             "        wait \"$pid\"",
             "        status=$?",
             "        if [ ! -e \"$swap/confirmed\" ] && [ \"$status\" -ne 0 ]; then",
             "            problem=\"version $version exited with status $status before it confirmed its start\"",
             "        fi",
             "        break",
             "    fi",
             "    if [ \"$SECONDS\" -ge \"$end\" ]; then",
             "        kill \"$pid\" 2> /dev/null; sleep 1; kill -9 \"$pid\" 2> /dev/null",
             "        problem=\"version $version did not confirm its start within $confirm_seconds seconds\"",
             "        break",
             "    fi",
             "    sleep 0.2",
             "done",
             "if [ -n \"$problem\" ]; then fail \"$problem\"; fi",
             "note done",
             "rm -rf \"$swap\" \"$stage\"",
             "rm -f \"$u/lock\"",
             "rmdir \"$u\" 2> /dev/null",
             "rm -- \"$0\"",
         })
        l.push_back(line);
    return l;
}

namespace {

// Text that may stand unquoted in a batch line: a version made of letters,
// digits and ".-_+" (anything else would be read by cmd), else "(unnamed)".
std::string batch_word(const std::string& text) {
    if (text.empty()) return "(unnamed)";
    for (unsigned char c : text)
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != '+') return "(unnamed)";
    return text;
}

}  // namespace

std::vector<std::string> batch_script_lines(const ScriptInputs& in, const SwapPlan& plan, long pid) {
    const std::string app_dir = script_dir(in.app_dir);
    const std::string p = std::to_string(pid);
    const std::string target = target_exe(in, true);
    const std::string version = batch_word(in.new_version);
    // Every path is written out, quoted with its % doubled: no variable holds
    // a path (a folder named "100%TEMP%" stays itself). Each step is checked
    // by what exists afterwards, not by "||" or the error level (which some
    // cmd implementations leave set after a command that succeeded).
    const std::string u = win_join(app_dir, kUpdateFolder);
    const std::string swap = win_join(u, "swap"), bk = win_join(swap, "backup");
    const std::string log = bq(win_join(app_dir, "update_crash.log"));
    const std::string journal = bq(win_join(swap, "journal"));
    auto in_app = [&](const std::string& rel) { return bq(rel.empty() ? app_dir : win_join(app_dir, rel)); };
    auto in_bk = [&](const std::string& rel) { return bq(rel.empty() ? bk : win_join(bk, rel)); };
    auto in_stage = [&](const std::string& rel) { return bq(win_join(in.temp_dir, rel)); };
    auto folder = [](const SwapStep& step) { return step.dir == "." ? std::string() : step.dir; };
    auto dir_of = [](const std::string& quoted) { return quoted.substr(0, quoted.size() - 1) + "\\\""; };

    std::vector<std::string> l;
    l.push_back("@echo off");
    l.push_back("chcp 65001 >NUL");
    l.push_back(":wait");
    l.push_back("tasklist /FI \"PID eq " + p + "\" /NH 2>NUL | find \" " + p + " \" >NUL");
    l.push_back("if not errorlevel 1 (");
    l.push_back("    ping -n 2 127.0.0.1 >NUL");
    l.push_back("    goto wait");
    l.push_back(")");
    l.push_back("set \"reason=the update journal could not be written\"");
    l.push_back(">>" + journal + " echo swapping");
    l.push_back("find \"swapping\" " + journal + " >NUL 2>NUL");
    l.push_back("if errorlevel 1 goto undo");
    l.push_back("set \"reason=a file could not be moved into place\"");
    for (const SwapStep& step : plan.steps) {
        const std::string dir = folder(step);
        for (const std::string& d : step.staged ? std::vector<std::string>{in_bk(dir), in_app(dir)}
                                                : std::vector<std::string>{in_bk(dir)}) {
            l.push_back("if not exist " + dir_of(d) + " mkdir " + d + " 2>>" + log);
            l.push_back("if not exist " + dir_of(d) + " goto undo");
        }
        for (const std::string& name : step.names) {
            const std::string r = rel_of_step(step, name);
            l.push_back("if exist " + in_app(r) + " move /Y " + in_app(r) + " " + in_bk(r) + " >NUL 2>>" + log);
            l.push_back("if exist " + in_app(r) + " goto undo");
            if (!step.staged) continue;
            l.push_back("move /Y " + in_stage(r) + " " + in_app(r) + " >NUL 2>>" + log);
            l.push_back("if not exist " + in_app(r) + " goto undo");
        }
    }
    l.push_back(">>" + journal + " echo swapped");
    l.push_back("start \"\" " + bq(target));
    // Polled about once a second; the process list is only asked after a few
    // seconds, so that a slow start is not taken for an early end.
    l.push_back("set /a waited=0");
    l.push_back(":confirm");
    l.push_back("ping -n 2 127.0.0.1 >NUL");
    l.push_back("set /a waited+=1");
    l.push_back("if exist " + bq(win_join(swap, "confirmed")) + " goto done");
    l.push_back("if %waited% GEQ " + std::to_string(in.confirm_seconds) + " goto late");
    l.push_back("if %waited% LSS 5 goto confirm");
    l.push_back("tasklist /FI \"IMAGENAME eq " + win_base(target) + "\" /NH 2>NUL | find /I \"" + win_base(target) +
                "\" >NUL");
    l.push_back("if errorlevel 1 goto ended");
    l.push_back("goto confirm");
    l.push_back(":late");
    l.push_back("taskkill /F /IM \"" + win_base(target) + "\" >NUL 2>NUL");
    l.push_back("set \"reason=version " + version + " did not confirm its start within " +
                std::to_string(in.confirm_seconds) + " seconds\"");
    l.push_back("goto undo");
    l.push_back(":ended");
    l.push_back("if exist " + bq(win_join(swap, "confirmed")) + " goto done");
    l.push_back("set \"reason=version " + version + " ended before it confirmed its start\"");
    l.push_back("goto undo");
    l.push_back(":done");
    l.push_back(">>" + journal + " echo done");
    l.push_back("rmdir /S /Q " + bq(swap));
    l.push_back("rmdir /S /Q " + bq(in.temp_dir));
    l.push_back("del /F /Q " + bq(win_join(u, "lock")) + " 2>NUL");
    l.push_back("rmdir " + bq(u) + " 2>NUL");
    l.push_back("(goto) 2>NUL & del \"%~f0\"");
    // Where that idiom does not end the script, nothing below may run.
    l.push_back("exit /b 0");
    l.push_back(":undo");
    for (auto step = plan.steps.rbegin(); step != plan.steps.rend(); ++step) {
        for (const std::string& name : step->names) {
            const std::string r = rel_of_step(*step, name);
            const std::string a = in_app(r), b = in_bk(r), st = in_stage(r);
            if (!step->staged) {
                l.push_back("if exist " + b + " move /Y " + b + " " + a + " >NUL");
                continue;
            }
            l.push_back("if exist " + b + " (");
            l.push_back("    if exist " + a + " if not exist " + st + " move /Y " + a + " " + st + " >NUL");
            l.push_back("    move /Y " + b + " " + a + " >NUL");
            l.push_back(") else if not exist " + st + " if exist " + a + " move /Y " + a + " " + st + " >NUL");
        }
    }
    l.push_back(">>" + journal + " echo rolled back");
    l.push_back(">>" + log + " echo [Update] update to " + version +
                " aborted: %reason%; the previous version was restored.");
    if (!in.remote_hash.empty()) l.push_back(">>" + bq(win_join(u, "rejected")) + " echo " + batch_word(in.remote_hash));
    // The plan, the journal and the backup stay: the old version's next
    // check completes the roll-back where a move above failed, then removes them.
    l.push_back("start \"\" " + bq(in.exe_path));
    l.push_back("del /F /Q " + bq(win_join(u, "lock")) + " 2>NUL");
    l.push_back("(goto) 2>NUL & del \"%~f0\"");
    return l;
}

namespace {

// Writes the plan first: from then on the next start can undo whatever the
// script gets done.
std::string write_script(const ScriptInputs& in, const char* name, const std::vector<std::string>& lines,
                         const char* eol) {
    std::string path = join_path(in.app_dir, name);
    write_file(path_from_utf8(path), join_lines(lines, eol));
    return path;
}

}  // namespace

std::string write_bash_script(const ScriptInputs& in) {
    SwapPlan plan = script_plan(in);
    write_swap_plan(UpdatePaths(in.app_dir), plan);
    std::string path = write_script(in, "update.sh", bash_script_lines(in, plan), "\n");
    namespace fs = std::filesystem;
    fs::permissions(path_from_utf8(path),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::replace);
    return path;
}

std::string write_batch_script(const ScriptInputs& in, long pid) {
    SwapPlan plan = script_plan(in);
    write_swap_plan(UpdatePaths(in.app_dir), plan);
    return write_script(in, "update.bat", batch_script_lines(in, plan, pid), "\r\n");
}

std::string write_update_script(const ScriptInputs& in) {
#ifdef _WIN32
    return write_batch_script(in, static_cast<long>(_getpid()));
#else
    return write_bash_script(in);
#endif
}

}  // namespace tarvik::update
