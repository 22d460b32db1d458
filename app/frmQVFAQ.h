#pragma once
// The FAQ window and the FAQ download.
//
// The window shows "faq.htm" of the user's data folder in the program's own
// page view (no script runs: the stored page lies in a folder its user may
// write, and the program runs elevated). A background thread fetches the
// page from FAQ_URL at most once in three days, and only when the server's
// copy differs in size from the local one; a language change forces the
// next fetch. One download runs at a time: a request while one runs queues
// one more pass, so two passes never share the temporary file.

#include "controls/KvForms.h"
#include "controls/KvPageView.h"
#include "platform/ThreadU.h"

#include <windows.h>

#include <string>

inline constexpr char kFaqFileName[] = "faq.htm";
// HKCU, program key, 32-bit view: the moment of the last download attempt.
inline constexpr char kLastCmsUpdateValue[] = "LAST_CMS_UPDATE";
inline constexpr int kFaqClientWidth = 732;
inline constexpr int kFaqClientHeight = 439;
inline constexpr int kFaqMinWidth = 740;
inline constexpr int kFaqMinHeight = 300;
// A stored page at most this old (in days) is not fetched again.
inline constexpr double kFaqRefreshDays = 3.0;

// UserDataDir + "faq.htm".
std::string FaqPagePath();

// The page view with the browser's one operation: Navigate shows a
// "file://" page (the path after the scheme; a "/" before a drive letter is
// dropped). Any other address, a missing file, or a file larger than
// kvPageViewMaxBytes gives an empty view (logged, no dialog). A link's href
// goes to OpenUrl, which opens http and https addresses only.
class TPageBrowser : public TKvPageView {
public:
    explicit TPageBrowser(TComponent* owner = nullptr);
    bool Navigate(const std::string& Url);
    const std::string& LocationURL() const noexcept { return url_; }

private:
    std::string url_;
};

// The FAQ window: a resizable tool window "FAQ" (client 732 x 439, at least
// 740 x 300), centred on the main window whenever it is shown from hidden,
// the browser filling it. Owned by the application (CreateForm); closing it
// hides it. FormFAQ() answers the living one.
class TFormFAQ : public TForm {
public:
    explicit TFormFAQ(TComponent* owner = nullptr);
    ~TFormFAQ() override;

    TPageBrowser* WebBrowserFAQ() const noexcept { return browser_; }
    // Makes the window visible (centred when it was hidden) and brings it to
    // the front.
    void ShowFaq();
    // Centres the window on the application's main form (kept on that
    // form's monitor's work area).
    void CentreOnMainWindow();

    void CreateParams(TCreateParams& params) override;

protected:
    void WndProc(TMessage& msg) override;

private:
    TPageBrowser* browser_ = nullptr;
};
TFormFAQ* FormFAQ();

// Stores a new copy of the page at UrlTemplate (macros expanded) in Path,
// through Path with the extension ".tmp"; true when one was stored. An empty
// template deletes Path and the temporary copy. A local copy is current when
// a HEAD request answers 200 with a content length equal to its size.
bool DownloadIfChanged(const std::string& UrlTemplate, const std::string& Path);

// One FAQ download (and the passes queued while it runs), at lower than
// normal priority; frees itself. Ends at once in a check run. Start it
// through StartFaqDownload.
class TDownloadCMS final : public TThread {
public:
    // Forced: the 3-day rule does not apply (a queued pass).
    explicit TDownloadCMS(bool Forced);

protected:
    void Execute() override;

private:
    bool forced_;
};

// Starts a TDownloadCMS, or, while one runs, queues one more pass after it
// (forced, with the language current then).
void StartFaqDownload(bool Forced = false);
// After a language change: deletes LAST_CMS_UPDATE and, when a value was
// deleted, starts a download (or queues a pass).
void RefreshFaq();
// A download (or a queued pass) runs.
bool FaqDownloadRunning();
// Waits (pumping on the GUI thread) until no download runs; false when Ms
// passed first.
bool WaitForFaqDownload(DWORD Ms);
// Tests: the most passes that ever ran at one time in this process.
int FaqPassesAtOnceForTests();
