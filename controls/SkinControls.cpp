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

// ---------------------------------------------------------------------------
// The controls

namespace {

RECT Shifted(RECT r, int dx, int dy)
{
    OffsetRect(&r, dx, dy);
    return r;
}

UINT AlignFormat(TSkinCaptionAlign align)
{
    switch (align) {
    case TSkinCaptionAlign::aclLeft:
        return DT_LEFT;
    case TSkinCaptionAlign::aclRight:
        return DT_RIGHT;
    case TSkinCaptionAlign::aclCenter:
        break;
    }
    return DT_CENTER;
}

TSkinCaptionAlign FromAlignment(TAlignment alignment)
{
    switch (alignment) {
    case TAlignment::Left:
        return TSkinCaptionAlign::aclLeft;
    case TAlignment::Right:
        return TSkinCaptionAlign::aclRight;
    case TAlignment::Center:
        break;
    }
    return TSkinCaptionAlign::aclCenter;
}

void ApplyFontSpec(TFont& font, const TFontSpec& spec)
{
    if (spec.name)
        font.SetName(spec.name);
    if (spec.height)
        font.SetHeight(spec.height);
    if (spec.styleSet)
        font.SetStyle(spec.style);
    if (spec.color != clDefault)
        font.SetColor(spec.color);
}

// The state table, for pictures and for icons alike.
TSkinBitmapImage* ChooseByState(bool enabled, bool hot, bool down, TSkinBitmapImage* normal,
                                TSkinBitmapImage* hotImage, TSkinBitmapImage* downImage,
                                TSkinBitmapImage* disabled, TSkinBitmapImage* disabledHot)
{
    if (!enabled) {
        if (hot && disabledHot)
            return disabledHot;
        return disabled ? disabled : normal;
    }
    if (down)
        return downImage ? downImage : normal;
    if (hot)
        return hotImage ? hotImage : normal;
    return normal;
}

} // namespace

SIZE MeasureSkinText(const TFont& font, const std::wstring& text, int wrapWidth)
{
    SIZE size{};
    if (text.empty())
        return size;
    HDC dc = GetDC(nullptr);
    if (!dc)
        return size;
    {
        TDcSelection select(dc, font.Handle());
        RECT r{0, 0, std::max(wrapWidth, 0), 0};
        const UINT flags =
            DT_CALCRECT | DT_NOPREFIX | (wrapWidth > 0 ? DT_WORDBREAK : DT_SINGLELINE);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, flags);
        size.cx = r.right - r.left;
        size.cy = r.bottom - r.top;
        if (wrapWidth <= 0)
            size.cx = MeasureTextInk(dc, text).width;
    }
    ReleaseDC(nullptr, dc);
    return size;
}

TSkinImage::TSkinImage(TComponent* owner) : TPaintBox(owner) {}

TSkinImage::~TSkinImage() = default;

void TSkinImage::SetImageList(TSkinBitmapList* list)
{
    if (list == imageList_)
        return;
    if (imageList_)
        RemoveFreeNotification(imageList_);
    imageList_ = list;
    if (list)
        FreeNotification(list);
    ImageChanged();
}

void TSkinImage::Notification(TComponent* component, TOperation operation)
{
    TPaintBox::Notification(component, operation);
    if (operation == TOperation::Remove && component == imageList_) {
        imageList_ = nullptr;
        ImageChanged();
    }
}

void TSkinImage::SetImageName(const std::wstring& name)
{
    if (name == imageName_)
        return;
    imageName_ = name;
    ImageChanged();
}

void TSkinImage::SetImageNameDisabled(const std::wstring& name)
{
    if (name == imageNameDisabled_)
        return;
    imageNameDisabled_ = name;
    ImageChanged();
}

void TSkinImage::SetStretched(bool on)
{
    if (on == stretched_)
        return;
    stretched_ = on;
    Invalidate();
}

void TSkinImage::SetTransparent(bool on)
{
    if (on == transparent_)
        return;
    transparent_ = on;
    Invalidate();
}

TSkinBitmapImage* TSkinImage::Resolve(const std::wstring& name) const
{
    return imageList_ ? imageList_->FindImage(name) : nullptr;
}

void TSkinImage::ImageChanged()
{
    normal_ = Resolve(imageName_);
    disabled_ = Resolve(imageNameDisabled_);
    Invalidate();
}

void TSkinImage::EnabledChanged()
{
    Invalidate();
}

