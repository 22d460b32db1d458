#include "controls/KvExtCtrls.h"
#include "controls/KvForms.h"
#include "controls/KvHtmlLabelW.h"
#include "controls/SkinControls.h"
#include "platform/UnicodeU.h"

#include "ControlsTest.h"
#include "FormTest.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using formtest::PixelAt;
using formtest::Pump;
using formtest::Render;
using formtest::SendMouse;

namespace {

// The height of "fg" in a font: the line height the renderer measures.
int LineHeightOf(const TFont& font)
{
    TBitmap probe(1, 1);
    HDC dc = probe.Canvas().Handle();
    TDcSelection selection(dc, font.Handle());
    return WideTextHeight(dc, WideString(u"fg"));
}

std::vector<TLinkNodeW*> Links(const TKvHtmlLabelW& label)
{
    std::vector<TLinkNodeW*> links;
    TTopLevelNodeEnumeratorW e(label.NodeTree()->Root(), &IsNodeClass<TLinkNodeW>);
    while (TNodeW* node = e.Next())
        links.push_back(static_cast<TLinkNodeW*>(node));
    return links;
}

// A borderless form, on request with a stripe picture of the image store
// under the label (a skin image); the form's own colour differs from both.
struct LabelForm {
    // The picture outlives the form that paints it.
    std::unique_ptr<TSkinBitmapList> skin = std::make_unique<TSkinBitmapList>();
    std::unique_ptr<TForm> form = std::make_unique<TForm>();
    TKvHtmlLabelW* label = nullptr;

    explicit LabelForm(const std::wstring& caption, int width = 240, bool withBackdrop = false)
    {
        form->SetBorderStyle(TBorderStyle::None);
        form->SetBounds(30, 30, 400, 260);
        form->SetColor(0x00E0E0E0);
        if (withBackdrop) {
            auto stripes = std::make_unique<TBitmap>(400, 260, TPixelFormat::pf24bit);
            for (int y = 0; y < stripes->Height(); ++y) {
                uint8_t* row = stripes->ScanLine(y);
                for (int x = 0; x < stripes->Width(); ++x) {
                    const bool dark = ((x + y) / 6) % 2 == 0;
                    row[x * 3 + 0] = dark ? 0x40 : 0xF0; // blue
                    row[x * 3 + 1] = static_cast<uint8_t>(x * 255 / 400);
                    row[x * 3 + 2] = dark ? 0x90 : 0x30;
                }
            }
            stripes->Modified();
            TSkinBitmapImage& image = skin->Images().Add();
            image.SetName(L"STRIPES");
            image.Picture().SetGraphic(std::move(stripes));
            TSkinImage::Create({.owner = form.get(),
                                .parent = form.get(),
                                .name = L"Backdrop",
                                .width = 400,
                                .height = 260,
                                .image = L"STRIPES"},
                               {.images = skin.get()});
        }
        label = TKvHtmlLabelW::Create({.owner = form.get(),
                                       .parent = form.get(),
                                       .name = L"Html",
                                       .left = 10,
                                       .top = 10,
                                       .width = width});
        label->SetCaption(caption);
        label->Loaded();
    }
    HWND Show()
    {
        form->Show();
        HWND wnd = form->Handle();
        Settle();
        return wnd;
    }
    // Paints until nothing is left to paint.
    void Settle()
    {
        for (int i = 0; i < 4; ++i) {
            form->Update();
            Pump(20);
        }
    }
    // A point inside a link's first rectangle, in the form's coordinates.
    POINT On(const TLinkNodeW& link, int dx = 2) const
    {
        const RECT r = ctest::StringRects(link).at(0);
        return POINT{label->Left() + r.left + dx, label->Top() + (r.top + r.bottom) / 2};
    }
    void Mouse(UINT msg, POINT pt, WPARAM keys = 0)
    {
        SendMouse(form->Handle(), msg, pt.x, pt.y, keys);
    }
};

// Every label test gives back the buffers it took, as the renderer's do.
class HtmlLabelTest : public formtest::MouseTest {
protected:
    void SetUp() override
    {
        start_ = KvLiveBuffers();
        formtest::MouseTest::SetUp();
    }
    void TearDown() override
    {
        SetHtmlLabelThemeQuery(nullptr);
        Pump(0);
        formtest::MouseTest::TearDown();
        EXPECT_EQ(start_, KvLiveBuffers()) << "buffers leaked";
    }
    long start_ = 0;
};

} // namespace

