#include "KorvTest.h"

#include <atomic>
#include <cstdlib>
#include <map>

namespace ktest {
namespace {

std::map<std::wstring, RoleFn>& Roles()
{
    static std::map<std::wstring, RoleFn> roles;
    return roles;
}

std::wstring QuoteArg(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        if (c == L'"')
            out.append(slashes * 2 + 1, L'\\');
        else
            out.append(slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    out += L'"';
    return out;
}

} // namespace

bool HaveDisplay()
{
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

std::wstring ProgramPath()
{
    wchar_t buf[MAX_PATH * 2] = {};
    DWORD n = GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(std::size(buf)));
    return std::wstring(buf, n);
}

std::wstring ProgramName()
{
    std::wstring path = ProgramPath();
    size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0)
        name.resize(name.size() - 4);
    return name;
}

RoleRegistration::RoleRegistration(const wchar_t* name, RoleFn fn)
{
    Roles()[name] = std::move(fn);
}

int RunRoleIfAsked(int argc, wchar_t** argv, bool& handled)
{
    handled = false;
    if (argc < 2 || wcsncmp(argv[1], L"--role=", 7) != 0)
        return 0;
    handled = true;
    std::wstring name = argv[1] + 7;
    auto it = Roles().find(name);
    if (it == Roles().end()) {
        fwprintf(stderr, L"unknown role %ls\n", name.c_str());
        return 200;
    }
    std::vector<std::wstring> args(argv + 2, argv + argc);
    try {
        return it->second(args);
    } catch (const std::exception& e) {
        fprintf(stderr, "role %ls threw: %s\n", name.c_str(), e.what());
        return 201;
    }
}

ChildResult RunRole(const std::wstring& exePath, const std::wstring& role,
                    const std::vector<std::wstring>& args, DWORD timeoutMs)
{
    ChildResult result;
    std::wstring cmd = QuoteArg(exePath) + L" --role=" + role;
    for (const auto& a : args)
        cmd += L" " + QuoteArg(a);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exePath.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return result;
    result.started = true;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_TIMEOUT) {
        result.timedOut = true;
        TerminateProcess(pi.hProcess, 255);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    GetExitCodeProcess(pi.hProcess, &result.exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}

ChildResult RunSelf(const std::wstring& role, const std::vector<std::wstring>& args, DWORD timeoutMs)
{
    return RunRole(ProgramPath(), role, args, timeoutMs);
}

ChildResult RunSelfAsVersion(const std::wstring& folder, const std::wstring& version,
                             const std::wstring& role, const std::vector<std::wstring>& args,
                             DWORD timeoutMs)
{
    std::wstring dir = folder;
    if (!dir.empty() && dir.back() != L'\\')
        dir += L'\\';
    std::wstring exeName = ProgramName() + L"_" + version + L".exe";
    std::wstring exePath = dir + exeName;
    if (!CopyFileW(ProgramPath().c_str(), exePath.c_str(), FALSE))
        return {};
    std::wstring keyPath = L"Software\\Wine\\AppDefaults\\" + exeName;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                       static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    ChildResult result = RunRole(exePath, role, args, timeoutMs);
    RegDeleteTreeW(HKEY_CURRENT_USER, keyPath.c_str());
    DeleteFileW(exePath.c_str());
    return result;
}

std::wstring InstanceName()
{
    // Runs of one program in parallel (another prefix, another locale) get their own names.
    wchar_t buf[256] = {};
    DWORD n = GetEnvironmentVariableW(L"KORV_TEST_INSTANCE", buf, static_cast<DWORD>(std::size(buf)));
    if (n > 0 && n < std::size(buf))
        return std::wstring(buf, n);
    return ProgramName();
}

std::wstring EvidenceDir()
{
    std::wstring root = L"C:\\ktest-evidence\\";
    CreateDirectoryW(root.c_str(), nullptr);
    std::wstring dir = root + InstanceName() + L"\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::wstring ScratchKeyTest::ScratchPath()
{
    return L"Software\\Korvelle.Test." + InstanceName();
}

void ScratchKeyTest::SetUp()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, ScratchPath().c_str());
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, ScratchPath().c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hkcu_, nullptr));
}

HKEY ScratchKeyTest::HklmTwin(REGSAM view)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, ScratchPath().c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
    if (key)
        twins_.emplace_back(key, view);
    return key;
}

void ScratchKeyTest::TearDown()
{
    if (hkcu_)
        RegCloseKey(hkcu_);
    hkcu_ = nullptr;
    RegDeleteTreeW(HKEY_CURRENT_USER, ScratchPath().c_str());
    for (auto& [key, view] : twins_) {
        RegDeleteTreeW(key, nullptr);
        RegCloseKey(key);
        HKEY parent = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | view, &parent) ==
            ERROR_SUCCESS) {
            std::wstring leaf = ScratchPath().substr(wcslen(L"Software\\"));
            RegDeleteKeyExW(parent, leaf.c_str(), view, 0);
            RegCloseKey(parent);
        }
    }
    twins_.clear();
}

