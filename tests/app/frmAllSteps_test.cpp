// The wizard pages: ShowStep for every page, the scan settings boxes, the
// results, repair, speed-up and finish pages, the progress display, the
// welcome list and the page handlers, on a hidden-state main window with a
// scripted worker and answered questions.

#include "StepsTestSupport.h"

#include "KorvTest.h"
#include "app/qvAppBody.h"
#include "app/qvFormTranslate.h"
#include "engine/qvScanTools.h"
#include "engine/qvSystemScanners.h"
#include "platform/FileVersionU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

using namespace stepstest;

namespace {

std::string Narrow(const std::wstring& Text)
{
    return WideToUtf8(Text);
}

// A text width as the program measures it (single line, the control's font).
int TextWidthOf(const TFont& Font, const std::wstring& Text)
{
    HDC dc = GetDC(nullptr);
    SIZE size{};
    {
        TDcSelection select(dc, Font.Handle());
        RECT r{0, 0, 2000, 2000};
        DrawTextW(dc, Text.c_str(), static_cast<int>(Text.size()), &r,
                  DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        size.cx = r.right - r.left;
    }
    ReleaseDC(nullptr, dc);
    return size.cx;
}

class WizardPages : public ::testing::Test {
protected:
    static void TearDownTestSuite() { ReleaseWizard(); }
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        Wizard();
        ResetPrompts();
        UseIdleWorkers();
        SetCounters({});
        Wizard().main->FixedErrors = 0;
        Wizard().main->TweaksDone = 0;
        Wizard().main->CleanedBytes = 0;
    }
    void TearDown() override
    {
        StopIdleWorker();
        UseBuiltInTranslation();
        SetLanguage(L"en");
        TranslateForm(*Wizard().main);
        TranslateForm(*Wizard().steps);
        Wizard().steps->FitStepButtons();
        Wizard().main->TranslateStepCaptions();
    }

    TMainForm& Main() { return *Wizard().main; }
    TFormSteps& Steps() { return *Wizard().steps; }

    // A root with Errors registry findings of which Selected stay selected.
    TqvMain& RootWithErrors(int Errors, int Selected)
    {
        TqvMain& engine = FreshEngine();
        ClearFindings(engine);
        TqvGroup* group = GroupById(kCategoryFix, "reg-clsid");
        for (int i = 0; group && i < Errors; ++i)
            AddRegFinding(*group, "Software\\Classes\\CLSID\\{TEST-" + std::to_string(i) + "}", "")
                .Selected = i < Selected;
        Main().RegistryErrors = Errors;
        return engine;
    }
};

// ---------------------------------------------------------------------------
// ShowStep

struct TNavCase {
    uint8_t step;
    // 0 hidden, 1 visible and enabled, 2 visible and disabled
    int back, next, cancel, close;
    int timer; // the animation timer that runs (0: none)
};

int NavState(TControl* Control)
{
    if (!Control->Visible())
        return 0;
    return Control->Enabled() ? 1 : 2;
}

// Visits every page in order; Fill runs on the scan settings step, whose
// showing made the engine root afresh.
void ShowAllPages(const std::wstring& Language, const std::function<void()>& Fill)
{
    static const TNavCase kCases[] = {
        {0, 0, 1, 1, 0, 0},   {1, 1, 1, 1, 0, 0},   {2, 0, 0, 1, 0, 1},   {4, 0, 0, 1, 0, 0},
        {5, 0, 0, 0, 0, 0},   {8, 0, 0, 2, 0, 2},   {9, 0, 0, 0, 0, 0},   {10, 0, 0, 1, 0, 0},
        {11, 0, 0, 2, 0, 3},  {13, 0, 0, 0, 0, 0},  {14, 0, 0, 0, 0, 0},  {15, 0, 0, 0, 1, 0},
        {17, 0, 0, 0, 0, 0},  {19, 0, 0, 0, 0, 0},  {20, 0, 0, 0, 0, 0},  {21, 0, 0, 0, 0, 0},
    };
    TFormSteps& steps = *Wizard().steps;
    for (const TNavCase& c : kCases) {
        SCOPED_TRACE("step " + std::to_string(c.step));
        if (c.step == kStepSpeedUpProgress)
            AnswerNext(IDYES); // the clean-up question
        GoToStep(c.step);
        ASSERT_EQ(Wizard().main->CurrentStep(), c.step);
        if (c.step == kStepScanSettings)
            Fill();
        EXPECT_EQ(NavState(steps.ButtonBack()), c.back);
        EXPECT_EQ(NavState(steps.ButtonNext()), c.next);
        EXPECT_EQ(NavState(steps.ButtonCancel()), c.cancel);
        EXPECT_EQ(NavState(steps.ButtonClose()), c.close);
        const std::vector<TControl*> pages = VisiblePages();
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_EQ(pages[0], steps.Page(c.step));
        for (int t = 1; t <= 3; ++t)
            EXPECT_EQ(steps.TimerAnim(t)->Enabled(), t == c.timer) << "timer " << t;
        if (c.step == kStepScanReview || c.step == kStepReviewTweaks || c.step == kStepReviewFiles)
            for (TTreeNode* heading : steps.TreeViewReview()->Roots())
                for (int i = 0; i < heading->Count(); ++i)
                    heading->Item(i)->Expand();
        Shot(L"page_" + std::to_wstring(c.step) + L"_" + Language);
    }
}

TEST_F(WizardPages, EveryPageShowsItsNavigationItsPageAndOnlyItsTimer)
{
    for (const std::wstring language : {L"en", L"de"}) {
        SCOPED_TRACE(Narrow(language));
        SetLanguage(language);
        TranslateForm(Main());
        TranslateForm(Steps());
        Steps().FitStepButtons();
        Main().TranslateStepCaptions();
        GoToStep(kStepWelcome);
        // Something on every page: three registry errors, tweaks, files and
        // the memory item.
        ShowAllPages(language, [this] {
            TqvMain& engine = *Main().Engine();
            ClearFindings(engine);
            for (int i = 0; i < 3; ++i)
                if (TqvGroup* group = GroupById(kCategoryFix, i == 2 ? "reg-typelib" : "reg-clsid"))
                    AddRegFinding(*group, "Software\\Classes\\CLSID\\{TEST-" + std::to_string(i) + "}", "");
            if (TqvGroup* boost = GroupById(kCategoryBoost, "win-boost")) {
                AddRegFinding(*boost, "Software\\Korvelle.Test\\Tweak", "MenuShowDelay");
                AddRegFinding(*boost, "Software\\Korvelle.Test\\Tweak", "WaitToKillAppTimeout");
            }
            if (TqvGroup* files = GroupById(kCategoryClean, "temp-files")) {
                auto file = std::make_unique<TqvFileItem>(files->Scanner.get());
                file->Found = file->Selected = true;
                file->Size = 1536 * 1024;
                file->Caption = L"C:\\Users\\Public\\Temp\\setup.log";
                files->Scanner->Items.push_back(std::move(file));
            }
            SetCounters({.errors = 3, .tweaks = 2, .bytes = 1536 * 1024, .memory = 42});
            Main().FixedErrors = 3;
            Main().TweaksDone = 2;
            Main().CleanedBytes = 1536 * 1024;
        });
    }
}

TEST_F(WizardPages, AnimationFramesCountFromZeroWhileTheirPageIsShown)
{
    GoToStep(kStepWelcome);
    // Read before any message is handled: under load a tick comes soon.
    Wizard().main->SetStep(kStepScanProgress);
    ASSERT_TRUE(Steps().TimerAnim(1)->Enabled());
    EXPECT_EQ(Steps().AnimFrame(1), 0);
    Pump(300);
    Shot(L"anim_scan_running");
    const int32_t after = Steps().AnimFrame(1);
    EXPECT_GE(after, 2);
    GoToStep(kStepScanResults);
    EXPECT_FALSE(Steps().TimerAnim(1)->Enabled());
    Pump(120);
    EXPECT_EQ(Steps().AnimFrame(1), after) << "no frames while another page is shown";
    StopIdleWorker();
}

// ---------------------------------------------------------------------------
// Step 1

std::vector<TCheckBox*> GroupBoxes()
{
    std::vector<TCheckBox*> boxes;
    for (TControl* control : Get<TPanel>(L"PanelSettings")->Controls())
        if (auto* box = dynamic_cast<TCheckBox*>(control); box && box->Tag() > 0)
            boxes.push_back(box);
    return boxes;
}

int TaggedControls()
{
    int n = 0;
    for (TControl* control : Get<TPanel>(L"PanelSettings")->Controls())
        n += control->Tag() > 0;
    return n;
}

TEST_F(WizardPages, SettingsBorderGrowsWithTheRowsOfGroupBoxes)
{
    TqvMain& engine = FreshEngine();
    auto& groups = engine.FixCategory->Groups;
    std::vector<TqvGroup*> listed;
    for (const auto& group : groups)
        if (group->HasSettings)
            listed.push_back(group.get());
    ASSERT_EQ(listed.size(), 9u) << "the catalogue lists nine registry groups on the page";

    auto* border = Get<TSkinImage>(L"ImageSettingsBorder");
    for (auto [count, height] : {std::pair{9, 169}, std::pair{5, 115}, std::pair{0, 34}}) {
        SCOPED_TRACE(count);
        for (size_t i = 0; i < listed.size(); ++i)
            listed[i]->HasSettings = static_cast<int>(i) < count;
        Steps().ShowStep(kStepScanSettings);
        Steps().ShowStep(kStepScanSettings);
        EXPECT_EQ(border->Height(), height);
        // Shown twice: only the boxes and labels of the last showing remain.
        EXPECT_EQ(static_cast<int>(GroupBoxes().size()), count);
        EXPECT_EQ(TaggedControls(), 2 * count);
        auto* text = Get<TControl>(L"LabelSettingsText");
        auto* undo = Get<TControl>(L"ButtonUndoChanges");
        EXPECT_GE(text->Top(), border->Top() + border->Height()) << "the text lies below the boxes";
        EXPECT_EQ(undo->Top() + 5, text->Top());
        EXPECT_EQ(text->Left() + text->Width() + 14, undo->Left());
        Shot(L"settings_groups_" + std::to_wstring(count));
    }
    for (TqvGroup* group : listed)
        group->HasSettings = true;
    Steps().ShowStep(kStepScanSettings);
    // The design-time controls survive every showing.
    for (const wchar_t* name : {L"CheckSettingsCLSID", L"LabelSettingsCLSID", L"ImageSettingsBorder",
                                L"ButtonUndoChanges", L"LabelSettingsText", L"LabelSettingsNext"}) {
        auto* control = Get<TControl>(name);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->Tag(), 0);
        EXPECT_EQ(control->Parent(), Get<TPanel>(L"PanelSettings"));
    }
    // Two columns 193 apart, rows 27 apart.
    const auto boxes = GroupBoxes();
    ASSERT_EQ(boxes.size(), 9u);
    auto* model = Get<TControl>(L"CheckSettingsCLSID");
    for (size_t n = 0; n < boxes.size(); ++n) {
        EXPECT_EQ(boxes[n]->Left(), model->Left() + static_cast<int>(n % 2) * 193);
        EXPECT_EQ(boxes[n]->Top(), model->Top() + static_cast<int>(n / 2) * 27);
        EXPECT_TRUE(boxes[n]->Checked());
    }
}

