#include "controls/KvGraphics.h"

#include "platform/GuardU.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

// ---------------------------------------------------------------------------
// Colours

COLORREF ColorToRGB(TColor color, COLORREF noneValue)
{
    if (IsNoneColor(color))
        return noneValue;
    if (IsSystemColor(color))
        return GetSysColor(static_cast<int>(color & 0xFF));
    return color & 0x00FFFFFF;
}

bool PictureSizeAllowed(int64_t width, int64_t height)
{
    return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
           width * height <= kMaxPicturePixels;
}

// ---------------------------------------------------------------------------
// Font, brush, pen

TFont::TFont() = default;

TFont::~TFont()
{
    if (handle_)
        DeleteObject(handle_);
}

void TFont::Changed(bool handleToo)
{
    if (handleToo && handle_) {
        DeleteObject(handle_);
        handle_ = nullptr;
    }
    if (onChange_)
        onChange_();
}

void TFont::SetName(const std::wstring& name)
{
    if (name == name_)
        return;
    name_ = name;
    Changed(true);
}

void TFont::SetHeight(int height)
{
    if (height == height_)
        return;
    height_ = height;
    Changed(true);
}

void TFont::SetStyle(TFontStyles style)
{
    if (style == style_)
        return;
    style_ = style;
    Changed(true);
}

void TFont::SetColor(TColor color)
{
    if (color == color_)
        return;
    color_ = color;
    Changed(false);
}

void TFont::SetCharset(BYTE charset)
{
    if (charset == charset_)
        return;
    charset_ = charset;
    Changed(true);
}

bool TFont::SameAs(const TFont& other) const
{
    return name_ == other.name_ && height_ == other.height_ && style_ == other.style_ &&
           color_ == other.color_ && charset_ == other.charset_;
}

void TFont::Assign(const TFont& source)
{
    if (&source == this || SameAs(source))
        return;
    const bool handleToo = name_ != source.name_ || height_ != source.height_ ||
                           style_ != source.style_ || charset_ != source.charset_;
    name_ = source.name_;
    height_ = source.height_;
    style_ = source.style_;
    color_ = source.color_;
    charset_ = source.charset_;
    Changed(handleToo);
}

HFONT TFont::Handle() const
{
    if (!handle_) {
        LOGFONTW lf{};
        lf.lfHeight = height_;
        lf.lfWeight = (style_ & fsBold) ? FW_BOLD : FW_NORMAL;
        lf.lfItalic = (style_ & fsItalic) ? TRUE : FALSE;
        lf.lfUnderline = (style_ & fsUnderline) ? TRUE : FALSE;
        lf.lfStrikeOut = (style_ & fsStrikeOut) ? TRUE : FALSE;
        lf.lfCharSet = charset_;
        lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
        lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
        lf.lfQuality = DEFAULT_QUALITY;
        lf.lfPitchAndFamily = DEFAULT_PITCH;
        wcsncpy(lf.lfFaceName, name_.c_str(), LF_FACESIZE - 1);
        handle_ = CreateFontIndirectW(&lf);
    }
    return handle_;
}

TBrush::~TBrush()
{
    Drop();
}

void TBrush::Drop()
{
    if (handle_)
        DeleteObject(handle_);
    handle_ = nullptr;
}

void TBrush::SetColor(TColor color)
{
    if (color == color_)
        return;
    color_ = color;
    Drop();
}

void TBrush::SetStyle(TBrushStyle style)
{
    if (style == style_)
        return;
    style_ = style;
    Drop();
}

void TBrush::Assign(const TBrush& source)
{
    SetColor(source.color_);
    SetStyle(source.style_);
}

HBRUSH TBrush::Handle() const
{
    if (IsClear())
        return static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    if (!handle_)
        handle_ = CreateSolidBrush(ColorToRGB(color_));
    return handle_;
}

TPen::~TPen()
{
    Drop();
}

void TPen::Drop()
{
    if (handle_)
        DeleteObject(handle_);
    handle_ = nullptr;
}

void TPen::SetColor(TColor color)
{
    if (color == color_)
        return;
    color_ = color;
    Drop();
}

