#include "platform/SystemPathsU.h"

#include "platform/BindingU.h"
#include "platform/FileUtilsU.h"
#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <windows.h>

#include <shlobj.h>

#include <array>
#include <cstdint>
#include <mutex>

namespace {

// ---------------------------------------------------------------------------
// Folder identities

enum TFolder : uint8_t {
    fWindows,
    fSystem,
    fSystemWow64,
    fSystem32,
    fSystem64,
    fTemp,
    fDesktop,
    fFavorites,
    fStartMenu,
    fPrograms,
    fStartup,
    fAppData,
    fCookies,
    fAllUsersDesktop,
    fAllUsersStartMenu,
    fAllUsersPrograms,
    fAllUsersStartup,
    fAllUsersAppData,
    fUserDocuments,
    fAllUsersDocuments,
    fProgramFiles,
    fProgramFiles32,
    fProgramFiles64,
    fCommonFiles,
    fCommonFiles32,
    fCommonFiles64,
    fUserProfile,
    fDownloadedProgramFiles,
    fSystemDiskRoot,
    kFolderCount,
    // Table entries that follow the view.
    fViewCommonFiles,
    fViewProgramFiles,
};

struct TMacroDef {
    const char* macro;
    TFolder folder;
};

// The order is part of the stored format's history: first match wins.
constexpr std::array<TMacroDef, 32> kMacroDefs{{
    {"%DESKTOP%", fDesktop},
    {"%FAVORITES%", fFavorites},
    {"%START_MENU%", fStartMenu},
    {"%START_MENUALL%", fAllUsersStartMenu},
    {"%START_PROGRAMS%", fPrograms},
    {"%START_PROGRAMSALL%", fAllUsersPrograms},
    {"%STARTUP%", fStartup},
    {"%STARTUPALL%", fAllUsersStartup},
    {"%COMMONFILES%", fViewCommonFiles},
    {"%PROGRAMFILES%", fViewProgramFiles},
    {"%ALLUSERS_APPDATA%", fAllUsersAppData},
    {"%TEMP%", fTemp},
    {"%WINDIR%", fWindows},
    {"%SYSDIR%", fSystem},
    {"%SYSTEMROOT%", fWindows},
    {"%SYSTEMDISKROOT%", fSystemDiskRoot},
    {"%USERPROFILE%", fUserProfile},
    {"%DOWNLOADEDPROGRAMFILES%", fDownloadedProgramFiles},
    {"%APPDATA%", fAppData},
    {"%USERDOCUMENTS%", fUserDocuments},
    {"%ALLUSERSDOCUMENTS%", fAllUsersDocuments},
    {"%DESKTOPALL%", fAllUsersDesktop},
    {"%COMMONFILES32%", fCommonFiles32},
    {"%PROGRAMFILES32%", fProgramFiles32},
    {"%COMMONFILES64%", fCommonFiles64},
    {"%PROGRAMFILES64%", fProgramFiles64},
    {"%SYSDIR32%", fSystem32},
    {"%SYSDIR64%", fSystem64},
    {"%SYSDIRWOW64%", fSystemWow64},
    {"%COMMONPROGRAMFILES%", fViewCommonFiles},
    {"%COMMONPROGRAMFILES(x86)%", fCommonFiles32},
    {"%PROGRAMFILES(x86)%", fProgramFiles32},
}};

constexpr std::array<const char*, 32> kMacroTexts = [] {
    std::array<const char*, 32> texts{};
    for (size_t i = 0; i < kMacroDefs.size(); ++i)
        texts[i] = kMacroDefs[i].macro;
    return texts;
}();

struct TMacroEntry {
    std::string macroUpper;
    uint32_t hash = 0;
    std::string folder;
};
using TMacroTable = std::array<TMacroEntry, 32>;

// Everything this unit computes, replaced as a whole by the test reset.
struct TState {
    std::array<std::once_flag, kFolderCount> folderOnce;
    std::array<std::string, kFolderCount> folders;
    std::once_flag tablesOnce;
    TMacroTable tables[2]; // [0] 32-bit view, [1] 64-bit view
    std::once_flag replacerOnce[2];
    std::unique_ptr<TPathReplacerStr> replacers[2]; // [Is64]
};

std::unique_ptr<TState>& StateHolder()
{
    static std::unique_ptr<TState> holder = std::make_unique<TState>();
    return holder;
}

TState& State()
{
    return *StateHolder();
}

// ---------------------------------------------------------------------------
// Sources

const char kShellFoldersKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char kInternetSettingsKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// {ED4824AF-DCE4-45A8-81E2-FC7965083634}
constexpr GUID kFolderIdPublicDocuments = {
    0xED4824AF, 0xDCE4, 0x45A8, {0x81, 0xE2, 0xFC, 0x79, 0x65, 0x08, 0x36, 0x34}};

// Both are bound by name: SHGetKnownFolderPath exists from VISTA on, and
// shell32 gained SHGetFolderPathA only with Windows 2000 and ME.
TBoundProc<decltype(&::SHGetKnownFolderPath)> pSHGetKnownFolderPath{Shell32Library(),
                                                                    "SHGetKnownFolderPath"};
TBoundProc<decltype(&::SHGetFolderPathA)> pSHGetFolderPathA{Shell32Library(), "SHGetFolderPathA"};
TBoundProc<decltype(&::GetSystemWow64DirectoryA)> pGetSystemWow64DirectoryA{
    Kernel32Library(), "GetSystemWow64DirectoryA"};

// A folder text as the getters give it: cut at the first NUL, a backslash at
// the end unless empty.
std::string AsFolder(std::string_view Text)
{
    return IncludeTrailingBackslash(TrimAtNull(Text));
}

// A text from one of the "...DirectoryA" calls, which give the needed size
// (with its NUL) when the buffer is too small and 0 on failure.
template <typename F> std::string FromDirectoryCall(F&& Call)
{
    std::string buffer(MAX_PATH + 1, '\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const UINT n = Call(buffer.data(), static_cast<UINT>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return AsFolder(std::string_view(buffer.data(), n));
        buffer.assign(n + 1, '\0');
    }
    return {};
}

std::string ReadFolderValue(HKEY Root, const char* Key, const char* Name, bool View64)
{
    // The view is chosen here, not by the caller: the folder is cached for all.
    TRegViewScope view(!View64, View64);
    std::string value;
    if (!RegReadString(Root, Key, Name, value))
        return {};
    return AsFolder(value);
}

std::string ShellFolder(int Csidl)
{
    auto getFolderPath = pSHGetFolderPathA.Get();
    if (!getFolderPath)
        return {};
    char buffer[MAX_PATH + 1] = {};
    if (getFolderPath(nullptr, Csidl, nullptr, SHGFP_TYPE_CURRENT, buffer) != S_OK)
        return {};
    return AsFolder(std::string_view(buffer, sizeof(buffer)));
}

std::string KnownFolder(const GUID& Id)
{
    auto getKnownFolderPath = pSHGetKnownFolderPath.Get();
    if (!getKnownFolderPath)
        return {};
    PWSTR path = nullptr;
    const HRESULT hr = getKnownFolderPath(Id, 0, nullptr, &path);
    std::string result;
    if (SUCCEEDED(hr) && path)
        result = AsFolder(WideToAnsi(path));
    // The call may hand back memory even when it fails.
    CoTaskMemFree(path);
    return result;
}

std::string CachedFolder(TFolder Id);

std::string ComputeFolder(TFolder Id)
{
    switch (Id) {
    case fWindows:
        return FromDirectoryCall(
            [](char* buffer, UINT size) { return GetWindowsDirectoryA(buffer, size); });
    case fSystem:
        return FromDirectoryCall(
            [](char* buffer, UINT size) { return GetSystemDirectoryA(buffer, size); });
    case fSystemWow64:
        if (IsWin64())
            if (auto getWow64 = pGetSystemWow64DirectoryA.Get()) {
                std::string dir = FromDirectoryCall(getWow64);
                if (!dir.empty())
                    return dir;
            }
        return CachedFolder(fSystem);
    case fSystem32:
        return CachedFolder(fSystemWow64);
    case fSystem64:
        return System64DirFor(IsWin64(), IsVistaOrLater(), sizeof(void*) == 8,
                              CachedFolder(fWindows), CachedFolder(fSystem));
    case fTemp: {
        std::string temp = FromDirectoryCall(
            [](char* buffer, UINT size) { return static_cast<UINT>(GetTempPathA(size, buffer)); });
        return temp.empty() ? temp : AsFolder(GetLongPath(temp));
    }
    case fDesktop:
        return ReadFolderValue(HKEY_CURRENT_USER, kShellFoldersKey, "Desktop", false);
    case fFavorites:
        return ReadFolderValue(HKEY_CURRENT_USER, kShellFoldersKey, "Favorites", false);
    case fStartMenu:
        return ReadFolderValue(HKEY_CURRENT_USER, kShellFoldersKey, "Start Menu", false);
    case fPrograms:
        return ReadFolderValue(HKEY_CURRENT_USER, kShellFoldersKey, "Programs", false);
    case fStartup:
        return ReadFolderValue(HKEY_CURRENT_USER, kShellFoldersKey, "Startup", false);
    case fAppData:
        return ReadFolderValue(HKEY_CURRENT_USER, kShellFoldersKey, "AppData", false);
    case fCookies:
        return ReadFolderValue(HKEY_CURRENT_USER, kShellFoldersKey, "Cookies", false);
    case fAllUsersDesktop:
        return ReadFolderValue(HKEY_LOCAL_MACHINE, kShellFoldersKey, "Common Desktop", false);
    case fAllUsersStartMenu:
        return ReadFolderValue(HKEY_LOCAL_MACHINE, kShellFoldersKey, "Common Start Menu", false);
    case fAllUsersPrograms:
        return ReadFolderValue(HKEY_LOCAL_MACHINE, kShellFoldersKey, "Common Programs", false);
    case fAllUsersStartup:
        return ReadFolderValue(HKEY_LOCAL_MACHINE, kShellFoldersKey, "Common Startup", false);
    case fAllUsersAppData:
        if (IsVistaOrLater()) {
            std::string dir = ShellFolder(CSIDL_COMMON_APPDATA);
            if (!dir.empty())
                return dir;
        }
        return ReadFolderValue(HKEY_LOCAL_MACHINE, kShellFoldersKey, "Common AppData", false);
    case fUserDocuments:
        return ShellFolder(CSIDL_PERSONAL);
    case fAllUsersDocuments:
        return IsVistaOrLater() ? KnownFolder(kFolderIdPublicDocuments)
                                : ShellFolder(CSIDL_COMMON_DOCUMENTS);
    case fProgramFiles:
        return ReadFolderValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "ProgramFilesDir", false);
    case fProgramFiles32: {
        std::string dir = ShellFolder(CSIDL_PROGRAM_FILESX86);
        return dir.empty() ? CachedFolder(fProgramFiles) : dir;
    }
    case fProgramFiles64:
        return IsWin64() ? ReadFolderValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey,
                                           "ProgramFilesDir", true)
                         : CachedFolder(fProgramFiles);
    case fCommonFiles:
        return ReadFolderValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "CommonFilesDir", false);
    case fCommonFiles32: {
        std::string dir = ShellFolder(CSIDL_PROGRAM_FILES_COMMONX86);
        return dir.empty() ? CachedFolder(fCommonFiles) : dir;
    }
    case fCommonFiles64:
        return IsWin64()
                   ? ReadFolderValue(HKEY_LOCAL_MACHINE, kCurrentVersionKey, "CommonFilesDir", true)
                   : CachedFolder(fCommonFiles);
    case fUserProfile: {
        const std::string profile = ExpandEnvStrings("%USERPROFILE%");
        // An unset variable comes back as written, which names no folder.
        if (!profile.empty() && profile.find('%') == std::string::npos)
            return AsFolder(profile);
        const std::string appData = ExcludeTrailingBackslash(CachedFolder(fAppData));
        const size_t cut = LastDelimiter(appData, "\\");
        return cut == std::string::npos ? std::string() : appData.substr(0, cut + 1);
    }
    case fDownloadedProgramFiles:
        return ReadFolderValue(HKEY_LOCAL_MACHINE, kInternetSettingsKey, "ActiveXCache", false);
    case fSystemDiskRoot: {
        const std::string windows = CachedFolder(fWindows);
        if (windows.size() >= 2 && windows[1] == ':')
            return windows.substr(0, 2) + "\\";
        return {};
    }
    default:
        return {};
    }
}

