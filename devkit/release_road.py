"""The release road, narrated: a fresh workspace with a project, a plugin, an
app and an API app; its database migrated and an administrator created;
version 1.0.0 built and published to the development update server on the
built-in base URL; a copy installed; version 2.0.0 (one changed block in the
large file, one changed, one new and one removed small file) built and
published; the installed copy updating itself through its launcher; and the
next start finding it up to date. Every release is signed: a key is made
first, each build ships its public half (the installation pins it) and signs
its manifest, and at the end a forged release, as an attacker on the network
would answer, is refused.

    python devkit/release_road.py [--keep]

Everything happens in a temporary folder, removed at the end unless --keep
is given. 127.0.0.1:8000 must be free.
"""
import filecmp
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DEVKIT = Path(__file__).resolve().parent
sys.path.insert(0, str(DEVKIT))

from devserver_process import DevServerProcess, find_devserver, port_is_free  # noqa: E402

MiB = 1048576
BIG_SIZE = 9 * MiB + 4321
CHANGED_BLOCK = 5


def step(number, title):
    print(f"\n=== {number}. {title} ===", flush=True)


def say(text):
    print("  " + text, flush=True)


def fail(text):
    print("\nrelease road stopped: " + text, file=sys.stderr, flush=True)
    sys.exit(1)


def show_tree(root, depth=2, skip=("__pycache__",)):
    def walk(folder, level):
        for entry in sorted(folder.iterdir(), key=lambda p: (not p.is_dir(), p.name)):
            if entry.name in skip:
                continue
            if entry.is_dir():
                say("    " * level + entry.name + "/")
                if level + 1 < depth:
                    walk(entry, level + 1)
            else:
                say("    " * level + f"{entry.name} ({entry.stat().st_size} bytes)")
    walk(root, 0)


def call_with_argv(operation, *argv):
    """Calls a scaffolding operation as the front end does: the command word
    and the name in the process arguments."""
    saved = sys.argv
    sys.argv = ["tarvik", *argv]
    try:
        operation("")
    finally:
        sys.argv = saved


def set_version(ws, version):
    launcher = ws / "launcher.py"
    lines = launcher.read_text(encoding="utf-8").splitlines(keepends=True)
    lines = [f'version = "{version}"\n' if l.startswith("version = ") else l for l in lines]
    launcher.write_text("".join(lines), encoding="utf-8")


def set_data_files(ws, names):
    """Names the workspace files the build takes into the distribution."""
    config = ws / "builder.toml"
    kept = [l for l in config.read_text(encoding="utf-8").splitlines()
            if not l.startswith("include_data_files")]
    kept.append("include_data_files = [" + ", ".join(json.dumps(f"{n}={n}") for n in names) + "]")
    config.write_text("\n".join(kept) + "\n", encoding="utf-8")


def build_version(ws, version, data):
    """Writes the version and its data files into the workspace and builds it."""
    from tarvik_cmd.build import build

    set_version(ws, version)
    for name in ("notes.txt", "old.txt", "new.txt"):
        (ws / name).unlink(missing_ok=True)
    for name, content in data.items():
        (ws / name).write_bytes(content)
    set_data_files(ws, sorted(data))
    path = os.environ.get("PYTHONPATH")
    try:
        build()  # sets the compiler's environment, PYTHONPATH included, in this process
    finally:
        if path is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = path
    dists = [d for d in (ws / "build").glob(f"*-{version}-*") if d.is_dir()]
    if len(dists) != 1:
        fail(f"the build of {version} left no distribution folder")
    return dists[0]


def manifest_summary(dist):
    (manifest,) = dist.glob("manifest--*.json")
    doc = json.loads(manifest.read_text(encoding="utf-8"))
    blocks = {rel: e for rel, e in doc["files"].items() if isinstance(e, dict)}
    say(f"{manifest.name}: {doc['app_name']} {doc['version']} ({doc['os']}/{doc['arch']}), "
        f"{len(doc['files'])} files, {len(blocks)} hashed by blocks")
    for rel, entry in blocks.items():
        say(f"  {rel}: {entry['size']} bytes in {len(entry['blocks'])} blocks of {entry['block_size']}")
    return doc


