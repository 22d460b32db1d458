#include "controls/KvCardinalHash.h"
#include "controls/KvHtmlColors.h"
#include "controls/KvHtmlParser.h"
#include "controls/KvWideStringHash.h"

#include "ControlsTest.h"
#include "KorvTest.h"

#include <string>

using ctest::Wide;

namespace {

uint32_t TagID(const std::u16string& name)
{
    return KvHtmlTagID(name.data(), static_cast<int32_t>(name.size()));
}

uint32_t AttribID(const std::u16string& name)
{
    return KvHtmlAttribID(name.data(), static_cast<int32_t>(name.size()));
}

} // namespace

TEST(KvHtmlTables, CountsBucketsAndSpots)
{
    ASSERT_NE(nullptr, KvHtmlTagTable());
    struct Table {
        const char* name;
        TKvHash* hash;
        int count, buckets;
    } tables[] = {
        {"tags", KvHtmlTagTable(), 97, 103},
        {"attributes", KvHtmlAttribTable(), 120, 127},
        {"entities", KvHtmlEntityTable(), 253, 255},
        {"colours", KvHtmlColorTable(), 140, 143},
    };
    for (const Table& t : tables) {
        EXPECT_EQ(t.count, t.hash->Count()) << t.name;
        EXPECT_EQ(t.buckets, t.hash->HashCount()) << t.name;
    }

    const std::pair<const char16_t*, uint32_t> tags[] = {
        {u"BR", 15},        {u"br", 15},     {u"A", 1},     {u"DYNAMIC", kvTagDYNAMIC},
        {u"dynamic", 1421}, {u"META", 70},   {u"pre", 81},  {u"Script", 86},
        {u"STYLE", 93},     {u"title", 103}, {u"VAR", 108}, {u"h6", 50},
        {u"blink", 0},      {u"", 0},        {u"BRR", 0},
    };
    for (auto [name, id] : tags)
        EXPECT_EQ(id, TagID(name)) << ctest::Narrow(WideString(name));
    const std::pair<const char16_t*, uint32_t> attribs[] = {
        {u"href", 52},     {u"HREF", 52},   {u"http-equiv", 55}, {u"content", 33}, {u"type", 120},
        {u"language", 60}, {u"width", 130}, {u"abbr", 1},        {u"onclick", 78}, {u"bogus", 0},
    };
    for (auto [name, id] : attribs)
        EXPECT_EQ(id, AttribID(name)) << ctest::Narrow(WideString(name));

    const std::pair<const char16_t*, char16_t> entities[] = {
        {u"amp", u'&'},     {u"lt", u'<'},      {u"gt", u'>'},     {u"quot", u'"'},
        {u"apos", u'\''},   {u"nbsp", 0x00A0},  {u"euro", 0x20AC}, {u"hearts", 0x2665},
        {u"Alpha", 0x0391}, {u"alpha", 0x03B1}, {u"yuml", 0x00FF}, {u"Yuml", 0x0178},
    };
    for (auto [name, c] : entities) {
        char16_t got = 0;
        std::u16string n(name);
        EXPECT_TRUE(KvHtmlEntityChar(n.data(), static_cast<int32_t>(n.size()), got))
            << ctest::Narrow(WideString(name));
        EXPECT_EQ(c, got);
    }
    char16_t c = 0;
    EXPECT_FALSE(KvHtmlEntityChar(u"AMP", 3, c));
    EXPECT_FALSE(KvHtmlEntityChar(u"ampx", 4, c));

    const std::pair<const char16_t*, bool> colours[] = {
        {u"aliceblue", true},      {u"lightgrey", true}, {u"LightGrey", true},
        {u"lightgray", false},     {u"grey", false},     {u"darkgrey", false},
        {u"darkslategrey", false}, {u"dimgrey", false},  {u"lightslategrey", false},
        {u"slategrey", false},     {u"gray", true},      {u"slategray", true},
    };
    for (auto [name, present] : colours) {
        std::u16string n(name);
        EXPECT_EQ(present,
                  KvHtmlColorTable()->FindBuf(n.data(), static_cast<int32_t>(n.size())) != nullptr)
            << ctest::Narrow(WideString(name));
    }
}

TEST(KvHtmlTables, InitAndDoneAreCounted)
{
    TKvCardinalHash* tags = KvHtmlTagTable();
    TKvCardinalHash* colours = KvHtmlColorTable();
    KvHtmlTablesInit();
    KvHtmlTablesInit();
    EXPECT_EQ(tags, KvHtmlTagTable());
    EXPECT_EQ(colours, KvHtmlColorTable());
    EXPECT_EQ(97, KvHtmlTagTable()->Count());
    KvHtmlTablesDone();
    KvHtmlTablesDone();
    EXPECT_EQ(tags, KvHtmlTagTable());
    EXPECT_EQ(15u, TagID(u"br"));
}

TEST(KvHtmlColors, ColorFromHtml)
{
    struct Case {
        const char16_t* text;
        bool ok;
        uint32_t color;
    } cases[] = {
        {u"#ff0000", true, 0x000000FF},
        {u"red", true, 0x000000FF},
        {u"Red", true, 0x000000FF},
        {u"#f00", true, 0x0000000F},
        {u"  #00ff00 and more", true, 0x0000FF00},
        {u"banana", true, 0x000A0ABA},
        {u"#1234567", true, 0x00704512},
        {u"aliceblue", true, 0x00FFF8F0},
        {u"\t\r\nnavy", true, 0x00800000},
        {u"#", true, 0x00000000},
        {u"# x", true, 0x00000000},
        {u"#1", true, 0x00000001},
        {u"#12", true, 0x00000201},
        {u"#abcd", true, 0x0000CDAB},
        {u"", false, 0xDEADBEEF},
        {u"   ", false, 0xDEADBEEF},
    };
    for (const Case& c : cases) {
        uint32_t color = 0xDEADBEEF;
        EXPECT_EQ(c.ok, ColorFromHtml(WideString(c.text), color))
            << ctest::Narrow(WideString(c.text));
        EXPECT_EQ(c.color, color) << ctest::Narrow(WideString(c.text));
    }
}

KTEST_ROLE(FillTablesAndExit)
{
    KvHtmlTablesInit();
    return KvHtmlTagID(u"br", 2) == 15 ? 0 : 3;
}

TEST(KvHtmlTables, ProgramThatFillsTheTablesEndsCleanly)
{
    ktest::ChildResult r = ktest::RunSelf(L"FillTablesAndExit");
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(0u, r.exitCode);
}
