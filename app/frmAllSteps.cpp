#include "app/frmAllSteps.h"

#include "app/frmAllImages.h"
#include "app/frmAllMain.h"
#include "app/qvAppBody.h"
#include "controls/KvLayout.h"
#include "engine/qvSystemScanners.h"
#include "platform/GuardU.h"
#include "platform/LogU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvTrack.h"

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
constexpr int kPageTag = 1;

const TFontSpec kNavFont{.name = L"Tahoma", .height = -14, .style = fsBold, .styleSet = true,
                         .color = clWhite};

TControlSpec PageRow(const wchar_t* Name)
{
    return {.kind = KvNew<TPanel>, .name = Name, .left = 0, .top = 0, .width = kPageWidth,
            .height = kPageHeight, .color = clWhite, .tag = kPageTag, .visible = TFlag::Off};
}

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

    // The progress page's own buttons: stop and pause the scan.
    {.kind = KvNew<TSkinButton>, .name = L"ButtonStopScan", .parentName = L"PanelProgress",
     .left = 376, .top = kNavTop, .width = kNavWidth, .height = kNavHeight, .caption = L"Stop Scan",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .imageDisabled = L"BUTTON1_INACTIVE", .font = kNavFont, .cursor = crHandPoint},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonPauseScan", .parentName = L"PanelProgress",
     .left = 486, .top = kNavTop, .width = 132, .height = kNavHeight, .caption = L"Pause Scan",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .imageDisabled = L"BUTTON1_INACTIVE", .font = kNavFont, .cursor = crHandPoint},

    // The results page's repair and review buttons.
    {.kind = KvNew<TSkinButton>, .name = L"ButtonResultsReview", .parentName = L"PanelResults",
     .left = 190, .top = kNavTop, .width = 140, .height = kNavHeight, .caption = L"Review Errors",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .imageDisabled = L"BUTTON1_INACTIVE", .font = kNavFont, .cursor = crHandPoint},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonFix", .parentName = L"PanelResults", .left = 440,
     .top = kNavTop, .width = 178, .height = kNavHeight, .caption = L"Fix All Errors",
     .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT", .imageDown = L"BUTTON1_DOWN",
     .imageDisabled = L"BUTTON1_INACTIVE", .font = kNavFont, .cursor = crHandPoint},
};

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
// Step 4 decides its own row (ShowResultsNavigation).
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

} // namespace

TFormSteps* FormSteps()
{
    return gFormSteps;
}

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
    for (size_t step = 0; step < pages_.size(); ++step)
        if (kPageOfStep[step])
            pages_[step] = Find<TPanel>(kPageOfStep[step]);
    for (size_t i = 0; i < timers_.size(); ++i) {
        timers_[i] = new TTimer(this);
        timers_[i]->SetName(L"TimerAnim" + std::to_wstring(i + 1));
        timers_[i]->SetInterval(40);
    }

    if (buttonBack_)
        buttonBack_->OnClick = [this](TComponent&) {
            TrackEvent("B", false);
            if (TMainForm* main = MainForm())
                main->PreviousStep();
        };
    if (buttonNext_)
        buttonNext_->OnClick = [this](TComponent&) {
            TMainForm* main = MainForm();
            if (!main)
                return;
            const bool results = main->CurrentStep() == kStepScanResults;
            TrackEvent(results ? "O" : "N", false);
            if (results)
                main->SetStep(kStepSpeedUp);
            else
                main->NextStep();
        };
    if (buttonFix_)
        buttonFix_->OnClick = [this](TComponent&) {
            TrackEvent("E", false);
            if (TMainForm* main = MainForm())
                main->NextStep();
        };
    if (buttonResultsReview_)
        buttonResultsReview_->OnClick = [this](TComponent&) {
            TrackEvent("R", false);
            if (TMainForm* main = MainForm())
                main->SetStep(kStepScanReview);
        };
    if (buttonCancel_)
        buttonCancel_->OnClick = [this](TComponent&) {
            TrackEvent("C", false);
            if (TMainForm* main = MainForm())
                main->Close();
        };
    if (buttonClose_)
        buttonClose_->OnClick = [this](TComponent&) {
            TrackEvent("C", false);
            if (TMainForm* main = MainForm())
                main->CloseWithoutAsking();
        };
    if (buttonPauseScan_)
        buttonPauseScan_->OnClick = [this](TComponent&) {
            TrackEvent("P", true);
            TMainForm* main = MainForm();
            if (!main || !main->WorkRunning())
                return;
            if (main->IsWorkPaused()) {
                timers_[0]->SetEnabled(true);
                main->ResumeWork();
            } else {
                timers_[0]->SetEnabled(false);
                main->PauseWork();
            }
        };
    if (buttonStopScan_)
        buttonStopScan_->OnClick = [this](TComponent&) {
            if (TMainForm* main = MainForm())
                main->RequestStop();
            buttonStopScan_->SetEnabled(false);
        };

    BufferAll(*this);
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
}

TFormSteps::~TFormSteps()
{
    if (gFormSteps == this)
        gFormSteps = nullptr;
}

TPanel* TFormSteps::Page(uint8_t Step) const
{
    return Step < pages_.size() ? pages_[Step] : nullptr;
}

TTimer* TFormSteps::TimerAnim(int Index) const
{
    return Index >= 1 && Index <= 3 ? timers_[static_cast<size_t>(Index - 1)] : nullptr;
}

void TFormSteps::TrackEvent(const char* Event, bool Once)
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

void TFormSteps::ShowResults()
{
    const TMainForm* main = MainForm();
    const int32_t selected =
        main && main->Engine() ? SectionSelectedCount(main->Engine()->Category(kCategoryFix)) : 0;
    const int32_t errors = main ? main->RegistryErrors : 0;
    const bool offered = main && main->SpeedUpOffered();
    if (selected < 1)
        SetNavigation(offered ? kShown : kHidden, offered ? kShown : kHidden,
                      offered ? kShown : kHidden, offered ? kHidden : kShown);
    else
        SetNavigation(kHidden, kHidden, kShown, kHidden);
    if (buttonFix_) {
        buttonFix_->SetVisible(selected > 0);
        buttonFix_->SetCaption(selected != errors
                                   ? TranslateText(L"FixErrorsButton", L"Fix Errors")
                                   : TranslateText(L"FixAllButton", L"Fix All Errors"));
        FitButtonWidth(*buttonFix_, 1, 35, 0, -1, 178);
    }
    if (buttonResultsReview_)
        buttonResultsReview_->SetEnabled(errors > 0);
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
    case kStepScanProgress:
        if (buttonPauseScan_)
            buttonPauseScan_->SetEnabled(false);
        timers_[0]->SetEnabled(true);
        break;
    case kStepScanResults:
        ShowResults();
        break;
    case kStepRepair:
        timers_[1]->SetEnabled(true);
        break;
    case kStepSpeedUpProgress:
        timers_[2]->SetEnabled(true);
        break;
    default:
        break;
    }
    if (pages_[Step])
        ShowPanel(pages_[Step]);
}

void TFormSteps::UpdateProgress()
{
    // The progress pages hold no counters, bars or status texts yet: there
    // is nothing to refresh.
}
