// The registry, file and start-up items: checks against real registry values
// in both views and real files in a scratch tree, their repairs, and what
// they write as catalogue lines.

#include "EngineTest.h"

#include "engine/qvClasses.h"
#include "engine/qvCleanRep.h"
#include "engine/qvExceptions.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/XmlU.h"

#include "KorvTest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

std::string Dword(DWORD v)
{
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

// Loads "<exceptions>" + Body + "</exceptions>" into the process's ignore list.
void LoadExceptions(const std::string& Body)
{
    TXML xml;
    xml.LoadFromString("<exceptions>" + Body + "</exceptions>");
    EnsureExceptions().LoadFromXML(xml.Root()->FindFirst("exceptions"));
}

// ---------------------------------------------------------------------------
// Registry items

// HKLM Software\Korvelle.Test.<instance> in each view this Windows has (one
// on 32-bit Windows), written and read back with raw calls.
class RegItemTest : public ktest::ScratchKeyTest {
protected:
    void SetUp() override
    {
        ktest::ScratchKeyTest::SetUp();
        ResetExceptionsForTests();
        ResetCleanReportForTests();
        base_ = WideToAnsi(ScratchPath());
        twin32_ = HklmTwin(KEY_WOW64_32KEY);
        ASSERT_NE(nullptr, twin32_);
        if (IsWin64()) {
            twin64_ = HklmTwin(KEY_WOW64_64KEY);
            ASSERT_NE(nullptr, twin64_);
        }
        main_.BackupWriter = &writer_;
        main_.Status.Category = kCategoryBoost;
    }
    void TearDown() override
    {
        ResetExceptionsForTests();
        ResetCleanReportForTests();
        ktest::ScratchKeyTest::TearDown();
    }

    std::vector<bool> Views() const
    {
        return IsWin64() ? std::vector<bool>{false, true} : std::vector<bool>{false};
    }
    static REGSAM ViewFlag(bool Is64) { return Is64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

    std::string PathOf(const std::string& Sub) const
    {
        return Sub.empty() ? base_ : base_ + "\\" + Sub;
    }
    // Sub of the scratch key in a view; created.
    HKEY Open(bool Is64, const std::string& Sub)
    {
        HKEY key = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, PathOf(Sub).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | ViewFlag(Is64), nullptr, &key, nullptr);
        return key;
    }
    void Put(bool Is64, const std::string& Sub, const char* Name, DWORD Type,
             const std::string& Data)
    {
        HKEY key = Open(Is64, Sub);
        ASSERT_NE(nullptr, key) << Sub;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key, Name, 0, Type, reinterpret_cast<const BYTE*>(Data.data()),
                                 static_cast<DWORD>(Data.size())));
        RegCloseKey(key);
    }
    // False when the value (or its key) is missing.
    bool Get(bool Is64, const std::string& Sub, const char* Name, DWORD& Type, std::string& Data)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PathOf(Sub).c_str(), 0, KEY_READ | ViewFlag(Is64),
                          &key) != ERROR_SUCCESS)
            return false;
        char buffer[256] = {};
        DWORD size = sizeof buffer;
        const LONG status =
            RegQueryValueExA(key, Name, nullptr, &Type, reinterpret_cast<BYTE*>(buffer), &size);
        RegCloseKey(key);
        Data.assign(buffer, status == ERROR_SUCCESS ? size : 0);
        return status == ERROR_SUCCESS;
    }
    bool KeyExists(bool Is64, const std::string& Sub)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PathOf(Sub).c_str(), 0, KEY_READ | ViewFlag(Is64),
                          &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    void RemoveSub(bool Is64, const std::string& Sub)
    {
        HKEY base = Open(Is64, "");
        RegDeleteTreeA(base, Sub.c_str());
        RegCloseKey(base);
    }

    std::unique_ptr<TqvRegItem> Item(bool Is64, const std::string& Sub, const std::string& Name,
                                     const char* Type, const std::string& Value, uint8_t Scan,
                                     uint8_t Fix = kRegFixValue)
    {
        auto item = std::make_unique<TqvRegItem>(&scanner_);
        item->Root = HKEY_LOCAL_MACHINE;
        item->Key = PathOf(Sub);
        item->Name = Name;
        item->Value = Value;
        item->Type = RegTypeFromName(Type);
        item->ScanKind = Scan;
        item->FixKind = Fix;
        item->Is64 = Is64;
        return item;
    }

    std::string base_;
    HKEY twin32_ = nullptr;
    HKEY twin64_ = nullptr;
    TqvMain main_;
    TqvItemsList scanner_{&main_};
    etest::FakeBackupWriter writer_;
};

