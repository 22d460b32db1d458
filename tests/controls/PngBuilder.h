#pragma once
// PNG files built byte by byte for the tests (zlib for the compression and
// the CRCs), and the 8-bit BGRA each one must decode to, worked out from the
// samples here and not by the codec under test.

#include <zlib.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pngtest {

struct TRawChunk {
    std::string type;
    std::string data;
};

inline void PutBigEndian(std::string& s, size_t at, uint32_t v)
{
    s[at] = static_cast<char>(v >> 24);
    s[at + 1] = static_cast<char>(v >> 16);
    s[at + 2] = static_cast<char>(v >> 8);
    s[at + 3] = static_cast<char>(v);
}

inline std::string BigEndian(uint32_t v)
{
    std::string s(4, '\0');
    PutBigEndian(s, 0, v);
    return s;
}

inline uint32_t ReadBigEndian(const std::string& s, size_t at)
{
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

// Length, type, data, CRC.
inline std::string RawChunk(const std::string& type, const std::string& data)
{
    std::string body = type + data;
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    return BigEndian(static_cast<uint32_t>(data.size())) + body + BigEndian(static_cast<uint32_t>(crc));
}

inline std::string Deflate(const std::string& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 9) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

inline TRawChunk Ihdr(uint32_t width, uint32_t height, int depth, int colorType, int interlace)
{
    std::string d = BigEndian(width) + BigEndian(height);
    d += static_cast<char>(depth);
    d += static_cast<char>(colorType);
    d += '\0'; // compression
    d += '\0'; // filter
    d += static_cast<char>(interlace);
    return {"IHDR", d};
}

// The signature, the chunks and IEND.
inline std::string PngFile(const std::vector<TRawChunk>& chunks)
{
    std::string file("\x89PNG\r\n\x1a\n", 8);
    for (const TRawChunk& c : chunks)
        file += RawChunk(c.type, c.data);
    return file + RawChunk("IEND", "");
}

// The chunks of a file in order (signature skipped); stops at anything malformed.
inline std::vector<TRawChunk> SplitChunks(const std::string& file)
{
    std::vector<TRawChunk> chunks;
    size_t at = 8;
    while (at + 12 <= file.size()) {
        uint32_t length = ReadBigEndian(file, at);
        if (at + 12 + length > file.size())
            break;
        chunks.push_back({file.substr(at + 4, 4), file.substr(at + 8, length)});
        at += 12 + length;
    }
    return chunks;
}

// Offset of the index-th chunk's length field.
inline size_t ChunkOffset(const std::string& file, size_t index)
{
    size_t at = 8;
    for (size_t i = 0; i < index; ++i)
        at += 12 + ReadBigEndian(file, at);
    return at;
}

// Samples of one picture in the file's own form.
struct TSampleImage {
    int width = 0;
    int height = 0;
    int colorType = 0;
    int depth = 8;
    std::vector<uint16_t> samples; // width × height × channels
    std::vector<std::array<uint8_t, 3>> palette;
    // Grey: one value; colour: three; palette: one alpha per leading entry.
    std::vector<uint16_t> trns;

    int Channels() const
    {
        switch (colorType) {
        case 2:
            return 3;
        case 4:
            return 2;
        case 6:
            return 4;
        default:
            return 1;
        }
    }
    uint16_t& At(int x, int y, int c) { return samples[(static_cast<size_t>(y) * width + x) * Channels() + c]; }
    uint16_t At(int x, int y, int c) const
    {
        return samples[(static_cast<size_t>(y) * width + x) * Channels() + c];
    }
};

// A pattern that uses the whole range of the depth; with tRNS, pixel (0, 0)
// is the transparent one (and at 16 bits pixel (1, 0) differs from it only in
// the low byte, which must keep it opaque).
inline TSampleImage MakeSamples(int width, int height, int colorType, int depth, bool withTrns)
{
    TSampleImage img;
    img.width = width;
    img.height = height;
    img.colorType = colorType;
    img.depth = depth;
    uint32_t maxValue = (1u << depth) - 1;
    uint32_t entries = colorType == 3 ? (depth == 8 ? 200u : 1u << depth) : 0u;
    img.samples.resize(static_cast<size_t>(width) * height * img.Channels());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < img.Channels(); ++c) {
                uint32_t v = static_cast<uint32_t>(x * 73 + y * 151 + c * 37 + x * y * 11);
                if (depth == 16)
                    v = v * 263u + static_cast<uint32_t>(c) * 4099u;
                img.At(x, y, c) = static_cast<uint16_t>(colorType == 3 ? v % entries : v & maxValue);
            }
    for (uint32_t i = 0; i < entries; ++i)
        img.palette.push_back({static_cast<uint8_t>(i * 37), static_cast<uint8_t>(i * 91 + 13),
                               static_cast<uint8_t>(255 - i * 53)});
    if (withTrns) {
        if (colorType == 3) {
            for (uint32_t i = 0; i < (entries + 1) / 2; ++i)
                img.trns.push_back(static_cast<uint16_t>((i * 67) & 255));
        } else {
            for (int c = 0; c < img.Channels(); ++c)
                img.trns.push_back(img.At(0, 0, c));
            if (depth == 16) {
                for (int c = 0; c < img.Channels(); ++c)
                    img.At(1, 0, c) = img.trns[c];
                img.At(1, 0, 0) ^= 1;
            }
        }
    }
    return img;
}

