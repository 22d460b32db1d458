#include "platform/SecurityU.h"

#include "platform/BindingU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/WinVersionU.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <memory>
#include <mutex>
#include <utility>

namespace {

// ---------------------------------------------------------------------------
// Owners

struct TLocalFree {
    void operator()(void* p) const noexcept
    {
        if (p)
            LocalFree(p);
    }
};
template <typename T> using TLocalPtr = std::unique_ptr<T, TLocalFree>;

// A kernel handle; null (and INVALID_HANDLE_VALUE from the snapshot call)
// means none.
class THandle {
public:
    THandle() noexcept = default;
    explicit THandle(HANDLE h) noexcept : h_(h) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() { reset(); }
    HANDLE get() const noexcept { return h_; }
    HANDLE* put() noexcept
    {
        reset();
        return &h_;
    }
    void reset(HANDLE h = nullptr) noexcept
    {
        if (h_ && h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = h;
    }
    explicit operator bool() const noexcept { return h_ && h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_ = nullptr;
};

// ---------------------------------------------------------------------------
// Well-known SIDs, built in place (no allocation, works on every NT version).

class TSid {
public:
    TSid(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> subAuthorities)
    {
        auto count = static_cast<BYTE>(subAuthorities.size());
        InitializeSid(Get(), &authority, count);
        DWORD i = 0;
        for (DWORD sub : subAuthorities)
            *GetSidSubAuthority(Get(), i++) = sub;
    }
    PSID Get() noexcept { return reinterpret_cast<PSID>(buffer_); }

private:
    alignas(DWORD) BYTE buffer_[SECURITY_MAX_SID_SIZE] = {};
};

constexpr SID_IDENTIFIER_AUTHORITY kWorldAuthority = {{0, 0, 0, 0, 0, 1}};
constexpr SID_IDENTIFIER_AUTHORITY kNtAuthority = {{0, 0, 0, 0, 0, 5}};
constexpr SID_IDENTIFIER_AUTHORITY kLabelAuthority = {{0, 0, 0, 0, 0, 16}};

TSid WorldSid()
{
    return TSid(kWorldAuthority, {0});
}
TSid AdministratorsSid()
{
    return TSid(kNtAuthority, {32, 544});
}
TSid UsersSid()
{
    return TSid(kNtAuthority, {32, 545});
}
TSid SystemSid()
{
    return TSid(kNtAuthority, {18});
}

// ---------------------------------------------------------------------------
// ACL building

struct TAceSpec {
    PSID sid;
    DWORD mask;
    BYTE flags;
};

// A new ACL (LocalAlloc) of ACCESS_ALLOWED entries. AddAccessAllowedAce and
// then the flags set on the entry: the Ex form is missing on NT 4.
PACL MakeAllowedAcl(std::initializer_list<TAceSpec> entries)
{
    DWORD size = sizeof(ACL);
    for (const TAceSpec& e : entries)
        size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(e.sid);
    size = (size + 3) & ~3u;
    TLocalPtr<ACL> acl(static_cast<PACL>(LocalAlloc(LPTR, size)));
    if (!acl || !InitializeAcl(acl.get(), size, ACL_REVISION))
        return nullptr;
    DWORD index = 0;
    for (const TAceSpec& e : entries) {
        if (!AddAccessAllowedAce(acl.get(), ACL_REVISION, e.mask, e.sid))
            return nullptr;
        void* ace = nullptr;
        if (!GetAce(acl.get(), index++, &ace))
            return nullptr;
        static_cast<ACE_HEADER*>(ace)->AceFlags = e.flags;
    }
    return acl.release();
}

// ---------------------------------------------------------------------------
// Shared records, built on first use and kept to process exit (never freed:
// other units hand them to the system until the very end).

struct TSharedRecord {
    PACL acl = nullptr;
    SECURITY_ATTRIBUTES* attributes = nullptr;
};

TSharedRecord MakeSharedRecord(PACL acl, bool protect)
{
    TSharedRecord record;
    record.acl = acl;
    if (!acl)
        return record;
    record.attributes = MakeSecurityAttributes(acl);
    if (record.attributes && protect)
        SetSecurityDescriptorControl(record.attributes->lpSecurityDescriptor, SE_DACL_PROTECTED,
                                     SE_DACL_PROTECTED);
    return record;
}

// ---------------------------------------------------------------------------
// Seams

std::mutex gSeamLock;
TAccountLookup gAccountLookup = nullptr;
TSetNamedSecurityInfo gSetNamedSecurityInfo = nullptr;
TUnelevatedStartSeams gStartSeams;

TUnelevatedStartSeams StartSeams()
{
    std::lock_guard lock(gSeamLock);
    return gStartSeams;
}

// ---------------------------------------------------------------------------
// Run-time bound functions

using TAddMandatoryAce = BOOL(WINAPI*)(PACL, DWORD, DWORD, DWORD, PSID);
using TZwQueryKey = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
using TQueryFullProcessImageNameA = BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD);
using TGetModuleFileNameExA = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);
using TWTSGetActiveConsoleSessionId = DWORD(WINAPI*)();
using TProcessIdToSessionId = BOOL(WINAPI*)(DWORD, DWORD*);
using TCreateToolhelp32Snapshot = HANDLE(WINAPI*)(DWORD, DWORD);
using TProcess32 = BOOL(WINAPI*)(HANDLE, tagPROCESSENTRY32*);
using TModule32First = BOOL(WINAPI*)(HANDLE, tagMODULEENTRY32*);
using TCreateProcessWithTokenW = BOOL(WINAPI*)(HANDLE, DWORD, LPCWSTR, LPWSTR, DWORD, LPVOID,
                                               LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);

TBoundProc<TAddMandatoryAce>& AddMandatoryAceProc()
{
    static TBoundProc<TAddMandatoryAce> proc{Advapi32Library(), "AddMandatoryAce"};
    return proc;
}

TSystemLibrary& PsapiLibrary()
{
    static TSystemLibrary library{"psapi.dll"};
    return library;
}

// Toolhelp is missing on NT 4: bound, so the program still starts there.
TBoundProc<TCreateToolhelp32Snapshot>& SnapshotProc()
{
    static TBoundProc<TCreateToolhelp32Snapshot> proc{Kernel32Library(),
                                                      "CreateToolhelp32Snapshot"};
    return proc;
}

constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr int kKeyNameInformation = 3;
constexpr DWORD kMediumIntegrity = 0x2000;
constexpr DWORD kTokenAllAccess = 0xF01FF;

// The variable-size part of a token query, two calls.
std::vector<BYTE> QueryToken(HANDLE token, TOKEN_INFORMATION_CLASS infoClass)
{
    DWORD size = 0;
    GetTokenInformation(token, infoClass, nullptr, 0, &size);
    if (size == 0)
        return {};
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, infoClass, buffer.data(), size, &size))
        return {};
    return buffer;
}

