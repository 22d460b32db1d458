#pragma once
// Controls of the form library: the base control (bounds, alignment,
// visibility, font and colour with their parent links, cursor, hint, mouse
// events), windowless controls that paint on their parent, and windowed
// controls that own one Win32 window each.
//
// One window procedure serves every window of the library: it binds the
// object at WM_NCCREATE (the object's address travels in lpCreateParams;
// before that DefWindowProcW answers) and runs the object's hook chain and
// WndProc inside the guard. Windowed controls make their window on first
// need (a Handle request, showing a form, a parent whose window exists), never
// in a constructor, so the first messages reach the whole object.
//
// A windowed parent routes the mouse for its windowless children: hit test
// topmost first, capture from press to release, enter and leave as the
// control under the pointer changes (the parent told first), WM_SETCURSOR
// per control. Disabled windowless children get enter and leave only; their
// presses go to the parent itself.
//
// Lifetime: controls are components; the owner frees them (last made first).
// A control that dies leaves its parent (which forgets it as hot or pressed
// control) and frees the children it still has. Everything belongs to the GUI
// thread.

#include "controls/KvComponents.h"
#include "controls/KvGraphics.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TWinControl;
class TControl;
class TSkinBitmapList;

// ---------------------------------------------------------------------------
// Small types

enum class TAlign : uint8_t { None, Top, Bottom, Left, Right, Client };
enum class TAlignment : uint8_t { Left, Right, Center };
enum class TMouseButton : uint8_t { Left, Right, Middle };

// Cursor numbers; 0 takes the parent's (finally the class's) cursor.
using TCursor = int;
inline constexpr TCursor crDefault = 0;
inline constexpr TCursor crArrow = -2;
inline constexpr TCursor crCross = -3;
inline constexpr TCursor crIBeam = -4;
inline constexpr TCursor crSizeNS = -7;
inline constexpr TCursor crSizeWE = -9;
inline constexpr TCursor crHourGlass = -11;
inline constexpr TCursor crNo = -18;
inline constexpr TCursor crHandPoint = -21;
inline constexpr TCursor crSizeAll = -22;
// The system cursor of a cursor number; null for crDefault or an unknown one.
HCURSOR CursorHandle(TCursor cursor);

using TShiftState = uint16_t;
enum : TShiftState {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32,
    ssDouble = 64,
};
// From the MK_ flags of a mouse message.
TShiftState ShiftFromKeys(WPARAM keys);

// A three-way setting of a creation aggregate: keep the class's default or
// set it off or on.
enum class TFlag : int8_t { Default = -1, Off = 0, On = 1 };

// One message as hooks and handlers see it; Result is the answer.
struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

using TNotifyEvent = std::function<void(TComponent& Sender)>;
using TMouseEvent =
    std::function<void(TControl& Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TControl& Sender, TShiftState Shift, int X, int Y)>;
// A virtual-key code with the shift keys held.
using TKeyEvent = std::function<void(TControl& Sender, WORD Key, TShiftState Shift)>;

// A chain of handlers around a final action: the newest handler runs first
// and calls next to go on (or does not, to end the message there). Any one
// can be removed without cutting the others, also while the chain runs.
template <typename Arg> class THandlerChain {
public:
    using TNext = std::function<void(Arg)>;
    using THandler = std::function<void(Arg, const TNext& next)>;
    using TId = uint32_t;

    TId Add(THandler handler)
    {
        auto entry = std::make_shared<TEntry>();
        entry->id = ++lastId_;
        entry->handler = std::move(handler);
        entries_.insert(entries_.begin(), std::move(entry));
        return lastId_;
    }
    // False when no handler has that id.
    bool Remove(TId id)
    {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if ((*it)->id == id) {
                (*it)->removed = true;
                entries_.erase(it);
                return true;
            }
        }
        return false;
    }
    bool Empty() const { return entries_.empty(); }
    size_t Size() const { return entries_.size(); }
    void Run(Arg arg, const TNext& last) const
    {
        if (entries_.empty()) {
            last(arg);
            return;
        }
        const std::vector<std::shared_ptr<TEntry>> snapshot = entries_;
        RunFrom(snapshot, 0, arg, last);
    }

