#include "platform/SecurityU.h"
#include "platform/SyncObjsU.h"

#include "KorvTest.h"

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

std::string UniqueName(const char* what)
{
    static std::atomic<int> counter{0};
    return std::string("KorvTest.Sync.") + what + "." + std::to_string(GetCurrentProcessId()) +
           "." + std::to_string(++counter);
}

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

std::string Narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

// Milliseconds a call took.
template <typename F> DWORD TimeOf(F&& fn)
{
    DWORD start = GetTickCount();
    fn();
    return GetTickCount() - start;
}

// ---------------------------------------------------------------------------
// Roles of the child processes

KTEST_ROLE(set_global_event)
{
    TGlobalEvent event(Narrow(args.at(0)));
    if (!event.Handle())
        return 2;
    event.SetEvent();
    return 0;
}

KTEST_ROLE(die_holding_global_mutex)
{
    // Never destroyed: the mutex is still held when the process ends.
    auto* mutex = new TGlobalMutex(Narrow(args.at(0)));
    return mutex->WaitFor(5000) ? 0 : 2;
}

KTEST_ROLE(try_global_mutex)
{
    TGlobalMutex mutex(Narrow(args.at(0)));
    return mutex.WaitFor(200) ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Events

TEST(SyncObjsU, OpenOnlyOfAnUnknownNameHasNoHandle)
{
    TEvent event(UniqueName("unknown"), true);
    EXPECT_EQ(nullptr, event.Handle());
    DWORD took = TimeOf([&] { EXPECT_FALSE(event.WaitFor(5000)); });
    EXPECT_LT(took, 1000u) << "a handle-less wait must return at once";
    event.SetEvent();
    event.ResetEvent();
}

TEST(SyncObjsU, EventIsManualResetAndStartsClear)
{
    TEvent event(UniqueName("manual"), false);
    ASSERT_NE(nullptr, event.Handle());
    EXPECT_FALSE(event.WaitFor(0));
    event.SetEvent();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_TRUE(event.WaitFor(0)) << "a wait must not reset it";
    event.ResetEvent();
    EXPECT_FALSE(event.WaitFor(0));
}

TEST(SyncObjsU, SecondObjectOpensTheSameEvent)
{
    const std::string name = UniqueName("shared");
    TEvent first(name, false);
    TEvent second(name, false);
    TEvent waiter(name, true);
    ASSERT_TRUE(first.Handle() && second.Handle() && waiter.Handle());
    second.SetEvent();
    EXPECT_TRUE(first.WaitFor(0));
    EXPECT_TRUE(waiter.WaitFor(0));
    first.ResetEvent();
    EXPECT_FALSE(second.WaitFor(0));

    // Open-only lacks the right to change the state: setting through it does
    // nothing.
    waiter.SetEvent();
    EXPECT_FALSE(first.WaitFor(0));
}

struct ObjectDacl {
    std::vector<std::string> sids;
    std::vector<DWORD> masks;
    std::vector<BYTE> flags;
};

ObjectDacl DaclOfHandle(HANDLE handle)
{
    ObjectDacl out;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(handle, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return out;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        GetAce(dacl, i, &raw);
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        LPSTR text = nullptr;
        ConvertSidToStringSidA(reinterpret_cast<PSID>(&ace->SidStart), &text);
        out.sids.push_back(text ? text : "?");
        LocalFree(text);
        out.masks.push_back(ace->Mask);
        out.flags.push_back(ace->Header.AceFlags);
    }
    LocalFree(sd);
    return out;
}

TEST(SyncObjsU, NamedObjectsAreOpenToEveryUser)
{
    TEvent event(UniqueName("dacl"), false);
    TMutex mutex(UniqueName("dacl"));
    ASSERT_TRUE(event.Handle() && mutex.Handle());
    const struct {
        const char* name;
        HANDLE handle;
        DWORD mask;
    } cases[] = {{"event", event.Handle(), 0x1F0003}, {"mutex", mutex.Handle(), 0x1F0001}};
    for (const auto& c : cases) {
        ObjectDacl dacl = DaclOfHandle(c.handle);
        ASSERT_EQ(1u, dacl.sids.size()) << c.name;
        EXPECT_EQ("S-1-1-0", dacl.sids[0]) << c.name;
        EXPECT_EQ(c.mask, dacl.masks[0]) << c.name;
        EXPECT_EQ(3, dacl.flags[0]) << c.name;
    }
}

struct LabelCalls {
    static inline std::vector<std::string> names;
    static inline std::vector<SE_OBJECT_TYPE> types;
    static DWORD WINAPI Record(LPSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION, PSID, PSID,
                               PACL, PACL)
    {
        names.push_back(name);
        types.push_back(type);
        return ERROR_SUCCESS;
    }
};

TEST(SyncObjsU, OnlyTheCreatorLabelsTheObject)
{
    LabelCalls::names.clear();
    LabelCalls::types.clear();
    SetNamedSecurityInfoCall(&LabelCalls::Record);
    const std::string eventName = UniqueName("label");
    const std::string mutexName = UniqueName("label");
    {
        TGlobalEvent created(eventName);
        TGlobalEvent opened(eventName);
        TEvent openOnly("Global\\" + eventName, true);
        TGlobalMutex mutexCreated(mutexName);
        TGlobalMutex mutexOpened(mutexName);
        EXPECT_EQ("Global\\" + eventName, created.Name());
        EXPECT_EQ("Global\\" + mutexName, mutexOpened.Name());
    }
    SetNamedSecurityInfoCall(nullptr);
    ASSERT_EQ(2u, LabelCalls::names.size());
    EXPECT_EQ("Global\\" + eventName, LabelCalls::names[0]);
    EXPECT_EQ("Global\\" + mutexName, LabelCalls::names[1]);
    EXPECT_EQ(SE_KERNEL_OBJECT, LabelCalls::types[0]);
    EXPECT_EQ(SE_KERNEL_OBJECT, LabelCalls::types[1]);
}

TEST(SyncObjsU, ChildProcessSetsAGlobalEvent)
{
    const std::string name = UniqueName("show");
    TGlobalEvent event(name);
    ASSERT_NE(nullptr, event.Handle());
    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = event.WaitFor(30000); });
    ktest::ChildResult child = ktest::RunSelf(L"set_global_event", {Wide(name)});
    waiter.join();
    EXPECT_EQ(0u, child.exitCode);
    EXPECT_TRUE(woke);
}

