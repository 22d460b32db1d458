#include "AddOnTestSupport.h"
#include "EngineTest.h"
#include "FakeService.h"
#include "KorvTest.h"
#include "engine/qvAddOnCheck.h"
#include "platform/FileUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/XmlU.h"
#include "platform/qvSettings.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr DWORD kThreadWaitMs = 20000;

std::string ReplyWith(const std::string& Results)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
           "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
           "<CheckBHOResponse xmlns=\"urn:x\"><CheckBHOResult>" +
           Results + "</CheckBHOResult></CheckBHOResponse></soap:Body></soap:Envelope>";
}

class AddOnCheck : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        ASSERT_TRUE(service_.Start());
        old_ = *Settings();
        ChangeSettings([this](TSettings& s) {
            s.ADDON_URL = service_.URL("/client.asmx");
            s.UID = "kv-uid";
            s.CFG_ID = "24";
        });
        file_ = dirAnsi_ + "addons.xml";
    }
    void TearDown() override
    {
        EXPECT_TRUE(WaitForAddOnChecks(kThreadWaitMs)) << "a check thread still runs";
        SetSettings(old_);
        service_.Stop();
        ScratchDirTest::TearDown();
    }
    std::shared_ptr<TqvAddOnItems> NewItems()
    {
        auto items = TqvAddOnItems::Create(nullptr);
        items->FileName = file_;
        return items;
    }
    // StartCheck and the end of its thread.
    void Check(TqvAddOnItems& Items)
    {
        Items.StartCheck();
        ASSERT_TRUE(WaitForAddOnChecks(kThreadWaitMs));
    }
    std::vector<std::string> Bodies() const
    {
        std::vector<std::string> bodies;
        for (const auto& r : service_.Requests())
            bodies.push_back(r.Body);
        return bodies;
    }

    fakeservice::TFakeService service_;
    TSettings old_;
    std::string file_;
};

TEST_F(AddOnCheck, CacheFileIsWrittenByteForByteAndReadBackAsStored)
{
    auto items = NewItems();
    TqvAddOnItem* black = items->Lookup("{ABC-1}", L"Tool <&\"> \u00fc\u65e5", false,
                                        "%PROGRAMFILES%\\kv.dll", "BHO");
    TqvAddOnItem* white = items->Lookup(" white@KV.test ", L"Fine", true, "app-global", "FFS");
    items->Lookup("unknown@kv.test", L"Later", false, "", "FFF");
    black->Verdict = kVerdictBlack;
    white->Verdict = kVerdictWhite;
    EXPECT_EQ("abc-1", black->Id);
    EXPECT_EQ("white@kv.test", white->Id);

    std::vector<std::string> calls;
    static std::vector<std::string>* record = nullptr;
    record = &calls;
    TSecurityRecorder previous = SetSecurityRecorder([](const TSecurityCall& Call) {
        record->push_back(std::string(Call.Api) + " " + Call.Path + " " +
                          (Call.Descriptor ? "protected" : "inherited"));
    });
    ASSERT_TRUE(items->Save());
    SetSecurityRecorder(previous);

    // The name: UTF-8 bytes, then the text escape of an 8-bit file (the
    // bytes 128 to 159 of the UTF-8 form as numeric escapes).
    const std::string golden = "<addons>\r\n"
                               "  <addon id=\"abc-1\" name=\"Tool &lt;&amp;&#34;&gt; "
                               "\xC3\xBC\xE6&#151;\xA5\" type=\"B\" />\r\n"
                               "  <addon id=\"white@kv.test\" name=\"Fine\" type=\"W\" />\r\n"
                               "</addons>\r\n";
    EXPECT_EQ(golden, etest::ReadBytes(file_));
    // The save's temporary file, of a name of its own; the folder gets its
    // protection again; the file gets no grant.
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [&](const std::string& c) {
        return c.rfind("CreateFileA " + file_ + ".", 0) == 0 && c.size() > 14 &&
               c.substr(c.size() - 14) == ".tmp protected";
    })) << ::testing::PrintToString(calls);
    EXPECT_FALSE(std::any_of(calls.begin(), calls.end(), [&](const std::string& c) {
        return c.rfind("SetFileSecurityA", 0) == 0 ||
               (c.rfind("SetNamedSecurityInfoA", 0) == 0 &&
                c != "SetNamedSecurityInfoA " + ExcludeTrailingBackslash(dirAnsi_) + " protected");
    })) << "no access grant";

    // Read back: ids as stored, the lists emptied first.
    etest::WriteBytes(file_, "<addons>\r\n  <addon id=\"{BRACED}\" name=\"B\" type=\"b\" />\r\n"
                             "  <addon id=\"w@kv.test\" name=\"\xC3\xA9\" type=\"W\" />\r\n"
                             "  <addon id=\"\" name=\"no id\" type=\"B\" />\r\n"
                             "  <addon id=\"odd@kv.test\" name=\"odd\" type=\"X\" />\r\n"
                             "</addons>\r\n");
    items->Load();
    ASSERT_EQ(2u, items->AllRecords.size());
    EXPECT_EQ("{BRACED}", items->AllRecords[0]->Id);
    EXPECT_EQ(kVerdictBlack, items->AllRecords[0]->Verdict);
    EXPECT_EQ(L"\u00e9", items->AllRecords[1]->Name);
    EXPECT_TRUE(items->UnknownIndex.empty());
    TqvAddOnItem* braced = items->Lookup("{BRACED}", L"again", false, "", "BHO");
    EXPECT_EQ(kVerdictUnknown, braced->Verdict) << "a braced stored id never matches";
    EXPECT_EQ(kVerdictWhite, items->Lookup("{W@KV.TEST}", L"", false, "", "FFS")->Verdict);
    TqvAddOnItem* first = items->Lookup("twice@kv.test", L"1", false, "", "FFF");
    TqvAddOnItem* second = items->Lookup("twice@kv.test", L"2", false, "", "FFF");
    EXPECT_NE(first, second) << "an id met twice gives two records";
    EXPECT_EQ(3u, items->UnknownIndex.size());

    // A file that is not ours gives an empty cache.
    etest::WriteBytes(file_, "\x01garbage<<");
    items->Load();
    EXPECT_TRUE(items->AllRecords.empty());
    DeleteFileA(file_.c_str());
    items->Load();
    EXPECT_TRUE(items->AllRecords.empty());
}

