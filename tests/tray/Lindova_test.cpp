// Lindova.exe itself: its resources, and the program started beside a
// stand-in Korvelle.exe, with the real program key and data folders of the
// prefix (put back as they were afterwards).
#include "TrayTest.h"

#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/qvCommon.h"

#include <algorithm>

using namespace traytest;

namespace {

// ---------------------------------------------------------------------------
// The program file

struct TModule {
    explicit TModule(const std::string& File)
        : module(LoadLibraryExA(File.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE))
    {
    }
    ~TModule()
    {
        if (module)
            FreeLibrary(module);
    }
    std::string Resource(LPCSTR Name, LPCSTR Type) const
    {
        HRSRC info = FindResourceA(module, Name, Type);
        if (!info)
            return {};
        HGLOBAL data = LoadResource(module, info);
        const char* bytes = static_cast<const char*>(LockResource(data));
        return bytes ? std::string(bytes, SizeofResource(module, info)) : std::string();
    }
    HMODULE module;
};

#pragma pack(push, 2)
struct TGroupIconEntry {
    BYTE width, height, colors, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(LindovaProgram, CarriesItsIconTableVersionAndManifestButNoTexts)
{
    const std::string file = TestDir() + "Lindova.exe";
    TModule lindova(file);
    ASSERT_NE(nullptr, lindova.module);

    const std::string group = lindova.Resource("MAINICON", MAKEINTRESOURCEA(14)); // RT_GROUP_ICON
    ASSERT_GE(group.size(), 6u + sizeof(TGroupIconEntry));
    const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    ASSERT_EQ(1, count);
    const auto* entry = reinterpret_cast<const TGroupIconEntry*>(group.data() + 6);
    EXPECT_EQ(16, entry->width);
    EXPECT_EQ(16, entry->height);

    EXPECT_EQ("CFG_ID=24", lindova.Resource("CONFIG", MAKEINTRESOURCEA(10))); // RT_RCDATA
    EXPECT_EQ("", lindova.Resource("TRANSLATE", MAKEINTRESOURCEA(10)));
    const std::string manifest = lindova.Resource(MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    EXPECT_NE(std::string::npos, manifest.find("requestedExecutionLevel level=\"asInvoker\""))
        << manifest;
    DWORD handle = 0;
    EXPECT_GT(GetFileVersionInfoSizeA(file.c_str(), &handle), 0u);
}

// ---------------------------------------------------------------------------
// The running program

struct TProcess {
    HANDLE process = nullptr;
    DWORD id = 0;
};

class LindovaDesktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        ASSERT_EQ(nullptr, FindWindowA(kTrayWindowClassName, nullptr)) << "a tray is running";
        folders_ = ComputeProgramFolders();
        dir_ = "C:\\ktest-lindova." + Narrow(ktest::InstanceName()) + "\\";
        ktest::RemoveTree(Widen(dir_));
        ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
        ASSERT_TRUE(
            CopyFileA((TestDir() + "Lindova.exe").c_str(), (dir_ + "Lindova.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileA((TestDir() + "tray_stub_main_v1.exe").c_str(),
                              (dir_ + "Korvelle.exe").c_str(), FALSE));
        marker_ = "\"" + TestDir() + "ktest_marker.exe\"";
        SetEnvironmentVariableA("KORV_MARKER_LOG", (dir_ + "marker.log").c_str());

        TRegViewScope view(true, false);
        hadKey_[0] = RegKeyExists(HKEY_CURRENT_USER, kProgramKeyName);
        hadKey_[1] = RegKeyExists(HKEY_LOCAL_MACHINE, kProgramKeyName);
        hadFolder_[0] = DirectoryExistsEx(folders_.CommonDataDir);
        hadFolder_[1] = DirectoryExistsEx(folders_.UserDataDir);
        CreateDirectoryPath(folders_.CommonDataDir, TFileSecurity::Inherit, true);
        CreateDirectoryPath(folders_.UserStartupDir, TFileSecurity::Inherit, true);
        ForgetSession();
    }
    void TearDown() override
    {
        for (TProcess& p : processes_) {
            if (WaitForSingleObject(p.process, 0) == WAIT_TIMEOUT)
                TerminateProcess(p.process, 99);
            CloseHandle(p.process);
        }
        SetEnvironmentVariableA("KORV_MARKER_LOG", nullptr);
        ktest::RemoveTree(Widen(dir_));
        TRegViewScope view(true, false);
        if (!hadKey_[0])
            RegRemoveKeyTree(HKEY_CURRENT_USER, kProgramKeyName, true);
        if (!hadKey_[1])
            RegRemoveKeyTree(HKEY_LOCAL_MACHINE, kProgramKeyName, true);
        DeleteFileA((folders_.CommonDataDir + "startup.xml").c_str());
        DeleteFileA((folders_.UserDataDir + "startup.xml").c_str());
        if (!hadFolder_[0])
            ktest::RemoveTree(Widen(folders_.CommonDataDir));
        if (!hadFolder_[1])
            ktest::RemoveTree(Widen(folders_.UserDataDir));
        ForgetSession();
    }

    // The start-up programs run again: the mark of this Windows session goes.
    static void ForgetSession() { RemovePropA(GetDesktopWindow(), kStartupPropertyName); }
    static bool SessionMarked() { return GetPropA(GetDesktopWindow(), kStartupPropertyName); }

    static void SetShowTray(const char* Value)
    {
        TRegViewScope view(true, false);
        RegWriteString(HKEY_LOCAL_MACHINE, kProgramKeyName, "SHOW_TRAY", Value);
    }
    void WriteUserList(const std::string& Tag)
    {
        ASSERT_TRUE(WriteText(folders_.UserDataDir + "startup.xml",
                              "<startup>\r\n    <run value=\"&quot;" +
                                  marker_.substr(1, marker_.size() - 2) + "&quot; " + Tag +
                                  "\" />\r\n</startup>\r\n"));
    }
    TProcess Start(const std::string& Args = "/startup")
    {
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::string command = "\"" + dir_ + "Lindova.exe\" " + Args;
        if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            dir_.c_str(), &si, &pi)) {
            ADD_FAILURE() << "Lindova.exe did not start";
            return {};
        }
        CloseHandle(pi.hThread);
        processes_.push_back({pi.hProcess, pi.dwProcessId});
        return {pi.hProcess, pi.dwProcessId};
    }
    // The exit code, or 259 when it did not end within TimeoutMs.
    static DWORD WaitExit(const TProcess& P, DWORD TimeoutMs)
    {
        if (WaitForSingleObject(P.process, TimeoutMs) != WAIT_OBJECT_0)
            return STILL_ACTIVE;
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(P.process, &code);
        return code;
    }
    static BOOL CALLBACK CountTrayWindow(HWND Wnd, LPARAM Count)
    {
        char name[64] = {};
        GetClassNameA(Wnd, name, sizeof name);
        if (std::string(name) == kTrayWindowClassName)
            ++*reinterpret_cast<int*>(Count);
        return TRUE;
    }
    static int TrayWindows()
    {
        int count = 0;
        EnumWindows(&CountTrayWindow, reinterpret_cast<LPARAM>(&count));
        return count;
    }
    static HWND WaitForWindow()
    {
        HWND wnd = nullptr;
        WaitUntil([&] { return (wnd = FindWindowA(kTrayWindowClassName, nullptr)) != nullptr; },
                  20000);
        return wnd;
    }
    // The tags of marker.log, in order.
    std::vector<std::string> Markers() const
    {
        std::vector<std::string> tags;
        for (const std::string& line : ReadLines(dir_ + "marker.log"))
            tags.push_back(line.substr(0, line.find(' ')));
        return tags;
    }

public:
    void Stop()
    {
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::string command = "\"" + dir_ + "Korvelle.exe\" /STOP";
        ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &pi));
        WaitForSingleObject(pi.hProcess, 10000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }

