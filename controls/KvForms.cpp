#include "controls/KvForms.h"

#include "controls/KvExtCtrls.h"
#include "controls/KvInspect.h"
#include "platform/GuardU.h"
#include "platform/ThreadU.h"

#include <commctrl.h>

#include <vector>

namespace {

// The windows a modal form disables, given back when its loop ends.
struct TDisabledWindows {
    HWND modal = nullptr;
    std::vector<HWND> windows;
};

BOOL CALLBACK DisableThreadWindow(HWND wnd, LPARAM param)
{
    auto* state = reinterpret_cast<TDisabledWindows*>(param);
    if (wnd != state->modal && IsWindowVisible(wnd) && IsWindowEnabled(wnd)) {
        state->windows.push_back(wnd);
        EnableWindow(wnd, FALSE);
    }
    return TRUE;
}

// The application's hint window: a tracking tooltip shown under the hinted
// control a moment after the mouse entered it. Lives as long as the process.
class THintWindow {
public:
    static THintWindow& Instance()
    {
        static THintWindow* hints = new THintWindow;
        return *hints;
    }
    void Request(TControl* control)
    {
        if (control == wanted_.Get() && control)
            return;
        Hide();
        wanted_ = control ? control->Ref() : TComponentRef();
        if (!control)
            return;
        delay_.SetEnabled(false);
        delay_.SetEnabled(true);
    }
    HWND Window() const { return tip_; }

private:
    THintWindow()
    {
        delay_.SetInterval(kHintDelayMs);
        delay_.OnTimer = [this](TComponent&) {
            delay_.SetEnabled(false);
            Show();
        };
    }
    void Show()
    {
        auto* control = wanted_.As<TControl>();
        if (!control || !control->Showing() || !EnsureTip())
            return;
        text_ = control->Hint();
        TTTOOLINFOW tool = Tool();
        tool.lpszText = text_.data();
        SendMessageW(tip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
        const POINT at = control->ClientToScreen(POINT{0, control->Height() + 2});
        SendMessageW(tip_, TTM_TRACKPOSITION, 0, MAKELPARAM(at.x, at.y));
        SendMessageW(tip_, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
    }
    void Hide()
    {
        delay_.SetEnabled(false);
        if (!tip_)
            return;
        TTTOOLINFOW tool = Tool();
        SendMessageW(tip_, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
    }
    TTTOOLINFOW Tool()
    {
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
        tool.uId = 1;
        return tool;
    }
    bool EnsureTip()
    {
        if (tip_)
            return true;
        tip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                               WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, 0, 0, 0, 0, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
        if (!tip_)
            return false;
        TTTOOLINFOW tool = Tool();
        tool.lpszText = const_cast<wchar_t*>(L"");
        SendMessageW(tip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        SendMessageW(tip_, TTM_SETMAXTIPWIDTH, 0, kHintMaxWidth);
        return true;
    }

    static constexpr UINT kHintDelayMs = 500;
    static constexpr int kHintMaxWidth = 400;
    TTimer delay_;
    TComponentRef wanted_;
    HWND tip_ = nullptr;
    std::wstring text_;
};

void RequestHint(TControl* control)
{
    THintWindow::Instance().Request(control);
}

} // namespace

HWND HintWindow()
{
    return THintWindow::Instance().Window();
}

void DispatchOneMessage(MSG& msg)
{
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

// ---------------------------------------------------------------------------
// TForm

TForm::TForm(TComponent* owner) : TCustomControl(owner)
{
    visible_ = false;
    SetParentFont(false);
    StoreBounds(0, 0, 320, 240);
}

TForm::~TForm()
{
    // The children go while the form is still whole: their destructors
    // reach back into it.
    DestroyComponents();
}

DWORD TForm::WindowStyle() const
{
    DWORD style = WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
    switch (borderStyle_) {
    case TBorderStyle::None:
        style |= WS_POPUP;
        break;
    case TBorderStyle::Single:
        style |= WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
        break;
    case TBorderStyle::Sizeable:
        style |= WS_OVERLAPPEDWINDOW;
        break;
    case TBorderStyle::Dialog:
        style |= WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
        break;
    }
    return style;
}

DWORD TForm::WindowExStyle() const
{
    DWORD ex = WS_EX_CONTROLPARENT;
    if (borderStyle_ == TBorderStyle::Dialog)
        ex |= WS_EX_DLGMODALFRAME;
    if (stayOnTop_)
        ex |= WS_EX_TOPMOST;
    if (Application().MainForm() == this)
        ex |= WS_EX_APPWINDOW;
    return ex;
}

void TForm::CreateParams(TCreateParams& params)
{
    TCustomControl::CreateParams(params);
    params.className = L"KvForm";
    params.style = WindowStyle();
    params.exStyle = WindowExStyle();
    params.parent = nullptr;
}

void TForm::HandleCreated()
{
    if (clientSizeSet_)
        SetClientSize(clientWidth_, clientHeight_);
}

void TForm::ApplyPosition()
{
    if (positioned_ || !handle_)
        return;
    positioned_ = true;
    if (position_ != TFormPosition::ScreenCenter)
        return;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    SetBounds(work.left + (work.right - work.left - width_) / 2,
              work.top + (work.bottom - work.top - height_) / 2, width_, height_);
}

void TForm::SetVisible(bool visible)
{
    if (visible) {
        if (!Handle())
            return;
        ApplyPosition();
        const bool was = visible_ && IsWindowVisible(handle_);
        visible_ = true;
        ShowWindow(handle_, SW_SHOW);
        if (!was && OnShow)
            OnShow(*this);
        return;
    }
    const bool was = visible_;
    visible_ = false;
    if (handle_)
        ShowWindow(handle_, SW_HIDE);
    if (was && OnHide)
        OnHide(*this);
}

void TForm::BringToFront()
{
    if (!Handle())
        return;
    if (!visible_)
        Show();
    SetWindowPos(handle_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(handle_);
}

void TForm::SetStayOnTop(bool on)
{
    stayOnTop_ = on;
    if (handle_)
        SetWindowPos(handle_, on ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TForm::SetBorderStyle(TBorderStyle style)
{
    if (style == borderStyle_)
        return;
    const int cw = ClientWidth(), ch = ClientHeight();
    borderStyle_ = style;
    if (!handle_)
        return;
    SetWindowLongW(handle_, GWL_STYLE,
                   static_cast<LONG>(WindowStyle() | (IsWindowVisible(handle_) ? WS_VISIBLE : 0)));
    SetWindowPos(handle_, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    SetClientSize(cw, ch);
}

SIZE TForm::FrameSize() const
{
    RECT r{0, 0, 0, 0};
    AdjustWindowRectEx(&r, WindowStyle(), FALSE, WindowExStyle());
    return SIZE{r.right - r.left, r.bottom - r.top};
}

int TForm::ClientWidth() const
{
    if (handle_)
        return TCustomControl::ClientWidth();
    return clientSizeSet_ ? clientWidth_ : std::max<int>(width_ - FrameSize().cx, 0);
}

int TForm::ClientHeight() const
{
    if (handle_)
        return TCustomControl::ClientHeight();
    return clientSizeSet_ ? clientHeight_ : std::max<int>(height_ - FrameSize().cy, 0);
}

void TForm::SetClientSize(int width, int height)
{
    clientWidth_ = width;
    clientHeight_ = height;
    if (handle_) {
        RECT window{}, client{};
        GetWindowRect(handle_, &window);
        GetClientRect(handle_, &client);
        const int dw = (window.right - window.left) - client.right;
        const int dh = (window.bottom - window.top) - client.bottom;
        clientSizeSet_ = false;
        SetBounds(left_, top_, width + dw, height + dh);
        return;
    }
    clientSizeSet_ = true;
    const SIZE frame = FrameSize();
    StoreBounds(left_, top_, width + frame.cx, height + frame.cy);
    Resize();
    Realign();
}

void TForm::ApplySpec(const TControlSpec& spec, const TLayoutContext& context)
{
    // A form's row gives its client size.
    TControlSpec own = spec;
    own.width = -1;
    own.height = -1;
    TCustomControl::ApplySpec(own, context);
    if (spec.width >= 0 && spec.height >= 0)
        SetClientSize(spec.width, spec.height);
}

void TForm::Close()
{
    const TComponentRef self = Ref();
    bool canClose = true;
    if (OnCloseQuery)
        OnCloseQuery(*this, canClose);
    if (!canClose || !self)
        return;
    const bool isMain = Application().MainForm() == this;
    TCloseAction action = modal_ ? TCloseAction::Hide
                                 : (isMain ? TCloseAction::Free : TCloseAction::Hide);
    if (OnClose)
        OnClose(*this, action);
    if (!self)
        return;
    if (modal_) {
        if (action == TCloseAction::None)
            return;
        if (modalResult_ == mrNone)
            modalResult_ = mrCancel;
    }
    switch (action) {
    case TCloseAction::None:
        return;
    case TCloseAction::Hide:
        if (!modal_)
            Hide();
        break;
    case TCloseAction::Minimize:
        if (handle_)
            ShowWindow(handle_, SW_MINIMIZE);
        break;
    case TCloseAction::Free:
        if (!modal_)
            Hide();
        Release();
        break;
    }
    if (isMain)
        Application().Terminate();
}

TModalResult TForm::ShowModal()
{
    if (modal_ || !Handle())
        return mrCancel;
    const TComponentRef self = Ref();
    modal_ = true;
    modalResult_ = mrNone;
    TDisabledWindows disabled;
    disabled.modal = handle_;
    EnumThreadWindows(GetCurrentThreadId(), DisableThreadWindow,
                      reinterpret_cast<LPARAM>(&disabled));
    Show();
    if (handle_)
        SetForegroundWindow(handle_);
    TModalResult result = mrCancel;
    while (self && modalResult_ == mrNone && !Application().Terminated()) {
        MSG msg;
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // Left for the program's own loop.
            PostQuitMessage(got == 0 ? static_cast<int>(msg.wParam) : 0);
            break;
        }
        DispatchOneMessage(msg);
    }
    for (HWND wnd : disabled.windows)
        if (IsWindow(wnd))
            EnableWindow(wnd, TRUE);
    if (self) {
        result = modalResult_ == mrNone ? mrCancel : modalResult_;
        modal_ = false;
        Hide();
    }
    return result;
}

void TForm::WndProc(TMessage& msg)
{
    if (msg.Msg == WM_CLOSE) {
        Close();
        msg.Result = 0;
        return;
    }
    TCustomControl::WndProc(msg);
}

// ---------------------------------------------------------------------------
// TApplication

TApplication::TApplication() = default;

TApplication::~TApplication()
{
    mainForm_ = nullptr;
}

TApplication& Application()
{
    // Never destroyed: the forms it still owns go with the process, not with
    // the static objects that their windows would reach during destruction.
    static TApplication* application = new TApplication;
    return *application;
}

void TApplication::Initialize()
{
    if (initialized_)
        return;
    initialized_ = true;
    INITCOMMONCONTROLSEX init{};
    init.dwSize = sizeof(init);
    init.dwICC = ICC_STANDARD_CLASSES | ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&init);
    TDispatcher::Install();
    SetHintHandler(&RequestHint);
    if (!inspector_)
        inspector_ = StartInspectionIfAsked(this);
}

void TApplication::Notification(TComponent* component, TOperation operation)
{
    if (operation == TOperation::Remove) {
        if (component == mainForm_)
            mainForm_ = nullptr;
        if (component == inspector_)
            inspector_ = nullptr;
    }
}

void TApplication::Run()
{
    Initialize();
    if (mainForm_ && showMainForm_)
        mainForm_->Show();
    while (!terminated_) {
        MSG msg;
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        DispatchOneMessage(msg);
        TComponent::FreeReleased();
    }
    terminated_ = true;
    mainForm_ = nullptr;
    inspector_ = nullptr;
    DestroyComponents();
}

bool TApplication::ProcessMessages()
{
    const bool running = PumpMessages();
    TComponent::FreeReleased();
    return running;
}

void TApplication::HandleMessage()
{
    MSG msg;
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) {
        terminated_ = true;
        PostQuitMessage(got == 0 ? static_cast<int>(msg.wParam) : 0);
        return;
    }
    DispatchOneMessage(msg);
    TComponent::FreeReleased();
}

void TApplication::Terminate()
{
    if (terminated_)
        return;
    terminated_ = true;
    PostQuitMessage(0);
}

void TApplication::Minimize()
{
    if (mainForm_)
        if (HWND wnd = mainForm_->HandleIfAllocated())
            ShowWindow(wnd, SW_MINIMIZE);
}

void TApplication::Restore()
{
    if (mainForm_)
        if (HWND wnd = mainForm_->HandleIfAllocated())
            if (IsIconic(wnd))
                ShowWindow(wnd, SW_RESTORE);
}
