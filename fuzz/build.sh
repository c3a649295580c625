#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into BUILD_DIR (default _build/fuzz):
#   fuzz/build.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/_build/fuzz}"
py="$here/.venv/bin/python"
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$py" -DTARVIK_FUZZ=ON >/dev/null
targets=()
for src in "$here"/fuzz/targets/*.cpp; do targets+=("fuzz_$(basename "$src" .cpp)"); done
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"
