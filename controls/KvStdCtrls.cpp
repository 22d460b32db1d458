#include "controls/KvStdCtrls.h"

#include <windowsx.h>

#include <algorithm>

// ---------------------------------------------------------------------------
// TLabel

TLabel::TLabel(TComponent* owner) : TGraphicControl(owner)
{
    SetParentColor(true);
    StoreBounds(0, 0, 65, 17);
}

void TLabel::SetWordWrap(bool on)
{
    if (on == wordWrap_)
        return;
    wordWrap_ = on;
    AdjustBounds();
    Invalidate();
}

void TLabel::SetAlignment(TAlignment alignment)
{
    if (alignment == alignment_)
        return;
    alignment_ = alignment;
    Invalidate();
}

void TLabel::SetAutoSize(bool on)
{
    if (on == autoSize_)
        return;
    autoSize_ = on;
    AdjustBounds();
}

void TLabel::SetShowAccelChar(bool on)
{
    if (on == showAccelChar_)
        return;
    showAccelChar_ = on;
    AdjustBounds();
    Invalidate();
}

void TLabel::SetFocusControl(TControl* control)
{
    if (focusControl_)
        RemoveFreeNotification(focusControl_);
    focusControl_ = control;
    if (control)
        FreeNotification(control);
}

void TLabel::Notification(TComponent* component, TOperation operation)
{
    TGraphicControl::Notification(component, operation);
    if (operation == TOperation::Remove && component == focusControl_)
        focusControl_ = nullptr;
}

UINT TLabel::TextFlags() const
{
    UINT flags = DT_EXPANDTABS;
    if (wordWrap_)
        flags |= DT_WORDBREAK;
    if (!showAccelChar_)
        flags |= DT_NOPREFIX;
    switch (alignment_) {
    case TAlignment::Left:
        flags |= DT_LEFT;
        break;
    case TAlignment::Right:
        flags |= DT_RIGHT;
        break;
    case TAlignment::Center:
        flags |= DT_CENTER;
        break;
    }
    return flags;
}

SIZE TLabel::MeasureCaption(int width) const
{
    HDC dc = GetDC(nullptr);
    SIZE size{};
    if (!dc)
        return size;
    {
        TDcSelection font(dc, Font().Handle());
        RECT r{0, 0, width > 0 ? width : 0, 0};
        // An empty caption still has a line's height.
        const std::wstring text = caption_.empty() ? std::wstring(L" ") : caption_;
        UINT flags = (TextFlags() & ~(DT_RIGHT | DT_CENTER)) | DT_CALCRECT;
        if (width <= 0)
            flags &= ~DT_WORDBREAK;
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, flags);
        size.cx = caption_.empty() ? 0 : r.right - r.left;
        size.cy = r.bottom - r.top;
        if (width <= 0 && IsPlainLine())
            size.cx = MeasureTextInk(dc, caption_).width;
    }
    ReleaseDC(nullptr, dc);
    return size;
}

bool TLabel::IsPlainLine() const
{
    return !wordWrap_ && !caption_.empty() &&
           caption_.find_first_of(L"\t\r\n") == std::wstring::npos &&
           (!showAccelChar_ || caption_.find(L'&') == std::wstring::npos);
}

void TLabel::AdjustBounds()
{
    if (!autoSize_ || adjusting_)
        return;
    adjusting_ = true;
    const SIZE size = MeasureCaption(wordWrap_ ? width_ : 0);
    const int w = wordWrap_ ? width_ : static_cast<int>(size.cx);
    int left = left_;
    if (!wordWrap_) {
        if (alignment_ == TAlignment::Right)
            left = left_ + width_ - w;
        else if (alignment_ == TAlignment::Center)
            left = left_ + (width_ - w) / 2;
    }
    SetBounds(left, top_, w, size.cy);
    adjusting_ = false;
}

void TLabel::CaptionChanged()
{
    AdjustBounds();
    Invalidate();
}

void TLabel::FontChanged()
{
    AdjustBounds();
    Invalidate();
}

void TLabel::Resize()
{
    // A wrapped label's height follows its width.
    if (wordWrap_ && !adjusting_)
        AdjustBounds();
    TGraphicControl::Resize();
}

void TLabel::Paint()
{
    TCanvas& canvas = Canvas();
    RECT r = ClientRect();
    if (!Transparent()) {
        canvas.Brush().SetColor(Color());
        canvas.FillRect(r);
    }
    canvas.Brush().SetStyle(TBrushStyle::Clear);
    canvas.Font().Assign(Font());
    if (!Enabled())
        canvas.Font().SetColor(clGrayText);
    UINT flags = TextFlags();
    const bool plain = IsPlainLine();
    // Wine underlines a line's advance, which runs a few pixels past its
    // last glyph and reads as a trailing blank: a plain line is underlined
    // here, as far as it inks.
    const TFontStyles style = canvas.Font().Style();
    const bool underline = plain && (style & fsUnderline) != 0;
    if (underline)
        canvas.Font().SetStyle(style & ~fsUnderline);
    TTextInk ink{};
    if (plain) {
        TDcSelection font(canvas.Handle(), canvas.Font().Handle());
        ink = MeasureTextInk(canvas.Handle(), caption_);
    }
    if (plain && alignment_ != TAlignment::Left) {
        // A line is placed by its ink, not its advance: the ink may reach a
        // few pixels past the advance, and a line placed by the advance
        // would lose them at the right edge.
        const int spare = (r.right - r.left) - ink.width;
        r.left += alignment_ == TAlignment::Right ? spare : spare / 2;
        flags = (flags & ~(DT_RIGHT | DT_CENTER)) | DT_LEFT;
    }
    // DrawText clips to its rectangle, which is the advance wide, not the
    // ink; the control's own bounds already clip the painting.
    canvas.DrawText(caption_, r, flags | DT_NOCLIP);
    if (underline)
        DrawUnderline(r.left, r.top, ink.inked);
    TGraphicControl::Paint();
}

