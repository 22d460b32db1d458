#include "platform/HTTPU.h"

#include "platform/GuardU.h"
#include "platform/SysUtilsU.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <utility>
#include <vector>

std::string HTTPUserAgent = "Tessaric HTTPGet";

namespace {

const THTTPApi kWinInetApi = {
    ::InternetOpenA,    ::InternetConnectA,       ::InternetSetOptionA,
    ::HttpOpenRequestA, ::HttpAddRequestHeadersA, ::HttpSendRequestA,
    ::HttpQueryInfoA,   ::InternetReadFile,       ::InternetCloseHandle,
};

std::atomic<const THTTPApi*> gApi{&kWinInetApi};

const THTTPApi& Api() noexcept
{
    return *gApi.load();
}

constexpr char kFormContentType[] = "Content-Type: application/x-www-form-urlencoded";
constexpr DWORD kQueryBufferSize = 256;
constexpr DWORD kRawHeadersBufferSize = 32768;
constexpr DWORD kAbortStepMs = 100;

// One WinInet handle (session or connection), closed through the seam.
class TInternetHandle {
public:
    explicit TInternetHandle(HINTERNET h) noexcept : h_(h) {}
    TInternetHandle(const TInternetHandle&) = delete;
    TInternetHandle& operator=(const TInternetHandle&) = delete;
    ~TInternetHandle()
    {
        if (h_)
            Api().InternetCloseHandle(h_);
    }
    HINTERNET get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }

private:
    HINTERNET h_;
};

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && SameTextAscii(s.substr(0, prefix.size()), prefix);
}

// Decimal digits only, no sign or blanks.
bool ParseDecimal(std::string_view text, int64_t& value)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

const char* OrNull(const std::string& s)
{
    return s.empty() ? nullptr : s.c_str();
}

// A header value as text; false, and text untouched, when the query fails.
bool QueryText(HINTERNET request, DWORD info, std::string& text)
{
    std::array<char, kQueryBufferSize> buffer{};
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!Api().HttpQueryInfoA(request, info, buffer.data(), &length, nullptr))
        return false;
    text.assign(buffer.data(), std::min<DWORD>(length, static_cast<DWORD>(buffer.size())));
    return true;
}

// A "Content-Range: bytes A-B/N" value that continues an output of From bytes
// to the end of the file: A = From, B + 1 = N, and Length (the announced body)
// is B - A + 1. Anything else (another start, a part that stops short, an
// unknown size) would stitch a file that is not the server's.
bool RangeContinues(const std::string& Value, int64_t From, int64_t Length)
{
    std::string_view v = Value;
    constexpr std::string_view kBytes = "bytes ";
    if (!StartsWithNoCase(v, kBytes))
        return false;
    v.remove_prefix(kBytes.size());
    const size_t dash = v.find('-');
    const size_t slash = v.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return false;
    int64_t first = 0;
    int64_t last = 0;
    int64_t size = 0;
    if (!ParseDecimal(Trim(v.substr(0, dash)), first) ||
        !ParseDecimal(Trim(v.substr(dash + 1, slash - dash - 1)), last) ||
        !ParseDecimal(Trim(v.substr(slash + 1)), size))
        return false;
    return first == From && last >= first && last < INT64_MAX && last + 1 == size &&
           Length == last - first + 1;
}

// A strong ETag, else the Last-Modified date: what If-Range may carry.
std::string ResponseValidator(HINTERNET request)
{
    std::string text;
    if (QueryText(request, HTTP_QUERY_ETAG, text) && !Trim(text).empty() &&
        !StartsWithNoCase(Trim(text), "W/"))
        return Trim(text);
    if (QueryText(request, HTTP_QUERY_LAST_MODIFIED, text))
        return Trim(text);
    return {};
}

void SetTimeouts(HINTERNET handle, DWORD ms)
{
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT,
                         INTERNET_OPTION_DATA_RECEIVE_TIMEOUT}) {
        DWORD value = ms;
        Api().InternetSetOptionA(handle, option, &value, sizeof(value));
    }
}

} // namespace

const THTTPApi& DefaultHTTPApi() noexcept
{
    return kWinInetApi;
}

void SetHTTPApi(const THTTPApi* Api) noexcept
{
    gApi.store(Api ? Api : &kWinInetApi);
}

// ---- THTTPSettings ----

void THTTPSettings::Clear()
{
    Assign(nullptr);
}

void THTTPSettings::Assign(const THTTPSettings* Source)
{
    *this = Source ? *Source : THTTPSettings();
}

DWORD THTTPSettings::EffectiveBlockSize() const noexcept
{
    if (BlockSize >= 1 && BlockSize < static_cast<int32_t>(kHTTPMaxBlockSize))
        return static_cast<DWORD>(BlockSize);
    return kHTTPMaxBlockSize;
}

