// The reader fuzzer: every reader of data that a user, another program or the
// network can write gets inputs derived from its seed corpus (the folder
// fixtures\fuzz\<reader> beside the program) by a mutation loop with a fixed
// seed, each through the reader's own entry, in the same process.
//
//   fuzzreaders [--reader NAME]... [--count N] [--from I]
//       N inputs per reader (default 20000), from input I (default 0); all
//       readers when none is named. Prints each failing input and one line of
//       figures per reader; exit 1 when any input failed.
//   fuzzreaders --replay FILE [--reader NAME]
//       runs one input again (the reader is named by the file's folder unless
//       given) and prints its verdict; exit 1 when it fails.
//   fuzzreaders --list
//       the readers, their entries and their allocation caps.
//   fuzzreaders --reader NAME --write-input I
//       writes input I of the reader (as a failing input is written, without
//       running it), to replay or study an input a run named.
//   fuzzreaders --write-picture-seeds FOLDER
//       writes the seeds of the picture readers (they are committed; this
//       made them).
//
// An input fails when its reader crashes, overflows its stack, throws, takes
// more than its reader's time (TReader::SlowMs, 1 s for most) and, run once
// more, uses that much processor time, gets
// no answer for kHangMs (twice), allocates more than its cap, breaks a rule of its
// result, or changes the disk or the registry beyond what the reader may
// write (the registry through its redirection into the sandbox, the disk
// through change notices on the sandbox folder, checked again with snapshots
// of the whole folder when one comes). The failing input is written to the folder
// C:\ktest-evidence\fuzz\<reader> with its index and seed.
//
// Each reader's inputs run in a worker process (this program with --worker)
// that a supervisor watches: when the worker dies or hangs the supervisor
// makes the input again from its index, writes it out and starts a new
// worker after it.

#include "FuzzAlloc.h"
#include "FuzzMutator.h"
#include "FuzzReaders.h"

#include "controls/KvWideStrings.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/LogU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace fuzz;

constexpr uint64_t kDefaultCount = 20000;
// The time limit of an input (TReader::SlowMs) is on the worker's processor
// time: elapsed time on a loaded machine says little, and a reader that loops
// computes.
// A worker that spends this long on one input (elapsed) is stopped, and the
// input counts as a hang when it gets no answer again in a worker of its own:
// the reader may wait rather than compute.
constexpr DWORD kHangMs = 30000;
// The supervisor's progress lines of a long run.
constexpr int64_t kProgressEvery = 100000;
constexpr DWORD kPollMs = 20;
// A reader whose workers died this often is given up.
constexpr int kMaxCrashes = 10;
constexpr char kEvidenceDir[] = "C:\\ktest-evidence\\fuzz\\";
// TShared::Current while a worker runs the reader on its seeds.
constexpr int64_t kOnSeeds = -2;

// What a worker reports to its supervisor, in a mapping the two share.
struct TShared {
    volatile int64_t Current; // the input being run; -1 between inputs, kOnSeeds
    volatile DWORD StartTick;
    volatile int64_t Done; // inputs finished
    volatile int64_t Failures;
    volatile int64_t Taken;    // inputs the reader read through
    volatile int64_t Guarded;  // exceptions that a guard inside a reader swallowed
    volatile double SlowestMs; // processor time
    volatile int64_t SlowestIndex;
    volatile double LongestMs; // elapsed
    volatile int64_t LongestIndex;
    volatile int64_t PeakBytes;
    volatile int64_t PeakIndex;
    volatile int64_t PeakSize; // of the input with the peak
    volatile double TopShare;  // the largest share of its cap an input used
    volatile int64_t TopShareIndex;
};

struct TFigures {
    int64_t Inputs = 0;
    int64_t Failures = 0;
    int64_t Taken = 0;
    int64_t Guarded = 0;
    double SlowestMs = 0;
    int64_t SlowestIndex = -1;
    double LongestMs = 0;
    int64_t LongestIndex = -1;
    int64_t PeakBytes = 0;
    int64_t PeakIndex = -1;
    int64_t PeakSize = 0;
    double TopShare = 0;
    int64_t TopShareIndex = -1;
};

