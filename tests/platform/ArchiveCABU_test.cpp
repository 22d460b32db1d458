#include "platform/ArchiveCABU.h"

#include "CabTestSupport.h"
#include "FileTestSupport.h"
#include "KorvTest.h"
#include "platform/CabSTConsts.h"
#include "platform/FileUtilsU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <gtest/gtest.h>

#include <random>

using namespace cabtest;

namespace {

class CabArchiveTest : public ktest::ScratchDirTest {
protected:
    std::string Path(const std::string& name) const { return dirAnsi_ + name; }
    // Writes a cabinet made of Entries as name and returns its path.
    std::string Cabinet(const std::string& name, const std::vector<TEntry>& entries)
    {
        const std::string path = Path(name);
        EXPECT_TRUE(WriteAll(path, MakeCabinet(entries)));
        return path;
    }
    static tCABArchive& Handler(TArchive& archive)
    {
        return *dynamic_cast<tCABArchive*>(archive.Handler());
    }
    // Names of the entries of a folder, sorted.
    static std::vector<std::string> Listing(const std::string& folder)
    {
        std::vector<std::string> names;
        WIN32_FIND_DATAA fd{};
        HANDLE find = FindFirstFileA((IncludeTrailingBackslash(folder) + "*").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do {
            const std::string name = fd.cFileName;
            if (name != "." && name != "..")
                names.push_back(name);
        } while (FindNextFileA(find, &fd));
        FindClose(find);
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(CabArchiveTest, ListingInFileOrderAndTheEmptyCabinet)
{
    TArchive two(Cabinet("two.cab", {{"b.txt", "bee"}, {"a.txt", "ay"}}));
    TStringList list;
    ASSERT_TRUE(two.LoadArchiveContents(&list));
    EXPECT_EQ(list.GetText(), "b.txt\r\na.txt\r\n");
    // The caller has a copy; a second listing refills the same FileList.
    list.Add("mine");
    ASSERT_TRUE(two.LoadArchiveContents(&list));
    EXPECT_EQ(list.GetText(), "b.txt\r\na.txt\r\n");
    EXPECT_EQ(Handler(two).FileList.GetText(), "b.txt\r\na.txt\r\n");

    TArchive empty(Cabinet("empty.cab", {}));
    EXPECT_TRUE(empty.LoadArchiveContents(&list));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(empty.DecompressToDir(Path("out"), "", true));
    EXPECT_TRUE(Listing(Path("out")).empty());
}

TEST_F(CabArchiveTest, AFilterExtractsOneEntryAndLeavesTheOthersFiles)
{
    const std::string cab = Cabinet("ab.cab", {{"a.txt", "new a"}, {"b.txt", "new b"}});
    CreateDirectoryA(Path("out").c_str(), nullptr);
    ASSERT_TRUE(WriteAll(Path("out\\a.txt"), "old a"));
    ASSERT_TRUE(WriteAll(Path("out\\b.txt"), "old b"));
    TArchive archive(cab);
    EXPECT_TRUE(archive.DecompressToDir(Path("out"), "A.TXT", false));
    EXPECT_EQ(ReadAll(Path("out\\a.txt")), "new a");
    EXPECT_EQ(ReadAll(Path("out\\b.txt")), "old b");

    SCOPED_TRACE("TargetName renames the match");
    Handler(archive).TargetName = "renamed.txt";
    EXPECT_TRUE(archive.DecompressToDir(Path("out2"), "b.TXT", false));
    EXPECT_EQ(Listing(Path("out2")), std::vector<std::string>{"renamed.txt"});
    EXPECT_EQ(ReadAll(Path("out2\\renamed.txt")), "new b");
}

TEST_F(CabArchiveTest, AnExistingReadOnlyFileIsReplaced)
{
    const std::string cab = Cabinet("ro.cab", {{"ro.txt", "new"}});
    CreateDirectoryA(Path("out").c_str(), nullptr);
    ASSERT_TRUE(WriteAll(Path("out\\ro.txt"), "old"));
    SetFileAttributesA(Path("out\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    TArchive archive(cab);
    EXPECT_TRUE(archive.DecompressToDir(Path("out"), "", false));
    EXPECT_EQ(ReadAll(Path("out\\ro.txt")), "new");
}

TEST_F(CabArchiveTest, ExtractToStream)
{
    const std::string big = Noise(100000, 5);
    TArchive archive(Cabinet("s.cab", {{"a.txt", "ay"}, {"dir\\big.bin", big}}));
    TMemoryStream out;
    out.Write("stale bytes that must go", 24);
    EXPECT_TRUE(Handler(archive).ExtractToStream("DIR\\BIG.BIN", out));
    EXPECT_TRUE(out.ToString() == big);
    EXPECT_TRUE(Listing(dirAnsi_) == std::vector<std::string>{"s.cab"}) << "no file written";
    TMemoryStream none;
    EXPECT_FALSE(Handler(archive).ExtractToStream("missing.txt", none));
    EXPECT_TRUE(Handler(archive).FilterName.empty());
    EXPECT_TRUE(Handler(archive).TargetName.empty());

    SCOPED_TRACE("a failing stream: raised, and the stream unregistered");
    class TBrokenStream : public TMemoryStream {
    public:
        int32_t Write(const void*, int32_t) override { throw EStreamError("broken"); }
    } broken;
    tStreamMan& man = tStreamMan::Instance();
    TMemoryStream probe;
    const std::string before = man.Register(&probe);
    man.Unregister(before);
    EXPECT_THROW(Handler(archive).ExtractToStream("a.txt", broken), EStreamError);
    const std::string used = "Stream_" + std::to_string(std::stoi(before.substr(7)) + 1);
    EXPECT_FALSE(man.IsStreamName(used));
}

TEST_F(CabArchiveTest, AStreamSourceBehavesAsTheFile)
{
    const std::string bytes =
        MakeCabinet({{"one.txt", "first"}, {"sub\\two.bin", Noise(70000, 6)}});
    TMemoryStream stream;
    stream.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.SetPosition(5); // the position the caller left does not matter
    ASSERT_TRUE(WriteAll(Path("file.cab"), bytes));

    TArchive fromFile(Path("file.cab"));
    TArchive fromStream("update.cab", &stream);
    ASSERT_EQ(fromStream.ArchiveType(), kArchiveTypeCAB);
    TStringList a, b;
    EXPECT_TRUE(fromFile.LoadArchiveContents(&a));
    EXPECT_TRUE(fromStream.LoadArchiveContents(&b));
    EXPECT_EQ(a.GetText(), b.GetText());
    EXPECT_TRUE(fromFile.DecompressToDir(Path("f"), "", true));
    EXPECT_TRUE(fromStream.DecompressToDir(Path("s"), "", true));
    EXPECT_EQ(Listing(Path("f")), Listing(Path("s")));
    EXPECT_EQ(ReadAll(Path("s\\one.txt")), "first");
    EXPECT_TRUE(ReadAll(Path("s\\sub\\two.bin")) == ReadAll(Path("f\\sub\\two.bin")));
    TMemoryStream one;
    EXPECT_TRUE(Handler(fromStream).ExtractToStream("one.txt", one));
    EXPECT_EQ(one.ToString(), "first");

    SCOPED_TRACE("not a cabinet in a stream");
    TMemoryStream junk;
    junk.Write("MZ junk", 7);
    TArchive bad("junk.cab", &junk);
    EXPECT_FALSE(bad.LoadArchiveContents(&a));
    EXPECT_TRUE(bad.LastError().ends_with("Cannot initialize archive \"junk.cab\"!"))
        << bad.LastError();
}

TEST_F(CabArchiveTest, TimesAndAttributes)
{
    const uint16_t kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
    TArchive archive(Cabinet(
        "attr.cab", {{"kept.txt", "k", DosDate(2021, 6, 7), DosTime(8, 9, 10), kept | 0x40 | 0x80},
                     {"plain.txt", "p", DosDate(2021, 6, 7), DosTime(8, 9, 10), 0x40}}));
    ASSERT_TRUE(archive.DecompressToDir(Path("out"), "", false));
    EXPECT_EQ(GetFileAttributesA(Path("out\\kept.txt").c_str()), static_cast<DWORD>(kept));
    // Wine reads a file without attributes back as ARCHIVE, Windows as NORMAL.
    const DWORD plain = GetFileAttributesA(Path("out\\plain.txt").c_str());
    EXPECT_TRUE(plain == FILE_ATTRIBUTE_NORMAL ||
                (filetest::RunningUnderWine() && plain == FILE_ATTRIBUTE_ARCHIVE))
        << plain;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExA(Path("out\\plain.txt").c_str(), GetFileExInfoStandard, &data));
    FILETIME local{};
    SYSTEMTIME st{};
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    FileTimeToSystemTime(&local, &st);
    EXPECT_EQ(st.wYear, 2021);
    EXPECT_EQ(st.wMonth, 6);
    EXPECT_EQ(st.wDay, 7);
    EXPECT_EQ(st.wHour, 8);
    EXPECT_EQ(st.wMinute, 9);
    EXPECT_EQ(st.wSecond, 10);
    EXPECT_EQ(CompareFileTime(&data.ftCreationTime, &data.ftLastWriteTime), 0);
}

// Wine takes the zone from the process's TZ at its start, so this runs in a
// CTest entry of its own under TZ=Asia/Tokyo (9 hours east of UTC).
TEST_F(CabArchiveTest, EntryTimesAreLocalTime)
{
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    if (zone.Bias != -540)
        GTEST_SKIP() << "runs under TZ=Asia/Tokyo (CTest: platform_tests_<prefix>_tokyo)";
    TArchive archive(
        Cabinet("noon.cab", {{"noon.txt", "n", DosDate(2024, 1, 15), DosTime(12, 0, 0)}}));
    ASSERT_TRUE(archive.DecompressToDir(Path("tokyo"), "", false));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(
        GetFileAttributesExA(Path("tokyo\\noon.txt").c_str(), GetFileExInfoStandard, &data));
    for (const FILETIME& time : {data.ftLastWriteTime, data.ftCreationTime}) {
        SYSTEMTIME utc{};
        FileTimeToSystemTime(&time, &utc);
        EXPECT_EQ(utc.wYear, 2024);
        EXPECT_EQ(utc.wMonth, 1);
        EXPECT_EQ(utc.wDay, 15);
        EXPECT_EQ(utc.wHour, 3);
        EXPECT_EQ(utc.wMinute, 0);
        EXPECT_EQ(utc.wSecond, 0);
    }
}

// ---------------------------------------------------------------------------
// Entry names that could leave the target folder

TEST_F(CabArchiveTest, TraversalNamesAreRefusedWhole)
{
    ASSERT_TRUE(WriteAll(Path("evil.txt"), "canary"));
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    const std::string cwdEvil = IncludeTrailingBackslash(cwd) + "evil.txt";
    const bool rootEvilBefore = FileExistsEx("C:\\evil.txt");
    const char* names[] = {"..\\evil.txt",
                           "sub\\..\\..\\evil.txt",
                           "\\evil.txt",
                           "/evil.txt",
                           "C:\\evil.txt",
                           "C:evil.txt",
                           "sub/../../evil.txt",
                           "a:b",
                           "",
                           "sub\\\\x.txt",
                           "..",
                           "sub\\"};
    int n = 0;
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const std::string dir = Path("dir" + std::to_string(++n));
        CreateDirectoryA(dir.c_str(), nullptr);
        const std::string cab = Cabinet("bad.cab", {{name, "evil"}});
        TArchive archive(cab);
        EXPECT_FALSE(archive.DecompressToDir(dir, "", true));
        EXPECT_TRUE(archive.LastError().ends_with("Unsafe entry name \"" + std::string(name) +
                                                  "\" in archive \"" + cab + "\"!"))
            << archive.LastError();
        EXPECT_EQ(ReadAll(Path("evil.txt")), "canary");
        EXPECT_TRUE(Listing(dir).empty());
        EXPECT_FALSE(FileExistsEx(cwdEvil));
        EXPECT_EQ(FileExistsEx("C:\\evil.txt"), rootEvilBefore);
    }

    SCOPED_TRACE("one bad name among good ones: nothing is deleted or written");
    CreateDirectoryA(Path("mixed").c_str(), nullptr);
    ASSERT_TRUE(WriteAll(Path("mixed\\good.txt"), "old good"));
    TArchive mixed(Cabinet("mixed.cab", {{"good.txt", "new good"}, {"..\\evil.txt", "evil"}}));
    EXPECT_FALSE(mixed.DecompressToDir(Path("mixed"), "", true));
    EXPECT_EQ(ReadAll(Path("mixed\\good.txt")), "old good");
    EXPECT_EQ(Listing(Path("mixed")), std::vector<std::string>{"good.txt"});
    EXPECT_EQ(ReadAll(Path("evil.txt")), "canary");
}

TEST_F(CabArchiveTest, HarmlessNamesExtractUnderTheFolder)
{
    TArchive archive(Cabinet("ok.cab", {{"a..b.txt", "dots"},
                                        {"sub\\ok.txt", "ok"},
                                        {"sub/deeper/x.txt", "x"},
                                        {".hidden", "h"}}));
    ASSERT_TRUE(archive.DecompressToDir(Path("out"), "", true)) << archive.LastError();
    EXPECT_EQ(ReadAll(Path("out\\a..b.txt")), "dots");
    EXPECT_EQ(ReadAll(Path("out\\sub\\ok.txt")), "ok");
    EXPECT_EQ(ReadAll(Path("out\\sub\\deeper\\x.txt")), "x");
    EXPECT_EQ(ReadAll(Path("out\\.hidden")), "h");
}

TEST_F(CabArchiveTest, ALinkBelowTheFolderIsRefused)
{
    if (!filetest::RunningUnderWine())
        GTEST_SKIP() << "Windows: the link fixture is made by the Wine host";
    char fixture[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("KORV_LINK_FIXTURE", fixture, MAX_PATH))
        GTEST_SKIP() << "no host link fixture (made by CTest's platform_link_fixture step)";
    const std::string base = IncludeTrailingBackslash(fixture);
    // tree\link points to outside\, which holds canary.txt.
    ASSERT_EQ(GetFileAttributesA((base + "tree\\link").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT,
              static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
    TArchive archive(Cabinet("link.cab", {{"link\\evil.txt", "evil"}, {"fine.txt", "fine"}}));
    EXPECT_FALSE(archive.DecompressToDir(base + "tree", "", true));
    EXPECT_TRUE(archive.LastError().find("\"link\\evil.txt\"") != std::string::npos)
        << archive.LastError();
    EXPECT_FALSE(FileExistsEx(base + "outside\\evil.txt"));
    EXPECT_FALSE(FileExistsEx(base + "tree\\fine.txt"));
    EXPECT_EQ(ReadAll(base + "outside\\canary.txt"), "canary");
    EXPECT_FALSE(IsSafeEntryName(base + "tree\\", "link\\evil.txt"));
    EXPECT_FALSE(IsSafeEntryName(base + "tree\\", "link"));
    EXPECT_TRUE(IsSafeEntryName(base + "tree\\", "linked.txt"));
}

TEST_F(CabArchiveTest, ALaterCabinetOfTheSetIsCheckedToo)
{
    // The listing of the first cabinet never shows the name in the second.
    ASSERT_TRUE(WriteAll(Path("src1"), "first"));
    ASSERT_TRUE(WriteAll(Path("src2"), "evil"));
    CreateDirectoryA(Path("cabs").c_str(), nullptr);
    const auto cabinets =
        MakeCabinetsWithFCI(Path("cabs"), "part%d.cab",
                            {{Path("src1"), "one.txt"}, {"", ""}, {Path("src2"), "..\\evil.txt"}},
                            0x7FFFFFFF, tcompTYPE_MSZIP);
    ASSERT_EQ(cabinets.size(), 2u);
    CreateDirectoryA(Path("set").c_str(), nullptr);
    ASSERT_TRUE(WriteAll(Path("set\\evil.txt"), "canary"));
    CreateDirectoryA(Path("set\\dir").c_str(), nullptr);

    TArchive archive(cabinets[0]);
    TStringList listed;
    ASSERT_TRUE(archive.LoadArchiveContents(&listed));
    ASSERT_EQ(listed.GetText(), "one.txt\r\n");
    EXPECT_FALSE(archive.DecompressToDir(Path("set\\dir"), "", true));
    EXPECT_TRUE(archive.LastError().ends_with("Unsafe entry name \"..\\evil.txt\" in archive \"" +
                                              cabinets[0] + "\"!"))
        << archive.LastError();
    EXPECT_EQ(ReadAll(Path("set\\evil.txt")), "canary");
    EXPECT_EQ(ReadAll(Path("set\\dir\\one.txt")), "first");
}

// True when an allow entry of the DACL gives the world group any right to
// change the file or its security.
bool WorldMayWrite(PSECURITY_DESCRIPTOR sd)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted))
        return true;
    if (!present || !acl)
        return true; // no DACL: everybody may do everything
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    constexpr DWORD kChange = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                              FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                              WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    bool mayWrite = false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace))
            continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), everyone) &&
            (allowed->Mask & kChange))
            mayWrite = true;
    }
    FreeSid(everyone);
    return mayWrite;
}

