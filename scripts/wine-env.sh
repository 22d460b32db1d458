# Sourced by the scripts: which Wine loader and server to call.
#
# Debian's `wine` wrapper always picks the 32-bit loader when it is installed,
# but some hosts run 64-bit user code only (a 32-bit ELF gets ENOEXEC, and the
# 32-bit code segment is gone too, so neither the 32-bit loader nor Wine's own
# WoW64 can run 32-bit Windows code). KORV_HOST_I386 says which kind this is:
# found out when unset; KORV_HOST_I386=0 given on a host that runs 32-bit code
# too asks for the 64-bit-only road there (see korv_take_host_road).
KORV_WINE64=/usr/lib/wine/wine64
KORV_WINE32=/usr/lib/wine/wine
KORV_WINESERVER=/usr/lib/wine/wineserver64
[ -x "$KORV_WINESERVER" ] || KORV_WINESERVER=/usr/lib/wine/wineserver32
korv_scripts=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
korv_i386_runs=0
"$KORV_WINE32" --version >/dev/null 2>&1 && korv_i386_runs=1
KORV_HOST_I386=${KORV_HOST_I386:-$korv_i386_runs}
case "$KORV_HOST_I386" in
0) ;;
1)
    if [ "$korv_i386_runs" = 0 ]; then
        echo "KORV_HOST_I386=1, but this host cannot run 32-bit x86 code ($KORV_WINE32 does not start)" >&2
        exit 3
    fi
    ;;
*) echo "KORV_HOST_I386 must be 0 or 1, not '$KORV_HOST_I386'" >&2; exit 2 ;;
esac
export KORV_HOST_I386

# korv_take_host_road [--say] <the calling script> [its arguments]: on a host
# that runs 32-bit code, KORV_HOST_I386=0 runs the calling script again
# through scripts/no-i386.sh, where Wine's 32-bit loader cannot run, so that
# its prefixes and programs meet what a 64-bit-only host gives them (a prefix
# without its 32-bit half). --say tells so in one line. Returns at once
# everywhere else.
korv_take_host_road() {
    local say=0
    [ "$1" = --say ] && { say=1; shift; }
    [ "$KORV_HOST_I386" = 0 ] && [ "$korv_i386_runs" = 1 ] || return 0
    [ $say = 0 ] || echo "$(basename "$1" .sh): KORV_HOST_I386=0: Wine's 32-bit loader is hidden from this run, as on a host that runs 64-bit code only"
    exec "$korv_scripts/no-i386.sh" "$@"
}