void Print(const std::string& text)
{
    fwrite(text.data(), 1, text.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// In megabytes, or in kilobytes below one megabyte.
std::string ByteSize(int64_t bytes)
{
    char text[32];
    if (bytes < 1024 * 1024)
        snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024.0);
    else
        snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string Milliseconds(double ms)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f ms", ms);
    return text;
}

std::string SeedFolder(const TReader& Reader)
{
    return GetApplicationDir() + "fixtures\\fuzz\\" + Reader.Name + "\\";
}

std::vector<TSeed> LoadSeeds(const TReader& Reader)
{
    std::vector<TSeed> seeds;
    const std::string folder = SeedFolder(Reader);
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return seeds;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        TSeed seed;
        seed.Name = data.cFileName;
        if (LoadFileToString(folder + seed.Name, seed.Bytes) && !seed.Bytes.empty())
            seeds.push_back(std::move(seed));
    } while (FindNextFileA(find, &data));
    FindClose(find);
    // The folder's order is the file system's: the inputs must not depend on it.
    std::sort(seeds.begin(), seeds.end(),
              [](const TSeed& a, const TSeed& b) { return a.Name < b.Name; });
    return seeds;
}

std::optional<TMutator> MakeMutator(const TReader& Reader)
{
    std::vector<TSeed> seeds = LoadSeeds(Reader);
    if (seeds.empty()) {
        Print(std::string("fuzz ") + Reader.Name + ": no seeds in " + SeedFolder(Reader));
        return std::nullopt;
    }
    return TMutator(Reader.Name, std::move(seeds), Reader.Shape, Reader.Dictionary,
                    Reader.MaxInput);
}

// Writes the input and its story; the path of the input file, or ''.
std::string WriteEvidence(const TReader& Reader, uint64_t Index, const TInput& Input,
                          const std::string& What)
{
    const std::string folder = std::string(kEvidenceDir) + Reader.Name + "\\";
    CreateDirectoryPath(folder, TFileSecurity::Inherit, true);
    std::string seed;
    for (char c : Input.Seed)
        seed += (isalnum(static_cast<unsigned char>(c)) || c == '-') ? c : '_';
    char index[32];
    snprintf(index, sizeof index, "%010llu", static_cast<unsigned long long>(Index));
    const std::string stem = folder + index + "_" + seed;
    const std::string story =
        std::string("reader: ") + Reader.Name + "\r\nindex: " + std::to_string(Index) +
        "\r\nseed: " + Input.Seed + "\r\nmutations: " + Input.Recipe +
        "\r\nsize: " + std::to_string(Input.Bytes.size()) + "\r\nfailure: " + What +
        "\r\nreplay: fuzzreaders.exe --replay " + stem + ".bin\r\n";
    if (!SaveFileAtomic(stem + ".bin", Input.Bytes) || !SaveFileAtomic(stem + ".txt", story))
        return {};
    return stem + ".bin";
}

void ReportFailure(const TReader& Reader, uint64_t Index, const TInput& Input,
                   const std::string& What)
{
    const std::string file = WriteEvidence(Reader, Index, Input, What);
    Print(std::string("FAIL ") + Reader.Name + " input " + std::to_string(Index) + " (" +
          Input.Seed + "; " + Input.Recipe + "; " + std::to_string(Input.Bytes.size()) +
          " bytes): " + What);
    Print(file.empty() ? "  (the input could not be written out)" : "  written to " + file);
}

// ---------------------------------------------------------------------------
// One input

std::atomic<int64_t> gGuarded{0};

void CountGuarded(const char*)
{
    ++gGuarded;
}

struct TOutcome {
    std::string Failure; // '' when the input passed
    double Ms = 0;       // elapsed
    double CpuMs = 0;    // processor time of the worker's thread
    int64_t PeakBytes = 0;
    bool Taken = false;
    // Change notices for paths the reader may not touch, seen after it ran
    // (they may be the previous input's, arrived late).
    std::vector<std::string> Notices;
};

// The notices that a reader's own writes and the input's file explain.
std::vector<std::string> Foreign(const TReader& Reader, std::vector<std::string> Notices)
{
    auto allowed = [&Reader](const std::string& path) {
        if (Reader.InputFile && SameText(path, Reader.InputFile))
            return true;
        // Its own file, and the temporary file that replaces it
        // ("<file>.<unique part>.tmp").
        const std::string own = Reader.OwnFile ? std::string(Reader.OwnFile) + "." : "";
        return Reader.Writes == TWrites::OwnFile &&
               (SameText(path, Reader.OwnFile) ||
                (path.size() > own.size() + 4 && SameText(path.substr(0, own.size()), own) &&
                 SameText(path.substr(path.size() - 4), ".tmp")));
    };
    Notices.erase(std::remove_if(Notices.begin(), Notices.end(), allowed), Notices.end());
    std::sort(Notices.begin(), Notices.end());
    Notices.erase(std::unique(Notices.begin(), Notices.end()), Notices.end());
    return Notices;
}