TEST_F(WizardPages, UncheckingAGroupBoxCountsOnceAndTheScanSkipsTheGroup)
{
    TqvMain& engine = FreshEngine();
    TqvGroup& third = *engine.FixCategory->Groups[2];
    ASSERT_TRUE(third.HasSettings);
    TCheckBox* box = nullptr;
    TLabel* label = nullptr;
    for (TControl* control : Get<TPanel>(L"PanelSettings")->Controls()) {
        if (control->Tag() != 3)
            continue;
        if (auto* b = dynamic_cast<TCheckBox*>(control))
            box = b;
        if (auto* l = dynamic_cast<TLabel*>(control))
            label = l;
    }
    ASSERT_NE(box, nullptr);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->Caption(), third.GetSettingsCaption());
    EXPECT_EQ(label->FocusControl(), box);

    const int before = TrackCount("S.C3");
    SendMessageW(box->Handle(), BM_CLICK, 0, 0);
    Pump();
    EXPECT_FALSE(box->Checked());
    EXPECT_FALSE(third.Enabled);
    label->Click();
    EXPECT_TRUE(box->Checked()) << "the label toggles its box";
    EXPECT_TRUE(third.Enabled);
    label->Click();
    EXPECT_FALSE(third.Enabled);
    EXPECT_EQ(TrackCount("S.C3"), before + 1) << "once per run";
    // A disabled box is not toggled by its label.
    box->SetEnabled(false);
    label->Click();
    EXPECT_FALSE(box->Checked());
    box->SetEnabled(true);

    Steps().ButtonNext()->Click();
    ASSERT_EQ(Main().CurrentStep(), kStepScanProgress);
    ASSERT_TRUE(Work().started);
    ASSERT_TRUE(Work().request.Main);
    EXPECT_FALSE(Work().request.Main->FixCategory->Groups[2]->Enabled) << "the scan skips the group";
    EXPECT_TRUE(Work().request.Main->FixCategory->Groups[1]->Enabled);
}

