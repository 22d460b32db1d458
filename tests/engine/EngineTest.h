#pragma once
// Helpers shared by the engine's tests.

#include "engine/qvClasses.h"
#include "platform/qvSettings.h"

#include <windows.h>
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
