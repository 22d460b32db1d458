// The driver's repair, backup list and restore on the prefix's own registry:
// what a repair removes comes back byte for byte, a backup that cannot be
// written stops the repair, and the wanted restore point is reported when it
// cannot be made.

#include "DriverTest.h"
#include "KorvTest.h"
#include "engine/qvScanTools.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <algorithm>
#include <functional>

using namespace dtest;

namespace {

constexpr wchar_t kUninstall[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kAppPaths[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

// Root, key, name and is64 of one item line of the driver.
struct ItemRef {
    std::string root;
    std::string key;
    std::string name;
    bool is64 = false;
    bool locked = false;
};

std::string Attribute(const std::string& Line, const std::string& Name)
{
    const std::string marker = " " + Name + "=\"";
    const size_t at = Line.find(marker);
    if (at == std::string::npos)
        return {};
    const size_t start = at + marker.size();
    return Line.substr(start, Line.find('"', start) - start);
}

std::vector<ItemRef> Items(const std::string& Out, const std::set<std::string>& Groups)
{
    std::vector<ItemRef> items;
    for (const auto& [group, lines] : ScanItems(Out)) {
        if (!Groups.count(group))
            continue;
        for (const std::string& line : lines) {
            if (line.find("<reg ") == std::string::npos)
                continue;
            ItemRef item;
            item.root = Attribute(line, "root");
            item.key = UnescapeHashHex(Attribute(line, "key"));
            item.name = UnescapeHashHex(Attribute(line, "name"));
            item.is64 = Attribute(line, "is64") == "1";
            item.locked = line.find("locked=1") != std::string::npos;
            items.push_back(item);
        }
    }
    return items;
}

// The export paths where a key of an item can show, in any view.
std::vector<std::string> ExportForms(const ItemRef& Item)
{
    const std::string key = AsciiUpperCase(Item.key);
    if (Item.root == "HKCR")
        return {"HKEY_CLASSES_ROOT\\" + key, "HKEY_CLASSES_ROOT\\WOW6432NODE\\" + key,
                "HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES\\" + key,
                "HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES\\WOW6432NODE\\" + key,
                "HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432NODE\\CLASSES\\" + key};
    if (Item.root == "HKLM") {
        std::vector<std::string> forms = {"HKEY_LOCAL_MACHINE\\" + key};
        if (key.rfind("SOFTWARE\\", 0) == 0)
            forms.push_back("HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432NODE\\" + key.substr(9));
        return forms;
    }
    return {};
}

// The line of a value in an export section.
std::string ValuePrefix(const std::string& Name)
{
    if (Name.empty())
        return "@=";
    std::string escaped;
    for (char c : Name) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c;
    }
    return "\"" + escaped + "\"=";
}

using Snapshot = std::vector<std::map<std::string, std::vector<std::string>>>;

Snapshot Take(const std::vector<std::wstring>& Keys)
{
    Snapshot snapshot;
    for (const std::wstring& key : Keys)
        for (REGSAM view : Views()) {
            const std::string text = Export(key, view);
            EXPECT_FALSE(text.empty()) << WideToUtf8(key);
            snapshot.push_back(Sections(text));
        }
    return snapshot;
}

// Start without what the repair of Found removes.
Snapshot Without(Snapshot Start, const std::vector<ItemRef>& Found)
{
    for (auto& sections : Start) {
        for (const ItemRef& item : Found) {
            if (item.locked)
                continue;
            for (const std::string& form : ExportForms(item)) {
                if (!item.name.empty()) {
                    auto it = sections.find(form);
                    if (it == sections.end())
                        continue;
                    // Export lines are UTF-8; these names are plain ASCII.
                    const std::string prefix = ValuePrefix(item.name);
                    std::erase_if(it->second,
                                  [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
                    continue;
                }
                std::erase_if(sections, [&](const auto& section) {
                    return section.first == form || section.first.rfind(form + "\\", 0) == 0;
                });
            }
        }
    }
    return Start;
}

void ExpectSame(const Snapshot& Expected, const Snapshot& Actual, const char* What)
{
    ASSERT_EQ(Expected.size(), Actual.size());
    for (size_t i = 0; i < Expected.size(); ++i) {
        int shown = 0;
        for (const auto& [key, lines] : Expected[i]) {
            auto it = Actual[i].find(key);
            if ((it == Actual[i].end() || it->second != lines) && shown++ < 5)
                ADD_FAILURE() << What << ": differs or missing: " << key;
        }
        for (const auto& section : Actual[i])
            if (!Expected[i].count(section.first) && shown++ < 10)
                ADD_FAILURE() << What << ": unexpected: " << section.first;
    }
}

// Runs the driver and fails the test with its output when it fails.
DriverResult Drive(const std::vector<std::wstring>& Args, DWORD ExitCode = 0)
{
    DriverResult result = RunDriver(Args);
    EXPECT_EQ(ExitCode, result.exitCode) << result.out << result.err;
    return result;
}

class RepairRoad : public ::testing::Test {
protected:
    BackupDirGuard backupDir;
    RegFixture reg;
    const REGSAM v32 = Views().front();
};

} // namespace

TEST_F(RepairRoad, RoundTripOfADeadClassInBothViewsThroughRepairAndRestore)
{
    const std::wstring cls = L"CLSID\\" + UniqueGuid(0x300);
    const std::string amp = "a&b;c";
    for (REGSAM view : Views()) {
        reg.String(HKEY_CLASSES_ROOT, cls, L"", L"Dead class", view);
        reg.String(HKEY_CLASSES_ROOT, cls, L"s", L"text", view);
        reg.String(HKEY_CLASSES_ROOT, cls, L"e", L"%SystemRoot%\\x.dll", view, REG_EXPAND_SZ);
        reg.Raw(HKEY_CLASSES_ROOT, cls, L"m", REG_MULTI_SZ,
                std::string(reinterpret_cast<const char*>(L"one\0two\0"), 18), view);
        reg.Dword(HKEY_CLASSES_ROOT, cls, L"d", 64000, view);
        reg.Raw(HKEY_CLASSES_ROOT, cls, L"b", REG_BINARY, std::string("\x00\x7F\xFF", 3), view);
        reg.Raw(HKEY_CLASSES_ROOT, cls, L"q", REG_QWORD, "\x08\x07\x06\x05\x04\x03\x02\x01", view);
        reg.Raw(HKEY_CLASSES_ROOT, cls, L"n", REG_NONE, "\x01\x02", view);
        reg.Raw(HKEY_CLASSES_ROOT, cls, L"short dword", REG_DWORD, "\x01\x02", view);
        reg.String(HKEY_CLASSES_ROOT, cls, L"a&b;c", L"amp", view);
        reg.String(HKEY_CLASSES_ROOT, cls + L"\\Nested\\Deeper", L"w", L"deep", view);
        reg.Dword(HKEY_CLASSES_ROOT, cls + L"\\Nested", L"v", 1, view);
        reg.Key(HKEY_CLASSES_ROOT, cls + L"\\Empty", view);
        reg.String(HKEY_CLASSES_ROOT, cls + L"\\InprocServer32", L"", L"C:\\korvgone\\rt.dll",
                   view);
    }
    const std::wstring exportKey = L"HKCR\\" + cls;
    std::vector<std::string> before;
    for (REGSAM view : Views())
        before.push_back(Export(exportKey, view));

    Drive({L"repair", L"2"});
    for (REGSAM view : Views())
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, cls, view));
    const std::vector<std::string> made = backupDir.NewBackups("fix_");
    ASSERT_EQ(1u, made.size());

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first restore" : "second restore");
        Drive({L"restore", AnsiToWide(made[0])});
        std::vector<std::string> after;
        for (REGSAM view : Views())
            after.push_back(Export(exportKey, view));
        EXPECT_EQ(before, after);
    }
}

