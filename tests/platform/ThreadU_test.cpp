#include "platform/ThreadU.h"

#include "platform/GuardU.h"

#include "KorvTest.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Generous bounds: a fault fails the test instead of hanging the run.
constexpr DWORD kLongWaitMs = 20000;

std::mutex gGuardedLock;
std::vector<std::string> gGuarded;
void RecordingHook(const char* text)
{
    std::lock_guard lock(gGuardedLock);
    gGuarded.push_back(text);
}
bool WasGuarded(const std::string& text)
{
    std::lock_guard lock(gGuardedLock);
    for (const std::string& s : gGuarded) {
        if (s == text)
            return true;
    }
    return false;
}

// A worker running a lambda. Its own destructor stops and awaits the thread
// before the lambda goes.
class TFnThread : public TThread {
public:
    explicit TFnThread(std::function<void(TFnThread&)> body) : body_(std::move(body)) {}
    ~TFnThread() override
    {
        Terminate();
        // A worker stuck by a fault would hang the run: stop the program instead.
        if (WaitFor(kLongWaitMs) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "a worker thread did not end; stopping the test program\n");
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
    using TThread::Synchronize;

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(TFnThread&)> body_;
};

struct Event {
    Event() : h(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { CloseHandle(h); }
    HANDLE h;
};

// Pumps on the GUI thread until done() or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kLongWaitMs)
{
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() > end)
            return false;
        PumpedWait(nullptr, 5);
    }
    return true;
}

// This process's dispatch window: other test programs of the prefix, running
// at the same time, have their own.
HWND FindDispatchWindow()
{
    for (HWND wnd = FindWindowExW(HWND_MESSAGE, nullptr, L"KorvelleDispatchWindow", nullptr); wnd;
         wnd = FindWindowExW(HWND_MESSAGE, wnd, L"KorvelleDispatchWindow", nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(wnd, &pid);
        if (pid == GetCurrentProcessId())
            return wnd;
    }
    return nullptr;
}

class ThreadU : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldHook_ = SetGuardHook(&RecordingHook);
        {
            std::lock_guard lock(gGuardedLock);
            gGuarded.clear();
        }
        ASSERT_TRUE(TDispatcher::Install()) << "error " << GetLastError();
    }
    void TearDown() override
    {
        TDispatcher::Uninstall();
        PumpMessages();
        SetGuardHook(oldHook_);
    }
    TGuardHook oldHook_ = nullptr;
};

} // namespace

TEST_F(ThreadU, ThousandCallsRunInOrderOnGuiThreadWhileWorkerWaits)
{
    constexpr int kCalls = 1000;
    std::vector<int> order;
    std::vector<DWORD> threadIds;
    std::atomic<int> workerAt{-1};
    int workerMovedOn = 0; // seen in a callback: the worker had gone past its call
    int notRan = 0;        // seen by the worker
    int returnedEarly = 0; // seen by the worker: its call returned before the callback ended

    TFnThread worker([&](TFnThread&) {
        for (int i = 0; i < kCalls; ++i) {
            workerAt = i;
            bool callbackEnded = false;
            TCallResult r = TDispatcher::Call([&] {
                order.push_back(i);
                threadIds.push_back(GetCurrentThreadId());
                // A slow callback now and then, so a worker that does not wait shows.
                if (i % 100 == 0)
                    Sleep(20);
                if (workerAt != i)
                    ++workerMovedOn;
                callbackEnded = true;
            });
            if (r != TCallResult::Ran)
                ++notRan;
            if (!callbackEnded)
                ++returnedEarly;
        }
    });
    worker.Start();
    ASSERT_EQ(WAIT_OBJECT_0, worker.WaitFor(kLongWaitMs));

    EXPECT_EQ(0, notRan);
    EXPECT_EQ(0, returnedEarly);
    EXPECT_EQ(0, workerMovedOn);
    ASSERT_EQ(static_cast<size_t>(kCalls), order.size());
    for (int i = 0; i < kCalls; ++i) {
        EXPECT_EQ(i, order[i]) << "call " << i;
        EXPECT_EQ(GetCurrentThreadId(), threadIds[i]) << "call " << i;
    }
    EXPECT_EQ(0u, worker.ExitCode());
}

TEST_F(ThreadU, CallOnGuiThreadRunsInline)
{
    DWORD ranOn = 0;
    EXPECT_EQ(TCallResult::Ran, TDispatcher::Call([&] { ranOn = GetCurrentThreadId(); }));
    EXPECT_EQ(GetCurrentThreadId(), ranOn);
    EXPECT_EQ(GetCurrentThreadId(), TDispatcher::GuiThreadId());
    EXPECT_TRUE(TDispatcher::Installed());
    // A second Install on the same thread keeps the dispatcher.
    EXPECT_TRUE(TDispatcher::Install());
    EXPECT_EQ(TCallResult::Failed,
              TDispatcher::Call([] { throw std::runtime_error("inline callback failed"); }));
    EXPECT_TRUE(WasGuarded("inline callback failed"));
}

