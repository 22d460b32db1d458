#pragma once
// The program's skin: named pictures with alpha kept in image lists and drawn
// unscaled, stretched, or as nine-patch frames whose corners keep their size;
// the image and button controls that show them.
//
// Everything here belongs to the GUI thread.

#include "controls/KvComponents.h"
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
