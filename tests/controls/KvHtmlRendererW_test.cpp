#include "platform/ClassesU.h"

#include "controls/KvHtmlParser.h"
#include "controls/KvHtmlRendererW.h"

#include "ControlsTest.h"
#include "FormTest.h"

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using ctest::Narrow;
using ctest::Wide;

namespace {

// --- Seams ------------------------------------------------------------------------------

// A fixed advance per character, its own space width and line height; every
// measurement and every output is recorded.
class FakeCanvas : public IKvTextCanvasW {
public:
    struct Output {
        int32_t x, y;
        std::string text;
        TKvFontStylesW style;
        uint32_t color;
    };
    explicit FakeCanvas(int32_t lineHeight = 13, int32_t advance = 6, int32_t space = 3)
        : lineHeight_(lineHeight), advance_(advance), space_(space)
    {
    }
    TKvFontStylesW FontStyle() override { return style_; }
    void SetFontStyle(TKvFontStylesW style) override { style_ = style; }
    void SetFontColor(uint32_t rgb) override
    {
        colors.push_back(rgb);
        color_ = rgb;
    }
    int32_t TextWidth(const WideString& text) override
    {
        widths.push_back(Narrow(text));
        int32_t w = 0;
        for (char16_t c : text.View())
            w += c == u' ' ? space_ : advance_;
        return w;
    }
    int32_t TextHeight(const WideString&) override { return lineHeight_; }
    void OutputText(int32_t x, int32_t y, const WideString& text) override
    {
        outputs.push_back({x, y, Narrow(text), style_, color_});
    }

    // Width measurements other than the space width.
    int WordAndLineMeasures() const
    {
        int n = 0;
        for (const std::string& w : widths)
            n += w != " ";
        return n;
    }
    void Forget()
    {
        widths.clear();
        outputs.clear();
        colors.clear();
    }

    std::vector<std::string> widths;
    std::vector<Output> outputs;
    std::vector<uint32_t> colors;

private:
    int32_t lineHeight_, advance_, space_;
    TKvFontStylesW style_ = 0;
    uint32_t color_ = 0;
};

// Answers DYNAMIC tags from a table and records what it was asked.
class RecordingSource : public IDynamicTagSource {
public:
    void GetSource(TDynamicNodeW* node, std::string& sourceAnsi) override
    {
        asked.push_back(node ? Narrow(node->ID) : "<nil>");
        sourceAnsi = answer;
    }
    std::string answer;
    std::vector<std::string> asked;
};

std::unique_ptr<TNodeTreeW> Parse(const std::u16string& caption,
                                  IDynamicTagSource* source = nullptr)
{
    TDefaultParserW parser(source);
    return parser.Parse(WideString(caption));
}

// --- Golden dumps -----------------------------------------------------------------------

std::string Hex(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "%06x", v);
    return buf;
}

// Kind and data of every node, children in parentheses: B I U S for style
// items, FONT:<bbggrr>, A[href], DYN[id], BR, P, strings quoted.
std::string Dump(const TNodeW& node)
{
    std::string out;
    if (auto* s = dynamic_cast<const TStringNodeW*>(&node))
        return "\"" + Narrow(s->Text) + "\"";
    if (auto* a = dynamic_cast<const TActionNodeW*>(&node))
        return a->Action == naLineBreak ? "BR" : "P";
    if (auto* st = dynamic_cast<const TStyleNodeW*>(&node))
        out = std::string(1, "BIUS"[st->StyleItem]);
    else if (auto* f = dynamic_cast<const TFontNodeW*>(&node))
        out = "FONT:" + Hex(f->StoredColor);
    else if (auto* l = dynamic_cast<const TLinkNodeW*>(&node))
        out = "A[" + Narrow(l->Href) + "]";
    else if (auto* d = dynamic_cast<const TDynamicNodeW*>(&node))
        out = "DYN[" + Narrow(d->ID) + "]";
    auto* p = dynamic_cast<const TParentNodeW*>(&node);
    std::string inner;
    for (int32_t i = 0; p && i < p->ChildCount(); ++i) {
        if (i)
            inner += " ";
        inner += Dump(*p->Child(i));
        EXPECT_EQ(p, p->Child(i)->Parent) << "parent of child " << i;
    }
    return dynamic_cast<const TRootNodeW*>(&node) ? inner : out + "(" + inner + ")";
}

std::string Dump(const TNodeTreeW& tree)
{
    return Dump(tree.Root());
}

class TextHtmlTree : public ctest::LiveBufferTest {};

} // namespace

TEST(TextHtmlIds, BuilderIdsAreTheTableIds)
{
    const std::pair<const char16_t*, uint32_t> tags[] = {
        {u"a", kvTagA},       {u"b", kvTagB}, {u"br", kvTagBR},
        {u"font", kvTagFONT}, {u"i", kvTagI}, {u"p", kvTagP},
        {u"s", kvTagS},       {u"u", kvTagU}, {u"dynamic", kvTagDYNAMIC},
    };
    for (auto [name, id] : tags)
        EXPECT_EQ(id, KvHtmlTagID(name, static_cast<int32_t>(std::u16string(name).size())))
            << Narrow(WideString(name));
    const std::pair<const char16_t*, uint32_t> attribs[] = {
        {u"color", kvAttrCOLOR}, {u"href", kvAttrHREF}, {u"id", kvAttrID}};
    for (auto [name, id] : attribs)
        EXPECT_EQ(id, KvHtmlAttribID(name, static_cast<int32_t>(std::u16string(name).size())))
            << Narrow(WideString(name));
}

