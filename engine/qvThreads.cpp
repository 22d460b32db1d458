#include "engine/qvThreads.h"

#include "engine/qvCleanRep.h"
#include "platform/GuardU.h"
#include "platform/SystemRestoreU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <objbase.h>

#include <utility>

namespace {

// The process's COM security, set once: System Restore calls the process
// back, which the default security refuses. Another party may have set it
// already (RPC_E_TOO_LATE), which serves as well.
void InitializeComSecurityOnce()
{
    static std::atomic<bool> done{false};
    if (done)
        return;
    const HRESULT result =
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                             RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
    if (SUCCEEDED(result) || result == RPC_E_TOO_LATE)
        done = true;
}

class TSystemRestorePoints : public TqvRestorePoints {
public:
    bool Begin(const std::string& DescriptionAnsi, int EventType, int PointType) override
    {
        InitializeComSecurityOnce();
        return CreateRestorePoint(WideFromAnsi(DescriptionAnsi), EventType, PointType);
    }
    bool End(int EventType, int PointType) override
    {
        return EndRestorePoint(EventType, PointType);
    }
    bool Cancel(int EventType) override { return CancelRestorePoint(EventType); }
};

} // namespace

TqvRestorePoints& SystemRestorePoints()
{
    static TSystemRestorePoints points;
    return points;
}

bool RestorePointWanted()
{
    return Settings()->CREATE_SYSTEMRP && IsSystemRestoreEnabled();
}

TqvExecThread::TqvExecThread(std::shared_ptr<TqvMain> Root, bool WithRestorePoint, TDoneEvent Done,
                             TProgressEvent Progress, uint8_t RepairFlags, uint8_t WorkMode,
                             TqvRestorePoints* RestorePoints)
    : TThread(true), Main(std::move(Root)), Mode(WorkMode), Flags(RepairFlags),
      OnDone(std::move(Done)), OnProgress(std::move(Progress)), RestorePoint(WithRestorePoint),
      restorePoints_(RestorePoints ? RestorePoints : &SystemRestorePoints())
{
    ResetUIStatus(Status);
}

bool TqvExecThread::DoProgress(const TqvUIStatus& EngineStatus)
{
    TqvUIStatus copy = EngineStatus;
    if (Terminated() || !Continue)
        return false;
    Status = std::move(copy);
    Synchronize([this] {
        // Only ever cleared: a stop asked for meanwhile stands.
        if (Terminated() || (OnProgress && !OnProgress(Status)))
            Continue = false;
    });
    return Continue && !Terminated();
}

void TqvExecThread::Execute()
{
    // Every step runs whatever the one before it raised.
    Guard([] { EnsureCleanReportLoaded(); });
    HRESULT com = E_FAIL;
    Guard([&com] { com = CoInitialize(nullptr); });
    if (Main) {
        Guard([this] {
            // Hooked only while the work runs: a worker freed before it
            // started must leave nothing behind that the root would call.
            Main->OnProgress = [this](const TqvUIStatus& EngineStatus) {
                return DoProgress(EngineStatus);
            };
            Main->OnStopCheck = [this] { return !Terminated() && Continue; };
            Main->Aborted = false;
            if (Mode == kModeScan)
                Main->ScanAll();
            else if (Mode == kModeRepair)
                Repair();
        });
        Guard([this] { Main->Aborted = false; });
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    // The root may live on after this object is gone.
    Guard([this] {
        if (Main) {
            Main->OnProgress = nullptr;
            Main->OnStopCheck = nullptr;
        }
    });
    Guard([this] {
        if (OnDone)
            Synchronize([this] { OnDone(*this); });
    });
}

void TqvExecThread::Repair()
{
    bool opened = false;
    if (RestorePoint) {
        const bool fix = (Flags & kRepairFix) != 0;
        const std::wstring description =
            fix ? TranslateText(L"RestorePointNameFix", L"%BRAND% Registry Fix")
                : TranslateText(L"RestorePointNameClean", L"%BRAND% Speed Up and Clean Up");
        TqvUIStatus creating;
        ResetUIStatus(creating);
        creating.Caption =
            TranslateText(L"RestorePointCreating", L"Creating System Restore Point...");
        DoProgress(creating);
        Guard([&] {
            opened = restorePoints_->Begin(AnsiFromWide(description), kBeginSystemChange,
                                           kModifySettings);
        });
        if (!opened) {
            // The registry backups still guard the repair.
            RestorePointFailed = true;
            qvLog("Restore point not created");
        }
    }
    Guard([this] {
        if (Flags & kRepairFix)
            Main->Clean(kCategoryFix);
        if (Flags & kRepairBoost)
            Main->Clean(kCategoryBoost);
        if (Flags & kRepairClean)
            Main->Clean(kCategoryClean);
    });
    if (opened) {
        const TqvUIStatus last = Status;
        if (DoProgress(last))
            Guard([this] { restorePoints_->End(kEndSystemChange, kModifySettings); });
        else
            Guard([this] { restorePoints_->Cancel(kEndSystemChange); });
    }
}