// Each row: what the registry holds, the item, and whether the check finds it.
TEST_F(RegItemTest, CheckTableInEveryView)
{
    struct Case {
        const char* name;
        DWORD storedType; // 0: no value
        std::string stored;
        const char* valueName;
        const char* type;
        std::string wanted;
        uint8_t scan;
        bool found;
    };
    const Case cases[] = {
        {"num 38 against DWORD 38", REG_DWORD, Dword(38), "v", "num", "38", kRegScanValue, false},
        {"num $26 against DWORD 38", REG_DWORD, Dword(38), "v", "num", "$26", kRegScanValue, false},
        {"num 38 against DWORD 39", REG_DWORD, Dword(39), "v", "num", "38", kRegScanExists, true},
        {"num 38 against REG_SZ 38: type mismatch", REG_SZ, std::string("38\0", 3), "v", "num",
         "38", kRegScanValue, true},
        {"num against a DWORD too short to read", REG_DWORD, std::string("\x26\0", 2), "v", "num",
         "38", kRegScanValue, false},
        {"str against EXPAND_SZ of the same text", REG_EXPAND_SZ, std::string("%x%\0", 4), "v",
         "str", "%x%", kRegScanValue, false},
        {"exstr against SZ of another text", REG_SZ, std::string("a\0", 2), "v", "exstr", "b",
         kRegScanValue, true},
        {"strings compare case-sensitively", REG_SZ, std::string("abc\0", 4), "v", "str", "ABC",
         kRegScanValue, true},
        {"zero-length SZ against ''", REG_SZ, "", "v", "str", "", kRegScanValue, false},
        {"zero-length SZ against 'x'", REG_SZ, "", "v", "str", "x", kRegScanValue, true},
        {"SZ without terminator", REG_SZ, "x", "v", "str", "x", kRegScanValue, false},
        {"1-byte MULTI_SZ against ''", REG_MULTI_SZ, std::string(1, '\0'), "v", "mulstr", "",
         kRegScanExists, false},
        {"MULTI_SZ keeps its inner NULs", REG_MULTI_SZ, std::string("a\0b\0\0", 5), "v", "mulstr",
         std::string("a\0b", 3), kRegScanValue, false},
        {"MULTI_SZ against its first string", REG_MULTI_SZ, std::string("a\0b\0\0", 5), "v",
         "mulstr", "a", kRegScanValue, true},
        {"bin compares ignoring case", REG_BINARY, "\xAB\x0C", "v", "bin", "ab0c", kRegScanValue,
         false},
        {"bin of other bytes", REG_BINARY, "\xAB\x0C", "v", "bin", "AB0D", kRegScanValue, true},
        {"bin against DWORD: type mismatch", REG_DWORD, Dword(1), "v", "bin", "01000000",
         kRegScanValue, true},
        {"missing value, scan value", 0, "", "v", "num", "1", kRegScanValue, true},
        {"missing value, scan exists", 0, "", "v", "num", "1", kRegScanExists, false},
        {"key without default value, scan value", 0, "", "", "str", "x", kRegScanValue, false},
        {"key default differs", REG_SZ, std::string("a\0", 2), "", "str", "b", kRegScanExists,
         true},
        {"key default equal", REG_SZ, std::string("a\0", 2), "", "str", "a", kRegScanValue, false},
    };
    for (const bool is64 : Views()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (is64 ? " (64-bit view)" : " (32-bit view)"));
            RemoveSub(is64, "k");
            HKEY made = Open(is64, "k");
            RegCloseKey(made);
            if (c.storedType)
                Put(is64, "k", c.valueName, c.storedType, c.stored);
            auto item = Item(is64, "k", c.valueName, c.type, c.wanted, c.scan);
            item->Check();
            EXPECT_EQ(c.found, item->Found);
            EXPECT_EQ(c.found, item->Selected);
            if (IsWin64()) {
                // The other view holds nothing: the check read the item's own view.
                RemoveSub(!is64, "k");
                auto other = Item(!is64, "k", c.valueName, c.type, c.wanted, c.scan);
                other->Check();
                EXPECT_EQ(c.scan == kRegScanValue, other->Found) << "the other view";
            }
        }
    }
}

TEST_F(RegItemTest, KeyItemsOfAMissingKey)
{
    for (const bool is64 : Views()) {
        SCOPED_TRACE(is64);
        auto value = Item(is64, "missing", "", "str", "x", kRegScanValue);
        value->Check();
        EXPECT_TRUE(value->Found);
        auto exists = Item(is64, "missing", "", "str", "x", kRegScanExists);
        exists->Check();
        EXPECT_FALSE(exists->Found);
        // A finding about the default value itself: a key without one is a
        // missing value.
        HKEY made = Open(is64, "nodefault");
        RegCloseKey(made);
        auto target = Item(is64, "nodefault", "", "str", "x", kRegScanValue);
        target->ValueTarget = true;
        target->Check();
        EXPECT_TRUE(target->Found);
    }
}

TEST_F(RegItemTest, A64BitItemIsSkippedOn32BitWindows)
{
    Put(false, "k", "v", REG_DWORD, Dword(1));
    auto item = Item(true, "k", "v", "num", "2", kRegScanValue);
    item->Check();
    // 32-bit Windows: no 64-bit view to check.
    EXPECT_EQ(IsWin64(), item->Found) << "the 64-bit view lacks the value";
}

TEST_F(RegItemTest, IgnoreListAndCleanReportCancelAFinding)
{
    Put(false, "ignored\\deep", "v", REG_DWORD, Dword(1));
    Put(false, "reported", "v", REG_DWORD, Dword(1));
    Put(false, "plain", "v", REG_DWORD, Dword(1));
    LoadExceptions("<reg root=\"HKLM\" key=\"" + UpperCase(base_) +
                   "\\IGNORED\\\" ignore=\"key\"/>");
    TProgramFolders folders = ProgramFolders();
    folders.BackupDir = "C:\\ktest-no-such-folder\\";
    SetProgramFoldersForTests(folders);
    EnsureCleanReportLoaded().Add(HKEY_LOCAL_MACHINE, LowerCase(base_ + "\\Reported"), false, "V");
    ResetProgramFoldersForTests();
    for (const char* sub : {"ignored\\deep", "reported", "plain"}) {
        SCOPED_TRACE(sub);
        auto item = Item(false, sub, "v", "num", "2", kRegScanValue);
        item->Check();
        EXPECT_EQ(std::string(sub) == "plain", item->Found);
        EXPECT_EQ(item->Found, item->Selected);
    }
}

