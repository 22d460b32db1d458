// The form translation over a fixture window and a fixture translation file:
// each class's captions and hints, keys from names and from "key=default"
// texts, Tag 999, check box widths, and repeated passes and language
// switches that always start from the design texts.

#include "StepsTestSupport.h"

#include "KorvTest.h"
#include "app/qvFormTranslate.h"
#include "controls/KvHtmlLabelW.h"
#include "controls/KvStdCtrls.h"
#include "controls/SkinControls.h"
#include "platform/UnicodeU.h"

#include <gtest/gtest.h>

using namespace stepstest;

namespace {

const char kFixtureIni[] =
    "[Languages]\r\nen=English\r\nde=Deutsch\r\n\r\n"
    "[en]\r\n"
    "FormFixture_LabelA=Hello (en)\r\n\r\n"
    "[de]\r\n"
    "FormFixture_LabelA=Hallo\r\n"
    "FormFixture_LabelA_Hint=Ein Hinweis\r\n"
    "FormFixture_ButtonA=Dr\xC3\xBC" "cken\r\n"
    "FormFixture_SkinA=Haut\r\n"
    "FormFixture_HtmlA=<i>Kursiv</i> %BRAND%\r\n"
    "FormFixture_HtmlA_Hint=Hinweis \xC3\xA4\r\n"
    "FormFixture_CheckA=Pr\xC3\xBC" "fe = gleich\r\n"
    "FormFixture_CheckWrap=Umbruch\r\n"
    "FormFixture_LabelFilled=must not appear\r\n"
    "FormFixture_LabelEmpty=must not appear\r\n"
    "Key9=Neun\r\n";

int WidthOf(const TFont& Font, const std::wstring& Text)
{
    HDC dc = GetDC(nullptr);
    SIZE size{};
    {
        TDcSelection select(dc, Font.Handle());
        GetTextExtentPoint32W(dc, Text.c_str(), static_cast<int>(Text.size()), &size);
    }
    ReleaseDC(nullptr, dc);
    return size.cx;
}

class FormTranslation : public ::testing::Test {
protected:
    static void TearDownTestSuite() { ReleaseWizard(); }
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        Wizard();
        UseTranslationFile(kFixtureIni);
        form_ = std::make_unique<TForm>();
        form_->SetName(L"FormFixture");
        label_ = Make<TLabel>({.name = L"LabelA", .caption = L"Hello", .hint = L"A hint"});
        button_ = Make<TButton>({.name = L"ButtonA", .width = 80, .height = 24, .caption = L"Push"});
        skin_ = Make<TSkinButton>({.name = L"SkinA", .width = 80, .height = 24, .caption = L"Skin"});
        html_ = Make<TKvHtmlLabelW>(
            {.name = L"HtmlA", .width = 200, .caption = L"<b>Bold</b> text", .hint = L"html hint"});
        check_ = Make<TCheckBox>({.name = L"CheckA", .width = 300, .caption = L"Check me"});
        wrap_ = Make<TCheckBox>(
            {.name = L"CheckWrap", .width = 60, .height = 30, .caption = L"Wrapped box", .wordWrap = TFlag::On});
        missingBox_ = Make<TCheckBox>({.name = L"CheckMissing", .width = 300, .caption = L"  Missing  "});
        filled_ = Make<TLabel>({.name = L"LabelFilled", .caption = L"Filled", .tag = kNoTranslationTag});
        empty_ = Make<TLabel>({.name = L"LabelEmpty", .caption = L""});
        missing_ = Make<TLabel>({.name = L"LabelMissing", .caption = L"%BRAND% rules"});
        keyed_ = Make<TLabel>({.caption = L"Key9=Default nine"});
        unnamed_ = Make<TLabel>({.caption = L"No key here"});
    }
    void TearDown() override
    {
        form_.reset();
        UseBuiltInTranslation();
        SetLanguage(L"en");
    }

    template <typename T> T* Make(TControlSpec Spec)
    {
        Spec.owner = form_.get();
        Spec.parent = form_.get();
        return CreateControl<T>(Spec);
    }

    struct TSnapshot {
        std::vector<std::wstring> captions;
        std::vector<int> widths;
        bool operator==(const TSnapshot&) const = default;
    };
    TSnapshot Snapshot()
    {
        TSnapshot s;
        for (TControl* c : std::initializer_list<TControl*>{label_, button_, skin_, html_, check_, wrap_,
                                                            missingBox_, filled_, empty_, missing_,
                                                            keyed_, unnamed_}) {
            s.captions.push_back(c->Caption());
            s.widths.push_back(c->Width());
        }
        return s;
    }