TEST_F(AddOnCheck, NothingUnknownAsksNothing)
{
    auto items = NewItems();
    items->StartCheck();
    EXPECT_EQ(1, items->CheckDone.load());
    EXPECT_EQ(0u, service_.RequestCount());
}

TEST_F(AddOnCheck, NamedIdsTurnBlackTheRestWhiteAndTheNextScanAsksNothing)
{
    service_.SetBlack("aaa-1", "Bad \xC3\xBC");
    auto items = NewItems();
    TqvAddOnItem* bad = items->Lookup("{AAA-1}", L"found name", false, "C:\\a.dll", "BHO");
    TqvAddOnItem* fine = items->Lookup("fine@kv.test", L"Fine", true, "app-profile", "FFS");
    Check(*items);
    EXPECT_EQ(1, items->CheckDone.load());
    EXPECT_EQ(nullptr, items->CheckThread.load());
    EXPECT_EQ(kVerdictBlack, bad->Verdict);
    EXPECT_EQ(L"Bad \u00fc", bad->Name) << "the note names it";
    EXPECT_EQ(kVerdictWhite, fine->Verdict);
    EXPECT_EQ(1u, items->BlackIndex.size());
    EXPECT_EQ(1u, items->WhiteIndex.size());
    EXPECT_EQ(1u, items->UnknownIndex.size()) << "the white one stays in the unknown index";
    EXPECT_EQ("<addons>\r\n"
              "  <addon id=\"aaa-1\" name=\"Bad \xC3\xBC\" type=\"B\" />\r\n"
              "  <addon id=\"fine@kv.test\" name=\"Fine\" type=\"W\" />\r\n"
              "</addons>\r\n",
              etest::ReadBytes(file_));

    const std::vector<fakeservice::TRecordedRequest> requests = service_.Requests();
    ASSERT_EQ(1u, requests.size());
    const auto& request = requests[0];
    EXPECT_EQ("POST", request.Method);
    EXPECT_EQ("/client.asmx", request.Path);
    EXPECT_EQ("text/xml; charset=utf-8", request.Header("Content-Type"));
    EXPECT_EQ("\"http://www.korvelle.com/client/CheckBHO\"", request.Header("SOAPAction"));
    EXPECT_EQ(std::string::npos, request.Body.find_first_of("\r\n")) << "one line";
    TXML xml;
    xml.LoadFromString(request.Body);
    EXPECT_TRUE(xml.Complete());
    TXMLTag* operation = TXMLTag::FindPath(xml.Root(), {"soap:Envelope", "soap:Body", "CheckBHO"});
    ASSERT_NE(nullptr, operation);
    EXPECT_EQ("http://www.korvelle.com/client", TXMLTag::GetAttribute(operation, "xmlns"));
    EXPECT_EQ("0", TXMLTag::GetText(TXMLTag::FindPath(operation, {"callType"})));
    EXPECT_NE(std::string::npos,
              request.Body.find("<BHO><BHO_ID>aaa-1</BHO_ID><note>found name</note><path>C:\\a.dll"
                                "</path><source>1</source></BHO><BHO><BHO_ID>fine@kv.test</BHO_ID>"
                                "<note>Fine</note><path>app-profile</path><source>11</source>"
                                "</BHO>"))
        << request.Body;

    auto next = NewItems();
    next->Load();
    EXPECT_EQ(kVerdictBlack, next->Lookup("{AAA-1}", L"x", false, "", "BHO")->Verdict);
    EXPECT_EQ(kVerdictWhite, next->Lookup("Fine@kv.test", L"x", false, "", "FFS")->Verdict);
    next->StartCheck();
    EXPECT_EQ(1, next->CheckDone.load());
    EXPECT_EQ(1u, service_.RequestCount()) << "a second scan sends nothing";
}

