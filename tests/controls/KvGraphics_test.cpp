#include "controls/KvGraphics.h"

#include "FormTest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using formtest::Fill;
using formtest::PixelAt;

TEST(KvGraphics, ColoursReachGdiAsRgbSystemColoursThroughGetSysColorNoneNever)
{
    EXPECT_EQ(0x00332211u, ColorToRGB(0x00332211));
    EXPECT_EQ(GetSysColor(COLOR_BTNFACE), ColorToRGB(clBtnFace));
    EXPECT_EQ(GetSysColor(COLOR_HIGHLIGHTTEXT), ColorToRGB(clHighlightText));
    EXPECT_EQ(0x00ABCDEFu, ColorToRGB(clNone, 0x00ABCDEF));
    EXPECT_TRUE(IsNoneColor(clNone));

    // A clear brush and a none colour fill nothing; a solid one fills.
    TBitmap bitmap(4, 4);
    Fill(bitmap, clWhite);
    TCanvas& canvas = bitmap.Canvas();
    canvas.Brush().SetColor(clNone);
    canvas.FillRect(RECT{0, 0, 4, 4});
    canvas.Brush().SetColor(clRed);
    canvas.Brush().SetStyle(TBrushStyle::Clear);
    canvas.FillRect(RECT{0, 0, 4, 4});
    GdiFlush();
    EXPECT_EQ(clWhite, PixelAt(bitmap, 1, 1));
    canvas.Brush().SetStyle(TBrushStyle::Solid);
    canvas.FillRect(RECT{0, 0, 2, 2});
    GdiFlush();
    EXPECT_EQ(clRed, PixelAt(bitmap, 1, 1));
    EXPECT_EQ(clWhite, PixelAt(bitmap, 2, 2));
}

TEST(KvGraphics, CanvasPutsBackWhatItSelected)
{
    TBitmap bitmap(40, 20);
    HDC dc = bitmap.Canvas().Handle();
    const HGDIOBJ font = GetCurrentObject(dc, OBJ_FONT);
    const HGDIOBJ brush = GetCurrentObject(dc, OBJ_BRUSH);
    const HGDIOBJ pen = GetCurrentObject(dc, OBJ_PEN);
    TCanvas& canvas = bitmap.Canvas();
    canvas.Font().SetStyle(fsBold);
    canvas.Brush().SetColor(clBlue);
    canvas.TextOut(0, 0, L"fg");
    canvas.Rectangle(RECT{0, 0, 10, 10});
    const POINT triangle[] = {{1, 1}, {8, 1}, {4, 6}};
    canvas.Polygon(triangle, 3);
    EXPECT_GT(canvas.TextWidth(L"fg"), 0);
    EXPECT_GT(canvas.TextHeight(L""), 0) << "an empty text still has a line's height";
    EXPECT_EQ(font, GetCurrentObject(dc, OBJ_FONT));
    EXPECT_EQ(brush, GetCurrentObject(dc, OBJ_BRUSH));
    EXPECT_EQ(pen, GetCurrentObject(dc, OBJ_PEN));
}

TEST(KvGraphics, FontNotifiesEveryChangeOnceAndRemakesItsHandle)
{
    TFont font;
    int changes = 0;
    font.SetOnChange([&] { ++changes; });
    const HFONT first = font.Handle();
    font.SetColor(clRed);
    EXPECT_EQ(first, font.Handle()) << "a colour is no part of the GDI font";
    font.SetStyle(fsBold | fsUnderline);
    EXPECT_NE(first, font.Handle());
    font.SetStyle(fsBold | fsUnderline);
    TFont other;
    other.SetName(L"Arial");
    other.SetHeight(-14);
    font.Assign(other);
    EXPECT_EQ(3, changes);
    EXPECT_TRUE(font.SameAs(other));
    LOGFONTW lf{};
    GetObjectW(font.Handle(), sizeof(lf), &lf);
    EXPECT_EQ(-14, lf.lfHeight);
    EXPECT_EQ(FW_NORMAL, lf.lfWeight);
}

TEST(KvGraphics, BitmapFilesRoundTripAndKeepTheFourthByte)
{
    for (TPixelFormat format : {TPixelFormat::pf24bit, TPixelFormat::pf32bit}) {
        SCOPED_TRACE(format == TPixelFormat::pf32bit ? "32 bits" : "24 bits");
        TBitmap source(5, 3, format);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) {
                uint8_t* p = source.ScanLine(y) + x * source.BytesPerPixel();
                p[0] = static_cast<uint8_t>(x * 40);
                p[1] = static_cast<uint8_t>(y * 70);
                p[2] = static_cast<uint8_t>(x + y);
                if (format == TPixelFormat::pf32bit)
                    p[3] = static_cast<uint8_t>(x * 50 + 1);
            }
        TMemoryStream stream;
        ASSERT_TRUE(source.SaveToStream(stream));
        stream.SetPosition(0);
        TBitmap loaded;
        ASSERT_TRUE(loaded.LoadFromStream(stream));
        ASSERT_EQ(5, loaded.Width());
        ASSERT_EQ(3, loaded.Height());
        EXPECT_EQ(format, loaded.PixelFormat());
        for (int y = 0; y < 3; ++y)
            EXPECT_EQ(0, std::memcmp(source.ScanLine(y), loaded.ScanLine(y),
                                     static_cast<size_t>(5 * source.BytesPerPixel())))
                << "row " << y;
    }
}

