// The engine's test driver: loads the built-in catalogue into a new engine
// root and prints what the model holds, or scans this machine with it.
//
//   enginectl load
//       version<TAB><ver>
//       <category><TAB><group id><TAB>order=<n><TAB>progsize=<n><TAB>settings=<0|1>
//           <TAB>showdetails=<0|1><TAB>type=<items type>     (one line per group)
//       exceptions<TAB>files=<n><TAB>reg=<n>
//   enginectl scan [-v]
//       <category><TAB><group id><TAB>found=<n><TAB>bytes=<n>  (one line per group)
//       [item<TAB>selected=<0|1><TAB>locked=<0|1><TAB><line>]  (-v: every line of each
//                                                              found item)
//       total<TAB>errors=<n><TAB>boost=<n><TAB>bytes=<n>       (the last scan report)
//   enginectl repair <flags> [-v]
//       a new root scanned and printed as by scan, then repaired with the
//       flags (2 fix, 4 boost, 8 clean, or-ed) and the restore point the
//       wizard would ask for (setting CREATE_SYSTEMRP, System Restore on).
//       stderr: backup failed<TAB><fix|boost> for a category whose backup
//       failed (exit 3), restorepoint<TAB>failed when a wanted restore point
//       was not made.
//       Then, for every repaired category:
//       done<TAB><category><TAB>items=<n><TAB>bytes=<n>   (what the repair did)
//       notdone<TAB><category><TAB><group id><TAB><item line><TAB><reason>
//           (every checked item the repair left undone: exit 5 when any, and
//           no backup failed)
//   enginectl backups
//       <fix|boost><TAB><file name><TAB><date text>  (fix list, then boost list,
//                                                     each newest first)
//   enginectl restore <backup file>
//       restore<TAB>applied=<n><TAB>failed=<n>       (exit 4 when any failed,
//                                                     2 for a file that is no backup)
//
//   enginectl delayed-restore
//       delayed<TAB><common-list|user-list|user-shortcuts|common-shortcuts>
//           <TAB>restored=<n><TAB>failed=<n>  (the postponed start-up items put
//                                             back; exit 4 when any failed)
//
// Test variables: KV_TEST_MEMSTATUS=<total bytes>:<available bytes> stands in
// for the memory status the memory scanner reads; KV_TEST_RUNWRITE_FAIL=<value
// name> makes writing that postponed Run value back fail.
//
// Scans and repairs run on the program's worker thread (TqvExecThread): the
// clean report is loaded first, and every progress report is handed to this
// (the pumping main) thread through the synchronised call. Lines end in LF,
// on stderr too.
// Exit status 0, or 2 for a usage error.

#include "engine/qvBackup.h"
#include "engine/qvAddOnCheck.h"
#include "engine/qvClasses.h"
#include "engine/qvCleanRep.h"
#include "engine/qvExceptions.h"
#include "engine/qvStartup.h"
#include "engine/qvSystemScanners.h"
#include "platform/RegistryU.h"
#include "engine/qvThreads.h"
#include "platform/GuardU.h"
#include "platform/SysUtilsU.h"
#include "platform/ThreadU.h"
#include "platform/UnicodeU.h"
#include "platform/qvSettings.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Out(const std::string& Line)
{
    fwrite(Line.data(), 1, Line.size(), stdout);
    fputc('\n', stdout);
}

const char* CategoryName(uint8_t Category)
{
    switch (Category) {
    case kCategoryFix:
        return "fix";
    case kCategoryBoost:
        return "boost";
    default:
        return "clean";
    }
}

std::string Flag(bool Value)
{
    return Value ? "1" : "0";
}

template <typename F> void ForEachGroup(const TqvMain& Main, F&& Visit)
{
    for (uint8_t k = kCategoryFix; k <= kCategoryClean; ++k)
        if (const TqvCategory* category = Main.Category(k))
            for (const auto& group : category->Groups)
                Visit(k, *group);
}

int Load()
{
    TqvMain main;
    main.LoadData();
    Out("version\t" + main.Version);
    ForEachGroup(main, [](uint8_t k, const TqvGroup& g) {
        Out(std::string(CategoryName(k)) + "\t" + g.Id + "\torder=" + IntToStr(g.Order) +
            "\tprogsize=" + IntToStr(g.ProgSize) + "\tsettings=" + Flag(g.HasSettings) +
            "\tshowdetails=" + Flag(g.ShowDetails) + "\ttype=" + g.ItemsType);
    });
    const TqvExceptions* exceptions = Exceptions();
    Out("exceptions\tfiles=" + IntToStr(exceptions ? exceptions->Files.Count() : 0) + "\treg=" +
        IntToStr(exceptions ? static_cast<int64_t>(exceptions->RegExceptions.size()) : 0));
    return 0;
}

