// The worker thread on a fake root: what it runs in which order, how its
// progress hook answers, and the restore-point calls around a repair.

#include "KorvTest.h"
#include "StartupTestSupport.h"
#include "engine/qvCleanRep.h"
#include "engine/qvThreads.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/qvCommon.h"

#include <objbase.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <typeinfo>

namespace {

// What happened, in order, from any thread.
class Journal {
public:
    void Add(const std::string& Line)
    {
        std::lock_guard lock(lock_);
        lines_.push_back(Line);
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard lock(lock_);
        return lines_;
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

class JournalItem : public TqvItem {
public:
    JournalItem(TqvItems* Owner, Journal& J, std::string Tag) : TqvItem(Owner), j_(J), tag_(Tag)
    {
        Found = true;
        Selected = true;
    }
    void LoadFromXML(TXMLTag*) override {}
    void Check() override {}
    bool Fix() override
    {
        j_.Add("fix " + tag_);
        return true;
    }

private:
    Journal& j_;
    std::string tag_;
};

class JournalScanner : public TqvItems {
public:
    JournalScanner(TqvMain* Owner, Journal& J, std::string Tag, bool ThrowInClean)
        : TqvItems(Owner), j_(J), tag_(Tag), throwInClean_(ThrowInClean)
    {
        Add(std::make_unique<JournalItem>(this, J, Tag));
    }
    void Scan() override
    {
        // S_FALSE: the worker's thread has COM already.
        const HRESULT com = CoInitialize(nullptr);
        if (SUCCEEDED(com))
            CoUninitialize();
        j_.Add("scan " + tag_ + (com == S_FALSE ? " com" : " no-com"));
        for (int i = 0; i < 3; ++i) {
            j_.Add("step " + tag_ + " " + std::to_string(GetTickCount()));
            if (!Owner->Progress(true))
                break;
        }
    }
    void Clean() override
    {
        if (throwInClean_)
            throw std::runtime_error("clean failed");
        TqvItems::Clean();
    }

private:
    Journal& j_;
    std::string tag_;
    bool throwInClean_;
};

class JournalRoot : public TqvMain {
public:
    explicit JournalRoot(Journal& J) : j_(J) {}
    ~JournalRoot() override { j_.Add("root freed"); }

private:
    Journal& j_;
};

// A root with the three categories, one found item each ("1", "2", "3").
std::shared_ptr<TqvMain> MakeRoot(Journal& J, bool ThrowInFixClean = false)
{
    auto root = std::make_shared<JournalRoot>(J);
    root->MakeBackup = false;
    for (uint8_t k = kCategoryFix; k <= kCategoryClean; ++k) {
        auto category = std::make_unique<TqvCategory>(root.get());
        auto group = std::make_unique<TqvGroup>(root.get());
        group->Scanner = std::make_unique<JournalScanner>(root.get(), J, std::to_string(k),
                                                          ThrowInFixClean && k == kCategoryFix);
        category->Groups.push_back(std::move(group));
        (k == kCategoryFix     ? root->FixCategory
         : k == kCategoryBoost ? root->BoostCategory
                               : root->CleanCategory) = std::move(category);
    }
    return root;
}

class RecordingRestorePoints : public TqvRestorePoints {
public:
    explicit RecordingRestorePoints(Journal& J, bool Opens = true) : j_(J), opens_(Opens) {}
    bool Begin(const std::string& Description, int EventType, int PointType) override
    {
        j_.Add("begin " + std::to_string(EventType) + " " + std::to_string(PointType) + " " +
               Description);
        return opens_;
    }
    bool End(int EventType, int PointType) override
    {
        j_.Add("end " + std::to_string(EventType) + " " + std::to_string(PointType));
        return true;
    }
    bool Cancel(int EventType) override
    {
        j_.Add("cancel " + std::to_string(EventType));
        return true;
    }

private:
    Journal& j_;
    bool opens_;
};

class ExecThread : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(TDispatcher::Install()); }
    void TearDown() override { TDispatcher::Uninstall(); }

    // Runs one worker and waits for its end, pumping.
    void Run(std::shared_ptr<TqvMain> Root, uint8_t Mode, uint8_t Flags, bool RestorePoint,
             TqvExecThread::TProgressEvent Progress, TqvExecThread::TDoneEvent Done,
             TqvRestorePoints* Points)
    {
        auto* worker = new TqvExecThread(std::move(Root), RestorePoint, std::move(Done),
                                         std::move(Progress), Flags, Mode, Points);
        HANDLE end = worker->OpenWaitHandle();
        ASSERT_NE(nullptr, end);
        worker->Start();
        ASSERT_EQ(WAIT_OBJECT_0, PumpedWait(end, 60000));
        CloseHandle(end);
    }

