#pragma once
// The program's skin: named pictures with alpha kept in image lists and drawn
// unscaled, stretched, or as nine-patch frames whose corners keep their size;
// the image and button controls that show them (windowless, named images
// resolved in an image list, the picture following the mouse).
//
// Everything here belongs to the GUI thread.

#include "controls/KvComponents.h"
#include "controls/KvExtCtrls.h"
#include "controls/KvGraphics.h"
#include "controls/KvPng.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TKvCardinalHash;

// Four margins (a nine-patch's, a caption area's); "empty" when all are 0.
// OnChange fires after every change of a value.
class TRectObject {
public:
    TRectObject() = default;
    TRectObject(int32_t left, int32_t top, int32_t right, int32_t bottom)
        : left_(left), top_(top), right_(right), bottom_(bottom)
    {
    }
    TRectObject(const TRectObject&) = delete;
    TRectObject& operator=(const TRectObject&) = delete;

    int32_t Left() const { return left_; }
    int32_t Top() const { return top_; }
    int32_t Right() const { return right_; }
    int32_t Bottom() const { return bottom_; }
    void SetLeft(int32_t v) { Set(v, top_, right_, bottom_); }
    void SetTop(int32_t v) { Set(left_, v, right_, bottom_); }
    void SetRight(int32_t v) { Set(left_, top_, v, bottom_); }
    void SetBottom(int32_t v) { Set(left_, top_, right_, v); }
    // All four at once, one notification.
    void Set(int32_t left, int32_t top, int32_t right, int32_t bottom);
    bool Empty() const { return left_ == 0 && top_ == 0 && right_ == 0 && bottom_ == 0; }
    // Copies the four values (not the handler).
    void Assign(const TRectObject& source) { Set(source.left_, source.top_, source.right_, source.bottom_); }
    void SetOnChange(std::function<void()> handler) { onChange_ = std::move(handler); }

private:
    int32_t left_ = 0;
    int32_t top_ = 0;
    int32_t right_ = 0;
    int32_t bottom_ = 0;
    std::function<void()> onChange_;
};

enum TSkinStretchStyle : uint8_t { assNormal, assFrame };

class TSkinBitmapImages;
class TSkinBitmapList;

// One named picture of an image list, owned by its collection.
//
// Drawing goes through a cached 32-bit (or, for a 24-bit bitmap, 24-bit)
// drawing bitmap, built at the first draw after the picture or
// AlphaPremultiply changed: a PNG becomes premultiplied alpha
// (PngToAlphaBitmap), once, whatever AlphaPremultiply says; a bitmap keeps its
// pixel format and, with AlphaPremultiply, a 32-bit one has its straight alpha
// multiplied in. A 24-bit bitmap is never given an alpha of 0 and blended.
class TSkinBitmapImage {
public:
    explicit TSkinBitmapImage(TSkinBitmapImages& collection);
    ~TSkinBitmapImage();
    TSkinBitmapImage(const TSkinBitmapImage&) = delete;
    TSkinBitmapImage& operator=(const TSkinBitmapImage&) = delete;

    const std::wstring& Name() const { return name_; }
    void SetName(const std::wstring& name);
    // The name when set, else the class name.
    std::wstring DisplayName() const;
    TPicture& Picture() { return picture_; }
    const TPicture& Picture() const { return picture_; }
    // The nine-patch margins L, T, R, B.
    TRectObject& ClientRect() { return clientRect_; }
    const TRectObject& ClientRect() const { return clientRect_; }
    // The spelling is the stored property's own.
    TSkinStretchStyle StrectchStyle() const { return stretchStyle_; }
    void SetStrectchStyle(TSkinStretchStyle style) { stretchStyle_ = style; }
    bool AlphaPremultiply() const { return alphaPremultiply_; }
    void SetAlphaPremultiply(bool on);
    int Width() const { return picture_.Width(); }
    int Height() const { return picture_.Height(); }
    // Position in its collection.
    int Index() const;

    // The picture at its own size with its top left corner at (x, y).
    void Draw(TCanvas& canvas, int x, int y, bool transparent);
    // Into dest: the nine-patch with assFrame and margins not all 0, the whole
    // picture stretched otherwise. Parts whose source or destination would be
    // empty or negative are left out; corners keep their size and are cut to
    // dest, so nothing is ever mirrored or drawn outside dest.
    void Draw(TCanvas& canvas, const RECT& dest, bool transparent);

    // The drawing bitmap, built when invalid; null for an empty picture.
    TBitmap* DrawingBitmap();
    // How many times the drawing bitmap was built (tests see the rebuilds).
    int DrawingBuilds() const { return drawingBuilds_; }

private:
    void Invalidate() { drawingValid_ = false; }