void TSkinImage::DrawImage(TSkinBitmapImage& image)
{
    if (stretched_) {
        image.Draw(Canvas(), ClientRect(), transparent_);
        return;
    }
    image.Draw(Canvas(), (Width() - image.Width()) / 2, (Height() - image.Height()) / 2,
               transparent_);
}

void TSkinImage::Paint()
{
    TSkinBitmapImage* image = !Enabled() && disabled_ ? disabled_ : normal_;
    if (image)
        DrawImage(*image);
    TPaintBox::Paint();
}

void TSkinImage::ApplySpec(const TControlSpec& spec, const TLayoutContext& context)
{
    if (context.images && !imageList_) {
        imageList_ = context.images;
        FreeNotification(imageList_);
    }
    if (spec.image)
        imageName_ = spec.image;
    if (spec.imageDisabled)
        imageNameDisabled_ = spec.imageDisabled;
    if (spec.stretched != TFlag::Default)
        stretched_ = spec.stretched == TFlag::On;
    if (spec.transparent != TFlag::Default)
        transparent_ = spec.transparent == TFlag::On;
    ImageChanged();
    TPaintBox::ApplySpec(spec, context);
}

bool TSkinImage::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"ImageName") {
        value = imageName_;
        return true;
    }
    return TPaintBox::InspectProperty(name, value);
}

// ---------------------------------------------------------------------------
// TSkinButton

TSkinButton::TSkinButton(TComponent* owner) : TSkinImage(owner)
{
    stretched_ = true;
    edgeMargins_.SetOnChange([this] { Invalidate(); });
}

void TSkinButton::SetImageNameHot(const std::wstring& name)
{
    if (name == imageNameHot_)
        return;
    imageNameHot_ = name;
    ImageChanged();
}

void TSkinButton::SetImageNameDown(const std::wstring& name)
{
    if (name == imageNameDown_)
        return;
    imageNameDown_ = name;
    ImageChanged();
}

void TSkinButton::SetImageNameDisabledHot(const std::wstring& name)
{
    if (name == imageNameDisabledHot_)
        return;
    imageNameDisabledHot_ = name;
    ImageChanged();
}

void TSkinButton::SetCaptionAlign(TSkinCaptionAlign align)
{
    captionAlign_ = align;
    Invalidate();
}

void TSkinButton::SetCaptionBorder(TColor color)
{
    captionBorder_ = color;
    Invalidate();
}

void TSkinButton::SetDisabledFontColor(TColor color)
{
    disabledFontColor_ = color;
    Invalidate();
}

void TSkinButton::SetPushCaption(bool on)
{
    pushCaption_ = on;
    Invalidate();
}

void TSkinButton::SetTextTransparent(bool on)
{
    textTransparent_ = on;
    Invalidate();
}

void TSkinButton::ImageChanged()
{
    hotImage_ = Resolve(imageNameHot_);
    downImage_ = Resolve(imageNameDown_);
    disabledHotImage_ = Resolve(imageNameDisabledHot_);
    TSkinImage::ImageChanged();
}

TSkinBitmapImage* TSkinButton::ChosenImage() const
{
    return ChooseByState(Enabled(), hot_, down_, normal_, hotImage_, downImage_, disabled_,
                         disabledHotImage_);
}

RECT TSkinButton::TextArea() const
{
    RECT r = ClientRect();
    if (!edgeMargins_.Empty()) {
        r.left += edgeMargins_.Left();
        r.top += edgeMargins_.Top();
        r.right -= edgeMargins_.Right();
        r.bottom -= edgeMargins_.Bottom();
    }
    return r;
}

TColor TSkinButton::TextColor() const
{
    return Enabled() ? Font().Color() : disabledFontColor_;
}

TSkinCaptionLayout TSkinButton::CaptionLayout() const
{
    TSkinCaptionLayout layout;
    const SIZE text = caption_.empty() ? SIZE{} : Measurer(Font(), caption_, 0);
    const RECT area = TextArea();
    const int l = area.left, t = area.top;
    const int r = ClientWidth() - area.right, b = ClientHeight() - area.bottom;
    const int top = (ClientHeight() - t - b - text.cy) / 2 + t;
    int left = 0;
    switch (captionAlign_) {
    case TSkinCaptionAlign::aclCenter:
        left = (ClientWidth() - l - r - text.cx) / 2 + l;
        break;
    case TSkinCaptionAlign::aclLeft:
        left = l;
        break;
    case TSkinCaptionAlign::aclRight:
        left = ClientWidth() - r - text.cx;
        break;
    }
    // The push is applied once, here: a pressed caption moves by one pixel.
    const int push = Pushed() ? 1 : 0;
    layout.caption = RECT{left + push, top + push, left + push + text.cx, top + push + text.cy};
    return layout;
}