    // The journal lines that matter for the order of work.
    static std::vector<std::string> Work(const std::vector<std::string>& Lines)
    {
        std::vector<std::string> out;
        for (const std::string& l : Lines)
            if (l.rfind("step ", 0) != 0 && l != "root freed")
                out.push_back(l);
        return out;
    }

    Journal j;
};

} // namespace

TEST_F(ExecThread, RepairTable)
{
    const std::string fixText = "begin 100 12 Korvelle Registry Fix";
    const std::string cleanText = "begin 100 12 Korvelle Speed Up and Clean Up";
    struct Case {
        const char* name;
        uint8_t mode;
        uint8_t flags;
        bool restorePoint;
        bool opens;
        bool withProgress;
        bool withDone;
        bool stopInFix;
        bool throwInFixClean;
        std::vector<std::string> expected;
        bool restorePointFailed;
    };
    const Case cases[] = {
        {"flags 0 with a restore point",
         3,
         0,
         true,
         true,
         true,
         true,
         false,
         false,
         {cleanText, "end 101 12", "done"},
         false},
        {"boost alone names the clean point",
         3,
         4,
         true,
         true,
         true,
         true,
         false,
         false,
         {cleanText, "fix 2", "end 101 12", "done"},
         false},
        {"fix and clean, fix first",
         3,
         2 | 8,
         false,
         true,
         true,
         true,
         false,
         false,
         {"fix 1", "fix 3", "done"},
         false},
        {"a stop during the fix cancels and leaves the rest",
         3,
         2 | 4 | 8,
         true,
         true,
         true,
         true,
         true,
         false,
         {fixText, "cancel 101", "done"},
         false},
        {"a failed opening: no end, no cancel",
         3,
         2,
         true,
         false,
         true,
         true,
         false,
         false,
         {fixText, "fix 1", "done"},
         true},
        {"no progress handler goes on",
         3,
         2,
         false,
         true,
         false,
         true,
         false,
         false,
         {"fix 1", "done"},
         false},
        {"no end handler ends silently",
         3,
         2,
         false,
         true,
         true,
         false,
         false,
         false,
         {"fix 1"},
         false},
        {"another mode only ends", 2, 14, true, true, true, true, false, false, {"done"}, false},
        {"a throwing repair still ends the point",
         3,
         2 | 4,
         true,
         true,
         true,
         true,
         false,
         true,
         {fixText, "fix 2", "end 101 12", "done"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Journal journal;
        RecordingRestorePoints points(journal, c.opens);
        int reports = 0;
        int reportsAfterStop = 0;
        bool stopped = false;
        TqvExecThread::TProgressEvent progress;
        if (c.withProgress)
            progress = [&](const TqvUIStatus& Status) {
                ++reports;
                if (stopped)
                    ++reportsAfterStop;
                if (c.stopInFix && Status.Phase == kPhaseClean && Status.Category == kCategoryFix)
                    stopped = true;
                return !stopped;
            };
        bool failedFlag = false;
        TqvExecThread::TDoneEvent done;
        if (c.withDone)
            done = [&](TqvExecThread& Sender) {
                EXPECT_EQ(GetCurrentThreadId(), TDispatcher::GuiThreadId());
                failedFlag = Sender.RestorePointFailed;
                journal.Add("done");
            };
        Run(MakeRoot(journal, c.throwInFixClean), c.mode, c.flags, c.restorePoint, progress, done,
            &points);
        EXPECT_EQ(c.expected, Work(journal.Lines()));
        EXPECT_EQ(c.restorePointFailed, failedFlag);
        EXPECT_EQ(0, reportsAfterStop) << "after a stop no report reaches the handler";
        if (c.withProgress && c.mode == kModeRepair) {
            EXPECT_GT(reports, 0);
        }
    }
}

TEST_F(ExecThread, ScanRunsTheThreeCategoriesWithComAndReportsTheCreatingCaptionFirst)
{
    std::vector<std::wstring> captions;
    Run(
        MakeRoot(j), kModeScan, kScanFlags, false, [](const TqvUIStatus&) { return true; },
        [this](TqvExecThread&) { j.Add("done"); }, nullptr);
    EXPECT_EQ((std::vector<std::string>{"scan 1 com", "scan 2 com", "scan 3 com", "done"}),
              Work(j.Lines()));

    Journal repair;
    RecordingRestorePoints points(repair);
    Run(
        MakeRoot(repair), kModeRepair, 2, true,
        [&captions](const TqvUIStatus& Status) {
            captions.push_back(Status.Caption);
            return true;
        },
        nullptr, &points);
    ASSERT_FALSE(captions.empty());
    EXPECT_EQ(L"Creating System Restore Point...", captions.front());
}

TEST_F(ExecThread, APausedHandlerHoldsTheEngineAndTheRunCompletes)
{
    DWORD blockedFrom = 0;
    DWORD blockedUntil = 0;
    bool blocked = false;
    Run(
        MakeRoot(j), kModeScan, kScanFlags, false,
        [&](const TqvUIStatus&) {
            if (!blocked) {
                blocked = true;
                blockedFrom = GetTickCount();
                // A pause: the GUI thread keeps pumping and does not answer yet.
                PumpedWait(nullptr, 2000);
                blockedUntil = GetTickCount();
            }
            return true;
        },
        [this](TqvExecThread&) { j.Add("done"); }, nullptr);
    ASSERT_TRUE(blocked);
    EXPECT_GE(blockedUntil - blockedFrom, 1900u);
    int steps = 0;
    for (const std::string& line : j.Lines()) {
        if (line.rfind("step ", 0) != 0)
            continue;
        ++steps;
        const DWORD at = static_cast<DWORD>(std::stoul(line.substr(line.rfind(' ') + 1)));
        EXPECT_FALSE(at > blockedFrom && at < blockedUntil) << "the engine moved during the pause";
    }
    EXPECT_EQ(9, steps);
    EXPECT_EQ("done", Work(j.Lines()).back());
}

TEST_F(ExecThread, ARootWhoseOwnerLetsGoLivesUntilTheWorkerEnds)
{
    std::shared_ptr<TqvMain> owner = MakeRoot(j);
    TqvMain* root = owner.get();
    Run(
        owner, kModeScan, kScanFlags, false,
        [&](const TqvUIStatus&) {
            if (owner) {
                owner.reset();
                j.Add("owner let go");
            }
            return true;
        },
        [&](TqvExecThread& Sender) {
            EXPECT_EQ(root, Sender.Main.get());
            EXPECT_FALSE(static_cast<bool>(Sender.Main->OnProgress))
                << "the worker unhooks itself before it ends";
            j.Add("done");
        },
        nullptr);
    // The worker has freed itself, and the root with it.
    std::vector<std::string> lines;
    for (const std::string& l : j.Lines())
        if (l.rfind("step ", 0) != 0)
            lines.push_back(l);
    EXPECT_EQ((std::vector<std::string>{"owner let go", "scan 1 com", "scan 2 com", "scan 3 com",
                                        "done", "root freed"}),
              lines);
}

TEST_F(ExecThread, AWorkerFreedBeforeItStartsLeavesTheRootUnhooked)
{
    std::shared_ptr<TqvMain> root = MakeRoot(j);
    // The root's own handler stays until a worker runs.
    bool ownHandler = false;
    const auto handler = [&ownHandler](const TqvUIStatus&) { return ownHandler = true; };
    root->OnProgress = handler;
    delete new TqvExecThread(root, false, nullptr, nullptr, kRepairFix, kModeRepair);
    // Anything else would be a call into the freed worker.
    ASSERT_TRUE(root->OnProgress.target_type() == typeid(handler));
    EXPECT_TRUE(root->Progress(true));
    EXPECT_TRUE(ownHandler);
}

class ExecThreadReport : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ktest::ScratchDirTest::SetUp();
        ASSERT_TRUE(TDispatcher::Install());
        TProgramFolders folders = ComputeProgramFolders();
        folders.CommonDataDir = dirAnsi_;
        folders.BackupDir = dirAnsi_;
        SetProgramFoldersForTests(folders);
        ResetCleanReportForTests();
    }
    void TearDown() override
    {
        ResetCleanReportForTests();
        ResetProgramFoldersForTests();
        TDispatcher::Uninstall();
        ktest::ScratchDirTest::TearDown();
    }
    void WriteReport(int Entries)
    {
        std::string text = "<cleanrep>\r\n";
        for (int i = 0; i < Entries; ++i)
            text += "    <reg root=\"HKLM\" key=\"Software\\K" + std::to_string(i) +
                    "\" name=\"\" value=\"\" type=\"\" scan=\"exists\" fix=\"\" date=\"" +
                    std::to_string(static_cast<int>(Now())) + "\" />\r\n";
        WriteFile(L"cleanrep.xml", text + "</cleanrep>\r\n");
    }
    void RunMode2()
    {
        Journal journal;
        auto* worker = new TqvExecThread(MakeRoot(journal), false, nullptr, nullptr, 0, 2);
        HANDLE end = worker->OpenWaitHandle();
        worker->Start();
        ASSERT_EQ(WAIT_OBJECT_0, PumpedWait(end, 60000));
        CloseHandle(end);
    }
};

