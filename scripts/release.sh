#!/usr/bin/env bash
# Turns a studio's client folder into a release: the client package, and the 32-bit Windows
# launcher that downloads it from its URL over HTTPS, checks its SHA-256, carries the studio's
# names, version and pictures, and is signed. `scripts/release.sh --help` says how.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
started=$SECONDS

usage() {
    cat <<'EOF'
Usage: scripts/release.sh --client DIR --url URL --name NAME --publisher NAME --version A.B.C.D
                          [--artwork DIR] [--install-root WHERE]
                          [--sign-pkcs12 FILE --sign-password-file FILE |
                          --sign-command 'CMD {file}'] [--timestamp-url URL] [--out DIR]

Makes, in --out: the client package (a zip of the client folder, the same bytes every time for
the same folder, named after the URL's last segment), launcher.exe (the 32-bit Windows launcher
that downloads that package from the URL, refuses any other bytes by their SHA-256, installs and
starts the client), SHA256SUMS for both, and release.json (URL, sizes, SHA-256s, version, signer).
The launcher also carries the package's size and what it extracts to, and checks before it writes
anything that the player's disk has room for both.
Nothing is written to --out unless every step succeeds.

Required:
  --client DIR               the client folder: the files the players get, with
                             patch/version.json and win32/game.exe (the launcher starts
                             win32/game.exe and takes patch/version.json as the sign of a
                             complete install)
  --url URL                  where launchers download the package: https://host[:port]/path/FILE,
                             FILE made of letters, digits, '.', '_', '-', '~', not beginning
                             with '-'; no query
  --name NAME                the product name Windows shows (Properties, Task Manager)
  --publisher NAME           the company name and copyright holder Windows shows
  --version A.B.C.D          the launcher's version: four numbers from 0 to 65535

Options:
  --artwork DIR              the studio's pictures (default: the launcher's own):
                               background.png  856 x 552, the splash window's size and shape
                               bar_track.png   656 x 14, the empty bar, drawn at (50, 520)
                               bar_fill.png    656 x 14, the full bar, drawn over it
                               icon.png        256 x 256, made into an icon of 16 to 256 pixels
                             any PNG (transparency where the splash is to be see-through)
  --install-root WHERE       where launchers install the client (default: documents):
                               documents       the player's Documents folder, wherever
                                               Windows keeps it (OneDrive may sync it, and
                                               Controlled Folder Access may refuse writes)
                               local-app-data  the player's AppData\Local: never synced,
                                               never guarded, hidden from the player
  --sign-pkcs12 FILE         sign launcher.exe (Authenticode, SHA-256) with the certificate and
                             key in this PKCS#12 (.pfx) file, through osslsigncode
  --sign-password-file FILE  the PKCS#12 file's password: the first line of FILE
  --sign-command 'CMD'       sign with your own tool instead (a hardware token, a signing
                             service): CMD runs in bash with {file} replaced by the path of
                             launcher.exe, already quoted (write {file} without quotes),
                             which it must sign in place; it gets no terminal input
  --timestamp-url URL        add an RFC 3161 time stamp from this server (default: none), so
                             the signature stays valid after the certificate expires
  --ca-file FILE             the certificates the signature is verified against after signing
                             (default: /etc/ssl/certs/ca-certificates.crt)
  --insecure-http            allow an http:// URL: for a test on a LAN only
  --out DIR                  where the release goes (default: release/); files of the same
                             names are replaced, other files (earlier packages) stay
  --build-dir DIR            where the launcher is built and kept for the next release
                             (default: build-release/, build-release64/ for x86_64)
  --arch i686|x86_64         i686 (default) is the program that ships; x86_64 builds the same
                             for 64-bit Windows, to test under wine64 where 32-bit programs
                             cannot run
  --help                     this text

Example:
  scripts/release.sh --client ~/halden/windows_pc_halden \
      --url https://cdn.example.com/client/pc/2100/exe/windows_pc_halden_202505171539.zip \
      --name "Halden Online" --publisher "Example Studio Ltd." --version 1.2.3.4 \
      --artwork ~/halden/launcher-art \
      --sign-pkcs12 ~/keys/codesign.pfx --sign-password-file ~/keys/codesign.pass \
      --timestamp-url http://timestamp.example.com/rfc3161

