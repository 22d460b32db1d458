#pragma once
// The ignore list: registry keys or values and files that the catalogue's
// "exceptions" element says are never reported. One process-wide list,
// created by the first catalogue load that has "exceptions"; later loads add
// to it. It is filled in the GUI thread before a worker reads it.

#include "engine/qvClasses.h"
#include "platform/StringListU.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr uint8_t kExceptionInvalid = 0;
inline constexpr uint8_t kExceptionKey = 1;   // every key whose path begins with the key
inline constexpr uint8_t kExceptionValue = 2; // this one value

class TqvRegException : public TObject {
public:
    HKEY Root = nullptr;
    std::string Key;  // upper case, without trailing "\"
    std::string Name; // upper case
    uint8_t Kind = kExceptionInvalid;
    bool Is64 = false; // read, not used in the match
};

class TqvExceptions : public TObject {
public:
    TqvExceptions();

    std::vector<std::unique_ptr<TqvRegException>> RegExceptions;
    // Full paths in lower case with the macros expanded, kept sorted.
    TStringList Files;

    // "file" children: path trimmed, expanded with the 64-bit folders for
    // is64 (skipped on 32-bit Windows), else the 32-bit ones, lower-cased.
    // "reg" children: root, key, name, is64 and the kind ("key" or "value");
    // one without root, key or kind is dropped.
    void LoadFromXML(TXMLTag* Tag);
    // The item's key (without trailing "\", upper case) against each
    // exception of its root in order: a key exception matches as a plain text
    // prefix, a value exception when the keys are equal and the names too
    // (upper case).
    bool IsRegIgnored(const TqvRegItem& Item) const;
    // "desktop.ini" anywhere; otherwise an exact full-path match (ignoring case).
    bool IsFileIgnored(const std::string& Path) const;
    // Deletes the ignored entries, last to first; True when any went.
    bool RemoveIgnoredFiles(TFileList& List) const;
};

// The process's ignore list; null until a catalogue with "exceptions" loaded.
TqvExceptions* Exceptions();
// The list, created on first use.
TqvExceptions& EnsureExceptions();
// Tests only: forgets the list.
void ResetExceptionsForTests();

// The ignore list covers the item, or else the clean report (when loaded)
// holds it.
bool IsIgnored(const TqvRegItem& Item);
// The ignore list's removal; False when there is no ignore list.
bool RemoveIgnoredFiles(TFileList& List);
