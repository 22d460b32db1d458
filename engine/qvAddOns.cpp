#include "engine/qvAddOns.h"

#include "engine/qvScanTools.h"
#include "engine/qvScanners.h"
#include "platform/FileUtilsU.h"
#include "platform/FirefoxU.h"
#include "platform/GuardU.h"
#include "platform/RegistryU.h"
#include "platform/SQLiteTable3.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/XmlU.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr char kDisabledAttr[] = "NS1:userDisabled=\"true\"";
constexpr char kNeedsEnableAttr[] = "NS1:userDisabled=\"needs-enable\"";
constexpr DWORD kCollectSleepMs = 3000;
constexpr DWORD kCollectLockWaitMs = 5000;

std::atomic<TAddOnTickSource> gTempTick{nullptr};

// The part of a list line before its first "=".
std::string_view ListKey(std::string_view Line)
{
    return Line.substr(0, Line.find('='));
}

bool ListKeyLess(const std::string& A, const std::string& B)
{
    return ListKey(A) < ListKey(B);
}

// Stable, by key, each key found once: a sort through ListKeyLess looks for
// the '=' of a line at each comparison, and a merge compares one line with
// many, so one long key among thousands made the catalogue load take most of
// a second.
void SortByKey(std::vector<std::string>& List)
{
    std::vector<std::pair<std::string_view, size_t>> keys;
    keys.reserve(List.size());
    for (size_t i = 0; i < List.size(); ++i)
        keys.emplace_back(ListKey(List[i]), i);
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> sorted;
    sorted.reserve(List.size());
    for (const auto& key : keys)
        sorted.push_back(std::move(List[key.second]));
    List.swap(sorted);
}

std::string Escape(std::string_view Text)
{
    return XmlEscapeText(Text, false, false);
}

std::string Attr(const TXMLTag* Tag, std::string_view Name)
{
    return Trim(TXMLTag::GetAttribute(Tag, Name));
}

// The RDF files of one repair: listed once (each profile's "extensions.cache"
// deleted on the way) and each parsed once, however many extensions are
// switched off; the files whose text changed are written back at the end.
class TRDFEditSession {
public:
    void Disable(const std::string& ProfilesFolder, const std::string& FirefoxId)
    {
        if (!listed_) {
            listed_ = true;
            for (const std::string& profile : ListProfileFolders(ProfilesFolder)) {
                const std::string cache = profile + "extensions.cache";
                if (FileExistsEx(cache) && DeleteFileForced(cache))
                    qvLog("File deleted: " + cache);
                const std::string file = profile + "extensions.rdf";
                parsers_.emplace_back(file, LoadRDFFile(file));
            }
        }
        for (auto& [file, parser] : parsers_)
            if (parser &&
                !parser->ReplaceAttribute(FirefoxId, kDisabledAttr, kNeedsEnableAttr).empty())
                qvLog("Disabled in " + file + ": " + FirefoxId);
    }

    // Rewrites the files whose text changed, each replaced atomically with
    // its bytes as they are.
    void Commit()
    {
        for (auto& [file, parser] : parsers_) {
            if (!parser || !parser->Changed())
                continue;
            if (SaveFileAtomic(file, parser->Text))
                qvLog("File written: " + file);
            else
                qvLog("File not written: " + file);
        }
        parsers_.clear();
    }

private:
    bool listed_ = false;
    std::vector<std::pair<std::string, std::unique_ptr<TRDFPartialParser>>> parsers_;
};

// The session of the running Clean; null outside one (an item read back by a
// list then edits and writes within its own Fix).
TRDFEditSession* gRDFSession = nullptr;

class TRDFSessionScope {
public:
    explicit TRDFSessionScope(TRDFEditSession& Session) { gRDFSession = &Session; }
    ~TRDFSessionScope() { gRDFSession = nullptr; }
    TRDFSessionScope(const TRDFSessionScope&) = delete;
    TRDFSessionScope& operator=(const TRDFSessionScope&) = delete;
};

std::string Hex5(DWORD Value)
{
    char text[8] = {};
    std::snprintf(text, sizeof(text), "%05lX", static_cast<unsigned long>(Value & 0xFFFFF));
    return text;
}

} // namespace

