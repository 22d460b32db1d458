#include "app/qvNetThreads.h"

#include "platform/HTTPU.h"
#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <mutex>
#include <random>

namespace {

constexpr DWORD kWaitStepMs = 100;
constexpr size_t kMaxPhoneLength = 40;
constexpr char kPhoneOpen[] = "<Phone>";
constexpr char kPhoneClose[] = "</Phone>";

// Seeded once per process from the process id and the clocks, so that two
// reports of one process, and of two processes started together, differ.
uint32_t Noise(uint32_t Below)
{
    static std::mutex lock;
    static std::mt19937 generator = [] {
        LARGE_INTEGER counter{};
        QueryPerformanceCounter(&counter);
        std::seed_seq seed{static_cast<uint32_t>(GetCurrentProcessId()),
                           static_cast<uint32_t>(GetTickCount()),
                           static_cast<uint32_t>(counter.LowPart),
                           static_cast<uint32_t>(counter.HighPart)};
        return std::mt19937(seed);
    }();
    std::lock_guard guard(lock);
    return std::uniform_int_distribution<uint32_t>(0, Below - 1)(generator);
}

// A "done" flag set by a destructor runs on every way out of Execute.
struct TDoneOnExit {
    std::atomic<bool>& done;
    ~TDoneOnExit() { done = true; }
};

} // namespace

void TWaitThread::Execute()
{
    TDoneOnExit mark{done_};
    Run();
}

bool WaitThreadFor(TWaitThread* Thread, DWORD Ms)
{
    if (!Thread || Thread->Done())
        return true;
    HANDLE handle = Thread->OpenWaitHandle();
    const bool gui = TDispatcher::GuiThreadId() == GetCurrentThreadId();
    const DWORD start = GetTickCount();
    while (!Thread->Done()) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= Ms)
            break;
        const DWORD step = std::min(kWaitStepMs, Ms - spent);
        if (!handle)
            Sleep(step);
        else if (gui)
            PumpedWait(handle, step);
        else
            WaitForSingleObject(handle, step);
    }
    if (handle)
        CloseHandle(handle);
    return Thread->Done();
}

std::string BuildInstallHitURL(const std::string& URL)
{
    const std::shared_ptr<const TSettings> settings = Settings();
    TCryptURL params(true);
    const uint32_t first = Noise(1000);
    uint32_t second = Noise(1000);
    // Equal names would merge the two noise pairs into one.
    while (second == first)
        second = Noise(1000);
    params.SetValue("RNDX_" + std::to_string(first), std::to_string(Noise(100000)));
    params.SetValue("CFG", settings->CFG_ID);
    params.SetValue("UID", settings->UID);
    params.SetValue("RNDY_" + std::to_string(second), std::to_string(Noise(100000)));
    std::string subId;
    {
        TProgramKeyView view;
        if (RegReadString(HKEY_LOCAL_MACHINE, ProgramKey(), "SubID", subId) && !subId.empty())
            params.SetValue("SUBID", subId);
    }
    std::string query;
    params.BuildQuery(query);
    return ReplaceTextA(URL, "%CU%", query);
}

std::string ReportURL(const std::string& Action)
{
    return ReplaceTextA(Settings()->LI_URL, "%ACTION%", Action);
}

TInstallHitThread::TInstallHitThread(const std::string& URL, bool FreeOnTerminate)
    : TWaitThread(FreeOnTerminate), url_(BuildInstallHitURL(URL)),
      request_(std::make_unique<THTTPGet>()), reply_(std::make_unique<TMemoryStreamWriter>())
{
    // A GET: the query is the report and must stay in the URL.
    request_->SetURL(url_);
    request_->Output = reply_.get();
    Start();
}

TInstallHitThread::~TInstallHitThread()
{
    Terminate();
    WaitFor();
}

void TInstallHitThread::Run()
{
    if (!url_.empty())
        request_->ExecuteRequest();
}

std::string PhoneFromReply(const std::string& Reply)
{
    const size_t open = Reply.find(kPhoneOpen);
    if (open == std::string::npos)
        return {};
    const size_t from = open + sizeof(kPhoneOpen) - 1;
    const size_t close = Reply.find(kPhoneClose, from);
    if (close == std::string::npos)
        return {};
    std::string number = Trim(std::string_view(Reply).substr(from, close - from));
    if (number.size() > kMaxPhoneLength)
        return {};
    for (char c : number)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            return {};
    return number;
}

std::atomic<int> gPhoneRequests{0};

TPhoneNumberThread::TPhoneNumberThread(HWND Window) : TWaitThread(true), window_(Window)
{
    ++gPhoneRequests;
    Start();
}

// A self-freeing thread is deleted on its own thread once Execute ended.
TPhoneNumberThread::~TPhoneNumberThread()
{
    --gPhoneRequests;
}

bool WaitForPhoneRequests(DWORD Ms)
{
    const DWORD start = GetTickCount();
    while (gPhoneRequests > 0) {
        if (GetTickCount() - start >= Ms)
            return false;
        Sleep(kWaitStepMs / 10);
    }
    return true;
}

void TPhoneNumberThread::Run()
{
    const std::string url = ExpandUrlMacros(Settings()->PHONE_URL);
    if (url.empty())
        return;
    THTTPGet request;
    request.SetURL(url);
    TMemoryStreamWriter reply;
    request.Output = &reply;
    if (!request.ExecuteRequest() || request.Status != 200)
        return;
    const std::string number = PhoneFromReply(reply.MemoryStream().ToString());
    if (number.empty() || number == Settings()->PHONE_NUMBER)
        return;
    {
        TProgramKeyView view;
        RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), "PHONE_NUMBER", number);
    }
    ChangeSettings([&number](TSettings& s) { s.PHONE_NUMBER = number; });
    PostMessageW(window_, WM_KorvellePhoneChanged, 0, 0);
}
