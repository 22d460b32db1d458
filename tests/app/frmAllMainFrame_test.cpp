// The main window's classic frame (rounded top corners, the inset client
// panel, the hit test and the drag by the top area) and the support phone
// panel of its header.

#include "AppTest.h"
#include "FakeService.h"
#include "app/frmAllMain.h"
#include "app/qvNetThreads.h"
#include "controls/AeroGlassU.h"
#include "controls/KvExtCtrls.h"
#include "controls/KvPng.h"
#include "controls/SkinControls.h"
#include "platform/RegistryU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace apptest;

// The glass frame's calls with composition on (Wine reports it off and
// draws no glass): the margins each extension asked for, in order.
std::vector<std::string> gExtensions;

HRESULT WINAPI FakeCompositionEnabled(BOOL* On)
{
    *On = TRUE;
    return S_OK;
}

HRESULT WINAPI FakeExtendFrame(HWND, const MARGINS* M)
{
    std::ostringstream s;
    s << M->cxLeftWidth << " " << M->cxRightWidth << " " << M->cyTopHeight << " "
      << M->cyBottomHeight;
    gExtensions.push_back(s.str());
    return S_OK;
}

// No colour key: a layered window would show the desktop through the header.
const TDwmCalls kGlassOn{.isCompositionEnabled = &FakeCompositionEnabled,
                         .extendFrameIntoClientArea = &FakeExtendFrame,
                         .libraryLoaded = true};

// The window as a user sees it: what lies outside its region is the
// desktop's black.
void SaveWindowShot(TForm& Form, const std::wstring& Name)
{
    HWND wnd = Form.Handle();
    TBitmap bitmap(std::max(Form.ClientWidth(), 1), std::max(Form.ClientHeight(), 1));
    Form.PaintTo(bitmap.Canvas().Handle(), 0, 0);
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    if (GetWindowRgn(wnd, region) != ERROR) {
        HRGN outside = CreateRectRgn(0, 0, bitmap.Width(), bitmap.Height());
        CombineRgn(outside, outside, region, RGN_DIFF);
        FillRgn(bitmap.Canvas().Handle(), outside,
                static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        DeleteObject(outside);
    }
    DeleteObject(region);
    GdiFlush();
    TPNGPicture png;
    ASSERT_TRUE(png.Assign(bitmap));
    png.SetHasAlpha(false);
    EXPECT_TRUE(png.SaveToFile(Narrow(ktest::EvidenceDir() + Name + L".png"))) << png.LastError();
}

struct TRegionProbe {
    int x, y;
    bool inside;
};

// The classic region: the two top corners cut round, the rest whole.
void ExpectClassicRegion(HWND Wnd, int Width, int Height)
{
    const TRegionProbe probes[] = {
        {0, 0, false}, {Width - 1, 0, false},         {8, 8, true},
        {0, 20, true}, {Width - 1, Height - 1, true},
    };
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(ERROR, GetWindowRgn(Wnd, region));
    for (const TRegionProbe& p : probes)
        EXPECT_EQ(p.inside, PtInRegion(region, p.x, p.y) != FALSE) << p.x << "," << p.y;
    DeleteObject(region);
}

class FrameTest : public WizardFixture {
protected:
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        WizardFixture::SetUp();
    }
    void Make()
    {
        MakeForms();
        wnd_ = main_->Handle();
        ASSERT_NE(nullptr, wnd_);
    }
    HWND wnd_ = nullptr;
};