TEST_F(HtmlLabelTest, CreateDefaultsAndSetters)
{
    TKvHtmlLabelW label;
    EXPECT_EQ(65, label.Width());
    EXPECT_EQ(17, label.Height());
    EXPECT_TRUE(label.AutoHeight());
    EXPECT_TRUE(label.HotLinks());
    EXPECT_EQ(0xFF0000u, label.LinkColor());
    EXPECT_EQ(0x0000FFu, label.LinkColorClicked());
    EXPECT_EQ(0x800080u, label.LinkColorHot());
    EXPECT_EQ(fsUnderline, label.LinkStyle());
    EXPECT_EQ(0, label.MarginHeight());
    EXPECT_EQ(0, label.MarginWidth());
    EXPECT_EQ(0, label.OffsetY());
    EXPECT_FALSE(label.TransparentStored());
    ASSERT_NE(nullptr, label.NodeTree());
    EXPECT_EQ(0, label.NodeTree()->Root().ChildCount());
    // Wine's uxtheme reports themes active (x64): a new label is transparent.
    EXPECT_TRUE(HtmlLabelThemeActive());
    EXPECT_TRUE(label.Transparent());

    SetHtmlLabelThemeQuery([] { return false; });
    TKvHtmlLabelW plain;
    EXPECT_FALSE(plain.Transparent());
    plain.SetTransparent(false);
    EXPECT_FALSE(plain.Transparent());
    EXPECT_TRUE(plain.TransparentStored()) << "set explicitly, even to its value";
    plain.SetTransparent(true);
    EXPECT_TRUE(plain.Transparent());

    // A layout table's row may set it too.
    std::unique_ptr<TKvHtmlLabelW> fromRow(
        TKvHtmlLabelW::Create({.caption = L"<b>row</b>", .transparent = TFlag::On}));
    EXPECT_TRUE(fromRow->Transparent());
    EXPECT_TRUE(fromRow->TransparentStored());
    EXPECT_EQ(L"<b>row</b>", fromRow->Caption());
    EXPECT_NE(nullptr, fromRow->NodeTree()->Root().FindFirst<TStyleNodeW>());

    // Margins inset left, top and right, never the bottom.
    plain.SetBounds(0, 0, 100, 50);
    plain.SetMarginWidth(7);
    plain.SetMarginHeight(3);
    const RECT r = plain.LayoutRect();
    EXPECT_EQ((std::vector<LONG>{7, 3, 93, 50}),
              (std::vector<LONG>{r.left, r.top, r.right, r.bottom}));
    plain.SetWidth(80);
    EXPECT_EQ(73, plain.LayoutRect().right) << "Resize recomputes it";

    // The hint goes through the system code page.
    plain.SetHint(L"tip \u65e5");
    if (GetACP() == 932)
        EXPECT_EQ(L"tip \u65e5", plain.Hint());
    else
        EXPECT_EQ(L"tip ?", plain.Hint());
    EXPECT_EQ(AnsiFromWide(L"tip \u65e5"), plain.HintAnsi());
}

TEST_F(HtmlLabelTest, OpaqueWithoutThemesTransparentWithThem)
{
    for (bool themed : {false, true}) {
        SCOPED_TRACE(themed ? "themed" : "no themes");
        SetHtmlLabelThemeQuery(themed ? +[] { return true; } : +[] { return false; });
        LabelForm f(L"x");
        f.label->SetColor(0x00CCF0FF);
        f.Show();
        EXPECT_EQ(themed, f.label->Transparent());
        std::unique_ptr<TBitmap> shot = Render(*f.form);
        // Right of the text, inside the label.
        const TColor inside =
            PixelAt(*shot, f.label->Left() + f.label->Width() - 3, f.label->Top() + 3);
        EXPECT_EQ(themed ? 0x00E0E0E0u : 0x00CCF0FFu, inside);
    }
}

