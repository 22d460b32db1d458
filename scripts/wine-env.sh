# Sourced by the scripts: which Wine loader and server to call.
#
# Debian's `wine` wrapper always picks the 32-bit loader when it is installed,
# but some hosts run 64-bit user code only (a 32-bit ELF gets ENOEXEC, and the
# 32-bit code segment is gone too, so neither the 32-bit loader nor Wine's own
# WoW64 can run 32-bit Windows code). KORV_HOST_I386 says which kind this is.
KORV_WINE64=/usr/lib/wine/wine64
KORV_WINE32=/usr/lib/wine/wine
KORV_WINESERVER=/usr/lib/wine/wineserver64
[ -x "$KORV_WINESERVER" ] || KORV_WINESERVER=/usr/lib/wine/wineserver32
if [ -z "${KORV_HOST_I386:-}" ]; then
    if "$KORV_WINE32" --version >/dev/null 2>&1; then KORV_HOST_I386=1; else KORV_HOST_I386=0; fi
fi
export KORV_HOST_I386