std::string SidToString(PSID sid)
{
    LPSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text))
        return {};
    TLocalPtr<char> owner(text);
    return text;
}

std::string CallerUserSid()
{
    THandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return {};
    return TokenUserSidString(token.get());
}

void RemoveAll(std::string& s, const std::string& what)
{
    for (size_t pos; (pos = s.find(what)) != std::string::npos;)
        s.erase(pos, what.size());
}

} // namespace

// ---------------------------------------------------------------------------
// Security descriptors

PACL MakeWorldAccessAcl(DWORD AccessMask, BYTE AceFlags)
{
    TSid world = WorldSid();
    return MakeAllowedAcl({{world.Get(), AccessMask, AceFlags}});
}

SECURITY_ATTRIBUTES* MakeSecurityAttributes(PACL Acl)
{
    TLocalPtr<void> descriptor(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor ||
        !InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(descriptor.get(), TRUE, Acl, FALSE))
        return nullptr;
    auto* attributes =
        static_cast<SECURITY_ATTRIBUTES*>(LocalAlloc(LPTR, sizeof(SECURITY_ATTRIBUTES)));
    if (!attributes)
        return nullptr;
    attributes->nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes->lpSecurityDescriptor = descriptor.release();
    attributes->bInheritHandle = FALSE;
    return attributes;
}

