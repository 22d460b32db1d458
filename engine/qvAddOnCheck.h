#pragma once
// The add-on verdicts: white (harmless, never shown) or black (unwanted,
// offered for switching off), kept in CommonDataDir + "addons.xml" so that
// each add-on is asked about once, and the web check that asks the maker's
// service (operation CheckBHO) about the unknown ones from a thread of its
// own while the scan goes on; the same operation with call type 1 reports
// the add-ons that a repair switched off.
//
// Ownership: a TqvAddOnItems lives in a shared_ptr. Its scanner (or the list
// scanner whose read-back add-on items share it) holds one share, and every
// check thread holds another until it ends, so a late reply never meets a
// freed object and nothing outlives its last user.
//
// Locking: one process-wide add-on lock (AddOnLock). A check thread changes
// verdicts, names and the three indexes only while it holds the lock; the
// scanner's collection step reads verdicts under it. Load and Lookup run on
// the scan worker before the thread starts and take no lock.
//
// The cache file, lines ending in CR LF, no declaration, 8-bit text:
//   <addons>
//     <addon id="<id>" name="<UTF-8 name>" type="B|W" />   (per settled record)
//   </addons>
// id and name escaped with XmlEscapeText (both flags off).

#include "platform/ClassesU.h"
#include "platform/SyncObjsU.h"
#include "platform/ThreadU.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TqvItems;
class TqvAddOnItems;

// The service namespace: the CheckBHO element's default namespace and the
// stem of the SOAPAction header.
inline constexpr char kAddOnServiceNamespace[] = "http://www.korvelle.com/client";

inline constexpr uint8_t kVerdictUnknown = 0;
inline constexpr uint8_t kVerdictWhite = 1;
inline constexpr uint8_t kVerdictBlack = 2;

inline constexpr uint8_t kCallTypeCheck = 0;  // ask for verdicts
inline constexpr uint8_t kCallTypeReport = 1; // report switched-off add-ons

// How long the check thread waits for the add-on lock, and the largest reply
// it reads.
inline constexpr DWORD kAddOnLockWaitMs = 10000;
inline constexpr size_t kMaxCheckReplyBytes = 1 << 20;

// One add-on id met once, or one record of the cache file.
class TqvAddOnItem : public TObject {
public:
    std::string Id; // normal form (NormalizeAddOnId); as stored for loaded records
    std::wstring Name;
    std::string Source;   // "BHO", "TBR", "BHO64", "TBR64", "FFS", "FFF", "FFRC", "FFRH"
    std::string Path;     // file or folder, in macro form where the scanner collapsed it
    uint8_t Disabled = 0; // 1: already switched off when found
    uint8_t Verdict = kVerdictUnknown;
    TqvAddOnItems* Owner = nullptr;
};

// The code sent for a source kind (exact compare); 0 for any other text.
int GetAddOnSourceCode(std::string_view Source);

// The process's add-on lock, created once and never freed.
TCriticalSection& AddOnLock();

// The add-on lock for the life of the object when it could be had in time.
class TAddOnLockHold {
public:
    explicit TAddOnLockHold(DWORD TimeoutMs) : held_(AddOnLock().Enter(TimeoutMs)) {}
    ~TAddOnLockHold()
    {
        if (held_)
            AddOnLock().Leave();
    }
    TAddOnLockHold(const TAddOnLockHold&) = delete;
    TAddOnLockHold& operator=(const TAddOnLockHold&) = delete;
    bool Held() const { return held_; }

private:
    bool held_;
};

// id -> record, in insertion order; not owning.
using TAddOnIndex = std::vector<std::pair<std::string, TqvAddOnItem*>>;

class TqvAddOnItems : public TObject, public std::enable_shared_from_this<TqvAddOnItems> {
public:
    // Owner: the scanner it belongs to (never used by a check thread).
    static std::shared_ptr<TqvAddOnItems> Create(TqvItems* Owner);
    // Every record freed once (report entries made by AddToReport(Id, ...) too).
    ~TqvAddOnItems() override;
    TqvAddOnItems(const TqvAddOnItems&) = delete;
    TqvAddOnItems& operator=(const TqvAddOnItems&) = delete;

    TqvItems* Owner;
    std::vector<std::unique_ptr<TqvAddOnItem>> AllRecords;
    // Add-ons switched off by a repair, to be reported.
    std::vector<TqvAddOnItem*> ReportList;
    TAddOnIndex WhiteIndex;
    TAddOnIndex BlackIndex;
    TAddOnIndex UnknownIndex;
    // 1 once this scan's verdicts are settled or nothing had to be asked.
    std::atomic<uint8_t> CheckDone{0};
    // The running check thread; only a link, cleared when it ends.
    std::atomic<class TqvAddOnCheckThr*> CheckThread{nullptr};
    // CommonDataDir + "addons.xml" when made.
    std::string FileName;

    // Empties the lists, then reads the file when it exists: each "addon" of
    // "addons" with a non-empty id (kept as stored) and type "W" or "B" (either
    // case) joins the records and the white or black index. A missing or
    // unreadable file leaves the cache empty.
    void Load();
    // Replaces the file atomically (protected security, CommonDataDir created
    // when missing) with every record that has a verdict and an id, in record
    // order. True when written.
    bool Save();
    // The record of Id (normalised): the white one, else the black one, as it
    // is; otherwise a new unknown record with the values given, added to the
    // records and the unknown index (an id met twice gives two records).
    TqvAddOnItem* Lookup(const std::string& Id, const std::wstring& Name, bool Disabled,
                         const std::string& Path, const std::string& Source);
    // Nothing unknown: check done. Otherwise a check thread (call type 0).
    void StartCheck();
    // Reports an existing record.
    void AddToReport(TqvAddOnItem* Record);
    // Reports a new record (not disabled, verdict unknown) that only the
    // report list holds.
    void AddToReport(const std::string& Id, const std::wstring& Name, const std::string& Path,
                     const std::string& Source);
    // A non-empty report list starts a check thread with call type 1.
    void SendReport();

    // The cache file's text for the current records.
    std::string CacheText() const;
    // The request text of a call type over the unknown index (0) or the report
    // list (1). The caller holds the add-on lock while a thread may change them.
    std::string RequestText(uint8_t CallType) const;
    // Applies a call type 0 reply body; False (nothing changed) when the reply
    // lacks the result element or the lock cannot be had.
    bool ApplyReply(const std::string& Body);

private:
    explicit TqvAddOnItems(TqvItems* Owner);
    void StartThread(uint8_t CallType);
    std::vector<std::unique_ptr<TqvAddOnItem>> reportOnly_;
};

// One web check: created running, frees itself when it ends. Holds a share of
// its records for its whole life.
class TqvAddOnCheckThr : public TThread {
public:
    TqvAddOnCheckThr(std::shared_ptr<TqvAddOnItems> Items, uint8_t CallType);

    std::shared_ptr<TqvAddOnItems> Items;
    uint8_t CallType;

protected:
    void Execute() override;
};

// Waits until every check thread of the process has ended, at most TimeoutMs.
// True when none runs any more.
bool WaitForAddOnChecks(DWORD TimeoutMs);
