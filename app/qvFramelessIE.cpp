#include "app/qvFramelessIE.h"

#include <exdispid.h>
#include <mshtml.h>

#include "controls/KvHtmlColors.h"
#include "controls/KvHtmlParser.h"
#include "controls/KvHtmlRendererW.h"
#include "controls/KvPng.h"
#include "controls/PNGControl.h"
#include "platform/ClassesU.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/HTTPU.h"
#include "platform/LogU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/ThreadU.h"
#include "platform/UnicodeU.h"

#include <algorithm>
#include <cwctype>
#include <memory>

namespace {

thread_local std::vector<TPageLink> lastLinks;

bool Fail(const std::string& Url, const std::string& Why)
{
    Log("Page renderer: " + Url + ": " + Why, 1, 4);
    return false;
}

// The request runs on a thread of its own, so that the GUI thread keeps
// pumping and the whole wait is bounded.
class TPageFetch : public TThread {
public:
    explicit TPageFetch(const std::string& Url)
    {
        get_.SetURL(Url);
        get_.Output = &output_;
        THTTPSettings settings;
        settings.TimeoutMs = kPageRenderTimeoutMs;
        get_.SetSettings(&settings);
    }
    ~TPageFetch() override
    {
        Terminate();
        get_.Abort(0);
        WaitFor();
    }
    bool Ok = false;
    THTTPGet& Get() { return get_; }
    std::string Body() { return output_.MemoryStream().ToString(); }

protected:
    void Execute() override { Ok = get_.ExecuteRequest(); }

private:
    THTTPGet get_;
    TMemoryStreamWriter output_;
};

bool StartsWithText(const std::string& S, const char* Prefix)
{
    const size_t n = strlen(Prefix);
    return S.size() >= n && SameTextAscii(std::string_view(S).substr(0, n), Prefix);
}

bool FetchPage(const std::string& Url, std::string& Body)
{
    if (StartsWithText(Url, "file://")) {
        std::string path = Url.substr(7);
        if (!path.empty() && path[0] == '/')
            path.erase(0, 1);
        std::replace(path.begin(), path.end(), '/', '\\');
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return Fail(Url, "the file does not open");
        char buffer[16384];
        DWORD read = 0;
        bool ok = true;
        while ((ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr) != 0) && read > 0) {
            Body.append(buffer, read);
            if (Body.size() > (8u << 20)) {
                ok = false;
                break;
            }
        }
        CloseHandle(file);
        return ok || Fail(Url, "the file does not read");
    }
    if (!StartsWithText(Url, "http://") && !StartsWithText(Url, "https://"))
        return Fail(Url, "not a web or file address");
    auto fetch = std::make_unique<TPageFetch>(Url);
    HANDLE wait = fetch->OpenWaitHandle();
    fetch->Start();
    const DWORD result = PumpedWait(wait, kPageRenderTimeoutMs);
    if (wait)
        CloseHandle(wait);
    if (result != WAIT_OBJECT_0) {
        fetch->Get().Abort(0);
        return Fail(Url, "no answer within the time allowed");
    }
    const int32_t status = fetch->Get().Status;
    if (status < 200 || status > 299)
        return Fail(Url, "the server answered " + std::to_string(status));
    if (!fetch->Ok)
        return Fail(Url, "the request failed");
    Body = fetch->Body();
    return true;
}

WideString AttributeOf(TKvHtmlTag& Tag, std::u16string_view Name)
{
    for (int32_t i = 0; i < Tag.Count(); ++i) {
        const WideString& name = Tag.At(i).Name;
        const std::u16string_view have(name.Data(), name.Length());
        if (have.size() == Name.size() &&
            std::equal(have.begin(), have.end(), Name.begin(), [](char16_t a, char16_t b) {
                return std::towlower(a) == std::towlower(b);
            }))
            return Tag.At(i).Value;
    }
    return {};
}

std::string Narrow8(const WideString& S)
{
    return WideToUtf8(StdFromWideString(S));
}