Exit status: 0 released, 1 a step failed, 2 bad usage. Runs unattended: it never asks.
EOF
}

usage_error() {
    echo "release: $*" >&2
    echo "release: see scripts/release.sh --help" >&2
    exit 2
}

fail() {
    echo "release: $*" >&2
    exit 1
}

step() {
    echo "release: $*"
}

# --- Options ---

client= url= name= publisher= version= artwork= pkcs12= password_file= sign_command=
timestamp_url= ca_file=/etc/ssl/certs/ca-certificates.crt insecure_http=0 out=release
build_dir= arch=i686 install_root=documents
while [ $# -gt 0 ]; do
    option=$1
    case $option in
    --help | -h)
        usage
        exit 0
        ;;
    --insecure-http)
        insecure_http=1
        shift
        continue
        ;;
    --client | --url | --name | --publisher | --version | --artwork | --sign-pkcs12 | \
        --sign-password-file | --sign-command | --timestamp-url | --ca-file | --out | \
        --build-dir | --arch | --install-root)
        [ $# -ge 2 ] || usage_error "$option needs a value"
        value=$2
        shift 2
        ;;
    --*=*)
        usage_error "write ${option%%=*} and its value as two words: ${option%%=*} '${option#*=}'"
        ;;
    *)
        usage_error "unknown option '$option'"
        ;;
    esac
    case $option in
    --client) client=$value ;;
    --url) url=$value ;;
    --name) name=$value ;;
    --publisher) publisher=$value ;;
    --version) version=$value ;;
    --artwork) artwork=$value ;;
    --sign-pkcs12) pkcs12=$value ;;
    --sign-password-file) password_file=$value ;;
    --sign-command) sign_command=$value ;;
    --timestamp-url) timestamp_url=$value ;;
    --ca-file) ca_file=$value ;;
    --out) out=$value ;;
    --build-dir) build_dir=$value ;;
    --arch) arch=$value ;;
    --install-root) install_root=$value ;;
    esac
done

[ -n "$client" ] || usage_error "--client is required: the client folder to package"
[ -d "$client" ] || usage_error "--client: '$client' is not a folder"
[ -n "$url" ] || usage_error "--url is required: where launchers download the package"
# The same rules as the build option LAUNCHER_PACKAGE_URL (cmake/DownloadOptions.cmake).
url_pattern='^(https?)://([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(:[0-9]+)?(/[A-Za-z0-9._~%+,=:-]+)*/([A-Za-z0-9._~-]*[A-Za-z0-9_~-][A-Za-z0-9._~-]*)$'
if ! [[ $url =~ $url_pattern ]]; then
    usage_error "--url: '$url' is not a whole http:// or https:// URL without query or fragment" \
        "ending in the package's file name (letters, digits, '.', '_', '-', '~')"
fi
scheme=${BASH_REMATCH[1]}
package_name=${BASH_REMATCH[5]}
# The name is given to sha256sum here, and to whatever tools a studio runs on the release.
if [[ $package_name == -* ]]; then
    usage_error "--url: the package's file name '$package_name' begins with '-', which tools read" \
        "as an option"
fi
if [ "$scheme" = http ] && [ "$insecure_http" -eq 0 ]; then
    usage_error "--url: '$url' is plain HTTP; players' launchers download over HTTPS" \
        "(give --insecure-http for a test on a LAN only)"
fi
[ -n "$name" ] || usage_error "--name is required: the product name"
[ -n "$publisher" ] || usage_error "--publisher is required: the company name"
if ! [[ $version =~ ^([0-9]{1,5})\.([0-9]{1,5})\.([0-9]{1,5})\.([0-9]{1,5})$ ]]; then
    usage_error "--version: '$version' is not four numbers joined by dots, e.g. 1.2.3.4"
fi
for number in "${BASH_REMATCH[@]:1}"; do
    [ "$((10#$number))" -le 65535 ] || usage_error "--version: $number is over 65535"
