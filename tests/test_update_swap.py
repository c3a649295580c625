"""The update script's journaled swap under faults, on real installations.

Every case ends with the installation byte-identical to the old or to the new
release (user data in dbs/ and logs/ untouched) and a next start that runs:
the script SIGKILLed at evenly spaced points of a swap of thousands of files,
a full file system, files that cannot be replaced, a read-only installation,
a second start while the first script waits, and a new version that fails
before it confirms its start. The update server (where one is needed) listens
on the built-in base URL, 127.0.0.1:8000.
"""
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tarvik_cmd import auto_update as au
from devserver_process import port_is_free
from update_fixtures import (APP, EXE_SCRIPT, MANIFEST, PYTHON, RunningApp, make_install, manifest, publish_version, tree,
                             update_server, wait_for)

EXE = EXE_SCRIPT.encode()
UPDATE_DIR = ".tarvik_update"
USER_DATA = {"dbs/app.db": b"users table", "logs/app.log": b"started once\n"}
RUNTIME = {"started.txt", "update_crash.log"}
ROOT = os.geteuid() == 0


def installed_tree(install):
    """The installation as a release sees it: no update folder, no run-time notes."""
    return {rel: data for rel, data in tree(install, skip=RUNTIME).items() if not rel.startswith(UPDATE_DIR + "/")}


def release(version, dirs, per_dir):
    """Files of a release: every file changes between versions, some come and go."""
    files = {}
    for d in range(dirs):
        for f in range(per_dir):
            files[f"pkg{d}/mod{f}.py"] = f"# {version} {d} {f}\n".encode()
        files[f"pkg{d}/only-{version}.txt"] = version.encode()
    files["build.json"] = json.dumps({"COMMUNITY_KEY": ""}).encode()
    return files


class Swap:
    """An installation of version 1.0 with its staged 2.0 and the update script."""

    def __init__(self, root, monkeypatch, dirs=20, per_dir=100, new_exe=EXE):
        self.install = Path(root) / "install"
        self.old_files = {"Shop": EXE, **release("1.0", dirs, per_dir)}
        self.new_files = {"Shop": new_exe, **release("2.0", dirs, per_dir)}
        self.exe = make_install(self.install, self.old_files)
        monkeypatch.setattr(sys, "executable", self.exe)
        for rel, data in USER_DATA.items():
            (self.install / rel).parent.mkdir(parents=True, exist_ok=True)
            (self.install / rel).write_bytes(data)
        self.stage = self.install / UPDATE_DIR / "tarvik_update_test"
        new_doc = manifest("2.0", self.new_files)
        for rel, data in {**self.new_files, MANIFEST: json.dumps(new_doc, indent=2).encode()}.items():
            p = self.stage / rel
            p.parent.mkdir(parents=True, exist_ok=True)
            p.write_bytes(data)
        (self.stage / "Shop").chmod(0o755)
        self.old = installed_tree(self.install)
        self.new = {**USER_DATA, **self.new_files, MANIFEST: json.dumps(new_doc, indent=2).encode()}
        gone = sorted(set(self.old_files) - set(self.new_files))
        self.script = au._generate_update_script(str(self.install), str(self.stage), gone, MANIFEST, self.exe)

    def points(self):
        """Numbered stop points: each step of the plan, the end of the renames
        (before the sync), then the new version's start."""
        text = Path(self.script).read_text()
        return sum(1 for l in text.split("\n") if l.startswith(("    put ", "    off "))) + 2

    def run(self, stop_at=None, env=None):
        env = {**os.environ, **(env or {})}
        if stop_at is not None:
            env["TARVIK_UPDATE_TEST_STOP"] = str(stop_at)
        return subprocess.Popen(["bash", self.script], cwd=self.install, env=env, start_new_session=True)

    def next_start(self, capsys, version="1.0"):
        """The launcher's next call; no update server answers for these cases."""
        capsys.readouterr()
        result = au.check_update(APP, version)
        return result, capsys.readouterr().out.splitlines()


def stopped(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] == "T"
    except OSError:
        return False


def kill_group(proc):
    os.killpg(proc.pid, signal.SIGKILL)
    proc.wait(timeout=30)


