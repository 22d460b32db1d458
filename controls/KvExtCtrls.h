#pragma once
// Panels, paint boxes and timers.

#include "controls/KvControls.h"

#include <cstdint>

// A windowed container that paints its colour (or, with ParentBackground,
// its parent's drawing) and its windowless children (class "KvPanel").
class TPanel : public TCustomControl {
public:
    explicit TPanel(TComponent* owner = nullptr);
    static TPanel* Create(const TControlSpec& spec) { return CreateControl<TPanel>(spec); }

    // Kept for the callers that switch it; a panel repaints what is invalid
    // either way.
    bool FullRepaint() const { return fullRepaint_; }
    void SetFullRepaint(bool on) { fullRepaint_ = on; }

    void CreateParams(TCreateParams& params) override;

private:
    bool fullRepaint_ = true;
};

// A windowless surface whose drawing is its OnPaint.
class TPaintBox : public TGraphicControl {
public:
    explicit TPaintBox(TComponent* owner = nullptr);
    static TPaintBox* Create(const TControlSpec& spec) { return CreateControl<TPaintBox>(spec); }
};

// A timer on the library's timer window (a message-only window made on the
// first start). Each start takes a new id; a WM_TIMER whose id belongs to no
// running timer (a stopped or freed one's, still in the queue) does nothing.
// OnTimer runs inside the window procedure's guard. A new timer is stopped;
// SetEnabled(true) starts it.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner = nullptr);
    ~TTimer() override;

    UINT Interval() const { return interval_; }
    // A running timer restarts with the new interval.
    void SetInterval(UINT ms);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on);
    // The id of the running timer, 0 while stopped.
    UINT_PTR Id() const { return id_; }

    TNotifyEvent OnTimer;

    // The timer window, null before the first start.
    static HWND TimerWindow();
    // What the timer window does with a WM_TIMER.
    static void Tick(UINT_PTR id);

private:
    void Start();
    void Stop();
    UINT interval_ = 1000;
    bool enabled_ = false;
    UINT_PTR id_ = 0;
};
