// The scanner tools: program paths, folder walks, value texts, the MUI cache
// key and the size texts.

#include "EngineTest.h"

#include "engine/qvScanTools.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include "KorvTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

std::string Ansi(const std::wstring& w)
{
    return WideToAnsi(w);
}

void MakeFile(const std::string& path, const std::string& bytes = "x")
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << path;
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
}

std::set<std::string> Paths(const TFileList& list)
{
    std::set<std::string> out;
    for (const TFoundFile& f : list)
        out.insert(LowerCase(f.Path));
    return out;
}

// ---------------------------------------------------------------------------
// Program paths

class ResolverTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ktest::ScratchDirTest::SetUp();
        CreateDirectoryA((dirAnsi_ + "My App").c_str(), nullptr);
        MakeFile(dirAnsi_ + "My App\\app.exe");
        MakeFile(dirAnsi_ + "My App\\prog");
        MakeFile(dirAnsi_ + "lib.dll");
    }
};

TEST_F(ResolverTest, CommandLinesResolveToExistingProgramsInEveryView)
{
    const std::string dir = dirAnsi_;
    const std::string lower = LowerCase(dir);
    const std::string system = LowerCase(WindowsDir()) + "system32\\shell32.dll";
    struct Case {
        std::string commandLine;
        bool found;
        std::string path; // lower case; compared trimmed
    };
    const Case cases[] = {
        {"\"" + dir + "My App\\app.exe\" -x \"y z\"", true, lower + "my app\\app.exe"},
        {"  \"" + dir + "My App\\app.exe", true, lower + "my app\\app.exe"},
        {dir + "My App\\app.exe -x /y", true, lower + "my app\\app.exe"},
        {dir + "My App\\prog -x", true, lower + "my app\\prog"},
        {dir + "lib.dll,-101", true, lower + "lib.dll"},
        {"rundll32", true, "rundll32"},
        // A bare program followed by its arguments (the system-path search
        // does not take it whole).
        {"rundll32.exe shell32.dll,Control_RunDLL", true, "rundll32.exe"},
        {"MsiExec.exe /X{12345678-1234-1234-1234-123456789012}", true, "msiexec.exe"},
        {"%SystemRoot%\\system32\\shell32.dll,-21", true, system},
        {"\\SystemRoot\\System32\\shell32.dll", true, system},
        {dir + "missing\\nothing.exe -a", false, ""},
        {dir + "My App\\missing.exe %1 %2", false, ""},
        {"", false, ""},
    };
    for (const uint8_t view : {kViewBoth, kView32, kView64}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.commandLine + " view " + std::to_string(view));
            std::string path = "untouched";
            EXPECT_EQ(c.found, ExtractExecutablePath(c.commandLine, view, path));
            if (c.found)
                EXPECT_EQ(c.path, Trim(path));
            else
                EXPECT_EQ("untouched", path);
        }
    }
}

// A path whose leading macro this machine cannot resolve is never judged
// missing: the scanners would delete what they cannot look for.
TEST_F(ResolverTest, AnUnresolvedLeadingMacroCountsAsFound)
{
    std::string path;
    EXPECT_TRUE(ResolveExecutablePath("%NOSUCHMACRO%\\x.exe /a", kViewBoth, path));
    EXPECT_EQ("%NOSUCHMACRO%\\x.exe ", path);
    EXPECT_FALSE(ResolveExecutablePath(dirAnsi_ + "%NOSUCHMACRO%\\x.exe", kViewBoth, path));
}

TEST_F(ResolverTest, ExistingPathAndSpaceWalk)
{
    std::string path = dirAnsi_ + "MY APP";
    EXPECT_TRUE(ResolveExistingPath(path, false));
    EXPECT_EQ(LowerCase(dirAnsi_ + "my app"), path);
    path = dirAnsi_ + "Missing";
    EXPECT_FALSE(ResolveExistingPath(path, false));
    EXPECT_EQ(LowerCase(dirAnsi_ + "missing"), path);
    path = dirAnsi_ + "My App\\prog x y";
    EXPECT_FALSE(ResolveExistingPath(path, true));
    EXPECT_TRUE(ResolveExistingPath(path, false));
    EXPECT_EQ(LowerCase(dirAnsi_ + "my app\\prog"), path);

    path = dirAnsi_ + "My App\\prog  -x";
    EXPECT_TRUE(ResolvePathBySpaces(path));
    EXPECT_EQ(LowerCase(dirAnsi_ + "my app\\prog"), path);
    path = dirAnsi_ + "My App\\nothing -x";
    EXPECT_FALSE(ResolvePathBySpaces(path));
    EXPECT_EQ(LowerCase(dirAnsi_ + "my app\\nothing -x"), path);
    path = "no backslash here";
    EXPECT_FALSE(ResolvePathBySpaces(path));
}

