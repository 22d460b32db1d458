#include "controls/KvControls.h"
#include "controls/KvExtCtrls.h"
#include "controls/KvForms.h"
#include "controls/KvLayout.h"
#include "controls/KvStdCtrls.h"
#include "platform/GuardU.h"

#include "FormTest.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

using formtest::PixelAt;
using formtest::Pump;
using formtest::Render;
using formtest::SendMouse;

namespace {

std::string Narrow(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

// A form with three windowless children A, B and a disabled C in a row, each
// writing its events into one log, and the form's own presses too.
struct TRoutingForm {
    std::unique_ptr<TForm> form = std::make_unique<TForm>();
    std::vector<std::string> log;
    TPaintBox* a = nullptr;
    TPaintBox* b = nullptr;
    TPaintBox* c = nullptr;

    TRoutingForm()
    {
        form->SetBorderStyle(TBorderStyle::None);
        form->SetBounds(40, 40, 300, 120);
        form->OnChildMouseEnter = [this](TWinControl&, TControl& child) {
            log.push_back("parent: " + Narrow(child.Name()) + " enter");
        };
        form->OnChildMouseLeave = [this](TWinControl&, TControl& child) {
            log.push_back("parent: " + Narrow(child.Name()) + " leave");
        };
        Watch(*form, "form", false);
        a = Box(L"A", 0);
        b = Box(L"B", 60);
        c = Box(L"C", 120);
        c->SetEnabled(false);
        a->SetCursor(crHandPoint);
    }
    TPaintBox* Box(const wchar_t* name, int left)
    {
        TPaintBox* box = TPaintBox::Create(
            {.owner = form.get(), .parent = form.get(), .name = name, .left = left, .top = 0,
             .width = 50, .height = 40});
        Watch(*box, Narrow(name), true);
        return box;
    }
    void Watch(TControl& control, const std::string& name, bool enterLeave)
    {
        auto button = [](TMouseButton b) {
            return b == TMouseButton::Left ? "" : b == TMouseButton::Right ? " right" : " middle";
        };
        control.OnMouseDown = [this, name, button](TControl&, TMouseButton b, TShiftState, int, int) {
            log.push_back(name + " down" + button(b));
        };
        control.OnMouseUp = [this, name, button](TControl&, TMouseButton b, TShiftState, int, int) {
            log.push_back(name + " up" + button(b));
        };
        control.OnClick = [this, name](TComponent&) { log.push_back(name + " click"); };
        if (enterLeave) {
            control.OnMouseEnter = [this, name](TComponent&) { log.push_back(name + " enter"); };
            control.OnMouseLeave = [this, name](TComponent&) { log.push_back(name + " leave"); };
        }
    }
};

struct TMouseStep {
    UINT msg;
    int x;
    int y;
};

} // namespace

class KvMouseRouting : public formtest::MouseTest {};

TEST_F(KvMouseRouting, ScriptsGiveTheirEventLogs)
{
    const struct {
        const char* name;
        std::vector<TMouseStep> steps;
        std::vector<std::string> log;
    } cases[] = {
        {"onto A", {{WM_MOUSEMOVE, 10, 10}}, {"parent: A enter", "A enter"}},
        {"A to B",
         {{WM_MOUSEMOVE, 10, 10}, {WM_MOUSEMOVE, 70, 10}},
         {"parent: A enter", "A enter", "parent: A leave", "A leave", "parent: B enter", "B enter"}},
        {"press A, release outside",
         {{WM_MOUSEMOVE, 10, 10}, {WM_LBUTTONDOWN, 10, 10}, {WM_MOUSEMOVE, 250, 90},
          {WM_LBUTTONUP, 250, 90}},
         {"parent: A enter", "A enter", "A down", "parent: A leave", "A leave", "A up"}},
        {"press and release in A",
         {{WM_MOUSEMOVE, 10, 10}, {WM_LBUTTONDOWN, 10, 10}, {WM_LBUTTONUP, 12, 11}},
         {"parent: A enter", "A enter", "A down", "A up", "A click"}},
        {"press in A, release in B",
         {{WM_MOUSEMOVE, 10, 10}, {WM_LBUTTONDOWN, 10, 10}, {WM_MOUSEMOVE, 70, 10},
          {WM_LBUTTONUP, 70, 10}},
         {"parent: A enter", "A enter", "A down", "parent: A leave", "A leave", "parent: B enter",
          "B enter", "A up"}},
        {"right button",
         {{WM_MOUSEMOVE, 10, 10}, {WM_RBUTTONDOWN, 10, 10}, {WM_RBUTTONUP, 10, 10}},
         {"parent: A enter", "A enter", "A down right", "A up right"}},
        {"disabled C: enter and leave only",
         {{WM_MOUSEMOVE, 130, 10}, {WM_LBUTTONDOWN, 130, 10}, {WM_LBUTTONUP, 130, 10},
          {WM_MOUSEMOVE, 250, 90}},
         {"parent: C enter", "C enter", "form down", "form up", "form click", "parent: C leave",
          "C leave"}},
        {"parent's mouse leave",
         {{WM_MOUSEMOVE, 10, 10}, {WM_MOUSELEAVE, 0, 0}},
         {"parent: A enter", "A enter", "parent: A leave", "A leave"}},
        {"bottom-right edge is outside", {{WM_MOUSEMOVE, 50, 40}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TRoutingForm f;
        f.form->Show();
        HWND wnd = f.form->Handle();
        ASSERT_NE(nullptr, wnd);
        for (const TMouseStep& step : c.steps) {
            WPARAM keys = step.msg == WM_LBUTTONDOWN ? MK_LBUTTON : step.msg == WM_RBUTTONDOWN ? MK_RBUTTON : 0;
            SendMouse(wnd, step.msg, step.x, step.y, keys);
        }
        EXPECT_EQ(c.log, f.log);
        EXPECT_EQ(nullptr, GetCapture()) << "the capture ends with the release";
    }
}

namespace {

POINT gPointer{};
HCURSOR gShown = nullptr;

BOOL WINAPI FakeCursorPos(LPPOINT p)
{
    *p = gPointer;
    return TRUE;
}

HCURSOR WINAPI FakeSetCursor(HCURSOR c)
{
    gShown = c;
    return nullptr;
}

} // namespace

TEST_F(KvMouseRouting, CursorFollowsTheControlUnderThePointer)
{
    calls_.getCursorPos = &FakeCursorPos;
    calls_.setCursor = &FakeSetCursor;
    SetFormLibCalls(&calls_);
    POINT& pointer = gPointer;
    HCURSOR& shown = gShown;
    TRoutingForm f;
    f.form->Show();
    HWND wnd = f.form->Handle();
    pointer = f.a->ClientToScreen(POINT{5, 5});
    EXPECT_EQ(TRUE, SendMessageW(wnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(wnd),
                                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
    EXPECT_EQ(LoadCursorW(nullptr, IDC_HAND), shown);
    shown = nullptr;
    pointer = f.b->ClientToScreen(POINT{5, 5});
    SendMessageW(wnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(wnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(nullptr, shown) << "B has the default cursor: the class's arrow, not ours";
    f.form->SetCursor(crCross);
    SendMessageW(wnd, WM_SETCURSOR, reinterpret_cast<WPARAM>(wnd), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(LoadCursorW(nullptr, IDC_CROSS), shown) << "a default cursor takes the parent's";
}

TEST_F(KvMouseRouting, ControlFreedInItsOwnEventIsForgottenByItsParent)
{
    TRoutingForm f;
    f.form->Show();
    HWND wnd = f.form->Handle();
    f.a->OnMouseDown = [](TControl& sender, TMouseButton, TShiftState, int, int) { delete &sender; };
    SendMouse(wnd, WM_MOUSEMOVE, 10, 10);
    SendMouse(wnd, WM_LBUTTONDOWN, 10, 10, MK_LBUTTON);
    EXPECT_EQ(nullptr, f.form->FindComponent(L"A"));
    EXPECT_EQ(nullptr, f.form->HotControl());
    EXPECT_EQ(nullptr, f.form->PressedControl());
    SendMouse(wnd, WM_LBUTTONUP, 10, 10);
    SendMouse(wnd, WM_MOUSEMOVE, 70, 10);
    EXPECT_EQ(f.b, f.form->HotControl());
}

class KvPainting : public ::testing::Test {
protected:
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        formtest::InitApplication();
    }
};

TEST_F(KvPainting, WindowlessControlsPaintInTheirBoundsOnly)
{
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 0, 120, 40);
    form.SetColor(clWhite);
    form.OnPaint = [](TCustomControl& sender) {
        sender.Canvas().Brush().SetColor(0x0000FFFF);
        sender.Canvas().FillRect(RECT{60, 0, 120, 40});
    };
    auto fillAll = [](TColor color) {
        return [color](TGraphicControl& sender) {
            sender.Canvas().Brush().SetColor(color);
            sender.Canvas().FillRect(RECT{-100, -100, 200, 200});
        };
    };
    TPaintBox* red = TPaintBox::Create({.owner = &form, .parent = &form, .name = L"Red", .left = 10,
                                        .top = 10, .width = 20, .height = 20});
    red->OnPaint = fillAll(clRed);
    TPaintBox* green = TPaintBox::Create({.owner = &form, .parent = &form, .name = L"Green",
                                          .left = 40, .top = 10, .width = 10, .height = 20});
    green->OnPaint = fillAll(0x0000FF00);
    TPaintBox* glass = TPaintBox::Create({.owner = &form, .parent = &form, .name = L"Clear",
                                          .left = 70, .top = 10, .width = 20, .height = 20});
    glass->OnPaint = [](TGraphicControl& sender) {
        sender.Canvas().Brush().SetColor(clBlue);
        sender.Canvas().FillRect(RECT{0, 0, 2, 2});
    };
    std::unique_ptr<TBitmap> shot = Render(form);
    EXPECT_EQ(clRed, PixelAt(*shot, 10, 10));
    EXPECT_EQ(clRed, PixelAt(*shot, 29, 29));
    EXPECT_EQ(clWhite, PixelAt(*shot, 9, 9)) << "nothing of the red box outside its bounds";
    EXPECT_EQ(clWhite, PixelAt(*shot, 30, 15));
    EXPECT_EQ(clWhite, PixelAt(*shot, 35, 35));
    EXPECT_EQ(0x0000FF00u, PixelAt(*shot, 40, 10));
    EXPECT_EQ(0x0000FFFFu, PixelAt(*shot, 80, 20)) << "a transparent control shows its parent";
    EXPECT_EQ(clBlue, PixelAt(*shot, 71, 11));
    formtest::SaveEvidencePicture(*shot, L"windowless_bounds");
}

TEST_F(KvPainting, TransparentControlDrawnOutsideThePaintShowsWhatLiesBelow)
{
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(100, 100, 100, 50);
    form.SetColor(clWhite);
    TPaintBox* below = TPaintBox::Create({.owner = &form, .parent = &form, .name = L"Below",
                                          .left = 0, .top = 0, .width = 60, .height = 50});
    below->OnPaint = [](TGraphicControl& sender) {
        sender.Canvas().Brush().SetColor(clRed);
        sender.Canvas().FillRect(RECT{0, 0, 60, 50});
    };
    TPaintBox* top = TPaintBox::Create({.owner = &form, .parent = &form, .name = L"Top",
                                        .left = 40, .top = 10, .width = 40, .height = 30});
    form.Show();
    form.Update();
    // Outside the paint: a stale mark first, then the background under the
    // control and a dot; what lies below shows everywhere else.
    TCanvas& canvas = top->Canvas();
    canvas.Brush().SetColor(clBlue);
    canvas.FillRect(RECT{0, 0, 40, 30});
    top->PaintBackground(RECT{0, 0, 40, 30});
    canvas.Brush().SetColor(0x00FF00FF);
    canvas.FillRect(RECT{30, 20, 32, 22});
    ReleaseControlCanvases();
    HDC dc = GetDC(form.Handle());
    EXPECT_EQ(0x0000FFu, GetPixel(dc, 45, 15)) << "the sibling below";
    EXPECT_EQ(0xFFFFFFu, GetPixel(dc, 70, 15)) << "the parent";
    EXPECT_EQ(0xFF00FFu, GetPixel(dc, 70, 30)) << "the dot";
    EXPECT_EQ(0xFFFFFFu, GetPixel(dc, 85, 15)) << "clipped to the control";
    ReleaseDC(form.Handle(), dc);
}

TEST_F(KvPainting, ParentBackgroundPanelShowsItsParentsDrawing)
{
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 0, 100, 50);
    form.SetColor(0x00336699);
    TPaintBox* mark = TPaintBox::Create(
        {.owner = &form, .parent = &form, .left = 0, .top = 0, .width = 30, .height = 50});
    mark->OnPaint = [](TGraphicControl& sender) {
        sender.Canvas().Brush().SetColor(clRed);
        sender.Canvas().FillRect(RECT{0, 0, 30, 50});
    };
    TPanel* panel = TPanel::Create({.owner = &form, .parent = &form, .name = L"Panel", .left = 20,
                                    .top = 10, .width = 60, .height = 30, .color = clWhite});
    form.HandleNeeded();
    std::unique_ptr<TBitmap> own = Render(form);
    EXPECT_EQ(clWhite, PixelAt(*own, 25, 20));
    panel->SetParentBackground(true);
    std::unique_ptr<TBitmap> shared = Render(form);
    EXPECT_EQ(clRed, PixelAt(*shared, 25, 20)) << "the mark under the panel";
    EXPECT_EQ(0x00336699u, PixelAt(*shared, 50, 20)) << "the form's colour";
}

TEST_F(KvPainting, DoubleBufferedPaintDrawsTheSame)
{
    for (bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "double-buffered" : "direct");
        TForm form;
        form.SetBorderStyle(TBorderStyle::None);
        form.SetBounds(200, 200, 60, 30);
        form.SetColor(clWhite);
        form.SetDoubleBuffered(buffered);
        TLabel::Create({.owner = &form, .parent = &form, .left = 2, .top = 2, .caption = L"Wg"});
        TPaintBox* box = TPaintBox::Create(
            {.owner = &form, .parent = &form, .left = 40, .top = 0, .width = 20, .height = 30});
        box->OnPaint = [](TGraphicControl& sender) {
            sender.Canvas().Brush().SetColor(clBlue);
            sender.Canvas().FillRect(RECT{0, 0, 20, 30});
        };
        form.Show();
        InvalidateRect(form.Handle(), nullptr, TRUE);
        form.Update();
        HDC dc = GetDC(form.Handle());
        EXPECT_EQ(0xFF0000u, GetPixel(dc, 45, 15));
        EXPECT_EQ(0xFFFFFFu, GetPixel(dc, 35, 25));
        bool ink = false;
        for (int y = 2; y < 16 && !ink; ++y)
            for (int x = 2; x < 30 && !ink; ++x)
                ink = GetPixel(dc, x, y) != 0xFFFFFF;
        EXPECT_TRUE(ink) << "the label's text";
        ReleaseDC(form.Handle(), dc);
    }
}

// ---------------------------------------------------------------------------
// Layouts

namespace {

// A windowless probe that checks, when Loaded runs, that the whole table exists.
class TLoadProbe : public TPaintBox {
public:
    using TPaintBox::TPaintBox;
    void Loaded() override
    {
        ++loaded;
        ownersAtLoad = Owner() ? Owner()->ComponentCount() : 0;
    }
    int loaded = 0;
    int ownersAtLoad = 0;
};

const TControlSpec kTwentyRows[] = {
    {.kind = KvNew<TPanel>, .name = L"PanelTop", .left = 0, .top = 0, .width = 10, .height = 30, .align = TAlign::Top},
    {.kind = KvNew<TPanel>, .name = L"PanelBottom", .left = 0, .top = 0, .width = 10, .height = 20, .align = TAlign::Bottom},
    {.kind = KvNew<TPanel>, .name = L"PanelLeft", .left = 0, .top = 0, .width = 40, .height = 10, .align = TAlign::Left},
    {.kind = KvNew<TPanel>, .name = L"PanelRight", .left = 0, .top = 0, .width = 50, .height = 10, .align = TAlign::Right},
    {.kind = KvNew<TPanel>, .name = L"PanelClient", .color = clWhite, .align = TAlign::Client},
    {.kind = KvNew<TLabel>, .name = L"LabelTitle", .parentName = L"PanelTop", .left = 4, .top = 4, .caption = L"Title", .font = {.height = -14, .style = fsBold, .styleSet = true}},
    {.kind = KvNew<TButton>, .name = L"ButtonOne", .parentName = L"PanelClient", .left = 10, .top = 10, .width = 80, .height = 24, .caption = L"One"},
    {.kind = KvNew<TButton>, .name = L"ButtonTwo", .parentName = L"PanelClient", .left = 100, .top = 10, .width = 80, .height = 24, .caption = L"Two", .tag = 2},
    {.kind = KvNew<TCheckBox>, .name = L"CheckOne", .parentName = L"PanelClient", .left = 10, .top = 40, .width = 120, .height = 20, .caption = L"Check", .checked = TFlag::On},
    {.kind = KvNew<TLoadProbe>, .name = L"Probe1", .parentName = L"PanelLeft", .left = 0, .top = 0, .width = 10, .height = 10},
    {.kind = KvNew<TLoadProbe>, .name = L"Probe2", .parentName = L"PanelRight", .left = 0, .top = 0, .width = 10, .height = 10},
    {.kind = KvNew<TLabel>, .name = L"LabelA", .parentName = L"PanelClient", .left = 10, .top = 70, .caption = L"A"},
    {.kind = KvNew<TLabel>, .name = L"LabelB", .parentName = L"PanelClient", .left = 10, .top = 90, .caption = L"B", .tag = 999},
    {.kind = KvNew<TPaintBox>, .name = L"PaintBox", .parentName = L"PanelClient", .left = 200, .top = 10, .width = 30, .height = 30},
    {.kind = KvNew<TPanel>, .name = L"PanelInner", .parentName = L"PanelClient", .left = 200, .top = 60, .width = 100, .height = 60},
    {.kind = KvNew<TLabel>, .name = L"LabelInner", .parentName = L"PanelInner", .left = 5, .top = 5, .caption = L"Inner"},
    {.kind = KvNew<TCheckBox>, .name = L"CheckInner", .parentName = L"PanelInner", .left = 5, .top = 30, .width = 80, .height = 20, .caption = L"In"},
    {.kind = KvNew<TPaintBox>, .name = L"PaintBottom", .parentName = L"PanelBottom", .align = TAlign::Client},
    {.kind = KvNew<TLabel>, .name = L"LabelHidden", .parentName = L"PanelClient", .left = 10, .top = 110, .caption = L"Hidden", .visible = TFlag::Off},
    {.kind = KvNew<TLoadProbe>, .name = L"Probe3", .parentName = L"PanelClient", .left = 0, .top = 0, .width = 5, .height = 5},
};

} // namespace

TEST_F(KvPainting, TwentyRowLayoutBuildsFindsWalksAndLoadsOnce)
{
    TForm form;
    form.SetName(L"FormLayout");
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 0, 400, 300);
    const std::vector<TControl*> made = BuildLayout(form, kTwentyRows);
    ASSERT_EQ(std::size(kTwentyRows), made.size());
    ASSERT_EQ(static_cast<int>(std::size(kTwentyRows)), form.ComponentCount());
    for (size_t i = 0; i < std::size(kTwentyRows); ++i) {
        SCOPED_TRACE(Narrow(kTwentyRows[i].name));
        EXPECT_EQ(made[i], form.FindComponent(kTwentyRows[i].name));
        EXPECT_EQ(made[i], form.Components()[i]) << "the owner walk goes in table order";
        const std::wstring parent = kTwentyRows[i].parentName;
        EXPECT_EQ(parent.empty() ? static_cast<TComponent*>(&form) : form.FindComponent(parent),
                  made[i]->Parent());
    }
    for (const wchar_t* name : {L"Probe1", L"Probe2", L"Probe3"}) {
        auto* probe = form.Find<TLoadProbe>(name);
        ASSERT_NE(nullptr, probe);
        EXPECT_EQ(1, probe->loaded);
        EXPECT_EQ(20, probe->ownersAtLoad) << "Loaded runs when every row exists";
    }
    EXPECT_EQ(2, form.Find<TButton>(L"ButtonTwo")->Tag());
    EXPECT_TRUE(form.Find<TCheckBox>(L"CheckOne")->Checked());
    EXPECT_FALSE(form.Find<TLabel>(L"LabelHidden")->Visible());
    EXPECT_EQ(fsBold, form.Find<TLabel>(L"LabelTitle")->Font().Style());
    EXPECT_FALSE(form.Find<TLabel>(L"LabelTitle")->ParentFont());
    EXPECT_TRUE(form.Find<TLabel>(L"LabelA")->ParentFont());
    form.Font().SetHeight(-15);
    EXPECT_EQ(-15, form.Find<TLabel>(L"LabelA")->Font().Height()) << "through the panel";
    EXPECT_EQ(-14, form.Find<TLabel>(L"LabelTitle")->Font().Height()) << "a font of its own stays";

    // Aligned panels: top, bottom, left, right, then the client area.
    auto bounds = [&](const wchar_t* name) {
        const RECT r = form.Find<TControl>(name)->BoundsRect();
        return std::vector<long>{r.left, r.top, r.right, r.bottom};
    };
    EXPECT_EQ((std::vector<long>{0, 0, 400, 30}), bounds(L"PanelTop"));
    EXPECT_EQ((std::vector<long>{0, 280, 400, 300}), bounds(L"PanelBottom"));
    EXPECT_EQ((std::vector<long>{0, 30, 40, 280}), bounds(L"PanelLeft"));
    EXPECT_EQ((std::vector<long>{350, 30, 400, 280}), bounds(L"PanelRight"));
    EXPECT_EQ((std::vector<long>{40, 30, 350, 280}), bounds(L"PanelClient"));
    EXPECT_EQ((std::vector<long>{0, 0, 400, 20}), bounds(L"PaintBottom"));
}

TEST_F(KvPainting, ResizeRunsOnEveryBoundsChangeAlsoWhenAligned)
{
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 0, 200, 100);
    BuildLayout(form, std::span(kTwentyRows, 5));
    std::map<std::string, int> resized;
    for (TComponent* c : form.Components())
        static_cast<TControl*>(c)->OnResize = [&resized](TComponent& s) { ++resized[Narrow(s.Name())]; };
    form.Show();
    form.SetBounds(0, 0, 300, 160);
    for (const char* name : {"PanelTop", "PanelBottom", "PanelLeft", "PanelRight", "PanelClient"})
        EXPECT_GE(resized[name], 1) << name;
    resized.clear();
    form.Find<TControl>(L"PanelLeft")->SetWidth(60);
    EXPECT_EQ(1, resized["PanelLeft"]);
    EXPECT_EQ(1, resized["PanelClient"]) << "the client area gave way";
    EXPECT_EQ(0, resized["PanelTop"]);
    TPaintBox* box = TPaintBox::Create({.owner = &form, .parent = &form});
    int boxResized = 0;
    box->OnResize = [&](TComponent&) { ++boxResized; };
    box->SetLeft(5);
    box->SetBounds(5, 0, 50, 50);
    EXPECT_EQ(2, boxResized) << "a move is a bounds change too";
}

TEST_F(KvPainting, ButtonMovedToAnotherPanelStillClicks)
{
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 0, 400, 300);
    BuildLayout(form, kTwentyRows);
    form.Show();
    auto* button = form.Find<TButton>(L"ButtonOne");
    int clicks = 0;
    button->OnClick = [&](TComponent&) { ++clicks; };
    button->SetParent(form.Find<TPanel>(L"PanelInner"));
    ASSERT_EQ(form.Find<TPanel>(L"PanelInner")->Handle(), GetParent(button->Handle()));
    SendMessageW(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(1, clicks);
    button->SetParent(form.Find<TPanel>(L"PanelTop"));
    SendMessageW(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(2, clicks);
}

// ---------------------------------------------------------------------------
// Hooks and the guard

TEST(KvWindowHooks, ChainWithoutItsMiddleHookRunsTheOtherTwo)
{
    KTEST_NEEDS_DISPLAY();
    TForm form;
    form.HandleNeeded();
    std::vector<std::string> log;
    constexpr UINT kProbe = WM_APP + 7;
    auto hook = [&](const char* name) {
        return [&log, name](TMessage& msg, const TWindowHookChain::TNext& next) {
            if (msg.Msg == kProbe)
                log.push_back(name);
            next(msg);
        };
    };
    form.AddWindowHook(hook("first"));
    const auto middle = form.AddWindowHook(hook("middle"));
    form.AddWindowHook(hook("last"));
    SendMessageW(form.Handle(), kProbe, 0, 0);
    EXPECT_EQ((std::vector<std::string>{"last", "middle", "first"}), log);
    log.clear();
    EXPECT_TRUE(form.RemoveWindowHook(middle));
    EXPECT_FALSE(form.RemoveWindowHook(middle));
    SendMessageW(form.Handle(), kProbe, 0, 0);
    EXPECT_EQ((std::vector<std::string>{"last", "first"}), log);

    // A hook that handles a message ends it there, with its answer.
    form.AddWindowHook([](TMessage& msg, const TWindowHookChain::TNext& next) {
        if (msg.Msg == kProbe) {
            msg.Result = 42;
            return;
        }
        next(msg);
    });
    log.clear();
    EXPECT_EQ(42, SendMessageW(form.Handle(), kProbe, 0, 0));
    EXPECT_TRUE(log.empty());
}

// "--role=handlers_that_free_and_throw": click handlers that release their
// form, free their own control and throw; 0 when the process went on and the
// guard saw the exception's text.
KTEST_ROLE(handlers_that_free_and_throw)
{
    formtest::RecordGuardTexts();
    formtest::InitApplication();
    auto* form = new TForm;
    form->SetBorderStyle(TBorderStyle::None);
    form->SetBounds(0, 0, 300, 60);
    TComponentRef formRef = form->Ref();
    auto box = [&](const wchar_t* name, int left) {
        return TPaintBox::Create({.owner = form, .parent = form, .name = name, .left = left,
                                  .width = 40, .height = 40});
    };
    TPaintBox* selfFree = box(L"SelfFree", 0);
    TPaintBox* thrower = box(L"Thrower", 50);
    TPaintBox* releaser = box(L"Releaser", 100);
    selfFree->OnClick = [](TComponent& sender) { delete &sender; };
    thrower->OnClick = [](TComponent&) { throw std::runtime_error("thrown by a click handler"); };
    bool releasedInside = false;
    releaser->OnClick = [&](TComponent&) {
        form->Release();
        releasedInside = formRef.Get() != nullptr;
    };
    form->Show();
    HWND wnd = form->Handle();
    auto click = [&](int x) {
        SendMouse(wnd, WM_MOUSEMOVE, x, 10);
        SendMouse(wnd, WM_LBUTTONDOWN, x, 10, MK_LBUTTON);
        SendMouse(wnd, WM_LBUTTONUP, x, 10);
    };
    click(10);
    if (form->FindComponent(L"SelfFree"))
        return 11;
    click(60);
    if (formtest::GuardTexts().find("thrown by a click handler") == std::string::npos)
        return 12;
    click(110);
    if (!releasedInside)
        return 13;
    Pump(100);
    if (formRef.Get())
        return 14;
    if (IsWindow(wnd))
        return 15;
    return 0;
}

TEST(KvGuard, HandlersThatFreeReleaseAndThrowLeaveTheProcessRunning)
{
    KTEST_NEEDS_DISPLAY();
    const ktest::ChildResult r = ktest::RunSelf(L"handlers_that_free_and_throw");
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(0u, r.exitCode);
}
