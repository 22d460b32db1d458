// The scan model: loading catalogue texts, the walks of a scan and a repair,
// and the progress arithmetic, with fake scanners and an injected clock.

#include "EngineTest.h"

#include "engine/qvAddOns.h"
#include "engine/qvClasses.h"
#include "engine/qvExceptions.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace {

// ---------------------------------------------------------------------------
// Loading

std::string Catalogue(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Quorvex ver=\"9.8\">\r\n" + body +
           "</Quorvex>\r\n";
}

std::vector<std::string> GroupIds(const TqvCategory* category)
{
    std::vector<std::string> ids;
    if (category)
        for (const auto& g : category->Groups)
            ids.push_back(g->Id);
    return ids;
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override { ResetExceptionsForTests(); }
    void TearDown() override { ResetExceptionsForTests(); }
};

TEST_F(LoaderTest, GroupAttributesAndTheirDefaults)
{
    TqvMain main;
    main.LoadDataFromText(Catalogue(
        "<fix><group id=\"a\" order=\"x7\" progsize=\"big\" settings=\"yes\" showdetails=\"1\">"
        "<items type=\"CLSID\"/></group>"
        "<group id=\"b\" order=\"$10\" progsize=\"0\" settings=\"1\"><items type=\"list\"/></group>"
        "</fix>"));
    EXPECT_EQ("9.8", main.Version);
    ASSERT_EQ((std::vector<std::string>{"a", "b"}), GroupIds(main.FixCategory.get()));
    const TqvGroup& a = *main.FixCategory->Groups[0];
    EXPECT_EQ(0, a.Order);
    EXPECT_EQ(10, a.ProgSize);
    EXPECT_FALSE(a.HasSettings); // only "1" is on
    EXPECT_TRUE(a.ShowDetails);
    EXPECT_TRUE(a.Enabled);
    EXPECT_TRUE(a.Checked);
    EXPECT_EQ("clsid", a.ItemsType);
    const TqvGroup& b = *main.FixCategory->Groups[1];
    EXPECT_EQ(16, b.Order);
    EXPECT_EQ(0, b.ProgSize);
    EXPECT_TRUE(b.HasSettings);
    EXPECT_EQ(nullptr, main.BoostCategory);
    EXPECT_EQ(nullptr, main.CleanCategory);
}

TEST_F(LoaderTest, GroupsWithoutKnownScannerAreDroppedAndTheFirstKnownItemsWins)
{
    TqvMain main;
    main.LoadDataFromText(
        Catalogue("<boost><group id=\"unknown\"><items type=\"nosuch\"/></group>"
                  "<group id=\"none\"/>"
                  "<group id=\"second\"><items type=\"nosuch\"/><items type=\"memory\"/>"
                  "<items type=\"list\"/></group></boost>"));
    ASSERT_EQ((std::vector<std::string>{"second"}), GroupIds(main.BoostCategory.get()));
    EXPECT_EQ("memory", main.BoostCategory->Groups[0]->ItemsType);
}

TEST_F(LoaderTest, OrderIsStableAndSecondCategoryElementAddsToTheFirst)
{
    TqvMain main;
    main.LoadDataFromText(
        Catalogue("<fix><group id=\"g5\" order=\"5\"><items type=\"list\"/></group>"
                  "<group id=\"g3a\" order=\"3\"><items type=\"list\"/></group>"
                  "<group id=\"g3b\" order=\"3\"><items type=\"list\"/></group></fix>"
                  "<clean/><FIX><group id=\"g0\"><items type=\"list\"/></group>"
                  "<group id=\"g3c\" order=\"3\"><items type=\"list\"/></group>"
                  "<group id=\"g9\" order=\"9\"><items type=\"list\"/></group></FIX>"));
    EXPECT_EQ((std::vector<std::string>{"g0", "g3a", "g3b", "g3c", "g5", "g9"}),
              GroupIds(main.FixCategory.get()));
    ASSERT_NE(nullptr, main.CleanCategory);
    EXPECT_TRUE(main.CleanCategory->Groups.empty());
}

TEST_F(LoaderTest, IsGroupAllowedFiltersGroups)
{
    struct Main : TqvMain {
        bool IsGroupAllowed(const std::string& id) override { return id != "no"; }
    } main;
    main.LoadDataFromText(Catalogue("<fix><group id=\"no\"><items type=\"list\"/></group>"
                                    "<group id=\"yes\"><items type=\"list\"/></group></fix>"));
    EXPECT_EQ((std::vector<std::string>{"yes"}), GroupIds(main.FixCategory.get()));
}

