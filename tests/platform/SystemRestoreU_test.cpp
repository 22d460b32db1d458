#include "ChildCases.h"
#include "FileTestSupport.h"
#include "SettingsTestSupport.h"

#include "platform/RegistryU.h"
#include "platform/SystemRestoreU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include <cstring>
#include <string>
#include <vector>

using namespace settingstest;

namespace {

// The recording stand-in (stubs/fake_srclient.cpp), bound by full path in
// place of the system's SrClient.dll.
struct FakeCall {
    DWORD eventType;
    DWORD type;
    int64_t sequence;
    std::string description; // up to its NUL
    bool terminated;         // a NUL inside the 64 bytes
};

template <typename F> F Bind(FARPROC proc)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(proc));
}

class FakeSrClient {
public:
    FakeSrClient() : path_(Narrow(ktest::ProgramDir()) + "fake_srclient.dll")
    {
        module_ = LoadLibraryA(path_.c_str());
        if (!module_)
            return;
        configure_ = Bind<ConfigureFn>(GetProcAddress(module_, "FakeSrConfigure"));
        reset_ = Bind<ResetFn>(GetProcAddress(module_, "FakeSrReset"));
        count_ = Bind<CountFn>(GetProcAddress(module_, "FakeSrCallCount"));
        get_ = Bind<GetFn>(GetProcAddress(module_, "FakeSrGetCall"));
    }
    ~FakeSrClient()
    {
        if (module_)
            FreeLibrary(module_);
    }
    bool Ready() const { return module_ && configure_ && reset_ && count_ && get_; }
    const std::string& Path() const { return path_; }
    void Reset() { reset_(); }
    // result, status, the sequence it reports, whether it writes it at all
    void Answer(BOOL result, DWORD status, int64_t sequence, BOOL writes)
    {
        configure_(result, status, sequence, writes);
    }
    std::vector<FakeCall> Calls()
    {
        std::vector<FakeCall> calls;
        for (int i = 0; i < count_(); ++i) {
            FakeCall call{};
            char description[64] = {};
            get_(i, &call.eventType, &call.type, &call.sequence, description);
            call.terminated = std::memchr(description, 0, sizeof description) != nullptr;
            call.description.assign(description, strnlen(description, sizeof description));
            calls.push_back(call);
        }
        return calls;
    }

private:
    using ConfigureFn = void(WINAPI*)(BOOL, DWORD, int64_t, BOOL);
    using ResetFn = void(WINAPI*)();
    using CountFn = int(WINAPI*)();
    using GetFn = BOOL(WINAPI*)(int, DWORD*, DWORD*, int64_t*, char*);
    std::string path_;
    HMODULE module_ = nullptr;
    ConfigureFn configure_ = nullptr;
    ResetFn reset_ = nullptr;
    CountFn count_ = nullptr;
    GetFn get_ = nullptr;
};

class RestorePointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake_.Ready()) << fake_.Path();
        fake_.Reset();
        ResetRestorePointApiForTests(fake_.Path());
    }
    void TearDown() override { ResetRestorePointApiForTests(""); }
    FakeSrClient fake_;
};

class SystemRestoreU : public RestorePointTest {};

TEST_F(SystemRestoreU, BeginEndAndCancelNameTheOpenedPoint)
{
    EXPECT_TRUE(BindRestorePointApi());
    EXPECT_TRUE(BindRestorePointApi());
    ASSERT_TRUE(CreateRestorePoint(L"Korvelle Registry Fix", kBeginSystemChange, kModifySettings));
    EXPECT_TRUE(EndRestorePoint(kEndSystemChange, kModifySettings));
    ASSERT_TRUE(CreateRestorePoint(L"second", kBeginSystemChange, kModifySettings));
    EXPECT_TRUE(CancelRestorePoint(kEndSystemChange));
    // Each opening is ended once.
    EXPECT_FALSE(CancelRestorePoint(kEndSystemChange));

    const std::vector<FakeCall> calls = fake_.Calls();
    ASSERT_EQ(4u, calls.size());
    const struct {
        DWORD event, type;
        int64_t sequence;
        const char* description;
    } expected[] = {
        {100, 12, 0, "Korvelle Registry Fix"},
        {101, 12, 42, ""},
        {100, 12, 0, "second"},
        {101, 13, 42, ""},
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].event, calls[i].eventType);
        EXPECT_EQ(expected[i].type, calls[i].type);
        EXPECT_EQ(expected[i].sequence, calls[i].sequence);
        EXPECT_EQ(expected[i].description, calls[i].description);
        EXPECT_TRUE(calls[i].terminated);
    }
}

