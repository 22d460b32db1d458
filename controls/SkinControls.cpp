#include "controls/SkinControls.h"

#include "controls/KvCardinalHash.h"
#include "controls/KvWideStringHash.h"
#include "platform/GuardU.h"

#include <algorithm>

// ---------------------------------------------------------------------------
// TRectObject

void TRectObject::Set(int32_t left, int32_t top, int32_t right, int32_t bottom)
{
    if (left == left_ && top == top_ && right == right_ && bottom == bottom_)
        return;
    left_ = left;
    top_ = top;
    right_ = right;
    bottom_ = bottom;
    if (onChange_)
        onChange_();
}

// ---------------------------------------------------------------------------
// Bitmaps for drawing

std::unique_ptr<TBitmap> PngToAlphaBitmap(const TPNGPicture& png, bool premultiply)
{
    if (png.Empty())
        return nullptr;
    auto bitmap = std::make_unique<TBitmap>(png.Width(), png.Height(), TPixelFormat::pf32bit);
    if (bitmap->Empty())
        return nullptr;
    const uint8_t* in = png.Pixels();
    const bool hasAlpha = png.HasAlpha();
    for (int y = 0; y < png.Height(); ++y) {
        uint8_t* out = bitmap->ScanLine(y);
        for (int x = 0; x < png.Width(); ++x, in += 4, out += 4) {
            const unsigned a = hasAlpha ? in[3] : 255;
            if (a == 0) {
                out[0] = out[1] = out[2] = out[3] = 0;
                continue;
            }
            for (int c = 0; c < 3; ++c)
                out[c] = premultiply ? static_cast<uint8_t>(in[c] * a / 255) : in[c];
            out[3] = static_cast<uint8_t>(a);
        }
    }
    return bitmap;
}

std::unique_ptr<TBitmap> MakeTintedAlphaBitmap(const TBitmap& source, TColor color)
{
    if (source.Empty())
        return nullptr;
    auto bitmap = std::make_unique<TBitmap>(source.Width(), source.Height(), TPixelFormat::pf32bit);
    if (bitmap->Empty())
        return nullptr;
    const COLORREF rgb = ColorToRGB(color);
    const unsigned red = GetRValue(rgb), green = GetGValue(rgb), blue = GetBValue(rgb);
    const int step = source.BytesPerPixel();
    for (int y = 0; y < source.Height(); ++y) {
        const uint8_t* in = source.ScanLine(y);
        uint8_t* out = bitmap->ScanLine(y);
        for (int x = 0; x < source.Width(); ++x, in += step, out += 4) {
            const unsigned a = 255u - in[2];
            out[0] = static_cast<uint8_t>(blue * a / 255);
            out[1] = static_cast<uint8_t>(green * a / 255);
            out[2] = static_cast<uint8_t>(red * a / 255);
            out[3] = static_cast<uint8_t>(a);
        }
    }
    return bitmap;
}

void DrawSkinBitmap(TCanvas& canvas, const RECT& dest, TBitmap& bitmap, const RECT& source,
                    bool transparent)
{
    if (transparent && bitmap.PixelFormat() == TPixelFormat::pf32bit)
        canvas.AlphaBlend(dest, bitmap.Canvas(), source);
    else
        canvas.CopyRect(dest, bitmap.Canvas(), source);
}

// ---------------------------------------------------------------------------
// TSkinBitmapImage

TSkinBitmapImage::TSkinBitmapImage(TSkinBitmapImages& collection) : collection_(collection)
{
    picture_.SetOnChange([this](TPicture&) { Invalidate(); });
}

TSkinBitmapImage::~TSkinBitmapImage() = default;

void TSkinBitmapImage::SetName(const std::wstring& name)
{
    if (name == name_)
        return;
    name_ = name;
    collection_.Changed();
}

std::wstring TSkinBitmapImage::DisplayName() const
{
    return name_.empty() ? std::wstring(L"TSkinBitmapImage") : name_;
}

void TSkinBitmapImage::SetAlphaPremultiply(bool on)
{
    if (on == alphaPremultiply_)
        return;
    alphaPremultiply_ = on;
    Invalidate();
}

int TSkinBitmapImage::Index() const
{
    return collection_.IndexOf(this);
}

