#include "platform/ClassesU.h"

#include "controls/KvCardinalHash.h"
#include "controls/KvHtmlColors.h"
#include "controls/KvHtmlParser.h"
#include "controls/KvWideStringHash.h"

#include "ControlsTest.h"
#include "KorvTest.h"

#include <memory>
#include <string>
#include <vector>

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

// --- Filters, plug-ins and tag objects ----------------------------------------------------

namespace {

const TKvFilter kFilters[] = {fiHide, fiShowHidden, fiShowShown, fiShowLocal, fiShow};
const char* const kFilterNames[] = {"hide", "hidden", "shown", "local", "show"};

// Records which hooks ran, in order; may force or veto Show.
class RecordingPlugin : public TKvHtmlParserPlugin {
public:
    explicit RecordingPlugin(std::string name = "p") : name_(std::move(name)) {}
    std::vector<std::string> log;
    int force = -1; // -1 leave Show, 0 veto, 1 force
    int attached = 0;
    void TextHook(bool& show) override { Record("text", show); }
    void HtmlTagHook(bool& show) override
    {
        Record("tag:" + ctest::Narrow(HtmlParser()->HtmlTag().Name) + "/" +
                   std::to_string(HtmlParser()->HtmlTag().EndFlag),
               show);
    }
    void CommentHook(bool& show) override { Record("comment", show); }
    void AttachedHook() override { ++attached; }

private:
    void Record(const std::string& what, bool& show)
    {
        log.push_back(name_ + ":" + what + (show ? "+" : "-"));
        if (force >= 0)
            show = force == 1;
    }
    std::string name_;
};

std::vector<std::string> Pieces(TKvHtmlParser& p, const char16_t* input)
{
    p.SetReadMethods(KvReadMethodsUtf16LE());
    p.SetSourceWideString(WideString(input));
    std::vector<std::string> out;
    while (p.ReadPiece())
        out.push_back(std::to_string(p.PieceKind()) + ":" + ctest::Narrow(p.PieceText()));
    return out;
}

} // namespace

class KvHtmlParserTest : public ctest::LiveBufferTest {};

TEST_F(KvHtmlParserTest, FilterWordsAndGetters)
{
    const uint32_t words[] = {0x01, 0x02, 0x04, 0x68, 0x70};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(words[i], KvFilterWord(kFilters[i]));
        EXPECT_EQ(kFilters[i], KvFilterOfWord(words[i]));
    }
    TKvHtmlParser parser;
    EXPECT_EQ(fiHide, parser.FilterText());
    EXPECT_EQ(fiHide, parser.FilterHtmlTags().StartTags());
    EXPECT_TRUE(parser.EnableHtmlTags);
    EXPECT_FALSE(parser.NormalizeWhiteSpace);
    EXPECT_EQ(u'#', parser.CustomTagChar);
    parser.SetFilterComments(fiShowLocal);
    EXPECT_EQ(fiShowLocal, parser.FilterComments());
    EXPECT_EQ(0x68u, parser.PieceWord(pkComment));
    parser.FilterHtmlTags().SetStartTags(fiShow);
    EXPECT_EQ(0x70u | 0x01u << 8, parser.TagWord(tkHtmlTags, 15));
    EXPECT_EQ(fiHide, parser.FilterHtmlTags().EndTags());
}

TEST_F(KvHtmlParserTest, ParserAndPluginFiltersCombine)
{
    for (int pi = 0; pi < 5; ++pi) {
        for (int qi = 0; qi < 5; ++qi) {
            SCOPED_TRACE(std::string("parser ") + kFilterNames[pi] + ", plug-in " +
                         kFilterNames[qi]);
            TKvHtmlParser parser;
            parser.SetFilterText(kFilters[pi]);
            RecordingPlugin plugin("q"), probe("probe");
            plugin.SetFilterText(kFilters[qi]);
            probe.SetFilterText(fiShowShown); // called exactly when the kind is shown
            plugin.SetHtmlParser(&parser);
            probe.SetHtmlParser(&parser);
            std::vector<std::string> pieces = Pieces(parser, u"hello");

            const bool shown = kFilters[pi] == fiShow || kFilters[qi] == fiShow;
            const bool returned = kFilters[pi] == fiShowLocal || kFilters[pi] == fiShow;
            const TKvFilter q = kFilters[qi];
            const bool called = q == fiShowLocal || q == fiShow || (q == fiShowHidden && !shown) ||
                                (q == fiShowShown && shown);
            EXPECT_EQ(returned ? 1u : 0u, pieces.size());
            EXPECT_EQ(called ? 1u : 0u, plugin.log.size());
            if (called) {
                EXPECT_EQ(std::string("q:text") + (returned ? "+" : "-"), plugin.log[0]);
            }
            EXPECT_EQ(shown ? 1u : 0u, probe.log.size());
            EXPECT_EQ(called, plugin.Calls(pkText));
        }
    }
}

