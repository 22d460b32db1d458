// The skinned image and button controls: the state table and CurrentImage,
// caption and icon placement by a fake measurer, the shadow and the
// disabled colour by pixel probes.

#include "controls/KvForms.h"
#include "controls/SkinControls.h"

#include "FormTest.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using formtest::Box;
using formtest::PixelAt;
using formtest::Render;
using formtest::SendMouse;

namespace {

// An image list of solid pictures, one colour each.
struct TSolidList {
    TSkinBitmapList list;
    TSkinBitmapImage& Add(const wchar_t* name, TColor color, int w = 20, int h = 20)
    {
        TSkinBitmapImage& item = list.Images().Add();
        item.SetName(name);
        auto png = std::make_unique<TPNGPicture>();
        png->SetSize(w, h, true);
        uint8_t* p = png->MutablePixels();
        for (int i = 0; i < w * h; ++i, p += 4) {
            p[0] = static_cast<uint8_t>(color >> 16);
            p[1] = static_cast<uint8_t>(color >> 8);
            p[2] = static_cast<uint8_t>(color);
            p[3] = 255;
        }
        png->Modified();
        item.Picture().SetGraphic(std::move(png));
        return item;
    }
};

constexpr TColor kNormal = 0x000000C0;   // red
constexpr TColor kHot = 0x0000C000;      // green
constexpr TColor kDown = 0x00C00000;     // blue
constexpr TColor kInactive = 0x00606060; // grey
constexpr TColor kDisabledHot = 0x0000C0C0;

// Seven pixels a character, 13 a line; wrapped lines hold width / 7 characters.
SIZE FakeMeasure(const TFont&, const std::wstring& text, int wrapWidth)
{
    const int len = static_cast<int>(text.size());
    if (wrapWidth <= 0)
        return SIZE{7 * len, 13};
    const int perLine = std::max(1, wrapWidth / 7);
    const int lines = (len + perLine - 1) / perLine;
    return SIZE{7 * std::min(len, perLine), 13 * lines};
}

class SkinButtons : public formtest::MouseTest {
protected:
    void SetUp() override
    {
        formtest::MouseTest::SetUp();
        if (IsSkipped())
            return;
        images_.Add(L"BUTTON1", kNormal);
        images_.Add(L"BUTTON1_HOT", kHot);
        images_.Add(L"BUTTON1_DOWN", kDown);
        images_.Add(L"BUTTON1_INACTIVE", kInactive);
        images_.Add(L"BUTTON1_DISHOT", kDisabledHot);
        images_.Add(L"BUTTON1_LEFT", 0x00FF00FF, 12, 12);
        form_ = std::make_unique<TForm>();
        form_->SetBorderStyle(TBorderStyle::None);
        form_->SetBounds(300, 300, 240, 80);
        form_->SetColor(clWhite);
    }
    void TearDown() override
    {
        form_.reset();
        formtest::MouseTest::TearDown();
    }
    TSkinButton* Button(const TControlSpec& extra = {})
    {
        TControlSpec spec = extra;
        spec.owner = form_.get();
        spec.parent = form_.get();
        if (!spec.name || !*spec.name)
            spec.name = L"Button";
        if (spec.width < 0) {
            spec.left = 10;
            spec.top = 10;
            spec.width = 100;
            spec.height = 33;
        }
        if (!spec.image)
            spec.image = L"BUTTON1";
        return TSkinButton::Create(spec, {.images = &images_.list});
    }
    // Paints the form and answers what the button drew.
    std::wstring Painted(TSkinButton& button)
    {
        Render(*form_);
        return button.CurrentImage();
    }

    TSolidList images_;
    std::unique_ptr<TForm> form_;
};

} // namespace

