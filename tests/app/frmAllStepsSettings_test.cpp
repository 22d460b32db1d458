// The settings page: showing it, the four switches and their labels, saving
// (the settings, the postponed start-up, the tray) and the language choice,
// on the hidden-state wizard of the page tests. The tray is never started:
// the unelevated start records its command line instead.

#include "StepsTestSupport.h"

#include "KorvTest.h"
#include "app/qvFormTranslate.h"
#include "app/qvUpdate.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

using namespace stepstest;

namespace {

std::string Narrow(const std::wstring& Text)
{
    return WideToUtf8(Text);
}

std::vector<std::wstring>& TrayStarts()
{
    static std::vector<std::wstring> starts;
    return starts;
}

int gTrayRefreshes = 0;
UINT gRefreshMessage = 0;

LRESULT CALLBACK FakeTrayProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam)
{
    if (Msg != 0 && Msg == gRefreshMessage)
        ++gTrayRefreshes;
    return DefWindowProcA(Wnd, Msg, WParam, LParam);
}

// A hidden top-level window of the tray's class, as the running tray keeps.
class TFakeTrayWindow {
public:
    TFakeTrayWindow()
    {
        gRefreshMessage = RegisterWindowMessageA(kRefreshTrayMessageName);
        WNDCLASSA wc{};
        wc.lpfnWndProc = FakeTrayProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kTrayWindowClassName;
        RegisterClassA(&wc);
        wnd_ = CreateWindowExA(0, kTrayWindowClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               wc.hInstance, nullptr);
    }
    ~TFakeTrayWindow()
    {
        DestroyWindow(wnd_);
        UnregisterClassA(kTrayWindowClassName, GetModuleHandleW(nullptr));
    }
    TFakeTrayWindow(const TFakeTrayWindow&) = delete;
    TFakeTrayWindow& operator=(const TFakeTrayWindow&) = delete;
    HWND Handle() const { return wnd_; }

private:
    HWND wnd_ = nullptr;
};

struct TSwitch {
    const wchar_t* box;
    const wchar_t* label;
    bool TSettings::*setting;
    const char* counter;
    // The counter is for a box that is now checked (else now unchecked).
    bool whenChecked;
};
const TSwitch kSwitches[] = {
    {L"CheckSettingsTray", L"LabelSettingsTray", &TSettings::SHOW_TRAY, "AS.CT", false},
    {L"CheckSettingsDelay", L"LabelSettingsDelay", &TSettings::DELAY_STARTUP, "AS.CD", false},
    {L"CheckSettingsRestorePoint", L"LabelSettingsRestorePoint", &TSettings::CREATE_SYSTEMRP,
     "AS.CR", true},
    {L"CheckSettingsUpdates", L"LabelSettingsUpdates", &TSettings::CHECK_FOR_UPDATES, "AS.CU",
     false},
};

void SetSwitches(bool Tray, bool Delay, bool RestorePoint, bool Updates)
{
    ChangeSettings([=](TSettings& s) {
        s.SHOW_TRAY = Tray;
        s.DELAY_STARTUP = Delay;
        s.CREATE_SYSTEMRP = RestorePoint;
        s.CHECK_FOR_UPDATES = Updates;
    });
}

std::string StoredValue(const std::string& Name)
{
    TProgramKeyView view;
    std::string value;
    return RegReadString(HKEY_LOCAL_MACHINE, ProgramKey(), Name, value) ? value : "<none>";
}

void RemoveStoredSettings()
{
    TProgramKeyView view;
    for (const char* name : {"SHOW_TRAY", "DELAY_STARTUP", "CREATE_SYSTEMRP", "CHECK_FOR_UPDATES",
                             "LANGUAGE"})
        RegRemoveValue(HKEY_LOCAL_MACHINE, ProgramKey(), name);
}

// A user's choice in a drop-down list: the selection, then the list's note
// to its parent.
void ChooseEntry(TComboBox& Combo, int Index)
{
    HWND list = Combo.Handle();
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(Index), 0);
    SendMessageW(GetParent(list), WM_COMMAND,
                 MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(list)), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
    Pump();
}

std::string UserListFile()
{
    return UserDataDir() + "startup.xml";
}

