#pragma once
// The glass frame: with desktop composition on, a form's frame is extended
// into its client area by four margins (or over all of it), the glass areas
// are painted in a colour key so that they show through, blur behind the
// window may be on, and all of it is applied again when the theme or the
// composition changes.
//
// Everything it calls in the Desktop Window Manager is bound at run time
// (dwmapi.dll by full path from the system folder, once per process, and
// only on Windows NT 5 or later as GetVersionExW tells), so the program runs
// unchanged where any of it is missing.

#include "controls/KvControls.h"
#include "controls/KvForms.h"

#include <windows.h>
// For the types of the calls only: nothing of dwmapi is imported.
#include <dwmapi.h>

#include <cstdint>

// The five calls of the glass; any may be null.
struct TDwmCalls {
    decltype(&::DwmDefWindowProc) defWindowProc = nullptr;
    decltype(&::DwmIsCompositionEnabled) isCompositionEnabled = nullptr;
    decltype(&::DwmExtendFrameIntoClientArea) extendFrameIntoClientArea = nullptr;
    decltype(&::DwmEnableBlurBehindWindow) enableBlurBehindWindow = nullptr;
    decltype(&::SetLayeredWindowAttributes) setLayeredWindowAttributes = nullptr;
    // True when the library itself is there (its entries may still be missing).
    bool libraryLoaded = false;
};

// The process-wide table, bound at its first use.
const TDwmCalls& DwmCalls();
// Test seam: a table in place of the real one (null puts the real one back).
void SetDwmCallsForTests(const TDwmCalls* calls) noexcept;
// How many times the real table was bound (once per process at most).
int DwmBindCount() noexcept;

inline constexpr TColor kGlassColorKey = 0x00DCDBDA;
// RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME.
inline constexpr UINT kGlassRedrawFlags = 1157;

// One form's glass (a plain object the form's owner keeps; the form must
// outlive it). Activate chains a painter into the form's paint handlers and a
// hook into its window procedure; the destructor takes out just those two.
class TAeroGlass {
public:
    explicit TAeroGlass(TForm& form);
    ~TAeroGlass();
    TAeroGlass(const TAeroGlass&) = delete;
    TAeroGlass& operator=(const TAeroGlass&) = delete;

    // The library and both composition entries exist and composition is on.
    static bool IsCompositionEnabled();

    void Activate();
    bool Active() const { return active_; }

    int GlassLeft() const { return left_; }
    int GlassTop() const { return top_; }
    int GlassRight() const { return right_; }
    int GlassBottom() const { return bottom_; }
    // A negative value is stored as 0; active and not a sheet: extended and
    // redrawn at once.
    void SetGlassLeft(int value);
    void SetGlassTop(int value);
    void SetGlassRight(int value);
    void SetGlassBottom(int value);
    bool SheetOfGlass() const { return sheet_; }
    void SetSheetOfGlass(bool on);
    // Set at once, also before Activate, where the entries exist.
    bool BlurBehind() const { return blur_; }
    void SetBlurBehind(bool on);
    TColor ColorKey() const { return colorKey_; }
    void SetColorKey(TColor color) { colorKey_ = color; }
    LONG SavedExStyle() const { return savedExStyle_; }

private:
    HWND Window() const;
    // Note the order of the arguments: left, top, bottom, right.
    void ExtendFrame(int left, int top, int bottom, int right);
    void ExtendWithMargins();
    // A negative value stored as 0, then extended when active and no sheet.
    void SetMargin(int& margin, int value);
    void ApplyColorKey(TColor color);
    void ApplyBlur();
    void Redraw();
    void Paint(TCanvas& canvas, const TPaintChain::TNext& next);
    void Hook(TMessage& msg, const TWindowHookChain::TNext& next);

    TForm& form_;
    TComponentRef formRef_;
    bool active_ = false;
    LONG savedExStyle_ = 0;
    bool blur_ = false;
    TColor colorKey_ = kGlassColorKey;
    int left_ = 0;
    int top_ = 32;
    int right_ = 0;
    int bottom_ = 0;
    bool sheet_ = false;
    TPaintChain::TId painter_ = 0;
    TWindowHookChain::TId hook_ = 0;
};
