// The recycle-bin and memory scanners: their counters, the judgement of the
// memory status and the release, through seams over the shell and the
// memory calls, and once against the prefix's own bin.

#include "EngineTest.h"
#include "KorvTest.h"
#include "StartupTestSupport.h"

#include "engine/qvScanners.h"
#include "engine/qvSystemScanners.h"
#include "platform/RecycleBinU.h"
#include "platform/UnicodeU.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <cstdlib>
#include <set>

namespace {

// ---------------------------------------------------------------------------
// Memory

uint64_t gTotal = 0;
uint64_t gAvailable = 0;
bool gQueryFails = false;
bool FakeStatus(uint64_t& Total, uint64_t& Available)
{
    if (gQueryFails)
        return false;
    Total = gTotal;
    Available = gAvailable;
    return true;
}

constexpr uint64_t MiB = 1048576;

class MemoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gQueryFails = false;
        SetMemoryStatusQueryForTests(&FakeStatus);
    }
    void TearDown() override
    {
        SetMemoryStatusQueryForTests(nullptr);
        SetMemoryBlockCallsForTests({});
    }
    // A scanner on a root with the boost category current.
    struct Scanned {
        TqvMain main;
        TqvItemsMemory memory{&main};
    };
    std::unique_ptr<Scanned> Scan(uint64_t Total, uint64_t Available)
    {
        gTotal = Total;
        gAvailable = Available;
        auto s = std::make_unique<Scanned>();
        s->main.Status.Category = kCategoryBoost;
        s->main.Status.MemoryFigure = 55; // the scan sets its own
        s->memory.Scan();
        return s;
    }
};

TEST_F(MemoryTest, WorthReleasingOnlyOnSmallFullMemory)
{
    struct Case {
        const char* what;
        uint64_t total;
        uint64_t available;
        bool worth;
        int64_t figure;
        int64_t totalMiB;
    } const cases[] = {
        {"2048 MiB, 5 %", 2048 * MiB, 2048 * MiB / 20, false, -1, 2048},
        {"1024 MiB, 20 %", 1024 * MiB, 1024 * MiB / 5 + 1, true, 20, 1024},
        {"1024 MiB, 21 %", 1024 * MiB, 1024 * MiB * 21 / 100 + 1000, false, -1, 1024},
        {"512 MiB and a bit, 3 %", 512 * MiB + 1000, 512 * MiB * 3 / 100 + 100, true, 3, 512},
        {"more available than there is", 512 * MiB, 600 * MiB, false, -1, 512},
        {"no memory at all", 0, 0, false, -1, 0},
        {"0 % free", 256 * MiB, 0, true, 0, 256},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto s = Scan(c.total, c.available);
        EXPECT_EQ(c.worth, s->memory.Worth);
        EXPECT_EQ(c.worth ? 1 : 0, s->memory.FoundCount());
        EXPECT_EQ(c.figure, s->main.Status.MemoryFigure);
        EXPECT_EQ(c.totalMiB, s->memory.TotalMiB);
        EXPECT_EQ(c.worth ? 1 : 0, s->main.Status.BoostItems);
    }
    gQueryFails = true;
    auto failed = Scan(256 * MiB, 0);
    EXPECT_FALSE(failed->memory.Worth);
    EXPECT_EQ(-1, failed->main.Status.MemoryFigure);
}

// Counts what the release takes and gives back.
int gLive = 0;
int gTaken = 0;
int gFailAt = -1; // the allocation with this index fails
std::set<void*> gBlocks;
void* CountingAllocate()
{
    if (gTaken == gFailAt)
        return nullptr;
    void* block = malloc(kMemoryBlockSize);
    if (block) {
        ++gTaken;
        ++gLive;
        gBlocks.insert(block);
    }
    return block;
}
void CountingFree(void* Block)
{
    EXPECT_EQ(1u, gBlocks.erase(Block)) << "freed a block not taken, or twice";
    // Every byte was touched with 1.
    EXPECT_EQ(1, static_cast<unsigned char*>(Block)[0]);
    EXPECT_EQ(1, static_cast<unsigned char*>(Block)[kMemoryBlockSize - 1]);
    --gLive;
    free(Block);
}

