// The daily check against the stand-in service (its check.xml), on a fake
// clock: when it asks, what a reply may write, what it hands to the update
// run, and the run without administrator rights.
#include "AppTest.h"
#include "FakeService.h"

#include "app/qvDailyCheck.h"
#include "app/qvNews.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/ThreadU.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace apptest;

namespace {

constexpr DWORD kThreadWaitMs = 20000;
constexpr TDateTime kNow = 46000.25;

TDateTime FakeNow()
{
    return kNow;
}

constexpr char kReply[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Check>\n"
    "  <Vers silent=\"1\">\n"
    "    <File url=\"https://127.0.0.1/a.exe\" size=\"3\" sha256=\"ab\"/>\n"
    "    <File url=\"https://127.0.0.1/b.cab\" size=\"4\" sha256=\"cd\"/>\n"
    "  </Vers>\n"
    "  <Config name=\"HELPPAID_URL\" value=\"https://help.example/\"/>\n"
    "  <Config name=\"UID\" value=\"666\"/>\n"
    "  <Config name=\"Foo\" value=\"bar\"/>\n"
    "  <NewsList/>\n"
    "</Check>\n";

struct THandOver {
    std::string list, source;
    bool silent = false, manual = false;
};

// An update run that only waits a while, so that a test can see that the
// check waits for it.
class TSlowRun final : public TThread {
public:
    explicit TSlowRun(std::atomic<bool>& Ended) : TThread(true), ended_(Ended) {}

private:
    void Execute() override
    {
        Sleep(400);
        ended_ = true;
    }
    std::atomic<bool>& ended_;
};

class DailyCheck : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (HasFatalFailure())
            return;
        previousClock_ = SetClock(&FakeNow);
        // The failure is told on the GUI thread, this one.
        ownDispatcher_ = !TDispatcher::Installed() && TDispatcher::Install();
        root_ = dir_ + "service\\";
        ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr));
        ASSERT_TRUE(WriteText(root_ + "check.xml", kReply));
        service_ = std::make_unique<fakeservice::TFakeService>(root_);
        ASSERT_TRUE(service_->Start());
        ChangeSettings([this](TSettings& s) {
            s.LI_URL = service_->URL("/client.asmx/GetXML?action=%ACTION%&cr=%CU%");
        });
        runEnded_ = false;
        SetUpdateRunFactory([this](const std::string& List, bool Silent, bool Manual,
                                   const std::string& Source) -> TThread* {
            std::lock_guard lock(lock_);
            handed_.push_back({List, Source, Silent, Manual});
            return new TSlowRun(runEnded_);
        });
    }
    void TearDown() override
    {
        SetUpdateRunFactory(nullptr);
        if (service_)
            service_->Stop();
        SetClock(previousClock_);
        if (ownDispatcher_)
            TDispatcher::Uninstall();
        AppFixture::TearDown();
    }
    // Runs the step-14 start and waits for its end; false when nothing ran.
    bool RunCheck(HANDLE Handle)
    {
        if (!Handle)
            return false;
        EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(Handle, 0) == WAIT_OBJECT_0; },
                              kThreadWaitMs));
        CloseHandle(Handle);
        return true;
    }
    void SetLastCheck(const TDateTime* Value)
    {
        TProgramKeyView view;
        if (Value)
            ASSERT_TRUE(RegWriteDateTime(HKEY_CURRENT_USER, Key(), "LAST_CHECK", *Value));
        else
            RegRemoveValue(HKEY_CURRENT_USER, Key(), "LAST_CHECK");
    }
    TDateTime LastCheck()
    {
        TProgramKeyView view;
        return RegReadDateTime(HKEY_CURRENT_USER, Key(), "LAST_CHECK");
    }
    std::string Hklm(const char* Name)
    {
        TProgramKeyView view;
        std::string value = "<none>";
        RegReadString(HKEY_LOCAL_MACHINE, Key(), Name, value);
        return value;
    }
    std::vector<THandOver> Handed()
    {
        std::lock_guard lock(lock_);
        return handed_;
    }

    TClock previousClock_ = nullptr;
    bool ownDispatcher_ = false;
    std::string root_;
    std::unique_ptr<fakeservice::TFakeService> service_;
    std::atomic<bool> runEnded_{false};
    std::mutex lock_;
    std::vector<THandOver> handed_;
};

} // namespace

