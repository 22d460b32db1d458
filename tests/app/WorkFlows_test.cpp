// The scan and repair flows of the main window against a scripted worker:
// the pacing of the progress reports, pause, stop and its question, a stale
// finish; the questions before a speed-up with browsers that close or do not;
// and the section totals the summaries count.

#include "AppTest.h"

#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"
#include "engine/qvSystemScanners.h"
#include "engine/qvThreads.h"

#include <gtest/gtest.h>

using namespace apptest;

namespace {

class WorkFlow : public WizardFixture {
protected:
    // The scan settings page, with the engine root it makes.
    void ToScanSettings()
    {
        main_->SetStep(kStepScanSettings);
        ASSERT_TRUE(main_->Engine());
    }
    TqvGroup* Group(uint8_t Category, const char* Id)
    {
        for (const auto& group : main_->Engine()->Category(Category)->Groups)
            if (group->Id == Id)
                return group.get();
        return nullptr;
    }
    // An item the scan found in the group, selected (or not).
    TqvItem* AddFound(TqvGroup& Group, bool Selected = true, bool Locked = false, int64_t Size = 0)
    {
        auto item = std::make_unique<TqvRegItem>(Group.Scanner.get());
        item->Found = true;
        item->Selected = Selected;
        item->Locked = Locked;
        item->Size = Size;
        return Group.Scanner->Add(std::move(item));
    }
    bool ReachStep(uint8_t Step, DWORD Ms = 20000)
    {
        return PumpUntil([&] { return main_->CurrentStep() == Step; }, Ms);
    }
};

TWorkerScript Phase(uint8_t Category, int Count)
{
    TWorkerScript script;
    for (int i = 1; i <= Count; ++i)
        script.records.push_back(Record(kPhaseScan, Category, i, Count));
    return script;
}

// How long the answers of a worker's records took, from its start.
double SecondsToStep(TMainForm& Main, uint8_t Step)
{
    const DWORD start = GetTickCount();
    PumpUntil([&] { return Main.CurrentStep() == Step; }, 30000);
    return (GetTickCount() - start) / 1000.0;
}

// The phase change waits 400 ms before the phase's time starts.
constexpr double kPhaseChange = 0.4;

// A phase never ends before its budget: timers do not fire early. A loaded
// machine only makes it later, so the upper side has room for that, while
// staying below the next budget (1 s against 3 s) so that a phase that did
// not shrink still fails.
void ExpectPhaseTime(double Budget, double Seconds)
{
    EXPECT_GE(Seconds, Budget - 0.3);
    EXPECT_LE(Seconds, Budget + 1.5);
}

TEST_F(WorkFlow, FastPhaseLastsItsBudget)
{
    ToScanSettings();
    UseScriptedWorkers({Phase(kCategoryBoost, 10)});
    main_->SetStep(kStepScanProgress);
    const double seconds = SecondsToStep(*main_, kStepScanResults) - kPhaseChange;
    ExpectPhaseTime(3.0, seconds);
    EXPECT_EQ(10, RecordsAnswered());
}

TEST_F(WorkFlow, RegistryPhaseShrinksWithTheCheckedGroups)
{
    struct TCase {
        const char* name;
        int offered, checked;
        double seconds;
    };
    const TCase cases[] = {{"one of three checked", 3, 1, 1.0}, {"no group on the page", 0, 0, 3.0}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        ToScanSettings();
        int n = 0;
        for (const auto& group : main_->Engine()->FixCategory->Groups) {
            group->HasSettings = n < c.offered;
            group->Enabled = n < c.checked;
            ++n;
        }
        UseScriptedWorkers({Phase(kCategoryFix, 10)});
        main_->SetStep(kStepScanProgress);
        ExpectPhaseTime(c.seconds, SecondsToStep(*main_, kStepScanResults) - kPhaseChange);
    }
}

TEST_F(WorkFlow, PositionPastTheMaximumShowsFull)
{
    ToScanSettings();
    HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    TWorkerScript script;
    script.records.push_back(Record(kPhaseScan, kCategoryFix, 12, 10));
    script.holdFinish = hold;
    UseScriptedWorkers({script});
    main_->SetStep(kStepScanProgress);
    ASSERT_TRUE(PumpUntil([] { return RecordsAnswered() == 1; }, 10000));
    EXPECT_EQ(10, main_->ProgressPosition());
    EXPECT_EQ(10, main_->ProgressMaximum());
    EXPECT_EQ(L"group", main_->StatusText());
    SetEvent(hold);
    EXPECT_TRUE(ReachStep(kStepScanResults));
    CloseHandle(hold);
}

TEST_F(WorkFlow, PauseHoldsTheWorkerAndResumeLetsItGo)
{
    ToScanSettings();
    TWorkerScript script = Phase(kCategoryBoost, 200);
    script.gapMs = 5;
    UseScriptedWorkers({script});
    main_->SetStep(kStepScanProgress);
    EXPECT_FALSE(steps_->ButtonPauseScan()->Enabled());
    ASSERT_TRUE(PumpUntil([] { return RecordsAnswered() >= 3; }, 10000));
    EXPECT_TRUE(steps_->ButtonPauseScan()->Enabled());
    // The pause holds the worker inside a progress callback that pumps
    // messages: what the user does meanwhile comes as timer messages there.
    int heldAt100 = -1, heldAt1100 = -1;
    int32_t positionAt100 = -1, positionAt1100 = -1;
    std::wstring pausedCaption;
    bool resumed = false;
    TTimer first, second;
    first.SetInterval(100);
    first.OnTimer = [&](TComponent&) {
        first.SetEnabled(false);
        heldAt100 = RecordsAnswered();
        positionAt100 = main_->ProgressPosition();
    };
    second.SetInterval(1100);
    second.OnTimer = [&](TComponent&) {
        second.SetEnabled(false);
        heldAt1100 = RecordsAnswered();
        positionAt1100 = main_->ProgressPosition();
        pausedCaption = steps_->ButtonPauseScan()->Caption();
        steps_->ButtonPauseScan()->Click();
        resumed = !main_->IsWorkPaused();
    };
    steps_->ButtonPauseScan()->Click();
    ASSERT_TRUE(main_->IsWorkPaused());
    EXPECT_FALSE(steps_->TimerAnim(1)->Enabled());
    first.SetEnabled(true);
    second.SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return resumed && RecordsAnswered() > heldAt1100 + 2; }, 15000));
    EXPECT_EQ(heldAt100, heldAt1100);
    EXPECT_EQ(positionAt100, positionAt1100);
    EXPECT_EQ(L"Resume Scan", pausedCaption);
    EXPECT_EQ(L"Pause Scan", steps_->ButtonPauseScan()->Caption());
    EXPECT_TRUE(steps_->TimerAnim(1)->Enabled());
    EXPECT_EQ(1, Counters()["P.P"]);
    main_->StopWork();
}

