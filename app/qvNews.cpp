#include "app/qvNews.h"

#include "app/qvFramelessIE.h"

#include "controls/KvForms.h"
#include "controls/PNGControl.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/ThreadU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <objbase.h>

#include <algorithm>
#include <mutex>

namespace {

constexpr const char* kCategoryNames[] = {"", "ads", "uninst", "leftbanner", "bottombanner"};

constexpr const char* kRelatedNames[kNewsRelatedCount] = {
    "", "mostrel", "mostrelpaid", "trevassi", "trevassipaid", "brasvel",
    "brasvelpaid", "corvale", "fennick", "wendrow", "gastrel"};

// The program file whose presence under the 32-bit Program Files folder sets
// a related flag; rows without one are never set by a file.
constexpr const char* kRelatedFiles[kNewsRelatedCount] = {
    nullptr, nullptr, nullptr, "Trevassi\\Trevassi.exe", nullptr, "Brasvel\\Brasvel.exe",
    nullptr, "Corvale\\CorvaleClient.exe", "Fennick\\AppFennick.exe", "Wendrow\\Wendrow.exe",
    "Gastrel\\GastrelApp.exe"};

// Defaults of a reply entry; the stored defaults differ (-1 and 0).
constexpr int32_t kReplyVersionDefault = 1;
constexpr int32_t kReplyPriorityDefault = 1010;

std::mutex& RendererLock()
{
    static std::mutex lock;
    return lock;
}
TNewsPageRenderer& RendererSlot()
{
    static TNewsPageRenderer renderer;
    return renderer;
}
std::function<void()>& ReloadSlot()
{
    static std::function<void()> reload;
    return reload;
}

bool RenderPage(const std::string& Url, const std::string& FileName, int Width, int Height)
{
    TNewsPageRenderer renderer;
    {
        std::lock_guard<std::mutex> hold(RendererLock());
        renderer = RendererSlot();
    }
    if (renderer)
        return renderer(Url, FileName, Width, Height);
    return RenderPageToPng(Url, FileName, Width, Height);
}

// A page that throws is a failed render of that page.
bool RenderGuarded(const std::string& Page, const std::string& FileName, int Width, int Height)
{
    bool done = false;
    Guard([&] { done = RenderPage(ExpandUrlMacros(Page), FileName, Width, Height); });
    return done;
}

int32_t ClampSide(int32_t Side)
{
    return std::clamp<int32_t>(Side, 1, kNewsMaxRenderSide);
}

std::string CurrentLanguage()
{
    return WideToAnsi(Settings()->LANGUAGE);
}

void LogNews(const std::string& Text)
{
    Log("News: " + Text, 1, 4);
}

} // namespace

int32_t NewsCategoryOf(std::string_view Name)
{
    const std::string lower = AsciiLowerCase(Name);
    for (int32_t i = 1; i < static_cast<int32_t>(std::size(kCategoryNames)); ++i)
        if (lower == kCategoryNames[i])
            return i;
    return kNewsCategoryOther;
}

int32_t NewsRelatedOf(std::string_view Name)
{
    const std::string lower = AsciiLowerCase(Name);
    for (int32_t i = 1; i < kNewsRelatedCount; ++i)
        if (lower == kRelatedNames[i])
            return i;
    return 0;
}

bool IsValidNewsKey(std::string_view Key)
{
    if (Key.empty() || Key.size() > 64 || Key.find("..") != std::string_view::npos)
        return false;
    return std::all_of(Key.begin(), Key.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-';
    });
}

std::string NewsKeyPath()
{
    return ProgramKey() + "\\News";
}

// ---------------------------------------------------------------------------
// TNewsItem

int32_t TNewsItem::PriorityClass() const
{
    return std::max<int32_t>(1, Priority / 1000);
}

std::string TNewsItem::KeyPath() const
{
    return NewsKeyPath() + "\\" + Key;
}

