#include "FirefoxFixture.h"

#include "ChildCases.h"
#include "KorvTest.h"
#include "platform/UnicodeU.h"

#include <shlobj.h>

namespace ktest {

std::string MakeFreshFolder(const std::string& folder)
{
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '\\')
        dir += '\\';
    if (dir.empty() || GetFileAttributesA(dir.c_str()) != INVALID_FILE_ATTRIBUTES)
        return {};
    if (SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr) != ERROR_SUCCESS)
        return {};
    return dir;
}

bool CopyBesideProgram(const std::wstring& besideName, const std::string& dest)
{
    return CopyFileW((ProgramDir() + besideName).c_str(), WideFromAnsi(dest).c_str(), FALSE);
}

FixtureFolders::~FixtureFolders()
{
    RemoveAll();
}

std::string FixtureFolders::Make(const std::string& folder)
{
    std::string dir = MakeFreshFolder(folder);
    if (!dir.empty())
        folders_.push_back(dir);
    return dir;
}

void FixtureFolders::RemoveAll()
{
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it)
        EXPECT_TRUE(RemoveTree(WideFromAnsi(*it))) << "fixture folder left behind: " << *it;
    folders_.clear();
}

bool MozillaKeyExists(REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Mozilla", 0, KEY_READ | view, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteMozillaKey(REGSAM view)
{
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS | view, &software) !=
        ERROR_SUCCESS)
        return;
    HKEY mozilla = nullptr;
    if (RegOpenKeyExA(software, "Mozilla", 0, KEY_ALL_ACCESS | view, &mozilla) == ERROR_SUCCESS) {
        RegDeleteTreeA(mozilla, nullptr);
        RegCloseKey(mozilla);
        RegDeleteKeyExA(software, "Mozilla", view, 0);
    }
    RegCloseKey(software);
}

namespace {

bool WriteString(REGSAM view, const std::string& path, const char* name, const std::string& value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

} // namespace

bool WriteFirefoxKeys(REGSAM view, const std::string& currentVersion, const std::string& keyVersion,
                      const std::string& pathToExe)
{
    if (!WriteString(view, "SOFTWARE\\Mozilla\\Mozilla Firefox", "CurrentVersion", currentVersion))
        return false;
    if (pathToExe.empty())
        return true;
    return WriteString(view, "SOFTWARE\\Mozilla\\Mozilla Firefox " + keyVersion + "\\bin",
                       "PathToExe", pathToExe);
}

} // namespace ktest
