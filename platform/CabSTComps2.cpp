#include "platform/CabSTComps2.h"

#include "platform/CabSTConsts.h"
#include "platform/FileUtilsU.h"
#include "platform/SysUtilsU.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Exceptions met inside a callback wait here until the FDI or FCI call has
// returned; the first one wins.

thread_local std::exception_ptr gPending;

void HoldPending() noexcept
{
    if (!gPending)
        gPending = std::current_exception();
}

void ClearPending() noexcept
{
    gPending = nullptr;
}

void RaisePending()
{
    if (std::exception_ptr pending = std::exchange(gPending, nullptr))
        std::rethrow_exception(pending);
}

// ---------------------------------------------------------------------------
// The file operations both interfaces share: registered stream names go to the
// stream manager, everything else to Windows file handles.

constexpr UINT kFailedCount = static_cast<UINT>(-1);

bool IsStreamHandle(INT_PTR h)
{
    return (h & 1) != 0 && tStreamMan::Instance().IsStreamHandle(h);
}

INT_PTR OpenFile(const char* name, int oflag)
{
    tStreamMan& streams = tStreamMan::Instance();
    if (streams.IsStreamName(name)) {
        const INT_PTR h = streams.Open(name, (oflag & _O_TRUNC) != 0);
        if (h == -1)
            SetLastError(ERROR_FILE_NOT_FOUND);
        return h;
    }
    DWORD access = GENERIC_READ;
    switch (oflag & (_O_RDONLY | _O_WRONLY | _O_RDWR)) {
    case _O_WRONLY:
        access = GENERIC_WRITE;
        break;
    case _O_RDWR:
        access = GENERIC_READ | GENERIC_WRITE;
        break;
    default:
        break;
    }
    DWORD creation = OPEN_EXISTING;
    if ((oflag & _O_CREAT) && (oflag & _O_EXCL))
        creation = CREATE_NEW;
    else if ((oflag & _O_CREAT) && (oflag & _O_TRUNC))
        creation = CREATE_ALWAYS;
    else if (oflag & _O_CREAT)
        creation = OPEN_ALWAYS;
    else if (oflag & _O_TRUNC)
        creation = TRUNCATE_EXISTING;
    // Read: deny write. Write: exclusive.
    const DWORD share = access == GENERIC_READ ? FILE_SHARE_READ : 0;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (oflag & _O_SEQUENTIAL)
        flags |= FILE_FLAG_SEQUENTIAL_SCAN;
    else if (oflag & _O_RANDOM)
        flags |= FILE_FLAG_RANDOM_ACCESS;
    HANDLE h = CreateFileA(name, access, share, nullptr, creation, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    return reinterpret_cast<INT_PTR>(h);
}

UINT ReadFrom(INT_PTR hf, void* buffer, UINT count)
{
    if (IsStreamHandle(hf))
        return tStreamMan::Instance().Read(hf, buffer, count);
    DWORD done = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(hf), buffer, count, &done, nullptr))
        return kFailedCount;
    return done;
}

UINT WriteTo(INT_PTR hf, const void* buffer, UINT count)
{
    if (IsStreamHandle(hf))
        return tStreamMan::Instance().Write(hf, buffer, count);
    DWORD done = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(hf), buffer, count, &done, nullptr))
        return kFailedCount;
    return done;
}

int CloseFile(INT_PTR hf)
{
    if (IsStreamHandle(hf))
        return tStreamMan::Instance().Close(hf);
    return CloseHandle(reinterpret_cast<HANDLE>(hf)) ? 0 : -1;
}