std::string TNewsItem::ImageFileName() const
{
    return NewsDir() + Key + ".png";
}

std::string TNewsItem::OverImageFileName() const
{
    return NewsDir() + Key + "_over.png";
}

void TNewsItem::Read()
{
    TProgramKeyView view;
    const std::string path = KeyPath();
    auto integer = [&](const char* name, int32_t def) {
        DWORD type = 0;
        return RegGetValueType(HKEY_LOCAL_MACHINE, path, name, type) && type == REG_DWORD
                   ? RegReadInteger(HKEY_LOCAL_MACHINE, path, name)
                   : def;
    };
    auto text = [&](const char* name) {
        std::string value;
        RegReadString(HKEY_LOCAL_MACHINE, path, name, value);
        return value;
    };
    Category = integer("Category", 0);
    if (Category < 0 || Category > kNewsCategoryBottomBanner)
        Category = 0;
    Version = integer("Version", -1);
    Priority = integer("Priority", 0);
    Lng = text("Lng");
    Width = integer("Width", 0);
    Height = integer("Height", 0);
    Last = RegReadDateTime(HKEY_LOCAL_MACHINE, path, "Last");
    Postpone = RegReadDateTime(HKEY_LOCAL_MACHINE, path, "Postpone");
    DefaultURL = text("DefaultURL");
    OverURL = text("OverURL");
    Related = integer("Related", 0);
    if (Related < 0 || Related >= kNewsRelatedCount)
        Related = 0;
}

bool TNewsItem::Write() const
{
    TProgramKeyView view;
    const std::string path = KeyPath();
    const HKEY lm = HKEY_LOCAL_MACHINE;
    bool ok = RegWriteInteger(lm, path, "Category", Category);
    ok = RegWriteInteger(lm, path, "Version", Version) && ok;
    ok = RegWriteInteger(lm, path, "Priority", Priority) && ok;
    ok = RegWriteString(lm, path, "Lng", Lng) && ok;
    ok = RegWriteInteger(lm, path, "Width", Width) && ok;
    ok = RegWriteInteger(lm, path, "Height", Height) && ok;
    ok = RegWriteDateTime(lm, path, "Last", Last) && ok;
    ok = RegWriteString(lm, path, "DefaultURL", DefaultURL) && ok;
    ok = RegWriteString(lm, path, "OverURL", OverURL) && ok;
    ok = RegWriteInteger(lm, path, "Related", Related) && ok;
    if (!ok)
        LogNews("the item " + Key + " was not stored whole");
    return ok;
}

void TNewsItem::MarkShown()
{
    Last = Now();
    TProgramKeyView view;
    RegWriteDateTime(HKEY_LOCAL_MACHINE, KeyPath(), "Last", Last);
}

void TNewsItem::Delete()
{
    // The key is checked again here: this removes a registry tree and files.
    if (!IsValidNewsKey(Key))
        return;
    {
        TProgramKeyView view;
        RegRemoveKeyTree(HKEY_LOCAL_MACHINE, KeyPath(), true);
    }
    for (const std::string& file : {ImageFileName(), OverImageFileName()})
        if (FileExistsEx(file))
            DeleteFileForced(file);
}

// ---------------------------------------------------------------------------
// TNewsList

TNewsList::TNewsList()
{
    related_[2] = true;
    const std::string programFiles = ProgramFiles32Dir();
    if (!programFiles.empty())
        for (int32_t i = 0; i < kNewsRelatedCount; ++i)
            if (kRelatedFiles[i])
                related_[i] = FileExistsEx(programFiles + kRelatedFiles[i]);
    if (!NewsDir().empty())
        CreateDirectoryPath(NewsDir(), TFileSecurity::Inherit, true);
}

TNewsList::~TNewsList() = default;

bool TNewsList::RelatedFlag(int32_t Index) const
{
    return Index >= 0 && Index < kNewsRelatedCount && related_[Index];
}