done
# The same values as the build option LAUNCHER_INSTALL_ROOT (cmake/DownloadOptions.cmake).
case $install_root in
documents | local-app-data) ;;
*) usage_error "--install-root: '$install_root' is neither documents nor local-app-data" ;;
esac
if [ -n "$artwork" ] && [ ! -d "$artwork" ]; then
    usage_error "--artwork: '$artwork' is not a folder"
fi
if [ -n "$pkcs12" ] && [ -n "$sign_command" ]; then
    usage_error "--sign-pkcs12 and --sign-command exclude each other: sign one way"
fi
if [ -n "$pkcs12" ]; then
    [ -r "$pkcs12" ] || usage_error "--sign-pkcs12: cannot read '$pkcs12'"
    [ -n "$password_file" ] ||
        usage_error "--sign-pkcs12 needs --sign-password-file (a file holding the password)"
    [ -r "$password_file" ] || usage_error "--sign-password-file: cannot read '$password_file'"
elif [ -n "$password_file" ]; then
    usage_error "--sign-password-file goes with --sign-pkcs12"
fi
if [ -n "$sign_command" ] && [[ $sign_command != *"{file}"* ]]; then
    usage_error "--sign-command: '$sign_command' has no {file} for the path of launcher.exe"
fi
if [ -n "$timestamp_url" ]; then
    [ -n "$pkcs12$sign_command" ] || usage_error "--timestamp-url goes with a signing option"
    [[ $timestamp_url =~ ^https?://[^[:space:]]+$ ]] ||
        usage_error "--timestamp-url: '$timestamp_url' is not an http:// or https:// URL"
fi
signing=0
if [ -n "$pkcs12$sign_command" ]; then
    signing=1
    [ -r "$ca_file" ] || usage_error "--ca-file: cannot read '$ca_file'"
fi
case $arch in
i686) build_dir=${build_dir:-$source_dir/build-release} ;;
x86_64) build_dir=${build_dir:-$source_dir/build-release64} ;;
*) usage_error "--arch: '$arch' is neither i686 nor x86_64" ;;
esac

# Absolute paths: the build runs from the source folder.
client=$(realpath -- "$client")
out=$(realpath -m -- "$out")
if [ -e "$out" ] && [ ! -d "$out" ]; then
    usage_error "--out: '$out' is a file, not a folder"
