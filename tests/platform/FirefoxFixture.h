#pragma once
// Stand-ins for an installed Firefox: folders under Program Files and
// elsewhere holding copies of the test program's neighbours (the version
// resource program ktest_firefox.exe, the marker libraries ktest_moz*.dll and
// the test sqlite3.dll), and the Mozilla registry keys. Every folder made is
// removed by its owner; the registry keys are removed in both views.

#include <windows.h>

#include <string>
#include <vector>

namespace ktest {

// Makes a fresh folder (and its parents); returns it with a trailing
// backslash, '' on failure. An existing folder is refused ('').
std::string MakeFreshFolder(const std::string& folder);

// Copies the file named besideName from the test program's folder to dest.
bool CopyBesideProgram(const std::wstring& besideName, const std::string& dest);

// Folders of the fixture; removed with everything in them on destruction.
class FixtureFolders {
public:
    FixtureFolders() = default;
    FixtureFolders(const FixtureFolders&) = delete;
    FixtureFolders& operator=(const FixtureFolders&) = delete;
    ~FixtureFolders();
    // MakeFreshFolder, remembered for removal.
    std::string Make(const std::string& folder);
    void RemoveAll();

private:
    std::vector<std::string> folders_;
};

// HKLM "SOFTWARE\Mozilla" in one view (KEY_WOW64_32KEY or KEY_WOW64_64KEY).
bool MozillaKeyExists(REGSAM view);
void DeleteMozillaKey(REGSAM view);
// "SOFTWARE\Mozilla\Mozilla Firefox" CurrentVersion, and, unless pathToExe is
// empty, "SOFTWARE\Mozilla\Mozilla Firefox <keyVersion>\bin" PathToExe.
bool WriteFirefoxKeys(REGSAM view, const std::string& currentVersion, const std::string& keyVersion,
                      const std::string& pathToExe);

} // namespace ktest
