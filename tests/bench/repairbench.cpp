// The cost of a large repair as it grows: scan, repair with its backup, and
// the rescan after it.
//
//   repairbench.exe [classes]    (default 5000; run in a win64 test prefix)
//
// For N = <classes> and then 4N, makes N synthetic dead classes under HKCR
// "CLSID" in the 32-bit view (each an InprocServer32 naming a distinct
// missing file), then times, on the worker thread as enginectl runs them:
// - a scan by the class scanner;
// - the repair of its findings with the fix backup (the program's backup
//   writer and clean report, in the prefix's backup folder);
// - a rescan with the clean report read afresh from its file, as the next run
//   of the program reads it.
// The backups and the clean report of each size are removed afterwards,
// left-overs of an earlier run at the start, and so are the classes.
// The peak working set is read after an empty scan (no synthetic class) and
// after the scan and the repair of 4N; what the engine's data adds is the
// difference.
// Output, one figure a line: per size the classes, the found items, the
// seconds of scan, repair and rescan and the repair's seconds per 1,000
// classes; then both per 1,000 and their ratio (1.0 is linear), "rescan
// ratio" (rescan / scan at 4N), the memory figures in MiB, and last
// "ratio<TAB><repair seconds at 4N / at N>" (4.0 is linear).

#include "EngineBench.h"
#include "engine/qvBackup.h"
#include "engine/qvCleanRep.h"
#include "engine/qvClasses.h"
#include "engine/qvClassesEx.h"
#include "platform/FileUtilsU.h"
#include "platform/qvCommon.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::Seconds;
using bench::Tick;

constexpr wchar_t kPrefix[] = L"{0B3C7E57-0000-4000-9000-";

std::wstring ClassName(int Index)
{
    return bench::SyntheticClassName(kPrefix, Index);
}

void RemoveSynthetic()
{
    bench::RemoveSyntheticClasses(kPrefix);
}

bool MakeSynthetic(int Count)
{
    for (int i = 0; i < Count; ++i) {
        const std::wstring server =
            L"C:\\korvelle-bench-gone\\repair" + std::to_wstring(i) + L".dll";
        if (!bench::WriteSyntheticClass(ClassName(i), server))
            return false;
    }
    return true;
}

// The backups and the clean report: each size starts without them.
void RemoveBackups()
{
    ResetCleanReportForTests();
    const std::string dir = BackupDir();
    if (dir.empty())
        return;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "*.xml").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do
        DeleteFileA((dir + data.cFileName).c_str());
    while (FindNextFileA(find, &data));
    FindClose(find);
}

std::shared_ptr<TqvMain> NewClassRoot()
{
    auto main = std::make_shared<TqvMain>();
    main->FixCategory = std::make_unique<TqvCategory>(main.get());
    auto group = std::make_unique<TqvGroup>(main.get());
    group->Scanner = std::make_unique<TqvItemsCLSID>(main.get());
    main->FixCategory->Groups.push_back(std::move(group));
    return main;
}

double RunWorker(const std::shared_ptr<TqvMain>& Main, uint8_t Mode, uint8_t Flags)
{
    const LARGE_INTEGER start = Tick();
    auto* worker = new TqvExecThread(Main, false, nullptr,
                                     [](const TqvUIStatus&) { return true; }, Flags, Mode);
    HANDLE done = worker->OpenWaitHandle();
    worker->Start();
    PumpedWait(done, INFINITE);
    CloseHandle(done);
    return Seconds(start, Tick());
}

struct TRound {
    int Found = 0;
    double Scan = 0;
    double Repair = 0;
    double Rescan = 0;
    double ScanPeak = 0;
    double RepairPeak = 0;
};

bool RunSize(int Count, TRound& Round)
{
    RemoveSynthetic();
    RemoveBackups();
    if (!MakeSynthetic(Count)) {
        fputs("repairbench: cannot write HKCR\\CLSID\n", stderr);
        return false;
    }
    std::shared_ptr<TqvMain> main = NewClassRoot();
    Round.Scan = RunWorker(main, kModeScan, kScanFlags);
    Round.ScanPeak = bench::PeakMiB();
    Round.Found = main->FixCategory->FoundCount();
    Round.Repair = RunWorker(main, kModeRepair, kRepairFix);
    Round.RepairPeak = bench::PeakMiB();
    main.reset();
    // The next run of the program reads the report from its file.
    ResetCleanReportForTests();
    Round.Rescan = RunWorker(NewClassRoot(), kModeScan, kScanFlags);
    printf("classes\t%d\tfound\t%d\tscan\t%.3f\trepair\t%.3f\trescan\t%.3f\tper 1000\t%.3f\n",
           Count, Round.Found, Round.Scan, Round.Repair, Round.Rescan,
           Round.Repair * 1000.0 / Count);
    fflush(stdout);
    RemoveSynthetic();
    RemoveBackups();
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int count = 0;
    if (const int exitCode = bench::Begin("repairbench", "classes", 5000, argc, argv, count))
        return exitCode;
    RemoveSynthetic();
    RemoveBackups();
    RunWorker(NewClassRoot(), kModeScan, kScanFlags);
    const double emptyPeak = bench::PeakMiB();
    TRound small;
    TRound large;
    const bool ran = RunSize(count, small) && RunSize(4 * count, large);
    TDispatcher::Uninstall();
    if (!ran) {
        RemoveSynthetic();
        return 1;
    }
    const double perSmall = small.Repair * 1000.0 / count;
    const double perLarge = large.Repair * 1000.0 / (4.0 * count);
    printf("repair per 1000\t%.3f\tat 4N\t%.3f\tper 1000 ratio\t%.3f\n", perSmall, perLarge,
           perLarge / perSmall);
    printf("rescan ratio\t%.3f\n", large.Rescan / large.Scan);
    printf("memory empty scan\t%.1f MiB\n", emptyPeak);
    printf("memory scan\t%.1f MiB\tbeyond empty\t%.1f MiB\n", large.ScanPeak,
           large.ScanPeak - emptyPeak);
    printf("memory repair\t%.1f MiB\tbeyond empty\t%.1f MiB\n", large.RepairPeak,
           large.RepairPeak - emptyPeak);
    printf("ratio\t%.3f\n", large.Repair / small.Repair);
    return 0;
}
