// The native controls driven by their messages, labels, timers, and the
// forms' modal loop, stay-on-top and close.

#include "controls/KvComCtrls.h"
#include "controls/KvExtCtrls.h"
#include "controls/KvForms.h"
#include "controls/KvStdCtrls.h"

#include "FormTest.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using formtest::PixelAt;
using formtest::Pump;
using formtest::PumpUntil;
using formtest::Render;

namespace {

class NativeControls : public ::testing::Test {
protected:
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        formtest::InitApplication();
        form_ = std::make_unique<TForm>();
        form_->SetBorderStyle(TBorderStyle::None);
        form_->SetBounds(500, 100, 300, 200);
        form_->SetColor(clWhite);
    }
    void TearDown() override { form_.reset(); }
    std::unique_ptr<TForm> form_;
};

} // namespace

TEST_F(NativeControls, CheckBoxSetByCodeFiresNoClickAUserClickFiresOne)
{
    TCheckBox* box = TCheckBox::Create({.owner = form_.get(), .parent = form_.get(), .name = L"Check",
                                        .left = 10, .top = 10, .width = 150, .height = 20,
                                        .caption = L"Check me"});
    int clicks = 0;
    box->OnClick = [&](TComponent&) { ++clicks; };
    form_->Show();
    HWND wnd = box->Handle();
    box->SetChecked(true);
    EXPECT_EQ(BST_CHECKED, SendMessageW(wnd, BM_GETCHECK, 0, 0));
    SendMessageW(wnd, BM_SETCHECK, BST_UNCHECKED, 0);
    Pump();
    EXPECT_EQ(0, clicks) << "BM_SETCHECK sends no click, and none is made up";
    EXPECT_FALSE(box->Checked());
    SendMessageW(wnd, BM_CLICK, 0, 0);
    EXPECT_EQ(1, clicks);
    EXPECT_TRUE(box->Checked()) << "the click toggled it first";

    box->SetWordWrap(true);
    EXPECT_TRUE(GetWindowLongW(wnd, GWL_STYLE) & BS_MULTILINE);
}

TEST_F(NativeControls, CheckBoxOnAColouredPanelTakesThePanelsColour)
{
    TPanel* panel = TPanel::Create({.owner = form_.get(), .parent = form_.get(), .left = 0, .top = 0,
                                    .width = 200, .height = 60, .color = 0x00D0E0F0});
    TCheckBox* box = TCheckBox::Create({.owner = form_.get(), .parent = panel, .left = 10, .top = 10,
                                        .width = 150, .height = 20, .caption = L"On the panel"});
    form_->Show();
    EXPECT_EQ(0x00D0E0F0u, box->Color());
    HDC dc = GetDC(box->Handle());
    const LRESULT brush = SendMessageW(panel->Handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(box->Handle()));
    EXPECT_EQ(0x00D0E0F0u, GetBkColor(dc));
    LOGBRUSH info{};
    ASSERT_TRUE(GetObjectW(reinterpret_cast<HBRUSH>(brush), sizeof(info), &info));
    EXPECT_EQ(0x00D0E0F0u, info.lbColor);
    ReleaseDC(box->Handle(), dc);
}

