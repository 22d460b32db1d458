// The cost of a large repair as it grows: scan, repair with its backup, and
// the rescan after it; and the memory of a whole scan and repair.
//
//   repairbench.exe [classes]           (default 5000; run in a win64 test prefix)
//   repairbench.exe memory [classes]    (default 100000)
//
// For N = <classes> and then 4N, makes N synthetic dead classes under HKCR
// "CLSID" in the 32-bit view (each an InprocServer32 naming a distinct
// missing file), then times, on the worker thread as enginectl runs them:
// - a scan by the class scanner;
// - the repair of its findings with the fix backup (the program's backup
//   writer and clean report, in the prefix's backup folder);
// - a rescan after the same N dead classes were written again (as the
//   program that registered them does at its next start), with the clean
//   report read afresh from its file as the next run of the program reads it:
//   every class is met again and each finding is looked up in the report,
//   which hides it.
// The backups and the clean report of each size are removed afterwards,
// left-overs of an earlier run at the start, and so are the classes.
// The peak working set is read after an empty scan (no synthetic class) and
// after the scan and the repair of 4N; what the engine's data adds is the
// difference.
// Output, one figure a line: per size the classes, the found items, the
// seconds of scan, repair and rescan, the repair's seconds per 1,000 classes,
// the entries of the clean report and what the rescan still found (0 when
// the report hid every class); then both per 1,000 and their ratio (1.0 is
// linear), "rescan ratio" at N and at 4N (rescan / the scan before the
// repair), the memory figures in MiB, and last "ratio<TAB><repair seconds at
// 4N / at N>" (4.0 is linear).
//
// "memory" measures what `enginectl scan` and `enginectl repair 2` hold, in
// processes of their own: each loads the settings and the built-in catalogue
// and scans every group on the worker thread; the first with no synthetic
// class, the second with <classes> dead classes in the 32-bit view (one
// finding each, with its locked detail), which then repairs the fix category
// with its backup, only the synthetic classes selected, so that the prefix's
// own findings stay as they are. Each reads its peak working set
// (PeakWorkingSetSize) after the scan and after the repair; the output gives
// each and the difference to the empty scan's, the engine's own data:
//   memory empty scan<TAB><MiB><TAB>found<TAB><n><TAB>seconds<TAB><s>
//   memory scan<TAB><MiB><TAB>beyond empty<TAB><MiB><TAB>found<TAB><n><TAB>seconds<TAB><s>
//   memory repair<TAB><MiB><TAB>beyond empty<TAB><MiB><TAB>done<TAB><n><TAB>seconds<TAB><s>
//   scan per class beyond empty<TAB><us>
// (found counts the findings and their locked details; stderr has each
// process's figures as soon as it has them).

#include "EngineBench.h"
#include "engine/qvBackup.h"
#include "engine/qvCleanRep.h"
#include "engine/qvClasses.h"
#include "engine/qvClassesEx.h"
#include "platform/FileUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
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
    int ReportEntries = 0;
    int RescanFound = 0;
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
    // The repaired classes come back, so that the rescan meets every one the
    // report holds and asks the report for each, as a rescan does after the
    // program that registered them wrote them again.
    if (!MakeSynthetic(Count)) {
        fputs("repairbench: cannot write HKCR\\CLSID\n", stderr);
        return false;
    }
    // The next run of the program reads the report from its file.
    ResetCleanReportForTests();
    std::shared_ptr<TqvMain> rescanned = NewClassRoot();
    Round.Rescan = RunWorker(rescanned, kModeScan, kScanFlags);
    Round.RescanFound = rescanned->FixCategory->FoundCount();
    Round.ReportEntries = CleanReport() ? CleanReport()->Count() : 0;
    rescanned.reset();
    printf("classes\t%d\tfound\t%d\tscan\t%.3f\trepair\t%.3f\trescan\t%.3f\tper 1000\t%.3f\t"
           "report entries\t%d\trescan found\t%d\n",
           Count, Round.Found, Round.Scan, Round.Repair, Round.Rescan,
           Round.Repair * 1000.0 / Count, Round.ReportEntries, Round.RescanFound);
    fflush(stdout);
    RemoveSynthetic();
    RemoveBackups();
    return true;
}

// ---------------------------------------------------------------------------
// The memory of a whole scan and repair, each in a process of its own

constexpr wchar_t kChildSwitch[] = L"--memory-child";

