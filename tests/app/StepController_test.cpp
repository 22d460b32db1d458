// The step controller of the main window: the step table and its rules,
// the step list's states, the refusals that must change nothing, the save
// question, the two tabs, and the persisted scan results.

#include "AppTest.h"

#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"
#include "platform/DateTimeU.h"
#include "platform/RegistryU.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

using namespace apptest;

namespace {

TEST(StepTable, RowsInStepOrderWithTheUnusedNumbersEmpty)
{
    const std::vector<uint8_t> unused = {3, 6, 7, 12, 16, 18};
    for (uint8_t s = 0; s < kStepCount; ++s) {
        SCOPED_TRACE(s);
        const TQVStep& row = TQVStepInfo[s];
        const bool isUnused = std::find(unused.begin(), unused.end(), s) != unused.end();
        if (isUnused) {
            EXPECT_EQ(0, row.Kind);
            EXPECT_STREQ("", row.Name);
            EXPECT_STREQ(L"", row.Title);
            EXPECT_STREQ("", TQVStepUsage[s]);
        } else {
            EXPECT_STRNE("", row.Name);
            EXPECT_STRNE(L"", row.Icon);
            EXPECT_STRNE("", TQVStepUsage[s]);
        }
    }
    EXPECT_STREQ("ScanReview", TQVStepInfo[5].Name);
    EXPECT_EQ(2, TQVStepInfo[kStepAbout].Kind);
    EXPECT_STREQ(L"All Registry Errors have been repaired!", TQVStepInfo[9].Title);
}

TEST(StepTable, NextAndPreviousForEveryStep)
{
    // Step, next with errors, next without errors, previous (the step itself: none).
    struct TRow {
        uint8_t step, nextErrors, nextClean, previous;
    };
    const TRow rows[] = {
        {0, 1, 1, 0},     {1, 2, 2, 0},     {2, 4, 4, 1},     {3, 3, 3, 3},
        {4, 8, 10, 1},    {5, 8, 8, 4},     {6, 6, 6, 6},     {7, 7, 7, 7},
        {8, 9, 9, 1},     {9, 10, 10, 1},   {10, 11, 11, 1},  {11, 15, 15, 1},
        {12, 12, 12, 12}, {13, 11, 11, 10}, {14, 11, 11, 10}, {15, 15, 15, 1},
        {16, 16, 16, 16}, {17, 17, 17, 17}, {18, 18, 18, 18}, {19, 19, 19, 19},
        {20, 20, 20, 20}, {21, 21, 21, 21},
    };
    ASSERT_EQ(static_cast<size_t>(kStepCount), std::size(rows));
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.step);
        EXPECT_EQ(row.nextErrors, NextStepAfter(row.step, 1));
        EXPECT_EQ(row.nextClean, NextStepAfter(row.step, 0));
        EXPECT_EQ(row.previous, PreviousStepBefore(row.step));
    }
}

TEST(StepTable, ListEntryCurrentForSubPages)
{
    struct TCase {
        uint8_t current, step;
        bool expected;
    };
    const TCase cases[] = {
        {5, 4, true},   {13, 10, true}, {14, 10, true}, {9, 8, true},  {11, 10, true},
        {5, 2, false},  {15, 10, false}, {13, 8, false}, {4, 5, false}, {4, 4, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.current) + " " + std::to_string(c.step));
        EXPECT_EQ(c.expected, IsListStepCurrentFor(c.current, c.step));
    }
}

TEST(StepTable, DisplayedTweaksAndTheSpeedUpOffer)
{
    EXPECT_EQ(3, DisplayedTweakCountOf(3, -1));
    EXPECT_EQ(2, DisplayedTweakCountOf(3, 0));
    EXPECT_EQ(0, DisplayedTweakCountOf(0, 5));

    struct TCase {
        const char* name;
        int32_t shownTweaks, addOns;
        int64_t bytes, memory;
        bool offered;
    };
    const TCase cases[] = {
        {"one tweak, no memory item", 1, 0, 0, -1, true},
        {"add-ons alone", 0, 2, 0, -1, true},
        {"the memory item at 0 %", 0, 0, 0, 0, true},
        {"nothing but an unknown memory figure", 0, 0, 0, -1, false},
        {"one byte to clean", 0, 0, 1, -1, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.offered, SpeedUpOfferedFor(c.shownTweaks, c.addOns, c.bytes, c.memory));
    }
}

