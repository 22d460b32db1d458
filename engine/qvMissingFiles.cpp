#include "engine/qvMissingFiles.h"

#include "engine/qvExceptions.h"
#include "engine/qvScanners.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <objbase.h>

#include <algorithm>
#include <utility>

namespace {

// Opens Path below Parent for reading in the calling thread's view.
bool OpenForReading(HKEY Parent, const std::string& Path, TRegKey& Key)
{
    // The part of a name before its NUL would open another key (this one,
    // for a name that starts with it), and the walk would never end.
    if (RegNameHoldsNul(Path))
        return false;
    return RegOpenKeyExA(Parent, Path.c_str(), 0, KEY_READ | RegViewAccessBit(), Key.put()) ==
           ERROR_SUCCESS;
}

struct TValue {
    std::string Name;
    DWORD Type = 0;
    std::string Data;
};

bool IsStringType(DWORD Type)
{
    return Type == REG_SZ || Type == REG_EXPAND_SZ;
}

// The key's string values, in enumeration order; False when the enumeration
// broke off. The buffers grow on demand: asking the key for its largest name
// and value first costs more than the walk itself under some systems' 8-bit
// functions.
bool ReadStringValues(HKEY Key, std::vector<TValue>& Values)
{
    std::string name(256, '\0');
    std::vector<BYTE> data(2048);
    for (DWORD index = 0;;) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG result = RegEnumValueA(Key, index, name.data(), &nameLength, nullptr, &type,
                                          data.data(), &dataLength);
        if (result == ERROR_NO_MORE_ITEMS)
            return true;
        if (result == ERROR_MORE_DATA) {
            // The name or the data did not fit: read the same value again.
            if (name.size() >= 65536 && data.size() >= (1u << 26))
                return false;
            if (name.size() < 65536)
                name.resize(name.size() * 4);
            data.resize(std::max<size_t>(data.size() * 2, static_cast<size_t>(dataLength) + 2));
            continue;
        }
        if (result != ERROR_SUCCESS)
            return false;
        if (IsStringType(type)) {
            TValue value;
            value.Name.assign(name.data(), nameLength);
            value.Type = type;
            value.Data.assign(reinterpret_cast<const char*>(data.data()),
                              std::min<size_t>(dataLength, data.size()));
            Values.push_back(std::move(value));
        }
        ++index;
    }
}

bool ReadSubKeyNames(HKEY Key, std::vector<std::string>& Names)
{
    std::string name(256, '\0');
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(name.size());
        const LONG result =
            RegEnumKeyExA(Key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            return true;
        if (result == ERROR_MORE_DATA && name.size() < 65536) {
            name.resize(name.size() * 4);
            continue;
        }
        if (result != ERROR_SUCCESS)
            return false;
        Names.emplace_back(name.data(), length);
        ++index;
    }
}

// The value read through the wide functions; False when it cannot be read.
bool ReadWideValue(HKEY Key, const std::string& Name, std::wstring& Text)
{
    const std::wstring wideName = WideFromAnsi(Name);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(Key, wideName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        !IsStringType(type))
        return false;
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(Key, wideName.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
        return false;
    buffer.resize(std::min<size_t>(size / sizeof(wchar_t), buffer.size()));
    Text = std::move(buffer);
    return true;
}

std::wstring UpperWide(std::wstring Text)
{
    if (!Text.empty())
        CharUpperBuffW(Text.data(), static_cast<DWORD>(Text.size()));
    return Text;
}

bool Contains(std::string_view Text, std::string_view Part)
{
    return Text.find(Part) != std::string_view::npos;
}

} // namespace

// ---------------------------------------------------------------------------
// Shared helpers

std::string KeyNativeNameOf(HKEY Key)
{
    return Utf8FromWide(GetKeyNameFromHandle(Key));
}

std::string KeyNativeName(HKEY Root, const std::string& Path)
{
    TRegKey key;
    if (!OpenForReading(Root, Path, key))
        return {};
    return KeyNativeNameOf(key.get());
}

