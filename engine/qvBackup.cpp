#include "engine/qvBackup.h"

#include "engine/qvCleanRep.h"
#include "engine/qvScanTools.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/RegistryU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/XmlU.h"
#include "platform/qvCommon.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>

namespace {

// The lines of the open backup, each ended by CR LF, gathered in blocks of
// about 64 KiB: a repair of many thousand keys holds every line until its
// file is written, and one string per line would cost more than its text.
class TBackupLines {
public:
    bool Empty() const noexcept { return blocks_.empty(); }
    void Add(std::string_view Line)
    {
        constexpr size_t kBlockSize = 65536;
        const size_t needed = Line.size() + 2;
        if (blocks_.empty() || blocks_.back().size() + needed > blocks_.back().capacity()) {
            blocks_.emplace_back();
            blocks_.back().reserve(std::max(kBlockSize, needed));
        }
        blocks_.back() += Line;
        blocks_.back() += "\r\n";
    }
    void Add(const std::vector<std::string>& Lines)
    {
        for (const std::string& line : Lines)
            Add(line);
    }
    const std::vector<std::string>& Blocks() const noexcept { return blocks_; }

private:
    std::vector<std::string> blocks_;
};

// The open backup of the process.
struct TOpenBackup {
    bool Open = false;
    uint8_t Type = 0;
    std::wstring Name;
    TBackupLines Lines;
};
TOpenBackup gBackup;

enum class TRead { Ok, Missing, Failed };

TRead ReadOf(LONG Result)
{
    if (Result == ERROR_SUCCESS)
        return TRead::Ok;
    return Result == ERROR_FILE_NOT_FOUND ? TRead::Missing : TRead::Failed;
}

// A key opened through both the 8-bit and the wide functions, in the thread's
// view. Both must agree: a key that only one of them reaches is a name the
// code page does not hold.
struct TBothKeys {
    TRegKey Ansi;
    TRegKey Wide;
};

TRead OpenBoth(HKEY Root, const std::string& Key, TBothKeys& Keys)
{
    // No call opens a key whose name holds a NUL: the part before it would be
    // another key, recorded (and restored) in its place.
    if (RegNameHoldsNul(Key))
        return TRead::Failed;
    const REGSAM access = KEY_READ | RegViewAccessBit();
    const TRead ansi = ReadOf(RegOpenKeyExA(Root, Key.c_str(), 0, access, Keys.Ansi.put()));
    const TRead wide =
        ReadOf(RegOpenKeyExW(Root, WideFromAnsi(Key).c_str(), 0, access, Keys.Wide.put()));
    return ansi == wide ? ansi : TRead::Failed;
}

// The value's type and bytes; the buffer follows the size the system reports.
template <typename Char, typename Query>
TRead QueryValue(Query Fn, HKEY Key, const Char* Name, DWORD& Type, std::vector<BYTE>& Data)
{
    DWORD size = 0;
    LONG result = Fn(Key, Name, nullptr, &Type, nullptr, &size);
    for (int attempt = 0; attempt < 4 && result == ERROR_SUCCESS; ++attempt) {
        // Two spare bytes: a string that grew by its terminator still fits.
        Data.assign(size + 2, 0);
        DWORD got = static_cast<DWORD>(Data.size());
        result = Fn(Key, Name, nullptr, &Type, Data.data(), &got);
        if (result == ERROR_SUCCESS) {
            Data.resize(got);
            return TRead::Ok;
        }
        if (result == ERROR_MORE_DATA) {
            size = got;
            result = ERROR_SUCCESS;
        }
    }
    return ReadOf(result == ERROR_SUCCESS ? ERROR_MORE_DATA : result);
}

std::string Attribute(std::string_view Name, std::string_view Text)
{
    std::string out = " ";
    out += Name;
    out += "=\"";
    out += Text;
    out += '"';
    return out;
}

// One entry line. Value is written as given (already in its stored form).
std::string EntryLine(HKEY Root, const std::string& Key, const std::string& Name,
                      const std::string& Value, const std::string& Type, const std::string& RawType,
                      bool Is64, const char* Fix)
{
    std::string line = "    <reg";
    line += Attribute("root", RegRootToName(Root));
    line += Attribute("key", EscapeHashHex(Key));
    line += Attribute("name", EscapeHashHex(Name));
    line += Attribute("value", Value);
    line += Attribute("type", Type);
    if (!RawType.empty())
        line += Attribute("rtype", RawType);
    if (Is64)
        line += Attribute("is64", "1");
    line += Attribute("scan", "backup");
    line += Attribute("fix", Fix);
    line += " />";
    return line;
}

std::string DeleteLine(HKEY Root, const std::string& Key, const std::string& Name, bool Is64)
{
    return EntryLine(Root, Key, Name, "", "backup", "", Is64, "del");
}

// Terminators the registry layer adds when it writes a text of the kind.
size_t WrittenTerminators(DWORD Type)
{
    return Type == REG_MULTI_SZ ? 2 : 1;
}

// Records the value Name of an open key as one line. Missing when neither
// form finds it; Failed when it cannot be read or a text of it does not
// survive the code page.
TRead RecordValue(TBothKeys& Keys, HKEY Root, const std::string& Key, const std::string& Name,
                  bool Is64, std::vector<std::string>& Lines)
{
    DWORD typeAnsi = 0;
    DWORD typeWide = 0;
    std::vector<BYTE> ansi;
    std::vector<BYTE> wide;
    const std::wstring wideName = WideFromAnsi(Name);
    // A name that holds a NUL is read whole through the counted calls; the
    // terminated ones would read the value named by its first part.
    const bool counted = RegNameHoldsNul(Name);
    const TRead readAnsi =
        counted ? ReadOf(RegQueryValueCountedA(Keys.Ansi.get(), Name, typeAnsi, ansi))
                : QueryValue<char>(&RegQueryValueExA, Keys.Ansi.get(), Name.c_str(), typeAnsi,
                                   ansi);
    const TRead readWide =
        counted ? ReadOf(RegQueryValueCounted(Keys.Wide.get(), wideName, typeWide, wide))
                : QueryValue<wchar_t>(&RegQueryValueExW, Keys.Wide.get(), wideName.c_str(),
                                      typeWide, wide);
    if (readAnsi != readWide)
        return TRead::Failed;
    if (readAnsi != TRead::Ok)
        return readAnsi;
    if (typeAnsi != typeWide)
        return TRead::Failed;

    std::string value;
    std::string kind;
    std::string rawType;
    auto asRawBytes = [&] {
        value = RegBytesToHex(ansi);
        kind = RegTypeToName(REG_BINARY);
        if (typeAnsi != REG_BINARY)
            rawType = IntToStr(typeAnsi);
    };
    switch (typeAnsi) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: {
        if (wide.size() % sizeof(wchar_t) != 0)
            return TRead::Failed;
        std::wstring wideText(wide.size() / sizeof(wchar_t), L'\0');
        if (!wideText.empty())
            memcpy(wideText.data(), wide.data(), wide.size());
        const std::string text(ansi.begin(), ansi.end());
        // A character the code page lacks would come back as "?".
        if (WideFromAnsi(text) != wideText)
            return TRead::Failed;
        std::string cut = text;
        for (size_t n = 0; n < WrittenTerminators(typeAnsi) && !cut.empty() && cut.back() == '\0';
             ++n)
            cut.pop_back();
        // Data whose terminators the writer would not give back as they are
        // is kept byte for byte.
        if (cut + std::string(WrittenTerminators(typeAnsi), '\0') == text) {
            value = EscapeHashHex(cut);
            kind = RegTypeToName(typeAnsi);
        } else {
            asRawBytes();
        }
        break;
    }
    case REG_DWORD:
        if (ansi.size() == sizeof(DWORD)) {
            DWORD number = 0;
            memcpy(&number, ansi.data(), sizeof(number));
            char text[16];
            snprintf(text, sizeof(text), "$%08lX", static_cast<unsigned long>(number));
            value = text;
            kind = RegTypeToName(REG_DWORD);
        } else {
            asRawBytes();
        }
        break;
    default:
        asRawBytes();
        break;
    }
    Lines.push_back(EntryLine(Root, Key, Name, value, kind, rawType, Is64, "value"));
    return TRead::Ok;
}

