#include "engine/qvStartupScanners.h"

#include "engine/qvExceptions.h"
#include "engine/qvMissingFiles.h"
#include "engine/qvScanners.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/RegistryU.h"
#include "platform/ShortcutU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <algorithm>
#include <atomic>
#include <set>

namespace {

std::atomic<TShortcutTargetReader> gShortcutTarget{nullptr};

std::wstring ShortcutTargetOf(const std::wstring& FileName)
{
    const TShortcutTargetReader reader = gShortcutTarget.load();
    return reader ? reader(FileName, false) : GetShortcutTargetW(FileName, false);
}

struct TRunPass {
    HKEY Root;
    bool Is64;
};
// HKCU and HKLM in the 32-bit view, then in the 64-bit view.
const TRunPass kRunPasses[] = {
    {HKEY_CURRENT_USER, false},
    {HKEY_LOCAL_MACHINE, false},
    {HKEY_CURRENT_USER, true},
    {HKEY_LOCAL_MACHINE, true},
};

// The passes this Windows has: the 64-bit ones only on 64-bit Windows.
std::vector<TRunPass> RunPasses()
{
    std::vector<TRunPass> passes;
    for (const TRunPass& pass : kRunPasses)
        if (!pass.Is64 || IsWin64())
            passes.push_back(pass);
    return passes;
}

uint8_t LookupView(const TRunPass& Pass)
{
    return Pass.Is64 ? kView64 : kView32;
}

std::vector<std::string> RunValueNames(HKEY Root)
{
    std::string text;
    if (!RegGetValueNames(Root, kRunKeyName, text))
        return {};
    return RegSplitNames(text);
}

// A Run value as text (REG_SZ or REG_EXPAND_SZ).
bool ReadRunValue(HKEY Root, const std::string& Name, DWORD& Type, std::string& Text)
{
    return RegReadStringTyped(Root, kRunKeyName, Name, Type, Text) &&
           (Type == REG_SZ || Type == REG_EXPAND_SZ);
}

// False for a value whose text the system code page cannot hold.
bool ReadsTheSameWide(HKEY Root, const std::string& Name, const std::string& Text)
{
    std::wstring wide;
    return RegReadWideString(Root, WideFromAnsi(kRunKeyName), WideFromAnsi(Name), wide) &&
           SameTextAsWide(wide, Text);
}

// Values met in an earlier pass: HKCU\Software is one key in both views.
class TMetValues {
public:
    // Names the pass's Run key as the system knows it; called in the pass's
    // view, once for all its values.
    void BeginPass(const TRunPass& Pass)
    {
        key_ = KeyNativeName(Pass.Root, kRunKeyName);
        if (key_.empty())
            key_ = RegRootToName(Pass.Root) + (Pass.Is64 ? ":64" : ":32");
    }
    // False when the value of the pass's key was met before.
    bool FirstTime(const std::string& Name) { return met_.insert(key_ + "\t" + Name).second; }

private:
    std::string key_;
    std::set<std::string> met_;
};

bool IsAbsolutePath(const std::string& Path)
{
    return (Path.size() >= 3 && Path[1] == ':' && Path[2] == '\\') || Path.rfind("\\\\", 0) == 0;
}

std::string ShortPathOf(const std::string& Path)
{
    std::string buffer(MAX_PATH + 1, '\0');
    DWORD length =
        GetShortPathNameA(Path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length >= buffer.size()) {
        buffer.assign(length + 1, '\0');
        length = GetShortPathNameA(Path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    }
    if (length == 0 || length >= buffer.size())
        return {};
    buffer.resize(length);
    return buffer;
}

// The key that ties a start-up entry to a pattern's file: the lower-case
// short path of the program; '' for a bare or missing one. A program only in
// the native system folder is found with redirection off.
std::string ProgramFileKey(const std::string& Path)
{
    if (!IsAbsolutePath(Path))
        return {};
    std::string shortPath = ShortPathOf(Path);
    if (shortPath.empty() && IsWin64()) {
        TRedirectionOffScope off;
        shortPath = ShortPathOf(Path);
    }
    return LowerCase(shortPath);
}

// The "*.lnk" files of a Startup folder.
TFileList StartupShortcuts(const std::string& Folder)
{
    TFileList list;
    if (!Folder.empty())
        SearchFilesToList(IncludeTrailingBackslash(Folder) + "*.lnk", &list, false);
    list.erase(std::remove_if(list.begin(), list.end(),
                              [](const TFoundFile& f) {
                                  return f.IsFolder() || (f.Attributes & FILE_ATTRIBUTE_DIRECTORY);
                              }),
               list.end());
    return list;
}

using TCurrentEntry = std::pair<std::string, std::unique_ptr<TqvFoundStartup>>;
struct TByKey {
    bool operator()(const TCurrentEntry& A, const std::string& B) const { return A.first < B; }
    bool operator()(const std::string& A, const TCurrentEntry& B) const { return A < B.first; }
};

} // namespace

TShortcutTargetReader SetShortcutTargetReaderForTests(TShortcutTargetReader Reader) noexcept
{
    return gShortcutTarget.exchange(Reader);
}

// ---------------------------------------------------------------------------
// TqvItemsInvalidStartup

void TqvItemsInvalidStartup::Scan()
{
    qvLog("Scan type: Invalid Startup - registry");
    const std::vector<TRunPass> passes = RunPasses();
    Position = 0;
    Maximum = IsWin64() ? 4 : 2;
    TMetValues met;
    for (const TRunPass& pass : passes) {
        TItemViewScope view(pass.Is64);
        met.BeginPass(pass);
        const std::vector<std::string> names = RunValueNames(pass.Root);
        SubPosition = 0;
        SubMaximum = static_cast<int32_t>(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            if (i >= 1)
                StepSubProgress();
            if (Owner && !Owner->Progress(false))
                return;
            const std::string& name = names[i];
            if (Trim(name).empty() || !met.FirstTime(name))
                continue;
            DWORD type = 0;
            std::string text;
            if (!ReadRunValue(pass.Root, name, type, text) || Trim(text).empty())
                continue;
            // Only a program missing from a fixed drive is dead: removable and
            // network drives may just be away, bare names start from the path.
            if (!IsFixedDrivePath(Trim(text)))
                continue;
            std::string found;
            if (ExtractExecutablePath(text, LookupView(pass), found) ||
                !IsMissingOnFixedDrive(Trim(text)))
                continue;
            if (!ReadsTheSameWide(pass.Root, name, text))
                continue;
            if (AddMissingProgramValue(*this, pass.Root, kRunKeyName, name, text, pass.Is64))
                qvLog("Startup file does not exist: " + text);
        }
        StepProgress();
    }

    qvLog("Scan type: Invalid Startup - files");
    TComScope com;
    for (const std::string& folder : {GetUserStartupFolder(), GetCommonStartupFolder()}) {
        TFileList shortcuts = StartupShortcuts(folder);
        RemoveIgnoredFiles(shortcuts);
        for (const TFoundFile& shortcut : shortcuts) {
            const std::wstring wideTarget = TrimWide(ShortcutTargetOf(WideFromAnsi(shortcut.Path)));
            const std::string target = AnsiFromWide(wideTarget);
            qvLog(shortcut.Path + " -> " + target);
            if (target.empty() || !IsFixedDrivePath(target))
                continue;
            if (SameTextAsWide(wideTarget, target)) {
                std::string found;
                if (ExtractExecutablePath(target, kViewBoth, found) ||
                    !IsMissingOnFixedDrive(target))
                    continue;
            } else if (!PathSurelyMissing(wideTarget)) {
                continue;
            }
            auto item = std::make_unique<TqvFileItem>(this);
            item->Found = true;
            item->Selected = true;
            item->Path = shortcut.Path;
            item->ScanKind = kFileScanExists;
            item->FixKind = kFileFixClean;
            const std::wstring& file = shortcut.WidePath;
            item->TakeFiles(std::make_unique<TFileList>(1, shortcut),
                            file.substr(0, file.find_last_of(L'\\')));
            item->Size = std::max<int64_t>(SumListSizes(item->Files.get()), 0);
            Add(std::move(item));
            if (Owner)
                Owner->AddFound(1);
            qvLog("Shortcut file does not exist: " + target);
        }
    }
}

// ---------------------------------------------------------------------------
// TqvItemsDelayStartup

void TqvItemsDelayStartup::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    for (const auto& child : Tag->Children()) {
        if (LowerCase(child->Name) != "startup")
            continue;
        auto item = std::make_unique<TqvStartupItem>(this);
        item->LoadFromXML(child.get());
        if (!item->Path.empty())
            Add(std::move(item));
    }
}

