#include "controls/KvPng.h"

#include "controls/KvWideStrings.h"
#include "platform/UnicodeU.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

template <typename T> T* TKvAllocator<T>::allocate(size_t n)
{
    if (n > SIZE_MAX / sizeof(T))
        throw std::bad_alloc();
    return static_cast<T*>(KvAllocate(n * sizeof(T)));
}

template <typename T> void TKvAllocator<T>::deallocate(T* p, size_t) noexcept
{
    KvRelease(p);
}

template struct TKvAllocator<uint8_t>;

// ---------------------------------------------------------------------------
// Chunks

bool IsValidPngKeyword(std::string_view keyword) noexcept
{
    if (keyword.empty() || keyword.size() > 79)
        return false;
    for (char c : keyword) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || (u > 126 && u < 161))
            return false;
    }
    return true;
}

TPngChunk::TPngChunk(std::string_view type, TPngChunkPlace place, std::string data)
    : type_(type), place_(place), raw_(std::move(data))
{
}

std::unique_ptr<TPngChunk> TPngChunk::MakeText(std::string_view keyword, std::string_view text,
                                               TPngChunkPlace place)
{
    auto chunk = std::make_unique<TPngChunk>("tEXt", place, std::string());
    chunk->keyword_ = keyword;
    chunk->SetText(text);
    return chunk;
}

void TPngChunk::SetText(std::string_view text)
{
    if (!IsText())
        return;
    text_.clear();
    for (char c : text)
        if (c != '\0')
            text_ += c;
}

std::string TPngChunk::Data() const
{
    if (!IsText())
        return raw_;
    std::string data = keyword_;
    data += '\0';
    data += text_;
    return data;
}

void TPngImage::Clear()
{
    width = 0;
    height = 0;
    hasAlpha = false;
    pixels.clear();
    pixels.shrink_to_fit();
    chunks.clear();
}

// ---------------------------------------------------------------------------
// The codec
//
// libpng reports every error by longjmp to the last setjmp. The functions
// that call setjmp (marked below) therefore hold no C++ object with a
// destructor, and nothing that libpng calls back may let a C++ exception
// through its C frames: the stream and memory callbacks catch everything and
// turn it into a libpng error or a null block.