void FreeSecurityAttributes(SECURITY_ATTRIBUTES* Attributes)
{
    if (!Attributes)
        return;
    if (Attributes->lpSecurityDescriptor)
        LocalFree(Attributes->lpSecurityDescriptor);
    LocalFree(Attributes);
}

SECURITY_ATTRIBUTES* GetSharedSecurityAttributes()
{
    static const TSharedRecord record = MakeSharedRecord(MakeWorldAccessAcl(kFileAllAccess), false);
    return record.attributes;
}

SECURITY_ATTRIBUTES* GetSharedKeySecurityAttributes()
{
    static const TSharedRecord record = MakeSharedRecord(MakeWorldAccessAcl(kKeyAllAccess), false);
    return record.attributes;
}

SECURITY_ATTRIBUTES* GetProtectedSecurityAttributes()
{
    static const TSharedRecord record = [] {
        TSid admins = AdministratorsSid();
        TSid system = SystemSid();
        TSid users = UsersSid();
        PACL acl = MakeAllowedAcl({
            {admins.Get(), GENERIC_ALL, kInheritFlags},
            {system.Get(), GENERIC_ALL, kInheritFlags},
            {users.Get(), GENERIC_READ | GENERIC_EXECUTE, kInheritFlags},
        });
        return MakeSharedRecord(acl, true);
    }();
    return record.attributes;
}

std::string LookupTrusteeName(PSID Sid, const std::string& Fallback)
{
    TAccountLookup lookup = nullptr;
    {
        std::lock_guard lock(gSeamLock);
        lookup = gAccountLookup;
    }
    if (!lookup)
        lookup = &::LookupAccountSidA;
    char name[1024] = {};
    char domain[1024] = {};
    DWORD nameSize = sizeof(name);
    DWORD domainSize = sizeof(domain);
    SID_NAME_USE use{};
    if (!Sid || !lookup(nullptr, Sid, name, &nameSize, domain, &domainSize, &use) || !name[0])
        return Fallback;
    name[sizeof(name) - 1] = '\0';
    return name;
}

const std::string& WorldTrusteeName()
{
    static const std::string name = [] {
        TSid world = WorldSid();
        return LookupTrusteeName(world.Get(), "Everyone");
    }();
    return name;
}

const std::string& AdministratorsTrusteeName()
{
    static const std::string name = [] {
        TSid admins = AdministratorsSid();
        return LookupTrusteeName(admins.Get(), "Administrators");
    }();
    return name;
}

PACL AddTrusteeAccess(PACL Acl, const std::string& TrusteeName, DWORD AccessMask)
{
    EXPLICIT_ACCESS_A access{};
    std::string name = TrusteeName;
    BuildExplicitAccessWithNameA(&access, name.data(), AccessMask, GRANT_ACCESS, NO_INHERITANCE);
    PACL newAcl = nullptr;
    DWORD result = SetEntriesInAclA(1, &access, Acl, &newAcl);
    if (result != ERROR_SUCCESS) {
        if (newAcl)
            LocalFree(newAcl);
        SetLastError(result);
        return nullptr;
    }
    return newAcl;
}

