#pragma once
// The installed Firefox for the add-on scanner: its program folder, its
// version, and the SQLite library it ships, loaded into this process so that
// the SQLite wrapper can read Firefox's databases.
//
// The main program runs elevated, so a Firefox folder is trusted only when it
// lies under the 32-bit or 64-bit Program Files folder, which only
// administrators can write. A folder of the user's own (a copied firefox.exe
// with its own mozglue.dll next to it) is ignored; loading from it would run
// the user's code as administrator. Libraries are loaded by full path, and the
// DLL search path is never changed.
//
// Nothing here raises: a missing Firefox gives '', version 0 and no library.
// Registry reads switch the calling thread's view and restore it on every path.

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

// Firefox's program folder, ending with "\", or '': in the 32-bit view, HKLM
// "SOFTWARE\Mozilla\Mozilla Firefox" "CurrentVersion" (cut before the first
// "(" and trimmed) names "SOFTWARE\Mozilla\Mozilla Firefox <version>\bin",
// whose "PathToExe" gives the program; its folder counts when it exists and
// lies under Program Files. Else the folder of a "firefox.exe" running in the
// active console session, on the same terms.
std::string GetFirefoxFolder();

// Major and minor version of the installed Firefox. False with both -1 when
// unknown. The text is "CurrentVersion" (32-bit view, else 64-bit view), else
// the product version of Program Files (32-bit) "Mozilla Firefox\firefox.exe".
bool GetFirefoxVersion(int& Major, int& Minor);
// The major version, or 0 when unknown.
int GetFirefoxMajorVersion();

// The version text parse behind GetFirefoxVersion, as a pure function.
// "3.6.13 (en-US)" and "3.6 (en-US)" give 3 and 6. A two-part text whose minor
// is no number ("3.6b2 (en-US)") is tried once more with RetrySource's text,
// but only when it came from the registry and the minor does not start with
// "0". Major and Minor are -1 when the result is False.
bool ParseFirefoxVersion(std::string_view Text, bool FromRegistry,
                         const std::function<std::string()>& RetrySource, int& Major, int& Minor);

// True when Folder, as a full long path, lies below the 32-bit or the 64-bit
// Program Files folder (compared ignoring case, whole folder names only).
bool IsUnderProgramFiles(const std::string& Folder);
// The same decision against one given root; both are made full and long first.
bool FolderLiesUnder(const std::string& Folder, const std::string& Root);

// Loads Firefox's SQLite library from Folder ('' means GetFirefoxFolder),
// which must exist and lie under Program Files: first the runtime libraries
// it needs ("msvcr100.dll", "mozcrt19.dll", "mozutils.dll", "mozglue.dll", each
// when present), then, unless a SQLite library is loaded already,
// "mozsqlite3.dll", else "sqlite3.dll". Each library is loaded once per process
// and never freed. LibraryName is the SQLite library's file name when one is
// loaded, else ''. Safe to call from several threads.
void LoadFirefoxSQLite(const std::string& Folder, std::string& LibraryName);

// The SQLite library that LoadFirefoxSQLite loaded (nullptr when none) and its
// file name ('' when none). The SQLite wrapper binds from this handle.
HMODULE SQLiteLibraryHandle() noexcept;
std::string SQLiteLibraryName();

// ---------------------------------------------------------------------------
// Test seam: the call that loads a library by full path (LoadLibraryExA with
// LOAD_WITH_ALTERED_SEARCH_PATH when nullptr). Returns the previous one.
using TLibraryLoadCall = HMODULE(WINAPI*)(LPCSTR FileName, HANDLE File, DWORD Flags);
TLibraryLoadCall SetLibraryLoadCall(TLibraryLoadCall Call) noexcept;
