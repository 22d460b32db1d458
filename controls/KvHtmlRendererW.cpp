#include "controls/KvHtmlRendererW.h"

#include "controls/KvHtmlColors.h"
#include "controls/KvHtmlParser.h"

#include <cstring>
#include <vector>

namespace {

// Handlers of the plain records kept in the unit's vectors and lists: zeroed
// when made, copied as bytes.
template <class T> TKvItemHandler* PlainItemHandler()
{
    static TKvItemHandler* handler = [] {
        auto* h = new TKvItemHandler();
        h->SetItemSize(sizeof(T));
        h->SetOnInitItem([](void* item) { std::memset(item, 0, sizeof(T)); });
        h->SetOnCopyItem(
            [](const void* source, void* dest) { std::memcpy(dest, source, sizeof(T)); });
        KvRegisterSharedHandler(h);
        return h;
    }();
    return handler;
}

template <class T> void AppendPlain(TKvVector& vector, const T& value)
{
    std::memcpy(vector.InsertLastRaw(), &value, sizeof(T));
}

bool StartsWithSpace(const WideString& s) noexcept
{
    return s.Length() > 0 && s[0] == u' ';
}

bool EndsWithSpace(const WideString& s) noexcept
{
    return s.Length() > 0 && s[s.Length() - 1] == u' ';
}

bool Inside(const RECT& r, POINT pt) noexcept
{
    return pt.x >= r.left && pt.x < r.right && pt.y >= r.top && pt.y < r.bottom;
}

// The first string node inside area that the layout will see (empty ones never
// reach it, so they could never give area its position).
TStringNodeW* FirstTextNode(const TAreaNodeW& area)
{
    TTopLevelNodeEnumeratorW nodes(area, &IsNodeClass<TStringNodeW>);
    while (TNodeW* node = nodes.Next()) {
        auto* s = static_cast<TStringNodeW*>(node);
        if (!s->Text.IsEmpty())
            return s;
    }
    return nullptr;
}

// Sets a pointer for the length of a scope.
template <class T> class TScopedValue {
public:
    TScopedValue(T& slot, T value) : slot_(slot), old_(slot) { slot_ = value; }
    ~TScopedValue() { slot_ = old_; }
    TScopedValue(const TScopedValue&) = delete;
    TScopedValue& operator=(const TScopedValue&) = delete;

private:
    T& slot_;
    T old_;
};

} // namespace

bool KvColorToRgb(TColor color, uint32_t& rgb) noexcept
{
    if ((color >> 24) != 0 && !IsSystemColor(color))
        return false;
    rgb = ColorToRGB(color);
    return true;
}

// --- Vectors ----------------------------------------------------------------------------

TRectVectorW::TRectVectorW() : TKvVector(PlainItemHandler<RECT>(), "TRectVectorW") {}

void TRectVectorW::Add(const RECT& rect)
{
    AppendPlain(*this, rect);
}

bool TRectVectorW::Contains(POINT pt) const
{
    for (int32_t i = 0; i < Count(); ++i)
        if (Inside(At(i), pt))
            return true;
    return false;
}

TWordItemVectorW::TWordItemVectorW() : TKvVector(PlainItemHandler<TWordItemW>(), "TWordItemVectorW")
{
}

void TWordItemVectorW::Add(const TWordItemW& item)
{
    AppendPlain(*this, item);
}

TNodeW* TNodeListW::Node(int32_t index) const
{
    return static_cast<TNodeW*>(GetObject(index));
}

TNodeObserverListW::TNodeObserverListW()
    : TKvVector(PlainItemHandler<TNodeObserverW>(), "TNodeObserverListW")
{
}

void TNodeObserverListW::Add(TAreaNodeW* node, TStringNodeW* first)
{
    AppendPlain(*this, TNodeObserverW{node, first});
}

TParentTextElementW* TElementVectorW::Element(int32_t index) const
{
    return static_cast<TParentTextElementW*>(GetObject(index));
}

// --- Nodes ------------------------------------------------------------------------------

TParentNodeW::~TParentNodeW()
{
    Clear();
}

void TParentNodeW::Add(TNodeW* node)
{
    children_.AddObject(node);
    node->Parent = this;
}

