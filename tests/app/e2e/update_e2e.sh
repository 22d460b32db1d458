#!/usr/bin/env bash
# The settings page and the self-update end to end, installed as ./run.sh
# installs it, with the real tray program, driven from outside through the
# wizard's inspection (KV_INSPECT=1) with formdrive.exe:
#
#   update_e2e.sh <prefix dir> <win64|win32> <build arch: i686|x86_64> <bin dir> <evidence dir>
#
# <bin dir>/next/Korvelle.exe is the same program with the file version
# 1.0.0.2. The stand-in service answers the support number 555-0100 and a
# check whose list names that file (its size and SHA-256), served from
# 127.0.0.1.
#
# On the settings page: postponing switched off and saved writes HKLM
# DELAY_STARTUP "0" and puts the postponed fixtures back (a Run value of each
# scope, a shortcut of the user's); the tray stays the one that runs. The
# tray icon switched off and saved ends the running tray (it got the
# refresh); switched on again and saved, a tray starts. "Check for Updates",
# its question answered Yes, leaves the new Korvelle.exe beside the running
# one as Korvelle.new and restarts the tray (the old one gone, one new one
# running); the wizard's end puts it in place, and the next start finds
# nothing left over. The programs are uninstalled and the
# fixtures removed at the end.
set -euo pipefail
prefix_dir=$1 arch=$2 build_arch=$3 bin=$4 evidence=$5
here=$(dirname "$(realpath "$0")")

tools_name=kupdate
. "$here/e2e_common.sh"
service_phone=555-0100
. "$here/e2e_service.sh"

next=$bin/next/Korvelle.exe
[ -f "$next" ] || fail "no next version of the program at $next"
site=$tools/site
rm -rf "$site"
mkdir -p "$site"
cp "$next" "$site/Korvelle.exe"
tray="$folder\\Lindova.exe"
run_key='Software\Microsoft\Windows\CurrentVersion\Run'
# Every Wine process counts (about a second each on a busy machine): the
# folders in one, their Linux paths in one.
{ read -r appdata; read -r programdata; } < <(w cmd /c 'echo %APPDATA%& echo %ProgramData%')
{ read -r user_data; read -r common_data; read -r user_startup; } < <(
    "$KORV_WINE" winepath -u "$appdata\\Korvelle" "$programdata\\Korvelle" \
        "$appdata\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp" 2>/dev/null | tr -d '\r')
[ -d "$user_data" ] && [ -d "$common_data" ] && [ -d "$user_startup" ] ||
    fail "data or start-up folders missing: '$user_data' '$common_data' '$user_startup'"

wizard=
update_cleanup() {
    [ -n "$wizard" ] && kill "$wizard" 2>/dev/null || true
    cleanup
    service_cleanup
    # The uninstall put whatever was still postponed back (and took the
    # program's key with it).
    reg_import <<REG || true
[HKEY_CURRENT_USER\\$run_key]
"KvUpdE2EUser"=-

[HKEY_LOCAL_MACHINE\\$run_key]
"KvUpdE2EAll"=-
REG
    rm -f "$user_startup/KvUpdE2E.lnk" "$user_data/Startup/KvUpdE2E.lnk" \
        "$user_data/startup.xml" "$common_data/startup.xml"
    # The shipped program again, for the prefix's next scripts.
    rm -f "$unix_folder/Korvelle.old" "$unix_folder/Korvelle.new"
    cp "$bin/Korvelle.exe" "$unix_folder/Korvelle.exe" || true
}
trap update_cleanup EXIT

