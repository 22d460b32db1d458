#include "controls/KvControls.h"

#include "platform/GuardU.h"

#include <windowsx.h>

#include <algorithm>
#include <map>

namespace {

const TFormLibCalls kRealCalls{};
const TFormLibCalls* gCalls = &kRealCalls;

// Nesting of the window procedure: contexts taken outside a paint are given
// back, and released components freed, when the outermost message is done.
int gDispatchDepth = 0;

std::vector<TControlCanvas*>& CanvasesHoldingDc()
{
    static std::vector<TControlCanvas*> canvases;
    return canvases;
}

struct TCursorEntry {
    TCursor cursor;
    const wchar_t* id;
};
const TCursorEntry kCursors[] = {
    {crArrow, IDC_ARROW},   {crCross, IDC_CROSS},   {crIBeam, IDC_IBEAM},
    {crSizeNS, IDC_SIZENS}, {crSizeWE, IDC_SIZEWE}, {crHourGlass, IDC_WAIT},
    {crNo, IDC_NO},         {crHandPoint, IDC_HAND}, {crSizeAll, IDC_SIZEALL},
};

// The window classes made so far and the system procedure behind each.
std::map<std::wstring, WNDPROC>& WindowClasses()
{
    static std::map<std::wstring, WNDPROC> classes;
    return classes;
}

bool EnsureWindowClass(const TCreateParams& params, WNDPROC& baseProc)
{
    auto& classes = WindowClasses();
    if (auto it = classes.find(params.className); it != classes.end()) {
        baseProc = it->second;
        return true;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    baseProc = nullptr;
    if (params.baseClass) {
        if (!GetClassInfoExW(nullptr, params.baseClass, &wc))
            return false;
        baseProc = wc.lpfnWndProc;
        wc.style &= ~(CS_GLOBALCLASS | params.classStyleClear);
    } else {
        wc.style = params.classStyle;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    }
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = KvWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = params.className.c_str();
    wc.hIconSm = nullptr;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    classes[params.className] = baseProc;
    return true;
}

RECT Offset(RECT r, int dx, int dy)
{
    OffsetRect(&r, dx, dy);
    return r;
}

} // namespace

HCURSOR CursorHandle(TCursor cursor)
{
    for (const TCursorEntry& e : kCursors)
        if (e.cursor == cursor)
            return LoadCursorW(nullptr, e.id);
    return nullptr;
}

TShiftState ShiftFromKeys(WPARAM keys)
{
    TShiftState shift = 0;
    if (keys & MK_SHIFT)
        shift |= ssShift;
    if (keys & MK_CONTROL)
        shift |= ssCtrl;
    if (keys & MK_LBUTTON)
        shift |= ssLeft;
    if (keys & MK_RBUTTON)
        shift |= ssRight;
    if (keys & MK_MBUTTON)
        shift |= ssMiddle;
    return shift;
}

void SetFormLibCalls(const TFormLibCalls* calls) noexcept
{
    gCalls = calls ? calls : &kRealCalls;
}

const TFormLibCalls& FormLibCalls() noexcept
{
    return *gCalls;
}

void ReleaseControlCanvases()
{
    auto& canvases = CanvasesHoldingDc();
    while (!canvases.empty())
        canvases.back()->FreeHandle();
}

// ---------------------------------------------------------------------------
// The window procedure

LRESULT CALLBACK KvWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<TWinControl*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    if (!self) {
        if (msg != WM_NCCREATE)
            return DefWindowProcW(wnd, msg, wParam, lParam);
        self = static_cast<TWinControl*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        if (!self)
            return DefWindowProcW(wnd, msg, wParam, lParam);
        SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->handle_ = wnd;
    }
    TMessage m{msg, wParam, lParam, 0};
    if (self->Destroying()) {
        // The object is going: only the class's own procedure still answers.
        self->DefaultHandler(m);
    } else {
        const TComponentRef alive = self->Ref();
        ++gDispatchDepth;
        Guard([&] { self->Dispatch(m); });
        --gDispatchDepth;
        if (!alive)
            self = nullptr;
    }
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
        if (self && self->handle_ == wnd)
            self->handle_ = nullptr;
    }
    if (gDispatchDepth == 0) {
        Guard([] {
            ReleaseControlCanvases();
            TComponent::FreeReleased();
        });
    }
    return m.Result;
}

// ---------------------------------------------------------------------------
// TControl

TControl::TControl(TComponent* owner) : TComponent(owner)
{
    font_.SetOnChange([this] {
        if (!takingParentFont_)
            parentFont_ = false;
        FontChanged();
    });
}

TControl::~TControl()
{
    if (parent_)
        parent_->RemoveControl(this);
    parent_ = nullptr;
}

void TControl::SetParent(TWinControl* parent)
{
    if (parent == parent_ || parent == this)
        return;
    if (parent_)
        parent_->RemoveControl(this);
    parent_ = parent;
    if (parent_) {
        parent_->InsertControl(this);
        TakeParentFont();
        TakeParentColor();
    }
    ParentChanged();
}

