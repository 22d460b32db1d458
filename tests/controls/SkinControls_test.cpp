// Skin drawing on DIBs: the nine-patch, the drawing bitmap and its alpha
// rules, tint masks, the name index and the "PNG" registration.

#include "controls/SkinControls.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

constexpr uint32_t kSentinel = 0x00123456;

// A 24-bit picture in which every pixel tells where it came from: red and
// green its column and row, blue the nine-patch part (1 to 9, row by row).
std::unique_ptr<TBitmap> NineColourFixture(int w, int h, const int m[4])
{
    auto bitmap = std::make_unique<TBitmap>(w, h, TPixelFormat::pf24bit);
    for (int y = 0; y < h; ++y) {
        uint8_t* p = bitmap->ScanLine(y);
        int row = y < m[1] ? 0 : y >= h - m[3] ? 2 : 1;
        for (int x = 0; x < w; ++x, p += 3) {
            int col = x < m[0] ? 0 : x >= w - m[2] ? 2 : 1;
            p[0] = static_cast<uint8_t>((row * 3 + col + 1) * 25);
            p[1] = static_cast<uint8_t>(10 + y * 5);
            p[2] = static_cast<uint8_t>(10 + x * 5);
        }
    }
    return bitmap;
}

uint32_t PixelAt(TBitmap& bitmap, int x, int y)
{
    const uint8_t* p = bitmap.ScanLine(y) + x * bitmap.BytesPerPixel();
    return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

void Fill(TBitmap& bitmap, uint32_t rgb)
{
    for (int y = 0; y < bitmap.Height(); ++y) {
        uint8_t* p = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x, p += bitmap.BytesPerPixel()) {
            p[0] = static_cast<uint8_t>(rgb);
            p[1] = static_cast<uint8_t>(rgb >> 8);
            p[2] = static_cast<uint8_t>(rgb >> 16);
            if (bitmap.BytesPerPixel() == 4)
                p[3] = 0xFF;
        }
    }
    bitmap.Modified();
}

std::unique_ptr<TPNGPicture> OnePixelPng(uint8_t r, uint8_t g, uint8_t b, uint8_t a, bool hasAlpha)
{
    auto png = std::make_unique<TPNGPicture>();
    png->SetSize(1, 1, hasAlpha);
    uint8_t* p = png->MutablePixels();
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = a;
    png->Modified();
    return png;
}

std::string Bgra(const TBitmap* bitmap)
{
    if (!bitmap)
        return "none";
    const uint8_t* p = bitmap->ScanLine(0);
    std::ostringstream s;
    s << int(p[2]) << "," << int(p[1]) << "," << int(p[0]);
    if (bitmap->BytesPerPixel() == 4)
        s << "," << int(p[3]);
    return s.str();
}

} // namespace

