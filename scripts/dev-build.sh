#!/usr/bin/env bash
# Incremental developer build of the native module outside pip:
#   scripts/dev-build.sh BUILD_DIR
# then run the tests against it with:
#   TARVIK_DEV_BUILD=BUILD_DIR .venv/bin/python -m pytest ...
# (tests/conftest.py then uses the package sources in python/, and the package
# takes its native module from BUILD_DIR).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?build dir}"
py="$here/.venv/bin/python"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" >/dev/null
cmake --build "$build" -j 2
