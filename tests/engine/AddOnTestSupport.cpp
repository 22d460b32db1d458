#include "AddOnTestSupport.h"

#include "ChildCases.h"
#include "DriverTest.h"
#include "EngineTest.h"
#include "KorvTest.h"
#include "engine/qvAddOns.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdio>

namespace atest {

std::string UniqueClsid(int N)
{
    char text[64] = {};
    std::snprintf(text, sizeof(text), "{4B3E11A0-%04X-4000-8000-%012lX}", N & 0xFFFF,
                  static_cast<unsigned long>(GetCurrentProcessId()));
    return text;
}

bool KeyExists(HKEY Root, const std::string& Key, REGSAM View)
{
    return dtest::KeyExists(Root, WideFromAnsi(Key), View);
}

bool DeleteKeyTree(HKEY Root, const std::string& Key, REGSAM View)
{
    return dtest::DeleteTree(Root, WideFromAnsi(Key), View);
}

namespace {

constexpr char kIEKey[] = "SOFTWARE\\Microsoft\\Internet Explorer";

} // namespace

IEVersionScope::~IEVersionScope()
{
    Restore();
}

bool IEVersionScope::Set(const std::string& Version, const std::vector<REGSAM>& Views)
{
    bool opened = true;
    for (REGSAM view : Views) {
        if (!KeyExists(HKEY_LOCAL_MACHINE, kIEKey, view)) {
            made_.String(HKEY_LOCAL_MACHINE, kIEKey, "Version", Version, view);
            opened = opened && KeyExists(HKEY_LOCAL_MACHINE, kIEKey, view);
            continue;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kIEKey, 0, KEY_ALL_ACCESS | view, &key) !=
            ERROR_SUCCESS) {
            opened = false;
            continue;
        }
        Saved saved{view, false, {}};
        char buffer[256] = {};
        DWORD size = sizeof(buffer) - 1;
        if (RegQueryValueExA(key, "Version", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                             &size) == ERROR_SUCCESS) {
            saved.HadValue = true;
            saved.Value = buffer;
        }
        saved_.push_back(saved);
        RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(Version.c_str()),
                       static_cast<DWORD>(Version.size() + 1));
        RegCloseKey(key);
    }
    return opened;
}

void IEVersionScope::Restore()
{
    made_.RemoveAll();
    for (const Saved& s : saved_) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kIEKey, 0, KEY_ALL_ACCESS | s.View, &key) !=
            ERROR_SUCCESS)
            continue;
        if (s.HadValue)
            RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(s.Value.c_str()),
                           static_cast<DWORD>(s.Value.size() + 1));
        else
            RegDeleteValueA(key, "Version");
        RegCloseKey(key);
    }
    saved_.clear();
}

RegEntries::~RegEntries()
{
    RemoveAll();
}

void RegEntries::Track(HKEY Root, const std::string& Key, REGSAM View)
{
    // Every missing level is remembered, so the whole new branch goes.
    std::vector<std::string> missing;
    std::string path = Key;
    while (!path.empty() && !KeyExists(Root, path, View)) {
        missing.push_back(path);
        const size_t slash = path.rfind('\\');
        if (slash == std::string::npos)
            break;
        path = path.substr(0, slash);
    }
    for (const std::string& m : missing)
        keys_.push_back({Root, m, View});
}

void RegEntries::Key(HKEY Root, const std::string& Key, REGSAM View)
{
    Track(Root, Key, View);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(Root, Key.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS | View, nullptr, &key, nullptr))
        << Key;
    RegCloseKey(key);
}

void RegEntries::String(HKEY Root, const std::string& Key, const std::string& Name,
                        const std::string& Value, REGSAM View, DWORD Type)
{
    this->Key(Root, Key, View);
    values_.push_back({Root, Key, Name, View});
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(Root, Key.c_str(), 0, KEY_SET_VALUE | View, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, Name.empty() ? nullptr : Name.c_str(), 0, Type,
                                            reinterpret_cast<const BYTE*>(Value.c_str()),
                                            static_cast<DWORD>(Value.size() + 1)));
    RegCloseKey(key);
}

