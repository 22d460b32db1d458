/* A small library that stands in for one of Firefox's runtime libraries: it
   exports a marker whose value tells which copy was loaded, and nothing of
   SQLite's. */
#include <windows.h>

__declspec(dllexport) int __cdecl KorvMarker(void)
{
    return KORV_MARKER;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
