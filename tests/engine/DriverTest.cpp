#include "DriverTest.h"

#include "KorvTest.h"
#include "engine/qvScanTools.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"

#include <algorithm>
#include <atomic>

namespace dtest {
namespace {

std::wstring Folder(const std::wstring& Path)
{
    const size_t slash = Path.find_last_of(L'\\');
    return slash == std::wstring::npos ? L"" : Path.substr(0, slash + 1);
}

// A folder of this process for exports and the driver's output, removed
// when the process ends.
std::wstring ScratchFolder()
{
    struct Folder {
        std::wstring path;
        Folder()
        {
            CreateDirectoryW(L"C:\\ktest-scratch", nullptr);
            path = L"C:\\ktest-scratch\\" + ktest::InstanceName() + L".driver." +
                   std::to_wstring(GetCurrentProcessId()) + L"\\";
            CreateDirectoryW(path.c_str(), nullptr);
        }
        ~Folder() { ktest::RemoveTree(path); }
    };
    static Folder folder;
    return folder.path;
}

std::atomic<int> gCounter{0};

std::vector<std::string> SplitLines(const std::string& Text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= Text.size()) {
        size_t end = Text.find('\n', start);
        if (end == std::string::npos)
            end = Text.size();
        std::string line = Text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The current environment with Extra added or replaced (names ignore case).
std::vector<wchar_t> EnvironmentWith(const std::map<std::wstring, std::wstring>& Extra)
{
    std::vector<std::wstring> lines;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
            const std::wstring line = p;
            const size_t eq = line.find(L'=', 1);
            const std::wstring name = line.substr(0, eq);
            const bool replaced = std::any_of(Extra.begin(), Extra.end(), [&](const auto& e) {
                return _wcsicmp(e.first.c_str(), name.c_str()) == 0;
            });
            if (!replaced)
                lines.push_back(line);
        }
        FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : Extra)
        lines.push_back(name + L"=" + value);
    std::vector<wchar_t> out;
    for (const std::wstring& line : lines) {
        out.insert(out.end(), line.begin(), line.end());
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

std::string Upper(std::string Text)
{
    for (char& c : Text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return Text;
}

} // namespace

bool Win64()
{
    return IsWin64();
}

std::vector<REGSAM> Views()
{
    if (Win64())
        return {kView32, kView64};
    return {0};
}

std::wstring Unique(const std::wstring& Stem)
{
    return Stem + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(++gCounter);
}

std::wstring UniqueGuid(int N)
{
    wchar_t text[64];
    swprintf(text, 64, L"{4B3E%04X-%04X-4000-8000-%012lX}", N & 0xFFFF, (++gCounter) & 0xFFFF,
             static_cast<unsigned long>(GetCurrentProcessId()));
    return text;
}

// ---------------------------------------------------------------------------
// Registry

bool KeyExists(HKEY Root, const std::wstring& Path, REGSAM View)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(Root, Path.c_str(), 0, KEY_READ | View, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool ValueExists(HKEY Root, const std::wstring& Path, const std::wstring& Name, REGSAM View)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(Root, Path.c_str(), 0, KEY_READ | View, &key) != ERROR_SUCCESS)
        return false;
    const LONG result = RegQueryValueExW(key, Name.c_str(), nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool DeleteTree(HKEY Root, const std::wstring& Path, REGSAM View)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(Root, Path.c_str(), 0, KEY_ALL_ACCESS | View, &key) == ERROR_SUCCESS) {
        RegDeleteTreeW(key, nullptr);
        RegCloseKey(key);
    }
    RegDeleteKeyExW(Root, Path.c_str(), View, 0);
    return !KeyExists(Root, Path, View);
}

RegFixture::~RegFixture()
{
    RemoveAll();
}

void RegFixture::Key(HKEY Root, const std::wstring& Path, REGSAM View)
{
    // The topmost missing level is what this fixture made.
    for (size_t pos = 0; pos != std::wstring::npos;) {
        const size_t next = Path.find(L'\\', pos);
        const std::wstring level = Path.substr(0, next);
        if (!KeyExists(Root, level, View)) {
            keys_.push_back({Root, level, View});
            break;
        }
        pos = next == std::wstring::npos ? next : next + 1;
    }
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(Root, Path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS | View, nullptr, &key, nullptr))
        << "create " << WideToUtf8(Path);
    RegCloseKey(key);
}

void RegFixture::Raw(HKEY Root, const std::wstring& Path, const std::wstring& Name, DWORD Type,
                     const std::string& Bytes, REGSAM View)
{
    Key(Root, Path, View);
    bool inside = false;
    for (const Made& m : keys_) {
        if (m.Root == Root && m.View == View &&
            (_wcsicmp(m.Path.c_str(), Path.c_str()) == 0 ||
             (Path.size() > m.Path.size() &&
              _wcsnicmp(m.Path.c_str(), Path.c_str(), m.Path.size()) == 0 &&
              Path[m.Path.size()] == L'\\')))
            inside = true;
    }
    if (!inside)
        values_.push_back({Root, Path, Name, View});
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(Root, Path.c_str(), 0, KEY_ALL_ACCESS | View, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, Name.c_str(), 0, Type,
                                            reinterpret_cast<const BYTE*>(Bytes.data()),
                                            static_cast<DWORD>(Bytes.size())));
    RegCloseKey(key);
}