PSECURITY_DESCRIPTOR GrantTrusteeFullAccess(PSECURITY_DESCRIPTOR Descriptor,
                                            const std::string& TrusteeName)
{
    if (!Descriptor || !IsValidSecurityDescriptor(Descriptor))
        return nullptr;

    // MakeAbsoluteSD takes only the self-relative form: an absolute input is
    // packed first (into a copy; the caller's descriptor stays as it is).
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(Descriptor, &control, &revision))
        return nullptr;
    std::vector<BYTE> packed;
    PSECURITY_DESCRIPTOR selfRelative = Descriptor;
    if (!(control & SE_SELF_RELATIVE)) {
        DWORD size = 0;
        MakeSelfRelativeSD(Descriptor, nullptr, &size);
        if (size == 0)
            return nullptr;
        packed.resize(size);
        if (!MakeSelfRelativeSD(Descriptor, packed.data(), &size))
            return nullptr;
        selfRelative = packed.data();
    }

    // The first call gives the sizes of the five parts.
    DWORD sdSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;
    MakeAbsoluteSD(selfRelative, nullptr, &sdSize, nullptr, &daclSize, nullptr, &saclSize, nullptr,
                   &ownerSize, nullptr, &groupSize);
    if (sdSize == 0)
        return nullptr;
    auto buffer = [](DWORD size) { return std::vector<BYTE>(size ? size : 1); };
    std::vector<BYTE> sdBuf = buffer(sdSize), daclBuf = buffer(daclSize),
                      saclBuf = buffer(saclSize), ownerBuf = buffer(ownerSize),
                      groupBuf = buffer(groupSize);
    PSECURITY_DESCRIPTOR absolute = sdBuf.data();
    if (!MakeAbsoluteSD(selfRelative, absolute, &sdSize, reinterpret_cast<PACL>(daclBuf.data()),
                        &daclSize, reinterpret_cast<PACL>(saclBuf.data()), &saclSize,
                        ownerBuf.data(), &ownerSize, groupBuf.data(), &groupSize))
        return nullptr;

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(absolute, &present, &dacl, &defaulted))
        return nullptr;
    TLocalPtr<ACL> newAcl(AddTrusteeAccess(present ? dacl : nullptr, TrusteeName, GENERIC_ALL));
    if (!newAcl || !SetSecurityDescriptorDacl(absolute, TRUE, newAcl.get(), FALSE))
        return nullptr;

    DWORD resultSize = 0;
    MakeSelfRelativeSD(absolute, nullptr, &resultSize);
    if (resultSize == 0)
        return nullptr;
    TLocalPtr<void> result(LocalAlloc(LPTR, resultSize));
    if (!result || !MakeSelfRelativeSD(absolute, result.get(), &resultSize))
        return nullptr;
    return result.release();
}

bool SetObjectIntegrityLabel(const std::string& ObjectName, SE_OBJECT_TYPE ObjectType,
                             DWORD IntegrityRid, DWORD Policy)
{
    if (!IsVistaOrLater())
        return false;
    TAddMandatoryAce addMandatoryAce = AddMandatoryAceProc().Get();
    if (!addMandatoryAce)
        return false;

    alignas(DWORD) BYTE aclBuffer[64] = {};
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    TSid label(kLabelAuthority, {IntegrityRid});
    if (!InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION_DS) ||
        !addMandatoryAce(acl, ACL_REVISION_DS, 0, Policy, label.Get()))
        return false;

    TSetNamedSecurityInfo setNamed = nullptr;
    {
        std::lock_guard lock(gSeamLock);
        setNamed = gSetNamedSecurityInfo;
    }
    if (!setNamed)
        setNamed = &::SetNamedSecurityInfoA;
    std::string name = ObjectName;
    DWORD result = setNamed(name.data(), ObjectType, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                            nullptr, acl);
    SetLastError(result);
    return result == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Registry keys

