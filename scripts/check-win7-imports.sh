#!/usr/bin/env bash
# Checks that a Windows program imports no function that Windows 7 SP1 lacks: every function in
# its import tables, as DLL!function, must be in scripts/win7-imports.txt, the list of what the
# launcher imports and what Windows 7 SP1 was checked to export. A function missing from Windows 7
# keeps the program from starting there at all ("The procedure entry point ... could not be
# located"), so each one that is not in the list is named and the check fails. Functions of newer
# Windows are looked up at run time (GetProcAddress) instead, and never imported.
#
#     scripts/check-win7-imports.sh program.exe [list]
#
# OBJDUMP names the objdump that reads the program: the one of its toolchain (default
# i686-w64-mingw32-objdump, for the 32-bit program that ships). Exit status 0 when every import is listed, 1 when one is not, 2 for
# bad usage or an unreadable program.
set -euo pipefail

program=${1:-}
list=${2:-$(dirname "$0")/win7-imports.txt}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
if [ -z "$program" ] || [ $# -gt 2 ]; then
    echo "usage: scripts/check-win7-imports.sh program.exe [list]" >&2
    exit 2
fi
if [ ! -r "$list" ]; then
    echo "check-win7-imports: cannot read the list $list" >&2
    exit 2
fi

# The import tables as "dll!function" (DLL names in lower case, as Windows matches them), or
# "dll!#ordinal" for a function imported by number.
if ! dump=$("$objdump" -p "$program" 2>&1); then
    echo "check-win7-imports: $objdump cannot read $program: $dump" >&2
    exit 2
fi
imports=$(awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    /^[^ \t]/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t/ {
        print dll "!" ($3 == "" || $3 == "<none>" ? "#" $2 : $3)
    }
' <<<"$dump" | LC_ALL=C sort -u)
if [ -z "$imports" ]; then
    echo "check-win7-imports: $program has no import table that $objdump can read" >&2
    exit 2
fi

missing=$(LC_ALL=C comm -23 <(echo "$imports") \
    <(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "$list" | LC_ALL=C sort -u))
if [ -n "$missing" ]; then
    while read -r function; do
        echo "check-win7-imports: $(basename "$program") imports $function, which is not in" \
            "$list: check that Windows 7 SP1 exports it and add it there, or look it up at run" \
            "time (GetProcAddress)" >&2
    done <<<"$missing"
    exit 1
fi
echo "check-win7-imports: $(basename "$program"): all $(wc -l <<<"$imports") imported functions are" \
    "in $(basename "$list")"
