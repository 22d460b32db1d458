#include "platform/ThreadU.h"

#include "platform/GuardU.h"
#include "platform/SysUtilsU.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace {

// Owner of a kernel handle that is NULL when invalid.
struct KernelHandleCloser {
    void operator()(HANDLE h) const noexcept
    {
        if (h)
            CloseHandle(h);
    }
};
using KernelHandle = std::unique_ptr<void, KernelHandleCloser>;

// ---------------------------------------------------------------------------
// Dispatcher state
//
// A worker's Call does not wait on the GUI thread's message processing the way
// SendMessageW does: it queues a record, wakes the window with a notify message
// (sent-message priority, so it is served inside any pump of the GUI thread,
// even one inside a nested SendMessageW), and waits for the record's own event
// or the end of the GUI thread. Whoever takes the GUI side away completes every
// queued record with NotRun under the lock, so no worker can be left waiting
// and the GUI thread never waits for a worker.

enum class TCallState { Queued, Running, Done };

struct TCallWait {
    const std::function<void()>* fn = nullptr;
    HANDLE done = nullptr; // the worker's event, set once the result is in
    TCallState state = TCallState::Queued;
    TCallResult result = TCallResult::NotRun;
};

// One queued item: a worker's waiting Call (call set) or a Post's owned callable.
struct TPending {
    uint64_t id = 0;
    TCallWait* call = nullptr;
    std::function<void()> posted;
};

constexpr UINT kDrainMessage = WM_APP + 1;
constexpr UINT kCloseMessage = WM_APP + 2;
constexpr wchar_t kWindowClass[] = L"KorvelleDispatchWindow";

struct TDispatcherState {
    HWND wnd = nullptr;
    DWORD guiThreadId = 0;
    // Shared so a worker waiting on it keeps it open across an Uninstall.
    std::shared_ptr<void> guiThread;
    std::deque<TPending> queue;
    uint64_t nextId = 1;
};

// The queue lock: held only for short bookkeeping, never while a callback runs
// or a window is created or destroyed.
std::mutex gLock;
// Orders Install and Uninstall against each other; never taken under gLock.
std::mutex gInstallLock;
TDispatcherState gState;

void CompleteNotRun(TCallWait& wait) noexcept
{
    HANDLE done = wait.done;
    wait.state = TCallState::Done;
    wait.result = TCallResult::NotRun;
    // The worker may return and drop the record as soon as this is set.
    SetEvent(done);
}

// Takes the GUI side away when it still is window wnd (any window when wnd is
// null): waiting calls end with NotRun, posted callables are freed unrun.
void Detach(HWND wnd) noexcept
{
    std::deque<TPending> taken;
    std::shared_ptr<void> guiThread;
    {
        std::lock_guard lock(gLock);
        if (!gState.wnd || (wnd && gState.wnd != wnd))
            return;
        gState.wnd = nullptr;
        gState.guiThreadId = 0;
        guiThread = std::move(gState.guiThread);
        // Completed under the lock: a worker that woke on the end of the GUI
        // thread looks at its record's state under the same lock.
        for (TPending& p : gState.queue) {
            if (p.call)
                CompleteNotRun(*p.call);
        }
        taken = std::move(gState.queue);
        gState.queue.clear();
    }
    // The callables' destructors may call back into the dispatcher.
    Guard([&] { taken.clear(); });
}

// Removes the queued item id; false when it has already been taken.
bool RemoveQueued(uint64_t id, std::function<void()>* posted)
{
    for (auto it = gState.queue.begin(); it != gState.queue.end(); ++it) {
        if (it->id == id) {
            if (posted)
                *posted = std::move(it->posted);
            gState.queue.erase(it);
            return true;
        }
    }
    return false;
}

// Runs every queued item in order, one at a time, outside the lock. A callback
// that pumps (a paused progress handler) drains the following items itself.
void Drain(HWND wnd)
{
    for (;;) {
        TPending item;
        {
            std::lock_guard lock(gLock);
            if (gState.wnd != wnd || gState.queue.empty())
                return;
            item = std::move(gState.queue.front());
            gState.queue.pop_front();
            if (item.call)
                item.call->state = TCallState::Running;
        }
        if (item.call) {
            TCallWait& wait = *item.call;
            HANDLE done = wait.done;
            wait.result = Guard(*wait.fn) ? TCallResult::Ran : TCallResult::Failed;
            SetEvent(done);
        } else {
            Guard(item.posted);
            Guard([&] { item.posted = nullptr; });
        }
    }
}

