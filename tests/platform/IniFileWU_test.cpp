#include "platform/IniFileWU.h"

#include "platform/UnicodeU.h"

#include "KorvTest.h"

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring FixturePath(const wchar_t* name)
{
    std::wstring path = ktest::ProgramPath();
    path.resize(path.find_last_of(L'\\') + 1);
    return path + L"fixtures\\" + name;
}

std::vector<std::string> Lines(const TStringList& list)
{
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i)
        out.push_back(list[i]);
    return out;
}

class TextIniFileW : public ktest::ScratchDirTest {};

} // namespace

// Windows 9x: names and values go through the system code page, so UTF-8 bytes
// come back widened byte by byte and a UTF-8 key with umlauts is not found.
KTEST_ROLE(ini_9x)
{
    if (args.size() != 1)
        return 10;
    TIniFileW ini(args[0]);
    if (ini.IsNT())
        return 11;
    if (ini.ReadWideString(L"de", L"Next", L"x") != L"Weiter")
        return 12;
    const std::string closeUtf8 = "Schlie\xC3\x9F"
                                  "en";
    const std::wstring widenedByCodePage = AnsiToWide(closeUtf8);
    if (widenedByCodePage == Utf8ToWide(closeUtf8))
        return 13;
    if (ini.ReadWideString(L"de", L"Close", L"") != widenedByCodePage)
        return 14;
    if (ini.ReadWideString(L"de", L"Gr\u00F6\u00DFe", L"none") != L"none")
        return 15;
    if (!ini.ReadWideString(L"", L"Next", L"x").empty())
        return 16;
    return 0;
}

