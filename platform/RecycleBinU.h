#pragma once
// The recycle bin of all drives, as the recycle-bin scanner sees it: its size
// and item count, emptying it, and refreshing its desktop icon.
//
// Nothing here raises. A query that fails counts as an empty bin: nothing is
// emptied while the state is unknown.

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <string>
#include <vector>

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

// One item of the bins as it lies on the disk.
struct TRecycleBinEntry {
    std::wstring Path;   // the deleted file or folder, as the bin keeps it
    std::wstring Record; // the bin's record of it ($I file, .trashinfo); '' when none is known
};
// The items of the bins of all drives (the shell's recycle-bin folder), each
// placed on the disk: by its parsing name where that is a path (Windows), else
// in the freedesktop trash that Wine keeps for the bin ($XDG_DATA_HOME, else
// $HOME/.local/share), reached through Wine's own path mapping. False when an
// item cannot be placed or the folder cannot be read.
bool ListRecycleBinEntries(std::vector<TRecycleBinEntry>& Entries);

// ---------------------------------------------------------------------------
// Test seam: the query and empty calls. A null member uses shell32's call;
// a default-made record restores both. Set it while nothing else uses the unit.
struct TRecycleBinCalls {
    HRESULT (*Query)(LPCSTR RootPath, SHQUERYRBINFO* Info) = nullptr;
    HRESULT (*Empty)(HWND Wnd, LPCSTR RootPath, DWORD Flags) = nullptr;
};
void SetRecycleBinCalls(const TRecycleBinCalls& Calls) noexcept;