TEST_F(LoaderTest, ByteOrderMarkIsDroppedAndNoRootGivesAnEmptyModel)
{
    TqvMain withBom;
    withBom.LoadDataFromText(
        "\xEF\xBB\xBF" +
        Catalogue("<clean><group id=\"c\"><items type=\"list\"/></group></clean>") +
        std::string("\r\n\0\0", 4));
    EXPECT_EQ((std::vector<std::string>{"c"}), GroupIds(withBom.CleanCategory.get()));

    const std::string texts[] = {"", "<other ver=\"1\"><fix/></other>", "garbage <<<",
                                 std::string("\0<Quorvex ver=\"1\"/>", 19)};
    for (const std::string& text : texts) {
        TqvMain empty;
        empty.LoadDataFromText(text);
        EXPECT_EQ("", empty.Version) << text;
        EXPECT_EQ(nullptr, empty.FixCategory);
        empty.ScanAll();
        empty.Clean(0);
        EXPECT_EQ(0, empty.Status.FixErrors);
    }
}

TEST_F(LoaderTest, ExceptionsCreateTheIgnoreListOnceAndLaterLoadsAddToIt)
{
    EXPECT_EQ(nullptr, Exceptions());
    TqvMain first;
    first.LoadDataFromText(Catalogue("<exceptions><file path=\"C:\\A.txt\"/></exceptions>"));
    TqvExceptions* list = Exceptions();
    ASSERT_NE(nullptr, list);
    TqvMain second;
    second.LoadDataFromText(Catalogue("<exceptions><file path=\"C:\\B.txt\"/></exceptions>"));
    EXPECT_EQ(list, Exceptions());
    EXPECT_EQ(2, list->Files.Count());
}

TEST_F(LoaderTest, CaptionsPerLanguage)
{
    TqvMain main;
    main.LoadDataFromText(
        Catalogue("<fix><caption>Cat</caption><group id=\"g\"><caption>First</caption>"
                  "<caption lng=\"CS\">Prvn\xC3\xAD</caption><caption lng=\"en\">Second</caption>"
                  "<hint lng=\"pt\">Dica</hint><items type=\"list\"/></group></fix>"));
    const TqvGroup& g = *main.FixCategory->Groups[0];
    EXPECT_EQ((std::vector<std::wstring>{L"en=Second", L"cs=Prvn\u00ED"}), *g.Captions());
    EXPECT_EQ(nullptr, g.SettingsCaptions());
    EXPECT_EQ((std::vector<std::wstring>{L"pt=Dica"}), *g.Hints());
    {
        etest::LanguageScope cs(L"cs-CZ");
        EXPECT_EQ(L"Prvn\u00ED", g.GetCaption());
        EXPECT_EQ(L"", g.GetHint()); // no "cs" and no "en" hint
    }
    etest::LanguageScope de(L"de");
    EXPECT_EQ(L"Second", g.GetCaption());
    EXPECT_EQ(L"Cat", main.FixCategory->GetCaption());
}

