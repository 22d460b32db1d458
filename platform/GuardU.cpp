#include "platform/GuardU.h"

#include <windows.h>

#include <atomic>

namespace {

void DefaultGuardHook(const char* text)
{
    OutputDebugStringA(text);
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
