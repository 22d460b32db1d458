#include "controls/KvPageView.h"

#include "controls/KvHtmlCharSetPlugin.h"
#include "controls/KvHtmlParser.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// Tag ids the page builder acts on beyond the renderer's (the tag table's).
enum : uint32_t {
    kTagBLOCKQUOTE = 13,
    kTagBODY = 14,
    kTagDIV = 28,
    kTagH1 = 45,
    kTagH6 = 50,
    kTagHEAD = 51,
    kTagHR = 52,
    kTagLI = 66,
    kTagOL = 76,
    kTagSCRIPT = 86,
    kTagSTYLE = 93,
    kTagTABLE = 96,
    kTagTITLE = 103,
    kTagTR = 104,
    kTagUL = 107,
};

bool SkipsContent(uint32_t id)
{
    return id == kTagHEAD || id == kTagTITLE || id == kTagSCRIPT || id == kTagSTYLE;
}

bool BreaksLine(uint32_t id)
{
    switch (id) {
    case kTagDIV:
    case kTagLI:
    case kTagTR:
    case kTagTABLE:
    case kTagUL:
    case kTagOL:
    case kTagBLOCKQUOTE:
    case kTagHR:
        return true;
    default:
        return id >= kTagH1 && id <= kTagH6;
    }
}

// --- UTF-8 ------------------------------------------------------------------------------

constexpr char16_t kReplacement = 0xFFFD;

bool ReadUtf8(TKvUnicodeReader& reader, char16_t& c)
{
    uint8_t b;
    if (!reader.NextByte(b))
        return false;
    if (b < 0x80) {
        c = b;
        return true;
    }
    int more = 0;
    uint32_t code = 0;
    uint32_t least = 0;
    if ((b & 0xE0) == 0xC0) {
        more = 1;
        code = b & 0x1F;
        least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        more = 2;
        code = b & 0x0F;
        least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        more = 3;
        code = b & 0x07;
        least = 0x10000;
    } else {
        c = kReplacement; // a stray continuation byte or an invalid lead
        return true;
    }
    for (int i = 0; i < more; ++i) {
        uint8_t next;
        if (!reader.NextByte(next)) {
            c = kReplacement; // cut at the end of the input
            return true;
        }
        if ((next & 0xC0) != 0x80) {
            c = kReplacement;
            return true;
        }
        code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and characters beyond the 16-bit range.
    if (code < least || code > 0xFFFF || (code >= 0xD800 && code <= 0xDFFF))
        c = kReplacement;
    else
        c = static_cast<char16_t>(code);
    return true;
}

constexpr TKvUnicodeReadMethods kUtf8Methods{nullptr, &ReadUtf8, nullptr};

bool IsUtf8Name(const WideString& name)
{
    std::u16string lower;
    for (int32_t i = 0; i < name.Length(); ++i) {
        char16_t ch = name.Data()[i];
        if (ch >= u'A' && ch <= u'Z')
            ch = static_cast<char16_t>(ch - u'A' + u'a');
        lower += ch;
    }
    return lower == u"utf-8" || lower == u"utf8";
}

// --- The builder ------------------------------------------------------------------------

class TPageBuilder {
public:
    explicit TPageBuilder(TNodeTreeW& tree) { stack_.push_back(&tree.Root()); }

    void Build(TKvHtmlParser& parser)
    {
        while (parser.ReadPiece()) {
            if (parser.PieceKind() == pkText) {
                Text(parser);
                continue;
            }
            if (parser.PieceKind() != pkHtmlTag)
                continue;
            TKvHtmlTag& tag = parser.HtmlTag();
            if (skipping_) {
                EndSkip(tag);
                continue;
            }
            if (tag.EndFlag == 1)
                EndTag(tag);
            else if (tag.EndFlag == 0)
                StartTag(tag);
            // End flag 2 ("<BR/>") is neither a start nor an end tag, as
            // for the renderer's captions.
        }
    }

private:
    TParentNodeW& Parent() { return *stack_.back(); }
    // Below the root; the renderer's own builder counts the same way.
    int32_t Depth() const { return static_cast<int32_t>(stack_.size()) - 1; }

    void Text(TKvHtmlParser& parser)
    {
        if (skipping_)
            return;
        WideString text = lineStart_ ? parser.PieceTextTrimLeft() : parser.PieceText();
        // White space between blocks adds nothing and leaves the line empty.
        if (text.Length() == 0)
            return;
        lineStart_ = false;
        Parent().Add(new TStringNodeW(text));
    }

    void Break()
    {
        if (!lineStart_)
            Parent().Add(new TActionNodeW(naLineBreak));
        lineStart_ = true;
    }

    void EndSkip(const TKvHtmlTag& tag)
    {
        // A page that never closes its HEAD starts its body all the same.
        const bool bodyStarts = skipping_ == kTagHEAD && tag.ID == kTagBODY && tag.EndFlag == 0;
        if ((tag.EndFlag == 1 && tag.ID == skipping_) || bodyStarts)
            skipping_ = 0;
    }

    void EndTag(const TKvHtmlTag& tag)
    {
        if (BreaksLine(tag.ID)) {
            Break();
            return;
        }
        if (KvEndTagCloses(tag, Parent()) && stack_.size() > 1)
            stack_.pop_back();
    }

    void StartTag(TKvHtmlTag& tag)
    {
        if (SkipsContent(tag.ID)) {
            skipping_ = tag.ID;
            return;
        }
        if (BreaksLine(tag.ID)) {
            Break();
            return;
        }
        if (TParentNodeW* content = KvAddStartTagNode(tag, Parent(), Depth(), lineStart_))
            stack_.push_back(content);
    }

    std::vector<TParentNodeW*> stack_;
    bool lineStart_ = true;
    // The element whose content is being left out (0: none).
    uint32_t skipping_ = 0;
};

} // namespace

