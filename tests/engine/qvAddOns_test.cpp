#include "AddOnTestSupport.h"
#include "EngineTest.h"
#include "FakeService.h"
#include "KorvTest.h"
#include "engine/qvAddOns.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/XmlU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>

namespace {

using atest::AddOnScanner;
using atest::kView32;
using atest::kView64;
using atest::RecordOf;

constexpr DWORD kThreadWaitMs = 20000;

// Ids of the built-in list (the catalogue's own rows).
constexpr char kListedLZIO[] = "{00000000-0000-0000-BFA1-D7EE6696B865}";
constexpr char kListedFavoriteMan[] = "{00000EF1-34E3-4633-87C6-1AA7A44296DA";

// A found item by its record's id (normal form); null when none.
const TqvItem* FoundById(const TqvItems& Scanner, const std::string& Id)
{
    for (const auto& item : Scanner.Items)
        if (RecordOf(*item) && RecordOf(*item)->Id == Id)
            return item.get();
    return nullptr;
}

TEST(AddOnScanner, BuiltInListLoadsSortedAndFindsTheTellingRows)
{
    TqvMain main;
    main.LoadData();
    TqvItemsAddOns* scanner = AddOnScanner(main);
    ASSERT_NE(nullptr, scanner);
    EXPECT_EQ(static_cast<TqvAddOnCheck*>(scanner), main.AddOnScanner) << "registered";
    EXPECT_EQ(659u, scanner->IEList.size());
    EXPECT_EQ(154u, scanner->FFList.size());
    struct Case {
        bool IE;
        const char* Key;
        const char* Name;
    };
    for (const Case& c :
         {Case{false, "{4176dff4-4698-11de-beeb-45da55d89593}", "AniWeather"},
          Case{false, "{19503e42-ca3c-4c27-b1e2-9cdb2170ee34}", "FlashGot"},
          Case{true, kListedLZIO, "LZIO"}, Case{true, kListedFavoriteMan, "FavoriteMan"}}) {
        std::string name;
        EXPECT_TRUE(
            TqvItemsAddOns::FindListed(c.IE ? scanner->IEList : scanner->FFList, c.Key, name))
            << c.Key;
        EXPECT_EQ(c.Name, name) << c.Key;
    }
    std::string name;
    EXPECT_FALSE(
        TqvItemsAddOns::FindListed(scanner->IEList, "{00000000-0000-0000-BFA1-D7EE6696B86}", name))
        << "a prefix of a key is no key";
    EXPECT_TRUE(std::is_sorted(scanner->IEList.begin(), scanner->IEList.end(),
                               [](const std::string& a, const std::string& b) {
                                   return a.substr(0, a.find('=')) < b.substr(0, b.find('='));
                               }));
}

// Found by the reader fuzzer: one add-on with a key of 260 KB among thousands
// made the list's sort look for that key's end at every comparison (most of a
// second for a catalogue of 1 MB). Each key is found once now; the order is
// still by key, and entries of one key keep the catalogue's order.
TEST(AddOnScanner, ALongKeyAmongManySortsByKeyAndKeepsRepeatsInOrder)
{
    const std::string longKey = "{" + std::string(260000, 'f') + "}";
    std::string body = "<items type=\"addons\">";
    for (int i = 0; i < 3000; ++i) {
        char key[64];
        snprintf(key, sizeof key, "{%04d-X}", (i * 7919) % 1500);
        body += "<addon name=\"n" + std::to_string(i) + "\" ff=\"" + key + "\" ie=\"" + key + "\" />";
        if (i == 1000)
            body += "<addon name=\"long\" ff=\"" + longKey + "\" />";
    }
    body += "</items>";
    TXML xml;
    xml.LoadFromString(body);
    TqvItemsAddOns scanner(nullptr);
    scanner.LoadFromXML(xml.Root()->FindFirst("items"));
    ASSERT_EQ(3001u, scanner.FFList.size());
    ASSERT_EQ(3000u, scanner.IEList.size());
    auto key = [](const std::string& line) { return line.substr(0, line.find('=')); };
    auto number = [](const std::string& line) {
        return std::stoi(line.substr(line.find("=n") + 2));
    };
    for (const auto* list : {&scanner.FFList, &scanner.IEList}) {
        for (size_t i = 1; i < list->size(); ++i) {
            const std::string& a = (*list)[i - 1];
            const std::string& b = (*list)[i];
            ASSERT_LE(key(a), key(b)) << i;
            if (key(a) == key(b)) {
                ASSERT_LT(number(a), number(b)) << "repeats keep their order: " << i;
            }
        }
    }
    std::string name;
    EXPECT_TRUE(TqvItemsAddOns::FindListed(scanner.FFList, LowerCase(longKey), name));
    EXPECT_EQ("long", name);
    int first = 0;
    while ((first * 7919) % 1500 != 7)
        ++first;
    EXPECT_TRUE(TqvItemsAddOns::FindListed(scanner.FFList, "{0007-x}", name));
    EXPECT_EQ("n" + std::to_string(first), name) << "the first of a repeated key";
    EXPECT_TRUE(TqvItemsAddOns::FindListed(scanner.IEList, "{0007-X}", name));
}

// The add-on scanner of a fresh root against the prefix's registry, with the
// cache file in a scratch folder and the stand-in as the service.
class AddOnScan : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        TProgramFolders folders = ComputeProgramFolders();
        folders.CommonDataDir = dirAnsi_ + "common\\";
        SetProgramFoldersForTests(folders);
        ASSERT_TRUE(service_.Start());
        old_ = *Settings();
        ChangeSettings([this](TSettings& s) { s.ADDON_URL = service_.URL("/client.asmx"); });
        cache_ = dirAnsi_ + "common\\addons.xml";
        win64_ = IsWin64();
    }
    void TearDown() override
    {
        EXPECT_TRUE(WaitForAddOnChecks(kThreadWaitMs));
        reg_.RemoveAll();
        SetSettings(old_);
        service_.Stop();
        ResetProgramFoldersForTests();
        ScratchDirTest::TearDown();
    }
    void StandInDown()
    {
        // A port nobody listens on: WinInet fails at once.
        fakeservice::TFakeService closed;
        ASSERT_TRUE(closed.Start());
        const std::string url = closed.URL("/client.asmx");
        closed.Stop();
        ChangeSettings([&](TSettings& s) { s.ADDON_URL = url; });
    }
    // A browser helper object (or toolbar) registered in one view with its
    // class name and an existing server file in Program Files.
    std::string Register(const std::string& Clsid, REGSAM View, bool Toolbar,
                         const std::string& ClassName)
    {
        const std::string file = ServerFile(View, Clsid);
        if (Toolbar)
            reg_.String(HKEY_LOCAL_MACHINE, kIEToolbarKey, Clsid, "", View, REG_BINARY);
        else
            reg_.Key(HKEY_LOCAL_MACHINE, std::string(kIEBHOKey) + "\\" + Clsid, View);
        const std::string classKey = "CLSID\\" + Clsid;
        if (!ClassName.empty())
            reg_.String(HKEY_CLASSES_ROOT, classKey, "", ClassName, View);
        reg_.String(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", "", file, View);
        return file;
    }
    std::string ServerFile(REGSAM View, const std::string& Clsid)
    {
        const std::string folder =
            (View == kView64 ? ProgramFiles64Dir() : ProgramFiles32Dir()) + "KvAddOnTest\\";
        if (madeFolders_.empty() || madeFolders_.back() != folder) {
            SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr);
            madeFolders_.push_back(folder);
        }
        const std::string file = folder + "kv" + Clsid.substr(1, 8) + ".dll";
        etest::WriteBytes(file, "MZ");
        return file;
    }
    void SwitchedOff(const std::string& Clsid)
    {
        const std::string key = std::string(kIEExtSettingsKey) + "\\" + Clsid;
        reg_.Dword(HKEY_CURRENT_USER, key, "Flags", 1, kView32);
        reg_.String(HKEY_CURRENT_USER, key, "Version", "*", kView32);
    }
    void Cache(const std::string& Lines)
    {
        SHCreateDirectoryExA(nullptr, (dirAnsi_ + "common").c_str(), nullptr);
        ASSERT_TRUE(etest::WriteBytes(cache_, "<addons>\r\n" + Lines + "</addons>\r\n"));
    }

    ~AddOnScan() override
    {
        for (const std::string& f : madeFolders_)
            etest::RemoveFolder(f);
    }

    fakeservice::TFakeService service_;
    atest::RegEntries reg_;
    TSettings old_;
    std::string cache_;
    bool win64_ = false;
    std::vector<std::string> madeFolders_;
};