void RegFixture::String(HKEY Root, const std::wstring& Path, const std::wstring& Name,
                        const std::wstring& Value, REGSAM View, DWORD Type)
{
    const std::string bytes(reinterpret_cast<const char*>(Value.c_str()),
                            (Value.size() + 1) * sizeof(wchar_t));
    Raw(Root, Path, Name, Type, bytes, View);
}

void RegFixture::Dword(HKEY Root, const std::wstring& Path, const std::wstring& Name, DWORD Value,
                       REGSAM View)
{
    Raw(Root, Path, Name, REG_DWORD, std::string(reinterpret_cast<const char*>(&Value), 4), View);
}

void RegFixture::RemoveAll()
{
    for (auto it = values_.rbegin(); it != values_.rend(); ++it) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(it->Root, it->Path.c_str(), 0, KEY_ALL_ACCESS | it->View, &key) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(key, it->Name.c_str());
            RegCloseKey(key);
        }
    }
    values_.clear();
    for (auto it = keys_.rbegin(); it != keys_.rend(); ++it)
        DeleteTree(it->Root, it->Path, it->View);
    keys_.clear();
}

// ---------------------------------------------------------------------------
// reg export

std::string Export(const std::wstring& Key, REGSAM View)
{
    const std::wstring file = ScratchFolder() + L"export" + std::to_wstring(++gCounter) + L".reg";
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring exe = std::wstring(system) + L"\\reg.exe";
    std::wstring command = L"reg.exe export \"" + Key + L"\" \"" + file + L"\" /y";
    if (View == kView32)
        command += L" /reg:32";
    else if (View == kView64)
        command += L" /reg:64";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &si, &pi))
        return {};
    DWORD code = 1;
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::string bytes = ktest::ReadFileBytes(file);
    DeleteFileW(file.c_str());
    if (code != 0 || bytes.size() < 2)
        return {};
    // UTF-16LE with a byte-order mark: the text as UTF-8.
    std::wstring wide((bytes.size() - 2) / 2, L'\0');
    memcpy(wide.data(), bytes.data() + 2, wide.size() * 2);
    return WideToUtf8(wide);
}

std::map<std::string, std::vector<std::string>> Sections(const std::string& Export)
{
    std::map<std::string, std::vector<std::string>> sections;
    std::vector<std::string>* current = nullptr;
    std::string pending;
    for (const std::string& raw : SplitLines(Export)) {
        std::string line = pending + raw;
        pending.clear();
        if (!line.empty() && line.back() == '\\' && current) {
            // A continued hex line.
            line.pop_back();
            pending = line;
            continue;
        }
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            current = &sections[Upper(line.substr(1, line.size() - 2))];
            continue;
        }
        if (current && !line.empty())
            current->push_back(line);
    }
    return sections;
}

// ---------------------------------------------------------------------------
// The driver

std::wstring DriverPath()
{
    return Folder(ktest::ProgramPath()) + L"enginectl.exe";
}

