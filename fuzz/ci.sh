#!/usr/bin/env bash
# A short run of every fuzz target (default 20 s each); installs clang and its
# runtime (Debian packages) when missing. Prints the execution count of each run.
# The runs start from the committed corpus with a fixed seed (FUZZ_SEED, default
# 1), so that CI explores the same inputs on every run and a finding is
# reproducible; long runs (fuzz/run.sh) take a random seed.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
missing=()
for p in clang libclang-rt-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
bash "$here/fuzz/build.sh"
logs="$here/_build/fuzz/logs"
mkdir -p "$logs"
status=0
for src in "$here"/fuzz/targets/*.cpp; do
  t=$(basename "$src" .cpp)
  if bash "$here/fuzz/run.sh" "$t" "$seconds" -seed="${FUZZ_SEED:-1}" >"$logs/$t.log" 2>&1; then
    echo "[fuzz $t] $(grep -h 'stat::number_of_executed_units' "$logs/$t.log" | awk '{print $2}') executions, no finding"
  else
    echo "[fuzz $t] FINDING (log: $logs/$t.log; input in _build/fuzz/crashes/):" >&2
    grep -E "differs|ERROR|SUMMARY|runtime error|Assertion" "$logs/$t.log" | head -5 >&2
    status=1
  fi
done
exit $status