class SettingsPage : public ::testing::Test {
protected:
    static void TearDownTestSuite() { ReleaseWizard(); }
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        Wizard();
        ResetPrompts();
        TrayStarts().clear();
        gTrayRefreshes = 0;
        TUnelevatedStartSeams seams;
        seams.VistaOrLater = [] { return false; };
        seams.CreateProcess = [](LPWSTR CommandLine, STARTUPINFOW&, PROCESS_INFORMATION&) {
            TrayStarts().push_back(CommandLine ? CommandLine : L"");
            return TRUE;
        };
        SetUnelevatedStartSeams(seams);
        // The tray file exists wherever the test runs; nothing starts it.
        folders_ = ProgramFolders();
        TProgramFolders folders = folders_;
        folders.TrayExePath = ScratchDataDir() + "Lindova.exe";
        std::ofstream(folders.TrayExePath, std::ios::binary) << "MZ";
        SetProgramFoldersForTests(folders);
        RemoveStoredSettings();
        SetSwitches(true, true, false, true);
        ASSERT_EQ(FindWindowA(kTrayWindowClassName, nullptr), nullptr)
            << "another tray window lives in this prefix";
    }
    void TearDown() override
    {
        Main().SettingsChanged = false;
        ChangeSettings([](TSettings& s) { s.PHONE_NUMBER.clear(); });
        SetUnelevatedStartSeams({});
        SetProgramFoldersForTests(folders_);
        DeleteFileA(UserListFile().c_str());
        DeleteFileA((UserListFile() + ".bad").c_str());
        RemoveStoredSettings();
        UseBuiltInTranslation();
        SetLanguage(L"en");
        TranslateForm(*Wizard().main);
        TranslateForm(*Wizard().steps);
        Wizard().steps->FitStepButtons();
        Wizard().main->TranslateStepCaptions();
        Wizard().main->RefreshFrameControls();
        Wizard().main->RenderSupportPanel();
    }

    TMainForm& Main() { return *Wizard().main; }
    TFormSteps& Steps() { return *Wizard().steps; }

    // The page shown afresh (from the help page, so that step 19 is shown again).
    void ShowPage()
    {
        GoToStep(kStepHelp);
        GoToStep(kStepSettings);
        ASSERT_EQ(Main().CurrentStep(), kStepSettings);
    }
    void Click(TCheckBox& Box)
    {
        SendMessageW(Box.Handle(), BM_CLICK, 0, 0);
        Pump();
    }

    TProgramFolders folders_;
};

// ---------------------------------------------------------------------------
// Showing the page

TEST_F(SettingsPage, ShowingTakesTheStoredSettingsAndCountsNoChange)
{
    const auto before = TrackCounts();
    for (bool flip : {false, true}) {
        SetSwitches(!flip, flip, !flip, flip);
        ShowPage();
        const auto settings = Settings();
        for (const TSwitch& s : kSwitches)
            EXPECT_EQ(Get<TCheckBox>(s.box)->Checked(), (*settings).*s.setting)
                << Narrow(s.box) << " flip " << flip;
        EXPECT_FALSE(Get<TControl>(L"ButtonSaveSettings")->Enabled());
        EXPECT_FALSE(Main().SettingsChanged);
    }
    for (const auto& [name, count] : TrackCounts()) {
        if (name.rfind("AS.", 0) == 0) {
            EXPECT_EQ(count, before.count(name) ? before.at(name) : 0) << name;
        }
    }
    Shot(L"settings_en");
}

TEST_F(SettingsPage, LanguageListIsFilledAgainFromTheOpenTable)
{
    UseTranslationFile("[Languages]\r\nen=English\r\nde=Deutsch\r\n\r\n[en]\r\n\r\n[de]\r\n");
    SetLanguage(L"de");
    ShowPage();
    auto* combo = Get<TComboBox>(L"LanguageCombo");
    ASSERT_EQ(combo->Items().size(), 2u);
    EXPECT_EQ(combo->Items()[1], L"Deutsch");
    EXPECT_EQ(combo->ItemIndex(), 1);
    // Refilling is no choice of the user's: nothing was saved.
    EXPECT_EQ(StoredValue("LANGUAGE"), "<none>");

    UseBuiltInTranslation();
    SetLanguage(L"en");
    ShowPage();
    EXPECT_EQ(combo->Items().size(), 7u);
    EXPECT_EQ(combo->ItemIndex(), 0);
    EXPECT_TRUE(combo->Visible());
}

// ---------------------------------------------------------------------------
// The switches

