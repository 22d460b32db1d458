// The page view: what its builder makes of a page (the skipped elements, the
// line breaks of block elements, the charset, the nesting cap), the size
// limit, the layout again at another width, scrolling, and a link click
// handed out as the page's href.

#include "controls/KvForms.h"
#include "controls/KvPageView.h"
#include "platform/UnicodeU.h"

#include "ControlsTest.h"
#include "FormTest.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using formtest::Pump;
using formtest::SendMouse;

namespace {

// The tree as text: string nodes as their text (non-ASCII as \uXXXX), "|" a
// line break, "^" a paragraph, links as [href:text], bold as *text*.
void Dump(const TNodeW& node, std::string& out)
{
    if (auto* s = dynamic_cast<const TStringNodeW*>(&node)) {
        for (char16_t c : s->Text.View()) {
            if (c < 128) {
                out += static_cast<char>(c);
            } else {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
                out += buf;
            }
        }
        return;
    }
    if (auto* a = dynamic_cast<const TActionNodeW*>(&node)) {
        out += a->Action == naLineBreak ? "|" : "^";
        return;
    }
    auto* parent = dynamic_cast<const TParentNodeW*>(&node);
    if (!parent)
        return;
    const auto* link = dynamic_cast<const TLinkNodeW*>(&node);
    const auto* style = dynamic_cast<const TStyleNodeW*>(&node);
    const bool bold = style && style->StyleItem == kvfsBold;
    if (link)
        out += "[" + WideToUtf8(StdFromWideString(link->Href)) + ":";
    if (bold)
        out += "*";
    for (int32_t i = 0; i < parent->ChildCount(); ++i)
        Dump(*parent->Child(i), out);
    if (bold)
        out += "*";
    if (link)
        out += "]";
}

std::string DumpPage(const std::string& bytes)
{
    std::unique_ptr<TNodeTreeW> tree = KvBuildPageTree(bytes);
    std::string out;
    Dump(tree->Root(), out);
    return out;
}

int MaxDepth(const TParentNodeW& parent)
{
    int deepest = 0;
    for (int32_t i = 0; i < parent.ChildCount(); ++i)
        if (auto* child = dynamic_cast<const TParentNodeW*>(parent.Child(i)))
            deepest = std::max(deepest, 1 + MaxDepth(*child));
    return deepest;
}

TEST(PageTree, SkipsAndBreaks)
{
    struct Case {
        const char* name;
        std::string page;
        std::string tree;
    };
    const Case cases[] = {
        {"head, title, style and script leave nothing",
         "<html><head><title>Title</title><style>p { color: red }</style>"
         "<script>document.write('x')</script></head><body>Hello<script type=\"text/javascript\">"
         "if (a<b && c>d) { s = '<b>bold</b></div>'; }</script> world</body></html>",
         "Hello world"},
        {"a HEAD never closed ends at BODY", "<head><title>T</title><body>Text", "Text"},
        {"a STYLE in the body", "a<style>.x{}</style>b", "ab"},
        {"headings and lists break the line",
         "<h1>Questions</h1>Intro<ul><li>one</li><li>two</ul><ol><li>three</ol>after",
         "Questions|Intro|one|two|three|after"},
        {"every heading level", "<h2>a</h2><h3>b</h3><h4>c</h4><h5>d</h5><h6>e</h6>f", "a|b|c|d|e|f"},
        {"DIV, BLOCKQUOTE and HR", "<div>a</div><blockquote>b</blockquote>c<hr>d", "a|b|c|d"},
        {"table rows break, cells do not",
         "<table><tr><td>x</td><td> y</td></tr><tr><td>z</td></tr></table>w", "x y|z|w"},
        {"no empty lines between blocks",
         "<div>\n  <div>\n    a\n  </div>\n</div>\n<div>b</div>", "a |b|"},
        {"BR and P as in a caption", "a<br>  b<p>  c", "a|b^c"},
        {"links keep their href as written",
         "see <a href=\"https://example.test/faq?x=1&amp;y=2\">the <b>site</b></a> or "
         "<a href='other.htm#top'>another</a>",
         "see [https://example.test/faq?x=1&y=2:the *site*] or [other.htm#top:another]"},
        {"images, forms and unknown tags show only their text",
         "<img src=\"http://example.test/p.png\">x<iframe src=\"a.htm\"></iframe><span>y</span>",
         "xy"},
        {"an unclosed SCRIPT hides the rest", "a<script>b</b>c", "a"},
        {"8-bit by default", "\xC3\xA4", "\\u00C3\\u00A4"},
        {"a declared UTF-8 page",
         "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">"
         "\xC3\xA4\xE3\x81\x82\xF0\x9F\x98\x80\xC3",
         "\\u00E4\\u3042\\uFFFD\\uFFFD"},
        {"a UTF-8 byte order mark", "\xEF\xBB\xBF\xC3\xBC", "\\u00FC"},
        {"another declared charset stays 8-bit",
         "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">\xE4",
         "\\u00E4"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DumpPage(c.page), c.tree) << c.name;
}

TEST(PageTree, NestingCap)
{
    std::string page;
    for (int i = 0; i < kvMaxNodeDepth + 100; ++i)
        page += i % 2 ? "<b>" : "<a href=\"x\">";
    page += "deep";
    std::unique_ptr<TNodeTreeW> tree = KvBuildPageTree(page);
    EXPECT_EQ(MaxDepth(tree->Root()), kvMaxNodeDepth);
    std::string out;
    Dump(tree->Root(), out);
    EXPECT_NE(out.find("deep"), std::string::npos) << "the text inside the cap is kept";

    // End tags beyond the nodes made close nothing more: the text after
    // them stays at the root.
    page.clear();
    for (int i = 0; i < kvMaxNodeDepth + 44; ++i)
        page += "<b>";
    page += "x";
    for (int i = 0; i < kvMaxNodeDepth + 44; ++i)
        page += "</b>";
    page += "y";
    tree = KvBuildPageTree(page);
    out.clear();
    Dump(tree->Root(), out);
    const std::string stars(kvMaxNodeDepth, '*');
    EXPECT_EQ(out, stars + "x" + stars + "y");
}

// A view on a borderless form, shown.
struct ViewForm {
    std::unique_ptr<TForm> form = std::make_unique<TForm>();
    TKvPageView* view = nullptr;

    explicit ViewForm(int width = 400, int height = 200)
    {
        formtest::InitApplication();
        form->SetBorderStyle(TBorderStyle::None);
        form->SetBounds(40, 40, width, height);
        form->Font().SetName(L"Tahoma");
        form->Font().SetHeight(-12);
        view = new TKvPageView(form.get());
        view->SetParent(form.get());
        view->SetAlign(TAlign::Client);
        form->Show();
        Pump(20);
    }
};

std::string Words(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "word" + std::to_string(i) + " ";
    return text;
}

TEST(PageView, LinkClickHandsOutTheHref)
{
    ViewForm f;
    std::vector<std::wstring> clicks;
    f.view->OnLinkClick = [&](TKvPageView&, const std::wstring& href) { clicks.push_back(href); };
    ASSERT_TRUE(f.view->SetPageBytes(Words(3) + "<a href=\"../Help Page.htm?x=1#top\">the link</a>" +
                                     "<p>" + Words(200) + "<a href=\"second.htm\">last</a>"));
    const TRectVectorW& rects = f.view->NodeTree().Root().LinkRects;
    ASSERT_GE(rects.Count(), 1);
    const RECT first = rects.At(0);
    HWND wnd = f.view->Handle();
    const int x = (first.left + first.right) / 2, y = (first.top + first.bottom) / 2;

    SendMouse(wnd, WM_LBUTTONDOWN, x, y, MK_LBUTTON);
    SendMouse(wnd, WM_LBUTTONUP, x, y);
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0], L"../Help Page.htm?x=1#top") << "as written, not resolved";

