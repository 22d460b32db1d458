#include "app/frmAllMain.h"

#include "app/frmAllImages.h"
#include "app/frmQVFAQ.h"
#include "app/frmAllSteps.h"
#include "app/qvFormTranslate.h"
#include "app/qvNetThreads.h"
#include "controls/KvLayout.h"
#include "engine/qvThreads.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/ShellUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cmath>

// ---------------------------------------------------------------------------
// The step table

const std::array<TQVStep, kStepCount> TQVStepInfo = {{
    {1, "Welcome", L"Welcome", L"WELCOME_ICO", L"Welcome to the %BRAND% Wizard", L""},
    {1, "ScanSettings", L"Scan Settings", L"SETTINGS_ICO", L"Select Registry areas",
     L"Choose which parts of the registry you want to scan"},
    {1, "ScanProgress", L"Scan Progress", L"PROGRESS_ICO", L"Scanning your computer...",
     L"Optimize and clean your computer to improve performance"},
    {0, "", L"", L"", L"", L""},
    {1, "ScanResults", L"Scan Results", L"RESULTS_ICO", L"Registry Scan Results",
     L"Your system has been checked for errors"},
    {0, "ScanReview", L"", L"REVIEW_ICO", L"Scan Results", L"Select the items you want to clean up"},
    {0, "", L"", L"", L"", L""},
    {0, "", L"", L"", L"", L""},
    {1, "Repair", L"Registry Repair", L"REPAIR_ICO", L"Repairing Registry Errors",
     L"%BRAND% is now optimizing your computer"},
    {0, "RepairDone", L"", L"REPAIR_ICO", L"All Registry Errors have been repaired!", L""},
    {1, "SpeedUp", L"System Speed Up", L"SPEEDUP_ICO", L"Select Items to Optimize",
     L"Choose the areas you would like to optimize"},
    {0, "SpeedUpProgress", L"", L"SPEEDUP_ICO", L"System Speed Up",
     L"%BRAND% is now optimizing your computer."},
    {0, "", L"", L"", L"", L""},
    {0, "ReviewTweaks", L"", L"REVIEW_ICO", L"Tweak Results", L"Select the items you want to clean up"},
    {0, "ReviewFiles", L"", L"REVIEW_ICO", L"File Results", L"Select the items you want to clean up"},
    {1, "Finish", L"Finish", L"FINISH_ICO", L"Summary", L""},
    {0, "", L"", L"", L"", L""},
    {2, "RescueCenter", L"Rescue Center", L"RESCUE_ICO", L"Welcome to the Rescue Center", L""},
    {0, "", L"", L"", L"", L""},
    {2, "Settings", L"Settings", L"SETTINGS_ICO", L"Settings", L""},
    {2, "Help", L"Help", L"HELP_ICO", L"Help", L""},
    {2, "About", L"About", L"ABOUT_ICO", L"About", L""},
}};

const std::array<const char*, kStepCount> TQVStepUsage = {
    "W", "S", "P", "", "R", "I", "", "", "RP", "C", "OS", "O", "", "RT", "RF", "F",
    "", "RC", "", "AS", "H", "A",
};

// ---------------------------------------------------------------------------
// The step rules

uint8_t NextStepAfter(uint8_t Current, int32_t RegistryErrors)
{
    switch (Current) {
    case kStepWelcome:
        return kStepScanSettings;
    case kStepScanSettings:
        return kStepScanProgress;
    case kStepScanProgress:
        return kStepScanResults;
    case kStepScanResults:
        return RegistryErrors >= 1 ? kStepRepair : kStepSpeedUp;
    case kStepScanReview:
        return kStepRepair;
    case kStepRepair:
        return kStepRepairDone;
    case kStepRepairDone:
        return kStepSpeedUp;
    case kStepSpeedUp:
    case kStepReviewTweaks:
    case kStepReviewFiles:
        return kStepSpeedUpProgress;
    case kStepSpeedUpProgress:
        return kStepFinish;
    default:
        return Current;
    }
}

uint8_t PreviousStepBefore(uint8_t Current)
{
    switch (Current) {
    case kStepScanSettings:
        return kStepWelcome;
    case kStepScanProgress:
    case kStepScanResults:
    case kStepRepair:
    case kStepRepairDone:
    case kStepSpeedUp:
    case kStepSpeedUpProgress:
    case kStepFinish:
        return kStepScanSettings;
    case kStepScanReview:
        return kStepScanResults;
    case kStepReviewTweaks:
    case kStepReviewFiles:
        return kStepSpeedUp;
    default:
        return Current;
    }
}

bool IsListStepCurrentFor(uint8_t Current, uint8_t Step)
{
    if (Step == Current)
        return true;
    if (Step > Current || Current >= kStepCount)
        return false;
    // A sub-page marks the listed step before it, and no later entry.
    for (int s = Step + 1; s <= Current; ++s)
        if (TQVStepInfo[static_cast<size_t>(s)].Kind != 0)
            return false;
    return true;
}

int32_t DisplayedTweakCountOf(int32_t Tweaks, int64_t MemoryFigure)
{
    return MemoryFigure >= 0 && Tweaks > 0 ? Tweaks - 1 : Tweaks;
}

bool SpeedUpOfferedFor(int32_t ShownTweaks, int32_t AddOns, int64_t BytesToClean,
                       int64_t MemoryFigure)
{
    return static_cast<int64_t>(ShownTweaks) + AddOns >= 1 || BytesToClean > 0 || MemoryFigure >= 0;
}

void FitButtonWidth(TControl& Button, int Anchor, int Margin, int Offset, int MaxWidth, int MinWidth)
{
    TBitmap work(2000, 2000);
    HDC dc = work.Canvas().Handle();
    SIZE size{};
    {
        TDcSelection font(dc, Button.Font().Handle());
        RECT r{0, 0, 2000, 2000};
        const std::wstring& caption = Button.Caption();
        DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &r,
                  DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        size.cx = r.right - r.left;
    }
    int width = Margin + size.cx;
    if (MinWidth >= 0)
        width = std::max(width, MinWidth);
    if (MaxWidth >= 0)
        width = std::min(width, MaxWidth);
    const int oldLeft = Button.Left(), oldWidth = Button.Width();
    int left = oldLeft;
    if (Anchor == 1)
        left = oldLeft + oldWidth - width;
    else if (Anchor == 2)
        left = oldLeft + oldWidth / 2 - width / 2;
    Button.SetBounds(left + Offset, Button.Top(), width, Button.Height());
}

void FitCaptionFont(TControl& Control, int Width, int Height, int MinHeight)
{
    TBitmap work(1, 1);
    HDC dc = work.Canvas().Handle();
    const std::wstring& caption = Control.Caption();
    int height = Height;
    for (; height < MinHeight; ++height) {
        Control.Font().SetHeight(height);
        TDcSelection font(dc, Control.Font().Handle());
        // The ink, not the extent: Wine's extents of small Tahoma sizes run
        // several pixels past the last glyph.
        if (MeasureTextInk(dc, caption).inked <= Width)
            return;
    }
    Control.Font().SetHeight(height);
}

// ---------------------------------------------------------------------------
// The layout

