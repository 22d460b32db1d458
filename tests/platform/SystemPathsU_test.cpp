#include "platform/SystemPathsU.h"

#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/ThreadU.h"

#include "KorvTest.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// The test's own queries, straight from the system, views named explicitly.

std::string WithBackslash(std::string s)
{
    s.resize(std::find(s.begin(), s.end(), '\0') - s.begin());
    if (!s.empty() && s.back() != '\\')
        s += '\\';
    return s;
}

std::string OwnRegFolder(HKEY root, const char* key, const char* name, REGSAM view)
{
    HKEY k = nullptr;
    if (RegOpenKeyExA(root, key, 0, KEY_READ | view, &k) != ERROR_SUCCESS)
        return {};
    char buffer[1024] = {};
    DWORD size = sizeof(buffer) - 1;
    DWORD type = 0;
    const LONG rc =
        RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return {};
    return WithBackslash(std::string(buffer, size));
}

std::string OwnCsidl(int csidl)
{
    char buffer[MAX_PATH + 1] = {};
    if (SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer) != S_OK)
        return {};
    return WithBackslash(buffer);
}

std::string OwnPublicDocuments()
{
    const GUID id = {0xED4824AF, 0xDCE4, 0x45A8, {0x81, 0xE2, 0xFC, 0x79, 0x65, 0x08, 0x36, 0x34}};
    PWSTR path = nullptr;
    std::string result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) {
        char buffer[MAX_PATH * 2] = {};
        WideCharToMultiByte(CP_ACP, 0, path, -1, buffer, sizeof(buffer), nullptr, nullptr);
        result = WithBackslash(buffer);
    }
    CoTaskMemFree(path);
    return result;
}

std::string OwnEnv(const char* name)
{
    char buffer[4096] = {};
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof(buffer));
    return n > 0 && n < sizeof(buffer) ? std::string(buffer, n) : std::string();
}

bool OwnVistaOrLater()
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    GetVersionExA(&info);
#pragma GCC diagnostic pop
    return info.dwMajorVersion >= 6;
}

// 64-bit Windows: a 64-bit process always runs there, a 32-bit one when
// Windows runs it under Wow64.
bool OwnWin64()
{
    BOOL wow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &wow64) && wow64);
}

const char kShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

