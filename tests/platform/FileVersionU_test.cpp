#include "ChildCases.h"
#include "SettingsTestSupport.h"

#include "platform/FileVersionU.h"

using namespace settingstest;

namespace {

TEST(FileVersionU, FixedAndStringVersionsOfTheStandIns)
{
    const struct {
        const wchar_t* file;
        DWORD ms, ls;
        const char* fixed;
        const char* product;
    } cases[] = {
        {L"korv_stub_v1.exe", 0x00010000, 0x00000001, "1.0.0.1", "1.0.0.1"},
        // Its Translation entry names 040904B0, its only string table is
        // 040704E4: the second try finds it.
        {L"korv_stub_v2.exe", 0x00010000, 0x00000002, "1.0.0.2", "1.0.0.2 mismatched"},
        {L"platform_tests.exe", 0x00010002, 0x00030004, "1.2.3.4", "1.2.3.4"},
    };
    for (const auto& c : cases) {
        const std::string file = Narrow(ktest::ProgramDir() + c.file);
        SCOPED_TRACE(file);
        TFileVersion version(file);
        ASSERT_TRUE(version.Valid());
        DWORD ms = 0, ls = 0;
        version.GetFixedVersion(ms, ls);
        EXPECT_EQ(c.ms, ms);
        EXPECT_EQ(c.ls, ls);
        EXPECT_EQ(c.fixed, GetFileVersionString(file));
        EXPECT_EQ(c.product, version.ProductVersion());
        EXPECT_EQ("", version.GetStringValue("NoSuchValue"));
    }
    TFileVersion mismatched(Narrow(ktest::ProgramDir() + L"korv_stub_v2.exe"));
    EXPECT_EQ(L"040704E4", mismatched.FirstStringTableKey());
    EXPECT_EQ("1.0.0.2", mismatched.GetStringValue("FileVersion"));
}

TEST(FileVersionU, FilesWithoutABlockGiveNothing)
{
    for (const wchar_t* name : {L"plain_child.exe", L"no_such_file.exe"}) {
        const std::string file = Narrow(ktest::ProgramDir() + name);
        SCOPED_TRACE(file);
        TFileVersion version(file);
        EXPECT_FALSE(version.Valid());
        DWORD ms = 7, ls = 7;
        version.GetFixedVersion(ms, ls);
        EXPECT_EQ(0u, ms);
        EXPECT_EQ(0u, ls);
        EXPECT_EQ("", version.ProductVersion());
        EXPECT_EQ(L"", version.FirstStringTableKey());
        EXPECT_EQ("", GetFileVersionString(file));
    }
}

TEST(FileVersionU, VersionWordsInDecimal)
{
    EXPECT_EQ("1.2.3.4", VersionToString(0x00010002, 0x00030004));
    EXPECT_EQ("65535.0.10.65535", VersionToString(0xFFFF0000, 0x000AFFFF));
    EXPECT_EQ("0.0.0.0", VersionToString(0, 0));
}

} // namespace
