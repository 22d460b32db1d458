#pragma once
// Fixtures of the tray's tests: a scratch program key (HKCU and the HKLM
// 32-bit view) and scratch data folders put in place of the real ones, the
// display test, and the stand-ins beside the test program.

#include "KorvTest.h"

#include <windows.h>

#include <string>
#include <vector>

namespace traytest {

using ktest::Narrow;
using ktest::ReadLines;
using ktest::TestDir;
using ktest::Widen;
using ktest::WriteText;
// Waits (pumping this thread's messages) until Done or TimeoutMs passed.
template <typename F> bool WaitUntil(F Done, DWORD TimeoutMs)
{
    const DWORD start = GetTickCount();
    while (!Done()) {
        if (GetTickCount() - start > TimeoutMs)
            return false;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(20);
    }
    return true;
}

// Run on a second thread while Menu pops up: once the menu window is up, the
// keys are posted to it as if its first item were highlighted (where no item
// is, a VK_DOWN goes first to highlight it).
void PressMenuKeys(HMENU Menu, std::vector<WPARAM> Keys);

// The program key is a scratch key under HKCU and the HKLM 32-bit view; the
// program's data folders (common, user, their Startup and Translate folders)
// lie in a scratch folder; ProgramDir stays the test program's folder, so
// MainExePath is Korvelle.exe beside the test program. Everything is put
// back and removed in TearDown.
class TrayFixture : public ktest::ScratchKeyTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The scratch key path as ProgramKey gives it.
    std::string Key() const;
    // The scratch folder, ending in a backslash.
    std::string dir_;
    // Copies a stand-in beside the test program as Korvelle.exe ('' removes it).
    static bool PlaceMainProgram(const std::string& StubName);
    // Korvelle.log of the stand-in, one line per start ("args<TAB>tick").
    static std::vector<std::string> MainProgramLog();
    static void ClearMainProgramLog();
};

} // namespace traytest