TEST_F(TextHtmlTree, GoldenShapes)
{
    struct Case {
        std::u16string caption;
        std::string tree;
    } cases[] = {
        // Misnesting is not repaired: the bold end tag does not close the
        // italic node, so y is bold and italic; the italic end tag closes it
        // and z is bold, which stays open to the end.
        {u"<b><i>x</b>y</i>z", "B(I(\"x\" \"y\") \"z\")"},
        {u"a<BR/>b", "\"a\" \"b\""},
        {u"a<br>b", "\"a\" BR \"b\""},
        {u"  lead", "\"lead\""},
        {u"<br>  b", "BR \"b\""},
        {u"<p>  b", "P \"b\""},
        // Text after other tags keeps its blank; at the caption's start the
        // line start reaches into the first node.
        {u"x<b>  b</b>", "\"x\" B(\" b\")"},
        {u"<b>  b</b>", "B(\"b\")"},
        {u"x<br><b>  y</b>", "\"x\" BR B(\"y\")"},
        {u"a<br> <b>x</b>", "\"a\" BR \"\" B(\"x\")"},
        {u"<font color=banana>x</font>", "FONT:0a0aba(\"x\")"},
        {u"<font>x</font>y", "\"x\" \"y\""},
        {u"<font color=\"\">x</font>", "\"x\""},
        {u"<font color=\"#ff0000\">x</font>", "FONT:0000ff(\"x\")"},
        {u"<font color=red><font color=blue>x</font>y</font>z",
         "FONT:0000ff(FONT:ff0000(\"x\") \"y\") \"z\""},
        {u"<a>x</a>", "A[](\"x\")"},
        {u"<a href=\"http://h/p?q=1&amp;r\">x</a>y", "A[http://h/p?q=1&r](\"x\") \"y\""},
        {u"<strong>x</strong> <em>y</em>", "\"x\" \" \" \"y\""},
        {u"<u>u</u><s>s</s><i>i</i>", "U(\"u\") S(\"s\") I(\"i\")"},
        {u"<a href=1><b>x</a>y</b>", "A[1](B(\"x\" \"y\"))"},
        {u"</b>x</a></font>", "\"x\""},
        {u"", ""},
        {u"<dynamic id=d1>t</dynamic>u", "DYN[d1]() \"t\" \"u\""},
    };
    for (const Case& c : cases) {
        auto tree = Parse(c.caption);
        EXPECT_EQ(c.tree, Dump(*tree)) << Narrow(WideString(c.caption));
    }
}

TEST_F(TextHtmlTree, CaptionIsReadAsUtf16)
{
    // The plug-in is attached before UTF-16LE is chosen; the other order reads
    // every second unit as NUL.
    auto tree = Parse(u"Gr\u00fc\u00dfe \u65e5\u672c <b>ok</b>");
    ASSERT_EQ(2, tree->Root().ChildCount());
    EXPECT_EQ(u"Gr\u00fc\u00dfe \u65e5\u672c ",
              static_cast<TStringNodeW*>(tree->Root().Child(0))->Text.View());
    EXPECT_EQ("B(\"ok\")", Dump(*tree->Root().Child(1)));
}

TEST_F(TextHtmlTree, DynamicTags)
{
    struct Case {
        std::string answer;
        std::string tree;
        std::vector<std::string> asked;
    } cases[] = {
        {"", "DYN[d1]() \"t\" \"u\"", {"d1"}},
        {"<b>q</b>", "DYN[d1](B(\"q\")) \"t\" \"u\"", {"d1"}},
        // Leading white space is kept: the content does not start a line.
        {"  lead", "DYN[d1](\" lead\") \"t\" \"u\"", {"d1"}},
        // One level only: the tag inside dynamic content is skipped, its text
        // stays, and the source is asked once.
        {"a<dynamic id=d1>b</dynamic>c", "DYN[d1](\"a\" \"b\" \"c\") \"t\" \"u\"", {"d1"}},
        // The content ends with the source: unclosed tags do not swallow the
        // caption's text.
        {"<b>open", "DYN[d1](B(\"open\")) \"t\" \"u\"", {"d1"}},
    };
    for (const Case& c : cases) {
        RecordingSource source;
        source.answer = c.answer;
        auto tree = Parse(u"<dynamic id=d1>t</dynamic>u", &source);
        EXPECT_EQ(c.tree, Dump(*tree)) << c.answer;
        EXPECT_EQ(c.asked, source.asked) << c.answer;
    }

    RecordingSource source;
    source.answer = "x";
    auto tree = Parse(u"<dynamic>a</dynamic><b><dynamic id=two></b>", &source);
    EXPECT_EQ("DYN[](\"x\") \"a\" B(DYN[two](\"x\"))", Dump(*tree));
    EXPECT_EQ((std::vector<std::string>{"", "two"}), source.asked);
}