namespace {

const png_byte kTextChunkNames[] = "tEXt\0zTXt\0iTXt";
constexpr int kTextChunkNameCount = 3;

bool ReadFully(TStream& stream, uint8_t* data, size_t length) noexcept
{
    try {
        size_t done = 0;
        while (done < length) {
            int32_t want = static_cast<int32_t>(std::min<size_t>(length - done, 1 << 30));
            int32_t got = stream.Read(data + done, want);
            if (got <= 0)
                return false;
            done += static_cast<size_t>(got);
        }
        return true;
    } catch (...) {
        return false;
    }
}

uint32_t BigEndianAt(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Sits between the stream and libpng and leaves out every ancillary chunk
// whose CRC is wrong: libpng checks the CRC of the chunks it keeps raw only
// after it has stored them, and keeps them anyway. An ancillary chunk up to
// the chunk limit is read whole and checked first; a larger one is skipped
// here, unread by libpng, which would allocate the length that a chunk it
// interprets (sPLT) declares, however short the file. Critical chunks pass
// straight through, for libpng to check (a bad CRC fails the load).
class TChunkFilter {
public:
    explicit TChunkFilter(TStream& stream) : stream_(stream) {}

    bool Read(uint8_t* out, size_t length) noexcept
    {
        try {
            while (length > 0) {
                if (pendingAt_ < pending_.size()) {
                    size_t n = std::min(length, pending_.size() - pendingAt_);
                    std::memcpy(out, pending_.data() + pendingAt_, n);
                    pendingAt_ += n;
                    out += n;
                    length -= n;
                } else if (passThrough_ > 0) {
                    size_t n = static_cast<size_t>(std::min<uint64_t>(length, passThrough_));
                    if (!ReadFully(stream_, out, n))
                        return false;
                    passThrough_ -= n;
                    out += n;
                    length -= n;
                } else if (!NextUnit()) {
                    return false;
                }
            }
            return true;
        } catch (...) {
            return false;
        }
    }

private:
    bool NextUnit()
    {
        pending_.clear();
        pendingAt_ = 0;
        if (!signatureRead_) {
            signatureRead_ = true;
            pending_.resize(8);
            return ReadFully(stream_, pending_.data(), 8);
        }
        uint8_t header[8];
        if (!ReadFully(stream_, header, sizeof header))
            return false;
        uint32_t length = BigEndianAt(header);
        bool critical = (header[4] & 0x20) == 0;
        pending_.assign(header, header + sizeof header);
        if (critical) {
            passThrough_ = static_cast<uint64_t>(length) + 4;
            return true;
        }
        if (length > kPngMaxChunkBytes) {
            pending_.clear();
            return Skip(static_cast<uint64_t>(length) + 4);
        }
        pending_.resize(sizeof header + length + 4);
        if (!ReadFully(stream_, pending_.data() + sizeof header, length + 4))
            return false;
        uLong crc = crc32(0, pending_.data() + 4, length + 4);
        if (crc != BigEndianAt(pending_.data() + sizeof header + length))
            pending_.clear();
        return true;
    }

    // Reads past the bytes in pieces; false when the file ends first.
    bool Skip(uint64_t length)
    {
        uint8_t piece[16384];
        while (length > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(length, sizeof piece));
            if (!ReadFully(stream_, piece, n))
                return false;
            length -= n;
        }
        return true;
    }

    TStream& stream_;
    std::vector<uint8_t> pending_;
    size_t pendingAt_ = 0;
    uint64_t passThrough_ = 0;
    bool signatureRead_ = false;
};

// Plain data shared with the callbacks: the filter when reading, the stream
// when writing.
struct TCodecState {
    TChunkFilter* filter;
    TStream* stream;
    char message[200];
};

void NoteMessage(TCodecState* state, const char* text) noexcept
{
    std::strncpy(state->message, text ? text : "", sizeof state->message - 1);
    state->message[sizeof state->message - 1] = '\0';
}

void PNGCBAPI OnError(png_structp png, png_const_charp text)
{
    NoteMessage(static_cast<TCodecState*>(png_get_error_ptr(png)), text);
    png_longjmp(png, 1);
}

void PNGCBAPI OnWarning(png_structp, png_const_charp) {}

png_voidp PNGCBAPI OnAllocate(png_structp, png_alloc_size_t size)
{
    try {
        return KvAllocate(size);
    } catch (...) {
        return nullptr;
    }
}

void PNGCBAPI OnRelease(png_structp, png_voidp block)
{
    KvRelease(block);
}

bool WriteFully(TStream& stream, png_bytep data, size_t length) noexcept
{
    try {
        while (length > 0) {
            int32_t part = static_cast<int32_t>(std::min<size_t>(length, 1 << 30));
            stream.WriteBuffer(data, part);
            data += part;
            length -= static_cast<size_t>(part);
        }
        return true;
    } catch (...) {
        return false;
    }
}

void PNGCBAPI OnRead(png_structp png, png_bytep data, size_t length)
{
    auto* state = static_cast<TCodecState*>(png_get_io_ptr(png));
    if (!state->filter->Read(data, length))
        png_error(png, "the file ends early");
}

void PNGCBAPI OnWrite(png_structp png, png_bytep data, size_t length)
{
    auto* state = static_cast<TCodecState*>(png_get_io_ptr(png));
    if (!WriteFully(*state->stream, data, length))
        png_error(png, "the file could not be written");
}

void PNGCBAPI OnFlush(png_structp) {}

// Owns libpng's read or write structures.
class TPngHandle {
public:
    TPngHandle(bool write, TCodecState* state) : write_(write)
    {
        png_ = write ? png_create_write_struct_2(PNG_LIBPNG_VER_STRING, state, OnError, OnWarning,
                                                 nullptr, OnAllocate, OnRelease)
                     : png_create_read_struct_2(PNG_LIBPNG_VER_STRING, state, OnError, OnWarning,
                                                nullptr, OnAllocate, OnRelease);
        if (!png_)
            return;
        info_ = png_create_info_struct(png_);
        if (!write)
            end_ = png_create_info_struct(png_);
    }
    TPngHandle(const TPngHandle&) = delete;
    TPngHandle& operator=(const TPngHandle&) = delete;
    ~TPngHandle()
    {
        if (!png_)
            return;
        if (write_)
            png_destroy_write_struct(&png_, &info_);
        else
            png_destroy_read_struct(&png_, &info_, &end_);
    }
    bool Ready() const { return png_ && info_ && (write_ || end_); }
    png_structp Png() const { return png_; }
    png_infop Info() const { return info_; }
    png_infop End() const { return end_; }

private:
    bool write_;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    png_infop end_ = nullptr;
};

struct THeader {
    png_uint_32 width;
    png_uint_32 height;
    int colorType;
    bool hasTrns;
};

// Calls setjmp: no object with a destructor in here.
__attribute__((noinline)) bool ReadHeader(png_structp png, png_infop info, THeader* header)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_user_limits(png, kMaxPictureSide, kMaxPictureSide);
    png_set_chunk_cache_max(png, kPngMaxKeptChunks);
    png_set_chunk_malloc_max(png, kPngMaxChunkBytes);
    // Ancillary chunks nobody here interprets are kept raw (a critical one
    // fails the load); the text chunks too, so that they keep their order.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_IF_SAFE, nullptr, 0);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kTextChunkNames, kTextChunkNameCount);
    // A critical chunk's bad CRC fails; an ancillary one's drops that chunk.
    png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_DEFAULT);
    png_read_info(png, info);

    int bitDepth = 0;
    int interlace = 0;
    png_get_IHDR(png, info, &header->width, &header->height, &bitDepth, &header->colorType,
                 &interlace, nullptr, nullptr);
    if (!PictureSizeAllowed(header->width, header->height))
        png_error(png, "the picture has too many pixels");
    header->hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;

    // Every form becomes 8-bit B, G, R, A: palettes and low depths expanded,
    // tRNS into alpha, 16 bits cut to their high byte, grey to colour, an
    // opaque alpha added where the file has none.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(header->width) * 4)
        png_error(png, "unexpected row layout");
    return true;
}

