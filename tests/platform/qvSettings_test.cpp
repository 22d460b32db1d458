#include "ChildCases.h"
#include "ImportPatch.h"
#include "SettingsTestSupport.h"

#include "platform/DateTimeU.h"
#include "platform/FileResourceU.h"
#include "platform/RegistryU.h"
#include "platform/ShellUtilsU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <cstring>
#include <optional>
#include <thread>

using namespace settingstest;

namespace {

// A module loaded as a data file for the test's lifetime.
class DataModule {
public:
    explicit DataModule(const std::wstring& path)
        : module_(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE))
    {
    }
    ~DataModule()
    {
        if (module_)
            FreeLibrary(module_);
    }
    DataModule(const DataModule&) = delete;
    DataModule& operator=(const DataModule&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

const std::string kSite = kProductSiteRoot;

class qvSettings : public ProgramKeyTest {
protected:
    // The shipped configuration table, as embedded in the test program.
    void Shipped(TStringList& table) { EXPECT_TRUE(LoadResourceStrings("CONFIG", &table)); }
    DWORD LmDword(const char* name)
    {
        DWORD value = 0;
        DWORD size = sizeof value;
        DWORD type = 0;
        if (RegQueryValueExA(lm32_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD)
            return 0xFFFFFFFF;
        return value;
    }
};

// ---------------------------------------------------------------------------
// Layers

struct RegValue {
    DWORD type; // REG_SZ or REG_DWORD
    std::string text;
};

struct LayerCase {
    const char* name;
    const char* key;
    std::optional<RegValue> hkcu;
    std::optional<RegValue> hklm;
    const char* table;
    const char* expected;
};

void Put(HKEY key, const char* name, const std::optional<RegValue>& value)
{
    if (!value)
        return;
    if (value->type == REG_SZ)
        SetSz(key, name, value->text);
    else
        SetDword(key, name, 1);
}

TEST_F(qvSettings, LayersDecideInOrderAndUrlsSkipTheUsersKey)
{
    const RegValue dword{REG_DWORD, ""};
    const LayerCase cases[] = {
        {"HKCU empty text beats HKLM and table", "CFG_ID", RegValue{REG_SZ, ""},
         RegValue{REG_SZ, "lm"}, "CFG_ID=tab", ""},
        {"HKCU DWORD is ignored", "CFG_ID", dword, RegValue{REG_SZ, "lm"}, "CFG_ID=tab", "lm"},
        {"HKLM beats table", "CFG_ID", std::nullopt, RegValue{REG_SZ, "lm"}, "CFG_ID=tab", "lm"},
        {"HKLM DWORD is ignored", "CFG_ID", std::nullopt, dword, "CFG_ID=tab", "tab"},
        {"table beats default", "CFG_ID", std::nullopt, std::nullopt, "CFG_ID=tab", "tab"},
        {"default last", "CFG_ID", std::nullopt, std::nullopt, "OTHER=x", "def"},
        {"table keys ignore case", "CFG_ID", std::nullopt, std::nullopt, "cfg_Id=lower", "lower"},
        {"first line wins", "CFG_ID", std::nullopt, std::nullopt, "CFG_ID=first\r\ncfg_id=second",
         "first"},
        {"key= gives empty", "CFG_ID", std::nullopt, std::nullopt, "CFG_ID=", ""},
        // The support texts that the elevated program shows as its own.
        {"support: HKCU mail is ignored", "SUPPORT_MAIL", RegValue{REG_SZ, "<a href=x>"},
         std::nullopt, "SUPPORT_MAIL=tab", "tab"},
        {"support: HKCU phone is ignored", "SUPPORT_PHONE", RegValue{REG_SZ, "0900"},
         RegValue{REG_SZ, "lm"}, "", "lm"},
        {"support: HKCU US phone is ignored", "PHONE_US", RegValue{REG_SZ, "0900"}, std::nullopt,
         "", "def"},
        {"support: HKCU other phone is ignored", "PHONE_NONUS", RegValue{REG_SZ, "0900"},
         std::nullopt, "PHONE_NONUS=tab", "tab"},
        {"URL: HKCU https is ignored", "FAQ_URL", RegValue{REG_SZ, "https://user/x"}, std::nullopt,
         "FAQ_URL=https://table/x", "https://table/x"},
        {"URL: HKLM file: falls through to the table", "FAQ_URL", std::nullopt,
         RegValue{REG_SZ, "file:///C:/x"}, "FAQ_URL=https://table/x", "https://table/x"},
        {"URL: HKLM upper-case HTTPS is taken", "FAQ_URL", std::nullopt,
         RegValue{REG_SZ, "HTTPS://h/x"}, "FAQ_URL=https://table/x", "HTTPS://h/x"},
        {"URL: HKLM plain http is taken", "PHONE_URL", std::nullopt, RegValue{REG_SZ, "http://h"},
         "", "http://h"},
        {"URL: a table path falls to the default", "TERMS_URL", std::nullopt, std::nullopt,
         "TERMS_URL=C:\\x.exe", "def"},
        {"URL: an empty table value falls to the default", "TESTIMONIAL_WRITE", std::nullopt,
         std::nullopt, "TESTIMONIAL_WRITE=", "def"},
    };
    for (const LayerCase& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteValueA(hkcu_, c.key);
        RegDeleteValueA(lm32_, c.key);
        Put(hkcu_, c.key, c.hkcu);
        Put(lm32_, c.key, c.hklm);
        TStringList table;
        table.SetText(c.table);
        EXPECT_EQ(c.expected, GetConfigValue(&table, c.key, "def"));
        RegDeleteValueA(hkcu_, c.key);
        RegDeleteValueA(lm32_, c.key);
    }
    EXPECT_EQ("def", GetConfigListValue(nullptr, "CFG_ID", "def"));
    EXPECT_EQ("def", GetConfigValue(nullptr, "CFG_ID", "def"));
}

TEST_F(qvSettings, LookupsUseTheThirtyTwoBitViewAndRestoreTheThreadsFlags)
{
    SetSz(lm32_, "SUPPORT_MAIL", "view32");
    // 32-bit Windows has one registry view, which the 64-bit flag does not leave.
    if (IsWin64()) {
        HKEY lm64 = HklmTwin(KEY_WOW64_64KEY);
        ASSERT_NE(nullptr, lm64);
        SetSz(lm64, "SUPPORT_MAIL", "view64");
    }
    TRegViewScope caller(false, true);
    EXPECT_EQ("view32", GetConfigValue(nullptr, "SUPPORT_MAIL", "def"));
    EXPECT_FALSE(RegView32);
    EXPECT_TRUE(RegView64);
}

// ---------------------------------------------------------------------------
// The configuration table

TEST_F(qvSettings, ShippedTableHoldsEveryKeyWithItsPathAndQuery)
{
    TStringList table;
    Shipped(table);
    const struct {
        const char* key;
        std::string value;
    } expected[] = {
        {"CFG_ID", "24"},
        {"FAQ_URL", kSite + "/appDefault.aspx?page=faq&lng=%LNG%"},
        {"HELPPAID_URL", kSite + "/help.aspx?lng=%LNG%"},
        {"HOMEPAGE_URL", kSite + "/default.aspx?lng=%LNG%"},
        {"LI_URL", kSite + "/client.asmx/GetXML?action=%ACTION%&cr=%CU%"},
        {"PRIVACY_URL", kSite + "/legal/Privacy.aspx"},
        {"TERMS_URL", kSite + "/legal/TermsOfUse.aspx"},
        {"TRACK_USER", "0"},
        {"TESTIMONIAL_WRITE", kSite + "/AddTestimonial.aspx?lng=%LNG%"},
        {"TESTIMONIAL_READ", kSite + "/testimonials.aspx?lng=%LNG%"},
        {"PHONE_US", ""},
        {"PHONE_NONUS", ""},
        {"START_DELAY_MIN", "15"},
        {"SCAN_DELAY_MIN", "60"},
        {"ADDON_URL", kSite + "/client.asmx"},
        {"PHONE_URL", kSite + "/client.asmx/GetPhone?CFG=24&LNG=%LNG%"},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.key);
        ASSERT_GE(table.IndexOfName(e.key), 0);
        EXPECT_EQ(e.value, GetConfigListValue(&table, e.key, "missing"));
    }
    EXPECT_NE("", GetConfigListValue(&table, "SUPPORT_MAIL", ""));
    EXPECT_NE("", GetConfigListValue(&table, "SUPPORT_PHONE", ""));
    for (int i = 0; i < table.Count(); ++i) {
        const std::string key = table.Names(i);
        if (IsUrlSetting(key)) {
            EXPECT_TRUE(IsWebUrl(table.ValueFromIndex(i))) << key;
        }
    }

    LoadSettings();
    const auto s = Settings();
    EXPECT_EQ("24", s->CFG_ID);
    EXPECT_FALSE(s->TRACK_USER);
    EXPECT_EQ(kSite + "/client.asmx/GetPhone?CFG=24&LNG=%LNG%", s->PHONE_URL);
    EXPECT_EQ(15u, LmDword("START_DELAY_MIN"));
    EXPECT_EQ(60u, LmDword("SCAN_DELAY_MIN"));
}

TEST_F(qvSettings, WithoutConfigTheLoadStopsThereAndWritesNoDelays)
{
    DataModule plain(ktest::ProgramDir() + L"plain_child.exe");
    ASSERT_NE(nullptr, plain.get());
    SetSz(lm32_, "SHOW_TRAY", "0");
    SetSz(lm32_, "UID", "ABC123");
    SetSz(hkcu_, "CFG_ID", "99");

    LoadSettings(plain.get());
    const auto s = Settings();
    // Read before the table: taken.
    EXPECT_FALSE(s->SHOW_TRAY);
    EXPECT_EQ("ABC123", s->UID);
    // After it: untouched, even with a registry value waiting.
    EXPECT_EQ("24", s->CFG_ID);
    EXPECT_EQ(TSettings{}.HOMEPAGE_URL, s->HOMEPAGE_URL);
    EXPECT_EQ(REG_NONE, TypeOf(lm32_, "START_DELAY_MIN"));
    EXPECT_EQ(REG_NONE, TypeOf(lm32_, "SCAN_DELAY_MIN"));
}

TEST_F(qvSettings, ConfigWithoutCfgIdGivesZeroAndBadDelaysTheirFallbacks)
{
    // The 1.0.0.1 stand-in's table: TRACK_USER=1, its own HOMEPAGE_URL,
    // START_DELAY_MIN=abc and no SCAN_DELAY_MIN.
    DataModule stub(ktest::ProgramDir() + L"korv_stub_v1.exe");
    ASSERT_NE(nullptr, stub.get());
    // Delays come from the table only, never from the registry.
    SetSz(lm32_, "START_DELAY_MIN", "99");
    SetSz(hkcu_, "SCAN_DELAY_MIN", "99");

    LoadSettings(stub.get());
    const auto s = Settings();
    EXPECT_EQ("0", s->CFG_ID);
    EXPECT_TRUE(s->TRACK_USER);
    EXPECT_EQ("https://stub.example/home", s->HOMEPAGE_URL);
    EXPECT_EQ(15u, LmDword("START_DELAY_MIN"));
    EXPECT_EQ(60u, LmDword("SCAN_DELAY_MIN"));
}

TEST_F(qvSettings, DelaysThatAreNoDecimalMinutesGetTheirFallbacks)
{
    // START_DELAY_MIN=-5 and SCAN_DELAY_MIN=0x9.
    DataModule stub(ktest::ProgramDir() + L"korv_stub_delays.exe");
    ASSERT_NE(nullptr, stub.get());
    LoadSettings(stub.get());
    EXPECT_EQ(15u, LmDword("START_DELAY_MIN")) << "not 4294967291";
    EXPECT_EQ(60u, LmDword("SCAN_DELAY_MIN")) << "hexadecimal is no decimal number";
}

TEST_F(qvSettings, NumericDelaysAreCopiedAndThePhoneNumbersExchangedBothWays)
{
    // Shipped table: PHONE_US is empty, so it takes SUPPORT_PHONE.
    LoadSettings();
    TStringList shipped;
    Shipped(shipped);
    const std::string shippedPhone = GetConfigListValue(&shipped, "SUPPORT_PHONE", "");
    EXPECT_EQ(shippedPhone, Settings()->SUPPORT_PHONE);
    EXPECT_EQ(shippedPhone, Settings()->PHONE_US);

    // The 1.0.0.2 stand-in: START_DELAY_MIN=7, SCAN_DELAY_MIN=90 and a
    // PHONE_US that replaces SUPPORT_PHONE.
    SetSettings(TSettings{});
    DataModule stub(ktest::ProgramDir() + L"korv_stub_v2.exe");
    ASSERT_NE(nullptr, stub.get());
    LoadSettings(stub.get());
    EXPECT_EQ("+49 30 1234", Settings()->SUPPORT_PHONE);
    EXPECT_EQ("+49 30 1234", Settings()->PHONE_US);
    EXPECT_EQ("+44 20 5555", Settings()->PHONE_NONUS);
    EXPECT_EQ(7u, LmDword("START_DELAY_MIN"));
    EXPECT_EQ(90u, LmDword("SCAN_DELAY_MIN"));
}

// ---------------------------------------------------------------------------
// Flags

TEST_F(qvSettings, OnlyExactlyOneTurnsAFlagOn)
{
    const struct {
        const char* name;
        std::optional<RegValue> value;
        bool showTray;      // default on
        bool createRestore; // default off
    } cases[] = {
        {"\"1\"", RegValue{REG_SZ, "1"}, true, true},
        {"\"0\"", RegValue{REG_SZ, "0"}, false, false},
        {"\"true\"", RegValue{REG_SZ, "true"}, false, false},
        {"\"01\"", RegValue{REG_SZ, "01"}, false, false},
        {"\"\"", RegValue{REG_SZ, ""}, false, false},
        {"missing", std::nullopt, true, false},
        {"REG_DWORD 1", RegValue{REG_DWORD, ""}, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetSettings(TSettings{});
        RegDeleteValueA(lm32_, "SHOW_TRAY");
        RegDeleteValueA(lm32_, "CREATE_SYSTEMRP");
        Put(lm32_, "SHOW_TRAY", c.value);
        Put(lm32_, "CREATE_SYSTEMRP", c.value);
        LoadSettings();
        EXPECT_EQ(c.showTray, Settings()->SHOW_TRAY);
        EXPECT_EQ(c.createRestore, Settings()->CREATE_SYSTEMRP);
    }
}

TEST_F(qvSettings, TwoLoadAndSaveCyclesLeaveTheKeyAsTheFirstMadeIt)
{
    SetSz(lm32_, "LANGUAGE", "de");
    SetSz(lm32_, "UID", "0123ABCD");
    SetSz(lm32_, "DELAY_STARTUP", "0");
    SetDword(lm32_, "CHECK_FOR_UPDATES", 1); // wrong type: the default stays, then is saved

    const std::wstring exportFile = MakeScratchFolder(L"export");
    auto exportKey = [&](const wchar_t* name) {
        const std::wstring file = exportFile + name;
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        const std::wstring reg = std::wstring(system) + L"\\reg.exe";
        const std::wstring view = RunsOnWin64() ? L"Software\\Wow6432Node\\" : L"Software\\";
        std::wstring cmd = L"\"" + reg + L"\" export \"HKLM\\" + view +
                           ScratchPath().substr(wcslen(L"Software\\")) + L"\" \"" + file + L"\" /y";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        EXPECT_TRUE(CreateProcessW(reg.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &pi));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, INFINITE));
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return ktest::ReadFileBytes(file);
    };

    // Called from a thread in the 64-bit view: the program key is still the
    // 32-bit view's, and the thread's flags come back.
    auto cycle = [] {
        TRegViewScope caller(false, true);
        LoadSettings();
        SaveRegistrySettings();
        EXPECT_FALSE(RegView32);
        EXPECT_TRUE(RegView64);
    };
    cycle();
    const std::string first = exportKey(L"first.reg");
    SetSettings(TSettings{});
    cycle();
    const std::string second = exportKey(L"second.reg");
    ktest::RemoveTree(exportFile);

    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, second);
    const struct {
        const char* name;
        const char* value;
    } saved[] = {{"SHOW_TRAY", "1"},
                 {"DELAY_STARTUP", "0"},
                 {"CREATE_SYSTEMRP", "0"},
                 {"CHECK_FOR_UPDATES", "1"},
                 {"LANGUAGE", "de"}};
    for (const auto& v : saved) {
        std::string text;
        EXPECT_TRUE(GetSz(lm32_, v.name, text)) << v.name << " must be REG_SZ";
        EXPECT_EQ(v.value, text) << v.name;
    }
}

