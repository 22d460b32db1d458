#include "platform/ClassesU.h"

#include "platform/SysUtilsU.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

[[noreturn]] void RaiseStreamError(const char* what, DWORD code)
{
    std::string message(what);
    if (code != ERROR_SUCCESS) {
        const ESystemError error(code);
        message += ": ";
        message += error.what();
    }
    throw EStreamError(message);
}

// The position that a seek asks for, checked against overflow and the start.
int64_t SeekTarget(int64_t offset, TSeekOrigin origin, int64_t position, int64_t size)
{
    int64_t base = 0;
    switch (origin) {
    case TSeekOrigin::Begin:
        base = 0;
        break;
    case TSeekOrigin::Current:
        base = position;
        break;
    case TSeekOrigin::End:
        base = size;
        break;
    }
    if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0)
        RaiseStreamError("Stream seek error", ERROR_SUCCESS);
    return base + offset;
}

std::string NameForMessage(const wchar_t* name)
{
    if (IS_INTRESOURCE(name))
        return "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name));
    const int len = static_cast<int>(wcslen(name));
    const int n = WideCharToMultiByte(CP_UTF8, 0, name, len, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, name, len, out.data(), n, nullptr, nullptr);
    return out;
}

} // namespace

// ---- TStream ----

int64_t TStream::GetSize()
{
    const int64_t position = Seek(0, TSeekOrigin::Current);
    const int64_t size = Seek(0, TSeekOrigin::End);
    Seek(position, TSeekOrigin::Begin);
    return size;
}

void TStream::ReadBuffer(void* buffer, int32_t count)
{
    if (count > 0 && Read(buffer, count) != count)
        RaiseStreamError("Stream read error", ERROR_SUCCESS);
}

int64_t TStream::CopyFrom(TStream& source, int64_t count)
{
    if (count == 0) {
        source.SetPosition(0);
        count = source.GetSize();
    }
    constexpr int32_t kChunk = 64 * 1024;
    std::vector<char> buffer(
        static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(count, 0), kChunk)));
    int64_t left = count;
    while (left > 0) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(left, kChunk));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return std::max<int64_t>(count, 0);
}

// ---- THandleStream ----

int32_t THandleStream::Read(void* buffer, int32_t count)
{
    if (count <= 0)
        return 0;
    DWORD done = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(count), &done, nullptr))
        return 0;
    return static_cast<int32_t>(done);
}

int32_t THandleStream::Write(const void* buffer, int32_t count)
{
    if (count <= 0)
        return 0;
    DWORD done = 0;
    if (!WriteFile(handle_, buffer, static_cast<DWORD>(count), &done, nullptr))
        RaiseStreamError("Stream write error", GetLastError());
    if (done != static_cast<DWORD>(count))
        RaiseStreamError("Stream write error", ERROR_SUCCESS);
    return count;
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin)
{
    static constexpr DWORD kMethod[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    LARGE_INTEGER result{};
    if (!SetFilePointerEx(handle_, distance, &result, kMethod[static_cast<int>(origin)]))
        RaiseStreamError("Stream seek error", GetLastError());
    return result.QuadPart;
}

void THandleStream::SetSize(int64_t size)
{
    if (size < 0)
        RaiseStreamError("Stream size error", ERROR_SUCCESS);
    const int64_t position = Seek(0, TSeekOrigin::Current);
    Seek(size, TSeekOrigin::Begin);
    if (!SetEndOfFile(handle_))
        RaiseStreamError("Stream size error", GetLastError());
    Seek(std::min(position, size), TSeekOrigin::Begin);
}

// ---- TMemoryStream ----

int32_t TMemoryStream::Read(void* buffer, int32_t count)
{
    const auto size = static_cast<int64_t>(data_.size());
    if (count <= 0 || position_ >= size)
        return 0;
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, size - position_));
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count)
{
    if (count <= 0)
        return 0;
    const int64_t end = position_ + count;
    if (end > static_cast<int64_t>(data_.size())) {
        try {
            // A write after a seek past the end fills the gap with zeros.
            data_.resize(static_cast<size_t>(end));
        } catch (const std::exception&) {
            RaiseStreamError("Out of memory while expanding memory stream", ERROR_SUCCESS);
        }
    }
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin)
{
    position_ = SeekTarget(offset, origin, position_, static_cast<int64_t>(data_.size()));
    return position_;
}

void TMemoryStream::SetSize(int64_t size)
{
    if (size < 0)
        RaiseStreamError("Stream size error", ERROR_SUCCESS);
    try {
        data_.resize(static_cast<size_t>(size));
    } catch (const std::exception&) {
        RaiseStreamError("Out of memory while expanding memory stream", ERROR_SUCCESS);
    }
    position_ = std::min(position_, size);
}

void TMemoryStream::Clear()
{
    data_.clear();
    data_.shrink_to_fit();
    position_ = 0;
}

// ---- TResourceStream ----

TResourceStream::TResourceStream(HMODULE module, const wchar_t* name, const wchar_t* type)
{
    HRSRC info = FindResourceW(module, name, type);
    HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data == nullptr)
        throw EStreamError("Resource " + NameForMessage(name) + " not found");
    // Resource memory lives as long as the module; nothing to free.
    data_ = static_cast<const char*>(data);
    size_ = SizeofResource(module, info);
}

int32_t TResourceStream::Read(void* buffer, int32_t count)
{
    if (count <= 0 || position_ >= size_)
        return 0;
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, size_ - position_));
    std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int32_t TResourceStream::Write(const void*, int32_t)
{
    throw EStreamError("Can't write to a read-only resource stream");
}

int64_t TResourceStream::Seek(int64_t offset, TSeekOrigin origin)
{
    position_ = SeekTarget(offset, origin, position_, size_);
    return position_;
}

void TResourceStream::SetSize(int64_t)
{
    throw EStreamError("Can't write to a read-only resource stream");
}

std::string ReadWholeStream(TStream& stream)
{
    stream.SetPosition(0);
    const int64_t size = stream.GetSize();
    std::string out;
    if (size <= 0)
        return out;
    out.resize(static_cast<size_t>(size));
    int64_t done = 0;
    while (done < size) {
        const auto want = static_cast<int32_t>(
            std::min<int64_t>(size - done, std::numeric_limits<int32_t>::max()));
        const int32_t n = stream.Read(out.data() + done, want);
        if (n <= 0)
            break;
        done += n;
    }
    out.resize(static_cast<size_t>(done));
    return out;
}
