#pragma once
// The HTML renderer: a caption in a small HTML subset (links, bold, italic,
// underline, strike-out, font colour, line and paragraph breaks, a
// caller-filled DYNAMIC tag) becomes a tree of nodes, which is laid out as
// wrapped lines inside a rectangle and drawn in the same pass. Every drawn
// piece of text keeps its rectangle for hit testing, and a single link can be
// drawn again in the colour of its state.
//
// Trees are built by TDefaultParserW from captions, or by any caller from the
// node classes below (Add sets the parent and hands over ownership); callers
// that build their own trees keep nesting within kvMaxNodeDepth, as the
// builder does.
//
// Text goes through IKvTextCanvasW: TKvDCTextCanvasW puts it on a device
// context (a window's or a memory DC), tests put a fake measurer in its place.
// Everything here belongs to the GUI thread.

#include "platform/ClassesU.h"

#include "controls/KvContainers.h"
#include "controls/KvGraphics.h"
#include "controls/KvHtmlCharSetPlugin.h"
#include "controls/KvObjectVector.h"
#include "controls/KvWideStrings.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class TKvHtmlParser;
class TKvHtmlTag;
class TNodeW;
class TParentNodeW;
class TAreaNodeW;
class TStringNodeW;
class TLinkNodeW;
class TDynamicNodeW;
class TRootNodeW;
class TTextHandlerW;

// --- Styles, colours, ids ---------------------------------------------------------------

// A font style set (the form library's): bit (1 << item) for the items bold
// 0, italic 1, underline 2 and strike-out 3.
using TKvFontStylesW = TFontStyles;
enum TKvFontStyleItemW : uint8_t {
    kvfsBold = 0,
    kvfsItalic = 1,
    kvfsUnderline = 2,
    kvfsStrikeOut = 3
};
constexpr TKvFontStylesW KvFontStyle(TKvFontStyleItemW item) noexcept
{
    return static_cast<TKvFontStylesW>(1u << item);
}
static_assert(KvFontStyle(kvfsBold) == fsBold && KvFontStyle(kvfsItalic) == fsItalic &&
              KvFontStyle(kvfsUnderline) == fsUnderline &&
              KvFontStyle(kvfsStrikeOut) == fsStrikeOut);
constexpr TKvFontStylesW kvfsAll = fsBold | fsItalic | fsUnderline | fsStrikeOut;

// Colours are TColor values ($00BBGGRR, system colours with the top byte
// $FF). What a link node's Color gives per state; the renderer turns them
// into its link colours.
constexpr TColor kvclLinkNormal = 0x80000400;
constexpr TColor kvclLinkClicked = 0x80000401;
constexpr TColor kvclLinkHot = 0x80000402;

// A colour GDI can take: $00BBGGRR as it is, a system colour through
// GetSysColor. False (rgb untouched) for every other value: the link
// placeholders, clNone and anything else with a top byte.
bool KvColorToRgb(TColor color, uint32_t& rgb) noexcept;

// Tag and attribute ids the tree builder acts on (the tag table's ids).
enum : uint32_t {
    kvTagA = 1,
    kvTagB = 7,
    kvTagBR = 15,
    kvTagFONT = 40,
    kvTagI = 54,
    kvTagP = 79,
    kvTagS = 84,
    kvTagU = 106,
};
enum : uint32_t {
    kvAttrCOLOR = 29,
    kvAttrHREF = 52,
    kvAttrID = 56,
};

// Parent nodes nest at most this deep below the root. Captions come from a
// file every user may write, and every walk that recurses per level (building,
// drawing, FindNodeAt) must stay far from the end of the stack; the builder
// skips deeper start tags, and callers that build trees of their own keep to
// the same limit.
constexpr int32_t kvMaxNodeDepth = 256;

// The renderer's internal faults (never raised for any input text).
class EKvHtmlRendererError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// --- Vectors ----------------------------------------------------------------------------

// Rectangles of drawn text (Left, Top, Right, Bottom).
class TRectVectorW : public TKvVector {
public:
    TRectVectorW();
    const char* ClassName() const override { return "TRectVectorW"; }
    void Add(const RECT& rect);
    const RECT& At(int32_t index) const { return *static_cast<const RECT*>(PItemAt(index)); }
    // Some rectangle holds the point; right and bottom edges are outside.
    bool Contains(POINT pt) const;
};

