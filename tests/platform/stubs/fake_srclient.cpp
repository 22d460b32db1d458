// A recording stand-in for the System Restore client library: it logs every
// SRSetRestorePointA request and answers as the test configured it. The test
// loads the same file and drives it through the Fake* exports.
#include <windows.h>

#include <cstdint>
#include <cstring>

#pragma pack(push, 1)
struct RestorePointInfoA {
    DWORD eventType;
    DWORD restorePointType;
    int64_t sequence;
    char description[64];
};
struct StateMgrStatus {
    DWORD status;
    int64_t sequence;
};
#pragma pack(pop)

namespace {

struct Call {
    DWORD eventType;
    DWORD restorePointType;
    int64_t sequence;
    char description[64];
};

constexpr int kMaxCalls = 64;
Call gCalls[kMaxCalls];
int gCallCount = 0;
BOOL gResult = TRUE;
DWORD gStatus = 0;
int64_t gSequence = 42;
BOOL gWriteSequence = TRUE;

} // namespace

extern "C" {

__declspec(dllexport) BOOL WINAPI SRSetRestorePointA(RestorePointInfoA* info,
                                                     StateMgrStatus* status)
{
    if (gCallCount < kMaxCalls) {
        Call& call = gCalls[gCallCount];
        call.eventType = info->eventType;
        call.restorePointType = info->restorePointType;
        call.sequence = info->sequence;
        std::memcpy(call.description, info->description, sizeof call.description);
    }
    ++gCallCount;
    status->status = gStatus;
    // Like the system's on some failures, the sequence may be left as it was.
    if (gWriteSequence)
        status->sequence = gSequence;
    return gResult;
}

__declspec(dllexport) void WINAPI FakeSrConfigure(BOOL result, DWORD status, int64_t sequence,
                                                  BOOL writeSequence)
{
    gResult = result;
    gStatus = status;
    gSequence = sequence;
    gWriteSequence = writeSequence;
}

__declspec(dllexport) void WINAPI FakeSrReset()
{
    gCallCount = 0;
    gResult = TRUE;
    gStatus = 0;
    gSequence = 42;
    gWriteSequence = TRUE;
}

__declspec(dllexport) int WINAPI FakeSrCallCount()
{
    return gCallCount;
}

// Copies call Index; the description as its 64 raw bytes.
__declspec(dllexport) BOOL WINAPI FakeSrGetCall(int index, DWORD* eventType,
                                                DWORD* restorePointType, int64_t* sequence,
                                                char* description64)
{
    if (index < 0 || index >= gCallCount || index >= kMaxCalls)
        return FALSE;
    const Call& call = gCalls[index];
    *eventType = call.eventType;
    *restorePointType = call.restorePointType;
    *sequence = call.sequence;
    std::memcpy(description64, call.description, sizeof call.description);
    return TRUE;
}

} // extern "C"