# The ids of the running tray programs, in order.
tray_pids() {
    timeout 60 "$KORV_WINE" wmic process get name,processid 2>/dev/null | iconv -f UTF-16 -t UTF-8 |
        tr -d '\r' | awk 'tolower($1) == "lindova.exe" { print $2 }' | sort -n | paste -sd' ' -
}
# Until exactly <n> tray programs run (at most 20 s); prints their ids.
trays_become() {
    local pids=
    for _ in $(seq 40); do
        pids=$(tray_pids)
        [ "$(wc -w <<< "$pids")" -eq "$1" ] && { echo "$pids"; return 0; }
        sleep 0.5
    done
    echo "$pids"
    return 1
}
# The file version of a program's VERSIONINFO: the fixed block (signature
# FEEF04BD, then the structure version 1.0) read from the file's bytes.
file_version() {
    local file=$1 at
    local -a w16
    for at in $(LC_ALL=C grep -obUaF $'\xbd\x04\xef\xfe' "$file" | cut -d: -f1); do
        read -ra w16 <<< "$(od -An -tu2 -j $((at + 4)) -N 12 "$file")"
        [ "${w16[0]} ${w16[1]}" = "0 1" ] && { echo "${w16[3]}.${w16[2]}.${w16[5]}.${w16[4]}"; return 0; }
    done
    echo none
}
# Registry changes in one import (32-bit view): a .reg text on stdin, after
# its header line.
reg_import() {
    { printf 'Windows Registry Editor Version 5.00\r\n\r\n'; sed 's/$/\r/'; } > "$tools/changes.reg"
    w reg import "$tools_win\\changes.reg" /reg:32 >/dev/null
}
# The values of a key, read at once: "<name> <type> <data>" a line.
snapshot() { # <key> [<view>]
    w reg query "$1" /reg:${2:-32} | sed -n 's/^    \([^ ]*\)  *\(REG_[A-Z_]*\)  *\(.*\)$/\1 \2 \3/p'
}
value_of() { # <name> <snapshot>: "<type> <data>", or nothing
    sed -n "s/^$1 //p" <<< "$2"
}
step() { fd wait MainForm - "Step=$1" "${2:-10000}" || fail "${3:-step $1 not reached}"; }
answer_boxes() { # every message box that comes within <ms> answered Yes (or OK)
    while box=$(fd box "$1" 2>/dev/null); do
        if echo "$box" | grep -q '&Yes'; then fd answer yes; else fd answer ok; fi
        sleep 0.5
    done
}
close_wizard() {
    fd click MainForm.ButtonClose
    answer_boxes 2000
    local status=0
    wait $wizard || status=$?
    wizard=
    [ $status -eq 0 ] || fail "the wizard ended with $status"
}

[ "$(file_version "$unix_folder/Korvelle.exe")" != 1.0.0.2 ] || fail "the shipped program reads 1.0.0.2 already"
[ "$(file_version "$site/Korvelle.exe")" = 1.0.0.2 ] || fail "the served program reads $(file_version "$site/Korvelle.exe")"
size=$(stat -c %s "$site/Korvelle.exe")
digest=$(sha256sum "$site/Korvelle.exe" | cut -d' ' -f1)
service_start site
cat > "$site/check.xml" <<XML
<?xml version="1.0" encoding="utf-8"?>
<Check>
  <Vers silent="0">
    <File url="http://127.0.0.1:$port/Korvelle.exe" size="$size" sha256="$digest"/>
  </Vers>
</Check>
XML

# Both switches on, the user's own values out of their way, no daily check
# at the start (the update comes from the button alone), no number yet, and
# none of the fixtures' Run values.
reg_import <<REG || fail "the settings and fixtures were not imported: $(cat "$tools/changes.reg")"
[HKEY_LOCAL_MACHINE\\Software\\Korvelle]
"SHOW_TRAY"="1"
"DELAY_STARTUP"="1"
"PHONE_NUMBER"=-

[HKEY_CURRENT_USER\\Software\\Korvelle]
"SHOW_TRAY"=-
"DELAY_STARTUP"=-
"LAST_CHECK"=hex:$(perl -e 'print join(",", unpack("(H2)*", pack("d<", time / 86400 + 25569)))')

[HKEY_CURRENT_USER\\$run_key]
"KvUpdE2EUser"=-

[HKEY_LOCAL_MACHINE\\$run_key]
"KvUpdE2EAll"=-
REG

