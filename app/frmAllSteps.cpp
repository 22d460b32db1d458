#include "app/frmAllSteps.h"

#include "app/frmAllImages.h"
#include "app/frmAllMain.h"
#include "app/frmQVFAQ.h"
#include "app/qvAppBody.h"
#include "app/qvDailyCheck.h"
#include "app/qvFormTranslate.h"
#include "app/qvUpdate.h"
#include "controls/KvHtmlLabelW.h"
#include "controls/KvLayout.h"
#include "engine/qvScanTools.h"
#include "engine/qvStartup.h"
#include "engine/qvSystemScanners.h"
#include "platform/BindingU.h"
#include "platform/FileVersionU.h"
#include "platform/GuardU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <set>

// ---------------------------------------------------------------------------
// Section totals

namespace {

bool GroupCounts(const TqvGroup& Group)
{
    return Group.FoundCount() >= 1 && Group.Checked;
}

// Calls Visit for every item of the group that counts.
template <typename F> void ForCountedItems(const TqvGroup& Group, F&& Visit)
{
    bool keyCounts = false;
    for (const auto& item : Group.Scanner->Items) {
        const bool own = item->Found && item->Selected;
        if (!item->Locked) {
            keyCounts = own;
            if (own)
                Visit(*item);
        } else if (own && keyCounts) {
            Visit(*item);
        }
    }
}

} // namespace

int32_t SectionSelectedCount(const TqvCategory* Category)
{
    if (!Category)
        return 0;
    int32_t count = 0;
    for (const auto& group : Category->Groups) {
        if (!GroupCounts(*group))
            continue;
        if (!group->Scanner || group->Scanner->Items.empty())
            count += group->FoundCount();
        else
            ForCountedItems(*group, [&count](const TqvItem&) { ++count; });
    }
    return count;
}

int64_t SectionSelectedSize(const TqvCategory* Category)
{
    if (!Category)
        return 0;
    int64_t size = 0;
    for (const auto& group : Category->Groups) {
        if (!GroupCounts(*group))
            continue;
        if (!group->Scanner || group->Scanner->Items.empty())
            size += group->FoundSize();
        else
            ForCountedItems(*group, [&size](const TqvItem& Item) { size += Item.Size; });
    }
    return size;
}

int64_t SectionMemoryFigure(const TqvCategory* Category, int64_t MemoryFigure)
{
    if (!Category)
        return 0;
    int64_t figure = 0;
    for (const auto& group : Category->Groups)
        if (GroupCounts(*group) && dynamic_cast<const TqvItemsMemory*>(group->Scanner.get()))
            figure += MemoryFigure;
    return figure;
}

void SelectSectionItems(TqvCategory* Category, bool Flag)
{
    if (!Category)
        return;
    for (const auto& group : Category->Groups) {
        if (group->FoundCount() < 1)
            continue;
        group->Checked = Flag;
        if (group->Scanner)
            for (const auto& item : group->Scanner->Items)
                if (item->Found)
                    item->Selected = Flag;
    }
}


// ---------------------------------------------------------------------------
// The layout