TEST_F(AddOnCheck, RepliesNamingAnIdTwiceOrNoneAtAll)
{
    fakeservice::TBehaviour twice;
    twice.Body = ReplyWith("<BHO_Result><BHO_ID>Dup@KV.test</BHO_ID></BHO_Result>"
                           "<BHO_Result><BHO_ID>dup@kv.test</BHO_ID><note>2nd</note></BHO_Result>");
    service_.SetBehaviour("/client.asmx", twice);
    auto items = NewItems();
    TqvAddOnItem* a = items->Lookup("dup@kv.test", L"a", false, "", "FFF");
    TqvAddOnItem* b = items->Lookup("dup@kv.test", L"b", false, "", "FFF");
    Check(*items);
    EXPECT_EQ(kVerdictBlack, a->Verdict);
    EXPECT_EQ(kVerdictBlack, b->Verdict);
    EXPECT_EQ(L"a", a->Name) << "the second result finds nothing left";
    EXPECT_EQ(2u, items->BlackIndex.size());
    EXPECT_TRUE(items->UnknownIndex.empty());

    fakeservice::TBehaviour none;
    none.Body = ReplyWith("");
    service_.SetBehaviour("/client.asmx", none);
    auto others = NewItems();
    TqvAddOnItem* c = others->Lookup("c@kv.test", L"c", false, "", "FFF");
    TqvAddOnItem* d = others->Lookup("{D}", L"d", false, "", "BHO");
    Check(*others);
    EXPECT_EQ(kVerdictWhite, c->Verdict);
    EXPECT_EQ(kVerdictWhite, d->Verdict);
    EXPECT_EQ(1, others->CheckDone.load());
}

TEST_F(AddOnCheck, FailedRepliesLeaveEverythingUnknown)
{
    const std::string before = "<addons>\r\n</addons>\r\n";
    struct Case {
        const char* Name;
        fakeservice::TBehaviour Behaviour;
    };
    fakeservice::TBehaviour error;
    error.Status = 500;
    fakeservice::TBehaviour empty;
    empty.Body = "";
    fakeservice::TBehaviour noResult;
    noResult.Body = "<?xml version=\"1.0\"?><soap:Envelope><soap:Body><CheckBHOResponse />"
                    "</soap:Body></soap:Envelope>";
    fakeservice::TBehaviour huge;
    huge.Body = ReplyWith("<BHO_Result><BHO_ID>x@kv.test</BHO_ID></BHO_Result>" +
                          std::string(2 << 20, ' '));
    for (const Case& c : {Case{"status 500", error}, Case{"empty body", empty},
                          Case{"no result element", noResult}, Case{"2 MiB", huge}}) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(etest::WriteBytes(file_, before));
        service_.SetBehaviour("/client.asmx", c.Behaviour);
        auto items = NewItems();
        TqvAddOnItem* x = items->Lookup("x@kv.test", L"x", false, "", "FFF");
        Check(*items);
        EXPECT_EQ(kVerdictUnknown, x->Verdict);
        EXPECT_EQ(0, items->CheckDone.load());
        EXPECT_EQ(nullptr, items->CheckThread.load());
        EXPECT_EQ(before, etest::ReadBytes(file_));
    }
}

