// The PNG picture: decoding every colour type and depth, the round trip, the
// chunk list, and hostile files.

#include "controls/KvPng.h"
#include "controls/KvWideStrings.h"
#include "KorvTest.h"
#include "tests/controls/PngBuilder.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace pngtest;

namespace {

struct TDecodeCase {
    const char* name;
    int colorType;
    int depth;
    bool interlaced;
    bool withTrns;
};

// Every colour type at every depth it allows; tRNS where the type takes one.
constexpr TDecodeCase kDecodeCases[] = {
    {"grey1", 0, 1, false, false},        {"grey2", 0, 2, false, false},
    {"grey4", 0, 4, false, false},        {"grey8", 0, 8, false, false},
    {"grey16", 0, 16, false, false},      {"grey8_trns", 0, 8, false, true},
    {"grey16_trns", 0, 16, false, true},  {"grey2_trns", 0, 2, false, true},
    {"rgb8", 2, 8, false, false},         {"rgb16", 2, 16, false, false},
    {"rgb8_trns", 2, 8, false, true},     {"rgb16_trns", 2, 16, false, true},
    {"pal1", 3, 1, false, false},         {"pal2", 3, 2, false, false},
    {"pal4", 3, 4, false, false},         {"pal8", 3, 8, false, false},
    {"pal4_trns", 3, 4, false, true},     {"pal8_trns", 3, 8, false, true},
    {"greyalpha8", 4, 8, false, false},   {"greyalpha16", 4, 16, false, false},
    {"rgba8", 6, 8, false, false},        {"rgba16", 6, 16, false, false},
    {"rgba8_adam7", 6, 8, true, false},   {"pal2_trns_adam7", 3, 2, true, true},
    {"grey1_adam7", 0, 1, true, false},   {"rgb16_trns_adam7", 2, 16, true, true},
};

std::string Hex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool Load(TPNGPicture& picture, const std::string& bytes)
{
    TMemoryStream stream;
    if (!bytes.empty())
        stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.SetPosition(0);
    return picture.LoadFromStream(stream);
}

std::string Save(const TPNGPicture& picture)
{
    TMemoryStream stream;
    EXPECT_TRUE(picture.SaveToStream(stream)) << picture.LastError();
    return stream.ToString();
}

// Evidence of what this test program wrote, for the host-side pngfix check.
void KeepWritten(const std::string& name, const std::string& bytes)
{
    std::wstring dir = ktest::EvidenceDir() + L"png\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring path = dir + std::wstring(name.begin(), name.end()) + L".png";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    ASSERT_EQ(written, bytes.size());
}

} // namespace

TEST(PngDecode, EveryColourTypeAndDepthGivesEightBitBgra)
{
    for (const TDecodeCase& c : kDecodeCases) {
        SCOPED_TRACE(c.name);
        TSampleImage source = MakeSamples(10, 7, c.colorType, c.depth, c.withTrns);
        TPNGPicture picture;
        ASSERT_TRUE(Load(picture, EncodeSamples(source, c.interlaced))) << picture.LastError();
        ASSERT_EQ(picture.Width(), 10);
        ASSERT_EQ(picture.Height(), 7);
        EXPECT_EQ(picture.HasAlpha(), c.colorType == 4 || c.colorType == 6 || c.withTrns);
        std::vector<uint8_t> expected = ExpectedBgra(source);
        // Some pixel must be transparent where tRNS is in play, or the case proves nothing.
        if (c.withTrns) {
            EXPECT_EQ(expected[3], 0);
        }
        EXPECT_EQ(Hex(picture.Pixels(), expected.size()), Hex(expected.data(), expected.size()));

        // Saved and loaded again: the same pixels, the alpha flag kept.
        std::string written = Save(picture);
        KeepWritten(std::string("decode_") + c.name, written);
        TPNGPicture again;
        ASSERT_TRUE(Load(again, written)) << again.LastError();
        EXPECT_EQ(again.HasAlpha(), picture.HasAlpha());
        EXPECT_EQ(Hex(again.Pixels(), expected.size()), Hex(expected.data(), expected.size()));
    }
}