    TSkinBitmapImages& collection_;
    std::wstring name_;
    TPicture picture_;
    TRectObject clientRect_;
    TSkinStretchStyle stretchStyle_ = assNormal;
    bool alphaPremultiply_ = false;
    std::unique_ptr<TBitmap> drawing_;
    bool drawingValid_ = false;
    int drawingBuilds_ = 0;
};

// The items of an image list, in order; owned by the list. Any change (an
// item added, deleted or renamed, the order) invalidates the list's name index.
class TSkinBitmapImages {
public:
    explicit TSkinBitmapImages(TSkinBitmapList& owner) : owner_(owner) {}
    TSkinBitmapImages(const TSkinBitmapImages&) = delete;
    TSkinBitmapImages& operator=(const TSkinBitmapImages&) = delete;

    int Count() const { return static_cast<int>(items_.size()); }
    TSkinBitmapImage& Item(int index) { return *items_.at(static_cast<size_t>(index)); }
    TSkinBitmapImage& operator[](int index) { return Item(index); }
    TSkinBitmapImage& Add();
    void Delete(int index);
    void Clear();
    void Move(int from, int to);
    int IndexOf(const TSkinBitmapImage* item) const;
    TSkinBitmapList& Owner() const { return owner_; }
    void Changed();

private:
    TSkinBitmapList& owner_;
    std::vector<std::unique_ptr<TSkinBitmapImage>> items_;
};

// An image list: its items and a case-insensitive name index (name → item
// index, the first item of a repeated name), built at the first look-up
// after a change.
class TSkinBitmapList : public TComponent {
public:
    explicit TSkinBitmapList(TComponent* owner = nullptr);
    ~TSkinBitmapList() override;

    TSkinBitmapImages& Images() { return images_; }
    // None for an empty name (the index is not built for it) or no match.
    TSkinBitmapImage* FindImage(std::wstring_view name);
    bool IndexValid() const { return indexValid_; }
    void InvalidateIndex() { indexValid_ = false; }

private:
    void BuildIndex();

    TSkinBitmapImages images_;
    std::unique_ptr<TKvCardinalHash> index_;
    bool indexValid_ = false;
};

// A new 32-bit bitmap of the PNG's size: alpha from the PNG (255 without an
// alpha channel), a pixel of alpha 0 all 0, the colour multiplied by alpha /
// 255 when premultiply is set and left as it is otherwise. Null for an empty PNG.
std::unique_ptr<TBitmap> PngToAlphaBitmap(const TPNGPicture& png, bool premultiply);

// A new 32-bit premultiplied mask of the colour from text drawn black on
// white: alpha = 255 − the source pixel's red, each channel of the colour
// (system colours resolved first) × alpha / 255. Null for an empty source.
std::unique_ptr<TBitmap> MakeTintedAlphaBitmap(const TBitmap& source, TColor color);

// Puts the source rectangle of a bitmap into dest: blended (per-pixel
// premultiplied alpha, source over, constant alpha 255) when the bitmap is
// 32-bit and transparent is set, a plain stretched copy otherwise. Empty
// rectangles draw nothing.
void DrawSkinBitmap(TCanvas& canvas, const RECT& dest, TBitmap& bitmap, const RECT& source,
                    bool transparent);

// The "PNG" file format ("Portable Network Graphics", TPNGPicture) is
// registered while the unit is initialised: at program start and by every
// further SkinControlsInit; SkinControlsDone takes back one such call and the
// last one removes it.
void SkinControlsInit();
void SkinControlsDone();

// ---------------------------------------------------------------------------
// The controls

enum class TSkinCaptionAlign : uint8_t { aclCenter, aclLeft, aclRight };
enum class TSkinIconVAlign : uint8_t { aclMiddle, aclTop, aclBottom };

// Measures a text in a font: single line when wrapWidth is 0, else wrapped
// to it (no prefix characters either way). Buttons measure through one, so
// that tests can put a fake in.
using TSkinTextMeasurer =
    std::function<SIZE(const TFont& font, const std::wstring& text, int wrapWidth)>;
// The real one: DrawTextW with DT_CALCRECT on a screen context.
SIZE MeasureSkinText(const TFont& font, const std::wstring& text, int wrapWidth);