std::string Joined(const std::vector<std::string>& Paths)
{
    std::string text;
    for (const std::string& path : Paths)
        if (text.size() < 400)
            text += (text.empty() ? "" : ", ") + path;
    return text;
}

// The differences of two snapshots, less what the reader may change.
std::string DiskChanges(const TReader& Reader, const std::vector<TDiskEntry>& Before,
                        const std::vector<TDiskEntry>& After)
{
    std::vector<std::string> changed;
    auto note = [&](const std::string& path, const char* what) {
        if (Reader.Writes != TWrites::OwnFile || !SameText(path, Reader.OwnFile))
            changed.push_back(path + what);
    };
    size_t b = 0;
    size_t a = 0;
    while (b < Before.size() || a < After.size()) {
        if (a == After.size() || (b < Before.size() && Before[b].Path < After[a].Path)) {
            note(Before[b++].Path, " removed");
        } else if (b == Before.size() || After[a].Path < Before[b].Path) {
            note(After[a++].Path, " created");
        } else {
            if (!(Before[b] == After[a]))
                note(After[a].Path, " changed");
            ++a;
            ++b;
        }
    }
    return Joined(changed);
}

bool FileStamp(const std::string& Path, WIN32_FILE_ATTRIBUTE_DATA& Data)
{
    return GetFileAttributesExA(Path.c_str(), GetFileExInfoStandard, &Data);
}

bool SameStamp(const WIN32_FILE_ATTRIBUTE_DATA& A, const WIN32_FILE_ATTRIBUTE_DATA& B)
{
    return A.nFileSizeLow == B.nFileSizeLow && A.nFileSizeHigh == B.nFileSizeHigh &&
           CompareFileTime(&A.ftLastWriteTime, &B.ftLastWriteTime) == 0 &&
           A.dwFileAttributes == B.dwFileAttributes;
}

