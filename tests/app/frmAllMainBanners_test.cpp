// The main window's banners: a news item's picture when it loads (and then
// counted as shown), the built-in picture otherwise, no count in a check
// run, and an anchor press that is counted and opened through the shell.

#include "app/frmAllImages.h"
#include "app/frmAllMain.h"
#include "app/qvNews.h"
#include "KorvTest.h"
#include "controls/PNGControl.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"
#include "platform/qvTrack.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

TDateTime gNow = 46000.5;
TDateTime FakeNow()
{
    return gNow;
}

std::string Narrow(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

// The window as it paints, for people to look at.
bool SaveShot(TWinControl& control, const std::wstring& name)
{
    TBitmap bitmap(control.Width(), control.Height(), TPixelFormat::pf24bit);
    if (bitmap.Empty())
        return false;
    control.PaintTo(bitmap.Canvas().Handle(), 0, 0);
    TPNGPicture png;
    return png.Assign(bitmap) && png.SaveToFile(WideToAnsi(ktest::EvidenceDir() + name));
}

std::vector<std::string> gShell;
HINSTANCE WINAPI RecordShell(HWND, LPCSTR, LPCSTR file, LPCSTR, LPCSTR, INT)
{
    gShell.push_back(file ? file : "");
    return reinterpret_cast<HINSTANCE>(33);
}

class BannerTest : public ktest::ScratchKeyTest {
protected:
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        ScratchKeyTest::SetUp();
        ASSERT_NE(nullptr, HklmTwin(KEY_WOW64_32KEY));
        SetProgramKeyForTests(Narrow(ScratchPath()));
        TSettings settings;
        settings.LANGUAGE = L"en";
        settings.TRACK_USER = true;
        SetSettings(settings);
        CreateUserTrack(HKEY_CURRENT_USER, Narrow(ScratchPath()), "TRACK");
        root_ = L"C:\\ktest-scratch\\" + ktest::InstanceName() + L".banners." +
                std::to_wstring(GetCurrentProcessId()) + L"\\";
        ktest::RemoveTree(root_);
        CreateDirectoryW(L"C:\\ktest-scratch", nullptr);
        CreateDirectoryW(root_.c_str(), nullptr);
        TProgramFolders folders = ComputeProgramFolders();
        folders.NewsDir = Narrow(root_) + "News\\";
        SetProgramFoldersForTests(folders);
        CreateDirectoryA(folders.NewsDir.c_str(), nullptr);
        gNow = 46000.5;
        oldClock_ = SetClock(&FakeNow);
        gShell.clear();
        oldShell_ = SetShellExecuteCall(&RecordShell);
        if (!TImageData::Instance())
            store_ = std::make_unique<TImageData>();
        item_.Key = "k1";
        item_.Category = kNewsCategoryLeftBanner;
        item_.Version = 1;
        item_.Last = 45000;
        item_.Write();
    }
    void TearDown() override
    {
        if (!oldClock_)
            return;
        form_.reset();
        SetShellExecuteCall(oldShell_);
        SetClock(oldClock_);
        ResetProgramFoldersForTests();
        SetProgramKeyForTests("");
        SetSettings(TSettings{});
        AppFlags().CheckRun = false;
        ktest::RemoveTree(root_);
        ScratchKeyTest::TearDown();
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
    std::string TrackText()
    {
        std::string text;
        RegReadString(HKEY_CURRENT_USER, Narrow(ScratchPath()), "TRACK", text);
        return text;
    }
    // The built-in picture's first pixel row, to tell it from the fixture's.
    static bool IsBuiltIn(const TPNGControl& banner, const wchar_t* name)
    {
        TPNGPicture builtIn;
        ResourceStreamLoad(builtIn, name);
        return banner.Image().Width() == builtIn.Width() &&
               banner.Image().Height() == builtIn.Height() &&
               memcmp(banner.Image().Pixels(), builtIn.Pixels(),
                      static_cast<size_t>(builtIn.Width()) * builtIn.Height() * 4) == 0;
    }
    static void ResourceStreamLoad(TPNGPicture& png, const wchar_t* name)
    {
        TPNGControl control;
        ASSERT_TRUE(control.LoadFromResourceName(GetModuleHandleW(nullptr), name));
        png.Assign(control.Image());
    }

    std::wstring root_;
    TClock oldClock_ = nullptr;
    TShellExecuteCall oldShell_ = nullptr;
    std::unique_ptr<TImageData> store_;
    std::unique_ptr<TMainForm> form_;
    TNewsItem item_;
};

TEST_F(BannerTest, ARenderedItemIsShownCountedAndItsAnchorsOpenThroughTheShell)
{
    WriteBanner();
    form_ = std::make_unique<TMainForm>();
    TPNGControl* left = form_->BannerLeft();
    ASSERT_NE(nullptr, left);
    EXPECT_EQ(172, left->Image().Width());
    EXPECT_EQ(142, left->Image().Height());
    EXPECT_EQ(2u, left->Anchors().size());
    EXPECT_EQ(gNow, StoredLast());
    EXPECT_TRUE(IsBuiltIn(*form_->BannerBottom(), L"BANNER_BOTTOM"));

    left->MouseDown(TMouseButton::Left, {}, 20, 20);
    ASSERT_EQ(1u, gShell.size());
    EXPECT_EQ(ExpandUrlMacros("https://example.test/n?u=%UID%"), gShell[0]);
    EXPECT_NE(std::string::npos, TrackText().find(".BL=1")) << TrackText();
    left->MouseDown(TMouseButton::Left, {}, 20, 100);
    EXPECT_EQ(1u, gShell.size()) << "a file: anchor never reaches the shell";

    form_->Show();
    ASSERT_TRUE(SaveShot(*form_, L"main_banner_rendered.png"));
}

TEST_F(BannerTest, AMissingOrBrokenPictureShowsTheBuiltInBannerUncounted)
{
    form_ = std::make_unique<TMainForm>();
    EXPECT_TRUE(IsBuiltIn(*form_->BannerLeft(), L"BANNER_LEFT")) << "no picture";
    EXPECT_EQ(45000, StoredLast());
    form_->Show();
    ASSERT_TRUE(SaveShot(*form_, L"main_banner_builtin.png"));

    WriteBanner();
    std::string bytes = ktest::ReadFileBytes(AnsiToWide(item_.ImageFileName()));
    HANDLE f = CreateFileA(item_.ImageFileName().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           0, nullptr);
    DWORD written = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size() / 2), &written, nullptr);
    CloseHandle(f);
    form_->LoadBanners();
    EXPECT_TRUE(IsBuiltIn(*form_->BannerLeft(), L"BANNER_LEFT")) << "a truncated picture";
    EXPECT_EQ(45000, StoredLast());
}

TEST_F(BannerTest, ACheckRunLoadsButDoesNotCount)
{
    WriteBanner();
    AppFlags().CheckRun = true;
    form_ = std::make_unique<TMainForm>();
    EXPECT_EQ(172, form_->BannerLeft()->Image().Width());
    EXPECT_FALSE(IsBuiltIn(*form_->BannerLeft(), L"BANNER_LEFT"));
    EXPECT_EQ(45000, StoredLast());
}

} // namespace