TEST_F(FrameTest, TheClassicFrameHasRoundedTopCornersAndMovesByItsTop)
{
    Make();
    EXPECT_FALSE(main_->GlassMode()) << "Wine reports composition off";
    RECT client{};
    GetClientRect(wnd_, &client);
    EXPECT_EQ(776, client.right);
    EXPECT_EQ(553, client.bottom);
    EXPECT_EQ(0, GetWindowLongW(wnd_, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME));
    ASSERT_NE(nullptr, main_->PanelClient());
    EXPECT_EQ(3, main_->PanelClient()->Left());
    EXPECT_EQ(0, main_->PanelClient()->Top());

    ExpectClassicRegion(wnd_, client.right, client.bottom);

    RECT window{};
    GetWindowRect(wnd_, &window);
    EXPECT_EQ(HTCLIENT, SendMessageW(wnd_, WM_NCHITTEST, 0, MAKELPARAM(window.left + 10, window.top + 300)));

    // The drag: a press on the top image above the logo's height asks for
    // the caption's move; lower down it does not. The spy keeps Wine's move
    // loop out of the test.
    std::vector<WPARAM> seen;
    auto spy = main_->AddWindowHook([&](TMessage& msg, const TWindowHookChain::TNext& next) {
        if (msg.Msg == WM_NCLBUTTONDOWN) {
            seen.push_back(msg.WParam);
            return;
        }
        next(msg);
    });
    auto* header = main_->Find<TPanel>(L"PanelHeader");
    ASSERT_NE(nullptr, header);
    HWND headerWnd = header->Handle();
    SendMessageW(headerWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(500, 5));
    SendMessageW(headerWnd, WM_LBUTTONUP, 0, MAKELPARAM(500, 5));
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(static_cast<WPARAM>(HTCAPTION), seen[0]);
    SendMessageW(headerWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(500, 60));
    SendMessageW(headerWnd, WM_LBUTTONUP, 0, MAKELPARAM(500, 60));
    EXPECT_EQ(1u, seen.size()) << "below the logo's height";
    main_->RemoveWindowHook(spy);

    main_->Show();
    Pump(100);
    SaveWindowShot(*main_, L"main_frame_classic");
}

class GlassFrameTest : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        gExtensions.clear();
        SetDwmCallsForTests(&kGlassOn);
    }
    void TearDown() override
    {
        FrameTest::TearDown();
        SetDwmCallsForTests(nullptr);
    }
};

