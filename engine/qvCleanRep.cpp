#include "engine/qvCleanRep.h"

#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/HashU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/XmlU.h"

#include <cmath>

namespace {

std::unique_ptr<TqvCleanRep> gCleanReport;

} // namespace

TqvCleanRep::TqvCleanRep() : FileName(BackupDir() + "cleanrep.xml") {}

namespace {

// The list of a root in an index position: its letter's place in "MCO".
uint32_t ListNumber(HKEY Root)
{
    return Root == HKEY_LOCAL_MACHINE ? 0 : Root == HKEY_CLASSES_ROOT ? 1 : 2;
}

constexpr uint32_t kPositionBits = 30;


} // namespace

std::vector<TqvCleanRep::TEntry>& TqvCleanRep::ListOf(HKEY Root)
{
    if (Root == HKEY_LOCAL_MACHINE)
        return HklmEntries;
    if (Root == HKEY_CLASSES_ROOT)
        return HkcrEntries;
    return OtherEntries;
}

const std::vector<TqvCleanRep::TEntry>& TqvCleanRep::ListOf(HKEY Root) const
{
    return const_cast<TqvCleanRep*>(this)->ListOf(Root);
}

void TqvCleanRep::Clear()
{
    HklmEntries.clear();
    HkcrEntries.clear();
    OtherEntries.clear();
    index_.clear();
    indexed_ = 0;
}

std::string TqvCleanRep::IndexKey(HKEY Root, const std::string& Key, const std::string& Name)
{
    // The list rather than the root: every root but HKLM and HKCR shares one.
    const char list = Root == HKEY_LOCAL_MACHINE ? 'M' : Root == HKEY_CLASSES_ROOT ? 'C' : 'O';
    // The key's length keeps key and name apart whatever they hold.
    const std::string key = LowerCase(Key);
    return list + std::to_string(key.size()) + ':' + key + LowerCase(Name);
}

void TqvCleanRep::IndexEntry(HKEY Root, size_t Position) const
{
    const TEntry& entry = ListOf(Root)[Position];
    index_.emplace(Fnv1a64(IndexKey(Root, entry.Key, entry.Name)),
                   (ListNumber(Root) << kPositionBits) | static_cast<uint32_t>(Position));
}

bool TqvCleanRep::Indexed(HKEY Root, const std::string& Key, const std::string& Name) const
{
    const std::string wanted = IndexKey(Root, Key, Name);
    const auto [first, last] = index_.equal_range(Fnv1a64(wanted));
    for (auto it = first; it != last; ++it) {
        const uint32_t list = it->second >> kPositionBits;
        const size_t position = it->second & ((1u << kPositionBits) - 1);
        const std::vector<TEntry>& entries =
            list == 0 ? HklmEntries : list == 1 ? HkcrEntries : OtherEntries;
        if (position < entries.size() &&
            IndexKey(entries[position].Root, entries[position].Key, entries[position].Name) ==
                wanted)
            return true;
    }
    return false;
}

void TqvCleanRep::SyncIndex() const
{
    if (indexed_ == static_cast<size_t>(Count()))
        return;
    index_.clear();
    for (const auto* list : {&HklmEntries, &HkcrEntries, &OtherEntries})
        for (size_t i = 0; i < list->size(); ++i)
            IndexEntry((*list)[i].Root, i);
    indexed_ = static_cast<size_t>(Count());
}

void TqvCleanRep::Load()
{
    Clear();
    changed_ = false;
    if (!FileExistsEx(FileName))
        return;
    // An entry here hides a dead key from every scan for weeks: a report that
    // anyone but an administrator may have written is not read.
    if (!IsTrustedFile(FileName, true)) {
        qvLog("Clean report not trusted, not read: " + FileName);
        return;
    }
    TXML xml;
    // A file cut short or broken is not trusted for any entry: the report
    // starts empty and the next save writes it whole.
    if (!xml.LoadFromFile(FileName) || !xml.Complete())
        return;
    TXMLTag* root = xml.Root()->FindFirst("cleanrep");
    if (!root)
        return;
    const double oldest = Now() - kCleanReportDays;
    bool rewrite = false;
    for (const auto& child : root->Children()) {
        if (LowerCase(child->Name) != "reg") {
            rewrite = true;
            continue;
        }
        TqvRegItem read(nullptr);
        read.LoadFromXML(child.get());
        if (read.Date < oldest) {
            rewrite = true;
            continue;
        }
        std::vector<TEntry>& list = ListOf(read.Root);
        list.push_back(TEntry{read.Root, std::move(read.Key), std::move(read.Name), read.Date,
                              read.Is64});
        IndexEntry(read.Root, list.size() - 1);
        ++indexed_;
    }
    if (rewrite)
        Save();
}

bool TqvCleanRep::Save()
{
    // Streamed in blocks, entry by entry: after a large repair the report
    // holds many thousand entries.
    const auto write = [this](TStreamWriter& Writer) {
        TBlockWriter out(Writer);
        out.Add("<cleanrep>\r\n");
        TqvRegItem line(nullptr);
        for (const auto* list : {&HklmEntries, &HkcrEntries, &OtherEntries})
            for (const TEntry& entry : *list) {
                line.Root = entry.Root;
                line.Key = entry.Key;
                line.Name = entry.Name;
                line.Is64 = entry.Is64;
                line.Date = entry.Date;
                out.Add("    ");
                out.Add(line.GetXML());
                out.Add("\r\n");
            }
        out.Add("</cleanrep>\r\n");
        return out.Finish();
    };
    if (!CommonDataDir().empty())
        CreateDirectoryPath(CommonDataDir(), TFileSecurity::Protected, true);
    const size_t slash = LastDelimiter(FileName, "\\");
    if (slash != std::string::npos)
        CreateDirectoryPath(FileName.substr(0, slash + 1), TFileSecurity::Protected, true);
    if (!SaveFileAtomic(FileName, write, TFileSecurity::Protected)) {
        qvLog("Clean report not saved: " + FileName);
        return false;
    }
    changed_ = false;
    return true;
}

void TqvCleanRep::Add(HKEY Root, const std::string& Key, bool Is64, const std::string& Name)
{
    SyncIndex();
    if (Indexed(Root, Key, Name))
        return;
    std::vector<TEntry>& list = ListOf(Root);
    list.push_back(TEntry{Root, Key, Name, Now(), Is64});
    IndexEntry(Root, list.size() - 1);
    ++indexed_;
    changed_ = true;
}

bool TqvCleanRep::Contains(const TqvRegItem& Item) const
{
    SyncIndex();
    return Indexed(Item.Root, Item.Key, Item.Name);
}

int TqvCleanRep::Count() const
{
    return static_cast<int>(HklmEntries.size() + HkcrEntries.size() + OtherEntries.size());
}

TqvCleanRep* CleanReport()
{
    return gCleanReport.get();
}

TqvCleanRep& EnsureCleanReportLoaded()
{
    if (!gCleanReport) {
        gCleanReport = std::make_unique<TqvCleanRep>();
        TqvCleanRep* report = gCleanReport.get();
        if (!Guard([report] { report->Load(); }))
            report->Clear();
    }
    return *gCleanReport;
}

void SaveCleanReportIfChanged()
{
    if (gCleanReport && gCleanReport->Changed())
        gCleanReport->Save();
}

void ResetCleanReportForTests()
{
    gCleanReport.reset();
}