namespace {

TMainForm* gMainForm = nullptr;

constexpr int kHeaderHeight = 80;
constexpr int kColumnWidth = 172;
constexpr int kStepRowGap = 12;
constexpr int kStepMinFontHeight = -9;
constexpr TColor kHeaderBlue = 0x8A4E1E;
// The classic frame's edge beside and below the client panel.
constexpr TColor kFrameColor = 0x5A3414;
constexpr TColor kTitleColor = 0x7A4A1F;
constexpr TColor kTabActiveText = 0x2F2F2F;
constexpr TColor kStepText = 0x303030;
constexpr const wchar_t* kFont = L"Tahoma";
constexpr int kFontHeight = -12;

constexpr UINT kFinishClosingMessage = WM_APP + 40;
// A composition change that waited for the worker: the restart, once the
// worker's finish has returned.
constexpr UINT kRestartMessage = WM_APP + 41;
constexpr DWORD kCloseWaitMs = 30000;
constexpr DWORD kStopWaitMs = 1500;
constexpr DWORD kPhaseChangeWaitMs = 400;
constexpr DWORD kMaxPacingMs = 2000;
constexpr int32_t kPhaseBudgetMs = 3000;
constexpr DWORD kRefreshIntervalMs = 10;
constexpr DWORD kBrowserWaitMs = 5000;
constexpr DWORD kBrowserRoundMs = 10;
constexpr DWORD kBrowserCheckEvery = 50;

// The support list: the step of each button and its icon.
struct TSupportEntry {
    uint8_t step;
    const wchar_t* button;
    const wchar_t* image;
};
constexpr TSupportEntry kSupportEntries[] = {
    {kStepRescueCenter, L"ButtonSupportRescue", L"ImageSupportRescue"},
    {kStepSettings, L"ButtonSupportSettings", L"ImageSupportSettings"},
    {kStepHelp, L"ButtonSupportHelp", L"ImageSupportHelp"},
    {kStepAbout, L"ButtonSupportAbout", L"ImageSupportAbout"},
};
constexpr int kSupportLeft = 8;
constexpr int kSupportWidth = 156;
constexpr int kSupportIconLeft = 18;
constexpr int kSupportIcon = 20;

int SupportTop(uint8_t Step, bool Current)
{
    return (Step - kStepRescueCenter) * 30 + (Current ? 16 : 17);
}

const TFontSpec kTabFont{.name = kFont, .height = kFontHeight, .style = fsBold, .styleSet = true};
const TFontSpec kSupportFont{.name = kFont, .height = kFontHeight, .color = kStepText};

const TControlSpec kMainLayout[] = {
    {.kind = KvNew<TPanel>, .name = L"PanelClient", .left = 0, .top = 0, .width = 770, .height = 550,
     .color = clWhite},

    // The header bar
    {.kind = KvNew<TPanel>, .name = L"PanelHeader", .parentName = L"PanelClient", .left = 0, .top = 0,
     .width = 770, .height = kHeaderHeight, .color = kHeaderBlue},
    {.kind = KvNew<TSkinImage>, .name = L"ImageTop", .parentName = L"PanelHeader", .left = 0,
     .top = 0, .width = 770, .height = kHeaderHeight, .image = L"BG_TOP", .stretched = TFlag::On},
    {.kind = KvNew<TSkinImage>, .name = L"ImageLogo", .parentName = L"PanelHeader", .left = 0,
     .top = 0, .width = 210, .height = 46, .image = L"LOGO_XP"},
    {.kind = KvNew<TPaintBox>, .name = L"PaintSupportCall", .parentName = L"PanelHeader", .left = 210,
     .top = 0, .width = 220, .height = 76, .visible = TFlag::Off},
    {.kind = KvNew<TSkinButton>, .name = L"ScanTab", .parentName = L"PanelHeader", .left = 186,
     .top = 42, .width = 129, .height = 38, .caption = L"Scan & Repair", .image = L"TAB",
     .font = kTabFont, .cursor = crHandPoint},
    {.kind = KvNew<TSkinButton>, .name = L"SupportTab", .parentName = L"PanelHeader", .left = 319,
     .top = 42, .width = 129, .height = 38, .caption = L"Support", .image = L"TAB_INACTIVE",
     .imageHot = L"TAB_INACTIVE_HOT", .font = kTabFont, .cursor = crHandPoint},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonHelp", .parentName = L"PanelHeader", .left = 680,
     .top = 43, .width = 80, .height = 28, .caption = L"Help", .image = L"BUTTON2",
     .imageHot = L"BUTTON2_HOT", .imageDown = L"BUTTON2_DOWN",
     .font = {.name = kFont, .height = kFontHeight, .style = fsBold, .styleSet = true, .color = clWhite},
     .cursor = crHandPoint},
    {.kind = KvNew<TPanel>, .name = L"PanelSys", .parentName = L"PanelHeader", .left = 706, .top = 0,
     .width = 64, .height = 26, .color = kHeaderBlue, .parentBackground = TFlag::On},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonMinimize", .parentName = L"PanelSys", .left = 4,
     .top = 2, .width = 28, .height = 22, .image = L"MINIMIZE", .imageHot = L"MINIMIZE_HOT",
     .imageDown = L"MINIMIZE_DOWN"},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonClose", .parentName = L"PanelSys", .left = 34,
     .top = 2, .width = 28, .height = 22, .image = L"CLOSE", .imageHot = L"CLOSE_HOT",
     .imageDown = L"CLOSE_DOWN"},

    // The step header, at the right of the left column
    {.kind = KvNew<TPanel>, .name = L"PanelClientHeader", .parentName = L"PanelClient",
     .left = kColumnWidth, .top = kHeaderHeight, .width = 770 - kColumnWidth, .height = 78,
     .color = clWhite},
    {.kind = KvNew<TSkinImage>, .name = L"ImageStepIcon", .parentName = L"PanelClientHeader",
     .left = 18, .top = 15, .width = 48, .height = 48, .image = L"WELCOME_ICO"},
    {.kind = KvNew<TLabel>, .name = L"LabelStepHeader", .parentName = L"PanelClientHeader",
     .left = 78, .top = 26, .caption = L"",
     .font = {.name = kFont, .height = -17, .style = fsBold, .styleSet = true, .color = kTitleColor},
     .tag = kNoTranslationTag, .showAccelChar = TFlag::Off},
    {.kind = KvNew<TLabel>, .name = L"LabelStepText", .parentName = L"PanelClientHeader", .left = 78,
     .top = 50, .caption = L"", .font = {.name = kFont, .height = kFontHeight, .color = 0x606060},
     .tag = kNoTranslationTag, .showAccelChar = TFlag::Off},
    {.kind = KvNew<TSkinImage>, .name = L"ImageHeaderLine", .parentName = L"PanelClientHeader",
     .left = 18, .top = 74, .width = 562, .height = 3, .image = L"HEADER_LINE",
     .stretched = TFlag::On},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonFixAllErrors", .parentName = L"PanelClientHeader",
     .left = 398, .top = 22, .width = 178, .height = 34, .caption = L"Fix All Errors",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .font = {.name = kFont, .height = -14, .style = fsBold, .styleSet = true, .color = clWhite},
     .cursor = crHandPoint, .visible = TFlag::Off},

    // The step list
    {.kind = KvNew<TPanel>, .name = L"PanelSteps", .parentName = L"PanelClient", .left = 0,
     .top = kHeaderHeight, .width = kColumnWidth, .height = 250, .color = clWhite},
    {.kind = KvNew<TSkinImage>, .name = L"ImageStepsBg", .parentName = L"PanelSteps", .left = 0,
     .top = 0, .width = kColumnWidth, .height = 250, .image = L"STEPS_BG", .stretched = TFlag::On},
    {.kind = KvNew<TLabel>, .name = L"LabelProgressSteps", .parentName = L"PanelSteps", .left = 16,
     .top = 14, .caption = L"Progress Steps:",
     .font = {.name = kFont, .height = kFontHeight, .style = fsBold, .styleSet = true, .color = 0x404040},
     .showAccelChar = TFlag::Off},
    {.kind = KvNew<TSkinImage>, .name = L"ImageStep", .parentName = L"PanelSteps", .left = 14,
     .top = 12, .width = 22, .height = 22, .image = L"STEP", .imageDisabled = L"STEP_INACTIVE",
     .visible = TFlag::Off},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonStep", .parentName = L"PanelSteps", .left = 40,
     .top = 12, .width = kColumnWidth - 44, .height = 22, .caption = L"",
     .font = {.name = kFont, .height = kFontHeight, .color = kStepText},
     .alignment = TAlignment::Left, .alignmentSet = true, .visible = TFlag::Off,
     .disabledFontColor = 0xA0A0A0, .pushCaption = TFlag::Off},

    // The support list
    {.kind = KvNew<TPanel>, .name = L"PanelSupport", .parentName = L"PanelClient", .left = 0,
     .top = kHeaderHeight, .width = kColumnWidth, .height = 250, .color = clWhite,
     .visible = TFlag::Off},
    {.kind = KvNew<TSkinImage>, .name = L"ImageSupportBg", .parentName = L"PanelSupport", .left = 0,
     .top = 0, .width = kColumnWidth, .height = 250, .image = L"STEPS_BG", .stretched = TFlag::On},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonSupportRescue", .parentName = L"PanelSupport",
     .left = kSupportLeft, .top = 17, .width = kSupportWidth, .height = 30, .caption = L"Rescue Center",
     .imageHot = L"SUPPORT_HOT", .font = kSupportFont, .alignment = TAlignment::Left,
     .alignmentSet = true, .cursor = crHandPoint, .edgeMargins = {36, 0, 4, 0},
     .edgeMarginsSet = true, .pushCaption = TFlag::Off},
    {.kind = KvNew<TSkinImage>, .name = L"ImageSupportRescue", .parentName = L"PanelSupport",
     .left = kSupportIconLeft, .top = 22, .width = kSupportIcon, .height = kSupportIcon,
     .image = L"SUPPORT_RESCUE"},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonSupportSettings", .parentName = L"PanelSupport",
     .left = kSupportLeft, .top = 77, .width = kSupportWidth, .height = 30, .caption = L"Settings",
     .imageHot = L"SUPPORT_HOT", .font = kSupportFont, .alignment = TAlignment::Left,
     .alignmentSet = true, .cursor = crHandPoint, .edgeMargins = {36, 0, 4, 0},
     .edgeMarginsSet = true, .pushCaption = TFlag::Off},
    {.kind = KvNew<TSkinImage>, .name = L"ImageSupportSettings", .parentName = L"PanelSupport",
     .left = kSupportIconLeft, .top = 82, .width = kSupportIcon, .height = kSupportIcon,
     .image = L"SUPPORT_SETTINGS"},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonSupportHelp", .parentName = L"PanelSupport",
     .left = kSupportLeft, .top = 107, .width = kSupportWidth, .height = 30, .caption = L"Help",
     .imageHot = L"SUPPORT_HOT", .font = kSupportFont, .alignment = TAlignment::Left,
     .alignmentSet = true, .cursor = crHandPoint, .edgeMargins = {36, 0, 4, 0},
     .edgeMarginsSet = true, .pushCaption = TFlag::Off},
    {.kind = KvNew<TSkinImage>, .name = L"ImageSupportHelp", .parentName = L"PanelSupport",
     .left = kSupportIconLeft, .top = 112, .width = kSupportIcon, .height = kSupportIcon,
     .image = L"SUPPORT_HELP"},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonSupportAbout", .parentName = L"PanelSupport",
     .left = kSupportLeft, .top = 137, .width = kSupportWidth, .height = 30, .caption = L"About",
     .imageHot = L"SUPPORT_HOT", .font = kSupportFont, .alignment = TAlignment::Left,
     .alignmentSet = true, .cursor = crHandPoint, .edgeMargins = {36, 0, 4, 0},
     .edgeMarginsSet = true, .pushCaption = TFlag::Off},
    {.kind = KvNew<TSkinImage>, .name = L"ImageSupportAbout", .parentName = L"PanelSupport",
     .left = kSupportIconLeft, .top = 142, .width = kSupportIcon, .height = kSupportIcon,
     .image = L"SUPPORT_ABOUT"},

    // The banners: filled from the news items
    {.kind = KvNew<TPanel>, .name = L"PanelAdvert", .parentName = L"PanelClient", .left = 0,
     .top = kHeaderHeight + 250, .width = kColumnWidth, .height = 550 - kHeaderHeight - 250 - 78,
     .color = clWhite},
    {.kind = KvNew<TPNGControl>, .name = L"PNGBannerLeft", .parentName = L"PanelAdvert", .left = 0,
     .top = 0, .width = kColumnWidth, .height = 550 - kHeaderHeight - 250 - 78},
    {.kind = KvNew<TPanel>, .name = L"PanelBar", .parentName = L"PanelClient", .left = 0,
     .top = 550 - 78, .width = 770, .height = 78, .color = 0xE8DED6},
    {.kind = KvNew<TSkinImage>, .name = L"ImageBar", .parentName = L"PanelBar", .left = 0, .top = 0,
     .width = 770, .height = 78, .image = L"BG_BOTTOM", .stretched = TFlag::On},
    {.kind = KvNew<TPanel>, .name = L"PanelBarAdvert", .parentName = L"PanelBar",
     .left = kColumnWidth, .top = 0, .width = 598, .height = 78, .color = 0xE8DED6,
     .parentBackground = TFlag::On},
    {.kind = KvNew<TPNGControl>, .name = L"PNGBannerBottom", .parentName = L"PanelBarAdvert",
     .left = 0, .top = 0, .width = 598, .height = 78},
};

