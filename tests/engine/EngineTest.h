#pragma once
// Helpers shared by the engine's tests.

#include "engine/qvClasses.h"
#include "platform/FileUtilsU.h"
#include "platform/qvSettings.h"

#include "KorvTest.h"
#include "platform/UnicodeU.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <winioctl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace etest {

// What the host made in the prefix for the folder walks (tests/engine/
// host_fixture.sh): the folder CTest names, else C:\ktest-engine when a
// manual run made it; '' when there is none.
inline std::string HostFixture()
{
    char buffer[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableA("KORV_ENGINE_FIXTURE", buffer, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        return buffer;
    const DWORD attributes = GetFileAttributesA("C:\\ktest-engine\\outside\\canary.txt");
    return attributes != INVALID_FILE_ATTRIBUTES ? "C:\\ktest-engine" : "";
}
inline constexpr const char* kNoHostFixture =
    "no host fixture: run through ctest, or first tests/engine/host_fixture.sh make <prefix dir>";

// ---------------------------------------------------------------------------
// Trust

// While it lives, the trust test of the all-users files (IsTrustedPath)
// refuses every path that holds "planted" (in any case) and takes the rest:
// Wine gives every file the one account it runs as, so only a stand-in can
// say what someone else planted.
class PlantedPaths {
public:
    PlantedPaths() : old_(SetTrustQueryForTests(&Trusted)) {}
    ~PlantedPaths() { SetTrustQueryForTests(old_); }
    PlantedPaths(const PlantedPaths&) = delete;
    PlantedPaths& operator=(const PlantedPaths&) = delete;

private:
    static bool Trusted(const std::string& Path)
    {
        std::string lower = Path;
        for (char& c : lower)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return lower.find("planted") == std::string::npos;
    }
    TTrustQuery old_;
};

// ---------------------------------------------------------------------------
// Files

// Writes the whole file, making its missing folders first.
inline bool WriteBytes(const std::string& Path, const std::string& Bytes)
{
    const size_t slash = Path.find_last_of('\\');
    if (slash != std::string::npos)
        SHCreateDirectoryExA(nullptr, Path.substr(0, slash).c_str(), nullptr);
    HANDLE file = CreateFileA(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = Bytes.empty() || WriteFile(file, Bytes.data(), static_cast<DWORD>(Bytes.size()),
                                               &written, nullptr);
    CloseHandle(file);
    return ok && written == Bytes.size();
}

// The whole file; '' when it cannot be read.
inline std::string ReadBytes(const std::string& Path)
{
    return ktest::ReadFileBytes(WideFromAnsi(Path));
}

// Removes a folder tree (a link to a folder as a link); False when something
// stayed, or for ''.
inline bool RemoveFolder(const std::string& Folder)
{
    return !Folder.empty() && ktest::RemoveTree(WideFromAnsi(Folder));
}

// A file of Size bytes that takes no room: marked sparse where the file
// system can (Wine's files are sparse when they grow by their end alone).
inline bool MakeSparseFile(const std::string& Path, int64_t Size)
{
    HANDLE h = CreateFileA(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD returned = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end{};
    end.QuadPart = Size;
    const bool sized = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    return sized;
}

// ---------------------------------------------------------------------------
// File security

// The DACL of a descriptor as SDDL; "none" without a descriptor or when it
// cannot be converted.
inline std::string DaclSddl(PSECURITY_DESCRIPTOR Descriptor)
{
    char* sddl = nullptr;
    std::string dacl = "none";
    if (Descriptor && ConvertSecurityDescriptorToStringSecurityDescriptorA(
                          Descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        dacl = sddl;
        LocalFree(sddl);
    }
    return dacl;
}

inline std::string SidText(PSID Sid)
{
    char* text = nullptr;
    if (!ConvertSidToStringSidA(Sid, &text))
        return "?";
    std::string out = text;
    LocalFree(text);
    return out;
}

// The SID of the user running the test ("?" when it cannot be read). On Wine
// every new file gets a default DACL of SYSTEM and its creator, who is an
// administrator there.
inline std::string TestUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return "?";
    BYTE buffer[256] = {};
    DWORD size = 0;
    std::string sid = "?";
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return sid;
}

// Every allow entry that gives anyone but Administrators, SYSTEM and Also a
// right to change the file or folder, as "<SID> <mask>"; a DACL that is
// missing or cannot be read is listed too.
inline std::vector<std::string> WritersOf(const std::string& Path, const std::string& Also)
{
    std::vector<std::string> writers;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoA(Path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
        writers.push_back("unreadable DACL");
        return writers;
    }
    if (!dacl)
        writers.push_back("no DACL: everyone");
    constexpr DWORD kWrite = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                             FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                             WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) ||
            header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        const std::string text = SidText(&ace->SidStart);
        if (text != "S-1-5-32-544" && text != "S-1-5-18" && text != Also && (ace->Mask & kWrite))
            writers.push_back(text + " " + std::to_string(ace->Mask));
    }
    LocalFree(sd);
    return writers;
}

// Sets the interface language for its lifetime.
class LanguageScope {
public:
    explicit LanguageScope(const std::wstring& Language) : old_(Settings()->LANGUAGE)
    {
        ChangeSettings([&](TSettings& s) { s.LANGUAGE = Language; });
    }
    ~LanguageScope()
    {
        ChangeSettings([this](TSettings& s) { s.LANGUAGE = old_; });
    }
    LanguageScope(const LanguageScope&) = delete;
    LanguageScope& operator=(const LanguageScope&) = delete;

private:
    std::wstring old_;
};

// A backup writer that records its calls and answers as told.
class FakeBackupWriter : public TqvBackupWriter {
public:
    bool open = false;
    bool acceptValues = true;
    bool endResult = true;
    std::vector<std::string> calls;

    void BeginBackup(uint8_t Type, const std::wstring&) override
    {
        calls.push_back("begin " + std::to_string(Type));
        open = true;
    }
    bool IsBackupOpen() override { return open; }
    bool BackupRegValue(HKEY, const std::string& Key, const std::string& Name, bool Is64) override
    {
        calls.push_back("value " + Key + "\\#" + Name + (Is64 ? " 64" : ""));
        return acceptValues;
    }
    bool BackupRegKey(HKEY, const std::string& Key, bool Is64) override
    {
        calls.push_back("key " + Key + (Is64 ? " 64" : ""));
        return acceptValues;
    }
    bool EndBackup() override
    {
        calls.push_back("end");
        const bool wasOpen = open;
        open = false;
        return wasOpen ? endResult : true;
    }
};

} // namespace etest
