#pragma once
// Typed binary records over any stream of the class library, and a file
// writer and reader that open their file themselves, with sharing rules, a
// folder-creating writer and a retry loop for files that another process (a
// virus scanner, the tray program) holds for a moment.
//
// Record encoding: little-endian, no header, no tags, no padding; a string is
// a signed 32-bit byte count followed by that many 8-bit characters.
//
// Every operation returns its success and raises nothing: a missing stream, a
// short read, a failed write or an exception of the wrapped stream all give
// False. Integer readers leave 0 in their result on a short read. Nothing is
// buffered here: each operation goes straight to the wrapped stream.

#include "platform/ClassesU.h"
#include "platform/FileUtilsU.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// Holds the wrapped stream, which it neither creates nor frees.
class TStreamBase : public TObject {
public:
    explicit TStreamBase(TStream* Stream = nullptr) : stream_(Stream) {}
    TStreamBase(const TStreamBase&) = delete;
    TStreamBase& operator=(const TStreamBase&) = delete;

    bool HasStream() const noexcept { return stream_ != nullptr; }
    TStream* Stream() const noexcept { return stream_; }
    void SetStream(TStream* Stream) noexcept { stream_ = Stream; }

private:
    TStream* stream_;
};

// The virtual operations are declared in their slot order (0 to 10).
class TStreamWriter : public TStreamBase {
public:
    using TStreamBase::TStreamBase;

    // 0: the bytes, no length.
    virtual bool WriteRaw(std::string_view S);
    // 1: the bytes, then CR LF.
    virtual bool WriteLine(std::string_view S);
    // 2: 4-byte length, then the bytes. WriteString("") writes 00 00 00 00, which
    // ReadString does not take back.
    virtual bool WriteString(std::string_view S);
    // 3: 4 bytes.
    virtual bool WriteInteger(int32_t V);
    // 4: 1 byte (1 or 0).
    virtual bool WriteBoolean(bool V);
    // 5: 8 bytes.
    virtual bool WriteInt64(int64_t V);
    // 6: 1 byte.
    virtual bool WriteByte(uint8_t V);
    // 7: 2 bytes.
    virtual bool WriteWord(uint16_t V);
    // 8: Count bytes of Buf (Count 0 writes nothing and succeeds).
    virtual bool WriteBuffer(const void* Buf, int32_t Count);
    // 9: the wrapped stream copies all of Source, from Source's start.
    virtual bool CopyFromStream(TStream& Source);
    // 10: Source rewound, read whole into memory and written through slot 8.
    virtual bool WriteStreamContents(TStream& Source);
};

class TStreamReader : public TStreamBase {
public:
    using TStreamBase::TStreamBase;

    // 0: reads as many bytes as the whole stream holds, from the current
    // position; S holds the bytes actually read. True only when that many were
    // read (so False in mid-stream).
    virtual bool ReadAll(std::string& S);
    // 1: clears S, then ReadAll.
    virtual bool ReadText(std::string& S);
    // 2: 4-byte length, then that many bytes. False (S cleared) for a length of
    // 0 or below, one above the bytes left, or a short read; nothing is
    // allocated for a length the stream cannot hold.
    virtual bool ReadString(std::string& S);
    // 3 to 7: fixed-size values, 0 (False) on a short read.
    virtual bool ReadInteger(int32_t& V);
    virtual bool ReadBoolean(bool& V);
    virtual bool ReadInt64(int64_t& V);
    virtual bool ReadByte(uint8_t& V);
    virtual bool ReadWord(uint16_t& V);
    // 8: True only when all Count bytes were read.
    virtual bool ReadBuffer(void* Buf, int32_t Count);
    // 9: Dest copies all of the wrapped stream, from its start.
    virtual bool CopyToStream(TStream& Dest);
    // 10: the rest of the wrapped stream (size minus position) read through
    // slot 8 and written to Dest.
    virtual bool ReadStreamContents(TStream& Dest);

    // The wrapped stream's size; -1 without a stream (or when it cannot tell).
    int64_t GetStreamSize();
};

// A writer over a memory stream that it creates and frees.
class TMemoryStreamWriter : public TStreamWriter {
public:
    TMemoryStreamWriter();
    TMemoryStream& MemoryStream() noexcept { return *memory_; }

private:
    std::unique_ptr<TMemoryStream> memory_;
};

