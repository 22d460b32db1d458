#pragma once
// Fixtures shared by the test programs: scratch registry keys and folders,
// the test program started again as a child in a named role, and a program
// started under a chosen Windows version.

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace ktest {

// Base name of the running test program without ".exe" (e.g. L"platform_tests").
std::wstring ProgramName();
// ProgramName, or the run's own name when several runs of one program go on at once.
std::wstring InstanceName();
// Full path of the running test program.
std::wstring ProgramPath();
// C:\ktest-evidence\<instance>\ (trailing backslash), made on first use:
// pictures a test writes for people to look at and for the host-side checks
// (a program in a prefix cannot reach the build tree). A CTest step after
// the test program copies the folder to build/<arch>/evidence/.
std::wstring EvidenceDir();

// Roles: a test starts its own program again with "--role=<name> args...";
// main then runs the role's function instead of the tests and exits with its result.
using RoleFn = std::function<int(const std::vector<std::wstring>& args)>;
struct RoleRegistration {
    RoleRegistration(const wchar_t* name, RoleFn fn);
};
#define KTEST_ROLE(name)                                                                    \
    static int KTestRole_##name(const std::vector<std::wstring>& args);                    \
    static ::ktest::RoleRegistration KTestRoleReg_##name{L## #name, &KTestRole_##name};     \
    static int KTestRole_##name([[maybe_unused]] const std::vector<std::wstring>& args)

// Runs the role if the command line asks for one; sets handled.
int RunRoleIfAsked(int argc, wchar_t** argv, bool& handled);

struct ChildResult {
    DWORD exitCode = 0;
    bool timedOut = false;
    bool started = false;
};

// Starts exePath with "--role=<role>" and args, waits up to timeoutMs.
ChildResult RunRole(const std::wstring& exePath, const std::wstring& role,
                    const std::vector<std::wstring>& args = {}, DWORD timeoutMs = 60000);
// The running test program itself in a role.
ChildResult RunSelf(const std::wstring& role, const std::vector<std::wstring>& args = {},
                    DWORD timeoutMs = 60000);
// The running test program copied as "<name>_<version>.exe" into folder, with
// HKCU\Software\Wine\AppDefaults\<that name>\Version = version written first
// ("win98", "winxp", "win7", ...), run in a role. The AppDefaults key is removed after.
ChildResult RunSelfAsVersion(const std::wstring& folder, const std::wstring& version,
                             const std::wstring& role, const std::vector<std::wstring>& args = {},
                             DWORD timeoutMs = 60000);

// HKCU\Software\Korvelle.Test.<instance>: made in SetUp, removed with everything
// below it in TearDown. Twins under HKLM in the 32-bit and 64-bit views on request.
class ScratchKeyTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Path below the root, without the root: L"Software\\Korvelle.Test.<program>".
    static std::wstring ScratchPath();
    // Opens (creating) the HKLM twin in the given view (KEY_WOW64_32KEY or KEY_WOW64_64KEY);
    // it is removed in TearDown.
    HKEY HklmTwin(REGSAM view);
    HKEY hkcu_ = nullptr;

private:
    std::vector<std::pair<HKEY, REGSAM>> twins_;
};

// A scratch folder C:\ktest-scratch\<instance>.<pid>.<n>\ (with trailing backslash),
// made in SetUp and removed with its contents in TearDown.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::wstring dir_;  // ends in a backslash
    std::string dirAnsi_;
    // Writes bytes to dir_ + name and returns the full path.
    std::wstring WriteFile(const std::wstring& name, const std::string& bytes);
};

// Tests that need a desktop (windows, the notification area, programs with
// windows) skip without an X display; ./test.sh runs the whole test run on
// one Xvfb display, so that every process of a prefix sees the same desktop.
bool HaveDisplay();
#define KTEST_NEEDS_DISPLAY()                                                                      \
    do {                                                                                           \
        if (!::ktest::HaveDisplay())                                                               \
            GTEST_SKIP() << "needs an X display (./test.sh runs the tests under Xvfb)";            \
    } while (0)

// Names that hold a NUL, written and removed with the counted calls of ntdll
// (the terminated ...W calls cannot name them). The key is opened below an
// open Parent (not a predefined root) and returned open (close it).
HKEY CreateKeyCounted(HKEY Parent, const std::wstring& Name);
// Deletes the key Name below Parent (it must have no sub-keys).
bool DeleteKeyCounted(HKEY Parent, const std::wstring& Name);
bool SetValueCounted(HKEY Key, const std::wstring& Name, DWORD Type, const std::string& Bytes);

// Removes a folder and everything in it; true when it is gone.
bool RemoveTree(const std::wstring& dir);
// Reads a whole file; empty on failure.
std::string ReadFileBytes(const std::wstring& path);

// Narrow forms, in the ANSI code page, for the tests of programs that keep
// their paths and logs narrow.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
// The test program's folder (stand-ins lie beside it), ending in a backslash.
std::string TestDir();
// The non-empty lines of a text file (a log a child process wrote), without
// their CR; none when the file cannot be read.
std::vector<std::string> ReadLines(const std::string& file);
// Writes bytes to a new or emptied file; false when not all were written.
bool WriteText(const std::string& file, const std::string& text);

} // namespace ktest
