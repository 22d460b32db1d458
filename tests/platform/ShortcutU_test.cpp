#include "KorvTest.h"

#include "platform/ShortcutU.h"
#include "platform/UnicodeU.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>

namespace {

constexpr char kTarget[] = "C:\\Program Files (x86)\\App\\app.exe";

class ShortcutTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        ASSERT_TRUE(comInitialised_);
    }
    void TearDown() override
    {
        if (comInitialised_)
            CoUninitialize();
        ScratchDirTest::TearDown();
    }

    // Saves a link through the shell's own link object; returns its path in
    // the system code page.
    std::string MakeLink(const std::wstring& name, const char* target, const char* arguments)
    {
        std::wstring path = dir_ + name;
        IShellLinkA* link = nullptr;
        IPersistFile* file = nullptr;
        bool saved = false;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IShellLinkA, reinterpret_cast<void**>(&link)))) {
            link->SetPath(target);
            if (arguments)
                link->SetArguments(arguments);
            if (SUCCEEDED(
                    link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
                saved = SUCCEEDED(file->Save(path.c_str(), TRUE));
                file->Release();
            }
            link->Release();
        }
        EXPECT_TRUE(saved) << "could not save the link " << AnsiFromWide(name);
        return AnsiFromWide(path);
    }

    bool comInitialised_ = false;
};

TEST_F(ShortcutTest, ReadsPathAndArgumentsOfSavedLinks)
{
    std::string existing = AnsiFromWide(WriteFile(L"app.exe", "MZ"));
    struct Case {
        const wchar_t* name;
        std::string target;
        const char* arguments;
        std::string plain;
        std::string withArguments;
    } cases[] = {
        {L"a.lnk", kTarget, "/min /x", kTarget, std::string("\"") + kTarget + "\" /min /x"},
        {L"B.LnK", kTarget, "/min /x", kTarget, std::string("\"") + kTarget + "\" /min /x"},
        // The blank stays when there are no arguments.
        {L"noargs.lnk", kTarget, nullptr, kTarget, std::string("\"") + kTarget + "\" "},
        // The link is not resolved: the stored path of a missing target comes back.
        {L"missing.lnk", "C:\\nowhere\\gone\\tool.exe", "-q", "C:\\nowhere\\gone\\tool.exe",
         "\"C:\\nowhere\\gone\\tool.exe\" -q"},
        {L"present.lnk", existing, nullptr, existing, "\"" + existing + "\" "},
        {L"Gr\u00fc\u00dfe.lnk", kTarget, "/min /x", kTarget,
         std::string("\"") + kTarget + "\" /min /x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(AnsiFromWide(c.name));
        std::string link = MakeLink(c.name, c.target.c_str(), c.arguments);
        EXPECT_EQ(c.plain, GetShortcutTarget(link, false));
        EXPECT_EQ(c.withArguments, GetShortcutTarget(link, true));
        // The wide read gives the same (Wine stores a link's path in the code
        // page; Windows keeps it wide, which only the wide read returns).
        EXPECT_EQ(AnsiToWide(c.plain), GetShortcutTargetW(AnsiToWide(link), false));
        EXPECT_EQ(AnsiToWide(c.withArguments), GetShortcutTargetW(AnsiToWide(link), true));
    }
}

TEST_F(ShortcutTest, OtherFilesGiveNoTarget)
{
    std::string url = AnsiFromWide(WriteFile(L"a.url", "[InternetShortcut]\r\nURL=http://x/\r\n"));
    std::string noise;
    for (int i = 0; i < 512; ++i)
        noise += static_cast<char>((i * 7919 + 13) & 0xFF);
    std::string garbage = AnsiFromWide(WriteFile(L"noise.lnk", noise));
    std::string empty = AnsiFromWide(WriteFile(L"empty.lnk", ""));
    // A link under a name without the .lnk extension is not read.
    std::string renamed = MakeLink(L"real.lnk", kTarget, nullptr);
    std::string asTxt = dirAnsi_ + "real.lnk.txt";
    ASSERT_TRUE(CopyFileA(renamed.c_str(), asTxt.c_str(), FALSE));
    CreateDirectoryW((dir_ + L"folder.lnk").c_str(), nullptr);
    for (const std::string& name : {url, garbage, empty, asTxt, dirAnsi_ + "gone.lnk",
                                    dirAnsi_ + "folder.lnk", std::string()}) {
        SCOPED_TRACE(name);
        EXPECT_EQ("", GetShortcutTarget(name, false));
        EXPECT_EQ("", GetShortcutTarget(name, true));
        EXPECT_EQ(L"", GetShortcutTargetW(AnsiToWide(name), false));
    }
}

DWORD WINAPI ReadWithoutCom(LPVOID param)
{
    auto* io = static_cast<std::pair<std::string, std::string>*>(param);
    io->second = GetShortcutTarget(io->first, true);
    return 0;
}

TEST_F(ShortcutTest, ThreadWithoutComGetsNoTarget)
{
    std::pair<std::string, std::string> io{MakeLink(L"a.lnk", kTarget, "/min"), "unset"};
    ASSERT_EQ(kTarget, GetShortcutTarget(io.first, false)) << "the link itself reads";
    HANDLE thread = CreateThread(nullptr, 0, &ReadWithoutCom, &io, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
    CloseHandle(thread);
    EXPECT_EQ("", io.second);
}

} // namespace