// Calls setjmp: no object with a destructor in here.
__attribute__((noinline)) bool ReadRows(png_structp png, png_infop end, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_image(png, rows);
    png_read_end(png, end);
    return true;
}

struct TWriteJob {
    png_uint_32 width;
    png_uint_32 height;
    bool hasAlpha;
    png_bytepp rows;
    png_unknown_chunkp chunks;
    int chunkCount;
};

// Calls setjmp: no object with a destructor in here.
__attribute__((noinline)) bool WriteAll(png_structp png, png_infop info, const TWriteJob* job)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, job->width, job->height, 8,
                 job->hasAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, nullptr, 0);
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kTextChunkNames, kTextChunkNameCount);
    if (job->chunkCount > 0)
        png_set_unknown_chunks(png, info, job->chunks, job->chunkCount);
    png_write_info(png, info);
    png_set_bgr(png);
    if (!job->hasAlpha)
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_image(png, job->rows);
    png_write_end(png, info);
    return true;
}

TPngChunkPlace PlaceOf(png_byte location)
{
    if (location & PNG_AFTER_IDAT)
        return TPngChunkPlace::AfterData;
    if (location & PNG_HAVE_PLTE)
        return TPngChunkPlace::BeforeData;
    return TPngChunkPlace::BeforePalette;
}

png_byte LocationOf(TPngChunkPlace place)
{
    switch (place) {
    case TPngChunkPlace::AfterData:
        return PNG_AFTER_IDAT;
    case TPngChunkPlace::BeforeData:
        return PNG_HAVE_PLTE;
    case TPngChunkPlace::BeforePalette:
        break;
    }
    return PNG_HAVE_IHDR;
}

// Moves the chunks libpng kept into the list. A malformed tEXt (no keyword
// or a bad one) is dropped like a chunk with a bad CRC.
void TakeChunks(png_structp png, png_infop info, std::vector<std::unique_ptr<TPngChunk>>& chunks)
{
    png_unknown_chunkp entries = nullptr;
    int count = png_get_unknown_chunks(png, info, &entries);
    for (int i = 0; i < count; ++i) {
        const png_unknown_chunk& e = entries[i];
        std::string_view type(reinterpret_cast<const char*>(e.name), 4);
        std::string data(reinterpret_cast<const char*>(e.data), e.size);
        TPngChunkPlace place = PlaceOf(e.location);
        if (type != "tEXt") {
            chunks.push_back(std::make_unique<TPngChunk>(type, place, std::move(data)));
            continue;
        }
        size_t nul = data.find('\0');
        if (nul == std::string::npos || !IsValidPngKeyword(std::string_view(data).substr(0, nul)))
            continue;
        chunks.push_back(TPngChunk::MakeText(std::string_view(data).substr(0, nul),
                                             std::string_view(data).substr(nul + 1), place));
    }
}

bool Fail(std::string& error, const char* text)
{
    error = text;
    return false;
}

} // namespace

