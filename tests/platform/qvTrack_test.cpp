#include "FileTestSupport.h"
#include "ImportPatch.h"
#include "SettingsTestSupport.h"

#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/WinVersionU.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

using namespace settingstest;

namespace {

void SwitchTracking(bool on)
{
    ChangeSettings([on](TSettings& s) { s.TRACK_USER = on; });
}

// Holds the store's mutex (args[1]) until the test that started it
// (process id args[2]) ends it or ends itself: never for a fixed time, which
// a loaded machine could outlast.
KTEST_ROLE(hold_track_mutex)
{
    TGlobalMutex mutex(Narrow(args.at(1)));
    if (!mutex.WaitFor(5000))
        return 2;
    HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, std::wcstoul(args.at(2).c_str(), nullptr, 10));
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str());
    SetEvent(ready);
    CloseHandle(ready);
    if (parent) {
        WaitForSingleObject(parent, INFINITE);
        CloseHandle(parent);
    }
    mutex.Release();
    return 0;
}

// Counts args[1] (a key path under HKLM) args[2] times. A call that misses a
// lock is made again, so that the count is known however loaded the machine
// is; the exit code is 0 once every count was taken, 3 when a call kept
// missing.
KTEST_ROLE(track_increments)
{
    SwitchTracking(true);
    TUserTrack track(HKEY_LOCAL_MACHINE, Narrow(args.at(1)), "TRACK");
    const int count = std::wcstol(args.at(2).c_str(), nullptr, 10);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str());
    SetEvent(ready);
    CloseHandle(ready);
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, args.at(3).c_str());
    if (go)
        WaitForSingleObject(go, INFINITE);
    for (int i = 0; i < count; ++i) {
        int misses = 0;
        while (!track.Increment("FO", "RN", false))
            if (++misses > 10000)
                return 3;
    }
    return 0;
}

class qvTrack : public ktest::ScratchKeyTest {
protected:
    void SetUp() override
    {
        ScratchKeyTest::SetUp();
        lm32_ = HklmTwin(KEY_WOW64_32KEY);
        ASSERT_NE(nullptr, lm32_);
        key_ = Narrow(ScratchPath());
        track_ = std::make_unique<TUserTrack>(HKEY_LOCAL_MACHINE, key_, "TRACK");
        SwitchTracking(true);
    }
    void TearDown() override
    {
        SetSettings(TSettings{});
        track_.reset();
        ScratchKeyTest::TearDown();
    }
    std::string Store()
    {
        std::string text;
        return GetSz(lm32_, "TRACK", text) ? text : "<none>";
    }
    // Starts a child that holds the store's mutex.
    bool HoldMutex(filetest::TChild& child)
    {
        return child.Start(L"hold_track_mutex",
                           {Widen(TrackMutexName(HKEY_LOCAL_MACHINE, key_, "TRACK")),
                            std::to_wstring(GetCurrentProcessId())});
    }

    HKEY lm32_ = nullptr;
    std::string key_;
    std::unique_ptr<TUserTrack> track_;
};

TEST_F(qvTrack, TheMutexNameIsTheHashOfRootPathAndValue)
{
    TUserTrack store(HKEY_LOCAL_MACHINE, "Software\\Korvelle", "TRACK");
    EXPECT_EQ("Global\\QV_TRACK" +
                  std::to_string(StrHash32("hklm\\software\\korvelle track", false)),
              store.MutexName());
    EXPECT_NE(store.MutexName(), track_->MutexName()) << "another store, another mutex";
}

TEST_F(qvTrack, VisitsAndOncePerSessionEventsCountAsTheSequenceSays)
{
    EXPECT_TRUE(track_->Increment("FO", "RN", true));
    EXPECT_TRUE(track_->Increment("FO", "RN", true));
    EXPECT_EQ("FO.RN=1\r\n", Store());
    // The session test ignores case, the visit's prefix test does not.
    track_->Increment("fo", "rn", true);
    track_->StartVisit("fo");
    track_->Increment("FO", "RN", true);
    EXPECT_EQ("FO.RN=1\r\nfo=1\r\n", Store());
    track_->StartVisit("FO");
    EXPECT_EQ("FO.RN=1\r\nfo=2\r\n", Store()) << "names in the store ignore case";
    track_->Increment("FO", "RN", true);
    EXPECT_EQ("FO.RN=2\r\nfo=2\r\n", Store());
    track_->Increment("FO", "RN", false);
    track_->Increment("Fo", "Rn", false);
    EXPECT_EQ("FO.RN=4\r\nfo=2\r\n", Store()) << "the first spelling stays";
}

TEST_F(qvTrack, UnparsableCountsAndFreeCounters)
{
    SetSz(lm32_, "TRACK", "A.B=x\r\n#F=y\r\n#G=5\r\nC=\r\n");
    track_->Increment("A", "B", false);
    track_->AddCount("#F", 5);
    track_->AddCount("#G", -2);
    track_->AddCount("#new", 7);
    track_->StartVisit("C");
    EXPECT_EQ("A.B=2\r\n#F=5\r\n#G=3\r\nC=2\r\n#new=7\r\n", Store());
}

TEST_F(qvTrack, AStoreOfAnotherTypeIsLeftAlone)
{
    const BYTE bytes[] = {1, 2, 3};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(lm32_, "TRACK", 0, REG_BINARY, bytes, sizeof bytes));
    track_->Increment("FO", "RN", false);
    track_->AddCount("#X", 1);
    BYTE read[8] = {};
    DWORD size = sizeof read;
    DWORD type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(lm32_, "TRACK", nullptr, &type, read, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, std::memcmp(bytes, read, 3));
    std::string text;
    EXPECT_FALSE(track_->ReadStore(text));
}

