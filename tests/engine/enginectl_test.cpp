// The engine's test driver, run as its own process: the model it loads
// against a golden file, and what a scan of this prefix finds once a few
// registry values and files are seeded.

#include "EngineTest.h"
#include "StartupTestSupport.h"

#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/UnicodeU.h"
#include "platform/WinVersionU.h"

#include "KorvTest.h"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(Enginectl, LoadMatchesTheGoldenFileOfThisWindows)
{
    // 32-bit Windows: the 64-bit file exception is not entered.
    const std::wstring name = IsWin64() ? L"enginectl_load_win64.txt" : L"enginectl_load_win32.txt";
    std::wstring golden = ktest::ProgramPath();
    golden = golden.substr(0, golden.find_last_of(L'\\') + 1) + L"fixtures\\" + name;
    const std::string expected = ktest::ReadFileBytes(golden);
    ASSERT_FALSE(expected.empty()) << WideToUtf8(golden);
    const stest::CtlResult run = stest::RunEnginectl({L"load"});
    ASSERT_EQ(0u, run.exitCode);
    EXPECT_EQ(expected, run.out);
}

TEST(Enginectl, UsageErrorsExitWithTwo)
{
    const std::vector<std::vector<std::wstring>> usages = {
        {}, {L"load", L"-v"}, {L"scan", L"-x"}, {L"scan", L"-v", L"-v"}, {L"repair-all"}};
    for (const std::vector<std::wstring>& args : usages) {
        const stest::CtlResult run = stest::RunEnginectl(args);
        ASSERT_EQ(2u, run.exitCode) << testing::PrintToString(args);
        EXPECT_EQ("", run.out);
    }
}

// ---------------------------------------------------------------------------
// The scan of a seeded prefix

// A registry value set for the test and put back afterwards.
class SeededValue {
public:
    SeededValue(HKEY Root, const char* Key, const char* Name, DWORD Value)
        : root_(Root), key_(Key), name_(Name)
    {
        HKEY probe = nullptr;
        keyExisted_ =
            RegOpenKeyExA(Root, Key, 0, KEY_READ | KEY_WOW64_32KEY, &probe) == ERROR_SUCCESS;
        if (probe)
            RegCloseKey(probe);
        RegCreateKeyExA(Root, Key, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                        &key_handle_, nullptr);
        if (!key_handle_)
            return;
        DWORD size = sizeof old_;
        hadValue_ =
            RegQueryValueExA(key_handle_, Name, nullptr, &oldType_, old_, &size) == ERROR_SUCCESS;
        oldSize_ = size;
        set_ = RegSetValueExA(key_handle_, Name, 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&Value), 4) == ERROR_SUCCESS;
    }
    ~SeededValue()
    {
        if (!key_handle_)
            return;
        if (hadValue_)
            RegSetValueExA(key_handle_, name_.c_str(), 0, oldType_, old_, oldSize_);
        else
            RegDeleteValueA(key_handle_, name_.c_str());
        RegCloseKey(key_handle_);
        if (!keyExisted_) {
            HKEY parent = nullptr;
            const std::string key = key_;
            const size_t slash = key.rfind('\\');
            if (RegOpenKeyExA(root_, key.substr(0, slash).c_str(), 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, &parent) == ERROR_SUCCESS) {
                RegDeleteKeyExA(parent, key.substr(slash + 1).c_str(), KEY_WOW64_32KEY, 0);
                RegCloseKey(parent);
            }
        }
    }
    SeededValue(const SeededValue&) = delete;
    SeededValue& operator=(const SeededValue&) = delete;
    bool Set() const { return set_; }

private:
    HKEY root_;
    std::string key_, name_;
    HKEY key_handle_ = nullptr;
    bool keyExisted_ = false, hadValue_ = false, set_ = false;
    DWORD oldType_ = 0, oldSize_ = 0;
    BYTE old_[256] = {};
};

// A file of Size bytes, made with the folders it needs; all of it removed
// afterwards.
class SeededFile {
public:
    SeededFile(const std::string& Folder, const std::string& Name, size_t Size)
        : path_(Folder + Name)
    {
        for (size_t slash = Folder.find('\\', 3); slash != std::string::npos;
             slash = Folder.find('\\', slash + 1)) {
            const std::string dir = Folder.substr(0, slash);
            if (CreateDirectoryA(dir.c_str(), nullptr))
                folders_.push_back(dir);
        }
        HANDLE h = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return;
        const std::string bytes(Size, 's');
        DWORD written = 0;
        made_ = WriteFile(h, bytes.data(), static_cast<DWORD>(Size), &written, nullptr) &&
                written == Size;
        CloseHandle(h);
    }
    ~SeededFile()
    {
        DeleteFileA(path_.c_str());
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it)
            RemoveDirectoryA(it->c_str());
    }
    SeededFile(const SeededFile&) = delete;
    SeededFile& operator=(const SeededFile&) = delete;
    bool Made() const { return made_; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> folders_;
    bool made_ = false;
};

// One scan's output: the group lines in order, each with its item lines.
struct ScanGroup {
    std::string line;
    std::vector<std::string> items;
};
struct ScanOutput {
    std::vector<std::string> order;
    std::map<std::string, ScanGroup> groups; // by "<category>\t<id>"
    std::string total;
};