void TNewsList::ReadKeys(bool OnlyShowable)
{
    items_.clear();
    std::string names;
    {
        TProgramKeyView view;
        if (!RegGetSubKeyNames(HKEY_LOCAL_MACHINE, NewsKeyPath(), names))
            return;
    }
    const TDateTime now = Now();
    for (const std::string& raw : RegSplitNames(names)) {
        const std::string key = Trim(raw);
        if (key.empty())
            continue;
        if (!IsValidNewsKey(key)) {
            LogNews("skipped the stored key \"" + key + "\"");
            continue;
        }
        auto item = std::make_unique<TNewsItem>(key);
        item->Read();
        if (OnlyShowable && (item->Postpone > now || !FileExistsEx(item->ImageFileName())))
            continue;
        items_.push_back(std::move(item));
    }
}

void TNewsList::Load()
{
    ReadKeys(true);
}

void TNewsList::LoadAll()
{
    ReadKeys(false);
}

std::vector<TNewsItem*> TNewsList::Select(uint32_t Categories) const
{
    std::vector<TNewsItem*> result;
    const TDateTime now = Now();
    for (const auto& owned : items_) {
        TNewsItem* item = owned.get();
        if (item->Category < 0 || item->Category > 31 || !(Categories & (1u << item->Category)))
            continue;
        if (RelatedFlag(item->Related) || item->Postpone > now)
            continue;
        auto at = std::find_if(result.begin(), result.end(), [&](const TNewsItem* other) {
            return other->Last > item->Last ||
                   (other->Last == item->Last && other->PriorityClass() > item->PriorityClass());
        });
        result.insert(at, item);
    }
    return result;
}

TNewsItem* TNewsList::SelectFirst(uint32_t Categories) const
{
    const std::vector<TNewsItem*> selected = Select(Categories);
    return selected.empty() ? nullptr : selected.front();
}

TNewsItem* TNewsList::FindByKey(std::string_view Key) const
{
    for (const auto& item : items_)
        if (SameTextAscii(item->Key, Key))
            return item.get();
    return nullptr;
}

// ---------------------------------------------------------------------------
// Merge and render

TNewsPageRenderer SetNewsPageRendererForTests(TNewsPageRenderer Renderer)
{
    std::lock_guard<std::mutex> hold(RendererLock());
    TNewsPageRenderer old = std::move(RendererSlot());
    RendererSlot() = std::move(Renderer);
    return old;
}

void SetNewsBannerReload(std::function<void()> Reload)
{
    ReloadSlot() = std::move(Reload);
}

void MergeNewsList(const TXMLTag* Element)
{
    if (!Element)
        return;
    TNewsList list;
    list.LoadAll();
    for (auto& item : list.Items())
        item->DeleteMark = true;

    const std::string lng = CurrentLanguage();
    for (const auto& child : Element->Children()) {
        if (!SameTextAscii(child->Name, "News"))
            continue;
        const TXMLTag* entry = child.get();
        auto attr = [&](const char* name) { return TXMLTag::GetAttribute(entry, name); };
        const std::string key = Trim(attr("key"));
        if (!IsValidNewsKey(key)) {
            LogNews("skipped the reply's key \"" + key + "\"");
            continue;
        }
        const int32_t version = StrToIntDef(Trim(attr("version")), kReplyVersionDefault);
        TNewsItem* item = list.FindByKey(key);
        if (item) {
            item->DeleteMark = false;
            if (version != item->Version || item->Lng != lng) {
                item->Version = version;
                item->NeedsRender = true;
            }
        } else {
            auto added = std::make_unique<TNewsItem>(key);
            added->Version = version;
            added->NeedsRender = true;
            item = added.get();
            list.Items().push_back(std::move(added));
        }
        item->Category = NewsCategoryOf(Trim(attr("category")));
        const int32_t priority = StrToIntDef(Trim(attr("priority")), kReplyPriorityDefault);
        if (priority != item->Priority)
            item->Last = 0;
        item->Priority = priority;
        item->Lng = lng;
        item->Width = StrToIntDef(Trim(attr("width")), 0);
        item->Height = StrToIntDef(Trim(attr("height")), 0);
        item->DefaultURL = Trim(attr("defaulturl"));
        item->OverURL = Trim(attr("overurl"));
        item->DefaultPage = Trim(attr("defaultpage"));
        item->OverPage = Trim(attr("overpage"));
        item->Related = NewsRelatedOf(Trim(attr("related")));
        item->Write();
        if (!item->NeedsRender &&
            (!FileExistsEx(item->ImageFileName()) ||
             (!item->OverPage.empty() && !FileExistsEx(item->OverImageFileName()))))
            item->NeedsRender = true;
        if (item->NeedsRender)
            item->RenderAttempts = 0;
    }

    auto& items = list.Items();
    for (auto it = items.begin(); it != items.end();) {
        if ((*it)->DeleteMark) {
            (*it)->Delete();
            it = items.erase(it);
        } else {
            ++it;
        }
    }

    const bool render = std::any_of(items.begin(), items.end(),
                                    [](const auto& item) { return item->NeedsRender; });
    if (render && TDispatcher::Call([&list] { RenderNewsPages(list); }) != TCallResult::Ran)
        LogNews("the pages were not rendered (no GUI thread)");
}