// What a repair writes, per kind, in the item's own view only.
TEST_F(RegItemTest, FixWritesInTheItemsViewOnly)
{
    struct Case {
        const char* type;
        std::string wanted;
        DWORD storedType;
        std::string stored;
    };
    const Case cases[] = {
        {"str", "text", REG_SZ, std::string("text\0", 5)},
        {"exstr", "%windir%\\x", REG_EXPAND_SZ, std::string("%windir%\\x\0", 11)},
        {"mulstr", std::string("a\0b", 3), REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
        {"num", "$0000FA00", REG_DWORD, Dword(64000)},
        {"bin", "00ff7F", REG_BINARY, std::string("\x00\xFF\x7F", 3)},
    };
    for (const bool is64 : Views()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.type) + (is64 ? " 64" : " 32"));
            RemoveSub(false, "fix");
            if (IsWin64())
                RemoveSub(true, "fix");
            auto item = Item(is64, "fix", "v", c.type, c.wanted, kRegScanValue);
            item->Check();
            ASSERT_TRUE(item->Found);
            EXPECT_TRUE(item->Fix());
            DWORD type = 0;
            std::string data;
            ASSERT_TRUE(Get(is64, "fix", "v", type, data));
            EXPECT_EQ(c.storedType, type);
            EXPECT_EQ(c.stored, data);
            if (IsWin64()) {
                EXPECT_FALSE(Get(!is64, "fix", "v", type, data)) << "written in the other view";
            }
            auto again = Item(is64, "fix", "v", c.type, c.wanted, kRegScanValue);
            again->Check();
            EXPECT_FALSE(again->Found);
        }
    }
}

// The "Optional" speed-up item: an empty multi-string is wanted.
TEST_F(RegItemTest, TheEmptyMultiStringItemIsNotFoundAfterItsFix)
{
    Put(false, "sub", "Optional", REG_MULTI_SZ, std::string("Os2\0Posix\0\0", 11));
    auto item = Item(false, "sub", "Optional", "mulstr", "", kRegScanExists);
    item->Check();
    ASSERT_TRUE(item->Found);
    EXPECT_TRUE(item->Fix());
    auto again = Item(false, "sub", "Optional", "mulstr", "", kRegScanExists);
    again->Check();
    EXPECT_FALSE(again->Found);
}

TEST_F(RegItemTest, DeletionOfValuesAndKeys)
{
    for (const bool is64 : Views()) {
        SCOPED_TRACE(is64);
        Put(is64, "del", "", REG_SZ, std::string("default\0", 8));
        Put(is64, "del", "keep", REG_SZ, std::string("k\0", 2));
        Put(is64, "del", "gone", REG_SZ, std::string("g\0", 2));
        Put(is64, "del\\child", "c", REG_SZ, std::string("c\0", 2));

        auto value = Item(is64, "del", "gone", "str", "x", kRegScanValue, kRegFixDel);
        value->Found = value->Selected = true;
        EXPECT_TRUE(value->Fix());
        DWORD type = 0;
        std::string data;
        EXPECT_FALSE(Get(is64, "del", "gone", type, data));
        EXPECT_TRUE(Get(is64, "del", "keep", type, data));

        // An empty name with the value-target flag is the default value alone.
        auto defaultValue = Item(is64, "del", "", "str", "x", kRegScanValue, kRegFixDel);
        defaultValue->ValueTarget = true;
        defaultValue->Check();
        ASSERT_TRUE(defaultValue->Found);
        writer_.open = true;
        EXPECT_TRUE(defaultValue->Backup());
        EXPECT_TRUE(defaultValue->Fix());
        EXPECT_FALSE(Get(is64, "del", "", type, data));
        EXPECT_TRUE(Get(is64, "del", "keep", type, data));
        EXPECT_TRUE(KeyExists(is64, "del\\child"));

        // Without the flag an empty name is the key with its sub-keys.
        auto key = Item(is64, "del", "", "str", "", kRegScanValue, kRegFixDel);
        key->Found = key->Selected = true;
        EXPECT_TRUE(key->Backup());
        EXPECT_TRUE(key->Fix());
        EXPECT_FALSE(KeyExists(is64, "del"));
        const std::string sub = base_ + "\\del";
        EXPECT_EQ((std::vector<std::string>{"value " + sub + "\\#" + (is64 ? " 64" : ""),
                                            "key " + sub + (is64 ? " 64" : "")}),
                  writer_.calls);
        writer_.calls.clear();
    }
}