namespace {

TFormSteps* gFormSteps = nullptr;

constexpr int kPageWidth = 770;
constexpr int kPageHeight = 392;
constexpr int kNavTop = 345;
constexpr int kNavWidth = 100;
constexpr int kNavHeight = 33;
// Between two buttons of the navigation row.
constexpr int kNavGap = 18;
constexpr int kPauseGap = 10;
// Room on each side of a fitted row button's caption, together.
constexpr int kRowButtonMargin = 24;
constexpr int kPageTag = 1;
constexpr int kFilled = kNoTranslationTag;
// Where a page's own content starts (the step list and the step header lie
// over the rest).
constexpr int kContentLeft = 196;
constexpr int kContentWidth = 554;
// Counts and sizes of the progress and speed-up pages end here.
constexpr int kCountRight = 726;

constexpr TColor kTextColor = 0x404040;
constexpr TColor kHeadingColor = 0x7A4A1F;
constexpr TColor kGreen = 0x30A442;
constexpr TColor kRed = 0x1D109C;
constexpr TColor kGrey = 0x808080;
constexpr TColor kGroupRow = 0xD1D1D1;

const TFontSpec kNavFont{.name = L"Tahoma", .height = -14, .style = fsBold, .styleSet = true,
                         .color = clWhite};
const TFontSpec kSmallButtonFont{.name = L"Tahoma", .height = -12, .style = fsBold,
                                 .styleSet = true, .color = clWhite};
const TFontSpec kTextFont{.name = L"Tahoma", .height = -12, .color = kTextColor};
const TFontSpec kHeadingFont{.name = L"Tahoma", .height = -12, .style = fsBold, .styleSet = true,
                             .color = kHeadingColor};
const TFontSpec kTitleFont{.name = L"Tahoma", .height = -16, .style = fsBold, .styleSet = true,
                           .color = kHeadingColor};
const TFontSpec kLinkFont{.name = L"Tahoma", .height = -12, .style = fsUnderline, .styleSet = true,
                          .color = kGreen};

TControlSpec PageRow(const wchar_t* Name)
{
    return {.kind = KvNew<TPanel>, .name = Name, .left = 0, .top = 0, .width = kPageWidth,
            .height = kPageHeight, .color = clWhite, .tag = kPageTag, .visible = TFlag::Off};
}

// A one-line label (its width follows the text).
TControlSpec Text(const wchar_t* Name, const wchar_t* Parent, int Left, int Top,
                  const wchar_t* Caption, const TFontSpec& Font = kTextFont, int Tag = 0)
{
    return {.kind = KvNew<TLabel>, .name = Name, .parentName = Parent, .left = Left, .top = Top,
            .caption = Caption, .font = Font, .tag = Tag, .showAccelChar = TFlag::Off};
}

// A label wrapped to a width (its height follows the text).
TControlSpec Wrapped(const wchar_t* Name, const wchar_t* Parent, int Left, int Top, int Width,
                     const wchar_t* Caption, const TFontSpec& Font = kTextFont, int Tag = 0)
{
    TControlSpec spec = Text(Name, Parent, Left, Top, Caption, Font, Tag);
    spec.width = Width;
    spec.wordWrap = TFlag::On;
    return spec;
}

// A one-line label whose right edge stays at Right.
TControlSpec RightText(const wchar_t* Name, const wchar_t* Parent, int Right, int Top,
                       const wchar_t* Caption, const TFontSpec& Font = kTextFont, int Tag = 0)
{
    TControlSpec spec = Text(Name, Parent, Right - 100, Top, Caption, Font, Tag);
    spec.width = 100;
    spec.alignment = TAlignment::Right;
    spec.alignmentSet = true;
    return spec;
}

TControlSpec Link(const wchar_t* Name, const wchar_t* Parent, int Left, int Top,
                  const wchar_t* Caption)
{
    TControlSpec spec = Text(Name, Parent, Left, Top, Caption, kLinkFont);
    spec.cursor = crHandPoint;
    return spec;
}

// A button of the navigation row (BUTTON1, 33 high).
TControlSpec RowButton(const wchar_t* Name, const wchar_t* Parent, int Left, int Width,
                       const wchar_t* Caption, int Top = kNavTop)
{
    return {.kind = KvNew<TSkinButton>, .name = Name, .parentName = Parent, .left = Left,
            .top = Top, .width = Width, .height = kNavHeight, .caption = Caption,
            .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
            .imageDisabled = L"BUTTON1_INACTIVE", .font = kNavFont, .cursor = crHandPoint};
}

// A Back button of a page (the navigation Back's look).
TControlSpec BackButton(const wchar_t* Name, const wchar_t* Parent, int Left)
{
    return {.kind = KvNew<TSkinButtonEx>, .name = Name, .parentName = Parent, .left = Left,
            .top = kNavTop, .width = kNavWidth, .height = kNavHeight, .caption = L"Back",
            .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
            .imageDisabled = L"BUTTON1_INACTIVE", .icon = L"BUTTON1_LEFT", .font = kNavFont,
            .cursor = crHandPoint, .iconTextSpace = 5};
}

// A smaller button inside a page (BUTTON2, 28 high).
TControlSpec PageButton(const wchar_t* Name, const wchar_t* Parent, int Left, int Top, int Width,
                        const wchar_t* Caption)
{
    return {.kind = KvNew<TSkinButton>, .name = Name, .parentName = Parent, .left = Left,
            .top = Top, .width = Width, .height = 28, .caption = Caption, .image = L"BUTTON2",
            .imageHot = L"BUTTON2_HOT", .imageDown = L"BUTTON2_DOWN",
            .imageDisabled = L"BUTTON2_INACTIVE", .font = kSmallButtonFont,
            .cursor = crHandPoint};
}

TControlSpec Image(const wchar_t* Name, const wchar_t* Parent, int Left, int Top, int Width,
                   int Height, const wchar_t* Picture, TFlag Stretched = TFlag::Default)
{
    return {.kind = KvNew<TSkinImage>, .name = Name, .parentName = Parent, .left = Left,
            .top = Top, .width = Width, .height = Height, .image = Picture, .stretched = Stretched};
}

TControlSpec Box(const wchar_t* Name, const wchar_t* Parent, int Left, int Top)
{
    return {.kind = KvNew<TCheckBox>, .name = Name, .parentName = Parent, .left = Left, .top = Top,
            .width = 17, .height = 17, .caption = L"", .checked = TFlag::On};
}

TControlSpec Bar(const wchar_t* Name, const wchar_t* Parent, int Top)
{
    return {.kind = KvNew<TProgressBar>, .name = Name, .parentName = Parent, .left = kContentLeft,
            .top = Top, .width = kContentWidth, .height = 18};
}

// The three sections of the progress page, one row each.
constexpr int kSectionTop[3] = {240, 272, 304};

// The group boxes of the scan settings page: two columns, one row per pair.
constexpr int kSettingsColumn = 193;
constexpr int kSettingsRow = 27;

const TControlSpec kStepsLayout[] = {
    PageRow(L"PanelWelcome"),
    PageRow(L"PanelSettings"),
    PageRow(L"PanelProgress"),
    PageRow(L"PanelResults"),
    PageRow(L"PanelReview"),
    PageRow(L"PanelRepair"),
    PageRow(L"PanelRepairDone"),
    PageRow(L"PanelSpeedUp"),
    PageRow(L"PanelSpeedUpProgress"),
    PageRow(L"PanelFinish"),
    PageRow(L"PanelRescueCenter"),
    PageRow(L"PanelSupportSettings"),
    PageRow(L"PanelHelp"),
    PageRow(L"PanelAbout"),

    // The navigation buttons, moved into the page shown.
    {.kind = KvNew<TSkinButtonEx>, .name = L"ButtonBack", .parentName = L"PanelWelcome",
     .left = 400, .top = kNavTop, .width = kNavWidth, .height = kNavHeight, .caption = L"Back",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .icon = L"BUTTON1_LEFT", .font = kNavFont, .cursor = crHandPoint, .iconTextSpace = 5},
    {.kind = KvNew<TSkinButtonEx>, .name = L"ButtonNext", .parentName = L"PanelWelcome",
     .left = 518, .top = kNavTop, .width = kNavWidth, .height = kNavHeight, .caption = L"Next",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .icon = L"BUTTON1_RIGHT", .font = kNavFont, .cursor = crHandPoint, .iconRight = TFlag::On,
     .iconTextSpace = 5},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonCancel", .parentName = L"PanelWelcome",
     .left = 636, .top = kNavTop, .width = kNavWidth, .height = kNavHeight, .caption = L"Cancel",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .imageDisabled = L"BUTTON1_INACTIVE", .font = kNavFont, .cursor = crHandPoint},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonClose", .parentName = L"PanelWelcome",
     .left = 636, .top = kNavTop, .width = kNavWidth, .height = kNavHeight, .caption = L"Close",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .imageDisabled = L"BUTTON1_INACTIVE", .font = kNavFont, .cursor = crHandPoint},

    // Welcome: the header and the template of the list's lines (the lines
    // themselves come from the design-time list at creation).
    Text(L"LabelWelcomeHeader", L"PanelWelcome", kContentLeft, 94,
         L"%BRAND% optimizes your computer in a few steps:", kTitleFont),
    {.kind = KvNew<TLabel>, .name = L"LabelWelcomeText", .parentName = L"PanelWelcome",
     .left = 212, .top = 130, .caption = L"", .font = {.name = L"Tahoma", .height = -13, .color = kTextColor},
     .visible = TFlag::Off, .showAccelChar = TFlag::Off},
    RightText(L"LabelWelcomeNext", L"PanelWelcome", 504, 354, L"Click \u201CNext\u201D to continue."),

    // Scan settings: the border around the group boxes, the templates of a
    // box and its label, the undo button with its text, the hint to go on.
    Text(L"LabelSettingsInfo", L"PanelSettings", kContentLeft, 90,
         L"Select the areas of the registry that %BRAND% scans:", kHeadingFont),
    Image(L"ImageSettingsBorder", L"PanelSettings", kContentLeft, 110, 2 * kSettingsColumn + 32,
          115, L"RECT_BORDER", TFlag::On),
    {.kind = KvNew<TCheckBox>, .name = L"CheckSettingsCLSID", .parentName = L"PanelSettings",
     .left = 212, .top = 124, .width = 21, .height = 17, .caption = L"", .visible = TFlag::Off},
    {.kind = KvNew<TLabel>, .name = L"LabelSettingsCLSID", .parentName = L"PanelSettings",
     .left = 233, .top = 125, .caption = L"", .font = {.name = L"Tahoma", .height = -12, .color = 0x303030},
     .visible = TFlag::Off, .showAccelChar = TFlag::Off},
    PageButton(L"ButtonUndoChanges", L"PanelSettings", 604, 233, 132, L"Undo Changes"),
    RightText(L"LabelSettingsText", L"PanelSettings", 590, 238,
              L"Undo the changes of an earlier repair:"),
    RightText(L"LabelSettingsNext", L"PanelSettings", 386, 354, L"Click \u201CNext\u201D to start the scan."),

    // Scan progress: the animation, the status and bar, one row per section.
    {.kind = KvNew<TPaintBox>, .name = L"PaintBoxAnim", .parentName = L"PanelProgress",
     .left = 319, .top = 88, .width = 302, .height = 94},
    Text(L"LabelProgress", L"PanelProgress", kContentLeft, 190, L"", kTextFont, kFilled),
    Bar(L"ProgressBarScan", L"PanelProgress", 208),
    Image(L"ImageRegistryScan", L"PanelProgress", kContentLeft, kSectionTop[0], 24, 24, L"PROGRESS_ICO1"),
    Text(L"LabelRegistryScan", L"PanelProgress", 228, kSectionTop[0] - 1, L"Registry Scan", kHeadingFont),
    Text(L"LabelRegistryScanText", L"PanelProgress", 228, kSectionTop[0] + 14,
         L"Invalid entries in your system registry"),
    RightText(L"LabelErrorText", L"PanelProgress", 640, kSectionTop[0] + 5, L"Errors found:"),
    RightText(L"LabelErrorCount", L"PanelProgress", kCountRight, kSectionTop[0] + 5, L"0", kHeadingFont, kFilled),
    Image(L"ImageSystemSpeedUp", L"PanelProgress", kContentLeft, kSectionTop[1], 24, 24, L"PROGRESS_ICO2"),
    Text(L"LabelSystemSpeedUp", L"PanelProgress", 228, kSectionTop[1] - 1, L"System Speed Up", kHeadingFont),
    Text(L"LabelSystemSpeedUpText", L"PanelProgress", 228, kSectionTop[1] + 14,
         L"Settings that slow down your computer"),
    RightText(L"LabelTweakText", L"PanelProgress", 640, kSectionTop[1] + 5, L"Tweaks found:"),
    RightText(L"LabelTweakCount", L"PanelProgress", kCountRight, kSectionTop[1] + 5, L"0", kHeadingFont, kFilled),
    Image(L"ImageFileCleanUp", L"PanelProgress", kContentLeft, kSectionTop[2], 24, 24, L"PROGRESS_ICO3"),
    Text(L"LabelFileCleanUp", L"PanelProgress", 228, kSectionTop[2] - 1, L"File Clean Up", kHeadingFont),
    Text(L"LabelFileCleanUpText", L"PanelProgress", 228, kSectionTop[2] + 14,
         L"Unneeded files that take up disk space"),
    RightText(L"LabelCleanSizeText", L"PanelProgress", 640, kSectionTop[2] + 5, L"Space to free:"),
    RightText(L"LabelCleanSize", L"PanelProgress", kCountRight, kSectionTop[2] + 5, L"0 B", kHeadingFont, kFilled),
    RowButton(L"ButtonStopScan", L"PanelProgress", 376, kNavWidth, L"Stop Scan"),
    RowButton(L"ButtonPauseScan", L"PanelProgress", 486, 132, L"Pause Scan"),

    // Scan results.
    Image(L"ImageResults", L"PanelResults", kContentLeft, 96, 40, 40, L"RESULTS_TABLE_ICO"),
    Text(L"LabelResultsText", L"PanelResults", 248, 98, L"", kTitleFont, kFilled),
    Text(L"LabelResultsFix", L"PanelResults", 248, 126, L"", kTextFont, kFilled),
    Text(L"LabelResultsClean", L"PanelResults", 248, 126, L"",
         {.name = L"Tahoma", .height = -12, .style = fsBold, .styleSet = true, .color = kGreen}, kFilled),
    Wrapped(L"LabelResultsCleanInfo", L"PanelResults", 248, 146, 490,
            L"No invalid entries were found in the registry areas you chose to scan."),
    PageButton(L"ButtonResultsReview", L"PanelResults", 248, 176, 150, L"Review Errors"),
    RightText(L"LabelResultsNext", L"PanelResults", 386, 354, L"Click \u201CNext\u201D to speed up your computer."),
    RightText(L"LabelResultsCleanNext", L"PanelResults", 622, 354, L"Click \u201CClose\u201D to end the wizard."),
    BackButton(L"ButtonResultsBack", L"PanelResults", 321),
    RowButton(L"ButtonFix", L"PanelResults", 440, 178, L"Fix All Errors"),

    // Review (steps 5, 13 and 14).
    {.kind = KvNew<TTreeView>, .name = L"TreeViewReview", .parentName = L"PanelReview",
     .left = kContentLeft, .top = 88, .width = kContentWidth, .height = 248,
     .font = {.name = L"Tahoma", .height = -12, .color = clBlack}, .color = clWhite},
    BackButton(L"ButtonReviewBack", L"PanelReview", 636),

    // Repair.
    {.kind = KvNew<TPaintBox>, .name = L"PaintBoxAnim2", .parentName = L"PanelRepair",
     .left = 290, .top = 92, .width = 360, .height = 100},
    Text(L"LabelRepair", L"PanelRepair", kContentLeft, 208, L"", kTextFont, kFilled),
    Bar(L"ProgressBarRepair", L"PanelRepair", 226),
    Wrapped(L"LabelRepairText", L"PanelRepair", kContentLeft, 258, kContentWidth,
            L"Please wait while %BRAND% repairs the selected registry errors. Every change is "
            L"backed up first and can be undone in the Rescue Center."),

    // Repair done.
    Image(L"ImageRepairDone", L"PanelRepairDone", kContentLeft, 96, 64, 64, L"REPAIR_DONE"),
    Text(L"LabelRepairDoneHeader", L"PanelRepairDone", 276, 102, L"Your registry has been repaired.",
         {.name = L"Tahoma", .height = -16, .style = fsBold, .styleSet = true, .color = kGreen}),
    Wrapped(L"LabelRepairDoneInfo", L"PanelRepairDone", 276, 130, 470,
            L"A backup of every change is kept in the Rescue Center."),
    Wrapped(L"LabelRepairDoneText", L"PanelRepairDone", 276, 170, 470,
            L"%BRAND% has also found items that slow down your computer. Click \u201CSpeed Up My "
            L"System\u201D to optimize them."),
    BackButton(L"ButtonRepairBack", L"PanelRepairDone", 317),
    RowButton(L"ButtonSpeedUp", L"PanelRepairDone", 436, 182, L"Speed Up My System"),
    RowButton(L"ButtonFinish", L"PanelRepairDone", 636, kNavWidth, L"Finish"),

    // Speed up: the speed-up section and the clean-up section.
    Box(L"CheckSpeedUp", L"PanelSpeedUp", kContentLeft, 98),
    {.kind = KvNew<TLabel>, .name = L"LabelSpeedUp", .parentName = L"PanelSpeedUp", .left = 220,
     .top = 96, .caption = L"Speed Up System",
     .font = {.name = L"Tahoma", .height = -14, .style = fsBold, .styleSet = true, .color = kRed},
     .cursor = crHandPoint, .showAccelChar = TFlag::Off},
    Wrapped(L"LabelSpeedUpText", L"PanelSpeedUp", 220, 118, 330,
            L"Applies the settings that make Windows start and run faster."),
    RightText(L"LabelSpeedUpTweaksText", L"PanelSpeedUp", 690, 98, L"Items found:"),
    RightText(L"LabelSpeedUpTweaks", L"PanelSpeedUp", kCountRight, 98, L"0",
              {.name = L"Tahoma", .height = -12, .style = fsBold, .styleSet = true, .color = kRed}, kFilled),
    PageButton(L"ButtonReviewTweaks", L"PanelSpeedUp", 629, 122, 107, L"Review Items"),
    Image(L"ImageSpeedUpLine", L"PanelSpeedUp", kContentLeft, 170, kContentWidth, 3, L"HEADER_LINE", TFlag::On),
    Box(L"CheckCleanUp", L"PanelSpeedUp", kContentLeft, 190),
    {.kind = KvNew<TLabel>, .name = L"LabelCleanUp", .parentName = L"PanelSpeedUp", .left = 220,
     .top = 188, .caption = L"Clean Up Disk",
     .font = {.name = L"Tahoma", .height = -14, .style = fsBold, .styleSet = true, .color = kRed},
     .cursor = crHandPoint, .showAccelChar = TFlag::Off},
    Wrapped(L"LabelCleanUpText", L"PanelSpeedUp", 220, 210, 330,
            L"Removes temporary and unneeded files that take up disk space."),
    RightText(L"LabelSpeedUpCleanSizeText", L"PanelSpeedUp", 690, 190, L"Space to free:"),
    RightText(L"LabelSpeedUpCleanSize", L"PanelSpeedUp", kCountRight, 190, L"0 B",
              {.name = L"Tahoma", .height = -12, .style = fsBold, .styleSet = true, .color = kRed}, kFilled),
    PageButton(L"ButtonReviewFiles", L"PanelSpeedUp", 629, 214, 107, L"Review Files"),
    Wrapped(L"LabelSpeedUpInfo", L"PanelSpeedUp", kContentLeft, 270, kContentWidth,
            L"Choose what to optimize and click \u201CSpeed Up\u201D."),
    BackButton(L"ButtonSpeedUpBack", L"PanelSpeedUp", 400),
    RowButton(L"ButtonSpeedUpGo", L"PanelSpeedUp", 518, kNavWidth, L"Speed Up"),

    // Speed-up progress.
    {.kind = KvNew<TPaintBox>, .name = L"PaintBoxAnim3", .parentName = L"PanelSpeedUpProgress",
     .left = 298, .top = 92, .width = 344, .height = 100},
    Text(L"LabelSpeedUpProgress", L"PanelSpeedUpProgress", kContentLeft, 208, L"", kTextFont, kFilled),
    Bar(L"ProgressBarSpeedUp", L"PanelSpeedUpProgress", 226),
    Wrapped(L"LabelSpeedUpProgressText", L"PanelSpeedUpProgress", kContentLeft, 258, kContentWidth,
            L"Please wait while %BRAND% optimizes your computer."),

    // Finish: what was done, and the testimonial.
    Image(L"ImageFinish", L"PanelFinish", kContentLeft, 96, 48, 48, L"FINISHFREE_ICO"),
    Text(L"LabelFinishText", L"PanelFinish", 258, 98, L"Your computer has been optimized!", kTitleFont),
    Text(L"LabelFinishInfo", L"PanelFinish", 258, 124, L"This is what %BRAND% has done for you:"),
    Text(L"LabelFinishRegistryText", L"PanelFinish", 258, 158, L"Registry errors repaired:"),
    Text(L"LabelFinishRegistry", L"PanelFinish", 478, 158, L"", kHeadingFont, kFilled),
    Text(L"LabelFinishTweaksText", L"PanelFinish", 258, 182, L"System settings optimized:"),
    Text(L"LabelFinishTweaks", L"PanelFinish", 478, 182, L"", kHeadingFont, kFilled),
    Text(L"LabelFinishMemoryText", L"PanelFinish", 258, 206, L"Free memory:"),
    Text(L"LabelFinishMemory", L"PanelFinish", 478, 206, L"", kHeadingFont, kFilled),
    Text(L"LabelFinishDiskText", L"PanelFinish", 258, 230, L"Disk space freed:"),
    Text(L"LabelFinishDisk", L"PanelFinish", 478, 230, L"", kHeadingFont, kFilled),
    Wrapped(L"LabelTestimonial", L"PanelFinish", 258, 272, 480,
            L"Do you like %BRAND%? Tell other users about it."),
    RowButton(L"ButtonTestimonial", L"PanelFinish", 396, 222, L"Write a Testimonial"),

    // Rescue centre.
    Wrapped(L"LabelRescueText", L"PanelRescueCenter", kContentLeft, 88, kContentWidth,
            L"Choose a backup to restore the registry entries that %BRAND% changed, or remove "
            L"a backup you no longer need."),
    {.kind = KvNew<TTreeView>, .name = L"TreeViewRestorePoints", .parentName = L"PanelRescueCenter",
     .left = kContentLeft, .top = 122, .width = kContentWidth, .height = 212,
     .font = {.name = L"Tahoma", .height = -12, .color = clBlack}, .color = clWhite},
    // Room for the longest translation ("Wiederherstellen").
    RowButton(L"ButtonRestore", L"PanelRescueCenter", 468, 150, L"Restore"),
    RowButton(L"ButtonRemove", L"PanelRescueCenter", 636, kNavWidth, L"Remove"),

    // Settings (the support tab's page).
    Text(L"LabelSettingsGeneral", L"PanelSupportSettings", kContentLeft, 90, L"General settings",
         kHeadingFont),
    Box(L"CheckSettingsTray", L"PanelSupportSettings", 200, 116),
    {.kind = KvNew<TLabel>, .name = L"LabelSettingsTray", .parentName = L"PanelSupportSettings",
     .left = 224, .top = 117, .caption = L"Start the %BRAND% tray program with Windows",
     .font = kTextFont, .showAccelChar = TFlag::Off},
    Box(L"CheckSettingsDelay", L"PanelSupportSettings", 200, 142),
    {.kind = KvNew<TLabel>, .name = L"LabelSettingsDelay", .parentName = L"PanelSupportSettings",
     .left = 224, .top = 143, .caption = L"Postpone start-up programs so that Windows starts faster",
     .font = kTextFont, .showAccelChar = TFlag::Off},
    Box(L"CheckSettingsRestorePoint", L"PanelSupportSettings", 200, 168),
    {.kind = KvNew<TLabel>, .name = L"LabelSettingsRestorePoint", .parentName = L"PanelSupportSettings",
     .left = 224, .top = 169, .caption = L"Create a system restore point before every repair",
     .font = kTextFont, .showAccelChar = TFlag::Off},
    Box(L"CheckSettingsUpdates", L"PanelSupportSettings", 200, 194),
    {.kind = KvNew<TLabel>, .name = L"LabelSettingsUpdates", .parentName = L"PanelSupportSettings",
     .left = 224, .top = 195, .caption = L"Check for new versions automatically", .font = kTextFont,
     .showAccelChar = TFlag::Off},
    Text(L"LabelLanguage", L"PanelSupportSettings", kContentLeft, 238, L"Language:", kHeadingFont),
    {.kind = KvNew<TComboBox>, .name = L"LanguageCombo", .parentName = L"PanelSupportSettings",
     .left = 300, .top = 234, .width = 180, .height = 21, .font = kTextFont},
    RowButton(L"ButtonUpdate", L"PanelSupportSettings", kContentLeft, 200, L"Check for Updates"),
    {.kind = KvNew<TSkinButton>, .name = L"ButtonSaveSettings", .parentName = L"PanelSupportSettings",
     .left = 624, .top = kNavTop, .width = 112, .height = kNavHeight, .caption = L"Save",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .imageDisabled = L"BUTTON1_INACTIVE", .font = kNavFont, .cursor = crHandPoint,
     .enabled = TFlag::Off},

    // Help.
    Wrapped(L"LabelHelpText", L"PanelHelp", kContentLeft, 92, kContentWidth,
            L"Do you have a question about %BRAND%? The answers to the questions users ask most "
            L"often are one click away."),
    PageButton(L"ButtonFAQ", L"PanelHelp", kContentLeft, 132, 200, L"Frequently Asked Questions"),
    Wrapped(L"LabelOnlineHelpText", L"PanelHelp", kContentLeft, 190, kContentWidth,
            L"Our website has more help, step-by-step guides and a way to contact us."),
    PageButton(L"ButtonOnlineHelp", L"PanelHelp", kContentLeft, 216, 200, L"Online Help"),

    // About.
    Image(L"ImageAboutLogo", L"PanelAbout", kContentLeft - 6, 88, 140, 30, L"LOGO_AERO_TEXT"),
    Text(L"LabelAboutProduct", L"PanelAbout", kContentLeft, 126,
         L"Registry repair and speed-up for Windows", kHeadingFont),
    Text(L"LabelAboutVersion", L"PanelAbout", kContentLeft, 152, L"Version:"),
    {.kind = KvNew<TMemo>, .name = L"MemoAboutVersion", .parentName = L"PanelAbout", .left = 260,
     .top = 152, .width = 200, .height = 16, .caption = L"", .font = kTextFont, .tag = kFilled},
    Text(L"LabelAboutCopyright", L"PanelAbout", kContentLeft, 176,
         L"%C% %YEAR% %BRAND%. All rights reserved."),
    Link(L"LabelAboutWebsite", L"PanelAbout", kContentLeft, 210, L"%BRAND_DOMAIN%"),
    Link(L"LabelAboutSubmit", L"PanelAbout", kContentLeft, 244, L"Write a testimonial"),
    Link(L"LabelAboutRead", L"PanelAbout", kContentLeft, 266, L"Read what other users say"),
    Link(L"LabelAboutPrivacy", L"PanelAbout", kContentLeft, 310, L"Privacy Policy"),
    // Left to itself by the translation, which reads "|" as a line break.
    Text(L"LabelAboutSep", L"PanelAbout", 290, 310, L"|", kTextFont, kFilled),
    Link(L"LabelAboutTerms", L"PanelAbout", 301, 310, L"Terms of Use"),
};

