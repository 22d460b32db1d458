#include "platform/qvSettings.h"

#include "platform/ClassesU.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/GuardU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

// ---------------------------------------------------------------------------
// What the main program and the tray load differently. The tray builds these
// sources with KORV_TRAY_BUILD; every other line of the loader is shared.

struct TLoadProfile {
    bool readsPhoneNumber;   // HKLM PHONE_NUMBER
    bool looksUpServiceUrls; // ADDON_URL and PHONE_URL
    bool copiesDelayValues;  // START_DELAY_MIN and SCAN_DELAY_MIN into HKLM
    bool readsLog;           // LOG
};
#ifdef KORV_TRAY_BUILD
constexpr TLoadProfile kLoadProfile{false, false, false, true};
#else
constexpr TLoadProfile kLoadProfile{true, true, true, false};
#endif

// The table lookups after TRACK_USER and CFG_ID, in load order. Each takes
// the setting's current value as its default.
struct TTableSetting {
    const char* name;
    std::string TSettings::*field;
    bool serviceUrl; // one of the two service addresses only the main program uses
};
constexpr TTableSetting kTableSettings[] = {
    {"HOMEPAGE_URL", &TSettings::HOMEPAGE_URL, false},
    {"TERMS_URL", &TSettings::TERMS_URL, false},
    {"PRIVACY_URL", &TSettings::PRIVACY_URL, false},
    {"FAQ_URL", &TSettings::FAQ_URL, false},
    {"HELPPAID_URL", &TSettings::HELPPAID_URL, false},
    {"LI_URL", &TSettings::LI_URL, false},
    {"ADDON_URL", &TSettings::ADDON_URL, true},
    {"PHONE_URL", &TSettings::PHONE_URL, true},
    {"TESTIMONIAL_READ", &TSettings::TESTIMONIAL_READ, false},
    {"TESTIMONIAL_WRITE", &TSettings::TESTIMONIAL_WRITE, false},
    {"SUPPORT_MAIL", &TSettings::SUPPORT_MAIL, false},
    {"SUPPORT_PHONE", &TSettings::SUPPORT_PHONE, false},
    {"PHONE_US", &TSettings::PHONE_US, false},
};

// Texts the elevated main program shows as its own (inside HTML captions):
// never from HKCU, where any program of the user can write. The unelevated
// tray reads them as the table says.
#ifdef KORV_TRAY_BUILD
constexpr const char* kSupportSettings[] = {""};
#else
constexpr const char* kSupportSettings[] = {"SUPPORT_MAIL", "SUPPORT_PHONE", "PHONE_US",
                                            "PHONE_NONUS"};
#endif

constexpr const char* kUrlSettings[] = {
    "HOMEPAGE_URL", "TERMS_URL", "PRIVACY_URL", "FAQ_URL",          "HELPPAID_URL",
    "LI_URL",       "ADDON_URL", "PHONE_URL",   "TESTIMONIAL_READ", "TESTIMONIAL_WRITE",
};

// The registry-only flags, written back by SaveRegistrySettings.
struct TFlagSetting {
    const char* name;
    bool TSettings::*field;
};
constexpr TFlagSetting kFlagSettings[] = {
    {"SHOW_TRAY", &TSettings::SHOW_TRAY},
    {"DELAY_STARTUP", &TSettings::DELAY_STARTUP},
    {"CREATE_SYSTEMRP", &TSettings::CREATE_SYSTEMRP},
    {"CHECK_FOR_UPDATES", &TSettings::CHECK_FOR_UPDATES},
};

// Copied from the table into HKLM on every start (read from the table only).
struct TDelaySetting {
    const char* name;
    int32_t fallback;
};
constexpr TDelaySetting kDelaySettings[] = {
    {"START_DELAY_MIN", 15},
    {"SCAN_DELAY_MIN", 60},
};

// ---------------------------------------------------------------------------
// The snapshot. Never destroyed: a thread still reading at process exit
// must not meet a freed holder.

struct TSettingsState {
    std::atomic<std::shared_ptr<const TSettings>> current{std::make_shared<const TSettings>()};
    std::mutex writers;
};

TSettingsState& State()
{
    static TSettingsState* state = new TSettingsState;
    return *state;
}

