#!/usr/bin/env bash
# Installs what building and testing Korvelle needs, from Debian's packages.
# Asks dpkg first, so a ready machine needs neither network nor root.
set -euo pipefail

packages=(
    cmake ninja-build
    gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    libz-mingw-w64-dev libpng-tools
    wine wine32:i386 wine64
    xvfb xauth x11-apps imagemagick fonts-wine
    googletest
    tcl8.6 gcc make
    python3 unicode-data
)

# Source packages whose original tarballs the build uses: the PNG codec that
# the controls link (Debian has no mingw build of it) and the test SQLite library.
source_packages=(libpng1.6 sqlite3)
source_cache=${KORV_SOURCE_CACHE:-/var/cache/korvelle/sources}

has_orig() { compgen -G "$source_cache/${1}_*.orig.tar.*" >/dev/null; }

# The Japanese-locale test run needs the host locale, or Wine cannot make
# non-ASCII file names under it.
need_locale=0
locale -a 2>/dev/null | grep -qix 'ja_JP.utf8' || need_locale=1

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
missing_sources=()
for p in "${source_packages[@]}"; do
    has_orig "$p" || missing_sources+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ ${#missing_sources[@]} -eq 0 ] && [ $need_locale -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

if [ $need_locale -eq 1 ]; then
    echo "setup: generating the ja_JP.UTF-8 locale"
    $sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
[ ${#missing[@]} -eq 0 ] && [ ${#missing_sources[@]} -eq 0 ] && exit 0

# Every change to apt's sources first, so that one update serves both steps.
if [ ${#missing[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
# apt-get source needs deb-src entries; Debian's own sources file lists only "deb".
if [ ${#missing_sources[@]} -gt 0 ] &&
    ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && grep -q '^URIs:.*debian' "$f" || continue
        $sudo sed -i -E 's/^Types: deb$/Types: deb deb-src/' "$f"
    done
    if [ -f /etc/apt/sources.list ]; then
        grep -E '^deb [^#]*debian' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
            $sudo tee -a /etc/apt/sources.list >/dev/null || true
    fi
fi
$sudo apt-get update -qq

if [ ${#missing_sources[@]} -gt 0 ]; then
    echo "setup: fetching the sources of ${missing_sources[*]}"
    $sudo mkdir -p "$source_cache"
    for p in "${missing_sources[@]}"; do
        # The exit code is no guide: the security update's .dsc may answer 404
        # while the original tarball, all the build needs, has arrived.
        ( cd "$source_cache" && $sudo apt-get source --download-only -qq "$p" >/dev/null 2>&1 ) || true
        has_orig "$p" || { echo "setup: no original tarball of $p arrived" >&2; exit 1; }
    done
fi

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "setup: done"
