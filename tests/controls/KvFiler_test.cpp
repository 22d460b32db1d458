#include "controls/KvCardinalHash.h"
#include "controls/KvFiler.h"
#include "controls/KvWideString2CardinalVector.h"
#include "controls/KvWideStringHash.h"
#include "controls/KvWideStringVector.h"
#include "platform/ClassesU.h"

#include "ControlsTest.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using ctest::LiveBufferTest;
using ctest::Narrow;
using ctest::ThrowsWith;
using ctest::Wide;

namespace {

std::string Hex(const std::string& bytes)
{
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Written(const std::function<void(TKvBinaryWriter&)>& write)
{
    TMemoryStream stream;
    {
        TKvBinaryWriter writer(stream, 4096);
        write(writer);
        writer.FlushBuffer();
    }
    return stream.ToString();
}

void Fill(TMemoryStream& stream, const std::string& bytes)
{
    stream.Clear();
    stream.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.SetPosition(0);
}

// A stream that gives at most `step` bytes per read.
class TrickleStream : public TMemoryStream {
public:
    explicit TrickleStream(int32_t step) : step_(step) {}
    int32_t Read(void* buffer, int32_t count) override
    {
        return TMemoryStream::Read(buffer, count < step_ ? count : step_);
    }

private:
    int32_t step_;
};

} // namespace

TEST(KvFiler, ElementBytes)
{
    struct Case {
        std::function<void(TKvBinaryWriter&)> write;
        const char* hex;
    } cases[] = {
        {[](TKvBinaryWriter& w) { w.WriteInteger(0); }, "02 00"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(100); }, "02 64"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(200); }, "03 C8"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(300); }, "05 2C 01"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(65535); }, "06 FF FF"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(65536); }, "08 00 00 01"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(-1); }, "01 FF"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(-128); }, "01 80"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(-129); }, "04 7F FF"},
        {[](TKvBinaryWriter& w) { w.WriteInteger(INT32_MIN); }, "0A 00 00 00 80"},
        {[](TKvBinaryWriter& w) { w.WriteCardinal(0x80000000u); }, "0C 00 00 00 80"},
        {[](TKvBinaryWriter& w) { w.WriteCardinal(0x7FFFFFFFu); }, "0B FF FF FF 7F"},
        {[](TKvBinaryWriter& w) { w.WriteByte(5); }, "03 05"},
        {[](TKvBinaryWriter& w) { w.WriteWideString(WideString()); }, "22"},
        {[](TKvBinaryWriter& w) { w.WriteWideString(WideString(u"abc")); },
         "23 06 61 00 62 00 63 00"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.hex, Hex(Written(c.write)));
    std::string long200 = Written(
        [](TKvBinaryWriter& w) { w.WriteWideString(WideString(std::u16string(200, u'x'))); });
    EXPECT_EQ("24 90 01 78 00", Hex(long200.substr(0, 5)));
    EXPECT_EQ(403u, long200.size());
}