// ---------------------------------------------------------------------------
// URL macros

TEST_F(qvSettings, UrlMacrosAreReplacedInEveryCaseAndEncoded)
{
    const struct {
        const char* name;
        const wchar_t* language;
        const char* uid;
        const char* templ;
        const char* expected;
    } cases[] = {
        {"en", L"en", "ABC", "u?c=%CFG_ID%&u=%UID%&l=%LNG%%LANGUAGE%", "u?c=24&u=ABC&l=en"},
        {"de", L"de", "ABC", "u?c=%CFG_ID%&u=%UID%&l=%LNG%%LANGUAGE%", "u?c=24&u=ABC&l=de&lng=de"},
        {"lower-case macros", L"de", "ABC", "%lng%|%Language%|%cfg_id%", "de|&lng=de|24"},
        {"two occurrences", L"en", "ABC", "%UID%-%uid%", "ABC-ABC"},
        {"query characters are encoded", L"en", "a&b#c", "x?u=%UID%", "x?u=a%26b%23c"},
        {"an equals sign too", L"en", "a=b c", "%UID%", "a%3Db%20c"},
        {"no macros", L"en", "ABC", "https://h/p?q=1", "https://h/p?q=1"},
    };
    // The macros of the settings cost no registry access; %SUBID% does.
    importpatch::TCallCounter counter;
    ASSERT_TRUE(counter.Installed());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChangeSettings([&](TSettings& s) {
            s.LANGUAGE = c.language;
            s.UID = c.uid;
        });
        EXPECT_EQ(c.expected, ExpandUrlMacros(c.templ));
    }
    EXPECT_EQ(0, counter.RegistryCalls());
    ExpandUrlMacros("%SubID%");
    EXPECT_LT(0, counter.RegistryCalls());
    EXPECT_EQ(REG_NONE, TypeOf(lm32_, "INSTALL")) << "no template held %INSTALL%";
}

