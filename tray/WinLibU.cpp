#include "tray/WinLibU.h"

#include "platform/GuardU.h"
#include "platform/UnicodeU.h"
#include "tray/TranslatorU.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

TWinLibCalls& Calls()
{
    static TWinLibCalls calls;
    return calls;
}

std::atomic<TGlobalHook> gGlobalHook{nullptr};

// The object whose window CreateWindowExA is making on this thread. The
// window's first message (WM_GETMINMAXINFO for a top-level window, before
// WM_NCCREATE) hands the window over; lpCreateParams would come too late.
thread_local TControl* tCreating = nullptr;

class TCreationSlot {
public:
    explicit TCreationSlot(TControl* Control) { tCreating = Control; }
    ~TCreationSlot() { tCreating = nullptr; }
    TCreationSlot(const TCreationSlot&) = delete;
    TCreationSlot& operator=(const TCreationSlot&) = delete;
};

HINSTANCE ProgramInstance()
{
    return GetModuleHandleA(nullptr);
}

constexpr size_t kMaxClassNameLength = 63;
constexpr DWORD kDefaultStyle =
    WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN; // 0x16CF0000
constexpr UINT kFrameRefreshFlags =
    SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED; // 55

// WM_SETTINGCHANGE carries a text or nothing.
bool SettingTextIs(LPARAM Text, const char* Expected)
{
    const char* text = reinterpret_cast<const char*>(Text);
    return text && std::strcmp(text, Expected) == 0;
}

} // namespace

void SetGlobalHook(TGlobalHook Hook) noexcept
{
    gGlobalHook = Hook;
}

void SetWinLibCalls(const TWinLibCalls* Calls_) noexcept
{
    Calls() = Calls_ ? *Calls_ : TWinLibCalls{};
}

// ---------------------------------------------------------------------------
// The window procedure of every window of the library

LRESULT CALLBACK LibraryWindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam)
{
    auto* control = static_cast<TControl*>(GetPropA(Wnd, kSelfProperty));
    if (!control && tCreating) {
        control = tCreating;
        tCreating = nullptr;
        control->handle_ = Wnd;
        SetPropA(Wnd, kSelfProperty, control);
    }
    if (!control)
        return DefWindowProcA(Wnd, Msg, WParam, LParam);
    TMsg msg{Wnd, Msg, WParam, LParam, 0};
    LRESULT result = 0;
    // A failing handler gets the default answer; the window stays bound to
    // its object, or it would never hear from its owner again.
    if (!Guard([&] { result = control->ProcessMessage(msg); }))
        result = control->CallDefault(msg);
    return result;
}

// ---------------------------------------------------------------------------
// TControl

void TControl::InitDefaults()
{
    classStyle_ = CS_OWNDC;
    style_ = kDefaultStyle;
    exStyle_ = WS_EX_CONTROLPARENT;
    visible_ = true;
}

TControl::~TControl()
{
    if (handle_) {
        Guard([&] {
            if (accelerators_)
                DestroyAcceleratorTable(accelerators_);
            accelerators_ = nullptr;
        });
        Guard([&] {
            if (!IsWindow(handle_))
                return;
            if (HICON icon =
                    reinterpret_cast<HICON>(SendMessageA(handle_, WM_SETICON, ICON_BIG, 0)))
                DestroyIcon(icon);
            // The window's destruction messages must not reach an object
            // that is going away: they go to DefWindowProcA alone.
            RemovePropA(handle_, kSelfProperty);
            DestroyWindow(handle_);
        });
        handle_ = nullptr;
    }
}

HWND TControl::GetHandle()
{
    if (handle_)
        return handle_;
    if (visible_) {
        // There is no window to hide yet: it is made hidden and shown later.
        visible_ = false;
        style_ &= ~WS_VISIBLE;
        showAfterCreation_ = true;
    }
    CreateWindowHandle();
    return handle_;
}

void TControl::SetStyle(DWORD Style)
{
    style_ = Style;
    if (handle_) {
        SetWindowLongA(handle_, GWL_STYLE, static_cast<LONG>(Style));
        SetWindowPos(handle_, nullptr, 0, 0, 0, 0, kFrameRefreshFlags);
    }
}

