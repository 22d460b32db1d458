#pragma once
// The pages of the wizard. The form itself is never shown: at creation its
// page panels (770 x 392, Tag 1) move into the main window's PanelClient,
// and ShowStep then prepares the page of one step and makes it the only
// visible one. The navigation buttons (Back, Next, Cancel, Close) live on
// the welcome page and move into whichever page is shown. The step
// controller of the main window decides the step; the buttons here record a
// usage event and forward to it.
//
// A page's content lives in x 172..770, y 78..392: the main window's step
// list and step header lie over the rest.
//
// Two trees live here: the review tree of steps 5, 13 and 14, which writes
// the user's choices straight into the scan model, and the rescue centre's
// tree of the registry backups (step 17).
//
// Tags tell page controls apart: a text the program fills carries Tag 999
// (the translation leaves it alone); on PanelSettings every control with a
// Tag above 0 is a group box of an earlier showing and is freed when the
// page is shown again.
//
// Lifetime: made once by the application body after the main window, owned
// by the application; its pages are children of the main window's panel but
// owned (and freed) here. FormSteps() answers the living one. The review
// tree's node objects belong to the form's list, which is emptied only after
// the tree's nodes are gone.

#include "controls/KvComCtrls.h"
#include "controls/KvExtCtrls.h"
#include "controls/KvForms.h"
#include "controls/KvPng.h"
#include "controls/KvStdCtrls.h"
#include "controls/SkinControls.h"
#include "engine/qvBackup.h"
#include "engine/qvClasses.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Section totals over one category of the scan model. A group counts when
// it found at least one item and is checked; a group whose scanner keeps no
// items gives its found count (or size); otherwise its found and selected
// items count. A locked item (a detail of a key deletion) counts only when
// the nearest unlocked item before it in its list counts, since it is
// repaired only with that one.

int32_t SectionSelectedCount(const TqvCategory* Category);
int64_t SectionSelectedSize(const TqvCategory* Category);
// The memory figure of the counted memory groups. The model keeps no figure
// of its own: the scan's progress record gave MemoryFigure.
int64_t SectionMemoryFigure(const TqvCategory* Category, int64_t MemoryFigure);
// Every group with found items: checked := Flag, each found item's
// selected := Flag (locked items too).
void SelectSectionItems(TqvCategory* Category, bool Flag);

// ---------------------------------------------------------------------------
// The review tree's node objects

// One per group node and item node. Its checked state is the model's: the
// item's selected flag, else the group's checked flag.
class TReviewNodeData {
public:
    TReviewNodeData(TqvGroup* Group, TqvItem* Item) : Group(Group), Item(Item) {}

    bool Editable = true;
    // False while the children of a group node differ in their state (the
    // group is drawn mixed).
    bool Uniform = true;
    // A detail of a key deletion: drawn grey without a box, never toggled.
    bool Locked = false;
    TqvGroup* Group;
    TqvItem* Item;

    bool Checked() const;
    void SetChecked(bool On);
};

// ---------------------------------------------------------------------------
// The rescue centre's helpers

// The backups of a list, newest first by their SortTime; equal times keep
// the list's order. The list keeps owning them.
std::vector<TqvBackup*> SortBackupsNewestFirst(const std::vector<std::unique_ptr<TqvBackup>>& List);

inline constexpr size_t kMaxKeptBackups = 15;

// ---------------------------------------------------------------------------
// TFormSteps

class TFormSteps : public TForm {
public:
    explicit TFormSteps(TComponent* owner = nullptr);
    ~TFormSteps() override;

    // Prepares and shows the page of a step (the main window's SetStep calls it).
    void ShowStep(uint8_t Step);
    // Moves the navigation buttons into Panel and makes it the only visible page.
    void ShowPanel(TPanel* Panel);
    // The progress display: counts, bars and status texts from the main
    // window's counters (the main window calls it on every refresh).
    void UpdateProgress();
    // Fits the buttons whose captions a translation changes (again after a
    // language change).
    void FitStepButtons();

    // The settings page: the four boxes into the settings (through
    // ChangeSettings), the postponed start-up put back when it is now off,
    // the settings and the language written, the tray started when it
    // should run and no tray window exists, the page's changes marked
    // saved, the tray told to refresh. Also the Yes of the save question.
    void SaveSettings();
    // The language chosen in LanguageCombo: the same language writes
    // nothing; another one is saved (the boxes with it) and every window of
    // the wizard is translated again.
    void LanguageComboChange();

