// kvgallery: every kind of control of the form library on screen, for the
// screenshot and inspection tests and for people to look at.
//
//   kvgallery [--page controls|skin|store|warning] [--shot file.png] [--seconds N]
//
// controls: the native and windowless controls, the skinned buttons, a PNG
//   control with anchors, and a counter that the skin button "ButtonCount"
//   and the push button "ButtonAdd" each raise by one ("LabelCounter").
// skin: every button state side by side, icon buttons in each alignment,
//   nine-patch frames at several sizes.
// store, warning: every picture of the image store's two lists with its name.
// With --shot the window is captured from its own drawing once it has
// painted, written as a PNG, and the program ends (exit 0; 1 when the shot
// was not written). Without it the window stays until closed ("ButtonClose"
// on the controls page) or, with --seconds, that many seconds have passed.

#include "app/frmAllImages.h"
#include "controls/KvComCtrls.h"
#include "controls/KvExtCtrls.h"
#include "controls/KvForms.h"
#include "controls/KvLayout.h"
#include "controls/KvStdCtrls.h"
#include "controls/PNGControl.h"
#include "controls/SkinControls.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr TColor kSkinPanel = 0x00F7EFE8;
constexpr TColor kHeading = 0x009C101D;

TFontSpec Bold(int height, TColor color = clDefault)
{
    return TFontSpec{.height = height, .style = fsBold, .styleSet = true, .color = color};
}

// ---------------------------------------------------------------------------
// Page "controls"

