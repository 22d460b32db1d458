#include "tray/qvTray.h"

#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/RegistryU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr char kTrackCategory[] = "T";
constexpr DWORD kLoopWaitMs = 10;
constexpr UINT kBalloonTimeoutMs = 10000;

TTraySeams WithDefaults(TTraySeams Seams)
{
    if (!Seams.Clock)
        Seams.Clock = [] { return Now(); };
    if (Seams.TimerIntervalMs == 0)
        Seams.TimerIntervalMs = kTrayTimerIntervalMs;
    if (!Seams.Sleep)
        Seams.Sleep = &SleepMs;
    if (!Seams.StartMain)
        Seams.StartMain = [](const std::string& Params) { return StartMainProgram(Params); };
    if (!Seams.Popup)
        Seams.Popup = [](TMenu& Menu, int X, int Y) { return Menu.Popup(X, Y); };
    if (!Seams.MessageBox)
        Seams.MessageBox = [](HWND Owner, const std::wstring& Text, const std::wstring& Caption,
                              UINT Flags) {
            return MessageBoxW(Owner, Text.c_str(), Caption.c_str(), Flags);
        };
    return Seams;
}

std::wstring TooltipText()
{
    return TranslateText(L"TrayNotification", L"%BRAND% System Optimizer");
}

// HKCU LAST_CHECK; 0 when missing, not 8 bytes or no usable date.
TDateTime ReadLastCheck()
{
    TProgramKeyView view;
    const TDateTime value = RegReadDateTime(HKEY_CURRENT_USER, ProgramKey(), "LAST_CHECK");
    return std::isfinite(value) ? value : 0;
}

class TFlagScope {
public:
    explicit TFlagScope(bool& Flag) : flag_(Flag) { flag_ = true; }
    ~TFlagScope() { flag_ = false; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag_;
};

std::string OldFileName(const std::string& FileName)
{
    const size_t dot = FileName.find_last_of(".\\:");
    if (dot == std::string::npos || FileName[dot] != '.')
        return FileName + ".old";
    return FileName.substr(0, dot) + ".old";
}

} // namespace

// ---------------------------------------------------------------------------
// TAppClass