std::string OwnWindows()
{
    char b[MAX_PATH + 1] = {};
    GetWindowsDirectoryA(b, sizeof(b));
    return WithBackslash(b);
}
std::string OwnSystem()
{
    char b[MAX_PATH + 1] = {};
    GetSystemDirectoryA(b, sizeof(b));
    return WithBackslash(b);
}
std::string OwnProgramFiles(REGSAM view)
{
    return OwnRegFolder(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir", view);
}

struct GetterCheck {
    const char* name;
    std::string actual;
    std::string expected;
    bool mustExist;
};

// A folder with a tail, as expansion gives it: an empty folder leaves the
// tail's own backslash.
std::string Under(const std::string& folder, const std::string& tail)
{
    return folder.empty() ? "\\" + tail : folder + tail;
}

// The HKLM folder values of the 32-bit registry view come from Wine's 32-bit
// set-up, which a host that runs 64-bit code only cannot run: there
// scripts/wineprefix.sh fills in the ones read here, so every test prefix has
// them and the rows below must find them.

// Every getter next to the test's own query for the Windows version the
// process sees (the whole list also runs under "winxp").
std::vector<GetterCheck> GetterChecks()
{
    const bool vista = OwnVistaOrLater();
    const bool win64 = OwnWin64();
    char buffer[MAX_PATH + 1] = {};
    // 32-bit Windows has no Wow64 folder: the System folder stands in.
    if (win64)
        GetSystemWow64DirectoryA(buffer, sizeof(buffer));
    else
        GetSystemDirectoryA(buffer, sizeof(buffer));
    const std::string wow64 = WithBackslash(buffer);
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(sizeof(temp), temp);
    char longTemp[MAX_PATH + 1] = {};
    GetLongPathNameA(temp, longTemp, sizeof(longTemp));
    auto hkcu = [](const char* name) {
        return OwnRegFolder(HKEY_CURRENT_USER, kShellFolders, name, 0);
    };
    auto hklm = [](const char* name) {
        return OwnRegFolder(HKEY_LOCAL_MACHINE, kShellFolders, name, KEY_WOW64_32KEY);
    };
    auto common = [](REGSAM view) {
        return OwnRegFolder(HKEY_LOCAL_MACHINE, kCurrentVersion, "CommonFilesDir", view);
    };
    const std::string windows = OwnWindows();
    // A 64-bit program, and any program on 32-bit Windows or before VISTA,
    // sees the native folder as its System folder; the shipped 32-bit program
    // on 64-bit Windows reaches it through the "sysnative" alias.
    const std::string system64 =
        win64 && vista && sizeof(void*) == 4 ? windows + "sysnative\\" : OwnSystem();
    return {
        {"Windows", WindowsDir(), windows, true},
        {"System", SystemDir(), OwnSystem(), true},
        {"Wow64 system", SystemWow64Dir(), wow64, true},
        {"32-bit system", System32Dir(), wow64, true},
        {"64-bit system", System64Dir(), system64, true},
        {"Temporary", TempDir(), WithBackslash(longTemp), true},
        {"Desktop", DesktopDir(), hkcu("Desktop"), true},
        {"Favorites", FavoritesDir(), hkcu("Favorites"), true},
        {"Start menu", StartMenuDir(), hkcu("Start Menu"), true},
        {"Programs", ProgramsDir(), hkcu("Programs"), true},
        {"Startup", GetUserStartupFolder(), hkcu("Startup"), true},
        {"AppData", AppDataDir(), hkcu("AppData"), true},
        {"Cookies", CookiesDir(), hkcu("Cookies"), true},
        {"All-users desktop", AllUsersDesktopDir(), hklm("Common Desktop"), true},
        {"All-users start menu", AllUsersStartMenuDir(), hklm("Common Start Menu"), true},
        {"All-users programs", AllUsersProgramsDir(), hklm("Common Programs"), true},
        {"All-users startup", GetCommonStartupFolder(), hklm("Common Startup"), true},
        {"All-users application data", AllUsersAppDataDir(),
         vista ? OwnCsidl(CSIDL_COMMON_APPDATA) : hklm("Common AppData"), true},
        {"User documents", UserDocumentsDir(), OwnCsidl(CSIDL_PERSONAL), true},
        {"All-users documents", AllUsersDocumentsDir(),
         vista ? OwnPublicDocuments() : OwnCsidl(CSIDL_COMMON_DOCUMENTS), true},
        {"Program files", ProgramFilesDir(), OwnProgramFiles(KEY_WOW64_32KEY), true},
        {"Program files (x86)", ProgramFiles32Dir(), OwnCsidl(CSIDL_PROGRAM_FILESX86), true},
        {"Program files (64-bit)", ProgramFiles64Dir(), OwnProgramFiles(KEY_WOW64_64KEY), true},
        {"Common files", CommonFilesDir(), common(KEY_WOW64_32KEY), true},
        {"Common files (x86)", CommonFiles32Dir(), OwnCsidl(CSIDL_PROGRAM_FILES_COMMONX86), true},
        {"Common files (64-bit)", CommonFiles64Dir(), common(KEY_WOW64_64KEY), true},
        {"User profile", UserProfileDir(), WithBackslash(OwnEnv("USERPROFILE")), true},
        // Absent in a fresh prefix: '' rather than a lone "\".
        {"Downloaded program files", DownloadedProgramFilesDir(),
         OwnRegFolder(HKEY_LOCAL_MACHINE,
                      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                      "ActiveXCache", KEY_WOW64_32KEY),
         false},
        {"System disk root", SystemDiskRoot(), windows.substr(0, 2) + "\\", true},
    };
}

// The failures of GetterChecks as text; empty when all agree.
std::vector<std::string> GetterFailures()
{
    std::vector<std::string> failures;
    for (const GetterCheck& check : GetterChecks()) {
        if (check.actual != check.expected)
            failures.push_back(std::string(check.name) + ": got '" + check.actual +
                               "', own query '" + check.expected + "'");
        if (check.mustExist && check.actual.empty())
            failures.push_back(std::string(check.name) + ": empty");
        if (!check.actual.empty() && check.actual.back() != '\\')
            failures.push_back(std::string(check.name) + ": no trailing backslash");
    }
    return failures;
}

// A thread that runs one function (the registry view flags are per thread).
class FnThread : public TThread {
public:
    explicit FnThread(std::function<void()> fn) : fn_(std::move(fn)) {}

protected:
    void Execute() override { fn_(); }

private:
    std::function<void()> fn_;
};

void RunOnThread(std::function<void()> fn)
{
    FnThread thread(std::move(fn));
    thread.Start();
    ASSERT_EQ(WAIT_OBJECT_0, thread.WaitFor(60000));
}

// Sets an environment variable of this process for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name)
    {
        SetEnvironmentVariableA(name, value.c_str());
    }
    ~ScopedEnv() { SetEnvironmentVariableA(name_, nullptr); }

private:
    const char* name_;
};

} // namespace

// ---------------------------------------------------------------------------
// Getters

