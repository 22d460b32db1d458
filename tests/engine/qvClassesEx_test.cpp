// The registry scanners on the prefix's own registry areas: fixtures with
// unique names are made where each scanner walks and removed again.

#include "DriverTest.h"
#include "EngineTest.h"
#include "ImportPatch.h"
#include "KorvTest.h"
#include "engine/qvBackup.h"
#include "engine/qvClassesEx.h"
#include "engine/qvCleanRep.h"
#include "engine/qvExceptions.h"
#include "engine/qvScanners.h"
#include "platform/DateTimeU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"

#include <algorithm>
#include <atomic>

using namespace dtest;

namespace {

constexpr wchar_t kUninstall[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kSharedDlls[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr wchar_t kAppPaths[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths";
constexpr wchar_t kMuiCacheXp[] = L"Software\\Microsoft\\Windows\\ShellNoRoam\\MUICache";

// Every unforced report reaches OnProgress.
DWORD FastTicks()
{
    static std::atomic<DWORD> ticks{0};
    return ticks += 1000;
}

std::wstring SystemFile(const wchar_t* Name)
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\" + Name;
}

// One scanner on its own root, run on the calling thread.
struct ScannerRun {
    TqvMain main;
    std::unique_ptr<TqvItems> scanner;
    int reports = 0;
    int stopAt = 0; // the report that answers false; 0 never

    explicit ScannerRun(TqvScannerFactory Factory)
    {
        main.TickSource = &FastTicks;
        main.Status.Category = kCategoryFix;
        main.OnProgress = [this](const TqvUIStatus&) { return ++reports != stopAt; };
        scanner = Factory(&main);
    }
    void Scan() { scanner->Scan(); }
    // The findings (not the detail items) whose key holds Marker.
    std::vector<const TqvRegItem*> Found(const std::wstring& Marker) const
    {
        std::vector<const TqvRegItem*> found;
        const std::string marker = WideToAnsi(Marker);
        for (const auto& item : scanner->Items) {
            const auto* reg = dynamic_cast<const TqvRegItem*>(item.get());
            if (reg && reg->Found && !reg->Locked &&
                (reg->Key.find(marker) != std::string::npos ||
                 reg->Name.find(marker) != std::string::npos))
                found.push_back(reg);
        }
        return found;
    }
};

class RegistryScanners : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetExceptionsForTests();
        ResetCleanReportForTests();
    }
    void TearDown() override
    {
        SetKeyOwnerQuery(nullptr);
        ResetExceptionsForTests();
        ResetCleanReportForTests();
    }
    RegFixture reg;
};

} // namespace

TEST_F(RegistryScanners, ClassScannerMakesOnePassPerViewAndMarksTheSecond)
{
    const std::wstring dead = UniqueGuid(1);
    for (REGSAM view : Views())
        reg.String(HKEY_CLASSES_ROOT, L"CLSID\\" + dead + L"\\InprocServer32", L"",
                   L"C:\\korvgone\\pass.dll", view);
    ScannerRun run(&CreateItemsCLSID);
    run.Scan();

    const int passes = Win64() ? 2 : 1;
    EXPECT_EQ(passes, run.scanner->Maximum);
    EXPECT_EQ(passes, run.scanner->Position);
    std::vector<bool> views;
    for (const TqvRegItem* item : run.Found(dead))
        views.push_back(item->Is64);
    EXPECT_EQ(Win64() ? std::vector<bool>({false, true}) : std::vector<bool>({false}), views);
    for (const auto& item : run.scanner->Items) {
        if (!Win64()) {
            EXPECT_FALSE(item->Is64) << "32-bit Windows: no item of a 64-bit view";
        }
    }
    // The finding and its details are counted.
    EXPECT_EQ(static_cast<int>(run.scanner->Items.size()), run.main.Status.FixErrors);
}

