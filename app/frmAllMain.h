#pragma once
// The main window of Korvelle and the controller of the wizard: the current
// step and tab, the step list and the support list at its left, the engine
// root of the scan model, the counters of the last scan, and the worker that
// scans or repairs (its progress and finish callbacks run here, on the GUI
// thread, through the synchronised call).
//
// The window (client 770 x 550): the header bar (logo, the two tabs, help,
// minimise and close) and, below it, PanelClient: the step header at the
// right of the left column, the wizard pages (770 x 392, moved in by the
// wizard pages form) under the left column's step list or support list and
// the left banner, and the bottom bar with the bottom banner. A page's own
// content therefore lives in x 172..770, y 78..392 of the page.
//
// Lifetime: made once by the application body after the image store, owned
// by the application, freed when the message loop ends; MainForm() answers
// the living one. Its destruction waits for a running worker first.

#include "app/qvAppBody.h"
#include "app/qvNews.h"
#include "controls/AeroGlassU.h"
#include "controls/KvExtCtrls.h"
#include "controls/KvForms.h"
#include "controls/KvStdCtrls.h"
#include "controls/PNGControl.h"
#include "controls/SkinControls.h"
#include "engine/qvBackup.h"
#include "engine/qvClasses.h"
#include "platform/SyncObjsU.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// The wizard's steps

struct TQVStep {
    // 1 a step of the step list, 0 a sub-page shown under the entry of the
    // nearest listed step before it, 2 a page of the support list.
    int32_t Kind;
    // In the keys "Step_" + Name + "_Caption", "_Header" and "_Text".
    const char* Name;
    const wchar_t* Caption;
    const wchar_t* Icon;
    const wchar_t* Title;
    const wchar_t* Subtitle;
};

inline constexpr uint8_t kStepCount = 22;
// The step table, indexed by step number; the rows of the numbers that no
// page uses (3, 6, 7, 12, 16, 18) are Kind 0 with empty texts.
extern const std::array<TQVStep, kStepCount> TQVStepInfo;
// The usage code of each step, the category of every counter the window
// records on it ("" for the unused numbers).
extern const std::array<const char*, kStepCount> TQVStepUsage;

inline constexpr uint8_t kStepWelcome = 0;
inline constexpr uint8_t kStepScanSettings = 1;
inline constexpr uint8_t kStepScanProgress = 2;
inline constexpr uint8_t kStepScanResults = 4;
inline constexpr uint8_t kStepScanReview = 5;
inline constexpr uint8_t kStepRepair = 8;
inline constexpr uint8_t kStepRepairDone = 9;
inline constexpr uint8_t kStepSpeedUp = 10;
inline constexpr uint8_t kStepSpeedUpProgress = 11;
inline constexpr uint8_t kStepReviewTweaks = 13;
inline constexpr uint8_t kStepReviewFiles = 14;
inline constexpr uint8_t kStepFinish = 15;
inline constexpr uint8_t kStepRescueCenter = 17;
inline constexpr uint8_t kStepSettings = 19;
inline constexpr uint8_t kStepHelp = 20;
inline constexpr uint8_t kStepAbout = 21;

inline constexpr uint8_t kTabScan = 1;
inline constexpr uint8_t kTabSupport = 2;

// The step rules as functions of their inputs (the window's members call
// them with its state). NextStepAfter and PreviousStepBefore give Current
// itself where the step has no next or previous one.
uint8_t NextStepAfter(uint8_t Current, int32_t RegistryErrors);
uint8_t PreviousStepBefore(uint8_t Current);
bool IsListStepCurrentFor(uint8_t Current, uint8_t Step);
// The speed-up counter less the memory item (counted there when the memory
// figure is known and the counter is above 0).
int32_t DisplayedTweakCountOf(int32_t Tweaks, int64_t MemoryFigure);
// Whether the wizard offers a speed-up: something to tweak (shown tweaks and
// add-ons together), bytes to clean, or a memory figure (the memory item
// found, 0 % included).
bool SpeedUpOfferedFor(int32_t ShownTweaks, int32_t AddOns, int64_t BytesToClean,
                       int64_t MemoryFigure);