// The value of an attribute as it stands in a tag's source text (quotes
// removed, nothing decoded); '' when absent.
std::string RawAttribute(const std::wstring& TagSource, const std::wstring& Name)
{
    size_t i = 1;
    while (i < TagSource.size() && !iswspace(TagSource[i]) && TagSource[i] != L'>')
        ++i; // the tag's name
    while (i < TagSource.size()) {
        while (i < TagSource.size() && (iswspace(TagSource[i]) || TagSource[i] == L'/'))
            ++i;
        const size_t nameStart = i;
        while (i < TagSource.size() && !iswspace(TagSource[i]) && TagSource[i] != L'=' &&
               TagSource[i] != L'>')
            ++i;
        std::wstring name = TagSource.substr(nameStart, i - nameStart);
        while (i < TagSource.size() && iswspace(TagSource[i]))
            ++i;
        std::wstring value;
        if (i < TagSource.size() && TagSource[i] == L'=') {
            ++i;
            while (i < TagSource.size() && iswspace(TagSource[i]))
                ++i;
            if (i < TagSource.size() && (TagSource[i] == L'"' || TagSource[i] == L'\'')) {
                const wchar_t quote = TagSource[i++];
                const size_t end = TagSource.find(quote, i);
                value = TagSource.substr(i, end == std::wstring::npos ? std::wstring::npos : end - i);
                i = end == std::wstring::npos ? TagSource.size() : end + 1;
            } else {
                const size_t start = i;
                while (i < TagSource.size() && !iswspace(TagSource[i]) && TagSource[i] != L'>')
                    ++i;
                value = TagSource.substr(start, i - start);
            }
        }
        if (name.empty()) {
            if (i < TagSource.size() && TagSource[i] == L'>')
                break;
            ++i;
            continue;
        }
        if (_wcsicmp(name.c_str(), Name.c_str()) == 0)
            return WideToUtf8(value);
    }
    return {};
}

// The start tag's source from its "<" to its ">" (quoted values may hold ">").
std::wstring TagSourceAt(const std::wstring& Source, size_t Start)
{
    wchar_t quote = 0;
    for (size_t i = Start + 1; i < Source.size(); ++i) {
        const wchar_t c = Source[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == L'"' || c == L'\'') {
            quote = c;
        } else if (c == L'>') {
            return Source.substr(Start, i - Start + 1);
        }
    }
    return Source.substr(Start);
}

struct TMainElement {
    bool Found = false;
    std::wstring Content;
    int Width = 0;  // 0: not given
    int Height = 0; // 0: not given
    uint32_t Background = 0xFFFFFF;
    std::vector<std::string> Hrefs; // of every <a> inside, in document order
};

int PixelsOf(const WideString& Text)
{
    const std::string s = Trim(Narrow8(Text));
    int value = 0;
    size_t i = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && value < 100000)
        value = value * 10 + (s[i++] - '0');
    return i > 0 ? value : 0;
}

// "width:Npx" in a style text.
int StylePixels(const std::string& Style, const char* Name)
{
    const std::string lower = AsciiLowerCase(Style);
    size_t at = 0;
    while ((at = lower.find(Name, at)) != std::string::npos) {
        const bool starts = at == 0 || lower[at - 1] == ';' || isspace(static_cast<unsigned char>(lower[at - 1]));
        size_t i = at + strlen(Name);
        while (i < lower.size() && isspace(static_cast<unsigned char>(lower[i])))
            ++i;
        if (starts && i < lower.size() && lower[i] == ':') {
            ++i;
            while (i < lower.size() && isspace(static_cast<unsigned char>(lower[i])))
                ++i;
            int value = 0;
            size_t digits = i;
            while (digits < lower.size() && isdigit(static_cast<unsigned char>(lower[digits])) &&
                   value < 100000)
                value = value * 10 + (lower[digits++] - '0');
            if (digits > i)
                return value;
        }
        at += 1;
    }
    return 0;
}

