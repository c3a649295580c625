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
   json.loads of the same manifest, in this process. Then the same check by
   an installation that pins a signing key: the signed statement is fetched
   and verified, and when it names the installed version the manifest is not
   read at all; the time of the signed check and of one verification are
   reported.

3. Many small files over a slow link: an update of --many-files changed 8 KiB
   files from the development server answering every request --delay-ms late,
   fetched over one connection one after another (TARVIK_UPDATE_CONNECTIONS=1)
   against the connection pool, with the same bytes on the wire.

3. Swap: the update script's journaled swap of a --swap-files update (every
   file changed, staged in the installation's update folder) into the
   installation, from the script's start until the last rename
   (the script stops itself there through its test hook) and until the
   swapped folders are synced to disk, against a plain `cp -r` of the same
   staged tree in the same run (which syncs nothing).

Targets: at most 1.5% of the full bytes; the delta update within 4x one
OpenSSL pass; the up-to-date check within 1.2x the plain GET; the pool at
least 5x faster than one connection; the swap within 1.5x the plain copy.
Signed or not, the up-to-date check stays within 1.2x the plain GET
(verification adds under 1 ms).

The servers listen on the built-in base URL, 127.0.0.1:8000.

    .venv/bin/python bench/update.py [--size-mib 200] [--files 5000] [--repeat 5]
                                     [--many-files 2000] [--delay-ms 50] [--swap-files 10000]
                                     [--only delta|uptodate|many|swap]
