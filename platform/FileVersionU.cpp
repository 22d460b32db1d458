#include "platform/FileVersionU.h"

#include "platform/UnicodeU.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// One node of the raw version block: wLength, wValueLength, wType, the
// UTF-16 key with its NUL, padding to a DWORD, the value, padding to a DWORD,
// then the children up to wLength.
struct TVersionNode {
    size_t begin = 0;
    size_t end = 0; // begin + wLength, within the block
    std::wstring key;
    size_t children = 0; // offset of the first child
};

size_t AlignDword(size_t offset)
{
    return (offset + 3) & ~static_cast<size_t>(3);
}

WORD ReadWord(const std::vector<BYTE>& data, size_t offset)
{
    WORD value = 0;
    std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

// The node at Offset inside [.., Limit); False when it does not fit.
bool ReadNode(const std::vector<BYTE>& data, size_t offset, size_t limit, TVersionNode& node)
{
    constexpr size_t kHeader = 3 * sizeof(WORD);
    if (offset + kHeader > limit || limit > data.size())
        return false;
    const WORD length = ReadWord(data, offset);
    const WORD valueLength = ReadWord(data, offset + 2);
    const WORD type = ReadWord(data, offset + 4);
    if (length < kHeader || offset + length > limit)
        return false;
    node.begin = offset;
    node.end = offset + length;
    node.key.clear();
    size_t pos = offset + kHeader;
    for (;;) {
        if (pos + sizeof(WORD) > node.end)
            return false;
        const WORD ch = ReadWord(data, pos);
        pos += sizeof(WORD);
        if (ch == 0)
            break;
        node.key += static_cast<wchar_t>(ch);
    }
    pos = AlignDword(pos);
    // Text values count their length in characters, binary ones in bytes.
    const size_t valueBytes = type == 1 ? size_t{valueLength} * sizeof(WORD) : valueLength;
    node.children = AlignDword(pos + valueBytes);
    return true;
}

} // namespace

TFileVersion::TFileVersion(const std::string& FileName)
{
    const std::wstring name = AnsiToWide(FileName);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(name.c_str(), &handle);
    if (size == 0)
        return;
    std::vector<BYTE> data(size);
    if (GetFileVersionInfoW(name.c_str(), 0, size, data.data()))
        data_ = std::move(data);
}

void TFileVersion::GetFixedVersion(DWORD& MS, DWORD& LS) const
{
    MS = 0;
    LS = 0;
    if (!Valid())
        return;
    void* value = nullptr;
    UINT size = 0;
    if (VerQueryValueW(data_.data(), L"\\", &value, &size) && value &&
        size >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        MS = fixed->dwFileVersionMS;
        LS = fixed->dwFileVersionLS;
    }
}

std::wstring TFileVersion::QueryString(const std::wstring& Key, const std::string& Name) const
{
    const std::wstring path = L"\\StringFileInfo\\" + Key + L"\\" + AnsiToWide(Name);
    void* value = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(data_.data(), path.c_str(), &value, &size) || !value)
        return {};
    // The length comes from the file: never read past the block.
    const auto* begin = static_cast<const BYTE*>(value);
    const BYTE* end = data_.data() + data_.size();
    if (begin < data_.data() || begin >= end)
        return {};
    const size_t available = static_cast<size_t>(end - begin) / sizeof(wchar_t);
    std::wstring text(static_cast<const wchar_t*>(value), std::min<size_t>(size, available));
    const size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos)
        text.resize(nul);
    return text;
}

std::wstring TFileVersion::FirstStringTableKey() const
{
    if (!Valid())
        return {};
    TVersionNode root;
    if (!ReadNode(data_, 0, data_.size(), root) || root.key != L"VS_VERSION_INFO")
        return {};
    TVersionNode child;
    for (size_t pos = root.children; ReadNode(data_, pos, root.end, child);
         pos = AlignDword(child.end)) {
        if (child.key != L"StringFileInfo")
            continue;
        TVersionNode table;
        if (ReadNode(data_, child.children, child.end, table))
            return table.key;
        return {};
    }
    return {};
}

std::string TFileVersion::GetStringValue(const std::string& Name) const
{
    if (!Valid())
        return {};
    void* value = nullptr;
    UINT size = 0;
    if (VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation", &value, &size) && value &&
        size >= 2 * sizeof(WORD)) {
        WORD entry[2] = {};
        std::memcpy(entry, value, sizeof entry);
        wchar_t key[9] = {};
        swprintf(key, 9, L"%04X%04X", entry[0], entry[1]);
        std::wstring text = QueryString(key, Name);
        if (!text.empty())
            return WideToAnsi(text);
    }
    const std::wstring tableKey = FirstStringTableKey();
    if (tableKey.empty())
        return {};
    return WideToAnsi(QueryString(tableKey, Name));
}

std::string VersionToString(DWORD MS, DWORD LS)
{
    return std::to_string(HIWORD(MS)) + "." + std::to_string(LOWORD(MS)) + "." +
           std::to_string(HIWORD(LS)) + "." + std::to_string(LOWORD(LS));
}

std::string GetFileVersionString(const std::string& FileName)
{
    TFileVersion version(FileName);
    if (!version.Valid())
        return {};
    DWORD ms = 0;
    DWORD ls = 0;
    version.GetFixedVersion(ms, ls);
    return VersionToString(ms, ls);
}
