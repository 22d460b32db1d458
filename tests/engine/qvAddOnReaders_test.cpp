#include "AddOnTestSupport.h"
#include "EngineTest.h"
#include "FirefoxFixture.h"
#include "engine/qvAddOnReaders.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/XmlU.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

using atest::kView32;

TEST(AddOnReaders, IdNormalFormAndIEVersionText)
{
    struct Case {
        const char* In;
        const char* Out;
    };
    for (const Case& c : {Case{"{ABC-1}", "abc-1"}, Case{" x@Y ", "x@y"}, Case{"{{a}}", "{a}"},
                          Case{"{abc", "abc"}, Case{"", ""}, Case{" { X } ", " x "}}) {
        EXPECT_EQ(c.Out, NormalizeAddOnId(c.In)) << "in: " << c.In;
    }
    struct VersionCase {
        const char* Text;
        int Major;
    };
    for (const VersionCase& c :
         {VersionCase{"9.11.9600.18376", 9}, VersionCase{"9.11", 9}, VersionCase{" 6.0.2900 ", 6},
          VersionCase{"10", 1}, VersionCase{"", 8}, VersionCase{"abc", 8}, VersionCase{".5", 8},
          VersionCase{"x.1", 8}}) {
        EXPECT_EQ(c.Major, IEMajorVersionFromText(c.Text)) << "text: '" << c.Text << "'";
    }
    // The untouched prefix takes the IE 7 road, which the other add-on tests
    // rely on: Wine's Internet Explorer reports 9.11.9600.x, and a prefix made
    // on a host that runs 64-bit code only has no Internet Explorer key in the
    // 32-bit view at all, which counts as 8.
    EXPECT_LE(7, GetIEMajorVersion());
    // The program's own view decides (the 32-bit one on 64-bit Windows).
    const bool win64 = IsWin64();
    for (const auto& [own, other] : {std::pair<VersionCase, const char*>{{"9.11.9600.18376", 9}, "6.0"},
                                     std::pair<VersionCase, const char*>{{"6.0.2900.5512", 6}, "9.11"}}) {
        atest::IEVersionScope ownView, otherView;
        ASSERT_TRUE(ownView.Set(own.Text, {win64 ? kView32 : 0}));
        if (win64)
            ASSERT_TRUE(otherView.Set(other, {atest::kView64}));
        EXPECT_EQ(own.Major, GetIEMajorVersion()) << own.Text;
    }
}

class AddOnRegistryReaders : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The program's own view: the 32-bit one of the shipped program.
        RegView32 = true;
        RegView64 = false;
    }
    void TearDown() override
    {
        RegView32 = false;
        RegView64 = false;
    }
    atest::RegEntries reg_;
};