void TControl::StoreBounds(int left, int top, int width, int height)
{
    left_ = left;
    top_ = top;
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
}

void TControl::SetBounds(int left, int top, int width, int height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (left == left_ && top == top_ && width == width_ && height == height_)
        return;
    Invalidate();
    StoreBounds(left, top, width, height);
    Invalidate();
    Resize();
    if (parent_)
        parent_->ChildChanged(this);
}

void TControl::SetClientSize(int width, int height)
{
    SetBounds(left_, top_, width, height);
}

POINT TControl::ClientToScreen(POINT p) const
{
    if (!IsWindowless()) {
        if (HWND wnd = static_cast<const TWinControl*>(this)->HandleIfAllocated())
            ::ClientToScreen(wnd, &p);
        return p;
    }
    p.x += left_;
    p.y += top_;
    return parent_ ? parent_->ClientToScreen(p) : p;
}

POINT TControl::ScreenToClient(POINT p) const
{
    if (!IsWindowless()) {
        if (HWND wnd = static_cast<const TWinControl*>(this)->HandleIfAllocated())
            ::ScreenToClient(wnd, &p);
        return p;
    }
    if (parent_)
        p = parent_->ScreenToClient(p);
    p.x -= left_;
    p.y -= top_;
    return p;
}

void TControl::SetVisible(bool visible)
{
    if (visible == visible_)
        return;
    if (!visible)
        Invalidate();
    visible_ = visible;
    if (visible)
        Invalidate();
    VisibleChanged();
    if (parent_)
        parent_->ChildChanged(this);
}

bool TControl::Showing() const
{
    if (!visible_)
        return false;
    if (parent_)
        return parent_->Showing();
    if (!IsWindowless()) {
        HWND wnd = static_cast<const TWinControl*>(this)->HandleIfAllocated();
        return wnd && IsWindowVisible(wnd);
    }
    return false;
}

void TControl::SetEnabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    EnabledChanged();
}

void TControl::SetAlign(TAlign align)
{
    if (align == align_)
        return;
    align_ = align;
    if (parent_)
        parent_->Realign();
}

void TControl::SetCursor(TCursor cursor)
{
    if (cursor == cursor_)
        return;
    cursor_ = cursor;
    // Under the mouse the new cursor shows at once, not at the next move.
    if (!mouseInside_)
        return;
    HCURSOR handle = CursorHandle(cursor != crDefault ? cursor : parent_ ? parent_->Cursor() : crDefault);
    FormLibCalls().setCursor(handle ? handle : LoadCursorW(nullptr, IDC_ARROW));
}

void TControl::SetColor(TColor color)
{
    parentColor_ = false;
    if (color == color_)
        return;
    color_ = color;
    ColorChanged();
}

void TControl::SetParentColor(bool on)
{
    parentColor_ = on;
    TakeParentColor();
}

void TControl::TakeParentColor()
{
    if (!parentColor_ || !parent_ || parent_->color_ == color_)
        return;
    color_ = parent_->color_;
    ColorChanged();
}

void TControl::SetParentFont(bool on)
{
    parentFont_ = on;
    TakeParentFont();
}

void TControl::TakeParentFont()
{
    if (!parentFont_ || !parent_)
        return;
    takingParentFont_ = true;
    font_.Assign(parent_->font_);
    takingParentFont_ = false;
}

void TControl::SetCaption(const std::wstring& caption)
{
    if (caption == caption_)
        return;
    caption_ = caption;
    CaptionChanged();
}

void TControl::MoveInZOrder(bool toFront)
{
    if (!parent_)
        return;
    auto& list = parent_->controls_;
    std::erase(list, this);
    list.insert(toFront ? list.end() : list.begin(), this);
    if (!IsWindowless()) {
        if (HWND wnd = static_cast<TWinControl*>(this)->HandleIfAllocated())
            SetWindowPos(wnd, toFront ? HWND_TOP : HWND_BOTTOM, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    Invalidate();
}

void TControl::BringToFront()
{
    MoveInZOrder(true);
}

void TControl::SendToBack()
{
    MoveInZOrder(false);
}

void TControl::Invalidate()
{
    if (!parent_ || width_ <= 0 || height_ <= 0)
        return;
    if (HWND wnd = parent_->HandleIfAllocated()) {
        const RECT r = BoundsRect();
        InvalidateRect(wnd, &r, TRUE);
    }
}

void TControl::Repaint()
{
    Invalidate();
    if (TWinControl* window = IsWindowless() ? parent_ : static_cast<TWinControl*>(this))
        window->Update();
}

void TControl::Resize()
{
    if (OnResize)
        OnResize(*this);
}

void TControl::Click()
{
    if (OnClick)
        OnClick(*this);
}

void TControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (OnMouseDown)
        OnMouseDown(*this, button, shift, x, y);
}

void TControl::MouseMove(TShiftState shift, int x, int y)
{
    if (OnMouseMove)
        OnMouseMove(*this, shift, x, y);
}

void TControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    if (OnMouseUp)
        OnMouseUp(*this, button, shift, x, y);
}