TEST_F(CabArchiveTest, UpdateFilesGetNoGrant)
{
    TArchive archive(Cabinet("upd.cab", {{"Korvelle.exe", "MZ program"}, {"sub\\x.dll", "MZ"}}));
    std::vector<filetest::TRecorded> calls;
    {
        filetest::TRecorderScope recorder;
        ASSERT_TRUE(archive.DecompressToDir(Path("update"), "", true));
        calls = recorder.Calls();
    }
    for (const auto& call : calls) {
        SCOPED_TRACE(call.Api + " " + call.Path);
        EXPECT_NE(call.Api, "SetFileSecurityA");
        EXPECT_NE(call.Api, "SetNamedSecurityInfoA");
        EXPECT_FALSE(call.HasDescriptor) << call.Sddl;
    }
    // Wine gives new files a world read-and-execute entry of its own; what
    // matters is that nobody but the administrators may change them.
    for (const char* file : {"update\\Korvelle.exe", "update\\sub\\x.dll", "update\\sub"}) {
        PSECURITY_DESCRIPTOR sd = GetFileSecurityDescriptor(Path(file));
        ASSERT_NE(sd, nullptr) << file;
        const std::string sddl = filetest::DaclSddl(sd);
        EXPECT_FALSE(WorldMayWrite(sd)) << file << " " << sddl;
        LocalFree(sd);
    }
}

