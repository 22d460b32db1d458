// The glass frame through a fake table of the five calls (Wine's composition
// is always off and its blur is not implemented), and once through Wine's
// own dwmapi.

#include "controls/AeroGlassU.h"
#include "platform/BindingU.h"

#include "FormTest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <sstream>
#include <string>
#include <vector>

using formtest::PixelAt;
using formtest::Render;

namespace {

// What the fake calls saw, in order.
std::vector<std::string> gCalls;
bool gComposition = false;
UINT gHandledByDwm = 0;
DWM_BLURBEHIND gLastBlur{};

BOOL WINAPI FakeDefWindowProc(HWND, UINT msg, WPARAM, LPARAM, LRESULT* result)
{
    if (gHandledByDwm && msg == gHandledByDwm) {
        *result = 77;
        gCalls.push_back("dwm handled");
        return TRUE;
    }
    return FALSE;
}

HRESULT WINAPI FakeIsCompositionEnabled(BOOL* on)
{
    *on = gComposition;
    return S_OK;
}

HRESULT WINAPI FakeExtendFrame(HWND, const MARGINS* m)
{
    std::ostringstream s;
    s << "extend " << m->cxLeftWidth << " " << m->cxRightWidth << " " << m->cyTopHeight << " "
      << m->cyBottomHeight;
    gCalls.push_back(s.str());
    return S_OK;
}

HRESULT WINAPI FakeEnableBlur(HWND, const DWM_BLURBEHIND* blur)
{
    gLastBlur = *blur;
    gCalls.push_back(blur->dwFlags ? "blur on" : "blur off");
    return S_OK;
}

BOOL WINAPI FakeSetLayered(HWND wnd, COLORREF key, BYTE alpha, DWORD flags)
{
    std::ostringstream s;
    s << "key " << std::hex << key;
    gCalls.push_back(s.str());
    return SetLayeredWindowAttributes(wnd, key, alpha, flags);
}

const TDwmCalls kFake{&FakeDefWindowProc, &FakeIsCompositionEnabled, &FakeExtendFrame,
                      &FakeEnableBlur,    &FakeSetLayered,           true};

class AeroGlass : public ::testing::Test {
protected:
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        formtest::InitApplication();
        gCalls.clear();
        gComposition = true;
        gHandledByDwm = 0;
        SetDwmCallsForTests(&kFake);
        form_ = std::make_unique<TForm>();
        form_->SetBorderStyle(TBorderStyle::None);
        form_->SetBounds(20, 500, 200, 100);
        form_->SetColor(clWhite);
        form_->Show();
        // Every change of the extended style, as the window tells it.
        form_->AddWindowHook([](TMessage& msg, const TWindowHookChain::TNext& next) {
            if (msg.Msg == WM_STYLECHANGED && msg.WParam == static_cast<WPARAM>(GWL_EXSTYLE)) {
                auto* style = reinterpret_cast<const STYLESTRUCT*>(msg.LParam);
                gCalls.push_back(style->styleNew & WS_EX_LAYERED ? "style layered" : "style reset");
            }
            next(msg);
        });
    }
    void TearDown() override
    {
        form_.reset();
        SetDwmCallsForTests(nullptr);
    }
    std::unique_ptr<TForm> form_;
};

} // namespace

TEST_F(AeroGlass, MarginsSheetAndNegativeValues)
{
    TAeroGlass glass(*form_);
    EXPECT_EQ(0, glass.GlassLeft());
    EXPECT_EQ(32, glass.GlassTop());
    EXPECT_EQ(kGlassColorKey, glass.ColorKey());
    EXPECT_FALSE(glass.BlurBehind());
    EXPECT_FALSE(glass.SheetOfGlass());
    glass.SetGlassLeft(1);
    glass.SetGlassTop(2);
    glass.SetGlassRight(3);
    glass.SetGlassBottom(4);
    EXPECT_TRUE(gCalls.empty()) << "nothing is extended before Activate";
    glass.Activate();
    ASSERT_FALSE(gCalls.empty());
    EXPECT_EQ("extend 1 3 2 4", gCalls[0]) << "MARGINS: left, right, top, bottom";
    gCalls.clear();
    glass.SetGlassTop(-10);
    EXPECT_EQ(0, glass.GlassTop());
    EXPECT_EQ((std::vector<std::string>{"extend 1 3 0 4"}), gCalls);
    gCalls.clear();
    glass.SetSheetOfGlass(true);
    EXPECT_EQ((std::vector<std::string>{"extend -1 -1 -1 -1"}), gCalls);
    gCalls.clear();
    glass.SetGlassLeft(9);
    EXPECT_TRUE(gCalls.empty()) << "a sheet keeps its extension";
}