void TControl::MouseEnter()
{
    if (OnMouseEnter)
        OnMouseEnter(*this);
}

void TControl::MouseLeave()
{
    if (OnMouseLeave)
        OnMouseLeave(*this);
}

void TControl::ApplySpec(const TControlSpec& spec, const TLayoutContext&)
{
    if (spec.name && *spec.name)
        SetName(spec.name);
    if (spec.tag)
        SetTag(spec.tag);
    if (spec.font.Given()) {
        TFont font;
        font.Assign(parent_ ? parent_->font_ : font_);
        if (spec.font.name)
            font.SetName(spec.font.name);
        if (spec.font.height)
            font.SetHeight(spec.font.height);
        if (spec.font.styleSet)
            font.SetStyle(spec.font.style);
        if (spec.font.color != clDefault)
            font.SetColor(spec.font.color);
        font_.Assign(font);
        parentFont_ = false;
    }
    if (spec.color != clDefault)
        SetColor(spec.color);
    if (spec.cursor != crDefault)
        SetCursor(spec.cursor);
    if (spec.hint)
        SetHint(spec.hint);
    if (spec.caption)
        SetCaption(spec.caption);
    if (spec.enabled != TFlag::Default)
        SetEnabled(spec.enabled == TFlag::On);
    if (spec.visible != TFlag::Default)
        SetVisible(spec.visible == TFlag::On);
    SetBounds(spec.left, spec.top, spec.width >= 0 ? spec.width : width_,
              spec.height >= 0 ? spec.height : height_);
    if (spec.align != TAlign::None)
        SetAlign(spec.align);
}

