#include "platform/SecurityU.h"
#include "platform/WinVersionU.h"

#include "KorvTest.h"

#include <string>
#include <thread>

namespace {

// ---------------------------------------------------------------------------
// The version table

struct VersionRow {
    const char* name;
    DWORD platform, major, minor;
    BYTE productType;
    WORD servicePack;
    TWinVersion expected;
};

constexpr BYTE kWorkstation = VER_NT_WORKSTATION;
constexpr BYTE kDomainController = VER_NT_DOMAIN_CONTROLLER;
constexpr BYTE kServer = VER_NT_SERVER;

constexpr VersionRow kVersionRows[] = {
    {"Windows 95", 1, 4, 0, 0, 0, TWinVersion::W95},
    {"Windows 95 OSR2", 1, 4, 3, 0, 0, TWinVersion::W95},
    {"Windows 98", 1, 4, 10, 0, 0, TWinVersion::W98},
    {"Windows ME", 1, 4, 90, 0, 0, TWinVersion::WME},
    {"Win32s", 0, 3, 10, 0, 0, TWinVersion::W95},
    {"platform 3 (CE)", 3, 5, 0, 0, 0, TWinVersion::W95},
    {"NT 3.51", 2, 3, 51, kWorkstation, 5, TWinVersion::NT40},
    {"NT 4.0", 2, 4, 0, kWorkstation, 6, TWinVersion::NT40},
    {"Windows 2000", 2, 5, 0, kWorkstation, 4, TWinVersion::W2K},
    {"Windows 2000 Server", 2, 5, 0, kServer, 4, TWinVersion::W2K},
    {"XP", 2, 5, 1, kWorkstation, 0, TWinVersion::WXP},
    {"XP SP1", 2, 5, 1, kWorkstation, 1, TWinVersion::WXP},
    {"XP SP2", 2, 5, 1, kWorkstation, 2, TWinVersion::WXPSP2},
    {"XP SP3", 2, 5, 1, kWorkstation, 3, TWinVersion::WXPSP2},
    {"XP x64 SP1", 2, 5, 2, kWorkstation, 1, TWinVersion::WXP},
    {"XP x64 SP2", 2, 5, 2, kWorkstation, 2, TWinVersion::WXPSP2},
    {"Server 2003", 2, 5, 2, kServer, 0, TWinVersion::WS03},
    {"Server 2003 domain controller", 2, 5, 2, kDomainController, 2, TWinVersion::WS03},
    {"5.1 server", 2, 5, 1, kServer, 0, TWinVersion::WS03},
    {"Vista", 2, 6, 0, kWorkstation, 2, TWinVersion::VISTA},
    {"Server 2008", 2, 6, 0, kServer, 2, TWinVersion::WS2008},
    {"Windows 7", 2, 6, 1, kWorkstation, 1, TWinVersion::W7},
    {"Server 2008 R2", 2, 6, 1, kServer, 1, TWinVersion::WS2008R2},
    {"Windows 8", 2, 6, 2, kWorkstation, 0, TWinVersion::W7},
    {"Server 2012", 2, 6, 2, kServer, 0, TWinVersion::WS2008R2},
    {"Windows 8.1", 2, 6, 3, kWorkstation, 0, TWinVersion::W7},
    {"Windows 10", 2, 10, 0, kWorkstation, 0, TWinVersion::W7},
    {"Server 2016", 2, 10, 0, kServer, 0, TWinVersion::WS2008R2},
    {"Server 2019 domain controller", 2, 10, 0, kDomainController, 0, TWinVersion::WS2008R2},
};

TEST(WinVersionU, ClassifiesEveryRow)
{
    for (const VersionRow& row : kVersionRows) {
        EXPECT_EQ(row.expected, ClassifyWinVersion(row.platform, row.major, row.minor,
                                                   row.productType, row.servicePack))
            << row.name;
        OSVERSIONINFOEXA info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwPlatformId = row.platform;
        info.dwMajorVersion = row.major;
        info.dwMinorVersion = row.minor;
        info.wProductType = row.productType;
        info.wServicePackMajor = row.servicePack;
        EXPECT_EQ(row.expected, WinVersionOfQuery(TRUE, info)) << row.name;
    }
}

TEST(WinVersionU, FailedQueryGivesXp)
{
    OSVERSIONINFOEXA info{};
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 1;
    info.wProductType = kWorkstation;
    EXPECT_EQ(TWinVersion::WXP, WinVersionOfQuery(FALSE, info));
}

TEST(WinVersionU, NamesInOrder)
{
    const char* const names[] = {"W95",    "W98",  "WME",   "NT35",   "NT40",     "W2K", "WXP",
                                 "WXPSP2", "WS03", "VISTA", "WS2008", "WS2008R2", "W7"};
    for (int i = 0; i < 13; ++i)
        EXPECT_STREQ(names[i], WinVersionName(static_cast<TWinVersion>(i))) << i;
}

// ---------------------------------------------------------------------------
// Real runs under the versions Wine pretends to be

// The child reports GetWinVersion in bits 0-7, IsWinNT as bit 8 and the
// major version Windows gave it in bits 16-23.
KTEST_ROLE(report_win_version)
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    GetVersionExA(&info);
    return static_cast<int>(GetWinVersion()) | (IsWinNT() ? 0x100 : 0) |
           static_cast<int>((info.dwMajorVersion & 0xFF) << 16);
}

