#include "engine/qvStartup.h"

#include "engine/qvScanTools.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/qvCommon.h"

#include <algorithm>
#include <utility>

namespace {

// The engine's log lines (category and level of the scan model's, which
// this unit does not include).
constexpr uint8_t kStartupLogCategory = 1;
constexpr uint8_t kStartupLogLevel = 1;
void StartupLog(std::string_view Text) noexcept
{
    Log(Text, kStartupLogCategory, kStartupLogLevel);
}

constexpr char kStartupRoot[] = "startup";
constexpr char kRunElement[] = "run";
constexpr char kDamagedSuffix[] = ".bad";

TRunValueWrite gRunValueWrite = nullptr;
TStartupFileWrite gStartupFileWrite = nullptr;

bool RealRunValueWrite(HKEY Root, const std::string& Key, const std::string& Name, DWORD Type,
                       const std::string& Value)
{
    return RegWriteStringTyped(Root, Key, Name, Type, Value);
}

bool RealStartupFileWrite(TStreamWriter& Writer, std::string_view Text)
{
    return Writer.WriteRaw(Text);
}

int32_t ClampPriority(int32_t Priority)
{
    return std::clamp(Priority, kRunPriorityMin, kRunPriorityMax);
}

HKEY RootOf(bool PerUser)
{
    return PerUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// The text ends with "</startup>" (blanks and line ends after it allowed).
bool EndsWithRootLine(std::string_view Text)
{
    const std::string trimmed = TrimRight(Text);
    constexpr std::string_view kClose = "</startup>";
    return trimmed.size() >= kClose.size() &&
           std::string_view(trimmed).substr(trimmed.size() - kClose.size()) == kClose;
}

std::string FileNameOf(const std::string& Path)
{
    const size_t slash = LastDelimiter(Path, "\\:");
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

bool SameSizeFiles(const std::string& A, const std::string& B)
{
    const int64_t a = GetFileSize64(A);
    return a >= 0 && a == GetFileSize64(B);
}

// Moves a damaged list aside so that nothing overwrites the only record of
// the programs it held: "startup.xml.bad", or ".bad2" and on when taken.
bool SetDamagedFileAside(const std::string& FileName)
{
    for (int n = 1; n <= 99; ++n) {
        const std::string target =
            FileName + kDamagedSuffix + (n == 1 ? std::string() : IntToStr(n));
        if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES)
            continue;
        const bool moved = RetryFileOperation(kDefaultRetryTime, [&] {
            return MoveFileExA(FileName.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != FALSE;
        });
        if (moved)
            StartupLog("Damaged startup list kept as " + target);
        return moved;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// TqvRegRunItem

void TqvRegRunItem::LoadFromXML(const TXMLTag* Tag)
{
    if (!Tag)
        return;
    App = UnescapeHashHex(TXMLTag::GetAttribute(Tag, "app"));
    Name = UnescapeHashHex(TXMLTag::GetAttribute(Tag, "name"));
    Value = UnescapeHashHex(TXMLTag::GetAttribute(Tag, "value"));
    Is64 = TXMLTag::GetAttribute(Tag, "is64") == "1";
    Expand = TXMLTag::GetAttribute(Tag, "expand") == "1";
    // Written in decimal: "0x9" is no priority.
    int32_t priority = 0;
    if (!TryStrToIntDecimal(TXMLTag::GetAttribute(Tag, "priority"), priority))
        priority = 0;
    Priority = ClampPriority(priority);
}

bool TqvRegRunItem::WriteRunValue() const
{
    if (!HasLine())
        return false;
    TItemViewScope view(Is64);
    const TRunValueWrite write = gRunValueWrite ? gRunValueWrite : &RealRunValueWrite;
    return write(RootOf(PerUser), kRunKeyName, Name, Expand ? REG_EXPAND_SZ : REG_SZ, Value);
}

bool TqvRegRunItem::DeleteRunValue() const
{
    if (!HasLine())
        return false;
    TItemViewScope view(Is64);
    return RegRemoveValue(RootOf(PerUser), kRunKeyName, Name);
}

void TqvRegRunItem::SaveToXML(std::vector<std::string>& Lines) const
{
    if (!HasLine())
        return;
    std::string line = "    <run app=\"" + EscapeHashHex(App) + "\" name=\"" + EscapeHashHex(Name) +
                       "\" value=\"" + EscapeHashHex(Value) + "\" priority=\"" +
                       IntToStr(Priority) + "\"";
    if (Is64)
        line += " is64=\"1\"";
    if (Expand)
        line += " expand=\"1\"";
    line += " />";
    Lines.push_back(std::move(line));
}

// ---------------------------------------------------------------------------
// The list file

bool ReadStartupListText(std::string_view Text, bool PerUser,
                         std::vector<std::unique_ptr<TqvRegRunItem>>& Items, int32_t& Highest)
{
    TXML xml;
    xml.LoadFromString(Text);
    TXMLTag* root = xml.Root()->FindFirst(kStartupRoot);
    if (root) {
        for (const auto& child : root->Children()) {
            // A damaged file keeps what came before the break, never the
            // half-read element the break fell into.
            if (child->Name != kRunElement || !child->Closed)
                continue;
            auto item = std::make_unique<TqvRegRunItem>();
            item->PerUser = PerUser;
            item->LoadFromXML(child.get());
            Highest = std::max(Highest, item->Priority);
            Items.push_back(std::move(item));
        }
    }
    return root && xml.Complete() && EndsWithRootLine(Text);
}

TqvAllRunItems::TqvAllRunItems(bool PerUser) : PerUser(PerUser) {}

std::string TqvAllRunItems::GetFileName() const
{
    const std::string& dir = PerUser ? UserDataDir() : CommonDataDir();
    return dir.empty() ? std::string() : dir + kStartupFileName;
}

TStartupListState TqvAllRunItems::Load()
{
    const std::string file = GetFileName();
    state_ = TStartupListState::Missing;
    if (file.empty())
        return state_;
    const DWORD attributes = GetFileAttributesA(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return state_;
        state_ = TStartupListState::Damaged;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        state_ = TStartupListState::Damaged;
    } else if (!PerUser && !IsTrustedFile(file, true)) {
        // Every user's tray runs the all-users list and the elevated restore
        // writes HKLM Run from it: one that anyone but an administrator may
        // have written is never read.
        StartupLog("Startup list not trusted, not read: " + file);
        state_ = TStartupListState::Damaged;
    } else {
        std::string text;
        const bool read = LoadFileToString(file, text);
        const bool whole = ReadStartupListText(text, PerUser, Items, HighestPriority);
        state_ = read && whole ? TStartupListState::Loaded : TStartupListState::Damaged;
    }
    if (state_ == TStartupListState::Damaged)
        StartupLog("Startup list damaged or unreadable: " + file);
    return state_;
}

bool TqvAllRunItems::WriteListFile()
{
    const std::string file = GetFileName();
    if (file.empty())
        return false;
    std::vector<std::string> lines;
    for (const auto& item : Items)
        item->SaveToXML(lines);
    std::string text = "<startup>\r\n";
    for (const std::string& line : lines)
        text += line + "\r\n";
    text += "</startup>\r\n";

    // Everybody's tray runs the all-users list: only administrators may
    // change it, and its folder gets that again on every write.
    const TFileSecurity security = PerUser ? TFileSecurity::Inherit : TFileSecurity::Protected;
    if (!PerUser && !CreateDirectoryPath(ExtractFilePath(file), security, true))
        return false;
    const TStartupFileWrite write = gStartupFileWrite ? gStartupFileWrite : &RealStartupFileWrite;
    const std::string fresh = file + ".new";
    auto discard = [&fresh] {
        SetFileAttributesA(fresh.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(fresh.c_str());
        return false;
    };
    if (!SaveFileAtomic(
            fresh, [&](TStreamWriter& Writer) { return write(Writer, text); }, security))
        return discard();

    // A full disk can cut the file short while every call reports success:
    // only a copy that reads back whole may replace the list.
    std::string back;
    std::vector<std::unique_ptr<TqvRegRunItem>> readBack;
    int32_t highest = 0;
    if (!LoadFileToString(fresh, back) || back != text ||
        !ReadStartupListText(back, PerUser, readBack, highest) || readBack.size() != lines.size()) {
        StartupLog("Startup list did not read back whole: " + file);
        return discard();
    }
    if (!RetryFileOperation(kDefaultRetryTime, [&] {
            return MoveFileExA(fresh.c_str(), file.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        }))
        return discard();
    return true;
}

bool TqvAllRunItems::Save()
{
    const std::string file = GetFileName();
    if (state_ == TStartupListState::Damaged) {
        StartupLog("Startup list not saved, its file is damaged: " + file);
        return false;
    }
    if (Items.empty()) {
        if (!file.empty() && FileExistsEx(file))
            DeleteFileA(file.c_str());
        return true;
    }
    if (!WriteListFile()) {
        StartupLog("Startup list not written: " + file);
        return false;
    }
    // The values go only once they are safely recorded.
    for (const auto& item : Items)
        if (item->HasLine())
            item->DeleteRunValue();
    return true;
}

void TqvAllRunItems::AddFound(const TqvFoundStartup& Entry)
{
    if (Entry.Shortcut || Entry.ValueName.empty() || Entry.Command.empty() ||
        Entry.PerUser != PerUser)
        return;
    // Run value names ignore case: "skype" and "Skype" are one value.
    auto same = std::find_if(Items.begin(), Items.end(), [&](const auto& item) {
        return SameText(item->Name, Entry.ValueName) && item->Is64 == Entry.Is64 &&
               item->Expand == Entry.Expand;
    });
    TqvRegRunItem* item = nullptr;
    if (same != Items.end()) {
        item = same->get();
    } else {
        Items.push_back(std::make_unique<TqvRegRunItem>());
        item = Items.back().get();
    }
    item->PerUser = PerUser;
    item->App = Entry.App;
    item->Name = Entry.ValueName;
    item->Value = Entry.Command;
    item->Is64 = Entry.Is64;
    item->Expand = Entry.Expand;
    item->Priority = Entry.Priority;
}

TqvAllRunItems::TRestoreCount TqvAllRunItems::RestoreAll()
{
    TRestoreCount count;
    std::vector<std::unique_ptr<TqvRegRunItem>> failed;
    for (auto& item : Items) {
        if (!item->HasLine())
            continue;
        bool written = false;
        Guard([&] { written = item->WriteRunValue(); });
        if (written) {
            ++count.Restored;
        } else {
            ++count.Failed;
            StartupLog("Run value not written back: " + item->Name);
            failed.push_back(std::move(item));
        }
    }
    Items = std::move(failed);
    return count;
}

// ---------------------------------------------------------------------------
// Shortcuts

bool MoveShortcutToDelayed(const TqvFoundStartup& Entry)
{
    if (!Entry.Shortcut || !FileExistsEx(Entry.ShortcutPath))
        return false;
    const std::string& dir = Entry.PerUser ? UserStartupDir() : CommonStartupDir();
    if (dir.empty())
        return false;
    const TFileSecurity security =
        Entry.PerUser ? TFileSecurity::Inherit : TFileSecurity::Protected;
    // The all-users folder gets its protection again on every use.
    if ((!Entry.PerUser || !DirectoryExistsEx(dir)) && !CreateDirectoryPath(dir, security, true))
        return false;
    const std::string target = IncludeTrailingBackslash(dir) + FileNameOf(Entry.ShortcutPath);
    // The copy replaces a same-named file only once it is complete.
    if (!CopyFileTo(Entry.ShortcutPath, target, false, true) || !FileExistsEx(target))
        return false;
    return DeleteFileForced(Entry.ShortcutPath);
}

TDelayedCount MoveDelayedShortcutsBack(const std::string& DelayedDir, const std::string& StartupDir,
                                       bool TrustedOnly)
{
    TDelayedCount count;
    if (DelayedDir.empty() || !DirectoryExistsEx(DelayedDir))
        return count;
    if (TrustedOnly) {
        ProtectFolder(DelayedDir);
        if (!IsTrustedPath(DelayedDir)) {
            StartupLog("Delayed shortcut folder not trusted, nothing moved back: " + DelayedDir);
            ++count.Failed;
            return count;
        }
    }
    TFileList list;
    FindFilesRecursive(IncludeTrailingBackslash(DelayedDir) + "*.lnk", &list, false);
    for (const TFoundFile& found : list) {
        if (found.IsFolder() || (found.Attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (TrustedOnly && !IsTrustedPath(found.Path)) {
            // Moved into the all-users Startup folder it would run for
            // everybody: a shortcut anyone may have put here stays.
            StartupLog("Delayed shortcut not trusted, not moved back: " + found.Path);
            ++count.Failed;
            continue;
        }
        bool back = false;
        if (!StartupDir.empty()) {
            const std::string target =
                IncludeTrailingBackslash(StartupDir) + FileNameOf(found.Path);
            if (FileExistsEx(target))
                back = true; // the user's own shortcut of that name stays
            else
                back = CopyFileTo(found.Path, target, false, false) &&
                       SameSizeFiles(found.Path, target);
        }
        if (back && DeleteFileForced(found.Path)) {
            ++count.Restored;
        } else {
            ++count.Failed;
            StartupLog("Delayed shortcut not moved back: " + found.Path);
        }
    }
    return count;
}

// ---------------------------------------------------------------------------
// Restore

bool TDelayedRestoreReport::AnyFailed() const
{
    return CommonList.Failed || UserList.Failed || UserShortcuts.Failed || CommonShortcuts.Failed;
}

namespace {

TDelayedCount RestoreList(bool PerUser)
{
    TDelayedCount count;
    TqvAllRunItems list(PerUser);
    const std::string file = list.GetFileName();
    switch (list.Load()) {
    case TStartupListState::Missing:
        return count;
    case TStartupListState::Damaged:
        // Nothing of it is trusted enough to write into a Run key.
        count.Failed = 1;
        SetDamagedFileAside(file);
        return count;
    case TStartupListState::Loaded:
        break;
    }
    const TqvAllRunItems::TRestoreCount written = list.RestoreAll();
    count.Restored = written.Restored;
    count.Failed = written.Failed;
    if (list.Items.empty()) {
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(file.c_str());
    } else if (!list.WriteListFile()) {
        // The old file still holds every item: a later restore writes the
        // restored ones again, which changes nothing.
        StartupLog("Startup list not rewritten: " + file);
    }
    return count;
}

} // namespace

TDelayedRestoreReport RestoreDelayedStartupItems()
{
    TDelayedRestoreReport report;
    StartupLog("Restoring delayed startup items");
    Guard([&] { report.CommonList = RestoreList(false); });
    Guard([&] { report.UserList = RestoreList(true); });
    Guard([&] {
        report.UserShortcuts = MoveDelayedShortcutsBack(UserStartupDir(), GetUserStartupFolder());
    });
    Guard([&] {
        report.CommonShortcuts =
            MoveDelayedShortcutsBack(CommonStartupDir(), GetCommonStartupFolder(), true);
    });
    return report;
}

// ---------------------------------------------------------------------------
// Seams

TRunValueWrite SetRunValueWriteForTests(TRunValueWrite Write) noexcept
{
    return std::exchange(gRunValueWrite, Write);
}

TStartupFileWrite SetStartupFileWriteForTests(TStartupFileWrite Write) noexcept
{
    return std::exchange(gStartupFileWrite, Write);
}
