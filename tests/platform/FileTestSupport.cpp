#include "FileTestSupport.h"

#include "KorvTest.h"
#include "platform/UnicodeU.h"

#include <sddl.h>

#include <mutex>

namespace filetest {
namespace {

std::mutex gRecordedLock;
std::vector<TRecorded> gRecorded;

void Record(const TSecurityCall& call)
{
    TRecorded item;
    item.Api = call.Api;
    item.Path = call.Path;
    item.Information = call.Information;
    item.HasDescriptor = call.Descriptor != nullptr;
    item.Sddl = DaclSddl(call.Descriptor);
    std::lock_guard<std::mutex> lock(gRecordedLock);
    gRecorded.push_back(std::move(item));
}

const char* kSessionManager = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char* kPendingValue = "PendingFileRenameOperations";

std::wstring Quote(const std::wstring& arg)
{
    return L"\"" + arg + L"\"";
}

} // namespace

TChild::~TChild()
{
    if (process_) {
        if (WaitForSingleObject(process_, 20000) == WAIT_TIMEOUT)
            TerminateProcess(process_, 255);
        CloseHandle(process_);
    }
    if (ready_)
        CloseHandle(ready_);
}

bool TChild::Start(const std::wstring& role, const std::vector<std::wstring>& args)
{
    static LONG counter = 0;
    const std::wstring eventName = L"ktest.ready." + std::to_wstring(GetCurrentProcessId()) + L"." +
                                   std::to_wstring(InterlockedIncrement(&counter));
    ready_ = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    if (!ready_)
        return false;
    const std::wstring exe = ktest::ProgramPath();
    std::wstring cmd = Quote(exe) + L" --role=" + role + L" " + Quote(eventName);
    for (const auto& a : args)
        cmd += L" " + Quote(a);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    HANDLE both[2] = {ready_, process_};
    return WaitForMultipleObjects(2, both, FALSE, 60000) == WAIT_OBJECT_0;
}

DWORD TChild::Wait(DWORD timeoutMs)
{
    if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return 0xFFFFFFFF;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

bool TChild::Running() const
{
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void TChild::Terminate()
{
    if (process_) {
        TerminateProcess(process_, 254);
        WaitForSingleObject(process_, 20000);
    }
}

// args: ready event, path, hold ms, share mode.
KTEST_ROLE(HoldFile)
{
    if (args.size() != 4)
        return 100;
    HANDLE file = CreateFileW(args[1].c_str(), GENERIC_READ | GENERIC_WRITE,
                              static_cast<DWORD>(std::stoul(args[3])), nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 101;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args[0].c_str());
    if (ready) {
        SetEvent(ready);
        CloseHandle(ready);
    }
    Sleep(static_cast<DWORD>(std::stoul(args[2])));
    CloseHandle(file);
    return 0;
}

bool HoldFile(TChild& child, const std::string& path, DWORD ms, DWORD share)
{
    return child.Start(L"HoldFile",
                       {AnsiToWide(path), std::to_wstring(ms), std::to_wstring(share)});
}

TRecorderScope::TRecorderScope()
{
    {
        std::lock_guard<std::mutex> lock(gRecordedLock);
        gRecorded.clear();
    }
    SetSecurityRecorder(&Record);
}

TRecorderScope::~TRecorderScope()
{
    SetSecurityRecorder(nullptr);
}

std::vector<TRecorded> TRecorderScope::Calls() const
{
    std::lock_guard<std::mutex> lock(gRecordedLock);
    return gRecorded;
}

std::string DaclSddl(PSECURITY_DESCRIPTOR descriptor)
{
    if (!descriptor)
        return {};
    LPSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr))
        return "<unconvertible>";
    std::string out = text;
    LocalFree(text);
    return out;
}

bool HasWorldEntry(const std::string& sddl)
{
    return sddl.find(";WD)") != std::string::npos;
}

TPending ReadPendingOperations()
{
    TPending pairs;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return pairs;
    DWORD type = 0, size = 0;
    std::string data;
    if (RegQueryValueExA(key, kPendingValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        size > 0) {
        data.resize(size);
        RegQueryValueExA(key, kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size);
        data.resize(size);
    }
    RegCloseKey(key);
    // Pairs of strings, each NUL-terminated; an empty target means "delete".
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < data.size()) {
        size_t nul = data.find('\0', start);
        if (nul == std::string::npos)
            nul = data.size();
        parts.push_back(data.substr(start, nul - start));
        start = nul + 1;
    }
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].empty())
            break;
        pairs.emplace_back(parts[i], parts[i + 1]);
    }
    return pairs;
}

void RemovePendingOperations(const std::string& marker)
{
    TPending pairs = ReadPendingOperations();
    TPending kept;
    for (auto& p : pairs)
        if (p.first.find(marker) == std::string::npos)
            kept.push_back(p);
    if (kept.size() == pairs.size())
        return;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    if (kept.empty()) {
        RegDeleteValueA(key, kPendingValue);
    } else {
        std::string data;
        for (auto& p : kept) {
            data += p.first;
            data += '\0';
            data += p.second;
            data += '\0';
        }
        data += '\0';
        RegSetValueExA(key, kPendingValue, 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    }
    RegCloseKey(key);
}

bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

} // namespace filetest
