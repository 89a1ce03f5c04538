#!/usr/bin/env bash
# Installs every Debian package needed to build, run and test the launcher.
# Idempotent, and quick when everything is already there. On a fresh machine it first fetches
# apt's package lists, and it needs root or sudo only when something is to be installed.
set -euo pipefail
apt_log_name=install-deps
source "$(dirname "$0")/apt-helpers.sh"

packages=(
    build-essential cmake pkg-config
    liblua5.1-0-dev libcurl4-openssl-dev libssl-dev libminizip-dev zlib1g-dev libdeflate-dev
    # The system's trust store for HTTPS downloads: only recommended by libcurl, so a fresh
    # machine installing without recommendations would trust no server.
    ca-certificates
    libgtk-3-dev
    # The status line: Pango on cairo, and a font with Chinese glyphs (small, about 5 MB).
    libpango1.0-dev fonts-wqy-microhei
    libgtest-dev googletest
    clang
    python3 zip unzip curl openssl
    # unzip_bench's peer: libarchive's bsdtar, the fastest extractor among the usual tools.
    libarchive-tools
    # time_to_play_bench reads the launcher's peak memory from GNU time.
    time
    # Signs and verifies launcher.exe (scripts/release.sh and its test).
    osslsigncode
    # Real servers the tests run as their own processes: a web server and a forward proxy.
    nginx-light tinyproxy
    xvfb xauth x11-utils imagemagick libxtst-dev
    # The fault suite watches the order of the launcher's flushes with it, and fails a flush.
    strace
)

if apt_lists_empty Packages; then
    apt_update
    updated=1
fi
mapfile -t missing < <(apt_missing "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
    [ -n "${updated:-}" ] || apt_update
    updated=1
    apt_install "${missing[@]}"
fi

# The fuzzer links libFuzzer from the runtime of the clang that `clang` runs, whose version
# differs between Debian releases (and between clang packages on one machine).
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)
if [ -z "$clang_major" ]; then
    apt_die "cannot tell the version of clang from 'clang --version'"
fi
runtime=libclang-rt-$clang_major-dev
if [ -n "$(apt_missing "$runtime")" ]; then
    [ -n "${updated:-}" ] || apt_update
    if [ -n "$(apt-cache policy "$runtime" | awk '/Candidate:/ && $2 != "(none)"')" ]; then
        apt_install "$runtime"
    elif ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
        apt_die "clang $clang_major cannot link the fuzzer runtime, and apt offers no $runtime"
    fi
fi
