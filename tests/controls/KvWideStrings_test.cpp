#include "controls/KvWideStrings.h"

#include "KorvTest.h"

#include <set>
#include <string>

namespace {

struct FoldSpot {
    char16_t from, to;
};

// The documented foldings, including the non-letter-case ones.
constexpr FoldSpot kFoldSpots[] = {
    {u'A', u'a'},     {0x00C0, 0x00E0}, {0x0391, 0x03B1}, {0x0410, 0x0430}, {0x0178, 0x00FF},
    {0xFF21, 0xFF41}, {0x2160, 0x2170}, {0x24B6, 0x24D0}, {0x00B5, 0x03BC}, {0x017F, u's'},
    {0x0345, 0x03B9}, {0x03C2, 0x03C3}, {0x03D0, 0x03B2}, {0x03D1, 0x03B8}, {0x03D5, 0x03C6},
    {0x03D6, 0x03C0}, {0x03F0, 0x03BA}, {0x03F1, 0x03C1}, {0x03F5, 0x03B5}, {0x1E9B, 0x1E61},
    {0x1FBE, 0x03B9}, {0x212A, u'k'},   {u'a', u'a'},     {u'z', u'z'},     {u'0', u'0'},
    {0x0130, 0x0130}, {0x0131, 0x0131}, {0x00DF, 0x00DF}, {0x023A, 0x023A}, {0x10A0, 0x10A0},
};

constexpr unsigned kFoldBlockStarts[] = {
    0x0040, 0x0080, 0x00C0, 0x0100, 0x0140, 0x0180, 0x01C0, 0x0200, 0x0340, 0x0380,
    0x03C0, 0x0400, 0x0440, 0x0480, 0x04C0, 0x0500, 0x0540, 0x1E00, 0x1E40, 0x1E80,
    0x1EC0, 0x1F00, 0x1F40, 0x1F80, 0x1FC0, 0x2100, 0x2140, 0x2480, 0x24C0, 0xFF00,
};

WideString W(const char16_t* s)
{
    return WideString(s);
}

} // namespace

TEST(KvWideStrings, FoldTableChangesExactlyTheListedBlocks)
{
    int changed = 0;
    std::set<unsigned> blocks;
    for (unsigned c = 0; c <= 0xFFFF; ++c) {
        if (WideFold(static_cast<char16_t>(c)) != c) {
            ++changed;
            blocks.insert(c & ~63u);
        }
    }
    EXPECT_EQ(726, changed);
    EXPECT_EQ(std::set<unsigned>(std::begin(kFoldBlockStarts), std::end(kFoldBlockStarts)), blocks);
    for (const FoldSpot& spot : kFoldSpots)
        EXPECT_EQ(static_cast<unsigned>(spot.to), static_cast<unsigned>(WideFold(spot.from)))
            << "U+" << std::hex << static_cast<unsigned>(spot.from);
}

TEST(KvWideStrings, Comparisons)
{
    struct Case {
        const char16_t *a, *b;
        bool sameStr, sameText;
    } cases[] = {
        {u"", u"", true, true},
        {u"abc", u"abc", true, true},
        {u"Stra\u00DFe", u"STRASSE", false, false},
        {u"\u00C0B", u"\u00E0b", false, true},
        {u"abc", u"abcd", false, false},
        {u"\u0130", u"i", false, false},
    };
    for (const Case& c : cases) {
        std::u16string name(c.a);
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        EXPECT_EQ(c.sameStr, WideSameStr(W(c.a), W(c.b)));
        EXPECT_EQ(c.sameText, WideSameText(W(c.a), W(c.b)));
        std::u16string_view a(c.a);
        EXPECT_EQ(c.sameStr, WideSameBufStr(a.data(), static_cast<int32_t>(a.size()), W(c.b)));
        EXPECT_EQ(c.sameText, WideSameBufText(a.data(), static_cast<int32_t>(a.size()), W(c.b)));
    }
}