std::string CachedFolder(TFolder Id)
{
    TState& state = State();
    std::call_once(state.folderOnce[Id], [&] { state.folders[Id] = ComputeFolder(Id); });
    return state.folders[Id];
}

// ---------------------------------------------------------------------------
// Macro tables

TFolder ViewFolder(TFolder Id, bool Is64)
{
    if (Id == fViewCommonFiles)
        return Is64 ? fCommonFiles64 : fCommonFiles;
    if (Id == fViewProgramFiles)
        return Is64 ? fProgramFiles64 : fProgramFiles;
    return Id;
}

const TMacroTable& MacroTable(bool Is64)
{
    TState& state = State();
    std::call_once(state.tablesOnce, [&] {
        for (int view = 0; view < 2; ++view)
            for (size_t i = 0; i < kMacroDefs.size(); ++i) {
                TMacroEntry& entry = state.tables[view][i];
                entry.macroUpper = UpperCase(kMacroDefs[i].macro);
                entry.hash = StrHash32(kMacroDefs[i].macro, true);
                entry.folder = CachedFolder(ViewFolder(kMacroDefs[i].folder, view == 1));
            }
    });
    return state.tables[Is64 ? 1 : 0];
}

// The table entry of an upper-cased token, or nullptr. The hash only narrows
// the search: a token whose hash collides with a macro's is not that macro.
const TMacroEntry* FindMacro(const TMacroTable& Table, const std::string& TokenUpper)
{
    const uint32_t hash = StrHash32(TokenUpper, true);
    for (const TMacroEntry& entry : Table)
        if (entry.hash == hash && entry.macroUpper == TokenUpper)
            return &entry;
    return nullptr;
}

