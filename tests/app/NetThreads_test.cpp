// The install report and the support phone number against the stand-in
// service on 127.0.0.1: what is sent, what a reply may change, and the
// bounded wait for a report.
#include "AppTest.h"
#include "FakeService.h"

#include "app/qvNetThreads.h"
#include "platform/RegistryU.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace apptest;

namespace {

constexpr DWORD kThreadWaitMs = 20000;

std::atomic<int> gPhoneMessages{0};

LRESULT CALLBACK CountPhoneProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam)
{
    if (Msg == WM_KorvellePhoneChanged)
        ++gPhoneMessages;
    return DefWindowProcW(Wnd, Msg, WParam, LParam);
}

// A message-only window that counts the phone message.
class TPhoneWindow {
public:
    TPhoneWindow()
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = CountPhoneProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KvTestPhoneWindow";
        RegisterClassW(&wc);
        wnd_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
        gPhoneMessages = 0;
    }
    ~TPhoneWindow() { DestroyWindow(wnd_); }
    TPhoneWindow(const TPhoneWindow&) = delete;
    TPhoneWindow& operator=(const TPhoneWindow&) = delete;
    HWND Handle() const { return wnd_; }

private:
    HWND wnd_ = nullptr;
};

class NetThreads : public AppFixture {
protected:
    void SetUp() override
    {
        AppFixture::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(service_.Start());
        ChangeSettings([this](TSettings& s) {
            s.LI_URL = service_.URL("/client.asmx/GetXML?action=%ACTION%&cr=%CU%");
            s.PHONE_URL = service_.URL("/client.asmx/GetPhone?CFG=%CFG_ID%&LNG=%LNG%");
            s.UID = "4711";
            s.CFG_ID = "24";
        });
    }
    void TearDown() override
    {
        EXPECT_TRUE(WaitForPhoneRequests(kThreadWaitMs));
        service_.Stop();
        AppFixture::TearDown();
    }
    std::string StoredPhone()
    {
        TProgramKeyView view;
        std::string value;
        RegReadString(HKEY_LOCAL_MACHINE, Key(), "PHONE_NUMBER", value);
        return value;
    }
    // One report to its end; the envelope the service decoded.
    std::vector<std::pair<std::string, std::string>> Report(const std::string& Action)
    {
        const size_t before = service_.RequestCount();
        TInstallHitThread report(ReportURL(Action), false);
        EXPECT_TRUE(WaitThreadFor(&report, kThreadWaitMs));
        const auto requests = service_.Requests();
        if (requests.size() != before + 1)
            return {};
        EXPECT_EQ("GET", requests.back().Method);
        EXPECT_NE(std::string::npos, requests.back().Query.find("action=" + Action));
        return requests.back().Envelope;
    }
    fakeservice::TFakeService service_;
};

std::vector<std::string> Names(const std::vector<std::pair<std::string, std::string>>& Pairs)
{
    std::vector<std::string> names;
    // The noise pairs by their fixed beginning.
    for (const auto& pair : Pairs) {
        const size_t mark = pair.first.find('_');
        names.push_back(mark == std::string::npos ? pair.first : pair.first.substr(0, mark + 1));
    }
    return names;
}

} // namespace

TEST_F(NetThreads, ReportCarriesItsPairsInOrderAndFreshNoise)
{
    const auto first = Report("INMOSTREL");
    const std::vector<std::string> plain = {"RNDX_", "CFG", "UID", "RNDY_", "RANDOMIZER"};
    ASSERT_EQ(plain, Names(first));
    EXPECT_EQ("24", first[1].second);
    EXPECT_EQ("4711", first[2].second);
    const auto second = Report("UNMOSTREL");
    ASSERT_EQ(plain, Names(second));
    EXPECT_FALSE(first[0] == second[0] && first[3] == second[3]) << "the noise repeated";

    {
        TProgramKeyView view;
        ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "SubID", "partner-7"));
    }
    const auto withSub = Report("INMOSTREL");
    const std::vector<std::string> sub = {"RNDX_", "CFG", "UID", "RNDY_", "SUBID", "RANDOMIZER"};
    ASSERT_EQ(sub, Names(withSub));
    EXPECT_EQ("partner-7", withSub[4].second);

    {
        TProgramKeyView view;
        ASSERT_TRUE(RegWriteString(HKEY_LOCAL_MACHINE, Key(), "SubID", ""));
    }
    EXPECT_EQ(plain, Names(Report("INMOSTREL"))) << "an empty SubID is left out";
}

TEST_F(NetThreads, EmptyReportAddressSendsNothing)
{
    ChangeSettings([](TSettings& s) { s.LI_URL.clear(); });
    TInstallHitThread report(ReportURL("INMOSTREL"), false);
    EXPECT_TRUE(WaitThreadFor(&report, kThreadWaitMs));
    EXPECT_EQ(0u, service_.RequestCount());
}

