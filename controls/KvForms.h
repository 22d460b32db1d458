#pragma once
// Forms (top-level windows that paint themselves) and the application: the
// message loop, modal loops, the main form and the end of the program.
//
// A form is a component like any other: its owner (the application, for
// forms made with CreateForm) frees it. Closing the main form ends the
// application's loop. Everything belongs to the GUI thread.

#include "controls/KvControls.h"

#include <windows.h>

#include <functional>
#include <string>

class TForm;

enum class TBorderStyle : uint8_t { None, Single, Sizeable, Dialog };
enum class TCloseAction : uint8_t { None, Hide, Free, Minimize };
enum class TFormPosition : uint8_t { Designed, ScreenCenter };

using TModalResult = int;
inline constexpr TModalResult mrNone = 0;
inline constexpr TModalResult mrOk = IDOK;
inline constexpr TModalResult mrCancel = IDCANCEL;
inline constexpr TModalResult mrYes = IDYES;
inline constexpr TModalResult mrNo = IDNO;

// A top-level window (class "KvForm"). It starts hidden; Show or ShowModal
// makes its window and shows it. Bounds are the window's in screen
// coordinates; ClientWidth and ClientHeight its client area.
class TForm : public TCustomControl {
public:
    explicit TForm(TComponent* owner = nullptr);
    ~TForm() override;

    void SetVisible(bool visible) override;
    // Shows the window and brings it forward.
    void BringToFront();
    // Asks OnCloseQuery, runs OnClose with the action (Hide; the main form's:
    // Free), does it, and ends the application when it is the main form.
    void Close();
    // Shows the form with every other window of the thread disabled and runs
    // its own message loop until ModalResult is set, the form closes or dies,
    // or the application ends. Returns the result (mrCancel when closed).
    TModalResult ShowModal();
    TModalResult ModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult result) { modalResult_ = result; }
    bool Modal() const { return modal_; }

    bool StayOnTop() const { return stayOnTop_; }
    void SetStayOnTop(bool on);
    TBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TBorderStyle style);
    TFormPosition Position() const { return position_; }
    void SetPosition(TFormPosition position) { position_ = position; }

    int ClientWidth() const override;
    int ClientHeight() const override;
    // Sizes the window so that its client area has that size.
    void SetClientSize(int width, int height) override;

    void ApplySpec(const TControlSpec& spec, const TLayoutContext& context) override;

    std::function<void(TForm& Sender, bool& CanClose)> OnCloseQuery;
    std::function<void(TForm& Sender, TCloseAction& Action)> OnClose;
    TNotifyEvent OnShow;
    TNotifyEvent OnHide;

    void CreateParams(TCreateParams& params) override;

protected:
    void WndProc(TMessage& msg) override;
    void HandleCreated() override;
    void CaptionChanged() override {}

private:
    DWORD WindowStyle() const;
    DWORD WindowExStyle() const;
    // What the frame of the style adds to the client area.
    SIZE FrameSize() const;
    void ApplyPosition();

    bool stayOnTop_ = false;
    bool modal_ = false;
    bool positioned_ = false;
    TModalResult modalResult_ = mrNone;
    TBorderStyle borderStyle_ = TBorderStyle::Sizeable;
    TFormPosition position_ = TFormPosition::Designed;
    int clientWidth_ = 0;
    int clientHeight_ = 0;
    bool clientSizeSet_ = false;
};

// The application object: one per process (Application()).
class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    // Loads the common controls and installs the dispatcher on this thread
    // (it becomes the GUI thread); with KV_INSPECT=1 in the environment, the
    // inspection window starts too. Safe to call again.
    void Initialize();
    // A form owned by the application; the first one becomes the main form.
    template <typename T> T* CreateForm()
    {
        auto* form = new T(this);
        if (!mainForm_)
            mainForm_ = form;
        return form;
    }
    TForm* MainForm() const { return mainForm_; }
    void SetMainForm(TForm* form) { mainForm_ = form; }
    // False: Run does not show the main form (a run without a window).
    bool ShowMainForm() const { return showMainForm_; }
    void SetShowMainForm(bool on) { showMainForm_ = on; }

    // Shows the main form (unless told not to) and dispatches messages until
    // Terminate or WM_QUIT; then frees the forms it owns.
    void Run();
    // Dispatches every waiting message and frees the released components;
    // false once WM_QUIT was seen (it is posted again for the outer loop).
    bool ProcessMessages();
    // Waits for one message and dispatches it.
    void HandleMessage();
    // Ends Run and every modal loop (posts WM_QUIT).
    void Terminate();
    bool Terminated() const { return terminated_; }
    // Minimises or restores the main form.
    void Minimize();
    void Restore();

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    TForm* mainForm_ = nullptr;
    bool showMainForm_ = true;
    bool terminated_ = false;
    bool initialized_ = false;
    TComponent* inspector_ = nullptr;
};

TApplication& Application();

// The application's hint window (a common-controls tooltip), null until the
// first hint showed.
HWND HintWindow();

// One message of the loops: keyboard messages translated, then dispatched.
void DispatchOneMessage(MSG& msg);