// ---------------------------------------------------------------------------
// Hostile input

bool IsPartText(const std::string& text)
{
    for (int code = 0; code <= 12; ++code)
        if (text.rfind(std::string(FDIErrorText(code)) + " [0x", 0) == 0)
            return true;
    return text == kCabNotACabinet || text == kCabCorrupt || text == kCabStreamSeekFailed;
}

// Lists (and, when asked, extracts) a cabinet held in memory; false when the
// outcome was anything but false, success or a text of the cabinet layer.
bool SurvivesHostile(const std::string& bytes, const std::string& out, bool extract,
                     bool& extracted, std::string& why)
{
    TMemoryStream stream;
    stream.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    extracted = false;
    try {
        TArchive archive("hostile.cab", &stream);
        TStringList list;
        const bool listed = archive.LoadArchiveContents(&list);
        if (!listed && archive.LastError().empty()) {
            why = "false without a text";
            return false;
        }
        if (extract) {
            extracted = archive.DecompressToDir(out, "", false);
            if (!extracted && archive.LastError().empty()) {
                why = "false without a text";
                return false;
            }
        }
    } catch (const ESTCabinet& e) {
        if (!IsPartText(e.what())) {
            why = e.what();
            return false;
        }
    } catch (const std::exception& e) {
        why = std::string("unexpected exception: ") + e.what();
        return false;
    }
    return true;
}