TEST_F(SettingsPage, EachSwitchCountsItsEventOncePerVisitInItsDirection)
{
    for (const TSwitch& s : kSwitches) {
        SCOPED_TRACE(Narrow(s.box));
        // Start where the first click goes the other way than the event's.
        ChangeSettings([&s](TSettings& t) { t.*s.setting = s.whenChecked; });
        ShowPage();
        auto* box = Get<TCheckBox>(s.box);
        auto* save = Get<TControl>(L"ButtonSaveSettings");
        ASSERT_EQ(box->Checked(), s.whenChecked);
        ASSERT_FALSE(save->Enabled());
        const int before = TrackCount(s.counter);

        Click(*box);
        EXPECT_EQ(TrackCount(s.counter), before) << "the other direction counted";
        EXPECT_TRUE(save->Enabled());
        EXPECT_TRUE(Main().SettingsChanged);
        Click(*box);
        EXPECT_EQ(box->Checked(), s.whenChecked);
        EXPECT_EQ(TrackCount(s.counter), before + 1);
        // Back as stored: still a change, since the flag is never compared.
        EXPECT_TRUE(Main().SettingsChanged);
        EXPECT_TRUE(save->Enabled());
        Click(*box);
        Click(*box);
        EXPECT_EQ(TrackCount(s.counter), before + 1) << "counted twice in one visit";

        // The label toggles its box as a click on the box would.
        Main().SettingsChanged = false;
        Get<TLabel>(s.label)->Click();
        Pump();
        EXPECT_EQ(box->Checked(), !s.whenChecked);
        EXPECT_TRUE(Main().SettingsChanged);
        // Nothing of it is saved before Save.
        EXPECT_EQ((*Settings()).*s.setting, s.whenChecked);
    }
}

// ---------------------------------------------------------------------------
// Saving

struct TSaveCase {
    const char* name;
    bool tray;
    bool delay;
    bool trayRuns;
    bool started;
    bool listPutBack;
};

TEST_F(SettingsPage, SaveWritesTheBoxesAndActsOnTrayAndPostponedStartUp)
{
    static const TSaveCase kCases[] = {
        {"tray on, not running", true, true, false, true, false},
        {"tray on, running", true, true, true, false, false},
        {"tray off", false, true, false, false, false},
        {"postponing off", false, false, false, false, true},
        {"postponing off, tray on and running", true, false, true, false, true},
    };
    for (const TSaveCase& c : kCases) {
        SCOPED_TRACE(c.name);
        TrayStarts().clear();
        gTrayRefreshes = 0;
        RemoveStoredSettings();
        // The stored opposite of the boxes, so that every value must move.
        SetSwitches(!c.tray, !c.delay, true, false);
        ShowPage();
        // A damaged per-user list of postponed programs: putting the
        // postponed start-up back sets it aside, which the test can see.
        CreateDirectoryPath(UserDataDir(), TFileSecurity::Inherit, true);
        std::ofstream(UserListFile(), std::ios::binary) << "<not a list";
        std::unique_ptr<TFakeTrayWindow> tray;
        if (c.trayRuns)
            tray = std::make_unique<TFakeTrayWindow>();

        if (Get<TCheckBox>(L"CheckSettingsTray")->Checked() != c.tray)
            Click(*Get<TCheckBox>(L"CheckSettingsTray"));
        if (Get<TCheckBox>(L"CheckSettingsDelay")->Checked() != c.delay)
            Click(*Get<TCheckBox>(L"CheckSettingsDelay"));
        Click(*Get<TCheckBox>(L"CheckSettingsRestorePoint"));
        Click(*Get<TCheckBox>(L"CheckSettingsUpdates"));
        ASSERT_TRUE(Get<TControl>(L"ButtonSaveSettings")->Enabled());
        const int saves = TrackCount("AS.SS");
        Get<TControl>(L"ButtonSaveSettings")->Click();
        Pump(20);

        const auto settings = Settings();
        EXPECT_EQ(settings->SHOW_TRAY, c.tray);
        EXPECT_EQ(settings->DELAY_STARTUP, c.delay);
        EXPECT_FALSE(settings->CREATE_SYSTEMRP);
        EXPECT_TRUE(settings->CHECK_FOR_UPDATES);
        EXPECT_EQ(StoredValue("SHOW_TRAY"), c.tray ? "1" : "0");
        EXPECT_EQ(StoredValue("DELAY_STARTUP"), c.delay ? "1" : "0");
        EXPECT_EQ(StoredValue("CREATE_SYSTEMRP"), "0");
        EXPECT_EQ(StoredValue("CHECK_FOR_UPDATES"), "1");
        EXPECT_EQ(StoredValue("LANGUAGE"), "en");
        EXPECT_EQ(FileExistsEx(UserListFile() + ".bad"), c.listPutBack);
        EXPECT_EQ(FileExistsEx(UserListFile()), !c.listPutBack);
        ASSERT_EQ(TrayStarts().size(), c.started ? 1u : 0u);
        if (c.started) {
            EXPECT_EQ(TrayStarts()[0], L"\"" + AnsiToWide(TrayExePath()) + L"\"");
        }
        EXPECT_EQ(gTrayRefreshes, c.trayRuns ? 1 : 0);
        EXPECT_FALSE(Main().SettingsChanged);
        EXPECT_FALSE(Get<TControl>(L"ButtonSaveSettings")->Enabled());
        EXPECT_EQ(TrackCount("AS.SS"), saves + 1);
        DeleteFileA(UserListFile().c_str());
        DeleteFileA((UserListFile() + ".bad").c_str());
    }
}

