#pragma once
// The scan model: the in-memory form of the built-in catalogue and the engine
// that walks it, with the registry, file and start-up items and the scanner of
// the catalogue's item lists.
//
// Ownership: one engine root (TqvMain) owns up to three categories (fix,
// boost, clean); a category owns its groups in catalogue order; a group owns
// one scanner (a TqvItems subclass); a scanner owns its items. Owner pointers
// point back up and own nothing. The root is built and loaded in the GUI
// thread and walked by one worker thread at a time; the GUI thread reads it
// only inside the worker's synchronised callbacks and after the worker ended.
// Nothing here is locked.
//
// A root is scanned once: scanners append their findings and checks skip
// items already found, so every new scan needs a new root.
//
// Every level of a walk swallows what its callees raise: a failing scanner
// ends its own group only, and nothing reaches a thread entry.

#include "engine/qvScanTools.h"
#include "platform/ClassesU.h"
#include "platform/LogU.h"
#include "platform/XmlU.h"
#include "platform/qvCommon.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TqvMain;
class TqvItems;
class TqvAddOnItems;

// ---------------------------------------------------------------------------
// Numbers of the model

inline constexpr uint8_t kCategoryFix = 1;
inline constexpr uint8_t kCategoryBoost = 2;
inline constexpr uint8_t kCategoryClean = 3;

inline constexpr uint8_t kPhaseNone = 0;
inline constexpr uint8_t kPhaseScan = 1;
inline constexpr uint8_t kPhaseBackup = 2;
inline constexpr uint8_t kPhaseClean = 3;

// Backup types.
inline constexpr uint8_t kBackupFix = 1;
inline constexpr uint8_t kBackupBoost = 2;

// Registry items: scan and fix kinds.
inline constexpr uint8_t kRegScanInvalid = 0;
inline constexpr uint8_t kRegScanValue = 1;  // the value must exist and equal the wanted one
inline constexpr uint8_t kRegScanExists = 2; // only an existing value that differs is a finding
inline constexpr uint8_t kRegScanBackup = 3; // a backup entry
inline constexpr uint8_t kRegFixNone = 0;
inline constexpr uint8_t kRegFixValue = 1; // write the wanted value
inline constexpr uint8_t kRegFixDel = 2;   // delete the value, or the key with its sub-keys
inline constexpr uint8_t kRegFixKey = 3;   // create the key (a backup's record of a key)

// File items.
inline constexpr uint8_t kFileScanExists = 1;
inline constexpr uint8_t kFileFixClean = 1; // delete the files, keep the pattern's folder
inline constexpr uint8_t kFileFixDel = 2;   // delete the files and the folder when empty

// The engine's log lines go to category 1.
inline constexpr uint8_t kEngineLogCategory = 1;
inline constexpr uint8_t kEngineLogLevel = 1;
inline void qvLog(std::string_view Text) noexcept
{
    Log(Text, kEngineLogCategory, kEngineLogLevel);
}

// ---------------------------------------------------------------------------
// Seams to the units that come with the registry backups and the add-on check

// The one open registry backup of the process. BeginBackup opens one when
// none is open; the Backup calls record the current state of what a repair
// will change and answer whether it was recorded; EndBackup writes the file
// when anything was recorded, closes the backup and answers whether the file
// was written or nothing needed writing. The writer adds nothing to the clean
// report: the items do that after a successful repair.
class TqvBackupWriter {
public:
    virtual ~TqvBackupWriter() = default;
    virtual void BeginBackup(uint8_t Type, const std::wstring& Name) = 0;
    virtual bool IsBackupOpen() = 0;
    // The key's default value when Name is empty.
    virtual bool BackupRegValue(HKEY Root, const std::string& Key, const std::string& Name,
                                bool Is64) = 0;
    // The key with all its values and sub-keys.
    virtual bool BackupRegKey(HKEY Root, const std::string& Key, bool Is64) = 0;
    virtual bool EndBackup() = 0;
};
// The program's backup writer, which every new root takes; null while the
// program has none, and then a repair that wants a backup changes nothing.
TqvBackupWriter* DefaultBackupWriter();

// The add-on scanner registers itself with its root; ScanAll waits for its web
// check after the three categories.
class TqvAddOnCheck {
public:
    virtual ~TqvAddOnCheck() = default;
    virtual void WaitForWebCheck() = 0;
};

// ---------------------------------------------------------------------------
// Items