template <typename T> T* Need(TComponent& owner, const wchar_t* name)
{
    T* found = owner.Find<T>(name);
    if (!found)
        Log("MainForm: no control " + WideToUtf8(name), 1, 4);
    return found;
}

// Every windowed control below control, double-buffered; panels paint
// their own background.
void BufferWindowedControls(TWinControl& control)
{
    for (TControl* child : control.Controls()) {
        auto* windowed = dynamic_cast<TWinControl*>(child);
        if (!windowed)
            continue;
        windowed->SetDoubleBuffered(true);
        BufferWindowedControls(*windowed);
    }
}

bool ProcessRuns(const wchar_t* ExeName)
{
    if (GetWinVersion() == TWinVersion::NT40)
        return false;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        found = lstrcmpiW(entry.szExeFile, ExeName) == 0;
    CloseHandle(snapshot);
    return found;
}

struct TBrowserSearch {
    std::vector<std::wstring> classes;
    std::string exe;
    std::vector<HWND> found;
};

BOOL CALLBACK FindBrowserWindow(HWND Wnd, LPARAM Param)
{
    Guard([&] {
        auto& search = *reinterpret_cast<TBrowserSearch*>(Param);
        wchar_t name[256] = {};
        GetClassNameW(Wnd, name, 256);
        if (std::find(search.classes.begin(), search.classes.end(), name) == search.classes.end())
            return;
        DWORD pid = 0;
        GetWindowThreadProcessId(Wnd, &pid);
        if (SameText(ExtractFileName(GetProcessImagePath(pid)), search.exe))
            search.found.push_back(Wnd);
    });
    return TRUE;
}

