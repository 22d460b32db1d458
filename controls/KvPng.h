#pragma once
// PNG pictures on libpng: decoding every colour type and depth into 8-bit BGRA
// with straight alpha, encoding back, and the ancillary chunks a picture
// carries (the text chunks that hold a PNG control's anchors above all).
//
// Pictures reach the program from the network into a folder every user can
// write, so a load accepts only bounded input: at most kMaxPictureSide pixels
// a side and kMaxPicturePixels in all, no chunk other than image data above
// kPngMaxChunkBytes, at most kPngMaxKeptChunks ancillary chunks on each side of
// the image data. Anything malformed (truncation, a critical chunk's bad CRC, a
// length past the end) fails the load; an ancillary chunk with a bad CRC is
// dropped and the rest loads.

#include "controls/KvGraphics.h"
#include "platform/ClassesU.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr uint32_t kPngMaxChunkBytes = 1024 * 1024;
inline constexpr uint32_t kPngMaxKeptChunks = 256;

// Where an ancillary chunk stands in the file.
enum class TPngChunkPlace : uint8_t { BeforePalette, BeforeData, AfterData };

// An ancillary chunk the picture keeps and writes back: tEXt (keyword and text
// taken apart), zTXt, iTXt and chunks this codec does not interpret (their
// bytes raw). Owned by its picture; the picture's list holds it by pointer, so
// a reference stays valid while chunks are added.
class TPngChunk {
public:
    TPngChunk(std::string_view type, TPngChunkPlace place, std::string data);
    // A tEXt chunk; the keyword must be valid (IsValidPngKeyword).
    static std::unique_ptr<TPngChunk> MakeText(std::string_view keyword, std::string_view text,
                                               TPngChunkPlace place);

    // The four letters.
    const std::string& Type() const noexcept { return type_; }
    TPngChunkPlace Place() const noexcept { return place_; }
    bool IsText() const noexcept { return type_ == "tEXt"; }
    // tEXt only (empty for the others): Latin-1 keyword and text.
    const std::string& Keyword() const noexcept { return keyword_; }
    const std::string& Text() const noexcept { return text_; }
    // Replaces a tEXt chunk's text; NUL bytes, which would end it early in the
    // file, are left out. Raises no change notification of the picture (a
    // PNG control rewrites its anchors' chunks while it holds them). Other
    // chunks ignore it.
    void SetText(std::string_view text);
    // The chunk's data as written to the file.
    std::string Data() const;

private:
    std::string type_;
    TPngChunkPlace place_;
    std::string raw_; // chunks other than tEXt
    std::string keyword_;
    std::string text_;
};

// A tEXt keyword: 1 to 79 printable Latin-1 characters (32-126, 161-255).
bool IsValidPngKeyword(std::string_view keyword) noexcept;

// Pixel memory comes from KvAllocate, so tests see in KvLargestRequest that a
// hostile header sized nothing.
template <typename T> struct TKvAllocator {
    using value_type = T;
    TKvAllocator() noexcept = default;
    template <typename U> TKvAllocator(const TKvAllocator<U>&) noexcept {}
    T* allocate(size_t n);
    void deallocate(T* p, size_t) noexcept;
    template <typename U> bool operator==(const TKvAllocator<U>&) const noexcept { return true; }
};
using TPngPixels = std::vector<uint8_t, TKvAllocator<uint8_t>>;

// What the codec reads and writes: the picture without its drawing.
struct TPngImage {
    int32_t width = 0;
    int32_t height = 0;
    // An alpha channel or a tRNS chunk in the file; written as RGBA when set, RGB otherwise.
    bool hasAlpha = false;
    // width × height BGRA quadruples, straight alpha, rows top down.
    TPngPixels pixels;
    // Ancillary chunks in file order.
    std::vector<std::unique_ptr<TPngChunk>> chunks;

    void Clear();
};

// Reads a whole PNG from the stream's position. False, with a reason in error
// and the image untouched, on any failure; never throws for bad data.
bool KvPngDecode(TStream& source, TPngImage& image, std::string& error);
// Writes the image (8 bits a channel) with its chunks on their sides of the
// image data. False, with the reason, when the image is empty or the stream
// fails; the stream may then hold part of a file.
bool KvPngEncode(const TPngImage& image, TStream& target, std::string& error);

// A PNG picture: the decoded image with its chunks. Load and save return
// false on any failure and never throw for bad data; a failed load leaves the
// picture empty and LastError says why (the caller logs). Loads, Assign,
// SetSize and Modified notify the change handler; chunk edits do not (see
// TPngChunk). Transparent is on from the start: a picture with alpha is
// blended when drawn, one without is copied.
class TPNGPicture : public TGraphic {
public:
    TPNGPicture();
    ~TPNGPicture() override;

    int Width() const override { return image_.width; }
    int Height() const override { return image_.height; }
    // An alpha channel or a tRNS chunk in the file (or set by the maker).
    bool HasAlpha() const noexcept { return image_.hasAlpha; }
    void SetHasAlpha(bool hasAlpha);
    // Stretched into dest; blended by alpha when HasAlpha and Transparent.
    void Draw(TCanvas& canvas, const RECT& dest) const override;

    bool LoadFromStream(TStream& stream) override;
    bool SaveToStream(TStream& stream) const override;
    using TGraphic::LoadFromFile;
    using TGraphic::SaveToFile;
    // File names in 8-bit text of the system code page, as the program's
    // folder globals are.
    bool LoadFromFile(const std::string& fileNameAnsi);
    bool SaveToFile(const std::string& fileNameAnsi) const;
    // From a PNG picture: its pixels, chunks and flags. From a bitmap: its
    // pixels (a 32-bit bitmap's fourth byte as straight alpha, HasAlpha on; a
    // 24-bit one opaque, HasAlpha off), no chunks. Nothing else.
    bool Assign(const TGraphic& source) override;
    std::unique_ptr<TGraphic> Clone() const override;

    // A new picture of the given size, every pixel 0 (transparent black), no
    // chunks; a size that is not allowed empties it.
    void SetSize(int width, int height, bool hasAlpha);
    // Width × Height BGRA quadruples with straight alpha, rows top down; null
    // when empty.
    const uint8_t* Pixels() const noexcept { return Empty() ? nullptr : image_.pixels.data(); }
    // For writing pixels; call Modified afterwards.
    uint8_t* MutablePixels() noexcept { return Empty() ? nullptr : image_.pixels.data(); }
    void Modified() { Touch(); }

    // Every kept ancillary chunk in file order, and the tEXt chunks alone.
    const std::vector<std::unique_ptr<TPngChunk>>& Chunks() const noexcept { return image_.chunks; }
    std::vector<TPngChunk*> TextChunks() const;
    // A new tEXt chunk after every existing chunk (written before IEND); null
    // for an invalid keyword.
    TPngChunk* AddTextChunk(std::string_view keyword, std::string_view text);

    const std::string& LastError() const noexcept { return lastError_; }

private:
    bool Fail(const char* reason);
    void Touch();

    TPngImage image_;
    mutable std::string lastError_;
    // The premultiplied copy that Draw blends, made on the first draw after a change.
    mutable std::unique_ptr<TBitmap> drawing_;
};