// Runs one worker on Main and waits for its end, pumping the synchronised
// calls meanwhile. Progress gets every report; True when the worker ran and
// ended, with RestorePointFailed as the worker left it.
bool RunWorker(const std::shared_ptr<TqvMain>& Main, uint8_t Mode, uint8_t Flags, bool RestorePoint,
               TqvExecThread::TProgressEvent Progress, bool* RestorePointFailed = nullptr)
{
    bool failed = false;
    auto* worker = new TqvExecThread(
        Main, RestorePoint,
        [&failed](TqvExecThread& Sender) { failed = Sender.RestorePointFailed; },
        std::move(Progress), Flags, Mode);
    HANDLE done = worker->OpenWaitHandle();
    if (!done) {
        delete worker;
        return false;
    }
    worker->Start();
    PumpedWait(done, INFINITE);
    CloseHandle(done);
    if (RestorePointFailed)
        *RestorePointFailed = failed;
    return true;
}

// A scan of a new root on the worker; Last gets the last scan report.
std::shared_ptr<TqvMain> ScanNewRoot(TqvUIStatus& Last)
{
    auto main = std::make_shared<TqvMain>();
    main->LoadData();
    ResetUIStatus(Last);
    RunWorker(main, kModeScan, kScanFlags, false, [&Last](const TqvUIStatus& Status) {
        if (Status.Phase == kPhaseScan)
            Last = Status;
        return true;
    });
    return main;
}

std::vector<std::string> ItemLines(TqvItem& Item)
{
    std::vector<std::string> lines;
    const std::string xml = Item.GetXML();
    size_t start = 0;
    while (start < xml.size()) {
        size_t end = xml.find("\r\n", start);
        if (end == std::string::npos)
            end = xml.size();
        if (end > start)
            lines.push_back(xml.substr(start, end - start));
        start = end + 2;
    }
    if (lines.empty())
        lines.push_back(Utf8FromWide(Item.Caption));
    return lines;
}

void PrintScan(const TqvMain& main, bool Verbose, const TqvUIStatus& last)
{
    ForEachGroup(main, [Verbose](uint8_t k, const TqvGroup& g) {
        Out(std::string(CategoryName(k)) + "\t" + g.Id + "\tfound=" + IntToStr(g.FoundCount()) +
            "\tbytes=" + IntToStr(g.FoundSize()));
        if (!Verbose || !g.Scanner)
            return;
        for (const auto& item : g.Scanner->Items) {
            if (!item->Found)
                continue;
            for (const std::string& line : ItemLines(*item))
                Out("item\tselected=" + Flag(item->Selected) + "\tlocked=" + Flag(item->Locked) +
                    "\t" + line);
        }
    });
    Out("total\terrors=" + IntToStr(last.FixErrors) + "\tboost=" + IntToStr(last.BoostItems) +
        "\tbytes=" + IntToStr(last.CleanBytes));
}

bool InstallDispatcher()
{
    if (TDispatcher::Install())
        return true;
    fputs("enginectl: no dispatcher on the main thread\n", stderr);
    return false;
}

int Scan(bool Verbose)
{
    if (!InstallDispatcher())
        return 1;
    TqvUIStatus last;
    const std::shared_ptr<TqvMain> main = ScanNewRoot(last);
    PrintScan(*main, Verbose, last);
    TDispatcher::Uninstall();
    return 0;
}

int Repair(uint8_t Flags, bool Verbose)
{
    if (!InstallDispatcher())
        return 1;
    TqvUIStatus last;
    const std::shared_ptr<TqvMain> main = ScanNewRoot(last);
    PrintScan(*main, Verbose, last);
    const bool restorePoint = RestorePointWanted();
    bool restorePointFailed = false;
    RunWorker(main, kModeRepair, Flags, restorePoint, nullptr, &restorePointFailed);
    TDispatcher::Uninstall();
    if (restorePoint && restorePointFailed)
        fputs("restorepoint\tfailed\n", stderr);
    int status = 0;
    for (uint8_t k : {kCategoryFix, kCategoryBoost}) {
        if (main->BackupFailed(k)) {
            fprintf(stderr, "backup failed\t%s\n", CategoryName(k));
            status = 3;
        }
    }
    bool anyNotDone = false;
    for (uint8_t k = kCategoryFix; k <= kCategoryClean; ++k) {
        const TqvCategory* category = main->Category(k);
        if (!category || !(Flags & (1u << k)))
            continue;
        Out(std::string("done\t") + CategoryName(k) + "\titems=" +
            IntToStr(category->DoneCount()) + "\tbytes=" + IntToStr(category->DoneSize()));
        std::vector<std::pair<const TqvGroup*, TqvNotDone>> notDone;
        category->CollectNotDone(notDone);
        for (const auto& [group, item] : notDone)
            Out(std::string("notdone\t") + CategoryName(k) + "\t" + group->Id + "\t" +
                item.What + "\t" + item.Reason);
        anyNotDone = anyNotDone || !notDone.empty();
    }
    if (status == 0 && anyNotDone)
        status = 5;
    return status;
}

