#!/usr/bin/env bash
# Makes a throwaway Wine prefix for Korvelle's tests and runs.
#
#   scripts/wineprefix.sh <dir> [win32|win64]
#
# KORV_MANAGED_WINDOWS=1 lets a desktop's window manager manage the windows
# (run.sh on a display); otherwise Wine manages none, as under Xvfb.
#
# <dir> becomes a scratch folder holding the prefix, a home folder and an env
# file. Wine's home, desktop folders and recycle bin (the XDG trash) all live
# inside it, and drive z: (the host's root) is removed, so nothing run in the
# prefix can reach the host's files. Every run makes the prefix afresh. The
# env file also records the kind of host it was made for (KORV_HOST_I386):
# scripts/wine-run.sh keeps every program run in it on that road.
set -euo pipefail
. "$(dirname "$(realpath "$0")")/wine-env.sh"

usage() { echo "usage: $0 <dir> [win32|win64]" >&2; exit 2; }
[ $# -ge 1 ] && [ $# -le 2 ] || usage
# KORV_HOST_I386=0 where 32-bit code runs: made as a 64-bit-only host makes it.
korv_take_host_road "$(realpath "$0")" "$@"
arch=${2:-win64}
case "$arch" in win32|win64) ;; *) usage ;; esac
if [ "$arch" = win32 ] && [ "$KORV_HOST_I386" != 1 ]; then
    echo "wineprefix: this host cannot run 32-bit x86 code, so no win32 prefix can be made" >&2
    exit 3
fi
wine=$KORV_WINE64
[ "$arch" = win64 ] || wine=$KORV_WINE32

marker=.korvelle-prefix
mkdir -p "$(dirname "$1")"
dir=$(realpath -m "$1")

refuse() { echo "wineprefix: refusing $dir: $1" >&2; exit 1; }
[ "$dir" != / ] || refuse "the root folder"
for own in "$HOME/.wine" "${WINEPREFIX:-}"; do
    [ -n "$own" ] || continue
    own=$(realpath -m "$own")
    case "$dir/" in "$own/"*) refuse "it is or lies inside $own" ;; esac
    case "$own/" in "$dir/"*) refuse "it holds $own" ;; esac
done
if [ -e "$dir" ]; then
    [ -d "$dir" ] || refuse "not a folder"
    if [ -n "$(ls -A "$dir")" ]; then
        [ -f "$dir/$marker" ] || refuse "this script did not make it"
        # A server still running on the old prefix would keep its registry alive.
        if [ -f "$dir/env" ]; then
            ( set +u; . "$dir/env"; "$KORV_WINESERVER" -k >/dev/null 2>&1 || true )
        fi
        rm -rf "$dir"
    fi
fi

mkdir -p "$dir"
touch "$dir/$marker"
mkdir -p "$dir/home/.local/share" "$dir/home/.config" "$dir/home/.cache"

cat > "$dir/env" <<ENV
export WINEPREFIX='$dir/prefix'
export HOME='$dir/home'
export XDG_DATA_HOME='$dir/home/.local/share'
export XDG_CONFIG_HOME='$dir/home/.config'
export XDG_CACHE_HOME='$dir/home/.cache'
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
export KORV_WINE='$wine'
export KORV_WINESERVER='$KORV_WINESERVER'
export KORV_HOST_I386='$KORV_HOST_I386'
unset WINEARCH
ENV

(
    . "$dir/env"
    # WINEARCH only for creating a 32-bit prefix: exported later, Wine refuses
    # to open a 64-bit one with it.
    if [ "$arch" = win32 ]; then
        WINEARCH=win32 "$KORV_WINE" wineboot -i </dev/null >/dev/null 2>&1
    else
        "$KORV_WINE" wineboot -i </dev/null >/dev/null 2>&1
    fi
    if [ "$arch" = win64 ] && [ "$KORV_HOST_I386" != 1 ]; then
        # Without 32-bit code Wine's own 32-bit setup cannot run, so the 32-bit
        # registry view lacks what it writes there and syswow64 stays empty.
        # Fill in the folder values the 32-bit programs read, as that setup
        # writes them: without them %PROGRAMFILES% and the all-users folders
        # of the program's own view are empty. The rest stays missing; a test
        # that needs more of it makes it itself.
        cd "$WINEPREFIX/drive_c"
        "$KORV_WINESERVER" -p10 2>/dev/null || true  # a server that still runs serves as well
        cv='HKLM\Software\Microsoft\Windows\CurrentVersion'
        "$KORV_WINE" reg add "$cv" /v ProgramFilesDir /t REG_SZ /d 'C:\Program Files (x86)' /f /reg:32 >/dev/null 2>&1
        "$KORV_WINE" reg add "$cv" /v CommonFilesDir /t REG_SZ /d 'C:\Program Files (x86)\Common Files' /f /reg:32 >/dev/null 2>&1
        "$KORV_WINE" reg add "$cv" /v ProgramFilesPath /t REG_EXPAND_SZ /d '%ProgramFiles%' /f /reg:32 >/dev/null 2>&1
        "$KORV_WINE" reg export "$cv\Explorer\Shell Folders" 'C:\shellfolders.reg' /reg:64 /y >/dev/null 2>&1
        "$KORV_WINE" reg import 'C:\shellfolders.reg' /reg:32 >/dev/null 2>&1
        rm -f shellfolders.reg
        mkdir -p "Program Files (x86)/Common Files"
    fi
    # A crashing program ends at once: no crash dialog waits for a click that
    # never comes under Xvfb.
    "$KORV_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>&1
    # The tests run on Xvfb without a window manager: Wine would wait 2 s for
    # one to withdraw each hidden window. KORV_MANAGED_WINDOWS=1 (run.sh on a
    # desktop) leaves the windows to the desktop's window manager.
    if [ "${KORV_MANAGED_WINDOWS:-0}" != 1 ]; then
        "$KORV_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
            >/dev/null 2>&1
    fi
    "$KORV_WINESERVER" -w
)
rm -f "$dir/prefix/dosdevices/z:"
[ -d "$dir/prefix/drive_c" ] || { echo "wineprefix: wineboot made no prefix in $dir" >&2; exit 1; }
# Wine's own Tahoma and Marlett (Debian's fonts-wine): without them every face
# falls back to one font and the caption glyphs are missing. Wine does not
# find them where the package puts them, only in the prefix's Fonts folder.
fonts=/usr/share/wine/fonts
for font in tahoma.ttf tahomabd.ttf marlett.ttf; do
    if [ -f "$fonts/$font" ]; then
        cp "$fonts/$font" "$dir/prefix/drive_c/windows/Fonts/"
    else
        echo "wineprefix: $fonts/$font is missing (run scripts/setup.sh); text falls back to another font" >&2
    fi
done
echo "$arch" > "$dir/arch"
