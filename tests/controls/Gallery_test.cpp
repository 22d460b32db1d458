// kvgallery and formdrive as separate programs: the gallery's pages shot
// from their own drawing into the evidence folder, and the inspection window
// driven from a second process.

#include "controls/KvInspect.h"
#include "controls/KvPng.h"

#include "FormTest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring ToolPath(const wchar_t* exe)
{
    const std::wstring self = ktest::ProgramPath();
    return self.substr(0, self.find_last_of(L'\\') + 1) + exe;
}

struct TRun {
    DWORD exitCode = 0;
    bool finished = false;
    std::string out;
};

// Runs a program to its end (at most timeoutMs), its standard output caught.
TRun RunTool(const std::wstring& commandLine, DWORD timeoutMs = 30000)
{
    TRun run;
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    const BOOL started =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(writeEnd);
    if (started) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got)
            run.out.append(buffer, got);
        run.finished = WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0;
        GetExitCodeProcess(pi.hProcess, &run.exitCode);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    CloseHandle(readEnd);
    while (!run.out.empty() && (run.out.back() == '\n' || run.out.back() == '\r'))
        run.out.pop_back();
    return run;
}

// A gallery left running; the destructor waits for its end (or ends it).
class TGallery {
public:
    TGallery(const std::wstring& args, bool inspect)
    {
        SetEnvironmentVariableW(L"KV_INSPECT", inspect ? L"1" : nullptr);
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        std::wstring line = L"\"" + ToolPath(L"kvgallery.exe") + L"\" " + args;
        started_ = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &si, &pi_) != FALSE;
        SetEnvironmentVariableW(L"KV_INSPECT", nullptr);
    }
    ~TGallery()
    {
        if (!started_)
            return;
        if (WaitForSingleObject(pi_.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(pi_.hProcess, 9);
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
    }
    bool Started() const { return started_; }
    DWORD Pid() const { return pi_.dwProcessId; }
    // The exit code once it ended within timeoutMs; STILL_ACTIVE otherwise.
    DWORD WaitForExit(DWORD timeoutMs)
    {
        WaitForSingleObject(pi_.hProcess, timeoutMs);
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(pi_.hProcess, &code);
        return code;
    }
    TRun Drive(const std::wstring& args, DWORD timeoutMs = 10000)
    {
        return RunTool(L"\"" + ToolPath(L"formdrive.exe") + L"\" --pid " + std::to_wstring(Pid()) +
                       L" --timeout " + std::to_wstring(timeoutMs) + L" " + args);
    }

private:
    PROCESS_INFORMATION pi_{};
    bool started_ = false;
};

} // namespace

TEST(Gallery, EveryPageIsShotFromItsOwnDrawing)
{
    KTEST_NEEDS_DISPLAY();
    const struct {
        const wchar_t* page;
        int minWidth;
        int minHeight;
    } pages[] = {{L"controls", 900, 600}, {L"skin", 900, 700}, {L"store", 1200, 900}, {L"warning", 1200, 300}};
    for (const auto& p : pages) {
        SCOPED_TRACE(std::string(p.page, p.page + wcslen(p.page)));
        const std::wstring file = ktest::EvidenceDir() + L"kvgallery_" + p.page + L".png";
        DeleteFileW(file.c_str());
        const TRun run = RunTool(L"\"" + ToolPath(L"kvgallery.exe") + L"\" --page " + p.page +
                                 L" --shot \"" + file + L"\"");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(0u, run.exitCode);
        TPNGPicture shot;
        ASSERT_TRUE(shot.LoadFromFile(file)) << shot.LastError();
        EXPECT_GE(shot.Width(), p.minWidth);
        EXPECT_GE(shot.Height(), p.minHeight);
        // A drawn page, not an empty window: many colours.
        std::set<uint32_t> colours;
        const uint8_t* px = shot.Pixels();
        for (int i = 0; i < shot.Width() * shot.Height(); i += 7, px += 28)
            colours.insert(static_cast<uint32_t>(px[0]) | px[1] << 8 | px[2] << 16);
        EXPECT_GT(colours.size(), 50u);
    }
}