protected:
    TProgramFolders folders_;
    std::string dir_;
    std::string marker_;
    bool hadKey_[2] = {};
    bool hadFolder_[2] = {};
    std::vector<TProcess> processes_;
};

TEST_F(LindovaDesktop, ASecondStartLeavesEverythingToTheFirst)
{
    SetShowTray("1");
    WriteUserList("first");
    const TProcess first = Start();
    ASSERT_NE(nullptr, WaitForWindow());
    ASSERT_TRUE(WaitUntil([&] { return SessionMarked(); }, 30000)) << "the first run ends";
    EXPECT_EQ((std::vector<std::string>{"first"}), Markers());

    // What a second start must not touch.
    ForgetSession();
    ASSERT_TRUE(WriteText(dir_ + "Lindova.old", "old"));
    const TProcess second = Start();
    // It ends by itself, while the first one runs on.
    EXPECT_EQ(0u, WaitExit(second, 60000));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(first.process, 0));
    WaitUntil([] { return false; }, 1500);
    EXPECT_EQ(1u, Markers().size());
    EXPECT_FALSE(SessionMarked());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((dir_ + "Lindova.old").c_str()));
    EXPECT_EQ(1, TrayWindows());

    Stop();
    EXPECT_EQ(0u, WaitExit(first, 10000));
}

