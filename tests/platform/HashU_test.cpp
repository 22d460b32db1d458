#include "platform/HashU.h"

#include "platform/EnvelopeTableU.h"
#include "platform/SysUtilsU.h"

#include "KorvTest.h"

#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

uint32_t FixedTick()
{
    return 123456789;
}

// Pins BuildQuery's tick count for one test.
class PinnedTick {
public:
    explicit PinnedTick(TQueryTickSource source) : old_(SetQueryTickSource(source)) {}
    ~PinnedTick() { SetQueryTickSource(old_); }

private:
    TQueryTickSource old_;
};

// The envelope text before coding, from its parts.
std::string Envelope(const std::string& body)
{
    return "_CRC\t" + std::to_string(QueryChecksum(body)) + body;
}

std::string Code(const std::string& text)
{
    return EncodeQueryBase64(XorWithTable(text, kEnvelopeTable));
}

} // namespace

TEST(TextStrHash, TablesHoldTheFixedValues)
{
    const auto& t64 = StrHashTable64();
    const auto& t32 = StrHashTable32();
    EXPECT_EQ(0x1C168B5871CE07A8u, t64[0]);
    EXPECT_EQ(0x684CC31B839CC2F4u, t64[1]);
    EXPECT_EQ(0x95A4703905DFB202u, t64[2]);
    EXPECT_EQ(0x23A9FAC49EEC00AAu, t64[254]);
    EXPECT_EQ(0x1E2D2FADFC380BB4u, t64[255]);
    EXPECT_EQ(0x1C168B58u, t32[0]);
    EXPECT_EQ(0x1E2D2FADu, t32[255]);
    std::set<uint32_t> distinct;
    for (size_t i = 0; i < 256; ++i) {
        EXPECT_EQ(static_cast<uint32_t>(t64[i] >> 32), t32[i]) << i;
        distinct.insert(t32[i]);
    }
    EXPECT_EQ(256u, distinct.size());

    // Every entry takes part in these once: any change to either table shows.
    std::string allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes += static_cast<char>(i);
    EXPECT_EQ(0xE254ECFD77CBB36Au, StrHash64(allBytes, false));
    EXPECT_EQ(0x65DC2614u, StrHash32(allBytes, false));
}

TEST(TextStrHash, PathMacroHashesAreFrozenAndDistinct)
{
    // The path-macro table looks its entries up by these values.
    struct Case {
        const char* macro;
        uint32_t hash;
    };
    const Case cases[] = {
        {"%DESKTOP%", 0x2C7CB061},
        {"%FAVORITES%", 0x45C36B55},
        {"%START_MENU%", 0x7AAFD6EB},
        {"%START_MENUALL%", 0xD695A781},
        {"%START_PROGRAMS%", 0x12B80060},
        {"%START_PROGRAMSALL%", 0x2283AE54},
        {"%STARTUP%", 0x35E26B3E},
        {"%STARTUPALL%", 0xD959A8F2},
        {"%COMMONFILES%", 0xBF3A9860},
        {"%PROGRAMFILES%", 0x71F72C42},
        {"%ALLUSERS_APPDATA%", 0xBD8EE6CF},
        {"%TEMP%", 0xC5C0B91C},
        {"%WINDIR%", 0xA1BBA1ED},
        {"%SYSDIR%", 0x8131D28D},
        {"%SYSTEMROOT%", 0xF3B2D15A},
        {"%SYSTEMDISKROOT%", 0x5471C4E0},
        {"%USERPROFILE%", 0x2D350C46},
        {"%DOWNLOADEDPROGRAMFILES%", 0x425C2707},
        {"%APPDATA%", 0x2E0B206E},
        {"%USERDOCUMENTS%", 0x67F864A8},
        {"%ALLUSERSDOCUMENTS%", 0x95043C38},
        {"%DESKTOPALL%", 0xAE99069F},
        {"%COMMONFILES32%", 0x7C09C736},
        {"%PROGRAMFILES32%", 0xA76E2670},
        {"%COMMONFILES64%", 0x7A891349},
        {"%PROGRAMFILES64%", 0xF5AE5ACF},
        {"%SYSDIR32%", 0x8570EAEB},
        {"%SYSDIR64%", 0xF2316264},
        {"%SYSDIRWOW64%", 0xC1B8767C},
        {"%COMMONPROGRAMFILES%", 0x3EA4C0ED},
        {"%COMMONPROGRAMFILES(x86)%", 0x5875171E},
        {"%PROGRAMFILES(x86)%", 0xF8A62C4B},
    };
    std::set<uint32_t> distinct;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.macro);
        EXPECT_EQ(c.hash, StrHash32(c.macro, true));
        EXPECT_EQ(c.hash, StrHash32(LowerCase(c.macro), false));
        distinct.insert(c.hash);
    }
    EXPECT_EQ(32u, distinct.size());
}

