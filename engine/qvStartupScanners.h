#pragma once
// The two scanners of programs started at logon: the invalid start-up scanner
// (fix category) reports Run values and Startup-folder shortcuts whose
// program is missing; the postponed start-up scanner (boost category) finds
// the programs the catalogue's patterns name and, on repair, moves them into
// the postponed start-up list that the tray runs later.
//
// Both read the Run keys in four passes: HKCU and HKLM in the 32-bit view,
// then, on 64-bit Windows, HKCU and HKLM in the 64-bit view. HKCU\Software is
// one key in both views there, so a value met in an earlier pass (same native
// key name and value name) is passed over.

#include "engine/qvClasses.h"
#include "engine/qvStartup.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Findings: TqvRegItem values of the Run keys (deleted by the default
// repair, and recorded in the backup) and TqvFileItem shortcuts (deleted, not
// recorded). Only targets that are really missing on a fixed drive count:
// programs on other drives, UNC paths and bare names found nowhere are never
// findings.
class TqvItemsInvalidStartup : public TqvItems {
public:
    using TqvItems::TqvItems;

    void Scan() override;
};

// Items: the catalogue's TqvStartupItem patterns. Scan is on only with the
// setting DELAY_STARTUP.
class TqvItemsDelayStartup : public TqvItems {
public:
    using TqvItems::TqvItems;

    using TEntries = std::vector<std::unique_ptr<TqvFoundStartup>>;
    // The start-up entries of this computer not (yet) matched by a pattern,
    // keyed and sorted by the lower-case short path of their program.
    std::vector<std::pair<std::string, std::unique_ptr<TqvFoundStartup>>> Current;
    // The entries each pattern matched (owned here).
    std::map<const TqvItem*, TEntries> Matched;

    // "startup" children: a pattern with empty text is dropped.
    void LoadFromXML(TXMLTag* Tag) override;
    void Scan() override;
    // Replaces the default repair. For each pattern a forced report (a false
    // answer ends the repair at once and nothing is saved); a found and
    // selected pattern's shortcuts are moved into the delayed folders and its
    // Run values added to their scope's list. After all patterns, when a
    // forced report answers true, each list used is saved: the file first,
    // then the values go. No backup is made.
    void Clean() override;

    // The entries matched by Item; empty when none.
    const TEntries& MatchesOf(const TqvItem* Item) const;

private:
    void CollectCurrentEntries();
};

// Tests only: the reader of a shortcut's target that the invalid start-up
// scanner uses (nullptr: GetShortcutTargetW); returns the previous one. Wine
// saves a link's path in the code page, so only a stand-in can hand the
// scanner a wide target as a Windows link holds it.
using TShortcutTargetReader = std::wstring (*)(const std::wstring& FileName, bool WithArguments);
TShortcutTargetReader SetShortcutTargetReaderForTests(TShortcutTargetReader Reader) noexcept;

std::unique_ptr<TqvItems> CreateItemsInvalidStartup(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsDelayStartup(TqvMain* Owner);