TEST_F(ThreadU, ThrowingCallbackLeavesBothThreadsRunningAndTellsWorker)
{
    TCallResult thrown = TCallResult::Ran;
    TCallResult after = TCallResult::NotRun;
    bool synchronizeAnswer = true;
    bool ranAfter = false;

    TFnThread worker([&](TFnThread& self) {
        thrown = TDispatcher::Call([] { throw std::runtime_error("callback failed"); });
        synchronizeAnswer = self.Synchronize([] { throw 7; });
        after = TDispatcher::Call([&] { ranAfter = true; });
    });
    worker.Start();
    ASSERT_EQ(WAIT_OBJECT_0, worker.WaitFor(kLongWaitMs));

    EXPECT_EQ(TCallResult::Failed, thrown);
    EXPECT_FALSE(synchronizeAnswer);
    EXPECT_EQ(TCallResult::Ran, after);
    EXPECT_TRUE(ranAfter);
    EXPECT_TRUE(WasGuarded("callback failed"));
    EXPECT_TRUE(WasGuarded("unknown exception"));
    // The worker went on to its end normally.
    EXPECT_EQ(0u, worker.ExitCode());
    // The GUI side still serves calls.
    TFnThread second([&](TFnThread&) { after = TDispatcher::Call([] {}); });
    after = TCallResult::NotRun;
    second.Start();
    ASSERT_EQ(WAIT_OBJECT_0, second.WaitFor(kLongWaitMs));
    EXPECT_EQ(TCallResult::Ran, after);
}

TEST_F(ThreadU, GuiWaitForCallingWorkerEndsWithoutDeadlock)
{
    std::atomic<int> calls{0};
    TFnThread worker([&](TFnThread& self) {
        while (!self.Terminated())
            TDispatcher::Call([&] { ++calls; });
    });
    worker.Start();
    ASSERT_TRUE(PumpUntil([&] { return calls > 10; }));

    // A wait that times out still serves the worker's calls meanwhile (waits
    // again while a loaded machine has not run the worker yet).
    const int before = calls;
    for (int i = 0; i < 100 && calls == before; ++i)
        ASSERT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), worker.WaitFor(100));
    EXPECT_GT(calls, before);

    worker.Terminate();
    EXPECT_EQ(WAIT_OBJECT_0, worker.WaitFor(kLongWaitMs));
    EXPECT_TRUE(worker.Finished());
}

TEST_F(ThreadU, PausedHandlerHoldsWorkerInsideCall)
{
    // The progress handler pauses by pumping until resumed; the resume arrives
    // as a posted callback from a third thread.
    std::atomic<bool> paused{true};
    std::atomic<bool> inHandler{false};
    std::atomic<bool> workerPastCall{false};
    bool workerMovedWhilePaused = false;
    bool resumedInTime = false;
    ULONGLONG callMs = 0;

    TFnThread worker([&](TFnThread&) {
        ULONGLONG start = GetTickCount64();
        TDispatcher::Call([&] {
            inHandler = true;
            resumedInTime = PumpUntil([&] {
                workerMovedWhilePaused |= workerPastCall.load();
                return !paused;
            });
        });
        callMs = GetTickCount64() - start;
        workerPastCall = true;
    });
    TFnThread resumer([&](TFnThread&) {
        // Counted from the pause itself, however late a loaded machine runs the worker.
        for (int i = 0; i < 2000 && !inHandler; ++i)
            Sleep(5);
        Sleep(150);
        TDispatcher::Post([&] { paused = false; });
    });
    worker.Start();
    resumer.Start();
    ASSERT_EQ(WAIT_OBJECT_0, worker.WaitFor(kLongWaitMs));
    ASSERT_EQ(WAIT_OBJECT_0, resumer.WaitFor(kLongWaitMs));

    EXPECT_TRUE(resumedInTime);
    EXPECT_FALSE(workerMovedWhilePaused);
    EXPECT_GE(callMs, 100u);
}

namespace {

std::atomic<int> gCountedDestroyed{0};
std::atomic<int> gCountedExecuted{0};
DWORD gCountedSyncThread = 0;

class TCountedThread : public TThread {
public:
    explicit TCountedThread(bool throwInWork) : TThread(true), throw_(throwInWork) {}
    ~TCountedThread() override { ++gCountedDestroyed; }

protected:
    void Execute() override
    {
        ++gCountedExecuted;
        // Like a worker's end report: a synchronised call just before the end.
        Synchronize([] { gCountedSyncThread = GetCurrentThreadId(); });
        if (throw_)
            throw std::runtime_error("self-freeing work failed");
    }

private:
    bool throw_;
};

} // namespace