const TControlSpec kControlsPage[] = {
    {.kind = KvNew<TLabel>, .name = L"LabelTitle", .left = 16, .top = 10,
     .caption = L"Form library: every kind of control", .font = {.height = -18, .style = fsBold, .styleSet = true, .color = kHeading}},
    // Native controls.
    {.kind = KvNew<TPanel>, .name = L"PanelNative", .left = 16, .top = 44, .width = 440, .height = 560, .color = clWhite},
    {.kind = KvNew<TLabel>, .name = L"LabelNative", .parentName = L"PanelNative", .left = 12, .top = 8,
     .caption = L"Native controls", .font = {.height = -13, .style = fsBold, .styleSet = true}},
    {.kind = KvNew<TButton>, .name = L"ButtonAdd", .parentName = L"PanelNative", .left = 12, .top = 34,
     .width = 120, .height = 26, .caption = L"Add one"},
    {.kind = KvNew<TButton>, .name = L"ButtonClose", .parentName = L"PanelNative", .left = 144, .top = 34,
     .width = 120, .height = 26, .caption = L"Close gallery"},
    {.kind = KvNew<TCheckBox>, .name = L"CheckPlain", .parentName = L"PanelNative", .left = 12, .top = 72,
     .width = 200, .height = 20, .caption = L"A plain check box", .checked = TFlag::On},
    {.kind = KvNew<TCheckBox>, .name = L"CheckWrap", .parentName = L"PanelNative", .left = 12, .top = 96,
     .width = 200, .height = 34, .caption = L"A check box whose caption wraps onto a second line",
     .wordWrap = TFlag::On},
    {.kind = KvNew<TCheckBox>, .name = L"CheckDisabled", .parentName = L"PanelNative", .left = 220, .top = 72,
     .width = 200, .height = 20, .caption = L"Disabled check box", .enabled = TFlag::Off},
    {.kind = KvNew<TComboBox>, .name = L"ComboLanguages", .parentName = L"PanelNative", .left = 12, .top = 140,
     .width = 200},
    {.kind = KvNew<TLabel>, .name = L"LabelProgress", .parentName = L"PanelNative", .left = 12, .top = 176,
     .caption = L"Progress bar at 60 % and a marquee:"},
    {.kind = KvNew<TProgressBar>, .name = L"ProgressHalf", .parentName = L"PanelNative", .left = 12, .top = 196,
     .width = 410, .height = 18},
    {.kind = KvNew<TProgressBar>, .name = L"ProgressMarquee", .parentName = L"PanelNative", .left = 12, .top = 222,
     .width = 410, .height = 18},
    {.kind = KvNew<TLabel>, .name = L"LabelTree", .parentName = L"PanelNative", .left = 12, .top = 252,
     .caption = L"Tree view (the second group drawn by its custom-draw event):"},
    {.kind = KvNew<TTreeView>, .name = L"TreeSample", .parentName = L"PanelNative", .left = 12, .top = 272,
     .width = 410, .height = 276, .color = clWhite},
    // Windowless controls on a coloured panel.
    {.kind = KvNew<TPanel>, .name = L"PanelSkin", .left = 472, .top = 44, .width = 500, .height = 560, .color = kSkinPanel},
    {.kind = KvNew<TLabel>, .name = L"LabelSkin", .parentName = L"PanelSkin", .left = 12, .top = 8,
     .caption = L"Windowless and skinned controls", .font = {.height = -13, .style = fsBold, .styleSet = true}},
    {.kind = KvNew<TLabel>, .name = L"LabelCounterText", .parentName = L"PanelSkin", .left = 12, .top = 38,
     .caption = L"Clicks counted:"},
    {.kind = KvNew<TLabel>, .name = L"LabelCounter", .parentName = L"PanelSkin", .left = 110, .top = 34,
     .caption = L"0", .font = {.height = -18, .style = fsBold, .styleSet = true, .color = kHeading}},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonCount", .parentName = L"PanelSkin", .left = 160, .top = 30,
     .width = 100, .height = 33, .caption = L"Count", .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT",
     .imageDown = L"BUTTON1_DOWN", .imageDisabled = L"BUTTON1_INACTIVE",
     .font = {.name = L"Tahoma", .height = -14, .style = fsBold, .styleSet = true, .color = clWhite},
     .captionBorder = 0x00505050},
    {.kind = KvNew<TCheckBox>, .name = L"CheckOnSkin", .parentName = L"PanelSkin", .left = 280, .top = 38,
     .width = 200, .height = 20, .caption = L"Check box on the panel"},
    {.kind = KvNew<TLabel>, .name = L"LabelWrapped", .parentName = L"PanelSkin", .left = 12, .top = 76, .width = 220,
     .caption = L"A transparent label that wraps its text to its width, as the pages' long texts do.",
     .wordWrap = TFlag::On},
    {.kind = KvNew<TLabel>, .name = L"LabelRight", .parentName = L"PanelSkin", .left = 250, .top = 76, .width = 230,
     .caption = L"Right-aligned label", .alignment = TAlignment::Right, .alignmentSet = true},
    {.kind = KvNew<TLabel>, .name = L"LabelOpaque", .parentName = L"PanelSkin", .left = 250, .top = 100, .width = 230,
     .height = 18, .caption = L"Opaque label on white", .color = clWhite, .alignment = TAlignment::Center,
     .alignmentSet = true, .transparent = TFlag::Off, .autoSize = TFlag::Off},
    {.kind = KvNew<TSkinButtonEx>, .name = L"ButtonBack", .parentName = L"PanelSkin", .left = 12, .top = 136,
     .width = 100, .height = 33, .caption = L"Back", .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT",
     .imageDown = L"BUTTON1_DOWN", .imageDisabled = L"BUTTON1_INACTIVE", .icon = L"BUTTON1_LEFT",
     .font = {.name = L"Tahoma", .height = -14, .style = fsBold, .styleSet = true, .color = clWhite},
     .iconTextSpace = 5},
    {.kind = KvNew<TSkinButtonEx>, .name = L"ButtonNext", .parentName = L"PanelSkin", .left = 124, .top = 136,
     .width = 100, .height = 33, .caption = L"Next", .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT",
     .imageDown = L"BUTTON1_DOWN", .imageDisabled = L"BUTTON1_INACTIVE", .icon = L"BUTTON1_RIGHT",
     .font = {.name = L"Tahoma", .height = -14, .style = fsBold, .styleSet = true, .color = clWhite},
     .iconRight = TFlag::On, .iconTextSpace = 5},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonDisabled", .parentName = L"PanelSkin", .left = 236, .top = 136,
     .width = 100, .height = 33, .caption = L"Cancel", .image = L"BUTTON1", .imageDisabled = L"BUTTON1_INACTIVE",
     .font = {.name = L"Tahoma", .height = -14, .style = fsBold, .styleSet = true, .color = clWhite},
     .enabled = TFlag::Off},
    {.kind = KvNew<TSkinButtonEx>, .name = L"ButtonScan", .parentName = L"PanelSkin", .left = 12, .top = 184,
     .width = 300, .height = 64, .caption = L"Scan now", .image = L"BUTTON_SCAN", .imageHot = L"BUTTON_SCAN_HOT",
     .imageDown = L"BUTTON_SCAN_DOWN", .icon = L"SETTINGS_ICO",
     .underCaption = L"Looks for registry errors, start-up entries and files to clean",
     .font = {.name = L"Tahoma", .height = -16, .style = fsBold, .styleSet = true, .color = clWhite},
     .underCaptionFont = {.name = L"Tahoma", .height = -11, .color = 0x00F0F0F0}, .iconTextSpace = 8,
     .captionBorder = 0x00404040},
    {.kind = KvNew<TSkinImage>, .name = L"ImageLogo", .parentName = L"PanelSkin", .left = 12, .top = 262,
     .width = 220, .height = 56, .image = L"LOGO_AERO"},
    {.kind = KvNew<TSkinImage>, .name = L"ImageFrame", .parentName = L"PanelSkin", .left = 250, .top = 262,
     .width = 230, .height = 70, .image = L"RECT_BORDER", .stretched = TFlag::On},
    {.kind = KvNew<TLabel>, .name = L"LabelFrame", .parentName = L"PanelSkin", .left = 262, .top = 272, .width = 206,
     .caption = L"A nine-patch frame behind a wrapped label", .wordWrap = TFlag::On},
    {.kind = KvNew<TLabel>, .name = L"LabelPng", .parentName = L"PanelSkin", .left = 12, .top = 342,
     .caption = L"PNG control with two anchors (outlined by its OnPaint):"},
    {.kind = KvNew<TPNGControl>, .name = L"PngBanner", .parentName = L"PanelSkin", .left = 12, .top = 362,
     .width = 300, .height = 80},
    {.kind = KvNew<TLabel>, .name = L"LabelPaint", .parentName = L"PanelSkin", .left = 330, .top = 342,
     .caption = L"Paint box:"},
    {.kind = KvNew<TPaintBox>, .name = L"PaintShapes", .parentName = L"PanelSkin", .left = 330, .top = 362,
     .width = 150, .height = 80},
    {.kind = KvNew<TLabel>, .name = L"LabelHand", .parentName = L"PanelSkin", .left = 12, .top = 460, .width = 470,
     .caption = L"Labels, skin images and buttons, the PNG control and the paint box have no window of "
                L"their own: the panel paints them and routes the mouse to them.",
     .wordWrap = TFlag::On},
};