// The environment's output for a token that is no table macro. False when the
// call fails or its output does not fit the buffer.
bool ExpandEnvironmentToken(const std::string& TokenUpper, std::string& Output)
{
    constexpr DWORD kBufferSize = 1024;
    char buffer[kBufferSize];
    const DWORD n = ExpandEnvironmentStringsA(TokenUpper.c_str(), buffer, kBufferSize);
    if (n == 0 || n > kBufferSize)
        return false;
    Output = TrimAtNull(std::string_view(buffer, n));
    return true;
}

bool IsLeadByte(char C)
{
    return IsDBCSLeadByte(static_cast<unsigned char>(C)) != FALSE;
}

// Every "\\" becomes "\" until none is left, so a run of backslashes (a macro
// folder's own one followed by the path's) becomes one. Double-byte characters
// are stepped over whole: their trail byte may be 0x5C. A "\\" at the very
// start stays: it is the start of a UNC path that came out of a macro.
std::string CollapseDoubleBackslashes(const std::string& Text)
{
    std::string out;
    out.reserve(Text.size());
    size_t i = 0;
    if (Text.compare(0, 2, "\\\\") == 0) {
        out = "\\\\";
        i = 2;
        while (i < Text.size() && Text[i] == '\\')
            ++i;
    }
    while (i < Text.size()) {
        if (IsLeadByte(Text[i]) && i + 1 < Text.size()) {
            out.append(Text, i, 2);
            i += 2;
        } else if (Text[i] == '\\') {
            out += '\\';
            while (i < Text.size() && Text[i] == '\\')
                ++i;
        } else {
            out += Text[i++];
        }
    }
    return out;
}