TEST_F(RegistryScanners, AStopAtTheThirdUninstallEntryReadsNoFurtherEntryAndNoSecondPass)
{
    std::vector<std::wstring> names;
    for (int i = 0; i < 5; ++i) {
        names.push_back(L"KorvTest.Stop." + std::to_wstring(GetCurrentProcessId()) + L"." +
                        std::to_wstring(i));
        for (REGSAM view : Views())
            reg.String(HKEY_LOCAL_MACHINE, kUninstall + names.back(), L"UninstallString",
                       L"C:\\korvgone\\uninst" + std::to_wstring(i) + L".exe", view);
    }
    // The entries the walk meets first, whoever made them.
    std::vector<std::string> order;
    {
        std::string text;
        TRegViewScope view(Win64(), false);
        ASSERT_TRUE(RegGetSubKeyNames(HKEY_LOCAL_MACHINE, WideToAnsi(kUninstall), text));
        for (size_t start = 0; start < text.size();) {
            const size_t end = text.find("\r\n", start);
            order.push_back(text.substr(start, end - start));
            start = end + 2;
        }
    }
    ASSERT_GE(order.size(), 5u);

    ScannerRun run(&CreateItemsUninstall);
    run.stopAt = 3; // the report before the third entry
    run.Scan();

    std::vector<std::string> found;
    for (const TqvRegItem* item : run.Found(L"KorvTest.Stop.")) {
        EXPECT_FALSE(item->Is64) << "no 64-bit pass after a stop";
        found.push_back(item->Key.substr(WideToAnsi(kUninstall).size()));
    }
    std::vector<std::string> expected;
    for (size_t i = 0; i < 2; ++i)
        if (order[i].rfind("KorvTest.Stop.", 0) == 0)
            expected.push_back(order[i]);
    EXPECT_EQ(expected, found);
    EXPECT_EQ(3, run.reports);
    EXPECT_EQ(0, run.scanner->Position) << "a stopped scan makes no step";
}

namespace {

std::string gOwnedMarker;

bool FakeOwner(HKEY, const std::string& Path, std::string& Owner)
{
    Owner = Path.find(gOwnedMarker) != std::string::npos ? "TrustedInstaller" : "Administrators";
    return true;
}

// Bits of what a scan of the owned fixtures and of the XP cache found.
int OwnedAndXpFindings(const std::wstring& Marker, const std::wstring& XpValue)
{
    gOwnedMarker = WideToAnsi(Marker);
    SetKeyOwnerQuery(&FakeOwner);
    int bits = 0;
    ScannerRun classes(&CreateItemsCLSID);
    classes.Scan();
    if (!classes.Found(Marker).empty())
        bits |= 1;
    ScannerRun apps(&CreateItemsAppPaths);
    apps.Scan();
    if (!apps.Found(Marker).empty())
        bits |= 2;
    ScannerRun mui(&CreateItemsMUICache);
    mui.Scan();
    for (const TqvRegItem* item : mui.Found(XpValue))
        if (item->Root == HKEY_CURRENT_USER && item->ValueTarget)
            bits |= 4;
    SetKeyOwnerQuery(nullptr);
    return bits;
}

} // namespace

KTEST_ROLE(owned_scan)
{
    return args.size() == 2 ? OwnedAndXpFindings(args[0], args[1]) : 100;
}

TEST_F(RegistryScanners, TrustedInstallerKeysAreSkippedFromVistaOnAndTheXpCacheIsWalkedBefore)
{
    const std::wstring owned = UniqueGuid(2);
    const std::wstring app = L"korvtest" + owned + L".exe";
    const std::wstring xpValue = L"C:\\korvgone\\xp" + owned + L".exe";
    for (REGSAM view : Views()) {
        reg.String(HKEY_CLASSES_ROOT, L"CLSID\\" + owned + L"\\InprocServer32", L"",
                   L"C:\\korvgone\\owned.dll", view);
        reg.String(HKEY_LOCAL_MACHINE, std::wstring(kAppPaths) + L"\\" + app, L"",
                   L"C:\\korvgone\\owned.exe", view);
    }
    // HKCU Software is one key for both views.
    reg.String(HKEY_CURRENT_USER, kMuiCacheXp, xpValue, L"Gone", Views().front());

    ASSERT_TRUE(IsVistaOrLater()) << "the prefix runs a Vista-or-later version";
    EXPECT_EQ(0, OwnedAndXpFindings(owned, xpValue));

    const std::wstring folder =
        ktest::ProgramPath().substr(0, ktest::ProgramPath().find_last_of(L'\\') + 1);
    const ktest::ChildResult xp =
        ktest::RunSelfAsVersion(folder, L"winxp", L"owned_scan", {owned, xpValue});
    ASSERT_TRUE(xp.started);
    EXPECT_EQ(7u, xp.exitCode) << "under XP no key is skipped for its owner (1 class, 2 app "
                                  "path) and the XP cache key is walked (4)";
}

