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

if [ ! -f "$prefix/env" ]; then
    # On a desktop its window manager manages the windows; under Xvfb none does.
    managed=0
    [ -n "${DISPLAY:-}" ] && managed=1
    KORV_MANAGED_WINDOWS=$managed ./scripts/wineprefix.sh "$prefix" win64
fi
. "$prefix/env"
# A 32-bit program lives in the 32-bit program folder of 64-bit Windows.
folder='C:\Program Files\Korvelle'
[ "$arch" = i686 ] && folder='C:\Program Files (x86)\Korvelle'
target=$("$KORV_WINE" winepath -u "$folder" 2>/dev/null | tr -d '\r')
# A server started without this display would keep the prefix's desktop on another one.
"$KORV_WINESERVER" -k >/dev/null 2>&1 || true
mkdir -p "$target"
cp "build/$arch/app/Korvelle.exe" "build/$arch/tray/Lindova.exe" "$target/"

# Installed once per prefix; the translation table is written out afresh
# (the build may have changed it) once LngVer is gone.
start() {
    local exe="$1\\Korvelle.exe"
    shift
    cd "$WINEPREFIX/drive_c"
    if ! "$KORV_WINE" reg query 'HKLM\Software\Korvelle' /reg:32 >/dev/null 2>&1; then
        "$KORV_WINE" "$exe" /INSTALL
    fi
    "$KORV_WINE" reg delete 'HKLM\Software\Korvelle' /v LngVer /f /reg:32 >/dev/null 2>&1 || true
    exec "$KORV_WINE" "$exe" "$@"
}
if [ -z "${DISPLAY:-}" ]; then
    export -f start
    exec xvfb-run -a bash -c 'start "$@"' run "$folder" "$@"
fi
start "$folder" "$@"