TEST(TextStrHash, EdgeCases)
{
    EXPECT_EQ(1u, StrHash32("", true));
    EXPECT_EQ(1u, StrHash32("", false));
    EXPECT_EQ(1u, StrHash64("", false));
    EXPECT_EQ(StrHash32("%temp%", false), StrHash32("%TEMP%", true));
    EXPECT_NE(StrHash32("%temp%", false), StrHash32("%TEMP%", false));
    // 64-bit arithmetic wraps at 2^64.
    EXPECT_EQ(0x7B40A6E75C57CF4Cu, StrHash64("%TEMP%", true));
    EXPECT_EQ(0x1A16CE9F5A91181Au, StrHash64("Korvelle", false));
    EXPECT_EQ(StrHash64("%temp%", false), StrHash64("%TEMP%", true));
    // Lower-casing is the system's mapping, not ASCII only.
    if (GetACP() == 1252) {
        EXPECT_EQ(StrHash32("\xE4"
                            "b",
                            false),
                  StrHash32("\xC4"
                            "B",
                            true));
    }
}

TEST(TextStrHash, PosEx)
{
    struct Case {
        const char* sub;
        const char* s;
        int offset;
        int expected;
    };
    const Case cases[] = {
        {"b", "abcb", 1, 2},   {"b", "abcb", 2, 2}, {"b", "abcb", 3, 4},  {"b", "abcb", 4, 4},
        {"b", "abcb", 5, 0},   {"b", "abcb", 0, 0}, {"b", "abcb", -1, 0}, {"", "abc", 1, 0},
        {"a", "", 1, 0},       {"x", "abc", 1, 0},  {"bc", "abc", 3, 0},  {"abc", "abc", 1, 1},
        {"abcd", "abc", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sub) + " in " + c.s + " from " + std::to_string(c.offset));
        EXPECT_EQ(c.expected, PosEx(c.sub, c.s, c.offset));
    }
}

TEST(CryptURL, ChecksumIsReducedOnlyAboveItsRange)
{
    EXPECT_EQ(0u, QueryChecksum(""));
    EXPECT_EQ(10965u, QueryChecksum(std::string(300, '\xFF')));
    EXPECT_EQ(65535u, QueryChecksum(std::string(257, '\xFF')));
    EXPECT_EQ(1u, QueryChecksum(std::string(257, '\xFF') + '\x01'));
    EXPECT_EQ(static_cast<uint32_t>('a' + 'b'), QueryChecksum("ab"));
}

TEST(CryptURL, ValuesEscapeAndComeBack)
{
    EXPECT_EQ("a\n3\n1b", EscapeQueryValue("a\r\nb"));
    EXPECT_EQ("\n2x\n1", EscapeQueryValue("\tx\n"));
    const std::vector<std::string> values = {
        "", "plain", "\r", "\n", "\t", "\n1", "\n2\n3", "a\r\nb\tc\n\r", "\n\n1\n11", "x\n",
    };
    for (const std::string& v : values) {
        SCOPED_TRACE(EscapeQueryValue(v));
        const std::string escaped = EscapeQueryValue(v);
        EXPECT_EQ(std::string::npos, escaped.find_first_of("\r\t"));
        EXPECT_EQ(v, UnescapeQueryValue(escaped));
    }
}

TEST(CryptURL, XorLeavesTheFirstByteAndWrapsTheTable)
{
    // The envelope table is shared with the web service: frozen.
    const std::string table(kEnvelopeTable.begin(), kEnvelopeTable.end());
    EXPECT_EQ(0x7D9ACCDAD011DE00u, StrHash64(table, false));

    const std::string data(600, 'A');
    const std::string coded = XorWithTable(data, kEnvelopeTable);
    ASSERT_EQ(data.size(), coded.size());
    EXPECT_EQ('A', coded[0]);
    for (size_t i = 1; i < coded.size(); ++i) {
        ASSERT_EQ(static_cast<unsigned char>('A' ^ kEnvelopeTable[(i - 1) % 256]),
                  static_cast<unsigned char>(coded[i]))
            << i;
    }
    EXPECT_EQ(data, XorWithTable(coded, kEnvelopeTable));
    EXPECT_EQ(data, XorWithTable(data, {}));
    EXPECT_EQ("", XorWithTable("", kEnvelopeTable));
}