TEST_F(AddOnScan, JudgesEachIEAddOnByCacheListAndService)
{
    const std::string cachedWhite = kListedLZIO;                // listed, cached white
    const std::string cachedBlackOff = atest::UniqueClsid(1);   // cached black, already off
    const std::string answeredBlackOff = atest::UniqueClsid(2); // pending, answered black, off
    const std::string unlisted = atest::UniqueClsid(3);         // pending, nothing named
    const std::string unnamed = atest::UniqueClsid(4);          // no class name, answered black
    const std::string toolbar = atest::UniqueClsid(5);          // toolbar, answered black
    Register(cachedWhite, kView32, false, "LZIO found");
    Register(cachedBlackOff, kView32, false, "Black off");
    Register(answeredBlackOff, kView32, false, "Answered off");
    Register(unlisted, kView32, false, "Unlisted");
    const std::string unnamedFile = Register(unnamed, kView32, false, "");
    Register(toolbar, kView32, true, "Bar");
    SwitchedOff(cachedBlackOff);
    SwitchedOff(answeredBlackOff);
    Cache("  <addon id=\"" + NormalizeAddOnId(cachedWhite) + "\" name=\"w\" type=\"W\" />\r\n" +
          "  <addon id=\"" + NormalizeAddOnId(cachedBlackOff) + "\" name=\"b\" type=\"B\" />\r\n");
    for (const std::string& id : {answeredBlackOff, unnamed, toolbar})
        service_.SetBlack(NormalizeAddOnId(id), "");
    std::string toolbar64;
    std::string bho64;
    if (win64_) {
        bho64 = atest::UniqueClsid(6);
        toolbar64 = atest::UniqueClsid(7);
        Register(bho64, kView64, false, "Sixty-four");
        Register(toolbar64, kView64, true, "Bar64");
        service_.SetBlack(NormalizeAddOnId(bho64), "Named by the service");
        service_.SetBlack(NormalizeAddOnId(toolbar64), "");
    }

    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    EXPECT_EQ(nullptr, FoundById(*scanner, NormalizeAddOnId(cachedWhite)));
    EXPECT_EQ(nullptr, FoundById(*scanner, NormalizeAddOnId(cachedBlackOff)));
    EXPECT_EQ(nullptr, FoundById(*scanner, NormalizeAddOnId(unlisted)));

    const TqvItem* off = FoundById(*scanner, NormalizeAddOnId(answeredBlackOff));
    ASSERT_NE(nullptr, off) << "a pending add-on answered black is offered even when off";
    EXPECT_TRUE(off->Found && off->Selected);
    EXPECT_EQ("BHO", RecordOf(*off)->Source);
    EXPECT_NE(nullptr, dynamic_cast<const TqvIExploreAddOn*>(off)) << "IE 7 and later";
    EXPECT_EQ("%PROGRAMFILES%\\KvAddOnTest\\kv" + answeredBlackOff.substr(1, 8) + ".dll",
              RecordOf(*off)->Path);

    const TqvItem* noName = FoundById(*scanner, NormalizeAddOnId(unnamed));
    ASSERT_NE(nullptr, noName);
    EXPECT_EQ(WideFromAnsi("kv" + unnamed.substr(1, 8) + ".dll"), RecordOf(*noName)->Name)
        << "no class name: the server's file name";

    const TqvItem* bar = FoundById(*scanner, NormalizeAddOnId(toolbar));
    ASSERT_NE(nullptr, bar);
    EXPECT_EQ("TBR", RecordOf(*bar)->Source);
    EXPECT_FALSE(bar->Is64);
    if (win64_) {
        const TqvItem* b64 = FoundById(*scanner, NormalizeAddOnId(bho64));
        ASSERT_NE(nullptr, b64);
        EXPECT_EQ("BHO64", RecordOf(*b64)->Source);
        EXPECT_EQ(3, GetAddOnSourceCode(RecordOf(*b64)->Source));
        EXPECT_TRUE(b64->Is64);
        EXPECT_EQ(L"Named by the service", b64->Caption) << "a black answer renames";
        const TqvItem* t64 = FoundById(*scanner, NormalizeAddOnId(toolbar64));
        ASSERT_NE(nullptr, t64);
        EXPECT_EQ(4, GetAddOnSourceCode(RecordOf(*t64)->Source));
        EXPECT_TRUE(t64->Is64);
        EXPECT_EQ("%PROGRAMFILES%\\KvAddOnTest\\kv" + bho64.substr(1, 8) + ".dll",
                  RecordOf(*b64)->Path);
    }
    const size_t expected = win64_ ? 5 : 3;
    EXPECT_EQ(expected, scanner->Items.size());
    EXPECT_EQ(static_cast<int32_t>(expected), main->Status.AddonsFound);
    EXPECT_EQ(static_cast<int32_t>(expected), main->Status.BoostItems);
    EXPECT_TRUE(scanner->Pending.empty());
    EXPECT_EQ(1u, service_.RequestCount());
}

