#pragma once
// Fixtures of the start-up, missing-files and system scanners' tests: the
// engine driver run as a child, Run values and shortcuts that clean up after
// themselves, files put back as they were, and one-group catalogues.

#include "MissingFilesLists.h"
#include "engine/qvClasses.h"
#include "engine/qvMissingFiles.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace stest {

// ---------------------------------------------------------------------------
// The engine driver beside the test program

struct CtlResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out; // stdout, LF line ends
    std::vector<std::string> Lines() const;
    // The line of a group ("<category>\t<id>\t...") or '' when none.
    std::string GroupLine(const std::string& Id) const;
    // found=<n> of a group's line; -1 when the group is missing.
    long long Found(const std::string& Id) const;
    long long Bytes(const std::string& Id) const;
};

// Runs enginectl.exe with the arguments and extra environment variables;
// waits at most TimeoutMs.
CtlResult RunEnginectl(const std::vector<std::wstring>& Args,
                       const std::map<std::wstring, std::wstring>& Env = {},
                       DWORD TimeoutMs = 300000);
bool EnginectlPresent();

// ---------------------------------------------------------------------------
// Registry fixtures

inline constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// A value written in one view (Is64 on 64-bit Windows: the 64-bit view) and
// removed again when the scope ends. Type REG_SZ or REG_EXPAND_SZ.
class ValueScope {
public:
    ValueScope(HKEY Root, const std::string& Key, const std::string& Name, const std::string& Text,
               bool Is64 = false, DWORD Type = REG_SZ);
    ~ValueScope();
    ValueScope(const ValueScope&) = delete;
    ValueScope& operator=(const ValueScope&) = delete;

private:
    HKEY root_;
    std::string key_, name_;
    bool is64_;
};

// Removes Root\Key with everything below it in one view (both views when
// Both) now and when the scope ends.
class KeyTreeScope {
public:
    KeyTreeScope(HKEY Root, const std::string& Key, bool Both = true);
    ~KeyTreeScope();
    KeyTreeScope(const KeyTreeScope&) = delete;
    KeyTreeScope& operator=(const KeyTreeScope&) = delete;
    void Remove() const;

private:
    HKEY root_;
    std::string key_;
    bool both_;
};

// The value in that view as text; '' and False when missing.
bool ReadValue(HKEY Root, const std::string& Key, const std::string& Name, bool Is64,
               std::string& Text, DWORD* Type = nullptr);
bool ValueExists(HKEY Root, const std::string& Key, const std::string& Name, bool Is64);
// Writes a value through the wide functions (paths the code page cannot hold).
bool WriteWideValue(HKEY Root, const std::string& Key, const std::wstring& Name,
                    const std::wstring& Text, bool Is64);
// Every value of Root\Key in that view as "name=type:data" lines, sorted:
// the comparable form of a key's state.
std::vector<std::string> ValueSnapshot(HKEY Root, const std::string& Key, bool Is64);

// ---------------------------------------------------------------------------
// Files

// Keeps a file's bytes (or its absence) and puts them back when the scope ends.
class FileKeeper {
public:
    explicit FileKeeper(const std::string& Path);
    ~FileKeeper();
    FileKeeper(const FileKeeper&) = delete;
    FileKeeper& operator=(const FileKeeper&) = delete;

private:
    std::string path_;
    bool existed_;
    std::string bytes_;
};

// Removes, when the scope ends, those of the folders (deepest listed first)
// that did not exist when it began, if they are empty by then.
class NewFoldersScope {
public:
    explicit NewFoldersScope(const std::vector<std::string>& Folders);
    ~NewFoldersScope();
    NewFoldersScope(const NewFoldersScope&) = delete;
    NewFoldersScope& operator=(const NewFoldersScope&) = delete;

private:
    std::vector<std::string> made_;
};

bool Exists(const std::string& Path);
// A shortcut saved through the shell's link object (COM must be initialised).
bool MakeShortcut(const std::string& LinkPath, const std::string& Target,
                  const std::string& Arguments = {});

// ---------------------------------------------------------------------------
// The engine

// A catalogue text with one group of the given category ("fix", "boost",
// "clean") whose items element is Items.
std::string OneGroupCatalogue(const std::string& Category, const std::string& Id,
                              const std::string& Items);
// A root loaded from the text, without backups (MakeBackup off).
std::unique_ptr<TqvMain> LoadedRoot(const std::string& Catalogue);
// The first group's scanner of the root.
TqvItems* FirstScanner(TqvMain& Main);
// What a finding is: "HKCU\<key>\#<name>[ 64]" or "file <path>" (lower case).
std::string Describe(const TqvItem& Item);
// The found items of a scanner so described.
std::multiset<std::string> Findings(const TqvItems& Items);
// After with one of each line of Before taken out: what the fixtures added to
// a scan of the prefix's own state.
std::multiset<std::string> Minus(const std::multiset<std::string>& After,
                                 const std::multiset<std::string>& Before);
// The program's data and delayed-shortcut folders below Dir ("common\" and
// "user\", each with its "Startup\"), in place of the real ones until
// ResetProgramFoldersForTests; the folders are not made.
void UseScratchStartupFolders(const std::string& Dir);

// COM on the test thread for the fixture's life.
using ComScope = TComScope;

// A unique text for this test run (process id and a counter).
std::string UniqueName(const std::string& Stem);

} // namespace stest