TEST(TextHtmlDynamic, EightBitSourceKeepsEveryByteAndFollowsItsCharset)
{
    // The reader's 8-bit method uses no code page: the bytes stay U+0082 U+00A0
    // whatever the system's code page is (932 has lead bytes there).
    RecordingSource source;
    source.answer = "\x82\xA0";
    auto tree = Parse(u"<dynamic id=x>", &source);
    auto* dyn = tree->Root().FindFirst<TDynamicNodeW>();
    ASSERT_NE(nullptr, dyn);
    auto* text = dyn->FindFirst<TStringNodeW>();
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(u"\u0082\u00a0", text->Text.View());

    // A META declaration in the source switches its reading through the
    // parser's charset event.
    static const auto readUpper = [](TKvUnicodeReader& reader, char16_t& c) {
        uint8_t b;
        if (!reader.NextByte(b))
            return false;
        c = b >= 'a' && b <= 'z' ? static_cast<char16_t>(b - 32) : b;
        return true;
    };
    static const TKvUnicodeReadMethods upper{nullptr, +readUpper, nullptr};
    source.answer =
        "ab<meta http-equiv=\"Content-Type\" content=\"text/html; charset=x-upper\">cd<b>ef</b>";
    std::vector<std::string> charsets;
    TDefaultParserW parser(&source);
    parser.OnCharSetChange = [&](TKvHtmlCharSetPlugin&, const WideString& charSet,
                                 TKvUnicodeReadMethods& methods, bool&) {
        charsets.push_back(Narrow(charSet));
        methods = upper;
    };
    auto switched = parser.Parse(WideString(u"<dynamic id=m>z"));
    EXPECT_EQ("DYN[m](\"ab\" \"CD\" B(\"EF\")) \"z\"", Dump(*switched));
    EXPECT_EQ(std::vector<std::string>{"x-upper"}, charsets);
}

TEST_F(TextHtmlTree, NestingIsCappedAndFreedWithoutRecursion)
{
    std::u16string caption;
    for (int i = 0; i < 100000; ++i)
        caption += u"<b>";
    caption += u"deep";
    for (int i = 0; i < 100000; ++i)
        caption += u"<i><a href=x><font color=red><dynamic id=n>";
    caption += u"end";
    RecordingSource source;
    auto tree = Parse(caption, &source);
    EXPECT_TRUE(source.asked.empty()) << "no DYNAMIC node below the limit";

    int32_t depth = 0;
    const TParentNodeW* node = &tree->Root();
    while (node->ChildCount() > 0) {
        auto* child = dynamic_cast<const TParentNodeW*>(node->Child(0));
        if (!child)
            break;
        ASSERT_EQ(1, node->ChildCount()) << "at depth " << depth;
        node = child;
        ++depth;
    }
    EXPECT_EQ(kvMaxNodeDepth, depth);
    ASSERT_EQ(2, node->ChildCount());
    EXPECT_EQ("\"deep\" \"end\"", Dump(*node->Child(0)) + " " + Dump(*node->Child(1)));

    // Drawing, hit tests and the caches walk the whole depth.
    FakeCanvas canvas;
    TKvHtmlRendererW renderer;
    renderer.Draw(canvas, RECT{0, 0, 100, 100}, *tree);
    ASSERT_EQ(2u, canvas.outputs.size());
    EXPECT_EQ("deep", canvas.outputs[0].text);
    EXPECT_EQ("end", canvas.outputs[1].text);
    EXPECT_EQ(KvFontStyle(kvfsBold), canvas.outputs[1].style);
    EXPECT_NE(nullptr, tree->FindNodeAt<TStyleNodeW>(POINT{1, 1}));
    tree->ClearWordCaches();
    tree.reset();

    // A tree built by hand far deeper than the builder's limit is freed too.
    auto deep = std::make_unique<TNodeTreeW>();
    TParentNodeW* parent = &deep->Root();
    for (int i = 0; i < 200000; ++i) {
        auto* child = new TStyleNodeW(kvfsItalic);
        parent->Add(child);
        parent = child;
    }
    parent->Add(new TStringNodeW(WideString(u"x")));
    deep->Clear();
    EXPECT_EQ(0, deep->Root().ChildCount());
}