void ScratchDirTest::SetUp()
{
    static std::atomic<int> counter{0};
    CreateDirectoryW(L"C:\\ktest-scratch", nullptr);
    dir_ = L"C:\\ktest-scratch\\" + InstanceName() + L"." + std::to_wstring(GetCurrentProcessId()) +
           L"." + std::to_wstring(++counter) + L"\\";
    RemoveTree(dir_);
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    int n = WideCharToMultiByte(CP_ACP, 0, dir_.c_str(), -1, nullptr, 0, nullptr, nullptr);
    dirAnsi_.assign(n > 0 ? n - 1 : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, dir_.c_str(), -1, dirAnsi_.data(), n, nullptr, nullptr);
}

void ScratchDirTest::TearDown()
{
    EXPECT_TRUE(RemoveTree(dir_)) << "scratch folder left behind";
}

std::wstring ScratchDirTest::WriteFile(const std::wstring& name, const std::string& bytes)
{
    std::wstring path = dir_ + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(h);
    }
    return path;
}

bool RemoveTree(const std::wstring& dir)
{
    std::wstring base = dir;
    if (!base.empty() && base.back() == L'\\')
        base.pop_back();
    if (GetFileAttributesW(base.c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    WIN32_FIND_DATAW fd{};
    HANDLE find = FindFirstFileW((base + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = base + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    SetFileAttributesW(base.c_str(), FILE_ATTRIBUTE_NORMAL);
    return RemoveDirectoryW(base.c_str()) || GetFileAttributesW(base.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string out;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got > 0)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string TestDir()
{
    const std::string path = Narrow(ProgramPath());
    return path.substr(0, path.find_last_of('\\') + 1);
}

std::vector<std::string> ReadLines(const std::string& file)
{
    std::vector<std::string> lines;
    const std::string text = ReadFileBytes(Widen(file));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool WriteText(const std::string& file, const std::string& text)
{
    HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    CloseHandle(h);
    return ok;
}

} // namespace ktest

namespace ktest {

namespace {

struct TCountedString {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
struct TObjectAttributes {
    ULONG Length;
    HANDLE RootDirectory;
    TCountedString* ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
constexpr ULONG kCaseInsensitive = 0x40;

template <typename F> F Ntdll(const char* name)
{
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

TCountedString Counted(std::wstring& name)
{
    return {static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
            name.data()};
}

HANDLE OpenCounted(HKEY parent, const std::wstring& name, bool create)
{
    using TNtCreateKey = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, TObjectAttributes*, ULONG, PVOID,
                                      ULONG, PULONG);
    using TNtOpenKey = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, TObjectAttributes*);
    std::wstring copy = name;
    TCountedString counted = Counted(copy);
    TObjectAttributes attributes{sizeof(attributes), parent, &counted, kCaseInsensitive, nullptr,
                                 nullptr};
    HANDLE key = nullptr;
    const LONG status =
        create ? Ntdll<TNtCreateKey>("NtCreateKey")(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                                                   0, nullptr)
               : Ntdll<TNtOpenKey>("NtOpenKey")(&key, KEY_ALL_ACCESS | DELETE, &attributes);
    return status >= 0 ? key : nullptr;
}

} // namespace

HKEY CreateKeyCounted(HKEY Parent, const std::wstring& Name)
{
    return static_cast<HKEY>(OpenCounted(Parent, Name, true));
}

bool DeleteKeyCounted(HKEY Parent, const std::wstring& Name)
{
    using TNtDeleteKey = LONG(NTAPI*)(HANDLE);
    HANDLE key = OpenCounted(Parent, Name, false);
    if (!key)
        return false;
    const LONG status = Ntdll<TNtDeleteKey>("NtDeleteKey")(key);
    CloseHandle(key);
    return status >= 0;
}

bool SetValueCounted(HKEY Key, const std::wstring& Name, DWORD Type, const std::string& Bytes)
{
    using TNtSetValueKey = LONG(NTAPI*)(HANDLE, TCountedString*, ULONG, ULONG, PVOID, ULONG);
    std::wstring copy = Name;
    TCountedString counted = Counted(copy);
    std::string data = Bytes;
    return Ntdll<TNtSetValueKey>("NtSetValueKey")(Key, &counted, 0, Type, data.data(),
                                                  static_cast<ULONG>(data.size())) >= 0;
}

} // namespace ktest