TEST_F(ExecThreadReport, TwoWorkersLoadTheCleanReportOnce)
{
    WriteReport(1);
    RunMode2();
    TqvCleanRep* first = CleanReport();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(1, first->Count());
    WriteReport(2);
    RunMode2();
    EXPECT_EQ(first, CleanReport());
    EXPECT_EQ(1, CleanReport()->Count()) << "loaded once for the life of the program";
}

// ---------------------------------------------------------------------------
// Stop and pause on the worker in the middle of a large walk and a repair.
// Nothing is timed: the root's clock is a counter, every unforced report
// reads it once its stop check passed, and the worker and this thread meet
// at chosen points through events, so each check is a count at an ordered
// moment.

namespace {

// The root's clock: Step milliseconds a reading, so that an unforced report
// is due every 500 / Step readings (none when Step is 0). OnRead runs on the
// worker at every reading; it is set before the worker starts.
struct CountedClock {
    static inline std::atomic<int> reads{0};
    static inline DWORD now = 0;
    static inline DWORD step = 0;
    static inline std::function<void()> onRead;
    static DWORD Read()
    {
        ++reads;
        if (onRead)
            onRead();
        return now += step;
    }
    static void Reset(DWORD Step)
    {
        reads = 0;
        now = 0;
        step = Step;
        onRead = nullptr;
    }
};

// One meeting of the worker and this thread: the worker waits at Meet until
// this thread, woken by Reached, has done its part and called Release.
class Meeting {
public:
    Meeting()
        : reached_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          released_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~Meeting()
    {
        CloseHandle(reached_);
        CloseHandle(released_);
    }
    Meeting(const Meeting&) = delete;
    Meeting& operator=(const Meeting&) = delete;
    // On the worker; once only.
    void Meet()
    {
        if (met_.exchange(true))
            return;
        SetEvent(reached_);
        WaitForSingleObject(released_, 60000);
    }
    bool AwaitOnThisThread() { return PumpedWait(reached_, 60000) == WAIT_OBJECT_0; }
    void Release() { SetEvent(released_); }

private:
    HANDLE reached_;
    HANDLE released_;
    std::atomic<bool> met_{false};
};

constexpr int kWalkKeys = 200;

// A root whose one group walks the missing-files way through a scratch tree
// of kWalkKeys keys, each holding one value that names a missing file: every
// key walked is one finding, in the walk's order.
class WorkerStop : public ExecThread {
protected:
    void SetUp() override
    {
        ExecThread::SetUp();
        key_ = "SOFTWARE\\" + stest::UniqueName("KvWalk");
        scope_ = std::make_unique<stest::KeyTreeScope>(HKEY_CURRENT_USER, key_);
        for (int i = 0; i < kWalkKeys; ++i) {
            HKEY key = nullptr;
            const std::string path = key_ + "\\K" + std::to_string(1000 + i);
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                                                     0, KEY_SET_VALUE, nullptr, &key, nullptr));
            const std::string dead = "C:\\KvGoneWalk\\p" + std::to_string(i) + ".exe";
            RegSetValueExA(key, "dead", 0, REG_SZ, reinterpret_cast<const BYTE*>(dead.c_str()),
                           static_cast<DWORD>(dead.size() + 1));
            RegCloseKey(key);
        }
    }
    void TearDown() override
    {
        CountedClock::Reset(0);
        scope_.reset();
        ExecThread::TearDown();
    }

    std::shared_ptr<TqvMain> WalkRoot()
    {
        const std::string items =
            "<items type=\"missing-files\"><scanlist><item root=\"HKCU\" key=\"" + key_ +
            "\"/></scanlist></items>";
        std::shared_ptr<TqvMain> root =
            stest::LoadedRoot(stest::OneGroupCatalogue("fix", "mf", items));
        root->TickSource = &CountedClock::Read;
        return root;
    }

    // A root of Count found and selected items whose repair is counted.
    std::shared_ptr<TqvMain> RepairRoot(int Count, std::function<void(int)> OnFix)
    {
        struct CountedItem : TqvItem {
            CountedItem(TqvItems* Owner, int Index, std::function<void(int)>& F)
                : TqvItem(Owner), index(Index), onFix(F)
            {
                Found = true;
                Selected = true;
            }
            void LoadFromXML(TXMLTag*) override {}
            void Check() override {}
            bool Fix() override
            {
                onFix(index);
                return true;
            }
            int index;
            std::function<void(int)>& onFix;
        };
        struct Plain : TqvItems {
            using TqvItems::TqvItems;
            void Scan() override {}
        };
        onFix_ = std::move(OnFix);
        auto root = std::make_shared<TqvMain>();
        root->MakeBackup = false;
        root->TickSource = &CountedClock::Read;
        root->FixCategory = std::make_unique<TqvCategory>(root.get());
        auto group = std::make_unique<TqvGroup>(root.get());
        group->Scanner = std::make_unique<Plain>(root.get());
        for (int i = 0; i < Count; ++i)
            group->Scanner->Add(std::make_unique<CountedItem>(group->Scanner.get(), i, onFix_));
        root->FixCategory->Groups.push_back(std::move(group));
        return root;
    }

    // Starts the worker; the caller waits for End.
    TqvExecThread* Start(std::shared_ptr<TqvMain> Root, uint8_t Mode, uint8_t Flags,
                         TqvExecThread::TProgressEvent Progress)
    {
        auto* worker = new TqvExecThread(std::move(Root), false,
                                         [this](TqvExecThread&) { done_ = true; },
                                         std::move(Progress), Flags, Mode);
        end_ = worker->OpenWaitHandle();
        worker->Start();
        return worker;
    }
    bool WaitForEnd()
    {
        const bool ended = end_ && PumpedWait(end_, 120000) == WAIT_OBJECT_0;
        if (end_)
            CloseHandle(end_);
        end_ = nullptr;
        return ended && done_;
    }

    std::string key_;
    std::unique_ptr<stest::KeyTreeScope> scope_;
    std::function<void(int)> onFix_;
    HANDLE end_ = nullptr;
    bool done_ = false;
};

} // namespace