TEST_F(AddOnRegistryReaders, IEAddOnIsOffOnlyWithFlagsOneAndVersionStar)
{
    struct Case {
        const char* Name;
        bool SetFlags;
        DWORD Flags;
        const char* Version; // nullptr: no value
        bool Disabled;
    };
    const Case cases[] = {
        {"both", true, 1, "*", true},
        {"flags only", true, 1, nullptr, false},
        {"version only", false, 0, "*", false},
        {"flags 2", true, 2, "*", false},
        {"other version", true, 1, "1.0", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string clsid = atest::UniqueClsid(++n);
        const std::string key = std::string(kIEExtSettingsKey) + "\\" + clsid;
        if (c.SetFlags)
            reg_.Dword(HKEY_CURRENT_USER, key, "Flags", c.Flags, kView32);
        if (c.Version)
            reg_.String(HKEY_CURRENT_USER, key, "Version", c.Version, kView32);
        EXPECT_EQ(c.Disabled, IsIEAddOnDisabled(clsid)) << c.Name;
    }
    // Flags as text is not the DWORD the browser writes.
    const std::string clsid = atest::UniqueClsid(++n);
    const std::string key = std::string(kIEExtSettingsKey) + "\\" + clsid;
    reg_.String(HKEY_CURRENT_USER, key, "Flags", "1", kView32);
    reg_.String(HKEY_CURRENT_USER, key, "Version", "*", kView32);
    EXPECT_FALSE(IsIEAddOnDisabled(clsid));
    EXPECT_FALSE(IsIEAddOnDisabled(atest::UniqueClsid(++n))) << "no key";
}

TEST_F(AddOnRegistryReaders, ComServerFileIsTheFirstNonEmptyServerValueAsStored)
{
    const std::string first = atest::UniqueClsid(100);
    const std::string base = "CLSID\\" + first;
    reg_.String(HKEY_CLASSES_ROOT, base + "\\InprocServer32", "", "", kView32);
    reg_.String(HKEY_CLASSES_ROOT, base + "\\LocalServer32", "", "x.exe /a", kView32);
    reg_.String(HKEY_CLASSES_ROOT, base + "\\InprocServer", "", "later.dll", kView32);
    std::string file = "untouched";
    GetComServerFile(first, file);
    EXPECT_EQ("x.exe /a", file);

    const std::string expand = atest::UniqueClsid(101);
    reg_.String(HKEY_CLASSES_ROOT, "CLSID\\" + expand + "\\InprocHandler", "",
                "%SystemRoot%\\kv.dll", kView32, REG_EXPAND_SZ);
    GetComServerFile(expand, file);
    EXPECT_EQ("%SystemRoot%\\kv.dll", file) << "variables stay as stored";

    const std::string none = atest::UniqueClsid(102);
    reg_.Key(HKEY_CLASSES_ROOT, "CLSID\\" + none + "\\InprocServer32", kView32);
    GetComServerFile(none, file);
    EXPECT_EQ("", file);
}

class FirefoxFolderReader : public AddOnRegistryReaders {
protected:
    void SetUp() override
    {
        AddOnRegistryReaders::SetUp();
        ASSERT_FALSE(ktest::MozillaKeyExists(kView32)) << "the prefix has a Firefox of its own";
        programFiles_ = ProgramFiles32Dir();
        ASSERT_FALSE(programFiles_.empty());
        ASSERT_EQ(INVALID_FILE_ATTRIBUTES,
                  GetFileAttributesA((programFiles_ + "Mozilla Firefox").c_str()));
    }
    void TearDown() override
    {
        ktest::DeleteMozillaKey(kView32);
        folders_.RemoveAll();
        AddOnRegistryReaders::TearDown();
    }
    void WriteVersion(const std::string& Current, const std::string& KeyVersion,
                      const std::string& Exe)
    {
        ASSERT_TRUE(ktest::WriteFirefoxKeys(kView32, Current, KeyVersion, Exe));
    }
    std::string programFiles_;
    ktest::FixtureFolders folders_;
};

TEST_F(FirefoxFolderReader, KeyNamedByTheVersionBeforeItsLocaleElseTheDefaultFolder)
{
    std::string folder = "untouched";
    GetFirefoxFolderOrDefault(folder);
    EXPECT_EQ("", folder) << "no registry, no default folder";

    const std::string fallback = folders_.Make(programFiles_ + "Mozilla Firefox\\");
    ASSERT_FALSE(fallback.empty());
    GetFirefoxFolderOrDefault(folder);
    EXPECT_EQ(fallback, folder) << "no registry: the default folder";

    const std::string installed = folders_.Make("C:\\ktest-addon-ff\\");
    ASSERT_FALSE(installed.empty()) << "left over from an earlier run";
    WriteVersion("3.6.13 (en-US)", "3.6.13", installed + "firefox.exe");
    GetFirefoxFolderOrDefault(folder);
    EXPECT_EQ(installed, folder) << "the key 'Mozilla Firefox 3.6.13\\bin'";

    // A PathToExe whose folder is gone: back to the default folder.
    WriteVersion("3.6.13 (en-US)", "3.6.13", "C:\\ktest-addon-gone\\firefox.exe");
    GetFirefoxFolderOrDefault(folder);
    EXPECT_EQ(fallback, folder);
}

TEST(AddOnReaders, InstallRdfNameIsTheFirstEmNameExactCase)
{
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string folder =
        std::string(temp) + "ktest-installrdf-" + std::to_string(GetCurrentProcessId()) + "\\";
    ASSERT_EQ(ERROR_SUCCESS, SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr));
    struct Case {
        const char* Name;
        std::string Text;
        std::wstring Expected;
    };
    const Case cases[] = {
        {"plain", atest::InstallRdf("Kv Tools \xC3\xA9t\xC3\xA9"), L"Kv Tools \u00e9t\u00e9"},
        {"nested first",
         "<RDF><Description><em:targetApplication><Description><em:name>Inner</em:name>"
         "</Description></em:targetApplication><em:name>Outer</em:name></Description></RDF>",
         L"Inner"},
        {"other case", "<EM:NAME>Upper</EM:NAME>", L""},
        {"no end tag", "<em:name>Open", L""},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(etest::WriteBytes(folder + "install.rdf", c.Text));
        std::wstring name = L"untouched";
        ReadInstallRdfName(folder, name);
        EXPECT_EQ(c.Expected, name) << c.Name;
        ReadInstallRdfName(folder.substr(0, folder.size() - 1), name);
        EXPECT_EQ(c.Expected, name) << c.Name << " (folder without backslash)";
    }
    DeleteFileA((folder + "install.rdf").c_str());
    std::wstring name = L"untouched";
    ReadInstallRdfName(folder, name);
    EXPECT_EQ(L"", name) << "no file";
    etest::RemoveFolder(folder);
}

