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
#include <memory>
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
            gone = (entry.Attributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? RemoveDirectoryA(entry.Path.c_str()) != FALSE
                       : DeleteFileA(entry.Path.c_str()) != FALSE;
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

bool FileExistsEx(const std::string& FileName)
{
    const DWORD attributes = GetFileAttributesA(FileName.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExistsEx(const std::string& Dir)
{
    const DWORD attributes = GetFileAttributesA(Dir.c_str());
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
    const DWORD attributes = GetFileAttributesA(FileName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (DeleteFileA(FileName.c_str()))
        return true;
    // A link's DACL and attributes are its target's.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || IsGoneError(GetLastError()))
        return false;

    TLocalDescriptor oldDacl(GetFileSecurityDescriptor(FileName));
    const bool granted = GrantFileFullAccess(FileName);
    const bool cleared = SetFileAttributesA(FileName.c_str(), FILE_ATTRIBUTE_NORMAL) != FALSE;
    if (DeleteFileA(FileName.c_str()))
        return true;
    const DWORD error = GetLastError();
    // Still there: it must not stay open to everybody, nor lose its protection.
    if (granted && oldDacl) {
        RecordSecurityCall("SetFileSecurityA", FileName, DACL_SECURITY_INFORMATION, oldDacl.get());
        SetFileSecurityA(FileName.c_str(), DACL_SECURITY_INFORMATION, oldDacl.get());
    }
    if (cleared)
        SetFileAttributesA(FileName.c_str(), SettableAttributes(attributes));
    SetLastError(error);
    return false;
}

bool DeleteFileOrSchedule(const std::string& FileName, bool OnReboot)
{
    if (DeleteFileForced(FileName))
        return true;
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
