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


class TestScriptText:
    def test_exact_lines_for_ordinary_paths(self, exe):
        app = str(exe.parent)
        path = au._generate_update_script(app, "/tmp/tarvik_update_ab12", ["lib/old.so", "a b.txt"],
                                          "manifest--Shop-linux-x64.json", str(exe))
        assert path == f"{app}/update.sh"
        assert Path(path).read_text() == "\n".join([
            "#!/bin/bash",
            f'while pgrep -f "{app}/Shop" > /dev/null 2>&1; do sleep 1; done',
            f'if ! cp -rf "/tmp/tarvik_update_ab12"/. "{app}"/ 2>> "{app}/update_crash.log"; then',
            f'    echo "[Update] cp failed, update aborted." >> "{app}/update_crash.log"',
            "    exit 1",
            "fi",
            f'cp -f "/tmp/tarvik_update_ab12/manifest--Shop-linux-x64.json" '
            f'"{app}/manifest--Shop-linux-x64.json" 2>/dev/null',
            'rm -rf "/tmp/tarvik_update_ab12"',
            f'rm -f "{app}/lib/old.so"',
            f'rm -f "{app}/a b.txt"',
            f'nohup "{app}/Shop" > /dev/null 2>&1 &',
            'rm -- "$0"',
        ])
        assert stat.S_IMODE(os.stat(path).st_mode) == 0o755

    def test_renamed_executable_is_started_and_the_old_one_removed(self, exe):
        app = str(exe.parent)
        text = Path(au._generate_update_script(app, "/t", [], None, f"{app}/Shop2")).read_text()
        lines = text.split("\n")
        assert lines[-4:] == [f'nohup "{app}/Shop2" > /dev/null 2>&1 &', "sleep 3",
                              f'rm -f "{app}/Shop" 2>/dev/null', 'rm -- "$0"']
        assert not any(l.startswith("cp -f ") for l in lines)  # no manifest name given

    @pytest.mark.parametrize("new_exe", [None, "Shop2", "relative/Shop2", "/elsewhere/SHOP"])
    def test_relative_or_same_named_executable_means_no_removal(self, exe, new_exe):
        text = Path(au._generate_update_script(str(exe.parent), "/t", [], "m.json", new_exe)).read_text()
        target = new_exe if new_exe == "/elsewhere/SHOP" else str(exe)
        assert f'nohup "{target}" > /dev/null 2>&1 &' in text
        assert "sleep 3" not in text

    def test_special_characters_are_escaped_and_the_pattern_is_literal(self, tmp_path, monkeypatch):
        app = tmp_path / 'we"ird $HOME `x` a\\b'
        app.mkdir()
        exe = str(app / "my.app+1")
        monkeypatch.setattr(sys, "executable", exe)
        lines = Path(au._generate_update_script(str(app), "/t", ["lib/$x.so"], None, None)).read_text().split("\n")
        wait = lines[1].removeprefix("while pgrep -f ").removesuffix(" > /dev/null 2>&1; do sleep 1; done")
        pattern = bash_word(wait)
        assert re.fullmatch(pattern, exe) and not re.fullmatch(pattern, exe.replace(".", "X"))
        assert bash_word(lines[-3].removeprefix("rm -f ")) == str(app / "lib" / "$x.so")
        assert bash_word(lines[-2].removeprefix("nohup ").removesuffix(" > /dev/null 2>&1 &")) == exe

    def test_executable_without_a_folder_means_the_working_folder_not_the_root(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(sys, "executable", "Shop")
        assert au._app_dir() == ""
        path = au._generate_update_script(au._app_dir(), "/tmp/tarvik_update_ab12", ["lib/old.so"], "m.json")
        assert Path(path).resolve() == tmp_path / "update.sh"
        assert Path(path).read_text().split("\n")[2:9] == [
            'if ! cp -rf "/tmp/tarvik_update_ab12"/. "."/ 2>> "./update_crash.log"; then',
            '    echo "[Update] cp failed, update aborted." >> "./update_crash.log"',
            "    exit 1",
            "fi",
            'cp -f "/tmp/tarvik_update_ab12/m.json" "./m.json" 2>/dev/null',
            'rm -rf "/tmp/tarvik_update_ab12"',
            'rm -f "./lib/old.so"']
        bat = Path(au._generate_update_bat("", r"C:\Temp\tarvik_update_x", [], None, None, 7)).read_text()
        assert ' "." /E /H /Y /I /Q >NUL 2>> ".\\update_crash.log"' in bat

    def test_unsafe_delete_paths_are_left_out(self, exe):
        text = Path(au._generate_update_script(str(exe.parent), "/t", ["../x", "/etc/passwd", "ok.txt"])).read_text()
        assert [l for l in text.split("\n") if l.startswith("rm -f ")] == [f'rm -f "{exe.parent}/ok.txt"']


class TestBatchScript:
    def test_same_steps_in_the_same_order(self, tmp_path, monkeypatch):
        monkeypatch.setattr(sys, "executable", r"C:\Apps\Shop 100%\launcher.exe")
        path = au._generate_update_bat(str(tmp_path), r"C:\Temp\tarvik_update_x", ["lib/old.dll"],
                                       "manifest--Shop-windows-x64.json", r"C:\Apps\Shop 100%\Shop.exe", pid=4242)
        assert path == f"{tmp_path}/update.bat"
        raw = Path(path).read_bytes()
        assert b"\r\n" in raw and not raw.endswith(b"\r\n")
        lines = raw.decode().split("\r\n")
        app = r"C:\Apps\Shop 100%%"
        assert lines == [
            "@echo off",
            "chcp 65001 >NUL",
            ":wait",
            'tasklist /FI "PID eq 4242" /NH 2>NUL | find " 4242 " >NUL',
            "if not errorlevel 1 (",
            "    ping -n 2 127.0.0.1 >NUL",
            "    goto wait",
            ")",
            f'xcopy "C:\\Temp\\tarvik_update_x\\*" "{tmp_path}" /E /H /Y /I /Q >NUL 2>> "{tmp_path}\\update_crash.log"',
            "if errorlevel 2 (",
            f'    echo [Update] cp failed, update aborted.>> "{tmp_path}\\update_crash.log"',
            "    exit /b 1",
            ")",
            'copy /Y "C:\\Temp\\tarvik_update_x\\manifest--Shop-windows-x64.json" '
            f'"{tmp_path}\\manifest--Shop-windows-x64.json" >NUL 2>NUL',
            'rmdir /S /Q "C:\\Temp\\tarvik_update_x"',
            f'del /F /Q "{tmp_path}\\lib\\old.dll" 2>NUL',
            f'start "" "{app}\\Shop.exe"',
            "ping -n 4 127.0.0.1 >NUL",
            f'del /F /Q "{app}\\launcher.exe" 2>NUL',
            '(goto) 2>NUL & del "%~f0"',
        ]

    def test_same_executable_is_not_removed(self, tmp_path, monkeypatch):
        monkeypatch.setattr(sys, "executable", r"C:\Apps\Shop.exe")
        text = Path(au._generate_update_bat(str(tmp_path), r"C:\T", [], None, r"c:\apps\SHOP.EXE", pid=1)).read_text()
        assert 'start "" "c:\\apps\\SHOP.EXE"' in text and "ping -n 4" not in text and "copy /Y" not in text


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

    def test_failing_copy_writes_the_crash_log_and_stops(self, exe, tmp_path):
        # "lib" is a file in the installation but a folder in the staged tree
        app, temp = self.setup_update(exe, tmp_path, staged={"lib/a.so": b"new"},
                                      installed={"lib": b"a file", "old.txt": b"old"})
        script = au._generate_update_script(str(app), str(temp), ["old.txt"], None, None)
        r = run_script(script)
        assert r.returncode == 1
        log = (app / "update_crash.log").read_text()
        assert "cp:" in log and log.rstrip().endswith("[Update] cp failed, update aborted.")
        assert (app / "old.txt").exists() and temp.exists() and Path(script).exists()
        assert not (app / "started.txt").exists()

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
