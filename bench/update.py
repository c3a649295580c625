"""Benchmark of the update client (tarvik_cmd.auto_update.check_update) over
loopback, against references measured in the same run.

1. Delta update: an installation holding a --size-mib file (1 MiB blocks) is
   updated to a version in which one 1 MiB block changed. Measured: the bytes
   that cross the wire (against the whole file) and check_update's wall time
   (against one `openssl dgst -sha256` pass over the same file; the client's
   local work is hashing the blocks, copying the file, patching and verifying
   it). check_update ends with a fixed 0.3 s pause that gives the update script
   its start; the ratio is shown with and without it.
2. Up-to-date check: an installation whose manifest lists --files files asks
   the server and finds the same version. Against a plain urllib GET plus
   json.loads of the same manifest, in this process.

3. Swap: the update script's journaled swap of a --swap-files update (every
   file changed, staged in the installation's update folder) into the
   installation, from the script's start until the last rename
   (the script stops itself there through its test hook) and until the
   swapped folders are synced to disk, against a plain `cp -r` of the same
   staged tree in the same run (which syncs nothing).

Targets: at most 1.5% of the full bytes; the delta update within 4x one
OpenSSL pass; the up-to-date check within 1.5x the plain GET; the swap within
1.5x the plain copy.

The server listens on the built-in base URL, 127.0.0.1:8000.

    .venv/bin/python bench/update.py [--size-mib 200] [--files 5000] [--repeat 5]
"""
import argparse
import contextlib
import hashlib
import io
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
_dev = os.environ.get("TARVIK_DEV_BUILD")
sys.path[:0] = ([str(Path(_dev).resolve()), str(ROOT / "python")] if _dev else []) + [str(ROOT / "tests")]

from faultserver import FaultServer  # noqa: E402
from tarvik_cmd import auto_update as au  # noqa: E402

MiB = 1048576
APP = "Bench"
PAUSE = 0.3
EXE_SCRIPT = "#!/bin/sh\nexit 0\n"


def labels():
    os_, arch, display = au._detect_platform()
    return f"manifest--{APP}-{os_}-{arch}.json", display


def block_entry(path):
    whole, blocks = hashlib.sha256(), []
    with open(path, "rb") as f:
        while chunk := f.read(MiB):
            whole.update(chunk)
            blocks.append(hashlib.sha256(chunk).hexdigest())
    return {"size": os.path.getsize(path), "sha256": whole.hexdigest(), "block_size": MiB, "blocks": blocks}


def write_manifest(path, version, files):
    doc = {"app_name": APP, "version": version, "os": "", "arch": "", "files": files}
    Path(path).write_text(json.dumps(doc, indent=2), encoding="utf-8")


def quiet(fn, *args):
    with contextlib.redirect_stdout(io.StringIO()):
        return fn(*args)


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def wait_for_script(install):
    deadline = time.monotonic() + 60
    while (install / "update.sh").exists():
        if time.monotonic() > deadline:
            sys.exit("the update script did not finish")
        time.sleep(0.05)