TEST(PngChunks, TextKeepsOrderAndSideAndNewChunksLandBeforeEnd)
{
    TSampleImage source = MakeSamples(4, 3, 6, 8, false);
    std::vector<TRawChunk> before = {{"tEXt", std::string("URL\0first", 9)},
                                     {"prIv", std::string("\x01\x02\x00\x03", 4)},
                                     {"zTXt", std::string("Comment\0\0x\x9c\x03\x00\x00\x00\x00\x01", 17)}};
    std::vector<TRawChunk> after = {{"tEXt", std::string("URL\0second", 10)},
                                    {"tEXt", std::string("Title\0third", 11)}};
    TPNGPicture picture;
    ASSERT_TRUE(Load(picture, EncodeSamples(source, false, before, after))) << picture.LastError();

    std::vector<TPngChunk*> texts = picture.TextChunks();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0]->Keyword(), "URL");
    EXPECT_EQ(texts[0]->Text(), "first");
    EXPECT_EQ(texts[0]->Place(), TPngChunkPlace::BeforePalette);
    EXPECT_EQ(texts[1]->Text(), "second");
    EXPECT_EQ(texts[1]->Place(), TPngChunkPlace::AfterData);
    EXPECT_EQ(texts[2]->Keyword(), "Title");
    EXPECT_EQ(picture.Chunks().size(), 5u);

    // A reference taken now survives the list's growth.
    TPngChunk* first = texts[0];
    for (int i = 0; i < 40; ++i)
        ASSERT_NE(picture.AddTextChunk("Extra", "x"), nullptr);
    TPngChunk* fourth = picture.AddTextChunk("URL", "click:1,2,3,4\r\nurl:http://h/");
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(first->Text(), "first");
    first->SetText("changed");

    std::string written = Save(picture);
    KeepWritten("chunk_order", written);
    std::vector<std::string> order;
    for (const TRawChunk& chunk : SplitChunks(written))
        if (chunk.type != "tEXt" || chunk.data.rfind("Extra", 0) != 0)
            order.push_back(chunk.type + (chunk.type == "tEXt" ? ":" + chunk.data.substr(chunk.data.find('\0') + 1) : ""));
    std::vector<std::string> expected = {"IHDR",         "tEXt:changed", "prIv",
                                         "zTXt",         "IDAT",         "tEXt:second",
                                         "tEXt:third",   "tEXt:click:1,2,3,4\r\nurl:http://h/", "IEND"};
    EXPECT_EQ(order, expected);

    TPNGPicture again;
    ASSERT_TRUE(Load(again, written)) << again.LastError();
    ASSERT_EQ(again.TextChunks().size(), 44u);
    EXPECT_EQ(again.TextChunks().back()->Text(), "click:1,2,3,4\r\nurl:http://h/");
    EXPECT_EQ(again.Chunks()[1]->Data(), std::string("\x01\x02\x00\x03", 4));
}

TEST(PngChunks, KeywordsAndTextAreChecked)
{
    TPNGPicture picture;
    picture.SetSize(2, 2, true);
    EXPECT_EQ(picture.AddTextChunk("", "x"), nullptr);
    EXPECT_EQ(picture.AddTextChunk(std::string(80, 'k'), "x"), nullptr);
    EXPECT_EQ(picture.AddTextChunk(std::string("a\0b", 3), "x"), nullptr);
    EXPECT_NE(picture.AddTextChunk(std::string(79, 'k'), "x"), nullptr);
    TPngChunk* chunk = picture.AddTextChunk("URL", std::string("a\0b", 3));
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->Text(), "ab");
    EXPECT_EQ(chunk->Data(), std::string("URL\0ab", 6));
}

