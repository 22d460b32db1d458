#!/usr/bin/env bash
# Runs a Windows program of the build in a Korvelle prefix (the tests' emulator).
#
#   KORV_PREFIX_DIR=<scratch dir made by wineprefix.sh> scripts/wine-run.sh prog.exe [args]
#
# The prefix has no drive z:, so a program started by its host path could open
# neither itself nor its working folder. The program, the DLLs beside it and its
# fixtures/ folder are copied to a folder of their own on drive C and run there,
# that folder as working directory.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: $0 prog.exe [args]" >&2; exit 2; }
[ -n "${KORV_PREFIX_DIR:-}" ] || { echo "wine-run: KORV_PREFIX_DIR is not set" >&2; exit 2; }
[ -f "$KORV_PREFIX_DIR/env" ] || { echo "wine-run: no prefix in $KORV_PREFIX_DIR (run scripts/wineprefix.sh)" >&2; exit 2; }
. "$KORV_PREFIX_DIR/env"
# A prefix made for a 64-bit-only host keeps its programs on that road.
. "$(dirname "$(realpath "$0")")/wine-env.sh"
korv_take_host_road "$(realpath "$0")" "$@"
# WinInet follows the host's proxy variables: requests to the tests' own
# servers on 127.0.0.1 would go to that proxy instead.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY

prog=$(realpath "$1"); shift
src=$(dirname "$prog")
name=$(basename "$prog")
run=$(mktemp -d "$WINEPREFIX/drive_c/ktest.${name%.exe}.XXXXXX")
trap 'rm -rf "$run"' EXIT

cp "$prog" "$run/"
# Helper programs and DLLs beside it travel along (a test may start or load them).
for f in "$src"/*.exe "$src"/*.dll; do [ -e "$f" ] && [ "$f" != "$prog" ] && cp "$f" "$run/"; done
[ -d "$src/fixtures" ] && cp -r "$src/fixtures" "$run/"

cd "$run"
set +e
"$KORV_WINE" "C:\\$(basename "$run")\\$name" "$@"
status=$?
set -e
exit $status
