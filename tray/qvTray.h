#pragma once
// The tray companion's application: one hidden top-level window of class
// KorvelleTray that receives the icon's mouse messages, the main program's
// messages and the timer; the icon with its menu; the daily update check;
// and the run procedure that is the program's main block.
//
// Everything runs on the one GUI thread. The hidden window is top-level (not
// message-only): the main program finds it with FindWindowA, and
// WM_ENDSESSION, WM_SETTINGCHANGE and "TaskbarCreated" reach top-level windows
// only.

#include "platform/DateTimeU.h"
#include "platform/SyncObjsU.h"
#include "tray/TrayIconU.h"
#include "tray/WinLibU.h"
#include "tray/qvStartupRunner.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

// What the tray does to the outside world; each empty member (and the
// interval 0) is the real thing.
struct TTraySeams {
    std::function<TDateTime()> Clock;    // Now
    UINT TimerIntervalMs = 0;            // 30000
    std::function<void(DWORD Ms)> Sleep; // the loop's wait on the process handle
    // StartMainProgram: Korvelle.exe beside the tray, "open", only when it exists.
    std::function<bool(const std::string& Params)> StartMain;
    // The menu at the point; the chosen command id (0 when dismissed).
    std::function<int(TMenu& Menu, int X, int Y)> Popup;
    // MessageBoxW.
    std::function<int(HWND Owner, const std::wstring& Text, const std::wstring& Caption,
                      UINT Flags)>
        MessageBox;
    TNotifyIconCall Notify; // Shell_NotifyIconW
    TRunnerSeams Runner;
};

inline constexpr UINT kTrayTimerIntervalMs = 30000;
inline constexpr int kTrayMenuOpen = 100;
inline constexpr int kTrayMenuScan = 101;
inline constexpr int kTrayMenuExit = 102;
inline constexpr UINT kCloseBoxFlags = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2; // 0x124
// The update check waits this long after the tray started.
inline constexpr double kCheckDelayDays = 15.0 / (24 * 60);
// A check that left LAST_CHECK as it was is repeated after this back-off,
// which doubles up to a day; a changed LAST_CHECK resets it.
inline constexpr double kCheckBackoffDays = 1.0 / 24;
inline constexpr double kCheckBackoffMaxDays = 1.0;
// Held for the tray's whole life: of two trays started together only one
// passes, although both may find no tray window yet.
inline constexpr char kTrayInstanceMutexName[] = "Local\\KorvelleTray.Instance";

// Owned by the run procedure (or a test); owns its window, icon, menu, timer
// and the stop event.
class TAppClass : public TObject {
public:
    // Start time, translation table, hidden window, menu, registered
    // messages, icon, tooltip, tray icon (hidden), timer; the stop event is
    // opened and reset first, once, so that a stop during the start-up
    // programs is not lost. Throws when the window cannot be made.
    explicit TAppClass(TTraySeams Seams = {});
    // Timer, tray icon, window, menu; each step's failure is ignored.
    ~TAppClass() override;
    TAppClass(const TAppClass&) = delete;
    TAppClass& operator=(const TAppClass&) = delete;

    // A new menu: "Open Korvelle wizard" 100, "Scan now" 101, separator,
    // "Exit" 102, owned by the hidden window.
    void BuildMenu();
    // The hidden window's message hook; True when handled.
    bool HandleMessage(TMsg& Msg);
    // The 30 s timer: the update check.
    void OnTimer();
    // Shows the icon and pumps until the quit flag is set; the icon goes and
    // the stop event is freed however the loop ends.
    void RunMessageLoop();
    // The start-up runner's callback: every waiting message, a 10 ms wait,
    // the stop event. False when the tray is ending (stop, WM_QUIT,
    // WM_ENDSESSION): the runner stops then.
    bool PumpMessages();

    bool QuitRequested() const { return quit_; }
    bool Ending() const { return ending_; }
    bool CheckLaunched() const { return checkLaunched_; }
    HWND Window() const { return window_ ? window_->Handle() : nullptr; }
    TTrayIconW* TrayIcon() const { return trayIcon_.get(); }
    TMenu* Menu() const { return menu_.get(); }
    TTimer* Timer() const { return timer_.get(); }
    const std::wstring& Tooltip() const { return tooltip_; }
    UINT NotifyMessage() const { return notifyMessage_; }
    UINT RefreshMessage() const { return refreshMessage_; }
    UINT ExitToTrayMessage() const { return exitToTrayMessage_; }

private:
    void OnIconMessage(LPARAM MouseMessage);
    void ShowMenu();
    void ConfirmExit();
    void OnRefresh();
    void EndTray();
    // Every waiting message until Stop is set; False when it is.
    bool PumpWaiting(const bool& Stop);
    bool CheckStartAllowed(TDateTime Now, TDateTime LastCheck) const;

    TTraySeams seams_;
    bool quit_ = false;
    std::unique_ptr<TControl> window_;
    std::unique_ptr<TTrayIconW> trayIcon_;
    std::unique_ptr<TMenu> menu_;
    std::unique_ptr<TTimer> timer_;
    HICON icon_ = nullptr;
    std::wstring tooltip_;
    UINT notifyMessage_ = 0;
    UINT refreshMessage_ = 0;
    UINT exitToTrayMessage_ = 0;
    UINT taskbarCreatedMessage_ = 0;
    TDateTime startTime_ = 0;
    bool checkLaunched_ = false;

    std::unique_ptr<TGlobalEvent> stopEvent_;
    // The tray is ending: the start-up runner stops too.
    bool ending_ = false;
    // The icon belongs in the notification area (the loop runs).
    bool iconWanted_ = false;
    // A popup menu or the exit question is open: their modal loops dispatch
    // our messages, so icon clicks are ignored and a menu rebuild waits.
    bool busy_ = false;
    bool rebuildPending_ = false;
    // The last update check started: when, and LAST_CHECK as read then.
    bool checkStarted_ = false;
    TDateTime lastCheckStart_ = 0;
    TDateTime lastCheckSeen_ = 0;
    double checkBackoff_ = kCheckBackoffDays;
};

// The unit initialisations of the tray program, before RunTray: the
// settings, the usage counters (HKLM, program key, "TRACK") and the
// registered message the main program's list shares.
void InitTrayUnits();

// The program's main block: one tray per session (a KorvelleTray window, or
// the instance mutex taken, ends it with a beep); Lindova.old deleted; the
// postponed start-up programs once per Windows session; the loop while
// SHOW_TRAY is on. Every failure ends it quietly. Always 0.
int RunTray(const TTraySeams& Seams = {});