bool AddMissingProgramValue(TqvItems& Scanner, HKEY Root, const std::string& Key,
                            const std::string& Name, const std::string& Text, bool Is64)
{
    auto item = NewRegDeletion(&Scanner, Root, Key, Name, Is64, true);
    item->Value = Text;
    if (IsIgnored(*item)) {
        qvLog(std::string("Registry IGNORED: ") + (Is64 ? "1" : "0") + " " + RegRootToName(Root) +
              "\\" + Key + "\\#" + Name);
        return false;
    }
    Scanner.Add(std::move(item));
    if (Scanner.Owner)
        Scanner.Owner->AddFound(1);
    return true;
}

std::wstring TrimWide(std::wstring_view Text)
{
    size_t begin = 0;
    size_t end = Text.size();
    while (begin < end && Text[begin] <= L' ')
        ++begin;
    while (end > begin && Text[end - 1] <= L' ')
        --end;
    return std::wstring(Text.substr(begin, end - begin));
}

bool SameTextAsWide(const std::wstring& Wide, const std::string& Ansi)
{
    return UpperWide(TrimWide(Wide)) == UpperWide(TrimWide(WideFromAnsi(Ansi)));
}

TComScope::TComScope() noexcept : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}

TComScope::~TComScope()
{
    if (SUCCEEDED(result_))
        CoUninitialize();
}

// ---------------------------------------------------------------------------
// TqvItemsMissingFiles

void TqvItemsMissingFiles::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    for (const auto& list : Tag->Children()) {
        const std::string kind = LowerCase(list->Name);
        std::vector<std::string>* keys = kind == "scanlist"      ? &ScanList
                                         : kind == "ignorelist"  ? &IgnoreList
                                         : kind == "speciallist" ? &SpecialList
                                                                 : nullptr;
        const bool except = kind == "exceptlist";
        if (!keys && !except)
            continue;
        for (const auto& item : list->Children()) {
            if (LowerCase(item->Name) != "item")
                continue;
            const std::string key = TXMLTag::GetAttribute(item.get(), "key");
            if (except)
                ExceptList.push_back(key + "=" +
                                     UpperCase(TXMLTag::GetAttribute(item.get(), "value")));
            else
                keys->push_back(TXMLTag::GetAttribute(item.get(), "root") + "\\" + key);
        }
    }
    // Upper-cased once here: the walk asks for every key it meets.
    for (std::string& key : IgnoreList)
        key = UpperCase(key);
    std::sort(IgnoreList.begin(), IgnoreList.end());
}

bool TqvItemsMissingFiles::Go(bool Force)
{
    return !Owner || Owner->Progress(Force);
}

bool TqvItemsMissingFiles::IsIgnoredKey(const std::string& UpperLocation) const
{
    return std::binary_search(IgnoreList.begin(), IgnoreList.end(), UpperLocation);
}

bool TqvItemsMissingFiles::IsExcepted(const std::string& Key, const std::string& Name) const
{
    const std::string key = UpperCase(Key);
    const std::string name = UpperCase(Name);
    for (const std::string& entry : ExceptList) {
        const size_t equals = entry.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string end = UpperCase(std::string_view(entry).substr(0, equals));
        if (!end.empty() && Contains(key, end) &&
            entry.compare(equals + 1, std::string::npos, name) == 0)
            return true;
    }
    return false;
}

void TqvItemsMissingFiles::Scan()
{
    qvLog("Scan type: Missing files");
    const bool win64 = IsWin64();
    Position = 0;
    Maximum = static_cast<int32_t>(ScanList.size()) * (win64 ? 2 : 1);
    Reported.clear();
    const int passes = win64 ? 2 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        PassFlag = static_cast<uint8_t>(pass);
        TItemViewScope view(pass == 1);
        for (const std::string& entry : ScanList) {
            HKEY root = nullptr;
            std::string path;
            if (RegSplitKeyPath(entry, root, path)) {
                SubPosition = 0;
                SubMaximum = 0;
                Walk(root, nullptr, {}, path, 0);
            }
            StepProgress();
        }
    }
}