TEST_F(qvSettings, InstallDaysAreCountedFromTheStoredDateWhichIsMadeOnFirstUse)
{
    const TDateTime before = Now();
    EXPECT_EQ("d=0", ExpandUrlMacros("d=%INSTALL%"));
    const TDateTime after = Now();
    ASSERT_EQ(REG_BINARY, TypeOf(lm32_, "INSTALL"));
    TDateTime stored = 0;
    DWORD size = sizeof stored;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(lm32_, "INSTALL", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&stored), &size));
    EXPECT_EQ(8u, size);
    EXPECT_LE(before, stored) << "INSTALL must be stored as now";
    EXPECT_LE(stored, after) << "INSTALL must be stored as now";

    const TDateTime earlier = Now() - 1.5;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(lm32_, "INSTALL", 0, REG_BINARY,
                                            reinterpret_cast<const BYTE*>(&earlier), 8));
    EXPECT_EQ("1", ExpandUrlMacros("%install%"));

    // A malformed date counts as today and is never replaced: "now" is stored
    // only when the value is missing.
    const struct {
        const char* name;
        DWORD type;
        std::string bytes;
    } malformed[] = {
        {"four bytes", REG_BINARY, std::string("\x01\x02\x03\x04", 4)},
        {"a string", REG_SZ, std::string("2024-01-01", 11)},
        {"empty", REG_BINARY, std::string()},
    };
    for (const auto& m : malformed) {
        SCOPED_TRACE(m.name);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(lm32_, "INSTALL", 0, m.type,
                                                reinterpret_cast<const BYTE*>(m.bytes.data()),
                                                static_cast<DWORD>(m.bytes.size())));
        EXPECT_EQ("0", ExpandUrlMacros("%INSTALL%"));
        EXPECT_EQ(m.type, TypeOf(lm32_, "INSTALL"));
        char data[32] = {};
        DWORD size = sizeof data;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(lm32_, "INSTALL", nullptr, nullptr,
                                                  reinterpret_cast<BYTE*>(data), &size));
        EXPECT_EQ(m.bytes, std::string(data, size));
    }
}

TEST_F(qvSettings, SubIdComesFromTheThirtyTwoBitViewEvenOnASixtyFourBitThread)
{
    EXPECT_EQ("s=", ExpandUrlMacros("s=%SUBID%"));
    SetSz(lm32_, "SubID", "x=1");
    // 32-bit Windows has one registry view, which the 64-bit flag does not leave.
    if (IsWin64()) {
        HKEY lm64 = HklmTwin(KEY_WOW64_64KEY);
        ASSERT_NE(nullptr, lm64);
        SetSz(lm64, "SubID", "wrong");
    }
    std::string result;
    bool view32 = true;
    bool view64 = false;
    std::thread worker([&] {
        TRegViewScope scope(false, true);
        result = ExpandUrlMacros("s=%SubId%");
        view32 = RegView32;
        view64 = RegView64;
    });
    worker.join();
    EXPECT_EQ("s=x%3D1", result);
    EXPECT_FALSE(view32);
    EXPECT_TRUE(view64) << "the thread's own flags must come back";
}

} // namespace
