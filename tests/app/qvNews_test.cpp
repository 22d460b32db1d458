// News items: the registry round trip, the display order and its skips, the
// merge of the daily check's reply against a renderer stand-in, and the news
// window's clicks. Everything in a scratch program key and news folder.

#include "app/qvNews.h"
#include "KorvTest.h"
#include "controls/KvForms.h"
#include "controls/PNGControl.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/ThreadU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <map>
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

// A w x h opaque picture, with anchors when given.
void WritePng(const std::string& file, int w, int h,
              const std::vector<std::pair<RECT, std::string>>& anchors = {})
{
    TPNGPicture png;
    png.SetSize(w, h, true);
    uint8_t* p = png.MutablePixels();
    for (int i = 0; i < w * h; ++i) {
        p[i * 4] = 200;
        p[i * 4 + 1] = 120;
        p[i * 4 + 2] = 40;
        p[i * 4 + 3] = 255;
    }
    png.Modified();
    for (const auto& [rect, url] : anchors)
        png.AddTextChunk("URL", TAnchor::Format(rect, url));
    ASSERT_TRUE(png.SaveToFile(file)) << file;
}

// Every value of a key: name -> type and bytes.
std::map<std::string, std::pair<DWORD, std::string>> ValuesOf(const std::string& path)
{
    std::map<std::string, std::pair<DWORD, std::string>> values;
    TProgramKeyView view;
    std::string names;
    if (!RegGetValueNames(HKEY_LOCAL_MACHINE, path, names))
        return values;
    for (const std::string& name : RegSplitNames(names)) {
        DWORD type = 0;
        RegGetValueType(HKEY_LOCAL_MACHINE, path, name, type);
        std::vector<BYTE> data;
        RegReadValue(HKEY_LOCAL_MACHINE, path, name, type, data);
        values[name] = {type, std::string(data.begin(), data.end())};
    }
    return values;
}

class NewsTest : public ktest::ScratchKeyTest {
protected:
    void SetUp() override
    {
        ScratchKeyTest::SetUp();
        ASSERT_NE(nullptr, HklmTwin(KEY_WOW64_32KEY));
        SetProgramKeyForTests(Narrow(ScratchPath()));
        TSettings settings;
        settings.LANGUAGE = L"en";
        SetSettings(settings);
        root_ = L"C:\\ktest-scratch\\" + ktest::InstanceName() + L".news." +
                std::to_wstring(GetCurrentProcessId()) + L"\\";
        ktest::RemoveTree(root_);
        CreateDirectoryW(L"C:\\ktest-scratch", nullptr);
        CreateDirectoryW(root_.c_str(), nullptr);
        TProgramFolders folders = ComputeProgramFolders();
        folders.NewsDir = Narrow(root_) + "News\\";
        SetProgramFoldersForTests(folders);
        news_ = folders.NewsDir;
        gNow = 46000.5;
        oldClock_ = SetClock(&FakeNow);
        TDispatcher::Install();
        oldRenderer_ = SetNewsPageRendererForTests(
            [this](const std::string& url, const std::string& file, int w, int h) {
                renders_.push_back({url, file, w, h});
                if (failures_ > 0) {
                    --failures_;
                    return false;
                }
                WritePng(file, 10, 10);
                return true;
            });
    }
    void TearDown() override
    {
        SetNewsPageRendererForTests(oldRenderer_);
        SetClock(oldClock_);
        ResetProgramFoldersForTests();
        SetProgramKeyForTests("");
        SetSettings(TSettings{});
        ktest::RemoveTree(root_);
        ScratchKeyTest::TearDown();
    }

    std::string Path(const std::string& key) const { return NewsKeyPath() + "\\" + key; }

