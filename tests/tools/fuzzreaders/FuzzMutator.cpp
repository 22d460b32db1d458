#include "FuzzMutator.h"

#include <zlib.h>

#include <algorithm>
#include <array>

namespace fuzz {

namespace {

// Numbers at and past the 32- and 64-bit limits, in the forms the readers
// take (decimal, signed, "$" and "0x" hexadecimal).
constexpr std::array<std::string_view, 26> kLimitNumbers = {
    "0",
    "-1",
    "-0",
    "2147483647",
    "2147483648",
    "-2147483648",
    "-2147483649",
    "4294967295",
    "4294967296",
    "9223372036854775807",
    "9223372036854775808",
    "-9223372036854775808",
    "-9223372036854775809",
    "18446744073709551615",
    "18446744073709551616",
    "340282366920938463463374607431768211456",
    "$7FFFFFFF",
    "$80000000",
    "$FFFFFFFF",
    "$100000000",
    "$FFFFFFFFFFFFFFFF",
    "0x7FFFFFFF",
    "0xFFFFFFFFFFFFFFFF",
    "1e309",
    "000000000000000000000000000000001",
    "65536",
};

// Lone surrogates, overlong forms, cut sequences, code points past U+10FFFF,
// byte-order marks and bytes that never start a sequence.
constexpr std::array<std::string_view, 14> kBadEncodings = {
    "\xED\xA0\x80",
    "\xED\xBF\xBF",
    "\xED\xA0\x80\xED\xB0\x80",
    "\xC0\x80",
    "\xC3",
    "\xE2\x82",
    "\xF4\x90\x80\x80",
    "\xF8\x88\x80\x80\x80",
    "\xFF",
    "\xFE\xFF",
    "\xEF\xBB\xBF",
    "\xEF\xBF\xBE",
    "\x80",
    "\xC1\xBF",
};

constexpr std::array<unsigned char, 14> kInterestingBytes = {
    0, 0xFF, 0x7F, 0x80, '<', '>', '"', '&', '\\', '\r', '\n', '=', '#', ';',
};

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t NameHash(std::string_view name)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}


// ---------------------------------------------------------------------------
// PNG chunks

constexpr size_t kPngSignature = 8;

struct TPngChunkAt {
    size_t Start = 0;  // its length field
    size_t Length = 0; // of its data, as the length field says (cut to the file)
    size_t Total = 0;  // 12 + Length, cut to the end of the file
};

uint32_t BigEndian(const std::string& b, size_t at)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3]));
}

void PutBigEndian(std::string& b, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

std::string BigEndianBytes(uint32_t value)
{
    std::string bytes(4, '\0');
    PutBigEndian(bytes, 0, value);
    return bytes;
}

// The chunks as a reader walks them: a length past the end ends the walk
// with a chunk cut at the end.
std::vector<TPngChunkAt> PngChunks(const std::string& b)
{
    std::vector<TPngChunkAt> chunks;
    size_t at = kPngSignature;
    while (at + 8 <= b.size()) {
        TPngChunkAt chunk;
        chunk.Start = at;
        const uint64_t length = BigEndian(b, at);
        const uint64_t total = length + 12;
        chunk.Length = static_cast<size_t>(std::min<uint64_t>(length, b.size() - at - 8));
        chunk.Total = static_cast<size_t>(std::min<uint64_t>(total, b.size() - at));
        chunks.push_back(chunk);
        if (total > b.size() - at)
            break;
        at += static_cast<size_t>(total);
    }
    return chunks;
}

std::string MakePngChunk(std::string_view type, std::string_view data)
{
    std::string chunk = BigEndianBytes(static_cast<uint32_t>(data.size()));
    chunk += type;
    chunk += data;
    const uLong crc = crc32(crc32(0, nullptr, 0),
                            reinterpret_cast<const Bytef*>(chunk.data() + 4),
                            static_cast<uInt>(chunk.size() - 4));
    chunk += BigEndianBytes(static_cast<uint32_t>(crc));
    return chunk;
}

// Puts right the CRC of every whole chunk.
void FixPngCrcs(std::string& b)
{
    for (const TPngChunkAt& chunk : PngChunks(b)) {
        if (chunk.Total != chunk.Length + 12)
            continue;
        const uLong crc = crc32(crc32(0, nullptr, 0),
                                reinterpret_cast<const Bytef*>(b.data() + chunk.Start + 4),
                                static_cast<uInt>(chunk.Length + 4));
        PutBigEndian(b, chunk.Start + 8 + chunk.Length, static_cast<uint32_t>(crc));
    }
}

// Inflates at most Limit bytes; false when the data is not a zlib stream up
// to there.
bool Inflate(const std::string& in, std::string& out, size_t Limit)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    char buffer[65536];
    int result = Z_OK;
    while (result == Z_OK && out.size() < Limit) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
        if (result == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    inflateEnd(&z);
    return result == Z_STREAM_END || result == Z_OK || result == Z_BUF_ERROR;
}

std::string Deflate(const std::string& in)
{
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(in.data()), static_cast<uLong>(in.size()),
                  6) != Z_OK)
        return {};
    out.resize(size);
    return out;
}