// Fits a button's width to its caption: Margin + the caption's width in the
// button's font (single line, measured on a 2000 x 2000 work bitmap), at
// least MinWidth and at most MaxWidth where these are not negative. Anchor 0
// keeps the left edge, 1 the right edge, 2 the centre; Offset moves the result.
void FitButtonWidth(TControl& Button, int Anchor, int Margin, int Offset, int MaxWidth,
                    int MinWidth);

// Gives a control's font the largest height from Height down to MinHeight
// (font heights in pixels, negative as in a font spec) at which its caption,
// on one line, inks no wider than Width; MinHeight when none does.
void FitCaptionFont(TControl& Control, int Width, int Height, int MinHeight);

// ---------------------------------------------------------------------------
// TMainForm

class TMainForm : public TForm {
public:
    explicit TMainForm(TComponent* owner = nullptr);
    ~TMainForm() override;

    // --- the step controller
    // The only way to change the step; refusals change nothing.
    void SetStep(uint8_t Step);
    void NextStep();
    void PreviousStep();
    void SwitchTab(uint8_t Tab);
    uint8_t CurrentStep() const { return step_; }
    // The step before the last change.
    uint8_t LastStep() const { return lastStep_; }
    uint8_t ActiveTab() const { return tab_; }
    uint8_t SavedStep() const { return savedStep_; }
    bool IsListStepCurrent(uint8_t Step) const { return IsListStepCurrentFor(step_, Step); }
    int32_t DisplayedTweakCount() const { return DisplayedTweakCountOf(Tweaks, MemoryFigure); }
    bool SpeedUpOffered() const;
    void TranslateStepCaptions();

    // --- the last scan's counters
    int32_t RegistryErrors = 0;
    int32_t Tweaks = 0; // speed-up items found, less the add-ons
    int64_t BytesToClean = 0;
    int32_t AddOnItems = 0;
    int64_t MemoryFigure = 0; // -1: unknown

    // --- written by the pages
    int32_t FixedErrors = 0;
    int32_t TweaksDone = 0;
    int64_t CleanedBytes = 0;
    // The speed-up page's choices of the sections of step 11.
    bool BoostChecked = true;
    bool CleanChecked = true;
    // Set by the settings page when it holds unsaved changes.
    bool SettingsChanged = false;
    // The settings page's save (the Yes of the save question).
    std::function<void()> OnSaveSettings;

    void SaveLastScanResult();
    bool LoadLastScanResult();
    void SaveScanResult();

    // The engine root of this scan (none before step 1).
    const std::shared_ptr<TqvMain>& Engine() const { return engine_; }
    // The category's last repair wrote no backup and so changed nothing: its
    // summaries count nothing as repaired.
    bool NotRepaired(uint8_t Category) const;
    // The selected count of the category as the summaries read it: 0 when it
    // was not repaired.
    int32_t RepairedCount(uint8_t Category) const;

    // The rescue centre's list, loaded on first use; dropped when a repair starts.
    TqvBackups* Backups();
    // Deletes the backup's file; the entry leaves the lists only when the file
    // is gone. True then.
    bool RemoveBackup(TqvBackup* Backup);

    // --- the worker (scan and repair flows)
    void StartWork(uint8_t Mode, uint8_t Mask);
    void StopWork();
    void PauseWork();
    void ResumeWork();
    bool IsWorkPaused() const { return worker_ != nullptr && paused_; }
    bool WorkRunning() const { return worker_ != nullptr; }
    // The progress page's Stop button: the next progress report asks.
    void RequestStop();
    bool HasAdminRights();
    bool PrepareSpeedUp();
    // The window's close request: false keeps it open.
    bool CloseQuery();
    void CloseWithoutAsking();
    bool Closing() const { return closing_; }