TEST_F(NetThreads, BoundedWaitReturnsAtOnceForAnEndedThreadAndGivesUpOnAStalledOne)
{
    EXPECT_TRUE(WaitThreadFor(nullptr, 0));
    {
        TInstallHitThread done(ReportURL("INMOSTREL"), false);
        ASSERT_TRUE(WaitThreadFor(&done, kThreadWaitMs));
        const DWORD start = GetTickCount();
        EXPECT_TRUE(WaitThreadFor(&done, 5000));
        // Far below the 5 s it was offered: a loaded machine may delay the
        // answer, a wait on an ended thread would spend the whole budget.
        EXPECT_LT(GetTickCount() - start, 1000u);
    }

    fakeservice::TBehaviour stall;
    stall.StallBeforeHeadersMs = 4000;
    service_.SetBehaviour("/client.asmx/GetXML", stall);
    auto stalled = std::make_unique<TInstallHitThread>(ReportURL("INMOSTREL"), false);
    const DWORD start = GetTickCount();
    EXPECT_FALSE(WaitThreadFor(stalled.get(), 1500));
    const DWORD spent = GetTickCount() - start;
    EXPECT_GE(spent, 1500u);
    // False already says it did not wait for the end; the bound says it gave
    // up near its time, with room for a loaded machine.
    EXPECT_LE(spent, 4500u);
    // Freed only once it ended.
    EXPECT_TRUE(WaitThreadFor(stalled.get(), kThreadWaitMs));
}

TEST_F(NetThreads, InstallLeavesAStalledReportRunningAndEndsWithinItsWait)
{
    fakeservice::TBehaviour stall;
    stall.StallBeforeHeadersMs = 30000;
    service_.SetBehaviour("/client.asmx/GetXML", stall);
    const DWORD start = GetTickCount();
    InstallProgram();
    const DWORD spent = GetTickCount() - start;
    EXPECT_GE(spent, 15000u);
    // Well before the stalled reply (30 s), with room for a loaded machine.
    EXPECT_LT(spent, 24000u);
    EXPECT_TRUE(ReportLeftRunning());
    ASSERT_EQ(1u, service_.RequestCount());
    EXPECT_NE(std::string::npos, service_.Requests()[0].Query.find("action=INMOSTREL"));
}

TEST_F(NetThreads, PhoneReplies)
{
    struct TCase {
        const char* name;
        int status;
        std::string body;
        std::string stored; // after the request
    };
    const TCase cases[] = {
        {"whole reply", 200, "<Phone>12</Phone>", "12"},
        {"trimmed", 200, "x<Phone> 555-0100 </Phone>y", "555-0100"},
        {"no closing tag", 200, "<Phone>12", ""},
        {"no opening tag", 200, "abc</Phone>", ""},
        {"closing tag before the opening one", 200, "</Phone><Phone>12", ""},
        {"not 200", 500, "<Phone>12</Phone>", ""},
        {"empty body", 200, "", ""},
        {"empty number", 200, "<Phone></Phone>", ""},
        {"41 digits", 200, "<Phone>" + std::string(41, '7') + "</Phone>", ""},
        {"40 digits", 200, "<Phone>" + std::string(40, '7') + "</Phone>", std::string(40, '7')},
        {"control character", 200, "<Phone>12\x01" "3</Phone>", ""},
    };
    TPhoneWindow window;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        {
            TProgramKeyView view;
            RegRemoveValue(HKEY_LOCAL_MACHINE, Key(), "PHONE_NUMBER");
        }
        ChangeSettings([](TSettings& s) { s.PHONE_NUMBER.clear(); });
        gPhoneMessages = 0;
        fakeservice::TBehaviour answer;
        answer.Status = c.status;
        answer.Body = c.body;
        service_.SetBehaviour("/client.asmx/GetPhone", answer);
        const size_t before = service_.RequestCount();
        new TPhoneNumberThread(window.Handle());
        ASSERT_TRUE(WaitForPhoneRequests(kThreadWaitMs));
        Pump(50);
        EXPECT_EQ(before + 1, service_.RequestCount());
        EXPECT_EQ(c.stored, StoredPhone());
        EXPECT_EQ(c.stored, Settings()->PHONE_NUMBER);
        EXPECT_EQ(c.stored.empty() ? 0 : 1, gPhoneMessages.load());
    }
    const auto request = service_.Requests().back();
    EXPECT_EQ("GET", request.Method);
    EXPECT_NE(std::string::npos, request.Query.find("CFG=24"));
}

TEST_F(NetThreads, SamePhoneAgainOrNoServiceChangesNothing)
{
    TPhoneWindow window;
    service_.SetPhone("555-0100");
    ChangeSettings([](TSettings& s) { s.PHONE_NUMBER = "555-0100"; });
    new TPhoneNumberThread(window.Handle());
    ASSERT_TRUE(WaitForPhoneRequests(kThreadWaitMs));
    Pump(50);
    EXPECT_EQ(1u, service_.RequestCount());
    EXPECT_EQ("", StoredPhone());
    EXPECT_EQ(0, gPhoneMessages.load());

    ChangeSettings([](TSettings& s) {
        s.PHONE_NUMBER.clear();
        s.PHONE_URL = kNowhereURL;
    });
    new TPhoneNumberThread(window.Handle());
    ASSERT_TRUE(WaitForPhoneRequests(kThreadWaitMs));
    Pump(50);
    EXPECT_EQ("", StoredPhone());
    EXPECT_EQ(0, gPhoneMessages.load());
}
