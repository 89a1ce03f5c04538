#!/usr/bin/env bash
# Builds the 32-bit Windows launcher, build-windows/launcher.exe, with Debian's mingw-w64.
#
# Lua 5.1, minizip (zlib's contrib/minizip, with its Win32 file layer) and libcurl (HTTP and
# HTTPS, TLS through Windows' own Schannel) are built static from Debian's own source packages;
# zlib comes from libz-mingw-w64-dev and GoogleTest from /usr/src/googletest. They are cached
# outside the repository, in ${LAUNCHER_WIN32_CACHE:-~/.cache/launcher-win32-deps}/<key>, the key
# naming every version that went into them, so only the first run (or a new Debian upload)
# builds them.
#
# Arguments are passed on to CMake: scripts/build-windows.sh -DLAUNCHER_DOWNLOAD_HOST=host:port
#
# `--arch x86_64` before them (or LAUNCHER_WINDOWS_ARCH=x86_64) builds the same for 64-bit
# Windows instead, into build-windows64/, with its own dependency cache and wine64 to run its
# tests: for machines whose kernel cannot run the 32-bit Wine (see scripts/test.sh).
# `--build-dir DIR` before them builds into DIR instead (scripts/release.sh builds there).
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
apt_log_name=build-windows
source scripts/apt-helpers.sh

arch=${LAUNCHER_WINDOWS_ARCH:-i686}
chosen_build_dir=
while [ $# -gt 0 ]; do
    case $1 in
    --arch)
        arch=${2:-}
        shift 2 || shift
        ;;
    --build-dir)
        chosen_build_dir=${2:-}
        shift 2 || shift
        ;;
    *) break ;;
    esac
done

# Bump when the recipes below change, so that old caches are not reused.
recipe=6
case $arch in
i686)
    triplet=i686-w64-mingw32
    # As in cmake/mingw-i686.cmake: double arithmetic in SSE2, without x87 excess precision.
    cflags="-O2 -msse2 -mfpmath=sse"
    toolchain=$source_dir/cmake/mingw-i686.cmake
    build_dir=build-windows
    compiler_package=g++-mingw-w64-i686-posix
    wine_packages=(wine wine32:i386)
    # The 32-bit key names no triplet, as before there was a second one.
    key_prefix=
    ;;
x86_64)
    triplet=x86_64-w64-mingw32
    cflags="-O2"
    toolchain=$source_dir/cmake/mingw-x86_64.cmake
    build_dir=build-windows64
    compiler_package=g++-mingw-w64-x86-64-posix
    wine_packages=(wine wine64)
    key_prefix=${triplet}_
    ;;
*)
    echo "build-windows: unknown architecture '$arch' (i686 or x86_64)" >&2
    exit 1
    ;;
esac
build_dir=${chosen_build_dir:-$build_dir}
cache_root=${LAUNCHER_WIN32_CACHE:-$HOME/.cache/launcher-win32-deps}
jobs=$(nproc)
if [ "$jobs" -gt 2 ]; then
    jobs=2
fi

log() {
    echo "build-windows: $*"
}

# --- Debian packages: the cross compiler, mingw's zlib, Wine to run the tests, apt-get source ---

add_deb_src_entries() {
    local id codename
    id=$(. /etc/os-release && echo "${ID:-}")
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ "$id" != debian ] || [ -z "$codename" ]; then
        apt_die "apt has no deb-src entry, and this is no Debian release to add one for;" \
            "add a deb-src entry that offers lua5.1, zlib and curl, then run this again"
    fi
    log "adding deb-src entries for $codename (for apt-get source)"
    apt_need_root
    $sudo tee /etc/apt/sources.list.d/launcher-deb-src.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
}

# Where apt cannot install the 32-bit Wine (an i386 index that fails to update, as while a mirror
# syncs), launcher.exe is still built; this file in the build folder then says why, and
# scripts/test.sh runs the Windows tests as the 64-bit build instead.
wine32_unavailable=$build_dir/wine32-unavailable