int Backups()
{
    TqvBackups backups;
    backups.Load();
    for (const auto* list : {&backups.FixBackups, &backups.BoostBackups}) {
        for (const auto& backup : *list) {
            const size_t slash = backup->FileName.find_last_of('\\');
            Out(std::string(backup->Type == kBackupFix ? "fix" : "boost") + "\t" +
                backup->FileName.substr(slash == std::string::npos ? 0 : slash + 1) + "\t" +
                AnsiFromWide(backup->Date));
        }
    }
    return 0;
}

int Restore(const std::string& FileName)
{
    TqvBackup backup(FileName);
    if (backup.Type == 0) {
        fputs("enginectl: not a backup file\n", stderr);
        return 2;
    }
    const TqvBackup::TResult result = backup.Restore();
    Out("restore\tapplied=" + IntToStr(result.Applied) + "\tfailed=" + IntToStr(result.Failed));
    return result.Failed == 0 ? 0 : 4;
}

// Flags of a repair: a number from 0 to 14 made of 2, 4 and 8.
bool ParseFlags(const std::wstring& Text, uint8_t& Flags)
{
    int32_t value = -1;
    if (!TryStrToInt(AnsiFromWide(Text), value) || value < 0 || value > kScanFlags ||
        (value & ~kScanFlags) != 0)
        return false;
    Flags = static_cast<uint8_t>(value);
    return true;
}

// The test variables' seams.
uint64_t gTestTotalMemory = 0;
uint64_t gTestAvailableMemory = 0;
std::string gTestFailingRunValue;

bool TestMemoryStatus(uint64_t& TotalBytes, uint64_t& AvailableBytes)
{
    TotalBytes = gTestTotalMemory;
    AvailableBytes = gTestAvailableMemory;
    return true;
}

bool TestRunValueWrite(HKEY Root, const std::string& Key, const std::string& Name, DWORD Type,
                       const std::string& Value)
{
    if (SameText(Name, gTestFailingRunValue))
        return false;
    return RegWriteStringTyped(Root, Key, Name, Type, Value);
}

std::string TestVariable(const wchar_t* Name)
{
    wchar_t buffer[1024] = {};
    const DWORD n = GetEnvironmentVariableW(Name, buffer, 1024);
    return n > 0 && n < 1024 ? AnsiFromWide(buffer) : std::string();
}

void InstallTestSeams()
{
    const std::string memory = TestVariable(L"KV_TEST_MEMSTATUS");
    const size_t colon = memory.find(':');
    if (colon != std::string::npos) {
        gTestTotalMemory = std::strtoull(memory.substr(0, colon).c_str(), nullptr, 10);
        gTestAvailableMemory = std::strtoull(memory.substr(colon + 1).c_str(), nullptr, 10);
        SetMemoryStatusQueryForTests(&TestMemoryStatus);
    }
    gTestFailingRunValue = TestVariable(L"KV_TEST_RUNWRITE_FAIL");
    if (!gTestFailingRunValue.empty())
        SetRunValueWriteForTests(&TestRunValueWrite);
}

int DelayedRestore()
{
    const TDelayedRestoreReport report = RestoreDelayedStartupItems();
    const std::pair<const char*, const TDelayedCount*> parts[] = {
        {"common-list", &report.CommonList},
        {"user-list", &report.UserList},
        {"user-shortcuts", &report.UserShortcuts},
        {"common-shortcuts", &report.CommonShortcuts},
    };
    for (const auto& [name, count] : parts)
        Out(std::string("delayed\t") + name + "\trestored=" + IntToStr(count->Restored) +
            "\tfailed=" + IntToStr(count->Failed));
    return report.AnyFailed() ? 4 : 0;
}

int Usage()
{
    fputs("usage: enginectl load\n       enginectl scan [-v]\n"
          "       enginectl repair <flags> [-v]\n       enginectl backups\n"
          "       enginectl restore <backup file>\n       enginectl delayed-restore\n",
          stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    int status = 2;
    uint8_t flags = 0;
    const bool ran = Guard([&] {
        // Settings are read once per process, as the program does at start.
        LoadSettings();
        InstallTestSeams();
        if (args.size() == 1 && args[0] == L"load")
            status = Load();
        else if (!args.empty() && args[0] == L"scan" &&
                 (args.size() == 1 || (args.size() == 2 && args[1] == L"-v")))
            status = Scan(args.size() == 2);
        else if (!args.empty() && args[0] == L"repair" &&
                 (args.size() == 2 || (args.size() == 3 && args[2] == L"-v")) &&
                 ParseFlags(args[1], flags))
            status = Repair(flags, args.size() == 3);
        else if (args.size() == 1 && args[0] == L"backups")
            status = Backups();
        else if (args.size() == 2 && args[0] == L"restore")
            status = Restore(AnsiFromWide(args[1]));
        else if (args.size() == 1 && args[0] == L"delayed-restore")
            status = DelayedRestore();
        else
            status = Usage();
    });
    // The add-on web check runs on threads of its own: a late answer is still
    // saved before the program ends, but no longer than 15 s is waited.
    Guard([] { WaitForAddOnChecks(15000); });
    fflush(stdout);
    return ran ? status : 1;
}