TEST(KvFiler, ElementsReadBackAndTagsAreChecked)
{
    TMemoryStream stream;
    const int32_t ints[] = {0,          1,  127,  128,  255,    256,    65535,    65536,
                            0x7FFFFFFF, -1, -128, -129, -32768, -32769, INT32_MIN};
    {
        TKvBinaryWriter w(stream, 16); // a small buffer flushes several times
        for (int32_t v : ints)
            w.WriteInteger(v);
        w.WriteCardinal(0xFFFFFFFFu);
        w.WriteWideString(WideString(u"\u00E9t\u00E9"));
        w.WriteWideString(WideString());
        w.WriteByte(200);
        w.FlushBuffer();
    }
    stream.SetPosition(0);
    {
        TKvBinaryReader r(stream, 7);
        for (int32_t v : ints)
            EXPECT_EQ(v, r.ReadInteger());
        EXPECT_EQ(0xFFFFFFFFu, r.ReadCardinal());
        EXPECT_EQ(u"\u00E9t\u00E9", r.ReadWideString().View());
        EXPECT_TRUE(r.ReadWideString().IsEmpty());
        EXPECT_EQ(200, r.ReadByte());
        EXPECT_TRUE(ThrowsWith<EReadError>([&] { r.ReadTag(); }, "Stream read error"));
    }

    struct Refusal {
        const char* bytes;
        std::function<void(TKvBinaryReader&)> read;
    } refusals[] = {
        {"\x0C\x00\x00\x00\x80", [](TKvBinaryReader& r) { r.ReadInteger(); }},
        {"\x0D\x00\x00\x00\x00\x00", [](TKvBinaryReader& r) { r.ReadCardinal(); }},
        {"\x01\xFF", [](TKvBinaryReader& r) { r.ReadCardinal(); }},
        {"\x05\x01\x00", [](TKvBinaryReader& r) { r.ReadByte(); }},
        {"\x22", [](TKvBinaryReader& r) { r.ReadInteger(); }},
        {"\x02\x01", [](TKvBinaryReader& r) { r.ReadWideString(); }},
        {"\x19\x00\x00\x00\x00", [](TKvBinaryReader& r) { r.ReadInteger(); }},
    };
    for (const Refusal& c : refusals) {
        std::string bytes(c.bytes, 1 + std::strlen(c.bytes + 1) + 4);
        Fill(stream, bytes);
        TKvBinaryReader r(stream, 4096);
        EXPECT_TRUE(ThrowsWith<EReadError>([&] { c.read(r); }, "Invalid Element Type"))
            << Hex(bytes.substr(0, 1));
    }
    // Tag 12 is refused as an integer but accepted as a cardinal.
    Fill(stream, std::string("\x0C\x00\x00\x00\x80", 5));
    TKvBinaryReader r(stream, 4096);
    EXPECT_EQ(0x80000000u, r.ReadCardinal());
}

TEST(TextKvFiler, EightBitStringsGoThroughTheSystemCodePage)
{
    TMemoryStream stream;
    Fill(stream, std::string("\x1E\x02\x82\xA0", 4));
    TKvBinaryReader r(stream, 4096);
    WideString s = r.ReadWideString();
    if (GetACP() == 932) {
        EXPECT_EQ(u"\u3042", s.View());
    } else {
        ASSERT_EQ(1252u, GetACP());
        EXPECT_EQ(u"\u201A\u00A0", s.View());
    }
    Fill(stream, std::string("\x1D", 1));
    TKvBinaryReader empty(stream, 4096);
    EXPECT_TRUE(empty.ReadWideString().IsEmpty());
}

TEST(KvFiler, ReaderLeavesTheStreamRightAfterTheLastElement)
{
    TMemoryStream stream;
    std::string bytes = Written([](TKvBinaryWriter& w) {
        w.WriteInteger(300);
        w.WriteWideString(WideString(u"tail"));
    });
    size_t used = bytes.size();
    bytes += std::string(10000, '\x55');
    Fill(stream, bytes);
    {
        TKvBinaryReader r(stream, 4096);
        EXPECT_EQ(300, r.ReadInteger());
        EXPECT_EQ(u"tail", r.ReadWideString().View());
        EXPECT_EQ(4096, stream.GetPosition()); // read ahead
    }
    EXPECT_EQ(static_cast<int64_t>(used), stream.GetPosition());
}

// --- Container persistence -------------------------------------------------------------

class KvFilerContainerTest : public LiveBufferTest {};

