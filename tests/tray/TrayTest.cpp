#include "TrayTest.h"

#include "platform/RegistryU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"

#include <cstdlib>

namespace traytest {

void PressMenuKeys(HMENU Menu, std::vector<WPARAM> Keys)
{
    for (int i = 0; i < 1000; ++i) {
        HWND window = FindWindowA("#32768", nullptr);
        if (window && IsWindowVisible(window)) {
            Sleep(100);
            bool highlighted = false;
            for (int item = 0; item < GetMenuItemCount(Menu); ++item)
                highlighted |= (GetMenuState(Menu, item, MF_BYPOSITION) & MF_HILITE) != 0;
            if (!highlighted && Keys.front() != VK_ESCAPE)
                Keys.insert(Keys.begin(), VK_DOWN);
            for (WPARAM key : Keys) {
                PostMessageA(window, WM_KEYDOWN, key, 0);
                Sleep(50);
            }
            return;
        }
        Sleep(10);
    }
}

void TrayFixture::SetUp()
{
    ktest::ScratchKeyTest::SetUp();
    HklmTwin(KEY_WOW64_32KEY);
    SetProgramKeyForTests(Key());

    static int counter = 0;
    dir_ = TestDir() + "scratch." + std::to_string(++counter) + "\\";
    ktest::RemoveTree(Widen(dir_));
    ASSERT_TRUE(CreateDirectoryA(dir_.c_str(), nullptr));
    TProgramFolders folders = ComputeProgramFolders();
    folders.CommonDataDir = dir_ + "common\\";
    folders.BackupDir = folders.CommonDataDir + "Backup\\";
    folders.CommonStartupDir = folders.CommonDataDir + "Startup\\";
    folders.TranslateDir = folders.CommonDataDir + "Translate\\";
    folders.UserDataDir = dir_ + "user\\";
    folders.UserStartupDir = folders.UserDataDir + "Startup\\";
    for (const std::string* folder : {&folders.CommonDataDir, &folders.CommonStartupDir,
                                      &folders.UserDataDir, &folders.UserStartupDir})
        CreateDirectoryA(folder->c_str(), nullptr);
    SetProgramFoldersForTests(folders);
}

void TrayFixture::TearDown()
{
    ResetProgramFoldersForTests();
    SetProgramKeyForTests("");
    EXPECT_TRUE(ktest::RemoveTree(Widen(dir_))) << "scratch folder left behind";
    ktest::ScratchKeyTest::TearDown();
}

std::string TrayFixture::Key() const
{
    return Narrow(ScratchPath());
}

bool TrayFixture::PlaceMainProgram(const std::string& StubName)
{
    const std::string target = TestDir() + "Korvelle.exe";
    if (StubName.empty())
        return DeleteFileA(target.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    return CopyFileA((TestDir() + StubName).c_str(), target.c_str(), FALSE);
}

std::vector<std::string> TrayFixture::MainProgramLog()
{
    return ReadLines(TestDir() + "Korvelle.log");
}

void TrayFixture::ClearMainProgramLog()
{
    DeleteFileA((TestDir() + "Korvelle.log").c_str());
}

} // namespace traytest

// "--role=session_mark": 0 when the desktop window carries the mark of the
// Windows session in which the tray ran the start-up programs, 1 otherwise.
KTEST_ROLE(session_mark)
{
    return GetPropA(GetDesktopWindow(), "KorvelleStartup") ? 0 : 1;
}

// "--role=keep_session <ms>": a process with a window that keeps Wine's
// desktop (and so the session's mark) alive for that long, as a logged-on
// user's programs keep a Windows session.
KTEST_ROLE(keep_session)
{
    HWND window = CreateWindowExA(0, "STATIC", "keep session", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                  nullptr, nullptr, nullptr);
    const DWORD until =
        GetTickCount() + (args.empty() ? 60000 : std::wcstoul(args[0].c_str(), nullptr, 10));
    while (static_cast<LONG>(until - GetTickCount()) > 0) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        Sleep(50);
    }
    if (window)
        DestroyWindow(window);
    return 0;
}