TEST_F(AddOnScan, ListedAddOnWithoutAnswerIsOfferedAfterTheCollection)
{
    const std::string listed = kListedLZIO;
    const std::string unlisted = atest::UniqueClsid(11);
    Register(listed, kView32, false, "Found LZIO");
    Register(unlisted, kView32, false, "Unlisted");
    StandInDown();
    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    const TqvItem* item = FoundById(*scanner, NormalizeAddOnId(listed));
    ASSERT_NE(nullptr, item);
    EXPECT_EQ(L"LZIO", item->Caption) << "the built-in list's name";
    EXPECT_TRUE(item->Listed);
    EXPECT_EQ(nullptr, FoundById(*scanner, NormalizeAddOnId(unlisted)));
    EXPECT_FALSE(FileExistsEx(cache_)) << "no answer, nothing saved";
}

TEST_F(AddOnScan, LateAnswerIsStillAppliedAndUsedByTheNextScan)
{
    const std::string listed = kListedLZIO;
    const std::string late = atest::UniqueClsid(21);
    Register(listed, kView32, false, "LZIO here");
    Register(late, kView32, false, "Late");
    service_.SetBlack(NormalizeAddOnId(late), "Late black");
    fakeservice::TBehaviour slow;
    slow.StallBeforeHeadersMs = 5000;
    service_.SetBehaviour("/client.asmx", slow);

    const DWORD start = GetTickCount();
    auto first = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*first);
    ASSERT_NE(nullptr, scanner);
    EXPECT_GE(GetTickCount() - start, 3000u) << "one sleep of 3 s";
    // Decided by the listed flags: the answer is not in yet.
    EXPECT_NE(nullptr, FoundById(*scanner, NormalizeAddOnId(listed)));
    EXPECT_EQ(nullptr, FoundById(*scanner, NormalizeAddOnId(late)));
    EXPECT_EQ(0, scanner->Verdicts->CheckDone.load());

    // A second scan while the first check still waits.
    auto second = atest::ScanAddOns();
    first.reset();
    ASSERT_TRUE(WaitForAddOnChecks(kThreadWaitMs));
    TXML xml;
    ASSERT_TRUE(xml.LoadFromFile(cache_));
    EXPECT_TRUE(xml.Complete()) << etest::ReadBytes(cache_);
    const std::string text = etest::ReadBytes(cache_);
    EXPECT_NE(std::string::npos, text.find("<addon id=\"" + NormalizeAddOnId(late) +
                                           "\" name=\"Late black\" type=\"B\" />"))
        << text;
    EXPECT_NE(std::string::npos, text.find("<addon id=\"" + NormalizeAddOnId(listed) +
                                           "\" name=\"LZIO here\" "
                                           "type=\"W\" />"))
        << text;

    service_.SetBehaviour("/client.asmx", fakeservice::TBehaviour{});
    const size_t asked = service_.RequestCount();
    auto third = atest::ScanAddOns();
    TqvItemsAddOns* next = AddOnScanner(*third);
    ASSERT_NE(nullptr, next);
    const TqvItem* black = FoundById(*next, NormalizeAddOnId(late));
    ASSERT_NE(nullptr, black) << "the saved answer decides";
    EXPECT_EQ(L"Late black", RecordOf(*black)->Name);
    EXPECT_EQ(nullptr, FoundById(*next, NormalizeAddOnId(listed))) << "cached white";
    EXPECT_EQ(asked, service_.RequestCount()) << "nothing left to ask";
}

