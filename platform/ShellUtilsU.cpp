#include "platform/ShellUtilsU.h"

#include "platform/GuardU.h"
#include "platform/SysUtilsU.h"

#include <shellapi.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<TShellExecuteCall> gShellExecute{nullptr};

bool ShellExecuteOk(HWND Wnd, const char* Verb, const std::string& File, const std::string& Params,
                    const std::string& Dir, INT Show)
{
    TShellExecuteCall call = gShellExecute.load();
    if (!call)
        call = ::ShellExecuteA;
    const HINSTANCE result = call(Wnd, Verb, File.c_str(), Params.empty() ? nullptr : Params.c_str(),
                                  Dir.empty() ? nullptr : Dir.c_str(), Show);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

bool HasPrefixText(std::string_view Text, std::string_view Prefix)
{
    return Text.size() >= Prefix.size() && SameTextAscii(Text.substr(0, Prefix.size()), Prefix);
}

bool IsIEFrame(HWND Wnd)
{
    char name[16] = {};
    const int n = GetClassNameA(Wnd, name, static_cast<int>(sizeof name));
    return n == 7 && std::string_view(name, 7) == "IEFrame";
}

void CloseOne(IShellWindows* Windows, long Index, const std::wstring& BarClsid)
{
    VARIANT index{};
    index.vt = VT_I4;
    index.lVal = Index;
    IDispatch* raw = nullptr;
    if (FAILED(Windows->Item(index, &raw)) || !raw)
        return;
    TComOwner<IDispatch> item(raw);
    IWebBrowser2* rawBrowser = nullptr;
    if (FAILED(item->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&rawBrowser))) ||
        !rawBrowser)
        return;
    TComOwner<IWebBrowser2> browser(rawBrowser);
    SHANDLE_PTR handle = 0;
    if (FAILED(browser->get_HWND(&handle)))
        return;
    HWND wnd = reinterpret_cast<HWND>(handle);
    if (!IsIEFrame(wnd))
        return;
    if (!BarClsid.empty()) {
        Guard([&] {
            VARIANT clsid{};
            clsid.vt = VT_BSTR;
            clsid.bstrVal = SysAllocString(BarClsid.c_str());
            VARIANT show{};
            show.vt = VT_BOOL;
            show.boolVal = VARIANT_FALSE;
            VARIANT size{};
            browser->ShowBrowserBar(&clsid, &show, &size);
            VariantClear(&clsid);
        });
    }
    Guard([&] { browser->Quit(); });
    Guard([&] { PostMessageW(wnd, WM_QUIT, 0, 0); });
}

} // namespace

TShellExecuteCall SetShellExecuteCall(TShellExecuteCall Call) noexcept
{
    return gShellExecute.exchange(Call);
}

bool ShellOpen(const std::string& FileName, const std::string& Params, HWND Wnd,
               const std::string& Dir)
{
    return ShellExecuteOk(Wnd, "open", FileName, Params, Dir, SW_SHOW);
}

bool ShellRunAs(const std::string& FileName, const std::string& Params, HWND Wnd,
                const std::string& Dir)
{
    return ShellExecuteOk(Wnd, "runas", FileName, Params, Dir, SW_SHOW);
}

bool OpenUrl(const std::string& Url)
{
    const std::string url = Trim(Url);
    if (url.empty())
        return false;
    if (!IsWebUrl(url))
        return false;
    return ShellExecuteOk(nullptr, "open", url, std::string(), std::string(), SW_SHOWNORMAL);
}

bool IsIEWindowOpen()
{
    bool open = false;
    Guard([&] { open = FindWindowA("IEFrame", nullptr) != nullptr; });
    return open;
}

TComOwner<IShellWindows> CreateShellWindows()
{
    IShellWindows* windows = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows,
                                        reinterpret_cast<void**>(&windows));
    if (FAILED(hr) || !windows) {
        if (hr < 0) {
            char text[32] = {};
            std::snprintf(text, sizeof text, "%.6lX", static_cast<unsigned long>(hr));
            OutputDebugStringA(text);
        }
        return {};
    }
    return TComOwner<IShellWindows>(windows);
}

void CloseIEWindowsIn(IShellWindows* Windows, const std::wstring& BarClsid)
{
    if (!Windows)
        return;
    long count = 0;
    if (!Guard([&] {
            if (FAILED(Windows->get_Count(&count)))
                count = 0;
        }))
        return;
    for (long i = count - 1; i >= 0; --i)
        Guard([&] { CloseOne(Windows, i, BarClsid); });
}

void CloseIEWindows(const std::wstring& BarClsid)
{
    Guard([&] {
        TComOwner<IShellWindows> windows = CreateShellWindows();
        CloseIEWindowsIn(windows.get(), BarClsid);
    });
}

bool IsWebUrl(const std::string& Text)
{
    return HasPrefixText(Text, "http://") || HasPrefixText(Text, "https://");
}

std::string UrlFileName(const std::string& Url)
{
    std::string name = Url;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    const size_t query = name.find('?');
    if (query != std::string::npos)
        name.resize(query);
    return name;
}
