#pragma once
// What the engine's benchmarks share: the clock, a key's sub-keys, the start
// of the program, and a scan run on the worker thread as enginectl runs one.

#include "engine/qvThreads.h"
#include "platform/ThreadU.h"
#include "platform/WinVersionU.h"

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// The class keys a benchmark makes for itself: "{<Prefix><12 digits>}" under
// the 32-bit view's CLSID, so that its own leftovers can be told from the
// machine's classes and removed.
inline std::wstring SyntheticClassName(const wchar_t* Prefix, int Index)
{
    wchar_t tail[32];
    swprintf(tail, 32, L"%012d}", Index);
    return Prefix + std::wstring(tail);
}

// One synthetic class whose in-process server is Server.
inline bool WriteSyntheticClass(const std::wstring& Name, const std::wstring& Server)
{
    HKEY key = nullptr;
    const std::wstring path = L"CLSID\\" + Name + L"\\InprocServer32";
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(Server.c_str()),
                   static_cast<DWORD>((Server.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return true;
}

inline void RemoveSyntheticClasses(const wchar_t* Prefix)
{
    HKEY clsid = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ | KEY_WOW64_32KEY, &clsid) !=
        ERROR_SUCCESS)
        return;
    std::vector<std::wstring> ours;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(clsid, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        if (wcsncmp(name, Prefix, wcslen(Prefix)) == 0)
            ours.emplace_back(name);
    }
    RegCloseKey(clsid);
    for (const std::wstring& n : ours) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + n).c_str(), 0,
                          KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
            RegDeleteTreeW(key, nullptr);
            RegCloseKey(key);
        }
        RegDeleteKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + n).c_str(), KEY_WOW64_32KEY, 0);
    }
}

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

// The process's peak working set so far.
inline double PeakMiB()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return 0;
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
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
