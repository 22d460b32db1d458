#!/usr/bin/env bash
# The tray runs the postponed start-up programs once per Windows session: the
# mark lives on the desktop window, which ends with the wineserver. Runs in a
# prefix and server of its own, under an X display (without one: status 77,
# skipped):
#
#   session_check.sh <scripts dir> <prefix dir> <win64|win32> Lindova.exe Korvelle-stub.exe marker.exe tray_tests.exe
#
# Wine's desktop process ends soon after the last program, and the desktop
# window with it; a process of tray_tests.exe keeps it alive meanwhile, as a
# logged-on user's programs keep a Windows session.
#
# 1. The user's list holds U0 (level 0) and U1 (level 1); "/STOP" after U0
#    ends the tray before U1, with status 0.
# 2. A second run in the same session starts nothing.
# 3. After the server ends (a new Windows session) both run.
set -euo pipefail
scripts=$1 dir=$2 arch=$3 lindova=$4 stub=$5 marker=$6 tests=$7

fail() { echo "FAIL: $*" >&2; exit 1; }
if [ -z "${DISPLAY:-}" ]; then
    echo "SKIP: needs an X display (./test.sh runs the tests under Xvfb)"
    exit 77
fi

"$scripts/wineprefix.sh" "$dir" "$arch" >/dev/null
. "$dir/env"
cleanup() { "$KORV_WINESERVER" -k >/dev/null 2>&1 || true; rm -rf "$dir"; }
trap cleanup EXIT
"$scripts/wineserver-ctl.sh" start "$dir"

run=$WINEPREFIX/drive_c/kvsession
mkdir -p "$run"
cp "$lindova" "$run/Lindova.exe"
cp "$stub" "$run/Korvelle.exe"
cp "$marker" "$run/marker.exe"
cp "$tests" "$run/tray_tests.exe"
keep_session() { ( cd "$run" && "$KORV_WINE" 'C:\kvsession\tray_tests.exe' --role=keep_session 300000 ) & }
log=$run/marker.log

appdata=$("$KORV_WINE" cmd /c echo %APPDATA% 2>/dev/null | tr -d '\r')
userdir=$(cd "$WINEPREFIX/drive_c" && "$KORV_WINE" winepath -u "$appdata" 2>/dev/null)
[ -n "$userdir" ] || fail "no application-data folder"
mkdir -p "$userdir/Korvelle"
printf '<startup>\r\n    <run app="U0" name="U0" value="C:\\kvsession\\marker.exe U0" priority="0" />\r\n    <run app="U1" name="U1" value="C:\\kvsession\\marker.exe U1" priority="1" />\r\n</startup>\r\n' \
    > "$userdir/Korvelle/startup.xml"
# Without the icon each run ends after its start-up programs.
"$KORV_WINE" reg add 'HKLM\Software\Korvelle' /v SHOW_TRAY /t REG_SZ /d 0 /f /reg:32 >/dev/null 2>&1

tags() { [ -f "$log" ] && cut -d' ' -f1 "$log" | tr -d '\r' | paste -sd, - || true; }
lindova() { ( cd "$run" && "$KORV_WINE" 'C:\kvsession\Lindova.exe' /startup ); }

# 1. Stopped after U0.
keep_session
lindova & tray=$!
for _ in $(seq 1 300); do [ -n "$(tags)" ] && break; sleep 0.1; done
[ "$(tags)" = U0 ] || fail "run 1 started '$(tags)' before the stop"
( cd "$run" && "$KORV_WINE" 'C:\kvsession\Korvelle.exe' /STOP )
status=0; wait $tray || status=$?
[ $status -eq 0 ] || fail "run 1 ended with status $status"
sleep 7
[ "$(tags)" = U0 ] || fail "run 1 went on after the stop: '$(tags)'"
echo "run 1: U0, stopped before U1, status 0"

# 2. The same Windows session.
status=0; timeout 60 bash -c "$(declare -f lindova); run='$run' KORV_WINE='$KORV_WINE' lindova" || status=$?
[ $status -eq 0 ] || fail "run 2 ended with status $status"
sleep 2
[ "$(tags)" = U0 ] || fail "run 2 started programs again: '$(tags)'"
echo "run 2: nothing started, status 0"

# 3. A new session.
"$KORV_WINESERVER" -k >/dev/null 2>&1 || true
"$KORV_WINESERVER" -w || true
"$scripts/wineserver-ctl.sh" start "$dir"
keep_session
status=0; timeout 120 bash -c "$(declare -f lindova); run='$run' KORV_WINE='$KORV_WINE' lindova" || status=$?
[ $status -eq 0 ] || fail "run 3 ended with status $status"
sleep 1
[ "$(tags)" = U0,U0,U1 ] || fail "run 3 started '$(tags)'"
echo "run 3: U0 and U1, status 0"