// An extensions.rdf as Firefox 3.6 writes it, with non-ASCII names.
const std::string kRdf = "<?xml version=\"1.0\"?>\r\n"
                         "<RDF:RDF xmlns:NS1=\"http://www.mozilla.org/2004/em-rdf#\"\r\n"
                         "         xmlns:RDF=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\r\n"
                         "  <RDF:Description RDF:about=\"urn:mozilla:item:on@kv.test\"\r\n"
                         "                   NS1:name=\"Gr\xC3\xBC\xC3\x9F"
                         "e \xE6\x97\xA5\xE6\x9C\xAC\"\r\n"
                         "                   NS1:userDisabled=\"false\">\r\n"
                         "    <NS1:type NC:parseType=\"Integer\">2</NS1:type>\r\n"
                         "  </RDF:Description>\r\n"
                         "  <RDF:Description RDF:about=\"urn:mozilla:item:enable@kv.test\"\r\n"
                         "                   NS1:userDisabled=\"needs-enable\"\r\n"
                         "                   NS1:name=\"\xC3\x89t\xC3\xA9\">\r\n"
                         "  </RDF:Description>\r\n"
                         "  <RDF:Description RDF:about=\"urn:mozilla:item:going@kv.test\"\r\n"
                         "                   NS1:userDisabled=\"needs-disable\" />\r\n"
                         "  <RDF:Description RDF:about=\"urn:mozilla:item:off@kv.test\"\r\n"
                         "                   ns1:USERDISABLED=\"TRUE\"/>\r\n"
                         "  <RDF:Description RDF:about=\"urn:mozilla:item:bare@kv.test\"/>\r\n"
                         "  <RDF:Seq RDF:about=\"urn:mozilla:item:root\">\r\n"
                         "    <RDF:li RDF:resource=\"urn:mozilla:item:on@kv.test\"/>\r\n"
                         "  </RDF:Seq>\r\n"
                         "</RDF:RDF>\r\n";

int CountOf(const std::string& Text, const std::string& Part)
{
    int n = 0;
    for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1))
        ++n;
    return n;
}

TEST(AddOnReaders, RdfParserFindsBlocksByOneBasedPosition)
{
    TRDFPartialParser parser(kRdf);
    const std::string first = parser.FindBlock("<rdf:description", ">");
    EXPECT_EQ(static_cast<int32_t>(kRdf.find("<RDF:Description")) + 1, parser.BlockStart);
    EXPECT_EQ(static_cast<int32_t>(first.size()), parser.BlockLength);
    EXPECT_EQ(0u, first.rfind("<RDF:Description RDF:about=\"urn:mozilla:item:on@kv.test\"", 0));
    const std::string second = parser.FindBlock("<RDF:Description", ">");
    EXPECT_NE(std::string::npos, second.find("enable@kv.test")) << "goes on after the block";
    EXPECT_EQ("", parser.FindBlock("<nothing", ">"));
    EXPECT_EQ(-1, parser.BlockStart) << "reset on failure";
    EXPECT_EQ(first, parser.FindBlock("<RDF:Description", ">")) << "starts over after a reset";

    struct Case {
        const char* Id;
        bool Disabled;
    };
    for (const Case& c :
         {Case{"on@kv.test", false}, Case{"enable@kv.test", false}, Case{"going@kv.test", true},
          Case{"OFF@kv.test", true}, Case{"bare@kv.test", false}, Case{"root", false},
          Case{"missing@kv.test", false}}) {
        EXPECT_EQ(c.Disabled, parser.IsDisabled(c.Id)) << c.Id;
    }

    const std::string before = parser.Text;
    EXPECT_EQ("", parser.ReplaceAttribute("missing@kv.test", "NS1:userDisabled=\"true\"",
                                          "NS1:userDisabled=\"needs-enable\""));
    EXPECT_EQ(before, parser.Text);
    EXPECT_FALSE(parser.Changed());
}

