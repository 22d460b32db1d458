#pragma once
// What the engine's benchmarks share: the clock, a key's sub-keys, the start
// of the program, and a scan run on the worker thread as enginectl runs one.

#include "engine/qvThreads.h"
#include "platform/ThreadU.h"
#include "platform/WinVersionU.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace bench {

inline LARGE_INTEGER Tick()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

inline double Seconds(LARGE_INTEGER From, LARGE_INTEGER To)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(To.QuadPart - From.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

// The names of Key's sub-keys, listed with the raw calls of a bare walk.
inline std::vector<std::string> SubKeyNames(HKEY Key)
{
    std::vector<std::string> names;
    char name[256]; // a key name has at most 255 characters
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof(name);
        if (RegEnumKeyExA(Key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

// Reads the count (the first argument, else Default) and installs the
// dispatcher on this thread, the GUI thread of the run. 0 to go on; else the
// exit code, after a line on stderr: 2 for a count that is no positive
// number ("usage: <Program> [<Unit>]"), 1 without a dispatcher.
inline int Begin(const char* Program, const char* Unit, int Default, int argc, wchar_t** argv,
                 int& Count)
{
    Count = argc > 1 ? _wtoi(argv[1]) : Default;
    if (Count <= 0) {
        fprintf(stderr, "usage: %s [%s]\n", Program, Unit);
        return 2;
    }
    if (!IsWin64())
        puts("note\tnot 64-bit Windows: one view only");
    if (!TDispatcher::Install()) {
        fprintf(stderr, "%s: no dispatcher\n", Program);
        return 1;
    }
    return 0;
}

// Scans Main on the worker thread, its progress reports handed to this thread
// through the synchronised call, and waits for the end pumping messages; the
// seconds from the start of the worker to its end.
inline double TimeScanOnWorker(std::shared_ptr<TqvMain> Main,
                               TqvExecThread::TProgressEvent OnProgress)
{
    const LARGE_INTEGER start = Tick();
    auto* worker = new TqvExecThread(std::move(Main), false, nullptr, std::move(OnProgress),
                                     kScanFlags, kModeScan);
    HANDLE done = worker->OpenWaitHandle();
    worker->Start();
    PumpedWait(done, INFINITE);
    CloseHandle(done);
    return Seconds(start, Tick());
}

} // namespace bench
