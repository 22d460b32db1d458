#pragma once
// Fixtures of the main program's tests: a scratch program key and scratch
// program folders put in place of the real ones, the application body's
// seams recording what the program would show or start, the two forms made
// in-process, a scripted worker, the usage counters, and processes of the
// test program in roles that run the application body.

#include "KorvTest.h"

#include "app/qvAppBody.h"
#include "platform/qvCommon.h"

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class TMainForm;
class TFormSteps;
class TImageData;
class TWinControl;

namespace apptest {

using ktest::Narrow;
using ktest::ReadLines;
using ktest::TestDir;
using ktest::Widen;
using ktest::WriteText;
// Waits, dispatching this thread's messages, until Done or TimeoutMs passed.
bool PumpUntil(const std::function<bool()>& Done, DWORD TimeoutMs);
void Pump(DWORD Ms);

// A scan of the class registrations alone, with only the findings whose key
// Wanted selects (and their locked details) selected; the main window's
// error count set from them. Returns that count.
int ScanAndSelectKeys(TMainForm& Main, const std::function<bool(const std::string& Key)>& Wanted);

// ---------------------------------------------------------------------------
// What the program shows and starts

struct TPrompt {
    std::wstring text;
    UINT flags = 0;
};
// The prompt seam: every box is recorded; the answers are taken in order,
// then the default answer.
class TPromptScript {
public:
    static void Install();
    static void Answer(std::initializer_list<int> Answers);
    static void SetDefault(int Answer);
    static std::vector<TPrompt> Seen();
    static void Clear();
    // Runs (on the GUI thread, inside the box's place) when a box comes; for
    // tests that act while a question is open.
    static void OnPrompt(std::function<void(const TPrompt&)> Hook);
};

// The shell calls (SetShellExecuteCall): verb, file and parameters, recorded
// and not run.
struct TShellCall {
    std::string verb, file, params;
};
void RecordShellCalls(bool On);
std::vector<TShellCall> ShellCalls();

// The "name=value" arguments of a role, each narrowed by Convert (the role
// decides: paths for the A functions, or UTF-8 text).
template <class TConvert>
std::map<std::string, std::string> RoleOptions(const std::vector<std::wstring>& Args, TConvert Convert)
{
    std::map<std::string, std::string> options;
    for (const std::wstring& arg : Args) {
        const std::string a = Convert(arg);
        const size_t eq = a.find('=');
        if (eq != std::string::npos)
            options[a.substr(0, eq)] = a.substr(eq + 1);
    }
    return options;
}

// The usage counters of the process (a scratch store), by name.
std::map<std::string, int> Counters();
void ClearCounters();

// ---------------------------------------------------------------------------
// A worker that hands a list of progress records to the GUI through the
// synchronised call, as the engine's worker does, then finishes.

struct TWorkerScript {
    std::vector<TqvUIStatus> records;
    DWORD gapMs = 0;
    // Before its finish the worker waits for this event (not owned), and
    // does not end on a termination request meanwhile.
    HANDLE holdFinish = nullptr;
    // Set when the worker's finish was handed to the GUI.
    bool restorePointFailed = false;
};
// Installs the factory: each new worker takes the next script (the last
// one again when none is left). Counts are readable any time.
void UseScriptedWorkers(std::vector<TWorkerScript> Scripts);
int WorkersMade();
// Records handed over (answered) so far, by all workers.
int RecordsAnswered();
// The answers the GUI gave to each record, in order (true: go on).
std::vector<bool> Answers();

// A record of a phase, category and position.
TqvUIStatus Record(uint8_t Phase, uint8_t Category, int32_t Position, int32_t Maximum,
                   const std::wstring& Caption = L"group");
// A registry scan of Records steps, one more error found at each, GapMs apart.
TWorkerScript CountingScanScript(int Records, DWORD GapMs);

// ---------------------------------------------------------------------------
// Fixtures

// A loopback port nothing listens on: a request there fails at once.
inline constexpr char kNowhereURL[] = "http://127.0.0.1:9/";

// Every program folder below Dir (ending in a backslash): prog\ (program
// folder, update folder and the two programs), common\Korvelle\ and
// user\Korvelle\ with their sub-folders. Only the three roots are made.
TProgramFolders ScratchFolders(const std::string& Dir);

// The program key is a scratch key under HKCU and the HKLM 32-bit view;
// every program folder lies in a scratch folder (program folder included);
// the settings are loaded from there with the usage counters on; the seams
// record (prompts with the default answer Yes, shell calls, stay-on-top and
// flashes) and the waits of the switches take no time. All is put back in
// TearDown.
class AppFixture : public ktest::ScratchKeyTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string Key() const;
    // The scratch folder, ending in a backslash.
    std::string dir_;
    TProgramFolders folders_;
    std::vector<std::pair<HWND, bool>> stayOnTop_;
    std::vector<HWND> flashes_;
    TAppSeams seams_;
    // Puts the seams in force after a test changed seams_.
    void ApplySeams();
};

// The image store, the main window and the wizard pages, made in-process
// (not shown unless a test shows them).
class WizardFixture : public AppFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // Made in SetUp; called again, the forms are made afresh.
    void MakeForms();
    void FreeForms();
    TMainForm* main_ = nullptr;
    TFormSteps* steps_ = nullptr;
    TImageData* images_ = nullptr;
};

// Writes a picture of the control as it paints into the evidence folder.
void SaveShot(TWinControl& Control, const std::wstring& Name);

// ---------------------------------------------------------------------------
// Processes

// A process of the test program in a role, running while the object lives
// (ended when the object goes).
class TRole {
public:
    TRole(const std::wstring& Role, const std::vector<std::wstring>& Args);
    ~TRole();
    TRole(const TRole&) = delete;
    TRole& operator=(const TRole&) = delete;

    bool Started() const { return process_ != nullptr; }
    DWORD Pid() const { return pid_; }
    // True when it ended within Ms; its exit code then.
    bool Wait(DWORD Ms);
    DWORD ExitCode() const;
    bool Running() const;

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// A program of the test folder started with a command line.
class TProgram {
public:
    TProgram(const std::string& Exe, const std::string& Args);
    ~TProgram();
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;
    bool Started() const { return process_ != nullptr; }
    DWORD Pid() const { return pid_; }
    bool Wait(DWORD Ms);
    bool Running() const;

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// The visible top-level main window ("KvForm", caption "Korvelle") of a
// process; null when none.
HWND FindWizardWindow(DWORD Pid);

} // namespace apptest