void TControl::SetClassName(const std::string& Name)
{
    classText_ = Name;
    ownClassName_ = true;
}

std::string TControl::WindowClassName() const
{
    return ownClassName_ ? classText_ : "obj_" + classText_;
}

void TControl::SetCaption(const std::string& TextAnsi)
{
    caption_ = TextAnsi;
    if (handle_)
        SetWindowTextA(handle_, ShownCaption().c_str());
}

void TControl::SetCaptionW(const std::wstring& Text)
{
    SetCaption(WideToAnsi(Text));
}

void TControl::SetBounds(int Left, int Top, int Right, int Bottom)
{
    bounds_ = {Left, Top, Right, Bottom};
}

std::string TControl::ShownCaption() const
{
    std::string shown;
    TTranslator2::Instance().TranslateAnsi(caption_, shown);
    return shown;
}

bool TControl::CreateWindowHandle()
{
    if (handle_) {
        if (showAfterCreation_) {
            visible_ = true;
            style_ |= WS_VISIBLE;
            ShowWindow(handle_, SW_SHOW);
            showAfterCreation_ = false;
        }
        return true;
    }

    const std::string className = WindowClassName();
    // The class name travels in a buffer of 64 characters: a longer one
    // would be registered cut, under a name nobody looks for.
    if (className.size() > kMaxClassNameLength)
        return false;
    const HINSTANCE instance = ProgramInstance();

    WNDCLASSA wc{};
    wc.style = classStyle_;
    wc.lpfnWndProc = DefWindowProcA;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(0x7F00)); // IDC_ARROW
    wc.hInstance = instance;
    if (!classText_.empty()) {
        WNDCLASSA base{};
        if (GetClassInfoA(instance, classText_.c_str(), &base))
            wc = base;
    }
    wc.hInstance = instance;
    wc.style &= ~kClassStyleMask;
    // A second window of an own class finds the library's class as its base:
    // handing on to that procedure would call this library again, endlessly.
    defaultProc_ = wc.lpfnWndProc == LibraryWindowProc ? DefWindowProcA : wc.lpfnWndProc;

    if (style_ & WS_CHILD)
        return false; // no window of this library has a parent window

    WNDCLASSA existing{};
    if (!GetClassInfoA(instance, className.c_str(), &existing)) {
        wc.lpszClassName = className.c_str();
        wc.lpfnWndProc = LibraryWindowProc;
        if (!Calls().registerClass(&wc))
            return false;
    }

    const int width = bounds_.right - bounds_.left;
    const int height = bounds_.bottom - bounds_.top;
    const int x = controlMark_ ? bounds_.left : CW_USEDEFAULT;
    const int y = controlMark_ ? bounds_.top : CW_USEDEFAULT;
    const std::string caption = ShownCaption();
    HWND wnd = nullptr;
    {
        TCreationSlot slot(this);
        wnd = Calls().createWindowEx(exStyle_, className.c_str(), caption.c_str(), style_, x, y,
                                     width ? width : CW_USEDEFAULT, height ? height : CW_USEDEFAULT,
                                     nullptr, nullptr, instance, nullptr);
    }
    handle_ = wnd;
    if (!wnd)
        return false;
    if (!GetPropA(wnd, kSelfProperty))
        SetPropA(wnd, kSelfProperty, this);
    if (!controlMark_) {
        if (!bigIcon_)
            bigIcon_ = LoadIconA(instance, "MAINICON");
        SendMessageA(wnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    }
    if (postCreate_)
        postCreate_(*this);
    return true;
}

LRESULT TControl::ProcessMessage(TMsg& Msg)
{
    if (TGlobalHook global = gGlobalHook.load(); global && global(*this, Msg))
        return Msg.Result;
    if (hook_ && hook_(Msg))
        return Msg.Result;
    for (auto it = hooks_.rbegin(); it != hooks_.rend(); ++it)
        if ((*it)(Msg))
            return Msg.Result;
    if (Msg.Msg == WM_CLOSE && appWindow_) {
        // Closing the application window ends the program's loop; the window
        // itself goes with its object.
        PostQuitMessage(0);
        return 0;
    }
    if (Msg.Msg == WM_SETTINGCHANGE)
        OnSettingChange(Msg.LParam);
    return CallDefault(Msg);
}