void TSkinButton::DrawText(const std::wstring& text, const TFont& font, const RECT& where,
                           UINT format)
{
    const int w = where.right - where.left, h = where.bottom - where.top;
    if (text.empty() || w <= 0 || h <= 0)
        return;
    TCanvas& canvas = Canvas();
    const TColor color = Enabled() ? font.Color() : disabledFontColor_;
    const bool shadow = Enabled() && !IsNoneColor(captionBorder_);
    format |= DT_NOPREFIX;
    if (transparent_ && textTransparent_) {
        TFont saved;
        saved.Assign(canvas.Font());
        canvas.Font().Assign(font);
        canvas.Brush().SetStyle(TBrushStyle::Clear);
        if (shadow) {
            canvas.Font().SetColor(captionBorder_);
            RECT r = Shifted(where, 1, 1);
            if (format & DT_SINGLELINE)
                canvas.TextOut(r.left, r.top, text);
            else
                canvas.DrawText(text, r, format);
        }
        canvas.Font().SetColor(color);
        RECT r = where;
        if (format & DT_SINGLELINE)
            canvas.TextOut(r.left, r.top, text);
        else
            canvas.DrawText(text, r, format);
        canvas.Font().Assign(saved);
        canvas.Brush().SetStyle(TBrushStyle::Solid);
        return;
    }
    // Black on white, then a mask in the colour: smooth over any background.
    TBitmap ink(w, h, TPixelFormat::pf24bit);
    if (ink.Empty())
        return;
    TCanvas& inkCanvas = ink.Canvas();
    inkCanvas.Brush().SetColor(clWhite);
    inkCanvas.FillRect(RECT{0, 0, w, h});
    inkCanvas.Font().Assign(font);
    inkCanvas.Font().SetColor(clBlack);
    inkCanvas.Brush().SetStyle(TBrushStyle::Clear);
    RECT inside{0, 0, w, h};
    if (format & DT_SINGLELINE)
        inkCanvas.TextOut(0, 0, text);
    else
        inkCanvas.DrawText(text, inside, format);
    const RECT source{0, 0, w, h};
    if (shadow)
        if (auto mask = MakeTintedAlphaBitmap(ink, captionBorder_))
            DrawSkinBitmap(canvas, Shifted(where, 1, 1), *mask, source, true);
    if (auto mask = MakeTintedAlphaBitmap(ink, color))
        DrawSkinBitmap(canvas, where, *mask, source, true);
}

void TSkinButton::PaintContent()
{
    DrawText(caption_, Font(), CaptionLayout().caption, DT_SINGLELINE | DT_LEFT);
}

void TSkinButton::Paint()
{
    TCanvas& canvas = Canvas();
    canvas.Brush().SetColor(Color());
    canvas.Font().Assign(Font());
    TSkinBitmapImage* image = ChosenImage();
    if (image)
        DrawImage(*image);
    PaintContent();
    currentImage_ = image ? image->Name() : std::wstring();
    TGraphicControl::Paint();
}

void TSkinButton::MouseEnter()
{
    hot_ = true;
    Invalidate();
    TSkinImage::MouseEnter();
}

void TSkinButton::MouseLeave()
{
    hot_ = false;
    Invalidate();
    TSkinImage::MouseLeave();
}

void TSkinButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (button == TMouseButton::Left) {
        down_ = true;
        Invalidate();
    }
    TSkinImage::MouseDown(button, shift, x, y);
}

void TSkinButton::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    // Cleared before the click: its handler sees the button up.
    if (button == TMouseButton::Left && down_) {
        down_ = false;
        Invalidate();
    }
    TSkinImage::MouseUp(button, shift, x, y);
}

