#pragma once
// One icon in the notification area, with its tooltip and balloon tips, over
// Shell_NotifyIconW. The icon's mouse events arrive at the owner window as the
// callback message, with the mouse message in lParam (the version-2
// behaviour: NIM_SETVERSION is never sent).
//
// The object is owned by the tray application and lives on its GUI thread.
// The icon counts as shown only after the shell accepted it: at logon the
// taskbar may not be there yet, and a restarted shell has lost every icon.

#include "platform/ClassesU.h"

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <functional>
#include <string>

// The record's version-2 size (936 bytes in a 32-bit program), set
// explicitly: the headers' full NOTIFYICONDATAW is larger.
inline constexpr DWORD kNotifyIconDataSize = offsetof(NOTIFYICONDATAW, guidItem);

inline constexpr UINT kTrayIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP; // 7
inline constexpr UINT kTrayBalloonFlags = NIF_INFO;                      // 16

// The shell call; tests record the calls in place of the shell.
using TNotifyIconCall = std::function<BOOL(DWORD Message, NOTIFYICONDATAW& Data)>;

class TTrayIconW : public TObject {
public:
    // Fills the record (uID is the window's handle value, flags 7, the
    // tooltip cut to 127 characters); with Show the icon is added at once.
    // A null Notify means Shell_NotifyIconW.
    TTrayIconW(HWND Window, bool Show, const std::wstring& Tooltip, UINT CallbackMessage,
               HICON Icon, TNotifyIconCall Notify = nullptr);
    // Hides the icon.
    ~TTrayIconW() override;
    TTrayIconW(const TTrayIconW&) = delete;
    TTrayIconW& operator=(const TTrayIconW&) = delete;

    // NIM_MODIFY when shown, falling back to NIM_ADD when the shell no longer
    // knows the icon; else NIM_ADD. Shown afterwards only when the shell
    // accepted it.
    void Show();
    // Only when shown: NIM_DELETE; not shown afterwards, whatever the answer.
    void Hide();
    // Only when shown: one NIM_MODIFY with the flags NIF_INFO alone and the
    // balloon fields (text cut to 255, title to 63 characters); the flags are
    // 7 again afterwards, so the next Show leaves the balloon unsent.
    void ShowBalloon(const std::wstring& Title, const std::wstring& Text, UINT TimeoutMs,
                     DWORD IconFlags);
    // The shell was restarted ("TaskbarCreated") and knows no icon: add it
    // again.
    void ShellRestarted();

    bool Shown() const { return shown_; }
    const NOTIFYICONDATAW& Data() const { return data_; }

private:
    BOOL Notify(DWORD Message);

    bool shown_ = false;
    NOTIFYICONDATAW data_{};
    TNotifyIconCall notify_;
};

// Copies Text into a field of Capacity characters (closing NUL included),
// cut to fit, and never between the two halves of a surrogate pair.
void CopyNotifyText(wchar_t* Field, size_t Capacity, const std::wstring& Text);