TEST_F(WorkFlow, StopAskedYesEndsTheScanWithWhatItFound)
{
    ToScanSettings();
    UseScriptedWorkers({CountingScanScript(100, 10)});
    main_->SetStep(kStepScanProgress);
    ASSERT_TRUE(PumpUntil([] { return RecordsAnswered() >= 4; }, 20000));

    // No: asked, counted once however often, and Stop is back.
    TPromptScript::Answer({IDNO, IDNO});
    for (int round = 0; round < 2; ++round) {
        steps_->ButtonStopScan()->Click();
        EXPECT_FALSE(steps_->ButtonStopScan()->Enabled());
        const size_t asked = TPromptScript::Seen().size();
        ASSERT_TRUE(PumpUntil([&] { return TPromptScript::Seen().size() > asked; }, 10000));
        ASSERT_TRUE(PumpUntil([&] { return steps_->ButtonStopScan()->Enabled(); }, 5000));
    }
    EXPECT_EQ(1, Counters()["P.SC"]);
    EXPECT_EQ(kStepScanProgress, main_->CurrentStep());
    const std::wstring question = TPromptScript::Seen()[0].text;
    EXPECT_EQ(L"Do you really want to STOP this scan?\r\n\r\nYour computer is not optimized and may "
              L"contain errors! It is not recommended to stop this scan.\r\n\r\nIf you really want "
              L"to stop it, click \u201CYes\u201D.\r\nTo complete this scan click \u201CNo\u201D.",
              question);
    EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONWARNING), TPromptScript::Seen()[0].flags);

    // Yes: the results of what was found, without the stop's wait.
    DWORD answeredAt = 0;
    TPromptScript::OnPrompt([&answeredAt](const TPrompt&) { answeredAt = GetTickCount(); });
    TPromptScript::Answer({IDYES});
    steps_->ButtonStopScan()->Click();
    ASSERT_TRUE(ReachStep(kStepScanResults));
    // Below the stop's longest wait for its worker (1.5 s), which a worker
    // that ends at once never spends; room for a loaded machine up to there.
    EXPECT_LT(GetTickCount() - answeredAt, 1450u);
    EXPECT_GT(main_->RegistryErrors, 0);
    EXPECT_LT(main_->RegistryErrors, 100);
    EXPECT_EQ(1, Counters()["P.S"]);
    EXPECT_TRUE(AppFlags().UserStoppedScan);
    EXPECT_FALSE(main_->WorkRunning());
}