std::string Expand(const std::string& Path, bool Is64, bool& Unresolved)
{
    Unresolved = false;
    const bool heldPercent = Path.find('%') != std::string::npos;
    std::string result;
    if (!heldPercent) {
        result = Path;
    } else {
        const TMacroTable& table = MacroTable(Is64);
        result.reserve(Path.size() + MAX_PATH);
        size_t pos = 0;
        while (pos < Path.size()) {
            // "%" is never the trail byte of a double-byte character.
            const size_t open = Path.find('%', pos);
            if (open == std::string::npos) {
                result.append(Path, pos, std::string::npos);
                break;
            }
            result.append(Path, pos, open - pos);
            const size_t close = Path.find('%', open + 1);
            if (close == std::string::npos) {
                // A lone "%" is part of a name such as "C:\100%\app.exe".
                result.append(Path, open, std::string::npos);
                break;
            }
            const std::string token =
                UpperCase(std::string_view(Path).substr(open, close - open + 1));
            if (const TMacroEntry* entry = FindMacro(table, token)) {
                if (entry->folder.empty())
                    Unresolved = true;
                result += entry->folder;
            } else {
                std::string output;
                if (!ExpandEnvironmentToken(token, output)) {
                    Unresolved = true;
                    result += token;
                } else {
                    // An unset name comes back as it was; an empty value names
                    // no folder either.
                    if (output.empty() || output == token)
                        Unresolved = true;
                    result += output;
                }
            }
            pos = close + 1;
        }
    }

    constexpr std::string_view kSystemRoot = "\\SYSTEMROOT\\";
    if (result.size() >= kSystemRoot.size() &&
        UpperCase(std::string_view(result).substr(0, kSystemRoot.size())) == kSystemRoot) {
        const std::string windows = CachedFolder(fWindows);
        if (windows.empty())
            Unresolved = true;
        result = windows + result.substr(kSystemRoot.size());
    }

    if (heldPercent)
        result = CollapseDoubleBackslashes(result);
    return result;
}

} // namespace

