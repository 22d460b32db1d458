// The built-in catalogue as the program carries it: its bytes, and the model
// and XML tree it gives, walked against the catalogue's tables.

#include "EngineTest.h"

#include "engine/qvClasses.h"
#include "engine/qvExceptions.h"
#include "platform/ClassesU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/XmlU.h"

#include "KorvTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <tuple>

namespace {

std::string CatalogueBytes()
{
    TResourceStream resource(GetModuleHandleW(nullptr), L"DATA");
    return ReadWholeStream(resource);
}

struct GroupRow {
    const char* category;
    const char* id;
    int order;
    bool settings;
    int progsize;
    bool showdetails;
    const wchar_t* caption;
    const wchar_t* csCaption;
    const wchar_t* settingsCaption; // nullptr: none
    const wchar_t* csSettingsCaption;
    const char* type;
    const char* scanner;
    int elements; // children of "items"
};

const GroupRow kGroups[] = {
    {"fix", "reg-clsid", 1, true, 200, false, L"CLSID Registration", L"Registrace CLSID", L"CLSID",
     L"CLSID", "clsid", "TqvItemsCLSID", 0},
    {"fix", "reg-interface", 2, true, 150, false, L"Interfaces Registration",
     L"Registrace rozhraní Interface", L"Interface", L"Interface", "interface",
     "TqvItemsInterfaces", 0},
    {"fix", "reg-typelib", 3, true, 100, false, L"Typelib Registration",
     L"Registrace knihoven Typelib", L"Typelib", L"Typelib", "typelib", "TqvItemsTypelib", 0},
    {"fix", "reg-uninstall", 4, true, 100, false, L"Uninstall Registration",
     L"Registrace odinstalací", L"Uninstall", L"Odinstalace", "uninstall", "TqvItemsUninstall", 0},
    {"fix", "reg-shared-dll", 5, true, 30, false, L"Shared DLLs Registration",
     L"Registrace sdílených knihoven", L"Shared DLLs", L"Sdílené knihovny", "shared-dll",
     "TqvItemsSharedDll", 0},
    {"fix", "reg-muicache", 6, true, 30, false, L"MUI Cache", L"Aplikace v MUI Cache", L"MUI Cache",
     L"MUI Cache", "muicache", "TqvItemsMUICache", 0},
    {"fix", "reg-startup", 7, true, 60, false, L"Startup Programs", L"Programy po spuštění",
     L"Startup Programs", L"Programy po spuštění", "startup", "TqvItemsInvalidStartup", 0},
    {"fix", "reg-app-paths", 8, true, 30, false, L"App Paths", L"Cesty aplikace", L"App Paths",
     L"Cesty aplikace", "app-paths", "TqvItemsAppPaths", 0},
    {"fix", "reg-missing-files", 9, true, 400, false, L"Missing Files", L"Chybějící soubory",
     L"Missing Files", L"Chybějící soubory", "missing-files", "TqvItemsMissingFiles", 4},
    {"boost", "win-boost", 11, false, 10, false, L"Win Booster", L"Optimalizace Windows", nullptr,
     nullptr, "list", "TqvItemsList", 9},
    {"boost", "int-boost", 12, false, 10, false, L"Internet Booster",
     L"Optimalizace nastavení Internetu", nullptr, nullptr, "list", "TqvItemsList", 8},
    {"boost", "memory", 13, false, 10, false, L"Memory Release", L"Uvolnění paměti", nullptr,
     nullptr, "memory", "TqvItemsMemory", 0},
    {"boost", "delay-startup", 14, false, 10, true, L"Startup boost", L"Optimalizace spuštění",
     nullptr, nullptr, "delay-startup", "TqvItemsDelayStartup", 32},
    {"boost", "addons", 15, false, 10, false, L"Browser Add-ons", L"Rozšíření prohlížečů", nullptr,
     nullptr, "addons", "TqvItemsAddOns", 813},
    {"clean", "temp-ff", 21, false, 10, false, L"Temporary Firefox files",
     L"Odstranění dočasných souborů Firefoxu", nullptr, nullptr, "list", "TqvItemsList", 1},
    {"clean", "temp-ie", 22, false, 10, false, L"Temporary internet files",
     L"Odstranění dočasných souborů stažených z internetu", nullptr, nullptr, "list",
     "TqvItemsList", 1},
    {"clean", "down-prog-files", 23, false, 10, false, L"Downloaded program files folder",
     L"Odstranění složky \"Downloaded program files\"", nullptr, nullptr, "list", "TqvItemsList",
     1},
    {"clean", "chldsk-files", 24, false, 10, false, L"Old chkdsk files",
     L"Odstranění souborů nalezených aplikací checkdisk \"", nullptr, nullptr, "list",
     "TqvItemsList", 1},
    {"clean", "recycle-bin", 25, false, 10, false, L"Recycle bin", L"Vyprázdnění koše", nullptr,
     nullptr, "recycle-bin", "TqvItemsRecycleBin", 0},
    {"clean", "temp-files", 26, false, 10, false, L"Temporary files",
     L"Odstranění dočasných souborů", nullptr, nullptr, "list", "TqvItemsList", 2},
    {"clean", "old-logs", 27, false, 10, false, L"Old logs", L"Odstranění starých logů", nullptr,
     nullptr, "list", "TqvItemsList", 19},
    {"clean", "memory-dumps", 28, false, 10, false, L"Memory dumps and Windows Error Reports",
     L"Výpisy stavu paměti a chybová hlášení", nullptr, nullptr, "list", "TqvItemsList", 4},
};

struct RegRow {
    const char* group;
    const char* root;
    const char* key;
    const char* name;
    const char* value;
    const char* type;
    const char* scan;
    const char* fix;
    const char* caption;
};

const RegRow kRegItems[] = {
    {"win-boost", "HKLM", "SOFTWARE\\Microsoft\\DrWatson", "NumberOfCrashes", "1", "num", "exists",
     "value", "Speed up shutdown by automatically closing nonresponding app"},
    {"win-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Control", "WaitToKillServiceTimeout", "10000",
     "str", "exists", "value", "Speed up shutdown by stopping services faster"},
    {"win-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\SubSystems",
     "Optional", "", "mulstr", "exists", "value",
     "Disable OS/2 and POSIX subsystems to free up memory and system resources"},
    {"win-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
     "DisablePagingExecutive", "1", "num", "exists", "value", "Disk kernel tweak"},
    {"win-boost", "HKCU", "Control Panel\\Desktop", "SmoothScroll", "0", "num", "value", "value",
     "Disable smooth windows scrolling"},
    {"win-boost", "HKLM", "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib",
     "DisablePerformanceCounters", "1", "num", "value", "value", "Disable performance counter"},
    {"win-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Control\\PriorityControl",
     "Win32PrioritySeparation", "38", "num", "exists", "value", "Enable the NIC onboard processor"},
    {"win-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters",
     "DisableTaskOffload", "0", "num", "value", "value", "Disable task offload"},
    {"win-boost", "HKLM", "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\SystemRestore",
     "DiskPercent", "5", "num", "exists", "value", "System restore space"},
    {"int-boost", "HKCU", "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
     "MaxConnectionsPerServer", "10", "num", "value", "value",
     "Tweak the maximum HTTP connection settings"},
    {"int-boost", "HKCU", "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
     "MaxConnectionsPer1_0Server", "10", "num", "value", "value",
     "Tweak the maximum HTTP connection settings per 1 server"},
    {"int-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters",
     "cacheHashTableBucketSize", "1", "num", "value", "value",
     "Increase dns cache size - CacheHashTableBucketSize"},
    {"int-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters",
     "MaxCacheEntryTtlLimit", "$0000FA00", "num", "value", "value",
     "Increase dns cache size - MaxCacheEntryTTlLimit"},
    {"int-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters",
     "MaxSOACacheEntryTtlLimit", "$0000012D", "num", "value", "value",
     "Increase dns cache size - MaxSOACacheEntryTTlLimit"},
    {"int-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters",
     "NegativeCacheTime", "0", "num", "value", "value",
     "Do not cache failed DNS entries - NegativeCacheTime"},
    {"int-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters",
     "NetFailureCacheTime", "0", "num", "value", "value",
     "Do not cache failed DNS entries - NetFailureCacheTime"},
    {"int-boost", "HKLM", "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters",
     "NegativeSOACacheTime", "0", "num", "value", "value",
     "Do not cache failed DNS entries - NegativeSOACacheTime"},
};

struct StartupRow {
    int priority;
    const char* name;
    const char* path;
};

const StartupRow kStartup[] = {
    {1, "ICQ Lite", "%PROGRAMFILES%\\ICQLite\\ICQLite.exe"},
    {1, "Skype", "%PROGRAMFILES%\\Skype\\Skype.exe"},
    {1, "Skype", "%PROGRAMFILES%\\Skype\\Phone\\Skype.exe"},
    {1, "ICQ", "%PROGRAMFILES%\\ICQ*\\ICQ.exe"},
    {1, "AOL Instant messenger", "%PROGRAMFILES%\\AOL*\\AOL.EXE"},
    {1, "AOL Instant messenger", "%PROGRAMFILES%\\AIM\\AIM.EXE"},
    {1, "YAHOO! MESSENGER", "%PROGRAMFILES%\\YAHOO!\\MESSENGER\\YAHOOMESSENGER.EXE"},
    {1, "Googletalk", "%PROGRAMFILES%\\Google\\Google Talk\\googletalk.exe"},
    {2, "Adobe Reader Speed Launcher", "%PROGRAMFILES%\\Adobe\\*\\Reader_sl.exe"},
    {2, "Adobe Reader Speed Launcher", "%PROGRAMFILES%\\Adobe\\*\\Reader\\Reader_sl.exe"},
    {2, "Adobe ARM", "%PROGRAMFILES%\\Common Files\\Adobe\\*\\AdobeARM.exe"},
    {2, "Adobe ARM", "%PROGRAMFILES%\\Common Files\\Adobe\\ARM\\*\\AdobeARM.exe"},
    {2, "Adobe ARM", "%COMMONPROGRAMFILES%\\Adobe\\*\\AdobeARM.exe"},
    {2, "Adobe ARM", "%COMMONPROGRAMFILES%\\Adobe\\ARM\\*\\AdobeARM.exe"},
    {2, "SunJavaUpdateSched", "%PROGRAMFILES%\\Java\\*\\jusched.exe"},
    {2, "NeroFilterCheck", "%PROGRAMFILES%\\Common Files\\Ahead\\Lib\\NeroCheck.exe"},
    {2, "NeroFilterCheck", "%COMMONPROGRAMFILES%\\Ahead\\Lib\\NeroCheck.exe"},
    {2, "NeroFilterCheck", "%SYSDIR%\\NeroCheck.exe"},
    {2, "WinZip Quick", "%PROGRAMFILES%\\WinZip\\WZQKPICK.EXE"},
    {2, "HP Software Update", "%PROGRAMFILES%\\HP\\HP Software Update\\HPWuSchd2.exe"},
    {2, "Microsoft Office", "%PROGRAMFILES%\\Microsoft Office\\Office\\*.EXE"},
    {3, "WinampAgent", "%PROGRAMFILES%\\Winamp*\\winampa.exe"},
    {3, "Daemon Tools Lite", "%PROGRAMFILES%\\DAEMON Tools Lite\\DTLite.exe"},
    {3, "Daemon Tools", "%PROGRAMFILES%\\D-Tools\\daemon.exe"},
    {3, "Alkohol 120% ", "%PROGRAMFILES%\\Alcohol Soft\\Alcohol 120\\Alcohol.exe"},
    {3, "Alkohol 120% ", "%PROGRAMFILES%\\Alcohol Soft\\Alcohol 120\\AxAutoMntSrv.exe"},
    {3, "Alkohol 120% ", "%PROGRAMFILES%\\Alcohol Soft\\Alcohol 120\\axcmd.exe"},
    {3, "Steam", "%PROGRAMFILES%\\steam\\steam.exe"},
    {3, "RoboForm", "%PROGRAMFILES%\\Siber Systems\\AI RoboForm\\RoboTaskBarIcon.exe"},
    {3, "iTunesHelper", "%PROGRAMFILES%\\iTunes\\iTunesHelper.exe"},
    {3, "BitTorrent DNA", "%PROGRAMFILES%\\DNA\\btdna.exe"},
    {3, "uTorrent", "%PROGRAMFILES%\\uTorrent\\uTorrent.exe"},
};

struct FileRow {
    const char* group;
    const char* path;
    bool is64;
};

const FileRow kFiles[] = {
    {"temp-ff",
     "%USERPROFILE%\\Local Settings\\Application Data\\Mozilla\\Firefox\\Profiles\\*\\Cache\\",
     false},
    {"temp-ie", "%USERPROFILE%\\Local Settings\\Temporary Internet Files\\Content.IE5\\", false},
    {"down-prog-files", "%WINDIR%\\Downloaded Program Files\\", false},
    // %SYSROOT% is no macro: the system disk root is %SYSTEMDISKROOT%.
    {"chldsk-files", "%SYSTEMDISKROOT%\\found*\\*.chk", false},
    {"temp-files", "%USERPROFILE%\\Local Settings\\Temp\\", false},
    {"temp-files", "%WINDIR%\\Temp\\", false},
    {"old-logs", "%WINDIR%\\*.log", false},
    {"old-logs", "%WINDIR%\\*log.txt", false},
    {"old-logs", "%SYSDIR32%\\wbem\\Logs\\*.log", false},
    {"old-logs", "%SYSDIR32%\\wbem\\Logs\\*.lo_", false},
    {"old-logs", "%SYSDIR32%\\config999\\*.log", false},
    {"old-logs", "%WINDIR%\\*.bak", false},
    {"old-logs", "%WINDIR%\\inf\\*.log", false},
    {"old-logs", "%WINDIR%\\Microsoft.NET\\Framework\\*\\*.log", false},
    {"old-logs", "%WINDIR%\\Microsoft.NET\\Framework64\\*\\*.log", false},
    {"old-logs", "%WINDIR%\\logs\\*.log", false},
    {"old-logs", "%WINDIR%\\logs\\cbs\\*.log", false},
    {"old-logs", "%WINDIR%\\logs\\dpx\\*.log", false},
    {"old-logs", "%WINDIR%\\Debug\\*.log", false},
    {"old-logs", "%WINDIR%\\Debug\\UserMode\\*.log", false},
    {"old-logs", "%WINDIR%\\Debug\\UserMode\\*.bak", false},
    {"old-logs", "%WINDIR%\\security\\logs\\*.log", false},
    {"old-logs", "%WINDIR%\\security\\logs\\*.old", false},
    {"old-logs", "%SYSDIR64%\\wbem\\Logs\\*.log", true},
    {"old-logs", "%SYSDIR64%\\wbem\\Logs\\*.lo_", true},
    {"memory-dumps", "%WINDIR%\\memory.dmp", false},
    {"memory-dumps", "%WINDIR%\\minidump\\*.dmp", false},
    {"memory-dumps", "%ALLUSERS_APPDATA%\\Microsoft\\Dr Watson\\", false},
    {"memory-dumps", "%ALLUSERS_APPDATA%\\Microsoft\\Windows\\WER\\", false},
};

struct ListRow {
    const char* list;
    const char* root; // nullptr: none
    const char* key;
    const char* value; // nullptr: none
};

const ListRow kLists[] = {
    {"scanlist", "HKCU", "SOFTWARE", nullptr},
    {"scanlist", "HKLM", "SOFTWARE", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Microsoft", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\CLSID", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\Wow6432Node\\CLSID", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\TypeLib", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\Wow6432Node\\TypeLib", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\Interface", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\Wow6432Node\\Interface", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Wow6432Node", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\Wow6432Node\\VirtualStore\\MACHINE", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\Wow6432Node\\Wow6432Node", nullptr},
    {"ignorelist", "HKCU", "SOFTWARE\\Classes\\VirtualStore\\MACHINE", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Microsoft", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\CLSID", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\Wow6432Node\\CLSID", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\TypeLib", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\Wow6432Node\\TypeLib", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\Interface", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\Wow6432Node\\Interface", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Wow6432Node", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\Wow6432Node\\VirtualStore\\MACHINE", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\Wow6432Node\\Wow6432Node", nullptr},
    {"ignorelist", "HKLM", "SOFTWARE\\Classes\\VirtualStore\\MACHINE", nullptr},
    {"speciallist", "HKCU", "SOFTWARE\\Microsoft\\Installer", nullptr},
    {"speciallist", "HKCU", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", nullptr},
    {"speciallist", "HKLM", "SOFTWARE\\Microsoft\\Installer", nullptr},
    {"speciallist", "HKLM", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", nullptr},
    {"exceptlist", nullptr, "\\Control\\CrashControl", "DumpFile"},
};

struct ExceptionRow {
    const char* path;
    bool is64;
};

const ExceptionRow kExceptions[] = {
    {"%USERPROFILE%\\Local Settings\\Temporary Internet Files\\Content.IE5\\index.dat", false},
    {"%WINDIR%\\WindowsUpdate.log", false},
    {"%WINDIR%\\Debug\\PASSWD.LOG", false},
    {"%SYSDIR32%\\wbem\\Logs\\WMITracing.log", false},
    {"%SYSDIR64%\\wbem\\Logs\\WMITracing.log", true},
};

// The catalogue's XML tree and a freshly loaded model of the resource.
class CatalogueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetExceptionsForTests();
        bytes_ = CatalogueBytes();
        xml_.LoadFromString(bytes_.substr(0, bytes_.find('\0')));
        root_ = xml_.Root()->FindFirst("Quorvex");
        main_.LoadData();
    }
    void TearDown() override { ResetExceptionsForTests(); }

    TXMLTag* GroupElement(const std::string& id)
    {
        for (const char* category : {"fix", "boost", "clean"}) {
            TXMLTag* c = TXMLTag::FindPath(root_, {category});
            for (TXMLTag* g = c ? c->FindFirst("group") : nullptr; g; g = c->FindNext())
                if (TXMLTag::GetAttribute(g, "id") == id)
                    return g;
        }
        return nullptr;
    }
    TXMLTag* ItemsElement(const std::string& id)
    {
        return TXMLTag::FindPath(GroupElement(id), {"items"});
    }
    TqvGroup* Group(const std::string& id)
    {
        for (uint8_t k = 1; k <= 3; ++k)
            if (TqvCategory* c = main_.Category(k))
                for (auto& g : c->Groups)
                    if (g->Id == id)
                        return g.get();
        return nullptr;
    }

    std::string bytes_;
    TXML xml_;
    TXMLTag* root_ = nullptr;
    TqvMain main_;
};

TEST_F(CatalogueTest, FileFormIsUtf8WithCrLfDeclarationAndTwoTrailingNuls)
{
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
    EXPECT_EQ(declaration, bytes_.substr(0, declaration.size()));
    const std::string tail = std::string("</Quorvex>\r\n\r\n") + '\0' + '\0';
    ASSERT_GE(bytes_.size(), tail.size());
    EXPECT_EQ(tail, bytes_.substr(bytes_.size() - tail.size()));
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (bytes_[i] == '\n') {
            ASSERT_TRUE(i > 0 && bytes_[i - 1] == '\r') << "bare LF at " << i;
        }
        if (bytes_[i] == '\r') {
            ASSERT_TRUE(i + 1 < bytes_.size() && bytes_[i + 1] == '\n') << "bare CR at " << i;
        }
    }
    EXPECT_EQ(2, std::count(bytes_.begin(), bytes_.end(), '\0'));
    EXPECT_EQ(bytes_.substr(0, bytes_.size() - 2),
              WideToUtf8(Utf8ToWide(bytes_.substr(0, bytes_.size() - 2))))
        << "not valid UTF-8";
    EXPECT_EQ(0, xml_.Errors.Count());
    EXPECT_TRUE(xml_.Complete());
    ASSERT_NE(nullptr, root_);
    EXPECT_EQ("Quorvex", root_->Name);
    EXPECT_EQ("1.0.0.0", TXMLTag::GetAttribute(root_, "ver"));
    std::vector<std::string> children;
    for (const auto& c : root_->Children())
        children.push_back(c->Name);
    EXPECT_EQ((std::vector<std::string>{"fix", "boost", "clean", "exceptions"}), children);
    // The cs captions hold their double quotes as entities.
    EXPECT_NE(std::string::npos, bytes_.find("&quot;Downloaded program files&quot;"));
}