// Where each destination pixel of a nine-patch must come from: the part
// (blue), and along every axis on which that part keeps its size the exact
// source column or row. Along a stretched axis the source only has to stay
// inside the part and never run backwards (no mirroring).
TEST(SkinNinePatch, PartsLandWhereTheyBelongAtEverySize)
{
    struct TCase {
        const char* name;
        int margins[4];
        int w, h;   // the picture
        int dw, dh; // the destination
    };
    const TCase cases[] = {
        {"larger", {3, 2, 4, 3}, 12, 10, 30, 21},
        {"equal", {3, 2, 4, 3}, 12, 10, 12, 10},
        {"narrower than the picture", {3, 2, 4, 3}, 12, 10, 9, 10},
        {"smaller than the margins", {3, 2, 4, 3}, 12, 10, 5, 4},
        {"one pixel", {3, 2, 4, 3}, 12, 10, 1, 1},
        {"zero", {3, 2, 4, 3}, 12, 10, 0, 0},
        {"zero height", {3, 2, 4, 3}, 12, 10, 10, 0},
        {"STEPS_BG margins", {16, 0, 17, 1}, 40, 6, 60, 20},
        {"picture smaller than its margins", {8, 6, 8, 6}, 12, 10, 30, 20},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int* m = c.margins;
        TSkinBitmapList list;
        TSkinBitmapImage& item = list.Images().Add();
        item.Picture().SetGraphic(NineColourFixture(c.w, c.h, m));
        item.SetStrectchStyle(assFrame);
        item.ClientRect().Set(m[0], m[1], m[2], m[3]);

        TBitmap target(c.dw + 10, c.dh + 8, TPixelFormat::pf32bit);
        Fill(target, kSentinel);
        const RECT dest{5, 4, 5 + c.dw, 4 + c.dh};
        item.Draw(target.Canvas(), dest, true);

        const int dw = c.dw, dh = c.dh, w = c.w, h = c.h;
        const bool roomX = dw >= m[0] + m[2], roomY = dh >= m[1] + m[3];
        const bool sourceX = w > m[0] + m[2], sourceY = h > m[1] + m[3];
        for (int y = 0; y < target.Height(); ++y) {
            int lastSourceX = -1;
            for (int x = 0; x < target.Width(); ++x) {
                const uint32_t got = PixelAt(target, x, y);
                const int dx = x - dest.left, dy = y - dest.top;
                std::ostringstream where;
                where << "at " << dx << "," << dy << " got " << std::hex << got;
                SCOPED_TRACE(where.str());
                if (dx < 0 || dy < 0 || dx >= dw || dy >= dh) {
                    ASSERT_EQ(got, kSentinel) << "drawn outside the destination";
                    continue;
                }
                const int sx = static_cast<int>((got >> 16) & 0xFF) / 5 - 2;
                const int sy = static_cast<int>((got >> 8) & 0xFF) / 5 - 2;
                const int part = static_cast<int>(got & 0xFF) / 25;
                if (!roomX || !roomY || !sourceX || !sourceY) {
                    // Only the unscaled corners are drawn (top left, top
                    // right, bottom left, bottom right, in that order): each
                    // pixel shows the last one that covers it, at its own
                    // position, or stays as it was.
                    const bool left = dx < m[0], right = dx >= dw - m[2];
                    const bool top = dy < m[1], bottom = dy >= dh - m[3];
                    int winner = -1;
                    if (left && top)
                        winner = 0;
                    if (right && top && m[2] > 0)
                        winner = 1;
                    if (left && bottom && m[3] > 0)
                        winner = 2;
                    if (right && bottom && m[2] > 0 && m[3] > 0)
                        winner = 3;
                    if (winner < 0) {
                        ASSERT_EQ(got, kSentinel);
                        continue;
                    }
                    ASSERT_EQ(sx, winner % 2 ? w - (dw - dx) : dx);
                    ASSERT_EQ(sy, winner >= 2 ? h - (dh - dy) : dy);
                    continue;
                }
                const int col = dx < m[0] ? 0 : dx >= dw - m[2] ? 2 : 1;
                const int row = dy < m[1] ? 0 : dy >= dh - m[3] ? 2 : 1;
                ASSERT_EQ(part, row * 3 + col + 1);
                // Unscaled columns and rows map one to one.
                const int wantX = col == 0 ? dx : col == 2 ? w - (dw - dx) : sx;
                const int wantY = row == 0 ? dy : row == 2 ? h - (dh - dy) : sy;
                ASSERT_EQ(sx, wantX);
                ASSERT_EQ(sy, wantY);
                ASSERT_GE(sx, lastSourceX) << "mirrored";
                lastSourceX = sx;
            }
        }
    }
}

TEST(SkinNinePatch, NormalStyleAndEmptyMarginsStretchTheWholePicture)
{
    const int m[4] = {3, 2, 4, 3};
    for (bool frameStyle : {false, true}) {
        SCOPED_TRACE(frameStyle ? "frame, no margins" : "normal style");
        TSkinBitmapList list;
        TSkinBitmapImage& item = list.Images().Add();
        item.Picture().SetGraphic(NineColourFixture(12, 10, m));
        item.SetStrectchStyle(frameStyle ? assFrame : assNormal);
        if (!frameStyle)
            item.ClientRect().Set(3, 2, 4, 3);
        TBitmap target(24, 20, TPixelFormat::pf32bit);
        item.Draw(target.Canvas(), RECT{0, 0, 24, 20}, true);
        // Doubled in both directions: source pixel (x, y) at (2x, 2y) and (2x+1, 2y+1).
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 24; ++x) {
                const uint32_t got = PixelAt(target, x, y);
                ASSERT_EQ(static_cast<int>((got >> 16) & 0xFF), 10 + (x / 2) * 5) << x << "," << y;
                ASSERT_EQ(static_cast<int>((got >> 8) & 0xFF), 10 + (y / 2) * 5) << x << "," << y;
            }
    }
}

