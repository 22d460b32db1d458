# The ground of every end-to-end script, sourced after it sets
#   prefix_dir arch build_arch bin evidence   (its arguments)
#   tools_name   its folder on drive C, which gets formdrive.exe
# and, where it wants them,
#   tool_programs  the test programs it needs there besides formdrive.exe
#   tools_fresh=1  the folder emptied first: nothing an earlier run left there
#                  may pass for this run's
#   fd_seconds     how long one formdrive call may take (default 330)
# Without an X display it skips. It sets $drive_c, $folder, $unix_folder and
# $exe (where ./run.sh installs the programs, which it copies there), $tools
# and $tools_win, $views, and the helpers fail, w, fd and alone; the working
# folder is drive C. Installing and cleaning up are the script's.

fail() { echo "FAIL: $*" >&2; exit 1; }
[ -n "${DISPLAY:-}" ] || { echo "SKIP: needs an X display (./test.sh runs the tests under Xvfb)"; exit 77; }
. "$prefix_dir/env"
drive_c=$WINEPREFIX/drive_c
mkdir -p "$evidence"
rm -f "$evidence"/*.png

folder='C:\Program Files\Korvelle'
[ "$build_arch" = i686 ] && [ "$arch" = win64 ] && folder='C:\Program Files (x86)\Korvelle'
unix_folder=$drive_c/${folder#C:\\}
unix_folder=${unix_folder//\\//}
exe="$folder\\Korvelle.exe"
tools=$drive_c/$tools_name
tools_win="C:\\$tools_name"
if [ "${tools_fresh:-0}" = 1 ]; then rm -rf "$tools"; fi
mkdir -p "$unix_folder" "$tools"
cp "$bin/Korvelle.exe" "$bin/Lindova.exe" "$unix_folder/"
cp "$bin/formdrive.exe" "$tools/"
for program in "${tool_programs[@]}"; do cp "$bin/$program" "$tools/"; done
cd "$drive_c"

w() { timeout 120 "$KORV_WINE" "$@" 2>/dev/null | tr -d '\r'; }
# formdrive's own complaints stay on stderr: they say why a step failed. Its
# longest wait (a scan or a repair, 300 s) ends before the default time-out.
fd() { timeout "${fd_seconds:-330}" "$KORV_WINE" "$tools_win\\formdrive.exe" "$@" | tr -d '\r'; }
# The program started alone, with nothing of ours on its standard handles:
# the tray the install starts would hold a pipe open.
alone() { timeout 120 "$KORV_WINE" "$@" </dev/null >/dev/null 2>&1; }

views=(64)
[ "$arch" = win64 ] && views=(32 64)