    // The review tree for step 5, 13 or 14.
    void FillReviewTree(uint8_t Kind);
    // The rescue centre's tree over the two backup lists.
    void FillRestorePoints(TqvBackups& Backups);
    // Deletes the oldest backups of the list (through the main window's
    // RemoveBackup) until it holds kMaxKeptBackups; a backup whose file
    // cannot be deleted is passed over. The tree is not touched.
    void TrimBackups(std::vector<std::unique_ptr<TqvBackup>>& List);

    // The page of a step; null for the unused numbers.
    TPanel* Page(uint8_t Step) const;
    TSkinButtonEx* ButtonBack() const { return buttonBack_; }
    TSkinButtonEx* ButtonNext() const { return buttonNext_; }
    TSkinButton* ButtonCancel() const { return buttonCancel_; }
    TSkinButton* ButtonClose() const { return buttonClose_; }
    TSkinButton* ButtonPauseScan() const { return buttonPauseScan_; }
    TSkinButton* ButtonStopScan() const { return buttonStopScan_; }
    TSkinButton* ButtonFix() const { return buttonFix_; }
    TSkinButton* ButtonResultsReview() const { return buttonResultsReview_; }
    TTreeView* TreeViewReview() const { return treeReview_; }
    TTreeView* TreeViewRestorePoints() const { return treeRestore_; }
    // The three animations' timers (off unless their step's page is shown)
    // and frame counters.
    TTimer* TimerAnim(int Index) const;
    int32_t AnimFrame(int Index) const;
    // The welcome lines made from the design-time list.
    const std::vector<TLabel*>& WelcomeLabels() const { return welcomeLabels_; }
    // Whether the review tree draws its boxes with the visual style.
    bool ThemedBoxes() const;

    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

private:
    struct TAnimation {
        std::unique_ptr<TPNGPicture> background;
        std::vector<std::unique_ptr<TBitmap>> strips;
        int32_t frame = 0;
    };

    void TrackEvent(const std::string& Event, bool Once);
    void SetNavigation(int Back, int Next, int Cancel, int Close);
    void BindHandlers();
    void LoadAnimations();
    void PaintAnimation(int Index, TCanvas& Canvas);
    void BuildWelcomeLines();
    void FillLanguageCombo();
    void PlaceAboutLinks();

    void ShowScanSettings();
    // Step 4: the navigation buttons by the selected registry errors and the
    // speed-up offer; the repair and review buttons.
    void ShowResults();
    void ShowRepairDone();
    void ShowSpeedUp();
    void ShowFinish();
    // Step 19: the boxes take the stored settings and the language list is
    // filled again; none of it counts as a change.
    void ShowSettingsPage();
    void CheckSettingsTrayClick(TCheckBox& Sender);
    void LabelSettingsTrayClick(TLabel& Sender);
    void SpeedUpBoxClick(TCheckBox& Sender);
    void UpdateSpeedUpGo();
    void ButtonFinishClick();

    // Review tree
    void AddReviewGroup(TTreeNode* Heading, TqvGroup& Group);
    void ReviewMouseDown(int X, int Y);
    void DrawReviewNode(TTreeNode& Node, TCanvas& Canvas);
    void DrawReviewBox(HDC Dc, const RECT& Box, bool Checked, bool Uniform);

    // Rescue centre
    void AddBackups(TTreeNode* Heading, const std::vector<std::unique_ptr<TqvBackup>>& List,
                    const std::wstring& Suffix);
    void UpdateRestoreButtons();
    TqvBackup* SelectedBackup() const;
    void RestoreClick();
    void RemoveClick();
    void DrawRestoreNode(TTreeNode& Node, TCanvas& Canvas, bool& DefaultDraw);

    std::array<TPanel*, 22> pages_{};
    TSkinButtonEx* buttonBack_ = nullptr;
    TSkinButtonEx* buttonNext_ = nullptr;
    TSkinButton* buttonCancel_ = nullptr;
    TSkinButton* buttonClose_ = nullptr;
    TSkinButton* buttonPauseScan_ = nullptr;
    TSkinButton* buttonStopScan_ = nullptr;
    TSkinButton* buttonFix_ = nullptr;
    TSkinButton* buttonResultsReview_ = nullptr;
    TTreeView* treeReview_ = nullptr;
    TTreeView* treeRestore_ = nullptr;
    std::array<TTimer*, 3> timers_{};
    std::array<TAnimation, 3> animations_{};
    std::vector<TLabel*> welcomeLabels_;
    std::vector<std::unique_ptr<TReviewNodeData>> reviewNodes_;
    // The review tree's themed check box (opened on first use).
    HANDLE boxTheme_ = nullptr;
    bool boxThemeOpened_ = false;
};

// The living wizard pages form, or null.
TFormSteps* FormSteps();
