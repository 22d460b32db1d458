#pragma once
// The wizard pages under test: the image store, a hidden main window and
// the wizard pages form, made once per process over scratch folders and a
// scratch program key, with the usage counters in a scratch key of their own
// and the questions answered by the test. Helpers fill the engine root with
// found items, read the counters, click trees with mouse messages and write
// screenshots of the main window's client area for review.

#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace stepstest {

struct TWizard {
    TMainForm* main = nullptr;
    TFormSteps* steps = nullptr;
};
// Made on first use; each suite releases it when it ends, so that no other
// test meets its image store or windows.
TWizard& Wizard();
void ReleaseWizard();
// A component of the wizard pages (fails the test when missing).
template <typename T> T* Get(const wchar_t* Name)
{
    T* found = Wizard().steps->Find<T>(Name);
    EXPECT_NE(found, nullptr) << "no " << std::string(Name, Name + wcslen(Name));
    return found;
}

// The scratch folders and key of the run (CommonDataDir, BackupDir, ...).
const std::string& ScratchDataDir();
const std::string& ScratchKey();

// Dispatches this thread's messages for about Ms milliseconds (at least once).
void Pump(DWORD Ms = 0);

// Questions: every prompt is recorded and answered from the queue (IDNO when
// it is empty).
struct TPromptRecord {
    std::wstring text;
    UINT flags = 0;
};
void AnswerNext(int Answer);
std::vector<TPromptRecord>& Prompts();
void ResetPrompts();

// Usage counting into the scratch store: switched on for the run.
std::map<std::string, int> TrackCounts();
int TrackCount(const std::string& Name);

// The shell calls (OpenUrl) recorded instead of made.
std::vector<std::string>& ShellCalls();

// A fresh engine root (the catalogue loaded), as step 1 makes it, shown on
// step 1; its categories are then the test's to fill.
TqvMain& FreshEngine();
// A found and selected registry deletion in the group's scanner.
TqvRegItem& AddRegFinding(TqvGroup& Group, const std::string& Key, const std::string& Name,
                          bool Locked = false);
// The group of the category with that id (fails the test when missing).
TqvGroup* GroupById(uint8_t Category, const std::string& Id);
// Empties every scanner of every category (found counts 0).
void ClearFindings(TqvMain& Engine);

// The main window's counters of a scan, as the scan's end leaves them.
struct TCounters {
    int32_t errors = 0;
    int32_t tweaks = 0;
    int64_t bytes = 0;
    int32_t addOns = 0;
    int64_t memory = -1;
};
void SetCounters(const TCounters& Counters);

// Moves the wizard to a step through the main window (refusals happen as they
// would; the administrator test passes).
void GoToStep(uint8_t Step);

// The visible page panels of the main window's client panel.
std::vector<TControl*> VisiblePages();

// The translation file: a fixture text as lng.ini (opened at once), or the
// program's own table again. SetLanguage changes the current language.
void UseTranslationFile(const std::string& TextUtf8);
void UseBuiltInTranslation();
void SetLanguage(const std::wstring& Code);

// A left press and release at a client point of a tree (the release queued
// first, since the tree's own press handling waits for it).
void ClickTree(TTreeView& Tree, int X, int Y, bool Double = false);
// The tree's nodes in display order.
std::vector<TTreeNode*> AllNodes(TTreeView& Tree);
TTreeNode* NodeByText(TTreeView& Tree, const std::wstring& Prefix);

// The main window's client area as the screen shows it, written as
// EvidenceDir() + Name + ".png"; the path.
std::wstring Shot(const std::wstring& Name);

// A worker for the seam that does nothing until it is asked to stop: the
// test drives the progress callback itself.
class TIdleWorker;
struct TIdleWork {
    TWorkRequest request;
    bool started = false;
};
// Installs a worker factory that keeps the last request in Work() and
// returns an idle worker (or null when NoWorker).
void UseIdleWorkers(bool NoWorker = false);
TIdleWork& Work();
// Stops the idle worker, if one runs.
void StopIdleWorker();

} // namespace stepstest
