#pragma once
// The version block of a file (VERSIONINFO resource).

#include "platform/ClassesU.h"

#include <windows.h>

#include <string>
#include <vector>

// Reads the whole version block of a file once, when made.
class TFileVersion : public TObject {
public:
    explicit TFileVersion(const std::string& FileName);

    // The block was read.
    bool Valid() const noexcept { return !data_.empty(); }
    // The fixed block's file version words; 0 and 0 when there is none.
    void GetFixedVersion(DWORD& MS, DWORD& LS) const;
    // "\StringFileInfo\<key>\<Name>": the key first from the first Translation
    // entry (8 upper-case hex digits, language first), then, when that finds
    // nothing, the key of the first string table stored in the block (files
    // whose Translation entry does not match their string table). '' when
    // both fail.
    std::string GetStringValue(const std::string& Name) const;
    std::string ProductVersion() const { return GetStringValue("ProductVersion"); }

    // The key of the first string table in the block, read from the raw
    // VS_VERSIONINFO layout; '' when there is none.
    std::wstring FirstStringTableKey() const;

private:
    std::wstring QueryString(const std::wstring& Key, const std::string& Name) const;

    std::vector<BYTE> data_;
};

// High and low word of MS, then of LS, in decimal, joined by ".".
std::string VersionToString(DWORD MS, DWORD LS);
// The fixed file version of FileName as VersionToString gives it; '' when the
// file has no version block.
std::string GetFileVersionString(const std::string& FileName);