TEST(PngLimits, HostileFilesFailCleanly)
{
    TSampleImage source = MakeSamples(10, 7, 6, 8, false);
    std::vector<TRawChunk> text = {{"tEXt", std::string("URL\0click:1,2,3,4", 17)}};
    const std::string good = EncodeSamples(source, false, text);
    std::vector<TRawChunk> chunks = SplitChunks(good);
    ASSERT_EQ(chunks[2].type, "IDAT");
    const size_t idatAt = ChunkOffset(good, 2);
    const size_t idatEnd = idatAt + 12 + chunks[2].data.size();

    std::string badIhdrCrc = good;
    badIhdrCrc[8 + 8 + 13] ^= 0x01;
    std::string badIdatCrc = good;
    badIdatCrc[idatEnd - 1] ^= 0x01;
    std::string pastEnd = good;
    PutBigEndian(pastEnd, idatAt, static_cast<uint32_t>(chunks[2].data.size() + 5000));
    std::string huge = PngFile({Ihdr(100000, 100000, 8, 6, 0), {"IDAT", Deflate(std::string(64, '\0'))}});
    std::string tooManyPixels = PngFile({Ihdr(8192, 4096, 8, 2, 0), {"IDAT", Deflate(std::string(64, '\0'))}});
    std::string tooWide = PngFile({Ihdr(8193, 1, 8, 2, 0), {"IDAT", Deflate(std::string(64, '\0'))}});
    std::string unknownCritical = good;
    unknownCritical.insert(idatAt, RawChunk("CRIt", "data"));
    // Found by the reader fuzzer: a suggested-palette chunk whose length says
    // 128 MB in a file of 400 bytes made libpng allocate the 128 MB.
    std::string paletteLength = good;
    std::string splt = RawChunk("sPLT", std::string("p\0\x08", 3) + std::string(30, 'x'));
    PutBigEndian(splt, 0, 0x08000025);
    paletteLength.insert(idatAt, splt);

    struct TCase {
        const char* name;
        std::string bytes;
    };
    const TCase cases[] = {
        {"empty", ""},
        {"not a PNG", "GIF89a\x01\x00\x01\x00\x00\x00\x00;"},
        {"signature only", good.substr(0, 8)},
        {"inside IHDR", good.substr(0, 20)},
        {"after IHDR", good.substr(0, 33)},
        {"inside IDAT", good.substr(0, idatAt + 20)},
        {"before IEND", good.substr(0, good.size() - 12)},
        {"last byte missing", good.substr(0, good.size() - 1)},
        {"bad IHDR CRC", badIhdrCrc},
        {"bad IDAT CRC", badIdatCrc},
        {"length past the end", pastEnd},
        {"100000 x 100000", huge},
        {"over 16 M pixels", tooManyPixels},
        {"8193 wide", tooWide},
        {"unknown critical chunk", unknownCritical},
        {"sPLT length of 128 MB", paletteLength},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TPNGPicture picture;
        ASSERT_TRUE(Load(picture, good));
        KvResetLargestRequest();
        EXPECT_FALSE(Load(picture, c.bytes));
        EXPECT_TRUE(picture.Empty());
        EXPECT_EQ(picture.Pixels(), nullptr);
        EXPECT_TRUE(picture.Chunks().empty());
        EXPECT_FALSE(picture.LastError().empty());
        EXPECT_LE(KvLargestRequest(), kPngMaxChunkBytes);
    }
}

TEST(PngLimits, DamagedAncillaryChunksAreDroppedAndTheRestLoads)
{
    TSampleImage source = MakeSamples(10, 7, 2, 8, false);
    std::vector<TRawChunk> before = {{"tEXt", std::string("URL\0kept", 8)}};
    std::string bytes = EncodeSamples(source, false, before);
    // A second text chunk whose CRC is wrong, and one far above the chunk limit.
    std::string damaged = RawChunk("tEXt", std::string("URL\0damaged", 11));
    damaged.back() ^= 0x55;
    std::string oversized = RawChunk("tEXt", "Big" + std::string(1, '\0') + std::string(kPngMaxChunkBytes + 10, 'x'));
    // One that libpng interprets itself, as large.
    std::string palette =
        RawChunk("sPLT", std::string("p\0\x08", 3) + std::string(kPngMaxChunkBytes + 6, 'x'));
    size_t idatAt = ChunkOffset(bytes, 2);
    bytes.insert(idatAt, damaged + oversized + palette);

    TPNGPicture picture;
    KvResetLargestRequest();
    ASSERT_TRUE(Load(picture, bytes)) << picture.LastError();
    ASSERT_EQ(picture.TextChunks().size(), 1u);
    EXPECT_EQ(picture.TextChunks()[0]->Text(), "kept");
    EXPECT_LE(KvLargestRequest(), kPngMaxChunkBytes);
    std::vector<uint8_t> expected = ExpectedBgra(source);
    EXPECT_EQ(Hex(picture.Pixels(), expected.size()), Hex(expected.data(), expected.size()));
}

