#pragma once
// The Unicode character reader: a source of bytes delivered as 16-bit
// characters with position, line and column, look-ahead, a growable data buffer
// for piece text, and exchangeable read methods that decode the bytes.
//
// Sources: a buffer in memory (the caller's bytes, or a copy of a string) or a
// stream read 4096 bytes at a time (owned or not). A stack of suspended
// sources lets a subclass read another source and come back: when the current
// one ends, the most recent suspended source resumes with all its state.

#include "controls/KvContainers.h"
#include "controls/KvWideStrings.h"

#include <cstdint>
#include <string>
#include <vector>

class TStream;
class TKvUnicodeReader;

// A read-method set. ReadChar decodes one character from the current source's
// bytes (TKvUnicodeReader::NextByte) and returns false when they are used up.
// Init and Finish may be nil.
struct TKvUnicodeReadMethods {
    void (*Init)(TKvUnicodeReader& reader);
    bool (*ReadChar)(TKvUnicodeReader& reader, char16_t& c);
    void (*Finish)(TKvUnicodeReader& reader);
};

// One byte is one character, values 0 to 255 unchanged (no code page).
const TKvUnicodeReadMethods& KvReadMethods8Bit();
// Two bytes, low byte first. A valid surrogate pair passes as its two units;
// an unpaired high surrogate gives U+FFFD and leaves the unit after it to be
// read next; a lone low surrogate gives U+FFFD; an odd last byte ends the input.
const TKvUnicodeReadMethods& KvReadMethodsUtf16LE();

// The base of the reader (the tokenizer derives from the reader).
class TKvUnicodeBase : public TKvErrorObject {
public:
    const char* ClassName() const override { return "TKvUnicodeBase"; }
};

class TKvUnicodeReader : public TKvUnicodeBase {
public:
    TKvUnicodeReader();
    ~TKvUnicodeReader() override;
    TKvUnicodeReader(const TKvUnicodeReader&) = delete;
    TKvUnicodeReader& operator=(const TKvUnicodeReader&) = delete;
    const char* ClassName() const override { return "TKvUnicodeReader"; }

    // Sources. Each resets position 0, line 1, column 0, Char 0 and HasChar
    // false, and drops the look-ahead. A buffer source while a stream source is
    // active raises "Operation not allowed in Source Stream Mode".
    // The bytes of SetSourceBuffer stay the caller's and must outlive the source.
    void SetSourceBuffer(const void* bytes, int32_t byteLength, const WideString& sourceName = {});
    // 8-bit text and wide text are copied.
    void SetSourceString(const std::string& bytes, const WideString& sourceName = {});
    void SetSourceWideString(const WideString& text, const WideString& sourceName = {});
    // A 4096-byte buffer is used while the stream is read; an owned stream is
    // freed when its source ends or is replaced.
    void SetSourceStream(TStream* stream, bool owned, const WideString& sourceName = {});
    bool InStreamMode() const noexcept { return source_.stream != nullptr; }
    const WideString& SourceName() const noexcept { return source_.name; }

    // The old set's Finish runs, the new set is stored (its ReadChar defaulting
    // to the 8-bit one), then its Init runs. Takes effect from the next decoded
    // character; characters already looked ahead stay as they were decoded.
    void SetReadMethods(const TKvUnicodeReadMethods& methods);
    const TKvUnicodeReadMethods& ReadMethods() const noexcept { return methods_; }

    // Moves to the next character; false (and HasChar false) at the end of input.
    bool ReadChar();
    bool ReadCharAndAppend();
    // Fills the look-ahead until it holds n characters; false when the input
    // ends first. PeekAt(i) is look-ahead character i (0 is the one after Char).
    bool Peek(int32_t n);
    char16_t PeekAt(int32_t i) const noexcept { return lookAhead_[lookStart_ + i]; }
    int32_t LookAheadCount() const noexcept { return lookCount_; }

    bool HasChar() const noexcept { return hasChar_; }
    char16_t Char() const noexcept { return char_; }
    char16_t PrevChar() const noexcept { return prevChar_; }
    int32_t Position() const noexcept { return position_; }
    int32_t Line() const noexcept { return line_; }
    int32_t Column() const noexcept { return column_; }