// The design-time list of the welcome page: one label per line, each keyed
// by the part before its "=".
constexpr const wchar_t* kMemoWelcome[] = {
    L"WelcomeText1=%#% Cleans & repairs your registry",
    L"WelcomeText2=%#% Fixes system errors & crashes",
    L"WelcomeText3=%#% Increases free disk space & memory space",
    L"WelcomeText4=%#% Tweaks your system to speed it up",
    L"WelcomeText5=%#% Improves Internet access",
    L"WelcomeText6=%#% Increases start-up speed",
    L"WelcomeText7=%#% Automatically backs up your registry before repairing",
};
constexpr int kWelcomeLineGap = 24;

// The page of each step (the unused numbers have none).
constexpr const wchar_t* kPageOfStep[22] = {
    L"PanelWelcome", L"PanelSettings", L"PanelProgress", nullptr, L"PanelResults", L"PanelReview",
    nullptr, nullptr, L"PanelRepair", L"PanelRepairDone", L"PanelSpeedUp", L"PanelSpeedUpProgress",
    nullptr, L"PanelReview", L"PanelReview", L"PanelFinish", nullptr, L"PanelRescueCenter", nullptr,
    L"PanelSupportSettings", L"PanelHelp", L"PanelAbout",
};

// Navigation states of ShowStep's table.
constexpr int kHidden = 0;
constexpr int kShown = 1;    // visible and enabled
constexpr int kDisabled = 2; // visible, not enabled

struct TNavigationRow {
    int back, next, cancel, close;
};
// Step 4 decides its own row (ShowResults).
constexpr TNavigationRow kNavigation[22] = {
    {kHidden, kShown, kShown, kHidden},   // 0
    {kShown, kShown, kShown, kHidden},    // 1
    {kHidden, kHidden, kShown, kHidden},  // 2
    {kHidden, kHidden, kHidden, kHidden}, // 3
    {kHidden, kHidden, kShown, kHidden},  // 4
    {kHidden, kHidden, kHidden, kHidden}, // 5
    {kHidden, kHidden, kHidden, kHidden}, // 6
    {kHidden, kHidden, kHidden, kHidden}, // 7
    {kHidden, kHidden, kDisabled, kHidden}, // 8
    {kHidden, kHidden, kHidden, kHidden}, // 9
    {kHidden, kHidden, kShown, kHidden},  // 10
    {kHidden, kHidden, kDisabled, kHidden}, // 11
    {kHidden, kHidden, kHidden, kHidden}, // 12
    {kHidden, kHidden, kHidden, kHidden}, // 13
    {kHidden, kHidden, kHidden, kHidden}, // 14
    {kHidden, kHidden, kHidden, kShown},  // 15
    {kHidden, kHidden, kHidden, kHidden}, // 16
    {kHidden, kHidden, kHidden, kHidden}, // 17
    {kHidden, kHidden, kHidden, kHidden}, // 18
    {kHidden, kHidden, kHidden, kHidden}, // 19
    {kHidden, kHidden, kHidden, kHidden}, // 20
    {kHidden, kHidden, kHidden, kHidden}, // 21
};

// The animations: the background, then the frames of each strip copied at
// their place. A strip holds its frames stacked top down.
struct TStripSpec {
    const wchar_t* resource;
    int frames;
    int width;
    int height;
    int x;
    int y;
    // ANIM3_3's ten frames each last two ticks.
    int ticksPerFrame;
};
struct TAnimationSpec {
    const wchar_t* background;
    const wchar_t* paintBox;
    int stripCount;
    TStripSpec strips[3];
};
constexpr TAnimationSpec kAnimations[3] = {
    {L"ANIM1_BG", L"PaintBoxAnim", 1, {{L"ANIM1", 20, 200, 48, 51, 23, 1}}},
    {L"ANIM2_BG", L"PaintBoxAnim2", 2,
     {{L"ANIM2_1", 20, 214, 72, 0, 15, 1}, {L"ANIM2_2", 20, 127, 53, 224, 27, 1}}},
    {L"ANIM3_BG", L"PaintBoxAnim3", 3,
     {{L"ANIM3_1", 20, 63, 40, 22, 38, 1}, {L"ANIM3_2", 20, 68, 43, 254, 36, 1},
      {L"ANIM3_3", 10, 98, 45, 122, 22, 2}}},
};
constexpr UINT kAnimationMs = 40;

void ApplyState(TControl* Control, int State)
{
    if (!Control)
        return;
    Control->SetVisible(State != kHidden);
    Control->SetEnabled(State == kShown);
}

void BufferAll(TWinControl& Control)
{
    for (TControl* child : Control.Controls()) {
        auto* windowed = dynamic_cast<TWinControl*>(child);
        if (!windowed)
            continue;
        windowed->SetDoubleBuffered(true);
        if (auto* panel = dynamic_cast<TPanel*>(windowed))
            panel->SetFullRepaint(false);
        BufferAll(*windowed);
    }
}

// Every occurrence of Pattern replaced by Text, letter case respected; the
// inserted text is not searched again. Translated texts are never formats.
std::wstring ReplaceAll(std::wstring Source, std::wstring_view Pattern, std::wstring_view Text)
{
    if (Pattern.empty())
        return Source;
    size_t at = 0;
    while ((at = Source.find(Pattern, at)) != std::wstring::npos) {
        Source.replace(at, Pattern.size(), Text);
        at += Text.size();
    }
    return Source;
}

std::wstring Number(int64_t Value)
{
    return std::to_wstring(Value);
}

int64_t RoundedMegabytes(int64_t Bytes)
{
    return static_cast<int64_t>(std::llround(static_cast<long double>(Bytes) / 1048576.0L));
}

void OpenSetting(const std::string& Url)
{
    OpenUrl(ExpandUrlMacros(Url));
}

// A progress bar at position of maximum: full at the end, else in hundredths
// (computed in 64 bits and scaled into the bar's 32-bit range).
void SetBar(TProgressBar* Bar, int32_t Position, int32_t Maximum)
{
    if (!Bar)
        return;
    if (Maximum > 0 && Position >= Maximum) {
        Bar->SetRange(0, 1);
        Bar->SetPosition(1);
        return;
    }
    int64_t maximum = static_cast<int64_t>(std::max(Maximum, 0)) * 100;
    int64_t position = static_cast<int64_t>(std::max(Position, 0)) * 100;
    while (maximum > INT_MAX) {
        maximum /= 2;
        position /= 2;
    }
    Bar->SetRange(0, static_cast<int>(maximum));
    Bar->SetPosition(static_cast<int>(position));
}

// uxtheme, bound at first use: the review tree's themed check boxes.
struct TThemeCalls {
    TSystemLibrary library{"uxtheme.dll"};
    TBoundProc<HANDLE(WINAPI*)(HWND, LPCWSTR)> open{library, "OpenThemeData"};
    TBoundProc<HRESULT(WINAPI*)(HANDLE)> close{library, "CloseThemeData"};
    TBoundProc<HRESULT(WINAPI*)(HANDLE, HDC, int, int, const RECT*, const RECT*)> draw{
        library, "DrawThemeBackground"};
};
TThemeCalls& ThemeCalls()
{
    static TThemeCalls calls;
    return calls;
}
constexpr int kButtonCheckBoxPart = 3;

// The settings page's switches: each box, the label that toggles it, its
// setting, its usage event and whether that event is for the box now
// checked (else now unchecked).
struct TSettingsSwitch {
    const wchar_t* box;
    const wchar_t* label;
    bool TSettings::*setting;
    const char* event;
    bool eventWhenChecked;
};
constexpr TSettingsSwitch kSettingsSwitches[] = {
    {L"CheckSettingsTray", L"LabelSettingsTray", &TSettings::SHOW_TRAY, "CT", false},
    {L"CheckSettingsDelay", L"LabelSettingsDelay", &TSettings::DELAY_STARTUP, "CD", false},
    {L"CheckSettingsRestorePoint", L"LabelSettingsRestorePoint", &TSettings::CREATE_SYSTEMRP, "CR",
     true},
    {L"CheckSettingsUpdates", L"LabelSettingsUpdates", &TSettings::CHECK_FOR_UPDATES, "CU", false},
};

} // namespace

