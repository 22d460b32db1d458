#pragma once
// Colours, fonts, brushes and pens, the canvas that draws with them, and the
// pictures of the form library: the abstract graphic, the DIB bitmap, the
// picture holder and the registry of picture file formats.
//
// Everything here belongs to the GUI thread. GDI objects are made on demand
// and owned by the object that made them; the canvas selects them into its
// device context only for the length of one operation (TDcSelection), so a
// font or brush may change or die between two calls.

#include "platform/ClassesU.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Colours: $00BBGGRR; a top byte of $FF marks a system colour whose low byte
// is the GetSysColor index.

using TColor = uint32_t;

// "No colour": a value that is never handed to GDI (a clear brush, no text).
inline constexpr TColor clNone = 0x1FFFFFFF;
// "Take the parent's or the class's colour": only in creation aggregates.
inline constexpr TColor clDefault = 0x20000000;
inline constexpr TColor kSystemColorFlag = 0xFF000000;

constexpr TColor SystemColor(int index)
{
    return kSystemColorFlag | static_cast<TColor>(index & 0xFF);
}
constexpr bool IsSystemColor(TColor color)
{
    return (color & 0xFF000000) == kSystemColorFlag;
}

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clBtnFace = SystemColor(COLOR_BTNFACE);
inline constexpr TColor clBtnText = SystemColor(COLOR_BTNTEXT);
inline constexpr TColor clWindow = SystemColor(COLOR_WINDOW);
inline constexpr TColor clWindowText = SystemColor(COLOR_WINDOWTEXT);
inline constexpr TColor clHighlight = SystemColor(COLOR_HIGHLIGHT);
inline constexpr TColor clHighlightText = SystemColor(COLOR_HIGHLIGHTTEXT);
inline constexpr TColor clGrayText = SystemColor(COLOR_GRAYTEXT);

// The GDI colour: a system colour through GetSysColor, an RGB value as it
// is. clNone and clDefault have none and give noneValue.
COLORREF ColorToRGB(TColor color, COLORREF noneValue = 0);
constexpr bool IsNoneColor(TColor color)
{
    return color == clNone || color == clDefault;
}

// Pictures larger than this are refused by every loader: a hostile file must
// not make the program ask for gigabytes.
inline constexpr int kMaxPictureSide = 8192;
inline constexpr int64_t kMaxPicturePixels = 16 * 1024 * 1024;
// True when width × height is a size a loader may allocate (both above 0).
bool PictureSizeAllowed(int64_t width, int64_t height);

// ---------------------------------------------------------------------------
// Font, brush, pen

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = uint8_t;

// A logical font. The handle is made at first use and dropped on every
// change of name, height, style or character set; OnChange fires after every
// change of any property (also the colour), once per Assign.
class TFont {
public:
    TFont();
    ~TFont();
    TFont(const TFont&) = delete;
    TFont& operator=(const TFont&) = delete;

    const std::wstring& Name() const { return name_; }
    void SetName(const std::wstring& name);
    // LOGFONT height: negative is the character height in pixels, positive
    // the cell height.
    int Height() const { return height_; }
    void SetHeight(int height);
    TFontStyles Style() const { return style_; }
    void SetStyle(TFontStyles style);
    TColor Color() const { return color_; }
    void SetColor(TColor color);
    BYTE Charset() const { return charset_; }
    void SetCharset(BYTE charset);

    void Assign(const TFont& source);
    bool SameAs(const TFont& other) const;
    HFONT Handle() const;
    void SetOnChange(std::function<void()> handler) { onChange_ = std::move(handler); }

    static constexpr const wchar_t* kDefaultName = L"Tahoma";
    static constexpr int kDefaultHeight = -11;

private:
    void Changed(bool handleToo);

    std::wstring name_ = kDefaultName;
    int height_ = kDefaultHeight;
    TFontStyles style_ = 0;
    TColor color_ = clWindowText;
    BYTE charset_ = DEFAULT_CHARSET;
    mutable HFONT handle_ = nullptr;
    std::function<void()> onChange_;
};

enum class TBrushStyle : uint8_t { Solid, Clear };

class TBrush {
public:
    TBrush() = default;
    ~TBrush();
    TBrush(const TBrush&) = delete;
    TBrush& operator=(const TBrush&) = delete;