void RenderNewsPages(TNewsList& List)
{
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool again = true;
    while (again) {
        again = false;
        for (auto& owned : List.Items()) {
            TNewsItem& item = *owned;
            if (!item.NeedsRender)
                continue;
            if (item.RenderAttempts >= kNewsMaxRenderAttempts) {
                item.NeedsRender = false;
                continue;
            }
            ++item.RenderAttempts;
            const int width = ClampSide(item.Width);
            const int height = ClampSide(item.Height);
            bool done = RenderGuarded(item.DefaultPage, item.ImageFileName(), width, height);
            if (!item.OverPage.empty() &&
                !RenderGuarded(item.OverPage, item.OverImageFileName(), width, height))
                done = false;
            if (done) {
                item.NeedsRender = false;
            } else {
                LogNews("the pages of " + item.Key + " did not render (attempt " +
                        std::to_string(item.RenderAttempts) + ")");
                again = true;
            }
        }
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    if (const std::function<void()>& reload = ReloadSlot())
        Guard(reload);
}

// ---------------------------------------------------------------------------
// The news window

int ShowNewsItem(TNewsItem& Item, POINT Position)
{
    if (!FileExistsEx(Item.ImageFileName()))
        return mrNone;
    TForm form;
    form.SetBorderStyle(TBorderStyle::Dialog);
    form.SetCaption(kProductNameW);
    auto* png = new TPNGControl(&form);
    png->SetParent(&form);
    if (!png->LoadFromFile(AnsiToWide(Item.ImageFileName()))) {
        LogNews("the picture of " + Item.Key + " did not load");
        return mrNone;
    }
    const int width = png->Image().Width();
    const int height = png->Image().Height();
    png->SetBounds(0, 0, width, height);
    form.SetBounds(Position.x, Position.y, width, height);
    form.SetClientSize(width, height);

    bool anchorClicked = false;
    png->OnAnchorClick = [&](TPNGControl&, TAnchor& anchor) {
        anchorClicked = true;
        if (AsciiUpperCase(anchor.URL()) == "%CLOSE%") {
            form.SetModalResult(mrCancel);
            return;
        }
        OpenUrl(ExpandUrlMacros(anchor.URL()));
        form.SetModalResult(mrOk);
    };
    png->OnClick = [&](TComponent&) {
        // The press on an anchor came first and decided already.
        if (anchorClicked)
            return;
        if (!Item.DefaultURL.empty())
            OpenUrl(ExpandUrlMacros(Item.DefaultURL));
        form.SetModalResult(mrOk);
    };
    Item.MarkShown();
    return form.ShowModal();
}