TEST_F(NativeControls, PushButtonAndComboBoxAnswerTheirNotifications)
{
    TButton* button = TButton::Create({.owner = form_.get(), .parent = form_.get(), .left = 10,
                                       .top = 10, .caption = L"Press"});
    TComboBox* combo = TComboBox::Create({.owner = form_.get(), .parent = form_.get(), .left = 10,
                                          .top = 50, .width = 150});
    combo->SetItems({L"English", L"Deutsch", L"Français"});
    combo->SetItemIndex(1);
    int clicks = 0, changes = 0;
    button->OnClick = [&](TComponent&) { ++clicks; };
    combo->OnChange = [&](TComponent&) { ++changes; };
    form_->Show();
    SendMessageW(button->Handle(), BM_CLICK, 0, 0);
    EXPECT_EQ(1, clicks);
    wchar_t text[32] = {};
    GetWindowTextW(button->Handle(), text, 32);
    EXPECT_STREQ(L"Press", text);
    EXPECT_EQ(3, SendMessageW(combo->Handle(), CB_GETCOUNT, 0, 0));
    EXPECT_EQ(1, combo->ItemIndex());
    EXPECT_EQ(0, changes) << "a choice made by code is no change";
    SendMessageW(combo->Handle(), CB_SETCURSEL, 2, 0);
    SendMessageW(form_->Handle(), WM_COMMAND, MAKEWPARAM(0, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo->Handle()));
    EXPECT_EQ(1, changes);
    EXPECT_EQ(2, combo->ItemIndex());
    EXPECT_LT(combo->Height(), 40) << "the closed box's height, not the list's";
}

TEST_F(NativeControls, TreeViewStateIndexRowHeightAndCustomDrawResult)
{
    TTreeView* tree = TTreeView::Create({.owner = form_.get(), .parent = form_.get(), .left = 0,
                                         .top = 0, .width = 300, .height = 200, .color = clWhite});
    tree->SetOptions({.showLines = false, .showRoot = false, .readOnly = true, .rowSelect = true,
                      .hideSelection = false, .toolTips = false, .border = false, .doubleClicks = false});
    tree->SetItemHeight(25);
    tree->SetIndent(28);
    TTreeNode* heading = tree->AddChild(nullptr, L"Heading");
    TTreeNode* first = tree->AddChild(heading, L"First");
    TTreeNode* third = tree->AddChild(heading, L"Third");
    TTreeNode* second = tree->Insert(third, L"Second");
    first->SetStateIndex(1);
    heading->Expand();
    std::vector<std::wstring> drawn;
    RECT drawnRow{};
    tree->OnCustomDrawItem = [&](TTreeView&, TTreeNode& node, const NMTVCUSTOMDRAW& draw,
                                 TCanvas& canvas, bool& defaultDraw) {
        drawn.push_back(node.Text());
        if (&node == second)
            drawnRow = draw.nmcd.rc;
        if (&node == second) {
            defaultDraw = false;
            canvas.Brush().SetColor(clRed);
            RECT row = draw.nmcd.rc;
            canvas.FillRect(row);
        }
    };
    std::vector<LRESULT> answers;
    form_->AddWindowHook([&](TMessage& msg, const TWindowHookChain::TNext& next) {
        next(msg);
        if (msg.Msg == WM_NOTIFY) {
            auto* draw = reinterpret_cast<NMTVCUSTOMDRAW*>(msg.LParam);
            if (draw->nmcd.hdr.code == static_cast<UINT>(NM_CUSTOMDRAW) &&
                draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT &&
                reinterpret_cast<TTreeNode*>(draw->nmcd.lItemlParam) == second)
                answers.push_back(msg.Result);
        }
    });
    form_->Show();
    HWND wnd = tree->Handle();
    EXPECT_EQ(4, SendMessageW(wnd, TVM_GETCOUNT, 0, 0));
    EXPECT_EQ(25, SendMessageW(wnd, TVM_GETITEMHEIGHT, 0, 0));
    EXPECT_EQ(1, first->StateIndex());
    EXPECT_EQ(INDEXTOSTATEIMAGEMASK(1),
              SendMessageW(wnd, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(first->ItemId()),
                           TVIS_STATEIMAGEMASK));
    EXPECT_EQ(0, third->StateIndex());
    EXPECT_EQ(second, first->GetNextSibling()) << "inserted before Third";
    EXPECT_EQ(1, second->Index());
    EXPECT_EQ(1, second->Level());
    EXPECT_FALSE(GetWindowLongW(wnd, GWL_STYLE) & TVS_HASLINES);
    InvalidateRect(wnd, nullptr, TRUE);
    UpdateWindow(wnd);
    EXPECT_FALSE(drawn.empty());
    ASSERT_FALSE(answers.empty()) << "the tree drew the second node";
    EXPECT_EQ(CDRF_SKIPDEFAULT, answers.back()) << "the event's choice went back to the tree";
    const RECT row = second->DisplayRect(false);
    EXPECT_EQ(25, third->DisplayRect(false).top - row.top) << "rows 25 pixels apart";
    // Wine's item rectangles, drawn or asked for, end one pixel above the
    // next row (Windows: 25 high).
    EXPECT_GE(drawnRow.bottom - drawnRow.top, 24);
    EXPECT_GE(row.bottom - row.top, 24);
    EXPECT_EQ(second, tree->GetNodeAt(row.left + 5, row.top + 5));

    std::vector<WORD> keys;
    tree->OnKeyUp = [&](TControl&, WORD key, TShiftState) { keys.push_back(key); };
    SendMessageW(wnd, WM_KEYUP, VK_DOWN, 0);
    EXPECT_EQ((std::vector<WORD>{VK_DOWN}), keys) << "a key up reaches the tree's event";

    // The user collapsing a node (the left arrow on it) asks the event first.
    bool allow = false;
    int asked = 0;
    tree->OnCollapsing = [&](TTreeView&, TTreeNode& node, bool& a) {
        ++asked;
        EXPECT_EQ(heading, &node);
        a = allow;
    };
    std::vector<LRESULT> expanding;
    form_->AddWindowHook([&](TMessage& msg, const TWindowHookChain::TNext& next) {
        next(msg);
        if (msg.Msg == WM_NOTIFY &&
            reinterpret_cast<NMHDR*>(msg.LParam)->code == static_cast<UINT>(TVN_ITEMEXPANDINGW))
            expanding.push_back(msg.Result);
    });
    heading->SetSelected(true);
    SendMessageW(wnd, WM_KEYDOWN, VK_LEFT, 0);
    EXPECT_EQ(1, asked);
    EXPECT_EQ((std::vector<LRESULT>{TRUE}), expanding) << "the refusal goes back to the tree";
    // Wine collapses a node the user closes whatever the answer (Windows keeps
    // it open), so the node's state is not looked at here.
    tree->Clear();
    EXPECT_EQ(0, SendMessageW(wnd, TVM_GETCOUNT, 0, 0));
    EXPECT_EQ(0, tree->Count());
}

