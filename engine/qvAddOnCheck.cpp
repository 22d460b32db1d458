#include "engine/qvAddOnCheck.h"

#include "engine/qvAddOnReaders.h"
#include "engine/qvClasses.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/HTTPU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/XmlU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <algorithm>
#include <mutex>

namespace {

struct TSourceCode {
    const char* Kind;
    int Code;
};
constexpr TSourceCode kSourceCodes[] = {
    {"BHO", 1},  {"TBR", 2},  {"BHO64", 3}, {"TBR64", 4},
    {"FFS", 11}, {"FFF", 12}, {"FFRC", 13}, {"FFRH", 14},
};

constexpr char kEnvelopeStart[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>";
constexpr char kEnvelopeEnd[] = "</soap:Body></soap:Envelope>";

// The running check threads: a wait handle each, so that a program can wait
// for them before it ends.
struct TRunningChecks {
    std::mutex lock;
    std::vector<HANDLE> handles;
};

TRunningChecks& RunningChecks()
{
    static TRunningChecks* running = new TRunningChecks;
    return *running;
}

void RememberCheck(HANDLE Handle)
{
    TRunningChecks& running = RunningChecks();
    std::lock_guard hold(running.lock);
    // Handles of threads that ended are dropped on the way.
    auto ended = std::remove_if(running.handles.begin(), running.handles.end(), [](HANDLE h) {
        if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0)
            return false;
        CloseHandle(h);
        return true;
    });
    running.handles.erase(ended, running.handles.end());
    running.handles.push_back(Handle);
}

// A value of the request: UTF-8, escaped, controls never kept.
std::string RequestValue(std::string_view Utf8)
{
    return XmlEscape(Utf8, false);
}

TqvAddOnItem* FindInIndex(const TAddOnIndex& Index, const std::string& Id)
{
    for (const auto& [id, record] : Index)
        if (id == Id)
            return record;
    return nullptr;
}

// POSTs the request; the body of a 200 answer of at most kMaxCheckReplyBytes,
// else ''.
std::string PostCheck(const std::string& Request)
{
    TMemoryStreamWriter output;
    THTTPGet http;
    http.SetURL(Settings()->ADDON_URL);
    http.PostData = Request;
    http.ContentTypeHeader = "Content-Type: text/xml; charset=utf-8";
    http.ExtraHeaders = std::string("SOAPAction: \"") + kAddOnServiceNamespace + "/CheckBHO\"";
    http.Output = &output;
    bool tooLarge = false;
    http.OnProgress = [&tooLarge](THTTPGet& Sender, int64_t Received, int64_t) {
        if (Received > static_cast<int64_t>(kMaxCheckReplyBytes) && !tooLarge) {
            tooLarge = true;
            Sender.Abort(0);
        }
    };
    const bool done = http.ExecuteRequest();
    TMemoryStream& memory = output.MemoryStream();
    const int64_t size = memory.GetSize();
    if (!done || http.Status != 200 || tooLarge || size <= 0 ||
        size > static_cast<int64_t>(kMaxCheckReplyBytes)) {
        qvLog("Add-on check: no reply (status " + IntToStr(http.Status) + ", error " +
              IntToStr(http.ErrorCode) + ", " + IntToStr(size) + " bytes)");
        return {};
    }
    return memory.ToString();
}

} // namespace

int GetAddOnSourceCode(std::string_view Source)
{
    for (const TSourceCode& s : kSourceCodes)
        if (Source == s.Kind)
            return s.Code;
    return 0;
}

TCriticalSection& AddOnLock()
{
    static TCriticalSection* lock = new TCriticalSection;
    return *lock;
}

// ---------------------------------------------------------------------------
// TqvAddOnItems

TqvAddOnItems::TqvAddOnItems(TqvItems* Owner) : Owner(Owner)
{
    if (!CommonDataDir().empty())
        FileName = CommonDataDir() + "addons.xml";
}

std::shared_ptr<TqvAddOnItems> TqvAddOnItems::Create(TqvItems* Owner)
{
    return std::shared_ptr<TqvAddOnItems>(new TqvAddOnItems(Owner));
}

TqvAddOnItems::~TqvAddOnItems() = default;

