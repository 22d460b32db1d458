#include "app/BrowserHostU.h"

#include "platform/GuardU.h"
#include "platform/LogU.h"

namespace BrowserHostU {

TFramelessIE::TFramelessIE() = default;

TFramelessIE::~TFramelessIE()
{
    Guard([this] { Close(); });
}

bool TFramelessIE::Create(HWND Parent, const RECT& Bounds)
{
    if (object_)
        return true;
    parent_ = Parent;
    bounds_ = Bounds;
    IOleObject* object = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                                  reinterpret_cast<void**>(&object));
    if (FAILED(hr) || !object) {
        Log("Browser host: no browser object (" + std::to_string(static_cast<unsigned long>(hr)) +
                ")",
            1, 4);
        return false;
    }
    object_ = object;
    hr = object_->SetClientSite(static_cast<IOleClientSite*>(this));
    if (SUCCEEDED(hr))
        hr = object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(this),
                             0, parent_, &bounds_);
    if (SUCCEEDED(hr))
        hr = object_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_));
    if (FAILED(hr) || !browser_) {
        Log("Browser host: the browser does not go in place (" +
                std::to_string(static_cast<unsigned long>(hr)) + ")",
            1, 4);
        Close();
        return false;
    }
    BrowserCreated();
    return true;
}

void TFramelessIE::SetBounds(const RECT& Bounds)
{
    bounds_ = Bounds;
    if (!object_)
        return;
    IOleInPlaceObject* inPlace = nullptr;
    if (SUCCEEDED(
            object_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(&inPlace))) &&
        inPlace) {
        inPlace->SetObjectRects(&bounds_, &bounds_);
        inPlace->Release();
    }
}

void TFramelessIE::Close()
{
    if (browser_) {
        browser_->Stop();
        browser_->Release();
        browser_ = nullptr;
    }
    if (object_) {
        IOleObject* object = object_;
        object_ = nullptr;
        object->Close(OLECLOSE_NOSAVE);
        object->SetClientSite(nullptr);
        object->Release();
    }
}

// --- IUnknown

STDMETHODIMP TFramelessIE::QueryInterface(REFIID Iid, void** Object)
{
    if (!Object)
        return E_POINTER;
    *Object = nullptr;
    if (IsEqualIID(Iid, IID_IUnknown) || IsEqualIID(Iid, IID_IOleClientSite))
        *Object = static_cast<IOleClientSite*>(this);
    else if (IsEqualIID(Iid, IID_IOleWindow) || IsEqualIID(Iid, IID_IOleInPlaceSite))
        *Object = static_cast<IOleInPlaceSite*>(this);
    else if (IsEqualIID(Iid, IID_IOleInPlaceUIWindow) || IsEqualIID(Iid, IID_IOleInPlaceFrame))
        *Object = static_cast<IOleInPlaceFrame*>(this);
    else if (IsEqualIID(Iid, IID_IDocHostUIHandler))
        *Object = static_cast<IDocHostUIHandler*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) TFramelessIE::AddRef()
{
    return ++refs_;
}

