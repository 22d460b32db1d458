// The image store: both lists in the store's order with their own indexes,
// the frame margins, and the rules the art keeps.

#include "app/frmAllImages.h"

#include "platform/LogU.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

const std::vector<std::wstring> kFirstNames = {
    L"LOGO_XP", L"LOGO_AERO", L"TAB", L"TAB_INACTIVE", L"TAB_INACTIVE_HOT", L"STEPS_BG", L"STEP",
    L"STEP_CURRENT", L"STEP_INACTIVE", L"WELCOME_ICO", L"HEADER_LINE", L"BG_BOTTOM", L"BG_TOP", L"BUTTON1",
    L"BUTTON1_HOT", L"BUTTON1_DOWN", L"BUTTON1_INACTIVE", L"BUTTON1_LEFT", L"BUTTON1_RIGHT",
    L"BANNER_ACTIVATE", L"BANNER_SEPARATOR", L"BUTTON2", L"BUTTON2_HOT", L"BUTTON2_DOWN",
    L"BUTTON2_INACTIVE", L"BUTTON_SCAN", L"BUTTON_SCAN_HOT", L"BUTTON_SCAN_DOWN", L"SETTINGS_ICO",
    L"RECT_BORDER", L"PROGRESS_ICO", L"PROGRESS_ICO1", L"PROGRESS_ICO2", L"PROGRESS_ICO3",
    L"PROGRESS_SEPARATOR", L"RESULTS_ICO", L"RESULTS_TABLE_ICO", L"RESULTS_TABLE_ICO2", L"RESULTS_TABLE",
    L"REPAIR_ICO", L"SPEEDUP_ICO", L"FINISH_ICO", L"REVIEW_ICO", L"RESCUE_ICO", L"ACTIVATE_ICO", L"HELP_ICO",
    L"ABOUT_ICO", L"SUPPORT_ACTIVE", L"SUPPORT_HOT", L"SUPPORT_RESCUE", L"SUPPORT_ACTIVATE",
    L"SUPPORT_SETTINGS", L"SUPPORT_HELP", L"SUPPORT_ABOUT", L"UPDATE", L"ACTIVATE_ICO1", L"ACTIVATE_ICO2",
    L"ACTIVATE_ICO3", L"CLOSE", L"CLOSE_HOT", L"CLOSE_DOWN", L"BORDER_BG", L"MINIMIZE", L"MINIMIZE_HOT",
    L"MINIMIZE_DOWN", L"REPAIR_DONE", L"ACTIVATE_ICO4", L"FINISHFREE_ICO", L"RED_BORDER", L"LOGO_XP_TEXT",
    L"LOGO_AERO_TEXT", L"BUTTON_CONTINUE", L"BUTTON_CONTINUE_HOT", L"BUTTON_CONTINUE_DOWN", L"SHADOW",
    L"PHONE_XP", L"PHONE_AERO"};

const std::vector<std::wstring> kSecondNames = {
    L"BG", L"LOGO", L"TABLE", L"CLOSE", L"CLOSE_HOT", L"CLOSE_DOWN", L"LOGO_AERO", L"DOT", L"LINE",
    L"CERTIFICATE", L"CERTIFICATE_JA", L"CERTIFICATE_PT", L"CERTIFICATE_FR", L"CERTIFICATE_ES"};

struct TMargins {
    int l, t, r, b;
};

// The frames of both lists and their margins L, T, R, B.
const std::map<std::wstring, TMargins> kFrames = {
    {L"BUTTON1", {5, 16, 6, 16}},          {L"BUTTON1_HOT", {5, 16, 6, 16}},
    {L"BUTTON1_DOWN", {5, 16, 6, 16}},     {L"BUTTON1_INACTIVE", {5, 16, 6, 16}},
    {L"BUTTON2", {5, 12, 6, 12}},          {L"BUTTON2_HOT", {5, 12, 6, 12}},
    {L"BUTTON2_DOWN", {5, 12, 6, 12}},     {L"BUTTON2_INACTIVE", {5, 11, 6, 12}},
    {L"TAB", {10, 10, 11, 10}},            {L"TAB_INACTIVE", {10, 10, 11, 10}},
    {L"TAB_INACTIVE_HOT", {10, 10, 11, 10}}, {L"STEPS_BG", {16, 0, 17, 1}},
    {L"BUTTON_SCAN", {30, 27, 31, 27}},    {L"BUTTON_SCAN_HOT", {30, 27, 31, 27}},
    {L"BUTTON_SCAN_DOWN", {30, 27, 31, 27}}, {L"RECT_BORDER", {6, 6, 7, 7}},
    {L"RESULTS_TABLE", {109, 79, 110, 80}}, {L"SUPPORT_ACTIVE", {6, 15, 7, 15}},
    {L"SUPPORT_HOT", {6, 15, 7, 15}},      {L"RED_BORDER", {6, 12, 7, 12}},
    {L"BUTTON_CONTINUE", {5, 18, 6, 18}},  {L"BUTTON_CONTINUE_HOT", {5, 18, 6, 18}},
    {L"BUTTON_CONTINUE_DOWN", {5, 18, 6, 18}}, {L"BG", {3, 139, 4, 140}},
    {L"TABLE", {65, 28, 66, 28}},
};

