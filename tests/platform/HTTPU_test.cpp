#include "platform/HTTPU.h"

#include "FakeService.h"
#include "FileTestSupport.h"
#include "KorvTest.h"
#include "platform/GuardU.h"
#include "platform/HashU.h"
#include "platform/StreamU.h"
#include "platform/UnicodeU.h"
#include "platform/XmlU.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <optional>

using fakeservice::TBehaviour;
using fakeservice::TFakeService;
using fakeservice::TLength;
using fakeservice::TRecordedRequest;

namespace {

std::string Pattern(size_t size, unsigned seed = 1)
{
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

TBehaviour Answer(int status, std::string body)
{
    TBehaviour b;
    b.Status = status;
    b.Body = std::move(body);
    return b;
}

// What one request did, as its caller sees it.
struct TOutcome {
    bool Ok = false;
    int32_t ErrorCode = -1;
    int32_t Status = -1;
    std::string Output;
    std::vector<std::pair<int64_t, int64_t>> Progress;
    int DoneCount = 0;
    bool Finished = false;
};

TOutcome Execute(THTTPGet& get, TMemoryStreamWriter& output)
{
    TOutcome out;
    get.Output = &output;
    auto progress = get.OnProgress;
    get.OnProgress = [&](THTTPGet& sender, int64_t received, int64_t total) {
        out.Progress.emplace_back(received, total);
        if (progress)
            progress(sender, received, total);
    };
    get.OnDone = [&](THTTPGet& sender) {
        ++out.DoneCount;
        EXPECT_FALSE(sender.Finished) << "Finished is set after OnDone";
    };
    out.Ok = get.ExecuteRequest();
    out.ErrorCode = get.ErrorCode;
    out.Status = get.Status;
    out.Output = output.MemoryStream().ToString();
    out.Finished = get.Finished;
    return out;
}

TOutcome Execute(const std::string& url, const std::function<void(THTTPGet&)>& setup = nullptr)
{
    THTTPGet get;
    get.SetURL(url);
    if (setup)
        setup(get);
    TMemoryStreamWriter output;
    return Execute(get, output);
}

// A port on 127.0.0.1 that nothing listens on.
uint16_t ClosedPort()
{
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    WSACleanup();
    return ntohs(address.sin_port);
}

DWORD WINAPI ThreadEntry(LPVOID param)
{
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(param));
    Guard([&] { (*fn)(); });
    return 0;
}

// Runs fn on a thread of its own (CreateThread); the handle is the caller's.
HANDLE RunOnThread(std::function<void()> fn)
{
    auto* heap = new std::function<void()>(std::move(fn));
    HANDLE h = CreateThread(nullptr, 0, &ThreadEntry, heap, 0, nullptr);
    if (!h)
        delete heap;
    return h;
}

class HTTPTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        service_ = std::make_unique<TFakeService>(dirAnsi_);
        ASSERT_TRUE(service_->Start());
    }
    void TearDown() override
    {
        service_.reset();
        ScratchDirTest::TearDown();
    }
    std::string URL(std::string_view path) const { return service_->URL(path); }
    std::unique_ptr<TFakeService> service_;
};

// ---------------------------------------------------------------------------
// Settings

TEST(HTTPSettings, ClearAssignAndTheEffectiveValues)
{
    THTTPSettings s;
    s.UserName = "u";
    s.Password = "p";
    s.Resume = true;
    s.ProxyHost = "h";
    s.ProxyPort = "8080";
    s.ProxyUser = "pu";
    s.ProxyPassword = "pp";
    s.AcceptAnyStatus = true;
    s.BlockSize = 4096;
    s.NoCookies = true;
    s.TimeoutMs = 2000;

    THTTPSettings copy;
    copy.Assign(&s);
    EXPECT_EQ(copy.UserName, "u");
    EXPECT_EQ(copy.Password, "p");
    EXPECT_TRUE(copy.Resume);
    EXPECT_EQ(copy.ProxyHost, "h");
    EXPECT_EQ(copy.ProxyPort, "8080");
    EXPECT_EQ(copy.ProxyUser, "pu");
    EXPECT_EQ(copy.ProxyPassword, "pp");
    EXPECT_TRUE(copy.AcceptAnyStatus);
    EXPECT_EQ(copy.BlockSize, 4096);
    EXPECT_TRUE(copy.NoCookies);
    EXPECT_EQ(copy.TimeoutMs, 2000u);

    copy.Assign(nullptr);
    EXPECT_TRUE(copy.UserName.empty() && copy.ProxyPassword.empty());
    EXPECT_FALSE(copy.Resume || copy.AcceptAnyStatus || copy.NoCookies);
    EXPECT_EQ(copy.BlockSize, 0);
    EXPECT_EQ(copy.TimeoutMs, 0u);
    s.Clear();
    EXPECT_TRUE(s.ProxyHost.empty());
    EXPECT_EQ(s.EffectiveTimeoutMs(), 30000u);

    const struct {
        int32_t Set;
        DWORD Used;
    } blocks[] = {{0, 65537},     {-1, 65537},    {1, 1},        {4096, 4096},
                  {65536, 65536}, {65537, 65537}, {70000, 65537}};
    for (const auto& b : blocks) {
        s.BlockSize = b.Set;
        EXPECT_EQ(s.EffectiveBlockSize(), b.Used) << b.Set;
    }
}

TEST(HTTPGetObject, CreateSetsTheDefaults)
{
    THTTPGet get(7);
    EXPECT_EQ(get.Tag, 7);
    EXPECT_EQ(get.Accept, "*/*");
    EXPECT_EQ(get.UserAgent, "Tessaric HTTPGet");
    EXPECT_EQ(get.Mode, 0);
    EXPECT_FALSE(get.Aborted || get.Finished);
    EXPECT_EQ(get.Settings().BlockSize, 0);
    get.SetURL("  \thttp://h/x \r\n");
    EXPECT_EQ(get.URL(), "http://h/x");
    // The output is the caller's: the request object dies without touching it.
    TMemoryStreamWriter output;
    {
        THTTPGet other;
        other.Output = &output;
    }
    EXPECT_TRUE(output.WriteRaw("still mine"));
    // A writable unit constant: later objects take the changed value.
    const std::string saved = HTTPUserAgent;
    HTTPUserAgent = "Other";
    EXPECT_EQ(THTTPGet().UserAgent, "Other");
    HTTPUserAgent = saved;
}