namespace {

void FillHash(TKvWideStringHash& hash)
{
    for (const char16_t* k : {u"one", u"two", u"three", u"four", u"five", u"six"}) {
        WideString key(k);
        *static_cast<WideString*>(hash.Insert(&key)) = WideString(k) + WideString(u"!");
    }
    WideString two(u"two"), five(u"five");
    hash.Delete(&two);
    hash.Delete(&five);
}

std::vector<std::string> HashEntries(TKvWideStringHash& hash)
{
    std::vector<std::string> out;
    for (int i = 0; i < hash.SlotCount(); ++i) {
        if (!hash.IsSlotDeleted(i))
            out.push_back(Narrow(*static_cast<WideString*>(hash.PKeyAtSlot(i))) + "=" +
                          Narrow(*static_cast<WideString*>(hash.PItemAtSlot(i))));
    }
    return out;
}

std::vector<std::string> Strings(TKvLinearContainer& c)
{
    std::vector<std::string> out;
    c.Iterate([&](void* item) { out.push_back(Narrow(*static_cast<WideString*>(item))); });
    return out;
}

std::string Save(TKvContainer& c, uint32_t options)
{
    TMemoryStream stream;
    TKvBinaryWriter w(stream, 4096);
    c.WriteToFiler(w, options, nullptr);
    w.FlushBuffer();
    return stream.ToString();
}

void Load(TKvContainer& c, const std::string& bytes, uint32_t options)
{
    TMemoryStream stream;
    Fill(stream, bytes);
    TKvBinaryReader r(stream, 4096);
    c.ReadFromFiler(r, options, nullptr);
}

} // namespace

TEST_F(KvFilerContainerTest, RoundTripsOfEveryKindUnderEveryOptionSet)
{
    for (uint32_t options = 0; options < 8; ++options) {
        SCOPED_TRACE(options);
        TKvWideStringHash hash(KvWideStringKeyHandler());
        FillHash(hash);
        std::string bytes = Save(hash, options);
        EXPECT_EQ((options & kvfoMagic) != 0, bytes.compare(0, 4, "KVHC") == 0);
        TKvWideStringHash hashBack(KvWideStringKeyHandler());
        Load(hashBack, bytes, options);
        EXPECT_EQ(HashEntries(hash), HashEntries(hashBack));
        EXPECT_EQ(4, hashBack.Count());
        WideString six(u"six");
        ASSERT_NE(nullptr, hashBack.Find(&six));
        EXPECT_EQ(u"six!", static_cast<WideString*>(hashBack.Find(&six))->View());

        TKvList list(KvWideStringItemHandler());
        TKvTree tree(KvWideStringItemHandler());
        TKvWideStringVector vector;
        for (const char16_t* s : {u"a", u"", u"ccc"}) {
            *static_cast<WideString*>(list.InsertLast()) = WideString(s);
            *static_cast<WideString*>(vector.InsertLast()) = WideString(s);
        }
        void* root = tree.InsertLast();
        *static_cast<WideString*>(root) = WideString(u"r");
        void* child = tree.InsertLastChild(root);
        *static_cast<WideString*>(child) = WideString(u"c");
        *static_cast<WideString*>(tree.InsertLastChild(child)) = WideString(u"g");
        *static_cast<WideString*>(tree.InsertLastChild(root)) = WideString(u"d");
        *static_cast<WideString*>(tree.InsertLast()) = WideString(u"s");

        TKvList listBack(KvWideStringItemHandler());
        Load(listBack, Save(list, options), options);
        EXPECT_EQ(Strings(list), Strings(listBack));
        TKvWideStringVector vectorBack;
        std::string vbytes = Save(vector, options);
        EXPECT_EQ((options & kvfoMagic) != 0, vbytes.compare(0, 4, "KVVC") == 0);
        Load(vectorBack, vbytes, options);
        EXPECT_EQ(Strings(vector), Strings(vectorBack));
        TKvTree treeBack(KvWideStringItemHandler());
        Load(treeBack, Save(tree, options), options);
        EXPECT_EQ(Strings(tree), Strings(treeBack));
        void* c = treeBack.FirstChildItem(treeBack.PFirstItem());
        EXPECT_EQ(u"c", static_cast<WideString*>(c)->View());
        EXPECT_EQ(u"g", static_cast<WideString*>(treeBack.FirstChildItem(c))->View());
    }
}