TFormSteps* FormSteps()
{
    return gFormSteps;
}

// ---------------------------------------------------------------------------
// Creation and destruction

TFormSteps::TFormSteps(TComponent* owner) : TForm(owner)
{
    gFormSteps = this;
    SetName(L"FormSteps");
    Font().SetName(L"Tahoma");
    Font().SetHeight(-12);
    SetClientSize(kPageWidth, kPageHeight);
    TImageData* store = TImageData::Instance();
    BuildLayout(*this, kStepsLayout, {.images = store ? store->ImageList() : nullptr});
    buttonBack_ = Find<TSkinButtonEx>(L"ButtonBack");
    buttonNext_ = Find<TSkinButtonEx>(L"ButtonNext");
    buttonCancel_ = Find<TSkinButton>(L"ButtonCancel");
    buttonClose_ = Find<TSkinButton>(L"ButtonClose");
    buttonPauseScan_ = Find<TSkinButton>(L"ButtonPauseScan");
    buttonStopScan_ = Find<TSkinButton>(L"ButtonStopScan");
    buttonFix_ = Find<TSkinButton>(L"ButtonFix");
    buttonResultsReview_ = Find<TSkinButton>(L"ButtonResultsReview");
    treeReview_ = Find<TTreeView>(L"TreeViewReview");
    treeRestore_ = Find<TTreeView>(L"TreeViewRestorePoints");
    for (size_t step = 0; step < pages_.size(); ++step)
        if (kPageOfStep[step])
            pages_[step] = Find<TPanel>(kPageOfStep[step]);
    for (size_t i = 0; i < timers_.size(); ++i) {
        timers_[i] = new TTimer(this);
        timers_[i]->SetName(L"TimerAnim" + std::to_wstring(i + 1));
        timers_[i]->SetInterval(kAnimationMs);
    }
    if (treeReview_)
        treeReview_->SetOptions({.showLines = false, .showRoot = false, .readOnly = true,
                                 .rowSelect = true, .toolTips = false, .border = false,
                                 .doubleClicks = false});
    if (treeRestore_)
        treeRestore_->SetOptions({.showLines = false, .showRoot = false, .readOnly = true,
                                  .rowSelect = true, .hideSelection = false, .toolTips = false,
                                  .border = false});
    BindHandlers();
    if (TMainForm* main = MainForm())
        main->OnSaveSettings = [this] { SaveSettings(); };

    BufferAll(*this);
    LoadAnimations();
    BuildWelcomeLines();
    FillLanguageCombo();
    TranslateForm(*this);
    FitStepButtons();
    UpdateProgress();
    for (const wchar_t* name : {L"LabelWelcomeHeader", L"LabelFinishText", L"LabelAboutWebsite",
                                L"LabelAboutSubmit", L"LabelAboutRead", L"LabelAboutPrivacy",
                                L"LabelAboutTerms"})
        if (auto* label = Find<TLabel>(name))
            label->Font().SetColor(kGreen);
    PlaceAboutLinks();

    // The pages go into the main window, below its step header.
    if (TMainForm* main = MainForm()) {
        if (TPanel* client = main->PanelClient()) {
            for (TPanel* page : pages_) {
                if (!page || page->Parent() == client)
                    continue;
                page->SetParent(client);
                page->SetBounds(0, main->PageTop(), kPageWidth, kPageHeight);
            }
            main->RaiseOverPages();
        }
    }
    ShowStep(kStepWelcome);
    if (AppFlags().ScanNow) {
        AppFlags().ScanNow = false;
        if (TMainForm* main = MainForm())
            main->SetStep(kStepScanProgress);
    } else {
        TrackVisit(TQVStepUsage[kStepWelcome]);
    }
    StartFaqDownload();
}

TFormSteps::~TFormSteps()
{
    Guard([this] {
        for (TTimer* timer : timers_)
            if (timer)
                timer->SetEnabled(false);
        // The node objects go only after the nodes that point at them.
        if (treeReview_)
            treeReview_->Clear();
        reviewNodes_.clear();
        if (boxTheme_)
            if (auto close = ThemeCalls().close.Get())
                close(boxTheme_);
        boxTheme_ = nullptr;
    });
    if (TMainForm* main = MainForm(); main && gFormSteps == this)
        main->OnSaveSettings = nullptr;
    if (gFormSteps == this)
        gFormSteps = nullptr;
}

void TFormSteps::LoadAnimations()
{
    HMODULE module = GetModuleHandleW(nullptr);
    for (size_t a = 0; a < animations_.size(); ++a) {
        const TAnimationSpec& spec = kAnimations[a];
        TAnimation& animation = animations_[a];
        animation.background = std::make_unique<TPNGPicture>();
        if (!animation.background->LoadFromResourceName(module, spec.background))
            Log("FormSteps: no picture " + WideToUtf8(spec.background), 1, 4);
        for (int s = 0; s < spec.stripCount; ++s) {
            // Each strip is drawn once into a bitmap, so that a frame is a
            // plain copy; the picture itself is not kept.
            TPNGPicture png;
            auto bitmap = std::make_unique<TBitmap>();
            if (png.LoadFromResourceName(module, spec.strips[s].resource) &&
                bitmap->SetSize(png.Width(), png.Height())) {
                bitmap->Canvas().Draw(0, 0, png);
            } else {
                Log("FormSteps: no picture " + WideToUtf8(spec.strips[s].resource), 1, 4);
            }
            animation.strips.push_back(std::move(bitmap));
        }
        if (auto* box = Find<TPaintBox>(spec.paintBox)) {
            const int index = static_cast<int>(a);
            box->OnPaint = [this, index](TGraphicControl& Sender) {
                PaintAnimation(index, static_cast<TPaintBox&>(Sender).Canvas());
            };
        }
        timers_[a]->OnTimer = [this, a](TComponent&) {
            ++animations_[a].frame;
            if (auto* box = Find<TPaintBox>(kAnimations[a].paintBox))
                box->Invalidate();
        };
    }
}

void TFormSteps::PaintAnimation(int Index, TCanvas& Canvas)
{
    const TAnimationSpec& spec = kAnimations[Index];
    TAnimation& animation = animations_[static_cast<size_t>(Index)];
    auto* box = Find<TPaintBox>(spec.paintBox);
    if (!box)
        return;
    if (animation.background && !animation.background->Empty())
        Canvas.StretchDraw(box->ClientRect(), *animation.background);
    const uint32_t tick = static_cast<uint32_t>(animation.frame);
    for (int s = 0; s < spec.stripCount && s < static_cast<int>(animation.strips.size()); ++s) {
        const TStripSpec& strip = spec.strips[s];
        TBitmap& bitmap = *animation.strips[static_cast<size_t>(s)];
        if (bitmap.Empty())
            continue;
        const int frame = static_cast<int>((tick / static_cast<uint32_t>(strip.ticksPerFrame)) %
                                           static_cast<uint32_t>(strip.frames));
        const RECT dest{strip.x, strip.y, strip.x + strip.width, strip.y + strip.height};
        const RECT source{0, frame * strip.height, strip.width, (frame + 1) * strip.height};
        Canvas.CopyRect(dest, bitmap.Canvas(), source);
    }
}

void TFormSteps::BuildWelcomeLines()
{
    auto* page = Find<TPanel>(L"PanelWelcome");
    auto* model = Find<TLabel>(L"LabelWelcomeText");
    if (!page || !model)
        return;
    int top = model->Top();
    for (const wchar_t* line : kMemoWelcome) {
        auto* label = new TLabel(this);
        label->SetParent(page);
        label->SetShowAccelChar(false);
        label->Font().SetName(model->Font().Name());
        label->Font().SetCharset(model->Font().Charset());
        label->Font().SetColor(model->Font().Color());
        label->Font().SetHeight(model->Font().Height());
        label->SetBounds(model->Left(), top, model->Width(), model->Height());
        label->SetCaption(line);
        welcomeLabels_.push_back(label);
        top += kWelcomeLineGap;
    }
}

void TFormSteps::FillLanguageCombo()
{
    auto* combo = Find<TComboBox>(L"LanguageCombo");
    if (!combo)
        return;
    std::vector<std::wstring> names;
    const std::wstring joined = GetLanguageNames(L"\n");
    size_t start = 0;
    while (start < joined.size()) {
        size_t end = joined.find(L'\n', start);
        if (end == std::wstring::npos)
            end = joined.size();
        names.push_back(joined.substr(start, end - start));
        start = end + 1;
    }
    combo->SetItems(names);
    combo->SetItemIndex(IndexOfLanguage(WideToAnsi(Settings()->LANGUAGE)));
    combo->SetVisible(!names.empty());
}

void TFormSteps::PlaceAboutLinks()
{
    auto* privacy = Find<TLabel>(L"LabelAboutPrivacy");
    auto* separator = Find<TLabel>(L"LabelAboutSep");
    auto* terms = Find<TLabel>(L"LabelAboutTerms");
    if (privacy && separator)
        separator->SetLeft(privacy->Left() + privacy->Width() + 8);
    if (separator && terms)
        terms->SetLeft(separator->Left() + 11);
}

void TFormSteps::FitStepButtons()
{
    struct TFit {
        const wchar_t* name;
        int margin;
        int minWidth;
        int maxWidth;
    };
    static constexpr TFit kFits[] = {
        {L"ButtonUndoChanges", 20, 132, 170},  {L"ButtonSaveSettings", 30, 112, -1},
        {L"ButtonReviewTweaks", 16, 107, -1}, {L"ButtonReviewFiles", 16, 107, -1},
        {L"ButtonPauseScan", 30, 132, -1},
    };
    for (const TFit& fit : kFits)
        if (auto* button = Find<TControl>(fit.name))
            FitButtonWidth(*button, 1, fit.margin, 0, fit.maxWidth, fit.minWidth);

    // Row buttons of the design width grow, to the left, when a translation
    // needs more.
    for (const wchar_t* name : {L"ButtonStopScan", L"ButtonSpeedUpGo"})
        if (auto* button = Find<TControl>(name))
            FitButtonWidth(*button, 1, kRowButtonMargin, 0, -1, kNavWidth);
    // The button left of a fitted one keeps its gap to it.
    struct TRowPair {
        const wchar_t* button;
        const wchar_t* leftNeighbour;
        int gap;
    };
    static constexpr TRowPair kRowPairs[] = {
        {L"ButtonPauseScan", L"ButtonStopScan", kPauseGap},
        {L"ButtonSpeedUpGo", L"ButtonSpeedUpBack", kNavGap},
    };
    for (const TRowPair& pair : kRowPairs) {
        auto* button = Find<TControl>(pair.button);
        auto* neighbour = Find<TControl>(pair.leftNeighbour);
        if (button && neighbour)
            neighbour->SetLeft(button->Left() - pair.gap - neighbour->Width());
    }

    // On the help page each control follows the one above it: a wrapped
    // text takes as many lines as its translation needs.
    struct TBelow {
        const wchar_t* control;
        const wchar_t* above;
        int gap;
    };
    static constexpr TBelow kHelpFlow[] = {
        {L"ButtonFAQ", L"LabelHelpText", 12},
        {L"LabelOnlineHelpText", L"ButtonFAQ", 30},
        {L"ButtonOnlineHelp", L"LabelOnlineHelpText", 12},
    };
    for (const TBelow& below : kHelpFlow) {
        auto* control = Find<TControl>(below.control);
        auto* above = Find<TControl>(below.above);
        if (control && above)
            control->SetTop(above->Top() + above->Height() + below.gap);
    }
}

// ---------------------------------------------------------------------------
// Handlers