const TKvUnicodeReadMethods& KvReadMethodsUtf8()
{
    return kUtf8Methods;
}

std::unique_ptr<TNodeTreeW> KvBuildPageTree(const std::string& bytes)
{
    auto tree = std::make_unique<TNodeTreeW>();
    TKvHtmlParser parser;
    TKvHtmlCharSetPlugin plugin;
    // A declared UTF-8 page is read as UTF-8 from the declaration on; every
    // other declaration keeps the plug-in's choice.
    plugin.OnCharSetChange = [](TKvHtmlCharSetPlugin&, const WideString& charSet,
                                TKvUnicodeReadMethods& methods, bool&) {
        if (IsUtf8Name(charSet))
            methods = kUtf8Methods;
    };
    // The plug-in's attach hook sets its default read methods, so a choice of
    // our own comes after it.
    plugin.SetHtmlParser(&parser);
    parser.NormalizeWhiteSpace = true;
    parser.FilterHtmlTags().SetFilter(fiShow);
    parser.SetFilterText(fiShow);
    static const std::string kBom = "\xEF\xBB\xBF";
    if (bytes.compare(0, kBom.size(), kBom) == 0) {
        parser.SetSourceString(bytes.substr(kBom.size()));
        parser.SetReadMethods(kUtf8Methods);
    } else {
        parser.SetSourceString(bytes);
    }
    TPageBuilder(*tree).Build(parser);
    return tree;
}

// --- The view ---------------------------------------------------------------------------

TKvPageView::TKvPageView(TComponent* owner) : TCustomControl(owner), tree_(std::make_unique<TNodeTreeW>())
{
    SetColor(clWindow);
    SetDoubleBuffered(true);
    SetBounds(0, 0, 300, 200);
}

TKvPageView::~TKvPageView() = default;

void TKvPageView::CreateParams(TCreateParams& params)
{
    TCustomControl::CreateParams(params);
    params.style |= WS_VSCROLL;
}

void TKvPageView::HandleCreated()
{
    TCustomControl::HandleCreated();
    Relayout();
}

bool TKvPageView::SetPageBytes(const std::string& bytes)
{
    pressedLink_ = nullptr;
    if (static_cast<int64_t>(bytes.size()) > kvPageViewMaxBytes) {
        Clear();
        return false;
    }
    tree_ = KvBuildPageTree(bytes);
    empty_ = false;
    scrollPos_ = 0;
    Relayout();
    Invalidate();
    return true;
}

