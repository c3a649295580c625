"""Smoke test of an installed wheel, run by scripts/wheel-check.sh in a venv
that holds nothing but the wheel: the package imports from site-packages, a
manifest is generated, a file is downloaded from a local HTTP server, and
libcurl and libcrypto are the copies inside the wheel, not the system's."""
import functools
import hashlib
import json
import os
import pathlib
import sys
import sysconfig
import tempfile
import threading
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

results = []


def check(name, ok, detail=""):
    results.append(ok)
    print(("ok   " if ok else "FAIL ") + name + ("" if ok or not detail else ": " + detail), flush=True)


site = sysconfig.get_paths()["platlib"]
import tarvik_cmd  # noqa: E402
from tarvik_cmd import auto_update, build  # noqa: E402

check("tarvik_cmd imports from the venv", tarvik_cmd.__file__.startswith(site), tarvik_cmd.__file__)

os.chdir(tempfile.mkdtemp(prefix="tarvik-wheel-smoke-"))
dist = pathlib.Path("build/Shop-1.0-Linux")
(dist / "lib").mkdir(parents=True)
small = b"small file\n" * 100
big = hashlib.sha256(b"seed").digest() * (9 * 1048576 // 32)  # 9 MiB: a block entry
(dist / "app.bin").write_bytes(small)
(dist / "lib" / "big.bin").write_bytes(big)
build.generate_manifest("Shop", "1.0", "linux", "x64", "Shop-1.0-Linux")
doc = json.loads((dist / "manifest--Shop-linux-x64.json").read_text("utf-8"))
files = doc.get("files", {})
check("generate_manifest: whole-file hash", files.get("app.bin") == hashlib.sha256(small).hexdigest(), str(files))
entry = files.get("lib/big.bin", {})
check("generate_manifest: block entry of a 9 MiB file",
      isinstance(entry, dict) and entry.get("sha256") == hashlib.sha256(big).hexdigest()
      and len(entry.get("blocks", [])) == 9, str(entry)[:200])

handler = functools.partial(SimpleHTTPRequestHandler, directory=str(dist))
SimpleHTTPRequestHandler.log_message = lambda *a: None
server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
try:
    url = f"http://127.0.0.1:{server.server_address[1]}/lib/big.bin"
    auto_update._download(url, "downloaded.bin")
    got = pathlib.Path("downloaded.bin").read_bytes()
    check("_download over HTTP from 127.0.0.1", got == big, f"{len(got)} bytes")
    check("_sha256_file", auto_update._sha256_file("downloaded.bin") == hashlib.sha256(big).hexdigest())
finally:
    server.shutdown()

# Linux: the libraries the module was linked with dynamically are the copies
# inside the wheel (auditwheel gives them names of their own). Python's own
# hashlib loads the system's libcrypto as well, so only libcurl must have no
# other copy. With TARVIK_SMOKE_VENDORED=1 (a wheel repaired from a build
# against shared libraries) both must be loaded from the wheel.
if sys.platform == "linux":
    loaded = {line.split()[-1] for line in open("/proc/self/maps") if ".so" in line}
    check("no libcurl from outside the wheel",
          all(p.startswith(site) for p in loaded if os.path.basename(p).startswith("libcurl")), str(loaded))
    if os.environ.get("TARVIK_SMOKE_VENDORED") == "1":
        for lib in ("libcurl", "libcrypto"):
            paths = sorted(p for p in loaded if os.path.basename(p).startswith(lib))
            check(f"{lib} is loaded from the wheel", any(p.startswith(site) for p in paths), str(paths))

failed = results.count(False)
print(f"wheel: {len(results) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)