struct TAnswerCase {
    const char* name;
    int answer;
    bool leaves;   // the help page is reached
    bool saved;    // the change is in the settings and the registry
    bool declined; // "SMC" counted
};

TEST_F(SettingsPage, SaveQuestionAnswersSaveDropOrKeepTheChange)
{
    static const TAnswerCase kCases[] = {
        {"Yes", IDYES, true, true, false},
        {"No", IDNO, true, false, true},
        {"Cancel", IDCANCEL, false, false, true},
    };
    for (const TAnswerCase& c : kCases) {
        SCOPED_TRACE(c.name);
        RemoveStoredSettings();
        SetSwitches(false, true, false, true);
        ShowPage();
        ResetPrompts();
        auto* box = Get<TCheckBox>(L"CheckSettingsRestorePoint");
        Click(*box);
        const int asked = TrackCount("AS.SM");
        const int declined = TrackCount("AS.SMC");

        AnswerNext(c.answer);
        GoToStep(kStepHelp);
        ASSERT_EQ(Prompts().size(), 1u);
        EXPECT_EQ(Prompts()[0].text, L"Do you want to save changes?");
        EXPECT_EQ(Prompts()[0].flags, static_cast<UINT>(MB_YESNOCANCEL | MB_ICONQUESTION));
        EXPECT_EQ(Main().CurrentStep(), c.leaves ? kStepHelp : kStepSettings);
        EXPECT_EQ(Settings()->CREATE_SYSTEMRP, c.saved);
        EXPECT_EQ(StoredValue("CREATE_SYSTEMRP"), c.saved ? "1" : "<none>");
        EXPECT_EQ(TrackCount("AS.SM"), asked + 1);
        EXPECT_EQ(TrackCount("AS.SMC"), declined + (c.declined ? 1 : 0));
        if (c.leaves) {
            EXPECT_FALSE(Main().SettingsChanged);
            // Shown again, the page holds what is stored.
            GoToStep(kStepSettings);
            EXPECT_EQ(box->Checked(), c.saved);
            EXPECT_FALSE(Get<TControl>(L"ButtonSaveSettings")->Enabled());
        } else {
            // The change stays the user's to save, and leaving asks again.
            EXPECT_TRUE(Main().SettingsChanged);
            EXPECT_TRUE(box->Checked());
            EXPECT_TRUE(Get<TControl>(L"ButtonSaveSettings")->Enabled());
            AnswerNext(IDNO);
            GoToStep(kStepHelp);
            EXPECT_EQ(Prompts().size(), 2u);
            EXPECT_EQ(Main().CurrentStep(), kStepHelp);
            EXPECT_EQ(StoredValue("CREATE_SYSTEMRP"), "<none>");
            // Asked twice in one visit of the page, counted once.
            EXPECT_EQ(TrackCount("AS.SM"), asked + 1);
            EXPECT_EQ(TrackCount("AS.SMC"), declined + 2);
        }
    }
}

// ---------------------------------------------------------------------------
// The language

