# The ground of the wizard's end-to-end scripts, sourced after they set
#   prefix_dir arch build_arch bin evidence   (their arguments)
#   tools_name   their folder on drive C (formdrive.exe, enginectl.exe, exports)
#   guid_stem    the seeded class ids are <guid_stem>1} to <guid_stem>3};
#                left unset, nothing is seeded and nothing scanned
# On the ground of every end-to-end script (e2e_ground.sh) it installs the
# programs as ./run.sh installs them, seeds three dead class registrations in
# each view, exports them into $tools/before.txt, sets $expected to the errors
# enginectl counts, and uninstalls and removes the seeds at exit.

tool_programs=(enginectl.exe)
. "$(dirname "${BASH_SOURCE[0]}")/e2e_ground.sh"

ctl() { w "$tools_win\\enginectl.exe" "$@"; }
shot() { fd shot "$tools_win\\$1.png" MainForm && cp "$tools/$1.png" "$evidence/$1.png" || fail "no picture $1"; }
# The wizard started in the background (its process in $wizard), until its
# window answers; a wizard that ended on the way fails at once.
start_wizard() {
    KV_INSPECT=1 "$KORV_WINE" "$exe" >/dev/null 2>&1 &
    wizard=$!
    for _ in $(seq 1 150); do
        fd find MainForm >/dev/null 2>&1 && return 0
        if ! kill -0 $wizard 2>/dev/null; then
            local status=0
            wait $wizard || status=$?
            fail "the wizard ended with $status before its window answered"
        fi
        sleep 0.2
    done
    fail "the wizard's window never answered"
}
guids=()
if [ -n "${guid_stem:-}" ]; then
    for i in 1 2 3; do guids+=("$guid_stem$i}"); done
fi
undo_speedups() { # <what for>: every speed-up backup restored, newest first, so that
    # the next run in this prefix finds the same tweaks on offer
    ctl backups | { grep '^boost' || true; } | cut -f2 | while read -r name; do
        if [ -n "$name" ]; then
            ctl restore "C:\\ProgramData\\Korvelle\\Backup\\$name" | grep -q 'failed=0' ||
                fail "$1: the backup $name was not restored whole"
        fi
    done
}

cleanup() {
    alone "$exe" /UNINSTALL || true
    for g in "${guids[@]}"; do for v in "${views[@]}"; do
        w reg delete "HKCR\\CLSID\\$g" /f /reg:$v >/dev/null || true
    done; done
}
trap cleanup EXIT

if ! w reg query 'HKLM\Software\Korvelle' /reg:32 >/dev/null; then
    alone "$exe" /INSTALL || fail "/INSTALL"
fi
w reg delete 'HKLM\Software\Korvelle' /v LngVer /f /reg:32 >/dev/null || true
# The wizard pages fetch the FAQ at their start: from a closed loopback port
# here, so nothing of the run leaves the machine.
w reg add 'HKLM\Software\Korvelle' /v FAQ_URL /d 'http://127.0.0.1:9/' /reg:32 /f >/dev/null

# A script without seeds goes on from here.
[ ${#guids[@]} -gt 0 ] || return 0
for g in "${guids[@]}"; do for v in "${views[@]}"; do
    w reg add "HKCR\\CLSID\\$g" /ve /d "Dead class" /f /reg:$v >/dev/null
    w reg add "HKCR\\CLSID\\$g\\InprocServer32" /ve /d 'C:\korvgone\dead.dll' /f /reg:$v >/dev/null
done; done
present() { # <guid> <view>
    w reg query "HKCR\\CLSID\\$1" /reg:$2 >/dev/null
}
export_keys() { # <file>
    local out=$1
    : > "$out"
    for g in "${guids[@]}"; do for v in "${views[@]}"; do
        rm -f "$tools/export.reg"
        w reg export "HKCR\\CLSID\\$g" "$tools_win\\export.reg" /y /reg:$v >/dev/null || true
        [ -f "$tools/export.reg" ] && iconv -f UTF-16 -t UTF-8 "$tools/export.reg" | tr -d '\r' >> "$out"
    done; done
}
export_keys "$tools/before.txt"
grep -q 'dead.dll' "$tools/before.txt" || fail "the fixture keys were not made"

expected=$(ctl scan | sed -n 's/^total\terrors=\([0-9]*\).*/\1/p')
[ -n "$expected" ] || fail "enginectl scan gave no total"
[ "$expected" -ge 3 ] || fail "enginectl finds only $expected errors"
