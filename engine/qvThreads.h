#pragma once
// The worker thread that runs one scan or one repair of an engine root outside
// the GUI thread, hands every progress report to the GUI's progress handler
// through the synchronised call and returns its answer (go on or stop) to the
// engine, and calls the end handler in the GUI thread when the work is done.
// A repair can be wrapped in a system restore point.
//
// Lifetime: created suspended with new, started by the caller, frees itself
// when its work ends (take OpenWaitHandle before Start to wait for it). It
// shares the ownership of its root for its whole run, so a root whose owner
// lets go of it meanwhile is freed only when the worker ends, and it clears
// the root's OnProgress before it frees itself. One worker runs at a time.
//
// The stop answer latches: after the first false answer, a termination
// request or RequestStop, every later report is refused at once without
// calling the GUI thread, so the engine's loops end at their next report and
// a restore point is cancelled. The per-key and per-item loops read the latch
// at every key or item (the root's OnStopCheck) and call the GUI thread only
// when a report is due, so a stop asked for from the GUI side between two
// reports is honoured at the next key or item. A pause is a progress handler that does not return yet: the
// worker waits inside the synchronised call.

#include "engine/qvClasses.h"
#include "platform/ThreadU.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Modes and the category flags of a repair.
inline constexpr uint8_t kModeScan = 1;
inline constexpr uint8_t kModeRepair = 3;
inline constexpr uint8_t kRepairFix = 2;
inline constexpr uint8_t kRepairBoost = 4;
inline constexpr uint8_t kRepairClean = 8;
// What the wizard passes for a scan.
inline constexpr uint8_t kScanFlags = kRepairFix | kRepairBoost | kRepairClean;

// The restore-point calls of a repair; tests put a recording fake in.
class TqvRestorePoints {
public:
    virtual ~TqvRestorePoints() = default;
    // Opens a point; True only when one was made.
    virtual bool Begin(const std::string& DescriptionAnsi, int EventType, int PointType) = 0;
    virtual bool End(int EventType, int PointType) = 0;
    virtual bool Cancel(int EventType) = 0;
};
// The system's restore points. Before its first opening it sets the process's
// COM security once, which System Restore needs to call back.
TqvRestorePoints& SystemRestorePoints();

// What the wizard asks for a repair: the setting CREATE_SYSTEMRP, and System
// Restore not disabled.
bool RestorePointWanted();

class TqvExecThread : public TThread {
public:
    using TDoneEvent = std::function<void(TqvExecThread& Sender)>;
    using TProgressEvent = std::function<bool(const TqvUIStatus& Status)>;

    // Stores the arguments, resets the status copy and sets continue.
    // RestorePoints null: the system's. DoProgress becomes the root's
    // OnProgress when the work starts and is taken off before it ends.
    TqvExecThread(std::shared_ptr<TqvMain> Main, bool RestorePoint, TDoneEvent OnDone,
                  TProgressEvent OnProgress, uint8_t Flags, uint8_t Mode,
                  TqvRestorePoints* RestorePoints = nullptr);

    std::shared_ptr<TqvMain> Main;
    uint8_t Mode;
    uint8_t Flags;
    // The record the progress handler receives; written by the worker only
    // before a synchronised call.
    TqvUIStatus Status;
    TDoneEvent OnDone;
    TProgressEvent OnProgress;
    bool RestorePoint;
    // False once the handler said stop, the thread was asked to terminate or
    // RequestStop was called.
    std::atomic<bool> Continue{true};
    // Asks the work to stop at its next key or item, from any thread.
    void RequestStop() noexcept { Continue = false; }
    // The wanted restore point could not be opened (readable from OnDone):
    // the repair went on, guarded by its registry backups alone.
    bool RestorePointFailed = false;

    // The engine's progress hook, on the worker thread.
    bool DoProgress(const TqvUIStatus& EngineStatus);

protected:
    void Execute() override;

private:
    void Repair();
    TqvRestorePoints* restorePoints_;
};
