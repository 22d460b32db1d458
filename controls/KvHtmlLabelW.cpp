#include "controls/KvHtmlLabelW.h"

#include "platform/BindingU.h"
#include "platform/UnicodeU.h"

#include <utility>

namespace {

bool SystemThemeActive()
{
    static TSystemLibrary uxtheme("uxtheme.dll");
    static TBoundProc<BOOL(WINAPI*)()> isThemeActive(uxtheme, "IsThemeActive");
    auto fn = isThemeActive.Get();
    return fn && fn() != FALSE;
}

TThemeQueryW gThemeQuery = &SystemThemeActive;

} // namespace

TThemeQueryW SetHtmlLabelThemeQuery(TThemeQueryW query) noexcept
{
    return std::exchange(gThemeQuery, query ? query : &SystemThemeActive);
}

bool HtmlLabelThemeActive()
{
    return gThemeQuery();
}

TKvCustomHtmlLabelW::TKvCustomHtmlLabelW(TComponent* owner)
    : TGraphicControl(owner), tree_(std::make_unique<TNodeTreeW>())
{
    // Under visual styles the label shows what lies beneath it.
    SetOpaque(!HtmlLabelThemeActive());
    renderer_.LinkColor = 0xFF0000;
    renderer_.LinkColorClicked = 0x0000FF;
    renderer_.LinkColorHot = 0x800080;
    renderer_.LinkStyle = fsUnderline;
    SetBounds(Left(), Top(), 65, 17);
    UpdateLayoutRect();
    CopyFontToRoot();
}

TKvCustomHtmlLabelW::~TKvCustomHtmlLabelW()
{
    currentLink_ = nullptr;
    tree_.reset();
}

void TKvCustomHtmlLabelW::SetCaption(const std::wstring& caption)
{
    if (caption == caption_)
        return;
    caption_ = caption;
    // Cleared before the tree it points into goes.
    currentLink_ = nullptr;
    tree_.reset();
    TDefaultParserW parser(this);
    tree_ = parser.Parse(WideStringFromStd(caption));
    CopyFontToRoot();
    CaptionChanged();
}

void TKvCustomHtmlLabelW::CopyFontToRoot()
{
    if (!tree_)
        return;
    tree_->Root().Style = Font().Style();
    tree_->Root().StoredColor = Font().Color();
}

void TKvCustomHtmlLabelW::FontChanged()
{
    TGraphicControl::FontChanged();
    CopyFontToRoot();
    if (tree_)
        tree_->ClearWordCaches();
    Invalidate();
}

void TKvCustomHtmlLabelW::Loaded()
{
    TGraphicControl::Loaded();
    savedCursor_ = Cursor();
    Resize();
}

void TKvCustomHtmlLabelW::Resize()
{
    TGraphicControl::Resize();
    UpdateLayoutRect();
}

void TKvCustomHtmlLabelW::UpdateLayoutRect()
{
    const RECT client = ClientRect();
    layoutRect_ = RECT{client.left + marginWidth_, client.top + marginHeight_,
                       client.right - marginWidth_, client.bottom};
}

void TKvCustomHtmlLabelW::ApplySpec(const TControlSpec& spec, const TLayoutContext& context)
{
    TGraphicControl::ApplySpec(spec, context);
    if (spec.hint)
        SetHint(spec.hint);
    if (spec.transparent != TFlag::Default)
        SetTransparent(spec.transparent == TFlag::On);
}

void TKvCustomHtmlLabelW::SetHint(const std::wstring& hint)
{
    hintAnsi_ = AnsiFromWide(hint);
    TGraphicControl::SetHint(WideFromAnsi(hintAnsi_));
}

void TKvCustomHtmlLabelW::GetSource(TDynamicNodeW* node, std::string& sourceAnsi)
{
    if (!node) {
        sourceAnsi.clear();
        return;
    }
    DoDynamicTagInit(StdFromWideString(node->ID), sourceAnsi);
}

void TKvCustomHtmlLabelW::DoDynamicTagInit(const std::wstring& id, std::string& sourceAnsi)
{
    sourceAnsi.clear();
    if (OnDynamicTagInit)
        OnDynamicTagInit(*this, id, sourceAnsi);
}

void TKvCustomHtmlLabelW::DoLinkClick(const std::wstring& href, const std::wstring& text)
{
    if (OnLinkClick)
        OnLinkClick(*this, href, text);
}

void TKvCustomHtmlLabelW::Paint()
{
    TGraphicControl::Paint();
    if (tree_) {
        TCanvas& canvas = Canvas();
        if (!Transparent()) {
            canvas.Brush().SetColor(Color());
            canvas.Brush().SetStyle(TBrushStyle::Solid);
            canvas.FillRect(ClientRect());
        } else {
            canvas.Brush().SetStyle(TBrushStyle::Clear);
        }
        canvas.Font().Assign(Font());
        if (HDC dc = canvas.Handle()) {
            TDcSelection font(dc, Font().Handle());
            renderer_.Draw(dc, layoutRect_, *tree_);
        }
        const TAlign align = Align();
        if (autoHeight_ &&
            (align == TAlign::None || align == TAlign::Top || align == TAlign::Bottom)) {
            // TextHeight holds the top inset already: equal margins. Set only
            // on a change, or every paint would ask for the next.
            const int height = renderer_.TextHeight() + marginHeight_;
            if (height != ClientHeight())
                SetClientSize(ClientWidth(), height);
        }
    }
    if (OnAfterPaint)
        OnAfterPaint(*this);
}