class UpdateServer(DevServerProcess):
    """The development update server on the built-in base URL."""

    def __init__(self, root):
        exe = find_devserver()
        if not exe:
            fail("tarvik-devserver not found (scripts/setup.sh installs it beside the interpreter)")
        if not port_is_free(8000):
            fail("127.0.0.1:8000 is taken; the update client talks to that address, free it and run again")
        try:
            super().__init__(exe, root, port=8000)
        except RuntimeError as e:
            fail(str(e))
        say(self.banner)

    def mark(self):
        time.sleep(0.2)  # a log line follows its answer
        return len(self.log)

    def show_since(self, mark, only=None):
        for line in self.log[mark:]:
            if only is None or only(line):
                say("server: " + line)

    def stop(self):
        try:
            super().stop(signal.SIGINT, timeout=10)
        except subprocess.TimeoutExpired:
            pass  # killed


def publish_build(server):
    from tarvik_cmd.publish import publish

    mark = server.mark()
    if not publish("linux" if sys.platform.startswith("linux") else
                   "macos" if sys.platform == "darwin" else "windows", ""):
        fail("publish failed")
    server.show_since(mark)


def wait_for(predicate, what, limit=60.0):
    end = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > end:
            fail("timed out waiting for " + what)
        time.sleep(0.1)


def run_installed(exe):
    say(f"$ {exe}")
    lines = []
    with subprocess.Popen([str(exe)], cwd=exe.parent, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True) as child:
        for line in child.stdout:
            lines.append(line)
            say("  " + line.rstrip("\n"))
        code = child.wait()
    if code != 0:
        fail(f"the installed program exited with {code}")
    return "".join(lines)


def differences(install, dist, runtime):
    """Relative paths where the installation and the distribution differ."""
    def files(root):
        return {p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file() or p.is_symlink()}
    ours = {rel for rel in files(install) if rel.split("/")[0] not in runtime}
    theirs = files(dist)
    changed = sorted(ours ^ theirs)
    changed += [rel for rel in sorted(ours & theirs)
                if not filecmp.cmp(install / rel, dist / rel, shallow=False)]
    return changed


def forge_release(www, install, top):
    """What an attacker answering the client's plain-http requests would serve:
    a manifest of a version 6.6.6 whose launcher is the attacker's, with a
    statement signed by the attacker's own key."""
    from tarvik_cmd import signing

    (served,) = www.glob("*/media/update/manifest--*.json")
    doc = json.loads(served.read_text(encoding="utf-8"))
    doc["version"] = "6.6.6"
    exe_name = next(rel for rel in doc["files"] if "/" not in rel and rel == install.name)
    doc["files"][exe_name] = hashlib.sha256(b"#!/bin/sh\necho owned\n").hexdigest()
    served.write_text(json.dumps(doc, indent=2), encoding="utf-8")
    attacker = top / "attacker.pem"
    signing.generate_key(str(attacker))
    signing.sign_manifest(str(served), str(attacker))
    say(f"served {served.name} (version 6.6.6, the attacker's launcher) with a statement signed by the "
        f"attacker's key {signing.key_id(signing.public_key(str(attacker)))}")


def database_steps(ws):
    """migrate and init_admin in a child process, as the front end runs them."""
    code = ("from tarvik_cmd.migrate import migrate\n"
            "from tarvik_cmd.initadmin import init_admin\n"
            "migrate()\n"
            "init_admin()\n")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(DEVKIT)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    done = subprocess.run([sys.executable, "-c", code], cwd=ws, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=300)
    lines = done.stdout.splitlines()
    for line in lines[:4] + (["..."] if len(lines) > 8 else []) + lines[max(4, len(lines) - 4):]:
        say(line)
    if done.returncode != 0:
        fail("the database steps failed")


