#pragma once
// Self-update: the update list a check hands over, and the installation of
// a downloaded file into the program folder.
//
// The list has one line per file: URL TAB size in bytes TAB SHA-256 (64
// hexadecimal digits; for a cabinet, of the cabinet). An update runs the
// elevated program's new files, so a list counts only when every address in
// it, and the one it came from, is https (or http to 127.0.0.1, the tests'
// stand-in), every line carries a valid size and digest, and every file name
// is a plain base name.

#include "app/qvNetThreads.h"
#include "controls/KvForms.h"
#include "platform/ThreadU.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct TUpdateEntry {
    std::string URL;
    int64_t Size = 0;
    std::string Sha256; // lower case
    std::string FileName; // UrlFileName(URL)
};

// [A-Za-z0-9_.-]{1,64}, without "..", and not a device name (CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, with or without an extension).
bool IsPlainUpdateName(std::string_view Name);
// https://..., or http://127.0.0.1 (with or without a port) followed by "/".
bool IsTrustedUpdateURL(std::string_view URL);
// The entries of List (blank lines skipped) when the whole list passes the
// rules above; false, Entries untouched, when any line or SourceURL fails.
bool ParseUpdateList(const std::string& List, const std::string& SourceURL,
                     std::vector<TUpdateEntry>& Entries);

// Puts a downloaded file in place: a ".cab" (any case) is opened and its
// entries, every name checked before anything is extracted, go to the
// update folder and are installed one by one; any other file is installed
// itself. A file is installed by copying it beside its target as ".new" and
// swapping that in (SwapUpdatedFile); a target in use keeps the ".new" copy
// for "/completeupdate" (the update-pending flag). A ".new" copy that cannot
// be made keeps the downloaded file and fails that file. The downloaded file
// (and the extracted ones that were put in place) are deleted. True when
// every file is in place or waits as ".new"; nothing happens for a missing
// File (false).
bool InstallUpdateFile(const std::string& File);

// ---------------------------------------------------------------------------
// The update run, its downloads and its window

class TLabel;
class TProgressBar;
class TSkinButton;
class THTTPGet;

// "1 h 2 min " for 3725, "1 min 5 sec" for 65, "0 sec" for 0: hours and
// minutes only when above 0, seconds only below an hour.
std::wstring UpdateTimeLeftText(uint32_t Seconds);
// Template with its first three "%s" replaced, in order, by the three texts;
// nothing else in it (or in the texts) counts as a format.
std::wstring FillUpdateProgress(const std::wstring& Template, const std::wstring& TimeLeft,
                                const std::wstring& Done, const std::wstring& Total);

// The progress window of an update run. Made once at start (after the
// wizard pages), owned by the application, shown for a run and hidden at its
// end; FormUpdate() answers the living one. Its operations run on the GUI
// thread (the update run calls them through the synchronised call); the
// byte counters and the cancel flag are written and read from both sides.
// Closing it or Cancel sets the cancel flag and hides it.
class TFormUpdate : public TForm {
public:
    explicit TFormUpdate(TComponent* owner = nullptr);
    ~TFormUpdate() override;

    void StartDownloading(int FileCount);
    void NextFile();
    // Fills the labels and the bar from the counters. A refresh asked for
    // less than 100 ms after the last one is skipped unless Force.
    void Refresh(bool Force = true);
    // A refresh without Force would not be skipped now. Any thread: the
    // download asks before it hands a refresh to the GUI thread, whose
    // round trip would cost more than the refresh it skips.
    bool RefreshDue() const;
    void StartInstalling();
    // The time and rate labels cleared.
    void DownloadSucceeded();
    // Hides the window; true when it was visible (the failure is then told).
    bool DownloadFailed();
    void HideWindow();
    // The caption and the design texts in the current language again (also
    // after a language change); what the program filled is filled again.
    void Translate();

    // The download's side: bytes so far and the announced total of the
    // current file.
    void SetCounters(int64_t Downloaded, int64_t Total);
    bool Cancelled() const noexcept { return cancel_; }
    // The clock of the refresh (GetTickCount when empty); tests only.
    void SetTickSource(std::function<DWORD()> Source) { tick_ = std::move(Source); }