TEST(SystemPathsU, GettersEqualTheSystemsOwnAnswers)
{
    for (const std::string& failure : GetterFailures())
        ADD_FAILURE() << failure;
    EXPECT_TRUE(SameText("C:\\Program Files\\", ProgramFiles64Dir())) << ProgramFiles64Dir();
    // 32-bit Windows has one program folder, which is also the x86 one.
    EXPECT_TRUE(SameText(OwnWin64() ? "C:\\Program Files (x86)\\" : "C:\\Program Files\\",
                         ProgramFiles32Dir()))
        << ProgramFiles32Dir();
    EXPECT_EQ("", DownloadedProgramFilesDir());
    // The alias is a folder that the redirected program can open.
    if (!SameText(System64Dir(), SystemDir())) {
        const DWORD attributes = GetFileAttributesA(System64Dir().c_str());
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, attributes) << System64Dir();
        EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY) << System64Dir();
    }
}

TEST(SystemPathsU, ThirtyTwoBitViewFolders)
{
    // 32-bit Windows has one registry view, holding the one program folder.
    const std::string programFiles =
        OwnWin64() ? "C:\\Program Files (x86)\\" : "C:\\Program Files\\";
    EXPECT_TRUE(SameText(programFiles, ProgramFilesDir())) << ProgramFilesDir();
    EXPECT_TRUE(SameText(programFiles + "Common Files\\", CommonFilesDir())) << CommonFilesDir();
    for (const std::string& folder : {AllUsersDesktopDir(), AllUsersStartMenuDir(),
                                      AllUsersProgramsDir(), GetCommonStartupFolder()})
        EXPECT_FALSE(folder.empty());
}

TEST(SystemPathsU, System64FolderFollowsThePlatform)
{
    const std::string windows = "C:\\windows\\";
    const std::string system = "C:\\windows\\system32\\";
    struct Case {
        const char* name;
        bool isWin64, vista, process64;
        std::string expected;
    };
    const Case cases[] = {
        {"32-bit program, 64-bit Windows 7", true, true, false, "C:\\windows\\sysnative\\"},
        {"32-bit program, 64-bit XP", true, false, false, system},
        {"32-bit program, 32-bit Windows 7", false, true, false, system},
        {"64-bit program, 64-bit Windows 7", true, true, true, system},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, System64DirFor(c.isWin64, c.vista, c.process64, windows, system))
            << c.name;
    EXPECT_EQ(system, System64DirFor(true, true, false, "", system)) << "no Windows folder";
}

KTEST_ROLE(system_paths_as_xp)
{
    if (OwnVistaOrLater()) {
        std::fprintf(stderr, "the child does not see XP\n");
        return 100;
    }
    const std::vector<std::string> failures = GetterFailures();
    for (const std::string& failure : failures)
        std::fprintf(stderr, "%s\n", failure.c_str());
    return static_cast<int>(failures.size());
}

class SystemPathsUXp : public ktest::ScratchDirTest {};

TEST_F(SystemPathsUXp, GettersBeforeVistaUseTheOlderSources)
{
    const ktest::ChildResult child = ktest::RunSelfAsVersion(dir_, L"winxp", L"system_paths_as_xp");
    ASSERT_TRUE(child.started);
    ASSERT_FALSE(child.timedOut);
    EXPECT_EQ(0u, child.exitCode) << "100: no XP; otherwise the number of getter mismatches";
}

// ---------------------------------------------------------------------------
// Expansion