void TFormSteps::BindHandlers()
{
    auto on = [this](const wchar_t* Name, std::function<void()> Action) {
        if (auto* control = Find<TControl>(Name))
            control->OnClick = [Action = std::move(Action)](TComponent&) { Action(); };
        else
            Log("FormSteps: no control " + WideToUtf8(Name), 1, 4);
    };
    auto main = [] { return MainForm(); };

    for (const wchar_t* name : {L"ButtonBack", L"ButtonResultsBack", L"ButtonRepairBack",
                                L"ButtonSpeedUpBack", L"ButtonReviewBack"})
        on(name, [this, main] {
            TrackEvent("B", false);
            if (TMainForm* form = main())
                form->PreviousStep();
        });
    for (const wchar_t* name : {L"ButtonNext", L"ButtonSpeedUp", L"ButtonSpeedUpGo"})
        on(name, [this, main] {
            TMainForm* form = main();
            if (!form)
                return;
            const bool results = form->CurrentStep() == kStepScanResults;
            TrackEvent(results ? "O" : "N", false);
            if (results)
                form->SetStep(kStepSpeedUp);
            else
                form->NextStep();
        });
    on(L"ButtonFix", [this, main] {
        TrackEvent("E", false);
        if (TMainForm* form = main())
            form->NextStep();
    });
    on(L"ButtonCancel", [this, main] {
        TrackEvent("C", false);
        if (TMainForm* form = main())
            form->Close();
    });
    on(L"ButtonClose", [this, main] {
        TrackEvent("C", false);
        if (TMainForm* form = main())
            form->CloseWithoutAsking();
    });
    on(L"ButtonFinish", [this] { ButtonFinishClick(); });
    struct TStepButton {
        const wchar_t* name;
        const char* event;
        uint8_t step;
    };
    for (const TStepButton& button : {TStepButton{L"ButtonResultsReview", "R", kStepScanReview},
                                      TStepButton{L"ButtonReviewTweaks", "RT", kStepReviewTweaks},
                                      TStepButton{L"ButtonReviewFiles", "RF", kStepReviewFiles}})
        on(button.name, [this, main, button] {
            TrackEvent(button.event, false);
            if (TMainForm* form = main())
                form->SetStep(button.step);
        });
    on(L"ButtonPauseScan", [this, main] {
        TrackEvent("P", true);
        TMainForm* form = main();
        if (!form || !form->WorkRunning())
            return;
        if (form->IsWorkPaused()) {
            timers_[0]->SetEnabled(true);
            form->ResumeWork();
        } else {
            timers_[0]->SetEnabled(false);
            form->PauseWork();
        }
    });
    on(L"ButtonStopScan", [this, main] {
        if (TMainForm* form = main())
            form->RequestStop();
        if (buttonStopScan_)
            buttonStopScan_->SetEnabled(false);
    });
    // The answer (or "nothing new") comes from the check's own thread.
    on(L"ButtonUpdate", [this] {
        TrackEvent("UP", true);
        if (HANDLE check = StartManualCheck())
            CloseHandle(check);
    });
    on(L"ButtonFAQ", [this] {
        TrackEvent("FQ", true);
        if (TFormFAQ* faq = FormFAQ())
            faq->ShowFaq();
    });
    on(L"ButtonUndoChanges", [this, main] {
        TrackEvent("U", false);
        if (TMainForm* form = main()) {
            form->SwitchTab(kTabSupport);
            form->SetStep(kStepRescueCenter);
        }
    });

    // The links of the About page, the testimonial and the online help.
    struct TLinkControl {
        const wchar_t* name;
        const char* event;
        std::string TSettings::*url;
    };
    for (const TLinkControl& link :
         {TLinkControl{L"ButtonOnlineHelp", "OH", &TSettings::HELPPAID_URL},
          TLinkControl{L"LabelAboutWebsite", "HP", &TSettings::HOMEPAGE_URL},
          TLinkControl{L"LabelAboutTerms", "TU", &TSettings::TERMS_URL},
          TLinkControl{L"LabelAboutPrivacy", "PP", &TSettings::PRIVACY_URL},
          TLinkControl{L"LabelAboutRead", "TR", &TSettings::TESTIMONIAL_READ},
          TLinkControl{L"LabelAboutSubmit", "TW", &TSettings::TESTIMONIAL_WRITE},
          TLinkControl{L"ButtonTestimonial", "TW", &TSettings::TESTIMONIAL_WRITE}})
        on(link.name, [this, link] {
            TrackEvent(link.event, true);
            OpenSetting((*Settings()).*link.url);
        });

    // The speed-up page's two boxes and their labels.
    for (const wchar_t* name : {L"CheckSpeedUp", L"CheckCleanUp"})
        if (auto* box = Find<TCheckBox>(name))
            box->OnClick = [this, box](TComponent&) { SpeedUpBoxClick(*box); };
    for (auto [labelName, boxName] : {std::pair{L"LabelSpeedUp", L"CheckSpeedUp"},
                                      std::pair{L"LabelCleanUp", L"CheckCleanUp"}}) {
        auto* label = Find<TLabel>(labelName);
        auto* box = Find<TCheckBox>(boxName);
        if (!label || !box)
            continue;
        label->SetFocusControl(box);
        label->OnClick = [label](TComponent&) {
            auto* target = dynamic_cast<TCheckBox*>(label->FocusControl());
            if (!target || !target->Enabled())
                return;
            target->SetChecked(!target->Checked());
            target->Click();
        };
    }

    // The settings page: its four switches, their labels and the language.
    for (const TSettingsSwitch& entry : kSettingsSwitches) {
        auto* box = Find<TCheckBox>(entry.box);
        auto* label = Find<TLabel>(entry.label);
        if (!box || !label) {
            Log("FormSteps: no control " + WideToUtf8(box ? entry.label : entry.box), 1, 4);
            continue;
        }
        box->OnClick = [this, box](TComponent&) { CheckSettingsTrayClick(*box); };
        label->SetFocusControl(box);
        label->SetCursor(crHandPoint);
        label->OnClick = [this, label](TComponent&) { LabelSettingsTrayClick(*label); };
    }
    on(L"ButtonSaveSettings", [this] {
        TrackEvent("SS", true);
        SaveSettings();
    });
    if (auto* combo = Find<TComboBox>(L"LanguageCombo"))
        combo->OnChange = [this](TComponent&) { LanguageComboChange(); };

    // The version text repaints itself as the user selects in it.
    if (auto* memo = Find<TMemo>(L"MemoAboutVersion"))
        memo->AddWindowHook([memo](TMessage& Msg, const TWindowHookChain::TNext& Next) {
            Next(Msg);
            if (Msg.Msg == WM_SETFOCUS || Msg.Msg == WM_KILLFOCUS || Msg.Msg == WM_MOUSEMOVE)
                memo->Invalidate();
        });

    // The review tree.
    if (treeReview_) {
        treeReview_->OnMouseDown = [this](TControl&, TMouseButton Button, TShiftState, int X, int Y) {
            if (Button == TMouseButton::Left)
                ReviewMouseDown(X, Y);
        };
        treeReview_->OnCollapsing = [](TTreeView&, TTreeNode& Node, bool& Allow) {
            if (Node.Level() == 0)
                Allow = false;
        };
        treeReview_->OnCustomDrawItem = [this](TTreeView&, TTreeNode& Node, const NMTVCUSTOMDRAW&,
                                               TCanvas& Canvas, bool& DefaultDraw) {
            DefaultDraw = false;
            DrawReviewNode(Node, Canvas);
        };
        treeReview_->OnNodeInspect = [](const TTreeNode& Node) {
            const auto* data = static_cast<const TReviewNodeData*>(Node.Data());
            return std::wstring(L"state=") + (data && data->Checked() ? L"1" : L"0") +
                   L"\tuniform=" + (data && !data->Uniform ? L"0" : L"1");
        };
    }

    // The rescue centre.
    on(L"ButtonRestore", [this] { RestoreClick(); });
    on(L"ButtonRemove", [this] { RemoveClick(); });
    if (treeRestore_) {
        treeRestore_->OnClick = [this](TComponent&) { UpdateRestoreButtons(); };
        treeRestore_->OnChange = [this](TTreeView&, TTreeNode*) { UpdateRestoreButtons(); };
        treeRestore_->AddWindowHook([this](TMessage& Msg, const TWindowHookChain::TNext& Next) {
            Next(Msg);
            if (Msg.Msg == WM_KEYUP)
                UpdateRestoreButtons();
        });
        treeRestore_->OnCollapsing = [](TTreeView&, TTreeNode& Node, bool& Allow) {
            if (Node.Level() == 0)
                Allow = false;
        };
        treeRestore_->OnCustomDrawItem = [this](TTreeView&, TTreeNode& Node, const NMTVCUSTOMDRAW&,
                                                TCanvas& Canvas, bool& DefaultDraw) {
            DrawRestoreNode(Node, Canvas, DefaultDraw);
        };
    }
}

void TFormSteps::ButtonFinishClick()
{
    TMainForm* main = MainForm();
    if (!main)
        return;
    if (!main->SpeedUpOffered()) {
        TrackEvent("F", false);
        main->SetStep(kStepFinish);
        return;
    }
    const std::wstring text =
        TranslateText(L"AskFinish1",
                      L"%BRAND% has found some issues which can be slowing down your computer.") +
        L" " +
        TranslateText(L"AskFinish2",
                      L"We recommend you click on \u201CSpeed Up My System\u201D for better results.") +
        L"\r\n\r\n" + TranslateText(L"AskFinish3", L"Do you really want to finish %BRAND%?");
    if (AppPrompt(main->HandleIfAllocated(), text, MB_YESNO | MB_ICONQUESTION) == IDYES) {
        TrackEvent("F", false);
        main->SetStep(kStepFinish);
    } else {
        TrackEvent("FC", false);
        main->SetStep(kStepSpeedUp);
    }
}

void TFormSteps::SpeedUpBoxClick(TCheckBox& Sender)
{
    TMainForm* main = MainForm();
    auto* speedUp = Find<TCheckBox>(L"CheckSpeedUp");
    auto* cleanUp = Find<TCheckBox>(L"CheckCleanUp");
    if (!main || !speedUp || !cleanUp)
        return;
    if (!Sender.Checked())
        TrackEvent(&Sender == speedUp ? "CS" : "CC", true);
    main->BoostChecked = speedUp->Checked();
    main->CleanChecked = cleanUp->Checked();
    if (const auto& engine = main->Engine()) {
        SelectSectionItems(engine->Category(kCategoryBoost), speedUp->Checked());
        SelectSectionItems(engine->Category(kCategoryClean), cleanUp->Checked());
    }
    UpdateSpeedUpGo();
}

void TFormSteps::UpdateSpeedUpGo()
{
    TMainForm* main = MainForm();
    auto* speedUp = Find<TCheckBox>(L"CheckSpeedUp");
    auto* cleanUp = Find<TCheckBox>(L"CheckCleanUp");
    auto* go = Find<TControl>(L"ButtonSpeedUpGo");
    if (!main || !speedUp || !cleanUp || !go)
        return;
    const auto& engine = main->Engine();
    const int32_t boost = engine ? SectionSelectedCount(engine->Category(kCategoryBoost)) : 0;
    const int32_t clean = engine ? SectionSelectedCount(engine->Category(kCategoryClean)) : 0;
    go->SetEnabled((speedUp->Checked() && boost > 0) || (cleanUp->Checked() && clean >= 1));
}

// ---------------------------------------------------------------------------
// The settings page

void TFormSteps::ShowSettingsPage()
{
    const std::shared_ptr<const TSettings> settings = Settings();
    for (const TSettingsSwitch& entry : kSettingsSwitches) {
        auto* box = Find<TCheckBox>(entry.box);
        if (!box)
            continue;
        // Away while the box takes the stored value: showing is no change.
        TNotifyEvent click = std::move(box->OnClick);
        box->OnClick = nullptr;
        box->SetChecked((*settings).*entry.setting);
        box->OnClick = std::move(click);
    }
    // The boxes show what is stored now, so nothing is left to save (a "No"
    // to the save question dropped the last changes).
    if (TMainForm* main = MainForm())
        main->SettingsChanged = false;
    if (auto* save = Find<TControl>(L"ButtonSaveSettings"))
        save->SetEnabled(false);
    // The list of the translation file open now (it may have been replaced
    // since the pages were made).
    if (auto* combo = Find<TComboBox>(L"LanguageCombo")) {
        TNotifyEvent change = std::move(combo->OnChange);
        combo->OnChange = nullptr;
        FillLanguageCombo();
        combo->OnChange = std::move(change);
    }
}

void TFormSteps::CheckSettingsTrayClick(TCheckBox& Sender)
{
    for (const TSettingsSwitch& entry : kSettingsSwitches) {
        if (Find<TCheckBox>(entry.box) != &Sender)
            continue;
        if (Sender.Checked() == entry.eventWhenChecked)
            TrackEvent(entry.event, true);
        break;
    }
    if (auto* save = Find<TControl>(L"ButtonSaveSettings"))
        save->SetEnabled(true);
    // Any click counts, even one that puts a box back as it was stored.
    if (TMainForm* main = MainForm())
        main->SettingsChanged = true;
}

void TFormSteps::LabelSettingsTrayClick(TLabel& Sender)
{
    auto* target = dynamic_cast<TCheckBox*>(Sender.FocusControl());
    if (!target || !target->Enabled())
        return;
    target->SetChecked(!target->Checked());
    target->Click();
}

void TFormSteps::SaveSettings()
{
    std::vector<std::pair<bool TSettings::*, bool>> states;
    for (const TSettingsSwitch& entry : kSettingsSwitches)
        if (auto* box = Find<TCheckBox>(entry.box))
            states.emplace_back(entry.setting, box->Checked());
    ChangeSettings([&states](TSettings& s) {
        for (const auto& [setting, on] : states)
            s.*setting = on;
    });
    const std::shared_ptr<const TSettings> settings = Settings();
    if (!settings->DELAY_STARTUP) {
        // Nothing stays postponed once the user switched postponing off.
        const TDelayedRestoreReport report = RestoreDelayedStartupItems();
        if (report.AnyFailed())
            Log("Settings: some postponed start-up items could not be put back", 1, 2);
    }
    SaveRegistrySettings();
    if (settings->SHOW_TRAY && !FindWindowA(kTrayWindowClassName, nullptr))
        if (!StartTrayProgram())
            Log("Settings: the tray program could not be started", 1, 2);
    if (TMainForm* main = MainForm())
        main->SettingsChanged = false;
    if (auto* save = Find<TControl>(L"ButtonSaveSettings"))
        save->SetEnabled(false);
    RefreshTray();
}

