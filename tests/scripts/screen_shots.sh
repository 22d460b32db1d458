#!/usr/bin/env bash
# One screen seen twice: the gallery shown, then a shot of the whole screen
# taken inside Wine (formdrive shot, GetDC(NULL)) and one taken by the X
# server itself (xwd), put side by side in the evidence folder and compared.
# Runs alone (it reads the one shared screen).
#
#   screen_shots.sh <scripts dir> <prefix dir> <tools dir> <evidence dir>
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 <scripts dir> <prefix dir> <tools dir> <evidence dir>" >&2; exit 2; }
scripts=$1 prefix=$2 tools=$3 out=$4
if [ -z "${DISPLAY:-}" ]; then
    echo "screen_shots: needs an X display (./test.sh runs the tests under Xvfb)"
    exit 77
fi
for tool in xwd /usr/bin/convert /usr/bin/compare pngfix; do
    command -v "$tool" >/dev/null || { echo "screen_shots: $tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done
export KORV_PREFIX_DIR=$prefix
. "$prefix/env"
mkdir -p "$out/screen"
rm -f "$out/screen/"*.png "$WINEPREFIX/drive_c/screen_formdrive.png"

KV_INSPECT=1 "$scripts/wine-run.sh" "$tools/kvgallery.exe" --page skin --seconds 60 &
gallery=$!
trap 'kill $gallery 2>/dev/null || true' EXIT
drive() { "$scripts/wine-run.sh" "$tools/formdrive.exe" --timeout 30000 "$@"; }
drive wait FormGallery Visible 1
sleep 1  # the first paint

drive shot 'C:\screen_formdrive.png'
xwd -root -silent | /usr/bin/convert xwd:- "$out/screen/screen_xwd.png"
cp "$WINEPREFIX/drive_c/screen_formdrive.png" "$out/screen/screen_formdrive.png"
drive click ButtonClose
wait $gallery
trap - EXIT

for f in "$out/screen/screen_formdrive.png" "$out/screen/screen_xwd.png"; do
    pngfix -q "$f" >/dev/null 2>&1 || { echo "screen_shots: pngfix rejects $f" >&2; exit 1; }
done
size_a=$(/usr/bin/convert "$out/screen/screen_formdrive.png" -format '%wx%h' info:)
size_b=$(/usr/bin/convert "$out/screen/screen_xwd.png" -format '%wx%h' info:)
[ "$size_a" = "$size_b" ] || { echo "screen_shots: sizes differ: $size_a and $size_b" >&2; exit 1; }
# compare prints the count of differing pixels on stderr.
diff=$(/usr/bin/compare -metric AE "$out/screen/screen_formdrive.png" "$out/screen/screen_xwd.png" null: 2>&1 || true)
echo "screen_shots: $size_a, $diff pixels differ between the two shots"
case "$diff" in ''|*[!0-9]*) echo "screen_shots: compare failed: $diff" >&2; exit 1 ;; esac
[ "$diff" -le 64 ] || { echo "screen_shots: the shots differ in $diff pixels" >&2; exit 1; }
