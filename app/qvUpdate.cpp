#include "app/qvUpdate.h"

#include "app/frmAllImages.h"
#include "app/frmAllMain.h"
#include "app/qvAppBody.h"
#include "app/qvFormTranslate.h"
#include "controls/KvComCtrls.h"
#include "controls/KvLayout.h"
#include "controls/KvStdCtrls.h"
#include "controls/SkinControls.h"
#include "engine/qvScanTools.h"
#include "platform/ArchiveU.h"
#include "platform/DateTimeU.h"
#include "platform/HTTPU.h"
#include "platform/HashU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/StreamU.h"
#include "platform/SyncObjsU.h"
#include "platform/UnicodeU.h"
#include "platform/qvSettings.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/ShellUtilsU.h"
#include "platform/StringListU.h"
#include "platform/SysUtilsU.h"
#include "platform/qvCommon.h"

#include <windows.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <stdexcept>

namespace {

constexpr size_t kMaxNameLength = 64;
constexpr size_t kSha256Digits = 64;
constexpr char kLoopbackHttp[] = "http://127.0.0.1";
constexpr char kHttps[] = "https://";

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix)
{
    return Text.size() >= Prefix.size() && SameTextAscii(Text.substr(0, Prefix.size()), Prefix);
}

bool IsDeviceName(std::string_view Name)
{
    const std::string base = AsciiLowerCase(Name.substr(0, Name.find('.')));
    for (const char* device : {"con", "prn", "aux", "nul"})
        if (base == device)
            return true;
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
           base[3] >= '1' && base[3] <= '9';
}

// ".cab" for "x\\Y.CAB"; '' without an extension.
std::string LowerExtension(const std::string& Path)
{
    const size_t dot = Path.find_last_of(".\\/");
    return dot == std::string::npos || Path[dot] != '.' ? std::string()
                                                        : AsciiLowerCase(Path.substr(dot));
}

bool ParseLine(std::string_view Line, TUpdateEntry& Entry)
{
    const size_t first = Line.find('\t');
    const size_t second = first == std::string_view::npos ? first : Line.find('\t', first + 1);
    if (second == std::string_view::npos || Line.find('\t', second + 1) != std::string_view::npos)
        return false;
    TUpdateEntry entry;
    entry.URL = Trim(Line.substr(0, first));
    const std::string size = Trim(Line.substr(first + 1, second - first - 1));
    entry.Sha256 = AsciiLowerCase(Trim(Line.substr(second + 1)));
    const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), entry.Size);
    if (size.empty() || error != std::errc() || end != size.data() + size.size() || entry.Size <= 0)
        return false;
    if (entry.Sha256.size() != kSha256Digits ||
        entry.Sha256.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    if (!IsTrustedUpdateURL(entry.URL))
        return false;
    entry.FileName = UrlFileName(entry.URL);
    if (!IsPlainUpdateName(entry.FileName))
        return false;
    Entry = std::move(entry);
    return true;
}

// Source put in place beside its target in the program folder.
bool InstallOne(const std::string& Source)
{
    const std::string target = ProgramDir() + ExtractFileName(Source);
    const std::string fresh = ChangeFileExt(target, ".new");
    const std::string old = ChangeFileExt(target, ".old");
    if (FileExistsEx(fresh))
        DeleteFileA(fresh.c_str());
    // Twice, as a virus scanner may hold a new file for a moment; never an
    // older copy in its place: "/completeupdate" would install that.
    if (!CopyFileTo(Source, fresh, true, true) && !CopyFileTo(Source, fresh, true, true))
        return false;
    UpdateStepDone(kUpdateStepNewCopied);
    if (!SwapUpdatedFile(target)) {
        if (!FileExistsEx(fresh))
            return false;
        AppFlags().UpdatePending = true;
    }
    DeleteFileA(Source.c_str());
    UpdateStepDone(kUpdateStepSourceDeleted);
    // What an earlier version's update left; one still in use stays and goes
    // at the next start.
    if (FileExistsEx(old))
        DeleteFileA(old.c_str());
    UpdateStepDone(kUpdateStepOldDeleted);
    return true;
}

} // namespace

