"""Transfer benchmark over loopback against curl, measured in the same run, with
the development update server (tarvik-devserver) on the built-in base URL.

1. Download: a --download-mib file fetched with tarvik_cmd.auto_update._download
   against `curl -o` of the same URL.
2. Publish: a --publish-mib build of --files files published with
   tarvik_cmd.publish.publish against one curl process sending the same version
   check and the same multipart batches of 100 (kept-alive connection, no
   "Expect: 100-continue").

Each side runs in its own child process; the time is taken around the
operation alone and the peak RSS of the child by GNU time (for the library it
includes the Python interpreter). Throughput ratio = curl's time /
the library's time. Targets: ratio >= 0.9 for both, peak RSS under 64 MiB.

    .venv/bin/python bench/transfer.py [--download-mib 256] [--publish-mib 1024] [--files 5000] [--repeat 3]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
_dev = os.environ.get("TARVIK_DEV_BUILD")
if _dev:  # the package sources, with the native module of that build
    os.environ["TARVIK_DEV_BUILD"] = str(Path(_dev).resolve())
_paths = ([str(ROOT / "python")] if _dev else []) + [str(ROOT / "devkit")]
sys.path[:0] = _paths + [str(ROOT / "tests")]
os.environ["PYTHONPATH"] = os.pathsep.join(_paths + [os.environ.get("PYTHONPATH", "")])

from publish_fixtures import DevServer  # noqa: E402

MiB = 1048576
BASE = "http://127.0.0.1:8000"
KEY = "bench"
APP, VERSION = "Bench", "1.0"
BATCH = 100
TIME = "/usr/bin/time"  # GNU time, for the peak RSS of each child

DOWNLOAD = """
import sys, time
from tarvik_cmd.auto_update import _download
t = time.perf_counter()
_download(sys.argv[1], sys.argv[2])
print(time.perf_counter() - t)
"""

PUBLISH = """
import contextlib, io, os, sys, time
from tarvik_cmd.publish import publish
os.chdir(sys.argv[1])
out = io.StringIO()
t = time.perf_counter()
with contextlib.redirect_stdout(out):
    ok = publish("linux", "")
elapsed = time.perf_counter() - t
if not ok:
    sys.exit(out.getvalue())
print(elapsed)
"""


def run_measured(args, work):
    """(seconds, peak RSS in MiB) of a child. The child prints the times of its
    transfers (curl through --write-out), which are added up. The
    peak RSS comes from GNU time, whose own fork is small: a child forked from
    this process would count this process's pages as its own."""
    rss_file = work / "rss.txt"
    t = time.perf_counter()
    done = subprocess.run([TIME, "-f", "%M", "-o", str(rss_file), *args], capture_output=True)
    wall = time.perf_counter() - t
    if done.returncode != 0:
        sys.exit(f"{args[0]} failed ({done.returncode}): {done.stdout.decode()[-2000:]}{done.stderr.decode()[-2000:]}")
    rss_mib = int(rss_file.read_text().split()[-1]) / 1024
    try:
        return sum(float(line) for line in done.stdout.decode().split()), rss_mib
    except ValueError:
        return wall, rss_mib


def sides(round_):
    """Who goes first alternates, so neither side always follows the other's
    disk writes."""
    return ("curl", "library") if round_ % 2 == 0 else ("library", "curl")


def write_random(path, size, chunk=MiB):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(chunk, left)
            f.write(os.urandom(n))
            left -= n


def bench_download(work, server_root, size_mib, repeat):
    folder = server_root / KEY / "media" / "update" / f"{APP}-{VERSION}-Linux"
    folder.mkdir(parents=True)
    write_random(folder / "big.bin", size_mib * MiB)
    url = f"{BASE}/{KEY}/media/update/{APP}-{VERSION}-Linux/big.bin"
    dest = work / "download" / "big.bin"
    results = {"library": [], "curl": []}
    for round_ in range(repeat + 1):  # the first round warms the page cache
        for side in sides(round_):
            if dest.exists():
                dest.unlink()
            args = (["curl", "-s", "-f", "--create-dirs", "-w", "%{time_total}\\n", "-o", str(dest), url]
                    if side == "curl"
                    else [sys.executable, "-c", DOWNLOAD, url, str(dest)])
            results[side].append(run_measured(args, work))
            if dest.stat().st_size != size_mib * MiB:
                sys.exit(f"{side} downloaded {dest.stat().st_size} bytes")
    report(f"download of a {size_mib} MiB file", results, size_mib)
    shutil.rmtree(server_root / KEY)