double ThreadCpuMs()
{
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

// One input. Strict: the disk is compared through snapshots before and after
// (slow, exact); otherwise through the change notices. The processor time is
// read only when asked for (Cpu): under Wine each reading is a round trip to
// the server.
TOutcome RunOnce(const TReader& Reader, TSandbox& Sandbox, const std::string& Input, bool Strict,
                 bool Cpu)
{
    TOutcome outcome;
    WIN32_FILE_ATTRIBUTE_DATA written{};
    if (Reader.InputFile) {
        if (!Sandbox.WriteFile(Reader.InputFile, Input, KeepsInputOpen(Reader)) ||
            !FileStamp(Sandbox.Path(Reader.InputFile), written)) {
            outcome.Failure = std::string("the input could not be written to ") + Reader.InputFile;
            return outcome;
        }
    }
    std::vector<TDiskEntry> before;
    if (Strict)
        before = Sandbox.Snapshot();

    MarkPeak();
    const int64_t buffersAtMark = KvLiveBytes();
    KvMarkPeakBytes();
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    const double cpuStart = Cpu ? ThreadCpuMs() : 0;
    QueryPerformanceCounter(&start);
    std::string broke;
    try {
        broke = Reader.Run(Sandbox, Input, outcome.Taken);
    } catch (const std::exception& e) {
        broke = std::string("an exception left the reader: ") + e.what();
    } catch (...) {
        broke = "an exception left the reader";
    }
    QueryPerformanceCounter(&end);
    outcome.CpuMs = Cpu ? ThreadCpuMs() - cpuStart : 0;
    outcome.Ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                 static_cast<double>(frequency.QuadPart);
    // The C++ heap's peak and the picture buffers' peak (KvAllocate), added:
    // at least the real peak.
    outcome.PeakBytes = PeakSinceMark() + (KvPeakBytes() - buffersAtMark);

    std::vector<std::string> failures;
    if (!broke.empty())
        failures.push_back(broke);
    const int64_t cap = AllocationCap(Reader, Input.size());
    if (outcome.PeakBytes > cap)
        failures.push_back("allocated " + std::to_string(outcome.PeakBytes) + " bytes, cap " +
                           std::to_string(cap));
    const bool changed = Sandbox.AnyChange();
    if (changed && Sandbox.RegistryChanged()) {
        if (Reader.Writes != TWrites::Registry)
            failures.push_back("the registry changed: " + Sandbox.RegistryContent());
        Sandbox.ResetRegistry();
    }
    // The notices cannot tell the input's file written by us from the same
    // file written by the reader: its stamp can.
    WIN32_FILE_ATTRIBUTE_DATA after{};
    if (Reader.InputFile && Reader.Writes != TWrites::OwnFile &&
        (!FileStamp(Sandbox.Path(Reader.InputFile), after) || !SameStamp(written, after)))
        failures.push_back(std::string("the reader changed its input ") + Reader.InputFile);
    if (Strict) {
        const std::string disk = DiskChanges(Reader, before, Sandbox.Snapshot());
        if (!disk.empty())
            failures.push_back("the disk changed: " + disk);
    } else if (changed) {
        outcome.Notices = Foreign(Reader, Sandbox.DiskNotices());
    }
    if (outcome.CpuMs > Reader.SlowMs)
        failures.push_back("took " + Milliseconds(outcome.CpuMs) + " of processor time");
    for (const std::string& failure : failures)
        outcome.Failure += (outcome.Failure.empty() ? "" : "; ") + failure;
    return outcome;
}

// An input that takes longer than the time limit is run once more, and that
// run's processor time decides.
TOutcome RunInput(const TReader& Reader, TSandbox& Sandbox, const std::string& Input)
{
    TOutcome outcome = RunOnce(Reader, Sandbox, Input, false, false);
    if (outcome.Ms > Reader.SlowMs) {
        const double elapsed = outcome.Ms;
        outcome = RunOnce(Reader, Sandbox, Input, false, true);
        outcome.Ms = std::max(outcome.Ms, elapsed);
    }
    return outcome;
}

// The failure of a strict run of the input; the strict run's own notices are
// its own.
std::string StrictFailure(const TReader& Reader, TSandbox& Sandbox, const std::string& Input)
{
    const TOutcome strict = RunOnce(Reader, Sandbox, Input, true, false);
    Sandbox.DiskNotices();
    return strict.Failure;
}

// The sandbox, and the reader run once on each seed: the system's first-use
// writes (Wine's shell folders cache in the registry, when the path macros
// are first expanded) happen there, not in an input.
bool OpenSandbox(const TReader& Reader, TSandbox& Sandbox, const std::vector<TSeed>& Seeds)
{
    if (!Sandbox.Open()) {
        Print(std::string("fuzz ") + Reader.Name + ": the sandbox could not be made");
        return false;
    }
    if (Reader.Prepare)
        Reader.Prepare(Sandbox);
    bool anyTaken = false;
    for (const TSeed& seed : Seeds) {
        if (Reader.InputFile)
            Sandbox.WriteFile(Reader.InputFile, seed.Bytes, KeepsInputOpen(Reader));
        bool taken = false;
        Guard([&] { Reader.Run(Sandbox, seed.Bytes, taken); });
        anyTaken = anyTaken || taken;
    }
    // A reader that refuses every seed (a file it does not trust, a folder
    // it does not look in) would refuse every input too: the run would test
    // nothing.
    if (!anyTaken) {
        Print(std::string("fuzz ") + Reader.Name +
              ": the reader reads none of its seeds through, so no input would reach it");
        return false;
    }
    Sandbox.ResetRegistry(Reader.Writes == TWrites::Registry);
    Sandbox.DiskNotices();
    SetGuardHook(&CountGuarded);
    return true;
}

// ---------------------------------------------------------------------------
// Worker

int RunWorker(const TReader& Reader, uint64_t From, uint64_t Count, const std::string& SharedName)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, SharedName.c_str());
    auto* shared = mapping ? static_cast<TShared*>(
                                 MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(TShared)))
                           : nullptr;
    if (!shared)
        return 5;
    std::optional<TMutator> mutator = MakeMutator(Reader);
    TSandbox sandbox;
    // A worker that dies here died on a seed, not on an input.
    shared->StartTick = GetTickCount();
    shared->Current = kOnSeeds;
    if (!mutator || !OpenSandbox(Reader, sandbox, mutator->Seeds()))
        return 5;
    shared->Current = -1;
    auto fail = [&](uint64_t index, const TInput& input, const std::string& what) {
        shared->Failures = shared->Failures + 1;
        ReportFailure(Reader, index, input, what);
    };
    // The backstop of the notices: the whole folder at the start and the end.
    std::vector<TDiskEntry> first;
    for (uint64_t i = From; i < From + Count; ++i) {
        const TInput input = mutator->Make(i);
        shared->StartTick = GetTickCount();
        shared->Current = static_cast<int64_t>(i);
        const int64_t guarded = gGuarded;
        const TOutcome outcome = RunInput(Reader, sandbox, input.Bytes);
        shared->Guarded = shared->Guarded + (gGuarded - guarded);
        if (outcome.Taken)
            shared->Taken = shared->Taken + 1;
        if (i == From)
            first = sandbox.Snapshot();
        // Only inputs over the limit get their processor time read.
        if (outcome.CpuMs > 0 && outcome.CpuMs > shared->SlowestMs) {
            shared->SlowestMs = outcome.CpuMs;
            shared->SlowestIndex = static_cast<int64_t>(i);
        }
        if (outcome.Ms > shared->LongestMs) {
            shared->LongestMs = outcome.Ms;
            shared->LongestIndex = static_cast<int64_t>(i);
        }
        if (outcome.PeakBytes > shared->PeakBytes) {
            shared->PeakBytes = outcome.PeakBytes;
            shared->PeakIndex = static_cast<int64_t>(i);
            shared->PeakSize = static_cast<int64_t>(input.Bytes.size());
        }
        const double share = static_cast<double>(outcome.PeakBytes) /
                             static_cast<double>(AllocationCap(Reader, input.Bytes.size()));
        if (share > shared->TopShare) {
            shared->TopShare = share;
            shared->TopShareIndex = static_cast<int64_t>(i);
        }
        // A change notice is checked again strictly, so that only the input
        // that makes the change is blamed: this one, or the one before (a
        // notice may come late).
        std::string failure = outcome.Failure;
        if (!outcome.Notices.empty()) {
            std::string strict = StrictFailure(Reader, sandbox, input.Bytes);
            if (strict.empty() && i > From) {
                const TInput previous = mutator->Make(i - 1);
                if (const std::string before = StrictFailure(Reader, sandbox, previous.Bytes);
                    !before.empty())
                    fail(i - 1, previous, before);
                else
                    strict = "the disk changed (not again when this input and the one before "
                             "ran once more): " +
                             Joined(outcome.Notices);
            }
            if (!strict.empty())
                failure += (failure.empty() ? "" : "; ") + strict;
        }
        if (!failure.empty())
            fail(i, input, failure);
        shared->Current = -1;
        shared->Done = static_cast<int64_t>(i - From + 1);
    }
    if (Count > 0) {
        std::vector<TDiskEntry> last = sandbox.Snapshot();
        auto input = [&Reader](const TDiskEntry& e) {
            return Reader.InputFile && SameText(e.Path, Reader.InputFile);
        };
        first.erase(std::remove_if(first.begin(), first.end(), input), first.end());
        last.erase(std::remove_if(last.begin(), last.end(), input), last.end());
        if (const std::string disk = DiskChanges(Reader, first, last); !disk.empty()) {
            const uint64_t index = From + Count - 1;
            fail(index, mutator->Make(index), "the disk changed during the run: " + disk);
        }
    }
    sandbox.Close();
    return 0;
}