TEST(SystemPathsU, MacroTableInOrderAndEveryMacroInBothViews)
{
    using Getter = std::string (*)();
    struct Row {
        const char* macro;
        Getter folder32;
        Getter folder64;
    };
    const Row rows[] = {
        {"%DESKTOP%", DesktopDir, DesktopDir},
        {"%FAVORITES%", FavoritesDir, FavoritesDir},
        {"%START_MENU%", StartMenuDir, StartMenuDir},
        {"%START_MENUALL%", AllUsersStartMenuDir, AllUsersStartMenuDir},
        {"%START_PROGRAMS%", ProgramsDir, ProgramsDir},
        {"%START_PROGRAMSALL%", AllUsersProgramsDir, AllUsersProgramsDir},
        {"%STARTUP%", GetUserStartupFolder, GetUserStartupFolder},
        {"%STARTUPALL%", GetCommonStartupFolder, GetCommonStartupFolder},
        {"%COMMONFILES%", CommonFilesDir, CommonFiles64Dir},
        {"%PROGRAMFILES%", ProgramFilesDir, ProgramFiles64Dir},
        {"%ALLUSERS_APPDATA%", AllUsersAppDataDir, AllUsersAppDataDir},
        {"%TEMP%", TempDir, TempDir},
        {"%WINDIR%", WindowsDir, WindowsDir},
        {"%SYSDIR%", SystemDir, SystemDir},
        {"%SYSTEMROOT%", WindowsDir, WindowsDir},
        {"%SYSTEMDISKROOT%", SystemDiskRoot, SystemDiskRoot},
        {"%USERPROFILE%", UserProfileDir, UserProfileDir},
        {"%DOWNLOADEDPROGRAMFILES%", DownloadedProgramFilesDir, DownloadedProgramFilesDir},
        {"%APPDATA%", AppDataDir, AppDataDir},
        {"%USERDOCUMENTS%", UserDocumentsDir, UserDocumentsDir},
        {"%ALLUSERSDOCUMENTS%", AllUsersDocumentsDir, AllUsersDocumentsDir},
        {"%DESKTOPALL%", AllUsersDesktopDir, AllUsersDesktopDir},
        {"%COMMONFILES32%", CommonFiles32Dir, CommonFiles32Dir},
        {"%PROGRAMFILES32%", ProgramFiles32Dir, ProgramFiles32Dir},
        {"%COMMONFILES64%", CommonFiles64Dir, CommonFiles64Dir},
        {"%PROGRAMFILES64%", ProgramFiles64Dir, ProgramFiles64Dir},
        {"%SYSDIR32%", System32Dir, System32Dir},
        {"%SYSDIR64%", System64Dir, System64Dir},
        {"%SYSDIRWOW64%", SystemWow64Dir, SystemWow64Dir},
        {"%COMMONPROGRAMFILES%", CommonFilesDir, CommonFiles64Dir},
        {"%COMMONPROGRAMFILES(x86)%", CommonFiles32Dir, CommonFiles32Dir},
        {"%PROGRAMFILES(x86)%", ProgramFiles32Dir, ProgramFiles32Dir},
    };
    const auto texts = PathMacroTexts();
    ASSERT_EQ(std::size(rows), texts.size());
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_STREQ(rows[i].macro, texts[i]) << "entry " << i + 1;

    for (const Row& row : rows) {
        for (bool is64 : {false, true}) {
            SCOPED_TRACE(std::string(row.macro) + (is64 ? " 64-bit view" : " 32-bit view"));
            const std::string folder = (is64 ? row.folder64 : row.folder32)();
            for (const std::string& macro : {std::string(row.macro), LowerCase(row.macro)}) {
                const std::string path = macro + "\\Sub\\t.TXT";
                const std::string text = is64 ? ExpandPathMacros64(path) : ExpandPathMacros32(path);
                std::string checked = "untouched";
                const bool resolved = TryExpandPathMacros(path, is64, checked);
                if (folder.empty()) {
                    // The text form keeps its old result; the checked form refuses it.
                    EXPECT_EQ("\\Sub\\t.TXT", text);
                    EXPECT_FALSE(resolved);
                    EXPECT_EQ("untouched", checked);
                } else {
                    EXPECT_EQ(folder + "Sub\\t.TXT", text);
                    EXPECT_TRUE(resolved);
                    EXPECT_EQ(text, checked);
                }
            }
        }
    }
    EXPECT_EQ(ExpandPathMacros32("%PROGRAMFILES%\\a"), ExpandPathMacros("%PROGRAMFILES%\\a"));
}

TEST(SystemPathsU, ExpansionCases)
{
    const std::string windows = WindowsDir();
    const std::string pathext = OwnEnv("PATHEXT");
    ASSERT_FALSE(pathext.empty());
    ScopedEnv unc("KORV_UNC", "\\\\srv");
    ScopedEnv fits("KORV_FITS", std::string(1023, 'f'));    // 1023 bytes and the NUL fill 1024
    ScopedEnv tooLong("KORV_LONG", std::string(1024, 'l')); // one byte over
    ScopedEnv blank("KORV_BLANK", "");

    struct Case {
        const char* name;
        std::string path;
        bool is64;
        std::string expected;
        bool resolved;
    };
    const Case cases[] = {
        {"lower case", "%programfiles%\\A", true, ProgramFiles64Dir() + "A", true},
        {"mixed case", "%ProgramFiles%\\A", true, ProgramFiles64Dir() + "A", true},
        {"mixed case, 32-bit view", "%ProgramFiles%\\A", false, Under(ProgramFilesDir(), "A"),
         !ProgramFilesDir().empty()},
        {"double backslash", "%WINDIR%\\\\System32", false, windows + "System32", true},
        {"\\SystemRoot\\", "\\SystemRoot\\System32\\drivers\\x.sys", false,
         windows + "System32\\drivers\\x.sys", true},
        {"\\systemroot\\ lower case", "\\systemroot\\x.sys", true, windows + "x.sys", true},
        {"environment", "%PATHEXT%", false, pathext, true},
        {"unknown variable", "%NOSUCHVAR%", false, "%NOSUCHVAR%", false},
        {"unknown variable, text kept", "%NoSuchVar%\\x", false, "%NOSUCHVAR%\\x", false},
        {"empty folder", "%DOWNLOADEDPROGRAMFILES%\\x", false, "\\x", false},
        {"lone percent", "C:\\100%\\app.exe", false, "C:\\100%\\app.exe", true},
        {"lone percent after a macro", "%WINDIR%x100%\\a", false, windows + "x100%\\a", true},
        {"UNC from the environment", "%KORV_UNC%\\share\\a.exe", false, "\\\\srv\\share\\a.exe",
         true},
        {"UNC, doubled separator", "%KORV_UNC%\\\\share\\\\a.exe", false, "\\\\srv\\share\\a.exe",
         true},
        {"value that fits", "%KORV_FITS%", false, std::string(1023, 'f'), true},
        {"empty variable", "%KORV_BLANK%\\x", false, "\\x", false},
        {"value over 1024 bytes", "%KORV_LONG%\\x", false, "%KORV_LONG%\\x", false},
        {"no percent: backslashes stay", "C:\\\\a\\\\b", false, "C:\\\\a\\\\b", true},
        {"text around tokens", "[%WINDIR%|%TEMP%]", false, "[" + windows + "|" + TempDir() + "]",
         true},
        {"empty", "", false, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, c.is64 ? ExpandPathMacros64(c.path) : ExpandPathMacros32(c.path));
        std::string checked = "untouched";
        EXPECT_EQ(c.resolved, TryExpandPathMacros(c.path, c.is64, checked));
        EXPECT_EQ(c.resolved ? c.expected : "untouched", checked);
    }
}