// ---------------------------------------------------------------------------
// URL splitting

TEST(HTTPURL, SplitTable)
{
    const struct {
        const char* URL;
        const char* Host;
        int Port;
        const char* Path;
        bool Secure;
    } good[] = {
        {"http://127.0.0.1:8080/a?b=1", "127.0.0.1", 8080, "/a?b=1", false},
        {"HTTPS://Host/P", "Host", 443, "/P", true},
        {"http://Example.COM/Some/Path?Q=A", "Example.COM", 80, "/Some/Path?Q=A", false},
        {"https://h:8443/", "h", 8443, "/", true},
        {"http://h:443/x", "h", 443, "/x", false},
        {"http://h:65535/", "h", 65535, "/", false},
        // As written: "http://" is removed first, then "https://".
        {"http://https://h/x", "h", 443, "/x", true},
    };
    for (const auto& c : good) {
        THTTPURLParts parts;
        ASSERT_TRUE(SplitHTTPURL(c.URL, parts)) << c.URL;
        EXPECT_EQ(parts.Host, c.Host) << c.URL;
        EXPECT_EQ(parts.Port, c.Port) << c.URL;
        EXPECT_EQ(parts.Path, c.Path) << c.URL;
        EXPECT_EQ(parts.Secure, c.Secure) << c.URL;
    }
}

TEST_F(HTTPTest, UnusableURLsFailWithErrorCode2AndNeverConnect)
{
    const std::string port = std::to_string(service_->Port());
    const std::string bad[] = {
        "http://127.0.0.1:" + port,
        "ftp://127.0.0.1:" + port + "/x",
        "C:\\x.exe",
        "http://127.0.0.1:0/",
        "http://127.0.0.1:99999/",
        "http://127.0.0.1:x/",
        "http://127.0.0.1:/",
        "http:///x",
        "http://:" + port + "/x",
        "127.0.0.1:" + port + "/x",
    };
    for (const std::string& url : bad) {
        THTTPURLParts parts;
        parts.Host = "untouched";
        EXPECT_FALSE(SplitHTTPURL(url, parts)) << url;
        EXPECT_EQ(parts.Host, "untouched") << url;
        const TOutcome out = Execute(url);
        EXPECT_FALSE(out.Ok) << url;
        EXPECT_EQ(out.ErrorCode, 2) << url;
        EXPECT_EQ(out.DoneCount, 1) << url;
        EXPECT_TRUE(out.Finished) << url;
        EXPECT_TRUE(out.Progress.empty()) << url;
    }
    Sleep(200);
    EXPECT_EQ(service_->ConnectionCount(), 0u);
}

// ---------------------------------------------------------------------------
// Requests against the stand-in