    TNewsItem& Stored(const std::string& key, int category, TDateTime last, int priority,
                      bool withImage = true)
    {
        auto item = std::make_unique<TNewsItem>(key);
        item->Category = category;
        item->Last = last;
        item->Priority = priority;
        item->Version = 1;
        item->Lng = "en";
        EXPECT_TRUE(item->Write());
        if (withImage) {
            CreateDirectoryPath(news_, TFileSecurity::Inherit, true);
            WritePng(item->ImageFileName(), 10, 10);
        }
        kept_.push_back(std::move(item));
        return *kept_.back();
    }

    void Merge(const std::string& xml)
    {
        TXML doc;
        doc.LoadFromString(xml);
        MergeNewsList(TXMLTag::FindPath(doc.Root(), {"NewsList"}));
    }

    std::vector<std::string> SelectedKeys(uint32_t categories)
    {
        TNewsList list;
        list.Load();
        std::vector<std::string> keys;
        for (TNewsItem* item : list.Select(categories))
            keys.push_back(item->Key);
        return keys;
    }

    struct TRender {
        std::string url, file;
        int w, h;
    };
    std::vector<TRender> renders_;
    int failures_ = 0;
    std::wstring root_;
    std::string news_;
    TClock oldClock_ = nullptr;
    TNewsPageRenderer oldRenderer_;
    std::vector<std::unique_ptr<TNewsItem>> kept_;
};

TEST_F(NewsTest, ItemRoundTripKeepsEveryFieldAndNeverWritesPostpone)
{
    TNewsItem item("k1");
    item.Category = 3;
    item.Version = 7;
    item.Priority = 2500;
    item.Lng = "de";
    item.Width = 160;
    item.Height = 300;
    item.Last = 45999.25;
    item.Postpone = 46100;
    item.DefaultURL = "https://example.test/a?b=1";
    item.OverURL = "https://example.test/over";
    item.Related = 9;
    ASSERT_TRUE(item.Write());
    const auto first = ValuesOf(Path("k1"));
    EXPECT_EQ(10u, first.size());
    EXPECT_EQ(0u, first.count("Postpone"));
    ASSERT_TRUE(item.Write());
    EXPECT_EQ(first, ValuesOf(Path("k1")));

    TNewsItem back("k1");
    back.Read();
    EXPECT_EQ(3, back.Category);
    EXPECT_EQ(7, back.Version);
    EXPECT_EQ(2500, back.Priority);
    EXPECT_EQ(2, back.PriorityClass());
    EXPECT_EQ("de", back.Lng);
    EXPECT_EQ(160, back.Width);
    EXPECT_EQ(300, back.Height);
    EXPECT_EQ(45999.25, back.Last);
    EXPECT_EQ(0, back.Postpone);
    EXPECT_EQ(item.DefaultURL, back.DefaultURL);
    EXPECT_EQ(item.OverURL, back.OverURL);
    EXPECT_EQ(9, back.Related);
    EXPECT_EQ(news_ + "k1.png", back.ImageFileName());
    EXPECT_EQ(news_ + "k1_over.png", back.OverImageFileName());

    // Out of range and wrongly typed values read as the defaults.
    {
        TProgramKeyView view;
        RegWriteInteger(HKEY_LOCAL_MACHINE, Path("k1"), "Category", 7);
        RegWriteInteger(HKEY_LOCAL_MACHINE, Path("k1"), "Related", 11);
        RegWriteString(HKEY_LOCAL_MACHINE, Path("k1"), "Version", "5");
        RegWriteDateTime(HKEY_LOCAL_MACHINE, Path("k1"), "Postpone", 46100);
    }
    back.Read();
    EXPECT_EQ(0, back.Category);
    EXPECT_EQ(0, back.Related);
    EXPECT_EQ(-1, back.Version);
    EXPECT_EQ(46100, back.Postpone);

    TNewsItem empty("k2");
    {
        TProgramKeyView view;
        RegWriteString(HKEY_LOCAL_MACHINE, Path("k2"), "Lng", "en");
    }
    empty.Read();
    EXPECT_EQ(0, empty.Category);
    EXPECT_EQ(-1, empty.Version);
    EXPECT_EQ(0, empty.Priority);
    EXPECT_EQ(1, empty.PriorityClass());
    EXPECT_EQ(0, empty.Width);
    EXPECT_EQ(0, empty.Last);
    EXPECT_EQ("", empty.DefaultURL);

    // MarkShown writes Last at once.
    gNow = 46001.75;
    back.MarkShown();
    TNewsItem again("k1");
    again.Read();
    EXPECT_EQ(46001.75, again.Last);
}