constexpr std::array<std::string_view, 26> kPngChunkTypes = {
    "IHDR", "PLTE", "IDAT", "IEND", "tRNS", "gAMA", "cHRM", "sRGB", "iCCP",
    "sBIT", "bKGD", "hIST", "pHYs", "sPLT", "tIME", "tEXt", "zTXt", "iTXt",
    "eXIf", "oFFs", "prVt", "abcd", "ABCD", "a1c!", std::string_view("\0\0\0\0", 4), "IDAt",
};

constexpr std::array<uint32_t, 20> kPngLimits = {
    0,          1,          2,          255,        256,        8191,
    8192,       8193,       16384,      65535,      65536,      1048576,
    1048577,    0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x01000000, 0x00FFFFFF,
    2048,       4096,
};

} // namespace

// splitmix64: the same numbers on every compiler, unlike the standard
// library's distributions.
class TMutator::TRandom {
public:
    explicit TRandom(uint64_t seed) : state_(seed) {}
    uint64_t Next()
    {
        state_ += 0x9E3779B97F4A7C15ull;
        return Mix(state_);
    }
    // 0 .. n-1; 0 for n = 0.
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }
    size_t Between(size_t lo, size_t hi) { return lo + Below(hi - lo + 1); }
    bool Percent(unsigned p) { return Next() % 100 < p; }

    // Most runs are short; a few are long enough to find limits and slow paths.
    size_t RunLength()
    {
        const unsigned roll = static_cast<unsigned>(Next() % 100);
        if (roll < 93)
            return Between(1, 64);
        if (roll < 99)
            return Between(256, 4096);
        return Between(10000, 300000);
    }
    size_t RepeatCount()
    {
        const unsigned roll = static_cast<unsigned>(Next() % 100);
        if (roll < 55)
            return Between(2, 10);
        if (roll < 90)
            return Between(100, 1000);
        return Between(1000, 20000);
    }

private:
    uint64_t state_;
};

TMutator::TMutator(std::string_view Reader, std::vector<TSeed> Seeds, TShape Shape,
                   std::vector<std::string> Dictionary, size_t MaxSize)
    : seeds_(std::move(Seeds)), shape_(Shape), dictionary_(std::move(Dictionary)),
      maxSize_(MaxSize), readerSeed_(Mix(kRunSeed ^ NameHash(Reader)))
{
    for (const TSeed& seed : seeds_)
        truncations_ += seed.Bytes.size();
}

TInput TMutator::Make(uint64_t Index) const
{
    TInput input;
    if (seeds_.empty())
        return input;
    if (Index % 4 == 0 && Index / 4 < truncations_) {
        uint64_t cut = Index / 4;
        for (const TSeed& seed : seeds_) {
            if (cut < seed.Bytes.size()) {
                input.Bytes = seed.Bytes.substr(0, static_cast<size_t>(cut));
                input.Seed = seed.Name;
                input.Recipe = "truncate@" + std::to_string(cut);
                return input;
            }
            cut -= seed.Bytes.size();
        }
    }
    TRandom random(Mix(readerSeed_ ^ Mix(Index)));
    const TSeed& seed = seeds_[random.Below(seeds_.size())];
    input.Bytes = seed.Bytes;
    input.Seed = seed.Name;
    const size_t count = random.Between(1, 3);
    for (size_t i = 0; i < count; ++i) {
        if (i)
            input.Recipe += "; ";
        if (shape_ == TShape::Png && random.Percent(50))
            MutatePng(random, input);
        else
            Mutate(random, input);
        if (input.Bytes.size() > maxSize_)
            input.Bytes.resize(maxSize_);
    }
    // A wrong CRC fails a critical chunk at once: most inputs get theirs put
    // right, so that the mutations reach the decoder behind the check.
    if (shape_ == TShape::Png) {
        if (random.Percent(85))
            FixPngCrcs(input.Bytes);
        else
            input.Recipe += "; CRCs as they came";
    }
    return input;
}

