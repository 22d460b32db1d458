// The rescue centre: backups the engine's writer made, renamed to chosen
// stamps; the tree, its order, the removal's mending of the tree, the
// restore's outcome and the trim after a repair.

#include "StepsTestSupport.h"

#include "KorvTest.h"
#include "engine/qvBackup.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <set>

using namespace stepstest;

namespace {

std::vector<std::string> BackupFiles()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((BackupDir() + "*.xml").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(data.cFileName);
    while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
}

// Starts the file holder on Path and waits until it says it holds the file.
bool HoldFile(const std::string& Path, PROCESS_INFORMATION& Process)
{
    const std::wstring program = ktest::ProgramPath();
    const std::wstring holder = program.substr(0, program.rfind(L'\\') + 1) + L"ktest_lockfile.exe";
    std::wstring command = L"\"" + holder + L"\" \"" + AnsiToWide(Path) + L"\" 4000";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &Process) != FALSE;
    CloseHandle(writeEnd);
    std::string said;
    char buffer[64];
    DWORD got = 0;
    while (started && said.find("locked") == std::string::npos &&
           ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        said.append(buffer, got);
    CloseHandle(readEnd);
    return started && said.find("locked") != std::string::npos;
}

void ClearBackups()
{
    for (const std::string& name : BackupFiles())
        DeleteFileA((BackupDir() + name).c_str());
}

class RescueCenter : public ::testing::Test {
protected:
    static void TearDownTestSuite() { ReleaseWizard(); }
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        Wizard();
        ResetPrompts();
        UseIdleWorkers();
        ClearBackups();
        key_ = ScratchKey() + "\\Rescue";
        RegRemoveKeyTree(HKEY_CURRENT_USER, key_, true);
        GoToStep(kStepWelcome);
    }
    void TearDown() override
    {
        RegRemoveKeyTree(HKEY_CURRENT_USER, key_, true);
        ClearBackups();
        GoToStep(kStepWelcome);
    }

    // A backup of the scratch key's value by the engine's writer, renamed
    // to Name (a stamp in the name orders it).
    std::string WriteBackup(uint8_t Type, const std::string& Name)
    {
        RegWriteString(HKEY_CURRENT_USER, key_, "Value", "before");
        const std::vector<std::string> old = BackupFiles();
        BeginBackup(Type, L"Test");
        EXPECT_TRUE(BackupRegValue(HKEY_CURRENT_USER, key_, "Value", false));
        EXPECT_TRUE(EndBackup());
        std::string written;
        for (const std::string& file : BackupFiles())
            if (std::find(old.begin(), old.end(), file) == old.end())
                written = file;
        EXPECT_FALSE(written.empty());
        if (!Name.empty())
            EXPECT_TRUE(MoveFileA((BackupDir() + written).c_str(), (BackupDir() + Name).c_str()));
        return BackupDir() + (Name.empty() ? written : Name);
    }

    // The rescue centre shown afresh (the list reloaded, as after a repair).
    void ShowRescueCenter()
    {
        GoToStep(kStepRepair); // drops the cached list
        GoToStep(kStepWelcome);
        StopIdleWorker();
        GoToStep(kStepRescueCenter);
        ASSERT_EQ(Wizard().main->CurrentStep(), kStepRescueCenter);
    }

    TTreeView& Tree() { return *Wizard().steps->TreeViewRestorePoints(); }
    static std::string FileOf(TTreeNode* Node)
    {
        const auto* backup = Node ? static_cast<const TqvBackup*>(Node->Data()) : nullptr;
        return backup ? ExtractFileName(backup->FileName) : "";
    }
    bool ButtonsEnabled()
    {
        return Get<TControl>(L"ButtonRestore")->Enabled() && Get<TControl>(L"ButtonRemove")->Enabled();
    }
    bool ButtonsDisabled()
    {
        return !Get<TControl>(L"ButtonRestore")->Enabled() && !Get<TControl>(L"ButtonRemove")->Enabled();
    }
    void Select(TTreeNode* Node)
    {
        // As the user does it: a click on the row.
        Node->MakeVisible();
        const RECT row = Node->DisplayRect(false);
        ClickTree(Tree(), 300, row.top + 12);
        EXPECT_EQ(Tree().Selected(), Node);
    }

    std::string key_;
};

