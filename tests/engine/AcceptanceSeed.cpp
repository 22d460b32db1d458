// The Windows side of the whole-catalogue acceptance run
// (tests/engine/acceptance/acceptance.sh): seeds one finding per catalogue
// group in a fresh prefix, with paths taken from the prefix's own folders.
// Registry seeds go to the 32-bit view unless a seed says otherwise; the
// 64-bit seeds are left out on 32-bit Windows. C:\KvGone\ never exists.
//
//   engine_tests.exe --role=acceptance_seed
//
// Exit status 0, or the number of the first seed that failed.
#include "AddOnTestSupport.h"
#include "EngineTest.h"
#include "KorvTest.h"
#include "StartupTestSupport.h"
#include "platform/FirefoxU.h"
#include "platform/RegistryU.h"
#include "platform/SQLiteTable3.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>

namespace {

using atest::kView32;
using atest::kView64;

int gFailed = 0;
int gStep = 0;

void Check(bool Ok, const char* What)
{
    ++gStep;
    if (!Ok && !gFailed) {
        gFailed = gStep;
        std::fprintf(stderr, "seed %d failed: %s\n", gStep, What);
    }
}

// Writes the value in View, making the key.
bool SetString(HKEY Root, const std::string& Key, const std::string& Name, const std::string& Value,
               REGSAM View, DWORD Type = REG_SZ)
{
    TRegViewScope view(View == kView32, View == kView64);
    return RegWriteValue(Root, Key, Name, Type, Value.c_str(),
                         static_cast<DWORD>(Value.size() + 1));
}

bool SetDword(HKEY Root, const std::string& Key, const std::string& Name, DWORD Value, REGSAM View)
{
    TRegViewScope view(View == kView32, View == kView64);
    return RegWriteDWord(Root, Key, Name, Value);
}

// A file of Size bytes, with the folders it needs.
bool File(const std::string& Path, size_t Size)
{
    return etest::WriteBytes(Path, std::string(Size, 'k'));
}

bool Link(const std::string& LinkFile, const std::string& Target)
{
    SHCreateDirectoryExA(nullptr, LinkFile.substr(0, LinkFile.rfind('\\')).c_str(), nullptr);
    return stest::MakeShortcut(LinkFile, Target);
}

std::string Folder(int Csidl)
{
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, Csidl, nullptr, 0, path)))
        return {};
    return std::string(path) + "\\";
}

// Ids the run's stand-in and cache know too.
constexpr char kClassSeed[] = "{4B3E0AC0-0001-4000-8000-00000000AC01}";
constexpr char kInterfaceSeed[] = "{4B3E0AC0-0002-4000-8000-00000000AC02}";
constexpr char kLibrarySeed[] = "{4B3E0AC0-0003-4000-8000-00000000AC03}";
constexpr char kUnregisteredLibrary[] = "{4B3E0AC0-0004-4000-8000-00000000AC04}";
constexpr char kListedBho[] = "{00000000-0000-0000-BFA1-D7EE6696B865}";
constexpr char kUnlistedToolbar[] = "{4B3E0AC0-0005-4000-8000-00000000AC05}";
constexpr char kCachedBlackBho[] = "{4B3E0AC0-0006-4000-8000-00000000AC06}";