// ---------------------------------------------------------------------------
// Supervisor

std::string ExitText(DWORD code)
{
    char text[64];
    const char* name = code == 0xC00000FD   ? " (stack overflow)"
                       : code == 0xC0000005 ? " (access violation)"
                       : code == 3          ? " (abort)"
                                            : "";
    snprintf(text, sizeof text, "0x%08lX%s", static_cast<unsigned long>(code), name);
    return text;
}

// Runs Count inputs of Reader from From in workers; false when a worker could
// not be started at all.
bool Supervise(const TReader& Reader, uint64_t From, uint64_t Count, TFigures& Figures)
{
    std::optional<TMutator> mutator = MakeMutator(Reader);
    if (!mutator)
        return false;
    const std::wstring self = WideFromAnsi(GetApplicationFileName());
    const uint64_t end = From + Count;
    uint64_t next = From;
    int crashes = 0;
    // A hang is run once more alone before it counts: a machine that stalls
    // every process for a while is not the reader's fault.
    bool confirming = false;
    int64_t reported = 0; // inputs done by the workers before this one
    while (next < end) {
        const uint64_t stop = confirming ? next + 1 : end;
        const std::string sharedName = "Local\\korv-fuzzreaders-" +
                                       std::to_string(GetCurrentProcessId()) + "-" +
                                       std::to_string(next);
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            sizeof(TShared), sharedName.c_str());
        auto* shared = mapping ? static_cast<TShared*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS,
                                                                     0, 0, sizeof(TShared)))
                               : nullptr;
        if (!shared)
            return false;
        shared->Current = -1;
        std::wstring command = L"\"" + self + L"\" --worker " + WideFromAnsi(Reader.Name) +
                               L" --from " + std::to_wstring(next) + L" --count " +
                               std::to_wstring(stop - next) + L" --shared " +
                               WideFromAnsi(sharedName);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, &process)) {
            UnmapViewOfFile(shared);
            CloseHandle(mapping);
            Print(std::string("fuzz ") + Reader.Name + ": no worker could be started");
            return false;
        }
        CloseHandle(process.hThread);
        bool hung = false;
        int64_t progress = (reported + shared->Done) / kProgressEvery;
        while (WaitForSingleObject(process.hProcess, kPollMs) == WAIT_TIMEOUT) {
            if ((reported + shared->Done) / kProgressEvery > progress) {
                progress = (reported + shared->Done) / kProgressEvery;
                Print(std::string("fuzz ") + Reader.Name + ": " +
                      std::to_string(progress * kProgressEvery) + " inputs so far, " +
                      std::to_string(Figures.Failures + shared->Failures) + " failures");
            }
            if (shared->Current != -1 && GetTickCount() - shared->StartTick > kHangMs) {
                TerminateProcess(process.hProcess, 0xDEAD);
                WaitForSingleObject(process.hProcess, INFINITE);
                hung = true;
                break;
            }
        }
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        TSandbox::Remove(process.dwProcessId);

        reported += shared->Done;
        Figures.Inputs += shared->Done;
        Figures.Failures += shared->Failures;
        Figures.Taken += shared->Taken;
        Figures.Guarded += shared->Guarded;
        if (shared->SlowestMs > Figures.SlowestMs) {
            Figures.SlowestMs = shared->SlowestMs;
            Figures.SlowestIndex = shared->SlowestIndex;
        }
        if (shared->LongestMs > Figures.LongestMs) {
            Figures.LongestMs = shared->LongestMs;
            Figures.LongestIndex = shared->LongestIndex;
        }
        if (shared->PeakBytes > Figures.PeakBytes) {
            Figures.PeakBytes = shared->PeakBytes;
            Figures.PeakIndex = shared->PeakIndex;
            Figures.PeakSize = shared->PeakSize;
        }
        if (shared->TopShare > Figures.TopShare) {
            Figures.TopShare = shared->TopShare;
            Figures.TopShareIndex = shared->TopShareIndex;
        }
        const int64_t current = shared->Current;
        const int64_t done = shared->Done;
        UnmapViewOfFile(shared);
        CloseHandle(mapping);
        if (current == kOnSeeds) {
            ++Figures.Failures;
            Print(std::string("FAIL ") + Reader.Name + ": the reader " +
                  (hung ? "hung" : "ended the process, exit code " + ExitText(exitCode)) +
                  " on one of its seeds (run each with --replay)");
            return true;
        }

        if (!hung && exitCode == 0 && next + static_cast<uint64_t>(done) >= stop) {
            if (!confirming)
                break;
            Print(std::string("fuzz ") + Reader.Name + ": input " + std::to_string(next) +
                  " got no answer once and passed when run again alone");
            confirming = false;
            next = stop;
            continue;
        }
        if (!hung && exitCode == 5 && done == 0) {
            Print(std::string("fuzz ") + Reader.Name + ": the worker could not start");
            return false;
        }
        // The input the worker died on, or the one after the last it finished.
        const uint64_t failed =
            current >= 0 ? static_cast<uint64_t>(current) : next + static_cast<uint64_t>(done);
        // After its last input the worker only checks the folder and removes
        // its sandbox: dying there is no input's fault, but the run fails.
        if (failed >= end) {
            ++Figures.Failures;
            Print(std::string("FAIL ") + Reader.Name + ": the worker " +
                  (hung ? "hung" : "ended the process, exit code " + ExitText(exitCode)) +
                  " after its last input");
            break;
        }
        if (hung && !confirming) {
            confirming = true;
            next = failed;
            continue;
        }
        confirming = false;
        ++Figures.Inputs;
        ++Figures.Failures;
        ReportFailure(Reader, failed, mutator->Make(failed),
                      hung ? "no answer after " + std::to_string(kHangMs / 1000) + " s"
                           : "the reader ended the process, exit code " + ExitText(exitCode));
        next = failed + 1;
        if (++crashes >= kMaxCrashes) {
            Print(std::string("fuzz ") + Reader.Name + ": given up after " +
                  std::to_string(crashes) + " dead workers");
            break;
        }
    }
    return true;
}