TEST(KvWideStrings, Searches)
{
    EXPECT_EQ(2, WidePosTextFrom(W(u"b"), W(u"aBcb"), 1));
    EXPECT_EQ(4, WidePosTextFrom(W(u"b"), W(u"aBcb"), 3));
    EXPECT_EQ(0, WidePosTextFrom(W(u"b"), W(u"aBcb"), 0));
    EXPECT_EQ(0, WidePosTextFrom(W(u""), W(u"aBcb"), 1));
    EXPECT_EQ(0, WidePosTextFrom(W(u"b"), W(u""), 1));
    EXPECT_EQ(3, WidePosTextFrom(W(u"CD"), W(u"abcdcd"), 1));
    EXPECT_EQ(5, WidePosTextFrom(W(u"CD"), W(u"abcdcd"), 4));
    EXPECT_TRUE(WideContainsText(W(u"\u0410"), W(u"x\u0430"), 1));
    EXPECT_FALSE(WideContainsText(W(u"xy"), W(u"x"), 1));

    const char16_t hay[] = u"abcab";
    // The last start is 3 for a two-unit needle: 3 finds it, 4 is one past.
    EXPECT_EQ(4, WidePosText(u"AB", 2, hay, 3, 5));
    EXPECT_EQ(0, WidePosText(u"AB", 2, hay, 4, 5));
    EXPECT_EQ(0, WidePosText(u"abcabc", 6, hay, 0, 5));
    EXPECT_EQ(0, WidePosText(u"a", 1, hay, -1, 5));
    // A zero needle length must not read the needle at all.
    EXPECT_EQ(0, WidePosText(nullptr, 0, hay, 0, 5));
}

TEST(KvWideStrings, Builder)
{
    WideString s;
    int32_t len = 0;
    const int32_t expectedCapacity[] = {4, 4, 4, 4, 12};
    for (int i = 0; i < 5; ++i) {
        WideAppendChar(static_cast<char16_t>(u'a' + i), s, len);
        EXPECT_EQ(expectedCapacity[i], s.Length()) << "after character " << i + 1;
    }
    EXPECT_EQ(5, len);
    s.SetLength(len);
    EXPECT_EQ(u"abcde", s.View());

    WideString b;
    int32_t blen = 0;
    WideAppendBuf(u"0123456789", 10, b, blen);
    EXPECT_EQ(16, b.Length());
    EXPECT_EQ(10, blen);
    WideAppendBuf(nullptr, 3, b, blen);
    WideAppendBuf(u"x", 0, b, blen);
    WideAppendStr(WideString(), b, blen);
    EXPECT_EQ(10, blen);
    WideAppendStr(W(u"abcdefg"), b, blen); // N = 17 -> 17 + 8 + 3 = 28
    EXPECT_EQ(28, b.Length());
    EXPECT_EQ(17, blen);
    b.SetLength(blen);
    EXPECT_EQ(u"0123456789abcdefg", b.View());

    // Appending a slice of the builder's own buffer while it grows.
    WideString self;
    int32_t selfLen = 0;
    WideAppendBuf(u"abcd", 4, self, selfLen);
    WideAppendBuf(self.Data(), 4, self, selfLen);     // fits: capacity 8
    WideAppendBuf(self.Data() + 1, 7, self, selfLen); // grows to 24
    self.SetLength(selfLen);
    EXPECT_EQ(u"abcdabcdbcdabcd", self.View());
}

