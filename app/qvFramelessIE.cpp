#include "app/qvFramelessIE.h"

#include "controls/KvHtmlColors.h"
#include "controls/KvHtmlParser.h"
#include "controls/KvHtmlRendererW.h"
#include "controls/KvPng.h"
#include "controls/PNGControl.h"
#include "platform/ClassesU.h"
#include "platform/FileUtilsU.h"
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

} // namespace

const std::vector<TPageLink>& LastRenderedLinksForTests()
{
    return lastLinks;
}

bool RenderPageToPng(const std::string& Url, const std::string& FileName, int Width, int Height)
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

    TPNGPicture png;
    png.SetSize(width, height, true);
    uint8_t* pixels = png.MutablePixels();
    if (!pixels)
        return Fail(Url, "no picture of that size");
    const uint8_t* bits = canvas.Bits();
    for (int i = 0; i < width * height; ++i) {
        pixels[i * 4] = bits[i * 4];
        pixels[i * 4 + 1] = bits[i * 4 + 1];
        pixels[i * 4 + 2] = bits[i * 4 + 2];
        pixels[i * 4 + 3] = 255;
    }
    png.Modified();

    std::vector<TPageLink> links;
    const std::vector<RECT> rects = LinkRects(*tree);
    for (size_t i = 0; i < rects.size(); ++i) {
        const RECT& r = rects[i];
        if (r.left < 0 || r.top < 0 || r.right <= 1 || r.bottom <= 1)
            continue;
        const std::string href = i < main.Hrefs.size() ? main.Hrefs[i] : std::string();
        links.push_back({r, href});
        png.AddTextChunk("URL", TAnchor::Format(r, href));
    }

    if (FileExistsEx(FileName) && !DeleteFileForced(FileName))
        return Fail(Url, "the old picture " + FileName + " cannot be replaced");
    if (!png.SaveToFile(FileName)) {
        DeleteFileA(FileName.c_str());
        return Fail(Url, "the picture " + FileName + " was not saved: " + png.LastError());
    }
    lastLinks = std::move(links);
    return true;
}
