#!/usr/bin/env bash
# Incremental developer build of the native module outside pip:
#   scripts/dev-build.sh BUILD_DIR ["core-extra;subsystems"]
# then run tests with: PYTHONPATH=BUILD_DIR .venv/bin/python -m pytest ...
# (tests/conftest.py puts python/ and devkit/ on the path itself).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?build dir}"
subs="${2:-scaffold;build;publish;update;admin}"
py="$here/.venv/bin/python"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$py" -DTARVIK_SUBSYSTEMS="$subs" >/dev/null
cmake --build "$build" -j 2
