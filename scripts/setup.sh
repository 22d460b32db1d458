#!/usr/bin/env bash
# Installs what building and testing Korvelle needs, from Debian's packages.
# Asks dpkg first, so a ready machine needs neither network nor root.
set -euo pipefail

packages=(
    cmake ninja-build
    gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    libz-mingw-w64-dev
    wine wine32:i386 wine64
    xvfb xauth
    googletest
)

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