void TParentNodeW::Clear()
{
    // A tree may be far deeper than the stack allows destructors to nest:
    // children are taken out of their lists first and freed from a work list,
    // so each destructor finds its own list empty.
    std::vector<TNodeW*> pending;
    auto takeChildren = [&pending](TParentNodeW& parent) {
        TNodeListW& list = parent.children_;
        for (int32_t i = 0; i < list.Count(); ++i) {
            auto** slot = static_cast<TObject**>(list.PItemAt(i));
            pending.push_back(static_cast<TNodeW*>(*slot));
            *slot = nullptr;
        }
        list.Clear();
    };
    takeChildren(*this);
    while (!pending.empty()) {
        TNodeW* node = pending.back();
        pending.pop_back();
        if (auto* parent = dynamic_cast<TParentNodeW*>(node))
            takeChildren(*parent);
        delete node;
    }
}

TNodeW* TParentNodeW::FindFirst(TNodeClassW nodeClass) const
{
    // Depth-first: the enumerator stops at the outermost match, which is the
    // first in pre-order.
    TTopLevelNodeEnumeratorW nodes(*this, nodeClass);
    return nodes.Next();
}

bool TAreaNodeW::ContainsPoint(POINT pt) const
{
    TTopLevelNodeEnumeratorW nodes(*this, &IsNodeClass<TStringNodeW>);
    while (TNodeW* node = nodes.Next())
        if (static_cast<TStringNodeW*>(node)->Rects.Contains(pt))
            return true;
    return false;
}

bool TAreaNodeW::HasNodeAt(POINT pt, TNodeClassW nodeClass) const
{
    TTopLevelNodeEnumeratorW nodes(*this, nodeClass);
    while (TNodeW* node = nodes.Next())
        if (auto* area = dynamic_cast<TAreaNodeW*>(node); area && area->ContainsPoint(pt))
            return true;
    return false;
}

uint32_t TLinkNodeW::Color() const
{
    switch (State) {
    case lsNormal:
        return kvclLinkNormal;
    case lsPressed:
        return kvclLinkClicked;
    case lsHot:
        return kvclLinkHot;
    default:
        return StoredColor;
    }
}

WideString TLinkNodeW::GetText() const
{
    WideString text;
    TTopLevelNodeEnumeratorW nodes(*this, &IsNodeClass<TStringNodeW>);
    while (TNodeW* node = nodes.Next())
        text += static_cast<TStringNodeW*>(node)->Text;
    return text;
}

bool TRootNodeW::HasNodeAt(POINT pt, TNodeClassW nodeClass) const
{
    if (nodeClass == &IsNodeClass<TLinkNodeW>)
        return LinkRects.Contains(pt);
    return TAreaNodeW::HasNodeAt(pt, nodeClass);
}

void TRootNodeW::CollectLinkRects()
{
    LinkRects.Clear();
    TTopLevelNodeEnumeratorW links(*this, &IsNodeClass<TLinkNodeW>);
    while (TNodeW* link = links.Next()) {
        TTopLevelNodeEnumeratorW strings(*static_cast<TLinkNodeW*>(link),
                                         &IsNodeClass<TStringNodeW>);
        while (TNodeW* node = strings.Next()) {
            const TRectVectorW& rects = static_cast<TStringNodeW*>(node)->Rects;
            for (int32_t i = 0; i < rects.Count(); ++i)
                LinkRects.Add(rects.At(i));
        }
    }
}

TNodeTreeW::TNodeTreeW()
{
    root_.StoredColor = clWindowText;
}

void TNodeTreeW::Clear()
{
    root_.Clear();
    root_.LinkRects.Clear();
}

void TNodeTreeW::ClearWordCaches()
{
    TTopLevelNodeEnumeratorW nodes(root_, &IsNodeClass<TStringNodeW>);
    while (TNodeW* node = nodes.Next())
        static_cast<TStringNodeW*>(node)->WordCache.Clear();
}

