"""Shared pieces of the update client's tests: installations and version folders
on disk, manifests in the build's format, the server on the built-in base URL,
a stand-in for the running application, and recording splash widgets."""
import hashlib
import json
import platform
import subprocess
import sys
import time
from pathlib import Path

import pytest

from devserver_process import port_is_free
from faultserver import FaultServer

APP = "Shop"


def _arch(machine):
    machine = machine.lower()
    if machine in ("arm64", "aarch64"):
        return "arm64"
    return "armv7" if machine.startswith("armv") else "x64"


OS_, DISPLAY = {"Darwin": ("macos", "macOS"), "Windows": ("windows", "Windows")}.get(
    platform.system(), ("linux", "Linux"))
ARCH = _arch(platform.machine())
MANIFEST = f"manifest--{APP}-{OS_}-{ARCH}.json"
PYTHON = sys.executable  # the real interpreter: tests replace sys.executable
EXE_SCRIPT = '#!/bin/sh\necho "$0" >> "$(dirname "$0")/started.txt"\n'


def sha(b):
    return hashlib.sha256(b).hexdigest()


def entry(data, block_size=None):
    """A manifest entry: plain, or block-level when a block size is given."""
    if block_size is None:
        return sha(data)
    return {"size": len(data), "sha256": sha(data), "block_size": block_size,
            "blocks": [sha(data[i:i + block_size]) for i in range(0, len(data), block_size)]}


def manifest(version, files, blocks=None, app=APP):
    """files: {rel: bytes}; blocks: {rel: block_size} for block-level entries."""
    blocks = blocks or {}
    return {"app_name": app, "version": version, "os": OS_, "arch": ARCH,
            "files": {rel: entry(data, blocks.get(rel)) for rel, data in files.items()}}


def write_tree(root, files):
    for rel, data in files.items():
        p = Path(root) / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)


def make_install(root, files, version="1.0", blocks=None, key=None, exe="Shop", local_manifest=None):
    """An installation: the files, its manifest, build.json and an executable
    script that notes each start in started.txt. Returns the executable's path."""
    root = Path(root)
    write_tree(root, files)
    doc = manifest(version, files, blocks) if local_manifest is None else local_manifest
    (root / MANIFEST).write_text(json.dumps(doc, indent=2, ensure_ascii=False), encoding="utf-8")
    if key is not None:
        (root / "build.json").write_text(json.dumps({"COMMUNITY_KEY": key}), encoding="utf-8")
    exe_path = root / exe
    if not exe_path.exists():
        exe_path.write_text(EXE_SCRIPT)
    exe_path.chmod(0o755)
    return str(exe_path)


def publish_version(www, version, files, blocks=None, channel="auth", doc=None):
    """What the server holds for a version: the manifest and the version folder."""
    base = Path(www) / channel
    write_tree(base / f"{APP}-{version}-{DISPLAY}", files)
    doc = manifest(version, files, blocks) if doc is None else doc
    (base / MANIFEST).parent.mkdir(parents=True, exist_ok=True)
    (base / MANIFEST).write_text(json.dumps(doc, indent=2), encoding="utf-8")
    return doc


def port_8000_free():
    return port_is_free(8000)


def update_server(root, **kw):
    """The fault server on the built-in base URL (127.0.0.1:8000)."""
    if not port_8000_free():
        pytest.fail("127.0.0.1:8000 is taken: check_update talks to the built-in base URL, "
                    "stop whatever listens there and run again")
    return FaultServer(port=8000, root=root, **kw)


class Widgets:
    """A status label and a progress bar that record what they are told."""

    def __init__(self):
        self.events = []
        self.label = self._Label(self.events)
        self.bar = self._Bar(self.events)

    class _Label:
        def __init__(self, events):
            self.events = events

        def config(self, text):
            self.events.append(("text", text))

        def update(self):
            self.events.append(("label.update",))

    class _Bar:
        def __init__(self, events):
            self.events = events

        def __setitem__(self, key, value):
            assert key == "value"
            self.events.append(("value", value))

        def update(self):
            self.events.append(("bar.update",))

    def texts(self):
        return [e[1] for e in self.events if e[0] == "text"]

    def values(self):
        return [e[1] for e in self.events if e[0] == "value"]


class RunningApp:
    """A process whose command line holds the executable's path, so that the
    update script waits for it as it waits for the application."""

    def __init__(self, exe_path):
        self.proc = subprocess.Popen([PYTHON, "-c", "import time; time.sleep(300)", exe_path])

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def wait_for(predicate, what, limit=30.0):
    """Polls until predicate() holds; fails the test after `limit` seconds."""
    end = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > end:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.05)


def tree(root, skip=()):
    """{rel: bytes} of every file under root."""
    root = Path(root)
    out = {}
    for p in sorted(root.rglob("*")):
        if p.is_file() and not p.is_symlink():
            rel = p.relative_to(root).as_posix()
            if rel not in skip:
                out[rel] = p.read_bytes()
    return out


def staging_dirs(tmp_root):
    return sorted(Path(tmp_root).glob("tarvik_update_*"))


@pytest.fixture
def private_tmp(tmp_path, monkeypatch):
    """The system temp location for this test only (where staging folders go)."""
    d = tmp_path / "systmp"
    d.mkdir()
    monkeypatch.setenv("TMPDIR", str(d))
    return d
