#pragma once
// Threads on CreateThread (a waitable handle, unlike std::thread) and the
// synchronised call that runs a worker's callback in the GUI thread.

#include "platform/ClassesU.h"

#include <windows.h>

#include <atomic>
#include <functional>

// Created suspended; Start resumes it. Execute runs inside the guard: an
// exception ends the work, never the process. With FreeOnTerminate the object
// deletes itself when Execute ends (allocate it with new, and do not touch it
// after Start: take OpenWaitHandle before Start to wait for its end). Otherwise
// the owner deletes it; the destructor asks for termination and waits (pumping
// on the GUI thread). A thread deleted before Start ends without running
// Execute. The base destructor runs after a subclass's members are gone, so a
// subclass whose Execute uses its own members calls Terminate and WaitFor in
// its own destructor.
class TThread : public TObject {
public:
    explicit TThread(bool freeOnTerminate = false);
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();
    // Asks the work to stop; Execute polls Terminated().
    void Terminate() noexcept { terminated_ = true; }
    bool Terminated() const noexcept { return terminated_; }
    HANDLE Handle() const noexcept { return handle_; }
    DWORD ThreadId() const noexcept { return threadId_; }
    bool Finished() const noexcept { return finished_; }
    // Waits for the end of the thread; on a thread that runs a dispatcher (the GUI
    // thread) it pumps messages meanwhile, so a worker blocked in a synchronised
    // call cannot deadlock it. WAIT_OBJECT_0 or WAIT_TIMEOUT; WAIT_FAILED before
    // Start or on the thread itself (a wait that could never end).
    DWORD WaitFor(DWORD timeoutMs = INFINITE);
    // A new handle to the thread, owned by the caller (CloseHandle), that stays
    // valid after a self-freeing thread has freed itself; nullptr on failure.
    HANDLE OpenWaitHandle() const noexcept;
    // The thread's exit code once finished: 0 normally, 1 when Execute threw.
    DWORD ExitCode() const noexcept { return exitCode_; }

protected:
    virtual void Execute() = 0;
    // Runs fn in the GUI thread, blocking until it returns (see TDispatcher::Call).
    // True when fn ran and returned; false when it threw or there is no GUI side.
    bool Synchronize(const std::function<void()>& fn);

private:
    static DWORD WINAPI ThreadProc(LPVOID param);
    HANDLE handle_ = nullptr;
    DWORD threadId_ = 0;
    bool freeOnTerminate_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> started_{false};
    // Set when the object is deleted before Start: the thread then ends at once.
    std::atomic<bool> abandoned_{false};
    DWORD exitCode_ = 0;
};

enum class TCallResult {
    Ran,    // the callback ran and returned
    Failed, // the callback ran and threw; the guard swallowed it
    NotRun, // no GUI side (no dispatcher, or it is gone)
};

// The GUI thread's dispatcher: a message-only window (HWND_MESSAGE) of the thread
// that called Install. A console program (tests, the engine's test driver)
// installs it on its main thread and waits with PumpedWait.
// Callbacks run in the order they were queued, each inside the guard. When the
// GUI side goes (Uninstall, the window destroyed, the GUI thread ended) every
// waiting Call returns NotRun and every queued Post callable is freed unrun.
class TDispatcher {
public:
    // Creates the window on the calling thread; it becomes the GUI thread. True
    // when installed on this thread (also when it already was); false when
    // another live thread holds it or the window cannot be made.
    static bool Install();
    // Destroys the window (from another thread: asks the GUI thread to); waiting
    // and later calls return NotRun at once.
    static void Uninstall();
    static bool Installed();
    // The GUI thread's id, 0 when none is installed.
    static DWORD GuiThreadId();
    // Runs fn in the GUI thread and waits for it (a sent message); on the GUI
    // thread itself it runs inline. The GUI thread is never blocked by the
    // worker: it only has to pump.
    static TCallResult Call(const std::function<void()>& fn);
    // Queues fn to run in the GUI thread later; false (fn freed) when there is
    // no GUI side or fn is empty.
    static bool Post(std::function<void()> fn);
};

// Waits for handle while dispatching the thread's messages
// (MsgWaitForMultipleObjects with PeekMessageW). WAIT_OBJECT_0, WAIT_TIMEOUT or
// WAIT_FAILED (WAIT_ABANDONED_0 for an abandoned mutex). A null handle only
// pumps for timeoutMs (WAIT_TIMEOUT). A WM_QUIT met meanwhile is posted again
// when the wait ends.
DWORD PumpedWait(HANDLE handle, DWORD timeoutMs);
// Dispatches every waiting message of the thread; false after WM_QUIT (re-posted).
bool PumpMessages();