"""
import argparse
import contextlib
import hashlib
import io
import json
import logging
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
if _dev:  # the package sources, with the native module of that build
    os.environ["TARVIK_DEV_BUILD"] = str(Path(_dev).resolve())
sys.path[:0] = ([str(ROOT / "python")] if _dev else []) + [str(ROOT / "tests"), str(ROOT / "devkit")]

from devserver_process import DevServerProcess, find_devserver  # noqa: E402
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
    (www / "auth").mkdir(parents=True, exist_ok=True)
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
    repeat = max(repeat, 25)  # a few milliseconds each: more runs steady the medians
    plain_s = median_time(plain, repeat)
    check_s = median_time(check, repeat)

    # The same check by an installation that pins a key: the statement beside
    # the served manifest is fetched and verified first.
    from tarvik_cmd import signing
    signed = work / "install3"
    signed.mkdir()
    (signed / APP).write_text(EXE_SCRIPT)
    key = str(work / "bench-key.pem")
    with contextlib.redirect_stdout(io.StringIO()):
        pub = signing.generate_key(key)
    (signed / signing.PINNED_KEY_FILE).write_text(pub)
    write_manifest(signed / manifest_name, "1.0", files)
    signing.sign_manifest(str(signed / manifest_name), key, counter=1)
    signing.sign_manifest(str(www / "auth" / manifest_name), key, counter=2)
    sys.executable = str(signed / APP)
    check()
    signed_s = median_time(check, repeat)
    plain_again = median_time(plain, repeat)
    statement = (www / "auth" / (manifest_name + signing.STATEMENT_SUFFIX)).read_text()
    t = time.perf_counter()
    for _ in range(1000):
        signing.verify_statement(statement, pub)
    verify_us = (time.perf_counter() - t) / 1000 * 1e6
    print(f"up-to-date check of a {n_files}-file installation (median of {repeat}):")
    print(f"  check_update        {check_s * 1000:8.1f} ms")
    print(f"  signed check_update {signed_s * 1000:8.1f} ms  (the signed statement, verified, stands in for the "
          f"manifest: {(signed_s - check_s) * 1000:+.2f} ms against unsigned)")
    print(f"  statement verify    {verify_us:8.1f} us  (parse and Ed25519 check; target < 1 ms)")
    print(f"  urllib GET + json   {plain_s * 1000:8.1f} ms")
    print(f"  ratio               {check_s / plain_s:8.2f}x  (target <= 1.2x)")
    print(f"  ratio, signed       {signed_s / plain_again:8.2f}x  (target <= 1.2x)")


def many_small_files(work, server, n_files, delay_ms, manifest_name, display):
    """Updates back and forth between two versions whose n_files 8 KiB files all
    differ: first over one connection, then over the pool."""
    key = "bench"
    install, root = work / "install4", work / "devroot"
    channel = root / key / "media" / "update"
    install.mkdir()
    exe = install / APP
    exe.write_text(EXE_SCRIPT)
    exe.chmod(0o755)
    (install / "build.json").write_text(json.dumps({"COMMUNITY_KEY": key}))
    exe_hash = hashlib.sha256(EXE_SCRIPT.encode()).hexdigest()
    rng = random.Random(3)
    entries = {}
    for version in ("1.0", "2.0"):
        folder = channel / f"{APP}-{version}-{display}"
        files = {APP: exe_hash}
        for i in range(n_files):
            rel = f"lib/p{i // 100:02d}/f{i:05d}.bin"
            data = rng.randbytes(8192)
            (folder / rel).parent.mkdir(parents=True, exist_ok=True)
            (folder / rel).write_bytes(data)
            files[rel] = hashlib.sha256(data).hexdigest()
        (folder / APP).write_text(EXE_SCRIPT)
        entries[version] = files
        if version == "1.0":
            for rel in files:
                if rel != APP:
                    (install / rel).parent.mkdir(parents=True, exist_ok=True)
                    (install / rel).write_bytes((folder / rel).read_bytes())
    write_manifest(install / manifest_name, "1.0", entries["1.0"])
    srv = DevServerProcess(server, root, port=8000, extra_args=["--delay-ms", str(delay_ms)])
    sys.executable = str(exe)
    results = {}
    current = "1.0"
    try:
        for mode, connections in (("one connection", "1"), ("pool", None)):
            target = "2.0" if current == "1.0" else "1.0"
            write_manifest(channel / manifest_name, target, entries[target])
            if connections:
                os.environ["TARVIK_UPDATE_CONNECTIONS"] = connections
            else:
                os.environ.pop("TARVIK_UPDATE_CONNECTIONS", None)
            first = len(srv.log)
            t = time.perf_counter()
            started = quiet(au.check_update, APP, current)
            elapsed = time.perf_counter() - t
            if not started:
                sys.exit(f"the many-file update ({mode}) did not start")
            wait_for_script(install)
            time.sleep(0.5)  # the log reader catches up
            lines = [l for l in srv.log[first:] if l.startswith("GET ") and f"-{target}-" in l]
            wire = sum(int(l.rsplit("bytes=", 1)[1].split()[0]) for l in lines if "bytes=" in l)
            results[mode] = (elapsed, len(lines), wire)
            current = target
    finally:
        os.environ.pop("TARVIK_UPDATE_CONNECTIONS", None)
        srv.stop()
    print(f"update of {n_files} changed 8 KiB files, {delay_ms} ms added to every answer:")
    for mode, (elapsed, requests, wire) in results.items():
        print(f"  {mode:<15} {elapsed:8.2f} s  {requests} file requests, {wire:,d} body bytes")
    one, pool = results["one connection"][0], results["pool"][0]
    print(f"  speed-up         {one / pool:8.2f}x  (target >= 5x)")


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
    ap.add_argument("--many-files", type=int, default=2000)
    ap.add_argument("--delay-ms", type=int, default=50)
    ap.add_argument("--swap-files", type=int, default=10000)
    ap.add_argument("--only", choices=["delta", "uptodate", "many", "swap"])
    args = ap.parse_args()
    logging.basicConfig(handlers=[logging.NullHandler()])  # the unsigned check's warning, once per call
    manifest_name, display = labels()
    real_executable = sys.executable
    server = find_devserver()  # beside the real interpreter: the parts below replace sys.executable
    if server is None and args.only in (None, "many"):
        sys.exit("tarvik-devserver is not installed beside this interpreter")
    with tempfile.TemporaryDirectory(prefix="bench_update_") as tmp:
        work = Path(tmp)
        (work / "www").mkdir()
        os.environ["TMPDIR"] = str(work)
        try:
            if args.only in (None, "delta", "uptodate"):
                try:
                    srv = FaultServer(port=8000, root=work / "www")
                except RuntimeError as e:
                    sys.exit(str(e))
                try:
                    if args.only in (None, "delta"):
                        delta_update(work, srv, args.size_mib, args.repeat, manifest_name, display)
                    if args.only in (None, "uptodate"):
                        up_to_date(work, args.files, args.repeat, manifest_name)
                finally:
                    srv.close()
            if args.only in (None, "many"):
                many_small_files(work, server, args.many_files, args.delay_ms, manifest_name, display)
            if args.only in (None, "swap"):
                swap(work, args.swap_files, min(args.repeat, 3), manifest_name)
        finally:
            sys.executable = real_executable


if __name__ == "__main__":
    main()
