#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each on a copy of its seed
# corpus (tests/fuzz/corpus/<target>/) for a bounded time. A crash, a failed
# check, a time-out of one input or a memory blow-up fails the script; the
# input that did it is left in the work directory, whose path is printed.
#
#   tools/fuzz.sh [SECONDS_PER_TARGET [BUILD_DIR]]     (defaults: 300, build/fuzz)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-300}
build=${2:-build/fuzz}
jobs=$(nproc)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOVARIN_FUZZ=ON -DTOVARIN_WITH_UI=OFF -DTOVARIN_WITH_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzzers

work=$(mktemp -d "${TMPDIR:-/tmp}/tovarin-fuzz.XXXXXX")
echo "fuzz: work directory $work"
status=0
for seeds in tests/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  fuzzer="$build/tests/fuzz/$name"
  [[ -x "$fuzzer" ]] || { echo "fuzz: $name was not built"; status=1; continue; }
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  cp "$seeds"* "$work/$name/corpus/"
  echo "== fuzz $name for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
      -artifact_prefix="$work/$name/artifacts/" "$work/$name/corpus" >"$work/$name/log" 2>&1; then
    echo "fuzz: $name FAILED; the end of its log ($work/$name/log):"
    tail -n 40 "$work/$name/log"
    status=1
  else
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$work/$name/log" | tr '\n' ' '
    echo
  fi
done
[[ $status -eq 0 ]] && rm -rf "$work"
exit $status