namespace {

// Over the top-level area nodes of parent: the first holding the point that is
// of the class, else what the search inside a holding one of another class
// finds. Recursion per area level, bounded by the nesting limit.
TAreaNodeW* FindAreaAt(const TParentNodeW& parent, POINT pt, TNodeClassW nodeClass, int32_t depth)
{
    TTopLevelNodeEnumeratorW areas(parent, &IsNodeClass<TAreaNodeW>);
    while (TNodeW* node = areas.Next()) {
        auto* area = static_cast<TAreaNodeW*>(node);
        if (!area->ContainsPoint(pt))
            continue;
        if (nodeClass(*area))
            return area;
        if (depth < kvMaxNodeDepth)
            if (TAreaNodeW* found = FindAreaAt(*area, pt, nodeClass, depth + 1))
                return found;
    }
    return nullptr;
}

} // namespace

TAreaNodeW* TNodeTreeW::FindNodeAt(POINT pt, TNodeClassW nodeClass) const
{
    return FindAreaAt(root_, pt, nodeClass, 1);
}

bool TNodeTreeW::HasNodeAt(POINT pt, TNodeClassW nodeClass) const
{
    return root_.HasNodeAt(pt, nodeClass);
}

TTopLevelNodeEnumeratorW::TTopLevelNodeEnumeratorW(const TParentNodeW& start, TNodeClassW nodeClass)
    : stack_(PlainItemHandler<Frame>()), nodeClass_(nodeClass)
{
    *static_cast<Frame*>(stack_.InsertLastRaw()) = Frame{&start, 0};
}

TNodeW* TTopLevelNodeEnumeratorW::Next()
{
    while (void* top = stack_.PLastItem()) {
        Frame& frame = *static_cast<Frame*>(top);
        if (frame.next >= frame.parent->ChildCount()) {
            stack_.DeleteLast();
            continue;
        }
        TNodeW* node = frame.parent->Child(frame.next++);
        if (nodeClass_(*node))
            return node;
        if (auto* parent = dynamic_cast<const TParentNodeW*>(node))
            *static_cast<Frame*>(stack_.InsertLastRaw()) = Frame{parent, 0};
    }
    return nullptr;
}

WideString TWordEnumerator::GetNext()
{
    const int32_t length = text_.Length();
    if (position_ >= length)
        throw EKvHtmlRendererError("TWordEnumerator.GetNext: No more words to return");
    int32_t end = position_;
    while (end < length && text_[end] != u' ')
        ++end;
    if (end < length)
        ++end; // the space belongs to the word
    WideString word = text_.Substr(position_, end - position_);
    position_ = end;
    ++count_;
    return word;
}

// --- Tree builder -----------------------------------------------------------------------

namespace {

// The style item of a B, I, U or S tag.
TKvFontStyleItemW StyleItemOfTag(uint32_t id) noexcept
{
    return id == kvTagB   ? kvfsBold
           : id == kvTagI ? kvfsItalic
           : id == kvTagU ? kvfsUnderline
                          : kvfsStrikeOut;
}

} // namespace

TParentNodeW* KvAddStartTagNode(const TKvHtmlTag& tag, TParentNodeW& parent, int32_t depth,
                                bool& lineStart)
{
    // Parent kinds deeper than the limit are left out; their text joins the
    // innermost node.
    const bool room = depth < kvMaxNodeDepth;
    TParentNodeW* content = nullptr;
    switch (tag.ID) {
    case kvTagA:
        if (room)
            content = new TLinkNodeW(tag.ValueOfID(kvAttrHREF));
        break;
    case kvTagB:
    case kvTagI:
    case kvTagU:
    case kvTagS:
        if (room)
            content = new TStyleNodeW(StyleItemOfTag(tag.ID));
        break;
    case kvTagFONT: {
        uint32_t color = 0;
        if (room && ColorFromHtml(tag.ValueOfID(kvAttrCOLOR), color))
            content = new TFontNodeW(color);
        break;
    }
    case kvTagBR:
        parent.Add(new TActionNodeW(naLineBreak));
        lineStart = true;
        break;
    case kvTagP:
        parent.Add(new TActionNodeW(naParagraph));
        lineStart = true;
        break;
    }
    if (content)
        parent.Add(content);
    return content;
}