// One "reg" row per case: kept or dropped by the list, and what it reads.
TEST_F(LoaderTest, RegistryItemsOfAList)
{
    struct Case {
        const char* attributes;
        bool kept;
        const char* key = "";
        const char* name = "";
        const char* value = "";
    };
    const Case cases[] = {
        {"root=\"hklm\" key=\"K\" name=\"N\" value=\"$0000FA00\" type=\"num\" scan=\"value\" "
         "fix=\"value\"",
         true, "K", "N", "$0000FA00"},
        {"root=\"HKLM\" key=\"K\" value=\"4294967295\" type=\"NUM\" scan=\"exists\" fix=\"value\"",
         true, "K", "", "4294967295"},
        {"root=\"HKLM\" key=\"K\" value=\"-1\" type=\"num\" scan=\"value\" fix=\"value\"", false},
        {"root=\"HKLM\" key=\"K\" value=\"4294967296\" type=\"num\" scan=\"value\" fix=\"value\"",
         false},
        {"root=\"HKLM\" key=\"K\" value=\"ten\" type=\"num\" scan=\"value\" fix=\"value\"", false},
        {"root=\"HKLM\" key=\"K\" value=\"ABC\" type=\"bin\" scan=\"value\" fix=\"value\"", false},
        {"root=\"HKLM\" key=\"K\" value=\"AB0C\" type=\"bin\" scan=\"value\" fix=\"value\"", true,
         "K", "", "AB0C"},
        {"root=\"HKEY_LOCAL_MACHINE\" key=\"K\" scan=\"value\" fix=\"del\"", false},
        {"root=\"HKLM\" key=\"\" scan=\"value\" fix=\"del\"", false},
        {"root=\"HKLM\" key=\"K\" fix=\"del\"", false},
        {"root=\"HKLM\" key=\"K\" scan=\"value\"", false},
        {"root=\"HKLM\" key=\"K\" scan=\"look\" fix=\"del\"", false},
        {"root=\"HKLM\" key=\"K\" scan=\"value\" fix=\"write\"", false},
        {"root=\"HKCU\" key=\"A#41#5Cb\" name=\"x#zzy\" value=\"#3C#3e#22#26\" type=\"str\" "
         "scan=\"value\" fix=\"value\"",
         true, "AA\\b", "xy", "<>\"&"},
        {"root=\"HKU\" key=\"K#4\" name=\"n#\" type=\"exstr\" scan=\"backup\" fix=\"del\"", true,
         "K\x04", "n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attributes);
        TqvMain main;
        main.LoadDataFromText(Catalogue(std::string("<boost><group id=\"g\"><items type=\"list\">"
                                                    "<reg ") +
                                        c.attributes + " /></items></group></boost>"));
        const auto& items = main.BoostCategory->Groups[0]->Scanner->Items;
        ASSERT_EQ(c.kept ? 1u : 0u, items.size());
        if (!c.kept)
            continue;
        const auto& reg = static_cast<const TqvRegItem&>(*items[0]);
        EXPECT_EQ(c.key, reg.Key);
        EXPECT_EQ(c.name, reg.Name);
        EXPECT_EQ(c.value, reg.Value);
    }
}

TEST_F(LoaderTest, FileItemsOfAListAndOtherChildren)
{
    TqvMain main;
    main.LoadDataFromText(
        Catalogue("<clean><group id=\"g\"><items type=\"list\">"
                  "<file path=\"%WINDIR%\\*.log\" scan=\"EXISTS\" fix=\"Del\" is64=\"1\"/>"
                  "<file path=\"\" scan=\"exists\" fix=\"clean\"/>"
                  "<file path=\"C:\\x\" fix=\"clean\"/>"
                  "<file path=\"C:\\x\" scan=\"exists\" fix=\"wipe\"/>"
                  "<ieaddon id=\"{1}\"/><ffaddon id=\"x@y\"/><ieaddon name=\"no id\"/><comment/>"
                  "</items></group></clean>"));
    const auto& items = main.CleanCategory->Groups[0]->Scanner->Items;
    ASSERT_EQ(3u, items.size());
    const auto& file = static_cast<const TqvFileItem&>(*items[0]);
    EXPECT_EQ("%WINDIR%\\*.log", file.Path);
    EXPECT_EQ(kFileScanExists, file.ScanKind);
    EXPECT_EQ(kFileFixDel, file.FixKind);
    EXPECT_TRUE(file.Is64);
    // Add-on items with their id, found and selected, sharing the list's verdicts.
    const auto* ie = dynamic_cast<const TqvIExploreAddOn*>(items[1].get());
    const auto* ff = dynamic_cast<const TqvFirefoxAddOn*>(items[2].get());
    ASSERT_TRUE(ie && ff);
    EXPECT_EQ("{1}", ie->Id);
    EXPECT_EQ("x@y", ff->Id);
    EXPECT_TRUE(ie->Found && ie->Selected && ff->Found && ff->Selected);
    const auto* list =
        static_cast<const TqvItemsList*>(main.CleanCategory->Groups[0]->Scanner.get());
    EXPECT_TRUE(list->AddOnItems && ie->Verdicts == list->AddOnItems &&
                ff->Verdicts == list->AddOnItems);
}

TEST(ItemsTypes, TheFourteenTypesMakeTheirScanners)
{
    const char* const types[] = {"list",          "clsid",      "interface",   "typelib",
                                 "uninstall",     "shared-dll", "muicache",    "app-paths",
                                 "missing-files", "startup",    "recycle-bin", "memory",
                                 "delay-startup", "addons"};
    ASSERT_EQ(std::size(types), ItemsTypes().size());
    TqvMain main;
    for (size_t i = 0; i < std::size(types); ++i) {
        EXPECT_STREQ(types[i], ItemsTypes()[i].Type);
        auto scanner = CreateScanner(UpperCase(types[i]), &main);
        ASSERT_NE(nullptr, scanner) << types[i];
        EXPECT_EQ(&main, scanner->Owner);
        scanner->Scan();
        EXPECT_EQ(0, scanner->FoundCount()) << types[i];
    }
    EXPECT_NE(nullptr, dynamic_cast<TqvItemsList*>(CreateScanner("list", &main).get()));
    EXPECT_EQ(nullptr, CreateScanner("lists", &main));
}

// ---------------------------------------------------------------------------
// The walks, with fake scanners and a clock the test moves

DWORD gTick = 0;
DWORD FakeTick()
{
    return gTick;
}

class FakeItem : public TqvItem {
public:
    using TqvItem::TqvItem;
    int fixes = 0, backups = 0;
    bool throwOnBackup = false;
    void LoadFromXML(TXMLTag*) override {}
    void Check() override {}
    bool Backup() override
    {
        ++backups;
        if (throwOnBackup)
            throw std::runtime_error("backup failed");
        return true;
    }
    bool Fix() override
    {
        ++fixes;
        if (onFix)
            onFix();
        return true;
    }
    std::function<void()> onFix;
};

class FakeScanner : public TqvItems {
public:
    using TqvItems::TqvItems;
    std::function<void(FakeScanner&)> onScan;
    int scans = 0, cleans = 0;
    int found = -1; // >= 0: FoundCount answers this
    int64_t size = 0;
    void Scan() override
    {
        ++scans;
        if (onScan)
            onScan(*this);
    }
    void Clean() override { ++cleans; }
    int FoundCount() const override { return found >= 0 ? found : TqvItems::FoundCount(); }
    int64_t FoundSize() const override { return size ? size : TqvItems::FoundSize(); }
};

struct Record {
    uint8_t phase;
    uint8_t category;
    int32_t position;
    int32_t maximum;
};

class WalkTest : public ::testing::Test {
public:
    void SetUp() override
    {
        gTick = 100000;
        main.TickSource = &FakeTick;
        main.BackupWriter = &writer;
        main.OnProgress = [this](const TqvUIStatus& s) {
            records.push_back({s.Phase, s.Category, s.Position, s.Maximum});
            last = s;
            return answer();
        };
    }

    FakeScanner* AddGroup(uint8_t category, const std::string& id, int progsize = 10)
    {
        std::unique_ptr<TqvCategory>& c = category == 1   ? main.FixCategory
                                          : category == 2 ? main.BoostCategory
                                                          : main.CleanCategory;
        if (!c)
            c = std::make_unique<TqvCategory>(&main);
        auto g = std::make_unique<TqvGroup>(&main);
        g->Id = id;
        g->ProgSize = progsize;
        auto scanner = std::make_unique<FakeScanner>(&main);
        FakeScanner* raw = scanner.get();
        g->Scanner = std::move(scanner);
        c->Groups.push_back(std::move(g));
        return raw;
    }
    std::vector<int32_t> Positions() const
    {
        std::vector<int32_t> p;
        for (const Record& r : records)
            p.push_back(r.position);
        return p;
    }

    TqvMain main;
    etest::FakeBackupWriter writer;
    std::vector<Record> records;
    TqvUIStatus last;
    std::function<bool()> answer = [] { return true; };
};

TEST_F(WalkTest, ProgressIsThrottledOnTheTickSourceAcrossTheWrap)
{
    ASSERT_TRUE(main.Progress(true));
    ASSERT_EQ(1u, records.size());
    gTick += 499;
    main.Progress(false);
    EXPECT_EQ(1u, records.size());
    gTick += 1;
    main.Progress(false);
    EXPECT_EQ(2u, records.size());

    main.LastReportTime = 0xFFFFFF00u;
    gTick = 0xF3; // 499 ms after, past the wrap
    main.Progress(false);
    EXPECT_EQ(2u, records.size());
    gTick = 0xF4;
    main.Progress(false);
    EXPECT_EQ(3u, records.size());
    EXPECT_EQ(0xF4u, main.LastReportTime);
}

TEST_F(WalkTest, ProgressAnswer)
{
    // Without OnProgress the answer is "not aborted"; with it, its own answer.
    main.OnProgress = nullptr;
    EXPECT_TRUE(main.Progress(true));
    main.Aborted = true;
    EXPECT_FALSE(main.Progress(true));
    EXPECT_FALSE(main.Progress(false));
    main.OnProgress = [](const TqvUIStatus&) { return true; };
    EXPECT_TRUE(main.Progress(true));
    // Throttled calls answer from the aborted flag without asking.
    EXPECT_FALSE(main.Progress(false));
    main.Aborted = false;
    main.OnProgress = [](const TqvUIStatus&) { return false; };
    EXPECT_FALSE(main.Progress(true));
    EXPECT_TRUE(main.Progress(false));
}

TEST_F(WalkTest, OnlyTheScanPhaseRecomputesThePosition)
{
    FakeScanner* s = AddGroup(1, "a", 4);
    main.FixCategory->FinishedUnits = 6;
    main.FixCategory->CurrentGroup = 0;
    s->Position = 1;
    s->Maximum = 2;
    main.Status.Category = 1;
    main.Status.Position = 99;
    main.Status.Phase = kPhaseClean;
    main.Progress(true);
    EXPECT_EQ(99, records.back().position);
    main.Status.Phase = kPhaseScan;
    main.Progress(true);
    EXPECT_EQ(8, records.back().position);
}

TEST_F(WalkTest, ProgressFractionAndPositionRoundHalfToEven)
{
    FakeScanner* s = AddGroup(1, "a", 1);
    TqvCategory& c = *main.FixCategory;
    s->Maximum = 0;
    s->Position = 3;
    s->SubPosition = 1;
    EXPECT_EQ(1.0, s->ProgressFraction());
    EXPECT_EQ(0, s->Position);
    EXPECT_EQ(0, s->SubPosition);
    s->Maximum = 2;
    s->Position = 2;
    EXPECT_EQ(1.0, s->ProgressFraction());
    EXPECT_EQ(0, s->Position);
    s->Maximum = 4;
    s->Position = 1;
    s->SubPosition = 1;
    s->SubMaximum = 2;
    EXPECT_DOUBLE_EQ(0.375, s->ProgressFraction());
    s->SubMaximum = 0;
    EXPECT_DOUBLE_EQ(0.25, s->ProgressFraction());

    struct Case {
        int finished;
        int position;
        int maximum;
        int expected;
    };
    for (const Case& k : {Case{2, 1, 2, 2}, Case{3, 1, 2, 4}, Case{3, 3, 4, 4}, Case{3, 1, 4, 3}}) {
        c.FinishedUnits = k.finished;
        c.CurrentGroup = 0;
        s->Position = k.position;
        s->Maximum = k.maximum;
        s->SubMaximum = 0;
        EXPECT_EQ(k.expected, c.ProgressPosition())
            << k.finished << "+" << k.position << "/" << k.maximum;
    }
    c.CurrentGroup = -1;
    EXPECT_EQ(3, c.ProgressPosition());
}

TEST_F(WalkTest, StepsOfAScanner)
{
    FakeScanner* s = AddGroup(1, "a");
    s->Maximum = 2;
    s->SubPosition = 3;
    s->SubMaximum = 5;
    s->StepProgress();
    EXPECT_EQ(1, s->Position);
    EXPECT_EQ(0, s->SubPosition);
    EXPECT_EQ(0, s->SubMaximum);
    s->StepProgress();
    s->StepProgress();
    EXPECT_EQ(2, s->Position);
    s->SubMaximum = 2;
    s->StepSubProgress();
    s->StepSubProgress();
    s->StepSubProgress();
    EXPECT_EQ(2, s->SubPosition);
}

TEST_F(WalkTest, ScanWalksCategoriesAndGroupsAndKeepsTheCounts)
{
    main.ResetStatus = false;
    std::vector<std::string> order;
    auto record = [&](const char* id, int found, int64_t size) {
        return [&order, id, found, size](FakeScanner& s) {
            order.push_back(id);
            s.found = found;
            s.size = size;
            s.Position = s.Maximum;
        };
    };
    AddGroup(1, "f1", 30)->onScan = record("f1", 2, 0);
    AddGroup(1, "f2", 20)->onScan = record("f2", 3, 0);
    FakeScanner* off = AddGroup(1, "off", 1000);
    main.FixCategory->Groups[2]->Enabled = false;
    AddGroup(2, "b1", 5)->onScan = record("b1", 4, 0);
    AddGroup(3, "c1", 7)->onScan = record("c1", 1, 700);
    AddGroup(3, "c2", 8)->onScan = record("c2", 1, 50);

    main.ScanAll();
    EXPECT_EQ((std::vector<std::string>{"f1", "f2", "b1", "c1", "c2"}), order);
    EXPECT_EQ(0, off->scans);
    EXPECT_EQ(5, main.Status.FixErrors);
    EXPECT_EQ(4, main.Status.BoostItems);
    EXPECT_EQ(750, main.Status.CleanBytes);
    EXPECT_EQ(-1, main.FixCategory->CurrentGroup);
    EXPECT_EQ(50, main.FixCategory->FinishedUnits);
    // Each category: before and after every enabled group, then its closing
    // report at the maximum; then the final report.
    ASSERT_EQ(5u + 3 + 5 + 1, records.size());
    EXPECT_EQ(50, records[0].maximum);
    EXPECT_EQ(30, records[1].position);
    EXPECT_EQ(30, records[2].position);
    EXPECT_EQ(50, records[3].position);
    EXPECT_EQ(50, records[4].position);
    EXPECT_EQ(5, records[5].maximum);
    EXPECT_EQ(2, records[5].category);
    EXPECT_EQ(15, records[8].maximum);
    EXPECT_EQ(3, records.back().category);

    // A root is scanned once.
    main.ScanAll();
    EXPECT_EQ(5u, order.size());
}

TEST_F(WalkTest, ScanEndsWithAClearedRecord)
{
    AddGroup(1, "f1")->onScan = [](FakeScanner& s) { s.found = 1; };
    main.Status.MemoryFigure = 50;
    main.ScanAll();
    EXPECT_EQ(0, last.Phase);
    EXPECT_EQ(0, last.Category);
    EXPECT_EQ(0, last.FixErrors);
    EXPECT_EQ(-1, last.MemoryFigure);
    EXPECT_EQ(1, main.FixCategory->FoundCount());
}

TEST_F(WalkTest, AFalseAnswerStopsTheScanButTheCountsAndTheClosingReportStay)
{
    main.ResetStatus = false;
    FakeScanner* first = AddGroup(1, "f1", 10);
    first->onScan = [](FakeScanner& s) { s.found = 2; };
    FakeScanner* second = AddGroup(1, "f2", 10);
    int calls = 0;
    answer = [&calls] { return ++calls < 2; }; // "stop" right after the first group
    main.ScanAll();
    EXPECT_EQ(1, first->scans);
    EXPECT_EQ(0, second->scans);
    EXPECT_EQ(2, main.Status.FixErrors);
    ASSERT_GE(records.size(), 3u);
    // The closing report of the category after the stop.
    EXPECT_EQ(1, records[2].phase);
    EXPECT_EQ(-1, main.FixCategory->CurrentGroup);
}

TEST_F(WalkTest, AThrowingScannerIsFollowedByTheNextGroup)
{
    main.ResetStatus = false;
    AddGroup(1, "bad")->onScan = [](FakeScanner&) { throw std::runtime_error("broken"); };
    FakeScanner* good = AddGroup(1, "good");
    good->onScan = [](FakeScanner& s) { s.found = 1; };
    AddGroup(2, "boost")->onScan = [](FakeScanner&) { throw 42; };
    FakeScanner* clean = AddGroup(3, "clean");
    main.ScanAll();
    EXPECT_EQ(1, good->scans);
    EXPECT_EQ(1, clean->scans);
    EXPECT_EQ(1, main.Status.FixErrors);
}

TEST_F(WalkTest, AddFoundAndTheCountsOfEveryLevel)
{
    FakeScanner* s = AddGroup(1, "a");
    auto item = [&](bool found, bool selected, int64_t size) {
        auto i = std::make_unique<FakeItem>(s);
        i->Found = found;
        i->Selected = selected;
        i->Size = size;
        s->Add(std::move(i));
    };
    item(true, true, 10);
    item(true, false, 20);
    item(false, true, 40);
    EXPECT_EQ(2, s->FoundCount());
    EXPECT_EQ(30, s->FoundSize());
    EXPECT_EQ(1, s->SelectedCount());
    EXPECT_EQ(10, s->SelectedSize());
    TqvGroup& g = *main.FixCategory->Groups[0];
    EXPECT_EQ(10, g.SelectedSize());
    g.Checked = false;
    EXPECT_EQ(0, g.SelectedSize());
    EXPECT_EQ(1, g.SelectedCount());
    EXPECT_EQ(30, main.FixCategory->FoundSize());
    TqvGroup bare(&main);
    EXPECT_EQ(0, bare.FoundCount());
    EXPECT_EQ(0, bare.FoundSize());
    EXPECT_EQ(0, bare.SelectedCount());

    main.Status.Category = 2;
    main.AddFound(3);
    main.AddFound(2, 1);
    main.AddFound(7, 3);
    EXPECT_EQ(2, main.Status.FixErrors);
    EXPECT_EQ(3, main.Status.BoostItems);
    EXPECT_EQ(0, main.Status.CleanBytes);
}

TEST_F(WalkTest, RepairWithABackupCountsTwoSlotsPerGroup)
{
    FakeScanner* a = AddGroup(1, "a");
    FakeScanner* b = AddGroup(1, "b");
    FakeScanner* none = AddGroup(1, "none");
    a->found = 1;
    b->found = 2;
    none->found = 0;
    main.Clean(1);
    EXPECT_EQ((std::vector<int32_t>{0, 0, 1, 2, 2, 2, 3, 5, 5}), Positions());
    EXPECT_EQ(5, records.back().maximum);
    EXPECT_EQ(2, records[0].phase);
    EXPECT_EQ(3, records[4].phase);
    EXPECT_EQ(1, a->cleans);
    EXPECT_EQ(1, b->cleans);
    EXPECT_EQ(0, none->cleans);
    EXPECT_EQ((std::vector<std::string>{"begin 1", "end", "end"}), writer.calls);
    EXPECT_FALSE(main.BackupFailed(1));
}

TEST_F(WalkTest, RepairWithoutFindingsOrBackupEndsAtOneOfOne)
{
    AddGroup(1, "a")->found = 0;
    main.MakeBackup = false;
    main.Clean(1);
    EXPECT_TRUE(writer.calls.empty());
    ASSERT_FALSE(records.empty());
    for (const Record& r : records)
        EXPECT_NE(2, r.phase);
    EXPECT_EQ(1, records.back().position);
    EXPECT_EQ(1, records.back().maximum);
}

TEST_F(WalkTest, WithoutBackupTheGroupsCountOneSlotEach)
{
    AddGroup(2, "a")->found = 1;
    FakeScanner* unchecked = AddGroup(2, "b");
    unchecked->found = 1;
    main.BoostCategory->Groups[1]->Checked = false;
    AddGroup(2, "c")->found = 1;
    main.MakeBackup = false;
    main.Clean(2);
    EXPECT_EQ((std::vector<int32_t>{0, 1, 2, 3, 3}), Positions());
    EXPECT_EQ(3, records.back().maximum);
    EXPECT_EQ(0, unchecked->cleans);
}

TEST_F(WalkTest, AFalseAnswerEndsTheRepairAtOnce)
{
    FakeScanner* a = AddGroup(1, "a");
    a->found = 1;
    int calls = 0;
    answer = [&calls] { return ++calls < 2; };
    main.Clean(1);
    EXPECT_EQ(2u, records.size());
    EXPECT_EQ(0, a->cleans);
    // The backup left open by the stop is closed.
    EXPECT_EQ((std::vector<std::string>{"begin 1", "end"}), writer.calls);
}

TEST_F(WalkTest, AFailedBackupRepairsNothingOfTheCategory)
{
    struct Case {
        const char* name;
        std::function<void(WalkTest&, FakeScanner&)> arrange;
    };
    const Case cases[] = {
        {"EndBackup fails", [](WalkTest& t, FakeScanner&) { t.writer.endResult = false; }},
        {"a group's backup raises",
         [](WalkTest&, FakeScanner& s) {
             auto item = std::make_unique<FakeItem>(&s);
             item->Found = item->Selected = true;
             item->throwOnBackup = true;
             s.Add(std::move(item));
         }},
        {"no writer", [](WalkTest& t, FakeScanner&) { t.main.BackupWriter = nullptr; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        main.FixCategory.reset();
        main.BackupWriter = &writer;
        writer = etest::FakeBackupWriter();
        records.clear();
        FakeScanner* s = AddGroup(1, "a");
        s->found = 1;
        FakeScanner* other = AddGroup(1, "b");
        other->found = 1;
        c.arrange(*this, *s);
        main.Clean(1);
        EXPECT_EQ(0, s->cleans);
        EXPECT_EQ(0, other->cleans);
        EXPECT_TRUE(main.BackupFailed(1));
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().maximum, records.back().position);
        for (const Record& r : records)
            EXPECT_NE(3, r.phase);
    }
}

TEST_F(WalkTest, CleanZeroRunsTheThreeCategoriesAndTheCleanCategoryNeverBacksUp)
{
    struct Main : TqvMain {
        bool CanCleanGroup(TqvGroup* g) override { return g->Id != "refused"; }
        bool CanCleanCategory(uint8_t c) override { return c != 2; }
    };
    Main custom;
    custom.TickSource = &FakeTick;
    custom.BackupWriter = &writer;
    std::vector<uint8_t> categories;
    custom.OnProgress = [&](const TqvUIStatus& s) {
        if (categories.empty() || categories.back() != s.Category)
            categories.push_back(s.Category);
        return true;
    };
    auto add = [&](std::unique_ptr<TqvCategory>& c, const char* id) {
        if (!c)
            c = std::make_unique<TqvCategory>(&custom);
        auto g = std::make_unique<TqvGroup>(&custom);
        g->Id = id;
        auto s = std::make_unique<FakeScanner>(&custom);
        s->found = 1;
        FakeScanner* raw = s.get();
        g->Scanner = std::move(s);
        c->Groups.push_back(std::move(g));
        return raw;
    };
    FakeScanner* fix = add(custom.FixCategory, "fix");
    FakeScanner* refused = add(custom.FixCategory, "refused");
    FakeScanner* boost = add(custom.BoostCategory, "boost");
    FakeScanner* clean = add(custom.CleanCategory, "clean");
    custom.Clean(0);
    EXPECT_EQ((std::vector<uint8_t>{1, 3}), categories);
    EXPECT_EQ(1, fix->cleans);
    EXPECT_EQ(0, refused->cleans);
    EXPECT_EQ(0, boost->cleans);
    EXPECT_EQ(1, clean->cleans);
    EXPECT_EQ((std::vector<std::string>{"begin 1", "end", "end"}), writer.calls);
}

// The default backup and repair of a scanner: before every item an unforced
// report, which reaches the handler only when due and is the loop's stop
// check; found and selected items only, a step after each repaired slot.
TEST_F(WalkTest, ItemsBackupAndCleanVisitFoundAndSelectedItems)
{
    struct Plain : TqvItems {
        using TqvItems::TqvItems;
        void Scan() override {}
    } scanner(&main);
    std::vector<FakeItem*> items;
    const std::pair<bool, bool> states[] = {
        {true, true}, {true, false}, {false, true}, {true, true}};
    for (auto [found, selected] : states) {
        auto i = std::make_unique<FakeItem>(&scanner);
        i->Found = found;
        i->Selected = selected;
        items.push_back(i.get());
        scanner.Add(std::move(i));
    }
    int checks = 0;
    main.OnStopCheck = [&checks] { return ++checks, true; };
    scanner.Backup();
    EXPECT_EQ(4, checks);
    EXPECT_GE(1u, records.size()); // the items' reports are throttled
    EXPECT_EQ((std::vector<int>{1, 0, 0, 1}),
              (std::vector<int>{items[0]->backups, items[1]->backups, items[2]->backups,
                                items[3]->backups}));
    records.clear();
    checks = 0;
    scanner.Position = 1;
    scanner.Clean();
    EXPECT_EQ(4, scanner.Maximum);
    EXPECT_EQ(4, scanner.Position);
    EXPECT_LE(4, checks); // before every item and at every step
    EXPECT_GE(1u, records.size());
    EXPECT_EQ((std::vector<int>{1, 0, 0, 1}), (std::vector<int>{items[0]->fixes, items[1]->fixes,
                                                                items[2]->fixes, items[3]->fixes}));
    // A stop asked for while the first item is repaired leaves the rest
    // alone; so does a handler's stop answer when a report is due.
    bool stop = false;
    items[0]->onFix = [&stop] { stop = true; };
    main.OnStopCheck = [&stop] { return !stop; };
    scanner.Clean();
    EXPECT_EQ(2, items[0]->fixes);
    EXPECT_EQ(1, items[3]->fixes);
    items[0]->onFix = nullptr;
    main.OnStopCheck = nullptr;
    int calls = 0;
    main.TickSource = [] { return gTick += 1000; }; // every report is due
    answer = [&calls] { return ++calls < 2; };
    scanner.Clean();
    EXPECT_EQ(3, items[0]->fixes);
    EXPECT_EQ(1, items[3]->fixes);
}

} // namespace
