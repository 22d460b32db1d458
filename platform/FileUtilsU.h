#pragma once
// File and folder routines that the cleaners, the backup writer, the updater
// and the start-up code share: waiting, environment expansion, existence and
// size, folder creation, deletion that persists against locked or protected
// files (and, on request, at the next restart), copying and file DACLs.
//
// All paths are 8-bit strings in the system code page, passed to the ...A
// calls; double-byte code pages are respected wherever a path is split at a
// backslash. Nothing here raises for file-system failures: each routine
// reports False, -1, '' or nullptr.
//
// Security of what is created. Three choices, never "everyone full access" for
// anything the elevated program may later run or trust:
// - Inherit: no descriptor, the folder's inheritable entries apply;
// - Protected: Administrators and SYSTEM full, Users read and execute,
//   inheritable and cut off from the parent's grants;
// - Shared: the world group full access, only for data the unelevated tray
//   must write and that is not code.
//
// Walks never descend into reparse points (junctions, symbolic links, mount
// points): such an entry is removed as a link or left alone, and neither its
// attributes nor its DACL are touched, because those calls reach the target.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

enum class TFileSecurity : uint8_t { Inherit, Protected, Shared };

// The attributes record a create call gets for a choice: nullptr for Inherit
// and on Windows 9x (which has no file security), the process-wide protected or
// shared records otherwise (never freed). False, with ERROR_INVALID_SECURITY_DESCR,
// when such a record cannot be built: create calls then fail rather than fall
// back to weaker security.
bool ResolveFileSecurity(TFileSecurity Security, SECURITY_ATTRIBUTES*& Attributes);

// How long the file writer and reader, the atomic save and the copy retry a
// file that another process holds, in milliseconds.
inline constexpr DWORD kDefaultRetryTime = 800;

// ---------------------------------------------------------------------------
// Recorder seam
//
// Every create, copy and set call of this unit and of the file writer reports
// the descriptor it passes, just before the call. The descriptor is valid only
// during the report (nullptr: none, the folder's entries are inherited).
// Information is the SECURITY_INFORMATION of set calls, 0 for create and copy.
struct TSecurityCall {
    const char* Api; // "CreateDirectoryA", "CreateFileA", "CopyFileA", "SetFileSecurityA",
                     // "SetNamedSecurityInfoA"
    std::string Path;
    SECURITY_INFORMATION Information = 0;
    PSECURITY_DESCRIPTOR Descriptor = nullptr;
};
using TSecurityRecorder = void (*)(const TSecurityCall& Call);
// Sets the recorder (nullptr: none); returns the previous one. May be called
// from any thread; the recorder may be called from any thread.
TSecurityRecorder SetSecurityRecorder(TSecurityRecorder Recorder) noexcept;
// Reports a call to the recorder, if any; never throws.
void RecordSecurityCall(const char* Api, const std::string& Path, SECURITY_INFORMATION Information,
                        PSECURITY_DESCRIPTOR Descriptor) noexcept;

// ---------------------------------------------------------------------------
// Waiting and environment

// Waits Ms milliseconds on the own process handle: no messages are handled
// and no alertable wait happens meanwhile.
void SleepMs(DWORD Ms);
// %NAME% references expanded (ExpandEnvironmentStringsA, the buffer sized by a
// first call), cut at the first NUL; '' when the call fails. Unknown names stay.
std::string ExpandEnvStrings(const std::string& Text);
// S cut at its first NUL character.
std::string TrimAtNull(std::string_view S);

// ---------------------------------------------------------------------------
// Path text (double-byte aware: a trail byte 0x5C is not a backslash)

// True when the last character of Path is a backslash.
bool EndsWithBackslash(std::string_view Path);
// Path with one backslash added unless it ends in one ('' stays '').
std::string IncludeTrailingBackslash(std::string_view Path);
// Path without its trailing backslash, if any.
std::string ExcludeTrailingBackslash(std::string_view Path);
// Index of the last character of Path that is one of Delimiters (single-byte
// characters only); std::string::npos when none.
size_t LastDelimiter(std::string_view Path, std::string_view Delimiters);
// The folder part of Path up to and with its last backslash or colon; '' when
// it has neither.
std::string ExtractFilePath(std::string_view Path);
// The name after the last backslash or colon of Path; all of Path when it has
// neither.
std::string ExtractFileName(std::string_view Path);

// ---------------------------------------------------------------------------
// Existence and size

// GetFileAttributesA succeeds and the entry is not a folder.
bool FileExistsEx(const std::string& FileName);
// GetFileAttributesA succeeds and the entry is a folder.
bool DirectoryExistsEx(const std::string& Dir);
// The size from a directory search for the name (so files open without sharing
// are sized too), built from both words; -1 when not found or when the name
// holds a wildcard ("*" or "?").
int64_t GetFileSize64(const std::string& FileName);
// The full form of a path (GetFullPathNameA: relative to the working folder,
// "." and ".." resolved), however long; '' when the system cannot make it full.
std::string GetFullPath(const std::string& Path);
// The long form of a path: GetLongPathNameA (261-byte buffer) where the system
// has it; when it is missing or fails, the desktop shell folder parses the path
// and SHGetPathFromIDListA gives it back (this needs COM initialised on the
// calling thread). When both fail, Path comes back unchanged.
std::string GetLongPath(const std::string& Path);

// ---------------------------------------------------------------------------
// Folders