// The names of an open key through both functions; False unless the wide
// list is exactly the 8-bit list widened (every name enumerated, none
// changed by the code page).
bool EnumBoth(TBothKeys& Keys, bool SubKeys, std::vector<std::string>& Names)
{
    std::vector<std::string> ansiNames;
    std::vector<char> ansiBuffer(32768);
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(ansiBuffer.size());
        const LONG result = SubKeys ? RegEnumKeyExA(Keys.Ansi.get(), i, ansiBuffer.data(), &length,
                                                    nullptr, nullptr, nullptr, nullptr)
                                    : RegEnumValueA(Keys.Ansi.get(), i, ansiBuffer.data(), &length,
                                                    nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            return false;
        ansiNames.emplace_back(ansiBuffer.data(), length);
    }
    std::vector<wchar_t> wideBuffer(32768);
    size_t count = 0;
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(wideBuffer.size());
        const LONG result = SubKeys ? RegEnumKeyExW(Keys.Wide.get(), i, wideBuffer.data(), &length,
                                                    nullptr, nullptr, nullptr, nullptr)
                                    : RegEnumValueW(Keys.Wide.get(), i, wideBuffer.data(), &length,
                                                    nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || count >= ansiNames.size())
            return false;
        if (WideFromAnsi(ansiNames[count]) != std::wstring(wideBuffer.data(), length))
            return false;
        ++count;
    }
    if (count != ansiNames.size())
        return false;
    Names = std::move(ansiNames);
    return true;
}