// The file of the sources, byte for byte, in this program and in the driver.
TEST_F(CatalogueTest, ResourcesHoldTheCatalogueFileByteForByte)
{
    std::wstring dir = ktest::ProgramPath();
    dir = dir.substr(0, dir.find_last_of(L'\\') + 1);
    const std::string file = ktest::ReadFileBytes(dir + L"fixtures\\catalogue.xml");
    ASSERT_FALSE(file.empty());
    EXPECT_TRUE(file == bytes_) << "this program's resource differs from catalogue.xml";
    HMODULE driver =
        LoadLibraryExW((dir + L"enginectl.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, driver);
    std::string driverBytes;
    {
        TResourceStream resource(driver, L"DATA");
        driverBytes = ReadWholeStream(resource);
    }
    FreeLibrary(driver);
    EXPECT_TRUE(file == driverBytes) << "enginectl's resource differs from catalogue.xml";
}

TEST_F(CatalogueTest, GroupsMatchTheTableInCatalogueOrder)
{
    EXPECT_EQ("1.0.0.0", main_.Version);
    std::vector<const TqvGroup*> loaded;
    std::vector<std::string> categories;
    for (uint8_t k = 1; k <= 3; ++k)
        for (auto& g : main_.Category(k)->Groups) {
            loaded.push_back(g.get());
            categories.push_back(k == 1 ? "fix" : k == 2 ? "boost" : "clean");
        }
    ASSERT_EQ(std::size(kGroups), loaded.size());
    etest::LanguageScope en(L"en");
    for (size_t i = 0; i < loaded.size(); ++i) {
        const GroupRow& row = kGroups[i];
        const TqvGroup& g = *loaded[i];
        SCOPED_TRACE(row.id);
        EXPECT_EQ(row.category, categories[i]);
        EXPECT_EQ(row.id, g.Id);
        EXPECT_EQ(row.order, g.Order);
        EXPECT_EQ(row.settings, g.HasSettings);
        EXPECT_EQ(row.progsize, g.ProgSize);
        EXPECT_EQ(row.showdetails, g.ShowDetails);
        EXPECT_EQ(row.type, g.ItemsType);
        const auto type =
            std::find_if(ItemsTypes().begin(), ItemsTypes().end(),
                         [&](const TqvItemsType& t) { return g.ItemsType == t.Type; });
        ASSERT_NE(ItemsTypes().end(), type);
        EXPECT_STREQ(row.scanner, type->ScannerName);
        ASSERT_NE(nullptr, g.Scanner);
        EXPECT_EQ(row.caption, g.GetCaption());
        EXPECT_EQ(std::wstring(L"cs=") + row.csCaption, g.Captions()->at(1));
        EXPECT_EQ(2u, g.Captions()->size());
        if (row.settingsCaption) {
            ASSERT_NE(nullptr, g.SettingsCaptions());
            EXPECT_EQ((std::vector<std::wstring>{std::wstring(L"en=") + row.settingsCaption,
                                                 std::wstring(L"cs=") + row.csSettingsCaption}),
                      *g.SettingsCaptions());
        } else {
            EXPECT_EQ(nullptr, g.SettingsCaptions());
        }
        EXPECT_EQ(nullptr, g.SettingsHints());
        EXPECT_EQ(row.id == std::string("delay-startup"), g.Hints() != nullptr);
        EXPECT_EQ(row.elements, ItemsElement(row.id)->ChildCount());
        // The raw attributes: absent where the table has "-".
        TXMLTag* element = GroupElement(row.id);
        EXPECT_EQ(row.settings ? "1" : "", TXMLTag::GetAttribute(element, "settings"));
        EXPECT_EQ(row.showdetails ? "1" : "", TXMLTag::GetAttribute(element, "showdetails"));
        EXPECT_EQ(row.category == std::string("fix"), element->IndexOfAttribute("progsize") >= 0);
    }
    const TqvGroup* delay = Group("delay-startup");
    EXPECT_EQ((std::vector<std::wstring>{L"en=Postponed applications at startup ",
                                         L"cs=Odložené aplikace při spuštění"}),
              *delay->Hints());
    // No category caption in the built-in catalogue.
    for (uint8_t k = 1; k <= 3; ++k)
        EXPECT_EQ(nullptr, main_.Category(k)->Captions());
}

TEST_F(CatalogueTest, SpeedUpRegistryItemsMatchTheTable)
{
    size_t n = 0;
    for (const char* id : {"win-boost", "int-boost"}) {
        for (const auto& item : Group(id)->Scanner->Items) {
            ASSERT_LT(n, std::size(kRegItems));
            const RegRow& row = kRegItems[n++];
            SCOPED_TRACE(row.name);
            auto* reg = dynamic_cast<TqvRegItem*>(item.get());
            ASSERT_NE(nullptr, reg);
            EXPECT_EQ(row.group, std::string(id));
            EXPECT_EQ(row.root, RegRootToName(reg->Root));
            EXPECT_EQ(row.key, reg->Key);
            EXPECT_EQ(row.name, reg->Name);
            EXPECT_EQ(row.value, reg->Value);
            EXPECT_EQ(row.type, RegTypeToName(reg->Type));
            EXPECT_EQ(std::string(row.scan) == "value" ? kRegScanValue : kRegScanExists,
                      reg->ScanKind);
            EXPECT_EQ(kRegFixValue, reg->FixKind);
            EXPECT_EQ(Utf8ToWide(row.caption), reg->Caption);
            EXPECT_FALSE(reg->Is64);
            EXPECT_FALSE(reg->Found);
        }
    }
    EXPECT_EQ(std::size(kRegItems), n);
    // None carries is64 in the file either.
    for (const char* id : {"win-boost", "int-boost"})
        for (const auto& c : ItemsElement(id)->Children())
            EXPECT_LT(c->IndexOfAttribute("is64"), 0);
    const auto& dns = Group("int-boost")->Scanner->Items[3];
    EXPECT_EQ(64000u, DWordFromText(static_cast<TqvRegItem&>(*dns).Value, false));
}

TEST_F(CatalogueTest, StartupPatternsMatchTheTable)
{
    TXMLTag* items = ItemsElement("delay-startup");
    ASSERT_EQ(static_cast<int>(std::size(kStartup)), items->ChildCount());
    int blankNames = 0;
    for (int i = 0; i < items->ChildCount(); ++i) {
        const StartupRow& row = kStartup[i];
        TXMLTag* element = items->GetChild(i);
        SCOPED_TRACE(row.path);
        EXPECT_EQ("startup", element->Name);
        EXPECT_EQ(row.name, TXMLTag::GetAttribute(element, "name"));
        EXPECT_LT(element->IndexOfAttribute("is64"), 0);
        TqvStartupItem item(nullptr);
        item.LoadFromXML(element);
        EXPECT_EQ(row.priority, item.Priority);
        EXPECT_EQ(Trim(row.name), item.Name);
        EXPECT_EQ(row.path, item.Path);
        EXPECT_FALSE(item.Is64);
        blankNames += std::string(row.name).back() == ' ';
    }
    EXPECT_EQ(3, blankNames);
}

TEST_F(CatalogueTest, FileItemsMatchTheTable)
{
    size_t n = 0;
    for (const auto& g : main_.CleanCategory->Groups) {
        if (g->ItemsType != "list")
            continue;
        for (const auto& item : g->Scanner->Items) {
            ASSERT_LT(n, std::size(kFiles));
            const FileRow& row = kFiles[n++];
            SCOPED_TRACE(row.path);
            auto* file = dynamic_cast<TqvFileItem*>(item.get());
            ASSERT_NE(nullptr, file);
            EXPECT_EQ(row.group, g->Id);
            EXPECT_EQ(row.path, file->Path);
            EXPECT_EQ(row.is64, file->Is64);
            EXPECT_EQ(kFileScanExists, file->ScanKind);
            EXPECT_EQ(kFileFixClean, file->FixKind);
        }
    }
    EXPECT_EQ(std::size(kFiles), n);
}

TEST_F(CatalogueTest, MissingFilesListsMatchTheTable)
{
    TXMLTag* items = ItemsElement("reg-missing-files");
    std::vector<std::string> lists;
    size_t n = 0;
    for (const auto& list : items->Children()) {
        lists.push_back(list->Name);
        for (const auto& entry : list->Children()) {
            ASSERT_LT(n, std::size(kLists));
            const ListRow& row = kLists[n++];
            SCOPED_TRACE(row.key);
            EXPECT_EQ(row.list, list->Name);
            EXPECT_EQ("item", entry->Name);
            EXPECT_EQ(row.root ? row.root : "", TXMLTag::GetAttribute(entry.get(), "root"));
            EXPECT_EQ(row.key, TXMLTag::GetAttribute(entry.get(), "key"));
            EXPECT_EQ(row.value ? row.value : "", TXMLTag::GetAttribute(entry.get(), "value"));
        }
    }
    EXPECT_EQ(std::size(kLists), n);
    EXPECT_EQ((std::vector<std::string>{"scanlist", "ignorelist", "speciallist", "exceptlist"}),
              lists);
    std::vector<int> sizes;
    for (const auto& list : items->Children())
        sizes.push_back(list->ChildCount());
    EXPECT_EQ((std::vector<int>{2, 22, 4, 1}), sizes);
}

TEST_F(CatalogueTest, IgnoreListHoldsTheFiveFileExceptions)
{
    TXMLTag* exceptions = TXMLTag::FindPath(root_, {"exceptions"});
    ASSERT_EQ(static_cast<int>(std::size(kExceptions)), exceptions->ChildCount());
    std::vector<std::string> expected;
    for (int i = 0; i < exceptions->ChildCount(); ++i) {
        TXMLTag* e = exceptions->GetChild(i);
        SCOPED_TRACE(kExceptions[i].path);
        EXPECT_EQ("file", e->Name);
        EXPECT_EQ(kExceptions[i].path, TXMLTag::GetAttribute(e, "path"));
        EXPECT_EQ(kExceptions[i].is64 ? "1" : "", TXMLTag::GetAttribute(e, "is64"));
        if (!kExceptions[i].is64 || IsWin64())
            expected.push_back(LowerCase(kExceptions[i].is64
                                             ? ExpandPathMacros64(kExceptions[i].path)
                                             : ExpandPathMacros32(kExceptions[i].path)));
    }
    // Four on 32-bit Windows, where the is64 entry is skipped.
    ASSERT_NE(nullptr, Exceptions());
    EXPECT_EQ(IsWin64() ? 5 : 4, Exceptions()->Files.Count());
    EXPECT_TRUE(Exceptions()->RegExceptions.empty());
    for (const std::string& path : expected) {
        int index = 0;
        EXPECT_TRUE(Exceptions()->Files.Find(path, index)) << path;
    }
}

TEST_F(CatalogueTest, AddOnListHasItsShape)
{
    TXMLTag* items = ItemsElement("addons");
    const std::regex guid("^\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}$");
    const std::regex mail("^[^@\\s]+@[^@\\s]+$");
    int ie = 0, ff = 0, both = 0, ffGuid = 0, ffMail = 0, ffNeither = 0, ieMalformed = 0, lzio = 0;
    std::set<std::string> stored;
    std::vector<std::tuple<std::string, std::string, std::string>> rows;
    for (const auto& e : items->Children()) {
        ASSERT_EQ("addon", e->Name);
        const std::string name = TXMLTag::GetAttribute(e.get(), "name");
        const std::string ieId = TXMLTag::GetAttribute(e.get(), "ie");
        const std::string ffId = TXMLTag::GetAttribute(e.get(), "ff");
        EXPECT_FALSE(name.empty());
        both += !ieId.empty() && !ffId.empty();
        if (!ieId.empty()) {
            ++ie;
            stored.insert(UpperCase(ieId));
            ieMalformed += !std::regex_match(UpperCase(ieId), guid);
            rows.emplace_back(name, "ie", ieId);
        }
        if (!ffId.empty()) {
            ++ff;
            stored.insert(LowerCase(ffId));
            if (std::regex_match(UpperCase(ffId), guid))
                ++ffGuid;
            else if (std::regex_match(ffId, mail))
                ++ffMail;
            else
                ++ffNeither;
            rows.emplace_back(name, "ff", ffId);
        }
        lzio += name == "LZIO";
    }
    EXPECT_EQ(813, items->ChildCount());
    EXPECT_EQ(659, ie);
    EXPECT_EQ(154, ff);
    EXPECT_EQ(0, both);
    EXPECT_EQ(770u, stored.size());
    EXPECT_EQ(84, ffGuid);
    EXPECT_EQ(67, ffMail);
    EXPECT_EQ(3, ffNeither);
    EXPECT_EQ(19, ieMalformed);
    EXPECT_GT(lzio, 2);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ("ff", std::get<1>(rows[i])) << i;
    EXPECT_EQ("ie", std::get<1>(rows[15]));
    // At the end, toolbars listed for both browsers under one name.
    EXPECT_EQ(std::get<0>(rows[rows.size() - 1]), std::get<0>(rows[rows.size() - 2]));
    EXPECT_EQ("ie", std::get<1>(rows[rows.size() - 2]));
    EXPECT_EQ("ff", std::get<1>(rows[rows.size() - 1]));
    auto count = [&](const char* name, const char* kind, const char* id) {
        return std::count(rows.begin(), rows.end(),
                          std::make_tuple(std::string(name), std::string(kind), std::string(id)));
    };
    EXPECT_EQ(1, count("AniWeather", "ff", "{4176DFF4-4698-11DE-BEEB-45DA55D89593}"));
    EXPECT_EQ(1, count("FlashGot", "ff", "{19503e42-ca3c-4c27-b1e2-9cdb2170ee34}"));
    EXPECT_EQ(2, count("LZIO", "ie", "{00000000-0000-0000-BFA1-D7EE6696B865}"));
    EXPECT_EQ(1, count("FavoriteMan", "ie", "{00000EF1-34E3-4633-87C6-1AA7A44296DA"));
}

// The interface language picks the caption: "cs" and "cs-..." the Czech text,
// every other language the English one.
TEST_F(CatalogueTest, CaptionFollowsTheInterfaceLanguage)
{
    const TqvGroup* group = Group("down-prog-files");
    struct Case {
        const wchar_t* language;
        const wchar_t* caption;
    };
    const Case cases[] = {
        {L"cs", L"Odstranění složky \"Downloaded program files\""},
        {L"cs-CZ", L"Odstranění složky \"Downloaded program files\""},
        {L"CS", L"Odstranění složky \"Downloaded program files\""},
        {L"de", L"Downloaded program files folder"},
        {L"", L"Downloaded program files folder"},
    };
    for (const Case& c : cases) {
        etest::LanguageScope language(c.language);
        EXPECT_EQ(c.caption, group->GetCaption()) << WideToUtf8(c.language);
    }
    etest::LanguageScope cs(L"cs");
    EXPECT_EQ(L"Sdílené knihovny", Group("reg-shared-dll")->GetSettingsCaption());
    EXPECT_EQ(L"Odložené aplikace při spuštění", Group("delay-startup")->GetHint());
}

} // namespace