// One measured word of a string node.
struct TWordItemW {
    bool EndsWithSpace;
    int32_t SpaceWidth;
    int32_t Width;
};

// A string node's word widths, one item per word in order.
class TWordItemVectorW : public TKvVector {
public:
    TWordItemVectorW();
    const char* ClassName() const override { return "TWordItemVectorW"; }
    void Add(const TWordItemW& item);
    const TWordItemW& At(int32_t index) const
    {
        return *static_cast<const TWordItemW*>(PItemAt(index));
    }
};

// The children of a parent node; owns them.
class TNodeListW : public TKvObjectVector {
public:
    const char* ClassName() const override { return "TNodeListW"; }
    TNodeW* Node(int32_t index) const;
};

// --- Nodes ------------------------------------------------------------------------------

// A class test for the searches (FindFirst, FindNodeAt, HasNodeAt, the
// enumerator): true when the node is of the class or derived from it.
using TNodeClassW = bool (*)(const TNodeW& node);
template <class T> bool IsNodeClass(const TNodeW& node) noexcept
{
    return dynamic_cast<const T*>(&node) != nullptr;
}

enum TNodeKindW : uint8_t {
    nkNode = 0,
    nkParent = 1,
    nkArea = 2,
    nkFont = 3,
    nkStyle = 4,
    nkLink = 5,
    nkDynamic = 6,
    nkRoot = 7,
    nkString = 8,
    nkAction = 9,
};

// Nodes are owned by their parent's child list and are not copied.
class TNodeW : public TObject {
public:
    TNodeW() = default;
    TNodeW(const TNodeW&) = delete;
    TNodeW& operator=(const TNodeW&) = delete;
    virtual uint8_t NodeKind() const { return nkNode; }
    // Not owned; set by Add.
    TParentNodeW* Parent = nullptr;
};

class TParentNodeW : public TNodeW {
public:
    // Frees the whole subtree without recursing per level.
    ~TParentNodeW() override;
    uint8_t NodeKind() const override { return nkParent; }

    TNodeListW& Children() noexcept { return children_; }
    const TNodeListW& Children() const noexcept { return children_; }
    int32_t ChildCount() const noexcept { return children_.Count(); }
    TNodeW* Child(int32_t index) const { return children_.Node(index); }
    // Appends node (owned from then on) and sets its Parent.
    void Add(TNodeW* node);
    // Frees every child and its subtree.
    void Clear();
    // The first descendant of the class in depth-first order; nil when none.
    TNodeW* FindFirst(TNodeClassW nodeClass) const;
    template <class T> T* FindFirst() const { return static_cast<T*>(FindFirst(&IsNodeClass<T>)); }

private:
    TNodeListW children_;
};

// A node with its own text appearance: where its content starts (set while
// drawing), its style set and colour.
class TAreaNodeW : public TParentNodeW {
public:
    uint8_t NodeKind() const override { return nkArea; }
    virtual TKvFontStylesW FontStyle() const { return Style; }
    virtual uint32_t Color() const { return StoredColor; }
    // Some top-level area node of the class inside this node holds the point
    // in one of its string nodes' rectangles.
    virtual bool HasNodeAt(POINT pt, TNodeClassW nodeClass) const;
    // A string node anywhere inside holds the point in one of its rectangles.
    bool ContainsPoint(POINT pt) const;

    int32_t X = 0;
    int32_t Y = 0;
    TKvFontStylesW Style = 0;
    uint32_t StoredColor = 0;
};

class TFontNodeW : public TAreaNodeW {
public:
    explicit TFontNodeW(uint32_t color) { StoredColor = color; }
    uint8_t NodeKind() const override { return nkFont; }
};

class TStyleNodeW : public TAreaNodeW {
public:
    explicit TStyleNodeW(TKvFontStyleItemW item) : StyleItem(item) {}
    uint8_t NodeKind() const override { return nkStyle; }
    TKvFontStyleItemW StyleItem;
};

enum TLinkStateW : uint8_t { lsNormal = 0, lsPressed = 1, lsHot = 2 };

class TLinkNodeW : public TAreaNodeW {
public:
    explicit TLinkNodeW(const WideString& href) : Href(href) {}
    uint8_t NodeKind() const override { return nkLink; }
    // The state's placeholder (kvclLinkNormal, kvclLinkClicked, kvclLinkHot);
    // the stored colour for any other state.
    uint32_t Color() const override;
    // The texts of its string nodes in tree order.
    WideString GetText() const;