void PrintFigures(const TReader& Reader, const TFigures& Figures, double Seconds)
{
    std::string line =
        std::string("fuzz ") + Reader.Name + ": " + std::to_string(Figures.Inputs) + " inputs (" +
        std::to_string(Figures.Taken) + " read through), " + std::to_string(Figures.Failures) +
        " failures, slowest " + Milliseconds(Figures.LongestMs) + " elapsed (input " +
        std::to_string(Figures.LongestIndex) + ")" +
        (Figures.SlowestIndex >= 0
             ? ", " + Milliseconds(Figures.SlowestMs) + " of processor time at most (input " +
                   std::to_string(Figures.SlowestIndex) + ")"
             : std::string()) +
        ", peak allocation " + ByteSize(Figures.PeakBytes) + " (input " +
        std::to_string(Figures.PeakIndex) + ", " + std::to_string(Figures.PeakSize) +
        " bytes, cap " + ByteSize(AllocationCap(Reader, static_cast<size_t>(Figures.PeakSize))) +
        "), at most " + std::to_string(static_cast<int>(Figures.TopShare * 100 + 0.5)) +
        "% of the cap (input " + std::to_string(Figures.TopShareIndex) + ")";
    if (Figures.Guarded)
        line += ", " + std::to_string(Figures.Guarded) + " exceptions caught inside";
    char time[32];
    snprintf(time, sizeof time, ", %.1f s", Seconds);
    Print(line + time);
}