TEST(ScanTools, CleanPathCandidate)
{
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\a\\b.dll,1", "C:\\a\\b.dll"},
        {"C:\\a\\b.dll;x", "C:\\a\\b.dll"},
        {"C:\\a\\b%x", "C:\\a\\b"},
        {"C:\\Windows\\,x", "C:\\Windows\\"},
        {"C:\\a%b\\c.dll", "C:\\a%b\\c.dll"},
        {"C:\\a\\b.exe /x", "C:\\a\\b.exe "},
        {"C:\\a\\b.exe\"x", "C:\\a\\b.exe"},
        {"C:\\a\\b.exe|x", "C:\\a\\b.exe"},
        {"C:\\a\\b\x01"
         "c",
         "C:\\a\\b"},
        {"C:\\a\\*.x", "C:\\a\\"},
        {"ab:c", "ab:c"},
        {"abc:d", "abc"},
        {"C:", "C:"},
        {"\x01"
         "bcd",
         "\x01"
         "bcd"},
        {"", ""},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(expected, CleanPathCandidate(text)) << text;
}

TEST(ScanTools, FindFirstCharOf)
{
    EXPECT_EQ(0, FindFirstCharOf("b", "abc", 0));
    EXPECT_EQ(0, FindFirstCharOf("b", "abc", 4));
    EXPECT_EQ(0, FindFirstCharOf("b", "", 1));
    EXPECT_EQ(2, FindFirstCharOf("cb", "abc", 1));
    EXPECT_EQ(3, FindFirstCharOf("c", "abc", 3));
    EXPECT_EQ(0, FindFirstCharOf("a", "abc", 2));
    // 0x83 0x5C is one character in code page 932: its trail byte is no
    // backslash there.
    const std::string text = "\x83\x5C"
                             "x\\";
    EXPECT_EQ(4, FindFirstCharOf("\\", text, 1, 932));
    EXPECT_EQ(2, FindFirstCharOf("\\", text, 1, 1252));
    EXPECT_EQ(4, FindFirstCharOf("\\", text, 2, 932));
    // A lead byte at the very end stands alone.
    EXPECT_EQ(0, FindFirstCharOf("\\", "x\x83", 1, 932));
}

// The same splits in the program's own code page, under the Japanese locale too.
TEST(TextScanTools, TrailBytesAreNoDelimitersInTheSystemCodePage)
{
    const bool dbcs = GetACP() == 932;
    const std::string text = "\x83\x40"
                             "@x";
    EXPECT_EQ(dbcs ? 3 : 2, FindFirstCharOf("@", text, 1));
    // No "@" at all in code page 932: the name is the file.
    const std::string name = "\x83\x40"
                             "\"x\"";
    EXPECT_EQ(dbcs ? name : std::string(), MuiCacheValueToFile(name));
}

TEST(ScanTools, IsFixedDrivePath)
{
    const std::string windows = WindowsDir();
    EXPECT_TRUE(IsFixedDrivePath(windows + "x.exe"));
    EXPECT_TRUE(IsFixedDrivePath(LowerCase(windows) + "x.exe"));
    EXPECT_TRUE(IsFixedDrivePath("\"" + windows + "x y.exe\" -a"));
    EXPECT_FALSE(IsFixedDrivePath("\"" + windows + "unclosed"));
    EXPECT_TRUE(IsFixedDrivePath("%SystemRoot%\\x.exe"));
    EXPECT_FALSE(IsFixedDrivePath("%NOSUCHVARIABLE%\\x.exe"));
    EXPECT_FALSE(IsFixedDrivePath(windows + "%NOSUCHVARIABLE%\\x.exe"));
    EXPECT_TRUE(IsFixedDrivePath(windows + "x.exe,%1"));
    EXPECT_FALSE(IsFixedDrivePath("\\\\server\\share\\x.exe"));
    EXPECT_FALSE(IsFixedDrivePath("x.exe"));
    EXPECT_FALSE(IsFixedDrivePath(""));
}

