#!/usr/bin/env bash
# The whole-catalogue acceptance run: every one of the 22 catalogue groups
# finds its seed, the repairs remove what was found, and the restores put the
# registry back.
#
#   acceptance.sh <win64|win32> <scratch dir> <test program folder> <fakeservice.exe> [--update]
#
# A fresh prefix is made in <scratch dir>. enginectl's scan of the untouched
# prefix must equal baseline_<arch>.txt beside this script; the seed (the
# engine tests' "acceptance_seed" role, and a link to C:\KvCanary\ that only
# the host can make) adds one finding per group, and the seeded scan must equal
# seeded_<arch>.txt. --update rewrites the two golden files instead.
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: $0 <arch> <dir> <bin dir> <fakeservice.exe> [--update]" >&2; exit 2; }
arch=$1
dir=$(realpath -m "$2")
bin=$(realpath "$3")
service=$(realpath "$4")
update=${5:-}
here=$(dirname "$(realpath "$0")")
scripts=$(realpath "$here/../../../scripts")

fail() { echo "acceptance: $*" >&2; exit 1; }

"$scripts/wineprefix.sh" "$dir" "$arch" >/dev/null
"$scripts/wineserver-ctl.sh" start "$dir"
trap '"$scripts/wineserver-ctl.sh" stop "$dir"' EXIT
. "$dir/env"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

run=$WINEPREFIX/drive_c/kvacc
mkdir -p "$run/exp"
cp "$bin/engine_tests.exe" "$bin/enginectl.exe" "$bin/sqlite3.dll" "$bin/ktest_firefox.exe" \
    "$service" "$run/"
cd "$run"

wine_() { "$KORV_WINE" "$@" </dev/null 2>/dev/null; }
# enginectl with the memory figures the run stands in for; CR LF to LF.
ctl() { KV_TEST_MEMSTATUS=$mem wine_ 'C:\kvacc\enginectl.exe' "$@" | tr -d '\r'; }
group_lines() { grep -v '^item' "$1"; }
compare() { # <golden> <actual>
    if [ "$update" = --update ]; then cp "$2" "$1"; return; fi
    diff -u "$1" "$2" >&2 || fail "$(basename "$2") differs from $(basename "$1")"
}
requests() { grep -c '<callType>0</callType>' svc.log 2>/dev/null || true; }

# Plenty of free memory: the memory group finds nothing.
mem=8388608:8000000
ctl scan > baseline.txt
compare "$here/baseline_$arch.txt" baseline.txt

wine_ 'C:\kvacc\engine_tests.exe' --role=acceptance_seed || fail "seed failed"
ln -s ../../KvCanary "$WINEPREFIX/drive_c/windows/temp/kvlink"

(exec "$KORV_WINE" 'C:\kvacc\fakeservice.exe' --root 'C:\kvacc' --log 'C:\kvacc\svc.log' \
    --deadline 1800 --black 00000000-0000-0000-bfa1-d7ee6696b865 \
    --black 4b3e0ac0-0005-4000-8000-00000000ac05 --black kvblack@kv.test \
    </dev/null >port.txt 2>/dev/null) &
for _ in $(seq 100); do grep -q '^port=' port.txt 2>/dev/null && break; sleep 0.2; done
port=$(sed -n 's/^port=\([0-9]*\).*/\1/p' port.txt)
[ -n "$port" ] || fail "the stand-in did not start"
wine_ reg add 'HKLM\Software\Korvelle' /v ADDON_URL /d "http://127.0.0.1:$port/client.asmx" \
    /reg:32 /f >/dev/null

# 8 MiB with under 1 % free: the memory group finds its item.
mem=8388608:83886
ctl scan > seeded.txt
compare "$here/seeded_$arch.txt" seeded.txt
[ "$(requests)" = 1 ] || fail "expected one CheckBHO request, got $(requests)"
ctl scan > second.txt
diff -u seeded.txt second.txt >&2 || fail "a second scan differs"
[ "$(requests)" = 1 ] || fail "the second scan asked the service again"