    // The last progress record as the pages show it.
    uint8_t ShownPhase() const { return shownPhase_; }
    uint8_t ShownCategory() const { return shownCategory_; }
    const std::wstring& StatusText() const { return statusText_; }
    int32_t ProgressPosition() const { return position_; }
    int32_t ProgressMaximum() const { return maximum_; }

    // --- frame
    void RefreshFrameControls();
    // The left and bottom banners: the first news item of each, else the
    // built-in picture (also for an item whose picture does not load). An
    // item counts as shown only when its picture loaded in a run that shows
    // the window.
    void LoadBanners();
    // The frame, once the window exists: the glass frame object; with
    // desktop composition on the glass frame (its top margin the header's
    // height - 5, the others the frame border), else the classic frame (a
    // borderless window with rounded top corners); then the support panel.
    void ApplyFrame();
    // Only a change does anything.
    void SetGlassMode(bool On);
    bool GlassMode() const { return glassMode_; }
    TAeroGlass* Glass() const { return glass_.get(); }
    // The width of the frame's border beside the client panel in glass mode.
    static int FrameBorder();
    // A composition change arrived while a worker ran: the restart follows
    // its finish.
    bool RestartPending() const { return restartPending_; }
    // The support phone panel of the header: hidden without a number.
    void RenderSupportPanel();
    TPaintBox* SupportPanel() const { return paintSupportCall_; }
    TPNGControl* BannerLeft() const { return bannerLeft_; }
    TPNGControl* BannerBottom() const { return bannerBottom_; }
    // The form's stay-on-top style (through the window seam).
    void SetFormStayOnTop(bool On);
    // The FAQ window, when visible, stays on top for a moment and back.
    void BringFaqForward();
    bool FirstShown() const { return firstShown_; }
    // The timer's work (the timer calls it every 200 ms).
    void TimerTick();

    // Controls the pages and the frame use.
    TPanel* PanelClient() const { return panelClient_; }
    // Where the pages go in PanelClient: below the header bar.
    int PageTop() const;
    // The step header, the two lists, the left banner and the bottom bar lie
    // over the pages (after the pages moved in).
    void RaiseOverPages();
    TSkinButton* ButtonFixAllErrors() const { return buttonFixAllErrors_; }
    TSkinButton* ScanTab() const { return scanTab_; }
    TSkinButton* SupportTab() const { return supportTab_; }
    // The list entry of a listed step (null for other steps).
    TSkinButton* StepButton(uint8_t Step) const;
    TSkinImage* StepImage(uint8_t Step) const;
    TSkinButton* SupportButton(uint8_t Step) const;

    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

protected:
    void WndProc(TMessage& msg) override;
    void HandleCreated() override;

private:
    struct TListEntry {
        TSkinImage* image = nullptr;
        TSkinButton* button = nullptr;
    };

    // While a callback or a stop pumps (busy), only the worker's finish
    // moves the wizard; a close asked for meanwhile is finished when the
    // last such scope ends.
    class TBusyScope {
    public:
        TBusyScope(TMainForm& Form, int& Depth);
        ~TBusyScope();
        TBusyScope(const TBusyScope&) = delete;
        TBusyScope& operator=(const TBusyScope&) = delete;

    private:
        TMainForm& form_;
        int& depth_;
    };
    bool Busy() const { return busy_ > 0 || inProgress_ > 0; }
    void ChangeStep(uint8_t Step, bool AskSave);
    bool AskSaveChanges();
    void ShowStepHeader();
    void RefreshStepList();
    void RefreshSupportList();
    void ShowTab(uint8_t Tab);
    void Track(const char* Event, bool Once);
    // The worker's callbacks, each knowing which worker it came from.
    bool WorkProgress(uint64_t Generation, const TqvUIStatus& Status);
    void WorkFinished(uint64_t Generation, bool RestorePointFailed);
    // Pumps window messages for at most Ms (or while Busy says so); false
    // when the worker was terminated meanwhile. The closing flag ends it early.
    bool PumpWhileWorking(DWORD Ms);
    bool WorkerTerminated() const;
    // Waits, pumping, for every worker still running (at most TimeoutMs).
    void WaitForWorkers(DWORD TimeoutMs);
    // Closing and the stop event: the closing flag, the wait for the worker
    // (deferred while a callback is on the stack), then the end.
    void BeginClosing(bool Terminate);
    void FinishClosing();
    void FlashAndRaise();
    void ShowStayOnTopRound();
    void CloseBrowsers(bool Ie, bool Firefox);
    void LoadBanner(TPNGControl* Banner, TNewsItem* Item, const wchar_t* BuiltIn);
    void ApplyRegion();
    // The support box's left edge: at the logo's right edge.
    int SupportPanelLeft() const;
    // Starts the program again with "/WAIT" and ends this one.
    void RestartForNewFrame();
    // A press on the form or the top image above the logo moves the window.
    void DragFrom(int Y);