// A 300 × 80 banner made here, with two anchors.
void FillBanner(TPNGControl& control)
{
    TBitmap drawing(300, 80, TPixelFormat::pf24bit);
    TCanvas& canvas = drawing.Canvas();
    for (int y = 0; y < 80; ++y) {
        canvas.Brush().SetColor(RGB(40 + y, 90 + y, 170 + y));
        canvas.FillRect(RECT{0, y, 300, y + 1});
    }
    canvas.Brush().SetColor(0x0030A442);
    canvas.FillRect(RECT{10, 20, 140, 60});
    canvas.Brush().SetColor(0x00208CE0);
    canvas.FillRect(RECT{160, 20, 290, 60});
    canvas.Brush().SetStyle(TBrushStyle::Clear);
    canvas.Font().SetName(L"Tahoma");
    canvas.Font().SetHeight(-13);
    canvas.Font().SetStyle(fsBold);
    canvas.Font().SetColor(clWhite);
    canvas.TextOut(30, 32, L"Read more");
    canvas.TextOut(184, 32, L"Download");
    TPNGPicture picture;
    picture.Assign(drawing);
    control.SetImage(picture);
    TAnchor* left = control.AddAnchor();
    left->SetRect(RECT{10, 20, 140, 60});
    left->SetURL("https://example.invalid/read");
    TAnchor* right = control.AddAnchor();
    right->SetRect(RECT{160, 20, 290, 60});
    right->SetURL("https://example.invalid/download");
}

