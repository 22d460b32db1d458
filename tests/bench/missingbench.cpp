// The missing-files scanner's cost against a bare walk of the same keys.
//
//   missingbench.exe [keys]      (default 20000; run in a win64 test prefix)
//
// Makes <keys> keys with three string values each naming an existing program
// under HKCU "SOFTWARE\KvBench" and under HKLM "SOFTWARE\KvBench" in both
// views, then times, in the same run:
// - a bare walk with raw calls over the same roots, views, ignore and special
//   lists: keys opened relative to their parent, every value read with its
//   data, the sub-keys listed;
// - the missing-files scan on the worker thread, its progress reports handed
//   to this thread through the synchronised call, as enginectl runs a scan;
// - for comparison, the same scan called on this thread without a progress
//   handler: the walk's own cost without the reports' thread switches.
// Each is timed twice and the faster run counts. The keys are removed at the
// end (and left-overs of an earlier run at the start). Output, one figure a
// line; the last is "ratio<TAB><scan seconds / bare seconds>".

#include "EngineBench.h"
#include "engine/qvClasses.h"
#include "engine/qvMissingFiles.h"
#include "platform/SysUtilsU.h"
#include "tests/engine/MissingFilesLists.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using bench::Seconds;
using bench::Tick;

constexpr char kBench[] = "SOFTWARE\\KvBench";
constexpr int kKeysPerGroup = 100;

