#pragma once
// The registry scanners of the fix category: each walks one registry area and
// reports the entries that point to files or keys that no longer exist, as
// found TqvRegItem objects that delete the dead key (or value) when repaired.
// The repair and the backup are the scan model's defaults.
//
// What a scanner may report is bounded, because every finding is deleted:
// - an entry is tested only through names that the 8-bit layer can address
//   (the wide name equals its 8-bit form widened), and a finding that rests on
//   a text read from the registry needs the wide read of that text to equal
//   its 8-bit form widened: a path the code page cannot hold reads as "?" and
//   would look missing;
// - a missing file counts only when its expanded, cleaned path begins with
//   the root of a fixed drive: a program on a removable or network drive, a
//   UNC path, an unresolved variable or a bare name that nothing resolves is
//   unknown, and one unknown server keeps the whole entry;
// - the default value is never a value finding (it enumerates as the empty
//   name), and trimmed names are only used to skip blank ones: findings carry
//   the exact names;
// - on 64-bit Windows a key (or value) that both views share is tested once,
//   in the 32-bit pass: the 64-bit pass skips what the first pass met where
//   both views reach the same key (compared by its native name), so that the
//   other view's expansions ("%ProgramFiles%") never judge it again.
//
// Scanners run on the worker thread; each pass sets that thread's registry
// view and restores it however the pass ends.

#include "engine/qvClasses.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// The account that owns a key, in the calling thread's registry view. Wine has
// no TrustedInstaller account, so tests put their own query in.
using TqvKeyOwnerQuery = bool (*)(HKEY Root, const std::string& Path, std::string& Owner);
// Sets the query (nullptr: RegGetKeyOwnerName) and returns the previous one.
// Not for use while a scan runs.
TqvKeyOwnerQuery SetKeyOwnerQuery(TqvKeyOwnerQuery Query) noexcept;

// The hive of a key under the merged HKCR from its native name: HKCU for
// "\REGISTRY\USER\..." (the user's own classes, "<SID>_Classes" on Windows),
// HKLM for "\REGISTRY\MACHINE\..."; nullptr for anything else. A class
// finding keeps it (TqvRegItem::ClassesHive).
HKEY ClassesHiveOfNativeName(const std::wstring& NativeName);

// A key that one of these scanners walks as a whole (the CLSID, Interface and
// TypeLib keys, the Uninstall, SharedDLLs and App Paths keys, the MUI cache
// keys and the two levels below HKCR "Local Settings\MuiCache"). Trailing
// backslashes and case are ignored. A repair never deletes such a key itself.
bool IsScannedContainerKey(HKEY Root, const std::string& Key);

// The part the seven scanners share: the pass flag, the TrustedInstaller
// skip, and how a finding is filed.
class TqvRegScanner : public TqvItems {
public:
    using TqvItems::TqvItems;

    // 0 during the 32-bit pass, 1 during the 64-bit pass: the is64 of the
    // findings.
    uint8_t PassFlag = 0;

    // The walks' test of each entry (a sub-key or a value Name of Root\Area):
    // the 32-bit pass notes it and answers True; the 64-bit pass answers False
    // for an entry the first pass met, where both views reach the same key.
    bool FirstMeeting(HKEY Root, const std::string& Area, bool SubKeys, const std::string& Name);
    // Forgets what earlier passes met: a new scan begins.
    void ForgetMeetings();

protected:
    // Vista and later: the key's owner, in lower case, is "trustedinstaller".
    bool OwnedByTrustedInstaller(HKEY Root, const std::string& Key) const;
    // Files a dead entry: dropped with a log line when the ignore list or the
    // clean report covers it; otherwise added, counted with
    // AddFound (1), its contents listed as locked details when Details is set
    // (a key finding), and logged with Message. A value finding (ValueTarget)
    // deletes the value Name only.
    void AddFinding(HKEY Root, const std::string& Key, const std::string& Name, bool ValueTarget,
                    bool Details, const std::string& Message);
    // The pass's lookup view for the program-file functions.
    uint8_t PassView() const { return PassFlag ? kView64 : kView32; }
    // Set once per Scan: whether the owner test applies.
    bool ownerTest_ = false;

private:
    // A 64-bit hash of root, area and name of every entry the 32-bit pass
    // met, sorted before the 64-bit pass asks: a hundred thousand classes
    // would otherwise hold their names twice over. Two entries that share a
    // hash cost only the comparison of their native key names below, which
    // decides alone whether an entry is skipped.
    std::vector<uint64_t> met_;
    bool metSorted_ = true;
    // Root and key path: whether both views reach the same key.
    std::map<std::string, bool> shared_;
};

class TqvItemsCLSID : public TqvRegScanner {
public:
    using TqvRegScanner::TqvRegScanner;
    void Scan() override;
};

class TqvItemsInterfaces : public TqvRegScanner {
public:
    using TqvRegScanner::TqvRegScanner;
    void Scan() override;
};

class TqvItemsTypelib : public TqvRegScanner {
public:
    using TqvRegScanner::TqvRegScanner;
    void Scan() override;
};

class TqvItemsUninstall : public TqvRegScanner {
public:
    using TqvRegScanner::TqvRegScanner;
    void Scan() override;
};

class TqvItemsSharedDll : public TqvRegScanner {
public:
    using TqvRegScanner::TqvRegScanner;
    void Scan() override;
};

// One pass without a view flag; its progress maximum is the number of cache
// keys it walks.
class TqvItemsMUICache : public TqvRegScanner {
public:
    using TqvRegScanner::TqvRegScanner;
    void Scan() override;
};

class TqvItemsAppPaths : public TqvRegScanner {
public:
    using TqvRegScanner::TqvRegScanner;
    void Scan() override;
};
