// The self-update against the stand-in service: the list's rules, a good
// run, every way a download can fail (each leaving the program folder as it
// was and no download behind), the cabinet's names, cancel, the in-use
// branch, and the window's texts on a fake clock.
#include "AppTest.h"
#include "FakeService.h"

#include "app/frmAllImages.h"
#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"
#include "app/qvUpdate.h"
#include "controls/KvComCtrls.h"
#include "controls/KvForms.h"
#include "controls/KvStdCtrls.h"
#include "controls/SkinControls.h"
#include "platform/CabSTComps2.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/FileVersionU.h"
#include "platform/HTTPU.h"
#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/ThreadU.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

using namespace apptest;

namespace {

constexpr DWORD kRunWaitMs = 60000;
constexpr char kOldMain[] = "old main program";
constexpr char kOldTray[] = "old tray program";

std::string Sha(const std::string& Bytes)
{
    std::string hex;
    EXPECT_TRUE(Sha256Hex(Bytes, hex));
    return hex;
}

std::string ReadFile(const std::string& Name)
{
    std::ifstream in(Name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file of a folder (not its sub-folders), name -> contents.
std::map<std::string, std::string> FilesOf(const std::string& Dir)
{
    std::map<std::string, std::string> files;
    WIN32_FIND_DATAA found{};
    HANDLE find = FindFirstFileA((Dir + "*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return files;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files[found.cFileName] = ReadFile(Dir + found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return files;
}

class UpdateRun : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (HasFatalFailure())
            return;
        KTEST_NEEDS_DISPLAY();
        // The application's dispatcher carries the run's window calls; it
        // stays for the tests after this one.
        Application().Initialize();
        images_ = new TImageData();
        form_ = new TFormUpdate();
        root_ = dir_ + "service\\";
        ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
        service_ = std::make_unique<fakeservice::TFakeService>(root_);
        ASSERT_TRUE(service_->Start());
        ASSERT_TRUE(WriteText(folders_.MainExePath, kOldMain));
        ASSERT_TRUE(WriteText(folders_.TrayExePath, kOldTray));
        before_ = FilesOf(folders_.ProgramDir);
        SetUpdateDownloadTimeout(3000);
    }
    void TearDown() override
    {
            if (service_)
            service_->Stop();
        delete form_;
        delete images_;
        TComponent::FreeReleased();
        AppFixture::TearDown();
    }

    // Serves Bytes as /files/<Name>; the list line that names it.
    std::string Serve(const std::string& Name, const std::string& Bytes)
    {
        CreateDirectoryA((root_ + "files").c_str(), nullptr);
        EXPECT_TRUE(WriteText(root_ + "files\\" + Name, Bytes));
        return Line(service_->URL("/files/" + Name), Bytes.size(), Sha(Bytes));
    }
    static std::string Line(const std::string& URL, size_t Size, const std::string& Digest)
    {
        return URL + "\t" + std::to_string(Size) + "\t" + Digest + "\r\n";
    }
    std::string Source() const { return service_->URL("/client.asmx/GetXML?action=CHECK"); }

    // One run to its end, pumping meanwhile (its window calls and questions
    // come to this thread).
    void Run(const std::string& List, bool Silent, bool Manual)
    {
        auto run = std::make_unique<TQVUpdateThread>(List, false, Silent, Manual, Source());
        ASSERT_TRUE(PumpUntil([&] { return run->Done(); }, kRunWaitMs));
    }
    void SetLastUpdate(TDateTime Value)
    {
        TProgramKeyView view;
        ASSERT_TRUE(RegWriteDateTime(HKEY_CURRENT_USER, Key(), "LAST_UPDATE", Value));
    }
    bool HasLastUpdate()
    {
        TProgramKeyView view;
        return RegValueExists(HKEY_CURRENT_USER, Key(), "LAST_UPDATE");
    }
    bool UpdateDirEmpty() { return FilesOf(folders_.UpdateDir).empty(); }
    size_t FileRequests()
    {
        size_t count = 0;
        for (const auto& request : service_->Requests())
            count += request.Path.starts_with("/files/") ? 1 : 0;
        return count;
    }
    // The program folder exactly as before, and no download left.
    void ExpectNothingChanged()
    {
        EXPECT_EQ(before_, FilesOf(folders_.ProgramDir));
        EXPECT_TRUE(UpdateDirEmpty());
        EXPECT_FALSE(AppFlags().UpdatePending);
    }

    TImageData* images_ = nullptr;
    TFormUpdate* form_ = nullptr;
    std::string root_;
    std::unique_ptr<fakeservice::TFakeService> service_;
    std::map<std::string, std::string> before_;
};

} // namespace

TEST(UpdateList, RulesTakeOnlyTrustedAddressesWithSizeAndDigest)
{
    const std::string digest(64, 'a');
    const std::string good = "https://up.example/Korvelle.exe\t10\t" + digest;
    struct TCase {
        const char* name;
        std::string list;
        std::string source;
        bool taken;
    };
    const std::string https = "https://service.example/check";
    const TCase cases[] = {
        {"https list", good + "\r\n\r\n" + good, https, true},
        {"loopback http", "http://127.0.0.1:8080/a.exe\t1\t" + digest, "http://127.0.0.1/x", true},
        {"digest in upper case", "https://u.example/a.exe\t1\t" + std::string(64, 'A'), https, true},
        {"empty list", "", https, true},
        {"http list from elsewhere", "http://up.example/a.exe\t1\t" + digest, https, false},
        {"list from an http service", good, "http://service.example/check", false},
        {"loopback look-alike", "http://127.0.0.1.example/a.exe\t1\t" + digest, https, false},
        {"no digest", "https://u.example/a.exe\t1", https, false},
        {"short digest", "https://u.example/a.exe\t1\t" + digest.substr(1), https, false},
        {"digest not hex", "https://u.example/a.exe\t1\t" + std::string(64, 'g'), https, false},
        {"size 0", "https://u.example/a.exe\t0\t" + digest, https, false},
        {"size not a number", "https://u.example/a.exe\t1k\t" + digest, https, false},
        {"a fourth field", good + "\tx", https, false},
        {"one good, one bad line", good + "\r\nhttps://u.example/b.exe\t1", https, false},
        {"URL ending in /", "https://u.example/dir/\t1\t" + digest, https, false},
        {"name with ..", "https://u.example/..\\x.exe\t1\t" + digest, https, false},
        {"absolute name", "https://u.example/C:\\Windows\\x.exe\t1\t" + digest, https, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TUpdateEntry> entries{{.URL = "kept"}};
        EXPECT_EQ(c.taken, ParseUpdateList(c.list, c.source, entries));
        if (!c.taken)
            EXPECT_EQ("kept", entries.at(0).URL) << "a refused list leaves the entries";
    }
    std::vector<TUpdateEntry> entries;
    ASSERT_TRUE(ParseUpdateList(good + "\n" + good, https, entries));
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("Korvelle.exe", entries[0].FileName);
    EXPECT_EQ(10, entries[0].Size);
}

TEST(UpdateList, PlainNames)
{
    struct TCase {
        const char* name;
        bool plain;
    };
    const TCase cases[] = {
        {"Korvelle.exe", true},   {"lng_2-b.ini", true},     {"a", true},
        {"", false},              {"..", false},             {"a..b", false},
        {"..\\a.exe", false},     {"sub\\a.exe", false},     {"sub/a.exe", false},
        {"C:\\a.exe", false},     {"a b.exe", false},        {"con", false},
        {"CON.txt", false},       {"nul.exe", false},        {"com1.dll", false},
        {"LPT9", false},          {"com10.exe", true},       {"console.exe", true},
        {"\xE4.exe", false},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(c.plain, IsPlainUpdateName(c.name)) << c.name;
    EXPECT_TRUE(IsPlainUpdateName(std::string(64, 'a')));
    EXPECT_FALSE(IsPlainUpdateName(std::string(65, 'a')));
}

TEST(UpdateWindowText, TimeLeft)
{
    struct TCase {
        uint32_t seconds;
        const wchar_t* text;
    };
    const TCase cases[] = {
        {3725, L"1 h 2 min "}, {65, L"1 min 5 sec"}, {0, L"0 sec"},
        {3600, L"1 h "},       {7260, L"2 h 1 min "}, {59, L"59 sec"},
        {120, L"2 min 0 sec"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(c.text, UpdateTimeLeftText(c.seconds)) << c.seconds;
    // Placeholders fill in order, once each; the inserted texts and other
    // printf marks stay as they are.
    EXPECT_EQ(L"%s%n1 KB", FillUpdateProgress(L"%s%n%s", L"%s", L"1 KB", L"2 KB"));
    EXPECT_EQ(L"a (b of c) %s", FillUpdateProgress(L"%s (%s of %s) %s", L"a", L"b", L"c"));
    EXPECT_EQ(L"%d only", FillUpdateProgress(L"%d only", L"a", L"b", L"c"));
}

TEST_F(UpdateRun, GoodRunInstallsEveryFileAfterTheQuestion)
{
    const std::string main = "new main program";
    const std::string tray = "new tray program, longer";
    const std::string list = Serve("Korvelle.exe", main) + Serve("Lindova.exe", tray);
    Run(list, false, true);

    EXPECT_EQ(main, ReadFile(folders_.MainExePath));
    EXPECT_EQ(tray, ReadFile(folders_.TrayExePath));
    EXPECT_TRUE(UpdateDirEmpty());
    EXPECT_FALSE(FileExistsEx(folders_.ProgramDir + "Korvelle.old"));
    EXPECT_FALSE(AppFlags().UpdatePending);
    const auto seen = TPromptScript::Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(L"A new version of Korvelle has been released. Click \u201CYes\u201D to download a free "
              L"upgrade.",
              seen[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONQUESTION), seen[0].flags);
    EXPECT_TRUE(HasLastUpdate());
    EXPECT_FALSE(form_->Visible()) << "the window goes at the run's end";
}

TEST_F(UpdateRun, CabinetOfTwoFilesInstallsBothAndGoesItself)
{
    const std::string staging = dir_ + "staging\\";
    ASSERT_TRUE(CreateDirectoryA(staging.c_str(), nullptr));
    ASSERT_TRUE(WriteText(staging + "Korvelle.exe", "main from the cabinet"));
    ASSERT_TRUE(WriteText(staging + "Lindova.exe", "tray from the cabinet"));
    const std::string cab = staging + "update.cab";
    {
        TSTCabWriter writer;
        writer.Create(cab);
        writer.AddFile(staging + "Korvelle.exe", "Korvelle.exe");
        writer.AddFile(staging + "Lindova.exe", "Lindova.exe");
        writer.Flush();
    }
    Run(Serve("update.cab", ReadFile(cab)), true, false);
    EXPECT_EQ("main from the cabinet", ReadFile(folders_.MainExePath));
    EXPECT_EQ("tray from the cabinet", ReadFile(folders_.TrayExePath));
    EXPECT_TRUE(UpdateDirEmpty());
    EXPECT_TRUE(TPromptScript::Seen().empty()) << "a silent automatic run asks nothing";
}

TEST_F(UpdateRun, CabinetWithAPathInANameInstallsNothing)
{
    const std::string staging = dir_ + "staging\\";
    ASSERT_TRUE(CreateDirectoryA(staging.c_str(), nullptr));
    ASSERT_TRUE(WriteText(staging + "a.exe", "outside"));
    ASSERT_TRUE(WriteText(staging + "Korvelle.exe", "main from the cabinet"));
    const std::string cab = staging + "bad.cab";
    {
        TSTCabWriter writer;
        writer.Create(cab);
        writer.AddFile(staging + "Korvelle.exe", "Korvelle.exe");
        writer.AddFile(staging + "a.exe", "..\\a.exe");
        writer.Flush();
    }
    Run(Serve("bad.cab", ReadFile(cab)), false, true);
    ExpectNothingChanged();
    EXPECT_FALSE(FileExistsEx(folders_.ProgramDir + "a.exe"));
    EXPECT_FALSE(FileExistsEx(dir_ + "prog\\a.exe"));
}

TEST_F(UpdateRun, EveryFailedDownloadEndsTheRunBeforeAnyInstall)
{
    struct TCase {
        const char* name;
        const char* failure; // a fakeservice switch for the second file; '' for none
        bool badDigest;
        int sizeDelta;
    };
    const TCase cases[] = {
        {"404", "status:404", false, 0},      {"short body", "short", false, 0},
        {"no length", "nolength", false, 0},  {"stall", "stall", false, 0},
        {"empty body", "empty", false, 0},    {"wrong digest", "", true, 0},
        {"listed size larger", "", false, 1}, {"listed size smaller", "", false, -1},
    };
    const std::string good = Serve("Korvelle.exe", "new main program");
    int round = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "Lindova" + std::to_string(++round) + ".exe";
        const std::string bytes(5000, 'x');
        Serve(name, bytes);
        if (*c.failure) {
            std::string path;
            fakeservice::TBehaviour behaviour;
            ASSERT_TRUE(fakeservice::ParseFailureSwitch(std::string("/files/") + name + "=" + c.failure,
                                                        path, behaviour));
            service_->SetBehaviour(path, behaviour);
        }
        const std::string second =
            Line(service_->URL("/files/" + name), bytes.size() + c.sizeDelta,
                 c.badDigest ? Sha("other bytes") : Sha(bytes));
        TPromptScript::Clear();
        TPromptScript::Install();
        Run(good + second, false, true);
        ExpectNothingChanged();
        const auto seen = TPromptScript::Seen();
        ASSERT_EQ(2u, seen.size()) << "the question, then the failure";
        EXPECT_EQ(L"Download failed!", seen[1].text);
        EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), seen[1].flags);
        EXPECT_FALSE(form_->Visible());
    }
    // Silent: the same failure tells nothing.
    TPromptScript::Clear();
    TPromptScript::Install();
    Run(good + Line(service_->URL("/files/missing.exe"), 3, Sha("abc")), true, false);
    ExpectNothingChanged();
    EXPECT_TRUE(TPromptScript::Seen().empty());
}

TEST_F(UpdateRun, RefusedListsFetchNothing)
{
    const std::string digest = Sha("new");
    const std::string lists[] = {
        Line("http://update.example/Korvelle.exe", 3, digest),
        service_->URL("/files/Korvelle.exe") + "\t3\r\n",
        Line(service_->URL("/files/..\\x.exe"), 3, digest),
        Line(service_->URL("/files/C:\\Windows\\x.exe"), 3, digest),
        Line(service_->URL("/files/"), 3, digest),
    };
    for (const std::string& list : lists) {
        SCOPED_TRACE(list);
        TPromptScript::Clear();
        TPromptScript::Install();
        Run(Serve("Korvelle.exe", "new") + list, false, true);
        EXPECT_EQ(0u, FileRequests());
        ExpectNothingChanged();
        ASSERT_EQ(1u, TPromptScript::Seen().size());
        EXPECT_EQ(L"Download failed!", TPromptScript::Seen()[0].text);
        EXPECT_FALSE(HasLastUpdate());
    }
}

TEST_F(UpdateRun, AutomaticRunsKeepTheirRules)
{
    const std::string list = Serve("Korvelle.exe", "new main program");
    // Within 3 days of the last update (either way): nothing at all.
    for (double offset : {-2.0, 2.0}) {
        SetLastUpdate(Now() + offset);
        Run(list, true, false);
        EXPECT_EQ(0u, FileRequests()) << offset;
    }
    // Switched off: nothing; a user's check ignores the switch.
    SetLastUpdate(Now() - 5);
    ChangeSettings([](TSettings& s) { s.CHECK_FOR_UPDATES = false; });
    Run(list, true, false);
    EXPECT_EQ(0u, FileRequests());
    EXPECT_TRUE(TPromptScript::Seen().empty());

    // "No" still writes LAST_UPDATE (written before the question).
    {
        TProgramKeyView view;
        RegRemoveValue(HKEY_CURRENT_USER, Key(), "LAST_UPDATE");
    }
    TPromptScript::Answer({IDNO});
    Run(list, false, true);
    EXPECT_EQ(0u, FileRequests());
    EXPECT_TRUE(HasLastUpdate());
    ExpectNothingChanged();
}

TEST_F(UpdateRun, EmptyListTellsOnlyTheUser)
{
    Run("\r\n", false, false);
    EXPECT_TRUE(TPromptScript::Seen().empty());
    EXPECT_FALSE(HasLastUpdate()) << "an automatic empty list leaves LAST_UPDATE";

    Run("", false, true);
    const auto seen = TPromptScript::Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(L"There is no new version available.", seen[0].text);
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONINFORMATION), seen[0].flags);
    EXPECT_FALSE(HasLastUpdate());
}

TEST_F(UpdateRun, CancelEndsTheRunQuietly)
{
    const std::string list = Serve("Korvelle.exe", std::string(4000, 'm'));
    std::string path;
    fakeservice::TBehaviour stall;
    ASSERT_TRUE(fakeservice::ParseFailureSwitch("/files/Korvelle.exe=stall", path, stall));
    service_->SetBehaviour(path, stall);
    auto run = std::make_unique<TQVUpdateThread>(list, false, false, true, Source());
    ASSERT_TRUE(PumpUntil([&] { return FileRequests() == 1 && form_->Visible(); }, kRunWaitMs));
    ASSERT_TRUE(form_->ButtonCancel());
    form_->ButtonCancel()->Click();
    EXPECT_FALSE(form_->Visible());
    ASSERT_TRUE(PumpUntil([&] { return run->Done(); }, kRunWaitMs));
    EXPECT_EQ(1u, TPromptScript::Seen().size()) << "only the question: a cancel tells nothing";
    ExpectNothingChanged();

    // The close box cancels too; the next run starts afresh.
    form_->StartDownloading(1);
    form_->Show();
    form_->Close();
    EXPECT_TRUE(form_->Cancelled());
    EXPECT_FALSE(form_->Visible());
    form_->StartDownloading(1);
    EXPECT_FALSE(form_->Cancelled());
}

TEST_F(UpdateRun, ProgramEndAbortsADownload)
{
    const std::string list = Serve("Korvelle.exe", std::string(4000, 'm'));
    std::string path;
    fakeservice::TBehaviour stall;
    ASSERT_TRUE(fakeservice::ParseFailureSwitch("/files/Korvelle.exe=stall", path, stall));
    service_->SetBehaviour(path, stall);
    auto run = std::make_unique<TQVUpdateThread>(list, false, true, false, Source());
    ASSERT_TRUE(PumpUntil([&] { return FileRequests() == 1; }, kRunWaitMs));
    EXPECT_TRUE(EndUpdateRuns(kRunWaitMs));
    EXPECT_TRUE(run->Done());
    ExpectNothingChanged();
}

TEST_F(UpdateRun, FileInUse)
{
    // A new copy that cannot be made beside a held target keeps the
    // download, sets no pending flag, and never puts an older copy there.
    const std::string source = folders_.UpdateDir + "Korvelle.exe";
    const std::string fresh = folders_.ProgramDir + "Korvelle.new";
    ASSERT_TRUE(CreateDirectoryA(folders_.UpdateDir.c_str(), nullptr));
    ASSERT_TRUE(WriteText(source, "new main program"));
    ASSERT_TRUE(WriteText(fresh, "stale new copy"));
    {
        TProgram holder(TestDir() + "ktest_lockfile.exe", "\"" + fresh + "\" 30000");
        ASSERT_TRUE(holder.Started());
        Sleep(1000);
        EXPECT_FALSE(InstallUpdateFile(source));
    }
    EXPECT_EQ(kOldMain, ReadFile(folders_.MainExePath));
    EXPECT_EQ("new main program", ReadFile(source));
    EXPECT_FALSE(AppFlags().UpdatePending);
    DeleteFileA(fresh.c_str());

    // A held target: the new copy waits for "/completeupdate".
    {
        TProgram holder(TestDir() + "ktest_lockfile.exe", "\"" + folders_.MainExePath + "\" 30000");
        ASSERT_TRUE(holder.Started());
        Sleep(1000);
        EXPECT_TRUE(InstallUpdateFile(source));
    }
    EXPECT_EQ(kOldMain, ReadFile(folders_.MainExePath));
    EXPECT_EQ("new main program", ReadFile(fresh));
    EXPECT_TRUE(AppFlags().UpdatePending);
    EXPECT_FALSE(FileExistsEx(source));
}

TEST_F(UpdateRun, WindowTextsOnAFakeClock)
{
    DWORD now = 100000;
    form_->SetTickSource([&now] { return now; });
    form_->StartDownloading(2);
    EXPECT_EQ(L"Downloading updates...", form_->LabelStatus()->Caption());
    EXPECT_EQ(L"1/2", form_->LabelCounter()->Caption());

    struct TStep {
        DWORD at; // ms after the start
        uint32_t done, total;
        bool force;
        const wchar_t* timeSize;
        const wchar_t* rate;
    };
    const TStep steps[] = {
        {0, 0, 0, true, L"", L""},                 // total 0: both empty
        {0, 1024, 10240, true, L"", L"0.0 kB/s"},  // no rate in the first moment, no INF
        {200, 2048, 10240, true, L"", L"0.0 kB/s"},
        {1000, 2048, 10240, true, L"4 sec (2.0 KB of 10.0 KB downloaded)", L"2.0 kB/s"},
        // Within a second the rate and the time left stay; the sizes follow.
        {1500, 4096, 10240, true, L"4 sec (4.0 KB of 10.0 KB downloaded)", L"2.0 kB/s"},
        // Less than 100 ms after the last refresh: skipped.
        {1550, 6144, 10240, false, L"4 sec (4.0 KB of 10.0 KB downloaded)", L"2.0 kB/s"},
        {2000, 8192, 10240, true, L"1 sec (8.0 KB of 10.0 KB downloaded)", L"4.0 kB/s"},
    };
    for (const TStep& s : steps) {
        SCOPED_TRACE(s.at);
        now = 100000 + s.at;
        form_->SetCounters(s.done, s.total);
        form_->Refresh(s.force);
        EXPECT_EQ(s.timeSize, form_->LabelTimeSize()->Caption());
        EXPECT_EQ(s.rate, form_->LabelRate()->Caption());
        EXPECT_EQ(std::wstring::npos, form_->LabelRate()->Caption().find(L"INF"));
    }
    EXPECT_EQ(10240, form_->ProgressBar()->Max());
    EXPECT_EQ(8192, form_->ProgressBar()->Position());

    form_->NextFile();
    EXPECT_EQ(L"2/2", form_->LabelCounter()->Caption());
    EXPECT_EQ(L"", form_->LabelRate()->Caption());
    form_->StartInstalling();
    EXPECT_EQ(L"Installing updates...", form_->LabelStatus()->Caption());
    EXPECT_EQ(L"1/2", form_->LabelCounter()->Caption());
    EXPECT_TRUE(form_->ProgressBar()->Marquee());
    EXPECT_EQ(L"", form_->LabelTimeSize()->Caption());
}

TEST_F(UpdateRun, ProgressTemplateFromTheTranslationFileIsNeverAFormat)
{
    // The file counts as current for a program file with a version: this
    // test program stands in for it.
    char self[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, self, MAX_PATH));
    ASSERT_TRUE(CopyFileA(self, folders_.MainExePath.c_str(), FALSE));
    ASSERT_TRUE(CreateDirectoryPath(folders_.TranslateDir, TFileSecurity::Inherit, true));
    {
        TProgramKeyView view;
        RegWriteString(HKEY_LOCAL_MACHINE, Key(), "LngVer", GetFileVersionString(MainExePath()));
    }
    std::ofstream(TranslateDir() + TranslateFileName(), std::ios::binary)
        << "[Languages]\r\nen=English\r\n\r\n[en]\r\nUpdateProgress=%s%n%s %d\r\n";
    CloseTranslationFileForTests();
    LoadTranslationFile();
    ChangeSettings([](TSettings& s) { s.LANGUAGE = L"en"; });
    DWORD now = 5000;
    form_->SetTickSource([&now] { return now; });
    form_->StartDownloading(1);
    now += 1000;
    form_->SetCounters(1024, 3072);
    form_->Refresh();
    EXPECT_EQ(L"2 sec%n1.0 KB %d", form_->LabelTimeSize()->Caption());
    CloseTranslationFileForTests();
    DeleteFileA((TranslateDir() + TranslateFileName()).c_str());
}

