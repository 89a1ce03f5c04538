#!/usr/bin/env bash
# A longer fuzzing run of the zip extraction than scripts/test.sh does.
# usage: bench/fuzz_unzip.sh [seconds, default 1800]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DLAUNCHER_FUZZ=ON -DLAUNCHER_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j 2 --target unzip_fuzz make_fuzz_seeds
fuzz/run.sh build-fuzz "${1:-1800}"
