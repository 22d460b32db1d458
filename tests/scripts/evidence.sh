#!/usr/bin/env bash
# Copies what a test program left in C:\ktest-evidence\<instance>\ of its prefix
# to the build tree, where people look at the pictures, and checks every PNG
# there with pngfix (each file alone: its exit code is a bit mask per run).
#
#   evidence.sh <prefix dir> <instance> <output dir>
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 <prefix dir> <instance> <output dir>" >&2; exit 2; }
prefix_dir=$1 instance=$2 out=$3
. "$prefix_dir/env"
command -v pngfix >/dev/null || { echo "evidence: pngfix is missing (run scripts/setup.sh)" >&2; exit 1; }

src="$WINEPREFIX/drive_c/ktest-evidence/$instance"
if [ ! -d "$src" ]; then
    # Without a display the tests that draw skip, and nothing may be left.
    if [ -z "${DISPLAY:-}" ]; then
        echo "evidence: $instance left nothing (no X display: its drawing tests skipped)"
        exit 77
    fi
    echo "evidence: $instance left nothing in C:\\ktest-evidence" >&2
    exit 1
fi
mkdir -p "$out"
rm -rf "${out:?}/$instance"
cp -r "$src" "$out/$instance"

count=0 bad=0
while IFS= read -r -d '' f; do
    count=$((count + 1))
    status=0
    pngfix -q "$f" >/dev/null 2>&1 || status=$?
    if [ $status -ne 0 ]; then
        echo "evidence: pngfix rejects $f (exit $status)" >&2
        bad=$((bad + 1))
    fi
done < <(find "$out/$instance" -type f -iname '*.png' -print0)
echo "evidence: $count pictures in $out/$instance, $bad rejected"
[ $bad -eq 0 ]