TEST_F(TextIniFileW, TranslationFileReadsByteExact)
{
    if (const char* expected = std::getenv("KORV_EXPECT_ACP")) {
        ASSERT_EQ(static_cast<UINT>(std::atoi(expected)), GetACP());
    }
    const std::wstring path = FixturePath(L"lng.ini");
    ASSERT_FALSE(ktest::ReadFileBytes(path).empty()) << "fixture missing";
    TIniFileW ini(path);
    EXPECT_TRUE(ini.IsNT());
    EXPECT_EQ(path, ini.FileName());

    struct Case {
        const wchar_t* section;
        const wchar_t* ident;
        const wchar_t* expected;
        const char* utf8; // the raw bytes of the value; nullptr when absent
    };
    const Case cases[] = {
        {L"de", L"Next", L"Weiter", "Weiter"},
        {L"de", L"Close", L"Schlie\u00DFen",
         "Schlie\xC3\x9F"
         "en"},
        {L"de", L"Gr\u00F6\u00DFe", L"Dateigr\u00F6\u00DFe",
         "Dateigr\xC3\xB6\xC3\x9F"
         "e"},
        {L"DE", L"next", L"Weiter", "Weiter"},
        {L"de", L"Finish", L"Fertig stellen", "Fertig stellen"},
        // Under code page 932 the profile API turned E3 83 97 into E3 83 81 45.
        {L"ja", L"Print", L"\u30D7\u30EA\u30F3\u30C8",
         "\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x83\x88"},
        {L"ja", L"Close", L"\u9589\u3058\u308B", "\xE9\x96\x89\xE3\x81\x98\xE3\x82\x8B"},
        {L"ja", L"Size", L"\u30B5\u30A4\u30BA: %s", "\xE3\x82\xB5\xE3\x82\xA4\xE3\x82\xBA: %s"},
        {L"fr", L"Back", L"Pr\u00E9c\u00E9dent",
         "Pr\xC3\xA9"
         "c\xC3\xA9"
         "dent"},
        {L"Languages", L"ja", L"\u65E5\u672C\u8A9E", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
        {L"fr", L"Size", L"d\u00E9faut", nullptr},
        {L"it", L"Next", L"d\u00E9faut", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(std::wstring(c.section) + L"/" + c.ident));
        EXPECT_EQ(c.expected, ini.ReadWideString(c.section, c.ident, L"d\u00E9faut"));
        const std::string raw =
            ini.ReadString(WideToUtf8(c.section), WideToUtf8(c.ident), "<none>");
        EXPECT_EQ(c.utf8 ? c.utf8 : "<none>", raw);
    }
    EXPECT_EQ(L"", ini.ReadWideString(L"", L"Next", L"x"));
    EXPECT_EQ(L"", ini.ReadWideString(L"de", L"", L"x"));
    EXPECT_EQ("x", ini.ReadString("", "Next", "x"));
}

TEST_F(TextIniFileW, SectionsListInFileOrder)
{
    TIniFileW ini(FixturePath(L"lng.ini"));
    EXPECT_TRUE(ini.SectionExists("languages"));
    EXPECT_FALSE(ini.SectionExists("xx"));
    TStringList list;
    ini.ReadSection("Languages", list);
    EXPECT_EQ((std::vector<std::string>{"en", "de", "es", "fr", "it", "ja", "pt"}), Lines(list));
    ini.ReadSectionValues("Languages", list);
    ASSERT_EQ(7, list.Count());
    EXPECT_EQ("es=Espa\xC3\xB1ol", list[2]);
    EXPECT_EQ("ja=\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", list[5]);
    EXPECT_EQ("pt", list.Names(6));
    ini.ReadSection("nosuch", list);
    EXPECT_EQ(0, list.Count());
}

TEST_F(TextIniFileW, ReaderRules)
{
    const std::string text = "orphan=before any section\r\n"
                             "[Main]\r\n"
                             "  Spaced  =   padded value \t \r\n"
                             "Empty=\r\n"
                             "no equals sign here\r\n"
                             "Eq=a=b\r\n"
                             "Twice=first\r\n"
                             "TWICE=second\r\n"
                             "lf=only LF\n"
                             "cr=only CR\r"
                             "=no key\r\n"
                             "\r\n"
                             "[ Other ]\r\n"
                             "k=v\r\n"
                             "[MAIN]\r\n"
                             "Late=from a repeated section\r\n"
                             "Spaced=overridden\r\n"
                             "[Unclosed\r\n"
                             "u=1\r\n"
                             "[Last]\r\n"
                             "end=no line break";
    TIniFileW ini(WriteFile(L"rules.ini", text));
    struct Case {
        const char* section;
        const char* ident;
        const char* expected;
    };
    const Case cases[] = {
        {"Main", "Spaced", "padded value"},
        {"main", "SPACED", "padded value"},
        {"Main", "Empty", ""},
        {"Main", "Eq", "a=b"},
        {"Main", "twice", "first"},
        {"Main", "lf", "only LF"},
        {"Main", "cr", "only CR"},
        {"Main", "no equals sign here", "<def>"},
        {"Main", "Late", "<def>"},
        {"Other", "k", "v"},
        {"Unclosed", "u", "1"},
        {"Last", "end", "no line break"},
        {"", "orphan", "<def>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.ident);
        EXPECT_EQ(c.expected, ini.ReadString(c.section, c.ident, "<def>"));
    }
    TStringList list;
    ini.ReadSectionValues("Main", list);
    EXPECT_EQ((std::vector<std::string>{"Spaced=padded value", "Empty=", "Eq=a=b", "Twice=first",
                                        "lf=only LF", "cr=only CR"}),
              Lines(list));
    EXPECT_EQ(L"", ini.ReadWideString(L"Main", L"Empty", L"default"));

    // A leading byte-order mark is not part of the first line.
    TIniFileW bom(WriteFile(L"bom.ini", "\xEF\xBB\xBF[First]\r\nk=1\r\n"));
    EXPECT_EQ("1", bom.ReadString("First", "k", ""));
}

TEST_F(TextIniFileW, LongValueComesBackWhole)
{
    std::wstring value;
    for (int i = 0; i < 5000; ++i)
        value += static_cast<wchar_t>(i % 3 == 0 ? L'a' + i % 26 : 0x3041 + i % 80);
    ASSERT_EQ(5000u, value.size());
    TIniFileW ini(WriteFile(L"long.ini", "[ja]\r\nLong=" + WideToUtf8(value) + "\r\nAfter=1\r\n"));
    EXPECT_EQ(value, ini.ReadWideString(L"ja", L"Long", L""));
    EXPECT_EQ(L"1", ini.ReadWideString(L"ja", L"After", L""));
}

TEST_F(TextIniFileW, MissingFileReadsAsEmpty)
{
    TIniFileW ini(dir_ + L"nosuch.ini");
    EXPECT_EQ(L"fallback", ini.ReadWideString(L"de", L"Next", L"fallback"));
    EXPECT_FALSE(ini.SectionExists("de"));
    TIniFileW unnamed(L"");
    EXPECT_EQ("d", unnamed.ReadString("de", "Next", "d"));
}

TEST_F(TextIniFileW, FileIsReadOnceWhenCreated)
{
    const std::wstring path = WriteFile(L"once.ini", "[s]\r\nk=old\r\n");
    TIniFileW ini(path);
    WriteFile(L"once.ini", "[s]\r\nk=new\r\n");
    EXPECT_EQ("old", ini.ReadString("s", "k", ""));
    EXPECT_EQ("new", TIniFileW(path).ReadString("s", "k", ""));
}

class IniFileW9x : public ktest::ScratchDirTest {};

TEST_F(IniFileW9x, SystemCodePageBothWays)
{
    const ktest::ChildResult child =
        ktest::RunSelfAsVersion(dir_, L"win98", L"ini_9x", {FixturePath(L"lng.ini")});
    ASSERT_TRUE(child.started);
    ASSERT_FALSE(child.timedOut);
    EXPECT_EQ(0u, child.exitCode);
}