TEST_F(UpdateRun, DownloadRefreshesAreSkippedByTimeButTheLastOneAlwaysRuns)
{
    // A clock that stands still: after the first refresh of a file every
    // progress refresh is skipped (less than 100 ms after the last one), and
    // only the completion's refresh brings the bar to its end.
    std::atomic<int> ticks{0};
    form_->SetTickSource([&ticks] {
        ++ticks;
        return DWORD{700000};
    });
    const std::string bytes(600000, 'b');
    Run(Serve("Korvelle.exe", bytes), false, true);
    EXPECT_EQ(bytes, ReadFile(folders_.MainExePath));
    EXPECT_EQ(static_cast<int>(bytes.size()), form_->ProgressBar()->Max());
    EXPECT_EQ(static_cast<int>(bytes.size()), form_->ProgressBar()->Position());
    EXPECT_GT(ticks.load(), 2) << "the download's progress asked for refreshes";
}

TEST_F(UpdateRun, WindowShots)
{
    DWORD now = 100000;
    form_->SetTickSource([&now] { return now; });
    form_->StartDownloading(3);
    form_->NextFile();
    now += 4000;
    form_->SetCounters(300 * 1024, 1200 * 1024);
    form_->Refresh();
    form_->Show();
    Pump(100);
    SaveShot(*form_, L"update_downloading");
    form_->StartInstalling();
    Pump(300);
    SaveShot(*form_, L"update_installing");
    form_->HideWindow();

    // In German, from the program's own table (this test program carries it).
    char self[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameA(nullptr, self, MAX_PATH));
    ASSERT_TRUE(CopyFileA(self, folders_.MainExePath.c_str(), FALSE));
    ASSERT_TRUE(CreateDirectoryPath(folders_.TranslateDir, TFileSecurity::Inherit, true));
    CloseTranslationFileForTests();
    LoadTranslationFile();
    ChangeSettings([](TSettings& s) { s.LANGUAGE = L"de"; });
    form_->StartDownloading(3);
    form_->Translate();
    now += 4000;
    form_->SetCounters(300 * 1024, 1200 * 1024);
    form_->Refresh();
    EXPECT_EQ(L"Abbrechen", form_->ButtonCancel()->Caption());
    EXPECT_EQ(L"Korvelle \u2013 Aktualisierung", form_->Caption());
    EXPECT_EQ(L"12 sec (300.0 KB von 1.2 MB heruntergeladen)", form_->LabelTimeSize()->Caption());
    form_->Show();
    Pump(100);
    SaveShot(*form_, L"update_downloading_de");
    form_->HideWindow();
    CloseTranslationFileForTests();
}

