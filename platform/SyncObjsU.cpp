#include "platform/SyncObjsU.h"

#include "platform/BindingU.h"
#include "platform/SecurityU.h"
#include "platform/WinVersionU.h"

#include <cassert>

namespace {

constexpr const char* kGlobalPrefix = "Global\\";

// The descriptors of the named objects: the world group may do everything
// with them (the unelevated tray and other users' programs must open them;
// they carry signals, not code). Built on first use, kept to process exit.
SECURITY_ATTRIBUTES* EventSecurity()
{
    static SECURITY_ATTRIBUTES* const attributes =
        MakeSecurityAttributes(MakeWorldAccessAcl(kEventAllAccess));
    return attributes;
}

SECURITY_ATTRIBUTES* MutexSecurity()
{
    static SECURITY_ATTRIBUTES* const attributes =
        MakeSecurityAttributes(MakeWorldAccessAcl(kMutexAllAccess));
    return attributes;
}

// Just after creation, so that low-integrity processes may open it too. The
// moment between creating and labelling only denies them.
void LabelLow(const std::string& name)
{
    SetObjectIntegrityLabel(name, SE_KERNEL_OBJECT, kLowIntegrityRid, kNoWriteUpPolicy);
}

bool Acquired(DWORD waitResult)
{
    return waitResult == WAIT_OBJECT_0 || waitResult == WAIT_ABANDONED;
}

} // namespace

// ---------------------------------------------------------------------------
// TEvent

TEvent::TEvent(const std::string& Name, bool OpenOnly) : name_(Name)
{
    if (OpenOnly) {
        handle_ = OpenEventA(kEventOpenOnlyAccess, FALSE, name_.c_str());
        return;
    }
    handle_ = OpenEventA(kEventAllAccess, FALSE, name_.c_str());
    if (handle_)
        return;
    handle_ = CreateEventA(EventSecurity(), TRUE, FALSE, name_.c_str());
    // Another process may have created it between the open and the create;
    // its creator labels it.
    if (handle_ && GetLastError() != ERROR_ALREADY_EXISTS)
        LabelLow(name_);
}

TEvent::~TEvent()
{
    if (handle_)
        CloseHandle(handle_);
}

bool TEvent::WaitFor(DWORD TimeoutMs)
{
    if (!handle_)
        return false;
    return Acquired(WaitForSingleObject(handle_, TimeoutMs));
}

void TEvent::SetEvent()
{
    if (handle_)
        ::SetEvent(handle_);
}

void TEvent::ResetEvent()
{
    if (handle_)
        ::ResetEvent(handle_);
}

TGlobalEvent::TGlobalEvent(const std::string& Name) : TEvent(kGlobalPrefix + Name, false) {}

// ---------------------------------------------------------------------------
// TMutex

TMutex::TMutex(const std::string& Name) : name_(Name)
{
    handle_ = OpenMutexA(kMutexAllAccess, FALSE, name_.c_str());
    if (handle_)
        return;
    handle_ = CreateMutexA(MutexSecurity(), FALSE, name_.c_str());
    if (handle_ && GetLastError() != ERROR_ALREADY_EXISTS)
        LabelLow(name_);
}

TMutex::~TMutex()
{
    if (!handle_)
        return;
    if (ownerThread_.load() == GetCurrentThreadId()) {
        while (ownCount_ > 0 && ReleaseMutex(handle_))
            --ownCount_;
        ownCount_ = 0;
        ownerThread_.store(0);
    }
    CloseHandle(handle_);
}

bool TMutex::WaitFor(DWORD TimeoutMs)
{
    if (!handle_)
        return false;
    const DWORD result = WaitForSingleObject(handle_, TimeoutMs);
    if (!Acquired(result))
        return false;
    // Only the thread that now holds the mutex gets here: nobody else can be
    // recorded as owner at this moment. An abandoned mutex starts afresh: the
    // recorded owner ended (and a new thread may carry its id).
    const DWORD self = GetCurrentThreadId();
    if (result != WAIT_ABANDONED && ownerThread_.load() == self) {
        ++ownCount_;
    } else {
        ownCount_ = 1;
        ownerThread_.store(self);
    }
    return true;
}

bool TMutex::Release()
{
    if (!handle_ || ownerThread_.load() != GetCurrentThreadId()) {
        assert(!handle_ && "TMutex::Release on a thread that does not hold it");
        return false;
    }
    if (!ReleaseMutex(handle_))
        return false;
    if (--ownCount_ == 0)
        ownerThread_.store(0);
    return true;
}

bool TMutex::Owned() const
{
    return handle_ && ownerThread_.load() == GetCurrentThreadId();
}

TGlobalMutex::TGlobalMutex(const std::string& Name) : TMutex(kGlobalPrefix + Name) {}

// ---------------------------------------------------------------------------
// TCriticalSection

TCriticalSection::TCriticalSection()
{
    InitializeCriticalSection(&section_);
}

TCriticalSection::~TCriticalSection()
{
    DeleteCriticalSection(&section_);
}

bool TCriticalSection::Enter(DWORD TimeoutMs)
{
    // TryEnterCriticalSection is missing on Windows 9x.
    static TBoundProc<decltype(&::TryEnterCriticalSection)> tryEnter{Kernel32Library(),
                                                                     "TryEnterCriticalSection"};
    auto tryEnterFn = tryEnter.Get();
    if (TimeoutMs == INFINITE || !tryEnterFn || !IsWinNT()) {
        EnterCriticalSection(&section_);
        return true;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        if (tryEnterFn(&section_))
            return true;
        // Unsigned difference: right across the tick counter's wrap.
        if (GetTickCount() - start > TimeoutMs)
            return false;
        SleepMs(10);
    }
}

void TCriticalSection::Leave()
{
    LeaveCriticalSection(&section_);
}