TEST_F(DailyCheck, AsksOnlyADayOrMoreAwayFromTheLastCheck)
{
    struct TCase {
        const char* name;
        bool present;
        double offset; // days from now
        bool asks;
    };
    const TCase cases[] = {
        {"half a day ago", true, -0.5, false}, {"in half a day", true, 0.5, false},
        {"two days ago", true, -2.0, true},    {"in two days", true, 2.0, true},
        {"missing", false, 0.0, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TDateTime last = kNow + c.offset;
        SetLastCheck(c.present ? &last : nullptr);
        const size_t before = service_->RequestCount();
        EXPECT_EQ(c.asks, RunCheck(StartDailyCheck()));
        EXPECT_EQ(before + (c.asks ? 1 : 0), service_->RequestCount());
        EXPECT_DOUBLE_EQ(c.asks ? kNow : last, LastCheck());
    }
    const auto request = service_->Requests().back();
    EXPECT_EQ("GET", request.Method);
    EXPECT_NE(std::string::npos, request.Query.find("action=CHECK"));
    ASSERT_FALSE(request.Envelope.empty()) << "the report's envelope travels as cr";
    EXPECT_EQ("CFG", request.Envelope[1].first);
}

TEST_F(DailyCheck, ReplyWritesKnownSettingsAndHandsItsListToTheUpdateRun)
{
    const DWORD start = GetTickCount();
    ASSERT_TRUE(RunCheck(StartDailyCheck()));
    EXPECT_TRUE(runEnded_) << "the check ended before its update run";
    EXPECT_GE(GetTickCount() - start, 400u);

    EXPECT_EQ("https://help.example/", Hklm("HELPPAID_URL"));
    EXPECT_EQ("<none>", Hklm("UID"));
    EXPECT_EQ("<none>", Hklm("Foo"));
    const auto handed = Handed();
    ASSERT_EQ(1u, handed.size());
    EXPECT_EQ("https://127.0.0.1/a.exe\t3\tab\r\nhttps://127.0.0.1/b.cab\t4\tcd\r\n",
              handed[0].list);
    EXPECT_TRUE(handed[0].silent);
    EXPECT_FALSE(handed[0].manual);
    EXPECT_EQ(0u, handed[0].source.find(service_->URL("/client.asmx/GetXML?action=CHECK")));
}

TEST_F(DailyCheck, UpdatesSwitchedOffHandNoListButTheSettingsStillCome)
{
    ChangeSettings([](TSettings& s) { s.CHECK_FOR_UPDATES = false; });
    ASSERT_TRUE(RunCheck(StartDailyCheck()));
    EXPECT_TRUE(Handed().empty());
    EXPECT_EQ("https://help.example/", Hklm("HELPPAID_URL"));

    // A user's check ignores the switch.
    ASSERT_TRUE(RunCheck(StartManualCheck()));
    ASSERT_EQ(1u, Handed().size());
    EXPECT_TRUE(Handed()[0].manual);
    EXPECT_FALSE(Handed()[0].silent);
}

TEST_F(DailyCheck, BrokenRepliesChangeNothing)
{
    const std::string reply = kReply;
    const std::string broken[] = {
        reply.substr(0, reply.size() / 2),                      // cut off
        "<Other><Config name=\"HELPPAID_URL\" value=\"x\"/></Other>", // another root
        reply + "<Check/>",                                     // two documents
        "",
    };
    for (const std::string& text : broken) {
        SCOPED_TRACE(text.substr(0, 40));
        ASSERT_TRUE(WriteText(root_ + "check.xml", text));
        SetLastCheck(nullptr);
        ASSERT_TRUE(RunCheck(StartDailyCheck()));
        EXPECT_EQ("<none>", Hklm("HELPPAID_URL"));
        EXPECT_TRUE(Handed().empty());
    }
    TCheckReply parsed;
    EXPECT_FALSE(ParseCheckReply(broken[0], parsed));
    EXPECT_TRUE(ParseCheckReply("<Check/>", parsed));
    EXPECT_FALSE(parsed.HasVers);
}

TEST_F(DailyCheck, ManualCheckTellsAFailedRequest)
{
    ChangeSettings([](TSettings& s) { s.LI_URL = kNowhereURL; });
    ASSERT_TRUE(RunCheck(StartManualCheck()));
    const auto seen = TPromptScript::Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(L"Download failed!", seen[0].text);
    EXPECT_TRUE(seen[0].flags & MB_ICONERROR);
    EXPECT_TRUE(Handed().empty());

    // The daily check fails quietly.
    TPromptScript::Clear();
    TPromptScript::Install();
    ASSERT_TRUE(RunCheck(StartDailyCheck()));
    EXPECT_TRUE(TPromptScript::Seen().empty());
}

TEST_F(DailyCheck, RunWithoutAdministratorRightsDefersTheCheckToTheNextElevatedStart)
{
    seams_.Elevated = [] { return false; };
    ApplySeams();
    EXPECT_FALSE(RunCheck(StartDailyCheck()));
    EXPECT_EQ(0u, service_->RequestCount());
    EXPECT_DOUBLE_EQ(kNow, LastCheck());
    {
        TProgramKeyView view;
        std::string deferred;
        ASSERT_TRUE(RegReadString(HKEY_CURRENT_USER, Key(), "CHECK_DEFERRED", deferred));
        EXPECT_EQ("1", deferred);
    }
    // Still without the rights: nothing more.
    EXPECT_FALSE(RunCheck(StartDailyCheck()));
    EXPECT_EQ(0u, service_->RequestCount());

    seams_.Elevated = [] { return true; };
    ApplySeams();
    ASSERT_TRUE(RunCheck(StartDailyCheck())) << "LAST_CHECK is fresh, yet the check was deferred";
    EXPECT_EQ(1u, service_->RequestCount());
    {
        TProgramKeyView view;
        EXPECT_FALSE(RegValueExists(HKEY_CURRENT_USER, Key(), "CHECK_DEFERRED"));
    }
    EXPECT_FALSE(RunCheck(StartDailyCheck()));
}

// The reply's news reach the merge from the check's thread; the pages are
// drawn on the GUI thread (this one), and the check ends only after that.
TEST_F(DailyCheck, NewsOfTheReplyAreStoredAndRenderedBeforeTheCheckEnds)
{
    std::string reply = kReply;
    reply.replace(reply.find("<NewsList/>"), 11,
                  "<NewsList><News key=\"n1\" version=\"2\" category=\"leftbanner\" width=\"170\""
                  " height=\"120\" defaulturl=\"https://a.example/\" defaultpage=\"" +
                      service_->URL("/n1.htm") + "\"/></NewsList>");
    ASSERT_TRUE(WriteText(root_ + "check.xml", reply));
    struct TSeen {
        std::string url;
        int w = 0, h = 0;
        DWORD thread = 0;
        bool checkEnded = true;
    };
    std::vector<TSeen> seen;
    HANDLE check = nullptr;
    const TNewsPageRenderer previous = SetNewsPageRendererForTests(
        [&](const std::string& Url, const std::string& File, int W, int H) {
            seen.push_back({Url, W, H, GetCurrentThreadId(),
                            WaitForSingleObject(check, 0) == WAIT_OBJECT_0});
            return WriteText(File, "png");
        });
    check = StartDailyCheck();
    ASSERT_NE(nullptr, check);
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(check, 0) == WAIT_OBJECT_0; },
                          kThreadWaitMs));
    CloseHandle(check);
    SetNewsPageRendererForTests(previous);

    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(service_->URL("/n1.htm"), seen[0].url);
    EXPECT_EQ(170, seen[0].w);
    EXPECT_EQ(120, seen[0].h);
    EXPECT_EQ(GetCurrentThreadId(), seen[0].thread);
    EXPECT_FALSE(seen[0].checkEnded) << "the check ended before the render";
    TProgramKeyView view;
    std::string url;
    EXPECT_TRUE(RegReadString(HKEY_LOCAL_MACHINE, Key() + "\\News\\n1", "DefaultURL", url));
    EXPECT_EQ("https://a.example/", url);
    EXPECT_TRUE(FileExistsEx(folders_.NewsDir + "n1.png"));
}