void TLabel::DrawUnderline(int left, int top, int width)
{
    TCanvas& canvas = Canvas();
    HDC dc = canvas.Handle();
    if (!dc || width <= 0)
        return;
    // The font's own underline place and thickness, in the font without it.
    int offset = 0, thickness = 1;
    {
        TDcSelection font(dc, canvas.Font().Handle());
        OUTLINETEXTMETRICW otm{};
        otm.otmSize = sizeof(otm);
        TEXTMETRICW tm{};
        if (GetOutlineTextMetricsW(dc, sizeof(otm), &otm)) {
            offset = otm.otmTextMetrics.tmAscent - otm.otmsUnderscorePosition;
            thickness = std::max<int>(1, static_cast<int>(otm.otmsUnderscoreSize));
        } else if (GetTextMetricsW(dc, &tm)) {
            offset = tm.tmAscent + 1;
        }
    }
    const RECT line{left, top + offset, left + width, top + offset + thickness};
    HBRUSH brush = CreateSolidBrush(ColorToRGB(canvas.Font().Color()));
    if (brush) {
        FillRect(dc, &line, brush);
        DeleteObject(brush);
    }
}

void TLabel::ApplySpec(const TControlSpec& spec, const TLayoutContext& context)
{
    if (spec.transparent != TFlag::Default)
        SetTransparent(spec.transparent == TFlag::On);
    if (spec.wordWrap != TFlag::Default)
        wordWrap_ = spec.wordWrap == TFlag::On;
    if (spec.autoSize != TFlag::Default)
        autoSize_ = spec.autoSize == TFlag::On;
    if (spec.showAccelChar != TFlag::Default)
        showAccelChar_ = spec.showAccelChar == TFlag::On;
    if (spec.alignmentSet)
        alignment_ = spec.alignment;
    // The row's bounds first, then the text's size from there.
    const bool autoSize = autoSize_;
    autoSize_ = false;
    TGraphicControl::ApplySpec(spec, context);
    autoSize_ = autoSize;
    AdjustBounds();
}

// ---------------------------------------------------------------------------
// TButton

TButton::TButton(TComponent* owner) : TWinControl(owner)
{
    StoreBounds(0, 0, 75, 25);
}

void TButton::CreateParams(TCreateParams& params)
{
    TWinControl::CreateParams(params);
    params.className = L"KvButton";
    params.baseClass = L"BUTTON";
    params.style |= BS_PUSHBUTTON | WS_TABSTOP;
}

bool TButton::HandleCommand(WORD code, LRESULT& result)
{
    if (code != BN_CLICKED)
        return false;
    Click();
    result = 0;
    return true;
}

// ---------------------------------------------------------------------------
// TCheckBox

TCheckBox::TCheckBox(TComponent* owner) : TWinControl(owner)
{
    SetParentColor(true);
    StoreBounds(0, 0, 97, 17);
}

void TCheckBox::CreateParams(TCreateParams& params)
{
    TWinControl::CreateParams(params);
    params.className = L"KvCheckBox";
    params.baseClass = L"BUTTON";
    params.style |= BS_AUTOCHECKBOX | WS_TABSTOP;
    if (wordWrap_)
        params.style |= BS_MULTILINE;
}