// ---------------------------------------------------------------------------
// The window

class StepControl : public WizardFixture {
protected:
    struct TSnapshot {
        uint8_t step, last, saved, tab;
        bool changed;
        TqvMain* engine;
        bool operator==(const TSnapshot&) const = default;
    };
    TSnapshot Snapshot() const
    {
        return {main_->CurrentStep(), main_->LastStep(),  main_->SavedStep(),
                main_->ActiveTab(),   main_->SettingsChanged, main_->Engine().get()};
    }
    // The steps 0 and 1 taken (no worker runs there).
    void ToScanSettings()
    {
        main_->SetStep(kStepScanSettings);
        ASSERT_EQ(kStepScanSettings, main_->CurrentStep());
    }
};

TEST_F(StepControl, ListEntriesFollowTheStepAndTheCounters)
{
    main_->RegistryErrors = 0;
    main_->Tweaks = 0;
    main_->BytesToClean = 0;
    main_->MemoryFigure = -1;
    main_->AddOnItems = 0;
    ToScanSettings();
    main_->SetStep(kStepScanResults);
    ASSERT_EQ(kStepScanResults, main_->CurrentStep());
    EXPECT_TRUE(main_->StepButton(kStepScanResults)->Enabled());
    EXPECT_EQ(L"STEP_CURRENT", main_->StepImage(kStepScanResults)->ImageName());
    EXPECT_EQ(L"STEP", main_->StepImage(kStepScanSettings)->ImageName());
    // No errors: the repair entry stays off; nothing to speed up: so does 10.
    main_->SetStep(kStepFinish);
    EXPECT_FALSE(main_->StepButton(kStepRepair)->Enabled());
    EXPECT_FALSE(main_->StepImage(kStepRepair)->Enabled());
    EXPECT_FALSE(main_->StepButton(kStepSpeedUp)->Enabled());
    EXPECT_TRUE(main_->StepButton(kStepScanResults)->Enabled());
    // One tweak and no memory item is an offer; an error enables the repair.
    main_->Tweaks = 1;
    main_->RegistryErrors = 1;
    main_->SetStep(kStepScanSettings);
    main_->SetStep(kStepFinish);
    EXPECT_TRUE(main_->StepButton(kStepSpeedUp)->Enabled());
    EXPECT_TRUE(main_->StepButton(kStepRepair)->Enabled());
    // A sub-page marks the listed step before it.
    main_->SetStep(kStepReviewFiles);
    EXPECT_EQ(L"STEP_CURRENT", main_->StepImage(kStepSpeedUp)->ImageName());
    EXPECT_EQ(L"STEP", main_->StepImage(kStepFinish)->ImageName());
    EXPECT_FALSE(main_->StepButton(kStepFinish)->Enabled());
}

TEST_F(StepControl, HeaderAndPagesFollowTheStep)
{
    ToScanSettings();
    EXPECT_EQ(L"Select Registry areas", main_->Find<TLabel>(L"LabelStepHeader")->Caption());
    EXPECT_EQ(26, main_->Find<TLabel>(L"LabelStepHeader")->Top());
    EXPECT_TRUE(steps_->Page(kStepScanSettings)->Visible());
    EXPECT_FALSE(steps_->Page(kStepWelcome)->Visible());
    EXPECT_EQ(steps_->Page(kStepScanSettings), steps_->ButtonNext()->Parent());
    main_->SetStep(kStepFinish);
    // A title without text sits lower.
    EXPECT_EQ(35, main_->Find<TLabel>(L"LabelStepHeader")->Top());
    EXPECT_FALSE(main_->Find<TLabel>(L"LabelStepText")->Visible());
    EXPECT_TRUE(steps_->ButtonClose()->Visible());
    EXPECT_FALSE(steps_->ButtonCancel()->Visible());
}