bool RecordKey(HKEY Root, const std::string& Key, bool Is64, std::vector<std::string>& Lines)
{
    TBothKeys keys;
    const TRead opened = OpenBoth(Root, Key, keys);
    if (opened == TRead::Missing) {
        Lines.push_back(DeleteLine(Root, Key, "", Is64));
        return true;
    }
    if (opened != TRead::Ok)
        return false;
    Lines.push_back(EntryLine(Root, Key, "", "", "backup", "", Is64, "key"));
    if (RecordValue(keys, Root, Key, "", Is64, Lines) == TRead::Failed)
        return false;
    std::vector<std::string> values;
    if (!EnumBoth(keys, false, values))
        return false;
    for (const std::string& name : values) {
        // The default value is recorded above.
        if (name.empty())
            continue;
        if (RecordValue(keys, Root, Key, name, Is64, Lines) != TRead::Ok)
            return false;
    }
    std::vector<std::string> subKeys;
    if (!EnumBoth(keys, true, subKeys))
        return false;
    const std::string parent = EndsWithBackslash(Key) ? Key : Key + "\\";
    for (const std::string& name : subKeys) {
        if (name.empty())
            continue;
        if (!RecordKey(Root, parent + name, Is64, Lines))
            return false;
    }
    return true;
}

// The highest level of Key that does not exist, below one that does (Key
// itself when its parent exists), in the thread's view.
std::string TopmostMissing(HKEY Root, const std::string& Key)
{
    std::string missing = Key;
    for (;;) {
        const size_t slash = LastDelimiter(missing, "\\");
        if (slash == std::string::npos || slash == 0)
            return missing;
        const std::string parent = missing.substr(0, slash);
        TBothKeys keys;
        if (OpenBoth(Root, parent, keys) != TRead::Missing)
            return missing;
        missing = parent;
    }
}

