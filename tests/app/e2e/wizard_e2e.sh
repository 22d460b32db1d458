#!/usr/bin/env bash
# The wizard end to end, installed as ./run.sh installs it, driven from
# outside through its inspection (KV_INSPECT=1) with formdrive.exe:
#
#   wizard_e2e.sh <prefix dir> <win64|win32> <build arch: i686|x86_64> <bin dir> <evidence dir>
#
# <bin dir> holds Korvelle.exe, Lindova.exe, formdrive.exe and enginectl.exe.
# Three dead class registrations in each view; Welcome, the scan settings,
# the scan (its error count as enginectl counts the prefix just before), the
# repair (the keys gone, one new backup, which restores them whole), the
# support tab and back, and the close question answered No, then Yes. A
# picture of every step lands in <evidence dir>. The programs are uninstalled
# at the end, so that the prefix's other tests find no tray of ours.
set -euo pipefail
prefix_dir=$1 arch=$2 build_arch=$3 bin=$4 evidence=$5

tools_name=ke2e guid_stem='{7E5A0C13-E2E0-4000-8000-00000000000'
. "$(dirname "$(realpath "$0")")/e2e_common.sh"
backups_before=$(ctl backups | grep -c '^fix' || true)

start_wizard
fd find MainForm | grep -qx 'step=0' || fail "no wizard at step 0"
sleep 1; shot step00_welcome

fd click FormSteps.ButtonNext
fd wait MainForm - Step=1 10000 || fail "Next did not lead to the scan settings"
[ "$(fd get MainForm.LabelStepHeader Caption)" = "Select Registry areas" ] || fail "header of step 1"
sleep 0.5; shot step01_settings

fd click FormSteps.ButtonNext
fd wait MainForm - Step=2 10000 || fail "the scan did not start"
sleep 1; shot step02_scanning
fd wait MainForm - Step=4 300000 || fail "the scan did not end"
sleep 0.5; shot step04_results
lsre=$(w reg query 'HKCU\Software\Korvelle' /v LSRE /reg:32 | sed -n 's/.*LSRE *REG_DWORD *0x\([0-9a-fA-F]*\).*/\1/p')
[ -n "$lsre" ] || fail "no LSRE"
[ $((16#$lsre)) -eq "$expected" ] || fail "LSRE $((16#$lsre)), enginectl counted $expected"

fd click FormSteps.ButtonFix
fd wait MainForm - Step=8 10000 || fail "Fix did not start the repair"
shot step08_repairing
fd wait MainForm - Step=9 300000 || fail "the repair did not end"
sleep 0.5; shot step09_repaired
for g in "${guids[@]}"; do for v in "${views[@]}"; do
    if present "$g" $v; then fail "$g is still there in view $v"; fi
done; done
backups_after=$(ctl backups | grep -c '^fix' || true)
[ "$backups_after" -eq $((backups_before + 1)) ] || fail "$backups_after fix backups, $backups_before before"
newest=$(ctl backups | grep '^fix' | head -1 | cut -f2)
restore=$(ctl restore "C:\\ProgramData\\Korvelle\\Backup\\$newest")
echo "$restore" | grep -q 'failed=0' || fail "restore: $restore"
export_keys "$tools/after.txt"
cmp -s "$tools/before.txt" "$tools/after.txt" || fail "the restored keys differ: $(diff "$tools/before.txt" "$tools/after.txt" | head -5)"

fd click MainForm.SupportTab
fd wait MainForm - Step=17 10000 || fail "the support tab"
sleep 0.5; shot step17_support
fd click MainForm.ScanTab
fd wait MainForm - Step=9 10000 || fail "back to step 9"

fd click MainForm.ButtonClose
box=$(fd box 10000) || fail "no close question"
echo "$box" | grep -q 'Do you really want to cancel Korvelle Wizard?' || fail "close question: $box"
echo "$box" | grep -q 'buttons: &Yes &No' || fail "close question's buttons: $box"
shot step09_close_question
fd answer no
sleep 1
fd find MainForm | grep -qx 'step=9' || fail "No closed the wizard"
fd click MainForm.ButtonClose
fd box 10000 >/dev/null || fail "no second close question"
fd answer yes
status=0
wait $wizard || status=$?
[ $status -eq 0 ] || fail "the wizard ended with $status"
echo "e2e: scan $expected errors, repaired, restored, closed; $(ls "$evidence" | wc -l) pictures in $evidence"