TEST_F(GlassFrameTest, WithCompositionOnTheHeaderIsGlassAndTheClassicFrameComesBack)
{
    ChangeSettings([](TSettings& s) {
        s.PHONE_NUMBER = "+1 800 555 0199";
        s.LANGUAGE = L"en";
    });
    Make();
    ASSERT_TRUE(main_->GlassMode());
    const int border = GetSystemMetrics(SM_CXFIXEDFRAME) + 1;
    EXPECT_EQ(border, TMainForm::FrameBorder());
    const LONG style = GetWindowLongW(wnd_, GWL_STYLE);
    EXPECT_EQ(static_cast<LONG>(WS_SYSMENU | WS_MINIMIZEBOX),
              style & (WS_SYSMENU | WS_MINIMIZEBOX));
    EXPECT_NE(0, style & WS_CAPTION) << "a single border";
    RECT client{};
    GetClientRect(wnd_, &client);
    EXPECT_EQ(2 * border + 770, client.right);
    EXPECT_EQ(border + 545, client.bottom);

    // The frame is extended by the header (less 5) at the top and by the
    // border elsewhere (left, right, top, bottom).
    ASSERT_NE(nullptr, main_->Glass());
    EXPECT_TRUE(main_->Glass()->Active());
    ASSERT_FALSE(gExtensions.empty());
    const std::string margins =
        std::to_string(border) + " " + std::to_string(border) + " 75 " + std::to_string(border);
    EXPECT_EQ(margins, gExtensions.back());

    // The title controls sit on the form itself, over the client panel.
    struct TTitle {
        const wchar_t* name;
        int top;
    };
    const TTitle titles[] = {{L"ImageLogo", -3},
                             {L"PaintSupportCall", -3},
                             {L"ScanTab", 37},
                             {L"SupportTab", 37},
                             {L"ButtonHelp", 38}};
    for (const TTitle& t : titles) {
        auto* control = main_->Find<TControl>(t.name);
        ASSERT_NE(nullptr, control) << WideToUtf8(t.name);
        EXPECT_EQ(t.top, control->Top()) << WideToUtf8(t.name);
        EXPECT_EQ(static_cast<TWinControl*>(main_), control->Parent()) << WideToUtf8(t.name);
    }
    auto* logo = main_->Find<TSkinImage>(L"ImageLogo");
    ASSERT_NE(nullptr, logo);
    EXPECT_EQ(border, logo->Left());
    ASSERT_TRUE(main_->SupportPanel()->Visible());
    EXPECT_EQ(logo->Left() + logo->Width(), main_->SupportPanel()->Left());
    EXPECT_EQ(L"LOGO_AERO", logo->ImageName());
    EXPECT_FALSE(logo->Transparent());
    for (const wchar_t* hidden : {L"PanelSys", L"ImageTop", L"PanelHeader"}) {
        auto* control = main_->Find<TControl>(hidden);
        ASSERT_NE(nullptr, control);
        EXPECT_FALSE(control->Visible()) << WideToUtf8(hidden);
    }
    TPanel* panel = main_->PanelClient();
    ASSERT_NE(nullptr, panel);
    EXPECT_EQ(border, panel->Left());
    EXPECT_EQ(75, panel->Top());
    EXPECT_EQ(470, panel->Height());
    // The content starts at the panel's top: the pages and the bottom bar
    // fill it exactly.
    EXPECT_EQ(0, main_->PageTop());
    auto* bar = main_->Find<TPanel>(L"PanelBar");
    ASSERT_NE(nullptr, bar);
    EXPECT_EQ(panel->Height(), bar->Top() + bar->Height());
    auto* steps = main_->Find<TPanel>(L"PanelSteps");
    ASSERT_NE(nullptr, steps);
    EXPECT_EQ(0, steps->Top());

    HRGN region = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(ERROR, GetWindowRgn(wnd_, region)) << "no region under the glass";
    DeleteObject(region);

    // The client area reaches the window's top edge.
    RECT window{};
    GetWindowRect(wnd_, &window);
    NCCALCSIZE_PARAMS params{};
    params.rgrc[0] = window;
    WINDOWPOS pos{};
    params.lppos = &pos;
    SendMessageW(wnd_, WM_NCCALCSIZE, TRUE, reinterpret_cast<LPARAM>(&params));
    EXPECT_EQ(window.top, params.rgrc[0].top);
    EXPECT_GT(params.rgrc[0].left, window.left) << "the other edges keep the frame";

    // The drag works by the glass top as well.
    std::vector<WPARAM> seen;
    auto spy = main_->AddWindowHook([&](TMessage& msg, const TWindowHookChain::TNext& next) {
        if (msg.Msg == WM_NCLBUTTONDOWN) {
            seen.push_back(msg.WParam);
            return;
        }
        next(msg);
    });
    SendMessageW(wnd_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(600, 10));
    SendMessageW(wnd_, WM_LBUTTONUP, 0, MAKELPARAM(600, 10));
    main_->RemoveWindowHook(spy);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(static_cast<WPARAM>(HTCAPTION), seen[0]);

    main_->Show();
    Pump(100);
    SaveWindowShot(*main_, L"main_frame_glass");

    // Back to the classic frame: the region, the size and the header return.
    main_->SetGlassMode(false);
    EXPECT_FALSE(main_->GlassMode());
    GetClientRect(wnd_, &client);
    EXPECT_EQ(776, client.right);
    EXPECT_EQ(553, client.bottom);
    EXPECT_EQ(0, GetWindowLongW(wnd_, GWL_STYLE) & WS_CAPTION);
    ExpectClassicRegion(wnd_, client.right, client.bottom);
    auto* header = main_->Find<TPanel>(L"PanelHeader");
    ASSERT_NE(nullptr, header);
    const TTitle classic[] = {{L"ImageLogo", 0},
                              {L"PaintSupportCall", 0},
                              {L"ScanTab", 42},
                              {L"SupportTab", 42},
                              {L"ButtonHelp", 43}};
    for (const TTitle& t : classic) {
        auto* control = main_->Find<TControl>(t.name);
        EXPECT_EQ(t.top, control->Top()) << WideToUtf8(t.name);
        EXPECT_EQ(static_cast<TWinControl*>(header), control->Parent()) << WideToUtf8(t.name);
    }
    EXPECT_EQ(0, logo->Left());
    EXPECT_EQ(L"LOGO_XP", logo->ImageName());
    EXPECT_EQ(logo->Left() + logo->Width(), main_->SupportPanel()->Left());
    EXPECT_EQ(3, panel->Left());
    EXPECT_EQ(0, panel->Top());
    EXPECT_EQ(550, panel->Height());
    EXPECT_EQ(80, main_->PageTop());
    EXPECT_EQ(80, steps->Top());
    EXPECT_TRUE(header->Visible());
    Pump(100);
    SaveWindowShot(*main_, L"main_frame_glass_back_to_classic");
}

