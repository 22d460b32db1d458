#!/usr/bin/env bash
# The wizard's pages end to end, installed as ./run.sh installs it, driven
# from outside through its inspection (KV_INSPECT=1) with formdrive.exe:
#
#   pages_e2e.sh <prefix dir> <win64|win32> <build arch: i686|x86_64> <bin dir> <evidence dir>
#
# Three dead class registrations in each view. The scan's results text
# names the count enginectl finds just before; the review tree, clicked at
# the box of one entry (its state read back), keeps that entry out of the
# repair; the speed-up with its questions answered Yes reaches the finish
# page; the rescue centre lists the repair's backup and restores it, and the
# keys read as before the repair; the settings page switches the language to
# German and back (formdrive select). A picture of every page reached lands in
# <evidence dir>. The programs are uninstalled at the end.
set -euo pipefail
prefix_dir=$1 arch=$2 build_arch=$3 bin=$4 evidence=$5

tools_name=kpages guid_stem='{7E5A0C13-E2E0-4000-8000-00000000010'
. "$(dirname "$(realpath "$0")")/e2e_common.sh"
step() { fd wait MainForm - "Step=$1" "${2:-10000}" || fail "${3:-step $1 not reached}"; }
caption() { fd get "FormSteps.$1" Caption; }
# Every message box that comes within the time answered Yes (or OK), its
# text kept in $tools/boxes.txt.
answer_boxes() {
    while box=$(fd box "$1" 2>/dev/null); do
        echo "$box" >> "$tools/boxes.txt"
        if echo "$box" | grep -q '&Yes'; then fd answer yes; else fd answer ok; fi
        sleep 0.5
    done
}

start_wizard
fd find MainForm | grep -qx 'step=0' || fail "no wizard at step 0"

fd click FormSteps.ButtonNext
step 1
fd click FormSteps.ButtonNext
step 2 10000 "the scan did not start"
step 4 300000 "the scan did not end"
sleep 0.5; shot page04_results
text=$(caption LabelResultsText)
[ "$text" = "Korvelle has found $expected errors!" ] || fail "results text '$text', enginectl counted $expected"

# The review tree: the first dead class's entry unchecked at its box.
fd click FormSteps.ButtonResultsReview
step 5
nodes() { fd nodes FormSteps TreeViewReview; }
field() { sed -n "s/.*\t$1=\([^\t]*\).*/\1/p"; }
nodes > "$tools/nodes.txt"
origin=$(head -1 "$tools/nodes.txt" | field rect)
[ -n "$origin" ] || fail "the review tree is empty"
# A group whose entries are hidden is opened at its triangle.
entry() { awk -F'\t' -v g="${guids[0]}" 'index($1, g) && $2 == "level=2" { print; exit }' "$tools/nodes.txt"; }
if [ -z "$(entry)" ] || [ "$(entry | field rect)" = 0,0,0,0 ]; then
    while IFS= read -r line; do
        [ "$(echo "$line" | field level)" = 1 ] || continue
        r=$(echo "$line" | field rect)
        y=$(( $(echo "$r" | cut -d, -f2) - $(echo "$origin" | cut -d, -f2) + 12 ))
        fd clickat FormSteps TreeViewReview 20 "$y"
    done < "$tools/nodes.txt"
    sleep 0.5
    nodes > "$tools/nodes.txt"
fi
line=$(entry)
[ -n "$line" ] || fail "no entry of ${guids[0]} in the review tree: $(cut -f1 "$tools/nodes.txt")"
r=$(echo "$line" | field rect)
[ "$r" != 0,0,0,0 ] || fail "the entry of ${guids[0]} is not shown"
[ "$(echo "$line" | field state)" = 1 ] || fail "the entry is not checked: $line"
y=$(( $(echo "$r" | cut -d, -f2) - $(echo "$origin" | cut -d, -f2) + 12 ))
fd clickat FormSteps TreeViewReview 65 "$y" || fail "no click at the entry"
sleep 0.5
unchecked_text=$(echo "$line" | cut -f1)
after=$(nodes | grep -F "$unchecked_text	" | head -1 || true)
[ "$(echo "$after" | field state)" = 0 ] || fail "the click left the entry checked: $after"
shot page05_review

fd click FormSteps.ButtonReviewBack
step 4
fd click FormSteps.ButtonFix
step 8 10000 "Fix did not start the repair"
step 9 300000 "the repair did not end"
sleep 0.5; shot page09_repaired
kept=0
for v in "${views[@]}"; do present "${guids[0]}" $v && kept=$((kept + 1)); done
[ $kept -ge 1 ] || fail "the unchecked entry was repaired"
for g in "${guids[@]:1}"; do for v in "${views[@]}"; do
    if present "$g" $v; then fail "$g is still there in view $v"; fi
