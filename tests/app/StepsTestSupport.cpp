#include "StepsTestSupport.h"

#include "KorvTest.h"
#include "app/frmAllImages.h"
#include "app/frmQVFAQ.h"
#include "app/qvAppBody.h"
#include "controls/KvForms.h"
#include "controls/KvPng.h"
#include "platform/FileUtilsU.h"
#include "platform/FileVersionU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/ThreadU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"

#include <atomic>
#include <fstream>

namespace stepstest {

namespace {

// A loopback port nothing listens on: a request there fails at once.
constexpr char kClosedPortURL[] = "http://127.0.0.1:9/";

std::deque<int>& Answers()
{
    static std::deque<int> answers;
    return answers;
}

HINSTANCE WINAPI RecordShellCall(HWND, LPCSTR, LPCSTR File, LPCSTR, LPCSTR, INT)
{
    ShellCalls().push_back(File ? File : "");
    return reinterpret_cast<HINSTANCE>(42);
}

std::string& DataDirSlot()
{
    static std::string dir;
    return dir;
}

std::string& KeySlot()
{
    static std::string key;
    return key;
}

} // namespace

// The idle worker: ends when the main window stops it.
class TIdleWorker : public TThread {
public:
    TIdleWorker() : TThread(true) {}

protected:
    void Execute() override
    {
        while (!Terminated())
            Sleep(5);
    }
};

namespace {

TIdleWork& WorkSlot()
{
    static TIdleWork work;
    return work;
}
bool gNoWorker = false;

TAppSeams TestSeams()
{
    TAppSeams seams;
    seams.Elevated = [] { return true; };
    seams.Administrator = [] { return true; };
    seams.Sleep = [](DWORD) {};
    seams.Prompt = [](HWND, const std::wstring& Text, const std::wstring&, UINT Flags) {
        Prompts().push_back({Text, Flags});
        if (Answers().empty())
            return IDNO;
        const int answer = Answers().front();
        Answers().pop_front();
        return answer;
    };
    seams.Flash = [](HWND, UINT) {};
    seams.StayOnTop = [](HWND, bool) {};
    seams.CreateWorker = [](TWorkRequest Request) -> TThread* {
        WorkSlot().request = std::move(Request);
        WorkSlot().started = true;
        if (gNoWorker)
            return nullptr;
        return new TIdleWorker();
    };
    return seams;
}

} // namespace

const std::string& ScratchDataDir()
{
    return DataDirSlot();
}

const std::string& ScratchKey()
{
    return KeySlot();
}

namespace {

TWizard gWizard;
TImageData* gStore = nullptr;

// The run's scratch folders and key, the seams and the translation file.
void PrepareRun()
{
    static bool ready = false;
    if (ready)
        return;
    ready = true;
    Application().Initialize();
    const std::string instance = WideToAnsi(ktest::InstanceName());
    const std::string base =
        "C:\\ktest-scratch\\" + instance + ".steps." + std::to_string(GetCurrentProcessId()) + "\\";
    ktest::RemoveTree(AnsiToWide(base));
    TProgramFolders folders = ComputeProgramFolders();
    folders.CommonDataDir = base + "Data\\";
    folders.BackupDir = folders.CommonDataDir + "Backup\\";
    folders.CommonStartupDir = folders.CommonDataDir + "Startup\\";
    folders.TranslateDir = folders.CommonDataDir + "Translate\\";
    folders.UserDataDir = base + "User\\";
    folders.UserStartupDir = folders.UserDataDir + "Startup\\";
    folders.NewsDir = folders.UserDataDir + "News\\";
    for (const std::string* dir : {&folders.CommonDataDir, &folders.BackupDir, &folders.TranslateDir,
                                   &folders.UserDataDir})
        CreateDirectoryPath(*dir, TFileSecurity::Inherit, true);
    SetProgramFoldersForTests(folders);
    DataDirSlot() = folders.CommonDataDir;
    KeySlot() = "Software\\Korvelle.Test." + instance + ".Steps";
    SetProgramKeyForTests(KeySlot());
    {
        TProgramKeyView view;
        RegRemoveKeyTree(HKEY_CURRENT_USER, KeySlot(), true);
        RegRemoveKeyTree(HKEY_LOCAL_MACHINE, KeySlot(), true);
        // The wizard pages fetch the FAQ when they are made: nothing of a
        // test leaves the machine, so the address is a closed loopback port.
        RegWriteString(HKEY_LOCAL_MACHINE, KeySlot(), "FAQ_URL", kClosedPortURL);
    }
    ChangeSettings([](TSettings& s) {
        s.TRACK_USER = true;
        s.LANGUAGE = L"en";
        s.FAQ_URL = kClosedPortURL;
    });
    CreateUserTrack(HKEY_CURRENT_USER, KeySlot(), "TRACK");
    SetShellExecuteCall(&RecordShellCall);
    SetAppSeams(TestSeams());
    SkinControlsInit();
    LoadTranslationFile();
}

} // namespace

TWizard& Wizard()
{
    PrepareRun();
    if (!gWizard.main) {
        gStore = new TImageData(&Application());
        gWizard.main = Application().CreateForm<TMainForm>();
        gWizard.steps = Application().CreateForm<TFormSteps>();
        gWizard.main->SetBounds(0, 0, gWizard.main->Width(), gWizard.main->Height());
        gWizard.main->Show();
        Pump(50);
    }
    return gWizard;
}

void ReleaseWizard()
{
    if (!gWizard.main)
        return;
    gWizard.main->StopWork();
    delete gWizard.steps;
    delete gWizard.main;
    delete gStore;
    gWizard = {};
    gStore = nullptr;
    Pump();
}

void Pump(DWORD Ms)
{
    const DWORD start = GetTickCount();
    do {
        Application().ProcessMessages();
        if (Ms > 0)
            Sleep(5);
    } while (GetTickCount() - start < Ms);
}

void AnswerNext(int Answer)
{
    Answers().push_back(Answer);
}

std::vector<TPromptRecord>& Prompts()
{
    static std::vector<TPromptRecord> prompts;
    return prompts;
}

void ResetPrompts()
{
    Prompts().clear();
    Answers().clear();
}

std::map<std::string, int> TrackCounts()
{
    std::map<std::string, int> counts;
    std::string text;
    if (!UserTrack() || !UserTrack()->ReadStore(text))
        return counts;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            counts[line.substr(0, equals)] = std::atoi(line.c_str() + equals + 1);
        start = end + 1;
    }
    return counts;
}