private:
    struct TEntry {
        TId id = 0;
        THandler handler;
        bool removed = false;
    };
    static void RunFrom(const std::vector<std::shared_ptr<TEntry>>& entries, size_t i, Arg arg,
                        const TNext& last)
    {
        while (i < entries.size() && entries[i]->removed)
            ++i;
        if (i == entries.size()) {
            last(arg);
            return;
        }
        // Held here: the handler may remove itself while it runs.
        const std::shared_ptr<TEntry> entry = entries[i];
        entry->handler(arg, [&entries, i, &last](Arg next) { RunFrom(entries, i + 1, next, last); });
    }
    std::vector<std::shared_ptr<TEntry>> entries_;
    TId lastId_ = 0;
};

using TWindowHookChain = THandlerChain<TMessage&>;
using TWindowHook = TWindowHookChain::THandler;
using TPaintChain = THandlerChain<TCanvas&>;
using TPaintHandler = TPaintChain::THandler;

// The Win32 calls of the mouse routing that tests replace; the defaults are
// the real calls. Set restores them with nullptr.
struct TFormLibCalls {
    decltype(&::TrackMouseEvent) trackMouseEvent = &::TrackMouseEvent;
    decltype(&::GetCursorPos) getCursorPos = &::GetCursorPos;
    decltype(&::SetCursor) setCursor = &::SetCursor;
};
void SetFormLibCalls(const TFormLibCalls* calls) noexcept;
const TFormLibCalls& FormLibCalls() noexcept;

// Where the mouse routing sends hints: the control now under the mouse whose
// hint is to show, or null when none is. The forms unit puts the
// application's hint window here.
using THintHandler = void (*)(TControl* control);
void SetHintHandler(THintHandler handler) noexcept;

// ---------------------------------------------------------------------------
// The creation aggregate

using TComponentFactory = TComponent* (*)(TComponent* owner);
template <typename T> TComponent* KvNew(TComponent* owner)
{
    return new T(owner);
}

struct TFontSpec {
    const wchar_t* name = nullptr; // null: the parent's
    int height = 0;                // 0: the parent's
    TFontStyles style = 0;         // with styleSet
    bool styleSet = false;
    TColor color = clDefault;      // clDefault: the parent's
    bool Given() const { return name || height || styleSet || color != clDefault; }
};

// Everything a window's layout table or a run-time creation can say about a
// control. Each class takes the fields it knows (ApplySpec); unset fields
// keep the class's defaults. Tables fill kind and parentName; run-time
// creation fills owner and parent.
struct TControlSpec {
    TComponentFactory kind = nullptr;
    TComponent* owner = nullptr;
    TWinControl* parent = nullptr;
    const wchar_t* name = L"";
    const wchar_t* parentName = L""; // an earlier row's control; "" is the window itself
    int left = 0;
    int top = 0;
    int width = -1; // -1: the class's default size
    int height = -1;
    const wchar_t* caption = nullptr;
    const wchar_t* hint = nullptr;
    // Skin images (NAME, NAME_HOT, NAME_DOWN, NAME_INACTIVE, the disabled hot one).
    const wchar_t* image = nullptr;
    const wchar_t* imageHot = nullptr;
    const wchar_t* imageDown = nullptr;
    const wchar_t* imageDisabled = nullptr;
    const wchar_t* imageDisabledHot = nullptr;
    // The icon of a button with an icon, in the same states.
    const wchar_t* icon = nullptr;
    const wchar_t* iconHot = nullptr;
    const wchar_t* iconDown = nullptr;
    const wchar_t* iconDisabled = nullptr;
    const wchar_t* iconDisabledHot = nullptr;
    const wchar_t* underCaption = nullptr;
    TFontSpec font{};
    TFontSpec underCaptionFont{};
    TColor color = clDefault;
    int tag = 0;
    TAlign align = TAlign::None;
    TAlignment alignment = TAlignment::Left;
    bool alignmentSet = false;
    TCursor cursor = crDefault;
    TFlag visible = TFlag::Default;
    TFlag enabled = TFlag::Default;
    TFlag transparent = TFlag::Default;
    TFlag wordWrap = TFlag::Default;
    TFlag autoSize = TFlag::Default;
    TFlag stretched = TFlag::Default;
    TFlag showAccelChar = TFlag::Default;
    TFlag parentBackground = TFlag::Default;
    TFlag checked = TFlag::Default;
    TFlag showHint = TFlag::Default;
    TFlag iconRight = TFlag::Default;
    int iconTextSpace = -1;
    // Margins of a skinned button's caption area (left, top, right, bottom).
    RECT edgeMargins{};
    bool edgeMarginsSet = false;
    // A skinned button's caption shadow and disabled text colour (clDefault:
    // the class's), the one-pixel push and direct text output.
    TColor captionBorder = clDefault;
    TColor disabledFontColor = clDefault;
    TFlag pushCaption = TFlag::Default;
    TFlag textTransparent = TFlag::Default;
};

