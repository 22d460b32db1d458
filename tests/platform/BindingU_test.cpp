#include "platform/BindingU.h"

#include "platform/GuardU.h"

#include "KorvTest.h"

#include <atomic>
#include <string>
#include <vector>

namespace {

std::string SystemDirAnsi()
{
    char buf[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryA(buf, MAX_PATH);
    return std::string(buf, n);
}

std::string ModuleDirAnsi(HMODULE module)
{
    char buf[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(module, buf, MAX_PATH);
    std::string path(buf, n);
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

TEST(BindingU, MissingLibraryAndFunctionGiveNullOrTheExactMessage)
{
    TSystemLibrary missing{"kvnosuch.dll"};
    EXPECT_EQ(nullptr, missing.Handle());
    try {
        missing.Require();
        ADD_FAILURE() << "no exception";
    } catch (const EBindingError& e) {
        EXPECT_STREQ("Library not found: kvnosuch.dll", e.what());
    }

    TBoundProc<decltype(&::GetTickCount)> inMissing{missing, "GetTickCount"};
    EXPECT_EQ(nullptr, inMissing.Get());
    EXPECT_FALSE(inMissing);
    try {
        inMissing.Require();
        ADD_FAILURE() << "no exception";
    } catch (const EBindingError& e) {
        EXPECT_STREQ("Library not found: kvnosuch.dll", e.what());
    }

    TBoundProc<decltype(&::GetTickCount)> noFn{Kernel32Library(), "KvNoSuchFn"};
    EXPECT_EQ(nullptr, noFn.Get());
    try {
        noFn.Require();
        ADD_FAILURE() << "no exception";
    } catch (const EBindingError& e) {
        EXPECT_STREQ("Function not found: KvNoSuchFn", e.what());
    }
}

TEST(BindingU, SystemFunctionsAreBoundFromTheSystemFolder)
{
    TBoundProc<decltype(&::GetCurrentProcessId)> pid{Kernel32Library(), "GetCurrentProcessId"};
    ASSERT_NE(nullptr, pid.Get());
    EXPECT_EQ(GetCurrentProcessId(), pid.Require()());
    EXPECT_EQ(GetModuleHandleW(L"kernel32.dll"), Kernel32Library().Handle());

    const std::string systemDir = SystemDirAnsi();
    ASSERT_FALSE(systemDir.empty());
    // A DLL this program does not import, so the binding itself loads it.
    TSystemLibrary wts{"wtsapi32.dll"};
    for (TSystemLibrary* lib : {&wts, &Kernel32Library(), &Advapi32Library(), &Shell32Library(),
                                &User32Library(), &NtdllLibrary()}) {
        SCOPED_TRACE(lib->Name());
        HMODULE module = lib->Require();
        ASSERT_NE(nullptr, module);
        EXPECT_EQ(0, _stricmp(systemDir.c_str(), ModuleDirAnsi(module).c_str()))
            << ModuleDirAnsi(module);
    }

    const std::wstring path = SystemFolderPath(L"x.dll");
    wchar_t dir[MAX_PATH] = {};
    GetSystemDirectoryW(dir, MAX_PATH);
    EXPECT_EQ(std::wstring(dir) + L"\\x.dll", path);
}

class BindingUPlanted : public ktest::ScratchDirTest {};

TEST_F(BindingUPlanted, ADllBesideTheProgramIsNeverTaken)
{
    // A real DLL under a name the system folder lacks, in the current folder,
    // where a load by bare name would find it.
    const std::wstring planted = dir_ + L"kvplanted.dll";
    ASSERT_TRUE(CopyFileW(SystemFolderPath(L"wtsapi32.dll").c_str(), planted.c_str(), FALSE));
    wchar_t oldDir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, oldDir);
    ASSERT_TRUE(SetCurrentDirectoryW(dir_.c_str()));

    TSystemLibrary lib{"kvplanted.dll"};
    EXPECT_EQ(nullptr, lib.Handle());
    HMODULE byBareName = LoadLibraryW(L"kvplanted.dll");

    SetCurrentDirectoryW(oldDir);
    if (byBareName == nullptr)
        GTEST_SKIP() << "this system does not load the copied DLL by bare name either";
    FreeLibrary(byBareName);
}

namespace {

using TFreeMemory = void(WINAPI*)(PVOID);

struct BindRace {
    TSystemLibrary* lib = nullptr;
    TBoundProc<TFreeMemory>* proc = nullptr;
    std::atomic<bool> go{false};
    HMODULE modules[16] = {};
    void* procs[16] = {};
    std::atomic<int> next{0};
};

DWORD WINAPI BindRaceThread(void* p)
{
    auto* s = static_cast<BindRace*>(p);
    Guard([s] {
        const int i = s->next++;
        while (!s->go.load())
            YieldProcessor();
        s->modules[i] = s->lib->Handle();
        s->procs[i] = reinterpret_cast<void*>(s->proc->Get());
    });
    return 0;
}

} // namespace

TEST(BindingU, FirstUseFromManyThreadsBindsOnce)
{
    TSystemLibrary lib{"wtsapi32.dll"};
    TBoundProc<TFreeMemory> proc{lib, "WTSFreeMemory"};
    BindRace shared;
    shared.lib = &lib;
    shared.proc = &proc;

    std::vector<HANDLE> threads;
    for (int i = 0; i < 16; ++i) {
        HANDLE h = CreateThread(nullptr, 0, &BindRaceThread, &shared, 0, nullptr);
        ASSERT_NE(nullptr, h);
        threads.push_back(h);
    }
    shared.go = true;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(static_cast<DWORD>(threads.size()),
                                                    threads.data(), TRUE, 30000));
    for (HANDLE h : threads)
        CloseHandle(h);
    ASSERT_NE(nullptr, shared.modules[0]);
    ASSERT_NE(nullptr, shared.procs[0]);
    for (int i = 1; i < 16; ++i) {
        EXPECT_EQ(shared.modules[0], shared.modules[i]);
        EXPECT_EQ(shared.procs[0], shared.procs[i]);
    }
}
