#!/usr/bin/env bash
# Runs a command where 32-bit Linux programs run, so that Wine's 32-bit loader starts: directly
# where this machine runs them, otherwise inside a private user and mount namespace whose own
# binfmt_misc hands every 32-bit program to qemu-i386, the user-mode CPU emulator of Debian 13
# "trixie"'s qemu-user (Debian 12's qemu 7.2 crashes under Wine 8). The machine's own binfmt_misc
# is never touched: the namespace's is a private one (Linux 6.7 or newer) that ends with it.
# This is the one place that decides how 32-bit Windows programs run for the tests.
#
#     scripts/run-32bit.sh --check            # prints how they run here (status 0), or why
#                                             # they cannot (status 1)
#     scripts/run-32bit.sh command [args...]  # runs the command there; status 125 where they
#                                             # cannot run at all
#
# `wine --version` is the test of "32-bit programs run here". Inside the namespace the command is
# root of a user namespace that maps only the calling user (a program that switches users, such
# as nginx started as root, cannot), and LAUNCHER_32BIT_EMULATOR names the emulator.
#
# LAUNCHER_32BIT=emulated uses the emulator even where 32-bit programs run (to reproduce a machine
# that has none), =native never uses it. LAUNCHER_QEMU_I386 names a qemu-i386 to use instead of
# Debian 13's; LAUNCHER_DEBIAN_MIRROR the archive to fetch that from (http://deb.debian.org/debian).
# The emulator is fetched once per version of qemu-user, with apt's own signature checks against
# Debian's archive keyring and a package list of its own (never the system's sources), and kept in
# ${LAUNCHER_QEMU_CACHE:-~/.cache/launcher-qemu-user}/<version>/.
set -euo pipefail

