#pragma once
// The application body of the main program: the command line, the one-shot
// switches that run without a window (install, uninstall, stop, update
// completion), the single running instance, the restart with administrator
// rights, the forms and the message loop, and what the program tells the
// tray when it ends.
//
// Everything here runs on the GUI thread (the main thread). The seams are set
// by test programs only, before RunApplication; the shipped program leaves
// them empty, which is the real thing.

#include "platform/ThreadU.h"
#include "platform/qvCommon.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TqvRestorePoints;

// ---------------------------------------------------------------------------
// Process-wide flags (false at start)

struct TAppFlags {
    // "/SCAN": the wizard pages clear it when they create themselves and move
    // the wizard straight to the scan.
    bool ScanNow = false;
    // "/CHECK": the program runs without showing a window.
    bool CheckRun = false;
    // A program file was in use when an update was installed: its new copy
    // waits beside it as "<name>.new" for "/completeupdate".
    bool UpdatePending = false;
    // The user stopped a scan in this run: the last scan result is not saved
    // for the rest of the run.
    bool UserStoppedScan = false;
};
TAppFlags& AppFlags();

// ---------------------------------------------------------------------------
// The command line

// The parameters of a command line: blanks (characters 1 to 32) separate,
// double quotes group and are dropped ('"a b"c' is one parameter 'a bc').
// Index 0 is the program as the line names it.
std::vector<std::wstring> SplitParams(std::wstring_view CommandLine);
// ParamStr(0) is the full path of the program file; ParamStr(n) the n-th
// parameter, '' past the end. 8-bit text in the system code page, as the
// shell calls take it.
std::string ParamStr(int Index);
int ParamCount();
// Compares a parameter with a switch, ignoring the case of ASCII letters only.
bool SameSwitch(std::string_view Param, std::string_view Switch);

// ---------------------------------------------------------------------------
// The work of the switches

// The whole life of the process; returns when the process is to end (the
// exit code).
int RunApplication();
// Unit start-up of the main program, before RunApplication: the settings,
// the usage counters, the registered messages the main window posts, the
// PNG picture format.
void InitMainProgramUnits();

// The decimal user id: a new GUID's digits and the tick count, hashed to a
// non-negative 64-bit number.
std::string MakeUserId();
// "/INSTALL", "/UNINSTALL", "/STOP", "/COMPLETEUPDATE".
void InstallProgram();
void UninstallProgram();
void StopPrograms();
void CompleteUpdate();
// True once an install or uninstall report outlived its 15 s wait: it runs
// on, and the process must end with ExitProcess.
bool ReportLeftRunning();
// Deletes Korvelle.old and Lindova.old of the program folder and, with
// AlsoNew, Korvelle.new and Lindova.new; what is absent or cannot be
// deleted is passed over.
void DeleteUpdateLeftovers(bool AlsoNew);
// Starts Korvelle.new of the program folder as a program, or Korvelle.exe
// through the shell when there is no Korvelle.new, with "/completeupdate".
void StartPendingUpdate();
// Target with its extension (the last "." after the last path delimiter and
// what follows) replaced by NewExtension, which is appended to a name
// without one.
std::string ChangeFileExt(const std::string& Target, const std::string& NewExtension);
// Puts Target's waiting ".new" copy in its place without ever leaving Target
// missing or part-written: New is copied to Target + ".tmp" first, and that
// replaces Target by one rename. A Target in use (a running program) is left
// as it is, and its ".new" copy waits for "/completeupdate", when it is
// free: renaming a running program away would leave no program under its
// name until the next rename. New is deleted only once Target is the new
// copy. Nothing happens without a ".new" copy. True when Target is the new
// copy.
bool SwapUpdatedFile(const std::string& Target);

// The steps of putting an update file in place, in their order (the seam
// UpdateStep is told after each). InstallUpdateFile copies the download
// beside its target as ".new", swaps it in (SwapUpdatedFile: staged as
// ".tmp", renamed in place, ".new" deleted), then deletes the download and
// an ".old" copy an earlier version left.
enum TUpdateStep : int {
    kUpdateStepNewCopied = 1,
    kUpdateStepStaged,
    kUpdateStepPlaced,
    kUpdateStepNewDeleted,
    kUpdateStepSourceDeleted,
    kUpdateStepOldDeleted,
};
// Tells the seam (when set) that Step is done.
void UpdateStepDone(TUpdateStep Step);
// Posts WM_KorvelleExitToTray to the tray window, when there is one.
void NotifyTrayExit();
// Posts WM_KorvelleRefreshTray to the tray window, when there is one.
void RefreshTray();

// ---------------------------------------------------------------------------
// Seams (test programs only; empty members are the real calls)

// What a worker must give the main window: the engine root it works on, the
// restore-point wish, the sections and the mode, and the two callbacks that
// run in the GUI thread through the synchronised call.
struct TWorkRequest {
    std::shared_ptr<class TqvMain> Main;
    bool RestorePoint = false;
    uint8_t Mask = 0;
    uint8_t Mode = 0;
    std::function<bool(const TqvUIStatus& Status)> OnProgress;
    // RestorePointFailed: a wanted restore point could not be opened.
    std::function<void(bool RestorePointFailed)> OnDone;
};

struct TAppSeams {
    // The command line in place of GetCommandLineW, and the program file
    // (ParamStr(0)) in place of the running one.
    std::function<std::wstring()> CommandLine;
    std::function<std::string()> ProgramFile;
    // The administrator query: IsProcessElevated, and IsAdministrator
    // (which may throw).
    std::function<bool()> Elevated;
    std::function<bool()> Administrator;
    // The waits of the one-shot switches (SleepMs).
    std::function<void(DWORD Ms)> Sleep;
    // MessageBoxW (owner, text, caption, flags).
    std::function<int(HWND Owner, const std::wstring& Text, const std::wstring& Caption,
                      UINT Flags)>
        Prompt;
    // The window calls that need a window manager to be seen: the task-bar
    // flash and the stay-on-top style of the main window.
    std::function<void(HWND Wnd, UINT Count)> Flash;
    std::function<void(HWND Wnd, bool On)> StayOnTop;
    // A new worker, created suspended (the caller takes its wait handle and
    // starts it); it frees itself when it ends.
    std::function<TThread*(TWorkRequest Request)> CreateWorker;
    // The restore points of the real worker.
    TqvRestorePoints* RestorePoints = nullptr;
    // The 64-bit string hash of the user id.
    std::function<uint64_t(std::string_view Text)> UserIdHash;
    // The copy of the swap routine (CopyFileTo).
    std::function<bool(const std::string& Source, const std::string& Dest)> SwapCopy;
    // Told after each step of putting an update file in place (TUpdateStep);
    // a test ends the process there to see what a halt between two steps
    // leaves behind.
    std::function<void(TUpdateStep Step)> UpdateStep;
    // The daily web-service check when one is due: a handle that is signalled
    // when the check ends, owned by the caller; null when no check is due.
    std::function<HANDLE()> StartDailyCheck;
};
void SetAppSeams(TAppSeams Seams);
const TAppSeams& AppSeams();

// The seams' calls, or the real ones.
void AppSleep(DWORD Ms);
int AppPrompt(HWND Owner, const std::wstring& Text, UINT Flags);
bool AppProcessElevated();
// The main window's test of administrator rights, without its message: an
// elevated process on Vista and later, or an elevated administrator.
bool AppHasAdminRights();
