#!/usr/bin/env bash
# Sets up the machine, builds Korvelle and starts the wizard in the project's
# own Wine prefix (under Xvfb when there is no display). Arguments go to Korvelle.exe.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")"

./scripts/setup.sh
. scripts/wine-env.sh
# The shipped programs only, in the tree that ./test.sh builds, configured as
# it configures it: going from one command to the other rebuilds nothing.
[ "$KORV_HOST_I386" = 1 ] || export KORV_BUILD_TESTS=OFF
./scripts/build.sh i686 korv_programs

exe=build/i686/app/Korvelle.exe
if [ ! -f "$exe" ]; then
    echo "run: Korvelle.exe is not part of the build yet: there is no program to start." >&2
    exit 1
fi

prefix=build/run-prefix
if [ ! -f "$prefix/env" ]; then
    managed=0
    [ -n "${DISPLAY:-}" ] && managed=1
    KORV_MANAGED_WINDOWS=$managed ./scripts/wineprefix.sh "$prefix" win64
fi
export KORV_PREFIX_DIR=$PWD/$prefix
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a ./scripts/wine-run.sh "$exe" "$@"
fi
exec ./scripts/wine-run.sh "$exe" "$@"
