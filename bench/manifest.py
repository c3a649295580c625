"""Benchmark of tarvik_cmd.build.generate_manifest.

Generates two distributions in a temporary directory, both with a .gitignore:
a small-file tree (20,000 files below 8 MiB) and a large-file tree (files of
8 MiB and more, --size-gib in total). Each is scanned, in child processes of
this run, by

- generate_manifest (the library),
- a straightforward Python implementation of the same manifest (os.walk,
  hashlib, fnmatch), and
- for the large-file tree, one `openssl dgst -sha256` pass over the same files,
  and the same files split between two `openssl dgst` processes run at once
  (the two-core reference). The block-level entries need two digests of every
  byte; the library keeps both in one pass and shares the files between two
  threads.

A third tree holds one large file alone (--single-mib), against one openssl
pass over it: there the second thread only reads ahead.

Prints the times, the ratios against those references and the peak RSS of
the generate_manifest child. Targets: at most 0.15x the Python time on the
small-file tree, at most 0.8x one OpenSSL pass on the large-file tree, peak
RSS under 64 MiB.

    .venv/bin/python bench/manifest.py [--size-gib 1] [--small-files 20000] [--repeat 3]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

MiB = 1048576
ROOT = Path(__file__).resolve().parents[1]

GITIGNORE = "*.pyc\n__pycache__/\n# runtime folders\nlogs/\n*.log\ndocs/*.md\n"

LIBRARY_CHILD = textwrap.dedent("""\
    import json, os, sys, time
    from tarvik_cmd.build import generate_manifest
    os.chdir(sys.argv[1])
    t = time.perf_counter()
    generate_manifest("Bench", "1.0", "linux", "x64", sys.argv[2])
    elapsed = time.perf_counter() - t
    print(json.dumps({"seconds": elapsed}))
""")

PYTHON_CHILD = textwrap.dedent("""\
    import fnmatch, hashlib, json, os, sys, time
    BLOCK_SIZE, BLOCK_THRESHOLD = 1048576, 8388608

    def load_gitignore(dist_dir):
        patterns = []
        for p in (os.path.join(dist_dir, ".gitignore"), ".gitignore"):
            if os.path.exists(p):
                with open(p, encoding="utf-8") as f:
                    for line in f:
                        line = line.strip()
                        if line and not line.startswith("#"):
                            patterns.append(line)
        return patterns

    def is_ignored(rel, patterns):
        if "node_modules" in rel.split("/"):
            return True
        base = rel.rsplit("/", 1)[-1]
        for pat in patterns:
            if fnmatch.fnmatch(rel, pat) or fnmatch.fnmatch(base, pat):
                return True
            if pat.endswith("/"):
                d = pat.rstrip("/")
                if rel.startswith(d + "/") or ("/" + d + "/") in rel:
                    return True
        return False

    def manifest(dist_dir, name):
        patterns = load_gitignore(dist_dir)
        files = {}
        for root, dirs, names in os.walk(dist_dir):
            for fn in names:
                if fn == name:
                    continue
                full = os.path.join(root, fn)
                rel = os.path.relpath(full, dist_dir).replace(os.sep, "/")
                if is_ignored(rel, patterns):
                    continue
                size = os.path.getsize(full)
                if size >= BLOCK_THRESHOLD:
                    whole, blocks = hashlib.sha256(), []
                    with open(full, "rb") as f:
                        while True:
                            piece = f.read(BLOCK_SIZE)
                            if not piece:
                                break
                            whole.update(piece)
                            blocks.append(hashlib.sha256(piece).hexdigest())
                    files[rel] = {"size": size, "sha256": whole.hexdigest(), "block_size": BLOCK_SIZE,
                                  "blocks": blocks}
                else:
                    with open(full, "rb") as f:
                        files[rel] = hashlib.sha256(f.read()).hexdigest()
        return files

    os.chdir(sys.argv[1])
    t = time.perf_counter()
    files = manifest(os.path.join("build", sys.argv[2]), "manifest--Bench-linux-x64.json")
    elapsed = time.perf_counter() - t
    with open(sys.argv[3], "w", encoding="utf-8") as f:
        json.dump(files, f)
    print(json.dumps({"seconds": elapsed}))