void TKvPageView::Clear()
{
    pressedLink_ = nullptr;
    tree_ = std::make_unique<TNodeTreeW>();
    empty_ = true;
    scrollPos_ = 0;
    Relayout();
    Invalidate();
}

RECT TKvPageView::LayoutRect() const
{
    const int width = std::max(ClientWidth() - kvPageViewMargin, kvPageViewMargin + 1);
    return RECT{kvPageViewMargin, kvPageViewMargin, width, std::max(ClientHeight(), 1)};
}

int TKvPageView::MaxScrollPos() const noexcept
{
    return std::max(0, contentHeight_ - ClientHeight());
}

void TKvPageView::Relayout()
{
    // The scroll bar that comes or goes takes or gives back client width,
    // which lays the page out again; a second round settles it (a page that
    // needs the bar only without it keeps the bar).
    for (int round = 0; round < 2; ++round) {
        LayOut();
        UpdateScrollBar();
        if (ClientWidth() == layoutWidth_)
            return;
    }
    LayOut();
}

void TKvPageView::LayOut()
{
    // Laid out on a memory context in the view's font: the range of the
    // scroll bar and the link rectangles are known before the first paint.
    layoutWidth_ = ClientWidth();
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (!dc)
        return;
    {
        TDcSelection font(dc, Font().Handle());
        TEXTMETRICW metrics{};
        if (GetTextMetricsW(dc, &metrics))
            lineHeight_ = metrics.tmHeight;
        renderer_.OffsetY = -scrollPos_;
        renderer_.Draw(dc, LayoutRect(), *tree_);
        contentHeight_ = empty_ ? 0 : renderer_.TextHeight() + kvPageViewMargin;
        const int pos = std::clamp(scrollPos_, 0, MaxScrollPos());
        if (pos != scrollPos_) {
            scrollPos_ = pos;
            renderer_.OffsetY = -scrollPos_;
            renderer_.Draw(dc, LayoutRect(), *tree_);
        }
    }
    DeleteDC(dc);
}

void TKvPageView::UpdateScrollBar()
{
    HWND wnd = HandleIfAllocated();
    if (!wnd)
        return;
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    info.nMin = 0;
    info.nMax = std::max(contentHeight_ - 1, 0);
    info.nPage = static_cast<UINT>(std::max(ClientHeight(), 0));
    info.nPos = scrollPos_;
    SetScrollInfo(wnd, SB_VERT, &info, TRUE);
}

void TKvPageView::ScrollTo(int pos)
{
    pos = std::clamp(pos, 0, MaxScrollPos());
    if (pos == scrollPos_)
        return;
    scrollPos_ = pos;
    pressedLink_ = nullptr;
    Relayout();
    Invalidate();
}

void TKvPageView::Scroll(int code, int trackPos)
{
    const int page = std::max(ClientHeight() - LineStep(), LineStep());
    switch (code) {
    case SB_LINEUP:
        ScrollTo(scrollPos_ - LineStep());
        break;
    case SB_LINEDOWN:
        ScrollTo(scrollPos_ + LineStep());
        break;
    case SB_PAGEUP:
        ScrollTo(scrollPos_ - page);
        break;
    case SB_PAGEDOWN:
        ScrollTo(scrollPos_ + page);
        break;
    case SB_TOP:
        ScrollTo(0);
        break;
    case SB_BOTTOM:
        ScrollTo(MaxScrollPos());
        break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION:
        ScrollTo(trackPos);
        break;
    }
}

