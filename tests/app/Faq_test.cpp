// The FAQ window and its download against the stand-in service on
// 127.0.0.1: when a copy is current (HEAD 200 of equal length, a 404 of
// equal length is not), the 3-day rule on a fake clock, the language
// change's forced fetch, one download at a time with the queued pass, and
// the window itself (size, minimum, centring, the FAQ button, the timer's
// bring-forward, links to the browser, a picture with a real page).

#include "AppTest.h"
#include "FakeService.h"

#include "app/frmAllMain.h"
#include "app/frmAllSteps.h"
#include "app/frmQVFAQ.h"
#include "app/qvAppBody.h"
#include "controls/KvForms.h"
#include "controls/SkinControls.h"
#include "platform/DateTimeU.h"
#include "platform/RegistryU.h"
#include "platform/StreamU.h"
#include "platform/SyncObjsU.h"
#include "platform/ThreadU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

using namespace apptest;

namespace {

constexpr DWORD kDownloadWaitMs = 30000;
constexpr TDateTime kNow = 46100.5;

TDateTime FakeNow()
{
    return kNow;
}

// A FAQ page as the service sends it: a head with script and style, headings,
// a list, links, and text in UTF-8.
const std::string kFaqPage =
    "<!DOCTYPE html>\r\n<html><head>"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
    "<title>Korvelle FAQ</title><style>body { font-family: Tahoma }</style>"
    "<script>window.location = 'https://evil.test/';</script></head>\r\n<body>"
    "<h1><b>Frequently Asked Questions</b></h1>"
    "<p><b>What does Korvelle repair?</b><br>Korvelle scans the registry for entries that "
    "point at files, classes and programs that no longer exist, and removes them after "
    "writing a backup that the rescue centre can restore.</p>"
    "<p><b>Is it safe?</b><br>Every repair is written to a backup first. See "
    "<a href=\"https://www.korvelle.com/help/backup\">how backups work</a> or open the "
    "<a href=\"file:///C:/Windows/notepad.exe\">local file</a>.</p>"
    "<ul><li>Registry repair</li><li>Speed-up settings</li><li>Start-up programs</li>"
    "<li>Browser add-ons</li></ul>"
    "<p><b>H\xC3\xA4ufige Fragen</b> \xE2\x80\x93 f\xC3\xBCr alle Sprachen.</p>"
    "<div>Contact: <a href=\"https://www.korvelle.com/support\">support</a></div>"
    "</body></html>\r\n";

class FaqDownload : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (HasFatalFailure())
            return;
        previousClock_ = SetClock(&FakeNow);
        // The page is shown through the GUI thread, this one. The dispatcher
        // stays for the tests after these, as the application leaves it.
        Application().Initialize();
        ASSERT_TRUE(service_.Start());
        ASSERT_TRUE(CreateDirectoryA(folders_.UserDataDir.c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
        page_ = FaqPagePath();
        temp_ = page_.substr(0, page_.size() - 4) + ".tmp";
        ChangeSettings([this](TSettings& s) {
            s.FAQ_URL = service_.URL("/faq_%LNG%.htm");
            s.LANGUAGE = L"en";
        });
        Serve("/faq_en.htm", 200, kFaqPage);
    }
    void TearDown() override
    {
        WaitForFaqDownload(kDownloadWaitMs);
        service_.Stop();
        SetClock(previousClock_);
        AppFixture::TearDown();
    }
    void Serve(const std::string& Path, int Status, const std::string& Body,
               fakeservice::TBehaviour b = {})
    {
        b.Status = Status;
        b.Body = Body;
        b.ContentType = "text/html";
        service_.SetBehaviour(Path, b);
    }
    std::string Page() const
    {
        std::string text;
        LoadFileToString(page_, text);
        return text;
    }
    // The methods and paths of the requests so far, "HEAD /faq_en.htm GET ...".
    std::string Requests() const
    {
        std::string out;
        for (const fakeservice::TRecordedRequest& r : service_.Requests())
            out += (out.empty() ? "" : " ") + r.Method + " " + r.Path;
        return out;
    }
    TDateTime LastCms() const
    {
        TProgramKeyView view;
        return RegReadDateTime(HKEY_CURRENT_USER, Key(), kLastCmsUpdateValue);
    }
    void SetLastCms(std::optional<TDateTime> Value) const
    {
        TProgramKeyView view;
        if (Value)
            ASSERT_TRUE(RegWriteDateTime(HKEY_CURRENT_USER, Key(), kLastCmsUpdateValue, *Value));
        else
            RegRemoveValue(HKEY_CURRENT_USER, Key(), kLastCmsUpdateValue);
    }
    void RunDownload()
    {
        StartFaqDownload();
        ASSERT_TRUE(WaitForFaqDownload(kDownloadWaitMs));
    }

    fakeservice::TFakeService service_;
    TClock previousClock_ = nullptr;
    std::string page_, temp_;
};

TEST_F(FaqDownload, WhenTheStoredCopyIsCurrent)
{
    const std::string samePage(kFaqPage.size(), 'x');
    const std::string notFound(kFaqPage.size(), 'n');
    fakeservice::TBehaviour noLength;
    noLength.Length = fakeservice::TLength::None;
    struct Case {
        const char* name;
        const char* local; // nullptr: no local copy
        int status;
        std::string body;
        fakeservice::TBehaviour behaviour;
        bool stored;
        const char* requests;
    };
    const Case cases[] = {
        {"no local copy: fetched without asking", nullptr, 200, kFaqPage, {}, true, "GET /faq_en.htm"},
        {"an empty local copy: fetched without asking", "", 200, kFaqPage, {}, true, "GET /faq_en.htm"},
        {"HEAD 200 of the same length: current", "old", 200, samePage, {}, false, "HEAD /faq_en.htm"},
        {"another length: fetched", "short", 200, kFaqPage, {}, true, "HEAD /faq_en.htm GET /faq_en.htm"},
        {"a 404 of the same length is not current (and its page is not stored)", "old", 404,
         notFound, {}, false, "HEAD /faq_en.htm GET /faq_en.htm"},
        {"no content length: fetched", "old", 200, kFaqPage, noLength, true,
         "HEAD /faq_en.htm GET /faq_en.htm"},
        {"a server error keeps the old page", "old", 500, "", {}, false, "HEAD /faq_en.htm GET /faq_en.htm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service_.Stop();
        fakeservice::TFakeService service;
        // The same port cannot be asked for: the template follows the service.
        ASSERT_TRUE(service.Start());
        ChangeSettings([&](TSettings& s) { s.FAQ_URL = service.URL("/faq_%LNG%.htm"); });
        fakeservice::TBehaviour b = c.behaviour;
        b.Status = c.status;
        b.Body = c.body;
        service.SetBehaviour("/faq_en.htm", b);
        DeleteFileA(page_.c_str());
        std::string local = c.local ? c.local : "";
        if (c.local) {
            // "old" stands for a copy as long as the served page.
            if (local == "old")
                local = std::string(kFaqPage.size(), 'o');
            ASSERT_TRUE(WriteText(page_, local));
        }
        EXPECT_EQ(DownloadIfChanged(Settings()->FAQ_URL, page_), c.stored);
        std::string requests;
        for (const fakeservice::TRecordedRequest& r : service.Requests())
            requests += (requests.empty() ? "" : " ") + r.Method + " " + r.Path;
        EXPECT_EQ(requests, c.requests);
        std::string text;
        const bool present = LoadFileToString(page_, text);
        if (c.stored) {
            EXPECT_EQ(text, c.body);
        } else if (c.local) {
            EXPECT_EQ(text, local) << "the old page stays";
        } else {
            EXPECT_FALSE(present);
        }
        EXPECT_EQ(GetFileAttributesA(temp_.c_str()), INVALID_FILE_ATTRIBUTES) << "no temporary copy";
        service.Stop();
    }
}

TEST_F(FaqDownload, AnEmptyAddressDeletesThePage)
{
    ASSERT_TRUE(WriteText(page_, "old"));
    ASSERT_TRUE(WriteText(temp_, "half"));
    EXPECT_FALSE(DownloadIfChanged("", page_));
    EXPECT_EQ(GetFileAttributesA(page_.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(temp_.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(service_.RequestCount(), 0u);
}

TEST_F(FaqDownload, TheThreeDayRule)
{
    struct Case {
        const char* name;
        std::optional<TDateTime> last;
        bool pageExists;
        bool fetched;
    };
    const Case cases[] = {
        {"never fetched", std::nullopt, true, true},
        {"a day ago", kNow - 1.0, true, false},
        {"just now", kNow, true, false},
        {"three days ago to the moment", kNow - 3.0, true, false},
        {"more than three days ago", kNow - 3.01, true, true},
        {"a day ago, but the page is missing", kNow - 1.0, false, true},
        {"in the future (the clock was set back)", kNow + 0.5, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = service_.RequestCount();
        SetLastCms(c.last);
        DeleteFileA(page_.c_str());
        if (c.pageExists) {
            ASSERT_TRUE(WriteText(page_, std::string(kFaqPage.size() + 1, 'o')));
        }
        RunDownload();
        EXPECT_EQ(service_.RequestCount() > before, c.fetched);
        if (c.fetched) {
            EXPECT_EQ(LastCms(), kNow) << "the attempt's time is stored";
            EXPECT_EQ(Page(), kFaqPage);
        } else {
            EXPECT_EQ(LastCms(), c.last.value_or(0));
        }
    }
}

TEST_F(FaqDownload, AFailedAttemptStillCountsAndACheckRunFetchesNothing)
{
    Serve("/faq_en.htm", 503, "busy");
    RunDownload();
    EXPECT_EQ(LastCms(), kNow) << "stored before the download";
    EXPECT_EQ(GetFileAttributesA(page_.c_str()), INVALID_FILE_ATTRIBUTES);

    SetLastCms(std::nullopt);
    AppFlags().CheckRun = true;
    const size_t before = service_.RequestCount();
    RunDownload();
    EXPECT_EQ(service_.RequestCount(), before);
    EXPECT_EQ(LastCms(), 0.0);
}

TEST_F(FaqDownload, ALanguageChangeFetchesAtOnce)
{
    ASSERT_TRUE(WriteText(page_, "an old page"));
    // Without a stored attempt nothing starts.
    RefreshFaq();
    EXPECT_FALSE(FaqDownloadRunning());
    EXPECT_EQ(service_.RequestCount(), 0u);

    SetLastCms(kNow - 0.1);
    ChangeSettings([](TSettings& s) { s.LANGUAGE = L"de"; });
    Serve("/faq_de.htm", 200, "<p>Deutsch</p>");
    RefreshFaq();
    ASSERT_TRUE(WaitForFaqDownload(kDownloadWaitMs));
    EXPECT_EQ(Requests(), "HEAD /faq_de.htm GET /faq_de.htm");
    EXPECT_EQ(Page(), "<p>Deutsch</p>");
    EXPECT_EQ(LastCms(), kNow);
}

// A language change while a download runs: no second download beside it
// (both would write the one temporary file), one pass queued after it with
// the language of then, and a whole page at the end.
TEST_F(FaqDownload, OneDownloadAtATimeWithAQueuedPass)
{
    fakeservice::TBehaviour slow;
    slow.StallAfterBytes = 100;
    slow.StallMs = 1500;
    Serve("/faq_en.htm", 200, kFaqPage, slow);
    const std::string german = "<p>Deutsch</p>" + std::string(500, ' ');
    Serve("/faq_de.htm", 200, german);

    StartFaqDownload();
    ASSERT_TRUE(PumpUntil([&] { return service_.RequestCount() == 1; }, 10000));
    ASSERT_TRUE(FaqDownloadRunning());
    ChangeSettings([](TSettings& s) { s.LANGUAGE = L"de"; });
    RefreshFaq();
    StartFaqDownload(); // the wizard pages' start, once more
    ASSERT_TRUE(WaitForFaqDownload(kDownloadWaitMs));

    EXPECT_EQ(FaqPassesAtOnceForTests(), 1);
    EXPECT_EQ(Requests(), "GET /faq_en.htm HEAD /faq_de.htm GET /faq_de.htm")
        << "one queued pass, in the new language, without the 3-day rule";
    EXPECT_EQ(Page(), german);
    EXPECT_EQ(GetFileAttributesA(temp_.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(FaqDownloadRunning());

    // After the queue ran dry, a new start runs (and the rule applies again).
    const size_t before = service_.RequestCount();
    RunDownload();
    EXPECT_EQ(service_.RequestCount(), before);
}

// ---------------------------------------------------------------------------
// The window

class FaqWindow : public WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(CreateDirectoryA(folders_.UserDataDir.c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
        // The wizard pages' own download (to a closed port) is over.
        ASSERT_TRUE(WaitForFaqDownload(kDownloadWaitMs));
    }
    void TearDown() override
    {
        delete faq_;
        faq_ = nullptr;
        WizardFixture::TearDown();
    }
    TFormFAQ* MakeFaq()
    {
        faq_ = new TFormFAQ();
        return faq_;
    }
    TFormFAQ* faq_ = nullptr;
};

TEST_F(FaqWindow, SizeMinimumAndCentre)
{
    TFormFAQ* faq = MakeFaq();
    EXPECT_EQ(FormFAQ(), faq);
    EXPECT_EQ(faq->Caption(), L"FAQ");
    HWND wnd = faq->Handle();
    ASSERT_NE(wnd, nullptr);
    RECT client{};
    GetClientRect(wnd, &client);
    EXPECT_EQ(client.right, kFaqClientWidth);
    EXPECT_EQ(client.bottom, kFaqClientHeight);
    EXPECT_TRUE(GetWindowLongW(wnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(GetWindowLongW(wnd, GWL_STYLE) & WS_THICKFRAME) << "resizable";
    MINMAXINFO info{};
    SendMessageW(wnd, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, kFaqMinWidth);
    EXPECT_EQ(info.ptMinTrackSize.y, kFaqMinHeight);
    // The browser fills the client area, also after a resize.
    TPageBrowser* browser = faq->WebBrowserFAQ();
    ASSERT_NE(browser, nullptr);
    EXPECT_EQ(browser->Name(), L"WebBrowserFAQ");
    EXPECT_EQ(browser->Width(), kFaqClientWidth);
    EXPECT_EQ(browser->Height(), kFaqClientHeight);
    EXPECT_TRUE(browser->Empty()) << "no page stored";

    // Centred on the main window wherever that is, kept on the screen's
    // work area (Xvfb's default screen of 640 x 480 is smaller than both
    // windows).
    ASSERT_NE(main_->Handle(), nullptr);
    for (const POINT at : {POINT{40, 30}, POINT{260, 120}, POINT{0, 0}}) {
        for (const SIZE size : {SIZE{770, 550}, SIZE{1200, 900}}) {
            faq->SetVisible(false);
            SetWindowPos(main_->Handle(), nullptr, at.x, at.y, size.cx, size.cy,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            faq->ShowFaq();
            Pump(20);
            RECT m{}, f{};
            GetWindowRect(main_->Handle(), &m);
            GetWindowRect(wnd, &f);
            MONITORINFO monitor{};
            monitor.cbSize = sizeof monitor;
            ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(main_->Handle(), MONITOR_DEFAULTTONEAREST), &monitor));
            const RECT& work = monitor.rcWork;
            const long width = f.right - f.left, height = f.bottom - f.top;
            const long left = (m.left + m.right) / 2 - width / 2, top = (m.top + m.bottom) / 2 - height / 2;
            EXPECT_NEAR(f.left, std::max(work.left, std::min(left, work.right - width)), 1) << at.x << " " << size.cx;
            EXPECT_NEAR(f.top, std::max(work.top, std::min(top, work.bottom - height)), 1) << at.y << " " << size.cy;
            if (left >= work.left && left + width <= work.right && top >= work.top && top + height <= work.bottom) {
                EXPECT_NEAR((f.left + f.right) / 2, (m.left + m.right) / 2, 1);
                EXPECT_NEAR((f.top + f.bottom) / 2, (m.top + m.bottom) / 2, 1);
            }
            EXPECT_TRUE(IsWindowVisible(wnd));
        }
    }
    // Shown again while visible, it stays where the user put it.
    SetWindowPos(wnd, nullptr, 5, 6, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    faq->ShowFaq();
    RECT f{};
    GetWindowRect(wnd, &f);
    EXPECT_EQ(f.left, 5);
    EXPECT_EQ(f.top, 6);
}

TEST_F(FaqWindow, ShowsTheStoredPageAndHandsLinksToTheBrowser)
{
    ASSERT_TRUE(WriteText(FaqPagePath(), kFaqPage));
    TFormFAQ* faq = MakeFaq();
    TPageBrowser* browser = faq->WebBrowserFAQ();
    EXPECT_FALSE(browser->Empty()) << "created with the stored page";
    EXPECT_EQ(browser->LocationURL(), "file://" + FaqPagePath());
    faq->ShowFaq();
    Pump(50);
    SaveShot(*faq, L"faq_window");

    // Every link of the page, clicked: only the web ones reach the shell.
    const TRectVectorW& rects = browser->NodeTree().Root().LinkRects;
    ASSERT_EQ(rects.Count(), 3);
    HWND wnd = browser->Handle();
    for (int32_t i = 0; i < rects.Count(); ++i) {
        const RECT r = rects.At(i);
        const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        SendMessageW(wnd, WM_LBUTTONDOWN, MK_LBUTTON, at);
        SendMessageW(wnd, WM_LBUTTONUP, 0, at);
    }
    std::vector<std::string> opened;
    for (const TShellCall& call : ShellCalls())
        opened.push_back(call.file);
    EXPECT_EQ(opened, (std::vector<std::string>{"https://www.korvelle.com/help/backup",
                                                "https://www.korvelle.com/support"}));
    EXPECT_TRUE(TPromptScript::Seen().empty());
}

TEST_F(FaqWindow, NavigateGivesAnEmptyViewForWhatItCannotShow)
{
    TFormFAQ* faq = MakeFaq();
    TPageBrowser* browser = faq->WebBrowserFAQ();
    const std::string small = dir_ + "small.htm", large = dir_ + "large.htm";
    ASSERT_TRUE(WriteText(small, "<p>small</p>"));
    ASSERT_TRUE(WriteText(large, std::string(static_cast<size_t>(kvPageViewMaxBytes) + 1, 'a')));
    struct Case {
        std::string url;
        bool shown;
    };
    const Case cases[] = {
        {"file://" + small, true},
        {"file://" + dir_ + "missing.htm", false},
        {"FILE://" + small, true},
        {"file://" + large, false},
        {"http://127.0.0.1:9/faq.htm", false},
        {small, false},
    };
    for (const Case& c : cases) {
        // Each starts from a page on show, so an empty view is this one's.
        ASSERT_TRUE(browser->Navigate("file://" + small));
        EXPECT_EQ(browser->Navigate(c.url), c.shown) << c.url;
        EXPECT_EQ(browser->Empty(), !c.shown) << c.url;
    }
    // A "file:///C:/..." address, as a browser writes it.
    std::string slashed = small;
    for (char& ch : slashed)
        if (ch == '\\')
            ch = '/';
    EXPECT_TRUE(browser->Navigate("file:///" + slashed));
    EXPECT_TRUE(TPromptScript::Seen().empty()) << "no dialog";
}

TEST_F(FaqWindow, TheFaqButtonAndTheTimer)
{
    TFormFAQ* faq = MakeFaq();
    main_->SetStep(kStepHelp);
    Pump(20);
    auto* button = steps_->Find<TControl>(L"ButtonFAQ");
    ASSERT_NE(button, nullptr);
    const std::string counter = std::string(TQVStepUsage[kStepHelp]) + ".FQ";
    const int before = Counters()[counter];
    button->Click();
    button->Click();
    Pump(20);
    HWND wnd = faq->HandleIfAllocated();
    ASSERT_NE(wnd, nullptr);
    EXPECT_TRUE(IsWindowVisible(wnd));
    EXPECT_EQ(Counters()[counter], before + 1) << "counted once per run";

    // The show event brings the main window forward and the FAQ window with
    // it: on top and back, after the main window.
    stayOnTop_.clear();
    TGlobalEvent(kShowMainEventName).SetEvent();
    main_->TimerTick();
    const std::vector<std::pair<HWND, bool>> tail{
        {main_->Handle(), true}, {main_->Handle(), false}, {wnd, true}, {wnd, false}};
    ASSERT_GE(stayOnTop_.size(), tail.size());
    const std::vector<std::pair<HWND, bool>> last(stayOnTop_.end() - 4, stayOnTop_.end());
    EXPECT_EQ(last, tail);

    // Hidden, it is left alone.
    faq->SetVisible(false);
    stayOnTop_.clear();
    TGlobalEvent(kShowMainEventName).SetEvent();
    main_->TimerTick();
    ASSERT_GE(stayOnTop_.size(), 2u);
    for (const auto& call : stayOnTop_)
        EXPECT_NE(call.first, wnd);
}

} // namespace
