"""kill_app_process against real processes whose executables carry chosen
names: the app itself and its extension forms die; look-alike names, the
calling process and its ancestors live."""
import os
import shutil
import subprocess
import sys
import textwrap
import uuid
from pathlib import Path

import pytest

from tarvik_cmd import build as b

SLEEP = shutil.which("sleep")
pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux") or not SLEEP,
                                reason="names come from /proc executables")


@pytest.fixture
def app(tmp_path):
    """A fresh app name (no stranger's process can carry it) and a starter of
    long sleeps whose executable has a given file name."""
    name = "tvk" + uuid.uuid4().hex[:10]
    started = []

    def start(exe_name):
        exe = tmp_path / exe_name
        if not exe.exists():
            shutil.copy(SLEEP, exe)
        proc = subprocess.Popen([str(exe), "60"])
        started.append(proc)
        return proc

    yield name, start
    for proc in started:
        if proc.poll() is None:
            proc.kill()
        proc.wait()


def test_kills_exact_and_extension_names_only(app, capsys):
    name, start = app
    upper = start(name.upper())
    with_ext = start(name + ".bin")
    longer = start(name + "ping")
    dashed = start(name + "-helper")
    b.kill_app_process(name.capitalize())
    assert upper.wait(timeout=30) == -9
    assert with_ext.wait(timeout=30) == -9
    assert longer.poll() is None and dashed.poll() is None
    out = capsys.readouterr().out.splitlines()
    assert sorted(out) == sorted([f"[builder] killed leftover process: {name} (PID {upper.pid})",
                                  f"[builder] killed leftover process: {name}.bin (PID {with_ext.pid})"])


def test_no_match_prints_nothing(app, capsys):
    name, start = app
    other = start(name + "x")
    b.kill_app_process(name)
    assert other.poll() is None
    assert capsys.readouterr().out == ""


def test_spares_the_caller_and_its_ancestors(app, tmp_path):
    """The builder runs as <app> under a shell named <app>.sh; a leftover
    <app>.bin is the only process that may die."""
    name, start = app
    leftover = start(name + ".bin")
    python_copy = tmp_path / name
    shutil.copy(os.path.realpath(sys.executable), python_copy)
    shell_copy = tmp_path / (name + ".sh")
    shutil.copy(shutil.which("sh"), shell_copy)
    code = textwrap.dedent(f"""\
        from tarvik_cmd import build
        build.kill_app_process({name!r})
        print("builder survived")
    """)
    script = tmp_path / "kill.py"
    script.write_text(code)
    # A copied interpreter leaves any virtual environment behind: hand it the
    # folder the package was imported from.
    import tarvik_cmd
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(tarvik_cmd.__file__).resolve().parents[1])]
                                        + [p for p in sys.path if p])
    # Two commands, so the shell stays the builder's parent instead of exec'ing it.
    done = subprocess.run([str(shell_copy), "-c",
                           f'"{python_copy}" "{script}" || exit 7; echo shell survived'],
                          capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [f"[builder] killed leftover process: {name}.bin (PID {leftover.pid})",
                                        "builder survived", "shell survived"]
    assert leftover.wait(timeout=30) == -9
