#include "StartupTestSupport.h"

#include "DriverTest.h"
#include "EngineTest.h"
#include "KorvTest.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace stest {
namespace {

REGSAM ViewBit(bool Is64)
{
    if (!IsWin64())
        return 0;
    return Is64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

long long Field(const std::string& Line, const std::string& Name)
{
    const std::string key = "\t" + Name + "=";
    const size_t at = Line.find(key);
    if (at == std::string::npos)
        return -1;
    return std::stoll(Line.substr(at + key.size()));
}

} // namespace

// ---------------------------------------------------------------------------
// Driver

std::vector<std::string> CtlResult::Lines() const
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        lines.push_back(out.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string CtlResult::GroupLine(const std::string& Id) const
{
    for (const std::string& line : Lines()) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos && line.compare(tab + 1, Id.size() + 1, Id + "\t") == 0)
            return line;
    }
    return {};
}

long long CtlResult::Found(const std::string& Id) const
{
    const std::string line = GroupLine(Id);
    return line.empty() ? -1 : Field(line, "found");
}

long long CtlResult::Bytes(const std::string& Id) const
{
    const std::string line = GroupLine(Id);
    return line.empty() ? -1 : Field(line, "bytes");
}

bool EnginectlPresent()
{
    return GetFileAttributesW(dtest::DriverPath().c_str()) != INVALID_FILE_ATTRIBUTES;
}

CtlResult RunEnginectl(const std::vector<std::wstring>& Args,
                       const std::map<std::wstring, std::wstring>& Env, DWORD TimeoutMs)
{
    const dtest::DriverResult run = dtest::RunDriver(Args, TimeoutMs, Env);
    // The driver's own errors stay in the test's output.
    fputs(run.err.c_str(), stderr);
    CtlResult result;
    result.exitCode = run.exitCode;
    result.out = run.out;
    return result;
}

// ---------------------------------------------------------------------------
// Registry

ValueScope::ValueScope(HKEY Root, const std::string& Key, const std::string& Name,
                       const std::string& Text, bool Is64, DWORD Type)
    : root_(Root), key_(Key), name_(Name), is64_(Is64)
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(Root, Key.c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE | ViewBit(Is64), nullptr, &key, nullptr))
        << Key;
    if (key) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, Name.c_str(), 0, Type,
                                                reinterpret_cast<const BYTE*>(Text.c_str()),
                                                static_cast<DWORD>(Text.size() + 1)))
            << Name;
        RegCloseKey(key);
    }
}

ValueScope::~ValueScope()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root_, key_.c_str(), 0, KEY_SET_VALUE | ViewBit(is64_), &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(key, name_.c_str());
        RegCloseKey(key);
    }
}

KeyTreeScope::KeyTreeScope(HKEY Root, const std::string& Key, bool Both)
    : root_(Root), key_(Key), both_(Both)
{
    Remove();
}

KeyTreeScope::~KeyTreeScope()
{
    Remove();
}

void KeyTreeScope::Remove() const
{
    for (bool is64 : {false, true}) {
        if (is64 && (!both_ || !IsWin64()))
            continue;
        TRegViewScope view(IsWin64() && !is64, IsWin64() && is64);
        RegRemoveKeyTree(root_, key_, true);
    }
}

bool ReadValue(HKEY Root, const std::string& Key, const std::string& Name, bool Is64,
               std::string& Text, DWORD* Type)
{
    TRegViewScope view(IsWin64() && !Is64, IsWin64() && Is64);
    DWORD type = 0;
    Text.clear();
    if (!RegReadStringTyped(Root, Key, Name, type, Text))
        return false;
    if (Type)
        *Type = type;
    return true;
}

bool ValueExists(HKEY Root, const std::string& Key, const std::string& Name, bool Is64)
{
    TRegViewScope view(IsWin64() && !Is64, IsWin64() && Is64);
    return RegValueExists(Root, Key, Name);
}