// Creates Dir (a trailing backslash is accepted). A drive ("X:"), an existing
// folder and the server and share parts of a UNC path count as done (True).
// With Recursive, every missing parent is created first, from the top down;
// without it a missing parent fails. Each folder made gets Security; with
// Shared only Dir itself gets it, and missing parents are made Protected.
// With Protected an existing Dir gets its protection again (ProtectFolder),
// and an existing Dir that is a reparse point fails (False); existing parents
// are never changed.
bool CreateDirectoryPath(const std::string& Dir, TFileSecurity Security, bool Recursive);
// Elevated only (False otherwise, changing nothing): an existing folder that
// is no reparse point gets Administrators as owner and the protected DACL,
// cut off from its parent's grants. True when the system took it.
bool ProtectFolder(const std::string& Dir);

// ---------------------------------------------------------------------------
// Trust in what the elevated program and every user's tray read

// True when a folder of Path, or the entry itself, is a reparse point
// (junction, symbolic link, mount point), or cannot be read to tell; parts
// that do not exist (yet) end the walk. The drive and the UNC share are not
// looked at.
bool PathHasReparsePoint(const std::string& Path);
// Path (a file or a folder) exists, no part of it is a reparse point, and its
// descriptor is trusted (IsTrustedDescriptor, SecurityU.h): owned and writable
// only by administrators. Every file that the elevated program or the tray
// reads from the all-users data folders passes this before it is listed,
// read, restored or run.
bool IsTrustedPath(const std::string& Path);
// The file's folder and the file both pass IsTrustedPath. With
// ReprotectFolder the folder first gets its protection again (ProtectFolder):
// what the elevated program reads from a folder of its own.
bool IsTrustedFile(const std::string& FileName, bool ReprotectFolder = false);
// Tests only: the answer of IsTrustedPath (nullptr: the real test); returns
// the previous one. Wine gives every file one account's descriptor, so tests
// say which paths count as planted.
using TTrustQuery = bool (*)(const std::string& Path);
TTrustQuery SetTrustQueryForTests(TTrustQuery Query) noexcept;

// The walk below. The two switches count as one (either True): every file
// below Dir is deleted with DeleteFileForced, every sub-folder with
// DeleteDirectory (same switches), found with a search for "*.*" over all
// attributes; then Dir itself is removed and that is the result. A reparse
// point found in the walk is removed as a link (RemoveDirectoryA, or DeleteFileA
// for a file link) and never entered. With both switches False only Dir is
// tried. Dir itself is walked as given.
bool DeleteDirectory(const std::string& Dir, bool Contents1, bool Contents2);
// The same walk, leaving Dir itself. False when both switches are False
// (nothing is done) or when anything below Dir stayed.
bool ClearDirectory(const std::string& Dir, bool Contents1, bool Contents2);
// DeleteDirectory with files deleted through DeleteFileOrSchedule(OnReboot) and,
// with OnReboot, every folder that could not be removed scheduled for removal
// at the next restart. The walk is post-order (an entry before its folder), so
// the restart deletions run in a working order. True when Dir was removed or,
// with OnReboot, scheduled. Links found in the walk are never scheduled.
bool DeleteDirectoryEx(const std::string& Dir, bool Contents1, bool Contents2, bool OnReboot);
// NT family only (False otherwise): MoveFileExA(Dir, NULL, DELAY_UNTIL_REBOOT |
// REPLACE_EXISTING) for an existing folder; True when it is already gone.
bool RemoveDirOnReboot(const std::string& Dir);

// ---------------------------------------------------------------------------
// Files

// False when the file does not exist (or is a folder). DeleteFileA; when that
// fails, the world group is granted full access, the attributes are cleared
// and DeleteFileA is tried once more, whose result is the result. When that
// fails too, the old DACL and attributes are written back. A file link is only
// tried with the plain DeleteFileA.
bool DeleteFileForced(const std::string& FileName);
// DeleteFileForced; when it fails and OnReboot is True on the NT family,
// DeleteFileOnReboot.
bool DeleteFileOrSchedule(const std::string& FileName, bool OnReboot);
// NT family only (False otherwise): MoveFileExA(FileName, NULL, DELAY_UNTIL_REBOOT |
// REPLACE_EXISTING) for an existing entry; True when it is already gone.
bool DeleteFileOnReboot(const std::string& FileName);
// Copies Source (which must exist) to Dest. An existing Dest is refused unless
// Overwrite. The copy goes to a temporary name in Dest's folder first, then
// replaces Dest (a read-only Dest is cleared first) with the same retries as
// the file writer; on failure Dest is left as it was and the temporary copy is
// removed. With GrantAccess the copy's DACL is reset to the entries inherited
// from its folder (no grant of its own).
bool CopyFileTo(const std::string& Source, const std::string& Dest, bool GrantAccess,
                bool Overwrite);
// The file's DACL as a self-relative descriptor (GetFileSecurityA, the buffer
// grown to the reported size), validated. nullptr on failure. The caller frees
// it with LocalFree.
PSECURITY_DESCRIPTOR GetFileSecurityDescriptor(const std::string& FileName);
// NT family only: the file's DACL gets a GENERIC_ALL entry for the world group
// (under its local name) and is written back with SetFileSecurityA (DACL
// information). True on success. For the forced delete only.
bool GrantFileFullAccess(const std::string& FileName);

// ---------------------------------------------------------------------------
// Retries for files that another process holds for a moment

// The errors a short-lived holder gives: access denied (5), sharing
// violation (32) and lock violation (33).
bool IsTransientFileError(DWORD Error) noexcept;

// RetryTime / 100 attempts; after a failure with a transient error, 100 ms of
// waiting and the next attempt; any other error ends the loop. Then, still
// failed, one last attempt without waiting. Attempt returns True on success
// and leaves the reason in the thread's last error on failure.
template <typename F> bool RetryFileOperation(DWORD RetryTime, F&& Attempt)
{
    for (DWORD i = 0; i < RetryTime / 100; ++i) {
        if (Attempt())
            return true;
        if (!IsTransientFileError(GetLastError()))
            break;
        SleepMs(100);
    }
    return Attempt();
}
