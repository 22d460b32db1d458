#pragma once
// System Restore points around a repair run: the client library SrClient.dll
// is bound at first use, by full path from the system folder, and its single
// entry point SRSetRestorePointA is wrapped.
//
// One run at a time uses this unit (the worker thread of a repair). The
// record of the last opening is kept so that the closing call names the
// point that was opened; it is cleared before every opening, and an ending
// call is made only after an opening that succeeded, so a failed opening can
// never end or cancel an earlier run's point.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#pragma pack(push, 1)
// RESTOREPOINTINFOA.
struct TRestorePointInfoA {
    DWORD dwEventType;
    DWORD dwRestorePtType;
    int64_t llSequenceNumber;
    char szDescription[64];
};
// STATEMGRSTATUS.
struct TStateMgrStatus {
    DWORD nStatus;
    int64_t llSequenceNumber;
};
#pragma pack(pop)
static_assert(sizeof(TRestorePointInfoA) == 80, "RESTOREPOINTINFOA is 80 bytes");
static_assert(sizeof(TStateMgrStatus) == 12, "STATEMGRSTATUS is 12 bytes");
static_assert(offsetof(TStateMgrStatus, llSequenceNumber) == 4, "sequence at offset 4");

inline constexpr int kBeginSystemChange = 100;
inline constexpr int kEndSystemChange = 101;
inline constexpr int kModifySettings = 12;
inline constexpr int kCancelledOperation = 13;
// Bytes of description text the request holds before its NUL.
inline constexpr size_t kRestorePointDescriptionMax = 63;

using TSRSetRestorePointA = BOOL(WINAPI*)(TRestorePointInfoA* RestorePoint,
                                          TStateMgrStatus* Status);

// Loads the library and looks up SRSetRestorePointA unless that was done;
// True when the library is loaded.
bool BindRestorePointApi();

// Opens a restore point: EventType, RestorePointType, sequence 0 and the
// description in the system code page, cut to at most 63 bytes on a
// character boundary. True only when the call returned TRUE with status 0.
// Without the library nothing happens: False.
bool CreateRestorePoint(const std::wstring& Description, int EventType, int RestorePointType);
// Closes the point opened last, naming its sequence number; the call's
// result. False without a call when nothing was opened successfully since
// the last ending call, or without the library.
bool EndRestorePoint(int EventType, int RestorePointType);
// EndRestorePoint(EventType, 13): the user stopped the run.
bool CancelRestorePoint(int EventType);

// False only when the REG_DWORD DisableSR under HKLM
// "Software\Microsoft\Windows NT\CurrentVersion\SystemRestore" equals 1. On 64-bit Windows it is
// read in the 64-bit view (where Windows keeps it); the caller's view flags
// are restored.
bool IsSystemRestoreEnabled();
// The same rule for a value DisableSR under any key.
bool IsSystemRestoreEnabledAt(HKEY Root, const std::string& KeyPath);

// The description as the request carries it (ANSI, cut on a character boundary).
std::string RestorePointDescription(const std::wstring& Description);

// Tests only: forgets the binding and the kept record; the next use binds
// LibraryPath ('' restores the system folder's SrClient.dll). The library
// bound before stays loaded.
void ResetRestorePointApiForTests(const std::string& LibraryPath);
