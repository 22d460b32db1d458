#include "platform/qvCommon.h"

#include "platform/DateTimeU.h"
#include "platform/FileResourceU.h"
#include "platform/FileUtilsU.h"
#include "platform/FileVersionU.h"
#include "platform/LanguageU.h"
#include "platform/LogU.h"
#include "platform/RegistryU.h"
#include "platform/SecurityU.h"
#include "platform/ShellUtilsU.h"
#include "platform/StreamU.h"
#include "platform/SyncObjsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvSettings.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>

namespace {

std::string& ProgramKeyStore()
{
    static std::string* key = new std::string(kProgramKeyName);
    return *key;
}

// A special folder with the product's folder below it; '' when the system
// has no such folder (never a bare "Korvelle\" relative to the working folder).
std::string ProductFolderBelow(const std::string& Folder)
{
    return Folder.empty() ? std::string() : IncludeTrailingBackslash(Folder) + "Korvelle\\";
}

std::string Below(const std::string& Folder, const char* Name)
{
    return Folder.empty() ? std::string() : Folder + Name;
}

// Never destroyed, like the snapshot holders below.
struct TFoldersState {
    std::mutex lock;
    std::unique_ptr<TProgramFolders> current;
};

TFoldersState& Folders()
{
    static TFoldersState* state = new TFoldersState;
    return *state;
}

// ---------------------------------------------------------------------------
// The translation snapshot. Never destroyed: a worker still translating at
// process exit must not meet a freed holder.

struct TTranslationState {
    std::atomic<std::shared_ptr<const TIniFileW>> file;
    std::mutex loading; // one loader at a time
};

TTranslationState& Translation()
{
    static TTranslationState* state = new TTranslationState;
    return *state;
}

// '' without a translation folder: a bare "lng.ini" would be looked for in
// the working folder.
std::string TranslationPath()
{
    return TranslateDir().empty() ? std::string() : TranslateDir() + TranslateFileName();
}

// The elevated main program writes lng.ini, where only administrators may;
// the tray only reads it, and takes the table from the main program's file
// whenever lng.ini is out of date or not trusted.
#ifdef KORV_TRAY_BUILD
constexpr bool kWritesTranslation = false;
#else
constexpr bool kWritesTranslation = true;
#endif

// Writes lng.ini atomically (never deleting first: the tray may read it at
// any moment) and, only when that worked, LngVer.
bool SaveTranslation(const TStringList& Lines, const std::string& Version)
{
    if (TranslateDir().empty())
        return false;
    // Every caption of the elevated program comes from this file: only
    // administrators may write it. The folder gets that again on every save.
    if (!CreateDirectoryPath(TranslateDir(), TFileSecurity::Protected, true))
        return false;
    if (!SaveFileAtomic(TranslationPath(), Lines.GetText(), TFileSecurity::Protected))
        return false;
    TProgramKeyView view;
    RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), "LngVer", Version);
    return true;
}

// lng.ini exists and only administrators may have written it.
bool TranslationTrusted()
{
    return !TranslationPath().empty() && FileExistsEx(TranslationPath()) &&
           IsTrustedFile(TranslationPath());
}

void Publish(TTranslationState& State)
{
    State.file.store(std::make_shared<const TIniFileW>(AnsiToWide(TranslationPath())));
}

// The table itself, read from the main program's file, in place of lng.ini.
void PublishTable(TTranslationState& State, const TStringList& Lines)
{
    State.file.store(
        std::make_shared<const TIniFileW>(AnsiToWide(TranslationPath()), Lines.GetText()));
}

template <typename C> C AsciiUpper(C Ch)
{
    return Ch >= C('a') && Ch <= C('z') ? static_cast<C>(Ch - C('a') + C('A')) : Ch;
}

std::wstring AsciiLowerW(std::wstring Text)
{
    for (wchar_t& c : Text)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return Text;
}

bool SameTextW(std::wstring_view A, std::wstring_view B)
{
    if (A.size() != B.size())
        return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (AsciiUpper(A[i]) != AsciiUpper(B[i]))
            return false;
    return true;
}

// The [Languages] keys in file order; empty when no file is open.
std::vector<std::string> LanguageKeys(const TIniFileW* File)
{
    std::vector<std::string> keys;
    if (!File)
        return keys;
    TStringList list;
    File->ReadSection("Languages", list);
    for (int i = 0; i < list.Count(); ++i)
        keys.push_back(list[i]);
    return keys;
}