// What the last repair did with an item that it was to repair.
enum class TqvOutcome : uint8_t {
    None,    // not repaired yet (or not to be: locked, unselected)
    Done,    // repaired; DoneSize bytes freed
    NotDone, // left as it was, or partly: NotDoneReason says why
};

// One item that a repair left undone, for the report.
struct TqvNotDone {
    std::string What;   // the item as its catalogue line, or its caption
    std::string Reason;
};

// Base of every item. Found, selected and size persist from the scan to the
// repairs; a repair does not clear found.
class TqvItem : public TObject {
public:
    explicit TqvItem(TqvItems* Owner) : Owner(Owner) {}

    TqvItems* Owner;       // the scanner holding the item (none for clean-report and restore items)
    bool Found = false;    // the last check found a problem or something to clean
    bool Selected = false; // to be repaired; the review tree changes it
    bool Locked = false;   // neither backed up nor repaired (detail items of a key deletion)
    bool Is64 = false;     // the 64-bit registry view or the native 64-bit file system
    int64_t Size = 0;      // bytes a clean would free
    std::wstring Caption;
    TObject* Data = nullptr; // referred to, not owned
    bool Listed = false;     // a pending add-on item that the built-in add-on list names

    // Slots in order.
    virtual void LoadFromXML(TXMLTag* Tag) = 0;
    // The item as catalogue lines; '' by default.
    virtual std::string GetXML();
    // Tests the item and sets found, selected and size.
    virtual void Check() = 0;
    // Records what the repair will change in the open backup; False when the
    // writer refused it. Nothing to record by default.
    virtual bool Backup();
    // Repairs or removes; True when it succeeded. May record its outcome
    // itself (MarkDone, MarkNotDone) with the bytes and the reason.
    virtual bool Fix() = 0;

    TqvOutcome Outcome = TqvOutcome::None;
    std::string NotDoneReason;
    int64_t DoneSize = 0;
    void MarkDone(int64_t Freed);
    void MarkNotDone(std::string Reason, int64_t Freed = 0);
    // Fix with its outcome kept: the outcome Fix recorded, else Done (with
    // the item's size) or NotDone by its answer; an exception is NotDone.
    // Locked items are never repaired and keep no outcome.
    void Repair();

    // The engine root over the owning scanner; null for an item without owner.
    TqvMain* Engine() const;
};

// Base of every scanner.
class TqvItems : public TObject {
public:
    explicit TqvItems(TqvMain* Owner);

    int32_t Position = 0;
    // 2 on 64-bit Windows, where every registry scanner makes one pass per view.
    int32_t Maximum;
    int32_t SubPosition = 0;
    int32_t SubMaximum = 1;
    std::vector<std::unique_ptr<TqvItem>> Items;
    TqvMain* Owner;

    // Slots in order.
    virtual void LoadFromXML(TXMLTag* Tag);
    virtual void Scan() = 0;
    // The default repair: the maximum becomes the item count; before every
    // item an unforced report (a false answer stops); a found and selected
    // item is fixed; then StepProgress. One item failing does not stop the
    // rest.
    virtual void Clean();
    virtual int FoundCount() const;
    virtual int64_t FoundSize() const;
    virtual int SelectedCount() const;
    virtual int64_t SelectedSize() const;
    // After a repair: the items it did, the bytes they freed, and every item
    // it was to repair but did not (found, selected, not locked), in order.
    virtual int DoneCount() const;
    virtual int64_t DoneSize() const;
    virtual void CollectNotDone(std::vector<TqvNotDone>& NotDone) const;

    // Before every item an unforced report (a false answer stops); a found
    // and selected item records itself. What an item raises is passed on,
    // since a backup that failed must stop the repair.
    void Backup();
    // 1.0 with position and sub-position set back to 0 when the maximum is 0
    // or reached; else position / maximum plus sub-position / sub-maximum /
    // maximum.
    double ProgressFraction();
    // Sub-position and sub-maximum 0; the position grows unless at the maximum;
    // then an unforced report.
    void StepProgress();
    // The sub-position grows unless at the sub-maximum; no report.
    void StepSubProgress();

    TqvItem* Add(std::unique_ptr<TqvItem> Item);
};

// ---------------------------------------------------------------------------
// Groups and categories

// Captions per language: four lists of lines code "=" text, each made on
// first use.
class TqvClassWithCaption : public TObject {
public:
    explicit TqvClassWithCaption(TqvMain* Owner) : Owner(Owner) {}