void FillTree(TTreeView& tree)
{
    tree.SetOptions({.showLines = true, .showRoot = true, .readOnly = true, .rowSelect = false,
                     .hideSelection = false, .toolTips = false, .border = true});
    tree.SetItemHeight(20);
    TTreeNode* registry = tree.AddChild(nullptr, L"Registry items");
    TTreeNode* classes = tree.AddChild(registry, L"CLSID Registration (3 Items)");
    tree.AddChild(classes, L"HKCR\\CLSID\\{00000000-0000-0000-0000-000000000001}");
    tree.AddChild(classes, L"HKCR\\CLSID\\{00000000-0000-0000-0000-000000000002}");
    tree.AddChild(classes, L"HKCR\\CLSID\\{00000000-0000-0000-0000-000000000003}");
    TTreeNode* drawn = tree.AddChild(registry, L"Shared DLLs Registration (1 Item)");
    tree.AddChild(drawn, L"C:\\Program Files\\Old\\gone.dll");
    tree.AddChild(nullptr, L"Speed up system items");
    registry->Expand(true);
    tree.OnCustomDrawItem = [drawn](TTreeView&, TTreeNode& node, const NMTVCUSTOMDRAW& draw,
                                    TCanvas& canvas, bool& defaultDraw) {
        if (&node != drawn)
            return;
        defaultDraw = false;
        RECT row = draw.nmcd.rc;
        canvas.Brush().SetColor(0x00D1D1D1);
        canvas.FillRect(RECT{row.left, row.top, row.right, row.bottom - 2});
        canvas.Brush().SetStyle(TBrushStyle::Clear);
        canvas.Font().SetColor(kHeading);
        canvas.TextOut(row.left + 40, row.top + 3, node.Text());
        canvas.Brush().SetStyle(TBrushStyle::Solid);
    };
}

void BuildControlsPage(TForm& form, TImageData& store)
{
    form.SetCaption(L"Korvelle gallery: controls");
    form.SetClientSize(988, 620);
    form.SetColor(0x00F0F0F0);
    BuildLayout(form, kControlsPage, {.images = store.ImageList()});
    form.Find<TComboBox>(L"ComboLanguages")
        ->SetItems({L"English", L"Deutsch", L"Español", L"Français", L"Italiano", L"日本語", L"Português"});
    form.Find<TComboBox>(L"ComboLanguages")->SetItemIndex(3);
    form.Find<TProgressBar>(L"ProgressHalf")->SetPosition(60);
    form.Find<TProgressBar>(L"ProgressMarquee")->SetMarquee(true);
    FillTree(*form.Find<TTreeView>(L"TreeSample"));
    auto* counter = form.Find<TLabel>(L"LabelCounter");
    auto count = std::make_shared<int>(0);
    auto raise = [counter, count](TComponent&) { counter->SetCaption(std::to_wstring(++*count)); };
    form.Find<TSkinButton>(L"ButtonCount")->OnClick = raise;
    form.Find<TButton>(L"ButtonAdd")->OnClick = raise;
    form.Find<TButton>(L"ButtonClose")->OnClick = [&form](TComponent&) { form.Close(); };
    auto* banner = form.Find<TPNGControl>(L"PngBanner");
    FillBanner(*banner);
    banner->OnPaint = [](TGraphicControl& sender) {
        auto& png = static_cast<TPNGControl&>(sender);
        TCanvas& canvas = png.Canvas();
        canvas.Brush().SetColor(clRed);
        for (const auto& anchor : png.Anchors())
            canvas.FrameRect(anchor->Rect());
    };
    form.Find<TPaintBox>(L"PaintShapes")->OnPaint = [](TGraphicControl& sender) {
        TCanvas& canvas = sender.Canvas();
        canvas.Brush().SetColor(clWhite);
        canvas.Pen().SetColor(0x00808080);
        canvas.Rectangle(RECT{0, 0, sender.Width(), sender.Height()});
        const POINT triangle[] = {{16, 60}, {46, 14}, {76, 60}};
        canvas.Brush().SetColor(0x0030A442);
        canvas.Pen().SetColor(0x00206020);
        canvas.Polygon(triangle, 3);
        canvas.Brush().SetColor(0x00208CE0);
        canvas.FillRect(RECT{90, 20, 136, 60});
        canvas.Brush().SetStyle(TBrushStyle::Clear);
        canvas.TextOut(86, 62, L"shapes");
        canvas.Brush().SetStyle(TBrushStyle::Solid);
    };
}

