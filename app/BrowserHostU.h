#pragma once
// The frameless web-browser host: Internet Explorer's browser object in
// place inside a window of ours, as a client site that says "no 3-D border,
// no context menu, no drop target, nothing external" to the document it
// loads. The off-screen page renderer derives from it.
//
// Written by hand against the system's interface declarations (the
// toolchain has no template library for COM). One object per page: the
// creator holds the first reference and calls Close before its Release;
// the browser holds further references while it is in place. GUI thread
// only, with COM initialised by the caller.

#include <windows.h>
#include <exdisp.h>
#include <mshtmhst.h>
#include <oleidl.h>

#include <atomic>
#include <functional>

namespace BrowserHostU {

// Adjusts the host information the document asks for; its result is the
// answer of GetHostInfo.
using THostInfoEvent = std::function<HRESULT(DOCHOSTUIINFO& Info)>;

class TFramelessIE : public IOleClientSite,
                     public IOleInPlaceSite,
                     public IOleInPlaceFrame,
                     public IDocHostUIHandler {
public:
    TFramelessIE();
    TFramelessIE(const TFramelessIE&) = delete;
    TFramelessIE& operator=(const TFramelessIE&) = delete;

    THostInfoEvent OnGetHostInfo;

    // Creates the browser object in place inside Parent at the rectangle;
    // false (and nothing held) when it cannot be made.
    bool Create(HWND Parent, const RECT& Bounds);
    // The browser, once created (not an added reference).
    IWebBrowser2* Browser() const { return browser_; }
    // Moves and resizes the browser inside its parent.
    void SetBounds(const RECT& Bounds);
    // Takes the browser out of place and lets it go; safe to call twice.
    virtual void Close();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID Iid, void** Object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IOleClientSite
    STDMETHODIMP SaveObject() override;
    STDMETHODIMP GetMoniker(DWORD Assign, DWORD Which, IMoniker** Moniker) override;
    STDMETHODIMP GetContainer(IOleContainer** Container) override;
    STDMETHODIMP ShowObject() override;
    STDMETHODIMP OnShowWindow(BOOL Show) override;
    STDMETHODIMP RequestNewObjectLayout() override;

    // IOleWindow (of both the site and the frame)
    STDMETHODIMP GetWindow(HWND* Wnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL EnterMode) override;

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override;
    STDMETHODIMP OnInPlaceActivate() override;
    STDMETHODIMP OnUIActivate() override;
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** Frame, IOleInPlaceUIWindow** Doc,
                                  LPRECT PosRect, LPRECT ClipRect,
                                  LPOLEINPLACEFRAMEINFO FrameInfo) override;
    STDMETHODIMP Scroll(SIZE Extent) override;
    STDMETHODIMP OnUIDeactivate(BOOL Undoable) override;
    STDMETHODIMP OnInPlaceDeactivate() override;
    STDMETHODIMP DiscardUndoState() override;
    STDMETHODIMP DeactivateAndUndo() override;
    STDMETHODIMP OnPosRectChange(LPCRECT PosRect) override;

    // IOleInPlaceUIWindow and IOleInPlaceFrame: there is no menu, tool
    // space or status line.
    STDMETHODIMP GetBorder(LPRECT Border) override;
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS Widths) override;
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS Widths) override;
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* Object, LPCOLESTR Name) override;
    STDMETHODIMP InsertMenus(HMENU Shared, LPOLEMENUGROUPWIDTHS Widths) override;
    STDMETHODIMP SetMenu(HMENU Shared, HOLEMENU OleMenu, HWND ActiveObject) override;
    STDMETHODIMP RemoveMenus(HMENU Shared) override;
    STDMETHODIMP SetStatusText(LPCOLESTR Text) override;
    STDMETHODIMP EnableModeless(BOOL Enable) override;
    STDMETHODIMP TranslateAccelerator(LPMSG Msg, WORD Id) override;

    // IDocHostUIHandler
    STDMETHODIMP ShowContextMenu(DWORD Id, POINT* Point, IUnknown* Target,
                                 IDispatch* Object) override;
    STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* Info) override;
    STDMETHODIMP ShowUI(DWORD Id, IOleInPlaceActiveObject* Active, IOleCommandTarget* Command,
                        IOleInPlaceFrame* Frame, IOleInPlaceUIWindow* Doc) override;
    STDMETHODIMP HideUI() override;
    STDMETHODIMP UpdateUI() override;
    // EnableModeless is shared with the frame: S_FALSE serves both.
    STDMETHODIMP OnDocWindowActivate(BOOL Activate) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL Activate) override;
    STDMETHODIMP ResizeBorder(LPCRECT Border, IOleInPlaceUIWindow* Window,
                              BOOL FrameWindow) override;
    STDMETHODIMP TranslateAccelerator(LPMSG Msg, const GUID* Group, DWORD Id) override;
    STDMETHODIMP GetOptionKeyPath(LPOLESTR* Key, DWORD Reserved) override;
    STDMETHODIMP GetDropTarget(IDropTarget* Target, IDropTarget** Result) override;
    STDMETHODIMP GetExternal(IDispatch** Dispatch) override;
    STDMETHODIMP TranslateUrl(DWORD Translate, LPWSTR Url, LPWSTR* Result) override;
    STDMETHODIMP FilterDataObject(IDataObject* Object, IDataObject** Result) override;

protected:
    virtual ~TFramelessIE();
    // The browser was created in place: a derived class connects to it.
    virtual void BrowserCreated() {}

private:
    std::atomic<ULONG> refs_{1};
    HWND parent_ = nullptr;
    RECT bounds_{};
    IOleObject* object_ = nullptr;
    IWebBrowser2* browser_ = nullptr;
};

} // namespace BrowserHostU
