#pragma once
// The one layer through which both programs read and write the registry.
// Every operation takes a root and a key path and opens, acts and closes in
// one call; no key handle survives a call. Paths, names and string data are
// 8-bit text in the system code page (the A functions), except the two wide
// readers.
//
// Views: on 64-bit Windows every open, create and delete of this layer is
// steered into one registry view by the calling thread's RegView32/RegView64
// flags. Nothing here raises for registry failures: results are False, 0 or
// '' and outputs stay untouched unless a function says otherwise. The one
// exception that passes through is the binding error of RegDeleteKeyExA.

#include "platform/DateTimeU.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Views

// Per-thread view flags, both False when a thread starts. RegView64 wins when
// both are set. The settings, usage counters and autostart code work with
// RegView32 True and RegView64 False. Prefer TRegViewScope to setting them by
// hand: an early return or an exception must never leave a thread in the
// 64-bit view.
extern thread_local bool RegView32;
extern thread_local bool RegView64;

// Sets both flags for its lifetime and restores the previous pair when it
// ends, however the scope is left. Not copyable; lives on one thread.
class TRegViewScope {
public:
    TRegViewScope(bool view32, bool view64) noexcept;
    ~TRegViewScope();
    TRegViewScope(const TRegViewScope&) = delete;
    TRegViewScope& operator=(const TRegViewScope&) = delete;

private:
    bool old32_;
    bool old64_;
};

// The KEY_WOW64_* bit that the calling thread's flags add to an access mask:
// KEY_WOW64_64KEY when RegView64, else KEY_WOW64_32KEY when RegView32, else
// the program's own view; 0 on 32-bit Windows. Other units that open keys in
// the thread's view (the key owner lookup) add this bit too.
REGSAM RegViewAccessBit() noexcept;

// The same decision as a pure function. process64 tells whether the caller is
// a 64-bit program, whose "no flag" would otherwise mean the 64-bit view.
REGSAM RegViewAccessBitFor(bool isWin64, bool process64, bool view32, bool view64) noexcept;

// Access masks of the layer (the view bit is added to each).
inline constexpr REGSAM kRegReadAccess = KEY_READ;   // 0x20019
inline constexpr REGSAM kRegWriteAccess = KEY_WRITE; // 0x20006
inline constexpr REGSAM kRegTreeDeleteAccess =
    0x2000F; // KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY
inline constexpr REGSAM kRegGrantAccess = MAXIMUM_ALLOWED;

// ---------------------------------------------------------------------------
// Key handles

// Owns one key that a caller opened itself (for the few calls this layer does
// not wrap); predefined roots are never put in here. Not copyable; put()
// closes what it held and hands out the slot for RegOpenKeyEx* and friends.
class TRegKey {
public:
    TRegKey() = default;
    ~TRegKey() { reset(); }
    TRegKey(const TRegKey&) = delete;
    TRegKey& operator=(const TRegKey&) = delete;