    uint8_t State = lsNormal;
    WideString Href;
};

class TDynamicNodeW : public TAreaNodeW {
public:
    explicit TDynamicNodeW(const WideString& id) : ID(id) {}
    uint8_t NodeKind() const override { return nkDynamic; }
    WideString ID;
};

class TRootNodeW : public TAreaNodeW {
public:
    uint8_t NodeKind() const override { return nkRoot; }
    // For the link class the collected LinkRects answer.
    bool HasNodeAt(POINT pt, TNodeClassW nodeClass) const override;
    // LinkRects := the rectangles of every string node inside every top-level
    // link node.
    void CollectLinkRects();

    TRectVectorW LinkRects;
};

class TStringNodeW : public TNodeW {
public:
    explicit TStringNodeW(const WideString& text) : Text(text) {}
    uint8_t NodeKind() const override { return nkString; }

    WideString Text;
    // Where its text was drawn in the last layout.
    TRectVectorW Rects;
    // Word widths, filled by the first layout.
    TWordItemVectorW WordCache;
    // Its first word was measured with the text before it (one word split
    // over several styles).
    bool Joined = false;
};

enum TNodeActionW : uint8_t { naLineBreak = 0, naParagraph = 1 };

class TActionNodeW : public TNodeW {
public:
    explicit TActionNodeW(TNodeActionW action) : Action(action) {}
    uint8_t NodeKind() const override { return nkAction; }
    TNodeActionW Action;
};

// Owns one root, which starts in clWindowText with no style.
class TNodeTreeW {
public:
    TNodeTreeW();
    TNodeTreeW(const TNodeTreeW&) = delete;
    TNodeTreeW& operator=(const TNodeTreeW&) = delete;

    TRootNodeW& Root() noexcept { return root_; }
    const TRootNodeW& Root() const noexcept { return root_; }
    // Frees every node below the root and forgets the link rectangles.
    void Clear();
    // Empties the word caches of every string node (the font changed).
    void ClearWordCaches();
    // The outermost area node of the class holding the point; nil when none.
    TAreaNodeW* FindNodeAt(POINT pt, TNodeClassW nodeClass) const;
    bool HasNodeAt(POINT pt, TNodeClassW nodeClass) const;
    template <class T> T* FindNodeAt(POINT pt) const
    {
        return static_cast<T*>(FindNodeAt(pt, &IsNodeClass<T>));
    }
    template <class T> bool HasNodeAt(POINT pt) const { return HasNodeAt(pt, &IsNodeClass<T>); }

private:
    TRootNodeW root_;
};

// Walks a subtree (not its start) depth-first in child order and yields the
// nodes of a class, without descending into a yielded node; it descends into
// every other parent node. The tree must not change during the walk.
class TTopLevelNodeEnumeratorW {
public:
    TTopLevelNodeEnumeratorW(const TParentNodeW& start, TNodeClassW nodeClass);
    // The next matching node; nil when the walk is done.
    TNodeW* Next();

private:
    struct Frame {
        const TParentNodeW* parent;
        int32_t next;
    };
    TKvList stack_;
    TNodeClassW nodeClass_;
};

// Splits text into words: a word runs up to and including the next space
// (U+0020); a space after a space is a word of its own; the last word may end
// without one.
class TWordEnumerator {
public:
    // text must outlive the enumerator.
    explicit TWordEnumerator(const WideString& text) : text_(text) {}
    TWordEnumerator(WideString&&) = delete;
    bool HasNext() const noexcept { return position_ < text_.Length(); }
    // Raises EKvHtmlRendererError when no word is left.
    WideString GetNext();
    // Words returned so far.
    int32_t Count() const noexcept { return count_; }

private:
    const WideString& text_;
    int32_t position_ = 0;
    int32_t count_ = 0;
};

// --- Tree builder -----------------------------------------------------------------------

// The tags of the subset as every builder of trees from HTML reads them; the
// DYNAMIC tag is TDefaultParserW's alone.
//
// A start tag read into parent, which nests depth below the root: BR and P
// add their action node and set lineStart; A, B, I, U, S and FONT (with a
// colour that can be read) add their content node and return it, for what
// follows to go into, unless it would nest deeper than kvMaxNodeDepth. Nil
// when no content node was added.
TParentNodeW* KvAddStartTagNode(const TKvHtmlTag& tag, TParentNodeW& parent, int32_t depth,
                                bool& lineStart);