// A token whose hash equals a macro's is still not that macro. The colliding
// token is found by meeting in the middle over the hash's own table, so the
// test stands whatever the table holds.
TEST(SystemPathsU, HashCollisionDoesNotTakeAMacrosFolder)
{
    const auto& table = StrHashTable32();
    constexpr uint32_t kMul = 0x5517E877;
    uint32_t inverse = kMul; // Newton's iteration for the inverse modulo 2^32
    for (int i = 0; i < 5; ++i)
        inverse *= 2 - kMul * inverse;
    ASSERT_EQ(1u, kMul * inverse);

    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789_-.!#$&'()+,;@[]^{}~";
    const size_t n = alphabet.size();
    auto step = [&](uint32_t h, char c) {
        return (h * kMul) ^ table[static_cast<unsigned char>(c)];
    };
    auto unstep = [&](uint32_t h, char c) {
        return (h ^ table[static_cast<unsigned char>(c)]) * inverse;
    };
    const std::string macro = "%temp%";
    const uint32_t target = StrHash32(macro, true);
    ASSERT_EQ(target, StrHash32("%TEMP%", true));

    // Forward: "%" + three characters.
    std::vector<std::pair<uint32_t, uint32_t>> forward;
    forward.reserve(n * n * n);
    const uint32_t afterPercent = step(1, '%');
    for (size_t a = 0; a < n; ++a)
        for (size_t b = 0; b < n; ++b)
            for (size_t c = 0; c < n; ++c) {
                const uint32_t h =
                    step(step(step(afterPercent, alphabet[a]), alphabet[b]), alphabet[c]);
                forward.emplace_back(h, static_cast<uint32_t>((a * n + b) * n + c));
            }
    std::sort(forward.begin(), forward.end());
    // Backward: three more characters and the closing "%".
    std::string token;
    const uint32_t beforeClose = unstep(target, '%');
    for (size_t a = 0; a < n && token.empty(); ++a)
        for (size_t b = 0; b < n && token.empty(); ++b)
            for (size_t c = 0; c < n && token.empty(); ++c) {
                const uint32_t h =
                    unstep(unstep(unstep(beforeClose, alphabet[c]), alphabet[b]), alphabet[a]);
                auto it = std::lower_bound(forward.begin(), forward.end(),
                                           std::make_pair(h, uint32_t{0}));
                if (it == forward.end() || it->first != h)
                    continue;
                const uint32_t f = it->second;
                token = std::string("%") + alphabet[f / (n * n)] + alphabet[(f / n) % n] +
                        alphabet[f % n] + alphabet[a] + alphabet[b] + alphabet[c] + "%";
            }
    ASSERT_FALSE(token.empty()) << "no colliding token in the search space";
    ASSERT_EQ(target, StrHash32(token, true)) << token;
    ASSERT_NE(macro, token);

    const std::string upper = UpperCase(token);
    EXPECT_EQ(upper + "\\x", ExpandPathMacros32(token + "\\x")) << token;
    std::string checked;
    EXPECT_FALSE(TryExpandPathMacros(token + "\\x", false, checked)) << token;
    EXPECT_EQ(TempDir() + "x", ExpandPathMacros32(macro + "\\x"));
}

// ---------------------------------------------------------------------------
// Macro form

