#include "ImportPatch.h"

#include <cstring>
#include <mutex>

namespace importpatch {

void* PatchImport(const char* Module, const char* Function, void* Replacement)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return nullptr;
    auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; desc->Name; ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), Module) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), Function) != 0)
                continue;
            DWORD protect = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE,
                                &protect))
                return nullptr;
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(Replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protect, &protect);
            return previous;
        }
    }
    return nullptr;
}

namespace {

std::atomic<DWORD> gThread{0};
std::atomic<int> gRegistryCalls{0};
std::mutex gWaitLock;
std::vector<DWORD> gWaitTimeouts;

bool Counted()
{
    return GetCurrentThreadId() == gThread.load();
}

// One stand-in per registry function: counts, then makes the real call.
template <int Id, typename R, typename... Args> struct RegistryStandIn {
    static inline R(WINAPI* real)(Args...) = nullptr;
    static R WINAPI Call(Args... args)
    {
        if (Counted())
            ++gRegistryCalls;
        return real(args...);
    }
};

template <int Id, typename R, typename... Args>
void* InstallRegistry(R(WINAPI*)(Args...), const char* Function,
                      std::vector<std::pair<std::string, void*>>& Restore)
{
    using StandIn = RegistryStandIn<Id, R, Args...>;
    // The real call is known before the import points at the stand-in: another
    // thread may call through it at once.
    StandIn::real = reinterpret_cast<R(WINAPI*)(Args...)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), Function)));
    if (!StandIn::real)
        return nullptr;
    void* previous = PatchImport("advapi32.dll", Function, reinterpret_cast<void*>(&StandIn::Call));
    if (previous)
        Restore.emplace_back(std::string("advapi32.dll!") + Function, previous);
    return previous;
}

decltype(&::WaitForSingleObject) gRealWait = nullptr;

DWORD WINAPI CountedWait(HANDLE Handle, DWORD TimeoutMs)
{
    if (Counted()) {
        std::lock_guard lock(gWaitLock);
        gWaitTimeouts.push_back(TimeoutMs);
    }
    return gRealWait(Handle, TimeoutMs);
}

} // namespace

TCallCounter::TCallCounter()
{
    gThread = GetCurrentThreadId();
    Clear();
    bool registry = false;
    registry |= InstallRegistry<0>(&::RegOpenKeyExA, "RegOpenKeyExA", restore_) != nullptr;
    registry |= InstallRegistry<1>(&::RegOpenKeyExW, "RegOpenKeyExW", restore_) != nullptr;
    registry |= InstallRegistry<2>(&::RegCreateKeyExA, "RegCreateKeyExA", restore_) != nullptr;
    registry |= InstallRegistry<3>(&::RegCreateKeyExW, "RegCreateKeyExW", restore_) != nullptr;
    registry |= InstallRegistry<4>(&::RegQueryValueExA, "RegQueryValueExA", restore_) != nullptr;
    registry |= InstallRegistry<5>(&::RegQueryValueExW, "RegQueryValueExW", restore_) != nullptr;
    registry |= InstallRegistry<6>(&::RegSetValueExA, "RegSetValueExA", restore_) != nullptr;
    registry |= InstallRegistry<7>(&::RegSetValueExW, "RegSetValueExW", restore_) != nullptr;
    gRealWait = &::WaitForSingleObject;
    void* wait =
        PatchImport("kernel32.dll", "WaitForSingleObject", reinterpret_cast<void*>(&CountedWait));
    if (wait)
        restore_.emplace_back("kernel32.dll!WaitForSingleObject", wait);
    installed_ = registry && wait;
}

TCallCounter::~TCallCounter()
{
    for (auto it = restore_.rbegin(); it != restore_.rend(); ++it) {
        const size_t bang = it->first.find('!');
        PatchImport(it->first.substr(0, bang).c_str(), it->first.substr(bang + 1).c_str(),
                    it->second);
    }
    gThread = 0;
}

int TCallCounter::RegistryCalls() const
{
    return gRegistryCalls.load();
}

int TCallCounter::Waits() const
{
    std::lock_guard lock(gWaitLock);
    return static_cast<int>(gWaitTimeouts.size());
}

std::vector<DWORD> TCallCounter::WaitTimeouts() const
{
    std::lock_guard lock(gWaitLock);
    return gWaitTimeouts;
}

void TCallCounter::Clear()
{
    gRegistryCalls = 0;
    std::lock_guard lock(gWaitLock);
    gWaitTimeouts.clear();
}

} // namespace importpatch