// Backup and repair only for unlocked, found, selected items with a fix; an
// item whose backup the writer refused is never repaired.
TEST_F(RegItemTest, BackupAndFixGates)
{
    writer_.open = true;
    struct Case {
        const char* name;
        bool found, selected, locked;
        uint8_t fix;
        bool acceptBackup;
        bool repaired;
    };
    const Case cases[] = {
        {"found and selected", true, true, false, kRegFixValue, true, true},
        {"not found", false, true, false, kRegFixValue, true, false},
        {"not selected", true, false, false, kRegFixValue, true, false},
        {"locked", true, true, true, kRegFixValue, true, false},
        {"no fix", true, true, false, kRegFixNone, true, false},
        {"backup refused", true, true, false, kRegFixValue, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Put(false, "gate", "v", REG_DWORD, Dword(1));
        writer_.calls.clear();
        writer_.acceptValues = c.acceptBackup;
        auto item = Item(false, "gate", "v", "num", "2", kRegScanValue, c.fix);
        item->Found = c.found;
        item->Selected = c.selected;
        item->Locked = c.locked;
        EXPECT_EQ(c.acceptBackup, item->Backup());
        const bool recorded = c.found && c.selected && !c.locked && c.fix != kRegFixNone;
        EXPECT_EQ(recorded ? 1u : 0u, writer_.calls.size());
        EXPECT_EQ(c.repaired, item->Fix());
        DWORD type = 0;
        std::string data;
        ASSERT_TRUE(Get(false, "gate", "v", type, data));
        EXPECT_EQ(Dword(c.repaired ? 2 : 1), data);
    }
    // The restore applies an item as it stands.
    auto restore = Item(false, "gate", "v", "num", "7", kRegScanValue);
    EXPECT_TRUE(restore->ApplyFix());
    EXPECT_TRUE(restore->Found && restore->Selected);
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(Get(false, "gate", "v", type, data));
    EXPECT_EQ(Dword(7), data);
}

TEST_F(RegItemTest, KeyDetailsListWhatADeletionRemoves)
{
    main_.Status.Category = kCategoryFix;
    for (const bool is64 : Views()) {
        SCOPED_TRACE(is64);
        scanner_.Items.clear();
        main_.Status.FixErrors = 0;
        Put(is64, "tree", "a", REG_SZ, std::string("1\0", 2));
        Put(is64, "tree", "b", REG_DWORD, Dword(2));
        Put(is64, "tree", "c", REG_BINARY, "3");
        Put(is64, "tree\\sub", "d", REG_SZ, std::string("4\0", 2));
        auto found = Item(is64, "tree", "", "str", "", kRegScanValue, kRegFixDel);
        found->Found = found->Selected = true;
        found->AddKeyDetails(found->Key, false, *found);
        ASSERT_EQ(5u, scanner_.Items.size());
        EXPECT_EQ(5, main_.Status.FixErrors);
        std::set<std::string> details;
        for (const auto& i : scanner_.Items) {
            const auto& d = static_cast<const TqvRegItem&>(*i);
            EXPECT_TRUE(d.Found && d.Selected && d.Locked);
            EXPECT_EQ(HKEY_LOCAL_MACHINE, d.Root);
            EXPECT_EQ(kRegFixDel, d.FixKind);
            EXPECT_EQ(is64, d.Is64);
            details.insert(d.Key.substr(base_.size()) + "#" + d.Name);
        }
        EXPECT_EQ((std::set<std::string>{"\\tree#a", "\\tree#b", "\\tree#c", "\\tree\\sub#",
                                         "\\tree\\sub#d"}),
                  details);
        // Locked details are counted, never backed up or repaired.
        writer_.open = true;
        writer_.calls.clear();
        scanner_.Backup();
        EXPECT_TRUE(writer_.calls.empty());
        scanner_.Clean();
        EXPECT_TRUE(KeyExists(is64, "tree\\sub"));
        RemoveSub(is64, "tree");
    }
}

// A sub-key whose name has blanks is opened by its exact name; a name that
// is blank only is not listed.
TEST_F(RegItemTest, KeyDetailsUseExactSubKeyNames)
{
    Put(false, "tree\\ padded ", "v", REG_SZ, std::string("1\0", 2));
    Put(false, "tree\\padded", "other", REG_SZ, std::string("1\0", 2));
    HKEY blank = Open(false, "tree\\   ");
    RegCloseKey(blank);
    auto found = Item(false, "tree", "", "str", "", kRegScanValue, kRegFixDel);
    found->AddKeyDetails(found->Key, false, *found);
    std::set<std::string> details;
    for (const auto& i : scanner_.Items) {
        const auto& d = static_cast<const TqvRegItem&>(*i);
        details.insert(d.Key.substr(base_.size()) + "#" + d.Name);
    }
    EXPECT_EQ((std::set<std::string>{"\\tree\\ padded #", "\\tree\\ padded #v", "\\tree\\padded#",
                                     "\\tree\\padded#other"}),
              details);
}

TEST(RegItem, XmlLine)
{
    TqvRegItem item(nullptr);
    item.Root = HKEY_CURRENT_USER;
    item.Key = "Soft\"ware\\<a>&b";
    item.Name = std::string("n#\x01", 3);
    item.Value = "v";
    item.Type = REG_DWORD;
    item.FixKind = kRegFixDel;
    EXPECT_EQ("<reg root=\"HKCU\" key=\"Soft#22ware\\#3Ca#3E#26b\" name=\"n#23#01\" value=\"v\" "
              "type=\"num\" scan=\"exists\" fix=\"del\" />",
              item.GetXML());
    item.Root = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000005));
    item.Is64 = true;
    item.ScanKind = kRegScanValue;
    item.FixKind = kRegFixNone;
    item.Type = 0;
    item.Date = 40000.75;
    EXPECT_EQ("<reg root=\"HKUNKNOWN\" key=\"Soft#22ware\\#3Ca#3E#26b\" name=\"n#23#01\" "
              "value=\"v\" type=\"\" is64=\"1\" scan=\"value\" fix=\"\" date=\"40000\" />",
              item.GetXML());
    item.ScanKind = kRegScanBackup;
    item.Date = -3;
    EXPECT_NE(std::string::npos, item.GetXML().find("scan=\"backup\" fix=\"\" />"));

    // The line reads back as the same item.
    item.Root = HKEY_LOCAL_MACHINE;
    TXML xml;
    xml.LoadFromString(item.GetXML());
    TqvRegItem back(nullptr);
    back.LoadFromXML(xml.Root()->FindFirst("reg"));
    EXPECT_EQ(item.Key, back.Key);
    EXPECT_EQ(item.Name, back.Name);
    EXPECT_EQ(HKEY_LOCAL_MACHINE, back.Root);
    EXPECT_TRUE(back.Is64);
}