TEST_F(RegistryScanners, IgnoredAndRecentlyCleanedEntriesAreNeitherFoundNorCounted)
{
    const std::wstring ignored = UniqueGuid(3);
    const std::wstring cleaned = UniqueGuid(4);
    const std::wstring dead = UniqueGuid(5);
    for (const std::wstring& name : {ignored, cleaned, dead})
        reg.String(HKEY_CLASSES_ROOT, L"CLSID\\" + name + L"\\InprocServer32", L"",
                   L"C:\\korvgone\\ignored.dll", Views().front());
    auto exception = std::make_unique<TqvRegException>();
    exception->Root = HKEY_CLASSES_ROOT;
    exception->Key = UpperCase(WideToAnsi(L"CLSID\\" + ignored));
    exception->Kind = kExceptionKey;
    EnsureExceptions().RegExceptions.push_back(std::move(exception));
    // In memory only: nothing saves the report here.
    EnsureCleanReportLoaded().Add(HKEY_CLASSES_ROOT, WideToAnsi(L"clsid\\" + cleaned), true, "");

    ScannerRun run(&CreateItemsCLSID);
    run.Scan();
    EXPECT_TRUE(run.Found(ignored).empty());
    EXPECT_TRUE(run.Found(cleaned).empty());
    ASSERT_EQ(1u, run.Found(dead).size());
    int ours = 0;
    for (const auto& item : run.scanner->Items)
        if (static_cast<const TqvRegItem*>(item.get())->Key.find(WideToAnsi(dead)) !=
            std::string::npos)
            ++ours;
    EXPECT_EQ(2, ours) << "the class and its server key";
    EXPECT_EQ(static_cast<int>(run.scanner->Items.size()), run.main.Status.FixErrors);
}

TEST(ScannedContainers, AWholeScannedAreaIsNeverDeleted)
{
    struct Case {
        HKEY root;
        const char* key;
        bool container;
    };
    const Case cases[] = {
        {HKEY_CLASSES_ROOT, "CLSID", true},
        {HKEY_CLASSES_ROOT, "clsid\\", true},
        {HKEY_CLASSES_ROOT, "Interface", true},
        {HKEY_CLASSES_ROOT, "TypeLib\\\\", true},
        {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", true},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\\", true},
        {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths", true},
        {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\ShellNoRoam\\MUICache", true},
        {HKEY_CLASSES_ROOT, "Local Settings\\Software\\Microsoft\\Windows\\Shell\\MuiCache", true},
        {HKEY_CLASSES_ROOT, "Local Settings\\MuiCache", true},
        {HKEY_CLASSES_ROOT, "Local Settings\\MuiCache\\1a\\52C64B7E", true},
        {HKEY_CLASSES_ROOT, "Local Settings\\MuiCache\\1a\\52C64B7E\\deeper", false},
        {HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000000}", false},
        {HKEY_LOCAL_MACHINE, "CLSID", false},
        {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\X", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.container, IsScannedContainerKey(c.root, c.key)) << c.key;

    // A cache key found by a scan stays, whatever an item asks for.
    RegFixture reg;
    const std::wstring cache = L"Local Settings\\MuiCache\\" + Unique(L"KorvTest") + L"\\52C64B7E";
    reg.String(HKEY_CLASSES_ROOT, cache, L"@C:\\korvgone\\x.dll,-1", L"x", Views().front());
    TqvRegItem item(nullptr);
    item.Found = item.Selected = true;
    item.Root = HKEY_CLASSES_ROOT;
    item.Key = WideToAnsi(cache);
    item.FixKind = kRegFixDel;
    EXPECT_FALSE(item.Fix());
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, cache, Views().front()));
}

// ---------------------------------------------------------------------------
// What counts as a library file and as missing

class ScannerFiles : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ktest::ScratchDirTest::SetUp();
        ResetExceptionsForTests();
        ResetCleanReportForTests();
    }
    void TearDown() override
    {
        ResetExceptionsForTests();
        ResetCleanReportForTests();
        ktest::ScratchDirTest::TearDown();
    }
    RegFixture reg;
};