long SeekIn(INT_PTR hf, long distance, int origin)
{
    if (IsStreamHandle(hf))
        return tStreamMan::Instance().Seek(hf, distance, origin);
    static constexpr DWORD kMethods[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    if (origin < SEEK_SET || origin > SEEK_END)
        return -1;
    LARGE_INTEGER to{};
    to.QuadPart = distance;
    LARGE_INTEGER at{};
    if (!SetFilePointerEx(reinterpret_cast<HANDLE>(hf), to, &at, kMethods[origin]) ||
        at.QuadPart > LONG_MAX)
        return -1;
    return static_cast<long>(at.QuadPart);
}

// ---- The callbacks' guard ----
//
// Every callback runs under cabinet.dll's frames: what an operation raises is
// held for the caller of FDI or FCI, and the callback reports Failed.

int LastErrorCode()
{
    return static_cast<int>(GetLastError());
}

template <typename Op, typename T = std::invoke_result_t<Op&>>
T Held(std::type_identity_t<T> Failed, Op&& Operation) noexcept
{
    try {
        return Operation();
    } catch (...) {
        HoldPending();
        return Failed;
    }
}

// The FCI form also fills Err: the system's error when the operation returned
// Failed, ERROR_GEN_FAILURE when it raised, else 0.
template <typename Op, typename T = std::invoke_result_t<Op&>>
T HeldWithError(std::type_identity_t<T> Failed, int* Err, Op&& Operation) noexcept
{
    try {
        const T result = Operation();
        *Err = result == Failed ? LastErrorCode() : 0;
        return result;
    } catch (...) {
        HoldPending();
        *Err = ERROR_GEN_FAILURE;
        return Failed;
    }
}

// ---- Memory, for both interfaces ----

FNALLOC(CabAlloc)
{
    return std::malloc(cb);
}

FNFREE(CabFree)
{
    std::free(pv);
}

// ---- FDI callbacks ----

FNOPEN(FdiOpen)
{
    (void)pmode;
    return Held(-1, [&] { return OpenFile(pszFile, oflag); });
}

FNREAD(FdiRead)
{
    return Held(kFailedCount, [&] { return ReadFrom(hf, pv, cb); });
}

FNWRITE(FdiWrite)
{
    return Held(kFailedCount, [&] { return WriteTo(hf, pv, cb); });
}

FNCLOSE(FdiClose)
{
    return Held(-1, [&] { return CloseFile(hf); });
}

FNSEEK(FdiSeek)
{
    return Held(-1, [&] { return SeekIn(hf, dist, seektype); });
}

// ---- FCI callbacks ----

FNFCIOPEN(FciOpen)
{
    (void)pmode;
    (void)pv;
    return HeldWithError(-1, err, [&] { return OpenFile(pszFile, oflag); });
}

FNFCIREAD(FciRead)
{
    (void)pv;
    return HeldWithError(kFailedCount, err, [&] { return ReadFrom(hf, memory, cb); });
}

FNFCIWRITE(FciWrite)
{
    (void)pv;
    return HeldWithError(kFailedCount, err, [&] { return WriteTo(hf, memory, cb); });
}

FNFCICLOSE(FciClose)
{
    (void)pv;
    return HeldWithError(-1, err, [&] { return CloseFile(hf); });
}

FNFCISEEK(FciSeek)
{
    (void)pv;
    return HeldWithError(-1, err, [&] { return SeekIn(hf, dist, seektype); });
}

FNFCIFILEPLACED(FciFilePlaced)
{
    (void)pccab;
    (void)pszFile;
    (void)cbFile;
    (void)fContinuation;
    (void)pv;
    return 0;
}

FNFCISTATUS(FciStatus)
{
    (void)typeStatus;
    (void)cb1;
    (void)cb2;
    (void)pv;
    return 0;
}

std::string HexCode(int code)
{
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "%.4X", static_cast<unsigned>(code));
    return buffer;
}

std::string SystemMessageAnsi(DWORD code)
{
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n && text ? std::string(text, n) : std::string();
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n'))
        message.pop_back();
    return message;
}

// A name of a later cabinet: a plain file name, in the first cabinet's folder.
bool IsPlainCabinetName(const char* name)
{
    if (!name || !*name)
        return false;
    const std::string_view n(name);
    return n.find_first_of("\\/:") == std::string_view::npos && n != "." && n != "..";
}

