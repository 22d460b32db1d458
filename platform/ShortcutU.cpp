#include "platform/ShortcutU.h"

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

std::wstring UpperExtension(const std::wstring& FileName)
{
    const size_t dot = FileName.find_last_of(L".\\:");
    if (dot == std::wstring::npos || FileName[dot] != L'.')
        return {};
    std::wstring extension = FileName.substr(dot);
    CharUpperBuffW(extension.data(), static_cast<DWORD>(extension.size()));
    return extension;
}

std::wstring TrimAtNullW(const wchar_t* Text, size_t Size)
{
    std::wstring_view view(Text, Size);
    return std::wstring(view.substr(0, view.find(L'\0')));
}

// Read through the wide interface: the 8-bit one turns every character that
// the code page lacks into "?" or a look-alike, and the path is then another.
std::wstring ReadTarget(const std::wstring& FileName, bool WithArguments)
{
    TComRef<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.put())))
        return {};
    TComRef<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put())))
        return {};
    if (FAILED(file->Load(FileName.c_str(), STGM_READ)))
        return {};

    wchar_t path[kLinkBufferChars] = {};
    if (link->GetPath(path, kLinkBufferChars, nullptr, SLGP_UNCPRIORITY) != S_OK)
        return {};
    std::wstring target = TrimAtNullW(path, kLinkBufferChars);
    if (target.empty() || !WithArguments)
        return target;

    wchar_t args[kLinkBufferChars] = {};
    if (FAILED(link->GetArguments(args, kLinkBufferChars)))
        args[0] = L'\0';
    return L"\"" + target + L"\" " + TrimAtNullW(args, kLinkBufferChars);
}

} // namespace

std::wstring GetShortcutTargetW(const std::wstring& FileName, bool WithArguments)
{
    try {
        const DWORD attributes = GetFileAttributesW(FileName.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            UpperExtension(FileName) != L".LNK")
            return {};
        return ReadTarget(FileName, WithArguments);
    } catch (...) {
        return {};
    }
}

std::string GetShortcutTarget(const std::string& FileName, bool WithArguments)
{
    try {
        return AnsiFromWide(GetShortcutTargetW(WideFromAnsi(FileName), WithArguments));
    } catch (...) {
        return {};
    }
}
