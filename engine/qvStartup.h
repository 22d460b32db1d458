#pragma once
// The postponed start-up list: programs whose start at logon the speed-up
// repair took out of the Run keys and the Startup folders, kept so that the
// tray program can start them later and so that everything can be put back.
//
// Run values go into "startup.xml", one file per scope (CommonDataDir for the
// all-users list, UserDataDir for the user's); start-up shortcuts are moved
// into CommonStartupDir or UserStartupDir. The main program writes the files;
// the tray reads them at every logon and never writes them, so the file form
// below is a contract between the two programs:
//
//   <startup>
//       <run app="..." name="..." value="..." priority="N" is64="1" expand="1" />
//   </startup>
//
// 8-bit text in the system code page, CR LF after every line, no declaration;
// app, name and value hash-escaped (EscapeHashHex), is64 and expand written
// only when set, no line for an item without name or value.
//
// The all-users file and CommonStartupDir are run by every user's tray,
// administrators included: they are written with the protected security
// (administrators and SYSTEM change them, users read them). The per-user file
// and folder inherit their folder's security.
//
// This unit knows nothing of the scan model: the tray links it on its own
// (ReadStartupListText and the list's GetFileName and Load are what its
// runner needs).

#include "platform/ClassesU.h"
#include "platform/StreamU.h"
#include "platform/XmlU.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Priorities run from 0 (first) to 10.
inline constexpr int32_t kRunPriorityMin = 0;
inline constexpr int32_t kRunPriorityMax = 10;
inline constexpr char kStartupFileName[] = "startup.xml";

// One program started at logon, as the postponed start-up scanner collects
// it: a Run value or a shortcut of a Startup folder.
class TqvFoundStartup : public TObject {
public:
    bool Shortcut = false; // a shortcut of a Startup folder, else a Run value
    bool PerUser = false;  // HKCU or the user's Startup folder, else HKLM or the all-users one
    std::string App;       // the matching pattern's name
    int32_t Priority = 0;  // the matching pattern's priority
    std::string ShortcutPath;
    HKEY Root = nullptr;
    std::string Key; // the Run key path
    std::string ValueName;
    bool Is64 = false;   // the value lives in the 64-bit registry view
    bool Expand = false; // the value is REG_EXPAND_SZ
    std::string Command; // the value text, or the shortcut's target with its arguments
};

// One postponed Run value.
class TqvRegRunItem : public TObject {
public:
    bool PerUser = false; // HKCU, else HKLM
    std::string App;      // display name of the program
    std::string Name;     // the Run value name
    std::string Value;    // the command line
    bool Is64 = false;
    bool Expand = false;
    int32_t Priority = 0; // kRunPriorityMin..kRunPriorityMax after LoadFromXML

    // A "run" element: app, name and value unescaped; is64 and expand on for
    // exactly "1"; priority 0 when missing or no number, then clamped.
    void LoadFromXML(const TXMLTag* Tag);
    // Writes the value under HKCU or HKLM ...\Run, in the 64-bit view when
    // is64 on 64-bit Windows, as REG_EXPAND_SZ when expand. Nothing is written
    // for an item without name or value (False).
    bool WriteRunValue() const;
    // Deletes that value in the same place; False when it could not be removed.
    bool DeleteRunValue() const;
    // Appends the item's line; nothing for an item without name or value.
    void SaveToXML(std::vector<std::string>& Lines) const;
    bool HasLine() const { return !Name.empty() && !Value.empty(); }
};

// What a list file held when it was read.
enum class TStartupListState : uint8_t {
    Missing, // no file: an empty list
    Loaded,  // read whole
    Damaged, // exists but could not be read, has no "startup" root or is cut short
};

// Parses a list file's text: every child named "run" of the "startup"
// element becomes an item of the scope, and Highest rises to the largest
// priority read. Items read so far stay when the text is damaged. True when
// the text is whole: a complete parse whose root is "startup" and whose last
// line is "</startup>".
bool ReadStartupListText(std::string_view Text, bool PerUser,
                         std::vector<std::unique_ptr<TqvRegRunItem>>& Items, int32_t& Highest);