TEST_F(ScannerFiles, ATypeLibraryIsSoundOnlyThroughAnExistingFile)
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    WriteFile(L"x.tlb", "tlb");
    const struct {
        const char* name;
        std::wstring library;
        bool dead;
    } cases[] = {
        {"missing file in an existing folder", std::wstring(system) + L"\\korvgone.tlb", true},
        {"missing file in a missing folder", L"C:\\korvgone\\dead.tlb", true},
        {"resource number behind a present file", dir_ + L"x.tlb\\3", false},
        {"present file", dir_ + L"x.tlb", false},
        {"a folder as the library", system, true},
        {"resource number behind a folder", std::wstring(system) + L"\\3", true},
    };
    std::vector<std::wstring> guids;
    for (size_t i = 0; i < std::size(cases); ++i) {
        guids.push_back(UniqueGuid(0x40 + static_cast<int>(i)));
        reg.String(HKEY_CLASSES_ROOT, L"TypeLib\\" + guids.back() + L"\\1.0\\0\\win32", L"",
                   cases[i].library, Views().front());
    }
    ScannerRun run(&CreateItemsTypelib);
    run.Scan();
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].dead, !run.Found(guids[i]).empty()) << cases[i].name;
}

TEST_F(ScannerFiles, AKeyBothViewsShareIsJudgedInTheFirstPassOnly)
{
    if (!Win64())
        GTEST_SKIP() << "one registry view";
    // A 32-bit program's files: "%ProgramFiles%" is another folder in the
    // 64-bit view, where they are not.
    const std::wstring unique = Unique(L"korvtest");
    const std::string folder32 = ExpandPathMacros32("%PROGRAMFILES%\\") + WideToAnsi(unique) + "\\";
    ASSERT_NE(ExpandPathMacros32("%PROGRAMFILES%"), ExpandPathMacros64("%PROGRAMFILES%"));
    ASSERT_TRUE(CreateDirectoryA(folder32.c_str(), nullptr));
    for (const char* name : {"app.exe", "lib.tlb"})
        ASSERT_TRUE(etest::WriteBytes(folder32 + name, "x"));
    const std::wstring app = std::wstring(kAppPaths) + L"\\" + unique + L".exe";
    const std::wstring library = L"TypeLib\\" + UniqueGuid(0x50);
    reg.String(HKEY_LOCAL_MACHINE, app, L"", L"%ProgramFiles%\\" + unique + L"\\app.exe",
               Views().front(), REG_EXPAND_SZ);
    reg.String(HKEY_CLASSES_ROOT, library + L"\\1.0\\0\\win32", L"",
               L"%ProgramFiles%\\" + unique + L"\\lib.tlb", Views().front(), REG_EXPAND_SZ);
    // Wine keeps one key for both views here, as Windows 7 does for TypeLib.
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, app, dtest::kView64));
    ASSERT_TRUE(KeyExists(HKEY_CLASSES_ROOT, library, dtest::kView64));

    ScannerRun apps(&CreateItemsAppPaths);
    apps.Scan();
    ScannerRun libraries(&CreateItemsTypelib);
    libraries.Scan();
    EXPECT_TRUE(apps.Found(unique).empty()) << "its App Path is sound";
    EXPECT_TRUE(libraries.Found(library.substr(8)).empty()) << "its type library is sound";

    for (const char* name : {"app.exe", "lib.tlb"})
        DeleteFileA((folder32 + name).c_str());
    RemoveDirectoryA(folder32.c_str());
}

namespace {

// The existence test answers these errors for paths that hold their marker.
struct TProbeError {
    const char* marker;
    DWORD error;
};
constexpr TProbeError kProbeErrors[] = {
    {"korvprobe-denied", ERROR_ACCESS_DENIED},
    {"korvprobe-sharing", ERROR_SHARING_VIOLATION},
    {"korvprobe-device", ERROR_NOT_READY},
    {"korvprobe-volume", ERROR_UNRECOGNIZED_VOLUME},
};
DWORD(WINAPI* gRealAttributes)(LPCSTR) = nullptr;
// Every path on drive C when set: the volume cannot be read at all.
std::atomic<DWORD> gDriveError{0};

DWORD WINAPI ProbeAttributes(LPCSTR Path)
{
    const std::string path = LowerCase(Path ? Path : "");
    if (gDriveError && path.rfind("c:", 0) == 0) {
        SetLastError(gDriveError);
        return INVALID_FILE_ATTRIBUTES;
    }
    for (const TProbeError& p : kProbeErrors)
        if (path.find(p.marker) != std::string::npos) {
            SetLastError(p.error);
            return INVALID_FILE_ATTRIBUTES;
        }
    return gRealAttributes(Path);
}

// Points the program's GetFileAttributesA at ProbeAttributes while it lives.
class TProbePatch {
public:
    TProbePatch()
    {
        gRealAttributes = reinterpret_cast<DWORD(WINAPI*)(LPCSTR)>(importpatch::PatchImport(
            "kernel32.dll", "GetFileAttributesA", reinterpret_cast<void*>(&ProbeAttributes)));
    }
    ~TProbePatch()
    {
        if (gRealAttributes)
            importpatch::PatchImport("kernel32.dll", "GetFileAttributesA",
                                     reinterpret_cast<void*>(gRealAttributes));
    }
    bool Installed() const { return gRealAttributes != nullptr; }
};

} // namespace

