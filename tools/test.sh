#!/usr/bin/env bash
# Sets everything up and runs every test: a normal build, then the same tests
# built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

tools/setup.sh

jobs=$(nproc)

echo "== normal build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOVARIN_SANITIZE=ON -DTOVARIN_WITH_BENCH=OFF
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== fuzz smoke run (libFuzzer, 20 s per target)"
tools/fuzz.sh 20 build/fuzz