// ---------------------------------------------------------------------------
// Process-wide Firefox state

int AddOnFirefoxMajorVersion()
{
    static const int major = GetFirefoxMajorVersion();
    return major;
}

bool EnsureFirefoxSQLite()
{
    static const bool loaded = [] {
        const std::string folder = GetFirefoxFolder();
        if (folder.empty()) {
            qvLog("No trusted Firefox folder: the SQLite library is not loaded");
            return false;
        }
        std::string name;
        LoadFirefoxSQLite(folder, name);
        qvLog("Firefox SQLite library: " + (name.empty() ? std::string("none") : folder + name));
        return !name.empty();
    }();
    return loaded;
}

TAddOnTickSource SetAddOnTempTickForTests(TAddOnTickSource Source) noexcept
{
    return gTempTick.exchange(Source);
}

// ---------------------------------------------------------------------------
// TqvAddOnRepairItem

TqvAddOnRepairItem::TqvAddOnRepairItem(TqvItems* Owner, TqvAddOnItem* Record,
                                       std::shared_ptr<TqvAddOnItems> Verdicts)
    : TqvItem(Owner), Record(Record), Verdicts(std::move(Verdicts))
{
    Found = true;
    Selected = true;
    Data = Record;
}

void TqvAddOnRepairItem::LoadRecordValues(TXMLTag* Tag)
{
    Id = Attr(Tag, "id");
    Name = Attr(Tag, "name");
    Path = Attr(Tag, "path");
    Source = Attr(Tag, "source");
    Caption = WideFromAnsi(Name);
}

void TqvAddOnRepairItem::TakeRecordValues()
{
    if (!Record)
        return;
    // Not had in time: the values are read all the same.
    TAddOnLockHold hold(kAddOnLockWaitMs);
    Id = Record->Id;
    Name = AnsiFromWide(Record->Name);
    Path = Record->Path;
    Source = Record->Source;
}

void TqvAddOnRepairItem::ReportSwitchedOff() const
{
    if (!Verdicts)
        return;
    if (Record)
        Verdicts->AddToReport(Record);
    else
        Verdicts->AddToReport(Id, WideFromAnsi(Name), Path, Source);
}

// ---------------------------------------------------------------------------
// TqvIExploreAddOn

TqvIExploreAddOn::TqvIExploreAddOn(TqvItems* Owner, std::string Clsid, TqvAddOnItem* Record,
                                   std::shared_ptr<TqvAddOnItems> Verdicts)
    : TqvAddOnRepairItem(Owner, Record, std::move(Verdicts)), Clsid(std::move(Clsid))
{
}

std::string TqvIExploreAddOn::SettingsKey() const
{
    return std::string(kIEExtSettingsKey) + "\\" + Clsid;
}

void TqvIExploreAddOn::LoadFromXML(TXMLTag* Tag)
{
    LoadRecordValues(Tag);
}

std::string TqvIExploreAddOn::GetXML()
{
    TakeRecordValues();
    std::string out;
    if (!Clsid.empty()) {
        // The settings values the repair writes, as the list lines that write them.
        auto setting = [this](const char* ValueName, const char* Value, DWORD Type) {
            TqvRegItem item(Owner);
            item.Root = HKEY_CURRENT_USER;
            item.Key = SettingsKey();
            item.Name = ValueName;
            item.Value = Value;
            item.Type = Type;
            item.ScanKind = kRegScanValue;
            item.FixKind = kRegFixValue;
            return item.GetXML() + "\r\n";
        };
        out += setting("Flags", "1", REG_DWORD);
        out += setting("Version", "*", REG_SZ);
    }
    out += "<ieaddon id=\"" + Escape(Id) + "\" name=\"" + Escape(Name) + "\" path=\"" +
           Escape(Path) + "\" source=\"" + Escape(Source) + "\" />";
    return out;
}