TEST_F(HtmlLabelTest, SettersRepaintOnlyOnAChange)
{
    LabelForm f(L"text <a href=x>link</a>");
    f.Show();
    int paints = 0;
    f.label->OnAfterPaint = [&paints](TComponent&) { ++paints; };
    TKvHtmlLabelW& l = *f.label;
    const struct {
        const char* name;
        std::function<void()> same, other;
    } cases[] = {
        {"AutoHeight", [&] { l.SetAutoHeight(true); }, [&] { l.SetAutoHeight(false); }},
        {"LinkColor", [&] { l.SetLinkColor(0xFF0000); }, [&] { l.SetLinkColor(0x00FF00); }},
        {"LinkColorClicked", [&] { l.SetLinkColorClicked(0x0000FF); },
         [&] { l.SetLinkColorClicked(1); }},
        {"LinkColorHot", [&] { l.SetLinkColorHot(0x800080); }, [&] { l.SetLinkColorHot(2); }},
        {"LinkStyle", [&] { l.SetLinkStyle(fsUnderline); }, [&] { l.SetLinkStyle(fsBold); }},
        {"MarginHeight", [&] { l.SetMarginHeight(0); }, [&] { l.SetMarginHeight(2); }},
        {"MarginWidth", [&] { l.SetMarginWidth(0); }, [&] { l.SetMarginWidth(2); }},
        {"OffsetY", [&] { l.SetOffsetY(0); }, [&] { l.SetOffsetY(1); }},
        {"Caption", [&] { l.SetCaption(L"text <a href=x>link</a>"); },
         [&] { l.SetCaption(L"other"); }},
        {"Transparent", [&] { l.SetTransparent(l.Transparent()); },
         [&] { l.SetTransparent(!l.Transparent()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        paints = 0;
        c.same();
        f.Settle();
        EXPECT_EQ(0, paints);
        c.other();
        f.Settle();
        EXPECT_GE(paints, 1);
    }
}

TEST_F(HtmlLabelTest, AutoHeightFollowsTheText)
{
    LabelForm f(L"first line<br>second line", 240);
    f.label->SetMarginHeight(4);
    f.Show();
    const int lh = LineHeightOf(f.label->Font());
    EXPECT_EQ(4 + 2 * lh + 4, f.label->Height());

    f.label->SetCaption(L"");
    f.Settle();
    EXPECT_EQ(4 + lh + 4, f.label->Height()) << "one empty line";

    // A width change re-wraps the text through Resize.
    f.label->SetCaption(L"several words that fit on one wide line");
    f.Settle();
    EXPECT_EQ(4 + lh + 4, f.label->Height());
    f.label->SetWidth(70);
    f.Settle();
    EXPECT_EQ(70, f.label->LayoutRect().right);
    EXPECT_GT(f.label->Height(), 4 + 3 * lh + 4);

    // Aligned to a side or the client area the height is the alignment's.
    for (TAlign align : {TAlign::Left, TAlign::Right, TAlign::Client}) {
        f.label->SetAlign(align);
        f.Settle();
        const int aligned = f.label->Height();
        EXPECT_EQ(f.form->ClientHeight(), aligned) << int(align);
        f.label->SetCaption(f.label->Caption() + L" more");
        f.Settle();
        EXPECT_EQ(aligned, f.label->Height()) << int(align);
    }
}

TEST_F(HtmlLabelTest, PaintsStayBoundedAfterACaptionChange)
{
    LabelForm f(L"short");
    f.Show();
    int paints = 0;
    f.label->OnAfterPaint = [&paints](TComponent&) { ++paints; };
    f.label->SetCaption(L"a caption long enough to need<p>several lines and a paragraph");
    f.Settle();
    Pump(200);
    EXPECT_GE(paints, 1);
    EXPECT_LE(paints, 3) << "no paint and resize loop";

    // OnAfterPaint also fires without a tree.
    TKvHtmlLabelW& label = *f.label;
    label.OnDynamicTagInit = [](TObject&, const std::wstring&, std::string&) {
        throw std::runtime_error("no source");
    };
    EXPECT_THROW(label.SetCaption(L"<dynamic id=x>"), std::runtime_error);
    EXPECT_EQ(nullptr, label.NodeTree());
    paints = 0;
    label.Invalidate();
    f.Settle();
    EXPECT_GE(paints, 1);
}

TEST_F(HtmlLabelTest, EqualCaptionKeepsTreeStatesAndCaches)
{
    LabelForm f(L"one <a href=x>link</a> two");
    const HWND wnd = f.Show();
    ASSERT_NE(nullptr, wnd);
    TNodeTreeW* tree = f.label->NodeTree();
    TLinkNodeW* link = Links(*f.label).at(0);
    f.Mouse(WM_MOUSEMOVE, f.On(*link));
    ASSERT_EQ(lsHot, link->State);
    auto cached = [&] {
        int words = 0;
        TTopLevelNodeEnumeratorW e(f.label->NodeTree()->Root(), &IsNodeClass<TStringNodeW>);
        while (TNodeW* n = e.Next())
            words += static_cast<TStringNodeW*>(n)->WordCache.Count();
        return words;
    };
    const int words = cached();
    EXPECT_GT(words, 0);

    f.label->SetCaption(L"one <a href=x>link</a> two");
    EXPECT_EQ(tree, f.label->NodeTree());
    EXPECT_EQ(link, f.label->CurrentLink());
    EXPECT_EQ(lsHot, link->State);
    EXPECT_EQ(words, cached());

    // A font change copies the font into the root and measures again.
    f.label->Font().SetStyle(fsItalic);
    f.label->Font().SetColor(0x00123456);
    EXPECT_EQ(fsItalic, tree->Root().Style);
    EXPECT_EQ(0x00123456u, tree->Root().StoredColor);
    EXPECT_EQ(0, cached());
    f.Settle();
    EXPECT_EQ(words, cached());

    // Another caption: a new tree, no current link, the font copied in.
    f.label->SetCaption(L"new");
    EXPECT_EQ(nullptr, f.label->CurrentLink());
    EXPECT_EQ(fsItalic, f.label->NodeTree()->Root().Style);
    EXPECT_EQ(0x00123456u, f.label->NodeTree()->Root().StoredColor);
}

TEST_F(HtmlLabelTest, LinkStatesCursorAndClicks)
{
    LabelForm f(L"plain <a href=\"h1\">one</a> then <a href=\"h2\">two <b>bold</b></a> end");
    f.label->SetCursor(crIBeam);
    f.label->Loaded();
    EXPECT_EQ(crIBeam, f.label->SavedCursor());
    f.Show();
    std::vector<std::wstring> clicks;
    f.label->OnLinkClick = [&](TObject& sender, const std::wstring& href,
                               const std::wstring& text) {
        EXPECT_EQ(f.label, &sender);
        clicks.push_back(href + L"|" + text);
    };
    const std::vector<TLinkNodeW*> links = Links(*f.label);
    ASSERT_EQ(2u, links.size());
    TLinkNodeW& one = *links[0];
    TLinkNodeW& two = *links[1];
    const POINT plain{f.label->Left() + 2, f.On(one).y};
    const POINT outside{350, 200};
    auto states = [&] { return std::to_string(one.State) + std::to_string(two.State); };

    // From link to link with no button: the first back to normal, the second
    // hot; the hand over links, the saved cursor elsewhere.
    f.Mouse(WM_MOUSEMOVE, plain);
    EXPECT_EQ(crIBeam, f.label->Cursor());
    f.Mouse(WM_MOUSEMOVE, f.On(one));
    EXPECT_EQ("20", states());
    EXPECT_EQ(crHandPoint, f.label->Cursor());
    f.Mouse(WM_MOUSEMOVE, f.On(two));
    EXPECT_EQ("02", states());
    EXPECT_EQ(&two, f.label->CurrentLink());
    f.Mouse(WM_MOUSEMOVE, plain);
    EXPECT_EQ("00", states());
    EXPECT_EQ(crIBeam, f.label->Cursor());
    EXPECT_EQ(nullptr, f.label->CurrentLink());

    // Pressed on one, released on two: two is reported, one is reset.
    f.Mouse(WM_MOUSEMOVE, f.On(one));
    f.Mouse(WM_LBUTTONDOWN, f.On(one), MK_LBUTTON);
    EXPECT_EQ("10", states());
    f.Mouse(WM_MOUSEMOVE, f.On(two), MK_LBUTTON);
    EXPECT_EQ("10", states()) << "nothing turns hot while a link is pressed";
    f.Mouse(WM_LBUTTONUP, f.On(two));
    EXPECT_EQ(std::vector<std::wstring>{L"h2|two bold"}, clicks);
    EXPECT_EQ("00", states());
    EXPECT_EQ(nullptr, f.label->CurrentLink());

    // Released outside the label: no click, the pressed link reset.
    clicks.clear();
    f.Mouse(WM_MOUSEMOVE, f.On(one));
    f.Mouse(WM_LBUTTONDOWN, f.On(one), MK_LBUTTON);
    f.Mouse(WM_MOUSEMOVE, outside, MK_LBUTTON);
    EXPECT_EQ("10", states()) << "a pressed link stays pressed outside";
    f.Mouse(WM_LBUTTONUP, outside);
    EXPECT_TRUE(clicks.empty());
    EXPECT_EQ("00", states());

    // Any button presses and clicks a link.
    f.Mouse(WM_MOUSEMOVE, f.On(one));
    f.Mouse(WM_RBUTTONDOWN, f.On(one), MK_RBUTTON);
    EXPECT_EQ("10", states());
    f.Mouse(WM_RBUTTONUP, f.On(one));
    EXPECT_EQ(std::vector<std::wstring>{L"h1|one"}, clicks);

    // Leaving the label resets the hot link.
    f.Mouse(WM_MOUSEMOVE, f.On(two));
    EXPECT_EQ("02", states());
    f.Mouse(WM_MOUSELEAVE, POINT{0, 0});
    EXPECT_EQ("00", states());

    // HotLinks off: never hot, pressed shows until the release.
    f.label->SetHotLinks(false);
    f.Mouse(WM_MOUSEMOVE, f.On(one));
    EXPECT_EQ("00", states());
    EXPECT_EQ(crHandPoint, f.label->Cursor());
    f.Mouse(WM_LBUTTONDOWN, f.On(one), MK_LBUTTON);
    EXPECT_EQ("10", states());
    f.Mouse(WM_MOUSEMOVE, plain, MK_LBUTTON);
    EXPECT_EQ("10", states());
    f.Mouse(WM_LBUTTONUP, plain);
    EXPECT_EQ("00", states());
}

TEST_F(HtmlLabelTest, DynamicTagsAskTheHandler)
{
    TKvHtmlLabelW label;
    std::string sourceAnsi = "left over";
    label.GetSource(nullptr, sourceAnsi);
    EXPECT_TRUE(sourceAnsi.empty());

    std::vector<std::wstring> asked;
    label.OnDynamicTagInit = [&](TObject& sender, const std::wstring& id, std::string& source) {
        EXPECT_EQ(&label, &sender);
        EXPECT_TRUE(source.empty()) << "emptied before the handler";
        asked.push_back(id);
        if (id == L"greet")
            source = "<b>Hello</b>";
    };
    label.SetCaption(L"<dynamic id=greet>x</dynamic> <dynamic id=none>");
    EXPECT_EQ((std::vector<std::wstring>{L"greet", L"none"}), asked);
    auto* node = label.NodeTree()->Root().FindFirst<TDynamicNodeW>();
    ASSERT_NE(nullptr, node);
    ASSERT_EQ(1, node->ChildCount());
    EXPECT_EQ(u"Hello", node->FindFirst<TStringNodeW>()->Text.View());
}

// The link's pixels over a backdrop: hovering changes the link's cells only,
// and moving away gives back the picture of before.
TEST_F(HtmlLabelTest, SingleLinkRedrawKeepsTheBackground)
{
    for (bool transparent : {true, false}) {
        SCOPED_TRACE(transparent ? "transparent" : "opaque");
        LabelForm f(L"Over the picture: <a href=x>hover this link</a> and <b>more</b> text.", 240,
                    true);
        f.label->SetTransparent(transparent);
        f.label->SetColor(0x00CCF0FF);
        f.label->Font().SetHeight(-13);
        f.Show();

        std::unique_ptr<TBitmap> shot = Render(*f.form);
        const int w = shot->Width(), h = shot->Height();
        auto pixels = [&] {
            std::vector<TColor> v;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    v.push_back(PixelAt(*shot, x, y));
            return v;
        };
        const std::vector<TColor> before = pixels();
        formtest::SaveEvidencePicture(*shot, transparent ? L"html_label_transparent_over_skin"
                                                         : L"html_label_opaque_over_skin");

        // The label draws single links on its canvas outside a paint: give
        // it the picture's context, with its origin and clip.
        HDC dc = shot->Canvas().Handle();
        TDcStateGuard state(dc);
        SetViewportOrgEx(dc, f.label->Left(), f.label->Top(), nullptr);
        IntersectClipRect(dc, 0, 0, f.label->Width(), f.label->Height());
        f.label->Canvas().SetHandle(dc);

        TLinkNodeW* link = Links(*f.label).at(0);
        std::vector<RECT> cells = ctest::StringRects(*link);
        for (RECT& r : cells)
            OffsetRect(&r, f.label->Left(), f.label->Top());
        auto inCells = [&](int x, int y) {
            const POINT pt{x, y};
            for (const RECT& r : cells)
                if (PtInRect(&r, pt))
                    return true;
            return false;
        };

        // Stale pixels in the link's cells stand for what a redraw over the
        // old text leaves (the old colour's smoothed edges): the cells get
        // the background before the link is drawn again.
        constexpr TColor kStale = 0x00FF00FF;
        {
            TBrush stale;
            stale.SetColor(kStale);
            for (const RECT& r : ctest::StringRects(*link))
                FillRect(dc, &r, stale.Handle());
        }

        f.Mouse(WM_MOUSEMOVE, f.On(*link));
        ASSERT_EQ(lsHot, link->State);
        const std::vector<TColor> hot = pixels();
        int changed = 0, stale = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y) * w + x;
                stale += hot[i] == kStale;
                if (hot[i] == before[i])
                    continue;
                ++changed;
                EXPECT_TRUE(inCells(x, y)) << "changed at " << x << "," << y;
            }
        EXPECT_GT(changed, 10) << "the hot colour shows";
        EXPECT_EQ(0, stale) << "the cells were refilled";

        f.Mouse(WM_MOUSEMOVE, POINT{f.label->Left() + 1, f.label->Top() + 1});
        ASSERT_EQ(lsNormal, link->State);
        const std::vector<TColor> after = pixels();
        int differing = 0;
        for (size_t i = 0; i < after.size(); ++i)
            differing += after[i] != before[i];
        EXPECT_EQ(0, differing) << "the picture of before hovering";
        f.label->Canvas().SetHandle(nullptr);
    }
}

TEST_F(HtmlLabelTest, Screenshots)
{
    const std::wstring caption =
        L"Plain, <b>bold</b>, <i>italic</i>, <u>underlined</u>, <s>struck</s>, "
        L"<b><i><u>all three</u></i></b>; <font color=red>red</font>, "
        L"<font color=\"#008000\">green</font>, <font color=navy>navy</font>."
        L"<br>Links: <a href=a>normal</a>, <a href=b>pressed</a>, <a href=c>hot</a>."
        L"<p>After a paragraph: <dynamic id=d></dynamic>";
    for (int width : {140, 240, 380}) {
        LabelForm f(caption, width);
        f.label->OnDynamicTagInit = [](TObject&, const std::wstring&, std::string& source) {
            source = "<b>dynamic</b> <font color=purple>content</font>";
        };
        f.label->SetCaption(L"");
        f.label->SetCaption(caption);
        f.label->SetMarginWidth(4);
        f.label->SetMarginHeight(4);
        f.label->SetTransparent(false);
        f.label->SetColor(clWhite);
        f.Show();
        const std::vector<TLinkNodeW*> links = Links(*f.label);
        ASSERT_EQ(3u, links.size());
        std::unique_ptr<TBitmap> shot = Render(*f.form);
        // A full paint shows every link in LinkColor; the pressed and hot
        // ones are drawn again alone, as the label does, onto the picture.
        links[1]->State = lsPressed;
        links[2]->State = lsHot;
        HDC dc = shot->Canvas().Handle();
        {
            TDcStateGuard state(dc);
            SetViewportOrgEx(dc, f.label->Left(), f.label->Top(), nullptr);
            TDcSelection font(dc, f.label->Font().Handle());
            TBrush white;
            white.SetColor(clWhite);
            for (TLinkNodeW* link : {links[1], links[2]}) {
                for (const RECT& r : ctest::StringRects(*link))
                    FillRect(dc, &r, white.Handle());
                f.label->Renderer().DrawNode(dc, f.label->LayoutRect(), *link);
            }
        }
        formtest::SaveEvidencePicture(*shot, L"html_label_width_" + std::to_wstring(width));
        EXPECT_GT(f.label->Height(), LineHeightOf(f.label->Font()) * 3);
    }
}

// "--role=html_label_click_handlers": OnLinkClick handlers that replace the
// caption, release the form, free the label and throw; 0 when the process
// went on and the guard saw the exception's text.
// A named stdcall function: a lambda has no stdcall form on 32-bit Windows.
static BOOL WINAPI TrackMouseAlwaysOn(LPTRACKMOUSEEVENT)
{
    return TRUE;
}

KTEST_ROLE(html_label_click_handlers)
{
    formtest::RecordGuardTexts();
    formtest::InitApplication();
    TFormLibCalls calls;
    calls.trackMouseEvent = &TrackMouseAlwaysOn;
    SetFormLibCalls(&calls);
    auto* form = new TForm;
    form->SetBorderStyle(TBorderStyle::None);
    form->SetBounds(0, 0, 400, 60);
    const TComponentRef formRef = form->Ref();
    auto label = [&](const wchar_t* name, int left) {
        auto* l = TKvHtmlLabelW::Create(
            {.owner = form, .parent = form, .name = name, .left = left, .width = 90});
        l->SetCaption(L"<a href=go>go</a>");
        return l;
    };
    TKvHtmlLabelW* replacer = label(L"Replacer", 0);
    TKvHtmlLabelW* selfFree = label(L"SelfFree", 100);
    TKvHtmlLabelW* thrower = label(L"Thrower", 200);
    TKvHtmlLabelW* releaser = label(L"Releaser", 300);
    replacer->OnLinkClick = [&](TObject&, const std::wstring&, const std::wstring& text) {
        replacer->SetCaption(L"<a href=again>" + text + L" again</a>");
    };
    selfFree->OnLinkClick = [&](TObject& sender, const std::wstring&, const std::wstring&) {
        delete &sender;
    };
    thrower->OnLinkClick = [](TObject&, const std::wstring&, const std::wstring&) {
        throw std::runtime_error("thrown by a link handler");
    };
    bool releasedInside = false;
    releaser->OnLinkClick = [&](TObject&, const std::wstring&, const std::wstring&) {
        form->Release();
        releasedInside = formRef.Get() != nullptr;
    };
    form->Show();
    HWND wnd = form->Handle();
    for (int i = 0; i < 4; ++i) {
        form->Update();
        Pump(20);
    }
    auto click = [&](int x) {
        SendMouse(wnd, WM_MOUSEMOVE, x, 6);
        SendMouse(wnd, WM_LBUTTONDOWN, x, 6, MK_LBUTTON);
        SendMouse(wnd, WM_LBUTTONUP, x, 6);
    };
    click(4);
    if (replacer->Caption() != L"<a href=again>go again</a>" || replacer->CurrentLink())
        return 11;
    click(104);
    if (form->FindComponent(L"SelfFree"))
        return 12;
    click(204);
    if (formtest::GuardTexts().find("thrown by a link handler") == std::string::npos)
        return 13;
    if (thrower->CurrentLink())
        return 14;
    click(304);
    if (!releasedInside)
        return 15;
    Pump(100);
    if (formRef.Get() || IsWindow(wnd))
        return 16;
    SetFormLibCalls(nullptr);
    return 0;
}

TEST(HtmlLabel, LinkHandlersThatReplaceReleaseFreeAndThrow)
{
    KTEST_NEEDS_DISPLAY();
    const ktest::ChildResult r = ktest::RunSelf(L"html_label_click_handlers");
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(0u, r.exitCode);
}