TEST(Gallery, FormdriveReadsAndClicksThroughTheInspection)
{
    KTEST_NEEDS_DISPLAY();
    TGallery gallery(L"--page controls", true);
    ASSERT_TRUE(gallery.Started());
    TRun r = gallery.Drive(L"wait FormGallery Visible 1", 20000);
    ASSERT_EQ(0u, r.exitCode) << "the gallery's inspection answers";
    r = gallery.Drive(L"get LabelCounter Caption");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("0", r.out) << "a windowless label's caption";
    r = gallery.Drive(L"get FormGallery.ButtonCount CurrentImage");
    EXPECT_EQ(0u, r.exitCode);
    EXPECT_EQ("BUTTON1", r.out) << "a skin button's picture";
    // Screen bounds: the windowless button where its panel's window shows it.
    int panel[4] = {}, button[4] = {};
    r = gallery.Drive(L"get PanelSkin ScreenBounds");
    ASSERT_EQ(4, sscanf(r.out.c_str(), "%d,%d,%d,%d", &panel[0], &panel[1], &panel[2], &panel[3])) << r.out;
    r = gallery.Drive(L"get ButtonCount ScreenBounds");
    ASSERT_EQ(4, sscanf(r.out.c_str(), "%d,%d,%d,%d", &button[0], &button[1], &button[2], &button[3])) << r.out;
    EXPECT_EQ("160,30,100,33", gallery.Drive(L"get ButtonCount Bounds").out);
    EXPECT_EQ(160, button[0] - panel[0]);
    EXPECT_EQ(30, button[1] - panel[1]);
    EXPECT_EQ(100, button[2]);
    EXPECT_EQ(33, button[3]);
    EXPECT_EQ(0u, gallery.Drive(L"click ButtonCount").exitCode);
    EXPECT_EQ(0u, gallery.Drive(L"click ButtonAdd").exitCode) << "a native push button";
    EXPECT_EQ(0u, gallery.Drive(L"wait LabelCounter Caption 2").exitCode);
    r = gallery.Drive(L"get LabelCounter Caption");
    EXPECT_EQ("2", r.out);
    r = gallery.Drive(L"get ButtonCount CurrentImage");
    EXPECT_EQ("BUTTON1_HOT", r.out) << "the mouse stayed over it after the click";
    r = gallery.Drive(L"get NoSuchControl Caption");
    EXPECT_EQ(1u, r.exitCode);
    r = gallery.Drive(L"get LabelCounter NoSuchProperty");
    EXPECT_EQ(1u, r.exitCode);
    r = gallery.Drive(L"list");
    EXPECT_NE(std::string::npos, r.out.find("FormGallery.ButtonCount\tTSkinButton"));
    EXPECT_EQ(0u, gallery.Drive(L"click ButtonClose").exitCode);
    EXPECT_EQ(0u, gallery.WaitForExit(20000));
}

TEST(Gallery, WithoutTheVariableNoProgramAnswers)
{
    KTEST_NEEDS_DISPLAY();
    TGallery gallery(L"--page skin --seconds 30", false);
    ASSERT_TRUE(gallery.Started());
    HWND form = nullptr;
    ASSERT_TRUE(formtest::PumpUntil(
        [&] { return (form = FindWindowW(L"KvForm", L"Korvelle gallery: skin")) != nullptr; }, 20000));
    EXPECT_EQ(nullptr, FindWindowW(kInspectClass, (L"KvInspect " + std::to_wstring(gallery.Pid())).c_str()));
    const TRun r = gallery.Drive(L"get FormGallery Visible", 1000);
    EXPECT_EQ(2u, r.exitCode) << "no answer";
    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, gallery.WaitForExit(20000));
}