bool TqvIExploreAddOn::Backup()
{
    bool recorded = true;
    if (Replacement) {
        recorded = Replacement->Backup();
    } else if (!Clsid.empty()) {
        TqvMain* engine = Engine();
        TqvBackupWriter* writer = engine ? engine->BackupWriter : nullptr;
        recorded = false;
        if (writer && writer->IsBackupOpen()) {
            TRegViewScope view(RegView32, RegView64);
            SetThreadRegistryView(Is64);
            const std::string key = SettingsKey();
            if (!RegKeyExists(HKEY_CURRENT_USER, key)) {
                // The repair creates every missing level: the restore removes
                // the topmost of them, leaving the registry as it was.
                std::string missing = key;
                for (size_t slash = missing.rfind('\\'); slash != std::string::npos;
                     slash = missing.rfind('\\')) {
                    const std::string parent = missing.substr(0, slash);
                    if (RegKeyExists(HKEY_CURRENT_USER, parent))
                        break;
                    missing = parent;
                }
                recorded = writer->BackupRegKey(HKEY_CURRENT_USER, missing, Is64);
            } else
                recorded = writer->BackupRegValue(HKEY_CURRENT_USER, key, "Flags", Is64) &&
                           writer->BackupRegValue(HKEY_CURRENT_USER, key, "Version", Is64);
        }
    }
    backupRefused_ = !recorded;
    if (!recorded)
        qvLog("Backup refused, not repaired: IE add-on " + Clsid);
    return recorded;
}

bool TqvIExploreAddOn::Fix()
{
    if (!Found || !Selected || backupRefused_)
        return false;
    bool done = true;
    if (Replacement) {
        done = Replacement->Fix();
    } else if (!Clsid.empty()) {
        TRegViewScope view(RegView32, RegView64);
        SetThreadRegistryView(Is64);
        const std::string key = SettingsKey();
        qvLog("Switch off IE add-on: HKCU\\" + key);
        const bool flags = RegWriteDWord(HKEY_CURRENT_USER, key, "Flags", 1);
        const bool version = RegWriteString(HKEY_CURRENT_USER, key, "Version", "*");
        done = flags && version;
    }
    TakeRecordValues();
    ReportSwitchedOff();
    return done;
}

// ---------------------------------------------------------------------------
// TqvFirefoxAddOn

TqvFirefoxAddOn::TqvFirefoxAddOn(TqvItems* Owner, std::string FirefoxId, TqvAddOnItem* Record,
                                 std::shared_ptr<TqvAddOnItems> Verdicts)
    : TqvAddOnRepairItem(Owner, Record, std::move(Verdicts)), FirefoxId(std::move(FirefoxId))
{
}

void TqvFirefoxAddOn::LoadFromXML(TXMLTag* Tag)
{
    FirefoxId = Attr(Tag, "ffid");
    LoadRecordValues(Tag);
}

std::string TqvFirefoxAddOn::GetXML()
{
    TakeRecordValues();
    return "<ffaddon ffid=\"" + Escape(FirefoxId) + "\" id=\"" + Escape(Id) + "\" name=\"" +
           Escape(Name) + "\" path=\"" + Escape(Path) + "\" source=\"" + Escape(Source) + "\" />";
}

bool TqvFirefoxAddOn::Fix()
{
    if (!Found || !Selected)
        return false;
    if (ProfilesFolder.empty())
        GetFirefoxProfilesFolder(ProfilesFolder);
    bool done = false;
    // An item read back without its Firefox id has nothing to switch off; it
    // is only reported.
    if (!ProfilesFolder.empty() && !FirefoxId.empty()) {
        if (AddOnFirefoxMajorVersion() >= 4) {
            const std::string sql = "UPDATE addon SET userDisabled = 1, active = 0  WHERE id = '" +
                                    QuotedLiteral(FirefoxId) + "'";
            const bool library = EnsureFirefoxSQLite();
            for (const std::string& profile : ListProfileFolders(ProfilesFolder)) {
                const std::string database = profile + "extensions.sqlite";
                if (library && FileExistsEx(database)) {
                    const bool updated = Guard([&] {
                        TSQLiteDatabase db(database);
                        if (db.TableExists("addon")) {
                            db.ExecSQL(sql);
                            qvLog("Disabled in " + database + ": " + FirefoxId);
                        }
                    });
                    done = done || updated;
                }
                // Firefox rebuilds it from the database at its next start.
                const std::string ini = profile + "extensions.ini";
                if (FileExistsEx(ini))
                    DeleteFileForced(ini);
            }
        } else {
            TRDFEditSession own;
            TRDFEditSession& session = gRDFSession ? *gRDFSession : own;
            session.Disable(ProfilesFolder, FirefoxId);
            if (&session == &own)
                own.Commit();
            done = true;
        }
    }
    TakeRecordValues();
    ReportSwitchedOff();
    return done;
}