fi
case $out/ in
"$client"/*) usage_error "--out: '$out' is inside the client folder, which would pack it" ;;
esac
build_dir=$(realpath -m -- "$build_dir")
[ -z "$artwork" ] || artwork=$(realpath -- "$artwork")
[ -z "$pkcs12" ] || pkcs12=$(realpath -- "$pkcs12")
[ -z "$password_file" ] || password_file=$(realpath -- "$password_file")
ca_file=$(realpath -- "$ca_file")

insecure_warning() {
    echo "release: warning: --insecure-http: players download the package over plain HTTP," \
        "where the server's identity is not checked and the transfer is not encrypted:" \
        "anyone on the way sees what is fetched and can hold it back or alter it (the pinned" \
        "SHA-256 then refuses the package, and the install fails). For a test on a LAN only." >&2
}
[ "$scheme" = https ] || insecure_warning

# --- Everything is made in a scratch folder beside --out and moved in at the end ---

mkdir -p "$(dirname "$out")"
scratch=$(mktemp -d "$(dirname "$out")/.release-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM HUP

step "checking the client folder $client"
missing=()
for file in patch/version.json win32/game.exe; do
    [ -f "$client/$file" ] || missing+=("$file")
done
if [ ${#missing[@]} -gt 0 ]; then
    fail "the client folder $client has no ${missing[*]}: the launcher starts win32/game.exe" \
        "and takes patch/version.json as the sign of a complete install"
fi

if [ -n "$artwork" ]; then
    step "checking the pictures in $artwork"
    if ! problems=$(python3 "$source_dir/tools/make_artwork.py" --check "$artwork" 2>&1); then
        echo "$problems" | sed 's/^/release: /' >&2
        fail "the pictures in $artwork cannot be used (see --help for what each must be)"
    fi
fi

# The folder the carried script installs into and starts the client from.
top_folder=$(sed -n 's/^ *local exePath = "\([^"]*\)"$/\1/p' "$source_dir/resources/bootstrap.lua")
[ "$(echo "$top_folder" | wc -w)" -eq 1 ] ||
    fail "cannot tell from resources/bootstrap.lua which folder the package must hold"
step "packing the client into $package_name (under $top_folder/)"
package=$scratch/$package_name
python3 "$source_dir/tools/make_package.py" --client "$client" --top-folder "$top_folder" \
    --out "$package" >/dev/null || fail "the client folder could not be packed"
package_sha256=$(sha256sum "$package" | cut -d' ' -f1)
package_size=$(stat -c %s "$package")
# What the package extracts to: the sum of its entries' uncompressed sizes.
installed_size=$(python3 -c 'import sys, zipfile
print(sum(entry.file_size for entry in zipfile.ZipFile(sys.argv[1]).infolist()))' "$package") ||
    fail "cannot read the entries of $package"
[ "$installed_size" -gt 0 ] || installed_size=

step "building launcher.exe ($arch) in $build_dir for $url, SHA-256 $package_sha256, installing below $install_root"
mkdir -p "$build_dir"
# Two releases at once would build into the same folder: the second waits.
exec 8>"$build_dir/release.lock"
flock 8
build_log=$build_dir/release-build.log
if ! "$source_dir/scripts/build-windows.sh" --arch "$arch" --build-dir "$build_dir" \
    -DLAUNCHER_BUILD_TESTS=OFF -DLAUNCHER_BUILD_BENCH=OFF \
    -DLAUNCHER_PACKAGE_URL="$url" -DLAUNCHER_PACKAGE_SHA256="$package_sha256" \
    -DLAUNCHER_PACKAGE_SIZE="$package_size" -DLAUNCHER_INSTALLED_SIZE="$installed_size" \
    -DLAUNCHER_PRODUCT_NAME="$name" -DLAUNCHER_PUBLISHER="$publisher" \
    -DLAUNCHER_VERSION="$version" -DLAUNCHER_ARTWORK_DIR="$artwork" \
    -DLAUNCHER_INSTALL_ROOT="$install_root" >"$build_log" 2>&1; then
    tail -n 30 "$build_log" | sed 's/^/release: | /' >&2
    fail "the build failed (its whole output: $build_log)"
fi
launcher=$scratch/launcher.exe
cp "$build_dir/launcher.exe" "$launcher"
# What the launcher will fetch and accept is in its carried script, as plain text.
if ! grep -qF "$url" "$launcher" || ! grep -qF "$package_sha256" "$launcher" ||
    ! grep -qF "tonumber(\"$package_size\")" "$launcher" ||
    ! grep -qF "tonumber(\"$installed_size\")" "$launcher"; then
    fail "$build_dir/launcher.exe does not carry the URL, SHA-256 and sizes it was built with"
fi

signer=unsigned
if [ "$signing" -eq 1 ]; then
    command -v osslsigncode >/dev/null ||
        fail "osslsigncode is missing (scripts/build-windows.sh installs it)"
    unsigned=$scratch/unsigned.exe
    mv "$launcher" "$unsigned"
    if [ -n "$pkcs12" ]; then
        step "signing launcher.exe with $pkcs12"
        timestamp=()
        [ -z "$timestamp_url" ] || timestamp=(-ts "$timestamp_url")
        if ! output=$(osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" \
            -h sha256 -n "$name" "${timestamp[@]}" -in "$unsigned" -out "$launcher" 2>&1); then
            echo "$output" | sed 's/^/release: | /' >&2
            fail "osslsigncode could not sign launcher.exe (a wrong password reads as" \
                "'Wrong password?' or 'mac verify failure' above)"
        fi
    else
        cp "$unsigned" "$launcher"
        command=${sign_command//\{file\}/$(printf '%q' "$launcher")}
        step "signing launcher.exe: $command"
        status=0
        bash -c "$command" </dev/null || status=$?
        [ "$status" -eq 0 ] || fail "--sign-command failed with exit status $status: $command"
        if [ -n "$timestamp_url" ]; then
            step "time-stamping the signature at $timestamp_url"
            if ! output=$(osslsigncode add -ts "$timestamp_url" -h sha256 -in "$launcher" \
                -out "$scratch/stamped.exe" 2>&1); then
                echo "$output" | sed 's/^/release: | /' >&2
                fail "osslsigncode could not add the time stamp"
            fi
            mv "$scratch/stamped.exe" "$launcher"
        fi
    fi
    rm -f "$unsigned"
    step "verifying the signature against $ca_file"
    tsa=()
    [ -z "$timestamp_url" ] || tsa=(-TSA-CAfile "$ca_file")
    if ! output=$(osslsigncode verify -in "$launcher" -CAfile "$ca_file" "${tsa[@]}" 2>&1); then
        echo "$output" | sed 's/^/release: | /' >&2
        fail "the signature of launcher.exe does not verify against $ca_file (--ca-file names" \
            "the certificates it must chain to)"
    fi
    if [ -n "$timestamp_url" ] && echo "$output" | grep -q "Timestamp is not available"; then
        fail "launcher.exe carries no time stamp from $timestamp_url"
    fi
    # The first subject after "Signer's certificate:" is the signer's own.
    signer=$(echo "$output" | awk '/^Signer.s certificate:/ {found = 1}
        found && /Subject:/ {sub(/^[ \t]*Subject: */, ""); print; exit}')
    [ -n "$signer" ] || fail "osslsigncode verified launcher.exe but named no signer"