void TPen::SetStyle(TPenStyle style)
{
    if (style == style_)
        return;
    style_ = style;
    Drop();
}

void TPen::SetWidth(int width)
{
    width = std::max(width, 1);
    if (width == width_)
        return;
    width_ = width;
    Drop();
}

void TPen::Assign(const TPen& source)
{
    SetColor(source.color_);
    SetStyle(source.style_);
    SetWidth(source.width_);
}

HPEN TPen::Handle() const
{
    if (IsClear())
        return static_cast<HPEN>(GetStockObject(NULL_PEN));
    if (!handle_)
        handle_ = CreatePen(PS_SOLID, width_, ColorToRGB(color_));
    return handle_;
}

TTextInk MeasureTextInk(HDC dc, std::wstring_view text)
{
    TTextInk ink{};
    SIZE size{};
    if (!dc || text.empty() ||
        !GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size))
        return ink;
    ink.advance = ink.width = ink.inked = size.cx;
    ink.height = size.cy;
    // The text drawn black on white, as it is drawn everywhere else; its
    // rightmost inked column decides.
    const int w = size.cx + size.cy + 8, h = std::max<int>(size.cy, 1);
    TBitmap scratch(w, h, TPixelFormat::pf24bit);
    if (scratch.Empty())
        return ink;
    HDC scratchDc = scratch.Canvas().Handle();
    RECT all{0, 0, w, h};
    FillRect(scratchDc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    {
        TDcSelection font(scratchDc, GetCurrentObject(dc, OBJ_FONT));
        SetBkMode(scratchDc, TRANSPARENT);
        SetTextColor(scratchDc, 0);
        ExtTextOutW(scratchDc, 0, 0, 0, nullptr, text.data(), static_cast<UINT>(text.size()), nullptr);
    }
    GdiFlush();
    int right = -1;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = scratch.ScanLine(y);
        for (int x = w - 1; x > right; --x) {
            const uint8_t* p = row + x * 3;
            if (p[0] != 255 || p[1] != 255 || p[2] != 255) {
                right = x;
                break;
            }
        }
    }
    ink.inked = right + 1;
    ink.width = std::max(ink.advance, ink.inked);
    return ink;
}

// ---------------------------------------------------------------------------
// Canvas

namespace {

// The text attributes of one text operation, put back afterwards.
class TTextState {
public:
    TTextState(HDC dc, TFont& font, TBrush& brush)
        : dc_(dc), font_(dc, font.Handle()), oldColor_(GetTextColor(dc)), oldMode_(GetBkMode(dc)),
          oldBack_(GetBkColor(dc))
    {
        SetTextColor(dc, ColorToRGB(font.Color()));
        if (brush.IsClear()) {
            SetBkMode(dc, TRANSPARENT);
        } else {
            SetBkMode(dc, OPAQUE);
            SetBkColor(dc, ColorToRGB(brush.Color()));
        }
    }
    ~TTextState()
    {
        SetTextColor(dc_, oldColor_);
        SetBkMode(dc_, oldMode_);
        SetBkColor(dc_, oldBack_);
    }
    TTextState(const TTextState&) = delete;
    TTextState& operator=(const TTextState&) = delete;

private:
    HDC dc_;
    TDcSelection font_;
    COLORREF oldColor_;
    int oldMode_;
    COLORREF oldBack_;
};

bool RectEmpty(const RECT& r)
{
    return r.right <= r.left || r.bottom <= r.top;
}

} // namespace

TCanvas::TCanvas() = default;
TCanvas::~TCanvas() = default;

HDC TCanvas::Handle()
{
    if (!dc_)
        CreateHandle();
    return dc_;
}

void TCanvas::SetHandle(HDC dc)
{
    dc_ = dc;
}

void TCanvas::FillRect(const RECT& r)
{
    HDC dc = Handle();
    if (!dc || brush_.IsClear() || RectEmpty(r))
        return;
    ::FillRect(dc, &r, brush_.Handle());
}