// ---------------------------------------------------------------------------
// Folders

std::string System64DirFor(bool IsWin64, bool VistaOrLater, bool Process64,
                           const std::string& WindowsFolder, const std::string& SystemFolder)
{
    // Only a redirected (32-bit) program needs, and has, the "sysnative" alias.
    if (IsWin64 && VistaOrLater && !Process64 && !WindowsFolder.empty())
        return WindowsFolder + "sysnative\\";
    return SystemFolder;
}

std::string WindowsDir()
{
    return CachedFolder(fWindows);
}
std::string SystemDir()
{
    return CachedFolder(fSystem);
}
std::string SystemWow64Dir()
{
    return CachedFolder(fSystemWow64);
}
std::string System32Dir()
{
    return CachedFolder(fSystem32);
}
std::string System64Dir()
{
    return CachedFolder(fSystem64);
}
std::string TempDir()
{
    return CachedFolder(fTemp);
}
std::string DesktopDir()
{
    return CachedFolder(fDesktop);
}
std::string FavoritesDir()
{
    return CachedFolder(fFavorites);
}
std::string StartMenuDir()
{
    return CachedFolder(fStartMenu);
}
std::string ProgramsDir()
{
    return CachedFolder(fPrograms);
}
std::string GetUserStartupFolder()
{
    return CachedFolder(fStartup);
}
std::string AppDataDir()
{
    return CachedFolder(fAppData);
}
std::string CookiesDir()
{
    return CachedFolder(fCookies);
}
std::string AllUsersDesktopDir()
{
    return CachedFolder(fAllUsersDesktop);
}
std::string AllUsersStartMenuDir()
{
    return CachedFolder(fAllUsersStartMenu);
}
std::string AllUsersProgramsDir()
{
    return CachedFolder(fAllUsersPrograms);
}
std::string GetCommonStartupFolder()
{
    return CachedFolder(fAllUsersStartup);
}
std::string AllUsersAppDataDir()
{
    return CachedFolder(fAllUsersAppData);
}
std::string UserDocumentsDir()
{
    return CachedFolder(fUserDocuments);
}
std::string AllUsersDocumentsDir()
{
    return CachedFolder(fAllUsersDocuments);
}
std::string ProgramFilesDir()
{
    return CachedFolder(fProgramFiles);
}
std::string ProgramFiles32Dir()
{
    return CachedFolder(fProgramFiles32);
}
std::string ProgramFiles64Dir()
{
    return CachedFolder(fProgramFiles64);
}
std::string CommonFilesDir()
{
    return CachedFolder(fCommonFiles);
}
std::string CommonFiles32Dir()
{
    return CachedFolder(fCommonFiles32);
}
std::string CommonFiles64Dir()
{
    return CachedFolder(fCommonFiles64);
}
std::string UserProfileDir()
{
    return CachedFolder(fUserProfile);
}
std::string DownloadedProgramFilesDir()
{
    return CachedFolder(fDownloadedProgramFiles);
}
std::string SystemDiskRoot()
{
    return CachedFolder(fSystemDiskRoot);
}

// ---------------------------------------------------------------------------
// Expansion

std::span<const char* const> PathMacroTexts()
{
    return kMacroTexts;
}

std::string ExpandPathMacros(const std::string& Path)
{
    return ExpandPathMacros32(Path);
}

std::string ExpandPathMacros32(const std::string& Path)
{
    bool unresolved = false;
    return Expand(Path, false, unresolved);
}

std::string ExpandPathMacros64(const std::string& Path)
{
    bool unresolved = false;
    return Expand(Path, true, unresolved);
}

bool TryExpandPathMacros(const std::string& Path, bool Is64, std::string& Result)
{
    bool unresolved = false;
    std::string expanded = Expand(Path, Is64, unresolved);
    if (unresolved)
        return false;
    Result = std::move(expanded);
    return true;
}

// ---------------------------------------------------------------------------
// Macro form

void TPathReplacerStr::AddPath(const std::string& Folder, const std::string& Macro)
{
    if (Folder.empty())
        return;
    const std::string folderUpper = UpperCase(Folder);
    Add(folderUpper + "=" + Macro);
    if (!addShortNames_)
        return;
    const DWORD needed = GetShortPathNameA(Folder.c_str(), nullptr, 0);
    if (needed == 0)
        return;
    std::string buffer(needed + 1, '\0');
    const DWORD n =
        GetShortPathNameA(Folder.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size())
        return;
    const std::string shortUpper = UpperCase(AsFolder(std::string_view(buffer.data(), n)));
    if (!shortUpper.empty() && shortUpper != folderUpper)
        Add(shortUpper + "=" + Macro);
}