TEST_F(TextHtmlTree, NodeClassesAndSearches)
{
    struct Kind {
        std::unique_ptr<TNodeW> node;
        uint8_t kind;
    };
    Kind kinds[] = {
        {std::make_unique<TNodeW>(), 0},
        {std::make_unique<TParentNodeW>(), 1},
        {std::make_unique<TAreaNodeW>(), 2},
        {std::make_unique<TFontNodeW>(0x123456), 3},
        {std::make_unique<TStyleNodeW>(kvfsUnderline), 4},
        {std::make_unique<TLinkNodeW>(WideString(u"h")), 5},
        {std::make_unique<TDynamicNodeW>(WideString(u"d")), 6},
        {std::make_unique<TRootNodeW>(), 7},
        {std::make_unique<TStringNodeW>(WideString(u"s")), 8},
        {std::make_unique<TActionNodeW>(naParagraph), 9},
    };
    for (const Kind& k : kinds)
        EXPECT_EQ(k.kind, k.node->NodeKind());
    auto* area = dynamic_cast<TAreaNodeW*>(kinds[2].node.get());
    EXPECT_EQ(0, area->X);
    EXPECT_EQ(0, area->Y);

    TLinkNodeW link(WideString(u"h"));
    link.StoredColor = 0x00ABCDEF;
    const std::pair<uint8_t, uint32_t> states[] = {
        {0, kvclLinkNormal}, {1, kvclLinkClicked}, {2, kvclLinkHot}, {3, 0x00ABCDEF}};
    for (auto [state, color] : states) {
        link.State = state;
        EXPECT_EQ(color, link.Color()) << int(state);
    }

    TNodeTreeW tree;
    EXPECT_EQ(clWindowText, tree.Root().Color());
    EXPECT_EQ(0, tree.Root().FontStyle());
    auto parsed = Parse(u"a<b>b<a href=1>c<i>d</i></a>e</b><a href=2>f</a>");
    EXPECT_EQ("\"a\" B(\"b\" A[1](\"c\" I(\"d\")) \"e\") A[2](\"f\")", Dump(*parsed));
    auto* first = parsed->Root().FindFirst<TLinkNodeW>();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ("1", Narrow(first->Href));
    EXPECT_EQ("cd", Narrow(first->GetText()));
    EXPECT_EQ(nullptr, parsed->Root().FindFirst<TActionNodeW>());
    EXPECT_EQ("I(\"d\")", Dump(*parsed->Root()
                                    .FindFirst<TStyleNodeW>()
                                    ->FindFirst<TAreaNodeW>()
                                    ->FindFirst<TAreaNodeW>()));

    // Top-level link nodes only, in order; the italic inside the first link
    // is not reached for the area class either.
    std::vector<std::string> found;
    TTopLevelNodeEnumeratorW links(parsed->Root(), &IsNodeClass<TLinkNodeW>);
    while (TNodeW* n = links.Next())
        found.push_back(Narrow(static_cast<TLinkNodeW*>(n)->Href));
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), found);
    int areas = 0;
    TTopLevelNodeEnumeratorW tops(parsed->Root(), &IsNodeClass<TAreaNodeW>);
    while (tops.Next())
        ++areas;
    EXPECT_EQ(2, areas);

    parsed->Clear();
    EXPECT_EQ("", Dump(*parsed));
}

TEST(TextHtmlWords, EnumeratorAndInternalFaults)
{
    const std::pair<std::u16string, std::vector<std::string>> cases[] = {
        {u"ab cd", {"ab ", "cd"}},
        {u"a  b ", {"a ", " ", "b "}},
        {u" x", {" ", "x"}},
        {u"\u3042\u3044", {"??"}},
        {u"", {}},
    };
    for (const auto& [text, words] : cases) {
        WideString s(text);
        TWordEnumerator e(s);
        std::vector<std::string> got;
        while (e.HasNext())
            got.push_back(Narrow(e.GetNext()));
        EXPECT_EQ(words, got) << Narrow(s);
        EXPECT_EQ(static_cast<int32_t>(words.size()), e.Count());
        EXPECT_TRUE(ctest::ThrowsWith<EKvHtmlRendererError>(
            [&] { e.GetNext(); }, "TWordEnumerator.GetNext: No more words to return"));
    }

    // An element class the layout does not know.
    class ForeignHandler : public TTextHandlerW {
    public:
        using TTextHandlerW::TTextHandlerW;
        void AddForeign() { Buffer().AddObject(new TParentTextElementW()); }
    };
    FakeCanvas canvas;
    ForeignHandler handler(canvas, RECT{0, 0, 100, 100}, 0, 0, 0);
    handler.AddForeign();
    EXPECT_TRUE(ctest::ThrowsWith<EKvHtmlRendererError>(
        [&] { handler.EmptyBuffer(); },
        "TTextHandler.EmptyBuffer: Unsupported TParentTextElement descendant encountered"));
}

// --- Layout -----------------------------------------------------------------------------

namespace {

// Every drawn line as "x,y,right:text" and every recorded rectangle the same
// way, in tree order.
struct Layout {
    std::vector<std::string> drawn;
    std::vector<std::string> rects;
    int32_t textHeight = 0;
};

std::string LineText(int32_t x, int32_t y, int32_t right, const std::string& text)
{
    return std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(right) + ":" + text;
}

Layout Lay(TNodeTreeW& tree, const RECT& rect, int32_t lineHeight = 13, int32_t offsetY = 0)
{
    FakeCanvas canvas(lineHeight);
    TKvHtmlRendererW renderer;
    renderer.OffsetY = offsetY;
    renderer.Draw(canvas, rect, tree);
    Layout out;
    for (const FakeCanvas::Output& o : canvas.outputs) {
        int32_t w = 0;
        for (char c : o.text)
            w += c == ' ' ? 3 : 6;
        out.drawn.push_back(LineText(o.x, o.y, o.x + w, o.text));
    }
    TTopLevelNodeEnumeratorW strings(tree.Root(), &IsNodeClass<TStringNodeW>);
    while (TNodeW* n = strings.Next()) {
        auto* s = static_cast<TStringNodeW*>(n);
        for (int32_t i = 0; i < s->Rects.Count(); ++i) {
            const RECT& r = s->Rects.At(i);
            EXPECT_EQ(r.top + lineHeight, r.bottom);
            out.rects.push_back(LineText(r.left, r.top, r.right, Narrow(s->Text)));
        }
    }
    out.textHeight = renderer.TextHeight();
    return out;
}

class TextHtmlLayout : public ctest::LiveBufferTest {};

} // namespace