TEST_F(WorkFlow, StaleFinishAfterANewerStartIsIgnored)
{
    ToScanSettings();
    HANDLE holdOld = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE holdNew = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    TWorkerScript older, newer;
    older.records.push_back(Record(kPhaseScan, kCategoryFix, 1, 2));
    older.holdFinish = holdOld;
    newer.records.push_back(Record(kPhaseScan, kCategoryFix, 1, 2));
    newer.holdFinish = holdNew;
    UseScriptedWorkers({older, newer});
    main_->SetStep(kStepScanProgress);
    ASSERT_TRUE(PumpUntil([] { return RecordsAnswered() == 1; }, 10000));
    // The newer start gives up the older worker after its wait.
    main_->StartWork(kModeScan, kScanFlags);
    ASSERT_EQ(2, WorkersMade());
    SetEvent(holdOld);
    Pump(1500);
    EXPECT_EQ(kStepScanProgress, main_->CurrentStep());
    EXPECT_TRUE(main_->WorkRunning());
    SetEvent(holdNew);
    EXPECT_TRUE(ReachStep(kStepScanResults));
    CloseHandle(holdOld);
    CloseHandle(holdNew);
}

// ---------------------------------------------------------------------------
// Before a speed-up

class SpeedUp : public WorkFlow {
protected:
    void SetUp() override
    {
        WorkFlow::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ToScanSettings();
        main_->HandleNeeded();
        main_->BytesToClean = 0;
        UseScriptedWorkers({TWorkerScript{}});
        main_->SetStep(kStepSpeedUp);
        ClearCounters();
    }
    void TearDown() override
    {
        browser_.reset();
        WorkFlow::TearDown();
    }
    // A browser stand-in copied as firefox.exe, with a window of its class.
    void StartFirefox(bool Stubborn)
    {
        const std::string exe = dir_ + "firefox.exe";
        ASSERT_TRUE(CopyFileA((TestDir() + "ktest_browser.exe").c_str(), exe.c_str(), FALSE));
        browser_ = std::make_unique<TProgram>(exe, std::string("MozillaWindowClass") +
                                                       (Stubborn ? " --stubborn" : ""));
        ASSERT_TRUE(browser_->Started());
        ASSERT_TRUE(PumpUntil([] { return FindWindowW(L"MozillaWindowClass", nullptr) != nullptr; },
                              10000));
    }
    // Go on from the page as a user who keeps both boxes checked: the page
    // was shown before the findings were added, so it left them unchecked.
    void Go()
    {
        main_->BoostChecked = main_->CleanChecked = true;
        main_->SetStep(kStepSpeedUpProgress);
    }
    std::unique_ptr<TProgram> browser_;
};

TEST_F(SpeedUp, ClosableFirefoxClosesWithoutANotice)
{
    AddFound(*Group(kCategoryClean, "temp-ff"));
    StartFirefox(false);
    Go();
    EXPECT_TRUE(ReachStep(kStepFinish));
    const auto prompts = TPromptScript::Seen();
    ASSERT_EQ(1u, prompts.size());
    EXPECT_EQ(L"It is necessary to close all running Internet browsers before you continue!\r\n\r\n"
              L"Click \u201CYes\u201D if you want to optimize and all running Internet browsers will "
              L"close automatically.\r\n\r\nClick \u201CNo\u201D to cancel fixing issues",
              prompts[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONWARNING), prompts[0].flags);
    EXPECT_TRUE(browser_->Wait(5000));
}

