#pragma once
// The page view: a window that shows a whole HTML page (the FAQ, the news
// pages) with the HTML renderer, wrapped to its width and scrolled
// vertically. There is no browser engine behind it: no script runs and
// nothing the page names (pictures, style sheets, frames) is fetched. A link
// click is handed to OnLinkClick as data (the href as the page gives it); the
// view opens nothing itself.
//
// The page's bytes are read with the HTML reader and the charset plug-in and
// turned into the renderer's node tree by a builder of its own: HEAD, TITLE,
// SCRIPT and STYLE are left out with everything inside them, block elements
// (headings, DIV, lists, tables, BLOCKQUOTE, HR) break the line, and the
// rest is what the renderer draws for a caption. The tree keeps the
// renderer's nesting cap. A page over kvPageViewMaxBytes is refused.
//
// Owned like every control by its owner; it belongs to the GUI thread.

#include "controls/KvControls.h"
#include "controls/KvHtmlRendererW.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The largest page a view takes.
inline constexpr int64_t kvPageViewMaxBytes = 2 * 1024 * 1024;
// The blank border around the text.
inline constexpr int kvPageViewMargin = 8;

// The node tree of a page's bytes (any size; the view checks the limit).
// Text is read 8-bit unless the page starts with the UTF-8 byte order mark
// or declares the charset "utf-8" in a META Content-Type.
std::unique_ptr<TNodeTreeW> KvBuildPageTree(const std::string& bytes);

// UTF-8 for the character reader: a character outside the 16-bit range and
// every malformed sequence give U+FFFD.
const TKvUnicodeReadMethods& KvReadMethodsUtf8();

class TKvPageView;
// (Sender, the link's href): a copy, so the handler may load another page.
using TPageLinkClickEvent = std::function<void(TKvPageView& Sender, const std::wstring& Href)>;

class TKvPageView : public TCustomControl {
public:
    explicit TKvPageView(TComponent* owner = nullptr);
    ~TKvPageView() override;

    // Shows the page; false (and an empty view) for more than
    // kvPageViewMaxBytes. The view is scrolled back to the top.
    bool SetPageBytes(const std::string& bytes);
    // An empty view.
    void Clear();
    bool Empty() const noexcept { return empty_; }

    TNodeTreeW& NodeTree() noexcept { return *tree_; }
    TKvHtmlRendererW& Renderer() noexcept { return renderer_; }

    // The height of the laid-out page (margins included) and the scroll
    // position (0 at the top), in pixels.
    int ContentHeight() const noexcept { return contentHeight_; }
    int ScrollPos() const noexcept { return scrollPos_; }
    // Scrolls to pos, kept between 0 and ContentHeight - ClientHeight.
    void ScrollTo(int pos);
    int MaxScrollPos() const noexcept;
    // The link whose text lies at a client point (the last layout's
    // rectangles); null when none.
    TLinkNodeW* LinkAt(POINT pt) const;
    // Lays the page out at the current width now (done by itself on every
    // resize, font change and new page).
    void Relayout();

    TPageLinkClickEvent OnLinkClick;

    void CreateParams(TCreateParams& params) override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    // The inspection's "ContentHeight", "ScrollPos", "Empty" (1 or 0) and
    // "LinkRects" (the link text rectangles, "l,t,r,b" split by ";").
    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

protected:
    void Paint() override;
    void Resize() override;
    void FontChanged() override;
    void WndProc(TMessage& msg) override;
    void HandleCreated() override;

private:
    RECT LayoutRect() const;
    // One layout at the current width and scroll position.
    void LayOut();
    void UpdateScrollBar();
    void Scroll(int code, int trackPos);
    int LineStep() const noexcept { return lineHeight_ > 0 ? lineHeight_ : 16; }

    std::unique_ptr<TNodeTreeW> tree_;
    TKvHtmlRendererW renderer_;
    bool empty_ = true;
    int contentHeight_ = 0;
    int scrollPos_ = 0;
    int lineHeight_ = 0;
    int layoutWidth_ = -1;
    int wheelRest_ = 0;
    TLinkNodeW* pressedLink_ = nullptr;
};
