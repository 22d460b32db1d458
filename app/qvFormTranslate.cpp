#include "app/qvFormTranslate.h"

#include "controls/KvHtmlLabelW.h"
#include "controls/KvStdCtrls.h"
#include "controls/SkinControls.h"
#include "platform/qvCommon.h"

#include <windows.h>

#include <unordered_map>

namespace {

// One text as its first pass found it: the key it is looked up under and
// the default that stands when the key has no entry.
struct TDesignText {
    bool known = false;
    std::wstring key;
    std::wstring defaultText;
};

struct TDesignTexts {
    TComponentRef component;
    TDesignText caption;
    TDesignText hint;
};

// By component; an entry whose component died (its reference is null) is
// stale, also when a new component took the same address.
std::unordered_map<const TComponent*, TDesignTexts>& Memory()
{
    static std::unordered_map<const TComponent*, TDesignTexts> memory;
    return memory;
}

void ForgetDead()
{
    std::erase_if(Memory(), [](const auto& entry) { return !entry.second.component; });
}

TDesignTexts& DesignTextsOf(TComponent& Component)
{
    auto& memory = Memory();
    auto it = memory.find(&Component);
    if (it == memory.end() || it->second.component.Get() != &Component) {
        TDesignTexts fresh;
        fresh.component = Component.Ref();
        it = memory.insert_or_assign(&Component, std::move(fresh)).first;
    }
    return it->second;
}

// The text's key and default, remembered from the first non-empty text.
// False when there is nothing to translate.
bool Remember(TDesignText& Slot, const std::wstring& Key, const std::wstring& Text)
{
    if (!Slot.known) {
        if (Text.empty())
            return false;
        Slot.known = true;
        const size_t equals = Text.find(L'=');
        if (equals == std::wstring::npos) {
            Slot.key = Key;
            Slot.defaultText = Text;
        } else {
            Slot.key = Text.substr(0, equals);
            Slot.defaultText = Text.substr(equals + 1);
        }
    }
    return true;
}

std::wstring Translated(const TDesignText& Slot)
{
    return TranslateText(Slot.key, Slot.defaultText);
}

std::wstring TrimBlanks(const std::wstring& Text)
{
    const size_t first = Text.find_first_not_of(L' ');
    if (first == std::wstring::npos)
        return L"";
    const size_t last = Text.find_last_not_of(L' ');
    return Text.substr(first, last - first + 1);
}

// The width of a single-line text in a font, as GDI measures it.
int TextWidthIn(const TFont& Font, const std::wstring& Text)
{
    HDC dc = GetDC(nullptr);
    if (!dc)
        return 0;
    SIZE size{};
    {
        TDcSelection font(dc, Font.Handle());
        GetTextExtentPoint32W(dc, Text.c_str(), static_cast<int>(Text.size()), &size);
    }
    ReleaseDC(nullptr, dc);
    return size.cx;
}

// Labels, push buttons and skinned buttons: the caption and the hint.
void TranslateControl(TControl& Control, TDesignTexts& Texts, const std::wstring& Key)
{
    if (Remember(Texts.caption, Key, Control.Caption()))
        Control.SetCaption(Translated(Texts.caption));
    if (Remember(Texts.hint, Key + L"_Hint", Control.Hint()))
        Control.SetHint(Translated(Texts.hint));
}

void TranslateHtmlLabel(TKvCustomHtmlLabelW& Label, TDesignTexts& Texts, const std::wstring& Key)
{
    // A new caption is parsed into a new tree; the hint is kept in the
    // system code page.
    if (Remember(Texts.caption, Key, Label.Caption()))
        Label.SetCaption(Translated(Texts.caption));
    if (Remember(Texts.hint, Key + L"_Hint", Label.Hint()))
        Label.SetHint(Translated(Texts.hint));
}

void TranslateCheckBox(TCheckBox& Box, TDesignTexts& Texts, const std::wstring& Key)
{
    // The default is the design text without its blanks, so the two blanks
    // on each side are added once, whatever the number of passes.
    const std::wstring trimmed = TrimBlanks(Box.Caption());
    if (!Texts.caption.known && trimmed.empty())
        return;
    Remember(Texts.caption, Key, trimmed);
    Box.SetCaption(L"  " + Translated(Texts.caption) + L"  ");
    if (Remember(Texts.hint, Key + L"_Hint", Box.Hint()))
        Box.SetHint(Translated(Texts.hint));
    if (!Box.WordWrap())
        Box.SetWidth(TextWidthIn(Box.Font(), Box.Caption()) + 20);
}

} // namespace

std::wstring TranslateItem(const std::wstring& Key, const std::wstring& Text)
{
    const size_t equals = Text.find(L'=');
    if (equals == std::wstring::npos)
        return TranslateText(Key, Text);
    return TranslateText(Text.substr(0, equals), Text.substr(equals + 1));
}

void TranslateForm(TComponent& Form)
{
    ForgetDead();
    const std::wstring prefix = Form.Name() + L"_";
    // Walked on a copy: nothing a caption change sets off may disturb the walk.
    const std::vector<TComponent*> components = Form.Components();
    for (TComponent* component : components) {
        if (!component || component->Tag() == kNoTranslationTag)
            continue;
        const std::wstring key = prefix + component->Name();
        if (auto* html = dynamic_cast<TKvCustomHtmlLabelW*>(component)) {
            TranslateHtmlLabel(*html, DesignTextsOf(*component), key);
        } else if (auto* box = dynamic_cast<TCheckBox*>(component)) {
            TranslateCheckBox(*box, DesignTextsOf(*component), key);
        } else if (dynamic_cast<TLabel*>(component) || dynamic_cast<TButton*>(component) ||
                   dynamic_cast<TSkinButton*>(component)) {
            TranslateControl(*dynamic_cast<TControl*>(component), DesignTextsOf(*component), key);
        }
    }
}
