#include "platform/ClassesU.h"

#include "controls/KvUnicode.h"

#include "ControlsTest.h"

#include <string>
#include <vector>

using ctest::LiveBufferTest;
using ctest::ThrowsWith;

namespace {

// At most `step` bytes per read: refills come short and split characters.
class TrickleStream : public TMemoryStream {
public:
    TrickleStream(const std::string& bytes, int32_t step, int* freed = nullptr)
        : step_(step), freed_(freed)
    {
        Write(bytes.data(), static_cast<int32_t>(bytes.size()));
        SetPosition(0);
    }
    ~TrickleStream() override
    {
        if (freed_)
            ++*freed_;
    }
    int32_t Read(void* buffer, int32_t count) override
    {
        return TMemoryStream::Read(buffer, count < step_ ? count : step_);
    }

private:
    int32_t step_;
    int* freed_;
};

std::u16string ReadAll(TKvUnicodeReader& reader)
{
    std::u16string out;
    while (reader.ReadChar())
        out += reader.Char();
    return out;
}

std::string Utf16Bytes(const std::u16string& units)
{
    std::string bytes;
    for (char16_t u : units) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return bytes;
}

class TestReader : public TKvUnicodeReader {
public:
    using TKvUnicodeReader::PushSource;
    using TKvUnicodeReader::SuspendedCount;
};

} // namespace

class KvUnicodeTest : public LiveBufferTest {};

TEST_F(KvUnicodeTest, LinesAndColumns)
{
    for (const char* text : {"a\r\nb", "a\rb", "a\nb"}) {
        TKvUnicodeReader reader;
        reader.SetSourceString(text);
        EXPECT_EQ(1, reader.Line());
        EXPECT_EQ(0, reader.Column());
        while (reader.ReadChar() && reader.Char() != u'b') {
        }
        ASSERT_TRUE(reader.HasChar()) << text;
        EXPECT_EQ(2, reader.Line()) << text;
        EXPECT_EQ(1, reader.Column()) << text;
        EXPECT_EQ(static_cast<int32_t>(std::string(text).size()), reader.Position());
        EXPECT_FALSE(reader.ReadChar());
        EXPECT_FALSE(reader.HasChar());
    }
    TKvUnicodeReader reader;
    reader.SetSourceString("ab\r\n\r\ncd");
    std::vector<std::pair<int, int>> at;
    while (reader.ReadChar())
        at.push_back({reader.Line(), reader.Column()});
    EXPECT_EQ((std::vector<std::pair<int, int>>{
                  {1, 1}, {1, 2}, {1, 3}, {1, 3}, {2, 1}, {2, 1}, {3, 1}, {3, 2}}),
              at);
}

TEST(TextKvUnicode, EightBitSourceKeepsEveryByteValue)
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    TKvUnicodeReader reader;
    reader.SetSourceString(bytes);
    std::u16string out = ReadAll(reader);
    ASSERT_EQ(256u, out.size());
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(i, out[i]) << "byte " << i << " under code page " << GetACP();
}

TEST_F(KvUnicodeTest, Utf16SurrogatesThroughBuffersAndTrickleStreams)
{
    struct Case {
        const char* name;
        std::string bytes;
        std::u16string expected;
    } cases[] = {
        {"pair",
         Utf16Bytes(u"a\xD83D\xDE00"
                    u"b"),
         u"a\xD83D\xDE00"
         u"b"},
        {"high then <", Utf16Bytes(u"a\xD800<b"), u"a\xFFFD<b"},
        {"high then high pair", Utf16Bytes(u"\xD800\xD801\xDC01z"), u"\xFFFD\xD801\xDC01z"},
        {"lone low",
         Utf16Bytes(u"a\xDC00"
                    u"b"),
         u"a\xFFFD"
         u"b"},
        {"trailing high", Utf16Bytes(u"a\xD800"), u"a\xFFFD"},
        {"odd last byte", Utf16Bytes(u"ab") + "c", u"ab"},
        {"high then odd byte", Utf16Bytes(u"a\xD800") + "c", u"a\xFFFD"},
    };
    for (const Case& c : cases) {
        for (int total : {0, 4095, 4096, 4097, 9000}) {
            for (int shift = 0; shift < 4; ++shift) {
                int fillerUnits = (total - static_cast<int>(c.bytes.size())) / 2 - shift;
                if (fillerUnits < 0)
                    fillerUnits = 0;
                std::u16string filler(static_cast<size_t>(fillerUnits), u'x');
                std::string bytes = Utf16Bytes(filler) + c.bytes;
                std::u16string expected = filler + c.expected;
                SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(bytes.size()));

                TKvUnicodeReader fromBuffer;
                fromBuffer.SetReadMethods(KvReadMethodsUtf16LE());
                fromBuffer.SetSourceBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
                EXPECT_EQ(expected, ReadAll(fromBuffer));
                for (int step : {1, 3, 4096}) {
                    TKvUnicodeReader fromStream;
                    fromStream.SetReadMethods(KvReadMethodsUtf16LE());
                    fromStream.SetSourceStream(new TrickleStream(bytes, step), true);
                    ASSERT_EQ(expected, ReadAll(fromStream)) << "step " << step;
                    EXPECT_FALSE(fromStream.InStreamMode());
                }
            }
        }
    }
}

