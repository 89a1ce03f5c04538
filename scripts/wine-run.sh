#!/usr/bin/env bash
# Runs a 32-bit Windows program under Wine, quietly, in the launcher's own Wine prefix, which is
# made on first use. CTest runs the Windows test programs through this (CMAKE_CROSSCOMPILING_EMULATOR).
# With LAUNCHER_WINE_ARCH=win64 (scripts/wine64-run.sh) it runs 64-bit programs with wine64 instead,
# in a 64-bit prefix (~/.cache/launcher-wine-win64 unless LAUNCHER_WINEPREFIX names one).
#
#     scripts/wine-run.sh program.exe [arguments]
#     scripts/wine-run.sh --prepare # makes or updates the prefix and starts its Wine session
#     scripts/wine-run.sh --wait    # waits until that prefix's Wine server has ended
#
# Programs get no X display (the test programs need none), unless LAUNCHER_WINE_DISPLAY names one:
# the window tests run on their own Xvfb server, in a prefix of their own (LAUNCHER_WINEPREFIX),
# as all programs of one Wine session share the display driver its first program found.
set -euo pipefail

export WINEDEBUG=-all
if [ "${LAUNCHER_WINE_ARCH:-win32}" = win64 ]; then
    export WINEARCH=win64
    export WINEPREFIX=${LAUNCHER_WINEPREFIX:-$HOME/.cache/launcher-wine-win64}
    # Debian's `wine` picks the 32-bit loader whenever wine32 is installed, even where the kernel
    # cannot run it; wine64 is not on PATH.
    wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
    # What Wine itself starts (wineboot's helpers, child processes) uses the same loader.
    export WINELOADER=$wine
    wineboot=("$wine" wineboot)
else
    export WINEARCH=win32
    export WINEPREFIX=${LAUNCHER_WINEPREFIX:-$HOME/.cache/launcher-wine-win32}
    wine=wine
    wineboot=(wineboot)
fi
# No Mono or Gecko prompts: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -n "${LAUNCHER_WINE_DISPLAY:-}" ]; then
    export DISPLAY=$LAUNCHER_WINE_DISPLAY
else
    unset DISPLAY
fi

if [ "${1:-}" = "--wait" ]; then
    if [ -d "$WINEPREFIX" ]; then
        wineserver --wait
    fi
    exit 0
fi

# The prefix's set-up, numbered: a prefix an older version of this script made (CI's cache keeps
# them) gets the steps it lacks. Version 1 (an empty marker) was `wineboot --init` alone.
prefix_version=2
ready=$WINEPREFIX/.launcher-ready
ready_version() {
    cat "$ready" 2>/dev/null || true
}

if [ "$(ready_version)" != "$prefix_version" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Test programs start in parallel; only one of them sets the prefix up.
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ "$(ready_version)" != "$prefix_version" ]; then
        if [ ! -e "$ready" ]; then
            "${wineboot[@]}" --init >/dev/null 2>&1
        fi
        # Debian's Wine looks for its own fonts (fonts-wine: Tahoma, MS Sans Serif, ...) in
        # "Z:\usr\share\wine\../fonts", which it cannot resolve, and copies none into
        # C:\windows\Fonts, so GDI+ found no family of the status line's list. Wine also reads
        # the folders named here.
        "$wine" reg add 'HKCU\Software\Wine\Fonts' /v Path /d 'Z:\usr\share\wine\fonts' /f \
            >/dev/null
        # The status line's first choice, drawn with the Chinese glyphs of WenQuanYi Micro Hei
        # (fonts-wqy-microhei), which Wine finds through fontconfig.
        "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Microsoft YaHei' \
            /d 'WenQuanYi Micro Hei' /f >/dev/null
        wineserver --wait
        echo "$prefix_version" >"$ready"
    fi
    flock --unlock 9
    exec 9>&-
fi

if [ "${1:-}" = "--prepare" ]; then
    # The prefix's Wine session (its server and Wine's own programs) starts here, with no test's
    # output streams: a test program that started it would hold those open, and with them its
    # place in CTest's parallel slots, until the server ended. Each start also costs seconds
    # under a CPU emulator, so the server stays 10 s past its last program, not 3.
    wineserver -p10 </dev/null >/dev/null 2>&1 || true
    "${wineboot[@]}" </dev/null >/dev/null 2>&1
    exit 0
fi

# LAUNCHER_WINE_LOCALE picks Wine's ANSI code page (zh_CN.UTF-8 gives 936), without bash itself
# trying to switch to a locale that may not be installed.
if [ -n "${LAUNCHER_WINE_LOCALE:-}" ]; then
    exec env LC_ALL="$LAUNCHER_WINE_LOCALE" "$wine" "$@"
fi
exec "$wine" "$@"