fi

step "writing SHA256SUMS and release.json"
(cd "$scratch" && sha256sum -- launcher.exe "$package_name" >SHA256SUMS)
python3 - "$scratch/release.json" "$name" "$publisher" "$version" "$url" "$package_name" \
    "$package_size" "${installed_size:-0}" "$package_sha256" "$(stat -c %s "$launcher")" \
    "$(sha256sum "$launcher" | cut -d' ' -f1)" "$signer" "$timestamp_url" "$arch" <<'EOF'
import json, sys
(path, name, publisher, version, url, package, package_size, installed_size, package_sha256,
 launcher_size, launcher_sha256, signer, timestamp_url, arch) = sys.argv[1:]
release = {
    "product": name, "publisher": publisher, "version": version,
    "package": {"file": package, "url": url, "size": int(package_size),
                "installed_size": int(installed_size), "sha256": package_sha256},
    "launcher": {"file": "launcher.exe", "architecture": arch, "size": int(launcher_size),
                 "sha256": launcher_sha256, "signer": signer,
                 "timestamp_url": timestamp_url or None},
}
with open(path, "w", encoding="utf-8") as f:
    json.dump(release, f, ensure_ascii=False, indent=2)
    f.write("\n")
EOF

mkdir -p "$out"
for file in launcher.exe "$package_name" SHA256SUMS release.json; do
    mv -f "$scratch/$file" "$out/$file"
done

echo
echo "Released in $((SECONDS - started)) s into $out:"
echo "  launcher.exe       give this to players (your website, your store page)"
echo "  $package_name"
echo "                     upload to $url"
echo "  SHA256SUMS, release.json   keep with your records of this release"
echo "The server must answer a GET of that URL with 200 and the whole file, and may answer a"
echo "Range request with 206 so that an interrupted download resumes. Keep the package at that"
echo "URL, unchanged, for as long as launchers pinned to it are in players' hands: a new client is"
echo "a new package at a new URL, with a new launcher."
[ "$scheme" = https ] || insecure_warning
if [ "$signing" -eq 0 ]; then
    echo "release: warning: launcher.exe is unsigned: Windows SmartScreen shows \"Unknown" \
        "publisher\" and warns players before it starts, and antivirus products quarantine" \
        "unsigned programs that download and start others far more often. Sign it with" \
        "--sign-pkcs12 or --sign-command." >&2
fi
