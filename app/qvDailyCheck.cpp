#include "app/qvDailyCheck.h"

#include "app/frmAllMain.h"
#include "app/qvAppBody.h"
#include "app/qvNetThreads.h"
#include "app/qvUpdate.h"
#include "app/qvNews.h"
#include "platform/GuardU.h"
#include "platform/HTTPU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/StreamU.h"
#include "platform/XmlU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <cmath>
#include <mutex>

namespace {

constexpr char kCheckAction[] = "CHECK";
constexpr char kLastCheckValue[] = "LAST_CHECK";
constexpr char kDeferredValue[] = "CHECK_DEFERRED";
constexpr double kCheckEveryDays = 1.0;
constexpr uint8_t kCheckLogCategory = 1;
constexpr uint8_t kCheckLogLevel = 2;

std::mutex gFactoryLock;
TUpdateRunFactory gFactory;

TUpdateRunFactory Factory()
{
    std::lock_guard lock(gFactoryLock);
    if (gFactory)
        return gFactory;
    return [](const std::string& List, bool Silent, bool Manual,
              const std::string& SourceURL) -> TThread* {
        return new TQVUpdateThread(List, true, Silent, Manual, SourceURL, false);
    };
}

void TellFailure()
{
    TDispatcher::Call([] {
        TMainForm* main = MainForm();
        AppPrompt(main ? main->HandleIfAllocated() : nullptr,
                  TranslateText(L"UpdateFailed", L"Download failed!"), MB_OK | MB_ICONERROR);
    });
}

// One request to the service and what its reply asks for.
class TCheckThread final : public TWaitThread {
public:
    explicit TCheckThread(bool Manual) : TWaitThread(true), manual_(Manual) {}

    // Started, with a handle to wait for its end.
    static HANDLE Launch(bool Manual)
    {
        auto* thread = new TCheckThread(Manual);
        HANDLE handle = thread->OpenWaitHandle();
        thread->Start();
        return handle;
    }

private:
    void Run() override
    {
        const std::string url =
            BuildInstallHitURL(ReplaceTextA(Settings()->LI_URL, "%ACTION%", kCheckAction));
        if (url.empty())
            return;
        THTTPGet request;
        request.SetURL(url);
        TMemoryStreamWriter reply;
        request.Output = &reply;
        TCheckReply answer;
        if (!request.ExecuteRequest() || request.Status != 200 ||
            !ParseCheckReply(reply.MemoryStream().ToString(), answer)) {
            Log("daily check: no usable reply from the service", kCheckLogCategory, kCheckLogLevel);
            if (manual_)
                TellFailure();
            return;
        }
        {
            TProgramKeyView view;
            for (const auto& [name, value] : answer.Config)
                if (IsLayeredSetting(name))
                    RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), name, value);
        }
        // The merge returns once the GUI thread has rendered what it asked
        // for, so a check run does not end before the banners exist.
        if (answer.NewsList)
            MergeNewsList(answer.NewsList);
        // A manual check hands its list on even when empty: the update run
        // tells the user that there is nothing new.
        const bool wanted = manual_ || (!answer.Files.empty() && Settings()->CHECK_FOR_UPDATES);
        if (!wanted)
            return;
        const TUpdateRunFactory factory = Factory();
        TThread* run = factory(UpdateListText(answer.Files), manual_ ? false : answer.Silent,
                               manual_, url);
        if (!run)
            return;
        HANDLE handle = run->OpenWaitHandle();
        run->Start();
        // The check ends with its update: a check run must not end the
        // program in the middle of one.
        if (handle) {
            WaitForSingleObject(handle, INFINITE);
            CloseHandle(handle);
        }
    }

    bool manual_;
};

} // namespace

bool ParseCheckReply(const std::string& Xml, TCheckReply& Reply)
{
    auto xml = std::make_shared<TXML>();
    xml->LoadFromString(Xml);
    if (!xml->Complete())
        return false;
    TXMLTag* top = nullptr;
    for (const auto& child : xml->Root()->Children())
        if (child->Name != "xml" && child->Name != "--" && !child->Name.starts_with("!")) {
            if (top)
                return false;
            top = child.get();
        }
    if (!top || top->Name != "Check")
        return false;

    TCheckReply parsed;
    for (const auto& part : top->Children()) {
        if (part->Name == "Vers") {
            parsed.HasVers = true;
            parsed.Silent = TXMLTag::GetAttribute(part.get(), "silent") == "1";
            for (const auto& file : part->Children())
                if (file->Name == "File")
                    parsed.Files.push_back({TXMLTag::GetAttribute(file.get(), "url"),
                                            TXMLTag::GetAttribute(file.get(), "size"),
                                            TXMLTag::GetAttribute(file.get(), "sha256")});
        } else if (part->Name == "Config") {
            const std::string name = TXMLTag::GetAttribute(part.get(), "name");
            if (!name.empty())
                parsed.Config.emplace_back(name, TXMLTag::GetAttribute(part.get(), "value"));
        } else if (part->Name == "NewsList" && !parsed.NewsList) {
            parsed.NewsList = part.get();
        }
    }
    parsed.Document = std::move(xml);
    Reply = std::move(parsed);
    return true;
}

std::string UpdateListText(const std::vector<TCheckFile>& Files)
{
    std::string list;
    for (const TCheckFile& file : Files)
        list += file.URL + "\t" + file.Size + "\t" + file.Sha256 + "\r\n";
    return list;
}

bool DailyCheckDue(TDateTime Now, bool Administrator)
{
    TProgramKeyView view;
    if (Administrator) {
        std::string deferred;
        if (RegReadString(HKEY_CURRENT_USER, ProgramKey(), kDeferredValue, deferred) &&
            deferred == "1")
            return true;
    }
    if (!RegValueExists(HKEY_CURRENT_USER, ProgramKey(), kLastCheckValue))
        return true;
    const TDateTime last = RegReadDateTime(HKEY_CURRENT_USER, ProgramKey(), kLastCheckValue);
    return std::fabs(Now - last) >= kCheckEveryDays;
}

void SetUpdateRunFactory(TUpdateRunFactory Factory)
{
    std::lock_guard lock(gFactoryLock);
    gFactory = std::move(Factory);
}

HANDLE StartDailyCheck()
{
    const bool administrator = AppHasAdminRights();
    const TDateTime now = Now();
    if (!DailyCheckDue(now, administrator))
        return nullptr;
    {
        TProgramKeyView view;
        RegWriteDateTime(HKEY_CURRENT_USER, ProgramKey(), kLastCheckValue, now);
        if (!administrator) {
            RegWriteString(HKEY_CURRENT_USER, ProgramKey(), kDeferredValue, "1");
            return nullptr;
        }
        RegRemoveValue(HKEY_CURRENT_USER, ProgramKey(), kDeferredValue);
    }
    return TCheckThread::Launch(false);
}

HANDLE StartManualCheck()
{
    return TCheckThread::Launch(true);
}