    // Pressed on the link, let go elsewhere: no click; off any link: none.
    SendMouse(wnd, WM_LBUTTONDOWN, x, y, MK_LBUTTON);
    SendMouse(wnd, WM_LBUTTONUP, 2, f.view->ClientHeight() - 2);
    SendMouse(wnd, WM_LBUTTONDOWN, 2, f.view->ClientHeight() - 2, MK_LBUTTON);
    SendMouse(wnd, WM_LBUTTONUP, 2, f.view->ClientHeight() - 2);
    EXPECT_EQ(clicks.size(), 1u);

    // Scrolled to the end, the last link is where the rectangles say, and
    // the first one is gone from under the point.
    f.view->ScrollTo(f.view->MaxScrollPos());
    ASSERT_GT(f.view->ScrollPos(), 0);
    EXPECT_EQ(f.view->LinkAt(POINT{x, y}), nullptr);
    const RECT last = rects.At(rects.Count() - 1);
    ASSERT_GT(last.top, 0);
    ASSERT_LT(last.bottom, f.view->ClientHeight() + 1);
    SendMouse(wnd, WM_LBUTTONDOWN, (last.left + last.right) / 2, (last.top + last.bottom) / 2, MK_LBUTTON);
    SendMouse(wnd, WM_LBUTTONUP, (last.left + last.right) / 2, (last.top + last.bottom) / 2);
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_EQ(clicks[1], L"second.htm");
}

