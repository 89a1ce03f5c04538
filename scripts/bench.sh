#!/usr/bin/env bash
# Builds and runs the benchmarks on a private X server (1920x1080, black root, no window manager).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j 2 --target launcher tick_bench idle_bench bench_launcher bare_window first_frame_bench

screen=(-s "-screen 0 1920x1080x24 -br")
xvfb-run -a "${screen[@]}" build/bench/tick_bench "${1:-2000}"
xvfb-run -a "${screen[@]}" build/bench/idle_bench
xvfb-run -a "${screen[@]}" build/bench/first_frame_bench build/bench/bench_launcher build/bench/bare_window "${2:-15}"