    // State
    uint8_t step_ = kStepWelcome;
    uint8_t lastStep_ = kStepWelcome;
    uint8_t savedStep_ = kStepRescueCenter;
    uint8_t tab_ = kTabScan;
    std::shared_ptr<TqvMain> engine_;
    std::unique_ptr<TqvBackups> backups_;
    bool notRepaired_[4] = {};
    bool closeWithoutAsking_ = false;
    bool closing_ = false;
    bool closeApproved_ = false;
    bool terminatePending_ = false;
    bool finishPending_ = false;
    bool firstShown_ = false;
    bool stoppingByEvent_ = false;

    // Worker
    TThread* worker_ = nullptr;
    HANDLE workerHandle_ = nullptr;
    // Handles of workers forgotten while they still ran.
    std::vector<HANDLE> abandoned_;
    uint64_t generation_ = 0;
    bool paused_ = false;
    bool stopRequested_ = false;
    int busy_ = 0;
    int inProgress_ = 0;
    bool inWorkFinished_ = false;
    uint8_t shownPhase_ = 0;
    uint8_t shownCategory_ = 0;
    std::wstring statusText_;
    int32_t position_ = 0;
    int32_t maximum_ = 0;
    DWORD lastRefresh_ = 0;
    DWORD phaseStart_ = 0;
    int32_t budget_ = 0;

    // Events of the other programs
    std::unique_ptr<TGlobalEvent> showEvent_;
    std::unique_ptr<TGlobalEvent> stopEvent_;
    bool waitStartDone_ = false;

    // Controls
    TPanel* panelClient_ = nullptr;
    TPanel* panelHeader_ = nullptr;
    TPanel* panelSteps_ = nullptr;
    TPanel* panelSupport_ = nullptr;
    TPanel* panelAdvert_ = nullptr;
    TPanel* panelBar_ = nullptr;
    TPanel* panelBarAdvert_ = nullptr;
    TPanel* panelClientHeader_ = nullptr;
    TSkinImage* imageStepIcon_ = nullptr;
    TLabel* labelStepHeader_ = nullptr;
    TLabel* labelStepText_ = nullptr;
    TSkinButton* scanTab_ = nullptr;
    TSkinButton* supportTab_ = nullptr;
    TSkinButton* buttonFixAllErrors_ = nullptr;
    TTimer* timer_ = nullptr;
    TPNGControl* bannerLeft_ = nullptr;
    TPaintBox* paintSupportCall_ = nullptr;
    TSkinImage* imageLogo_ = nullptr;
    TSkinImage* imageTop_ = nullptr;
    TPanel* panelSys_ = nullptr;
    TSkinButton* buttonHelp_ = nullptr;
    bool logoTransparent_ = false;
    bool tabsTransparent_ = false;
    bool restartPending_ = false;
    std::unique_ptr<TAeroGlass> glass_;
    std::unique_ptr<TBitmap> supportBitmap_;
    bool glassMode_ = false;
    bool frameApplied_ = false;
    bool modeSet_ = false;
    TPNGControl* bannerBottom_ = nullptr;
    std::array<TListEntry, kStepCount> list_{};
};

// The living main window, or null.
TMainForm* MainForm();
