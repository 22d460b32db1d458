#include "TrayTest.h"

#include "engine/qvScanTools.h"
#include "platform/FileUtilsU.h"
#include "platform/WinVersionU.h"
#include "platform/qvCommon.h"
#include "tray/qvStartupRunner.h"

#include <objbase.h>
#include <shellapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdlib>

using namespace traytest;

namespace {

// ---------------------------------------------------------------------------
// Reading the list (the engine's reader, in the tray's build)

struct TParsed {
    std::vector<std::unique_ptr<TqvRegRunItem>> items;
    int32_t highest = 0;
    bool whole = false;
};

TParsed Parse(const std::string& Text)
{
    TParsed p;
    p.whole = ReadStartupListText(Text, true, p.items, p.highest);
    return p;
}

std::string RunLine(const std::string& Attributes)
{
    return "    <run " + Attributes + " />\r\n";
}

std::string List(const std::string& Runs)
{
    return "<startup>\r\n" + Runs + "</startup>\r\n";
}

TEST(TrayStartupList, AttributesReadAsTheWriterWroteThem)
{
    const struct {
        const char* attributes;
        const char* value;
        int32_t priority;
        bool is64, expand;
    } cases[] = {
        {R"(value="a" priority="25")", "a", 10, false, false},
        {R"(value="a" priority="-3")", "a", 0, false, false},
        {R"(value="a")", "a", 0, false, false},
        {R"(value="a" priority="abc")", "a", 0, false, false},
        {R"(value="a" priority="99999999999")", "a", 0, false, false},
        {R"(value="a" priority="7" is64="1" expand="1")", "a", 7, true, true},
        {R"(value="a" is64="true" expand="01")", "a", 0, false, false},
        {R"(value="a#22b")", "a\"b", 0, false, false},
        {R"(value="x#zzy")", "xy", 0, false, false},
        {R"(value="a#26b;c")", "a&b;c", 0, false, false},
        {R"(value="&quot;q&quot;")", "\"q\"", 0, false, false},
        {R"(value="C:\dir#20x\p.exe#09/s")", "C:\\dir x\\p.exe\t/s", 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attributes);
        const TParsed p = Parse(List(RunLine(std::string(R"(app="A" name="N" )") + c.attributes)));
        ASSERT_EQ(1u, p.items.size());
        const TqvRegRunItem& item = *p.items[0];
        EXPECT_EQ("A", item.App);
        EXPECT_EQ("N", item.Name);
        EXPECT_EQ(c.value, item.Value);
        EXPECT_EQ(c.priority, item.Priority);
        EXPECT_EQ(c.is64, item.Is64);
        EXPECT_EQ(c.expand, item.Expand);
        EXPECT_TRUE(item.PerUser);
        EXPECT_EQ(c.priority, p.highest) << "the highest of the clamped priorities";
    }
}

TEST(TrayStartupList, OnlyRunChildrenOfTheRootCountAndABreakKeepsWhatCameBefore)
{
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> kept; // the items before the break, in order
        bool whole;
    } cases[] = {
        {"other names",
         List(RunLine(R"(value="1" priority="3")") + "    <Run value=\"2\" />\r\n" +
              "    <item value=\"3\" />\r\n" + RunLine(R"(value="4")")),
         {"1", "4"},
         true},
        {"cut inside the second element",
         "<startup>\r\n" + RunLine(R"(value="1" priority="2")") + "    <run value=\"2\" prio",
         {"1"},
         false},
        {"cut inside a value",
         "<startup>\r\n" + RunLine(R"(value="1" priority="2")") + "    <run value=\"C:\\Pro",
         {"1"},
         false},
        {"cut after an element",
         "<startup>\r\n" + RunLine(R"(value="1" priority="2")") + RunLine(R"(value="2")"),
         {"1", "2"},
         false},
        {"no root", RunLine(R"(value="1")"), {}, false},
        {"another root", "<list>\r\n" + RunLine(R"(value="1")") + "</list>\r\n", {}, false},
        {"empty", "", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TParsed p = Parse(c.text);
        std::vector<std::string> values;
        for (const auto& item : p.items)
            values.push_back(item->Value);
        EXPECT_EQ(c.kept, values);
        EXPECT_EQ(c.whole, p.whole);
        if (c.kept.empty()) {
            EXPECT_EQ(0, p.highest);
        }
    }
}

// ---------------------------------------------------------------------------
// The schedule, through fakes

class TScript {
public:
    TRunnerSeams Seams()
    {
        TRunnerSeams s;
        s.Sleep = [this](DWORD Ms) { lines.push_back("sleep " + std::to_string(Ms)); };
        s.Exec = [this](const std::string& Command, bool RedirectionOff) {
            lines.push_back("exec " + Command + (RedirectionOff ? " (native)" : ""));
        };
        s.OpenShortcut = [this](const std::string& File) {
            lines.push_back("open " + File.substr(File.find_last_of('\\') + 1));
        };
        s.Trusted = [this](const std::string& Path) {
            asked.push_back(Path);
            return Path != untrusted;
        };
        return s;
    }
    TRunnerCallback Callback()
    {
        return [this] {
            lines.push_back("cb");
            return ++callbacks != stopAt;
        };
    }
    std::vector<std::string> lines;
    std::string untrusted;          // a path the fake trust test refuses
    std::vector<std::string> asked; // what the trust test was asked, in order
    int callbacks = 0;
    int stopAt = -1;
};

// What the runner does for one started item and after a level.
void ExpectItem(std::vector<std::string>& Script, const std::string& Start)
{
    if (!Start.empty())
        Script.push_back(Start);
    Script.insert(Script.end(), {"cb", "sleep 500", "cb", "sleep 500", "cb"});
}
void ExpectLevelEnd(std::vector<std::string>& Script)
{
    for (int i = 0; i < 11; ++i)
        Script.insert(Script.end(), {"sleep 500", "cb"});
}

std::unique_ptr<TqvAllRunItems>
MakeList(bool PerUser, std::initializer_list<std::pair<std::string, int32_t>> Items)
{
    auto list = std::make_unique<TqvAllRunItems>(PerUser);
    for (const auto& [value, priority] : Items) {
        auto item = std::make_unique<TqvRegRunItem>();
        item->PerUser = PerUser;
        item->Value = value;
        item->Priority = priority;
        list->HighestPriority = std::max(list->HighestPriority, priority);
        list->Items.push_back(std::move(item));
    }
    return list;
}

TEST(TrayStartupSchedule, LevelsRunInOrderWithTheirPauses)
{
    {
        SCOPED_TRACE("all items at 10");
        TScript script;
        auto list = MakeList(false, {{"a", 10}, {"b", 10}});
        EXPECT_TRUE(RunStartupList(*list, script.Callback(), script.Seams()));
        std::vector<std::string> expected(10, "cb"); // levels 0..9 cost one callback each
        expected.push_back("cb");
        ExpectItem(expected, "exec a");
        ExpectItem(expected, "exec b");
        ExpectLevelEnd(expected);
        EXPECT_EQ(expected, script.lines);
    }
    {
        SCOPED_TRACE("an empty value still pauses");
        TScript script;
        auto list = MakeList(false, {{"", 0}});
        EXPECT_TRUE(RunStartupList(*list, script.Callback(), script.Seams()));
        std::vector<std::string> expected{"cb"};
        ExpectItem(expected, "");
        ExpectLevelEnd(expected);
        EXPECT_EQ(expected, script.lines);
    }
    {
        SCOPED_TRACE("an empty list");
        TScript script;
        auto list = MakeList(false, {});
        EXPECT_TRUE(RunStartupList(*list, script.Callback(), script.Seams()));
        EXPECT_TRUE(script.lines.empty());
    }
    {
        SCOPED_TRACE("no callback");
        TScript script;
        auto list = MakeList(false, {{"a", 1}});
        EXPECT_TRUE(RunStartupList(*list, nullptr, script.Seams()));
        EXPECT_EQ(1, std::count(script.lines.begin(), script.lines.end(), "exec a"));
        EXPECT_EQ(13, std::count(script.lines.begin(), script.lines.end(), "sleep 500"));
    }
}

class TrayStartupRun : public TrayFixture {
protected:
    void WriteList(bool PerUser, const std::string& Runs)
    {
        ASSERT_TRUE(
            WriteText((PerUser ? UserDataDir() : CommonDataDir()) + "startup.xml", List(Runs)));
    }
    void WriteShortcut(const std::string& Folder, const std::string& Name)
    {
        ASSERT_TRUE(WriteText(Folder + Name, "not really a link"));
    }
};

TEST_F(TrayStartupRun, AllUsersThenPerUserThenTheUsersShortcutsFirst)
{
    WriteList(false, RunLine(R"(value="A0a")") + RunLine(R"(value="A2a" priority="2")") +
                         RunLine(R"(value="A0b" priority="0")"));
    WriteList(true, RunLine(R"(value="U0a")"));
    WriteShortcut(UserStartupDir(), "u.lnk");
    WriteShortcut(UserStartupDir(), "notalink.txt");
    CreateDirectoryA((UserStartupDir() + "folder.lnk").c_str(), nullptr);
    WriteShortcut(CommonStartupDir(), "c.lnk");
    TScript script;
    EXPECT_TRUE(RunPostponedStartup(script.Callback(), script.Seams()));

    std::vector<std::string> expected{"cb"}; // all users, level 0
    ExpectItem(expected, "exec A0a");
    ExpectItem(expected, "exec A0b");
    ExpectLevelEnd(expected);
    expected.push_back("cb"); // level 1: nothing
    expected.push_back("cb"); // level 2
    ExpectItem(expected, "exec A2a");
    ExpectLevelEnd(expected);
    expected.push_back("cb"); // the user's list starts again at level 0
    ExpectItem(expected, "exec U0a");
    ExpectLevelEnd(expected);
    expected.push_back("open u.lnk");
    ExpectItem(expected, "");
    expected.push_back("open c.lnk");
    ExpectItem(expected, "");
    EXPECT_EQ(expected, script.lines);
}

TEST_F(TrayStartupRun, AStopEndsTheRunAtTheNextCallback)
{
    WriteList(false,
              RunLine(R"(value="A0a")") + RunLine(R"(value="A0b")") + RunLine(R"(value="A0c")"));
    WriteList(true, RunLine(R"(value="U0a")"));
    WriteShortcut(UserStartupDir(), "u.lnk");
    TScript script;
    script.stopAt = 5; // the callback right after the second start
    EXPECT_FALSE(RunPostponedStartup(script.Callback(), script.Seams()));
    std::vector<std::string> expected{"cb"};
    ExpectItem(expected, "exec A0a");
    expected.insert(expected.end(), {"exec A0b", "cb"});
    EXPECT_EQ(expected, script.lines);
}

TEST_F(TrayStartupRun, AllUsersFilesOthersCouldChangeAreSkipped)
{
    WriteList(false, RunLine(R"(value="A0a")"));
    WriteList(true, RunLine(R"(value="U0a")"));
    WriteShortcut(UserStartupDir(), "u.lnk");
    WriteShortcut(CommonStartupDir(), "c1.lnk");
    WriteShortcut(CommonStartupDir(), "c2.lnk");
    const struct {
        std::string untrusted;
        std::vector<std::string> starts;
    } cases[] = {
        {CommonDataDir(), {"exec U0a", "open u.lnk", "open c1.lnk", "open c2.lnk"}},
        {CommonDataDir() + "startup.xml", {"exec U0a", "open u.lnk", "open c1.lnk", "open c2.lnk"}},
        {CommonStartupDir(), {"exec A0a", "exec U0a", "open u.lnk"}},
        {CommonStartupDir() + "c1.lnk", {"exec A0a", "exec U0a", "open u.lnk", "open c2.lnk"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.untrusted);
        TScript script;
        script.untrusted = c.untrusted;
        RunPostponedStartup(nullptr, script.Seams());
        std::vector<std::string> starts;
        for (const std::string& line : script.lines)
            if (line.rfind("exec", 0) == 0 || line.rfind("open", 0) == 0)
                starts.push_back(line);
        EXPECT_EQ(c.starts, starts);
    }
}

TEST_F(TrayStartupRun, TheAllUsersFoldersAreCheckedFirstWhetherOrNotTheyHoldAnything)
{
    // No all-users list: the folder is asked about all the same, before the
    // list's existence is looked at through it.
    TScript script;
    EXPECT_TRUE(RunPostponedStartup(script.Callback(), script.Seams()));
    EXPECT_EQ((std::vector<std::string>{CommonDataDir(), CommonStartupDir()}), script.asked);
}

TEST_F(TrayStartupRun, NoListsNoShortcutsNothingStarts)
{
    ResetProgramFoldersForTests();
    TProgramFolders folders = ComputeProgramFolders();
    folders.CommonDataDir = dir_ + "none\\";
    folders.CommonStartupDir = folders.CommonDataDir + "Startup\\";
    folders.UserDataDir = "";
    folders.UserStartupDir = "";
    SetProgramFoldersForTests(folders);
    TScript script;
    EXPECT_TRUE(RunPostponedStartup(script.Callback(), script.Seams()));
    EXPECT_TRUE(script.lines.empty());
}

TEST(TrayStartupSchedule, Is64ItemsNameTheNativeFolders)
{
    const struct {
        const char* value;
        bool is64, expand;
        const char* command;
        bool native;
    } cases[] = {
        {"%ProgramFiles%\\a.exe", true, true, "%ProgramW6432%\\a.exe", true},
        {"%PROGRAMFILES%\\a.exe %commonprogramfiles%", true, true,
         "%ProgramW6432%\\a.exe %CommonProgramW6432%", true},
        {"%ProgramFiles(x86)%\\a.exe", true, true, "%ProgramFiles(x86)%\\a.exe", true},
        {"%ProgramFiles%\\a.exe", false, true, "%ProgramFiles%\\a.exe", false},
        {"%ProgramFiles%\\a.exe", true, false, "%ProgramFiles%\\a.exe", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::string command;
        bool native = false;
        TRunnerSeams seams;
        seams.Exec = [&](const std::string& Command, bool RedirectionOff) {
            command = Command;
            native = RedirectionOff;
        };
        TqvRegRunItem item;
        item.Value = c.value;
        item.Is64 = c.is64;
        item.Expand = c.expand;
        StartRunItem(item, seams);
        if (!IsWin64()) {
            EXPECT_FALSE(native) << "32-bit Windows: nothing is redirected";
            continue;
        }
        EXPECT_EQ(c.native, native);
        if (c.expand)
            EXPECT_EQ(ExpandEnvStrings(c.command), command);
        else
            EXPECT_EQ(c.command, command);
    }
}

// ---------------------------------------------------------------------------
// Real starts

// marker.exe of the test program's folder, marker.log in the scratch folder.
// These run with the desktop tests: the first program of a prefix that is a
// GUI program makes Wine's desktop, and one made without a display would
// leave every window of the other runs without a driver.
class TrayStartupDesktop : public TrayFixture {
protected:
    void SetUp() override
    {
        TrayFixture::SetUp();
        KTEST_NEEDS_DISPLAY();
        log_ = dir_ + "marker.log";
        SetEnvironmentVariableA("KORV_MARKER_LOG", log_.c_str());
        com_ = SUCCEEDED(CoInitialize(nullptr));
    }
    void TearDown() override
    {
        if (com_)
            CoUninitialize();
        SetEnvironmentVariableA("KORV_MARKER_LOG", nullptr);
        TrayFixture::TearDown();
    }
    static std::string Marker() { return TestDir() + "ktest_marker.exe"; }
    // The tags in the order marker.log holds them, with their ticks.
    std::vector<std::pair<std::string, DWORD>> Markers() const
    {
        std::vector<std::pair<std::string, DWORD>> out;
        for (const std::string& line : ReadLines(log_)) {
            const size_t blank = line.find_last_of(' ');
            out.emplace_back(line.substr(0, blank), static_cast<DWORD>(std::strtoul(
                                                        line.c_str() + blank + 1, nullptr, 10)));
        }
        return out;
    }
    bool WaitForMarkers(size_t Count) const
    {
        return WaitUntil([&] { return Markers().size() >= Count; }, 20000);
    }
    void MakeShortcut(const std::string& File, const std::string& Arguments)
    {
        IShellLinkW* link = nullptr;
        ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                               IID_IShellLinkW, reinterpret_cast<void**>(&link))));
        link->SetPath(Widen(Marker()).c_str());
        link->SetArguments(Widen(Arguments).c_str());
        IPersistFile* file = nullptr;
        ASSERT_TRUE(
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))));
        EXPECT_TRUE(SUCCEEDED(file->Save(Widen(File).c_str(), TRUE)));
        file->Release();
        link->Release();
    }
    std::string log_;
    bool com_ = false;
};

TEST_F(TrayStartupDesktop, RealStartsKeepTheOrderAndThePauses)
{
    const std::string marker = "&quot;" + Marker() + "&quot;";
    ASSERT_TRUE(WriteText(CommonDataDir() + "startup.xml",
                          List(RunLine("value=\"" + marker + " A0a\"") +
                               RunLine("value=\"" + marker + " A2a\" priority=\"2\"") +
                               RunLine("value=\"" + marker + " A0b\"") +
                               RunLine("value=\"" + marker + " A2b\" priority=\"2\""))));
    ASSERT_TRUE(WriteText(UserDataDir() + "startup.xml",
                          List(RunLine("value=\"" + marker + " U0a %TEMP%\" expand=\"1\""))));
    MakeShortcut(UserStartupDir() + "user.lnk", "Luser");
    MakeShortcut(CommonStartupDir() + "common.lnk", "Lcommon");

    // Real waits and starts; the trust test answers yes (under Wine every
    // all-users file reads back as changeable by its Unix owner).
    std::vector<DWORD> startTicks;
    TRunnerSeams seams;
    seams.Trusted = [](const std::string&) { return true; };
    seams.Exec = [&](const std::string& Command, bool RedirectionOff) {
        startTicks.push_back(GetTickCount());
        WinExec(Command.c_str(), SW_SHOW);
        (void)RedirectionOff;
    };
    seams.OpenShortcut = [&](const std::string& File) {
        startTicks.push_back(GetTickCount());
        ShellExecuteA(nullptr, "open", File.c_str(), nullptr, nullptr, SW_SHOW);
    };
    int callbacks = 0;
    EXPECT_TRUE(RunPostponedStartup([&] { return ++callbacks > 0; }, seams));
    ASSERT_TRUE(WaitForMarkers(7));

    const auto markers = Markers();
    std::vector<std::string> tags;
    for (const auto& m : markers)
        tags.push_back(m.first.substr(0, m.first.find(' ')));
    EXPECT_EQ((std::vector<std::string>{"A0a", "A0b", "A2a", "A2b", "U0a", "Luser", "Lcommon"}),
              tags);
    char temp[MAX_PATH] = {};
    GetEnvironmentVariableA("TEMP", temp, sizeof temp);
    EXPECT_EQ(std::string("U0a ") + temp, markers.at(4).first);

    // The runner's own waits between the starts: 1000 ms after each item,
    // 5500 ms more after each level that started something.
    const DWORD minimum[] = {1000, 6500, 1000, 6500, 6500, 1000};
    ASSERT_EQ(7u, startTicks.size());
    for (size_t i = 0; i + 1 < startTicks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(startTicks[i + 1] - startTicks[i], minimum[i]);
        EXPECT_LE(startTicks[i + 1] - startTicks[i], minimum[i] + 3000);
        // The programs themselves start a little after their call.
        EXPECT_GE(markers[i + 1].second - markers[i].second + 300, minimum[i]);
    }
    EXPECT_GE(callbacks, 50);
}

TEST_F(TrayStartupDesktop, Is64ItemsStartTheNativePrograms)
{
    // Each program exists only where a 64-bit item finds it.
    char programW6432[MAX_PATH] = {};
    GetEnvironmentVariableA("ProgramW6432", programW6432, sizeof programW6432);
    const std::string programFiles = IsWin64() ? programW6432 : ExpandEnvStrings("%ProgramFiles%");
    ASSERT_FALSE(programFiles.empty());
    const std::string folder = programFiles + "\\KvTest\\";
    const std::string system = ExpandEnvStrings("%SystemRoot%") + "\\system32\\kvonly64.exe";
    struct TCleanUp {
        std::string folder, system;
        ~TCleanUp()
        {
            TRedirectionOffScope native;
            DeleteFileA(system.c_str());
            DeleteFileA((folder + "marker.exe").c_str());
            RemoveDirectoryA(folder.c_str());
        }
    } cleanUp{folder, system};
    {
        TRedirectionOffScope native;
        CreateDirectoryA(folder.c_str(), nullptr);
        ASSERT_TRUE(CopyFileA(Marker().c_str(), (folder + "marker.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileA(Marker().c_str(), system.c_str(), FALSE));
    }
    struct TCase {
        const char* tag;
        std::string value;
        bool is64, expand;
        bool starts;
    };
    // A 64-bit program sees the native folders anyway.
    const bool redirected = IsWin64() && sizeof(void*) == 4;
    const TCase cases[] = {
        {"P64", "\"%ProgramFiles%\\KvTest\\marker.exe\" P64", true, true, true},
        {"P32", "\"%ProgramFiles%\\KvTest\\marker.exe\" P32", false, true, !redirected},
        {"S64", system + " S64", true, false, true},
        {"S32", system + " S32", false, false, !redirected},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.tag);
        DeleteFileA(log_.c_str());
        TqvRegRunItem item;
        item.Value = c.value;
        item.Is64 = c.is64;
        item.Expand = c.expand;
        StartRunItem(item);
        EXPECT_EQ(0, Wow64RedirectionDepth()) << "redirection is on again";
        if (c.starts) {
            ASSERT_TRUE(WaitForMarkers(1));
            EXPECT_EQ(c.tag, Markers().at(0).first);
        } else {
            WaitUntil([] { return false; }, 1500);
            EXPECT_TRUE(Markers().empty()) << "the 32-bit folders hold no such program";
        }
    }
    if (redirected) {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(system.c_str()))
            << "this 32-bit program sees the redirected folder again";
    }
}

} // namespace