TEST(ScanTools, SetThreadRegistryView)
{
    TRegViewScope restore(RegView32, RegView64);
    SetThreadRegistryView(true);
    EXPECT_EQ(IsWin64(), RegView64);
    EXPECT_FALSE(RegView32);
    SetThreadRegistryView(false);
    EXPECT_FALSE(RegView64);
    EXPECT_EQ(IsWin64(), RegView32);

    // The scope sets the same view and gives the previous one back.
    for (bool is64 : {false, true}) {
        {
            TItemViewScope view(is64);
            EXPECT_EQ(IsWin64() && is64, RegView64);
            EXPECT_EQ(IsWin64() && !is64, RegView32);
        }
        EXPECT_FALSE(RegView64);
        EXPECT_EQ(IsWin64(), RegView32);
    }
}

// ---------------------------------------------------------------------------
// Folder walks

class WalkFilesTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ktest::ScratchDirTest::SetUp();
        for (const char* d : {"sub", "sub\\deep", "star1", "star2", "other"})
            CreateDirectoryA((dirAnsi_ + d).c_str(), nullptr);
        MakeFile(dirAnsi_ + "a.log", "123");
        MakeFile(dirAnsi_ + "keep.txt", "12345");
        MakeFile(dirAnsi_ + "sub\\b.log", "1");
        MakeFile(dirAnsi_ + "sub\\deep\\c.log", "12");
        MakeFile(dirAnsi_ + "star1\\x.log", "1234");
        MakeFile(dirAnsi_ + "star2\\x.log", "1");
        MakeFile(dirAnsi_ + "star3", "a file named like the folders");
        MakeFile(dirAnsi_ + "other\\x.log", "1");
    }
    std::string L(const std::string& rest) const { return LowerCase(dirAnsi_ + rest); }
};

TEST_F(WalkFilesTest, FindFilesRecursive)
{
    TFileList list;
    FindFilesRecursive(dirAnsi_ + "*.log", &list, false);
    EXPECT_EQ((std::set<std::string>{L("a.log")}), Paths(list));
    EXPECT_EQ(3, list[0].Size);

    list.clear();
    FindFilesRecursive(dirAnsi_ + "*.*", &list, true);
    EXPECT_EQ((std::set<std::string>{L("a.log"), L("keep.txt"), L("star3"), L("sub\\"),
                                     L("sub\\b.log"), L("sub\\deep\\"), L("sub\\deep\\c.log"),
                                     L("star1\\"), L("star1\\x.log"), L("star2\\"),
                                     L("star2\\x.log"), L("other\\"), L("other\\x.log")}),
              Paths(list));
    for (const TFoundFile& f : list) {
        if (f.IsFolder())
            EXPECT_EQ(0, f.Size) << f.Path;
        // A folder comes before what lies in it.
        const size_t slash = f.Path.rfind('\\', f.Path.size() - 2);
        const std::string parent = f.Path.substr(0, slash + 1);
        if (LowerCase(parent) != LowerCase(dirAnsi_)) {
            const auto it = std::find_if(list.begin(), list.end(),
                                         [&](const TFoundFile& p) { return p.Path == parent; });
            ASSERT_NE(list.end(), it) << f.Path;
            EXPECT_LT(it - list.begin(), &f - &list[0]) << f.Path;
        }
    }
    EXPECT_EQ(3 + 5 + 29 + 1 + 2 + 4 + 1 + 1, SumListSizes(&list));

    // A "*" folder component is searched for folders only.
    list.clear();
    FindFilesRecursive(dirAnsi_ + "star*\\x.log", &list, false);
    EXPECT_EQ((std::set<std::string>{L("star1\\x.log"), L("star2\\x.log")}), Paths(list));
    list.clear();
    FindFilesRecursive(dirAnsi_ + "s*\\*\\c.log", &list, false);
    EXPECT_EQ((std::set<std::string>{L("sub\\deep\\c.log")}), Paths(list));
    list.clear();
    FindFilesRecursive(dirAnsi_ + "nothing*\\x.log", &list, false);
    EXPECT_TRUE(list.empty());
    FindFilesRecursive(dirAnsi_ + "*.log", nullptr, true);
    EXPECT_EQ(0, SumListSizes(nullptr));
}

