#include "engine/qvClasses.h"

#include "engine/qvAddOns.h"
#include "engine/qvClassesEx.h"
#include "engine/qvCleanRep.h"
#include "engine/qvExceptions.h"
#include "engine/qvScanners.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvSettings.h"

#include <algorithm>
#include <cmath>

namespace {

std::string Attr(const TXMLTag* Tag, std::string_view Name)
{
    return TXMLTag::GetAttribute(Tag, Name);
}

std::string Utf8(const std::wstring& Text)
{
    return Utf8FromWide(Text);
}

DWORD DefaultTick()
{
    return GetTickCount();
}

// Halves go to the even neighbour, as the progress bar's position always has.
int32_t RoundHalfEven(double X)
{
    double whole = std::floor(X);
    const double fraction = X - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    return static_cast<int32_t>(whole);
}

void SetCaptionLine(std::unique_ptr<std::vector<std::wstring>>& List, const std::wstring& Lang,
                    const std::wstring& Text)
{
    if (!List)
        List = std::make_unique<std::vector<std::wstring>>();
    const std::wstring prefix = Lang + L"=";
    for (std::wstring& line : *List) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            line = prefix + Text;
            return;
        }
    }
    List->push_back(prefix + Text);
}

bool IsStringType(DWORD Type)
{
    return Type == REG_SZ || Type == REG_EXPAND_SZ;
}

std::string RegLocation(const TqvRegItem& Item)
{
    return RegRootToName(Item.Root) + "\\" + Item.Key + "\\#" + Item.Name;
}

std::unique_ptr<TqvItems> CreateItemsList(TqvMain* Owner)
{
    return std::make_unique<TqvItemsList>(Owner);
}

constexpr TqvItemsType kItemsTypes[] = {
    {"list", "TqvItemsList", &CreateItemsList},
    {"clsid", "TqvItemsCLSID", &CreateItemsCLSID},
    {"interface", "TqvItemsInterfaces", &CreateItemsInterfaces},
    {"typelib", "TqvItemsTypelib", &CreateItemsTypelib},
    {"uninstall", "TqvItemsUninstall", &CreateItemsUninstall},
    {"shared-dll", "TqvItemsSharedDll", &CreateItemsSharedDll},
    {"muicache", "TqvItemsMUICache", &CreateItemsMUICache},
    {"app-paths", "TqvItemsAppPaths", &CreateItemsAppPaths},
    {"missing-files", "TqvItemsMissingFiles", &CreateItemsMissingFiles},
    {"startup", "TqvItemsInvalidStartup", &CreateItemsInvalidStartup},
    {"recycle-bin", "TqvItemsRecycleBin", &CreateItemsRecycleBin},
    {"memory", "TqvItemsMemory", &CreateItemsMemory},
    {"delay-startup", "TqvItemsDelayStartup", &CreateItemsDelayStartup},
    {"addons", "TqvItemsAddOns", &CreateItemsAddOns},
};

const char* const kCategoryLogNames[] = {"", "FIX", "BOOST", "CLEAN"};

// The sum of one counter over a category's groups.
template <typename T, typename F>
T SumOverGroups(const std::vector<std::unique_ptr<TqvGroup>>& Groups, F Counter)
{
    T sum = 0;
    for (const auto& g : Groups)
        sum += ((*g).*Counter)();
    return sum;
}

} // namespace

// ---------------------------------------------------------------------------
// TqvItem

std::string TqvItem::GetXML()
{
    return {};
}

bool TqvItem::Backup()
{
    return true;
}

TqvMain* TqvItem::Engine() const
{
    return Owner ? Owner->Owner : nullptr;
}

void TqvItem::MarkDone(int64_t Freed)
{
    Outcome = TqvOutcome::Done;
    NotDoneReason.clear();
    DoneSize = Freed;
}

void TqvItem::MarkNotDone(std::string Reason, int64_t Freed)
{
    Outcome = TqvOutcome::NotDone;
    NotDoneReason = std::move(Reason);
    DoneSize = Freed;
}

void TqvItem::Repair()
{
    if (Locked)
        return;
    // A refusal recorded before the repair (the backup's) stands.
    if (Outcome == TqvOutcome::NotDone)
        return;
    Outcome = TqvOutcome::None;
    DoneSize = 0;
    bool done = false;
    if (!Guard([&] { done = Fix(); })) {
        MarkNotDone("the repair failed with an error", DoneSize);
        return;
    }
    if (Outcome == TqvOutcome::None) {
        if (done)
            MarkDone(Size);
        else
            MarkNotDone("not repaired");
    }
}

// ---------------------------------------------------------------------------
// TqvItems

TqvItems::TqvItems(TqvMain* Owner) : Maximum(IsWin64() ? 2 : 1), Owner(Owner) {}

void TqvItems::LoadFromXML(TXMLTag*) {}

void TqvItems::Clean()
{
    Maximum = static_cast<int32_t>(Items.size());
    for (size_t i = 0; i < Items.size(); ++i) {
        if (Owner && !Owner->Progress(false))
            return;
        TqvItem* item = Items[i].get();
        if (item->Found && item->Selected)
            item->Repair();
        StepProgress();
    }
}

int TqvItems::FoundCount() const
{
    return static_cast<int>(
        std::count_if(Items.begin(), Items.end(), [](const auto& i) { return i->Found; }));
}

int64_t TqvItems::FoundSize() const
{
    int64_t sum = 0;
    for (const auto& i : Items)
        if (i->Found)
            sum += i->Size;
    return sum;
}

