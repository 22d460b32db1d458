#pragma once
// A small buffered reader and writer over a class-library stream, and the
// typed element encoding on top of them: every value is a one-byte tag and a
// payload, integers taking only the bytes they need.
//
//   tag 0            nothing
//   1, 4, ..., 22    negative integer, the low 1..8 bytes of its two's complement
//   2, 5, ..., 23    non-negative integer whose highest payload bit is 0
//   3, 6, ..., 24    non-negative integer whose highest payload bit is 1
//   25..28           reserved; never written or accepted
//   29               empty 8-bit string
//   30..33           8-bit string: byte length in 1..4 bytes, then the bytes
//   34               empty WideString
//   35..38           WideString: length in BYTES in 1..4 bytes, then the units
//
// Multi-byte numbers are little-endian. The stream is not owned.

#include "controls/KvWideStrings.h"

#include <cstdint>
#include <stdexcept>

class TStream;

// A failed or refused read: "Stream read error", "Invalid Element Type".
class EReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TKvFiler {
public:
    TKvFiler(TStream& stream, int32_t bufSize);
    virtual ~TKvFiler();
    TKvFiler(const TKvFiler&) = delete;
    TKvFiler& operator=(const TKvFiler&) = delete;

    TStream& Stream() const noexcept { return *stream_; }
    int32_t BufSize() const noexcept { return bufSize_; }

protected:
    TStream* stream_;
    char* buffer_;
    int32_t bufSize_;
    int32_t bufPos_ = 0;
    int32_t bufEnd_ = 0;
};

// Reads through the buffer. Destroying it moves the stream back by the bytes
// read ahead, so the stream then stands just after the last byte consumed.
class TKvReader : public TKvFiler {
public:
    using TKvFiler::TKvFiler;
    ~TKvReader() override;
    // Exactly count bytes, or EReadError "Stream read error" when the stream ends.
    void Read(void* buf, int32_t count);
    // Bytes still to come: buffered ones plus the stream's rest.
    int64_t BytesLeft() const;
};

// Writes through the buffer. Callers flush explicitly when done; the
// destructor's own flush only catches what an exception left pending, and runs
// in the guard.
class TKvWriter : public TKvFiler {
public:
    using TKvFiler::TKvFiler;
    ~TKvWriter() override;
    void Write(const void* buf, int32_t count);
    void FlushBuffer();
};

class TKvBinaryReader : public TKvReader {
public:
    using TKvReader::TKvReader;
    uint8_t ReadTag();
    uint8_t ReadByte();          // tags 2 and 3
    uint32_t ReadCardinal();     // tags 2, 3, 5, 6, 8, 9, 11, 12
    int32_t ReadInteger();       // tags 1 to 11
    WideString ReadWideString(); // 29 to 33 (system code page), 34 to 38
    void ReadBuffer(void* buf, int32_t count) { Read(buf, count); }
};

class TKvBinaryWriter : public TKvWriter {
public:
    using TKvWriter::TKvWriter;
    void WriteTag(uint8_t tag) { Write(&tag, 1); }
    void WriteByte(uint8_t value); // always tag 3
    void WriteCardinal(uint32_t value);
    void WriteInteger(int32_t value);
    void WriteWideString(const WideString& s);
    void WriteBuffer(const void* buf, int32_t count) { Write(buf, count); }
};
