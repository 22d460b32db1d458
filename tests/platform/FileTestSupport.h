#pragma once
// Helpers of the file and stream tests: a child process that holds a file for
// a while, the descriptor recorder as a list of SDDL texts, and the pending
// restart operations of the session manager.

#include "platform/FileUtilsU.h"

#include <windows.h>

#include <string>
#include <vector>

namespace filetest {

// The test program started again in a role, without waiting for it. Roles
// signal the named event given to them once they are ready.
class TChild {
public:
    TChild() = default;
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    ~TChild();

    // Starts the role with args after the event name; waits (up to 60 s, room
    // for a loaded machine) until the child signals it is ready. False when it
    // never did.
    bool Start(const std::wstring& role, const std::vector<std::wstring>& args);
    // Waits for the end; the exit code, or 0xFFFFFFFF after a time-out.
    DWORD Wait(DWORD timeoutMs = 60000);
    // Still running (a holder that has not let go yet).
    bool Running() const;
    void Terminate();

private:
    HANDLE process_ = nullptr;
    HANDLE ready_ = nullptr;
};

// A child that opens path (which must exist) with the share mode and holds it
// for ms milliseconds.
bool HoldFile(TChild& child, const std::string& path, DWORD ms, DWORD share);

// Every call the units report while a recorder scope lives.
struct TRecorded {
    std::string Api;
    std::string Path;
    SECURITY_INFORMATION Information = 0;
    bool HasDescriptor = false;
    std::string Sddl; // the DACL as SDDL
};
class TRecorderScope {
public:
    TRecorderScope();
    ~TRecorderScope();
    std::vector<TRecorded> Calls() const;
};
// The DACL of a descriptor as SDDL ('' when there is none).
std::string DaclSddl(PSECURITY_DESCRIPTOR descriptor);
// True when an SDDL DACL holds an entry for the world group.
bool HasWorldEntry(const std::string& sddl);

// PendingFileRenameOperations as (source, target) pairs.
using TPending = std::vector<std::pair<std::string, std::string>>;
TPending ReadPendingOperations();
// Removes every pair whose source holds marker (so nothing is deleted at the
// prefix's next start).
void RemovePendingOperations(const std::string& marker);

// The test runs under Wine (ntdll exports wine_get_version).
bool RunningUnderWine();

} // namespace filetest