// ---------------------------------------------------------------------------
// TqvItemsAddOns

TqvItemsAddOns::TqvItemsAddOns(TqvMain* Owner) : TqvItems(Owner)
{
    if (Owner)
        Owner->AddOnScanner = this;
    FFAddons = std::make_unique<TFFAddons>();
    if (AddOnFirefoxMajorVersion() >= 4)
        SQLiteFound = EnsureFirefoxSQLite();
    Verdicts = TqvAddOnItems::Create(this);
}

TqvItemsAddOns::~TqvItemsAddOns()
{
    for (const std::string& copy : TempCopies)
        if (FileExistsEx(copy) && !DeleteFileA(copy.c_str()))
            qvLog("Temporary copy not deleted: " + copy);
}

void TqvItemsAddOns::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    for (const auto& child : Tag->Children()) {
        if (!SameTextAscii(child->Name, "addon"))
            continue;
        const std::string name = Attr(child.get(), "name");
        if (name.empty())
            continue;
        const std::string ie = Attr(child.get(), "ie");
        const std::string ff = Attr(child.get(), "ff");
        if (!ie.empty())
            IEList.push_back(UpperCase(ie) + "=" + name);
        if (!ff.empty())
            FFList.push_back(LowerCase(ff) + "=" + name);
    }
    SortByKey(IEList);
    SortByKey(FFList);
}

bool TqvItemsAddOns::FindListed(const std::vector<std::string>& List, const std::string& Key,
                                std::string& NameUtf8)
{
    const std::string probe = Key + "=";
    auto at = std::lower_bound(List.begin(), List.end(), probe, ListKeyLess);
    if (at == List.end() || ListKey(*at) != Key)
        return false;
    NameUtf8 = at->substr(Key.size() + 1);
    return true;
}

bool TqvItemsAddOns::Step()
{
    if (stopped_)
        return false;
    if (Owner && !Owner->Progress(false))
        stopped_ = true;
    return !stopped_;
}

void TqvItemsAddOns::Scan()
{
    stopped_ = false;
    const bool win64 = IsWin64();
    const bool firefox4 = AddOnFirefoxMajorVersion() >= 4;
    Position = 0;
    SubPosition = 0;
    Maximum = (win64 ? 4 : 3) - (firefox4 ? 1 : 0);
    IEMajorVersion = GetIEMajorVersion();
    Verdicts->Load();

    qvLog("Scan type: Add-ons, IE version: " + IntToStr(IEMajorVersion));
    {
        TRegViewScope view(RegView32, RegView64);
        qvLog("Scan 32-bit IE Add-ons");
        Current64 = false;
        SetThreadRegistryView(false);
        ScanIE(false);
        ScanIE(true);
        StepProgress();
        if (win64 && !stopped_) {
            qvLog("Scan 64-bit IE Add-ons");
            Current64 = true;
            SetThreadRegistryView(true);
            ScanIE(false);
            ScanIE(true);
            StepProgress();
        }
        Current64 = false;
    }

    if (!stopped_) {
        if (firefox4) {
            if (SQLiteFound) {
                ScanFirefoxSQLite();
                StepProgress();
            }
        } else {
            TRegViewScope view(RegView32, RegView64);
            SetThreadRegistryView(false);
            qvLog("Scan FF Add-ons registry");
            ScanFirefoxRegistry(HKEY_CURRENT_USER);
            ScanFirefoxRegistry(HKEY_LOCAL_MACHINE);
            StepProgress();
            if (!stopped_) {
                qvLog("Scan FF Add-ons Files");
                GetFirefoxFolderOrDefault(FirefoxFolder);
                if (!FirefoxFolder.empty()) {
                    ScanFirefoxFolder(FirefoxFolder + "extensions\\", "%FF_PROGRAMFILES%\\");
                    GetFirefoxProfilesFolder(ProfilesFolder);
                    if (!ProfilesFolder.empty())
                        for (const std::string& profile : ListProfileFolders(ProfilesFolder))
                            ScanFirefoxFolder(profile + "extensions\\", "%FF_PROFILES%\\");
                }
                StepProgress();
            }
        }
    }

    // A stopped scan asks nothing: its results are not used.
    if (!Pending.empty() && !stopped_)
        Verdicts->StartCheck();
    else
        Verdicts->CheckDone = 1;
    if (Owner)
        Owner->Status.AddonsFound = FoundCount();
}