void TCanvas::Rectangle(const RECT& r)
{
    HDC dc = Handle();
    if (!dc)
        return;
    TDcSelection pen(dc, pen_.Handle());
    TDcSelection brush(dc, brush_.Handle());
    ::Rectangle(dc, r.left, r.top, r.right, r.bottom);
}

void TCanvas::FrameRect(const RECT& r)
{
    HDC dc = Handle();
    if (!dc || brush_.IsClear())
        return;
    ::FrameRect(dc, &r, brush_.Handle());
}

void TCanvas::Polygon(const POINT* points, int count)
{
    HDC dc = Handle();
    if (!dc || count < 2)
        return;
    TDcSelection pen(dc, pen_.Handle());
    TDcSelection brush(dc, brush_.Handle());
    ::Polygon(dc, points, count);
}

void TCanvas::MoveTo(int x, int y)
{
    if (HDC dc = Handle())
        MoveToEx(dc, x, y, nullptr);
}

void TCanvas::LineTo(int x, int y)
{
    HDC dc = Handle();
    if (!dc)
        return;
    TDcSelection pen(dc, pen_.Handle());
    ::LineTo(dc, x, y);
}

void TCanvas::TextOut(int x, int y, std::wstring_view text)
{
    HDC dc = Handle();
    if (!dc)
        return;
    TTextState state(dc, font_, brush_);
    ExtTextOutW(dc, x, y, 0, nullptr, text.data(), static_cast<UINT>(text.size()), nullptr);
}

void TCanvas::TextRect(const RECT& r, int x, int y, std::wstring_view text)
{
    HDC dc = Handle();
    if (!dc)
        return;
    TTextState state(dc, font_, brush_);
    const UINT options = ETO_CLIPPED | (brush_.IsClear() ? 0 : ETO_OPAQUE);
    ExtTextOutW(dc, x, y, options, &r, text.data(), static_cast<UINT>(text.size()), nullptr);
}

SIZE TCanvas::TextExtent(std::wstring_view text)
{
    SIZE size{};
    HDC dc = Handle();
    if (!dc)
        return size;
    TDcSelection font(dc, font_.Handle());
    if (text.empty()) {
        TEXTMETRICW tm{};
        GetTextMetricsW(dc, &tm);
        size.cy = tm.tmHeight;
        return size;
    }
    GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
    return size;
}

int TCanvas::DrawText(std::wstring_view text, RECT& r, UINT format)
{
    HDC dc = Handle();
    if (!dc)
        return 0;
    TTextState state(dc, font_, brush_);
    return ::DrawTextW(dc, text.data(), static_cast<int>(text.size()), &r, format);
}

void TCanvas::Draw(int x, int y, const TGraphic& graphic)
{
    graphic.Draw(*this, RECT{x, y, x + graphic.Width(), y + graphic.Height()});
}

void TCanvas::StretchDraw(const RECT& dest, const TGraphic& graphic)
{
    graphic.Draw(*this, dest);
}

void TCanvas::CopyRect(const RECT& dest, TCanvas& source, const RECT& sourceRect)
{
    HDC dc = Handle();
    HDC src = source.Handle();
    if (!dc || !src || RectEmpty(dest) || RectEmpty(sourceRect))
        return;
    const int dw = dest.right - dest.left, dh = dest.bottom - dest.top;
    const int sw = sourceRect.right - sourceRect.left, sh = sourceRect.bottom - sourceRect.top;
    if (dw == sw && dh == sh) {
        BitBlt(dc, dest.left, dest.top, dw, dh, src, sourceRect.left, sourceRect.top, SRCCOPY);
        return;
    }
    const int oldMode = SetStretchBltMode(dc, COLORONCOLOR);
    StretchBlt(dc, dest.left, dest.top, dw, dh, src, sourceRect.left, sourceRect.top, sw, sh,
               SRCCOPY);
    SetStretchBltMode(dc, oldMode);
}

