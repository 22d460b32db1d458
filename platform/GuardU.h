#pragma once
// The guard: every place Windows calls into us (window and dialog procedures,
// thread entries, synchronised calls, timers, enumerations, COM and cabinet
// callbacks, destructors that do work) runs its body through Guard. Under this
// toolchain an exception that reaches a Win32 frame ends the process, so
// nothing may pass a boundary.

#include <exception>
#include <utility>

// Receives the text of every exception a guard swallowed. The default hook
// hands it to Log (category kGuardLogCategory, level kGuardLogLevel).
using TGuardHook = void (*)(const char* text);

// Sets the hook; nullptr restores the default. Returns the previous hook.
TGuardHook SetGuardHook(TGuardHook hook) noexcept;

// Hands a swallowed exception's text to the hook; never throws.
void ReportGuarded(const char* text) noexcept;

// Runs fn, swallowing every exception. True when fn returned normally.
template <typename F> bool Guard(F&& fn) noexcept
{
    try {
        std::forward<F>(fn)();
        return true;
    } catch (const std::exception& e) {
        ReportGuarded(e.what());
    } catch (...) {
        ReportGuarded("unknown exception");
    }
    return false;
}
