#pragma once
// The machine's special folders and the path macros of stored locations.
//
// The catalogue, the ignore list, the backups and startup.xml keep file
// locations in a machine-independent form such as '%PROGRAMFILES%\App\app.exe'.
// This unit finds the special folders once per process, expands such macro
// paths for the 32-bit or the 64-bit registry view, and turns real paths back
// into macro form (the add-on scanner stores add-on paths that way).
//
// Folders. Every getter computes its folder on first use (thread-safe) and
// keeps it for the life of the process. A folder ends with a backslash; text
// from the registry or the system is cut at its first NUL; a missing source
// gives '', never a lone "\". The getters are written for the shipped 32-bit
// program: a 64-bit build gets the same texts except where a folder does not
// exist for it (see System64Dir).
//
// Registry reads never depend on the calling thread's view: the 32-bit
// sources are read with RegView32 on and RegView64 off, the 64-bit ones with
// RegView64 on, and the thread's flags are restored afterwards. So the first
// caller's view cannot decide a cached folder for everybody.
//
// Expansion and macro form use tables that are built once (one per view) and
// never changed afterwards, so any number of threads may expand and collapse
// at once.

#include "platform/StringListU.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Folders

// GetWindowsDirectoryA.
std::string WindowsDir();
// GetSystemDirectoryA. For the 32-bit program on 64-bit Windows this is
// "...\system32", which Windows redirects to the Wow64 folder for it.
std::string SystemDir();
// On 64-bit Windows GetSystemWow64DirectoryA, else the System folder.
std::string SystemWow64Dir();
// The 32-bit system folder: the Wow64 system folder.
std::string System32Dir();
// The native 64-bit system folder. For a 32-bit program on 64-bit Windows
// from VISTA on: the Windows folder + "sysnative\" (the alias through which a
// redirected program reaches the native folder). Everywhere else the System
// folder: before VISTA, on 32-bit Windows, and in a 64-bit program, which is
// not redirected and has no "sysnative" folder.
std::string System64Dir();
// GetTempPathA in its long form (GetLongPath).
std::string TempDir();

// HKCU "Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"
// values "Desktop", "Favorites", "Start Menu", "Programs", "Startup",
// "AppData" and "Cookies".
std::string DesktopDir();
std::string FavoritesDir();
std::string StartMenuDir();
std::string ProgramsDir();
std::string GetUserStartupFolder();
std::string AppDataDir();
std::string CookiesDir();
// HKLM, the same key, values "Common Desktop", "Common Start Menu",
// "Common Programs" and "Common Startup".
std::string AllUsersDesktopDir();
std::string AllUsersStartMenuDir();
std::string AllUsersProgramsDir();
std::string GetCommonStartupFolder();
// From VISTA on SHGetFolderPathA(CSIDL_COMMON_APPDATA); before VISTA, or when
// that fails, HKLM Shell Folders "Common AppData".
std::string AllUsersAppDataDir();
// SHGetFolderPathA(CSIDL_PERSONAL).
std::string UserDocumentsDir();
// From VISTA on SHGetKnownFolderPath(FOLDERID_PublicDocuments), bound by name
// from shell32; before VISTA SHGetFolderPathA(CSIDL_COMMON_DOCUMENTS).
std::string AllUsersDocumentsDir();

// HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion" value "ProgramFilesDir" in
// the 32-bit view.
std::string ProgramFilesDir();
// SHGetFolderPathA(CSIDL_PROGRAM_FILESX86), else Program files.
std::string ProgramFiles32Dir();
// On 64-bit Windows "ProgramFilesDir" in the 64-bit view, else Program files.
std::string ProgramFiles64Dir();
// The same three for "CommonFilesDir" and CSIDL_PROGRAM_FILES_COMMONX86.
std::string CommonFilesDir();
std::string CommonFiles32Dir();
std::string CommonFiles64Dir();

// ExpandEnvStrings("%USERPROFILE%"); when that gives nothing (or the variable
// is not set), the AppData folder with its last component removed.
std::string UserProfileDir();
// HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion\Internet Settings" value
// "ActiveXCache", 32-bit view; '' where it is absent (as in a fresh Wine prefix).
std::string DownloadedProgramFilesDir();
// The drive of the Windows folder + "\" ("C:\").
std::string SystemDiskRoot();