# One tray running, as after a logon.
pids=$(tray_pids)
if [ -z "$pids" ]; then
    ("$KORV_WINE" "$tray" </dev/null >/dev/null 2>&1 &)
fi
first_tray=$(trays_become 1) || fail "not one tray program running: '$first_tray'"

# The postponed start-up fixtures: a Run value of each scope in its list,
# and a shortcut of the user's.
rm -f "$user_startup/KvUpdE2E.lnk"
printf '<startup>\r\n    <run app="KvUpdE2E" name="KvUpdE2EUser" value="C:\\kupdate\\absent.exe /user" priority="0" />\r\n</startup>\r\n' \
    > "$user_data/startup.xml"
printf '<startup>\r\n    <run app="KvUpdE2E" name="KvUpdE2EAll" value="C:\\kupdate\\absent.exe /all" priority="1" />\r\n</startup>\r\n' \
    > "$common_data/startup.xml"
mkdir -p "$user_data/Startup"
printf 'L\0\0\0 a postponed shortcut of the end-to-end run' > "$user_data/Startup/KvUpdE2E.lnk"

start_wizard
fd click MainForm.SupportTab
fd click MainForm.ButtonSupportSettings
step 19 10000 "the settings page"
for box in CheckSettingsTray CheckSettingsDelay; do
    [ "$(fd get FormSteps.$box Checked)" = 1 ] || fail "$box is not checked"
done
[ "$(fd get FormSteps.ButtonSaveSettings Enabled)" = 0 ] || fail "Save is enabled before any change"

# Postponing off.
fd click FormSteps.CheckSettingsDelay
fd wait FormSteps ButtonSaveSettings Enabled=1 5000 || fail "the click left Save disabled"
fd click FormSteps.ButtonSaveSettings
fd wait FormSteps ButtonSaveSettings Enabled=0 5000 || fail "Save did not save"
values=$(snapshot 'HKLM\Software\Korvelle')
[ "$(value_of DELAY_STARTUP "$values")" = "REG_SZ 0" ] || fail "DELAY_STARTUP: '$(value_of DELAY_STARTUP "$values")'"
[ "$(value_of SHOW_TRAY "$values")" = "REG_SZ 1" ] || fail "SHOW_TRAY: '$(value_of SHOW_TRAY "$values")'"
run=$(snapshot "HKCU\\$run_key")
[ "$(value_of KvUpdE2EUser "$run")" = 'REG_SZ C:\kupdate\absent.exe /user' ] ||
    fail "the user's Run value was not put back: '$(value_of KvUpdE2EUser "$run")'"
run=$(snapshot "HKLM\\$run_key")
[ "$(value_of KvUpdE2EAll "$run")" = 'REG_SZ C:\kupdate\absent.exe /all' ] ||
    fail "the all-users Run value was not put back: '$(value_of KvUpdE2EAll "$run")'"
[ ! -e "$user_data/startup.xml" ] && [ ! -e "$common_data/startup.xml" ] ||
    fail "a list of postponed programs stayed: $(ls "$user_data" "$common_data")"
[ -f "$user_startup/KvUpdE2E.lnk" ] && [ ! -e "$user_data/Startup/KvUpdE2E.lnk" ] ||
    fail "the shortcut was not moved back to the Startup folder"
sleep 1
[ "$(tray_pids)" = "$first_tray" ] || fail "saving with the tray running changed the trays: '$first_tray' -> '$(tray_pids)'"
sleep 0.5; shot settings_saved

# The tray icon off: the running tray takes the refresh and ends.
fd click FormSteps.CheckSettingsTray
fd click FormSteps.ButtonSaveSettings
fd wait FormSteps ButtonSaveSettings Enabled=0 5000 || fail "Save did not save the tray switch"
[ "$(value_of SHOW_TRAY "$(snapshot 'HKLM\Software\Korvelle')")" = "REG_SZ 0" ] ||
    fail "SHOW_TRAY is not 0 after switching off"