TEST_F(SkinButtons, CurrentImageFollowsTheStateTable)
{
    TSkinButton* button = Button({.caption = L"Next", .imageHot = L"BUTTON1_HOT",
                                  .imageDown = L"BUTTON1_DOWN", .imageDisabled = L"BUTTON1_INACTIVE"});
    form_->Show();
    HWND wnd = form_->Handle();
    bool downInClick = true;
    int clicks = 0;
    button->OnClick = [&](TComponent&) {
        ++clicks;
        downInClick = button->Down();
    };
    EXPECT_EQ(L"BUTTON1", Painted(*button));
    EXPECT_EQ(kNormal, PixelAt(*Render(*form_), 12, 12));
    SendMouse(wnd, WM_MOUSEMOVE, 50, 20);
    EXPECT_EQ(L"BUTTON1_HOT", Painted(*button));
    SendMouse(wnd, WM_LBUTTONDOWN, 50, 20, MK_LBUTTON);
    EXPECT_EQ(L"BUTTON1_DOWN", Painted(*button));
    EXPECT_EQ(kDown, PixelAt(*Render(*form_), 12, 12));
    SendMouse(wnd, WM_LBUTTONUP, 50, 20);
    EXPECT_EQ(1, clicks);
    EXPECT_FALSE(downInClick) << "the click handler sees the button up";
    EXPECT_EQ(L"BUTTON1_HOT", Painted(*button));
    SendMouse(wnd, WM_RBUTTONDOWN, 50, 20, MK_RBUTTON);
    EXPECT_EQ(L"BUTTON1_HOT", Painted(*button)) << "only the left button presses it";
    SendMouse(wnd, WM_RBUTTONUP, 50, 20);
    SendMouse(wnd, WM_MOUSEMOVE, 200, 70);
    EXPECT_EQ(L"BUTTON1", Painted(*button));

    button->SetEnabled(false);
    EXPECT_EQ(L"BUTTON1_INACTIVE", Painted(*button));
    SendMouse(wnd, WM_MOUSEMOVE, 50, 20);
    EXPECT_TRUE(button->Hot()) << "a disabled button still gets enter";
    EXPECT_EQ(L"BUTTON1_INACTIVE", Painted(*button)) << "no disabled-hot name";
    button->SetImageNameDisabledHot(L"BUTTON1_DISHOT");
    EXPECT_EQ(L"BUTTON1_DISHOT", Painted(*button));
    SendMouse(wnd, WM_LBUTTONDOWN, 50, 20, MK_LBUTTON);
    SendMouse(wnd, WM_LBUTTONUP, 50, 20);
    EXPECT_FALSE(button->Down());
    EXPECT_EQ(1, clicks) << "a disabled button is not clicked";
    SendMouse(wnd, WM_MOUSEMOVE, 200, 70);
    EXPECT_EQ(L"BUTTON1_INACTIVE", Painted(*button));

    button->SetEnabled(true);
    button->SetImageNameHot(L"NO_SUCH_IMAGE");
    SendMouse(wnd, WM_MOUSEMOVE, 50, 20);
    EXPECT_EQ(L"BUTTON1", Painted(*button)) << "an unresolved hot image keeps the normal one";
}

TEST_F(SkinButtons, DisabledWithoutADisabledImageShowsTheNormalOneAndAGreyCaption)
{
    TSkinButton* button = Button({.caption = L"WWWW", .font = {.height = -16, .style = fsBold, .styleSet = true, .color = clBlue}});
    form_->Show();
    button->SetEnabled(false);
    std::unique_ptr<TBitmap> shot = Render(*form_);
    EXPECT_EQ(L"BUTTON1", button->CurrentImage());
    int grey = 0, blue = 0;
    for (int y = 10; y < 43; ++y)
        for (int x = 10; x < 110; ++x) {
            const TColor c = PixelAt(*shot, x, y);
            grey += c == 0x808080;
            blue += (c & 0xFF0000) > 0x800000 && (c & 0xFF) < 0x40;
        }
    EXPECT_GT(grey, 0) << "the caption in $808080";
    EXPECT_EQ(0, blue) << "not in the font colour";
}