TEST_F(StepControl, SaveQuestionCancelChangesNothing)
{
    main_->SwitchTab(kTabSupport);
    main_->SetStep(kStepSettings);
    ASSERT_EQ(kStepSettings, main_->CurrentStep());
    main_->SettingsChanged = true;
    int saves = 0;
    main_->OnSaveSettings = [&saves] { ++saves; };
    ClearCounters();

    TPromptScript::Answer({IDCANCEL, IDCANCEL, IDCANCEL});
    const TSnapshot before = Snapshot();
    main_->SetStep(kStepHelp);
    main_->SwitchTab(kTabScan);
    EXPECT_FALSE(main_->CloseQuery());
    EXPECT_EQ(before, Snapshot());
    EXPECT_EQ(0, saves);
    const auto prompts = TPromptScript::Seen();
    ASSERT_EQ(3u, prompts.size());
    EXPECT_EQ(L"Do you want to save changes?", prompts[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_YESNOCANCEL | MB_ICONQUESTION), prompts[0].flags);
    EXPECT_EQ(1, Counters()["AS.SM"]); // once per run
    EXPECT_EQ(3, Counters()["AS.SMC"]);

    // No: the flag goes and the step changes; asked once, also for a tab switch.
    TPromptScript::Clear();
    TPromptScript::Answer({IDNO});
    main_->SwitchTab(kTabScan);
    EXPECT_EQ(kTabScan, main_->ActiveTab());
    EXPECT_FALSE(main_->SettingsChanged);
    EXPECT_EQ(1u, TPromptScript::Seen().size());

    // Yes: the settings page saves.
    main_->SwitchTab(kTabSupport);
    ASSERT_EQ(kStepSettings, main_->CurrentStep());
    main_->SettingsChanged = true;
    TPromptScript::Answer({IDYES});
    main_->SetStep(kStepAbout);
    EXPECT_EQ(1, saves);
    EXPECT_EQ(kStepAbout, main_->CurrentStep());
}

TEST_F(StepControl, RefusedAdministratorTestChangesNothing)
{
    seams_.Elevated = [] { return false; };
    ApplySeams();
    ToScanSettings();
    main_->RegistryErrors = 3;
    main_->SetStep(kStepScanResults);
    ClearCounters();
    const TSnapshot before = Snapshot();
    main_->SetStep(kStepRepair);
    main_->SetStep(kStepSpeedUpProgress);
    EXPECT_EQ(before, Snapshot());
    EXPECT_FALSE(main_->WorkRunning());
    const auto prompts = TPromptScript::Seen();
    ASSERT_EQ(2u, prompts.size());
    EXPECT_EQ(L"To access the registry repairs and system speed up functions, you need to run the "
              L"application as the Administrator.\r\nTherefore, please close the application and "
              L"start again with the required system rights.",
              prompts[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), prompts[0].flags);
    EXPECT_EQ(1, Counters()["R.AM"]);
}

TEST_F(StepControl, AdministratorTestOfAnAdministratorPasses)
{
    seams_.Administrator = []() -> bool { throw std::runtime_error("no token"); };
    ApplySeams();
    // Vista and later need elevation alone; the failing group test counts as no.
    EXPECT_TRUE(main_->HasAdminRights());
    seams_.Elevated = [] { return false; };
    seams_.Administrator = [] { return true; };
    ApplySeams();
    EXPECT_FALSE(main_->HasAdminRights());
}