TEST_F(KvHtmlParserTest, HooksForceAndVeto)
{
    TKvHtmlParser parser;
    RecordingPlugin plugin;
    plugin.SetFilterText(fiShowLocal);
    plugin.SetHtmlParser(&parser);
    plugin.force = 1;
    EXPECT_EQ((std::vector<std::string>{"13:hidden text"}), Pieces(parser, u"hidden text"));
    parser.SetFilterText(fiShow);
    plugin.force = 0;
    EXPECT_TRUE(Pieces(parser, u"vetoed").empty());
    // A disabled plug-in is not called.
    plugin.Enabled = false;
    plugin.log.clear();
    EXPECT_EQ(1u, Pieces(parser, u"shown").size());
    EXPECT_TRUE(plugin.log.empty());
}

TEST_F(KvHtmlParserTest, PerTagOverridesPerHalf)
{
    TKvHtmlParser parser;
    parser.SetTagOverride(tkHtmlTags, 15, fiShow, fiHide);
    EXPECT_EQ((std::vector<std::string>{"8:br"}), Pieces(parser, u"<b><br></br></b>"));
    parser.SetTagOverride(tkHtmlTags, 7, fiHide, fiShow);
    EXPECT_EQ((std::vector<std::string>{"8:br", "8:b"}), Pieces(parser, u"<b><br></br></b>"));
    parser.RemoveTagOverride(tkHtmlTags, 15);
    parser.RemoveTagOverride(tkHtmlTags, 7);
    EXPECT_TRUE(Pieces(parser, u"<b><br></br></b>").empty());

    // A plug-in's override calls its hook for that tag and half only.
    RecordingPlugin plugin;
    plugin.SetTagOverride(tkHtmlTags, 7, fiHide, fiShowLocal);
    plugin.SetHtmlParser(&parser);
    EXPECT_TRUE(Pieces(parser, u"<b><i></i></b>").empty());
    EXPECT_EQ((std::vector<std::string>{"p:tag:b/1-"}), plugin.log);
    EXPECT_TRUE(plugin.CallsTag(tkHtmlTags, 7, true));
    EXPECT_FALSE(plugin.CallsTag(tkHtmlTags, 7, false));
    EXPECT_FALSE(plugin.CallsTag(tkHtmlTags, 54, true));
}

TEST_F(KvHtmlParserTest, AttachDetachAndHookOrder)
{
    auto parser = std::make_unique<TKvHtmlParser>();
    RecordingPlugin a("a"), b("b");
    a.SetFilterComments(fiShowLocal);
    b.SetFilterComments(fiShowLocal);
    a.SetHtmlParser(parser.get());
    b.SetHtmlParser(parser.get());
    EXPECT_EQ(1, a.attached);
    EXPECT_EQ(2, parser->PluginCount());
    EXPECT_EQ(&a, parser->FirstPlugin());
    EXPECT_EQ(&b, a.Next());
    Pieces(*parser, u"<!--x-->");
    EXPECT_EQ((std::vector<std::string>{"a:comment-"}), a.log);
    EXPECT_EQ((std::vector<std::string>{"b:comment-"}), b.log);
    {
        TKvHtmlParser other;
        a.SetHtmlParser(&other); // moves: detached from the first parser
        EXPECT_EQ(1, parser->PluginCount());
        EXPECT_EQ(&other, a.HtmlParser());
    }
    EXPECT_EQ(nullptr, a.HtmlParser()); // the parser's end unlinked it
    {
        RecordingPlugin c("c");
        c.SetHtmlParser(parser.get());
        EXPECT_EQ(2, parser->PluginCount());
    }
    EXPECT_EQ(1, parser->PluginCount());
    // The plug-in's filters were merged: without it the comments are not read.
    b.SetHtmlParser(nullptr);
    EXPECT_EQ(0u, parser->PieceWord(pkComment) & (1u << 21));
    parser.reset();
}

