#include "platform/RecycleBinU.h"

#include "platform/BindingU.h"

// The SDK packs the record to 4 bytes in 32-bit builds only; a hand-declared,
// naturally aligned record would be 24 bytes there and read its counters at
// the wrong offsets.
static_assert(sizeof(SHQUERYRBINFO) == (sizeof(void*) == 4 ? 20 : 24));

namespace {

TRecycleBinCalls g_calls;

HRESULT QueryAllDrives(SHQUERYRBINFO& Info)
{
    Info = {};
    Info.cbSize = sizeof(Info);
    return g_calls.Query ? g_calls.Query(nullptr, &Info) : SHQueryRecycleBinA(nullptr, &Info);
}

} // namespace

void SetRecycleBinCalls(const TRecycleBinCalls& Calls) noexcept
{
    g_calls = Calls;
}

bool IsRecycleBinEmpty()
{
    SHQUERYRBINFO info;
    if (FAILED(QueryAllDrives(info)))
        return true;
    return info.i64NumItems == 0 && info.i64Size == 0;
}

bool QueryRecycleBin(int64_t& Size, int64_t& Count)
{
    SHQUERYRBINFO info;
    if (FAILED(QueryAllDrives(info))) {
        Size = 0;
        Count = 0;
        return false;
    }
    Size = info.i64Size;
    Count = info.i64NumItems;
    return true;
}

bool EmptyRecycleBin(HWND Wnd, bool Confirm, bool ShowProgress, bool PlaySound)
{
    DWORD flags = 0;
    if (!Confirm)
        flags |= SHERB_NOCONFIRMATION;
    if (!ShowProgress)
        flags |= SHERB_NOPROGRESSUI;
    if (!PlaySound)
        flags |= SHERB_NOSOUND;
    HRESULT hr = g_calls.Empty ? g_calls.Empty(Wnd, nullptr, flags)
                               : SHEmptyRecycleBinA(Wnd, nullptr, flags);
    return SUCCEEDED(hr);
}

void UpdateRecycleBinIcon()
{
    using TUpdateIcon = void(WINAPI*)();
    static TBoundProc<TUpdateIcon> pUpdateIcon{Shell32Library(), "SHUpdateRecycleBinIcon"};
    if (auto fn = pUpdateIcon.Get())
        fn();
}