TEST_F(StepControl, TabsKeepTheirOwnSteps)
{
    ToScanSettings();
    main_->SwitchTab(kTabSupport);
    EXPECT_EQ(kStepRescueCenter, main_->CurrentStep());
    EXPECT_TRUE(main_->Find<TPanel>(L"PanelSupport")->Visible());
    EXPECT_FALSE(main_->Find<TPanel>(L"PanelSteps")->Visible());
    EXPECT_EQ(L"TAB", main_->SupportTab()->ImageName());
    EXPECT_EQ(L"TAB_INACTIVE", main_->ScanTab()->ImageName());
    EXPECT_EQ(4, main_->ScanTab()->EdgeMargins().Top());
    TSkinButton* rescue = main_->SupportButton(kStepRescueCenter);
    EXPECT_EQ(L"SUPPORT_ACTIVE", rescue->ImageName());
    EXPECT_EQ(16, rescue->Top());
    EXPECT_EQ(32, rescue->Height());
    main_->SetStep(kStepHelp);
    EXPECT_EQ(L"", rescue->ImageName());
    EXPECT_EQ(L"SUPPORT_HOT", rescue->ImageNameHot());
    EXPECT_EQ(17, rescue->Top());
    EXPECT_EQ((kStepHelp - kStepRescueCenter) * 30 + 16, main_->SupportButton(kStepHelp)->Top());
    main_->SwitchTab(kTabScan);
    EXPECT_EQ(kStepScanSettings, main_->CurrentStep());
    main_->SwitchTab(kTabSupport);
    EXPECT_EQ(kStepHelp, main_->CurrentStep());
}

TEST_F(StepControl, FitButtonWidthLimitsOnlyWithLimitsAndKeepsItsAnchor)
{
    TSkinButton* button = main_->Find<TSkinButton>(L"ButtonHelp");
    ASSERT_NE(nullptr, button);
    button->SetCaption(L"Wiederherstellen");
    const RECT start{200, 10, 300, 38};
    auto fit = [&](int Anchor, int Margin, int Offset, int Max, int Min) {
        button->SetBounds(start.left, start.top, start.right - start.left, start.bottom - start.top);
        FitButtonWidth(*button, Anchor, Margin, Offset, Max, Min);
        EXPECT_EQ(start.top, button->Top());
        EXPECT_EQ(start.bottom - start.top, button->Height());
        return std::pair{button->Left(), button->Width()};
    };
    const int text = fit(0, 0, 0, -1, -1).second;
    ASSERT_GT(text, 20) << "the caption's width in its font";

    struct TCase {
        const char* name;
        int anchor, margin, offset, max, min;
        int left, width; // expected
    };
    const TCase cases[] = {
        {"left edge kept", 0, 30, 0, -1, -1, 200, text + 30},
        {"right edge kept", 1, 30, 0, -1, -1, 300 - (text + 30), text + 30},
        {"centre kept", 2, 30, 0, -1, -1, 250 - (text + 30) / 2, text + 30},
        {"offset moves the result", 1, 30, 7, -1, -1, 300 - (text + 30) + 7, text + 30},
        {"minimum raises", 0, 30, 0, -1, text + 100, 200, text + 100},
        {"maximum lowers", 1, 30, 0, text - 5, -1, 300 - (text - 5), text - 5},
        {"a zero maximum is a limit", 0, 30, 0, 0, -1, 200, 0},
        {"negative limits are none", 0, 30, 0, -2, -200, 200, text + 30},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [left, width] = fit(c.anchor, c.margin, c.offset, c.max, c.min);
        EXPECT_EQ(c.left, left);
        EXPECT_EQ(c.width, width);
    }
}

