#pragma once
// The main program's two small requests to the web service: the install and
// uninstall report, and the support phone number. Both run on a thread with
// a done flag that the starter can wait for, bounded.

#include "platform/ThreadU.h"

#include <memory>

#include <windows.h>

#include <atomic>
#include <string>

// The message the phone request posts to its window when the number changed
// (the main window redraws its support panel).
inline constexpr UINT WM_KorvellePhoneChanged = WM_USER + 86;

// A thread whose done flag is set last in Execute, however Run ends (an
// exception included), so a waiter that sees it may free the object.
class TWaitThread : public TThread {
public:
    explicit TWaitThread(bool FreeOnTerminate) : TThread(FreeOnTerminate) {}
    bool Done() const noexcept { return done_; }

protected:
    virtual void Run() = 0;

private:
    void Execute() final;
    std::atomic<bool> done_{false};
};

// True at once for a null or done thread; otherwise waits on the thread in
// steps of 100 ms (pumping on the GUI thread) until it is done or Ms passed,
// and returns the done flag. Free the thread only on True. Not for a thread
// that frees itself (it may be gone).
bool WaitThreadFor(TWaitThread* Thread, DWORD Ms);

// URL with every "%CU%" (letters in any case) replaced by the report's
// envelope: RNDX_<0..999>=<0..99999>, CFG, UID, RNDY_<0..999>=<0..99999>,
// and SUBID only for a non-empty HKLM SubID (then the envelope's own
// RANDOMIZER). The noise comes from a generator seeded once per process.
std::string BuildInstallHitURL(const std::string& URL);

// One GET of the URL built in the constructor (none for an empty one), the
// reply ignored. Started at once. It uses only what it owns: a report left
// running while its process ends touches no global.
class TInstallHitThread final : public TWaitThread {
public:
    TInstallHitThread(const std::string& URL, bool FreeOnTerminate);
    ~TInstallHitThread() override;
    const std::string& URL() const noexcept { return url_; }

private:
    void Run() override;
    std::string url_;
    // Made by the starter, so that the thread itself reads no global.
    std::unique_ptr<class THTTPGet> request_;
    std::unique_ptr<class TMemoryStreamWriter> reply_;
};

// LI_URL with "%ACTION%" (any case) replaced by Action.
std::string ReportURL(const std::string& Action);

// The number a phone reply carries: the text between "<Phone>" and the next
// "</Phone>", trimmed; '' when a tag is missing, the number is longer than
// 40 characters or holds a control character.
std::string PhoneFromReply(const std::string& Reply);

// Fetches PHONE_URL (macros expanded); a changed number goes to HKLM
// PHONE_NUMBER and the settings, and WM_KorvellePhoneChanged is posted to
// Window. Started at once; frees itself (allocate with new, never touch it
// afterwards).
class TPhoneNumberThread final : public TWaitThread {
public:
    explicit TPhoneNumberThread(HWND Window);
    ~TPhoneNumberThread() override;

private:
    void Run() override;
    HWND window_;
};

// True once no phone request runs (at once when none does), else false
// after Ms.
bool WaitForPhoneRequests(DWORD Ms);
