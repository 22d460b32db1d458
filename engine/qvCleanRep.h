#pragma once
// The clean report: the registry entries repaired from this program's backups
// in the last 35 days, kept in BackupDir + "cleanrep.xml", so that the
// scanners do not report them again. One process-wide report, created and
// loaded by the first worker and kept to the end; entries added during a run
// take effect at once for later scans of the same run.
//
// The file: "<cleanrep>", one line per entry (four blanks and the entry's
// "reg" line: root, key, name, empty value and type, is64 when set, scan
// "exists", empty fix, the day it was added), "</cleanrep>"; plain 8-bit text
// with CR LF. The HKLM entries come first, then HKCR, then the others, each in
// the order added.

#include "engine/qvClasses.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// How long an entry hides its registry entry, in days.
inline constexpr double kCleanReportDays = 35.0;

class TqvCleanRep : public TObject {
public:
    // FileName = BackupDir + "cleanrep.xml".
    TqvCleanRep();

    // One entry: what the lookups compare and the file keeps. Not a whole
    // registry item: a large repair leaves as many entries as it repaired,
    // and each is held to the end of the process.
    struct TEntry {
        HKEY Root = nullptr;
        std::string Key;
        std::string Name;
        double Date = 0;
        bool Is64 = false;
    };

    std::string FileName;
    std::vector<TEntry> HklmEntries;
    std::vector<TEntry> HkcrEntries;
    std::vector<TEntry> OtherEntries; // HKCU, HKU and any other root

    // Reads the file: every "reg" entry of the root "cleanrep" dated within
    // the last 35 days (by the replaceable clock) goes to the list of its
    // root. A dropped entry, or a child that is no "reg", rewrites the file
    // at once. A missing, corrupt or truncated file gives an empty report.
    void Load();
    // Creates CommonDataDir and BackupDir when missing and replaces the file
    // atomically with the protected security (the elevated program trusts
    // what it reads back). True when written.
    bool Save();
    // A new entry dated now, unless Contains finds it already.
    void Add(HKEY Root, const std::string& Key, bool Is64, const std::string& Name);
    // The list of the item's root holds an entry with its key and name (both
    // compared in lower case; is64 is not compared).
    bool Contains(const TqvRegItem& Item) const;
    // Entries were added or dropped since the last Load or Save.
    bool Changed() const noexcept { return changed_; }
    int Count() const;
    // Drops every entry (the file stays as it is).
    void Clear();

private:
    std::vector<TEntry>& ListOf(HKEY Root);
    const std::vector<TEntry>& ListOf(HKEY Root) const;
    // The list, key and name of an entry as the index compares them.
    static std::string IndexKey(HKEY Root, const std::string& Key, const std::string& Name);
    bool Indexed(HKEY Root, const std::string& Key, const std::string& Name) const;
    // Puts the entry at Position of the list of Root into the index.
    void IndexEntry(HKEY Root, size_t Position) const;
    // Brings the index in step with the lists when they changed behind it.
    void SyncIndex() const;
    bool changed_ = false;
    // The hash of every entry's IndexKey, with the entry's list and position:
    // the scans ask for each finding. A shared hash only leads to the
    // comparison of the entries themselves.
    mutable std::unordered_multimap<uint64_t, uint32_t> index_;
    mutable size_t indexed_ = 0;
};

// The process's clean report; null until loaded.
TqvCleanRep* CleanReport();
// Creates and loads the report when that has not happened yet (the worker's
// first step); a failure leaves an empty report.
TqvCleanRep& EnsureCleanReportLoaded();
// Saves the report when it exists and changed.
void SaveCleanReportIfChanged();
// Tests only: forgets the report.
void ResetCleanReportForTests();
