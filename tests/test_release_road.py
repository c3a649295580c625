"""The release road end to end: build version 1 (with a file of more than
8 MiB), publish it, install a copy, build and publish version 2 (one changed
block in the large file, one changed, one new and one removed small file), run
the installed copy, let its update script swap the files and start the new
executable, and check that the next start finds it up to date.

The update server is the development server on the built-in base URL; the
builds reach it through publish, and its request log shows what crossed the
wire.
"""
import json
import os
import random
import shutil
import subprocess

from build_fixtures import build_env, make_workspace  # noqa: F401  (fixture)
from publish_fixtures import DevServer
from update_fixtures import DISPLAY, tree, wait_for

APP = "Shop"
MiB = 1048576
# The import path of this test run; a build sets PYTHONPATH for the compiler.
RUN_PATH = os.environ.get("PYTHONPATH", "")
BIG_BLOCK = 5

LAUNCHER = '''"""Launcher of the release-road application."""
import os
import sys

app_name = "Shop"
version = "{version}"


class ConsoleLabel:
    def config(self, text):
        print("[splash]", text, flush=True)

    def update(self):
        pass


class ConsoleBar:
    def __setitem__(self, key, value):
        print("[splash] progress", round(value), flush=True)

    def update(self):
        pass


def main():
    from tarvik_cmd.auto_update import check_update
    if check_update(app_name, version, ConsoleLabel(), ConsoleBar()):
        return 0
    here = os.path.dirname(sys.executable)
    with open(os.path.join(here, "started-" + version + ".txt"), "w") as f:
        f.write(sys.executable)
    print(app_name, version, "running", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
'''


def build_version(ws, version, payload, capsys):
    """Builds the workspace at this version; payload files join the distribution."""
    from tarvik_cmd.build import build

    (ws / "launcher.py").write_text(LAUNCHER.format(version=version), encoding="utf-8")
    extra = ws.parent / f"payload-{version}"
    shutil.rmtree(extra, ignore_errors=True)
    for rel, data in payload.items():
        (extra / rel).parent.mkdir(parents=True, exist_ok=True)
        (extra / rel).write_bytes(data)
    os.environ["TARVIK_FAKE_COMPILER_EXTRA"] = str(extra)
    build()
    out = capsys.readouterr().out
    dist = ws / "build" / f"{APP}-{version}-{DISPLAY}"
    assert dist.is_dir(), out
    return dist


def publish(dist, srv, capsys):
    """Publishes the workspace's build; returns the server's log lines of it."""
    from tarvik_cmd.publish import publish as send

    before = len(srv.requests())
    assert send("linux", "") is True, capsys.readouterr().out
    out = capsys.readouterr().out
    assert out.splitlines()[-1] == "[publisher] upload success", out
    key = json.loads((dist / "build.json").read_text(encoding="utf-8"))["COMMUNITY_KEY"]
    # The server logs a request after its answer went out: wait for the
    # version check's and the upload's lines.
    return key, srv.requests(count=before + 2)[before:]


def run_installed(exe):
    env = dict(os.environ, PYTHONPATH=RUN_PATH)
    done = subprocess.run([exe], capture_output=True, text=True, timeout=120, cwd="/", env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout.splitlines()


def test_release_road(tmp_path, build_env, capsys, monkeypatch):  # noqa: F811
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    monkeypatch.delenv("TARVIK_FAKE_COMPILER_EXTRA", raising=False)
    www = tmp_path / "www"
    www.mkdir()
    rng = random.Random(5)
    big1 = rng.randbytes(8 * MiB + 12345)
    big2 = big1[:BIG_BLOCK * MiB] + rng.randbytes(MiB) + big1[(BIG_BLOCK + 1) * MiB:]
    v1 = {"data/big.bin": big1, "data/notes.txt": b"notes 1", "data/old.txt": b"going away"}
    v2 = {"data/big.bin": big2, "data/notes.txt": b"notes 2", "data/new.txt": b"arrived in 2.0.0"}

    # 1. a workspace, version 1 built
    ws = make_workspace(tmp_path / "ws", APP, "1.0.0")
    build_env.chdir(ws)
    dist1 = build_version(ws, "1.0.0", v1, capsys)

    srv = DevServer(www, port=8000)
    try:
        # 2. published; 3. a copy installed, which gathers runtime data
        key, sent = publish(dist1, srv, capsys)
        assert [l.split()[:3] for l in sent] == [["GET", f"/auth/{key}/", "404"], ["POST", f"/auth/{key}/", "201"]]
        assert (www / key / "media" / "update" / dist1.name / "data" / "big.bin").read_bytes() == big1
        install = tmp_path / "installed" / APP
        shutil.copytree(dist1, install, symlinks=True)
        write_runtime = {"dbs/app.db": b"users table", "logs/app.log": b"started once\n"}
        for rel, data in write_runtime.items():
            (install / rel).parent.mkdir(parents=True, exist_ok=True)
            (install / rel).write_bytes(data)
        exe = str(install / APP)
        first = run_installed(exe)
        assert first[-1] == "Shop 1.0.0 running"
        assert "[splash] Already up to date" in first

        # 4. version 2 built and published
        dist2 = build_version(ws, "2.0.0", v2, capsys)
        publish(dist2, srv, capsys)
        served_before = len(srv.requests())

        # 5. the installed copy finds it, stages it and hands over
        lines = run_installed(exe)
        assert "[Update] upgrade needed: binary=1.0.0 local_manifest=1.0.0 remote=2.0.0" in lines
        assert any(l.startswith("[splash] Downloading big.bin  ") for l in lines)
        assert lines[-1] == "[splash] Update download complete, applying..."

        # 6. the script waits for it to end, swaps the files and starts the new executable
        wait_for(lambda: (install / "started-2.0.0.txt").exists(), "the new version to start")
        wait_for(lambda: not (install / "update.sh").exists(), "the update script to remove itself")
        runtime = {"started-1.0.0.txt", "started-2.0.0.txt", "update_crash.log", *write_runtime}
        assert tree(install, skip=runtime) == tree(dist2)
        assert {rel: (install / rel).read_bytes() for rel in write_runtime} == write_runtime
        assert not (install / "data" / "old.txt").exists()
        assert os.access(install / APP, os.X_OK)

        # only the changed block of the large file crossed the wire
        served = srv.requests()[served_before:]
        big_gets = [l.split()[2:] for l in served if l.startswith("GET ") and "/data/big.bin " in l]
        first_byte = BIG_BLOCK * MiB
        assert big_gets == [["206", f"range=bytes={first_byte}-{first_byte + MiB - 1}", f"bytes={MiB}"]]
        body = sum(int(w[6:]) for l in served for w in l.split() if w.startswith("bytes="))
        assert body < len(big2) // 4, served

        # 7. the next start is up to date
        again = run_installed(exe)
        assert "[Update] Version matches (binary 2.0.0 == remote 2.0.0), skipping hash scan" in again
        assert again[-1] == "Shop 2.0.0 running"
    finally:
        srv.stop()