void TFormSteps::LanguageComboChange()
{
    auto* combo = Find<TComboBox>(L"LanguageCombo");
    if (!combo)
        return;
    const std::wstring code = GetLanguageCode(combo->ItemIndex());
    if (code.empty()) {
        Log("Settings: no language at list index " + std::to_string(combo->ItemIndex()), 1, 2);
        return;
    }
    if (_wcsicmp(code.c_str(), Settings()->LANGUAGE.c_str()) == 0)
        return;
    ChangeSettings([&code](TSettings& s) { s.LANGUAGE = code; });
    // Writes the language, and the four boxes with it.
    SaveSettings();

    TMainForm* main = MainForm();
    if (main)
        TranslateForm(*main);
    TranslateForm(*this);
    FitStepButtons();
    // The links of the About page sit one after the other: their widths
    // changed with their texts.
    PlaceAboutLinks();
    // The update window sets its caption and status text itself.
    if (TFormUpdate* update = FormUpdate())
        update->Translate();
    if (main) {
        main->RefreshFrameControls();
        main->TranslateStepCaptions();
        main->RenderSupportPanel();
    }
    // The FAQ page comes in the new language.
    RefreshFaq();
}

// ---------------------------------------------------------------------------
// Pages

TPanel* TFormSteps::Page(uint8_t Step) const
{
    return Step < pages_.size() ? pages_[Step] : nullptr;
}

TTimer* TFormSteps::TimerAnim(int Index) const
{
    return Index >= 1 && Index <= 3 ? timers_[static_cast<size_t>(Index - 1)] : nullptr;
}

int32_t TFormSteps::AnimFrame(int Index) const
{
    return Index >= 1 && Index <= 3 ? animations_[static_cast<size_t>(Index - 1)].frame : 0;
}

void TFormSteps::TrackEvent(const std::string& Event, bool Once)
{
    const TMainForm* main = MainForm();
    ::TrackEvent(TQVStepUsage[main ? main->CurrentStep() : kStepWelcome], Event, Once);
}

void TFormSteps::ShowPanel(TPanel* Panel)
{
    for (TControl* button : std::initializer_list<TControl*>{buttonBack_, buttonNext_, buttonCancel_,
                                                             buttonClose_})
        if (button && Panel)
            button->SetParent(Panel);
    const TMainForm* main = MainForm();
    TPanel* client = main ? main->PanelClient() : nullptr;
    if (!client)
        return;
    for (TControl* control : client->Controls())
        if (control->Tag() == 1 || control->Tag() == 2)
            control->SetVisible(control == Panel);
}

void TFormSteps::SetNavigation(int Back, int Next, int Cancel, int Close)
{
    ApplyState(buttonBack_, Back);
    ApplyState(buttonNext_, Next);
    ApplyState(buttonCancel_, Cancel);
    ApplyState(buttonClose_, Close);
}

void TFormSteps::ShowStep(uint8_t Step)
{
    for (TTimer* timer : timers_)
        timer->SetEnabled(false);
    if (TMainForm* main = MainForm())
        if (TSkinButton* fixAll = main->ButtonFixAllErrors())
            fixAll->Hide();
    if (Step >= pages_.size())
        return;
    const TNavigationRow& row = kNavigation[Step];
    SetNavigation(row.back, row.next, row.cancel, row.close);
    switch (Step) {
    case kStepScanSettings:
        ShowScanSettings();
        break;
    case kStepScanProgress:
        if (buttonPauseScan_)
            buttonPauseScan_->SetEnabled(false);
        animations_[0].frame = 0;
        timers_[0]->SetEnabled(true);
        break;
    case kStepScanResults:
        ShowResults();
        break;
    case kStepScanReview:
    case kStepReviewTweaks:
    case kStepReviewFiles:
        FillReviewTree(Step);
        break;
    case kStepRepair:
        animations_[1].frame = 0;
        timers_[1]->SetEnabled(true);
        break;
    case kStepRepairDone:
        ShowRepairDone();
        break;
    case kStepSpeedUp:
        ShowSpeedUp();
        break;
    case kStepSpeedUpProgress:
        animations_[2].frame = 0;
        timers_[2]->SetEnabled(true);
        break;
    case kStepFinish:
        ShowFinish();
        break;
    case kStepRescueCenter:
        for (const wchar_t* name : {L"ButtonRestore", L"ButtonRemove"})
            if (auto* button = Find<TControl>(name))
                button->SetEnabled(false);
        if (TMainForm* main = MainForm())
            if (TqvBackups* backups = main->Backups())
                FillRestorePoints(*backups);
        break;
    case kStepSettings:
        ShowSettingsPage();
        break;
    case kStepAbout:
        if (auto* memo = Find<TMemo>(L"MemoAboutVersion"))
            memo->SetCaption(AnsiToWide(GetFileVersionString(MainExePath())));
        break;
    default:
        break;
    }
    if (pages_[Step])
        ShowPanel(pages_[Step]);
}

void TFormSteps::ShowScanSettings()
{
    TMainForm* main = MainForm();
    auto* page = Find<TPanel>(L"PanelSettings");
    auto* boxModel = Find<TCheckBox>(L"CheckSettingsCLSID");
    auto* labelModel = Find<TLabel>(L"LabelSettingsCLSID");
    auto* border = Find<TSkinImage>(L"ImageSettingsBorder");
    if (!main || !page || !boxModel || !labelModel || !border)
        return;
    if (auto* undo = Find<TControl>(L"ButtonUndoChanges")) {
        TqvBackups* backups = main->Backups();
        undo->SetEnabled(backups && backups->FixBackups.size() + backups->BoostBackups.size() >= 1);
    }
    // The boxes of an earlier showing.
    std::vector<TControl*> old;
    for (TControl* control : page->Controls())
        if (control->Tag() > 0)
            old.push_back(control);
    for (TControl* control : old)
        delete control;

    int n = 0;
    const TqvCategory* category = main->Engine() ? main->Engine()->Category(kCategoryFix) : nullptr;
    const size_t groups = category ? category->Groups.size() : 0;
    for (size_t i = 0; i < groups; ++i) {
        TqvGroup& group = *category->Groups[i];
        if (!group.HasSettings)
            continue;
        // Every listed group starts checked, as its box does.
        group.Enabled = true;
        const int tag = static_cast<int>(i) + 1;
        auto* box = new TCheckBox(this);
        box->SetParent(page);
        box->SetBounds(boxModel->Left() + (n % 2) * kSettingsColumn,
                       boxModel->Top() + (n / 2) * kSettingsRow, 21, boxModel->Height());
        box->SetTag(tag);
        box->SetChecked(true);
        box->OnClick = [this, box](TComponent&) {
            TMainForm* form = MainForm();
            const TqvCategory* fix =
                form && form->Engine() ? form->Engine()->Category(kCategoryFix) : nullptr;
            const size_t index = static_cast<size_t>(box->Tag() - 1);
            if (fix && index < fix->Groups.size())
                fix->Groups[index]->Enabled = box->Checked();
            if (!box->Checked())
                TrackEvent("C" + std::to_string(box->Tag()), true);
        };
        auto* label = new TLabel(this);
        label->SetParent(page);
        label->SetShowAccelChar(false);
        label->Font().Assign(labelModel->Font());
        label->SetBounds(box->Left() + boxModel->Width(), box->Top() + 1, labelModel->Width(),
                         labelModel->Height());
        label->SetCaption(group.GetSettingsCaption());
        label->SetHint(group.GetSettingsHint());
        label->SetShowHint(true);
        label->SetFocusControl(box);
        label->SetTag(tag);
        label->SetCursor(crHandPoint);
        label->OnClick = [label](TComponent&) {
            auto* target = dynamic_cast<TCheckBox*>(label->FocusControl());
            if (!target || !target->Enabled())
                return;
            target->SetChecked(!target->Checked());
            target->Click();
        };
        ++n;
    }
    const int height = ((n + 1) / 2 - 3) * kSettingsRow + 115;
    border->SetHeight(height);
    // Below the border: where the page was drawn for three rows, and lower
    // with every further row, so that the text never covers a box.
    const int below = std::max(0, height - 115);
    if (auto* text = Find<TControl>(L"LabelSettingsText"))
        text->SetTop(border->Top() + 128 + below);
    if (auto* undo = Find<TControl>(L"ButtonUndoChanges"))
        undo->SetTop(border->Top() + 123 + below);
    UpdateProgress();
}

void TFormSteps::ShowResults()
{
    const TMainForm* main = MainForm();
    if (!main)
        return;
    const int32_t selected =
        main->Engine() ? SectionSelectedCount(main->Engine()->Category(kCategoryFix)) : 0;
    const int32_t errors = main->RegistryErrors;
    const bool offered = main->SpeedUpOffered();
    if (selected < 1)
        SetNavigation(offered ? kShown : kHidden, offered ? kShown : kHidden,
                      offered ? kShown : kHidden, offered ? kHidden : kShown);
    else
        SetNavigation(kHidden, kHidden, kShown, kHidden);
    // Hidden or not, Cancel stays enabled.
    if (buttonCancel_)
        buttonCancel_->SetEnabled(true);

    if (auto* image = Find<TSkinImage>(L"ImageResults"))
        image->SetImageName(errors < 1 ? L"RESULTS_TABLE_ICO2" : L"RESULTS_TABLE_ICO");
    auto show = [this](const wchar_t* Name, bool Visible) {
        if (auto* control = Find<TControl>(Name))
            control->SetVisible(Visible);
    };
    show(L"ButtonResultsBack", selected > 0);
    show(L"ButtonFix", selected > 0);
    show(L"LabelResultsFix", selected > 0);
    show(L"LabelResultsClean", errors < 1);
    show(L"LabelResultsCleanInfo", errors < 1);
    show(L"LabelResultsNext", selected < 1 && offered);
    show(L"LabelResultsCleanNext", selected < 1 && !offered);
    if (auto* next = Find<TControl>(L"LabelResultsNext"); next && buttonBack_)
        next->SetLeft(buttonBack_->Left() - 14 - next->Width());
    if (auto* next = Find<TControl>(L"LabelResultsCleanNext"); next && buttonClose_)
        next->SetLeft(buttonClose_->Left() - 14 - next->Width());

    const bool some = selected != errors;
    if (auto* hint = Find<TLabel>(L"LabelResultsFix"))
        hint->SetCaption(some ? TranslateText(L"FixErrorsHint",
                                              L"Click on \u201CFix Errors\u201D to repair your system registry.")
                              : TranslateText(L"FixAllHint", L"Click on \u201CFix All Errors\u201D to "
                                                             L"repair your system registry."));
    if (buttonFix_) {
        buttonFix_->SetCaption(some ? TranslateText(L"FixErrorsButton", L"Fix Errors")
                                    : TranslateText(L"FixAllButton", L"Fix All Errors"));
        FitButtonWidth(*buttonFix_, 1, 35, 0, -1, 178);
        if (auto* back = Find<TControl>(L"ButtonResultsBack"))
            back->SetLeft(buttonFix_->Left() - 19 - back->Width());
    }
    if (auto* clean = Find<TLabel>(L"LabelResultsClean"))
        clean->SetCaption(offered ? TranslateText(L"FixClean", L"Your computer is clean.")
                                  : TranslateText(L"FixCleanNoMore",
                                                  L"Your computer is clean and needs no speeding up."));
    if (auto* text = Find<TLabel>(L"LabelResultsText"))
        text->SetCaption(errors == 1 ? TranslateText(L"Result1Error", L"%BRAND% has found 1 error!")
                                     : ReplaceAll(TranslateText(L"ResultErrors",
                                                                L"%BRAND% has found %d errors!"),
                                                  L"%d", Number(errors)));
    if (buttonResultsReview_)
        buttonResultsReview_->SetEnabled(errors > 0);
}

void TFormSteps::ShowRepairDone()
{
    TMainForm* main = MainForm();
    if (!main)
        return;
    main->FixedErrors = main->RepairedCount(kCategoryFix);
    TrackAdd("#FX", main->FixedErrors);
    const bool offered = main->SpeedUpOffered();
    for (const wchar_t* name : {L"LabelRepairDoneText", L"ButtonSpeedUp"})
        if (auto* control = Find<TControl>(name))
            control->SetVisible(offered);
    if (auto* back = Find<TControl>(L"ButtonRepairBack"))
        back->SetLeft(offered ? 317 : 518);
    if (TqvBackups* backups = main->Backups())
        TrimBackups(backups->FixBackups);
}