const char* TypeText(uint8_t Type)
{
    return Type == kBackupFix ? "fix" : Type == kBackupBoost ? "boost" : "";
}

bool WriteBackupFile()
{
    const TDateTime now = Now();
    const std::string& dir = BackupDir();
    if (dir.empty())
        return false;
    if (!CommonDataDir().empty() &&
        !CreateDirectoryPath(CommonDataDir(), TFileSecurity::Protected, true))
        return false;
    if (!CreateDirectoryPath(dir, TFileSecurity::Protected, true) || !DirectoryExistsEx(dir))
        return false;
    const std::string head = "<backup" + Attribute("type", TypeText(gBackup.Type)) +
                             Attribute("name", EscapeHashHex(Utf8FromWide(gBackup.Name))) +
                             Attribute("date", EscapeHashHex(BackupDateText(now))) + ">\r\n";
    const std::string file = dir + BackupFileName(gBackup.Type, now);
    // Streamed in blocks: a repair of many thousand keys would otherwise hold
    // its whole file text beside its lines.
    const auto write = [&head](TStreamWriter& Writer) {
        TBlockWriter out(Writer);
        out.Add(head);
        for (const std::string& block : gBackup.Lines.Blocks())
            out.Add(block);
        out.Add("</backup>\r\n");
        return out.Finish();
    };
    if (!SaveFileAtomic(file, write, TFileSecurity::Protected)) {
        qvLog("Backup not written: " + file);
        return false;
    }
    qvLog("Backup written: " + file);
    return true;
}

class TFileBackupWriter : public TqvBackupWriter {
public:
    void BeginBackup(uint8_t Type, const std::wstring& Name) override { ::BeginBackup(Type, Name); }
    bool IsBackupOpen() override { return ::IsBackupOpen(); }
    bool BackupRegValue(HKEY Root, const std::string& Key, const std::string& Name,
                        bool Is64) override
    {
        return ::BackupRegValue(Root, Key, Name, Is64);
    }
    bool BackupRegKey(HKEY Root, const std::string& Key, bool Is64) override
    {
        return ::BackupRegKey(Root, Key, Is64);
    }
    bool EndBackup() override { return ::EndBackup(); }
};

// "yyyymmdd_hhnnss" right before the extension.
bool StampOf(const std::string& FileName, TDateTime& When)
{
    const size_t dot = FileName.rfind('.');
    if (dot == std::string::npos || dot < 15)
        return false;
    const std::string stamp = FileName.substr(dot - 15, 15);
    for (size_t i = 0; i < stamp.size(); ++i)
        if (i == 8 ? stamp[i] != '_' : (stamp[i] < '0' || stamp[i] > '9'))
            return false;
    auto number = [&stamp](size_t From, size_t Count) {
        return static_cast<WORD>(std::stoi(stamp.substr(From, Count)));
    };
    SYSTEMTIME st{};
    st.wYear = number(0, 4);
    st.wMonth = number(4, 2);
    st.wDay = number(6, 2);
    st.wHour = number(9, 2);
    st.wMinute = number(11, 2);
    st.wSecond = number(13, 2);
    return TrySystemTimeToDateTime(st, When);
}

} // namespace

// ---------------------------------------------------------------------------
// The writer

void BeginBackup(uint8_t Type, const std::wstring& Name)
{
    if (gBackup.Open)
        return;
    gBackup.Open = true;
    gBackup.Type = Type;
    gBackup.Name = Name;
    gBackup.Lines = TBackupLines{};
}

bool IsBackupOpen()
{
    return gBackup.Open;
}