bool TKvCustomHtmlLabelW::LinkPressed() const noexcept
{
    return currentLink_ && currentLink_->State == lsPressed;
}

void TKvCustomHtmlLabelW::SetLinkState(POINT pt, uint8_t state)
{
    TLinkNodeW* link = tree_ ? tree_->FindNodeAt<TLinkNodeW>(pt) : nullptr;
    if (!link)
        return;
    if (link == currentLink_ && currentLink_->State == state)
        return;
    ResetCurrentLink();
    link->State = state;
    currentLink_ = link;
    RedrawLink(*link);
}

void TKvCustomHtmlLabelW::ResetCurrentLink()
{
    TLinkNodeW* link = currentLink_;
    if (!link)
        return;
    link->State = lsNormal;
    RedrawLink(*link);
    currentLink_ = nullptr;
}

void TKvCustomHtmlLabelW::RedrawLink(TLinkNodeW& link)
{
    TCanvas& canvas = Canvas();
    HDC dc = canvas.Handle();
    if (!dc)
        return;
    // Text drawn over text would keep the old colour's smoothed edges: the
    // link's cells get the label's background first.
    TTopLevelNodeEnumeratorW strings(link, &IsNodeClass<TStringNodeW>);
    while (TNodeW* node = strings.Next()) {
        const TRectVectorW& rects = static_cast<TStringNodeW*>(node)->Rects;
        for (int32_t i = 0; i < rects.Count(); ++i) {
            if (Transparent()) {
                PaintBackground(rects.At(i));
            } else {
                canvas.Brush().SetColor(Color());
                canvas.Brush().SetStyle(TBrushStyle::Solid);
                canvas.FillRect(rects.At(i));
            }
        }
    }
    TDcSelection font(dc, Font().Handle());
    renderer_.DrawNode(dc, layoutRect_, link);
}

void TKvCustomHtmlLabelW::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    const TComponentRef self = Ref();
    TGraphicControl::MouseDown(button, shift, x, y);
    if (self)
        SetLinkState(POINT{x, y}, lsPressed);
}

void TKvCustomHtmlLabelW::MouseMove(TShiftState shift, int x, int y)
{
    const TComponentRef self = Ref();
    TGraphicControl::MouseMove(shift, x, y);
    if (!self)
        return;
    const POINT pt{x, y};
    if (tree_ && tree_->HasNodeAt<TLinkNodeW>(pt)) {
        SetCursor(crHandPoint);
        if (hotLinks_ && !LinkPressed())
            SetLinkState(pt, lsHot);
    } else {
        SetCursor(savedCursor_);
        if (hotLinks_ && !LinkPressed())
            ResetCurrentLink();
    }
}

void TKvCustomHtmlLabelW::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    const TComponentRef self = Ref();
    TGraphicControl::MouseUp(button, shift, x, y);
    if (!self)
        return;
    const POINT pt{x, y};
    if (tree_ && tree_->HasNodeAt<TLinkNodeW>(pt)) {
        if (TLinkNodeW* link = tree_->FindNodeAt<TLinkNodeW>(pt)) {
            // Copies: the handler may replace the caption and with it the tree.
            const std::wstring href = StdFromWideString(link->Href);
            const std::wstring text = StdFromWideString(link->GetText());
            try {
                DoLinkClick(href, text);
            } catch (...) {
                if (self)
                    ResetCurrentLink();
                throw;
            }
            // The handler may have freed the label (or its form) outright.
            if (!self)
                return;
        }
    }
    ResetCurrentLink();
}

void TKvCustomHtmlLabelW::MouseLeave()
{
    const TComponentRef self = Ref();
    TGraphicControl::MouseLeave();
    if (self && hotLinks_ && !LinkPressed())
        ResetCurrentLink();
}

void TKvCustomHtmlLabelW::SetAutoHeight(bool on)
{
    if (on == autoHeight_)
        return;
    autoHeight_ = on;
    Invalidate();
}

template <typename T> void TKvCustomHtmlLabelW::SetRendererValue(T& slot, T value)
{
    if (slot == value)
        return;
    slot = value;
    Invalidate();
}

void TKvCustomHtmlLabelW::SetLinkColor(TColor color)
{
    SetRendererValue(renderer_.LinkColor, color);
}

void TKvCustomHtmlLabelW::SetLinkColorClicked(TColor color)
{
    SetRendererValue(renderer_.LinkColorClicked, color);
}

void TKvCustomHtmlLabelW::SetLinkColorHot(TColor color)
{
    SetRendererValue(renderer_.LinkColorHot, color);
}

void TKvCustomHtmlLabelW::SetLinkStyle(TFontStyles style)
{
    SetRendererValue(renderer_.LinkStyle, style);
}

void TKvCustomHtmlLabelW::SetOffsetY(int offset)
{
    SetRendererValue(renderer_.OffsetY, offset);
}

void TKvCustomHtmlLabelW::SetMarginHeight(int margin)
{
    if (margin == marginHeight_)
        return;
    marginHeight_ = margin;
    UpdateLayoutRect();
    Invalidate();
}

void TKvCustomHtmlLabelW::SetMarginWidth(int margin)
{
    if (margin == marginWidth_)
        return;
    marginWidth_ = margin;
    UpdateLayoutRect();
    Invalidate();
}

void TKvCustomHtmlLabelW::SetTransparent(bool on)
{
    if (on != Transparent())
        SetOpaque(!on);
    transparentStored_ = true;
}
