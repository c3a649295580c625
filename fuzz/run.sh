#!/usr/bin/env bash
# Runs one libFuzzer target for a time (built by fuzz/build.sh):
#   fuzz/run.sh TARGET SECONDS [libFuzzer options...]
# New inputs go to _build/fuzz/corpus/TARGET (the seed corpus fuzz/corpus/TARGET
# is only read); a crash input is written to _build/fuzz/crashes/ - copy it to
# fuzz/crashes/TARGET/ with the fix so that the tests replay it from then on.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
target="${1:?target}"
seconds="${2:?seconds}"
shift 2
build="${FUZZ_BUILD:-$here/_build/fuzz}"
work="$build/corpus/$target"
mkdir -p "$work" "$build/crashes"
# The embedded interpreter allocates for the life of the process.
export ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
seeds=("$here/fuzz/corpus/$target")
[ -d "$here/fuzz/crashes/$target" ] && seeds+=("$here/fuzz/crashes/$target")
exec "$build/fuzz/fuzz_$target" "$work" "${seeds[@]}" -max_total_time="$seconds" \
  -artifact_prefix="$build/crashes/$target-" -max_len=4096 -timeout=20 -print_final_stats=1 "$@"