STDMETHODIMP_(ULONG) TFramelessIE::Release()
{
    const ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

// --- IOleClientSite

STDMETHODIMP TFramelessIE::SaveObject()
{
    return E_NOTIMPL;
}

STDMETHODIMP TFramelessIE::GetMoniker(DWORD, DWORD, IMoniker** Moniker)
{
    if (Moniker)
        *Moniker = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP TFramelessIE::GetContainer(IOleContainer** Container)
{
    if (Container)
        *Container = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP TFramelessIE::ShowObject()
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::OnShowWindow(BOOL)
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::RequestNewObjectLayout()
{
    return E_NOTIMPL;
}

// --- IOleWindow

STDMETHODIMP TFramelessIE::GetWindow(HWND* Wnd)
{
    if (!Wnd)
        return E_POINTER;
    *Wnd = parent_;
    return parent_ ? S_OK : E_FAIL;
}

STDMETHODIMP TFramelessIE::ContextSensitiveHelp(BOOL)
{
    return E_NOTIMPL;
}

// --- IOleInPlaceSite

STDMETHODIMP TFramelessIE::CanInPlaceActivate()
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::OnInPlaceActivate()
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::OnUIActivate()
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::GetWindowContext(IOleInPlaceFrame** Frame, IOleInPlaceUIWindow** Doc,
                                            LPRECT PosRect, LPRECT ClipRect,
                                            LPOLEINPLACEFRAMEINFO FrameInfo)
{
    if (Frame) {
        *Frame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
    }
    if (Doc)
        *Doc = nullptr;
    if (PosRect)
        *PosRect = bounds_;
    if (ClipRect)
        *ClipRect = bounds_;
    if (FrameInfo) {
        // The caller sets cb; the rest is ours: no MDI, no accelerators.
        FrameInfo->fMDIApp = FALSE;
        FrameInfo->hwndFrame = parent_;
        FrameInfo->haccel = nullptr;
        FrameInfo->cAccelEntries = 0;
    }
    return S_OK;
}

STDMETHODIMP TFramelessIE::Scroll(SIZE)
{
    return E_NOTIMPL;
}

STDMETHODIMP TFramelessIE::OnUIDeactivate(BOOL)
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::OnInPlaceDeactivate()
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::DiscardUndoState()
{
    return E_NOTIMPL;
}

STDMETHODIMP TFramelessIE::DeactivateAndUndo()
{
    return E_NOTIMPL;
}

STDMETHODIMP TFramelessIE::OnPosRectChange(LPCRECT PosRect)
{
    if (PosRect)
        SetBounds(*PosRect);
    return S_OK;
}

// --- IOleInPlaceUIWindow, IOleInPlaceFrame

STDMETHODIMP TFramelessIE::GetBorder(LPRECT)
{
    return INPLACE_E_NOTOOLSPACE;
}

STDMETHODIMP TFramelessIE::RequestBorderSpace(LPCBORDERWIDTHS)
{
    return INPLACE_E_NOTOOLSPACE;
}

STDMETHODIMP TFramelessIE::SetBorderSpace(LPCBORDERWIDTHS)
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR)
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS)
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::SetMenu(HMENU, HOLEMENU, HWND)
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::RemoveMenus(HMENU)
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::SetStatusText(LPCOLESTR)
{
    return S_OK;
}

STDMETHODIMP TFramelessIE::EnableModeless(BOOL)
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::TranslateAccelerator(LPMSG, WORD)
{
    return S_FALSE;
}

// --- IDocHostUIHandler

STDMETHODIMP TFramelessIE::ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*)
{
    // Handled: the page gets no context menu.
    return S_OK;
}

STDMETHODIMP TFramelessIE::GetHostInfo(DOCHOSTUIINFO* Info)
{
    if (!Info)
        return E_POINTER;
    // cbSize is the caller's: it tells which version of the structure it
    // passed (20 bytes on 32-bit Windows), so it is kept.
    Info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER;
    Info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
    if (OnGetHostInfo) {
        HRESULT result = E_FAIL;
        if (!Guard([&] { result = OnGetHostInfo(*Info); }))
            return E_FAIL;
        return result;
    }
    return S_OK;
}

STDMETHODIMP TFramelessIE::ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*,
                                  IOleInPlaceFrame*, IOleInPlaceUIWindow*)
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::HideUI()
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::UpdateUI()
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::OnDocWindowActivate(BOOL)
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::OnFrameWindowActivate(BOOL)
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL)
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::TranslateAccelerator(LPMSG, const GUID*, DWORD)
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::GetOptionKeyPath(LPOLESTR*, DWORD)
{
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::GetDropTarget(IDropTarget*, IDropTarget** Result)
{
    // No drop target of ours: the page takes no drops.
    if (Result)
        *Result = nullptr;
    return S_OK;
}

STDMETHODIMP TFramelessIE::GetExternal(IDispatch** Dispatch)
{
    if (Dispatch)
        *Dispatch = nullptr;
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::TranslateUrl(DWORD, LPWSTR, LPWSTR* Result)
{
    if (Result)
        *Result = nullptr;
    return S_FALSE;
}

STDMETHODIMP TFramelessIE::FilterDataObject(IDataObject*, IDataObject** Result)
{
    if (Result)
        *Result = nullptr;
    return S_FALSE;
}

} // namespace BrowserHostU