void SeedRegistry(bool Win64)
{
    // reg-clsid: a class with only its server, which is gone.
    Check(SetString(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClassSeed + "\\InprocServer32", "",
                    "C:\\KvGone\\kv.dll", kView32),
          "class 32");
    if (Win64)
        Check(SetString(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClassSeed + "\\InprocServer32",
                        "", "C:\\KvGone\\kv.dll", kView64),
              "class 64");
    // reg-interface: names a library nobody registered.
    Check(SetString(HKEY_CLASSES_ROOT, std::string("Interface\\") + kInterfaceSeed, "", "IKvGone",
                    kView32),
          "interface");
    Check(SetString(HKEY_CLASSES_ROOT, std::string("Interface\\") + kInterfaceSeed + "\\TypeLib",
                    "", kUnregisteredLibrary, kView32),
          "interface library");
    // reg-typelib: one key for both views.
    Check(SetString(HKEY_CLASSES_ROOT, std::string("TypeLib\\") + kLibrarySeed + "\\1.0\\0\\win32",
                    "", "C:\\KvGone\\kv.tlb", kView32),
          "type library");
    const std::string cv = "Software\\Microsoft\\Windows\\CurrentVersion";
    Check(SetString(HKEY_LOCAL_MACHINE, cv + "\\Uninstall\\KvGone", "UninstallString",
                    "\"C:\\KvGone\\unins.exe\" /x", kView32),
          "uninstall");
    Check(SetDword(HKEY_LOCAL_MACHINE, cv + "\\SharedDLLs", "C:\\KvGone\\kvs.dll", 1, kView32),
          "shared dll");
    Check(SetString(HKEY_CLASSES_ROOT, "Local Settings\\MuiCache\\KvA\\KvB",
                    "@C:\\KvGone\\kvm.dll,-101", "Kv", kView32),
          "mui cache");
    Check(SetString(HKEY_CURRENT_USER, cv + "\\Run", "KvGone", "\"C:\\KvGone\\kvr.exe\" /min",
                    kView32),
          "run");
    Check(SetString(HKEY_LOCAL_MACHINE, cv + "\\App Paths\\kvgone.exe", "",
                    "C:\\KvGone\\kvgone.exe", kView32),
          "app path");
    Check(SetString(HKEY_CURRENT_USER, "SOFTWARE\\KvAccept", "Target", "C:\\KvGone\\kvd.exe",
                    kView32),
          "missing file");
    Check(SetDword(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\DrWatson", "NumberOfCrashes", 5,
                   kView32),
          "win boost");
    Check(SetDword(HKEY_CURRENT_USER, cv + "\\Internet Settings", "MaxConnectionsPerServer", 10,
                   kView32),
          "int boost");
}

void SeedStartup(bool Win64)
{
    const std::string programs = ProgramFilesDir();
    const std::string skype = programs + "Skype\\Phone\\Skype.exe";
    const std::string steam = programs + "steam\\steam.exe";
    const std::string torrent = programs + "uTorrent\\uTorrent.exe";
    Check(File(skype, 10) && File(steam, 10) && File(torrent, 10), "start-up programs");
    const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    Check(SetString(HKEY_CURRENT_USER, run, "Skype", "\"" + skype + "\" /minimized", kView32),
          "skype");
    Check(SetString(HKEY_LOCAL_MACHINE, run, "Steam", "\"" + steam + "\" -silent", kView32),
          "steam 32");
    if (Win64)
        Check(SetString(HKEY_LOCAL_MACHINE, run, "Steam", "\"" + steam + "\" -silent", kView64),
              "steam 64");
    Check(Link(Folder(CSIDL_COMMON_STARTUP) + "uTorrent.lnk", torrent), "utorrent link");
    Check(Link(Folder(CSIDL_STARTUP) + "KvGone.lnk", "C:\\KvGone\\kvl.exe"), "startup link");
}