TEST_F(TextHtmlLayout, LinesPerCaptionAndWidth)
{
    struct Case {
        std::u16string caption;
        int32_t right;
        std::vector<std::string> drawn;
        int32_t textHeight;
    } cases[] = {
        // "aaa " is 21 wide and 18 without its space; "bbb" would end at 49.
        {u"aaa bbb", 50, {"10,20,49:aaa bbb"}, 33},
        {u"aaa bbb", 49, {"10,20,28:aaa", "10,33,28:bbb"}, 46},
        // The trailing space is trimmed on a break; the last line keeps it.
        {u"aaa bbb ", 49, {"10,20,28:aaa", "10,33,31:bbb "}, 46},
        // The first word stays on the first line however wide it is.
        {u"aaaaaaaaaa b", 30, {"10,20,70:aaaaaaaaaa", "10,33,16:b"}, 46},
        {u"aaaaaaaaaa", 11, {"10,20,70:aaaaaaaaaa"}, 33},
        // A later word too wide for a line of its own leaves an empty line.
        {u"a<br>bbbbbbbbbb", 30, {"10,20,16:a", "10,33,10:", "10,46,70:bbbbbbbbbb"}, 59},
        {u"aa bbbbbbbbbb", 30, {"10,20,22:aa", "10,33,70:bbbbbbbbbb"}, 46},
        // A single space never breaks.
        {u"aaa <b> </b>", 20, {"10,20,31:aaa ", "31,20,34: "}, 33},
        // a, b and c are one word: they stay together at every width.
        {u"a<b>b</b>c d", 100, {"10,20,16:a", "16,20,22:b", "22,20,37:c d"}, 33},
        {u"a<b>b</b>c d", 38, {"10,20,16:a", "16,20,22:b", "22,20,37:c d"}, 33},
        {u"a<b>b</b>c d", 37, {"10,20,16:a", "16,20,22:b", "22,20,28:c", "10,33,16:d"}, 46},
        {u"a<b>b</b>c d", 1, {"10,20,16:a", "16,20,22:b", "22,20,28:c", "10,33,16:d"}, 46},
        {u"x a<b>b</b>c d",
         30,
         {"10,20,16:x", "10,33,16:a", "16,33,22:b", "22,33,28:c", "10,46,16:d"},
         59},
        {u"x a<b>b</b>c d", 100, {"10,20,25:x a", "25,20,31:b", "31,20,46:c d"}, 33},
        // The first word of a later node breaks too: the line before ends
        // with an empty piece of that node.
        {u"x <b>aaaaaaaaaa</b>", 30, {"10,20,19:x ", "19,20,19:", "10,33,70:aaaaaaaaaa"}, 46},
        // Line break 13, paragraph (13 + 6) | 2 = 19.
        {u"a<p>b<br>c", 100, {"10,20,16:a", "10,39,16:b", "10,52,16:c"}, 65},
        {u"<p><p>", 100, {}, 71},
        {u"", 100, {}, 33},
    };
    for (const Case& c : cases) {
        auto tree = Parse(c.caption);
        Layout layout = Lay(*tree, RECT{10, 20, c.right, 200});
        const std::string name = Narrow(WideString(c.caption)) + " | " + std::to_string(c.right);
        EXPECT_EQ(c.drawn, layout.drawn) << name;
        EXPECT_EQ(c.textHeight, layout.textHeight) << name;
    }

    // Line height 16: a paragraph is (16 + 8) | 2 = 26.
    auto tree = Parse(u"a<p>b<br>c");
    Layout tall = Lay(*tree, RECT{0, 0, 100, 200}, 16);
    EXPECT_EQ((std::vector<std::string>{"0,0,6:a", "0,26,6:b", "0,42,6:c"}), tall.drawn);
    EXPECT_EQ(58, tall.textHeight);
}

TEST_F(TextHtmlLayout, LinesOutsideTheRangeAreLaidOutButNotDrawn)
{
    auto tree = Parse(u"a<br>b<br>c<br>d<br>e<br>f");
    // Drawn at y = -13, 0, 13, 26, 39, 52: the first ends at 0 and the last
    // starts at the bottom, so neither is drawn; all six are recorded.
    Layout layout = Lay(*tree, RECT{0, 0, 100, 52}, 13, -13);
    EXPECT_EQ((std::vector<std::string>{"0,0,6:b", "0,13,6:c", "0,26,6:d", "0,39,6:e"}),
              layout.drawn);
    EXPECT_EQ((std::vector<std::string>{"0,-13,6:a", "0,0,6:b", "0,13,6:c", "0,26,6:d", "0,39,6:e",
                                        "0,52,6:f"}),
              layout.rects);
    EXPECT_EQ(78, layout.textHeight) << "the offset does not enter the text height";
}