// The top-level windows of the classes whose process runs ExeName.
std::vector<HWND> BrowserWindows(std::initializer_list<const wchar_t*> Classes, const char* ExeName)
{
    TBrowserSearch search{{Classes.begin(), Classes.end()}, ExeName, {}};
    EnumWindows(&FindBrowserWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool FirefoxRuns()
{
    return ProcessRuns(L"firefox.exe");
}

// The group of the category with that id is checked with at least one
// selected item.
bool GroupSelected(const TqvMain* Engine, uint8_t Category, const char* Id)
{
    const TqvCategory* category = Engine ? Engine->Category(Category) : nullptr;
    if (!category)
        return false;
    for (const auto& group : category->Groups)
        if (group->Id == Id && group->Checked && group->SelectedCount() >= 1)
            return true;
    return false;
}

bool ApplicationActive()
{
    const HWND foreground = GetForegroundWindow();
    DWORD pid = 0;
    if (foreground)
        GetWindowThreadProcessId(foreground, &pid);
    return pid == GetCurrentProcessId();
}

int64_t RoundDiv(int64_t Numerator, int64_t Denominator)
{
    if (Denominator == 0)
        return 0;
    const long double q = static_cast<long double>(Numerator) / static_cast<long double>(Denominator);
    return static_cast<int64_t>(std::llround(q));
}

std::wstring Key(const char* Prefix, const TQVStep& Step, const char* Suffix)
{
    return AnsiToWide(std::string(Prefix) + Step.Name + Suffix);
}

} // namespace

TMainForm* MainForm()
{
    return gMainForm;
}

// ---------------------------------------------------------------------------
// Creation and destruction

TMainForm::TMainForm(TComponent* owner) : TForm(owner)
{
    gMainForm = this;
    SetName(L"MainForm");
    SetCaption(kProductNameW);
    Font().SetName(kFont);
    Font().SetHeight(kFontHeight);
    SetColor(clWhite);
    SetPosition(TFormPosition::ScreenCenter);
    SetClientSize(770, 550);
    TrackVisit("ST");

    TImageData* store = TImageData::Instance();
    BuildLayout(*this, kMainLayout, {.images = store ? store->ImageList() : nullptr});
    panelClient_ = Need<TPanel>(*this, L"PanelClient");
    panelHeader_ = Need<TPanel>(*this, L"PanelHeader");
    panelSteps_ = Need<TPanel>(*this, L"PanelSteps");
    panelSupport_ = Need<TPanel>(*this, L"PanelSupport");
    panelAdvert_ = Need<TPanel>(*this, L"PanelAdvert");
    panelBar_ = Need<TPanel>(*this, L"PanelBar");
    panelBarAdvert_ = Need<TPanel>(*this, L"PanelBarAdvert");
    panelClientHeader_ = Need<TPanel>(*this, L"PanelClientHeader");
    imageStepIcon_ = Need<TSkinImage>(*this, L"ImageStepIcon");
    labelStepHeader_ = Need<TLabel>(*this, L"LabelStepHeader");
    labelStepText_ = Need<TLabel>(*this, L"LabelStepText");
    scanTab_ = Need<TSkinButton>(*this, L"ScanTab");
    supportTab_ = Need<TSkinButton>(*this, L"SupportTab");
    buttonFixAllErrors_ = Need<TSkinButton>(*this, L"ButtonFixAllErrors");
    paintSupportCall_ = Need<TPaintBox>(*this, L"PaintSupportCall");
    buttonHelp_ = Need<TSkinButton>(*this, L"ButtonHelp");
    imageLogo_ = Need<TSkinImage>(*this, L"ImageLogo");
    if (imageLogo_)
        logoTransparent_ = imageLogo_->Transparent();
    if (scanTab_)
        tabsTransparent_ = scanTab_->Transparent();
    imageTop_ = Need<TSkinImage>(*this, L"ImageTop");
    panelSys_ = Need<TPanel>(*this, L"PanelSys");
    if (paintSupportCall_)
        paintSupportCall_->OnPaint = [this](TGraphicControl& Sender) {
            if (supportBitmap_)
                BitBlt(Sender.Canvas().Handle(), 0, 0, supportBitmap_->Width(),
                       supportBitmap_->Height(), supportBitmap_->Canvas().Handle(), 0, 0, SRCCOPY);
        };
    OnMouseDown = [this](TControl&, TMouseButton Button, TShiftState, int, int Y) {
        if (Button == TMouseButton::Left)
            DragFrom(Y);
    };
    for (TSkinImage* top : {imageTop_, imageLogo_})
        if (top)
            top->OnMouseDown = [this](TControl& Sender, TMouseButton Button, TShiftState, int, int Y) {
                if (Button == TMouseButton::Left)
                    DragFrom(Sender.Top() + Y);
            };
    bannerLeft_ = Need<TPNGControl>(*this, L"PNGBannerLeft");
    bannerBottom_ = Need<TPNGControl>(*this, L"PNGBannerBottom");
    for (auto [banner, event] : {std::pair{bannerLeft_, "BL"}, std::pair{bannerBottom_, "BB"}})
        if (banner)
            banner->OnAnchorClick = [this, event](TPNGControl&, TAnchor& Anchor) {
                Track(event, false);
                OpenUrl(ExpandUrlMacros(Anchor.URL()));
            };

    showEvent_ = std::make_unique<TGlobalEvent>(kShowMainEventName);
    stopEvent_ = std::make_unique<TGlobalEvent>(kStopMainEventName);
    BufferWindowedControls(*this);

    // The step list: one image and one button per listed step after the
    // welcome, made from the templates.
    auto* imageTemplate = Need<TSkinImage>(*this, L"ImageStep");
    auto* buttonTemplate = Need<TSkinButton>(*this, L"ButtonStep");
    if (imageTemplate && buttonTemplate && panelSteps_) {
        const TLayoutContext context{.images = store ? store->ImageList() : nullptr};
        int k = 0;
        for (uint8_t s = 1; s < kStepCount; ++s) {
            if (TQVStepInfo[s].Kind != 1)
                continue;
            ++k;
            const std::wstring number = std::to_wstring(s);
            const std::wstring imageName = L"ImageStep" + number;
            const std::wstring buttonName = L"ButtonStep" + number;
            auto* image = TSkinImage::Create(
                {.owner = this, .parent = panelSteps_, .name = imageName.c_str(),
                 .left = imageTemplate->Left(),
                 .top = imageTemplate->Top() + k * (imageTemplate->Height() + kStepRowGap),
                 .width = imageTemplate->Width(), .height = imageTemplate->Height(),
                 .image = L"STEP", .imageDisabled = L"STEP_INACTIVE"},
                context);
            auto* button = TSkinButton::Create(
                {.owner = this, .parent = panelSteps_, .name = buttonName.c_str(),
                 .left = buttonTemplate->Left(),
                 .top = buttonTemplate->Top() + k * (buttonTemplate->Height() + kStepRowGap),
                 .width = buttonTemplate->Width(), .height = buttonTemplate->Height(),
                 .caption = TQVStepInfo[s].Caption,
                 .font = {.name = kFont, .height = kFontHeight, .color = kStepText},
                 .tag = kNoTranslationTag, .alignment = TAlignment::Left, .alignmentSet = true,
                 .disabledFontColor = 0xA0A0A0, .pushCaption = TFlag::Off},
                context);
            list_[s] = {image, button};
        }
    }
    for (const TSupportEntry& entry : kSupportEntries) {
        auto* button = Need<TSkinButton>(*this, entry.button);
        auto* image = Need<TSkinImage>(*this, entry.image);
        list_[entry.step] = {image, button};
        if (button) {
            const uint8_t step = entry.step;
            button->OnClick = [this, step](TComponent&) { SetStep(step); };
        }
    }

    if (scanTab_)
        scanTab_->OnClick = [this](TComponent&) {
            if (tab_ != kTabScan && !Busy() && !closing_)
                Track("SR", false);
            SwitchTab(kTabScan);
        };
    if (supportTab_)
        supportTab_->OnClick = [this](TComponent&) {
            if (tab_ != kTabSupport && !Busy() && !closing_)
                Track("SP", false);
            SwitchTab(kTabSupport);
        };
    if (auto* help = Need<TSkinButton>(*this, L"ButtonHelp"))
        help->OnClick = [this](TComponent&) {
            Track("H", true);
            OpenUrl(ExpandUrlMacros(Settings()->HELPPAID_URL));
        };
    if (auto* minimize = Need<TSkinButton>(*this, L"ButtonMinimize"))
        minimize->OnClick = [](TComponent&) { Application().Minimize(); };
    if (auto* close = Need<TSkinButton>(*this, L"ButtonClose"))
        close->OnClick = [this](TComponent&) { Close(); };

    OnCloseQuery = [this](TForm&, bool& CanClose) { CanClose = CloseQuery(); };
    // The stay-on-top style of the start ends once the window is visible.
    OnShow = [this](TComponent&) { SetFormStayOnTop(false); };

    timer_ = new TTimer(this);
    timer_->SetName(L"Timer");
    timer_->SetInterval(200);
    timer_->OnTimer = [this](TComponent&) { TimerTick(); };
    timer_->SetEnabled(true);

    ShowTab(kTabScan);
    ShowStepHeader();
    RefreshStepList();
    RefreshSupportList();
    RefreshFrameControls();
    TranslateForm(*this);
    TranslateStepCaptions();
    LoadBanners();
    SetNewsBannerReload([this] { LoadBanners(); });
    ApplyFrame();
}

TMainForm::~TMainForm()
{
    Guard([this] {
        SetNewsBannerReload(nullptr);
        closing_ = true;
        if (timer_)
            timer_->SetEnabled(false);
        WaitForWorkers(kCloseWaitMs);
        for (HANDLE h : abandoned_)
            CloseHandle(h);
        abandoned_.clear();
        if (workerHandle_)
            CloseHandle(workerHandle_);
        workerHandle_ = nullptr;
        worker_ = nullptr;
        showEvent_.reset();
        stopEvent_.reset();
        engine_.reset();
        backups_.reset();
    });
    if (gMainForm == this)
        gMainForm = nullptr;
}

// ---------------------------------------------------------------------------
// The step controller

void TMainForm::Track(const char* Event, bool Once)
{
    TrackEvent(TQVStepUsage[step_], Event, Once);
}

bool TMainForm::AskSaveChanges()
{
    if (!SettingsChanged || step_ != kStepSettings)
        return true;
    Track("SM", true);
    const int answer =
        AppPrompt(HandleIfAllocated(), TranslateText(L"AskSaveChanges", L"Do you want to save changes?"),
                  MB_YESNOCANCEL | MB_ICONQUESTION);
    if (answer == IDYES) {
        if (OnSaveSettings)
            OnSaveSettings();
        return true;
    }
    Track("SMC", false);
    if (answer == IDNO) {
        SettingsChanged = false;
        return true;
    }
    return false;
}

TMainForm::TBusyScope::TBusyScope(TMainForm& Form, int& Depth) : form_(Form), depth_(Depth)
{
    ++depth_;
}

TMainForm::TBusyScope::~TBusyScope()
{
    --depth_;
    if (!form_.Busy() && form_.finishPending_)
        PostMessageW(form_.HandleIfAllocated(), kFinishClosingMessage, 0, 0);
}

void TMainForm::SetStep(uint8_t Step)
{
    ChangeStep(Step, true);
}

void TMainForm::ChangeStep(uint8_t Step, bool AskSave)
{
    if (Step == step_ || Step >= kStepCount)
        return;
    if ((Busy() && !inWorkFinished_) || closing_)
        return;
    if (AskSave && !AskSaveChanges())
        return;
    if ((Step == kStepRepair || Step == kStepSpeedUpProgress) && !HasAdminRights())
        return;
    if (Step == kStepSpeedUpProgress && !PrepareSpeedUp())
        return;

    lastStep_ = step_;
    step_ = Step;
    if (!AppFlags().CheckRun)
        TrackVisit(TQVStepUsage[step_]);
    RefreshStepList();
    RefreshSupportList();
    ShowStepHeader();

    if (step_ == kStepScanSettings || (step_ == kStepScanProgress && !engine_)) {
        auto engine = std::make_shared<TqvMain>();
        Guard([&engine] { engine->LoadData(); });
        engine_ = std::move(engine);
    }
    if (step_ == kStepScanProgress) {
        StartWork(kModeScan, kScanFlags);
    } else if (step_ == kStepRepair) {
        StartWork(kModeRepair, kRepairFix);
    } else if (step_ == kStepSpeedUpProgress) {
        const uint8_t mask = (BoostChecked ? kRepairBoost : 0) | (CleanChecked ? kRepairClean : 0);
        if (mask != 0)
            StartWork(kModeRepair, mask);
    }
    if (TFormSteps* pages = FormSteps())
        pages->ShowStep(step_);
    RefreshFrameControls();
}

void TMainForm::NextStep()
{
    const uint8_t next = NextStepAfter(step_, RegistryErrors);
    if (next != step_)
        SetStep(next);
}

void TMainForm::PreviousStep()
{
    const uint8_t previous = PreviousStepBefore(step_);
    if (previous != step_)
        SetStep(previous);
}

bool TMainForm::SpeedUpOffered() const
{
    return SpeedUpOfferedFor(DisplayedTweakCount(), AddOnItems, BytesToClean, MemoryFigure);
}

void TMainForm::ShowTab(uint8_t Tab)
{
    const bool scan = Tab == kTabScan;
    TSkinButton* active = scan ? scanTab_ : supportTab_;
    TSkinButton* other = scan ? supportTab_ : scanTab_;
    if (active) {
        active->SetImageName(L"TAB");
        active->SetImageNameHot(L"");
        active->Font().SetColor(kTabActiveText);
        active->EdgeMargins().SetTop(0);
    }
    if (other) {
        other->SetImageName(L"TAB_INACTIVE");
        other->SetImageNameHot(L"TAB_INACTIVE_HOT");
        other->Font().SetColor(clWhite);
        other->EdgeMargins().SetTop(4);
    }
    if (panelSteps_)
        panelSteps_->SetVisible(scan);
    if (panelSupport_)
        panelSupport_->SetVisible(!scan);
}

void TMainForm::SwitchTab(uint8_t Tab)
{
    if (Tab == tab_ || (Tab != kTabScan && Tab != kTabSupport))
        return;
    if ((Busy() && !inWorkFinished_) || closing_)
        return;
    if (!AskSaveChanges())
        return;
    tab_ = Tab;
    ShowTab(Tab);
    // Each tab comes back to the step it showed last; the save question was
    // answered above.
    const uint8_t target = savedStep_;
    savedStep_ = step_;
    ChangeStep(target, false);
}

void TMainForm::RefreshStepList()
{
    const bool offered = SpeedUpOffered();
    for (uint8_t s = 1; s <= kStepFinish; ++s) {
        if (TQVStepInfo[s].Kind != 1)
            continue;
        const TListEntry& entry = list_[s];
        bool enabled = s <= step_;
        if (s == kStepRepair && RegistryErrors < 1)
            enabled = false;
        if (s == kStepSpeedUp && !offered)
            enabled = false;
        if (entry.image) {
            entry.image->SetEnabled(enabled);
            entry.image->SetImageName(IsListStepCurrent(s) ? L"STEP_CURRENT" : L"STEP");
        }
        if (entry.button)
            entry.button->SetEnabled(entry.image ? entry.image->Enabled() : enabled);
    }
}

void TMainForm::RefreshSupportList()
{
    const uint8_t current = tab_ == kTabSupport ? step_ : savedStep_;
    for (const TSupportEntry& support : kSupportEntries) {
        const TListEntry& entry = list_[support.step];
        if (!entry.button)
            continue;
        const bool isCurrent = support.step == current;
        const int top = SupportTop(support.step, isCurrent);
        const int height = isCurrent ? 32 : 30;
        entry.button->SetImageName(isCurrent ? L"SUPPORT_ACTIVE" : L"");
        entry.button->SetImageNameHot(isCurrent ? L"" : L"SUPPORT_HOT");
        entry.button->SetBounds(entry.button->Left(), top, entry.button->Width(), height);
        if (entry.image)
            entry.image->SetBounds(entry.image->Left(), top + (height - entry.image->Height()) / 2,
                                   entry.image->Width(), entry.image->Height());
        if (isCurrent) {
            entry.button->BringToFront();
            if (entry.image)
                entry.image->BringToFront();
        }
    }
    // The icons lie over every button.
    for (const TSupportEntry& support : kSupportEntries)
        if (TSkinImage* image = list_[support.step].image)
            image->BringToFront();
}

void TMainForm::ShowStepHeader()
{
    const TQVStep& info = TQVStepInfo[step_];
    if (imageStepIcon_)
        imageStepIcon_->SetImageName(info.Icon);
    const std::wstring title = TranslateText(Key("Step_", info, "_Header"), info.Title);
    const std::wstring text = TranslateText(Key("Step_", info, "_Text"), info.Subtitle);
    if (labelStepHeader_)
        labelStepHeader_->SetCaption(title);
    if (labelStepText_) {
        labelStepText_->SetCaption(text);
        labelStepText_->SetVisible(!text.empty());
    }
    if (labelStepHeader_)
        labelStepHeader_->SetTop(text.empty() ? 35 : 26);
}

void TMainForm::TranslateStepCaptions()
{
    for (uint8_t s = 1; s < kStepCount; ++s) {
        const TQVStep& info = TQVStepInfo[s];
        if (info.Kind != 1 || !list_[s].button)
            continue;
        TSkinButton& button = *list_[s].button;
        button.SetCaption(TranslateText(Key("Step_", info, "_Caption"), info.Caption));
        // A long translation gets a smaller font rather than losing its end
        // at the column's edge.
        FitCaptionFont(button, button.Width(), kFontHeight, kStepMinFontHeight);
    }
    if (scanTab_)
        FitButtonWidth(*scanTab_, 1, 30, 0, -1, 129);
}

int TMainForm::PageTop() const
{
    // Under the glass the header is the frame, above the client panel.
    if (glassMode_)
        return 0;
    return panelHeader_ ? panelHeader_->Top() + panelHeader_->Height() : kHeaderHeight;
}

void TMainForm::RaiseOverPages()
{
    for (TControl* panel : std::initializer_list<TControl*>{panelClientHeader_, panelSteps_,
                                                            panelSupport_, panelAdvert_, panelBar_})
        if (panel)
            panel->BringToFront();
}

TSkinButton* TMainForm::StepButton(uint8_t Step) const
{
    return Step < kStepCount && TQVStepInfo[Step].Kind == 1 ? list_[Step].button : nullptr;
}

TSkinImage* TMainForm::StepImage(uint8_t Step) const
{
    return Step < kStepCount && TQVStepInfo[Step].Kind == 1 ? list_[Step].image : nullptr;
}

TSkinButton* TMainForm::SupportButton(uint8_t Step) const
{
    return Step < kStepCount && TQVStepInfo[Step].Kind == 2 ? list_[Step].button : nullptr;
}

// ---------------------------------------------------------------------------
// Scan results, persisted

void TMainForm::SaveLastScanResult()
{
    TProgramKeyView view;
    const std::string& key = ProgramKey();
    RegWriteInteger(HKEY_CURRENT_USER, key, "LSRE", RegistryErrors);
    RegWriteInteger(HKEY_CURRENT_USER, key, "LSRT", Tweaks);
    RegWriteInteger(HKEY_CURRENT_USER, key, "LSRB", AddOnItems);
    RegWriteInteger(HKEY_CURRENT_USER, key, "LSRS", static_cast<int32_t>(RoundDiv(BytesToClean, 1024)));
}

bool TMainForm::LoadLastScanResult()
{
    TProgramKeyView view;
    const std::string& key = ProgramKey();
    std::vector<BYTE> data;
    if (!RegReadValue(HKEY_CURRENT_USER, key, "LSRE", REG_DWORD, data) || data.size() != 4)
        return false;
    RegistryErrors = RegReadInteger(HKEY_CURRENT_USER, key, "LSRE");
    MemoryFigure = -1;
    Tweaks = RegReadInteger(HKEY_CURRENT_USER, key, "LSRT");
    AddOnItems = RegReadInteger(HKEY_CURRENT_USER, key, "LSRB");
    BytesToClean = static_cast<int64_t>(RegReadInteger(HKEY_CURRENT_USER, key, "LSRS")) * 1024;
    return true;
}

void TMainForm::SaveScanResult()
{
    TProgramKeyView view;
    if (Settings()->SCAN_RESULT.empty()) {
        const std::string text = std::to_string(RegistryErrors) + "," +
                                 std::to_string(DisplayedTweakCount()) + "," +
                                 std::to_string(RoundDiv(BytesToClean, 1048576));
        ChangeSettings([&text](TSettings& s) { s.SCAN_RESULT = text; });
        RegWriteString(HKEY_CURRENT_USER, ProgramKey(), "SCAN_RESULT", text);
    }
    RegWriteDateTime(HKEY_CURRENT_USER, ProgramKey(), "SCAN", Now());
}

bool TMainForm::NotRepaired(uint8_t Category) const
{
    return Category < 4 && notRepaired_[Category];
}

int32_t TMainForm::RepairedCount(uint8_t Category) const
{
    if (NotRepaired(Category) || !engine_)
        return 0;
    return SectionSelectedCount(engine_->Category(Category));
}

// ---------------------------------------------------------------------------
// Backups

TqvBackups* TMainForm::Backups()
{
    if (!backups_) {
        auto list = std::make_unique<TqvBackups>();
        Guard([&list] { list->Load(); });
        backups_ = std::move(list);
    }
    return backups_.get();
}

bool TMainForm::RemoveBackup(TqvBackup* Backup)
{
    if (!Backup)
        return false;
    const std::string file = Backup->FileName;
    if (!DeleteFileForced(file) && FileExistsEx(file))
        return false;
    if (backups_)
        for (auto* list : {&backups_->FixBackups, &backups_->BoostBackups})
            list->erase(std::remove_if(list->begin(), list->end(),
                                       [Backup](const auto& b) { return b.get() == Backup; }),
                        list->end());
    return true;
}

// ---------------------------------------------------------------------------
// The worker

void TMainForm::StartWork(uint8_t Mode, uint8_t Mask)
{
    // Counted first: a finish of an older worker during the stop below is stale.
    const uint64_t generation = ++generation_;
    StopWork();
    position_ = 0;
    maximum_ = 0;
    statusText_ = TranslateText(L"Scanning", L"Scanning...");
    shownCategory_ = 0;
    if (Mode == kModeRepair) {
        backups_.reset();
        for (uint8_t category : {kCategoryFix, kCategoryBoost, kCategoryClean})
            if (Mask & (1 << category))
                notRepaired_[category] = false;
    }
    lastRefresh_ = GetTickCount() - 1000;
    const bool wanted = RestorePointWanted();

    TWorkRequest request;
    request.Main = engine_;
    request.RestorePoint = wanted;
    request.Mask = Mask;
    request.Mode = Mode;
    request.OnProgress = [this, generation](const TqvUIStatus& Status) {
        return WorkProgress(generation, Status);
    };
    request.OnDone = [this, generation](bool RestorePointFailed) {
        WorkFinished(generation, RestorePointFailed);
    };
    TThread* worker = nullptr;
    if (AppSeams().CreateWorker) {
        worker = AppSeams().CreateWorker(request);
    } else {
        auto done = request.OnDone;
        worker = new TqvExecThread(
            engine_, wanted, [done](TqvExecThread& Sender) { done(Sender.RestorePointFailed); },
            request.OnProgress, Mask, Mode, AppSeams().RestorePoints);
    }
    if (!worker)
        return;
    paused_ = false;
    stopRequested_ = false;
    worker_ = worker;
    workerHandle_ = worker->OpenWaitHandle();
    worker->Start();
    if (TFormSteps* pages = FormSteps())
        if (TSkinButton* pause = pages->ButtonPauseScan())
            pause->SetCaption(TranslateText(L"ButPauseScan", L"Pause Scan"));
}

void TMainForm::StopWork()
{
    if (!worker_)
        return;
    worker_->Terminate();
    HANDLE handle = workerHandle_;
    worker_ = nullptr;
    workerHandle_ = nullptr;
    // From inside a progress callback the worker cannot end before the
    // callback returns: it is only asked to.
    if (handle && inProgress_ == 0) {
        TBusyScope busy(*this, busy_);
        PumpedWait(handle, kStopWaitMs);
    }
    paused_ = false;
    stopRequested_ = false;
    if (handle) {
        if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0)
            CloseHandle(handle);
        else
            abandoned_.push_back(handle);
    }
}

