#pragma once
// Helpers for the tests that work on the prefix's own registry areas and run
// the engine's test driver: registry fixtures with unique names that are
// removed again, runs of enginectl.exe, "reg export" snapshots, and a guard
// that gives the program's backup folder back as it was.

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace dtest {

inline constexpr REGSAM kView32 = KEY_WOW64_32KEY;
inline constexpr REGSAM kView64 = KEY_WOW64_64KEY;
// The views a test writes: both on 64-bit Windows, else the one there is.
std::vector<REGSAM> Views();
bool Win64();

// A text unique to this run, for key and value names.
std::wstring Unique(const std::wstring& Stem);
// A GUID-shaped name unique to this run: "{4B3E0000-<n>-4000-8000-<pid>}".
std::wstring UniqueGuid(int N);

// Registry entries a test makes: every key created through it (and every
// value set under a key that existed before) is removed when it ends. Paths
// are wide and the view is a KEY_WOW64_* bit (0 on 32-bit Windows).
class RegFixture {
public:
    RegFixture() = default;
    ~RegFixture();
    RegFixture(const RegFixture&) = delete;
    RegFixture& operator=(const RegFixture&) = delete;

    // Creates the key (and the missing parents, each remembered when new).
    void Key(HKEY Root, const std::wstring& Path, REGSAM View);
    void String(HKEY Root, const std::wstring& Path, const std::wstring& Name,
                const std::wstring& Value, REGSAM View, DWORD Type = REG_SZ);
    void Raw(HKEY Root, const std::wstring& Path, const std::wstring& Name, DWORD Type,
             const std::string& Bytes, REGSAM View);
    void Dword(HKEY Root, const std::wstring& Path, const std::wstring& Name, DWORD Value,
               REGSAM View);
    // Removes everything made so far now.
    void RemoveAll();

private:
    struct Made {
        HKEY Root;
        std::wstring Path;
        REGSAM View;
    };
    struct Set {
        HKEY Root;
        std::wstring Path;
        std::wstring Name;
        REGSAM View;
    };
    std::vector<Made> keys_;
    std::vector<Set> values_;
};

bool KeyExists(HKEY Root, const std::wstring& Path, REGSAM View);
bool ValueExists(HKEY Root, const std::wstring& Path, const std::wstring& Name, REGSAM View);
// Deletes a key with everything below it in one view; true when it is gone.
bool DeleteTree(HKEY Root, const std::wstring& Path, REGSAM View);

// "reg export" of a key ("HKCR\CLSID\{...}") with "/reg:32" or "/reg:64";
// '' when reg.exe fails (a missing key among others).
std::string Export(const std::wstring& Key, REGSAM View);
// The export as sections: "[key path]" upper-cased -> the section's lines.
std::map<std::string, std::vector<std::string>> Sections(const std::string& Export);

struct DriverResult {
    DWORD exitCode = 0xFFFFFFFF; // when it did not start or did not end
    std::string out;
    std::string err;
};
// enginectl.exe beside the test program.
std::wstring DriverPath();
// Runs enginectl.exe with Args, and with the variables of Env added to the
// environment or replacing those of the same name; waits at most TimeoutMs.
DriverResult RunDriver(const std::vector<std::wstring>& Args, DWORD TimeoutMs = 300000,
                       const std::map<std::wstring, std::wstring>& Env = {});

// The item lines of the driver's scan output per group id.
std::map<std::string, std::vector<std::string>> ScanItems(const std::string& Out);
// The lines of After that Before lacks (as multisets), per group of Groups.
std::map<std::string, std::vector<std::string>>
NewItems(const std::string& Before, const std::string& After, const std::set<std::string>& Groups);
// The line the driver prints for a found registry item.
std::string ItemLine(const char* Root, const std::wstring& Key, const std::wstring& Name, bool Is64,
                     bool Locked);

// The program's real folders in this prefix (not the ones a test may set).
std::string RealBackupDir();
std::string RealCommonDataDir();

// Gives BackupDir back as it was: files made meanwhile are deleted, the clean
// report's bytes are put back (or it is deleted when it did not exist), and
// the folders are removed again when they did not exist.
class BackupDirGuard {
public:
    BackupDirGuard();
    ~BackupDirGuard();
    BackupDirGuard(const BackupDirGuard&) = delete;
    BackupDirGuard& operator=(const BackupDirGuard&) = delete;

    // The "fix_"/"boost_" files made since the guard began.
    std::vector<std::string> NewBackups(const std::string& Prefix) const;

private:
    std::set<std::string> before_;
    bool hadCommon_ = false;
    bool hadBackup_ = false;
    bool hadReport_ = false;
    std::string report_;
};

} // namespace dtest
