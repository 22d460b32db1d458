#pragma once
// Security descriptors for the objects both programs share, full access for a
// named trustee on objects that refuse deletion, the owner and native name of
// a registry key, and processes and their tokens, down to starting a program
// without elevation with the desktop shell's own token.
//
// Nothing here raises: failures come back as False, nullptr, 0, 0xFFFFFFFF or
// ''. Functions that only newer systems have are bound by name and skipped
// when missing. Nothing is computed at static initialisation.

#include <windows.h>
#include <aclapi.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Security descriptors

// Access rights that the shared descriptors grant the world group.
inline constexpr DWORD kKeyAllAccess = 0x1F003F;  // KEY_ALL_ACCESS
inline constexpr DWORD kFileAllAccess = 0x1F01FF; // FILE_ALL_ACCESS
// Object and container inherit.
inline constexpr BYTE kInheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// A new ACL (LocalAlloc memory, free with LocalFree) with one ACCESS_ALLOWED
// entry for the world group (S-1-1-0), flags AceFlags, mask AccessMask.
PACL MakeWorldAccessAcl(DWORD AccessMask, BYTE AceFlags = kInheritFlags);

// A security descriptor with Acl as its DACL, in a security-attributes record
// (handles not inheritable). The record does not own Acl. Free with
// FreeSecurityAttributes; nullptr on failure.
SECURITY_ATTRIBUTES* MakeSecurityAttributes(PACL Acl);
void FreeSecurityAttributes(SECURITY_ATTRIBUTES* Attributes);

// Process-wide records, built on first use (thread-safe) and kept to process
// exit. Callers never free them.
//
// The world group with FILE_ALL_ACCESS, inheritable: only for data that the
// unelevated tray must write and that is not code (the translation folder and
// lng.ini).
SECURITY_ATTRIBUTES* GetSharedSecurityAttributes();
// The world group with KEY_ALL_ACCESS, inheritable.
SECURITY_ATTRIBUTES* GetSharedKeySecurityAttributes();
// For everything the elevated program later executes, loads or trusts as
// commands or configuration: Administrators and SYSTEM GENERIC_ALL, Users
// GENERIC_READ | GENERIC_EXECUTE, each inheritable (flags 3), nothing for the
// world group, and the DACL protected so that a parent's grants (ProgramData
// lets Users create and write) are not merged in. Serves files, folders and
// keys alike (generic rights).
SECURITY_ATTRIBUTES* GetProtectedSecurityAttributes();

// The local account names of the world group ("Everyone" on English systems)
// and of BUILTIN\Administrators, looked up once with LookupAccountSidA; the
// English name when the lookup fails. For the trustee-name calls below.
const std::string& WorldTrusteeName();
const std::string& AdministratorsTrusteeName();
// The account name (without domain) of Sid through the account lookup (see
// SetAccountLookup); Fallback when it fails.
std::string LookupTrusteeName(PSID Sid, const std::string& Fallback);

// A new ACL (free with LocalFree): Acl's entries (Acl may be nullptr) plus an
// explicit grant of AccessMask for the named trustee (BuildExplicitAccessWithNameA,
// SetEntriesInAclA). nullptr on failure; SetLastError holds the reason.
PACL AddTrusteeAccess(PACL Acl, const std::string& TrusteeName, DWORD AccessMask);

// A new self-relative descriptor (free with LocalFree) that is Descriptor with
// GENERIC_ALL (0x10000000) for the named trustee added to its DACL; the other
// parts (owner, group, SACL, the old entries) are kept. Descriptor may be
// self-relative or absolute and is not changed. nullptr on failure.
PSECURITY_DESCRIPTOR GrantTrusteeFullAccess(PSECURITY_DESCRIPTOR Descriptor,
                                            const std::string& TrusteeName);

// From VISTA on, when AddMandatoryAce exists: labels the named object with one
// mandatory-label entry (ACL revision 4, no ACE flags, Policy) for the SID
// S-1-16-IntegrityRid through SetNamedSecurityInfoA(LABEL_SECURITY_INFORMATION).
// The thread's last error is set to the call's result; True when it is 0.
// Before VISTA or without AddMandatoryAce nothing is done: False.
inline constexpr DWORD kLowIntegrityRid = 0x1000;
inline constexpr DWORD kNoWriteUpPolicy = 1;
bool SetObjectIntegrityLabel(const std::string& ObjectName, SE_OBJECT_TYPE ObjectType,
                             DWORD IntegrityRid, DWORD Policy);

// ---------------------------------------------------------------------------
// Trust in what the elevated program reads