TEST_F(KvFilerContainerTest, HashLayoutCountsOnlyLiveEntries)
{
    TKvCardinalHash hash(KvWideStringKeyHandlerCI());
    for (const char16_t* k : {u"a", u"b", u"c"}) {
        WideString key(k);
        *static_cast<uint32_t*>(hash.Insert(&key)) = k[0];
    }
    WideString b(u"b");
    hash.Delete(&b);
    // Magic, version 1, header ItemSize, count 2, then key/item pairs.
    std::string expected = "KVHC";
    expected += std::string("\x02\x01", 2);
    expected += std::string("\x02", 1) + static_cast<char>(sizeof(uint32_t));
    expected += std::string("\x02\x02", 2);
    expected += std::string("\x23\x02"
                            "a\x00"
                            "\x02"
                            "a",
                            6);
    expected += std::string("\x23\x02"
                            "c\x00"
                            "\x02"
                            "c",
                            6);
    EXPECT_EQ(Hex(expected), Hex(Save(hash, kvfoAll)));
}

TEST_F(KvFilerContainerTest, BadStreams)
{
    TKvWideString2CardinalVector v;
    v.Add(WideString(u"name"), WideString(u"value"), 7);
    v.Add(WideString(u"n2"), WideString(u"v2"), 8);
    std::string good = Save(v, kvfoAll);

    struct Case {
        std::string bytes;
        const char* text;
        bool readError;
        int countAfter; // refused prologues leave the old item; entries read stay
    };
    std::vector<Case> cases = {
        {good.substr(0, good.size() - 3), "Stream read error", true, 1},
        {"KVXC" + good.substr(4), "Class TKvWideString2CardinalVector: Invalid stream format",
         false, 1},
        {"KVVC" + std::string("\x02\x02", 2) + good.substr(6),
         "Class TKvWideString2CardinalVector: Invalid stream format", false, 1},
        {"KVVC" + std::string("\x02\x01\x02\x08", 4) + good.substr(8),
         "Class TKvWideString2CardinalVector: Invalid ItemSize (8)", false, 1},
        // A string claiming $7FFFFFF0 bytes in a stream of twenty.
        {"KVVC" + good.substr(4, 4) + std::string("\x02\x01\x26\xF0\xFF\xFF\x7F", 7) +
             std::string(7, 'x'),
         "Stream read error", true, 0},
        // An odd WideString byte length.
        {"KVVC" + good.substr(4, 4) + std::string("\x02\x01\x23\x03xyz", 7), "Stream read error",
         true, 0},
    };
    // A count of $7FFFFFFF over one record: each item is read before the next
    // is made, so the stream's end stops it.
    cases.push_back(
        {"KVVC" + good.substr(4, 4) + std::string("\x0B\xFF\xFF\xFF\x7F", 5) + good.substr(10, 24),
         "Stream read error", true, 1});
    for (const Case& c : cases) {
        TKvWideString2CardinalVector back;
        back.Add(WideString(u"old"), WideString(), 1);
        KvResetLargestRequest();
        bool ok =
            c.readError
                ? ThrowsWith<EReadError>([&] { Load(back, c.bytes, kvfoAll); }, c.text)
                : ThrowsWith<EKvContainerError>([&] { Load(back, c.bytes, kvfoAll); }, c.text);
        EXPECT_TRUE(ok) << c.text << " " << Hex(c.bytes.substr(0, 12));
        EXPECT_EQ(c.countAfter, back.Count()) << c.text;
        // Nothing was sized from the corrupt lengths and counts.
        EXPECT_LE(KvLargestRequest(), 4096u) << c.text;
    }

    // A hash count of 2^31 over three entries: fails at the stream's end with
    // the three entries read, and no memory was reserved for the count.
    TKvCardinalHash hash(KvCardinalKeyHandler());
    std::string hashBytes =
        "KVHC" + std::string("\x02\x01\x02\x04", 4) + std::string("\x0C\x00\x00\x00\x80", 5);
    for (char k = 1; k <= 3; ++k)
        hashBytes +=
            std::string("\x02", 1) + k + std::string("\x02", 1) + static_cast<char>(k * 10);
    KvResetLargestRequest();
    EXPECT_TRUE(
        ThrowsWith<EReadError>([&] { Load(hash, hashBytes, kvfoAll); }, "Stream read error"));
    EXPECT_LE(KvLargestRequest(), 4096u);
    EXPECT_EQ(3, hash.Count());
    for (uint32_t k = 1; k <= 3; ++k) {
        ASSERT_NE(nullptr, hash.Find(&k));
        EXPECT_EQ(k * 10, *static_cast<uint32_t*>(hash.Find(&k)));
    }
}