TEST_F(TextHtmlLayout, WordsAreMeasuredOncePerTree)
{
    auto tree = Parse(u"one two three <b>four</b> five six<br>seven eight");
    const RECT rect{0, 0, 60, 200};
    FakeCanvas canvas;
    TKvHtmlRendererW renderer;
    renderer.Draw(canvas, rect, *tree);
    const size_t lines = canvas.outputs.size();
    ASSERT_GT(lines, 3u) << "the caption wraps";
    const int words = 8;
    EXPECT_EQ(static_cast<int>(lines) + words, canvas.WordAndLineMeasures());
    const std::vector<std::string> firstOutputs = [&] {
        std::vector<std::string> v;
        for (auto& o : canvas.outputs)
            v.push_back(LineText(o.x, o.y, 0, o.text));
        return v;
    }();

    // A repaint measures only its lines and draws the same.
    canvas.Forget();
    renderer.Draw(canvas, rect, *tree);
    EXPECT_EQ(static_cast<int>(lines), canvas.WordAndLineMeasures());
    EXPECT_EQ(lines, canvas.outputs.size());
    for (size_t i = 0; i < lines && i < firstOutputs.size(); ++i)
        EXPECT_EQ(firstOutputs[i],
                  LineText(canvas.outputs[i].x, canvas.outputs[i].y, 0, canvas.outputs[i].text));

    tree->ClearWordCaches();
    canvas.Forget();
    renderer.Draw(canvas, rect, *tree);
    EXPECT_EQ(static_cast<int>(lines) + words, canvas.WordAndLineMeasures());

    // Joined flags belong to the tree: a cleared cache keeps them.
    auto joined = Parse(u"a<b>b</b>c d");
    renderer.Draw(canvas, rect, *joined);
    auto flags = [&] {
        std::string f;
        TTopLevelNodeEnumeratorW strings(joined->Root(), &IsNodeClass<TStringNodeW>);
        while (TNodeW* n = strings.Next())
            f += static_cast<TStringNodeW*>(n)->Joined ? '1' : '0';
        return f;
    };
    EXPECT_EQ("011", flags());
    joined->ClearWordCaches();
    EXPECT_EQ("011", flags());
    canvas.Forget();
    renderer.Draw(canvas, rect, *joined);
    EXPECT_EQ("011", flags());
    EXPECT_EQ(3u, canvas.outputs.size());
}

TEST_F(TextHtmlLayout, AreaNodesGetWhereTheirTextStarts)
{
    auto tree = Parse(u"ab <b>cd</b> e<a href=x>fg</a><br><i><u>h</u></i>");
    FakeCanvas canvas;
    TKvHtmlRendererW renderer;
    renderer.Draw(canvas, RECT{5, 7, 200, 100}, *tree);
    struct Want {
        std::string dump;
        int32_t x, y;
    } wants[] = {
        {"B(\"cd\")", 20, 7},    // after "ab " (15)
        {"A[x](\"fg\")", 41, 7}, // after "cd" and " e": the buffer held "e", so the link waited
        {"I(U(\"h\"))", 5, 20},
        {"U(\"h\")", 5, 20},
    };
    for (const Want& w : wants) {
        TAreaNodeW* found = nullptr;
        std::function<void(const TParentNodeW&)> walk = [&](const TParentNodeW& p) {
            for (int32_t i = 0; i < p.ChildCount(); ++i) {
                if (auto* a = dynamic_cast<TAreaNodeW*>(p.Child(i))) {
                    if (Dump(*a) == w.dump)
                        found = a;
                    walk(*a);
                }
            }
        };
        walk(tree->Root());
        ASSERT_NE(nullptr, found) << w.dump;
        EXPECT_EQ(w.x, found->X) << w.dump;
        EXPECT_EQ(w.y, found->Y) << w.dump;
    }
}

// --- Colours ----------------------------------------------------------------------------

TEST(TextHtmlColours, FullDrawAndSingleLinkDraw)
{
    auto tree = Parse(u"x <b><a href=u>link <font color=#00ff00>green</font></a></b>");
    auto* link = tree->Root().FindFirst<TLinkNodeW>();
    ASSERT_NE(nullptr, link);
    TKvHtmlRendererW renderer;
    renderer.LinkColor = 0x0000AA;
    renderer.LinkColorClicked = 0x00BB00;
    renderer.LinkColorHot = 0xCC0000;
    renderer.LinkStyle = KvFontStyle(kvfsUnderline) | KvFontStyle(kvfsStrikeOut);
    const RECT rect{0, 0, 300, 100};
    const uint32_t windowText = GetSysColor(COLOR_WINDOWTEXT);
    const TKvFontStylesW linkStyle = KvFontStyle(kvfsBold) | renderer.LinkStyle;

    auto byText = [](const FakeCanvas& c, const std::string& text) {
        for (const FakeCanvas::Output& o : c.outputs)
            if (o.text == text)
                return o;
        ADD_FAILURE() << "no output " << text;
        return FakeCanvas::Output{};
    };
    auto noPlaceholders = [](const FakeCanvas& c) {
        for (uint32_t color : c.colors)
            EXPECT_EQ(0u, color >> 24) << std::hex << color;
    };
    for (uint8_t state : {lsNormal, lsPressed, lsHot}) {
        link->State = state;
        FakeCanvas canvas;
        renderer.Draw(canvas, rect, *tree);
        EXPECT_EQ(windowText, byText(canvas, "x ").color);
        EXPECT_EQ(0u, byText(canvas, "x ").style);
        EXPECT_EQ(0x0000AAu, byText(canvas, "link ").color) << int(state);
        EXPECT_EQ(linkStyle, byText(canvas, "link ").style);
        EXPECT_EQ(0x00FF00u, byText(canvas, "green").color);
        EXPECT_EQ(linkStyle, byText(canvas, "green").style);
        noPlaceholders(canvas);
    }
    const std::pair<uint8_t, uint32_t> states[] = {
        {lsNormal, 0x0000AA}, {lsPressed, 0x00BB00}, {lsHot, 0xCC0000}};
    for (auto [state, color] : states) {
        link->State = state;
        FakeCanvas canvas;
        renderer.DrawNode(canvas, rect, *link);
        ASSERT_EQ(2u, canvas.outputs.size());
        EXPECT_EQ(color, byText(canvas, "link ").color) << int(state);
        EXPECT_EQ(9, byText(canvas, "link ").x);
        EXPECT_EQ(linkStyle, byText(canvas, "link ").style);
        EXPECT_EQ(0x00FF00u, byText(canvas, "green").color);
        noPlaceholders(canvas);
    }

    EXPECT_EQ(0x0000AAu, renderer.ResolveColor(kvclLinkNormal));
    EXPECT_EQ(0x00BB00u, renderer.ResolveColor(kvclLinkClicked));
    EXPECT_EQ(0xCC0000u, renderer.ResolveColor(kvclLinkHot));
    EXPECT_EQ(clWindowText, renderer.ResolveColor(clWindowText));

    // Values GDI cannot take keep the colour that was set before.
    uint32_t rgb = 7;
    EXPECT_TRUE(KvColorToRgb(0x00123456, rgb));
    EXPECT_EQ(0x00123456u, rgb);
    EXPECT_TRUE(KvColorToRgb(0xFF00000F, rgb));
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), rgb);
    for (uint32_t bad : {clNone, kvclLinkHot, 0x01000000u}) {
        rgb = 7;
        EXPECT_FALSE(KvColorToRgb(bad, rgb)) << std::hex << bad;
        EXPECT_EQ(7u, rgb);
    }
    tree->Root().StoredColor = clNone;
    FakeCanvas canvas;
    renderer.Draw(canvas, rect, *tree);
    noPlaceholders(canvas);
}