void TKvPageView::WndProc(TMessage& msg)
{
    switch (msg.Msg) {
    case WM_VSCROLL: {
        int track = HIWORD(msg.WParam);
        if (HWND wnd = HandleIfAllocated()) {
            // The 16-bit position of the message cannot hold a long page's.
            SCROLLINFO info{};
            info.cbSize = sizeof info;
            info.fMask = SIF_TRACKPOS;
            if (GetScrollInfo(wnd, SB_VERT, &info))
                track = info.nTrackPos;
        }
        Scroll(LOWORD(msg.WParam), track);
        msg.Result = 0;
        return;
    }
    case WM_MOUSEWHEEL: {
        wheelRest_ += GET_WHEEL_DELTA_WPARAM(msg.WParam);
        const int notches = wheelRest_ / WHEEL_DELTA;
        wheelRest_ -= notches * WHEEL_DELTA;
        if (notches != 0)
            ScrollTo(scrollPos_ - notches * 3 * LineStep());
        msg.Result = 0;
        return;
    }
    case WM_KEYDOWN:
        switch (msg.WParam) {
        case VK_UP:
            Scroll(SB_LINEUP, 0);
            return;
        case VK_DOWN:
            Scroll(SB_LINEDOWN, 0);
            return;
        case VK_PRIOR:
            Scroll(SB_PAGEUP, 0);
            return;
        case VK_NEXT:
            Scroll(SB_PAGEDOWN, 0);
            return;
        case VK_HOME:
            Scroll(SB_TOP, 0);
            return;
        case VK_END:
            Scroll(SB_BOTTOM, 0);
            return;
        }
        break;
    case WM_GETDLGCODE:
        msg.Result = DLGC_WANTARROWS;
        return;
    }
    TCustomControl::WndProc(msg);
}

void TKvPageView::Paint()
{
    TCustomControl::Paint();
    TCanvas& canvas = Canvas();
    canvas.Brush().SetColor(Color());
    canvas.Brush().SetStyle(TBrushStyle::Solid);
    canvas.FillRect(ClientRect());
    canvas.Brush().SetStyle(TBrushStyle::Clear);
    if (HDC dc = canvas.Handle()) {
        TDcSelection font(dc, Font().Handle());
        renderer_.OffsetY = -scrollPos_;
        renderer_.Draw(dc, LayoutRect(), *tree_);
    }
}

void TKvPageView::Resize()
{
    TCustomControl::Resize();
    Relayout();
    Invalidate();
}

void TKvPageView::FontChanged()
{
    tree_->ClearWordCaches();
    Relayout();
    TCustomControl::FontChanged();
}

TLinkNodeW* TKvPageView::LinkAt(POINT pt) const
{
    if (!tree_->HasNodeAt<TLinkNodeW>(pt))
        return nullptr;
    return tree_->FindNodeAt<TLinkNodeW>(pt);
}

void TKvPageView::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    TCustomControl::MouseDown(button, shift, x, y);
    if (HWND wnd = HandleIfAllocated())
        ::SetFocus(wnd);
    pressedLink_ = button == TMouseButton::Left ? LinkAt(POINT{x, y}) : nullptr;
}

void TKvPageView::MouseMove(TShiftState shift, int x, int y)
{
    TCustomControl::MouseMove(shift, x, y);
    const TCursor wanted = LinkAt(POINT{x, y}) ? crHandPoint : crDefault;
    if (Cursor() != wanted)
        SetCursor(wanted);
}

void TKvPageView::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    TCustomControl::MouseUp(button, shift, x, y);
    TLinkNodeW* pressed = std::exchange(pressedLink_, nullptr);
    if (button != TMouseButton::Left || !pressed || LinkAt(POINT{x, y}) != pressed)
        return;
    const std::wstring href = StdFromWideString(pressed->Href);
    if (OnLinkClick)
        OnLinkClick(*this, href);
}

bool TKvPageView::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"ContentHeight") {
        value = std::to_wstring(contentHeight_);
        return true;
    }
    if (name == L"ScrollPos") {
        value = std::to_wstring(scrollPos_);
        return true;
    }
    if (name == L"Empty") {
        value = empty_ ? L"1" : L"0";
        return true;
    }
    if (name == L"LinkRects") {
        // Where the link text lies now, in client coordinates: "l,t,r,b"
        // each, split by ";".
        value.clear();
        const TRectVectorW& rects = tree_->Root().LinkRects;
        for (int32_t i = 0; i < rects.Count(); ++i) {
            const RECT& r = rects.At(i);
            if (!value.empty())
                value += L";";
            value += std::to_wstring(r.left) + L"," + std::to_wstring(r.top) + L"," +
                     std::to_wstring(r.right) + L"," + std::to_wstring(r.bottom);
        }
        return true;
    }
    return TCustomControl::InspectProperty(name, value);
}