void TMutator::Mutate(TRandom& Random, TInput& Input) const
{
    std::string& b = Input.Bytes;
    std::string& recipe = Input.Recipe;
    const size_t room = b.size() < maxSize_ ? maxSize_ - b.size() : 0;
    auto at = [&recipe](const char* what, size_t pos) {
        recipe += what;
        recipe += '@';
        recipe += std::to_string(pos);
    };

    // Where a name or a value of the reader's text begins: after "<" or '="'
    // in XML, after "=", ": " or "[" in lines; anywhere in Base64.
    auto namePosition = [&]() -> size_t {
        std::vector<size_t> places;
        for (size_t i = 0; i < b.size(); ++i) {
            const char c = b[i];
            if (shape_ == TShape::Xml && (c == '<' || (c == '"' && i > 0 && b[i - 1] == '=')))
                places.push_back(i + 1);
            else if (shape_ == TShape::Lines &&
                     (c == '=' || c == '[' || (c == ':' && i + 1 < b.size() && b[i + 1] == ' ') ||
                      (c == '\n' && i + 1 < b.size())))
                places.push_back(c == ':' ? i + 2 : i + 1);
        }
        return places.empty() ? Random.Below(b.size() + 1) : places[Random.Below(places.size())];
    };

    // A unit of the text to repeat: a tag (XML), a line, or a group of four.
    struct TUnit {
        size_t Start = 0;
        size_t Length = 0;
        std::string Name; // XML only: the name of an opening tag, '' otherwise
    };
    auto findUnit = [&](bool attribute) -> TUnit {
        TUnit unit;
        if (b.empty())
            return unit;
        if (shape_ == TShape::Xml && attribute) {
            std::vector<size_t> equals;
            for (size_t i = 0; i + 1 < b.size(); ++i)
                if (b[i] == '=' && b[i + 1] == '"')
                    equals.push_back(i);
            if (!equals.empty()) {
                const size_t eq = equals[Random.Below(equals.size())];
                const size_t space = b.rfind(' ', eq);
                const size_t close = b.find('"', eq + 2);
                if (space != std::string::npos && close != std::string::npos) {
                    unit.Start = space;
                    unit.Length = close + 1 - space;
                    return unit;
                }
            }
        }
        if (shape_ == TShape::Xml) {
            std::vector<size_t> opens;
            for (size_t i = 0; i < b.size(); ++i)
                if (b[i] == '<')
                    opens.push_back(i);
            if (!opens.empty()) {
                const size_t open = opens[Random.Below(opens.size())];
                const size_t close = b.find('>', open);
                if (close != std::string::npos) {
                    unit.Start = open;
                    unit.Length = close + 1 - open;
                    const bool opening = open + 1 < b.size() && b[open + 1] != '/' &&
                                         b[open + 1] != '?' && b[open + 1] != '!' &&
                                         b[close - 1] != '/';
                    if (opening) {
                        size_t end = open + 1;
                        while (end < close && b[end] != ' ' && b[end] != '\r' && b[end] != '/')
                            ++end;
                        unit.Name = b.substr(open + 1, end - open - 1);
                    }
                    return unit;
                }
            }
        }
        if (shape_ == TShape::Base64) {
            const size_t groups = b.size() / 4;
            if (groups) {
                unit.Start = Random.Below(groups) * 4;
                unit.Length = 4;
                return unit;
            }
        }
        // A line, with its line end.
        const size_t pos = Random.Below(b.size());
        const size_t start = b.rfind('\n', pos);
        unit.Start = start == std::string::npos ? 0 : start + 1;
        const size_t end = b.find('\n', pos);
        unit.Length = (end == std::string::npos ? b.size() : end + 1) - unit.Start;
        return unit;
    };

    static constexpr unsigned kWeights[] = {10, 10, 10, 10, 6, 8, 4, 5, 6, 6, 8, 12, 4};
    unsigned total = 0;
    for (unsigned w : kWeights)
        total += w;
    unsigned roll = static_cast<unsigned>(Random.Next() % total);
    unsigned op = 0;
    while (roll >= kWeights[op]) {
        roll -= kWeights[op];
        ++op;
    }

    switch (op) {
    case 0: { // bit flips
        if (b.empty())
            break;
        const size_t pos = Random.Below(b.size());
        const size_t flips = Random.Between(1, 8);
        at("bitflip", pos);
        for (size_t i = 0; i < flips; ++i) {
            const size_t p = std::min(b.size() - 1, pos + Random.Below(16));
            b[p] = static_cast<char>(b[p] ^ (1u << Random.Below(8)));
        }
        break;
    }
    case 1: { // byte flips: random or interesting bytes
        if (b.empty())
            break;
        const size_t pos = Random.Below(b.size());
        const size_t count = Random.Between(1, 8);
        at("byteset", pos);
        for (size_t i = 0; i < count; ++i) {
            const size_t p = std::min(b.size() - 1, pos + Random.Below(32));
            b[p] =
                Random.Percent(50)
                    ? static_cast<char>(Random.Next())
                    : static_cast<char>(kInterestingBytes[Random.Below(kInterestingBytes.size())]);
        }
        break;
    }
    case 2: { // insertion of a run
        const size_t pos = Random.Below(b.size() + 1);
        const size_t length = std::min(Random.RunLength(), room);
        std::string run;
        const unsigned kind = static_cast<unsigned>(Random.Below(3));
        if (kind == 0) {
            run.resize(length);
            for (char& c : run)
                c = static_cast<char>(Random.Next());
        } else if (kind == 1) {
            run.assign(length, static_cast<char>(Random.Next()));
        } else if (!b.empty()) {
            const size_t from = Random.Below(b.size());
            const std::string slice = b.substr(from, Random.Between(1, 64));
            while (run.size() < length)
                run += slice;
            run.resize(length);
        }
        at("insert", pos);
        recipe += " n=" + std::to_string(run.size());
        b.insert(pos, run);
        break;
    }
    case 3: { // deletion of a run
        if (b.empty())
            break;
        const size_t pos = Random.Below(b.size());
        const size_t length = std::min(Random.RunLength(), b.size() - pos);
        at("delete", pos);
        recipe += " n=" + std::to_string(length);
        b.erase(pos, length);
        break;
    }
    case 4: { // splice with a seed
        const TSeed& other = seeds_[Random.Below(seeds_.size())];
        const size_t keep = Random.Below(b.size() + 1);
        const size_t from = Random.Below(other.Bytes.size() + 1);
        at("splice", keep);
        recipe += " " + other.Name + "@" + std::to_string(from);
        b = b.substr(0, keep) + other.Bytes.substr(from);
        break;
    }
    case 5: { // a tag nested thousands deep, or a tag, attribute or line repeated
        const bool attribute = Random.Percent(30);
        const TUnit unit = findUnit(attribute);
        if (unit.Length == 0)
            break;
        const std::string text = b.substr(unit.Start, unit.Length);
        size_t count = Random.RepeatCount();
        if (!unit.Name.empty() && Random.Percent(60)) {
            const std::string close = "</" + unit.Name + ">";
            count = std::min(count, room / (text.size() + close.size() + 1));
            std::string opens;
            std::string closes;
            opens.reserve(text.size() * count);
            closes.reserve(close.size() * count);
            for (size_t i = 0; i < count; ++i) {
                opens += text;
                closes += close;
            }
            at("nest", unit.Start);
            recipe += " n=" + std::to_string(count);
            b.insert(unit.Start + unit.Length, Random.Percent(50) ? closes : std::string());
            b.insert(unit.Start, opens);
        } else {
            count = std::min(count, room / (text.size() + 1));
            std::string copies;
            copies.reserve(text.size() * count);
            for (size_t i = 0; i < count; ++i)
                copies += text;
            at(attribute ? "repeat-attribute" : "repeat", unit.Start);
            recipe += " n=" + std::to_string(count);
            b.insert(unit.Start, copies);
        }
        break;
    }
    case 6: { // a very long name or value
        static constexpr size_t kLengths[] = {256,   1024,  4096,  16384,  32767,  32768,
                                              65535, 65536, 65537, 262144, 1048576};
        const size_t length = std::min(kLengths[Random.Below(std::size(kLengths))], room);
        std::string run;
        const unsigned kind = static_cast<unsigned>(Random.Below(4));
        if (kind == 0) {
            run.assign(length, 'A');
        } else if (kind == 1) {
            run.assign(length, '9');
        } else if (kind == 2) {
            while (run.size() + 2 <= length)
                run += "\xC3\xA9";
        } else {
            run.resize(length);
            for (char& c : run)
                c = static_cast<char>('a' + Random.Below(26));
        }
        const size_t pos = namePosition();
        at("long", pos);
        recipe += " n=" + std::to_string(run.size());
        b.insert(pos, run);
        break;
    }
    case 7: { // NULs in a name, a value or anywhere
        const size_t pos = Random.Percent(50) ? namePosition() : Random.Below(b.size() + 1);
        const size_t count = Random.Between(1, 3);
        at("nul", pos);
        if (Random.Percent(30) && pos < b.size())
            b[pos] = '\0';
        else
            b.insert(pos, std::string(count, '\0'));
        break;
    }
    case 8: { // lone surrogates and invalid UTF-8
        const std::string_view bad = kBadEncodings[Random.Below(kBadEncodings.size())];
        const size_t pos = Random.Percent(50) ? namePosition() : Random.Below(b.size() + 1);
        at("encoding", pos);
        b.insert(pos, bad);
        break;
    }
    case 9: { // numbers at and past the limits
        const std::string_view number = kLimitNumbers[Random.Below(kLimitNumbers.size())];
        std::vector<std::pair<size_t, size_t>> runs;
        for (size_t i = 0; i < b.size();) {
            if (!IsDigit(b[i])) {
                ++i;
                continue;
            }
            size_t start = i;
            while (i < b.size() && IsDigit(b[i]))
                ++i;
            if (start > 0 && (b[start - 1] == '-' || b[start - 1] == '$'))
                --start;
            runs.emplace_back(start, i - start);
        }
        if (runs.empty()) {
            const size_t pos = Random.Below(b.size() + 1);
            at("number", pos);
            b.insert(pos, number);
        } else {
            const auto [start, length] = runs[Random.Below(runs.size())];
            at("number", start);
            b.replace(start, length, number);
        }
        recipe += " ";
        recipe += number;
        break;
    }
    case 10:   // more lone surrogates and limits, as the reader spells them
    case 11: { // a token of the reader
        if (dictionary_.empty())
            break;
        const std::string& token = dictionary_[Random.Below(dictionary_.size())];
        const size_t pos = Random.Below(b.size() + 1);
        at("token", pos);
        if (Random.Percent(30) && pos < b.size())
            b.replace(pos, std::min(b.size() - pos, Random.Between(1, 16)), token);
        else
            b.insert(pos, token);
        break;
    }
    default: { // a cut anywhere
        const size_t pos = Random.Below(b.size() + 1);
        at("cut", pos);
        b.resize(pos);
        break;
    }
    }
}

