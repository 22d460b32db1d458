#pragma once
// News and advertising items of the web service: kept under HKLM of the
// program key in "News\<key>" (32-bit view), one value per field, with the
// pictures of their pages in the news folder; chosen for the banners by
// category, related product, postponement, the time they were last shown and
// priority; refreshed by the daily check's reply; shown one at a time in a
// modal news window.
//
// An item's key names both a registry key and two files, and comes from the
// server: only keys of [A-Za-z0-9_.-], 1 to 64 characters and without "..",
// are ever used; other subkeys and reply entries are skipped.

#include "platform/ClassesU.h"
#include "platform/DateTimeU.h"
#include "platform/XmlU.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Category numbers and their selection bits (1 shl Category).
inline constexpr int32_t kNewsCategoryOther = 0;
inline constexpr int32_t kNewsCategoryAds = 1;
inline constexpr int32_t kNewsCategoryUninst = 2;
inline constexpr int32_t kNewsCategoryLeftBanner = 3;
inline constexpr int32_t kNewsCategoryBottomBanner = 4;
inline constexpr uint32_t kNewsLeftBanners = 1u << kNewsCategoryLeftBanner;     // 8
inline constexpr uint32_t kNewsBottomBanners = 1u << kNewsCategoryBottomBanner; // 16

inline constexpr int32_t kNewsRelatedCount = 11;
inline constexpr int32_t kNewsMaxRenderAttempts = 3;
// What a page is rendered at, whatever the server asks.
inline constexpr int32_t kNewsMaxRenderSide = 2000;

// The server's category name (ignoring case) as its number; 0 when unknown.
int32_t NewsCategoryOf(std::string_view Name);
// The server's related-product name (ignoring case) as its index; 0 when unknown.
int32_t NewsRelatedOf(std::string_view Name);
// The key rule above.
bool IsValidNewsKey(std::string_view Key);
// The registry path of the news items below HKLM: ProgramKey() + "\News".
std::string NewsKeyPath();

class TNewsItem : public TObject {
public:
    explicit TNewsItem(std::string Key = {}) : Key(std::move(Key)) {}

    // Stored
    std::string Key;
    int32_t Category = 0;
    int32_t Version = -1;
    int32_t Priority = 0;
    std::string Lng;
    int32_t Width = 0;
    int32_t Height = 0;
    TDateTime Last = 0;
    TDateTime Postpone = 0; // read only: this program never writes it
    std::string DefaultURL;
    std::string OverURL; // stored only
    int32_t Related = 0;
    // In memory only
    std::string DefaultPage;
    std::string OverPage;
    bool DeleteMark = false;
    bool NeedsRender = false;
    int32_t RenderAttempts = 0;

    // Priority div 1000, at least 1.
    int32_t PriorityClass() const;
    // HKLM path of the item's key.
    std::string KeyPath() const;
    // NewsDir() + Key + ".png" and + "_over.png".
    std::string ImageFileName() const;
    std::string OverImageFileName() const;

    // Missing values keep the defaults; Category outside 0-4 and Related
    // outside 0-10 read as 0.
    void Read();
    // Category, Version, Priority, Lng, Width, Height, Last, DefaultURL,
    // OverURL, Related. False when a value was not written.
    bool Write() const;
    // Last := now, written at once.
    void MarkShown();
    // Removes the registry key and both pictures.
    void Delete();
};

class TNewsList : public TObject {
public:
    // Computes the related flags and creates the news folder.
    TNewsList();
    ~TNewsList() override;

    // Clears the list, then reads every valid subkey; an item joins when its
    // Postpone time is not later than now and its default picture exists.
    void Load();
    // Every valid subkey, whatever its state (the merge deletes unlisted ones).
    void LoadAll();
    // The items that may be shown for the category bit set, in display order:
    // Last ascending, then priority class ascending, then list order.
    std::vector<TNewsItem*> Select(uint32_t Categories) const;
    TNewsItem* SelectFirst(uint32_t Categories) const;
    // Case ignored.
    TNewsItem* FindByKey(std::string_view Key) const;

    std::vector<std::unique_ptr<TNewsItem>>& Items() { return items_; }
    const std::vector<std::unique_ptr<TNewsItem>>& Items() const { return items_; }
    bool RelatedFlag(int32_t Index) const;

private:
    void ReadKeys(bool OnlyShowable);
    std::array<bool, kNewsRelatedCount> related_{};
    std::vector<std::unique_ptr<TNewsItem>> items_;
};

// Renders the page at Url into the PNG FileName at Width x Height; the off-
// screen page renderer unless a test replaced it. Runs on the GUI thread.
using TNewsPageRenderer =
    std::function<bool(const std::string& Url, const std::string& FileName, int Width, int Height)>;
// Tests only: an empty renderer restores the real one. Returns the previous.
TNewsPageRenderer SetNewsPageRendererForTests(TNewsPageRenderer Renderer);
// What runs after a render when a main window exists (its banner reload);
// the main window sets it while it lives.
void SetNewsBannerReload(std::function<void()> Reload);

// The daily check's "NewsList" element: updates, adds and deletes items and
// renders what needs it on the GUI thread (blocking until done). Null does
// nothing.
void MergeNewsList(const TXMLTag* Element);
// Renders every item that needs it (COM initialised around it); at most 3
// attempts per item; then the banner reload.
void RenderNewsPages(TNewsList& List);

// The modal news window for the item at Position (screen). mrOK or mrCancel
// as the window closed; 0 when the default picture is missing or does not load.
int ShowNewsItem(TNewsItem& Item, POINT Position);