TEST_F(NewsTest, NamesAndKeysFollowTheServersRules)
{
    EXPECT_EQ(3, NewsCategoryOf("LeftBanner"));
    EXPECT_EQ(4, NewsCategoryOf("bottombanner"));
    EXPECT_EQ(1, NewsCategoryOf("ADS"));
    EXPECT_EQ(2, NewsCategoryOf("uninst"));
    EXPECT_EQ(0, NewsCategoryOf("banner"));
    EXPECT_EQ(3, NewsRelatedOf("Trevassi"));
    EXPECT_EQ(10, NewsRelatedOf("gastrel"));
    EXPECT_EQ(0, NewsRelatedOf("unknown"));
    for (const char* good : {"k1", "A-b_c.9", "x"})
        EXPECT_TRUE(IsValidNewsKey(good)) << good;
    for (std::string bad : {std::string(), std::string("..\\x"), std::string("a\\b"),
                            std::string(65, 'a'), std::string("a..b"), std::string("a b"),
                            std::string("a/b")})
        EXPECT_FALSE(IsValidNewsKey(bad)) << bad;
    EXPECT_TRUE(IsValidNewsKey(std::string(64, 'a')));
}

TEST_F(NewsTest, SelectOrdersByLastThenPriorityClassAndSkips)
{
    struct TCase {
        const char* name;
        std::vector<std::tuple<const char*, TDateTime, int>> items; // key, Last, Priority
        std::vector<std::string> expected;
    };
    const std::vector<TCase> cases = {
        {"older first", {{"a", 45000.5, 1000}, {"b", 44000.5, 1000}}, {"b", "a"}},
        {"equal Last: class 1 before class 2", {{"a", 45000, 2500}, {"b", 45000, 1500}}, {"b", "a"}},
        {"0 and 1500 tie: list order", {{"a", 45000, 1500}, {"b", 45000, 0}}, {"a", "b"}},
        {"0 and 1500 tie the other way", {{"a", 45000, 0}, {"b", 45000, 1500}}, {"a", "b"}},
    };
    for (const TCase& c : cases) {
        for (const auto& [key, last, priority] : c.items)
            Stored(key, 3, last, priority);
        EXPECT_EQ(c.expected, SelectedKeys(kNewsLeftBanners)) << c.name;
        for (const auto& [key, last, priority] : c.items)
            TNewsItem(key).Delete();
    }

    // Skips: postponed, a bottom banner for the left set, related 2, and
    // the Trevassi item only while Trevassi is installed.
    Stored("plain", 3, 1, 0);
    TNewsItem& postponed = Stored("postponed", 3, 0, 0);
    {
        TProgramKeyView view;
        RegWriteDateTime(HKEY_LOCAL_MACHINE, postponed.KeyPath(), "Postpone", gNow + 1);
    }
    Stored("bottom", 4, 0, 0);
    TNewsItem& paid = Stored("paid", 3, 0, 0);
    paid.Related = 2;
    paid.Write();
    TNewsItem& trevassi = Stored("trevassi", 3, 0, 0);
    trevassi.Related = NewsRelatedOf("trevassi");
    trevassi.Write();
    Stored("noimage", 3, 0, 0, false);

    const std::string folder = ProgramFiles32Dir() + "Trevassi\\";
    const std::string exe = folder + "Trevassi.exe";
    ASSERT_FALSE(FileExistsEx(exe)) << "the prefix has a Trevassi already";
    EXPECT_EQ((std::vector<std::string>{"trevassi", "plain"}), SelectedKeys(kNewsLeftBanners));
    EXPECT_EQ((std::vector<std::string>{"bottom"}), SelectedKeys(kNewsBottomBanners));

    CreateDirectoryA(folder.c_str(), nullptr);
    HANDLE f = CreateFileA(exe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, f);
    CloseHandle(f);
    const auto withTrevassi = SelectedKeys(kNewsLeftBanners);
    DeleteFileA(exe.c_str());
    RemoveDirectoryA(folder.c_str());
    EXPECT_EQ((std::vector<std::string>{"plain"}), withTrevassi);

    // Postponed items and items without a picture are not loaded at all;
    // FindByKey ignores case.
    TNewsList list;
    list.Load();
    EXPECT_EQ(nullptr, list.FindByKey("postponed"));
    EXPECT_EQ(nullptr, list.FindByKey("noimage"));
    ASSERT_NE(nullptr, list.FindByKey("PLAIN"));
    EXPECT_EQ("plain", list.FindByKey("PLAIN")->Key);
    EXPECT_EQ("bottom", list.SelectFirst(kNewsLeftBanners | kNewsBottomBanners)->Key)
        << "equal Last and class: list order";
    EXPECT_EQ(nullptr, list.SelectFirst(1u << kNewsCategoryAds));
}