uint16_t U16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t U32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A cabinet source for the directory reader: a file or a registered stream.
class TCabSource {
public:
    explicit TCabSource(const std::string& name)
    {
        tStreamMan& streams = tStreamMan::Instance();
        if (streams.IsStreamName(name)) {
            stream_ = streams.StreamOf(name);
            if (!stream_)
                RaiseSystemError(ERROR_FILE_NOT_FOUND);
            size_ = stream_->GetSize();
            return;
        }
        file_ = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE)
            RaiseLastOSError();
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file_, &size)) {
            const DWORD code = GetLastError();
            CloseHandle(file_);
            RaiseSystemError(code);
        }
        size_ = size.QuadPart;
    }
    ~TCabSource()
    {
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
    }
    TCabSource(const TCabSource&) = delete;
    TCabSource& operator=(const TCabSource&) = delete;

    int64_t Size() const { return size_; }

    // Reads exactly Count bytes at Offset, which the caller has checked
    // against the size; a short read means the source changed under us.
    void ReadAt(int64_t offset, void* buffer, size_t count)
    {
        if (count == 0)
            return;
        if (stream_) {
            stream_->SetPosition(offset);
            if (stream_->Read(buffer, static_cast<int32_t>(count)) != static_cast<int32_t>(count))
                throw ESTCabinet(kCabCorrupt);
            return;
        }
        LARGE_INTEGER to{};
        to.QuadPart = offset;
        DWORD done = 0;
        if (!SetFilePointerEx(file_, to, nullptr, FILE_BEGIN))
            throw ESTCabinet(kCabStreamSeekFailed);
        if (!ReadFile(file_, buffer, static_cast<DWORD>(count), &done, nullptr) || done != count)
            throw ESTCabinet(kCabCorrupt);
    }

private:
    TStream* stream_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    int64_t size_ = 0;
};

constexpr size_t kCabHeaderSize = 36;
constexpr size_t kCabFilesOffsetField = 16;
constexpr size_t kCabFileCountField = 28;
constexpr size_t kCabEntrySize = 16;
constexpr size_t kCabMaxNameBytes = 256;

} // namespace

// ---------------------------------------------------------------------------
// ESTCabinet

std::string ESTCabinet::MessageFor(int OperationCode, int SystemError, bool FromFCI)
{
    std::string message(FromFCI ? FCIErrorText(OperationCode) : FDIErrorText(OperationCode));
    message += " [0x" + HexCode(OperationCode) + "]";
    if (SystemError != 0)
        message += ".\r\n" + SystemMessageAnsi(static_cast<DWORD>(SystemError)) + " [0x" +
                   HexCode(SystemError) + "].";
    return message;
}

ESTCabinet::ESTCabinet(int OperationCode, int SystemError, bool ErrorFlag, bool FromFCI)
    : std::runtime_error(MessageFor(OperationCode, SystemError, FromFCI)),
      operationCode_(OperationCode), systemError_(SystemError), errorFlag_(ErrorFlag),
      fromFCI_(FromFCI)
{
}

ESTCabinet::ESTCabinet(const ERF& Error, bool FromFCI)
    : ESTCabinet(Error.erfOper, Error.erfType, Error.fError != FALSE, FromFCI)
{
}

ESTCabinet::ESTCabinet(std::string_view Text) : std::runtime_error(std::string(Text)) {}

// ---------------------------------------------------------------------------
// tStreamMan

tStreamMan& tStreamMan::Instance()
{
    static tStreamMan instance;
    return instance;
}

std::string tStreamMan::Register(TStream* Stream)
{
    std::lock_guard lock(lock_);
    std::string name = "Stream_" + std::to_string(nextName_++);
    names_[UpperCase(name)] = Stream;
    return name;
}

void tStreamMan::Unregister(const std::string& Name)
{
    std::lock_guard lock(lock_);
    const auto found = names_.find(UpperCase(Name));
    if (found == names_.end())
        return;
    TStream* stream = found->second;
    names_.erase(found);
    std::erase_if(handles_, [stream](const auto& open) { return open.second.Stream == stream; });
}

bool tStreamMan::IsStreamName(std::string_view Name) const
{
    if (Name.size() < 8 || !SameTextAscii(Name.substr(0, 7), "Stream_"))
        return false;
    std::lock_guard lock(lock_);
    return names_.count(UpperCase(Name)) != 0;
}

bool tStreamMan::IsStreamHandle(INT_PTR Handle) const
{
    std::lock_guard lock(lock_);
    return handles_.count(Handle) != 0;
}

TStream* tStreamMan::StreamOf(std::string_view Name) const
{
    std::lock_guard lock(lock_);
    const auto found = names_.find(UpperCase(Name));
    return found == names_.end() ? nullptr : found->second;
}

INT_PTR tStreamMan::Open(std::string_view Name, bool Truncate)
{
    std::lock_guard lock(lock_);
    const auto found = names_.find(UpperCase(Name));
    if (found == names_.end())
        return -1;
    if (Truncate)
        found->second->SetSize(0);
    const INT_PTR handle = (nextHandle_++ << 1) | 1;
    handles_[handle] = TOpenStream{found->second, 0};
    return handle;
}

