#include "ChildCases.h"
#include "FirefoxFixture.h"
#include "KorvTest.h"

#include "platform/FileUtilsU.h"
#include "platform/FirefoxU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <string>

namespace {

// ---------------------------------------------------------------------------
// The version text parse

TEST(FirefoxVersionParse, Table)
{
    struct Case {
        const char* text;
        bool fromRegistry;
        const char* retry; // nullptr: the retry must not be asked
        bool ok;
        int major, minor;
    } cases[] = {
        {"3.6.13 (en-US)", true, nullptr, true, 3, 6},
        {"4.0 (x86 en-US)", true, nullptr, true, 4, 0},
        {"10.0.2", true, nullptr, true, 10, 0},
        {" 12.0 ", true, nullptr, true, 12, 0},
        {"3.6 (en-US)", true, nullptr, true, 3, 6},
        {"3.6", false, nullptr, true, 3, 6},
        {"", true, nullptr, false, -1, -1},
        {"abc", true, nullptr, false, -1, -1},
        {"x.y", false, nullptr, false, -1, -1},
        {"x.y", true, "", false, -1, -1},
        // A pre-release text takes the executable's product version once.
        {"3.6b2 (en-US)", true, "3.6", true, 3, 6},
        {"3.6b2 (en-US)", true, "3.6.13", true, 3, 6},
        {"3.6b2 (en-US)", true, "3.6b2", false, -1, -1},
        {"3.6b2 (en-US)", false, nullptr, false, -1, -1},
        // A minor starting with "0" takes no retry.
        {"4.0b7 (x86 en-US)", true, nullptr, false, -1, -1},
        {"3.6b2.1", true, nullptr, false, -1, -1},
        {"-3.6", true, "", false, -1, -1},
        {"99999999999.1", true, "", false, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        int asked = 0;
        auto retry = [&] {
            ++asked;
            return std::string(c.retry ? c.retry : "");
        };
        int major = 7;
        int minor = 7;
        EXPECT_EQ(c.ok, ParseFirefoxVersion(c.text, c.fromRegistry, retry, major, minor));
        EXPECT_EQ(c.major, major);
        EXPECT_EQ(c.minor, minor);
        EXPECT_EQ(c.retry ? 1 : 0, asked);
    }
}

// ---------------------------------------------------------------------------
// The Program Files rule as a pure decision

TEST(FirefoxProgramFilesRule, FolderLiesUnderRoot)
{
    const std::string root = "C:\\Program Files\\";
    struct Case {
        std::string folder;
        bool under;
    } cases[] = {
        {"C:\\Program Files\\Mozilla Firefox\\", true},
        {"C:\\Program Files\\Mozilla Firefox", true},
        {"c:\\PROGRAM FILES\\mozilla firefox\\", true},
        {"C:\\Program Files\\.\\Mozilla Firefox\\", true},
        {"C:\\Program Files\\", false},
        {"C:\\Program Files", false},
        {"C:\\Program Files Evil\\", false},
        {"C:\\Program FilesX\\Mozilla Firefox\\", false},
        {"C:\\Program Files\\..\\users\\x\\", false},
        {"C:\\Program Files\\Mozilla Firefox\\..\\..\\Temp\\", false},
        {"D:\\Program Files\\Mozilla Firefox\\", false},
        {"Mozilla Firefox", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.under, FolderLiesUnder(c.folder, root)) << c.folder;
    EXPECT_FALSE(FolderLiesUnder("C:\\Program Files\\Mozilla Firefox\\", ""));
}

// ---------------------------------------------------------------------------
// Installed stand-ins: registry keys, folders and a running firefox.exe

class FirefoxInstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            ASSERT_FALSE(ktest::MozillaKeyExists(view)) << "a Mozilla key exists already";
        programFiles32_ = ProgramFiles32Dir();
        programFiles64_ = ProgramFiles64Dir();
        ASSERT_FALSE(programFiles32_.empty());
        ASSERT_FALSE(programFiles64_.empty());
        installDir_ = programFiles32_ + "Mozilla Firefox\\";
        ASSERT_FALSE(DirectoryExistsEx(installDir_)) << "a Firefox folder exists already";
        ASSERT_EQ(kNoProcess, FindProcessInSession("firefox.exe", kConsoleSession));
    }
    void TearDown() override
    {
        StopFirefox();
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            ktest::DeleteMozillaKey(view);
        folders_.RemoveAll();
    }

    // A folder holding the stand-in program as firefox.exe; returns the exe path.
    std::string InstallAt(const std::string& folder)
    {
        std::string dir = folders_.Make(folder);
        EXPECT_FALSE(dir.empty()) << "cannot make " << folder;
        std::string exe = dir + "firefox.exe";
        EXPECT_TRUE(ktest::CopyBesideProgram(L"ktest_firefox.exe", exe));
        return exe;
    }

    // Starts exe; the test ends it (StopFirefox), and it ends by itself after
    // a minute should the test not get there. Its lifetime is no deadline the
    // test must meet: a loaded machine may be slow between start and check.
    bool StartFirefox(const std::string& exe)
    {
        std::wstring cmd = L"\"" + WideFromAnsi(exe) + L"\" 60";
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                            &pi))
            return false;
        CloseHandle(pi.hThread);
        firefox_ = pi.hProcess;
        // Listed once it runs; waited for while it runs.
        while (WaitForSingleObject(pi.hProcess, 50) == WAIT_TIMEOUT) {
            if (FindProcessInSession("firefox.exe", kConsoleSession) == pi.dwProcessId)
                return true;
        }
        return false;
    }
    void StopFirefox()
    {
        if (!firefox_)
            return;
        TerminateProcess(firefox_, 0);
        WaitForSingleObject(firefox_, INFINITE);
        CloseHandle(firefox_);
        firefox_ = nullptr;
    }

    std::string programFiles32_;
    std::string programFiles64_;
    std::string installDir_;
    ktest::FixtureFolders folders_;
    HANDLE firefox_ = nullptr;
};