# The keys the seeds and the speed-up settings touch, in both views.
cv='Software\Microsoft\Windows\CurrentVersion'
keys=(
    'HKCR\CLSID\{4B3E0AC0-0001-4000-8000-00000000AC01}'
    'HKCR\Interface\{4B3E0AC0-0002-4000-8000-00000000AC02}'
    'HKCR\TypeLib\{4B3E0AC0-0003-4000-8000-00000000AC03}'
    "HKLM\\$cv\\Uninstall\\KvGone" "HKLM\\$cv\\SharedDLLs" 'HKCR\Local Settings\MuiCache'
    "HKCU\\$cv\\Run" "HKLM\\$cv\\Run" "HKLM\\$cv\\App Paths\\kvgone.exe" 'HKCU\SOFTWARE\KvAccept'
    "HKLM\\$cv\\Explorer\\Browser Helper Objects" 'HKLM\Software\Microsoft\Internet Explorer\Toolbar'
    "HKCU\\$cv\\Ext"
    'HKLM\SOFTWARE\Microsoft\DrWatson'
    'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\SubSystems'
    'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Memory Management'
    'HKCU\Control Panel\Desktop' 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Perflib'
    'HKLM\SYSTEM\CurrentControlSet\Control\PriorityControl'
    'HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters'
    'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\SystemRestore'
    "HKCU\\$cv\\Internet Settings" 'HKLM\SYSTEM\CurrentControlSet\Services\Dnscache\Parameters'
)
views=(32)
[ "$arch" = win64 ] && views=(32 64)
export_all() { # <tag>
    local i=0
    for key in "${keys[@]}"; do
        for view in "${views[@]}"; do
            rm -f "exp/$1-$i-$view.reg"
            wine_ reg export "$key" "C:\\kvacc\\exp\\$1-$i-$view.reg" "/reg:$view" /y >/dev/null ||
                true
            touch "exp/$1-$i-$view.reg"
        done
        i=$((i + 1))
    done
    # WaitToKillServiceTimeout lives in a key too large to export whole.
    for view in "${views[@]}"; do
        wine_ reg query 'HKLM\SYSTEM\CurrentControlSet\Control' /v WaitToKillServiceTimeout \
            "/reg:$view" >"exp/$1-control-$view.txt" || true
    done
}
export_all before

for flags in 2 4 8; do
    ctl repair "$flags" >"repair$flags.txt" || fail "repair $flags failed"
done
ctl scan -v > repaired.txt
# Nothing is found again but the memory figures. The link in the Windows temp
# folder is the exception: the file walk lists a link without entering it, and
# the repair's RemoveDirectoryA cannot remove a link that the host made, so
# the temporary files group still lists it (and only it), with no bytes.
awk -F'\t' '$1 != "item" { group = $2 }
    $1 == "item" && group == "temp-files" && $4 !~ /kvlink/ { print; bad = 1 }
    $1 != "item" && $1 != "total" && group != "memory" && $3 != "found=0" &&
        !(group == "temp-files" && $3 == "found=1" && $4 == "bytes=0") { print; bad = 1 }
    END { exit bad }' repaired.txt >&2 || fail "the rescan still finds the lines above"

# The seeded folders keep only what the ignore list and the walk protect.
c=$WINEPREFIX/drive_c
users=$(ls "$c/users" | grep -v -i '^public$' | head -1)
for gone in "users/$users/Local Settings/Temp/e.tmp" windows/temp/f.tmp windows/kv.log \
    windows/memory.dmp "windows/Downloaded Program Files/c.bin" FOUND.000/d.chk \
    "users/$users/Local Settings/Temporary Internet Files/Content.IE5/KV1/b.bin" \
    "users/$users/Local Settings/Application Data/Mozilla/Firefox/Profiles/kv/Cache/a.bin"; do
    [ ! -e "$c/$gone" ] || fail "still there: $gone"
done
for kept in "users/$users/Local Settings/Temporary Internet Files/Content.IE5/index.dat" \
    "windows/Downloaded Program Files/desktop.ini" windows/WindowsUpdate.log \
    windows/Debug/PASSWD.LOG; do
    [ -e "$c/$kept" ] || [ -e "$c/${kept,,}" ] || fail "gone: $kept"
done
[ -L "$c/windows/temp/kvlink" ] || fail "the link went"
[ "$(cat "$c/KvCanary/canary.txt" | wc -c)" = 10 ] || fail "the canary was touched"
[ -z "$(ls -A "$XDG_DATA_HOME/Trash/files" 2>/dev/null)" ] || fail "the recycle bin is not empty"

ctl backups > backups.txt
[ "$(grep -c '^fix' backups.txt)" = 1 ] && [ "$(grep -c '^boost' backups.txt)" = 1 ] ||
    fail "expected one fix and one boost backup: $(cat backups.txt)"
backup_dir=$(find "$c" -ipath '*/Korvelle/Backup' -type d | head -1)
while IFS=$'\t' read -r _ file _; do
    ctl restore "C:${backup_dir#"$c"}/$file" >>restore.txt || fail "restore of $file failed"
done < backups.txt
ctl delayed-restore >>restore.txt || fail "delayed restore failed"
export_all after
for f in exp/before-*; do
    cmp -s "$f" "exp/after-${f#exp/before-}" || {
        diff -u "$f" "exp/after-${f#exp/before-}" >&2 || true
        fail "not restored: $f"
    }
done
echo "acceptance: 22 groups found, repaired and restored"