TEST(SkinDrawingBitmap, AlphaIsPremultipliedOnceAndOnlyWhereItIsStraight)
{
    struct TCase {
        const char* name;
        std::function<std::unique_ptr<TGraphic>()> make;
        bool premultiply;
        const char* expected; // R,G,B[,A] of the drawing bitmap
    };
    auto straightBitmap = [] {
        auto b = std::make_unique<TBitmap>(1, 1, TPixelFormat::pf32bit);
        const uint8_t px[] = {50, 100, 200, 128};
        std::memcpy(b->ScanLine(0), px, 4);
        return b;
    };
    const TCase cases[] = {
        {"PNG", [] { return OnePixelPng(200, 100, 50, 128, true); }, false, "100,50,25,128"},
        {"PNG with AlphaPremultiply", [] { return OnePixelPng(200, 100, 50, 128, true); }, true,
         "100,50,25,128"},
        {"PNG, alpha 0", [] { return OnePixelPng(200, 100, 50, 0, true); }, false, "0,0,0,0"},
        {"PNG without alpha", [] { return OnePixelPng(200, 100, 50, 7, false); }, false, "200,100,50,255"},
        {"straight 32-bit bitmap with AlphaPremultiply", straightBitmap, true, "100,50,25,128"},
        {"32-bit bitmap as it stands", straightBitmap, false, "200,100,50,128"},
        {"24-bit bitmap",
         [] {
             auto b = std::make_unique<TBitmap>(1, 1, TPixelFormat::pf24bit);
             const uint8_t px[] = {50, 100, 200};
             std::memcpy(b->ScanLine(0), px, 3);
             return b;
         },
         true, "200,100,50"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSkinBitmapList list;
        TSkinBitmapImage& item = list.Images().Add();
        item.Picture().SetGraphic(c.make());
        item.SetAlphaPremultiply(c.premultiply);
        EXPECT_EQ(Bgra(item.DrawingBitmap()), c.expected);
        EXPECT_EQ(Bgra(item.DrawingBitmap()), c.expected) << "a second look changes nothing";
        EXPECT_EQ(item.DrawingBuilds(), 1);
    }
}

TEST(SkinDrawingBitmap, RebuiltAfterTogglingPremultiplyOrAChangedPicture)
{
    TSkinBitmapList list;
    TSkinBitmapImage& item = list.Images().Add();
    auto bitmap = std::make_unique<TBitmap>(1, 1, TPixelFormat::pf32bit);
    const uint8_t px[] = {50, 100, 200, 128};
    std::memcpy(bitmap->ScanLine(0), px, 4);
    TBitmap* held = bitmap.get();
    item.Picture().SetGraphic(std::move(bitmap));
    EXPECT_EQ(Bgra(item.DrawingBitmap()), "200,100,50,128");
    item.SetAlphaPremultiply(true);
    item.SetAlphaPremultiply(true);
    EXPECT_EQ(Bgra(item.DrawingBitmap()), "100,50,25,128");
    EXPECT_EQ(item.DrawingBuilds(), 2);
    item.SetAlphaPremultiply(false);
    EXPECT_EQ(Bgra(item.DrawingBitmap()), "200,100,50,128");
    EXPECT_EQ(item.DrawingBuilds(), 3);
    held->ScanLine(0)[2] = 10;
    held->Modified();
    EXPECT_EQ(Bgra(item.DrawingBitmap()), "10,100,50,128");
    EXPECT_EQ(item.DrawingBuilds(), 4);
    item.Picture().Clear();
    EXPECT_EQ(item.DrawingBitmap(), nullptr);
}

TEST(SkinDrawingBitmap, OnlyThirtyTwoBitBitmapsAreBlended)
{
    // Red at alpha 0x80 over white blends; the same PNG drawn without the
    // transparent flag is a copy of its premultiplied bytes; a 24-bit
    // bitmap is copied whatever the flag says.
    struct TCase {
        const char* name;
        bool png;
        bool transparent;
        uint32_t expected;
    };
    const TCase cases[] = {
        {"PNG, transparent", true, true, 0xFF7F7F},
        {"PNG, opaque", true, false, 0x800000},
        {"24-bit bitmap, transparent", false, true, 0x102030},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TSkinBitmapList list;
        TSkinBitmapImage& item = list.Images().Add();
        if (c.png) {
            item.Picture().SetGraphic(OnePixelPng(255, 0, 0, 0x80, true));
        } else {
            auto b = std::make_unique<TBitmap>(1, 1, TPixelFormat::pf24bit);
            const uint8_t px[] = {0x30, 0x20, 0x10};
            std::memcpy(b->ScanLine(0), px, 3);
            item.Picture().SetGraphic(std::move(b));
        }
        for (TPixelFormat format : {TPixelFormat::pf24bit, TPixelFormat::pf32bit}) {
            TBitmap target(3, 3, format);
            Fill(target, 0xFFFFFF);
            item.Draw(target.Canvas(), 1, 1, c.transparent);
            EXPECT_EQ(PixelAt(target, 1, 1), c.expected);
            EXPECT_EQ(PixelAt(target, 0, 0), 0xFFFFFFu);
            EXPECT_EQ(PixelAt(target, 2, 1), 0xFFFFFFu);
        }
    }
}

TEST(SkinTint, MasksOfAGreyRampAndASystemColour)
{
    TBitmap ramp(256, 1, TPixelFormat::pf24bit);
    uint8_t* p = ramp.ScanLine(0);
    for (int x = 0; x < 256; ++x, p += 3)
        p[0] = p[1] = p[2] = static_cast<uint8_t>(x);
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    struct TCase {
        const char* name;
        TColor color;
        unsigned r, g, b;
    };
    const TCase cases[] = {
        {"RGB colour", 0x3264C8, 200, 100, 50},
        {"system colour", clHighlight, GetRValue(highlight), GetGValue(highlight), GetBValue(highlight)},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto mask = MakeTintedAlphaBitmap(ramp, c.color);
        ASSERT_NE(mask, nullptr);
        ASSERT_EQ(mask->PixelFormat(), TPixelFormat::pf32bit);
        const uint8_t* m = mask->ScanLine(0);
        for (int x = 0; x < 256; ++x, m += 4) {
            const unsigned a = 255u - x;
            ASSERT_EQ(m[3], a) << x;
            ASSERT_EQ(m[2], c.r * a / 255) << x;
            ASSERT_EQ(m[1], c.g * a / 255) << x;
            ASSERT_EQ(m[0], c.b * a / 255) << x;
        }
    }
}

TEST(SkinBitmapList, NameIndexFollowsTheCollection)
{
    TSkinBitmapList list;
    const wchar_t* names[] = {L"BUTTON1", L"BUTTON1_HOT", L"", L"button1", L"CLOSE"};
    for (const wchar_t* name : names)
        list.Images().Add().SetName(name);
    EXPECT_EQ(list.FindImage(L""), nullptr);
    EXPECT_FALSE(list.IndexValid()) << "an empty name builds no index";
    ASSERT_NE(list.FindImage(L"Button1_Hot"), nullptr);
    EXPECT_TRUE(list.IndexValid());
    EXPECT_EQ(list.FindImage(L"button1_hot")->Index(), 1);
    EXPECT_EQ(list.FindImage(L"BUTTON1")->Index(), 0) << "a repeated name keeps its first item";
    EXPECT_EQ(list.FindImage(L"BUTTON"), nullptr);

    list.Images().Delete(0);
    EXPECT_FALSE(list.IndexValid());
    EXPECT_EQ(list.FindImage(L"BUTTON1")->Index(), 2);
    list.Images()[0].SetName(L"RENAMED");
    EXPECT_EQ(list.FindImage(L"button1_hot"), nullptr);
    EXPECT_EQ(list.FindImage(L"renamed")->Index(), 0);
    list.Images().Move(3, 0);
    EXPECT_EQ(list.FindImage(L"close")->Index(), 0);
    TSkinBitmapImage& added = list.Images().Add();
    added.SetName(L"NEW");
    EXPECT_EQ(list.FindImage(L"new"), &added);
    EXPECT_EQ(added.DisplayName(), L"NEW");
    EXPECT_EQ(list.Images().Add().DisplayName(), L"TSkinBitmapImage");
    list.Images().Clear();
    EXPECT_EQ(list.FindImage(L"new"), nullptr);
}

TEST(SkinRegistration, PngIsRegisteredBetweenInitAndDoneOnly)
{
    TFileFormat format;
    ASSERT_TRUE(FindFileFormat(L"png", format)) << "the unit registers it at start";
    EXPECT_EQ(format.description, L"Portable Network Graphics");
    ASSERT_NE(format.factory, nullptr);
    EXPECT_NE(dynamic_cast<TPNGPicture*>(format.factory().get()), nullptr);

    SkinControlsInit();
    SkinControlsDone();
    EXPECT_TRUE(FindFileFormat(L".PNG", format)) << "one done per init";
    SkinControlsDone();
    EXPECT_FALSE(FindFileFormat(L"png", format));
    EXPECT_TRUE(FindFileFormat(L"bmp", format));
    SkinControlsInit();
    EXPECT_TRUE(FindFileFormat(L"png", format));
}