void TqvAddOnItems::Load()
{
    WhiteIndex.clear();
    BlackIndex.clear();
    UnknownIndex.clear();
    ReportList.erase(std::remove_if(ReportList.begin(), ReportList.end(),
                                    [this](TqvAddOnItem* r) {
                                        return std::none_of(
                                            reportOnly_.begin(), reportOnly_.end(),
                                            [r](const auto& own) { return own.get() == r; });
                                    }),
                     ReportList.end());
    AllRecords.clear();
    if (FileName.empty() || !FileExistsEx(FileName))
        return;
    // A planted verdict would make a finding: only a cache that no one but an
    // administrator may have written is read.
    if (!IsTrustedFile(FileName, true)) {
        qvLog("Add-on cache not trusted, not read: " + FileName);
        return;
    }
    TXML xml;
    if (!xml.LoadFromFile(FileName))
        return;
    TXMLTag* addons = TXMLTag::FindPath(xml.Root(), {"addons"});
    if (!addons)
        return;
    for (const auto& child : addons->Children()) {
        if (!SameTextAscii(child->Name, "addon"))
            continue;
        const std::string id = TXMLTag::GetAttribute(child.get(), "id");
        const std::string type = AsciiUpperCase(TXMLTag::GetAttribute(child.get(), "type"));
        if (id.empty() || (type != "W" && type != "B"))
            continue;
        auto record = std::make_unique<TqvAddOnItem>();
        record->Id = id;
        record->Name = WideFromUtf8(TXMLTag::GetAttribute(child.get(), "name"));
        record->Verdict = type == "W" ? kVerdictWhite : kVerdictBlack;
        record->Owner = this;
        (type == "W" ? WhiteIndex : BlackIndex).emplace_back(id, record.get());
        AllRecords.push_back(std::move(record));
    }
}

std::string TqvAddOnItems::CacheText() const
{
    std::string text = "<addons>\r\n";
    for (const auto& record : AllRecords) {
        if (record->Verdict == kVerdictUnknown || record->Id.empty())
            continue;
        text += "  <addon id=\"" + XmlEscapeText(record->Id, false, false) + "\" name=\"" +
                XmlEscapeText(Utf8FromWide(record->Name), false, false) + "\" type=\"" +
                (record->Verdict == kVerdictBlack ? "B" : "W") + "\" />\r\n";
    }
    text += "</addons>\r\n";
    return text;
}

bool TqvAddOnItems::Save()
{
    if (FileName.empty())
        return false;
    const size_t slash = LastDelimiter(FileName, "\\");
    if (slash != std::string::npos)
        CreateDirectoryPath(FileName.substr(0, slash + 1), TFileSecurity::Protected, true);
    // A white verdict hides an add-on for good: the file must not be open to
    // every user, and an interruption must not lose it.
    if (!SaveFileAtomic(FileName, CacheText(), TFileSecurity::Protected)) {
        qvLog("Add-on cache not saved: " + FileName);
        return false;
    }
    return true;
}

TqvAddOnItem* TqvAddOnItems::Lookup(const std::string& Id, const std::wstring& Name, bool Disabled,
                                    const std::string& Path, const std::string& Source)
{
    const std::string key = NormalizeAddOnId(Id);
    if (TqvAddOnItem* white = FindInIndex(WhiteIndex, key))
        return white;
    if (TqvAddOnItem* black = FindInIndex(BlackIndex, key))
        return black;
    auto record = std::make_unique<TqvAddOnItem>();
    record->Id = key;
    record->Name = Name;
    record->Source = Source;
    record->Path = Path;
    record->Disabled = Disabled ? 1 : 0;
    record->Owner = this;
    UnknownIndex.emplace_back(key, record.get());
    AllRecords.push_back(std::move(record));
    return AllRecords.back().get();
}

void TqvAddOnItems::StartThread(uint8_t CallType)
{
    auto* thread = new TqvAddOnCheckThr(shared_from_this(), CallType);
    if (CallType == kCallTypeCheck)
        CheckThread = thread;
    if (HANDLE wait = thread->OpenWaitHandle())
        RememberCheck(wait);
    thread->Start();
}

void TqvAddOnItems::StartCheck()
{
    if (UnknownIndex.empty()) {
        CheckDone = 1;
        return;
    }
    StartThread(kCallTypeCheck);
}

void TqvAddOnItems::AddToReport(TqvAddOnItem* Record)
{
    if (!Record)
        return;
    // A report thread of an earlier repair may be reading the list.
    TAddOnLockHold hold(INFINITE);
    ReportList.push_back(Record);
}

void TqvAddOnItems::AddToReport(const std::string& Id, const std::wstring& Name,
                                const std::string& Path, const std::string& Source)
{
    auto record = std::make_unique<TqvAddOnItem>();
    record->Id = Id;
    record->Name = Name;
    record->Path = Path;
    record->Source = Source;
    record->Owner = this;
    TAddOnLockHold hold(INFINITE);
    ReportList.push_back(record.get());
    reportOnly_.push_back(std::move(record));
}

void TqvAddOnItems::SendReport()
{
    {
        TAddOnLockHold hold(INFINITE);
        if (ReportList.empty())
            return;
    }
    StartThread(kCallTypeReport);
}