struct Report {
    int32_t position;
    int32_t maximum;
};

TEST_F(MemoryTest, ReleaseTakesEveryBlockAndGivesAllBackHoweverItEnds)
{
    struct Case {
        const char* what;
        int stopAfterReport; // the report with this index answers false; -1 never
        int failAt;
        int expectedTaken;
    } const cases[] = {
        {"whole release", -1, -1, 8},
        // Reports: 0 the start, then two per block: 1 and 2 for block 0, ...
        {"stop after block 3", 8, -1, 4},
        {"allocation fails at block 5", -1, 5, 5},
        {"stop at the start", 0, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        gLive = gTaken = 0;
        gFailAt = c.failAt;
        gBlocks.clear();
        SetMemoryBlockCallsForTests({&CountingAllocate, &CountingFree});
        auto s = Scan(8 * MiB, MiB / 2);
        ASSERT_TRUE(s->memory.Worth);
        std::vector<Report> reports;
        s->main.Status.Maximum = 3; // the category's own bar
        s->main.OnProgress = [&](const TqvUIStatus& Status) {
            reports.push_back({Status.Position, Status.Maximum});
            return static_cast<int>(reports.size()) - 1 != c.stopAfterReport;
        };
        s->memory.Clean();

        EXPECT_EQ(c.expectedTaken, gTaken);
        EXPECT_EQ(0, gLive);
        EXPECT_TRUE(gBlocks.empty());
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(7, reports[0].maximum); // total MiB - 1
        for (const Report& r : reports)
            EXPECT_LE(r.position, r.maximum);
        // One forced report before each block is given back, and one before those.
        EXPECT_GE(reports.size(), static_cast<size_t>(1 + c.expectedTaken));
        EXPECT_EQ(3, s->main.Status.Maximum);
    }
}

TEST_F(MemoryTest, NothingIsReleasedUnlessWorthIt)
{
    gLive = gTaken = 0;
    gFailAt = -1;
    SetMemoryBlockCallsForTests({&CountingAllocate, &CountingFree});
    auto s = Scan(4096 * MiB, 10 * MiB);
    int reports = 0;
    s->main.OnProgress = [&](const TqvUIStatus&) { return ++reports, true; };
    s->memory.Clean();
    EXPECT_EQ(0, gTaken);
    EXPECT_EQ(0, reports);
}

TEST(MemoryDriver, TheDriverJudgesTheStatusItIsGiven)
{
    if (!stest::EnginectlPresent())
        GTEST_SKIP() << "enginectl.exe is not beside the test program";
    const stest::CtlResult worth = stest::RunEnginectl(
        {L"scan"},
        {{L"KV_TEST_MEMSTATUS", std::to_wstring(1024 * MiB) + L":" + std::to_wstring(100 * MiB)}});
    EXPECT_EQ(0u, worth.exitCode);
    EXPECT_EQ(1, worth.Found("memory")) << worth.out;
    const stest::CtlResult not_worth = stest::RunEnginectl(
        {L"scan"},
        {{L"KV_TEST_MEMSTATUS", std::to_wstring(2048 * MiB) + L":" + std::to_wstring(100 * MiB)}});
    EXPECT_EQ(0, not_worth.Found("memory")) << not_worth.out;
}

// ---------------------------------------------------------------------------
// Recycle bin through the seam

int gQueries = 0;
int gEmptyCalls = 0;
int gFailQueryFrom = 1000; // queries from this index on fail
SHQUERYRBINFO gBin{};
HRESULT FakeQuery(LPCSTR, SHQUERYRBINFO* Info)
{
    if (gQueries++ >= gFailQueryFrom)
        return E_FAIL;
    Info->i64NumItems = gBin.i64NumItems;
    Info->i64Size = gBin.i64Size;
    return S_OK;
}
HRESULT FakeEmpty(HWND, LPCSTR, DWORD Flags)
{
    ++gEmptyCalls;
    EXPECT_EQ(static_cast<DWORD>(SHERB_NOCONFIRMATION | SHERB_NOPROGRESSUI | SHERB_NOSOUND), Flags);
    return S_OK;
}

class RecycleBinSeamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gQueries = gEmptyCalls = 0;
        gFailQueryFrom = 1000;
        SetRecycleBinCalls({&FakeQuery, &FakeEmpty});
    }
    void TearDown() override { SetRecycleBinCalls({}); }
};