void TCheckBox::HandleCreated()
{
    SendMessageW(handle_, BM_SETCHECK, checked_ ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TCheckBox::Checked() const
{
    if (handle_)
        return SendMessageW(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    return checked_;
}

void TCheckBox::SetChecked(bool on)
{
    checked_ = on;
    if (handle_)
        SendMessageW(handle_, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

void TCheckBox::SetWordWrap(bool on)
{
    if (on == wordWrap_)
        return;
    wordWrap_ = on;
    if (!handle_)
        return;
    LONG style = GetWindowLongW(handle_, GWL_STYLE);
    style = on ? (style | BS_MULTILINE) : (style & ~BS_MULTILINE);
    SetWindowLongW(handle_, GWL_STYLE, style);
    InvalidateRect(handle_, nullptr, TRUE);
}

bool TCheckBox::HandleCommand(WORD code, LRESULT& result)
{
    if (code != BN_CLICKED)
        return false;
    checked_ = SendMessageW(handle_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    Click();
    result = 0;
    return true;
}

bool TCheckBox::HandleCtlColor(HDC dc, LRESULT& result)
{
    SetBkColor(dc, ColorToRGB(Color()));
    SetTextColor(dc, ColorToRGB(Enabled() ? Font().Color() : clGrayText));
    background_.SetColor(Color());
    result = reinterpret_cast<LRESULT>(background_.Handle());
    return true;
}

void TCheckBox::ColorChanged()
{
    TWinControl::ColorChanged();
    background_.SetColor(Color());
}

void TCheckBox::ApplySpec(const TControlSpec& spec, const TLayoutContext& context)
{
    if (spec.wordWrap != TFlag::Default)
        SetWordWrap(spec.wordWrap == TFlag::On);
    TWinControl::ApplySpec(spec, context);
    if (spec.checked != TFlag::Default)
        SetChecked(spec.checked == TFlag::On);
}

bool TCheckBox::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"Checked") {
        value = Checked() ? L"1" : L"0";
        return true;
    }
    return TWinControl::InspectProperty(name, value);
}

// ---------------------------------------------------------------------------
// TComboBox

TComboBox::TComboBox(TComponent* owner) : TWinControl(owner)
{
    SetColor(clWindow);
    StoreBounds(0, 0, 145, 21);
}

int TComboBox::ListHeight() const
{
    return std::max(dropDownCount_, 1) * 16 + 4;
}

void TComboBox::CreateParams(TCreateParams& params)
{
    TWinControl::CreateParams(params);
    params.className = L"KvComboBox";
    params.baseClass = L"COMBOBOX";
    params.style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
    params.height = height_ + ListHeight();
}

void TComboBox::SetBounds(int left, int top, int width, int height)
{
    if (handle_) {
        SetWindowPos(handle_, nullptr, left, top, std::max(width, 0),
                     std::max(height, 0) + ListHeight(), SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    TWinControl::SetBounds(left, top, width, height);
}

void TComboBox::HandleCreated()
{
    for (const std::wstring& item : items_)
        SendMessageW(handle_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
    SendMessageW(handle_, CB_SETCURSEL, static_cast<WPARAM>(itemIndex_), 0);
}

void TComboBox::SetItems(const std::vector<std::wstring>& items)
{
    Clear();
    for (const std::wstring& item : items)
        AddItem(item);
}

void TComboBox::AddItem(const std::wstring& item)
{
    items_.push_back(item);
    if (handle_)
        SendMessageW(handle_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

void TComboBox::Clear()
{
    items_.clear();
    itemIndex_ = -1;
    if (handle_)
        SendMessageW(handle_, CB_RESETCONTENT, 0, 0);
}

int TComboBox::ItemIndex() const
{
    if (handle_)
        return static_cast<int>(SendMessageW(handle_, CB_GETCURSEL, 0, 0));
    return itemIndex_;
}

void TComboBox::SetItemIndex(int index)
{
    if (index < -1 || index >= static_cast<int>(items_.size()))
        index = -1;
    itemIndex_ = index;
    if (handle_)
        SendMessageW(handle_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

bool TComboBox::HandleCommand(WORD code, LRESULT& result)
{
    if (code != CBN_SELCHANGE)
        return false;
    itemIndex_ = static_cast<int>(SendMessageW(handle_, CB_GETCURSEL, 0, 0));
    if (OnChange)
        OnChange(*this);
    result = 0;
    return true;
}

bool TComboBox::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"ItemIndex") {
        value = std::to_wstring(ItemIndex());
        return true;
    }
    if (name == L"Text") {
        const int index = ItemIndex();
        value = index >= 0 && index < static_cast<int>(items_.size()) ? items_[index] : L"";
        return true;
    }
    return TWinControl::InspectProperty(name, value);
}

// ---------------------------------------------------------------------------
// TMemo

TMemo::TMemo(TComponent* owner) : TWinControl(owner)
{
    SetParentColor(true);
    StoreBounds(0, 0, 185, 89);
}

void TMemo::CreateParams(TCreateParams& params)
{
    TWinControl::CreateParams(params);
    params.className = L"KvMemo";
    params.baseClass = L"EDIT";
    params.style |= ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_TABSTOP;
}

std::vector<std::wstring> TMemo::Lines() const
{
    std::vector<std::wstring> lines;
    const std::wstring& text = Caption();
    size_t start = 0;
    while (true) {
        const size_t end = text.find(L"\r\n", start);
        lines.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 2;
    }
    if (text.empty())
        lines.clear();
    return lines;
}

void TMemo::SetLines(const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += L"\r\n";
        text += lines[i];
    }
    SetCaption(text);
}

bool TMemo::HandleCtlColor(HDC dc, LRESULT& result)
{
    // A read-only edit asks with WM_CTLCOLORSTATIC: its background is the
    // memo's colour, not the dialog grey.
    SetBkColor(dc, ColorToRGB(Color()));
    SetTextColor(dc, ColorToRGB(Font().Color()));
    background_.SetColor(Color());
    result = reinterpret_cast<LRESULT>(background_.Handle());
    return true;
}

void TMemo::ColorChanged()
{
    TWinControl::ColorChanged();
    background_.SetColor(Color());
}