TEST_F(SystemRestoreU, ALongDescriptionIsCutToSixtyThreeBytes)
{
    ASSERT_TRUE(CreateRestorePoint(std::wstring(100, L'a'), kBeginSystemChange, kModifySettings));
    const std::vector<FakeCall> calls = fake_.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(std::string(63, 'a'), calls[0].description);
    EXPECT_TRUE(calls[0].terminated);
}

TEST_F(SystemRestoreU, AFailedOpeningEndsNothing)
{
    const struct {
        const char* name;
        BOOL result;
        DWORD status;
    } failures[] = {{"FALSE", FALSE, 0}, {"status 1", TRUE, 1}, {"FALSE and status", FALSE, 5}};
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        fake_.Reset();
        fake_.Answer(f.result, f.status, 7, TRUE);
        EXPECT_FALSE(CreateRestorePoint(L"x", kBeginSystemChange, kModifySettings));
        EXPECT_FALSE(EndRestorePoint(kEndSystemChange, kModifySettings));
        EXPECT_FALSE(CancelRestorePoint(kEndSystemChange));
        EXPECT_EQ(1u, fake_.Calls().size()) << "no ending call after a failed opening";
    }
}

TEST_F(SystemRestoreU, AFailedOpeningNeverCancelsTheRunBefore)
{
    ASSERT_TRUE(CreateRestorePoint(L"first run", kBeginSystemChange, kModifySettings));
    // The next opening fails and, like the system's, leaves the sequence
    // field as it was.
    fake_.Answer(FALSE, 0, 0, FALSE);
    EXPECT_FALSE(CreateRestorePoint(L"second run", kBeginSystemChange, kModifySettings));
    EXPECT_FALSE(CancelRestorePoint(kEndSystemChange));
    const std::vector<FakeCall> calls = fake_.Calls();
    ASSERT_EQ(2u, calls.size());
    for (const FakeCall& call : calls)
        EXPECT_NE(101u, call.eventType) << "point 42 must not be cancelled";
}

TEST(SystemRestoreUMissing, WithoutTheLibraryNothingHappens)
{
    ResetRestorePointApiForTests(Narrow(ktest::ProgramDir()) + "no_such_srclient.dll");
    EXPECT_FALSE(BindRestorePointApi());
    EXPECT_FALSE(CreateRestorePoint(L"x", kBeginSystemChange, kModifySettings));
    EXPECT_FALSE(EndRestorePoint(kEndSystemChange, kModifySettings));
    EXPECT_FALSE(CancelRestorePoint(kEndSystemChange));
    ResetRestorePointApiForTests("");
}

std::wstring ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameW(module, path, static_cast<DWORD>(std::size(path)));
    return std::wstring(path, n);
}

