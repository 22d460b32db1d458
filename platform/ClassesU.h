#pragma once
// The class library's root object and its streams.

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Root of the classes that lists own by pointer.
class TObject {
public:
    virtual ~TObject() = default;
};

// A failed write or seek, or a missing resource.
class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TSeekOrigin { Begin, Current, End };

// Abstract stream. Read returns the count read (short at the end, never throws
// for a short read); Write writes everything or throws EStreamError; Seek
// returns the new position or throws.
class TStream : public TObject {
public:
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual void SetSize(int64_t size) = 0;
    virtual int64_t GetSize();

    int64_t GetPosition() { return Seek(0, TSeekOrigin::Current); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::Begin); }
    // Reads exactly count bytes or throws EStreamError.
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count) { Write(buffer, count); }
    // Copies count bytes from source's position (count 0: all of source from its
    // start); returns the number copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

// Over a file handle it does not own.
class THandleStream : public TStream {
public:
    explicit THandleStream(HANDLE handle) : handle_(handle) {}
    HANDLE Handle() const { return handle_; }
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

protected:
    HANDLE handle_;
};

// A growable block of memory.
class TMemoryStream : public TStream {
public:
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    int64_t GetSize() override { return static_cast<int64_t>(data_.size()); }

    void Clear();
    const char* Memory() const { return data_.data(); }
    char* Memory() { return data_.data(); }
    std::string ToString() const { return std::string(data_.begin(), data_.end()); }

private:
    std::vector<char> data_;
    int64_t position_ = 0;
};

// Read-only stream over a module's resource (RCDATA by default), found by name.
// A missing resource throws EStreamError; writing throws.
class TResourceStream : public TStream {
public:
    TResourceStream(HMODULE module, const wchar_t* name, const wchar_t* type = RT_RCDATA);
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    int64_t GetSize() override { return size_; }
    const char* Memory() const { return data_; }

private:
    const char* data_ = nullptr;
    int64_t size_ = 0;
    int64_t position_ = 0;
};

// Reads the whole of a stream from its start.
std::string ReadWholeStream(TStream& stream);