void TMainForm::PauseWork()
{
    if (!worker_ || paused_)
        return;
    paused_ = true;
    if (TFormSteps* pages = FormSteps())
        if (TSkinButton* pause = pages->ButtonPauseScan())
            pause->SetCaption(TranslateText(L"ButResumeScan", L"Resume Scan"));
}

void TMainForm::ResumeWork()
{
    if (!worker_ || !paused_)
        return;
    paused_ = false;
    if (TFormSteps* pages = FormSteps())
        if (TSkinButton* pause = pages->ButtonPauseScan())
            pause->SetCaption(TranslateText(L"ButPauseScan", L"Pause Scan"));
}

void TMainForm::RequestStop()
{
    stopRequested_ = true;
}

bool TMainForm::WorkerTerminated() const
{
    return !worker_ || worker_->Terminated();
}

bool TMainForm::PumpWhileWorking(DWORD Ms)
{
    const DWORD start = GetTickCount();
    TBusyScope busy(*this, busy_);
    bool alive = true;
    while (!closing_) {
        if (WorkerTerminated()) {
            alive = false;
            break;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= Ms)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(Ms - elapsed, 10), QS_ALLINPUT);
        Application().ProcessMessages();
    }
    return alive && !WorkerTerminated();
}

bool TMainForm::WorkProgress(uint64_t Generation, const TqvUIStatus& Status)
{
    if (Generation != generation_ || WorkerTerminated() || closing_)
        return false;
    TBusyScope depth(*this, inProgress_);
    TFormSteps* pages = FormSteps();

    if (stopRequested_) {
        stopRequested_ = false;
        const std::wstring text =
            TranslateText(L"AskStop1", L"Do you really want to STOP this scan?") + L"\r\n\r\n" +
            TranslateText(L"AskStop2", L"Your computer is not optimized and may contain errors!") +
            L" " + TranslateText(L"AskStop3", L"It is not recommended to stop this scan.") +
            L"\r\n\r\n" +
            TranslateText(L"AskStop4", L"If you really want to stop it, click \u201CYes\u201D.") +
            L"\r\n" + TranslateText(L"AskStop5", L"To complete this scan click \u201CNo\u201D.");
        const int answer = AppPrompt(HandleIfAllocated(), text, MB_YESNO | MB_ICONWARNING);
        if (answer == IDYES) {
            Track("S", false);
            AppFlags().UserStoppedScan = true;
            StopWork();
            return false;
        }
        Track("SC", true);
        if (pages && pages->ButtonStopScan())
            pages->ButtonStopScan()->SetEnabled(true);
        if (Generation != generation_ || WorkerTerminated())
            return false;
    }

    while (paused_) {
        if (WorkerTerminated() || closing_)
            return false;
        Application().ProcessMessages();
        SleepMs(10);
    }
    if (Generation != generation_)
        return false;

    if (pages) {
        if (pages->ButtonStopScan())
            pages->ButtonStopScan()->SetEnabled(true);
        if (pages->ButtonPauseScan())
            pages->ButtonPauseScan()->SetEnabled(true);
    }

    bool changed = Status.Position != position_ || Status.Caption != statusText_;
    if (Status.Phase != shownPhase_ || Status.Category != shownCategory_) {
        if (!PumpWhileWorking(kPhaseChangeWaitMs))
            return false;
        changed = true;
        budget_ = kPhaseBudgetMs;
        phaseStart_ = GetTickCount();
        if (Status.Category == kCategoryFix && engine_ && engine_->FixCategory) {
            int offered = 0, checked = 0;
            for (const auto& group : engine_->FixCategory->Groups) {
                if (!group->HasSettings)
                    continue;
                ++offered;
                if (group->Enabled)
                    ++checked;
            }
            // Without groups on the settings page the phase keeps its whole budget.
            if (offered > 0)
                budget_ = static_cast<int32_t>(RoundDiv(int64_t{kPhaseBudgetMs} * checked, offered));
        }
    }
    shownPhase_ = Status.Phase;
    shownCategory_ = Status.Category;
    statusText_ = Status.Phase == kPhaseBackup
                      ? TranslateText(L"BackingUp", L"Backing up:") + L" " + Status.Caption
                      : Status.Caption;
    position_ = Status.Position;
    maximum_ = Status.Maximum;
    if (maximum_ < position_)
        position_ = maximum_;

    if (position_ > 0) {
        const int64_t elapsed = static_cast<int64_t>(GetTickCount() - phaseStart_);
        const int64_t expected = RoundDiv(elapsed * maximum_, position_);
        int64_t delay = RoundDiv((budget_ - expected) * position_, maximum_);
        if (delay > 0) {
            delay = std::min<int64_t>(delay, kMaxPacingMs);
            if (!PumpWhileWorking(static_cast<DWORD>(delay)))
                return false;
        }
    }

    if (Status.Phase == kPhaseScan) {
        RegistryErrors = Status.FixErrors;
        Tweaks = Status.BoostItems - Status.AddonsFound;
        BytesToClean = Status.CleanBytes;
        AddOnItems = Status.AddonsFound;
        MemoryFigure = Status.MemoryFigure;
    }

    const DWORD now = GetTickCount();
    if (changed || now - lastRefresh_ > kRefreshIntervalMs) {
        RefreshFrameControls();
        lastRefresh_ = now;
        Application().ProcessMessages();
    }
    return true;
}

