#include "platform/SysUtilsU.h"

#include "KorvTest.h"

#include <string>

using namespace std::string_literals;

namespace {

struct TrimCase {
    const char* name;
    std::string in;
    std::string both, left, right;
};

} // namespace

TEST(TextSysUtils, TrimRemovesCodesUpTo32AndKeepsHighBytes)
{
    const TrimCase cases[] = {
        {"empty", "", "", "", ""},
        {"blanks only", " \t\r\n"s + '\0' + "\x1F ", "", "", ""},
        {"controls and NUL", "\x01\0 a b\x20\x1F"s, "a b", "a b\x20\x1F", "\x01\0 a b"s},
        {"0x21 is text", "\x21 x \x21", "\x21 x \x21", "\x21 x \x21", "\x21 x \x21"},
        // Signed bytes would count 0x80..0xFF as below 32.
        {"high bytes kept", "\x80\xA0x\xFF", "\x80\xA0x\xFF", "\x80\xA0x\xFF", "\x80\xA0x\xFF"},
        {"high bytes inside blanks", "  \xE4\xF6  ", "\xE4\xF6", "\xE4\xF6  ", "  \xE4\xF6"},
    };
    for (const TrimCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.both, Trim(c.in));
        EXPECT_EQ(c.left, TrimLeft(c.in));
        EXPECT_EQ(c.right, TrimRight(c.in));
    }
}

TEST(TextSysUtils, CaseMappingGoesThroughTheSystemAndKeepsEveryByte)
{
    EXPECT_EQ("ABC XYZ 09_", UpperCase("abc xyz 09_"));
    EXPECT_EQ("abc xyz 09_", LowerCase("ABC XYZ 09_"));
    // Embedded NULs neither end the mapping nor shorten the result.
    EXPECT_EQ("A\0B\0C"s, UpperCase("a\0b\0c"s));
    EXPECT_EQ("a\0b\0"s, LowerCase("A\0B\0"s));
    EXPECT_EQ("", UpperCase(""));

    // Longer than any small buffer the system keeps for the conversion.
    std::string longText(100000, 'q');
    longText[50000] = '\0';
    std::string expected(100000, 'Q');
    expected[50000] = '\0';
    EXPECT_EQ(expected, UpperCase(longText));

    switch (GetACP()) {
    case 1252:
        EXPECT_EQ("\xC4\xD6\xDC\x9F", UpperCase("\xE4\xF6\xFC\xFF")); // äöüÿ -> ÄÖÜŸ
        EXPECT_EQ("\xE4\xF6\xFC\xFF", LowerCase("\xC4\xD6\xDC\x9F"));
        break;
    case 932:
        EXPECT_EQ("\x82\x60Z", UpperCase("\x82\x81z")); // full-width a -> A
        EXPECT_EQ("\x82\x81z", LowerCase("\x82\x60Z"));
        EXPECT_EQ("\xB1\xB2", UpperCase("\xB1\xB2")); // half-width kana stay
        break;
    default:
        ADD_FAILURE() << "no case table for code page " << GetACP();
    }
}

TEST(TextSysUtils, CompareTextMapsBothSidesAndComparesUnsignedBytes)
{
    EXPECT_EQ(0, CompareText("Hello", "hELLO"));
    EXPECT_LT(CompareText("abc", "ABD"), 0);
    EXPECT_GT(CompareText("abd", "ABC"), 0);
    EXPECT_LT(CompareText("ab", "ABC"), 0);
    // "_" (0x5F) lies between the upper- and lower-case letters: after mapping to
    // upper case it sorts after "Z".
    EXPECT_GT(CompareText("_", "z"), 0);
    // 0x80 is above every ASCII byte only when bytes compare unsigned.
    EXPECT_LT(CompareText("a", "\x80"), 0);
    EXPECT_TRUE(SameText("MiXeD", "mixed"));
    EXPECT_FALSE(SameText("a", "ab"));
    EXPECT_FALSE(SameText("a\0b"s, "a\0c"s));
    if (GetACP() == 1252) {
        EXPECT_TRUE(SameText("\xE4", "\xC4"));
    }

    EXPECT_EQ("ABC\xE4", AsciiUpperCase("aBc\xE4"));
    EXPECT_EQ("abc\xC4", AsciiLowerCase("aBC\xC4"));
    EXPECT_TRUE(SameTextAscii("Korvelle", "KORVELLE"));
    EXPECT_FALSE(SameTextAscii("\xE4", "\xC4"));
    EXPECT_FALSE(SameTextAscii("a", "a "));
}