TEST_F(ScannerFiles, OnlyNotFoundMakesAPathMissing)
{
    TProbePatch patch;
    ASSERT_TRUE(patch.Installed());
    // Each folder's program: an error that may pass is never a finding.
    std::vector<std::pair<std::string, bool>> cases; // folder, dead
    for (const TProbeError& p : kProbeErrors)
        cases.emplace_back(p.marker, false);
    cases.emplace_back("korvgone", true);
    std::vector<std::wstring> entries;
    for (const auto& [folder, dead] : cases) {
        entries.push_back(Unique(L"KorvTest.probe") + L".end");
        reg.String(HKEY_LOCAL_MACHINE, kUninstall + entries.back(), L"UninstallString",
                   L"C:\\" + AnsiToWide(folder) + L"\\uninst.exe /S", Views().front());
    }
    ScannerRun run(&CreateItemsUninstall);
    run.Scan();
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(cases[i].second, !run.Found(entries[i]).empty()) << cases[i].first;
}

KTEST_ROLE(unreadable_drive)
{
    // Before the drives are first listed: the volume of C: cannot be read.
    TProbePatch patch;
    if (!patch.Installed())
        return 100;
    gDriveError = args.empty() ? ERROR_UNRECOGNIZED_VOLUME : std::stoul(args[0]);
    return IsFixedDrivePath("C:\\korvgone\\x.exe") ? 1 : 0;
}

TEST_F(ScannerFiles, AFixedDriveWhoseRootCannotBeReadIsNoFixedDrive)
{
    for (const DWORD error : {ERROR_UNRECOGNIZED_VOLUME, ERROR_NOT_READY}) {
        const ktest::ChildResult child =
            ktest::RunSelf(L"unreadable_drive", {std::to_wstring(error)});
        ASSERT_TRUE(child.started);
        EXPECT_EQ(0u, child.exitCode) << "error " << error << ": nothing on it can be missing";
    }
}

// ---------------------------------------------------------------------------
// Class keys live in a hive: the merged HKCR only shows them

namespace {

// A backup of one item through the process's writer into Folder + "Backup\";
// the file's text, '' when none was written.
std::string BackedUp(TqvRegItem& Item, const std::string& Folder, std::string& File)
{
    TProgramFolders folders = ComputeProgramFolders();
    folders.CommonDataDir = Folder;
    folders.BackupDir = Folder + "Backup\\";
    SetProgramFoldersForTests(folders);
    BeginBackup(kBackupFix, L"classes");
    const bool recorded = Item.Backup();
    EndBackup();
    ResetProgramFoldersForTests();
    TqvBackups backups;
    backups.LoadFrom(Folder + "Backup\\");
    if (!recorded || backups.FixBackups.empty())
        return {};
    File = backups.FixBackups.front()->FileName;
    return ktest::ReadFileBytes(AnsiToWide(File));
}

} // namespace

TEST(ClassHives, TheNativeNameTellsTheHive)
{
    const struct {
        const wchar_t* native;
        HKEY hive;
    } cases[] = {
        {L"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{x}", HKEY_LOCAL_MACHINE},
        {L"\\Registry\\Machine\\Software\\Classes\\Wow6432Node\\CLSID\\{x}", HKEY_LOCAL_MACHINE},
        {L"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1000_Classes\\CLSID\\{x}", HKEY_CURRENT_USER},
        {L"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1000\\Software\\Classes\\CLSID\\{x}",
         HKEY_CURRENT_USER},
        {L"", nullptr},
        {L"\\REGISTRY\\MACHINEX\\CLSID", nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.hive, ClassesHiveOfNativeName(c.native)) << WideToUtf8(c.native);
}

TEST_F(ScannerFiles, AClassFindingIsBackedUpAndRestoredInItsOwnHive)
{
    // Wine keeps every class in HKLM\Software\Classes (it merges no
    // per-user classes into HKCR): the real lookup names that hive.
    const std::wstring dead = UniqueGuid(0x60);
    reg.String(HKEY_CLASSES_ROOT, L"CLSID\\" + dead + L"\\InprocServer32", L"",
               L"C:\\korvgone\\hive.dll", Views().front());
    ScannerRun run(&CreateItemsCLSID);
    run.main.BackupWriter = DefaultBackupWriter();
    run.Scan();
    std::vector<const TqvRegItem*> found = run.Found(dead);
    ASSERT_FALSE(found.empty());
    auto* item = const_cast<TqvRegItem*>(found.front());
    std::string file;
    const std::string text = BackedUp(*item, dirAnsi_, file);
    EXPECT_NE(std::string::npos,
              text.find("root=\"HKLM\" key=\"Software\\Classes\\CLSID\\" + WideToAnsi(dead) + "\""))
        << text;
    EXPECT_EQ(std::string::npos, text.find("root=\"HKCR\"")) << text;
    EXPECT_TRUE(item->Fix());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + dead, Views().front()));
    TqvBackup backup(file);
    EXPECT_EQ(0, backup.Restore().Failed);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE,
                          L"Software\\Classes\\CLSID\\" + dead + L"\\InprocServer32",
                          Views().front()));
}