LRESULT TControl::CallDefault(const TMsg& Msg) const
{
    if (defaultProc_ && defaultProc_ != DefWindowProcA)
        return CallWindowProcA(defaultProc_, Msg.Wnd, Msg.Msg, Msg.WParam, Msg.LParam);
    return DefWindowProcA(Msg.Wnd, Msg.Msg, Msg.WParam, Msg.LParam);
}

void TControl::OnSettingChange(LPARAM Text)
{
    const bool showHash = SettingTextIs(Text, "SHOW_HASH");
    if (!showHash && !SettingTextIs(Text, "REFRESH"))
        return;
    TTranslator2& translator = TTranslator2::Instance();
    translator.ReadLanguage();
    if (showHash)
        translator.SetShowHash(true);
    if (handle_)
        SetWindowTextA(handle_, ShownCaption().c_str());
}

std::unique_ptr<TControl> CreateAppWindow(const std::string& Caption)
{
    auto window = TObj::Make<TControl>();
    window->classText_ = "App"; // a class name text without the own-name flag
    window->SetStyle(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    window->SetExStyle(WS_EX_APPWINDOW);
    window->SetCaption(Caption);
    window->SetAppWindow(true);
    window->SetPostCreate([](TControl& self) {
        // A window without WS_SYSMENU (the tray's, style 0) has no system menu.
        HMENU menu = GetSystemMenu(self.Handle(), FALSE);
        if (!menu)
            return;
        DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
        DeleteMenu(menu, SC_MOVE, MF_BYCOMMAND);
        DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
        EnableMenuItem(menu, SC_RESTORE, MF_BYCOMMAND | MF_GRAYED);
    });
    return window;
}

// ---------------------------------------------------------------------------
// The pump and the command line

bool ProcessOneMessage(TControl* Control, bool* Quit)
{
    MSG msg{};
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        return false;
    if (msg.message == WM_QUIT) {
        if (Quit)
            *Quit = true;
        return true;
    }
    if (msg.message >= WM_KEYFIRST && msg.message <= WM_SYSDEADCHAR && Control &&
        Control->Accelerators() && Control->Handle() &&
        TranslateAcceleratorA(Control->Handle(), Control->Accelerators(), &msg))
        return true;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

std::string GetParamFrom(const char* CommandLine, int Index)
{
    if (!CommandLine || Index < 0)
        return {};
    auto separator = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 1 && u <= 32;
    };
    const char* p = CommandLine;
    for (int item = 0;; ++item) {
        for (;;) {
            while (separator(*p))
                ++p;
            // An empty pair of quotes stands for no item at all.
            if (p[0] == '"' && p[1] == '"' && (p[2] == '\0' || separator(p[2])))
                p += 2;
            else
                break;
        }
        if (*p == '\0')
            return {};
        const char* start = p;
        while (*p && !separator(*p)) {
            if (*p == '"') {
                ++p;
                while (*p && *p != '"')
                    ++p;
                if (*p)
                    ++p;
            } else {
                ++p;
            }
        }
        if (item == Index) {
            std::string text(start, p);
            if (text.size() > 1 && text.front() == '"' && text.back() == '"')
                text = text.substr(1, text.size() - 2);
            return text;
        }
    }
}

std::string GetParam(int Index)
{
    if (Index == 0) {
        char path[261] = {};
        const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
        return std::string(path, n < sizeof path ? n : 0);
    }
    return GetParamFrom(GetCommandLineA(), Index);
}

// ---------------------------------------------------------------------------
// Timers

namespace {

// The timers that exist, and the window that owns their Windows timers.
struct TTimerState {
    std::vector<TTimer*> timers;
    std::unique_ptr<TControl> window;
};

TTimerState& Timers()
{
    static TTimerState* state = new TTimerState;
    return *state;
}

HWND EnsureTimerWindow()
{
    TTimerState& state = Timers();
    if (!state.window) {
        state.window = TObj::Make<TControl>();
        state.window->SetStyle(0);
        state.window->SetControlMark(true);
    }
    return state.window->GetHandle();
}

} // namespace

void TTimer::Construct()
{
    Timers().timers.push_back(this);
}

TTimer::~TTimer()
{
    Guard([&] { Stop(); });
    TTimerState& state = Timers();
    std::erase(state.timers, this);
    if (state.timers.empty())
        state.window.reset();
}

void TTimer::SetInterval(UINT Ms)
{
    if (Ms == interval_)
        return;
    interval_ = Ms;
    if (enabled_) {
        Stop();
        Start();
    }
}

void TTimer::SetEnabled(bool On)
{
    if (On == enabled_)
        return;
    enabled_ = On;
    if (On)
        Start();
    else
        Stop();
}

void TTimer::Start()
{
    if (id_ || interval_ == 0)
        return;
    const HWND window = EnsureTimerWindow();
    if (!window)
        return;
    const auto id = reinterpret_cast<UINT_PTR>(this);
    if (SetTimer(window, id, interval_, &TTimer::TimerProc))
        id_ = id;
}

void TTimer::Stop()
{
    if (!id_)
        return;
    if (HWND window = TimerWindow())
        KillTimer(window, id_);
    id_ = 0;
}

HWND TTimer::TimerWindow()
{
    const TTimerState& state = Timers();
    return state.window ? state.window->Handle() : nullptr;
}

void CALLBACK TTimer::TimerProc(HWND, UINT, UINT_PTR Id, DWORD)
{
    Guard([&] {
        if (Id == 0)
            return;
        const std::vector<TTimer*>& timers = Timers().timers;
        const auto it = std::find_if(timers.begin(), timers.end(),
                                     [Id](const TTimer* t) { return t->id_ == Id; });
        if (it == timers.end())
            return;
        TTimer* timer = *it;
        if (!timer->onTimer_)
            return;
        // A failing handler would fail again at every tick: it stops here,
        // and the timer's owner frees it as usual.
        if (!Guard([&] { timer->onTimer_(*timer); }))
            timer->SetEnabled(false);
    });
}

// ---------------------------------------------------------------------------
// Popup menus

namespace {

int gMenuIdCounter = 1000;

} // namespace

void TMenu::Construct(int FirstId)
{
    fromCounter_ = FirstId <= 0;
    firstId_ = fromCounter_ ? gMenuIdCounter : FirstId;
}

TMenu::~TMenu()
{
    if (handle_)
        DestroyMenu(handle_);
}

void TMenu::AddItem(const std::wstring& Text, UINT Flags)
{
    if (!handle_)
        handle_ = CreatePopupMenu();
    if (!handle_)
        return;
    std::wstring text = Text;
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_FTYPE | MIIM_ID;
    if (Flags & kSeparator) {
        item.fType = MFT_SEPARATOR;
        item.wID = 0;
    } else {
        item.fMask |= MIIM_STRING;
        item.fType = MFT_STRING;
        item.dwTypeData = text.data();
        item.wID = static_cast<UINT>(firstId_ + normalItems_);
    }
    const int position = GetMenuItemCount(handle_);
    if (!InsertMenuItemW(handle_, static_cast<UINT>(position < 0 ? 0 : position), TRUE, &item))
        return;
    if (!(Flags & kSeparator)) {
        ++normalItems_;
        if (fromCounter_)
            gMenuIdCounter = std::max(gMenuIdCounter, firstId_ + normalItems_);
    }
}

int TMenu::Popup(int X, int Y)
{
    if (!handle_)
        return 0;
    static constexpr UINT kAlignment[] = {TPM_LEFTALIGN, TPM_RIGHTALIGN, TPM_CENTERALIGN};
    const UINT align = alignment_ < 3 ? kAlignment[alignment_] : TPM_LEFTALIGN;
    const int id = static_cast<int>(
        Calls().trackPopupMenu(handle_, align | TPM_RETURNCMD, X, Y, 0, owner_, nullptr));
    // Without a message after it, a menu shown for a window in the
    // background may not close when the user clicks elsewhere.
    if (owner_)
        PostMessageA(owner_, WM_NULL, 0, 0);
    return id;
}

std::unique_ptr<TMenu> NewPopupMenu(int FirstId)
{
    return TObj::Make<TMenu>(FirstId);
}