TEST_F(SettingsPage, ChoosingTheLanguageInUseWritesNothing)
{
    ShowPage();
    Click(*Get<TCheckBox>(L"CheckSettingsUpdates"));
    auto* combo = Get<TComboBox>(L"LanguageCombo");
    ChooseEntry(*combo, IndexOfLanguage("en"));
    EXPECT_EQ(Settings()->LANGUAGE, L"en");
    for (const char* name : {"LANGUAGE", "SHOW_TRAY", "CHECK_FOR_UPDATES"})
        EXPECT_EQ(StoredValue(name), "<none>") << name;
    EXPECT_TRUE(TrayStarts().empty());
    // The box's change is still the user's to save.
    EXPECT_TRUE(Main().SettingsChanged);
    EXPECT_TRUE(Settings()->CHECK_FOR_UPDATES);
}

TEST_F(SettingsPage, AnotherLanguageIsSavedAndTranslatesEveryWindowOfTheWizard)
{
    // The support panel sits 10 px further left in the other languages.
    ChangeSettings([](TSettings& s) { s.PHONE_NUMBER = "+1 800 555 0100"; });
    Main().RenderSupportPanel();
    TPaintBox* panel = Main().SupportPanel();
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(panel->Visible());
    const int englishLeft = panel->Left();
    // The update window, made at start beside the pages, follows too.
    std::unique_ptr<TFormUpdate> madeHere;
    if (!FormUpdate())
        madeHere = std::make_unique<TFormUpdate>();
    ASSERT_NE(FormUpdate(), nullptr);
    ShowPage();
    Click(*Get<TCheckBox>(L"CheckSettingsUpdates"));
    auto* combo = Get<TComboBox>(L"LanguageCombo");
    ChooseEntry(*combo, IndexOfLanguage("de"));

    EXPECT_EQ(Settings()->LANGUAGE, L"de");
    EXPECT_EQ(StoredValue("LANGUAGE"), "de");
    // The boxes went with it.
    EXPECT_FALSE(Settings()->CHECK_FOR_UPDATES);
    EXPECT_EQ(StoredValue("CHECK_FOR_UPDATES"), "0");
    EXPECT_FALSE(Main().SettingsChanged);
    EXPECT_EQ(TrayStarts().size(), 1u);

    // The main window, its step header and its step list.
    EXPECT_EQ(Main().Find<TControl>(L"ButtonSupportSettings")->Caption(), L"Einstellungen");
    EXPECT_EQ(Main().Find<TControl>(L"LabelStepHeader")->Caption(), L"Einstellungen");
    EXPECT_EQ(Main().StepButton(kStepScanSettings)->Caption(), L"Scan-Einstellungen");
    // The pages, and the buttons fitted to their new captions.
    EXPECT_EQ(Get<TControl>(L"LabelSettingsGeneral")->Caption(), L"Allgemeine Einstellungen");
    EXPECT_EQ(Get<TControl>(L"LabelLanguage")->Caption(), L"Sprache:");
    auto* save = Get<TControl>(L"ButtonSaveSettings");
    EXPECT_EQ(save->Caption(), L"Speichern");
    EXPECT_GE(save->Width(), 112);
    auto* undo = Get<TControl>(L"ButtonUndoChanges");
    EXPECT_NE(undo->Caption(), L"Undo Changes");
    EXPECT_GE(undo->Width(), 132);
    EXPECT_LE(undo->Width(), 170);
    EXPECT_EQ(combo->ItemIndex(), IndexOfLanguage("de"));
    EXPECT_TRUE(panel->Visible());
    EXPECT_EQ(panel->Left(), englishLeft - 10);
    EXPECT_NE(FormUpdate()->Caption().find(L"Aktualisierung"), std::wstring::npos) << FormUpdate()->Caption();
    Shot(L"settings_de");

    // And back: every text in English again.
    ChooseEntry(*combo, IndexOfLanguage("en"));
    EXPECT_EQ(StoredValue("LANGUAGE"), "en");
    EXPECT_EQ(Main().Find<TControl>(L"ButtonSupportSettings")->Caption(), L"Settings");
    EXPECT_EQ(Main().StepButton(kStepScanSettings)->Caption(), L"Scan Settings");
    EXPECT_EQ(Get<TControl>(L"LabelSettingsGeneral")->Caption(), L"General settings");
    EXPECT_EQ(save->Caption(), L"Save");
    EXPECT_EQ(panel->Left(), englishLeft);
    EXPECT_NE(FormUpdate()->Caption().find(L"Update Progress"), std::wstring::npos) << FormUpdate()->Caption();
}

} // namespace