// ---------------------------------------------------------------------------
// Replay

int Replay(const std::string& File, const TReader* Reader)
{
    if (!Reader) {
        // ...\fuzz\<reader>\<file>
        const size_t slash = File.find_last_of('\\');
        const size_t before =
            slash == std::string::npos ? std::string::npos : File.find_last_of('\\', slash - 1);
        if (before != std::string::npos)
            Reader = FindReader(File.substr(before + 1, slash - before - 1));
        if (!Reader) {
            Print("fuzzreaders: name the reader of " + File + " with --reader");
            return 2;
        }
    }
    std::string input;
    if (!LoadFileToString(File, input)) {
        Print("fuzzreaders: cannot read " + File);
        return 2;
    }
    TSandbox sandbox;
    if (!OpenSandbox(*Reader, sandbox, LoadSeeds(*Reader)))
        return 5;
    const TOutcome outcome = RunOnce(*Reader, sandbox, input, true, true);
    sandbox.Close();
    Print(std::string("replay ") + Reader->Name + " " + File + " (" + std::to_string(input.size()) +
          " bytes): " + (outcome.Failure.empty() ? "passed" : "FAILED: " + outcome.Failure) +
          (outcome.Taken ? ", read through, " : ", refused, ") + Milliseconds(outcome.CpuMs) +
          " of processor time, " + Milliseconds(outcome.Ms) + " elapsed, peak allocation " +
          ByteSize(outcome.PeakBytes));
    return outcome.Failure.empty() ? 0 : 1;
}

int Usage()
{
    Print("usage: fuzzreaders [--reader NAME]... [--count N] [--from I]\n"
          "       fuzzreaders --replay FILE [--reader NAME]\n"
          "       fuzzreaders --list\n"
          "       fuzzreaders --reader NAME --write-input I\n"
          "       fuzzreaders --write-picture-seeds FOLDER");
    return 2;
}

bool ParseCount(const std::wstring& text, uint64_t& value)
{
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    value = std::wcstoull(text.c_str(), nullptr, 10);
    return true;
}

LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info)
{
    // No debugger and no dialog: the supervisor reads the code.
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    std::vector<const TReader*> readers;
    uint64_t count = kDefaultCount;
    uint64_t from = 0;
    std::string replay;
    std::optional<uint64_t> writeInput;
    std::string worker;
    std::string shared;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--list") {
            for (const TReader& reader : Readers())
                Print(std::string(reader.Name) + "\t" + reader.Entry + "\tcap " +
                      ByteSize(reader.CapBase) + " + " + std::to_string(reader.CapPerByte) +
                      " x input\tinputs up to " + ByteSize(static_cast<int64_t>(reader.MaxInput)) +
                      (reader.Writes == TWrites::Nothing   ? "\twrites nothing"
                       : reader.Writes == TWrites::OwnFile ? "\twrites its own file"
                                                           : "\twrites the registry"));
            return 0;
        } else if (arg == L"--reader" && hasValue) {
            const TReader* reader = FindReader(AnsiFromWide(argv[++i]));
            if (!reader) {
                Print("fuzzreaders: no reader " + AnsiFromWide(argv[i]));
                return 2;
            }
            readers.push_back(reader);
        } else if (arg == L"--count" && hasValue) {
            if (!ParseCount(argv[++i], count))
                return Usage();
        } else if (arg == L"--from" && hasValue) {
            if (!ParseCount(argv[++i], from))
                return Usage();
        } else if (arg == L"--write-input" && hasValue) {
            uint64_t index = 0;
            if (!ParseCount(argv[++i], index))
                return Usage();
            writeInput = index;
        } else if (arg == L"--write-picture-seeds" && hasValue) {
            std::string folder = AnsiFromWide(argv[++i]);
            if (!folder.empty() && folder.back() != '\\')
                folder += '\\';
            const bool written = WritePictureSeeds(folder);
            Print(written ? "fuzzreaders: picture seeds written to " + folder
                          : "fuzzreaders: the picture seeds could not be written");
            return written ? 0 : 1;
        } else if (arg == L"--replay" && hasValue) {
            replay = AnsiFromWide(argv[++i]);
        } else if (arg == L"--worker" && hasValue) {
            worker = AnsiFromWide(argv[++i]);
        } else if (arg == L"--shared" && hasValue) {
            shared = AnsiFromWide(argv[++i]);
        } else {
            return Usage();
        }
    }

    if (!worker.empty()) {
        SetUnhandledExceptionFilter(&EndOnCrash);
        const TReader* reader = FindReader(worker);
        return reader ? RunWorker(*reader, from, count, shared) : 2;
    }
    if (!replay.empty())
        return Replay(replay, readers.empty() ? nullptr : readers.front());
    if (writeInput) {
        if (readers.size() != 1)
            return Usage();
        std::optional<TMutator> mutator = MakeMutator(*readers.front());
        if (!mutator)
            return 2;
        const TInput input = mutator->Make(*writeInput);
        const std::string file =
            WriteEvidence(*readers.front(), *writeInput, input, "none (written on request)");
        Print(file.empty() ? "fuzzreaders: the input could not be written"
                           : "input " + std::to_string(*writeInput) + " (" + input.Seed + "; " +
                                 input.Recipe + "; " + std::to_string(input.Bytes.size()) +
                                 " bytes) written to " + file);
        return file.empty() ? 1 : 0;
    }

    if (readers.empty())
        for (const TReader& reader : Readers())
            readers.push_back(&reader);
    int64_t failures = 0;
    int64_t inputs = 0;
    const DWORD runStart = GetTickCount();
    bool started = true;
    for (const TReader* reader : readers) {
        TFigures figures;
        const DWORD start = GetTickCount();
        started = Supervise(*reader, from, count, figures) && started;
        PrintFigures(*reader, figures, (GetTickCount() - start) / 1000.0);
        failures += figures.Failures;
        inputs += figures.Inputs;
    }
    if (readers.size() > 1) {
        char time[32];
        snprintf(time, sizeof time, "%.1f s", (GetTickCount() - runStart) / 1000.0);
        Print("fuzz: " + std::to_string(readers.size()) + " readers, " + std::to_string(inputs) +
              " inputs, " + std::to_string(failures) + " failures, " + time);
    }
    if (!started)
        return 5;
    return failures ? 1 : 0;
}