TEST_F(NewsTest, MergeRendersWhatChangedAndDeletesWhatTheServerDropped)
{
    const std::string reply =
        "<NewsList>"
        "<News key=\"k1\" version=\"2\" category=\"leftbanner\" priority=\"1500\" width=\"160\" "
        "height=\"300\" defaulturl=\" https://example.test/k1 \" defaultpage=\" "
        "http://127.0.0.1/k1.html \"/>"
        "<News key=\"k2\" category=\"BottomBanner\" width=\"100000\" height=\"0\" "
        "defaultpage=\"http://127.0.0.1/k2.html\" overpage=\"http://127.0.0.1/k2o.html\"/>"
        "</NewsList>";
    Merge(reply);
    ASSERT_EQ(3u, renders_.size());
    EXPECT_EQ("http://127.0.0.1/k1.html", renders_[0].url);
    EXPECT_EQ(news_ + "k1.png", renders_[0].file);
    EXPECT_EQ(160, renders_[0].w);
    EXPECT_EQ(300, renders_[0].h);
    EXPECT_EQ(news_ + "k2.png", renders_[1].file);
    EXPECT_EQ(2000, renders_[1].w) << "the width is clamped";
    EXPECT_EQ(1, renders_[1].h);
    EXPECT_EQ(news_ + "k2_over.png", renders_[2].file);

    TNewsItem k1("k1"), k2("k2");
    k1.Read();
    k2.Read();
    EXPECT_EQ(2, k1.Version);
    EXPECT_EQ(3, k1.Category);
    EXPECT_EQ(1500, k1.Priority);
    EXPECT_EQ("en", k1.Lng);
    EXPECT_EQ("https://example.test/k1", k1.DefaultURL);
    EXPECT_EQ(1, k2.Version) << "the reply's default version";
    EXPECT_EQ(1010, k2.Priority) << "the reply's default priority";
    EXPECT_EQ(4, k2.Category);

    // Unchanged: nothing rendered.
    renders_.clear();
    Merge(reply);
    EXPECT_TRUE(renders_.empty());

    // A missing hover picture, another language, a new version: rendered.
    DeleteFileA(k2.OverImageFileName().c_str());
    Merge(reply);
    ASSERT_EQ(2u, renders_.size());
    EXPECT_EQ(news_ + "k2.png", renders_[0].file);
    renders_.clear();
    TSettings de;
    de.LANGUAGE = L"de";
    SetSettings(de);
    Merge(reply);
    EXPECT_EQ(3u, renders_.size());
    k1.Read();
    EXPECT_EQ("de", k1.Lng);
    renders_.clear();
    std::string v3 = reply;
    v3.replace(v3.find("version=\"2\""), 11, "version=\"3\"");
    Merge(v3);
    ASSERT_EQ(1u, renders_.size());
    EXPECT_EQ(news_ + "k1.png", renders_[0].file);

    // A priority change moves the item to the front (Last 0).
    k1.MarkShown();
    std::string p2 = v3;
    p2.replace(p2.find("priority=\"1500\""), 15, "priority=\"2500\"");
    renders_.clear();
    Merge(p2);
    EXPECT_TRUE(renders_.empty());
    k1.Read();
    EXPECT_EQ(0, k1.Last);
    EXPECT_EQ(2500, k1.Priority);

    // Dropped: k2 with both pictures, and a postponed and a never-rendered
    // item, all go.
    TNewsItem& postponed = Stored("postponed", 3, 0, 0);
    {
        TProgramKeyView view;
        RegWriteDateTime(HKEY_LOCAL_MACHINE, postponed.KeyPath(), "Postpone", gNow + 10);
    }
    Stored("unrendered", 3, 0, 0, false);
    const std::string onlyK1 =
        "<NewsList><News key=\"k1\" version=\"3\" category=\"leftbanner\" priority=\"2500\" "
        "width=\"160\" height=\"300\" defaultpage=\"http://127.0.0.1/k1.html\"/></NewsList>";
    Merge(onlyK1);
    TProgramKeyView view;
    for (const char* gone : {"k2", "postponed", "unrendered"})
        EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, Path(gone))) << gone;
    EXPECT_FALSE(FileExistsEx(news_ + "k2.png"));
    EXPECT_FALSE(FileExistsEx(news_ + "k2_over.png"));
    EXPECT_FALSE(FileExistsEx(news_ + "postponed.png"));
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, Path("k1")));
    EXPECT_TRUE(FileExistsEx(news_ + "k1.png"));
}