TEST_F(KvUnicodeTest, PeekAndLookAhead)
{
    TKvUnicodeReader reader;
    reader.SetSourceString("abc");
    ASSERT_TRUE(reader.ReadChar());
    EXPECT_TRUE(reader.Peek(2));
    EXPECT_EQ(u'b', reader.PeekAt(0));
    EXPECT_EQ(u'c', reader.PeekAt(1));
    EXPECT_FALSE(reader.Peek(3)); // past the end
    EXPECT_EQ(u'a', reader.Char());
    ASSERT_TRUE(reader.ReadChar());
    EXPECT_EQ(u'b', reader.Char());
    EXPECT_EQ(2, reader.Position());
    ASSERT_TRUE(reader.ReadChar());
    EXPECT_EQ(u'c', reader.Char());
    EXPECT_FALSE(reader.ReadChar());
    EXPECT_FALSE(reader.Peek(1));
}

TEST_F(KvUnicodeTest, SwitchingMethodsKeepsTheLookAheadAsDecoded)
{
    // "<b" in UTF-16LE then "cd" as 8-bit bytes.
    std::string bytes = Utf16Bytes(u"<b") + "cd";
    TKvUnicodeReader reader;
    reader.SetReadMethods(KvReadMethodsUtf16LE());
    reader.SetSourceBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    ASSERT_TRUE(reader.ReadChar());
    ASSERT_TRUE(reader.Peek(1));
    reader.SetReadMethods(KvReadMethods8Bit());
    EXPECT_EQ(u"bcd", ReadAll(reader));
}

TEST_F(KvUnicodeTest, StreamModeRefusesBufferSources)
{
    TKvUnicodeReader reader;
    int freed = 0;
    reader.SetSourceStream(new TrickleStream("xyz", 2, &freed), true);
    const char* text = "Class TKvUnicodeReader: Operation not allowed in Source Stream Mode";
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { reader.SetSourceString("a"); }, text));
    EXPECT_TRUE(
        ThrowsWith<EKvContainerError>([&] { reader.SetSourceWideString(WideString(u"a")); }, text));
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { reader.SetSourceBuffer("a", 1); }, text));
    EXPECT_EQ(u"xyz", ReadAll(reader));
    EXPECT_EQ(1, freed); // an owned stream is freed when it ends
    reader.SetSourceString("after");
    EXPECT_EQ(u"after", ReadAll(reader));

    // Replacing a stream source frees the owned one too.
    reader.SetSourceStream(new TrickleStream("abc", 8, &freed), true);
    reader.SetSourceStream(nullptr, false);
    EXPECT_EQ(2, freed);
}

