#include "controls/KvFiler.h"

#include "platform/ClassesU.h"
#include "platform/GuardU.h"
#include "platform/UnicodeU.h"

#include <cstring>
#include <string>

namespace {

constexpr const char* kStreamReadError = "Stream read error";
constexpr const char* kInvalidElementType = "Invalid Element Type";

constexpr uint8_t kTagEmptyAnsi = 29;
constexpr uint8_t kTagEmptyWide = 34;

// Payload bytes of the integer tags 1 to 24.
int IntegerPayload(uint8_t tag)
{
    return (tag - 1) / 3 + 1;
}

int BitLength(uint32_t v)
{
    int bits = 0;
    while (v) {
        ++bits;
        v >>= 1;
    }
    return bits;
}

int BytesFor(uint32_t v)
{
    int bits = BitLength(v);
    return bits == 0 ? 1 : (bits + 7) / 8;
}

} // namespace

TKvFiler::TKvFiler(TStream& stream, int32_t bufSize)
    : stream_(&stream), buffer_(static_cast<char*>(KvAllocate(bufSize > 0 ? bufSize : 1))),
      bufSize_(bufSize > 0 ? bufSize : 1)
{
}

TKvFiler::~TKvFiler()
{
    KvRelease(buffer_);
}

// --- Reader ---------------------------------------------------------------------

TKvReader::~TKvReader()
{
    Guard([&] {
        if (bufEnd_ > bufPos_)
            stream_->Seek(-static_cast<int64_t>(bufEnd_ - bufPos_), TSeekOrigin::Current);
    });
}

void TKvReader::Read(void* buf, int32_t count)
{
    auto* out = static_cast<char*>(buf);
    while (count > 0) {
        if (bufPos_ >= bufEnd_) {
            int32_t got = stream_->Read(buffer_, bufSize_);
            if (got <= 0) {
                bufPos_ = bufEnd_ = 0;
                throw EReadError(kStreamReadError);
            }
            bufEnd_ = got;
            bufPos_ = 0;
        }
        int32_t n = bufEnd_ - bufPos_;
        if (n > count)
            n = count;
        std::memcpy(out, buffer_ + bufPos_, static_cast<size_t>(n));
        bufPos_ += n;
        out += n;
        count -= n;
    }
}

int64_t TKvReader::BytesLeft() const
{
    int64_t rest = stream_->GetSize() - stream_->GetPosition();
    return (bufEnd_ - bufPos_) + (rest > 0 ? rest : 0);
}

// --- Writer ---------------------------------------------------------------------

TKvWriter::~TKvWriter()
{
    Guard([&] { FlushBuffer(); });
}

void TKvWriter::Write(const void* buf, int32_t count)
{
    auto* in = static_cast<const char*>(buf);
    while (count > 0) {
        if (bufPos_ >= bufSize_)
            FlushBuffer();
        int32_t n = bufSize_ - bufPos_;
        if (n > count)
            n = count;
        std::memcpy(buffer_ + bufPos_, in, static_cast<size_t>(n));
        bufPos_ += n;
        if (bufPos_ > bufEnd_)
            bufEnd_ = bufPos_;
        in += n;
        count -= n;
    }
}

void TKvWriter::FlushBuffer()
{
    if (bufEnd_ > 0) {
        int32_t n = bufEnd_;
        // Reset first: a failing write must not be retried by the destructor.
        bufPos_ = bufEnd_ = 0;
        stream_->WriteBuffer(buffer_, n);
    }
    bufPos_ = bufEnd_ = 0;
}

// --- Element reader -----------------------------------------------------------------

uint8_t TKvBinaryReader::ReadTag()
{
    uint8_t tag = 0;
    Read(&tag, 1);
    return tag;
}

uint8_t TKvBinaryReader::ReadByte()
{
    uint8_t tag = ReadTag();
    if (tag != 2 && tag != 3)
        throw EReadError(kInvalidElementType);
    uint8_t value = 0;
    Read(&value, 1);
    return value;
}

uint32_t TKvBinaryReader::ReadCardinal()
{
    uint8_t tag = ReadTag();
    if (tag < 2 || tag > 12 || (tag - 1) % 3 == 0)
        throw EReadError(kInvalidElementType);
    uint32_t value = 0;
    Read(&value, IntegerPayload(tag));
    return value;
}

int32_t TKvBinaryReader::ReadInteger()
{
    uint8_t tag = ReadTag();
    if (tag < 1 || tag > 11)
        throw EReadError(kInvalidElementType);
    // Negative tags fill the low bytes of an all-ones value: sign extension.
    uint32_t value = (tag - 1) % 3 == 0 ? 0xFFFFFFFFu : 0u;
    Read(&value, IntegerPayload(tag));
    return static_cast<int32_t>(value);
}

WideString TKvBinaryReader::ReadWideString()
{
    uint8_t tag = ReadTag();
    if (tag < kTagEmptyAnsi || tag > 38)
        throw EReadError(kInvalidElementType);
    if (tag == kTagEmptyAnsi || tag == kTagEmptyWide)
        return {};
    const bool wide = tag > kTagEmptyWide;
    uint32_t bytes = 0;
    Read(&bytes, wide ? tag - kTagEmptyWide : tag - kTagEmptyAnsi);
    // A corrupt length must fail before it sizes anything.
    if (bytes > 0x7FFFFFF0u || static_cast<int64_t>(bytes) > BytesLeft() ||
        (wide && bytes % 2 != 0))
        throw EReadError(kStreamReadError);
    if (wide) {
        WideString s;
        s.SetLength(static_cast<int32_t>(bytes / 2));
        Read(s.MutableData(), static_cast<int32_t>(bytes));
        return s;
    }
    std::string ansi(bytes, '\0');
    Read(ansi.data(), static_cast<int32_t>(bytes));
    // 8-bit strings are text in the system code page.
    const std::wstring widened = WideFromAnsi(ansi);
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return WideString(reinterpret_cast<const char16_t*>(widened.data()),
                      static_cast<int32_t>(widened.size()));
}

// --- Element writer -----------------------------------------------------------------

void TKvBinaryWriter::WriteByte(uint8_t value)
{
    const uint8_t bytes[2] = {3, value};
    Write(bytes, 2);
}

void TKvBinaryWriter::WriteCardinal(uint32_t value)
{
    int bits = BitLength(value);
    int bytes = BytesFor(value);
    uint8_t tag = static_cast<uint8_t>(3 * (bytes - 1) + 2 + (bits == 8 * bytes ? 1 : 0));
    WriteTag(tag);
    Write(&value, bytes);
}

void TKvBinaryWriter::WriteInteger(int32_t value)
{
    if (value >= 0) {
        WriteCardinal(static_cast<uint32_t>(value));
        return;
    }
    uint32_t inverted = ~static_cast<uint32_t>(value);
    int bytes = BitLength(inverted) / 8 + 1;
    WriteTag(static_cast<uint8_t>(3 * (bytes - 1) + 1));
    uint32_t raw = static_cast<uint32_t>(value);
    Write(&raw, bytes);
}

void TKvBinaryWriter::WriteWideString(const WideString& s)
{
    if (s.IsEmpty()) {
        WriteTag(kTagEmptyWide);
        return;
    }
    uint32_t bytes = static_cast<uint32_t>(s.Length()) * 2;
    int n = BytesFor(bytes);
    WriteTag(static_cast<uint8_t>(kTagEmptyWide + n));
    Write(&bytes, n);
    Write(s.Data(), static_cast<int32_t>(bytes));
}