TEST_F(AeroGlass, BlurIsSetAtOnceWithEveryBitOfEnableAndClearedToZero)
{
    TAeroGlass glass(*form_);
    glass.SetBlurBehind(true);
    ASSERT_EQ((std::vector<std::string>{"blur on"}), gCalls) << "also before Activate";
    DWM_BLURBEHIND on{};
    on.dwFlags = DWM_BB_ENABLE;
    std::memset(&on.fEnable, 0xFF, sizeof(on.fEnable));
    EXPECT_EQ(0, std::memcmp(&on, &gLastBlur, sizeof(on)));
    glass.SetBlurBehind(false);
    DWM_BLURBEHIND off{};
    EXPECT_EQ(0, std::memcmp(&off, &gLastBlur, sizeof(off)));
}

TEST_F(AeroGlass, CompositionTurnedOnLaterIsAppliedByTheChangeMessage)
{
    gComposition = false;
    HWND wnd = form_->Handle();
    const LONG before = GetWindowLongW(wnd, GWL_EXSTYLE);
    TAeroGlass glass(*form_);
    glass.SetBlurBehind(true);
    gCalls.clear();
    glass.Activate();
    EXPECT_EQ((std::vector<std::string>{"style reset", "blur on"}), gCalls)
        << "composition off: no extension and no key, the style set back to the captured one";
    EXPECT_EQ(before, GetWindowLongW(wnd, GWL_EXSTYLE)) << "the style stays as captured";

    gComposition = true;
    gCalls.clear();
    ValidateRect(wnd, nullptr);
    SendMessageW(wnd, WM_DWMCOMPOSITIONCHANGED, 0, 0);
    EXPECT_EQ((std::vector<std::string>{"style reset", "style layered", "key dcdbda", "blur on",
                                        "extend 0 0 0 0", "extend 0 0 32 0"}),
              gCalls);
    RECT update{};
    EXPECT_TRUE(GetUpdateRect(wnd, &update, FALSE)) << "redrawn";
    EXPECT_TRUE(GetWindowLongW(wnd, GWL_EXSTYLE) & WS_EX_LAYERED);
    COLORREF key = 0;
    DWORD flags = 0;
    ASSERT_TRUE(GetLayeredWindowAttributes(wnd, &key, nullptr, &flags));
    EXPECT_EQ(0x00DCDBDAu, key);
    EXPECT_TRUE(flags & LWA_COLORKEY);
}

TEST_F(AeroGlass, MessageHandledByTheDwmSkipsTheRestOfTheChain)
{
    constexpr UINT kProbe = WM_APP + 21;
    bool reached = false;
    form_->AddWindowHook([&](TMessage& msg, const TWindowHookChain::TNext& next) {
        reached |= msg.Msg == kProbe;
        next(msg);
    });
    TAeroGlass glass(*form_);
    glass.Activate();
    gHandledByDwm = kProbe;
    EXPECT_EQ(77, SendMessageW(form_->Handle(), kProbe, 0, 0));
    EXPECT_FALSE(reached);
    gHandledByDwm = 0;
    SendMessageW(form_->Handle(), kProbe, 0, 0);
    EXPECT_TRUE(reached);
}