// ---------------------------------------------------------------------------
// Page "skin"

struct TStateCell {
    const wchar_t* label;
    bool hot;
    bool down;
    bool disabled;
};
const TStateCell kStates[] = {
    {L"normal", false, false, false},  {L"hot (mouse over)", true, false, false},
    {L"down (pressed)", true, true, false}, {L"disabled", false, false, true},
    {L"disabled, mouse over (no picture of its own)", true, false, true},
};

struct TFrameCell {
    const wchar_t* image;
    int width;
    int height;
};
const TFrameCell kFrames[] = {
    {L"BUTTON1", 40, 20},       {L"BUTTON1", 100, 34},     {L"BUTTON1", 180, 50},
    {L"RECT_BORDER", 10, 10},   {L"RECT_BORDER", 60, 40},  {L"RECT_BORDER", 200, 60},
    {L"BUTTON_SCAN", 120, 50},  {L"BUTTON_SCAN", 280, 70}, {L"STEPS_BG", 48, 64},
    {L"STEPS_BG", 160, 64},     {L"TAB", 120, 32},         {L"SUPPORT_ACTIVE", 160, 32},
    {L"RED_BORDER", 160, 40},   {L"RESULTS_TABLE", 240, 180}, {L"RESULTS_TABLE", 300, 200},
};

TLabel* AddLabel(TWinControl& parent, TComponent& owner, int left, int top, const std::wstring& text,
                 int width = -1)
{
    TLabel* label = TLabel::Create({.owner = &owner, .parent = &parent, .left = left, .top = top,
                                    .width = width, .wordWrap = width > 0 ? TFlag::On : TFlag::Default});
    label->SetCaption(text);
    return label;
}

// Pictures in rows from left to right, each with its name right under it;
// a row ends where the next cell would pass the right edge.
class TCellFlow {
public:
    TCellFlow(TForm& form, int left, int top, int right, int gap, int rowGap)
        : form_(form), left_(left), right_(right), gap_(gap), rowGap_(rowGap), x_(left), y_(top) {}
    // Where the next picture of this size goes; its name is placed under it.
    POINT Place(int width, int height, const std::wstring& name)
    {
        TLabel* label = AddLabel(form_, form_, 0, 0, name);
        const int cell = std::max(width, label->Width());
        if (x_ > left_ && x_ + cell > right_) {
            x_ = left_;
            y_ += rowHeight_ + rowGap_;
            rowHeight_ = 0;
        }
        const POINT at{x_, y_};
        label->SetBounds(x_, y_ + height + 2, label->Width(), label->Height());
        x_ += cell + gap_;
        rowHeight_ = std::max(rowHeight_, height + 2 + label->Height());
        return at;
    }
    // The first free line under the last row.
    int Bottom() const { return y_ + rowHeight_; }

private:
    TForm& form_;
    int left_, right_, gap_, rowGap_, x_, y_, rowHeight_ = 0;
};