// ---------------------------------------------------------------------------
// Step 4

struct TResultsCase {
    const char* name;
    int selected, errors;
    bool offered;
};

TEST_F(WizardPages, ResultsPageFollowsTheSelectedErrorsAndTheSpeedUpOffer)
{
    static const TResultsCase kCases[] = {
        {"nothing found, nothing offered", 0, 0, false},
        {"nothing found, speed-up offered", 0, 0, true},
        {"some selected", 2, 3, false},
        {"all selected", 3, 3, true},
        {"one error", 1, 1, false},
    };
    for (const TResultsCase& c : kCases) {
        SCOPED_TRACE(c.name);
        RootWithErrors(c.errors, c.selected);
        SetCounters({.errors = c.errors, .tweaks = c.offered ? 1 : 0, .memory = -1});
        GoToStep(kStepScanResults);
        ASSERT_EQ(Main().CurrentStep(), kStepScanResults);
        auto visible = [](const wchar_t* Name) { return Get<TControl>(Name)->Visible(); };
        const bool some = c.selected >= 1;
        EXPECT_EQ(Steps().ButtonBack()->Visible(), !some && c.offered);
        EXPECT_EQ(Steps().ButtonNext()->Visible(), !some && c.offered);
        EXPECT_EQ(Steps().ButtonCancel()->Visible(), some || c.offered);
        EXPECT_EQ(Steps().ButtonClose()->Visible(), !some && !c.offered);
        EXPECT_TRUE(Steps().ButtonCancel()->Enabled());
        EXPECT_EQ(visible(L"ButtonFix"), some);
        EXPECT_EQ(visible(L"ButtonResultsBack"), some);
        EXPECT_EQ(visible(L"LabelResultsFix"), some);
        EXPECT_EQ(visible(L"LabelResultsClean"), c.errors < 1);
        EXPECT_EQ(visible(L"LabelResultsCleanInfo"), c.errors < 1);
        EXPECT_EQ(visible(L"LabelResultsNext"), !some && c.offered);
        EXPECT_EQ(visible(L"LabelResultsCleanNext"), !some && !c.offered);
        EXPECT_EQ(Get<TSkinImage>(L"ImageResults")->ImageName(),
                  c.errors < 1 ? L"RESULTS_TABLE_ICO2" : L"RESULTS_TABLE_ICO");
        EXPECT_EQ(Steps().ButtonResultsReview()->Enabled(), c.errors > 0);

        TSkinButton* fix = Steps().ButtonFix();
        const bool all = c.selected == c.errors;
        EXPECT_EQ(fix->Caption(), all ? L"Fix All Errors" : L"Fix Errors");
        EXPECT_EQ(Get<TLabel>(L"LabelResultsFix")->Caption(),
                  all ? L"Click on \u201CFix All Errors\u201D to repair your system registry."
                      : L"Click on \u201CFix Errors\u201D to repair your system registry.");
        EXPECT_EQ(fix->Width(), std::max(178, 35 + TextWidthOf(fix->Font(), fix->Caption())));
        EXPECT_EQ(fix->Left() + fix->Width(), 618) << "the right edge stays";
        auto* back = Get<TControl>(L"ButtonResultsBack");
        EXPECT_EQ(back->Left() + back->Width() + 19, fix->Left());
        EXPECT_EQ(Get<TLabel>(L"LabelResultsClean")->Caption(),
                  c.offered ? L"Your computer is clean." : L"Your computer is clean and needs no speeding up.");
        EXPECT_EQ(Get<TLabel>(L"LabelResultsText")->Caption(),
                  c.errors == 1 ? L"Korvelle has found 1 error!"
                                : L"Korvelle has found " + std::to_wstring(c.errors) + L" errors!");
        if (!some) {
            auto* next = Get<TControl>(c.offered ? L"LabelResultsNext" : L"LabelResultsCleanNext");
            TControl* button = c.offered ? static_cast<TControl*>(Steps().ButtonBack()) : Steps().ButtonClose();
            EXPECT_EQ(next->Left() + next->Width() + 14, button->Left());
        }
        Shot(std::wstring(L"results_") + AnsiToWide(c.name));
    }
}