int TqvItems::SelectedCount() const
{
    return static_cast<int>(std::count_if(Items.begin(), Items.end(),
                                          [](const auto& i) { return i->Found && i->Selected; }));
}

int64_t TqvItems::SelectedSize() const
{
    int64_t sum = 0;
    for (const auto& i : Items)
        if (i->Found && i->Selected)
            sum += i->Size;
    return sum;
}

int TqvItems::DoneCount() const
{
    return static_cast<int>(std::count_if(Items.begin(), Items.end(), [](const auto& i) {
        return i->Outcome == TqvOutcome::Done;
    }));
}

int64_t TqvItems::DoneSize() const
{
    int64_t sum = 0;
    for (const auto& i : Items)
        if (i->Outcome != TqvOutcome::None)
            sum += i->DoneSize;
    return sum;
}

// The line that names an item in a report: its first catalogue line, else
// its caption.
static std::string ItemReportText(TqvItem& Item)
{
    std::string line = Item.GetXML();
    const size_t end = line.find("\r\n");
    if (end != std::string::npos)
        line.resize(end);
    return line.empty() ? Utf8(Item.Caption) : line;
}

void TqvItems::CollectNotDone(std::vector<TqvNotDone>& NotDone) const
{
    for (const auto& i : Items) {
        if (!i->Found || !i->Selected || i->Locked || i->Outcome == TqvOutcome::Done)
            continue;
        NotDone.push_back({ItemReportText(*i), i->Outcome == TqvOutcome::NotDone
                                                   ? i->NotDoneReason
                                                   : std::string("not repaired")});
    }
}

void TqvItems::Backup()
{
    for (size_t i = 0; i < Items.size(); ++i) {
        if (Owner && !Owner->Progress(false))
            return;
        TqvItem* item = Items[i].get();
        if (item->Found && item->Selected)
            item->Backup();
    }
}

double TqvItems::ProgressFraction()
{
    if (Maximum == 0 || Position >= Maximum) {
        Position = 0;
        SubPosition = 0;
        return 1.0;
    }
    double fraction = static_cast<double>(Position) / Maximum;
    if (SubMaximum > 0)
        fraction += static_cast<double>(SubPosition) / SubMaximum / Maximum;
    return fraction;
}

void TqvItems::StepProgress()
{
    SubPosition = 0;
    SubMaximum = 0;
    if (Position != Maximum)
        ++Position;
    if (Owner)
        Owner->Progress(false);
}

void TqvItems::StepSubProgress()
{
    if (SubPosition != SubMaximum)
        ++SubPosition;
}

TqvItem* TqvItems::Add(std::unique_ptr<TqvItem> Item)
{
    Items.push_back(std::move(Item));
    return Items.back().get();
}

// ---------------------------------------------------------------------------
// TqvClassWithCaption

void TqvClassWithCaption::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    for (const auto& child : Tag->Children()) {
        const std::string name = LowerCase(child->Name);
        std::unique_ptr<std::vector<std::wstring>>* list = nullptr;
        if (name == "caption")
            list = &captions_;
        else if (name == "hint")
            list = &hints_;
        else if (name == "settingscaption")
            list = &settingsCaptions_;
        else if (name == "settingshint")
            list = &settingsHints_;
        else
            continue;
        std::string lang = LowerCase(Attr(child.get(), "lng"));
        if (lang.empty())
            lang = "en";
        SetCaptionLine(*list, WideFromUtf8(lang), WideFromUtf8(child->Text));
    }
}

std::wstring TqvClassWithCaption::GetCaption() const
{
    return GetLocalizedValue(Settings()->LANGUAGE, captions_.get());
}

std::wstring TqvClassWithCaption::GetHint() const
{
    return GetLocalizedValue(Settings()->LANGUAGE, hints_.get());
}

std::wstring TqvClassWithCaption::GetSettingsCaption() const
{
    return GetLocalizedValue(Settings()->LANGUAGE, settingsCaptions_.get());
}

std::wstring TqvClassWithCaption::GetSettingsHint() const
{
    return GetLocalizedValue(Settings()->LANGUAGE, settingsHints_.get());
}

// ---------------------------------------------------------------------------
// TqvGroup

void TqvGroup::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    TqvClassWithCaption::LoadFromXML(Tag);
    Id = Attr(Tag, "id");
    Order = StrToIntDef(Attr(Tag, "order"), 0);
    HasSettings = Attr(Tag, "settings") == "1";
    ShowDetails = Attr(Tag, "showdetails") == "1";
    ProgSize = StrToIntDef(Attr(Tag, "progsize"), 10);
    qvLog("Group (" + Id + "): " + Utf8(GetCaption()));
    for (const auto& child : Tag->Children()) {
        if (LowerCase(child->Name) != "items")
            continue;
        const std::string type = LowerCase(Attr(child.get(), "type"));
        std::unique_ptr<TqvItems> scanner = CreateScanner(type, Owner);
        if (!scanner)
            continue;
        qvLog("Items type: " + type);
        ItemsType = type;
        Scanner = std::move(scanner);
        TqvItems* loading = Scanner.get();
        TXMLTag* element = child.get();
        Guard([loading, element] { loading->LoadFromXML(element); });
        break;
    }
}

void TqvGroup::Scan()
{
    if (!Enabled || !Scanner)
        return;
    qvLog("Scanning group: " + Utf8(GetCaption()));
    Guard([this] { Scanner->Scan(); });
}

bool TqvGroup::Backup()
{
    if (!Scanner)
        return true;
    return Guard([this] { Scanner->Backup(); });
}

void TqvGroup::Clean()
{
    if (Scanner)
        Guard([this] { Scanner->Clean(); });
}