TEST_F(FrameTest, TheSupportPanelShowsTheNumberOnlyWhenThereIsOne)
{
    ChangeSettings([](TSettings& s) {
        s.PHONE_NUMBER.clear();
        s.PHONE_US.clear();
        s.PHONE_NONUS.clear();
        s.LANGUAGE = L"en";
    });
    Make();
    TPaintBox* panel = main_->SupportPanel();
    ASSERT_NE(nullptr, panel);
    EXPECT_FALSE(panel->Visible());

    // The phone thread asks the stand-in, stores the number and posts its
    // message to the window.
    fakeservice::TFakeService service;
    ASSERT_TRUE(service.Start());
    service.SetPhone("+1 800 555 0199");
    ChangeSettings([&](TSettings& s) {
        s.PHONE_URL = service.URL("/client.asmx/GetPhone?CFG=%CFG_ID%&LNG=%LNG%");
    });
    new TPhoneNumberThread(wnd_);
    ASSERT_TRUE(WaitForPhoneRequests(20000));
    EXPECT_TRUE(PumpUntil([&] { return panel->Visible(); }, 5000)) << "no redraw on the message";
    service.Stop();
    ASSERT_TRUE(panel->Visible());
    {
        TProgramKeyView view;
        std::string stored;
        RegReadString(HKEY_LOCAL_MACHINE, Key(), "PHONE_NUMBER", stored);
        EXPECT_EQ("+1 800 555 0199", stored);
    }
    TBitmap measure(1, 1);
    measure.Canvas().Font().SetName(L"Tahoma");
    measure.Canvas().Font().SetHeight(-12);
    const int label = measure.Canvas().TextWidth(TranslateText(L"CustomerSupport", L""));
    measure.Canvas().Font().SetStyle(fsBold);
    const int number = measure.Canvas().TextWidth(L"+1 800 555 0199");
    EXPECT_EQ(std::max(label, number) + 70, panel->Width());
    EXPECT_EQ(60, panel->Height()) << "the phone picture's height";
    auto* logo = main_->Find<TControl>(L"ImageLogo");
    ASSERT_NE(nullptr, logo);
    EXPECT_EQ(logo->Left() + logo->Width(), panel->Left());
    main_->Show();
    Pump(100);
    SaveShot(*main_, L"main_support_panel_en");

    // Another language: the other setting, the box 10 px further left.
    ChangeSettings([](TSettings& s) {
        s.PHONE_NUMBER.clear();
        s.PHONE_NONUS = "+49 30 5550 1234";
        s.LANGUAGE = L"de";
    });
    main_->RenderSupportPanel();
    ASSERT_TRUE(panel->Visible());
    EXPECT_EQ(logo->Left() + logo->Width() - 10, panel->Left());
    Pump(100);
    SaveShot(*main_, L"main_support_panel_de");

    ChangeSettings([](TSettings& s) { s.PHONE_NONUS.clear(); });
    main_->RenderSupportPanel();
    EXPECT_FALSE(panel->Visible());
}

} // namespace
