#!/usr/bin/env bash
# The library built with AddressSanitizer and UndefinedBehaviorSanitizer (and
# the fuzz corpus replay drivers), then the whole test suite against it: the
# module is loaded into the test interpreter and into every child interpreter
# with the sanitizer runtimes preloaded. Any sanitizer report, from any process,
# fails the run.
#   scripts/sanitize.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${SANITIZE_BUILD:-_build/sanitize}"
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd)}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(pwd)/.venv/bin/python" \
  -DTARVIK_SANITIZE=ON -DTARVIK_WERROR=ON -DTARVIK_FUZZ_REPLAY=ON >/dev/null
cmake --build "$build" -j "${JOBS:-2}"

reports="$(pwd)/$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
# System tools that the tests' child processes run get no runtime: procps'
# pgrep hangs on a futex with the sanitizer runtime preloaded.
shims="$(pwd)/$build/unsanitized-tools"
mkdir -p "$shims"
for tool in pgrep pkill ps; do
  real="$(command -v "$tool" || true)"
  [ -n "$real" ] || continue
  printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$shims/$tool"
  chmod +x "$shims/$tool"
done
export PATH="$shims:$PATH"
cc="${CXX:-g++}"
LD_PRELOAD="$($cc -print-file-name=libasan.so) $($cc -print-file-name=libubsan.so)"
export LD_PRELOAD
# The interpreter keeps its allocations until exit: no leak report for it.
export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan:${UBSAN_OPTIONS:-}"
status=0
TARVIK_DEV_BUILD="$(pwd)/$build" .venv/bin/python -m pytest -q tests "$@" || status=$?
unset LD_PRELOAD
if compgen -G "$reports/*" >/dev/null; then
  echo "[sanitize] sanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
exit $status
