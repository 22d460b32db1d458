#include "tray/qvStartupRunner.h"

#include "engine/qvScanTools.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"

#include <memory>

namespace {

constexpr DWORD kPauseMs = 500;
constexpr int kPausesAfterItem = 2;
constexpr int kPausesAfterLevel = 11;

void RunnerLog(const std::string& Text) noexcept
{
    Log(Text, 1, 1);
}

bool Continue(const TRunnerCallback& Callback)
{
    return !Callback || Callback();
}

bool Pauses(int Count, const TRunnerCallback& Callback, const TRunnerSeams& Seams)
{
    for (int i = 0; i < Count; ++i) {
        Seams.Sleep(kPauseMs);
        if (!Continue(Callback))
            return false;
    }
    return true;
}

TRunnerSeams WithDefaults(const TRunnerSeams& Seams)
{
    TRunnerSeams s = Seams;
    if (!s.Sleep)
        s.Sleep = &SleepMs;
    if (!s.Exec)
        s.Exec = [](const std::string& CommandLine, bool RedirectionOff) {
            TRedirectionOffScope redirection(RedirectionOff);
            WinExec(CommandLine.c_str(), SW_SHOW);
        };
    if (!s.OpenShortcut)
        s.OpenShortcut = [](const std::string& FileName) { ShellOpen(FileName, "", nullptr, ""); };
    if (!s.Trusted)
        s.Trusted = &IsTrustedPath;
    return s;
}

bool TrustedOrLogged(const TRunnerSeams& Seams, const std::string& Path)
{
    if (Seams.Trusted(Path))
        return true;
    RunnerLog("Postponed start-up: skipped, others than administrators may change " + Path);
    return false;
}

// The shortcuts directly in Folder ('' when the folder is unknown: a bare
// mask would search the working folder).
void AddShortcuts(const std::string& Folder, TFileList& List)
{
    if (Folder.empty())
        return;
    TFileList found;
    SearchFilesToList(IncludeTrailingBackslash(Folder) + "*.lnk", &found, false);
    for (TFoundFile& f : found)
        if (!f.IsFolder())
            List.push_back(std::move(f));
}

} // namespace

std::string NativeProgramFolderMacros(const std::string& Value)
{
    return ReplaceTextA(ReplaceTextA(Value, "%ProgramFiles%", "%ProgramW6432%"),
                        "%CommonProgramFiles%", "%CommonProgramW6432%");
}

void StartRunItem(const TqvRegRunItem& Item, const TRunnerSeams& Seams)
{
    if (Item.Value.empty())
        return;
    const TRunnerSeams s = WithDefaults(Seams);
    Guard([&] {
        std::string command = Item.Value;
        // A 32-bit program would otherwise start the 32-bit copies: the
        // "(x86)" program folder and the redirected system folder.
        const bool native = Item.Is64 && IsWin64();
        if (Item.Expand) {
            if (native)
                command = NativeProgramFolderMacros(command);
            command = ExpandEnvStrings(command);
        }
        s.Exec(command, native);
    });
}

bool RunStartupList(const TqvAllRunItems& List, const TRunnerCallback& Callback,
                    const TRunnerSeams& Seams)
{
    if (List.Items.empty())
        return true;
    const TRunnerSeams s = WithDefaults(Seams);
    for (int32_t level = 0; level <= List.HighestPriority; ++level) {
        if (!Continue(Callback))
            return false;
        bool started = false;
        for (const auto& item : List.Items) {
            if (item->Priority != level)
                continue;
            StartRunItem(*item, s);
            started = true;
            if (!Continue(Callback) || !Pauses(kPausesAfterItem, Callback, s))
                return false;
        }
        if (started && !Pauses(kPausesAfterLevel, Callback, s))
            return false;
    }
    return true;
}

bool RunPostponedStartup(const TRunnerCallback& Callback, const TRunnerSeams& Seams)
{
    const TRunnerSeams s = WithDefaults(Seams);
    bool completed = false;
    Guard([&] {
        {
            // The folder first, whether or not the list is there: a link in
            // its place would make even the existence test look elsewhere.
            TqvAllRunItems common(false);
            const std::string file = common.GetFileName();
            if (!file.empty() && TrustedOrLogged(s, CommonDataDir()) && FileExistsEx(file) &&
                TrustedOrLogged(s, file)) {
                common.Load();
                if (!RunStartupList(common, Callback, s))
                    return;
            }
        }
        {
            TqvAllRunItems user(true);
            user.Load();
            if (!RunStartupList(user, Callback, s))
                return;
        }
        TFileList shortcuts;
        AddShortcuts(UserStartupDir(), shortcuts);
        if (!CommonStartupDir().empty() && TrustedOrLogged(s, CommonStartupDir())) {
            TFileList common;
            AddShortcuts(CommonStartupDir(), common);
            for (TFoundFile& f : common)
                if (TrustedOrLogged(s, f.Path))
                    shortcuts.push_back(std::move(f));
        }
        for (const TFoundFile& shortcut : shortcuts) {
            s.OpenShortcut(shortcut.Path);
            if (!Continue(Callback) || !Pauses(kPausesAfterItem, Callback, s))
                return;
        }
        completed = true;
    });
    return completed;
}