// The stop button between two reports: the worker's latch is read at the
// next key, long before the walk's end, and nothing more is walked.
TEST_F(WorkerStop, AStopAskedMidWalkEndsTheWalkAtTheNextKey)
{
    constexpr size_t kStopAt = 37;
    CountedClock::Reset(0); // no unforced report is ever due
    std::shared_ptr<TqvMain> root = WalkRoot();
    TqvItems* walker = stest::FirstScanner(*root);
    Meeting meeting;
    int readsAtStop = 0;
    CountedClock::onRead = [&] {
        if (walker->Items.size() == kStopAt) {
            readsAtStop = CountedClock::reads;
            meeting.Meet();
        }
    };
    int reports = 0;
    TqvExecThread* worker = Start(root, kModeScan, kScanFlags, [&](const TqvUIStatus&) {
        return ++reports, true;
    });
    ASSERT_TRUE(meeting.AwaitOnThisThread());
    // The worker waits inside its walk: asked from this side, as the wizard's
    // stop button does, not as a report's answer.
    worker->RequestStop();
    const int reportsBeforeStop = reports;
    meeting.Release();
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(kStopAt, walker->Items.size()) << "a key was walked after the stop";
    // Once latched, no report reads the clock or reaches this thread.
    EXPECT_EQ(readsAtStop, CountedClock::reads.load());
    EXPECT_EQ(reportsBeforeStop, reports);

    // Unstopped, the same walk finds every key.
    CountedClock::Reset(0);
    std::shared_ptr<TqvMain> whole = WalkRoot();
    done_ = false;
    Start(whole, kModeScan, kScanFlags, [](const TqvUIStatus&) { return true; });
    ASSERT_TRUE(WaitForEnd());
    EXPECT_EQ(kWalkKeys, stest::FirstScanner(*whole)->FoundCount());
}

