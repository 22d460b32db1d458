#pragma once
// Which Windows the program runs on, as one ordered enumeration that callers
// compare against ("at least VISTA"), whether it runs on 64-bit Windows, and
// the per-thread switching of file-system redirection for work on the 64-bit
// system folders.
//
// Nothing here is computed at static initialisation: the security unit and
// this one call each other, and either may be used from another unit's
// initialisation.

#include <windows.h>

#include <cstdint>
#include <string>

// The order is part of the interface: callers test ranges.
enum class TWinVersion : uint8_t {
    W95 = 0,       // Windows 95, and any unknown platform
    W98 = 1,       // Windows 98 (4.10)
    WME = 2,       // Windows ME (4.90)
    NT35 = 3,      // never produced
    NT40 = 4,      // NT below 5.0
    W2K = 5,       // 5.0
    WXP = 6,       // 5.1 and later 5.x workstation, service pack below 2; also a failed query
    WXPSP2 = 7,    // as WXP with service pack 2 or later
    WS03 = 8,      // 5.1 and later 5.x, not workstation
    VISTA = 9,     // 6.0 workstation
    WS2008 = 10,   // 6.0 server
    WS2008R2 = 11, // 6.1 and every later version, server
    W7 = 12,       // 6.1 and every later version (8, 8.1, 10, 11), workstation
};

// The short name of each value: "W95" ... "W7".
const char* WinVersionName(TWinVersion Version) noexcept;

// The classification as a pure function of the version record's fields.
// Workstation means ProductType == VER_NT_WORKSTATION (1). Versions are
// compared as (major, minor) pairs, so 10.0 counts as later than 6.1.
TWinVersion ClassifyWinVersion(DWORD PlatformId, DWORD Major, DWORD Minor, BYTE ProductType,
                               WORD ServicePackMajor) noexcept;
// The classification of one version query: WXP when the query failed.
TWinVersion WinVersionOfQuery(BOOL QuerySucceeded, const OSVERSIONINFOEXA& Info) noexcept;

// GetVersionExA with the extended record (size 156), classified.
TWinVersion DetectWinVersion() noexcept;
// DetectWinVersion, asked afresh on every call.
TWinVersion GetWinVersion() noexcept;
// The short name of GetWinVersion.
std::string GetWinVersionName();
// The platform is the NT family (VER_PLATFORM_WIN32_NT).
bool IsWinNT() noexcept;
// GetWinVersion is VISTA or later.
bool IsVistaOrLater() noexcept;
// The program runs on 64-bit Windows: a 64-bit build always does, a 32-bit
// build when its own process runs under Wow64. It never changes while the
// process lives, so it is computed once (on first use, thread-safe): the
// registry layer asks it on every key open.
bool IsWin64() noexcept;

// File-system redirection of the calling thread (a per-thread state of
// Windows). Wow64DisableWow64FsRedirection and Wow64RevertWow64FsRedirection
// are bound by name from kernel32, both before the first disabling call (a
// library loaded while redirection is off would come from the 64-bit folder).
//
// Calls nest per thread: only the outermost disabling call reaches Windows and
// keeps the value it hands back, inner ones only count; only the revert that
// matches the outermost disable restores it. A failed disable does not count.
// A revert with nothing disabled calls nothing and returns False. False also
// when a function is missing or fails.
bool SetWow64Redirection(bool Disable) noexcept;
// A 32-bit process on 64-bit Windows: SetWow64Redirection(true). True, doing
// nothing, where nothing is redirected: on 32-bit Windows and in a 64-bit
// process (which sees the native folders, and where Windows refuses the call).
bool DisableWow64Redirection() noexcept;
// The same with SetWow64Redirection(false).
bool RevertWow64Redirection() noexcept;
// How many disabling calls of the calling thread are still to be reverted.
int Wow64RedirectionDepth() noexcept;

// Test seam: the two kernel32 functions SetWow64Redirection calls. Null
// members mean "missing". SetWow64RedirectionApi(nullptr) goes back to the
// bound functions; set it only while no thread is inside.
struct TWow64RedirectionApi {
    BOOL(WINAPI* Disable)(PVOID* OldValue) = nullptr;
    BOOL(WINAPI* Revert)(PVOID OldValue) = nullptr;
};
void SetWow64RedirectionApi(const TWow64RedirectionApi* Api) noexcept;