template <typename C>
std::basic_string<C> ReplaceText(std::basic_string_view<C> Text, std::basic_string_view<C> Pattern,
                                 std::basic_string_view<C> Replacement)
{
    std::basic_string<C> out;
    if (Pattern.empty())
        return std::basic_string<C>(Text);
    size_t i = 0;
    while (i < Text.size()) {
        bool match = i + Pattern.size() <= Text.size();
        for (size_t k = 0; match && k < Pattern.size(); ++k)
            match = AsciiUpper(Text[i + k]) == AsciiUpper(Pattern[k]);
        if (match) {
            out.append(Replacement);
            i += Pattern.size();
        } else {
            out += Text[i++];
        }
    }
    return out;
}

} // namespace

const std::string& ProgramKey()
{
    return ProgramKeyStore();
}

void SetProgramKeyForTests(const std::string& Path)
{
    ProgramKeyStore() = Path.empty() ? std::string(kProgramKeyName) : Path;
}

TProgramFolders ComputeProgramFolders()
{
    TProgramFolders f;
    f.ProgramDir = GetApplicationDir();
    f.UpdateDir = f.ProgramDir + "Update\\";
    f.MainExePath = f.ProgramDir + "Korvelle.exe";
    f.TrayExePath = f.ProgramDir + "Lindova.exe";
    f.CommonDataDir = ProductFolderBelow(AllUsersAppDataDir());
    f.BackupDir = Below(f.CommonDataDir, "Backup\\");
    f.CommonStartupDir = Below(f.CommonDataDir, "Startup\\");
    f.TranslateDir = Below(f.CommonDataDir, "Translate\\");
    f.TranslateFileName = "lng.ini";
    f.UserDataDir = ProductFolderBelow(AppDataDir());
    f.UserStartupDir = Below(f.UserDataDir, "Startup\\");
#ifndef KORV_TRAY_BUILD
    // The tray shows no news and decides nothing on the bitness of Windows.
    f.NewsDir = Below(f.UserDataDir, "News\\");
    f.IsWin64 = IsWin64();
#endif
    return f;
}

const TProgramFolders& ProgramFolders()
{
    TFoldersState& state = Folders();
    std::lock_guard guard(state.lock);
    if (!state.current)
        state.current = std::make_unique<TProgramFolders>(ComputeProgramFolders());
    return *state.current;
}

const std::string& ProgramDir()
{
    return ProgramFolders().ProgramDir;
}
const std::string& UpdateDir()
{
    return ProgramFolders().UpdateDir;
}
const std::string& MainExePath()
{
    return ProgramFolders().MainExePath;
}
const std::string& TrayExePath()
{
    return ProgramFolders().TrayExePath;
}
const std::string& CommonDataDir()
{
    return ProgramFolders().CommonDataDir;
}
const std::string& BackupDir()
{
    return ProgramFolders().BackupDir;
}
const std::string& CommonStartupDir()
{
    return ProgramFolders().CommonStartupDir;
}
const std::string& TranslateDir()
{
    return ProgramFolders().TranslateDir;
}
const std::string& TranslateFileName()
{
    return ProgramFolders().TranslateFileName;
}
const std::string& UserDataDir()
{
    return ProgramFolders().UserDataDir;
}
const std::string& UserStartupDir()
{
    return ProgramFolders().UserStartupDir;
}
const std::string& NewsDir()
{
    return ProgramFolders().NewsDir;
}
bool RunsOnWin64()
{
    return ProgramFolders().IsWin64;
}

void SetProgramFoldersForTests(const TProgramFolders& Values)
{
    TFoldersState& state = Folders();
    std::lock_guard guard(state.lock);
    state.current = std::make_unique<TProgramFolders>(Values);
}

void ResetProgramFoldersForTests()
{
    TFoldersState& state = Folders();
    std::lock_guard guard(state.lock);
    state.current.reset();
}

// ---------------------------------------------------------------------------
// Program control

void SignalShowMain()
{
    TGlobalEvent event(kShowMainEventName);
    event.SetEvent();
    SleepMs(1000);
}