// What a layout's builder hands every control besides its row.
struct TLayoutContext {
    TSkinBitmapList* images = nullptr;
};

// ---------------------------------------------------------------------------
// TControl

class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner = nullptr);
    ~TControl() override;

    TWinControl* Parent() const { return parent_; }
    // Moves the control to another parent (null takes it off), keeping its
    // events, bounds and state.
    virtual void SetParent(TWinControl* parent);

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    RECT BoundsRect() const { return RECT{left_, top_, left_ + width_, top_ + height_}; }
    // Negative sizes count as 0. Resize runs after every change.
    virtual void SetBounds(int left, int top, int width, int height);
    void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
    void SetTop(int v) { SetBounds(left_, v, width_, height_); }
    void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
    void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
    virtual int ClientWidth() const { return width_; }
    virtual int ClientHeight() const { return height_; }
    RECT ClientRect() const { return RECT{0, 0, ClientWidth(), ClientHeight()}; }
    virtual void SetClientSize(int width, int height);
    // Client coordinates of this control (windowless: its bounds' corner in
    // the parent) to screen coordinates and back.
    POINT ClientToScreen(POINT p) const;
    POINT ScreenToClient(POINT p) const;

    bool Visible() const { return visible_; }
    virtual void SetVisible(bool visible);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    // Visible with every parent up to a window that is shown.
    bool Showing() const;
    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool enabled);

    TAlign Align() const { return align_; }
    void SetAlign(TAlign align);
    TCursor Cursor() const { return cursor_; }
    void SetCursor(TCursor cursor);

    TColor Color() const { return color_; }
    void SetColor(TColor color);
    bool ParentColor() const { return parentColor_; }
    void SetParentColor(bool on);
    TFont& Font() { return font_; }
    const TFont& Font() const { return font_; }
    bool ParentFont() const { return parentFont_; }
    void SetParentFont(bool on);
    // With ShowHint, the hint pops up under the control a moment after the
    // mouse entered it, until it leaves or presses.
    const std::wstring& Hint() const { return hint_; }
    void SetHint(const std::wstring& hint) { hint_ = hint; }
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool on) { showHint_ = on; }

    const std::wstring& Caption() const { return caption_; }
    virtual void SetCaption(const std::wstring& caption);

    // Z-order among the parent's children.
    void BringToFront();
    void SendToBack();

    // Repaints the control's area (a windowless control: the parent's
    // rectangle under it, so that a transparent one shows what lies below).
    virtual void Invalidate();
    // Invalidate and paint at once.
    void Repaint();

    // Mouse over the control (between its enter and leave).
    bool MouseInside() const { return mouseInside_; }
    // A windowless control has no window of its own.
    virtual bool IsWindowless() const { return true; }

    // Takes the fields of a creation aggregate this class knows.
    virtual void ApplySpec(const TControlSpec& spec, const TLayoutContext& context);
    // A named property as text for the inspection ("Caption", "Visible",
    // "Enabled", "Bounds"; subclasses add theirs). False when unknown.
    virtual bool InspectProperty(const std::wstring& name, std::wstring& value) const;

    // What a click does; runs OnClick. Windowless controls and custom
    // controls get it from the mouse (left press and release inside), native
    // buttons from their notification.
    virtual void Click();

    TNotifyEvent OnClick;
    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;
    TNotifyEvent OnMouseEnter;
    TNotifyEvent OnMouseLeave;
    TNotifyEvent OnResize;

    // The routing's entries (the parent calls them; tests may too). Each
    // runs the control's own handling and then its event.
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseMove(TShiftState shift, int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseEnter();
    virtual void MouseLeave();

protected:
    friend class TWinControl;
    // After every change of the bounds; runs OnResize.
    virtual void Resize();
    virtual void FontChanged() { Invalidate(); }
    virtual void ColorChanged() { Invalidate(); }
    virtual void EnabledChanged() { Invalidate(); }
    virtual void VisibleChanged() {}
    virtual void CaptionChanged() { Invalidate(); }
    // The parent changed (or got its window).
    virtual void ParentChanged() {}
    // Sets the fields without telling anyone: the windowed control's
    // window told a change.
    void StoreBounds(int left, int top, int width, int height);
    // Font and colour from the parent while the parent links are on.
    void TakeParentFont();
    void TakeParentColor();
    void MoveInZOrder(bool toFront);

    int left_ = 0;
    int top_ = 0;
    int width_ = 0;
    int height_ = 0;
    TWinControl* parent_ = nullptr;
    bool visible_ = true;
    bool enabled_ = true;
    bool mouseInside_ = false;
    std::wstring caption_;

private:
    TAlign align_ = TAlign::None;
    TCursor cursor_ = crDefault;
    TColor color_ = clBtnFace;
    bool parentColor_ = false;
    TFont font_;
    bool parentFont_ = true;
    bool takingParentFont_ = false;
    std::wstring hint_;
    bool showHint_ = false;
};