TBitmap* TSkinBitmapImage::DrawingBitmap()
{
    if (drawingValid_)
        return drawing_.get();
    drawing_.reset();
    drawingValid_ = true;
    ++drawingBuilds_;
    const TGraphic* graphic = picture_.Graphic();
    if (!graphic || graphic->Empty())
        return nullptr;
    if (auto* png = dynamic_cast<const TPNGPicture*>(graphic)) {
        // Premultiplied here, and only here: AlphaPremultiply is for bitmaps
        // that carry straight alpha.
        drawing_ = PngToAlphaBitmap(*png, true);
        return drawing_.get();
    }
    auto* source = dynamic_cast<const TBitmap*>(graphic);
    const TPixelFormat format = source ? source->PixelFormat() : TPixelFormat::pf24bit;
    auto bitmap = std::make_unique<TBitmap>(graphic->Width(), graphic->Height(), format);
    if (bitmap->Empty())
        return nullptr;
    if (source) {
        bitmap->Assign(*source);
    } else {
        // Any other picture drawn opaque onto white.
        bitmap->Canvas().Brush().SetColor(clWhite);
        bitmap->Canvas().FillRect(RECT{0, 0, bitmap->Width(), bitmap->Height()});
        graphic->Draw(bitmap->Canvas(), RECT{0, 0, bitmap->Width(), bitmap->Height()});
    }
    if (alphaPremultiply_ && bitmap->PixelFormat() == TPixelFormat::pf32bit) {
        for (int y = 0; y < bitmap->Height(); ++y) {
            uint8_t* p = bitmap->ScanLine(y);
            for (int x = 0; x < bitmap->Width(); ++x, p += 4)
                for (int c = 0; c < 3; ++c)
                    p[c] = static_cast<uint8_t>(p[c] * p[3] / 255);
        }
    }
    drawing_ = std::move(bitmap);
    return drawing_.get();
}

void TSkinBitmapImage::Draw(TCanvas& canvas, int x, int y, bool transparent)
{
    TBitmap* bitmap = DrawingBitmap();
    if (!bitmap)
        return;
    const int w = bitmap->Width(), h = bitmap->Height();
    DrawSkinBitmap(canvas, RECT{x, y, x + w, y + h}, *bitmap, RECT{0, 0, w, h}, transparent);
}

namespace {

// One part of a nine-patch: its place in the picture and on the canvas.
// Along an axis where the two sizes are equal the part is unscaled and is cut
// to the destination (the same amount off the source); along a stretched axis
// it already lies inside it.
void DrawPart(TCanvas& canvas, TBitmap& bitmap, RECT source, RECT dest, const RECT& bounds,
              bool transparent)
{
    if (source.right <= source.left || source.bottom <= source.top || dest.right <= dest.left ||
        dest.bottom <= dest.top)
        return;
    const bool fixedX = source.right - source.left == dest.right - dest.left;
    const bool fixedY = source.bottom - source.top == dest.bottom - dest.top;
    if (fixedX) {
        const int cutLeft = std::max(0L, bounds.left - dest.left);
        const int cutRight = std::max(0L, dest.right - bounds.right);
        source.left += cutLeft;
        dest.left += cutLeft;
        source.right -= cutRight;
        dest.right -= cutRight;
    }
    if (fixedY) {
        const int cutTop = std::max(0L, bounds.top - dest.top);
        const int cutBottom = std::max(0L, dest.bottom - bounds.bottom);
        source.top += cutTop;
        dest.top += cutTop;
        source.bottom -= cutBottom;
        dest.bottom -= cutBottom;
    }
    if (source.right <= source.left || source.bottom <= source.top || dest.right <= dest.left ||
        dest.bottom <= dest.top)
        return;
    DrawSkinBitmap(canvas, dest, bitmap, source, transparent);
}

} // namespace

void TSkinBitmapImage::Draw(TCanvas& canvas, const RECT& dest, bool transparent)
{
    TBitmap* bitmap = DrawingBitmap();
    if (!bitmap || dest.right <= dest.left || dest.bottom <= dest.top)
        return;
    const int w = bitmap->Width(), h = bitmap->Height();
    if (stretchStyle_ != assFrame || clientRect_.Empty()) {
        DrawSkinBitmap(canvas, dest, *bitmap, RECT{0, 0, w, h}, transparent);
        return;
    }
    const int l = clientRect_.Left(), t = clientRect_.Top();
    const int r = clientRect_.Right(), b = clientRect_.Bottom();
    const RECT& d = dest;
    // Corners, unscaled.
    DrawPart(canvas, *bitmap, {0, 0, l, t}, {d.left, d.top, d.left + l, d.top + t}, d, transparent);
    DrawPart(canvas, *bitmap, {w - r, 0, w, t}, {d.right - r, d.top, d.right, d.top + t}, d, transparent);
    DrawPart(canvas, *bitmap, {0, h - b, l, h}, {d.left, d.bottom - b, d.left + l, d.bottom}, d,
             transparent);
    DrawPart(canvas, *bitmap, {w - r, h - b, w, h}, {d.right - r, d.bottom - b, d.right, d.bottom}, d,
             transparent);
    // Edges, stretched along their length.
    DrawPart(canvas, *bitmap, {l, 0, w - r, t}, {d.left + l, d.top, d.right - r, d.top + t}, d,
             transparent);
    DrawPart(canvas, *bitmap, {l, h - b, w - r, h}, {d.left + l, d.bottom - b, d.right - r, d.bottom}, d,
             transparent);
    DrawPart(canvas, *bitmap, {0, t, l, h - b}, {d.left, d.top + t, d.left + l, d.bottom - b}, d,
             transparent);
    DrawPart(canvas, *bitmap, {w - r, t, w, h - b}, {d.right - r, d.top + t, d.right, d.bottom - b}, d,
             transparent);
    // The centre.
    DrawPart(canvas, *bitmap, {l, t, w - r, h - b}, {d.left + l, d.top + t, d.right - r, d.bottom - b}, d,
             transparent);
}