bool StartMainProgram(const std::string& Params)
{
    if (!FileExistsEx(MainExePath()))
        return false;
    return ShellOpen(MainExePath(), Params, nullptr, ProgramDir());
}

bool StartTrayProgram()
{
    if (!FileExistsEx(TrayExePath()))
        return false;
    return StartProcessUnelevated(L"\"" + AnsiToWide(TrayExePath()) + L"\"");
}

void SetAutostart(bool Enable)
{
    TRegViewScope view(true, false);
    if (Enable)
        RegWriteString(HKEY_LOCAL_MACHINE, kRunKeyName, kAutostartValueName,
                       "\"" + TrayExePath() + "\" /startup");
    else
        RegRemoveValue(HKEY_LOCAL_MACHINE, kRunKeyName, kAutostartValueName);
}

// ---------------------------------------------------------------------------
// Translation

std::shared_ptr<const TIniFileW> TranslationFile()
{
    return Translation().file.load();
}

void CloseTranslationFileForTests()
{
    Translation().file.store(nullptr);
}

void LoadTranslationFile()
{
    TTranslationState& state = Translation();
    std::lock_guard guard(state.loading);

    const std::string version = GetFileVersionString(MainExePath());
    std::string storedVersion;
    bool haveStoredVersion = false;
    {
        TProgramKeyView view;
        haveStoredVersion =
            RegReadString(HKEY_LOCAL_MACHINE, ProgramKey(), "LngVer", storedVersion);
    }

    std::unique_ptr<TStringList> lines;
    const bool stale = !haveStoredVersion || storedVersion != version;
    // A file that someone other than an administrator may have written is
    // never read; the main program writes it anew.
    const bool exists = !TranslationPath().empty() && FileExistsEx(TranslationPath());
    const bool planted = exists && !TranslationTrusted();
    if ((stale || planted) && LoadModuleResourceStrings(MainExePath(), "TRANSLATE", lines)) {
        if (kWritesTranslation && SaveTranslation(*lines, version)) {
            Publish(state);
            return;
        }
        if (!kWritesTranslation || planted) {
            PublishTable(state, *lines);
            return;
        }
        // The replace failed: the old file and the open snapshot stay.
    }

    if (state.file.load())
        return;
    if (planted) {
        // Neither the file nor the table: the defaults answer.
        state.file.store(std::make_shared<const TIniFileW>(std::wstring(), std::string_view()));
        return;
    }
    // A stale table was tried above already, whether or not it could be read.
    if (!stale && !exists && LoadModuleResourceStrings(MainExePath(), "TRANSLATE", lines)) {
        if (!kWritesTranslation || !SaveTranslation(*lines, version)) {
            PublishTable(state, *lines);
            return;
        }
    }
    // Opened even when writing failed: reads then give the defaults.
    Publish(state);
}

void SelectLanguage()
{
    std::string stored;
    bool haveStored = false;
    {
        TProgramKeyView view;
        haveStored = RegReadString(HKEY_LOCAL_MACHINE, ProgramKey(), "LANGUAGE", stored);
    }
    std::wstring language;
    if (haveStored) {
        const std::wstring storedWide = AnsiToWide(stored);
        language = NormalizeLanguage(storedWide);
        if (language != storedWide)
            language = NormalizeLanguage(AnsiToWide(GetUserLanguageCode()));
    } else {
        language = NormalizeLanguage(AnsiToWide(GetUserLanguageCode()));
    }
    ChangeSettings([&](TSettings& s) { s.LANGUAGE = language; });
}

std::wstring NormalizeLanguage(const std::wstring& Code)
{
    LoadTranslationFile();
    const auto file = TranslationFile();
    for (const std::string& key : LanguageKeys(file.get())) {
        const std::wstring code = Utf8ToWide(key);
        if (SameTextW(code, Code))
            return AsciiLowerW(code);
    }
    return L"en";
}

std::wstring GetLanguageNames(const std::wstring& Separator)
{
    const auto file = TranslationFile();
    if (!file)
        return {};
    TStringList lines;
    file->ReadSectionValues("Languages", lines);
    std::wstring names;
    for (int i = 0; i < lines.Count(); ++i) {
        if (i > 0)
            names += Separator;
        names += Utf8ToWide(lines.ValueFromIndex(i));
    }
    return names;
}