template <typename Op> UINT tStreamMan::Transfer(INT_PTR Handle, Op&& Move)
{
    std::lock_guard lock(lock_);
    const auto found = handles_.find(Handle);
    if (found == handles_.end())
        return static_cast<UINT>(-1);
    TOpenStream& open = found->second;
    open.Stream->SetPosition(open.Position);
    const int32_t n = Move(*open.Stream);
    open.Position += n;
    return static_cast<UINT>(n);
}

UINT tStreamMan::Read(INT_PTR Handle, void* Buffer, UINT Count)
{
    return Transfer(
        Handle, [&](TStream& Stream) { return Stream.Read(Buffer, static_cast<int32_t>(Count)); });
}

UINT tStreamMan::Write(INT_PTR Handle, const void* Buffer, UINT Count)
{
    return Transfer(
        Handle, [&](TStream& Stream) { return Stream.Write(Buffer, static_cast<int32_t>(Count)); });
}

long tStreamMan::Seek(INT_PTR Handle, long Distance, int Origin)
{
    std::lock_guard lock(lock_);
    const auto found = handles_.find(Handle);
    if (found == handles_.end())
        return -1;
    int64_t& position = found->second.Position;
    int64_t base = 0;
    switch (Origin) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = position;
        break;
    case SEEK_END:
        base = found->second.Stream->GetSize();
        break;
    default:
        return -1;
    }
    const int64_t to = base + Distance;
    if (to < 0 || to > LONG_MAX)
        return -1;
    position = to;
    return static_cast<long>(to);
}

int tStreamMan::Close(INT_PTR Handle)
{
    std::lock_guard lock(lock_);
    return handles_.erase(Handle) ? 0 : -1;
}

// ---------------------------------------------------------------------------
// The directory reader

void ReadCabinetDirectory(const std::string& CabinetName,
                          const std::function<void(const TCabDirectoryEntry&)>& OnEntry)
{
    TCabSource source(CabinetName);
    const int64_t size = source.Size();
    unsigned char header[kCabHeaderSize] = {};
    if (size < 4)
        throw ESTCabinet(kCabNotACabinet);
    source.ReadAt(0, header, static_cast<size_t>(std::min<int64_t>(size, kCabHeaderSize)));
    if (std::memcmp(header, "MSCF", 4) != 0)
        throw ESTCabinet(kCabNotACabinet);
    if (size < static_cast<int64_t>(kCabHeaderSize))
        throw ESTCabinet(kCabCorrupt);
    const uint32_t firstEntry = U32(header + kCabFilesOffsetField);
    const uint16_t count = U16(header + kCabFileCountField);
    // Windows lets a seek go past the end, so the offset is checked here.
    if (firstEntry > size)
        throw ESTCabinet(kCabStreamSeekFailed);
    const size_t longest = static_cast<size_t>(count) * (kCabEntrySize + kCabMaxNameBytes + 1);
    std::vector<unsigned char> entries(
        static_cast<size_t>(std::min<int64_t>(size - firstEntry, static_cast<int64_t>(longest))));
    source.ReadAt(firstEntry, entries.data(), entries.size());

    size_t at = 0;
    for (uint16_t i = 0; i < count; ++i) {
        if (entries.size() - at < kCabEntrySize)
            throw ESTCabinet(kCabCorrupt);
        const unsigned char* e = entries.data() + at;
        TCabDirectoryEntry entry;
        entry.Size = U32(e);
        entry.FolderOffset = U32(e + 4);
        entry.Folder = U16(e + 8);
        entry.Date = U16(e + 10);
        entry.Time = U16(e + 12);
        entry.Attributes = U16(e + 14);
        at += kCabEntrySize;
        const size_t window = std::min(entries.size() - at, kCabMaxNameBytes + 1);
        const auto begin = entries.begin() + static_cast<std::ptrdiff_t>(at);
        const auto nul = std::find(begin, begin + static_cast<std::ptrdiff_t>(window), 0);
        if (nul == begin + static_cast<std::ptrdiff_t>(window))
            throw ESTCabinet(kCabCorrupt);
        entry.Name.assign(begin, nul);
        at += entry.Name.size() + 1;
        OnEntry(entry);
    }
}

