#!/usr/bin/env bash
# scripts/wine-run.sh for 64-bit Windows programs: wine64, in a 64-bit prefix of its own. The
# 64-bit build's tests run through this (cmake/mingw-x86_64.cmake).
export LAUNCHER_WINE_ARCH=win64
exec "$(dirname "$0")/wine-run.sh" "$@"
