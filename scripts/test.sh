#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test; then runs the core tests again under
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, fuzzes the zip extraction, and
# builds the 32-bit Windows program and runs its tests under Wine (a 64-bit build under wine64
# where this machine cannot run 32-bit programs).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

echo "== Build and test =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== Sanitizer build and test =="
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DLAUNCHER_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

echo "== Fuzzing the zip extraction (60 s) =="
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DLAUNCHER_FUZZ=ON -DLAUNCHER_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target unzip_fuzz make_fuzz_seeds
fuzz/run.sh build-fuzz 60

echo "== Windows build and test (Wine) =="
scripts/build-windows.sh
# Wine runs 32-bit Windows programs in a 32-bit Linux process; a kernel without IA-32 execution
# (some virtual machines) refuses those with "Exec format error". launcher.exe is still built and
# its imports checked above. Its tests then run as a 64-bit build under wine64 instead: the same
# code and tests, bar what only a 32-bit program has.
if ! probe=$(wine --version 2>&1); then
    echo "Windows tests NOT run as a 32-bit build: this machine cannot start Wine's 32-bit loader (${probe##*: })."
    echo "Windows tests run as a 64-bit build under wine64: this machine cannot run 32-bit programs"
    scripts/build-windows.sh --arch x86_64
    status=0
    ctest --test-dir build-windows64 --output-on-failure -j "$jobs" || status=$?
    scripts/wine64-run.sh --wait
    exit "$status"
fi
status=0
ctest --test-dir build-windows --output-on-failure -j "$jobs" || status=$?
# Wine's server lingers a few seconds after its last program; leave nothing running.
scripts/wine-run.sh --wait
exit "$status"
