#include "platform/StreamU.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <vector>

namespace {

// Runs one operation: False without a stream, and whatever the stream (or an
// allocation) throws ends as False here.
template <typename F> bool Attempt(TStream* stream, F&& body) noexcept
{
    if (!stream)
        return false;
    try {
        return body(*stream);
    } catch (...) {
        return false;
    }
}

bool WriteAll(TStream& stream, const void* data, int64_t count)
{
    const auto* bytes = static_cast<const char*>(data);
    while (count > 0) {
        const auto n =
            static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
        if (stream.Write(bytes, n) != n)
            return false;
        bytes += n;
        count -= n;
    }
    return true;
}

// Reads up to count bytes; the count actually read.
int64_t ReadUpTo(TStream& stream, void* data, int64_t count)
{
    auto* bytes = static_cast<char*>(data);
    int64_t done = 0;
    while (done < count) {
        const auto want = static_cast<int32_t>(
            std::min<int64_t>(count - done, std::numeric_limits<int32_t>::max()));
        const int32_t n = stream.Read(bytes + done, want);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

template <typename T> bool WriteLittleEndian(TStream* stream, T value)
{
    return Attempt(stream, [value](TStream& s) {
        unsigned char bytes[sizeof(T)];
        auto bits = static_cast<std::make_unsigned_t<T>>(value);
        for (size_t i = 0; i < sizeof(T); ++i)
            bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
        return WriteAll(s, bytes, sizeof(T));
    });
}

template <typename T> bool ReadLittleEndian(TStream* stream, T& value)
{
    value = 0;
    return Attempt(stream, [&value](TStream& s) {
        unsigned char bytes[sizeof(T)] = {};
        if (ReadUpTo(s, bytes, sizeof(T)) != static_cast<int64_t>(sizeof(T)))
            return false;
        std::make_unsigned_t<T> bits = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            bits |= static_cast<std::make_unsigned_t<T>>(bytes[i]) << (8 * i);
        value = static_cast<T>(bits);
        return true;
    });
}

// The retry scheme shared by the writer and the reader.
HANDLE OpenWithRetries(const std::string& fileName, DWORD access, DWORD share,
                       SECURITY_ATTRIBUTES* security, DWORD creation, DWORD retryTime)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    RetryFileOperation(retryTime, [&] {
        if (security || creation != OPEN_EXISTING)
            RecordSecurityCall("CreateFileA", fileName, 0,
                               security ? security->lpSecurityDescriptor : nullptr);
        handle = CreateFileA(fileName.c_str(), access, share, security, creation,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    return handle;
}

DWORD ShareMode(bool shareWrite, bool shareRead)
{
    return (shareWrite ? FILE_SHARE_WRITE : 0) | (shareRead ? FILE_SHARE_READ : 0);
}

} // namespace

// ---------------------------------------------------------------------------
// TStreamWriter

bool TStreamWriter::WriteRaw(std::string_view S)
{
    return Attempt(Stream(), [S](TStream& s) { return WriteAll(s, S.data(), S.size()); });
}

bool TStreamWriter::WriteLine(std::string_view S)
{
    return Attempt(Stream(), [S](TStream& s) {
        return WriteAll(s, S.data(), S.size()) && WriteAll(s, "\r\n", 2);
    });
}

bool TStreamWriter::WriteString(std::string_view S)
{
    if (S.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        return false;
    return WriteInteger(static_cast<int32_t>(S.size())) && WriteRaw(S);
}

bool TStreamWriter::WriteInteger(int32_t V)
{
    return WriteLittleEndian(Stream(), V);
}

bool TStreamWriter::WriteBoolean(bool V)
{
    return WriteLittleEndian<uint8_t>(Stream(), V ? 1 : 0);
}

bool TStreamWriter::WriteInt64(int64_t V)
{
    return WriteLittleEndian(Stream(), V);
}

bool TStreamWriter::WriteByte(uint8_t V)
{
    return WriteLittleEndian(Stream(), V);
}

bool TStreamWriter::WriteWord(uint16_t V)
{
    return WriteLittleEndian(Stream(), V);
}

bool TStreamWriter::WriteBuffer(const void* Buf, int32_t Count)
{
    if (Count < 0 || (Count > 0 && !Buf))
        return false;
    return Attempt(Stream(), [Buf, Count](TStream& s) { return WriteAll(s, Buf, Count); });
}

bool TStreamWriter::CopyFromStream(TStream& Source)
{
    return Attempt(Stream(), [&Source](TStream& s) {
        s.CopyFrom(Source, 0);
        return true;
    });
}

bool TStreamWriter::WriteStreamContents(TStream& Source)
{
    std::vector<char> contents;
    const bool read = Attempt(Stream(), [&](TStream&) {
        Source.SetPosition(0);
        const int64_t size = Source.GetSize();
        if (size < 0 || size > std::numeric_limits<int32_t>::max())
            return false;
        contents.resize(static_cast<size_t>(size));
        return ReadUpTo(Source, contents.data(), size) == size;
    });
    return read && WriteBuffer(contents.data(), static_cast<int32_t>(contents.size()));
}

// ---------------------------------------------------------------------------
// TStreamReader

bool TStreamReader::ReadAll(std::string& S)
{
    S.clear();
    return Attempt(Stream(), [&S](TStream& s) {
        const int64_t size = s.GetSize();
        if (size < 0)
            return false;
        // Never more than is left: the string holds only bytes that were read.
        const int64_t left = std::max<int64_t>(0, size - s.GetPosition());
        S.resize(static_cast<size_t>(left));
        const int64_t got = ReadUpTo(s, S.data(), left);
        S.resize(static_cast<size_t>(got));
        return got == size;
    });
}

bool TStreamReader::ReadText(std::string& S)
{
    S.clear();
    return ReadAll(S);
}

bool TStreamReader::ReadString(std::string& S)
{
    S.clear();
    int32_t length = 0;
    if (!ReadInteger(length) || length <= 0)
        return false;
    return Attempt(Stream(), [&S, length](TStream& s) {
        // A length field is data: it must fit what the stream still holds.
        const int64_t left = s.GetSize() - s.GetPosition();
        if (length > left)
            return false;
        S.resize(static_cast<size_t>(length));
        if (ReadUpTo(s, S.data(), length) != length) {
            S.clear();
            return false;
        }
        return true;
    });
}

bool TStreamReader::ReadInteger(int32_t& V)
{
    return ReadLittleEndian(Stream(), V);
}

bool TStreamReader::ReadBoolean(bool& V)
{
    uint8_t byte = 0;
    const bool ok = ReadLittleEndian(Stream(), byte);
    V = byte != 0;
    return ok;
}

bool TStreamReader::ReadInt64(int64_t& V)
{
    return ReadLittleEndian(Stream(), V);
}

bool TStreamReader::ReadByte(uint8_t& V)
{
    return ReadLittleEndian(Stream(), V);
}

bool TStreamReader::ReadWord(uint16_t& V)
{
    return ReadLittleEndian(Stream(), V);
}

bool TStreamReader::ReadBuffer(void* Buf, int32_t Count)
{
    if (Count < 0 || (Count > 0 && !Buf))
        return false;
    return Attempt(Stream(), [Buf, Count](TStream& s) { return ReadUpTo(s, Buf, Count) == Count; });
}

bool TStreamReader::CopyToStream(TStream& Dest)
{
    return Attempt(Stream(), [&Dest](TStream& s) {
        Dest.CopyFrom(s, 0);
        return true;
    });
}

bool TStreamReader::ReadStreamContents(TStream& Dest)
{
    std::vector<char> contents;
    const bool sized = Attempt(Stream(), [&contents](TStream& s) {
        const int64_t left = s.GetSize() - s.GetPosition();
        if (left < 0 || left > std::numeric_limits<int32_t>::max())
            return false;
        contents.resize(static_cast<size_t>(left));
        return true;
    });
    if (!sized || !ReadBuffer(contents.data(), static_cast<int32_t>(contents.size())))
        return false;
    try {
        return WriteAll(Dest, contents.data(), static_cast<int64_t>(contents.size()));
    } catch (...) {
        return false;
    }
}

int64_t TStreamReader::GetStreamSize()
{
    int64_t size = -1;
    Attempt(Stream(), [&size](TStream& s) {
        size = s.GetSize();
        return true;
    });
    return size;
}

// ---------------------------------------------------------------------------
// TMemoryStreamWriter

TMemoryStreamWriter::TMemoryStreamWriter() : memory_(std::make_unique<TMemoryStream>())
{
    SetStream(memory_.get());
}

// ---------------------------------------------------------------------------
// TFileWriter

TFileWriter::~TFileWriter()
{
    Close();
}

bool TFileWriter::Open(const std::string& FileName)
{
    if (HasStream() || handle_ != INVALID_HANDLE_VALUE)
        Close();
    try {
        const size_t split = LastDelimiter(FileName, "\\:");
        if (split != std::string::npos) {
            const std::string folder = IncludeTrailingBackslash(FileName.substr(0, split + 1));
            if (!DirectoryExistsEx(folder))
                CreateDirectoryPath(folder, Security, true);
        }
        SECURITY_ATTRIBUTES* security = nullptr;
        if (!ResolveFileSecurity(Security, security))
            return false;
        const DWORD disposition = CreateNew ? CREATE_NEW : Append ? OPEN_ALWAYS : CREATE_ALWAYS;
        handle_ = OpenWithRetries(FileName, GENERIC_WRITE, ShareMode(ShareWrite, ShareRead),
                                  security, disposition, RetryTime);
        if (handle_ == INVALID_HANDLE_VALUE)
            return false;
        handleStream_ = std::make_unique<THandleStream>(handle_);
        SetStream(handleStream_.get());
        if (Append)
            handleStream_->Seek(0, TSeekOrigin::End);
        return true;
    } catch (...) {
        Close();
        return false;
    }
}

void TFileWriter::Close()
{
    SetStream(nullptr);
    handleStream_.reset();
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

bool TFileWriter::Flush()
{
    return handle_ != INVALID_HANDLE_VALUE && FlushFileBuffers(handle_) != FALSE;
}

// ---------------------------------------------------------------------------
// TFileReader

TFileReader::~TFileReader()
{
    Close();
}

bool TFileReader::Open(const std::string& FileName)
{
    if (HasStream() || handle_ != INVALID_HANDLE_VALUE)
        Close();
    try {
        fileName_ = FileName;
        handle_ = OpenWithRetries(FileName, GENERIC_READ, ShareMode(ShareWrite, ShareRead), nullptr,
                                  OPEN_EXISTING, RetryTime);
        if (handle_ == INVALID_HANDLE_VALUE)
            return false;
        handleStream_ = std::make_unique<THandleStream>(handle_);
        SetStream(handleStream_.get());
        return true;
    } catch (...) {
        Close();
        return false;
    }
}

void TFileReader::Close()
{
    SetStream(nullptr);
    handleStream_.reset();
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

// ---------------------------------------------------------------------------
// Whole files

bool LoadFileToString(const std::string& FileName, std::string& Content)
{
    Content.clear();
    TFileReader reader;
    if (!reader.Open(FileName))
        return false;
    const bool whole = reader.ReadAll(Content);
    reader.Close();
    return whole;
}

bool SaveFileAtomic(const std::string& FileName, std::string_view Content, TFileSecurity Security,
                    DWORD RetryTime)
{
    return SaveFileAtomic(
        FileName, [Content](TStreamWriter& writer) { return writer.WriteRaw(Content); }, Security,
        RetryTime);
}

bool SaveFileAtomic(const std::string& FileName, const std::function<bool(TStreamWriter&)>& Write,
                    TFileSecurity Security, DWORD RetryTime)
{
    // A link in the path would send the file (and the move) elsewhere.
    if (PathHasReparsePoint(FileName)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    static std::atomic<unsigned> counter{0};
    const std::string temp = FileName + "." + std::to_string(GetCurrentProcessId()) + "." +
                             std::to_string(++counter) + ".tmp";
    auto discard = [&temp] {
        const DWORD error = GetLastError();
        SetFileAttributesA(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(temp.c_str());
        SetLastError(error);
        return false;
    };

    TFileWriter writer;
    writer.Security = Security;
    writer.RetryTime = RetryTime;
    writer.CreateNew = true;
    if (!writer.Open(temp))
        return false;
    bool written = false;
    try {
        written = Write && Write(writer);
    } catch (...) {
        written = false;
    }
    // The data must be on disk before the name points at it.
    written = written && writer.Flush();
    writer.Close();
    if (!written)
        return discard();

    if (!RetryFileOperation(RetryTime, [&] {
            return MoveFileExA(temp.c_str(), FileName.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        }))
        return discard();
    return true;
}

TBlockWriter::TBlockWriter(TStreamWriter& Writer, size_t BlockSize)
    : writer_(Writer), blockSize_(BlockSize)
{
    block_.reserve(BlockSize);
}

bool TBlockWriter::Add(std::string_view Piece)
{
    if (!ok_)
        return false;
    block_.append(Piece);
    if (block_.size() >= blockSize_) {
        ok_ = writer_.WriteRaw(block_);
        block_.clear();
    }
    return ok_;
}

bool TBlockWriter::Finish()
{
    if (ok_ && !block_.empty())
        ok_ = writer_.WriteRaw(block_);
    block_.clear();
    return ok_;
}
