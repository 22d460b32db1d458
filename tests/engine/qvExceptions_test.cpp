// The ignore list: registry and file exceptions as the catalogue gives them.

#include "EngineTest.h"

#include "engine/qvCleanRep.h"
#include "engine/qvExceptions.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/WinVersionU.h"
#include "platform/XmlU.h"

#include <gtest/gtest.h>

namespace {

class ExceptionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetExceptionsForTests();
        ResetCleanReportForTests();
    }
    void TearDown() override { ResetExceptionsForTests(); }

    TqvExceptions& Load(const std::string& Body)
    {
        TXML xml;
        xml.LoadFromString("<exceptions>" + Body + "</exceptions>");
        TqvExceptions& list = EnsureExceptions();
        list.LoadFromXML(xml.Root()->FindFirst("exceptions"));
        return list;
    }
    static TqvRegItem Item(HKEY Root, const std::string& Key, const std::string& Name = "")
    {
        TqvRegItem item(nullptr);
        item.Root = Root;
        item.Key = Key;
        item.Name = Name;
        return item;
    }
};

TEST_F(ExceptionsTest, RegistryMatchTable)
{
    TqvExceptions& list =
        Load("<reg root=\"HKLM\" key=\"SOFTWARE\\Foo\\\" ignore=\"key\"/>"
             "<reg root=\"hklm\" key=\"Software\\Bar\" name=\"Val\" ignore=\"VALUE\" is64=\"1\"/>"
             // Dropped: no root, an unknown root, no key, no or an unknown kind.
             "<reg key=\"SOFTWARE\\Z\" ignore=\"key\"/>"
             "<reg root=\"HKLM64\" key=\"SOFTWARE\\Z\" ignore=\"key\"/>"
             "<reg root=\"HKLM\" ignore=\"key\"/>"
             "<reg root=\"HKLM\" key=\"SOFTWARE\\Z\"/>"
             "<reg root=\"HKLM\" key=\"SOFTWARE\\Z\" ignore=\"tree\"/>");
    ASSERT_EQ(2u, list.RegExceptions.size());
    EXPECT_EQ("SOFTWARE\\FOO", list.RegExceptions[0]->Key);
    EXPECT_EQ(kExceptionKey, list.RegExceptions[0]->Kind);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, list.RegExceptions[1]->Root);
    EXPECT_EQ("VAL", list.RegExceptions[1]->Name);
    EXPECT_EQ(kExceptionValue, list.RegExceptions[1]->Kind);
    EXPECT_TRUE(list.RegExceptions[1]->Is64);

    struct Case {
        const char* name;
        HKEY root;
        const char* key;
        const char* value;
        bool ignored;
    };
    const Case cases[] = {
        {"the key itself", HKEY_LOCAL_MACHINE, "SOFTWARE\\FOO", "", true},
        {"below it, other case", HKEY_LOCAL_MACHINE, "Software\\Foo\\Bar", "x", true},
        {"a plain text prefix covers FOOBAR", HKEY_LOCAL_MACHINE, "SOFTWARE\\FOOBAR", "", true},
        {"trailing backslash", HKEY_LOCAL_MACHINE, "software\\foo\\", "", true},
        {"shorter key", HKEY_LOCAL_MACHINE, "SOFTWARE\\FO", "", false},
        {"other root", HKEY_CURRENT_USER, "SOFTWARE\\FOO", "", false},
        {"the exact value, other case", HKEY_LOCAL_MACHINE, "SOFTWARE\\BAR\\", "val", true},
        {"another value of the key", HKEY_LOCAL_MACHINE, "SOFTWARE\\BAR", "Other", false},
        {"the default value of the key", HKEY_LOCAL_MACHINE, "SOFTWARE\\BAR", "", false},
        {"the value name below the key", HKEY_LOCAL_MACHINE, "SOFTWARE\\BAR\\SUB", "Val", false},
        {"the value under another root", HKEY_USERS, "SOFTWARE\\BAR", "Val", false},
    };
    for (const Case& c : cases) {
        const TqvRegItem item = Item(c.root, c.key, c.value);
        EXPECT_EQ(c.ignored, list.IsRegIgnored(item)) << c.name;
        EXPECT_EQ(c.ignored, IsIgnored(item)) << c.name;
    }
}