TEST_F(StepControl, TitleButtonsHelpMinimiseAndClose)
{
    ChangeSettings([](TSettings& s) { s.HELPPAID_URL = "http://127.0.0.1/help?l=%LNG%"; });
    Application().SetMainForm(main_);
    main_->Show();
    Pump(50);
    ClearCounters();

    // Help: the configured page with its macros expanded, counted once a run.
    TSkinButton* help = main_->Find<TSkinButton>(L"ButtonHelp");
    ASSERT_NE(nullptr, help);
    help->Click();
    help->Click();
    const std::vector<TShellCall> calls = ShellCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(ExpandUrlMacros(Settings()->HELPPAID_URL), calls[0].file);
    EXPECT_EQ(std::string::npos, calls[0].file.find('%'));
    EXPECT_EQ(1, Counters()["W.H"]);

    main_->Find<TSkinButton>(L"ButtonMinimize")->Click();
    EXPECT_TRUE(PumpUntil([&] { return IsIconic(main_->Handle()) != FALSE; }, 5000));
    ShowWindow(main_->Handle(), SW_RESTORE);

    // Close asks on the welcome page; No keeps the window.
    TPromptScript::Answer({IDNO});
    main_->Find<TSkinButton>(L"ButtonClose")->Click();
    Pump(50);
    const auto prompts = TPromptScript::Seen();
    ASSERT_EQ(1u, prompts.size());
    EXPECT_EQ(0u, prompts[0].text.rfind(L"Do you really want to cancel Korvelle Wizard?", 0));
    EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONWARNING), prompts[0].flags);
    EXPECT_TRUE(IsWindowVisible(main_->Handle()));
    EXPECT_FALSE(main_->Closing());
    EXPECT_EQ(1, Counters()["W.XC"]);
    Application().SetMainForm(nullptr);
}

TEST_F(StepControl, EveryStepShownAsTheUserSeesIt)
{
    main_->Show();
    main_->RegistryErrors = 2;
    main_->Tweaks = 3;
    main_->MemoryFigure = 40;
    main_->BytesToClean = 5000000;
    SaveShot(*main_, L"step00_welcome");
    // No worker may run here: the pages of the working steps get a finished
    // worker that does nothing.
    UseScriptedWorkers({TWorkerScript{}});
    for (uint8_t s : {1, 2, 4, 5, 8, 9, 10, 11, 13, 14, 15}) {
        // The speed-up page checks its boxes by the selected findings, of
        // which this engine has none: go on as a user who checks one.
        if (s == 11)
            main_->BoostChecked = true;
        main_->SetStep(s);
        ASSERT_TRUE(PumpUntil([&] { return !main_->WorkRunning(); }, 10000));
        // The finish moves the working steps on; show them as they are shown.
        if (s == 2 || s == 8 || s == 11) {
            EXPECT_NE(s, main_->CurrentStep());
            continue;
        }
        ASSERT_EQ(s, main_->CurrentStep());
        Pump(50);
        SaveShot(*main_, L"step" + std::wstring(s < 10 ? L"0" : L"") + std::to_wstring(s));
    }
    main_->SwitchTab(kTabSupport);
    for (uint8_t s : {17, 19, 20, 21}) {
        main_->SetStep(s);
        Pump(50);
        SaveShot(*main_, L"step" + std::to_wstring(s));
    }
}

// ---------------------------------------------------------------------------
// The persisted results

class ScanResults : public WizardFixture {
protected:
    std::string ReadString(const char* Name)
    {
        TProgramKeyView view;
        std::string value;
        RegReadString(HKEY_CURRENT_USER, Key(), Name, value);
        return value;
    }
    int32_t ReadInt(const char* Name)
    {
        TProgramKeyView view;
        return RegReadInteger(HKEY_CURRENT_USER, Key(), Name);
    }
    bool Exists(const char* Name)
    {
        TProgramKeyView view;
        return RegValueExists(HKEY_CURRENT_USER, Key(), Name);
    }
    TDateTime ReadDate(const char* Name)
    {
        TProgramKeyView view;
        return RegReadDateTime(HKEY_CURRENT_USER, Key(), Name);
    }
    // One scan through the window, the scripted worker's record last.
    void Scan(const TqvUIStatus& Last)
    {
        UseScriptedWorkers({TWorkerScript{{Last}}});
        main_->SetStep(kStepScanSettings);
        main_->SetStep(kStepScanProgress);
        ASSERT_TRUE(PumpUntil([&] { return main_->CurrentStep() == kStepScanResults; }, 20000));
    }
};

TDateTime gClockValue = 45000.0;
TDateTime TestClock()
{
    return gClockValue;
}