    HKEY get() const noexcept { return key_; }
    HKEY* put() noexcept
    {
        reset();
        return &key_;
    }
    void reset() noexcept
    {
        if (key_)
            RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
};

// ---------------------------------------------------------------------------
// Names and locations: '<root name>\<key path>'

// "HKCR", "HKCU", "HKLM", "HKU", or "HKUNKNOWN" for any other handle.
std::string RegRootToName(HKEY Root);
// Upper-cased and compared with the four short names; nullptr otherwise (the
// long HKEY_... forms are not names of this layer).
HKEY RegNameToRoot(std::string_view Name);
// RegRootToName(Root) + "\" + Path.
std::string RegJoinKeyPath(HKEY Root, std::string_view Path);
// Splits at the first backslash. True with Root and Path set when the text
// before it is a root name ('HKLM\' gives True and ''); False, outputs
// untouched, without a backslash or with an unknown root name.
bool RegSplitKeyPath(std::string_view Text, HKEY& Root, std::string& Path);
// 1-based position of the last Ch in S; 0 when absent.
int LastCharPos(char Ch, std::string_view S);

// ---------------------------------------------------------------------------
// Core operations. An empty Name is the key's default value.

// Creates or opens the key (non-volatile) and sets the value. The thread's last
// error is the create's result, then the set's. True when the set succeeded.
bool RegWriteValue(HKEY Root, const std::string& Path, const std::string& Name, DWORD ValueType,
                   const void* Data, DWORD Size);
// Reads a value whose stored type equals ExpectedType; Data gets exactly the
// stored bytes (no terminator added). A value that grew between the size
// query and the read is retried once.
bool RegReadValue(HKEY Root, const std::string& Path, const std::string& Name, DWORD ExpectedType,
                  std::vector<BYTE>& Data);
// The same through the wide registry functions.
bool RegReadValueW(HKEY Root, const std::wstring& Path, const std::wstring& Name,
                   DWORD ExpectedType, std::vector<BYTE>& Data);

// ---------------------------------------------------------------------------
// Names that hold a NUL
//
// A registry name may hold a NUL. A value name is carried with its length to
// the counted calls of ntdll by every function of this layer; a key path that
// holds one is refused (False, ERROR_INVALID_NAME), never opened by the part
// before the NUL, since no terminated call can name such a key.

bool RegNameHoldsNul(std::string_view Name) noexcept;
// The value of an open key (not a predefined root) by its counted name: type
// and the data as stored.
LONG RegQueryValueCounted(HKEY Key, const std::wstring& Name, DWORD& Type, std::vector<BYTE>& Data);
LONG RegSetValueCounted(HKEY Key, const std::wstring& Name, DWORD Type, const void* Data,
                        DWORD Size);
LONG RegDeleteValueCounted(HKEY Key, const std::wstring& Name);
// The same with an 8-bit name (converted with its length) and string data in
// the code page, as the ...A calls give and take it.
LONG RegQueryValueCountedA(HKEY Key, const std::string& Name, DWORD& Type,
                           std::vector<BYTE>& Data);
LONG RegSetValueCountedA(HKEY Key, const std::string& Name, DWORD Type, const void* Data,
                         DWORD Size);

// ---------------------------------------------------------------------------
// Typed writers

// Types 1 and 2: Value and one NUL; 3: Value's bytes as they are; 7
// (REG_MULTI_SZ): Value and two NULs. Any other type writes nothing: False.
bool RegWriteStringTyped(HKEY Root, const std::string& Path, const std::string& Name,
                         DWORD ValueType, const std::string& Value);
bool RegWriteString(HKEY Root, const std::string& Path, const std::string& Name,
                    const std::string& Value);
bool RegWriteExpandString(HKEY Root, const std::string& Path, const std::string& Name,
                          const std::string& Value);
// REG_DWORD, 4 bytes little-endian; two names for one operation.
bool RegWriteDWord(HKEY Root, const std::string& Path, const std::string& Name, DWORD Value);
bool RegWriteInteger(HKEY Root, const std::string& Path, const std::string& Name, int32_t Value);
// REG_BINARY holding the 8 raw bytes of the date-time double.
bool RegWriteDateTime(HKEY Root, const std::string& Path, const std::string& Name, TDateTime Value);
// REG_BINARY of the bytes that the hexadecimal text spells, two digits a byte
// (either case). Odd length or a non-hex character writes nothing: False.
bool RegWriteBinaryHex(HKEY Root, const std::string& Path, const std::string& Name,
                       std::string_view HexText);
// The hexadecimal text of the binary functions, for data of any type: Bytes as
// two upper-case digits a byte, and back (either case; odd length or a non-hex
// character gives False, Bytes untouched).
std::string RegBytesToHex(const std::vector<BYTE>& Bytes);
bool RegHexToBytes(std::string_view HexText, std::vector<BYTE>& Bytes);

// ---------------------------------------------------------------------------
// Typed readers. A value of another type counts as missing. String readers cut
// only terminators that are present (one NUL; up to two for REG_MULTI_SZ), so
// stored data without its terminator loses nothing and size 0 reads as ''.

// REG_SZ only.
bool RegReadString(HKEY Root, const std::string& Path, const std::string& Name, std::string& Value);
// REG_EXPAND_SZ only; environment variables are not expanded.
bool RegReadExpandString(HKEY Root, const std::string& Path, const std::string& Name,
                         std::string& Value);
// REG_MULTI_SZ only: the items with their NUL separators, the final NULs removed.
bool RegReadMultiString(HKEY Root, const std::string& Path, const std::string& Name,
                        std::string& Value);
// Learns the type first and takes 1, 2, 3 and 7; REG_BINARY comes back byte
// for byte. Other types: False, outputs untouched.
bool RegReadStringTyped(HKEY Root, const std::string& Path, const std::string& Name,
                        DWORD& ValueType, std::string& Value);
// Types 1, 2 and 7 through the wide functions; one trailing wide NUL removed
// when present.
bool RegReadWideString(HKEY Root, const std::wstring& Path, const std::wstring& Name,
                       std::wstring& Value);
// REG_DWORD of exactly 4 bytes; 0 when missing (any other size is missing).
DWORD RegReadDWord(HKEY Root, const std::string& Path, const std::string& Name);
int32_t RegReadInteger(HKEY Root, const std::string& Path, const std::string& Name);
// True only for a 4-byte REG_DWORD equal to 1.
bool RegReadBool(HKEY Root, const std::string& Path, const std::string& Name);
// REG_BINARY of exactly 8 bytes; 0 when missing (any other size is missing).
TDateTime RegReadDateTime(HKEY Root, const std::string& Path, const std::string& Name);
// REG_BINARY as upper-case hexadecimal text, two digits a byte.
bool RegReadBinaryHex(HKEY Root, const std::string& Path, const std::string& Name,
                      std::string& HexText);

// ---------------------------------------------------------------------------
// Tests and deletion

bool RegValueExists(HKEY Root, const std::string& Path, const std::string& Name);
// ValueType gets the REG_* type, or 0 when the value is missing. True when found.
bool RegGetValueType(HKEY Root, const std::string& Path, const std::string& Name, DWORD& ValueType);
bool RegKeyExists(HKEY Root, const std::string& Path);
bool RegRemoveValue(HKEY Root, const std::string& Path, const std::string& Name);
// Deletes SubKey of an open key (it must have no sub-keys); result is the Win32
// code. On 64-bit Windows RegDeleteKeyExA with the thread's view bit, bound at
// first use: a missing library or function raises EBindingError (not caught).
LONG RegRemoveSubKey(HKEY Key, const std::string& SubKey);
// Removes the last component of Path from its parent (the text before the last
// backslash). False when Path holds no backslash or the key has sub-keys.
bool RegRemoveKey(HKEY Root, const std::string& Path);
// Removes Path and, when Recursive, everything below it first. A path without a
// backslash (a key right below a root) is refused untouched. The first sub-key
// that cannot be removed ends it with False.
bool RegRemoveKeyTree(HKEY Root, const std::string& Path, bool Recursive);

// ---------------------------------------------------------------------------
// Enumeration

inline constexpr int kRegNamesValues = 0;
inline constexpr int kRegNamesSubKeys = 1;

// Kind 0: value names; Kind 1: sub-key names; in index order, each followed by
// CR LF (the default value shows as an empty line; an empty key gives '').
// Names of any length are read whole. True when the key opened and the
// enumeration ran to its end; Text untouched on False.
bool RegGetNames(HKEY Root, const std::string& Path, std::string& Text, int Kind);
bool RegGetValueNames(HKEY Root, const std::string& Path, std::string& Text);
bool RegGetSubKeyNames(HKEY Root, const std::string& Path, std::string& Text);
// The names of such a text, in order: each line without its CR LF (a last
// line without one counts too; '' gives none).
std::vector<std::string> RegSplitNames(const std::string& Text);

// ---------------------------------------------------------------------------
// Key security

struct TLocalFreeDeleter {
    void operator()(void* p) const noexcept
    {
        if (p)
            LocalFree(p);
    }
};
// A self-relative security descriptor in LocalAlloc memory.
using TSecurityDescriptorPtr = std::unique_ptr<void, TLocalFreeDeleter>;

// The key's descriptor for SecurityInfo; null on failure.
TSecurityDescriptorPtr RegGetKeySecurityDescriptor(HKEY Key, SECURITY_INFORMATION SecurityInfo);
// NT only: adds a GENERIC_ALL entry for the Administrators group to the key's
// DACL, so the elevated program can delete a key that refuses it; no entry for
// every user is ever added. True when the new DACL was written.
bool RegGrantKeyFullAccess(HKEY Root, const std::string& Path);