// ---------------------------------------------------------------------------
// TSkinBitmapImages

TSkinBitmapImage& TSkinBitmapImages::Add()
{
    items_.push_back(std::make_unique<TSkinBitmapImage>(*this));
    Changed();
    return *items_.back();
}

void TSkinBitmapImages::Delete(int index)
{
    items_.erase(items_.begin() + (static_cast<size_t>(index) < items_.size() ? index : items_.size()));
    Changed();
}

void TSkinBitmapImages::Clear()
{
    items_.clear();
    Changed();
}

void TSkinBitmapImages::Move(int from, int to)
{
    const int count = Count();
    if (from < 0 || from >= count || to < 0 || to >= count || from == to)
        return;
    auto item = std::move(items_[static_cast<size_t>(from)]);
    items_.erase(items_.begin() + from);
    items_.insert(items_.begin() + to, std::move(item));
    Changed();
}

int TSkinBitmapImages::IndexOf(const TSkinBitmapImage* item) const
{
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == item)
            return static_cast<int>(i);
    return -1;
}

void TSkinBitmapImages::Changed()
{
    owner_.InvalidateIndex();
}

// ---------------------------------------------------------------------------
// TSkinBitmapList

TSkinBitmapList::TSkinBitmapList(TComponent* owner) : TComponent(owner), images_(*this) {}

TSkinBitmapList::~TSkinBitmapList() = default;

void TSkinBitmapList::BuildIndex()
{
    if (!index_)
        index_ = std::make_unique<TKvCardinalHash>(KvWideStringKeyHandlerCI());
    index_->Clear();
    index_->SetHashCount(std::max(16, images_.Count()));
    for (int i = 0; i < images_.Count(); ++i) {
        const std::wstring& name = images_[i].Name();
        if (name.empty())
            continue;
        WideString key(reinterpret_cast<const char16_t*>(name.data()), static_cast<int32_t>(name.size()));
        // Stored as index + 1: the hash answers 0 for an absent key. Insert
        // gives null for a repeated name, which keeps its first item.
        if (void* slot = index_->Insert(&key))
            *static_cast<uint32_t*>(slot) = static_cast<uint32_t>(i) + 1;
    }
    indexValid_ = true;
}

TSkinBitmapImage* TSkinBitmapList::FindImage(std::wstring_view name)
{
    if (name.empty())
        return nullptr;
    if (!indexValid_)
        BuildIndex();
    const uint32_t found = index_->CardinalOfKeyBuf(reinterpret_cast<const char16_t*>(name.data()),
                                                    static_cast<int32_t>(name.size()));
    if (found == 0 || found > static_cast<uint32_t>(images_.Count()))
        return nullptr;
    return &images_[static_cast<int>(found - 1)];
}

// ---------------------------------------------------------------------------
// The "PNG" file format

namespace {

int gSkinUsers = 0;

// The unit's own initialisation and finalisation.
struct TSkinControlsUnit {
    TSkinControlsUnit() { SkinControlsInit(); }
    ~TSkinControlsUnit()
    {
        Guard([] { SkinControlsDone(); });
    }
} gSkinControlsUnit;

} // namespace

void SkinControlsInit()
{
    if (gSkinUsers++ > 0)
        return;
    RegisterFileFormat(L"PNG", L"Portable Network Graphics", &KvNewGraphic<TPNGPicture>);
}

void SkinControlsDone()
{
    if (gSkinUsers <= 0 || --gSkinUsers > 0)
        return;
    UnregisterGraphicClass(&KvNewGraphic<TPNGPicture>);
}