int TqvGroup::FoundCount() const
{
    return Scanner ? Scanner->FoundCount() : 0;
}

int64_t TqvGroup::FoundSize() const
{
    return Scanner ? Scanner->FoundSize() : 0;
}

int TqvGroup::DoneCount() const
{
    return Scanner ? Scanner->DoneCount() : 0;
}

int64_t TqvGroup::DoneSize() const
{
    return Scanner ? Scanner->DoneSize() : 0;
}

int TqvGroup::SelectedCount() const
{
    return Scanner ? Scanner->SelectedCount() : 0;
}

int64_t TqvGroup::SelectedSize() const
{
    return Scanner && Checked ? Scanner->SelectedSize() : 0;
}

// ---------------------------------------------------------------------------
// TqvCategory

void TqvCategory::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    TqvClassWithCaption::LoadFromXML(Tag);
    for (const auto& child : Tag->Children()) {
        if (LowerCase(child->Name) != "group")
            continue;
        auto group = std::make_unique<TqvGroup>(Owner);
        group->LoadFromXML(child.get());
        if (!group->Scanner || !Owner || !Owner->IsGroupAllowed(group->Id))
            continue;
        // Before the first group of greater order: equal orders keep the
        // catalogue's order.
        const auto place = std::find_if(Groups.begin(), Groups.end(),
                                        [&](const auto& g) { return g->Order > group->Order; });
        Groups.insert(place, std::move(group));
    }
}

void TqvCategory::Scan()
{
    if (!Owner)
        return;
    TqvMain& root = *Owner;
    FinishedUnits = 0;
    int32_t maximum = 0;
    for (const auto& g : Groups)
        if (g->Enabled)
            maximum += g->ProgSize;
    root.Status.Maximum = maximum;

    Guard([&] {
        for (size_t i = 0; i < Groups.size(); ++i) {
            CurrentGroup = static_cast<int32_t>(i);
            TqvGroup& group = *Groups[i];
            if (!group.Enabled)
                continue;
            root.Status.Caption = group.GetCaption();
            if (!root.Progress(true))
                break;
            group.Scan();
            if (root.Status.Category == kCategoryClean)
                root.Status.CleanBytes += group.FoundSize();
            if (!root.Progress(true))
                break;
            FinishedUnits += group.ProgSize;
        }
    });

    // Also after a stop: the counts and the closing report.
    CurrentGroup = -1;
    const int found = FoundCount();
    if (root.Status.Category == kCategoryFix)
        root.Status.FixErrors = found;
    else if (root.Status.Category == kCategoryBoost)
        root.Status.BoostItems = found;
    root.Status.Position = root.Status.Maximum;
    Guard([&] { root.Progress(true); });
}

void TqvCategory::Fix(bool BackupRequired)
{
    if (!Owner)
        return;
    TqvMain& root = *Owner;
    TqvUIStatus& status = root.Status;

    std::vector<TqvGroup*> work;
    for (const auto& g : Groups)
        if (g->Checked && g->FoundCount() > 0)
            work.push_back(g.get());
    const int32_t n = static_cast<int32_t>(work.size());

    int32_t step = 1;
    status.Position = 0;
    TqvBackupWriter* writer = root.BackupWriter;
    bool backupOpen = false;
    Guard([&] { backupOpen = writer && writer->IsBackupOpen(); });

    auto backupFailed = [&] {
        // Nothing of the category is repaired without its backup.
        qvLog("Backup failed: nothing repaired");
        root.MarkBackupFailed(status.Category);
        for (TqvGroup* group : work)
            if (group->Scanner)
                for (const auto& item : group->Scanner->Items)
                    if (item->Found && item->Selected && !item->Locked &&
                        item->Outcome != TqvOutcome::NotDone)
                        item->MarkNotDone("the category's backup failed: nothing repaired");
        status.Position = status.Maximum;
        Guard([&] { root.Progress(true); });
    };

    if (backupOpen) {
        status.Maximum = 2 * n + 1;
        status.Phase = kPhaseBackup;
        if (!root.Progress(true))
            return;
        step = 0;
        bool recorded = true;
        for (TqvGroup* group : work) {
            status.Caption = group->GetCaption();
            status.Position = step;
            if (!root.Progress(true))
                return;
            qvLog("Making backup of group: " + Utf8(status.Caption));
            if (!group->Backup())
                recorded = false;
            ++step;
        }
        qvLog("Making backup");
        bool written = false;
        Guard([&] { written = writer->EndBackup(); });
        status.Position = step;
        if (!root.Progress(true))
            return;
        if (!recorded || !written) {
            backupFailed();
            return;
        }
    } else {
        status.Maximum = n + 1;
        if (BackupRequired && n > 0) {
            status.Maximum = 2 * n + 1;
            status.Phase = kPhaseBackup;
            backupFailed();
            return;
        }
    }

    status.Phase = kPhaseClean;
    if (!root.Progress(true))
        return;
    for (TqvGroup* group : work) {
        status.Caption = group->GetCaption();
        status.Position = step;
        if (!root.Progress(true))
            return;
        if (group->Checked && root.CanCleanGroup(group)) {
            qvLog("Cleaning group: " + Utf8(status.Caption));
            group->Clean();
            ++step;
        }
    }
    status.Position = status.Maximum;
    if (root.Progress(true))
        root.Progress(true);
}

int TqvCategory::FoundCount() const
{
    return SumOverGroups<int>(Groups, &TqvGroup::FoundCount);
}

int64_t TqvCategory::FoundSize() const
{
    return SumOverGroups<int64_t>(Groups, &TqvGroup::FoundSize);
}

