// The PNG control: anchors read from and written to the picture's "URL"
// text chunks, hit testing, the mouse, loads and saves.

#include "controls/KvForms.h"
#include "controls/PNGControl.h"

#include "FormTest.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using formtest::Box;
using formtest::PixelAt;
using formtest::Render;
using formtest::SendMouse;

namespace {

std::string Bytes(const TPNGControl& control)
{
    TMemoryStream stream;
    EXPECT_TRUE(control.SaveToStream(stream));
    return stream.ToString();
}

// The chunk types of a PNG file in order.
std::vector<std::string> ChunkTypes(const std::string& png)
{
    std::vector<std::string> types;
    size_t at = 8;
    while (at + 8 <= png.size()) {
        const uint32_t len = static_cast<uint32_t>(static_cast<unsigned char>(png[at])) << 24 |
                             static_cast<uint32_t>(static_cast<unsigned char>(png[at + 1])) << 16 |
                             static_cast<uint32_t>(static_cast<unsigned char>(png[at + 2])) << 8 |
                             static_cast<unsigned char>(png[at + 3]);
        types.push_back(png.substr(at + 4, 4));
        at += 12 + len;
    }
    return types;
}

bool LoadAnchored(TPNGControl& control)
{
    return control.LoadFromResourceName(GetModuleHandleW(nullptr), L"ANCHORED_PNG");
}

} // namespace