// ---------------------------------------------------------------------------
// Windowless controls

// The canvas of a control. A windowless one's: during the parent's paint
// the paint's context, outside it the parent window's context; both with the
// origin at the control's corner, clipped to its bounds, with the control's
// font and colour. A windowed one's: its paint's context, outside the paint
// its window's. A context taken outside a paint is given back when the
// current message is done.
class TControlCanvas : public TCanvas {
public:
    explicit TControlCanvas(TControl& control) : control_(control) {}
    ~TControlCanvas() override;
    // Gives back a context taken outside the paint.
    void FreeHandle();

protected:
    void CreateHandle() override;

private:
    TControl& control_;
    HDC ownDc_ = nullptr;
    HWND ownWindow_ = nullptr;
    int saved_ = 0;
};

class TGraphicControl : public TControl {
public:
    explicit TGraphicControl(TComponent* owner = nullptr);
    ~TGraphicControl() override;

    TCanvas& Canvas() { return canvas_; }
    // An opaque control paints all of its bounds; a transparent one shows the
    // parent and lower siblings where it does not paint.
    bool Opaque() const { return opaque_; }
    void SetOpaque(bool on);
    // Paints the parent's background and the siblings below this control
    // into rect (this control's coordinates) on Canvas: what lies under a
    // transparent control, before it draws a part of itself again.
    void PaintBackground(const RECT& rect);

    std::function<void(TGraphicControl& Sender)> OnPaint;

    // The parent's paint calls it with Canvas on the paint's context.
    virtual void Paint();

protected:
    friend class TWinControl;
    TControlCanvas canvas_;
    bool opaque_ = false;
};

// ---------------------------------------------------------------------------
// Windowed controls

// The library's one window procedure (every window class of the library).
LRESULT CALLBACK KvWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