TEST_F(WizardPages, ResultTextsAreNeverFormats)
{
    UseTranslationFile("[Languages]\r\nen=English\r\n\r\n[en]\r\nResultErrors=%s%s%n %d %BRAND%\r\n");
    RootWithErrors(3, 3);
    GoToStep(kStepScanResults);
    EXPECT_EQ(Get<TLabel>(L"LabelResultsText")->Caption(), L"%s%s%n 3 Korvelle");
}

// ---------------------------------------------------------------------------
// Steps 9, 10 and 15

TEST_F(WizardPages, RepairSummaryCountsWhatWasRepaired)
{
    for (bool backupFailed : {false, true}) {
        SCOPED_TRACE(backupFailed ? "backup failed" : "repaired");
        TqvMain& engine = RootWithErrors(4, 3);
        SetCounters({.errors = 4, .tweaks = backupFailed ? 0 : 2, .memory = -1});
        GoToStep(kStepRepair);
        ASSERT_EQ(Main().CurrentStep(), kStepRepair);
        ASSERT_TRUE(Work().started);
        if (backupFailed)
            engine.MarkBackupFailed(kCategoryFix);
        const int before = TrackCount("#FX");
        Work().request.OnDone(false);
        Pump();
        ASSERT_EQ(Main().CurrentStep(), kStepRepairDone);
        EXPECT_EQ(Main().FixedErrors, backupFailed ? 0 : 3);
        EXPECT_EQ(TrackCount("#FX"), before + (backupFailed ? 0 : 3));
        const bool offered = !backupFailed;
        EXPECT_EQ(Get<TControl>(L"ButtonRepairBack")->Left(), offered ? 317 : 518);
        EXPECT_EQ(Get<TControl>(L"ButtonSpeedUp")->Visible(), offered);
        EXPECT_EQ(Get<TControl>(L"LabelRepairDoneText")->Visible(), offered);
        Shot(backupFailed ? L"repair_done_not_offered" : L"repair_done_offered");
    }
}

TEST_F(WizardPages, SpeedUpPageShowsTheOfferWithoutCountingAClick)
{
    struct TCase {
        const char* name;
        int tweaks;
        int64_t bytes;
    };
    for (const TCase& c : {TCase{"nothing", 0, 0}, TCase{"tweaks only", 3, 0}, TCase{"both", 2, 4096}}) {
        SCOPED_TRACE(c.name);
        TqvMain& engine = FreshEngine();
        ClearFindings(engine);
        if (c.tweaks > 0)
            if (TqvGroup* boost = GroupById(kCategoryBoost, "win-boost"))
                for (int i = 0; i < c.tweaks; ++i)
                    AddRegFinding(*boost, "Software\\Korvelle.Test\\Tweak", "V" + std::to_string(i));
        SetCounters({.tweaks = c.tweaks, .bytes = c.bytes, .memory = -1});
        const int cs = TrackCount("OS.CS"), cc = TrackCount("OS.CC");
        GoToStep(kStepSpeedUp);
        ASSERT_EQ(Main().CurrentStep(), kStepSpeedUp);
        EXPECT_EQ(TrackCount("OS.CS"), cs);
        EXPECT_EQ(TrackCount("OS.CC"), cc);
        auto* speedUp = Get<TCheckBox>(L"CheckSpeedUp");
        auto* cleanUp = Get<TCheckBox>(L"CheckCleanUp");
        EXPECT_EQ(speedUp->Enabled(), c.tweaks >= 1);
        EXPECT_EQ(speedUp->Checked(), c.tweaks >= 1);
        EXPECT_EQ(cleanUp->Enabled(), c.bytes > 0);
        EXPECT_FALSE(cleanUp->Checked()) << "no file was found selected";
        EXPECT_EQ(Get<TControl>(L"ButtonReviewTweaks")->Enabled(), c.tweaks >= 1);
        EXPECT_EQ(Get<TControl>(L"ButtonReviewFiles")->Enabled(), c.bytes > 0);
        EXPECT_EQ(Get<TControl>(L"ButtonSpeedUpGo")->Enabled(), c.tweaks >= 1);
        EXPECT_EQ(Main().BoostChecked, c.tweaks >= 1);
        auto color = [](const wchar_t* Name) { return Get<TControl>(Name)->Font().Color(); };
        const TColor red = 0x1D109C, grey = 0x808080;
        EXPECT_EQ(color(L"LabelSpeedUp"), c.tweaks >= 1 ? red : grey);
        EXPECT_EQ(color(L"LabelSpeedUpText"), c.tweaks >= 1 ? 0x404040u : grey);
        EXPECT_EQ(color(L"LabelSpeedUpTweaks"), c.tweaks >= 1 ? red : grey);
        EXPECT_EQ(color(L"LabelSpeedUpTweaksText"), c.tweaks >= 1 ? red : grey);
        EXPECT_EQ(color(L"LabelCleanUp"), c.bytes > 0 ? red : grey);
        EXPECT_EQ(color(L"LabelCleanUpText"), c.bytes > 0 ? 0x404040u : grey);
        EXPECT_EQ(color(L"LabelSpeedUpCleanSize"), c.bytes > 0 ? red : grey);
        EXPECT_EQ(color(L"LabelSpeedUpCleanSizeText"), c.bytes > 0 ? red : grey);
        Shot(std::wstring(L"speedup_") + AnsiToWide(c.name));

        if (c.tweaks < 1)
            continue;
        // A user's click: counted once, and every found speed-up item follows the box.
        SendMessageW(speedUp->Handle(), BM_CLICK, 0, 0);
        Pump();
        EXPECT_FALSE(speedUp->Checked());
        EXPECT_FALSE(Main().BoostChecked);
        EXPECT_EQ(SectionSelectedCount(engine.Category(kCategoryBoost)), 0);
        EXPECT_FALSE(Get<TControl>(L"ButtonSpeedUpGo")->Enabled());
        Get<TLabel>(L"LabelSpeedUp")->Click();
        EXPECT_TRUE(speedUp->Checked()) << "the label toggles its box";
        EXPECT_EQ(SectionSelectedCount(engine.Category(kCategoryBoost)), c.tweaks);
        EXPECT_TRUE(Get<TControl>(L"ButtonSpeedUpGo")->Enabled());
        SendMessageW(speedUp->Handle(), BM_CLICK, 0, 0);
        Pump();
        EXPECT_EQ(TrackCount("OS.CS"), cs + 1);
    }
}