bool BackupRegValue(HKEY Root, const std::string& Key, const std::string& Name, bool Is64)
{
    if (!gBackup.Open)
        return false;
    TItemViewScope view(Is64);
    TBothKeys keys;
    const TRead opened = OpenBoth(Root, Key, keys);
    if (opened == TRead::Missing) {
        // The key did not exist either: the repair will create it and its
        // missing parents, and the restore removes them again rather than
        // leave them empty behind.
        if (!Name.empty())
            gBackup.Lines.Add(DeleteLine(Root, Key, Name, Is64));
        gBackup.Lines.Add(DeleteLine(Root, TopmostMissing(Root, Key), "", Is64));
        return true;
    }
    if (opened != TRead::Ok)
        return false;
    std::vector<std::string> lines;
    switch (RecordValue(keys, Root, Key, Name, Is64, lines)) {
    case TRead::Ok:
        gBackup.Lines.Add(lines);
        return true;
    case TRead::Missing:
        // A key without a default value has nothing to record.
        if (!Name.empty())
            gBackup.Lines.Add(DeleteLine(Root, Key, Name, Is64));
        return true;
    default:
        qvLog("Backup refused: " + RegRootToName(Root) + "\\" + Key + "\\#" + Name);
        return false;
    }
}

bool BackupRegKey(HKEY Root, const std::string& Key, bool Is64)
{
    if (!gBackup.Open)
        return false;
    TItemViewScope view(Is64);
    std::vector<std::string> lines;
    if (!RecordKey(Root, Key, Is64, lines)) {
        qvLog("Backup refused: " + RegRootToName(Root) + "\\" + Key);
        return false;
    }
    gBackup.Lines.Add(lines);
    return true;
}

bool EndBackup()
{
    bool written = true;
    if (gBackup.Open) {
        if (gBackup.Type != 0 && !gBackup.Lines.Empty())
            written = WriteBackupFile();
        gBackup = TOpenBackup{};
    }
    SaveCleanReportIfChanged();
    return written;
}

TqvBackupWriter* DefaultBackupWriter()
{
    static TFileBackupWriter writer;
    return &writer;
}

std::string BackupFileName(uint8_t Type, TDateTime When)
{
    const SYSTEMTIME st = DateTimeToSystemTime(When);
    char stamp[32];
    snprintf(stamp, sizeof(stamp), "%04u%02u%02u_%02u%02u%02u", st.wYear, st.wMonth, st.wDay,
             st.wHour, st.wMinute, st.wSecond);
    return std::string(TypeText(Type)) + "_" + stamp + ".xml";
}

std::string BackupDateText(TDateTime When)
{
    const SYSTEMTIME st = DateTimeToSystemTime(When);
    char date[128] = {};
    char time[128] = {};
    if (!GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, sizeof(date)))
        date[0] = '\0';
    if (!GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, sizeof(time)))
        time[0] = '\0';
    return std::string(date) + " " + time;
}

// ---------------------------------------------------------------------------
// TqvBackup

TqvBackup::TqvBackup(const std::string& Path) : FileName(Path)
{
    if (!FileExistsEx(FileName))
        return;
    TXML xml;
    // A file cut short is no backup: restoring a part of it would leave the
    // registry half way.
    if (!xml.LoadFromFile(FileName) || !xml.Complete())
        return;
    TXMLTag* root = xml.Root()->FindFirst("backup");
    if (!root)
        return;
    Caption = WideFromUtf8(UnescapeHashHex(TXMLTag::GetAttribute(root, "name")));
    Date = WideFromAnsi(UnescapeHashHex(TXMLTag::GetAttribute(root, "date")));
    const std::string type = LowerCase(TXMLTag::GetAttribute(root, "type"));
    Type = type == "fix" ? kBackupFix : type == "boost" ? kBackupBoost : 0;
}