// ---------------------------------------------------------------------------
// Mutexes

TEST(SyncObjsU, AbandonedGlobalMutexCountsAsAcquired)
{
    const std::string name = UniqueName("abandoned");
    TGlobalMutex mutex(name);
    ASSERT_NE(nullptr, mutex.Handle());
    ktest::ChildResult child = ktest::RunSelf(L"die_holding_global_mutex", {Wide(name)});
    ASSERT_EQ(0u, child.exitCode);
    EXPECT_TRUE(mutex.WaitFor(5000));
    EXPECT_TRUE(mutex.Owned());
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Owned());
}

TEST(SyncObjsU, DestroyingAnAcquiredMutexLetsAWaiterIn)
{
    const std::string name = UniqueName("destroy");
    TMutex waiter(name);
    {
        TMutex holder(name);
        // Acquired twice: the destructor gives back both.
        ASSERT_TRUE(holder.WaitFor(0));
        ASSERT_TRUE(holder.WaitFor(0));
        bool waiterGotIt = true;
        std::thread([&] { waiterGotIt = waiter.WaitFor(0); }).join();
        EXPECT_FALSE(waiterGotIt);
    }
    bool waiterGotIt = false;
    std::thread([&] {
        waiterGotIt = waiter.WaitFor(1000);
        if (waiterGotIt)
            waiter.Release();
    }).join();
    EXPECT_TRUE(waiterGotIt);
}

TEST(SyncObjsU, ReleaseOnAForeignThreadIsRefused)
{
    const std::string name = UniqueName("foreign");
    TMutex mutex(name);
    ASSERT_TRUE(mutex.WaitFor(0));
    bool released = true;
    bool ownedThere = true;
    std::thread([&] {
        released = mutex.Release();
        ownedThere = mutex.Owned();
    }).join();
    EXPECT_FALSE(released);
    EXPECT_FALSE(ownedThere);
    EXPECT_TRUE(mutex.Owned());

    // Still held: nobody else gets it.
    bool otherGotIt = true;
    std::thread([&] {
        TMutex other(name);
        otherGotIt = other.WaitFor(0);
    }).join();
    EXPECT_FALSE(otherGotIt);
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release()) << "released more often than acquired";
}

