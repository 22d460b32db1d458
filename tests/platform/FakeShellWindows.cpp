// The C form of the COM interfaces: only the slots the code under test calls
// are filled, the rest stay null.
#define CINTERFACE
#define COBJMACROS
#include "FakeShellWindows.h"

#include <exdisp.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>

namespace fakeshell {
namespace {

int gLive = 0;
std::vector<std::string> gLog;

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; text && *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

// ---------------------------------------------------------------------------
// The browser behind an item

struct Browser {
    IWebBrowser2 iface;
    LONG refs;
    int index;
    HWND window;
    bool failHwnd;
};

HRESULT STDMETHODCALLTYPE BrowserQI(IWebBrowser2* self, REFIID iid, void** out)
{
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWebBrowser2)) {
        *out = self;
        self->lpVtbl->AddRef(self);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE BrowserAddRef(IWebBrowser2* self)
{
    return static_cast<ULONG>(++reinterpret_cast<Browser*>(self)->refs);
}
ULONG STDMETHODCALLTYPE BrowserRelease(IWebBrowser2* self)
{
    auto* b = reinterpret_cast<Browser*>(self);
    const LONG left = --b->refs;
    if (left == 0) {
        --gLive;
        delete b;
    }
    return static_cast<ULONG>(left);
}
HRESULT STDMETHODCALLTYPE BrowserHwnd(IWebBrowser2* self, SHANDLE_PTR* out)
{
    auto* b = reinterpret_cast<Browser*>(self);
    if (b->failHwnd)
        return E_FAIL;
    *out = reinterpret_cast<SHANDLE_PTR>(b->window);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE BrowserBar(IWebBrowser2* self, VARIANT* clsid, VARIANT* show, VARIANT*)
{
    auto* b = reinterpret_cast<Browser*>(self);
    const std::string id = clsid && clsid->vt == VT_BSTR ? Narrow(clsid->bstrVal) : "?";
    const char* shown = show && show->vt == VT_BOOL ? (show->boolVal ? "true" : "false") : "?";
    gLog.push_back("bar " + std::to_string(b->index) + " " + id + " " + shown);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE BrowserQuit(IWebBrowser2* self)
{
    gLog.push_back("quit " + std::to_string(reinterpret_cast<Browser*>(self)->index));
    return S_OK;
}

IWebBrowser2Vtbl MakeBrowserVtbl()
{
    IWebBrowser2Vtbl v;
    std::memset(&v, 0, sizeof v);
    v.QueryInterface = BrowserQI;
    v.AddRef = BrowserAddRef;
    v.Release = BrowserRelease;
    v.get_HWND = BrowserHwnd;
    v.ShowBrowserBar = BrowserBar;
    v.Quit = BrowserQuit;
    return v;
}
IWebBrowser2Vtbl gBrowserVtbl = MakeBrowserVtbl();

// ---------------------------------------------------------------------------
// An item of the list

struct ItemObject {
    IDispatch iface;
    LONG refs;
    int index;
    Item item;
};

HRESULT STDMETHODCALLTYPE ItemQI(IDispatch* self, REFIID iid, void** out)
{
    auto* it = reinterpret_cast<ItemObject*>(self);
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch)) {
        *out = self;
        self->lpVtbl->AddRef(self);
        return S_OK;
    }
    if (IsEqualIID(iid, IID_IWebBrowser2) && it->item.kind != ItemKind::NotABrowser) {
        auto* b = new Browser{{&gBrowserVtbl}, 1, it->index, it->item.window,
                              it->item.kind == ItemKind::FailingHwnd};
        ++gLive;
        *out = &b->iface;
        return S_OK;
    }
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE ItemAddRef(IDispatch* self)
{
    return static_cast<ULONG>(++reinterpret_cast<ItemObject*>(self)->refs);
}
ULONG STDMETHODCALLTYPE ItemRelease(IDispatch* self)
{
    auto* it = reinterpret_cast<ItemObject*>(self);
    const LONG left = --it->refs;
    if (left == 0) {
        --gLive;
        delete it;
    }
    return static_cast<ULONG>(left);
}

IDispatchVtbl MakeItemVtbl()
{
    IDispatchVtbl v;
    std::memset(&v, 0, sizeof v);
    v.QueryInterface = ItemQI;
    v.AddRef = ItemAddRef;
    v.Release = ItemRelease;
    return v;
}
IDispatchVtbl gItemVtbl = MakeItemVtbl();

// ---------------------------------------------------------------------------
// The list

struct List {
    IShellWindows iface;
    LONG refs;
    std::vector<Item> items;
};

HRESULT STDMETHODCALLTYPE ListQI(IShellWindows* self, REFIID iid, void** out)
{
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IShellWindows)) {
        *out = self;
        self->lpVtbl->AddRef(self);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE ListAddRef(IShellWindows* self)
{
    return static_cast<ULONG>(++reinterpret_cast<List*>(self)->refs);
}
ULONG STDMETHODCALLTYPE ListRelease(IShellWindows* self)
{
    auto* l = reinterpret_cast<List*>(self);
    const LONG left = --l->refs;
    if (left == 0) {
        --gLive;
        delete l;
    }
    return static_cast<ULONG>(left);
}
HRESULT STDMETHODCALLTYPE ListCount(IShellWindows* self, LONG* count)
{
    *count = static_cast<LONG>(reinterpret_cast<List*>(self)->items.size());
    return S_OK;
}
HRESULT STDMETHODCALLTYPE ListItem(IShellWindows* self, VARIANT index, IDispatch** out)
{
    auto* l = reinterpret_cast<List*>(self);
    *out = nullptr;
    if (index.vt != VT_I4 || index.lVal < 0 || index.lVal >= static_cast<LONG>(l->items.size()))
        return E_INVALIDARG;
    const Item& item = l->items[static_cast<size_t>(index.lVal)];
    if (item.kind == ItemKind::FailingItem)
        return E_FAIL;
    auto* it = new ItemObject{{&gItemVtbl}, 1, static_cast<int>(index.lVal), item};
    ++gLive;
    *out = &it->iface;
    return S_OK;
}

IShellWindowsVtbl MakeListVtbl()
{
    IShellWindowsVtbl v;
    std::memset(&v, 0, sizeof v);
    v.QueryInterface = ListQI;
    v.AddRef = ListAddRef;
    v.Release = ListRelease;
    v.get_Count = ListCount;
    v.Item = ListItem;
    return v;
}
IShellWindowsVtbl gListVtbl = MakeListVtbl();

} // namespace

IShellWindows* MakeList(const std::vector<Item>& items)
{
    auto* l = new List{{&gListVtbl}, 1, items};
    ++gLive;
    return &l->iface;
}

void ReleaseList(IShellWindows* list)
{
    if (list)
        list->lpVtbl->Release(list);
}

std::vector<std::string>& Log()
{
    return gLog;
}

int LiveObjects()
{
    return gLive;
}

} // namespace fakeshell