// Windows gives 10.0 only to a program whose manifest declares Windows 10.
constexpr const char kWin10Manifest[] =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
    </application>
  </compatibility>
</assembly>
)";

class WinVersionRun : public ktest::ScratchDirTest {};

TEST_F(WinVersionRun, UnderAppDefaultsVersions)
{
    struct Case {
        const wchar_t* version; // empty: no override
        TWinVersion expected;
        bool nt;
    };
    const Case cases[] = {
        // Wine's own default is Windows 7 SP1 workstation. Its "win7" and
        // "win2008r2" settings have their product types swapped, so W7 comes
        // from no override and WS2008R2 only from the table.
        {L"", TWinVersion::W7, true},         {L"winxp", TWinVersion::WXPSP2, true},
        {L"vista", TWinVersion::VISTA, true}, {L"win2003", TWinVersion::WS03, true},
        {L"win98", TWinVersion::W98, false},
    };
    for (const Case& c : cases) {
        std::wstring version = c.version;
        ktest::ChildResult r = version.empty()
                                   ? ktest::RunSelf(L"report_win_version")
                                   : ktest::RunSelfAsVersion(dir_, version, L"report_win_version");
        std::string label(version.begin(), version.end());
        ASSERT_TRUE(r.started) << label;
        ASSERT_FALSE(r.timedOut) << label;
        EXPECT_EQ(static_cast<DWORD>(c.expected), r.exitCode & 0xFF) << label;
        EXPECT_EQ(c.nt, (r.exitCode & 0x100) != 0) << label;
    }
}

TEST_F(WinVersionRun, Windows10WithManifestIsW7)
{
    // The copy that RunSelfAsVersion makes finds its manifest beside it.
    WriteFile(ktest::ProgramName() + L"_win10.exe.manifest", kWin10Manifest);
    ktest::ChildResult r = ktest::RunSelfAsVersion(dir_, L"win10", L"report_win_version");
    ASSERT_TRUE(r.started);
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(10u, (r.exitCode >> 16) & 0xFF) << "the manifest did not reach the child";
    EXPECT_EQ(static_cast<DWORD>(TWinVersion::W7), r.exitCode & 0xFF);
}

TEST(WinVersionU, OwnProcessAnswersAgree)
{
    TWinVersion v = GetWinVersion();
    EXPECT_EQ(WinVersionName(v), GetWinVersionName());
    EXPECT_EQ(v >= TWinVersion::VISTA, IsVistaOrLater());
    EXPECT_EQ(v, DetectWinVersion());
}

// ---------------------------------------------------------------------------
// 64-bit Windows

TEST(WinVersionU, IsWin64MatchesTheMachine)
{
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    const bool machine64 = native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                           native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
    EXPECT_EQ(machine64, IsWin64());
    if (sizeof(void*) == 8) {
        // A 64-bit process on 64-bit Windows is not under Wow64.
        EXPECT_TRUE(IsWin64());
        EXPECT_FALSE(ProcessIsWow64(GetCurrentProcess()));
    } else {
        EXPECT_EQ(ProcessIsWow64(GetCurrentProcess()), IsWin64());
    }
}

// ---------------------------------------------------------------------------
// Redirection nesting, through fake kernel32 functions

struct FakeRedirection {
    static inline int disableCalls = 0;
    static inline int revertCalls = 0;
    static inline PVOID revertedWith = nullptr;
    static inline BOOL disableResult = TRUE;
    static inline BOOL revertResult = TRUE;
    static inline DWORD lastDisablingThread = 0;