DWORD THTTPSettings::EffectiveTimeoutMs() const noexcept
{
    return TimeoutMs == 0 ? kHTTPDefaultTimeoutMs : TimeoutMs;
}

// ---- URL ----

bool SplitHTTPURL(std::string_view URL, THTTPURLParts& Parts)
{
    THTTPURLParts parts;
    bool scheme = false;
    std::string_view rest = URL;
    if (StartsWithNoCase(rest, "http://")) {
        parts.Port = INTERNET_DEFAULT_HTTP_PORT;
        rest.remove_prefix(7);
        scheme = true;
    }
    if (StartsWithNoCase(rest, "https://")) {
        parts.Port = INTERNET_DEFAULT_HTTPS_PORT;
        parts.Secure = true;
        rest.remove_prefix(8);
        scheme = true;
    }
    if (!scheme)
        return false;
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return false;
    std::string_view host = rest.substr(0, slash);
    const size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
        int64_t port = 0;
        if (!ParseDecimal(host.substr(colon + 1), port) || port < 1 || port > 65535)
            return false;
        parts.Port = static_cast<INTERNET_PORT>(port);
        host = host.substr(0, colon);
    }
    if (host.empty())
        return false;
    parts.Host.assign(host);
    parts.Path.assign(rest.substr(slash));
    Parts = std::move(parts);
    return true;
}

// ---- THTTPGet ----

THTTPGet::THTTPGet(int32_t Tag) : Tag(Tag), UserAgent(HTTPUserAgent) {}

THTTPGet::~THTTPGet() = default;

void THTTPGet::SetURL(std::string_view URL)
{
    url_ = Trim(URL);
}

// The request handle for the calls of one step, marked as in use while the
// object lives; empty (false) when Abort has closed it.
class THTTPGet::TRequestUse {
public:
    explicit TRequestUse(THTTPGet& Get) : get_(Get)
    {
        std::lock_guard lock(get_.requestLock_);
        h_ = get_.request_;
        if (h_)
            get_.inCall_ = true;
    }
    ~TRequestUse()
    {
        if (!h_)
            return;
        std::lock_guard lock(get_.requestLock_);
        get_.inCall_ = false;
    }
    TRequestUse(const TRequestUse&) = delete;
    TRequestUse& operator=(const TRequestUse&) = delete;
    HINTERNET get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }

private:
    THTTPGet& get_;
    HINTERNET h_ = nullptr;
};

HINTERNET THTTPGet::TakeRequest()
{
    std::lock_guard lock(requestLock_);
    return std::exchange(request_, nullptr);
}

bool THTTPGet::Abort(DWORD TimeoutMs)
{
    HINTERNET idle = nullptr;
    {
        std::lock_guard lock(requestLock_);
        Aborted = true;
        if (!inCall_)
            idle = std::exchange(request_, nullptr);
    }
    if (idle)
        Api().InternetCloseHandle(idle);
    const DWORD start = GetTickCount();
    for (;;) {
        if (Finished)
            return true;
        if (GetTickCount() - start >= TimeoutMs)
            return false;
        Sleep(kAbortStepMs);
    }
}

bool THTTPGet::EmptyOutput()
{
    TStream* stream = Output ? Output->Stream() : nullptr;
    if (!stream)
        return false;
    stream->SetSize(0);
    stream->SetPosition(0);
    return true;
}

bool THTTPGet::ExecuteRequest() noexcept
{
    Finished = false;
    received_ = 0;
    total_ = 0;
    bool ok = false;
    Guard([&] { ok = Run(); });
    if (ok)
        ok = Guard([&] {
            if (OnProgress)
                OnProgress(*this, received_, total_);
        });
    Guard([&] {
        if (OnDone)
            OnDone(*this);
    });
    Finished = true;
    return ok;
}

