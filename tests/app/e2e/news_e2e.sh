#!/usr/bin/env bash
# The news end to end, installed as ./run.sh installs it, driven from outside
# through its inspection (KV_INSPECT=1) with formdrive.exe:
#
#   news_e2e.sh <prefix dir> <win64|win32> <build arch: i686|x86_64> <bin dir> <evidence dir>
#
# A "/CHECK" run asks the stand-in service, whose reply lists two news items
# with pages; when the run has ended, both News keys and both pictures are
# there. The next start shows the rendered left banner, and a press at its
# link reaches the browser (urlrecorder.exe) with the address's macro
# expanded and counts "BL". The programs are uninstalled and the browser's
# registration put back at the end.
set -euo pipefail
prefix_dir=$1 arch=$2 build_arch=$3 bin=$4 evidence=$5
here=$(dirname "$(realpath "$0")")

tools_name=knews tools_fresh=1 fd_seconds=120
. "$here/e2e_ground.sh"
. "$here/e2e_service.sh"

wizard=
cleanup() {
    [ -n "$wizard" ] && kill "$wizard" 2>/dev/null || true
    alone "$exe" /UNINSTALL || true
    w reg delete 'HKLM\Software\Korvelle\News' /f /reg:32 >/dev/null || true
    service_cleanup
}
trap cleanup EXIT

if ! w reg query 'HKLM\Software\Korvelle' /reg:32 >/dev/null; then
    alone "$exe" /INSTALL || fail "/INSTALL"
fi
w reg delete 'HKLM\Software\Korvelle\News' /f /reg:32 >/dev/null || true
service_start site
news_site site
browser_register
w reg add 'HKLM\Software\Korvelle' /v TRACK_USER /d 1 /reg:32 /f >/dev/null
w reg add 'HKLM\Software\Korvelle' /v LANGUAGE /d en /reg:32 /f >/dev/null
w reg delete 'HKLM\Software\Korvelle' /v TRACK /f /reg:32 >/dev/null || true
w reg delete 'HKCU\Software\Korvelle' /v LAST_CHECK /f /reg:32 >/dev/null || true
appdata=$(w cmd /c echo %APPDATA% | tail -1)
news_unix=$("$KORV_WINE" winepath -u "$appdata\\Korvelle\\News" 2>/dev/null | tr -d '\r')
rm -rf "$news_unix"

# The check run: it ends by itself once the check and its render are done.
alone "$exe" /CHECK || fail "the /CHECK run ended with $?"
grep -q 'action=CHECK' "$tools/svc.log" || fail "the check asked nothing: $(cat "$tools/svc.log")"
for key in e2e.left e2e.bottom; do
    w reg query "HKLM\\Software\\Korvelle\\News\\$key" /reg:32 >/dev/null || fail "no News key $key"
    [ -s "$news_unix/$key.png" ] || fail "no picture $key.png after the check run: $(ls "$news_unix" 2>&1)"
done
grep -q 'GET /left.htm' "$tools/svc.log" || fail "the left page was not fetched"
grep -q 'GET /bottom.htm' "$tools/svc.log" || fail "the bottom page was not fetched"
# The hidden run counted nothing as shown.
last=$(w reg query 'HKLM\Software\Korvelle\News\e2e.left' /v Last /reg:32 | sed -n 's/.*REG_BINARY *//p')
[ -z "$(echo "$last" | tr -d '0 ')" ] || fail "the check run marked the banner shown: Last $last"
cp "$news_unix/e2e.left.png" "$evidence/news_left_rendered.png"
cp "$news_unix/e2e.bottom.png" "$evidence/news_bottom_rendered.png"

# The next start: the rendered banners, and the left one's link.
KV_INSPECT=1 "$KORV_WINE" "$exe" >/dev/null 2>&1 &
wizard=$!
for _ in $(seq 150); do fd find MainForm >/dev/null 2>&1 && break; sleep 0.2; done
fd find MainForm | grep -qx 'step=0' || fail "no wizard at step 0"
[ "$(fd get MainForm.PNGBannerLeft PictureSize)" = 172,142 ] ||
    fail "the left banner is $(fd get MainForm.PNGBannerLeft PictureSize), not the rendered 172 x 142"
[ "$(fd get MainForm.PNGBannerBottom PictureSize)" = 598,78 ] ||
    fail "the bottom banner is $(fd get MainForm.PNGBannerBottom PictureSize)"
anchors=$(fd get MainForm.PNGBannerLeft Anchors)
echo "$anchors" | grep -q ' https://www.korvelle.com/pro?lng=%LNG%$' || fail "left banner anchors: $anchors"
sleep 1
fd shot "$tools_win\\main_rendered_banners.png" MainForm &&
    cp "$tools/main_rendered_banners.png" "$evidence/" || fail "no picture of the main window"
IFS=', ' read -r l t r b _ <<< "$(echo "$anchors" | head -1)"
fd clickat MainForm PNGBannerLeft $(( (l + r) / 2 )) $(( (t + b) / 2 )) || fail "no click at the banner's link"
for _ in $(seq 100); do [ -s "$tools/urls.log" ] && break; sleep 0.2; done
[ -s "$tools/urls.log" ] || fail "the browser was not started for the banner"
got=$(head -1 "$tools/urls.log" | tr -d '\r')
[ "$got" = 'https://www.korvelle.com/pro?lng=en' ] || fail "the browser got '$got'"
track=$(w reg query 'HKLM\Software\Korvelle' /v TRACK /reg:32 || true)
echo "$track" | grep -q 'W\.BL=1' || fail "no BL counted: $track"
last=$(w reg query 'HKLM\Software\Korvelle\News\e2e.left' /v Last /reg:32 | sed -n 's/.*REG_BINARY *//p')
[ -n "$(echo "$last" | tr -d '0 ')" ] || fail "the shown banner kept Last 0"

fd click MainForm.ButtonClose
for _ in 1 2 3; do
    box=$(fd box 3000 2>/dev/null) || break
    if echo "$box" | grep -q '&Yes'; then fd answer yes; else fd answer ok; fi
done
status=0
wait $wizard || status=$?
wizard=
[ $status -eq 0 ] || fail "the wizard ended with $status"
echo "e2e news: two items rendered by the check run, the left banner shown, its link opened as $got"