TEST_F(SpeedUp, StubbornFirefoxIsToldAfterFiveSecondsAndTheSpeedUpGoesOn)
{
    AddFound(*Group(kCategoryClean, "temp-ff"));
    StartFirefox(true);
    std::vector<DWORD> times;
    TPromptScript::OnPrompt([&times](const TPrompt&) { times.push_back(GetTickCount()); });
    Go();
    EXPECT_TRUE(ReachStep(kStepFinish));
    const auto prompts = TPromptScript::Seen();
    ASSERT_EQ(2u, prompts.size());
    EXPECT_EQ(L"Your Internet browser was not closed but Korvelle will continue the cleaning "
              L"process. It is possible that some of the issues you have selected will not be fixed.",
              prompts[1].text);
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONWARNING), prompts[1].flags);
    // Never told before the five seconds are up; a loaded machine only tells later.
    const double waited = (times[1] - times[0]) / 1000.0;
    EXPECT_GE(waited, 4.7);
    EXPECT_LE(waited, 8.0);
    EXPECT_TRUE(browser_->Running());
}

TEST_F(SpeedUp, RefusedQuestionsStayOnTheSpeedUpPage)
{
    struct TCase {
        const char* name;
        int64_t bytes;
        const char* counter;
    };
    const TCase cases[] = {{"clean-up question", 4096, "OS.ON"}, {"browsers question", 0, "OS.OB"}};
    AddFound(*Group(kCategoryBoost, "addons"));
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        ClearCounters();
        TPromptScript::Clear();
        TPromptScript::Answer({IDNO});
        main_->BytesToClean = c.bytes;
        Go();
        EXPECT_EQ(kStepSpeedUp, main_->CurrentStep());
        EXPECT_EQ(1u, TPromptScript::Seen().size());
        EXPECT_EQ(1, Counters()[c.counter]);
        EXPECT_EQ(0, WorkersMade());
        EXPECT_TRUE(IsWindowEnabled(main_->Handle()));
    }
}

TEST_F(SpeedUp, AddOnsAskEvenWithoutABrowser)
{
    AddFound(*Group(kCategoryBoost, "addons"));
    main_->BytesToClean = 4096;
    Go();
    EXPECT_TRUE(ReachStep(kStepFinish));
    const auto prompts = TPromptScript::Seen();
    ASSERT_EQ(2u, prompts.size());
    EXPECT_EQ(L"Korvelle will clean up any unnecessary files from your computer. The files will not "
              L"be recoverable. Are you sure you want to continue?",
              prompts[0].text);
    EXPECT_EQ(0u, prompts[1].text.find(L"It is necessary to close all running Internet browsers"));
}

// ---------------------------------------------------------------------------
// Section totals

TEST_F(WorkFlow, SectionTotalsCountOnlyWhatIsRepaired)
{
    ToScanSettings();
    TqvCategory* fix = main_->Engine()->FixCategory.get();
    TqvGroup* clsid = Group(kCategoryFix, "reg-clsid");
    TqvGroup* shared = Group(kCategoryFix, "reg-shared-dll");
    // A key deletion with its two locked details, a second unselected one
    // with its detail, and a plain value.
    AddFound(*clsid, true, false, 10);
    AddFound(*clsid, true, true, 1);
    AddFound(*clsid, true, true, 1);
    AddFound(*clsid, false, false, 20);
    AddFound(*clsid, true, true, 2);
    AddFound(*shared, true, false, 5);
    EXPECT_EQ(4, SectionSelectedCount(fix));
    EXPECT_EQ(17, SectionSelectedSize(fix));
    shared->Checked = false;
    EXPECT_EQ(3, SectionSelectedCount(fix));
    SelectSectionItems(fix, true);
    EXPECT_TRUE(shared->Checked);
    EXPECT_EQ(6, SectionSelectedCount(fix));
    SelectSectionItems(fix, false);
    EXPECT_EQ(0, SectionSelectedCount(fix));
    // A group without items gives its found count; the memory group its figure.
    TqvCategory* boost = main_->Engine()->BoostCategory.get();
    EXPECT_EQ(0, SectionMemoryFigure(boost, 35));
    auto* memory = dynamic_cast<TqvItemsMemory*>(Group(kCategoryBoost, "memory")->Scanner.get());
    ASSERT_NE(nullptr, memory);
    memory->Worth = true;
    EXPECT_EQ(35, SectionMemoryFigure(boost, 35));
    EXPECT_EQ(1, SectionSelectedCount(boost));
    Group(kCategoryBoost, "memory")->Checked = false;
    EXPECT_EQ(0, SectionMemoryFigure(boost, 35));
}

} // namespace