    std::unique_ptr<TForm> form_;
    TLabel* label_ = nullptr;
    TButton* button_ = nullptr;
    TSkinButton* skin_ = nullptr;
    TKvHtmlLabelW* html_ = nullptr;
    TCheckBox* check_ = nullptr;
    TCheckBox* wrap_ = nullptr;
    TCheckBox* missingBox_ = nullptr;
    TLabel* filled_ = nullptr;
    TLabel* empty_ = nullptr;
    TLabel* missing_ = nullptr;
    TLabel* keyed_ = nullptr;
    TLabel* unnamed_ = nullptr;
};

TEST_F(FormTranslation, EveryClassTakesItsKeyedTexts)
{
    SetLanguage(L"de");
    TranslateForm(*form_);
    EXPECT_EQ(label_->Caption(), L"Hallo");
    EXPECT_EQ(label_->Hint(), L"Ein Hinweis");
    EXPECT_EQ(button_->Caption(), L"Dr\u00FCcken");
    EXPECT_EQ(skin_->Caption(), L"Haut");
    EXPECT_EQ(html_->Caption(), L"<i>Kursiv</i> Korvelle");
    ASSERT_NE(html_->NodeTree(), nullptr) << "the new caption is parsed";
    EXPECT_EQ(html_->HintAnsi(), WideToAnsi(L"Hinweis \u00E4")) << "kept in the system code page";
    EXPECT_EQ(check_->Caption(), L"  Pr\u00FCfe = gleich  ");
    EXPECT_EQ(check_->Width(), WidthOf(check_->Font(), check_->Caption()) + 20);
    EXPECT_EQ(wrap_->Caption(), L"  Umbruch  ");
    EXPECT_EQ(wrap_->Width(), 60) << "a wrapping box keeps its width";
    EXPECT_EQ(missingBox_->Caption(), L"  Missing  ");
    EXPECT_EQ(missingBox_->Width(), WidthOf(missingBox_->Font(), L"  Missing  ") + 20);
    EXPECT_EQ(filled_->Caption(), L"Filled") << "Tag 999 is left alone";
    EXPECT_EQ(empty_->Caption(), L"") << "an empty caption is not looked up";
    EXPECT_EQ(missing_->Caption(), L"Korvelle rules") << "a missing key gives the default, expanded";
    EXPECT_EQ(keyed_->Caption(), L"Neun") << "the part before \"=\" is the key";
    EXPECT_EQ(unnamed_->Caption(), L"No key here");
}

TEST_F(FormTranslation, MorePassesAndLanguageSwitchesStartFromTheDesignTexts)
{
    SetLanguage(L"de");
    TranslateForm(*form_);
    const TSnapshot first = Snapshot();
    TranslateForm(*form_);
    TranslateForm(*form_);
    EXPECT_TRUE(Snapshot() == first) << "no box grows, no translated text is split again";
    EXPECT_EQ(check_->Caption(), L"  Pr\u00FCfe = gleich  ");
    EXPECT_EQ(missingBox_->Caption(), L"  Missing  ");

    SetLanguage(L"en");
    TranslateForm(*form_);
    EXPECT_EQ(label_->Caption(), L"Hello (en)");
    EXPECT_EQ(label_->Hint(), L"A hint");
    EXPECT_EQ(button_->Caption(), L"Push");
    EXPECT_EQ(html_->Caption(), L"<b>Bold</b> text");
    EXPECT_EQ(check_->Caption(), L"  Check me  ");
    EXPECT_EQ(check_->Width(), WidthOf(check_->Font(), L"  Check me  ") + 20);
    EXPECT_EQ(keyed_->Caption(), L"Default nine") << "not the first translation";
    EXPECT_EQ(filled_->Caption(), L"Filled");
}

TEST_F(FormTranslation, ItemSplitsAtTheFirstEquals)
{
    SetLanguage(L"de");
    EXPECT_EQ(TranslateItem(L"Ignored", L"Key9=Default = nine"), L"Neun");
    EXPECT_EQ(TranslateItem(L"Key9", L"Text"), L"Neun");
    EXPECT_EQ(TranslateItem(L"NoSuchKey", L"a=b=c"), L"b=c");
    EXPECT_EQ(TranslateItem(L"NoSuchKey", L"%BRAND%"), L"Korvelle");
}

TEST_F(FormTranslation, ANewComponentAtAnOldAddressIsNotTakenForTheOldOne)
{
    SetLanguage(L"de");
    TranslateForm(*form_);
    // The box dies; whatever comes next is translated from its own texts.
    delete keyed_;
    keyed_ = nullptr;
    auto* fresh = Make<TLabel>({.caption = L"Other=Something else"});
    TranslateForm(*form_);
    EXPECT_EQ(fresh->Caption(), L"Something else");
    keyed_ = fresh;
}

} // namespace