TEST(PngFiles, FileAndResourceLoadsAndAFailedSaveLeavesNoFile)
{
    TPNGPicture picture;
    picture.SetSize(3, 2, true);
    picture.MutablePixels()[0] = 0x12;
    picture.MutablePixels()[3] = 0x80;
    picture.Modified();
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    std::string path = std::string(temp) + "kvpng_test.png";
    ASSERT_TRUE(picture.SaveToFile(path)) << picture.LastError();
    TPNGPicture loaded;
    ASSERT_TRUE(loaded.LoadFromFile(path)) << loaded.LastError();
    EXPECT_EQ(loaded.Pixels()[0], 0x12);
    EXPECT_EQ(loaded.Pixels()[3], 0x80);
    DeleteFileA(path.c_str());
    EXPECT_FALSE(loaded.LoadFromFile(path));
    EXPECT_TRUE(loaded.Empty());

    TPNGPicture empty;
    EXPECT_FALSE(empty.SaveToFile(path));
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(loaded.LoadFromResourceName(GetModuleHandleW(nullptr), L"NO_SUCH_PICTURE"));
}

TEST(PngPicture, ChangesNotifyAndChunkEditsDoNot)
{
    int changes = 0;
    TPNGPicture picture;
    picture.SetOnChange([&](TGraphic&) { ++changes; });
    picture.SetSize(2, 2, false);
    EXPECT_EQ(changes, 1);
    TPngChunk* chunk = picture.AddTextChunk("URL", "a");
    chunk->SetText("b");
    EXPECT_EQ(changes, 1);
    TPNGPicture copy;
    ASSERT_TRUE(copy.Assign(picture));
    ASSERT_EQ(copy.TextChunks().size(), 1u);
    EXPECT_NE(copy.TextChunks()[0], chunk);
    EXPECT_EQ(copy.TextChunks()[0]->Text(), "b");
    EXPECT_FALSE(Load(picture, "junk"));
    EXPECT_EQ(changes, 2);
}

TEST(PngPicture, MadeFromBitmapsAndDrawnWithAlpha)
{
    // A 32-bit bitmap's fourth byte becomes straight alpha; a 24-bit one is opaque.
    TBitmap bgra(2, 1, TPixelFormat::pf32bit);
    const uint8_t pixels[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x00};
    std::memcpy(bgra.ScanLine(0), pixels, sizeof pixels);
    TPNGPicture fromBgra;
    ASSERT_TRUE(fromBgra.Assign(bgra));
    EXPECT_TRUE(fromBgra.HasAlpha());
    EXPECT_EQ(Hex(fromBgra.Pixels(), 8), Hex(pixels, 8));
    TBitmap bgr(1, 1, TPixelFormat::pf24bit);
    bgr.ScanLine(0)[0] = 0x11;
    TPNGPicture fromBgr;
    ASSERT_TRUE(fromBgr.Assign(bgr));
    EXPECT_FALSE(fromBgr.HasAlpha());
    EXPECT_EQ(fromBgr.Pixels()[3], 255);

    // Red at alpha 0x80 and opaque blue over white, then an opaque copy.
    TPNGPicture picture;
    picture.SetSize(2, 1, true);
    const uint8_t straight[] = {0, 0, 255, 0x80, 255, 0, 0, 255};
    std::memcpy(picture.MutablePixels(), straight, sizeof straight);
    picture.Modified();
    TBitmap target(4, 1, TPixelFormat::pf24bit);
    target.Canvas().Brush().SetColor(clWhite);
    target.Canvas().FillRect(RECT{0, 0, 4, 1});
    target.Canvas().Draw(0, 0, picture);
    EXPECT_EQ(target.Canvas().Pixel(0, 0), RGB(255, 127, 127));
    EXPECT_EQ(target.Canvas().Pixel(1, 0), RGB(0, 0, 255));
    EXPECT_EQ(target.Canvas().Pixel(2, 0), RGB(255, 255, 255));
    picture.SetHasAlpha(false);
    target.Canvas().StretchDraw(RECT{2, 0, 4, 1}, picture);
    EXPECT_EQ(target.Canvas().Pixel(2, 0), RGB(255, 0, 0));
}
