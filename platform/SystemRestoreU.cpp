#include "platform/SystemRestoreU.h"

#include "platform/BindingU.h"
#include "platform/RegistryU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <cstring>
#include <mutex>

namespace {

constexpr char kSystemRestoreKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\SystemRestore";

struct TRestoreState {
    std::mutex lock;
    bool bindTried = false;
    HMODULE library = nullptr; // kept for the life of the process
    TSRSetRestorePointA setRestorePoint = nullptr;
    std::string libraryPath; // tests only; '' = the system folder's
    TStateMgrStatus opened{};
    bool haveOpened = false;
};

TRestoreState& State()
{
    static TRestoreState* state = new TRestoreState;
    return *state;
}

// Caller holds the lock.
bool BindLocked(TRestoreState& state)
{
    if (!state.bindTried) {
        state.bindTried = true;
        // Full path in the system folder: a bare name would search the program
        // folder first, and a DLL planted there would run in the elevated program.
        const std::wstring path = state.libraryPath.empty() ? SystemFolderPath(L"SrClient.dll")
                                                            : AnsiToWide(state.libraryPath);
        if (!path.empty())
            state.library = LoadLibraryW(path.c_str());
        if (state.library)
            state.setRestorePoint = reinterpret_cast<TSRSetRestorePointA>(
                reinterpret_cast<void*>(GetProcAddress(state.library, "SRSetRestorePointA")));
    }
    return state.library != nullptr;
}

} // namespace

std::string RestorePointDescription(const std::wstring& Description)
{
    const std::string ansi = WideToAnsi(Description);
    // Cut on a character boundary: half a double-byte character would turn
    // the last one into garbage.
    size_t end = 0;
    while (end < ansi.size()) {
        const size_t step = IsDBCSLeadByte(static_cast<BYTE>(ansi[end])) ? 2 : 1;
        if (end + step > kRestorePointDescriptionMax || end + step > ansi.size())
            break;
        end += step;
    }
    return ansi.substr(0, end);
}

bool BindRestorePointApi()
{
    TRestoreState& state = State();
    std::lock_guard guard(state.lock);
    return BindLocked(state);
}

bool CreateRestorePoint(const std::wstring& Description, int EventType, int RestorePointType)
{
    TRestoreState& state = State();
    std::lock_guard guard(state.lock);
    state.opened = {};
    state.haveOpened = false;
    if (!BindLocked(state) || !state.setRestorePoint)
        return false;
    TRestorePointInfoA request{};
    request.dwEventType = static_cast<DWORD>(EventType);
    request.dwRestorePtType = static_cast<DWORD>(RestorePointType);
    request.llSequenceNumber = 0;
    const std::string text = RestorePointDescription(Description);
    std::memcpy(request.szDescription, text.data(), text.size());
    TStateMgrStatus status{};
    const BOOL ok = state.setRestorePoint(&request, &status);
    state.haveOpened = ok && status.nStatus == 0;
    if (state.haveOpened)
        state.opened = status;
    return state.haveOpened;
}

bool EndRestorePoint(int EventType, int RestorePointType)
{
    TRestoreState& state = State();
    std::lock_guard guard(state.lock);
    if (!BindLocked(state) || !state.setRestorePoint || !state.haveOpened)
        return false;
    TRestorePointInfoA request{};
    request.dwEventType = static_cast<DWORD>(EventType);
    request.dwRestorePtType = static_cast<DWORD>(RestorePointType);
    request.llSequenceNumber = state.opened.llSequenceNumber;
    TStateMgrStatus status{};
    const BOOL ok = state.setRestorePoint(&request, &status);
    // One ending per opening: a second one would name a point already closed.
    state.haveOpened = false;
    return ok != FALSE;
}

bool CancelRestorePoint(int EventType)
{
    return EndRestorePoint(EventType, kCancelledOperation);
}

bool IsSystemRestoreEnabledAt(HKEY Root, const std::string& KeyPath)
{
    TRegViewScope view(false, IsWin64());
    return RegReadDWord(Root, KeyPath, "DisableSR") != 1;
}

bool IsSystemRestoreEnabled()
{
    return IsSystemRestoreEnabledAt(HKEY_LOCAL_MACHINE, kSystemRestoreKey);
}

void ResetRestorePointApiForTests(const std::string& LibraryPath)
{
    TRestoreState& state = State();
    std::lock_guard guard(state.lock);
    state.bindTried = false;
    state.library = nullptr;
    state.setRestorePoint = nullptr;
    state.libraryPath = LibraryPath;
    state.opened = {};
    state.haveOpened = false;
}