// A named picture of an image list (not owned; the control forgets a list
// that dies): drawn at its own size in the middle of the control, or
// stretched over it (a nine-patch frame keeps its corners); the disabled
// picture while the control is disabled and that name resolves. Then the
// paint box's OnPaint.
class TSkinImage : public TPaintBox {
public:
    explicit TSkinImage(TComponent* owner = nullptr);
    ~TSkinImage() override;
    static TSkinImage* Create(const TControlSpec& spec, const TLayoutContext& context = {})
    {
        return CreateControl<TSkinImage>(spec, context);
    }

    TSkinBitmapList* ImageList() const { return imageList_; }
    void SetImageList(TSkinBitmapList* list);
    const std::wstring& ImageName() const { return imageName_; }
    void SetImageName(const std::wstring& name);
    const std::wstring& ImageNameDisabled() const { return imageNameDisabled_; }
    void SetImageNameDisabled(const std::wstring& name);
    bool Stretched() const { return stretched_; }
    void SetStretched(bool on);
    // Blends the pictures' alpha; off, they are copied.
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool on);

    // The resolved pictures (null when a name does not resolve).
    TSkinBitmapImage* NormalImage() const { return normal_; }
    TSkinBitmapImage* DisabledImage() const { return disabled_; }

    void Paint() override;
    void ApplySpec(const TControlSpec& spec, const TLayoutContext& context) override;
    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

protected:
    // Resolves the names again (after a name or the list changed).
    virtual void ImageChanged();
    TSkinBitmapImage* Resolve(const std::wstring& name) const;
    // The picture drawn as the image is drawn: stretched over the client area
    // or centred at its own size.
    void DrawImage(TSkinBitmapImage& image);
    void Notification(TComponent* component, TOperation operation) override;
    void EnabledChanged() override;

    TSkinBitmapList* imageList_ = nullptr;
    std::wstring imageName_;
    std::wstring imageNameDisabled_;
    bool stretched_ = false;
    bool transparent_ = true;
    TSkinBitmapImage* normal_ = nullptr;
    TSkinBitmapImage* disabled_ = nullptr;
};

// Where a skinned button's texts and icon go, in client coordinates.
struct TSkinCaptionLayout {
    RECT caption{};
    RECT underCaption{};
    RECT icon{};
};

// A button of pictures (stretched by default): hot while the mouse is over
// it, down while the left button is held on it, by the state table
//   disabled, mouse over   ImageNameDisabledHot, else ImageNameDisabled
//   disabled               ImageNameDisabled
//   enabled, pressed       ImageNameDown
//   enabled, mouse over    ImageNameHot
//   otherwise              ImageName
// (a name that does not resolve: ImageName). The caption is drawn as a mask
// of its text in the font colour (DisabledFontColor while disabled), with a
// shadow one pixel right and down in CaptionBorder while enabled and that is
// a colour; with both Transparent and TextTransparent set it is put out
// directly instead. While pressed with PushCaption it sits one pixel right
// and down. No keyboard use.
class TSkinButton : public TSkinImage {
public:
    explicit TSkinButton(TComponent* owner = nullptr);
    static TSkinButton* Create(const TControlSpec& spec, const TLayoutContext& context = {})
    {
        return CreateControl<TSkinButton>(spec, context);
    }

    const std::wstring& ImageNameHot() const { return imageNameHot_; }
    void SetImageNameHot(const std::wstring& name);
    const std::wstring& ImageNameDown() const { return imageNameDown_; }
    void SetImageNameDown(const std::wstring& name);
    const std::wstring& ImageNameDisabledHot() const { return imageNameDisabledHot_; }
    void SetImageNameDisabledHot(const std::wstring& name);

    TSkinCaptionAlign CaptionAlign() const { return captionAlign_; }
    void SetCaptionAlign(TSkinCaptionAlign align);
    // The shadow's colour; clNone (the default) draws none.
    TColor CaptionBorder() const { return captionBorder_; }
    void SetCaptionBorder(TColor color);
    TColor DisabledFontColor() const { return disabledFontColor_; }
    void SetDisabledFontColor(TColor color);
    // The caption area's margins.
    TRectObject& EdgeMargins() { return edgeMargins_; }
    bool PushCaption() const { return pushCaption_; }
    void SetPushCaption(bool on);
    bool TextTransparent() const { return textTransparent_; }
    void SetTextTransparent(bool on);
    // The name of the picture the last paint chose ("" when none resolved).
    const std::wstring& CurrentImage() const { return currentImage_; }
    bool Hot() const { return hot_; }
    bool Down() const { return down_; }

    // The picture the state table chooses now.
    TSkinBitmapImage* ChosenImage() const;
    // Where the texts go now (by the measurer).
    virtual TSkinCaptionLayout CaptionLayout() const;
    TSkinTextMeasurer Measurer = &MeasureSkinText;