    TqvMain* Owner;

    // Slot 0: every child "caption", "hint", "settingscaption" or
    // "settingshint" stores its text (UTF-8) under its "lng" (lower case,
    // "en" when missing); a second text for a language replaces the first.
    virtual void LoadFromXML(TXMLTag* Tag);

    // The text for the interface language (GetLocalizedValue).
    std::wstring GetCaption() const;
    std::wstring GetHint() const;
    std::wstring GetSettingsCaption() const;
    std::wstring GetSettingsHint() const;

    const std::vector<std::wstring>* Captions() const { return captions_.get(); }
    const std::vector<std::wstring>* SettingsCaptions() const { return settingsCaptions_.get(); }
    const std::vector<std::wstring>* Hints() const { return hints_.get(); }
    const std::vector<std::wstring>* SettingsHints() const { return settingsHints_.get(); }

private:
    std::unique_ptr<std::vector<std::wstring>> captions_;
    std::unique_ptr<std::vector<std::wstring>> settingsCaptions_;
    std::unique_ptr<std::vector<std::wstring>> hints_;
    std::unique_ptr<std::vector<std::wstring>> settingsHints_;
};

class TqvGroup : public TqvClassWithCaption {
public:
    using TqvClassWithCaption::TqvClassWithCaption;

    std::string Id;
    int32_t Order = 0;
    bool HasSettings = false; // a check box on the scan settings page
    bool Enabled = true;      // scanned; the scan settings page clears it
    bool ShowDetails = false; // the results page lists its items
    bool Checked = true;      // repaired; the review tree clears it
    std::unique_ptr<TqvItems> Scanner;
    int32_t ProgSize = 10; // the group's share of the progress bar
    std::string ItemsType; // the "type" of the "items" element that made the scanner

    void LoadFromXML(TXMLTag* Tag) override;
    // The scanner's Scan when enabled.
    void Scan();
    // The scanner's Backup; False when it raised.
    bool Backup();
    // The scanner's Clean.
    void Clean();
    int FoundCount() const;       // 0 without scanner
    int64_t FoundSize() const;    // 0 without scanner
    int SelectedCount() const;    // 0 without scanner
    int64_t SelectedSize() const; // 0 without scanner or unless checked
    int DoneCount() const;        // 0 without scanner
    int64_t DoneSize() const;     // 0 without scanner
};

class TqvCategory : public TqvClassWithCaption {
public:
    using TqvClassWithCaption::TqvClassWithCaption;

    int32_t FinishedUnits = 0; // progsize of the groups scanned so far
    int32_t CurrentGroup = -1; // -1 when no group is being scanned
    std::vector<std::unique_ptr<TqvGroup>> Groups;

    // The captions, then every "group" that has a scanner and that the root
    // allows, inserted before the first group of greater order.
    void LoadFromXML(TXMLTag* Tag) override;
    void Scan();
    // The repair. With a backup open, the checked groups with findings are
    // recorded first, and the repair runs only when every group's backup
    // succeeded and the file was written; BackupRequired makes a missing
    // backup such a failure too. A failed backup marks the category on the
    // root and repairs nothing of it.
    void Fix(bool BackupRequired = false);
    int FoundCount() const;
    int64_t FoundSize() const;
    int SelectedCount() const;
    int64_t SelectedSize() const;
    // What the last repair did: the items done and the bytes they freed.
    int DoneCount() const;
    int64_t DoneSize() const;
    // Every item of the checked groups that the last repair was to do and did
    // not, with the group it belongs to.
    void CollectNotDone(std::vector<std::pair<const TqvGroup*, TqvNotDone>>& NotDone) const;
    // Finished units plus the current group's fraction of its progsize,
    // rounded half to even.
    int32_t ProgressPosition() const;
};

// ---------------------------------------------------------------------------
// The engine root

class TqvMain : public TObject {
public:
    using TProgressEvent = std::function<bool(const TqvUIStatus& Status)>;
    using TTickSource = DWORD (*)();

    TqvMain();
    ~TqvMain() override;
    TqvMain(const TqvMain&) = delete;
    TqvMain& operator=(const TqvMain&) = delete;