done; done

# The speed-up, its questions answered Yes, up to the finish page.
[ "$(fd get FormSteps.ButtonSpeedUp Visible)" = 1 ] || fail "no speed-up offered after the repair"
fd click FormSteps.ButtonSpeedUp
step 10
sleep 0.5; shot page10_speedup
fd click FormSteps.ButtonSpeedUpGo
answer_boxes 3000
step 15 300000 "the speed-up did not reach the finish page"
answer_boxes 1000
sleep 0.5; shot page15_finish
for label in LabelFinishRegistry LabelFinishTweaks LabelFinishDisk LabelFinishMemory; do
    [ -n "$(caption $label)" ] || fail "$label is empty"
done
caption LabelFinishRegistry | grep -q '%' && fail "a count left unreplaced: $(caption LabelFinishRegistry)"

# The rescue centre: the repair's backup, restored.
fd click MainForm.SupportTab
step 17 10000 "the support tab"
fd nodes FormSteps TreeViewRestorePoints > "$tools/backups.txt"
first=$(sed -n 2p "$tools/backups.txt")
[ "$(echo "$first" | field level)" = 1 ] || fail "no backup under the first heading: $(cat "$tools/backups.txt")"
head -1 "$tools/backups.txt" | grep -q '^text=Backup of Registry Errors:' || fail "first heading: $(head -1 "$tools/backups.txt")"
origin=$(head -1 "$tools/backups.txt" | field rect)
r=$(echo "$first" | field rect)
y=$(( $(echo "$r" | cut -d, -f2) - $(echo "$origin" | cut -d, -f2) + 12 ))
fd clickat FormSteps TreeViewRestorePoints 60 "$y"
fd wait FormSteps ButtonRestore Enabled=1 5000 || fail "a chosen backup leaves Restore disabled"
sleep 0.5; shot page17_rescue
fd click FormSteps.ButtonRestore
box=$(fd box 10000) || fail "no restore question"
echo "$box" | grep -q 'Do you really want to restore this backup?' || fail "restore question: $box"
fd answer yes
box=$(fd box 60000) || fail "no restore result"
echo "$box" | grep -q 'Registries have been restored.' || fail "restore result: $box"
shot page17_restored
fd answer ok
export_keys "$tools/after.txt"
cmp -s "$tools/before.txt" "$tools/after.txt" || fail "the restored keys differ: $(diff "$tools/before.txt" "$tools/after.txt" | head -5)"

# The settings page: German chosen in the language list as a user chooses
# it, every window translated and the language stored, then English again.
fd click MainForm.ButtonSupportSettings
step 19 10000 "the settings page"
[ "$(fd get FormSteps.LanguageCombo Text)" = English ] || fail "language list: $(fd get FormSteps.LanguageCombo Text)"
sleep 0.5; shot page19_settings_en
fd select FormSteps LanguageCombo 1 || fail "no choice in the language list"
[ "$(fd get FormSteps.LanguageCombo Text)" = Deutsch ] || fail "the list did not take Deutsch"
[ "$(caption LabelSettingsGeneral)" = "Allgemeine Einstellungen" ] || fail "page not in German: $(caption LabelSettingsGeneral)"
[ "$(fd get MainForm.LabelStepHeader Caption)" = Einstellungen ] || fail "step header not in German: $(fd get MainForm.LabelStepHeader Caption)"
[ "$(fd get MainForm.ButtonSupportSettings Caption)" = Einstellungen ] || fail "support list not in German"
w reg query 'HKLM\Software\Korvelle' /v LANGUAGE /reg:32 | grep -q 'REG_SZ *de$' || fail "German not stored"
sleep 0.5; shot page19_settings_de
fd select FormSteps LanguageCombo 0 || fail "no choice in the language list"
[ "$(caption LabelSettingsGeneral)" = "General settings" ] || fail "page not in English again: $(caption LabelSettingsGeneral)"
w reg query 'HKLM\Software\Korvelle' /v LANGUAGE /reg:32 | grep -q 'REG_SZ *en$' || fail "English not stored again"

# Closed from the support tab (a question, where one comes, answered Yes).
fd click MainForm.ButtonClose
answer_boxes 3000
status=0
wait $wizard || status=$?
[ $status -eq 0 ] || fail "the wizard ended with $status"
undo_speedups "after the pages run"
echo "e2e pages: $expected errors found, one kept by the review, the rest repaired, sped up, restored; $(ls "$evidence" | wc -l) pictures in $evidence"