struct ViewThreadIo {
    std::string folder;
    bool view32 = true;
    bool view64 = false;
};

DWORD WINAPI FolderIn64BitView(LPVOID param)
{
    auto* io = static_cast<ViewThreadIo*>(param);
    RegView32 = false;
    RegView64 = true;
    io->folder = GetFirefoxFolder();
    io->view32 = RegView32;
    io->view64 = RegView64;
    return 0;
}

TEST_F(FirefoxInstallTest, FolderFromPathToExeInThe32BitView)
{
    std::string exe = InstallAt(installDir_);
    ASSERT_TRUE(ktest::WriteFirefoxKeys(KEY_WOW64_32KEY, "3.6.13 (en-US)", "3.6.13", exe));

    std::string folder = GetFirefoxFolder();
    EXPECT_TRUE(SameText(installDir_, folder)) << folder;
    EXPECT_TRUE(EndsWithBackslash(folder));
    EXPECT_FALSE(RegView32);
    EXPECT_FALSE(RegView64);

    // A thread in the 64-bit view gets the same answer and keeps its view.
    ViewThreadIo io;
    HANDLE thread = CreateThread(nullptr, 0, &FolderIn64BitView, &io, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    CloseHandle(thread);
    EXPECT_EQ(folder, io.folder);
    EXPECT_FALSE(io.view32);
    EXPECT_TRUE(io.view64);
}

TEST_F(FirefoxInstallTest, KeysOnlyInThe64BitViewGiveNoFolder)
{
    std::string exe = InstallAt(installDir_);
    ASSERT_TRUE(ktest::WriteFirefoxKeys(KEY_WOW64_64KEY, "3.6.13 (en-US)", "3.6.13", exe));
    if (!IsWin64())
        GTEST_SKIP() << "32-bit Windows has one view";
    EXPECT_EQ("", GetFirefoxFolder());
}

TEST_F(FirefoxInstallTest, VersionFromEachSource)
{
    int major = 0;
    int minor = 0;
    EXPECT_FALSE(GetFirefoxVersion(major, minor)) << "nothing installed";
    EXPECT_EQ(-1, major);
    EXPECT_EQ(-1, minor);
    EXPECT_EQ(0, GetFirefoxMajorVersion());

    // No keys: the product version of the program in its default folder (3.6.13).
    std::string exe = InstallAt(installDir_);
    ASSERT_TRUE(GetFirefoxVersion(major, minor));
    EXPECT_EQ(3, major);
    EXPECT_EQ(6, minor);

    // A pre-release text retries with the product version of PathToExe.
    ASSERT_TRUE(ktest::WriteFirefoxKeys(KEY_WOW64_32KEY, "3.6b2 (en-US)", "3.6b2", exe));
    ASSERT_TRUE(GetFirefoxVersion(major, minor));
    EXPECT_EQ(3, major);
    EXPECT_EQ(6, minor);

    // A readable text wins over the program's version.
    ASSERT_TRUE(ktest::WriteFirefoxKeys(KEY_WOW64_32KEY, "4.0 (x86 en-US)", "4.0", exe));
    EXPECT_EQ(4, GetFirefoxMajorVersion());
    EXPECT_FALSE(RegView32);
    EXPECT_FALSE(RegView64);
}

TEST_F(FirefoxInstallTest, VersionFromThe64BitView)
{
    if (!IsWin64())
        GTEST_SKIP() << "32-bit Windows has one view";
    ASSERT_TRUE(ktest::WriteFirefoxKeys(KEY_WOW64_64KEY, "10.0.2 (x64 en-US)", "", ""));
    int major = 0;
    int minor = 0;
    ASSERT_TRUE(GetFirefoxVersion(major, minor));
    EXPECT_EQ(10, major);
    EXPECT_EQ(0, minor);
}

TEST_F(FirefoxInstallTest, FoldersOutsideProgramFilesDoNotCount)
{
    std::string temp = TempDir();
    ASSERT_FALSE(temp.empty());
    const std::string places[] = {
        temp + "Korvelle.Test.Firefox\\",
        programFiles32_ + "..\\users\\korvelle-test-x\\",
        ExcludeTrailingBackslash(programFiles64_) + " Evil\\",
    };
    for (const std::string& place : places) {
        SCOPED_TRACE(place);
        std::string exe = InstallAt(place);
        ASSERT_TRUE(ktest::WriteFirefoxKeys(KEY_WOW64_32KEY, "3.6.13 (en-US)", "3.6.13", exe));
        EXPECT_TRUE(DirectoryExistsEx(place));
        EXPECT_EQ("", GetFirefoxFolder());
        std::string library = "unset";
        LoadFirefoxSQLite(place, library);
        EXPECT_EQ("", library);
        EXPECT_FALSE(IsUnderProgramFiles(place));
    }
    EXPECT_TRUE(IsUnderProgramFiles(programFiles32_ + "Mozilla Firefox\\"));
    EXPECT_TRUE(IsUnderProgramFiles(programFiles64_ + "Mozilla Firefox\\"));
}

TEST_F(FirefoxInstallTest, FolderOfTheRunningFirefox)
{
    std::string tempExe = InstallAt(TempDir() + "Korvelle.Test.Firefox\\");
    ASSERT_TRUE(StartFirefox(tempExe));
    EXPECT_EQ("", GetFirefoxFolder()) << "a firefox.exe of the user's own folder";
    StopFirefox();

    std::string exe = InstallAt(installDir_);
    ASSERT_TRUE(StartFirefox(exe));
    std::string folder = GetFirefoxFolder();
    EXPECT_TRUE(SameText(installDir_, folder)) << folder;

    // A PathToExe that does not count falls through to the running program.
    std::string temp = TempDir() + "Korvelle.Test.Firefox\\firefox.exe";
    ASSERT_TRUE(ktest::WriteFirefoxKeys(KEY_WOW64_32KEY, "3.6.13 (en-US)", "3.6.13", temp));
    folder = GetFirefoxFolder();
    EXPECT_TRUE(SameText(installDir_, folder)) << folder;
    StopFirefox();
}

// ---------------------------------------------------------------------------
// LoadFirefoxSQLite: one process per case, since what it loads stays loaded.

int g_loadCalls = 0;
HMODULE WINAPI CountingLoad(LPCSTR name, HANDLE file, DWORD flags)
{
    ++g_loadCalls;
    EXPECT_EQ(static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH), flags);
    return LoadLibraryExA(name, file, flags);
}

