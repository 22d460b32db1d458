// The main window's classic frame (rounded top corners, the inset client
// panel, the hit test and the drag by the top area) and the support phone
// panel of its header.

#include "AppTest.h"
#include "app/frmAllMain.h"
#include "app/qvNetThreads.h"
#include "controls/KvExtCtrls.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace apptest;

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

    HRGN region = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(ERROR, GetWindowRgn(wnd_, region));
    EXPECT_FALSE(PtInRegion(region, 0, 0));
    EXPECT_FALSE(PtInRegion(region, client.right - 1, 0));
    EXPECT_TRUE(PtInRegion(region, 8, 8));
    EXPECT_TRUE(PtInRegion(region, 0, 20));
    EXPECT_TRUE(PtInRegion(region, client.right - 1, client.bottom - 1));
    DeleteObject(region);

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
    SaveShot(*main_, L"main_frame_classic");
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

    // The phone thread stores the number and posts its message.
    ChangeSettings([](TSettings& s) { s.PHONE_NUMBER = "+1 800 555 0199"; });
    PostMessageW(wnd_, WM_KorvellePhoneChanged, 0, 0);
    Pump(100);
    ASSERT_TRUE(panel->Visible());
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