TEST_F(HTTPTest, RequestTable)
{
    const std::string body = Pattern(1000);
    TBehaviour shortBody = Answer(200, body.substr(0, 999));
    shortBody.Length = TLength::Announce;
    shortBody.AnnouncedLength = 1000;
    TBehaviour noLength = Answer(200, body);
    noLength.Length = TLength::None;
    TBehaviour reset = Answer(200, body);
    reset.Length = TLength::None;
    reset.ResetAfterBytes = 500;
    service_->SetBehaviour("/ok", Answer(200, body));
    service_->SetBehaviour("/s300", Answer(300, body));
    service_->SetBehaviour("/s199", Answer(199, body));
    service_->SetBehaviour("/s404", Answer(404, "missing"));
    service_->SetBehaviour("/s301", Answer(301, "moved"));
    service_->SetBehaviour("/short", shortBody);
    service_->SetBehaviour("/nolength", noLength);
    service_->SetBehaviour("/reset", reset);

    using P = std::vector<std::pair<int64_t, int64_t>>;
    const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";
    const struct {
        const char* Name;
        std::string URL;
        std::function<void(THTTPGet&)> Setup;
        bool Ok;
        int32_t ErrorCode;
        int32_t Status;
        std::optional<std::string> Output; // not checked when unset
        std::optional<P> Progress;
    } cases[] = {
        {"200", URL("/ok"), nullptr, true, 0, 200, body, P{{0, 1000}, {1000, 1000}, {1000, 1000}}},
        {"300 passes", URL("/s300"), nullptr, true, 0, 300, body, {}},
        {"199 fails", URL("/s199"), nullptr, false, 0, 199, "", P{}},
        {"404 fails", URL("/s404"), nullptr, false, 0, 404, "", P{}},
        {"301 without Location fails", URL("/s301"), nullptr, false, 0, 301, "", P{}},
        {"404 read with AcceptAnyStatus", URL("/s404"),
         [](THTTPGet& g) { g.Settings().AcceptAnyStatus = true; }, true, 0, 404, "missing",
         P{{0, 7}, {7, 7}, {7, 7}}},
        {"999 of 1000 bytes", URL("/short"), nullptr, false, 0, 200, body.substr(0, 999),
         P{{0, 1000}, {999, 1000}}},
        {"no length", URL("/nolength"), nullptr, true, 0, 200, body,
         P{{0, 0}, {1000, 0}, {1000, 0}}},
        // The bytes of the failed read are lost; whatever came before stays.
        {"reset after 500 bytes, no length", URL("/reset"), nullptr, false, 0, 200, {}, {}},
        {"closed port", closed, nullptr, false, 4, 0, "", P{}},
        {"mode 1 on a 404", URL("/s404"), [](THTTPGet& g) { g.Mode = 1; }, true, 0, 404, "",
         P{{0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TOutcome out = Execute(c.URL, c.Setup);
        EXPECT_EQ(out.Ok, c.Ok);
        EXPECT_EQ(out.ErrorCode, c.ErrorCode);
        EXPECT_EQ(out.Status, c.Status);
        if (c.Output) {
            EXPECT_TRUE(out.Output == *c.Output) << out.Output.size();
        }
        if (c.Progress) {
            EXPECT_EQ(out.Progress, *c.Progress);
        }
        EXPECT_EQ(out.DoneCount, 1);
        EXPECT_TRUE(out.Finished);
    }
    // A mode-1 request is a HEAD.
    EXPECT_EQ(service_->Requests().back().Method, "HEAD");
}

TEST_F(HTTPTest, ModesWithHeaders)
{
    const std::string body = Pattern(3000, 2);
    service_->SetBehaviour("/page", Answer(200, body));
    {
        SCOPED_TRACE("mode 2: HEAD with the raw headers");
        const TOutcome out = Execute(URL("/page"), [](THTTPGet& g) { g.Mode = 2; });
        EXPECT_TRUE(out.Ok);
        EXPECT_EQ(out.Output.rfind("HTTP/1.1 200", 0), 0u) << out.Output;
        EXPECT_NE(out.Output.find("Content-Length: 3000\r\n"), std::string::npos) << out.Output;
        EXPECT_EQ(out.Output.find(body.substr(0, 16)), std::string::npos);
        EXPECT_EQ(service_->Requests().back().Method, "HEAD");
    }
    {
        SCOPED_TRACE("mode 3: the headers, then the body");
        THTTPGet get;
        get.SetURL(URL("/page"));
        get.Mode = 3;
        TMemoryStreamWriter output;
        output.WriteRaw("stale bytes");
        const TOutcome out = Execute(get, output);
        EXPECT_TRUE(out.Ok);
        EXPECT_EQ(out.Output.rfind("HTTP/1.1 200", 0), 0u);
        const size_t end = out.Output.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(out.Output.substr(end + 4), body);
        EXPECT_EQ(get.Total(), static_cast<int64_t>(out.Output.size()));
        EXPECT_EQ(service_->Requests().back().Method, "GET");
    }
}

TEST_F(HTTPTest, Resume)
{
    const std::string file = Pattern(1500, 3);
    const std::string etag = "\"v1\"";
    TBehaviour honour = Answer(200, file);
    honour.ETag = etag;
    TBehaviour ignore = honour;
    ignore.HonourRange = false;
    TBehaviour ignoreNoLength = ignore;
    ignoreNoLength.Length = TLength::None;
    TBehaviour honourNoLength = honour;
    honourNoLength.Length = TLength::None;
    TBehaviour changed = honour;
    changed.ETag = "\"v2\"";
    TBehaviour shifted = honour;
    shifted.RangeShift = 100;
    TBehaviour shortPart = honour;
    shortPart.RangeShort = 500; // "bytes 500-999/1500"
    service_->SetBehaviour("/honour", honour);
    service_->SetBehaviour("/ignore", ignore);
    service_->SetBehaviour("/ignore-nolength", ignoreNoLength);
    service_->SetBehaviour("/honour-nolength", honourNoLength);
    service_->SetBehaviour("/changed", changed);
    service_->SetBehaviour("/shifted", shifted);
    service_->SetBehaviour("/short", shortPart);

    const struct {
        const char* Name;
        const char* Path;
        bool WithValidator;
        bool Ok;
        int32_t Status;
        int64_t Total;
        bool OutputIsFile;
    } cases[] = {
        // The partial is continued: 500 held + 1000 announced.
        {"continued", "/honour", true, true, 206, 1500, true},
        // The whole body again: the output is emptied first, never appended to.
        {"range ignored", "/ignore", true, true, 200, 1500, true},
        {"range ignored, no length", "/ignore-nolength", true, true, 200, 0, true},
        {"file changed", "/changed", true, true, 200, 1500, true},
        // A 206 without length cannot be appended, and its body is not the file.
        {"partial without length", "/honour-nolength", true, false, 206, 0, false},
        // A part that does not run from the output's end to the file's end.
        {"shifted part", "/shifted", true, false, 206, 0, false},
        {"short part", "/short", true, false, 206, 0, false},
        // Nothing ties the partial to the server's file: start over.
        {"no validator", "/honour", false, true, 200, 1500, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THTTPGet get;
        get.SetURL(URL(c.Path));
        get.Settings().Resume = true;
        if (c.WithValidator)
            get.Settings().ResumeValidator = etag;
        TMemoryStreamWriter output;
        output.WriteRaw(file.substr(0, 500));
        const TOutcome out = Execute(get, output);
        EXPECT_EQ(out.Ok, c.Ok);
        EXPECT_EQ(out.Status, c.Status);
        const TRecordedRequest sent = service_->Requests().back();
        if (c.WithValidator) {
            EXPECT_EQ(sent.Header("Range"), "bytes=500-");
            EXPECT_EQ(sent.Header("If-Range"), etag);
        } else {
            EXPECT_FALSE(sent.HasHeader("Range"));
        }
        if (c.OutputIsFile) {
            EXPECT_TRUE(out.Output == file) << out.Output.size();
        }
        if (c.Ok) {
            EXPECT_EQ(get.Total(), c.Total);
            EXPECT_EQ(get.Validator, c.Path == std::string("/changed") ? "\"v2\"" : etag);
        }
    }

    SCOPED_TRACE("nothing to resume: no Range header");
    THTTPGet get;
    get.SetURL(URL("/honour"));
    get.Settings().Resume = true;
    get.Settings().ResumeValidator = etag;
    TMemoryStreamWriter output;
    EXPECT_TRUE(Execute(get, output).Ok);
    EXPECT_FALSE(service_->Requests().back().HasHeader("Range"));
}

TEST_F(HTTPTest, BlockSizes)
{
    service_->SetBehaviour("/big", Answer(200, Pattern(200000, 4)));
    const struct {
        int32_t BlockSize;
        int64_t Delta;
    } cases[] = {{0, 65537}, {70000, 65537}, {4096, 4096}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.BlockSize);
        const TOutcome out =
            Execute(URL("/big"), [&](THTTPGet& g) { g.Settings().BlockSize = c.BlockSize; });
        ASSERT_TRUE(out.Ok);
        ASSERT_GE(out.Progress.size(), 3u);
        // Under Wine a synchronous read fills the block unless the body ends
        // (Windows may return less per call).
        for (size_t i = 1; i + 2 < out.Progress.size(); ++i)
            EXPECT_EQ(out.Progress[i].first - out.Progress[i - 1].first, c.Delta) << i;
        const int64_t last = out.Progress[out.Progress.size() - 2].first -
                             out.Progress[out.Progress.size() - 3].first;
        EXPECT_EQ(last, 200000 % c.Delta);
        EXPECT_EQ(out.Progress.back(), std::make_pair(int64_t{200000}, int64_t{200000}));
    }
}

TEST_F(HTTPTest, WhatTheServerReceives)
{
    {
        SCOPED_TRACE("a query becomes a form POST");
        service_->SetBehaviour("/form", Answer(200, "posted"));
        std::string body;
        int32_t status = 0;
        EXPECT_TRUE(HttpGetString(URL("/form?a=1&b=2?c"), nullptr, body, nullptr, &status));
        EXPECT_EQ(body, "posted");
        EXPECT_EQ(status, 200);
        const TRecordedRequest r = service_->Requests().back();
        EXPECT_EQ(r.Method, "POST");
        EXPECT_EQ(r.Target, "/form");
        EXPECT_EQ(r.Body, "a=1&b=2?c");
        EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
    }
    {
        SCOPED_TRACE("no query: a GET, and the body whatever the outcome");
        service_->SetPhone("12");
        std::string body;
        int32_t error = -1;
        EXPECT_TRUE(HttpGetString(URL("/client.asmx/GetPhone"), nullptr, body, &error));
        EXPECT_EQ(body, "<Phone>12</Phone>");
        EXPECT_EQ(error, 0);
        EXPECT_EQ(service_->Requests().back().Method, "GET");
        EXPECT_FALSE(service_->Requests().back().HasHeader("Content-Type"));
        TBehaviour shortBody = Answer(200, "0123456789");
        shortBody.Length = TLength::Announce;
        shortBody.AnnouncedLength = 11;
        service_->SetBehaviour("/short", shortBody);
        EXPECT_FALSE(HttpGetString(URL("/short"), nullptr, body));
        EXPECT_EQ(body, "0123456789");
        THTTPSettings any;
        any.AcceptAnyStatus = true;
        int32_t status = 0;
        EXPECT_TRUE(HttpGetString(URL("/missing"), &any, body, nullptr, &status));
        EXPECT_EQ(status, 404);
        EXPECT_NE(body.find("Not Found"), std::string::npos);
    }
    {
        SCOPED_TRACE("a SOAP request arrives byte-exact");
        const std::string envelope =
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
            "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
            "<CheckBHO xmlns=\"urn:x\"><callType>1</callType><BHO_List><BHO><BHO_ID>\xC3\xA9"
            "</BHO_ID></BHO></BHO_List></CheckBHO></soap:Body></soap:Envelope>";
        const TOutcome out = Execute(URL("/client.asmx"), [&](THTTPGet& g) {
            g.PostData = envelope;
            g.ContentTypeHeader = "Content-Type: text/xml; charset=utf-8";
            g.ExtraHeaders = "SOAPAction: \"urn:x/CheckBHO\"";
        });
        EXPECT_TRUE(out.Ok);
        const TRecordedRequest r = service_->Requests().back();
        EXPECT_EQ(r.Method, "POST");
        EXPECT_TRUE(r.Body == envelope);
        EXPECT_EQ(r.Header("Content-Type"), "text/xml; charset=utf-8");
        EXPECT_EQ(r.Header("SOAPAction"), "\"urn:x/CheckBHO\"");
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(envelope.size()));
    }
    {
        SCOPED_TRACE("agent, referrer and accept type");
        Execute(URL("/a"));
        TRecordedRequest r = service_->Requests().back();
        EXPECT_EQ(r.Header("User-Agent"), "Tessaric HTTPGet");
        EXPECT_EQ(r.Header("Accept"), "*/*");
        EXPECT_FALSE(r.HasHeader("Referer"));
        Execute(URL("/b"), [](THTTPGet& g) {
            g.UserAgent.clear();
            g.Referrer = "http://ref.example/page";
            g.Accept = "text/plain";
        });
        r = service_->Requests().back();
        EXPECT_FALSE(r.HasHeader("User-Agent"));
        EXPECT_EQ(r.Header("Referer"), "http://ref.example/page");
        EXPECT_EQ(r.Header("Accept"), "text/plain");
    }
    {
        SCOPED_TRACE("NoCookies");
        const std::string name = "k" + std::to_string(GetTickCount());
        TBehaviour setCookie = Answer(200, "cookie");
        setCookie.ExtraHeaders = {"Set-Cookie: " + name + "=v1; path=/"};
        service_->SetBehaviour("/cookie", setCookie);
        ASSERT_TRUE(Execute(URL("/cookie")).Ok);
        Execute(URL("/with"));
        EXPECT_NE(service_->Requests().back().Header("Cookie").find(name + "=v1"),
                  std::string::npos);
        Execute(URL("/without"), [](THTTPGet& g) { g.Settings().NoCookies = true; });
        EXPECT_FALSE(service_->Requests().back().HasHeader("Cookie"));
    }
}

TEST_F(HTTPTest, ThroughAProxy)
{
    // The target's port is closed: only the proxy can answer.
    const std::string target = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/proxied?q=1";
    TBehaviour challenge = Answer(200, "via proxy");
    challenge.ProxyChallenge = true;
    challenge.ProxyUser = "puser";
    challenge.ProxyPassword = "ppass";
    service_->SetBehaviour("/proxied", challenge);
    auto viaProxy = [&](bool credentials) {
        return Execute(target, [&](THTTPGet& g) {
            g.Settings().ProxyHost = "127.0.0.1";
            g.Settings().ProxyPort = std::to_string(service_->Port());
            if (credentials) {
                g.Settings().ProxyUser = "puser";
                g.Settings().ProxyPassword = "ppass";
            }
        });
    };

    TOutcome out = viaProxy(false);
    EXPECT_FALSE(out.Ok);
    EXPECT_EQ(out.Status, 407);
    ASSERT_GE(service_->RequestCount(), 1u);
    TRecordedRequest r = service_->Requests().back();
    EXPECT_EQ(r.Target.rfind("http://127.0.0.1:", 0), 0u) << r.Target;
    EXPECT_TRUE(r.Target.ends_with("/proxied?q=1")) << r.Target;
    EXPECT_EQ(r.Path, "/proxied");

    out = viaProxy(true);
    EXPECT_TRUE(out.Ok);
    EXPECT_EQ(out.Status, 200);
    EXPECT_EQ(out.Output, "via proxy");
    EXPECT_EQ(service_->Requests().back().Header("Proxy-Authorization"),
              "Basic " + fakeservice::Base64("puser:ppass"));
}

// ---------------------------------------------------------------------------
// Hangs and aborts

// Records the receive time-outs set on WinInet handles while it lives.
class TTimeoutRecorder {
public:
    TTimeoutRecorder()
    {
        timeouts_.clear();
        api_ = DefaultHTTPApi();
        api_.InternetSetOptionA = &Set;
        SetHTTPApi(&api_);
    }
    ~TTimeoutRecorder() { SetHTTPApi(nullptr); }
    static std::set<DWORD> ReceiveTimeouts() { return timeouts_; }

private:
    static BOOL WINAPI Set(HINTERNET h, DWORD option, LPVOID buffer, DWORD length)
    {
        if (option == INTERNET_OPTION_RECEIVE_TIMEOUT && buffer && length == sizeof(DWORD))
            timeouts_.insert(*static_cast<DWORD*>(buffer));
        return ::InternetSetOptionA(h, option, buffer, length);
    }
    THTTPApi api_;
    static inline std::set<DWORD> timeouts_;
};

// Counts the closes of each WinInet handle while it lives.
class TCloseCounter {
public:
    TCloseCounter()
    {
        api_ = DefaultHTTPApi();
        api_.InternetCloseHandle = &Close;
        SetHTTPApi(&api_);
    }
    ~TCloseCounter() { SetHTTPApi(nullptr); }
    static int MaxCloses()
    {
        std::lock_guard lock(mutex_);
        int most = 0;
        for (const auto& [h, n] : closes_)
            most = std::max(most, n);
        return most;
    }
    static size_t Handles()
    {
        std::lock_guard lock(mutex_);
        return closes_.size();
    }

private:
    static BOOL WINAPI Close(HINTERNET h)
    {
        {
            std::lock_guard lock(mutex_);
            ++closes_[h];
        }
        return ::InternetCloseHandle(h);
    }
    THTTPApi api_;
    static inline std::mutex mutex_;
    static inline std::map<HINTERNET, int> closes_;
};

TEST_F(HTTPTest, StalledServersAreBoundedByTheTimeout)
{
    // Stalls far longer than the time-out; the service's stop ends them.
    TBehaviour beforeHeaders = Answer(200, Pattern(1000));
    beforeHeaders.StallBeforeHeadersMs = 60000;
    TBehaviour midBody = Answer(200, Pattern(1000));
    midBody.StallAfterBytes = 100;
    midBody.StallMs = 60000;
    service_->SetBehaviour("/stall-headers", beforeHeaders);
    service_->SetBehaviour("/stall-body", midBody);
    for (const char* path : {"/stall-headers", "/stall-body"}) {
        SCOPED_TRACE(path);
        TTimeoutRecorder recorder;
        const TOutcome out = Execute(URL(path), [](THTTPGet& g) { g.Settings().TimeoutMs = 2000; });
        EXPECT_FALSE(out.Ok);
        // The request gave up while the server still stalled: the time-out,
        // not the server, ended it.
        EXPECT_EQ(0u, service_->StallsEnded());
        EXPECT_EQ(out.DoneCount, 1);
        EXPECT_TRUE(out.Finished);
        EXPECT_EQ((std::set<DWORD>{2000}), recorder.ReceiveTimeouts());
    }
}

TEST_F(HTTPTest, AbortFromOnProgress)
{
    service_->SetBehaviour("/big", Answer(200, Pattern(200000, 5)));
    THTTPGet get;
    get.SetURL(URL("/big"));
    get.Settings().BlockSize = 4096;
    int calls = 0;
    get.OnProgress = [&](THTTPGet& sender, int64_t, int64_t) {
        if (++calls == 3) {
            EXPECT_FALSE(sender.Abort(0)); // not finished while it runs
        }
    };
    TMemoryStreamWriter output;
    const TOutcome out = Execute(get, output);
    EXPECT_FALSE(out.Ok);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(out.DoneCount, 1);
    EXPECT_TRUE(out.Finished);
    EXPECT_TRUE(get.Aborted);
    EXPECT_TRUE(get.Abort(0));
}

TEST_F(HTTPTest, AbortFromAnotherThreadDuringAStall)
{
    TCloseCounter counter;
    TBehaviour stall = Answer(200, Pattern(1000));
    stall.StallAfterBytes = 100;
    stall.StallMs = 60000;
    service_->SetBehaviour("/stall", stall);
    THTTPGet get;
    get.SetURL(URL("/stall"));
    get.Settings().TimeoutMs = 3000;
    get.Settings().BlockSize = 10;
    TMemoryStreamWriter output;
    bool aborted = false;
    HANDLE aborter = RunOnThread([&] {
        while (get.Received() < 100)
            Sleep(10);
        Sleep(300);
        aborted = get.Abort(30000);
    });
    ASSERT_NE(aborter, nullptr);
    const TOutcome out = Execute(get, output);
    WaitForSingleObject(aborter, 10000);
    CloseHandle(aborter);
    EXPECT_FALSE(out.Ok);
    EXPECT_EQ(0u, service_->StallsEnded()) << "ended before the server went on";
    EXPECT_TRUE(aborted);
    EXPECT_EQ(out.DoneCount, 1);
    EXPECT_TRUE(out.Finished);
    EXPECT_EQ(TCloseCounter::MaxCloses(), 1);
    EXPECT_GE(TCloseCounter::Handles(), 3u); // session, connection, request
}

// A read that, the first time, lets another thread abort while it is in
// flight and notes whether its handle was closed meanwhile.
struct THeldRead {
    static inline HANDLE inRead = nullptr;
    static inline HANDLE abortDone = nullptr;
    static inline std::atomic<bool> held{false};
    static inline std::atomic<bool> closedDuringRead{false};
    static inline std::atomic<HINTERNET> readHandle{nullptr};
    static inline std::mutex mutex;
    static inline std::map<HINTERNET, int> closes;

    static BOOL WINAPI Read(HINTERNET h, LPVOID buffer, DWORD size, LPDWORD read)
    {
        if (!held.exchange(true)) {
            readHandle = h;
            SetEvent(inRead);
            WaitForSingleObject(abortDone, 60000);
            std::lock_guard lock(mutex);
            closedDuringRead = closes.count(h) > 0;
        }
        return ::InternetReadFile(h, buffer, size, read);
    }
    static BOOL WINAPI Close(HINTERNET h)
    {
        {
            std::lock_guard lock(mutex);
            ++closes[h];
        }
        return ::InternetCloseHandle(h);
    }
};

TEST_F(HTTPTest, AbortNeverClosesTheHandleUnderACallInFlight)
{
    THeldRead::inRead = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    THeldRead::abortDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    THTTPApi api = DefaultHTTPApi();
    api.InternetReadFile = &THeldRead::Read;
    api.InternetCloseHandle = &THeldRead::Close;
    SetHTTPApi(&api);
    service_->SetBehaviour("/held", Answer(200, Pattern(1000)));
    THTTPGet get;
    get.SetURL(URL("/held"));
    HANDLE aborter = RunOnThread([&] {
        WaitForSingleObject(THeldRead::inRead, 60000);
        get.Abort(0);
        SetEvent(THeldRead::abortDone);
    });
    ASSERT_NE(aborter, nullptr);
    TMemoryStreamWriter output;
    const TOutcome out = Execute(get, output);
    WaitForSingleObject(aborter, 60000);
    CloseHandle(aborter);
    SetHTTPApi(nullptr);
    CloseHandle(THeldRead::inRead);
    CloseHandle(THeldRead::abortDone);
    EXPECT_FALSE(out.Ok);
    EXPECT_TRUE(out.Finished);
    EXPECT_FALSE(THeldRead::closedDuringRead) << "closed while the read used it";
    std::lock_guard lock(THeldRead::mutex);
    EXPECT_EQ(1, THeldRead::closes[THeldRead::readHandle]) << "closed once, after the read";
}

TEST_F(HTTPTest, ThrowingCallbacksFailTheRequestOnly)
{
    service_->SetBehaviour("/ok", Answer(200, "x"));
    THTTPGet get;
    get.SetURL(URL("/ok"));
    get.OnProgress = [](THTTPGet&, int64_t, int64_t) { throw std::runtime_error("progress"); };
    int done = 0;
    get.OnDone = [&](THTTPGet&) {
        ++done;
        throw std::runtime_error("done");
    };
    TMemoryStreamWriter output;
    get.Output = &output;
    EXPECT_FALSE(get.ExecuteRequest());
    EXPECT_EQ(done, 1);
    EXPECT_TRUE(get.Finished);
}

// HttpOpenRequestA that fails the first call (or all), recording the verbs.
std::vector<std::string> gOpenVerbs;
std::vector<DWORD> gOpenFlags;
bool gOpenFailAll = false;
HINTERNET WINAPI FailingOpen(HINTERNET c, LPCSTR verb, LPCSTR path, LPCSTR version, LPCSTR ref,
                             LPCSTR* accept, DWORD flags, DWORD_PTR context)
{
    gOpenVerbs.emplace_back(verb);
    gOpenFlags.push_back(flags);
    if (gOpenFailAll || gOpenVerbs.size() == 1) {
        SetLastError(ERROR_INTERNET_INVALID_OPERATION);
        return nullptr;
    }
    return ::HttpOpenRequestA(c, verb, path, version, ref, accept, flags, context);
}

TEST_F(HTTPTest, FailedOpenIsRetriedOnceWithGet)
{
    gOpenVerbs.clear();
    THTTPApi api = DefaultHTTPApi();
    api.HttpOpenRequestA = &FailingOpen;
    SetHTTPApi(&api);
    service_->SetBehaviour("/ok", Answer(200, "x"));
    TOutcome out = Execute(URL("/ok"), [](THTTPGet& g) { g.PostData = "a=1"; });
    EXPECT_TRUE(out.Ok);
    EXPECT_EQ(gOpenVerbs, (std::vector<std::string>{"POST", "GET"}));
    gOpenFailAll = true;
    gOpenVerbs.clear();
    out = Execute(URL("/ok"));
    gOpenFailAll = false;
    SetHTTPApi(nullptr);
    EXPECT_FALSE(out.Ok);
    EXPECT_EQ(out.ErrorCode, 3);
    EXPECT_EQ(gOpenVerbs.size(), 2u);
    EXPECT_EQ(out.DoneCount, 1);
}

TEST_F(HTTPTest, VerbAndFlags)
{
    THTTPApi api = DefaultHTTPApi();
    api.HttpOpenRequestA = &FailingOpen;
    SetHTTPApi(&api);
    gOpenFailAll = true;
    const std::string port = std::to_string(service_->Port());
    const struct {
        const char* Name;
        std::string URL;
        std::function<void(THTTPGet&)> Setup;
        const char* Verb;
        DWORD Flags;
    } cases[] = {
        {"GET", URL("/x"), nullptr, "GET", INTERNET_FLAG_RELOAD},
        {"https", "https://127.0.0.1:" + port + "/x", nullptr, "GET",
         INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE},
        {"NoCookies", URL("/x"), [](THTTPGet& g) { g.Settings().NoCookies = true; }, "GET",
         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_COOKIES},
        {"POST", URL("/x"), [](THTTPGet& g) { g.PostData = "a=1"; }, "POST", INTERNET_FLAG_RELOAD},
        {"mode 1 with a body", URL("/x"),
         [](THTTPGet& g) {
             g.PostData = "a=1";
             g.Mode = 1;
         },
         "HEAD", INTERNET_FLAG_RELOAD},
        {"mode 2", URL("/x"), [](THTTPGet& g) { g.Mode = 2; }, "HEAD", INTERNET_FLAG_RELOAD},
        {"mode 3", URL("/x"), [](THTTPGet& g) { g.Mode = 3; }, "GET", INTERNET_FLAG_RELOAD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        gOpenVerbs.clear();
        gOpenFlags.clear();
        const TOutcome out = Execute(c.URL, c.Setup);
        EXPECT_EQ(out.ErrorCode, 3);
        ASSERT_EQ(gOpenVerbs.size(), 2u);
        EXPECT_EQ(gOpenVerbs[0], c.Verb);
        EXPECT_EQ(gOpenVerbs[1], "GET");
        EXPECT_EQ(gOpenFlags[0], c.Flags);
        EXPECT_EQ(gOpenFlags[1], c.Flags);
    }
    gOpenFailAll = false;
    SetHTTPApi(nullptr);
}

// A writer whose stream refuses writes after a limit (a full disk).
class TFullStream : public TMemoryStream {
public:
    int32_t Write(const void* buffer, int32_t count) override
    {
        if (GetSize() + count > 1000)
            throw EStreamError("disk full");
        return TMemoryStream::Write(buffer, count);
    }
};

TEST_F(HTTPTest, AFailedWriteFailsTheRequest)
{
    service_->SetBehaviour("/big", Answer(200, Pattern(5000)));
    TFullStream stream;
    TStreamWriter writer(&stream);
    THTTPGet get;
    get.SetURL(URL("/big"));
    get.Output = &writer;
    EXPECT_FALSE(get.ExecuteRequest());
    EXPECT_EQ(get.Status, 200);
}

// ---------------------------------------------------------------------------
// DownloadToFile

TEST_F(HTTPTest, DownloadToFile)
{
    const std::string file = Pattern(70000, 6);
    TBehaviour shortBody = Answer(200, file.substr(0, 999));
    shortBody.Length = TLength::Announce;
    shortBody.AnnouncedLength = 1000;
    TBehaviour reset = Answer(200, file);
    reset.ResetAfterBytes = 500;
    TBehaviour whole = Answer(200, file);
    whole.ETag = "\"f1\"";
    service_->SetBehaviour("/file.bin", whole);
    service_->SetBehaviour("/short", shortBody);
    service_->SetBehaviour("/reset", reset);

    const std::string target = dirAnsi_ + "sub\\dir\\file.bin";
    int32_t error = -1, status = -1;
    {
        // The folders it makes inherit their parent's security.
        filetest::TRecorderScope recorder;
        std::string validator;
        ASSERT_TRUE(DownloadToFile(URL("/file.bin"), target, nullptr, &error, &status, &validator));
        EXPECT_EQ(validator, "\"f1\"");
        const auto calls = recorder.Calls();
        EXPECT_FALSE(calls.empty());
        for (const auto& call : calls)
            EXPECT_FALSE(call.HasDescriptor) << call.Api << " " << call.Path << " " << call.Sddl;
    }
    EXPECT_EQ(error, 0);
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(ktest::ReadFileBytes(AnsiToWide(target)) == file);

    for (const char* path : {"/short", "/missing", "/reset"}) {
        SCOPED_TRACE(path);
        const std::string failed = dirAnsi_ + "failed.bin";
        EXPECT_FALSE(DownloadToFile(URL(path), failed, nullptr));
        EXPECT_EQ(GetFileAttributesA(failed.c_str()), INVALID_FILE_ATTRIBUTES);
    }

    SCOPED_TRACE("resuming appends, and a failed resume deletes the partial file");
    const std::string partial = dirAnsi_ + "partial.bin";
    WriteFile(L"partial.bin", file.substr(0, 500));
    THTTPSettings resume;
    resume.Resume = true;
    resume.ResumeValidator = "\"f1\"";
    EXPECT_TRUE(DownloadToFile(URL("/file.bin"), partial, &resume, nullptr, &status));
    EXPECT_EQ(status, 206);
    EXPECT_TRUE(ktest::ReadFileBytes(AnsiToWide(partial)) == file);
    WriteFile(L"partial.bin", file.substr(0, 500));
    EXPECT_FALSE(DownloadToFile(URL("/missing"), partial, &resume));
    EXPECT_EQ(GetFileAttributesA(partial.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(HTTPTest, DownloadToAHeldFileMakesNoRequest)
{
    const std::wstring path = WriteFile(L"held.bin", "old");
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    int32_t error = -1;
    EXPECT_FALSE(DownloadToFile(URL("/file.bin"), WideToAnsi(path), nullptr, &error));
    CloseHandle(held);
    EXPECT_EQ(error, -1);
    EXPECT_EQ(service_->ConnectionCount(), 0u);
    EXPECT_EQ(ktest::ReadFileBytes(path), "old");
}

// ---------------------------------------------------------------------------
// The stand-in itself

TEST_F(HTTPTest, StandInEndpoints)
{
    service_->SetBlack("{B1B1B1B1-0000-0000-0000-000000000002}", "Bad \xC3\xA9 toolbar");
    auto checkBHO = [&](int callType) {
        std::string request = "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
                              "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
                              "<CheckBHO xmlns=\"urn:x\"><CFG>24</CFG><UID>u</UID><callType>" +
                              std::to_string(callType) + "</callType><BHO_List>";
        for (const char* id :
             {"{A0000000-0000-0000-0000-000000000001}", "{B1B1B1B1-0000-0000-0000-000000000002}",
              "{C0000000-0000-0000-0000-000000000003}"})
            request += std::string("<BHO><BHO_ID>") + id + "</BHO_ID><note>n</note></BHO>";
        request += "</BHO_List></CheckBHO></soap:Body></soap:Envelope>";
        return Execute(URL("/client.asmx"), [&](THTTPGet& g) {
            g.PostData = request;
            g.ContentTypeHeader = "Content-Type: text/xml; charset=utf-8";
            g.ExtraHeaders = "SOAPAction: \"urn:x/CheckBHO\"";
        });
    };

    TOutcome out = checkBHO(0);
    ASSERT_TRUE(out.Ok);
    EXPECT_EQ(out.Status, 200);
    TXML xml;
    xml.LoadFromString(out.Output);
    TXMLTag* result = TXMLTag::FindPath(
        xml.Root(), {"soap:Envelope", "soap:Body", "CheckBHOResponse", "CheckBHOResult"});
    ASSERT_NE(result, nullptr) << out.Output;
    ASSERT_EQ(result->ChildCount(), 1);
    TXMLTag* one = result->FindFirst("BHO_Result");
    EXPECT_EQ(TXMLTag::GetText(TXMLTag::FindPath(one, {"BHO_ID"})),
              "{B1B1B1B1-0000-0000-0000-000000000002}");
    EXPECT_EQ(TXMLTag::GetText(TXMLTag::FindPath(one, {"note"})), "Bad \xC3\xA9 toolbar");

    out = checkBHO(1);
    EXPECT_TRUE(out.Ok);
    xml.LoadFromString(out.Output);
    result = TXMLTag::FindPath(
        xml.Root(), {"soap:Envelope", "soap:Body", "CheckBHOResponse", "CheckBHOResult"});
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->ChildCount(), 0);

    service_->SetPhone("12");
    out = Execute(URL("/client.asmx/GetPhone?CFG=24&LNG=en"));
    EXPECT_EQ(out.Output, "<Phone>12</Phone>");
    EXPECT_EQ(service_->Requests().back().Query, "CFG=24&LNG=en");

    // The install report's envelope is read with the very table the program uses.
    TCryptURL envelope(true);
    envelope.SetValue("CFG", "24");
    envelope.SetValue("UID", "user 1");
    std::string query;
    envelope.BuildQuery(query);
    out = Execute(URL("/client.asmx/GetXML?action=INMOSTREL&cr=" + query));
    EXPECT_TRUE(out.Ok);
    const TRecordedRequest r = service_->Requests().back();
    ASSERT_EQ(r.Envelope.size(), 3u);
    EXPECT_EQ(r.Envelope[0], std::make_pair(std::string("CFG"), std::string("24")));
    EXPECT_EQ(r.Envelope[1], std::make_pair(std::string("UID"), std::string("user 1")));
    EXPECT_EQ(r.Envelope[2].first, "RANDOMIZER");

    const std::string page = Pattern(4321, 7);
    WriteFile(L"appDefault.aspx", page);
    THTTPGet head;
    head.SetURL(URL("/appDefault.aspx?page=faq"));
    head.Mode = 1;
    TMemoryStreamWriter output;
    out = Execute(head, output);
    EXPECT_TRUE(out.Ok);
    EXPECT_EQ(head.ContentLength, 4321);
    EXPECT_TRUE(out.Output.empty());
    out = Execute(URL("/appDefault.aspx"));
    EXPECT_TRUE(out.Output == page);
    // Nothing outside the root is served.
    EXPECT_EQ(Execute(URL("/../x")).Status, 404);
}

TEST_F(HTTPTest, StandInProgram)
{
    const std::wstring exe =
        ktest::ProgramPath().substr(0, ktest::ProgramPath().rfind(L'\\') + 1) + L"fakeservice.exe";
    WriteFile(L"news.htm", "<html>news</html>");
    const std::wstring log = dir_ + L"requests.log";
    auto start = [&](int deadline, PROCESS_INFORMATION& pi, uint16_t& port) {
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!CreatePipe(&readEnd, &writeEnd, &sa, 0))
            return false;
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writeEnd;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        std::wstring cmd = L"\"" + exe + L"\" --root \"" + dir_.substr(0, dir_.size() - 1) +
                           L"\" --log \"" + log + L"\" --deadline " + std::to_wstring(deadline);
        const bool started = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0,
                                            nullptr, nullptr, &si, &pi);
        CloseHandle(writeEnd);
        std::string line;
        char c = 0;
        DWORD n = 0;
        while (started && line.size() < 64 && ReadFile(readEnd, &c, 1, &n, nullptr) && n == 1 &&
               c != '\n')
            line += c;
        CloseHandle(readEnd);
        if (!started || line.rfind("port=", 0) != 0)
            return false;
        port = static_cast<uint16_t>(std::stoi(line.substr(5)));
        return true;
    };

    PROCESS_INFORMATION pi{};
    uint16_t port = 0;
    ASSERT_TRUE(start(3, pi, port));
    std::string body;
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_TRUE(HttpGetString(base + "/news.htm", nullptr, body));
    EXPECT_EQ(body, "<html>news</html>");
    EXPECT_TRUE(HttpGetString(base + "/client.asmx/GetPhone", nullptr, body));
    // No request asks it to quit: only its deadline ends it.
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0) << "deadline not kept";
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    const std::string logged = ktest::ReadFileBytes(log);
    EXPECT_NE(logged.find("GET /news.htm HTTP/1.1\r\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("GET /client.asmx/GetPhone HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(logged.find("User-Agent: Tessaric HTTPGet\r\n"), std::string::npos);

    SCOPED_TRACE("GET /__quit ends it early");
    ASSERT_TRUE(start(60, pi, port));
    HttpGetString("http://127.0.0.1:" + std::to_string(port) + "/__quit", nullptr, body);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

} // namespace
