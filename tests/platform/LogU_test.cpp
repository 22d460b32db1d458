#include "platform/LogU.h"

#include "platform/GuardU.h"
#include "platform/SysUtilsU.h"

#include "KorvTest.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Logged {
    std::string text;
    int category;
    int level;
    bool operator==(const Logged&) const = default;
};
std::vector<Logged> gLogged;

void RecordingSink(std::string_view text, uint8_t category, uint8_t level)
{
    gLogged.push_back({std::string(text), category, level});
}

void ThrowingSink(std::string_view, uint8_t, uint8_t)
{
    throw std::runtime_error("sink");
}

// Puts the recording sink on some categories and empties the others; restores
// all three after.
class LogSinks {
public:
    explicit LogSinks(std::initializer_list<uint8_t> categories)
    {
        for (uint8_t c = 1; c <= kLogCategoryCount; ++c)
            old_[c - 1] = SetLogSink(c, nullptr);
        for (uint8_t c : categories)
            SetLogSink(c, &RecordingSink);
        gLogged.clear();
    }
    ~LogSinks()
    {
        for (uint8_t c = 1; c <= kLogCategoryCount; ++c)
            SetLogSink(c, old_[c - 1]);
    }

private:
    TLogSink old_[kLogCategoryCount] = {};
};

std::string Label(int category, int level)
{
    return "c" + std::to_string(category) + "l" + std::to_string(level);
}

} // namespace

TEST(LogU, EligibleLevelsReachOnlyTheirCategorysSink)
{
    for (int level = 0; level <= 255; ++level)
        EXPECT_EQ(level == 1 || level == 2 || level >= 4, LogEligible(static_cast<uint8_t>(level)))
            << level;

    LogSinks sinks({2});
    for (int category = 0; category <= 4; ++category)
        for (int level = 0; level <= 4; ++level)
            Log(Label(category, level), static_cast<uint8_t>(category),
                static_cast<uint8_t>(level));
    std::vector<Logged> expected = {
        {"c2l1", 2, 1},
        {"c2l2", 2, 2},
        {"c2l4", 2, 4},
    };
    EXPECT_EQ(expected, gLogged);
}

TEST(LogU, SinksAreReplaceablePerCategory)
{
    LogSinks sinks({});
    EXPECT_EQ(nullptr, SetLogSink(1, &RecordingSink));
    EXPECT_EQ(&RecordingSink, SetLogSink(1, &RecordingSink));
    EXPECT_EQ(nullptr, SetLogSink(0, &RecordingSink)) << "no such category";
    EXPECT_EQ(nullptr, SetLogSink(4, &RecordingSink));
    Log("one", 1, 2);
    Log("zero", 0, 2);
    Log("four", 4, 2);
    EXPECT_EQ((std::vector<Logged>{{"one", 1, 2}}), gLogged);

    EXPECT_EQ(&RecordingSink, SetLogSink(1, nullptr));
    Log("dropped", 1, 2);
    EXPECT_EQ(1u, gLogged.size());

    // A sink that throws does not reach the caller.
    SetLogSink(3, &ThrowingSink);
    Log("thrown", 3, 1);
    SetLogSink(3, nullptr);
}

TEST(LogU, GuardedExceptionsGoToTheLog)
{
    TGuardHook previous = SetGuardHook(nullptr); // the default hook
    {
        LogSinks sinks({kGuardLogCategory});
        ASSERT_TRUE(LogEligible(kGuardLogLevel));
        EXPECT_FALSE(Guard([] { throw std::runtime_error("swallowed by the guard"); }));
        EXPECT_FALSE(Guard([] { throw 7; }));
        std::vector<Logged> expected = {
            {"swallowed by the guard", kGuardLogCategory, kGuardLogLevel},
            {"unknown exception", kGuardLogCategory, kGuardLogLevel},
        };
        EXPECT_EQ(expected, gLogged);
    }
    SetGuardHook(previous);
}

// ---------------------------------------------------------------------------
// The running program

TEST(LogU, ApplicationPathIsTheModulesPath)
{
    char buf[4096] = {};
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof(buf));
    ASSERT_GT(n, 0u);
    std::string path(buf, n);
    EXPECT_EQ(path, GetApplicationFileName());
    const std::string& dir = GetApplicationDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ('\\', dir.back());
    EXPECT_EQ(path.substr(0, path.rfind('\\') + 1), dir);
    EXPECT_EQ(&dir, &GetApplicationDir()) << "computed once";
}

