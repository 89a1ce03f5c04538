# shellcheck shell=bash
# Sourced by install-deps.sh and build-windows.sh: root or sudo, apt's package lists, and which
# packages are missing. The caller sets apt_log_name, the name its messages start with.

apt_die() {
    echo "$apt_log_name: $*" >&2
    exit 1
}

# Sets $sudo to what runs a command as root, only when something needs root, so a machine that
# has everything needs neither.
apt_need_root() {
    if [ -n "${sudo+set}" ]; then
        return 0
    fi
    if [ "$(id -u)" -eq 0 ]; then
        sudo=""
    elif command -v sudo >/dev/null 2>&1; then
        sudo="sudo"
    else
        apt_die "installing Debian packages needs root: run as root, or install sudo"
    fi
}

# The packages of "$@" that dpkg does not list as installed.
apt_missing() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            echo "$package"
        fi
    done
}

# True when apt has no list of the given kind (Packages or Sources): a fresh container ships
# none, and apt-cache then knows no package at all.
apt_lists_empty() {
    local lists_dir
    eval "$(apt-config shell lists_dir Dir::State::lists/d)"
    ! compgen -G "${lists_dir:-/var/lib/apt/lists/}*_$1*" >/dev/null
}

apt_update() {
    apt_need_root
    echo "$apt_log_name: updating apt's package lists"
    $sudo apt-get update -qq -o DPkg::Lock::Timeout=600 || apt_die "apt-get update failed; check the network and /etc/apt/sources.list*"
}

# Installs "$@", first naming every one that no configured source offers, so the failure says
# what is missing rather than apt's first complaint.
apt_install() {
    local package candidate unavailable=()
    for package in "$@"; do
        candidate=$(apt-cache policy "$package" 2>/dev/null | awk '/Candidate:/ {print $2}')
        if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
            unavailable+=("$package")
        fi
    done
    if [ ${#unavailable[@]} -gt 0 ]; then
        apt_die "no configured apt source offers: ${unavailable[*]}"
    fi
    apt_need_root
    echo "$apt_log_name: installing: $*"
    # nginx and tinyproxy are the tests' own processes: their packages must not start the
    # system's services (a web server on port 80). Debian's maintainer scripts ask policy-rc.d,
    # so one that refuses stands in for the install when the machine has none.
    local policy=/usr/sbin/policy-rc.d added_policy=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# Left by the launcher'"'"'s apt_install while it installs.\nexit 101\n' |
            $sudo tee "$policy" >/dev/null && $sudo chmod 755 "$policy" && added_policy=1
    fi
    local status=0
    # Another install running alongside (a second checkout's script) holds dpkg's lock: wait.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$@" >/dev/null || status=$?
    if [ -n "$added_policy" ]; then
        $sudo rm -f "$policy"
    fi
    [ "$status" -eq 0 ] || apt_die "apt-get install failed for: $*"
}