// --- Hit tests --------------------------------------------------------------------------

TEST(TextHtmlHitTest, EdgesClassesAndLinkRects)
{
    // "ab " spans 10..25; the link "link" 25..49 on 20..33; the empty link
    // after the break has no text at all.
    auto tree = Parse(u"ab <b><a href=x>link</a></b> cd<br><a href=y> </a>");
    EXPECT_FALSE(tree->HasNodeAt<TLinkNodeW>(POINT{30, 25})) << "nothing before the first paint";
    EXPECT_EQ(nullptr, tree->FindNodeAt<TLinkNodeW>(POINT{30, 25}));

    FakeCanvas canvas;
    TKvHtmlRendererW renderer;
    renderer.Draw(canvas, RECT{10, 20, 200, 200}, *tree);
    auto* bold = tree->Root().FindFirst<TStyleNodeW>();
    auto* link = tree->Root().FindFirst<TLinkNodeW>();
    struct Case {
        POINT pt;
        bool onLink;
    } cases[] = {
        {{25, 20}, true},  {{48, 32}, true},  {{49, 20}, false}, {{25, 33}, false},
        {{24, 25}, false}, {{25, 19}, false}, {{10, 33}, false}, {{11, 36}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pt.x) + "," + std::to_string(c.pt.y));
        EXPECT_EQ(c.onLink, tree->HasNodeAt<TLinkNodeW>(c.pt));
        EXPECT_EQ(c.onLink ? link : nullptr, tree->FindNodeAt<TLinkNodeW>(c.pt));
        EXPECT_EQ(c.onLink ? bold : nullptr, tree->FindNodeAt<TStyleNodeW>(c.pt));
        EXPECT_EQ(c.onLink ? static_cast<TAreaNodeW*>(bold) : nullptr,
                  tree->FindNodeAt<TAreaNodeW>(c.pt))
            << "the outermost node";
        EXPECT_EQ(c.onLink, tree->HasNodeAt<TStyleNodeW>(c.pt));
    }
    // The link class is answered from the collected rectangles.
    ASSERT_EQ(1, tree->Root().LinkRects.Count());
    tree->Root().LinkRects.Clear();
    EXPECT_FALSE(tree->HasNodeAt<TLinkNodeW>(POINT{30, 25}));
    EXPECT_EQ(link, tree->FindNodeAt<TLinkNodeW>(POINT{30, 25}));
    EXPECT_TRUE(tree->HasNodeAt<TStyleNodeW>(POINT{30, 25}));
}

// --- Real GDI ---------------------------------------------------------------------------

namespace {

// A 32-bit DIB on its memory canvas with the form library's default font
// selected, white; no window, no display.
struct FontedBitmap {
    FontedBitmap(int w, int h) : bitmap(w, h), selection(bitmap.Canvas().Handle(), font.Handle())
    {
        formtest::Fill(bitmap, clWhite);
    }
    HDC dc() { return bitmap.Canvas().Handle(); }
    int w() const { return bitmap.Width(); }
    int h() const { return bitmap.Height(); }
    TColor At(int x, int y) const { return formtest::PixelAt(bitmap, x, y); }
    std::vector<TColor> Pixels() const
    {
        std::vector<TColor> v;
        for (int y = 0; y < h(); ++y)
            for (int x = 0; x < w(); ++x)
                v.push_back(At(x, y));
        return v;
    }