// One scope's list. Lives for one operation: created, loaded, changed, saved
// and freed.
class TqvAllRunItems : public TObject {
public:
    explicit TqvAllRunItems(bool PerUser);

    bool PerUser;
    std::vector<std::unique_ptr<TqvRegRunItem>> Items;
    int32_t HighestPriority = 0; // the largest priority Load read

    // CommonDataDir or UserDataDir + "startup.xml"; '' when that folder is unknown.
    std::string GetFileName() const;
    // Adds the file's items. A damaged file (see TStartupListState) marks the
    // list, and then Save refuses to write it: the programs it recorded are
    // no longer in any Run key.
    TStartupListState Load();
    TStartupListState State() const { return state_; }
    // Without items: deletes the file, and no Run value is touched. With
    // items: the file is written safely (WriteListFile), and only then is the
    // Run value of every item that has a line deleted, each in its view.
    // False when nothing was written (damaged list, failed write).
    bool Save();
    // The list's lines replace the file without ever leaving a cut-short
    // one: a temporary file beside it is written and flushed, read back and
    // parsed, and only a copy that holds every item replaces the file
    // (atomically). False, with the old file untouched, otherwise.
    bool WriteListFile();
    // Adds a Run entry of the list's scope that has a value name and a
    // command; an item with the same name (ignoring case), is64 and expand is
    // updated instead, taking the new spelling.
    void AddFound(const TqvFoundStartup& Entry);

    struct TRestoreCount {
        int Restored = 0;
        int Failed = 0;
    };
    // WriteRunValue for every item, in list order. The items written (and
    // those without name or value, which can never be written) leave the
    // list: what remains failed.
    TRestoreCount RestoreAll();

private:
    TStartupListState state_ = TStartupListState::Missing;
};

// Moves a shortcut entry into UserStartupDir or CommonStartupDir (created
// when missing): the copy replaces a same-named file there, and the original
// in the Startup folder is deleted only when the copy succeeded and exists.
// True when the shortcut was moved.
bool MoveShortcutToDelayed(const TqvFoundStartup& Entry);

struct TDelayedCount {
    int Restored = 0;
    int Failed = 0;
};
// Every "*.lnk" of DelayedDir goes back to StartupDir: copied when no entry
// of that name is there, and deleted from DelayedDir only after a verified
// copy or when StartupDir already holds a file of that name. A shortcut that
// stays in DelayedDir counts as failed. With TrustedOnly (the all-users
// folder, whose shortcuts go where they run for everybody) DelayedDir gets its
// protection again, and nothing of a folder, and no shortcut, that is not
// trusted (IsTrustedPath) is moved: each counts as failed and is logged.
TDelayedCount MoveDelayedShortcutsBack(const std::string& DelayedDir, const std::string& StartupDir,
                                       bool TrustedOnly = false);

struct TDelayedRestoreReport {
    TDelayedCount CommonList;
    TDelayedCount UserList;
    TDelayedCount UserShortcuts;
    TDelayedCount CommonShortcuts;

    bool AnyFailed() const;
};
// Puts everything back, in this order: the all-users list, the user's list,
// the user's delayed shortcuts, the all-users delayed shortcuts. A list file
// goes only when every value was written back; otherwise it is rewritten
// with the items that failed. A damaged list writes nothing back and is
// renamed "startup.xml.bad" (counted as one failure).
TDelayedRestoreReport RestoreDelayedStartupItems();

// ---------------------------------------------------------------------------
// Test seams. Set them while nothing else uses the unit; nullptr restores
// the real call. Each setter returns the previous seam.

// The registry write of WriteRunValue, called inside the item's view.
using TRunValueWrite = bool (*)(HKEY Root, const std::string& Key, const std::string& Name,
                                DWORD Type, const std::string& Value);
TRunValueWrite SetRunValueWriteForTests(TRunValueWrite Write) noexcept;

// How WriteListFile puts the text into the temporary file.
using TStartupFileWrite = bool (*)(TStreamWriter& Writer, std::string_view Text);
TStartupFileWrite SetStartupFileWriteForTests(TStartupFileWrite Write) noexcept;
