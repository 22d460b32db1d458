#pragma once
// The machine's logical drives with their kinds, for the system-information
// and disk routines that pick the drives to look at.

#include "platform/ClassesU.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

// One drive letter.
class TDriveInfo : public TObject {
public:
    // Stores the letter upper-cased through the system's mapping.
    explicit TDriveInfo(char Letter);

    char Letter() const noexcept { return letter_; }
    // Letter + ":\".
    std::string RootPath() const;
    // GetDriveTypeA(RootPath), asked on every call: 0 unknown, 1 no root folder,
    // 2 removable, 3 fixed, 4 remote, 5 CD-ROM, 6 RAM disk.
    int DriveType() const;

private:
    char letter_;
};

// A snapshot of the logical drives, in letter order, taken when the list is
// made: a drive added later shows only in a new list. The list owns its items;
// they live as long as the list.
class TLogicalDrives : public TObject {
public:
    // Reads the drive mask once (bit 0 "A", bit 1 "B", ...) from the drive-mask
    // source and makes one item per set bit.
    TLogicalDrives();

    int Count() const noexcept { return static_cast<int>(items_.size()); }
    // nullptr for an index outside 0..Count-1.
    TDriveInfo* GetItem(int Index) const noexcept;

private:
    std::vector<std::unique_ptr<TDriveInfo>> items_;
};

// Where TLogicalDrives gets its mask: GetLogicalDrives unless replaced (tests
// give their own masks). Returns the previous source; nullptr restores
// GetLogicalDrives. May be called from any thread.
using TDriveMaskSource = DWORD (*)();
TDriveMaskSource SetDriveMaskSource(TDriveMaskSource Source) noexcept;