void TqvItemsAddOns::ScanIE(bool Toolbars)
{
    std::string names;
    const bool listed = Toolbars ? RegGetValueNames(HKEY_LOCAL_MACHINE, kIEToolbarKey, names)
                                 : RegGetSubKeyNames(HKEY_LOCAL_MACHINE, kIEBHOKey, names);
    if (!listed)
        return;
    for (const std::string& name : RegSplitNames(names)) {
        if (!Step())
            return;
        if (Trim(name).empty())
            continue;
        Guard([&] { JudgeIE(name, Toolbars); });
    }
}

void TqvItemsAddOns::JudgeIE(const std::string& RawName, bool Toolbar)
{
    const std::string clsid = UpperCase(Trim(RawName));
    std::wstring name;
    RegReadWideString(HKEY_CLASSES_ROOT, L"CLSID\\" + WideFromAnsi(clsid), L"", name);
    std::string file;
    GetComServerFile(clsid, file);
    if (name.empty())
        name = WideFromAnsi(ExtractFileName(file));
    std::string path;
    CollapsePathMacros(file, Current64, path);
    const bool disabled = IsIEAddOnDisabled(clsid);
    const std::string source =
        Toolbar ? (Current64 ? "TBR64" : "TBR") : (Current64 ? "BHO64" : "BHO");
    TqvAddOnItem* record = Verdicts->Lookup(clsid, name, disabled, path, source);

    std::string listedName;
    const bool listed = FindListed(IEList, clsid, listedName);
    const std::wstring caption = listed ? WideFromUtf8(listedName) : name;
    const bool oldIE = IEMajorVersion < 7;

    // A toolbar is a value of the toolbar key, a helper object a key of its own.
    auto removal = [&]() {
        auto reg =
            Toolbar
                ? NewRegDeletion(this, HKEY_LOCAL_MACHINE, kIEToolbarKey, RawName, Current64, false)
                : NewRegDeletion(this, HKEY_LOCAL_MACHINE, std::string(kIEBHOKey) + "\\" + RawName,
                                 "", Current64, false);
        reg->ScanKind = kRegScanExists;
        reg->Caption = caption;
        reg->Data = record;
        return reg;
    };
    auto settingsItem = [&]() {
        auto item = std::make_unique<TqvIExploreAddOn>(this, clsid, record, Verdicts);
        item->Is64 = Current64;
        item->Caption = caption;
        return item;
    };

    switch (record->Verdict) {
    case kVerdictWhite:
        return;
    case kVerdictBlack: {
        if (!oldIE && disabled)
            return;
        if (oldIE)
            Add(removal());
        else
            Add(settingsItem());
        if (Owner)
            Owner->AddFound(1);
        qvLog((Toolbar ? "Black-listed IE Toolbar: " : "Black-listed IE BHO: ") +
              AnsiFromWide(caption));
        qvLog(std::string("HKLM\\") + (Toolbar ? kIEToolbarKey : kIEBHOKey) + "\\" + clsid);
        qvLog("");
        return;
    }
    default: {
        auto item = settingsItem();
        if (oldIE)
            item->Replacement = removal();
        item->Listed = listed;
        Pending.push_back(std::move(item));
        return;
    }
    }
}