TEST_F(AddOnCheck, ReportsSendTheReportListAndChangeNoVerdict)
{
    service_.SetBlack("rep@kv.test", "would be black");
    auto items = NewItems();
    TqvAddOnItem* found = items->Lookup("rep@kv.test", L"Found", true, "app-global", "FFS");
    items->AddToReport(found);
    items->AddToReport("{MADE-2}", L"Made \u00e9", "C:\\m.dll", "TBR64");
    items->SendReport();
    ASSERT_TRUE(WaitForAddOnChecks(kThreadWaitMs));
    EXPECT_EQ(kVerdictUnknown, found->Verdict);
    EXPECT_EQ(0, items->CheckDone.load());
    ASSERT_EQ(1u, service_.RequestCount());
    const std::string body = Bodies()[0];
    EXPECT_NE(std::string::npos, body.find("<callType>1</callType>"));
    EXPECT_NE(std::string::npos,
              body.find("<BHO_List><BHO><BHO_ID>rep@kv.test</BHO_ID><note>Found</note>"
                        "<path>app-global</path><source>11</source></BHO><BHO><BHO_ID>{MADE-2}"
                        "</BHO_ID><note>Made \xC3\xA9</note><path>C:\\m.dll</path><source>4"
                        "</source></BHO></BHO_List>"))
        << body;
    EXPECT_FALSE(FileExistsEx(file_)) << "a report saves nothing";

    auto quiet = NewItems();
    quiet->SendReport();
    EXPECT_TRUE(WaitForAddOnChecks(kThreadWaitMs));
    EXPECT_EQ(1u, service_.RequestCount()) << "an empty report list sends nothing";
}

TEST_F(AddOnCheck, SettingsAndValuesArriveEscaped)
{
    ChangeSettings([](TSettings& s) {
        s.UID = "a<b&c";
        s.CFG_ID = "\"x\"";
    });
    auto items = NewItems();
    items->Lookup("q\"<x>@kv.test", L"N\u00e4me \x01 & <b>", false, "C:\\p&q\\r.dll", "FFRH");
    Check(*items);
    ASSERT_EQ(1u, service_.RequestCount());
    const std::string body = Bodies()[0];
    EXPECT_NE(std::string::npos, body.find("<CFG>&#34;x&#34;</CFG><UID>a&lt;b&amp;c</UID>"))
        << body;
    EXPECT_NE(std::string::npos, body.find("<BHO_ID>q&#34;&lt;x&gt;@kv.test</BHO_ID>"
                                           "<note>N\xC3\xA4me &#1; &amp; &lt;b&gt;</note>"
                                           "<path>C:\\p&amp;q\\r.dll</path><source>14</source>"))
        << body;
    TXML xml;
    xml.LoadFromString(body);
    EXPECT_TRUE(xml.Complete());
    TXMLTag* operation = TXMLTag::FindPath(xml.Root(), {"soap:Envelope", "soap:Body", "CheckBHO"});
    EXPECT_EQ("a<b&c", TXMLTag::GetText(TXMLTag::FindPath(operation, {"UID"})));
}

} // namespace

TEST_F(AddOnCheck, APlantedCacheGivesNoVerdict)
{
    file_ = dirAnsi_ + "planted\\addons.xml";
    ASSERT_TRUE(etest::WriteBytes(file_, "<addons>\r\n  <addon id=\"{kv-planted}\" type=\"B\" "
                                         "name=\"x\" />\r\n</addons>\r\n"));
    auto items = NewItems();
    items->Load();
    ASSERT_EQ(1u, items->AllRecords.size()) << "read while trusted";
    etest::PlantedPaths trust;
    items->Load();
    EXPECT_TRUE(items->AllRecords.empty());
    EXPECT_TRUE(items->BlackIndex.empty());
}