    static BOOL WINAPI Disable(PVOID* oldValue)
    {
        ++disableCalls;
        lastDisablingThread = GetCurrentThreadId();
        // A value the revert must get back: one per thread.
        *oldValue = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(0x1000 + GetCurrentThreadId()));
        return disableResult;
    }
    static BOOL WINAPI Revert(PVOID oldValue)
    {
        ++revertCalls;
        revertedWith = oldValue;
        return revertResult;
    }
    static void Reset()
    {
        disableCalls = revertCalls = 0;
        revertedWith = nullptr;
        disableResult = revertResult = TRUE;
    }
};

class WinVersionRedirection : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeRedirection::Reset();
        api_.Disable = &FakeRedirection::Disable;
        api_.Revert = &FakeRedirection::Revert;
        SetWow64RedirectionApi(&api_);
    }
    void TearDown() override
    {
        // Leave nothing disabled on this thread for the next test.
        while (Wow64RedirectionDepth() > 0 && SetWow64Redirection(false)) {
        }
        SetWow64RedirectionApi(nullptr);
    }
    static PVOID ValueOf(DWORD thread)
    {
        return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(0x1000 + thread));
    }
    TWow64RedirectionApi api_;
};

TEST_F(WinVersionRedirection, OnlyTheOutermostPairCallsWindows)
{
    ASSERT_TRUE(SetWow64Redirection(true));
    ASSERT_TRUE(SetWow64Redirection(true));
    EXPECT_EQ(1, FakeRedirection::disableCalls);
    EXPECT_EQ(2, Wow64RedirectionDepth());

    EXPECT_TRUE(SetWow64Redirection(false));
    EXPECT_EQ(0, FakeRedirection::revertCalls) << "the inner revert must leave redirection off";
    EXPECT_EQ(1, Wow64RedirectionDepth());

    EXPECT_TRUE(SetWow64Redirection(false));
    EXPECT_EQ(1, FakeRedirection::revertCalls);
    EXPECT_EQ(ValueOf(GetCurrentThreadId()), FakeRedirection::revertedWith);
    EXPECT_EQ(0, Wow64RedirectionDepth());

    EXPECT_FALSE(SetWow64Redirection(false)) << "a third revert has nothing to revert";
    EXPECT_EQ(1, FakeRedirection::revertCalls);
}

TEST_F(WinVersionRedirection, FailuresDoNotCount)
{
    FakeRedirection::disableResult = FALSE;
    EXPECT_FALSE(SetWow64Redirection(true));
    EXPECT_EQ(0, Wow64RedirectionDepth());
    EXPECT_FALSE(SetWow64Redirection(false));
    EXPECT_EQ(0, FakeRedirection::revertCalls);

    // The next disable is the outermost again and reaches Windows.
    FakeRedirection::disableResult = TRUE;
    EXPECT_TRUE(SetWow64Redirection(true));
    EXPECT_EQ(2, FakeRedirection::disableCalls);

    // A revert that fails leaves redirection off and still owed.
    FakeRedirection::revertResult = FALSE;
    EXPECT_FALSE(SetWow64Redirection(false));
    EXPECT_EQ(1, Wow64RedirectionDepth());
    FakeRedirection::revertResult = TRUE;
    EXPECT_TRUE(SetWow64Redirection(false));
    EXPECT_EQ(0, Wow64RedirectionDepth());
}

TEST_F(WinVersionRedirection, MissingFunctionsGiveFalse)
{
    TWow64RedirectionApi missing;
    missing.Revert = &FakeRedirection::Revert;
    SetWow64RedirectionApi(&missing);
    EXPECT_FALSE(SetWow64Redirection(true));
    EXPECT_EQ(0, Wow64RedirectionDepth());

    // Without the revert, disabling would leave redirection off for good.
    TWow64RedirectionApi noRevert;
    noRevert.Disable = &FakeRedirection::Disable;
    SetWow64RedirectionApi(&noRevert);
    EXPECT_FALSE(SetWow64Redirection(true));
    EXPECT_EQ(0, FakeRedirection::disableCalls);
}