void TMainForm::WorkFinished(uint64_t Generation, bool RestorePointFailed)
{
    // A finish of a worker older than the last start is stale.
    if (Generation != generation_)
        return;
    if (worker_) {
        worker_ = nullptr;
        // It ends once this call returns: the close still waits for it.
        if (workerHandle_)
            abandoned_.push_back(workerHandle_);
        workerHandle_ = nullptr;
    }
    paused_ = false;
    stopRequested_ = false;
    if (closing_)
        return;
    // A restart that waited for this worker is posted at the end, once the
    // wizard has taken its next step and any question here was answered.
    const uint8_t step = step_;
    inWorkFinished_ = true;
    Guard([&] {
        if (step == kStepScanProgress) {
            SaveScanResult();
            if (!AppFlags().UserStoppedScan)
                SaveLastScanResult();
            SetStep(kStepScanResults);
            return;
        }
        if (step != kStepRepair && step != kStepSpeedUpProgress)
            return;
        bool backupFailed = false;
        for (uint8_t category : {kCategoryFix, kCategoryBoost}) {
            if (engine_ && engine_->BackupFailed(category)) {
                notRepaired_[category] = true;
                backupFailed = true;
            }
        }
        if (backupFailed)
            AppPrompt(HandleIfAllocated(),
                      TranslateText(L"MsgBackupFailed",
                                    L"The registry backup could not be written, so nothing was "
                                    L"changed."),
                      MB_OK | MB_ICONERROR);
        if (RestorePointFailed)
            AppPrompt(HandleIfAllocated(),
                      TranslateText(L"MsgRestorePointFailed",
                                    L"The system restore point could not be created. Your "
                                    L"registry changes are backed up in the Rescue Center."),
                      MB_OK | MB_ICONWARNING);
        SetStep(step == kStepRepair ? kStepRepairDone : kStepFinish);
    });
    inWorkFinished_ = false;
    FlashAndRaise();
    if (restartPending_)
        PostMessageW(HandleIfAllocated(), kRestartMessage, 0, 0);
}

void TMainForm::FlashAndRaise()
{
    HWND wnd = HandleIfAllocated();
    if (!wnd)
        return;
    if (!ApplicationActive()) {
        if (AppSeams().Flash) {
            AppSeams().Flash(wnd, 3);
        } else {
            FLASHWINFO flash{};
            flash.cbSize = sizeof(flash);
            flash.hwnd = wnd;
            flash.dwFlags = FLASHW_TRAY;
            flash.uCount = 3;
            FlashWindowEx(&flash);
        }
    }
    if (IsWindowVisible(wnd))
        ShowStayOnTopRound();
}

void TMainForm::ShowStayOnTopRound()
{
    SetFormStayOnTop(true);
    BringToFront();
    SetFormStayOnTop(false);
}

// The FAQ window stays in front of the main window that came forward.
void TMainForm::BringFaqForward()
{
    TFormFAQ* faq = FormFAQ();
    HWND faqWnd = faq ? faq->HandleIfAllocated() : nullptr;
    if (!faqWnd || !IsWindowVisible(faqWnd))
        return;
    if (AppSeams().StayOnTop) {
        AppSeams().StayOnTop(faqWnd, true);
        AppSeams().StayOnTop(faqWnd, false);
        return;
    }
    faq->SetStayOnTop(true);
    faq->SetStayOnTop(false);
}

void TMainForm::SetFormStayOnTop(bool On)
{
    if (AppSeams().StayOnTop) {
        AppSeams().StayOnTop(HandleIfAllocated(), On);
        return;
    }
    SetStayOnTop(On);
}

bool TMainForm::HasAdminRights()
{
    if (AppHasAdminRights())
        return true;
    Track("AM", true);
    AppPrompt(HandleIfAllocated(),
              TranslateText(L"MsgAdmin1", L"To access the registry repairs and system speed up "
                                          L"functions, you need to run the application as the "
                                          L"Administrator.") +
                  L"\r\n" +
                  TranslateText(L"MsgAdmin2", L"Therefore, please close the application and start "
                                              L"again with the required system rights."),
              MB_OK | MB_ICONERROR);
    return false;
}

void TMainForm::CloseBrowsers(bool Ie, bool Firefox)
{
    if (Ie) {
        for (HWND wnd : BrowserWindows({L"IEFrame"}, "iexplore.exe"))
            SetForegroundWindow(wnd);
        CloseIEWindows(L"");
    }
    if (Firefox) {
        for (HWND wnd : BrowserWindows({L"MozillaUIWindowClass", L"MozillaWindowClass"}, "firefox.exe")) {
            SetForegroundWindow(wnd);
            PostMessageW(wnd, WM_CLOSE, 0, 0);
        }
    }
    const DWORD start = GetTickCount();
    for (DWORD round = 1; GetTickCount() - start < kBrowserWaitMs; ++round) {
        Application().ProcessMessages();
        SleepMs(kBrowserRoundMs);
        if (round % kBrowserCheckEvery == 0 && !IsIEWindowOpen() && !FirefoxRuns())
            break;
    }
}

bool TMainForm::PrepareSpeedUp()
{
    HWND wnd = HandleIfAllocated();
    if (step_ == kStepSpeedUp && BytesToClean > 0 && CleanChecked) {
        const std::wstring text =
            TranslateText(L"AskSpeedUp1", L"%BRAND% will clean up any unnecessary files from your "
                                          L"computer.") +
            L" " + TranslateText(L"AskSpeedUp2", L"The files will not be recoverable.") + L" " +
            TranslateText(L"AskSpeedUp3", L"Are you sure you want to continue?");
        if (AppPrompt(wnd, text, MB_YESNO | MB_ICONWARNING) != IDYES) {
            Track("ON", false);
            return false;
        }
    }
    const TqvMain* engine = engine_.get();
    const bool ieOpen = IsIEWindowOpen();
    const bool ie = ieOpen && GroupSelected(engine, kCategoryClean, "temp-ie");
    const bool firefox = FirefoxRuns() && GroupSelected(engine, kCategoryClean, "temp-ff");
    const bool addons = GroupSelected(engine, kCategoryBoost, "addons");
    if (step_ != kStepSpeedUp || !(ie || firefox || addons))
        return true;

    if (wnd)
        EnableWindow(wnd, FALSE);
    bool result = true;
    Guard([&] {
        const std::wstring text =
            TranslateText(L"AskCloseBrowsers1", L"It is necessary to close all running Internet "
                                                L"browsers before you continue!") +
            L"\r\n\r\n" +
            TranslateText(L"AskCloseBrowsers2",
                          L"Click \u201CYes\u201D if you want to optimize and all running Internet "
                          L"browsers will close automatically.") +
            L"\r\n\r\n" +
            TranslateText(L"AskCloseBrowsers3", L"Click \u201CNo\u201D to cancel fixing issues");
        if (AppPrompt(wnd, text, MB_YESNO | MB_ICONWARNING) != IDYES) {
            Track("OB", false);
            result = false;
            return;
        }
        CloseBrowsers(IsIEWindowOpen(), FirefoxRuns());
        // Only after the user let the wizard close them.
        if (IsIEWindowOpen() || FirefoxRuns())
            AppPrompt(wnd,
                      TranslateText(L"MsgNoCloseBrowsers1", L"Your Internet browser was not closed "
                                                            L"but %BRAND% will continue the "
                                                            L"cleaning process.") +
                          L" " +
                          TranslateText(L"MsgNoCloseBrowsers2", L"It is possible that some of the "
                                                                L"issues you have selected will not "
                                                                L"be fixed."),
                      MB_OK | MB_ICONWARNING);
    });
    if (wnd)
        EnableWindow(wnd, TRUE);
    return result;
}