bool WriteWideValue(HKEY Root, const std::string& Key, const std::wstring& Name,
                    const std::wstring& Text, bool Is64)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(Root, WideFromAnsi(Key).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | ViewBit(Is64), nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG result =
        RegSetValueExW(key, Name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(Text.c_str()),
                       static_cast<DWORD>((Text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

std::vector<std::string> ValueSnapshot(HKEY Root, const std::string& Key, bool Is64)
{
    std::vector<std::string> lines;
    HKEY key = nullptr;
    if (RegOpenKeyExW(Root, WideFromAnsi(Key).c_str(), 0, KEY_READ | ViewBit(Is64), &key) !=
        ERROR_SUCCESS)
        return lines;
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        BYTE data[65536];
        DWORD nameLength = 16384;
        DWORD dataLength = sizeof(data);
        DWORD type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &dataLength) !=
            ERROR_SUCCESS)
            break;
        std::string hex;
        for (DWORD b = 0; b < dataLength; ++b) {
            char two[3];
            snprintf(two, sizeof(two), "%02X", data[b]);
            hex += two;
        }
        lines.push_back(Utf8FromWide(std::wstring(name, nameLength)) + "=" + std::to_string(type) +
                        ":" + hex);
    }
    RegCloseKey(key);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// ---------------------------------------------------------------------------
// Files

FileKeeper::FileKeeper(const std::string& Path) : path_(Path), existed_(Exists(Path))
{
    if (existed_)
        bytes_ = etest::ReadBytes(Path);
}

FileKeeper::~FileKeeper()
{
    SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (existed_)
        etest::WriteBytes(path_, bytes_);
    else
        DeleteFileA(path_.c_str());
}

NewFoldersScope::NewFoldersScope(const std::vector<std::string>& Folders)
{
    for (const std::string& folder : Folders)
        if (!folder.empty() && !Exists(folder))
            made_.push_back(folder);
}

NewFoldersScope::~NewFoldersScope()
{
    for (const std::string& folder : made_)
        RemoveDirectoryA(folder.c_str());
}

bool Exists(const std::string& Path)
{
    return GetFileAttributesA(Path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeShortcut(const std::string& LinkPath, const std::string& Target,
                  const std::string& Arguments)
{
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    bool saved = false;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link)))) {
        link->SetPath(Target.c_str());
        if (!Arguments.empty())
            link->SetArguments(Arguments.c_str());
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            saved = SUCCEEDED(file->Save(WideFromAnsi(LinkPath).c_str(), TRUE));
            file->Release();
        }
        link->Release();
    }
    return saved;
}

// ---------------------------------------------------------------------------
// Engine

std::string OneGroupCatalogue(const std::string& Category, const std::string& Id,
                              const std::string& Items)
{
    return "<Quorvex ver=\"1\"><" + Category + "><group id=\"" + Id + "\"><caption>" + Id +
           "</caption>" + Items + "</group></" + Category + "></Quorvex>";
}

std::unique_ptr<TqvMain> LoadedRoot(const std::string& Catalogue)
{
    auto main = std::make_unique<TqvMain>();
    main->MakeBackup = false;
    main->BackupWriter = nullptr;
    main->LoadDataFromText(Catalogue);
    return main;
}

TqvItems* FirstScanner(TqvMain& Main)
{
    for (uint8_t k = kCategoryFix; k <= kCategoryClean; ++k)
        if (TqvCategory* category = Main.Category(k))
            if (!category->Groups.empty())
                return category->Groups[0]->Scanner.get();
    return nullptr;
}

std::string Describe(const TqvItem& Item)
{
    if (const auto* reg = dynamic_cast<const TqvRegItem*>(&Item))
        return RegRootToName(reg->Root) + "\\" + reg->Key + "\\#" + reg->Name +
               (reg->Is64 ? " 64" : "");
    if (const auto* file = dynamic_cast<const TqvFileItem*>(&Item))
        return "file " + LowerCase(file->Path);
    return "?";
}

std::multiset<std::string> Findings(const TqvItems& Items)
{
    std::multiset<std::string> out;
    for (const auto& item : Items.Items)
        if (item->Found)
            out.insert(Describe(*item));
    return out;
}

std::multiset<std::string> Minus(const std::multiset<std::string>& After,
                                 const std::multiset<std::string>& Before)
{
    std::multiset<std::string> out = After;
    for (const std::string& s : Before) {
        const auto it = out.find(s);
        if (it != out.end())
            out.erase(it);
    }
    return out;
}

void UseScratchStartupFolders(const std::string& Dir)
{
    TProgramFolders folders = ComputeProgramFolders();
    folders.CommonDataDir = Dir + "common\\";
    folders.CommonStartupDir = folders.CommonDataDir + "Startup\\";
    folders.UserDataDir = Dir + "user\\";
    folders.UserStartupDir = folders.UserDataDir + "Startup\\";
    SetProgramFoldersForTests(folders);
}

std::string UniqueName(const std::string& Stem)
{
    static std::atomic<int> counter{0};
    return Stem + "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(++counter);
}

} // namespace stest