// The end tag closes parent: an A a link node, a B, I, U or S a style node of
// that item, a FONT a font node.
bool KvEndTagCloses(const TKvHtmlTag& tag, const TParentNodeW& parent);

// The content of DYNAMIC tags: Source (8-bit text, parsed as HTML) for a node;
// an empty Source adds nothing.
class IDynamicTagSource {
public:
    virtual void GetSource(TDynamicNodeW* node, std::string& sourceAnsi) = 0;

protected:
    ~IDynamicTagSource() = default;
};

// Builds trees from captions. The source (nil: DYNAMIC tags stay empty) is
// the owner's and must outlive Parse.
class TDefaultParserW {
public:
    explicit TDefaultParserW(IDynamicTagSource* source = nullptr) : source_(source) {}
    virtual ~TDefaultParserW() = default;
    std::unique_ptr<TNodeTreeW> Parse(const WideString& caption);
    IDynamicTagSource* Source() const noexcept { return source_; }
    // Handed to the charset plug-in of every parse (a DYNAMIC source may
    // declare its charset).
    TKvCharSetChangeEvent OnCharSetChange;

protected:
    // Reads pieces into parent until the input ends or an end tag closes
    // parent. depth: parent's nesting below the root.
    void BuildNodes(TKvHtmlParser& parser, TParentNodeW& parent, bool& lineStart, int32_t depth,
                    bool inDynamic);
    void ExpandDynamicNode(TDynamicNodeW& node, int32_t depth);

private:
    void SetUp(TKvHtmlParser& parser, TKvHtmlCharSetPlugin& plugin) const;
    IDynamicTagSource* source_;
};

// --- Text output ------------------------------------------------------------------------

// What the layout needs of a canvas: text extents and wide-text output in the
// current font, whose style set and colour it changes.
class IKvTextCanvasW {
public:
    virtual ~IKvTextCanvasW() = default;
    virtual TKvFontStylesW FontStyle() = 0;
    virtual void SetFontStyle(TKvFontStylesW style) = 0;
    // rgb is $00BBGGRR (never a system colour or a placeholder).
    virtual void SetFontColor(uint32_t rgb) = 0;
    virtual int32_t TextWidth(const WideString& text) = 0;
    virtual int32_t TextHeight(const WideString& text) = 0;
    virtual void OutputText(int32_t x, int32_t y, const WideString& text) = 0;
};

// Over a device context and its selected font: style sets become fonts made
// from that font's description (made when first asked for, freed with this
// object); text is drawn with ExtTextOutW in transparent background mode.
// The DC's font, text colour and background mode are restored on destruction.
class TKvDCTextCanvasW final : public IKvTextCanvasW {
public:
    explicit TKvDCTextCanvasW(HDC dc);
    ~TKvDCTextCanvasW() override;
    TKvDCTextCanvasW(const TKvDCTextCanvasW&) = delete;
    TKvDCTextCanvasW& operator=(const TKvDCTextCanvasW&) = delete;

    TKvFontStylesW FontStyle() override { return style_; }
    void SetFontStyle(TKvFontStylesW style) override;
    void SetFontColor(uint32_t rgb) override;
    int32_t TextWidth(const WideString& text) override;
    int32_t TextHeight(const WideString& text) override;
    void OutputText(int32_t x, int32_t y, const WideString& text) override;

private:
    HDC dc_;
    HGDIOBJ originalFont_;
    LOGFONTW base_{};
    TKvFontStylesW baseStyle_ = 0;
    TKvFontStylesW style_ = 0;
    HFONT fonts_[kvfsAll + 1] = {};
    COLORREF originalColor_;
    int originalBkMode_;
};

// --- Layout -----------------------------------------------------------------------------

// Pending text of the layout: runs with no space between them wait in the
// buffer and are measured together.
class TParentTextElementW : public TObject {};

class TStringElementW : public TParentTextElementW {
public:
    TStringElementW(TStringNodeW* node, TKvFontStylesW style, uint32_t color)
        : Node(node), Style(style), Color(color)
    {
    }
    TStringNodeW* Node;
    TKvFontStylesW Style;
    uint32_t Color;
};

class TActionElementW : public TParentTextElementW {
public:
    explicit TActionElementW(TNodeActionW action) : Action(action) {}
    TNodeActionW Action;
};