    uint32_t LastReportTime = 0; // tick count of the last report
    bool Aborted = false;        // Progress answers its negation when no OnProgress is set
    std::string Version;         // the catalogue's "ver"
    std::unique_ptr<TqvCategory> FixCategory;
    std::unique_ptr<TqvCategory> BoostCategory;
    std::unique_ptr<TqvCategory> CleanCategory;
    TqvAddOnCheck* AddOnScanner = nullptr; // registers itself; not owned
    TqvUIStatus Status;
    TProgressEvent OnProgress;
    // False once the work is to stop (the worker's latched answer), read by
    // every report; none: go on.
    std::function<bool()> OnStopCheck;
    bool MakeBackup = true;  // fix and boost repairs write a registry backup
    bool ResetStatus = true; // the status is cleared at the end of a scan
    // The throttle's clock; GetTickCount unless a test puts its own in.
    TTickSource TickSource;
    // Not owned; DefaultBackupWriter() unless a test puts its own in.
    TqvBackupWriter* BackupWriter;

    // Slots in order; all three allow everything.
    virtual bool IsGroupAllowed(const std::string& GroupId);
    virtual bool CanCleanCategory(uint8_t Category);
    virtual bool CanCleanGroup(TqvGroup* Group);

    // Loads the built-in catalogue (resource "DATA" of the running program).
    void LoadData();
    // The same from a text: a leading UTF-8 byte-order mark is dropped and the
    // text ends at its first NUL. Without a "Quorvex" element nothing is loaded.
    void LoadDataFromText(std::string_view Text);
    void LoadFromXML(TXMLTag* Root);

    // Scans the three categories; a second call does nothing.
    void ScanAll();
    // Repairs one category (1 fix, 2 boost, 3 clean) or, with 0, all three.
    void Clean(uint8_t Category);
    // The throttled report: at most one per 500 ms unless forced. Answers
    // whether to go on: false at once, reporting nothing, once OnStopCheck
    // says stop. The per-key and per-item loops make it their stop check
    // unforced, so that a stop is honoured at the next key or item while the
    // handler (a call into the GUI thread) is reached only when a report is
    // due: a forced report per key would cost minutes on a large registry.
    bool Progress(bool Force);
    // Adds Count to the fix errors (1) or boost items (2); 0 means the
    // status's category; any other category adds nothing.
    void AddFound(int32_t Count, uint8_t Category = 0);

    TqvCategory* Category(uint8_t Category) const;
    bool Scanned() const noexcept { return scanned_; }
    // The category's repair found its backup failed and changed nothing.
    bool BackupFailed(uint8_t Category) const noexcept;
    void MarkBackupFailed(uint8_t Category) noexcept;

private:
    void RepairWithBackup(TqvCategory& Category, uint8_t BackupType);
    bool scanned_ = false;
    bool backupFailed_[4] = {};
};

// ---------------------------------------------------------------------------
// Registry, file and start-up items

// One registry value or key that is checked and then written or deleted.
class TqvRegItem : public TqvItem {
public:
    using TqvItem::TqvItem;

    HKEY Root = nullptr; // HKCR, HKCU, HKLM or HKU
    std::string Key;
    std::string Name;  // empty: the key itself or its default value
    std::string Value; // the wanted value as text
    DWORD Type = 0;    // REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, 0 unknown
    uint8_t ScanKind = kRegScanInvalid;
    uint8_t FixKind = kRegFixNone;
    double Date = 0; // day number with the time as fraction; 0 none
    // The finding is the value Name (the default value when Name is empty),
    // never the key: a deletion then removes only that value.
    bool ValueTarget = false;
    // A "bin" value that holds the raw bytes of a value of another type
    // ("rtype" in stored lines): written back with that type.
    bool HasRawType = false;
    DWORD RawType = 0;
    // A finding under the merged HKCR: the hive whose "Software\Classes" holds
    // the key (HKCU or HKLM), from its native name; none when not known. The
    // backup and the repair go there, so that a per-user class is never
    // written back machine-wide. Root and Key stay the HKCR ones (the ignore
    // list and the clean report name them so).
    HKEY ClassesHive = nullptr;

    void LoadFromXML(TXMLTag* Tag) override;
    std::string GetXML() override;
    void Check() override;
    bool Backup() override;
    bool Fix() override;

    // Root, key, scan and fix set: what a catalogue list keeps.
    bool IsValid() const;
    // Sets found and selected, then Fix (the backup restore).
    bool ApplyFix();
    // Lists what a deletion of key path P removes, as locked detail items of
    // the owning scanner, each counted with AddFound (1): the key itself when
    // WithKeyItem, every value, and every sub-key with its contents. Template
    // gives root, fix and view.
    void AddKeyDetails(const std::string& P, bool WithKeyItem, const TqvRegItem& Template);