TEST(CryptURL, Base64IsUrlSafe)
{
    struct Case {
        std::string bytes;
        const char* text;
    };
    const Case cases[] = {
        {"", ""},
        {"f", "Zg@@"},
        {"fo", "Zm8@"},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg@@"},
        {"\xFB\xFF", "-_8@"},
        {std::string("\0\0\0", 3), "AAAA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.text, EncodeQueryBase64(c.bytes));
        std::string back = "untouched";
        ASSERT_TRUE(DecodeQueryBase64(c.text, back));
        EXPECT_EQ(c.bytes, back);
    }
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (size_t n = 0; n < 6; ++n) {
        const std::string text = EncodeQueryBase64(all.substr(n));
        EXPECT_EQ(std::string::npos, text.find_first_of("+/=")) << text;
    }

    // Received padding may be ".", "@" or "=".
    std::string decoded;
    for (const char* padded : {"Zg..", "Zg@.", "Zg==", "Zm8."}) {
        SCOPED_TRACE(padded);
        EXPECT_TRUE(DecodeQueryBase64(padded, decoded));
    }
    EXPECT_EQ("fo", decoded);

    for (const char* bad :
         {"Zg@", "Z", "Z@@@", "@@@@", "Zg@@Zm9v", "Zm9v!!!!", "Zm v", "Z@g@", "Zm9v\n"}) {
        SCOPED_TRACE(bad);
        std::string out = "untouched";
        EXPECT_FALSE(DecodeQueryBase64(bad, out));
        EXPECT_EQ("untouched", out);
    }
}

TEST(CryptURL, NamesAreUpperCasedAndSetOnce)
{
    TCryptURL url(true);
    EXPECT_EQ(256u, url.Table().size());
    EXPECT_FALSE(url.Valid());
    url.SetValue("uid", "first");
    url.SetValue("lang", "de");
    url.SetValue("UID", "second");
    ASSERT_EQ(2u, url.Pairs().size());
    EXPECT_EQ("UID", url.Pairs()[0].name);
    EXPECT_EQ("second", url.Pairs()[0].value);
    EXPECT_EQ(0, url.IndexOfName("Uid"));
    EXPECT_EQ(1, url.IndexOfName("LANG"));
    EXPECT_EQ(-1, url.IndexOfName("none"));
    EXPECT_EQ("second", url.GetValue("uid"));
    EXPECT_EQ("", url.GetValue("none"));
    EXPECT_TRUE(TCryptURL(false).Table().empty());
}

// Both programs and the web service's stand-in must produce and read this text.
constexpr const char* kGoldenQuery =
    "X5ftRs7wAkvzJIK8TzCXOwbyp8mW5v4lqTqVbBJAzThieRyCUUhCoI0743GZIsCkEPSvIwWypXiDemarYUJfqv8m17yse"
    "eo2RkdrQY1yArJ-";

TEST(CryptURL, BuildsTheGoldenQuery)
{
    PinnedTick tick(&FixedTick);
    TCryptURL url(true);
    url.SetValue("uid", "K-1234-ABCD");
    url.SetValue("ver", "1.0.0.7");
    url.SetValue("lang", "de");
    url.SetValue("note", "a\r\nb\tc");
    std::string query;
    url.BuildQuery(query);
    EXPECT_EQ(kGoldenQuery, query);
    EXPECT_EQ('X', query[0]); // the coded "_": byte 0 is never XORed
    EXPECT_EQ("123456789", url.GetValue("RANDOMIZER"));

    // A second build keeps RANDOMIZER where it was; later pairs follow it.
    url.SetValue("extra", "1");
    url.BuildQuery(query);
    TCryptURL back(true);
    ASSERT_TRUE(back.ParseQuery(query));
    std::vector<std::string> names;
    for (const TQueryPair& p : back.Pairs())
        names.push_back(p.name);
    EXPECT_EQ((std::vector<std::string>{"UID", "VER", "LANG", "NOTE", "RANDOMIZER", "EXTRA"}),
              names);
}

TEST(CryptURL, ParsesWhatItBuilds)
{
    TCryptURL in(true);
    ASSERT_TRUE(in.ParseQuery(kGoldenQuery));
    EXPECT_TRUE(in.Valid());
    ASSERT_EQ(5u, in.Pairs().size());
    EXPECT_EQ("K-1234-ABCD", in.GetValue("uid"));
    EXPECT_EQ("1.0.0.7", in.GetValue("VER"));
    EXPECT_EQ("de", in.GetValue("lang"));
    EXPECT_EQ("a\r\nb\tc", in.GetValue("note"));
    EXPECT_EQ("123456789", in.GetValue("randomizer"));

    // Every build starts with the same coded "_", whatever the pairs and ticks.
    for (const char* value : {"", "x", "\xFF\xFE", "long value with\ttabs\r\nand lines"}) {
        TCryptURL out(true);
        out.SetValue("v", value);
        std::string query;
        out.BuildQuery(query);
        EXPECT_EQ('X', query[0]);
        EXPECT_EQ(std::string::npos, query.find_first_of("+/="));
        TCryptURL again(true);
        ASSERT_TRUE(again.ParseQuery(query));
        EXPECT_EQ(value, again.GetValue("v"));
    }

    // Without the table the envelope is only Base64.
    TCryptURL plain(false);
    plain.SetValue("a", "1");
    std::string query;
    {
        PinnedTick tick(&FixedTick);
        plain.BuildQuery(query);
    }
    std::string text;
    ASSERT_TRUE(DecodeQueryBase64(query, text));
    EXPECT_EQ(Envelope("\rA\t1\rRANDOMIZER\t123456789"), text);
}

TEST(CryptURL, RejectsDamagedQueries)
{
    std::string damaged = kGoldenQuery;
    damaged[40] = damaged[40] == 'A' ? 'B' : 'A';
    TCryptURL url(true);
    url.SetValue("keep", "1");
    EXPECT_FALSE(url.ParseQuery(damaged));
    EXPECT_FALSE(url.Valid());
    ASSERT_EQ(1u, url.Pairs().size());

    ASSERT_TRUE(url.ParseQuery(kGoldenQuery));
    EXPECT_TRUE(url.Valid());
    const std::vector<std::string> bad = {
        "",
        "abc",
        "@@@@",
        "not base64 at all!",
        std::string(kGoldenQuery) + "A",
        Code("_"),
        Code("_CR"),
        Code("_CRC"),
        Code("_CRC\t"),
        Code("_CRC\t\rA\t1"),
        Code("_CRC 0"),
        Code("_CRC\t5"),
        Code("_CRC\t0x\rA\t1"),
        Code("_CRC\t99999999999999999999\rA\t1"),
        Code("_crc\t0"),
        Code("X_CRC\t0"),
    };
    for (const std::string& q : bad) {
        SCOPED_TRACE(q);
        EXPECT_FALSE(url.ParseQuery(q));
        EXPECT_FALSE(url.Valid());
    }
}

TEST(CryptURL, ParseRulesForLines)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<TQueryPair> pairs;
    };
    const std::vector<Case> cases = {
        {"checksum line alone", "_CRC\t0", {}},
        {"one pair", Envelope("\rA\t12"), {{"A", "12"}}},
        {"line without TAB", Envelope("\rFLAG\rB\tx"), {{"FLAG", ""}, {"B", "x"}}},
        {"repeated name keeps the last", Envelope("\rA\t1\rb\t2\ra\t3"), {{"A", "3"}, {"B", "2"}}},
        {"value split at the first TAB only", Envelope("\rA\tx\ty"), {{"A", "x\ty"}}},
        {"escaped value", Envelope("\rA\tl\n1\n3\n2"), {{"A", "l\n\r\t"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string query = Code(c.text);
        for (char& ch : query) {
            if (ch == '@')
                ch = '.';
        }
        TCryptURL url(true);
        ASSERT_TRUE(url.ParseQuery(query)) << query;
        EXPECT_TRUE(url.Valid());
        ASSERT_EQ(c.pairs.size(), url.Pairs().size());
        for (size_t i = 0; i < c.pairs.size(); ++i) {
            EXPECT_EQ(c.pairs[i].name, url.Pairs()[i].name);
            EXPECT_EQ(c.pairs[i].value, url.Pairs()[i].value);
        }
    }
}

TEST(Sha256, KnownDigestsOfTextAndFile)
{
    std::string hex;
    ASSERT_TRUE(Sha256Hex("", hex));
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", hex);
    ASSERT_TRUE(Sha256Hex("abc", hex));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hex);

    // A file larger than one read block gives the digest of its bytes.
    char path[MAX_PATH] = {}, dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    GetTempFileNameA(dir, "kvh", 0, path);
    const std::string bytes(200000, 'x');
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    std::string fromFile, fromText;
    EXPECT_TRUE(FileSha256Hex(path, fromFile));
    EXPECT_TRUE(Sha256Hex(bytes, fromText));
    EXPECT_EQ(fromText, fromFile);
    DeleteFileA(path);
    std::string untouched = "kept";
    EXPECT_FALSE(FileSha256Hex(path, untouched));
    EXPECT_EQ("kept", untouched);

    // Blocks of any size, empty ones among them, give the digest of the
    // whole; a finished hash takes nothing more.
    TSha256 blocks;
    for (size_t at = 0, size = 1; at < bytes.size(); at += size, size = size * 3 + 1) {
        EXPECT_TRUE(blocks.Add(bytes.data() + at, std::min(size, bytes.size() - at)));
        EXPECT_TRUE(blocks.Add(bytes.data(), 0));
    }
    std::string fromBlocks;
    ASSERT_TRUE(blocks.Finish(fromBlocks));
    EXPECT_EQ(fromText, fromBlocks);
    EXPECT_FALSE(blocks.Add("x", 1));
    EXPECT_FALSE(blocks.Finish(untouched));
    EXPECT_EQ("kept", untouched);
}