def delta_update(work, srv, size_mib, repeat, manifest_name, display):
    """Updates back and forth between two versions that differ in one block;
    the first round warms the page cache the way a running system has it."""
    install, www = work / "install", work / "www"
    install.mkdir()
    exe = install / APP
    exe.write_text(EXE_SCRIPT)
    exe.chmod(0o755)
    big = install / "big.bin"
    rng = random.Random(1)
    with open(big, "wb") as f:
        for _ in range(size_mib):
            f.write(rng.randbytes(MiB))
    exe_hash = hashlib.sha256(EXE_SCRIPT.encode()).hexdigest()
    entries = {}
    for version in ("1.0", "2.0"):
        folder = www / "auth" / f"{APP}-{version}-{display}"
        folder.mkdir(parents=True)
        (folder / APP).write_text(EXE_SCRIPT)
        subprocess.run(["cp", str(big), str(folder / "big.bin")], check=True)
        if version == "2.0":
            with open(folder / "big.bin", "r+b") as f:
                f.seek((size_mib // 2) * MiB)
                f.write(rng.randbytes(MiB))
        entries[version] = {APP: exe_hash, "big.bin": block_entry(folder / "big.bin")}
    write_manifest(install / manifest_name, "1.0", entries["1.0"])
    os.sync()  # the set-up's writes are not the update's cost

    openssl_times, update_times, wire = [], [], []
    sys.executable = str(exe)
    current = "1.0"
    for _ in range(repeat + 1):
        target = "2.0" if current == "1.0" else "1.0"
        write_manifest(www / "auth" / manifest_name, target, entries[target])
        os.sync()  # the previous round's writes are not this round's cost
        t = time.perf_counter()
        subprocess.run(["openssl", "dgst", "-sha256", str(big)], capture_output=True, check=True)
        openssl_times.append(time.perf_counter() - t)
        before = srv.body_bytes()
        t = time.perf_counter()
        started = quiet(au.check_update, APP, current)
        update_times.append(time.perf_counter() - t)
        wire.append(srv.body_bytes() - before)
        if not started:
            sys.exit("the delta update did not start")
        wait_for_script(install)
        if hashlib.sha256(big.read_bytes()).hexdigest() != entries[target]["big.bin"]["sha256"]:
            sys.exit("the installation does not hold the new file")
        current = target

    openssl_s = statistics.median(openssl_times[1:])
    update_s = statistics.median(update_times[1:])
    full = size_mib * MiB
    print(f"delta update of a {size_mib} MiB file, one 1 MiB block changed (median of {repeat}):")
    print(f"  bytes on the wire   {max(wire):>12,d}  = {max(wire) / full:.3%} of {full:,d} (target <= 1.5%)")
    print(f"  check_update        {update_s:8.3f} s")
    print(f"  openssl dgst pass   {openssl_s:8.3f} s")
    print(f"  ratio               {update_s / openssl_s:8.2f}x  (without the {PAUSE} s hand-over pause: "
          f"{(update_s - PAUSE) / openssl_s:.2f}x; target <= 4x)")


def up_to_date(work, n_files, repeat, manifest_name):
    install, www = work / "install2", work / "www"
    install.mkdir()
    exe = install / APP
    exe.write_text(EXE_SCRIPT)
    files = {f"lib/pkg{i // 100:03d}/module_{i:05d}.so": hashlib.sha256(str(i).encode()).hexdigest()
             for i in range(n_files)}
    write_manifest(install / manifest_name, "1.0", files)
    write_manifest(www / "auth" / manifest_name, "1.0", files)
    url = f"{au.UPDATE_URL}{manifest_name}"
    sys.executable = str(exe)

    def plain():
        with urllib.request.urlopen(urllib.request.Request(url, headers={"User-Agent": "bench"}), timeout=10) as r:
            json.loads(r.read())

    def check():
        if quiet(au.check_update, APP, "1.0"):
            sys.exit("an up-to-date installation started an update")

    plain(), check()  # warm up both
    plain_s = median_time(plain, repeat)
    check_s = median_time(check, repeat)
    print(f"up-to-date check of a {n_files}-file installation (median of {repeat}):")
    print(f"  check_update        {check_s * 1000:8.1f} ms")
    print(f"  urllib GET + json   {plain_s * 1000:8.1f} ms")
    print(f"  ratio               {check_s / plain_s:8.2f}x  (target <= 1.5x)")


def write_files(root, files):
    for rel, data in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)


def stopped(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] == "T"
    except OSError:
        return False


def wait_stopped(proc):
    while not stopped(proc.pid):
        if proc.poll() is not None:
            sys.exit("the update script ended before its swap was done")
        time.sleep(0.001)


def swap(work, n_files, repeat, manifest_name):
    """The script's swap of an n_files update against cp -r of the staged tree."""
    per_dir = 100
    rels = [f"lib/pkg{i // per_dir:03d}/module_{i:05d}.py" for i in range(n_files)]
    swap_times, durable_times, copy_times = [], [], []
    for round_no in range(repeat):
        root = work / f"swap{round_no}"
        install = root / "install"
        stage = install / ".tarvik_update" / "tarvik_update_bench"
        write_files(install, {rel: f"# 1.0 {rel}\n".encode() for rel in rels})
        (install / APP).write_text(EXE_SCRIPT)
        (install / APP).chmod(0o755)
        write_manifest(install / manifest_name, "1.0", {})
        write_files(stage, {rel: f"# 2.0 {rel}\n".encode() for rel in rels})
        write_manifest(stage / manifest_name, "2.0", {})
        sys.executable = str(install / APP)
        script = au._generate_update_script(str(install), str(stage), [], manifest_name, str(install / APP))
        points = sum(1 for l in Path(script).read_text().split("\n") if l.startswith(("    put ", "    off ")))
        os.sync()
        t = time.perf_counter()
        stops = f"{points + 1} {points + 2}"  # after the last rename; after the sync and the journal's "swapped"
        proc = subprocess.Popen(["bash", script], env={**os.environ, "TARVIK_UPDATE_TEST_STOP": stops})
        wait_stopped(proc)
        swap_times.append(time.perf_counter() - t)
        proc.send_signal(signal.SIGCONT)
        while stopped(proc.pid):
            time.sleep(0.001)
        wait_stopped(proc)
        durable_times.append(time.perf_counter() - t)
        proc.send_signal(signal.SIGCONT)
        proc.wait(timeout=120)
        if (install / rels[-1]).read_bytes() != f"# 2.0 {rels[-1]}\n".encode():
            sys.exit("the swap did not install the new files")

        # the reference: the same staged tree, copied whole
        write_files(stage, {rel: f"# 2.0 {rel}\n".encode() for rel in rels})
        write_manifest(stage / manifest_name, "2.0", {})
        os.sync()
        t = time.perf_counter()
        subprocess.run(["cp", "-r", str(stage), str(root / "copy")], check=True)
        copy_times.append(time.perf_counter() - t)
    swap_s, copy_s = statistics.median(swap_times), statistics.median(copy_times)
    durable_s = statistics.median(durable_times)
    print(f"swap of a {n_files}-file update (median of {repeat}):")
    print(f"  journaled swap      {swap_s:8.3f} s  (until the last rename)")
    print(f"  ... and on disk     {durable_s:8.3f} s  (folders synced, \"swapped\" journaled)")
    print(f"  cp -r staged tree   {copy_s:8.3f} s  (nothing synced)")
    print(f"  ratio               {swap_s / copy_s:8.2f}x  (target <= 1.5x); with the sync {durable_s / copy_s:.2f}x")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-mib", type=int, default=200)
    ap.add_argument("--files", type=int, default=5000)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--swap-files", type=int, default=10000)
    ap.add_argument("--only-swap", action="store_true", help="measure only the swap")
    args = ap.parse_args()
    manifest_name, display = labels()
    real_executable = sys.executable
    with tempfile.TemporaryDirectory(prefix="bench_update_") as tmp:
        work = Path(tmp)
        (work / "www").mkdir()
        os.environ["TMPDIR"] = str(work)
        try:
            srv = FaultServer(port=8000, root=work / "www")
        except RuntimeError as e:
            sys.exit(str(e))
        try:
            if not args.only_swap:
                delta_update(work, srv, args.size_mib, args.repeat, manifest_name, display)
                up_to_date(work, args.files, args.repeat, manifest_name)
            swap(work, args.swap_files, min(args.repeat, 3), manifest_name)
        finally:
            srv.close()
            sys.executable = real_executable


if __name__ == "__main__":
    main()