TEST(SystemPathsU, CollapseEachFolderAndItsShortForm)
{
    const std::string root = SystemDiskRoot();
    struct Row {
        const char* name;
        std::string folder;
        const char* macro32; // nullptr: under no folder of that replacer but the disk root
        const char* macro64;
    };
    // Folders that coincide take the macro of the first group: in the 32-bit
    // program's view Program files is the (x86) folder, and on 32-bit Windows
    // the 64-bit and Wow64 folders are the plain ones.
    const bool sameCommon = SameText(CommonFilesDir(), CommonFiles32Dir());
    const bool sameProgram = SameText(ProgramFilesDir(), ProgramFiles32Dir());
    const bool sameCommon64 = SameText(CommonFilesDir(), CommonFiles64Dir());
    const bool sameProgram64 = SameText(ProgramFilesDir(), ProgramFiles64Dir());
    const bool sameWow64 = SameText(SystemDir(), SystemWow64Dir());
    // The 32-bit program on 64-bit Windows reaches the native folder as "sysnative".
    const bool sysnative = !SameText(SystemDir(), System64Dir());
    const Row rows[] = {
        {"All-users desktop", AllUsersDesktopDir(), "%DESKTOPALL%", "%DESKTOPALL%"},
        {"Desktop", DesktopDir(), "%DESKTOP%", "%DESKTOP%"},
        {"Favorites", FavoritesDir(), "%FAVORITES%", "%FAVORITES%"},
        {"Startup", GetUserStartupFolder(), "%STARTUP%", "%STARTUP%"},
        {"All-users startup", GetCommonStartupFolder(), "%STARTUPALL%", "%STARTUPALL%"},
        {"Programs", ProgramsDir(), "%START_PROGRAMS%", "%START_PROGRAMS%"},
        {"All-users programs", AllUsersProgramsDir(), "%START_PROGRAMSALL%", "%START_PROGRAMSALL%"},
        {"Start menu", StartMenuDir(), "%START_MENU%", "%START_MENU%"},
        {"All-users start menu", AllUsersStartMenuDir(), "%START_MENUALL%", "%START_MENUALL%"},
        {"Common files", CommonFilesDir(), "%COMMONFILES%", "%COMMONFILES32%"},
        {"Common files (64-bit)", CommonFiles64Dir(), sameCommon64 ? "%COMMONFILES%" : nullptr,
         sameCommon64 ? "%COMMONFILES32%" : "%COMMONFILES%"},
        {"Common files (x86)", CommonFiles32Dir(), sameCommon ? "%COMMONFILES%" : "%COMMONFILES32%",
         "%COMMONFILES32%"},
        {"Program files", ProgramFilesDir(), "%PROGRAMFILES%", "%PROGRAMFILES32%"},
        {"Program files (64-bit)", ProgramFiles64Dir(), sameProgram64 ? "%PROGRAMFILES%" : nullptr,
         sameProgram64 ? "%PROGRAMFILES32%" : "%PROGRAMFILES%"},
        {"Program files (x86)", ProgramFiles32Dir(),
         sameProgram ? "%PROGRAMFILES%" : "%PROGRAMFILES32%", "%PROGRAMFILES32%"},
        {"All-users application data", AllUsersAppDataDir(), "%ALLUSERS_APPDATA%",
         "%ALLUSERS_APPDATA%"},
        {"AppData", AppDataDir(), "%APPDATA%", "%APPDATA%"},
        {"User documents", UserDocumentsDir(), "%USERDOCUMENTS%", "%USERDOCUMENTS%"},
        {"All-users documents", AllUsersDocumentsDir(), "%ALLUSERSDOCUMENTS%",
         "%ALLUSERSDOCUMENTS%"},
        {"Temporary", TempDir(), "%TEMP%", "%TEMP%"},
        {"User profile", UserProfileDir(), "%USERPROFILE%", "%USERPROFILE%"},
        // Kept as stored: with Is64 the System folder collapses to %SYSDIR32%.
        {"System", SystemDir(), "%SYSDIR%", "%SYSDIR32%"},
        {"Wow64 system", SystemWow64Dir(), sameWow64 ? "%SYSDIR%" : "%SYSDIR32%", "%SYSDIR32%"},
        {"64-bit system", System64Dir(), sysnative ? "%SYSDIR64%" : "%SYSDIR%",
         sysnative ? "%SYSDIR64%" : "%SYSDIR32%"},
        {"Windows", WindowsDir(), "%WINDIR%", "%WINDIR%"},
        {"System disk root", root, "%SystemDiskRoot%", "%SystemDiskRoot%"},
    };
    const std::string tail = "Sub\\Mixed.DLL";
    for (const Row& row : rows) {
        if (row.folder.empty()) {
            ADD_FAILURE() << row.name << ": empty";
            continue;
        }
        char shortBuffer[MAX_PATH + 1] = {};
        const DWORD n = GetShortPathNameA(row.folder.c_str(), shortBuffer, sizeof(shortBuffer));
        std::vector<std::string> forms = {row.folder, LowerCase(row.folder)};
        if (n > 0 && n < sizeof(shortBuffer) && !SameText(WithBackslash(shortBuffer), row.folder))
            forms.push_back(WithBackslash(shortBuffer));
        for (bool is64 : {false, true}) {
            const char* macro = is64 ? row.macro64 : row.macro32;
            for (const std::string& form : forms) {
                SCOPED_TRACE(std::string(row.name) + (is64 ? ", Is64: " : ": ") + form);
                const std::string expected =
                    macro ? std::string(macro) + "\\" + tail
                          : "%SystemDiskRoot%\\" + form.substr(root.size()) + tail;
                std::string result;
                EXPECT_TRUE(CollapsePathMacros(form + tail, is64, result));
                EXPECT_EQ(expected, result);
            }
        }
    }
}

