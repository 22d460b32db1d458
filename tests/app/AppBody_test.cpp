// The application body's own pieces: the command line's rules, the user id,
// the file-name rule and the swap routine of an update with every way it can
// be cut short, the left-overs and the pending update's start.

#include "AppTest.h"

#include "app/qvUpdate.h"
#include "platform/FileUtilsU.h"
#include "platform/FileVersionU.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

using namespace apptest;

namespace {

TEST(CommandLine, BlanksSeparateAndQuotesGroup)
{
    struct TCase {
        const wchar_t* line;
        std::vector<std::wstring> params;
    };
    const TCase cases[] = {
        {L"prog.exe", {L"prog.exe"}},
        {L"  prog.exe\t/SCAN   x ", {L"prog.exe", L"/SCAN", L"x"}},
        {L"\"C:\\Program Files\\K\\Korvelle.exe\" \"/check now\" B",
         {L"C:\\Program Files\\K\\Korvelle.exe", L"/check now", L"B"}},
        {L"p a\"b c\"d", {L"p", L"ab cd"}},
        {L"p \"\" q", {L"p", L"", L"q"}},
        {L"", {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(Narrow(c.line));
        EXPECT_EQ(c.params, SplitParams(c.line));
    }
}

TEST(CommandLine, SwitchesIgnoreTheCaseOfAsciiLettersOnly)
{
    EXPECT_TRUE(SameSwitch("/install", "/INSTALL"));
    EXPECT_TRUE(SameSwitch("/CompleteUpdate", "/COMPLETEUPDATE"));
    EXPECT_FALSE(SameSwitch("/INSTALL ", "/INSTALL"));
    EXPECT_FALSE(SameSwitch("/\xC9TOP", "/\xE9TOP")); // É and é: not ASCII
}

TEST(CommandLine, ParamStrOfTheSeamsLine)
{
    TAppSeams seams;
    seams.CommandLine = [] { return std::wstring(L"x.exe \"A A\" B"); };
    seams.ProgramFile = [] { return std::string("C:\\k\\Korvelle.exe"); };
    SetAppSeams(seams);
    EXPECT_EQ("C:\\k\\Korvelle.exe", ParamStr(0));
    EXPECT_EQ("A A", ParamStr(1));
    EXPECT_EQ("B", ParamStr(2));
    EXPECT_EQ("", ParamStr(3));
    EXPECT_EQ(2, ParamCount());
    SetAppSeams({});
}

TEST(UserId, DigitsThatDifferEachTime)
{
    const std::string a = MakeUserId();
    const std::string b = MakeUserId();
    EXPECT_NE(a, b);
    for (const std::string& id : {a, b}) {
        ASSERT_FALSE(id.empty());
        EXPECT_EQ(std::string::npos, id.find_first_not_of("0123456789")) << id;
    }
}

TEST(UserId, NegativeHashesAreNegatedWithoutOverflow)
{
    struct TCase {
        uint64_t hash;
        const char* id;
    };
    const TCase cases[] = {
        {0x8000000000000000ull, "9223372036854775808"}, // the most negative value
        {static_cast<uint64_t>(-5), "5"},
        {42, "42"},
        {0x7FFFFFFFFFFFFFFFull, "9223372036854775807"},
    };
    for (const TCase& c : cases) {
        TAppSeams seams;
        std::string hashed;
        seams.UserIdHash = [&c, &hashed](std::string_view Text) {
            hashed = Text;
            return c.hash;
        };
        SetAppSeams(seams);
        EXPECT_EQ(c.id, MakeUserId());
        // The GUID's 32 digits, then the tick count.
        EXPECT_GT(hashed.size(), 32u);
        EXPECT_EQ(std::string::npos, hashed.find_first_of("{}-"));
    }
    SetAppSeams({});
}

TEST(UpdateFiles, NewNameReplacesTheLastExtension)
{
    EXPECT_EQ("C:\\k\\Korvelle.new", ChangeFileExt("C:\\k\\Korvelle.exe", ".new"));
    EXPECT_EQ("a\\b.c\\d.new", ChangeFileExt("a\\b.c\\d", ".new"));
    EXPECT_EQ("a\\b.tar.new", ChangeFileExt("a\\b.tar.gz", ".new"));
    EXPECT_EQ("C:.new", ChangeFileExt("C:", ".new"));
}

// ---------------------------------------------------------------------------
// The swap routine

class Swap : public AppFixture {
protected:
    std::string Target() const { return folders_.MainExePath; }
    std::string New() const { return folders_.ProgramDir + "Korvelle.new"; }
    std::string Old() const { return folders_.ProgramDir + "Korvelle.old"; }
    static std::string Read(const std::string& File) { return ktest::ReadFileBytes(Widen(File)); }
    // Korvelle.exe as a program that runs (a browser stand-in), and a new copy.
    std::string PlaceRunnable()
    {
        EXPECT_TRUE(CopyFileA((TestDir() + "ktest_browser.exe").c_str(), Target().c_str(), FALSE));
        return Read(Target());
    }
    std::unique_ptr<TProgram> Run()
    {
        auto program = std::make_unique<TProgram>(Target(), "KvSwapTarget --stubborn");
        EXPECT_TRUE(program->Started());
        EXPECT_TRUE(PumpUntil([] { return FindWindowW(L"KvSwapTarget", nullptr) != nullptr; }, 10000));
        return program;
    }
};

TEST_F(Swap, WithoutANewCopyNothingHappens)
{
    ASSERT_TRUE(WriteText(Target(), "old program"));
    EXPECT_FALSE(SwapUpdatedFile(Target()));
    EXPECT_EQ("old program", Read(Target()));
    EXPECT_FALSE(FileExistsEx(Old()));
}

TEST_F(Swap, FreeTargetIsReplacedAndTheNewCopyGoes)
{
    ASSERT_TRUE(WriteText(Target(), "old program"));
    ASSERT_TRUE(WriteText(New(), "new program"));
    EXPECT_TRUE(SwapUpdatedFile(Target()));
    EXPECT_EQ("new program", Read(Target()));
    EXPECT_FALSE(FileExistsEx(New()));
    EXPECT_FALSE(FileExistsEx(Old()));
    EXPECT_FALSE(FileExistsEx(Target() + ".tmp"));
}

TEST_F(Swap, TargetHeldWithoutSharingStaysAndTheNewCopyWaits)
{
    ASSERT_TRUE(WriteText(Target(), "old program"));
    ASSERT_TRUE(WriteText(New(), "new program"));
    TProgram holder(TestDir() + "ktest_lockfile.exe", "\"" + Target() + "\" 8000");
    ASSERT_TRUE(holder.Started());
    Sleep(1000);
    EXPECT_FALSE(SwapUpdatedFile(Target()));
    ASSERT_TRUE(holder.Wait(15000));
    EXPECT_EQ("old program", Read(Target()));
    EXPECT_EQ("new program", Read(New()));
    EXPECT_FALSE(FileExistsEx(Target() + ".tmp"));
}

TEST_F(Swap, RunningTargetStaysAndItsNewCopyWaitsForTheCompletion)
{
    const std::string old = PlaceRunnable();
    ASSERT_TRUE(WriteText(New(), "new program"));
    {
        auto running = Run();
        EXPECT_FALSE(SwapUpdatedFile(Target()));
        EXPECT_EQ(old, Read(Target()));
        EXPECT_EQ("new program", Read(New()));
        EXPECT_FALSE(FileExistsEx(Old()));
        EXPECT_FALSE(FileExistsEx(Target() + ".tmp"));
    }
    CompleteUpdate();
    EXPECT_EQ("new program", Read(Target()));
    EXPECT_FALSE(FileExistsEx(New()));
}

TEST_F(Swap, FailedCopyLeavesTheTarget)
{
    ASSERT_TRUE(WriteText(Target(), "old program"));
    ASSERT_TRUE(WriteText(New(), "new program"));
    seams_.SwapCopy = [](const std::string&, const std::string&) { return false; };
    ApplySeams();
    EXPECT_FALSE(SwapUpdatedFile(Target()));
    EXPECT_EQ("old program", Read(Target()));
    EXPECT_EQ("new program", Read(New()));
}

// --role=install dir=<scratch folder> source=<downloaded file> halt=<step>
// InstallUpdateFile(source) with the program folders of dir; the process
// dies (exit code kHaltedExit) right after step <halt>, or ends with 0 (true)
// or 1 (false) when the install never reached it.
constexpr DWORD kHaltedExit = 77;

KTEST_ROLE(install)
{
    auto opt = RoleOptions(args, [](const std::wstring& Arg) { return Narrow(Arg); });
    SetProgramFoldersForTests(ScratchFolders(opt["dir"]));
    const int halt = std::atoi(opt["halt"].c_str());
    TAppSeams seams;
    seams.UpdateStep = [halt](TUpdateStep Step) {
        if (Step == halt)
            ExitProcess(kHaltedExit);
    };
    SetAppSeams(seams);
    return InstallUpdateFile(opt["source"]) ? 0 : 1;
}

TEST_F(Swap, ProcessDeadAfterAnyStepLeavesARunnableOldOrNewProgramAndTheNextRunFinishes)
{
    const std::string v1 = Read(TestDir() + "ktest_swap_v1.exe");
    const std::string v2 = Read(TestDir() + "ktest_swap_v2.exe");
    ASSERT_FALSE(v1.empty());
    ASSERT_FALSE(v2.empty());
    const std::string source = folders_.UpdateDir + "Korvelle.exe";
    struct TCase {
        TUpdateStep halt;
        bool running;
        bool reached; // a running target is never renamed: no step puts it in place
        bool newAfter; // the new version under the program's name after the halt
    };
    const TCase cases[] = {
        {kUpdateStepNewCopied, false, true, false},    {kUpdateStepStaged, false, true, false},
        {kUpdateStepPlaced, false, true, true},        {kUpdateStepNewDeleted, false, true, true},
        {kUpdateStepSourceDeleted, false, true, true}, {kUpdateStepOldDeleted, false, true, true},
        {kUpdateStepNewCopied, true, true, false},     {kUpdateStepStaged, true, true, false},
        {kUpdateStepPlaced, true, false, false},       {kUpdateStepNewDeleted, true, false, false},
        {kUpdateStepSourceDeleted, true, true, false}, {kUpdateStepOldDeleted, true, true, false},
    };
    // Target is one of the two programs, whole: its bytes, its version
    // block, and it starts and shows its window.
    auto expectRunnable = [&](bool IsNew) {
        EXPECT_EQ(IsNew ? v2 : v1, Read(Target())) << "neither the old nor the new program, whole";
        EXPECT_EQ(IsNew ? "2.0.0.2" : "1.0.0.1", GetFileVersionString(Target()));
        TProgram check(Target(), "KvSwapCheck");
        ASSERT_TRUE(check.Started());
        HWND wnd = nullptr;
        EXPECT_TRUE(PumpUntil([&] { return (wnd = FindWindowW(L"KvSwapCheck", nullptr)) != nullptr; },
                              10000));
        if (wnd)
            PostMessageW(wnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(check.Wait(10000));
    };
    CreateDirectoryA(folders_.UpdateDir.c_str(), nullptr);
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.running ? "running" : "free") + ", halted after step " +
                     std::to_string(c.halt));
        for (const std::string& file : {Target(), New(), Old(), Target() + ".tmp", source})
            DeleteFileA(file.c_str());
        ASSERT_TRUE(WriteText(Target(), v1));
        ASSERT_TRUE(WriteText(source, v2));
        // An earlier update's left-over, for the last step to delete.
        ASSERT_TRUE(WriteText(Old(), v1));
        {
            std::unique_ptr<TProgram> running;
            if (c.running)
                running = Run();
            const ktest::ChildResult result =
                ktest::RunSelf(L"install", {L"dir=" + Widen(dir_), L"source=" + Widen(source),
                                            L"halt=" + std::to_wstring(c.halt)});
            ASSERT_TRUE(result.started && !result.timedOut);
            EXPECT_EQ(c.reached ? kHaltedExit : 0, result.exitCode);
            expectRunnable(c.newAfter);
        }
        // What follows once the programs have ended: a waiting new copy is
        // what "/completeupdate" puts in place, a download still there is
        // installed by the next run, and the next start takes an ".old"
        // left-over away.
        if (FileExistsEx(New()))
            CompleteUpdate();
        if (FileExistsEx(source)) {
            EXPECT_TRUE(InstallUpdateFile(source));
        }
        DeleteUpdateLeftovers(false);
        expectRunnable(true);
        for (const std::string& file : {New(), Old(), Target() + ".tmp", source})
            EXPECT_FALSE(FileExistsEx(file)) << file;
    }
}

// ---------------------------------------------------------------------------
// Left-overs and the pending update

TEST_F(Swap, LeftoversGoButAnOldCopyStaysWhileItsProgramIsMissing)
{
    const std::string dir = folders_.ProgramDir;
    for (const char* name : {"Korvelle.old", "Lindova.old", "Korvelle.new", "Lindova.new",
                             "Korvelle.exe", "Lindova.exe"})
        ASSERT_TRUE(WriteText(dir + name, name));
    DeleteUpdateLeftovers(false);
    EXPECT_FALSE(FileExistsEx(dir + "Korvelle.old"));
    EXPECT_FALSE(FileExistsEx(dir + "Lindova.old"));
    EXPECT_TRUE(FileExistsEx(dir + "Korvelle.new"));
    DeleteUpdateLeftovers(true);
    EXPECT_FALSE(FileExistsEx(dir + "Korvelle.new"));
    EXPECT_FALSE(FileExistsEx(dir + "Lindova.new"));
    EXPECT_TRUE(FileExistsEx(dir + "Korvelle.exe"));

    ASSERT_TRUE(DeleteFileA((dir + "Korvelle.exe").c_str()));
    ASSERT_TRUE(WriteText(dir + "Korvelle.old", "the only program"));
    DeleteUpdateLeftovers(true);
    EXPECT_TRUE(FileExistsEx(dir + "Korvelle.old"));
}

TEST_F(Swap, PendingUpdateStartsTheNewCopyElseTheProgram)
{
    ASSERT_TRUE(WriteText(Target(), "program"));
    StartPendingUpdate();
    auto calls = ShellCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("open", calls[0].verb);
    EXPECT_EQ(Target(), calls[0].file);
    EXPECT_EQ("/completeupdate", calls[0].params);

    // The new copy is a program under another extension: it is started as
    // one (the stand-in opens a window of the class its first argument names).
    ASSERT_TRUE(CopyFileA((TestDir() + "ktest_browser.exe").c_str(), New().c_str(), FALSE));
    StartPendingUpdate();
    EXPECT_EQ(1u, ShellCalls().size()) << "the new copy never goes through the shell";
    HWND started = nullptr;
    EXPECT_TRUE(PumpUntil([&] { return (started = FindWindowW(L"/completeupdate", nullptr)) != nullptr; },
                          15000));
    if (started) {
        DWORD pid = 0;
        GetWindowThreadProcessId(started, &pid);
        PostMessageW(started, WM_CLOSE, 0, 0);
        if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid)) {
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
}

} // namespace