bool KvPngDecode(TStream& source, TPngImage& image, std::string& error)
{
    try {
        TChunkFilter filter(source);
        TCodecState state{&filter, nullptr, {}};
        TPngHandle handle(false, &state);
        if (!handle.Ready())
            return Fail(error, "out of memory");
        png_set_read_fn(handle.Png(), &state, OnRead);
        THeader header{};
        if (!ReadHeader(handle.Png(), handle.Info(), &header))
            return Fail(error, state.message);

        TPngImage result;
        result.width = static_cast<int32_t>(header.width);
        result.height = static_cast<int32_t>(header.height);
        result.hasAlpha = (header.colorType & PNG_COLOR_MASK_ALPHA) != 0 || header.hasTrns;
        size_t stride = static_cast<size_t>(header.width) * 4;
        result.pixels.resize(stride * header.height);
        std::vector<png_bytep> rows(header.height);
        for (png_uint_32 y = 0; y < header.height; ++y)
            rows[y] = result.pixels.data() + stride * y;
        if (!ReadRows(handle.Png(), handle.End(), rows.data()))
            return Fail(error, state.message);
        TakeChunks(handle.Png(), handle.Info(), result.chunks);
        TakeChunks(handle.Png(), handle.End(), result.chunks);
        image = std::move(result);
        return true;
    } catch (const std::bad_alloc&) {
        return Fail(error, "out of memory");
    } catch (...) {
        return Fail(error, "the picture could not be read");
    }
}

bool KvPngEncode(const TPngImage& image, TStream& target, std::string& error)
{
    try {
        if (image.width <= 0 || image.height <= 0 ||
            image.pixels.size() != static_cast<size_t>(image.width) * image.height * 4)
            return Fail(error, "the picture is empty");
        std::vector<std::string> data;
        std::vector<png_unknown_chunk> chunks;
        data.reserve(image.chunks.size());
        chunks.reserve(image.chunks.size());
        for (const auto& chunk : image.chunks) {
            data.push_back(chunk->Data());
            png_unknown_chunk c{};
            std::memcpy(c.name, chunk->Type().data(), 4);
            c.data = reinterpret_cast<png_bytep>(data.back().data());
            c.size = data.back().size();
            c.location = LocationOf(chunk->Place());
            chunks.push_back(c);
        }
        size_t stride = static_cast<size_t>(image.width) * 4;
        std::vector<png_bytep> rows(static_cast<size_t>(image.height));
        for (int32_t y = 0; y < image.height; ++y)
            rows[y] = const_cast<png_bytep>(image.pixels.data()) + stride * y;

        TCodecState state{nullptr, &target, {}};
        TPngHandle handle(true, &state);
        if (!handle.Ready())
            return Fail(error, "out of memory");
        png_set_write_fn(handle.Png(), &state, OnWrite, OnFlush);
        TWriteJob job{static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height),
                      image.hasAlpha, rows.data(), chunks.data(), static_cast<int>(chunks.size())};
        if (!WriteAll(handle.Png(), handle.Info(), &job))
            return Fail(error, state.message);
        return true;
    } catch (const std::bad_alloc&) {
        return Fail(error, "out of memory");
    } catch (...) {
        return Fail(error, "the picture could not be written");
    }
}

// ---------------------------------------------------------------------------
// TPNGPicture

TPNGPicture::TPNGPicture()
{
    SetTransparent(true);
}

TPNGPicture::~TPNGPicture() = default;

void TPNGPicture::Touch()
{
    drawing_.reset();
    Changed();
}

bool TPNGPicture::Fail(const char* reason)
{
    lastError_ = reason;
    if (!Empty() || !image_.chunks.empty()) {
        image_.Clear();
        Touch();
    }
    return false;
}

bool TPNGPicture::LoadFromStream(TStream& stream)
{
    std::string error;
    if (!KvPngDecode(stream, image_, error))
        return Fail(error.c_str());
    lastError_.clear();
    Touch();
    return true;
}

bool TPNGPicture::SaveToStream(TStream& stream) const
{
    std::string error;
    if (!KvPngEncode(image_, stream, error)) {
        lastError_ = error;
        return false;
    }
    lastError_.clear();
    return true;
}