// ---------------------------------------------------------------------------
// TSTCabReader

TSTCabReader::TSTCabReader() = default;

TSTCabReader::~TSTCabReader()
{
    if (context_)
        CabinetFunctions().FDIDestroy(context_);
}

HFDI TSTCabReader::Context()
{
    if (!context_) {
        const TCabinetFunctions& cab = CabinetFunctions();
        error_ = ERF{};
        context_ = cab.FDICreate(CabAlloc, CabFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek,
                                 cpuUNKNOWN, &error_);
        if (!context_)
            throw ESTCabinet(error_, false);
    }
    return context_;
}

bool TSTCabReader::IsCabinet(const std::string& CabinetName)
{
    HFDI context = Context();
    ClearPending();
    const INT_PTR h = FdiOpen(const_cast<char*>(CabinetName.c_str()), _O_RDONLY | _O_BINARY, 0);
    if (h == -1) {
        const DWORD code = GetLastError();
        RaisePending();
        RaiseSystemError(code ? code : ERROR_FILE_NOT_FOUND);
    }
    FDICABINETINFO info{};
    const BOOL is = CabinetFunctions().FDIIsCabinet(context, h, &info);
    FdiClose(h);
    RaisePending();
    return is != FALSE;
}

void TSTCabReader::Extract(const std::string& CabinetName, const std::string& Destination,
                           uint32_t ExtractFlags)
{
    Flags = ExtractFlags;
    HFDI context = Context();
    const bool stream = tStreamMan::Instance().IsStreamName(CabinetName);
    if (stream) {
        cabinetPath_.clear();
        cabinetName_ = CabinetName;
    } else {
        const std::string full = GetFullPath(CabinetName);
        cabinetPath_ = ExtractFilePath(full);
        cabinetName_ = ExtractFileName(full);
    }
    destination_ = IncludeTrailingBackslash(Destination);
    targets_.clear();

    std::set<std::string> visited;
    for (;;) {
        visited.insert(UpperCase(cabinetName_));
        nextCabinet_.clear();
        cabinetInfoSeen_ = false;
        error_ = ERF{};
        ClearPending();
        const BOOL copied = CabinetFunctions().FDICopy(
            context, cabinetName_.data(), cabinetPath_.data(), 0, Notify, nullptr, this);
        // FDI closes what it opened; whatever is left in the list is gone.
        targets_.clear();
        RaisePending();
        if (!copied)
            throw ESTCabinet(error_, false);
        // A stream has no neighbours; a set that names a cabinet twice ends.
        if (stream || nextCabinet_.empty() || visited.count(UpperCase(nextCabinet_)) ||
            !FileExistsEx(cabinetPath_ + nextCabinet_))
            break;
        cabinetName_ = nextCabinet_;
    }
}

INT_PTR DIAMONDAPI TSTCabReader::Notify(FDINOTIFICATIONTYPE Type, PFDINOTIFICATION Info)
{
    auto* reader = static_cast<TSTCabReader*>(Info->pv);
    return Held(-1, [&] { return reader->OnNotify(Type, Info); });
}

