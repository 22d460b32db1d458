#!/usr/bin/env bash
# Checks what scripts/wineprefix.sh promises: no drive z:, home and XDG folders
# inside the scratch folder, the recycle bin inside it too, WoW64 only in a
# win64 prefix, and refusals.
#   prefix_check.sh <scripts dir> <platform_tests.exe> <scratch parent>
set -euo pipefail
scripts=$1 exe=$2 parent=$3
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$parent/prefix-check"
mkdir -p "$parent"
dir="$parent/prefix-check/p"
"$scripts/wineprefix.sh" "$dir" win64 || fail "wineprefix.sh failed"
[ ! -e "$dir/prefix/dosdevices/z:" ] || fail "drive z: still there"
[ -e "$dir/prefix/dosdevices/c:" ] || fail "no drive c:"
( . "$dir/env"
  case "$HOME" in "$dir"/*) ;; *) fail "HOME outside the scratch folder: $HOME" ;; esac
  case "$XDG_DATA_HOME" in "$dir"/*) ;; *) fail "XDG_DATA_HOME outside: $XDG_DATA_HOME" ;; esac
  case "$WINEDLLOVERRIDES" in *mscoree*mshtml=*) ;; *) fail "Mono and Gecko not overridden" ;; esac
  [ "$WINEDEBUG" = -all ] || fail "WINEDEBUG is $WINEDEBUG" )

# Wine's Tahoma and Marlett in the prefix's Fonts folder; no crash dialog.
for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
    [ -f "$dir/prefix/drive_c/windows/Fonts/$font" ] || fail "$font not in the prefix's Fonts folder"
done
grep -A3 -F '[Software\\Wine\\WineDbg]' "$dir/prefix/user.reg" | grep -qF '"ShowCrashDialog"=dword:00000000' \
    || fail "WineDbg ShowCrashDialog is not 0"
grep -A3 -F '[Software\\Wine\\X11 Driver]' "$dir/prefix/user.reg" | grep -qF '"Managed"="N"' \
    || fail "X11 Driver Managed is not N"

# A file sent to the recycle bin lands in the scratch folder's trash.
marker="korvelle-recycle-$$.txt"
echo trash-me > "$dir/prefix/drive_c/$marker"
KORV_PREFIX_DIR="$dir" "$scripts/wine-run.sh" "$exe" --role=recycle_file "C:\\$marker" \
    || fail "recycling through the shell failed ($?)"
ls "$dir/home/.local/share/Trash/files/" 2>/dev/null | grep -q "^$marker" \
    || fail "the recycled file is not in the scratch trash"

# WoW64 exactly where a 32-bit program runs in a win64 prefix; never in a win32 one.
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$exe" | tr -d ' ')
expected=0
[ "$machine" = 014c ] && expected=1
code=0
KORV_PREFIX_DIR="$dir" "$scripts/wine-run.sh" "$exe" --role=is_wow64 || code=$?
[ $code -eq $expected ] || fail "IsWow64Process in win64 gave exit code $code, expected $expected"
. "$scripts/wine-env.sh"
if [ "$machine" = 014c ] && [ "$KORV_HOST_I386" = 1 ]; then
    dir32="$parent/prefix-check/p32"
    "$scripts/wineprefix.sh" "$dir32" win32 || fail "wineprefix.sh win32 failed"
    [ ! -e "$dir32/prefix/dosdevices/z:" ] || fail "drive z: still there (win32)"
    code=0
    KORV_PREFIX_DIR="$dir32" "$scripts/wine-run.sh" "$exe" --role=is_wow64 || code=$?
    [ $code -eq 0 ] || fail "IsWow64Process in win32 gave exit code $code, expected 0"
    ( . "$dir32/env"; "$KORV_WINESERVER" -k >/dev/null 2>&1 || true )
fi

# A prefix made for a host that runs 64-bit code only has no 32-bit half, as
# such a host makes it: its 32-bit system folder is empty and the 32-bit
# registry view lacks what Wine's 32-bit set-up writes there, apart from the
# folder values that wineprefix.sh fills in. Where 32-bit code runs, the
# ordinary win64 prefix has that half, and KORV_HOST_I386=0 forces the other
# road; on a 64-bit-only host the prefix above is already of that kind.
has_ie32() { grep -qi '^\[Software\\\\Wow6432Node\\\\Microsoft\\\\Internet Explorer\]' "$1/prefix/system.reg"; }
if [ "$KORV_HOST_I386" = 1 ]; then
    [ -n "$(ls -A "$dir/prefix/drive_c/windows/syswow64")" ] || fail "the win64 prefix has an empty syswow64"
    has_ie32 "$dir" || fail "the win64 prefix lacks its 32-bit Internet Explorer key"
    dir64="$parent/prefix-check/p64"
    KORV_HOST_I386=0 "$scripts/wineprefix.sh" "$dir64" win64 >/dev/null || fail "wineprefix.sh for a 64-bit-only host failed"
else
    dir64=$dir
fi
grep -qx "export KORV_HOST_I386='0'" "$dir64/env" || fail "the 64-bit-only prefix does not record its road"
[ -z "$(ls -A "$dir64/prefix/drive_c/windows/syswow64")" ] || fail "the 64-bit-only prefix has files in syswow64"
has_ie32 "$dir64" && fail "the 64-bit-only prefix has a 32-bit Internet Explorer key"
grep -qi '"ProgramFilesDir"="C:\\\\Program Files (x86)"' "$dir64/prefix/system.reg" ||
    fail "the 64-bit-only prefix lacks the 32-bit view's ProgramFilesDir"
if [ "$machine" = 014c ]; then
    # A 32-bit program cannot start there, as on a host that runs 64-bit code only.
    # Told by what it leaves undone, not by the exit code: Wine's launcher
    # ends with 0 when the process it made could not load its program.
    marker="korvelle-32bit-$$.txt"
    echo keep-me > "$dir64/prefix/drive_c/$marker"
    KORV_PREFIX_DIR="$dir64" "$scripts/wine-run.sh" "$exe" --role=recycle_file "C:\\$marker" \
        >/dev/null 2>&1 || true
    [ -f "$dir64/prefix/drive_c/$marker" ] || fail "a 32-bit program ran in the 64-bit-only prefix"
    rm -f "$dir64/prefix/drive_c/$marker"
fi
[ "$dir64" = "$dir" ] || ( . "$dir64/env"; "$KORV_WINESERVER" -k >/dev/null 2>&1 || true )

# A second run makes the prefix afresh.
touch "$dir/prefix/drive_c/leftover"
"$scripts/wineprefix.sh" "$dir" win64 >/dev/null || fail "second run failed"
[ ! -e "$dir/prefix/drive_c/leftover" ] || fail "second run kept the old prefix"
( . "$dir/env"; "$KORV_WINESERVER" -k >/dev/null 2>&1 || true )

# Refusals: the default prefix, a folder the script did not make.
if HOME="$parent/prefix-check/fakehome" "$scripts/wineprefix.sh" "$parent/prefix-check/fakehome/.wine" 2>/dev/null; then
    fail "~/.wine was accepted"
fi
mkdir -p "$parent/prefix-check/foreign" && echo keep > "$parent/prefix-check/foreign/file"
if "$scripts/wineprefix.sh" "$parent/prefix-check/foreign" 2>/dev/null; then
    fail "a foreign folder was accepted"
fi
[ -f "$parent/prefix-check/foreign/file" ] || fail "a foreign folder was touched"

rm -rf "$parent/prefix-check"
echo "prefix check passed"
