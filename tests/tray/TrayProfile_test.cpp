// The tray's builds of the settings loader, the program globals and the
// translation file.
#include "TrayTest.h"

#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

using namespace traytest;

namespace {

class TrayProfile : public TrayFixture {
protected:
    void SetUp() override
    {
        TrayFixture::SetUp();
        saved_ = *Settings();
    }
    void TearDown() override
    {
        SetSettings(saved_);
        TrayFixture::TearDown();
    }
    TSettings saved_;
};

TEST_F(TrayProfile, ShowTrayIsExactlyOneAndAMissingValueKeepsTheCurrentOne)
{
    TRegViewScope view(true, false);
    const struct {
        const char* name;
        bool before;
        DWORD type; // 0: no value
        const char* value;
        bool after;
    } cases[] = {
        {"\"0\" is off", true, REG_SZ, "0", false},
        {"\"1\" is on", false, REG_SZ, "1", true},
        {"\"01\" is off", true, REG_SZ, "01", false},
        {"missing keeps on", true, 0, "", true},
        {"missing keeps off", false, 0, "", false},
        {"REG_DWORD 1 is no flag: keeps on", true, REG_DWORD, "", true},
        {"REG_DWORD 1 is no flag: keeps off", false, REG_DWORD, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RegRemoveValue(HKEY_LOCAL_MACHINE, Key(), "SHOW_TRAY");
        if (c.type == REG_SZ) {
            ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "SHOW_TRAY", c.value));
        }
        if (c.type == REG_DWORD) {
            ASSERT_TRUE(RegWriteDWord(HKEY_LOCAL_MACHINE, Key(), "SHOW_TRAY", 1));
        }
        ChangeSettings([&](TSettings& s) { s.SHOW_TRAY = c.before; });
        LoadSettings(); // the start, and every refresh after it
        EXPECT_EQ(c.after, Settings()->SHOW_TRAY);
    }
}

TEST_F(TrayProfile, TheLoaderReadsWhatTheTrayReadsAndWritesNothing)
{
    TRegViewScope view(true, false);
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "PHONE_NUMBER", "555"));
    ASSERT_TRUE(
        RegWriteString(HKEY_LOCAL_MACHINE, Key(), "ADDON_URL", "https://elsewhere.example/"));
    ASSERT_TRUE(
        RegWriteString(HKEY_LOCAL_MACHINE, Key(), "PHONE_URL", "https://elsewhere.example/"));
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "LOG", "2"));
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "TRACK_USER", "1"));
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "LANGUAGE", "de"));
    SetSettings(TSettings{});
    LoadSettings();
    const auto s = Settings();
    EXPECT_EQ("", s->PHONE_NUMBER);
    EXPECT_EQ(TSettings{}.ADDON_URL, s->ADDON_URL);
    EXPECT_EQ(TSettings{}.PHONE_URL, s->PHONE_URL);
    EXPECT_EQ("2", s->LOG);
    EXPECT_TRUE(s->TRACK_USER);
    EXPECT_EQ(L"de", s->LANGUAGE);
    // The tray's table holds only CFG_ID.
    EXPECT_EQ("24", s->CFG_ID);
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, Key(), "START_DELAY_MIN"));
    EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, Key(), "SCAN_DELAY_MIN"));
}

TEST_F(TrayProfile, GlobalsFollowTheTraysFolderWithoutNewsOrBitness)
{
    const TProgramFolders f = ComputeProgramFolders();
    EXPECT_EQ(TestDir(), f.ProgramDir);
    EXPECT_EQ(TestDir() + "Korvelle.exe", f.MainExePath);
    EXPECT_EQ(TestDir() + "Lindova.exe", f.TrayExePath);
    EXPECT_EQ(TestDir() + "Update\\", f.UpdateDir);
    EXPECT_FALSE(f.CommonDataDir.empty());
    EXPECT_EQ(f.CommonDataDir + "Startup\\", f.CommonStartupDir);
    EXPECT_EQ(f.UserDataDir + "Startup\\", f.UserStartupDir);
    EXPECT_EQ("", f.NewsDir);
    EXPECT_FALSE(f.IsWin64);
}

TEST_F(TrayProfile, TranslationFollowsTheMainProgramsVersionWithoutWritingAnything)
{
    // Only the elevated main program writes lng.ini and LngVer: where it
    // would, the tray reads the main program's table into memory.
    TRegViewScope view(true, false);
    const std::string lng = TranslateDir() + "lng.ini";
    ChangeSettings([](TSettings& s) { s.LANGUAGE = L"en"; });
    CloseTranslationFileForTests();
    const struct {
        const char* stub; // '' : no Korvelle.exe
        const wchar_t* fix;
    } steps[] = {
        {"", L"Default"},
        {"tray_stub_main_v1.exe", L"Korvelle Registry Fix"},
        {"tray_stub_main_v2.exe", L"Korvelle Registry Fix 2"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.stub);
        ASSERT_TRUE(PlaceMainProgram(step.stub));
        LoadTranslationFile();
        EXPECT_FALSE(RegValueExists(HKEY_LOCAL_MACHINE, Key(), "LngVer"));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(lng.c_str()));
        EXPECT_EQ(step.fix, TranslateText(L"RestorePointNameFix", L"Default"));
    }

    // A current lng.ini that only administrators could write is read; one
    // that anybody could have written is not.
    ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "LngVer", "1.0.0.2"));
    CreateDirectoryA(TranslateDir().c_str(), nullptr);
    ASSERT_TRUE(WriteText(lng, "[en]\r\nRestorePointNameFix=From the file\r\n"));
    CloseTranslationFileForTests();
    LoadTranslationFile();
    EXPECT_EQ(L"From the file", TranslateText(L"RestorePointNameFix", L"Default"));
    const TTrustQuery old = SetTrustQueryForTests([](const std::string&) { return false; });
    CloseTranslationFileForTests();
    LoadTranslationFile();
    SetTrustQueryForTests(old);
    EXPECT_EQ(L"Korvelle Registry Fix 2", TranslateText(L"RestorePointNameFix", L"Default"));
    EXPECT_EQ("[en]\r\nRestorePointNameFix=From the file\r\n", ktest::ReadFileBytes(Widen(lng)));

    CloseTranslationFileForTests();
    DeleteFileA(lng.c_str());
    RegRemoveValue(HKEY_LOCAL_MACHINE, Key(), "LngVer");
    PlaceMainProgram("");
}

} // namespace
