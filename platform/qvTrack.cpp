#include "platform/qvTrack.h"

#include "platform/GuardU.h"
#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/qvSettings.h"

#include <algorithm>
#include <limits>
#include <mutex>

namespace {

// Serialises the threads of this process; made on first use, freed at exit.
TCriticalSection& TrackSection()
{
    static TCriticalSection section;
    return section;
}

struct TTrackInstance {
    std::mutex lock;
    std::unique_ptr<TUserTrack> track;
};

TTrackInstance& Instance()
{
    static TTrackInstance instance;
    return instance;
}

bool TrackingOn()
{
    return Settings()->TRACK_USER;
}

} // namespace

std::string TrackMutexName(HKEY Root, const std::string& KeyPath, const std::string& ValueName)
{
    const std::string source = RegJoinKeyPath(Root, KeyPath) + " " + ValueName;
    return "QV_TRACK" + std::to_string(StrHash32(source, true));
}

TUserTrack::TUserTrack(HKEY Root, std::string KeyPath, std::string ValueName)
    : root_(Root), keyPath_(std::move(KeyPath)), valueName_(std::move(ValueName)),
      mutex_(TrackMutexName(root_, keyPath_, valueName_))
{
}

template <typename F> bool TUserTrack::Locked(F&& Work)
{
    if (!TrackingOn())
        return false;
    if (!mutex_.WaitFor(kTrackLockWaitMs))
        return false;
    struct TMutexRelease {
        TMutex& mutex;
        ~TMutexRelease() { mutex.Release(); }
    } releaseMutex{mutex_};
    if (!TrackSection().Enter(kTrackLockWaitMs))
        return false;
    // Declared after the mutex guard, so it is left first.
    struct TSectionLeave {
        ~TSectionLeave() { TrackSection().Leave(); }
    } leaveSection;
    Work();
    return true;
}

bool TUserTrack::ReadStore(std::string& Text) const
{
    TRegViewScope view(true, false);
    TRegKey key;
    LONG result =
        RegOpenKeyExA(root_, keyPath_.c_str(), 0, KEY_QUERY_VALUE | RegViewAccessBit(), key.put());
    if (result == ERROR_FILE_NOT_FOUND) {
        Text.clear();
        return true;
    }
    if (result != ERROR_SUCCESS)
        return false;
    DWORD type = REG_NONE;
    result = RegQueryValueExA(key.get(), valueName_.c_str(), nullptr, &type, nullptr, nullptr);
    if (result == ERROR_FILE_NOT_FOUND) {
        Text.clear();
        return true;
    }
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return false;
    return RegReadString(root_, keyPath_, valueName_, Text);
}

bool TUserTrack::WriteStore(const std::string& Text) const
{
    TRegViewScope view(true, false);
    return RegWriteString(root_, keyPath_, valueName_, Text);
}

void TUserTrack::Bump(const std::string& Name, int32_t Amount, int32_t Unparsable)
{
    std::string text;
    if (!ReadStore(text))
        return;
    TStringList lines;
    lines.SetText(text);
    const int index = lines.IndexOfName(Name);
    if (index < 0) {
        lines.Add(Name + "=" + IntToStr(Amount));
    } else {
        int32_t count = Unparsable;
        if (!TryStrToInt(lines.ValueFromIndex(index), count))
            count = Unparsable;
        const int64_t sum =
            std::clamp<int64_t>(int64_t{count} + Amount, std::numeric_limits<int32_t>::min(),
                                std::numeric_limits<int32_t>::max());
        // The stored spelling of the name stays.
        lines.SetString(index, lines.Names(index) + "=" + IntToStr(sum));
    }
    WriteStore(lines.GetText());
}

bool TUserTrack::Increment(const std::string& Category, const std::string& Event,
                           bool OncePerSession)
{
    return Locked([&] {
        const std::string name = Category + "." + Event;
        if (OncePerSession) {
            if (session_.IndexOf(name) >= 0)
                return;
            session_.Add(name);
        }
        Bump(name, 1, 1);
    });
}

bool TUserTrack::StartVisit(const std::string& Category)
{
    return Locked([&] {
        const std::string prefix = Category + ".";
        for (int i = session_.Count() - 1; i >= 0; --i)
            if (session_[i].compare(0, prefix.size(), prefix) == 0)
                session_.Delete(i);
        Bump(Category, 1, 1);
    });
}

bool TUserTrack::AddCount(const std::string& Name, int32_t Amount)
{
    return Locked([&] { Bump(Name, Amount, 0); });
}

void CreateUserTrack(HKEY Root, const std::string& KeyPath, const std::string& ValueName)
{
    TTrackInstance& instance = Instance();
    std::lock_guard guard(instance.lock);
    if (!instance.track)
        instance.track = std::make_unique<TUserTrack>(Root, KeyPath, ValueName);
}

TUserTrack* UserTrack()
{
    TTrackInstance& instance = Instance();
    std::lock_guard guard(instance.lock);
    return instance.track.get();
}

void TrackEvent(const std::string& Category, const std::string& Event, bool OncePerSession)
{
    if (!TrackingOn())
        return;
    Guard([&] {
        if (TUserTrack* track = UserTrack())
            track->Increment(Category, Event, OncePerSession);
    });
}

void TrackVisit(const std::string& Category)
{
    if (!TrackingOn())
        return;
    Guard([&] {
        if (TUserTrack* track = UserTrack())
            track->StartVisit(Category);
    });
}

void TrackAdd(const std::string& Name, int32_t Amount)
{
    if (!TrackingOn())
        return;
    Guard([&] {
        if (TUserTrack* track = UserTrack())
            track->AddCount(Name, Amount);
    });
}
