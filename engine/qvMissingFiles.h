#pragma once
// The missing-files scanner: walks whole registry trees and reports every
// string value that holds the path of a file missing from a fixed drive. The
// catalogue's four lists say where to walk and what to leave alone. Also the
// registry helpers that the start-up scanners share with it.

#include "engine/qvClasses.h"

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Findings are TqvRegItem values with the value-target flag (a dead path in
// a key's default value deletes that value, never the key), repaired and
// backed up by the default repair.
class TqvItemsMissingFiles : public TqvItems {
public:
    using TqvItems::TqvItems;

    // Keys deeper than this below a scan root are not walked.
    static constexpr int kMaxDepth = 25;

    std::vector<std::string> ScanList;    // root name + "\" + key: where walks begin
    std::vector<std::string> IgnoreList;  // keys not walked; upper case, sorted
    std::vector<std::string> SpecialList; // keys walked even below an ignored key
    std::vector<std::string> ExceptList;  // key end + "=" + value name in upper case
    // Root name + "\" + native key name + TAB + value name of every value
    // reported in this scan: one physical value is reported once.
    std::set<std::string> Reported;
    uint8_t PassFlag = 0; // 0 in the 32-bit pass, 1 in the 64-bit pass

    // "scanlist", "ignorelist", "speciallist" ("item" children with "root"
    // and "key") and "exceptlist" ("key" and "value").
    void LoadFromXML(TXMLTag* Tag) override;
    // The progress maximum is the number of scan entries, doubled on 64-bit
    // Windows (one pass per view); a forced report for every key walked.
    void Scan() override;

private:
    // Parent: the open parent key, SubName's; none for a walk's first key.
    void Walk(HKEY Root, HKEY Parent, const std::string& SubName, const std::string& Key,
              int Depth);
    void TestValue(HKEY Root, HKEY Handle, const std::string& Key, const std::string& Name,
                   DWORD Type, const std::string& Data);
    // UpperLocation: root name + "\" + key, upper case.
    bool IsIgnoredKey(const std::string& UpperLocation) const;
    bool IsExcepted(const std::string& Key, const std::string& Name) const;
    bool Go(bool Force);
};

std::unique_ptr<TqvItems> CreateItemsMissingFiles(TqvMain* Owner);

// ---------------------------------------------------------------------------
// Shared with the start-up scanners

// Adds to Scanner the finding of a string value that names a missing program:
// the value Name of Root\Key with its text Text, deleted by the repair, in the
// 64-bit view when Is64, and counted with the owner's AddFound. A value that
// the ignore list or the clean report holds is only logged. True when added.
bool AddMissingProgramValue(TqvItems& Scanner, HKEY Root, const std::string& Key,
                            const std::string& Name, const std::string& Text, bool Is64);

// The native name ("\REGISTRY\...") of Root\Path opened for reading in the
// calling thread's view, as UTF-8; '' when the key does not open.
std::string KeyNativeName(HKEY Root, const std::string& Path);
// The same for an open key.
std::string KeyNativeNameOf(HKEY Key);

// Text without the characters up to U+0020 at both ends (as Trim does).
std::wstring TrimWide(std::wstring_view Text);

// True when Wide (a value read through the wide functions) and Ansi (the same
// value read as 8-bit text) name the same text, ignoring case and the blanks
// at both ends. A path that the system code page cannot hold reads as "?"
// through the 8-bit functions and differs.
bool SameTextAsWide(const std::wstring& Wide, const std::string& Ansi);

// Initialises COM on the calling thread for its lifetime (the shell link
// object needs it) when the thread has not already done so.
class TComScope {
public:
    TComScope() noexcept;
    ~TComScope();
    TComScope(const TComScope&) = delete;
    TComScope& operator=(const TComScope&) = delete;

private:
    HRESULT result_;
};