TEST_F(NativeControls, ProgressBarPositionAndMarquee)
{
    TProgressBar* bar = TProgressBar::Create({.owner = form_.get(), .parent = form_.get(), .left = 10,
                                              .top = 10, .width = 200, .height = 16});
    bar->SetRange(0, 400);
    bar->SetPosition(100);
    form_->Show();
    HWND wnd = bar->Handle();
    EXPECT_EQ(100, SendMessageW(wnd, PBM_GETPOS, 0, 0));
    EXPECT_EQ(400, SendMessageW(wnd, PBM_GETRANGE, FALSE, 0));
    bar->SetPosition(1000);
    EXPECT_EQ(400, bar->Position()) << "kept within the range";
    bar->SetMarquee(true);
    EXPECT_TRUE(GetWindowLongW(wnd, GWL_STYLE) & PBS_MARQUEE);
    bar->SetMarquee(false);
    EXPECT_FALSE(GetWindowLongW(wnd, GWL_STYLE) & PBS_MARQUEE);
}

TEST_F(NativeControls, MemoShowsLinesTheUserCannotChange)
{
    TMemo* memo = TMemo::Create({.owner = form_.get(), .parent = form_.get(), .left = 10, .top = 10,
                                 .width = 200, .height = 40});
    memo->SetLines({L"1.0.2.3", L"second line"});
    form_->Show();
    HWND wnd = memo->Handle();
    const LONG style = GetWindowLongW(wnd, GWL_STYLE);
    EXPECT_TRUE(style & ES_READONLY);
    EXPECT_TRUE(style & ES_MULTILINE);
    wchar_t text[64] = {};
    GetWindowTextW(wnd, text, 64);
    EXPECT_STREQ(text, L"1.0.2.3\r\nsecond line");
    EXPECT_EQ(2, SendMessageW(wnd, EM_GETLINECOUNT, 0, 0));
    const std::vector<std::wstring> lines = memo->Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"second line", lines[1]);
    // A key press of the user changes nothing.
    SendMessageW(wnd, WM_CHAR, L'x', 0);
    GetWindowTextW(wnd, text, 64);
    EXPECT_STREQ(text, L"1.0.2.3\r\nsecond line");
    // It paints on its parent's colour, not on the dialog grey.
    Pump(50);
    auto picture = Render(*form_);
    EXPECT_EQ(clWhite, PixelAt(*picture, 10 + 190, 10 + 35));
}