bool KvEndTagCloses(const TKvHtmlTag& tag, const TParentNodeW& parent)
{
    switch (tag.ID) {
    case kvTagA:
        return dynamic_cast<const TLinkNodeW*>(&parent) != nullptr;
    case kvTagB:
    case kvTagI:
    case kvTagU:
    case kvTagS: {
        const auto* style = dynamic_cast<const TStyleNodeW*>(&parent);
        return style && style->StyleItem == StyleItemOfTag(tag.ID);
    }
    case kvTagFONT:
        return dynamic_cast<const TFontNodeW*>(&parent) != nullptr;
    }
    return false;
}

void TDefaultParserW::SetUp(TKvHtmlParser& parser, TKvHtmlCharSetPlugin& plugin) const
{
    plugin.OnCharSetChange = OnCharSetChange;
    plugin.SetHtmlParser(&parser);
    parser.NormalizeWhiteSpace = true;
    parser.FilterHtmlTags().SetFilter(fiShow);
    parser.SetFilterText(fiShow);
}

std::unique_ptr<TNodeTreeW> TDefaultParserW::Parse(const WideString& caption)
{
    auto tree = std::make_unique<TNodeTreeW>();
    TKvHtmlParser parser;
    TKvHtmlCharSetPlugin plugin;
    // The plug-in's attach hook resets the parser to 8-bit reading: attached
    // after UTF-16LE were chosen, it would read every second byte as a NUL.
    SetUp(parser, plugin);
    parser.SetReadMethods(KvReadMethodsUtf16LE());
    parser.SetSourceWideString(caption);
    bool lineStart = true;
    BuildNodes(parser, tree->Root(), lineStart, 0, false);
    return tree;
}

void TDefaultParserW::BuildNodes(TKvHtmlParser& parser, TParentNodeW& parent, bool& lineStart,
                                 int32_t depth, bool inDynamic)
{
    while (parser.ReadPiece()) {
        if (parser.PieceKind() == pkText) {
            WideString text = lineStart ? parser.PieceTextTrimLeft() : parser.PieceText();
            lineStart = false;
            parent.Add(new TStringNodeW(text));
            continue;
        }
        if (parser.PieceKind() != pkHtmlTag)
            continue;
        TKvHtmlTag& tag = parser.HtmlTag();
        if (tag.EndFlag == 1) {
            if (KvEndTagCloses(tag, parent))
                return;
            continue;
        }
        // End flag 2 ("<BR/>") is neither a start nor an end tag here.
        if (tag.EndFlag != 0)
            continue;

        if (tag.ID == kvTagDYNAMIC) {
            // Dynamic content is expanded one level only: a DYNAMIC tag inside
            // it is skipped like any unknown tag, so a source that names its
            // own tag cannot recurse.
            if (depth < kvMaxNodeDepth && !inDynamic) {
                auto* node = new TDynamicNodeW(tag.ValueOfID(kvAttrID));
                parent.Add(node);
                ExpandDynamicNode(*node, depth + 1);
            }
            continue;
        }
        if (TParentNodeW* content = KvAddStartTagNode(tag, parent, depth, lineStart))
            BuildNodes(parser, *content, lineStart, depth + 1, inDynamic);
    }
}

void TDefaultParserW::ExpandDynamicNode(TDynamicNodeW& node, int32_t depth)
{
    if (!source_)
        return;
    std::string sourceAnsi;
    source_->GetSource(&node, sourceAnsi);
    if (sourceAnsi.empty())
        return;
    node.Clear();
    // A parser of its own: pushed onto the caption's reader instead, the
    // suspended caption would run on into the node once the source ended.
    TKvHtmlParser parser;
    TKvHtmlCharSetPlugin plugin;
    SetUp(parser, plugin);
    parser.SetSourceString(sourceAnsi);
    bool lineStart = false;
    BuildNodes(parser, node, lineStart, depth, true);
}

// --- Text output ------------------------------------------------------------------------

