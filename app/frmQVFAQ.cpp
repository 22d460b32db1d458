#include "app/frmQVFAQ.h"

#include "app/frmAllMain.h"
#include "app/qvAppBody.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/HTTPU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/StreamU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

namespace {

constexpr uint8_t kFaqLogCategory = 1;
constexpr uint8_t kFaqLogLevel = 2;
constexpr char kFileScheme[] = "file://";

TFormFAQ* gFormFAQ = nullptr;

void FaqLog(const std::string& Text)
{
    Log("FAQ: " + Text, kFaqLogCategory, kFaqLogLevel);
}

// The one download and its queue (one pass waiting at most).
struct TFaqQueue {
    std::mutex lock;
    bool running = false;
    bool queued = false;
    int passes = 0;    // passes running now
    int mostPasses = 0; // the most that ever ran at once
};
// Never destroyed: a download may still run while the process ends and
// its static destructors run.
TFaqQueue& Queue()
{
    static TFaqQueue* queue = new TFaqQueue;
    return *queue;
}

// "C:\x" from "file://C:\x" and "file:///C:/x"; '' for another scheme.
std::string FilePathOf(const std::string& Url)
{
    const size_t schemeLength = sizeof kFileScheme - 1;
    if (Url.size() <= schemeLength || _strnicmp(Url.c_str(), kFileScheme, schemeLength) != 0)
        return {};
    std::string path = Url.substr(schemeLength);
    if (path.size() >= 3 && path[0] == '/' && path[2] == ':')
        path.erase(0, 1);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string ChangeExtension(const std::string& Path, const std::string& Extension)
{
    const size_t slash = Path.find_last_of("\\/:");
    const size_t dot = Path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return Path + Extension;
    return Path.substr(0, dot) + Extension;
}

// The 3-day rule: a page exists and the last attempt lies between 3 days ago
// and now (a time in the future, from a clock set back, is stale).
bool PageIsRecent(const std::string& Path)
{
    TDateTime last = 0;
    {
        TProgramKeyView view;
        last = RegReadDateTime(HKEY_CURRENT_USER, ProgramKey(), kLastCmsUpdateValue);
    }
    const TDateTime now = Now();
    return last <= now && now <= last + kFaqRefreshDays && FileExistsEx(Path);
}

void ShowStoredPage()
{
    if (TFormFAQ* form = FormFAQ())
        if (TPageBrowser* browser = form->WebBrowserFAQ())
            browser->Navigate(kFileScheme + FaqPagePath());
}

} // namespace

std::string FaqPagePath()
{
    return UserDataDir() + kFaqFileName;
}

// ---------------------------------------------------------------------------
// The browser

TPageBrowser::TPageBrowser(TComponent* owner) : TKvPageView(owner)
{
    OnLinkClick = [](TKvPageView&, const std::wstring& Href) {
        // The href as the page gives it; OpenUrl refuses all but http(s).
        if (!OpenUrl(WideToAnsi(Href)))
            FaqLog("a link was not opened: " + WideToUtf8(Href));
    };
}

bool TPageBrowser::Navigate(const std::string& Url)
{
    url_ = Url;
    const std::string path = FilePathOf(Url);
    std::string bytes;
    if (path.empty()) {
        FaqLog("only file pages are shown here: " + Url);
    } else if (!FileExistsEx(path)) {
        FaqLog("no page " + path);
    } else if (GetFileSize64(path) > kvPageViewMaxBytes) {
        FaqLog("the page " + path + " is larger than " + std::to_string(kvPageViewMaxBytes) +
               " bytes");
    } else if (!LoadFileToString(path, bytes)) {
        FaqLog("the page " + path + " cannot be read");
    } else if (SetPageBytes(bytes)) {
        return true;
    } else {
        FaqLog("the page " + path + " grew past the limit while it was read");
    }
    Clear();
    return false;
}

// ---------------------------------------------------------------------------
// The window

TFormFAQ* FormFAQ()
{
    return gFormFAQ;
}

TFormFAQ::TFormFAQ(TComponent* owner) : TForm(owner)
{
    gFormFAQ = this;
    SetName(L"FormFAQ");
    SetCaption(L"FAQ");
    SetBorderStyle(TBorderStyle::Sizeable);
    Font().SetName(L"Tahoma");
    Font().SetHeight(-12);
    SetClientSize(kFaqClientWidth, kFaqClientHeight);
    browser_ = new TPageBrowser(this);
    browser_->SetName(L"WebBrowserFAQ");
    browser_->SetParent(this);
    browser_->SetAlign(TAlign::Client);
    const std::string page = FaqPagePath();
    if (FileExistsEx(page))
        browser_->Navigate(kFileScheme + page);
}

TFormFAQ::~TFormFAQ()
{
    if (gFormFAQ == this)
        gFormFAQ = nullptr;
}

void TFormFAQ::CreateParams(TCreateParams& params)
{
    TForm::CreateParams(params);
    params.exStyle |= WS_EX_TOOLWINDOW;
}

void TFormFAQ::WndProc(TMessage& msg)
{
    if (msg.Msg == WM_GETMINMAXINFO && msg.LParam) {
        TForm::WndProc(msg);
        auto* info = reinterpret_cast<MINMAXINFO*>(msg.LParam);
        info->ptMinTrackSize.x = kFaqMinWidth;
        info->ptMinTrackSize.y = kFaqMinHeight;
        msg.Result = 0;
        return;
    }
    TForm::WndProc(msg);
}

void TFormFAQ::CentreOnMainWindow()
{
    TForm* main = MainForm();
    if (!main)
        main = Application().MainForm();
    if (!main || main == this)
        return;
    RECT owner = main->BoundsRect();
    if (HWND wnd = main->HandleIfAllocated())
        GetWindowRect(wnd, &owner);
    int left = owner.left + ((owner.right - owner.left) - Width()) / 2;
    int top = owner.top + ((owner.bottom - owner.top) - Height()) / 2;
    // Kept on the main window's monitor, so the caption can be reached.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromRect(&owner, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& work = monitor.rcWork;
        left = std::max(static_cast<int>(work.left), std::min(left, static_cast<int>(work.right) - Width()));
        top = std::max(static_cast<int>(work.top), std::min(top, static_cast<int>(work.bottom) - Height()));
    }
    SetBounds(left, top, Width(), Height());
}