struct TCreateParams {
    std::wstring className;
    // The system class the window class is made from (its procedure answers
    // what ours leaves), or null for a class of our own.
    const wchar_t* baseClass = nullptr;
    // A class of our own: its style. A system class's copy: the bits taken
    // from the system class's style.
    UINT classStyle = 0;
    UINT classStyleClear = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    HWND parent = nullptr;
    std::wstring caption;
};

class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* owner = nullptr);
    // Destroys the window and frees the children it still has.
    ~TWinControl() override;

    // The window, made (with the parents' windows) when it does not exist;
    // null when it cannot be made.
    HWND Handle();
    HWND HandleIfAllocated() const { return handle_; }
    bool HandleAllocated() const { return handle_ != nullptr; }
    void HandleNeeded() { Handle(); }
    bool IsWindowless() const override { return false; }

    // Children in z-order, the lowest first.
    const std::vector<TControl*>& Controls() const { return controls_; }
    int ControlCount() const { return static_cast<int>(controls_.size()); }
    // The topmost visible windowless child at a point of the client area
    // (right and bottom edges excluded); disabled ones only when asked.
    TControl* ControlAtPos(POINT p, bool allowDisabled) const;
    // The windowless child under the mouse and the one pressed (or null).
    TControl* HotControl() const { return hot_; }
    TControl* PressedControl() const { return pressed_; }

    // Hooks around the window procedure (the newest first; each handles the
    // message or passes it on).
    TWindowHookChain::TId AddWindowHook(TWindowHook hook) { return hooks_.Add(std::move(hook)); }
    bool RemoveWindowHook(TWindowHookChain::TId id) { return hooks_.Remove(id); }
    // A message through the hooks and WndProc, with or without a window.
    LRESULT Perform(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

    void SetBounds(int left, int top, int width, int height) override;
    int ClientWidth() const override;
    int ClientHeight() const override;
    void SetVisible(bool visible) override;
    void SetEnabled(bool enabled) override;
    void Invalidate() override;
    // Paints now what is invalid.
    void Update();
    void SetFocus();
    bool Focused() const;

    // Lays out the aligned children (top, bottom, left, right, then client,
    // each kind in z-order) in the client area.
    void Realign();
    // Paints the background (and the parent's, with ParentBackground), the
    // control's own painting and its windowless children into dc, whose
    // coordinates are this control's client coordinates, within area; the
    // windowless children from upTo on are left out (null: all are painted).
    void PaintRegion(HDC dc, const RECT& area, const TControl* upTo);
    // This control and its windowed children as they would paint, into dc
    // at (x, y): for screenshots and tests of the drawing.
    void PaintTo(HDC dc, int x, int y);

    // Paint with an off-screen buffer (custom controls).
    bool DoubleBuffered() const { return doubleBuffered_; }
    void SetDoubleBuffered(bool on) { doubleBuffered_ = on; }
    // The background is the parent's drawing rather than the own colour.
    bool ParentBackground() const { return parentBackground_; }
    void SetParentBackground(bool on);

    void ApplySpec(const TControlSpec& spec, const TLayoutContext& context) override;
    void SetCaption(const std::wstring& caption) override;

    // Keys pressed and released while the window has the focus (before the
    // window's own handling of them).
    TKeyEvent OnKeyDown;
    TKeyEvent OnKeyUp;

    // Tells the parent that a child (windowless or windowed) was entered or
    // left by the mouse, before the child's own event.
    std::function<void(TWinControl& Sender, TControl& Child)> OnChildMouseEnter;
    std::function<void(TWinControl& Sender, TControl& Child)> OnChildMouseLeave;

    // The window class and styles; subclasses add theirs.
    virtual void CreateParams(TCreateParams& params);

protected:
    friend class TControl;
    friend LRESULT CALLBACK KvWindowProc(HWND, UINT, WPARAM, LPARAM);

    // The control's own handling of a message, after the hooks; what it
    // leaves goes to DefaultHandler.
    virtual void WndProc(TMessage& msg);
    // The class's procedure (a system class's) or DefWindowProcW.
    void DefaultHandler(TMessage& msg);
    // A control that paints itself (custom controls and forms): WM_PAINT
    // and WM_ERASEBKGND are handled here, the background in Color.
    virtual bool PaintsItself() const { return false; }
    // Its own painting between background and windowless children.
    virtual void PaintWindow(TCanvas& canvas);
    // Mouse presses of the window itself make clicks (custom controls); a
    // native control gets its clicks from its notification instead.
    virtual bool ClicksFromMouse() const { return false; }
    // Notifications the parent hands to the child that sent them: true
    // when handled, with the answer in result.
    virtual bool HandleCommand(WORD code, LRESULT& result);
    virtual bool HandleNotify(NMHDR& header, LRESULT& result);
    virtual bool HandleCtlColor(HDC dc, LRESULT& result);
    // The window was made: children's windows follow.
    virtual void CreateWnd();
    virtual void DestroyWnd();
    virtual void HandleCreated() {}
    void FontChanged() override;
    void EnabledChanged() override;
    void ColorChanged() override;

    // The windowed child whose window it is (one of this library's), or null.
    static TWinControl* FromHandle(HWND wnd);
    void InsertControl(TControl* control);
    void RemoveControl(TControl* control);
    // The parent was told its child changed bounds or visibility.
    void ChildChanged(TControl* control);
    // Bounds as the window has them now.
    void UpdateBoundsFromWindow();

    HWND handle_ = nullptr;
    std::vector<TControl*> controls_;

private:
    void Dispatch(TMessage& msg);
    void RouteMouse(TMessage& msg, TMouseButton button, bool down, bool up);
    void SetHot(TControl* control);
    void OwnMouseEnter();
    void OwnMouseLeave();
    bool SetCursorFor(TMessage& msg);
    void PaintMessage(TMessage& msg);
    void PaintControls(HDC dc, const RECT& area, const TControl* upTo);
    void NotifyChildEnter(TControl& child);
    void NotifyChildLeave(TControl& child);
    void ShowWindowState();

    TWindowHookChain hooks_;
    WNDPROC baseProc_ = nullptr;
    TControl* hot_ = nullptr;
    TControl* pressed_ = nullptr;
    TMouseButton pressedButton_ = TMouseButton::Left;
    bool selfPressed_ = false;
    TMouseButton selfPressedButton_ = TMouseButton::Left;
    bool trackingLeave_ = false;
    bool aligning_ = false;
    bool doubleBuffered_ = false;
    bool parentBackground_ = false;
    bool creating_ = false;
    TBrush ctlBrush_;
};