TEST(KvTimers, TimerTicksAndAFreedTimersMessageDoesNothing)
{
    KTEST_NEEDS_DISPLAY();
    formtest::InitApplication();
    auto timer = std::make_unique<TTimer>();
    int ticks = 0;
    timer->OnTimer = [&](TComponent&) { ++ticks; };
    timer->SetInterval(20);
    EXPECT_EQ(0u, timer->Id()) << "a new timer is stopped";
    timer->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 2; }, 3000));
    const UINT_PTR id = timer->Id();
    HWND window = TTimer::TimerWindow();
    ASSERT_NE(nullptr, window);
    timer.reset();
    const int before = ticks;
    PostMessageW(window, WM_TIMER, id, 0);
    SendMessageW(window, WM_TIMER, id, 0);
    Pump(50);
    EXPECT_EQ(before, ticks);

    // An exception in the handler stays in the guard; the timer goes on.
    TTimer thrower;
    int thrown = 0;
    thrower.OnTimer = [&](TComponent&) {
        ++thrown;
        throw std::runtime_error("timer handler");
    };
    thrower.SetInterval(10);
    thrower.SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return thrown >= 2; }, 3000));
}

TEST(KvLabels, AutoSizeWrapAndAlignment)
{
    KTEST_NEEDS_DISPLAY();
    formtest::InitApplication();
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 0, 300, 100);
    form.SetColor(clWhite);
    TLabel* single = TLabel::Create({.owner = &form, .parent = &form, .left = 200, .top = 0,
                                     .width = 80, .caption = L"Right edge stays",
                                     .alignmentSet = true});
    single->SetAlignment(TAlignment::Right);
    const int right = single->Left() + single->Width();
    single->SetCaption(L"Right");
    EXPECT_EQ(right, single->Left() + single->Width()) << "a right-aligned label keeps its right edge";
    const SIZE text = single->MeasureCaption(0);
    EXPECT_EQ(text.cx, single->Width());

    TLabel* wrapped = TLabel::Create({.owner = &form, .parent = &form, .left = 0, .top = 40,
                                      .width = 60, .caption = L"one two three four five six",
                                      .wordWrap = TFlag::On});
    EXPECT_EQ(60, wrapped->Width());
    EXPECT_GT(wrapped->Height(), 2 * single->Height()) << "several lines";
    TLabel* amp = TLabel::Create({.owner = &form, .parent = &form, .caption = L"A&&B&C",
                                  .showAccelChar = TFlag::Off});
    TLabel* accel = TLabel::Create({.owner = &form, .parent = &form, .caption = L"A&&B&C"});
    EXPECT_GT(amp->Width(), accel->Width()) << "without accelerators every & shows";

    TLabel* opaque = TLabel::Create({.owner = &form, .parent = &form, .left = 100, .top = 60,
                                     .width = 40, .height = 20, .caption = L"", .color = clRed,
                                     .transparent = TFlag::Off, .autoSize = TFlag::Off});
    std::unique_ptr<TBitmap> shot = Render(form);
    EXPECT_EQ(clRed, PixelAt(*shot, 110, 65));
    opaque->SetTransparent(true);
    shot = Render(form);
    EXPECT_EQ(clWhite, PixelAt(*shot, 110, 65));
}