bool TCanvas::AlphaBlend(const RECT& dest, TCanvas& source, const RECT& sourceRect,
                         BYTE constantAlpha)
{
    HDC dc = Handle();
    HDC src = source.Handle();
    if (!dc || !src || RectEmpty(dest) || RectEmpty(sourceRect))
        return true;
    BLENDFUNCTION blend{};
    blend.BlendOp = AC_SRC_OVER;
    blend.SourceConstantAlpha = constantAlpha;
    blend.AlphaFormat = AC_SRC_ALPHA;
    return ::AlphaBlend(dc, dest.left, dest.top, dest.right - dest.left, dest.bottom - dest.top,
                        src, sourceRect.left, sourceRect.top, sourceRect.right - sourceRect.left,
                        sourceRect.bottom - sourceRect.top, blend) != FALSE;
}

COLORREF TCanvas::Pixel(int x, int y)
{
    HDC dc = Handle();
    return dc ? GetPixel(dc, x, y) : CLR_INVALID;
}

void TCanvas::SetPixel(int x, int y, TColor color)
{
    if (HDC dc = Handle(); dc && !IsNoneColor(color))
        ::SetPixel(dc, x, y, ColorToRGB(color));
}

RECT TCanvas::ClipRect()
{
    RECT r{};
    if (HDC dc = Handle())
        GetClipBox(dc, &r);
    return r;
}

// ---------------------------------------------------------------------------
// TGraphic

namespace {

struct TFileHandle {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit TFileHandle(HANDLE v) : h(v) {}
    ~TFileHandle()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
};

} // namespace

void TGraphic::SetTransparent(bool on)
{
    if (on == transparent_)
        return;
    transparent_ = on;
    Changed();
}

void TGraphic::Changed()
{
    if (onChange_)
        onChange_(*this);
}

bool TGraphic::LoadFromFile(const std::wstring& fileName)
{
    TFileHandle file(CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.h == INVALID_HANDLE_VALUE) {
        // The content goes, as after any failed load.
        TMemoryStream empty;
        LoadFromStream(empty);
        return false;
    }
    THandleStream stream(file.h);
    return LoadFromStream(stream);
}

bool TGraphic::SaveToFile(const std::wstring& fileName) const
{
    TMemoryStream memory;
    if (!SaveToStream(memory))
        return false;
    TFileHandle file(CreateFileW(fileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(memory.GetSize());
    return WriteFile(file.h, memory.Memory(), size, &written, nullptr) && written == size;
}

bool TGraphic::LoadFromResourceName(HMODULE instance, const std::wstring& resourceName)
{
    HRSRC found = FindResourceW(instance, resourceName.c_str(), RT_RCDATA);
    if (!found) {
        TMemoryStream empty;
        LoadFromStream(empty);
        return false;
    }
    TResourceStream stream(instance, resourceName.c_str());
    return LoadFromStream(stream);
}

// ---------------------------------------------------------------------------
// TBitmap

// One canvas for the bitmap's whole life: a new size or format selects the
// new bitmap into the same DC, so a canvas a caller holds (with its font)
// stays valid across SetSize.
class TBitmap::TMemoryCanvas : public TCanvas {
public:
    explicit TMemoryCanvas(HBITMAP bitmap) : dc_(CreateCompatibleDC(nullptr))
    {
        Select(bitmap);
        SetHandle(dc_);
    }
    ~TMemoryCanvas() override
    {
        SetHandle(nullptr);
        if (dc_) {
            Select(nullptr);
            DeleteDC(dc_);
        }
    }
    // Null puts the DC's own bitmap back, so that the old one can be deleted.
    void Select(HBITMAP bitmap)
    {
        if (!dc_)
            return;
        if (bitmap) {
            HGDIOBJ previous = SelectObject(dc_, bitmap);
            if (!selected_)
                old_ = previous;
            selected_ = true;
        } else if (selected_) {
            SelectObject(dc_, old_);
            selected_ = false;
        }
    }

private:
    HDC dc_;
    HGDIOBJ old_ = nullptr;
    bool selected_ = false;
};

TBitmap::TBitmap() = default;

TBitmap::TBitmap(int width, int height, TPixelFormat format)
{
    SetSize(width, height, format);
}

TBitmap::~TBitmap()
{
    Free();
}

void TBitmap::Free()
{
    if (canvas_)
        canvas_->Select(nullptr);
    if (bitmap_)
        DeleteObject(bitmap_);
    bitmap_ = nullptr;
    bits_ = nullptr;
    width_ = height_ = stride_ = 0;
}

bool TBitmap::Make(int width, int height, TPixelFormat format)
{
    Free();
    format_ = format;
    if (width == 0 && height == 0)
        return true;
    if (!PictureSizeAllowed(width, height))
        return false;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = format == TPixelFormat::pf32bit ? 32 : 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap)
            DeleteObject(bitmap);
        return false;
    }
    bitmap_ = bitmap;
    bits_ = static_cast<uint8_t*>(bits);
    width_ = width;
    height_ = height;
    stride_ = ((width * BytesPerPixel()) + 3) & ~3;
    std::memset(bits_, 0, static_cast<size_t>(stride_) * height_);
    if (canvas_)
        canvas_->Select(bitmap_);
    return true;
}