int TqvCategory::SelectedCount() const
{
    return SumOverGroups<int>(Groups, &TqvGroup::SelectedCount);
}

int64_t TqvCategory::SelectedSize() const
{
    return SumOverGroups<int64_t>(Groups, &TqvGroup::SelectedSize);
}

int TqvCategory::DoneCount() const
{
    return SumOverGroups<int>(Groups, &TqvGroup::DoneCount);
}

int64_t TqvCategory::DoneSize() const
{
    return SumOverGroups<int64_t>(Groups, &TqvGroup::DoneSize);
}

void TqvCategory::CollectNotDone(
    std::vector<std::pair<const TqvGroup*, TqvNotDone>>& NotDone) const
{
    std::vector<TqvNotDone> items;
    for (const auto& g : Groups) {
        if (!g->Checked || !g->Scanner)
            continue;
        items.clear();
        g->Scanner->CollectNotDone(items);
        for (TqvNotDone& item : items)
            NotDone.emplace_back(g.get(), std::move(item));
    }
}

int32_t TqvCategory::ProgressPosition() const
{
    double position = FinishedUnits;
    if (CurrentGroup >= 0 && static_cast<size_t>(CurrentGroup) < Groups.size()) {
        const TqvGroup& group = *Groups[static_cast<size_t>(CurrentGroup)];
        if (group.Scanner)
            position += group.Scanner->ProgressFraction() * group.ProgSize;
    }
    return RoundHalfEven(position);
}

// ---------------------------------------------------------------------------
// TqvMain

TqvMain::TqvMain() : TickSource(&DefaultTick), BackupWriter(DefaultBackupWriter())
{
    ResetUIStatus(Status);
}

TqvMain::~TqvMain() = default;

bool TqvMain::IsGroupAllowed(const std::string&)
{
    return true;
}

bool TqvMain::CanCleanCategory(uint8_t)
{
    return true;
}

bool TqvMain::CanCleanGroup(TqvGroup*)
{
    return true;
}

void TqvMain::LoadData()
{
    qvLog("  LOADING DATA");
    std::string text;
    const bool loaded = Guard([&] {
        TResourceStream resource(GetModuleHandleW(nullptr), L"DATA");
        text = ReadWholeStream(resource);
    });
    if (!loaded)
        return;
    qvLog("Resource loaded");
    LoadDataFromText(text);
}

void TqvMain::LoadDataFromText(std::string_view Text)
{
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (Text.substr(0, kBom.size()) == kBom)
        Text.remove_prefix(kBom.size());
    const size_t nul = Text.find('\0');
    if (nul != std::string_view::npos)
        Text = Text.substr(0, nul);
    qvLog("Parsing XML");
    TXML xml;
    xml.LoadFromString(Text);
    TXMLTag* root = xml.Root()->FindFirst("Quorvex");
    if (!root)
        return;
    Guard([&] { LoadFromXML(root); });
    qvLog("LOAD COMPLETED");
}

void TqvMain::LoadFromXML(TXMLTag* Root)
{
    if (!Root)
        return;
    Version = Attr(Root, "ver");
    qvLog("Version: " + Version);
    for (const auto& child : Root->Children()) {
        const std::string name = LowerCase(child->Name);
        std::unique_ptr<TqvCategory>* category = nullptr;
        if (name == "fix")
            category = &FixCategory;
        else if (name == "boost")
            category = &BoostCategory;
        else if (name == "clean")
            category = &CleanCategory;
        if (category) {
            qvLog("Parsing <" + name + "> tag");
            if (!*category)
                *category = std::make_unique<TqvCategory>(this);
            (*category)->LoadFromXML(child.get());
        } else if (name == "exceptions") {
            qvLog("Parsing <exceptions> tag");
            EnsureExceptions().LoadFromXML(child.get());
        }
    }
}

void TqvMain::ScanAll()
{
    if (scanned_) {
        qvLog("SCANNING SKIPPED: a root is scanned once");
        return;
    }
    scanned_ = true;
    Guard([this] {
        qvLog("  SCANNING ALL");
        ResetUIStatus(Status);
        Status.Phase = kPhaseScan;
        for (uint8_t k = kCategoryFix; k <= kCategoryClean; ++k) {
            TqvCategory* category = Category(k);
            if (!category)
                continue;
            qvLog(std::string("Scanning ") + kCategoryLogNames[k]);
            Status.Category = k;
            Guard([category] { category->Scan(); });
        }
        if (AddOnScanner) {
            TqvAddOnCheck* check = AddOnScanner;
            Guard([check] { check->WaitForWebCheck(); });
        }
        if (ResetStatus)
            ResetUIStatus(Status);
        qvLog("SCANNING COMPLETED");
        Progress(true);
    });
}

void TqvMain::RepairWithBackup(TqvCategory& Repaired, uint8_t BackupType)
{
    TqvBackupWriter* writer = BackupWriter;
    const bool wanted = MakeBackup;
    if (wanted && writer) {
        const std::wstring name = Repaired.GetCaption();
        Guard([&] { writer->BeginBackup(BackupType, name); });
    }
    Guard([&] { Repaired.Fix(wanted); });
    // Closes a backup that a stop left open; writes nothing more otherwise.
    if (wanted && writer)
        Guard([&] { writer->EndBackup(); });
    // The entries that the repair added become visible to later runs.
    Guard([] { SaveCleanReportIfChanged(); });
}