namespace {

// Inked pixels of Text drawn unclipped, black on white, in Font.
int FreeInkedPixels(const TFont& Font, const std::wstring& Text)
{
    TBitmap free(300, 40, TPixelFormat::pf24bit);
    TCanvas& canvas = free.Canvas();
    canvas.Brush().SetColor(clWhite);
    canvas.FillRect(RECT{0, 0, 300, 40});
    canvas.Font().Assign(Font);
    canvas.Font().SetColor(clBlack);
    canvas.Brush().SetStyle(TBrushStyle::Clear);
    canvas.TextOut(10, 10, Text);
    GdiFlush();
    int count = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 300; ++x)
            count += PixelAt(free, x, y) != clWhite;
    return count;
}

} // namespace

// Under Wine a bold line may ink a column past its advance: whatever the
// alignment, the label shows every inked pixel.
TEST(KvLabels, ALineShowsAllItsInkInEveryAlignment)
{
    KTEST_NEEDS_DISPLAY();
    formtest::InitApplication();
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 0, 300, 100);
    form.SetColor(clWhite);
    const TFontSpec bold{.name = L"Tahoma", .height = -12, .style = fsBold, .styleSet = true,
                         .color = clBlack};
    // A caption whose ink runs past its extent in this prefix's fonts.
    std::wstring caption;
    {
        TLabel probe(&form);
        probe.Font().SetName(bold.name);
        probe.Font().SetHeight(bold.height);
        probe.Font().SetStyle(bold.style);
        TBitmap work(1, 1);
        TDcSelection font(work.Canvas().Handle(), probe.Font().Handle());
        for (const wchar_t* text : {L"1.5 MB", L"Rettungscenter", L"Speed Up System", L"WWW"})
            if (MeasureTextInk(work.Canvas().Handle(), text).inked >
                MeasureTextInk(work.Canvas().Handle(), text).advance) {
                caption = text;
                break;
            }
    }
    if (caption.empty())
        GTEST_SKIP() << "no candidate inks past its advance in these fonts";
    struct TCase {
        const char* name;
        TAlignment alignment;
        TFlag autoSize;
    };
    static const TCase kCases[] = {
        {"left, autosized", TAlignment::Left, TFlag::On},
        {"right, autosized", TAlignment::Right, TFlag::On},
        {"centre, autosized", TAlignment::Center, TFlag::On},
        {"right in a wider box", TAlignment::Right, TFlag::Off},
        {"centre in a wider box", TAlignment::Center, TFlag::Off},
    };
    for (const TCase& c : kCases) {
        SCOPED_TRACE(c.name);
        auto label = std::unique_ptr<TLabel>(TLabel::Create(
            {.owner = &form, .parent = &form, .left = 100, .top = 30, .width = 120, .height = 20,
             .caption = caption.c_str(), .font = bold, .alignment = c.alignment,
             .alignmentSet = true, .autoSize = c.autoSize, .showAccelChar = TFlag::Off}));
        std::unique_ptr<TBitmap> shot = Render(form);
        int count = 0;
        for (int y = 0; y < 100; ++y)
            for (int x = 0; x < 300; ++x)
                count += PixelAt(*shot, x, y) != clWhite;
        EXPECT_EQ(FreeInkedPixels(label->Font(), caption), count);
    }
}

