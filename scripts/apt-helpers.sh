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

# Fetches apt's package lists. A failed update is tried again after a pause (a mirror's index
# that does not match its Release file is most often a sync in progress, over within minutes);
# when it still fails, the script goes on with the lists apt has, saying in one line which index
# failed: only what needs that index may then fail to install, and says so. The pauses, in
# seconds: LAUNCHER_APT_RETRY_PAUSES ("20 60" unless set).
apt_update() {
    apt_need_root
    echo "$apt_log_name: updating apt's package lists"
    local pauses pause output status=0 tries=1
    read -r -a pauses <<<"${LAUNCHER_APT_RETRY_PAUSES-20 60}"
    output=$($sudo apt-get update -qq -o DPkg::Lock::Timeout=600 2>&1) || status=$?
    for pause in "${pauses[@]}"; do
        [ "$status" -ne 0 ] || return 0
        echo "$apt_log_name: apt-get update failed: $(apt_failed_indexes "$output" "$status");" \
            "trying again in $pause s"
        sleep "$pause"
        status=0
        output=$($sudo apt-get update -qq -o DPkg::Lock::Timeout=600 2>&1) || status=$?
        tries=$((tries + 1))
    done
    [ "$status" -ne 0 ] || return 0
    echo "$apt_log_name: apt-get update failed $tries times: $(apt_failed_indexes "$output" \
        "$status"); going on with the package lists apt has: what needs that index may not install" >&2
}

# What apt-get update's output (with -qq: its errors) says failed: each index apt could not fetch
# with apt's reason, else its first error.
apt_failed_indexes() {
    local failed
    failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\)  *\(.*\)$/\1 (\2)/p' <<<"$1" |
        sed 's/ *\[IP: [^]]*\])$/)/' | paste -sd ';' - | sed 's/;/; /g')
    [ -n "$failed" ] || failed=$(sed -n 's/^E: //p' <<<"$1" | head -n 1)
    echo "${failed:-exit status $2}"
}

# Installs "$@", or returns 1 with $apt_why saying why not and $apt_reason the reason alone:
# first every one that no configured source offers, so the failure says what is missing rather
# than apt's first complaint; else apt's own reason, its last errors.
apt_try_install() {
    local package candidate unavailable=()
    for package in "$@"; do
        candidate=$(apt-cache policy "$package" 2>/dev/null | awk '/Candidate:/ {print $2}')
        if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
            unavailable+=("$package")
        fi
    done
    if [ ${#unavailable[@]} -gt 0 ]; then
        apt_reason="no configured apt source offers: ${unavailable[*]}"
        apt_why=$apt_reason
        return 1
    fi
    apt_need_root
    echo "$apt_log_name: installing: $*"
    # nginx and tinyproxy are the tests' own processes: their packages must not start the
    # system's services (a web server on port 80). Debian's maintainer scripts ask policy-rc.d,
    # so one that refuses stands in for the install when the machine has none (in the root apt
    # installs into: apt's Dir, / but for a test's own).
    local apt_root policy added_policy=
    eval "$(apt-config shell apt_root Dir/d)"
    policy=${apt_root:-/}usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# Left by the launcher'"'"'s apt_install while it installs.\nexit 101\n' |
            $sudo tee "$policy" >/dev/null && $sudo chmod 755 "$policy" && added_policy=1
    fi
    local status=0 output
    # Another install running alongside (a second checkout's script) holds dpkg's lock: wait.
    output=$(DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$@" 2>&1) || status=$?
    if [ -n "$added_policy" ]; then
        $sudo rm -f "$policy"
    fi
    [ "$status" -ne 0 ] || return 0
    apt_reason=$(grep '^E: ' <<<"$output" | tail -n 2 | sed 's/^E: //' | paste -sd ';' - |
        sed 's/;/; /g')
    apt_reason=${apt_reason:-exit status $status}
    apt_why="apt-get install failed for: $* ($apt_reason)"
    return 1
}

apt_install() {
    apt_try_install "$@" || apt_die "$apt_why"
}
