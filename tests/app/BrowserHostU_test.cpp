// The renderer's browser host through direct calls of its COM methods, as
// the browser would make them: under Wine the system's HTML document cannot
// be made and its view does not draw, so the host is proven here and the
// page rendering by the program's own renderer.

#include "app/BrowserHostU.h"
#include "app/qvFramelessIE.h"
#include "KorvTest.h"

#include <exdispid.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// The derived host, released when the test ends.
struct THost {
    qvFramelessIE::TFramelessIE* ie = new qvFramelessIE::TFramelessIE();
    ~THost()
    {
        ie->Close();
        EXPECT_EQ(0u, ie->Release()) << "a reference was left";
    }
    IDocHostUIHandler* Handler() const { return static_cast<IDocHostUIHandler*>(ie); }
    IDispatch* Sink() const { return static_cast<IDispatch*>(ie); }
};

// NavigateError as the browser fires it: five arguments, last first, the
// status inside a VARIANT by reference and Cancel as a Boolean by reference.
HRESULT FireNavigateError(IDispatch* Sink, LONG Status, VARIANT_BOOL& Cancel)
{
    VARIANT status;
    VariantInit(&status);
    status.vt = VT_I4;
    status.lVal = Status;
    VARIANT args[5];
    for (VARIANT& a : args)
        VariantInit(&a);
    args[0].vt = VT_BOOL | VT_BYREF;
    args[0].pboolVal = &Cancel;
    args[1].vt = VT_VARIANT | VT_BYREF;
    args[1].pvarVal = &status;
    args[2].vt = VT_BSTR; // the frame's name, empty
    args[3].vt = VT_BSTR; // the URL, empty here
    args[4].vt = VT_DISPATCH;
    DISPPARAMS params{args, nullptr, 5, 0};
    return Sink->Invoke(DISPID_NAVIGATEERROR, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                        nullptr, nullptr);
}

HRESULT FireNavigateComplete(IDispatch* Sink)
{
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[1].vt = VT_DISPATCH;
    DISPPARAMS params{args, nullptr, 2, 0};
    return Sink->Invoke(DISPID_NAVIGATECOMPLETE2, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                        nullptr, nullptr);
}

TEST(BrowserHost, GetHostInfoAsksForNoBorderAndKeepsTheCallersSize)
{
    THost host;
    DOCHOSTUIINFO info{};
    info.cbSize = 20; // the size a 32-bit caller passes
    info.dwFlags = 0xFFFF;
    info.dwDoubleClick = 3;
    EXPECT_EQ(S_OK, host.Handler()->GetHostInfo(&info));
    EXPECT_EQ(20u, info.cbSize);
    EXPECT_EQ(static_cast<DWORD>(DOCHOSTUIFLAG_NO3DBORDER), info.dwFlags);
    EXPECT_EQ(4u, info.dwFlags);
    EXPECT_EQ(0u, info.dwDoubleClick);

    // The event sees the prepared structure and gives the answer.
    int calls = 0;
    host.ie->OnGetHostInfo = [&](DOCHOSTUIINFO& Info) {
        ++calls;
        EXPECT_EQ(4u, Info.dwFlags);
        Info.dwFlags |= DOCHOSTUIFLAG_SCROLL_NO;
        return static_cast<HRESULT>(E_NOTIMPL);
    };
    EXPECT_EQ(E_NOTIMPL, host.Handler()->GetHostInfo(&info));
    EXPECT_EQ(1, calls);
    EXPECT_EQ(static_cast<DWORD>(DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_SCROLL_NO), info.dwFlags);
    // A throwing event is a failure of the call, not of the program.
    host.ie->OnGetHostInfo = [](DOCHOSTUIINFO&) -> HRESULT { throw std::runtime_error("boom"); };
    EXPECT_EQ(E_FAIL, host.Handler()->GetHostInfo(&info));
    EXPECT_EQ(E_POINTER, host.Handler()->GetHostInfo(nullptr));
}

