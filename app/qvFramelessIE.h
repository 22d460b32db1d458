#pragma once
// The off-screen page renderer: a web page's element with id "main" drawn
// into a PNG at that element's size, every link of it kept as a clickable
// anchor ("URL" text chunks that the PNG control reads), so that a news page
// becomes a banner whose links still work.
//
// Two ways to draw: where the system's HTML document can be made, its
// browser loads the page in a window that is never shown and the
// document's view draws it; elsewhere (under Wine, whose view does not
// draw) the program's own renderer: the page is fetched (or a "file://"
// page read), tokenised, its "main" element's content laid out by the HTML
// renderer on a memory DC and drawn at (0, 0), without any window.
// One page per call, on the GUI thread, COM initialised by the caller.

#include "app/BrowserHostU.h"

#include <string>
#include <vector>

#include <windows.h>

// The wait for a page that neither arrives nor fails.
inline constexpr DWORD kPageRenderTimeoutMs = 20000;
// The largest "main" box drawn, whatever the page says.
inline constexpr int kPageRenderMaxSide = 4000;

// Renders Url into FileName at Width (the page's own box decides, else
// Width and the height its text needs; Height is the fallback height of an
// empty box). False on every failure, with no file written and an older
// FileName left as it was; that file is deleted only just before a
// successful save.
bool RenderPageToPng(const std::string& Url, const std::string& FileName, int Width, int Height);

// Tests only: the system browser's rendering whatever the system offers
// (under Wine it cannot draw, so it must fail cleanly).
bool RenderPageToPngThroughBrowserForTests(const std::string& Url, const std::string& FileName,
                                           int Width, int Height);

// One anchor of a rendered page: its rectangle in the "main" element's
// coordinates and the href as the page's source writes it.
struct TPageLink {
    RECT Rect;
    std::string Href;
};
// Tests only: the anchors of the last successful render on this thread.
const std::vector<TPageLink>& LastRenderedLinksForTests();

namespace qvFramelessIE {

// The browser host of a render: it records whether the navigation failed.
// DWebBrowserEvents2 is its sink (connected once the browser exists,
// disconnected by Close).
class TFramelessIE : public BrowserHostU::TFramelessIE, public IDispatch {
public:
    TFramelessIE();
    // A status outside 200-299 was reported; it stays set for this render.
    bool NavigationError() const { return error_; }
    void Close() override;

    STDMETHODIMP QueryInterface(REFIID Iid, void** Object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch: only Invoke is of use, for the events.
    STDMETHODIMP GetTypeInfoCount(UINT* Count) override;
    STDMETHODIMP GetTypeInfo(UINT Index, LCID Locale, ITypeInfo** Info) override;
    STDMETHODIMP GetIDsOfNames(REFIID Iid, LPOLESTR* Names, UINT Count, LCID Locale,
                               DISPID* Ids) override;
    STDMETHODIMP Invoke(DISPID Id, REFIID Iid, LCID Locale, WORD Flags, DISPPARAMS* Params,
                        VARIANT* Result, EXCEPINFO* Exception, UINT* ArgError) override;

protected:
    ~TFramelessIE() override;
    void BrowserCreated() override;

private:
    bool error_ = false;
    IConnectionPoint* point_ = nullptr;
    DWORD cookie_ = 0;
};

} // namespace qvFramelessIE