struct TRoot {
    HKEY Root;
    const char* Name;
};
const TRoot kRoots[] = {{HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};

std::vector<REGSAM> Views()
{
    if (!IsWin64())
        return {0};
    return {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
}

void RemoveBench()
{
    for (const TRoot& root : kRoots) {
        for (REGSAM view : Views()) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(root.Root, kBench, 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
                RegDeleteTreeA(key, nullptr);
                RegCloseKey(key);
            }
            RegDeleteKeyExA(root.Root, kBench, view, 0);
        }
    }
}

bool MakeBench(int Count)
{
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string live[] = {std::string(windows) + "\\notepad.exe", "%WINDIR%\\regedit.exe",
                                "\"" + std::string(windows) + "\\system32\\notepad.exe\" /x"};
    for (const TRoot& root : kRoots) {
        for (REGSAM view : Views()) {
            // HKCU Software is one key in both views: write it once.
            if (root.Root == HKEY_CURRENT_USER && view == KEY_WOW64_64KEY)
                continue;
            for (int i = 0; i < Count; ++i) {
                const std::string path = std::string(kBench) + "\\G" +
                                         std::to_string(i / kKeysPerGroup) + "\\K" +
                                         std::to_string(i);
                HKEY key = nullptr;
                if (RegCreateKeyExA(root.Root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                    nullptr, &key, nullptr) != ERROR_SUCCESS)
                    return false;
                for (int v = 0; v < 3; ++v) {
                    const std::string name = "v" + std::to_string(v);
                    RegSetValueExA(key, name.c_str(), 0, v == 1 ? REG_EXPAND_SZ : REG_SZ,
                                   reinterpret_cast<const BYTE*>(live[v].c_str()),
                                   static_cast<DWORD>(live[v].size() + 1));
                }
                RegCloseKey(key);
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// The bare walk

std::set<std::string> gIgnored; // root name + "\" + key, upper case
long long gBareKeys = 0;
long long gBareValues = 0;

void BareKey(HKEY Root, const char* RootName, HKEY Parent, const std::string& Sub,
             const std::string& Path, REGSAM View, int Depth)
{
    if (Depth > TqvItemsMissingFiles::kMaxDepth)
        return;
    HKEY key = nullptr;
    if (RegOpenKeyExA(Parent ? Parent : Root, (Parent ? Sub : Path).c_str(), 0, KEY_READ | View,
                      &key) != ERROR_SUCCESS)
        return;
    ++gBareKeys;
    const std::string location = UpperCase(std::string(RootName) + "\\" + Path);
    if (gIgnored.count(location)) {
        for (const char* special : stest::kMissingFilesSpecial) {
            const std::string s = special;
            if (UpperCase(std::string(RootName) + "\\" + s).rfind(location + "\\", 0) == 0)
                BareKey(Root, RootName, nullptr, {}, s, View, Depth + 1);
        }
        RegCloseKey(key);
        return;
    }
    char name[16384];
    BYTE data[16384];
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = sizeof(name);
        DWORD dataLength = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) !=
            ERROR_SUCCESS)
            break;
        ++gBareValues;
    }
    for (const std::string& s : bench::SubKeyNames(key))
        BareKey(Root, RootName, key, s, Path + "\\" + s, View, Depth + 1);
    RegCloseKey(key);
}

double TimeBare()
{
    gBareKeys = gBareValues = 0;
    const LARGE_INTEGER start = Tick();
    for (REGSAM view : Views())
        for (const TRoot& root : kRoots)
            BareKey(root.Root, root.Name, nullptr, {}, kBench, view, 0);
    return Seconds(start, Tick());
}

// ---------------------------------------------------------------------------
// The scanner on the worker

std::shared_ptr<TqvMain> BenchRoot()
{
    auto main = std::make_shared<TqvMain>();
    main->LoadDataFromText("<Quorvex ver=\"1\"><fix><group id=\"reg-missing-files\">" +
                           stest::MissingFilesItems(kBench) + "</group></fix></Quorvex>");
    if (!main->FixCategory || main->FixCategory->Groups.empty())
        return nullptr;
    return main;
}

double TimeDirect()
{
    const std::shared_ptr<TqvMain> main = BenchRoot();
    if (!main)
        return 0;
    const LARGE_INTEGER start = Tick();
    main->ScanAll();
    return Seconds(start, Tick());
}

double TimeScan(int& Found, long long& Reports)
{
    const std::shared_ptr<TqvMain> main = BenchRoot();
    if (!main)
        return 0;
    TqvItems* scanner = main->FixCategory->Groups[0]->Scanner.get();

    long long reports = 0;
    const double seconds = bench::TimeScanOnWorker(main, [&reports](const TqvUIStatus&) {
        ++reports;
        return true;
    });
    Found = scanner->FoundCount();
    Reports = reports;
    return seconds;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int count = 0;
    if (const int exitCode = bench::Begin("missingbench", "keys", 20000, argc, argv, count))
        return exitCode;
    for (const TRoot& root : kRoots)
        for (const char* key : stest::kMissingFilesIgnored)
            gIgnored.insert(UpperCase(std::string(root.Name) + "\\" + key));
    RemoveBench();
    if (!MakeBench(count)) {
        fputs("missingbench: cannot write SOFTWARE\\KvBench\n", stderr);
        RemoveBench();
        return 1;
    }
    double bare = 1e300;
    double scan = 1e300;
    double direct = 1e300;
    int found = 0;
    long long reports = 0;
    for (int round = 0; round < 2; ++round) {
        bare = std::min(bare, TimeBare());
        scan = std::min(scan, TimeScan(found, reports));
        direct = std::min(direct, TimeDirect());
    }
    RemoveBench();
    TDispatcher::Uninstall();

    printf("keys\t%d\n", count);
    printf("walked keys\t%lld\tvalues\t%lld\n", gBareKeys, gBareValues);
    printf("found\t%d\n", found);
    printf("reports\t%lld\n", reports);
    printf("bare\t%.3f\n", bare);
    printf("scan\t%.3f\n", scan);
    printf("scan without reports\t%.3f\n", direct);
    printf("bare per key\t%.1f us\n", bare * 1e6 / static_cast<double>(std::max(1LL, gBareKeys)));
    printf("scan per key\t%.1f us\n", scan * 1e6 / static_cast<double>(std::max(1LL, gBareKeys)));
    printf("ratio\t%.3f\n", scan / bare);
    return 0;
}