TEST_F(ExceptionsTest, FileEntriesAreExpandedLowerCasedAndFoundExactly)
{
    TqvExceptions& list = Load("<file path=\"  %WINDIR%\\WindowsUpdate.LOG \"/>"
                               "<file path=\"%SYSDIR32%\\wbem\\Logs\\WMITracing.log\"/>"
                               "<file path=\"%SYSDIR64%\\wbem\\Logs\\WMITracing.log\" is64=\"1\"/>"
                               "<file path=\"\"/>"
                               // Names whose order differs between byte and case-blind comparisons.
                               "<file path=\"C:\\X\\a_1.log\"/><file path=\"C:\\X\\A1.log\"/>"
                               "<file path=\"C:\\X\\a[1.log\"/><file path=\"C:\\X\\a~1.log\"/>"
                               "<file path=\"C:\\X\\Z.log\"/><file path=\"C:\\X\\a-1.log\"/>");
    // 32-bit Windows: the 64-bit entry is not entered.
    EXPECT_EQ(IsWin64() ? 9 : 8, list.Files.Count());
    if (IsWin64()) {
        const std::string sys64 =
            LowerCase(ExpandPathMacros64("%SYSDIR64%\\wbem\\Logs\\WMITracing.log"));
        int index = 0;
        EXPECT_TRUE(list.Files.Find(sys64, index)) << sys64;
        EXPECT_NE(sys64, LowerCase(ExpandPathMacros32("%SYSDIR32%\\wbem\\Logs\\WMITracing.log")));
    }
    for (int i = 0; i < list.Files.Count(); ++i)
        EXPECT_EQ(LowerCase(list.Files[i]), list.Files[i]);

    const std::string windows = WindowsDir();
    const std::pair<std::string, bool> cases[] = {
        {windows + "WindowsUpdate.log", true},
        {UpperCase(windows) + "WINDOWSUPDATE.LOG", true},
        {windows + "WindowsUpdate.log.bak", false},
        {windows + "Temp\\WindowsUpdate.log", false},
        {windows, false},
        {LowerCase(ExpandPathMacros32("%SYSDIR32%\\wbem\\Logs\\WMITracing.log")), true},
        {"C:\\X\\a_1.log", true},
        {"c:\\x\\a1.LOG", true},
        {"C:\\X\\a[1.log", true},
        {"C:\\X\\a~1.log", true},
        {"C:\\X\\z.log", true},
        {"C:\\X\\a-1.log", true},
        {"C:\\X\\a.log", false},
        // desktop.ini is never touched, wherever it lies.
        {"C:\\X\\Desktop.ini", true},
        {"D:\\any\\where\\DESKTOP.INI", true},
        {"C:\\X\\desktop.ini.bak", false},
        {"C:\\X\\my desktop.ini", false},
    };
    for (const auto& [path, ignored] : cases)
        EXPECT_EQ(ignored, list.IsFileIgnored(path)) << path;
}

// Found by the reader fuzzer: one exception with a path of 230 KB, followed
// by hundreds of short ones, took seconds to load, because each later entry
// upper-cased the long path again to find its place.
TEST_F(ExceptionsTest, ALongPathAmongManyLoadsInOnePass)
{
    const std::string longPath = "%WINDIR%\\WindowsUpdate.l" + std::string(230000, '\xF5') + "og";
    std::string body = "<file path=\"" + longPath + "\" />";
    for (int i = 0; i < 600; ++i)
        body += "<file path=\"%WINDIR%\\WindowsUpdate.log\" />";
    const uint64_t before = CaseMappedBytes();
    TqvExceptions& list = Load(body);
    const uint64_t mapped = CaseMappedBytes() - before;
    EXPECT_EQ(601, list.Files.Count());
    EXPECT_TRUE(list.IsFileIgnored(WindowsDir() + "WindowsUpdate.log"));
    // Each path lower-cased and upper-cased a few times, not once per entry.
    EXPECT_LT(mapped, 8 * body.size()) << mapped;
}

TEST_F(ExceptionsTest, RemoveIgnoredFilesKeepsTheOrderOfTheRest)
{
    TFileList files;
    for (const auto& [path, size] : std::initializer_list<std::pair<const char*, int64_t>>{
             {"C:\\X\\desktop.ini", 1}, {"C:\\X\\a.log", 2}, {"C:\\X\\b.log", 3},
             {"C:\\X\\Sub\\Desktop.ini", 4}, {"C:\\X\\c.log", 5}, {"C:\\X\\d.log", 6}}) {
        TFoundFile f;
        f.Path = path;
        f.Size = size;
        files.push_back(f);
    }
    // Without an ignore list nothing is removed.
    EXPECT_FALSE(RemoveIgnoredFiles(files));
    EXPECT_EQ(6u, files.size());

    Load("<file path=\"C:\\X\\B.log\"/><file path=\"c:\\x\\d.log\"/>");
    EXPECT_TRUE(RemoveIgnoredFiles(files));
    std::vector<std::string> left;
    for (const TFoundFile& f : files)
        left.push_back(f.Path + "=" + std::to_string(f.Size));
    EXPECT_EQ((std::vector<std::string>{"C:\\X\\a.log=2", "C:\\X\\c.log=5"}), left);
    EXPECT_FALSE(RemoveIgnoredFiles(files));
    TFileList empty;
    EXPECT_FALSE(RemoveIgnoredFiles(empty));
}

} // namespace
