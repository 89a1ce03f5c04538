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
# ${LAUNCHER_QEMU_CACHE:-~/.cache/launcher-qemu-user}/<version>/ with its SHA-256, checked on every
# use; a cache that is not the user's own, or that others can write to, is refused.
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

# True in the initial user namespace, the machine's own: there a binfmt_misc mounted anywhere is
# the machine's. Its uid_map maps every user id to itself; PID 1's namespace is compared where
# this user may read it.
machine_user_namespace() {
    local own inner outer count
    own=$(readlink /proc/self/ns/user)
    [ "$own" != "$(readlink /proc/1/ns/user 2>/dev/null)" ] || return 0
    read -r inner outer count </proc/self/uid_map
    [ "$inner $outer $count" = "0 0 4294967295" ]
}

if [ "${1:-}" = --inside ]; then
    # Only in the namespace made below: LAUNCHER_32BIT_OUTSIDE names the user namespace it was
    # made from, which this one must not be.
    if [ -z "${LAUNCHER_32BIT_OUTSIDE:-}" ] || [ $# -lt 3 ] ||
        [ "$(readlink /proc/self/ns/user)" = "$LAUNCHER_32BIT_OUTSIDE" ] || machine_user_namespace; then
        log "--inside runs only in the namespace this script makes: it would register the" \
            "emulator in this machine's own binfmt_misc"
        exit 2
    fi
    unset LAUNCHER_32BIT_OUTSIDE
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

# Fetches the package list. An expired Release file (a frozen mirror, or an old one replayed) is
# refused as apt refuses it: it could bring an older emulator in.
apt_update() {
    local output
    if output=$(apt-get "${apt_options[@]}" update 2>&1); then
        return 0
    fi
    why="apt-get update failed for $mirror $suite: $(grep -m1 '^[EW]:' <<<"$output" || echo "$output" | tail -n 1)"
    return 1
}

# True when "$1" is the user's own and no one else may write to it; else $why says why not. What
# the cache holds runs as this user and is handed every 32-bit program.
private() {
    local owner mode
    if ! read -r owner mode < <(stat -L -c '%u %a' -- "$1" 2>/dev/null); then
        why="$1 is missing"
        return 1
    fi
    if [ "$owner" != "$(id -u)" ]; then
        why="$1 belongs to user $owner, not to $(id -un)"
        return 1
    elif ((8#$mode & 8#022)); then
        why="others may write to $1 (mode $mode)"
        return 1
    fi
}

# Sets $checked to the emulator in the cache folder $1 when it is the one fetched: its files the
# user's own and private, qemu-i386 matching the SHA-256 recorded beside it then. Else sets $why.
check_emulator() {
    local folder=$cache/$1 file recorded
    for file in "$folder" "$folder/qemu-i386" "$folder/qemu-i386.sha256"; do
        private "$file" || return 1
    done
    recorded=$(cut -d ' ' -f 1 "$folder/qemu-i386.sha256")
    if [ ! -x "$folder/qemu-i386" ] ||
        [ "$(sha256sum <"$folder/qemu-i386" | cut -d ' ' -f 1)" != "$recorded" ]; then
        why="$folder/qemu-i386 is not the emulator that was fetched (not the SHA-256 recorded then)"
        return 1
    fi
    checked=$folder/qemu-i386
}

# The cache folder `current` names: a plain folder name, never a path.
current_folder() {
    local name
    [ -e "$cache/current" ] || return 1
    if ! private "$cache/current"; then
        log "$why: the cached emulator is not used"
        return 1
    fi
    name=$(head -n 1 "$cache/current")
    if ! [[ $name =~ ^qemu-user_[A-Za-z0-9.+_-]+$ ]]; then
        log "$cache/current names no emulator folder ('${name//[^[:print:]]/?}'): not used"
        return 1
    fi
    echo "$name"
}

# Fetches and unpacks the package's candidate version unless it is cached; sets $qemu. The
# package must have the SHA-256 that the archive's signed index gives, which is recorded with the
# unpacked emulator's own.
fetch_emulator() {
    local arch version folder work sha256 deb
    arch=$(dpkg --print-architecture)
    if [ ! -r "$keyring" ]; then
        why="$keyring (debian-archive-keyring) is missing, so the emulator's signature cannot be checked"
        return 1
    fi
    # apt trusts the lists it keeps: lists others could write to are fetched anew.
    if [ -e "$apt_dir" ] && ! { private "$apt_dir" && private "$apt_dir/lists"; }; then
        log "$why: fetching the package list anew"
        rm -rf "$apt_dir"
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
    if ! check_emulator "$folder"; then
        [ ! -e "$cache/$folder" ] || log "$why; fetching it again"
        sha256=$(apt-cache "${apt_options[@]}" show "qemu-user=$version" |
            awk '/^SHA256:/ {print $2; exit}')
        if [ -z "$sha256" ]; then
            why="the index of $mirror $suite gives no SHA-256 for qemu-user $version"
            return 1
        fi
        log "fetching qemu-i386 from Debian $suite's qemu-user $version (about 70 MB, once)"
        work=$(mktemp -d "$cache/.fetch-XXXXXX")
        if ! (cd "$work" && apt-get "${apt_options[@]}" download -q "qemu-user=$version") \
            >"$work/download.log" 2>&1; then
            why="apt-get download qemu-user=$version failed: $(tail -n 1 "$work/download.log")"
            rm -rf "$work"
            return 1
        fi
        deb=$(find "$work" -maxdepth 1 -name 'qemu-user_*.deb' -print -quit)
        if [ -z "$deb" ] || [ "$(sha256sum <"$deb" | cut -d ' ' -f 1)" != "$sha256" ]; then
            why="the qemu-user $version fetched is not the one the archive's index names"
            rm -rf "$work"
            return 1
        fi
        # The package holds an emulator for every architecture (450 MB): keep the one needed.
        if ! dpkg-deb -x "$deb" "$work/unpacked" || ! mkdir "$work/$folder" ||
            ! mv "$work/unpacked/usr/bin/qemu-i386" \
                "$work/unpacked/usr/share/doc/qemu-user/copyright" "$work/$folder/"; then
            why="qemu-user $version holds no usr/bin/qemu-i386"
            rm -rf "$work"
            return 1
        fi
        (cd "$work/$folder" && sha256sum qemu-i386 >qemu-i386.sha256 &&
            echo "$sha256  ${deb##*/}" >qemu-user.deb.sha256 && chmod -R go-w .)
        # Published only when complete, in place of one that failed its checks.
        rm -rf "${cache:?}/$folder"
        mv -T "$work/$folder" "$cache/$folder"
        rm -rf "$work"
        check_emulator "$folder" || return 1
    fi
    echo "$folder" >"$cache/current"
    qemu=$checked
}

# Sets $qemu: the one named, the one checked within the last day (no network then), or the
# newest the archive offers; an older cached one when the archive cannot be reached.
find_emulator() {
    if [ -n "${LAUNCHER_QEMU_I386:-}" ]; then
        qemu=$LAUNCHER_QEMU_I386
        [ -x "$qemu" ] || { why="LAUNCHER_QEMU_I386 names no program: $qemu"; return 1; }
        return 0
    fi
    [ -d "$cache" ] || (umask 022 && mkdir -p "$cache")
    if ! private "$cache"; then
        why="the emulator's cache is refused: $why"
        return 1
    fi
    # Runs alongside (a second checkout's tests) share one apt folder.
    exec 8>"$cache/.lock"
    flock 8
    local umask_before folder cached='' status=0
    umask_before=$(umask)
    umask 022
    if folder=$(current_folder); then
        if check_emulator "$folder"; then
            cached=$checked
        else
            log "$why: the cached emulator is not used"
        fi
    fi
    if [ -n "$cached" ] && [ -n "$(find "$cache/current" -mmin -1440)" ]; then
        qemu=$cached
    elif ! fetch_emulator; then
        if [ -n "$cached" ]; then
            log "$why; using the cached $cached"
            qemu=$cached
        else
            status=1
        fi
    fi
    umask "$umask_before"
    exec 8>&-
    return "$status"
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

# Runs the command in a user and mount namespace of its own, with the emulator registered there.
run_emulated() {
    LAUNCHER_32BIT_OUTSIDE=$(readlink /proc/self/ns/user) \
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
LAUNCHER_32BIT_OUTSIDE=$(readlink /proc/self/ns/user)
export LAUNCHER_32BIT_OUTSIDE
exec unshare --user --map-root-user --mount --fork -- "$self" --inside "$qemu" "$@"