TEST_F(KvFilerContainerTest, HashCutAfterThreeOfFiveFindsThoseThree)
{
    TKvWideStringHash hash(KvWideStringKeyHandlerCI());
    for (const char16_t* k : {u"k1", u"k2", u"k3", u"k4", u"k5"}) {
        WideString key(k);
        *static_cast<WideString*>(hash.Insert(&key)) = WideString(k);
    }
    std::string bytes = Save(hash, kvfoAll);
    // Find where the fourth key starts: after the prologue and three entries.
    size_t cut = bytes.find(std::string("\x23\x04k\x00"
                                        "4",
                                        5));
    ASSERT_NE(std::string::npos, cut);
    TKvWideStringHash back(KvWideStringKeyHandlerCI());
    EXPECT_TRUE(ThrowsWith<EReadError>([&] { Load(back, bytes.substr(0, cut + 3), kvfoAll); },
                                       "Stream read error"));
    EXPECT_EQ(3, back.Count());
    for (const char16_t* k : {u"K1", u"k2", u"K3"}) {
        WideString key(k);
        EXPECT_NE(nullptr, back.Find(&key)) << Narrow(key);
    }
    WideString k4(u"k4");
    EXPECT_EQ(nullptr, back.Find(&k4));
}

TEST_F(KvFilerContainerTest, TreeCutPartWayKeepsTheNodesRead)
{
    TKvTree tree(KvWideStringItemHandler());
    void* a = tree.InsertLast();
    *static_cast<WideString*>(a) = WideString(u"a");
    *static_cast<WideString*>(tree.InsertLastChild(a)) = WideString(u"a1");
    *static_cast<WideString*>(tree.InsertLast()) = WideString(u"bbbb");
    std::string bytes = Save(tree, kvfoAll);
    // Cut inside the last node's string: "a" and "a1" are whole, "bbbb" is not.
    TKvTree back(KvWideStringItemHandler());
    EXPECT_TRUE(ThrowsWith<EReadError>(
        [&] { Load(back, bytes.substr(0, bytes.size() - 2), kvfoAll); }, "Stream read error"));
    EXPECT_EQ((std::vector<std::string>{"a", "a1"}), Strings(back));
    EXPECT_EQ(2, back.Count());
    EXPECT_EQ(nullptr, back.NextSiblingItem(back.PFirstItem()));
}

