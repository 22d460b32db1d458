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
//   enginectl delayed-restore
//       delayed<TAB><common-list|user-list|user-shortcuts|common-shortcuts>
//           <TAB>restored=<n><TAB>failed=<n>  (the postponed start-up items put
//                                             back; exit 4 when any failed)
//
// Test variables: KV_TEST_MEMSTATUS=<total bytes>:<available bytes> stands in
// for the memory status the memory scanner reads; KV_TEST_RUNWRITE_FAIL=<value
// name> makes writing that postponed Run value back fail.
//
// The scan runs on a worker thread as the program's own scans do: the clean
// report is loaded first, and every progress report is handed to this (the
// pumping main) thread through the synchronised call. Lines end in LF.
// Exit status 0, or 2 for a usage error.

#include "engine/qvAddOnCheck.h"
#include "engine/qvClasses.h"
#include "engine/qvCleanRep.h"
#include "engine/qvExceptions.h"
#include "engine/qvStartup.h"
#include "engine/qvSystemScanners.h"
#include "platform/GuardU.h"
#include "platform/RegistryU.h"
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

// The scan of the worker: the clean report, then ScanAll.
class TScanThread : public TThread {
public:
    explicit TScanThread(TqvMain& Main) : Main_(Main) {}
    ~TScanThread() override
    {
        Terminate();
        WaitFor();
    }

protected:
    void Execute() override
    {
        Guard([] { EnsureCleanReportLoaded(); });
        Main_.ScanAll();
    }

private:
    TqvMain& Main_;
};

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

int Scan(bool Verbose)
{
    if (!TDispatcher::Install()) {
        fputs("enginectl: no dispatcher on the main thread\n", stderr);
        return 1;
    }
    TqvMain main;
    main.LoadData();

    TqvUIStatus last;
    main.OnProgress = [&last](const TqvUIStatus& Status) {
        const TqvUIStatus report = Status;
        TDispatcher::Call([&] {
            if (report.Phase == kPhaseScan)
                last = report;
        });
        return true;
    };
    {
        TScanThread worker(main);
        worker.Start();
        worker.WaitFor();
    }

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
    TDispatcher::Uninstall();
    return 0;
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
    fputs("usage: enginectl load\n       enginectl scan [-v]\n       enginectl delayed-restore\n",
          stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    int status = 2;
    const bool ran = Guard([&] {
        // Settings are read once per process, as the program does at start.
        LoadSettings();
        InstallTestSeams();
        if (args.size() == 1 && args[0] == L"load")
            status = Load();
        else if (!args.empty() && args[0] == L"scan" &&
                 (args.size() == 1 || (args.size() == 2 && args[1] == L"-v")))
            status = Scan(args.size() == 2);
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
