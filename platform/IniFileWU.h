#pragma once
// An INI file whose section names, keys and values are UTF-8 (the translation
// file lng.ini), read with wide names.
//
// The file is read once, byte for byte, when the object is made; a rewritten
// file needs a new object. The system's profile functions are not used: they
// pass the bytes through the ANSI code page, which corrupts UTF-8 under
// double-byte code pages such as 932, and they cut long values.
//
// Rules: a leading UTF-8 byte-order mark is skipped; lines end at CR, LF or
// CR LF; a line "[name]" opens a section; "key=value" lines belong to the section
// above them, blanks around key and value trimmed; other lines are ignored.
// Section names and keys compare ignoring ASCII letter case; the first section
// of a name and the first key of a section win. A missing or unreadable file
// reads as empty.

#include "platform/ClassesU.h"
#include "platform/StringListU.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TIniFileW : public TObject {
public:
    explicit TIniFileW(std::wstring fileName);
    // Contents instead of the file's bytes (FileName is only kept).
    TIniFileW(std::wstring fileName, std::string_view contents);

    const std::wstring& FileName() const { return fileName_; }
    // Windows NT family (GetVersionExA platform id 2), as opposed to Windows 9x.
    bool IsNT() const { return isNT_; }

    // The raw bytes of a value; def when the section or key is absent (or either
    // name is empty). "key=" gives '', not def.
    std::string ReadString(std::string_view section, std::string_view ident,
                           std::string_view def) const;
    // '' for an empty section or ident. On the NT family the names and def go in
    // as UTF-8 and the value comes out decoded from UTF-8; on Windows 9x the
    // system code page is used both ways.
    std::wstring ReadWideString(std::wstring_view section, std::wstring_view ident,
                                std::wstring_view def) const;

    bool SectionExists(std::string_view section) const;
    // The section's keys in file order, each once (cleared first).
    void ReadSection(std::string_view section, TStringList& keys) const;
    // The section's "key=value" lines in file order, each key once with the value
    // that ReadString gives (cleared first).
    void ReadSectionValues(std::string_view section, TStringList& lines) const;

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;                    // file order, first of each key only
        std::unordered_map<std::string, size_t> index; // ASCII-upper key -> entry
    };

    void Parse(std::string_view text);
    const Section* FindSection(std::string_view name) const;

    std::wstring fileName_;
    bool isNT_ = true;
    std::vector<Section> sections_;                        // first of each name only
    std::unordered_map<std::string, size_t> sectionIndex_; // ASCII-upper name -> section
};