    TLabel* LabelStatus() const { return labelStatus_; }
    TLabel* LabelCounter() const { return labelCounter_; }
    TLabel* LabelTimeSize() const { return labelTimeSize_; }
    TLabel* LabelRate() const { return labelRate_; }
    TProgressBar* ProgressBar() const { return progress_; }
    TSkinButton* ButtonCancel() const { return buttonCancel_; }
    double Rate() const noexcept { return rate_; }

private:
    DWORD Tick() const { return tick_ ? tick_() : GetTickCount(); }
    void ResetCounters();
    void SetCounterText(int Index);
    void CancelByUser();

    TLabel* labelStatus_ = nullptr;
    TLabel* labelCounter_ = nullptr;
    TLabel* labelTimeSize_ = nullptr;
    TLabel* labelRate_ = nullptr;
    TProgressBar* progress_ = nullptr;
    TSkinButton* buttonCancel_ = nullptr;
    std::function<DWORD()> tick_;

    int fileIndex_ = 0;
    int fileCount_ = 0;
    // 32 bits, as the bar takes them: update files are small.
    std::atomic<uint32_t> downloaded_{0};
    std::atomic<uint32_t> total_{0};
    DWORD startTick_ = 0;
    DWORD rateTick_ = 0;
    std::atomic<DWORD> lastRefresh_{0};
    std::atomic<bool> refreshed_{false};
    bool installing_ = false;
    double rate_ = 0; // bytes per second
    uint32_t secondsLeft_ = 0;
    std::atomic<bool> cancel_{false};
};
TFormUpdate* FormUpdate();

// One file of an update list downloaded into Target. Started at once; the
// creator polls Done, reads Success, then frees it. Success needs a request
// without error, status 200, a file as long as the announced total and as
// the list's size, and the list's digest; a failed or cancelled download
// leaves no file. A failure is told through the window (when it was
// visible); a cancelled or terminated download is aborted and tells nothing.
class TQVDownload final : public TThread {
public:
    TQVDownload(const TUpdateEntry& Entry, TFormUpdate* Window, const std::string& Target);
    ~TQVDownload() override;
    bool Done() const noexcept { return done_; }
    bool Success() const noexcept { return success_; }
    // Ends the transfer from any thread (a cancel, the program's end).
    void Abort();

private:
    void Execute() override;
    bool Stopping() const;
    TUpdateEntry entry_;
    TFormUpdate* window_;
    std::string target_;
    std::mutex requestLock_;
    THTTPGet* request_ = nullptr; // while the transfer runs
    std::atomic<bool> done_{false};
    std::atomic<bool> success_{false};
};

// The update run: the list a check handed over (lines as UpdateListText
// gives them), checked against its rules, asked for, downloaded into the
// update folder, installed, and the tray restarted. With StartNow it starts
// in its constructor; otherwise the creator takes its wait handle and calls
// Start (the daily check waits for it).
class TQVUpdateThread final : public TWaitThread {
public:
    TQVUpdateThread(const std::string& List, bool FreeOnTerminate, bool Silent, bool Manual,
                    const std::string& SourceURL, bool StartNow = true);
    ~TQVUpdateThread() override;

private:
    void Run() override;
    bool Interrupted() const;
    void Window(const std::function<void(TFormUpdate&)>& Operation);
    void Tell(const std::wstring& Text, UINT Flags);
    void DeleteDownloads();

    std::vector<std::string> list_; // a file path once downloaded
    std::vector<TUpdateEntry> entries_;
    std::string listText_;
    std::string sourceURL_;
    bool silent_;
    bool manual_;
};

// The program's end: every running download is aborted, and the wait lasts
// while an update run installs (pumping). True when no update run is left.
bool EndUpdateRuns(DWORD Ms);
// The download requests' time-out (0: the client's default); tests only.
void SetUpdateDownloadTimeout(DWORD Ms);