TEST_F(WalkFilesTest, SearchFilesToListWalksFolderPatternsWhole)
{
    TFileList list;
    SearchFilesToList("  " + dirAnsi_ + "sub\\ ", &list, false);
    EXPECT_EQ((std::set<std::string>{L("sub\\b.log"), L("sub\\deep\\"), L("sub\\deep\\c.log")}),
              Paths(list));
    list.clear();
    SearchFilesToList(dirAnsi_ + "*.log", &list, false);
    EXPECT_EQ(1u, list.size());
    list.clear();
    SearchFilesToList("   ", &list, true);
    EXPECT_TRUE(list.empty());
    SearchFilesToList(dirAnsi_, nullptr, true);
}

TEST_F(WalkFilesTest, ListSubfoldersListsFilesToo)
{
    std::vector<std::string> list;
    ListSubfolders(" " + dirAnsi_.substr(0, dirAnsi_.size() - 1) + " ", &list, true);
    std::set<std::string> got;
    for (const std::string& s : list)
        got.insert(LowerCase(s));
    EXPECT_EQ((std::set<std::string>{L("a.log\\"), L("keep.txt\\"), L("star3\\"), L("sub\\"),
                                     L("star1\\"), L("star2\\"), L("other\\")}),
              got);
    list.clear();
    ListSubfolders(dirAnsi_ + "sub", &list, false);
    std::sort(list.begin(), list.end());
    EXPECT_EQ((std::vector<std::string>{"b.log", "deep"}), list);
    ListSubfolders("", &list, false);
    EXPECT_EQ(2u, list.size());
}

// A pattern that would walk some other folder lists nothing: an unknown
// macro left as text is a relative path, and an empty macro folder makes
// the root of the current drive.
TEST_F(WalkFilesTest, UnresolvedOrRelativePatternsListNothing)
{
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    const std::string decoy = std::string(cwd) + "\\%NOSUCHMACRO%";
    CreateDirectoryA(decoy.c_str(), nullptr);
    MakeFile(decoy + "\\FILE0000.CHK");
    MakeFile(std::string(cwd) + "\\relative.chk");

    TFileList list;
    SearchFilesToList("%NOSUCHMACRO%\\*.chk", &list, false);
    SearchFilesToList("*.chk", &list, false);
    SearchFilesToList("relative.chk", &list, false);
    EXPECT_TRUE(list.empty()) << list.front().Path;

    if (DownloadedProgramFilesDir().empty()) {
        const std::string root = SystemDiskRoot() + "ktest-decoy.chk";
        MakeFile(root);
        SearchFilesToList("%DOWNLOADEDPROGRAMFILES%\\ktest-decoy.chk", &list, false);
        EXPECT_TRUE(list.empty());
        DeleteFileA(root.c_str());
    } else {
        ADD_FAILURE()
            << "the prefix names a Downloaded Program Files folder; no empty macro to test";
    }
    // The same walk with a resolved macro finds what it should.
    SearchFilesToList("%SYSTEMDISKROOT%\\" + dirAnsi_.substr(3) + "*.log", &list, false);
    EXPECT_EQ((std::set<std::string>{L("a.log")}), Paths(list));

    DeleteFileA((decoy + "\\FILE0000.CHK").c_str());
    RemoveDirectoryA(decoy.c_str());
    DeleteFileA((std::string(cwd) + "\\relative.chk").c_str());
}

