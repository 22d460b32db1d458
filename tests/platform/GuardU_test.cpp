#include "platform/GuardU.h"

#include "KorvTest.h"

#include <stdexcept>
#include <string>

namespace {

std::string gLastGuarded;
void RecordingHook(const char* text)
{
    gLastGuarded = text;
}

LRESULT CALLBACK ThrowingWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_APP) {
        LRESULT result = 1;
        Guard([&] {
            result = 2;
            throw std::runtime_error("thrown inside the window procedure");
        });
        return result;
    }
    return DefWindowProcW(wnd, msg, wp, lp);
}

} // namespace

TEST(GuardU, WindowProcedureThrowingInsideGuardKeepsProcessAlive)
{
    TGuardHook old = SetGuardHook(&RecordingHook);
    WNDCLASSW wc{};
    wc.lpfnWndProc = &ThrowingWndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KorvelleGuardTest";
    ASSERT_NE(0, RegisterClassW(&wc));
    HWND wnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
    ASSERT_NE(nullptr, wnd);

    gLastGuarded.clear();
    EXPECT_EQ(2, SendMessageW(wnd, WM_APP, 0, 0));
    EXPECT_EQ("thrown inside the window procedure", gLastGuarded);

    DestroyWindow(wnd);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
    SetGuardHook(old);
}

TEST(GuardU, ReportsUnknownExceptionsAndSurvivesThrowingHook)
{
    TGuardHook old = SetGuardHook(&RecordingHook);
    EXPECT_FALSE(Guard([] { throw 42; }));
    EXPECT_EQ("unknown exception", gLastGuarded);
    EXPECT_TRUE(Guard([] {}));

    SetGuardHook([](const char*) { throw std::runtime_error("hook"); });
    EXPECT_FALSE(Guard([] { throw std::runtime_error("x"); }));
    SetGuardHook(old);
}