void RegEntries::Dword(HKEY Root, const std::string& Key, const std::string& Name, DWORD Value,
                       REGSAM View)
{
    this->Key(Root, Key, View);
    values_.push_back({Root, Key, Name, View});
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(Root, Key.c_str(), 0, KEY_SET_VALUE | View, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, Name.c_str(), 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&Value), sizeof(Value)));
    RegCloseKey(key);
}

void RegEntries::RemoveAll()
{
    for (const Set& v : values_) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(v.Root, v.Key.c_str(), 0, KEY_SET_VALUE | v.View, &key) ==
            ERROR_SUCCESS) {
            RegDeleteValueA(key, v.Name.empty() ? nullptr : v.Name.c_str());
            RegCloseKey(key);
        }
    }
    values_.clear();
    // Deepest first: the list holds each branch from its deepest key up.
    std::sort(keys_.begin(), keys_.end(),
              [](const Made& a, const Made& b) { return a.Key.size() > b.Key.size(); });
    for (const Made& k : keys_)
        EXPECT_TRUE(DeleteKeyTree(k.Root, k.Key, k.View)) << "key left behind: " << k.Key;
    keys_.clear();
}

ProfilesFixture::ProfilesFixture()
{
    const std::string appData = AppDataDir();
    EXPECT_FALSE(appData.empty());
    const std::string mozilla = appData + "Mozilla\\";
    if (GetFileAttributesA(mozilla.c_str()) == INVALID_FILE_ATTRIBUTES)
        mozilla_ = mozilla;
    profiles_ = mozilla + "Firefox\\Profiles\\";
    SHCreateDirectoryExA(nullptr, profiles_.c_str(), nullptr);
}

ProfilesFixture::~ProfilesFixture()
{
    if (!mozilla_.empty()) {
        EXPECT_TRUE(etest::RemoveFolder(mozilla_)) << "left behind: " << mozilla_;
    }
}

std::string ProfilesFixture::Profile(const std::string& Name)
{
    const std::string folder = profiles_ + Name + "\\";
    SHCreateDirectoryExA(nullptr, folder.c_str(), nullptr);
    return folder;
}

std::string InstallRdf(const std::string& NameUtf8)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
           "<RDF xmlns=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
           "xmlns:em=\"http://www.mozilla.org/2004/em-rdf#\">\r\n"
           "  <Description about=\"urn:mozilla:install-manifest\">\r\n"
           "    <em:name>" +
           NameUtf8 +
           "</em:name>\r\n"
           "    <em:version>1.0</em:version>\r\n"
           "  </Description>\r\n"
           "</RDF>\r\n";
}

std::string ProgramFolder()
{
    return AnsiFromWide(ktest::ProgramDir());
}

TqvItemsAddOns* AddOnScanner(TqvMain& Main)
{
    if (!Main.BoostCategory)
        return nullptr;
    for (const auto& group : Main.BoostCategory->Groups)
        if (group->Id == "addons")
            return dynamic_cast<TqvItemsAddOns*>(group->Scanner.get());
    return nullptr;
}

std::unique_ptr<TqvMain> ScanAddOns()
{
    auto main = std::make_unique<TqvMain>();
    main->LoadData();
    TqvItemsAddOns* scanner = AddOnScanner(*main);
    EXPECT_NE(nullptr, scanner);
    if (!scanner)
        return main;
    main->Status.Phase = kPhaseScan;
    main->Status.Category = kCategoryBoost;
    scanner->Scan();
    scanner->CollectPending();
    return main;
}

const TqvAddOnItem* RecordOf(const TqvItem& Item)
{
    return static_cast<const TqvAddOnItem*>(Item.Data);
}

} // namespace atest
