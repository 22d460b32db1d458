#pragma once
// Usage counters: how often the user reaches pages and performs actions. The
// counts live in one REG_SZ value (lines "name=count", each followed by
// CR LF) shared by every process of both programs on the machine, and are
// kept only while the setting TRACK_USER is on. With it off every call
// returns at once, taking no lock and touching no registry.
//
// Locks: a global mutex orders the processes of all sessions that use the
// same store, a process-wide critical section orders the threads of one
// process. Each is waited for at most 100 ms; a count that cannot get both
// is dropped, so a stuck holder never stalls the user interface for longer.

#include "platform/StringListU.h"
#include "platform/SyncObjsU.h"

#include <windows.h>

#include <memory>
#include <string>

// How long each lock is waited for, in milliseconds.
inline constexpr DWORD kTrackLockWaitMs = 100;

// "QV_TRACK" + the unsigned decimal StrHash32 (lower-casing first) of
// RegJoinKeyPath(Root, KeyPath) + " " + ValueName; the mutex itself lives in
// the global namespace ("Global\" in front).
std::string TrackMutexName(HKEY Root, const std::string& KeyPath, const std::string& ValueName);

// One per process (CreateUserTrack); tests make their own over scratch keys.
// Owns its global mutex.
class TUserTrack : public TObject {
public:
    TUserTrack(HKEY Root, std::string KeyPath, std::string ValueName);
    TUserTrack(const TUserTrack&) = delete;
    TUserTrack& operator=(const TUserTrack&) = delete;

    // Each counting call returns True when it held both locks and did its
    // work, False when the switch is off or a lock was not obtained.

    // Counts Category + "." + Event (1 for a new line, else its count + 1, an
    // unparsable count counting as 1). With OncePerSession a name already
    // counted so in this process is not counted again.
    bool Increment(const std::string& Category, const std::string& Event, bool OncePerSession);
    // Lets the once-per-session events of Category (session entries that
    // begin with Category + ".", case respected) count again, then counts
    // Category itself as Increment does.
    bool StartVisit(const std::string& Category);
    // Adds Amount to Name (an unparsable count counting as 0; a new line gets Amount).
    bool AddCount(const std::string& Name, int32_t Amount);

    // The store as REG_SZ in the 32-bit view (the caller's view flags are
    // restored). A missing value (or key) reads as '' with True; any other
    // failure (another type, access denied) gives False, and the caller must
    // not write then, or every other counter would be lost.
    bool ReadStore(std::string& Text) const;
    bool WriteStore(const std::string& Text) const;

    // The mutex's full name, "Global\QV_TRACK...".
    const std::string& MutexName() const { return mutex_.Name(); }

private:
    template <typename F> bool Locked(F&& Work);
    // Name's count := (its count, or Unparsable when the count is no number)
    // + Amount, or a new line Name=Amount; then written back.
    void Bump(const std::string& Name, int32_t Amount, int32_t Unparsable);

    HKEY root_;
    std::string keyPath_;
    std::string valueName_;
    TGlobalMutex mutex_;
    TStringList session_; // names counted with the once-per-session option
};

// Creates the process's instance unless it exists.
void CreateUserTrack(HKEY Root, const std::string& KeyPath, const std::string& ValueName);
// The process's instance; null before CreateUserTrack.
TUserTrack* UserTrack();

// The entry points; each does nothing unless TRACK_USER is on and swallows
// every exception.
void TrackEvent(const std::string& Category, const std::string& Event, bool OncePerSession);
void TrackVisit(const std::string& Category);
void TrackAdd(const std::string& Name, int32_t Amount);