    // Where the backup and the repair act: Root and Key, or ClassesHive and
    // "Software\Classes\" + Key.
    void StoredAt(HKEY& StoreRoot, std::string& StoreKey) const;

private:
    bool targetsValue() const { return !Name.empty() || ValueTarget; }
    bool backedUp_ = false;      // recorded in this run's backup
    bool backupRefused_ = false; // the backup writer refused it: never repaired
};

// A scanner's registry finding: found, selected and deleted by the repair, in
// the 64-bit view when Is64. With ValueTarget the finding is the value Name
// (the default value when Name is empty); without, an empty Name is the key.
std::unique_ptr<TqvRegItem> NewRegDeletion(TqvItems* Owner, HKEY Root, const std::string& Key,
                                           const std::string& Name, bool Is64, bool ValueTarget);

// A file or folder pattern whose matches are deleted. A pattern ending in "\"
// is a folder: everything below it matches.
class TqvFileItem : public TqvItem {
public:
    using TqvItem::TqvItem;

    // The entries found by the last check, less the ignored ones: exactly what
    // the repair deletes.
    std::unique_ptr<TFileList> Files;
    std::string Path; // the pattern with path macros
    uint8_t ScanKind = 0;
    uint8_t FixKind = 0;
    // The folder the check walked from (the expanded pattern up to its first
    // wildcard) and what it was then: the repair reaches every listed entry
    // from there down and removes only what is still the entry listed.
    std::wstring Root;
    TFileIdentity RootIdentity;

    void LoadFromXML(TXMLTag* Tag) override;
    std::string GetXML() override;
    void Check() override;
    // Keeps List as what the repair deletes, with WalkRoot as the folder its
    // walk started from: the identities of the root and of every entry are
    // read now, as the repair must meet them again.
    void TakeFiles(std::unique_ptr<TFileList> List, std::wstring WalkRoot);
    // Deletes the listed files, then, for a folder pattern, the listed
    // folders that are empty afterwards, deepest first; "clean" keeps the
    // pattern's own folder, "del" removes it when empty, and a wildcard folder
    // pattern's "clean" keeps every folder. Each entry is reached from Root
    // without passing a link and removed only when it is still the entry the
    // check saw (a link as the link itself, where the platform can; else it
    // stays). Nothing made after the check is touched. True when every listed
    // file went; the outcome counts the bytes of those that went and names
    // the first that stayed.
    bool Fix() override;
};

// A pattern for a program whose start at logon can be postponed.
class TqvStartupItem : public TqvItem {
public:
    using TqvItem::TqvItem;

    std::unique_ptr<TFileList> Files; // the programs that match; absent when none
    std::string Name;                 // display name
    std::string Path;                 // the program's path pattern
    int32_t Priority = 1;             // 1 starts first

    void LoadFromXML(TXMLTag* Tag) override;
    // Lists the matches with the 32-bit folders and, on 64-bit Windows when
    // nothing matched, with the 64-bit ones. Found is not set here.
    void Check() override;
    // Nothing: the postponed start-up scanner acts on the lists.
    bool Fix() override;
};

// The scanner of the catalogue's "list" groups.
class TqvItemsList : public TqvItems {
public:
    using TqvItems::TqvItems;

    // The verdicts that the list's add-on items share, made with the first
    // one; a report thread keeps its own share after the list is gone.
    std::shared_ptr<TqvAddOnItems> AddOnItems;

    // "reg" and "file" children, each kept when valid; "ieaddon" and
    // "ffaddon" children kept when they have their id.
    void LoadFromXML(TXMLTag* Tag) override;
    // Checks every item, stepping after each; stops when an unforced report
    // answers false.
    void Scan() override;
    // The default repair, then the report of the add-ons it switched off.
    void Clean() override;
};

// ---------------------------------------------------------------------------
// The items types of the catalogue

using TqvScannerFactory = std::unique_ptr<TqvItems> (*)(TqvMain* Owner);
struct TqvItemsType {
    const char* Type;        // the "type" of an "items" element
    const char* ScannerName; // the class that scans it
    TqvScannerFactory Create;
};
// The fourteen types in catalogue-format order.
std::span<const TqvItemsType> ItemsTypes();
// A new scanner for a type (compared in lower case); null for an unknown one.
std::unique_ptr<TqvItems> CreateScanner(std::string_view Type, TqvMain* Owner);
