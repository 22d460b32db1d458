// The class scanner's cost against the registry and file calls it must make.
//
//   scanbench.exe [classes] [dead|mixed] [rounds]
//       (default 20000 mixed, 3 rounds; run in a win64 test prefix)
//
// Makes <classes> synthetic classes under HKCR "CLSID" in the 32-bit view,
// nine in ten naming an existing system DLL by full path and one in ten a
// distinct missing file ("dead": every class names a missing file, so that
// every class is a finding with its details), then times, in the same run:
// - a bare walk with raw calls doing the same work: the sub-keys of "CLSID"
//   in both views, per class the owner query, the six server sub-keys opened
//   by full path until GetFileAttributesA finds a server's file, and for a
//   dead class a recursive enumeration of its key;
// - TqvItemsCLSID.Scan on the worker thread, as enginectl runs a scan.
// Each is timed three times (or <rounds>: one where a large dead run takes
// long), alternating, and the fastest run counts, so that a pause of the
// registry server or a burst of load on the machine weighs on neither side
// alone. The synthetic classes are removed at the end
// (and left-overs of an earlier run at the start).
// Output, one figure a line: each round, classes, dead, found, bare, engine,
// the classes walked in both views and the time per walked class, and last
// "ratio<TAB><engine seconds / bare seconds>".

#include "EngineBench.h"
#include "engine/qvClasses.h"
#include "engine/qvClassesEx.h"

#include <aclapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::Seconds;
using bench::Tick;

constexpr wchar_t kPrefix[] = L"{0B3C7E57-0000-4000-8000-";
constexpr const char* kServers[] = {"\\InprocServer32", "\\LocalServer32", "\\InprocHandler32",
                                    "\\InprocServer",   "\\LocalServer",   "\\InprocHandler"};

std::wstring ClassName(int Index)
{
    return bench::SyntheticClassName(kPrefix, Index);
}

void RemoveSynthetic()
{
    bench::RemoveSyntheticClasses(kPrefix);
}

bool MakeSynthetic(int Count, bool AllDead, int& Dead)
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring dlls[] = {L"kernel32.dll", L"user32.dll", L"advapi32.dll", L"ole32.dll",
                                 L"shell32.dll"};
    Dead = 0;
    for (int i = 0; i < Count; ++i) {
        std::wstring server;
        if (AllDead || i % 10 == 9) {
            server = L"C:\\korvelle-bench-gone\\missing" + std::to_wstring(i) + L".dll";
            ++Dead;
        } else {
            server = std::wstring(system) + L"\\" + dlls[i % 5];
        }
        if (!bench::WriteSyntheticClass(ClassName(i), server))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The bare walk

int gBareDead = 0;
int gWalked = 0;

void EnumerateTree(HKEY Root, const std::string& Path, REGSAM View, int& Entries)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root, Path.c_str(), 0, KEY_READ | View, &key) != ERROR_SUCCESS)
        return;
    char name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof(name);
        if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        ++Entries;
    }
    const std::vector<std::string> subs = bench::SubKeyNames(key);
    RegCloseKey(key);
    for (const std::string& s : subs) {
        ++Entries;
        EnumerateTree(Root, Path + "\\" + s, View, Entries);
    }
}

void BareOwner(const std::string& Path, REGSAM View)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, Path.c_str(), 0, KEY_READ | View, &key) != ERROR_SUCCESS)
        return;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) == ERROR_SUCCESS) {
        char name[256];
        char domain[256];
        DWORD nameLength = sizeof(name);
        DWORD domainLength = sizeof(domain);
        SID_NAME_USE use;
        LookupAccountSidA(nullptr, owner, name, &nameLength, domain, &domainLength, &use);
        LocalFree(descriptor);
    }
    RegCloseKey(key);
}