bool TBitmap::SetSize(int width, int height, TPixelFormat format)
{
    const bool ok = Make(width, height, format);
    Changed();
    return ok;
}

void TBitmap::SetPixelFormat(TPixelFormat format)
{
    if (format == format_)
        return;
    if (Empty()) {
        format_ = format;
        return;
    }
    TBitmap converted(width_, height_, format);
    if (converted.Empty())
        return;
    GdiFlush();
    for (int y = 0; y < height_; ++y) {
        const uint8_t* s = bits_ + static_cast<size_t>(y) * stride_;
        uint8_t* d = converted.bits_ + static_cast<size_t>(y) * converted.stride_;
        for (int x = 0; x < width_; ++x) {
            const uint8_t* sp = s + x * BytesPerPixel();
            uint8_t* dp = d + x * converted.BytesPerPixel();
            dp[0] = sp[0];
            dp[1] = sp[1];
            dp[2] = sp[2];
            if (format == TPixelFormat::pf32bit)
                dp[3] = 255;
        }
    }
    if (canvas_)
        canvas_->Select(nullptr);
    std::swap(bitmap_, converted.bitmap_);
    std::swap(bits_, converted.bits_);
    std::swap(stride_, converted.stride_);
    std::swap(format_, converted.format_);
    if (canvas_)
        canvas_->Select(bitmap_);
    Changed();
}

uint8_t* TBitmap::ScanLine(int y)
{
    if (!bits_ || y < 0 || y >= height_)
        return nullptr;
    GdiFlush();
    return bits_ + static_cast<size_t>(y) * stride_;
}

const uint8_t* TBitmap::ScanLine(int y) const
{
    return const_cast<TBitmap*>(this)->ScanLine(y);
}

TCanvas& TBitmap::Canvas()
{
    if (!canvas_)
        canvas_ = std::make_unique<TMemoryCanvas>(bitmap_);
    return *canvas_;
}

void TBitmap::Draw(TCanvas& canvas, const RECT& dest) const
{
    if (Empty())
        return;
    auto& self = const_cast<TBitmap&>(*this);
    canvas.CopyRect(dest, self.Canvas(), RECT{0, 0, width_, height_});
}

bool TBitmap::Assign(const TGraphic& source)
{
    if (&source == this)
        return true;
    if (auto* bitmap = dynamic_cast<const TBitmap*>(&source)) {
        if (!Make(bitmap->width_, bitmap->height_, bitmap->format_)) {
            Changed();
            return true;
        }
        if (bits_)
            std::memcpy(bits_, bitmap->ScanLine(0), static_cast<size_t>(stride_) * height_);
        SetTransparent(bitmap->Transparent());
        Changed();
        return true;
    }
    Make(source.Width(), source.Height(), TPixelFormat::pf32bit);
    if (!Empty())
        source.Draw(Canvas(), RECT{0, 0, width_, height_});
    Changed();
    return true;
}

std::unique_ptr<TGraphic> TBitmap::Clone() const
{
    auto copy = std::make_unique<TBitmap>();
    copy->Assign(*this);
    return copy;
}