TEST(AddOnReaders, RdfRewriteLeavesOneSwitchAndEveryOtherByteAsItWas)
{
    for (const char* id :
         {"on@kv.test", "enable@kv.test", "going@kv.test", "off@kv.test", "bare@kv.test"}) {
        SCOPED_TRACE(id);
        TRDFPartialParser parser(kRdf);
        const std::string oldBlock = parser.FindItem(id);
        ASSERT_FALSE(oldBlock.empty());
        const size_t start = static_cast<size_t>(parser.BlockStart - 1);
        const std::string text = parser.ReplaceAttribute(id, "NS1:userDisabled=\"true\"",
                                                         "NS1:userDisabled=\"needs-enable\"");
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text, parser.Text);
        EXPECT_TRUE(parser.Changed());
        const std::string newBlock = parser.FindItem(id);
        EXPECT_EQ(1, CountOf(newBlock, "NS1:userDisabled=\"true\""));
        EXPECT_EQ(1, CountOf(LowerCase(newBlock), "ns1:userdisabled="));
        EXPECT_TRUE(parser.IsDisabled(id));
        // Everything outside the edited tag stays byte for byte.
        EXPECT_EQ(kRdf.substr(0, start), text.substr(0, start));
        EXPECT_EQ(kRdf.substr(start + oldBlock.size()), text.substr(start + newBlock.size()));
        EXPECT_EQ(oldBlock.substr(oldBlock.size() - 2) == "/>",
                  newBlock.substr(newBlock.size() - 2) == "/>")
            << newBlock;
        // The project's reader takes the result as a whole document.
        TXML xml;
        xml.LoadFromString(text);
        EXPECT_TRUE(xml.Complete()) << text;
        EXPECT_TRUE(xml.Errors.Count() == 0) << text;
        // The others are untouched.
        for (const char* other : {"on@kv.test", "enable@kv.test", "bare@kv.test"})
            if (std::string(other) != id)
                EXPECT_FALSE(parser.IsDisabled(other)) << other;
    }
}

TEST(AddOnReaders, ProfilesWithoutRdfAndStrayFilesCountAsNotDisabled)
{
    atest::ProfilesFixture profiles;
    std::string folder;
    GetFirefoxProfilesFolder(folder);
    EXPECT_EQ(profiles.Folder(), folder);
    profiles.Profile("aaa.fresh");
    const std::string used = profiles.Profile("bbb.used");
    ASSERT_TRUE(etest::WriteBytes(profiles.Folder() + "profiles.stray", "not a profile"));
    ASSERT_TRUE(etest::WriteBytes(used + "extensions.rdf", kRdf));

    EXPECT_EQ((std::vector<std::string>{profiles.Folder() + "aaa.fresh\\extensions.rdf",
                                        used + "extensions.rdf"}),
              ListProfileRDFFiles(profiles.Folder()));
    TFFAddons addons;
    const int loads = RDFLoadCount();
    EXPECT_TRUE(addons.IsDisabled("going@kv.test"));
    EXPECT_TRUE(addons.IsDisabled("off@kv.test"));
    EXPECT_FALSE(addons.IsDisabled("on@kv.test"));
    EXPECT_FALSE(addons.IsDisabled("elsewhere@kv.test"));
    EXPECT_EQ(2, RDFLoadCount() - loads) << "each profile's file read once";
    EXPECT_EQ(profiles.Folder(), addons.ProfilesFolder);
}

} // namespace