bool IsPlainUpdateName(std::string_view Name)
{
    if (Name.empty() || Name.size() > kMaxNameLength || Name.find("..") != std::string_view::npos)
        return false;
    for (char c : Name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-'))
            return false;
    return !IsDeviceName(Name);
}

bool IsTrustedUpdateURL(std::string_view URL)
{
    if (StartsWithNoCase(URL, kHttps))
        return URL.size() > sizeof(kHttps) - 1;
    if (!StartsWithNoCase(URL, kLoopbackHttp))
        return false;
    std::string_view rest = URL.substr(sizeof(kLoopbackHttp) - 1);
    if (!rest.empty() && rest.front() == ':') {
        const size_t slash = rest.find('/');
        const std::string_view port = rest.substr(1, slash == std::string_view::npos ? rest.size() : slash - 1);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    return !rest.empty() && rest.front() == '/';
}

bool ParseUpdateList(const std::string& List, const std::string& SourceURL,
                     std::vector<TUpdateEntry>& Entries)
{
    if (!IsTrustedUpdateURL(SourceURL))
        return false;
    std::vector<TUpdateEntry> entries;
    size_t from = 0;
    while (from <= List.size()) {
        size_t end = List.find_first_of("\r\n", from);
        if (end == std::string::npos)
            end = List.size();
        const std::string_view line = std::string_view(List).substr(from, end - from);
        if (!Trim(line).empty()) {
            TUpdateEntry entry;
            if (!ParseLine(line, entry))
                return false;
            entries.push_back(std::move(entry));
        }
        from = end + 1;
    }
    Entries = std::move(entries);
    return true;
}

bool InstallUpdateFile(const std::string& File)
{
    if (!FileExistsEx(File))
        return false;
    std::vector<std::string> sources;
    bool ok = true;
    if (LowerExtension(File) == ".cab") {
        ok = Guard([&] {
            TArchive archive(File);
            TStringList names;
            if (!archive.SetArchiveType(kArchiveTypeCAB) || !archive.LoadArchiveContents(&names))
                throw std::runtime_error("update cabinet unreadable");
            for (int i = 0; i < names.Count(); ++i) {
                const std::string name = Trim(names[i]);
                if (name.empty())
                    continue;
                // Checked before anything is written: the cabinet unit would
                // put "..\x" outside the update folder.
                if (!IsPlainUpdateName(name))
                    throw std::runtime_error("update cabinet entry with a path");
                sources.push_back(UpdateDir() + name);
            }
            if (!archive.DecompressToDir(UpdateDir(), "", true))
                throw std::runtime_error("update cabinet not extracted");
        });
        if (!ok) {
            // Nothing of a cabinet that failed stays in the update folder.
            for (const std::string& source : sources)
                if (FileExistsEx(source))
                    DeleteFileA(source.c_str());
            sources.clear();
        }
    } else {
        sources.push_back(File);
    }
    for (const std::string& source : sources)
        if (!FileExistsEx(source) || !InstallOne(source))
            ok = false;
    if (FileExistsEx(File) && (ok || LowerExtension(File) == ".cab"))
        DeleteFileA(File.c_str());
    return ok;
}

// ---------------------------------------------------------------------------
// The update window

namespace {

constexpr char kLastUpdateValue[] = "LAST_UPDATE";
constexpr double kUpdateEveryDays = 3.0;
constexpr DWORD kDownloadLookMs = 50;
constexpr DWORD kMinRefreshGapMs = 100;
constexpr DWORD kRateEveryMs = 1000;
// Below this the rate of a file is not worked out: a division by almost
// nothing would show a wild (or infinite) rate.
constexpr DWORD kFirstRateMs = 250;
constexpr UINT kMarqueeStepMs = 60;
constexpr DWORD kTrayStopMs = 100;
constexpr DWORD kTrayGoneMs = 1000;
constexpr uint8_t kUpdateLogCategory = 1;
constexpr uint8_t kUpdateLogLevel = 2;

constexpr int kClientWidth = 420;
constexpr int kClientHeight = 156;
constexpr int kMargin = 14;
constexpr int kInnerWidth = kClientWidth - 2 * kMargin;
constexpr int kCounterWidth = 80;

const TFontSpec kStatusFont{.name = L"Tahoma", .height = -13, .style = fsBold, .styleSet = true,
                            .color = 0x7A4A1F};
const TFontSpec kTextFont{.name = L"Tahoma", .height = -12, .color = 0x404040};
const TFontSpec kButtonFont{.name = L"Tahoma", .height = -13, .style = fsBold, .styleSet = true,
                            .color = clWhite};

// The labels the program fills carry the no-translation tag.
const TControlSpec kUpdateLayout[] = {
    {.kind = KvNew<TLabel>, .name = L"LabelStatus", .left = kMargin, .top = 14,
     .width = kInnerWidth - kCounterWidth, .height = 18, .caption = L"", .font = kStatusFont,
     .tag = kNoTranslationTag, .autoSize = TFlag::Off, .showAccelChar = TFlag::Off},
    {.kind = KvNew<TLabel>, .name = L"LabelCounter", .left = kClientWidth - kMargin - kCounterWidth,
     .top = 14, .width = kCounterWidth, .height = 18, .caption = L"", .font = kStatusFont,
     .tag = kNoTranslationTag, .alignment = TAlignment::Right, .alignmentSet = true,
     .autoSize = TFlag::Off, .showAccelChar = TFlag::Off},
    {.kind = KvNew<TProgressBar>, .name = L"ProgressBar", .left = kMargin, .top = 40,
     .width = kInnerWidth, .height = 18},
    {.kind = KvNew<TLabel>, .name = L"LabelTimeSize", .left = kMargin, .top = 68,
     .width = kInnerWidth, .height = 16, .caption = L"", .font = kTextFont,
     .tag = kNoTranslationTag, .autoSize = TFlag::Off, .showAccelChar = TFlag::Off},
    {.kind = KvNew<TLabel>, .name = L"LabelRate", .left = kMargin, .top = 88,
     .width = kInnerWidth, .height = 16, .caption = L"", .font = kTextFont,
     .tag = kNoTranslationTag, .autoSize = TFlag::Off, .showAccelChar = TFlag::Off},
    {.kind = KvNew<TSkinButton>, .name = L"ButtonCancel",
     .left = kClientWidth - kMargin - 112, .top = 112, .width = 112, .height = 30,
     .caption = L"Cancel", .image = L"BUTTON1", .imageHot = L"BUTTON1_HOT",
     .imageDown = L"BUTTON1_DOWN", .imageDisabled = L"BUTTON1_INACTIVE", .font = kButtonFont,
     .cursor = crHandPoint},
};

// Read by the update run's threads, set and cleared on the GUI thread.
std::atomic<TFormUpdate*> gFormUpdate{nullptr};

std::wstring Translated(const wchar_t* Key, const wchar_t* Default)
{
    return TranslateText(Key, Default);
}

template <typename T> T* Need(TComponent& Owner, const wchar_t* Name)
{
    T* found = Owner.Find<T>(Name);
    if (!found)
        Log("FormUpdate: no control " + WideToUtf8(Name), kUpdateLogCategory, 4);
    return found;
}

void SetText(TLabel* Label, const std::wstring& Text)
{
    if (Label && Label->Caption() != Text)
        Label->SetCaption(Text);
}

} // namespace

std::wstring UpdateTimeLeftText(uint32_t Seconds)
{
    const uint32_t hours = Seconds / 3600;
    const uint32_t minutes = (Seconds % 3600) / 60;
    std::wstring text;
    if (hours > 0)
        text += std::to_wstring(hours) + L" h ";
    if (minutes > 0)
        text += std::to_wstring(minutes) + L" min ";
    if (hours == 0)
        text += std::to_wstring(Seconds % 60) + L" sec";
    return text;
}

std::wstring FillUpdateProgress(const std::wstring& Template, const std::wstring& TimeLeft,
                                const std::wstring& Done, const std::wstring& Total)
{
    std::wstring text = Template;
    size_t from = 0;
    for (const std::wstring* part : {&TimeLeft, &Done, &Total}) {
        const size_t at = text.find(L"%s", from);
        if (at == std::wstring::npos)
            break;
        text.replace(at, 2, *part);
        from = at + part->size();
    }
    return text;
}

TFormUpdate* FormUpdate()
{
    return gFormUpdate;
}

TFormUpdate::TFormUpdate(TComponent* owner) : TForm(owner)
{
    gFormUpdate = this;
    SetName(L"FormUpdate");
    SetBorderStyle(TBorderStyle::Dialog);
    SetPosition(TFormPosition::ScreenCenter);
    SetColor(clWhite);
    Font().SetName(L"Tahoma");
    Font().SetHeight(-12);
    SetClientSize(kClientWidth, kClientHeight);
    TImageData* store = TImageData::Instance();
    BuildLayout(*this, kUpdateLayout, {.images = store ? store->ImageList() : nullptr});
    labelStatus_ = Need<TLabel>(*this, L"LabelStatus");
    labelCounter_ = Need<TLabel>(*this, L"LabelCounter");
    labelTimeSize_ = Need<TLabel>(*this, L"LabelTimeSize");
    labelRate_ = Need<TLabel>(*this, L"LabelRate");
    progress_ = Need<TProgressBar>(*this, L"ProgressBar");
    buttonCancel_ = Need<TSkinButton>(*this, L"ButtonCancel");
    if (buttonCancel_)
        buttonCancel_->OnClick = [this](TComponent&) { CancelByUser(); };
    // The close box cancels as the button does; the window stays for the
    // next run.
    OnClose = [this](TForm&, TCloseAction& Action) {
        cancel_ = true;
        Action = TCloseAction::Hide;
    };
    Translate();
}

TFormUpdate::~TFormUpdate()
{
    TFormUpdate* self = this;
    gFormUpdate.compare_exchange_strong(self, nullptr);
}

void TFormUpdate::Translate()
{
    SetCaption(Translated(L"UpdateFormCaption", L"%BRAND% Update Progress"));
    TranslateForm(*this);
    if (fileCount_ > 0)
        SetText(labelStatus_, installing_ ? Translated(L"UpdateInstalling", L"Installing updates...")
                                          : Translated(L"UpdateDownloading", L"Downloading updates..."));
}

void TFormUpdate::CancelByUser()
{
    cancel_ = true;
    Hide();
}

void TFormUpdate::SetCounters(int64_t Downloaded, int64_t Total)
{
    downloaded_ = static_cast<uint32_t>(std::clamp<int64_t>(Downloaded, 0, UINT32_MAX));
    total_ = static_cast<uint32_t>(std::clamp<int64_t>(Total, 0, UINT32_MAX));
}

void TFormUpdate::ResetCounters()
{
    downloaded_ = 0;
    total_ = 0;
    rate_ = 0;
    secondsLeft_ = 0;
}

void TFormUpdate::SetCounterText(int Index)
{
    SetText(labelCounter_, std::to_wstring(Index + 1) + L"/" + std::to_wstring(fileCount_));
}

void TFormUpdate::StartDownloading(int FileCount)
{
    cancel_ = false;
    installing_ = false;
    fileCount_ = FileCount;
    fileIndex_ = 0;
    SetText(labelStatus_, Translated(L"UpdateDownloading", L"Downloading updates..."));
    if (progress_)
        progress_->SetMarquee(false);
    ResetCounters();
    Refresh();
}

void TFormUpdate::NextFile()
{
    ++fileIndex_;
    ResetCounters();
    Refresh();
}

bool TFormUpdate::RefreshDue() const
{
    return !refreshed_ || Tick() - lastRefresh_ >= kMinRefreshGapMs;
}

void TFormUpdate::Refresh(bool Force)
{
    const DWORD now = Tick();
    if (!Force && refreshed_ && now - lastRefresh_ < kMinRefreshGapMs)
        return;
    refreshed_ = true;
    lastRefresh_ = now;
    SetCounterText(fileIndex_);
    const uint32_t total = total_;
    const uint32_t downloaded = std::min<uint32_t>(downloaded_, total);
    if (total == 0) {
        startTick_ = now;
        rateTick_ = 0;
        rate_ = 0;
        SetText(labelTimeSize_, L"");
        SetText(labelRate_, L"");
        if (progress_)
            progress_->SetPosition(0);
        return;
    }
    if (rate_ == 0 || now - rateTick_ >= kRateEveryMs) {
        const DWORD elapsed = now - startTick_;
        rate_ = elapsed < kFirstRateMs ? 0.0 : downloaded / (elapsed / 1000.0);
        if (rate_ != 0)
            rateTick_ = now;
        secondsLeft_ = rate_ > 0 ? static_cast<uint32_t>(std::lround((total - downloaded) / rate_)) : 0;
    }
    if (rate_ != 0)
        SetText(labelTimeSize_,
                FillUpdateProgress(Translated(L"UpdateProgress", L"%s (%s of %s downloaded)"),
                                   UpdateTimeLeftText(secondsLeft_),
                                   WideFromAnsi(FormatSize(downloaded)),
                                   WideFromAnsi(FormatSize(total))));
    else
        SetText(labelTimeSize_, L"");
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f kB/s", rate_ / 1024.0);
    SetText(labelRate_, WideFromAnsi(rate));
    if (progress_) {
        progress_->SetRange(0, static_cast<int>(std::min<uint32_t>(total, INT32_MAX)));
        progress_->SetPosition(static_cast<int>(std::min<uint32_t>(downloaded, INT32_MAX)));
    }
}

void TFormUpdate::StartInstalling()
{
    installing_ = true;
    SetText(labelTimeSize_, L"");
    SetText(labelRate_, L"");
    SetText(labelStatus_, Translated(L"UpdateInstalling", L"Installing updates..."));
    if (progress_)
        progress_->SetMarquee(true, kMarqueeStepMs);
    fileIndex_ = 0;
    SetCounterText(0);
}

void TFormUpdate::DownloadSucceeded()
{
    SetText(labelTimeSize_, L"");
    SetText(labelRate_, L"");
}

bool TFormUpdate::DownloadFailed()
{
    const bool visible = Visible();
    Hide();
    return visible;
}

void TFormUpdate::HideWindow()
{
    if (progress_)
        progress_->SetMarquee(false);
    Hide();
}

// ---------------------------------------------------------------------------
// Downloads and the update run

namespace {

std::atomic<bool> gEnding{false};
std::atomic<int> gRunsActive{0};
std::atomic<DWORD> gDownloadTimeoutMs{0};

// SHA-256 on a thread of its own, fed the blocks a download writes: the
// digest is ready when the transfer ends, instead of costing a pass over the
// file after it. At most kHashQueueBytes wait; a full queue holds the writer.
class THashThread final : public TThread {
public:
    THashThread() : TThread(false) { Start(); }
    ~THashThread() override
    {
        Close();
        WaitFor();
    }
    void Add(const void* Data, size_t Size)
    {
        std::unique_lock lock(lock_);
        room_.wait(lock, [this] { return ended_ || queued_ < kHashQueueBytes; });
        if (ended_)
            return;
        blocks_.emplace_back(static_cast<const char*>(Data), Size);
        queued_ += Size;
        ready_.notify_one();
    }
    // The digest of every block added; '' when the hash failed.
    std::string Finish()
    {
        Close();
        WaitFor();
        return digest_;
    }

private:
    static constexpr size_t kHashQueueBytes = 4u << 20;
    void Close()
    {
        std::lock_guard lock(lock_);
        closed_ = true;
        ready_.notify_one();
    }
    void Execute() override
    {
        struct TEndLast {
            THashThread& self;
            ~TEndLast()
            {
                std::lock_guard lock(self.lock_);
                self.ended_ = true;
                self.room_.notify_all();
            }
        } endLast{*this};
        TSha256 hash;
        bool ok = true;
        while (true) {
            std::string block;
            {
                std::unique_lock lock(lock_);
                ready_.wait(lock, [this] { return closed_ || !blocks_.empty(); });
                if (blocks_.empty())
                    break;
                block = std::move(blocks_.front());
                blocks_.pop_front();
                queued_ -= block.size();
                room_.notify_one();
            }
            ok = hash.Add(block.data(), block.size()) && ok;
        }
        std::string hex;
        if (ok && hash.Finish(hex))
            digest_ = std::move(hex);
    }

    std::mutex lock_;
    std::condition_variable ready_, room_;
    std::deque<std::string> blocks_;
    size_t queued_ = 0;
    bool closed_ = false;
    bool ended_ = false;
    std::string digest_;
};

// The download's file, hashed as the request writes it.
class THashingFileWriter final : public TFileWriter {
public:
    bool WriteBuffer(const void* Buf, int32_t Count) override
    {
        if (!TFileWriter::WriteBuffer(Buf, Count))
            return false;
        if (Count > 0) {
            written_ += Count;
            hash_.Add(Buf, static_cast<size_t>(Count));
        }
        return true;
    }
    // The digest of every byte written; '' when the hash failed.
    std::string Digest() { return hash_.Finish(); }
    int64_t Written() const { return written_; }

private:
    THashThread hash_;
    int64_t written_ = 0;
};

} // namespace

void SetUpdateDownloadTimeout(DWORD Ms)
{
    gDownloadTimeoutMs = Ms;
}

bool EndUpdateRuns(DWORD Ms)
{
    gEnding = true;
    const DWORD start = GetTickCount();
    while (gRunsActive > 0 && GetTickCount() - start < Ms)
        PumpedWait(nullptr, kDownloadLookMs);
    const bool none = gRunsActive == 0;
    // Tests run several programs' lives in one process.
    gEnding = false;
    return none;
}

TQVDownload::TQVDownload(const TUpdateEntry& Entry, TFormUpdate* Window, const std::string& Target)
    : TThread(false), entry_(Entry), window_(Window), target_(Target)
{
    Start();
}

TQVDownload::~TQVDownload()
{
    Abort();
    Terminate();
    WaitFor();
}

bool TQVDownload::Stopping() const
{
    return Terminated() || gEnding || (window_ && window_->Cancelled());
}

void TQVDownload::Abort()
{
    std::lock_guard lock(requestLock_);
    if (request_)
        request_->Abort(0);
}

void TQVDownload::Execute()
{
    struct TDoneLast {
        std::atomic<bool>& done;
        ~TDoneLast() { done = true; }
    } doneLast{done_};
    done_ = false;
    if (FileExistsEx(target_))
        DeleteFileA(target_.c_str());
    auto writer = std::make_unique<THashingFileWriter>();
    writer->Security = TFileSecurity::Inherit;
    if (!writer->Open(target_)) {
        Log("update: cannot write " + target_, kUpdateLogCategory, kUpdateLogLevel);
        return;
    }
    auto request = std::make_unique<THTTPGet>();
    request->SetURL(entry_.URL);
    request->Output = writer.get();
    if (gDownloadTimeoutMs)
        request->Settings().TimeoutMs = gDownloadTimeoutMs;
    request->OnProgress = [this](THTTPGet& Sender, int64_t Received, int64_t Total) {
        if (Stopping()) {
            Sender.Abort(0);
            return;
        }
        if (!window_)
            return;
        window_->SetCounters(Received, Total);
        if (window_->RefreshDue())
            Synchronize([this] { window_->Refresh(false); });
    };
    request->OnDone = [this](THTTPGet& Sender) {
        if (Stopping() || !window_)
            return;
        window_->SetCounters(Sender.Total(), Sender.Total());
        Synchronize([this] { window_->Refresh(true); });
    };
    {
        std::lock_guard lock(requestLock_);
        request_ = request.get();
    }
    const bool requested = request->ExecuteRequest();
    {
        std::lock_guard lock(requestLock_);
        request_ = nullptr;
    }
    writer->Close();
    const int64_t written = writer->Written();
    const std::string streamed = writer->Digest();
    writer.reset();

    bool ok = requested && request->ErrorCode == kHTTPErrorNone && request->Status == 200 &&
              !request->Aborted;
    const int64_t size = ok ? GetFileSize64(target_) : -1;
    // The announced total and the list's size must both match: a reply
    // without a length, cut short or empty is never installed.
    ok = ok && size > 0 && size == request->ContentLength && size == entry_.Size;
    // The bytes as they were written; the file read back only when they were
    // not all of it (an output emptied and written again).
    std::string digest;
    ok = ok && ((written == size && streamed == entry_.Sha256) ||
                (FileSha256Hex(target_, digest) && AsciiLowerCase(digest) == entry_.Sha256));
    if (!ok) {
        if (FileExistsEx(target_))
            DeleteFileA(target_.c_str());
        Log("update: download failed: " + entry_.URL + " (status " +
                std::to_string(request->Status) + ", size " + std::to_string(size) + ")",
            kUpdateLogCategory, kUpdateLogLevel);
    }
    request.reset();
    if (Stopping())
        return;
    success_ = ok;
    if (!window_)
        return;
    if (ok) {
        Synchronize([this] { window_->DownloadSucceeded(); });
        return;
    }
    bool wasVisible = false;
    Synchronize([this, &wasVisible] { wasVisible = window_->DownloadFailed(); });
    if (wasVisible)
        Synchronize([] {
            AppPrompt(nullptr, TranslateText(L"UpdateFailed", L"Download failed!"),
                      MB_OK | MB_ICONERROR);
        });
}

TQVUpdateThread::TQVUpdateThread(const std::string& List, bool FreeOnTerminate, bool Silent,
                                 bool Manual, const std::string& SourceURL, bool StartNow)
    : TWaitThread(FreeOnTerminate), listText_(List), sourceURL_(SourceURL), silent_(Silent),
      manual_(Manual)
{
    if (StartNow)
        Start();
}

TQVUpdateThread::~TQVUpdateThread()
{
    Terminate();
    WaitFor();
}

bool TQVUpdateThread::Interrupted() const
{
    if (Terminated() || gEnding)
        return true;
    const TFormUpdate* form = FormUpdate();
    return form && form->Cancelled();
}

void TQVUpdateThread::Window(const std::function<void(TFormUpdate&)>& Operation)
{
    Synchronize([&Operation] {
        if (TFormUpdate* form = FormUpdate())
            Operation(*form);
    });
}

void TQVUpdateThread::Tell(const std::wstring& Text, UINT Flags)
{
    Synchronize([&Text, Flags] {
        TMainForm* main = MainForm();
        AppPrompt(main ? main->HandleIfAllocated() : nullptr, Text, Flags);
    });
}

void TQVUpdateThread::DeleteDownloads()
{
    for (const std::string& file : list_)
        if (!file.empty() && FileExistsEx(file))
            DeleteFileA(file.c_str());
}

void TQVUpdateThread::Run()
{
    struct TCounted {
        TCounted() { ++gRunsActive; }
        ~TCounted() { --gRunsActive; }
    } counted;
    if (gEnding)
        return;
    TProgramKeyView view;
    // 1. An automatic run: not when switched off, nor within 3 days of the
    // last one (either way: a clock set back counts too).
    if (!manual_) {
        if (!Settings()->CHECK_FOR_UPDATES)
            return;
        const TDateTime last = RegReadDateTime(HKEY_CURRENT_USER, ProgramKey(), kLastUpdateValue);
        if (std::fabs(Now() - last) < kUpdateEveryDays)
            return;
    }
    // 2. One run at a time: a visible window means one runs.
    bool busy = false;
    Synchronize([&busy] { busy = FormUpdate() && FormUpdate()->Visible(); });
    if (busy)
        return;
    // 3. Nothing listed.
    if (Trim(listText_).empty()) {
        if (manual_)
            Tell(TranslateText(L"UpdateNoVersion", L"There is no new version available."),
                 MB_OK | MB_ICONINFORMATION);
        return;
    }
    // A list that breaks a rule ends the run before anything is fetched.
    if (!ParseUpdateList(listText_, sourceURL_, entries_)) {
        Log("update: list refused (an address, size, digest or name breaks the rules)",
            kUpdateLogCategory, kUpdateLogLevel);
        if (manual_)
            Tell(TranslateText(L"UpdateFailed", L"Download failed!"), MB_OK | MB_ICONERROR);
        return;
    }
    // 4. Written before the question: "No" still waits 3 days.
    RegWriteDateTime(HKEY_CURRENT_USER, ProgramKey(), kLastUpdateValue, Now());
    // 5. Silent and not asked for counts as Yes.
    const bool hidden = silent_ && !manual_;
    if (!hidden) {
        int answer = IDNO;
        const std::wstring question =
            TranslateText(L"UpdateNewVersion1", L"A new version of %BRAND% has been released.") +
            L" " +
            TranslateText(L"UpdateNewVersion2", L"Click \u201CYes\u201D to download a free upgrade.");
        Synchronize([&answer, &question] {
            TMainForm* main = MainForm();
            answer = AppPrompt(main ? main->HandleIfAllocated() : nullptr, question,
                               MB_YESNO | MB_ICONQUESTION);
        });
        if (answer != IDYES)
            return;
    }
    // 6.
    const int count = static_cast<int>(entries_.size());
    Window([count, hidden](TFormUpdate& Form) {
        Form.StartDownloading(count);
        if (!hidden)
            Form.Show();
    });
    // 7. Every file first: a failed one ends everything before any install.
    for (size_t i = 0; i < entries_.size(); ++i) {
        const std::string target = UpdateDir() + entries_[i].FileName;
        auto download = std::make_unique<TQVDownload>(entries_[i], FormUpdate(), target);
        while (!download->Done()) {
            if (Interrupted())
                download->Abort();
            Sleep(kDownloadLookMs);
        }
        const bool ok = download->Success() && !Interrupted();
        download.reset();
        if (!ok) {
            DeleteDownloads();
            if (FileExistsEx(target))
                DeleteFileA(target.c_str());
            Window([](TFormUpdate& Form) { Form.HideWindow(); });
            return;
        }
        list_.push_back(target);
        if (i + 1 < entries_.size())
            Window([](TFormUpdate& Form) { Form.NextFile(); });
    }
    // 8, 9. Installing is never cut short: the program's end waits for it.
    Window([](TFormUpdate& Form) { Form.StartInstalling(); });
    for (size_t i = 0; i < list_.size(); ++i) {
        if (!InstallUpdateFile(list_[i]))
            Log("update: not installed: " + list_[i], kUpdateLogCategory, kUpdateLogLevel);
        if (i + 1 < list_.size())
            Window([](TFormUpdate& Form) { Form.NextFile(); });
    }
    // 10. A running tray gets its new files by a restart.
    if (FindWindowA(kTrayWindowClassName, nullptr)) {
        {
            TGlobalEvent stop(kStopTrayEventName);
            stop.SetEvent();
            AppSleep(kTrayStopMs);
        }
        AppSleep(kTrayGoneMs);
        StartTrayProgram();
    }
    // 11.
    Window([](TFormUpdate& Form) { Form.HideWindow(); });
}