TEST_F(SkinButtons, CaptionPlacementByAlignmentPressAndMargins)
{
    // 100 × 33, "Next" measures 28 × 13.
    const struct {
        const char* name;
        TSkinCaptionAlign align;
        bool pressed;
        RECT margins;
        RECT expected;
    } cases[] = {
        {"centre", TSkinCaptionAlign::aclCenter, false, {0, 0, 0, 0}, {36, 10, 64, 23}},
        {"centre pressed", TSkinCaptionAlign::aclCenter, true, {0, 0, 0, 0}, {37, 11, 65, 24}},
        {"left", TSkinCaptionAlign::aclLeft, false, {0, 0, 0, 0}, {0, 10, 28, 23}},
        {"left pressed", TSkinCaptionAlign::aclLeft, true, {0, 0, 0, 0}, {1, 11, 29, 24}},
        {"right", TSkinCaptionAlign::aclRight, false, {0, 0, 0, 0}, {72, 10, 100, 23}},
        {"right pressed", TSkinCaptionAlign::aclRight, true, {0, 0, 0, 0}, {73, 11, 101, 24}},
        {"centre in margins", TSkinCaptionAlign::aclCenter, false, {5, 4, 6, 2}, {35, 11, 63, 24}},
        {"centre in margins pressed", TSkinCaptionAlign::aclCenter, true, {5, 4, 6, 2}, {36, 12, 64, 25}},
        {"left in margins", TSkinCaptionAlign::aclLeft, false, {5, 4, 6, 2}, {5, 11, 33, 24}},
        {"right in margins", TSkinCaptionAlign::aclRight, false, {5, 4, 6, 2}, {66, 11, 94, 24}},
        {"right in margins pressed", TSkinCaptionAlign::aclRight, true, {5, 4, 6, 2}, {67, 12, 95, 25}},
    };
    TSkinButton* button = Button({.left = 0, .top = 0, .width = 100, .height = 33, .caption = L"Next"});
    button->Measurer = &FakeMeasure;
    form_->Show();
    HWND wnd = form_->Handle();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        button->SetCaptionAlign(c.align);
        button->EdgeMargins().Set(c.margins.left, c.margins.top, c.margins.right, c.margins.bottom);
        if (c.pressed)
            SendMouse(wnd, WM_LBUTTONDOWN, 50, 15, MK_LBUTTON);
        EXPECT_EQ(Box(c.expected), Box(button->CaptionLayout().caption));
        if (c.pressed)
            SendMouse(wnd, WM_LBUTTONUP, 50, 15);
    }
    button->SetPushCaption(false);
    SendMouse(wnd, WM_LBUTTONDOWN, 50, 15, MK_LBUTTON);
    EXPECT_EQ(Box(RECT{66, 11, 94, 24}), Box(button->CaptionLayout().caption)) << "no push";
    SendMouse(wnd, WM_LBUTTONUP, 50, 15);
}

TEST_F(SkinButtons, IconButtonPlacesIconCaptionAndWrappedUnderCaption)
{
    // 150 × 50; icon 12 × 12 and 5 pixels of space; "Back" 28 × 13; the
    // under-caption's 23 characters wrap at 133 pixels (19 a line): 133 × 26.
    const struct {
        const char* name;
        TSkinCaptionAlign align;
        bool iconRight;
        long captionLeft;
        long underLeft;
        long iconLeft;
    } cases[] = {
        {"centre, icon left", TSkinCaptionAlign::aclCenter, false, 69, 17, 0},
        {"centre, icon right", TSkinCaptionAlign::aclCenter, true, 52, 0, 138},
        {"left, icon left", TSkinCaptionAlign::aclLeft, false, 17, 17, 0},
        {"left, icon right", TSkinCaptionAlign::aclLeft, true, 0, 0, 138},
        {"right, icon right", TSkinCaptionAlign::aclRight, true, 105, 0, 138},
        {"right, icon left", TSkinCaptionAlign::aclRight, false, 122, 17, 0},
    };
    auto* button = TSkinButtonEx::Create(
        {.owner = form_.get(), .parent = form_.get(), .name = L"ButtonEx", .left = 0, .top = 0,
         .width = 150, .height = 50, .caption = L"Back", .image = L"BUTTON1",
         .icon = L"BUTTON1_LEFT", .underCaption = L"Scan the whole registry", .iconTextSpace = 5},
        {.images = &images_.list});
    button->Measurer = &FakeMeasure;
    form_->Show();
    HWND wnd = form_->Handle();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        button->SetCaptionAlign(c.align);
        button->SetIconRight(c.iconRight);
        for (bool pressed : {false, true}) {
            SCOPED_TRACE(pressed ? "pressed" : "up");
            if (pressed)
                SendMouse(wnd, WM_LBUTTONDOWN, 70, 25, MK_LBUTTON);
            const long push = pressed ? 1 : 0;
            const TSkinCaptionLayout layout = button->CaptionLayout();
            EXPECT_EQ(Box(RECT{c.captionLeft + push, 5 + push, c.captionLeft + 28 + push, 18 + push}),
                      Box(layout.caption));
            EXPECT_EQ(Box(RECT{c.underLeft + push, 18 + push, c.underLeft + 133 + push, 44 + push}),
                      Box(layout.underCaption));
            EXPECT_EQ(Box(RECT{c.iconLeft + push, 19 + push, c.iconLeft + 12 + push, 31 + push}),
                      Box(layout.icon));
            if (pressed)
                SendMouse(wnd, WM_LBUTTONUP, 70, 25);
        }
    }
    Render(*form_);
    EXPECT_EQ(L"BUTTON1_LEFT", button->CurrentIcon());
    button->SetIconName(L"");
    const TSkinCaptionLayout plain = button->CaptionLayout();
    EXPECT_EQ(Box(RECT{}), Box(plain.icon)) << "no icon, no icon rectangle";
}

