#!/usr/bin/env bash
# Sets everything up, builds Tovarin and starts its window.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

tools/setup.sh run
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target tovarin tovarin-crawl
exec build/release/app/tovarin