void TqvItemsAddOns::JudgeFirefox(const std::string& Id, const std::wstring& Name, bool Disabled,
                                  const std::string& Path, const std::string& Source,
                                  const std::string& Log)
{
    TqvAddOnItem* record = Verdicts->Lookup(Id, Name, Disabled, Path, Source);
    std::string listedName;
    const bool listed = FindListed(FFList, Id, listedName);
    const std::wstring caption = listed ? WideFromUtf8(listedName) : Name;
    if (record->Verdict == kVerdictWhite)
        return;
    if (record->Verdict == kVerdictBlack && Disabled)
        return;
    auto item = std::make_unique<TqvFirefoxAddOn>(this, Id, record, Verdicts);
    item->Caption = caption;
    item->ProfilesFolder = ProfilesFolder;
    if (record->Verdict == kVerdictBlack) {
        Add(std::move(item));
        if (Owner)
            Owner->AddFound(1);
        qvLog(Log + AnsiFromWide(caption));
        return;
    }
    item->Listed = listed;
    Pending.push_back(std::move(item));
}

void TqvItemsAddOns::ScanFirefoxRegistry(HKEY Root)
{
    std::string names;
    if (!RegGetValueNames(Root, kFirefoxExtensionsKey, names))
        return;
    const std::string source = Root == HKEY_CURRENT_USER ? "FFRC" : "FFRH";
    for (const std::string& valueName : RegSplitNames(names)) {
        if (!Step())
            return;
        const std::string id = LowerCase(Trim(valueName));
        if (id.empty())
            continue;
        Guard([&] {
            std::string folder;
            if (!RegReadString(Root, kFirefoxExtensionsKey, valueName, folder))
                RegReadExpandString(Root, kFirefoxExtensionsKey, valueName, folder);
            std::wstring name;
            ReadInstallRdfName(folder, name);
            if (name.empty())
                name = WideFromAnsi(id);
            std::string path;
            CollapsePathMacros(folder, false, path);
            const bool disabled = FFAddons->IsDisabled(id);
            JudgeFirefox(id, name, disabled, path, source, "Black-listed FF Add-on (registry): ");
        });
    }
}

void TqvItemsAddOns::ScanFirefoxFolder(const std::string& Folder, const std::string& MacroStem)
{
    std::vector<std::string> entries;
    ListSubfolders(Folder, &entries, false);
    for (const std::string& entry : entries) {
        if (!Step())
            return;
        const std::string id = LowerCase(Trim(entry));
        if (id.empty())
            continue;
        Guard([&] {
            std::wstring name;
            ReadInstallRdfName(Folder + entry, name);
            if (name.empty())
                name = WideFromAnsi(id);
            const bool disabled = FFAddons->IsDisabled(id);
            JudgeFirefox(id, name, disabled, MacroStem + entry, "FFF",
                         "Black-listed FF Add-on (folder): ");
        });
    }
}

void TqvItemsAddOns::ScanFirefoxSQLite()
{
    GetFirefoxProfilesFolder(ProfilesFolder);
    if (ProfilesFolder.empty())
        return;
    for (const std::string& profile : ListProfileFolders(ProfilesFolder)) {
        const std::string database = profile + "extensions.sqlite";
        if (FileExistsEx(database))
            Guard([&] { ScanFirefoxDatabase(database); });
    }
}