// ---------------------------------------------------------------------------
// File items

void MakeFile(const std::string& Path, const std::string& Bytes = "x", DWORD Attributes = 0)
{
    HANDLE h =
        CreateFileA(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, Attributes, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << Path;
    DWORD written = 0;
    WriteFile(h, Bytes.data(), static_cast<DWORD>(Bytes.size()), &written, nullptr);
    CloseHandle(h);
}

bool Exists(const std::string& Path)
{
    return GetFileAttributesA(Path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class FileItemTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ktest::ScratchDirTest::SetUp();
        ResetExceptionsForTests();
        main_.Status.Category = kCategoryClean;
    }
    void TearDown() override
    {
        ResetExceptionsForTests();
        // Read-only leftovers would keep the scratch folder.
        SetFileAttributesA((dirAnsi_ + "ro\\ro.log").c_str(), FILE_ATTRIBUTE_NORMAL);
        ktest::ScratchDirTest::TearDown();
    }

    std::string D(const std::string& Rest) const { return dirAnsi_ + Rest; }
    void Dirs(std::initializer_list<const char*> Names)
    {
        for (const char* n : Names)
            CreateDirectoryA(D(n).c_str(), nullptr);
    }
    TqvFileItem* Add(const std::string& Path, uint8_t Fix = kFileFixClean, bool Is64 = false)
    {
        auto item = std::make_unique<TqvFileItem>(&scanner_);
        item->Path = Path;
        item->ScanKind = kFileScanExists;
        item->FixKind = Fix;
        item->Is64 = Is64;
        return static_cast<TqvFileItem*>(scanner_.Add(std::move(item)));
    }
    static std::set<std::string> Listed(const TqvFileItem& Item)
    {
        std::set<std::string> out;
        if (Item.Files)
            for (const TFoundFile& f : *Item.Files)
                out.insert(LowerCase(f.Path));
        return out;
    }
    std::string L(const std::string& Rest) const { return LowerCase(D(Rest)); }

    TqvMain main_;
    TqvItemsList scanner_{&main_};
};

// The patterns of the clean groups against a scratch tree: what the check
// lists is exactly what the repair deletes.
TEST_F(FileItemTest, WildcardsAndFoldersCleanWhatTheyListed)
{
    Dirs({"logs", "logs\\sub", "f", "f\\sub", "g", "g\\sub", "w1", "w1\\sub", "w2", "other"});
    MakeFile(D("logs\\a.log"), "123");
    MakeFile(D("logs\\b.txt"));
    MakeFile(D("logs\\sub\\c.log"));
    MakeFile(D("f\\1.tmp"), "12345");
    MakeFile(D("f\\sub\\2.tmp"), "12");
    MakeFile(D("g\\1.tmp"));
    MakeFile(D("g\\sub\\2.tmp"));
    MakeFile(D("w1\\1.tmp"));
    MakeFile(D("w1\\sub\\2.tmp"));
    MakeFile(D("w2\\3.tmp"));
    MakeFile(D("other\\4.tmp"));
    MakeFile(D("w3"), "a file named like the folders");

    TqvFileItem* files = Add(D("logs\\*.log"));
    TqvFileItem* folder = Add(D("f\\"));
    TqvFileItem* deleted = Add(D("g\\"), kFileFixDel);
    TqvFileItem* wildFolder = Add(D("w*\\"));
    TqvFileItem* starFile = Add(D("w*\\3.tmp"), kFileFixDel);
    TqvFileItem* none = Add(D("logs\\*.none"));
    scanner_.Scan();

    EXPECT_EQ((std::set<std::string>{L("logs\\a.log")}), Listed(*files));
    EXPECT_EQ(3, files->Size);
    EXPECT_EQ((std::set<std::string>{L("f\\1.tmp"), L("f\\sub\\"), L("f\\sub\\2.tmp")}),
              Listed(*folder));
    EXPECT_EQ(7, folder->Size);
    EXPECT_EQ((std::set<std::string>{L("w1\\1.tmp"), L("w1\\sub\\"), L("w1\\sub\\2.tmp"),
                                     L("w2\\3.tmp")}),
              Listed(*wildFolder));
    // A file that matches the "*" component is never entered as a folder.
    EXPECT_EQ((std::set<std::string>{L("w2\\3.tmp")}), Listed(*starFile));
    EXPECT_FALSE(none->Found);
    EXPECT_EQ(nullptr, none->Files);
    for (TqvFileItem* i : {files, folder, deleted, wildFolder, starFile})
        EXPECT_TRUE(i->Found && i->Selected) << i->Path;
    EXPECT_EQ(5, scanner_.FoundCount());

    // One line per listed entry, the path as found.
    const std::string xml = folder->GetXML();
    EXPECT_NE(std::string::npos, xml.find("<file path=\"" + D("f\\sub\\") +
                                          "\" scan=\"exists\" fix=\"clean\" />\r\n"));
    EXPECT_EQ(3, std::count(xml.begin(), xml.end(), '\n'));

    scanner_.Clean();
    EXPECT_FALSE(Exists(D("logs\\a.log")));
    EXPECT_TRUE(Exists(D("logs\\b.txt")));
    EXPECT_TRUE(Exists(D("logs\\sub\\c.log")));
    // "clean" keeps the pattern's own folder and removes the emptied ones.
    EXPECT_TRUE(Exists(D("f")));
    EXPECT_FALSE(Exists(D("f\\1.tmp")));
    EXPECT_FALSE(Exists(D("f\\sub")));
    // "del" removes the pattern's folder too.
    EXPECT_FALSE(Exists(D("g")));
    // A wildcard folder "clean" deletes the files and keeps every folder.
    EXPECT_TRUE(Exists(D("w1\\sub")));
    EXPECT_TRUE(Exists(D("w2")));
    EXPECT_FALSE(Exists(D("w1\\1.tmp")));
    EXPECT_FALSE(Exists(D("w1\\sub\\2.tmp")));
    EXPECT_FALSE(Exists(D("w2\\3.tmp")));
    EXPECT_TRUE(Exists(D("w3")));
    EXPECT_TRUE(Exists(D("other\\4.tmp")));
    // The repair does not clear found.
    EXPECT_TRUE(folder->Found);
    EXPECT_EQ(nullptr, folder->Files);
}

// Nothing is deleted that the check did not list: ignored files, desktop.ini,
// and files made after the check; read-only files go, an open one stays.
TEST_F(FileItemTest, TheRepairDeletesExactlyTheReviewedList)
{
    Dirs({"t", "t\\sub", "ro", "busy"});
    MakeFile(D("t\\old.tmp"), "1234");
    MakeFile(D("t\\index.dat"), "ignored");
    MakeFile(D("t\\sub\\Desktop.ini"), "ini");
    MakeFile(D("ro\\ro.log"), "r", FILE_ATTRIBUTE_READONLY);
    MakeFile(D("busy\\open.log"));
    MakeFile(D("busy\\free.log"));
    LoadExceptions("<file path=\" " + D("T\\Index.DAT") + " \"/>");

    TqvFileItem* busy = Add(D("busy\\*.log"));
    TqvFileItem* temp = Add(D("t\\"));
    Add(D("ro\\*.log"));
    TqvFileItem* onlyIgnored = Add(D("t\\*.dat"));
    scanner_.Scan();
    EXPECT_EQ((std::set<std::string>{L("t\\old.tmp"), L("t\\sub\\")}), Listed(*temp));
    EXPECT_EQ(4, temp->Size);
    EXPECT_FALSE(onlyIgnored->Found);

    MakeFile(D("t\\new.tmp"), "made after the check");
    MakeFile(D("t\\sub\\new.tmp"));
    HANDLE open = CreateFileA(D("busy\\open.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);
    scanner_.Clean();
    CloseHandle(open);

    EXPECT_FALSE(Exists(D("t\\old.tmp")));
    EXPECT_TRUE(Exists(D("t\\index.dat")));
    EXPECT_TRUE(Exists(D("t\\sub\\Desktop.ini")));
    EXPECT_TRUE(Exists(D("t\\new.tmp")));
    EXPECT_TRUE(Exists(D("t\\sub\\new.tmp")));
    EXPECT_FALSE(Exists(D("ro\\ro.log")));
    EXPECT_TRUE(Exists(D("busy\\open.log")));
    // The file that would not go leaves its item found, and the run goes on
    // with the next file and the next items.
    EXPECT_TRUE(busy->Found);
    EXPECT_FALSE(Exists(D("busy\\free.log")));
    // The held file is named as undone, and only what went counts as freed.
    EXPECT_EQ(TqvOutcome::NotDone, busy->Outcome);
    EXPECT_NE(std::string::npos, busy->NotDoneReason.find("open.log: in use")) << busy->NotDoneReason;
    EXPECT_EQ(1, busy->DoneSize);
    EXPECT_EQ(TqvOutcome::Done, temp->Outcome);
    EXPECT_EQ(4, temp->DoneSize);
    std::vector<TqvNotDone> notDone;
    scanner_.CollectNotDone(notDone);
    ASSERT_EQ(1u, notDone.size());
    EXPECT_NE(std::string::npos, notDone[0].What.find("busy\\*.log")) << notDone[0].What;
    EXPECT_EQ(busy->NotDoneReason, notDone[0].Reason);
    EXPECT_EQ(scanner_.FoundSize() - 1, scanner_.DoneSize()) << "all but the held byte";
    EXPECT_EQ(2, scanner_.DoneCount());
}

// A name that the 8-bit calls cannot spell is walked, sized and deleted under
// its own name.
TEST_F(FileItemTest, NamesOutsideTheCodePageAreDeletedToo)
{
    const std::wstring name = L"\x0101\x0161.tmp";
    if (AnsiToWide(WideToAnsi(name)) == name)
        GTEST_SKIP() << "the system code page holds the name";
    Dirs({"u"});
    const std::wstring path = dir_ + L"u\\" + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "Wine cannot store the name here (host locale), error " << GetLastError();
    DWORD written = 0;
    ::WriteFile(h, "abc", 3, &written, nullptr);
    CloseHandle(h);
    TqvFileItem* item = Add(D("u\\*.tmp"));
    scanner_.Scan();
    ASSERT_TRUE(item->Found);
    EXPECT_EQ(3, item->Size);
    scanner_.Clean();
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
    EXPECT_EQ(TqvOutcome::Done, item->Outcome) << item->NotDoneReason;
    EXPECT_EQ(3, item->DoneSize);
}

// The disk may change between the check and the repair: an entry that is
// another one now, or that is reached through a folder that became a link,
// is left alone and named; the rest goes.
TEST_F(FileItemTest, WhatChangedAfterTheCheckIsLeftAlone)
{
    Dirs({"t", "t\\sub"});
    MakeFile(D("t\\sub\\secret.txt"), "old");
    MakeFile(D("t\\plain.tmp"), "12");
    TqvFileItem* item = Add(D("t\\"), kFileFixDel);
    scanner_.Scan();
    ASSERT_TRUE(item->Found);
    // Another folder and file of the same names take their place.
    ASSERT_TRUE(MoveFileA(D("t\\sub").c_str(), D("t\\moved").c_str()));
    Dirs({"t\\sub"});
    MakeFile(D("t\\sub\\secret.txt"), "new");
    scanner_.Clean();
    EXPECT_EQ("new", etest::ReadBytes(D("t\\sub\\secret.txt")));
    EXPECT_EQ("old", etest::ReadBytes(D("t\\moved\\secret.txt")));
    EXPECT_FALSE(Exists(D("t\\plain.tmp")));
    EXPECT_EQ(TqvOutcome::NotDone, item->Outcome);
    EXPECT_NE(std::string::npos, item->NotDoneReason.find("changed since the scan"))
        << item->NotDoneReason;
    EXPECT_EQ(2, item->DoneSize);

    // A folder that was real when listed and is a link now (the host made
    // swap\sub a link to swapout): the check's record is what it would have
    // been, the very file included, and still nothing is reached through it.
    const std::string fixture = etest::HostFixture();
    if (fixture.empty())
        GTEST_SKIP() << etest::kNoHostFixture;
    const std::string secret = fixture + "\\swapout\\secret.txt";
    ASSERT_TRUE(Exists(secret));
    TqvFileItem* swapped = Add(fixture + "\\swap\\", kFileFixDel);
    swapped->Found = swapped->Selected = true;
    swapped->Root = WideFromAnsi(fixture + "\\swap");
    ASSERT_TRUE(ReadFileIdentity(swapped->Root, true, swapped->RootIdentity));
    swapped->Files = std::make_unique<TFileList>();
    for (const std::string& rest : {std::string("sub\\"), std::string("sub\\secret.txt")}) {
        TFoundFile f;
        f.Path = fixture + "\\swap\\" + rest;
        f.WidePath = WideFromAnsi(f.Path);
        const std::wstring at = rest.back() == '\\' ? f.WidePath.substr(0, f.WidePath.size() - 1)
                                                   : f.WidePath;
        ASSERT_TRUE(ReadFileIdentity(at, true, f.Identity));
        f.Identity.IsLink = false;
        f.Attributes = f.Identity.Attributes & ~FILE_ATTRIBUTE_REPARSE_POINT;
        f.Size = rest.back() == '\\' ? 0 : 6;
        swapped->Files->push_back(f);
    }
    swapped->Repair();
    EXPECT_EQ("secret", etest::ReadBytes(secret));
    EXPECT_TRUE(Exists(fixture + "\\swapout"));
    EXPECT_EQ(TqvOutcome::NotDone, swapped->Outcome);
    EXPECT_NE(std::string::npos, swapped->NotDoneReason.find("a folder on its path is now a link"))
        << swapped->NotDoneReason;
}

// A file link in a cleaned folder is removed as the link itself or left; its
// target, elsewhere, is never touched (under Wine no call removes a link
// alone, so it stays and is named).
TEST_F(FileItemTest, FileLinksNeverTakeTheirTargets)
{
    const std::string fixture = etest::HostFixture();
    if (fixture.empty())
        GTEST_SKIP() << etest::kNoHostFixture;
    const std::string keep = fixture + "\\ftarget\\keep.txt";
    ASSERT_EQ("keep", etest::ReadBytes(keep));
    MakeFile(fixture + "\\flinks\\b.tmp", "123");
    TqvFileItem* item = Add(fixture + "\\flinks\\*.tmp");
    scanner_.Scan();
    EXPECT_EQ((std::set<std::string>{LowerCase(fixture + "\\flinks\\a.tmp"),
                                     LowerCase(fixture + "\\flinks\\b.tmp")}),
              Listed(*item));
    EXPECT_EQ(3, item->Size) << "a link frees nothing";
    scanner_.Clean();
    EXPECT_EQ("keep", etest::ReadBytes(keep));
    EXPECT_FALSE(Exists(fixture + "\\flinks\\b.tmp"));
    EXPECT_EQ(3, item->DoneSize);
    // Wine: the link stays.
    EXPECT_EQ(TqvOutcome::NotDone, item->Outcome);
    EXPECT_NE(std::string::npos, item->NotDoneReason.find("a.tmp: a link, left in place"))
        << item->NotDoneReason;
}

TEST_F(FileItemTest, PatternsThatWouldWalkAnotherFolderListNothing)
{
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, cwd);
    const std::string decoy = std::string(cwd) + "\\%NOSUCHMACRO%";
    CreateDirectoryA(decoy.c_str(), nullptr);
    MakeFile(decoy + "\\FILE0000.CHK");
    MakeFile(std::string(cwd) + "\\here.chk");

    TqvFileItem* unknown = Add("%NOSUCHMACRO%\\*.chk", kFileFixDel);
    TqvFileItem* relative = Add("*.chk", kFileFixDel);
    scanner_.Scan();
    EXPECT_FALSE(unknown->Found);
    EXPECT_FALSE(relative->Found);
    unknown->Found = unknown->Selected = relative->Found = relative->Selected = true;
    scanner_.Clean();
    EXPECT_TRUE(Exists(decoy + "\\FILE0000.CHK"));
    EXPECT_TRUE(Exists(std::string(cwd) + "\\here.chk"));

    DeleteFileA((decoy + "\\FILE0000.CHK").c_str());
    RemoveDirectoryA(decoy.c_str());
    DeleteFileA((std::string(cwd) + "\\here.chk").c_str());
}

// A link below the pattern's folder is listed, never entered; the repair
// removes at most the link and leaves what it points to alone.
TEST_F(FileItemTest, LinksAreNotFollowed)
{
    const std::string fixture = etest::HostFixture();
    if (fixture.empty())
        GTEST_SKIP() << etest::kNoHostFixture;
    const std::string canary = fixture + "\\outside\\canary.txt";
    ASSERT_TRUE(Exists(canary));
    MakeFile(fixture + "\\fixlinks\\mine.tmp", "12");
    TqvFileItem* item = Add(fixture + "\\fixlinks\\");
    TqvFileItem* star = Add(fixture + "\\fix*\\*\\*.txt", kFileFixDel);
    scanner_.Scan();
    const std::string link = LowerCase(fixture + "\\fixlinks\\link\\");
    EXPECT_EQ((std::set<std::string>{link, LowerCase(fixture + "\\fixlinks\\mine.tmp")}),
              Listed(*item));
    EXPECT_EQ(2, item->Size);
    EXPECT_EQ((std::set<std::string>{link}), Listed(*star));
    scanner_.Clean();
    EXPECT_FALSE(Exists(fixture + "\\fixlinks\\mine.tmp"));
    EXPECT_TRUE(Exists(canary));
    EXPECT_EQ("canary", ktest::ReadFileBytes(AnsiToWide(canary)));
}

TEST_F(FileItemTest, SizesAreSixtyFourBit)
{
    Dirs({"big"});
    ASSERT_TRUE(etest::MakeSparseFile(D("big\\huge.dmp"), 5LL << 30));
    TqvFileItem* item = Add(D("big\\*.dmp"));
    MakeFile(D("small.dmp"), "1234567");
    Add(D("*.dmp"));
    scanner_.Scan();
    EXPECT_EQ(5LL << 30, item->Size);
    EXPECT_EQ((5LL << 30) + 7, scanner_.FoundSize());
}

// The native system folder of 64-bit Windows, seen with redirection off.
TEST_F(FileItemTest, A64BitPatternSeesTheNativeSystemFolder)
{
    const std::string name = "ktest-" + std::to_string(GetCurrentProcessId()) + ".log";
    TqvFileItem* native = Add("%SYSDIR64%\\ktest-*.log", kFileFixClean, true);
    TqvFileItem* wow = Add("%SYSDIR32%\\" + name);
    if (!IsWin64()) {
        // 32-bit Windows: the 64-bit pattern is skipped.
        scanner_.Scan();
        EXPECT_FALSE(native->Found);
        return;
    }
    const std::string file = SystemDir() + name;
    {
        TRedirectionOffScope off;
        MakeFile(file, "native");
    }
    scanner_.Scan();
    bool listed = false;
    if (native->Files)
        for (const TFoundFile& f : *native->Files)
            listed = listed || LowerCase(f.Path).ends_with(name);
    EXPECT_TRUE(listed);
    EXPECT_FALSE(wow->Found) << "the 32-bit system folder holds no such file";
    native->Selected = true;
    scanner_.Clean();
    TRedirectionOffScope off;
    EXPECT_FALSE(Exists(file));
    DeleteFileA(file.c_str());
}

// ---------------------------------------------------------------------------
// Start-up patterns

TEST_F(FileItemTest, StartupPatternsListTheirPrograms)
{
    Dirs({"App 1", "App 2", "App 2\\bin"});
    MakeFile(D("App 1\\run.exe"));
    MakeFile(D("App 2\\run.exe"));
    MakeFile(D("App 2\\bin\\run.exe"));

    TXML xml;
    xml.LoadFromString("<items><startup> " + D("App*\\run.exe") +
                       " </startup><startup name=\" Named \" priority=\"3\">" + D("none\\x.exe") +
                       "</startup><startup priority=\"x\">  </startup></items>");
    TXMLTag* items = xml.Root()->FindFirst("items");
    TqvStartupItem first(nullptr), second(nullptr), empty(nullptr);
    first.LoadFromXML(items->GetChild(0));
    second.LoadFromXML(items->GetChild(1));
    empty.LoadFromXML(items->GetChild(2));
    EXPECT_EQ(D("App*\\run.exe"), first.Path);
    EXPECT_EQ("run.exe", first.Name);
    EXPECT_EQ(1, first.Priority);
    EXPECT_EQ("Named", second.Name);
    EXPECT_EQ(3, second.Priority);
    EXPECT_EQ("", empty.Path);

    first.Check();
    second.Check();
    ASSERT_NE(nullptr, first.Files);
    std::set<std::string> found;
    for (const TFoundFile& f : *first.Files)
        found.insert(LowerCase(f.Path));
    EXPECT_EQ((std::set<std::string>{L("app 1\\run.exe"), L("app 2\\run.exe")}), found);
    EXPECT_FALSE(first.Found) << "the postponed start-up scanner decides";
    EXPECT_EQ(nullptr, second.Files);
}

} // namespace