void BuildSkinPage(TForm& form, TImageData& store)
{
    form.SetCaption(L"Korvelle gallery: skin");
    form.SetClientSize(1000, 810);
    form.SetColor(clWhite);
    const TLayoutContext context{.images = store.ImageList()};
    TLabel::Create({.owner = &form, .parent = &form, .left = 16, .top = 10,
                    .caption = L"Every button state, icon buttons and nine-patch frames",
                    .font = Bold(-18, kHeading)});
    AddLabel(form, form, 16, 44, L"TSkinButton, one per panel (each panel routes its own mouse):");
    int left = 16;
    for (const TStateCell& cell : kStates) {
        TPanel* panel = TPanel::Create({.owner = &form, .parent = &form, .left = left, .top = 64,
                                        .width = 170, .height = 84, .color = kSkinPanel});
        TSkinButton* button = TSkinButton::Create(
            {.owner = &form, .parent = panel, .name = L"StateButton", .left = 35, .top = 10,
             .width = 100, .height = 33, .caption = L"Next", .image = L"BUTTON1",
             .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
             .imageDisabled = L"BUTTON1_INACTIVE", .font = Bold(-14, clWhite),
             .captionBorder = 0x00505050},
            context);
        button->SetName(L"State" + std::to_wstring(left));
        if (cell.disabled)
            button->SetEnabled(false);
        AddLabel(*panel, form, 8, 50, cell.label, 156);
        panel->HandleNeeded();
        HWND wnd = panel->Handle();
        if (cell.hot)
            SendMessageW(wnd, WM_MOUSEMOVE, 0, MAKELPARAM(80, 25));
        if (cell.down)
            SendMessageW(wnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(80, 25));
        left += 186;
    }
    AddLabel(form, form, 16, 160, L"TSkinButtonEx: icon left and right, three alignments, an under-caption:");
    const struct {
        TSkinCaptionAlign align;
        bool right;
        const wchar_t* name;
    } icons[] = {
        {TSkinCaptionAlign::aclLeft, false, L"left, icon left"},
        {TSkinCaptionAlign::aclCenter, false, L"centre, icon left"},
        {TSkinCaptionAlign::aclRight, false, L"right, icon left"},
        {TSkinCaptionAlign::aclLeft, true, L"left, icon right"},
        {TSkinCaptionAlign::aclCenter, true, L"centre, icon right"},
        {TSkinCaptionAlign::aclRight, true, L"right, icon right"},
    };
    int i = 0;
    for (const auto& c : icons) {
        const int x = 16 + (i % 3) * 330, y = 182 + (i / 3) * 74;
        TSkinButtonEx* button = TSkinButtonEx::Create(
            {.owner = &form, .parent = &form, .left = x, .top = y, .width = 220, .height = 56,
             .caption = L"Speed up", .image = L"BUTTON_CONTINUE", .imageHot = L"BUTTON_CONTINUE_HOT",
             .icon = c.right ? L"BUTTON1_RIGHT" : L"BUTTON1_LEFT",
             .underCaption = L"Tweaks your system settings", .font = Bold(-14, clWhite),
             .underCaptionFont = {.name = L"Tahoma", .height = -11, .color = 0x00F4F4F4},
             .iconTextSpace = 5, .edgeMargins = {8, 4, 8, 4}, .edgeMarginsSet = true},
            context);
        button->SetCaptionAlign(c.align);
        button->SetIconRight(c.right);
        AddLabel(form, form, x + 228, y + 20, c.name, 95);
        ++i;
    }
    AddLabel(form, form, 16, 336, L"Nine-patch frames (corners unscaled) at several sizes, also smaller than their margins:");
    TCellFlow flow(form, 16, 358, 984, 18, 12);
    for (const TFrameCell& cell : kFrames) {
        const std::wstring text = std::wstring(cell.image) + L" " + std::to_wstring(cell.width) +
                                  L"×" + std::to_wstring(cell.height);
        const POINT at = flow.Place(cell.width, cell.height, text);
        TSkinImage::Create({.owner = &form, .parent = &form, .left = at.x, .top = at.y, .width = cell.width,
                            .height = cell.height, .image = cell.image, .stretched = TFlag::On},
                           context);
    }
}

// ---------------------------------------------------------------------------
// Page "store"