ScanOutput Parse(const stest::CtlResult& Run)
{
    ScanOutput out;
    std::string current;
    for (const std::string& line : Run.Lines()) {
        if (line.starts_with("item\t")) {
            out.groups[current].items.push_back(line);
        } else if (line.starts_with("total\t")) {
            out.total = line;
        } else {
            const size_t second = line.find('\t', line.find('\t') + 1);
            current = line.substr(0, second);
            out.order.push_back(current);
            out.groups[current].line = line;
        }
    }
    return out;
}

std::string Field(const std::string& Line, const std::string& Name)
{
    const size_t at = Line.find("\t" + Name + "=");
    if (at == std::string::npos)
        return {};
    const size_t start = at + Name.size() + 2;
    return Line.substr(start, Line.find('\t', start) - start);
}

// Seeded: NumberOfCrashes 0 (an "exists" item that wants 1), SmoothScroll 0
// (what its item wants), a file in each temporary folder of "temp-files" and a
// chkdsk file. The scan differs from the one before in exactly those items.
TEST(Enginectl, ScanFindsWhatWasSeededAndNothingElse)
{
    const stest::CtlResult before = stest::RunEnginectl({L"scan", L"-v"});
    ASSERT_EQ(0u, before.exitCode);
    const ScanOutput was = Parse(before);
    const std::string crashes =
        "item\tselected=1\tlocked=0\t<reg root=\"HKLM\" key=\"SOFTWARE\\Microsoft\\DrWatson\" "
        "name=\"NumberOfCrashes\" value=\"1\" type=\"num\" scan=\"exists\" fix=\"value\" />";
    const std::string smooth =
        "item\tselected=1\tlocked=0\t<reg root=\"HKCU\" key=\"Control Panel\\Desktop\" "
        "name=\"SmoothScroll\" value=\"0\" type=\"num\" scan=\"value\" fix=\"value\" />";
    ASSERT_EQ(22u, was.order.size()) << before.out;
    const auto& winBoost = was.groups.at("boost\twin-boost").items;
    ASSERT_EQ(1, std::count(winBoost.begin(), winBoost.end(), smooth))
        << "the prefix is not untouched:\n"
        << before.out;
    ASSERT_EQ(0, std::count(winBoost.begin(), winBoost.end(), crashes)) << before.out;
    ASSERT_EQ("0", Field(was.groups.at("clean\ttemp-files").line, "found")) << before.out;
    ASSERT_EQ("0", Field(was.groups.at("clean\tchldsk-files").line, "found")) << before.out;

    std::string userTemp, windowsTemp, diskRoot;
    ASSERT_TRUE(TryExpandPathMacros("%USERPROFILE%\\Local Settings\\Temp\\", false, userTemp));
    ASSERT_TRUE(TryExpandPathMacros("%WINDIR%\\Temp\\", false, windowsTemp));
    ASSERT_TRUE(TryExpandPathMacros("%SYSTEMDISKROOT%\\", false, diskRoot));
    ScanOutput now;
    {
        SeededValue numberOfCrashes(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\DrWatson",
                                    "NumberOfCrashes", 0);
        SeededValue smoothScroll(HKEY_CURRENT_USER, "Control Panel\\Desktop", "SmoothScroll", 0);
        SeededFile user(userTemp, "ktest-seed.tmp", 2000);
        SeededFile windows(windowsTemp, "ktest-seed.tmp", 1000);
        SeededFile chkdsk(diskRoot + "FOUND.000\\", "FILE0000.CHK", 300);
        ASSERT_TRUE(numberOfCrashes.Set() && smoothScroll.Set());
        ASSERT_TRUE(user.Made() && windows.Made() && chkdsk.Made());
        const stest::CtlResult after = stest::RunEnginectl({L"scan", L"-v"});
        ASSERT_EQ(0u, after.exitCode);
        now = Parse(after);
    }

    // What the scan before gives, changed by exactly the seeded items.
    ScanOutput expected = was;
    auto& boostItems = expected.groups["boost\twin-boost"].items;
    boostItems.erase(std::find(boostItems.begin(), boostItems.end(), smooth));
    boostItems.insert(boostItems.begin(), crashes); // the first item of the group
    auto fileLine = [](const std::string& Path) {
        return "item\tselected=1\tlocked=0\t<file path=\"" + Path +
               "\" scan=\"exists\" fix=\"clean\" />";
    };
    ScanGroup& temp = expected.groups["clean\ttemp-files"];
    temp.line = "clean\ttemp-files\tfound=2\tbytes=3000";
    temp.items = {fileLine(userTemp + "ktest-seed.tmp"), fileLine(windowsTemp + "ktest-seed.tmp")};
    ScanGroup& chk = expected.groups["clean\tchldsk-files"];
    chk.line = "clean\tchldsk-files\tfound=1\tbytes=300";
    chk.items = {fileLine(diskRoot + "FOUND.000\\FILE0000.CHK")};
    const long long bytes = std::stoll(Field(was.total, "bytes"));
    expected.total = was.total.substr(0, was.total.rfind("\tbytes=")) +
                     "\tbytes=" + std::to_string(bytes + 3300);

    EXPECT_EQ(expected.order, now.order);
    for (const std::string& id : expected.order) {
        EXPECT_EQ(expected.groups[id].line, now.groups[id].line);
        EXPECT_EQ(expected.groups[id].items, now.groups[id].items) << id;
    }
    EXPECT_EQ(expected.total, now.total);
}

} // namespace