TEST_F(ScannerFiles, APerUserClassGoesBackToTheUserNeverMachineWide)
{
    // Where Windows merges the user's classes into HKCR, the native name of
    // such a finding names the user's hive; the item then acts there.
    const std::wstring cls = L"CLSID\\" + UniqueGuid(0x61);
    const std::wstring user = L"Software\\Classes\\" + cls;
    reg.String(HKEY_CURRENT_USER, user + L"\\InprocServer32", L"", L"C:\\korvgone\\user.dll",
               Views().front());
    TqvMain main;
    main.BackupWriter = DefaultBackupWriter();
    auto scanner = CreateItemsCLSID(&main);
    auto item = NewRegDeletion(scanner.get(), HKEY_CLASSES_ROOT, WideToAnsi(cls), "", false, false);
    item->ClassesHive = HKEY_CURRENT_USER;
    std::string file;
    const std::string text = BackedUp(*item, dirAnsi_, file);
    EXPECT_NE(std::string::npos, text.find("root=\"HKCU\" key=\"" + WideToAnsi(user) + "\""))
        << text;
    EXPECT_TRUE(item->Fix());
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, user, Views().front()));
    TqvBackup backup(file);
    EXPECT_EQ(0, backup.Restore().Failed);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, user + L"\\InprocServer32", Views().front()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + cls, Views().front()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, cls, Views().front()));
}

// ---------------------------------------------------------------------------
// The scanner table through the driver, as a diff against the untouched prefix

namespace {

const std::set<std::string> kScannerGroups = {"reg-clsid",     "reg-interface",  "reg-typelib",
                                              "reg-uninstall", "reg-shared-dll", "reg-muicache",
                                              "reg-app-paths"};

std::string CleanReportWith(const std::wstring& ClassKey)
{
    const int today = static_cast<int>(Now());
    return "<cleanrep>\r\n    <reg root=\"HKCR\" key=\"" + WideToAnsi(ClassKey) +
           "\" name=\"\" value=\"\" type=\"\" scan=\"exists\" fix=\"\" date=\"" +
           std::to_string(today) + "\" />\r\n</cleanrep>\r\n";
}

} // namespace

class ScannerTable : public ktest::ScratchDirTest {};