TEST_F(WizardPages, FinishSummaryTellsCountsMemoryAndDisk)
{
    UseTranslationFile("[Languages]\r\nen=English\r\n\r\n[en]\r\nFixedTweaks=%COUNT tweaks and %Count more\r\n");
    struct TCase {
        int count;
        const wchar_t* errors;
        const wchar_t* tweaks;
    };
    for (const TCase& c : {TCase{0, L"0 errors", L"0 tweaks and 0 more"}, TCase{1, L"1 error", L"1 tweak"},
                           TCase{2, L"2 errors", L"2 tweaks and 2 more"}}) {
        SCOPED_TRACE(c.count);
        GoToStep(kStepWelcome);
        Main().FixedErrors = c.count;
        Main().TweaksDone = c.count;
        GoToStep(kStepFinish);
        EXPECT_EQ(Get<TLabel>(L"LabelFinishRegistry")->Caption(), c.errors);
        EXPECT_EQ(Get<TLabel>(L"LabelFinishTweaks")->Caption(), c.tweaks);
    }
    UseBuiltInTranslation();
    for (auto [figure, text] : {std::pair{int64_t{-1}, L"0 %"}, std::pair{int64_t{15}, L"15 %"}}) {
        SCOPED_TRACE(figure);
        TqvMain& engine = FreshEngine();
        ClearFindings(engine);
        if (TqvGroup* memory = GroupById(kCategoryBoost, "memory"))
            if (auto* scanner = dynamic_cast<TqvItemsMemory*>(memory->Scanner.get()))
                scanner->Worth = true;
        SetCounters({.memory = figure});
        Main().CleanedBytes = 3 * 1048576 + 1;
        GoToStep(kStepFinish);
        EXPECT_EQ(Get<TLabel>(L"LabelFinishMemory")->Caption(), text);
        EXPECT_EQ(Get<TLabel>(L"LabelFinishDisk")->Caption(),
                  AnsiToWide(FormatSizeCompact(3 * 1048576 + 1)));
    }
    Shot(L"finish");
}

TEST_F(WizardPages, FinishAfterTheSpeedUpCountsTweaksAndCleanedMegabytes)
{
    TqvMain& engine = FreshEngine();
    ClearFindings(engine);
    TqvGroup* boost = GroupById(kCategoryBoost, "win-boost");
    ASSERT_NE(boost, nullptr);
    AddRegFinding(*boost, "Software\\Korvelle.Test\\Tweak", "A");
    AddRegFinding(*boost, "Software\\Korvelle.Test\\Tweak", "B");
    TqvGroup* files = GroupById(kCategoryClean, "temp-files");
    ASSERT_NE(files, nullptr);
    auto file = std::make_unique<TqvFileItem>(files->Scanner.get());
    file->Found = file->Selected = true;
    file->Size = 5 * 1048576 + 600 * 1024;
    files->Scanner->Items.push_back(std::move(file));
    SetCounters({.tweaks = 2, .bytes = 5 * 1048576 + 600 * 1024, .memory = -1});
    GoToStep(kStepSpeedUp);
    Get<TCheckBox>(L"CheckCleanUp")->SetChecked(true);
    Main().CleanChecked = true;
    AnswerNext(IDYES); // the clean-up question
    const int before = TrackCount("#CL");
    GoToStep(kStepSpeedUpProgress);
    ASSERT_EQ(Main().CurrentStep(), kStepSpeedUpProgress);
    Work().request.OnDone(false);
    Pump();
    ASSERT_EQ(Main().CurrentStep(), kStepFinish);
    EXPECT_EQ(Main().TweaksDone, 2);
    EXPECT_EQ(Main().CleanedBytes, 5 * 1048576 + 600 * 1024);
    EXPECT_EQ(TrackCount("#CL"), before + 6) << "5.6 MB, rounded";
    EXPECT_EQ(Get<TLabel>(L"LabelFinishTweaks")->Caption(), L"2 tweaks");
}