bool TControl::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"Caption") {
        value = caption_;
    } else if (name == L"Visible") {
        value = visible_ ? L"1" : L"0";
    } else if (name == L"Enabled") {
        value = enabled_ ? L"1" : L"0";
    } else if (name == L"Bounds") {
        value = std::to_wstring(left_) + L"," + std::to_wstring(top_) + L"," +
                std::to_wstring(width_) + L"," + std::to_wstring(height_);
    } else if (name == L"Handle") {
        const HWND wnd = IsWindowless() ? nullptr : static_cast<const TWinControl*>(this)->HandleIfAllocated();
        value = std::to_wstring(reinterpret_cast<uintptr_t>(wnd));
    } else {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// TControlCanvas and TGraphicControl

TControlCanvas::~TControlCanvas()
{
    FreeHandle();
}

void TControlCanvas::CreateHandle()
{
    HWND wnd = nullptr;
    if (!control_.IsWindowless()) {
        wnd = static_cast<TWinControl&>(control_).HandleIfAllocated();
    } else if (TWinControl* parent = control_.Parent()) {
        wnd = parent->HandleIfAllocated();
    }
    if (!wnd)
        return;
    HDC dc = GetDC(wnd);
    if (!dc)
        return;
    saved_ = SaveDC(dc);
    if (control_.IsWindowless()) {
        SetViewportOrgEx(dc, control_.Left(), control_.Top(), nullptr);
        IntersectClipRect(dc, 0, 0, control_.Width(), control_.Height());
    }
    ownDc_ = dc;
    ownWindow_ = wnd;
    Font().Assign(control_.Font());
    Brush().SetColor(control_.Color());
    Brush().SetStyle(TBrushStyle::Solid);
    SetHandle(dc);
    CanvasesHoldingDc().push_back(this);
}

void TControlCanvas::FreeHandle()
{
    if (!ownDc_)
        return;
    std::erase(CanvasesHoldingDc(), this);
    if (AttachedHandle() == ownDc_)
        SetHandle(nullptr);
    if (saved_)
        RestoreDC(ownDc_, saved_);
    ReleaseDC(ownWindow_, ownDc_);
    ownDc_ = nullptr;
    ownWindow_ = nullptr;
    saved_ = 0;
}

TGraphicControl::TGraphicControl(TComponent* owner) : TControl(owner), canvas_(*this) {}

TGraphicControl::~TGraphicControl()
{
    canvas_.FreeHandle();
}

void TGraphicControl::SetOpaque(bool on)
{
    if (on == opaque_)
        return;
    opaque_ = on;
    Invalidate();
}

void TGraphicControl::Paint()
{
    if (OnPaint)
        OnPaint(*this);
}

void TGraphicControl::PaintBackground(const RECT& rect)
{
    HDC dc = canvas_.Handle();
    if (!dc || !parent_)
        return;
    TDcStateGuard state(dc);
    // The context's coordinates are this control's; the parent paints in its own.
    OffsetViewportOrgEx(dc, -left_, -top_, nullptr);
    RECT area = Offset(rect, left_, top_);
    RECT bounds = BoundsRect();
    IntersectRect(&area, &area, &bounds);
    parent_->PaintRegion(dc, area, this);
}

// ---------------------------------------------------------------------------
// TWinControl

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl()
{
    // Owned components first, last made first; then the children that other
    // owners own, then the window.
    DestroyComponents();
    while (!controls_.empty()) {
        TControl* child = controls_.back();
        delete child;
        if (!controls_.empty() && controls_.back() == child)
            controls_.pop_back();
    }
    if (handle_)
        DestroyWindow(handle_);
    handle_ = nullptr;
}

TWinControl* TWinControl::FromHandle(HWND wnd)
{
    if (!wnd || reinterpret_cast<WNDPROC>(GetWindowLongPtrW(wnd, GWLP_WNDPROC)) != KvWindowProc)
        return nullptr;
    return reinterpret_cast<TWinControl*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
}

void TWinControl::CreateParams(TCreateParams& params)
{
    params.className = L"KvControl";
    params.style = WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    if (parent_) {
        params.style |= WS_CHILD;
        params.parent = parent_->handle_;
    }
    if (visible_)
        params.style |= WS_VISIBLE;
    if (!enabled_)
        params.style |= WS_DISABLED;
    params.x = left_;
    params.y = top_;
    params.width = width_;
    params.height = height_;
    params.caption = caption_;
}

HWND TWinControl::Handle()
{
    if (handle_ || creating_)
        return handle_;
    if (parent_) {
        // Making the parent's window makes its children's too.
        if (!parent_->Handle())
            return nullptr;
        if (handle_)
            return handle_;
    }
    CreateWnd();
    return handle_;
}

void TWinControl::CreateWnd()
{
    if (handle_ || Destroying())
        return;
    TCreateParams params;
    CreateParams(params);
    if ((params.style & WS_CHILD) && !params.parent)
        return;
    WNDPROC base = nullptr;
    if (!EnsureWindowClass(params, base))
        return;
    baseProc_ = base;
    creating_ = true;
    HWND wnd = CreateWindowExW(params.exStyle, params.className.c_str(), params.caption.c_str(),
                               params.style, params.x, params.y, params.width, params.height,
                               params.parent, nullptr, GetModuleHandleW(nullptr), this);
    creating_ = false;
    if (!wnd) {
        handle_ = nullptr;
        return;
    }
    handle_ = wnd;
    // A new child window goes below all its siblings; it is put just below
    // the next higher sibling of the children list (lowest first) that has a
    // window, so that both orders stay alike.
    if ((params.style & WS_CHILD) && parent_) {
        HWND above = HWND_TOP;
        const auto& siblings = parent_->controls_;
        auto it = std::find(siblings.begin(), siblings.end(), this);
        for (it = it == siblings.end() ? it : it + 1; it != siblings.end(); ++it) {
            if ((*it)->IsWindowless())
                continue;
            if (HWND h = static_cast<TWinControl*>(*it)->handle_) {
                above = h;
                break;
            }
        }
        SetWindowPos(wnd, above, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    if (!PaintsItself())
        SendMessageW(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(Font().Handle()), FALSE);
    HandleCreated();
    const std::vector<TControl*> children = controls_;
    for (TControl* child : children) {
        if (!child->IsWindowless())
            static_cast<TWinControl*>(child)->CreateWnd();
    }
    UpdateBoundsFromWindow();
    Realign();
}

void TWinControl::DestroyWnd()
{
    if (handle_)
        DestroyWindow(handle_);
    handle_ = nullptr;
}

void TWinControl::SetCaption(const std::wstring& caption)
{
    if (caption == caption_)
        return;
    caption_ = caption;
    if (handle_)
        SetWindowTextW(handle_, caption_.c_str());
    CaptionChanged();
}

void TWinControl::InsertControl(TControl* control)
{
    controls_.push_back(control);
    if (!control->IsWindowless()) {
        auto* win = static_cast<TWinControl*>(control);
        if (win->handle_ && handle_) {
            ::SetParent(win->handle_, handle_);
            SetWindowPos(win->handle_, HWND_TOP, win->left_, win->top_, win->width_, win->height_,
                         SWP_NOACTIVATE);
        } else if (win->handle_) {
            win->DestroyWnd();
        } else if (handle_) {
            win->CreateWnd();
        }
    }
    control->Invalidate();
    if (control->Align() != TAlign::None)
        Realign();
}

void TWinControl::RemoveControl(TControl* control)
{
    if (hot_ == control)
        hot_ = nullptr;
    if (pressed_ == control) {
        pressed_ = nullptr;
        if (handle_ && GetCapture() == handle_ && !selfPressed_)
            ReleaseCapture();
    }
    const bool aligned = control->Align() != TAlign::None;
    control->Invalidate();
    std::erase(controls_, control);
    if (!control->IsWindowless()) {
        auto* win = static_cast<TWinControl*>(control);
        // A window cannot stay without its parent's window.
        if (win->handle_ && !Destroying())
            win->DestroyWnd();
    }
    if (control->IsWindowless())
        if (auto* graphic = dynamic_cast<TGraphicControl*>(control))
            graphic->canvas_.FreeHandle();
    if (aligned && !Destroying())
        Realign();
}

void TWinControl::ChildChanged(TControl* control)
{
    if (control->Align() != TAlign::None && !aligning_)
        Realign();
}

void TWinControl::SetBounds(int left, int top, int width, int height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (handle_) {
        // The window tells the change back (WM_WINDOWPOSCHANGED).
        SetWindowPos(handle_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    if (left == left_ && top == top_ && width == width_ && height == height_)
        return;
    const bool sized = width != width_ || height != height_;
    StoreBounds(left, top, width, height);
    Resize();
    if (sized)
        Realign();
    if (parent_)
        parent_->ChildChanged(this);
}

void TWinControl::UpdateBoundsFromWindow()
{
    if (!handle_)
        return;
    RECT r{};
    GetWindowRect(handle_, &r);
    if (HWND parentWnd = GetParent(handle_); parentWnd && (GetWindowLongW(handle_, GWL_STYLE) & WS_CHILD))
        MapWindowPoints(nullptr, parentWnd, reinterpret_cast<POINT*>(&r), 2);
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (r.left == left_ && r.top == top_ && w == width_ && h == height_)
        return;
    const bool sized = w != width_ || h != height_;
    StoreBounds(r.left, r.top, w, h);
    Resize();
    if (sized)
        Realign();
    if (parent_)
        parent_->ChildChanged(this);
}

int TWinControl::ClientWidth() const
{
    if (handle_) {
        RECT r{};
        GetClientRect(handle_, &r);
        return r.right;
    }
    return width_;
}

int TWinControl::ClientHeight() const
{
    if (handle_) {
        RECT r{};
        GetClientRect(handle_, &r);
        return r.bottom;
    }
    return height_;
}

void TWinControl::ShowWindowState()
{
    if (handle_)
        ShowWindow(handle_, visible_ ? SW_SHOWNA : SW_HIDE);
}

void TWinControl::SetVisible(bool visible)
{
    if (visible == visible_)
        return;
    visible_ = visible;
    ShowWindowState();
    VisibleChanged();
    if (parent_)
        parent_->ChildChanged(this);
}

void TWinControl::SetEnabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    if (handle_)
        EnableWindow(handle_, enabled);
    EnabledChanged();
}

void TWinControl::EnabledChanged()
{
    Invalidate();
}

void TWinControl::Invalidate()
{
    if (handle_)
        InvalidateRect(handle_, nullptr, TRUE);
}

void TWinControl::Update()
{
    if (handle_)
        UpdateWindow(handle_);
}

void TWinControl::SetFocus()
{
    if (HWND wnd = Handle())
        ::SetFocus(wnd);
}

bool TWinControl::Focused() const
{
    return handle_ && GetFocus() == handle_;
}

void TWinControl::SetParentBackground(bool on)
{
    if (on == parentBackground_)
        return;
    parentBackground_ = on;
    Invalidate();
}

void TWinControl::FontChanged()
{
    if (handle_ && !PaintsItself())
        SendMessageW(handle_, WM_SETFONT, reinterpret_cast<WPARAM>(Font().Handle()), TRUE);
    const std::vector<TControl*> children = controls_;
    for (TControl* child : children)
        child->TakeParentFont();
    Invalidate();
}

void TWinControl::ColorChanged()
{
    const std::vector<TControl*> children = controls_;
    for (TControl* child : children)
        child->TakeParentColor();
    Invalidate();
}

void TWinControl::ApplySpec(const TControlSpec& spec, const TLayoutContext& context)
{
    TControl::ApplySpec(spec, context);
    if (spec.parentBackground != TFlag::Default)
        SetParentBackground(spec.parentBackground == TFlag::On);
}

TControl* TWinControl::ControlAtPos(POINT p, bool allowDisabled) const
{
    for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
        TControl* c = *it;
        if (!c->IsWindowless() || !c->visible_ || (!c->enabled_ && !allowDisabled))
            continue;
        const RECT r = c->BoundsRect();
        if (PtInRect(&r, p))
            return c;
    }
    return nullptr;
}

void TWinControl::Realign()
{
    if (aligning_)
        return;
    aligning_ = true;
    Guard([&] {
        RECT r = ClientRect();
        const std::vector<TControl*> children = controls_;
        for (TAlign kind : {TAlign::Top, TAlign::Bottom, TAlign::Left, TAlign::Right, TAlign::Client}) {
            for (TControl* c : children) {
                if (!c->visible_ || c->align_ != kind)
                    continue;
                const int w = std::max<int>(r.right - r.left, 0);
                const int h = std::max<int>(r.bottom - r.top, 0);
                switch (kind) {
                case TAlign::Top:
                    c->SetBounds(r.left, r.top, w, c->height_);
                    r.top += c->height_;
                    break;
                case TAlign::Bottom:
                    c->SetBounds(r.left, r.bottom - c->height_, w, c->height_);
                    r.bottom -= c->height_;
                    break;
                case TAlign::Left:
                    c->SetBounds(r.left, r.top, c->width_, h);
                    r.left += c->width_;
                    break;
                case TAlign::Right:
                    c->SetBounds(r.right - c->width_, r.top, c->width_, h);
                    r.right -= c->width_;
                    break;
                case TAlign::Client:
                    c->SetBounds(r.left, r.top, w, h);
                    break;
                case TAlign::None:
                    break;
                }
            }
        }
    });
    aligning_ = false;
}

LRESULT TWinControl::Perform(UINT msg, WPARAM wParam, LPARAM lParam)
{
    TMessage m{msg, wParam, lParam, 0};
    Dispatch(m);
    return m.Result;
}

void TWinControl::Dispatch(TMessage& msg)
{
    if (hooks_.Empty()) {
        WndProc(msg);
        return;
    }
    hooks_.Run(msg, [this](TMessage& m) { WndProc(m); });
}

void TWinControl::DefaultHandler(TMessage& msg)
{
    if (!handle_)
        return;
    msg.Result = baseProc_ ? CallWindowProcW(baseProc_, handle_, msg.Msg, msg.WParam, msg.LParam)
                           : DefWindowProcW(handle_, msg.Msg, msg.WParam, msg.LParam);
}

bool TWinControl::HandleCommand(WORD, LRESULT&)
{
    return false;
}

bool TWinControl::HandleNotify(NMHDR&, LRESULT&)
{
    return false;
}

bool TWinControl::HandleCtlColor(HDC, LRESULT&)
{
    return false;
}

void TWinControl::WndProc(TMessage& msg)
{
    switch (msg.Msg) {
    case WM_WINDOWPOSCHANGED:
        DefaultHandler(msg);
        UpdateBoundsFromWindow();
        return;
    case WM_PAINT:
        if (PaintsItself()) {
            PaintMessage(msg);
            return;
        }
        break;
    case WM_ERASEBKGND:
        if (PaintsItself()) {
            // The background is part of the paint (with double buffering too).
            msg.Result = 1;
            return;
        }
        break;
    case WM_PRINTCLIENT:
        if (PaintsItself()) {
            RECT area = ClientRect();
            PaintRegion(reinterpret_cast<HDC>(msg.WParam), area, nullptr);
            return;
        }
        break;
    case WM_MOUSEMOVE:
        RouteMouse(msg, TMouseButton::Left, false, false);
        return;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
        RouteMouse(msg, TMouseButton::Left, true, false);
        return;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
        RouteMouse(msg, TMouseButton::Right, true, false);
        return;
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
        RouteMouse(msg, TMouseButton::Middle, true, false);
        return;
    case WM_LBUTTONUP:
        RouteMouse(msg, TMouseButton::Left, false, true);
        return;
    case WM_RBUTTONUP:
        RouteMouse(msg, TMouseButton::Right, false, true);
        return;
    case WM_MBUTTONUP:
        RouteMouse(msg, TMouseButton::Middle, false, true);
        return;
    case WM_MOUSELEAVE: {
        trackingLeave_ = false;
        const TComponentRef self = Ref();
        SetHot(nullptr);
        if (self && mouseInside_)
            OwnMouseLeave();
        if (self)
            DefaultHandler(msg);
        return;
    }
    case WM_CAPTURECHANGED:
        if (reinterpret_cast<HWND>(msg.LParam) != handle_) {
            pressed_ = nullptr;
            selfPressed_ = false;
        }
        break;
    case WM_SETCURSOR:
        if (SetCursorFor(msg))
            return;
        break;
    case WM_COMMAND:
        if (TWinControl* child = FromHandle(reinterpret_cast<HWND>(msg.LParam));
            child && child != this) {
            LRESULT result = 0;
            if (child->HandleCommand(HIWORD(msg.WParam), result)) {
                msg.Result = result;
                return;
            }
        }
        break;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(msg.LParam);
        if (TWinControl* child = header ? FromHandle(header->hwndFrom) : nullptr;
            child && child != this) {
            LRESULT result = 0;
            if (child->HandleNotify(*header, result)) {
                msg.Result = result;
                return;
            }
        }
        break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
        if (TWinControl* child = FromHandle(reinterpret_cast<HWND>(msg.LParam));
            child && child != this) {
            LRESULT result = 0;
            if (child->HandleCtlColor(reinterpret_cast<HDC>(msg.WParam), result)) {
                msg.Result = result;
                return;
            }
        }
        break;
    default:
        break;
    }
    DefaultHandler(msg);
}

void TWinControl::NotifyChildEnter(TControl& child)
{
    if (OnChildMouseEnter)
        OnChildMouseEnter(*this, child);
}

void TWinControl::NotifyChildLeave(TControl& child)
{
    if (OnChildMouseLeave)
        OnChildMouseLeave(*this, child);
}

void TWinControl::OwnMouseEnter()
{
    const TComponentRef self = Ref();
    mouseInside_ = true;
    if (parent_)
        parent_->NotifyChildEnter(*this);
    if (self)
        MouseEnter();
}

void TWinControl::OwnMouseLeave()
{
    const TComponentRef self = Ref();
    mouseInside_ = false;
    if (parent_)
        parent_->NotifyChildLeave(*this);
    if (self)
        MouseLeave();
}

void TWinControl::SetHot(TControl* control)
{
    if (control == hot_)
        return;
    const TComponentRef self = Ref();
    TControl* old = hot_;
    hot_ = control;
    if (old) {
        const TComponentRef oldRef = old->Ref();
        old->mouseInside_ = false;
        NotifyChildLeave(*old);
        if (oldRef && self)
            old->MouseLeave();
        if (!self)
            return;
    }
    // A handler above may have moved the mouse state on or freed the control.
    if (control && hot_ == control) {
        const TComponentRef newRef = control->Ref();
        control->mouseInside_ = true;
        NotifyChildEnter(*control);
        if (newRef && self && hot_ == control)
            control->MouseEnter();
    }
}

void TWinControl::RouteMouse(TMessage& msg, TMouseButton button, bool down, bool up)
{
    const POINT p{GET_X_LPARAM(msg.LParam), GET_Y_LPARAM(msg.LParam)};
    TShiftState shift = ShiftFromKeys(msg.WParam);
    if (msg.Msg == WM_LBUTTONDBLCLK || msg.Msg == WM_RBUTTONDBLCLK || msg.Msg == WM_MBUTTONDBLCLK)
        shift |= ssDouble;
    const TComponentRef self = Ref();

    if (!down && !up) {
        if (!trackingLeave_ && handle_) {
            TRACKMOUSEEVENT track{};
            track.cbSize = sizeof(track);
            track.dwFlags = TME_LEAVE;
            track.hwndTrack = handle_;
            trackingLeave_ = FormLibCalls().trackMouseEvent(&track) != FALSE;
        }
        if (!mouseInside_)
            OwnMouseEnter();
        if (self)
            SetHot(ControlAtPos(p, true));
        if (!self)
            return;
        TControl* target = pressed_ ? pressed_ : (hot_ && hot_->enabled_ ? hot_ : nullptr);
        if (target)
            target->MouseMove(shift, p.x - target->left_, p.y - target->top_);
        else
            MouseMove(shift, p.x, p.y);
        if (self)
            DefaultHandler(msg);
        return;
    }

    if (down) {
        if (pressed_) {
            pressed_->MouseDown(button, shift, p.x - pressed_->left_, p.y - pressed_->top_);
        } else if (TControl* target = ControlAtPos(p, false)) {
            pressed_ = target;
            pressedButton_ = button;
            if (handle_)
                SetCapture(handle_);
            target->MouseDown(button, shift, p.x - target->left_, p.y - target->top_);
        } else {
            if (ClicksFromMouse() && !selfPressed_) {
                selfPressed_ = true;
                selfPressedButton_ = button;
                if (handle_)
                    SetCapture(handle_);
            }
            MouseDown(button, shift, p.x, p.y);
        }
        if (self)
            DefaultHandler(msg);
        return;
    }

    if (pressed_) {
        TControl* target = pressed_;
        const TComponentRef targetRef = target->Ref();
        const bool releasing = button == pressedButton_;
        if (releasing) {
            pressed_ = nullptr;
            if (handle_ && GetCapture() == handle_)
                ReleaseCapture();
        }
        const POINT local{p.x - target->left_, p.y - target->top_};
        const RECT client = target->ClientRect();
        target->MouseUp(button, shift, local.x, local.y);
        if (releasing && button == TMouseButton::Left && targetRef && self &&
            PtInRect(&client, local))
            target->Click();
        if (self && releasing)
            SetHot(ControlAtPos(p, true));
    } else {
        const bool releasing = selfPressed_ && button == selfPressedButton_;
        if (releasing) {
            selfPressed_ = false;
            if (handle_ && GetCapture() == handle_)
                ReleaseCapture();
        }
        const RECT client = ClientRect();
        MouseUp(button, shift, p.x, p.y);
        if (self && releasing && button == TMouseButton::Left && PtInRect(&client, p))
            Click();
    }
    if (self)
        DefaultHandler(msg);
}

bool TWinControl::SetCursorFor(TMessage& msg)
{
    if (reinterpret_cast<HWND>(msg.WParam) != handle_ || LOWORD(msg.LParam) != HTCLIENT)
        return false;
    POINT p{};
    if (!FormLibCalls().getCursorPos(&p))
        return false;
    ::ScreenToClient(handle_, &p);
    TControl* control = pressed_ ? pressed_ : ControlAtPos(p, true);
    TCursor cursor = control ? control->Cursor() : crDefault;
    if (cursor == crDefault)
        cursor = Cursor();
    HCURSOR handle = CursorHandle(cursor);
    if (!handle)
        return false;
    FormLibCalls().setCursor(handle);
    msg.Result = TRUE;
    return true;
}

void TWinControl::PaintWindow(TCanvas&) {}

void TWinControl::PaintMessage(TMessage& msg)
{
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(handle_, &ps);
    if (!dc)
        return;
    const RECT area = ps.rcPaint;
    const int w = area.right - area.left, h = area.bottom - area.top;
    if (doubleBuffered_ && w > 0 && h > 0) {
        HDC memory = CreateCompatibleDC(dc);
        HBITMAP buffer = CreateCompatibleBitmap(dc, w, h);
        if (memory && buffer) {
            {
                TDcSelection select(memory, buffer);
                SetViewportOrgEx(memory, -area.left, -area.top, nullptr);
                PaintRegion(memory, area, nullptr);
                BitBlt(dc, area.left, area.top, w, h, memory, area.left, area.top, SRCCOPY);
            }
        } else {
            PaintRegion(dc, area, nullptr);
        }
        if (buffer)
            DeleteObject(buffer);
        if (memory)
            DeleteDC(memory);
    } else if (w > 0 && h > 0) {
        PaintRegion(dc, area, nullptr);
    }
    EndPaint(handle_, &ps);
    msg.Result = 0;
}

void TWinControl::PaintRegion(HDC dc, const RECT& area, const TControl* upTo)
{
    if (!dc)
        return;
    TDcStateGuard state(dc);
    IntersectClipRect(dc, area.left, area.top, area.right, area.bottom);
    if (parentBackground_ && parent_) {
        TDcStateGuard inner(dc);
        OffsetViewportOrgEx(dc, -left_, -top_, nullptr);
        parent_->PaintRegion(dc, Offset(area, left_, top_), this);
    } else {
        TBrush brush;
        brush.SetColor(Color());
        FillRect(dc, &area, brush.Handle());
    }
    if (auto* custom = dynamic_cast<TCustomControl*>(this)) {
        TCanvas& canvas = custom->Canvas();
        const HDC previous = canvas.AttachedHandle();
        canvas.SetHandle(dc);
        canvas.Font().Assign(Font());
        canvas.Brush().SetColor(Color());
        canvas.Brush().SetStyle(TBrushStyle::Solid);
        Guard([&] { PaintWindow(canvas); });
        canvas.SetHandle(previous);
    }
    PaintControls(dc, area, upTo);
}

void TWinControl::PaintControls(HDC dc, const RECT& area, const TControl* upTo)
{
    const std::vector<TControl*> children = controls_;
    for (TControl* c : children) {
        if (c == upTo && c->IsWindowless())
            break;
        if (!c->IsWindowless() || !c->visible_)
            continue;
        auto* graphic = dynamic_cast<TGraphicControl*>(c);
        const RECT bounds = c->BoundsRect();
        RECT common{};
        if (!graphic || !IntersectRect(&common, &bounds, &area))
            continue;
        TDcStateGuard state(dc);
        OffsetViewportOrgEx(dc, bounds.left, bounds.top, nullptr);
        IntersectClipRect(dc, 0, 0, c->width_, c->height_);
        TCanvas& canvas = graphic->canvas_;
        const HDC previous = canvas.AttachedHandle();
        canvas.SetHandle(dc);
        canvas.Font().Assign(c->Font());
        canvas.Brush().SetColor(c->Color());
        canvas.Brush().SetStyle(TBrushStyle::Solid);
        Guard([&] { graphic->Paint(); });
        canvas.SetHandle(previous);
    }
}

void TWinControl::PaintTo(HDC dc, int x, int y)
{
    if (!dc)
        return;
    TDcStateGuard state(dc);
    OffsetViewportOrgEx(dc, x, y, nullptr);
    const RECT area = ClientRect();
    IntersectClipRect(dc, 0, 0, area.right, area.bottom);
    if (PaintsItself())
        PaintRegion(dc, area, nullptr);
    else if (handle_)
        SendMessageW(handle_, WM_PRINT, reinterpret_cast<WPARAM>(dc),
                     PRF_CLIENT | PRF_ERASEBKGND | PRF_NONCLIENT);
    const std::vector<TControl*> children = controls_;
    for (TControl* c : children) {
        if (!c->IsWindowless() && c->visible_)
            static_cast<TWinControl*>(c)->PaintTo(dc, c->left_, c->top_);
    }
}

// ---------------------------------------------------------------------------
// TCustomControl

TCustomControl::TCustomControl(TComponent* owner) : TWinControl(owner), canvas_(*this) {}

TCustomControl::~TCustomControl()
{
    canvas_.FreeHandle();
}

void TCustomControl::PaintWindow(TCanvas& canvas)
{
    paint_.Run(canvas, [this](TCanvas&) { Paint(); });
}

void TCustomControl::Paint()
{
    if (OnPaint)
        OnPaint(*this);
}