LRESULT CALLBACK DispatchWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp)
{
    LRESULT result = 0;
    Guard([&] {
        switch (msg) {
        case kDrainMessage:
            Drain(wnd);
            break;
        case kCloseMessage:
            // An Uninstall from another thread: only the owning thread may
            // destroy the window.
            DestroyWindow(wnd);
            break;
        case WM_NCDESTROY:
            Detach(wnd);
            break;
        default:
            result = DefWindowProcW(wnd, msg, wp, lp);
            break;
        }
    });
    return result;
}

bool RegisterDispatchClass()
{
    static std::once_flag once;
    static bool registered = false;
    std::call_once(once, [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = &DispatchWndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kWindowClass;
        registered = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    });
    return registered;
}

// Dispatches up to a batch of waiting messages, keeping a WM_QUIT for later so
// the caller can go on waiting and post it again at its end.
void PumpBatch(bool& quit, int& quitCode)
{
    // Bounded so a steady stream of messages cannot keep the wait from seeing
    // its handle.
    constexpr int kBatch = 64;
    MSG msg;
    for (int i = 0; i < kBatch && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (msg.message == WM_QUIT) {
            quit = true;
            quitCode = static_cast<int>(msg.wParam);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// TThread

TThread::TThread(bool freeOnTerminate) : freeOnTerminate_(freeOnTerminate)
{
    handle_ = CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &threadId_);
    if (!handle_)
        RaiseLastOSError();
}

TThread::~TThread()
{
    if (!handle_)
        return;
    // A self-freeing thread deletes itself on its own thread: nothing to wait for.
    if (GetCurrentThreadId() != threadId_) {
        Terminate();
        if (!started_.exchange(true)) {
            abandoned_ = true;
            ResumeThread(handle_);
        }
        WaitFor(INFINITE);
    }
    CloseHandle(handle_);
}

void TThread::Start()
{
    if (started_.exchange(true))
        return;
    // A self-freeing object may be gone once the thread runs: nothing after this.
    ResumeThread(handle_);
}

DWORD TThread::WaitFor(DWORD timeoutMs)
{
    if (!started_ || GetCurrentThreadId() == threadId_)
        return WAIT_FAILED;
    if (GetCurrentThreadId() == TDispatcher::GuiThreadId())
        return PumpedWait(handle_, timeoutMs);
    return WaitForSingleObject(handle_, timeoutMs);
}

HANDLE TThread::OpenWaitHandle() const noexcept
{
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), &copy, SYNCHRONIZE,
                         FALSE, 0))
        return nullptr;
    return copy;
}

bool TThread::Synchronize(const std::function<void()>& fn)
{
    return TDispatcher::Call(fn) == TCallResult::Ran;
}

DWORD WINAPI TThread::ThreadProc(LPVOID param)
{
    auto* self = static_cast<TThread*>(param);
    // Deleted before Start: the destructor is waiting for this thread to end.
    if (self->abandoned_)
        return 0;
    bool ok = Guard([self] { self->Execute(); });
    DWORD code = ok ? 0 : 1;
    bool freeSelf = self->freeOnTerminate_;
    self->exitCode_ = code;
    self->finished_ = true;
    if (freeSelf)
        Guard([self] { delete self; });
    return code;
}

// ---------------------------------------------------------------------------
// TDispatcher

bool TDispatcher::Install()
{
    std::lock_guard installLock(gInstallLock);
    DWORD self = GetCurrentThreadId();
    HWND stale = nullptr;
    {
        std::lock_guard lock(gLock);
        if (gState.wnd) {
            bool alive = IsWindow(gState.wnd) &&
                         (!gState.guiThread ||
                          WaitForSingleObject(gState.guiThread.get(), 0) == WAIT_TIMEOUT);
            if (alive)
                return gState.guiThreadId == self;
            // The GUI thread ended without Uninstall (its window went with it).
            stale = gState.wnd;
        }
    }
    if (stale)
        Detach(stale);

    if (!RegisterDispatchClass())
        return false;
    HANDLE threadCopy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &threadCopy,
                         SYNCHRONIZE, FALSE, 0))
        return false;
    std::shared_ptr<void> guiThread(threadCopy, KernelHandleCloser{});
    HWND wnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (!wnd)
        return false;
    std::lock_guard lock(gLock);
    gState.wnd = wnd;
    gState.guiThreadId = self;
    gState.guiThread = std::move(guiThread);
    return true;
}

void TDispatcher::Uninstall()
{
    std::lock_guard installLock(gInstallLock);
    HWND wnd;
    DWORD gui;
    {
        std::lock_guard lock(gLock);
        wnd = gState.wnd;
        gui = gState.guiThreadId;
    }
    if (!wnd)
        return;
    Detach(wnd);
    if (gui == GetCurrentThreadId())
        DestroyWindow(wnd);
    else
        PostMessageW(wnd, kCloseMessage, 0, 0);
}

