#!/usr/bin/env bash
# Makes or removes what the engine's folder-walk tests need from the host in
# a test prefix:
#
#   host_fixture.sh make|remove <scratch dir made by wineprefix.sh>
#
# C:\ktest-engine\tree holds a file, a sub-folder with a file and "link", a
# link to C:\ktest-engine\outside (which holds canary.txt);
# C:\ktest-engine\fixlinks holds only another such link, beside which the file
# items' repair test puts its own files. Wine's CreateSymbolicLinkA reports
# success and creates nothing, so only the host can make the links.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 make|remove <dir>" >&2; exit 2; }
drive=$2/prefix/drive_c
[ -d "$drive" ] || { echo "host_fixture: no prefix in $2" >&2; exit 1; }
dir=$drive/ktest-engine
case "$1" in
make)
    rm -rf "$dir"
    mkdir -p "$dir/tree/sub" "$dir/outside" "$dir/fixlinks"
    printf canary > "$dir/outside/canary.txt"
    printf 12345 > "$dir/tree/a.tmp"
    printf 123 > "$dir/tree/sub/b.tmp"
    ln -s ../outside "$dir/tree/link"
    ln -s ../outside "$dir/fixlinks/link"
    ;;
remove)
    rm -rf "$dir"
    ;;
*) echo "usage: $0 make|remove <dir>" >&2; exit 2 ;;
esac
