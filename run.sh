#!/usr/bin/env bash
# Sets up the machine, builds Korvelle and starts the wizard in the project's
# own Wine prefix (under Xvfb when there is no display). Arguments go to Korvelle.exe.
set -euo pipefail
cd "$(dirname "$(realpath "$0")")"

./scripts/setup.sh
. scripts/wine-env.sh
# The shipped programs of the tree that ./test.sh builds and tests, configured
# as it configures it: going from one command to the other rebuilds nothing.
# A host without 32-bit code runs the 64-bit build.
arch=i686
[ "$KORV_HOST_I386" = 1 ] || arch=x86_64
./scripts/build.sh "$arch" korv_programs

prefix=build/run-prefix
if [ ! -f "$prefix/env" ]; then
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
