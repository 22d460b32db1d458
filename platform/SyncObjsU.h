#pragma once
// Named events and mutexes through which the main program and the tray talk
// across sessions, users and integrity levels, and a critical section with a
// timed Enter.
//
// Every named object is opened first and created only when that fails, so the
// first process creates it with a descriptor that lets every user open it and,
// from VISTA on, a low integrity label; later processes of any user, session or
// integrity level open the same object. Creation failures are swallowed: the
// handle is then 0, waits return False at once and set/reset do nothing. Names
// are 8-bit text in the system code page.

#include "platform/ClassesU.h"
#include "platform/FileUtilsU.h" // SleepMs

#include <windows.h>

#include <atomic>
#include <string>

// Access rights of the named objects.
inline constexpr DWORD kEventAllAccess = 0x1F0003;      // EVENT_ALL_ACCESS
inline constexpr DWORD kMutexAllAccess = 0x1F0001;      // MUTEX_ALL_ACCESS
inline constexpr DWORD kEventOpenOnlyAccess = 0x120001; // SYNCHRONIZE | READ_CONTROL | query

// A manual-reset event, not signalled when created. Owns its handle.
class TEvent : public TObject {
public:
    // OpenOnly: opens an existing event for waiting (kEventOpenOnlyAccess) and
    // nothing else: Handle 0 when nobody made it. That access lacks
    // EVENT_MODIFY_STATE, so SetEvent/ResetEvent through such an object fail;
    // open-only users only wait.
    TEvent(const std::string& Name, bool OpenOnly);
    ~TEvent() override;
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    // True when signalled within TimeoutMs (an abandoned wait counts too);
    // False at once without a handle.
    bool WaitFor(DWORD TimeoutMs);
    void SetEvent();
    void ResetEvent();

    const std::string& Name() const { return name_; }
    HANDLE Handle() const { return handle_; }

private:
    std::string name_;
    HANDLE handle_ = nullptr;
};

// An event in the global namespace shared by all sessions: "Global\" + Name.
class TGlobalEvent : public TEvent {
public:
    explicit TGlobalEvent(const std::string& Name);
};

// A named mutex. Ownership is per thread (the Windows rule), so the object
// records which thread holds it through this object and how often: a wait that
// fails on one thread changes nothing for the holder, Release on a thread that
// does not hold it is refused, and the destructor releases what the
// destroying thread holds. A mutex held by another thread when the object is
// destroyed stays held until that thread ends (then it is abandoned, which
// the next waiter takes as acquired).
class TMutex : public TObject {
public:
    explicit TMutex(const std::string& Name);
    ~TMutex() override;
    TMutex(const TMutex&) = delete;
    TMutex& operator=(const TMutex&) = delete;

    // True when the calling thread acquired the mutex within TimeoutMs. An
    // abandoned mutex (its owner ended without releasing) counts as acquired:
    // the owner is gone, and the guarded data is ours to repair.
    bool WaitFor(DWORD TimeoutMs);
    // Releases one acquisition of the calling thread. False, changing nothing,
    // when the calling thread does not hold it through this object.
    bool Release();
    // The calling thread holds the mutex through this object.
    bool Owned() const;

    const std::string& Name() const { return name_; }
    HANDLE Handle() const { return handle_; }

private:
    std::string name_;
    HANDLE handle_ = nullptr;
    std::atomic<DWORD> ownerThread_{0};
    int ownCount_ = 0; // touched only by the owning thread
};

// A mutex in the global namespace: "Global\" + Name.
class TGlobalMutex : public TMutex {
public:
    explicit TGlobalMutex(const std::string& Name);
};

// A critical section with a timed Enter. Polling: a waiting thread does not
// queue fairly behind others.
class TCriticalSection : public TObject {
public:
    TCriticalSection();
    ~TCriticalSection() override;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    // On the NT family with a finite time-out: tries every 10 ms and gives up
    // (False) once more than TimeoutMs have passed. With INFINITE, or on
    // Windows 9x: waits without limit, True.
    bool Enter(DWORD TimeoutMs = INFINITE);
    void Leave();

private:
    CRITICAL_SECTION section_;
};