void TqvMain::Clean(uint8_t Which)
{
    Guard([&] {
        Status.Caption.clear();
        if ((Which == 0 || Which == kCategoryFix) && FixCategory &&
            CanCleanCategory(kCategoryFix)) {
            qvLog("CLEANNING FIX");
            Status.Category = kCategoryFix;
            backupFailed_[kCategoryFix] = false;
            RepairWithBackup(*FixCategory, kBackupFix);
        }
        if ((Which == 0 || Which == kCategoryBoost) && BoostCategory &&
            CanCleanCategory(kCategoryBoost)) {
            qvLog("CLEANNING BOOST");
            Status.Category = kCategoryBoost;
            backupFailed_[kCategoryBoost] = false;
            RepairWithBackup(*BoostCategory, kBackupBoost);
        }
        if ((Which == 0 || Which == kCategoryClean) && CleanCategory &&
            CanCleanCategory(kCategoryClean)) {
            qvLog("CLEANNING CLEAN");
            Status.Category = kCategoryClean;
            backupFailed_[kCategoryClean] = false;
            TqvCategory* category = CleanCategory.get();
            Guard([category] { category->Fix(false); });
        }
        qvLog("CLEANNING COMPLETED");
    });
}

bool TqvMain::Progress(bool Force)
{
    if (OnStopCheck && !OnStopCheck())
        return false;
    bool answer = !Aborted;
    const DWORD now = TickSource();
    // Unsigned difference: right across the tick count's wrap after 49.7 days.
    if (!Force && static_cast<DWORD>(now - LastReportTime) < 500)
        return answer;
    if (Status.Phase == kPhaseScan)
        if (const TqvCategory* category = Category(Status.Category))
            Status.Position = category->ProgressPosition();
    if (OnProgress)
        answer = OnProgress(Status);
    LastReportTime = now;
    return answer;
}

void TqvMain::AddFound(int32_t Count, uint8_t Which)
{
    if (Which == 0)
        Which = Status.Category;
    if (Which == kCategoryFix)
        Status.FixErrors += Count;
    else if (Which == kCategoryBoost)
        Status.BoostItems += Count;
}

TqvCategory* TqvMain::Category(uint8_t Which) const
{
    switch (Which) {
    case kCategoryFix:
        return FixCategory.get();
    case kCategoryBoost:
        return BoostCategory.get();
    case kCategoryClean:
        return CleanCategory.get();
    default:
        return nullptr;
    }
}

bool TqvMain::BackupFailed(uint8_t Which) const noexcept
{
    return Which < 4 && backupFailed_[Which];
}

void TqvMain::MarkBackupFailed(uint8_t Which) noexcept
{
    if (Which < 4)
        backupFailed_[Which] = true;
}

// ---------------------------------------------------------------------------
// TqvRegItem

void TqvRegItem::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    Root = RegNameToRoot(UpperCase(Attr(Tag, "root")));
    Key = UnescapeHashHex(Attr(Tag, "key"));
    Name = UnescapeHashHex(Attr(Tag, "name"));
    Value = UnescapeHashHex(Attr(Tag, "value"));
    Type = RegTypeFromName(Attr(Tag, "type"));
    const std::string scan = LowerCase(Attr(Tag, "scan"));
    ScanKind = scan == "value"    ? kRegScanValue
               : scan == "exists" ? kRegScanExists
               : scan == "backup" ? kRegScanBackup
                                  : kRegScanInvalid;
    const std::string fix = LowerCase(Attr(Tag, "fix"));
    FixKind = fix == "value" ? kRegFixValue
              : fix == "del" ? kRegFixDel
              : fix == "key" ? kRegFixKey
                             : kRegFixNone;
    Is64 = Attr(Tag, "is64") == "1";
    Caption = WideFromUtf8(Attr(Tag, "caption"));
    int32_t day = 0;
    Date = TryStrToInt(Attr(Tag, "date"), day) && day > 0 ? day : 0.0;
    if (Type == REG_DWORD && !IsDWordText(Value))
        ScanKind = kRegScanInvalid;
    const int rawType = Tag->IndexOfAttribute("rtype");
    if (rawType >= 0) {
        const std::string text = Tag->Attributes[static_cast<size_t>(rawType)].Value;
        HasRawType = true;
        RawType = DWordFromText(text, false);
        // Raw bytes of another type come only as "bin".
        if (Type != REG_BINARY || !IsDWordText(text))
            ScanKind = kRegScanInvalid;
    }
    if (Type == REG_BINARY && Value.size() % 2 != 0)
        ScanKind = kRegScanInvalid;
}

std::string TqvRegItem::GetXML()
{
    std::string line = "<reg";
    auto attribute = [&line](std::string_view Name, std::string_view Text) {
        line += ' ';
        line += Name;
        line += "=\"";
        line += Text;
        line += '"';
    };
    attribute("root", RegRootToName(Root));
    attribute("key", EscapeHashHex(Key));
    attribute("name", EscapeHashHex(Name));
    attribute("value", EscapeHashHex(Value));
    attribute("type", RegTypeToName(Type));
    if (HasRawType)
        attribute("rtype", IntToStr(RawType));
    if (Is64)
        attribute("is64", "1");
    attribute("scan", ScanKind == kRegScanValue    ? "value"
                      : ScanKind == kRegScanBackup ? "backup"
                                                   : "exists");
    attribute("fix", FixKind == kRegFixValue ? "value"
                     : FixKind == kRegFixDel ? "del"
                     : FixKind == kRegFixKey ? "key"
                                             : "");
    if (Date > 0)
        attribute("date", IntToStr(static_cast<int64_t>(Date)));
    line += " />";
    return line;
}