namespace {

#pragma pack(push, 1)
struct TBmpFileHeader {
    uint16_t type;
    uint32_t size;
    uint16_t reserved1;
    uint16_t reserved2;
    uint32_t offBits;
};
#pragma pack(pop)
static_assert(sizeof(TBmpFileHeader) == 14);

constexpr uint16_t kBmpMagic = 0x4D42; // "BM"

} // namespace

bool TBitmap::LoadBmp(const std::string& bytes)
{
    TBmpFileHeader file{};
    BITMAPINFOHEADER header{};
    if (bytes.size() < sizeof(file) + sizeof(header))
        return false;
    std::memcpy(&file, bytes.data(), sizeof(file));
    std::memcpy(&header, bytes.data() + sizeof(file), sizeof(header));
    if (file.type != kBmpMagic || header.biSize < sizeof(BITMAPINFOHEADER) ||
        header.biSize > bytes.size() - sizeof(file) || header.biPlanes != 1)
        return false;
    const int64_t width = header.biWidth;
    const bool bottomUp = header.biHeight > 0;
    const int64_t height = bottomUp ? int64_t{header.biHeight} : -int64_t{header.biHeight};
    const int bpp = header.biBitCount;
    if (!PictureSizeAllowed(width, height))
        return false;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return false;
    const bool bitFields = header.biCompression == BI_BITFIELDS;
    if (header.biCompression != BI_RGB && !(bitFields && (bpp == 16 || bpp == 32)))
        return false;
    size_t colors = 0;
    if (bpp <= 8)
        colors = header.biClrUsed ? header.biClrUsed : (size_t{1} << bpp);
    if (colors > 256)
        return false;
    // Bit-field masks follow a 40-byte header; longer headers carry them inside.
    const size_t masks = (bitFields && header.biSize == sizeof(BITMAPINFOHEADER)) ? 12 : 0;
    const size_t infoSize = header.biSize + masks + colors * sizeof(RGBQUAD);
    const size_t sourceStride = ((static_cast<size_t>(width) * bpp + 31) / 32) * 4;
    const size_t imageSize = sourceStride * static_cast<size_t>(height);
    if (infoSize > bytes.size() - sizeof(file) || file.offBits < sizeof(file) + infoSize ||
        file.offBits > bytes.size() || imageSize > bytes.size() - file.offBits)
        return false;

    const TPixelFormat format = bpp == 32 ? TPixelFormat::pf32bit : TPixelFormat::pf24bit;
    if (!Make(static_cast<int>(width), static_cast<int>(height), format))
        return false;
    const uint8_t* pixels = reinterpret_cast<const uint8_t*>(bytes.data()) + file.offBits;
    if (bpp == 32 && !bitFields) {
        // Kept byte for byte: GDI's conversion may drop the fourth byte.
        for (int y = 0; y < height_; ++y) {
            const int row = bottomUp ? height_ - 1 - y : y;
            std::memcpy(bits_ + static_cast<size_t>(y) * stride_, pixels + row * sourceStride,
                        static_cast<size_t>(width_) * 4);
        }
        return true;
    }
    std::vector<uint8_t> info(bytes.begin() + sizeof(file),
                              bytes.begin() + static_cast<ptrdiff_t>(sizeof(file) + infoSize));
    auto* bmi = reinterpret_cast<BITMAPINFO*>(info.data());
    HDC screen = GetDC(nullptr);
    const int lines = SetDIBits(screen, bitmap_, 0, static_cast<UINT>(height_), pixels, bmi,
                                DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (lines != height_) {
        Free();
        return false;
    }
    return true;
}

bool TBitmap::LoadFromStream(TStream& stream)
{
    bool ok = false;
    Guard([&] {
        const int64_t size = stream.GetSize() - stream.GetPosition();
        // A header and at most the largest allowed picture in 32 bits.
        if (size <= 0 || size > kMaxPicturePixels * 4 + 65536)
            return;
        std::string bytes(static_cast<size_t>(size), '\0');
        if (stream.Read(bytes.data(), static_cast<int32_t>(size)) != size)
            return;
        ok = LoadBmp(bytes);
    });
    if (!ok)
        Free();
    Changed();
    return ok;
}

bool TBitmap::SaveToStream(TStream& stream) const
{
    if (Empty())
        return false;
    const int bpp = BytesPerPixel() * 8;
    const uint32_t fileStride = stride_; // already a multiple of four
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = width_;
    header.biHeight = height_; // bottom-up, as readers expect
    header.biPlanes = 1;
    header.biBitCount = static_cast<WORD>(bpp);
    header.biCompression = BI_RGB;
    header.biSizeImage = fileStride * height_;
    TBmpFileHeader file{};
    file.type = kBmpMagic;
    file.offBits = sizeof(file) + sizeof(header);
    file.size = file.offBits + header.biSizeImage;
    return Guard([&] {
        stream.WriteBuffer(&file, sizeof(file));
        stream.WriteBuffer(&header, sizeof(header));
        for (int y = height_ - 1; y >= 0; --y)
            stream.WriteBuffer(ScanLine(y), static_cast<int32_t>(fileStride));
    });
}

// ---------------------------------------------------------------------------
// File formats and TPicture

namespace {

std::wstring FoldExtension(std::wstring_view extension)
{
    if (!extension.empty() && extension.front() == L'.')
        extension.remove_prefix(1);
    std::wstring folded(extension);
    for (wchar_t& c : folded)
        c = static_cast<wchar_t>(std::towlower(c));
    return folded;
}

std::vector<TFileFormat>& Formats()
{
    static std::vector<TFileFormat> formats{
        {L"bmp", L"Bitmaps", &KvNewGraphic<TBitmap>},
    };
    return formats;
}

std::wstring ExtensionOf(const std::wstring& fileName)
{
    const size_t dot = fileName.find_last_of(L'.');
    const size_t slash = fileName.find_last_of(L"\\/");
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash))
        return {};
    return fileName.substr(dot + 1);
}

} // namespace

