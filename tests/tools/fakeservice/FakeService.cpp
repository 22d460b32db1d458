#include "FakeService.h"

#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/HashU.h"
#include "platform/SysUtilsU.h"
#include "platform/XmlU.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>

namespace fakeservice {
namespace {

constexpr size_t kMaxHeaderBytes = 1 << 20;
constexpr size_t kMaxBodyBytes = 64 << 20;
constexpr DWORD kReceiveTimeoutMs = 10000;
constexpr DWORD kAcceptPollMs = 50;
constexpr DWORD kThreadEndWaitMs = 15000;
// Lets the bytes before a reset reach the client before the connection is
// torn down (a reset drops what is still unsent).
constexpr DWORD kResetDelayMs = 150;

constexpr char kEnvelopeStart[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
                                  "xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                  "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                  "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"><soap:Body>";
constexpr char kEnvelopeEnd[] = "</soap:Body></soap:Envelope>";
constexpr char kServiceNamespace[] = "urn:korvelle-fakeservice";

struct TReason {
    int Status;
    const char* Text;
};
constexpr TReason kReasons[] = {
    {200, "OK"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {400, "Bad Request"},
    {404, "Not Found"},
    {407, "Proxy Authentication Required"},
    {416, "Range Not Satisfiable"},
    {500, "Internal Server Error"},
};

const char* ReasonOf(int status)
{
    for (const TReason& r : kReasons)
        if (r.Status == status)
            return r.Text;
    return "Status";
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && SameTextAscii(s.substr(0, prefix.size()), prefix);
}

std::string EscapeForLog(std::string_view s)
{
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

bool SendAll(SOCKET s, const char* data, size_t size)
{
    while (size > 0) {
        const int n = send(s, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Half-closes and lets the client read to the end, so it sees a close rather
// than a reset.
void CloseGracefully(SOCKET s)
{
    shutdown(s, SD_SEND);
    char drain[512];
    DWORD timeout = 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    while (recv(s, drain, sizeof(drain), 0) > 0) {
    }
    closesocket(s);
}

void CloseWithReset(SOCKET s)
{
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
    closesocket(s);
}

std::string ReadWholeFile(const std::string& path, bool& found)
{
    found = false;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string data;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(h, &size) && size.QuadPart <= static_cast<LONGLONG>(kMaxBodyBytes)) {
        data.resize(static_cast<size_t>(size.QuadPart));
        DWORD done = 0;
        found = data.empty() ||
                (ReadFile(h, data.data(), static_cast<DWORD>(data.size()), &done, nullptr) &&
                 done == data.size());
    }
    CloseHandle(h);
    return found ? data : std::string();
}

// A path under the root, or '' when the path could leave it.
std::string FileUnderRoot(const std::string& root, const std::string& path)
{
    if (root.empty() || path.size() < 2 || path[0] != '/')
        return {};
    std::string relative = path.substr(1);
    std::replace(relative.begin(), relative.end(), '/', '\\');
    if (relative.find(':') != std::string::npos || relative[0] == '\\')
        return {};
    size_t start = 0;
    for (;;) {
        const size_t end = relative.find('\\', start);
        const std::string part = relative.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return {};
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return IncludeTrailingBackslash(root) + relative;
}

// The "&"-separated parts of a query, as sent.
std::vector<std::string> SplitQuery(const std::string& query)
{
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t amp = query.find('&', start);
        parts.push_back(query.substr(start, amp - start));
        if (amp == std::string::npos)
            return parts;
        start = amp + 1;
    }
}

struct TConnectionStart {
    TFakeService* Service;
    SOCKET Socket;
};

} // namespace

bool ParseFailureSwitch(std::string_view Text, std::string& Path, TBehaviour& Behaviour)
{
    // Long enough to outlast any client's time-out; the stop ends it.
    constexpr DWORD kStallMs = 24 * 3600 * 1000;
    const size_t equals = Text.rfind('=');
    if (equals == std::string_view::npos || equals == 0 || Text[0] != '/')
        return false;
    const std::string_view kind = Text.substr(equals + 1);
    TBehaviour behaviour;
    if (kind.starts_with("status:")) {
        int32_t status = 0;
        if (!TryStrToInt(std::string(kind.substr(7)), status) || status < 100 || status > 599)
            return false;
        behaviour.Status = status;
    } else if (kind == "short") {
        behaviour.ShortByHalf = true;
    } else if (kind == "nolength") {
        behaviour.Length = TLength::None;
    } else if (kind == "stall") {
        behaviour.StallAfterBytes = 1;
        behaviour.StallMs = kStallMs;
    } else if (kind == "empty") {
        behaviour.Body = std::string();
    } else {
        return false;
    }
    Path = std::string(Text.substr(0, equals));
    Behaviour = std::move(behaviour);
    return true;
}

std::string Base64(std::string_view Bytes)
{
    std::string s = EncodeQueryBase64(Bytes);
    for (char& c : s) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
        else if (c == '@')
            c = '=';
    }
    return s;
}

std::string TRecordedRequest::Header(std::string_view Name) const
{
    for (const auto& [name, value] : Headers)
        if (SameTextAscii(name, Name))
            return value;
    return {};
}

bool TRecordedRequest::HasHeader(std::string_view Name) const
{
    for (const auto& header : Headers)
        if (SameTextAscii(header.first, Name))
            return true;
    return false;
}

TFakeService::TFakeService(std::string RootDir, DWORD DeadlineMs)
    : root_(std::move(RootDir)), deadlineMs_(DeadlineMs)
{
    WSADATA data{};
    winsock_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

TFakeService::~TFakeService()
{
    Stop();
    if (stopEvent_)
        CloseHandle(stopEvent_);
    if (winsock_)
        WSACleanup();
}

bool TFakeService::Start()
{
    if (!winsock_ || !stopEvent_ || listen_ != INVALID_SOCKET)
        return false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // never 0.0.0.0
    int length = sizeof(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s, SOMAXCONN) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(s);
        return false;
    }
    listen_ = s;
    port_ = ntohs(address.sin_port);
    startTick_ = GetTickCount();
    acceptThread_ = CreateThread(nullptr, 0, AcceptProc, this, 0, nullptr);
    if (!acceptThread_) {
        closesocket(listen_);
        listen_ = INVALID_SOCKET;
        return false;
    }
    return true;
}

void TFakeService::Stop()
{
    if (!acceptThread_)
        return;
    SetEvent(stopEvent_);
    WaitForSingleObject(acceptThread_, INFINITE);
    CloseHandle(acceptThread_);
    acceptThread_ = nullptr;
    std::vector<HANDLE> threads;
    {
        std::lock_guard lock(mutex_);
        for (SOCKET s : sockets_)
            shutdown(s, SD_BOTH);
        threads.swap(threads_);
    }
    for (HANDLE h : threads) {
        WaitForSingleObject(h, kThreadEndWaitMs);
        CloseHandle(h);
    }
}

bool TFakeService::WaitStopped(DWORD Ms)
{
    return !acceptThread_ || WaitForSingleObject(acceptThread_, Ms) == WAIT_OBJECT_0;
}

std::string TFakeService::URL(std::string_view Path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(Path);
}

void TFakeService::SetBehaviour(const std::string& Path, TBehaviour Behaviour)
{
    std::lock_guard lock(mutex_);
    behaviours_[Path] = std::move(Behaviour);
}

void TFakeService::SetBlack(const std::string& Id, const std::string& Note)
{
    std::lock_guard lock(mutex_);
    black_[UpperCase(Id)] = Note;
}

void TFakeService::SetPhone(const std::string& Phone)
{
    std::lock_guard lock(mutex_);
    phone_ = Phone;
}

void TFakeService::SetLogFile(const std::string& FileName)
{
    std::lock_guard lock(mutex_);
    logFile_ = FileName;
}

std::vector<TRecordedRequest> TFakeService::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t TFakeService::RequestCount() const
{
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool TFakeService::Pause(DWORD Ms) const
{
    return WaitForSingleObject(stopEvent_, Ms) == WAIT_TIMEOUT;
}

DWORD WINAPI TFakeService::AcceptProc(LPVOID Param)
{
    auto* self = static_cast<TFakeService*>(Param);
    Guard([&] { self->AcceptLoop(); });
    closesocket(self->listen_);
    self->listen_ = INVALID_SOCKET;
    SetEvent(self->stopEvent_);
    self->stopped_ = true;
    return 0;
}

void TFakeService::AcceptLoop()
{
    while (WaitForSingleObject(stopEvent_, 0) == WAIT_TIMEOUT) {
        if (GetTickCount() - startTick_ >= deadlineMs_)
            return;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listen_, &set);
        timeval wait{0, static_cast<long>(kAcceptPollMs * 1000)};
        if (select(0, &set, nullptr, nullptr, &wait) <= 0)
            continue;
        SOCKET client = accept(listen_, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        ++connections_;
        auto* start = new TConnectionStart{this, client};
        std::lock_guard lock(mutex_);
        sockets_.push_back(client);
        HANDLE thread = CreateThread(nullptr, 0, ConnectionProc, start, 0, nullptr);
        if (thread) {
            threads_.push_back(thread);
        } else {
            sockets_.erase(std::find(sockets_.begin(), sockets_.end(), client));
            closesocket(client);
            delete start;
        }
    }
}

DWORD WINAPI TFakeService::ConnectionProc(LPVOID Param)
{
    auto* start = static_cast<TConnectionStart*>(Param);
    TFakeService* self = start->Service;
    const SOCKET s = start->Socket;
    delete start;
    Guard([&] { self->Serve(s); });
    return 0;
}

bool TFakeService::ReadRequest(SOCKET Socket, TRecordedRequest& Request)
{
    std::string data;
    size_t headerEnd = std::string::npos;
    char buffer[8192];
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxHeaderBytes)
            return false;
        const int n = recv(Socket, buffer, sizeof(buffer), 0);
        if (n <= 0)
            return false;
        data.append(buffer, static_cast<size_t>(n));
    }
    std::string head = data.substr(0, headerEnd);
    std::string body = data.substr(headerEnd + 4);

    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t sp1 = requestLine.find(' ');
    const size_t sp2 = requestLine.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1)
        return false;
    Request.Method = requestLine.substr(0, sp1);
    Request.Target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    Request.Version = requestLine.substr(sp2 + 1);
    while (lineEnd != std::string::npos) {
        const size_t next = head.find("\r\n", lineEnd + 2);
        const std::string line = head.substr(lineEnd + 2, next - lineEnd - 2);
        lineEnd = next;
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        Request.Headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }

    int32_t length = 0;
    if (Request.HasHeader("Content-Length") &&
        (!TryStrToInt(Request.Header("Content-Length"), length) || length < 0 ||
         static_cast<size_t>(length) > kMaxBodyBytes))
        return false;
    while (body.size() < static_cast<size_t>(length)) {
        const int n = recv(Socket, buffer, sizeof(buffer), 0);
        if (n <= 0)
            return false;
        body.append(buffer, static_cast<size_t>(n));
    }
    body.resize(static_cast<size_t>(length));
    Request.Body = std::move(body);

    std::string target = Request.Target;
    if (StartsWithNoCase(target, "http://")) {
        const size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    const size_t query = target.find('?');
    Request.Path = target.substr(0, query);
    Request.Query = query == std::string::npos ? std::string() : target.substr(query + 1);
    return true;
}

void TFakeService::Record(const TRecordedRequest& Request)
{
    std::lock_guard lock(mutex_);
    requests_.push_back(Request);
    if (logFile_.empty())
        return;
    std::string block = Request.Method + " " + Request.Target + " " + Request.Version + "\r\n";
    for (const auto& [name, value] : Request.Headers)
        block += name + ": " + value + "\r\n";
    if (!Request.Body.empty())
        block += "body=" + EscapeForLog(Request.Body) + "\r\n";
    block += "\r\n";
    if (FILE* f = fopen(logFile_.c_str(), "ab")) {
        fwrite(block.data(), 1, block.size(), f);
        fclose(f);
    }
}

TFakeService::TAnswer TFakeService::CheckBHO(const TRecordedRequest& Request)
{
    TXML xml;
    xml.LoadFromString(Request.Body);
    TXMLTag* operation = TXMLTag::FindPath(xml.Root(), {"soap:Envelope", "soap:Body", "CheckBHO"});
    TAnswer answer;
    if (!operation) {
        answer.Status = 400;
        answer.Body = "no CheckBHO operation";
        return answer;
    }
    const std::string callType = Trim(TXMLTag::GetText(TXMLTag::FindPath(operation, {"callType"})));
    std::string result;
    if (callType == "0") {
        TXMLTag* list = TXMLTag::FindPath(operation, {"BHO_List"});
        for (TXMLTag* bho = list ? list->FindFirst("BHO") : nullptr; bho; bho = list->FindNext()) {
            const std::string id = TXMLTag::GetText(TXMLTag::FindPath(bho, {"BHO_ID"}));
            std::lock_guard lock(mutex_);
            const auto black = black_.find(UpperCase(id));
            if (black == black_.end())
                continue;
            result += "<BHO_Result><BHO_ID>" + XmlEscape(id, false) + "</BHO_ID>";
            if (!black->second.empty())
                result += "<note>" + XmlEscape(black->second, false) + "</note>";
            result += "</BHO_Result>";
        }
    } else if (callType != "1") {
        answer.Status = 400;
        answer.Body = "unknown callType";
        return answer;
    }
    answer.ContentType = "text/xml; charset=utf-8";
    answer.Body = std::string(kEnvelopeStart) + "<CheckBHOResponse xmlns=\"" + kServiceNamespace +
                  "\"><CheckBHOResult>" + result + "</CheckBHOResult></CheckBHOResponse>" +
                  kEnvelopeEnd;
    return answer;
}

TFakeService::TAnswer TFakeService::BuiltInAnswer(const TRecordedRequest& Request)
{
    TAnswer answer;
    const bool get = Request.Method == "GET" || Request.Method == "HEAD";
    if (Request.Method == "POST" && Request.Path == "/client.asmx")
        return CheckBHO(Request);
    if (get && Request.Path == "/client.asmx/GetXML") {
        answer.ContentType = "text/xml; charset=utf-8";
        // The daily check (action CHECK) gets the root's check.xml, when
        // there is one (its format: app/qvDailyCheck.h).
        const std::vector<std::string> parts = SplitQuery(Request.Query);
        const bool check = std::any_of(parts.begin(), parts.end(), [](const std::string& part) {
            return SameTextAscii(part, "action=CHECK");
        });
        if (check && !root_.empty()) {
            bool found = false;
            std::string reply = ReadWholeFile(FileUnderRoot(root_, "/check.xml"), found);
            if (found) {
                answer.Body = std::move(reply);
                return answer;
            }
        }
        answer.Body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><string>OK</string>";
        return answer;
    }
    if (get && Request.Path == "/client.asmx/GetPhone") {
        std::lock_guard lock(mutex_);
        answer.ContentType = "text/html";
        answer.Body = "<Phone>" + phone_ + "</Phone>";
        return answer;
    }
    if (get && Request.Path == "/__quit") {
        answer.ContentType = "text/plain";
        answer.Body = "bye";
        return answer;
    }
    if (get) {
        const std::string file = FileUnderRoot(root_, Request.Path);
        bool found = false;
        if (!file.empty()) {
            std::string data = ReadWholeFile(file, found);
            if (found) {
                const std::string lower = LowerCase(file);
                const bool page =
                    lower.ends_with(".htm") || lower.ends_with(".html") || lower.ends_with(".aspx");
                answer.ContentType = page ? "text/html" : "application/octet-stream";
                answer.Body = std::move(data);
                return answer;
            }
        }
    }
    answer.Status = 404;
    answer.ContentType = "text/html";
    answer.Body = "<html><body>Not Found</body></html>";
    return answer;
}

void TFakeService::Serve(SOCKET Socket)
{
    DWORD timeout = kReceiveTimeoutMs;
    setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
    auto finish = [&](bool reset) {
        {
            std::lock_guard lock(mutex_);
            sockets_.erase(std::find(sockets_.begin(), sockets_.end(), Socket));
        }
        if (reset)
            CloseWithReset(Socket);
        else
            CloseGracefully(Socket);
    };

    TRecordedRequest request;
    if (!ReadRequest(Socket, request)) {
        finish(false);
        return;
    }
    if (request.Path == "/client.asmx/GetXML")
        for (const std::string& part : SplitQuery(request.Query)) {
            if (!StartsWithNoCase(part, "cr="))
                continue;
            // The install report's envelope, read with the program's own table.
            TCryptURL envelope(true);
            if (envelope.ParseQuery(part.substr(3)))
                for (const TQueryPair& pair : envelope.Pairs())
                    request.Envelope.emplace_back(pair.name, pair.value);
        }
    Record(request);

    TBehaviour behaviour;
    {
        std::lock_guard lock(mutex_);
        const auto found = behaviours_.find(request.Path);
        if (found != behaviours_.end())
            behaviour = found->second;
    }

    TAnswer answer;
    if (behaviour.ProxyChallenge &&
        request.Header("Proxy-Authorization") !=
            "Basic " + Base64(behaviour.ProxyUser + ":" + behaviour.ProxyPassword)) {
        answer.Status = 407;
        answer.ContentType = "text/html";
        answer.Body = "<html><body>Proxy authentication required</body></html>";
        answer.Headers.emplace_back("Proxy-Authenticate", "Basic realm=\"fakeservice\"");
        behaviour = TBehaviour();
    } else {
        answer = BuiltInAnswer(request);
        if (behaviour.Status != 0)
            answer.Status = behaviour.Status;
        if (behaviour.Body)
            answer.Body = *behaviour.Body;
        if (!behaviour.ContentType.empty())
            answer.ContentType = behaviour.ContentType;
    }

    const std::string range = request.Header("Range");
    const bool sameFile =
        !request.HasHeader("If-Range") || request.Header("If-Range") == behaviour.ETag;
    if (!behaviour.ETag.empty())
        answer.Headers.emplace_back("ETag", behaviour.ETag);
    if (!range.empty() && behaviour.HonourRange && sameFile && answer.Status == 200 &&
        StartsWithNoCase(range, "bytes=") && range.back() == '-') {
        int32_t asked = 0;
        const int64_t size = static_cast<int64_t>(answer.Body.size());
        if (TryStrToInt(range.substr(6, range.size() - 7), asked) && asked >= 0) {
            const int64_t from = std::min<int64_t>(asked + behaviour.RangeShift, size);
            const int64_t last = std::max<int64_t>(from, size - 1 - behaviour.RangeShort);
            if (asked < size) {
                answer.Status = 206;
                answer.Headers.emplace_back("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                                 std::to_string(last) + "/" +
                                                                 std::to_string(size));
                answer.Body = answer.Body.substr(static_cast<size_t>(from),
                                                 static_cast<size_t>(last - from + 1));
            } else {
                answer.Status = 416;
                answer.Headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
                answer.Body.clear();
            }
        }
    }

    std::string head =
        "HTTP/1.1 " + std::to_string(answer.Status) + " " + ReasonOf(answer.Status) + "\r\n";
    if (!answer.ContentType.empty())
        head += "Content-Type: " + answer.ContentType + "\r\n";
    if (behaviour.Length == TLength::Actual)
        head += "Content-Length: " + std::to_string(answer.Body.size()) + "\r\n";
    else if (behaviour.Length == TLength::Announce)
        head += "Content-Length: " + std::to_string(behaviour.AnnouncedLength) + "\r\n";
    for (const auto& [name, value] : answer.Headers)
        head += name + ": " + value + "\r\n";
    for (const std::string& line : behaviour.ExtraHeaders)
        head += line + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (behaviour.ShortByHalf)
        answer.Body.resize(answer.Body.size() / 2);
    else if (behaviour.ShortBy > 0)
        answer.Body.resize(answer.Body.size() -
                           static_cast<size_t>(std::min<int64_t>(behaviour.ShortBy,
                                                                 static_cast<int64_t>(answer.Body.size()))));

    if (behaviour.StallBeforeHeadersMs) {
        if (!Pause(behaviour.StallBeforeHeadersMs)) {
            finish(false);
            return;
        }
        ++stallsEnded_;
    }
    if (!SendAll(Socket, head.data(), head.size())) {
        finish(false);
        return;
    }
    if (request.Method != "HEAD") {
        const std::string& body = answer.Body;
        size_t sent = 0;
        auto sendUpTo = [&](size_t end) {
            end = std::min(end, body.size());
            if (end <= sent)
                return true;
            const bool ok = SendAll(Socket, body.data() + sent, end - sent);
            sent = end;
            return ok;
        };
        if (behaviour.ResetAfterBytes >= 0) {
            sendUpTo(static_cast<size_t>(behaviour.ResetAfterBytes));
            Pause(kResetDelayMs);
            finish(true);
            return;
        }
        if (behaviour.StallAfterBytes >= 0) {
            if (!sendUpTo(static_cast<size_t>(behaviour.StallAfterBytes)) ||
                !Pause(behaviour.StallMs)) {
                finish(false);
                return;
            }
            ++stallsEnded_;
        }
        sendUpTo(body.size());
    }
    finish(false);
    if (request.Path == "/__quit")
        SetEvent(stopEvent_);
}

} // namespace fakeservice