TEST_F(AddOnScan, ExportedItemsReadBackAsAListThatSwitchesThemOff)
{
    const std::string clsid = atest::UniqueClsid(31);
    Register(clsid, kView32, false, "Tool <&\"> x");
    service_.SetBlack(NormalizeAddOnId(clsid), "Tool <&\"> x");
    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    auto* ie = dynamic_cast<TqvIExploreAddOn*>(
        const_cast<TqvItem*>(FoundById(*scanner, NormalizeAddOnId(clsid))));
    ASSERT_NE(nullptr, ie);

    atest::ProfilesFixture profiles;
    const std::string profile = profiles.Profile("kv.default");
    const std::string rdf = "<RDF:RDF>\r\n  <RDF:Description RDF:about=\"urn:mozilla:item:"
                            "o'k@kv.test\"\r\n    NS1:userDisabled=\"needs-enable\"/>\r\n"
                            "</RDF:RDF>\r\n";
    ASSERT_TRUE(etest::WriteBytes(profile + "extensions.rdf", rdf));
    TqvFirefoxAddOn ff(scanner, "o'k@kv.test", nullptr, scanner->Verdicts);
    ff.Id = "o'k@kv.test";
    ff.Name = "Fire & fox";
    ff.Path = "%FF_PROFILES%\\o'k@kv.test";
    ff.Source = "FFF";

    const std::string xml =
        "<items type=\"list\">\r\n" + ie->GetXML() + "\r\n" + ff.GetXML() + "\r\n</items>";
    const std::string settingsKey = std::string(kIEExtSettingsKey) + "\\" + clsid;
    EXPECT_NE(
        std::string::npos,
        xml.find("<reg root=\"HKCU\" key=\"" + settingsKey +
                 "\" name=\"Flags\" value=\"1\" type=\"num\" scan=\"value\" fix=\"value\" "
                 "/>\r\n<reg root=\"HKCU\" key=\"" +
                 settingsKey +
                 "\" name=\"Version\" value=\"*\" type=\"str\" scan=\"value\" "
                 "fix=\"value\" />\r\n<ieaddon id=\"" +
                 NormalizeAddOnId(clsid) +
                 "\" name=\"Tool &lt;&amp;&#34;&gt; x\" path=\"%PROGRAMFILES%\\KvAddOnTest\\kv" +
                 clsid.substr(1, 8) + ".dll\" source=\"BHO\" />"))
        << xml;
    EXPECT_NE(std::string::npos,
              xml.find("<ffaddon ffid=\"o'k@kv.test\" id=\"o'k@kv.test\" name=\"Fire &amp; fox\" "
                       "path=\"%FF_PROFILES%\\o'k@kv.test\" source=\"FFF\" />"))
        << xml;

    TXML doc;
    doc.LoadFromString(xml);
    TqvMain root;
    TqvItemsList list(&root);
    list.LoadFromXML(TXMLTag::FindPath(doc.Root(), {"items"}));
    ASSERT_EQ(4u, list.Items.size());
    auto* flags = dynamic_cast<TqvRegItem*>(list.Items[0].get());
    auto* version = dynamic_cast<TqvRegItem*>(list.Items[1].get());
    auto* readIE = dynamic_cast<TqvIExploreAddOn*>(list.Items[2].get());
    auto* readFF = dynamic_cast<TqvFirefoxAddOn*>(list.Items[3].get());
    ASSERT_TRUE(flags && version && readIE && readFF);
    EXPECT_EQ(L"Tool <&\"> x", readIE->Caption);
    EXPECT_EQ("", readIE->Clsid);
    EXPECT_EQ(L"Fire & fox", readFF->Caption);
    EXPECT_EQ("o'k@kv.test", readFF->FirefoxId);
    EXPECT_EQ(list.AddOnItems, readIE->Verdicts);

    const std::string key = std::string(kIEExtSettingsKey) + "\\" + clsid;
    reg_.Key(HKEY_CURRENT_USER, key, kView32); // made here, so removed at the end
    atest::DeleteKeyTree(HKEY_CURRENT_USER, key, kView32);
    list.Scan();
    EXPECT_TRUE(flags->Found && version->Found) << "the switch-off is missing";
    const size_t asked = service_.RequestCount();
    list.Clean();
    EXPECT_EQ(1u, RegReadDWord(HKEY_CURRENT_USER, key, "Flags"));
    std::string star;
    EXPECT_TRUE(RegReadString(HKEY_CURRENT_USER, key, "Version", star));
    EXPECT_EQ("*", star);
    const std::string after = etest::ReadBytes(profile + "extensions.rdf");
    EXPECT_NE(std::string::npos, after.find("NS1:userDisabled=\"true\"")) << after;
    EXPECT_EQ(std::string::npos, after.find("needs-enable")) << after;
    ASSERT_TRUE(WaitForAddOnChecks(kThreadWaitMs));
    ASSERT_EQ(asked + 1, service_.RequestCount());
    const std::string report = service_.Requests().back().Body;
    EXPECT_NE(std::string::npos, report.find("<callType>1</callType>"));
    EXPECT_NE(std::string::npos, report.find("<BHO_ID>" + NormalizeAddOnId(clsid) + "</BHO_ID>"));
    EXPECT_NE(std::string::npos, report.find("<BHO_ID>o'k@kv.test</BHO_ID>"));
}

