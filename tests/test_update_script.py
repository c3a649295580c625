"""The update script: its exact lines, and what it does when bash runs it."""
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from tarvik_cmd import auto_update as au
from update_fixtures import EXE_SCRIPT, RunningApp, tree, wait_for, write_tree


@pytest.fixture
def exe(tmp_path, monkeypatch):
    """The running executable is <tmp>/app/Shop."""
    app = tmp_path / "app"
    app.mkdir()
    path = app / "Shop"
    path.write_text(EXE_SCRIPT)
    path.chmod(0o755)
    monkeypatch.setattr(sys, "executable", str(path))
    return path


def bash_word(quoted):
    """What bash makes of one double-quoted word of the script."""
    return subprocess.run(["bash", "-c", f"printf %s {quoted}"], capture_output=True, text=True, check=True).stdout


def plan_lines(lines):
    return [l for l in lines if l.startswith(("    put ", "    off "))]


class TestScriptText:
    def test_lines_for_ordinary_paths(self, exe):
        app = str(exe.parent)
        path = au._generate_update_script(app, "/tmp/tarvik_update_ab12", ["lib/old.so", "a b.txt"],
                                          "manifest--Shop-linux-x64.json", str(exe))
        assert path == f"{app}/update.sh"
        lines = Path(path).read_text().split("\n")
        assert lines[:2] == ["#!/bin/bash", f'while pgrep -f "{app}/Shop" > /dev/null 2>&1; do sleep 1; done']
        assert {f'app="{app}"', 'stage="/tmp/tarvik_update_ab12"', f'log="{app}/update_crash.log"',
                f'old_exe="{app}/Shop"', f'new_exe="{app}/Shop"'} <= set(lines)
        # deleted files move to the backup by rename; nothing is copied over the installation
        assert plan_lines(lines) == ['    off "." "a b.txt" || return 1', '    off "lib" "old.so" || return 1']
        assert not any("cp -rf" in l for l in lines)
        assert lines[-1] == 'rm -- "$0"'
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o755
        # the plan for the next start's recovery is written beside it
        plan = (exe.parent / ".tarvik_update" / "swap" / "plan").read_text().split("\n")
        assert plan[:2] == ["tarvik-swap 1", "stage\t/tmp/tarvik_update_ab12"]
        assert "out\t.\ta b.txt" in plan and "out\tlib\told.so" in plan and plan[-2:] == ["end", ""]

    def test_renamed_executable_is_started_and_the_old_one_moved_out_last(self, exe, tmp_path):
        app = str(exe.parent)
        stage = tmp_path / "stage"
        write_tree(stage, {"Shop2": b"x", "lib/a.so": b"a", "build.json": b"{}"})
        lines = Path(au._generate_update_script(app, str(stage), [], None, f"{app}/Shop2")).read_text().split("\n")
        assert f'new_exe="{app}/Shop2"' in lines and f'old_exe="{app}/Shop"' in lines
        # the files that carry the version move last
        assert plan_lines(lines) == ['    put "lib" "a.so" || return 1', '    off "." "Shop" || return 1',
                                     '    put "." "build.json" "Shop2" || return 1']
        assert "sleep 3" not in lines

    @pytest.mark.parametrize("new_exe", [None, "Shop2", "relative/Shop2", "/elsewhere/SHOP"])
    def test_relative_or_same_named_executable_means_no_removal(self, exe, new_exe):
        lines = Path(au._generate_update_script(str(exe.parent), "/t", [], "m.json", new_exe)).read_text().split("\n")
        target = new_exe if new_exe == "/elsewhere/SHOP" else str(exe)
        assert f'new_exe="{target}"' in lines
        assert plan_lines(lines) == []

    def test_special_characters_are_escaped_and_the_pattern_is_literal(self, tmp_path, monkeypatch):
        app = tmp_path / 'we"ird $HOME `x` a\\b'
        app.mkdir()
        exe = str(app / "my.app+1")
        monkeypatch.setattr(sys, "executable", exe)
        lines = Path(au._generate_update_script(str(app), "/t", ["lib/$x.so"], None, None)).read_text().split("\n")
        wait = lines[1].removeprefix("while pgrep -f ").removesuffix(" > /dev/null 2>&1; do sleep 1; done")
        pattern = bash_word(wait)
        assert re.fullmatch(pattern, exe) and not re.fullmatch(pattern, exe.replace(".", "X"))
        (off,) = plan_lines(lines)
        assert bash_word(off.removeprefix('    off "lib" ').removesuffix(" || return 1")) == "$x.so"
        (new_exe,) = [l for l in lines if l.startswith("new_exe=")]
        assert bash_word(new_exe.removeprefix("new_exe=")) == exe
        (app_line,) = [l for l in lines if l.startswith("app=")]
        assert bash_word(app_line.removeprefix("app=")) == str(app)

    def test_executable_without_a_folder_means_the_working_folder_not_the_root(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(sys, "executable", "Shop")
        assert au._app_dir() == ""
        path = au._generate_update_script(au._app_dir(), "/tmp/tarvik_update_ab12", ["lib/old.so"], "m.json")
        assert Path(path).resolve() == tmp_path / "update.sh"
        lines = Path(path).read_text().split("\n")
        assert {'app="."', 'log="./update_crash.log"'} <= set(lines)
        assert plan_lines(lines) == ['    off "lib" "old.so" || return 1']
        assert (tmp_path / ".tarvik_update" / "swap" / "plan").exists()
        bat = Path(au._generate_update_bat("", r"C:\Temp\tarvik_update_x", [], None, None, 7)).read_text()
        assert '>>".\\update_crash.log" echo [Update] update to (unnamed) aborted' in bat and '>>".\\.tarvik_update\\swap\\journal" echo swapping' in bat

    def test_unsafe_delete_paths_are_left_out(self, exe):
        text = Path(au._generate_update_script(str(exe.parent), "/t", ["../x", "/etc/passwd", "ok.txt"])).read_text()
        assert plan_lines(text.split("\n")) == ['    off "." "ok.txt" || return 1']


class TestBatchScript:
    def test_same_steps_in_the_same_order(self, tmp_path, monkeypatch):
        monkeypatch.setattr(sys, "executable", r"C:\Apps\Shop 100%\launcher.exe")
        path = au._generate_update_bat(str(tmp_path), r"C:\Temp\tarvik_update_x", ["lib/old.dll"],
                                       "manifest--Shop-windows-x64.json", r"C:\Apps\Shop 100%\Shop.exe", pid=4242)
        assert path == f"{tmp_path}/update.bat"
        raw = Path(path).read_bytes()
        assert b"\r\n" in raw and not raw.endswith(b"\r\n")
        lines = raw.decode().split("\r\n")
        assert lines[:8] == [
            "@echo off",
            "chcp 65001 >NUL",
            ":wait",
            'tasklist /FI "PID eq 4242" /NH 2>NUL | find " 4242 " >NUL',
            "if not errorlevel 1 (",
            "    ping -n 2 127.0.0.1 >NUL",
            "    goto wait",
            ")",
        ]
        # every path written out with its % doubled (cmd would expand a path
        # held in a variable again), every step followed by its error test
        bk = f"{tmp_path}\\.tarvik_update\\swap\\backup"
        move = (f'if exist "{tmp_path}\\lib\\old.dll" move /Y "{tmp_path}\\lib\\old.dll" "{bk}\\lib\\old.dll" '
                f'>NUL 2>>"{tmp_path}\\update_crash.log"')
        assert lines[lines.index(move) + 1] == f'if exist "{tmp_path}\\lib\\old.dll" goto undo'
        assert not any("||" in l for l in lines)
        assert not any(l.startswith('set "') and "\\" in l for l in lines)
        undo = lines[lines.index(":undo"):]
        assert f'if exist "{bk}\\lib\\old.dll" move /Y "{bk}\\lib\\old.dll" "{tmp_path}\\lib\\old.dll" >NUL' in undo
        assert 'start "" "C:\\Apps\\Shop 100%%\\Shop.exe"' in lines
        assert 'start "" "C:\\Apps\\Shop 100%%\\launcher.exe"' in undo
        assert not any(l.startswith("xcopy") for l in lines)
        assert lines[-1] == '(goto) 2>NUL & del "%~f0"'

    def test_same_executable_is_not_removed(self, tmp_path, monkeypatch):
        monkeypatch.setattr(sys, "executable", r"C:\Apps\Shop.exe")
        text = Path(au._generate_update_bat(str(tmp_path), r"C:\T", [], None, r"c:\apps\SHOP.EXE", pid=1)).read_text()
        assert 'start "" "c:\\apps\\SHOP.EXE"' in text and "move /Y" not in text


def run_script(path):
    return subprocess.run(["bash", path], capture_output=True, text=True, timeout=60)


class TestScriptRun:
    def setup_update(self, exe, tmp_path, staged, installed):
        app = exe.parent
        write_tree(app, installed)
        temp = tmp_path / "tarvik_update_test"
        write_tree(temp, staged)
        return app, temp

    def test_waits_copies_deletes_restarts_and_removes_itself(self, exe, tmp_path):
        app, temp = self.setup_update(
            exe, tmp_path,
            staged={"lib/a.so": b"new a", "new.txt": b"new", ".hidden": b"h", "m.json": b"{}"},
            installed={"lib/a.so": b"old a", "lib/old.so": b"old", "keep.txt": b"keep", "logs/x.log": b"x"})
        script = au._generate_update_script(str(app), str(temp), ["lib/old.so"], "m.json", str(exe))
        running = RunningApp(str(exe))
        try:
            child = subprocess.Popen(["bash", script])
            wait_for(lambda: subprocess.run(["pgrep", "-f", "-P", str(child.pid), "sleep"],
                                            capture_output=True).returncode == 0, "the script's wait loop")
            # while the application runs nothing has been touched
            assert (app / "lib" / "a.so").read_bytes() == b"old a" and temp.exists()
        finally:
            running.stop()
        assert child.wait(timeout=30) == 0
        wait_for(lambda: (app / "started.txt").exists(), "the restarted executable")
        assert (app / "update_crash.log").read_bytes() == b""  # cp's error stream, empty
        assert tree(app, skip={"Shop", "started.txt", "update_crash.log"}) == {
            "lib/a.so": b"new a", "new.txt": b"new", ".hidden": b"h", "m.json": b"{}",
            "keep.txt": b"keep", "logs/x.log": b"x"}
        assert not temp.exists() and not Path(script).exists()
        assert (app / "started.txt").read_text().strip() == str(exe)

    def test_failing_swap_is_rolled_back_logged_and_the_old_version_restarted(self, exe, tmp_path):
        # "lib" is a file in the installation but a folder in the staged tree
        app, temp = self.setup_update(exe, tmp_path, staged={"lib/a.so": b"new", "b.txt": b"new b"},
                                      installed={"lib": b"a file", "old.txt": b"old", "b.txt": b"old b"})
        before = tree(app)
        script = au._generate_update_script(str(app), str(temp), ["old.txt"], None, None)
        r = run_script(script)
        assert r.returncode == 1
        log = (app / "update_crash.log").read_text()
        assert "mkdir:" in log
        assert log.rstrip().endswith(
            "[Update] update to  aborted: a file could not be moved into place; the previous version was restored.")
        # the installation is the old one again, the deletion undone
        assert tree(app, skip={"update_crash.log", "started.txt"}) == {
            k: v for k, v in before.items() if k != "update.sh"}
        assert not Path(script).exists() and not (app / ".tarvik_update" / "swap").exists()
        wait_for(lambda: (app / "started.txt").exists(), "the restarted old version")

    def test_pattern_does_not_match_lookalike_paths(self, tmp_path, monkeypatch):
        app = tmp_path / "app.v1"
        app.mkdir()
        exe = app / "Shop"
        exe.write_text(EXE_SCRIPT)
        exe.chmod(0o755)
        monkeypatch.setattr(sys, "executable", str(exe))
        temp = tmp_path / "stage"
        write_tree(temp, {"f.txt": b"f"})
        # "app.v1" read as a pattern would match "appXv1"
        lookalike = RunningApp(str(tmp_path / "appXv1" / "Shop"))
        try:
            assert run_script(au._generate_update_script(str(app), str(temp), [], None, None)).returncode == 0
            assert (app / "f.txt").read_bytes() == b"f"
        finally:
            lookalike.stop()

    def test_paths_with_shell_characters_are_handled(self, tmp_path, monkeypatch):
        app = tmp_path / 'a "q" $HOME `id` \\ b'
        app.mkdir()
        exe = app / "Shop"
        exe.write_text(EXE_SCRIPT)
        exe.chmod(0o755)
        monkeypatch.setattr(sys, "executable", str(exe))
        write_tree(app, {"gone $x.txt": b"old"})
        temp = tmp_path / 'st "$(touch pwned)"'
        write_tree(temp, {"f.txt": b"f"})
        assert run_script(au._generate_update_script(str(app), str(temp), ["gone $x.txt"], None, None)).returncode == 0
        assert (app / "f.txt").read_bytes() == b"f" and not (app / "gone $x.txt").exists()
        assert not temp.exists() and not list(tmp_path.rglob("pwned"))
        wait_for(lambda: (app / "started.txt").exists(), "the restarted executable")