TEST_F(RescueCenter, TreeListsTheBackupsNewestFirstByTheirStamps)
{
    ShowRescueCenter();
    EXPECT_TRUE(Tree().Roots().empty());
    EXPECT_TRUE(ButtonsDisabled());
    Shot(L"rescue_empty");

    // Written out of order; two share a stamp. The user's date format
    // changes between writing and reading.
    std::wstring oldFormat;
    {
        wchar_t buffer[80] = {};
        DWORD size = sizeof(buffer);
        RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\International", L"sShortDate", RRF_RT_REG_SZ,
                     nullptr, buffer, &size);
        oldFormat = buffer;
    }
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\International", L"sShortDate", REG_SZ,
                    L"dd.MM.yyyy", sizeof(L"dd.MM.yyyy"));
    WriteBackup(kBackupFix, "fix_20210101_120000.xml");
    WriteBackup(kBackupFix, "fix_20230101_120000.xml");
    WriteBackup(kBackupFix, "b_fix_20220101_120000.xml");
    WriteBackup(kBackupFix, "a_fix_20220101_120000.xml");
    WriteBackup(kBackupBoost, "boost_20220505_101010.xml");
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\International", L"sShortDate", REG_SZ,
                    L"yyyy/MM/dd", sizeof(L"yyyy/MM/dd"));
    ShowRescueCenter();
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\International", L"sShortDate", REG_SZ,
                    oldFormat.c_str(), static_cast<DWORD>((oldFormat.size() + 1) * sizeof(wchar_t)));

    ASSERT_EQ(Tree().Roots().size(), 2u);
    TTreeNode* fix = Tree().Roots()[0];
    TTreeNode* boost = Tree().Roots()[1];
    EXPECT_EQ(fix->Text(), L"Backup of Registry Errors:");
    EXPECT_EQ(boost->Text(), L"Backup of System Speed Up:");
    EXPECT_EQ(Tree().ItemHeight(), 25);
    EXPECT_TRUE(fix->Expanded());
    ASSERT_EQ(fix->Count(), 3);
    EXPECT_EQ(FileOf(fix->Item(0)), "fix_20230101_120000.xml");
    EXPECT_EQ(FileOf(fix->Item(1)), "a_fix_20220101_120000.xml") << "equal stamps keep the list order";
    TTreeNode* more = fix->Item(2);
    EXPECT_EQ(more->Text(), L"More...");
    EXPECT_EQ(more->Data(), nullptr);
    EXPECT_FALSE(more->Expanded());
    ASSERT_EQ(more->Count(), 2);
    EXPECT_EQ(FileOf(more->Item(0)), "b_fix_20220101_120000.xml");
    EXPECT_EQ(FileOf(more->Item(1)), "fix_20210101_120000.xml");
    const auto* first = static_cast<const TqvBackup*>(fix->Item(0)->Data());
    EXPECT_EQ(fix->Item(0)->Text(), first->Date + L" (Partial backup of Registry Errors)");
    ASSERT_EQ(boost->Count(), 1);
    EXPECT_EQ(boost->Item(0)->Text(),
              static_cast<const TqvBackup*>(boost->Item(0)->Data())->Date +
                  L" (Partial backup of System Speed Up)");
    EXPECT_TRUE(ButtonsDisabled());
    Shot(L"rescue_list");

    // A heading stays open for the user; "More..." opens and closes.
    Tree().SetSelected(fix);
    SendMessageW(Tree().Handle(), WM_KEYDOWN, VK_LEFT, 0);
    SendMessageW(Tree().Handle(), WM_KEYUP, VK_LEFT, 0);
    Pump();
    EXPECT_TRUE(fix->Expanded());
    more->Expand();
    EXPECT_TRUE(more->Expanded());
    Select(more->Item(0));
    EXPECT_TRUE(ButtonsEnabled());
    Shot(L"rescue_selected_under_more");
    Select(more);
    EXPECT_TRUE(ButtonsDisabled());
    Select(fix);
    EXPECT_TRUE(ButtonsDisabled());
    more->Collapse();
    EXPECT_FALSE(more->Expanded());
}