TEST_F(NewsTest, MergeGivesUpAfterThreeAttemptsAndSkipsBadKeys)
{
    failures_ = 5;
    Merge("<NewsList><News key=\"k1\" defaultpage=\"http://127.0.0.1/k1.html\"/></NewsList>");
    EXPECT_EQ(3u, renders_.size()) << "three attempts, then the loop ends";
    EXPECT_FALSE(FileExistsEx(news_ + "k1.png"));

    // Keys that would leave the news folder or the news key: nothing touched.
    const std::string outside = Narrow(root_) + "x.png";
    WritePng(outside, 4, 4);
    {
        TProgramKeyView view;
        RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey() + "\\x", "Keep", "1");
    }
    renders_.clear();
    failures_ = 0;
    Merge("<NewsList><News key=\"k1\"/><News key=\"..\\x\" defaultpage=\"http://a/\"/>"
          "<News key=\"a\\b\" defaultpage=\"http://a/\"/>"
          "<News key=\"" +
          std::string(65, 'a') + "\" defaultpage=\"http://a/\"/></NewsList>");
    ASSERT_EQ(1u, renders_.size());
    EXPECT_EQ(news_ + "k1.png", renders_[0].file);
    EXPECT_TRUE(FileExistsEx(outside));
    TProgramKeyView view;
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, ProgramKey() + "\\x"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, NewsKeyPath() + "\\a"));
    std::string names;
    RegGetSubKeyNames(HKEY_LOCAL_MACHINE, NewsKeyPath(), names);
    EXPECT_EQ((std::vector<std::string>{"k1"}), RegSplitNames(names));
}

// The news window, driven by presses sent to it once it is up.
class NewsWindowTest : public NewsTest {
protected:
    void SetUp() override
    {
        NewsTest::SetUp();
        calls_.clear();
        oldShell_ = SetShellExecuteCall(&RecordShell);
    }
    void TearDown() override
    {
        SetShellExecuteCall(oldShell_);
        NewsTest::TearDown();
    }
    static HINSTANCE WINAPI RecordShell(HWND, LPCSTR, LPCSTR file, LPCSTR, LPCSTR, INT)
    {
        calls_.push_back(file ? file : "");
        return reinterpret_cast<HINSTANCE>(33);
    }