TMainElement FindMain(const std::wstring& Source)
{
    TMainElement main;
    TKvHtmlParser parser;
    parser.FilterHtmlTags().SetFilter(fiShow);
    parser.SetReadMethods(KvReadMethodsUtf16LE());
    parser.SetSourceWideString(WideStringFromStd(Source));
    WideString mainName;
    int depth = 0;
    size_t contentStart = 0;
    while (parser.ReadPiece()) {
        if (parser.PieceKind() != pkHtmlTag)
            continue;
        TKvHtmlTag& tag = parser.HtmlTag();
        const size_t start = static_cast<size_t>(std::max(0, parser.PieceStartPosition()));
        if (!main.Found) {
            if (tag.EndFlag != 1 && Trim(AsciiLowerCase(Narrow8(AttributeOf(tag, u"id")))) == "main") {
                main.Found = true;
                mainName = tag.Name;
                const std::wstring tagSource = TagSourceAt(Source, start);
                contentStart = start + tagSource.size();
                main.Width = PixelsOf(AttributeOf(tag, u"width"));
                main.Height = PixelsOf(AttributeOf(tag, u"height"));
                const std::string style = Narrow8(AttributeOf(tag, u"style"));
                if (main.Width == 0)
                    main.Width = StylePixels(style, "width");
                if (main.Height == 0)
                    main.Height = StylePixels(style, "height");
                uint32_t color = 0;
                if (ColorFromHtml(AttributeOf(tag, u"bgcolor"), color))
                    main.Background = color;
                if (tag.EndFlag == 2)
                    return main; // empty element
                depth = 1;
            }
            continue;
        }
        const bool sameName = _wcsicmp(StdFromWideString(tag.Name).c_str(),
                                       StdFromWideString(mainName).c_str()) == 0;
        if (tag.EndFlag == 1) {
            if (sameName && --depth == 0) {
                main.Content = Source.substr(contentStart, start - contentStart);
                return main;
            }
            continue;
        }
        if (sameName && tag.EndFlag == 0)
            ++depth;
        if (tag.ID == kvTagA)
            main.Hrefs.push_back(RawAttribute(TagSourceAt(Source, start), L"href"));
    }
    if (main.Found)
        main.Content = Source.substr(std::min(contentStart, Source.size()));
    return main;
}

// A 32-bit top-down DIB on its own memory DC with the default text font.
class TDibCanvas {
public:
    TDibCanvas(int Width, int Height) : width_(Width), height_(Height)
    {
        dc_ = CreateCompatibleDC(nullptr);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = Width;
        info.bmiHeader.biHeight = -Height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
        if (dc_ && bitmap_)
            oldBitmap_ = SelectObject(dc_, bitmap_);
        font_ = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH, L"Tahoma");
        if (dc_ && font_)
            oldFont_ = SelectObject(dc_, font_);
    }
    ~TDibCanvas()
    {
        if (oldFont_)
            SelectObject(dc_, oldFont_);
        if (oldBitmap_)
            SelectObject(dc_, oldBitmap_);
        if (font_)
            DeleteObject(font_);
        if (bitmap_)
            DeleteObject(bitmap_);
        if (dc_)
            DeleteDC(dc_);
    }
    TDibCanvas(const TDibCanvas&) = delete;
    TDibCanvas& operator=(const TDibCanvas&) = delete;
    bool Ok() const { return dc_ && bitmap_ && bits_; }
    HDC DC() const { return dc_; }
    const uint8_t* Bits() const { return static_cast<const uint8_t*>(bits_); }
    void Fill(uint32_t Rgb)
    {
        HBRUSH brush = CreateSolidBrush(Rgb);
        RECT all{0, 0, width_, height_};
        FillRect(dc_, &all, brush);
        DeleteObject(brush);
    }

private:
    int width_, height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ oldBitmap_ = nullptr;
    HFONT font_ = nullptr;
    HGDIOBJ oldFont_ = nullptr;
    void* bits_ = nullptr;
};

// Every top-level link with the union of its string nodes' rectangles.
std::vector<RECT> LinkRects(TNodeTreeW& Tree)
{
    std::vector<RECT> rects;
    TTopLevelNodeEnumeratorW links(Tree.Root(), &IsNodeClass<TLinkNodeW>);
    while (TNodeW* node = links.Next()) {
        RECT box{0, 0, 0, 0};
        bool any = false;
        TTopLevelNodeEnumeratorW strings(*static_cast<TLinkNodeW*>(node), &IsNodeClass<TStringNodeW>);
        while (TNodeW* s = strings.Next()) {
            const TRectVectorW& pieces = static_cast<TStringNodeW*>(s)->Rects;
            for (int32_t i = 0; i < pieces.Count(); ++i) {
                const RECT& r = pieces.At(i);
                if (!any) {
                    box = r;
                    any = true;
                } else {
                    UnionRect(&box, &box, &r);
                }
            }
        }
        rects.push_back(any ? box : RECT{-1, -1, 0, 0});
    }
    return rects;
}