// A windowed control that paints itself on a canvas: the background in
// Color, then the paint chain (newest handler first, each may call the one
// before; the last runs Paint and OnPaint), then the windowless children.
class TCustomControl : public TWinControl {
public:
    explicit TCustomControl(TComponent* owner = nullptr);
    ~TCustomControl() override;

    TCanvas& Canvas() { return canvas_; }
    TPaintChain::TId AddPaintHandler(TPaintHandler handler) { return paint_.Add(std::move(handler)); }
    bool RemovePaintHandler(TPaintChain::TId id) { return paint_.Remove(id); }

    std::function<void(TCustomControl& Sender)> OnPaint;

protected:
    bool PaintsItself() const override { return true; }
    bool ClicksFromMouse() const override { return true; }
    void PaintWindow(TCanvas& canvas) override;
    // The control's own drawing; runs OnPaint.
    virtual void Paint();

    TControlCanvas canvas_;
    TPaintChain paint_;
};

// Gives back every context that controls' canvases took outside a paint;
// the window procedure calls it when a message is done.
void ReleaseControlCanvases();

// A control made at run time from its creation aggregate: owner, parent, then
// the fields the class knows.
template <typename T> T* CreateControl(const TControlSpec& spec, const TLayoutContext& context = {})
{
    auto* control = new T(spec.owner);
    if (spec.parent)
        control->SetParent(spec.parent);
    control->ApplySpec(spec, context);
    return control;
}