void TFormFAQ::ShowFaq()
{
    HWND wnd = HandleIfAllocated();
    if (!wnd || !IsWindowVisible(wnd))
        CentreOnMainWindow();
    SetVisible(true);
    BringToFront();
    // The wheel and the keys scroll the page at once.
    if (browser_)
        browser_->SetFocus();
}

// ---------------------------------------------------------------------------
// The download

bool DownloadIfChanged(const std::string& UrlTemplate, const std::string& Path)
{
    const std::string temp = ChangeExtension(Path, ".tmp");
    if (UrlTemplate.empty()) {
        DeleteFileForced(Path);
        DeleteFileForced(temp);
        return false;
    }
    const std::string url = ExpandUrlMacros(UrlTemplate);
    const int64_t size = FileExistsEx(Path) ? GetFileSize64(Path) : -1;
    if (size > 0) {
        THTTPGet head;
        head.Mode = kHTTPModeHead;
        head.SetURL(url);
        // A HEAD request succeeds whatever the status: only a 200 tells the
        // length of the page itself (a 404 page of equal length must not).
        if (head.ExecuteRequest() && head.Status == 200 && size <= INT32_MAX &&
            head.ContentLength == size)
            return false;
    }
    DeleteFileForced(temp);
    int32_t status = 0;
    if (!DownloadToFile(url, temp, nullptr, nullptr, &status)) {
        FaqLog("the page was not downloaded from " + url + " (status " + std::to_string(status) + ")");
        return false;
    }
    if (!CopyFileTo(temp, Path, true, true) || !FileExistsEx(Path)) {
        FaqLog("the page was not stored as " + Path);
        return false;
    }
    DeleteFileForced(temp);
    return true;
}

TDownloadCMS::TDownloadCMS(bool Forced) : TThread(true), forced_(Forced) {}

void TDownloadCMS::Execute()
{
    TFaqQueue& queue = Queue();
    // The queue is left however the work ends (an exception included), or no
    // download would start again; the normal end leaves it under the same
    // lock that sees no pass queued, so no request falls between.
    struct TLeave {
        TFaqQueue& queue;
        bool left = false;
        ~TLeave()
        {
            if (left)
                return;
            std::lock_guard<std::mutex> hold(queue.lock);
            queue.running = false;
            queue.queued = false;
        }
    } leave{queue};
    if (AppFlags().CheckRun)
        return;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    bool forced = forced_;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(queue.lock);
            queue.mostPasses = std::max(queue.mostPasses, ++queue.passes);
        }
        bool stored = false;
        try {
            const std::string page = FaqPagePath();
            if (forced || !PageIsRecent(page)) {
                {
                    TProgramKeyView view;
                    RegWriteDateTime(HKEY_CURRENT_USER, ProgramKey(), kLastCmsUpdateValue, Now());
                }
                stored = DownloadIfChanged(Settings()->FAQ_URL, page);
            }
        } catch (...) {
            std::lock_guard<std::mutex> hold(queue.lock);
            --queue.passes;
            throw;
        }
        if (stored)
            Synchronize(&ShowStoredPage);
        std::lock_guard<std::mutex> hold(queue.lock);
        --queue.passes;
        if (!queue.queued || Terminated()) {
            queue.running = false;
            queue.queued = false;
            leave.left = true;
            return;
        }
        queue.queued = false;
        forced = true;
    }
}

void StartFaqDownload(bool Forced)
{
    TFaqQueue& queue = Queue();
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        if (queue.running) {
            queue.queued = true;
            return;
        }
        queue.running = true;
    }
    auto* thread = new TDownloadCMS(Forced);
    thread->Start();
}

void RefreshFaq()
{
    bool deleted = false;
    {
        TProgramKeyView view;
        deleted = RegValueExists(HKEY_CURRENT_USER, ProgramKey(), kLastCmsUpdateValue) &&
                  RegRemoveValue(HKEY_CURRENT_USER, ProgramKey(), kLastCmsUpdateValue);
    }
    if (deleted)
        StartFaqDownload(true);
}

bool FaqDownloadRunning()
{
    TFaqQueue& queue = Queue();
    std::lock_guard<std::mutex> hold(queue.lock);
    return queue.running;
}

bool WaitForFaqDownload(DWORD Ms)
{
    const ULONGLONG end = GetTickCount64() + Ms;
    while (FaqDownloadRunning()) {
        if (GetTickCount64() >= end)
            return false;
        PumpedWait(nullptr, 20);
    }
    return true;
}

int FaqPassesAtOnceForTests()
{
    TFaqQueue& queue = Queue();
    std::lock_guard<std::mutex> hold(queue.lock);
    return queue.mostPasses;
}
