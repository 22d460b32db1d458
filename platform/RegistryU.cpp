#include "platform/RegistryU.h"

#include "platform/BindingU.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

thread_local bool RegView32 = false;
thread_local bool RegView64 = false;

namespace {

// A key path with a NUL cannot be opened by any call that takes a terminated
// name: the cut name would open another key (its parent, through the
// trailing backslash). Such a path is refused, never cut.
LONG OpenKey(HKEY root, const std::string& path, REGSAM access, TRegKey& key)
{
    if (RegNameHoldsNul(path))
        return ERROR_INVALID_NAME;
    return RegOpenKeyExA(root, path.c_str(), 0, access | RegViewAccessBit(), key.put());
}

// The counted calls of ntdll: value names that hold a NUL reach their own
// value through them.
struct TCountedName {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
struct TPartialValue {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
using TNtQueryValueKey = LONG(NTAPI*)(HANDLE, TCountedName*, int, PVOID, ULONG, PULONG);
using TNtSetValueKey = LONG(NTAPI*)(HANDLE, TCountedName*, ULONG, ULONG, PVOID, ULONG);
using TNtDeleteValueKey = LONG(NTAPI*)(HANDLE, TCountedName*);
using TRtlNtStatusToDosError = ULONG(NTAPI*)(LONG);
constexpr int kKeyValuePartialInformation = 2;

LONG StatusToError(LONG status)
{
    static TBoundProc<TRtlNtStatusToDosError> toError{NtdllLibrary(), "RtlNtStatusToDosError"};
    if (status >= 0)
        return ERROR_SUCCESS;
    auto fn = toError.Get();
    return fn ? static_cast<LONG>(fn(status)) : ERROR_INVALID_FUNCTION;
}

bool MakeCountedName(std::wstring& name, TCountedName& counted)
{
    if (name.size() * sizeof(wchar_t) > 0xFFFE)
        return false;
    counted.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    counted.MaximumLength = counted.Length;
    counted.Buffer = name.data();
    return true;
}

bool IsTextType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

} // namespace

bool RegNameHoldsNul(std::string_view Name) noexcept
{
    return Name.find('\0') != std::string_view::npos;
}

namespace {

// Runs Call with the bound function and Name as a counted string; the
// failures before the call come back as Win32 codes.
template <typename F, typename C>
LONG WithCountedName(TBoundProc<F>& Proc, const std::wstring& Name, C&& Call)
{
    F fn = Proc.Get();
    if (!fn)
        return ERROR_CALL_NOT_IMPLEMENTED;
    std::wstring name = Name;
    TCountedName counted{};
    if (!MakeCountedName(name, counted))
        return ERROR_INVALID_NAME;
    return Call(fn, counted);
}

} // namespace

LONG RegQueryValueCounted(HKEY Key, const std::wstring& Name, DWORD& Type,
                          std::vector<BYTE>& Data)
{
    static TBoundProc<TNtQueryValueKey> query{NtdllLibrary(), "NtQueryValueKey"};
    return WithCountedName(query, Name, [&](TNtQueryValueKey fn, TCountedName& counted) -> LONG {
        std::vector<BYTE> buffer(512);
        for (int attempt = 0; attempt < 4; ++attempt) {
            ULONG needed = 0;
            const LONG status = fn(Key, &counted, kKeyValuePartialInformation, buffer.data(),
                                   static_cast<ULONG>(buffer.size()), &needed);
            // STATUS_BUFFER_OVERFLOW and STATUS_BUFFER_TOO_SMALL: grow and ask again.
            if (status == static_cast<LONG>(0x80000005) ||
                status == static_cast<LONG>(0xC0000023)) {
                buffer.resize(std::max<size_t>(needed, buffer.size() * 2));
                continue;
            }
            if (status < 0)
                return StatusToError(status);
            const auto* info = reinterpret_cast<const TPartialValue*>(buffer.data());
            const size_t offset = offsetof(TPartialValue, Data);
            if (offset + info->DataLength > buffer.size())
                return ERROR_MORE_DATA;
            Type = info->Type;
            Data.assign(buffer.begin() + offset, buffer.begin() + offset + info->DataLength);
            return ERROR_SUCCESS;
        }
        return ERROR_MORE_DATA;
    });
}

LONG RegSetValueCounted(HKEY Key, const std::wstring& Name, DWORD Type, const void* Data,
                        DWORD Size)
{
    static TBoundProc<TNtSetValueKey> set{NtdllLibrary(), "NtSetValueKey"};
    return WithCountedName(set, Name, [&](TNtSetValueKey fn, TCountedName& counted) {
        return StatusToError(fn(Key, &counted, 0, Type, const_cast<void*>(Data), Size));
    });
}

LONG RegDeleteValueCounted(HKEY Key, const std::wstring& Name)
{
    static TBoundProc<TNtDeleteValueKey> remove{NtdllLibrary(), "NtDeleteValueKey"};
    return WithCountedName(remove, Name, [&](TNtDeleteValueKey fn, TCountedName& counted) {
        return StatusToError(fn(Key, &counted));
    });
}

LONG RegQueryValueCountedA(HKEY Key, const std::string& Name, DWORD& Type,
                           std::vector<BYTE>& Data)
{
    DWORD type = 0;
    std::vector<BYTE> raw;
    const LONG result = RegQueryValueCounted(Key, WideFromAnsi(Name), type, raw);
    if (result != ERROR_SUCCESS)
        return result;
    if (IsTextType(type)) {
        std::wstring wide(raw.size() / sizeof(wchar_t), L'\0');
        if (!wide.empty())
            std::memcpy(wide.data(), raw.data(), wide.size() * sizeof(wchar_t));
        const std::string text = AnsiFromWide(wide);
        raw.assign(text.begin(), text.end());
    }
    Type = type;
    Data = std::move(raw);
    return ERROR_SUCCESS;
}

LONG RegSetValueCountedA(HKEY Key, const std::string& Name, DWORD Type, const void* Data,
                         DWORD Size)
{
    if (!IsTextType(Type))
        return RegSetValueCounted(Key, WideFromAnsi(Name), Type, Data, Size);
    const std::wstring wide =
        WideFromAnsi(std::string_view(static_cast<const char*>(Data), Data ? Size : 0));
    if (wide.size() * sizeof(wchar_t) > MAXDWORD)
        return ERROR_INVALID_PARAMETER;
    return RegSetValueCounted(Key, WideFromAnsi(Name), Type, wide.data(),
                              static_cast<DWORD>(wide.size() * sizeof(wchar_t)));
}

namespace {

// The largest name buffer the enumeration grows to: value names reach 16,383
// characters, which a double-byte code page may spell in twice as many bytes.
constexpr size_t kMaxNameBuffer = 128 * 1024;
constexpr DWORD kFirstNameBuffer = 1024;

// Data as text, with at most maxCut trailing NULs removed, and only those that
// are there: a value stored without its terminator keeps its last character,
// and a zero-length value reads as ''.
std::string CutTerminators(const std::vector<BYTE>& data, size_t maxCut)
{
    size_t size = data.size();
    for (size_t cut = 0; cut < maxCut && size > 0 && data[size - 1] == 0; ++cut)
        --size;
    return std::string(reinterpret_cast<const char*>(data.data()), size);
}

// Parent and last component of a path of at least two non-empty components.
// A key right below a root is never deleted, and neither is a path with an
// empty part: "Software\" opens Software itself, so a tree removal of it
// would empty Software. Nor is a path with a NUL: the 8-bit calls would act on
// the path cut there, another key, and a tree removal would walk that key's
// children below the uncut path again and again, until the stack overflows.
bool SplitParentLeaf(const std::string& path, std::string& parent, std::string& leaf)
{
    size_t last = path.rfind('\\');
    if (last == std::string::npos || path.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        if (end == start)
            return false;
        if (end == std::string::npos) {
            if (start == path.size())
                return false;
            break;
        }
        start = end + 1;
    }
    parent = path.substr(0, last);
    leaf = path.substr(last + 1);
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

// ---------------------------------------------------------------------------
// Views

TRegViewScope::TRegViewScope(bool view32, bool view64) noexcept
    : old32_(RegView32), old64_(RegView64)
{
    RegView32 = view32;
    RegView64 = view64;
}

TRegViewScope::~TRegViewScope()
{
    RegView32 = old32_;
    RegView64 = old64_;
}

REGSAM RegViewAccessBitFor(bool isWin64, bool process64, bool view32, bool view64) noexcept
{
    if (!isWin64)
        return 0;
    if (view64)
        return KEY_WOW64_64KEY;
    if (view32)
        return KEY_WOW64_32KEY;
    // The shipped program is 32-bit, so its "no flag" is the 32-bit view. A
    // 64-bit build of the same code would land in the 64-bit view without a
    // bit, so it asks for the 32-bit view explicitly to behave the same.
    return process64 ? KEY_WOW64_32KEY : 0;
}

REGSAM RegViewAccessBit() noexcept
{
    return RegViewAccessBitFor(IsWin64(), sizeof(void*) == 8, RegView32, RegView64);
}

// ---------------------------------------------------------------------------
// Names and locations

namespace {

struct TRootName {
    HKEY root;
    const char* name;
};

const TRootName kRootNames[] = {
    {HKEY_CLASSES_ROOT, "HKCR"},
    {HKEY_CURRENT_USER, "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKLM"},
    {HKEY_USERS, "HKU"},
};

} // namespace

std::string RegRootToName(HKEY Root)
{
    for (const auto& entry : kRootNames)
        if (entry.root == Root)
            return entry.name;
    return "HKUNKNOWN";
}

HKEY RegNameToRoot(std::string_view Name)
{
    std::string upper = UpperCase(Name);
    for (const auto& entry : kRootNames)
        if (upper == entry.name)
            return entry.root;
    return nullptr;
}

std::string RegJoinKeyPath(HKEY Root, std::string_view Path)
{
    std::string text = RegRootToName(Root);
    text += '\\';
    text += Path;
    return text;
}

bool RegSplitKeyPath(std::string_view Text, HKEY& Root, std::string& Path)
{
    size_t slash = Text.find('\\');
    if (slash == std::string_view::npos)
        return false;
    HKEY root = RegNameToRoot(Text.substr(0, slash));
    if (!root)
        return false;
    Root = root;
    Path = std::string(Text.substr(slash + 1));
    return true;
}

int LastCharPos(char Ch, std::string_view S)
{
    size_t pos = S.rfind(Ch);
    return pos == std::string_view::npos ? 0 : static_cast<int>(pos) + 1;
}

// ---------------------------------------------------------------------------
// Core operations

bool RegWriteValue(HKEY Root, const std::string& Path, const std::string& Name, DWORD ValueType,
                   const void* Data, DWORD Size)
{
    LONG result;
    {
        TRegKey key;
        result = RegNameHoldsNul(Path)
                     ? ERROR_INVALID_NAME
                     : RegCreateKeyExA(Root, Path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_WRITE | RegViewAccessBit(), nullptr, key.put(),
                                       nullptr);
        if (result == ERROR_SUCCESS) {
            static const BYTE kNoData = 0;
            const BYTE* bytes = Data ? static_cast<const BYTE*>(Data) : &kNoData;
            result = RegNameHoldsNul(Name)
                         ? RegSetValueCountedA(key.get(), Name, ValueType, bytes, Data ? Size : 0)
                         : RegSetValueExA(key.get(), Name.c_str(), 0, ValueType, bytes,
                                          Data ? Size : 0);
        }
    }
    // Set after the key is closed, so the close cannot overwrite it.
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}

namespace {

// The read shared by the 8-bit and the wide forms. The first query reads into
// a small buffer and so is also the size and type query: most values fit, and
// a key open is then one open, one query and one close, as cheap as a bare
// loop. A larger value is read again with the size Windows reported, and once
// more if it grew in between.
template <typename Char, typename Open, typename Query>
bool ReadValueWith(Open open, Query query, HKEY root, const Char* path, const Char* name,
                   DWORD expectedType, std::vector<BYTE>& data)
{
    TRegKey key;
    if (open(root, path, 0, KEY_READ | RegViewAccessBit(), key.put()) != ERROR_SUCCESS)
        return false;
    constexpr DWORD kFirstGuess = 256;
    std::vector<BYTE> buffer(kFirstGuess);
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD type = 0;
        DWORD got = static_cast<DWORD>(buffer.size());
        LONG result = query(key.get(), name, nullptr, &type, buffer.data(), &got);
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA)
            return false;
        // The stored type must be the expected one, whatever its size.
        if (type != expectedType)
            return false;
        if (result == ERROR_SUCCESS) {
            if (got > buffer.size())
                return false;
            buffer.resize(got);
            data = std::move(buffer);
            return true;
        }
        if (got <= buffer.size())
            return false;
        buffer.assign(got, 0);
    }
    return false;
}

} // namespace

bool RegReadValue(HKEY Root, const std::string& Path, const std::string& Name, DWORD ExpectedType,
                  std::vector<BYTE>& Data)
{
    if (RegNameHoldsNul(Path))
        return false;
    if (RegNameHoldsNul(Name)) {
        TRegKey key;
        DWORD type = 0;
        std::vector<BYTE> data;
        if (OpenKey(Root, Path, KEY_READ, key) != ERROR_SUCCESS ||
            RegQueryValueCountedA(key.get(), Name, type, data) != ERROR_SUCCESS ||
            type != ExpectedType)
            return false;
        Data = std::move(data);
        return true;
    }
    return ReadValueWith<char>(&RegOpenKeyExA, &RegQueryValueExA, Root, Path.c_str(), Name.c_str(),
                               ExpectedType, Data);
}

bool RegReadValueW(HKEY Root, const std::wstring& Path, const std::wstring& Name,
                   DWORD ExpectedType, std::vector<BYTE>& Data)
{
    if (Path.find(L'\0') != std::wstring::npos)
        return false;
    if (Name.find(L'\0') != std::wstring::npos) {
        TRegKey key;
        DWORD type = 0;
        std::vector<BYTE> data;
        if (RegOpenKeyExW(Root, Path.c_str(), 0, KEY_READ | RegViewAccessBit(), key.put()) !=
                ERROR_SUCCESS ||
            RegQueryValueCounted(key.get(), Name, type, data) != ERROR_SUCCESS ||
            type != ExpectedType)
            return false;
        Data = std::move(data);
        return true;
    }
    return ReadValueWith<wchar_t>(&RegOpenKeyExW, &RegQueryValueExW, Root, Path.c_str(),
                                  Name.c_str(), ExpectedType, Data);
}

// ---------------------------------------------------------------------------
// Typed writers

bool RegWriteStringTyped(HKEY Root, const std::string& Path, const std::string& Name,
                         DWORD ValueType, const std::string& Value)
{
    std::string data = Value;
    switch (ValueType) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        data.push_back('\0');
        break;
    case REG_BINARY:
        // Binary data is its bytes; a terminator would grow it on every round trip.
        break;
    case REG_MULTI_SZ:
        data.append(2, '\0');
        break;
    default:
        return false;
    }
    if (data.size() > MAXDWORD)
        return false;
    return RegWriteValue(Root, Path, Name, ValueType, data.data(), static_cast<DWORD>(data.size()));
}

bool RegWriteString(HKEY Root, const std::string& Path, const std::string& Name,
                    const std::string& Value)
{
    return RegWriteStringTyped(Root, Path, Name, REG_SZ, Value);
}

bool RegWriteExpandString(HKEY Root, const std::string& Path, const std::string& Name,
                          const std::string& Value)
{
    return RegWriteStringTyped(Root, Path, Name, REG_EXPAND_SZ, Value);
}

bool RegWriteDWord(HKEY Root, const std::string& Path, const std::string& Name, DWORD Value)
{
    BYTE bytes[4] = {static_cast<BYTE>(Value), static_cast<BYTE>(Value >> 8),
                     static_cast<BYTE>(Value >> 16), static_cast<BYTE>(Value >> 24)};
    return RegWriteValue(Root, Path, Name, REG_DWORD, bytes, sizeof(bytes));
}

bool RegWriteInteger(HKEY Root, const std::string& Path, const std::string& Name, int32_t Value)
{
    return RegWriteDWord(Root, Path, Name, static_cast<DWORD>(Value));
}

bool RegWriteDateTime(HKEY Root, const std::string& Path, const std::string& Name, TDateTime Value)
{
    static_assert(sizeof(Value) == 8);
    return RegWriteValue(Root, Path, Name, REG_BINARY, &Value, sizeof(Value));
}

bool RegWriteBinaryHex(HKEY Root, const std::string& Path, const std::string& Name,
                       std::string_view HexText)
{
    std::vector<BYTE> bytes;
    if (HexText.size() / 2 > MAXDWORD || !RegHexToBytes(HexText, bytes))
        return false;
    return RegWriteValue(Root, Path, Name, REG_BINARY, bytes.data(),
                         static_cast<DWORD>(bytes.size()));
}

std::string RegBytesToHex(const std::vector<BYTE>& Bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(Bytes.size() * 2);
    for (BYTE b : Bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

bool RegHexToBytes(std::string_view HexText, std::vector<BYTE>& Bytes)
{
    if (HexText.size() % 2 != 0)
        return false;
    std::vector<BYTE> bytes(HexText.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        int high = HexDigit(HexText[2 * i]);
        int low = HexDigit(HexText[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<BYTE>(high * 16 + low);
    }
    Bytes = std::move(bytes);
    return true;
}

// ---------------------------------------------------------------------------
// Typed readers

bool RegReadString(HKEY Root, const std::string& Path, const std::string& Name, std::string& Value)
{
    std::vector<BYTE> data;
    if (!RegReadValue(Root, Path, Name, REG_SZ, data))
        return false;
    Value = CutTerminators(data, 1);
    return true;
}

bool RegReadExpandString(HKEY Root, const std::string& Path, const std::string& Name,
                         std::string& Value)
{
    std::vector<BYTE> data;
    if (!RegReadValue(Root, Path, Name, REG_EXPAND_SZ, data))
        return false;
    Value = CutTerminators(data, 1);
    return true;
}

bool RegReadMultiString(HKEY Root, const std::string& Path, const std::string& Name,
                        std::string& Value)
{
    std::vector<BYTE> data;
    if (!RegReadValue(Root, Path, Name, REG_MULTI_SZ, data))
        return false;
    Value = CutTerminators(data, 2);
    return true;
}

bool RegReadStringTyped(HKEY Root, const std::string& Path, const std::string& Name,
                        DWORD& ValueType, std::string& Value)
{
    DWORD type = 0;
    if (!RegGetValueType(Root, Path, Name, type))
        return false;
    size_t maxCut;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        maxCut = 1;
        break;
    case REG_BINARY:
        maxCut = 0; // bytes, not text: nothing is a terminator
        break;
    case REG_MULTI_SZ:
        maxCut = 2;
        break;
    default:
        return false;
    }
    std::vector<BYTE> data;
    if (!RegReadValue(Root, Path, Name, type, data))
        return false;
    ValueType = type;
    Value = CutTerminators(data, maxCut);
    return true;
}

bool RegReadWideString(HKEY Root, const std::wstring& Path, const std::wstring& Name,
                       std::wstring& Value)
{
    DWORD type = 0;
    if (Path.find(L'\0') != std::wstring::npos)
        return false;
    {
        TRegKey key;
        std::vector<BYTE> ignored;
        if (RegOpenKeyExW(Root, Path.c_str(), 0, KEY_READ | RegViewAccessBit(), key.put()) !=
                ERROR_SUCCESS ||
            (Name.find(L'\0') != std::wstring::npos
                 ? RegQueryValueCounted(key.get(), Name, type, ignored)
                 : RegQueryValueExW(key.get(), Name.c_str(), nullptr, &type, nullptr, nullptr)) !=
                ERROR_SUCCESS)
            return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
        return false;
    std::vector<BYTE> data;
    if (!RegReadValueW(Root, Path, Name, type, data))
        return false;
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    if (!text.empty())
        std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0')
        text.pop_back();
    Value = std::move(text);
    return true;
}

DWORD RegReadDWord(HKEY Root, const std::string& Path, const std::string& Name)
{
    std::vector<BYTE> data;
    // A REG_DWORD of another size is malformed: reading 4 bytes from it would
    // go past its data.
    if (!RegReadValue(Root, Path, Name, REG_DWORD, data) || data.size() != 4)
        return 0;
    return static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
           static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
}

int32_t RegReadInteger(HKEY Root, const std::string& Path, const std::string& Name)
{
    return static_cast<int32_t>(RegReadDWord(Root, Path, Name));
}

bool RegReadBool(HKEY Root, const std::string& Path, const std::string& Name)
{
    return RegReadDWord(Root, Path, Name) == 1;
}

TDateTime RegReadDateTime(HKEY Root, const std::string& Path, const std::string& Name)
{
    std::vector<BYTE> data;
    TDateTime value = 0;
    if (!RegReadValue(Root, Path, Name, REG_BINARY, data) || data.size() != sizeof(value))
        return 0;
    std::memcpy(&value, data.data(), sizeof(value));
    return value;
}

bool RegReadBinaryHex(HKEY Root, const std::string& Path, const std::string& Name,
                      std::string& HexText)
{
    std::vector<BYTE> data;
    if (!RegReadValue(Root, Path, Name, REG_BINARY, data))
        return false;
    HexText = RegBytesToHex(data);
    return true;
}

// ---------------------------------------------------------------------------
// Tests and deletion

namespace {

// The type of a value of an open key; the name with its length when it holds a NUL.
LONG QueryValueType(HKEY key, const std::string& name, DWORD& type)
{
    if (!RegNameHoldsNul(name))
        return RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, nullptr);
    std::vector<BYTE> ignored;
    return RegQueryValueCounted(key, WideFromAnsi(name), type, ignored);
}

} // namespace

bool RegValueExists(HKEY Root, const std::string& Path, const std::string& Name)
{
    TRegKey key;
    DWORD type = 0;
    return OpenKey(Root, Path, KEY_READ, key) == ERROR_SUCCESS &&
           QueryValueType(key.get(), Name, type) == ERROR_SUCCESS;
}

bool RegGetValueType(HKEY Root, const std::string& Path, const std::string& Name, DWORD& ValueType)
{
    ValueType = 0;
    TRegKey key;
    DWORD type = 0;
    if (OpenKey(Root, Path, KEY_READ, key) != ERROR_SUCCESS ||
        QueryValueType(key.get(), Name, type) != ERROR_SUCCESS)
        return false;
    ValueType = type;
    return true;
}

bool RegKeyExists(HKEY Root, const std::string& Path)
{
    TRegKey key;
    return OpenKey(Root, Path, KEY_READ, key) == ERROR_SUCCESS;
}

bool RegRemoveValue(HKEY Root, const std::string& Path, const std::string& Name)
{
    TRegKey key;
    return OpenKey(Root, Path, KEY_WRITE, key) == ERROR_SUCCESS &&
           (RegNameHoldsNul(Name) ? RegDeleteValueCounted(key.get(), WideFromAnsi(Name))
                                  : RegDeleteValueA(key.get(), Name.c_str())) == ERROR_SUCCESS;
}

LONG RegRemoveSubKey(HKEY Key, const std::string& SubKey)
{
    if (RegNameHoldsNul(SubKey))
        return ERROR_INVALID_NAME;
    if (IsWin64()) {
        // Missing on 32-bit XP, so never imported; a missing function is a
        // binding error for the caller, not a quiet failure.
        static TBoundProc<decltype(&::RegDeleteKeyExA)> deleteKeyEx{Advapi32Library(),
                                                                    "RegDeleteKeyExA"};
        return deleteKeyEx.Require()(Key, SubKey.c_str(), RegViewAccessBit(), 0);
    }
    return RegDeleteKeyA(Key, SubKey.c_str());
}

bool RegRemoveKey(HKEY Root, const std::string& Path)
{
    std::string parentPath;
    std::string leaf;
    if (!SplitParentLeaf(Path, parentPath, leaf))
        return false;
    TRegKey parent;
    return OpenKey(Root, parentPath, KEY_WRITE, parent) == ERROR_SUCCESS &&
           RegRemoveSubKey(parent.get(), leaf) == ERROR_SUCCESS;
}

bool RegRemoveKeyTree(HKEY Root, const std::string& Path, bool Recursive)
{
    std::string parentPath;
    std::string leaf;
    if (!SplitParentLeaf(Path, parentPath, leaf))
        return false;
    if (Recursive) {
        TRegKey key;
        if (OpenKey(Root, Path, kRegTreeDeleteAccess, key) != ERROR_SUCCESS)
            return false;
        DWORD subKeys = 0;
        if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        // From the highest index down, so removing one never shifts the ones
        // still to come.
        for (DWORD index = subKeys; index-- > 0;) {
            char name[1024];
            DWORD length = sizeof(name);
            if (RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr,
                              nullptr) != ERROR_SUCCESS)
                continue;
            if (!RegRemoveKeyTree(Root, Path + "\\" + std::string(name, length), true))
                return false;
        }
        // Closed before the key itself goes.
        key.reset();
    }
    return RegRemoveKey(Root, Path);
}

// ---------------------------------------------------------------------------
// Enumeration

bool RegGetNames(HKEY Root, const std::string& Path, std::string& Text, int Kind)
{
    if (Kind != kRegNamesValues && Kind != kRegNamesSubKeys)
        return false;
    TRegKey key;
    if (OpenKey(Root, Path, KEY_READ, key) != ERROR_SUCCESS)
        return false;
    std::string text;
    std::vector<char> name(kFirstNameBuffer);
    for (DWORD index = 0;; ++index) {
        LONG result;
        DWORD length;
        for (;;) {
            length = static_cast<DWORD>(name.size());
            result = Kind == kRegNamesValues ? RegEnumValueA(key.get(), index, name.data(), &length,
                                                             nullptr, nullptr, nullptr, nullptr)
                                             : RegEnumKeyExA(key.get(), index, name.data(), &length,
                                                             nullptr, nullptr, nullptr, nullptr);
            // A name longer than the buffer is not the end: grow and ask again.
            if (result != ERROR_MORE_DATA || name.size() >= kMaxNameBuffer)
                break;
            name.resize(name.size() * 2);
        }
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || length > name.size())
            return false;
        text.append(name.data(), length);
        text += "\r\n";
    }
    Text = std::move(text);
    return true;
}

bool RegGetValueNames(HKEY Root, const std::string& Path, std::string& Text)
{
    return RegGetNames(Root, Path, Text, kRegNamesValues);
}

bool RegGetSubKeyNames(HKEY Root, const std::string& Path, std::string& Text)
{
    return RegGetNames(Root, Path, Text, kRegNamesSubKeys);
}

std::vector<std::string> RegSplitNames(const std::string& Text)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start < Text.size()) {
        const size_t end = Text.find("\r\n", start);
        if (end == std::string::npos) {
            names.push_back(Text.substr(start));
            break;
        }
        names.push_back(Text.substr(start, end - start));
        start = end + 2;
    }
    return names;
}