TEST(KvGraphics, BadBitmapFilesFailCleanly)
{
    TBitmap good(8, 8, TPixelFormat::pf24bit);
    TMemoryStream stream;
    ASSERT_TRUE(good.SaveToStream(stream));
    const std::string bytes = stream.ToString();
    auto withLong = [&](size_t offset, int32_t value) {
        std::string b = bytes;
        std::memcpy(b.data() + offset, &value, 4);
        return b;
    };
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"not a bitmap", "PK\x03\x04 not a bitmap at all, just some bytes"},
        {"truncated header", bytes.substr(0, 20)},
        {"truncated pixels", bytes.substr(0, bytes.size() - 10)},
        {"huge width", withLong(18, 100000)},
        {"huge height", withLong(22, -100000)},
        {"pixels past the end", withLong(10, 1 << 30)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryStream in;
        if (!c.bytes.empty())
            in.WriteBuffer(c.bytes.data(), static_cast<int32_t>(c.bytes.size()));
        in.SetPosition(0);
        TBitmap bitmap(2, 2);
        int changes = 0;
        bitmap.SetOnChange([&](TGraphic&) { ++changes; });
        EXPECT_FALSE(bitmap.LoadFromStream(in));
        EXPECT_TRUE(bitmap.Empty());
        EXPECT_EQ(1, changes);
    }
}

class KvPictureFiles : public ktest::ScratchDirTest {};

TEST_F(KvPictureFiles, PicturesLoadByTheRegisteredExtension)
{
    const std::wstring dir = dir_;
    TBitmap source(3, 2);
    Fill(source, 0x00204080);
    const std::wstring bmp = dir + L"picture_round_trip.BMP";
    ASSERT_TRUE(source.SaveToFile(bmp));

    TFileFormat format;
    ASSERT_TRUE(FindFileFormat(L".Bmp", format));
    EXPECT_EQ(L"Bitmaps", format.description);

    TPicture picture;
    int changes = 0;
    picture.SetOnChange([&](TPicture&) { ++changes; });
    ASSERT_TRUE(picture.LoadFromFile(bmp));
    ASSERT_NE(nullptr, dynamic_cast<TBitmap*>(picture.Graphic()));
    EXPECT_EQ(3, picture.Width());
    EXPECT_EQ(0x00204080u, PixelAt(*static_cast<TBitmap*>(picture.Graphic()), 2, 1));
    EXPECT_EQ(1, changes);

    TPicture copy;
    copy.Assign(picture);
    ASSERT_NE(picture.Graphic(), copy.Graphic());
    EXPECT_EQ(2, copy.Height());

    EXPECT_FALSE(picture.LoadFromFile(dir + L"picture.xyz")) << "no format for .xyz";
    EXPECT_FALSE(picture.Empty()) << "an unknown extension leaves the picture";
    EXPECT_FALSE(picture.LoadFromFile(dir + L"missing.bmp"));
    EXPECT_TRUE(picture.Empty());

    RegisterFileFormat(L"kvt", L"Test pictures", &KvNewGraphic<TBitmap>);
    EXPECT_TRUE(FindFileFormat(L"KVT", format));
    UnregisterGraphicClass(&KvNewGraphic<TBitmap>);
    EXPECT_FALSE(FindFileFormat(L"kvt", format));
    EXPECT_FALSE(FindFileFormat(L"bmp", format)) << "every extension of the class goes";
    RegisterFileFormat(L"bmp", L"Bitmaps", &KvNewGraphic<TBitmap>);
}

TEST(KvGraphics, BitmapTakesOtherPicturesAndConvertsFormats)
{
    TBitmap source(2, 2, TPixelFormat::pf24bit);
    Fill(source, 0x00112233);
    TBitmap copy;
    ASSERT_TRUE(copy.Assign(source));
    EXPECT_EQ(TPixelFormat::pf24bit, copy.PixelFormat());
    copy.SetPixelFormat(TPixelFormat::pf32bit);
    EXPECT_EQ(0x00112233u, PixelAt(copy, 1, 1));
    EXPECT_EQ(255, copy.ScanLine(1)[7]) << "a 24-bit pixel becomes opaque";

    // Drawing stretches, never mirrors; an empty rectangle draws nothing.
    TBitmap target(4, 4);
    Fill(target, clWhite);
    target.Canvas().StretchDraw(RECT{0, 0, 4, 4}, source);
    target.Canvas().StretchDraw(RECT{3, 3, 1, 1}, copy);
    GdiFlush();
    EXPECT_EQ(0x00112233u, PixelAt(target, 3, 3));
}

TEST(KvGraphics, ABitmapsCanvasOutlivesANewSizeAndFormat)
{
    TBitmap bitmap(1, 1, TPixelFormat::pf24bit);
    TCanvas& canvas = bitmap.Canvas();
    canvas.Font().SetHeight(30);
    const int before = canvas.TextWidth(L"Wide");

    // Held across both changes, the same canvas draws on the new pixels.
    ASSERT_TRUE(bitmap.SetSize(8, 4, TPixelFormat::pf24bit));
    EXPECT_EQ(&canvas, &bitmap.Canvas());
    EXPECT_EQ(before, canvas.TextWidth(L"Wide")) << "the font stays with the canvas";
    Fill(bitmap, clWhite);
    canvas.SetPixel(7, 3, 0x00102030);
    GdiFlush();
    EXPECT_EQ(0x00102030u, PixelAt(bitmap, 7, 3));

    bitmap.SetPixelFormat(TPixelFormat::pf32bit);
    EXPECT_EQ(&canvas, &bitmap.Canvas());
    canvas.SetPixel(0, 0, 0x00405060);
    GdiFlush();
    EXPECT_EQ(0x00405060u, PixelAt(bitmap, 0, 0));
    EXPECT_EQ(0x00102030u, PixelAt(bitmap, 7, 3));
}