TEST_F(CabArchiveTest, TruncationAtEveryByte)
{
    const std::string cab =
        MakeCabinet({{"one.txt", "first file"}, {"two.txt", "second"}, {"sub\\three.txt", "3"}});
    const std::string out = Path("out");
    for (size_t size = 0; size < cab.size(); ++size) {
        bool extracted = false;
        std::string why;
        EXPECT_TRUE(SurvivesHostile(cab.substr(0, size), out, true, extracted, why))
            << size << ": " << why;
        EXPECT_FALSE(extracted) << "a cabinet cut at " << size << " extracted";
        ktest::RemoveTree(AnsiToWide(out));
    }
}

TEST_F(CabArchiveTest, MutatedHeaders)
{
    const std::string cab =
        MakeCabinet({{"one.txt", "first file"}, {"two.txt", "second"}, {"sub\\three.txt", "3"}});
    // Header, folder and entries: everything before the first data block.
    const size_t region = static_cast<unsigned char>(cab[kHeaderSize]) |
                          (static_cast<unsigned char>(cab[kHeaderSize + 1]) << 8);
    std::mt19937 random(20240115);
    const std::string out = Path("out");
    int failures = 0;
    constexpr int kRuns = 100000;
    for (int run = 0; run < kRuns && failures < 10; ++run) {
        std::string bytes = cab;
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < changes; ++i)
            bytes[random() % region] = static_cast<char>(random());
        const bool extract = run % 100 == 0;
        bool extracted = false;
        std::string why;
        if (!SurvivesHostile(bytes, out, extract, extracted, why)) {
            ++failures;
            ADD_FAILURE() << "run " << run << ": " << why;
        }
        if (extract)
            ktest::RemoveTree(AnsiToWide(out));
    }
}

} // namespace