TEST(PNGAnchors, TextsGiveTheirRectanglesAndAddresses)
{
    const struct {
        const char* name;
        const char* text;
        RECT rect;
        const char* url;
    } cases[] = {
        {"blanks round the numbers, capital prefix, blanks round the address",
         "click: 10 , 20 ,110 , 40\r\nURL:  https://h/p  ", {10, 20, 110, 40}, "https://h/p"},
        {"three numbers", "click:1,2,3\r\nurl:a", {0, 0, 0, 0}, "a"},
        {"a number that is none", "click:1,2,x,4", {1, 2, 0, 4}, ""},
        {"a number too large", "click:99999999999,2,3,4", {0, 2, 3, 4}, ""},
        {"CR alone", "click:1,2,3,4\rurl:a", {1, 2, 3, 4}, "a"},
        {"LF alone", "url:b\nclick:5,6,7,8", {5, 6, 7, 8}, "b"},
        {"the last line of a kind wins", "click:1,1,1,1\r\nurl:x\r\nclick:5,6,7,8\r\nurl:y",
         {5, 6, 7, 8}, "y"},
        {"other lines ignored", "hello\r\n  click:9,9,9,9\r\nCLICK:1,2,3,4\r\nurls:no",
         {1, 2, 3, 4}, ""},
        {"a fifth number ignored", "click:1,2,3,4,5", {1, 2, 3, 4}, ""},
        {"empty", "", {0, 0, 0, 0}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RECT rect{-1, -1, -1, -1};
        std::string url = "stale";
        TAnchor::Parse(c.text, rect, url);
        EXPECT_EQ(Box(c.rect), Box(rect));
        EXPECT_EQ(c.url, url);
    }
}

TEST(PNGAnchors, WrittenFormAndRewritesOnlyOnAChange)
{
    TPNGControl control;
    control.Image().SetSize(4, 4, true);
    TAnchor* anchor = control.AddAnchor();
    ASSERT_NE(nullptr, anchor);
    anchor->SetRect(RECT{10, 20, 110, 40});
    anchor->SetURL("https://h/p");
    EXPECT_EQ("click:10,20,110,40\r\nurl:https://h/p", anchor->Chunk()->Text());

    anchor->Chunk()->SetText("click: 1 ,2,3,4\r\nurl:u");
    control.ReloadAnchors();
    anchor = control.Anchors().front().get();
    anchor->SetRect(RECT{1, 2, 3, 4});
    anchor->SetURL("u");
    EXPECT_EQ("click: 1 ,2,3,4\r\nurl:u", anchor->Chunk()->Text()) << "unchanged values keep the bytes";

    anchor->SetURL("https://h/p\r\nclick:0,0,999,999\n");
    EXPECT_EQ("https://h/pclick:0,0,999,999", anchor->URL());
    RECT rect{};
    std::string url;
    TAnchor::Parse(anchor->Chunk()->Text(), rect, url);
    EXPECT_EQ(Box(RECT{1, 2, 3, 4}), Box(rect)) << "an address cannot bring a click line of its own";
    EXPECT_EQ(anchor->URL(), url);
}

TEST(PNGAnchors, AddedAnchorIsSavedBeforeTheEndAndLoadsBack)
{
    TPNGControl control;
    ASSERT_TRUE(LoadAnchored(control));
    ASSERT_EQ(2u, control.Anchors().size());
    EXPECT_EQ("https://example.invalid/left", control.Anchors()[0]->URL());
    EXPECT_EQ(Box(RECT{20, 0, 40, 20}), Box(control.Anchors()[1]->Rect())) << "keyword \"url\"";
    EXPECT_EQ("https://example.invalid/right", control.Anchors()[1]->URL());
    TAnchor* added = control.AddAnchor();
    added->SetRect(RECT{1, 1, 5, 5});
    added->SetURL("https://example.invalid/added");
    const std::string bytes = Bytes(control);
    const std::vector<std::string> types = ChunkTypes(bytes);
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ("IEND", types.back());
    EXPECT_EQ("tEXt", types[types.size() - 2]) << "the new chunk stands before IEND";

    TPNGControl copy;
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.SetPosition(0);
    ASSERT_TRUE(copy.LoadFromStream(stream));
    ASSERT_EQ(3u, copy.Anchors().size());
    EXPECT_EQ("https://example.invalid/added", copy.Anchors().back()->URL());
    EXPECT_EQ(Box(RECT{1, 1, 5, 5}), Box(copy.Anchors().back()->Rect()));
}

TEST(PNGAnchors, FirstAnchorInListOrderWinsAndTheFarEdgesAreOutside)
{
    TPNGControl control;
    control.Image().SetSize(30, 30, true);
    control.AddAnchor()->SetRect(RECT{0, 0, 10, 10});
    control.AddAnchor()->SetRect(RECT{5, 5, 20, 20});
    control.AddAnchor()->SetRect(RECT{0, 0, 0, 0});
    TAnchor* first = control.Anchors()[0].get();
    TAnchor* second = control.Anchors()[1].get();
    EXPECT_EQ(first, control.AnchorAt(7, 7)) << "overlap: the earlier chunk";
    EXPECT_EQ(first, control.AnchorAt(0, 0));
    EXPECT_EQ(second, control.AnchorAt(10, 5));
    EXPECT_EQ(second, control.AnchorAt(19, 19));
    EXPECT_EQ(nullptr, control.AnchorAt(20, 19));
    EXPECT_EQ(nullptr, control.AnchorAt(19, 20));
    EXPECT_EQ(nullptr, control.AnchorAt(25, 25));
}

TEST(PNGAnchors, ImageSetterCopiesAndReloadsBeforeAnOldAnchorIsUsed)
{
    TPNGControl source;
    ASSERT_TRUE(LoadAnchored(source));
    TPNGControl control;
    control.Image().SetSize(2, 2, true);
    control.AddAnchor()->SetURL("old");
    control.SetImage(source.Image());
    ASSERT_EQ(2u, control.Anchors().size());
    EXPECT_NE(source.Anchors()[0]->Chunk(), control.Anchors()[0]->Chunk()) << "a copy";
    EXPECT_EQ("https://example.invalid/left", control.Anchors()[0]->URL());
}

TEST(PNGAnchors, HostileFileLeavesTheControlEmpty)
{
    TPNGControl control;
    ASSERT_TRUE(LoadAnchored(control));
    std::string bytes = Bytes(control);
    bytes.resize(bytes.size() / 2);
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.SetPosition(0);
    EXPECT_FALSE(control.LoadFromStream(stream));
    EXPECT_TRUE(control.Image().Empty());
    EXPECT_TRUE(control.Anchors().empty());
    EXPECT_FALSE(control.Image().LastError().empty()) << "a reason for the caller's log";
    EXPECT_FALSE(control.LoadFromFile(L"C:\\no such folder\\none.png"));
    EXPECT_FALSE(control.SaveToFile(L"C:\\no such folder\\none.png"));
}

class PNGControlMouse : public formtest::MouseTest {};

TEST_F(PNGControlMouse, LeftPressReportsOnceAndTheHandShowsOnlyWithNoButtonHeld)
{
    TForm form;
    form.SetBorderStyle(TBorderStyle::None);
    form.SetBounds(400, 400, 100, 60);
    form.SetColor(clWhite);
    TPNGControl* control = TPNGControl::Create(
        {.owner = &form, .parent = &form, .name = L"Png", .left = 10, .top = 10, .width = 40, .height = 20});
    ASSERT_TRUE(LoadAnchored(*control));
    std::vector<std::string> reported;
    control->OnAnchorClick = [&](TPNGControl&, TAnchor& anchor) { reported.push_back(anchor.URL()); };
    int painted = 0;
    control->OnPaint = [&](TGraphicControl&) { ++painted; };
    form.Show();
    HWND wnd = form.Handle();

    SendMouse(wnd, WM_MOUSEMOVE, 15, 15);
    EXPECT_EQ(crHandPoint, control->Cursor());
    SendMouse(wnd, WM_LBUTTONDOWN, 15, 15, MK_LBUTTON);
    EXPECT_EQ((std::vector<std::string>{"https://example.invalid/left"}), reported) << "on the press";
    SendMouse(wnd, WM_MOUSEMOVE, 35, 15, MK_LBUTTON);
    EXPECT_EQ(crDefault, control->Cursor()) << "no hand while a button is held";
    SendMouse(wnd, WM_LBUTTONUP, 90, 55);
    EXPECT_EQ(1u, reported.size()) << "released elsewhere, reported once";
    SendMouse(wnd, WM_MOUSEMOVE, 35, 15);
    EXPECT_EQ(crHandPoint, control->Cursor());
    SendMouse(wnd, WM_RBUTTONDOWN, 35, 15, MK_RBUTTON);
    SendMouse(wnd, WM_RBUTTONUP, 35, 15);
    EXPECT_EQ(1u, reported.size()) << "the right button reports nothing";

    // Painted at (0, 0) unscaled, then OnPaint.
    std::unique_ptr<TBitmap> shot = Render(form);
    EXPECT_EQ(0x00C8781Eu, PixelAt(*shot, 12, 12)) << "the left half's colour";
    EXPECT_EQ(0x0014A0F0u, PixelAt(*shot, 45, 25));
    EXPECT_EQ(clWhite, PixelAt(*shot, 52, 12)) << "unscaled: nothing beyond the picture";
    EXPECT_GE(painted, 1);
}
