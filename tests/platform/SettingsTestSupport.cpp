#include "SettingsTestSupport.h"

#include "platform/qvCommon.h"
#include "platform/qvSettings.h"

#include <atomic>

namespace settingstest {

std::string Narrow(const std::wstring& Text)
{
    return std::string(Text.begin(), Text.end());
}

std::wstring Widen(const std::string& Text)
{
    return std::wstring(Text.begin(), Text.end());
}

void SetSz(HKEY Key, const char* Name, const std::string& Value)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(Key, Name, 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(Value.c_str()),
                                            static_cast<DWORD>(Value.size() + 1)))
        << Name;
}

void SetDword(HKEY Key, const char* Name, DWORD Value)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(Key, Name, 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&Value), sizeof Value))
        << Name;
}

bool GetSz(HKEY Key, const char* Name, std::string& Value)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(Key, Name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    std::string data(size, '\0');
    if (RegQueryValueExA(Key, Name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        return false;
    data.resize(size);
    if (!data.empty() && data.back() == '\0')
        data.pop_back();
    Value = data;
    return true;
}

DWORD TypeOf(HKEY Key, const char* Name)
{
    DWORD type = 0;
    if (RegQueryValueExA(Key, Name, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
        return REG_NONE;
    return type;
}

void ProgramKeyTest::SetUp()
{
    ScratchKeyTest::SetUp();
    lm32_ = HklmTwin(KEY_WOW64_32KEY);
    ASSERT_NE(nullptr, lm32_);
    key_ = Narrow(ScratchPath());
    SetProgramKeyForTests(key_);
    SetSettings(TSettings{});
}

void ProgramKeyTest::TearDown()
{
    SetProgramKeyForTests("");
    SetSettings(TSettings{});
    ScratchKeyTest::TearDown();
}

std::wstring MakeScratchFolder(const wchar_t* Tag)
{
    static std::atomic<int> counter{0};
    CreateDirectoryW(L"C:\\ktest-scratch", nullptr);
    const std::wstring dir = L"C:\\ktest-scratch\\" + ktest::InstanceName() + L"." + Tag + L"." +
                             std::to_wstring(GetCurrentProcessId()) + L"." +
                             std::to_wstring(++counter) + L"\\";
    ktest::RemoveTree(dir);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

} // namespace settingstest
