#include "platform/FirefoxU.h"

#include "platform/FileUtilsU.h"
#include "platform/FileVersionU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"

#include <array>
#include <mutex>
#include <utility>

namespace {

constexpr const char* kFirefoxKey = "SOFTWARE\\Mozilla\\Mozilla Firefox";
constexpr const char* kFirefoxExe = "firefox.exe";

// Firefox's SQLite needs these runtimes loaded first; the order matters.
constexpr std::array<const char*, 4> kRuntimeLibraries = {"msvcr100.dll", "mozcrt19.dll",
                                                          "mozutils.dll", "mozglue.dll"};
constexpr std::array<const char*, 2> kSQLiteLibraries = {"mozsqlite3.dll", "sqlite3.dll"};

// Process-wide, set once and never freed: the add-on scanner loads on the GUI
// thread and the repair binds on the worker, so one mutex guards all of it.
struct TFirefoxLibraries {
    std::mutex lock;
    std::array<HMODULE, kRuntimeLibraries.size()> runtimes{};
    HMODULE sqlite = nullptr;
    std::string sqliteName;
    TLibraryLoadCall loadCall = nullptr;
};

TFirefoxLibraries& Libraries()
{
    static TFirefoxLibraries* libraries = new TFirefoxLibraries;
    return *libraries;
}

// The version part of "CurrentVersion": everything before the first "(", trimmed.
std::string VersionKeyPart(const std::string& CurrentVersion)
{
    return Trim(std::string_view(CurrentVersion).substr(0, CurrentVersion.find('(')));
}

// Full path (".." and "." resolved), long form, with a trailing backslash; ''
// when the system cannot make it full.
std::string CanonicalFolder(const std::string& Folder)
{
    if (Folder.empty())
        return {};
    const std::string full = GetFullPath(Folder);
    if (full.empty())
        return {};
    return IncludeTrailingBackslash(GetLongPath(full));
}

// A Firefox folder that counts: existing, under Program Files, in canonical form.
std::string TrustedFolder(const std::string& Folder)
{
    if (Folder.empty() || !DirectoryExistsEx(Folder) || !IsUnderProgramFiles(Folder))
        return {};
    return CanonicalFolder(Folder);
}

bool ReadCurrentVersion(bool View64, std::string& Text)
{
    TRegViewScope view(!View64, View64);
    return RegReadString(HKEY_LOCAL_MACHINE, kFirefoxKey, "CurrentVersion", Text);
}

// "PathToExe" of the version's "bin" key, in one view; '' when missing.
std::string ReadPathToExe(bool View64)
{
    std::string current;
    if (!ReadCurrentVersion(View64, current))
        return {};
    TRegViewScope view(!View64, View64);
    std::string exe;
    std::string binKey = std::string(kFirefoxKey) + " " + VersionKeyPart(current) + "\\bin";
    if (!RegReadString(HKEY_LOCAL_MACHINE, binKey, "PathToExe", exe))
        return {};
    return exe;
}

std::string ProductVersionOf(const std::string& FileName)
{
    if (!FileExistsEx(FileName))
        return {};
    TFileVersion version(FileName);
    return version.ProductVersion();
}

std::string DefaultPathProductVersion()
{
    std::string programFiles = ProgramFiles32Dir();
    if (programFiles.empty())
        return {};
    return ProductVersionOf(programFiles + "Mozilla Firefox\\" + kFirefoxExe);
}

std::string PathToExeProductVersion()
{
    for (bool view64 : {false, true}) {
        std::string exe = ReadPathToExe(view64);
        if (!exe.empty() && FileExistsEx(exe))
            return ProductVersionOf(exe);
    }
    return {};
}

// A decimal number of digits only; -1 otherwise.
int DecimalOrMinusOne(std::string_view Text)
{
    if (Text.empty() || Text.size() > 9)
        return -1;
    int value = 0;
    for (char c : Text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

HMODULE LoadByFullPath(const std::string& Path)
{
    TLibraryLoadCall call = Libraries().loadCall;
    if (!call)
        call = &LoadLibraryExA;
    return call(Path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace

bool ParseFirefoxVersion(std::string_view Text, bool FromRegistry,
                         const std::function<std::string()>& RetrySource, int& Major, int& Minor)
{
    Major = -1;
    Minor = -1;
    std::string text(Text);
    bool retried = false;
    while (!text.empty()) {
        text = Trim(text);
        size_t p1 = text.find('.');
        if (p1 == std::string::npos)
            return false;
        size_t p2 = text.find('.', p1 + 1);
        bool twoParts = p2 == std::string::npos;
        // "3.6 (en-US)": with no second ".", the minor ends at the first blank.
        if (twoParts)
            p2 = text.find(' ', p1 + 1);
        std::string_view cut = std::string_view(text).substr(0, p2);
        int major = DecimalOrMinusOne(cut.substr(0, p1));
        int minor = DecimalOrMinusOne(cut.substr(p1 + 1));
        if (major != -1 && minor != -1) {
            Major = major;
            Minor = minor;
            return true;
        }
        // A pre-release text such as "3.6b2" names no minor; the executable's
        // product version may. A minor starting with "0" ("4.0b7") takes no retry.
        bool zeroMinor = p1 + 1 < text.size() && text[p1 + 1] == '0';
        if (!twoParts || zeroMinor || !FromRegistry || retried || !RetrySource)
            return false;
        retried = true;
        text = RetrySource();
    }
    return false;
}

bool FolderLiesUnder(const std::string& Folder, const std::string& Root)
{
    std::string folder = CanonicalFolder(Folder);
    std::string root = CanonicalFolder(Root);
    if (folder.empty() || root.empty() || folder.size() <= root.size())
        return false;
    return SameText(std::string_view(folder).substr(0, root.size()), root);
}

bool IsUnderProgramFiles(const std::string& Folder)
{
    for (const std::string& root : {ProgramFiles32Dir(), ProgramFiles64Dir()}) {
        if (!root.empty() && FolderLiesUnder(Folder, root))
            return true;
    }
    return false;
}

std::string GetFirefoxFolder()
{
    try {
        std::string exe = ReadPathToExe(false);
        if (!exe.empty()) {
            std::string folder = TrustedFolder(ExtractFilePath(exe));
            if (!folder.empty())
                return folder;
        }
        DWORD pid = FindProcessInSession(kFirefoxExe, kConsoleSession);
        if (pid != kNoProcess)
            return TrustedFolder(ExtractFilePath(GetProcessImagePath(pid)));
    } catch (...) {
    }
    return {};
}

bool GetFirefoxVersion(int& Major, int& Minor)
{
    Major = -1;
    Minor = -1;
    try {
        std::string text;
        bool fromRegistry = ReadCurrentVersion(false, text) || ReadCurrentVersion(true, text);
        if (!fromRegistry)
            text = DefaultPathProductVersion();
        auto retry = [] {
            std::string version = PathToExeProductVersion();
            return version.empty() ? DefaultPathProductVersion() : version;
        };
        return ParseFirefoxVersion(text, fromRegistry, retry, Major, Minor);
    } catch (...) {
        Major = -1;
        Minor = -1;
        return false;
    }
}

int GetFirefoxMajorVersion()
{
    int major = 0;
    int minor = 0;
    return GetFirefoxVersion(major, minor) ? major : 0;
}

void LoadFirefoxSQLite(const std::string& Folder, std::string& LibraryName)
{
    LibraryName.clear();
    try {
        TFirefoxLibraries& libs = Libraries();
        std::lock_guard<std::mutex> hold(libs.lock);
        std::string folder = TrustedFolder(Folder.empty() ? GetFirefoxFolder() : Folder);
        if (folder.empty())
            return;
        for (size_t i = 0; i < kRuntimeLibraries.size(); ++i) {
            std::string path = folder + kRuntimeLibraries[i];
            if (!libs.runtimes[i] && FileExistsEx(path))
                libs.runtimes[i] = LoadByFullPath(path);
        }
        if (!libs.sqlite) {
            for (const char* name : kSQLiteLibraries) {
                std::string path = folder + name;
                if (!FileExistsEx(path))
                    continue;
                if (HMODULE module = LoadByFullPath(path)) {
                    libs.sqlite = module;
                    libs.sqliteName = name;
                }
                break;
            }
        }
        if (libs.sqlite)
            LibraryName = libs.sqliteName;
    } catch (...) {
        LibraryName.clear();
    }
}

HMODULE SQLiteLibraryHandle() noexcept
{
    TFirefoxLibraries& libs = Libraries();
    std::lock_guard<std::mutex> hold(libs.lock);
    return libs.sqlite;
}

std::string SQLiteLibraryName()
{
    TFirefoxLibraries& libs = Libraries();
    std::lock_guard<std::mutex> hold(libs.lock);
    return libs.sqliteName;
}

TLibraryLoadCall SetLibraryLoadCall(TLibraryLoadCall Call) noexcept
{
    TFirefoxLibraries& libs = Libraries();
    std::lock_guard<std::mutex> hold(libs.lock);
    return std::exchange(libs.loadCall, Call);
}
