#include "controls/KvHtmlCharSetPlugin.h"

#include "ControlsTest.h"

#include <string>
#include <vector>

using ctest::Narrow;

namespace {

// A substituted method set: 8-bit bytes read as capitals, so the switch point
// shows in the text.
bool ReadUpper(TKvUnicodeReader& reader, char16_t& c)
{
    uint8_t b;
    if (!reader.NextByte(b))
        return false;
    c = b >= 'a' && b <= 'z' ? static_cast<char16_t>(b - 32) : b;
    return true;
}
const TKvUnicodeReadMethods kUpper{nullptr, &ReadUpper, nullptr};

struct Renderer {
    TKvHtmlParser parser;
    TKvHtmlCharSetPlugin plugin;
    std::vector<std::string> charsets;
    bool allow = true;
    Renderer()
    {
        parser.NormalizeWhiteSpace = true;
        parser.FilterHtmlTags().SetFilter(fiShow);
        parser.SetFilterText(fiShow);
        plugin.SetHtmlParser(&parser);
        plugin.OnCharSetChange = [this](TKvHtmlCharSetPlugin& sender, const WideString& charSet,
                                        TKvUnicodeReadMethods& methods, bool& allowChange) {
            EXPECT_EQ(&plugin, &sender);
            charsets.push_back(Narrow(charSet));
            methods = kUpper;
            allowChange = allow;
        };
    }
    std::vector<std::string> Texts()
    {
        std::vector<std::string> out;
        while (parser.ReadPiece()) {
            if (parser.PieceKind() == pkText)
                out.push_back(Narrow(parser.PieceText()));
        }
        return out;
    }
};

const char* const kMeta =
    "<meta http-equiv=\"content-type\" content=\"text/html; CHARSET = utf-8\">hello";

} // namespace

class KvHtmlCharSetPluginTest : public ctest::LiveBufferTest {};

TEST_F(KvHtmlCharSetPluginTest, DeclarationSwitchesFromTheNextCharacter)
{
    Renderer r;
    r.parser.SetSourceString(std::string("ab") + kMeta);
    EXPECT_EQ((std::vector<std::string>{"ab", "HELLO"}), r.Texts());
    EXPECT_EQ((std::vector<std::string>{"utf-8"}), r.charsets);
}

TEST_F(KvHtmlCharSetPluginTest, VetoAndMalformedDeclarations)
{
    {
        Renderer r;
        r.allow = false;
        r.parser.SetSourceString(kMeta);
        EXPECT_EQ((std::vector<std::string>{"hello"}), r.Texts());
        EXPECT_EQ(1u, r.charsets.size());
    }
    const char* const ignored[] = {
        "<meta http-equiv=\"content-type\" content=\"text/html; charset utf-8\">hello",
        "<meta http-equiv=\"refresh\" content=\"charset=utf-8\">hello",
        "<meta http-equiv=\"content-type\" content=\"\">hello",
        "<meta http-equiv=\"content-type\" content=\"charset=utf-8\"/>hello",
    };
    {
        // An empty name is still a declaration: looked up, it gives the default set.
        Renderer r;
        r.parser.SetSourceString("<meta http-equiv=\"Content-Type\" content=\"charset=;x\">hello");
        EXPECT_EQ((std::vector<std::string>{"HELLO"}), r.Texts());
        EXPECT_EQ((std::vector<std::string>{""}), r.charsets);
    }
    for (const char* input : ignored) {
        Renderer r;
        r.parser.SetSourceString(input);
        std::vector<std::string> texts = r.Texts();
        bool closedBySlash = std::string(input).find("/>") != std::string::npos;
        // A META closed by "/>" is still a declaration: only its flag differs.
        EXPECT_EQ(closedBySlash ? std::vector<std::string>{"HELLO"}
                                : std::vector<std::string>{"hello"},
                  texts)
            << input;
        EXPECT_EQ(closedBySlash ? 1u : 0u, r.charsets.size()) << input;
    }
}

TEST_F(KvHtmlCharSetPluginTest, WithoutHandlerTheDefaultSetIsChosen)
{
    TKvHtmlParser parser;
    parser.SetFilterText(fiShow);
    TKvHtmlCharSetPlugin plugin;
    plugin.SetHtmlParser(&parser);
    parser.SetReadMethods(kUpper);
    parser.SetSourceString(std::string("ab") + kMeta);
    std::vector<std::string> texts;
    while (parser.ReadPiece())
        texts.push_back(Narrow(parser.PieceText()));
    // Read as capitals until the declaration chose the (empty table's) default.
    EXPECT_EQ((std::vector<std::string>{"AB", "hello"}), texts);
    EXPECT_EQ(KvReadMethods8Bit().ReadChar, parser.ReadMethods().ReadChar);
}

TEST_F(KvHtmlCharSetPluginTest, AttachingResetsToEightBit)
{
    TKvHtmlParser parser;
    parser.SetReadMethods(KvReadMethodsUtf16LE());
    TKvHtmlCharSetPlugin plugin;
    plugin.SetHtmlParser(&parser);
    EXPECT_EQ(KvReadMethods8Bit().ReadChar, parser.ReadMethods().ReadChar);
    EXPECT_EQ(fiShowLocal, plugin.FilterXmlPIs());
    TKvFilter start, end;
    ASSERT_TRUE(plugin.TagOverride(tkHtmlTags, kvTagMETA, start, end));
    EXPECT_EQ(fiShowLocal, start);
}

TEST_F(KvHtmlCharSetPluginTest, Utf16CaptionIgnoresTheDeclaration)
{
    Renderer r;
    // As the renderer does: attach first, then choose UTF-16LE.
    r.parser.SetReadMethods(KvReadMethodsUtf16LE());
    std::string meta(kMeta);
    r.parser.SetSourceWideString(WideString(std::u16string(meta.begin(), meta.end())));
    EXPECT_EQ((std::vector<std::string>{"hello"}), r.Texts());
    EXPECT_TRUE(r.charsets.empty());
    EXPECT_EQ(KvReadMethodsUtf16LE().ReadChar, r.parser.ReadMethods().ReadChar);
}
