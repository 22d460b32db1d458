#include "controls/KvExtCtrls.h"

#include <map>

namespace {

// The library's timer window: a message-only window of the library's own
// class. It lives until the process ends.
class TTimerWindow : public TWinControl {
public:
    TTimerWindow() : TWinControl(nullptr) { visible_ = false; }
    void CreateParams(TCreateParams& params) override
    {
        TWinControl::CreateParams(params);
        params.className = L"KvTimerWindow";
        params.style = 0;
        params.parent = HWND_MESSAGE;
    }

protected:
    void WndProc(TMessage& msg) override
    {
        if (msg.Msg == WM_TIMER) {
            TTimer::Tick(msg.WParam);
            return;
        }
        TWinControl::WndProc(msg);
    }
};

TTimerWindow* gTimerWindow = nullptr;
UINT_PTR gLastTimerId = 0;

std::map<UINT_PTR, TComponentRef>& RunningTimers()
{
    static std::map<UINT_PTR, TComponentRef> timers;
    return timers;
}

HWND EnsureTimerWindow()
{
    if (!gTimerWindow)
        gTimerWindow = new TTimerWindow;
    return gTimerWindow->Handle();
}

} // namespace

TPanel::TPanel(TComponent* owner) : TCustomControl(owner)
{
    StoreBounds(0, 0, 185, 41);
}

void TPanel::CreateParams(TCreateParams& params)
{
    TCustomControl::CreateParams(params);
    params.className = L"KvPanel";
}

TPaintBox::TPaintBox(TComponent* owner) : TGraphicControl(owner)
{
    StoreBounds(0, 0, 105, 105);
}

TTimer::TTimer(TComponent* owner) : TComponent(owner) {}

TTimer::~TTimer()
{
    Stop();
}

HWND TTimer::TimerWindow()
{
    return gTimerWindow ? gTimerWindow->HandleIfAllocated() : nullptr;
}

void TTimer::Start()
{
    Stop();
    if (!enabled_ || interval_ == 0)
        return;
    HWND wnd = EnsureTimerWindow();
    if (!wnd)
        return;
    const UINT_PTR id = ++gLastTimerId;
    if (!SetTimer(wnd, id, interval_, nullptr))
        return;
    id_ = id;
    RunningTimers()[id] = Ref();
}

void TTimer::Stop()
{
    if (!id_)
        return;
    if (HWND wnd = TimerWindow())
        KillTimer(wnd, id_);
    RunningTimers().erase(id_);
    id_ = 0;
}

void TTimer::SetInterval(UINT ms)
{
    if (ms == interval_)
        return;
    interval_ = ms;
    if (enabled_)
        Start();
}

void TTimer::SetEnabled(bool on)
{
    if (on == enabled_)
        return;
    enabled_ = on;
    if (on)
        Start();
    else
        Stop();
}

void TTimer::Tick(UINT_PTR id)
{
    auto& timers = RunningTimers();
    auto it = timers.find(id);
    if (it == timers.end())
        return;
    auto* timer = it->second.As<TTimer>();
    if (!timer || timer->id_ != id)
        return;
    if (timer->OnTimer)
        timer->OnTimer(*timer);
}