// A REG_SZ flag: exactly "1" is on; a value that is missing or of another
// type leaves the setting as it is.
void ReadFlag(HKEY Root, const char* Name, bool& Flag)
{
    std::string value;
    if (RegReadString(Root, ProgramKey(), Name, value))
        Flag = value == "1";
}

void ReadText(HKEY Root, const char* Name, std::string& Text)
{
    std::string value;
    if (RegReadString(Root, ProgramKey(), Name, value))
        Text = std::move(value);
}

bool ContainsText(std::string_view Text, std::string_view Pattern)
{
    return AsciiUpperCase(Text).find(AsciiUpperCase(Pattern)) != std::string::npos;
}

// Whole days since the HKLM date INSTALL; a missing date is stored as now.
// A value that is there but no date (another type or size) counts as today
// and stays as it is: the installation date is never replaced.
int64_t DaysSinceInstall()
{
    TProgramKeyView view;
    const TDateTime now = Now();
    std::vector<BYTE> data;
    TDateTime install = now;
    if (RegReadValue(HKEY_LOCAL_MACHINE, ProgramKey(), "INSTALL", REG_BINARY, data) &&
        data.size() == sizeof(TDateTime)) {
        std::memcpy(&install, data.data(), sizeof install);
    } else if (!RegValueExists(HKEY_LOCAL_MACHINE, ProgramKey(), "INSTALL")) {
        RegWriteDateTime(HKEY_LOCAL_MACHINE, ProgramKey(), "INSTALL", now);
    }
    const double days = std::floor(now - install);
    // A damaged stored date is left as it is and counts as today.
    if (!std::isfinite(days) || std::fabs(days) > 1e15)
        return 0;
    return static_cast<int64_t>(days);
}

std::string ReadSubId()
{
    TProgramKeyView view;
    std::string value;
    if (!RegReadString(HKEY_LOCAL_MACHINE, ProgramKey(), "SubID", value))
        value.clear();
    return value;
}

} // namespace

// ---------------------------------------------------------------------------
// Snapshot

std::shared_ptr<const TSettings> Settings()
{
    return State().current.load();
}

void SetSettings(TSettings Value)
{
    TSettingsState& state = State();
    std::lock_guard lock(state.writers);
    state.current.store(std::make_shared<const TSettings>(std::move(Value)));
}

void ChangeSettings(const std::function<void(TSettings&)>& Change)
{
    TSettingsState& state = State();
    std::lock_guard lock(state.writers);
    TSettings copy = *state.current.load();
    Change(copy);
    state.current.store(std::make_shared<const TSettings>(std::move(copy)));
}

// ---------------------------------------------------------------------------
// Lookups

bool IsLayeredSetting(const std::string& Name)
{
    for (const char* other : {"TRACK_USER", "CFG_ID", "PHONE_NONUS", "LOG"})
        if (SameTextAscii(Name, other))
            return true;
    for (const TTableSetting& setting : kTableSettings)
        if (SameTextAscii(Name, setting.name))
            return true;
    return false;
}

bool IsUrlSetting(const std::string& Name)
{
    for (const char* url : kUrlSettings)
        if (SameTextAscii(Name, url))
            return true;
    return false;
}

std::string GetConfigListValue(const TStringList* List, const std::string& Name,
                               const std::string& Default)
{
    if (!List)
        return Default;
    const int index = List->IndexOfName(Name);
    return index < 0 ? Default : List->ValueFromIndex(index);
}

bool IsSupportSetting(const std::string& Name)
{
    for (const char* support : kSupportSettings)
        if (*support && SameTextAscii(Name, support))
            return true;
    return false;
}

std::string GetConfigValue(const TStringList* List, const std::string& Name,
                           const std::string& Default)
{
    TProgramKeyView view;
    const bool url = IsUrlSetting(Name);
    std::string value;
    // Any process of the user can write HKCU, so addresses (and the support
    // texts of the elevated program) never come from there.
    if (!url && !IsSupportSetting(Name) &&
        RegReadString(HKEY_CURRENT_USER, ProgramKey(), Name, value))
        return value;
    value.clear();
    if (RegReadString(HKEY_LOCAL_MACHINE, ProgramKey(), Name, value) && (!url || IsWebUrl(value)))
        return value;
    value = GetConfigListValue(List, Name, Default);
    if (url && !IsWebUrl(value))
        return Default;
    return value;
}

