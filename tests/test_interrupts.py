"""Ctrl-C and SystemExit reach the caller: from inside each long operation
(an upload, the manifest's hashing, the compiler child; the download and the
staged update have their own tests) and through the places that stand for
Python's "except Exception", which print or log ordinary failures and go on.
What the operation holds (the compiler process, the staging folder) is let go
on the way out.

The Ctrl-C cases run the operation in a child interpreter and send it SIGINT
once the operation is under way; every wait has a generous limit, so a slow
machine only makes them slower."""
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

from admin_fixtures import child_env, run_python
from faultserver import pid_alive
from publish_fixtures import Answer, StandIn, StandInServer, make_build
from scaffold_fixtures import call, framework, workspace  # noqa: F401
from tarvik_cmd import auto_update as au
from update_fixtures import (APP, EXE_SCRIPT, PYTHON, Widgets, make_install, private_tmp,  # noqa: F401
                             publish_version, staging_dirs, tree, update_server, wait_for)

LIMIT = 120.0  # seconds any single wait may take before the test fails

# Runs one operation; the last line tells how it ended.
OPERATION = """
import sys
print("started", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(3)
print("returned", flush=True)
"""

on_linux = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")


class Child:
    """A child interpreter running one operation; its output is read as it comes."""

    def __init__(self, call, cwd, env=None):
        self.proc = subprocess.Popen([PYTHON, "-c", textwrap.dedent(OPERATION).format(call=call)],
                                     stdout=subprocess.PIPE, text=True, cwd=cwd, env=env)
        self.lines = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def wait_until(self, predicate, what):
        def ready():
            if self.proc.poll() is not None and not predicate():
                pytest.fail(f"the child ended before {what}: {self.lines}")
            return predicate()
        wait_for(ready, what, LIMIT)

    def interrupt(self):
        """Sends Ctrl-C; returns the exit code and the output."""
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            pytest.fail(f"Ctrl-C did not end the operation: {self.lines}")
        self._reader.join(LIMIT)
        return self.proc.returncode, self.lines

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def has_open(pid, path):
    """True while the process holds the file open."""
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == str(path):
                return True
        except OSError:
            pass
    return False


FAKE_COMPILER = """
import os, sys, time
with open(os.environ["FAKE_COMPILER_PID"], "w") as f:
    f.write(str(os.getpid()))
print("Nuitka: compiling for a long time", flush=True)
time.sleep(600)
"""


def test_ctrl_c_during_the_compiler_ends_the_build_step_and_the_compiler(tmp_path):
    # A compiler that never finishes, found before the stand-in by "python -m nuitka".
    (tmp_path / "slow" / "nuitka").mkdir(parents=True)
    (tmp_path / "slow" / "nuitka" / "__init__.py").write_text("")
    (tmp_path / "slow" / "nuitka" / "__main__.py").write_text(FAKE_COMPILER)
    pid_file = tmp_path / "compiler.pid"
    env = dict(os.environ, FAKE_COMPILER_PID=str(pid_file),
               PYTHONPATH=os.pathsep.join([str(tmp_path / "slow"), os.environ.get("PYTHONPATH", "")]))
    child = Child("from tarvik_cmd import build\n    build.run_compiler(['Tarvik', 'Shop.py'])",
                  cwd=tmp_path, env=env)
    try:
        child.wait_until(lambda: "Tarvik: compiling for a long time" in child.lines, "the compiler's output")
        compiler_pid = int(pid_file.read_text())
        code, out = child.interrupt()
    finally:
        child.close()
    assert code == 3 and out[-1] == "interrupted"
    assert not any("compilation failed" in line for line in out)
    assert not pid_alive(compiler_pid)  # killed and reaped, not left running


