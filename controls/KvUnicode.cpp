#include "controls/KvUnicode.h"

#include "platform/ClassesU.h"

#include <cstring>
#include <utility>

namespace {

constexpr int32_t kStreamBufferSize = 4096;

bool Read8Bit(TKvUnicodeReader& reader, char16_t& c)
{
    uint8_t b;
    if (!reader.NextByte(b))
        return false;
    c = b;
    return true;
}

// An odd last byte is consumed and ends the input: nothing is read past it.
bool ReadUnit(TKvUnicodeReader& reader, char16_t& u)
{
    uint8_t lo, hi;
    if (!reader.NextByte(lo) || !reader.NextByte(hi))
        return false;
    u = static_cast<char16_t>(lo | (hi << 8));
    return true;
}

// Decoder state: a unit already read, either the low half of a valid pair (to
// be passed as it is) or the unit after an unpaired high surrogate (to be
// decoded like any other).
constexpr uint32_t kPendingPairHalf = 0x10000;
constexpr uint32_t kPendingUnit = 0x20000;
constexpr char16_t kReplacement = 0xFFFD;

bool IsHigh(char16_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}

bool IsLow(char16_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

bool ReadUtf16LE(TKvUnicodeReader& reader, char16_t& c)
{
    uint32_t& state = reader.DecoderState();
    if (state & kPendingPairHalf) {
        c = static_cast<char16_t>(state & 0xFFFF);
        state = 0;
        return true;
    }
    char16_t u;
    if (state & kPendingUnit) {
        u = static_cast<char16_t>(state & 0xFFFF);
        state = 0;
    } else if (!ReadUnit(reader, u)) {
        return false;
    }
    if (!IsHigh(u) && !IsLow(u)) {
        c = u;
        return true;
    }
    if (IsLow(u)) {
        c = kReplacement;
        return true;
    }
    char16_t next;
    if (!ReadUnit(reader, next)) {
        c = kReplacement;
        return true;
    }
    if (IsLow(next)) {
        c = u;
        state = kPendingPairHalf | next;
    } else {
        c = kReplacement;
        state = kPendingUnit | next;
    }
    return true;
}

constexpr TKvUnicodeReadMethods k8BitMethods{nullptr, &Read8Bit, nullptr};
constexpr TKvUnicodeReadMethods kUtf16LEMethods{nullptr, &ReadUtf16LE, nullptr};

} // namespace

const TKvUnicodeReadMethods& KvReadMethods8Bit()
{
    return k8BitMethods;
}

const TKvUnicodeReadMethods& KvReadMethodsUtf16LE()
{
    return kUtf16LEMethods;
}

TKvUnicodeReader::TKvUnicodeReader() : methods_(k8BitMethods) {}

TKvUnicodeReader::~TKvUnicodeReader()
{
    ReleaseSource(source_);
    for (Source& s : suspended_)
        ReleaseSource(s);
    KvRelease(lookAhead_);
    KvRelease(data_);
}

void TKvUnicodeReader::ReleaseSource(Source& source) noexcept
{
    KvRelease(source.owned);
    source.owned = nullptr;
    if (source.ownsStream)
        delete source.stream;
    source.stream = nullptr;
    source.ownsStream = false;
    source.bytes = nullptr;
    source.length = source.index = 0;
    source.decoderState = 0;
    source.lookAhead.clear();
    source.lookAheadIndex = 0;
}

void TKvUnicodeReader::ResetCounters() noexcept
{
    position_ = 0;
    line_ = 1;
    column_ = 0;
    char_ = 0;
    prevChar_ = 0;
    hasChar_ = false;
    lookStart_ = 0;
    lookCount_ = 0;
    resumePoints_.clear();
}

void TKvUnicodeReader::BeginSource(Source&& source)
{
    ReleaseSource(source_);
    source_ = std::move(source);
    ResetCounters();
}

void TKvUnicodeReader::SetSourceBuffer(const void* bytes, int32_t byteLength,
                                       const WideString& sourceName)
{
    if (InStreamMode())
        RaiseContainerError("Operation not allowed in Source Stream Mode");
    Source s;
    s.bytes = static_cast<const uint8_t*>(bytes);
    s.length = bytes && byteLength > 0 ? byteLength : 0;
    s.name = sourceName;
    BeginSource(std::move(s));
}

void TKvUnicodeReader::SetSourceString(const std::string& bytes, const WideString& sourceName)
{
    if (InStreamMode())
        RaiseContainerError("Operation not allowed in Source Stream Mode");
    Source s;
    if (!bytes.empty()) {
        s.owned = static_cast<uint8_t*>(KvAllocate(bytes.size()));
        std::memcpy(s.owned, bytes.data(), bytes.size());
        s.bytes = s.owned;
        s.length = static_cast<int32_t>(bytes.size());
    }
    s.name = sourceName;
    BeginSource(std::move(s));
}

void TKvUnicodeReader::SetSourceWideString(const WideString& text, const WideString& sourceName)
{
    if (InStreamMode())
        RaiseContainerError("Operation not allowed in Source Stream Mode");
    Source s;
    if (!text.IsEmpty()) {
        size_t bytes = static_cast<size_t>(text.Length()) * 2;
        s.owned = static_cast<uint8_t*>(KvAllocate(bytes));
        std::memcpy(s.owned, text.Data(), bytes);
        s.bytes = s.owned;
        s.length = static_cast<int32_t>(bytes);
    }
    s.name = sourceName;
    BeginSource(std::move(s));
}

void TKvUnicodeReader::SetSourceStream(TStream* stream, bool owned, const WideString& sourceName)
{
    Source s;
    s.stream = stream;
    s.ownsStream = owned && stream;
    s.name = sourceName;
    if (stream) {
        s.owned = static_cast<uint8_t*>(KvAllocate(kStreamBufferSize));
        s.bytes = s.owned;
    }
    BeginSource(std::move(s));
}

void TKvUnicodeReader::PushSource()
{
    source_.methods = methods_;
    source_.position = position_;
    source_.line = line_;
    source_.column = column_;
    source_.lastChar = char_;
    // The look-ahead belongs to this source: it waits for the resumption.
    source_.lookAhead = std::u16string(lookAhead_ ? lookAhead_ + lookStart_ : u"",
                                       static_cast<size_t>(lookCount_)) +
                        source_.lookAhead.substr(source_.lookAheadIndex);
    source_.lookAheadIndex = 0;
    lookStart_ = 0;
    lookCount_ = 0;
    // A resumption met in that look-ahead is not replayed: the counters then
    // go on from this source's.
    resumePoints_.clear();
    suspended_.push_back(std::move(source_));
    source_ = Source{};
}

bool TKvUnicodeReader::ResumeSuspended(bool intoLookAhead)
{
    if (suspended_.empty())
        return false;
    ReleaseSource(source_);
    source_ = std::move(suspended_.back());
    suspended_.pop_back();
    methods_ = source_.methods;
    if (intoLookAhead) {
        // The current character still belongs to the ended source.
        ResumePoint point{lookCount_, source_.position, source_.line, source_.column,
                          source_.lastChar};
        if (!resumePoints_.empty() && resumePoints_.back().offset == lookCount_)
            resumePoints_.back() = point;
        else
            resumePoints_.push_back(point);
        return true;
    }
    position_ = source_.position;
    line_ = source_.line;
    column_ = source_.column;
    // The line count goes on from the resumed source's own last character.
    prevChar_ = source_.lastChar;
    return true;
}

void TKvUnicodeReader::SetReadMethods(const TKvUnicodeReadMethods& methods)
{
    if (methods_.Finish)
        methods_.Finish(*this);
    methods_ = methods;
    if (!methods_.ReadChar)
        methods_.ReadChar = &Read8Bit;
    if (methods_.Init)
        methods_.Init(*this);
}

bool TKvUnicodeReader::NextByte(uint8_t& b)
{
    if (source_.index >= source_.length) {
        if (!source_.stream)
            return false;
        // Only a refill that brings nothing ends a stream; short reads go on.
        int32_t got = source_.stream->Read(source_.owned, kStreamBufferSize);
        if (got <= 0)
            return false;
        source_.bytes = source_.owned;
        source_.length = got;
        source_.index = 0;
    }
    b = source_.bytes[source_.index++];
    return true;
}

bool TKvUnicodeReader::Decode(char16_t& c, bool intoLookAhead)
{
    for (;;) {
        if (source_.lookAheadIndex < source_.lookAhead.size()) {
            c = source_.lookAhead[source_.lookAheadIndex++];
            return true;
        }
        if (methods_.ReadChar(*this, c))
            return true;
        if (!ResumeSuspended(intoLookAhead)) {
            // The input has ended: an owned stream is freed now.
            ReleaseSource(source_);
            return false;
        }
    }
}

bool TKvUnicodeReader::ReadChar()
{
    prevChar_ = char_;
    bool ok;
    if (lookCount_ > 0) {
        char_ = lookAhead_[lookStart_];
        --lookCount_;
        lookStart_ = lookCount_ ? lookStart_ + 1 : 0;
        ok = true;
        if (!resumePoints_.empty()) {
            if (resumePoints_.front().offset == 0) {
                const ResumePoint& point = resumePoints_.front();
                position_ = point.position;
                line_ = point.line;
                column_ = point.column;
                prevChar_ = point.lastChar;
                resumePoints_.erase(resumePoints_.begin());
            }
            for (ResumePoint& point : resumePoints_)
                --point.offset;
        }
    } else {
        ok = Decode(char_, false);
    }
    if (ok) {
        ++position_;
        if (prevChar_ != u'\r' && prevChar_ != u'\n')
            ++column_;
        if (prevChar_ == u'\n' || (prevChar_ == u'\r' && char_ != u'\n')) {
            ++line_;
            column_ = 1;
        }
    } else {
        char_ = 0;
    }
    hasChar_ = ok;
    return ok;
}

bool TKvUnicodeReader::ReadCharAndAppend()
{
    AppendChar(char_);
    return ReadChar();
}

bool TKvUnicodeReader::Peek(int32_t n)
{
    while (lookCount_ < n) {
        if (lookStart_ + lookCount_ == lookCapacity_ && lookStart_ > 0 &&
            lookStart_ >= lookCount_) {
            std::memmove(lookAhead_, lookAhead_ + lookStart_, static_cast<size_t>(lookCount_) * 2);
            lookStart_ = 0;
        }
        if (lookStart_ + lookCount_ == lookCapacity_) {
            int32_t capacity = lookCapacity_ ? lookCapacity_ * 2 : 8;
            lookAhead_ =
                static_cast<char16_t*>(KvReallocate(lookAhead_, static_cast<size_t>(capacity) * 2));
            lookCapacity_ = capacity;
        }
        char16_t c;
        if (!Decode(c, true))
            return false;
        lookAhead_[lookStart_ + lookCount_++] = c;
    }
    return true;
}

// --- Data buffer ------------------------------------------------------------------

void TKvUnicodeReader::GrowData(int32_t needed)
{
    if (needed <= dataCapacity_)
        return;
    int32_t capacity = ((needed >> 2) + needed + 4) & ~3;
    data_ = static_cast<char16_t*>(KvReallocate(data_, static_cast<size_t>(capacity) * 2));
    dataCapacity_ = capacity;
}

void TKvUnicodeReader::AppendChar(char16_t c)
{
    GrowData(dataLength_ + 1);
    data_[dataLength_++] = c;
}

void TKvUnicodeReader::AppendBuf(const char16_t* buf, int32_t count)
{
    if (!buf || count <= 0)
        return;
    if (buf >= data_ && buf < data_ + dataLength_ && dataLength_ + count > dataCapacity_) {
        // A slice of the data itself would move with the buffer: copy it first.
        const WideString copy(buf, count);
        AppendBuf(copy.Data(), count);
        return;
    }
    GrowData(dataLength_ + count);
    std::memmove(data_ + dataLength_, buf, static_cast<size_t>(count) * 2);
    dataLength_ += count;
}

void TKvUnicodeReader::AppendString(const WideString& s)
{
    AppendBuf(s.Data(), s.Length());
}

void TKvUnicodeReader::AppendSpace()
{
    if (dataLength_ == 0 || data_[dataLength_ - 1] != u' ')
        AppendChar(u' ');
}

void TKvUnicodeReader::AppendCollapsed(char16_t c)
{
    if (IsWideSpace(c))
        AppendSpace();
    else
        AppendChar(c);
}

WideString TKvUnicodeReader::DataAsString() const
{
    return WideString(data_, dataLength_);
}

WideString TKvUnicodeReader::DataAsStringTrimLeft(TKvCharPredicate pred) const
{
    if (!pred)
        pred = &IsWideSpace;
    int32_t start = 0;
    while (start < dataLength_ && pred(data_[start]))
        ++start;
    return WideString(data_ + start, dataLength_ - start);
}

// --- Scanners ----------------------------------------------------------------------

void TKvUnicodeReader::MatchScan(bool append, bool whileMatching, TKvCharPredicate pred)
{
    while (hasChar_ && pred(char_) == whileMatching) {
        if (append)
            AppendChar(char_);
        ReadChar();
    }
}

void TKvUnicodeReader::ReadWhile(TKvCharPredicate pred)
{
    MatchScan(true, true, pred);
}

void TKvUnicodeReader::SkipWhile(TKvCharPredicate pred)
{
    MatchScan(false, true, pred);
}

void TKvUnicodeReader::ReadUntil(TKvCharPredicate pred)
{
    MatchScan(true, false, pred);
}

void TKvUnicodeReader::SkipUntil(TKvCharPredicate pred)
{
    MatchScan(false, false, pred);
}

void TKvUnicodeReader::ReadWhileChar(char16_t c)
{
    while (hasChar_ && char_ == c)
        ReadCharAndAppend();
}

void TKvUnicodeReader::SkipWhileChar(char16_t c)
{
    while (hasChar_ && char_ == c)
        ReadChar();
}

void TKvUnicodeReader::ReadUntilChar(char16_t c1)
{
    while (hasChar_ && char_ != c1)
        ReadCharAndAppend();
}

void TKvUnicodeReader::ReadUntilChar(char16_t c1, char16_t c2)
{
    while (hasChar_ && char_ != c1 && char_ != c2)
        ReadCharAndAppend();
}

void TKvUnicodeReader::ReadUntilChar(char16_t c1, char16_t c2, char16_t c3)
{
    while (hasChar_ && char_ != c1 && char_ != c2 && char_ != c3)
        ReadCharAndAppend();
}

void TKvUnicodeReader::SkipUntilChar(char16_t c1)
{
    while (hasChar_ && char_ != c1)
        ReadChar();
}

void TKvUnicodeReader::SkipUntilChar(char16_t c1, char16_t c2)
{
    while (hasChar_ && char_ != c1 && char_ != c2)
        ReadChar();
}

void TKvUnicodeReader::SkipUntilChar(char16_t c1, char16_t c2, char16_t c3)
{
    while (hasChar_ && char_ != c1 && char_ != c2 && char_ != c3)
        ReadChar();
}