def make_build(ws, total_mib, n_files):
    """A build folder of n_files files adding up to total_mib, in 20 folders."""
    dist = ws / "build" / f"{APP}-{VERSION}-Linux"
    total = total_mib * MiB
    base, extra = divmod(total, n_files)
    files = {}
    block = os.urandom(4 * MiB)
    for i in range(n_files):
        rel = f"lib/pkg{i % 20:02d}/file{i:05d}.bin"
        size = base + (1 if i < extra else 0)
        path = dist / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "wb") as f:
            offset = (i * 7919) % MiB
            left = size
            while left:
                piece = block[offset:offset + min(left, len(block) - offset)]
                f.write(piece)
                left -= len(piece)
                offset = 0
        files[rel] = "0" * 64
    manifest = {"app_name": APP, "version": VERSION, "os": "linux", "arch": "x64", "files": files}
    name = f"manifest--{APP}-linux-x64.json"
    for target in (ws / "build" / name, dist / name):
        target.write_text(json.dumps(manifest, indent=2), encoding="utf-8")
    (dist / "build.json").write_text(json.dumps({"COMMUNITY_KEY": KEY}), encoding="utf-8")
    return dist, ws / "build" / name


def curl_config(work, dist, manifest_path):
    """One curl run doing what publish does: the check, then the batches."""
    entries = [("manifest", manifest_path.name, manifest_path)]
    for top, dirs, files in os.walk(dist):
        dirs[:] = [d for d in dirs if d != "media"]
        for f in files:
            rel = os.path.relpath(os.path.join(top, f), dist).replace(os.sep, "/")
            entries.append((rel, rel, Path(top) / f))
    url = f"{BASE}/auth/{KEY}/"
    each = ['output = "/dev/null"', 'write-out = "%{time_total}\\n"', "silent", "fail"]
    lines = [f'url = "{url}"', *each]
    for start in range(0, len(entries), BATCH):
        lines += ["next", f'url = "{url}"', *each, 'header = "Expect:"']
        for field, filename, path in entries[start:start + BATCH]:
            lines.append(f'form = "{field}=@{path};filename={filename};type=application/octet-stream"')
    config = work / "curl-publish.conf"
    config.write_text("\n".join(lines) + "\n")
    return config, len(entries)


def bench_publish(work, server_root, total_mib, n_files, repeat):
    ws = work / "ws"
    dist, manifest_path = make_build(ws, total_mib, n_files)
    config, n_entries = curl_config(work, dist, manifest_path)
    stored = server_root / KEY / "media" / "update" / f"{APP}-{VERSION}-Linux"
    results = {"library": [], "curl": []}
    for round_ in range(repeat + 1):
        for side in sides(round_):
            shutil.rmtree(server_root / KEY, ignore_errors=True)
            os.sync()
            args = (["curl", "-K", str(config)] if side == "curl"
                    else [sys.executable, "-c", PUBLISH, str(ws)])
            results[side].append(run_measured(args, work))
            count = sum(len(files) for _, _, files in os.walk(stored))
            if count != n_entries - 1:
                sys.exit(f"{side}: the server holds {count} files, expected {n_entries - 1}")
    report(f"publishing a {total_mib} MiB build of {n_files} files ({n_entries} entries)", results, total_mib)
    shutil.rmtree(server_root / KEY, ignore_errors=True)


def report(title, results, mib):
    lib_s = statistics.median(t for t, _ in results["library"][1:])
    curl_s = statistics.median(t for t, _ in results["curl"][1:])
    lib_rss = max(r for _, r in results["library"])
    curl_rss = max(r for _, r in results["curl"])
    rounds = len(results["library"]) - 1
    print(f"{title} (median of {rounds}):")
    print(f"  library   {lib_s:8.3f} s  {mib / lib_s:8.1f} MiB/s  peak RSS {lib_rss:6.1f} MiB (target < 64)")
    print(f"  curl      {curl_s:8.3f} s  {mib / curl_s:8.1f} MiB/s  peak RSS {curl_rss:6.1f} MiB")
    print(f"  ratio     {curl_s / lib_s:8.2f}x of curl's throughput (target >= 0.9x)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--download-mib", type=int, default=256)
    ap.add_argument("--publish-mib", type=int, default=1024)
    ap.add_argument("--files", type=int, default=5000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    if not shutil.which("curl") or not os.access(TIME, os.X_OK):
        sys.exit(f"curl (the reference) and GNU time ({TIME}) are needed")
    with tempfile.TemporaryDirectory(prefix="bench_transfer_") as tmp:
        work = Path(tmp)
        server_root = work / "served"
        srv = DevServer(server_root, port=8000)
        try:
            bench_download(work, server_root, args.download_mib, args.repeat)
            bench_publish(work, server_root, args.publish_mib, args.files, args.repeat)
        finally:
            srv.stop()


if __name__ == "__main__":
    main()
