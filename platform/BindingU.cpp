#include "platform/BindingU.h"

#include <string>

namespace {

std::wstring WideFromAsciiName(const char* name)
{
    // Library names are plain ASCII; the system code page covers them.
    std::wstring out;
    const int n = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (n > 1) {
        out.resize(static_cast<size_t>(n));
        MultiByteToWideChar(CP_ACP, 0, name, -1, out.data(), n);
        out.resize(static_cast<size_t>(n - 1));
    }
    return out;
}

} // namespace

std::wstring SystemFolderPath(const wchar_t* fileName)
{
    std::wstring dir;
    UINT n = GetSystemDirectoryW(nullptr, 0);
    while (n != 0) {
        dir.resize(n);
        const UINT got = GetSystemDirectoryW(dir.data(), n);
        if (got < n) {
            dir.resize(got);
            break;
        }
        n = got;
    }
    if (dir.empty())
        return {};
    if (dir.back() != L'\\')
        dir += L'\\';
    return dir + (fileName ? fileName : L"");
}

HMODULE TSystemLibrary::Handle()
{
    std::call_once(once_, [this] {
        // Only ever by full path: a bare name would search the program's folder
        // and the current directory first, where a planted DLL could wait.
        const std::wstring path = SystemFolderPath(WideFromAsciiName(name_).c_str());
        if (path.empty() || name_[0] == '\0')
            return;
        HMODULE module = GetModuleHandleW(path.c_str());
        if (module == nullptr)
            module = LoadLibraryW(path.c_str());
        module_ = module;
    });
    return module_;
}

HMODULE TSystemLibrary::Require()
{
    if (HMODULE module = Handle())
        return module;
    throw EBindingError(std::string("Library not found: ") + name_);
}

TSystemLibrary& Kernel32Library()
{
    static TSystemLibrary library{"kernel32.dll"};
    return library;
}

TSystemLibrary& Advapi32Library()
{
    static TSystemLibrary library{"advapi32.dll"};
    return library;
}

TSystemLibrary& Shell32Library()
{
    static TSystemLibrary library{"shell32.dll"};
    return library;
}

TSystemLibrary& User32Library()
{
    static TSystemLibrary library{"user32.dll"};
    return library;
}

TSystemLibrary& NtdllLibrary()
{
    static TSystemLibrary library{"ntdll.dll"};
    return library;
}
