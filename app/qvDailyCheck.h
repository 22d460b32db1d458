#pragma once
// The daily check of the web service: at most once a day (and whenever a
// user asks) the program asks the service for the list of new program
// files, configuration values and news.
//
// The request is a GET of LI_URL with "%ACTION%" := "CHECK" and "%CU%" := the
// install report's envelope (RNDX_*, CFG, UID, RNDY_*, SUBID). The reply is
// an XML document:
//
//   <Check>
//     <Vers silent="0|1">                 the update list, silent or asked for
//       <File url="https://..." size="<bytes>" sha256="<64 hex digits>"/>
//       ...
//     </Vers>
//     <Config name="HELPPAID_URL" value="https://..."/>   any number
//     <NewsList>...</NewsList>            the news items (the main window's)
//   </Check>
//
// A missing part does nothing. A reply that is not one complete document
// with the root Check changes nothing. Config values are written as REG_SZ
// to HKLM of the program key (32-bit view), only for the settings the
// built-in configuration table may give; they count from the next start.
//
// A run without administrator rights cannot install files or write the
// machine-wide key: it writes LAST_CHECK (the tray waits on it) and marks the
// check deferred (HKCU CHECK_DEFERRED = "1"); the next run with the rights
// checks at once and removes the mark.

#include "platform/DateTimeU.h"
#include "platform/ThreadU.h"
#include "platform/XmlU.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct TCheckFile {
    std::string URL, Size, Sha256; // as the reply gives them
};

struct TCheckReply {
    bool HasVers = false;
    bool Silent = false;
    std::vector<TCheckFile> Files;
    std::vector<std::pair<std::string, std::string>> Config; // name, value
    // The parsed reply, kept for the news merge, and its NewsList element
    // (null when the reply has none).
    std::shared_ptr<TXML> Document;
    const TXMLTag* NewsList = nullptr;
};

// False, Reply untouched, for anything but one complete document whose
// top element is Check.
bool ParseCheckReply(const std::string& Xml, TCheckReply& Reply);
// One line per file: url TAB size TAB sha256.
std::string UpdateListText(const std::vector<TCheckFile>& Files);

// HKCU LAST_CHECK missing or at least a day away from Now (either way), or,
// with administrator rights, a deferred check.
bool DailyCheckDue(TDateTime Now, bool Administrator);

// The update run a check hands its list to (the list as UpdateListText
// gives it, silent, manual, the URL the list came from): a thread that frees
// itself, created suspended, which the check starts and waits for. Without
// one (the shipped program) the run is a TQVUpdateThread.
using TUpdateRunFactory = std::function<TThread*(const std::string& List, bool Silent,
                                                 bool Manual, const std::string& SourceURL)>;
void SetUpdateRunFactory(TUpdateRunFactory Factory);

// Step 14 of the start: when the check is due, LAST_CHECK := now and the
// check runs on its own thread; the returned handle (the caller's to close)
// is signalled once the check and the update run it started have ended.
// Null when nothing runs (not due, or a run without administrator rights,
// which only defers the check).
HANDLE StartDailyCheck();
// A user's check now: LAST_CHECK untouched, CHECK_FOR_UPDATES ignored; a
// failed request is told ("UpdateFailed"). The handle as above.
HANDLE StartManualCheck();
