#!/usr/bin/env bash
# Installs what is needed, builds, and runs the launcher once.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)"
build/launcher