int TrackCount(const std::string& Name)
{
    const auto counts = TrackCounts();
    const auto it = counts.find(Name);
    return it == counts.end() ? 0 : it->second;
}

std::vector<std::string>& ShellCalls()
{
    static std::vector<std::string> calls;
    return calls;
}

TqvMain& FreshEngine()
{
    TWizard& wizard = Wizard();
    // Step 1 frees the old root and loads a new one; from step 0 the way is open.
    if (wizard.main->CurrentStep() == kStepScanSettings)
        wizard.main->SetStep(kStepWelcome);
    if (wizard.main->ActiveTab() != kTabScan)
        wizard.main->SwitchTab(kTabScan);
    if (wizard.main->CurrentStep() == kStepScanSettings)
        wizard.main->SetStep(kStepWelcome);
    wizard.main->SetStep(kStepScanSettings);
    EXPECT_EQ(wizard.main->CurrentStep(), kStepScanSettings);
    EXPECT_TRUE(wizard.main->Engine());
    return *wizard.main->Engine();
}

TqvRegItem& AddRegFinding(TqvGroup& Group, const std::string& Key, const std::string& Name, bool Locked)
{
    auto item = NewRegDeletion(Group.Scanner.get(), HKEY_CURRENT_USER, Key, Name, false, !Name.empty());
    item->Locked = Locked;
    auto* raw = item.get();
    Group.Scanner->Items.push_back(std::move(item));
    return *raw;
}

TqvGroup* GroupById(uint8_t Category, const std::string& Id)
{
    TqvMain* engine = Wizard().main->Engine().get();
    TqvCategory* category = engine ? engine->Category(Category) : nullptr;
    if (category)
        for (const auto& group : category->Groups)
            if (group->Id == Id)
                return group.get();
    ADD_FAILURE() << "no group " << Id;
    return nullptr;
}

void ClearFindings(TqvMain& Engine)
{
    for (uint8_t c : {kCategoryFix, kCategoryBoost, kCategoryClean})
        if (TqvCategory* category = Engine.Category(c))
            for (const auto& group : category->Groups)
                if (group->Scanner)
                    group->Scanner->Items.clear();
}

void SetCounters(const TCounters& Counters)
{
    TMainForm& main = *Wizard().main;
    main.RegistryErrors = Counters.errors;
    main.Tweaks = Counters.tweaks;
    main.BytesToClean = Counters.bytes;
    main.AddOnItems = Counters.addOns;
    main.MemoryFigure = Counters.memory;
}

void GoToStep(uint8_t Step)
{
    TMainForm& main = *Wizard().main;
    const uint8_t tab = Step >= kStepRescueCenter ? kTabSupport : kTabScan;
    if (main.ActiveTab() != tab)
        main.SwitchTab(tab);
    main.SetStep(Step);
    Pump();
}

std::vector<TControl*> VisiblePages()
{
    std::vector<TControl*> pages;
    for (TControl* control : Wizard().main->PanelClient()->Controls())
        if ((control->Tag() == 1 || control->Tag() == 2) && control->Visible())
            pages.push_back(control);
    return pages;
}