bool TDispatcher::Installed()
{
    std::lock_guard lock(gLock);
    return gState.wnd && IsWindow(gState.wnd);
}

DWORD TDispatcher::GuiThreadId()
{
    std::lock_guard lock(gLock);
    return gState.guiThreadId;
}

TCallResult TDispatcher::Call(const std::function<void()>& fn)
{
    bool onGuiThread;
    {
        std::lock_guard lock(gLock);
        if (!gState.wnd)
            return TCallResult::NotRun;
        onGuiThread = gState.guiThreadId == GetCurrentThreadId();
    }
    if (onGuiThread)
        return Guard(fn) ? TCallResult::Ran : TCallResult::Failed;

    KernelHandle done(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!done)
        return TCallResult::NotRun;
    TCallWait wait;
    wait.fn = &fn;
    wait.done = done.get();
    uint64_t id;
    HWND wnd;
    std::shared_ptr<void> guiThread;
    {
        std::lock_guard lock(gLock);
        if (!gState.wnd)
            return TCallResult::NotRun;
        id = gState.nextId++;
        gState.queue.push_back(TPending{.id = id, .call = &wait, .posted = {}});
        wnd = gState.wnd;
        guiThread = gState.guiThread;
    }

    if (!SendNotifyMessageW(wnd, kDrainMessage, 0, 0)) {
        std::lock_guard lock(gLock);
        if (wait.state == TCallState::Queued) {
            RemoveQueued(id, nullptr);
            return TCallResult::NotRun;
        }
        // Already taken by the GUI thread or completed: wait below as usual.
    }

    HANDLE handles[2] = {done.get(), guiThread.get()};
    DWORD count = guiThread ? 2 : 1;
    DWORD r = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0)
        return wait.result;

    {
        std::lock_guard lock(gLock);
        switch (wait.state) {
        case TCallState::Queued:
            RemoveQueued(id, nullptr);
            return TCallResult::NotRun;
        case TCallState::Done:
            return wait.result;
        case TCallState::Running:
            // The GUI thread ended inside the callback: nobody touches the record now.
            if (r == WAIT_OBJECT_0 + 1)
                return TCallResult::Failed;
            break;
        }
    }
    // The wait itself failed while the callback runs: its end still sets the event.
    WaitForSingleObject(done.get(), INFINITE);
    return wait.result;
}

bool TDispatcher::Post(std::function<void()> fn)
{
    if (!fn)
        return false;
    uint64_t id;
    HWND wnd;
    {
        std::lock_guard lock(gLock);
        if (!gState.wnd)
            return false;
        id = gState.nextId++;
        gState.queue.push_back(TPending{.id = id, .call = nullptr, .posted = std::move(fn)});
        wnd = gState.wnd;
    }
    if (PostMessageW(wnd, kDrainMessage, 0, 0))
        return true;
    // The window is gone or its queue is full: take the callable back unless
    // another wake-up has already run it.
    std::function<void()> unrun;
    bool removed;
    {
        std::lock_guard lock(gLock);
        removed = RemoveQueued(id, &unrun);
    }
    Guard([&] { unrun = nullptr; });
    return !removed;
}

// ---------------------------------------------------------------------------
// Pumped waits

DWORD PumpedWait(HANDLE handle, DWORD timeoutMs)
{
    const ULONGLONG start = GetTickCount64();
    const DWORD count = handle ? 1 : 0;
    bool quit = false;
    int quitCode = 0;
    DWORD result;
    for (;;) {
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            ULONGLONG elapsed = GetTickCount64() - start;
            remaining = elapsed >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - elapsed);
        }
        // MWMO_INPUTAVAILABLE: also wake for messages that were already in the
        // queue before this call, not only for new ones.
        DWORD r = MsgWaitForMultipleObjectsEx(count, handle ? &handle : nullptr, remaining,
                                              QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_OBJECT_0 + count) {
            PumpBatch(quit, quitCode);
            if (remaining == 0) {
                // Time is up: one last look at the handle, then stop pumping.
                result = handle && WaitForSingleObject(handle, 0) == WAIT_OBJECT_0 ? WAIT_OBJECT_0
                                                                                   : WAIT_TIMEOUT;
                break;
            }
            continue;
        }
        result = r;
        break;
    }
    if (quit)
        PostQuitMessage(quitCode);
    return result;
}

bool PumpMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Left for the program's own message loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}