// ---------------------------------------------------------------------------
// The progress display

TEST_F(WizardPages, ProgressBarsCountsAndSectionColours)
{
    TqvMain& engine = FreshEngine();
    // No checked registry group: the registry phase paces nothing.
    for (const auto& group : engine.FixCategory->Groups)
        group->Enabled = false;
    GoToStep(kStepScanProgress);
    ASSERT_TRUE(Work().started);
    auto report = [](uint8_t Category, const wchar_t* Caption, int32_t Position, int32_t Maximum) {
        TqvUIStatus status;
        status.Phase = kPhaseScan;
        status.Category = Category;
        status.Caption = Caption;
        status.Position = Position;
        status.Maximum = Maximum;
        status.FixErrors = 12345;
        status.BoostItems = 7;
        status.CleanBytes = 2048;
        status.MemoryFigure = -1;
        EXPECT_TRUE(Work().request.OnProgress(status));
    };
    auto* bar = Get<TProgressBar>(L"ProgressBarScan");
    struct TBarCase {
        int32_t position, maximum;
        int barPosition, barMaximum;
    };
    for (const TBarCase& c : {TBarCase{0, 0, 0, 0}, TBarCase{5, 5, 1, 1}, TBarCase{3, 10, 300, 1000},
                              TBarCase{12, 10, 1, 1}}) {
        SCOPED_TRACE(std::to_string(c.position) + "/" + std::to_string(c.maximum));
        report(kCategoryFix, (L"Registry " + std::to_wstring(c.position)).c_str(), c.position, c.maximum);
        EXPECT_EQ(bar->Position(), c.barPosition);
        EXPECT_EQ(bar->Max(), c.barMaximum);
        for (const wchar_t* other : {L"ProgressBarRepair", L"ProgressBarSpeedUp"})
            EXPECT_EQ(Get<TProgressBar>(other)->Max(), c.barMaximum);
        EXPECT_EQ(Get<TLabel>(L"LabelProgress")->Caption(), L"Registry " + std::to_wstring(c.position));
    }
    // Counts right-aligned at 726, their captions 10 pixels to the left.
    for (auto [count, caption, text] :
         {std::tuple{L"LabelErrorCount", L"LabelErrorText", std::wstring(L"12345")},
          std::tuple{L"LabelTweakCount", L"LabelTweakText", std::wstring(L"7")},
          std::tuple{L"LabelCleanSize", L"LabelCleanSizeText", AnsiToWide(FormatSizeCompact(2048))},
          std::tuple{L"LabelSpeedUpTweaks", L"LabelSpeedUpTweaksText", std::wstring(L"7")}}) {
        SCOPED_TRACE(Narrow(count));
        auto* label = Get<TLabel>(count);
        EXPECT_EQ(label->Caption(), text);
        EXPECT_EQ(label->Left() + label->Width(), 726);
        auto* captionLabel = Get<TControl>(caption);
        EXPECT_EQ(captionLabel->Left() + captionLabel->Width() + 10, label->Left());
    }
    Shot(L"progress_registry");

    const TColor heading = Get<TControl>(L"LabelRegistryScan")->Font().Color();
    const TColor text = Get<TControl>(L"LabelRegistryScanText")->Font().Color();
    auto colour = [](const wchar_t* Name) { return Get<TControl>(Name)->Font().Color(); };
    for (uint8_t category : {kCategoryFix, kCategoryBoost, kCategoryClean}) {
        SCOPED_TRACE(int(category));
        report(category, (L"Category " + std::to_wstring(category)).c_str(), 0, 0);
        const bool speedUp = category >= 2, clean = category >= 3;
        EXPECT_EQ(colour(L"LabelSystemSpeedUp"), speedUp ? heading : 0x808080u);
        for (const wchar_t* name : {L"LabelSystemSpeedUpText", L"LabelTweakText", L"LabelTweakCount"})
            EXPECT_EQ(colour(name), speedUp ? text : 0x808080u) << Narrow(name);
        EXPECT_EQ(colour(L"LabelFileCleanUp"), clean ? heading : 0x808080u);
        for (const wchar_t* name : {L"LabelFileCleanUpText", L"LabelCleanSizeText", L"LabelCleanSize"})
            EXPECT_EQ(colour(name), clean ? text : 0x808080u) << Narrow(name);
    }
    Shot(L"progress_clean");
    StopIdleWorker();
}

// ---------------------------------------------------------------------------
// The welcome list

TEST_F(WizardPages, WelcomeLinesAreTranslatedFromTheirDesignTextsEveryTime)
{
    const auto& lines = Steps().WelcomeLabels();
    ASSERT_EQ(lines.size(), 7u);
    auto* model = Get<TLabel>(L"LabelWelcomeText");
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i]->Left(), model->Left());
        EXPECT_EQ(lines[i]->Top(), model->Top() + 24 * static_cast<int>(i));
        EXPECT_FALSE(lines[i]->ShowAccelChar());
        EXPECT_EQ(lines[i]->Font().Height(), model->Font().Height());
        EXPECT_EQ(lines[i]->Caption().substr(0, 2), L"\u2022 ");
    }
    EXPECT_EQ(lines[0]->Caption(), L"\u2022 Cleans & repairs your registry");

    UseTranslationFile("[Languages]\r\nen=English\r\nde=Deutsch\r\n\r\n[en]\r\n\r\n[de]\r\n"
                       "WelcomeText1=%#% Reinigt & repariert die Registrierung\r\n"
                       "WelcomeText2=%#% Enthält = ein Gleichheitszeichen\r\n");
    SetLanguage(L"de");
    TranslateForm(Steps());
    EXPECT_EQ(lines[0]->Caption(), L"\u2022 Reinigt & repariert die Registrierung");
    EXPECT_EQ(lines[1]->Caption(), L"\u2022 Enthält = ein Gleichheitszeichen");
    EXPECT_EQ(lines[2]->Caption(), L"\u2022 Increases free disk space & memory space");
    GoToStep(kStepWelcome);
    Shot(L"welcome_de_fixture");
    SetLanguage(L"en");
    TranslateForm(Steps());
    EXPECT_EQ(lines[0]->Caption(), L"\u2022 Cleans & repairs your registry");
    EXPECT_EQ(lines[1]->Caption(), L"\u2022 Fixes system errors & crashes");
}