bool THTTPGet::Run()
{
    // The request handle belongs to whoever takes it out first: this thread at
    // the end, or Abort between two steps. Each step takes it anew.
    struct TRequestCloser {
        THTTPGet& get;
        ~TRequestCloser()
        {
            if (HINTERNET h = get.TakeRequest())
                Api().InternetCloseHandle(h);
        }
    };

    ContentType.clear();
    ContentLength = 0;
    Status = 0;
    Validator.clear();

    THTTPURLParts url;
    if (!SplitHTTPURL(url_, url)) {
        ErrorCode = kHTTPErrorConnect;
        return false;
    }
    const THTTPSettings& settings = settings_;
    const THTTPApi& api = Api();

    std::string proxy;
    DWORD access = INTERNET_OPEN_TYPE_PRECONFIG;
    if (!settings.ProxyHost.empty()) {
        access = INTERNET_OPEN_TYPE_PROXY;
        proxy = settings.ProxyHost;
        if (!settings.ProxyPort.empty())
            proxy += ":" + settings.ProxyPort;
    }
    TInternetHandle session(
        api.InternetOpenA(OrNull(UserAgent), access, OrNull(proxy), nullptr, 0));
    if (!session) {
        ErrorCode = kHTTPErrorSession;
        return false;
    }
    const DWORD timeout = settings.EffectiveTimeoutMs();
    SetTimeouts(session.get(), timeout);

    TInternetHandle connection(
        api.InternetConnectA(session.get(), url.Host.c_str(), url.Port, OrNull(settings.UserName),
                             OrNull(settings.Password), INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        ErrorCode = kHTTPErrorConnect;
        return false;
    }
    SetTimeouts(connection.get(), timeout);
    if (!settings.ProxyUser.empty()) {
        // The lengths count the terminating NUL.
        api.InternetSetOptionA(connection.get(), INTERNET_OPTION_PROXY_USERNAME,
                               const_cast<char*>(settings.ProxyUser.c_str()),
                               static_cast<DWORD>(settings.ProxyUser.size() + 1));
        api.InternetSetOptionA(connection.get(), INTERNET_OPTION_PROXY_PASSWORD,
                               const_cast<char*>(settings.ProxyPassword.c_str()),
                               static_cast<DWORD>(settings.ProxyPassword.size() + 1));
    }

    const bool head = Mode == kHTTPModeHead || Mode == kHTTPModeHeadHeaders;
    const char* verb = head ? "HEAD" : (PostData.empty() ? "GET" : "POST");
    DWORD flags = INTERNET_FLAG_RELOAD;
    if (url.Secure)
        flags |= INTERNET_FLAG_SECURE;
    if (settings.NoCookies)
        flags |= INTERNET_FLAG_NO_COOKIES;
    const char* accept[] = {Accept.c_str(), nullptr};
    HINTERNET opened = api.HttpOpenRequestA(connection.get(), verb, url.Path.c_str(), "HTTP/1.1",
                                            OrNull(Referrer), accept, flags, 0);
    if (!opened)
        opened = api.HttpOpenRequestA(connection.get(), "GET", url.Path.c_str(), "HTTP/1.1",
                                      OrNull(Referrer), accept, flags, 0);
    if (!opened) {
        ErrorCode = kHTTPErrorRequest;
        return false;
    }
    // Set before Abort can see the handle.
    SetTimeouts(opened, timeout);
    {
        std::lock_guard lock(requestLock_);
        request_ = opened;
    }
    TRequestCloser closer{*this};
    if (Aborted)
        return false;

    // Resuming asks for the rest of the output, and only of the same file: a
    // mode-3 output starts with the headers, and an output without the first
    // response's validator cannot be tied to the file, so neither resumes.
    bool resume = false;
    int64_t resumeFrom = 0;
    if (settings.Resume && !settings.ResumeValidator.empty() && Mode == kHTTPModeNormal && Output &&
        Output->Stream()) {
        TStream& stream = *Output->Stream();
        resumeFrom = stream.GetSize();
        if (resumeFrom > 0) {
            stream.Seek(0, TSeekOrigin::End);
            const std::string range = "Range: bytes=" + std::to_string(resumeFrom) + "-";
            const std::string same = "If-Range: " + settings.ResumeValidator;
            const TRequestUse h(*this);
            resume =
                h &&
                api.HttpAddRequestHeadersA(h.get(), range.c_str(), static_cast<DWORD>(range.size()),
                                           HTTP_ADDREQ_FLAG_ADD) &&
                api.HttpAddRequestHeadersA(h.get(), same.c_str(), static_cast<DWORD>(same.size()),
                                           HTTP_ADDREQ_FLAG_ADD);
        }
    }

    BOOL sent = FALSE;
    if (const TRequestUse use(*this); use) {
        HINTERNET h = use.get();
        if (PostData.empty() && ExtraHeaders.empty() && ContentTypeHeader.empty()) {
            sent = api.HttpSendRequestA(h, nullptr, 0, nullptr, 0);
        } else {
            std::string headers = ContentTypeHeader.empty() ? kFormContentType : ContentTypeHeader;
            if (!ExtraHeaders.empty())
                headers += "\r\n" + ExtraHeaders;
            sent = api.HttpSendRequestA(h, headers.data(), static_cast<DWORD>(headers.size()),
                                        PostData.empty() ? nullptr : PostData.data(),
                                        static_cast<DWORD>(PostData.size()));
        }
    }
    if (!sent) {
        ErrorCode = kHTTPErrorSend;
        return false;
    }

    // The header steps and every read each hold the handle in use.
    auto use = std::make_unique<TRequestUse>(*this);
    if (!*use)
        return false;
    HINTERNET h = use->get();
    std::string text;
    int64_t number = 0;
    if (QueryText(h, HTTP_QUERY_STATUS_CODE, text) && ParseDecimal(text, number) &&
        number <= INT32_MAX)
        Status = static_cast<int32_t>(number);
    if (QueryText(h, HTTP_QUERY_CONTENT_TYPE, text))
        ContentType = text;
    if (QueryText(h, HTTP_QUERY_CONTENT_LENGTH, text) && ParseDecimal(Trim(text), number))
        ContentLength = number;
    Validator = ResponseValidator(h);

    bool headersWritten = false;
    if (Mode != kHTTPModeNormal) {
        bool headersRead = true;
        if (Mode == kHTTPModeHeadHeaders || Mode == kHTTPModeWithHeaders) {
            // Emptied first: the body step must not throw these headers away.
            if (!EmptyOutput())
                return false;
            std::string raw(kRawHeadersBufferSize, '\0');
            DWORD length = kRawHeadersBufferSize;
            headersRead =
                api.HttpQueryInfoA(h, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &length, nullptr);
            if (headersRead &&
                !Output->WriteBuffer(raw.data(),
                                     static_cast<int32_t>(std::min(length, kRawHeadersBufferSize))))
                return false;
            headersWritten = true;
        }
        if (Mode == kHTTPModeHead)
            return true;
        if (Mode == kHTTPModeHeadHeaders)
            return headersRead;
    }

    if (!settings.AcceptAnyStatus && (Status < 200 || Status > 300))
        return false;

    // A server that ignores Range (or whose file changed) answers with the
    // whole body: appending it would corrupt the output, so the output is
    // emptied first. Only a 206 whose range runs from the output's end to the
    // end of the file continues it; any other partial answer is not the file.
    if (resume) {
        if (Status != HTTP_STATUS_PARTIAL_CONTENT)
            resume = false;
        else if (!QueryText(h, HTTP_QUERY_CONTENT_RANGE, text) ||
                 !RangeContinues(text, resumeFrom, ContentLength))
            return false;
    }
    use.reset();
    if (!Output)
        return false;
    if (!resume && !headersWritten && !EmptyOutput())
        return false;
    received_ = Output->Stream()->GetSize();
    total_ = ContentLength + received_;
    if (OnProgress)
        OnProgress(*this, received_, total_);

    const DWORD blockSize = settings.EffectiveBlockSize();
    std::array<char, kHTTPMaxBlockSize> buffer;
    while (!Aborted) {
        DWORD count = 0;
        {
            const TRequestUse read(*this);
            if (!read)
                return false;
            if (!api.InternetReadFile(read.get(), buffer.data(), blockSize, &count))
                return false; // a reset or a time-out is never a complete body
        }
        if (count == 0)
            break;
        if (!Output->WriteBuffer(buffer.data(), static_cast<int32_t>(count)))
            return false;
        received_ += count;
        if (OnProgress)
            OnProgress(*this, received_, total_);
    }
    if (Aborted)
        return false;
    return total_ == 0 || received_ == total_;
}

// ---- Wrappers ----

bool DownloadToFile(const std::string& URL, const std::string& FileName,
                    const THTTPSettings* Settings, int32_t* ErrorCode, int32_t* Status,
                    std::string* Validator)
{
    TFileWriter writer;
    writer.Append = Settings && Settings->Resume;
    if (!writer.Open(FileName))
        return false;
    THTTPGet request(0);
    request.SetURL(URL);
    request.SetSettings(Settings);
    request.Output = &writer;
    const bool ok = request.ExecuteRequest();
    if (ErrorCode)
        *ErrorCode = request.ErrorCode;
    if (Status)
        *Status = request.Status;
    if (Validator)
        *Validator = request.Validator;
    writer.Close();
    if (!ok)
        DeleteFileA(FileName.c_str());
    return ok;
}

bool HttpGetString(const std::string& URL, const THTTPSettings* Settings, std::string& Body,
                   int32_t* ErrorCode, int32_t* Status)
{
    THTTPGet request(0);
    const size_t query = URL.find('?');
    if (query == std::string::npos) {
        request.SetURL(URL);
    } else {
        request.SetURL(std::string_view(URL).substr(0, query));
        request.PostData = URL.substr(query + 1);
    }
    request.SetSettings(Settings);
    TMemoryStreamWriter output;
    request.Output = &output;
    const bool ok = request.ExecuteRequest();
    Body = output.MemoryStream().ToString();
    if (ErrorCode)
        *ErrorCode = request.ErrorCode;
    if (Status)
        *Status = request.Status;
    return ok;
}