// The drawn page as an opaque PNG with one anchor per link that lies on it
// (left and top not negative, right and bottom past 1), saved over FileName
// only now that everything else succeeded.
bool SaveRendered(const std::string& Url, const uint8_t* Bits, int Width, int Height,
                  std::vector<TPageLink> Links, const std::string& FileName)
{
    TPNGPicture png;
    png.SetSize(Width, Height, true);
    uint8_t* pixels = png.MutablePixels();
    if (!pixels || !Bits)
        return Fail(Url, "no picture of that size");
    for (int i = 0; i < Width * Height; ++i) {
        pixels[i * 4] = Bits[i * 4];
        pixels[i * 4 + 1] = Bits[i * 4 + 1];
        pixels[i * 4 + 2] = Bits[i * 4 + 2];
        pixels[i * 4 + 3] = 255;
    }
    png.Modified();

    std::vector<TPageLink> kept;
    for (TPageLink& link : Links) {
        const RECT& r = link.Rect;
        if (r.left < 0 || r.top < 0 || r.right <= 1 || r.bottom <= 1)
            continue;
        png.AddTextChunk("URL", TAnchor::Format(r, link.Href));
        kept.push_back(std::move(link));
    }

    if (FileExistsEx(FileName) && !DeleteFileForced(FileName))
        return Fail(Url, "the old picture " + FileName + " cannot be replaced");
    if (!png.SaveToFile(FileName)) {
        DeleteFileA(FileName.c_str());
        return Fail(Url, "the picture " + FileName + " was not saved: " + png.LastError());
    }
    lastLinks = std::move(kept);
    return true;
}

bool RenderPageToPngOwn(const std::string& Url, const std::string& FileName, int Width, int Height)
{
    Width = std::clamp(Width, 1, kPageRenderMaxSide);
    Height = std::clamp(Height, 1, kPageRenderMaxSide);
    std::string body;
    if (!FetchPage(Url, body))
        return false;
    const std::wstring source = Utf8ToWide(body);
    TMainElement main = FindMain(source);
    if (!main.Found)
        return Fail(Url, "the page has no element \"main\"");

    TDefaultParserW parser;
    std::unique_ptr<TNodeTreeW> tree = parser.Parse(WideStringFromStd(main.Content));
    TKvHtmlRendererW renderer;
    int width = std::min(main.Width > 0 ? main.Width : Width, kPageRenderMaxSide);
    int height = main.Height;
    if (height <= 0) {
        // The height the text needs at that width.
        TDibCanvas measure(1, 1);
        if (!measure.Ok())
            return Fail(Url, "no drawing surface");
        renderer.Draw(measure.DC(), RECT{0, 0, width, kPageRenderMaxSide}, *tree);
        height = renderer.TextHeight() > 0 ? renderer.TextHeight() : Height;
    }
    height = std::clamp(height, 1, kPageRenderMaxSide);

    TDibCanvas canvas(width, height);
    if (!canvas.Ok())
        return Fail(Url, "no drawing surface of " + std::to_string(width) + " x " +
                             std::to_string(height));
    canvas.Fill(main.Background);
    renderer.Draw(canvas.DC(), RECT{0, 0, width, height}, *tree);
    GdiFlush();

    std::vector<TPageLink> links;
    const std::vector<RECT> rects = LinkRects(*tree);
    for (size_t i = 0; i < rects.size(); ++i)
        links.push_back({rects[i], i < main.Hrefs.size() ? main.Hrefs[i] : std::string()});
    return SaveRendered(Url, canvas.Bits(), width, height, std::move(links), FileName);
}

// --- the system's browser