TEST_F(WinVersionRedirection, StateIsPerThread)
{
    ASSERT_TRUE(SetWow64Redirection(true));
    const DWORD mainThread = GetCurrentThreadId();
    bool otherRevertWithoutDisable = true;
    int otherDepthAtStart = -1;
    PVOID otherRevertedWith = nullptr;
    std::thread other([&] {
        otherDepthAtStart = Wow64RedirectionDepth();
        otherRevertWithoutDisable = SetWow64Redirection(false);
        SetWow64Redirection(true);
        SetWow64Redirection(false);
        otherRevertedWith = FakeRedirection::revertedWith;
    });
    other.join();
    EXPECT_EQ(0, otherDepthAtStart);
    EXPECT_FALSE(otherRevertWithoutDisable);
    EXPECT_EQ(2, FakeRedirection::disableCalls)
        << "the other thread's disable is its own outermost";
    EXPECT_NE(ValueOf(mainThread), otherRevertedWith);

    EXPECT_EQ(1, Wow64RedirectionDepth());
    EXPECT_TRUE(SetWow64Redirection(false));
    EXPECT_EQ(ValueOf(mainThread), FakeRedirection::revertedWith);
}

TEST(WinVersionU, RealRedirectionCalls)
{
    if (!ProcessIsWow64(GetCurrentProcess())) {
        // Nothing is redirected in a 64-bit process, nor on 32-bit Windows:
        // the pair does nothing.
        EXPECT_TRUE(DisableWow64Redirection());
        EXPECT_EQ(0, Wow64RedirectionDepth());
        EXPECT_TRUE(RevertWow64Redirection());
        // The bound call itself: Windows refuses it outside Wow64
        // (ERROR_INVALID_FUNCTION), and a refused disable leaves nothing owed.
        SetLastError(0);
        EXPECT_FALSE(SetWow64Redirection(true));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
        EXPECT_EQ(0, Wow64RedirectionDepth());
        EXPECT_FALSE(SetWow64Redirection(false));
        return;
    }
    ASSERT_TRUE(IsWin64());
    EXPECT_TRUE(DisableWow64Redirection());
    EXPECT_EQ(1, Wow64RedirectionDepth());
    EXPECT_TRUE(RevertWow64Redirection());
    EXPECT_EQ(0, Wow64RedirectionDepth());
    EXPECT_FALSE(RevertWow64Redirection());
}

// A 32-bit build under Wow64 sees the real redirection: a file made in the
// 64-bit system folder shows through system32 only while redirection is off.
TEST(WinVersionU, RedirectionHidesTheNativeSystemFolder)
{
    if (!ProcessIsWow64(GetCurrentProcess()))
        GTEST_SKIP() << (IsWin64() ? "a 64-bit process sees the native system folder"
                                   : "32-bit Windows redirects nothing")
                     << ": needs a 32-bit process on 64-bit Windows";
    char windows[MAX_PATH] = {};
    ASSERT_GT(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
    const std::string name = "korv-redirect-" + std::to_string(GetCurrentProcessId()) + ".txt";
    const std::string viaSystem32 = std::string(windows) + "\\system32\\" + name;
    const std::string viaSysnative = std::string(windows) + "\\sysnative\\" + name;
    auto exists = [](const std::string& path) {
        return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    };

    ASSERT_TRUE(DisableWow64Redirection());
    HANDLE file =
        CreateFileA(viaSystem32.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    ASSERT_TRUE(DisableWow64Redirection());
    ASSERT_TRUE(RevertWow64Redirection());
    EXPECT_TRUE(exists(viaSystem32)) << "an inner revert switched redirection back on";
    ASSERT_TRUE(RevertWow64Redirection());
    EXPECT_FALSE(exists(viaSystem32));
    EXPECT_TRUE(exists(viaSysnative));
    EXPECT_FALSE(RevertWow64Redirection());
    DeleteFileA(viaSysnative.c_str());
}

TEST(WinVersionU, RedirectionCallsDoNothingOn32BitWindows)
{
    if (IsWin64())
        GTEST_SKIP() << "needs 32-bit Windows (a win32 prefix)";
    TWow64RedirectionApi api;
    api.Disable = &FakeRedirection::Disable;
    api.Revert = &FakeRedirection::Revert;
    FakeRedirection::Reset();
    SetWow64RedirectionApi(&api);
    EXPECT_TRUE(DisableWow64Redirection());
    EXPECT_TRUE(RevertWow64Redirection());
    EXPECT_TRUE(RevertWow64Redirection());
    EXPECT_EQ(0, FakeRedirection::disableCalls + FakeRedirection::revertCalls);
    EXPECT_EQ(0, Wow64RedirectionDepth());
    SetWow64RedirectionApi(nullptr);
}

} // namespace
