#include "controls/AeroGlassU.h"

#include "platform/BindingU.h"

#include <atomic>

namespace {

std::atomic<int> gBinds{0};
const TDwmCalls* gTestCalls = nullptr;

// Windows NT 5 or later, as the system says of itself (the glass asks on its
// own: the version unit is not part of the controls).
bool NtFiveOrLater()
{
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info))
        return false;
#pragma GCC diagnostic pop
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 5;
}

const TDwmCalls& RealCalls()
{
    // Bound once per process; the library comes from the system folder by its
    // full path, never from the search path (the program runs elevated, and
    // the folder it starts in may be anyone's).
    static const TDwmCalls calls = [] {
        TDwmCalls c;
        if (!NtFiveOrLater())
            return c;
        ++gBinds;
        static TSystemLibrary dwmapi("dwmapi.dll");
        if (!dwmapi.Handle())
            return c;
        c.libraryLoaded = true;
        static TBoundProc<decltype(&::DwmDefWindowProc)> defWindowProc{dwmapi, "DwmDefWindowProc"};
        static TBoundProc<decltype(&::DwmIsCompositionEnabled)> isCompositionEnabled{
            dwmapi, "DwmIsCompositionEnabled"};
        static TBoundProc<decltype(&::DwmExtendFrameIntoClientArea)> extendFrame{
            dwmapi, "DwmExtendFrameIntoClientArea"};
        static TBoundProc<decltype(&::DwmEnableBlurBehindWindow)> enableBlur{
            dwmapi, "DwmEnableBlurBehindWindow"};
        static TBoundProc<decltype(&::SetLayeredWindowAttributes)> setLayered{
            User32Library(), "SetLayeredWindowAttributes"};
        c.defWindowProc = defWindowProc.Get();
        c.isCompositionEnabled = isCompositionEnabled.Get();
        c.extendFrameIntoClientArea = extendFrame.Get();
        c.enableBlurBehindWindow = enableBlur.Get();
        c.setLayeredWindowAttributes = setLayered.Get();
        return c;
    }();
    return calls;
}

bool CompositionOn(const TDwmCalls& calls)
{
    if (!calls.libraryLoaded || !calls.isCompositionEnabled || !calls.extendFrameIntoClientArea)
        return false;
    BOOL on = FALSE;
    return SUCCEEDED(calls.isCompositionEnabled(&on)) && on;
}

} // namespace

const TDwmCalls& DwmCalls()
{
    return gTestCalls ? *gTestCalls : RealCalls();
}

void SetDwmCallsForTests(const TDwmCalls* calls) noexcept
{
    gTestCalls = calls;
}

int DwmBindCount() noexcept
{
    return gBinds;
}

TAeroGlass::TAeroGlass(TForm& form) : form_(form), formRef_(form.Ref())
{
    if (HWND wnd = form.Handle())
        savedExStyle_ = GetWindowLongW(wnd, GWL_EXSTYLE);
    DwmCalls();
}

TAeroGlass::~TAeroGlass()
{
    // Only the glass's own painter and hook go: handlers chained after it stay.
    if (active_ && formRef_) {
        form_.RemovePaintHandler(painter_);
        form_.RemoveWindowHook(hook_);
    }
}

bool TAeroGlass::IsCompositionEnabled()
{
    return CompositionOn(DwmCalls());
}

HWND TAeroGlass::Window() const
{
    return formRef_ ? form_.HandleIfAllocated() : nullptr;
}

void TAeroGlass::ExtendFrame(int left, int top, int bottom, int right)
{
    const TDwmCalls& calls = DwmCalls();
    HWND wnd = Window();
    if (!wnd || !CompositionOn(calls))
        return;
    MARGINS margins{};
    margins.cxLeftWidth = left;
    margins.cxRightWidth = right;
    margins.cyTopHeight = top;
    margins.cyBottomHeight = bottom;
    calls.extendFrameIntoClientArea(wnd, &margins);
}

void TAeroGlass::ExtendWithMargins()
{
    if (sheet_)
        ExtendFrame(-1, -1, -1, -1);
    else
        ExtendFrame(left_, top_, bottom_, right_);
}

void TAeroGlass::ApplyColorKey(TColor color)
{
    const TDwmCalls& calls = DwmCalls();
    HWND wnd = Window();
    if (!wnd)
        return;
    BOOL on = FALSE;
    if (calls.libraryLoaded && calls.isCompositionEnabled && calls.setLayeredWindowAttributes &&
        SUCCEEDED(calls.isCompositionEnabled(&on)) && on) {
        SetWindowLongW(wnd, GWL_EXSTYLE, savedExStyle_ | WS_EX_LAYERED);
        calls.setLayeredWindowAttributes(wnd, ColorToRGB(color), 0, LWA_COLORKEY);
        return;
    }
    SetWindowLongW(wnd, GWL_EXSTYLE, savedExStyle_);
}