// Owns its elements.
class TElementVectorW : public TKvObjectVector {
public:
    const char* ClassName() const override { return "TElementVectorW"; }
    TParentTextElementW* Element(int32_t index) const;
};

// An area node waiting for the first laid-out string node inside it, which
// gives it its position.
struct TNodeObserverW {
    TAreaNodeW* Node;
    TStringNodeW* First;
};

class TNodeObserverListW : public TKvVector {
public:
    TNodeObserverListW();
    const char* ClassName() const override { return "TNodeObserverListW"; }
    void Add(TAreaNodeW* node, TStringNodeW* first);
    const TNodeObserverW& At(int32_t index) const
    {
        return *static_cast<const TNodeObserverW*>(PItemAt(index));
    }
};

// One layout pass: the pen, the layout area and the buffer of pending text.
// LineHeight is the height of "fg" in the canvas font with no style.
class TTextHandlerW {
public:
    TTextHandlerW(IKvTextCanvasW& canvas, const RECT& rect, int32_t x, int32_t y, int32_t offsetY);
    virtual ~TTextHandlerW() = default;
    TTextHandlerW(const TTextHandlerW&) = delete;
    TTextHandlerW& operator=(const TTextHandlerW&) = delete;

    void AddString(TStringNodeW& node, TKvFontStylesW style, uint32_t color);
    void AddLineBreak();
    void AddParagraph();
    // Lays out and draws the buffered elements, then empties the buffer.
    void EmptyBuffer();
    // first gives node its position when first laid out.
    void AddObserver(TAreaNodeW& node, TStringNodeW& first);
    int32_t Height() const noexcept { return Y + LineHeight; }
    bool IsEmpty() const noexcept { return buffer_.Count() == 0; }
    IKvTextCanvasW& Canvas() noexcept { return canvas_; }

    int32_t X;
    int32_t Y;
    const int32_t OffsetY;
    const RECT Rect;
    int32_t LineHeight;

protected:
    TElementVectorW& Buffer() noexcept { return buffer_; }

private:
    void LayOutString(const TStringElementW& element, int32_t index);
    TWordItemW WordWidth(const WideString& word, int32_t count, bool lastWord, int32_t index);
    void NotifyObservers(const TStringNodeW& node);
    // Draws line when it is inside the vertical range and records its
    // rectangle either way; returns its width.
    int32_t OutputLine(TStringNodeW& node, const WideString& line);

    IKvTextCanvasW& canvas_;
    TElementVectorW buffer_;
    TNodeObserverListW observers_;
};

// Lays out and draws trees. Each draw lays the text out again; word widths
// come from the string nodes' caches after the first.
class TKvHtmlRendererW {
public:
    virtual ~TKvHtmlRendererW() = default;

    // Root at (Rect.Left, Rect.Top), the whole tree drawn (links in LinkColor
    // whatever their state), then the root's LinkRects collected.
    void Draw(IKvTextCanvasW& canvas, const RECT& rect, TNodeTreeW& tree);
    void Draw(HDC dc, const RECT& rect, TNodeTreeW& tree);
    // One area node from its position of the last draw; a link in its state's
    // colour. Overwrites TextHeight.
    void DrawNode(IKvTextCanvasW& canvas, const RECT& rect, TAreaNodeW& area);
    void DrawNode(HDC dc, const RECT& rect, TAreaNodeW& area);
    // Feeds node's content to the current text handler.
    virtual void RenderNode(TNodeW& node, TKvFontStylesW style, uint32_t color);
    // The link placeholders to the link colours; other values unchanged.
    uint32_t ResolveColor(uint32_t color) const noexcept;

    // The current handler during a draw; nil otherwise.
    TTextHandlerW* TextHandler() const noexcept { return textHandler_; }
    // The handler's Height after the last DrawNode (or Draw).
    int32_t TextHeight() const noexcept { return textHeight_; }

    uint32_t LinkColor = 0xFF0000;
    uint32_t LinkColorClicked = 0x0000FF;
    uint32_t LinkColorHot = 0x800080;
    TKvFontStylesW LinkStyle = KvFontStyle(kvfsUnderline);
    int32_t OffsetY = 0;

private:
    TTextHandlerW* textHandler_ = nullptr;
    int32_t textHeight_ = 0;
    int32_t depth_ = 0;
};
