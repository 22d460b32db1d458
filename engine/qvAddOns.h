#pragma once
// The scanner of the "addons" group (category boost) and its items: Internet
// Explorer browser helper objects and toolbars (in both registry views on
// 64-bit Windows) and Firefox extensions (registered in the registry, in the
// program or profile folders, or in a profile's "extensions.sqlite"), each
// judged by the built-in list of known unwanted add-ons and by the verdict
// cache and web check; an unwanted add-on that is still active becomes an item
// that the repair switches off.
//
// Ownership: the group owns the scanner; the scanner owns its found items and
// its pending items, and holds one share of its verdicts (TqvAddOnItems),
// which a running check thread keeps alive after the scanner is gone. Items
// refer to their verdict record (TqvItem::Data) without owning it.
//
// Process-wide and set once: the Firefox major version, Firefox's program
// folder for the SQLite library, and that library itself. Each Firefox set-up
// therefore needs a process of its own in tests.

#include "engine/qvAddOnCheck.h"
#include "engine/qvAddOnReaders.h"
#include "engine/qvClasses.h"

#include <memory>
#include <string>
#include <vector>

class TqvItemsAddOns;

// What both kinds of add-on item hold: the verdict record the add-on was
// judged by (also TqvItem::Data; null when read back from a list), one share
// of the verdicts, and the record's values as the export and the report show
// them. Created found and selected.
class TqvAddOnRepairItem : public TqvItem {
public:
    TqvAddOnRepairItem(TqvItems* Owner, TqvAddOnItem* Record,
                       std::shared_ptr<TqvAddOnItems> Verdicts);

    std::string Id;
    std::string Name; // system code page
    std::string Path;
    std::string Source;
    TqvAddOnItem* Record = nullptr;
    std::shared_ptr<TqvAddOnItems> Verdicts;

protected:
    // "id", "name", "path", "source" (trimmed), and the caption from the name.
    void LoadRecordValues(TXMLTag* Tag);
    // The record's values, read under the add-on lock: a late check thread may
    // still rename the record. Nothing changes without a record.
    void TakeRecordValues();
    // Adds the add-on to the verdicts' report: the record, else the values.
    void ReportSwitchedOff() const;
};

// An Internet Explorer add-on switched off by the repair: from IE 7 through
// the per-user add-on settings, before IE 7 by its replacement registry item
// (which deletes the registration).
class TqvIExploreAddOn : public TqvAddOnRepairItem {
public:
    TqvIExploreAddOn(TqvItems* Owner, std::string Clsid, TqvAddOnItem* Record,
                     std::shared_ptr<TqvAddOnItems> Verdicts);

    std::string Clsid; // as found: upper-case with braces; '' when read back
    std::unique_ptr<TqvRegItem> Replacement;

    // The record's values; an item without id is not kept.
    void LoadFromXML(TXMLTag* Tag) override;
    // With a CLSID the lines of the two registry items that switch it off
    // (HKCU "...\Ext\Settings\<CLSID>": DWORD "Flags" 1, string "Version" "*"),
    // each followed by CR LF; then the "ieaddon" element.
    std::string GetXML() override;
    void Check() override {}
    // The replacement's backup; else, with a CLSID, the two values of the
    // settings key, or, when that key does not exist yet, the topmost missing
    // key of its path (the restore then removes what the repair created).
    bool Backup() override;
    bool Fix() override;

    // The settings key of the CLSID below HKCU.
    std::string SettingsKey() const;

private:
    bool backupRefused_ = false;
};

// A Firefox extension switched off by the repair: in every profile's
// database from Firefox 4, else in every profile's "extensions.rdf".
class TqvFirefoxAddOn : public TqvAddOnRepairItem {
public:
    TqvFirefoxAddOn(TqvItems* Owner, std::string FirefoxId, TqvAddOnItem* Record,
                    std::shared_ptr<TqvAddOnItems> Verdicts);

    std::string ProfilesFolder; // '' until needed
    std::string FirefoxId;      // lower-case

    // "ffid" (trimmed) and the record's values; an item without id is not
    // kept.
    void LoadFromXML(TXMLTag* Tag) override;
    // The "ffaddon" element.
    std::string GetXML() override;
    void Check() override {}
    bool Fix() override;
};

class TqvItemsAddOns : public TqvItems, public TqvAddOnCheck {
public:
    // Registers itself with Owner as its add-on scanner; from Firefox 4 loads
    // the SQLite library of Firefox's program folder (once per process).
    explicit TqvItemsAddOns(TqvMain* Owner);
    // Deletes the temporary database copies.
    ~TqvItemsAddOns() override;

    bool Current64 = false; // the current IE pass is the 64-bit one
    // Sorted lines "<CLSID upper-case>=<name>" and "<id lower-case>=<name>"
    // (names UTF-8), searched by the part before the first "=".
    std::vector<std::string> IEList;
    std::vector<std::string> FFList;
    std::vector<std::unique_ptr<TqvItem>> Pending;
    bool SQLiteFound = false;
    std::unique_ptr<TFFAddons> FFAddons;
    std::vector<std::string> TempCopies;
    int IEMajorVersion = 8;
    std::string FirefoxFolder;
    std::string ProfilesFolder;
    std::shared_ptr<TqvAddOnItems> Verdicts;

    // Every "addon" child with a name: "ie" to the IE list, "ff" to the FF list.
    void LoadFromXML(TXMLTag* Tag) override;
    void Scan() override;
    // The default repair inside one RDF edit session, then the report of what
    // was switched off, then the edited RDF files written back.
    void Clean() override;
    // After all categories: waits for the web check (3 s once when it is not
    // done) and takes the pending items that turned black or are listed.
    void CollectPending();
    void WaitForWebCheck() override { CollectPending(); }

    // The name of a listed id (exact key compare); False when not listed.
    static bool FindListed(const std::vector<std::string>& List, const std::string& Key,
                           std::string& NameUtf8);

private:
    bool Step(); // unforced progress; False to stop
    void ScanIE(bool Toolbars);
    void JudgeIE(const std::string& RawName, bool Toolbar);
    void ScanFirefoxRegistry(HKEY Root);
    void ScanFirefoxFolder(const std::string& Folder, const std::string& MacroStem);
    void ScanFirefoxSQLite();
    void ScanFirefoxDatabase(const std::string& DatabaseFile);
    void JudgeFirefox(const std::string& Id, const std::wstring& Name, bool Disabled,
                      const std::string& Path, const std::string& Source, const std::string& Log);
    bool stopped_ = false;
};

// The Firefox major version, taken once per process (0 when unknown).
int AddOnFirefoxMajorVersion();
// Loads the SQLite library of Firefox's trusted program folder
// (GetFirefoxFolder: never one that users can write) once per process; True
// when one is loaded.
bool EnsureFirefoxSQLite();

// An "ieaddon" or "ffaddon" element of a catalogue list as its item, sharing
// List (made on first use); null for another element or one without its id.
std::unique_ptr<TqvItem> LoadAddOnListItem(TqvItems* Owner, TXMLTag* Tag,
                                           std::shared_ptr<TqvAddOnItems>& List);

// Tests only: the tick source of the temporary database names (nullptr:
// GetTickCount). Returns the previous one.
using TAddOnTickSource = DWORD (*)();
TAddOnTickSource SetAddOnTempTickForTests(TAddOnTickSource Source) noexcept;