std::wstring GetLanguageCode(int Index)
{
    const auto file = TranslationFile();
    const std::vector<std::string> keys = LanguageKeys(file.get());
    if (Index < 0 || static_cast<size_t>(Index) >= keys.size())
        return {};
    return AsciiLowerW(Utf8ToWide(keys[static_cast<size_t>(Index)]));
}

int IndexOfLanguage(const std::string& Code)
{
    const auto file = TranslationFile();
    const std::vector<std::string> keys = LanguageKeys(file.get());
    const std::wstring code = AnsiToWide(Code);
    for (size_t i = 0; i < keys.size(); ++i)
        if (SameTextW(Utf8ToWide(keys[i]), code))
            return static_cast<int>(i);
    return -1;
}

std::wstring TranslateText(const std::wstring& Key, const std::wstring& Default)
{
    // One snapshot of each for the whole call: the GUI thread may switch the
    // language or reload the file meanwhile.
    const auto settings = Settings();
    const auto file = TranslationFile();
    std::wstring text;
    if (file)
        text = file->ReadWideString(settings->LANGUAGE, Key, Default);
    if (text.empty())
        text = Default;

    const SYSTEMTIME now = DateTimeToSystemTime(Now());
    const struct {
        std::wstring_view pattern;
        std::wstring replacement;
    } macros[] = {
        {L"%BRAND%", kProductNameW},
        {L"%BRAND_DOMAIN%", kProductDomainW},
        // Settings, not texts of the table: the HTML label must show them as
        // they are, never take them for markup.
        {L"%SUPPORT_PHONE%", EscapeHtmlText(AnsiToWide(settings->SUPPORT_PHONE))},
        {L"%SUPPORT_MAIL%", EscapeHtmlText(AnsiToWide(settings->SUPPORT_MAIL))},
        {L"%#%", L"\u2022"},
        {L"%C%", L"\u00A9"},
        {L"%YEAR%", std::to_wstring(now.wYear)},
        {L"|", L"\r\n"},
    };
    for (const auto& macro : macros)
        text = ReplaceTextW(text, macro.pattern, macro.replacement);
    return text;
}

std::wstring EscapeHtmlText(std::wstring_view Text)
{
    static constexpr struct {
        wchar_t character;
        const wchar_t* reference;
    } kReferences[] = {
        {L'&', L"&amp;"}, {L'<', L"&lt;"}, {L'>', L"&gt;"}, {L'"', L"&quot;"}, {L'\'', L"&#39;"},
    };
    std::wstring out;
    out.reserve(Text.size());
    for (wchar_t c : Text) {
        const auto* found = std::find_if(std::begin(kReferences), std::end(kReferences),
                                         [c](const auto& r) { return r.character == c; });
        if (found != std::end(kReferences))
            out += found->reference;
        else
            out += c;
    }
    return out;
}

std::wstring GetLocalizedValue(const std::wstring& Lang, const std::vector<std::wstring>* Values)
{
    if (!Values)
        return {};
    auto valueOf = [Values](const std::wstring& Name) -> std::wstring {
        for (const std::wstring& line : *Values) {
            const size_t eq = line.find(L'=');
            if (eq != std::wstring::npos && SameTextW(std::wstring_view(line).substr(0, eq), Name))
                return line.substr(eq + 1);
        }
        return {};
    };
    const std::wstring name = Lang.empty() ? std::wstring(L"en") : AsciiLowerW(Lang);
    std::wstring value = valueOf(name);
    if (value.empty() && name != L"en") {
        const size_t dash = name.find(L'-');
        if (dash != std::wstring::npos)
            value = valueOf(name.substr(0, dash));
        if (value.empty())
            value = valueOf(L"en");
    }
    return value;
}

std::wstring ReplaceTextW(std::wstring_view Text, std::wstring_view Pattern,
                          std::wstring_view Replacement)
{
    return ReplaceText<wchar_t>(Text, Pattern, Replacement);
}

std::string ReplaceTextA(std::string_view Text, std::string_view Pattern,
                         std::string_view Replacement)
{
    return ReplaceText<char>(Text, Pattern, Replacement);
}

// ---------------------------------------------------------------------------
// Progress record

void ResetUIStatus(TqvUIStatus& Status)
{
    Status = TqvUIStatus{};
}