void TPathReplacerStr::Replace(const std::string& Path, bool& Changed, std::string& Result) const
{
    Result = Path;
    Changed = false;
    const std::string pathUpper = UpperCase(Path);
    for (int i = 0; i < Count(); ++i) {
        const std::string& line = Strings(i);
        const size_t split = line.rfind('=');
        if (split == std::string::npos || split == 0)
            continue;
        const std::string_view folder = std::string_view(line).substr(0, split);
        if (pathUpper.compare(0, folder.size(), folder) != 0)
            continue;
        Result = line.substr(split + 1) + Path.substr(folder.size());
        Changed = true;
        return;
    }
}

std::unique_ptr<TPathReplacerStr> CreatePathReplacer(bool Is64)
{
    auto replacer = std::make_unique<TPathReplacerStr>();
    replacer->SetAddShortNames(true);
    TPathReplacerStr& r = *replacer;

    r.AddPath(AllUsersDesktopDir(), "%DESKTOPALL%\\");
    r.AddPath(DesktopDir(), "%DESKTOP%\\");
    r.AddPath(FavoritesDir(), "%FAVORITES%\\");
    r.AddPath(GetUserStartupFolder(), "%STARTUP%\\");
    r.AddPath(GetCommonStartupFolder(), "%STARTUPALL%\\");
    r.AddPath(ProgramsDir(), "%START_PROGRAMS%\\");
    r.AddPath(AllUsersProgramsDir(), "%START_PROGRAMSALL%\\");
    r.AddPath(StartMenuDir(), "%START_MENU%\\");
    r.AddPath(AllUsersStartMenuDir(), "%START_MENUALL%\\");

    if (Is64) {
        r.AddPath(CommonFilesDir(), "%COMMONFILES32%\\");
        r.AddPath(CommonFiles64Dir(), "%COMMONFILES%\\");
    } else {
        r.AddPath(CommonFilesDir(), "%COMMONFILES%\\");
    }
    r.AddPath(CommonFiles32Dir(), "%COMMONFILES32%\\");

    if (Is64) {
        r.AddPath(ProgramFilesDir(), "%PROGRAMFILES32%\\");
        r.AddPath(ProgramFiles64Dir(), "%PROGRAMFILES%\\");
    } else {
        r.AddPath(ProgramFilesDir(), "%PROGRAMFILES%\\");
    }
    r.AddPath(ProgramFiles32Dir(), "%PROGRAMFILES32%\\");

    r.AddPath(AllUsersAppDataDir(), "%ALLUSERS_APPDATA%\\");
    r.AddPath(AppDataDir(), "%APPDATA%\\");
    r.AddPath(UserDocumentsDir(), "%USERDOCUMENTS%\\");
    r.AddPath(AllUsersDocumentsDir(), "%ALLUSERSDOCUMENTS%\\");
    r.AddPath(TempDir(), "%TEMP%\\");
    r.AddPath(UserProfileDir(), "%USERPROFILE%\\");
    r.AddPath(DownloadedProgramFilesDir(), "%DOWNLOADEDPROGRAMFILES%\\");

    r.AddPath(SystemDir(), Is64 ? "%SYSDIR32%\\" : "%SYSDIR%\\");
    r.AddPath(SystemWow64Dir(), "%SYSDIR32%\\");
    r.AddPath(System32Dir(), "%SYSDIR32%\\");
    r.AddPath(System64Dir(), "%SYSDIR64%\\");
    r.AddPath(WindowsDir(), "%WINDIR%\\");
    r.AddPath(SystemDiskRoot(), "%SystemDiskRoot%\\");
    return replacer;
}

bool CollapsePathMacros(const std::string& Path, bool Is64, std::string& Result)
{
    TState& state = State();
    const int index = Is64 ? 1 : 0;
    std::call_once(state.replacerOnce[index],
                   [&] { state.replacers[index] = CreatePathReplacer(Is64); });
    bool changed = false;
    state.replacers[index]->Replace(Path, changed, Result);
    return changed;
}

// ---------------------------------------------------------------------------

void ResetSystemPathsForTests()
{
    StateHolder() = std::make_unique<TState>();
}