TKvDCTextCanvasW::TKvDCTextCanvasW(HDC dc)
    : dc_(dc), originalFont_(GetCurrentObject(dc, OBJ_FONT)), originalColor_(GetTextColor(dc)),
      originalBkMode_(SetBkMode(dc, TRANSPARENT))
{
    if (originalFont_ && GetObjectW(originalFont_, sizeof(base_), &base_) == sizeof(base_)) {
        if (base_.lfWeight >= FW_BOLD)
            baseStyle_ |= KvFontStyle(kvfsBold);
        if (base_.lfItalic)
            baseStyle_ |= KvFontStyle(kvfsItalic);
        if (base_.lfUnderline)
            baseStyle_ |= KvFontStyle(kvfsUnderline);
        if (base_.lfStrikeOut)
            baseStyle_ |= KvFontStyle(kvfsStrikeOut);
    } else {
        base_ = LOGFONTW{};
        base_.lfWeight = FW_NORMAL;
    }
    style_ = baseStyle_;
}

TKvDCTextCanvasW::~TKvDCTextCanvasW()
{
    if (originalFont_)
        SelectObject(dc_, originalFont_);
    for (HFONT font : fonts_)
        if (font)
            DeleteObject(font);
    SetTextColor(dc_, originalColor_);
    if (originalBkMode_)
        SetBkMode(dc_, originalBkMode_);
}

void TKvDCTextCanvasW::SetFontStyle(TKvFontStylesW style)
{
    style &= kvfsAll;
    if (style == style_)
        return;
    HGDIOBJ font = originalFont_;
    if (style != baseStyle_ || !font) {
        HFONT& made = fonts_[style];
        if (!made) {
            LOGFONTW lf = base_;
            lf.lfWeight = style & KvFontStyle(kvfsBold) ? FW_BOLD : FW_NORMAL;
            lf.lfItalic = (style & KvFontStyle(kvfsItalic)) != 0;
            lf.lfUnderline = (style & KvFontStyle(kvfsUnderline)) != 0;
            lf.lfStrikeOut = (style & KvFontStyle(kvfsStrikeOut)) != 0;
            made = CreateFontIndirectW(&lf);
        }
        font = made;
    }
    if (font && SelectObject(dc_, font))
        style_ = style;
}

void TKvDCTextCanvasW::SetFontColor(uint32_t rgb)
{
    SetTextColor(dc_, rgb & 0x00FFFFFF);
}

int32_t TKvDCTextCanvasW::TextWidth(const WideString& text)
{
    return WideTextWidth(dc_, text);
}

int32_t TKvDCTextCanvasW::TextHeight(const WideString& text)
{
    return WideTextHeight(dc_, text);
}

void TKvDCTextCanvasW::OutputText(int32_t x, int32_t y, const WideString& text)
{
    if (text.IsEmpty())
        return;
    ExtTextOutW(dc_, x, y, 0, nullptr, reinterpret_cast<const wchar_t*>(text.Data()),
                static_cast<UINT>(text.Length()), nullptr);
}

// --- Layout -----------------------------------------------------------------------------

TTextHandlerW::TTextHandlerW(IKvTextCanvasW& canvas, const RECT& rect, int32_t x, int32_t y,
                             int32_t offsetY)
    : X(x), Y(y), OffsetY(offsetY), Rect(rect), LineHeight(0), canvas_(canvas)
{
    const TKvFontStylesW style = canvas_.FontStyle();
    canvas_.SetFontStyle(0);
    LineHeight = canvas_.TextHeight(WideString(u"fg"));
    canvas_.SetFontStyle(style);
}

void TTextHandlerW::AddString(TStringNodeW& node, TKvFontStylesW style, uint32_t color)
{
    if (node.Text.IsEmpty())
        return;
    if (StartsWithSpace(node.Text))
        EmptyBuffer();
    buffer_.AddObject(new TStringElementW(&node, style, color));
    if (EndsWithSpace(node.Text))
        EmptyBuffer();
}

void TTextHandlerW::AddLineBreak()
{
    buffer_.AddObject(new TActionElementW(naLineBreak));
    EmptyBuffer();
}

void TTextHandlerW::AddParagraph()
{
    buffer_.AddObject(new TActionElementW(naParagraph));
    EmptyBuffer();
}

void TTextHandlerW::AddObserver(TAreaNodeW& node, TStringNodeW& first)
{
    observers_.Add(&node, &first);
}