std::string ModulePath(HMODULE module)
{
    char buf[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameA(module, buf, static_cast<DWORD>(std::size(buf)));
    return std::string(buf, n);
}

int MarkerOf(HMODULE module)
{
    using Marker = int(__cdecl*)();
    auto fn =
        reinterpret_cast<Marker>(reinterpret_cast<void*>(GetProcAddress(module, "KorvMarker")));
    return fn ? fn() : -1;
}

KTEST_CHILD_CASE(FirefoxLoad, ProgramFilesFolder)
{
    ASSERT_EQ(1u, args.size());
    std::string folder = AnsiFromWide(args[0]);
    SetLibraryLoadCall(&CountingLoad);
    std::string name;
    LoadFirefoxSQLite(folder, name);
    EXPECT_EQ("mozsqlite3.dll", name);
    EXPECT_EQ(3, g_loadCalls) << "mozcrt19, mozglue and the SQLite library";
    struct Expected {
        const char* file;
        int marker;
    } loaded[] = {{"mozcrt19.dll", 2}, {"mozglue.dll", 1}};
    for (const Expected& e : loaded) {
        HMODULE module = GetModuleHandleA(e.file);
        ASSERT_NE(nullptr, module) << e.file;
        EXPECT_TRUE(SameText(folder + e.file, ModulePath(module))) << ModulePath(module);
        EXPECT_EQ(e.marker, MarkerOf(module)) << e.file;
    }
    EXPECT_EQ(nullptr, GetModuleHandleA("mozutils.dll")) << "not in the folder";
    HMODULE sqlite = GetModuleHandleA((folder + "mozsqlite3.dll").c_str());
    ASSERT_NE(nullptr, sqlite);
    EXPECT_EQ(sqlite, SQLiteLibraryHandle());
    EXPECT_EQ("mozsqlite3.dll", SQLiteLibraryName());
    char dllDir[MAX_PATH] = {};
    EXPECT_EQ(0u, GetDllDirectoryA(MAX_PATH, dllDir)) << dllDir;

    std::string again = "unset";
    LoadFirefoxSQLite(folder, again);
    EXPECT_EQ("mozsqlite3.dll", again);
    EXPECT_EQ(3, g_loadCalls) << "nothing is loaded twice";
    SetLibraryLoadCall(nullptr);
}

KTEST_CHILD_CASE(FirefoxLoad, PlainSqliteName)
{
    ASSERT_EQ(1u, args.size());
    // Given without its trailing backslash.
    std::string folder = ExcludeTrailingBackslash(AnsiFromWide(args[0]));
    SetLibraryLoadCall(&CountingLoad);
    std::string name;
    LoadFirefoxSQLite(folder, name);
    EXPECT_EQ("sqlite3.dll", name);
    EXPECT_EQ(1, g_loadCalls);
    EXPECT_EQ(GetModuleHandleA((folder + "\\sqlite3.dll").c_str()), SQLiteLibraryHandle());
    EXPECT_NE(nullptr, SQLiteLibraryHandle());
    SetLibraryLoadCall(nullptr);
}

KTEST_CHILD_CASE(FirefoxLoad, NothingFromElsewhere)
{
    ASSERT_EQ(1u, args.size());
    std::string folder = AnsiFromWide(args[0]);
    SetLibraryLoadCall(&CountingLoad);
    for (const std::string& given : {folder, std::string()}) {
        std::string name = "unset";
        LoadFirefoxSQLite(given, name);
        EXPECT_EQ("", name) << given;
    }
    EXPECT_EQ(0, g_loadCalls);
    EXPECT_EQ(nullptr, GetModuleHandleA("mozglue.dll"));
    EXPECT_EQ(nullptr, SQLiteLibraryHandle());
    EXPECT_EQ("", SQLiteLibraryName());
    SetLibraryLoadCall(nullptr);
}

class FirefoxLoadTest : public FirefoxInstallTest {
protected:
    // A folder holding stand-ins under the given names (besides name -> file name).
    std::string Populate(const std::string& folder,
                         std::initializer_list<std::pair<const wchar_t*, const char*>> files)
    {
        std::string dir = folders_.Make(folder);
        EXPECT_FALSE(dir.empty()) << folder;
        for (const auto& [beside, name] : files)
            EXPECT_TRUE(ktest::CopyBesideProgram(beside, dir + name)) << name;
        return dir;
    }
};

TEST_F(FirefoxLoadTest, RuntimesAndMozillaSqliteFromProgramFiles)
{
    std::string dir = Populate(programFiles32_ + "Korvelle.Test.FirefoxLoad\\",
                               {{L"ktest_mozglue.dll", "mozglue.dll"},
                                {L"ktest_mozcrt19.dll", "mozcrt19.dll"},
                                {L"sqlite3.dll", "mozsqlite3.dll"}});
    EXPECT_TRUE(ktest::RunChildCases("FirefoxLoad", "ProgramFilesFolder", {WideFromAnsi(dir)}));
}

TEST_F(FirefoxLoadTest, PlainSqliteFromProgramFiles)
{
    std::string dir = Populate(programFiles64_ + "Korvelle.Test.FirefoxLoad\\",
                               {{L"sqlite3.dll", "sqlite3.dll"}});
    EXPECT_TRUE(ktest::RunChildCases("FirefoxLoad", "PlainSqliteName", {WideFromAnsi(dir)}));
}

TEST_F(FirefoxLoadTest, NothingFromTempOrWithoutFirefox)
{
    std::string dir = Populate(TempDir() + "Korvelle.Test.FirefoxLoad\\",
                               {{L"ktest_mozglue.dll", "mozglue.dll"},
                                {L"ktest_mozcrt19.dll", "mozcrt19.dll"},
                                {L"sqlite3.dll", "mozsqlite3.dll"}});
    EXPECT_TRUE(ktest::RunChildCases("FirefoxLoad", "NothingFromElsewhere", {WideFromAnsi(dir)}));
}

} // namespace
