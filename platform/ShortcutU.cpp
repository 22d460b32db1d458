#include "platform/ShortcutU.h"

#include "platform/FileUtilsU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

namespace {

// Owns one interface pointer: released however the function is left.
template <typename I> class TComRef {
public:
    TComRef() noexcept = default;
    TComRef(const TComRef&) = delete;
    TComRef& operator=(const TComRef&) = delete;
    ~TComRef()
    {
        if (p_)
            p_->Release();
    }
    I* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void** put() noexcept { return reinterpret_cast<void**>(&p_); }

private:
    I* p_ = nullptr;
};

constexpr int kLinkBufferChars = MAX_PATH;

std::string UpperExtension(const std::string& FileName)
{
    size_t dot = LastDelimiter(FileName, ".\\:");
    if (dot == std::string::npos || FileName[dot] != '.')
        return {};
    return UpperCase(std::string_view(FileName).substr(dot));
}

std::string ReadTarget(const std::string& FileName, bool WithArguments)
{
    TComRef<IShellLinkA> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                link.put())))
        return {};
    TComRef<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put())))
        return {};
    std::wstring nameWide = WideFromAnsi(FileName);
    if (FAILED(file->Load(nameWide.c_str(), STGM_READ)))
        return {};

    char path[kLinkBufferChars] = {};
    if (link->GetPath(path, kLinkBufferChars, nullptr, SLGP_UNCPRIORITY) != S_OK)
        return {};
    std::string target = TrimAtNull(std::string_view(path, kLinkBufferChars));
    if (target.empty() || !WithArguments)
        return target;

    char args[kLinkBufferChars] = {};
    if (FAILED(link->GetArguments(args, kLinkBufferChars)))
        args[0] = '\0';
    return "\"" + target + "\" " + TrimAtNull(std::string_view(args, kLinkBufferChars));
}

} // namespace

std::string GetShortcutTarget(const std::string& FileName, bool WithArguments)
{
    try {
        if (!FileExistsEx(FileName) || UpperExtension(FileName) != ".LNK")
            return {};
        return ReadTarget(FileName, WithArguments);
    } catch (...) {
        return {};
    }
}