TEST(SystemRestoreUSystem, TheSystemLibraryBindsAndItsOpeningFailsUnderWine)
{
    if (!filetest::RunningUnderWine())
        GTEST_SKIP() << "on Windows this would make a real restore point";
    ASSERT_EQ(nullptr, GetModuleHandleW(L"srclient.dll")) << "bound before: the test shows nothing";
    // A library of the same name in the program's folder, which a load by bare
    // name would find first: the recording stand-in, which answers TRUE.
    const std::wstring planted = ktest::ProgramDir() + L"SrClient.dll";
    ASSERT_TRUE(
        CopyFileW((ktest::ProgramDir() + L"fake_srclient.dll").c_str(), planted.c_str(), FALSE));

    ResetRestorePointApiForTests("");
    EXPECT_TRUE(BindRestorePointApi()) << "SrClient.dll from the system folder";
    wchar_t system[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring expected = std::wstring(system, n) + L"\\srclient.dll";
    EXPECT_EQ(0, _wcsicmp(expected.c_str(), ModulePath(GetModuleHandleW(L"srclient.dll")).c_str()))
        << Narrow(ModulePath(GetModuleHandleW(L"srclient.dll")));
    // Wine's SRSetRestorePointA answers FALSE (status 0, sequence untouched).
    EXPECT_FALSE(CreateRestorePoint(L"Korvelle test", kBeginSystemChange, kModifySettings));
    EXPECT_FALSE(CancelRestorePoint(kEndSystemChange));
    EXPECT_TRUE(IsSystemRestoreEnabled()) << "Wine keeps no DisableSR";
    EXPECT_TRUE(DeleteFileW(planted.c_str())) << "the planted library was loaded";
}

// Under code page 932 a cut must not split a double-byte character.
TEST(TextSystemRestoreU, TheDescriptionIsCutOnACharacterBoundary)
{
    const std::wstring japanese(40, L'\u6F22');
    const std::string cut = RestorePointDescription(japanese);
    EXPECT_LE(cut.size(), kRestorePointDescriptionMax);
    if (GetACP() == 932) {
        EXPECT_EQ(62u, cut.size());
        EXPECT_EQ(japanese.substr(0, 31), AnsiToWide(cut));
    } else {
        EXPECT_EQ(40u, cut.size()) << "one replacement character each";
    }
    const std::wstring mixed = L"a" + japanese;
    const std::string mixedCut = RestorePointDescription(mixed);
    if (GetACP() == 932) {
        EXPECT_EQ(63u, mixedCut.size());
        EXPECT_EQ(mixed.substr(0, 32), AnsiToWide(mixedCut));
    }
    EXPECT_EQ("short", RestorePointDescription(L"short"));
    EXPECT_EQ(std::string(63, 'b'), RestorePointDescription(std::wstring(64, L'b')));
}

class TextSystemRestoreUFake : public RestorePointTest {};

TEST_F(TextSystemRestoreUFake, TheRequestCarriesTheCutText)
{
    ASSERT_TRUE(
        CreateRestorePoint(std::wstring(40, L'\u6F22'), kBeginSystemChange, kModifySettings));
    const std::vector<FakeCall> calls = fake_.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(RestorePointDescription(std::wstring(40, L'\u6F22')), calls[0].description);
    EXPECT_EQ(GetACP() == 932 ? 62u : 40u, calls[0].description.size());
}

// ---------------------------------------------------------------------------
// DisableSR

class SystemRestoreUSetting : public ktest::ScratchKeyTest {};

TEST_F(SystemRestoreUSetting, OnlyADwordOneInTheNativeViewDisables)
{
    HKEY native = HklmTwin(IsWin64() ? KEY_WOW64_64KEY : 0);
    ASSERT_NE(nullptr, native);
    const std::string key = Narrow(ScratchPath());
    const struct {
        const char* name;
        DWORD type; // REG_NONE: absent
        DWORD value;
        bool enabled;
    } cases[] = {
        {"DWORD 0", REG_DWORD, 0, true},
        {"DWORD 1", REG_DWORD, 1, false},
        {"DWORD 2", REG_DWORD, 2, true},
        {"absent", REG_NONE, 0, true},
        {"string 1", REG_SZ, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteValueA(native, "DisableSR");
        if (c.type == REG_DWORD)
            SetDword(native, "DisableSR", c.value);
        else if (c.type == REG_SZ)
            SetSz(native, "DisableSR", "1");
        TRegViewScope caller(true, false);
        EXPECT_EQ(c.enabled, IsSystemRestoreEnabledAt(HKEY_LOCAL_MACHINE, key));
        EXPECT_TRUE(RegView32) << "the caller's flags come back";
        EXPECT_FALSE(RegView64);
    }
    if (IsWin64()) {
        // Windows keeps the value in the 64-bit view only; a copy in the
        // 32-bit view is not the switch.
        RegDeleteValueA(native, "DisableSR");
        HKEY wow = HklmTwin(KEY_WOW64_32KEY);
        ASSERT_NE(nullptr, wow);
        SetDword(wow, "DisableSR", 1);
        TRegViewScope caller(true, false);
        EXPECT_TRUE(IsSystemRestoreEnabledAt(HKEY_LOCAL_MACHINE, key));
    }
}

} // namespace