TEST(SyncObjsU, OneObjectOnTwoThreadsKeepsTheHoldersOwnership)
{
    const std::string name = UniqueName("counter");
    auto mutex = std::make_unique<TGlobalMutex>(name);
    ASSERT_NE(nullptr, mutex->Handle());

    HANDLE acquired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE timedOut = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE destroyed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool holderOwnedAfter = false;
    DWORD childWhileHeld = 99;
    std::thread holder([&] {
        if (!mutex->WaitFor(1000))
            return;
        SetEvent(acquired);
        WaitForSingleObject(timedOut, 10000);
        holderOwnedAfter = mutex->Owned();
        childWhileHeld = ktest::RunSelf(L"try_global_mutex", {Wide(name)}).exitCode;
        mutex.reset();
        SetEvent(destroyed);
        // The thread lives on: only the destructor's release can free the mutex.
        WaitForSingleObject(finished, 60000);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(acquired, 10000));
    bool otherAcquired = mutex->WaitFor(50);
    bool otherOwned = mutex->Owned();
    SetEvent(timedOut);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(destroyed, 20000));
    ktest::ChildResult after = ktest::RunSelf(L"try_global_mutex", {Wide(name)});
    SetEvent(finished);
    holder.join();

    EXPECT_FALSE(otherAcquired);
    EXPECT_FALSE(otherOwned);
    EXPECT_TRUE(holderOwnedAfter) << "a failed wait elsewhere cleared the holder's ownership";
    EXPECT_EQ(1u, childWhileHeld);
    EXPECT_EQ(0u, after.exitCode) << "the holder's destructor left the mutex held";
    CloseHandle(acquired);
    CloseHandle(timedOut);
    CloseHandle(destroyed);
    CloseHandle(finished);
}

TEST(SyncObjsU, FailedCreationGivesAnInertMutex)
{
    // A name in a namespace that does not exist cannot be created.
    TMutex mutex("KorvNoSuchNamespace\\" + UniqueName("x"));
    EXPECT_EQ(nullptr, mutex.Handle());
    EXPECT_FALSE(mutex.WaitFor(1000));
    EXPECT_FALSE(mutex.Owned());
    EXPECT_FALSE(mutex.Release());
}

// ---------------------------------------------------------------------------
// Critical sections

// Another thread holds the section until told to leave (or, as a backstop,
// until holdMs have passed), so no wait of the tests can outlast it by chance.
class HeldSection {
public:
    HeldSection(TCriticalSection& section, DWORD holdMs)
        : leave_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, &section, holdMs, entered] {
            section.Enter();
            SetEvent(entered);
            WaitForSingleObject(leave_, holdMs);
            left_ = true;
            section.Leave();
        });
        WaitForSingleObject(entered, 10000);
        CloseHandle(entered);
    }
    ~HeldSection()
    {
        Leave();
        thread_.join();
        CloseHandle(leave_);
    }
    void Leave() { SetEvent(leave_); }
    // The holder has left, or is just leaving.
    bool Left() const { return left_; }

private:
    HANDLE leave_;
    std::atomic<bool> left_{false};
    std::thread thread_;
};

// Ended by the time-out alone: the holder stays until the wait is over. The
// upper bound is loose on purpose: it tells a give-up after about TimeoutMs
// from a wait for the holder, and must hold on a loaded machine too.
TEST(SyncObjsU, TimedEnterGivesUpAfterItsTime)
{
    TCriticalSection section;
    HeldSection holder(section, 60000);
    bool entered = true;
    DWORD took = TimeOf([&] { entered = section.Enter(100); });
    EXPECT_FALSE(entered);
    EXPECT_FALSE(holder.Left());
    EXPECT_GE(took, 100u);
    EXPECT_LT(took, 5000u);
}

TEST(SyncObjsU, InfiniteEnterWaitsForTheHolder)
{
    TCriticalSection section;
    HeldSection holder(section, 60000);
    std::thread leaver([&holder] {
        Sleep(300);
        holder.Leave();
    });
    EXPECT_TRUE(section.Enter(INFINITE));
    EXPECT_TRUE(holder.Left()) << "entered while the holder was still inside";
    section.Leave();
    leaver.join();
}

TEST(SyncObjsU, TimedEnterOfAFreeSectionAndRecursion)
{
    TCriticalSection section;
    EXPECT_TRUE(section.Enter(0));
    EXPECT_TRUE(section.Enter(100)) << "the owner enters again";
    section.Leave();
    section.Leave();
    bool enteredElsewhere = false;
    std::thread([&] {
        enteredElsewhere = section.Enter(100);
        if (enteredElsewhere)
            section.Leave();
    }).join();
    EXPECT_TRUE(enteredElsewhere);
}

} // namespace
