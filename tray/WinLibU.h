#pragma once
// The tray's small window library: objects that own one Win32 window each,
// the message pump, a timer and popup menus. Its windows are ANSI windows
// (class, caption and procedure through the A functions) and are never shown.
//
// Everything here belongs to the thread that made it (the tray's GUI thread);
// the per-thread creation slot only bridges a window's first messages.

#include "platform/ClassesU.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One message as the hooks see it. A hook that handles the message answers
// True and leaves the message's answer in Result.
struct TMsg {
    HWND Wnd = nullptr;
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};
using TMessageHook = std::function<bool(TMsg& Msg)>;

// The library's base object. Objects are made by Make, which runs the
// initialisation hook before the object's own construction step: a virtual
// call inside a C++ constructor would reach only the base class's hook.
class TObj : public TObject {
public:
    template <typename T, typename... A> static std::unique_ptr<T> Make(A&&... Args)
    {
        std::unique_ptr<T> obj(new T);
        static_cast<TObj*>(obj.get())->InitObject();
        obj->Construct(std::forward<A>(Args)...);
        return obj;
    }

protected:
    TObj() = default;
    virtual void InitObject() {}
    void Construct() {}
};

class TControl;
// Asked before every object's own hooks; True ends the message there.
using TGlobalHook = bool (*)(TControl& Control, TMsg& Msg);
void SetGlobalHook(TGlobalHook Hook) noexcept;

// The Win32 calls of the library that tests count or make fail; the defaults
// are the real calls. Set restores them with nullptr.
struct TWinLibCalls {
    decltype(&RegisterClassA) registerClass = &RegisterClassA;
    decltype(&CreateWindowExA) createWindowEx = &CreateWindowExA;
    decltype(&TrackPopupMenu) trackPopupMenu = &TrackPopupMenu;
};
void SetWinLibCalls(const TWinLibCalls* Calls) noexcept;

// The window property that ties a window to its object.
inline constexpr char kSelfProperty[] = "SELF_";
// Cleared from every class style: each window of this library gets its own
// device context from the system, never an owned, shared or parent one.
inline constexpr UINT kClassStyleMask =
    0x40E0; // CS_OWNDC | CS_CLASSDC | CS_PARENTDC | CS_GLOBALCLASS

// One window. The object owns its window: the destructor destroys it (the
// window's own destruction messages no longer reach the object). Whoever made
// the object owns it (the tray: its application object; the timer window:
// the timers).
class TControl : public TObj {
    friend class TObj;

public:
    ~TControl() override;

    // The window, made on first request; 0 when creation failed (the next call
    // tries again). A window made here starts hidden: a visible object loses
    // WS_VISIBLE first and is shown only by a later CreateWindowHandle.
    HWND GetHandle();
    // The window without making it.
    HWND Handle() const { return handle_; }
    // Makes the window (or shows one that waits to be shown). True when the
    // object has a window afterwards.
    virtual bool CreateWindowHandle();
    // The message processing: the global hook, the message hook, the
    // per-object hooks (the last added first), the library's own handling of
    // WM_CLOSE and WM_SETTINGCHANGE, then the default window procedure.
    virtual LRESULT ProcessMessage(TMsg& Msg);

    // The stored style; with a window also GWL_STYLE and a frame refresh.
    void SetStyle(DWORD Style);
    DWORD Style() const { return style_; }
    void SetExStyle(DWORD ExStyle) { exStyle_ = ExStyle; }
    DWORD ExStyle() const { return exStyle_; }
    // The window class name is Name itself from now on (without it: "obj_" +
    // the class name text). Name also names the base class looked up at
    // creation.
    void SetClassName(const std::string& Name);
    std::string WindowClassName() const;
    // The caption is kept as given and shown through the translator.
    virtual void SetCaption(const std::string& TextAnsi);
    virtual void SetCaptionW(const std::wstring& Text);
    const std::string& Caption() const { return caption_; }
    void SetMessageHook(TMessageHook Hook) { hook_ = std::move(Hook); }
    void AddHook(TMessageHook Hook) { hooks_.push_back(std::move(Hook)); }
    // The object owns the table from now on.
    void SetAccelerators(HACCEL Table) { accelerators_ = Table; }
    HACCEL Accelerators() const { return accelerators_; }
    // Only the library's hidden timer window bears the control mark: it is
    // placed at its bounds and gets no icon.
    void SetControlMark(bool On) { controlMark_ = On; }
    bool IsControl() const { return controlMark_; }
    void SetBounds(int Left, int Top, int Right, int Bottom);
    void SetPostCreate(std::function<void(TControl&)> Hook) { postCreate_ = std::move(Hook); }
    // An application window posts WM_QUIT when it is closed.
    void SetAppWindow(bool On) { appWindow_ = On; }
    bool Visible() const { return visible_; }
    // What the library leaves unanswered goes here; settled at creation.
    WNDPROC DefaultProc() const { return defaultProc_; }
    HICON BigIcon() const { return bigIcon_; }

protected:
    TControl() = default;
    void InitObject() final { InitDefaults(); }
    // The field defaults: class style CS_OWNDC, style WS_OVERLAPPEDWINDOW +
    // WS_VISIBLE + WS_CLIPSIBLINGS + WS_CLIPCHILDREN, extended style
    // WS_EX_CONTROLPARENT, visible.
    virtual void InitDefaults();
    LRESULT CallDefault(const TMsg& Msg) const;

private:
    friend LRESULT CALLBACK LibraryWindowProc(HWND, UINT, WPARAM, LPARAM);
    friend std::unique_ptr<TControl> CreateAppWindow(const std::string& Caption);
    void OnSettingChange(LPARAM Text);
    std::string ShownCaption() const;