void RegisterFileFormat(std::wstring_view extension, std::wstring_view description,
                        TGraphicFactory factory)
{
    const std::wstring key = FoldExtension(extension);
    auto& formats = Formats();
    std::erase_if(formats, [&](const TFileFormat& f) { return FoldExtension(f.extension) == key; });
    formats.push_back({std::wstring(extension), std::wstring(description), factory});
}

void UnregisterGraphicClass(TGraphicFactory factory)
{
    std::erase_if(Formats(), [&](const TFileFormat& f) { return f.factory == factory; });
}

bool FindFileFormat(std::wstring_view extension, TFileFormat& format)
{
    const std::wstring key = FoldExtension(extension);
    for (const TFileFormat& f : Formats()) {
        if (FoldExtension(f.extension) == key) {
            format = f;
            return true;
        }
    }
    return false;
}

std::vector<TFileFormat> FileFormats()
{
    return Formats();
}

TPicture::~TPicture() = default;

void TPicture::Changed()
{
    if (onChange_)
        onChange_(*this);
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic)
{
    graphic_ = std::move(graphic);
    if (graphic_)
        graphic_->SetOnChange([this](TGraphic&) { Changed(); });
    Changed();
}

void TPicture::Assign(const TPicture& source)
{
    if (&source == this)
        return;
    SetGraphic(source.graphic_ ? source.graphic_->Clone() : nullptr);
}

bool TPicture::LoadFromStream(TStream& stream, std::wstring_view extension)
{
    TFileFormat format;
    if (!FindFileFormat(extension, format) || !format.factory)
        return false;
    std::unique_ptr<TGraphic> graphic = format.factory();
    const bool ok = graphic && graphic->LoadFromStream(stream);
    SetGraphic(ok ? std::move(graphic) : nullptr);
    return ok;
}

bool TPicture::LoadFromFile(const std::wstring& fileName)
{
    TFileFormat format;
    if (!FindFileFormat(ExtensionOf(fileName), format) || !format.factory)
        return false;
    std::unique_ptr<TGraphic> graphic = format.factory();
    const bool ok = graphic && graphic->LoadFromFile(fileName);
    SetGraphic(ok ? std::move(graphic) : nullptr);
    return ok;
}

bool TPicture::SaveToFile(const std::wstring& fileName) const
{
    return graphic_ && graphic_->SaveToFile(fileName);
}
