#pragma once
// One HTTP or HTTPS request, run synchronously on the calling thread through
// WinInet, its response written into the caller's stream writer; and the two
// wrappers every network feature uses: download to a file, request into a
// string.
//
// Errors come back only through the result, ErrorCode and Status; nothing is
// raised out of a request, and a throwing callback fails the request (OnDone
// still runs). Use a fresh THTTPGet per request: a request resets Finished,
// but not Aborted or ErrorCode.
//
// The reading loop keeps its 65537-byte block buffer on the stack: a thread
// that runs requests needs at least 128 KB of stack.

#include "platform/ClassesU.h"
#include "platform/StreamU.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

// The user agent of new requests ("Tessaric HTTPGet"); empty sends no agent
// name. A program may change it once at start, before any request runs.
extern std::string HTTPUserAgent;

// Options a caller may pass to a request.
class THTTPSettings : public TObject {
public:
    std::string UserName; // for the server (InternetConnect)
    std::string Password;
    // Continue a partial output with a Range request. Only with the
    // validator of the response that began it (its THTTPGet::Validator),
    // sent as If-Range, so that a changed file comes whole; without one the
    // download starts over.
    bool Resume = false;
    std::string ResumeValidator;
    std::string ProxyHost; // empty: the system's settings
    std::string ProxyPort; // appended as ":" + port when not empty
    std::string ProxyUser; // when set, user and password go on the connection
    std::string ProxyPassword;
    bool AcceptAnyStatus = false; // read the body whatever the status
    int32_t BlockSize = 0;        // bytes per read call: 1 to 65536, else 65537
    bool NoCookies = false;
    // Connect, send and receive time-out in milliseconds; 0 means 30000. A
    // stalled server otherwise holds a request for minutes.
    DWORD TimeoutMs = 0;

    void Clear();
    // Copies every field; nullptr clears.
    void Assign(const THTTPSettings* Source);
    // The block size the reading loop uses.
    DWORD EffectiveBlockSize() const noexcept;
    DWORD EffectiveTimeoutMs() const noexcept;
};

inline constexpr DWORD kHTTPMaxBlockSize = 65537;
inline constexpr DWORD kHTTPDefaultTimeoutMs = 30000;

// ErrorCode values.
inline constexpr int32_t kHTTPErrorNone = 0;
inline constexpr int32_t kHTTPErrorSession = 1; // the session could not be opened
inline constexpr int32_t kHTTPErrorConnect = 2; // the URL or the connection failed
inline constexpr int32_t kHTTPErrorRequest = 3; // the request could not be opened
inline constexpr int32_t kHTTPErrorSend = 4;    // sending failed (a closed port too)

// Modes: 0 a normal request; 1 HEAD, ends after status, type and length; 2 as
// 1 with the raw response headers written to the output; 3 a normal request
// whose output begins with the raw response headers.
inline constexpr uint8_t kHTTPModeNormal = 0;
inline constexpr uint8_t kHTTPModeHead = 1;
inline constexpr uint8_t kHTTPModeHeadHeaders = 2;
inline constexpr uint8_t kHTTPModeWithHeaders = 3;

// A URL as a request uses it.
struct THTTPURLParts {
    std::string Host;
    INTERNET_PORT Port = 0;
    std::string Path; // from the first "/" after the host, query included
    bool Secure = false;
};

// Splits URL: "http://" (port 80) is removed, then "https://" (port 443,
// secure); the scheme is tested ignoring case, the rest keeps its case. The
// host runs to the first "/", the path is the rest. A "host:port" gives the
// decimal port 1 to 65535. False (ErrorCode 2, no connection is tried) for
// another scheme, no "/" after the host, an empty host or other port text.
// Parts untouched on False.
bool SplitHTTPURL(std::string_view URL, THTTPURLParts& Parts);

class THTTPGet;
using THTTPProgressEvent = std::function<void(THTTPGet& Sender, int64_t Received, int64_t Total)>;
using THTTPDoneEvent = std::function<void(THTTPGet& Sender)>;

// One request. Owns its settings; Output stays with the caller and must be
// able to be emptied (its stream's SetSize). Abort may be called from any
// thread; everything else belongs to the thread that runs the request.
class THTTPGet : public TObject {
public:
    explicit THTTPGet(int32_t Tag = 0);
    ~THTTPGet() override;
    THTTPGet(const THTTPGet&) = delete;
    THTTPGet& operator=(const THTTPGet&) = delete;

