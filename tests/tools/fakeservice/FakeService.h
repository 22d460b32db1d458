#pragma once
// A stand-in for the maker's web service: an HTTP/1.1 server on Winsock that
// binds 127.0.0.1 only, on an ephemeral port, and stops by itself at its
// deadline. Every request is recorded (method, target with query, headers,
// body). One instance per test; fakeservice.exe wraps the same object for runs
// of the programs.
//
// Built in:
//   POST /client.asmx               the CheckBHO operation (call types 0 and 1)
//   GET  /client.asmx/GetXML?...    200; the "cr" envelope is decoded and recorded;
//                                   with action=CHECK the root's check.xml when present
//   GET  /client.asmx/GetPhone?...  "<Phone>" + phone + "</Phone>"
//   GET  /__quit                    200, then the service stops
//   HEAD and GET of files under the root folder
// Per path, a behaviour can replace the answer and add the failures the HTTP
// client must survive. Each answer ends with "Connection: close" and the
// connection is closed after it. Request lines in absolute form
// ("GET http://host:80/path HTTP/1.1") are taken too, so the service can act
// as a proxy.

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fakeservice {

using THeaders = std::vector<std::pair<std::string, std::string>>;

struct TRecordedRequest {
    std::string Method;
    std::string Target;  // as sent, query included (absolute form kept)
    std::string Path;    // without scheme, authority and query
    std::string Query;   // after "?", '' when none
    std::string Version; // "HTTP/1.1"
    THeaders Headers;    // in order, names as sent
    std::string Body;
    // GetXML: the pairs of the "cr" envelope when it decoded (names upper-cased).
    std::vector<std::pair<std::string, std::string>> Envelope;

    // The first header of that name (ASCII case ignored); '' when absent.
    std::string Header(std::string_view Name) const;
    bool HasHeader(std::string_view Name) const;
};

enum class TLength {
    Actual,   // Content-Length = the bytes sent
    Announce, // Content-Length = AnnouncedLength, whatever is sent
    None,     // no length: the body ends with the connection
};

struct TBehaviour {
    int Status = 0;                  // 0: the built-in answer's status
    std::optional<std::string> Body; // replaces the built-in body
    std::string ContentType;         // '' keeps the built-in type
    TLength Length = TLength::Actual;
    int64_t AnnouncedLength = 0;
    // A "Range: bytes=N-" is answered with 206 and Content-Range, or ignored
    // (200 and the whole body). With an "If-Range" that is not ETag the whole
    // body comes instead (the file changed).
    bool HonourRange = true;
    std::string ETag; // sent as "ETag" when set
    // A faulty 206: its range begins RangeShift bytes after the one asked
    // for, and RangeShort bytes before the end of the file are left out (the
    // Content-Range says so truthfully).
    int64_t RangeShift = 0;
    int64_t RangeShort = 0;
    DWORD StallBeforeHeadersMs = 0;
    int64_t StallAfterBytes = -1; // body bytes sent before a stall of StallMs
    DWORD StallMs = 0;
    int64_t ResetAfterBytes = -1; // body bytes sent before a reset (linger 0)
    // The last ShortBy bytes of the body are not sent, though the length
    // announces them (a transfer cut short).
    int64_t ShortBy = 0;
    bool ShortByHalf = false; // the last half of the body left out
    // Answers 407 with a Basic challenge until Proxy-Authorization carries
    // ProxyUser:ProxyPassword.
    bool ProxyChallenge = false;
    std::string ProxyUser;
    std::string ProxyPassword;
    std::vector<std::string> ExtraHeaders; // whole lines, without CR LF
};

class TFakeService {
public:
    // RootDir: the folder files are served from ('' for none). The service
    // stops by itself DeadlineMs after Start.
    explicit TFakeService(std::string RootDir = {}, DWORD DeadlineMs = 120000);
    ~TFakeService();
    TFakeService(const TFakeService&) = delete;
    TFakeService& operator=(const TFakeService&) = delete;

    // Binds 127.0.0.1 on a port the system chooses and starts serving.
    bool Start();
    // Stops serving; waits for the connections to end. Safe to call twice.
    void Stop();
    // Waits until the service stops by itself (deadline or /__quit), up to Ms.
    bool WaitStopped(DWORD Ms);
    bool Stopped() const noexcept { return stopped_; }

    uint16_t Port() const noexcept { return port_; }
    // "http://127.0.0.1:<port>" + Path.
    std::string URL(std::string_view Path) const;

    void SetBehaviour(const std::string& Path, TBehaviour Behaviour);
    // An add-on id that CheckBHO reports black, with its note ('' for none).
    void SetBlack(const std::string& Id, const std::string& Note);
    void SetPhone(const std::string& Phone);
    // Appends every request to this file (a readable block per request).
    void SetLogFile(const std::string& FileName);

    std::vector<TRecordedRequest> Requests() const;
    size_t RequestCount() const;
    // Connections accepted so far (a request line is not needed to count).
    size_t ConnectionCount() const noexcept { return connections_; }
    // Stalls (StallBeforeHeadersMs, StallMs) that ran to their end: a client
    // that gave up first saw none end.
    size_t StallsEnded() const noexcept { return stallsEnded_; }

private:
    struct TAnswer {
        int Status = 200;
        std::string ContentType;
        std::string Body;
        THeaders Headers;
    };
    static DWORD WINAPI AcceptProc(LPVOID Param);
    static DWORD WINAPI ConnectionProc(LPVOID Param);
    void AcceptLoop();
    void Serve(SOCKET Socket);
    bool ReadRequest(SOCKET Socket, TRecordedRequest& Request);
    TAnswer BuiltInAnswer(const TRecordedRequest& Request);
    TAnswer CheckBHO(const TRecordedRequest& Request);
    void Record(const TRecordedRequest& Request);
    // Waits Ms or until the service stops; false when it stopped.
    bool Pause(DWORD Ms) const;

    std::string root_;
    DWORD deadlineMs_;
    DWORD startTick_ = 0;
    SOCKET listen_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    HANDLE stopEvent_ = nullptr;
    HANDLE acceptThread_ = nullptr;
    std::atomic<bool> stopped_{false};
    std::atomic<size_t> connections_{0};
    std::atomic<size_t> stallsEnded_{0};
    bool winsock_ = false;

    mutable std::mutex mutex_;
    std::map<std::string, TBehaviour> behaviours_;
    std::map<std::string, std::string> black_; // upper-cased id -> note
    std::string phone_ = "12";
    std::string logFile_;
    std::vector<TRecordedRequest> requests_;
    std::vector<HANDLE> threads_;
    std::vector<SOCKET> sockets_;
};

// A failure switch for one served file, as the command line gives it:
//   <path>=status:<code>   that status (the file's bytes as its body)
//   <path>=short           the last half of the body missing, the whole length announced
//   <path>=nolength        no Content-Length; the body ends with the connection
//   <path>=stall           one byte of the body, then nothing until the service stops
//   <path>=empty           an empty body
// False, outputs untouched, for any other text.
bool ParseFailureSwitch(std::string_view Text, std::string& Path, TBehaviour& Behaviour);

// Standard Base64 (with "+", "/" and "=" padding).
std::string Base64(std::string_view Bytes);

} // namespace fakeservice