// The pause button: the next due report's handler holds the worker, which
// stops walking within that one report interval and walks nothing while
// paused; let go, the walk goes on to its end.
TEST_F(WorkerStop, APausedWalkHoldsWithinOneReportIntervalAndResumes)
{
    constexpr size_t kPauseAt = 50;
    constexpr DWORD kStep = 100;                 // a report due every fifth reading
    constexpr int kInterval = 500 / kStep;
    CountedClock::Reset(kStep);
    std::shared_ptr<TqvMain> root = WalkRoot();
    TqvItems* walker = stest::FirstScanner(*root);
    Meeting meeting;
    CountedClock::onRead = [&] {
        if (walker->Items.size() == kPauseAt)
            meeting.Meet();
    };
    std::atomic<bool> pauseWanted{false};
    int readsAtRequest = -1;
    int readsAtPause = -1;
    size_t foundAtPause = 0;
    size_t foundAfterPause = 0;
    int pauses = 0;
    Start(root, kModeScan, kScanFlags, [&](const TqvUIStatus&) {
        if (pauseWanted.exchange(false)) {
            ++pauses;
            // The worker waits in this call: its count holds while this
            // thread goes on pumping, as the wizard's paused page does.
            readsAtPause = CountedClock::reads;
            foundAtPause = walker->Items.size();
            PumpedWait(nullptr, 300);
            foundAfterPause = walker->Items.size();
            EXPECT_EQ(readsAtPause, CountedClock::reads.load()) << "the worker ran while paused";
        }
        return true;
    });
    ASSERT_TRUE(meeting.AwaitOnThisThread());
    readsAtRequest = CountedClock::reads;
    pauseWanted = true;
    meeting.Release();
    ASSERT_TRUE(WaitForEnd());
    ASSERT_EQ(1, pauses);
    EXPECT_LE(readsAtPause - readsAtRequest, kInterval) << "held later than one report interval";
    EXPECT_GE(foundAtPause, kPauseAt);
    EXPECT_EQ(foundAtPause, foundAfterPause);
    EXPECT_EQ(kWalkKeys, walker->FoundCount()) << "the walk resumed to its end";
}