self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cache=${LAUNCHER_QEMU_CACHE:-$HOME/.cache/launcher-qemu-user}
suite=trixie
mirror=${LAUNCHER_DEBIAN_MIRROR:-http://deb.debian.org/debian}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# qemu's own binfmt entry for i386 ELF programs (executables and shared objects). `F` opens the
# emulator once, at registration, so it serves every process in the namespace whatever it sees.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

log() {
    echo "run-32bit: $*" >&2
}

# --- Inside the namespace: register the emulator in a binfmt_misc of its own, then run ---

if [ "${1:-}" = --inside ]; then
    qemu=$2
    shift 2
    # Mounts in the namespace are private (unshare's default): the folder stays empty outside.
    mkdir -p "$cache/binfmt"
    if ! error=$(mount -t binfmt_misc binfmt_misc "$cache/binfmt" 2>&1); then
        log "cannot mount a binfmt_misc of the namespace's own: ${error##*: }"
        exit 125
    fi
    printf '%s' ":launcher-i386:M::$i386_magic:$i386_mask:$qemu:F" >"$cache/binfmt/register"
    export LAUNCHER_32BIT_EMULATOR=$qemu
    exec "$@"
fi

# --- The emulator: Debian 13's qemu-user, fetched with apt into the cache ---

apt_dir=$cache/apt
apt_options=(-o "Dir::Etc::sourcelist=$apt_dir/sources.list"
             -o "Dir::Etc::sourceparts=$apt_dir/sources.list.d"
             -o "Dir::State::lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
if [ "$(id -u)" -eq 0 ]; then
    # apt's download user cannot enter root's home; the files are fetched as root either way.
    apt_options+=(-o APT::Sandbox::User=root)
fi

# Fetches the package list; where the archive's Release file has expired (a frozen mirror), says
# so and fetches again without that check, for this fetch alone.
apt_update() {
    local output
    if output=$(apt-get "${apt_options[@]}" update 2>&1); then
        return 0
    fi
    if grep -q 'is expired' <<<"$output"; then
        log "the Release file of $mirror $suite has expired (a frozen mirror?);" \
            "fetching it again without checking its date"
        apt_options+=(-o Acquire::Check-Valid-Until=false)
        if output=$(apt-get "${apt_options[@]}" update 2>&1); then
            return 0
        fi
    fi
    why="apt-get update failed for $mirror $suite: $(grep -m1 '^[EW]:' <<<"$output" || echo "$output" | tail -n 1)"
    return 1
}

# Fetches and unpacks the package's candidate version unless it is cached; sets $qemu.
fetch_emulator() {
    local arch version folder work
    arch=$(dpkg --print-architecture)
    if [ ! -r "$keyring" ]; then
        why="$keyring (debian-archive-keyring) is missing, so the emulator's signature cannot be checked"
        return 1
    fi
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    echo "deb [arch=$arch signed-by=$keyring] $mirror $suite main" >"$apt_dir/sources.list"
    apt_update || return 1
    version=$(apt-cache "${apt_options[@]}" policy qemu-user | awk '/Candidate:/ {print $2}')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        why="$mirror $suite offers no qemu-user for $arch"
        return 1
    fi
    folder=qemu-user_${version//[^A-Za-z0-9.+-]/_}_$arch
    if [ ! -x "$cache/$folder/qemu-i386" ]; then
        log "fetching qemu-i386 from Debian $suite's qemu-user $version (about 70 MB, once)"
        work=$(mktemp -d "$cache/.fetch-XXXXXX")
        if ! (cd "$work" && apt-get "${apt_options[@]}" download -q "qemu-user=$version") \
            >"$work/download.log" 2>&1; then
            why="apt-get download qemu-user=$version failed: $(tail -n 1 "$work/download.log")"
            rm -rf "$work"
            return 1
        fi
        # The package holds an emulator for every architecture (450 MB): keep the one needed.
        if ! dpkg-deb -x "$work"/qemu-user_*.deb "$work/unpacked" || ! mkdir "$work/$folder" ||
            ! mv "$work/unpacked/usr/bin/qemu-i386" \
                "$work/unpacked/usr/share/doc/qemu-user/copyright" "$work/$folder/"; then
            why="qemu-user $version holds no usr/bin/qemu-i386"
            rm -rf "$work"
            return 1
        fi
        # Published only when complete; a run alongside may have published it first.
        mv -T "$work/$folder" "$cache/$folder" 2>/dev/null || true
        rm -rf "$work"
    fi
    echo "$folder" >"$cache/current"
    qemu=$cache/$folder/qemu-i386
}

# Sets $qemu: the one named, the one checked within the last day (no network then), or the
# newest the archive offers; an older cached one when the archive cannot be reached.
find_emulator() {
    if [ -n "${LAUNCHER_QEMU_I386:-}" ]; then
        qemu=$LAUNCHER_QEMU_I386
        [ -x "$qemu" ] || { why="LAUNCHER_QEMU_I386 names no program: $qemu"; return 1; }
        return 0
    fi
    mkdir -p "$cache"
    # Runs alongside (a second checkout's tests) share one apt folder.
    exec 8>"$cache/.lock"
    flock 8
    local current=
    if [ -f "$cache/current" ]; then
        current=$cache/$(cat "$cache/current")/qemu-i386
    fi
    if [ -n "$(find "$cache/current" -mmin -1440 2>/dev/null)" ] && [ -x "$current" ]; then
        qemu=$current
    elif ! fetch_emulator; then
        if [ -x "$current" ]; then
            log "$why; using the cached $current"
            qemu=$current
        else
            exec 8>&-
            return 1
        fi
    fi
    exec 8>&-
}

# --- The decision ---

# Sets $how to "natively" or to how the emulator runs them, and $mode to native or emulated; or
# $why to why nothing does. With --check, an emulator must also start Wine's loader.
decide() {
    local want=${LAUNCHER_32BIT:-auto} check=${1:-} probe release
    case $want in
    auto | native | emulated) ;;
    *)
        log "LAUNCHER_32BIT must be native or emulated, not '$want'"
        exit 2
        ;;
    esac
    if [ -n "${LAUNCHER_32BIT_EMULATOR:-}" ]; then
        # Already inside the namespace.
        how=natively mode=native
        return 0
    fi
    local native_why="LAUNCHER_32BIT=emulated"
    # Why nothing runs them: this machine does not, and the emulator cannot, for the reason $1.
    no_emulator() {
        if [ "$want" = emulated ]; then
            why="LAUNCHER_32BIT=emulated, but 32-bit programs cannot be emulated here ($1)"
        else
            why="$native_why, nor emulate them ($1)"
        fi
    }
    if [ "$want" != emulated ]; then
        if probe=$(wine --version 2>&1); then
            how=natively mode=native
            return 0
        fi
        native_why="this machine cannot run 32-bit programs (${probe##*: })"
        if [ "$want" = native ]; then
            why=$native_why
            return 1
        fi
    fi
    mode=emulated
    if ! probe=$(unshare --user --map-root-user --mount true 2>&1); then
        no_emulator "no user namespace: ${probe##*: }"
        return 1
    fi
    release=$(uname -r)
    if ! printf '%s\n' 6.7 "${release%%-*}" | sort --version-sort --check=quiet; then
        no_emulator "Linux $release gives a namespace no binfmt_misc of its own; 6.7 does"
        return 1
    fi
    if ! find_emulator; then
        no_emulator "no emulator: $why"
        return 1
    fi
    local emulator
    emulator=$("$qemu" --version 2>/dev/null | head -n 1 | sed 's/ version / /')
    emulator=${emulator:-$qemu}
    if [ "$check" = --check ]; then
        probe=$(run_emulated wine --version 2>&1) || true
        if [[ $probe != wine-* ]]; then
            probe=${probe##*: }
            no_emulator "Wine's 32-bit loader does not start under $emulator: ${probe:-no output}"
            return 1
        fi
    fi
    how="under $emulator in a private namespace: $native_why"
}

run_emulated() {
    unshare --user --map-root-user --mount --fork -- "$self" --inside "$qemu" "$@"
}

if [ $# -eq 0 ]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
fi

if [ "$1" = --check ]; then
    if decide --check; then
        echo "$how"
        exit 0
    fi
    echo "$why"
    exit 1
fi

if ! decide; then
    log "32-bit programs cannot run here: $why"
    exit 125
fi
if [ "$mode" = native ]; then
    exec "$@"
fi
exec unshare --user --map-root-user --mount --fork -- "$self" --inside "$qemu" "$@"