TEST_F(SkinButtons, ShadowSitsOnePixelRightAndDownAndTextCanGoOutDirectly)
{
    form_->SetColor(clWhite);
    for (bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "direct output" : "mask");
        TSkinButton* button = Button({.name = direct ? L"Direct" : L"Masked", .left = 0, .top = 0,
                                      .width = 120, .height = 40, .caption = L"HIH",
                                      .image = L"NONE",
                                      .font = {.height = -20, .style = fsBold, .styleSet = true, .color = clBlue},
                                      .captionBorder = clRed,
                                      .textTransparent = direct ? TFlag::On : TFlag::Off});
        std::unique_ptr<TBitmap> shot = Render(*form_);
        int top = 1000, bottom = -1, left = 1000, right = -1;
        auto isRed = [](TColor c) { return (c & 0xFF) > 0xC0 && (c & 0xFF00) < 0x4000 && (c & 0xFF0000) < 0x400000; };
        auto isBlue = [](TColor c) { return (c & 0xFF0000) > 0xC00000 && (c & 0xFF) < 0x40; };
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 120; ++x)
                if (PixelAt(*shot, x, y) != clWhite) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
        ASSERT_LT(top, bottom) << "the caption is drawn";
        // Whether any pixel of row y (or column x) passes the test.
        auto inRow = [&](int y, auto test) {
            for (int x = 0; x < 120; ++x)
                if (test(PixelAt(*shot, x, y)))
                    return true;
            return false;
        };
        auto inColumn = [&](int x, auto test) {
            for (int y = 0; y < 40; ++y)
                if (test(PixelAt(*shot, x, y)))
                    return true;
            return false;
        };
        EXPECT_TRUE(inRow(top, isBlue)) << "the text's top row is the text";
        EXPECT_FALSE(inRow(top, isRed));
        EXPECT_TRUE(inRow(bottom, isRed)) << "the shadow reaches one row further down";
        EXPECT_FALSE(inRow(bottom, isBlue));
        // The outermost columns are partly covered: which colour leads there.
        auto reddish = [](TColor c) { return (c & 0xFF) > ((c >> 16) & 0xFF) + 40; };
        auto bluish = [](TColor c) { return ((c >> 16) & 0xFF) > (c & 0xFF) + 40; };
        EXPECT_TRUE(inColumn(right, reddish)) << "the shadow reaches one column further right";
        EXPECT_FALSE(inColumn(right, bluish));
        EXPECT_TRUE(inColumn(left, bluish));
        EXPECT_FALSE(inColumn(left, reddish));
        delete button;
    }
}

TEST_F(SkinButtons, EmptyCaptionDrawsNothingAndAnImageCentresUnstretched)
{
    TSkinButton* button = Button({.caption = L""});
    auto* image = TSkinImage::Create({.owner = form_.get(), .parent = form_.get(), .name = L"Image",
                                      .left = 130, .top = 0, .width = 60, .height = 60,
                                      .image = L"BUTTON1_LEFT", .imageDisabled = L"BUTTON1_INACTIVE"},
                                     {.images = &images_.list});
    std::unique_ptr<TBitmap> shot = Render(*form_);
    EXPECT_EQ(kNormal, PixelAt(*shot, 60, 26)) << "the whole button is its picture";
    EXPECT_EQ(0x00FF00FFu, PixelAt(*shot, 130 + 24, 24)) << "centred: (60 - 12) / 2";
    EXPECT_EQ(clWhite, PixelAt(*shot, 130 + 23, 23));
    EXPECT_EQ(0x00FF00FFu, PixelAt(*shot, 130 + 35, 35));
    image->SetEnabled(false);
    shot = Render(*form_);
    EXPECT_EQ(kInactive, PixelAt(*shot, 130 + 20, 20)) << "the disabled picture (20 × 20, centred)";
    EXPECT_EQ(L"BUTTON1", button->CurrentImage());

    // The list going away leaves the controls without pictures, not dangling.
    TSkinBitmapList* owned = new TSkinBitmapList;
    owned->Images().Add().SetName(L"X");
    image->SetImageList(owned);
    delete owned;
    EXPECT_EQ(nullptr, image->ImageList());
    Render(*form_);
}