TEST(ScanToolsHost, LinksAreListedButNeverEntered)
{
    const std::string fixture = etest::HostFixture();
    if (fixture.empty())
        GTEST_SKIP() << etest::kNoHostFixture;
    TFileList list;
    SearchFilesToList(fixture + "\\tree\\", &list, false);
    const auto link = std::find_if(list.begin(), list.end(), [](const TFoundFile& f) {
        return LowerCase(f.Path).ends_with("\\link\\");
    });
    ASSERT_NE(list.end(), link);
    EXPECT_TRUE(link->Attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    for (const TFoundFile& f : list)
        EXPECT_EQ(std::string::npos, LowerCase(f.Path).find("canary")) << f.Path;
    // Met by a "*" component, the link is listed and not entered either.
    list.clear();
    FindFilesRecursive(fixture + "\\tree\\*\\*.txt", &list, false);
    ASSERT_EQ(1u, list.size());
    EXPECT_TRUE(LowerCase(list[0].Path).ends_with("\\link\\"));
}

// A 5 GiB file: the high word of its size counts.
TEST_F(WalkFilesTest, SizesAreSixtyFourBit)
{
    ASSERT_TRUE(etest::MakeSparseFile(dirAnsi_ + "huge.dmp", 5LL << 30));
    TFileList list;
    SearchFilesToList(dirAnsi_ + "*.dmp", &list, false);
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(5LL << 30, list[0].Size);
    EXPECT_EQ(5LL << 30, SumListSizes(&list));
}

// ---------------------------------------------------------------------------
// Values

TEST(ScanTools, RegTypeNames)
{
    const std::pair<const char*, DWORD> names[] = {
        {"str", 1}, {"exstr", 2}, {"bin", 3}, {"num", 4}, {"mulstr", 7}};
    for (const auto& [name, kind] : names) {
        EXPECT_EQ(kind, RegTypeFromName(name));
        EXPECT_EQ(kind, RegTypeFromName(UpperCase(name)));
        EXPECT_EQ(name, RegTypeToName(kind));
    }
    EXPECT_EQ(0u, RegTypeFromName("dword"));
    EXPECT_EQ(0u, RegTypeFromName(""));
    EXPECT_EQ("", RegTypeToName(0));
    EXPECT_EQ("", RegTypeToName(11));
}

TEST(ScanTools, HashEscape)
{
    EXPECT_EQ("a#22b#23c#26d#3Ce#3Ef#01#00g#1F h\x80\xFF",
              EscapeHashHex(std::string("a\"b#c&d<e>f\x01\0g\x1F h\x80\xFF", 19)));
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(all, UnescapeHashHex(EscapeHashHex(all)));
    // What the reader would take for an entity never reaches it.
    EXPECT_EQ(std::string::npos, EscapeHashHex("a&b;c x&#65;y").find('&'));

    const std::pair<std::string, std::string> cases[] = {
        {"#41", "A"},    {"#4a#4A", "JJ"}, {"#zz", ""},
        {"a#zzb", "ab"}, {"#4g", ""},      {"x#4", std::string("x\x04")},
        {"#", ""},       {"a#", "a"},      {"#00", std::string(1, '\0')},
        {"#ff", "\xFF"}, {"##41", "1"},    {"plain", "plain"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(expected, UnescapeHashHex(text)) << text;
}

TEST(ScanTools, DWordTexts)
{
    const std::pair<const char*, bool> texts[] = {
        {"0", true},          {"38", true},
        {"4294967295", true}, {"4294967296", false},
        {"-1", false},        {"$0000FA00", true},
        {"$FFFFFFFF", true},  {"$100000000", false},
        {"0x10", true},       {"", false},
        {"12a", false},       {" 1", false},
        {"$", false},         {"99999999999999999999", false},
    };
    for (const auto& [text, valid] : texts)
        EXPECT_EQ(valid, IsDWordText(text)) << text;
    EXPECT_EQ(0u, DWordFromText("5", true));
    EXPECT_EQ(64000u, DWordFromText("$0000FA00", false));
    EXPECT_EQ(38u, DWordFromText("38", false));
    EXPECT_EQ(0u, DWordFromText("x", false));
    EXPECT_EQ(0xFFFFFFFFu, DWordFromText("-1", false));
}

// ---------------------------------------------------------------------------
// MUI cache

class MuiCacheTest : public ktest::ScratchKeyTest {};

TEST_F(MuiCacheTest, TheFirstSecondLevelKeyWithAnAtValueIsTheCache)
{
    const std::string base = Ansi(ScratchPath()) + "\\MuiCache";
    EXPECT_EQ("", FindMuiCacheKeyIn(HKEY_CURRENT_USER, base));
    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, base + "\\a1\\b1", "plain", "x"));
    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, base + "\\a1\\b2", "no@first", "x"));
    EXPECT_EQ("", FindMuiCacheKeyIn(HKEY_CURRENT_USER, base));
    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, base + "\\a2\\b3", "@shell32.dll,-1", "x"));
    EXPECT_EQ(base + "\\a2\\b3", FindMuiCacheKeyIn(HKEY_CURRENT_USER, base));
    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, base + "\\a1\\b2", "@x.dll,-2", "y"));
    EXPECT_EQ(base + "\\a1\\b2", FindMuiCacheKeyIn(HKEY_CURRENT_USER, base));
}