void TSkinButton::ApplySpec(const TControlSpec& spec, const TLayoutContext& context)
{
    if (spec.imageHot)
        imageNameHot_ = spec.imageHot;
    if (spec.imageDown)
        imageNameDown_ = spec.imageDown;
    if (spec.imageDisabledHot)
        imageNameDisabledHot_ = spec.imageDisabledHot;
    if (spec.alignmentSet)
        captionAlign_ = FromAlignment(spec.alignment);
    if (spec.captionBorder != clDefault)
        captionBorder_ = spec.captionBorder;
    if (spec.disabledFontColor != clDefault)
        disabledFontColor_ = spec.disabledFontColor;
    if (spec.edgeMarginsSet)
        edgeMargins_.Set(spec.edgeMargins.left, spec.edgeMargins.top, spec.edgeMargins.right,
                         spec.edgeMargins.bottom);
    if (spec.pushCaption != TFlag::Default)
        pushCaption_ = spec.pushCaption == TFlag::On;
    if (spec.textTransparent != TFlag::Default)
        textTransparent_ = spec.textTransparent == TFlag::On;
    TSkinImage::ApplySpec(spec, context);
}

bool TSkinButton::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"CurrentImage") {
        value = currentImage_;
        return true;
    }
    return TSkinImage::InspectProperty(name, value);
}

// ---------------------------------------------------------------------------
// TSkinButtonEx

TSkinButtonEx::TSkinButtonEx(TComponent* owner) : TSkinButton(owner)
{
    underCaptionFont_.SetOnChange([this] { Invalidate(); });
}

void TSkinButtonEx::SetIconName(const std::wstring& name)
{
    iconName_ = name;
    ImageChanged();
}

void TSkinButtonEx::SetIconNameHot(const std::wstring& name)
{
    iconNameHot_ = name;
    ImageChanged();
}

void TSkinButtonEx::SetIconNameDown(const std::wstring& name)
{
    iconNameDown_ = name;
    ImageChanged();
}

void TSkinButtonEx::SetIconNameDisabled(const std::wstring& name)
{
    iconNameDisabled_ = name;
    ImageChanged();
}

void TSkinButtonEx::SetIconNameDisabledHot(const std::wstring& name)
{
    iconNameDisabledHot_ = name;
    ImageChanged();
}

void TSkinButtonEx::SetIconRight(bool on)
{
    iconRight_ = on;
    Invalidate();
}

void TSkinButtonEx::SetIconTextSpace(int space)
{
    iconTextSpace_ = space;
    Invalidate();
}

void TSkinButtonEx::SetIconVerticalIndent(int indent)
{
    iconVerticalIndent_ = indent;
    Invalidate();
}

void TSkinButtonEx::SetIconTransparent(bool on)
{
    iconTransparent_ = on;
    Invalidate();
}

void TSkinButtonEx::SetIconVAlign(TSkinIconVAlign align)
{
    iconVAlign_ = align;
    Invalidate();
}

void TSkinButtonEx::SetUnderCaption(const std::wstring& text)
{
    if (text == underCaption_)
        return;
    underCaption_ = text;
    Invalidate();
}

void TSkinButtonEx::SetUnderCaptionWordWrap(bool on)
{
    underCaptionWordWrap_ = on;
    Invalidate();
}

void TSkinButtonEx::ImageChanged()
{
    icon_ = Resolve(iconName_);
    iconHot_ = Resolve(iconNameHot_);
    iconDown_ = Resolve(iconNameDown_);
    iconDisabled_ = Resolve(iconNameDisabled_);
    iconDisabledHot_ = Resolve(iconNameDisabledHot_);
    TSkinButton::ImageChanged();
}

TSkinBitmapImage* TSkinButtonEx::ChosenIcon() const
{
    return ChooseByState(Enabled(), hot_, down_, icon_, iconHot_, iconDown_, iconDisabled_,
                         iconDisabledHot_);
}