// ---------------------------------------------------------------------------
// Key security

TSecurityDescriptorPtr RegGetKeySecurityDescriptor(HKEY Key, SECURITY_INFORMATION SecurityInfo)
{
    DWORD size = 20;
    TSecurityDescriptorPtr descriptor(LocalAlloc(LPTR, size));
    if (!descriptor)
        return nullptr;
    LONG result = RegGetKeySecurity(Key, SecurityInfo, descriptor.get(), &size);
    if (result == ERROR_INSUFFICIENT_BUFFER) {
        descriptor.reset(LocalAlloc(LPTR, size));
        if (!descriptor)
            return nullptr;
        result = RegGetKeySecurity(Key, SecurityInfo, descriptor.get(), &size);
    }
    if (result != ERROR_SUCCESS)
        return nullptr;
    return descriptor;
}

bool RegGrantKeyFullAccess(HKEY Root, const std::string& Path)
{
    if (!IsWinNT())
        return false;
    TRegKey key;
    if (OpenKey(Root, Path, kRegGrantAccess, key) != ERROR_SUCCESS)
        return false;
    TSecurityDescriptorPtr current =
        RegGetKeySecurityDescriptor(key.get(), DACL_SECURITY_INFORMATION);
    if (!current)
        return false;
    // Administrators, not the world group: the elevated program can then
    // delete the key, and a key that still refuses is never left writable by
    // every user.
    TSecurityDescriptorPtr granted(
        GrantTrusteeFullAccess(current.get(), AdministratorsTrusteeName()));
    if (!granted)
        return false;
    return RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, granted.get()) == ERROR_SUCCESS;
}
