#pragma once
// The program's settings: loaded once at start from three layers (HKCU, then
// HKLM of the program key, then the built-in configuration table CONFIG, then
// a compiled-in default), changed by the settings page and written back.
//
// The settings are one immutable snapshot, swapped atomically: network and
// worker threads read them while the settings page changes LANGUAGE, so every
// reader takes one snapshot (Settings()) and keeps it for the whole of its
// work. Writers copy the current snapshot, change the copy and publish it.
//
// Every registry access of this unit sets the calling thread's view to
// RegView32 on, RegView64 off (the program key lives in the 32-bit view) and
// restores the thread's flags afterwards. Registry values and table values
// are 8-bit text in the system code page.

#include "platform/StringListU.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

// The product's web site: every service URL's host.
inline constexpr char kProductSiteRoot[] = "https://www.korvelle.com";

// One set of settings. The member initialisers are the compiled-in defaults.
struct TSettings {
    // Registry only (HKLM flags: exactly "1" is on).
    bool SHOW_TRAY = true;
    bool DELAY_STARTUP = true;
    bool CREATE_SYSTEMRP = false;
    bool CHECK_FOR_UPDATES = true;
    std::string SCAN_RESULT; // HKCU
    std::string UID;
    std::string PHONE_NUMBER;
    std::wstring LANGUAGE; // current language code; normalised by the translation lookup

    // Layered through the configuration table.
    bool TRACK_USER = false;
    std::string CFG_ID = "24";
    std::string HOMEPAGE_URL = std::string(kProductSiteRoot) + "/";
    std::string TERMS_URL = std::string(kProductSiteRoot) + "/legal/TermsOfUse.aspx";
    std::string PRIVACY_URL = std::string(kProductSiteRoot) + "/legal/Privacy.aspx";
    std::string FAQ_URL = std::string(kProductSiteRoot) + "/appDefault.aspx?page=faq%LANGUAGE%";
    std::string HELPPAID_URL = std::string(kProductSiteRoot) + "/help.aspx";
    std::string LI_URL =
        std::string(kProductSiteRoot) + "/client.asmx/GetXML?action=%ACTION%&cr=%CU%";
    std::string ADDON_URL = std::string(kProductSiteRoot) + "/client.asmx";
    std::string PHONE_URL =
        std::string(kProductSiteRoot) + "/client.asmx/GetPhone?CFG=%CFG_ID%&LNG=%LNG%";
    std::string TESTIMONIAL_READ = std::string(kProductSiteRoot) + "/Testimonials.aspx";
    std::string TESTIMONIAL_WRITE = std::string(kProductSiteRoot) + "/AddTestimonial.aspx";
    std::string SUPPORT_MAIL = "support@korvelle.com";
    std::string SUPPORT_PHONE = "+1 800 555 0142";
    std::string PHONE_US;
    std::string PHONE_NONUS;
    // Layered like the table settings, read by the tray's loader only; nothing
    // acts on it.
    std::string LOG;
};

// The current snapshot; never null. Starts as the compiled-in defaults.
std::shared_ptr<const TSettings> Settings();
// Publishes Value as the new snapshot. Readers holding the old one keep it.
void SetSettings(TSettings Value);
// Copy of the current snapshot, changed by Change, published; concurrent
// changes are serialised so that none is lost.
void ChangeSettings(const std::function<void(TSettings&)>& Change);

// The ten settings that name web addresses the program opens or requests.
// They never come from HKCU (any process of the user can write there), and a
// value from HKLM or the table counts only when it begins with "http://" or
// "https://" (ignoring case); otherwise the next layer decides.
bool IsUrlSetting(const std::string& Name);
// The support texts that the main program, which runs elevated, shows as its
// own: SUPPORT_MAIL, SUPPORT_PHONE, PHONE_US and PHONE_NONUS come from HKLM
// or the table, never from HKCU. False for every name in the tray's build.
bool IsSupportSetting(const std::string& Name);

// The settings the built-in configuration table may give (the layered
// ones: TRACK_USER, CFG_ID, the addresses and support texts, LOG), ignoring
// case. The web service's configuration values are taken only for these.
bool IsLayeredSetting(const std::string& Name);

// The value of Name in the table list (keys ignore case, the first line
// wins, "key=" gives ''); Default when List is null or lacks the key.
std::string GetConfigListValue(const TStringList* List, const std::string& Name,
                               const std::string& Default);
// The layered lookup: the REG_SZ value Name under HKCU of the program key
// (not for URL and support settings), else under HKLM, else
// GetConfigListValue. A value of another registry type counts as missing.
std::string GetConfigValue(const TStringList* List, const std::string& Name,
                           const std::string& Default);

// Loads every setting from the registry and from the CONFIG resource of
// Module (nullptr: the program's own module) and publishes the result. One
// guard covers the whole load: a failure (no CONFIG resource, a registry
// error) ends it silently, and the settings read before it keep their new
// values while all later ones keep their previous values.
void LoadSettings(HMODULE Module = nullptr);
// Writes SHOW_TRAY, DELAY_STARTUP, CREATE_SYSTEMRP, CHECK_FOR_UPDATES as "1" or
// "0" and LANGUAGE (in the system code page) as REG_SZ to HKLM of the program
// key.
void SaveRegistrySettings();

// Template with its macros replaced, every occurrence, ignoring case, in this
// order: "%CFG_ID%", "%UID%", "%LNG%" (the language code), "%LANGUAGE%" (''
// for "en", else "&lng=" + the code), "%INSTALL%" (whole days since the HKLM
// date INSTALL, which is stored as now when missing) and "%SUBID%" (HKLM
// SubID, '' when missing). Each replacement value is percent-encoded, so a
// stored value cannot add or change query parameters; well-formed values come
// out unchanged. A macro the template lacks costs no registry access. Safe on
// any thread.
std::string ExpandUrlMacros(const std::string& Template);

// Percent-encoding of one query value: every byte except A-Z, a-z, 0-9, "-",
// ".", "_" and "~" becomes "%" and two upper-case hexadecimal digits.
std::string PercentEncode(const std::string& Value);