namespace {

class UpdateButton : public WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        if (HasFatalFailure() || IsSkipped())
            return;
        form_ = new TFormUpdate();
        root_ = dir_ + "service\\";
        ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
        service_ = std::make_unique<fakeservice::TFakeService>(root_);
        ASSERT_TRUE(service_->Start());
        ChangeSettings([this](TSettings& s) {
            s.LI_URL = service_->URL("/client.asmx/GetXML?action=%ACTION%&cr=%CU%");
        });
        ASSERT_TRUE(WriteText(folders_.MainExePath, kOldMain));
    }
    void TearDown() override
    {
        if (service_)
            service_->Stop();
        delete form_;
        WizardFixture::TearDown();
    }
    TFormUpdate* form_ = nullptr;
    std::string root_;
    std::unique_ptr<fakeservice::TFakeService> service_;
};

} // namespace

TEST_F(UpdateButton, AsksTheServiceAndHandsTheListToTheUpdateRun)
{
    main_->SwitchTab(kTabSupport);
    main_->SetStep(kStepSettings);
    auto* button = steps_->Find<TControl>(L"ButtonUpdate");
    ASSERT_TRUE(button);
    ClearCounters();
    TPromptScript::Clear();
    TPromptScript::Install();

    // Nothing new: told so.
    ASSERT_TRUE(WriteText(root_ + "check.xml", "<Check><Vers silent=\"1\"/></Check>"));
    button->Click();
    ASSERT_TRUE(PumpUntil([] { return !TPromptScript::Seen().empty(); }, kRunWaitMs))
        << service_->RequestCount() << " requests";
    EXPECT_EQ(L"There is no new version available.", TPromptScript::Seen()[0].text);

    // A new program file: asked (a user's check is never silent), fetched
    // and put in place.
    const std::string bytes = "new main program";
    ASSERT_TRUE(WriteText(root_ + "Korvelle.exe", bytes));
    ASSERT_TRUE(WriteText(root_ + "check.xml",
                          "<Check><Vers silent=\"1\"><File url=\"" + service_->URL("/Korvelle.exe") +
                              "\" size=\"" + std::to_string(bytes.size()) + "\" sha256=\"" +
                              Sha(bytes) + "\"/></Vers></Check>"));
    button->Click();
    ASSERT_TRUE(PumpUntil([&] { return ReadFile(folders_.MainExePath) == bytes; }, kRunWaitMs));
    ASSERT_EQ(2u, TPromptScript::Seen().size());
    EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONQUESTION), TPromptScript::Seen()[1].flags);
    EXPECT_EQ(1, Counters()["AS.UP"]) << "counted once per run";
    size_t checks = 0;
    for (const auto& request : service_->Requests())
        checks += request.Query.find("action=CHECK") != std::string::npos ? 1 : 0;
    EXPECT_EQ(2u, checks);
    // The run ends by hiding its window.
    ASSERT_TRUE(PumpUntil([&] { return !form_->Visible(); }, kRunWaitMs));
    Pump(200);
    EXPECT_TRUE(FilesOf(folders_.UpdateDir).empty());
}