TEST_F(ThreadU, SelfFreeingThreadIsDestroyedOnce)
{
    for (bool throwInWork : {false, true}) {
        SCOPED_TRACE(throwInWork ? "throwing work" : "normal work");
        gCountedDestroyed = 0;
        gCountedExecuted = 0;
        gCountedSyncThread = 0;
        auto* t = new TCountedThread(throwInWork);
        HANDLE h = t->OpenWaitHandle();
        ASSERT_NE(nullptr, h);
        t->Start();
        EXPECT_EQ(WAIT_OBJECT_0, PumpedWait(h, kLongWaitMs));
        CloseHandle(h);
        // Time for a second, faulty destruction to show.
        PumpedWait(nullptr, 50);
        EXPECT_EQ(1, gCountedExecuted);
        EXPECT_EQ(1, gCountedDestroyed);
        EXPECT_EQ(GetCurrentThreadId(), gCountedSyncThread);
    }
    EXPECT_TRUE(WasGuarded("self-freeing work failed"));

    // Deleted before Start: the work never runs, the object goes once.
    gCountedDestroyed = 0;
    gCountedExecuted = 0;
    delete new TCountedThread(false);
    EXPECT_EQ(0, gCountedExecuted);
    EXPECT_EQ(1, gCountedDestroyed);
}

TEST_F(ThreadU, ThrowingWorkBodyDoesNotEndProcess)
{
    struct Case {
        const char* name;
        std::function<void()> body;
        const char* guarded;
    };
    const Case cases[] = {
        {"std::exception", [] { throw std::runtime_error("work failed"); }, "work failed"},
        {"other type", [] { throw 42; }, "unknown exception"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFnThread worker([&](TFnThread&) { c.body(); });
        worker.Start();
        ASSERT_EQ(WAIT_OBJECT_0, worker.WaitFor(kLongWaitMs));
        EXPECT_TRUE(worker.Finished());
        EXPECT_EQ(1u, worker.ExitCode());
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(worker.Handle(), &code));
        EXPECT_EQ(1u, code);
        EXPECT_TRUE(WasGuarded(c.guarded));
    }
}

TEST_F(ThreadU, WaitForRefusesWaitsThatCouldNeverEnd)
{
    DWORD selfWait = 0;
    TFnThread worker([&](TFnThread& self) { selfWait = self.WaitFor(INFINITE); });
    EXPECT_EQ(WAIT_FAILED, worker.WaitFor(INFINITE)); // not started
    worker.Start();
    ASSERT_EQ(WAIT_OBJECT_0, worker.WaitFor(kLongWaitMs));
    EXPECT_EQ(WAIT_FAILED, selfWait);
}

TEST_F(ThreadU, CallWithoutDispatcherReturnsNotRunAtOnce)
{
    TDispatcher::Uninstall();
    EXPECT_FALSE(TDispatcher::Installed());
    EXPECT_EQ(0u, TDispatcher::GuiThreadId());

    bool ran = false;
    EXPECT_EQ(TCallResult::NotRun, TDispatcher::Call([&] { ran = true; }));
    EXPECT_FALSE(TDispatcher::Post([&] { ran = true; }));

    TCallResult fromWorker = TCallResult::Ran;
    ULONGLONG workerMs = 0;
    TFnThread worker([&](TFnThread&) {
        ULONGLONG start = GetTickCount64();
        fromWorker = TDispatcher::Call([&] { ran = true; });
        workerMs = GetTickCount64() - start;
    });
    worker.Start();
    // A plain wait: with no GUI side nothing needs this thread.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker.Handle(), kLongWaitMs));
    EXPECT_EQ(TCallResult::NotRun, fromWorker);
    EXPECT_LT(workerMs, 1000u);
    PumpMessages();
    EXPECT_FALSE(ran);
}

TEST_F(ThreadU, GuiSideGoingAwayReleasesWaitingWorkerAndFreesPosts)
{
    struct Case {
        const char* name;
        std::function<void()> takeAway;
    };
    const Case cases[] = {
        {"Uninstall", [] { TDispatcher::Uninstall(); }},
        {"window destroyed", [] { DestroyWindow(FindDispatchWindow()); }},
        {"Uninstall from another thread",
         [] {
             TFnThread other([](TFnThread&) { TDispatcher::Uninstall(); });
             other.Start();
             // Not WaitFor: that would pump and serve the waiting worker.
             WaitForSingleObject(other.Handle(), kLongWaitMs);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(TDispatcher::Install());
        ASSERT_NE(nullptr, FindDispatchWindow());

        bool postedRan = false;
        auto token = std::make_shared<int>(1);
        std::weak_ptr<int> watch = token;
        ASSERT_TRUE(TDispatcher::Post([&postedRan, token] { postedRan = true; }));
        token.reset();

        Event calling;
        bool callbackRan = false;
        TCallResult result = TCallResult::Ran;
        TFnThread worker([&](TFnThread&) {
            SetEvent(calling.h);
            result = TDispatcher::Call([&] { callbackRan = true; });
        });
        worker.Start();
        // This thread does not pump: the worker stays queued until the GUI side goes.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(calling.h, kLongWaitMs));
        Sleep(50);
        c.takeAway();

        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker.Handle(), kLongWaitMs));
        EXPECT_EQ(TCallResult::NotRun, result);
        EXPECT_FALSE(TDispatcher::Installed());
        EXPECT_TRUE(watch.expired()) << "the posted callable was not freed";
        EXPECT_FALSE(TDispatcher::Post([] {}));
        PumpMessages();
        EXPECT_FALSE(callbackRan);
        EXPECT_FALSE(postedRan);
        EXPECT_EQ(nullptr, FindDispatchWindow());
    }
}