// Writes a file it opens itself. Owns its handle and the handle stream around
// it; closed on destruction. Open creates the file's folder when missing.
class TFileWriter : public TStreamWriter {
public:
    TFileWriter() = default;
    ~TFileWriter() override;

    // Security of the file and of folders Open creates (see FileUtilsU.h).
    TFileSecurity Security = TFileSecurity::Inherit;
    bool ShareWrite = false;
    bool ShareRead = false;
    // Opens with OPEN_ALWAYS and positions at the end, instead of CREATE_ALWAYS.
    bool Append = false;
    // Opens with CREATE_NEW instead: fails when anything (a file, a link)
    // already has the name.
    bool CreateNew = false;
    DWORD RetryTime = kDefaultRetryTime; // ms

    // 11: closes first when open; creates the folder part (up to the last "\"
    // or ":") with its parents when missing; CreateFileA(GENERIC_WRITE) tried
    // RetryTime / 100 times, 100 ms apart while another process holds the file
    // (errors 5, 32, 33), then once more. False with Handle -1 on failure.
    virtual bool Open(const std::string& FileName);
    // 12: frees the handle stream and closes the handle; Handle -1. Nothing
    // happens when the writer was never opened.
    virtual void Close();
    // 13: FlushFileBuffers.
    virtual bool Flush();

    // INVALID_HANDLE_VALUE (-1) when closed.
    HANDLE Handle() const noexcept { return handle_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<THandleStream> handleStream_;
};

// Reads a file it opens itself: GENERIC_READ, sharing read and write by
// default, no security, no folder created. Closed on destruction.
class TFileReader : public TStreamReader {
public:
    TFileReader() = default;
    ~TFileReader() override;

    bool ShareWrite = true;
    bool ShareRead = true;
    DWORD RetryTime = kDefaultRetryTime; // ms

    // 11: the writer's retry scheme with OPEN_EXISTING; remembers FileName.
    virtual bool Open(const std::string& FileName);
    // 12: as the writer's.
    virtual void Close();

    HANDLE Handle() const noexcept { return handle_; }
    const std::string& FileName() const noexcept { return fileName_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::string fileName_;
    std::unique_ptr<THandleStream> handleStream_;
};

// Opens FileName with a TFileReader and reads it whole into Content (byte-exact,
// NULs included). True only when the whole file was read; Content holds what
// was read either way ('' when the file did not open).
bool LoadFileToString(const std::string& FileName, std::string& Content);

// Replaces FileName without ever leaving a truncated file: writes a temporary
// file of a name no one else uses ("<FileName>.<process>.<n>.tmp") in the same
// folder with Security, made new (CREATE_NEW, so a planted file or link of
// that name is never written through), flushes it, then moves it over
// FileName (MoveFileExA with REPLACE_EXISTING and WRITE_THROUGH), retried
// like the writer's Open (RetryTime, in milliseconds) while FileName is held.
// A path with a reparse point in it (PathHasReparsePoint) is refused. On any
// failure the tmp file is deleted, False comes back and FileName is left
// byte-identical.
bool SaveFileAtomic(const std::string& FileName, std::string_view Content,
                    TFileSecurity Security = TFileSecurity::Inherit,
                    DWORD RetryTime = kDefaultRetryTime);
// The same with the content written by Write through the tmp file's writer
// (False from Write fails the save).
bool SaveFileAtomic(const std::string& FileName, const std::function<bool(TStreamWriter&)>& Write,
                    TFileSecurity Security = TFileSecurity::Inherit,
                    DWORD RetryTime = kDefaultRetryTime);

// Gathers many small pieces into blocks of about BlockSize bytes before they
// reach the writer: a large file is written piece by piece without one system
// call per piece and without its whole text in memory. Finish writes what is
// left; False from either once the writer failed.
class TBlockWriter {
public:
    explicit TBlockWriter(TStreamWriter& Writer, size_t BlockSize = 65536);
    TBlockWriter(const TBlockWriter&) = delete;
    TBlockWriter& operator=(const TBlockWriter&) = delete;
    bool Add(std::string_view Piece);
    bool Finish();

private:
    TStreamWriter& writer_;
    size_t blockSize_;
    std::string block_;
    bool ok_ = true;
};