void TqvItemsMissingFiles::Walk(HKEY Root, HKEY Parent, const std::string& SubName,
                                const std::string& Key, int Depth)
{
    if (Depth > kMaxDepth)
        return;
    // The per-key report is also the walk's stop check.
    if (!Go(false))
        return;
    TRegKey key;
    // Sub-keys open relative to their parent: one short open per key.
    if (!(Parent ? OpenForReading(Parent, SubName, key) : OpenForReading(Root, Key, key)))
        return;

    const std::string location = UpperCase(RegRootToName(Root) + "\\" + Key);
    if (IsIgnoredKey(location)) {
        const std::string below = location + "\\";
        for (const std::string& special : SpecialList) {
            if (UpperCase(special).compare(0, below.size(), below) != 0)
                continue;
            HKEY specialRoot = nullptr;
            std::string path;
            if (RegSplitKeyPath(special, specialRoot, path))
                Walk(specialRoot, nullptr, {}, path, Depth + 1);
        }
        return;
    }

    std::vector<TValue> values;
    ReadStringValues(key.get(), values);
    // The default value first, then the named ones.
    for (const TValue& value : values)
        if (value.Name.empty())
            TestValue(Root, key.get(), Key, value.Name, value.Type, value.Data);
    for (const TValue& value : values)
        if (!value.Name.empty())
            TestValue(Root, key.get(), Key, value.Name, value.Type, value.Data);

    std::vector<std::string> subKeys;
    if (!ReadSubKeyNames(key.get(), subKeys))
        return;
    const bool counted = Depth == 0 || SameText(Key, "SOFTWARE\\Classes");
    if (counted)
        SubMaximum += static_cast<int32_t>(subKeys.size());
    if (Depth == 0 && SameText(Key, "SOFTWARE")) {
        const auto classes = std::find_if(subKeys.begin(), subKeys.end(), [](const std::string& s) {
            return SameText(s, "Classes");
        });
        if (classes != subKeys.end())
            std::rotate(subKeys.begin(), classes, classes + 1);
    }
    for (size_t i = 0; i < subKeys.size(); ++i) {
        Walk(Root, key.get(), subKeys[i], Key + "\\" + subKeys[i], Depth + 1);
        if (counted) {
            if (i >= 1)
                StepSubProgress();
            if (!Go(false))
                break;
        }
    }
}

void TqvItemsMissingFiles::TestValue(HKEY Root, HKEY Handle, const std::string& Key,
                                     const std::string& Name, DWORD Type, const std::string& Data)
{
    if (!IsStringType(Type))
        return;
    const std::string text = Trim(Data);
    if (!Contains(text, ":") && !Contains(text, "%"))
        return;
    if (Contains(text, std::string_view("\0", 1)) || Contains(text, "\r") || Contains(text, ";") ||
        Contains(text, "\\ "))
        return;
    // Only a path on a fixed drive can be judged missing: other drives may
    // just be away.
    if (!IsFixedDrivePath(text) || !Go(false))
        return;
    std::string found;
    if (ExtractExecutablePath(text, kViewBoth, found) || !IsMissingOnFixedDrive(text))
        return;
    if (IsExcepted(Key, Name))
        return;
    std::wstring wide;
    if (!ReadWideValue(Handle, Name, wide) || !SameTextAsWide(wide, text))
        return;
    if (!Go(false))
        return;

    const std::string rootName = RegRootToName(Root);
    std::string native = KeyNativeNameOf(Handle);
    if (native.empty())
        native = "view" + IntToStr(PassFlag) + ":" + Key;
    if (!Reported.insert(rootName + "\\" + native + "\t" + Name).second)
        return;

    if (AddMissingProgramValue(*this, Root, Key, Name, text, PassFlag != 0))
        Go(false);
}

std::unique_ptr<TqvItems> CreateItemsMissingFiles(TqvMain* Owner)
{
    return std::make_unique<TqvItemsMissingFiles>(Owner);
}