TEST_F(KvFilerContainerTest, MissingCallbacks)
{
    auto* h = new TKvItemHandler();
    h->SetItemSize(4);
    {
        TKvVector v(h);
        TMemoryStream stream;
        TKvBinaryWriter w(stream, 64);
        TKvBinaryReader r(stream, 64);
        EXPECT_TRUE(
            ThrowsWith<EKvContainerError>([&] { v.WriteToFiler(w, kvfoAll, nullptr); },
                                          "Class TKvItemHandler: OnWriteItem not assigned"));
        EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { v.ReadFromFiler(r, kvfoAll, nullptr); },
                                                  "Class TKvItemHandler: OnReadItem not assigned"));
        auto* keys = new TKvKeyHandler();
        keys->SetKeySize(4);
        {
            TKvHash bare(KvCardinalItemHandler(), keys);
            EXPECT_TRUE(
                ThrowsWith<EKvContainerError>([&] { bare.WriteToFiler(w, kvfoAll, nullptr); },
                                              "Class TKvKeyHandler: OnWriteKey not assigned"));
            EXPECT_TRUE(
                ThrowsWith<EKvContainerError>([&] { bare.ReadFromFiler(r, kvfoAll, nullptr); },
                                              "Class TKvKeyHandler: OnReadKey not assigned"));
        }
        keys->Free();
        EXPECT_EQ(0, stream.GetSize());
    }
    h->Free();
}

TEST_F(KvFilerContainerTest, DeepTreeStreamsWithoutRecursion)
{
    constexpr int kDepth = 100000;
    TKvTree tree(KvCardinalItemHandler());
    void* parent = nullptr;
    for (int i = 0; i < kDepth; ++i) {
        parent = tree.InsertLastChild(parent);
        *static_cast<uint32_t*>(parent) = static_cast<uint32_t>(i);
    }
    std::string bytes = Save(tree, kvfoAll);
    TKvTree back(KvCardinalItemHandler());
    Load(back, bytes, kvfoAll);
    EXPECT_EQ(kDepth, back.Count());
    EXPECT_EQ(static_cast<uint32_t>(kDepth - 1), *static_cast<uint32_t*>(back.PLastItem()));
    back.Clear();
}

namespace {

// The property filer as the class library's streaming would drive it.
class RecordingFiler : public TKvPropertyFiler {
public:
    void DefineBinaryProperty(const std::string& name, TStreamProc readData, TStreamProc writeData,
                              bool hasData) override
    {
        names.push_back(name);
        stored.push_back(hasData);
        read = std::move(readData);
        write = std::move(writeData);
    }
    std::vector<std::string> names;
    std::vector<bool> stored;
    TStreamProc read, write;
};

} // namespace

TEST_F(KvFilerContainerTest, BinaryPropertyNamedAfterTheClass)
{
    TKvWideStringVector empty;
    RecordingFiler filer;
    empty.DefineProperties(filer);
    ASSERT_EQ(1u, filer.names.size());
    EXPECT_EQ("TKvWideStringVector", filer.names[0]);
    EXPECT_FALSE(filer.stored[0]); // an empty container is not stored

    TKvWideStringVector v;
    v.Add(WideString(u"x"));
    v.DefineProperties(filer);
    EXPECT_TRUE(filer.stored[1]);
    TMemoryStream stream;
    filer.write(&stream);
    EXPECT_EQ("KVVC", stream.ToString().substr(0, 4));
    stream.Write("after", 5);
    stream.SetPosition(0);
    TKvWideStringVector back;
    back.DefineProperties(filer);
    filer.read(&stream);
    EXPECT_EQ(1, back.Count());
    EXPECT_EQ(u"x", back.At(0).View());
    // The reader gave back what it read ahead.
    EXPECT_EQ(stream.GetSize() - 5, stream.GetPosition());
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { filer.read(nullptr); },
                                              "Class TKvWideStringVector: Stream is nil"));
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { filer.write(nullptr); },
                                              "Class TKvWideStringVector: Stream is nil"));
}

TEST(KvFiler, TrickleStreamReadsTheSame)
{
    std::string bytes = Written([](TKvBinaryWriter& w) {
        for (int i = 0; i < 500; ++i)
            w.WriteInteger(i * 977);
        w.WriteWideString(WideString(std::u16string(3000, u'q')));
    });
    TrickleStream stream(3);
    Fill(stream, bytes);
    TKvBinaryReader r(stream, 4096);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(i * 977, r.ReadInteger());
    EXPECT_EQ(3000, r.ReadWideString().Length());
}