TEST_F(ScanResults, FirstScanKeepsScanResultLaterScansTheRest)
{
    const TClock old = SetClock(&TestClock);
    TqvUIStatus first = Record(kPhaseScan, kCategoryFix, 1, 1);
    first.FixErrors = 7;
    first.BoostItems = 5;
    first.AddonsFound = 1;
    first.CleanBytes = 3 * 1048576 + 100000;
    first.MemoryFigure = 30;
    gClockValue = 45000.25;
    Scan(first);
    EXPECT_EQ("7,3,3", ReadString("SCAN_RESULT")); // tweaks 5 - 1 add-on - 1 memory item
    EXPECT_EQ(7, ReadInt("LSRE"));
    EXPECT_EQ(4, ReadInt("LSRT"));
    EXPECT_EQ(1, ReadInt("LSRB"));
    EXPECT_EQ(3170, ReadInt("LSRS")); // round(3245728 / 1024 = 3169.66)
    EXPECT_DOUBLE_EQ(45000.25, ReadDate("SCAN"));

    TqvUIStatus second = Record(kPhaseScan, kCategoryFix, 1, 1);
    second.FixErrors = 2;
    second.CleanBytes = 1535; // 1.499 KB rounds down
    gClockValue = 45001.5;
    Scan(second);
    EXPECT_EQ("7,3,3", ReadString("SCAN_RESULT"));
    EXPECT_EQ(2, ReadInt("LSRE"));
    EXPECT_EQ(1, ReadInt("LSRS"));
    EXPECT_DOUBLE_EQ(45001.5, ReadDate("SCAN"));
    SetClock(old);
}

TEST_F(ScanResults, StoppedScanWritesNoLastResultForTheRun)
{
    UseScriptedWorkers({CountingScanScript(40, 20)});
    main_->SetStep(kStepScanSettings);
    main_->SetStep(kStepScanProgress);
    ASSERT_TRUE(PumpUntil([&] { return RecordsAnswered() >= 2; }, 20000));
    TPromptScript::Answer({IDYES});
    main_->RequestStop();
    ASSERT_TRUE(PumpUntil([&] { return main_->CurrentStep() == kStepScanResults; }, 20000));
    EXPECT_TRUE(AppFlags().UserStoppedScan);
    EXPECT_FALSE(Exists("LSRE"));
    EXPECT_TRUE(Exists("SCAN"));
    EXPECT_FALSE(ReadString("SCAN_RESULT").empty());
    // The rest of the run writes none either.
    Scan(Record(kPhaseScan, kCategoryFix, 1, 1));
    EXPECT_FALSE(Exists("LSRE"));
}

TEST_F(ScanResults, LoadsTheLastResult)
{
    EXPECT_FALSE(main_->LoadLastScanResult());
    {
        TProgramKeyView view;
        RegWriteInteger(HKEY_CURRENT_USER, Key(), "LSRE", 4);
        RegWriteInteger(HKEY_CURRENT_USER, Key(), "LSRT", 6);
        RegWriteInteger(HKEY_CURRENT_USER, Key(), "LSRB", 2);
        RegWriteInteger(HKEY_CURRENT_USER, Key(), "LSRS", 3000000);
    }
    ASSERT_TRUE(main_->LoadLastScanResult());
    EXPECT_EQ(4, main_->RegistryErrors);
    EXPECT_EQ(6, main_->Tweaks);
    EXPECT_EQ(2, main_->AddOnItems);
    EXPECT_EQ(int64_t{3072000000}, main_->BytesToClean);
    EXPECT_EQ(-1, main_->MemoryFigure);
    // A value of another type is no result: nothing changes.
    {
        TProgramKeyView view;
        RegWriteString(HKEY_CURRENT_USER, Key(), "LSRE", "9");
    }
    main_->RegistryErrors = 11;
    EXPECT_FALSE(main_->LoadLastScanResult());
    EXPECT_EQ(11, main_->RegistryErrors);
}

} // namespace