TEST_F(RepairRoad, SpeedUpBackupRecordsMissingValuesAndTheRestoreRemovesThem)
{
    const std::string scan = Drive({L"scan", L"-v"}).out;
    const std::vector<ItemRef> items = Items(scan, {"win-boost", "int-boost"});
    ASSERT_FALSE(items.empty()) << scan;
    // Each key as it stood, or its nearest existing parent.
    std::vector<std::wstring> keys;
    const ItemRef* missing = nullptr;
    for (const ItemRef& item : items) {
        const HKEY root = item.root == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        std::wstring key = AnsiToWide(item.key);
        while (!KeyExists(root, key, v32) && key.find(L'\\') != std::wstring::npos)
            key.resize(key.rfind(L'\\'));
        const std::wstring full = AnsiToWide(item.root) + L"\\" + key;
        if (std::find(keys.begin(), keys.end(), full) == keys.end())
            keys.push_back(full);
        if (!missing && !ValueExists(root, AnsiToWide(item.key), AnsiToWide(item.name), v32))
            missing = &item;
    }
    ASSERT_NE(nullptr, missing) << "the prefix lacks some speed-up value";
    std::vector<std::string> before;
    for (const std::wstring& key : keys)
        before.push_back(Export(key, v32));

    Drive({L"repair", L"4"});
    const std::vector<std::string> made = backupDir.NewBackups("boost_");
    ASSERT_EQ(1u, made.size());
    EXPECT_NE(std::string::npos,
              ktest::ReadFileBytes(AnsiToWide(made[0]))
                  .find("key=\"" + EscapeHashHex(missing->key) + "\" name=\"" +
                        EscapeHashHex(missing->name) +
                        "\" value=\"\" type=\"backup\" scan=\"backup\" fix=\"del\" />"));
    const HKEY root = missing->root == "HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    EXPECT_TRUE(ValueExists(root, AnsiToWide(missing->key), AnsiToWide(missing->name), v32));

    Drive({L"restore", AnsiToWide(made[0])});
    EXPECT_FALSE(ValueExists(root, AnsiToWide(missing->key), AnsiToWide(missing->name), v32));
    std::vector<std::string> after;
    for (const std::wstring& key : keys)
        after.push_back(Export(key, v32));
    EXPECT_EQ(before, after);
}