""")


def make_small_tree(dist, count):
    (dist / ".gitignore").write_text(GITIGNORE, encoding="utf-8")
    seed = os.urandom(8192)
    for i in range(count):
        sub = dist / f"pkg{i % 40:02}" / f"mod{(i // 40) % 25:02}"
        if i < 1000:
            sub.mkdir(parents=True, exist_ok=True)
        ext = ".pyc" if i % 50 == 0 else ".log" if i % 97 == 0 else ".py"
        size = 64 + (i * 7919) % 8000
        (sub / f"f{i:05}{ext}").write_bytes(seed[: size % 8192] + i.to_bytes(4, "little"))


def make_large_tree(dist, total_bytes):
    (dist / ".gitignore").write_text(GITIGNORE, encoding="utf-8")
    (dist / "lib").mkdir()
    chunk = os.urandom(MiB)
    sizes = [8 * MiB, 8 * MiB + 1, 24 * MiB + 12345, 64 * MiB, 100 * MiB + 7]
    written, i = 0, 0
    while written < total_bytes:
        size = min(sizes[i % len(sizes)], max(8 * MiB, total_bytes - written))
        with open(dist / "lib" / f"blob{i:03}.bin", "wb") as f:
            left = size
            while left:
                n = min(left, MiB)
                f.write(chunk[:n])
                left -= n
            f.write(b"")
        written += size
        i += 1
    return written


def run_child(args, env):
    """Runs a child, returns (its JSON answer, its peak RSS in MiB)."""
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, env=env)
    out = proc.stdout.read()
    proc.stdout.close()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"child failed: {args[:3]} exit {proc.returncode}")
    answer = json.loads(out.decode().strip().splitlines()[-1])
    return answer, usage.ru_maxrss / 1024  # KiB on Linux


def openssl_pass(files):
    t = time.perf_counter()
    subprocess.run(["openssl", "dgst", "-sha256", *map(str, files)], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t


def openssl_two_processes(files):
    """The files split by size between two openssl processes that run at once."""
    halves, sizes = ([], []), [0, 0]
    for f in sorted(files, key=lambda f: f.stat().st_size, reverse=True):
        i = 0 if sizes[0] <= sizes[1] else 1
        halves[i].append(str(f))
        sizes[i] += f.stat().st_size
    t = time.perf_counter()
    procs = [subprocess.Popen(["openssl", "dgst", "-sha256", *half], stdout=subprocess.DEVNULL) for half in halves]
    if any(p.wait() != 0 for p in procs):
        raise SystemExit("openssl dgst failed")
    return time.perf_counter() - t


def child_env():
    env = dict(os.environ)
    dev = env.get("TARVIK_DEV_BUILD")
    if dev:  # the package sources, with the native module of that build
        env["TARVIK_DEV_BUILD"] = str(Path(dev).resolve())
    paths = [str(ROOT / "python")] if dev else []
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def measure(workdir, folder, repeat, env):
    lib_times, py_times, peak = [], [], 0.0
    py_out = workdir / "python-files.json"
    for _ in range(repeat):
        answer, rss = run_child([sys.executable, "-c", LIBRARY_CHILD, str(workdir), folder], env)
        lib_times.append(answer["seconds"])
        peak = max(peak, rss)
        answer, _ = run_child([sys.executable, "-c", PYTHON_CHILD, str(workdir), folder, str(py_out)], env)
        py_times.append(answer["seconds"])
    ours = json.loads((workdir / "build" / folder / "manifest--Bench-linux-x64.json").read_text("utf-8"))["files"]
    if ours != json.loads(py_out.read_text("utf-8")):
        raise SystemExit(f"{folder}: the library's manifest differs from the Python reference")
    return min(lib_times), min(py_times), peak, len(ours)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-gib", type=float, default=1.0, help="bytes in the large-file tree")
    parser.add_argument("--small-files", type=int, default=20000)
    parser.add_argument("--single-mib", type=int, default=512, help="size of the file of the one-file tree")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the fastest counts")
    parser.add_argument("--dir", help="where to generate the trees (default: a temporary directory)")
    opts = parser.parse_args()

    workdir = Path(tempfile.mkdtemp(prefix="tarvik_bench_", dir=opts.dir))
    env = child_env()
    try:
        small = workdir / "build" / "Small"
        large = workdir / "build" / "Large"
        single = workdir / "build" / "Single"
        for d in (small, large, single):
            d.mkdir(parents=True)
        t = time.perf_counter()
        make_small_tree(small, opts.small_files)
        total = make_large_tree(large, int(opts.size_gib * 1024 * MiB))
        with open(single / "data.bin", "wb") as f:
            chunk = os.urandom(MiB)
            for _ in range(opts.single_mib):
                f.write(chunk)
        print(f"generated {opts.small_files} small files and {total / MiB:.0f} MiB of large files "
              f"in {time.perf_counter() - t:.1f} s (cpus: {os.cpu_count()})")

        big_files = sorted((large / "lib").iterdir())
        openssl_pass(big_files)  # warm the page cache for every contender
        lib_s, py_s, rss_s, n_s = measure(workdir, "Small", opts.repeat, env)
        lib_l, py_l, rss_l, n_l = measure(workdir, "Large", opts.repeat, env)
        ssl_l = min(openssl_pass(big_files) for _ in range(opts.repeat))
        ssl2_l = min(openssl_two_processes(big_files) for _ in range(opts.repeat))
        openssl_pass([single / "data.bin"])
        lib_1, _, rss_1, _ = measure(workdir, "Single", opts.repeat, env)
        ssl_1 = min(openssl_pass([single / "data.bin"]) for _ in range(opts.repeat))

        print(f"small-file tree ({n_s} entries): library {lib_s:.3f} s, python {py_s:.3f} s, "
              f"ratio {lib_s / py_s:.2f}x python (target <= 0.15x)")
        print(f"large-file tree ({n_l} entries, {total / MiB:.0f} MiB): library {lib_l:.3f} s, "
              f"openssl one pass {ssl_l:.3f} s, openssl on two processes {ssl2_l:.3f} s, python {py_l:.3f} s")
        print(f"  ratio {lib_l / ssl_l:.2f}x one openssl pass (target <= 0.8x), "
              f"{lib_l / ssl2_l:.2f}x openssl on two processes, {lib_l / py_l:.2f}x python")
        print(f"one file of {opts.single_mib} MiB: library {lib_1:.3f} s, openssl one pass {ssl_1:.3f} s, "
              f"ratio {lib_1 / ssl_1:.2f}x")
        print(f"peak RSS of the generate_manifest child: {max(rss_s, rss_l, rss_1):.1f} MiB "
              f"(small tree {rss_s:.1f}, large tree {rss_l:.1f}, one file {rss_1:.1f}; target < 64 MiB)")
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
