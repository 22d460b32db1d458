#pragma once
// The program's folders and files, the small operations that start or wake
// the two programs and register the tray at logon, the translation lookup
// over the built-in translation table (written out as lng.ini), and the
// progress record that the engine and the wizard share.
//
// Folders and files are 8-bit text in the system code page; translated texts
// are wide. The translation file is one immutable snapshot under shared
// ownership: a reload publishes a new one atomically, and every reader keeps
// the snapshot it took until its call ends, so TranslateText is safe on any
// thread while the GUI thread reloads.

#include "platform/IniFileWU.h"
#include "platform/RegistryU.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Names both programs agree on

// The program key under HKLM and HKCU, always used in the 32-bit view.
inline constexpr char kProgramKeyName[] = "Software\\Korvelle";
// The event through which a second start brings the running main program forward.
inline constexpr char kShowMainEventName[] = "KorvelleShowMain";
// Set by "/STOP" (and before an update): the main program's window closes, the tray ends.
inline constexpr char kStopMainEventName[] = "KorvelleStopMain";
inline constexpr char kStopTrayEventName[] = "KorvelleStopTray";
// Held by the running main program (a global mutex); the tray tests it with a
// zero wait before it starts the update check.
inline constexpr char kMainMutexName[] = "Korvelle.App";
// The tray's hidden window: the main program finds the tray by this class and
// posts the registered messages below to it, without parameters.
inline constexpr char kTrayWindowClassName[] = "KorvelleTray";
// Names of the registered window messages (RegisterWindowMessageA).
inline constexpr char kRefreshTrayMessageName[] = "WM_KorvelleRefreshTray";
inline constexpr char kExitToTrayMessageName[] = "WM_KorvelleExitToTray";
inline constexpr char kNotifyTrayMessageName[] = "WM_KorvelleNotifyTray";
inline constexpr char kFreeFixMessageName[] = "WM_KorvelleFreeFix";
// The desktop-window property that marks the Windows session in which the
// tray ran the postponed start-up programs.
inline constexpr char kStartupPropertyName[] = "KorvelleStartup";
// The autostart value of the tray under HKLM ...\Run (32-bit view).
inline constexpr char kRunKeyName[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kAutostartValueName[] = "Korvelle";
inline constexpr char kProductName[] = "Korvelle";
inline constexpr wchar_t kProductNameW[] = L"Korvelle";
// The product's web domain as display text ("%BRAND_DOMAIN%").
inline constexpr wchar_t kProductDomainW[] = L"www.korvelle.com";

// The program key every unit reads: kProgramKeyName, unless a test put its
// own scratch key in place.
const std::string& ProgramKey();
// Tests only: redirects ProgramKey to Path ('' restores kProgramKeyName).
// Must not run while another thread uses the program key.
void SetProgramKeyForTests(const std::string& Path);

// Holds the calling thread in the 32-bit registry view, where the program key
// lives, for its lifetime; the previous view comes back however the scope ends.
class TProgramKeyView {
public:
    TProgramKeyView() : scope_(true, false) {}

private:
    TRegViewScope scope_;
};

// ---------------------------------------------------------------------------
// Folder and file globals, computed together, in this order, on first use
// (thread-safe) and kept for the life of the process; not at static
// initialisation, when the units they rest on may not be ready. Every folder
// ends with a backslash; a folder whose special folder the system lacks is
// ''. None is created here: each user creates its folder before writing.

struct TProgramFolders {
    std::string ProgramDir;        // folder of the running executable
    std::string UpdateDir;         // ProgramDir + "Update\"
    std::string MainExePath;       // ProgramDir + "Korvelle.exe"
    std::string TrayExePath;       // ProgramDir + "Lindova.exe"
    std::string CommonDataDir;     // all-users application data + "Korvelle\"
    std::string BackupDir;         // CommonDataDir + "Backup\"
    std::string CommonStartupDir;  // CommonDataDir + "Startup\"
    std::string TranslateDir;      // CommonDataDir + "Translate\"
    std::string TranslateFileName; // "lng.ini" (file name only)
    std::string UserDataDir;       // the user's application data + "Korvelle\"
    std::string UserStartupDir;    // UserDataDir + "Startup\"
    std::string NewsDir;           // UserDataDir + "News\" (the tray: '')
    bool IsWin64 = false;          // the program runs on 64-bit Windows (the tray: False)
};

// The values as the running program computes them (uncached).
TProgramFolders ComputeProgramFolders();
const TProgramFolders& ProgramFolders();

const std::string& ProgramDir();
const std::string& UpdateDir();
const std::string& MainExePath();
const std::string& TrayExePath();
const std::string& CommonDataDir();
const std::string& BackupDir();
const std::string& CommonStartupDir();
const std::string& TranslateDir();
const std::string& TranslateFileName();
const std::string& UserDataDir();
const std::string& UserStartupDir();
const std::string& NewsDir();
bool RunsOnWin64();

// Tests only: the values every getter gives from now on (a test's own
// folders); ResetProgramFoldersForTests goes back to the computed ones. Must
// not run while another thread uses them.
void SetProgramFoldersForTests(const TProgramFolders& Folders);
void ResetProgramFoldersForTests();

// ---------------------------------------------------------------------------
// Program control

// Opens or creates the global event "KorvelleShowMain", sets it, waits
// 1000 ms and closes it.
void SignalShowMain();
// Opens MainExePath with Params through the shell ("open"). False when the
// file is missing or the shell call fails.
bool StartMainProgram(const std::string& Params);
// Starts TrayExePath (quoted, no arguments) without elevation, so the tray
// never inherits the rights of an elevated main program. Nothing happens when
// the file is missing. True when it was started.
bool StartTrayProgram();
// With the 32-bit registry view: writes HKLM ...\Run value "Korvelle" =
// '"' + TrayExePath + '" /startup' (REG_SZ), or removes it. Registry failures
// are ignored.
void SetAutostart(bool Enable);

// ---------------------------------------------------------------------------
// Translation

// Makes sure lng.ini is current and open: when HKLM LngVer differs from the
// file version of MainExePath (or is missing), the TRANSLATE resource is read
// out of MainExePath (never out of the running module: the tray reads the
// main program's table) and saved over lng.ini atomically; LngVer is written
// only after the file was replaced, and a failed replace keeps the old file
// and the open snapshot. When nothing is open yet, a missing lng.ini is
// written from the resource, and the file is opened.
// lng.ini and TranslateDir are protected: only the elevated main program
// writes them. The tray never writes; where the main program would, it
// reads the table out of MainExePath into memory. A lng.ini that is not
// trusted (IsTrustedFile) is never read: the main program writes it anew,
// and until then (and in the tray) the table from MainExePath answers.
void LoadTranslationFile();
// The open translation snapshot; null before the first LoadTranslationFile.
std::shared_ptr<const TIniFileW> TranslationFile();
// Tests only: forgets the open snapshot.
void CloseTranslationFileForTests();

// Install step: LANGUAGE := the stored HKLM LANGUAGE normalised; when that
// differs from the stored text (even in case only) or nothing is stored, the
// user's locale language normalised. The caller writes it back.
void SelectLanguage();
// Code in lower case when [Languages] lists it (ignoring case), else "en";
// also "en" when no file is open. Calls LoadTranslationFile first.
std::wstring NormalizeLanguage(const std::wstring& Code);
// The display names of [Languages] in file order, joined by Separator; ''
// when no file is open.
std::wstring GetLanguageNames(const std::wstring& Separator);
// The lower-case code of the Index-th (0-based) [Languages] entry; '' when out
// of range or no file is open.
std::wstring GetLanguageCode(int Index);
// Position of Code among the [Languages] entries, ignoring case; -1 when
// absent or no file is open.
int IndexOfLanguage(const std::string& Code);
// The text of Key in the section of the current language, else Default, with
// "%BRAND%", "%BRAND_DOMAIN%", "%SUPPORT_PHONE%", "%SUPPORT_MAIL%", "%#%" (U+2022),
// "%C%" (U+00A9), "%YEAR%" and "|" (CR LF) replaced in that order, ignoring
// case. The support phone and mail go in HTML-escaped (EscapeHtmlText): the
// texts are HTML captions. Never use the result as a printf format. Safe on
// any thread.
std::wstring TranslateText(const std::wstring& Key, const std::wstring& Default);
// "&", "<", ">", '"' and "'" as HTML character references; everything else
// as it is.
std::wstring EscapeHtmlText(std::wstring_view Text);
// The per-language caption lookup of the catalogue. Values holds lines
// code "=" text. Name := Lang in lower case ("en" when empty); the value of
// Name; when that is empty and Name is not "en", the value of the part before
// the first "-", then the value of "en". '' when Values is null.
std::wstring GetLocalizedValue(const std::wstring& Lang, const std::vector<std::wstring>* Values);

// Text with every occurrence of Pattern replaced by Replacement, matching ASCII
// letters without regard to case; the replaced text is not searched again.
std::wstring ReplaceTextW(std::wstring_view Text, std::wstring_view Pattern,
                          std::wstring_view Replacement);
std::string ReplaceTextA(std::string_view Text, std::string_view Pattern,
                         std::string_view Replacement);

// ---------------------------------------------------------------------------
// The progress record of the engine, in this field order.

struct TqvUIStatus {
    uint8_t Phase = 0;    // 0 none, 1 scan, 2 backup, 3 clean
    uint8_t Category = 0; // 1 fix, 2 boost, 3 clean (0 after a reset)
    std::wstring Caption; // caption of the group being worked on
    int32_t Position = 0;
    int32_t Maximum = 0;
    int32_t FixErrors = 0;     // registry problems found
    int32_t BoostItems = 0;    // speed-up items found, add-ons included
    int64_t CleanBytes = 0;    // bytes the clean category would free
    int64_t MemoryFigure = -1; // -1 = none; the memory scanner puts 0..100 here
    int32_t AddonsFound = 0;
};

// Every number 0, the caption empty, the memory figure -1.
void ResetUIStatus(TqvUIStatus& Status);