bool TPNGPicture::LoadFromFile(const std::string& fileNameAnsi)
{
    HANDLE file = CreateFileA(fileNameAnsi.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail("the file cannot be opened");
    bool loaded;
    {
        THandleStream stream(file);
        loaded = LoadFromStream(stream);
    }
    CloseHandle(file);
    return loaded;
}

bool TPNGPicture::SaveToFile(const std::string& fileNameAnsi) const
{
    if (SaveToFile(WideFromAnsi(fileNameAnsi)))
        return true;
    if (lastError_.empty())
        lastError_ = "the file cannot be written";
    return false;
}

bool TPNGPicture::Assign(const TGraphic& source)
{
    if (&source == this)
        return true;
    TPngImage copy;
    if (auto* png = dynamic_cast<const TPNGPicture*>(&source)) {
        copy.width = png->image_.width;
        copy.height = png->image_.height;
        copy.hasAlpha = png->image_.hasAlpha;
        copy.pixels = png->image_.pixels;
        for (const auto& chunk : png->image_.chunks)
            copy.chunks.push_back(std::make_unique<TPngChunk>(*chunk));
    } else if (auto* bitmap = dynamic_cast<const TBitmap*>(&source)) {
        if (!bitmap->Empty()) {
            const bool withAlpha = bitmap->PixelFormat() == TPixelFormat::pf32bit;
            const int step = bitmap->BytesPerPixel();
            copy.width = bitmap->Width();
            copy.height = bitmap->Height();
            copy.hasAlpha = withAlpha;
            copy.pixels.resize(static_cast<size_t>(copy.width) * copy.height * 4);
            uint8_t* out = copy.pixels.data();
            for (int y = 0; y < copy.height; ++y) {
                const uint8_t* in = bitmap->ScanLine(y);
                for (int x = 0; x < copy.width; ++x, in += step, out += 4) {
                    out[0] = in[0];
                    out[1] = in[1];
                    out[2] = in[2];
                    out[3] = withAlpha ? in[3] : 255;
                }
            }
        }
    } else {
        return false;
    }
    image_ = std::move(copy);
    lastError_.clear();
    if (dynamic_cast<const TPNGPicture*>(&source))
        SetTransparent(source.Transparent());
    Touch();
    return true;
}

std::unique_ptr<TGraphic> TPNGPicture::Clone() const
{
    auto copy = std::make_unique<TPNGPicture>();
    copy->Assign(*this);
    return copy;
}

void TPNGPicture::SetSize(int width, int height, bool hasAlpha)
{
    TPngImage image;
    if (PictureSizeAllowed(width, height)) {
        image.width = width;
        image.height = height;
        image.hasAlpha = hasAlpha;
        image.pixels.assign(static_cast<size_t>(width) * height * 4, 0);
    }
    image_ = std::move(image);
    Touch();
}

void TPNGPicture::SetHasAlpha(bool hasAlpha)
{
    if (image_.hasAlpha == hasAlpha)
        return;
    image_.hasAlpha = hasAlpha;
    Touch();
}

std::vector<TPngChunk*> TPNGPicture::TextChunks() const
{
    std::vector<TPngChunk*> texts;
    for (const auto& chunk : image_.chunks)
        if (chunk->IsText())
            texts.push_back(chunk.get());
    return texts;
}

TPngChunk* TPNGPicture::AddTextChunk(std::string_view keyword, std::string_view text)
{
    if (!IsValidPngKeyword(keyword))
        return nullptr;
    image_.chunks.push_back(TPngChunk::MakeText(keyword, text, TPngChunkPlace::AfterData));
    return image_.chunks.back().get();
}

void TPNGPicture::Draw(TCanvas& canvas, const RECT& dest) const
{
    if (Empty() || dest.right <= dest.left || dest.bottom <= dest.top)
        return;
    const bool blend = image_.hasAlpha && Transparent();
    if (!drawing_) {
        auto bitmap = std::make_unique<TBitmap>(image_.width, image_.height, TPixelFormat::pf32bit);
        if (bitmap->Empty())
            return;
        // AlphaBlend takes premultiplied colour; a copy ignores the fourth byte.
        const uint8_t* in = image_.pixels.data();
        for (int y = 0; y < image_.height; ++y) {
            uint8_t* out = bitmap->ScanLine(y);
            for (int x = 0; x < image_.width; ++x, in += 4, out += 4) {
                const unsigned a = image_.hasAlpha ? in[3] : 255;
                out[0] = static_cast<uint8_t>(in[0] * a / 255);
                out[1] = static_cast<uint8_t>(in[1] * a / 255);
                out[2] = static_cast<uint8_t>(in[2] * a / 255);
                out[3] = static_cast<uint8_t>(a);
            }
        }
        drawing_ = std::move(bitmap);
    }
    const RECT source{0, 0, image_.width, image_.height};
    if (blend)
        canvas.AlphaBlend(dest, drawing_->Canvas(), source);
    else
        canvas.CopyRect(dest, drawing_->Canvas(), source);
}