// The System64Dir decision for a given platform, as a pure function (the
// 32-bit program's branch is not reachable from a 64-bit test program).
std::string System64DirFor(bool IsWin64, bool VistaOrLater, bool Process64,
                           const std::string& WindowsFolder, const std::string& SystemFolder);

// ---------------------------------------------------------------------------
// Expansion

// The 32 macro texts in table order ("%DESKTOP%" ... "%PROGRAMFILES(x86)%").
std::span<const char* const> PathMacroTexts();

// Expands a macro path with the 32-bit view:
// 1. a Path without "%" is taken as it is (then step 4);
// 2. each '%NAME%' token is upper-cased and looked up in the table (hash and
//    text); a table macro gives its folder, any other token goes through
//    ExpandEnvironmentStringsA (1024-byte buffer) and stays upper-cased when
//    the call fails or its output does not fit; text outside tokens is copied,
//    and a lone "%" without a partner is copied with the rest of the text;
// 3. a result that begins with "\SYSTEMROOT\" (any case) gets the Windows
//    folder in place of those 12 characters;
// 4. only for a Path that held "%", every "\\" becomes "\" until none is left
//    (a run of backslashes becomes one), except a "\\" at the start (a UNC path
//    that came out of a macro).
// In the table, "%COMMONFILES%", "%COMMONPROGRAMFILES%" and "%PROGRAMFILES%"
// follow the view; "%SYSDIR%" is the System folder in both.
// A macro whose folder is empty expands to nothing, and an unknown name stays
// as it is: these text functions are for display and stored forms. Anything
// that touches a file, or judges one missing, uses TryExpandPathMacros.
std::string ExpandPathMacros(const std::string& Path);
std::string ExpandPathMacros32(const std::string& Path);
// The same with the 64-bit view (stored entries marked is64="1").
std::string ExpandPathMacros64(const std::string& Path);
// The checked form: False, Result untouched, when the path is unresolved, that
// is when a table macro's folder is empty, when a token stayed unexpanded, or
// when "\SYSTEMROOT\" met an empty Windows folder. Otherwise True and Result
// is what ExpandPathMacros32/64 give.
bool TryExpandPathMacros(const std::string& Path, bool Is64, std::string& Result);

// ---------------------------------------------------------------------------
// Macro form

// Lines 'FOLDER=MACRO' in insertion order, FOLDER upper-cased through the
// system's mapping. A folder may itself hold "=": a line splits at its last
// "=", since no macro holds one.
class TPathReplacerStr : public TStringList {
public:
    TPathReplacerStr() = default;

    bool AddShortNames() const noexcept { return addShortNames_; }
    void SetAddShortNames(bool Value) noexcept { addShortNames_ = Value; }

    // Nothing for an empty Folder. Adds 'UPPER(Folder)=Macro'; with
    // AddShortNames also the folder's short (8.3) form from GetShortPathNameA,
    // with a trailing backslash, when it exists and differs from Folder.
    void AddPath(const std::string& Folder, const std::string& Macro);
    // Result := Path, Changed := False; then the first line whose FOLDER is a
    // prefix of the upper-cased Path replaces that many leading characters with
    // its MACRO (the rest keeps its case) and Changed := True. Safe to call
    // from several threads while nobody adds lines.
    void Replace(const std::string& Path, bool& Changed, std::string& Result) const;

private:
    bool addShortNames_ = false;
};

// A replacer with short names over the special folders, specific folders
// before the folders that hold them and the system disk root last, as
// "%SystemDiskRoot%\". With Is64 the System folder collapses to "%SYSDIR32%"
// (the stored form keys on it; it is never expanded back to reach a file).
std::unique_ptr<TPathReplacerStr> CreatePathReplacer(bool Is64);
// The macro form of Path through the process's replacer for Is64 (one each,
// built on first use and kept). Result is always set (Path when nothing
// matched); the return value tells whether it changed.
bool CollapsePathMacros(const std::string& Path, bool Is64, std::string& Result);

// ---------------------------------------------------------------------------
// Tests only: forgets every cached folder, both macro tables and both
// replacers, so that the next call computes them afresh. Must not run while
// any other thread uses this unit.
void ResetSystemPathsForTests();