    TColor Color() const { return color_; }
    // clNone makes the brush clear.
    void SetColor(TColor color);
    TBrushStyle Style() const { return style_; }
    void SetStyle(TBrushStyle style);
    bool IsClear() const { return style_ == TBrushStyle::Clear || IsNoneColor(color_); }
    void Assign(const TBrush& source);
    // A solid brush of the colour, or the null brush when clear.
    HBRUSH Handle() const;

private:
    void Drop();
    TColor color_ = clWhite;
    TBrushStyle style_ = TBrushStyle::Solid;
    mutable HBRUSH handle_ = nullptr;
};

enum class TPenStyle : uint8_t { Solid, Clear };

class TPen {
public:
    TPen() = default;
    ~TPen();
    TPen(const TPen&) = delete;
    TPen& operator=(const TPen&) = delete;

    TColor Color() const { return color_; }
    void SetColor(TColor color);
    TPenStyle Style() const { return style_; }
    void SetStyle(TPenStyle style);
    int Width() const { return width_; }
    void SetWidth(int width);
    bool IsClear() const { return style_ == TPenStyle::Clear || IsNoneColor(color_); }
    void Assign(const TPen& source);
    HPEN Handle() const;

private:
    void Drop();
    TColor color_ = clBlack;
    TPenStyle style_ = TPenStyle::Solid;
    int width_ = 1;
    mutable HPEN handle_ = nullptr;
};

// A line of text measured as it inks: Wine places glyphs by their unrounded
// advances, so a text may ink a few pixels past the width its extent gives,
// and a box sized to the extent would cut it.
struct TTextInk {
    int advance = 0; // the extent's width
    int width = 0;   // up to the rightmost inked column (at least advance)
    int inked = 0;   // up to the rightmost inked column alone: what a reader sees
    int height = 0;
};
// In the font selected into dc; all 0 for an empty text.
TTextInk MeasureTextInk(HDC dc, std::wstring_view text);

// Selects an object into a device context and puts the previous one back
// when it goes out of scope.
class TDcSelection {
public:
    TDcSelection(HDC dc, HGDIOBJ object) : dc_(dc), old_(dc && object ? SelectObject(dc, object) : nullptr) {}
    ~TDcSelection()
    {
        if (old_)
            SelectObject(dc_, old_);
    }
    TDcSelection(const TDcSelection&) = delete;
    TDcSelection& operator=(const TDcSelection&) = delete;

private:
    HDC dc_;
    HGDIOBJ old_;
};

// Saves a device context's whole state (SaveDC) and restores it when it goes
// out of scope.
class TDcStateGuard {
public:
    explicit TDcStateGuard(HDC dc) : dc_(dc), saved_(dc ? SaveDC(dc) : 0) {}
    ~TDcStateGuard()
    {
        if (saved_)
            RestoreDC(dc_, saved_);
    }
    TDcStateGuard(const TDcStateGuard&) = delete;
    TDcStateGuard& operator=(const TDcStateGuard&) = delete;

private:
    HDC dc_;
    int saved_;
};

// ---------------------------------------------------------------------------
// Canvas

class TGraphic;
class TBitmap;

// Draws on a device context with its font, brush and pen. The context is
// either attached (SetHandle, not owned) or made by a subclass on the first
// request (CreateHandle). Text takes the font's colour; it is drawn on the
// brush's colour unless the brush is clear.
class TCanvas {
public:
    TCanvas();
    virtual ~TCanvas();
    TCanvas(const TCanvas&) = delete;
    TCanvas& operator=(const TCanvas&) = delete;

    // The device context; a subclass may make one here. Null when none.
    HDC Handle();
    bool HandleAllocated() const { return dc_ != nullptr; }
    // The context now attached, without making one.
    HDC AttachedHandle() const { return dc_; }
    // Attaches a context (not owned); null detaches.
    void SetHandle(HDC dc);

    TFont& Font() { return font_; }
    TBrush& Brush() { return brush_; }
    TPen& Pen() { return pen_; }