@pytest.fixture
def fast_dir(tmp_path):
    """A tmpfs for the trees of thousands of files when the tests run as root
    (metadata operations on a busy disk cost milliseconds each), else tmp_path."""
    if not ROOT:
        yield tmp_path
        return
    mnt = tmp_path / "fast"
    mnt.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1g", "tmpfs", str(mnt)], check=True)
    try:
        yield mnt
    finally:
        subprocess.run(["umount", "-l", str(mnt)], check=False)


@pytest.fixture
def no_server():
    """Nothing listens on the built-in base URL: the next start finds the
    server unreachable at once and runs the installed version."""
    if not port_is_free(8000):
        pytest.fail("127.0.0.1:8000 is taken: these cases need the update server absent")
    yield


class TestKilledSwap:
    def test_sigkill_at_twenty_points_leaves_one_version_and_the_next_start_repairs(
            self, fast_dir, monkeypatch, capsys, no_server):
        tmp_path = fast_dir
        probe = Swap(tmp_path / "probe", monkeypatch, dirs=20, per_dir=100)
        total = probe.points()
        assert total > 40  # thousands of files in many steps
        points = sorted({1 + round(i * (total - 1) / 19) for i in range(20)})
        assert len(points) == 20
        outcomes = []
        for n, point in enumerate(points):
            case = Swap(tmp_path / f"case{n}", monkeypatch, dirs=20, per_dir=100)
            proc = case.run(stop_at=point)
            wait_for(lambda: stopped(proc.pid) or proc.poll() is not None, f"the script to reach point {point}")
            assert proc.poll() is None, f"the script ended before point {point}"
            kill_group(proc)
            result, out = case.next_start(capsys)
            assert result is False
            now = installed_tree(case.install)
            assert now in (case.old, case.new), f"point {point}: a mix of versions"
            assert {rel: now[rel] for rel in USER_DATA} == USER_DATA
            assert not (case.install / "update.sh").exists()
            assert not (case.install / UPDATE_DIR / "swap").exists()
            outcomes.append("new" if now == case.new else "old")
            if now == case.old:
                assert out[0] == "[Update] Rolled back the interrupted update to "
                # the staged files went back for the next attempt
                assert installed_tree(case.stage) == {k: v for k, v in case.new.items() if k not in USER_DATA}
            else:
                assert out[0] == "[Update] Completed the interrupted update to "
            # a second start finds nothing left to repair
            assert case.next_start(capsys)[1][0].startswith("[Update] Detected platform: ")
        # points before the last move roll back, the point after it completes
        assert outcomes == ["old"] * 19 + ["new"]

    def test_sigkill_at_observed_moves_inside_a_step(self, fast_dir, monkeypatch, capsys, no_server):
        tmp_path = fast_dir
        for n, threshold in enumerate((1, 700, 1500)):
            case = Swap(tmp_path / f"case{n}", monkeypatch, dirs=2, per_dir=1000)
            backup = case.install / UPDATE_DIR / "swap" / "backup"
            proc = case.run()
            while proc.poll() is None:
                moved = sum(len(files) for _, _, files in os.walk(backup))
                if moved >= threshold:
                    break
            if proc.poll() is None:
                kill_group(proc)
            result, _ = case.next_start(capsys)
            assert result is False
            assert installed_tree(case.install) in (case.old, case.new)