TSkinCaptionLayout TSkinButtonEx::CaptionLayout() const
{
    TSkinCaptionLayout layout;
    const RECT area = TextArea();
    const int areaWidth = area.right - area.left, areaHeight = area.bottom - area.top;
    TSkinBitmapImage* icon = ChosenIcon();
    const int iconWidth = icon ? icon->Width() : 0, iconHeight = icon ? icon->Height() : 0;
    const int iconPart = icon ? iconWidth + iconTextSpace_ : 0;
    const int room = areaWidth - iconPart;
    const SIZE caption = caption_.empty() ? SIZE{} : Measurer(Font(), caption_, 0);
    const SIZE under = underCaption_.empty()
                           ? SIZE{}
                           : Measurer(underCaptionFont_, underCaption_,
                                      underCaptionWordWrap_ ? std::max(room, 1) : 0);
    const int column = std::max(caption.cx, under.cx);
    const int block = std::min(column, room);
    const int captionTop = (areaHeight - caption.cy - under.cy) / 2 + area.top;
    const int underTop = captionTop + caption.cy;
    const bool iconLeft = icon && !iconRight_;
    int columnLeft = 0, captionLeft = 0, underLeft = 0, iconLeftEdge = 0;
    switch (captionAlign_) {
    case TSkinCaptionAlign::aclCenter: {
        const int x0 = (areaWidth - block - iconPart) / 2 + area.left;
        columnLeft = iconLeft ? x0 + iconPart : x0;
        iconLeftEdge = iconLeft ? x0 : columnLeft + column + iconTextSpace_;
        captionLeft = columnLeft + (column - caption.cx) / 2;
        underLeft = columnLeft + (column - under.cx) / 2;
        break;
    }
    case TSkinCaptionAlign::aclLeft:
        columnLeft = area.left + (iconLeft ? iconPart : 0);
        iconLeftEdge = iconLeft ? area.left : columnLeft + column + iconTextSpace_;
        captionLeft = underLeft = columnLeft;
        break;
    case TSkinCaptionAlign::aclRight: {
        const int end = icon && iconRight_ ? area.right - iconWidth - iconTextSpace_ : area.right;
        iconLeftEdge = icon && iconRight_ ? area.right - iconWidth
                                          : end - column - iconTextSpace_ - iconWidth;
        captionLeft = end - caption.cx;
        underLeft = end - under.cx;
        break;
    }
    }
    int iconTop = 0;
    switch (iconVAlign_) {
    case TSkinIconVAlign::aclMiddle:
        iconTop = area.top + (areaHeight - iconHeight) / 2 + iconVerticalIndent_;
        break;
    case TSkinIconVAlign::aclTop:
        iconTop = area.top + iconVerticalIndent_;
        break;
    case TSkinIconVAlign::aclBottom:
        iconTop = area.bottom - iconHeight - iconVerticalIndent_;
        break;
    }
    const int push = Pushed() ? 1 : 0;
    layout.caption = RECT{captionLeft + push, captionTop + push, captionLeft + push + caption.cx,
                          captionTop + push + caption.cy};
    layout.underCaption = RECT{underLeft + push, underTop + push, underLeft + push + under.cx,
                               underTop + push + under.cy};
    if (icon)
        layout.icon = RECT{iconLeftEdge + push, iconTop + push, iconLeftEdge + push + iconWidth,
                           iconTop + push + iconHeight};
    return layout;
}

void TSkinButtonEx::PaintContent()
{
    const TSkinCaptionLayout layout = CaptionLayout();
    TSkinBitmapImage* icon = ChosenIcon();
    if (icon)
        icon->Draw(Canvas(), layout.icon.left, layout.icon.top, iconTransparent_);
    currentIcon_ = icon ? icon->Name() : std::wstring();
    DrawText(caption_, Font(), layout.caption, DT_SINGLELINE | DT_LEFT);
    const UINT wrap = underCaptionWordWrap_ ? DT_WORDBREAK : DT_SINGLELINE;
    DrawText(underCaption_, underCaptionFont_, layout.underCaption, wrap | AlignFormat(captionAlign_));
}

void TSkinButtonEx::ApplySpec(const TControlSpec& spec, const TLayoutContext& context)
{
    if (spec.icon)
        iconName_ = spec.icon;
    if (spec.iconHot)
        iconNameHot_ = spec.iconHot;
    if (spec.iconDown)
        iconNameDown_ = spec.iconDown;
    if (spec.iconDisabled)
        iconNameDisabled_ = spec.iconDisabled;
    if (spec.iconDisabledHot)
        iconNameDisabledHot_ = spec.iconDisabledHot;
    if (spec.iconRight != TFlag::Default)
        iconRight_ = spec.iconRight == TFlag::On;
    if (spec.iconTextSpace >= 0)
        iconTextSpace_ = spec.iconTextSpace;
    if (spec.underCaption)
        underCaption_ = spec.underCaption;
    TSkinButton::ApplySpec(spec, context);
    if (spec.underCaptionFont.Given()) {
        // Unset fields come from the parent's font, as a caption's do.
        TFont font;
        font.Assign(Parent() ? Parent()->Font() : Font());
        ApplyFontSpec(font, spec.underCaptionFont);
        underCaptionFont_.Assign(font);
    }
}

bool TSkinButtonEx::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"CurrentIcon") {
        value = currentIcon_;
        return true;
    }
    if (name == L"UnderCaption") {
        value = underCaption_;
        return true;
    }
    return TSkinButton::InspectProperty(name, value);
}