    void FillRect(const RECT& r);
    // Outline with the pen, inside with the brush (either may be clear).
    void Rectangle(const RECT& r);
    void FrameRect(const RECT& r);
    void Polygon(const POINT* points, int count);
    void MoveTo(int x, int y);
    void LineTo(int x, int y);

    void TextOut(int x, int y, std::wstring_view text);
    // Text clipped to r, its origin at (x, y).
    void TextRect(const RECT& r, int x, int y, std::wstring_view text);
    SIZE TextExtent(std::wstring_view text);
    int TextWidth(std::wstring_view text) { return TextExtent(text).cx; }
    int TextHeight(std::wstring_view text) { return TextExtent(text).cy; }
    // DrawTextW with the canvas's font; DT_CALCRECT updates r. The text's height.
    int DrawText(std::wstring_view text, RECT& r, UINT format);

    // The graphic at its own size with its top left corner at (x, y).
    void Draw(int x, int y, const TGraphic& graphic);
    void StretchDraw(const RECT& dest, const TGraphic& graphic);
    // A plain copy (stretched when the sizes differ, never mirrored: empty
    // rectangles copy nothing).
    void CopyRect(const RECT& dest, TCanvas& source, const RECT& sourceRect);
    // Source-over blend of a premultiplied 32-bit source (AlphaBlend with
    // AC_SRC_ALPHA), stretched when the sizes differ; empty rectangles blend
    // nothing. False when GDI refused.
    bool AlphaBlend(const RECT& dest, TCanvas& source, const RECT& sourceRect,
                    BYTE constantAlpha = 255);

    COLORREF Pixel(int x, int y);
    void SetPixel(int x, int y, TColor color);
    // The clip box in logical coordinates (the whole context when unclipped).
    RECT ClipRect();

protected:
    // Called by Handle while no context is attached.
    virtual void CreateHandle() {}

private:
    HDC dc_ = nullptr;
    TFont font_;
    TBrush brush_;
    TPen pen_;
};

// ---------------------------------------------------------------------------
// Pictures

// The abstract picture: its size, drawing onto a canvas rectangle, loading
// and saving, copying, and a change notification. Loading never throws for
// bad data: a load that fails leaves the picture empty and answers false.
class TGraphic : public TObject {
public:
    TGraphic() = default;
    ~TGraphic() override = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;

    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual bool Empty() const { return Width() <= 0 || Height() <= 0; }
    // Draws the picture scaled into dest (nothing when either is empty).
    virtual void Draw(TCanvas& canvas, const RECT& dest) const = 0;

    virtual bool LoadFromStream(TStream& stream) = 0;
    virtual bool SaveToStream(TStream& stream) const = 0;
    bool LoadFromFile(const std::wstring& fileName);
    // Written in memory first: a failed save leaves no half file behind.
    bool SaveToFile(const std::wstring& fileName) const;
    // The RT_RCDATA resource of that name.
    bool LoadFromResourceName(HMODULE instance, const std::wstring& resourceName);

    // Copies source into this picture; false (this one unchanged) when this
    // class cannot take source's class.
    virtual bool Assign(const TGraphic& source) = 0;
    // A new picture of the same class and content.
    virtual std::unique_ptr<TGraphic> Clone() const = 0;

    // Drawn with its transparency (alpha, or the class's own rule) when set.
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool on);

    // Fires after every change of the content; the handler may read the
    // picture, not free it.
    void SetOnChange(std::function<void(TGraphic&)> handler) { onChange_ = std::move(handler); }

protected:
    void Changed();

private:
    bool transparent_ = false;
    std::function<void(TGraphic&)> onChange_;
};

enum class TPixelFormat : uint8_t { pf24bit, pf32bit };

// A top-down DIB section of 24 or 32 bits per pixel (BGR or BGRA bytes) with
// a memory canvas on it. Row y starts at ScanLine(y); rows are padded to
// four bytes. Drawing is a plain copy; an empty bitmap draws nothing. Loads
// and saves Windows bitmap files (.bmp: 1 to 32 bits, uncompressed or bit
// fields; 32-bit files keep their fourth byte).
class TBitmap : public TGraphic {
public:
    TBitmap();
    TBitmap(int width, int height, TPixelFormat format = TPixelFormat::pf32bit);
    ~TBitmap() override;