void TqvRegItem::Check()
{
    if (Found || ScanKind == kRegScanInvalid)
        return;
    if (Is64 && !IsWin64())
        return;
    TItemViewScope view(Is64);

    bool found = false;
    std::string message;
    if (targetsValue()) {
        DWORD stored = 0;
        if (RegGetValueType(Root, Key, Name, stored)) {
            if (stored != Type && !(IsStringType(stored) && IsStringType(Type))) {
                found = true;
                message = "Required type does not match!";
            } else if (Type == REG_SZ || Type == REG_EXPAND_SZ || Type == REG_MULTI_SZ) {
                DWORD readType = 0;
                std::string text;
                if (RegReadStringTyped(Root, Key, Name, readType, text) && text != Value) {
                    found = true;
                    message = "Invalid string value: " + text;
                }
            } else if (Type == REG_DWORD) {
                std::vector<BYTE> data;
                if (RegReadValue(Root, Key, Name, REG_DWORD, data) && data.size() == 4) {
                    DWORD number = 0;
                    memcpy(&number, data.data(), 4);
                    if (number != DWordFromText(Value, false)) {
                        found = true;
                        message = "Invalid num value: " + IntToStr(number);
                    }
                }
            } else if (Type == REG_BINARY) {
                std::string hex;
                if (RegReadBinaryHex(Root, Key, Name, hex) && hex != UpperCase(Value)) {
                    found = true;
                    message = "Invalid binary value: " + hex;
                }
            }
        } else if (ScanKind == kRegScanValue) {
            found = true;
            message = "Value does not exists!";
        }
    } else {
        DWORD readType = 0;
        std::string text;
        if (RegReadStringTyped(Root, Key, "", readType, text) && IsStringType(readType)) {
            if (text != Value) {
                found = true;
                message = "Invalid key value: " + text;
            }
        } else if (ScanKind == kRegScanValue && !RegKeyExists(Root, Key)) {
            found = true;
            message = "Key does not exists!";
        }
    }
    if (found && IsIgnored(*this))
        found = false;
    if (!found)
        return;
    Found = true;
    Selected = true;
    qvLog("BAD REGISTRY:");
    qvLog(RegLocation(*this) + " = " + Value);
    qvLog(message);
}

bool TqvRegItem::Backup()
{
    if (Locked || !Found || !Selected || FixKind == kRegFixNone)
        return true;
    TqvMain* engine = Engine();
    TqvBackupWriter* writer = engine ? engine->BackupWriter : nullptr;
    bool recorded = false;
    if (writer && writer->IsBackupOpen()) {
        HKEY root = nullptr;
        std::string key;
        StoredAt(root, key);
        if (FixKind == kRegFixDel && !targetsValue())
            recorded = writer->BackupRegKey(root, key, Is64);
        else
            recorded = writer->BackupRegValue(root, key, Name, Is64);
    }
    backedUp_ = recorded;
    backupRefused_ = !recorded;
    if (!recorded) {
        qvLog("Backup refused, not repaired: " + RegLocation(*this));
        MarkNotDone("the backup cannot record it exactly, so it was not repaired");
    } else if (Outcome == TqvOutcome::NotDone) {
        Outcome = TqvOutcome::None;
    }
    return recorded;
}

bool TqvRegItem::Fix()
{
    if (Locked || !Found || !Selected || FixKind == kRegFixNone)
        return false;
    if (backupRefused_)
        return false;
    TItemViewScope view(Is64);
    bool done = false;
    if (FixKind == kRegFixDel) {
        HKEY root = nullptr;
        std::string key;
        StoredAt(root, key);
        const std::string location = RegRootToName(root) + "\\" + key;
        // What another item of the same repair removed already (a key with
        // this value) is done too; a key name with a NUL can be neither
        // removed nor told absent.
        const bool reachable = !RegNameHoldsNul(key);
        if (targetsValue()) {
            qvLog("Delete value: " + location + "\\#" + Name);
            done = RegRemoveValue(root, key, Name) ||
                   (reachable && !RegValueExists(root, key, Name));
        } else if (IsScannedContainerKey(Root, Key) || IsScannedContainerKey(root, key)) {
            // A whole scanned area is never one finding.
            qvLog("Refused to delete a scanned area: " + location);
        } else {
            qvLog("Delete key: " + location);
            done = RegRemoveKeyTree(root, key, true) || (reachable && !RegKeyExists(root, key));
        }
    } else if (FixKind == kRegFixKey) {
        qvLog("Create key: " + RegRootToName(Root) + "\\" + Key);
        HKEY created = nullptr;
        if (RegCreateKeyExA(Root, Key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_QUERY_VALUE | RegViewAccessBit(), nullptr, &created,
                            nullptr) == ERROR_SUCCESS) {
            RegCloseKey(created);
            done = true;
        }
    } else if (HasRawType) {
        qvLog("Write value: " + RegLocation(*this));
        qvLog("RAW " + IntToStr(RawType) + ": " + Value);
        std::vector<BYTE> bytes;
        if (RegHexToBytes(Value, bytes))
            done = RegWriteValue(Root, Key, Name, RawType, bytes.data(),
                                 static_cast<DWORD>(bytes.size()));
    } else {
        qvLog("Write value: " + RegLocation(*this));
        switch (Type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_MULTI_SZ:
            qvLog("String: " + Value);
            done = RegWriteStringTyped(Root, Key, Name, Type, Value);
            break;
        case REG_DWORD:
            qvLog("DWORD: " + Value);
            done = RegWriteDWord(Root, Key, Name, DWordFromText(Value, Value.empty()));
            break;
        case REG_BINARY:
            qvLog("BINARY: " + Value);
            done = RegWriteBinaryHex(Root, Key, Name, Value);
            break;
        default:
            break;
        }
    }
    // Only an entry that this run backed up and really repaired is hidden
    // from the scans of the next 35 days.
    if (done && backedUp_)
        if (TqvCleanRep* report = CleanReport())
            report->Add(Root, Key, Is64, Name);
    return done;
}

