#include "platform/CabIntf.h"

#include "platform/BindingU.h"
#include "platform/SysUtilsU.h"

#include <mutex>

namespace {

template <typename F> void Bind(HMODULE module, const char* name, F& fn)
{
    fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!fn) {
        const DWORD code = GetLastError();
        FreeLibrary(module);
        RaiseSystemError(code ? code : ERROR_PROC_NOT_FOUND);
    }
}

// Owns the bound library for the life of the process.
struct TCabinetLibrary {
    std::mutex Lock;
    TCabinetFunctions Functions;
    ~TCabinetLibrary()
    {
        if (Functions.Module)
            FreeLibrary(Functions.Module);
    }
};

TCabinetLibrary& Library()
{
    static TCabinetLibrary library;
    return library;
}

} // namespace

TCabinetFunctions BindCabinetFunctions(const std::wstring& LibraryPath)
{
    TCabinetFunctions f;
    f.Module = LoadLibraryW(LibraryPath.c_str());
    if (!f.Module)
        RaiseLastOSError();
    Bind(f.Module, "FCICreate", f.FCICreate);
    Bind(f.Module, "FCIAddFile", f.FCIAddFile);
    Bind(f.Module, "FCIFlushCabinet", f.FCIFlushCabinet);
    Bind(f.Module, "FCIFlushFolder", f.FCIFlushFolder);
    Bind(f.Module, "FCIDestroy", f.FCIDestroy);
    Bind(f.Module, "FDICreate", f.FDICreate);
    Bind(f.Module, "FDIIsCabinet", f.FDIIsCabinet);
    Bind(f.Module, "FDICopy", f.FDICopy);
    Bind(f.Module, "FDIDestroy", f.FDIDestroy);
    return f;
}

const TCabinetFunctions& CabinetFunctions()
{
    TCabinetLibrary& library = Library();
    std::lock_guard lock(library.Lock);
    if (!library.Functions.Module)
        library.Functions = BindCabinetFunctions(SystemFolderPath(L"cabinet.dll"));
    return library.Functions;
}