TqvBackup::TResult TqvBackup::Restore()
{
    TResult result;
    RestoreItems.clear();
    if (Type == 0)
        return result;
    // The restore writes HKLM with the program's rights: a file that anyone
    // but an administrator may have written is not applied.
    if (!IsTrustedFile(FileName, true)) {
        qvLog("Backup not trusted, not restored: " + FileName);
        ++result.Failed;
        return result;
    }
    TXML xml;
    if (!xml.LoadFromFile(FileName) || !xml.Complete())
        return result;
    TXMLTag* root = xml.Root()->FindFirst("backup");
    if (!root)
        return result;
    qvLog("Restoring backup: " + FileName);
    for (const auto& child : root->Children()) {
        if (LowerCase(child->Name) != "reg")
            continue;
        auto item = std::make_unique<TqvRegItem>(nullptr);
        item->LoadFromXML(child.get());
        // A key with a NUL ("#00") cannot be opened by the 8-bit calls: they
        // would act on the key cut at the NUL, another key (an empty key path
        // is the root itself). Value names with a NUL go whole through the
        // counted calls.
        if (item->ScanKind != kRegScanBackup || item->FixKind == kRegFixNone || !item->Root ||
            item->Key.empty() || item->Key.find('\0') != std::string::npos) {
            qvLog("Restore: invalid line skipped");
            ++result.Failed;
            continue;
        }
        // No call can reach a key whose name holds a NUL, nor tell that it is
        // absent: the line cannot be applied.
        if (RegNameHoldsNul(item->Key)) {
            qvLog("Restore: key name holds a NUL, line skipped: " + EscapeHashHex(item->Key));
            ++result.Failed;
            continue;
        }
        RestoreItems.push_back(std::move(item));
    }
    for (const auto& item : RestoreItems) {
        if (item->FixKind == kRegFixDel) {
            TItemViewScope view(item->Is64);
            const bool present = item->Name.empty()
                                     ? RegKeyExists(item->Root, item->Key)
                                     : RegValueExists(item->Root, item->Key, item->Name);
            if (!present) {
                ++result.Applied;
                continue;
            }
        }
        bool applied = false;
        TqvRegItem* entry = item.get();
        Guard([&] { applied = entry->ApplyFix(); });
        if (applied) {
            ++result.Applied;
        } else {
            ++result.Failed;
            qvLog("Restore failed: " + RegRootToName(entry->Root) + "\\" + entry->Key + "\\#" +
                  entry->Name);
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// TqvBackups

void TqvBackups::Load()
{
    // Every user may make folders in the all-users data folder: ours get
    // their protection again before anything in them is believed.
    for (const std::string& folder : {CommonDataDir(), BackupDir()})
        if (!folder.empty() && DirectoryExistsEx(folder))
            ProtectFolder(folder);
    LoadFrom(BackupDir());
}

void TqvBackups::LoadFrom(const std::string& Folder)
{
    FixBackups.clear();
    BoostBackups.clear();
    if (Folder.empty() || !DirectoryExistsEx(Folder))
        return;
    if (!IsTrustedPath(Folder)) {
        qvLog("Backup folder not trusted, nothing listed: " + Folder);
        return;
    }
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((Folder + "*.xml").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = data.cFileName;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == "." || name == "..")
            continue;
        // The search also matches longer extensions through short names.
        if (name.size() < 4 || !SameText(name.substr(name.size() - 4), ".xml"))
            continue;
        if (!IsTrustedPath(Folder + name)) {
            qvLog("Backup not trusted, not listed: " + Folder + name);
            continue;
        }
        auto backup = std::make_unique<TqvBackup>(Folder + name);
        if (!StampOf(name, backup->SortTime))
            backup->SortTime = UtcToLocal(FileTimeToDateTime(data.ftLastWriteTime));
        if (backup->Type == kBackupFix)
            FixBackups.push_back(std::move(backup));
        else if (backup->Type == kBackupBoost)
            BoostBackups.push_back(std::move(backup));
    } while (FindNextFileA(find, &data));
    FindClose(find);
    // The rescue centre trims from the end of a list: the oldest must be there.
    auto newestFirst = [](const auto& A, const auto& B) { return A->SortTime > B->SortTime; };
    std::stable_sort(FixBackups.begin(), FixBackups.end(), newestFirst);
    std::stable_sort(BoostBackups.begin(), BoostBackups.end(), newestFirst);
}
