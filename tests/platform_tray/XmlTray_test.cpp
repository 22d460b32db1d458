#include "platform/XmlU.h"

#include "KorvTest.h"

#include <string>

namespace {

// The tray reads its files with the shorter entity window: at most five
// characters, "&" counted and ";" not.
TEST(TextXmlTray, EntityWindowIsFive)
{
    struct Case {
        const char* input;
        const char* expected;
    };
    const Case cases[] =
        {
            {"&quot;", "\""},      {"&#123;", "{"}, {"&#1234;", "&#1234;"},
            {"&apos;&amp;", "'&"}, {"&#x41;", "A"}, {"&#x263A;", "&#x263A;"},
            {"&&#65;", " "}, // "&&#65" is the entity: not a number
        };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(XmlUnescape(c.input, false), c.expected);
        EXPECT_EQ(XmlUnescape(c.input, true), c.expected);
    }
}

TEST(TextXmlTray, ParserUsesTheTrayWindow)
{
    TXML xml;
    xml.LoadFromString("<a v=\"&quot;&#1234;\">&#123;&#12345;</a>");
    TXMLTag* a = xml.Root()->GetChild(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(TXMLTag::GetAttribute(a, "v"), "\"&#1234;");
    EXPECT_EQ(a->Text, "{&#12345;");
    EXPECT_TRUE(xml.Complete());
}

} // namespace
