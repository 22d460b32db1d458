#!/usr/bin/env bash
# Keeps one wineserver running for a prefix during a test run.
#
#   scripts/wineserver-ctl.sh start|stop <scratch dir>
#
# The first Wine process of a prefix starts Wine's services, which inherit its
# standard output; CTest would then wait for them after every test. Starting the
# server and the services here, with their output on /dev/null, avoids that.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 start|stop <dir>" >&2; exit 2; }
dir=$2
here=$(dirname "$(realpath "$0")")
case "$1" in
start)
    if [ ! -f "$dir/env" ]; then
        arch=win64
        case "$(basename "$dir")" in *win32*) arch=win32 ;; esac
        "$here/wineprefix.sh" "$dir" "$arch"
    fi
    . "$dir/env"
    # Wine's services start here: on the road the prefix was made for.
    . "$here/wine-env.sh"
    korv_take_host_road "$here/wineserver-ctl.sh" "$@"
    "$KORV_WINESERVER" -p60 </dev/null >/dev/null 2>&1
    "$KORV_WINE" wineboot </dev/null >/dev/null 2>&1
    ;;
stop)
    [ -f "$dir/env" ] || exit 0
    . "$dir/env"
    "$KORV_WINESERVER" -k >/dev/null 2>&1 || true
    ;;
*) echo "usage: $0 start|stop <dir>" >&2; exit 2 ;;
esac
