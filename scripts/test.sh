#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test; then runs the core tests again under
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, the extraction's tests under
# ThreadSanitizer, fuzzes the zip extraction, and
# builds the 32-bit Windows program and runs its tests under Wine (under a CPU emulator where this
# machine runs no 32-bit program, and a 64-bit build under wine64 where it cannot emulate one or
# apt cannot install the 32-bit Wine).
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

echo "== ThreadSanitizer build and the extraction's tests =="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAUNCHER_SANITIZE=thread \
    -DLAUNCHER_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "$jobs" --target unzip_tests unzip_threads_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -R Unzip --output-on-failure -j "$jobs"

echo "== Fuzzing the zip extraction (60 s) =="
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DLAUNCHER_FUZZ=ON -DLAUNCHER_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target unzip_fuzz make_fuzz_seeds
fuzz/run.sh build-fuzz 60

echo "== Windows build and test (Wine) =="
scripts/build-windows.sh
# The program that ships is tested wherever 32-bit programs run, natively or under a CPU
# emulator: scripts/run-32bit.sh decides which. Only where neither works does the same code,
# built for 64-bit Windows, stand in under wine64 (launcher.exe is still built and its imports
# checked above). Where apt cannot install the 32-bit Wine, build-windows.sh has said why.
found=0
if [ -f build-windows/wine32-unavailable ]; then
    how=$(cat build-windows/wine32-unavailable)
    found=1
else
    how=$(scripts/run-32bit.sh --check) || found=$?
fi
# The install of a package past 2 GiB, cut and resumed past 2 GiB, writes over 4 GB and takes under
# a minute where Wine runs natively; under the emulator it would take many.
if [ "$found" -eq 1 ] || [ "$how" = natively ]; then
    export LAUNCHER_LARGE_TESTS=1
fi
if [ "$found" -eq 1 ]; then
    echo "Windows tests run as a 64-bit build under wine64: $how"
    scripts/build-windows.sh --arch x86_64
    status=0
    ctest --test-dir build-windows64 --output-on-failure -j "$jobs" || status=$?
    scripts/wine64-run.sh --wait
    exit "$status"
elif [ "$found" -ne 0 ]; then
    exit "$found"
fi
echo "Windows tests run as the 32-bit build, $how"
if [ "$how" != natively ]; then
    # Where only the emulator runs 32-bit programs, the 64-bit stand-in keeps building and
    # passing, for machines that can do neither. Built first: it brings wine64, whose server
    # Debian's Wine then starts for 32-bit programs too, natively rather than emulated.
    scripts/build-windows.sh --arch x86_64
fi
status=0
# A prefix made under the emulator takes minutes: made first, it holds up no test program's
# discovery, which waits 2 minutes at most.
scripts/run-32bit.sh scripts/wine-run.sh --prepare
scripts/run-32bit.sh ctest --test-dir build-windows --output-on-failure -j "$jobs" || status=$?
# Wine's server lingers a few seconds after its last program; leave nothing running.
scripts/run-32bit.sh scripts/wine-run.sh --wait
if [ "$how" != natively ]; then
    echo "Windows tests run as a 64-bit build under wine64 too"
    ctest --test-dir build-windows64 --output-on-failure -j "$jobs" || status=$?
    scripts/wine64-run.sh --wait
fi
exit "$status"