TEST_F(RecycleBinSeamTest, CountersCleanAndTheQueryThatFailsAfterAnswering)
{
    struct Case {
        const char* what;
        int64_t items;
        int64_t bytes;
        int failFrom;
        int found;
        int64_t size;
        int emptyCalls;
    } const cases[] = {
        {"three items", 3, 4096, 1000, 3, 4096, 1},
        {"empty", 0, 0, 1000, 0, 0, 0},
        // The emptiness test answers, the query for the figures fails.
        {"not empty, query fails", 2, 100, 1, 1, 0, 1},
        {"every query fails", 2, 100, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        gQueries = gEmptyCalls = 0;
        gFailQueryFrom = c.failFrom;
        gBin.i64NumItems = c.items;
        gBin.i64Size = c.bytes;
        TqvMain main;
        main.Status.Category = kCategoryClean;
        TqvItemsRecycleBin bin(&main);
        bin.Scan();
        EXPECT_EQ(c.found, bin.FoundCount());
        EXPECT_EQ(c.found, bin.SelectedCount());
        EXPECT_EQ(c.size, bin.FoundSize());
        EXPECT_EQ(c.size, bin.SelectedSize());
        bin.Clean();
        EXPECT_EQ(c.emptyCalls, gEmptyCalls);
    }
}

// ---------------------------------------------------------------------------
// The prefix's own bin

// The bin is the host trash of HOME: act on it only when it lies in the
// test prefix's scratch home.
bool TrashIsTheTestPrefixs()
{
    char prefix[1024] = {};
    char data[1024] = {};
    const DWORD p = GetEnvironmentVariableA("KORV_PREFIX_DIR", prefix, sizeof(prefix));
    const DWORD d = GetEnvironmentVariableA("XDG_DATA_HOME", data, sizeof(data));
    return p > 0 && d > 0 && p < sizeof(prefix) && d < sizeof(data) &&
           std::string(data).rfind(std::string(prefix), 0) == 0;
}

class RecycleBinTest : public ktest::ScratchDirTest {};

// Scans and empties the recycle bin of this process (whatever XDG_DATA_HOME
// names under Wine); writes what was left undone, one line each, to args[0].
KTEST_ROLE(recycle_bin_clean)
{
    if (args.size() != 1)
        return 2;
    TqvMain main;
    main.Status.Category = kCategoryClean;
    auto bin = CreateItemsRecycleBin(&main);
    bin->Scan();
    bin->Clean();
    std::vector<TqvNotDone> left;
    bin->CollectNotDone(left);
    std::string report = "found=" + std::to_string(bin->FoundCount()) +
                         "\ndone=" + std::to_string(bin->DoneCount()) + "\n";
    for (const TqvNotDone& n : left)
        report += n.What + "\t" + n.Reason + "\n";
    return etest::WriteBytes(WideToAnsi(args[0]), report) ? 0 : 1;
}

// Emptied item by item, the bin follows the clean-up's rules: a link in it,
// or a folder holding one, stays (and is named), and what it points to is
// never touched; the plain items go with their records. The host made the
// trash; a child process sees it as its recycle bin.
TEST_F(RecycleBinTest, LinksInTheBinNeverTakeTheirTargets)
{
    const std::string fixture = etest::HostFixture();
    if (fixture.empty())
        GTEST_SKIP() << etest::kNoHostFixture;
    using TUnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<TUnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        GTEST_SKIP() << "Windows: the recycle bin is no freedesktop trash";
    char* trash = unixName(AnsiToWide(fixture + "\\trash").c_str());
    ASSERT_NE(nullptr, trash);
    const std::wstring trashHost = Utf8ToWide(trash);
    HeapFree(GetProcessHeap(), 0, trash);
    const std::string keep = fixture + "\\btarget\\keep.txt";
    ASSERT_EQ("keep", etest::ReadBytes(keep));

    wchar_t old[4096] = {};
    const DWORD had = GetEnvironmentVariableW(L"XDG_DATA_HOME", old, 4096);
    SetEnvironmentVariableW(L"XDG_DATA_HOME", trashHost.c_str());
    const std::wstring report = dir_ + L"report.txt";
    const ktest::ChildResult child = ktest::RunSelf(L"recycle_bin_clean", {report});
    SetEnvironmentVariableW(L"XDG_DATA_HOME", had ? old : nullptr);
    ASSERT_TRUE(child.started);
    EXPECT_EQ(0u, child.exitCode);

    EXPECT_EQ("keep", etest::ReadBytes(keep));
    EXPECT_TRUE(stest::Exists(fixture + "\\btarget"));
    const std::string files = fixture + "\\trash\\Trash\\files\\";
    const std::string info = fixture + "\\trash\\Trash\\info\\";
    EXPECT_FALSE(stest::Exists(files + "plain.txt"));
    EXPECT_FALSE(stest::Exists(info + "plain.txt.trashinfo"));
    EXPECT_TRUE(stest::Exists(info + "link.txt.trashinfo"));
    EXPECT_TRUE(stest::Exists(files + "folder\\inner.txt"));
    const std::string text = ktest::ReadFileBytes(report);
    EXPECT_NE(std::string::npos, text.find("found=3\n")) << text;
    EXPECT_NE(std::string::npos, text.find("done=1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("link.txt\ta link, left in the bin")) << text;
    EXPECT_NE(std::string::npos, text.find("folder\tholds a link")) << text;
}

TEST_F(RecycleBinTest, ADeletedFileIsFoundAndTheRepairEmptiesTheBin)
{
    if (!TrashIsTheTestPrefixs())
        GTEST_SKIP() << "the recycle bin is not the test prefix's scratch trash";
    int64_t size0 = 0, count0 = 0;
    QueryRecycleBin(size0, count0);

    const std::string file = dirAnsi_ + "kv-bin.dat";
    ASSERT_TRUE(etest::WriteBytes(file, std::string(1234, 'k')));
    std::string from = file + std::string(2, '\0');
    SHFILEOPSTRUCTA op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
    ASSERT_EQ(0, SHFileOperationA(&op));
    ASSERT_FALSE(stest::Exists(file));

    const std::string catalogue =
        stest::OneGroupCatalogue("clean", "recycle-bin", "<items type=\"recycle-bin\"/>");
    if (stest::EnginectlPresent()) {
        const stest::CtlResult scan = stest::RunEnginectl({L"scan"});
        EXPECT_EQ(count0 + 1, scan.Found("recycle-bin")) << scan.out;
        EXPECT_EQ(size0 + 1234, scan.Bytes("recycle-bin")) << scan.out;
    }
    auto main = stest::LoadedRoot(catalogue);
    main->ScanAll();
    TqvItems* bin = stest::FirstScanner(*main);
    ASSERT_NE(nullptr, bin);
    EXPECT_EQ(count0 + 1, bin->FoundCount());
    EXPECT_EQ(size0 + 1234, bin->FoundSize());
    main->Clean(kCategoryClean);
    EXPECT_TRUE(IsRecycleBinEmpty());

    auto again = stest::LoadedRoot(catalogue);
    again->ScanAll();
    EXPECT_EQ(0, stest::FirstScanner(*again)->FoundCount());
}

} // namespace