TEST_F(AeroGlass, PainterFillsTheMarginsInTheKeyThenTheFormPaints)
{
    form_->OnPaint = [](TCustomControl& sender) {
        sender.Canvas().Brush().SetColor(clBlue);
        sender.Canvas().FillRect(RECT{40, 40, 50, 50});
    };
    TAeroGlass glass(*form_);
    glass.SetGlassLeft(5);
    glass.SetGlassTop(10);
    glass.SetGlassRight(6);
    glass.SetGlassBottom(7);
    glass.Activate();
    std::unique_ptr<TBitmap> shot = Render(*form_);
    const int w = form_->ClientWidth(), h = form_->ClientHeight();
    EXPECT_EQ(kGlassColorKey, PixelAt(*shot, 4, 50));
    EXPECT_EQ(clWhite, PixelAt(*shot, 5, 50));
    EXPECT_EQ(kGlassColorKey, PixelAt(*shot, 100, 9));
    EXPECT_EQ(clWhite, PixelAt(*shot, 100, 10));
    EXPECT_EQ(kGlassColorKey, PixelAt(*shot, w - 6, 50));
    EXPECT_EQ(clWhite, PixelAt(*shot, w - 7, 50));
    EXPECT_EQ(kGlassColorKey, PixelAt(*shot, 100, h - 7));
    EXPECT_EQ(clWhite, PixelAt(*shot, 100, h - 8));
    EXPECT_EQ(clBlue, PixelAt(*shot, 45, 45)) << "the form's own painting after the glass";
    EXPECT_EQ(clBlack, form_->Canvas().Pen().Color()) << "the pen put back";

    gComposition = false;
    shot = Render(*form_);
    EXPECT_EQ(clWhite, PixelAt(*shot, 4, 50)) << "composition off: no glass painted";
    EXPECT_EQ(clBlue, PixelAt(*shot, 45, 45));
}

TEST_F(AeroGlass, HooksAddedAfterTheGlassSurviveIt)
{
    constexpr UINT kProbe = WM_APP + 22;
    int later = 0;
    auto glass = std::make_unique<TAeroGlass>(*form_);
    glass->Activate();
    form_->AddWindowHook([&](TMessage& msg, const TWindowHookChain::TNext& next) {
        later += msg.Msg == kProbe;
        next(msg);
    });
    int painted = 0;
    form_->AddPaintHandler([&](TCanvas& canvas, const TPaintChain::TNext& next) {
        ++painted;
        next(canvas);
    });
    glass.reset();
    gHandledByDwm = kProbe;
    SendMessageW(form_->Handle(), kProbe, 0, 0);
    EXPECT_EQ(1, later) << "the later hook runs, and the glass's no longer answers";
    Render(*form_);
    EXPECT_EQ(1, painted);
}

TEST(AeroGlassReal, WineDwmapiRunsEverythingAndChangesNothing)
{
    KTEST_NEEDS_DISPLAY();
    formtest::InitApplication();
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 600, 100, 50);
    HWND wnd = form.Handle();
    const LONG before = GetWindowLongW(wnd, GWL_EXSTYLE);
    {
        TAeroGlass first(form);
        TAeroGlass second(form);
        first.SetBlurBehind(true);
        first.Activate();
        first.SetGlassLeft(3);
        first.SetSheetOfGlass(true);
        SendMessageW(wnd, WM_DWMCOMPOSITIONCHANGED, 0, 0);
        SendMessageW(wnd, WM_THEMECHANGED, 0, 0);
        Render(form);
        // Wine: composition is always off.
        EXPECT_FALSE(TAeroGlass::IsCompositionEnabled());
        EXPECT_EQ(before, GetWindowLongW(wnd, GWL_EXSTYLE));
    }
    EXPECT_EQ(1, DwmBindCount()) << "bound once per process, not per glass";
    EXPECT_TRUE(DwmCalls().libraryLoaded);
    HMODULE dwmapi = GetModuleHandleW(L"dwmapi.dll");
    ASSERT_NE(nullptr, dwmapi);
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(dwmapi, path, MAX_PATH);
    std::wstring loaded = path, expected = SystemFolderPath(L"dwmapi.dll");
    for (auto* s : {&loaded, &expected})
        for (wchar_t& c : *s)
            c = static_cast<wchar_t>(std::towlower(c));
    EXPECT_EQ(expected, loaded) << "from the system folder";
}

// "--role=glass_version": 0 when a glass made and activated asked nothing of
// dwmapi (the program runs as Windows 98).
KTEST_ROLE(glass_version)
{
    formtest::InitApplication();
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    TAeroGlass glass(form);
    glass.SetBlurBehind(true);
    glass.Activate();
    if (DwmBindCount() != 0)
        return 2;
    if (DwmCalls().libraryLoaded || DwmCalls().extendFrameIntoClientArea)
        return 3;
    return 0;
}

class AeroGlassVersion : public ktest::ScratchDirTest {};

TEST_F(AeroGlassVersion, WindowsNinetyEightAsksNothingOfDwmapi)
{
    KTEST_NEEDS_DISPLAY();
    const ktest::ChildResult r = ktest::RunSelfAsVersion(dir_, L"win98", L"glass_version");
    ASSERT_TRUE(r.started);
    EXPECT_EQ(0u, r.exitCode);
}