// ---------------------------------------------------------------------------
// Load and save

void LoadSettings(HMODULE Module)
{
    TProgramKeyView view;
    ChangeSettings([Module](TSettings& s) {
        Guard([&] {
            for (const TFlagSetting& flag : kFlagSettings)
                ReadFlag(HKEY_LOCAL_MACHINE, flag.name, s.*flag.field);
            ReadText(HKEY_CURRENT_USER, "SCAN_RESULT", s.SCAN_RESULT);
            ReadText(HKEY_LOCAL_MACHINE, "UID", s.UID);
            if (kLoadProfile.readsPhoneNumber)
                ReadText(HKEY_LOCAL_MACHINE, "PHONE_NUMBER", s.PHONE_NUMBER);
            std::string language;
            if (RegReadString(HKEY_LOCAL_MACHINE, ProgramKey(), "LANGUAGE", language))
                s.LANGUAGE = AnsiToWide(language);

            // A missing resource throws and ends the load here.
            TResourceStream stream(Module ? Module : GetModuleHandleW(nullptr), L"CONFIG");
            TStringList table;
            table.SetText(TrimAtNull(ReadWholeStream(stream)));

            s.TRACK_USER = GetConfigValue(&table, "TRACK_USER", "0") == "1";
            s.CFG_ID = GetConfigValue(&table, "CFG_ID", "0");
            for (const TTableSetting& setting : kTableSettings) {
                if (setting.serviceUrl && !kLoadProfile.looksUpServiceUrls)
                    continue;
                s.*setting.field = GetConfigValue(&table, setting.name, s.*setting.field);
            }
            if (!s.PHONE_US.empty())
                s.SUPPORT_PHONE = s.PHONE_US;
            else
                s.PHONE_US = s.SUPPORT_PHONE;
            s.PHONE_NONUS = GetConfigValue(&table, "PHONE_NONUS", s.PHONE_NONUS);
            if (kLoadProfile.readsLog)
                s.LOG = GetConfigValue(&table, "LOG", s.LOG);

            if (kLoadProfile.copiesDelayValues) {
                for (const TDelaySetting& delay : kDelaySettings) {
                    // Minutes, in decimal: "-5" would wrap to a huge DWORD.
                    int32_t minutes = delay.fallback;
                    if (!TryStrToIntDecimal(GetConfigListValue(&table, delay.name, ""), minutes) ||
                        minutes < 0)
                        minutes = delay.fallback;
                    RegWriteDWord(HKEY_LOCAL_MACHINE, ProgramKey(), delay.name,
                                  static_cast<DWORD>(minutes));
                }
            }
        });
    });
}

void SaveRegistrySettings()
{
    TProgramKeyView view;
    const auto s = Settings();
    for (const TFlagSetting& flag : kFlagSettings)
        RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), flag.name, (*s).*flag.field ? "1" : "0");
    RegWriteString(HKEY_LOCAL_MACHINE, ProgramKey(), "LANGUAGE", WideToAnsi(s->LANGUAGE));
}

// ---------------------------------------------------------------------------
// URL macros

std::string PercentEncode(const std::string& Value)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(Value.size());
    for (unsigned char c : Value) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

std::string ExpandUrlMacros(const std::string& Template)
{
    // One snapshot for the whole expansion: the settings page may change the
    // language meanwhile.
    const auto s = Settings();
    const std::string language = PercentEncode(WideToUtf8(s->LANGUAGE));
    std::string result = ReplaceTextA(Template, "%CFG_ID%", PercentEncode(s->CFG_ID));
    result = ReplaceTextA(result, "%UID%", PercentEncode(s->UID));
    result = ReplaceTextA(result, "%LNG%", language);
    result = ReplaceTextA(result, "%LANGUAGE%", s->LANGUAGE == L"en" ? "" : "&lng=" + language);
    if (ContainsText(result, "%INSTALL%"))
        result = ReplaceTextA(result, "%INSTALL%", IntToStr(DaysSinceInstall()));
    if (ContainsText(result, "%SUBID%"))
        result = ReplaceTextA(result, "%SUBID%", PercentEncode(ReadSubId()));
    return result;
}