void TMutator::MutatePng(TRandom& Random, TInput& Input) const
{
    std::string& b = Input.Bytes;
    std::string& recipe = Input.Recipe;
    const size_t room = b.size() < maxSize_ ? maxSize_ - b.size() : 0;
    const std::vector<TPngChunkAt> chunks = PngChunks(b);
    auto type = [&b](const TPngChunkAt& c) { return b.substr(c.Start + 4, 4); };
    auto pick = [&]() -> const TPngChunkAt* {
        return chunks.empty() ? nullptr : &chunks[Random.Below(chunks.size())];
    };
    auto limit = [&]() { return kPngLimits[Random.Below(kPngLimits.size())]; };

    switch (Random.Below(7)) {
    case 0: { // a chunk's length field at a limit or one off its length
        const TPngChunkAt* c = pick();
        if (!c)
            break;
        uint32_t value = limit();
        if (Random.Percent(40))
            value = static_cast<uint32_t>(c->Length + (Random.Percent(50) ? 1 : -1));
        recipe += "png-length@" + std::to_string(c->Start) + " " + type(*c) + "=" +
                  std::to_string(value);
        PutBigEndian(b, c->Start, value);
        break;
    }
    case 1: { // a header field at a limit
        const TPngChunkAt* header = nullptr;
        for (const TPngChunkAt& c : chunks)
            if (type(c) == "IHDR" && c.Length >= 13)
                header = &c;
        if (!header)
            break;
        const size_t data = header->Start + 8;
        const unsigned field = static_cast<unsigned>(Random.Below(6));
        if (field < 2) {
            const uint32_t value = limit();
            PutBigEndian(b, data + 4 * field, value);
            recipe += std::string(field ? "png-height=" : "png-width=") + std::to_string(value);
        } else {
            static constexpr unsigned char kDepths[] = {0, 1, 2, 3, 4, 8, 16, 255};
            static constexpr unsigned char kColours[] = {0, 1, 2, 3, 4, 5, 6, 7, 255};
            static constexpr unsigned char kOthers[] = {0, 1, 2, 255};
            const unsigned char value =
                field == 2   ? kDepths[Random.Below(std::size(kDepths))]
                : field == 3 ? kColours[Random.Below(std::size(kColours))]
                             : kOthers[Random.Below(std::size(kOthers))];
            static constexpr const char* kNames[] = {"depth", "colour", "compression",
                                                     "filter"};
            // Field 5 stands for the interlace method too: both are a byte of
            // the same few values.
            const size_t at = field == 5 && Random.Percent(50) ? data + 12 : data + 6 + field;
            b[at] = static_cast<char>(value);
            recipe += std::string("png-") + (at == data + 12 ? "interlace" : kNames[field - 2]) +
                      "=" + std::to_string(value);
        }
        break;
    }
    case 2: { // a chunk repeated
        const TPngChunkAt* c = pick();
        if (!c || c->Total == 0)
            break;
        const std::string text = b.substr(c->Start, c->Total);
        const size_t count = std::min(Random.RepeatCount(), room / (text.size() + 1));
        std::string copies;
        copies.reserve(text.size() * count);
        for (size_t i = 0; i < count; ++i)
            copies += text;
        recipe += "png-repeat@" + std::to_string(c->Start) + " " + type(*c) +
                  " n=" + std::to_string(count);
        b.insert(c->Start, copies);
        break;
    }
    case 3: { // a chunk left out
        const TPngChunkAt* c = pick();
        if (!c)
            break;
        recipe += "png-drop@" + std::to_string(c->Start) + " " + type(*c);
        b.erase(c->Start, c->Total);
        break;
    }
    case 4: { // two chunks swapped
        if (chunks.size() < 2)
            break;
        size_t i = Random.Below(chunks.size());
        size_t j = Random.Below(chunks.size());
        if (i == j)
            break;
        if (i > j)
            std::swap(i, j);
        const TPngChunkAt& first = chunks[i];
        const TPngChunkAt& second = chunks[j];
        const std::string a = b.substr(first.Start, first.Total);
        const std::string c = b.substr(second.Start, second.Total);
        const std::string between =
            b.substr(first.Start + first.Total, second.Start - first.Start - first.Total);
        recipe += "png-swap " + type(first) + "@" + std::to_string(first.Start) + " " +
                  type(second) + "@" + std::to_string(second.Start);
        b.replace(first.Start, second.Start + second.Total - first.Start, c + between + a);
        break;
    }
    case 5: { // a new chunk, often text with the anchors' keyword
        const std::string_view name = Random.Percent(40)
                                          ? std::string_view("tEXt")
                                          : kPngChunkTypes[Random.Below(kPngChunkTypes.size())];
        std::string data;
        if (name == "tEXt" && Random.Percent(70)) {
            data = Random.Percent(60) ? "URL" : Random.Percent(50) ? "url" : "Comment";
            data += '\0';
            data += "click:" + std::to_string(Random.Below(100)) + ",0," +
                    std::string(kLimitNumbers[Random.Below(kLimitNumbers.size())]) + ",9\r\nurl:";
        }
        const size_t length = std::min(Random.RunLength(), room);
        while (data.size() < length)
            data += static_cast<char>(Random.Next());
        const size_t at = chunks.empty() ? b.size() : pick()->Start;
        recipe += "png-chunk@" + std::to_string(at) + " " +
                  std::string(name == std::string_view("\0\0\0\0", 4) ? "NUL" : name) +
                  " n=" + std::to_string(data.size());
        b.insert(at, MakePngChunk(name, data));
        break;
    }
    default: { // the image data inflated, changed and deflated again
        std::string compressed;
        std::vector<const TPngChunkAt*> data;
        for (const TPngChunkAt& c : chunks)
            if (type(c) == "IDAT") {
                compressed += b.substr(c.Start + 8, c.Length);
                data.push_back(&c);
            }
        std::string raw;
        if (data.empty() || !Inflate(compressed, raw, 4 * maxSize_) || raw.empty())
            break;
        recipe += "png-rows";
        const unsigned how = static_cast<unsigned>(Random.Below(5));
        const TPngChunkAt* header = nullptr;
        for (const TPngChunkAt& c : chunks)
            if (type(c) == "IHDR" && c.Length >= 13)
                header = &c;
        if (how == 4 && header) {
            // The largest pictures the limits allow, whole: 8-bit RGBA rows
            // of zeros, each with its filter byte.
            static constexpr std::pair<uint32_t, uint32_t> kSizes[] = {
                {8192, 2048}, {4096, 4096}, {2048, 8192}, {8192, 1}, {1, 8192}, {1024, 1024}};
            const size_t size = Random.Below(std::size(kSizes));
            const auto [w, h] = kSizes[size];
            const size_t fields = header->Start + 8;
            PutBigEndian(b, fields, w);
            PutBigEndian(b, fields + 4, h);
            b[fields + 8] = 8;
            b[fields + 9] = 6;
            b[fields + 12] = static_cast<char>(Random.Below(2));
            recipe += " whole " + std::to_string(w) + "x" + std::to_string(h) +
                      (b[fields + 12] ? " interlaced" : "");
            // Compressing 64 MB takes a good part of a second: each size once.
            static std::string packedZeros[std::size(kSizes)];
            std::string& packed = packedZeros[size];
            if (packed.empty())
                packed = Deflate(std::string((static_cast<size_t>(w) * 4 + 1) * h, '\0'));
            for (size_t i = data.size(); i-- > 1;)
                b.erase(data[i]->Start, data[i]->Total);
            b.replace(data[0]->Start, data[0]->Total, MakePngChunk("IDAT", packed));
            break;
        }
        if (how == 0) { // filter bytes: the first of each row of some width
            const size_t stride = Random.Between(2, 64);
            for (size_t i = 0; i < raw.size(); i += stride)
                if (Random.Percent(30))
                    raw[i] = static_cast<char>(Random.Below(8));
            recipe += " filters/" + std::to_string(stride);
        } else if (how == 1) {
            const size_t cut = Random.Below(raw.size());
            raw.resize(cut);
            recipe += " cut=" + std::to_string(cut);
        } else if (how == 2) {
            const size_t more = Random.RunLength();
            raw.append(more, static_cast<char>(Random.Next()));
            recipe += " more=" + std::to_string(more);
        } else {
            const size_t count = Random.Between(1, 32);
            for (size_t i = 0; i < count; ++i)
                raw[Random.Below(raw.size())] = static_cast<char>(Random.Next());
            recipe += " bytes=" + std::to_string(count);
        }
        const std::string packed = Deflate(raw);
        if (packed.empty())
            break;
        // One chunk in place of the first, the others left out.
        for (size_t i = data.size(); i-- > 1;)
            b.erase(data[i]->Start, data[i]->Total);
        b.replace(data[0]->Start, data[0]->Total, MakePngChunk("IDAT", packed));
        break;
    }
    }
}

} // namespace fuzz
