#pragma once
// The FCI and FDI functions of the system's cabinet.dll, bound at the first
// use: the library is loaded by full path from the system folder, never
// through the search path, and released at program end.

#include <windows.h>
#include <fci.h>
#include <fdi.h>

#include <string>

struct TCabinetFunctions {
    HMODULE Module = nullptr;
    decltype(&::FCICreate) FCICreate = nullptr;
    decltype(&::FCIAddFile) FCIAddFile = nullptr;
    decltype(&::FCIFlushCabinet) FCIFlushCabinet = nullptr;
    decltype(&::FCIFlushFolder) FCIFlushFolder = nullptr;
    decltype(&::FCIDestroy) FCIDestroy = nullptr;
    decltype(&::FDICreate) FDICreate = nullptr;
    decltype(&::FDIIsCabinet) FDIIsCabinet = nullptr;
    decltype(&::FDICopy) FDICopy = nullptr;
    decltype(&::FDIDestroy) FDIDestroy = nullptr;
};

// The bound functions of the system's cabinet.dll; bound on the first call
// (thread-safe). A missing library or function raises ESystemError with the
// failed call's code, and the next call tries again.
const TCabinetFunctions& CabinetFunctions();

// Loads LibraryPath and binds the nine functions; raises ESystemError with the
// failed call's code (the library is released again). The caller owns Module.
TCabinetFunctions BindCabinetFunctions(const std::wstring& LibraryPath);