TEST(SystemPathsU, CollapseEdgeCases)
{
    std::string result;
    EXPECT_FALSE(CollapsePathMacros("Q:\\nowhere\\x", false, result));
    EXPECT_EQ("Q:\\nowhere\\x", result);
    EXPECT_FALSE(CollapsePathMacros("", true, result));
    EXPECT_EQ("", result);

    // 'c:\program files\x' is found through the upper-cased path and keeps
    // 'x'. It is the 64-bit view's folder; 32-bit Windows has the one view.
    const bool win64 = OwnWin64();
    const std::string programFiles = LowerCase(win64 ? ProgramFiles64Dir() : ProgramFilesDir());
    EXPECT_TRUE(SameText("C:\\Program Files\\", programFiles)) << programFiles;
    EXPECT_TRUE(CollapsePathMacros(programFiles + "x", win64, result));
    EXPECT_EQ("%PROGRAMFILES%\\x", result);

    // Is64: the System folder collapses to %SYSDIR32%, which the 64-bit view
    // expands to the Wow64 folder.
    EXPECT_TRUE(CollapsePathMacros(SystemDir() + "x.dll", true, result));
    EXPECT_EQ("%SYSDIR32%\\x.dll", result);
    EXPECT_EQ(SystemWow64Dir() + "x.dll", ExpandPathMacros64(result));
}

TEST(SystemPathsU, ReplacerLinesAndShortNames)
{
    TPathReplacerStr replacer;
    EXPECT_FALSE(replacer.AddShortNames());
    replacer.AddPath("", "%NONE%\\");
    EXPECT_EQ(0, replacer.Count());
    replacer.AddPath("C:\\a=b\\", "%EQ%\\");
    replacer.AddPath(ProgramFiles32Dir(), "%PF%\\");
    ASSERT_EQ(2, replacer.Count()) << "no short names unless asked for";
    EXPECT_EQ(UpperCase(ProgramFiles32Dir()) + "=%PF%\\", replacer[1]);

    bool changed = false;
    std::string result;
    replacer.Replace("c:\\A=B\\File.txt", changed, result);
    EXPECT_TRUE(changed);
    EXPECT_EQ("%EQ%\\File.txt", result);

    char shortBuffer[MAX_PATH + 1] = {};
    ASSERT_GT(GetShortPathNameA(ProgramFiles32Dir().c_str(), shortBuffer, sizeof(shortBuffer)), 0u);
    const std::string shortForm = WithBackslash(shortBuffer);
    ASSERT_FALSE(SameText(shortForm, ProgramFiles32Dir())) << "expected an 8.3 form";
    replacer.Replace(shortForm + "x", changed, result);
    EXPECT_FALSE(changed);

    TPathReplacerStr withShort;
    withShort.SetAddShortNames(true);
    withShort.AddPath(ProgramFiles32Dir(), "%PF%\\");
    withShort.AddPath(WindowsDir(), "%W%\\"); // "C:\windows\" is its own short form
    EXPECT_EQ(3, withShort.Count());
    withShort.Replace(shortForm + "App\\X.exe", changed, result);
    EXPECT_TRUE(changed);
    EXPECT_EQ("%PF%\\App\\X.exe", result);
    // A missing folder has no short form: only its own line.
    withShort.AddPath("C:\\no such folder here\\", "%M%\\");
    EXPECT_EQ(4, withShort.Count());
}

// ---------------------------------------------------------------------------
// Views and threads