TEST_F(KvUnicodeTest, PushedSourceResumesWithItsState)
{
    TestReader reader;
    int freed = 0;
    reader.SetSourceString("ab\ncd", WideString(u"outer"));
    ASSERT_TRUE(reader.ReadChar()); // a
    ASSERT_TRUE(reader.ReadChar()); // b
    ASSERT_TRUE(reader.ReadChar()); // LF
    int line = reader.Line(), column = reader.Column(), position = reader.Position();
    reader.PushSource();
    reader.SetReadMethods(KvReadMethodsUtf16LE());
    reader.SetSourceStream(new TrickleStream(Utf16Bytes(u"XY"), 1, &freed), true,
                           WideString(u"inner"));
    EXPECT_EQ(1, reader.SuspendedCount());
    EXPECT_EQ(u"inner", reader.SourceName().View());
    ASSERT_TRUE(reader.ReadChar());
    EXPECT_EQ(u'X', reader.Char());
    EXPECT_EQ(1, reader.Line());
    ASSERT_TRUE(reader.ReadChar());
    EXPECT_EQ(u'Y', reader.Char());
    // The inner source ends: the outer one resumes, 8-bit, where it stood.
    ASSERT_TRUE(reader.ReadChar());
    EXPECT_EQ(1, freed);
    EXPECT_EQ(0, reader.SuspendedCount());
    EXPECT_EQ(u"outer", reader.SourceName().View());
    EXPECT_EQ(u'c', reader.Char());
    EXPECT_EQ(position + 1, reader.Position());
    EXPECT_EQ(line + 1, reader.Line());
    EXPECT_EQ(1, reader.Column());
    (void)column;
    EXPECT_EQ(KvReadMethods8Bit().ReadChar, reader.ReadMethods().ReadChar);
    EXPECT_EQ(u"d", ReadAll(reader));

    // Characters already looked ahead stay with their source and come back, as
    // decoded, when it resumes; a look-ahead across the resumption takes the
    // resumed source's counters only when ReadChar reaches its characters.
    {
        TestReader peeked;
        peeked.SetSourceString("a\nbc");
        ASSERT_TRUE(peeked.ReadChar());
        ASSERT_TRUE(peeked.Peek(2));
        peeked.PushSource();
        peeked.SetSourceString("X\n");
        ASSERT_TRUE(peeked.ReadChar());
        ASSERT_TRUE(peeked.ReadChar());
        EXPECT_EQ(u'\n', peeked.Char());
        ASSERT_TRUE(peeked.Peek(2));
        EXPECT_EQ(u'\n', peeked.PeekAt(0));
        EXPECT_EQ(u'b', peeked.PeekAt(1));
        EXPECT_EQ(2, peeked.Position()); // still the inner source's
        std::vector<std::vector<int>> at;
        while (peeked.ReadChar())
            at.push_back({peeked.Char(), peeked.Position(), peeked.Line(), peeked.Column()});
        EXPECT_EQ((std::vector<std::vector<int>>{{'\n', 2, 1, 2}, {'b', 3, 2, 1}, {'c', 4, 2, 2}}),
                  at);
    }

    // A reader freed with suspended sources frees their owned streams.
    {
        TestReader other;
        other.SetSourceStream(new TrickleStream("a", 1, &freed), true);
        other.PushSource();
        other.SetSourceStream(new TrickleStream("b", 1, &freed), true);
    }
    EXPECT_EQ(3, freed);
}

namespace {
int gInits = 0, gFinishes = 0;
void CountInit(TKvUnicodeReader&)
{
    ++gInits;
}
void CountFinish(TKvUnicodeReader&)
{
    ++gFinishes;
}
} // namespace

TEST_F(KvUnicodeTest, SetReadMethodsOrder)
{
    TKvUnicodeReader reader;
    const TKvUnicodeReadMethods counted{&CountInit, nullptr, &CountFinish};
    reader.SetReadMethods(counted);
    EXPECT_EQ(1, gInits);
    EXPECT_EQ(0, gFinishes);
    // Without a ReadChar the 8-bit one is used.
    EXPECT_EQ(KvReadMethods8Bit().ReadChar, reader.ReadMethods().ReadChar);
    reader.SetReadMethods(KvReadMethodsUtf16LE());
    EXPECT_EQ(1, gFinishes);
    EXPECT_EQ(1, gInits);
}

TEST_F(KvUnicodeTest, DataBufferAndScanners)
{
    TKvUnicodeReader reader;
    reader.AppendChar(u'a');
    EXPECT_EQ(4, reader.DataCapacity());
    reader.AppendBuf(u"bcdefgh", 4); // needs 5: (1 + 5 + 4) & ~3 = 8
    EXPECT_EQ(8, reader.DataCapacity());
    reader.AppendString(WideString(u"fghij")); // needs 10: (2 + 10 + 4) & ~3 = 16
    EXPECT_EQ(16, reader.DataCapacity());
    EXPECT_EQ(u"abcdefghij", reader.DataAsString().View());
    reader.AppendBuf(reader.Data() + 2, 8); // a slice of the data while it grows
    EXPECT_EQ(u"abcdefghijcdefghij", reader.DataAsString().View());
    reader.ClearData();
    reader.AppendSpace();
    reader.AppendSpace();
    reader.AppendCollapsed(u'\t');
    reader.AppendCollapsed(u'x');
    reader.AppendCollapsed(u'\n');
    EXPECT_EQ(u" x ", reader.DataAsString().View());
    EXPECT_EQ(u"x ", reader.DataAsStringTrimLeft().View());

    reader.SetSourceString("  name=value;  rest>");
    reader.ClearData();
    reader.ReadChar();
    reader.SkipWhile(&IsWideSpace);
    reader.ReadWhile(&IsNameChar);
    EXPECT_EQ(u"name", reader.DataAsString().View());
    EXPECT_EQ(u'=', reader.Char());
    reader.ReadChar();
    reader.ClearData();
    reader.ReadUntilChar(u';', u'>');
    EXPECT_EQ(u"value", reader.DataAsString().View());
    reader.ReadChar();
    reader.SkipWhileChar(u' ');
    EXPECT_EQ(u'r', reader.Char());
    reader.ClearData();
    reader.ReadUntil(&IsSpaceDashOrGt);
    EXPECT_EQ(u"rest", reader.DataAsString().View());
    reader.SkipUntilChar(u'x', u'y', u'z');
    EXPECT_FALSE(reader.HasChar()); // stopped at the end of input
}