TEST_F(RepairRoad, ABackupThatCannotBeWrittenStopsTheRepair)
{
    const std::wstring cls = L"CLSID\\" + UniqueGuid(0x301);
    reg.String(HKEY_CLASSES_ROOT, cls + L"\\InprocServer32", L"", L"C:\\korvgone\\f.dll", v32);
    const std::string before = Export(L"HKCR\\" + cls, v32);

    // BackupDir becomes a file for the run.
    const std::string dir = RealBackupDir().substr(0, RealBackupDir().size() - 1);
    const std::string aside = dir + ".korvtest-aside";
    const bool hadDir = GetFileAttributesA(dir.c_str()) != INVALID_FILE_ATTRIBUTES;
    CreateDirectoryA(RealCommonDataDir().c_str(), nullptr);
    if (hadDir) {
        ASSERT_TRUE(MoveFileA(dir.c_str(), aside.c_str()));
    }
    HANDLE file = CreateFileA(dir.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    const bool made = file != INVALID_HANDLE_VALUE;
    CloseHandle(file);
    DriverResult repair;
    if (made)
        repair = RunDriver({L"repair", L"2"});
    DeleteFileA(dir.c_str());
    if (hadDir)
        MoveFileA(aside.c_str(), dir.c_str());
    ASSERT_TRUE(made);

    EXPECT_EQ(3u, repair.exitCode) << repair.out << repair.err;
    EXPECT_NE(std::string::npos, repair.err.find("backup failed\tfix\n")) << repair.err;
    EXPECT_EQ(before, Export(L"HKCR\\" + cls, v32));
}

// What the backup cannot record exactly is never repaired, and the repair
// says so: a line per item left undone and exit 5; the rest is repaired.
TEST_F(RepairRoad, WhatTheBackupRefusesStaysAndIsReported)
{
    struct Case {
        const char* Name;
        std::function<bool(const std::wstring& Class)> Seed; // False: skip
    };
    const std::wstring nulKey(L"\0hidden", 7);
    // The counted keys go before the fixture removes its tree, however the
    // test ends: no terminated call can name them.
    struct NulKeys {
        const std::wstring& Name;
        std::vector<HKEY> Parents;
        ~NulKeys()
        {
            for (HKEY parent : Parents) {
                ktest::DeleteKeyCounted(parent, Name);
                RegCloseKey(parent);
            }
        }
    } nul{nulKey, {}};
    std::vector<HKEY>& nulParents = nul.Parents;
    const Case cases[] = {
        {"a value name the code page loses",
         [&](const std::wstring& c) {
             const std::wstring name = L"\x0418\x043C\x044F";
             if (AnsiToWide(WideToAnsi(name)) == name)
                 return false;
             reg.String(HKEY_CLASSES_ROOT, c, name, L"x", v32);
             return true;
         }},
        {"a string of an odd number of bytes",
         [&](const std::wstring& c) {
             reg.Raw(HKEY_CLASSES_ROOT, c, L"odd", REG_SZ, "abc", v32);
             return true;
         }},
        {"a sub-key whose name starts with a NUL",
         [&](const std::wstring& c) {
             reg.Key(HKEY_CLASSES_ROOT, c, v32);
             HKEY parent = nullptr;
             if (RegOpenKeyExW(HKEY_CLASSES_ROOT, c.c_str(), 0, KEY_ALL_ACCESS | v32, &parent) !=
                 ERROR_SUCCESS)
                 return false;
             HKEY hidden = ktest::CreateKeyCounted(parent, nulKey);
             if (hidden)
                 RegCloseKey(hidden);
             nulParents.push_back(parent);
             return hidden != nullptr;
         }},
    };
    const std::wstring gone = L"CLSID\\" + UniqueGuid(0x308);
    reg.String(HKEY_CLASSES_ROOT, gone + L"\\InprocServer32", L"", L"C:\\korvgone\\g.dll", v32);
    std::vector<std::wstring> kept;
    int salt = 0x302;
    for (const Case& t : cases) {
        const std::wstring cls = L"CLSID\\" + UniqueGuid(salt++);
        if (!t.Seed(cls))
            continue;
        reg.String(HKEY_CLASSES_ROOT, cls + L"\\InprocServer32", L"", L"C:\\korvgone\\k.dll", v32);
        kept.push_back(cls);
    }

    const DriverResult repair = Drive({L"repair", L"2"}, 5);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, gone, v32));
    EXPECT_NE(std::string::npos, repair.out.find("done\tfix\titems=")) << repair.out;
    std::vector<std::string> lines;
    for (size_t at = repair.out.find("notdone\tfix\t"); at != std::string::npos;
         at = repair.out.find("notdone\tfix\t", at + 1))
        lines.push_back(repair.out.substr(at, repair.out.find('\n', at) - at));
    for (const std::string& line : lines)
        EXPECT_EQ(std::string::npos, line.find(WideToAnsi(gone))) << line;
    for (const std::wstring& cls : kept) {
        SCOPED_TRACE(WideToAnsi(cls));
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, cls + L"\\InprocServer32", v32));
        const std::string key = WideToAnsi(cls);
        auto names = [&](const std::string& l) { return l.find(key) != std::string::npos; };
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), names)) << repair.out;
        const auto line = std::find_if(lines.begin(), lines.end(), names);
        ASSERT_NE(lines.end(), line);
        EXPECT_NE(std::string::npos, line->find("backup cannot record it")) << *line;
    }
    for (HKEY parent : nulParents) {
        EXPECT_TRUE(ktest::DeleteKeyCounted(parent, nulKey));
        RegCloseKey(parent);
    }
    nulParents.clear();
    const std::vector<std::string> made = backupDir.NewBackups("fix_");
    ASSERT_EQ(1u, made.size());
    Drive({L"restore", AnsiToWide(made[0])});
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, gone + L"\\InprocServer32", v32));
}