namespace {

std::string gFakeModulePath;

// GetModuleFileNameA's contract: a path that does not fit is cut to the buffer
// (NUL-terminated from Vista on) and the buffer size is returned.
DWORD WINAPI FakeModuleFileName(HMODULE, LPSTR buffer, DWORD size)
{
    if (gFakeModulePath.size() < size) {
        memcpy(buffer, gFakeModulePath.c_str(), gFakeModulePath.size() + 1);
        return static_cast<DWORD>(gFakeModulePath.size());
    }
    memcpy(buffer, gFakeModulePath.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

} // namespace

// Wine starts no program from a path longer than MAX_PATH, so the growing
// buffer is shown through the query seam.
TEST(LogU, ModuleFileNameGrowsPastMaxPath)
{
    for (size_t length : {size_t(10), size_t(MAX_PATH - 1), size_t(MAX_PATH), size_t(MAX_PATH + 1),
                          size_t(600), size_t(5000)}) {
        SCOPED_TRACE(length);
        gFakeModulePath = "C:\\" + std::string(length - 3, 'p');
        EXPECT_EQ(gFakeModulePath, QueryModuleFileName(&FakeModuleFileName));
    }
    EXPECT_EQ(GetApplicationFileName(), QueryModuleFileName());
}

// ---------------------------------------------------------------------------
// Administrator test

TEST(LogU, AdministratorWithProcessTokenAndWhileImpersonatingItself)
{
    // Under Wine every process is an elevated member of Administrators.
    EXPECT_TRUE(IsAdministrator());
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        << "the thread has its own token now";
    if (token)
        CloseHandle(token);
    EXPECT_TRUE(IsAdministrator());
    RevertToSelf();
}

namespace {

enum class SeamMode { SizeFails, SizeSucceeds, FillFails, Groups };
SeamMode gSeamMode = SeamMode::SizeFails;
HANDLE gSeamToken = nullptr;
std::vector<BYTE> gSeamGroups;

BOOL WINAPI SeamTokenQuery(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID buffer, DWORD size,
                           PDWORD needed)
{
    gSeamToken = token;
    if (cls != TokenGroups) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!buffer) {
        switch (gSeamMode) {
        case SeamMode::SizeFails:
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        case SeamMode::SizeSucceeds:
            *needed = 0;
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        default:
            *needed = static_cast<DWORD>(gSeamGroups.size());
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
    }
    if (gSeamMode == SeamMode::FillFails) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (size < gSeamGroups.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, gSeamGroups.data(), gSeamGroups.size());
    *needed = static_cast<DWORD>(gSeamGroups.size());
    return TRUE;
}

bool HandleIsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

class TokenSeam {
public:
    TokenSeam() { old_ = SetTokenInformationQuery(&SeamTokenQuery); }
    ~TokenSeam() { SetTokenInformationQuery(old_); }

private:
    TTokenInformationQuery old_;
};

} // namespace

TEST(LogU, AdministratorThrowsOnFailedGroupQueryAndLeaksNoHandle)
{
    TokenSeam seam;
    struct Case {
        const char* name;
        SeamMode mode;
    } cases[] = {
        {"size query fails", SeamMode::SizeFails},
        {"size query succeeds without a buffer", SeamMode::SizeSucceeds},
        {"second query fails", SeamMode::FillFails},
    };
    gSeamGroups.assign(sizeof(TOKEN_GROUPS), 0); // no groups
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gSeamMode = c.mode;
        gSeamToken = nullptr;
        EXPECT_THROW(IsAdministrator(), ESystemError);
        ASSERT_NE(nullptr, gSeamToken);
        EXPECT_FALSE(HandleIsOpen(gSeamToken)) << "the token handle is closed";
    }
    gSeamMode = SeamMode::SizeFails;
    try {
        IsAdministrator();
        ADD_FAILURE() << "no exception";
    } catch (const ESystemError& e) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), e.Code());
    }
}

TEST(LogU, AdministratorCountsMembershipNotAttributes)
{
    static BYTE adminsSid[SECURITY_MAX_SID_SIZE];
    static BYTE usersSid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(adminsSid);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminsSid, &size));
    size = sizeof(usersSid);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, usersSid, &size));

    TokenSeam seam;
    gSeamMode = SeamMode::Groups;
    struct Case {
        const char* name;
        std::vector<std::pair<PSID, DWORD>> groups;
        bool admin;
    } cases[] = {
        {"enabled member", {{usersSid, SE_GROUP_ENABLED}, {adminsSid, SE_GROUP_ENABLED}}, true},
        // A filtered token under User Account Control: present for deny checks only.
        {"deny-only entry",
         {{usersSid, SE_GROUP_ENABLED}, {adminsSid, SE_GROUP_USE_FOR_DENY_ONLY}},
         true},
        {"not a member", {{usersSid, SE_GROUP_ENABLED}}, false},
        {"no groups", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        size_t n = sizeof(TOKEN_GROUPS) + c.groups.size() * sizeof(SID_AND_ATTRIBUTES);
        gSeamGroups.assign(n, 0);
        auto* record = reinterpret_cast<TOKEN_GROUPS*>(gSeamGroups.data());
        record->GroupCount = static_cast<DWORD>(c.groups.size());
        for (size_t i = 0; i < c.groups.size(); ++i)
            record->Groups[i] = {c.groups[i].first, c.groups[i].second};
        gSeamToken = nullptr;
        EXPECT_EQ(c.admin, IsAdministrator());
        ASSERT_NE(nullptr, gSeamToken);
        EXPECT_FALSE(HandleIsOpen(gSeamToken));
    }
}
