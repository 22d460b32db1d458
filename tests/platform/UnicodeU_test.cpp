#include "platform/UnicodeU.h"

#include "KorvTest.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace {

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace

TEST(TextUnicodeU, CodePointsCodeAtEveryLengthBoundary)
{
    struct Case {
        int64_t codePoint;
        const char* hex;
    };
    const Case cases[] = {
        {0x00, "00"},
        {0x41, "41"},
        {0x7F, "7F"},
        {0x80, "C2 80"},
        {0xE9, "C3 A9"},
        {0x7FF, "DF BF"},
        {0x800, "E0 A0 80"},
        {0x20AC, "E2 82 AC"},
        {0xD800, "ED A0 80"}, // surrogates are coded like any other value
        {0xFFFF, "EF BF BF"},
        {0x10000, "F0 90 80 80"},
        {0x10FFFF, "F4 8F BF BF"},
        {0x110000, ""},
        {-1, ""},
        {INT64_MAX, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePoint);
        EXPECT_EQ(c.hex, Hex(CodePointToUtf8(c.codePoint)));
        EXPECT_EQ(c.hex, Hex(EncodeUtf8CodePoint(c.codePoint)));
        unsigned char bytes[4] = {};
        const int n = EncodeUtf8CodePoint(c.codePoint, bytes);
        EXPECT_EQ(c.hex,
                  Hex(std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n))));
        // Every coded value decodes back by its length.
        if (n > 0) {
            EXPECT_EQ(static_cast<uint32_t>(c.codePoint),
                      Utf8ToCodePoint(CodePointToUtf8(c.codePoint)));
        }
    }
}

TEST(TextUnicodeU, Utf8ToCodePointGoesByLengthAlone)
{
    EXPECT_EQ(0xE9u, Utf8ToCodePoint("\xC3\xA9"));
    EXPECT_EQ(0x20ACu, Utf8ToCodePoint("\xE2\x82\xAC"));
    EXPECT_EQ(0x1F600u, Utf8ToCodePoint("\xF0\x9F\x98\x80"));
    EXPECT_EQ(0u, Utf8ToCodePoint(""));
    EXPECT_EQ(0u, Utf8ToCodePoint("\xF8\x88\x80\x80\x80"));
    // Lead and continuation bits are not checked: "AB" is taken as a 2-byte sequence.
    EXPECT_EQ(((0x41u & 0x1F) << 6) | (0x42u & 0x3F), Utf8ToCodePoint("AB"));
}

TEST(TextUnicodeU, Utf8RoundTripsWideTextWhole)
{
    const std::wstring wide = L"Gr\u00F6\u00DFe \u65E5\u672C\u8A9E \U0001F600 \u20AC";
    const std::string utf8 = "Gr\xC3\xB6\xC3\x9F"
                             "e \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80 \xE2\x82\xAC";
    EXPECT_EQ(utf8, WideToUtf8(wide));
    EXPECT_EQ(wide, Utf8ToWide(utf8));
    EXPECT_EQ(wide, WideFromUtf8(Utf8FromWide(wide)));

    // Embedded NULs travel; a long text is not cut.
    const std::wstring withNul(L"a\0b", 3);
    EXPECT_EQ(std::string("a\0b", 3), WideToUtf8(withNul));
    EXPECT_EQ(withNul, Utf8ToWide(std::string("a\0b", 3)));
    std::wstring longText;
    for (int i = 0; i < 20000; ++i)
        longText += static_cast<wchar_t>(0x3041 + i % 80);
    EXPECT_EQ(longText, Utf8ToWide(WideToUtf8(longText)));

    EXPECT_EQ("", WideToUtf8(L""));
    EXPECT_EQ(L"", Utf8ToWide(""));
    EXPECT_EQ("", WideToAnsi(L""));
    EXPECT_EQ(L"", AnsiToWide(""));
}

TEST(TextUnicodeU, AnsiConversionsUseTheSystemCodePage)
{
    // Thai has no place and no best fit in either code page the tests run under.
    EXPECT_EQ("a?b", WideToAnsi(L"a\u0E01b"));
    EXPECT_EQ("Korvelle", WideToAnsi(L"Korvelle"));
    const UINT acp = GetACP();
    if (acp == 932) {
        EXPECT_EQ(L"\u3042", AnsiToWide("\x82\xA0")); // HIRAGANA A
        EXPECT_EQ("\x82\xA0", WideToAnsi(L"\u3042"));
    } else if (acp == 1252) {
        EXPECT_EQ(L"\u00E4\u20AC", AnsiToWide("\xE4\x80"));
        EXPECT_EQ("\xE4\x80", WideToAnsi(L"\u00E4\u20AC"));
    } else {
        GTEST_SKIP() << "no expectations for code page " << acp;
    }
}
