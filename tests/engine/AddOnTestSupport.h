#pragma once
// Fixtures of the add-on tests: registry entries in a chosen view that are
// removed again, the user's Firefox profiles folder with profiles of the
// test's own, RDF and install.rdf texts, and Firefox databases made through
// the loaded SQLite library.

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class TqvAddOnItem;
class TqvItem;
class TqvItemsAddOns;
class TqvMain;

namespace atest {

inline constexpr REGSAM kView32 = KEY_WOW64_32KEY;
inline constexpr REGSAM kView64 = KEY_WOW64_64KEY;

// A braced upper-case GUID unique to this process and N.
std::string UniqueClsid(int N);

// Registry entries a test makes; every key made through it is deleted with
// everything below it when it ends (deepest first). Keys that existed before
// are only cleaned of the values set through it.
class RegEntries {
public:
    RegEntries() = default;
    ~RegEntries();
    RegEntries(const RegEntries&) = delete;
    RegEntries& operator=(const RegEntries&) = delete;

    void String(HKEY Root, const std::string& Key, const std::string& Name,
                const std::string& Value, REGSAM View, DWORD Type = REG_SZ);
    void Dword(HKEY Root, const std::string& Key, const std::string& Name, DWORD Value,
               REGSAM View);
    // Creates the key (and missing parents).
    void Key(HKEY Root, const std::string& Key, REGSAM View);
    void RemoveAll();

private:
    void Track(HKEY Root, const std::string& Key, REGSAM View);
    struct Made {
        HKEY Root;
        std::string Key;
        REGSAM View;
    };
    std::vector<Made> keys_;
    struct Set {
        HKEY Root;
        std::string Key;
        std::string Name;
        REGSAM View;
    };
    std::vector<Set> values_;
};

// dtest::KeyExists and dtest::DeleteTree for 8-bit key paths.
bool KeyExists(HKEY Root, const std::string& Key, REGSAM View);
bool DeleteKeyTree(HKEY Root, const std::string& Key, REGSAM View);

// Internet Explorer's "Version" for a test: Set writes it in each view,
// keeping what was there; Restore, or the end of the object, puts back what
// was there before. Where a view lacks the key (a prefix made on a host that
// runs 64-bit code only has none in the 32-bit view) it is made, and removed
// again.
class IEVersionScope {
public:
    IEVersionScope() = default;
    ~IEVersionScope();
    IEVersionScope(const IEVersionScope&) = delete;
    IEVersionScope& operator=(const IEVersionScope&) = delete;

    // False when the key can be neither opened nor made in a view.
    bool Set(const std::string& Version, const std::vector<REGSAM>& Views);
    void Restore();

private:
    struct Saved {
        REGSAM View;
        bool HadValue; // "Version" existed, holding Value
        std::string Value;
    };
    std::vector<Saved> saved_;
    RegEntries made_; // the keys that were missing
};

// The user's "Mozilla\Firefox\Profiles\" below the application data folder,
// made when missing; what it made is removed when it ends.
class ProfilesFixture {
public:
    ProfilesFixture();
    ~ProfilesFixture();
    ProfilesFixture(const ProfilesFixture&) = delete;
    ProfilesFixture& operator=(const ProfilesFixture&) = delete;

    const std::string& Folder() const { return profiles_; }
    // A new profile folder Folder() + Name + "\".
    std::string Profile(const std::string& Name);

private:
    std::string mozilla_;  // the folder removed at the end, or ''
    std::string profiles_; // with trailing backslash
};

// An "install.rdf" naming the extension.
std::string InstallRdf(const std::string& NameUtf8);

// The folder of the running test program (trailing backslash).
std::string ProgramFolder();

// The root's add-on scanner (the boost group "addons"); null when none.
TqvItemsAddOns* AddOnScanner(TqvMain& Main);
// A new root with its data loaded whose add-on scanner has scanned and
// collected its pending items.
std::unique_ptr<TqvMain> ScanAddOns();
// An add-on item's verdict record.
const TqvAddOnItem* RecordOf(const TqvItem& Item);

} // namespace atest
