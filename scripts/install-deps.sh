#!/usr/bin/env bash
# Installs every Debian package needed to build, run and test the launcher.
# Idempotent, and quick when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    liblua5.1-0-dev libcurl4-openssl-dev libssl-dev libminizip-dev zlib1g-dev
    libgtk-3-dev
    libgtest-dev googletest
    clang libclang-rt-14-dev
    python3 zip unzip curl
    xvfb xauth x11-utils imagemagick libxtst-dev
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