// Releases a COM pointer when it goes.
template <typename T> class TComRef {
public:
    TComRef() = default;
    ~TComRef() { Reset(); }
    TComRef(const TComRef&) = delete;
    TComRef& operator=(const TComRef&) = delete;
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** Put()
    {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    void Reset()
    {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }

private:
    T* p_ = nullptr;
};

class TBstr {
public:
    explicit TBstr(const std::wstring& S)
        : b_(SysAllocStringLen(S.data(), static_cast<UINT>(S.size())))
    {
    }
    ~TBstr() { SysFreeString(b_); }
    TBstr(const TBstr&) = delete;
    TBstr& operator=(const TBstr&) = delete;
    BSTR Get() const { return b_; }

private:
    BSTR b_;
};

// The element's box in the page, or false.
bool BoundsOf(IHTMLElement* Element, RECT& Box)
{
    TComRef<IHTMLElement2> element2;
    TComRef<IHTMLRect> rect;
    if (!Element || FAILED(Element->QueryInterface(IID_IHTMLElement2, element2.PutVoid())) ||
        !element2 || FAILED(element2->getBoundingClientRect(rect.Put())) || !rect)
        return false;
    LONG left = 0, top = 0, right = 0, bottom = 0;
    rect->get_left(&left);
    rect->get_top(&top);
    rect->get_right(&right);
    rect->get_bottom(&bottom);
    Box = RECT{left, top, right, bottom};
    return true;
}

// The document's links in document order: their boxes and their href as
// the source writes it (flag 2 of getAttribute: not made absolute).
std::vector<TPageLink> LinksToAnchors(IHTMLDocument2* Document)
{
    std::vector<TPageLink> links;
    TComRef<IHTMLElementCollection> all;
    if (!Document || FAILED(Document->get_links(all.Put())) || !all)
        return links;
    LONG count = 0;
    all->get_length(&count);
    for (LONG i = 0; i < count; ++i) {
        VARIANT index;
        VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = i;
        VARIANT none;
        VariantInit(&none);
        TComRef<IDispatch> item;
        if (FAILED(all->item(index, none, item.Put())) || !item)
            continue;
        TComRef<IHTMLElement> element;
        if (FAILED(item->QueryInterface(IID_IHTMLElement, element.PutVoid())) || !element)
            continue;
        TPageLink link{RECT{-1, -1, 0, 0}, {}};
        if (!BoundsOf(element.Get(), link.Rect))
            continue;
        TBstr name(L"href");
        VARIANT href;
        VariantInit(&href);
        if (SUCCEEDED(element->getAttribute(name.Get(), 2, &href)) && href.vt == VT_BSTR &&
            href.bstrVal)
            link.Href = WideToAnsi(std::wstring(href.bstrVal, SysStringLen(href.bstrVal)));
        VariantClear(&href);
        links.push_back(std::move(link));
    }
    return links;
}

// The window the browser lives in: made for one page, never shown.
class THiddenParent {
public:
    THiddenParent(int Width, int Height)
        : wnd_(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, Width, Height, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr))
    {
    }
    ~THiddenParent()
    {
        if (wnd_)
            DestroyWindow(wnd_);
    }
    THiddenParent(const THiddenParent&) = delete;
    THiddenParent& operator=(const THiddenParent&) = delete;
    HWND Get() const { return wnd_; }

private:
    HWND wnd_;
};

// The renderer and its browser, let go on every path.
struct TRendererHold {
    qvFramelessIE::TFramelessIE* renderer = new qvFramelessIE::TFramelessIE();
    ~TRendererHold()
    {
        renderer->Close();
        renderer->Release();
    }
};