    HWND handle_ = nullptr;
    DWORD style_ = 0;
    DWORD exStyle_ = 0;
    UINT classStyle_ = 0;
    std::string caption_;
    std::string classText_;
    bool ownClassName_ = false;
    TMessageHook hook_;
    std::vector<TMessageHook> hooks_;
    HACCEL accelerators_ = nullptr;
    bool visible_ = false;
    RECT bounds_{};
    bool controlMark_ = false;
    bool appWindow_ = false;
    WNDPROC defaultProc_ = nullptr;
    std::function<void(TControl&)> postCreate_;
    HICON bigIcon_ = nullptr;
    bool showAfterCreation_ = false;
};

// A top-level application window: class name text "App" (window class
// "obj_App" until SetClassName), style WS_POPUP + WS_VISIBLE + WS_CAPTION +
// WS_SYSMENU + WS_MINIMIZEBOX, extended style WS_EX_APPWINDOW, the caption.
// Once made, its system menu (where the style gives it one) loses Maximize,
// Move and Size, and Restore is greyed.
std::unique_ptr<TControl> CreateAppWindow(const std::string& Caption);

// Takes one message of the calling thread's queue (PeekMessageA, PM_REMOVE):
// False when there was none. WM_QUIT is not dispatched: True, and Quit (when
// given) is set so that the caller can end its loop. Keyboard messages go
// through Control's accelerator table when it has one; the rest through
// TranslateMessage and DispatchMessageA.
bool ProcessOneMessage(TControl* Control, bool* Quit = nullptr);

// Index 0: the program's own file name (GetModuleFileNameA). Index n >= 1:
// the n-th item of the command line after the program name; '' past the end.
std::string GetParam(int Index);
// The same over a given command line (Index 0 gives its first item).
// Items are separated by characters 1..32; an empty pair of double quotes
// between items is skipped; inside an item a double quote opens a part that
// runs to the next one and may hold blanks. An item longer than one character
// that begins and ends with a double quote loses both.
std::string GetParamFrom(const char* CommandLine, int Index);

// A timer on the library's hidden timer window (class "obj_", style 0, made
// on the first enabling, freed with the last timer). The object's address is
// the timer's id. Owned by whoever made it.
class TTimer : public TObj {
    friend class TObj;

public:
    using TOnTimer = std::function<void(TTimer& Sender)>;

    ~TTimer() override;

    // The same interval again changes nothing; another one restarts an
    // enabled timer.
    void SetInterval(UINT Ms);
    UINT Interval() const { return interval_; }
    void SetEnabled(bool On);
    bool Enabled() const { return enabled_; }
    void SetOnTimer(TOnTimer Handler) { onTimer_ = std::move(Handler); }
    // The id given to SetTimer while running, else 0.
    UINT_PTR Id() const { return id_; }

    // The library's timer procedure. It acts only for the id of a running
    // timer (Windows may still deliver a WM_TIMER after KillTimer). An error
    // in OnTimer disables that timer; its owner still frees it.
    static void CALLBACK TimerProc(HWND Wnd, UINT Msg, UINT_PTR Id, DWORD Time);
    // The hidden timer window; 0 while none exists.
    static HWND TimerWindow();

protected:
    TTimer() = default;
    void Construct();

private:
    void Start();
    void Stop();

    UINT_PTR id_ = 0;
    bool enabled_ = false;
    UINT interval_ = 1000;
    TOnTimer onTimer_;
};

// A popup menu. Owned by whoever made it; freeing it destroys the menu.
class TMenu : public TObj {
    friend class TObj;

public:
    // The library's own separator flag. Not passed to Windows as a menu flag:
    // 0x40 there is MF_MENUBREAK, a column break.
    static constexpr UINT kSeparator = 64;

    ~TMenu() override;

    // Appends an item (InsertMenuItemW). A normal item gets the command id
    // FirstId + the number of normal items before it; a separator gets 0.
    void AddItem(const std::wstring& Text, UINT Flags);
    // Shows the menu at the point and returns the chosen command id (0 when
    // dismissed): TrackPopupMenu with TPM_RETURNCMD and the owner window.
    int Popup(int X, int Y);

    HMENU Handle() const { return handle_; }
    int FirstId() const { return firstId_; }
    void SetOwnerWindow(HWND Owner) { owner_ = Owner; }
    HWND OwnerWindow() const { return owner_; }
    // 0 left, 1 right, 2 centre.
    void SetAlignment(uint8_t Alignment) { alignment_ = Alignment; }

protected:
    TMenu() = default;
    // FirstId 0 or less takes the library's running counter.
    void Construct(int FirstId);

private:
    HMENU handle_ = nullptr;
    int firstId_ = 0;
    int normalItems_ = 0;
    bool fromCounter_ = false;
    HWND owner_ = nullptr;
    uint8_t alignment_ = 0;
};

std::unique_ptr<TMenu> NewPopupMenu(int FirstId);