// The same two buttons during a repair's item loop.
TEST_F(WorkerStop, ARepairStopsAtTheNextItemAndAPauseHoldsIt)
{
    constexpr int kItems = 500;
    constexpr int kStopAt = 123;
    {
        CountedClock::Reset(0);
        Meeting meeting;
        std::vector<int> fixed;
        std::shared_ptr<TqvMain> root = RepairRoot(kItems, [&](int Index) {
            fixed.push_back(Index);
            if (Index == kStopAt)
                meeting.Meet();
        });
        TqvExecThread* worker =
            Start(root, kModeRepair, kRepairFix, [](const TqvUIStatus&) { return true; });
        ASSERT_TRUE(meeting.AwaitOnThisThread());
        worker->RequestStop();
        meeting.Release();
        ASSERT_TRUE(WaitForEnd());
        ASSERT_EQ(static_cast<size_t>(kStopAt + 1), fixed.size())
            << "an item was repaired after the stop";
        EXPECT_EQ(kStopAt, fixed.back());
        EXPECT_EQ(kStopAt + 1, root->FixCategory->DoneCount());
    }
    {
        constexpr DWORD kStep = 100;
        CountedClock::Reset(kStep);
        Meeting meeting;
        std::atomic<int> fixes{0};
        std::shared_ptr<TqvMain> root = RepairRoot(kItems, [&](int Index) {
            ++fixes;
            if (Index == kStopAt)
                meeting.Meet();
        });
        std::atomic<bool> pauseWanted{false};
        int fixesAtRequest = -1;
        int fixesAtPause = -1;
        int fixesAfterPause = -1;
        done_ = false;
        Start(root, kModeRepair, kRepairFix, [&](const TqvUIStatus&) {
            if (pauseWanted.exchange(false)) {
                fixesAtPause = fixes;
                PumpedWait(nullptr, 300);
                fixesAfterPause = fixes;
            }
            return true;
        });
        ASSERT_TRUE(meeting.AwaitOnThisThread());
        fixesAtRequest = fixes;
        pauseWanted = true;
        meeting.Release();
        ASSERT_TRUE(WaitForEnd());
        // Two readings an item (its stop check and its step): one interval
        // is at most three items.
        EXPECT_LE(fixesAtPause - fixesAtRequest, static_cast<int>(500 / kStep / 2 + 1));
        EXPECT_EQ(fixesAtPause, fixesAfterPause) << "an item was repaired while paused";
        EXPECT_EQ(kItems, fixes.load()) << "the repair resumed to its end";
    }
}
