#pragma once
// Translation of whole windows: every window is designed in English, and
// TranslateForm replaces the captions and hints of its labels, push
// buttons, skinned buttons, HTML labels and check boxes with the texts of the
// current language (TranslateText, which also replaces the macros).
//
// A text's key is the window's name, "_" and the component's name
// (FormSteps_LabelWelcomeHeader; its hint + "_Hint"); a design text of the
// form key=default names its own key (the part before the first "="). A
// component with Tag 999 holds a text the program fills and is left alone.
//
// Each component's key and default text are remembered at its first pass,
// so every later pass (a language change) translates from the design texts
// again: a text never keeps the first translation, a translated text holding
// "=" is never split into a key, and a check box whose key has no entry
// never grows. The memory forgets a component once it dies.
//
// GUI thread only.

#include "controls/KvComponents.h"

#include <string>

// The component tag that keeps a component out of the translation.
inline constexpr int kNoTranslationTag = 999;

// Text holding "=": TranslateText(the part before the first "=", the part
// after it); otherwise TranslateText(Key, Text).
std::wstring TranslateItem(const std::wstring& Key, const std::wstring& Text);

// Translates the components Form owns, in their creation order.
void TranslateForm(TComponent& Form);