TEST(ScanTools, MuiCacheValueToFile)
{
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\x\\app.exe", "C:\\x\\app.exe"},
        {"  C:\\x\\app.exe ", "C:\\x\\app.exe"},
        {"@shell32.dll,-21", "shell32.dll"},
        {"@ C:\\a\\b.dll ,-21", "C:\\a\\b.dll"},
        {"@\"C:\\p q\\x.dll\",-1", "C:\\p q\\x.dll"},
        {"@\"C:\\unclosed", ""},
        {"@nocomma", ""},
        {"C:\\dir,@x.dll,-5", "C:\\dir\\x.dll"},
        {"a@b", ""},
        {"a,b@c", ""},
    };
    for (const auto& [name, file] : cases)
        EXPECT_EQ(file, MuiCacheValueToFile(name)) << name;
}

// ---------------------------------------------------------------------------
// Sizes

TEST(ScanTools, SizeTexts)
{
    struct Case {
        int64_t bytes;
        const char* full;
        const char* compact;
    };
    const Case cases[] = {
        {-5, "0 MB", "0 MB"},
        {0, "0 MB", "0 MB"},
        {100, "100 B", "100 B"},
        {101, "101 B", "0.1 KB"},
        {1023, "1023 B", "1.0 KB"},
        {1024, "1.0 KB", "1.0 KB"},
        {102400, "100.0 KB", "100.0 KB"},
        {102401, "100.0 KB", "0.1 MB"},
        {1048576, "1.0 MB", "1.0 MB"},
        {1073741823, "1024.0 MB", "1024.0 MB"},
        {1073741824, "1.0 GB", "1.0 GB"},
        {(1LL << 32) + 5, "4.0 GB", "4.0 GB"},
        {5LL << 30, "5.0 GB", "5.0 GB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(c.full, FormatSizeWith(c.bytes, false, "."));
        EXPECT_EQ(c.compact, FormatSizeWith(c.bytes, true, "."));
        std::string comma = c.full;
        std::replace(comma.begin(), comma.end(), '.', ',');
        EXPECT_EQ(comma, FormatSizeWith(c.bytes, false, ","));
        std::string compactComma = c.compact;
        std::replace(compactComma.begin(), compactComma.end(), '.', ',');
        EXPECT_EQ(compactComma, FormatSizeWith(c.bytes, true, ","));
    }
}

KTEST_ROLE(format_size)
{
    // args: the expected decimal separator
    const std::string separator = args.empty() ? "." : WideToAnsi(args[0]);
    const bool ok = UserDecimalSeparator() == separator &&
                    FormatSize(1536) == "1" + separator + "5 KB" &&
                    FormatSizeCompact(101) == "0" + separator + "1 KB";
    return ok ? 0 : 1;
}

// The separator is the user's, read by processes started after the change.
TEST(ScanTools, SizeTextsUseTheUsersDecimalSeparator)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Control Panel\\International", 0,
                                           KEY_READ | KEY_WRITE, &key));
    wchar_t old[16] = {};
    DWORD size = sizeof old;
    const bool had = RegQueryValueExW(key, L"sDecimal", nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS;
    RegSetValueExW(key, L"sDecimal", 0, REG_SZ, reinterpret_cast<const BYTE*>(L","), 4);
    const ktest::ChildResult comma = ktest::RunSelf(L"format_size", {L","});
    if (had)
        RegSetValueExW(key, L"sDecimal", 0, REG_SZ, reinterpret_cast<const BYTE*>(old), size);
    else
        RegDeleteValueW(key, L"sDecimal");
    RegCloseKey(key);
    ASSERT_TRUE(comma.started);
    EXPECT_EQ(0u, comma.exitCode);
}

} // namespace