std::string Narrow(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

const TPNGPicture* PngOf(TSkinBitmapImage& item)
{
    return dynamic_cast<const TPNGPicture*>(item.Picture().Graphic());
}

// What the store logged while loading: a picture that did not load says why.
std::string gStoreLog;

void KeepStoreLog(std::string_view text, uint8_t, uint8_t)
{
    gStoreLog.append(text).append("\n");
}

class ImageStore : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        TLogSink before = SetLogSink(1, &KeepStoreLog);
        store_ = new TImageData();
        SetLogSink(1, before);
    }
    static void TearDownTestSuite()
    {
        delete store_;
        store_ = nullptr;
    }
    static TImageData* store_;

    // Every item of both lists with the name of its list.
    std::vector<std::pair<std::string, TSkinBitmapImage*>> AllItems()
    {
        std::vector<std::pair<std::string, TSkinBitmapImage*>> items;
        for (TSkinBitmapList* list : {store_->ImageList(), store_->ImageListWarning()})
            for (int i = 0; i < list->Images().Count(); ++i)
                items.emplace_back(Narrow(list->Name()) + "." + Narrow(list->Images()[i].Name()),
                                   &list->Images()[i]);
        return items;
    }
};

TImageData* ImageStore::store_ = nullptr;

} // namespace

TEST_F(ImageStore, BothListsHoldTheirNamesInStoreOrder)
{
    ASSERT_EQ(TImageData::Instance(), store_);
    ASSERT_EQ(store_->Find<TSkinBitmapList>(L"ImageList"), store_->ImageList());
    ASSERT_EQ(store_->Find<TSkinBitmapList>(L"ImageListWarning"), store_->ImageListWarning());
    for (auto [list, names] : {std::pair{store_->ImageList(), &kFirstNames},
                               std::pair{store_->ImageListWarning(), &kSecondNames}}) {
        SCOPED_TRACE(Narrow(list->Name()));
        ASSERT_EQ(list->Images().Count(), static_cast<int>(names->size()));
        for (int i = 0; i < list->Images().Count(); ++i)
            EXPECT_EQ(list->Images()[i].Name(), (*names)[i]) << "item " << i;
    }
}

TEST_F(ImageStore, EachListFindsByItsOwnIndex)
{
    TSkinBitmapList fresh;
    fresh.Images().Add().SetName(L"X");
    EXPECT_EQ(fresh.FindImage(L""), nullptr);
    EXPECT_FALSE(fresh.IndexValid()) << "an empty name builds no index";

    TSkinBitmapList* first = store_->ImageList();
    TSkinBitmapList* second = store_->ImageListWarning();
    EXPECT_EQ(first->FindImage(L""), nullptr);
    TSkinBitmapImage* hot = first->FindImage(L"close_hot");
    ASSERT_NE(hot, nullptr);
    EXPECT_EQ(hot->Name(), L"CLOSE_HOT");
    EXPECT_EQ(hot->Index(), 59);
    for (const wchar_t* shared : {L"CLOSE", L"CLOSE_HOT", L"CLOSE_DOWN", L"LOGO_AERO"}) {
        SCOPED_TRACE(Narrow(shared));
        TSkinBitmapImage* a = first->FindImage(shared);
        TSkinBitmapImage* b = second->FindImage(shared);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_NE(a, b);
    }
    // The warning window's close button is its own picture, not the main window's.
    const TPNGPicture* mainClose = PngOf(*first->FindImage(L"CLOSE"));
    const TPNGPicture* warningClose = PngOf(*second->FindImage(L"CLOSE"));
    ASSERT_TRUE(mainClose && warningClose);
    EXPECT_NE(std::string(reinterpret_cast<const char*>(mainClose->Pixels()), 4 * mainClose->Width() * mainClose->Height()),
              std::string(reinterpret_cast<const char*>(warningClose->Pixels()), 4 * warningClose->Width() * warningClose->Height()));
    EXPECT_EQ(first->FindImage(L"CERTIFICATE"), nullptr);
    EXPECT_EQ(second->FindImage(L"BUTTON1"), nullptr);
}