void TAeroGlass::ApplyBlur()
{
    const TDwmCalls& calls = DwmCalls();
    HWND wnd = Window();
    if (!wnd || !calls.libraryLoaded || !calls.isCompositionEnabled || !calls.enableBlurBehindWindow)
        return;
    DWM_BLURBEHIND blur{};
    if (blur_) {
        blur.dwFlags = DWM_BB_ENABLE;
        // Every bit set, as the system's own callers have it.
        blur.fEnable = static_cast<BOOL>(-1);
    }
    calls.enableBlurBehindWindow(wnd, &blur);
}

void TAeroGlass::Redraw()
{
    if (HWND wnd = Window())
        RedrawWindow(wnd, nullptr, nullptr, kGlassRedrawFlags);
}

void TAeroGlass::SetMargin(int& margin, int value)
{
    margin = std::max(value, 0);
    if (active_ && !sheet_) {
        ExtendWithMargins();
        Redraw();
    }
}

void TAeroGlass::SetGlassLeft(int value)
{
    SetMargin(left_, value);
}

void TAeroGlass::SetGlassTop(int value)
{
    SetMargin(top_, value);
}

void TAeroGlass::SetGlassRight(int value)
{
    SetMargin(right_, value);
}

void TAeroGlass::SetGlassBottom(int value)
{
    SetMargin(bottom_, value);
}

void TAeroGlass::SetSheetOfGlass(bool on)
{
    sheet_ = on;
    if (active_) {
        ExtendWithMargins();
        Redraw();
    }
}

void TAeroGlass::SetBlurBehind(bool on)
{
    blur_ = on;
    ApplyBlur();
}

void TAeroGlass::Activate()
{
    if (active_ || !formRef_)
        return;
    if (HWND wnd = form_.Handle())
        savedExStyle_ = GetWindowLongW(wnd, GWL_EXSTYLE);
    painter_ = form_.AddPaintHandler(
        [this](TCanvas& canvas, const TPaintChain::TNext& next) { Paint(canvas, next); });
    hook_ = form_.AddWindowHook(
        [this](TMessage& msg, const TWindowHookChain::TNext& next) { Hook(msg, next); });
    active_ = true;
    ExtendWithMargins();
    ApplyColorKey(colorKey_);
    if (blur_)
        ApplyBlur();
    Redraw();
}

void TAeroGlass::Paint(TCanvas& canvas, const TPaintChain::TNext& next)
{
    if (active_ && CompositionOn(DwmCalls()) &&
        (sheet_ || left_ > 0 || top_ > 0 || right_ > 0 || bottom_ > 0)) {
        TBrush brush;
        brush.Assign(canvas.Brush());
        TPen pen;
        pen.Assign(canvas.Pen());
        canvas.Brush().SetColor(colorKey_);
        canvas.Brush().SetStyle(TBrushStyle::Solid);
        canvas.Pen().SetColor(colorKey_);
        canvas.Pen().SetStyle(TPenStyle::Solid);
        const int w = form_.ClientWidth(), h = form_.ClientHeight();
        if (sheet_) {
            canvas.Rectangle(RECT{0, 0, w, h});
        } else {
            if (left_ > 0)
                canvas.Rectangle(RECT{0, 0, left_, h});
            if (top_ > 0)
                canvas.Rectangle(RECT{0, 0, w, top_});
            if (right_ > 0)
                canvas.Rectangle(RECT{w - right_, 0, w, h});
            if (bottom_ > 0)
                canvas.Rectangle(RECT{0, h - bottom_, w, h});
        }
        canvas.Brush().Assign(brush);
        canvas.Pen().Assign(pen);
    }
    next(canvas);
}

void TAeroGlass::Hook(TMessage& msg, const TWindowHookChain::TNext& next)
{
    const TDwmCalls& calls = DwmCalls();
    bool handled = false;
    if (active_ && calls.defWindowProc) {
        LRESULT result = 0;
        if (HWND wnd = Window(); wnd && calls.defWindowProc(wnd, msg.Msg, msg.WParam, msg.LParam, &result)) {
            msg.Result = result;
            handled = true;
        }
    }
    if (!handled)
        next(msg);
    if (active_ && (msg.Msg == WM_THEMECHANGED || msg.Msg == WM_DWMCOMPOSITIONCHANGED ||
                    msg.Msg == WM_DWMNCRENDERINGCHANGED)) {
        if (HWND wnd = Window())
            SetWindowLongW(wnd, GWL_EXSTYLE, savedExStyle_);
        ApplyColorKey(colorKey_);
        if (blur_)
            ApplyBlur();
        ExtendFrame(0, 0, 0, 0);
        ExtendWithMargins();
        Redraw();
    }
}
