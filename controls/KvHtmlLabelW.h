#pragma once
// The HTML label: a windowless control whose caption is a small HTML subset
// (links, bold, italic, underline, strike-out, font colour, line breaks,
// paragraphs and a caller-filled DYNAMIC tag), wrapped to its width, grown to
// the height of its text, with the link under the mouse tracked and link
// clicks reported.
//
// The label owns its node tree (built from Caption, replaced by every other
// caption) and its renderer; CurrentLink points into the tree or is null. A
// link's Href comes from stored, user-writable text: the label hands it to
// OnLinkClick as data and opens nothing; a handler that opens it uses
// OpenUrl, which takes http and https addresses only.
//
// Owned like every control by its owner; it belongs to the GUI thread.

#include "controls/KvControls.h"
#include "controls/KvHtmlRendererW.h"

#include <functional>
#include <memory>
#include <string>

// (Sender, link's Href, link's text): copies, so the handler may replace the
// caption or free the label.
using TLinkClickEventW = std::function<void(TObject& Sender, const std::wstring& LinkHref,
                                            const std::wstring& LinkText)>;
// (Sender, the tag's id, out Source: 8-bit HTML text).
using TDynamicTagInitEventW =
    std::function<void(TObject& Sender, const std::wstring& ID, std::string& SourceAnsi)>;

// Whether visual themes are active; a new label is transparent when they
// are. The default asks uxtheme's IsThemeActive (bound at run time; false
// without it). Returns the previous query; nullptr restores the default.
using TThemeQueryW = bool (*)();
TThemeQueryW SetHtmlLabelThemeQuery(TThemeQueryW query) noexcept;
bool HtmlLabelThemeActive();

class TKvCustomHtmlLabelW : public TGraphicControl, public IDynamicTagSource {
public:
    // Width 65, height 17, an empty tree; transparent when themed, else opaque.
    explicit TKvCustomHtmlLabelW(TComponent* owner = nullptr);
    ~TKvCustomHtmlLabelW() override;

    // An equal text changes nothing (tree, link states and word caches stay);
    // any other is parsed into a new tree.
    void SetCaption(const std::wstring& caption) override;
    // SavedCursor := Cursor, then Resize.
    void Loaded() override;
    void Paint() override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseLeave() override;
    void ApplySpec(const TControlSpec& spec, const TLayoutContext& context) override;

    // A DYNAMIC tag's content: DoDynamicTagInit for a node, empty for none.
    void GetSource(TDynamicNodeW* node, std::string& sourceAnsi) override;

    // The hint is kept in the system code page, as the form translation
    // stores it: characters the code page lacks are lost.
    void SetHint(const std::wstring& hint);
    const std::string& HintAnsi() const noexcept { return hintAnsi_; }

    // Null only when building the tree failed (a DYNAMIC handler threw).
    TNodeTreeW* NodeTree() const noexcept { return tree_.get(); }
    TKvHtmlRendererW& Renderer() noexcept { return renderer_; }
    TLinkNodeW* CurrentLink() const noexcept { return currentLink_; }
    const RECT& LayoutRect() const noexcept { return layoutRect_; }
    TCursor SavedCursor() const noexcept { return savedCursor_; }
    bool TransparentStored() const noexcept { return transparentStored_; }

    TLinkClickEventW OnLinkClick;
    TDynamicTagInitEventW OnDynamicTagInit;
    TNotifyEvent OnAfterPaint;

protected:
    // Fires OnLinkClick with the label as Sender.
    virtual void DoLinkClick(const std::wstring& href, const std::wstring& text);
    // Empties Source, then fires OnDynamicTagInit.
    virtual void DoDynamicTagInit(const std::wstring& id, std::string& sourceAnsi);

    // The inherited resize event, then LayoutRect: the client area inset by
    // the margins at the left, top and right (the bottom is not inset).
    void Resize() override;
    void FontChanged() override;

