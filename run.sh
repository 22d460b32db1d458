#!/usr/bin/env bash
# Sets up the machine, builds Korvelle and starts the wizard in the project's
# own Wine prefix (under Xvfb when there is no display). Arguments go to Korvelle.exe.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")"

./scripts/setup.sh
. scripts/wine-env.sh
korv_take_host_road --say "$PWD/run.sh" "$@"
# The shipped programs only, in the tree that ./test.sh builds, configured as
# it configures it: going from one command to the other rebuilds nothing.
if [ "$KORV_HOST_I386" = 1 ]; then
    arch=i686
    prefix=build/run-prefix
    ./scripts/build.sh i686 korv_programs
else
    # The 32-bit programs cannot start here: the same sources built as 64-bit
    # programs run in a prefix made for this kind of host.
    echo "run: this host runs 64-bit code only; starting the x86_64 build"
    arch=x86_64
    prefix=build/run-prefix-x86_64
    ./scripts/build.sh x86_64 korv_programs
fi

exe=build/$arch/app/Korvelle.exe
if [ ! -f "$exe" ]; then
    echo "run: Korvelle.exe is not part of the build yet: there is no program to start." >&2
    exit 1
fi

if [ ! -f "$prefix/env" ]; then
    # On a desktop its window manager manages the windows; under Xvfb none does.
    managed=0
    [ -n "${DISPLAY:-}" ] && managed=1
    KORV_MANAGED_WINDOWS=$managed ./scripts/wineprefix.sh "$prefix" win64
fi
export KORV_PREFIX_DIR=$PWD/$prefix
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a ./scripts/wine-run.sh "$exe" "$@"
fi
exec ./scripts/wine-run.sh "$exe" "$@"