void TqvItemsAddOns::ScanFirefoxDatabase(const std::string& DatabaseFile)
{
    std::unique_ptr<TSQLiteTable> table;
    // True when the file could be read (with or without the table).
    auto read = [&table](const std::string& File) {
        try {
            TSQLiteDatabase db(File);
            if (db.TableExists("addon"))
                table = db.GetTable("SELECT id,active,location,descriptor FROM addon");
            return true;
        } catch (const std::exception& e) {
            qvLog("Database not read: " + File + ": " + e.what());
            return false;
        }
    };
    if (!read(DatabaseFile)) {
        // Firefox holds the file: a copy can still be read.
        const std::string temp = TempDir();
        if (temp.empty())
            return;
        const TAddOnTickSource tick = gTempTick.load();
        const DWORD first = (tick ? tick() : GetTickCount()) & 0xFFFFF;
        std::string copy;
        for (DWORD i = 0; i <= 0xFFFFF; ++i) {
            const std::string name = temp + "Korvelle" + Hex5(first + i) + ".tmp";
            if (CopyFileA(DatabaseFile.c_str(), name.c_str(), TRUE)) {
                copy = name;
                break;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
                break;
        }
        if (copy.empty()) {
            qvLog("Database not copied: " + DatabaseFile);
            return;
        }
        TempCopies.push_back(copy);
        if (!read(copy))
            return;
    }
    if (!table)
        return;
    const int idField = table->FieldIndex("id");
    const int activeField = table->FieldIndex("active");
    const int locationField = table->FieldIndex("location");
    const int descriptorField = table->FieldIndex("descriptor");
    for (int row = 0; row < table->GetCount(); ++row) {
        if (!table->MoveTo(row))
            break;
        Guard([&] {
            const std::string id = LowerCase(table->FieldAsString(idField));
            if (Trim(id).empty())
                return;
            const bool active = table->FieldAsInteger(activeField) != 0;
            const std::string location = table->FieldAsString(locationField);
            const std::string descriptor = table->FieldAsString(descriptorField);
            std::wstring name;
            ReadInstallRdfName(descriptor, name);
            if (name.empty())
                name = WideFromAnsi(id);
            std::string path = location;
            if (location != "app-global" && location != "app-profile")
                CollapsePathMacros(descriptor, false, path);
            JudgeFirefox(id, name, !active, path, "FFS", "Black-listed FF Add-on (sqlite): ");
        });
    }
}

void TqvItemsAddOns::CollectPending()
{
    if (!Verdicts->CheckDone)
        SleepMs(kCollectSleepMs);
    TAddOnLockHold hold(kCollectLockWaitMs);
    if (!hold.Held()) {
        qvLog("Add-on lock not obtained: pending add-ons not collected");
        return;
    }
    std::vector<std::unique_ptr<TqvItem>> pending = std::move(Pending);
    Pending.clear();
    for (auto& item : pending) {
        const auto* record = static_cast<const TqvAddOnItem*>(item->Data);
        const bool black = record && record->Verdict == kVerdictBlack;
        const bool listed = record && record->Verdict == kVerdictUnknown && item->Listed;
        if (!black && !listed)
            continue;
        if (black) {
            item->Caption = record->Name;
            if (auto* ie = dynamic_cast<TqvIExploreAddOn*>(item.get()); ie && ie->Replacement)
                ie->Replacement->Caption = record->Name;
        }
        Add(std::move(item));
        if (Owner)
            Owner->AddFound(1, kCategoryBoost);
    }
    pending.clear();
    if (Owner) {
        Owner->Status.AddonsFound = FoundCount();
        Owner->Progress(true);
    }
}

void TqvItemsAddOns::Clean()
{
    TRDFEditSession session;
    {
        TRDFSessionScope scope(session);
        TqvItems::Clean();
    }
    Verdicts->SendReport();
    session.Commit();
}

// ---------------------------------------------------------------------------
// Catalogue lists and the factory

std::unique_ptr<TqvItem> LoadAddOnListItem(TqvItems* Owner, TXMLTag* Tag,
                                           std::shared_ptr<TqvAddOnItems>& List)
{
    if (!Tag)
        return nullptr;
    const bool ie = SameTextAscii(Tag->Name, "ieaddon");
    if (!ie && !SameTextAscii(Tag->Name, "ffaddon"))
        return nullptr;
    if (!List)
        List = TqvAddOnItems::Create(Owner);
    std::unique_ptr<TqvAddOnRepairItem> item;
    if (ie)
        item = std::make_unique<TqvIExploreAddOn>(Owner, std::string(), nullptr, List);
    else
        item = std::make_unique<TqvFirefoxAddOn>(Owner, std::string(), nullptr, List);
    item->LoadFromXML(Tag);
    if (item->Id.empty())
        return nullptr;
    return item;
}

std::unique_ptr<TqvItems> CreateItemsAddOns(TqvMain* Owner)
{
    return std::make_unique<TqvItemsAddOns>(Owner);
}