void TFormSteps::ShowSpeedUp()
{
    TMainForm* main = MainForm();
    auto* speedUp = Find<TCheckBox>(L"CheckSpeedUp");
    auto* cleanUp = Find<TCheckBox>(L"CheckCleanUp");
    if (!main || !speedUp || !cleanUp)
        return;
    const auto& engine = main->Engine();
    const int32_t boost = engine ? SectionSelectedCount(engine->Category(kCategoryBoost)) : 0;
    const int32_t clean = engine ? SectionSelectedCount(engine->Category(kCategoryClean)) : 0;
    const int64_t tweaks = static_cast<int64_t>(main->DisplayedTweakCount()) + main->AddOnItems;
    const bool bytes = main->BytesToClean > 0;

    // Showing the page records nothing: the handlers are away while the
    // boxes take their states.
    TNotifyEvent speedUpClick = std::move(speedUp->OnClick);
    TNotifyEvent cleanUpClick = std::move(cleanUp->OnClick);
    speedUp->OnClick = nullptr;
    cleanUp->OnClick = nullptr;
    if (auto* review = Find<TControl>(L"ButtonReviewTweaks"))
        review->SetEnabled(tweaks >= 1);
    speedUp->SetChecked(boost >= 1);
    if (auto* review = Find<TControl>(L"ButtonReviewFiles"))
        review->SetEnabled(bytes);
    cleanUp->SetChecked(clean >= 1);
    speedUp->OnClick = std::move(speedUpClick);
    cleanUp->OnClick = std::move(cleanUpClick);

    main->BoostChecked = speedUp->Checked();
    main->CleanChecked = cleanUp->Checked();
    if (auto* go = Find<TControl>(L"ButtonSpeedUpGo"))
        go->SetEnabled(speedUp->Checked() || cleanUp->Checked());

    auto colour = [this](std::initializer_list<std::pair<const wchar_t*, TColor>> Labels) {
        for (auto [name, color] : Labels)
            if (auto* label = Find<TControl>(name))
                label->Font().SetColor(color);
    };
    speedUp->SetEnabled(tweaks >= 1);
    if (tweaks < 1)
        colour({{L"LabelSpeedUp", kGrey}, {L"LabelSpeedUpText", kGrey},
                {L"LabelSpeedUpTweaksText", kGrey}, {L"LabelSpeedUpTweaks", kGrey}});
    else
        colour({{L"LabelSpeedUp", kRed}, {L"LabelSpeedUpText", kTextColor},
                {L"LabelSpeedUpTweaksText", kRed}, {L"LabelSpeedUpTweaks", kRed}});
    cleanUp->SetEnabled(bytes);
    if (bytes)
        colour({{L"LabelCleanUp", kRed}, {L"LabelCleanUpText", kTextColor},
                {L"LabelSpeedUpCleanSizeText", kRed}, {L"LabelSpeedUpCleanSize", kRed}});
    else
        colour({{L"LabelCleanUp", kGrey}, {L"LabelCleanUpText", kGrey},
                {L"LabelSpeedUpCleanSizeText", kGrey}, {L"LabelSpeedUpCleanSize", kGrey}});
}

void TFormSteps::ShowFinish()
{
    TMainForm* main = MainForm();
    if (!main)
        return;
    const auto& engine = main->Engine();
    if (main->LastStep() == kStepSpeedUpProgress) {
        if (main->BoostChecked)
            main->TweaksDone = main->RepairedCount(kCategoryBoost);
        if (main->CleanChecked) {
            main->CleanedBytes = engine ? SectionSelectedSize(engine->Category(kCategoryClean)) : 0;
            TrackAdd("#CL", static_cast<int32_t>(RoundedMegabytes(main->CleanedBytes)));
        }
    }
    auto counted = [](int32_t Count, const wchar_t* OneKey, const wchar_t* One, const wchar_t* ManyKey,
                      const wchar_t* Many) {
        if (Count == 1)
            return TranslateText(OneKey, One);
        return ReplaceTextW(TranslateText(ManyKey, Many), L"%count", Number(Count));
    };
    if (auto* label = Find<TLabel>(L"LabelFinishRegistry"))
        label->SetCaption(counted(main->FixedErrors, L"Fixed1Error", L"1 error", L"FixedErrors",
                                  L"%count errors"));
    if (auto* label = Find<TLabel>(L"LabelFinishTweaks"))
        label->SetCaption(counted(main->TweaksDone, L"Fixed1Tweak", L"1 tweak", L"FixedTweaks",
                                  L"%count tweaks"));
    // The memory figure is the share of free memory, in per cent.
    const int64_t memory =
        engine ? SectionMemoryFigure(engine->Category(kCategoryBoost), main->MemoryFigure) : 0;
    if (auto* label = Find<TLabel>(L"LabelFinishMemory"))
        label->SetCaption(Number(std::max<int64_t>(memory, 0)) + L" %");
    if (auto* label = Find<TLabel>(L"LabelFinishDisk"))
        label->SetCaption(AnsiToWide(FormatSizeCompact(main->CleanedBytes)));
    if (TqvBackups* backups = main->Backups())
        TrimBackups(backups->BoostBackups);
}

// ---------------------------------------------------------------------------
// The progress display

void TFormSteps::UpdateProgress()
{
    const TMainForm* main = MainForm();
    if (!main)
        return;
    auto place = [this](const wchar_t* CountName, const wchar_t* CaptionName, const std::wstring& Text) {
        auto* count = Find<TLabel>(CountName);
        auto* caption = Find<TControl>(CaptionName);
        if (!count)
            return;
        count->SetCaption(Text);
        count->SetLeft(kCountRight - count->Width());
        if (caption)
            caption->SetLeft(count->Left() - 10 - caption->Width());
    };
    const std::wstring tweaks =
        Number(static_cast<int64_t>(main->DisplayedTweakCount()) + main->AddOnItems);
    const std::wstring size = AnsiToWide(FormatSizeCompact(main->BytesToClean));
    place(L"LabelErrorCount", L"LabelErrorText", Number(main->RegistryErrors));
    place(L"LabelTweakCount", L"LabelTweakText", tweaks);
    place(L"LabelSpeedUpTweaks", L"LabelSpeedUpTweaksText", tweaks);
    place(L"LabelCleanSize", L"LabelCleanSizeText", size);
    place(L"LabelSpeedUpCleanSize", L"LabelSpeedUpCleanSizeText", size);

    // A section not yet reached is grey.
    const TControl* heading = Find<TControl>(L"LabelRegistryScan");
    const TControl* text = Find<TControl>(L"LabelRegistryScanText");
    const TColor headingColor = heading ? heading->Font().Color() : kHeadingColor;
    const TColor textColor = text ? text->Font().Color() : kTextColor;
    const uint8_t category = main->ShownCategory();
    auto section = [&](bool Reached, const wchar_t* Heading,
                       std::initializer_list<const wchar_t*> Texts) {
        if (auto* label = Find<TControl>(Heading))
            label->Font().SetColor(Reached ? headingColor : kGrey);
        for (const wchar_t* name : Texts)
            if (auto* label = Find<TControl>(name))
                label->Font().SetColor(Reached ? textColor : kGrey);
    };
    section(category >= 2, L"LabelSystemSpeedUp",
            {L"LabelSystemSpeedUpText", L"LabelTweakText", L"LabelTweakCount"});
    section(category >= 3, L"LabelFileCleanUp",
            {L"LabelFileCleanUpText", L"LabelCleanSizeText", L"LabelCleanSize"});

    for (const wchar_t* name : {L"ProgressBarScan", L"ProgressBarRepair", L"ProgressBarSpeedUp"})
        SetBar(Find<TProgressBar>(name), main->ProgressPosition(), main->ProgressMaximum());
    for (const wchar_t* name : {L"LabelProgress", L"LabelRepair", L"LabelSpeedUpProgress"})
        if (auto* label = Find<TLabel>(name))
            label->SetCaption(main->StatusText());

    auto* undo = Find<TControl>(L"ButtonUndoChanges");
    if (auto* label = Find<TControl>(L"LabelSettingsText"); label && undo)
        label->SetLeft(undo->Left() - 14 - label->Width());
    if (auto* label = Find<TControl>(L"LabelSettingsNext"); label && buttonBack_)
        label->SetLeft(buttonBack_->Left() - 14 - label->Width());
}

// ---------------------------------------------------------------------------
// The review tree

bool TReviewNodeData::Checked() const
{
    if (Item)
        return Item->Selected;
    return Group && Group->Checked;
}

void TReviewNodeData::SetChecked(bool On)
{
    if (Item)
        Item->Selected = On;
    if (Group)
        Group->Checked = On;
}

namespace {

// The text of an item's node: a registry item without caption shows where
// it lies; a start-up item its display name; any other its caption.
std::wstring ReviewItemText(const TqvItem& Item)
{
    if (const auto* reg = dynamic_cast<const TqvRegItem*>(&Item); reg && reg->Caption.empty()) {
        std::string key = reg->Key;
        while (!key.empty() && key.back() == '\\')
            key.pop_back();
        return AnsiToWide(RegRootToName(reg->Root) + "\\" + key + "   " + reg->Name);
    }
    if (const auto* startup = dynamic_cast<const TqvStartupItem*>(&Item))
        return Utf8ToWide(startup->Name);
    return Item.Caption;
}

constexpr wchar_t kExtraTextMark = L'\u0008';

} // namespace

void TFormSteps::FillReviewTree(uint8_t Kind)
{
    if (!treeReview_)
        return;
    treeReview_->SetItemHeight(25);
    treeReview_->SetIndent(30);
    treeReview_->BeginUpdate();
    // The nodes first: they point at the objects.
    treeReview_->Clear();
    reviewNodes_.clear();

    struct TSection {
        uint8_t kind;
        uint8_t category;
        const wchar_t* key;
        const wchar_t* heading;
    };
    static constexpr TSection kSections[] = {
        {kStepScanReview, kCategoryFix, L"ResultRegistry", L"Registry items:"},
        {kStepReviewTweaks, kCategoryBoost, L"ResultSpeedUp", L"Speed up system items:"},
        {kStepReviewFiles, kCategoryClean, L"ResultCleanUp", L"Clean up system items:"},
    };
    const TMainForm* main = MainForm();
    const TqvMain* engine = main ? main->Engine().get() : nullptr;
    for (const TSection& section : kSections) {
        if (section.kind != Kind || !engine)
            continue;
        TqvCategory* category = engine->Category(section.category);
        if (!category || category->FoundCount() <= 0)
            continue;
        TTreeNode* heading =
            treeReview_->AddChild(nullptr, TranslateText(section.key, section.heading));
        for (const auto& group : category->Groups)
            AddReviewGroup(heading, *group);
        heading->Expand();
    }
    treeReview_->EndUpdate();
}

void TFormSteps::AddReviewGroup(TTreeNode* Heading, TqvGroup& Group)
{
    const int count = Group.FoundCount();
    if (count == 0)
        return;
    std::wstring suffix;
    if (Group.FoundSize() > 0)
        suffix = ReplaceTextW(TranslateText(L"ResultIncrease", L"(Increase space by %size)"), L"%size",
                              AnsiToWide(FormatSize(Group.FoundSize())));
    else if (count == 1)
        suffix = TranslateText(L"Item1", L"(1 Item)");
    else
        suffix = ReplaceTextW(TranslateText(L"Items", L"(%count Items)"), L"%count", Number(count));

    auto& groupData = reviewNodes_.emplace_back(std::make_unique<TReviewNodeData>(&Group, nullptr));
    TTreeNode* groupNode = treeReview_->AddChild(
        Heading, Group.GetCaption() + kExtraTextMark + suffix, groupData.get());
    groupNode->SetStateIndex(Group.Checked ? 1 : 0);
    if (!Group.Scanner)
        return;
    for (const auto& item : Group.Scanner->Items) {
        if (!item->Found)
            continue;
        const std::wstring text = ReviewItemText(*item);
        if (text.empty())
            continue;
        auto& data = reviewNodes_.emplace_back(std::make_unique<TReviewNodeData>(nullptr, item.get()));
        data->Locked = item->Locked;
        TTreeNode* node = treeReview_->AddChild(groupNode, text, data.get());
        node->SetStateIndex(item->Selected ? 1 : 0);
    }
}