std::string TqvAddOnItems::RequestText(uint8_t CallType) const
{
    const std::shared_ptr<const TSettings> settings = Settings();
    std::string text = kEnvelopeStart;
    text += std::string("<CheckBHO xmlns=\"") + kAddOnServiceNamespace + "\">";
    // UID lives in a key every user may change: escaped like every value.
    text += "<CFG>" + RequestValue(Utf8FromWide(WideFromAnsi(settings->CFG_ID))) + "</CFG>";
    text += "<UID>" + RequestValue(Utf8FromWide(WideFromAnsi(settings->UID))) + "</UID>";
    text += "<callType>" + IntToStr(CallType) + "</callType>";
    text += "<BHO_List>";
    auto add = [&text](const TqvAddOnItem& r) {
        // The name goes through the code page first, as the service expects.
        const std::string name = Utf8FromWide(WideFromAnsi(AnsiFromWide(r.Name)));
        text += "<BHO><BHO_ID>" + RequestValue(Utf8FromWide(WideFromAnsi(r.Id))) + "</BHO_ID>";
        text += "<note>" + RequestValue(name) + "</note>";
        text += "<path>" + RequestValue(Utf8FromWide(WideFromAnsi(r.Path))) + "</path>";
        text += "<source>" + IntToStr(GetAddOnSourceCode(r.Source)) + "</source></BHO>";
    };
    if (CallType == kCallTypeCheck) {
        for (const auto& entry : UnknownIndex)
            add(*entry.second);
    } else {
        for (const TqvAddOnItem* record : ReportList)
            add(*record);
    }
    text += "</BHO_List></CheckBHO>";
    text += kEnvelopeEnd;
    return text;
}

bool TqvAddOnItems::ApplyReply(const std::string& Body)
{
    TXML xml;
    xml.LoadFromString(Body);
    TXMLTag* result = TXMLTag::FindPath(
        xml.Root(), {"soap:Envelope", "soap:Body", "CheckBHOResponse", "CheckBHOResult"});
    if (!result) {
        qvLog("Add-on check: reply without a result");
        return false;
    }
    TAddOnLockHold hold(kAddOnLockWaitMs);
    if (!hold.Held()) {
        qvLog("Add-on check: lock not obtained, reply dropped");
        return false;
    }
    for (const auto& child : result->Children()) {
        if (!SameTextAscii(child->Name, "BHO_Result"))
            continue;
        const std::string id =
            NormalizeAddOnId(TXMLTag::GetText(TXMLTag::FindPath(child.get(), {"BHO_ID"})));
        TXMLTag* note = TXMLTag::FindPath(child.get(), {"note"});
        for (size_t i = 0; i < UnknownIndex.size();) {
            if (UnknownIndex[i].first != id) {
                ++i;
                continue;
            }
            TqvAddOnItem* record = UnknownIndex[i].second;
            record->Verdict = kVerdictBlack;
            if (note)
                record->Name = WideFromUtf8(TXMLTag::GetText(note));
            BlackIndex.emplace_back(id, record);
            UnknownIndex.erase(UnknownIndex.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    // What the service did not name is harmless; it stays in the unknown
    // index as well.
    for (const auto& [id, record] : UnknownIndex) {
        if (record->Verdict != kVerdictUnknown)
            continue;
        record->Verdict = kVerdictWhite;
        WhiteIndex.emplace_back(id, record);
    }
    Save();
    CheckDone = 1;
    CheckThread = nullptr;
    return true;
}

// ---------------------------------------------------------------------------
// TqvAddOnCheckThr

TqvAddOnCheckThr::TqvAddOnCheckThr(std::shared_ptr<TqvAddOnItems> Items, uint8_t CallType)
    : TThread(true), Items(std::move(Items)), CallType(CallType)
{
}

void TqvAddOnCheckThr::Execute()
{
    Guard([this] {
        if (!Items)
            return;
        std::string request;
        {
            TAddOnLockHold hold(kAddOnLockWaitMs);
            if (!hold.Held())
                return;
            request = Items->RequestText(CallType);
        }
        const std::string body = PostCheck(request);
        if (CallType == kCallTypeCheck && !body.empty() && Items->ApplyReply(body))
            Items.reset();
    });
    if (Items) {
        TqvAddOnCheckThr* self = this;
        Items->CheckThread.compare_exchange_strong(self, nullptr);
    }
}

bool WaitForAddOnChecks(DWORD TimeoutMs)
{
    std::vector<HANDLE> handles;
    {
        TRunningChecks& running = RunningChecks();
        std::lock_guard hold(running.lock);
        handles = running.handles;
    }
    const DWORD start = GetTickCount();
    for (HANDLE h : handles) {
        const DWORD spent = GetTickCount() - start;
        if (WaitForSingleObject(h, spent >= TimeoutMs ? 0 : TimeoutMs - spent) != WAIT_OBJECT_0)
            return false;
    }
    return true;
}