// A file or folder that every user's programs, or the elevated program, read
// as commands, registry data or captions is trusted when its owner is
// Administrators, SYSTEM, TrustedInstaller or the account that owns what this
// process creates while it runs elevated (on Windows that is Administrators
// again; Wine gives every file the one account it runs as), and when no allow
// entry that applies to the object itself (inherit-only ones do not) gives
// any other account a right to write, append, delete, delete children,
// change the permissions or take ownership (or GENERIC_WRITE, GENERIC_ALL).
// A NULL DACL, or a descriptor that cannot be read, is not trusted.
bool IsTrustedDescriptor(PSECURITY_DESCRIPTOR Descriptor);
// The string SID of the account that owns what this process creates, found
// once by making (and dropping) a file in the temporary folder; '' when the
// process is not elevated or nothing could be made.
const std::string& OwnFilesOwnerSid();

// ---------------------------------------------------------------------------
// Registry keys

// NT only: the account name (without domain) of the key's owner. The key is
// opened for reading in the calling thread's registry view. Owner untouched on
// False.
bool RegGetKeyOwnerName(HKEY Root, const std::string& Path, std::string& Owner);

// The native full name of an open key ("\REGISTRY\MACHINE\..."), from
// ZwQueryKey(KeyNameInformation); '' on failure.
std::wstring GetKeyNameFromHandle(HKEY Key);

// ---------------------------------------------------------------------------
// Processes and tokens

// IsWow64Process, bound once; False when it is missing or fails. A 64-bit
// process is not under Wow64 (False) even on 64-bit Windows.
bool ProcessIsWow64(HANDLE Process);
// The full path of a process's executable; '' when nothing finds it.
std::string GetProcessImagePath(DWORD ProcessId);
// The RID of the token's integrity level (0x2000 medium, 0x3000 high); 0
// before VISTA or on failure.
DWORD GetProcessIntegrityLevel(HANDLE Process);
// True before VISTA; otherwise the own token's TokenElevation.
bool IsProcessElevated();
// The session attached to the physical console; 0 where the system has no
// such call.
DWORD GetActiveConsoleSessionId();
// The Windows session of a process (ProcessIdToSessionId); 0xFFFFFFFF on failure.
DWORD GetProcessSessionId(DWORD ProcessId);
inline constexpr DWORD kConsoleSession = 0xFFFFFFFF; // as a SessionId argument
inline constexpr DWORD kNoProcess = 0xFFFFFFFF;      // as a result
// The first process whose executable file name equals ExeName (ignoring case)
// and that runs in SessionId (kConsoleSession: the active console session);
// kNoProcess when none does.
DWORD FindProcessInSession(const std::string& ExeName, DWORD SessionId);
// The string form ("S-1-5-...") of the user SID of a token; '' on failure.
std::string TokenUserSidString(HANDLE Token);

// Starts CommandLine as the logged-on user, never elevated (the tray must
// never run elevated): before VISTA or at medium integrity or below a plain
// CreateProcessW; otherwise with a primary copy of the token of explorer.exe
// running in the caller's own Windows session, and only when that token's
// user is the caller's (under fast user switching or remote desktop the
// console's shell may be someone else's). No plain start as a fallback:
// False when nothing was started. Every handle is closed, the child's too.
bool StartProcessUnelevated(const std::wstring& CommandLine);

// ---------------------------------------------------------------------------
// Test seams. Empty members use the real calls. Set them while nothing else
// runs the code they replace; a default-made record restores everything.

// The account lookup of RegGetKeyOwnerName and LookupTrusteeName.
using TAccountLookup = BOOL(WINAPI*)(LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD, PSID_NAME_USE);
void SetAccountLookup(TAccountLookup Lookup) noexcept;
// The call that applies an integrity label (SetNamedSecurityInfoA).
using TSetNamedSecurityInfo = DWORD(WINAPI*)(LPSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID,
                                             PSID, PACL, PACL);
void SetNamedSecurityInfoCall(TSetNamedSecurityInfo Call) noexcept;

// The decisions of StartProcessUnelevated.
struct TUnelevatedStartSeams {
    std::function<DWORD()> OwnIntegrityLevel;
    std::function<bool()> VistaOrLater;
    std::function<DWORD()> OwnSessionId;
    // Also answers GetActiveConsoleSessionId while set.
    std::function<DWORD()> ConsoleSessionId;
    std::function<DWORD(const std::string& ExeName, DWORD SessionId)> FindProcess;
    // User SID strings of the caller and of a token of another process.
    std::function<std::string()> CallerUserSid;
    std::function<std::string(HANDLE Token)> TokenUserSid;
    std::function<BOOL(LPWSTR CommandLine, STARTUPINFOW& Startup, PROCESS_INFORMATION& Process)>
        CreateProcess;
    std::function<BOOL(HANDLE Token, LPWSTR CommandLine, STARTUPINFOW& Startup,
                       PROCESS_INFORMATION& Process)>
        CreateProcessWithToken;
};
void SetUnelevatedStartSeams(const TUnelevatedStartSeams& Seams);