    void Paint() override;
    void ApplySpec(const TControlSpec& spec, const TLayoutContext& context) override;
    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseEnter() override;
    void MouseLeave() override;

protected:
    void ImageChanged() override;
    void CaptionChanged() override { Invalidate(); }
    // Pressed with PushCaption: the texts sit one pixel right and down.
    bool Pushed() const { return down_ && pushCaption_ && Enabled(); }
    // The client rectangle less EdgeMargins (when not all 0).
    RECT TextArea() const;
    TColor TextColor() const;
    // One text at (x, y) in font: as a tinted mask (with its shadow) or put
    // out directly. An empty text draws nothing.
    void DrawText(const std::wstring& text, const TFont& font, const RECT& where, UINT format);
    // Draws the texts (and, for the button with an icon, the icon).
    virtual void PaintContent();

    std::wstring imageNameHot_;
    std::wstring imageNameDown_;
    std::wstring imageNameDisabledHot_;
    TSkinBitmapImage* hotImage_ = nullptr;
    TSkinBitmapImage* downImage_ = nullptr;
    TSkinBitmapImage* disabledHotImage_ = nullptr;
    TSkinCaptionAlign captionAlign_ = TSkinCaptionAlign::aclCenter;
    TColor captionBorder_ = clNone;
    TColor disabledFontColor_ = 0x808080;
    TRectObject edgeMargins_;
    bool pushCaption_ = true;
    bool textTransparent_ = false;
    std::wstring currentImage_;
    bool hot_ = false;
    bool down_ = false;
};

// A skinned button with an icon beside its caption (chosen by the same state
// table from its icon names) and a second, wrapped line UnderCaption in its
// own font. The caption column is min(max(caption width, under-caption width),
// the room beside the icon) wide and aligned as a whole.
class TSkinButtonEx : public TSkinButton {
public:
    explicit TSkinButtonEx(TComponent* owner = nullptr);
    static TSkinButtonEx* Create(const TControlSpec& spec, const TLayoutContext& context = {})
    {
        return CreateControl<TSkinButtonEx>(spec, context);
    }

    const std::wstring& IconName() const { return iconName_; }
    void SetIconName(const std::wstring& name);
    void SetIconNameHot(const std::wstring& name);
    void SetIconNameDown(const std::wstring& name);
    void SetIconNameDisabled(const std::wstring& name);
    void SetIconNameDisabledHot(const std::wstring& name);
    // The name of the icon the last paint chose ("" when none).
    const std::wstring& CurrentIcon() const { return currentIcon_; }
    bool IconRight() const { return iconRight_; }
    void SetIconRight(bool on);
    int IconTextSpace() const { return iconTextSpace_; }
    void SetIconTextSpace(int space);
    int IconVerticalIndent() const { return iconVerticalIndent_; }
    void SetIconVerticalIndent(int indent);
    bool IconTransparent() const { return iconTransparent_; }
    void SetIconTransparent(bool on);
    TSkinIconVAlign IconVAlign() const { return iconVAlign_; }
    void SetIconVAlign(TSkinIconVAlign align);
    const std::wstring& UnderCaption() const { return underCaption_; }
    void SetUnderCaption(const std::wstring& text);
    TFont& UnderCaptionFont() { return underCaptionFont_; }
    bool UnderCaptionWordWrap() const { return underCaptionWordWrap_; }
    void SetUnderCaptionWordWrap(bool on);

    TSkinBitmapImage* ChosenIcon() const;
    TSkinCaptionLayout CaptionLayout() const override;

    void ApplySpec(const TControlSpec& spec, const TLayoutContext& context) override;
    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

protected:
    void ImageChanged() override;
    void PaintContent() override;

private:
    std::wstring iconName_;
    std::wstring iconNameHot_;
    std::wstring iconNameDown_;
    std::wstring iconNameDisabled_;
    std::wstring iconNameDisabledHot_;
    TSkinBitmapImage* icon_ = nullptr;
    TSkinBitmapImage* iconHot_ = nullptr;
    TSkinBitmapImage* iconDown_ = nullptr;
    TSkinBitmapImage* iconDisabled_ = nullptr;
    TSkinBitmapImage* iconDisabledHot_ = nullptr;
    std::wstring currentIcon_;
    bool iconRight_ = false;
    int iconTextSpace_ = 0;
    int iconVerticalIndent_ = 0;
    bool iconTransparent_ = true;
    TSkinIconVAlign iconVAlign_ = TSkinIconVAlign::aclMiddle;
    std::wstring underCaption_;
    TFont underCaptionFont_;
    bool underCaptionWordWrap_ = true;
};