// ---------------------------------------------------------------------------
// Closing

bool TMainForm::CloseQuery()
{
    if (closeApproved_)
        return true;
    if (closing_)
        return false;
    if (!AskSaveChanges())
        return false;
    bool close = step_ == kStepFinish || savedStep_ == kStepFinish || closeWithoutAsking_;
    if (!close) {
        const std::wstring text =
            TranslateText(L"AskClose1", L"Do you really want to cancel %BRAND% Wizard?") +
            L"\r\n\r\n" +
            TranslateText(L"AskClose2", L"Your computer is not optimized and may contain errors!") +
            L" " + TranslateText(L"AskClose3", L"It is not recommended to cancel this wizard.") +
            L"\r\n\r\n" +
            TranslateText(L"AskClose4", L"If you really want to cancel it, click \u201CYes\u201D.") +
            L"\r\n" + TranslateText(L"AskClose5", L"To continue with the wizard click \u201CNo\u201D.");
        close = AppPrompt(HandleIfAllocated(), text, MB_YESNO | MB_ICONWARNING) == IDYES;
    }
    if (!close) {
        Track("XC", true);
        closeWithoutAsking_ = false;
        return false;
    }
    Track("X", false);
    BeginClosing(false);
    return closeApproved_;
}

void TMainForm::CloseWithoutAsking()
{
    closeWithoutAsking_ = true;
    Close();
}

void TMainForm::BeginClosing(bool Terminate)
{
    closing_ = true;
    terminatePending_ = terminatePending_ || Terminate;
    Hide();
    // A running worker ends at its next report; the window goes once it has.
    bool running = worker_ != nullptr;
    for (HANDLE h : abandoned_)
        running = running || WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    if (!running && !Busy()) {
        if (Terminate)
            Application().Terminate();
        else
            closeApproved_ = true;
        return;
    }
    finishPending_ = true;
    if (!Busy())
        PostMessageW(HandleIfAllocated(), kFinishClosingMessage, 0, 0);
}

void TMainForm::FinishClosing()
{
    if (!finishPending_)
        return;
    if (Busy())
        return; // posted again when the busy scope ends
    finishPending_ = false;
    WaitForWorkers(kCloseWaitMs);
    if (terminatePending_) {
        Application().Terminate();
        return;
    }
    closeApproved_ = true;
    Close();
}

void TMainForm::WaitForWorkers(DWORD TimeoutMs)
{
    const DWORD start = GetTickCount();
    TBusyScope busy(*this, busy_);
    while (GetTickCount() - start < TimeoutMs) {
        HANDLE pending = nullptr;
        if (workerHandle_ && WaitForSingleObject(workerHandle_, 0) == WAIT_TIMEOUT)
            pending = workerHandle_;
        for (HANDLE h : abandoned_)
            if (!pending && WaitForSingleObject(h, 0) == WAIT_TIMEOUT)
                pending = h;
        if (!pending)
            break;
        PumpedWait(pending, 50);
    }
    // Ended workers need no handle any more.
    abandoned_.erase(std::remove_if(abandoned_.begin(), abandoned_.end(),
                                    [](HANDLE h) {
                                        if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0)
                                            return false;
                                        CloseHandle(h);
                                        return true;
                                    }),
                     abandoned_.end());
}

void TMainForm::HandleCreated()
{
    TForm::HandleCreated();
    // The program's icon on the caption and the task bar.
    HINSTANCE module = GetModuleHandleW(nullptr);
    for (auto [kind, size] : {std::pair{ICON_BIG, SM_CXICON}, std::pair{ICON_SMALL, SM_CXSMICON}}) {
        const int side = GetSystemMetrics(size);
        if (HANDLE icon = LoadImageW(module, L"MAINICON", IMAGE_ICON, side, side, LR_SHARED))
            SendMessageW(handle_, WM_SETICON, kind, reinterpret_cast<LPARAM>(icon));
    }
    if (!glassMode_)
        ApplyRegion(); // a new window has no region
}

void TMainForm::WndProc(TMessage& msg)
{
    switch (msg.Msg) {
    case kFinishClosingMessage:
        FinishClosing();
        msg.Result = 0;
        return;
    case WM_KorvellePhoneChanged:
        RenderSupportPanel();
        msg.Result = 0;
        return;
    case WM_DWMCOMPOSITIONCHANGED:
        TForm::WndProc(msg);
        // The frame cannot change under a running window: a new instance
        // takes over once this one has ended. A check run shows no window.
        // A scan or repair is never cut off for it: the restart waits until
        // the worker has finished.
        if (glass_ && !AppFlags().CheckRun && !closing_) {
            if (WorkRunning())
                restartPending_ = true;
            else
                RestartForNewFrame();
        }
        return;
    case kRestartMessage:
        if (restartPending_ && !WorkRunning())
            RestartForNewFrame();
        msg.Result = 0;
        return;
    case WM_NCHITTEST: {
        TForm::WndProc(msg);
        RECT window{};
        if (handle_ && GetWindowRect(handle_, &window) &&
            static_cast<short>(LOWORD(msg.LParam)) < window.left + 50)
            msg.Result = HTCLIENT;
        return;
    }
    case WM_NCCALCSIZE:
        if (glassMode_ && msg.WParam) {
            // The client area reaches the window's top edge under the glass.
            auto* params = reinterpret_cast<NCCALCSIZE_PARAMS*>(msg.LParam);
            const LONG top = params->rgrc[0].top;
            TForm::WndProc(msg);
            params->rgrc[0].top = top;
            return;
        }
        break;
    default:
        break;
    }
    TForm::WndProc(msg);
}

void TMainForm::RestartForNewFrame()
{
    restartPending_ = false;
    if (closing_)
        return;
    StartMainProgram("/WAIT");
    BeginClosing(true);
}