TEST_F(LindovaDesktop, EveryWayOutEndsWithStatusZero)
{
    SetShowTray("1");
    const struct {
        const char* name;
        std::function<void(LindovaDesktop&, HWND)> end;
    } cases[] = {
        {"the main program's /STOP", [](LindovaDesktop& T, HWND) { T.Stop(); }},
        {"a posted WM_QUIT", [](LindovaDesktop&, HWND Wnd) { PostMessageA(Wnd, WM_QUIT, 0, 0); }},
        {"WM_CLOSE", [](LindovaDesktop&, HWND Wnd) { PostMessageA(Wnd, WM_CLOSE, 0, 0); }},
        {"WM_ENDSESSION",
         [](LindovaDesktop&, HWND Wnd) { SendMessageA(Wnd, WM_ENDSESSION, 1, 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteText(dir_ + "Lindova.old", "old"));
        const TProcess tray = Start();
        const HWND wnd = WaitForWindow();
        ASSERT_NE(nullptr, wnd);
        EXPECT_TRUE(WaitUntil(
            [&] {
                return GetFileAttributesA((dir_ + "Lindova.old").c_str()) ==
                       INVALID_FILE_ATTRIBUTES;
            },
            5000))
            << "the update's leftover is deleted";
        WaitUntil([] { return false; }, 500);
        c.end(*this, wnd);
        EXPECT_EQ(0u, WaitExit(tray, 10000));
        EXPECT_TRUE(
            WaitUntil([] { return FindWindowA(kTrayWindowClassName, nullptr) == nullptr; }, 5000));
    }
}

TEST_F(LindovaDesktop, WithoutTheIconTheTrayEndsAfterThePostponedPrograms)
{
    SetShowTray("0");
    WriteUserList("user");
    // Under Wine every file belongs to the one account the prefix runs as,
    // which is the account of this (elevated) tray's own files: the
    // all-users list passes the trust test. The runner's tests refuse
    // planted ones.
    ASSERT_TRUE(WriteText(folders_.CommonDataDir + "startup.xml",
                          "<startup>\r\n    <run value=\"&quot;" +
                              marker_.substr(1, marker_.size() - 2) +
                              "&quot; common\" />\r\n</startup>\r\n"));
    const TProcess tray = Start();
    EXPECT_EQ(0u, WaitExit(tray, 30000));
    WaitUntil([&] { return Markers().size() >= 2; }, 5000);
    EXPECT_EQ((std::vector<std::string>{"common", "user"}), Markers());
    EXPECT_TRUE(SessionMarked());
}

TEST_F(LindovaDesktop, TwoStartsAtOnceMakeOneTrayAndOneRun)
{
    SetShowTray("1");
    WriteUserList("once");
    const TProcess a = Start();
    const TProcess b = Start();
    ASSERT_NE(nullptr, WaitForWindow());
    ASSERT_TRUE(WaitUntil([&] { return SessionMarked(); }, 30000));
    WaitUntil([] { return false; }, 1000);
    EXPECT_EQ(1u, Markers().size());
    EXPECT_EQ(1, TrayWindows());
    const bool aEnded = WaitForSingleObject(a.process, 0) == WAIT_OBJECT_0;
    const bool bEnded = WaitForSingleObject(b.process, 0) == WAIT_OBJECT_0;
    EXPECT_NE(aEnded, bEnded) << "one of the two ended at once";
    Stop();
    EXPECT_EQ(0u, WaitExit(a, 10000));
    EXPECT_EQ(0u, WaitExit(b, 10000));
}

// Exports a key of the 32-bit view to a file; its text (UTF-16, '' when reg
// failed).
std::wstring ExportKey(const std::string& Key, const std::string& File)
{
    DeleteFileA(File.c_str());
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string command = "reg.exe export \"" + Key + "\" \"" + File + "\" /reg:32 /y";
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        return {};
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    const std::string bytes = ktest::ReadFileBytes(Widen(File));
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
}

TEST_F(LindovaDesktop, ARunWritesNothingToTheProgramKeys)
{
    SetShowTray("0");
    {
        TRegViewScope view(true, false);
        ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, kProgramKeyName, "TRACK_USER", "0"));
        ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, kProgramKeyName, "SCAN_RESULT", "1,2,3"));
    }
    // The tray writes nothing there, not even lng.ini's LngVer.
    EXPECT_EQ(0u, WaitExit(Start(), 30000));
    const std::string hklm = "HKLM\\" + std::string(kProgramKeyName);
    const std::string hkcu = "HKCU\\" + std::string(kProgramKeyName);
    const std::wstring beforeLm = ExportKey(hklm, dir_ + "lm1.reg");
    const std::wstring beforeCu = ExportKey(hkcu, dir_ + "cu1.reg");
    EXPECT_EQ(std::wstring::npos, beforeLm.find(L"\"LngVer\"")) << Narrow(beforeLm);
    ASSERT_NE(std::wstring::npos, beforeCu.find(L"SCAN_RESULT")) << Narrow(beforeCu);
    ForgetSession();
    EXPECT_EQ(0u, WaitExit(Start(), 30000));
    EXPECT_EQ(beforeLm, ExportKey(hklm, dir_ + "lm2.reg"));
    EXPECT_EQ(beforeCu, ExportKey(hkcu, dir_ + "cu2.reg"));
}

} // namespace
