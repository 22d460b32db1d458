#include "platform/FileUtilsU.h"

#include "platform/BindingU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <atomic>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace {

std::atomic<TSecurityRecorder> gRecorder{nullptr};

struct LocalFreer {
    void operator()(void* p) const noexcept { LocalFree(p); }
};
using TLocalDescriptor = std::unique_ptr<void, LocalFreer>;

struct FindCloser {
    void operator()(HANDLE h) const noexcept { FindClose(h); }
};
using TFindHandle = std::unique_ptr<void, FindCloser>;

TBoundProc<decltype(&::GetLongPathNameA)> pGetLongPathNameA{Kernel32Library(), "GetLongPathNameA"};
// Bound by name: the 9x family's advapi32 need not have it.
TBoundProc<decltype(&::SetNamedSecurityInfoA)> pSetNamedSecurityInfoA{Advapi32Library(),
                                                                      "SetNamedSecurityInfoA"};

constexpr DWORD kDelayedDelete = MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING; // 5

// Attributes SetFileAttributesA takes back.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

DWORD SettableAttributes(DWORD attributes)
{
    const DWORD kept = attributes & kSettableAttributes;
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
}

bool IsGoneError(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool IsDriveOnly(std::string_view dir)
{
    return dir.size() == 2 && dir[1] == ':';
}

// Positions of the backslashes of Path that are characters of their own
// (never the trail byte of a double-byte character).
std::vector<size_t> BackslashPositions(std::string_view Path)
{
    std::vector<size_t> positions;
    for (size_t i = 0; i < Path.size();) {
        const auto c = static_cast<unsigned char>(Path[i]);
        if (IsDBCSLeadByte(c) && i + 1 < Path.size()) {
            i += 2;
            continue;
        }
        if (c == '\\')
            positions.push_back(i);
        ++i;
    }
    return positions;
}

// "\\server" or "\\server\share": nothing there can be created.
bool IsUncRoot(std::string_view dir)
{
    if (dir.size() < 2 || dir[0] != '\\' || dir[1] != '\\')
        return false;
    return BackslashPositions(dir.substr(2)).size() <= 1;
}

// The entry at an 8-bit path removed through RemoveFileEntry, its final path
// judged from its folder as found (defined with the link-safe removal).
TRemoveResult RemoveByName(const std::string& path, bool folder);

struct TWalkEntry {
    std::string Path;
    DWORD Attributes;
};

// The entries of a folder ("." and ".." left out), read before anything is
// deleted. False when the search failed for another reason than an empty result.
bool ListEntries(const std::string& dir, std::vector<TWalkEntry>& entries)
{
    const std::string base = IncludeTrailingBackslash(dir);
    WIN32_FIND_DATAA data{};
    TFindHandle find(FindFirstFileA((base + "*.*").c_str(), &data));
    if (find.get() == INVALID_HANDLE_VALUE) {
        find.release();
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        const std::string_view name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        entries.push_back({base + data.cFileName, data.dwFileAttributes});
    } while (FindNextFileA(find.get(), &data));
    return true;
}

enum class TWalkKind { Forced, Scheduled };

// Deletes everything below dir, each entry before its folder. True when all of
// it went (or, scheduled, was scheduled).
bool DeleteContents(const std::string& dir, TWalkKind kind, bool onReboot)
{
    std::vector<TWalkEntry> entries;
    bool allGone = ListEntries(dir, entries);
    for (const TWalkEntry& entry : entries) {
        bool gone;
        if (entry.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A junction, symbolic link or mount point: entering it would delete
            // what lies outside the folder, or loop through an ancestor for ever.
            // Only the link itself may go; under Wine, where no handle is the
            // link, it stays.
            gone = IsRemoved(
                RemoveByName(entry.Path, (entry.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0));
        } else if (entry.Attributes & FILE_ATTRIBUTE_DIRECTORY) {
            gone = kind == TWalkKind::Forced ? DeleteDirectory(entry.Path, true, true)
                                             : DeleteDirectoryEx(entry.Path, true, true, onReboot);
        } else {
            gone = kind == TWalkKind::Forced ? DeleteFileForced(entry.Path)
                                             : DeleteFileOrSchedule(entry.Path, onReboot);
        }
        allGone = allGone && gone;
    }
    return allGone;
}

// A name beside Dest that nothing else uses.
std::string TemporaryNameBeside(const std::string& dest, unsigned attempt)
{
    static std::atomic<unsigned> counter{0};
    char suffix[48];
    wsprintfA(suffix, ".~%lx.%x.%x.tmp", GetCurrentProcessId(), ++counter, attempt);
    return dest + suffix;
}

// Resets a file's DACL to what it inherits from its folder: no explicit entry,
// the protection lifted.
void ResetToInheritedAccess(const std::string& fileName)
{
    auto setNamed = pSetNamedSecurityInfoA.Get();
    if (!setNamed)
        return;
    ACL empty{};
    if (!InitializeAcl(&empty, sizeof(empty), ACL_REVISION))
        return;
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
    const SECURITY_INFORMATION info =
        DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
    RecordSecurityCall("SetNamedSecurityInfoA", fileName, info, &descriptor);
    std::string name = fileName;
    setNamed(name.data(), SE_FILE_OBJECT, info, nullptr, nullptr, &empty, nullptr);
}

} // namespace

// ---------------------------------------------------------------------------
// Security choice and recorder

bool ResolveFileSecurity(TFileSecurity Security, SECURITY_ATTRIBUTES*& Attributes)
{
    Attributes = nullptr;
    if (Security == TFileSecurity::Inherit || !IsWinNT())
        return true;
    Attributes = Security == TFileSecurity::Protected ? GetProtectedSecurityAttributes()
                                                      : GetSharedSecurityAttributes();
    if (Attributes)
        return true;
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return false;
}

TSecurityRecorder SetSecurityRecorder(TSecurityRecorder Recorder) noexcept
{
    return gRecorder.exchange(Recorder);
}

void RecordSecurityCall(const char* Api, const std::string& Path, SECURITY_INFORMATION Information,
                        PSECURITY_DESCRIPTOR Descriptor) noexcept
{
    if (TSecurityRecorder recorder = gRecorder.load()) {
        const DWORD error = GetLastError();
        try {
            recorder(TSecurityCall{Api, Path, Information, Descriptor});
        } catch (...) {
        }
        SetLastError(error);
    }
}

// ---------------------------------------------------------------------------
// Waiting and environment

void SleepMs(DWORD Ms)
{
    // The own process is never signalled while it runs: a plain timed wait.
    WaitForSingleObject(GetCurrentProcess(), Ms);
}

std::string ExpandEnvStrings(const std::string& Text)
{
    DWORD needed = ExpandEnvironmentStringsA(Text.c_str(), nullptr, 0);
    // The environment may grow between two calls: size again when it did.
    for (int attempt = 0; attempt < 4 && needed != 0; ++attempt) {
        std::string buffer(needed + 1, '\0');
        const DWORD got = ExpandEnvironmentStringsA(Text.c_str(), buffer.data(),
                                                    static_cast<DWORD>(buffer.size()));
        if (got == 0)
            return {};
        if (got <= buffer.size())
            return TrimAtNull(buffer);
        needed = got;
    }
    return {};
}

std::string TrimAtNull(std::string_view S)
{
    const size_t nul = S.find('\0');
    return std::string(nul == std::string_view::npos ? S : S.substr(0, nul));
}

// ---------------------------------------------------------------------------
// Path text

size_t LastDelimiter(std::string_view Path, std::string_view Delimiters)
{
    size_t found = std::string_view::npos;
    for (size_t i = 0; i < Path.size();) {
        const auto c = static_cast<unsigned char>(Path[i]);
        if (IsDBCSLeadByte(c) && i + 1 < Path.size()) {
            i += 2;
            continue;
        }
        if (Delimiters.find(static_cast<char>(c)) != std::string_view::npos)
            found = i;
        ++i;
    }
    return found;
}

std::string ExtractFilePath(std::string_view Path)
{
    const size_t at = LastDelimiter(Path, "\\:");
    return at == std::string_view::npos ? std::string() : std::string(Path.substr(0, at + 1));
}

std::string ExtractFileName(std::string_view Path)
{
    const size_t at = LastDelimiter(Path, "\\:");
    return std::string(at == std::string_view::npos ? Path : Path.substr(at + 1));
}

bool EndsWithBackslash(std::string_view Path)
{
    return !Path.empty() && LastDelimiter(Path, "\\") == Path.size() - 1;
}

std::string IncludeTrailingBackslash(std::string_view Path)
{
    std::string out(Path);
    if (!out.empty() && !EndsWithBackslash(out))
        out += '\\';
    return out;
}

std::string ExcludeTrailingBackslash(std::string_view Path)
{
    std::string out(Path);
    if (EndsWithBackslash(out))
        out.pop_back();
    return out;
}

// ---------------------------------------------------------------------------
// Existence and size

namespace {

// The 8-bit call cannot reach a path of MAX_PATH characters or more: such a
// path is asked through the wide call in its "\\?\" form, so that a long
// path is judged on the file and never on a failed call.
DWORD AttributesOf(const std::string& path)
{
    if (path.size() < MAX_PATH)
        return GetFileAttributesA(path.c_str());
    return GetFileAttributesW(ExtendedLengthPath(WideFromAnsi(path)).c_str());
}

} // namespace

bool FileExistsEx(const std::string& FileName)
{
    const DWORD attributes = AttributesOf(FileName);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExistsEx(const std::string& Dir)
{
    const DWORD attributes = AttributesOf(Dir);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}


int64_t GetFileSize64(const std::string& FileName)
{
    // The search would take a wildcard as a pattern and size whatever matches.
    if (FileName.empty() || FileName.find_first_of("*?") != std::string::npos)
        return -1;
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA(FileName.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return -1;
    FindClose(find);
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                data.nFileSizeLow);
}

std::string GetFullPath(const std::string& Path)
{
    std::string buffer(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetFullPathNameA(Path.c_str(), static_cast<DWORD>(buffer.size()),
                                         buffer.data(), nullptr);
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(n);
    }
}

std::string GetLongPath(const std::string& Path)
{
    if (Path.empty())
        return Path;
    if (auto getLong = pGetLongPathNameA.Get()) {
        char buffer[261] = {};
        const DWORD n = getLong(Path.c_str(), buffer, sizeof(buffer));
        if (n > 0 && n < sizeof(buffer))
            return std::string(buffer, n);
    }
    std::string result = Path;
    IShellFolder* desktop = nullptr;
    if (SUCCEEDED(SHGetDesktopFolder(&desktop)) && desktop) {
        std::wstring wide = AnsiToWide(Path);
        ULONG eaten = 0;
        PIDLIST_RELATIVE items = nullptr;
        if (SUCCEEDED(desktop->ParseDisplayName(nullptr, nullptr, wide.data(), &eaten, &items,
                                                nullptr)) &&
            items) {
            char buffer[MAX_PATH] = {};
            if (SHGetPathFromIDListA(reinterpret_cast<PCIDLIST_ABSOLUTE>(items), buffer) &&
                buffer[0])
                result = buffer;
            CoTaskMemFree(items);
        }
        desktop->Release();
    }
    return result;
}

// ---------------------------------------------------------------------------
// Folders

namespace {

// Creates Dir and, with Recursive, its missing parents; folders that exist
// are left as they are.
bool MakeDirectoryPath(const std::string& Dir, TFileSecurity Security, bool Recursive)
{
    const std::string dir = ExcludeTrailingBackslash(Dir);
    if (dir.empty())
        return false;
    if (IsDriveOnly(dir) || IsUncRoot(dir) || DirectoryExistsEx(dir))
        return true;
    if (Recursive) {
        const size_t slash = LastDelimiter(dir, "\\");
        if (slash != std::string::npos && slash > 0) {
            // The world grant is for the one folder the tray writes in, never
            // for the folders above it.
            const TFileSecurity parentSecurity =
                Security == TFileSecurity::Shared ? TFileSecurity::Protected : Security;
            if (!MakeDirectoryPath(dir.substr(0, slash), parentSecurity, true))
                return false;
        }
    }
    SECURITY_ATTRIBUTES* attributes = nullptr;
    if (!ResolveFileSecurity(Security, attributes))
        return false;
    RecordSecurityCall("CreateDirectoryA", dir, 0,
                       attributes ? attributes->lpSecurityDescriptor : nullptr);
    if (CreateDirectoryA(dir.c_str(), attributes))
        return true;
    // Made by someone else in the meantime.
    return GetLastError() == ERROR_ALREADY_EXISTS && DirectoryExistsEx(dir);
}

std::atomic<TTrustQuery> gTrustQuery{nullptr};

} // namespace

bool CreateDirectoryPath(const std::string& Dir, TFileSecurity Security, bool Recursive)
{
    const std::string dir = ExcludeTrailingBackslash(Dir);
    // A protected folder that exists already may have been made by anybody
    // (every user may create folders in the all-users data folder): it gets
    // its owner and DACL again. A link is refused, never followed.
    if (Security == TFileSecurity::Protected && !dir.empty() && !IsDriveOnly(dir) &&
        !IsUncRoot(dir) && DirectoryExistsEx(dir)) {
        if (GetFileAttributesA(dir.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)
            return false;
        ProtectFolder(dir);
        return true;
    }
    return MakeDirectoryPath(dir, Security, Recursive);
}

bool ProtectFolder(const std::string& Dir)
{
    const std::string dir = ExcludeTrailingBackslash(Dir);
    if (dir.empty() || !IsWinNT() || !IsProcessElevated())
        return false;
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    SECURITY_ATTRIBUTES* protectedRecord = GetProtectedSecurityAttributes();
    if (!protectedRecord)
        return false;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorDacl(protectedRecord->lpSecurityDescriptor, &present, &dacl,
                                   &defaulted) ||
        !present)
        return false;
    PSID administrators = nullptr;
    if (!ConvertStringSidToSidA("S-1-5-32-544", &administrators))
        return false;
    std::unique_ptr<void, TLocalFreeDeleter> owner(administrators);
    constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                           PROTECTED_DACL_SECURITY_INFORMATION;
    RecordSecurityCall("SetNamedSecurityInfoA", dir, kWhat, protectedRecord->lpSecurityDescriptor);
    return SetNamedSecurityInfoA(const_cast<char*>(dir.c_str()), SE_FILE_OBJECT, kWhat,
                                 administrators, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool PathHasReparsePoint(const std::string& Path)
{
    const std::string path = ExcludeTrailingBackslash(Path);
    std::vector<size_t> ends = BackslashPositions(path);
    ends.push_back(path.size());
    // "\\server\share" and "C:" are no folders of their own.
    const size_t first = path.rfind("\\\\", 0) == 0 ? 3 : 0;
    for (size_t n = first; n < ends.size(); ++n) {
        const std::string prefix = path.substr(0, ends[n]);
        if (prefix.empty() || IsDriveOnly(prefix) || IsUncRoot(prefix))
            continue;
        const DWORD attributes = GetFileAttributesA(prefix.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return !IsGoneError(GetLastError()); // what cannot be read may be a link
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return true;
    }
    return false;
}

TTrustQuery SetTrustQueryForTests(TTrustQuery Query) noexcept
{
    return gTrustQuery.exchange(Query);
}

bool IsTrustedPath(const std::string& Path)
{
    if (TTrustQuery query = gTrustQuery.load())
        return query(Path);
    const std::string path = ExcludeTrailingBackslash(Path);
    if (path.empty() || PathHasReparsePoint(path) ||
        GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    std::unique_ptr<void, TLocalFreeDeleter> owner(descriptor);
    return IsTrustedDescriptor(descriptor);
}

bool IsTrustedFile(const std::string& FileName, bool ReprotectFolder)
{
    const std::string folder = ExtractFilePath(FileName);
    if (folder.empty())
        return false;
    if (ReprotectFolder)
        ProtectFolder(folder);
    return IsTrustedPath(folder) && IsTrustedPath(FileName);
}

bool DeleteDirectory(const std::string& Dir, bool Contents1, bool Contents2)
{
    if (Contents1 || Contents2)
        DeleteContents(Dir, TWalkKind::Forced, false);
    return RemoveDirectoryA(Dir.c_str()) != FALSE;
}

bool ClearDirectory(const std::string& Dir, bool Contents1, bool Contents2)
{
    if (!(Contents1 || Contents2))
        return false;
    return DeleteContents(Dir, TWalkKind::Forced, false);
}

bool DeleteDirectoryEx(const std::string& Dir, bool Contents1, bool Contents2, bool OnReboot)
{
    if (Contents1 || Contents2)
        DeleteContents(Dir, TWalkKind::Scheduled, OnReboot);
    if (RemoveDirectoryA(Dir.c_str()))
        return true;
    return OnReboot && RemoveDirOnReboot(Dir);
}

bool RemoveDirOnReboot(const std::string& Dir)
{
    if (!IsWinNT())
        return false;
    const std::string dir = ExcludeTrailingBackslash(Dir);
    if (GetFileAttributesA(dir.c_str()) == INVALID_FILE_ATTRIBUTES && IsGoneError(GetLastError()))
        return true;
    return MoveFileExA(dir.c_str(), nullptr, kDelayedDelete) != FALSE;
}

// ---------------------------------------------------------------------------
// Files

bool DeleteFileForced(const std::string& FileName)
{
    const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(WideFromAnsi(FileName)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    const TRemoveResult result = RemoveByName(FileName, false);
    if (IsRemoved(result))
        return true;
    SetLastError(result == TRemoveResult::InUse ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED);
    return false;
}

bool DeleteFileOrSchedule(const std::string& FileName, bool OnReboot)
{
    if (DeleteFileForced(FileName))
        return true;
    // A delete by name at the restart would go through a link to its target
    // where the platform resolves links, and through a hard link it would
    // only unlink this name anyway: only what is held or refused is scheduled.
    TFileIdentity identity;
    if (ReadFileIdentity(WideFromAnsi(FileName), false, identity) && identity.IsLink)
        return false;
    return OnReboot && IsWinNT() && DeleteFileOnReboot(FileName);
}

bool DeleteFileOnReboot(const std::string& FileName)
{
    if (!IsWinNT())
        return false;
    if (GetFileAttributesA(FileName.c_str()) == INVALID_FILE_ATTRIBUTES &&
        IsGoneError(GetLastError()))
        return true;
    return MoveFileExA(FileName.c_str(), nullptr, kDelayedDelete) != FALSE;
}

bool CopyFileTo(const std::string& Source, const std::string& Dest, bool GrantAccess,
                bool Overwrite)
{
    if (!FileExistsEx(Source))
        return false;
    const DWORD destAttributes = GetFileAttributesA(Dest.c_str());
    const bool destExists = destAttributes != INVALID_FILE_ATTRIBUTES;
    if (destExists && ((destAttributes & FILE_ATTRIBUTE_DIRECTORY) || !Overwrite)) {
        SetLastError(ERROR_FILE_EXISTS);
        return false;
    }

    // Dest is only ever replaced by a complete copy.
    std::string temp;
    bool copied = false;
    for (unsigned attempt = 0; attempt < 16 && !copied; ++attempt) {
        temp = TemporaryNameBeside(Dest, attempt);
        RecordSecurityCall("CopyFileA", temp, 0, nullptr);
        copied = CopyFileA(Source.c_str(), temp.c_str(), TRUE) != FALSE;
        if (!copied && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            const DWORD error = GetLastError();
            DeleteFileA(temp.c_str());
            SetLastError(error);
            return false;
        }
    }
    if (!copied)
        return false;

    if (GrantAccess && IsWinNT())
        ResetToInheritedAccess(temp);

    const bool unlockDest = destExists && (destAttributes & FILE_ATTRIBUTE_READONLY);
    if (unlockDest)
        SetFileAttributesA(Dest.c_str(),
                           SettableAttributes(destAttributes & ~FILE_ATTRIBUTE_READONLY));
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (Overwrite ? MOVEFILE_REPLACE_EXISTING : 0);
    if (RetryFileOperation(kDefaultRetryTime,
                           [&] { return MoveFileExA(temp.c_str(), Dest.c_str(), flags) != FALSE; }))
        return true;
    const DWORD error = GetLastError();
    if (unlockDest)
        SetFileAttributesA(Dest.c_str(), SettableAttributes(destAttributes));
    SetFileAttributesA(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(temp.c_str());
    SetLastError(error);
    return false;
}

PSECURITY_DESCRIPTOR GetFileSecurityDescriptor(const std::string& FileName)
{
    DWORD needed = 0;
    GetFileSecurityA(FileName.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    // The DACL may grow between the calls: grow the buffer while it says so.
    for (int attempt = 0; attempt < 4 && needed != 0; ++attempt) {
        TLocalDescriptor buffer(LocalAlloc(LPTR, needed));
        if (!buffer)
            return nullptr;
        DWORD again = 0;
        if (GetFileSecurityA(FileName.c_str(), DACL_SECURITY_INFORMATION, buffer.get(), needed,
                             &again)) {
            if (!IsValidSecurityDescriptor(buffer.get()))
                return nullptr;
            return buffer.release();
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || again <= needed)
            return nullptr;
        needed = again;
    }
    return nullptr;
}

bool GrantFileFullAccess(const std::string& FileName)
{
    if (!IsWinNT())
        return false;
    TLocalDescriptor current(GetFileSecurityDescriptor(FileName));
    if (!current)
        return false;
    TLocalDescriptor granted(GrantTrusteeFullAccess(current.get(), WorldTrusteeName()));
    if (!granted)
        return false;
    RecordSecurityCall("SetFileSecurityA", FileName, DACL_SECURITY_INFORMATION, granted.get());
    return SetFileSecurityA(FileName.c_str(), DACL_SECURITY_INFORMATION, granted.get()) != FALSE;
}

// ---------------------------------------------------------------------------
// Retries

bool IsTransientFileError(DWORD Error) noexcept
{
    return Error == ERROR_ACCESS_DENIED || Error == ERROR_SHARING_VIOLATION ||
           Error == ERROR_LOCK_VIOLATION;
}

// ---------------------------------------------------------------------------
// Link-safe removal

namespace {

// The calls of the handle-based removal that older systems lack, and the one
// that every NT system has.
TBoundProc<decltype(&::GetFinalPathNameByHandleW)> pGetFinalPathNameByHandleW{
    Kernel32Library(), "GetFinalPathNameByHandleW"};

struct TIoStatus {
    union {
        LONG Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using TNtSetInformationFile = LONG(NTAPI*)(HANDLE, TIoStatus*, PVOID, ULONG, int);
TBoundProc<TNtSetInformationFile> pNtSetInformationFile{NtdllLibrary(), "NtSetInformationFile"};
using TRtlNtStatusToDosError = ULONG(NTAPI*)(LONG);
TBoundProc<TRtlNtStatusToDosError> pRtlNtStatusToDosError{NtdllLibrary(), "RtlNtStatusToDosError"};
constexpr int kFileBasicInformation = 4;
constexpr int kFileDispositionInformation = 13;

struct TBasicInformation {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
};

// Owns one file handle.
class TFileHandle {
public:
    explicit TFileHandle(HANDLE h = INVALID_HANDLE_VALUE) noexcept : h_(h) {}
    ~TFileHandle() { reset(); }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    HANDLE get() const noexcept { return h_; }
    HANDLE release() noexcept { return std::exchange(h_, INVALID_HANDLE_VALUE); }
    bool valid() const noexcept { return h_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) noexcept
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kNoFollow = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

HANDLE OpenEntry(const std::wstring& path, DWORD access, DWORD share, bool follow)
{
    return CreateFileW(ExtendedLengthPath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                       follow ? FILE_FLAG_BACKUP_SEMANTICS : kNoFollow, nullptr);
}

// The handle's final path, "\\?\C:\..." form; '' where the system has no such
// call or it fails (then only the reparse attribute tells a link).
std::wstring FinalPathOf(HANDLE h)
{
    auto final = pGetFinalPathNameByHandleW.Get();
    if (!final)
        return {};
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD n = final(h, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(n + 1);
    }
    return {};
}

std::wstring WithBackslash(std::wstring path)
{
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path;
}

bool SameTextW(const std::wstring& a, const std::wstring& b)
{
    return a.size() == b.size() &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                          b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The handle's final path differs from the one expected: the name led
// somewhere else (a link the handle went through). Unknown paths never differ.
bool FinalDiffers(HANDLE h, const std::wstring& expected)
{
    if (expected.empty())
        return false;
    const std::wstring final = FinalPathOf(h);
    return !final.empty() && !SameTextW(final, expected);
}

// What the final path of Path must be when nothing on its last step is a
// link: the final path of its folder (links on the way followed), a
// backslash and the entry's long name. '' when either is unknown.
std::wstring ExpectedFinalPath(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 >= path.size())
        return {};
    // "C:\x" lies in "C:\", the drive's root.
    const std::wstring folder = path.substr(0, slash == 2 ? 3 : slash);
    TFileHandle parent(OpenEntry(folder, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, true));
    if (!parent.valid())
        return {};
    const std::wstring parentFinal = FinalPathOf(parent.get());
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(ExtendedLengthPath(path).c_str(), &data);
    if (parentFinal.empty() || find == INVALID_HANDLE_VALUE)
        return {};
    FindClose(find);
    return WithBackslash(parentFinal) + data.cFileName;
}

bool ReadInformation(HANDLE h, TFileIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info))
        return false;
    identity.Known = true;
    identity.VolumeSerial = info.dwVolumeSerialNumber;
    identity.FileIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.Links = info.nNumberOfLinks;
    identity.Attributes = info.dwFileAttributes;
    identity.IsLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return true;
}

DWORD ErrorOfStatus(LONG status)
{
    auto convert = pRtlNtStatusToDosError.Get();
    return convert ? convert(status) : ERROR_ACCESS_DENIED;
}

// Marks the open entry for deletion; it goes when the last handle closes.
bool DisposeOf(HANDLE h)
{
    auto set = pNtSetInformationFile.Get();
    if (!set) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    BOOLEAN remove = TRUE;
    TIoStatus io{};
    const LONG status = set(h, &io, &remove, sizeof(remove), kFileDispositionInformation);
    if (status >= 0)
        return true;
    SetLastError(ErrorOfStatus(status));
    return false;
}

bool SetAttributesOf(HANDLE h, DWORD attributes)
{
    auto set = pNtSetInformationFile.Get();
    if (!set)
        return false;
    TBasicInformation basic{};
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    TIoStatus io{};
    return set(h, &io, &basic, sizeof(basic), kFileBasicInformation) >= 0;
}

TRemoveResult ResultOfError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return TRemoveResult::Gone;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return TRemoveResult::InUse;
    case ERROR_ACCESS_DENIED:
        return TRemoveResult::Denied;
    case ERROR_DIR_NOT_EMPTY:
        return TRemoveResult::NotEmpty;
    default:
        return TRemoveResult::Failed;
    }
}

// Opens the entry for deletion and checks that it is still what is expected.
TRemoveResult OpenForDelete(const std::wstring& path, const std::wstring& expectedFinal, bool folder,
                            const TFileIdentity* expected, DWORD extraAccess, TFileHandle& handle,
                            TFileIdentity& now)
{
    handle.reset(OpenEntry(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE | extraAccess,
                           kShareAll, false));
    if (!handle.valid())
        return ResultOfError(GetLastError());
    if (!ReadInformation(handle.get(), now))
        return TRemoveResult::Failed;
    if (folder != ((now.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0))
        return TRemoveResult::Changed;
    if (expected && expected->Known && !expected->SameFile(now))
        return TRemoveResult::Changed;
    // A reparse point whose handle kept its own path is the link itself, and
    // removing it removes the link only; a handle that arrived elsewhere is
    // the target's.
    if (FinalDiffers(handle.get(), expectedFinal))
        return TRemoveResult::Link;
    return TRemoveResult::Removed;
}

// The DACL of an open entry gets a full-access entry for Administrators.
// The old descriptor comes back in Old for the undo. The elevated program
// may do this only to a file that no other name shares.
bool GrantAdministrators(HANDLE h, const std::wstring& path, TLocalDescriptor& old)
{
    PSECURITY_DESCRIPTOR current = nullptr;
    PACL dacl = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &current) != ERROR_SUCCESS)
        return false;
    old.reset(current);
    TLocalDescriptor granted(GrantTrusteeFullAccess(current, AdministratorsTrusteeName()));
    if (!granted)
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL grantedDacl = nullptr;
    if (!GetSecurityDescriptorDacl(granted.get(), &present, &grantedDacl, &defaulted) || !present)
        return false;
    RecordSecurityCall("SetSecurityInfo", AnsiFromWide(path), DACL_SECURITY_INFORMATION,
                       granted.get());
    return SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                           grantedDacl, nullptr) == ERROR_SUCCESS;
}

void RestoreDacl(HANDLE h, const std::wstring& path, PSECURITY_DESCRIPTOR old)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!old || !GetSecurityDescriptorDacl(old, &present, &dacl, &defaulted))
        return;
    RecordSecurityCall("SetSecurityInfo", AnsiFromWide(path), DACL_SECURITY_INFORMATION, old);
    SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                    present ? dacl : nullptr, nullptr);
}

// A file whose DACL refuses the delete: Administrators are granted full
// access through a handle that may change the DACL, the delete is tried
// again, and the DACL is put back when it still fails.
TRemoveResult RemoveAgainstDacl(const std::wstring& path, const std::wstring& expectedFinal,
                                const TFileIdentity* expected)
{
    if (!IsWinNT())
        return TRemoveResult::Denied;
    TFileHandle guard(OpenEntry(path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, kShareAll,
                                false));
    if (!guard.valid())
        return TRemoveResult::Denied;
    TFileIdentity now;
    if (!ReadInformation(guard.get(), now) || (now.Attributes & FILE_ATTRIBUTE_DIRECTORY))
        return TRemoveResult::Denied;
    if (expected && expected->Known && !expected->SameFile(now))
        return TRemoveResult::Changed;
    if (FinalDiffers(guard.get(), expectedFinal))
        return TRemoveResult::Link;
    // Another name would keep the wider DACL after this one is gone.
    if (now.Links > 1)
        return TRemoveResult::OtherNames;
    TLocalDescriptor old;
    if (!GrantAdministrators(guard.get(), path, old))
        return TRemoveResult::Denied;
    TFileHandle handle;
    TFileIdentity reopened;
    TRemoveResult result =
        OpenForDelete(path, expectedFinal, false, &now, 0, handle, reopened);
    if (result == TRemoveResult::Removed && !DisposeOf(handle.get()))
        result = ResultOfError(GetLastError());
    if (result != TRemoveResult::Removed)
        RestoreDacl(guard.get(), path, old.get());
    return result;
}

} // namespace

namespace {

// The "\\?\" form takes every component literally: "." and ".." would be
// looked for as names and "/" is no separator there, so such a path would
// read as missing. Only those are resolved first; any other path keeps its
// names exactly as the walk found them (a trailing dot or blank included).
std::wstring WithoutRelativeParts(const std::wstring& Path)
{
    bool relative = Path.find(L'/') != std::wstring::npos;
    for (size_t begin = 0; !relative && begin <= Path.size();) {
        size_t end = Path.find(L'\\', begin);
        if (end == std::wstring::npos)
            end = Path.size();
        const std::wstring_view part(Path.data() + begin, end - begin);
        relative = part == L"." || part == L"..";
        begin = end + 1;
    }
    if (!relative)
        return Path;
    const DWORD size = GetFullPathNameW(Path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return Path;
    std::wstring full(size, L'\0');
    const DWORD written = GetFullPathNameW(Path.c_str(), size, full.data(), nullptr);
    if (written == 0 || written >= size)
        return Path;
    full.resize(written);
    return full;
}

} // namespace

std::wstring ExtendedLengthPath(const std::wstring& Path)
{
    constexpr size_t kLimit = MAX_PATH - 12;
    if (Path.size() <= kLimit)
        return Path;
    const bool drive = Path.size() >= 3 && Path[1] == L':' && (Path[2] == L'\\' || Path[2] == L'/');
    const bool unc = Path.size() >= 2 && Path[0] == L'\\' && Path[1] == L'\\' &&
                     Path.compare(0, 4, L"\\\\?\\") != 0 &&
                     Path.compare(0, 4, L"\\\\.\\") != 0;
    if (!drive && !unc)
        return Path;
    const std::wstring full = WithoutRelativeParts(Path);
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\')
        return L"\\\\?\\" + full;
    if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\')
        return L"\\\\?\\UNC\\" + full.substr(2);
    return Path;
}

bool TFileIdentity::SameFile(const TFileIdentity& Other) const noexcept
{
    return Known && Other.Known && VolumeSerial == Other.VolumeSerial &&
           FileIndex == Other.FileIndex;
}

bool ReadFileIdentity(const std::wstring& Path, bool FollowLinks, TFileIdentity& Identity)
{
    TFileHandle h(OpenEntry(Path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FollowLinks));
    if (!h.valid())
        return false;
    TFileIdentity identity;
    if (!ReadInformation(h.get(), identity))
        return false;
    if (!FollowLinks && !identity.IsLink)
        identity.IsLink = FinalDiffers(h.get(), ExpectedFinalPath(Path));
    Identity = identity;
    return true;
}

const char* RemoveResultText(TRemoveResult Result)
{
    // In the order of TRemoveResult.
    static constexpr const char* kTexts[] = {
        "removed",
        "already gone",
        "a link, left in place",
        "a folder on its path is now a link",
        "changed since the scan",
        "in use by another program",
        "access denied",
        "read-only with other names, left as it is",
        "not empty",
        "not in the scanned folder",
        "could not be removed",
    };
    static_assert(std::size(kTexts) == static_cast<size_t>(TRemoveResult::Failed) + 1);
    const auto index = static_cast<size_t>(Result);
    return index < std::size(kTexts) ? kTexts[index] : kTexts[std::size(kTexts) - 1];
}

TRemoveResult RemoveFileEntry(const std::wstring& Path, const std::wstring& ExpectedFinal,
                              bool Folder, const TFileIdentity* Expected)
{
    TFileHandle handle;
    TFileIdentity now;
    TRemoveResult result = OpenForDelete(Path, ExpectedFinal, Folder, Expected, 0, handle, now);
    if (result == TRemoveResult::Denied && !Folder)
        return RemoveAgainstDacl(Path, ExpectedFinal, Expected);
    if (result != TRemoveResult::Removed)
        return result;
    if (DisposeOf(handle.get()))
        return TRemoveResult::Removed;
    const DWORD error = GetLastError();
    if (Folder || !(now.Attributes & FILE_ATTRIBUTE_READONLY))
        return ResultOfError(error);
    // Read-only. The attribute belongs to the file, not to this name: with
    // other names, clearing it would leave them writable.
    if (now.Links > 1)
        return TRemoveResult::OtherNames;
    TFileHandle writable;
    TFileIdentity again;
    result = OpenForDelete(Path, ExpectedFinal, false, &now, FILE_WRITE_ATTRIBUTES, writable, again);
    if (result != TRemoveResult::Removed)
        return result;
    const DWORD old = again.Attributes & kSettableAttributes;
    if (!SetAttributesOf(writable.get(), old & ~FILE_ATTRIBUTE_READONLY))
        return TRemoveResult::Denied;
    if (DisposeOf(writable.get()))
        return TRemoveResult::Removed;
    const DWORD failed = GetLastError();
    SetAttributesOf(writable.get(), old);
    return ResultOfError(failed);
}

// ---------------------------------------------------------------------------
// TContainedRemover

TContainedRemover::TContainedRemover(const std::wstring& Root, const TFileIdentity& RootIdentity)
    : root_(Root), rootIdentity_(RootIdentity)
{
    while (root_.size() > 3 && root_.back() == L'\\')
        root_.pop_back();
    // Held with the listing right, so that the share mode keeps others from
    // renaming it while the removal works below it.
    rootHandle_ = OpenEntry(root_, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, true);
    if (rootHandle_ == INVALID_HANDLE_VALUE) {
        rootResult_ = ResultOfError(GetLastError());
        return;
    }
    TFileIdentity now;
    if (!ReadInformation(rootHandle_, now) || !(now.Attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        rootResult_ = TRemoveResult::Changed;
        return;
    }
    if (RootIdentity.Known && !RootIdentity.SameFile(now)) {
        rootResult_ = TRemoveResult::Changed;
        return;
    }
    rootFinal_ = FinalPathOf(rootHandle_);
    rootResult_ = TRemoveResult::Removed;
}

TContainedRemover::~TContainedRemover()
{
    CloseChain(0);
    if (rootHandle_ != INVALID_HANDLE_VALUE)
        CloseHandle(rootHandle_);
}

void TContainedRemover::CloseChain(size_t Keep) noexcept
{
    while (chain_.size() > Keep) {
        CloseHandle(chain_.back().Handle);
        chain_.pop_back();
    }
}

// Holds every folder between the root and Path's own folder; ParentFinal and
// Name then describe Path. Removed means reached.
TRemoveResult TContainedRemover::Reach(const std::wstring& Path, std::wstring& ParentFinal,
                                       std::wstring& Name)
{
    if (!RootReady())
        return rootResult_;
    std::wstring path = Path;
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    const std::wstring prefix = WithBackslash(root_);
    if (path.size() <= prefix.size() || !SameTextW(path.substr(0, prefix.size()), prefix))
        return TRemoveResult::Outside;
    std::vector<std::wstring> parts;
    for (size_t start = prefix.size(); start <= path.size();) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        const std::wstring part = path.substr(start, end - start);
        if (part.empty() || part == L"." || part == L"..")
            return TRemoveResult::Outside;
        parts.push_back(part);
        start = end + 1;
    }
    Name = parts.back();
    parts.pop_back();

    size_t keep = 0;
    while (keep < chain_.size() && keep < parts.size() && SameTextW(chain_[keep].Name, parts[keep]))
        ++keep;
    CloseChain(keep);
    std::wstring folder = root_;
    for (size_t i = 0; i < keep; ++i)
        folder += L"\\" + chain_[i].Name;
    for (size_t i = keep; i < parts.size(); ++i) {
        const std::wstring& parentFinal = i == 0 ? rootFinal_ : chain_[i - 1].Final;
        folder += L"\\" + parts[i];
        HANDLE h = OpenEntry(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, false);
        if (h == INVALID_HANDLE_VALUE)
            return ResultOfError(GetLastError());
        TFileHandle level(h);
        TFileIdentity now;
        if (!ReadInformation(h, now))
            return TRemoveResult::Failed;
        if (!(now.Attributes & FILE_ATTRIBUTE_DIRECTORY))
            return TRemoveResult::Changed;
        std::wstring final = FinalPathOf(h);
        if (now.IsLink || (!parentFinal.empty() && !final.empty() &&
                           !SameTextW(final, WithBackslash(parentFinal) + parts[i])))
            return TRemoveResult::PathLink;
        chain_.push_back({parts[i], std::move(final), h});
        level.release();
    }
    const std::wstring& parentFinal = chain_.empty() || parts.empty() ? rootFinal_
                                                                      : chain_.back().Final;
    ParentFinal = parentFinal.empty() ? L"" : WithBackslash(parentFinal);
    return TRemoveResult::Removed;
}

TRemoveResult TContainedRemover::RemoveFile(const std::wstring& Path, const TFileIdentity& Identity)
{
    std::wstring parentFinal, name;
    const TRemoveResult reached = Reach(Path, parentFinal, name);
    if (reached != TRemoveResult::Removed)
        return reached;
    return RemoveFileEntry(Path, parentFinal.empty() ? L"" : parentFinal + name, false, &Identity);
}

TRemoveResult TContainedRemover::RemoveFolder(const std::wstring& Path,
                                              const TFileIdentity& Identity)
{
    std::wstring parentFinal, name;
    const TRemoveResult reached = Reach(Path, parentFinal, name);
    if (reached != TRemoveResult::Removed)
        return reached;
    return RemoveFileEntry(Path, parentFinal.empty() ? L"" : parentFinal + name, true, &Identity);
}

TRemoveResult TContainedRemover::RemoveRoot()
{
    if (!RootReady())
        return rootResult_;
    CloseChain(0);
    CloseHandle(rootHandle_);
    rootHandle_ = INVALID_HANDLE_VALUE;
    rootResult_ = TRemoveResult::Gone;
    return RemoveFileEntry(root_, rootFinal_, true, &rootIdentity_);
}

namespace {

TRemoveResult RemoveByName(const std::string& path, bool folder)
{
    return RemovePath(WideFromAnsi(path), folder);
}

} // namespace

TRemoveResult RemovePath(const std::wstring& Path, bool Folder)
{
    return RemoveFileEntry(Path, ExpectedFinalPath(Path), Folder, nullptr);
}