    int Width() const override { return width_; }
    int Height() const override { return height_; }
    TPixelFormat PixelFormat() const { return format_; }
    // Makes the bitmap of that size and format with every byte 0 (a 0 × 0
    // size empties it). False, and the bitmap empty, when the size is not
    // allowed or GDI refuses.
    bool SetSize(int width, int height, TPixelFormat format = TPixelFormat::pf32bit);
    // Converts the pixels (32 → 24 drops the fourth byte, 24 → 32 sets it to 255).
    void SetPixelFormat(TPixelFormat format);

    int BytesPerPixel() const { return format_ == TPixelFormat::pf32bit ? 4 : 3; }
    int BytesPerLine() const { return stride_; }
    // Null outside 0 ≤ y < Height. Flushes pending GDI drawing first.
    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    HBITMAP Handle() const { return bitmap_; }
    // The memory canvas, made at first use and kept for the bitmap's life:
    // a reference to it stays valid across SetSize and SetPixelFormat.
    TCanvas& Canvas();
    // Tells the change notification after direct pixel writes.
    void Modified() { Changed(); }

    void Draw(TCanvas& canvas, const RECT& dest) const override;
    bool LoadFromStream(TStream& stream) override;
    bool SaveToStream(TStream& stream) const override;
    // From another bitmap: a copy of its pixels and format. From any other
    // picture: a 32-bit bitmap of its size with the picture drawn onto
    // transparent black.
    bool Assign(const TGraphic& source) override;
    std::unique_ptr<TGraphic> Clone() const override;

private:
    class TMemoryCanvas;
    void Free();
    bool Make(int width, int height, TPixelFormat format);
    bool LoadBmp(const std::string& bytes);

    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    TPixelFormat format_ = TPixelFormat::pf32bit;
    HBITMAP bitmap_ = nullptr;
    uint8_t* bits_ = nullptr;
    std::unique_ptr<TMemoryCanvas> canvas_;
};

// ---------------------------------------------------------------------------
// Picture file formats

using TGraphicFactory = std::unique_ptr<TGraphic> (*)();
template <typename T> std::unique_ptr<TGraphic> KvNewGraphic()
{
    return std::make_unique<T>();
}

struct TFileFormat {
    std::wstring extension; // without the dot, as registered
    std::wstring description;
    TGraphicFactory factory = nullptr;
};

// Registers a file extension (without the dot, any letter case) for a
// picture class; a later registration of the same extension takes its place.
// "bmp" ("Bitmaps", TBitmap) is registered from the start.
void RegisterFileFormat(std::wstring_view extension, std::wstring_view description,
                        TGraphicFactory factory);
// Removes every extension registered for the factory.
void UnregisterGraphicClass(TGraphicFactory factory);
// The format of an extension (letter case ignored, with or without the dot);
// false when none is registered.
bool FindFileFormat(std::wstring_view extension, TFileFormat& format);
// All registered formats in registration order.
std::vector<TFileFormat> FileFormats();

// Holds one picture of any registered class; owns it. OnChange fires when
// the picture is replaced and when the held picture changes.
class TPicture {
public:
    TPicture() = default;
    ~TPicture();
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    // Null while empty.
    TGraphic* Graphic() const { return graphic_.get(); }
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    // A copy of source's picture (empty when source is empty).
    void Assign(const TPicture& source);
    void Clear() { SetGraphic(nullptr); }

    int Width() const { return graphic_ ? graphic_->Width() : 0; }
    int Height() const { return graphic_ ? graphic_->Height() : 0; }
    bool Empty() const { return !graphic_ || graphic_->Empty(); }

    // By the file's extension through the registered formats. False (the
    // picture unchanged) for an unknown extension; false and empty when the
    // data does not load.
    bool LoadFromFile(const std::wstring& fileName);
    // The class registered for the extension reads the stream.
    bool LoadFromStream(TStream& stream, std::wstring_view extension);
    bool SaveToFile(const std::wstring& fileName) const;

    void SetOnChange(std::function<void(TPicture&)> handler) { onChange_ = std::move(handler); }

private:
    void Changed();
    std::unique_ptr<TGraphic> graphic_;
    std::function<void(TPicture&)> onChange_;
};