bool RenderPageToPngMshtml(const std::string& Url, const std::string& FileName, int Width,
                           int Height)
{
    Width = std::clamp(Width, 1, kPageRenderMaxSide);
    Height = std::clamp(Height, 1, kPageRenderMaxSide);
    THiddenParent parent(Width, Height);
    if (!parent.Get())
        return Fail(Url, "no window for the browser");
    TRendererHold hold;
    qvFramelessIE::TFramelessIE& ie = *hold.renderer;
    if (!ie.Create(parent.Get(), RECT{0, 0, Width, Height}))
        return Fail(Url, "the browser cannot be made");
    IWebBrowser2* browser = ie.Browser();
    browser->put_Silent(VARIANT_TRUE);
    VARIANT address;
    VariantInit(&address);
    address.vt = VT_BSTR;
    address.bstrVal = SysAllocString(AnsiToWide(Url).c_str());
    VARIANT empty;
    VariantInit(&empty);
    const HRESULT navigated = browser->Navigate2(&address, &empty, &empty, &empty, &empty);
    VariantClear(&address);
    if (FAILED(navigated))
        return Fail(Url, "the browser does not navigate");

    // The page's end or its error, pumping meanwhile; bounded.
    const DWORD start = GetTickCount();
    for (;;) {
        if (ie.NavigationError())
            break;
        READYSTATE state = READYSTATE_UNINITIALIZED;
        if (SUCCEEDED(browser->get_ReadyState(&state)) && state > READYSTATE_INTERACTIVE)
            break;
        if (GetTickCount() - start >= kPageRenderTimeoutMs)
            return Fail(Url, "no answer within the time allowed");
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return Fail(Url, "the program is ending");
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (ie.NavigationError())
        return Fail(Url, "the page did not load");

    TComRef<IDispatch> documentDispatch;
    TComRef<IHTMLDocument2> document;
    TComRef<IHTMLDocument3> document3;
    if (FAILED(browser->get_Document(documentDispatch.Put())) || !documentDispatch ||
        FAILED(documentDispatch->QueryInterface(IID_IHTMLDocument2, document.PutVoid())) ||
        !document ||
        FAILED(documentDispatch->QueryInterface(IID_IHTMLDocument3, document3.PutVoid())) ||
        !document3)
        return Fail(Url, "the browser has no document");
    TComRef<IHTMLElement> main;
    TBstr mainId(L"main");
    if (FAILED(document3->getElementById(mainId.Get(), main.Put())) || !main)
        return Fail(Url, "the page has no element \"main\"");

    RECT box{};
    if (!BoundsOf(main.Get(), box))
        return Fail(Url, "the element \"main\" has no box");
    // The box once more after the resize: the page may flow anew.
    ie.SetBounds(RECT{0, 0, std::clamp<int>(box.right - box.left, 1, kPageRenderMaxSide),
                      std::clamp<int>(box.bottom - box.top, 1, kPageRenderMaxSide)});
    if (!BoundsOf(main.Get(), box))
        return Fail(Url, "the element \"main\" has no box");
    const int width = std::clamp<int>(box.right - box.left, 1, kPageRenderMaxSide);
    const int height = std::clamp<int>(box.bottom - box.top, 1, kPageRenderMaxSide);
    ie.SetBounds(RECT{0, 0, width, height});

    TDibCanvas canvas(width, height);
    if (!canvas.Ok())
        return Fail(Url, "no drawing surface of " + std::to_string(width) + " x " +
                             std::to_string(height));
    TComRef<IViewObject> view;
    if (FAILED(documentDispatch->QueryInterface(IID_IViewObject, view.PutVoid())) || !view)
        return Fail(Url, "the document cannot be drawn");
    RECTL bounds{0, 0, width, height};
    const HRESULT drawn = view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.DC(),
                                     &bounds, nullptr, nullptr, 0);
    if (FAILED(drawn))
        return Fail(Url, "the document was not drawn (" +
                             std::to_string(static_cast<unsigned long>(drawn)) + ")");
    GdiFlush();
    return SaveRendered(Url, canvas.Bits(), width, height, LinksToAnchors(document.Get()),
                        FileName);
}

// The system's HTML document class; the toolchain's import library does
// not carry its identifier.
constexpr GUID kHtmlDocumentClass = {
    0x25336920, 0x03F9, 0x11CF, {0x8F, 0xD0, 0x00, 0xAA, 0x00, 0x68, 0x6F, 0x13}};

// Whether the system's HTML document can be made here (never under Wine).
bool HtmlDocumentAvailable()
{
    IUnknown* document = nullptr;
    if (FAILED(CoCreateInstance(kHtmlDocumentClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                reinterpret_cast<void**>(&document))) ||
        !document)
        return false;
    document->Release();
    return true;
}

} // namespace

const std::vector<TPageLink>& LastRenderedLinksForTests()
{
    return lastLinks;
}

bool RenderPageToPngThroughBrowserForTests(const std::string& Url, const std::string& FileName,
                                           int Width, int Height)
{
    return RenderPageToPngMshtml(Url, FileName, Width, Height);
}

