#include "TrayTest.h"

#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "tray/TranslatorU.h"
#include "tray/TranslatorUtilsU.h"

#include <cstdio>

using namespace traytest;

namespace {

std::vector<std::string> gDebugLines;
void RecordDebugLine(const char* Line)
{
    gDebugLines.push_back(Line);
}

std::string HashKeyOf(const std::string& Text)
{
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(StrHash32(Text, false)));
    return hex;
}

TEST(TrayStoredText, DecodesInOnePassLeftToRight)
{
    const struct {
        const char* stored;
        bool pipes;
        const char* text;
    } cases[] = {
        {"a#61b#13#10", false, "a=b\r\n"},
        {"#3561", false, "#61"}, // a stored "#" followed by "61"
        {"#35#61", false, "#="},
        {"#6#1#", false, "#6#1#"},
        {"a|sd|d", false, "a|sd|d"}, // the pipe codes only with the flag
        {"|sd", true, "|d"},         // a stored literal "|d" is no line break
        {"|s|d|a", true, "|\r\n"},
        {"x|q|", true, "x|q|"},
        {"#13|a", true, "\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        SetPipeDecoding(c.pipes);
        EXPECT_EQ(c.text, DecodeStoredText(c.stored));
    }
    SetPipeDecoding(false);
}

class TrayTranslator : public TrayFixture {
protected:
    void SetUp() override
    {
        TrayFixture::SetUp();
        Reset();
        previous_ = TTranslator2::SetDebugOutput(&RecordDebugLine);
        gDebugLines.clear();
    }
    void TearDown() override
    {
        Reset();
        TTranslator2::SetDebugOutput(previous_);
        TrayFixture::TearDown();
    }
    static void Reset()
    {
        TTranslator2& t = TTranslator2::Instance();
        t.LoadTexts("");
        t.SetShowHash(false);
        t.SetPerUser(true);
        t.SetDebug(false);
        t.SetResultHook(nullptr);
    }
    std::string Translate(const std::string& Text, bool* Found = nullptr)
    {
        std::string result;
        const bool found = TTranslator2::Instance().Translate(Text, result);
        if (Found)
            *Found = found;
        return result;
    }

    TTranslator2::TDebugOutput previous_ = nullptr;
};

TEST_F(TrayTranslator, LooksUpSectionAndKeyOrTheHashOfTheText)
{
    TTranslator2& t = TTranslator2::Instance();
    // The hash key is taken of the whole text as written: "ABC." and "abc."
    // have different keys.
    ASSERT_NE(HashKeyOf("abc."), HashKeyOf("ABC."));
    t.LoadTexts("[main]\r\nCaption=Main text#61\r\n[sec]\r\nkey=Section text\r\nsub.key=Dotted\r\n"
                "[abc]\r\n" +
                HashKeyOf("abc.") + "=By hash\r\n");
    const struct {
        const char* text;
        bool found;
        const char* result;
    } cases[] = {
        {"Caption", true, "Main text="},
        {"caption", true, "Main text="},
        {"sec.key", true, "Section text"},
        {"sec.sub.key", true, "Dotted"},
        {"abc.", true, "By hash"},
        {"ABC.", false, "ABC."},
        {"Missing", false, "Missing"},
        {"sec.missing", false, "sec.missing"},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        bool found = false;
        EXPECT_EQ(c.result, Translate(c.text, &found));
        EXPECT_EQ(c.found, found);
    }

    // Without a text list (the tray's case) every caption comes back as given.
    t.LoadTexts("");
    EXPECT_EQ("KorvelleTray", Translate("KorvelleTray"));
}

TEST_F(TrayTranslator, ShowHashMarksEveryTextWithItsKey)
{
    TTranslator2& t = TTranslator2::Instance();
    t.LoadTexts("[main]\r\nCaption=Shown\r\n[abc]\r\n" + HashKeyOf("abc.") + "=By hash\r\n");
    t.SetShowHash(true);
    EXPECT_EQ("Shown-Caption", Translate("Caption"));
    EXPECT_EQ("Other~Other", Translate("Other"));
    EXPECT_EQ("sec.x~x", Translate("sec.x"));
    EXPECT_EQ("By hash-" + HashKeyOf("abc."), Translate("abc."));
    EXPECT_EQ("xyz.~" + HashKeyOf("xyz."), Translate("xyz."));
}

TEST_F(TrayTranslator, DebugLineAndResultHookComeLast)
{
    TTranslator2& t = TTranslator2::Instance();
    t.LoadTexts("[main]\r\nCaption=Shown\r\n");
    t.SetShowHash(true);
    t.SetDebug(true);
    std::vector<std::string> hooked;
    t.SetResultHook([&](std::string& Result) {
        hooked.push_back(Result);
        Result = "<" + Result + ">";
    });
    EXPECT_EQ("<Shown-Caption>", Translate("Caption"));
    EXPECT_EQ("<a.b~b>", Translate("a.b"));
    EXPECT_EQ((std::vector<std::string>{"Shown-Caption", "a.b~b"}), hooked);
    EXPECT_EQ((std::vector<std::string>{"Shown-Caption, Caption, Caption_Translate ",
                                        "a.b~b, a.b, b_Translate "}),
              gDebugLines);
}

TEST_F(TrayTranslator, TheAnsiFormConvertsFoundValuesFromUtf8)
{
    TTranslator2& t = TTranslator2::Instance();
    t.LoadTexts("[main]\r\nCaption=Caf\xC3\xA9\r\n");
    std::string result;
    EXPECT_TRUE(t.TranslateAnsi("Caption", result));
    EXPECT_EQ(WideToAnsi(L"Caf\u00E9"), result);
    EXPECT_TRUE(t.Translate("Caption", result));
    EXPECT_EQ("Caf\xC3\xA9", result);
}

TEST_F(TrayTranslator, ModeAndLanguageLiveInTheProgramKeyOfTheUser)
{
    TTranslator2& t = TTranslator2::Instance();
    TRegViewScope view(true, false);
    t.SetShowHash(true);
    std::string value;
    ASSERT_TRUE(RegReadString(HKEY_CURRENT_USER, Key(), "TransMode", value));
    EXPECT_EQ("ShowHash", value);
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, Key(), "TransMode"));
    t.SetShowHash(false);
    ASSERT_TRUE(RegReadString(HKEY_CURRENT_USER, Key(), "TransMode", value));
    EXPECT_EQ("", value);

    ASSERT_TRUE(RegWriteString(HKEY_CURRENT_USER, Key(), "Language", "de"));
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "Language", "fr"));
    t.ReadLanguage();
    EXPECT_EQ("de", t.Language());
    t.SetPerUser(false);
    t.ReadLanguage();
    EXPECT_EQ("fr", t.Language());
    t.SetShowHash(true);
    ASSERT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, Key(), "TransMode", value));
    EXPECT_EQ("ShowHash", value);
}

} // namespace
