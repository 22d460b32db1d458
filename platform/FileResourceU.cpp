#include "platform/FileResourceU.h"

#include "platform/FileUtilsU.h"

#include <type_traits>

namespace {

struct TModuleReleaser {
    void operator()(HMODULE Module) const noexcept
    {
        if (Module)
            FreeLibrary(Module);
    }
};
using TDataModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, TModuleReleaser>;

} // namespace

bool ReadResourceText(HMODULE Module, const std::string& Name, std::string& Text)
{
    HRSRC info = FindResourceA(Module, Name.c_str(), MAKEINTRESOURCEA(10)); // RT_RCDATA
    HGLOBAL loaded = info ? LoadResource(Module, info) : nullptr;
    const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!data)
        return false;
    const DWORD size = SizeofResource(Module, info);
    std::string_view bytes(data, size);
    Text.assign(bytes.substr(0, bytes.find('\0')));
    return true;
}

bool LoadResourceStrings(const std::string& Name, TStringList* Strings)
{
    if (!Strings)
        return false;
    std::string text;
    if (!ReadResourceText(GetModuleHandleW(nullptr), Name, text))
        return false;
    Strings->SetText(text);
    return true;
}

bool LoadModuleResourceStrings(const std::string& FileName, const std::string& Name,
                               std::unique_ptr<TStringList>& Strings)
{
    if (Strings)
        Strings->Clear();
    else
        Strings = std::make_unique<TStringList>();

    std::string text;
    if (FileName.empty()) {
        if (!ReadResourceText(GetModuleHandleW(nullptr), Name, text))
            return false;
    } else {
        if (!FileExistsEx(FileName))
            return false;
        TDataModule module(LoadLibraryExA(FileName.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        if (!module || !ReadResourceText(module.get(), Name, text))
            return false;
    }
    Strings->SetText(text);
    return true;
}