// Every picture of one image list with its name.
void BuildStorePage(TForm& form, TSkinBitmapList& list, const std::wstring& title)
{
    form.SetCaption(L"Korvelle gallery: " + title);
    form.SetBounds(0, 0, form.Width(), form.Height());
    form.SetClientSize(1240, 990);
    form.SetColor(0x00E0E0E0);
    const std::wstring heading = L"Every picture of the image store's " + title + L", with its name";
    TLabel::Create({.owner = &form, .parent = &form, .left = 12, .top = 6, .caption = heading.c_str(),
                    .font = Bold(-16, kHeading)});
    TCellFlow flow(form, 12, 34, 1228, 14, 3);
    for (int i = 0; i < list.Images().Count(); ++i) {
        TSkinBitmapImage& item = list.Images()[i];
        const int w = std::max(item.Width(), 1), h = std::max(item.Height(), 1);
        const POINT at = flow.Place(w, h, item.Name());
        TSkinImage* image = TSkinImage::Create(
            {.owner = &form, .parent = &form, .left = at.x, .top = at.y, .width = w, .height = h},
            {.images = &list});
        image->SetImageName(item.Name());
    }
    form.SetClientSize(1240, std::min(flow.Bottom() + 6, 994));
}

// Captures the form's own drawing (its window's surface, whatever covers it
// on screen) into a PNG.
bool ShootWindow(TForm& form, const std::wstring& file)
{
    HWND wnd = form.Handle();
    RECT r{};
    GetWindowRect(wnd, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    TBitmap bitmap(w, h, TPixelFormat::pf24bit);
    HDC dc = GetWindowDC(wnd);
    const bool copied = !bitmap.Empty() && BitBlt(bitmap.Canvas().Handle(), 0, 0, w, h, dc, 0, 0, SRCCOPY);
    ReleaseDC(wnd, dc);
    TPNGPicture png;
    return copied && png.Assign(bitmap) && png.SaveToFile(file);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    std::wstring page = L"controls", shot;
    UINT seconds = 0;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i + 1 < argc; ++i) {
        if (!wcscmp(argv[i], L"--page"))
            page = argv[++i];
        else if (!wcscmp(argv[i], L"--shot"))
            shot = argv[++i];
        else if (!wcscmp(argv[i], L"--seconds"))
            seconds = static_cast<UINT>(wcstoul(argv[++i], nullptr, 10));
    }
    LocalFree(argv);

    TApplication& app = Application();
    app.Initialize();
    auto* store = new TImageData(&app);
    auto* form = app.CreateForm<TForm>();
    form->SetName(L"FormGallery");
    form->SetBorderStyle(TBorderStyle::Single);
    form->SetBounds(10, 10, 400, 300);
    form->Font().SetName(L"Tahoma");
    form->Font().SetHeight(-12);
    if (page == L"skin")
        BuildSkinPage(*form, *store);
    else if (page == L"store")
        BuildStorePage(*form, *store->ImageList(), L"ImageList");
    else if (page == L"warning")
        BuildStorePage(*form, *store->ImageListWarning(), L"ImageListWarning");
    else
        BuildControlsPage(*form, *store);
    if (page != L"controls") {
        // Every page can be closed from outside (formdrive click ButtonClose).
        TButton* close = TButton::Create({.owner = form, .parent = form, .name = L"ButtonClose",
                                          .left = form->ClientWidth() - 132, .top = 6, .width = 120,
                                          .height = 24, .caption = L"Close gallery"});
        close->OnClick = [form](TComponent&) { form->Close(); };
    }
    if (shot.empty()) {
        if (seconds) {
            auto* timer = new TTimer(form);
            timer->OnTimer = [form](TComponent&) { form->Close(); };
            timer->SetInterval(seconds * 1000);
            timer->SetEnabled(true);
        }
        app.Run();
        return 0;
    }
    form->Show();
    form->Update();
    // Let the marquee and the trees settle before the shot.
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 300) {
        app.ProcessMessages();
        Sleep(10);
    }
    form->Update();
    return ShootWindow(*form, shot) ? 0 : 1;
}