    std::string ContentType;       // of the response
    THTTPProgressEvent OnProgress; // after each block
    THTTPDoneEvent OnDone;         // once at the end of every request
    int32_t Tag = 0;
    std::string ExtraHeaders; // further request header lines
    // Content-Type line for a request with a body; empty: the form type.
    std::string ContentTypeHeader;
    std::string Accept = "*/*"; // the one accepted media type
    std::string UserAgent;      // HTTPUserAgent at creation; empty: none
    TStreamWriter* Output = nullptr;
    uint8_t Mode = kHTTPModeNormal;
    int32_t ErrorCode = kHTTPErrorNone;
    int32_t Status = 0;   // 0 when unknown
    std::string PostData; // not empty: POST
    std::string Referrer;
    std::atomic<bool> Aborted{false};
    std::atomic<bool> Finished{false};
    int64_t ContentLength = 0; // 0 when absent
    // The response's strong ETag, else its Last-Modified date; '' when it has
    // neither. A later resume of this output passes it on.
    std::string Validator;

    const std::string& URL() const noexcept { return url_; }
    // Stores the trimmed text.
    void SetURL(std::string_view URL);
    THTTPSettings& Settings() noexcept { return settings_; }
    void SetSettings(const THTTPSettings* Source) { settings_.Assign(Source); }

    // Bytes in the output and the expected total, as last reported.
    int64_t Received() const noexcept { return received_; }
    int64_t Total() const noexcept { return total_; }

    // Runs the request; true on success. Never throws.
    bool ExecuteRequest() noexcept;
    // Sets Aborted and, when no call of the request uses it at that moment,
    // closes the request handle (the request then ends at its next step);
    // during a call the request ends after it, at the latest with the
    // time-out, and closes the handle itself. Then waits up to TimeoutMs, in
    // 100 ms steps, for Finished and returns it (0: at once).
    bool Abort(DWORD TimeoutMs);

private:
    class TRequestUse;
    bool Run();
    bool EmptyOutput();
    // Takes the request handle out (nullptr when Abort has closed it); the
    // caller closes it.
    HINTERNET TakeRequest();

    std::string url_;
    THTTPSettings settings_;
    // The request handle and the mark of a call that uses it, under one
    // lock: a handle is closed only by the request's thread or by Abort while
    // no call uses it, so no call ever meets a closed (or reused) handle.
    std::mutex requestLock_;
    HINTERNET request_ = nullptr;
    bool inCall_ = false;
    int64_t received_ = 0;
    int64_t total_ = 0;
};

// Downloads URL into FileName. A writer that cannot be opened gives False
// and no request; with Settings->Resume the file is opened for appending.
// The request gets a copy of Settings (nullptr: defaults). On any failure the
// file is closed and deleted, a resumed one too. A folder the writer has to
// create inherits its parent's security. ErrorCode, Status and Validator
// (the response's, for a later resume) are filled when given (untouched when
// no request ran).
bool DownloadToFile(const std::string& URL, const std::string& FileName,
                    const THTTPSettings* Settings, int32_t* ErrorCode = nullptr,
                    int32_t* Status = nullptr, std::string* Validator = nullptr);

// Sends URL split at its first "?": the part before is requested, the part
// after becomes PostData (a form POST); without "?" it is a GET. Body gets the
// response whatever the outcome (a 404 page comes back with False). Not for
// GETs whose query must stay in the URL.
bool HttpGetString(const std::string& URL, const THTTPSettings* Settings, std::string& Body,
                   int32_t* ErrorCode = nullptr, int32_t* Status = nullptr);

// ---------------------------------------------------------------------------
// Test seam: the WinInet calls a request makes. A default-made member is not
// allowed; copy DefaultHTTPApi() and replace what a test watches.
struct THTTPApi {
    decltype(&::InternetOpenA) InternetOpenA;
    decltype(&::InternetConnectA) InternetConnectA;
    decltype(&::InternetSetOptionA) InternetSetOptionA;
    decltype(&::HttpOpenRequestA) HttpOpenRequestA;
    decltype(&::HttpAddRequestHeadersA) HttpAddRequestHeadersA;
    decltype(&::HttpSendRequestA) HttpSendRequestA;
    decltype(&::HttpQueryInfoA) HttpQueryInfoA;
    decltype(&::InternetReadFile) InternetReadFile;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
};
const THTTPApi& DefaultHTTPApi() noexcept;
// Replaces the calls (nullptr restores WinInet's); the record must outlive
// its use. Set it while no request runs.
void SetHTTPApi(const THTTPApi* Api) noexcept;