// ---------------------------------------------------------------------------
// Not a timed test: run with --gtest_also_run_disabled_tests. A 32 MiB update
// file through the update's download with its window shown (its progress
// handed to this thread, which waits for messages as the program's loop
// does) against a bare DownloadToFile of the same file from the same
// service; best of five each, interleaved. Prints the seconds and the ratio
// (target: at most 1.2).
TEST_F(UpdateRun, DISABLED_BenchmarkDownloadWithTheWindowAgainstABareDownload)
{
    constexpr size_t kSize = 32u << 20;
    constexpr int kRounds = 5;
    std::string bytes(kSize, '\0');
    uint32_t x = 2463534242u;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    CreateDirectoryA((root_ + "files").c_str(), nullptr);
    ASSERT_TRUE(WriteText(root_ + "files\\big.bin", bytes));
    // A service of its own: ten transfers may outlast the fixture's.
    fakeservice::TFakeService service(root_, 600000);
    ASSERT_TRUE(service.Start());
    const std::string url = service.URL("/files/big.bin");
    std::vector<TUpdateEntry> entries;
    ASSERT_TRUE(ParseUpdateList(Line(url, bytes.size(), Sha(bytes)), Source(), entries));
    ASSERT_EQ(1u, entries.size());
    bytes.clear();
    ASSERT_TRUE(CreateDirectoryA(folders_.UpdateDir.c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    const std::string target = folders_.UpdateDir + "big.bin";
    const std::string bareTarget = dir_ + "bare.bin";

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    auto now = [&frequency] {
        LARGE_INTEGER t;
        QueryPerformanceCounter(&t);
        return static_cast<double>(t.QuadPart) / frequency.QuadPart;
    };
    // The shipped program's time-outs, as the bare download has them.
    SetUpdateDownloadTimeout(0);
    form_->StartDownloading(1);
    form_->Show();
    double ours = 1e9, bare = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        form_->StartDownloading(1);
        DeleteFileA(target.c_str());
        double start = now();
        {
            TQVDownload download(entries[0], form_, target);
            while (!download.Done()) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
                Application().ProcessMessages();
            }
            ASSERT_TRUE(download.Success());
        }
        ours = std::min(ours, now() - start);
        ASSERT_EQ(static_cast<int64_t>(kSize), GetFileSize64(target));
        ASSERT_TRUE(form_->Visible());

        DeleteFileA(bareTarget.c_str());
        start = now();
        ASSERT_TRUE(DownloadToFile(url, bareTarget, nullptr));
        bare = std::min(bare, now() - start);
        ASSERT_EQ(static_cast<int64_t>(kSize), GetFileSize64(bareTarget));
    }
    form_->HideWindow();
    service.Stop();
    DeleteFileA(target.c_str());
    DeleteFileA(bareTarget.c_str());
    std::printf("update download of 32 MiB with its window: %.3f s, bare DownloadToFile %.3f s, "
                "ratio %.3f\n",
                ours, bare, ours / bare);
    EXPECT_LE(ours / bare, 1.2);
}