// One row (or one interlace pass's row) of samples: filter byte 0, then packed.
inline void AppendRow(const TSampleImage& img, int y, int x0, int dx, std::string& raw)
{
    raw += '\0';
    uint32_t acc = 0;
    int bits = 0;
    for (int x = x0; x < img.width; x += dx)
        for (int c = 0; c < img.Channels(); ++c) {
            uint16_t v = img.At(x, y, c);
            if (img.depth == 16) {
                raw += static_cast<char>(v >> 8);
                raw += static_cast<char>(v & 255);
            } else if (img.depth == 8) {
                raw += static_cast<char>(v);
            } else {
                acc = acc << img.depth | v;
                bits += img.depth;
                if (bits == 8) {
                    raw += static_cast<char>(acc);
                    acc = 0;
                    bits = 0;
                }
            }
        }
    if (bits > 0)
        raw += static_cast<char>(acc << (8 - bits));
}

inline std::string EncodeSamples(const TSampleImage& img, bool interlaced,
                                 const std::vector<TRawChunk>& beforeData = {},
                                 const std::vector<TRawChunk>& afterData = {})
{
    std::string raw;
    if (!interlaced) {
        for (int y = 0; y < img.height; ++y)
            AppendRow(img, y, 0, 1, raw);
    } else {
        // Adam7: start column, start row, column step, row step of each pass.
        static const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                         {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
        for (const auto& p : passes) {
            if (p[0] >= img.width)
                continue;
            for (int y = p[1]; y < img.height; y += p[3])
                AppendRow(img, y, p[0], p[2], raw);
        }
    }
    std::vector<TRawChunk> chunks = {
        Ihdr(static_cast<uint32_t>(img.width), static_cast<uint32_t>(img.height), img.depth, img.colorType,
             interlaced ? 1 : 0)};
    if (img.colorType == 3) {
        std::string plte;
        for (const auto& e : img.palette)
            plte.append(reinterpret_cast<const char*>(e.data()), 3);
        chunks.push_back({"PLTE", plte});
    }
    if (!img.trns.empty()) {
        std::string t;
        for (uint16_t v : img.trns) {
            if (img.colorType != 3)
                t += static_cast<char>(v >> 8);
            t += static_cast<char>(v & 255);
        }
        chunks.push_back({"tRNS", t});
    }
    chunks.insert(chunks.end(), beforeData.begin(), beforeData.end());
    chunks.push_back({"IDAT", Deflate(raw)});
    chunks.insert(chunks.end(), afterData.begin(), afterData.end());
    return PngFile(chunks);
}

inline uint8_t To8(uint16_t v, int depth)
{
    if (depth == 16)
        return static_cast<uint8_t>(v >> 8);
    if (depth == 8)
        return static_cast<uint8_t>(v);
    return static_cast<uint8_t>(v * 255u / ((1u << depth) - 1));
}

inline std::vector<uint8_t> ExpectedBgra(const TSampleImage& img)
{
    std::vector<uint8_t> out;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            uint8_t r = 0, g = 0, b = 0, a = 255;
            switch (img.colorType) {
            case 0:
                r = g = b = To8(img.At(x, y, 0), img.depth);
                if (!img.trns.empty() && img.At(x, y, 0) == img.trns[0])
                    a = 0;
                break;
            case 2:
                r = To8(img.At(x, y, 0), img.depth);
                g = To8(img.At(x, y, 1), img.depth);
                b = To8(img.At(x, y, 2), img.depth);
                if (!img.trns.empty() && img.At(x, y, 0) == img.trns[0] && img.At(x, y, 1) == img.trns[1] &&
                    img.At(x, y, 2) == img.trns[2])
                    a = 0;
                break;
            case 3: {
                uint16_t i = img.At(x, y, 0);
                r = img.palette[i][0];
                g = img.palette[i][1];
                b = img.palette[i][2];
                if (i < img.trns.size())
                    a = static_cast<uint8_t>(img.trns[i]);
                break;
            }
            case 4:
                r = g = b = To8(img.At(x, y, 0), img.depth);
                a = To8(img.At(x, y, 1), img.depth);
                break;
            default:
                r = To8(img.At(x, y, 0), img.depth);
                g = To8(img.At(x, y, 1), img.depth);
                b = To8(img.At(x, y, 2), img.depth);
                a = To8(img.At(x, y, 3), img.depth);
                break;
            }
            out.insert(out.end(), {b, g, r, a});
        }
    return out;
}

} // namespace pngtest