// A link's underline ends under its last glyph, not at its advance, which
// under Wine runs a few pixels further and reads as a trailing blank.
TEST(KvLabels, AnUnderlineEndsWithTheInk)
{
    KTEST_NEEDS_DISPLAY();
    formtest::InitApplication();
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(0, 0, 300, 60);
    form.SetColor(clWhite);
    TLabel* link = TLabel::Create(
        {.owner = &form, .parent = &form, .left = 20, .top = 20, .caption = L"Privacy Policy",
         .font = {.name = L"Tahoma", .height = -12, .style = fsUnderline, .styleSet = true,
                  .color = clBlack},
         .showAccelChar = TFlag::Off});
    std::unique_ptr<TBitmap> shot = Render(form);
    // The underline is the row inked furthest to the left and right at once.
    int lineRow = -1, lineLeft = 0, lineRight = -1, glyphRight = -1;
    for (int y = link->Top(); y < link->Top() + link->Height(); ++y) {
        int left = -1, right = -1, count = 0;
        for (int x = 0; x < 300; ++x)
            if (PixelAt(*shot, x, y) != clWhite) {
                if (left < 0)
                    left = x;
                right = x;
                ++count;
            }
        if (right >= 0 && count > (lineRow < 0 ? 0 : lineRight - lineLeft + 1) &&
            count == right - left + 1) {
            lineRow = y;
            lineLeft = left;
            lineRight = right;
        }
    }
    ASSERT_GE(lineRow, 0) << "an underline";
    for (int y = link->Top(); y < lineRow; ++y)
        for (int x = 0; x < 300; ++x)
            if (PixelAt(*shot, x, y) != clWhite)
                glyphRight = std::max(glyphRight, x);
    EXPECT_EQ(link->Left(), lineLeft);
    EXPECT_EQ(glyphRight, lineRight);
}

TEST(KvFormsModal, ShowModalRunsItsOwnLoopUntilAResult)
{
    KTEST_NEEDS_DISPLAY();
    formtest::InitApplication();
    TForm owner;
    owner.SetBounds(0, 0, 200, 100);
    owner.Show();
    TForm dialog;
    dialog.SetBorderStyle(TBorderStyle::Dialog);
    dialog.SetBounds(50, 50, 200, 100);
    TTimer timer(&dialog);
    bool ownerDisabled = false;
    timer.OnTimer = [&](TComponent&) {
        ownerDisabled = !IsWindowEnabled(owner.Handle());
        dialog.SetModalResult(mrOk);
    };
    timer.SetInterval(30);
    timer.SetEnabled(true);
    EXPECT_EQ(mrOk, dialog.ShowModal());
    EXPECT_TRUE(ownerDisabled) << "the other windows are disabled meanwhile";
    EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
    EXPECT_FALSE(IsWindowVisible(dialog.Handle()));

    // Closed: mrCancel; OnCloseQuery may refuse.
    int asked = 0;
    timer.OnTimer = [&](TComponent&) {
        ++asked;
        dialog.Close();
    };
    dialog.OnCloseQuery = [&](TForm&, bool& canClose) { canClose = asked > 1; };
    EXPECT_EQ(mrCancel, dialog.ShowModal());
    EXPECT_EQ(2, asked);
}