// Internet Explorer 6: "Version" 6.0.2900.5512 in both views for the test.
class AddOnScanIE6 : public AddOnScan {
protected:
    void SetUp() override
    {
        AddOnScan::SetUp();
        ASSERT_TRUE(ieVersion_.Set("6.0.2900.5512", Views()));
    }
    void TearDown() override
    {
        ieVersion_.Restore();
        AddOnScan::TearDown();
    }
    std::vector<REGSAM> Views() const
    {
        return win64_ ? std::vector<REGSAM>{kView32, kView64} : std::vector<REGSAM>{kView32};
    }
    atest::IEVersionScope ieVersion_;
};

TEST_F(AddOnScanIE6, BlackAddOnsBecomeRegistryItemsThatDeleteTheirRegistration)
{
    const std::string cachedBho = atest::UniqueClsid(41);
    const std::string cachedBar = atest::UniqueClsid(42);
    const std::string answered = atest::UniqueClsid(43);
    Register(cachedBho, kView32, false, "Old BHO");
    Register(cachedBar, kView32, true, "Old bar");
    Register(answered, kView32, false, "Answered");
    SwitchedOff(cachedBho); // IE 6 knows no switch: still offered
    Cache("  <addon id=\"" + NormalizeAddOnId(cachedBho) + "\" name=\"b\" type=\"B\" />\r\n" +
          "  <addon id=\"" + NormalizeAddOnId(cachedBar) + "\" name=\"t\" type=\"B\" />\r\n");
    service_.SetBlack(NormalizeAddOnId(answered), "");

    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    EXPECT_EQ(6, scanner->IEMajorVersion);
    auto* bho = dynamic_cast<TqvRegItem*>(
        const_cast<TqvItem*>(FoundById(*scanner, NormalizeAddOnId(cachedBho))));
    auto* bar = dynamic_cast<TqvRegItem*>(
        const_cast<TqvItem*>(FoundById(*scanner, NormalizeAddOnId(cachedBar))));
    auto* pending = dynamic_cast<TqvIExploreAddOn*>(
        const_cast<TqvItem*>(FoundById(*scanner, NormalizeAddOnId(answered))));
    ASSERT_TRUE(bho && bar && pending);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, bho->Root);
    EXPECT_EQ(std::string(kIEBHOKey) + "\\" + cachedBho, bho->Key);
    EXPECT_EQ("", bho->Name);
    EXPECT_EQ(kRegFixDel, bho->FixKind);
    EXPECT_EQ(std::string(kIEToolbarKey), bar->Key);
    EXPECT_EQ(cachedBar, bar->Name) << "only the toolbar's value";
    ASSERT_NE(nullptr, pending->Replacement);
    EXPECT_EQ(std::string(kIEBHOKey) + "\\" + answered, pending->Replacement->Key);

    // The repair, with the backup recorded first.
    etest::FakeBackupWriter writer;
    main->BackupWriter = &writer;
    main->Clean(kCategoryBoost);
    const std::string bhoKey = std::string(kIEBHOKey) + "\\";
    EXPECT_NE(std::find(writer.calls.begin(), writer.calls.end(), "key " + bhoKey + cachedBho),
              writer.calls.end())
        << ::testing::PrintToString(writer.calls);
    EXPECT_NE(std::find(writer.calls.begin(), writer.calls.end(), "key " + bhoKey + answered),
              writer.calls.end())
        << "the replacement's backup";
    EXPECT_NE(std::find(writer.calls.begin(), writer.calls.end(),
                        "value " + std::string(kIEToolbarKey) + "\\#" + cachedBar),
              writer.calls.end());
    EXPECT_FALSE(atest::KeyExists(HKEY_LOCAL_MACHINE, bhoKey + cachedBho, kView32));
    EXPECT_FALSE(atest::KeyExists(HKEY_LOCAL_MACHINE, bhoKey + answered, kView32));
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, kIEToolbarKey, cachedBar));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kIEToolbarKey)) << "the toolbar key stays";
}