void TTextHandlerW::EmptyBuffer()
{
    for (int32_t i = 0; i < buffer_.Count(); ++i) {
        TParentTextElementW* element = buffer_.Element(i);
        if (auto* action = dynamic_cast<TActionElementW*>(element)) {
            X = Rect.left;
            // A paragraph is one and a half lines, or-ed with 2 (13 gives 19,
            // 16 gives 26).
            Y += action->Action == naLineBreak ? LineHeight : ((LineHeight + LineHeight / 2) | 2);
        } else if (auto* text = dynamic_cast<TStringElementW*>(element)) {
            LayOutString(*text, i);
        } else {
            throw EKvHtmlRendererError(
                "TTextHandler.EmptyBuffer: Unsupported TParentTextElement descendant encountered");
        }
    }
    buffer_.Clear();
}

void TTextHandlerW::NotifyObservers(const TStringNodeW& node)
{
    for (int32_t i = observers_.Count() - 1; i >= 0; --i) {
        const TNodeObserverW& observer = observers_.At(i);
        if (observer.First != &node)
            continue;
        observer.Node->X = X;
        observer.Node->Y = Y;
        observers_.Delete(i);
    }
}

void TTextHandlerW::LayOutString(const TStringElementW& element, int32_t index)
{
    TStringNodeW& node = *element.Node;
    NotifyObservers(node);
    canvas_.SetFontStyle(element.Style);
    uint32_t rgb = 0;
    if (KvColorToRgb(element.Color, rgb))
        canvas_.SetFontColor(rgb);

    WideString line;
    int32_t runWidth = 0;
    node.Rects.Clear();
    TWordEnumerator words(node.Text);
    while (words.HasNext()) {
        const WideString word = words.GetNext();
        const int32_t count = words.Count();
        const bool lastWord = !words.HasNext();
        TWordItemW item;
        if (node.WordCache.Count() < count) {
            item = WordWidth(word, count, lastWord, index);
            node.WordCache.Add(item);
        } else {
            item = node.WordCache.At(count - 1);
        }
        runWidth += item.Width;
        const int32_t effective = item.EndsWithSpace ? runWidth - item.SpaceWidth : runWidth;
        const bool singleSpace = word.Length() == 1 && word[0] == u' ';
        const bool firstOfArea = X == Rect.left && Y == Rect.top && count == 1;
        const bool joinedFirst = node.Joined && count == 1;
        if (effective + X >= Rect.right && !singleSpace && !firstOfArea && !joinedFirst) {
            WideTrimRightBy(line, nullptr);
            OutputLine(node, line);
            line = word;
            X = Rect.left;
            runWidth = item.Width;
            Y += LineHeight;
        } else {
            // The cache holds 0 for a joined first word (the text before it
            // carried its width); the rest of this node's line needs it.
            if (joinedFirst && !lastWord)
                runWidth += canvas_.TextWidth(word);
            line += word;
        }
    }
    X += OutputLine(node, line);
}

TWordItemW TTextHandlerW::WordWidth(const WideString& word, int32_t count, bool lastWord,
                                    int32_t index)
{
    const auto& element = *static_cast<TStringElementW*>(buffer_.Element(index));
    const bool joinedFirst = element.Node->Joined && count == 1;
    TWordItemW item{};
    item.Width = joinedFirst ? 0 : canvas_.TextWidth(word);
    item.EndsWithSpace = EndsWithSpace(word);
    item.SpaceWidth = canvas_.TextWidth(WideString(u" "));
    if (!lastWord || joinedFirst)
        return item;

    // The word runs on into the elements after it while no space separates
    // them: their first words are measured with it, in their own styles.
    bool switched = false;
    for (int32_t next = index + 1; next < buffer_.Count(); ++next) {
        auto* before = dynamic_cast<TStringElementW*>(buffer_.Element(next - 1));
        auto* after = dynamic_cast<TStringElementW*>(buffer_.Element(next));
        if (!before || !after || EndsWithSpace(before->Node->Text) ||
            StartsWithSpace(after->Node->Text))
            break;
        canvas_.SetFontStyle(after->Style);
        switched = true;
        TWordEnumerator words(after->Node->Text);
        const WideString first = words.GetNext();
        item.Width += canvas_.TextWidth(first);
        after->Node->Joined = true;
        if (next == buffer_.Count() - 1) {
            item.EndsWithSpace = EndsWithSpace(first);
            item.SpaceWidth = canvas_.TextWidth(WideString(u" "));
        }
        if (words.HasNext())
            break;
    }
    if (switched)
        canvas_.SetFontStyle(element.Style);
    return item;
}

