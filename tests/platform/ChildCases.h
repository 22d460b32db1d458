#pragma once
// Test cases that need a process of their own: the SQLite library and the
// Firefox runtimes are loaded once per process and never freed, so a case
// that loads them, or that needs them absent, runs in a fresh copy of the test
// program. The parent makes the fixture folders, starts the child, and removes
// the folders once the child has ended (a loaded DLL cannot be deleted).
//
// A child case is an ordinary GoogleTest body registered only in the child,
// so the main run does not list it; the child's GoogleTest output comes back
// in the parent's failure message.

#include "KorvTest.h"

#include <string>
#include <vector>

namespace ktest {

using ChildCaseFn = void (*)(const std::vector<std::wstring>& args);
struct ChildCaseRegistration {
    ChildCaseRegistration(const char* group, const char* name, ChildCaseFn fn);
};

#define KTEST_CHILD_CASE(group, name)                                                              \
    static void KTestChild_##group##_##name(const std::vector<std::wstring>& args);                \
    static ::ktest::ChildCaseRegistration KTestChildReg_##group##_##name{                          \
        #group, #name, &KTestChild_##group##_##name};                                              \
    static void KTestChild_##group##_##name([[maybe_unused]] const std::vector<std::wstring>& args)

// Runs the cases of group whose names match filter (a GoogleTest pattern such
// as "*") in a child process that gets args. Success when the child ran at
// least one case and all passed.
::testing::AssertionResult RunChildCases(const char* group, const char* filter,
                                         const std::vector<std::wstring>& args,
                                         DWORD timeoutMs = 120000);

// The folder of the running test program, with a trailing backslash.
std::wstring ProgramDir();

} // namespace ktest
