#!/usr/bin/env bash
# Configures (once) and builds one tree: scripts/build.sh i686|x86_64 [targets...]
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
arch=${1:?usage: build.sh i686|x86_64 [targets...]}
shift
tree=build/$arch
if [ ! -f "$tree/build.ninja" ]; then
    cmake -S . -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if [ $# -gt 0 ]; then
    cmake --build "$tree" --target "$@"
else
    cmake --build "$tree"
fi