void BareWalk(REGSAM View)
{
    HKEY clsid = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ | View, &clsid) != ERROR_SUCCESS)
        return;
    const std::vector<std::string> names = bench::SubKeyNames(clsid);
    RegCloseKey(clsid);
    gWalked += static_cast<int>(names.size());
    for (const std::string& n : names) {
        const std::string path = "CLSID\\" + n;
        BareOwner(path, View);
        bool named = false;
        bool sound = false;
        for (const char* server : kServers) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (path + server).c_str(), 0, KEY_READ | View,
                              &key) != ERROR_SUCCESS)
                continue;
            char value[1024];
            DWORD size = sizeof(value);
            DWORD type = 0;
            const LONG read = RegQueryValueExA(key, nullptr, nullptr, &type,
                                               reinterpret_cast<BYTE*>(value), &size);
            RegCloseKey(key);
            if (read != ERROR_SUCCESS || size <= 1)
                continue;
            named = true;
            if (GetFileAttributesA(value) != INVALID_FILE_ATTRIBUTES) {
                sound = true;
                break;
            }
        }
        if (named && !sound) {
            ++gBareDead;
            int entries = 0;
            EnumerateTree(HKEY_CLASSES_ROOT, path, View, entries);
        }
    }
}

double TimeBare()
{
    gBareDead = 0;
    gWalked = 0;
    const LARGE_INTEGER start = Tick();
    // File lookups see the native system folder, as the scanner's first try.
    PVOID redirection = nullptr;
    Wow64DisableWow64FsRedirection(&redirection);
    BareWalk(KEY_WOW64_32KEY);
    if (IsWin64())
        BareWalk(KEY_WOW64_64KEY);
    Wow64RevertWow64FsRedirection(redirection);
    return Seconds(start, Tick());
}

// ---------------------------------------------------------------------------
// The scanner on the worker

double TimeEngine(int& Found)
{
    auto main = std::make_shared<TqvMain>();
    main->FixCategory = std::make_unique<TqvCategory>(main.get());
    auto group = std::make_unique<TqvGroup>(main.get());
    group->Scanner = std::make_unique<TqvItemsCLSID>(main.get());
    TqvItems* scanner = group->Scanner.get();
    main->FixCategory->Groups.push_back(std::move(group));

    const double seconds = bench::TimeScanOnWorker(main, [](const TqvUIStatus&) { return true; });
    Found = 0;
    for (const auto& item : scanner->Items)
        if (!item->Locked)
            ++Found;
    return seconds;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int count = 0;
    if (const int exitCode = bench::Begin("scanbench", "classes] [dead", 20000, argc, argv, count))
        return exitCode;
    const bool allDead = argc > 2 && wcscmp(argv[2], L"dead") == 0;
    const int rounds = argc > 3 ? _wtoi(argv[3]) : 3;
    if (rounds <= 0) {
        fputs("usage: scanbench [classes] [dead|mixed] [rounds]\n", stderr);
        TDispatcher::Uninstall();
        return 2;
    }
    RemoveSynthetic();
    int dead = 0;
    if (!MakeSynthetic(count, allDead, dead)) {
        fputs("scanbench: cannot write HKCR\\CLSID\n", stderr);
        RemoveSynthetic();
        return 1;
    }
    // What the engine's data adds: the peak after the walks alone, against
    // the peak once the scanner's findings were held.
    TimeBare();
    const double walkPeak = bench::PeakMiB();
    double bare = 1e300;
    double engine = 1e300;
    int found = 0;
    // Alternating rounds; the fastest of each counts, so that a burst of load
    // on the machine weighs on neither side alone.
    for (int round = 0; round < rounds; ++round) {
        const double b = TimeBare();
        const double e = TimeEngine(found);
        printf("round\t%d\tbare\t%.3f\tengine\t%.3f\n", round + 1, b, e);
        fflush(stdout);
        bare = std::min(bare, b);
        engine = std::min(engine, e);
    }
    const double scanPeak = bench::PeakMiB();
    RemoveSynthetic();
    TDispatcher::Uninstall();

    printf("classes\t%d\n", count);
    printf("dead\t%d\n", dead);
    printf("found\t%d\tbare found\t%d\n", found, gBareDead);
    printf("bare\t%.3f\n", bare);
    printf("engine\t%.3f\n", engine);
    // Per class walked: the synthetic ones and the prefix's own, both views.
    printf("walked\t%d\n", gWalked);
    printf("bare per class\t%.1f us\n", bare * 1e6 / gWalked);
    printf("engine per class\t%.1f us\n", engine * 1e6 / gWalked);
    printf("memory walk\t%.1f MiB\tscan\t%.1f MiB\tbeyond walk\t%.1f MiB\n", walkPeak,
           scanPeak, scanPeak - walkPeak);
    printf("ratio\t%.3f\n", engine / bare);
    return 0;
}
