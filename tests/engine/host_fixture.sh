#!/usr/bin/env bash
# Makes or removes what the engine's folder-walk tests need from the host in
# a test prefix:
#
#   host_fixture.sh make|remove <scratch dir made by wineprefix.sh>
#
# C:\ktest-engine\tree holds a file, a sub-folder with a file and "link", a
# link to C:\ktest-engine\outside (which holds canary.txt);
# C:\ktest-engine\fixlinks holds only another such link, beside which the file
# items' repair test puts its own files. C:\ktest-engine\swap\sub is a link to
# C:\ktest-engine\swapout (which holds secret.txt): a folder that was real when
# a scan listed it and became a link before the repair. The file links
# C:\ktest-engine\flinks\a.tmp and C:\ktest-engine\slinks\app.lnk point to
# keep.txt and app.lnk in C:\ktest-engine\ftarget and ...\starget.
# C:\ktest-engine\trash is a freedesktop trash (Wine's recycle bin when
# XDG_DATA_HOME names it) holding a plain file, a link to
# C:\ktest-engine\btarget\keep.txt and a folder that holds a link. Wine's
# CreateSymbolicLinkA reports success and creates nothing, so only the host
# can make the links.
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
    mkdir -p "$dir/swap" "$dir/swapout" "$dir/flinks" "$dir/ftarget" "$dir/slinks" "$dir/starget"
    printf secret > "$dir/swapout/secret.txt"
    ln -s ../swapout "$dir/swap/sub"
    printf keep > "$dir/ftarget/keep.txt"
    ln -s ../ftarget/keep.txt "$dir/flinks/a.tmp"
    printf shortcut > "$dir/starget/app.lnk"
    ln -s ../starget/app.lnk "$dir/slinks/app.lnk"
    mkdir -p "$dir/trash/Trash/files/folder" "$dir/trash/Trash/info" "$dir/btarget"
    printf keep > "$dir/btarget/keep.txt"
    printf plain > "$dir/trash/Trash/files/plain.txt"
    ln -s ../../../btarget/keep.txt "$dir/trash/Trash/files/link.txt"
    printf inner > "$dir/trash/Trash/files/folder/inner.txt"
    ln -s ../../../../btarget "$dir/trash/Trash/files/folder/inside"
    for item in plain.txt link.txt folder; do
        printf '[Trash Info]\nPath=/deleted/%s\nDeletionDate=2024-01-01T00:00:00\n' "$item" \
            > "$dir/trash/Trash/info/$item.trashinfo"
    done
    ;;
remove)
    rm -rf "$dir"
    ;;
*) echo "usage: $0 make|remove <dir>" >&2; exit 2 ;;
esac