    // The data buffer.
    void AppendChar(char16_t c);
    void AppendBuf(const char16_t* buf, int32_t count);
    void AppendString(const WideString& s);
    // A space unless the data already ends with one.
    void AppendSpace();
    // White space as AppendSpace, any other character as itself.
    void AppendCollapsed(char16_t c);
    void ClearData() noexcept { dataLength_ = 0; }
    void SetDataLength(int32_t n) noexcept { dataLength_ = n < dataLength_ ? n : dataLength_; }
    int32_t DataLength() const noexcept { return dataLength_; }
    int32_t DataCapacity() const noexcept { return dataCapacity_; }
    const char16_t* Data() const noexcept { return data_; }
    WideString DataAsString() const;
    // Without the leading characters for which pred holds (nil: white space).
    WideString DataAsStringTrimLeft(TKvCharPredicate pred = nullptr) const;

    // Scanners. The Read forms append every character they pass to the data,
    // the Skip forms do not. All stop at the end of input and leave the
    // stopping character current.
    void ReadWhile(TKvCharPredicate pred);
    void SkipWhile(TKvCharPredicate pred);
    void ReadUntil(TKvCharPredicate pred);
    void SkipUntil(TKvCharPredicate pred);
    void ReadWhileChar(char16_t c);
    void SkipWhileChar(char16_t c);
    // Until the current character is one of the given ones.
    void ReadUntilChar(char16_t c1);
    void ReadUntilChar(char16_t c1, char16_t c2);
    void ReadUntilChar(char16_t c1, char16_t c2, char16_t c3);
    void SkipUntilChar(char16_t c1);
    void SkipUntilChar(char16_t c1, char16_t c2);
    void SkipUntilChar(char16_t c1, char16_t c2, char16_t c3);

    // For read methods: the next byte of the current source (refilling a
    // stream's buffer); false when the source's bytes are used up.
    bool NextByte(uint8_t& b);
    // A per-source word the read methods may keep decoding state in (0 when a
    // source is set; saved and restored with suspended sources).
    uint32_t& DecoderState() noexcept { return source_.decoderState; }

protected:
    // Suspends the current source with all its state (its look-ahead too); a
    // source set next is read until it ends, then this one resumes.
    void PushSource();
    int32_t SuspendedCount() const noexcept { return static_cast<int32_t>(suspended_.size()); }

private:
    struct Source {
        const uint8_t* bytes = nullptr; // buffer source, or the stream's buffer
        int32_t length = 0;             // bytes valid
        int32_t index = 0;              // next byte
        uint8_t* owned = nullptr;       // a copied string or the stream buffer
        TStream* stream = nullptr;
        bool ownsStream = false;
        WideString name;
        uint32_t decoderState = 0;
        TKvUnicodeReadMethods methods{};
        int32_t position = 0, line = 1, column = 0;
        char16_t lastChar = 0; // the current character when it was suspended
        // Characters already looked ahead when it was suspended: they come
        // first when it resumes, as they were decoded.
        std::u16string lookAhead;
        size_t lookAheadIndex = 0;
    };
    void ResetCounters() noexcept;
    void ReleaseSource(Source& source) noexcept;
    void BeginSource(Source&& source);
    // intoLookAhead: the character goes to the look-ahead, so a resumed
    // source's counters wait until ReadChar reaches it.
    bool Decode(char16_t& c, bool intoLookAhead);
    bool ResumeSuspended(bool intoLookAhead);
    void GrowData(int32_t needed);
    void MatchScan(bool append, bool stopWhenMatching, TKvCharPredicate pred);

    // Where a suspended source resumed inside the look-ahead: its counters
    // apply when ReadChar takes the character at that offset.
    struct ResumePoint {
        int32_t offset; // from the look-ahead's start
        int32_t position, line, column;
        char16_t lastChar;
    };

    Source source_;
    std::vector<Source> suspended_;
    std::vector<ResumePoint> resumePoints_;
    TKvUnicodeReadMethods methods_;

    bool hasChar_ = false;
    char16_t char_ = 0;
    char16_t prevChar_ = 0;
    int32_t position_ = 0;
    int32_t line_ = 1;
    int32_t column_ = 0;

    // Look-ahead characters live at lookStart_ .. lookStart_ + lookCount_ - 1;
    // taking one moves the start, so a long look-ahead costs no shifting.
    char16_t* lookAhead_ = nullptr;
    int32_t lookStart_ = 0;
    int32_t lookCount_ = 0;
    int32_t lookCapacity_ = 0;

    char16_t* data_ = nullptr;
    int32_t dataLength_ = 0;
    int32_t dataCapacity_ = 0;
};