void TMainForm::DragFrom(int Y)
{
    HWND wnd = HandleIfAllocated();
    const int logoHeight = imageLogo_ ? imageLogo_->Height() : 46;
    if (!wnd || Y >= logoHeight)
        return;
    ReleaseCapture();
    SendMessageW(wnd, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

int TMainForm::FrameBorder()
{
    return GetSystemMetrics(SM_CXFIXEDFRAME) + 1;
}

void TMainForm::ApplyFrame()
{
    glass_ = std::make_unique<TAeroGlass>(*this);
    if (TAeroGlass::IsCompositionEnabled()) {
        SetGlassMode(true);
        const int border = FrameBorder();
        const int header = panelHeader_ ? panelHeader_->Height() : kHeaderHeight;
        glass_->SetGlassTop(header - 5);
        glass_->SetGlassLeft(border);
        glass_->SetGlassRight(border);
        glass_->SetGlassBottom(border);
        glass_->Activate();
    } else {
        SetGlassMode(false);
    }
    RenderSupportPanel();
}

void TMainForm::SetGlassMode(bool On)
{
    if (modeSet_ && glassMode_ == On)
        return;
    const int oldContentTop = PageTop();
    modeSet_ = true;
    glassMode_ = On;
    const int border = FrameBorder();
    const int header = panelHeader_ ? panelHeader_->Height() : kHeaderHeight;

    // Under the glass the header bar is the frame itself: its own pictures
    // go, and what the user works with (logo, support box, tabs, help) sits
    // on the form above the client panel. The client panel then starts
    // below the header, so its content moves up by the header's height.
    if (panelClient_) {
        const int shift = PageTop() - oldContentTop;
        if (shift != 0)
            for (TControl* child : panelClient_->Controls())
                if (child != panelHeader_)
                    child->SetTop(child->Top() + shift);
    }
    struct TTitleControl {
        TControl* control;
        int glassTop;
        int classicTop;
    };
    const TTitleControl titles[] = {
        {imageLogo_, -3, 0},   {paintSupportCall_, -3, 0}, {scanTab_, 37, 42},
        {supportTab_, 37, 42}, {buttonHelp_, 38, 43},
    };

    if (On) {
        SetBorderStyle(TBorderStyle::Single);
        if (HWND wnd = HandleIfAllocated())
            SetWindowLongW(wnd, GWL_STYLE,
                           GetWindowLongW(wnd, GWL_STYLE) | WS_SYSMENU | WS_MINIMIZEBOX);
        for (TControl* custom : std::initializer_list<TControl*>{panelSys_, imageTop_})
            if (custom)
                custom->Hide();
        for (TSkinImage* image :
             {static_cast<TSkinImage*>(imageLogo_), static_cast<TSkinImage*>(scanTab_),
              static_cast<TSkinImage*>(supportTab_)})
            if (image)
                image->SetTransparent(false);
        SetClientSize(2 * border + 770, border + 545);
        for (const TTitleControl& title : titles) {
            if (!title.control)
                continue;
            // Header-relative lefts keep their place over the client panel.
            const int left = title.control == imageLogo_ ? border : title.control->Left() + border;
            title.control->SetParent(this);
            title.control->SetBounds(left, title.glassTop, title.control->Width(),
                                     title.control->Height());
        }
        if (panelHeader_)
            panelHeader_->Hide();
        if (imageLogo_)
            imageLogo_->SetImageName(L"LOGO_AERO");
        if (panelClient_)
            panelClient_->SetBounds(border, header - 5, 770, 550 - header);
        if (HWND wnd = HandleIfAllocated()) {
            SetWindowRgn(wnd, nullptr, TRUE);
            RedrawWindow(wnd, nullptr, nullptr,
                         RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
        }
    } else {
        // Classic: no border, the client panel inset 3 px at the sides and
        // bottom, the system buttons at the header's right edge, the top
        // corners rounded.
        SetBorderStyle(TBorderStyle::None);
        SetColor(kFrameColor);
        SetClientSize(770, 550);
        SetClientSize(ClientWidth() + 6, ClientHeight() + 3);
        if (panelHeader_) {
            panelHeader_->Show();
            for (const TTitleControl& title : titles) {
                if (!title.control || title.control->Parent() == panelHeader_)
                    continue;
                const int left = title.control == imageLogo_ ? 0 : title.control->Left() - border;
                title.control->SetParent(panelHeader_);
                title.control->SetBounds(left, title.classicTop, title.control->Width(),
                                         title.control->Height());
            }
        }
        for (TControl* custom : std::initializer_list<TControl*>{panelSys_, imageTop_})
            if (custom)
                custom->Show();
        for (auto [image, transparent] :
             {std::pair{static_cast<TSkinImage*>(imageLogo_), logoTransparent_},
              std::pair{static_cast<TSkinImage*>(scanTab_), tabsTransparent_},
              std::pair{static_cast<TSkinImage*>(supportTab_), tabsTransparent_}})
            if (image)
                image->SetTransparent(transparent);
        if (panelClient_)
            panelClient_->SetBounds(3, 0, 770, 550);
        if (panelSys_ && panelHeader_)
            panelSys_->SetLeft(panelHeader_->Width() - panelSys_->Width());
        if (imageLogo_)
            imageLogo_->SetImageName(L"LOGO_XP");
        ApplyRegion();
    }

    if (imageLogo_) {
        TImageData* store = TImageData::Instance();
        if (TSkinBitmapImage* logo =
                store ? store->ImageList()->FindImage(imageLogo_->ImageName()) : nullptr)
            imageLogo_->SetWidth(logo->Width());
    }
    if (paintSupportCall_)
        paintSupportCall_->SetLeft(SupportPanelLeft());
    // A panel already drawn takes the pictures of the new mode.
    if (supportBitmap_)
        RenderSupportPanel();
}

int TMainForm::SupportPanelLeft() const
{
    // The logo's right edge, 10 px further left for the longer texts of the
    // other languages.
    int left = imageLogo_ ? imageLogo_->Left() + imageLogo_->Width() : 210;
    if (_wcsicmp(Settings()->LANGUAGE.c_str(), L"en") != 0)
        left -= 10;
    return left;
}

void TMainForm::ApplyRegion()
{
    HWND wnd = HandleIfAllocated();
    if (!wnd || glassMode_)
        return;
    const int w = ClientWidth(), h = ClientHeight();
    HRGN region = CreateRoundRectRgn(0, 0, w + 1, h + 1, 16, 16);
    HRGN lower = CreateRectRgn(0, 16, w, h);
    if (region && lower)
        CombineRgn(region, region, lower, RGN_OR);
    if (lower)
        DeleteObject(lower);
    // The window owns the region from here on.
    if (region && !SetWindowRgn(wnd, region, TRUE))
        DeleteObject(region);
}

void TMainForm::RenderSupportPanel()
{
    supportBitmap_.reset();
    if (!paintSupportCall_)
        return;
    const std::shared_ptr<const TSettings> settings = Settings();
    const bool english = _wcsicmp(settings->LANGUAGE.c_str(), L"en") == 0;
    std::string number = Trim(settings->PHONE_NUMBER);
    if (number.empty())
        number = Trim(english ? settings->PHONE_US : settings->PHONE_NONUS);
    if (number.empty()) {
        paintSupportCall_->Hide();
        return;
    }
    const std::wstring label = TranslateText(L"CustomerSupport", L"Customer Support:");
    const std::wstring phone = AnsiToWide(number);
    TImageData* store = TImageData::Instance();
    TSkinBitmapList* images = store ? store->ImageList() : nullptr;
    TSkinBitmapImage* background = images ? images->FindImage(glassMode_ ? L"SHADOW" : L"BG_TOP") : nullptr;
    TSkinBitmapImage* icon = images ? images->FindImage(glassMode_ ? L"PHONE_AERO" : L"PHONE_XP") : nullptr;

    // Measured apart: a bitmap's canvas goes with its old size.
    TBitmap measure(1, 1, TPixelFormat::pf24bit);
    TCanvas& measuring = measure.Canvas();
    measuring.Font().SetName(kFont);
    measuring.Font().SetHeight(kFontHeight);
    const int labelWidth = measuring.TextWidth(label);
    measuring.Font().SetStyle(fsBold);
    const int phoneWidth = measuring.TextWidth(phone);
    const int width = std::max(labelWidth, phoneWidth) + 2 * 30 + 10;
    const int height = icon && icon->Height() > 0 ? icon->Height() : 76;
    auto bitmap = std::make_unique<TBitmap>(width, height, TPixelFormat::pf24bit);
    TCanvas& canvas = bitmap->Canvas();
    canvas.Font().SetName(kFont);
    canvas.Font().SetHeight(kFontHeight);

    const int left = SupportPanelLeft();
    // Under the glass the box's ground is the glass's colour key, so that
    // the glass shows through round the shadow.
    canvas.Brush().SetColor(glassMode_ ? (glass_ ? glass_->ColorKey() : kGlassColorKey)
                                       : kHeaderBlue);
    canvas.FillRect(RECT{0, 0, width, height});
    if (background) {
        if (glassMode_)
            background->Draw(canvas, RECT{0, 0, width, height}, true);
        else {
            // The header's own picture under the box, as ImageTop stretches
            // it; drawn whole and copied, as a skin picture is drawn only
            // inside its target bitmap.
            TBitmap header(770, kHeaderHeight, TPixelFormat::pf24bit);
            header.Canvas().Brush().SetColor(kHeaderBlue);
            header.Canvas().FillRect(RECT{0, 0, 770, kHeaderHeight});
            background->Draw(header.Canvas(), RECT{0, 0, 770, kHeaderHeight}, true);
            BitBlt(canvas.Handle(), 0, 0, std::min(width, 770 - std::max(left, 0)), height,
                   header.Canvas().Handle(), std::clamp(left, 0, 769), 0, SRCCOPY);
        }
    }
    if (icon)
        icon->Draw(canvas, 0, (height - icon->Height()) / 2, true);
    // The texts lie on the pictures, with no ground of their own.
    canvas.Brush().SetStyle(TBrushStyle::Clear);
    canvas.Font().SetColor(clWhite);
    // The two lines sit in the part of the box above the tabs, which lie
    // over its lower edge.
    int visible = height;
    if (scanTab_ && scanTab_->Parent() == paintSupportCall_->Parent())
        visible = std::clamp(scanTab_->Top() - paintSupportCall_->Top(), 1, height);
    const int textHeight = canvas.TextHeight(label);
    const int textTop = std::max((visible - 2 * textHeight - 2) / 2, 0);
    canvas.TextOut(60, textTop, label);
    canvas.Font().SetStyle(fsBold);
    canvas.TextOut(60, textTop + textHeight + 2, phone);
    supportBitmap_ = std::move(bitmap);

    paintSupportCall_->SetBounds(left, paintSupportCall_->Top(), width, height);
    paintSupportCall_->Show();
    paintSupportCall_->Invalidate();
}


// ---------------------------------------------------------------------------
// Frame and timer

void TMainForm::LoadBanners()
{
    TNewsList news;
    news.Load();
    LoadBanner(bannerLeft_, news.SelectFirst(kNewsLeftBanners), L"BANNER_LEFT");
    LoadBanner(bannerBottom_, news.SelectFirst(kNewsBottomBanners), L"BANNER_BOTTOM");
}

void TMainForm::LoadBanner(TPNGControl* Banner, TNewsItem* Item, const wchar_t* BuiltIn)
{
    if (!Banner)
        return;
    if (Item && Banner->LoadFromFile(AnsiToWide(Item->ImageFileName()))) {
        // A check run never shows its window: nothing was seen.
        if (!AppFlags().CheckRun)
            Item->MarkShown();
        return;
    }
    if (Item)
        Log("MainForm: the banner " + Item->Key + " did not load (" + Banner->Image().LastError() +
                "); the built-in one is shown",
            1, 4);
    if (!Banner->LoadFromResourceName(GetModuleHandleW(nullptr), BuiltIn))
        Log("MainForm: the built-in banner " + WideToUtf8(BuiltIn) + " did not load", 1, 4);
}

void TMainForm::RefreshFrameControls()
{
    const bool working =
        step_ == kStepScanProgress || step_ == kStepRepair || step_ == kStepSpeedUpProgress;
    if (supportTab_)
        supportTab_->SetEnabled(!working);
    if (panelAdvert_)
        panelAdvert_->Show();
    if (panelBarAdvert_)
        panelBarAdvert_->Show();
    ShowStepHeader();
    if (TFormSteps* pages = FormSteps())
        pages->UpdateProgress();
}

void TMainForm::TimerTick()
{
    HWND wnd = HandleIfAllocated();
    if (!firstShown_ && wnd && IsWindowVisible(wnd))
        firstShown_ = true;
    if (showEvent_ && showEvent_->WaitFor(0)) {
        showEvent_->ResetEvent();
        if (AppFlags().CheckRun) {
            // The hidden check run never shows its window: the user's start
            // gets a wizard of its own once this run is done.
            if (!waitStartDone_) {
                waitStartDone_ = true;
                StartMainProgram("/WAIT");
            }
        } else if (!closing_) {
            Application().Restore();
            BringToFront();
            if (wnd && IsWindowEnabled(wnd)) {
                SetFormStayOnTop(true);
                SetFormStayOnTop(false);
                BringFaqForward();
            }
            if (wnd)
                SetForegroundWindow(wnd);
        }
    }
    if (stopEvent_ && !stoppingByEvent_ && stopEvent_->WaitFor(0)) {
        stopEvent_->ResetEvent();
        stoppingByEvent_ = true;
        BeginClosing(true);
    }
}

bool TMainForm::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"Step") {
        value = std::to_wstring(step_);
        return true;
    }
    return TForm::InspectProperty(name, value);
}