void UseTranslationFile(const std::string& TextUtf8)
{
    Wizard();
    // The version mark says the file is current, so it is opened as it is.
    {
        TProgramKeyView view;
        RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), "LngVer", GetFileVersionString(MainExePath()));
    }
    std::ofstream(TranslateDir() + TranslateFileName(), std::ios::binary) << TextUtf8;
    CloseTranslationFileForTests();
    LoadTranslationFile();
}

void UseBuiltInTranslation()
{
    Wizard();
    {
        TProgramKeyView view;
        RegRemoveValue(HKEY_LOCAL_MACHINE, ProgramKey(), "LngVer");
    }
    CloseTranslationFileForTests();
    LoadTranslationFile();
}

void SetLanguage(const std::wstring& Code)
{
    ChangeSettings([&Code](TSettings& s) { s.LANGUAGE = Code; });
}

void ClickTree(TTreeView& Tree, int X, int Y, bool Double)
{
    HWND wnd = Tree.Handle();
    const LPARAM at = MAKELPARAM(X, Y);
    PostMessageW(wnd, WM_LBUTTONUP, 0, at);
    SendMessageW(wnd, WM_LBUTTONDOWN, MK_LBUTTON, at);
    Pump();
    if (Double) {
        PostMessageW(wnd, WM_LBUTTONUP, 0, at);
        SendMessageW(wnd, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
        Pump();
    }
}

std::vector<TTreeNode*> AllNodes(TTreeView& Tree)
{
    std::vector<TTreeNode*> nodes;
    std::function<void(TTreeNode*)> walk = [&](TTreeNode* Node) {
        nodes.push_back(Node);
        for (int i = 0; i < Node->Count(); ++i)
            walk(Node->Item(i));
    };
    for (TTreeNode* root : Tree.Roots())
        walk(root);
    return nodes;
}

TTreeNode* NodeByText(TTreeView& Tree, const std::wstring& Prefix)
{
    for (TTreeNode* node : AllNodes(Tree))
        if (node->Text().compare(0, Prefix.size(), Prefix) == 0)
            return node;
    return nullptr;
}

std::wstring Shot(const std::wstring& Name)
{
    TMainForm& main = *Wizard().main;
    HWND wnd = main.Handle();
    // What the screen shows: the native controls paint only there (a check
    // box prints nothing into another context). Top-most for the moment, so
    // that no other test's window covers it.
    SetWindowPos(wnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    RedrawWindow(wnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Pump(60);
    POINT origin{0, 0};
    ClientToScreen(wnd, &origin);
    TBitmap bitmap(main.ClientWidth(), main.ClientHeight());
    HDC screen = GetDC(nullptr);
    BitBlt(bitmap.Canvas().Handle(), 0, 0, bitmap.Width(), bitmap.Height(), screen, origin.x, origin.y,
           SRCCOPY);
    ReleaseDC(nullptr, screen);
    SetWindowPos(wnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    for (int y = 0; y < bitmap.Height(); ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x)
            row[x * 4 + 3] = 255;
    }
    TPNGPicture png;
    png.Assign(bitmap);
    std::wstring file = Name;
    for (wchar_t& c : file)
        if (c == L' ' || c == L',')
            c = L'_';
    const std::wstring path = ktest::EvidenceDir() + file + L".png";
    EXPECT_TRUE(png.SaveToFile(WideToAnsi(path))) << WideToUtf8(path);
    return path;
}

void UseIdleWorkers(bool NoWorker)
{
    gNoWorker = NoWorker;
    WorkSlot() = {};
}

TIdleWork& Work()
{
    return WorkSlot();
}

void StopIdleWorker()
{
    Wizard().main->StopWork();
}

} // namespace stepstest

namespace {

// The scratch key and folders go when the program ends.
class TStepsCleanup : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (stepstest::ScratchKey().empty())
            return;
        // The forms and the FAQ download go before the folders and keys
        // they use.
        stepstest::ReleaseWizard();
        WaitForFaqDownload(30000);
        TProgramKeyView view;
        RegRemoveKeyTree(HKEY_CURRENT_USER, stepstest::ScratchKey(), true);
        RegRemoveKeyTree(HKEY_LOCAL_MACHINE, stepstest::ScratchKey(), true);
        const std::string data = stepstest::ScratchDataDir();
        // The data folder's parent is the run's own scratch folder.
        const std::string base = data.substr(0, data.size() - std::string("Data\\").size());
        ktest::RemoveTree(AnsiToWide(base));
        SetProgramKeyForTests("");
        ResetProgramFoldersForTests();
    }
};
[[maybe_unused]] ::testing::Environment* const gStepsCleanup =
    ::testing::AddGlobalTestEnvironment(new TStepsCleanup);

} // namespace