TEST_F(ScannerTable, DriverScanFindsExactlyTheDeadFixturesAndRepairDeletesOnlyThem)
{
    BackupDirGuard backupDir;
    RegFixture reg;
    const REGSAM v32 = Views().front();
    const bool win64 = Win64();
    auto guid = [](int n) { return UniqueGuid(0x100 + n); };
    const std::wstring clsid = L"CLSID\\";
    const std::wstring gone = L"C:\\korvgone\\";

    // Files the sound rows name.
    const std::wstring cyrillic = dir_ + L"\x041F\x0440\x0438\x0432\x0435\x0442";
    ASSERT_TRUE(CreateDirectoryW(cyrillic.c_str(), nullptr));
    const std::wstring cyrillicFile = cyrillic + L"\\x.dll";
    CloseHandle(
        CreateFileW(cyrillicFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    WriteFile(L"x.tlb", "tlb");
    const std::wstring tlb = dir_ + L"x.tlb";

    const std::string before = RunDriver({L"scan", L"-v"}).out;
    ASSERT_NE(std::string::npos, before.find("total\t")) << before;

    // Classes.
    const std::wstring a = clsid + guid(1), b = clsid + guid(2), c = clsid + guid(3),
                       d = clsid + guid(4), e = clsid + guid(5), f = clsid + guid(6),
                       g = clsid + guid(7), h = clsid + guid(8), cr = clsid + guid(9);
    reg.String(HKEY_CLASSES_ROOT, a + L"\\InprocServer32", L"", gone + L"a.dll", v32);
    reg.String(HKEY_CLASSES_ROOT, a + L"\\LocalServer32", L"", SystemFile(L"rundll32.exe"), v32);
    reg.String(HKEY_CLASSES_ROOT, b + L"\\InprocServer32", L"", L"", v32);
    reg.String(HKEY_CLASSES_ROOT, b + L"\\LocalServer32", L"", L"   ", v32);
    reg.String(HKEY_CLASSES_ROOT, c, L"v1", L"x", v32);
    reg.String(HKEY_CLASSES_ROOT, c + L"\\InprocServer32", L"", gone + L"c.dll", v32);
    reg.String(HKEY_CLASSES_ROOT, c + L"\\LocalServer32", L"",
               L"\"" + gone + L"c.exe\" /automation", v32);
    reg.String(HKEY_CLASSES_ROOT, d + L"\\InprocServer32", L"",
               L"%SystemRoot%\\system32\\kernel32.dll", v32, REG_EXPAND_SZ);
    for (REGSAM view : Views())
        reg.String(HKEY_CLASSES_ROOT, e + L"\\InprocServer32", L"", gone + L"e.dll", view);
    reg.String(HKEY_CLASSES_ROOT, f + L"\\InprocServer32", L"", cyrillicFile, v32);
    reg.String(HKEY_CLASSES_ROOT, g + L"\\InprocServer32", L"", L"Q:\\gone\\x.dll", v32);
    reg.String(HKEY_CLASSES_ROOT, h + L" \\InprocServer32", L"", gone + L"h.dll", v32);
    reg.String(HKEY_CLASSES_ROOT, h + L"\\InprocServer32", L"", SystemFile(L"kernel32.dll"), v32);
    reg.String(HKEY_CLASSES_ROOT, cr + L"\\InprocServer32", L"", gone + L"cr.dll", v32);
    CreateDirectoryA(RealCommonDataDir().c_str(), nullptr);
    CreateDirectoryA(RealBackupDir().c_str(), nullptr);
    ASSERT_TRUE(etest::WriteBytes(RealBackupDir() + "cleanrep.xml", CleanReportWith(cr)));

    // Interfaces.
    const std::wstring k = L"Interface\\" + guid(10), l = L"Interface\\" + guid(11),
                       m = L"Interface\\" + guid(12);
    reg.String(HKEY_CLASSES_ROOT, k, L"", L"IKorvTest", v32);
    reg.String(HKEY_CLASSES_ROOT, l + L"\\TypeLib", L"", L"", v32);
    reg.String(HKEY_CLASSES_ROOT, m + L"\\TypeLib", L"", guid(13), v32);

    // Type libraries (one key for both views on Wine and Windows 7).
    const std::wstring o = L"TypeLib\\" + guid(14), p = L"TypeLib\\" + guid(15);
    reg.String(HKEY_CLASSES_ROOT, o + L"\\1.0\\0\\win32", L"", tlb + L"\\3", v32);
    reg.String(HKEY_CLASSES_ROOT, p + L"\\1.0\\0\\win32", L"", gone + L"dead.tlb", v32);

    // Uninstall entries, shared DLLs, the MUI cache, App Paths.
    const std::wstring q = kUninstall + Unique(L"KorvTest.q"),
                       r = kUninstall + Unique(L"KorvTest.r"),
                       s = kUninstall + Unique(L"KorvTest.s");
    reg.String(HKEY_LOCAL_MACHINE, q, L"UninstallString", gone + L"uninst.exe /S", v32);
    reg.String(HKEY_LOCAL_MACHINE, r, L"UninstallString",
               L"MsiExec.exe /X{12345678-1234-1234-1234-123456789012}", v32);
    reg.String(HKEY_LOCAL_MACHINE, s, L"UninstallString",
               L"rundll32.exe shell32.dll,Control_RunDLL", v32);
    const std::wstring shared = gone + Unique(L"shared") + L".dll";
    reg.Dword(HKEY_LOCAL_MACHINE, kSharedDlls, shared, 1, v32);
    const bool hadDefault = ValueExists(HKEY_LOCAL_MACHINE, kSharedDlls, L"", v32);
    if (!hadDefault)
        reg.String(HKEY_LOCAL_MACHINE, kSharedDlls, L"", gone + L"default.dll", v32);
    const std::wstring mui = L"Local Settings\\MuiCache\\" + Unique(L"KorvTest") + L"\\52C64B7E";
    const std::wstring muiValue = L"@" + gone + L"mui.dll,-1";
    reg.String(HKEY_CLASSES_ROOT, mui, muiValue, L"Gone", v32);
    reg.String(HKEY_CLASSES_ROOT, mui, L"LanguageList", L"en-US", v32);
    const std::wstring w = std::wstring(kAppPaths) + L"\\" + Unique(L"korvtest") + L".exe";
    reg.String(HKEY_LOCAL_MACHINE, w, L"", gone + L"app.exe", v32);

    const DriverResult after = RunDriver({L"scan", L"-v"});
    ASSERT_EQ(0u, after.exitCode) << after.err;

    std::map<std::string, std::vector<std::string>> expected;
    auto add = [&](const char* group, const char* root, const std::wstring& key,
                   const std::wstring& name, bool is64, bool locked) {
        expected[group].push_back(ItemLine(root, key, name, is64, locked));
    };
    add("reg-clsid", "HKCR", c, L"", false, false);
    add("reg-clsid", "HKCR", c, L"v1", false, true);
    add("reg-clsid", "HKCR", c + L"\\InprocServer32", L"", false, true);
    add("reg-clsid", "HKCR", c + L"\\LocalServer32", L"", false, true);
    for (bool is64 : win64 ? std::vector<bool>{false, true} : std::vector<bool>{false}) {
        add("reg-clsid", "HKCR", e, L"", is64, false);
        add("reg-clsid", "HKCR", e + L"\\InprocServer32", L"", is64, true);
    }
    add("reg-clsid", "HKCR", h + L" ", L"", false, false);
    add("reg-clsid", "HKCR", h + L" \\InprocServer32", L"", false, true);
    for (const std::wstring& dead : {l, m}) {
        add("reg-interface", "HKCR", dead, L"", false, false);
        add("reg-interface", "HKCR", dead + L"\\TypeLib", L"", false, true);
    }
    add("reg-typelib", "HKCR", p, L"", false, false);
    add("reg-typelib", "HKCR", p + L"\\1.0", L"", false, true);
    add("reg-typelib", "HKCR", p + L"\\1.0\\0", L"", false, true);
    add("reg-typelib", "HKCR", p + L"\\1.0\\0\\win32", L"", false, true);
    add("reg-uninstall", "HKLM", q, L"", false, false);
    add("reg-uninstall", "HKLM", q, L"UninstallString", false, true);
    add("reg-shared-dll", "HKLM", kSharedDlls, shared, false, false);
    add("reg-muicache", "HKCR", mui, muiValue, false, false);
    add("reg-app-paths", "HKLM", w, L"", false, false);
    for (auto& [group, lines] : expected)
        std::sort(lines.begin(), lines.end());
    for (const std::string& group : kScannerGroups)
        expected[group];

    EXPECT_EQ(expected, NewItems(before, after.out, kScannerGroups)) << after.out;
    // Everything the prefix showed before is still there.
    for (const std::string& group : kScannerGroups)
        EXPECT_TRUE(NewItems(after.out, before, {group})[group].empty()) << group;

    // The repair deletes the findings, by their exact names, and nothing else.
    const DriverResult repair = RunDriver({L"repair", L"2"});
    EXPECT_EQ(0u, repair.exitCode) << repair.err;
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, h + L" ", v32));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, h + L"\\InprocServer32", v32));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, c, v32));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, a, v32));
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, kSharedDlls, L"", v32))
        << "the default value of SharedDLLs is no finding";
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kSharedDlls, shared, v32));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, mui, v32));
    EXPECT_FALSE(ValueExists(HKEY_CLASSES_ROOT, mui, muiValue, v32));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, cr, v32)) << "listed in the clean report";

    // What the repair removed from the prefix itself comes back.
    const std::vector<std::string> made = backupDir.NewBackups("fix_");
    ASSERT_EQ(1u, made.size());
    const DriverResult restore = RunDriver({L"restore", AnsiToWide(made[0])});
    EXPECT_EQ(0u, restore.exitCode) << restore.out << restore.err;
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, c + L"\\LocalServer32", v32));
}