    // The outermost link at the point takes the state (0 normal, 1 pressed,
    // 2 hot) and becomes CurrentLink, the former one reset; each redrawn alone.
    void SetLinkState(POINT pt, uint8_t state);
    void ResetCurrentLink();
    bool LinkPressed() const noexcept;

    bool AutoHeight() const noexcept { return autoHeight_; }
    void SetAutoHeight(bool on);
    bool HotLinks() const noexcept { return hotLinks_; }
    void SetHotLinks(bool on) noexcept { hotLinks_ = on; }
    TColor LinkColor() const noexcept { return renderer_.LinkColor; }
    void SetLinkColor(TColor color);
    TColor LinkColorClicked() const noexcept { return renderer_.LinkColorClicked; }
    void SetLinkColorClicked(TColor color);
    TColor LinkColorHot() const noexcept { return renderer_.LinkColorHot; }
    void SetLinkColorHot(TColor color);
    TFontStyles LinkStyle() const noexcept { return renderer_.LinkStyle; }
    void SetLinkStyle(TFontStyles style);
    int MarginHeight() const noexcept { return marginHeight_; }
    void SetMarginHeight(int margin);
    int MarginWidth() const noexcept { return marginWidth_; }
    void SetMarginWidth(int margin);
    int OffsetY() const noexcept { return renderer_.OffsetY; }
    void SetOffsetY(int offset);
    // Reads "not opaque"; setting it always marks it stored.
    bool Transparent() const noexcept { return !Opaque(); }
    void SetTransparent(bool on);

private:
    void CopyFontToRoot();
    void UpdateLayoutRect();
    // The link's rectangles get the label's background, then the link is
    // drawn in its state's colour on Canvas (outside a paint).
    void RedrawLink(TLinkNodeW& link);
    template <typename T> void SetRendererValue(T& slot, T value);

    std::unique_ptr<TNodeTreeW> tree_;
    TKvHtmlRendererW renderer_;
    TLinkNodeW* currentLink_ = nullptr;
    bool hotLinks_ = true;
    RECT layoutRect_{};
    bool autoHeight_ = true;
    int marginWidth_ = 0;
    int marginHeight_ = 0;
    TCursor savedCursor_ = crDefault;
    bool transparentStored_ = false;
    std::string hintAnsi_;
};

// The label with its properties public.
class TKvHtmlLabelW : public TKvCustomHtmlLabelW {
public:
    using TKvCustomHtmlLabelW::TKvCustomHtmlLabelW;
    static TKvHtmlLabelW* Create(const TControlSpec& spec)
    {
        return CreateControl<TKvHtmlLabelW>(spec);
    }

    using TKvCustomHtmlLabelW::AutoHeight;
    using TKvCustomHtmlLabelW::HotLinks;
    using TKvCustomHtmlLabelW::LinkColor;
    using TKvCustomHtmlLabelW::LinkColorClicked;
    using TKvCustomHtmlLabelW::LinkColorHot;
    using TKvCustomHtmlLabelW::LinkStyle;
    using TKvCustomHtmlLabelW::MarginHeight;
    using TKvCustomHtmlLabelW::MarginWidth;
    using TKvCustomHtmlLabelW::OffsetY;
    using TKvCustomHtmlLabelW::SetAutoHeight;
    using TKvCustomHtmlLabelW::SetHotLinks;
    using TKvCustomHtmlLabelW::SetLinkColor;
    using TKvCustomHtmlLabelW::SetLinkColorClicked;
    using TKvCustomHtmlLabelW::SetLinkColorHot;
    using TKvCustomHtmlLabelW::SetLinkStyle;
    using TKvCustomHtmlLabelW::SetMarginHeight;
    using TKvCustomHtmlLabelW::SetMarginWidth;
    using TKvCustomHtmlLabelW::SetOffsetY;
    using TKvCustomHtmlLabelW::SetTransparent;
    using TKvCustomHtmlLabelW::Transparent;
};