TEST_F(WizardPages, LanguageListHoldsTheTableLanguagesWithTheCurrentOneChosen)
{
    // Filled again whenever the settings page is shown.
    GoToStep(kStepSettings);
    auto* combo = Get<TComboBox>(L"LanguageCombo");
    ASSERT_EQ(combo->Items().size(), 7u);
    EXPECT_EQ(combo->Items()[0], L"English");
    EXPECT_EQ(combo->Items()[1], L"Deutsch");
    EXPECT_EQ(combo->ItemIndex(), 0);
    EXPECT_TRUE(combo->Visible());
}

// ---------------------------------------------------------------------------
// Handlers

struct THandlerCase {
    const char* name;
    uint8_t step;
    const wchar_t* control;
    const char* counter;
    uint8_t next;
};

TEST_F(WizardPages, PageButtonsCountTheirEventAndMoveTheWizard)
{
    static const THandlerCase kCases[] = {
        {"welcome next", 0, L"ButtonNext", "W.N", 1},
        {"settings back", 1, L"ButtonBack", "S.B", 0},
        {"results next", 4, L"ButtonNext", "R.O", 10},
        {"results review", 4, L"ButtonResultsReview", "R.R", 5},
        {"results fix", 4, L"ButtonFix", "R.E", 8},
        {"results back", 4, L"ButtonResultsBack", "R.B", 1},
        {"review back", 5, L"ButtonReviewBack", "I.B", 4},
        {"repair done back", 9, L"ButtonRepairBack", "C.B", 1},
        {"speed up my system", 9, L"ButtonSpeedUp", "C.N", 10},
        {"review tweaks", 10, L"ButtonReviewTweaks", "OS.RT", 13},
        {"review files", 10, L"ButtonReviewFiles", "OS.RF", 14},
        {"speed-up back", 10, L"ButtonSpeedUpBack", "OS.B", 1},
        {"speed up", 10, L"ButtonSpeedUpGo", "OS.N", 11},
        {"tweaks back", 13, L"ButtonReviewBack", "RT.B", 10},
        {"files back", 14, L"ButtonReviewBack", "RF.B", 10},
    };
    for (const THandlerCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::wstring control = c.control;
        const bool fixing = control == L"ButtonFix" || control == L"ButtonResultsBack";
        RootWithErrors(2, fixing ? 2 : 0);
        SetCounters({.errors = 2, .tweaks = 2, .memory = -1});
        GoToStep(c.step);
        ASSERT_EQ(Main().CurrentStep(), c.step);
        const int before = TrackCount(c.counter);
        Get<TControl>(c.control)->Click();
        Pump();
        EXPECT_EQ(Main().CurrentStep(), c.next);
        EXPECT_EQ(TrackCount(c.counter), before + 1) << c.counter;
        StopIdleWorker();
    }
}

TEST_F(WizardPages, UndoChangesOpensTheRescueCenterOnTheSupportTab)
{
    FreshEngine();
    const int before = TrackCount("S.U");
    Get<TControl>(L"ButtonUndoChanges")->Click();
    EXPECT_EQ(Main().ActiveTab(), kTabSupport);
    EXPECT_EQ(Main().CurrentStep(), kStepRescueCenter);
    EXPECT_EQ(TrackCount("S.U"), before + 1);
    GoToStep(kStepWelcome);
}

TEST_F(WizardPages, LinksOpenTheirConfiguredAddresses)
{
    struct TLinkCase {
        uint8_t step;
        const wchar_t* control;
        const char* counter;
        std::string TSettings::*url;
    };
    static const TLinkCase kCases[] = {
        {21, L"LabelAboutWebsite", "A.HP", &TSettings::HOMEPAGE_URL},
        {21, L"LabelAboutTerms", "A.TU", &TSettings::TERMS_URL},
        {21, L"LabelAboutPrivacy", "A.PP", &TSettings::PRIVACY_URL},
        {21, L"LabelAboutRead", "A.TR", &TSettings::TESTIMONIAL_READ},
        {21, L"LabelAboutSubmit", "A.TW", &TSettings::TESTIMONIAL_WRITE},
        {20, L"ButtonOnlineHelp", "H.OH", &TSettings::HELPPAID_URL},
        {15, L"ButtonTestimonial", "F.TW", &TSettings::TESTIMONIAL_WRITE},
    };
    ChangeSettings([](TSettings& s) {
        s.HOMEPAGE_URL = "http://127.0.0.1/home?u=%UID%";
        s.TERMS_URL = "http://127.0.0.1/terms?l=%LNG%";
        s.PRIVACY_URL = "http://127.0.0.1/privacy";
        s.TESTIMONIAL_READ = "http://127.0.0.1/read?c=%CFG_ID%";
        s.TESTIMONIAL_WRITE = "http://127.0.0.1/write";
        s.HELPPAID_URL = "http://127.0.0.1/help";
    });
    for (const TLinkCase& c : kCases) {
        SCOPED_TRACE(c.counter);
        GoToStep(c.step);
        ShellCalls().clear();
        const int before = TrackCount(c.counter);
        Get<TControl>(c.control)->Click();
        Get<TControl>(c.control)->Click();
        ASSERT_EQ(ShellCalls().size(), 2u);
        EXPECT_EQ(ShellCalls()[0], ExpandUrlMacros((*Settings()).*c.url));
        EXPECT_EQ(ShellCalls()[0].find('%'), std::string::npos) << "macros expanded";
        EXPECT_EQ(TrackCount(c.counter), before + 1) << "once per visit of the step";
    }
    // The separator and the terms sit beside the privacy link.
    auto* privacy = Get<TControl>(L"LabelAboutPrivacy");
    auto* separator = Get<TControl>(L"LabelAboutSep");
    auto* terms = Get<TControl>(L"LabelAboutTerms");
    EXPECT_EQ(separator->Left(), privacy->Left() + privacy->Width() + 8);
    EXPECT_EQ(terms->Left(), separator->Left() + 11);
    EXPECT_EQ(privacy->Font().Color(), 0x30A442u);
    EXPECT_EQ(Get<TMemo>(L"MemoAboutVersion")->Caption(),
              AnsiToWide(GetFileVersionString(MainExePath())));
    GoToStep(kStepWelcome);
}

