#include "platform/WinVersionU.h"

#include "platform/BindingU.h"
#include "platform/SecurityU.h"

#include <atomic>

namespace {

constexpr const char* kWinVersionNames[] = {
    "W95",    "W98",  "WME",   "NT35",   "NT40",     "W2K", "WXP",
    "WXPSP2", "WS03", "VISTA", "WS2008", "WS2008R2", "W7",
};
static_assert(std::size(kWinVersionNames) == static_cast<size_t>(TWinVersion::W7) + 1);

bool QueryVersion(OSVERSIONINFOEXA& info) noexcept
{
    info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) != FALSE;
}

// The per-thread redirection state: the value the outermost disable handed
// back, and how many disables are still open.
thread_local PVOID tRedirectionOldValue = nullptr;
thread_local int tRedirectionDepth = 0;

using TDisableFn = BOOL(WINAPI*)(PVOID*);
using TRevertFn = BOOL(WINAPI*)(PVOID);

TBoundProc<TDisableFn>& BoundDisable()
{
    static TBoundProc<TDisableFn> proc{Kernel32Library(), "Wow64DisableWow64FsRedirection"};
    return proc;
}

TBoundProc<TRevertFn>& BoundRevert()
{
    static TBoundProc<TRevertFn> proc{Kernel32Library(), "Wow64RevertWow64FsRedirection"};
    return proc;
}

std::atomic<const TWow64RedirectionApi*> gRedirectionApi{nullptr};

} // namespace

static_assert(sizeof(OSVERSIONINFOEXA) == 156);

const char* WinVersionName(TWinVersion Version) noexcept
{
    auto index = static_cast<size_t>(Version);
    return index < std::size(kWinVersionNames) ? kWinVersionNames[index] : "W95";
}

TWinVersion ClassifyWinVersion(DWORD PlatformId, DWORD Major, DWORD Minor, BYTE ProductType,
                               WORD ServicePackMajor) noexcept
{
    if (PlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (Major == 4 && Minor == 10)
            return TWinVersion::W98;
        if (Major == 4 && Minor == 90)
            return TWinVersion::WME;
        return TWinVersion::W95;
    }
    if (PlatformId != VER_PLATFORM_WIN32_NT)
        return TWinVersion::W95;

    const bool workstation = ProductType == VER_NT_WORKSTATION;
    if (Major < 5)
        return TWinVersion::NT40;
    if (Major == 5) {
        if (Minor == 0)
            return TWinVersion::W2K;
        if (!workstation)
            return TWinVersion::WS03;
        return ServicePackMajor >= 2 ? TWinVersion::WXPSP2 : TWinVersion::WXP;
    }
    // Windows 10 and 11 report 10.0 to programs that declare them: only 6.0
    // itself is Vista or Server 2008, every later pair is at least 7.
    if (Major == 6 && Minor == 0)
        return workstation ? TWinVersion::VISTA : TWinVersion::WS2008;
    return workstation ? TWinVersion::W7 : TWinVersion::WS2008R2;
}

TWinVersion WinVersionOfQuery(BOOL QuerySucceeded, const OSVERSIONINFOEXA& Info) noexcept
{
    if (!QuerySucceeded)
        return TWinVersion::WXP;
    return ClassifyWinVersion(Info.dwPlatformId, Info.dwMajorVersion, Info.dwMinorVersion,
                              Info.wProductType, Info.wServicePackMajor);
}

TWinVersion DetectWinVersion() noexcept
{
    OSVERSIONINFOEXA info;
    bool ok = QueryVersion(info);
    return WinVersionOfQuery(ok ? TRUE : FALSE, info);
}

TWinVersion GetWinVersion() noexcept
{
    return DetectWinVersion();
}

std::string GetWinVersionName()
{
    return WinVersionName(GetWinVersion());
}

bool IsWinNT() noexcept
{
    // The plain record: Windows 9x may refuse the extended one, and the
    // platform is all this needs.
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExA(&info))
        return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool IsVistaOrLater() noexcept
{
    return GetWinVersion() >= TWinVersion::VISTA;
}

bool IsWin64() noexcept
{
    // A 64-bit program runs only on 64-bit Windows, where IsWow64Process says
    // False for it.
    static const bool win64 = sizeof(void*) == 8 || ProcessIsWow64(GetCurrentProcess());
    return win64;
}

void SetWow64RedirectionApi(const TWow64RedirectionApi* Api) noexcept
{
    gRedirectionApi.store(Api);
}

bool SetWow64Redirection(bool Disable) noexcept
{
    TDisableFn disableFn = nullptr;
    TRevertFn revertFn = nullptr;
    if (const TWow64RedirectionApi* api = gRedirectionApi.load()) {
        disableFn = api->Disable;
        revertFn = api->Revert;
    } else {
        // Both are bound before anything is disabled.
        disableFn = BoundDisable().Get();
        revertFn = BoundRevert().Get();
    }

    if (Disable) {
        if (tRedirectionDepth > 0) {
            ++tRedirectionDepth;
            return true;
        }
        if (!disableFn || !revertFn)
            return false;
        PVOID oldValue = nullptr;
        if (!disableFn(&oldValue))
            return false;
        tRedirectionOldValue = oldValue;
        tRedirectionDepth = 1;
        return true;
    }

    if (tRedirectionDepth == 0)
        return false;
    if (tRedirectionDepth > 1) {
        --tRedirectionDepth;
        return true;
    }
    // A failed revert leaves redirection off, so the disable stays counted.
    if (!revertFn || !revertFn(tRedirectionOldValue))
        return false;
    tRedirectionOldValue = nullptr;
    tRedirectionDepth = 0;
    return true;
}

namespace {

// Only a 32-bit process on 64-bit Windows is redirected. A 64-bit process
// sees the native folders already, and Windows refuses the calls there
// (ERROR_INVALID_FUNCTION): like 32-bit Windows, there is nothing to switch.
bool RedirectionApplies() noexcept
{
    return sizeof(void*) == 4 && IsWin64();
}

} // namespace

bool DisableWow64Redirection() noexcept
{
    if (!RedirectionApplies())
        return true;
    return SetWow64Redirection(true);
}

bool RevertWow64Redirection() noexcept
{
    if (!RedirectionApplies())
        return true;
    return SetWow64Redirection(false);
}

int Wow64RedirectionDepth() noexcept
{
    return tRedirectionDepth;
}