class TestFailedSwap:
    def test_full_file_system_during_the_swap(self, tmp_path, monkeypatch, capsys, no_server):
        if not ROOT:
            pytest.skip("a small tmpfs needs root to mount")
        mnt = tmp_path / "small"
        mnt.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32m,nr_inodes=6000", "tmpfs", str(mnt)], check=True)
        try:
            case = Swap(mnt, monkeypatch, dirs=10, per_dir=100)
            proc = case.run(stop_at=3)
            wait_for(lambda: stopped(proc.pid), "the script to stop inside the swap")
            # fill every byte and every inode
            try:
                with open(mnt / "filler", "wb") as f:
                    while True:
                        f.write(b"\0" * 65536)
                        f.flush()
            except OSError:
                pass
            i = 0
            try:
                while True:
                    (mnt / f"inode{i}").touch()
                    i += 1
            except OSError:
                pass
            os.killpg(proc.pid, signal.SIGCONT)
            assert proc.wait(timeout=60) == 1
            assert installed_tree(case.install) == case.old
            log = (case.install / "update_crash.log").read_text()
            assert "[Update] update to  aborted: " in log and "the previous version was restored." in log
            wait_for(lambda: (case.install / "started.txt").exists(), "the old version's restart")
            assert (case.install / "started.txt").read_text().strip() == case.exe
            result, _ = case.next_start(capsys)
            assert result is False and installed_tree(case.install) == case.old
        finally:
            subprocess.run(["umount", "-l", str(mnt)], check=False)

    @pytest.mark.parametrize("locked", ["pkg3/mod7.py", "Shop"])
    def test_a_file_that_cannot_be_replaced_rolls_everything_back(self, tmp_path, monkeypatch, capsys, locked,
                                                                  no_server):
        if not ROOT:
            pytest.skip("marking a file immutable needs root")
        case = Swap(tmp_path, monkeypatch, dirs=5, per_dir=50)
        target = case.install / locked
        subprocess.run(["chattr", "+i", str(target)], check=True)
        try:
            proc = case.run()
            assert proc.wait(timeout=120) == 1
            assert installed_tree(case.install) == case.old
            log = (case.install / "update_crash.log").read_text()
            assert "Operation not permitted" in log
            assert "aborted: a file could not be moved into place; the previous version was restored." in log
            wait_for(lambda: (case.install / "started.txt").exists(), "the old version's restart")
            assert not (case.install / "update.sh").exists() and not (case.install / UPDATE_DIR / "swap").exists()
        finally:
            subprocess.run(["chattr", "-i", str(target)], check=False)
        assert case.next_start(capsys)[0] is False


@pytest.fixture
def site(tmp_path, monkeypatch):
    www = tmp_path / "www"
    www.mkdir()
    srv = update_server(www)
    yield srv, www, tmp_path
    srv.close()


def start(capsys, version="1.0"):
    capsys.readouterr()
    result = au.check_update(APP, version)
    return result, capsys.readouterr().out.splitlines()