TAppClass::TAppClass(TTraySeams Seams) : seams_(WithDefaults(std::move(Seams)))
{
    startTime_ = seams_.Clock();
    checkLaunched_ = false;
    // Opened before the start-up programs run and never reset again: the
    // main program's stop holds the event only for 100 ms, and a stop that
    // comes meanwhile must still end this tray.
    stopEvent_ = std::make_unique<TGlobalEvent>(kStopTrayEventName);
    stopEvent_->ResetEvent();

    LoadTranslationFile();

    // Registered before the window exists: an id still 0 would match WM_NULL.
    notifyMessage_ = RegisterWindowMessageA(kNotifyTrayMessageName);
    refreshMessage_ = RegisterWindowMessageA(kRefreshTrayMessageName);
    exitToTrayMessage_ = RegisterWindowMessageA(kExitToTrayMessageName);
    taskbarCreatedMessage_ = RegisterWindowMessageA("TaskbarCreated");

    window_ = CreateAppWindow(kTrayWindowClassName);
    window_->SetStyle(0);
    window_->SetClassName(kTrayWindowClassName);
    window_->SetMessageHook([this](TMsg& Msg) { return HandleMessage(Msg); });
    if (!window_->GetHandle())
        throw std::runtime_error("the tray window cannot be made");

    BuildMenu();

    icon_ = static_cast<HICON>(
        LoadImageA(GetModuleHandleA(nullptr), "MAINICON", IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    tooltip_ = TooltipText();
    trayIcon_ = std::make_unique<TTrayIconW>(window_->Handle(), false, tooltip_, notifyMessage_,
                                             icon_, seams_.Notify);

    timer_ = TObj::Make<TTimer>();
    timer_->SetInterval(seams_.TimerIntervalMs);
    timer_->SetOnTimer([this](TTimer&) { OnTimer(); });
    timer_->SetEnabled(true);
}

TAppClass::~TAppClass()
{
    Guard([&] { timer_.reset(); });
    Guard([&] { trayIcon_.reset(); });
    Guard([&] { window_.reset(); });
    Guard([&] { menu_.reset(); });
    Guard([&] {
        if (icon_)
            DestroyIcon(icon_);
    });
}

void TAppClass::BuildMenu()
{
    menu_.reset();
    auto menu = NewPopupMenu(kTrayMenuOpen);
    menu->AddItem(TranslateText(L"TrayOpen", L"Open %BRAND% wizard"), 0);
    menu->AddItem(TranslateText(L"TrayScan", L"Scan now"), 0);
    menu->AddItem(L"", TMenu::kSeparator);
    menu->AddItem(TranslateText(L"TrayExit", L"Exit"), 0);
    menu->SetOwnerWindow(Window());
    menu_ = std::move(menu);
}

bool TAppClass::HandleMessage(TMsg& Msg)
{
    // The registered ids are known only at run time.
    if (Msg.Msg == notifyMessage_) {
        OnIconMessage(Msg.LParam);
        return true;
    }
    if (Msg.Msg == refreshMessage_) {
        OnRefresh();
        return true;
    }
    if (Msg.Msg == exitToTrayMessage_) {
        if (trayIcon_)
            trayIcon_->ShowBalloon(L"", tooltip_, kBalloonTimeoutMs, 0);
        return true;
    }
    if (Msg.Msg == taskbarCreatedMessage_) {
        // A restarted shell knows no icon of ours any more.
        if (iconWanted_ && trayIcon_)
            trayIcon_->ShellRestarted();
        return true;
    }
    if (Msg.Msg == WM_QUIT) {
        EndTray();
        return true;
    }
    if (Msg.Msg == WM_ENDSESSION) {
        // wParam FALSE: the logoff was cancelled, and the tray stays.
        if (Msg.WParam == 0)
            return false;
        // The process may end as soon as this returns.
        if (trayIcon_)
            trayIcon_->Hide();
        iconWanted_ = false;
        EndTray();
        return true;
    }
    return false;
}

void TAppClass::OnIconMessage(LPARAM MouseMessage)
{
    switch (MouseMessage) {
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        ShowMenu();
        break;
    case WM_LBUTTONDBLCLK:
        if (!busy_)
            seams_.StartMain("");
        break;
    default:
        break;
    }
}

void TAppClass::ShowMenu()
{
    // The menu's and the box's modal loops dispatch our messages: a second
    // click would nest them, and a refresh would free the menu being shown.
    if (busy_ || !menu_)
        return;
    int id = 0;
    {
        TFlagScope busy(busy_);
        POINT point{};
        GetCursorPos(&point);
        // Without the foreground the menu would not close when the user
        // clicks elsewhere.
        SetForegroundWindow(Window());
        TrackVisit(kTrackCategory);
        id = seams_.Popup(*menu_, point.x, point.y);
        switch (id) {
        case kTrayMenuOpen:
            seams_.StartMain("");
            TrackEvent(kTrackCategory, "OP", false);
            break;
        case kTrayMenuScan:
            seams_.StartMain("/SCAN");
            TrackEvent(kTrackCategory, "SN", false);
            break;
        case kTrayMenuExit:
            ConfirmExit();
            break;
        default:
            break;
        }
    }
    if (rebuildPending_) {
        rebuildPending_ = false;
        BuildMenu();
    }
}

void TAppClass::ConfirmExit()
{
    const std::wstring caption = TranslateText(L"CloseTitle", L"Closing %BRAND%");
    const std::wstring text =
        TranslateText(L"CloseText1", L"Do you want to close %BRAND%?") + L"\r\n\r\n" +
        TranslateText(L"CloseText2",
                      L"%BRAND% will automatically launch after restart of your computer.");
    if (seams_.MessageBox(Window(), text, caption, kCloseBoxFlags) == IDYES) {
        if (trayIcon_)
            trayIcon_->Hide();
        iconWanted_ = false;
        EndTray();
        TrackEvent(kTrackCategory, "X", false);
    } else {
        TrackEvent(kTrackCategory, "XC", false);
    }
}

void TAppClass::OnRefresh()
{
    LoadSettings();
    if (busy_)
        rebuildPending_ = true;
    else
        BuildMenu();
    // The start-up programs still run to their end: only the loop ends.
    if (!Settings()->SHOW_TRAY)
        quit_ = true;
}

void TAppClass::EndTray()
{
    quit_ = true;
    ending_ = true;
}

bool TAppClass::CheckStartAllowed(TDateTime Now, TDateTime LastCheck) const
{
    // A check that ended without writing LAST_CHECK (it failed, or was
    // killed) is tried again only after a back-off, not at every tick.
    return !checkStarted_ || LastCheck != lastCheckSeen_ ||
           std::fabs(Now - lastCheckStart_) >= checkBackoff_;
}

void TAppClass::OnTimer()
{
    // The icon could not be added (no taskbar yet at logon): try again.
    if (iconWanted_ && trayIcon_ && !trayIcon_->Shown())
        trayIcon_->Show();

    {
        // Free while the main program is not running. Released at once, on
        // this thread: held, it would block every "/WAIT" start.
        TGlobalMutex app(kMainMutexName);
        if (!app.WaitFor(0))
            return;
        app.Release();
    }

    const TDateTime now = seams_.Clock();
    const TDateTime lastCheck = ReadLastCheck();
    // While the back-off holds the flag stays set: the check run may write
    // LAST_CHECK any moment, and then the next check is a day away.
    if (std::fabs(now - lastCheck) > 1.0 && CheckStartAllowed(now, lastCheck))
        checkLaunched_ = false;
    if (std::fabs(now - startTime_) > kCheckDelayDays && !checkLaunched_) {
        const bool unchanged = checkStarted_ && lastCheck == lastCheckSeen_;
        checkBackoff_ =
            unchanged ? std::min(checkBackoff_ * 2, kCheckBackoffMaxDays) : kCheckBackoffDays;
        checkLaunched_ = true;
        checkStarted_ = true;
        lastCheckStart_ = now;
        lastCheckSeen_ = lastCheck;
        seams_.StartMain("/CHECK /WAIT");
    }
}

bool TAppClass::PumpWaiting(const bool& Stop)
{
    bool quitSeen = false;
    while (!Stop && ProcessOneMessage(window_.get(), &quitSeen)) {
        // The pump took WM_QUIT (PostQuitMessage, PostThreadMessage, the
        // window's close): it never reaches a window, so it ends us here.
        if (quitSeen)
            EndTray();
    }
    return !Stop;
}

void TAppClass::RunMessageLoop()
{
    Guard([&] {
        iconWanted_ = true;
        trayIcon_->Show();
        while (!quit_) {
            if (!PumpWaiting(quit_))
                break;
            seams_.Sleep(kLoopWaitMs);
            if (stopEvent_ && stopEvent_->WaitFor(0))
                EndTray();
        }
    });
    Guard([&] {
        iconWanted_ = false;
        if (trayIcon_)
            trayIcon_->Hide();
    });
    Guard([&] { stopEvent_.reset(); });
}

bool TAppClass::PumpMessages()
{
    // A refresh that turns the icon off sets only quit: the start-up
    // programs still run to their end.
    PumpWaiting(ending_);
    if (!ending_)
        seams_.Sleep(kLoopWaitMs);
    if (stopEvent_ && stopEvent_->WaitFor(0))
        EndTray();
    return !ending_;
}

// ---------------------------------------------------------------------------
// The program

void InitTrayUnits()
{
    LoadSettings();
    CreateUserTrack(HKEY_LOCAL_MACHINE, ProgramKey(), "TRACK");
    RegisterWindowMessageA(kFreeFixMessageName);
}

int RunTray(const TTraySeams& Seams)
{
    Guard([&] {
        if (FindWindowA(kTrayWindowClassName, nullptr)) {
            MessageBeep(0);
            return;
        }
        TMutex instance(kTrayInstanceMutexName);
        if (!instance.WaitFor(0)) {
            MessageBeep(0);
            return;
        }
        Guard([] {
            const std::string old = OldFileName(GetParam(0));
            if (FileExistsEx(old))
                DeleteFileA(old.c_str());
        });

        auto app = std::make_unique<TAppClass>(Seams);
        const HWND desktop = GetDesktopWindow();
        if (!GetPropA(desktop, kStartupPropertyName)) {
            Guard(
                [&] { RunPostponedStartup([&app] { return app->PumpMessages(); }, Seams.Runner); });
            // Also after a failed or stopped run: nothing may start twice.
            SetPropA(desktop, kStartupPropertyName, reinterpret_cast<HANDLE>(1));
        }
        if (Settings()->SHOW_TRAY && !app->QuitRequested())
            app->RunMessageLoop();
        app.reset();
    });
    return 0;
}