    // Shows the item and presses at (x, y) of its client area.
    int ShowAndPress(TNewsItem& item, int x, int y)
    {
        press_ = {x, y};
        found_ = nullptr;
        UINT_PTR timer = SetTimer(nullptr, 0, 100, &PressTimer);
        const int result = ShowNewsItem(item, POINT{40, 40});
        KillTimer(nullptr, timer);
        return result;
    }
    // A named stdcall callback: a lambda has no stdcall form on 32-bit Windows.
    static BOOL CALLBACK FindNewsWindow(HWND wnd, LPARAM)
    {
        wchar_t caption[32] = {};
        GetWindowTextW(wnd, caption, 32);
        if (IsWindowVisible(wnd) && std::wstring(caption) == L"Korvelle") {
            found_ = wnd;
            return FALSE;
        }
        return TRUE;
    }
    static void CALLBACK PressTimer(HWND, UINT, UINT_PTR, DWORD)
    {
        EnumThreadWindows(GetCurrentThreadId(), &FindNewsWindow, 0);
        if (!found_)
            return;
        RECT client{};
        GetClientRect(found_, &client);
        clientSize_ = {client.right, client.bottom};
        const LPARAM at = MAKELPARAM(press_.x, press_.y);
        PostMessageW(found_, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(found_, WM_LBUTTONUP, 0, at);
    }

    static std::vector<std::string> calls_;
    static POINT press_;
    static HWND found_;
    static POINT clientSize_;
    TShellExecuteCall oldShell_ = nullptr;
};
std::vector<std::string> NewsWindowTest::calls_;
POINT NewsWindowTest::press_;
HWND NewsWindowTest::found_;
POINT NewsWindowTest::clientSize_;

TEST_F(NewsWindowTest, AnchorsCloseOpenOrRefuseAndTheRestOpensTheDefaultUrl)
{
    KTEST_NEEDS_DISPLAY();
    TNewsItem& item = Stored("n1", 1, 0, 0, false);
    item.DefaultURL = "https://example.test/default";
    item.Write();
    CreateDirectoryPath(news_, TFileSecurity::Inherit, true);
    WritePng(item.ImageFileName(), 200, 120,
             {{RECT{0, 0, 50, 20}, "%close%"},
              {RECT{60, 0, 120, 20}, "https://example.test/go?u=%UID%"},
              {RECT{130, 0, 190, 20}, "file:///C:/x.exe"}});

    struct TCase {
        const char* name;
        POINT at;
        int result;
        std::vector<std::string> calls;
    };
    const std::string go = ExpandUrlMacros("https://example.test/go?u=%UID%");
    const std::vector<TCase> cases = {
        {"close anchor", {10, 10}, mrCancel, {}},
        {"http anchor", {70, 10}, mrOk, {go}},
        {"file anchor", {140, 10}, mrOk, {}},
        {"outside the anchors", {100, 100}, mrOk, {"https://example.test/default"}},
    };
    for (const TCase& c : cases) {
        calls_.clear();
        gNow += 1;
        EXPECT_EQ(c.result, ShowAndPress(item, c.at.x, c.at.y)) << c.name;
        EXPECT_EQ(c.calls, calls_) << c.name;
        EXPECT_EQ(200, clientSize_.x) << c.name;
        EXPECT_EQ(120, clientSize_.y) << c.name;
        TNewsItem stored("n1");
        stored.Read();
        EXPECT_EQ(gNow, stored.Last) << c.name;
    }

    // Without its picture the window does not open.
    DeleteFileA(item.ImageFileName().c_str());
    EXPECT_EQ(mrNone, ShowNewsItem(item, POINT{0, 0}));
}

} // namespace
