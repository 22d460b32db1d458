#!/usr/bin/env bash
# Sets up the machine, builds Korvelle and its tests, makes fresh Wine prefixes
# and runs the tests. The status is CTest's.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")"

./scripts/setup.sh
. scripts/wine-env.sh
korv_take_host_road --say "$PWD/test.sh" "$@"

tree=build/i686
if [ "$KORV_HOST_I386" = 1 ]; then
    ./scripts/build.sh i686
else
    # This host cannot execute 32-bit x86 code: the shipped 32-bit programs are
    # built (without the test programs, which could not run), and the same
    # sources are tested as 64-bit programs in a win64 prefix.
    echo "test: this host runs 64-bit code only; testing the x86_64 build"
    KORV_BUILD_TESTS=OFF ./scripts/build.sh i686
    ./scripts/build.sh x86_64
    tree=build/x86_64
fi

prefixes=(win64)
[ "$KORV_HOST_I386" = 1 ] && [ "$tree" = build/i686 ] && prefixes+=(win32)
pids=()
for arch in "${prefixes[@]}"; do
    ./scripts/wineprefix.sh "$tree/wine/$arch" "$arch" & pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

# Tests that need a desktop skip without an X display: the run has one. Every
# process of a prefix must see the same display, or the first one to open a
# window decides for the prefix's desktop and the others cannot.
xvfb=()
[ -z "${DISPLAY:-}" ] && xvfb=(xvfb-run -a)
exec "${xvfb[@]}" ctest --test-dir "$tree" --output-on-failure -j "$(nproc)" --timeout 900