void TqvRegItem::StoredAt(HKEY& StoreRoot, std::string& StoreKey) const
{
    if (Root == HKEY_CLASSES_ROOT && ClassesHive) {
        StoreRoot = ClassesHive;
        StoreKey = "Software\\Classes\\" + Key;
    } else {
        StoreRoot = Root;
        StoreKey = Key;
    }
}

bool TqvRegItem::IsValid() const
{
    return Root && !Key.empty() && ScanKind != kRegScanInvalid && FixKind != kRegFixNone;
}

bool TqvRegItem::ApplyFix()
{
    Found = true;
    Selected = true;
    return Fix();
}

void TqvRegItem::AddKeyDetails(const std::string& P, bool WithKeyItem, const TqvRegItem& Template)
{
    if (!Owner)
        return;
    TqvMain* engine = Owner->Owner;
    auto addDetail = [&](const std::string& ValueName) {
        auto detail = std::make_unique<TqvRegItem>(Owner);
        detail->Found = true;
        detail->Selected = true;
        detail->Locked = true;
        detail->Root = Template.Root;
        detail->FixKind = Template.FixKind;
        detail->Is64 = Template.Is64;
        detail->Key = P;
        detail->Name = ValueName;
        Owner->Add(std::move(detail));
        if (engine)
            engine->AddFound(1);
    };
    TItemViewScope view(Template.Is64);
    if (WithKeyItem)
        addDetail("");
    std::string names;
    if (RegGetValueNames(Template.Root, P, names))
        for (const std::string& name : RegSplitNames(names))
            if (!Trim(name).empty())
                addDetail(name);
    // Sub-keys are opened by their exact names: a trimmed name could be
    // another key.
    std::string subKeys;
    if (RegGetSubKeyNames(Template.Root, P, subKeys))
        for (const std::string& sub : RegSplitNames(subKeys)) {
            if (Trim(sub).empty())
                continue;
            // No call can open it: its cut name would be this key again.
            if (RegNameHoldsNul(sub)) {
                qvLog("Key name holds a NUL, not opened: " + RegRootToName(Template.Root) + "\\" +
                      P + "\\" + EscapeHashHex(sub));
                continue;
            }
            AddKeyDetails(P + "\\" + sub, true, Template);
        }
}

std::unique_ptr<TqvRegItem> NewRegDeletion(TqvItems* Owner, HKEY Root, const std::string& Key,
                                           const std::string& Name, bool Is64, bool ValueTarget)
{
    auto item = std::make_unique<TqvRegItem>(Owner);
    item->Found = true;
    item->Selected = true;
    item->Root = Root;
    item->Key = Key;
    item->Name = Name;
    item->ValueTarget = ValueTarget;
    item->FixKind = kRegFixDel;
    item->Is64 = Is64;
    return item;
}

// ---------------------------------------------------------------------------
// TqvFileItem

void TqvFileItem::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    Path = Attr(Tag, "path");
    Is64 = Attr(Tag, "is64") == "1";
    ScanKind = LowerCase(Attr(Tag, "scan")) == "exists" ? kFileScanExists : 0;
    const std::string fix = LowerCase(Attr(Tag, "fix"));
    FixKind = fix == "clean" ? kFileFixClean : fix == "del" ? kFileFixDel : 0;
}

std::string TqvFileItem::GetXML()
{
    auto line = [this](const std::string& FilePath) {
        std::string s = "<file path=\"" + FilePath + "\" scan=\"exists\"";
        if (Is64)
            s += " is64=\"1\"";
        if (FixKind == kFileFixClean)
            s += " fix=\"clean\"";
        else if (FixKind == kFileFixDel)
            s += " fix=\"del\"";
        return s + " />";
    };
    if (!Files)
        return line(Path);
    std::string out;
    for (const TFoundFile& f : *Files)
        out += line(Trim(f.Path)) + "\r\n";
    return out;
}

void TqvFileItem::Check()
{
    if (Found || ScanKind == 0)
        return;
    if (Is64 && !IsWin64())
        return;
    TRedirectionOffScope redirection(Is64);
    auto list = std::make_unique<TFileList>();
    SearchFilesToList(Path, list.get(), false, Is64);
    RemoveIgnoredFiles(*list);
    if (list->empty())
        return;
    std::string expanded;
    if (!TryExpandPathMacros(Trim(Path), Is64, expanded))
        return;
    TakeFiles(std::move(list), WalkRootOf(WideFromAnsi(expanded)));
    Found = true;
    Selected = true;
    Size = SumListSizes(Files.get());
    qvLog("BAD FILE:");
    qvLog(Path);
    qvLog("Found files: " + IntToStr(static_cast<int64_t>(Files->size())) +
          "\r\nTotal Size: " + IntToStr(Size));
    for (const TFoundFile& f : *Files)
        qvLog(f.Path);
}

void TqvFileItem::TakeFiles(std::unique_ptr<TFileList> List, std::wstring WalkRoot)
{
    Root = std::move(WalkRoot);
    RootIdentity = {};
    ReadFileIdentity(Root, true, RootIdentity);
    if (List)
        ReadFoundIdentities(*List);
    Files = std::move(List);
}