TEST_F(qvTrack, ASixtyFourBitThreadCountsInTheThirtyTwoBitView)
{
    // 32-bit Windows has one registry view: the store is all there is.
    HKEY lm64 = nullptr;
    if (IsWin64()) {
        lm64 = HklmTwin(KEY_WOW64_64KEY);
        ASSERT_NE(nullptr, lm64);
    }
    bool view64 = false;
    std::thread worker([&] {
        TRegViewScope scope(false, true);
        track_->Increment("WK", "X", false);
        view64 = RegView64;
    });
    worker.join();
    EXPECT_EQ("WK.X=1\r\n", Store());
    EXPECT_TRUE(view64);
    std::string other;
    if (lm64) {
        EXPECT_FALSE(GetSz(lm64, "TRACK", other));
    }
}

// Counted rather than timed: with the switch off no call waits for a lock or
// reads the registry, however long the calls take on a loaded machine.
TEST_F(qvTrack, SwitchedOffNothingWaitsAndNothingIsWritten)
{
    filetest::TChild holder;
    ASSERT_TRUE(HoldMutex(holder));
    SwitchTracking(false);
    CreateUserTrack(HKEY_LOCAL_MACHINE, key_, "TRACK");
    {
        importpatch::TCallCounter counter;
        ASSERT_TRUE(counter.Installed());
        for (int i = 0; i < 100; ++i) {
            EXPECT_FALSE(track_->Increment("FO", "RN", false));
            EXPECT_FALSE(track_->StartVisit("FO"));
            EXPECT_FALSE(track_->AddCount("#A", 1));
            TrackEvent("FO", "RN", false);
            TrackVisit("FO");
            TrackAdd("#A", 1);
        }
        EXPECT_EQ(0, counter.Waits());
        EXPECT_EQ(0, counter.RegistryCalls());

        // Switched on, the same call waits for the mutex, which the holder keeps.
        SwitchTracking(true);
        EXPECT_FALSE(track_->Increment("FO", "RN", false)) << "the holder still has it";
        EXPECT_EQ((std::vector<DWORD>{kTrackLockWaitMs}), counter.WaitTimeouts());
        EXPECT_EQ(0, counter.RegistryCalls()) << "no lock, no store";
    }
    EXPECT_EQ("<none>", Store());
    holder.Terminate();
}

TEST_F(qvTrack, AHeldMutexDropsEachCountAfterAboutAHundredMilliseconds)
{
    filetest::TChild holder;
    ASSERT_TRUE(HoldMutex(holder));
    {
        importpatch::TCallCounter counter;
        ASSERT_TRUE(counter.Installed());
        for (int i = 0; i < 3; ++i) {
            counter.Clear();
            const DWORD start = GetTickCount();
            EXPECT_FALSE(track_->Increment("FO", "RN", false));
            // Only a lower bound: a loaded machine may take longer, never less.
            EXPECT_GE(GetTickCount() - start, 90u);
            EXPECT_EQ((std::vector<DWORD>{kTrackLockWaitMs}), counter.WaitTimeouts())
                << "one bounded wait for the mutex, then the count is dropped";
            EXPECT_EQ(0, counter.RegistryCalls());
        }
    }
    EXPECT_EQ("<none>", Store());
    holder.Terminate();
    // An abandoned mutex counts as acquired.
    EXPECT_TRUE(track_->Increment("FO", "RN", false));
    EXPECT_EQ("FO.RN=1\r\n", Store());
}

// Each child makes its 100 counts, a call that missed a lock being made
// again: a count that a call reported is never lost, and a call that reported
// a miss counted nothing.
TEST_F(qvTrack, TwoProcessesLoseNoCount)
{
    SetSz(lm32_, "TRACK", "FO.RN=5\r\n");
    const std::wstring go = L"ktest.track.go." + std::to_wstring(GetCurrentProcessId());
    HANDLE goEvent = CreateEventW(nullptr, TRUE, FALSE, go.c_str());
    filetest::TChild first;
    filetest::TChild second;
    ASSERT_TRUE(first.Start(L"track_increments", {ScratchPath(), L"100", go}));
    ASSERT_TRUE(second.Start(L"track_increments", {ScratchPath(), L"100", go}));
    SetEvent(goEvent);
    EXPECT_EQ(0u, first.Wait(INFINITE)) << "the first child";
    EXPECT_EQ(0u, second.Wait(INFINITE)) << "the second child";
    CloseHandle(goEvent);
    EXPECT_EQ("FO.RN=205\r\n", Store());
}

TEST_F(qvTrack, TheEntryPointsCountThroughTheProcessInstance)
{
    CreateUserTrack(HKEY_LOCAL_MACHINE, key_, "TRACK");
    TUserTrack* track = UserTrack();
    ASSERT_NE(nullptr, track);
    CreateUserTrack(HKEY_LOCAL_MACHINE, "Software\\Other", "TRACK");
    EXPECT_EQ(track, UserTrack()) << "one instance per process";
    std::string before;
    ASSERT_TRUE(track->ReadStore(before));
    TrackEvent("EP", "A", false);
    TrackVisit("EP");
    TrackAdd("#EP", 3);
    std::string after;
    ASSERT_TRUE(track->ReadStore(after));
    EXPECT_EQ(before + "EP.A=1\r\nEP=1\r\n#EP=3\r\n", after);
}

} // namespace
