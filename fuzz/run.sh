#!/usr/bin/env bash
# Runs the zip extraction fuzzer for a number of seconds from our seed corpus.
# usage: fuzz/run.sh <fuzz build folder> <seconds>
# The build folder is configured with clang and LAUNCHER_FUZZ=ON (see scripts/test.sh).
set -euo pipefail
build=$1
seconds=$2
work="$build/fuzz-run"
mkdir -p "$work/seeds" "$work/corpus"
"$build/fuzz/make_fuzz_seeds" "$work/seeds"
# New inputs go to corpus/, which later runs start from; a hang of 10 s counts as a failure.
"$build/fuzz/unzip_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$work/" \
    "$work/corpus" "$work/seeds"
