#!/usr/bin/env bash
# The tour of the program, installed as ./run.sh installs it, driven from
# outside through its inspection (KV_INSPECT=1) with formdrive.exe, once in
# English and once in German (the language set in the registry before the
# start):
#
#   tour_e2e.sh <prefix dir> <win64|win32> <build arch: i686|x86_64> <bin dir> <evidence dir>
#
# Each pass shows the steps 0, 1, 2, 4, 5, 8, 9, 10, 13, 14, 11, 15 of the
# scan tab and 17, 19, 20, 21 of the support tab, a picture of each in
# <evidence dir> (tour_<lang>_<step>_<name>.png). The main window is in its
# classic frame (glass is never on under Wine) with the support panel (the
# number from the stand-in service); the English pass shows the built-in
# banners, the German one the banners a check run rendered from the stand-in's
# news. Three dead class registrations per view give the scan and the repair
# something to do in each pass.
set -euo pipefail
prefix_dir=$1 arch=$2 build_arch=$3 bin=$4 evidence=$5
here=$(dirname "$(realpath "$0")")

tools_name=ktour guid_stem='{7E5A0C13-E2E0-4000-8000-00000000020'
. "$here/e2e_common.sh"
. "$here/e2e_service.sh"
wizard=
tour_cleanup() {
    [ -n "$wizard" ] && kill "$wizard" 2>/dev/null || true
    cleanup
    rm -f "$drive_c/windows/temp/ktour-junk.tmp"
    w reg delete 'HKLM\Software\Korvelle\News' /f /reg:32 >/dev/null || true
    w reg delete 'HKLM\Software\Korvelle' /v LANGUAGE /f /reg:32 >/dev/null || true
    service_cleanup
}
trap tour_cleanup EXIT

seed() { # <class ids>
    for g in "$@"; do for v in "${views[@]}"; do
        w reg add "HKCR\\CLSID\\$g" /ve /d "Dead class" /f /reg:$v >/dev/null
        w reg add "HKCR\\CLSID\\$g\\InprocServer32" /ve /d 'C:\korvgone\dead.dll' /f /reg:$v >/dev/null
    done; done
    # Something for the clean-up to free, so that its review can be opened.
    mkdir -p "$drive_c/windows/temp"
    head -c 65536 /dev/zero > "$drive_c/windows/temp/ktour-junk.tmp"
}
step() { fd wait MainForm - "Step=$1" "${2:-10000}" || fail "$lang: ${3:-step $1 not reached}"; }
take() { sleep 0.7; shot "tour_${lang}_$1"; }
answer_box() {
    local box
    box=$(fd box "$1" 2>/dev/null) || return 1
    echo "$box" >> "$tools/boxes.txt"
    if echo "$box" | grep -q '&Yes'; then fd answer yes; else fd answer ok; fi
}

tour_pass() {
    lang=$1
    w reg add 'HKLM\Software\Korvelle' /v LANGUAGE /d "$lang" /reg:32 /f >/dev/null
    # A repaired entry is not reported again for days: each pass has its own.
    local fresh=("${guids[@]}")
    if [ "$lang" != en ]; then
        fresh=()
        for i in 4 5 6; do fresh+=("$guid_stem$i}"); done
        guids+=("${fresh[@]}")
    fi
    seed "${fresh[@]}"
    KV_INSPECT=1 "$KORV_WINE" "$exe" >/dev/null 2>&1 &
    wizard=$!
    for _ in $(seq 150); do fd find MainForm >/dev/null 2>&1 && break; sleep 0.2; done
    fd find MainForm | grep -qx 'step=0' || fail "$lang: no wizard at step 0"
    fd wait MainForm PaintSupportCall Visible=1 20000 || fail "$lang: no support panel"
    take 00_welcome

    fd click FormSteps.ButtonNext; step 1; take 01_settings
    fd click FormSteps.ButtonNext; step 2 10000 "the scan did not start"; take 02_scanning
    step 4 300000 "the scan did not end"; take 04_results
    fd click FormSteps.ButtonResultsReview; step 5; take 05_review
    fd click FormSteps.ButtonReviewBack; step 4
    fd click FormSteps.ButtonFix; step 8 10000 "Fix did not start the repair"; take 08_repairing
    step 9 300000 "the repair did not end"; take 09_repaired
    fd click FormSteps.ButtonSpeedUp; step 10; take 10_speedup
    # The speed-up page's reviews, each left by Back.
    fd click FormSteps.ButtonReviewTweaks; step 13; take 13_review_tweaks
    fd click FormSteps.ButtonReviewBack; step 10
    fd click FormSteps.ButtonReviewFiles; step 14; take 14_review_files
    fd click FormSteps.ButtonReviewBack; step 10
    fd click FormSteps.ButtonSpeedUpGo
    # The speed-up asks its questions (answered Yes) while it runs.
    local seen11=0 now
    for _ in $(seq 600); do
        now=$(fd find MainForm | sed -n 's/^step=//p')
        if [ "$now" = 11 ] && [ $seen11 = 0 ]; then take 11_speeding_up; seen11=1; fi
        [ "$now" = 15 ] && break
        answer_box 300 || true
    done
    [ $seen11 = 1 ] || fail "$lang: the speed-up's progress step was never shown"
    step 15 1000 "the speed-up did not reach the finish page"
    while answer_box 1000; do sleep 0.3; done
    take 15_finish

    fd click MainForm.SupportTab; step 17; take 17_rescue
    fd click MainForm.ButtonSupportSettings; step 19; take 19_settings
    fd click MainForm.ButtonSupportHelp; step 20; take 20_help
    fd click MainForm.ButtonSupportAbout; step 21; take 21_about

    fd click MainForm.ButtonClose
    for _ in 1 2 3; do answer_box 3000 || break; done
    local status=0
    wait $wizard || status=$?
    wizard=
    [ $status -eq 0 ] || fail "$lang: the wizard ended with $status"
    # The pass's changes undone, so that the next pass (and the next run in
    # this prefix) finds the same tweaks and files again.
    undo_speedups "$lang"
}

mkdir -p "$tools/site"
w reg delete 'HKLM\Software\Korvelle\News' /f /reg:32 >/dev/null || true
w reg delete 'HKCU\Software\Korvelle' /v LAST_CHECK /f /reg:32 >/dev/null || true
service_start site
# An earlier run in this prefix may have sped the system up already (the
# pages run does): the tour needs the tweaks on offer.
undo_speedups "before the tour"
# The English pass: no news yet (the stand-in has no check reply), so the
# built-in banners.
tour_pass en
[ "$(ls "$evidence"/tour_en_*.png | wc -l)" -eq 16 ] || fail "English pictures: $(ls "$evidence")"

# A fresh install for the German pass: entries a pass repaired are not
# reported again for days, and the install starts that record anew.
alone "$exe" /UNINSTALL || fail "/UNINSTALL between the passes"
alone "$exe" /INSTALL || fail "/INSTALL between the passes"
service_point
# The stand-in's news, rendered by a check run, for the German pass.
news_site site
w reg delete 'HKCU\Software\Korvelle' /v LAST_CHECK /f /reg:32 >/dev/null || true
alone "$exe" /CHECK || fail "the /CHECK run ended with $?"
w reg query 'HKLM\Software\Korvelle\News\e2e.left' /reg:32 >/dev/null || fail "the check stored no news"
tour_pass de
[ "$(ls "$evidence"/tour_de_*.png | wc -l)" -eq 16 ] || fail "German pictures: $(ls "$evidence")"
echo "e2e tour: $(ls "$evidence" | wc -l) pictures in $evidence"