const TqvItemsDelayStartup::TEntries& TqvItemsDelayStartup::MatchesOf(const TqvItem* Item) const
{
    static const TEntries kNone;
    const auto place = Matched.find(Item);
    return place == Matched.end() ? kNone : place->second;
}

void TqvItemsDelayStartup::CollectCurrentEntries()
{
    qvLog("Loading current startup items - REGISTRY");
    TMetValues met;
    for (const TRunPass& pass : RunPasses()) {
        TItemViewScope view(pass.Is64);
        met.BeginPass(pass);
        for (const std::string& name : RunValueNames(pass.Root)) {
            if (Trim(name).empty() || !met.FirstTime(name))
                continue;
            DWORD type = 0;
            std::string text;
            if (!ReadRunValue(pass.Root, name, type, text))
                continue;
            std::string found;
            if (!ExtractExecutablePath(text, LookupView(pass), found))
                continue;
            // Postponed, a damaged text would be written back damaged.
            if (!ReadsTheSameWide(pass.Root, name, text))
                continue;
            const std::string key = ProgramFileKey(found);
            if (key.empty())
                continue;
            auto entry = std::make_unique<TqvFoundStartup>();
            entry->PerUser = pass.Root == HKEY_CURRENT_USER;
            entry->Root = pass.Root;
            entry->Key = kRunKeyName;
            entry->ValueName = name;
            entry->Is64 = pass.Is64;
            entry->Expand = type == REG_EXPAND_SZ;
            entry->Command = text;
            qvLog("Startup entry: " + RegRootToName(pass.Root) + (pass.Is64 ? " (64) " : " ") +
                  name + "=" + text + " [" + key + "]");
            Current.emplace_back(key, std::move(entry));
        }
    }

    qvLog("Loading current startup items - SHORTCUTS");
    TComScope com;
    struct TFolder {
        const char* Log;
        std::string Path;
        bool PerUser;
    };
    const TFolder folders[] = {
        {"Processing USER startup", GetUserStartupFolder(), true},
        {"Processing COMMON startup", GetCommonStartupFolder(), false},
    };
    for (const TFolder& folder : folders) {
        qvLog(folder.Log);
        for (const TFoundFile& shortcut : StartupShortcuts(folder.Path)) {
            const std::string target = GetShortcutTarget(shortcut.Path, true);
            std::string found;
            if (Trim(target).empty() || !ExtractExecutablePath(target, kViewBoth, found))
                continue;
            const std::string key = ProgramFileKey(found);
            if (key.empty())
                continue;
            auto entry = std::make_unique<TqvFoundStartup>();
            entry->Shortcut = true;
            entry->PerUser = folder.PerUser;
            entry->ShortcutPath = shortcut.Path;
            entry->Command = target;
            qvLog("Startup entry: " + shortcut.Path + " -> " + target + " [" + key + "]");
            Current.emplace_back(key, std::move(entry));
        }
    }
    std::stable_sort(Current.begin(), Current.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

void TqvItemsDelayStartup::Scan()
{
    if (!Settings()->DELAY_STARTUP) {
        qvLog("Delay startup is off");
        return;
    }
    qvLog("Scan type: Delay Startup");
    Current.clear();
    Matched.clear();
    CollectCurrentEntries();

    for (const auto& owned : Items) {
        if (Owner && !Owner->Progress(false))
            return;
        auto* item = dynamic_cast<TqvStartupItem*>(owned.get());
        if (!item)
            continue;
        Guard([item] { item->Check(); });
        if (!item->Files)
            continue;
        TFileList& files = *item->Files;
        for (size_t n = files.size(); n-- > 0;) {
            const std::string key = ProgramFileKey(files[n].Path);
            const auto range = std::equal_range(Current.begin(), Current.end(), key, TByKey{});
            if (key.empty() || range.first == range.second) {
                files.erase(files.begin() + static_cast<std::ptrdiff_t>(n));
                continue;
            }
            for (auto it = range.first; it != range.second; ++it) {
                TqvFoundStartup& entry = *it->second;
                qvLog("DELAY STARTUP: " + item->Name);
                qvLog("RUN APP: " + files[n].Path);
                qvLog("DEFINED AS: " + item->Path);
                qvLog(entry.Shortcut ? "SHORTCUT: " + entry.ShortcutPath
                                     : "REGISTRY: " + entry.ValueName);
                item->Found = true;
                item->Selected = true;
                if (Owner)
                    Owner->AddFound(1);
                entry.App = item->Name;
                entry.Priority = item->Priority;
                Matched[item].push_back(std::move(it->second));
            }
            Current.erase(range.first, range.second);
        }
        if (files.empty())
            item->Files.reset();
    }
}

void TqvItemsDelayStartup::Clean()
{
    Maximum = static_cast<int32_t>(Items.size());
    std::unique_ptr<TqvAllRunItems> common;
    std::unique_ptr<TqvAllRunItems> user;
    auto listOf = [&](bool PerUser) -> TqvAllRunItems& {
        std::unique_ptr<TqvAllRunItems>& list = PerUser ? user : common;
        if (!list) {
            list = std::make_unique<TqvAllRunItems>(PerUser);
            list->Load();
        }
        return *list;
    };

    std::vector<std::pair<TqvItem*, bool>> waiting; // items with Run values, and their scope
    for (const auto& owned : Items) {
        if (Owner && !Owner->Progress(false))
            return;
        TqvItem* item = owned.get();
        const TEntries& entries = MatchesOf(item);
        // A pattern the user unticked in the review stays as it is.
        if (item->Found && item->Selected && !entries.empty()) {
            if (const auto* pattern = dynamic_cast<const TqvStartupItem*>(item))
                qvLog("Cleaning app: " + pattern->Name);
            item->MarkDone(0);
            for (const auto& entry : entries) {
                if (entry->Shortcut) {
                    qvLog("Cleaning shortcut: " + entry->ShortcutPath);
                    if (!MoveShortcutToDelayed(*entry)) {
                        qvLog("Shortcut not moved: " + entry->ShortcutPath);
                        item->MarkNotDone("shortcut not moved: " + entry->ShortcutPath);
                    }
                } else {
                    qvLog((entry->PerUser ? "Cleaning Run - USER: " : "Cleaning Run - COMMON: ") +
                          entry->ValueName + "=" + entry->Command);
                    listOf(entry->PerUser).AddFound(*entry);
                    waiting.emplace_back(item, entry->PerUser);
                }
            }
        }
        StepProgress();
    }
    if (Owner && !Owner->Progress(true))
        return;
    bool saved[2] = {true, true}; // all users, per user
    for (TqvAllRunItems* list : {common.get(), user.get()}) {
        if (list && !list->Save()) {
            qvLog("Startup list not saved: " + list->GetFileName());
            saved[list == user.get() ? 1 : 0] = false;
        }
    }
    // A Run value is postponed only once its list is saved.
    for (const auto& [item, perUser] : waiting)
        if (!saved[perUser ? 1 : 0] && item->Outcome == TqvOutcome::Done)
            item->MarkNotDone("the postponed start-up list was not saved");
}

// ---------------------------------------------------------------------------
// Factories

std::unique_ptr<TqvItems> CreateItemsInvalidStartup(TqvMain* Owner)
{
    return std::make_unique<TqvItemsInvalidStartup>(Owner);
}

std::unique_ptr<TqvItems> CreateItemsDelayStartup(TqvMain* Owner)
{
    return std::make_unique<TqvItemsDelayStartup>(Owner);
}