ensure_packages() {
    local apt_changed=0 wine_why=
    if [ "$arch" = i686 ] && [ "$(dpkg --print-architecture)" != i386 ] &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        log "adding the i386 architecture (for wine32)"
        apt_need_root
        if $sudo dpkg --add-architecture i386; then
            apt_changed=1
        else
            wine_why="dpkg cannot add the i386 architecture"
        fi
    fi
    if ! grep -rqs '^\(Types:.*deb-src\|deb-src \)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        add_deb_src_entries
        apt_changed=1
    fi

    # The fonts the tests' status line is drawn with under Wine (see scripts/wine-run.sh): Wine's
    # own, only recommended by libwine, and a font with Chinese glyphs. osslsigncode signs what
    # scripts/release.sh builds here; tinyproxy is the forward proxy of the proxy tests under Wine.
    local packages=(cmake pkg-config dpkg-dev "$compiler_package" libz-mingw-w64-dev
                    googletest fonts-wine fonts-wqy-microhei locales python3 osslsigncode tinyproxy)
    local missing wine_missing
    mapfile -t missing < <(apt_missing "${packages[@]}")
    mapfile -t wine_missing < <(apt_missing "${wine_packages[@]}")
    # A fresh container has no lists at all: apt-cache then knows no package and no source.
    if [ "$apt_changed" -eq 1 ] || [ $((${#missing[@]} + ${#wine_missing[@]})) -gt 0 ] ||
        apt_lists_empty Packages || apt_lists_empty Sources; then
        apt_update
    fi
    if apt_lists_empty Sources; then
        apt_die "apt fetched no list of source packages: no deb-src entry is reachable" \
            "(see /etc/apt/sources.list and /etc/apt/sources.list.d/)"
    fi
    if [ ${#missing[@]} -gt 0 ]; then
        apt_install "${missing[@]}"
    fi
    # The compiler is an amd64 package and installs apart from the 32-bit Wine: where only the
    # latter cannot be installed, the program is still built and its imports checked.
    if [ "$arch" = x86_64 ]; then
        [ ${#wine_missing[@]} -eq 0 ] || apt_install "${wine_missing[@]}"
    elif [ -z "$wine_why" ] && { [ ${#wine_missing[@]} -eq 0 ] ||
        apt_try_install "${wine_missing[@]}"; }; then
        rm -f "$wine32_unavailable"
    else
        wine_why=${wine_why:-$apt_reason}
        log "apt cannot install wine32:i386 ($wine_why): launcher.exe is still built, and its" \
            "tests cannot run here as the 32-bit build"
        mkdir -p "$build_dir"
        echo "apt cannot install wine32:i386 ($wine_why)" >"$wine32_unavailable"
    fi
    # The code-page tests run Wine in a Chinese locale (ANSI code page 936); Wine can name files
    # in it only when the C library has that locale.
    if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8'; then
        log "generating the zh_CN.UTF-8 locale"
        apt_need_root
        $sudo localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
    fi
}

# --- Versions and the cache key ---

# Every source version apt knows for a source package, newest first.
source_versions() {
    apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ {print $2}' |
        sort --unique --version-sort --reverse
}

binary_version() {
    dpkg-query -W -f='${Version}' "$1"
}

newest_source_version() {
    local newest
    newest=$(source_versions "$1" | head -n 1)
    if [ -z "$newest" ]; then
        apt_die "apt knows no source package $1: no reachable deb-src entry offers it"
    fi
    echo "$newest"
}

# The cache folder for the given lua5.1, zlib, curl and libdeflate source versions, with the
# installed packages the build also takes in.
cache_dir_for() {
    local key="${key_prefix}lua5.1-$1_zlib-$2_curl-$3_libdeflate-$4"
    key+="_zmingw-$(binary_version libz-mingw-w64-dev)"
    key+="_gtest-$(binary_version googletest)"
    key+="_gcc-$(binary_version "$compiler_package")"
    key+="_r$recipe"
    echo "$cache_root/${key//[^A-Za-z0-9._+-]/_}"
}

# The folder apt-get source unpacks a version into.
source_folder() {
    local upstream=${2#*:}
    echo "$1-${upstream%-*}"
}

# Fetches and unpacks a source package into the current folder: the newest version first, older
# ones when a mirror lacks it (security uploads are sometimes missing from a deb-src mirror).
# Appends "<package> <version>" of what it unpacked to versions.txt.
fetch_source() {
    local package=$1 version
    for version in $(source_versions "$package"); do
        if apt-get source -qq --only-source "$package=$version" >"fetch-$package.log" 2>&1; then
            echo "$package $version" >>versions.txt
            return 0
        fi
        log "$package $version could not be fetched, trying an older version" >&2
    done
    cat "fetch-$package.log" >&2
    apt_die "no version of the $package source package could be fetched"
}

fetched_version() {
    awk -v package="$1" '$1 == package {print $2}' versions.txt
}

# --- The builds, each installing into $prefix ---
# The .pc files name their prefix relative to themselves (${pcfiledir}): the prefix is built in a
# scratch folder and moved into the cache when complete.

build_lua() {
    local src=$1/src
    # The library only: not the stand-alone interpreter and compiler.
    for file in "$src"/*.c; do
        case $(basename "$file") in
        lua.c | luac.c | print.c) continue ;;
        esac
        echo "$triplet-gcc-posix $cflags -c $file -o lua-$(basename "$file" .c).o"
    done | xargs -P "$jobs" -I{} sh -c '{}'
    rm -f "$prefix/lib/liblua5.1.a"
    $triplet-gcc-ar-posix rcs "$prefix/lib/liblua5.1.a" lua-*.o
    mkdir -p "$prefix/include/lua5.1"
    cp "$src/lua.h" "$src/luaconf.h" "$src/lualib.h" "$src/lauxlib.h" "$1/etc/lua.hpp" \
        "$prefix/include/lua5.1/"
    cat >"$prefix/lib/pkgconfig/lua5.1.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: Lua
Description: Lua 5.1, static, for $triplet
Version: ${1##*/lua5.1-}
Cflags: -I\${includedir}/lua5.1
Libs: -L\${libdir} -llua5.1
EOF
}

build_minizip() {
    local src=$1/contrib/minizip
    for name in ioapi unzip zip iowin32 mztools; do
        echo "$triplet-gcc-posix $cflags -I$src -c $src/$name.c -o minizip-$name.o"
    done | xargs -P "$jobs" -I{} sh -c '{}'
    rm -f "$prefix/lib/libminizip.a"
    $triplet-gcc-ar-posix rcs "$prefix/lib/libminizip.a" minizip-*.o
    mkdir -p "$prefix/include/minizip"
    cp "$src"/{ioapi,unzip,zip,iowin32,mztools,crypt}.h "$prefix/include/minizip/"
    # Like Debian's: both <unzip.h> and <minizip/unzip.h> work.
    cat >"$prefix/lib/pkgconfig/minizip.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: minizip
Description: zlib's minizip with its Win32 file layer, static, for $triplet
Version: ${1##*/zlib-}
Requires: zlib
Cflags: -I\${includedir}/minizip -I\${includedir}
Libs: -L\${libdir} -lminizip
EOF
}

build_libdeflate() {
    # Its decompression and CRC-32 alone, with the processor's features picked at run time.
    local src=$1 name
    for name in deflate_decompress utils crc32 x86/cpu_features; do
        echo "$triplet-gcc-posix $cflags -I$src -c $src/lib/$name.c -o libdeflate-${name//\//-}.o"
    done | xargs -P "$jobs" -I{} sh -c '{}'
    rm -f "$prefix/lib/libdeflate.a"
    $triplet-gcc-ar-posix rcs "$prefix/lib/libdeflate.a" libdeflate-*.o
    cp "$src/libdeflate.h" "$prefix/include/"
    cat >"$prefix/lib/pkgconfig/libdeflate.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libdeflate
Description: libdeflate's decompression, static, for $triplet
Version: ${1##*/libdeflate-}
Cflags: -I\${includedir}
Libs: -L\${libdir} -ldeflate
EOF
}

build_curl() {
    # HTTP and HTTPS and nothing else. TLS is Schannel's, with Windows' own certificate store:
    # no OpenSSL, and no CA file or folder of the build machine (CMake would find the Linux ones
    # and carry their paths into the program). No other protocol, no compression or IDN library.
    # NTLM and Negotiate through SSPI, so a proxy that asks is answered with the logged-on user's
    # own credentials.
    cmake -S "$1" -B curl-build -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
        -DHTTP_ONLY=ON -DCURL_ENABLE_SSL=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF \
        -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none -DCURL_CA_FALLBACK=OFF \
        -DCURL_WINDOWS_SSPI=ON -DCURL_DISABLE_CRYPTO_AUTH=OFF -DCURL_DISABLE_NTLM=OFF \
        -DCURL_DISABLE_PROXY=OFF \
        -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF \
        -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF \
        -DCURL_USE_GSSAPI=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
        -DENABLE_UNIX_SOCKETS=OFF -DPICKY_COMPILER=OFF >curl-configure.log 2>&1 ||
        { cat curl-configure.log >&2; exit 1; }
    # A curl whose options no longer mean this would build quietly without TLS, or without the
    # proxy authentication.
    local config=curl-build/lib/curl_config.h
    if ! grep -q '^#define USE_SCHANNEL 1' "$config" ||
        grep -q '^#define CURL_CA_\(BUNDLE\|PATH\) ' "$config"; then
        apt_die "$1 did not configure with Schannel alone (see $PWD/curl-configure.log)"
    fi
    if ! grep -q '^#define USE_WINDOWS_SSPI 1' "$config" ||
        grep -q '^#define CURL_DISABLE_\(NTLM\|CRYPTO_AUTH\|PROXY\) ' "$config"; then
        apt_die "$1 did not configure with proxies and NTLM and Negotiate through SSPI" \
            "(see $PWD/curl-configure.log)"
    fi
    cmake --build curl-build -j "$jobs" >curl-build.log 2>&1 || { cat curl-build.log >&2; exit 1; }
    cmake --install curl-build >/dev/null
    # Static use needs CURL_STATICLIB and the system libraries in Libs, where CMake's pkg-config
    # module looks. Schannel itself (secur32.dll) is loaded at run time.
    cat >"$prefix/lib/pkgconfig/libcurl.pc" <<EOF
prefix=\${pcfiledir}/../..
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: libcurl
Description: libcurl for HTTP and HTTPS through Schannel, static, for $triplet
Version: ${1##*/curl-}
Cflags: -I\${includedir} -DCURL_STATICLIB
Libs: -L\${libdir} -lcurl -lwinmm -lws2_32 -ladvapi32 -lcrypt32 -lbcrypt
EOF
}

build_googletest() {
    cmake -S /usr/src/googletest -B gtest-build -G "Unix Makefiles" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON \
        >gtest-configure.log 2>&1 || { cat gtest-configure.log >&2; exit 1; }
    cmake --build gtest-build -j "$jobs" >gtest-build.log 2>&1 || { cat gtest-build.log >&2; exit 1; }
    cmake --install gtest-build >/dev/null
}

# Fetches the sources, then builds them into the cache folder named after the versions that
# were fetched: when a mirror lacked the newest one, that is an older folder, which may already
# be there, and <newest folder>.fallback names it. Sets $deps to the folder used.
build_dependencies() {
    local work
    work=$(mktemp -d "$cache_root/.build-XXXXXX")
    # An interrupted build leaves no scratch behind.
    trap "rm -rf '$work'" EXIT
    trap 'exit 1' INT TERM HUP
    prefix=$work/prefix
    mkdir -p "$prefix/lib/pkgconfig" "$prefix/include"
    (
        cd "$work"
        # mktemp's folder is private; apt's download user must be able to write into it.
        chmod 755 "$work"
        log "fetching Debian sources of lua5.1, zlib, curl and libdeflate"
        fetch_source lua5.1
        fetch_source zlib
        fetch_source curl
        fetch_source libdeflate
    )
    local lua zlib curl libdeflate built
    lua=$(cd "$work" && fetched_version lua5.1)
    zlib=$(cd "$work" && fetched_version zlib)
    curl=$(cd "$work" && fetched_version curl)
    libdeflate=$(cd "$work" && fetched_version libdeflate)
    built=$(cache_dir_for "$lua" "$zlib" "$curl" "$libdeflate")
    if [ "$built" != "$deps" ]; then
        log "the newest sources could not all be fetched; using lua5.1 $lua, zlib $zlib," \
            "curl $curl, libdeflate $libdeflate"
        basename "$built" >"$deps.fallback"
        deps=$built
    else
        rm -f "$deps.fallback"
    fi
    if [ -d "$deps" ]; then
        log "dependencies of these versions cached in $deps"
    else
        log "building dependencies into $deps"
        (
            cd "$work"
            log "building Lua $lua"
            build_lua "$work/$(source_folder lua5.1 "$lua")"
            log "building minizip from zlib $zlib"
            build_minizip "$work/$(source_folder zlib "$zlib")"
            log "building curl $curl (HTTP and HTTPS through Schannel)"
            build_curl "$work/$(source_folder curl "$curl")"
            log "building libdeflate $libdeflate"
            build_libdeflate "$work/$(source_folder libdeflate "$libdeflate")"
            log "building GoogleTest $(binary_version googletest)"
            build_googletest
            cp versions.txt "$prefix/"
            # The prefix moves into place below: nothing may refer to where it was built.
            rm -f "$prefix"/lib/pkgconfig/{gtest,gtest_main,gmock,gmock_main}.pc
        )
        # Published only when complete, so an interrupted run leaves no half-built cache.
        # A run alongside may have published the same key first; theirs is as good.
        if ! mv -T "$prefix" "$deps" 2>/dev/null && [ ! -d "$deps" ]; then
            apt_die "cannot move the dependencies into $deps"
        fi
    fi
    rm -rf "$work"
    trap - EXIT
}

ensure_packages

# Named after the newest sources apt knows, which is what a build fetches when the mirror has
# them; build_dependencies names the folder after what it really fetched.
deps=$(cache_dir_for "$(newest_source_version lua5.1)" "$(newest_source_version zlib)" \
    "$(newest_source_version curl)" "$(newest_source_version libdeflate)")

mkdir -p "$cache_root"
# Fetching the sources again only to fall back to the same older ones costs a few seconds and
# the network on every run: within a day of a fall-back, its build is used at once.
fallback=
if [ -n "$(find "$deps.fallback" -mmin -1440 2>/dev/null)" ]; then
    fallback=$cache_root/$(cat "$deps.fallback")
fi
if [ -d "$deps" ]; then
    log "dependencies cached in $deps"
elif [ -n "$fallback" ] && [ -d "$fallback" ]; then
    log "the newest sources could not all be fetched within the last day; using $fallback"
    deps=$fallback
else
    started=$SECONDS
    build_dependencies
    log "dependencies ready after $((SECONDS - started)) s"
fi

# pkg-config results stay in CMake's cache: after a dependency rebuild, configure afresh.
if [ -f "$build_dir/CMakeCache.txt" ] &&
    ! grep -qxF "LAUNCHER_WIN32_DEPS:PATH=$deps" "$build_dir/CMakeCache.txt"; then
    rm -f "$build_dir/CMakeCache.txt"
fi
cmake -S . -B "$build_dir" -DLAUNCHER_WIN32_DEPS:PATH="$deps" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build_dir" -j "$jobs"

if [ "$arch" = x86_64 ] &&
    [ "$($triplet-objdump -p "$build_dir/launcher.exe" | awk '/^Magic/ {print $3}')" != "(PE32+)" ]; then
    echo "build-windows: $build_dir/launcher.exe is not a 64-bit (PE32+) program" >&2
    exit 1
fi
# One file, and no DLL beyond what every Windows system has.
imports=$($triplet-objdump -p "$build_dir/launcher.exe" | awk '/DLL Name:/ {print tolower($3)}')
for dll in $imports; do
    case $dll in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | ole32.dll | \
        oleaut32.dll | ws2_32.dll | winmm.dll | msvcrt.dll | bcrypt.dll | gdiplus.dll | \
        shlwapi.dll | comctl32.dll | crypt32.dll | secur32.dll | winhttp.dll) ;;
    *)
        echo "build-windows: launcher.exe needs $dll, which Windows does not provide" >&2
        exit 1
        ;;
    esac
done
# Nor any function that Windows 7 SP1 lacks, which would keep the program from starting there.
OBJDUMP=$triplet-objdump scripts/check-win7-imports.sh "$build_dir/launcher.exe" >/dev/null
log "built $build_dir/launcher.exe (imports: $(echo $imports | tr ' ' ','))"
