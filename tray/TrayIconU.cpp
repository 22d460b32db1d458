#include "tray/TrayIconU.h"

#include "platform/GuardU.h"

#include <cstring>

static_assert(sizeof(void*) != 4 || kNotifyIconDataSize == 936,
              "the version-2 record of a 32-bit program is 936 bytes");

void CopyNotifyText(wchar_t* Field, size_t Capacity, const std::wstring& Text)
{
    if (Capacity == 0)
        return;
    size_t n = std::min(Text.size(), Capacity - 1);
    if (n < Text.size() && n > 0 && IS_HIGH_SURROGATE(Text[n - 1]))
        --n;
    std::memcpy(Field, Text.data(), n * sizeof(wchar_t));
    Field[n] = L'\0';
}

TTrayIconW::TTrayIconW(HWND Window, bool Show, const std::wstring& Tooltip, UINT CallbackMessage,
                       HICON Icon, TNotifyIconCall Notify)
    : notify_(std::move(Notify))
{
    data_.cbSize = kNotifyIconDataSize;
    data_.hWnd = Window;
    data_.uID = static_cast<UINT>(reinterpret_cast<UINT_PTR>(Window));
    data_.uFlags = kTrayIconFlags;
    data_.uCallbackMessage = CallbackMessage;
    data_.hIcon = Icon;
    CopyNotifyText(data_.szTip, std::size(data_.szTip), Tooltip);
    if (Show)
        this->Show();
}

TTrayIconW::~TTrayIconW()
{
    Guard([&] { Hide(); });
}

BOOL TTrayIconW::Notify(DWORD Message)
{
    if (notify_)
        return notify_(Message, data_);
    return Shell_NotifyIconW(Message, &data_);
}

void TTrayIconW::Show()
{
    if (shown_ && Notify(NIM_MODIFY))
        return;
    shown_ = Notify(NIM_ADD) != FALSE;
}

void TTrayIconW::Hide()
{
    if (!shown_)
        return;
    Notify(NIM_DELETE);
    shown_ = false;
}

void TTrayIconW::ShowBalloon(const std::wstring& Title, const std::wstring& Text, UINT TimeoutMs,
                             DWORD IconFlags)
{
    if (!shown_)
        return;
    CopyNotifyText(data_.szInfo, std::size(data_.szInfo), Text);
    CopyNotifyText(data_.szInfoTitle, std::size(data_.szInfoTitle), Title);
    data_.dwInfoFlags = IconFlags;
    data_.uTimeout = TimeoutMs;
    data_.uFlags = kTrayBalloonFlags;
    Notify(NIM_MODIFY);
    data_.uFlags = kTrayIconFlags;
}

void TTrayIconW::ShellRestarted()
{
    shown_ = false;
    Show();
}