bool RegGetKeyOwnerName(HKEY Root, const std::string& Path, std::string& Owner)
{
    if (!IsWinNT())
        return false;
    TRegKey key;
    if (RegOpenKeyExA(Root, Path.c_str(), 0, KEY_READ | RegViewAccessBit(), key.put()) !=
        ERROR_SUCCESS)
        return false;
    PSID ownerSid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(key.get(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, &ownerSid, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    TLocalPtr<void> descriptorOwner(descriptor);
    std::string name = LookupTrusteeName(ownerSid, std::string());
    if (name.empty())
        return false;
    Owner = std::move(name);
    return true;
}

std::wstring GetKeyNameFromHandle(HKEY Key)
{
    static TBoundProc<TZwQueryKey> zwQueryKey{NtdllLibrary(), "ZwQueryKey"};
    TZwQueryKey query = zwQueryKey.Get();
    if (!query || !Key)
        return {};
    // KEY_NAME_INFORMATION: a ULONG byte length, then the name (no NUL).
    std::vector<BYTE> buffer(1024);
    ULONG needed = 0;
    LONG status =
        query(Key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    // A name that fits only in part gives BUFFER_OVERFLOW; TOO_SMALL comes only
    // below the fixed part. Both report the size needed.
    if ((status == kStatusBufferOverflow || status == kStatusBufferTooSmall) &&
        needed > buffer.size()) {
        buffer.assign(needed, 0);
        status = query(Key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                       &needed);
    }
    if (status != 0 || buffer.size() < sizeof(ULONG))
        return {};
    ULONG length = 0;
    memcpy(&length, buffer.data(), sizeof(length));
    if (length > buffer.size() - sizeof(ULONG))
        return {};
    std::wstring name(length / sizeof(wchar_t), L'\0');
    memcpy(name.data(), buffer.data() + sizeof(ULONG), name.size() * sizeof(wchar_t));
    return name;
}

// ---------------------------------------------------------------------------
// Processes and tokens

bool ProcessIsWow64(HANDLE Process)
{
    static TBoundProc<decltype(&::IsWow64Process)> isWow64Process{Kernel32Library(),
                                                                  "IsWow64Process"};
    auto fn = isWow64Process.Get();
    if (!fn)
        return false;
    BOOL wow64 = FALSE;
    if (!fn(Process, &wow64))
        return false;
    return wow64 != FALSE;
}

std::string GetProcessImagePath(DWORD ProcessId)
{
    std::string path;
    if (IsVistaOrLater()) {
        static TBoundProc<TQueryFullProcessImageNameA> queryFull{Kernel32Library(),
                                                                 "QueryFullProcessImageNameA"};
        if (auto fn = queryFull.Get()) {
            THandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ProcessId));
            std::string buffer(32768, '\0');
            DWORD size = static_cast<DWORD>(buffer.size());
            if (process && fn(process.get(), 0, buffer.data(), &size) && size > 0)
                path.assign(buffer.data(), size);
        }
    }
    if (path.empty()) {
        static TBoundProc<TGetModuleFileNameExA> moduleFileName{PsapiLibrary(),
                                                                "GetModuleFileNameExA"};
        if (auto fn = moduleFileName.Get()) {
            THandle process(
                OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ProcessId));
            std::string buffer(32768, '\0');
            DWORD size = 0;
            if (process && (size = fn(process.get(), nullptr, buffer.data(),
                                      static_cast<DWORD>(buffer.size()))) > 0)
                path.assign(buffer.data(), size);
        }
    }
    if (path.empty()) {
        static TBoundProc<TModule32First> moduleFirst{Kernel32Library(), "Module32First"};
        auto snapshotFn = SnapshotProc().Get();
        auto firstFn = moduleFirst.Get();
        if (snapshotFn && firstFn) {
            THandle snapshot(snapshotFn(TH32CS_SNAPMODULE, ProcessId));
            tagMODULEENTRY32 entry{};
            entry.dwSize = sizeof(entry);
            if (snapshot && firstFn(snapshot.get(), &entry)) {
                entry.szExePath[sizeof(entry.szExePath) - 1] = '\0';
                path = entry.szExePath;
            }
        }
    }
    RemoveAll(path, "\\??\\");
    return path;
}

DWORD GetProcessIntegrityLevel(HANDLE Process)
{
    if (!IsVistaOrLater())
        return 0;
    THandle token;
    if (!OpenProcessToken(Process, TOKEN_QUERY, token.put()))
        return 0;
    std::vector<BYTE> info = QueryToken(token.get(), TokenIntegrityLevel);
    if (info.size() < sizeof(TOKEN_MANDATORY_LABEL))
        return 0;
    PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(info.data())->Label.Sid;
    if (!sid || !IsValidSid(sid))
        return 0;
    UCHAR count = *GetSidSubAuthorityCount(sid);
    if (count == 0)
        return 0;
    return *GetSidSubAuthority(sid, count - 1);
}