bool RenderPageToPng(const std::string& Url, const std::string& FileName, int Width, int Height)
{
    if (HtmlDocumentAvailable())
        return RenderPageToPngMshtml(Url, FileName, Width, Height);
    return RenderPageToPngOwn(Url, FileName, Width, Height);
}

// ---------------------------------------------------------------------------
// The renderer's browser host

namespace qvFramelessIE {

namespace {

// A VARIANT that may arrive by reference inside VT_VARIANT|VT_BYREF.
const VARIANT* Unwrapped(const VARIANT& V)
{
    if (V.vt == (VT_VARIANT | VT_BYREF) && V.pvarVal)
        return V.pvarVal;
    return &V;
}

bool Int32Of(const VARIANT& V, LONG& Value)
{
    const VARIANT* v = Unwrapped(V);
    if (v->vt == VT_I4) {
        Value = v->lVal;
        return true;
    }
    if (v->vt == (VT_I4 | VT_BYREF) && v->plVal) {
        Value = *v->plVal;
        return true;
    }
    return false;
}

} // namespace

TFramelessIE::TFramelessIE() = default;

TFramelessIE::~TFramelessIE() = default;

void TFramelessIE::Close()
{
    if (point_) {
        point_->Unadvise(cookie_);
        point_->Release();
        point_ = nullptr;
        cookie_ = 0;
    }
    BrowserHostU::TFramelessIE::Close();
}

void TFramelessIE::BrowserCreated()
{
    IConnectionPointContainer* container = nullptr;
    if (FAILED(Browser()->QueryInterface(IID_IConnectionPointContainer,
                                         reinterpret_cast<void**>(&container))) ||
        !container)
        return;
    IConnectionPoint* point = nullptr;
    if (SUCCEEDED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &point)) && point) {
        if (SUCCEEDED(point->Advise(static_cast<IDispatch*>(this), &cookie_)))
            point_ = point;
        else
            point->Release();
    }
    container->Release();
}

STDMETHODIMP TFramelessIE::QueryInterface(REFIID Iid, void** Object)
{
    if (Object && (IsEqualIID(Iid, IID_IDispatch) || IsEqualIID(Iid, DIID_DWebBrowserEvents2))) {
        *Object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    return BrowserHostU::TFramelessIE::QueryInterface(Iid, Object);
}

STDMETHODIMP_(ULONG) TFramelessIE::AddRef()
{
    return BrowserHostU::TFramelessIE::AddRef();
}

STDMETHODIMP_(ULONG) TFramelessIE::Release()
{
    return BrowserHostU::TFramelessIE::Release();
}

STDMETHODIMP TFramelessIE::GetTypeInfoCount(UINT* Count)
{
    if (Count)
        *Count = 0;
    return S_OK;
}

STDMETHODIMP TFramelessIE::GetTypeInfo(UINT, LCID, ITypeInfo** Info)
{
    if (Info)
        *Info = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP TFramelessIE::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*)
{
    return E_NOTIMPL;
}

STDMETHODIMP TFramelessIE::Invoke(DISPID Id, REFIID, LCID, WORD, DISPPARAMS* Params, VARIANT*,
                                  EXCEPINFO*, UINT*)
{
    Guard([&] {
        switch (Id) {
        case DISPID_NAVIGATECOMPLETE2:
            // A later page (the browser's own error page among them) must
            // not hide an error of this render: once set, the flag stays.
            break;
        case DISPID_NAVIGATEERROR: {
            // NavigateError(pDisp, URL, Frame, StatusCode, Cancel): the
            // arguments arrive last first.
            if (!Params || Params->cArgs < 5 || !Params->rgvarg)
                return;
            LONG status = 0;
            if (!Int32Of(Params->rgvarg[1], status))
                return;
            if (status >= 200 && status <= 299)
                return;
            error_ = true;
            VARIANT& cancel = Params->rgvarg[0];
            if (cancel.vt == (VT_BOOL | VT_BYREF) && cancel.pboolVal)
                *cancel.pboolVal = VARIANT_TRUE;
            break;
        }
        default:
            break;
        }
    });
    return S_OK;
}

} // namespace qvFramelessIE