TEST_F(AddOnScan, SwitchOffOnIE7IsBackedUpAsTheKeyItCreates)
{
    const std::string clsid = atest::UniqueClsid(51);
    Register(clsid, kView32, false, "To switch off");
    Cache("  <addon id=\"" + NormalizeAddOnId(clsid) + "\" name=\"b\" type=\"B\" />\r\n");
    auto main = atest::ScanAddOns();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    ASSERT_NE(nullptr, scanner);
    ASSERT_EQ(1u, scanner->Items.size());
    etest::FakeBackupWriter writer;
    main->BackupWriter = &writer;
    const std::string key = std::string(kIEExtSettingsKey) + "\\" + clsid;
    reg_.Key(HKEY_CURRENT_USER, key, kView32);
    atest::DeleteKeyTree(HKEY_CURRENT_USER, key, kView32);
    main->Clean(kCategoryBoost);
    EXPECT_NE(std::find(writer.calls.begin(), writer.calls.end(), "key " + key), writer.calls.end())
        << "one missing-key record: " << ::testing::PrintToString(writer.calls);
    EXPECT_EQ(1u, RegReadDWord(HKEY_CURRENT_USER, key, "Flags"));
    EXPECT_TRUE(IsIEAddOnDisabled(clsid));
    ASSERT_TRUE(WaitForAddOnChecks(kThreadWaitMs));
    ASSERT_EQ(1u, service_.RequestCount()) << "the report of what was switched off";
    const std::string report = service_.Requests()[0].Body;
    EXPECT_NE(std::string::npos, report.find("<callType>1</callType>"));
    EXPECT_NE(std::string::npos, report.find("<BHO_ID>" + NormalizeAddOnId(clsid) + "</BHO_ID>"));

    // Already off and black: not offered.
    auto again = atest::ScanAddOns();
    ASSERT_NE(nullptr, AddOnScanner(*again));
    EXPECT_TRUE(AddOnScanner(*again)->Items.empty());

    // Switched on again by the user: the key exists, so its two values are
    // what the backup records.
    ASSERT_TRUE(RegWriteDWord(HKEY_CURRENT_USER, key, "Flags", 0));
    auto third = atest::ScanAddOns();
    ASSERT_NE(nullptr, AddOnScanner(*third));
    ASSERT_EQ(1u, AddOnScanner(*third)->Items.size());
    etest::FakeBackupWriter values;
    third->BackupWriter = &values;
    third->Clean(kCategoryBoost);
    ASSERT_GE(values.calls.size(), 3u);
    EXPECT_EQ((std::vector<std::string>{"begin 2", "value " + key + "\\#Flags",
                                        "value " + key + "\\#Version"}),
              std::vector<std::string>(values.calls.begin(), values.calls.begin() + 3));
    EXPECT_TRUE(IsIEAddOnDisabled(clsid));
}

} // namespace
