#include "KorvTest.h"

#include "platform/RecycleBinU.h"

#include <shellapi.h>

#include <string>

namespace {

std::wstring Env(const wchar_t* name)
{
    wchar_t buf[1024] = {};
    DWORD n = GetEnvironmentVariableW(name, buf, static_cast<DWORD>(std::size(buf)));
    return n > 0 && n < std::size(buf) ? std::wstring(buf, n) : std::wstring();
}

// Wine's recycle bin is the host's trash: $XDG_DATA_HOME/Trash when that is
// set, else $HOME/.local/share/Trash. These tests empty it, so they run only
// when XDG_DATA_HOME is the scratch folder that scripts/wineprefix.sh puts
// beside the prefix. (Wine passes XDG_DATA_HOME to Windows programs, but not HOME.)
bool TrashIsScratch(std::wstring& why)
{
    std::wstring prefix = Env(L"WINEPREFIX");
    std::wstring data = Env(L"XDG_DATA_HOME");
    if (prefix.size() < 7 || prefix.compare(prefix.size() - 7, 7, L"/prefix") != 0) {
        why = L"WINEPREFIX is not a Korvelle scratch prefix: " + prefix;
        return false;
    }
    std::wstring scratch = prefix.substr(0, prefix.size() - 7);
    if (data != scratch + L"/home/.local/share") {
        why = L"XDG_DATA_HOME is not inside " + scratch + L": " + data;
        return false;
    }
    return true;
}

class RecycleBinTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        std::wstring why;
        if (!TrashIsScratch(why))
            FAIL() << "refusing to touch the recycle bin: " << std::string(why.begin(), why.end());
        ScratchDirTest::SetUp();
        ASSERT_TRUE(EmptyRecycleBin(nullptr, false, false, false));
    }
    void TearDown() override
    {
        if (!dir_.empty()) {
            EmptyRecycleBin(nullptr, false, false, false);
            ScratchDirTest::TearDown();
        }
    }

    bool Recycle(const std::wstring& path)
    {
        std::wstring from = path;
        from.push_back(L'\0');
        SHFILEOPSTRUCTW op{};
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
        return SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted;
    }
};

TEST_F(RecycleBinTest, MeasuresAndEmptiesTheScratchTrash)
{
    int64_t size = -1;
    int64_t count = -1;
    EXPECT_TRUE(IsRecycleBinEmpty());
    ASSERT_TRUE(QueryRecycleBin(size, count));
    EXPECT_EQ(0, size);
    EXPECT_EQ(0, count);

    ASSERT_TRUE(Recycle(WriteFile(L"eleven.txt", "eleven byte")));
    EXPECT_FALSE(IsRecycleBinEmpty());
    ASSERT_TRUE(QueryRecycleBin(size, count));
    EXPECT_EQ(11, size);
    EXPECT_EQ(1, count);

    EXPECT_TRUE(EmptyRecycleBin(nullptr, false, false, false));
    ASSERT_TRUE(QueryRecycleBin(size, count));
    EXPECT_EQ(0, size);
    EXPECT_EQ(0, count);
    EXPECT_TRUE(IsRecycleBinEmpty());
    EXPECT_TRUE(EmptyRecycleBin(nullptr, false, false, false)) << "an empty bin empties too";
    UpdateRecycleBinIcon();
}

// The seam: queries that fail and empty calls that record their flags.
struct FakeBin {
    static inline HRESULT queryResult = S_OK;
    static inline int64_t size = 0;
    static inline int64_t items = 0;
    static inline DWORD cbSizeSeen = 0;
    static inline HRESULT emptyResult = S_OK;
    static inline DWORD flags = 0xFFFFFFFF;
    static inline bool rootWasNull = false;

    static HRESULT Query(LPCSTR root, SHQUERYRBINFO* info)
    {
        rootWasNull = root == nullptr;
        cbSizeSeen = info->cbSize;
        if (FAILED(queryResult))
            return queryResult;
        info->i64Size = size;
        info->i64NumItems = items;
        return queryResult;
    }
    static HRESULT Empty(HWND, LPCSTR root, DWORD f)
    {
        rootWasNull = root == nullptr;
        flags = f;
        return emptyResult;
    }
};

class RecycleBinSeamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeBin::queryResult = S_OK;
        FakeBin::emptyResult = S_OK;
        FakeBin::size = FakeBin::items = 0;
        FakeBin::rootWasNull = false;
        SetRecycleBinCalls({.Query = &FakeBin::Query, .Empty = &FakeBin::Empty});
    }
    void TearDown() override { SetRecycleBinCalls({}); }
};

TEST_F(RecycleBinSeamTest, FailedQueryCountsAsEmptyAndReportsZero)
{
    FakeBin::queryResult = E_FAIL;
    EXPECT_TRUE(IsRecycleBinEmpty());
    int64_t size = 5;
    int64_t count = 5;
    EXPECT_FALSE(QueryRecycleBin(size, count));
    EXPECT_EQ(0, size);
    EXPECT_EQ(0, count);
    EXPECT_TRUE(FakeBin::rootWasNull) << "all drives";
    EXPECT_EQ(sizeof(SHQUERYRBINFO), FakeBin::cbSizeSeen);
}

TEST_F(RecycleBinSeamTest, EitherCounterMakesTheBinFull)
{
    struct Case {
        int64_t size, items;
        bool empty;
    } cases[] = {{0, 0, true}, {0, 1, false}, {4096, 0, false}, {0x100000000LL, 3, false}};
    for (const Case& c : cases) {
        FakeBin::size = c.size;
        FakeBin::items = c.items;
        int64_t size = -1;
        int64_t count = -1;
        EXPECT_EQ(c.empty, IsRecycleBinEmpty()) << c.size << "/" << c.items;
        ASSERT_TRUE(QueryRecycleBin(size, count));
        EXPECT_EQ(c.size, size);
        EXPECT_EQ(c.items, count);
    }
}

TEST_F(RecycleBinSeamTest, EmptyFlagsAndResults)
{
    struct Case {
        bool confirm, progress, sound;
        DWORD flags;
    } cases[] = {{false, false, false, 7},
                 {true, false, false, 6},
                 {false, true, false, 5},
                 {false, false, true, 3},
                 {true, true, true, 0}};
    for (const Case& c : cases) {
        FakeBin::flags = 0xFFFFFFFF;
        EXPECT_TRUE(EmptyRecycleBin(nullptr, c.confirm, c.progress, c.sound));
        EXPECT_EQ(c.flags, FakeBin::flags) << c.confirm << c.progress << c.sound;
        EXPECT_TRUE(FakeBin::rootWasNull);
    }
    FakeBin::emptyResult = S_FALSE;
    EXPECT_TRUE(EmptyRecycleBin(nullptr, false, false, false));
    FakeBin::emptyResult = E_FAIL;
    EXPECT_FALSE(EmptyRecycleBin(nullptr, false, false, false));
    FakeBin::emptyResult = E_ACCESSDENIED;
    EXPECT_FALSE(EmptyRecycleBin(nullptr, false, false, false));
}

} // namespace
