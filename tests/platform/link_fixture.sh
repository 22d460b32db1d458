#!/usr/bin/env bash
# Makes or removes the link tree of the folder-walk tests in a test prefix:
#
#   link_fixture.sh make|remove <scratch dir made by wineprefix.sh>
#
# C:\ktest-links\tree holds "link" (to C:\ktest-links\outside, which holds
# canary.txt), "loop" (back to the tree itself) and the file link "flink" (to
# the canary). Only the host can make them: Wine's CreateSymbolicLinkA
# reports success and creates nothing.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 make|remove <dir>" >&2; exit 2; }
drive=$2/prefix/drive_c
[ -d "$drive" ] || { echo "link_fixture: no prefix in $2" >&2; exit 1; }
dir=$drive/ktest-links
case "$1" in
make)
    rm -rf "$dir"
    mkdir -p "$dir/tree" "$dir/outside"
    printf canary > "$dir/outside/canary.txt"
    ln -s ../outside "$dir/tree/link"
    ln -s ../tree "$dir/tree/loop"
    ln -s ../outside/canary.txt "$dir/tree/flink"
    ;;
remove)
    rm -rf "$dir"
    ;;
*) echo "usage: $0 make|remove <dir>" >&2; exit 2 ;;
esac
