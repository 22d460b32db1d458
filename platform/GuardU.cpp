#include "platform/GuardU.h"

#include "platform/LogU.h"

#include <windows.h>

#include <atomic>

namespace {

// The default hook itself calls Log rather than Log installing a hook at start:
// Log's sinks are constant-initialised, so a guard that fires during another
// unit's static initialisation, before main or in a test program that never
// installs anything, still reaches the log, and SetGuardHook(nullptr) goes
// back to it. The log unit needs nothing of the guard, so no cycle forms.
void DefaultGuardHook(const char* text)
{
    Log(text, kGuardLogCategory, kGuardLogLevel);
}

std::atomic<TGuardHook> gHook{&DefaultGuardHook};

} // namespace

TGuardHook SetGuardHook(TGuardHook hook) noexcept
{
    return gHook.exchange(hook ? hook : &DefaultGuardHook);
}

void ReportGuarded(const char* text) noexcept
{
    try {
        gHook.load()(text ? text : "");
    } catch (...) {
        // A hook that throws must not take the process with it.
    }
}