TEST_F(WizardPages, FinishAsksFirstWhileASpeedUpIsOffered)
{
    for (auto [answer, step, counter] : {std::tuple{IDYES, kStepFinish, "C.F"},
                                         std::tuple{IDNO, kStepSpeedUp, "C.FC"}}) {
        SCOPED_TRACE(counter);
        RootWithErrors(1, 1);
        SetCounters({.errors = 1, .tweaks = 2, .memory = -1});
        GoToStep(kStepRepairDone);
        ResetPrompts();
        AnswerNext(answer);
        const int before = TrackCount(counter);
        Get<TControl>(L"ButtonFinish")->Click();
        ASSERT_EQ(Prompts().size(), 1u);
        EXPECT_EQ(Prompts()[0].text,
                  L"Korvelle has found some issues which can be slowing down your computer. We "
                  L"recommend you click on \u201CSpeed Up My System\u201D for better results.\r\n\r\n"
                  L"Do you really want to finish Korvelle?");
        EXPECT_EQ(Prompts()[0].flags, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
        EXPECT_EQ(Main().CurrentStep(), step);
        EXPECT_EQ(TrackCount(counter), before + 1);
    }
    // Nothing offered: no question.
    RootWithErrors(1, 1);
    SetCounters({.errors = 1, .memory = -1});
    GoToStep(kStepRepairDone);
    ResetPrompts();
    Get<TControl>(L"ButtonFinish")->Click();
    EXPECT_TRUE(Prompts().empty());
    EXPECT_EQ(Main().CurrentStep(), kStepFinish);
}

} // namespace

// Every translation fits: no skinned button's caption inks past its button
// (the step list's past its column), fitted row buttons keep their gaps, and
// the help page's controls follow one another.
TEST_F(WizardPages, EveryTranslationFitsItsButtonsAndTheStepList)
{
    for (const std::wstring language : {L"en", L"de", L"es", L"fr", L"it", L"ja", L"pt"}) {
        SCOPED_TRACE(Narrow(language));
        SetLanguage(language);
        TranslateForm(Main());
        TranslateForm(Steps());
        Steps().FitStepButtons();
        Main().TranslateStepCaptions();
        for (TComponent* form : std::initializer_list<TComponent*>{&Main(), &Steps()})
            for (TComponent* component : form->Components()) {
                auto* button = dynamic_cast<TSkinButton*>(component);
                if (!button || button->Caption().empty() || dynamic_cast<TSkinButtonEx*>(button))
                    continue;
                SCOPED_TRACE(Narrow(button->Name()) + " \"" + Narrow(button->Caption()) + "\"");
                TBitmap work(1, 1);
                TDcSelection font(work.Canvas().Handle(), button->Font().Handle());
                const int inked = MeasureTextInk(work.Canvas().Handle(), button->Caption()).inked;
                if (button->Parent() == Main().StepButton(kStepScanSettings)->Parent()) {
                    EXPECT_LE(inked, button->Width());
                    EXPECT_LE(button->Left() + button->Width(), button->Parent()->ClientWidth());
                } else {
                    EXPECT_LE(inked + 8, button->Width()) << "room on both sides";
                }
            }
        struct TPair {
            const wchar_t* left;
            const wchar_t* right;
            int gap;
        };
        for (const TPair& pair : {TPair{L"ButtonStopScan", L"ButtonPauseScan", 10},
                                  TPair{L"ButtonSpeedUpBack", L"ButtonSpeedUpGo", 18}}) {
            SCOPED_TRACE(Narrow(pair.left));
            auto* left = Steps().Find<TControl>(pair.left);
            auto* right = Steps().Find<TControl>(pair.right);
            ASSERT_TRUE(left && right);
            EXPECT_EQ(left->Left() + left->Width() + pair.gap, right->Left());
        }
        TControl* above = nullptr;
        for (const wchar_t* name : {L"LabelHelpText", L"ButtonFAQ", L"LabelOnlineHelpText", L"ButtonOnlineHelp"}) {
            auto* control = Steps().Find<TControl>(name);
            ASSERT_TRUE(control) << Narrow(name);
            if (above)
                EXPECT_GT(control->Top(), above->Top() + above->Height()) << Narrow(name);
            above = control;
        }
    }
}
