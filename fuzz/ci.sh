#!/usr/bin/env bash
# A short run of every fuzz target (default 20 s each); installs clang and its
# runtime (Debian packages) when missing. Prints the execution count of each run.
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
for src in "$here"/fuzz/targets/*.cpp; do
  t=$(basename "$src" .cpp)
  bash "$here/fuzz/run.sh" "$t" "$seconds" 2>&1 | grep -E "stat::number_of_executed_units|ERROR|differs|SUMMARY" | sed "s/^/[fuzz $t] /"
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "[fuzz $t] failed" >&2; exit 1; }
done