def road(top):
    from tarvik_cmd import createapi, createapp, init, plugins, project

    ws = top / "workspace"
    ws.mkdir()
    os.chdir(ws)

    step(1, f"Initialise a workspace in {ws}")
    if not init.create_file(""):
        fail("create_file failed")
    call_with_argv(project.project, "project", "storefront")
    call_with_argv(plugins.plugins, "plugins", "reviews")
    call_with_argv(createapp.new_app, "createapp", "blog")
    call_with_argv(createapi.new_api, "createapi", "Catalog")
    show_tree(ws, depth=2)

    step(2, "Migrate the database and create the administrator")
    database_steps(ws)
    say(f"database: dbs/{', '.join(p.name for p in (ws / 'dbs').iterdir())}")

    step(3, "Make the publisher's signing key and build version 1.0.0 with the compiler stand-in")
    from tarvik_cmd import signing

    # The key lives in the user's configuration folder, never in the workspace;
    # here that folder is inside the demo's temporary folder.
    os.environ["XDG_CONFIG_HOME"] = str(top / "config")
    key = signing.default_key_path("Demo")
    signing.generate_key(key)
    os.environ[signing.KEY_ENV] = key
    rng = random.Random(20261208)
    big1 = rng.randbytes(BIG_SIZE)
    v1 = {"big.bin": big1, "notes.txt": b"release notes of 1.0.0\n", "old.txt": b"only in 1.0.0\n"}
    dist1 = build_version(ws, "1.0.0", v1)
    manifest_summary(dist1)

    www = top / "update-server"
    www.mkdir()
    step(4, "Start the development update server and publish 1.0.0")
    server = UpdateServer(www)
    try:
        publish_build(server)

        step(5, "Install a copy of 1.0.0 and run it once")
        install = top / "installed" / dist1.name.split("-")[0]
        shutil.copytree(dist1, install, symlinks=True)
        (install / "dbs").mkdir()
        (install / "dbs" / "app.sqlite3").write_bytes(b"the user's data\n")
        exe = install / dist1.name.split("-")[0]
        out = run_installed(exe)
        if "1.0.0 running" not in out:
            fail("the installed copy did not start")
        kept = {rel: (install / rel).read_bytes() for rel in ("dbs/app.sqlite3", "logs/launcher.log")}

        step(6, "Make version 2.0.0 and publish it")
        big2 = bytearray(big1)
        start = CHANGED_BLOCK * MiB
        big2[start:start + MiB] = rng.randbytes(MiB)
        v2 = {"big.bin": bytes(big2), "notes.txt": b"release notes of 2.0.0\n", "new.txt": b"new in 2.0.0\n"}
        say(f"big.bin: block {CHANGED_BLOCK} (bytes {start}-{start + MiB - 1}) changed; "
            "notes.txt changed; new.txt added; old.txt removed")
        dist2 = build_version(ws, "2.0.0", v2)
        manifest_summary(dist2)
        publish_build(server)

        step(7, "Run the installed copy: it finds 2.0.0, fetches what changed and hands over")
        mark = server.mark()
        run_installed(exe)
        wait_for(lambda: not (install / "update.sh").exists() and not (install / "update.bat").exists(),
                 "the update script to finish")
        wait_for(lambda: "2.0.0 started" in (install / "logs" / "launcher.log").read_text(encoding="utf-8"),
                 "the new version to start")
        say("what crossed the wire:")
        server.show_since(mark, only=lambda l: l.startswith("GET ") and "/media/update/" in l)
        wire = sum(int(w[6:]) for l in server.log[mark:] for w in l.split() if w.startswith("bytes="))
        data = sum(len(v) for v in v2.values())
        say(f"{wire} bytes served in all (manifests included) against {data} bytes of "
            f"2.0.0's data files: {100.0 * wire / data:.1f}%")

        step(8, "The installation now is version 2.0.0")
        crash_log = install / "update_crash.log"  # the script's copy appends its errors here
        if crash_log.exists() and crash_log.stat().st_size:
            fail("the update script logged errors: " + crash_log.read_text(encoding="utf-8", errors="replace"))
        diff = differences(install, dist2, runtime={"dbs", "logs", "update_crash.log"})
        if diff:
            fail("the installation differs from 2.0.0's distribution: " + ", ".join(diff))
        say(f"every file equals {dist2.name}'s; old.txt is gone: {not (install / 'old.txt').exists()}")
        for rel, before in kept.items():
            now = (install / rel).read_bytes()
            if not now.startswith(before):
                fail(f"{rel} lost its content")
        say("dbs/ and logs/ kept their content; logs/launcher.log:")
        for line in (install / "logs" / "launcher.log").read_text(encoding="utf-8").splitlines():
            say("  " + line)

        step(9, "The next start finds it up to date")
        out = run_installed(exe)
        if "Version matches" not in out or "2.0.0 running" not in out:
            fail("the next start did not find the installation up to date")

        step(10, "A forged release 6.6.6 is refused")
        forge_release(www, install, top)
        def shipped():  # logs/ grows with every start
            return {p: p.read_bytes() for p in install.rglob("*") if p.is_file() and "logs" not in p.parts}
        before = shipped()
        out = run_installed(exe)
        if "Update refused: the statement's signature does not verify" not in out or "2.0.0 running" not in out:
            fail("the forged release was not refused")
        if shipped() != before:
            fail("the forged release changed the installation")
        say("every shipped file is unchanged and 2.0.0 started")
    finally:
        server.stop()
    print("\nrelease road complete", flush=True)


def main(argv):
    keep = "--keep" in argv
    top = Path(tempfile.mkdtemp(prefix="tarvik-release-road-"))
    saved_cwd = os.getcwd()
    try:
        road(top)
    finally:
        os.chdir(saved_cwd)
        if keep:
            print(f"kept: {top}")
        else:
            shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
