#include "ChildCases.h"

#include <cstdio>
#include <map>

namespace ktest {
namespace {

struct ChildCase {
    std::string group;
    std::string name;
    ChildCaseFn fn;
};

std::vector<ChildCase>& ChildCases()
{
    static std::vector<ChildCase> cases;
    return cases;
}

std::vector<std::wstring> g_childArgs;

class ChildCaseTest : public ::testing::Test {
public:
    explicit ChildCaseTest(ChildCaseFn fn) : fn_(fn) {}
    void TestBody() override { fn_(g_childArgs); }

private:
    ChildCaseFn fn_;
};

} // namespace

ChildCaseRegistration::ChildCaseRegistration(const char* group, const char* name, ChildCaseFn fn)
{
    ChildCases().push_back({group, name, fn});
}

std::wstring ProgramDir()
{
    std::wstring path = ProgramPath();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// args: report file, group, filter, then the cases' own arguments.
KTEST_ROLE(child_cases)
{
    if (args.size() < 3)
        return 2;
    if (!_wfreopen(args[0].c_str(), L"w", stdout))
        return 3;
    std::string group = Narrow(args[1]);
    g_childArgs.assign(args.begin() + 3, args.end());
    int registered = 0;
    for (const ChildCase& c : ChildCases()) {
        if (c.group != group)
            continue;
        ChildCaseFn fn = c.fn;
        ::testing::RegisterTest(c.group.c_str(), c.name.c_str(), nullptr, nullptr, __FILE__,
                                __LINE__,
                                [fn]() -> ::testing::Test* { return new ChildCaseTest(fn); });
        ++registered;
    }
    if (registered == 0)
        return 4;
    std::wstring filterArg = L"--gtest_filter=" + args[1] + L"." + args[2];
    std::vector<std::wstring> argvStore = {ProgramPath(), filterArg};
    std::vector<wchar_t*> argv;
    for (auto& a : argvStore)
        argv.push_back(a.data());
    int argc = static_cast<int>(argv.size());
    ::testing::InitGoogleTest(&argc, argv.data());
    int rc = RUN_ALL_TESTS();
    if (rc == 0 && ::testing::UnitTest::GetInstance()->successful_test_count() == 0)
        rc = 5;
    fflush(stdout);
    return rc;
}

::testing::AssertionResult RunChildCases(const char* group, const char* filter,
                                         const std::vector<std::wstring>& args, DWORD timeoutMs)
{
    wchar_t tempDir[MAX_PATH] = {};
    wchar_t report[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tempDir);
    GetTempFileNameW(tempDir, L"kcc", 0, report);
    std::wstring groupW(group, group + strlen(group));
    std::wstring filterW(filter, filter + strlen(filter));
    std::vector<std::wstring> childArgs = {report, groupW, filterW};
    childArgs.insert(childArgs.end(), args.begin(), args.end());
    ChildResult result = RunSelf(L"child_cases", childArgs, timeoutMs);
    std::string output = ReadFileBytes(report);
    DeleteFileW(report);
    if (!result.started)
        return ::testing::AssertionFailure() << "the child process did not start";
    if (result.timedOut)
        return ::testing::AssertionFailure() << "the child timed out\n" << output;
    if (result.exitCode != 0)
        return ::testing::AssertionFailure() << "child cases " << group << "." << filter
                                             << " ended with " << result.exitCode << "\n"
                                             << output;
    return ::testing::AssertionSuccess();
}

} // namespace ktest