TEST(BrowserHost, TheDocumentHandlersAnswers)
{
    THost host;
    IDocHostUIHandler* h = host.Handler();
    POINT at{1, 2};
    MSG msg{};
    RECT border{};
    LPOLESTR key = nullptr;
    struct TCase {
        const char* method;
        HRESULT got;
        HRESULT expected;
    };
    const TCase cases[] = {
        {"ShowContextMenu", h->ShowContextMenu(0, &at, nullptr, nullptr), S_OK},
        {"ShowUI", h->ShowUI(0, nullptr, nullptr, nullptr, nullptr), S_FALSE},
        {"HideUI", h->HideUI(), S_FALSE},
        {"UpdateUI", h->UpdateUI(), S_FALSE},
        {"EnableModeless", h->EnableModeless(TRUE), S_FALSE},
        {"OnDocWindowActivate", h->OnDocWindowActivate(TRUE), S_FALSE},
        {"OnFrameWindowActivate", h->OnFrameWindowActivate(TRUE), S_FALSE},
        {"ResizeBorder", h->ResizeBorder(&border, nullptr, TRUE), S_FALSE},
        {"TranslateAccelerator", h->TranslateAccelerator(&msg, nullptr, 0), S_FALSE},
        {"GetOptionKeyPath", h->GetOptionKeyPath(&key, 0), S_FALSE},
        {"FilterDataObject", h->FilterDataObject(nullptr, nullptr), S_FALSE},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(c.expected, c.got) << c.method;
    EXPECT_EQ(nullptr, key);

    // The out-parameters are cleared, whatever they held.
    auto* junk = reinterpret_cast<IDropTarget*>(static_cast<UINT_PTR>(0x1234));
    IDropTarget* target = junk;
    EXPECT_EQ(S_OK, h->GetDropTarget(junk, &target));
    EXPECT_EQ(nullptr, target);
    IDispatch* external = reinterpret_cast<IDispatch*>(junk);
    EXPECT_EQ(S_FALSE, h->GetExternal(&external));
    EXPECT_EQ(nullptr, external);
    wchar_t url[] = L"https://example.test/";
    LPWSTR translated = url;
    EXPECT_EQ(S_FALSE, h->TranslateUrl(0, url, &translated));
    EXPECT_EQ(nullptr, translated);
}

TEST(BrowserHost, OneObjectAnswersForEverySiteInterface)
{
    THost host;
    struct TCase {
        const char* name;
        const IID& iid;
        bool found;
    };
    const TCase cases[] = {
        {"IUnknown", IID_IUnknown, true},
        {"IOleClientSite", IID_IOleClientSite, true},
        {"IOleWindow", IID_IOleWindow, true},
        {"IOleInPlaceSite", IID_IOleInPlaceSite, true},
        {"IOleInPlaceUIWindow", IID_IOleInPlaceUIWindow, true},
        {"IOleInPlaceFrame", IID_IOleInPlaceFrame, true},
        {"IDocHostUIHandler", IID_IDocHostUIHandler, true},
        {"IDispatch", IID_IDispatch, true},
        {"DWebBrowserEvents2", DIID_DWebBrowserEvents2, true},
        {"IOleContainer", IID_IOleContainer, false},
        {"IStorage", IID_IStorage, false},
    };
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, host.Sink()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    for (const TCase& c : cases) {
        void* object = reinterpret_cast<void*>(static_cast<UINT_PTR>(1));
        const HRESULT hr = host.Sink()->QueryInterface(c.iid, &object);
        EXPECT_EQ(c.found ? S_OK : E_NOINTERFACE, hr) << c.name;
        if (!c.found) {
            EXPECT_EQ(nullptr, object) << c.name;
            continue;
        }
        // The same object behind each: its identity answers the same.
        IUnknown* again = nullptr;
        static_cast<IUnknown*>(object)->QueryInterface(IID_IUnknown,
                                                       reinterpret_cast<void**>(&again));
        EXPECT_EQ(identity, again) << c.name;
        again->Release();
        static_cast<IUnknown*>(object)->Release();
    }
    identity->Release();

    // The site has no window before the browser is made, and offers itself
    // as the browser's frame.
    auto* site = static_cast<IOleInPlaceSite*>(host.ie);
    HWND wnd = reinterpret_cast<HWND>(static_cast<UINT_PTR>(1));
    EXPECT_EQ(E_FAIL, site->GetWindow(&wnd));
    EXPECT_EQ(nullptr, wnd);
    EXPECT_EQ(S_OK, site->CanInPlaceActivate());
    IOleInPlaceFrame* frame = nullptr;
    IOleInPlaceUIWindow* doc = reinterpret_cast<IOleInPlaceUIWindow*>(static_cast<UINT_PTR>(1));
    RECT pos{}, clip{};
    OLEINPLACEFRAMEINFO info{};
    info.cb = sizeof info;
    EXPECT_EQ(S_OK, site->GetWindowContext(&frame, &doc, &pos, &clip, &info));
    EXPECT_EQ(static_cast<IOleInPlaceFrame*>(host.ie), frame);
    EXPECT_EQ(nullptr, doc);
    EXPECT_EQ(0u, info.cAccelEntries);
    EXPECT_EQ(nullptr, info.haccel);
    if (frame)
        frame->Release();
    auto* client = static_cast<IOleClientSite*>(host.ie);
    IOleContainer* container = reinterpret_cast<IOleContainer*>(static_cast<UINT_PTR>(1));
    EXPECT_EQ(E_NOINTERFACE, client->GetContainer(&container));
    EXPECT_EQ(nullptr, container);
}

TEST(BrowserHost, ANavigationErrorIsKeptAndCancelsTheNavigation)
{
    struct TCase {
        LONG status;
        bool error;
    };
    const TCase cases[] = {{404, true},  {500, true},  {199, true},
                           {204, false}, {200, false}, {299, false}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.status);
        THost host;
        VARIANT_BOOL cancel = VARIANT_FALSE;
        EXPECT_EQ(S_OK, FireNavigateError(host.Sink(), c.status, cancel));
        EXPECT_EQ(c.error, host.ie->NavigationError());
        EXPECT_EQ(c.error ? VARIANT_TRUE : VARIANT_FALSE, cancel);
        // The page that follows (the browser's own error page) does not
        // hide the error.
        EXPECT_EQ(S_OK, FireNavigateComplete(host.Sink()));
        EXPECT_EQ(c.error, host.ie->NavigationError());
    }

    // Arguments of another shape change nothing and break nothing.
    THost host;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(S_OK, host.Sink()->Invoke(DISPID_NAVIGATEERROR, IID_NULL, 0, DISPATCH_METHOD, &none,
                                        nullptr, nullptr, nullptr));
    VARIANT args[5];
    for (VARIANT& a : args)
        VariantInit(&a);
    args[1].vt = VT_BSTR;
    DISPPARAMS odd{args, nullptr, 5, 0};
    EXPECT_EQ(S_OK, host.Sink()->Invoke(DISPID_NAVIGATEERROR, IID_NULL, 0, DISPATCH_METHOD, &odd,
                                        nullptr, nullptr, nullptr));
    EXPECT_FALSE(host.ie->NavigationError());
}