TEST(PageView, LaidOutAgainOnResize)
{
    ViewForm f(600, 200);
    ASSERT_TRUE(f.view->SetPageBytes(Words(300)));
    const int wide = f.view->ContentHeight();
    ASSERT_GT(wide, f.view->ClientHeight());
    f.view->ScrollTo(f.view->MaxScrollPos());

    f.form->SetBounds(40, 40, 250, 200);
    Pump(20);
    const int narrow = f.view->ContentHeight();
    EXPECT_GT(narrow, wide * 2) << "the text wraps to the narrower width";
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE;
    ASSERT_TRUE(GetScrollInfo(f.view->Handle(), SB_VERT, &info));
    EXPECT_EQ(info.nMax, narrow - 1);
    EXPECT_EQ(static_cast<int>(info.nPage), f.view->ClientHeight());
    // Every line lies inside the new width.
    for (const RECT& r : ctest::StringRects(f.view->NodeTree().Root()))
        EXPECT_LE(r.right, f.view->ClientWidth()) << r.left << "," << r.top;

    // Wider again, the page is shorter and the position kept inside it.
    f.form->SetBounds(40, 40, 900, 200);
    Pump(20);
    EXPECT_LT(f.view->ContentHeight(), wide);
    EXPECT_LE(f.view->ScrollPos(), f.view->MaxScrollPos());
}

TEST(PageView, Scrolling)
{
    ViewForm f;
    ASSERT_TRUE(f.view->SetPageBytes(Words(400)));
    HWND wnd = f.view->Handle();
    // The scroll bar the page needs took its width: the lines were laid out
    // again inside what is left, before any paint.
    ASSERT_TRUE(GetWindowLongW(wnd, GWL_STYLE) & WS_VSCROLL);
    ASSERT_LT(f.view->ClientWidth(), f.view->Width());
    for (const RECT& r : ctest::StringRects(f.view->NodeTree().Root()))
        ASSERT_LE(r.right, f.view->ClientWidth() - kvPageViewMargin) << r.left << "," << r.top;
    SendMessageW(wnd, WM_VSCROLL, SB_LINEDOWN, 0);
    const int line = f.view->ScrollPos();
    EXPECT_GT(line, 0);
    SendMessageW(wnd, WM_VSCROLL, SB_PAGEDOWN, 0);
    EXPECT_GT(f.view->ScrollPos(), line + f.view->ClientHeight() / 2);
    SendMessageW(wnd, WM_VSCROLL, SB_BOTTOM, 0);
    EXPECT_EQ(f.view->ScrollPos(), f.view->MaxScrollPos());
    SendMessageW(wnd, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), 0);
    EXPECT_EQ(f.view->ScrollPos(), f.view->MaxScrollPos() - 3 * line);
    SendMessageW(wnd, WM_KEYDOWN, VK_HOME, 0);
    EXPECT_EQ(f.view->ScrollPos(), 0);
    SendMessageW(wnd, WM_VSCROLL, SB_LINEUP, 0);
    EXPECT_EQ(f.view->ScrollPos(), 0) << "never above the top";

    // The drawn text moves with the position: the first line's rectangle
    // lies above the view once scrolled.
    f.view->ScrollTo(5 * line);
    f.view->Update();
    const std::vector<RECT> rects = ctest::StringRects(f.view->NodeTree().Root());
    ASSERT_FALSE(rects.empty());
    EXPECT_EQ(rects.front().top, kvPageViewMargin - 5 * line);

    // A new page starts at the top.
    ASSERT_TRUE(f.view->SetPageBytes(Words(400)));
    EXPECT_EQ(f.view->ScrollPos(), 0);
}

TEST(PageView, SizeLimit)
{
    ViewForm f;
    std::string page(static_cast<size_t>(kvPageViewMaxBytes), 'a');
    for (size_t i = 79; i < page.size(); i += 80)
        page[i] = ' ';
    page.replace(0, 5, "Start");
    EXPECT_TRUE(f.view->SetPageBytes(page)) << "exactly the limit is taken";
    EXPECT_FALSE(f.view->Empty());
    EXPECT_GT(f.view->ContentHeight(), 0);

    page += 'x';
    EXPECT_FALSE(f.view->SetPageBytes(page));
    EXPECT_TRUE(f.view->Empty()) << "one byte more empties the view";
    EXPECT_EQ(f.view->NodeTree().Root().ChildCount(), 0);
    EXPECT_EQ(f.view->ContentHeight(), 0);
    EXPECT_EQ(f.view->MaxScrollPos(), 0);
}

} // namespace