TEST_F(RepairRoad, AWantedRestorePointThatFailsIsReportedAndTheRunCompletes)
{
    if (ValueExists(HKEY_LOCAL_MACHINE, L"Software\\Korvelle", L"CREATE_SYSTEMRP", v32))
        GTEST_SKIP() << "the prefix has its own CREATE_SYSTEMRP";
    reg.String(HKEY_LOCAL_MACHINE, L"Software\\Korvelle", L"CREATE_SYSTEMRP", L"1", v32);
    const DriverResult repair = Drive({L"repair", L"2"});
    // Wine: SRSetRestorePointA returns FALSE, so no point is ever made.
    EXPECT_NE(std::string::npos, repair.err.find("restorepoint\tfailed\n")) << repair.err;
    EXPECT_NE(std::string::npos, repair.out.find("total\t")) << repair.out;
}

TEST_F(RepairRoad, MainRoadScanRepairListRestore)
{
    const std::wstring cls = L"CLSID\\" + UniqueGuid(0x304);
    const std::wstring itf = L"Interface\\" + UniqueGuid(0x305);
    const std::wstring uninstall = kUninstall + Unique(L"KorvTest.road");
    const std::wstring app = kAppPaths + Unique(L"korvtest.road") + L".exe";
    reg.String(HKEY_CLASSES_ROOT, cls + L"\\InprocServer32", L"", L"C:\\korvgone\\road.dll", v32);
    reg.String(HKEY_CLASSES_ROOT, itf + L"\\TypeLib", L"", UniqueGuid(0x306), v32);
    reg.String(HKEY_LOCAL_MACHINE, uninstall, L"UninstallString", L"C:\\korvgone\\un.exe", v32);
    reg.String(HKEY_LOCAL_MACHINE, app, L"", L"C:\\korvgone\\road.exe", v32);

    const std::vector<std::wstring> areas = {L"HKLM\\Software", L"HKCR"};
    const Snapshot start = Take(areas);

    const std::string scan = Drive({L"scan", L"-v"}).out;
    const DriverResult repair = Drive({L"repair", L"2", L"-v"});
    EXPECT_EQ(scan, repair.out.substr(0, scan.size())) << "the repair prints its scan";
    EXPECT_EQ(std::string::npos, repair.out.find("notdone\t")) << repair.out;
    const std::set<std::string> fixGroups = {
        "reg-clsid",    "reg-interface", "reg-typelib",   "reg-uninstall",    "reg-shared-dll",
        "reg-muicache", "reg-startup",   "reg-app-paths", "reg-missing-files"};
    const std::vector<ItemRef> found = Items(scan, fixGroups);
    for (const std::wstring& fixture : {cls, itf, uninstall, app}) {
        const std::string key = WideToAnsi(fixture);
        EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const ItemRef& i) {
            return i.key == key && !i.locked;
        })) << key;
    }

    const std::vector<std::string> made = backupDir.NewBackups("fix_");
    ASSERT_EQ(1u, made.size());
    const std::string name = made[0].substr(made[0].rfind('\\') + 1);
    EXPECT_NE(std::string::npos, Drive({L"backups"}).out.find("fix\t" + name + "\t"));

    ExpectSame(Without(start, found), Take(areas), "after the repair");
    Drive({L"restore", AnsiToWide(made[0])});
    ExpectSame(start, Take(areas), "after the restore");
}