INT_PTR TSTCabReader::OnNotify(FDINOTIFICATIONTYPE Type, PFDINOTIFICATION Info)
{
    switch (Type) {
    case fdintCABINET_INFO:
        // Only the cabinet this FDICopy started with names the next one to
        // work on; the information of a continuation cabinet opened during
        // the copy would skip a cabinet.
        if (!cabinetInfoSeen_) {
            cabinetInfoSeen_ = true;
            if (Info->psz1 && *Info->psz1 && !SameText(Info->psz1, cabinetName_))
                nextCabinet_ = Info->psz1;
        }
        return 0;

    case fdintNEXT_CABINET:
        // Called again with an error when the named cabinet cannot be opened.
        if (Info->fdie != FDIERROR_NONE || !IsPlainCabinetName(Info->psz1))
            return -1;
        if (nextCabinet_.empty())
            nextCabinet_ = Info->psz1;
        return 0;

    case fdintCOPY_FILE: {
        const std::string name = Info->psz1 ? Info->psz1 : "";
        std::string target = destination_ + name;
        bool abort = false;
        if (OnCopyFile)
            OnCopyFile(*this, name, target, abort);
        if (abort)
            return -1;
        if (target.empty())
            return 0;
        const bool stream = tStreamMan::Instance().IsStreamName(target);
        if (!stream) {
            const size_t slash = LastDelimiter(target, "\\/");
            if (slash != std::string::npos && slash > 0)
                CreateDirectoryPath(target.substr(0, slash), TFileSecurity::Inherit, true);
            const DWORD attributes = GetFileAttributesA(target.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                if (attributes & FILE_ATTRIBUTE_READONLY) {
                    if (Flags & kCabKeepReadOnly)
                        return 0;
                    SetFileAttributesA(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
                }
                // A new file takes the folder's security; an overwritten one
                // would keep whatever descriptor it had.
                DeleteFileA(target.c_str());
            }
        }
        const INT_PTR h =
            FdiOpen(target.data(), _O_BINARY | _O_CREAT | _O_WRONLY | _O_SEQUENTIAL | _O_TRUNC,
                    _S_IREAD | _S_IWRITE);
        if (h == -1)
            return -1;
        targets_[h] = stream ? std::string() : target;
        return h;
    }

    case fdintCLOSE_FILE_INFO: {
        const auto found = targets_.find(Info->hf);
        const std::string path = found == targets_.end() ? std::string() : found->second;
        if (found != targets_.end())
            targets_.erase(found);
        if (!path.empty()) {
            FILETIME local{};
            FILETIME utc{};
            if (DosDateTimeToFileTime(Info->date, Info->time, &local) &&
                LocalFileTimeToFileTime(&local, &utc))
                SetFileTime(reinterpret_cast<HANDLE>(Info->hf), &utc, nullptr, &utc);
        }
        FdiClose(Info->hf);
        if (!path.empty()) {
            DWORD attributes = Info->attribs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
            if (attributes == 0)
                attributes = FILE_ATTRIBUTE_NORMAL;
            SetFileAttributesA(path.c_str(), attributes);
        }
        return TRUE;
    }

    case fdintPARTIAL_FILE:
    case fdintENUMERATE:
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// TSTCabWriter

TSTCabWriter::~TSTCabWriter()
{
    Destroy();
}

void TSTCabWriter::Destroy() noexcept
{
    if (context_) {
        CabinetFunctions().FCIDestroy(context_);
        context_ = nullptr;
    }
    for (const std::string& name : temporary_)
        DeleteFileA(name.c_str());
    temporary_.clear();
}

void TSTCabWriter::ApplyTemplate(CCAB& Cab) const
{
    auto fill = [](char* out, size_t size, const std::string& pattern, int number) {
        std::string text;
        for (char c : pattern)
            text += c == '*' ? std::to_string(number) : std::string(1, c);
        if (text.size() >= size)
            throw ESTCabinet(FCIERR_CAB_FILE, ERROR_FILENAME_EXCED_RANGE, true, true);
        std::memcpy(out, text.c_str(), text.size() + 1);
    };
    fill(Cab.szCab, sizeof(Cab.szCab), nameTemplate_, Cab.iCab);
    fill(Cab.szDisk, sizeof(Cab.szDisk), "Disk*", Cab.iDisk);
}

void TSTCabWriter::Create(const std::string& CabinetName)
{
    Destroy();
    const TCabinetFunctions& cab = CabinetFunctions();
    cab_ = CCAB{};
    cab_.cb = kMaxSize;
    cab_.cbFolderThresh = kMaxSize;
    cab_.iCab = 1;
    cab_.iDisk = 1;
    std::string folder;
    if (tStreamMan::Instance().IsStreamName(CabinetName)) {
        nameTemplate_ = CabinetName;
    } else {
        const std::string full = GetFullPath(CabinetName);
        folder = ExtractFilePath(full);
        nameTemplate_ = ExtractFileName(full);
    }
    if (folder.size() >= sizeof(cab_.szCabPath))
        throw ESTCabinet(FCIERR_CAB_FILE, ERROR_FILENAME_EXCED_RANGE, true, true);
    std::memcpy(cab_.szCabPath, folder.c_str(), folder.size() + 1);
    ApplyTemplate(cab_);
    error_ = ERF{};
    ClearPending();
    context_ = cab.FCICreate(&error_, FciFilePlaced, CabAlloc, CabFree, FciOpen, FciRead, FciWrite,
                             FciClose, FciSeek, Delete, GetTempFile, &cab_, this);
    RaisePending();
    if (!context_)
        throw ESTCabinet(error_, true);
}

void TSTCabWriter::Check(BOOL Result)
{
    if (!Result) {
        // The record describes the failure; the context is of no further use.
        const ERF error = error_;
        Destroy();
        RaisePending();
        throw ESTCabinet(error, true);
    }
    RaisePending();
}

void TSTCabWriter::AddFile(const std::string& SourceName, const std::string& NameInCabinet)
{
    if (!context_)
        throw ESTCabinet(FCIERR_NONE, ERROR_INVALID_HANDLE, true, true);
    ClearPending();
    Check(CabinetFunctions().FCIAddFile(
        context_, const_cast<char*>(SourceName.c_str()), const_cast<char*>(NameInCabinet.c_str()),
        FALSE, GetNextCabinet, FciStatus, GetOpenInfo, static_cast<TCOMP>(CompressionType)));
}

void TSTCabWriter::Flush()
{
    if (!context_)
        throw ESTCabinet(FCIERR_NONE, ERROR_INVALID_HANDLE, true, true);
    ClearPending();
    Check(CabinetFunctions().FCIFlushCabinet(context_, FALSE, GetNextCabinet, FciStatus));
    Destroy();
}

BOOL DIAMONDAPI TSTCabWriter::GetTempFile(char* Name, int Size, void* Writer)
{
    auto* writer = static_cast<TSTCabWriter*>(Writer);
    return Held(FALSE, [&]() -> BOOL {
        char folder[MAX_PATH + 1] = {};
        const DWORD n = GetTempPathA(static_cast<DWORD>(sizeof(folder)), folder);
        if (n == 0 || n >= sizeof(folder))
            return FALSE;
        static LONG counter = 0;
        // FCI creates the file itself, exclusively: the name must be free.
        for (int attempt = 0; attempt < 1000; ++attempt) {
            char name[32];
            std::snprintf(name, sizeof(name), "stc%lX%lX.tmp", GetCurrentProcessId() & 0xFFFFF,
                          static_cast<unsigned long>(InterlockedIncrement(&counter)));
            const std::string path = std::string(folder) + name;
            if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
                continue;
            if (path.size() + 1 > static_cast<size_t>(Size))
                return FALSE;
            std::memcpy(Name, path.c_str(), path.size() + 1);
            writer->temporary_.insert(path);
            return TRUE;
        }
        return FALSE;
    });
}

BOOL DIAMONDAPI TSTCabWriter::GetNextCabinet(PCCAB Cab, ULONG PreviousSize, void* Writer)
{
    (void)PreviousSize;
    return Held(FALSE, [&]() -> BOOL {
        static_cast<TSTCabWriter*>(Writer)->ApplyTemplate(*Cab);
        return TRUE;
    });
}

INT_PTR DIAMONDAPI TSTCabWriter::GetOpenInfo(char* Name, USHORT* Date, USHORT* Time,
                                             USHORT* Attributes, int* Err, void* Writer)
{
    (void)Writer;
    return HeldWithError(-1, Err, [&] {
        const INT_PTR h = OpenFile(Name, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL);
        if (h == -1)
            return h;
        FILETIME written{};
        DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
        if (IsStreamHandle(h)) {
            GetSystemTimeAsFileTime(&written);
        } else {
            BY_HANDLE_FILE_INFORMATION info{};
            if (GetFileInformationByHandle(reinterpret_cast<HANDLE>(h), &info)) {
                written = info.ftLastWriteTime;
                attributes = info.dwFileAttributes;
            }
        }
        FILETIME local{};
        WORD date = 0;
        WORD time = 0;
        FileTimeToLocalFileTime(&written, &local);
        FileTimeToDosDateTime(&local, &date, &time);
        *Date = date;
        *Time = time;
        *Attributes =
            static_cast<USHORT>(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
        return h;
    });
}

int DIAMONDAPI TSTCabWriter::Delete(char* Name, int* Err, void* Writer)
{
    return HeldWithError(-1, Err, [&] {
        if (!DeleteFileA(Name))
            return -1;
        static_cast<TSTCabWriter*>(Writer)->temporary_.erase(Name);
        return 0;
    });
}