TEST_F(ThreadU, GuiThreadEndingReleasesWaitingWorker)
{
    TDispatcher::Uninstall();
    Event installed;
    Event release;
    bool installedThere = false;
    TFnThread gui([&](TFnThread&) {
        installedThere = TDispatcher::Install();
        SetEvent(installed.h);
        // Ends without Uninstall and without ever pumping.
        WaitForSingleObject(release.h, kLongWaitMs);
    });
    gui.Start();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(installed.h, kLongWaitMs));
    ASSERT_TRUE(installedThere);
    EXPECT_EQ(gui.ThreadId(), TDispatcher::GuiThreadId());
    // Another live thread holds the dispatcher.
    EXPECT_FALSE(TDispatcher::Install());

    Event calling;
    TCallResult result = TCallResult::Ran;
    TFnThread worker([&](TFnThread&) {
        SetEvent(calling.h);
        result = TDispatcher::Call([] {});
    });
    worker.Start();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(calling.h, kLongWaitMs));
    Sleep(50);
    SetEvent(release.h);
    ASSERT_EQ(WAIT_OBJECT_0, gui.WaitFor(kLongWaitMs));
    ASSERT_EQ(WAIT_OBJECT_0, worker.WaitFor(kLongWaitMs));
    EXPECT_EQ(TCallResult::NotRun, result);

    EXPECT_FALSE(TDispatcher::Installed());
    EXPECT_EQ(TCallResult::NotRun, TDispatcher::Call([] {}));
    // The dead thread's dispatcher does not block a new one.
    EXPECT_TRUE(TDispatcher::Install());
    EXPECT_EQ(GetCurrentThreadId(), TDispatcher::GuiThreadId());
}

TEST_F(ThreadU, PostRunsLaterInOrderOnGuiThread)
{
    constexpr int kPosts = 200;
    std::vector<int> order;
    std::vector<DWORD> threadIds;
    int refused = 0;
    TFnThread worker([&](TFnThread&) {
        for (int i = 0; i < kPosts; ++i) {
            if (!TDispatcher::Post([&order, &threadIds, i] {
                    order.push_back(i);
                    threadIds.push_back(GetCurrentThreadId());
                }))
                ++refused;
        }
    });
    worker.Start();
    ASSERT_EQ(WAIT_OBJECT_0, worker.WaitFor(kLongWaitMs));
    ASSERT_TRUE(PumpUntil([&] { return order.size() >= static_cast<size_t>(kPosts); }));
    EXPECT_EQ(0, refused);
    for (int i = 0; i < kPosts; ++i) {
        EXPECT_EQ(i, order[i]);
        EXPECT_EQ(GetCurrentThreadId(), threadIds[i]);
    }

    // On the GUI thread too a post waits for the pump; a throwing one is guarded.
    bool ran = false;
    ASSERT_TRUE(TDispatcher::Post([] { throw std::runtime_error("posted callback failed"); }));
    ASSERT_TRUE(TDispatcher::Post([&] { ran = true; }));
    EXPECT_FALSE(ran);
    EXPECT_TRUE(PumpMessages());
    EXPECT_TRUE(ran);
    EXPECT_TRUE(WasGuarded("posted callback failed"));
    EXPECT_FALSE(TDispatcher::Post(nullptr));
}

TEST_F(ThreadU, PumpedWaitTimesOutSignalsAndKeepsQuit)
{
    Event ev;
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), PumpedWait(ev.h, 60));
    EXPECT_GE(GetTickCount64() - start, 50u);
    SetEvent(ev.h);
    EXPECT_EQ(WAIT_OBJECT_0, PumpedWait(ev.h, kLongWaitMs));

    // A quit request met while waiting stays for the program's own loop.
    PostQuitMessage(5);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), PumpedWait(nullptr, 20));
    EXPECT_FALSE(PumpMessages());
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), msg.message);
    EXPECT_EQ(5u, msg.wParam);
}
