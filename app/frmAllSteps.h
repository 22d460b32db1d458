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
// Lifetime: made once by the application body after the main window, owned
// by the application; its pages are children of the main window's panel but
// owned (and freed) here. FormSteps() answers the living one.

#include "controls/KvExtCtrls.h"
#include "controls/KvForms.h"
#include "controls/SkinControls.h"
#include "engine/qvClasses.h"

#include <array>
#include <cstdint>

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
    // The three animations' timers (off unless their step's page is shown).
    TTimer* TimerAnim(int Index) const;

private:
    void TrackEvent(const char* Event, bool Once);
    void SetNavigation(int Back, int Next, int Cancel, int Close);
    // Step 4: the navigation buttons by the selected registry errors and the
    // speed-up offer; the repair and review buttons.
    void ShowResults();

    std::array<TPanel*, 22> pages_{};
    TSkinButtonEx* buttonBack_ = nullptr;
    TSkinButtonEx* buttonNext_ = nullptr;
    TSkinButton* buttonCancel_ = nullptr;
    TSkinButton* buttonClose_ = nullptr;
    TSkinButton* buttonPauseScan_ = nullptr;
    TSkinButton* buttonStopScan_ = nullptr;
    TSkinButton* buttonFix_ = nullptr;
    TSkinButton* buttonResultsReview_ = nullptr;
    std::array<TTimer*, 3> timers_{};
};

// The living wizard pages form, or null.
TFormSteps* FormSteps();