TEST_F(RescueCenter, TwoBackupsNeedNoMoreNode)
{
    WriteBackup(kBackupFix, "fix_20200101_000000.xml");
    WriteBackup(kBackupFix, "fix_20200102_000000.xml");
    ShowRescueCenter();
    ASSERT_EQ(Tree().Roots().size(), 1u);
    ASSERT_EQ(Tree().Roots()[0]->Count(), 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(Tree().Roots()[0]->Item(i)->Data(), nullptr);
}

TEST_F(RescueCenter, RemovingMendsTheTree)
{
    // The only backup of a section: the heading goes with it.
    WriteBackup(kBackupFix, "fix_20200101_000000.xml");
    const std::string onlyBoost = WriteBackup(kBackupBoost, "boost_20200101_000000.xml");
    ShowRescueCenter();
    ASSERT_EQ(Tree().Roots().size(), 2u);
    Select(Tree().Roots()[1]->Item(0));
    AnswerNext(IDNO);
    const int keptBefore = TrackCount("RC.RMC");
    Get<TControl>(L"ButtonRemove")->Click();
    EXPECT_TRUE(FileExistsEx(onlyBoost));
    EXPECT_EQ(TrackCount("RC.RMC"), keptBefore + 1);
    AnswerNext(IDYES);
    Get<TControl>(L"ButtonRemove")->Click();
    EXPECT_FALSE(FileExistsEx(onlyBoost));
    ASSERT_EQ(Tree().Roots().size(), 1u);
    EXPECT_EQ(Tree().Roots()[0]->Text(), L"Backup of Registry Errors:");
    EXPECT_TRUE(Wizard().main->Backups()->BoostBackups.empty());

    // A top-level backup while "More..." holds one: it moves up.
    WriteBackup(kBackupFix, "fix_20200102_000000.xml");
    WriteBackup(kBackupFix, "fix_20200103_000000.xml");
    ShowRescueCenter();
    TTreeNode* fix = Tree().Roots()[0];
    ASSERT_EQ(fix->Count(), 3);
    ASSERT_EQ(fix->Item(2)->Count(), 1);
    Select(fix->Item(0));
    AnswerNext(IDYES);
    Get<TControl>(L"ButtonRemove")->Click();
    ASSERT_EQ(fix->Count(), 2) << "\"More...\" is gone";
    EXPECT_EQ(FileOf(fix->Item(0)), "fix_20200102_000000.xml");
    EXPECT_EQ(FileOf(fix->Item(1)), "fix_20200101_000000.xml");
    Shot(L"rescue_after_move_up");

    // The last one under "More..." with no sibling before it: "More..." goes
    // too and the selection moves to the node before it.
    WriteBackup(kBackupFix, "fix_20200104_000000.xml");
    ShowRescueCenter();
    fix = Tree().Roots()[0];
    ASSERT_EQ(fix->Count(), 3);
    TTreeNode* more = fix->Item(2);
    more->Expand();
    ASSERT_EQ(more->Count(), 1);
    TTreeNode* before = fix->Item(1);
    Select(more->Item(0));
    AnswerNext(IDYES);
    Get<TControl>(L"ButtonRemove")->Click();
    ASSERT_EQ(fix->Count(), 2);
    EXPECT_NE(fix->Item(1)->Data(), nullptr);
    EXPECT_EQ(Tree().Selected(), before);
    EXPECT_TRUE(ButtonsEnabled());
    EXPECT_EQ(BackupFiles().size(), 2u);
}

TEST_F(RescueCenter, ABackupInUseStaysInTheTree)
{
    const std::string path = WriteBackup(kBackupFix, "fix_20200101_000000.xml");
    ShowRescueCenter();
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(HoldFile(path, process));
    Select(Tree().Roots()[0]->Item(0));
    ResetPrompts();
    AnswerNext(IDYES);
    Get<TControl>(L"ButtonRemove")->Click();
    ASSERT_EQ(Prompts().size(), 2u);
    EXPECT_EQ(Prompts()[1].text, L"The backup could not be removed.");
    EXPECT_EQ(Prompts()[1].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    ASSERT_EQ(Tree().Roots().size(), 1u);
    EXPECT_EQ(Tree().Roots()[0]->Count(), 1);
    EXPECT_EQ(Wizard().main->Backups()->FixBackups.size(), 1u);
    EXPECT_TRUE(FileExistsEx(path));
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

std::wstring ExportKey(const std::string& Key, const std::wstring& File)
{
    DeleteFileW(File.c_str());
    std::wstring command = L"reg.exe export \"HKCU\\" + AnsiToWide(Key) + L"\" \"" + File + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        return L"";
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::string bytes = ktest::ReadFileBytes(File);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

TEST_F(RescueCenter, RestoreTellsWhetherEveryEntryCameBack)
{
    // A repaired key comes back exactly.
    RegWriteString(HKEY_CURRENT_USER, key_ + "\\Sub", "Text", "some text");
    RegWriteInteger(HKEY_CURRENT_USER, key_ + "\\Sub", "Number", 42);
    const std::wstring file = AnsiToWide(ScratchDataDir()) + L"export.reg";
    const std::wstring before = ExportKey(key_, file);
    ASSERT_FALSE(before.empty());
    BeginBackup(kBackupFix, L"Test");
    ASSERT_TRUE(BackupRegKey(HKEY_CURRENT_USER, key_, false));
    ASSERT_TRUE(EndBackup());
    RegRemoveKeyTree(HKEY_CURRENT_USER, key_, true);
    ShowRescueCenter();
    ASSERT_EQ(Tree().Roots().size(), 1u);
    Select(Tree().Roots()[0]->Item(0));
    ResetPrompts();
    AnswerNext(IDYES);
    const int restored = TrackCount("RC.RS");
    Get<TControl>(L"ButtonRestore")->Click();
    ASSERT_EQ(Prompts().size(), 2u);
    EXPECT_EQ(Prompts()[0].text, L"Do you really want to restore this backup?");
    EXPECT_EQ(Prompts()[1].text, L"Registries have been restored.");
    EXPECT_EQ(Prompts()[1].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONINFORMATION));
    EXPECT_EQ(TrackCount("RC.RS"), restored + 1);
    EXPECT_EQ(ExportKey(key_, file), before);

    // A key the restore may not write: told as a failure.
    ClearBackups();
    const std::string denied = key_ + "\\Denied";
    RegWriteString(HKEY_CURRENT_USER, denied, "Value", "before");
    BeginBackup(kBackupFix, L"Test");
    ASSERT_TRUE(BackupRegValue(HKEY_CURRENT_USER, denied, "Value", false));
    ASSERT_TRUE(EndBackup());
    RegWriteString(HKEY_CURRENT_USER, denied, "Value", "after");
    auto setDacl = [&](const wchar_t* Sddl) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(Sddl, SDDL_REVISION_1, &sd, nullptr));
        HKEY hkey = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, AnsiToWide(denied).c_str(), 0, WRITE_DAC, &hkey),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetKeySecurity(hkey, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
        RegCloseKey(hkey);
        LocalFree(sd);
    };
    setDacl(L"D:P(D;;KW;;;WD)(A;;KA;;;WD)");
    ShowRescueCenter();
    Select(Tree().Roots()[0]->Item(0));
    ResetPrompts();
    AnswerNext(IDYES);
    Get<TControl>(L"ButtonRestore")->Click();
    setDacl(L"D:(A;;KA;;;WD)");
    ASSERT_EQ(Prompts().size(), 2u);
    EXPECT_EQ(Prompts()[1].text, L"Some registry entries could not be restored.");
    EXPECT_EQ(Prompts()[1].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONERROR));
    std::string value;
    RegReadString(HKEY_CURRENT_USER, denied, "Value", value);
    EXPECT_EQ(value, "after");

    // No: nothing restored.
    ResetPrompts();
    AnswerNext(IDNO);
    const int declined = TrackCount("RC.RSC");
    Get<TControl>(L"ButtonRestore")->Click();
    EXPECT_EQ(Prompts().size(), 1u);
    EXPECT_EQ(TrackCount("RC.RSC"), declined + 1);
}

TEST_F(RescueCenter, TheRepairSummaryKeepsTheFifteenNewestBackups)
{
    for (int day = 1; day <= 20; ++day) {
        char name[40];
        std::snprintf(name, sizeof(name), "fix_202001%02d_000000.xml", day);
        WriteBackup(kBackupFix, name);
    }
    // The repair's own backup, written now.
    const std::string fresh = ExtractFileName(WriteBackup(kBackupFix, ""));
    GoToStep(kStepRepair);
    ASSERT_TRUE(Work().started);
    Work().request.OnDone(false);
    Pump();
    ASSERT_EQ(Wizard().main->CurrentStep(), kStepRepairDone);
    std::vector<std::string> files = BackupFiles();
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 15u);
    EXPECT_TRUE(std::find(files.begin(), files.end(), fresh) != files.end()) << fresh;
    for (int day = 1; day <= 6; ++day) {
        char name[40];
        std::snprintf(name, sizeof(name), "fix_202001%02d_000000.xml", day);
        EXPECT_TRUE(std::find(files.begin(), files.end(), name) == files.end()) << name;
    }
    EXPECT_EQ(Wizard().main->Backups()->FixBackups.size(), 15u);
}

} // namespace