class TestHandOverFaults:
    def test_launcher_that_cannot_be_replaced_is_not_tried_again(self, site, monkeypatch, capsys):
        if not ROOT:
            pytest.skip("marking a file immutable needs root")
        srv, www, tmp = site
        install = tmp / "install"
        exe = make_install(install, {"Shop": EXE, "a.txt": b"1", **USER_DATA})
        monkeypatch.setattr(sys, "executable", exe)
        publish_version(www, "2.0", {"Shop": EXE + b"# 2.0\n", "a.txt": b"2"})
        old = installed_tree(install)
        subprocess.run(["chattr", "+i", exe], check=True)
        try:
            assert start(capsys)[0] is True
            wait_for(lambda: not (install / "update.sh").exists(), "the script to give up")
            wait_for(lambda: (install / "started.txt").exists(), "the old version's restart")
            assert installed_tree(install) == old
            # the next start runs the installed version instead of handing over again
            result, out = start(capsys)
            assert result is False
            assert out[-1] == ("[Update] Version 2.0 could not be installed or did not start before "
                               "(see update_crash.log), skipping")
        finally:
            subprocess.run(["chattr", "-i", exe], check=False)

    def test_read_only_installation_starts_the_installed_version(self, site, monkeypatch, capsys):
        if not ROOT:
            pytest.skip("a read-only mount needs root")
        srv, www, tmp = site
        mnt = tmp / "ro"
        mnt.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mnt)], check=True)
        try:
            exe = make_install(mnt, {"Shop": EXE, "a.txt": b"1"})
            monkeypatch.setattr(sys, "executable", exe)
            publish_version(www, "2.0", {"Shop": EXE, "a.txt": b"2"})
            subprocess.run(["mount", "-o", "remount,ro", str(mnt)], check=True)
            result, out = start(capsys)
            assert result is False
            assert [l for l in out if not l.startswith(("[Update] Detected", "[Update] Manifest"))] == [
                "[Update] Installation folder is not writable (Read-only file system), skipping update"]
            assert srv.requests() == []  # nothing fetched for an update that cannot happen
        finally:
            subprocess.run(["umount", "-l", str(mnt)], check=False)

    def test_second_start_while_the_script_waits(self, site, monkeypatch, capsys):
        srv, www, tmp = site
        install = tmp / "install"
        exe = make_install(install, {"Shop": EXE, "a.txt": b"1", **USER_DATA})
        monkeypatch.setattr(sys, "executable", exe)
        doc = publish_version(www, "2.0", {"Shop": EXE, "a.txt": b"2"})
        app = RunningApp(exe)
        try:
            assert start(capsys)[0] is True
            script = (install / "update.sh").read_bytes()
            result, out = start(capsys)
            assert result is False
            assert out[-1] == "[Update] Another update of this installation is in progress, skipping"
            assert (install / "update.sh").read_bytes() == script
            assert (install / "a.txt").read_bytes() == b"1"
        finally:
            app.stop()
        wait_for(lambda: not (install / "update.sh").exists(), "the update script to finish")
        assert installed_tree(install) == {**USER_DATA, "Shop": EXE, "a.txt": b"2",
                                           MANIFEST: json.dumps(doc, indent=2).encode()}
        assert not (install / UPDATE_DIR).exists()

    @pytest.mark.parametrize("new_exe, reason", [
        (b"#!/bin/sh\nexit 3\n", "version 2.0 exited with status 3 before it confirmed its start"),
        (b"#!/bin/sh\nsleep 60\n", "version 2.0 did not confirm its start within 2 seconds"),
    ])
    def test_new_version_that_fails_before_confirming_is_reverted(self, site, monkeypatch, capsys, new_exe,
                                                                    reason):
        srv, www, tmp = site
        install = tmp / "install"
        exe = make_install(install, {"Shop": EXE, "a.txt": b"1", "old.txt": b"o", **USER_DATA})
        monkeypatch.setattr(sys, "executable", exe)
        monkeypatch.setenv("TARVIK_UPDATE_CONFIRM_SECONDS", "2")
        publish_version(www, "2.0", {"Shop": new_exe, "a.txt": b"2", "new.txt": b"n"})
        old = installed_tree(install)
        assert start(capsys)[0] is True
        wait_for(lambda: not (install / "update.sh").exists(), "the script to revert")
        wait_for(lambda: (install / "started.txt").exists(), "the old version's restart")
        assert installed_tree(install) == old
        log = (install / "update_crash.log").read_text()
        assert f"[Update] update to 2.0 aborted: {reason}; the previous version was restored." in log
        result, out = start(capsys)
        assert result is False and out[-1].startswith("[Update] Version 2.0 could not be installed")

    def test_new_version_confirming_its_start_keeps_it(self, site, monkeypatch, capsys, tmp_path):
        srv, www, tmp = site
        install = tmp / "install"
        exe = make_install(install, {"Shop": EXE, "a.txt": b"1"})
        monkeypatch.setattr(sys, "executable", exe)
        # the new version's launcher calls check_update, then keeps running
        runner = tmp_path / "run.py"
        runner.write_text(f"import sys; sys.path[:0] = {sys.path!r}; sys.executable = {exe!r}\n"
                          "from tarvik_cmd import auto_update as au\n"
                          "print(au.check_update('Shop', '2.0'), flush=True)\n"
                          "import time; time.sleep(5)\n")
        new_exe = (f'#!/bin/sh\nexec {PYTHON} {runner} > "$(dirname "$0")/new-out.txt"\n').encode()
        monkeypatch.setenv("TARVIK_UPDATE_CONFIRM_SECONDS", "60")
        doc = publish_version(www, "2.0", {"Shop": new_exe, "a.txt": b"2"})
        assert start(capsys)[0] is True
        wait_for(lambda: not (install / "update.sh").exists(), "the script to finish")
        out = (install / "new-out.txt").read_text().splitlines()
        assert "[Update] Version 2.0 started after its update" in out and out[-1] == "False"
        assert (install / "a.txt").read_bytes() == b"2"
        assert not (install / UPDATE_DIR).exists()
        assert "aborted" not in (install / "update_crash.log").read_text()
