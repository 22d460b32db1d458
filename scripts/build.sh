#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh i686|x86_64 [targets...]
# KORV_BUILD_TESTS=OFF leaves the test programs out of the tree.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")/.."
arch=${1:?usage: build.sh i686|x86_64 [targets...]}
shift
tree=build/$arch
cmake -S . -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKORV_TESTS="${KORV_BUILD_TESTS:-ON}" >/dev/null
if [ $# -gt 0 ]; then
    cmake --build "$tree" --target "$@"
else
    cmake --build "$tree"
fi
