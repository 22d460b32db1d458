// The main window's banners: a news item's picture when it loads (and then
// counted as shown), the built-in picture otherwise, no count in a check
// run, and an anchor press that is counted and opened through the shell.

#include "app/frmAllImages.h"
#include "app/frmAllMain.h"
#include "app/qvFramelessIE.h"
#include "app/qvNews.h"
#include "AppTest.h"
#include "KorvTest.h"
#include "controls/PNGControl.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"
#include "app/qvAppBody.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace apptest;

TDateTime gNow = 46000.5;
TDateTime FakeNow()
{
    return gNow;
}

class BannerTest : public WizardFixture {
protected:
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        WizardFixture::SetUp();
        CreateDirectoryA(NewsDir().c_str(), nullptr);
        gNow = 46000.5;
        oldClock_ = SetClock(&FakeNow);
        item_.Key = "k1";
        item_.Category = kNewsCategoryLeftBanner;
        item_.Version = 1;
        item_.Last = 45000;
        item_.Write();
    }
    void TearDown() override
    {
        if (oldClock_)
            SetClock(oldClock_);
        WizardFixture::TearDown();
    }

    // k1.png, 172 x 142, with one https anchor and one file: anchor.
    void WriteBanner()
    {
        TPNGPicture png;
        png.SetSize(172, 142, true);
        uint8_t* p = png.MutablePixels();
        for (int i = 0; i < 172 * 142; ++i) {
            p[i * 4] = 40;
            p[i * 4 + 1] = 160;
            p[i * 4 + 2] = 60;
            p[i * 4 + 3] = 255;
        }
        png.Modified();
        png.AddTextChunk("URL", TAnchor::Format(RECT{0, 0, 172, 70}, "https://example.test/n?u=%UID%"));
        png.AddTextChunk("URL", TAnchor::Format(RECT{0, 80, 172, 142}, "file:///C:/x.exe"));
        ASSERT_TRUE(png.SaveToFile(item_.ImageFileName()));
    }
    TDateTime StoredLast()
    {
        TNewsItem back("k1");
        back.Read();
        return back.Last;
    }
    // The banner shows the built-in picture of that name.
    static bool IsBuiltIn(const TPNGControl& banner, const wchar_t* name)
    {
        TPNGControl builtIn;
        if (!builtIn.LoadFromResourceName(GetModuleHandleW(nullptr), name))
            return false;
        const TPNGPicture& a = banner.Image();
        const TPNGPicture& b = builtIn.Image();
        return a.Width() == b.Width() && a.Height() == b.Height() && a.Pixels() && b.Pixels() &&
               memcmp(a.Pixels(), b.Pixels(), static_cast<size_t>(b.Width()) * b.Height() * 4) == 0;
    }

    TClock oldClock_ = nullptr;
    TNewsItem item_;
};

TEST_F(BannerTest, ARenderedItemIsShownCountedAndItsAnchorsOpenThroughTheShell)
{
    WriteBanner();
    MakeForms();
    TPNGControl* left = main_->BannerLeft();
    ASSERT_NE(nullptr, left);
    EXPECT_EQ(172, left->Image().Width());
    EXPECT_EQ(142, left->Image().Height());
    EXPECT_EQ(2u, left->Anchors().size());
    EXPECT_EQ(gNow, StoredLast());
    EXPECT_TRUE(IsBuiltIn(*main_->BannerBottom(), L"BANNER_BOTTOM"));

    left->MouseDown(TMouseButton::Left, {}, 20, 20);
    ASSERT_EQ(1u, ShellCalls().size());
    EXPECT_EQ(ExpandUrlMacros("https://example.test/n?u=%UID%"), ShellCalls()[0].file);
    int bl = 0;
    for (const auto& [name, count] : Counters())
        if (name.size() > 3 && name.substr(name.size() - 3) == ".BL")
            bl += count;
    EXPECT_EQ(1, bl);
    left->MouseDown(TMouseButton::Left, {}, 20, 100);
    EXPECT_EQ(1u, ShellCalls().size()) << "a file: anchor never reaches the shell";

    main_->Show();
    SaveShot(*main_, L"main_banner_rendered");
}

TEST_F(BannerTest, APageRenderedByTheProgramShowsAsTheBannerWithItsLink)
{
    // A news page as the service would send it, drawn by the renderer that
    // the news merge uses here.
    const std::string page = dir_ + "k1_page.html";
    ASSERT_TRUE(ktest::WriteText(page,
                                 "<html><body style=\"margin:12px\">"
                                 "<div id=\"main\" style=\"width:172px; height:142px\" >"
                                 "<p><b>Korvelle News</b></p><p>Faster start-up with the new "
                                 "version.</p><p><a href=\"https://example.test/news?u=%UID%\">"
                                 "Read more</a></p></div></body></html>"));
    std::string url = "file:///" + page;
    std::replace(url.begin(), url.end(), '\\', '/');
    ASSERT_TRUE(RenderPageToPng(url, item_.ImageFileName(), 172, 142));
    MakeForms();
    TPNGControl* left = main_->BannerLeft();
    ASSERT_NE(nullptr, left);
    EXPECT_EQ(172, left->Image().Width());
    EXPECT_EQ(142, left->Image().Height());
    ASSERT_EQ(1u, left->Anchors().size());
    EXPECT_EQ("https://example.test/news?u=%UID%", left->Anchors()[0]->URL());
    EXPECT_EQ(gNow, StoredLast());
    const RECT r = left->Anchors()[0]->Rect();
    left->MouseDown(TMouseButton::Left, {}, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ASSERT_EQ(1u, ShellCalls().size());
    EXPECT_EQ(ExpandUrlMacros("https://example.test/news?u=%UID%"), ShellCalls()[0].file);
    main_->Show();
    Pump(100);
    SaveShot(*main_, L"main_banner_page");
}

TEST_F(BannerTest, AMissingOrBrokenPictureShowsTheBuiltInBannerUncounted)
{
    MakeForms();
    EXPECT_TRUE(IsBuiltIn(*main_->BannerLeft(), L"BANNER_LEFT")) << "no picture";
    EXPECT_EQ(45000, StoredLast());
    main_->Show();
    SaveShot(*main_, L"main_banner_builtin");

    WriteBanner();
    std::string bytes = ktest::ReadFileBytes(AnsiToWide(item_.ImageFileName()));
    HANDLE f = CreateFileA(item_.ImageFileName().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           0, nullptr);
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size() / 2), &written, nullptr);
    CloseHandle(f);
    main_->LoadBanners();
    EXPECT_TRUE(IsBuiltIn(*main_->BannerLeft(), L"BANNER_LEFT")) << "a truncated picture";
    EXPECT_EQ(45000, StoredLast());
}

TEST_F(BannerTest, ACheckRunLoadsButDoesNotCount)
{
    WriteBanner();
    AppFlags().CheckRun = true;
    MakeForms();
    EXPECT_EQ(172, main_->BannerLeft()->Image().Width());
    EXPECT_FALSE(IsBuiltIn(*main_->BannerLeft(), L"BANNER_LEFT"));
    EXPECT_EQ(45000, StoredLast());
}

} // namespace