DriverResult RunDriver(const std::vector<std::wstring>& Args, DWORD TimeoutMs,
                       const std::map<std::wstring, std::wstring>& Env)
{
    DriverResult result;
    const std::wstring exe = DriverPath();
    const std::wstring base = ScratchFolder() + L"driver" + std::to_wstring(++gCounter);
    const std::wstring outFile = base + L".out";
    const std::wstring errFile = base + L".err";
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    std::wstring command = L"\"" + exe + L"\"";
    for (const std::wstring& a : Args)
        command += L" \"" + a + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    std::vector<wchar_t> environment = EnvironmentWith(Env);
    PROCESS_INFORMATION pi{};
    const BOOL started = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                                        environment.data(), nullptr, &si, &pi);
    CloseHandle(out);
    CloseHandle(err);
    if (started) {
        if (WaitForSingleObject(pi.hProcess, TimeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(pi.hProcess, &result.exitCode);
        else
            TerminateProcess(pi.hProcess, 99);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    result.out = ktest::ReadFileBytes(outFile);
    result.err = ktest::ReadFileBytes(errFile);
    DeleteFileW(outFile.c_str());
    DeleteFileW(errFile.c_str());
    return result;
}

std::map<std::string, std::vector<std::string>> ScanItems(const std::string& Out)
{
    std::map<std::string, std::vector<std::string>> groups;
    std::vector<std::string>* current = nullptr;
    for (const std::string& line : SplitLines(Out)) {
        if (line.rfind("item\t", 0) == 0) {
            if (current)
                current->push_back(line);
            continue;
        }
        const size_t tab = line.find('\t');
        const size_t tab2 = tab == std::string::npos ? tab : line.find('\t', tab + 1);
        const std::string category = line.substr(0, tab);
        if (tab2 != std::string::npos &&
            (category == "fix" || category == "boost" || category == "clean"))
            current = &groups[line.substr(tab + 1, tab2 - tab - 1)];
        else
            current = nullptr;
    }
    return groups;
}

std::map<std::string, std::vector<std::string>>
NewItems(const std::string& Before, const std::string& After, const std::set<std::string>& Groups)
{
    auto before = ScanItems(Before);
    auto after = ScanItems(After);
    std::map<std::string, std::vector<std::string>> added;
    for (const std::string& g : Groups) {
        std::vector<std::string> b = before[g];
        std::vector<std::string> a = after[g];
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        std::vector<std::string> diff;
        std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(diff));
        added[g] = diff;
    }
    return added;
}

std::string ItemLine(const char* Root, const std::wstring& Key, const std::wstring& Name, bool Is64,
                     bool Locked)
{
    return std::string("item\tselected=1\tlocked=") + (Locked ? "1" : "0") + "\t<reg root=\"" +
           Root + "\" key=\"" + EscapeHashHex(WideToAnsi(Key)) + "\" name=\"" +
           EscapeHashHex(WideToAnsi(Name)) + "\" value=\"\" type=\"\"" +
           (Is64 ? " is64=\"1\"" : "") + " scan=\"exists\" fix=\"del\" />";
}

// ---------------------------------------------------------------------------
// The backup folder

std::string RealBackupDir()
{
    return ComputeProgramFolders().BackupDir;
}

std::string RealCommonDataDir()
{
    return ComputeProgramFolders().CommonDataDir;
}

BackupDirGuard::BackupDirGuard()
{
    const std::string dir = RealBackupDir();
    hadCommon_ = GetFileAttributesA(RealCommonDataDir().c_str()) != INVALID_FILE_ATTRIBUTES;
    hadBackup_ = GetFileAttributesA(dir.c_str()) != INVALID_FILE_ATTRIBUTES;
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((dir + "*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do
            before_.insert(data.cFileName);
        while (FindNextFileA(find, &data));
        FindClose(find);
    }
    const std::wstring report = AnsiToWide(dir + "cleanrep.xml");
    hadReport_ = GetFileAttributesW(report.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (hadReport_)
        report_ = ktest::ReadFileBytes(report);
}

BackupDirGuard::~BackupDirGuard()
{
    const std::string dir = RealBackupDir();
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((dir + "*").c_str(), &data);
    std::vector<std::string> made;
    if (find != INVALID_HANDLE_VALUE) {
        do
            if (!before_.count(data.cFileName))
                made.push_back(data.cFileName);
        while (FindNextFileA(find, &data));
        FindClose(find);
    }
    for (const std::string& name : made)
        DeleteFileA((dir + name).c_str());
    const std::string report = dir + "cleanrep.xml";
    if (hadReport_) {
        HANDLE file =
            CreateFileA(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, report_.data(), static_cast<DWORD>(report_.size()), &written, nullptr);
            CloseHandle(file);
        }
    } else {
        DeleteFileA(report.c_str());
    }
    if (!hadBackup_)
        RemoveDirectoryA(dir.c_str());
    if (!hadCommon_)
        ktest::RemoveTree(AnsiToWide(RealCommonDataDir()));
}

std::vector<std::string> BackupDirGuard::NewBackups(const std::string& Prefix) const
{
    std::vector<std::string> found;
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((RealBackupDir() + Prefix + "*.xml").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do
            if (!before_.count(data.cFileName))
                found.push_back(RealBackupDir() + data.cFileName);
        while (FindNextFileA(find, &data));
        FindClose(find);
    }
    return found;
}

} // namespace dtest