void TFormSteps::ReviewMouseDown(int X, int Y)
{
    TTreeNode* node = treeReview_->GetNodeAt(X, Y);
    if (!node || node->Level() == 0)
        return;
    const int x = X + treeReview_->ScrollPosX();
    const bool group = node->Level() == 1;
    if (group ? !(x >= 35 && x < 56) : !(x >= 55 && x < 76))
        return;
    auto* data = static_cast<TReviewNodeData*>(node->Data());
    if (!data || data->Locked)
        return;
    if (group) {
        bool state;
        if (!data->Uniform) {
            // A mixed group is checked whole, never unchecked.
            data->Uniform = true;
            state = true;
        } else {
            state = !data->Checked();
        }
        data->SetChecked(state);
        node->SetStateIndex(state ? 1 : 0);
        for (int i = 0; i < node->Count(); ++i) {
            TTreeNode* child = node->Item(i);
            if (auto* childData = static_cast<TReviewNodeData*>(child->Data())) {
                childData->SetChecked(state);
                child->SetStateIndex(state ? 1 : 0);
            }
        }
    } else {
        data->SetChecked(!data->Checked());
        node->SetStateIndex(data->Checked() ? 1 : 0);
        TTreeNode* parent = node->Parent();
        bool someChecked = false;
        bool someUnchecked = false;
        for (int i = 0; parent && i < parent->Count() && !(someChecked && someUnchecked); ++i) {
            const auto* sibling = static_cast<const TReviewNodeData*>(parent->Item(i)->Data());
            if (!sibling)
                continue;
            (sibling->Checked() ? someChecked : someUnchecked) = true;
        }
        if (auto* parentData = parent ? static_cast<TReviewNodeData*>(parent->Data()) : nullptr) {
            parentData->SetChecked(someChecked);
            parentData->Uniform = !(someChecked && someUnchecked);
            parent->SetStateIndex(someChecked ? 1 : 0);
        }
    }
    treeReview_->Invalidate();
}

bool TFormSteps::ThemedBoxes() const
{
    return HtmlLabelThemeActive() && ThemeCalls().draw.Get() && ThemeCalls().open.Get();
}

void TFormSteps::DrawReviewBox(HDC Dc, const RECT& Box, bool Checked, bool Uniform)
{
    if (ThemedBoxes()) {
        if (!boxThemeOpened_) {
            boxThemeOpened_ = true;
            boxTheme_ = ThemeCalls().open.Get()(treeReview_->Handle(), L"button");
        }
        if (boxTheme_) {
            const int state = (Checked ? 5 : 1) + (Uniform ? 0 : 3);
            ThemeCalls().draw.Get()(boxTheme_, Dc, kButtonCheckBoxPart, state, &Box, nullptr);
            return;
        }
    }
    RECT box = Box;
    UINT state = DFCS_BUTTONCHECK;
    if (Checked)
        state |= DFCS_CHECKED;
    if (!Uniform)
        state |= DFCS_INACTIVE;
    DrawFrameControl(Dc, &box, DFC_BUTTON, state);
}

void TFormSteps::DrawReviewNode(TTreeNode& Node, TCanvas& Canvas)
{
    static constexpr int kIndent[3] = {13, 55, 75};
    const RECT row = Node.DisplayRect(false);
    const int s = treeReview_->ScrollPosX();
    const int level = std::min(Node.Level(), 2);
    const auto* data = static_cast<const TReviewNodeData*>(Node.Data());
    const bool locked = data && data->Locked;

    Canvas.Brush().SetStyle(TBrushStyle::Solid);
    Canvas.Brush().SetColor(level == 1 ? kGroupRow : clWhite);
    Canvas.FillRect(RECT{13 - s, row.top, 32000, row.bottom - 3});

    const std::wstring& full = Node.Text();
    const size_t mark = full.find(kExtraTextMark);
    const std::wstring text = full.substr(0, mark);
    const int left = row.left - s + kIndent[level];
    RECT area{left, row.top, 32000, row.bottom - 3};
    Canvas.Brush().SetStyle(TBrushStyle::Clear);
    Canvas.Font().Assign(treeReview_->Font());
    Canvas.Font().SetColor(level == 0 ? kRed : (level == 2 && locked ? kGrey : clBlack));
    const UINT flags = DT_SINGLELINE | DT_NOPREFIX | (level == 0 ? DT_BOTTOM : DT_VCENTER);
    Canvas.DrawText(text, area, flags);
    if (mark != std::wstring::npos) {
        const int width = Canvas.TextWidth(text);
        RECT extra{left + width + 10, row.top, 32000, row.bottom - 3};
        Canvas.Font().SetColor(kRed);
        Canvas.DrawText(full.substr(mark + 1), extra, DT_SINGLELINE | DT_NOPREFIX | DT_VCENTER);
    }

    if (level >= 1 && data && !locked) {
        const RECT box{left - 20, row.top + 4, left - 20 + 15, row.top + 4 + 15};
        DrawReviewBox(Canvas.Handle(), box, data->Checked(), data->Uniform);
    }
    if (level == 1 && Node.HasChildren()) {
        Canvas.Brush().SetStyle(TBrushStyle::Solid);
        Canvas.Brush().SetColor(clBlack);
        Canvas.Pen().SetColor(clBlack);
        if (Node.Expanded()) {
            const POINT down[3] = {{20 - s, row.top + 8}, {28 - s, row.top + 8}, {24 - s, row.top + 12}};
            Canvas.Polygon(down, 3);
        } else {
            const POINT right[3] = {{22 - s, row.top + 7}, {26 - s, row.top + 11}, {22 - s, row.top + 15}};
            Canvas.Polygon(right, 3);
        }
    }
}

// ---------------------------------------------------------------------------
// The rescue centre

std::vector<TqvBackup*> SortBackupsNewestFirst(const std::vector<std::unique_ptr<TqvBackup>>& List)
{
    std::vector<TqvBackup*> sorted;
    sorted.reserve(List.size());
    for (const auto& backup : List)
        if (backup)
            sorted.push_back(backup.get());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const TqvBackup* a, const TqvBackup* b) { return a->SortTime > b->SortTime; });
    return sorted;
}

void TFormSteps::TrimBackups(std::vector<std::unique_ptr<TqvBackup>>& List)
{
    TMainForm* main = MainForm();
    if (!main || List.size() <= kMaxKeptBackups)
        return;
    // Oldest first; one whose file stays is passed over, so the loop ends.
    std::vector<TqvBackup*> order = SortBackupsNewestFirst(List);
    for (auto it = order.rbegin(); it != order.rend() && List.size() > kMaxKeptBackups; ++it)
        if (!main->RemoveBackup(*it))
            Log("Rescue Center: a backup could not be removed", 1, 2);
}

void TFormSteps::AddBackups(TTreeNode* Heading, const std::vector<std::unique_ptr<TqvBackup>>& List,
                            const std::wstring& Suffix)
{
    TTreeNode* more = nullptr;
    int added = 0;
    for (TqvBackup* backup : SortBackupsNewestFirst(List)) {
        const std::wstring text = backup->Date + L" " + Suffix;
        if (added < 2) {
            treeRestore_->AddChild(Heading, text, backup);
        } else {
            if (!more)
                more = treeRestore_->AddChild(Heading, TranslateText(L"BackupMore", L"More..."));
            treeRestore_->AddChild(more, text, backup);
        }
        ++added;
    }
}

void TFormSteps::FillRestorePoints(TqvBackups& Backups)
{
    if (!treeRestore_)
        return;
    treeRestore_->SetItemHeight(25);
    treeRestore_->SetIndent(28);
    treeRestore_->BeginUpdate();
    treeRestore_->Clear();
    if (!Backups.FixBackups.empty())
        AddBackups(treeRestore_->AddChild(nullptr, TranslateText(L"BackupRegistry",
                                                                 L"Backup of Registry Errors:")),
                   Backups.FixBackups,
                   TranslateText(L"BackupRegistryPartial", L"(Partial backup of Registry Errors)"));
    if (!Backups.BoostBackups.empty())
        AddBackups(treeRestore_->AddChild(nullptr, TranslateText(L"BackupSpeedUp",
                                                                 L"Backup of System Speed Up:")),
                   Backups.BoostBackups,
                   TranslateText(L"BackupSpeedUpPartial", L"(Partial backup of System Speed Up)"));
    for (TTreeNode* heading : treeRestore_->Roots())
        heading->Expand();
    treeRestore_->EndUpdate();
    if (!treeRestore_->Roots().empty())
        treeRestore_->Roots().front()->MakeVisible();
    UpdateRestoreButtons();
}

TqvBackup* TFormSteps::SelectedBackup() const
{
    TTreeNode* node = treeRestore_ ? treeRestore_->Selected() : nullptr;
    return node ? static_cast<TqvBackup*>(node->Data()) : nullptr;
}

void TFormSteps::UpdateRestoreButtons()
{
    const bool backup = SelectedBackup() != nullptr;
    for (const wchar_t* name : {L"ButtonRemove", L"ButtonRestore"})
        if (auto* button = Find<TControl>(name))
            button->SetEnabled(backup);
}

void TFormSteps::RestoreClick()
{
    TMainForm* main = MainForm();
    TqvBackup* backup = SelectedBackup();
    if (!main || !backup)
        return;
    HWND owner = main->HandleIfAllocated();
    if (AppPrompt(owner, TranslateText(L"BackupRestore", L"Do you really want to restore this backup?"),
                  MB_YESNO | MB_ICONQUESTION) != IDYES) {
        TrackEvent("RSC", true);
        return;
    }
    TrackEvent("RS", true);
    const TqvBackup::TResult result = backup->Restore();
    if (result.Failed == 0)
        AppPrompt(owner, TranslateText(L"BackupRestored", L"Registries have been restored."),
                  MB_OK | MB_ICONINFORMATION);
    else
        AppPrompt(owner,
                  TranslateText(L"BackupRestoreFailed", L"Some registry entries could not be restored."),
                  MB_OK | MB_ICONERROR);
}

void TFormSteps::RemoveClick()
{
    TMainForm* main = MainForm();
    TTreeNode* node = treeRestore_ ? treeRestore_->Selected() : nullptr;
    auto* backup = node ? static_cast<TqvBackup*>(node->Data()) : nullptr;
    if (!main || !backup)
        return;
    HWND owner = main->HandleIfAllocated();
    if (AppPrompt(owner, TranslateText(L"BackupRemove", L"Do you really want to remove this backup?"),
                  MB_YESNO | MB_ICONQUESTION) != IDYES) {
        TrackEvent("RMC", true);
        return;
    }
    TrackEvent("RM", true);
    if (!main->RemoveBackup(backup)) {
        // The file is still there, so the entry stays.
        AppPrompt(owner, TranslateText(L"BackupRemoveFailed", L"The backup could not be removed."),
                  MB_OK | MB_ICONERROR);
        return;
    }

    TTreeNode* parent = node->Parent();
    const auto isMore = [](const TTreeNode* Node) {
        return Node && Node->Level() == 1 && !Node->Data();
    };
    if (!node->GetNextSibling()) {
        TTreeNode* previous = node->GetPrevSibling();
        if (previous)
            treeRestore_->SetSelected(previous);
        if (isMore(parent) && !previous) {
            // The last backup under "More...": "More..." goes with it.
            if (TTreeNode* beforeMore = parent->GetPrevSibling())
                treeRestore_->SetSelected(beforeMore);
            parent->Delete();
            UpdateRestoreButtons();
            return;
        }
    } else if (node->Level() == 1 && parent && isMore(parent->GetLastChild())) {
        // The first backup under "More..." takes the free place.
        TTreeNode* more = parent->GetLastChild();
        if (TTreeNode* first = more->GetFirstChild()) {
            treeRestore_->Insert(more, first->Text(), first->Data());
            first->Delete();
        }
        if (!more->HasChildren())
            more->Delete();
    }
    if (node->Level() == 1 && parent && parent->Count() == 1) {
        parent->Delete();
    } else {
        node->Delete();
    }
    UpdateRestoreButtons();
}

void TFormSteps::DrawRestoreNode(TTreeNode& Node, TCanvas& Canvas, bool& DefaultDraw)
{
    const int level = Node.Level();
    // "More..." is the tree's own.
    if (level == 1 && !Node.Data()) {
        DefaultDraw = true;
        return;
    }
    DefaultDraw = false;
    const RECT row = Node.DisplayRect(false);
    const int s = treeRestore_->ScrollPosX();
    TColor back = treeRestore_->Color();
    TColor fore = treeRestore_->Font().Color();
    if (level == 0) {
        back = kGroupRow;
        fore = clBlack;
    } else if (Node.Selected()) {
        back = clHighlight;
        fore = clHighlightText;
    }
    Canvas.Brush().SetStyle(TBrushStyle::Solid);
    Canvas.Brush().SetColor(back);
    Canvas.FillRect(RECT{-s, row.top, 32000, row.bottom - 3});
    Canvas.Brush().SetStyle(TBrushStyle::Clear);
    Canvas.Font().Assign(treeRestore_->Font());
    Canvas.Font().SetColor(fore);
    RECT area{std::min(level, 1) * 25 + 8 - s, row.top, 32000, row.bottom - 3};
    Canvas.DrawText(Node.Text(), area, DT_SINGLELINE | DT_NOPREFIX | DT_VCENTER);
}

bool TFormSteps::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    for (int i = 1; i <= 3; ++i) {
        const std::wstring index = std::to_wstring(i);
        if (name == L"TimerAnim" + index) {
            value = timers_[static_cast<size_t>(i - 1)]->Enabled() ? L"1" : L"0";
            return true;
        }
        if (name == L"AnimFrame" + index) {
            value = std::to_wstring(AnimFrame(i));
            return true;
        }
    }
    return TForm::InspectProperty(name, value);
}
