#pragma once
// The recycle bin of all drives, as the recycle-bin scanner sees it: its size
// and item count, emptying it, and refreshing its desktop icon.
//
// Nothing here raises. A query that fails counts as an empty bin: nothing is
// emptied while the state is unknown.

#include <windows.h>
#include <shellapi.h>

#include <cstdint>

// True when the query over all drives fails, or when it reports 0 items and 0 bytes.
bool IsRecycleBinEmpty();
// The same query. True with Size and Count set; False with both 0 when it fails.
bool QueryRecycleBin(int64_t& Size, int64_t& Count);
// Empties the bins of all drives. Each switch that is off adds its flag
// (no confirmation, no progress window, no sound). True for any success code,
// S_FALSE included.
bool EmptyRecycleBin(HWND Wnd, bool Confirm, bool ShowProgress, bool PlaySound);
// SHUpdateRecycleBinIcon, bound at first use; nothing when shell32 lacks it.
void UpdateRecycleBinIcon();

// ---------------------------------------------------------------------------
// Test seam: the query and empty calls. A null member uses shell32's call;
// a default-made record restores both. Set it while nothing else uses the unit.
struct TRecycleBinCalls {
    HRESULT (*Query)(LPCSTR RootPath, SHQUERYRBINFO* Info) = nullptr;
    HRESULT (*Empty)(HWND Wnd, LPCSTR RootPath, DWORD Flags) = nullptr;
};
void SetRecycleBinCalls(const TRecycleBinCalls& Calls) noexcept;