left=$(trays_become 0) || fail "the tray did not end on the refresh: '$left'"
# On again, no tray running: one is started.
fd click FormSteps.CheckSettingsTray
fd click FormSteps.ButtonSaveSettings
fd wait FormSteps ButtonSaveSettings Enabled=0 5000 || fail "Save did not save the tray switch"
values=$(snapshot 'HKLM\Software\Korvelle')
[ "$(value_of SHOW_TRAY "$values")" = "REG_SZ 1" ] || fail "SHOW_TRAY is not 1 after switching on"
second_tray=$(trays_become 1) || fail "saving with the icon on started no tray: '$second_tray'"
[ "$second_tray" != "$first_tray" ] || fail "the ended tray still runs"

# The support number the stand-in answered at the start, long since.
[ "$(value_of PHONE_NUMBER "$values")" = "REG_SZ 555-0100" ] ||
    fail "PHONE_NUMBER: '$(value_of PHONE_NUMBER "$values")'"

# The update, asked for on the page.
started=$SECONDS
fd click FormSteps.ButtonUpdate
box=$(fd box 20000) || fail "no update question: $(grep -c HTTP/1.1 "$tools/svc.log") requests"
echo "$box" | grep -q 'A new version of Korvelle has been released.' || fail "update question: $box"
fd shot "$tools_win\\update_question.png" && cp "$tools/update_question.png" "$evidence/" ||
    fail "no picture of the update question"
fd answer yes
# The running program keeps its file: the new one waits beside it, and the
# wizard's end starts it to put itself in place.
for _ in $(seq 120); do
    cmp -s "$unix_folder/Korvelle.new" "$next" && break
    sleep 0.25
done
cmp -s "$unix_folder/Korvelle.new" "$next" ||
    fail "Korvelle.new is not the served program (requests: $(grep -c 'GET /Korvelle.exe' "$tools/svc.log"))"
[ "$(file_version "$unix_folder/Korvelle.exe")" != 1.0.0.2 ] || fail "the running program was replaced under itself"
fd wait FormUpdate - Visible=0 20000 || fail "the update window stayed"
new_tray=$(trays_become 1) || fail "not one tray after the update: '$new_tray'"
for _ in $(seq 20); do [ "$new_tray" != "$second_tray" ] && break; sleep 0.5; new_tray=$(tray_pids); done
[ "$new_tray" != "$second_tray" ] || fail "the tray was not restarted by the update ($second_tray runs on)"
[ -z "$(ls "$unix_folder/Update" 2>/dev/null)" ] || fail "the update folder keeps $(ls "$unix_folder/Update")"
close_wizard
# The completion stops the tray, swaps the new program in and starts a tray.
for _ in $(seq 120); do
    [ "$(file_version "$unix_folder/Korvelle.exe")" = 1.0.0.2 ] && break
    sleep 0.25
done
[ "$(file_version "$unix_folder/Korvelle.exe")" = 1.0.0.2 ] ||
    fail "after the wizard's end the program folder holds version $(file_version "$unix_folder/Korvelle.exe")"
cmp -s "$unix_folder/Korvelle.exe" "$next" || fail "the installed program is not the served one"
# Korvelle.new is the completion's own running program: the next start
# takes it away.
final_tray=$(trays_become 1) || fail "not one tray after the completion: '$final_tray'"
echo "update: installed and the tray restarted in $((SECONDS - started)) s"

# The next start, of the new program, leaves no copy of any version beside
# it: a check run, which ends by itself (no check is due).
alone "$exe" /CHECK || fail "the check run of the new program ended with $?"
for left in Korvelle.old Korvelle.new Korvelle.exe.tmp; do
    [ ! -e "$unix_folder/$left" ] || fail "the start of the new program left $left"
done
echo "e2e update: saved, the postponed start-up put back, the trays followed the switch," \
    "1.0.0.2 installed from 127.0.0.1:$port at the wizard's end, the tray restarted" \
    "($second_tray -> $new_tray -> $final_tray), nothing left at the next start"
