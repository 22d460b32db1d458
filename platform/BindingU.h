#pragma once
// Run-time binding of system functions: DLLs are loaded by full path from the
// system folder, never by bare name through the search path. The quiet form
// gives null when the DLL or function is missing ("bound by name at first use
// and skipped when missing"); the raising form throws EBindingError with
// exactly "Library not found: " + library or "Function not found: " + function.

#include <windows.h>

#include <mutex>
#include <stdexcept>
#include <string>

class EBindingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Full path of a file in the system folder (GetSystemDirectoryW).
std::wstring SystemFolderPath(const wchar_t* fileName);

// One system DLL, loaded at first use (thread-safe); never freed.
class TSystemLibrary {
public:
    explicit TSystemLibrary(const char* name) : name_(name) {}
    TSystemLibrary(const TSystemLibrary&) = delete;
    TSystemLibrary& operator=(const TSystemLibrary&) = delete;

    // Null when the DLL is missing. Already-loaded system DLLs are taken as they are.
    HMODULE Handle();
    // Throws "Library not found: " + name when missing.
    HMODULE Require();
    const char* Name() const { return name_; }

private:
    const char* name_;
    HMODULE module_ = nullptr;
    std::once_flag once_;
};

// The libraries every unit shares.
TSystemLibrary& Kernel32Library();
TSystemLibrary& Advapi32Library();
TSystemLibrary& Shell32Library();
TSystemLibrary& User32Library();
TSystemLibrary& NtdllLibrary();

// A function of a system library, typed with decltype:
//   static TBoundProc<decltype(&::IsWow64Process)> pIsWow64Process{Kernel32Library(), "IsWow64Process"};
//   if (auto fn = pIsWow64Process.Get()) fn(...);
template <typename F>
class TBoundProc {
public:
    TBoundProc(TSystemLibrary& library, const char* name) : library_(library), name_(name) {}
    TBoundProc(const TBoundProc&) = delete;
    TBoundProc& operator=(const TBoundProc&) = delete;

    // Quiet: null when the library or the function is missing.
    F Get()
    {
        std::call_once(once_, [this] {
            if (HMODULE module = library_.Handle())
                fn_ = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name_)));
        });
        return fn_;
    }
    // Raising: "Library not found: " + library, "Function not found: " + function.
    F Require()
    {
        library_.Require();
        if (F fn = Get())
            return fn;
        throw EBindingError(std::string("Function not found: ") + name_);
    }
    explicit operator bool() { return Get() != nullptr; }

private:
    TSystemLibrary& library_;
    const char* name_;
    F fn_ = nullptr;
    std::once_flag once_;
};