TEST_F(KvHtmlParserTest, PieceStartAndStreamMode)
{
    TKvHtmlParser parser;
    parser.SetFilterText(fiShow);
    parser.FilterHtmlTags().SetFilter(fiShow);
    parser.SetSourceString("ab\r\n<b>cd");
    ASSERT_TRUE(parser.ReadPiece());
    EXPECT_EQ(0, parser.PieceStartPosition());
    ASSERT_TRUE(parser.ReadPiece());
    EXPECT_EQ(pkHtmlTag, parser.PieceKind());
    EXPECT_EQ(4, parser.PieceStartPosition());
    EXPECT_EQ(2, parser.PieceStartLine());
    EXPECT_EQ(1, parser.PieceStartColumn());
    ASSERT_TRUE(parser.ReadPiece());
    EXPECT_EQ(u"cd", parser.PieceText().View());
    EXPECT_EQ(nullptr, parser.Tag());
    EXPECT_FALSE(parser.ReadPiece());

    parser.SetSourceStream(new TMemoryStream(), true);
    EXPECT_TRUE(ctest::ThrowsWith<EKvContainerError>(
        [&] { parser.SetSourceString("x"); },
        "Class TKvHtmlParser: Operation not allowed in Source Stream Mode"));
}

TEST_F(KvHtmlParserTest, TagObjects)
{
    TKvHtmlTag tag;
    tag.SetAsString(WideString(u"text first <IMG src=\"a.png\" ALT=x /> <b>"));
    EXPECT_EQ(u"IMG", tag.Name.View());
    EXPECT_EQ(58u, tag.ID);
    EXPECT_EQ(2, tag.EndFlag);
    ASSERT_EQ(2, tag.Count());
    EXPECT_EQ(u"a.png", tag.ValueOfID(110).View());
    EXPECT_EQ(u"x", tag.ValueAt(1).View());
    EXPECT_TRUE(ctest::ThrowsWith<EKvContainerError>(
        [&] { tag.PItemAt(5); }, "Class TKvHtmlTag: List index out of bounds (5)"));

    TKvCustomTag copy;
    copy.Assign(tag);
    EXPECT_EQ(u"IMG", copy.Name.View());
    EXPECT_EQ(58u, copy.ID);
    EXPECT_EQ(2, copy.EndFlag);
    EXPECT_EQ(2, copy.Count());

    tag.SetAsString(WideString(u"no tag here"));
    EXPECT_TRUE(tag.Name.IsEmpty());
    EXPECT_EQ(0u, tag.ID);
    EXPECT_EQ(0, tag.Count());
    copy.Clear();
    EXPECT_EQ(0, copy.Count());
    EXPECT_TRUE(copy.Name.IsEmpty());
}

TEST(KvHtmlParser, AttributeValueWriter)
{
    struct Case {
        const char16_t* value;
        int mode;
        const char16_t* text;
    } cases[] = {
        {u"abc-1.x", 1, u"=abc-1.x"},
        {u"a/b", 1, u"=\"a/b\""},
        {u"a/b", 2, u"=a/b"},
        {u"a b", 2, u"=\"a b\""},
        {u"a>b", 2, u"=\"a>b\""},
        {u"a=b", 2, u"=\"a=b\""},
        {u"'a", 2, u"=\"'a\""},
        {u"", 1, u"=\"\""},
        {u"plain", 0, u"=\"plain\""},
        {u"say \"hi\"", 2, u"='say \"hi\"'"},
        {u"it's \"x\" & y", 0, u"='it&apos;s \"x\" &amp; y'"},
        {u"\"a\" 'b' &{c}", 0, u"=\"&quot;a&quot; 'b' &{c}\""},
        {u"\"a\" \"b\" 'c' 'd'", 0, u"=\"&quot;a&quot; &quot;b&quot; 'c' 'd'\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, KvAttribValueText(WideString(c.value), c.mode).View())
            << ctest::Narrow(WideString(c.value));
}
