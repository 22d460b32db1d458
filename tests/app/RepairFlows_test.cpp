// The repair flow with the real engine and worker on a registry fixture of
// dead class registrations: a backup that cannot be written changes nothing
// and is told, and a wanted restore point that Windows does not make is told.

#include "AppTest.h"

#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"
#include "engine/qvThreads.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/WinVersionU.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

using namespace apptest;

namespace {

// Three dead class registrations (their server file is missing) in each view.
class DeadClasses {
public:
    DeadClasses()
    {
        for (int i = 1; i <= 3; ++i) {
            char guid[64];
            std::snprintf(guid, sizeof guid, "{7E5A0C11-%04X-4000-8000-%012X}",
                          static_cast<unsigned>(GetCurrentProcessId() & 0xFFFF), i);
            keys_.push_back(std::string("CLSID\\") + guid);
        }
        for (bool is64 : Views())
            for (const std::string& key : keys_) {
                TRegViewScope view(!is64, is64);
                RegWriteString(HKEY_CLASSES_ROOT, key, "", "Dead class");
                RegWriteString(HKEY_CLASSES_ROOT, key + "\\InprocServer32", "", "C:\\korvgone\\dead.dll");
            }
    }
    ~DeadClasses()
    {
        for (bool is64 : Views())
            for (const std::string& key : keys_) {
                TRegViewScope view(!is64, is64);
                RegRemoveKeyTree(HKEY_CLASSES_ROOT, key, true);
            }
    }
    static std::vector<bool> Views() { return IsWin64() ? std::vector<bool>{false, true} : std::vector<bool>{false}; }
    // Keys of the fixture that exist, over both views.
    int Existing() const
    {
        int n = 0;
        for (bool is64 : Views())
            for (const std::string& key : keys_) {
                TRegViewScope view(!is64, is64);
                n += RegKeyExists(HKEY_CLASSES_ROOT, key) ? 1 : 0;
            }
        return n;
    }
    bool Holds(const std::string& Key) const
    {
        for (const std::string& key : keys_)
            if (Key.find(key.substr(6)) != std::string::npos)
                return true;
        return false;
    }

private:
    std::vector<std::string> keys_;
};

class RepairFlow : public WizardFixture {
protected:
    // A scan of the class registrations alone, with only the fixture's
    // findings selected; then the results page.
    void ScanFixture()
    {
        main_->SetStep(kStepScanSettings);
        TqvMain& engine = *main_->Engine();
        for (uint8_t c : {kCategoryFix, kCategoryBoost, kCategoryClean})
            for (const auto& group : engine.Category(c)->Groups)
                group->Enabled = group->Id == "reg-clsid";
        engine.ScanAll();
        TqvCategory* fix = engine.FixCategory.get();
        SelectSectionItems(fix, false);
        bool keySelected = false;
        for (const auto& group : fix->Groups)
            for (const auto& item : group->Scanner->Items) {
                auto* reg = dynamic_cast<TqvRegItem*>(item.get());
                if (!item->Locked)
                    keySelected = reg && dead_.Holds(reg->Key);
                if (item->Found && keySelected) {
                    item->Selected = true;
                    group->Checked = true;
                }
            }
        main_->RegistryErrors = SectionSelectedCount(fix);
        ASSERT_GE(main_->RegistryErrors, 3);
        main_->SetStep(kStepScanResults);
    }
    bool Repair()
    {
        main_->NextStep();
        return PumpUntil([&] { return main_->CurrentStep() == kStepRepairDone; }, 60000);
    }
    std::vector<std::wstring> Texts()
    {
        std::vector<std::wstring> texts;
        for (const TPrompt& p : TPromptScript::Seen())
            texts.push_back(p.text);
        return texts;
    }
    DeadClasses dead_;
};

TEST_F(RepairFlow, UnwritableBackupChangesNothingAndIsTold)
{
    // The backup folder's place is taken by a file.
    const std::string blocked = ExcludeTrailingBackslash(folders_.BackupDir);
    CreateDirectoryA(folders_.CommonDataDir.c_str(), nullptr);
    ASSERT_TRUE(WriteText(blocked, "a file, no folder"));
    ScanFixture();
    const int before = dead_.Existing();
    ASSERT_TRUE(Repair());
    EXPECT_EQ(before, dead_.Existing()) << "the registry changed without a backup";
    EXPECT_TRUE(main_->NotRepaired(kCategoryFix));
    EXPECT_EQ(0, main_->RepairedCount(kCategoryFix));
    const auto prompts = TPromptScript::Seen();
    ASSERT_EQ(1u, prompts.size());
    EXPECT_EQ(L"The registry backup could not be written, so nothing was changed.", prompts[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), prompts[0].flags);
}

TEST_F(RepairFlow, WantedRestorePointThatWindowsDoesNotMakeIsToldOncePerRepair)
{
    ChangeSettings([](TSettings& s) { s.CREATE_SYSTEMRP = true; });
    if (!RestorePointWanted())
        GTEST_SKIP() << "System Restore is disabled here: no restore point is wanted";
    ScanFixture();
    ASSERT_TRUE(Repair());
    EXPECT_EQ(0, dead_.Existing());
    EXPECT_FALSE(main_->NotRepaired(kCategoryFix));
    EXPECT_EQ(main_->RegistryErrors, main_->RepairedCount(kCategoryFix));
    const std::wstring told = L"The system restore point could not be created. Your registry "
                              L"changes are backed up in the Rescue Center.";
    // Wine's restore-point call always fails.
    EXPECT_EQ(std::vector<std::wstring>{told}, Texts());
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONWARNING), TPromptScript::Seen()[0].flags);
    EXPECT_EQ(1u, main_->Backups()->FixBackups.size());
}

} // namespace