TEST(BrowserHost, TheBrowserGoesInPlaceAndLetsTheHostGoWhenClosed)
{
    KTEST_NEEDS_DISPLAY();
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    HWND parent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(nullptr, parent);
    auto* ie = new qvFramelessIE::TFramelessIE();
    if (!ie->Create(parent, RECT{0, 0, 300, 200})) {
        ie->Release();
        DestroyWindow(parent);
        OleUninitialize();
        GTEST_SKIP() << "Wine: the browser object cannot be made in this prefix";
    }
    ASSERT_NE(nullptr, ie->Browser());
    HWND wnd = nullptr;
    EXPECT_EQ(S_OK, static_cast<IOleInPlaceSite*>(ie)->GetWindow(&wnd));
    EXPECT_EQ(parent, wnd);
    // The browser holds the site and the event sink while it is in place.
    ie->AddRef();
    EXPECT_GT(ie->Release(), 1u);
    ie->SetBounds(RECT{0, 0, 120, 80});
    EXPECT_FALSE(ie->NavigationError());
    ie->Close();
    EXPECT_EQ(nullptr, ie->Browser());
    ie->Close(); // twice is harmless
    EXPECT_EQ(0u, ie->Release()) << "the browser kept a reference to its host";
    DestroyWindow(parent);
    OleUninitialize();
}

} // namespace