TEST(SysUtilsU, IntegerTexts)
{
    EXPECT_EQ("0", IntToStr(0));
    EXPECT_EQ("-2147483648", IntToStr(INT32_MIN));
    EXPECT_EQ("-9223372036854775808", IntToStr(INT64_MIN));
    EXPECT_EQ("9223372036854775807", IntToStr(INT64_MAX));

    struct Case {
        const char* in;
        bool ok;
        int32_t value;
        bool decimal; // also read by the decimal-only reader
    };
    const Case cases[] = {
        {"0", true, 0, true},
        {"42", true, 42, true},
        {"+5", true, 5, true},
        {"-17", true, -17, true},
        {"007", true, 7, true},
        {"2147483647", true, INT32_MAX, true},
        {"-2147483648", true, INT32_MIN, true},
        {"2147483648", false, 0, false},
        {"-2147483649", false, 0, false},
        {"99999999999999999999", false, 0, false},
        {"$FF", true, 255, false},
        {"0x1a", true, 26, false},
        {"0X1A", true, 26, false},
        {"$FFFFFFFF", true, -1, false},
        {"-$10", true, -16, false},
        {"$100000000", false, 0, false},
        {"", false, 0, false},
        {"-", false, 0, false},
        {"$", false, 0, false},
        {"0x", false, 0, false},
        {" 1", false, 0, false},
        {"1 ", false, 0, false},
        {"12a", false, 0, false},
        {"$G", false, 0, false},
        {"1.5", false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        int32_t out = 12345;
        EXPECT_EQ(c.ok, TryStrToInt(c.in, out));
        EXPECT_EQ(c.ok ? c.value : 12345, out) << "out untouched on failure";
        EXPECT_EQ(c.ok ? c.value : -99, StrToIntDef(c.in, -99));
        int32_t decimal = 12345;
        EXPECT_EQ(c.decimal, TryStrToIntDecimal(c.in, decimal));
        EXPECT_EQ(c.decimal ? c.value : 12345, decimal);
    }
}

TEST(SysUtilsU, SystemErrorCarriesCodeAndSystemText)
{
    wchar_t buffer[512] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, ERROR_ACCESS_DENIED, 0, buffer,
                                   static_cast<DWORD>(std::size(buffer)), nullptr);
    ASSERT_NE(0u, n);
    std::wstring expected(buffer, n);
    while (!expected.empty() && (expected.back() == L'\r' || expected.back() == L'\n'))
        expected.pop_back();
    ASSERT_FALSE(expected.empty());

    try {
        RaiseSystemError(ERROR_ACCESS_DENIED);
        FAIL() << "no exception";
    } catch (const ESystemError& e) {
        EXPECT_EQ(5u, e.Code());
        EXPECT_EQ(expected, e.Text());
        EXPECT_EQ(expected, SystemErrorText(5));
        // what() is the same text as UTF-8.
        char utf8[2048] = {};
        ASSERT_NE(0, WideCharToMultiByte(CP_UTF8, 0, expected.c_str(), -1, utf8,
                                         static_cast<int>(std::size(utf8)), nullptr, nullptr));
        EXPECT_STREQ(utf8, e.what());
    }

    SetLastError(ERROR_FILE_NOT_FOUND);
    try {
        RaiseLastOSError();
        FAIL() << "no exception";
    } catch (const ESystemError& e) {
        EXPECT_EQ(2u, e.Code());
        EXPECT_FALSE(e.Text().empty());
    }

    // A code without system text still says which code failed.
    const ESystemError unknown(0x2FFFFFFFu);
    EXPECT_NE(std::string::npos, std::string(unknown.what()).find(std::to_string(0x2FFFFFFFu)))
        << unknown.what();
}