@on_linux
@pytest.mark.parametrize("large_files", [1, 2], ids=["one file read ahead", "two files on two threads"])
def test_ctrl_c_during_the_manifest_hashing(tmp_path, large_files):
    dist = tmp_path / "build" / "Shop-1.0-Linux"
    dist.mkdir(parents=True)
    (dist / "small.txt").write_bytes(b"x")
    for i in range(large_files):
        with open(dist / f"huge{i}.bin", "wb") as f:
            f.truncate(4 << 40)  # 4 TiB of holes: hours of hashing, no disk space
    big = dist / "huge0.bin"
    child = Child("from tarvik_cmd import build\n"
                  "    build.generate_manifest('Shop', '1.0', 'linux', 'x64', 'Shop-1.0-Linux')", cwd=tmp_path)
    try:
        child.wait_until(lambda: has_open(child.proc.pid, big), "the hashing of the large file")
        code, out = child.interrupt()
    finally:
        child.close()
    assert code == 3 and out[-1] == "interrupted"
    assert not list(tmp_path.rglob("manifest--*"))


def test_ctrl_c_during_an_upload_ends_publish(tmp_path):
    make_build(tmp_path, {"a.txt": b"1", "b.txt": b"2"})
    release = threading.Event()
    state = StandIn(on_post=lambda index: release.wait(LIMIT))  # the answer never comes in time
    with StandInServer(state):
        child = Child("from tarvik_cmd.publish import publish\n    publish('linux', '')", cwd=tmp_path)
        try:
            child.wait_until(lambda: state.posts, "the first upload")
            code, out = child.interrupt()
        finally:
            child.close()
            release.set()
    assert code == 3 and out[-1] == "interrupted"
    assert not any("upload error" in line for line in out), out


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(4)], ids=["KeyboardInterrupt", "SystemExit"])
def test_a_base_exception_while_staging_removes_the_staging_folder(tmp_path, private_tmp, monkeypatch, capsys,
                                                                     exc):
    install = tmp_path / "install"
    exe = make_install(install, {"Shop": EXE_SCRIPT.encode(), "a.txt": b"1", "b.txt": b"1"})
    before = tree(install)
    publish_version(tmp_path / "www", "2.0", {"Shop": EXE_SCRIPT.encode(), "a.txt": b"2", "b.txt": b"2"})
    monkeypatch.setattr(sys, "executable", exe)
    widgets = Widgets()
    shown = widgets.label.config

    def config(text):
        shown(text)
        if text.startswith("Downloading"):  # a file is staged, the download loop is under way
            assert len(staging_dirs(install / ".tarvik_update")) == 1
            raise exc
    widgets.label.config = config
    srv = update_server(tmp_path / "www")
    try:
        with pytest.raises(type(exc)) as raised:
            au.check_update(APP, "1.0", widgets.label, widgets.bar)
    finally:
        srv.close()
    assert raised.value is exc
    assert "Download failed" not in capsys.readouterr().out
    assert staging_dirs(private_tmp) == [] and not (install / ".tarvik_update").exists()
    assert tree(install) == before


@pytest.mark.parametrize("exc, shown", [("KeyboardInterrupt()", "KeyboardInterrupt None"),
                                        ("SystemExit(4)", "SystemExit 4")])
def test_a_base_exception_from_the_migration_is_not_printed_as_a_failure(tmp_path, exc, shown):
    code = textwrap.dedent(f"""
        import django.core.management as management
        def call_command(*args, **kwargs):
            raise {exc}
        management.call_command = call_command
        from tarvik_cmd.migrate import migrate
        try:
            migrate()
        except BaseException as e:
            print("raised", type(e).__name__, getattr(e, "code", None))
    """)
    run = run_python(code, env=child_env(tmp_path / "db.sqlite3"), cwd=tmp_path)
    assert run.stdout.splitlines() == ["raised " + shown]


def test_ctrl_c_while_checking_installed_packages_is_not_logged(workspace, framework, capsys, monkeypatch,  # noqa: F811
                                                                 caplog):
    import importlib.metadata

    def interrupted():
        raise KeyboardInterrupt
    monkeypatch.setattr(importlib.metadata, "distributions", interrupted)
    from tarvik_cmd.project import project
    with pytest.raises(KeyboardInterrupt):
        call(project, monkeypatch, capsys, "project", "shop")
    assert not caplog.messages
    assert not (workspace / "shop").exists()