// What enginectl does for "scan" and "repair 2": the settings and the
// catalogue, a scan on the worker, and with Repair then the fix category's
// repair of the synthetic classes alone. Prints the peak working set and the
// found items after the scan, and with Repair the peak and the done items
// after the repair, one line each.
int MemoryChild(bool Repair)
{
    LoadSettings();
    auto main = std::make_shared<TqvMain>();
    main->LoadData();
    // Each line goes to stderr too, at once: a large run takes long.
    const auto report = [](const char* What, int Count, double Seconds) {
        const double peak = bench::PeakMiB();
        printf("%.1f\t%d\t%.3f\n", peak, Count, Seconds);
        fflush(stdout);
        fprintf(stderr, "child %s\tpeak\t%.1f MiB\tcount\t%d\tseconds\t%.3f\n", What, peak, Count,
                Seconds);
    };
    const double scan = RunWorker(main, kModeScan, kScanFlags);
    report("scan", main->FixCategory ? main->FixCategory->FoundCount() : 0, scan);
    if (!Repair)
        return 0;
    // The prefix's own findings are not the benchmark's to change.
    const std::string ours = AnsiFromWide(kPrefix);
    for (uint8_t k = kCategoryFix; k <= kCategoryClean; ++k)
        if (TqvCategory* category = main->Category(k))
            for (const auto& group : category->Groups) {
                if (!group->Scanner)
                    continue;
                for (const auto& item : group->Scanner->Items) {
                    const auto* reg = dynamic_cast<const TqvRegItem*>(item.get());
                    if (!reg || reg->Key.find(ours) == std::string::npos)
                        item->Selected = false;
                }
            }
    const double repair = RunWorker(main, kModeRepair, kRepairFix);
    report("repair", main->FixCategory ? main->FixCategory->DoneCount() : 0, repair);
    return 0;
}

struct TChildFigures {
    double Peak = 0;
    int Count = 0;
    double Seconds = 0;
};

// Runs this program as a memory child and reads its lines.
bool RunMemoryChild(const wchar_t* What, std::vector<TChildFigures>& Lines)
{
    wchar_t self[MAX_PATH] = {};
    if (!GetModuleFileNameW(nullptr, self, MAX_PATH))
        return false;
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command =
        L"\"" + std::wstring(self) + L"\" " + kChildSwitch + L" " + std::wstring(What);
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(writeEnd);
    std::string output;
    if (started) {
        char buffer[256];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            output.append(buffer, read);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    Lines.clear();
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        TChildFigures figures;
        if (sscanf(output.substr(start, end - start).c_str(), "%lf\t%d\t%lf", &figures.Peak,
                   &figures.Count, &figures.Seconds) == 3)
            Lines.push_back(figures);
        start = end + 1;
    }
    return started;
}

int MemoryRun(int Count)
{
    RemoveSynthetic();
    RemoveBackups();
    std::vector<TChildFigures> empty;
    std::vector<TChildFigures> full;
    bool ran = RunMemoryChild(L"scan", empty) && empty.size() == 1;
    if (ran) {
        if (!MakeSynthetic(Count)) {
            fputs("repairbench: cannot write HKCR\\CLSID\n", stderr);
            ran = false;
        }
    }
    ran = ran && RunMemoryChild(L"repair", full) && full.size() == 2;
    RemoveSynthetic();
    RemoveBackups();
    if (!ran) {
        fputs("repairbench: a memory run failed\n", stderr);
        return 1;
    }
    printf("classes\t%d\tin the 32-bit view\n", Count);
    printf("memory empty scan\t%.1f MiB\tfound\t%d\tseconds\t%.3f\n", empty[0].Peak,
           empty[0].Count, empty[0].Seconds);
    printf("memory scan\t%.1f MiB\tbeyond empty\t%.1f MiB\tfound\t%d\tseconds\t%.3f\n",
           full[0].Peak, full[0].Peak - empty[0].Peak, full[0].Count, full[0].Seconds);
    printf("memory repair\t%.1f MiB\tbeyond empty\t%.1f MiB\tdone\t%d\tseconds\t%.3f\n",
           full[1].Peak, full[1].Peak - empty[0].Peak, full[1].Count, full[1].Seconds);
    // What each synthetic class adds to the whole scan, against the empty one.
    printf("scan per class beyond empty\t%.1f us\n",
           (full[0].Seconds - empty[0].Seconds) * 1e6 / Count);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && wcscmp(argv[1], kChildSwitch) == 0) {
        if (!TDispatcher::Install())
            return 1;
        const int status = MemoryChild(wcscmp(argv[2], L"repair") == 0);
        TDispatcher::Uninstall();
        return status;
    }
    if (argc > 1 && wcscmp(argv[1], L"memory") == 0) {
        int count = 0;
        if (const int exitCode =
                bench::Begin("repairbench memory", "classes", 100000, argc - 1, argv + 1, count))
            return exitCode;
        const int status = MemoryRun(count);
        TDispatcher::Uninstall();
        return status;
    }
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
        RemoveBackups();
        return 1;
    }
    const double perSmall = small.Repair * 1000.0 / count;
    const double perLarge = large.Repair * 1000.0 / (4.0 * count);
    printf("repair per 1000\t%.3f\tat 4N\t%.3f\tper 1000 ratio\t%.3f\n", perSmall, perLarge,
           perLarge / perSmall);
    printf("rescan ratio\t%.3f\tat 4N\t%.3f\n", small.Rescan / small.Scan,
           large.Rescan / large.Scan);
    printf("memory empty scan\t%.1f MiB\n", emptyPeak);
    printf("memory scan\t%.1f MiB\tbeyond empty\t%.1f MiB\n", large.ScanPeak,
           large.ScanPeak - emptyPeak);
    printf("memory repair\t%.1f MiB\tbeyond empty\t%.1f MiB\n", large.RepairPeak,
           large.RepairPeak - emptyPeak);
    printf("ratio\t%.3f\n", large.Repair / small.Repair);
    return 0;
}