TEST(KvWideStrings, TrimsAndScans)
{
    EXPECT_EQ(WideString(), WideTrim(W(u" \t\r\n ")));
    EXPECT_EQ(u"a b", WideTrim(W(u"  a b\t")).View());
    EXPECT_EQ(u"ab", WideTrim(W(u"ab")).View());
    WideString s = W(u"ab \r\n");
    WideTrimRightBy(s, nullptr);
    EXPECT_EQ(u"ab", s.View());
    WideString dashes = W(u"x--");
    WideTrimRightBy(dashes, &IsSpaceDashOrGt);
    EXPECT_EQ(u"x", dashes.View());

    EXPECT_EQ(3, WideFindCharNotIn(W(u"  x"), &IsWideSpace, 1));
    EXPECT_EQ(0, WideFindCharNotIn(W(u"  x"), &IsWideSpace, 4));
    EXPECT_EQ(0, WideFindCharNotIn(W(u"  x"), &IsWideSpace, 0));
    EXPECT_EQ(0, WideFindCharNotIn(W(u"   "), &IsWideSpace, 1));

    EXPECT_TRUE(WideAllCharsStr(WideString(), &IsAsciiLetter));
    EXPECT_FALSE(WideAnyCharStr(WideString(), &IsAsciiLetter));
    EXPECT_TRUE(WideAllCharsStr(W(u"aZ"), &IsAsciiLetter));
    EXPECT_FALSE(WideAllCharsStr(W(u"a1"), &IsAsciiLetter));
    EXPECT_TRUE(WideAnyCharStr(W(u"1a"), &IsAsciiLetter));
}

TEST(KvWideStrings, CharacterClasses)
{
    struct Case {
        char16_t c;
        bool space, spaceDashGt, hex, letter, name;
        int hexValue;
    } cases[] = {
        {0x0000, true, true, false, false, false, -1},
        {0x001F, true, true, false, false, false, -1},
        {u' ', true, true, false, false, false, -1},
        {0x00A0, false, false, false, false, false, -1},
        {u'-', false, true, false, false, true, -1},
        {u'>', false, true, false, false, false, -1},
        {u'F', false, false, true, true, true, 15},
        {u'f', false, false, true, true, true, 15},
        {u'g', false, false, false, true, true, -1},
        {u'9', false, false, true, false, true, 9},
        {u':', false, false, false, false, true, -1},
        {u'_', false, false, false, false, true, -1},
        {u'.', false, false, false, false, true, -1},
        {u'#', false, false, false, false, false, -1},
        {0xFF21, false, false, false, false, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.c));
        EXPECT_EQ(c.space, IsWideSpace(c.c));
        EXPECT_EQ(c.spaceDashGt, IsSpaceDashOrGt(c.c));
        EXPECT_EQ(c.hex, IsWideHexDigit(c.c));
        EXPECT_EQ(c.letter, IsAsciiLetter(c.c));
        EXPECT_EQ(c.name, IsNameChar(c.c));
        if (c.hexValue < 0)
            EXPECT_LT(HexDigitValue(c.c), 0);
        else
            EXPECT_EQ(c.hexValue, HexDigitValue(c.c));
    }
}

TEST(KvWideStrings, StringHandleAndBuffers)
{
    long start = KvLiveBuffers();
    ASSERT_TRUE(KvCountsBuffers());
    {
        WideString a(u"abc");
        WideString b = a;
        EXPECT_EQ(start + 2, KvLiveBuffers());
        WideString c = std::move(b);
        EXPECT_TRUE(b.IsEmpty());
        EXPECT_EQ(start + 2, KvLiveBuffers());
        c += a;
        EXPECT_EQ(u"abcabc", c.View());
        c += c;
        EXPECT_EQ(12, c.Length());
        EXPECT_EQ(0, c.Data()[12]);
        EXPECT_EQ(u"cab", c.Substr(2, 3).View());
        c.SetLength(0);
        EXPECT_TRUE(c.IsEmpty());
        EXPECT_EQ(u"", WideString(u"").View());
        EXPECT_TRUE(WideString(u"").IsEmpty());
    }
    EXPECT_EQ(start, KvLiveBuffers());
}

TEST(KvWideStrings, TextSizeOnAMemoryDC)
{
    HDC dc = CreateCompatibleDC(nullptr);
    ASSERT_NE(nullptr, dc);
    EXPECT_EQ(0, WideTextWidth(dc, WideString()));
    EXPECT_EQ(0, WideTextHeight(dc, WideString()));
    int w1 = WideTextWidth(dc, W(u"f")), w2 = WideTextWidth(dc, W(u"fgfg"));
    EXPECT_GT(w1, 0);
    EXPECT_GT(w2, w1);
    EXPECT_GT(WideTextHeight(dc, W(u"fg")), 0);
    DeleteDC(dc);
}