namespace {

// The rights through which another account could change a trusted object.
constexpr DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr char kTrustedInstallerSid[] =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

std::string SidString(PSID Sid)
{
    char* text = nullptr;
    if (!Sid || !IsValidSid(Sid) || !ConvertSidToStringSidA(Sid, &text))
        return {};
    TLocalPtr<char> owner(text);
    return text;
}

bool IsTrustedSid(PSID Sid)
{
    if (!Sid || !IsValidSid(Sid))
        return false;
    TSid admins = AdministratorsSid();
    TSid system = SystemSid();
    if (EqualSid(Sid, admins.Get()) || EqualSid(Sid, system.Get()))
        return true;
    const std::string text = SidString(Sid);
    return !text.empty() && (text == kTrustedInstallerSid || text == OwnFilesOwnerSid());
}

// The SID of an allow entry, or null for a kind whose layout is not the
// plain one (object entries place it after optional GUIDs).
PSID AllowedSid(const ACE_HEADER* Header)
{
    switch (Header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        return const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(Header)->SidStart);
    default:
        return nullptr;
    }
}

bool IsAllowEntry(BYTE Type)
{
    return Type == ACCESS_ALLOWED_ACE_TYPE || Type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           Type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
           Type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

} // namespace

bool IsTrustedDescriptor(PSECURITY_DESCRIPTOR Descriptor)
{
    if (!Descriptor || !IsValidSecurityDescriptor(Descriptor))
        return false;
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    if (!GetSecurityDescriptorOwner(Descriptor, &owner, &ownerDefaulted) || !IsTrustedSid(owner))
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(Descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return false; // a NULL DACL lets everyone do everything
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            return false;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (!IsAllowEntry(header->AceType) || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const DWORD mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
        if ((mask & kChangeRights) && !IsTrustedSid(AllowedSid(header)))
            return false;
    }
    return true;
}

const std::string& OwnFilesOwnerSid()
{
    static const std::string sid = []() -> std::string {
        if (!IsProcessElevated())
            return {};
        char folder[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathA(sizeof folder, folder);
        if (length == 0 || length >= sizeof folder)
            return {};
        const std::string name = std::string(folder) + "korv-owner-" +
                                 std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(GetTickCount()) + ".tmp";
        THandle file(CreateFileA(name.c_str(), GENERIC_WRITE | READ_CONTROL, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (!file)
            return {};
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
            return {};
        TLocalPtr<void> keep(descriptor);
        return SidString(owner);
    }();
    return sid;
}

bool IsProcessElevated()
{
    if (!IsVistaOrLater())
        return true;
    THandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size))
        return false;
    return elevation.TokenIsElevated != 0;
}

DWORD GetActiveConsoleSessionId()
{
    if (auto seam = StartSeams().ConsoleSessionId)
        return seam();
    static TBoundProc<TWTSGetActiveConsoleSessionId> consoleSession{Kernel32Library(),
                                                                    "WTSGetActiveConsoleSessionId"};
    auto fn = consoleSession.Get();
    return fn ? fn() : 0;
}

DWORD GetProcessSessionId(DWORD ProcessId)
{
    static TBoundProc<TProcessIdToSessionId> toSession{Kernel32Library(), "ProcessIdToSessionId"};
    auto fn = toSession.Get();
    if (!fn)
        return 0; // a system without sessions: everything runs in session 0
    DWORD session = 0;
    if (!fn(ProcessId, &session))
        return 0xFFFFFFFF;
    return session;
}

DWORD FindProcessInSession(const std::string& ExeName, DWORD SessionId)
{
    static TBoundProc<TProcess32> processFirst{Kernel32Library(), "Process32First"};
    static TBoundProc<TProcess32> processNext{Kernel32Library(), "Process32Next"};
    auto snapshotFn = SnapshotProc().Get();
    auto firstFn = processFirst.Get();
    auto nextFn = processNext.Get();
    if (!snapshotFn || !firstFn || !nextFn)
        return kNoProcess;
    if (SessionId == kConsoleSession)
        SessionId = GetActiveConsoleSessionId();

    THandle snapshot(snapshotFn(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return kNoProcess;
    tagPROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = firstFn(snapshot.get(), &entry); ok; ok = nextFn(snapshot.get(), &entry)) {
        entry.szExeFile[sizeof(entry.szExeFile) - 1] = '\0';
        // Windows 9x gives a full path here, NT the file name.
        std::string name = entry.szExeFile;
        size_t slash = name.find_last_of("\\/");
        if (slash != std::string::npos)
            name.erase(0, slash + 1);
        if (SameText(name, ExeName) && GetProcessSessionId(entry.th32ProcessID) == SessionId)
            return entry.th32ProcessID;
    }
    return kNoProcess;
}

std::string TokenUserSidString(HANDLE Token)
{
    std::vector<BYTE> info = QueryToken(Token, TokenUser);
    if (info.size() < sizeof(TOKEN_USER))
        return {};
    return SidToString(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid);
}

bool StartProcessUnelevated(const std::wstring& CommandLine)
{
    const TUnelevatedStartSeams seams = StartSeams();
    // Both starting calls may write into the command line.
    std::wstring commandLine = CommandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    auto closeChild = [&process] {
        THandle thread(process.hThread);
        THandle child(process.hProcess);
    };

    const bool vista = seams.VistaOrLater ? seams.VistaOrLater() : IsVistaOrLater();
    const DWORD level = !vista                    ? 0
                        : seams.OwnIntegrityLevel ? seams.OwnIntegrityLevel()
                                                  : GetProcessIntegrityLevel(GetCurrentProcess());
    // An unknown level (0 from VISTA on) is no proof of running unelevated.
    if (!vista || (level != 0 && level <= kMediumIntegrity)) {
        BOOL started = seams.CreateProcess
                           ? seams.CreateProcess(commandLine.data(), startup, process)
                           : CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                            nullptr, nullptr, &startup, &process);
        closeChild();
        return started != FALSE;
    }

    // The shell of the caller's own session, not of the console's: under
    // remote desktop or fast user switching that one is another user's.
    const DWORD session =
        seams.OwnSessionId ? seams.OwnSessionId() : GetProcessSessionId(GetCurrentProcessId());
    if (session == 0xFFFFFFFF)
        return false;
    const DWORD shellId = seams.FindProcess ? seams.FindProcess("explorer.exe", session)
                                            : FindProcessInSession("explorer.exe", session);
    if (shellId == kNoProcess)
        return false;
    THandle shell(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shellId));
    if (!shell)
        return false;
    THandle shellToken;
    if (!OpenProcessToken(shell.get(), TOKEN_DUPLICATE | TOKEN_QUERY, shellToken.put()))
        return false;
    const std::string shellUser = seams.TokenUserSid ? seams.TokenUserSid(shellToken.get())
                                                     : TokenUserSidString(shellToken.get());
    const std::string callerUser = seams.CallerUserSid ? seams.CallerUserSid() : CallerUserSid();
    if (shellUser.empty() || shellUser != callerUser)
        return false;
    THandle primary;
    if (!DuplicateTokenEx(shellToken.get(), kTokenAllAccess, nullptr, SecurityImpersonation,
                          TokenPrimary, primary.put()))
        return false;

    BOOL started = FALSE;
    if (seams.CreateProcessWithToken) {
        started = seams.CreateProcessWithToken(primary.get(), commandLine.data(), startup, process);
    } else {
        static TBoundProc<TCreateProcessWithTokenW> withToken{Advapi32Library(),
                                                              "CreateProcessWithTokenW"};
        if (auto fn = withToken.Get())
            started = fn(primary.get(), 0, nullptr, commandLine.data(), 0, nullptr, nullptr,
                         &startup, &process);
    }
    closeChild();
    return started != FALSE;
}

// ---------------------------------------------------------------------------
// Seams

void SetAccountLookup(TAccountLookup Lookup) noexcept
{
    std::lock_guard lock(gSeamLock);
    gAccountLookup = Lookup;
}

void SetNamedSecurityInfoCall(TSetNamedSecurityInfo Call) noexcept
{
    std::lock_guard lock(gSeamLock);
    gSetNamedSecurityInfo = Call;
}

void SetUnelevatedStartSeams(const TUnelevatedStartSeams& Seams)
{
    std::lock_guard lock(gSeamLock);
    gStartSeams = Seams;
}
