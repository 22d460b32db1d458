#pragma once
// The standard controls: the windowless label, and the native push button,
// check box, drop-down list and read-only memo over user32's BUTTON,
// COMBOBOX and EDIT classes.
// Native controls take their clicks from their notifications (BN_CLICKED,
// CBN_SELCHANGE), which their parent hands to them.

#include "controls/KvControls.h"

#include <string>
#include <vector>

// A windowless caption: transparent unless told otherwise, one line or
// wrapped to its width, left, centred or right-aligned; with AutoSize it
// takes its text's size (wrapped: its height), keeping the edge its
// alignment names.
class TLabel : public TGraphicControl {
public:
    explicit TLabel(TComponent* owner = nullptr);
    static TLabel* Create(const TControlSpec& spec) { return CreateControl<TLabel>(spec); }

    bool Transparent() const { return !Opaque(); }
    void SetTransparent(bool on) { SetOpaque(!on); }
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool on);
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool on);
    // With it "&" marks an accelerator (and "&&" is one "&"); without it the
    // caption shows as it is.
    bool ShowAccelChar() const { return showAccelChar_; }
    void SetShowAccelChar(bool on);
    // The control a click on the label stands for (not owned).
    TControl* FocusControl() const { return focusControl_; }
    void SetFocusControl(TControl* control);

    // The DrawTextW flags of the caption.
    UINT TextFlags() const;
    // The caption's size in the label's font, wrapped to width when > 0.
    SIZE MeasureCaption(int width) const;

    void Paint() override;
    void ApplySpec(const TControlSpec& spec, const TLayoutContext& context) override;

protected:
    void CaptionChanged() override;
    void FontChanged() override;
    void Resize() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    void AdjustBounds();
    // One line without tabs or accelerators: measured as it inks.
    bool IsPlainLine() const;
    // A line of width pixels under the text whose top left is left, top, in
    // the canvas's font and colour.
    void DrawUnderline(int left, int top, int width);
    bool wordWrap_ = false;
    TAlignment alignment_ = TAlignment::Left;
    bool autoSize_ = true;
    bool showAccelChar_ = true;
    bool adjusting_ = false;
    TControl* focusControl_ = nullptr;
};

// The push button (class "KvButton" on BUTTON).
class TButton : public TWinControl {
public:
    explicit TButton(TComponent* owner = nullptr);
    static TButton* Create(const TControlSpec& spec) { return CreateControl<TButton>(spec); }
    void CreateParams(TCreateParams& params) override;

protected:
    bool HandleCommand(WORD code, LRESULT& result) override;
};

// The check box (class "KvCheckBox" on BUTTON, BS_AUTOCHECKBOX). Setting
// Checked sends BM_SETCHECK, which fires no click; a click of the user's
// toggles it and then runs Click. Its background is its colour (by default
// the parent's), so it sits on a skinned panel without a grey box.
class TCheckBox : public TWinControl {
public:
    explicit TCheckBox(TComponent* owner = nullptr);
    static TCheckBox* Create(const TControlSpec& spec) { return CreateControl<TCheckBox>(spec); }

    bool Checked() const;
    void SetChecked(bool on);
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool on);

    void CreateParams(TCreateParams& params) override;
    void ApplySpec(const TControlSpec& spec, const TLayoutContext& context) override;
    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

protected:
    bool HandleCommand(WORD code, LRESULT& result) override;
    bool HandleCtlColor(HDC dc, LRESULT& result) override;
    void HandleCreated() override;
    void ColorChanged() override;

private:
    bool checked_ = false;
    bool wordWrap_ = false;
    TBrush background_;
};

// The drop-down list (class "KvComboBox" on COMBOBOX, CBS_DROPDOWNLIST).
// Its height is the closed box's; the list opens below it.
class TComboBox : public TWinControl {
public:
    explicit TComboBox(TComponent* owner = nullptr);
    static TComboBox* Create(const TControlSpec& spec) { return CreateControl<TComboBox>(spec); }

    const std::vector<std::wstring>& Items() const { return items_; }
    void SetItems(const std::vector<std::wstring>& items);
    void AddItem(const std::wstring& item);
    void Clear();
    // -1: nothing chosen.
    int ItemIndex() const;
    void SetItemIndex(int index);
    // How many lines the open list shows.
    int DropDownCount() const { return dropDownCount_; }
    void SetDropDownCount(int count) { dropDownCount_ = count; }

    // A choice of the user's (not one made by SetItemIndex).
    TNotifyEvent OnChange;

    void CreateParams(TCreateParams& params) override;
    void SetBounds(int left, int top, int width, int height) override;
    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

protected:
    bool HandleCommand(WORD code, LRESULT& result) override;
    void HandleCreated() override;

private:
    int ListHeight() const;
    std::vector<std::wstring> items_;
    int itemIndex_ = -1;
    int dropDownCount_ = 8;
};

// A read-only multi-line text (class "KvMemo" on EDIT, no border): the user
// may select and copy it, never change it. Its text is the caption, lines
// joined by CR LF. The background is its colour (by default the parent's).
class TMemo : public TWinControl {
public:
    explicit TMemo(TComponent* owner = nullptr);
    static TMemo* Create(const TControlSpec& spec) { return CreateControl<TMemo>(spec); }

    std::vector<std::wstring> Lines() const;
    void SetLines(const std::vector<std::wstring>& lines);

    void CreateParams(TCreateParams& params) override;

protected:
    bool HandleCtlColor(HDC dc, LRESULT& result) override;
    void ColorChanged() override;

private:
    TBrush background_;
};