    TBitmap bitmap;
    TFont font;
    TDcSelection selection;
};

bool InAny(const std::vector<RECT>& rects, int x, int y)
{
    for (const RECT& r : rects)
        if (x >= r.left && x < r.right && y >= r.top && y < r.bottom)
            return true;
    return false;
}

} // namespace

TEST(TextHtmlGdi, InkStaysInsideTheRecordedRectangles)
{
    FontedBitmap mem(160, 120);
    auto tree = Parse(u"Plain text <b>bold words</b> and <a href=x>a link that wraps around</a> "
                      u"<s>struck</s> <u>under</u><p><font color=red>red</font> end");
    TKvHtmlRendererW renderer;
    const RECT rect{4, 4, 90, 116};
    renderer.Draw(mem.dc(), rect, *tree);
    const std::vector<RECT> rects = ctest::StringRects(tree->Root());
    ASSERT_GT(rects.size(), 4u);
    int ink = 0;
    for (int y = 0; y < mem.h(); ++y)
        for (int x = 0; x < mem.w(); ++x)
            if (mem.At(x, y) != clWhite) {
                ++ink;
                EXPECT_TRUE(InAny(rects, x, y)) << "ink at " << x << "," << y;
            }
    EXPECT_GT(ink, 100);
    // The FONT colour reaches the pixels ($00BBGGRR; edges may be smoothed).
    bool red = false;
    for (TColor p : mem.Pixels())
        red = red || ((p & 0xFF) > 0xC0 && (p >> 8 & 0xFF) < 0x40 && (p >> 16 & 0xFF) < 0x40);
    EXPECT_TRUE(red);

    // The DC is handed back as it was.
    EXPECT_EQ(OPAQUE, GetBkMode(mem.dc()));

    // A hot link drawn alone changes pixels only inside its own rectangles.
    auto* link = tree->Root().FindFirst<TLinkNodeW>();
    ASSERT_NE(nullptr, link);
    const std::vector<TColor> before = mem.Pixels();
    const std::vector<RECT> linkRects = ctest::StringRects(*link);
    ASSERT_GE(linkRects.size(), 2u) << "the link wraps";
    link->State = lsHot;
    renderer.DrawNode(mem.dc(), rect, *link);
    const std::vector<TColor> after = mem.Pixels();
    int changed = 0;
    for (int y = 0; y < mem.h(); ++y)
        for (int x = 0; x < mem.w(); ++x)
            if (before[y * mem.w() + x] != after[y * mem.w() + x]) {
                ++changed;
                EXPECT_TRUE(InAny(linkRects, x, y)) << "changed at " << x << "," << y;
            }
    EXPECT_GT(changed, 20);
    EXPECT_EQ(linkRects.size(), ctest::StringRects(*link).size()) << "the same lines again";
}

// --- Robustness -------------------------------------------------------------------------

TEST(TextHtmlRobustness, RandomCaptionsParseDrawAndHitTest)
{
    std::mt19937 rng(3102);
    const char16_t* pieces[] = {
        u"<a href=x>",
        u"</a>",
        u"<a>",
        u"<b>",
        u"</b>",
        u"<i>",
        u"</i>",
        u"<u>",
        u"</u>",
        u"<s>",
        u"</s>",
        u"<font color=red>",
        u"<font color=>",
        u"<font>",
        u"</font>",
        u"<br>",
        u"<BR/>",
        u"<p>",
        u"<dynamic id=d>",
        u"</dynamic>",
        u"<strong>",
        u"<",
        u"&",
        u"&amp;",
        u"&#x41;",
        u" ",
        u"  ",
        u"word",
        u"x",
        u"\xD83D\xDE00",
        u"\xD800",
        u"\xDC00",
        u"\u65e5",
        u"\t",
        u"\r\n",
        u"<!--",
        u"-->",
        u"<a href=\"",
        u"\"",
    };
    const size_t count = sizeof(pieces) / sizeof(pieces[0]);
    RecordingSource source;
    const char* answers[] = {"", "<b>q</b>", "<dynamic id=d>", "\x82\xA0 <a href=z>y"};
    FakeCanvas canvas;
    TKvHtmlRendererW renderer;
    for (int i = 0; i < 100000; ++i) {
        std::u16string caption;
        const size_t n = rng() % 24;
        for (size_t k = 0; k < n; ++k)
            caption += pieces[rng() % count];
        source.answer = answers[rng() % 4];
        TDefaultParserW parser(&source);
        auto tree = parser.Parse(WideString(caption));
        const RECT rect{0, 0, static_cast<LONG>(rng() % 80), static_cast<LONG>(rng() % 60)};
        renderer.OffsetY = static_cast<int32_t>(rng() % 20) - 10;
        canvas.Forget();
        renderer.Draw(canvas, rect, *tree);
        const POINT pt{static_cast<LONG>(rng() % 80), static_cast<LONG>(rng() % 60)};
        if (auto* link = tree->FindNodeAt<TLinkNodeW>(pt)) {
            link->State = static_cast<uint8_t>(rng() % 3);
            renderer.DrawNode(canvas, rect, *link);
            link->GetText();
        }
        tree->HasNodeAt<TLinkNodeW>(pt);
        tree->HasNodeAt<TStyleNodeW>(pt);
        if (rng() % 8 == 0)
            tree->ClearWordCaches();
        renderer.Draw(canvas, rect, *tree);
    }
}
