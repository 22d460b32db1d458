#include "engine/qvCleanRep.h"

#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/XmlU.h"

#include <cmath>

namespace {

std::unique_ptr<TqvCleanRep> gCleanReport;

} // namespace

TqvCleanRep::TqvCleanRep() : FileName(BackupDir() + "cleanrep.xml") {}

std::vector<std::unique_ptr<TqvRegItem>>& TqvCleanRep::ListOf(HKEY Root)
{
    if (Root == HKEY_LOCAL_MACHINE)
        return HklmEntries;
    if (Root == HKEY_CLASSES_ROOT)
        return HkcrEntries;
    return OtherEntries;
}

const std::vector<std::unique_ptr<TqvRegItem>>& TqvCleanRep::ListOf(HKEY Root) const
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

void TqvCleanRep::SyncIndex() const
{
    if (indexed_ == static_cast<size_t>(Count()))
        return;
    index_.clear();
    for (const auto* list : {&HklmEntries, &HkcrEntries, &OtherEntries})
        for (const auto& entry : *list)
            index_.insert(IndexKey(entry->Root, entry->Key, entry->Name));
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
        auto entry = std::make_unique<TqvRegItem>(nullptr);
        entry->LoadFromXML(child.get());
        if (entry->Date < oldest) {
            rewrite = true;
            continue;
        }
        index_.insert(IndexKey(entry->Root, entry->Key, entry->Name));
        ListOf(entry->Root).push_back(std::move(entry));
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
        for (const auto* list : {&HklmEntries, &HkcrEntries, &OtherEntries})
            for (const auto& entry : *list) {
                out.Add("    ");
                out.Add(entry->GetXML());
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
    auto entry = std::make_unique<TqvRegItem>(nullptr);
    entry->Root = Root;
    entry->Key = Key;
    entry->Is64 = Is64;
    entry->Name = Name;
    entry->Date = Now();
    SyncIndex();
    if (!index_.insert(IndexKey(Root, Key, Name)).second)
        return;
    ListOf(Root).push_back(std::move(entry));
    ++indexed_;
    changed_ = true;
}

bool TqvCleanRep::Contains(const TqvRegItem& Item) const
{
    SyncIndex();
    return index_.count(IndexKey(Item.Root, Item.Key, Item.Name)) != 0;
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