TEST(KvFormsModal, StayOnTopAndCloseHidesOrFrees)
{
    KTEST_NEEDS_DISPLAY();
    formtest::InitApplication();
    auto* form = new TForm;
    form->SetBounds(0, 0, 100, 100);
    form->SetStayOnTop(true);
    form->Show();
    EXPECT_TRUE(GetWindowLongW(form->Handle(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    form->SetStayOnTop(false);
    EXPECT_FALSE(GetWindowLongW(form->Handle(), GWL_EXSTYLE) & WS_EX_TOPMOST);
    SendMessageW(form->Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindowVisible(form->Handle())) << "a form hides on close";
    form->Show();
    const TComponentRef ref = form->Ref();
    HWND wnd = form->Handle();
    form->OnClose = [](TForm&, TCloseAction& action) { action = TCloseAction::Free; };
    form->Close();
    EXPECT_TRUE(ref.Get() != nullptr) << "freed after the message, not inside it";
    Pump(50);
    EXPECT_EQ(nullptr, ref.Get());
    EXPECT_FALSE(IsWindow(wnd));
}

// "--role=main_form_close": closing the main form ends Run; 0 when it did.
KTEST_ROLE(main_form_close)
{
    TApplication& app = Application();
    app.Initialize();
    auto* form = app.CreateForm<TForm>();
    form->SetBounds(0, 0, 100, 80);
    TTimer* timer = new TTimer(form);
    timer->OnTimer = [form](TComponent&) { form->Close(); };
    timer->SetInterval(50);
    timer->SetEnabled(true);
    HWND wnd = form->Handle();
    app.Run();
    return app.Terminated() && !IsWindow(wnd) && app.ComponentCount() == 0 ? 0 : 1;
}

// "--role=no_main_form_shown": a run told not to show the main form (a
// "/CHECK" run) ends by Terminate with the form never shown.
KTEST_ROLE(no_main_form_shown)
{
    TApplication& app = Application();
    app.Initialize();
    auto* form = app.CreateForm<TForm>();
    bool shown = false;
    form->OnShow = [&](TComponent&) { shown = true; };
    TTimer* timer = new TTimer(form);
    timer->OnTimer = [&](TComponent&) { app.Terminate(); };
    timer->SetInterval(50);
    timer->SetEnabled(true);
    app.SetShowMainForm(false);
    app.Run();
    return shown ? 1 : 0;
}

TEST(KvApplication, MainFormCloseEndsTheRunAndAHiddenRunEndsByTerminate)
{
    KTEST_NEEDS_DISPLAY();
    for (const wchar_t* role : {L"main_form_close", L"no_main_form_shown"}) {
        SCOPED_TRACE(std::string(role, role + wcslen(role)));
        const ktest::ChildResult r = ktest::RunSelf(role, {}, 30000);
        ASSERT_TRUE(r.started);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(0u, r.exitCode);
    }
}

class KvHints : public formtest::MouseTest {};

TEST_F(KvHints, HintShowsUnderTheControlAMomentAfterEnterAndGoesOnLeave)
{
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(600, 600, 200, 60);
    TLabel* label = TLabel::Create({.owner = &form, .parent = &form, .left = 10, .top = 10,
                                    .caption = L"Registry", .hint = L"Classes, interfaces and type libraries",
                                    .showHint = TFlag::On});
    TLabel::Create({.owner = &form, .parent = &form, .left = 120, .top = 10, .caption = L"No hint"});
    form.Show();
    HWND wnd = form.Handle();
    formtest::SendMouse(wnd, WM_MOUSEMOVE, 15, 15);
    ASSERT_TRUE(PumpUntil([] { return HintWindow() && IsWindowVisible(HintWindow()); }, 3000));
    wchar_t text[80] = {};
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uId = 1;
    tool.lpszText = text;
    SendMessageW(HintWindow(), TTM_GETTEXTW, 80, reinterpret_cast<LPARAM>(&tool));
    EXPECT_STREQ(L"Classes, interfaces and type libraries", text);
    RECT tip{};
    GetWindowRect(HintWindow(), &tip);
    const POINT under = label->ClientToScreen(POINT{0, label->Height()});
    EXPECT_GE(tip.top, under.y) << "under the control";
    formtest::SendMouse(wnd, WM_MOUSEMOVE, 130, 15);
    EXPECT_FALSE(IsWindowVisible(HintWindow())) << "gone when the mouse left it";
    Pump(700);
    EXPECT_FALSE(IsWindowVisible(HintWindow())) << "a control without a hint shows none";
    formtest::SendMouse(wnd, WM_MOUSEMOVE, 15, 15);
    formtest::SendMouse(wnd, WM_LBUTTONDOWN, 15, 15, MK_LBUTTON);
    formtest::SendMouse(wnd, WM_LBUTTONUP, 15, 15);
    Pump(700);
    EXPECT_FALSE(IsWindowVisible(HintWindow())) << "a press cancels it";
}