void SeedAddOns(const std::string& CacheFile)
{
    const std::string bhoKey =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\";
    const std::string server = "C:\\KvAddOns\\";
    for (const char* clsid : {kListedBho, kUnlistedToolbar, kCachedBlackBho}) {
        const std::string file = server + "kv" + std::string(clsid).substr(1, 8) + ".dll";
        Check(File(file, 2), "add-on server");
        Check(SetString(HKEY_CLASSES_ROOT, std::string("CLSID\\") + clsid, "",
                        std::string("Kv add-on ") + clsid, kView32),
              "add-on class");
        Check(SetString(HKEY_CLASSES_ROOT, std::string("CLSID\\") + clsid + "\\InprocServer32", "",
                        file, kView32),
              "add-on server key");
    }
    Check(SetString(HKEY_LOCAL_MACHINE, bhoKey + kListedBho, "", "", kView32), "listed bho");
    Check(SetString(HKEY_LOCAL_MACHINE, bhoKey + kCachedBlackBho, "", "", kView32), "cached bho");
    Check(SetString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer\\Toolbar",
                    kUnlistedToolbar, "", kView32, REG_BINARY),
          "toolbar");
    const std::string settings =
        std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\") +
        kCachedBlackBho;
    Check(SetDword(HKEY_CURRENT_USER, settings, "Flags", 1, kView32) &&
              SetString(HKEY_CURRENT_USER, settings, "Version", "*", kView32),
          "already off");
    std::string id = std::string(kCachedBlackBho).substr(1, 36);
    for (char& c : id)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    Check(
        etest::WriteBytes(CacheFile, "<addons>\r\n  <addon id=\"" + id +
                                         "\" name=\"Cached black\" type=\"B\" />\r\n</addons>\r\n"),
        "cache");

    // Firefox 4 with its SQLite library, and one profile's database.
    const std::string firefox = ProgramFiles32Dir() + "Mozilla Firefox\\";
    SHCreateDirectoryExA(nullptr, firefox.c_str(), nullptr);
    const std::string here = atest::ProgramFolder();
    Check(
        CopyFileA((here + "ktest_firefox.exe").c_str(), (firefox + "firefox.exe").c_str(), FALSE) &&
            CopyFileA((here + "sqlite3.dll").c_str(), (firefox + "mozsqlite3.dll").c_str(), FALSE),
        "firefox");
    Check(SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Mozilla\\Mozilla Firefox", "CurrentVersion",
                    "4.0 (x86 en-US)", kView32) &&
              SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Mozilla\\Mozilla Firefox 4.0\\bin",
                        "PathToExe", firefox + "firefox.exe", kView32),
          "firefox keys");
    std::string library;
    LoadFirefoxSQLite(firefox, library);
    Check(!library.empty(), "firefox library");
    const std::string profile = AppDataDir() + "Mozilla\\Firefox\\Profiles\\kvacc.default\\";
    const std::string database = profile + "extensions.sqlite";
    Check(etest::WriteBytes(database, ""), "database file");
    try {
        TSQLiteDatabase db(database);
        db.ExecSQL("CREATE TABLE addon (id TEXT, location TEXT, active INTEGER, userDisabled "
                   "INTEGER, descriptor TEXT)");
        db.ExecSQL("INSERT INTO addon VALUES ('kvblack@kv.test', 'app-profile', 1, 0, '" + profile +
                   "extensions\\kvblack@kv.test')");
        db.ExecSQL("INSERT INTO addon VALUES ('kvwhite@kv.test', 'app-profile', 1, 0, '" + profile +
                   "extensions\\kvwhite@kv.test')");
    } catch (const std::exception& e) {
        Check(false, e.what());
    }
}

void SeedFiles()
{
    const std::string profile = UserProfileDir();
    const std::string windows = WindowsDir();
    Check(File(profile + "Local Settings\\Application Data\\Mozilla\\Firefox\\Profiles\\kv\\Cache\\"
                         "a.bin",
               1000),
          "temp-ff");
    const std::string ie = profile + "Local Settings\\Temporary Internet Files\\Content.IE5\\";
    Check(File(ie + "KV1\\b.bin", 2000) && File(ie + "index.dat", 100), "temp-ie");
    Check(File(windows + "Downloaded Program Files\\c.bin", 3000) &&
              File(windows + "Downloaded Program Files\\desktop.ini", 50),
          "down-prog-files");
    Check(File(SystemDiskRoot() + "FOUND.000\\d.chk", 4000), "chkdsk");
    // The recycle bin: a file deleted to it.
    const std::string doomed = profile + "kv-recycled.bin";
    Check(File(doomed, 5000), "recycled file");
    std::wstring from = WideFromAnsi(doomed);
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;
    Check(SHFileOperationW(&op) == 0 && !op.fAnyOperationsAborted, "recycle");
    Check(File(profile + "Local Settings\\Temp\\e.tmp", 6000) &&
              File(windows + "Temp\\f.tmp", 7000),
          "temp-files");
    Check(File("C:\\KvCanary\\canary.txt", 10), "canary");
    Check(File(windows + "kv.log", 800) && File(windows + "WindowsUpdate.log", 20) &&
              File(windows + "Debug\\PASSWD.LOG", 20),
          "old-logs");
    const std::string native = System64Dir();
    Check(File(native + "wbem\\Logs\\kv64.log", 900), "old-logs 64");
    Check(File(windows + "memory.dmp", 1100) &&
              File(AllUsersAppDataDir() + "Microsoft\\Windows\\WER\\ReportQueue\\r.wer", 1200),
          "memory-dumps");
}

} // namespace

KTEST_ROLE(acceptance_seed)
{
    if (!args.empty())
        return 100;
    const stest::ComScope com;
    const bool win64 = IsWin64();
    SeedRegistry(win64);
    SeedStartup(win64);
    SeedAddOns(AllUsersAppDataDir() + "Korvelle\\addons.xml");
    SeedFiles();
    return gFailed;
}