bool TqvFileItem::Fix()
{
    if (!Found || !Selected || FixKind == 0 || !Files)
        return false;
    if (Is64 && !IsWin64())
        return false;
    TRedirectionOffScope redirection(Is64);
    const std::string pattern = Trim(Path);
    const bool folderPattern = EndsWithBackslash(pattern);
    const bool wildcard = pattern.find('*') != std::string::npos;
    // A wildcard folder "clean" keeps every folder; any other folder pattern
    // removes the listed folders that are empty once their files are gone.
    const bool removeFolders = folderPattern && !(wildcard && FixKind == kFileFixClean);

    TContainedRemover remover(Root, RootIdentity);
    int64_t freed = 0;
    size_t files = 0;
    size_t left = 0;
    std::string firstLeft;
    for (const TFoundFile& f : *Files) {
        if (f.IsFolder())
            continue;
        ++files;
        // An entry the check could not identify is never taken for another.
        const TRemoveResult result = f.Identity.Known
                                         ? remover.RemoveFile(f.WidePath, f.Identity)
                                         : TRemoveResult::Changed;
        if (IsRemoved(result)) {
            freed += f.Size;
            qvLog("File deleted: " + f.Path);
            continue;
        }
        const std::string why = f.Path + ": " + RemoveResultText(result);
        qvLog("File not deleted: " + why);
        if (left++ == 0)
            firstLeft = why;
    }
    if (removeFolders) {
        // The walk lists a folder before what lies in it: backwards, every
        // folder comes after its contents. A folder that still holds entries
        // stays.
        for (auto it = Files->rbegin(); it != Files->rend(); ++it) {
            if (!it->IsFolder() || !it->Identity.Known)
                continue;
            const TRemoveResult result = remover.RemoveFolder(it->WidePath, it->Identity);
            if (result == TRemoveResult::Removed)
                qvLog("Dir deleted: " + ExcludeTrailingBackslash(it->Path));
            else if (result != TRemoveResult::NotEmpty && result != TRemoveResult::Gone)
                qvLog("Dir not deleted: " + it->Path + ": " + RemoveResultText(result));
        }
        if (FixKind == kFileFixDel && !wildcard &&
            remover.RemoveRoot() == TRemoveResult::Removed)
            qvLog("Dir deleted: " + AnsiFromWide(Root));
    }
    Files.reset();
    if (left == 0) {
        MarkDone(freed);
        return true;
    }
    MarkNotDone(IntToStr(static_cast<int64_t>(left)) + " of " +
                    IntToStr(static_cast<int64_t>(files)) + " files not deleted, first " +
                    firstLeft,
                freed);
    return false;
}

// ---------------------------------------------------------------------------
// TqvStartupItem

void TqvStartupItem::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    Path = Trim(Tag->Text);
    Name = Trim(Attr(Tag, "name"));
    if (Name.empty()) {
        const size_t slash = LastDelimiter(Path, "\\");
        Name = slash == std::string::npos ? Path : Path.substr(slash + 1);
    }
    Priority = StrToIntDef(Attr(Tag, "priority"), 1);
    Is64 = Attr(Tag, "is64") == "1";
}

void TqvStartupItem::Check()
{
    if (Found)
        return;
    if (Is64 && !IsWin64())
        return;
    qvLog("Scanning: " + Path);
    auto list = std::make_unique<TFileList>();
    SearchFilesToList(Path, list.get(), false, false);
    if (list->empty() && IsWin64())
        SearchFilesToList(Path, list.get(), false, true);
    if (list->empty()) {
        Files.reset();
        return;
    }
    qvLog("Found: " + IntToStr(static_cast<int64_t>(list->size())) + " file(s) for " + Path);
    for (const TFoundFile& f : *list)
        qvLog(f.Path);
    Files = std::move(list);
}

bool TqvStartupItem::Fix()
{
    return true;
}

// ---------------------------------------------------------------------------
// TqvItemsList

void TqvItemsList::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    for (const auto& child : Tag->Children()) {
        const std::string name = LowerCase(child->Name);
        if (name == "reg") {
            auto item = std::make_unique<TqvRegItem>(this);
            item->LoadFromXML(child.get());
            if (item->IsValid())
                Add(std::move(item));
            else
                qvLog("INVALID Registry Item!!!");
        } else if (name == "file") {
            auto item = std::make_unique<TqvFileItem>(this);
            item->LoadFromXML(child.get());
            if (!item->Path.empty() && item->ScanKind != 0 && item->FixKind != 0)
                Add(std::move(item));
            else
                qvLog("INVALID File Item: " + item->Path);
        } else if (name == "ieaddon" || name == "ffaddon") {
            if (auto item = LoadAddOnListItem(this, child.get(), AddOnItems))
                Add(std::move(item));
            else
                qvLog("INVALID Add-on Item!!!");
        }
        // Anything else is not a list item.
    }
}

void TqvItemsList::Scan()
{
    qvLog("Scan type: General list");
    Position = 0;
    Maximum = static_cast<int32_t>(Items.size());
    for (size_t i = 0; i < Items.size(); ++i) {
        TqvItem* item = Items[i].get();
        Guard([item] { item->Check(); });
        StepProgress();
        if (Owner && !Owner->Progress(false))
            break;
    }
}

void TqvItemsList::Clean()
{
    qvLog("Cleaning general list");
    TqvItems::Clean();
    if (AddOnItems)
        AddOnItems->SendReport();
}

// ---------------------------------------------------------------------------
// Items types

std::span<const TqvItemsType> ItemsTypes()
{
    return kItemsTypes;
}

std::unique_ptr<TqvItems> CreateScanner(std::string_view Type, TqvMain* Owner)
{
    const std::string lower = LowerCase(Type);
    for (const TqvItemsType& t : kItemsTypes)
        if (lower == t.Type)
            return t.Create(Owner);
    return nullptr;
}