TEST_F(ImageStore, FramesHaveTheirMarginsAndEverythingElseIsPlain)
{
    int frames = 0;
    for (auto& [name, item] : AllItems()) {
        SCOPED_TRACE(name);
        auto frame = kFrames.find(item->Name());
        EXPECT_FALSE(item->AlphaPremultiply()) << "a PNG is premultiplied once, when drawn";
        if (frame == kFrames.end()) {
            EXPECT_EQ(item->StrectchStyle(), assNormal);
            EXPECT_TRUE(item->ClientRect().Empty());
            continue;
        }
        ++frames;
        EXPECT_EQ(item->StrectchStyle(), assFrame);
        const TMargins& m = frame->second;
        EXPECT_EQ(item->ClientRect().Left(), m.l);
        EXPECT_EQ(item->ClientRect().Top(), m.t);
        EXPECT_EQ(item->ClientRect().Right(), m.r);
        EXPECT_EQ(item->ClientRect().Bottom(), m.b);
        // Each part of the nine-patch has pixels to stretch.
        EXPECT_GT(item->Width(), m.l + m.r);
        EXPECT_GT(item->Height(), m.t + m.b);
    }
    EXPECT_EQ(frames, 25);
}

TEST_F(ImageStore, EveryPictureLoadsWithSoftEdgesAndWithoutTheGlassKey)
{
    EXPECT_EQ(store_->MissingCount(), 0) << gStoreLog;
    for (auto& [name, item] : AllItems()) {
        SCOPED_TRACE(name);
        const TPNGPicture* png = PngOf(*item);
        ASSERT_NE(png, nullptr) << "not loaded";
        ASSERT_FALSE(png->Empty());
        ASSERT_TRUE(png->HasAlpha());
        int soft = 0, keyed = 0;
        const uint8_t* p = png->Pixels();
        for (int i = 0; i < png->Width() * png->Height(); ++i, p += 4) {
            if (p[3] > 0 && p[3] < 255)
                ++soft;
            // The glass key $00DCDBDA: blue DC, green DB, red DA.
            if (p[3] > 0 && p[0] == 0xDC && p[1] == 0xDB && p[2] == 0xDA)
                ++keyed;
        }
        EXPECT_GT(soft, 0) << "no anti-aliased edge";
        EXPECT_EQ(keyed, 0) << "pixels of the glass key colour";
    }
    EXPECT_GE(store_->ImageListWarning()->FindImage(L"BG")->Height(), 280);
    TSkinBitmapImage* table = store_->ImageList()->FindImage(L"RESULTS_TABLE");
    EXPECT_GE(table->Width(), 220);
    EXPECT_GE(table->Height(), 160);
}

TEST_F(ImageStore, ButtonStatesLookDifferent)
{
    // Mean difference per channel of the premultiplied pixels, 0 to 255.
    auto distance = [](const TPNGPicture& a, const TPNGPicture& b) {
        long long sum = 0;
        const uint8_t* p = a.Pixels();
        const uint8_t* q = b.Pixels();
        const int n = a.Width() * a.Height();
        for (int i = 0; i < n; ++i, p += 4, q += 4)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(p[c] * p[3] / 255 - q[c] * q[3] / 255);
        return static_cast<double>(sum) / (3.0 * n);
    };
    const std::vector<std::vector<const wchar_t*>> families = {
        {L"BUTTON1", L"BUTTON1_HOT", L"BUTTON1_DOWN", L"BUTTON1_INACTIVE"},
        {L"BUTTON2", L"BUTTON2_HOT", L"BUTTON2_DOWN", L"BUTTON2_INACTIVE"},
        {L"BUTTON_SCAN", L"BUTTON_SCAN_HOT", L"BUTTON_SCAN_DOWN"},
        {L"BUTTON_CONTINUE", L"BUTTON_CONTINUE_HOT", L"BUTTON_CONTINUE_DOWN"},
        {L"TAB", L"TAB_INACTIVE", L"TAB_INACTIVE_HOT"},
        {L"SUPPORT_ACTIVE", L"SUPPORT_HOT"},
        {L"CLOSE", L"CLOSE_HOT", L"CLOSE_DOWN"},
        {L"MINIMIZE", L"MINIMIZE_HOT", L"MINIMIZE_DOWN"},
        {L"STEP", L"STEP_CURRENT", L"STEP_INACTIVE"},
    };
    for (TSkinBitmapList* list : {store_->ImageList(), store_->ImageListWarning()}) {
        for (const auto& family : families) {
            for (size_t i = 0; i < family.size(); ++i)
                for (size_t j = i + 1; j < family.size(); ++j) {
                    TSkinBitmapImage* a = list->FindImage(family[i]);
                    TSkinBitmapImage* b = list->FindImage(family[j]);
                    if (!a || !b)
                        continue; // the warning list has only the close family
                    SCOPED_TRACE(Narrow(list->Name()) + ": " + Narrow(family[i]) + " / " + Narrow(family[j]));
                    const TPNGPicture* pa = PngOf(*a);
                    const TPNGPicture* pb = PngOf(*b);
                    ASSERT_TRUE(pa && pb);
                    ASSERT_EQ(pa->Width(), pb->Width());
                    ASSERT_EQ(pa->Height(), pb->Height());
                    EXPECT_GT(distance(*pa, *pb), 8.0);
                }
        }
    }
}