TEST(SystemPathsU, FirstCallerInTheSixtyFourBitViewDoesNotDecideTheCache)
{
    ResetSystemPathsForTests();
    const std::string own32 = OwnProgramFiles(KEY_WOW64_32KEY);
    const std::string own64 = OwnProgramFiles(KEY_WOW64_64KEY);
    // 32-bit Windows has one registry view: the thread's flag changes nothing
    // there, and its flags must still come back.
    if (OwnWin64()) {
        ASSERT_NE(own32, own64);
    } else {
        ASSERT_EQ(own32, own64);
    }

    bool after32 = true, after64 = false;
    std::string seen;
    RunOnThread([&] {
        RegView32 = false;
        RegView64 = true;
        seen = ProgramFilesDir();
        CommonFilesDir();
        after32 = RegView32;
        after64 = RegView64;
    });
    EXPECT_EQ(own32, seen);
    EXPECT_FALSE(after32);
    EXPECT_TRUE(after64) << "the thread's flags are restored";
    // A cache poisoned by the 64-bit caller would show 'C:\Program Files\x'.
    EXPECT_EQ(Under(own32, "x"), ExpandPathMacros32("%PROGRAMFILES%\\x"));

    // The 64-bit getters switch to the 64-bit view and back.
    ResetSystemPathsForTests();
    RunOnThread([&] {
        RegView32 = true;
        RegView64 = false;
        seen = ProgramFiles64Dir();
        CommonFiles64Dir();
        after32 = RegView32;
        after64 = RegView64;
    });
    EXPECT_EQ(own64, seen);
    EXPECT_TRUE(after32);
    EXPECT_FALSE(after64);
}

TEST(SystemPathsU, ThreadsExpandingInBothViewsAtOnce)
{
    if (!OwnWin64())
        GTEST_SKIP() << "32-bit Windows has one registry view: both views expand "
                        "%PROGRAMFILES% to the same folder, so a mixed-up view cannot show";
    ResetSystemPathsForTests();
    const std::string expected32 = Under(OwnProgramFiles(KEY_WOW64_32KEY), "a\\b.exe");
    const std::string expected64 = Under(OwnProgramFiles(KEY_WOW64_64KEY), "a\\b.exe");
    ASSERT_NE(expected32, expected64);
    constexpr int kRounds = 100000;
    std::atomic<int> wrong32{0}, wrong64{0};
    std::atomic<bool> go{false};
    FnThread view32([&] {
        while (!go)
            Sleep(0);
        for (int i = 0; i < kRounds; ++i)
            if (ExpandPathMacros32("%PROGRAMFILES%\\a\\b.exe") != expected32)
                ++wrong32;
    });
    FnThread view64([&] {
        RegView32 = true; // a thread's own view changes nothing here
        while (!go)
            Sleep(0);
        for (int i = 0; i < kRounds; ++i)
            if (ExpandPathMacros64("%PROGRAMFILES%\\a\\b.exe") != expected64)
                ++wrong64;
    });
    view32.Start();
    view64.Start();
    go = true;
    ASSERT_EQ(WAIT_OBJECT_0, view32.WaitFor(120000));
    ASSERT_EQ(WAIT_OBJECT_0, view64.WaitFor(120000));
    EXPECT_EQ(0, wrong32.load());
    EXPECT_EQ(0, wrong64.load());
}

// ---------------------------------------------------------------------------
// Text in the system code page (also run under code page 932)

TEST(TextSystemPathsU, UpperCasingFollowsTheSystemCodePage)
{
    TPathReplacerStr replacer;
    bool changed = false;
    std::string result;
    if (GetACP() == 1252) {
        replacer.AddPath("C:\\D\xE4t\xE4\\", "%X%\\"); // "Dätä"
        replacer.Replace("c:\\d\xE4t\xE4\\y", changed, result);
        EXPECT_TRUE(changed);
        EXPECT_EQ("%X%\\y", result);
    } else if (GetACP() == 932) {
        // "ッ" is 0x83 0x62 and "ア" 0x83 0x41: a byte-wise ASCII upper-casing
        // would turn the one into the other.
        replacer.AddPath("C:\\\x83\x62\\", "%X%\\");
        replacer.Replace("c:\\\x83\x62\\y", changed, result);
        EXPECT_TRUE(changed);
        EXPECT_EQ("%X%\\y", result);
        replacer.Replace("C:\\\x83\x41\\y", changed, result);
        EXPECT_FALSE(changed);
    } else {
        GTEST_SKIP() << "code page " << GetACP() << " has no case here";
    }
}

TEST(TextSystemPathsU, DoubleBackslashesSkipDoubleByteCharacters)
{
    ScopedEnv dir("KORV_DBCS_DIR", "C:\\d");
    // 0x83 0x5C is "ソ" in code page 932, whose trail byte is a backslash; in
    // code page 1252 it is two characters, "ƒ" and a backslash.
    const std::string expanded = ExpandPathMacros32("%KORV_DBCS_DIR%\\\x83\x5C\\y");
    if (GetACP() == 932)
        EXPECT_EQ("C:\\d\\\x83\x5C\\y", expanded);
    else
        EXPECT_EQ("C:\\d\\\x83\\y", expanded);
}