int32_t TTextHandlerW::OutputLine(TStringNodeW& node, const WideString& line)
{
    const int32_t width = canvas_.TextWidth(line);
    const int32_t top = Y + OffsetY;
    if (top + LineHeight > 0 && top < Rect.bottom)
        canvas_.OutputText(X, top, line);
    node.Rects.Add(RECT{X, top, X + width, top + LineHeight});
    return width;
}

// --- Renderer ---------------------------------------------------------------------------

void TKvHtmlRendererW::Draw(IKvTextCanvasW& canvas, const RECT& rect, TNodeTreeW& tree)
{
    TRootNodeW& root = tree.Root();
    root.X = rect.left;
    root.Y = rect.top;
    DrawNode(canvas, rect, root);
    root.CollectLinkRects();
}

void TKvHtmlRendererW::Draw(HDC dc, const RECT& rect, TNodeTreeW& tree)
{
    TKvDCTextCanvasW canvas(dc);
    Draw(canvas, rect, tree);
}

void TKvHtmlRendererW::DrawNode(IKvTextCanvasW& canvas, const RECT& rect, TAreaNodeW& area)
{
    TTextHandlerW handler(canvas, rect, area.X, area.Y, OffsetY);
    TScopedValue<TTextHandlerW*> current(textHandler_, &handler);
    TScopedValue<int32_t> depth(depth_, 0);
    RenderNode(area, area.FontStyle(), area.Color());
    handler.EmptyBuffer();
    textHeight_ = handler.Height();
}

void TKvHtmlRendererW::DrawNode(HDC dc, const RECT& rect, TAreaNodeW& area)
{
    TKvDCTextCanvasW canvas(dc);
    DrawNode(canvas, rect, area);
}

void TKvHtmlRendererW::RenderNode(TNodeW& node, TKvFontStylesW style, uint32_t color)
{
    TTextHandlerW* handler = textHandler_;
    if (!handler)
        return;
    if (auto* area = dynamic_cast<TAreaNodeW*>(&node)) {
        if (handler->IsEmpty()) {
            area->X = handler->X;
            area->Y = handler->Y;
        } else if (TStringNodeW* first = FirstTextNode(*area)) {
            handler->AddObserver(*area, *first);
        }
        area->Style = style;
        area->StoredColor = color;
    }
    auto* parent = dynamic_cast<TParentNodeW*>(&node);
    if (!parent || depth_ > kvMaxNodeDepth)
        return;
    TScopedValue<int32_t> depth(depth_, depth_ + 1);
    for (int32_t i = 0; i < parent->ChildCount(); ++i) {
        TNodeW* child = parent->Child(i);
        uint32_t childColor = ResolveColor(color);
        TKvFontStylesW childStyle = style;
        if (auto* font = dynamic_cast<TFontNodeW*>(child)) {
            childColor = font->Color();
        } else if (auto* styleNode = dynamic_cast<TStyleNodeW*>(child)) {
            childStyle |= KvFontStyle(styleNode->StyleItem);
        } else if (dynamic_cast<TLinkNodeW*>(child)) {
            // A full draw shows every link in LinkColor; only DrawNode of the
            // link itself starts from its state's colour.
            childStyle |= LinkStyle;
            childColor = LinkColor;
        } else if (auto* text = dynamic_cast<TStringNodeW*>(child)) {
            handler->AddString(*text, childStyle, childColor);
        } else if (auto* action = dynamic_cast<TActionNodeW*>(child)) {
            if (action->Action == naLineBreak)
                handler->AddLineBreak();
            else
                handler->AddParagraph();
        }
        if (dynamic_cast<TParentNodeW*>(child))
            RenderNode(*child, childStyle, childColor);
    }
}

uint32_t TKvHtmlRendererW::ResolveColor(uint32_t color) const noexcept
{
    switch (color) {
    case kvclLinkNormal:
        return LinkColor;
    case kvclLinkClicked:
        return LinkColorClicked;
    case kvclLinkHot:
        return LinkColorHot;
    default:
        return color;
    }
}
