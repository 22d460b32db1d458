#include "platform/FileUtilsU.h"
#include "platform/StreamU.h"

#include "FileTestSupport.h"
#include "KorvTest.h"
#include "platform/SecurityU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <gtest/gtest.h>
#include <winioctl.h>

#include <algorithm>

namespace {

bool gApcRan = false;

void CALLBACK MarkApcRan(ULONG_PTR)
{
    gApcRan = true;
}

// A posted message would end a message wait early (and a pumping one would
// take it), a queued APC an alertable one: SleepMs waits its whole time and
// leaves both where they are.
TEST(FileUtilsTest, SleepMsWaitsItsTimeAndNothingElse)
{
    constexpr UINT kProbe = WM_APP + 17;
    MSG msg{};
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), kProbe, 0, 0));
    gApcRan = false;
    ASSERT_TRUE(QueueUserAPC(&MarkApcRan, GetCurrentThread(), 0));

    const ULONGLONG start = GetTickCount64();
    SleepMs(150);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, 140u);
    EXPECT_FALSE(gApcRan);
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, kProbe, kProbe, PM_REMOVE));
    SleepEx(0, TRUE); // runs the APC now
    EXPECT_TRUE(gApcRan);
}

TEST(FileUtilsTest, ExpandEnvStringsAndTrimAtNull)
{
    const std::string longValue(3000, 'v');
    SetEnvironmentVariableA("KTEST_FU_A", "abc");
    SetEnvironmentVariableA("KTEST_FU_LONG", longValue.c_str());
    struct {
        const char* Text;
        std::string Expected;
    } cases[] = {
        {"x%KTEST_FU_A%y", "xabcy"},
        {"%KTEST_FU_NOSUCH%\\a", "%KTEST_FU_NOSUCH%\\a"},
        {"%KTEST_FU_LONG%!", longValue + "!"},
        {"", ""},
        {"plain", "plain"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(c.Expected, ExpandEnvStrings(c.Text));
    }
    SetEnvironmentVariableA("KTEST_FU_A", nullptr);
    SetEnvironmentVariableA("KTEST_FU_LONG", nullptr);

    EXPECT_EQ("ab", TrimAtNull(std::string("ab\0cd", 5)));
    EXPECT_EQ("", TrimAtNull(std::string("\0x", 2)));
    EXPECT_EQ("abc", TrimAtNull("abc"));
}

// Paths in the system code page: under code page 932 the second byte of a
// double-byte character may be 0x5C, which is no backslash.
TEST(TextFileUtilsTest, BackslashesAreFoundByCharacter)
{
    const bool dbcs = GetACP() == 932;
    const std::string hyou = "\x95\x5C"; // U+8868 in code page 932
    EXPECT_EQ(!dbcs, EndsWithBackslash("C:\\" + hyou));
    EXPECT_EQ(dbcs ? "C:\\" + hyou + "\\" : "C:\\" + hyou, IncludeTrailingBackslash("C:\\" + hyou));
    EXPECT_EQ(dbcs ? 2u : 4u, LastDelimiter("C:\\" + hyou, "\\"));
    EXPECT_EQ("C:\\a", ExcludeTrailingBackslash("C:\\a\\"));
    EXPECT_EQ("", IncludeTrailingBackslash(""));
    EXPECT_EQ(1u, LastDelimiter("C:x", "\\:"));
    EXPECT_EQ(std::string::npos, LastDelimiter("abc", "\\:"));

    const struct {
        std::string Path;
        std::string Folder;
        std::string Name;
    } splits[] = {
        {"C:\\a\\b.cab", "C:\\a\\", "b.cab"},
        {"C:b.cab", "C:", "b.cab"},
        {"b.cab", "", "b.cab"},
        {"C:\\a\\", "C:\\a\\", ""},
        {"", "", ""},
        {"C:\\" + hyou, dbcs ? "C:\\" : "C:\\" + hyou, dbcs ? hyou : ""},
    };
    for (const auto& c : splits) {
        SCOPED_TRACE(c.Path);
        EXPECT_EQ(c.Folder, ExtractFilePath(c.Path));
        EXPECT_EQ(c.Name, ExtractFileName(c.Path));
    }
}

class FileUtilsDirTest : public ktest::ScratchDirTest {
protected:
    std::string Path(const std::string& name) const { return dirAnsi_ + name; }
    void MakeFile(const std::string& name, const std::string& bytes = "x",
                  DWORD attributes = FILE_ATTRIBUTE_NORMAL)
    {
        WriteFile(AnsiToWide(name), bytes);
        if (attributes != FILE_ATTRIBUTE_NORMAL)
            SetFileAttributesA(Path(name).c_str(), attributes);
    }
    void MakeDir(const std::string& name) { CreateDirectoryA(Path(name).c_str(), nullptr); }
    bool Exists(const std::string& name) const
    {
        return GetFileAttributesA(Path(name).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    void TearDown() override
    {
        filetest::RemovePendingOperations(dirAnsi_.substr(0, dirAnsi_.size() - 1));
        ktest::ScratchDirTest::TearDown();
    }
};

class TextFileUtilsDirTest : public FileUtilsDirTest {};

// A folder whose name ends in a double-byte character with a 0x5C trail byte
// (code page 932), or in accented letters (1252).
TEST_F(TextFileUtilsDirTest, NonAsciiFoldersAreMadeAndRemoved)
{
    const std::wstring wide = GetACP() == 932 ? L"\x8868" : L"D\xE4t\xE4";
    const std::string name = WideToAnsi(wide);
    ASSERT_EQ(wide, AnsiToWide(name));
    const std::string folder = Path(name);
    // Wine stores names in the host's locale: without it no non-ASCII name fits.
    const std::wstring probe = dir_ + L"probe" + wide;
    if (!CreateDirectoryW(probe.c_str(), nullptr))
        GTEST_SKIP() << "Wine cannot store non-ASCII file names here (host locale missing), error "
                     << GetLastError();
    RemoveDirectoryW(probe.c_str());
    ASSERT_TRUE(CreateDirectoryPath(folder, TFileSecurity::Inherit, false));
    ASSERT_TRUE(CreateDirectoryPath(folder + "\\sub\\", TFileSecurity::Inherit, true));
    const DWORD attributes = GetFileAttributesW((dir_ + wide + L"\\sub").c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(DirectoryExistsEx(folder));
    WriteFile(wide + L"\\sub\\f.txt", "x");
    EXPECT_TRUE(DeleteDirectory(folder, true, false));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dir_ + wide).c_str()));
}

TEST_F(FileUtilsDirTest, ExistenceOfFilesAndFolders)
{
    MakeFile("f.txt");
    MakeDir("d");
    EXPECT_TRUE(FileExistsEx(Path("f.txt")));
    EXPECT_FALSE(DirectoryExistsEx(Path("f.txt")));
    EXPECT_TRUE(DirectoryExistsEx(Path("d")));
    EXPECT_FALSE(FileExistsEx(Path("d")));
    EXPECT_FALSE(FileExistsEx(Path("none")));
    EXPECT_FALSE(DirectoryExistsEx(Path("none")));
}

TEST_F(FileUtilsDirTest, SizesComeFromTheDirectorySearch)
{
    MakeFile("t.txt", "abc");
    EXPECT_EQ(3, GetFileSize64(Path("t.txt")));
    EXPECT_EQ(-1, GetFileSize64(Path("t.*")));
    EXPECT_EQ(-1, GetFileSize64(Path("t.tx?")));
    EXPECT_EQ(-1, GetFileSize64(Path("missing.txt")));
    {
        // Open without sharing elsewhere: still sized.
        filetest::TChild child;
        ASSERT_TRUE(filetest::HoldFile(child, Path("t.txt"), 60000, 0));
        EXPECT_EQ(3, GetFileSize64(Path("t.txt")));
        EXPECT_TRUE(child.Running());
        child.Terminate();
    }

    // Sparse, so that it takes no room on the host.
    const std::string big = Path("big.bin");
    HANDLE h = CreateFileA(big.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD returned = 0;
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 5368709120LL;
    EXPECT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    EXPECT_EQ(5368709120LL, GetFileSize64(big));
    EXPECT_TRUE(DeleteFileA(big.c_str()));
}

TEST_F(FileUtilsDirTest, LongPathsFromShortForms)
{
    MakeDir("A Folder With A Long Name");
    MakeFile("A Folder With A Long Name\\Some Long File Name.text");
    const std::string longPath = Path("A Folder With A Long Name\\Some Long File Name.text");
    char shortPath[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameA(longPath.c_str(), shortPath, MAX_PATH));
    if (SameText(shortPath, longPath))
        GTEST_SKIP() << "no short names on this volume";
    EXPECT_TRUE(SameText(longPath, GetLongPath(shortPath))) << shortPath;
    // Neither the system nor the shell knows it: unchanged.
    const std::string missing = Path("NOSUCH~1\\NOTHER~1.TXT");
    EXPECT_EQ(missing, GetLongPath(missing));
    EXPECT_EQ("", GetLongPath(""));
}

TEST_F(FileUtilsDirTest, FullPathsResolveDotsAndTheWorkingFolder)
{
    EXPECT_EQ(Path("b.txt"), GetFullPath(Path("a\\.\\..\\b.txt")));
    char working[MAX_PATH] = {};
    ASSERT_NE(0u, GetCurrentDirectoryA(MAX_PATH, working));
    EXPECT_EQ(IncludeTrailingBackslash(working) + "b.txt", GetFullPath("b.txt"));
    EXPECT_EQ("", GetFullPath(""));
}

TEST_F(FileUtilsDirTest, CreateDirectoryPathCasesBothWays)
{
    struct {
        const char* Name;
        std::string Dir;
        bool Recursive;
        bool Result;
        const char* MustExist;
        const char* MustNotExist;
    } cases[] = {
        {"recursive, from the top down", Path("a\\b\\c"), true, true, "a\\b\\c", nullptr},
        {"not recursive, parent missing", Path("x\\y\\z"), false, false, nullptr, "x"},
        {"not recursive, parent there", Path("a\\b\\d"), false, true, "a\\b\\d", nullptr},
        {"trailing backslash", Path("t\\"), false, true, "t", nullptr},
        {"existing folder", Path("a"), false, true, "a", nullptr},
        {"drive", "C:", false, true, nullptr, nullptr},
        {"drive root", "C:\\", true, true, nullptr, nullptr},
        {"UNC server and share", "\\\\ktest-nosuchserver\\share", false, true, nullptr, nullptr},
        {"empty", "", true, false, nullptr, nullptr},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(c.Result, CreateDirectoryPath(c.Dir, TFileSecurity::Inherit, c.Recursive));
        if (c.MustExist) {
            EXPECT_TRUE(DirectoryExistsEx(Path(c.MustExist)));
        }
        if (c.MustNotExist) {
            EXPECT_FALSE(Exists(c.MustNotExist));
        }
    }
}

TEST_F(FileUtilsDirTest, CreateDirectoryPathPassesEachSecurityChoice)
{
    const std::string protectedSddl =
        filetest::DaclSddl(GetProtectedSecurityAttributes()->lpSecurityDescriptor);
    const std::string sharedSddl =
        filetest::DaclSddl(GetSharedSecurityAttributes()->lpSecurityDescriptor);
    ASSERT_FALSE(filetest::HasWorldEntry(protectedSddl));
    ASSERT_TRUE(filetest::HasWorldEntry(sharedSddl));
    struct {
        const char* Name;
        TFileSecurity Security;
        std::string Top, Middle, Dir; // '' = no descriptor
    } cases[] = {
        {"inherit", TFileSecurity::Inherit, "", "", ""},
        {"protected", TFileSecurity::Protected, protectedSddl, protectedSddl, protectedSddl},
        {"shared", TFileSecurity::Shared, protectedSddl, protectedSddl, sharedSddl},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string top = Path(c.Name);
        filetest::TRecorderScope recorder;
        ASSERT_TRUE(CreateDirectoryPath(top + "\\p\\d\\", c.Security, true));
        const auto calls = recorder.Calls();
        ASSERT_EQ(3u, calls.size());
        const std::string paths[] = {top, top + "\\p", top + "\\p\\d"};
        const std::string* sddls[] = {&c.Top, &c.Middle, &c.Dir};
        for (size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(paths[i]);
            EXPECT_EQ("CreateDirectoryA", calls[i].Api);
            EXPECT_EQ(paths[i], calls[i].Path);
            EXPECT_EQ(!sddls[i]->empty(), calls[i].HasDescriptor);
            EXPECT_EQ(*sddls[i], calls[i].Sddl);
        }
        EXPECT_TRUE(DirectoryExistsEx(top + "\\p\\d"));
    }
}

TEST_F(FileUtilsDirTest, AnExistingProtectedFolderGetsItsProtectionAgain)
{
    // Anybody may have made the folder first (every user may create folders
    // in the all-users data folder). Wine keeps no descriptors of its own, so
    // the call is seen through the recorder.
    ASSERT_TRUE(CreateDirectoryA(Path("made by someone").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(Path("made by someone\\below").c_str(), nullptr));
    const std::string protectedSddl =
        filetest::DaclSddl(GetProtectedSecurityAttributes()->lpSecurityDescriptor);
    for (const bool recursive : {true, false}) {
        SCOPED_TRACE(recursive);
        filetest::TRecorderScope recorder;
        EXPECT_TRUE(CreateDirectoryPath(Path("made by someone\\below\\"), TFileSecurity::Protected,
                                        recursive));
        const auto calls = recorder.Calls();
        ASSERT_EQ(1u, calls.size()) << "the folder itself, never its parents";
        EXPECT_EQ("SetNamedSecurityInfoA", calls[0].Api);
        EXPECT_EQ(Path("made by someone\\below"), calls[0].Path);
        EXPECT_EQ(static_cast<SECURITY_INFORMATION>(OWNER_SECURITY_INFORMATION |
                                                    DACL_SECURITY_INFORMATION |
                                                    PROTECTED_DACL_SECURITY_INFORMATION),
                  calls[0].Information);
        EXPECT_EQ(protectedSddl, calls[0].Sddl);
    }
    for (const TFileSecurity other : {TFileSecurity::Inherit, TFileSecurity::Shared}) {
        filetest::TRecorderScope recorder;
        EXPECT_TRUE(CreateDirectoryPath(Path("made by someone"), other, true));
        EXPECT_TRUE(recorder.Calls().empty());
    }
}

// ---------------------------------------------------------------------------
// Forced and restart deletions

TEST_F(FileUtilsDirTest, ForcedDeleteOfAReadOnlyFile)
{
    MakeFile("ro.txt", "x", FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(DeleteFileForced(Path("ro.txt")));
    EXPECT_FALSE(Exists("ro.txt"));
    EXPECT_FALSE(DeleteFileForced(Path("ro.txt")));
    MakeDir("dir");
    EXPECT_FALSE(DeleteFileForced(Path("dir")));
    EXPECT_TRUE(Exists("dir"));
}

TEST_F(FileUtilsDirTest, FailedForcedDeleteRestoresDaclAndAttributes)
{
    MakeFile("held.txt", "x", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    const std::string file = Path("held.txt");
    PSECURITY_DESCRIPTOR before = GetFileSecurityDescriptor(file);
    ASSERT_NE(nullptr, before);
    const std::string beforeSddl = filetest::DaclSddl(before);
    LocalFree(before);

    HANDLE other = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    filetest::TRecorderScope recorder;
    EXPECT_FALSE(DeleteFileForced(file));
    CloseHandle(other);

    EXPECT_EQ(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN,
              GetFileAttributesA(file.c_str()) &
                  (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    const auto calls = recorder.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("SetFileSecurityA", calls[0].Api);
    EXPECT_TRUE(filetest::HasWorldEntry(calls[0].Sddl)) << calls[0].Sddl;
    EXPECT_EQ("SetFileSecurityA", calls[1].Api);
    EXPECT_EQ(static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION), calls[1].Information);
    EXPECT_EQ(file, calls[1].Path);
    EXPECT_EQ(beforeSddl, calls[1].Sddl);
}

TEST_F(FileUtilsDirTest, HeldFilesAreScheduledForTheRestart)
{
    MakeFile("busy.txt");
    const std::string file = Path("busy.txt");
    HANDLE other = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_FALSE(DeleteFileOrSchedule(file, false));
    EXPECT_TRUE(DeleteFileOrSchedule(file, true));
    CloseHandle(other);
    const auto pending = filetest::ReadPendingOperations();
    auto it = std::find_if(pending.begin(), pending.end(),
                           [&](const auto& p) { return SameText(p.first, "\\??\\" + file); });
    ASSERT_NE(pending.end(), it);
    EXPECT_EQ("", it->second);
}

TEST_F(FileUtilsDirTest, RestartDeletionsOfMissingEntriesRecordNothing)
{
    const auto before = filetest::ReadPendingOperations();
    filetest::TRecorderScope recorder;
    EXPECT_TRUE(DeleteFileOnReboot(Path("gone.txt")));
    EXPECT_TRUE(RemoveDirOnReboot(Path("gone")));
    EXPECT_TRUE(RemoveDirOnReboot(Path("gone\\deeper\\")));
    EXPECT_EQ(before, filetest::ReadPendingOperations());
    EXPECT_TRUE(recorder.Calls().empty());
}

TEST_F(FileUtilsDirTest, FileSecurityDescriptorAndWorldGrant)
{
    MakeFile("f.txt");
    PSECURITY_DESCRIPTOR descriptor = GetFileSecurityDescriptor(Path("f.txt"));
    ASSERT_NE(nullptr, descriptor);
    EXPECT_TRUE(IsValidSecurityDescriptor(descriptor));
    LocalFree(descriptor);
    EXPECT_EQ(nullptr, GetFileSecurityDescriptor(Path("missing.txt")));

    filetest::TRecorderScope recorder;
    EXPECT_TRUE(GrantFileFullAccess(Path("f.txt")));
    const auto calls = recorder.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("SetFileSecurityA", calls[0].Api);
    EXPECT_NE(std::string::npos, calls[0].Sddl.find("GA;;;WD)")) << calls[0].Sddl;
    EXPECT_FALSE(GrantFileFullAccess(Path("missing.txt")));
}

// ---------------------------------------------------------------------------
// Folder walks

// Three levels with a read-only, a hidden and a system file.
class FileTreeTest : public FileUtilsDirTest {
protected:
    void SetUp() override
    {
        FileUtilsDirTest::SetUp();
        BuildTree();
    }
    void BuildTree()
    {
        MakeDir("tree");
        MakeDir("tree\\sub1");
        MakeDir("tree\\sub1\\sub2");
        MakeFile("tree\\ro.txt", "r", FILE_ATTRIBUTE_READONLY);
        MakeFile("tree\\plain.txt");
        MakeFile("tree\\sub1\\hidden.txt", "h", FILE_ATTRIBUTE_HIDDEN);
        MakeFile("tree\\sub1\\sub2\\sys.txt", "s", FILE_ATTRIBUTE_SYSTEM);
        MakeFile("tree\\sub1\\sub2\\deep.txt", "d");
        root_ = Path("tree");
    }
    static constexpr const char* kEntries[] = {
        "tree\\ro.txt", "tree\\plain.txt", "tree\\sub1\\hidden.txt", "tree\\sub1\\sub2\\sys.txt",
        "tree\\sub1\\sub2\\deep.txt"};
    bool AllThere() const
    {
        return std::all_of(std::begin(kEntries), std::end(kEntries),
                           [&](const char* e) { return Exists(e); });
    }
    std::string root_;
};

TEST_F(FileTreeTest, DeleteDirectoryWithEitherSwitch)
{
    EXPECT_TRUE(DeleteDirectory(root_, true, false));
    EXPECT_FALSE(Exists("tree"));
    BuildTree();
    EXPECT_TRUE(DeleteDirectory(root_ + "\\", false, true));
    EXPECT_FALSE(Exists("tree"));
}

TEST_F(FileTreeTest, ClearDirectoryKeepsTheRoot)
{
    EXPECT_TRUE(ClearDirectory(root_, true, false));
    EXPECT_TRUE(DirectoryExistsEx(root_));
    EXPECT_FALSE(Exists("tree\\sub1"));
    EXPECT_FALSE(Exists("tree\\ro.txt"));
    EXPECT_TRUE(DeleteDirectory(root_, false, false)); // empty now
}

TEST_F(FileTreeTest, NoSwitchRemovesNothing)
{
    EXPECT_FALSE(DeleteDirectory(root_, false, false));
    EXPECT_FALSE(ClearDirectory(root_, false, false));
    EXPECT_FALSE(DeleteDirectoryEx(root_, false, false, false));
    EXPECT_TRUE(AllThere());
}

TEST_F(FileTreeTest, HeldFileStaysAndTheRestGoes)
{
    const std::string held = Path("tree\\sub1\\sub2\\deep.txt");
    HANDLE other = CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_FALSE(ClearDirectory(root_, true, true));
    EXPECT_TRUE(Exists("tree\\sub1\\sub2\\deep.txt"));
    for (const char* gone :
         {"tree\\ro.txt", "tree\\plain.txt", "tree\\sub1\\hidden.txt", "tree\\sub1\\sub2\\sys.txt"})
        EXPECT_FALSE(Exists(gone)) << gone;
    EXPECT_FALSE(DeleteDirectory(root_, true, false));
    EXPECT_FALSE(DeleteDirectoryEx(root_, true, false, false));
    EXPECT_TRUE(Exists("tree\\sub1\\sub2\\deep.txt"));

    EXPECT_TRUE(DeleteDirectoryEx(root_, true, false, true));
    CloseHandle(other);
    const auto pending = filetest::ReadPendingOperations();
    auto indexOf = [&](const std::string& path) {
        for (size_t i = 0; i < pending.size(); ++i)
            if (SameText(pending[i].first, "\\??\\" + path) && pending[i].second.empty())
                return static_cast<int>(i);
        return -1;
    };
    const int file = indexOf(held);
    const int sub2 = indexOf(Path("tree\\sub1\\sub2"));
    const int sub1 = indexOf(Path("tree\\sub1"));
    const int root = indexOf(root_);
    ASSERT_GE(file, 0);
    ASSERT_GE(sub2, 0);
    ASSERT_GE(sub1, 0);
    ASSERT_GE(root, 0);
    EXPECT_LT(file, sub2);
    EXPECT_LT(sub2, sub1);
    EXPECT_LT(sub1, root);
}

// Host-made links inside a tree: one to an outside folder holding a canary,
// one back to the tree itself. The walks must neither reach the canary nor
// loop.
TEST(FileLinkTest, WalksNeverEnterLinks)
{
    if (!filetest::RunningUnderWine())
        GTEST_SKIP() << "Windows: junctions made with mklink /J are removed by the walks as links; "
                        "this fixture is made by the Wine host";
    char fixture[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("KORV_LINK_FIXTURE", fixture, MAX_PATH))
        GTEST_SKIP() << "no host link fixture (made by CTest's platform_link_fixture step)";
    const std::string base = IncludeTrailingBackslash(fixture);
    const std::string tree = base + "tree";
    const std::string canary = base + "outside\\canary.txt";
    for (const char* link : {"\\link", "\\loop"})
        ASSERT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
                  GetFileAttributesA((tree + link).c_str()) &
                      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            << link;
    struct {
        const char* Name;
        std::function<bool()> Walk;
    } walks[] = {
        {"ClearDirectory", [&] { return ClearDirectory(tree, true, true); }},
        {"DeleteDirectory", [&] { return DeleteDirectory(tree, true, false); }},
        {"DeleteDirectoryEx", [&] { return DeleteDirectoryEx(tree, false, true, false); }},
    };
    for (auto& w : walks) {
        SCOPED_TRACE(w.Name);
        CreateDirectoryA((tree + "\\d").c_str(), nullptr);
        for (const std::string& f : {tree + "\\f.txt", tree + "\\d\\g.txt"}) {
            HANDLE h = CreateFileA(f.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, h);
            CloseHandle(h);
        }
        EXPECT_FALSE(w.Walk()) << "Wine keeps the links, so the walk cannot finish";
        EXPECT_EQ("canary", ktest::ReadFileBytes(AnsiToWide(canary)));
        EXPECT_FALSE(FileExistsEx(tree + "\\f.txt"));
        EXPECT_FALSE(DirectoryExistsEx(tree + "\\d"));
        EXPECT_TRUE(DirectoryExistsEx(tree + "\\link"));
        EXPECT_TRUE(DirectoryExistsEx(tree + "\\loop"));
    }
}

TEST(FileLinkTest, NothingThroughALinkIsTrustedWrittenOrProtected)
{
    if (!filetest::RunningUnderWine())
        GTEST_SKIP() << "Windows: the fixture is made by the Wine host";
    char fixture[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("KORV_LINK_FIXTURE", fixture, MAX_PATH))
        GTEST_SKIP() << "no host link fixture (made by CTest's platform_link_fixture step)";
    const std::string base = IncludeTrailingBackslash(fixture);
    const std::string outside = base + "outside\\";
    const std::string link = base + "tree\\link";
    const struct {
        std::string path;
        bool link;
    } cases[] = {
        {outside + "canary.txt", false},
        {outside, false},
        {link, true},
        {link + "\\canary.txt", true},
        {link + "\\not there yet\\x.xml", true},
        {base + "not there\\x.xml", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.link, PathHasReparsePoint(c.path));
    }
    // Wine gives every file the account that the test runs as.
    EXPECT_TRUE(IsTrustedPath(outside + "canary.txt"));
    EXPECT_TRUE(IsTrustedFile(outside + "canary.txt"));
    EXPECT_FALSE(IsTrustedPath(link + "\\canary.txt")) << "read through a link";
    EXPECT_FALSE(IsTrustedFile(link + "\\canary.txt"));
    EXPECT_FALSE(IsTrustedPath(link));
    EXPECT_FALSE(IsTrustedPath(base + "no such folder\\startup.xml"));

    EXPECT_FALSE(SaveFileAtomic(link + "\\planted.txt", "x"));
    EXPECT_FALSE(FileExistsEx(outside + "planted.txt"));
    EXPECT_FALSE(SaveFileAtomic(link + "\\canary.txt", "overwritten"));
    EXPECT_EQ("canary", ktest::ReadFileBytes(AnsiToWide(outside + "canary.txt")));
    filetest::TRecorderScope recorder;
    EXPECT_FALSE(CreateDirectoryPath(link, TFileSecurity::Protected, true));
    EXPECT_TRUE(recorder.Calls().empty()) << "a link's target is never given another DACL";
}

// ---------------------------------------------------------------------------
// Copies

TEST_F(FileUtilsDirTest, CopyFileToRefusesOrReplaces)
{
    MakeFile("src.txt", "new content");
    MakeFile("dest.txt", "old");
    EXPECT_FALSE(CopyFileTo(Path("missing.txt"), Path("x.txt"), false, true));
    EXPECT_FALSE(Exists("x.txt"));
    EXPECT_FALSE(CopyFileTo(Path("src.txt"), Path("dest.txt"), false, false));
    EXPECT_EQ("old", ktest::ReadFileBytes(AnsiToWide(Path("dest.txt"))));

    EXPECT_TRUE(CopyFileTo(Path("src.txt"), Path("fresh.txt"), false, false));
    EXPECT_EQ("new content", ktest::ReadFileBytes(AnsiToWide(Path("fresh.txt"))));

    SetFileAttributesA(Path("dest.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(CopyFileTo(Path("src.txt"), Path("dest.txt"), false, true));
    EXPECT_EQ("new content", ktest::ReadFileBytes(AnsiToWide(Path("dest.txt"))));
    // Nothing but the three files is left in the folder.
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA(Path("*").c_str(), &data);
    int count = 0;
    do {
        if (data.cFileName[0] != '.')
            ++count;
    } while (FindNextFileA(find, &data));
    FindClose(find);
    EXPECT_EQ(3, count);
}

// The attribute is cleared before the replace because Windows refuses to
// replace a read-only file; Wine does not, so only Windows can show the need.
TEST_F(FileUtilsDirTest, ReadOnlyDestIsClearedForTheReplace)
{
    if (filetest::RunningUnderWine())
        GTEST_SKIP() << "Wine: MoveFileExA(REPLACE_EXISTING) and CopyFileA replace a read-only "
                        "file. Windows refuses with error 5, so CopyFileTo clears the attribute "
                        "first (its replace of a read-only Dest is in CopyFileToRefusesOrReplaces)";
    MakeFile("src.txt", "new");
    MakeFile("other.txt", "other");
    MakeFile("dest.txt", "old", FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(MoveFileExA(Path("other.txt").c_str(), Path("dest.txt").c_str(),
                             MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(CopyFileTo(Path("src.txt"), Path("dest.txt"), false, true));
    EXPECT_EQ("new", ktest::ReadFileBytes(AnsiToWide(Path("dest.txt"))));
}

TEST_F(FileUtilsDirTest, FailedCopyLeavesDestAsItWas)
{
    MakeFile("src.txt", "replacement");
    MakeFile("dest.txt", "precious");
    filetest::TChild child;
    ASSERT_TRUE(filetest::HoldFile(child, Path("src.txt"), 60000, 0));
    EXPECT_FALSE(CopyFileTo(Path("src.txt"), Path("dest.txt"), false, true));
    EXPECT_TRUE(child.Running()) << "the copy failed on the held source";
    child.Terminate();
    EXPECT_EQ("precious", ktest::ReadFileBytes(AnsiToWide(Path("dest.txt"))));
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA(Path("*.tmp").c_str(), &data);
    EXPECT_EQ(INVALID_HANDLE_VALUE, find) << "left behind: " << data.cFileName;
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}

TEST_F(FileUtilsDirTest, CopyWithGrantAccessInheritsOnly)
{
    MakeFile("src.txt", "payload");
    filetest::TRecorderScope recorder;
    ASSERT_TRUE(CopyFileTo(Path("src.txt"), Path("dest.txt"), true, false));
    EXPECT_EQ("payload", ktest::ReadFileBytes(AnsiToWide(Path("dest.txt"))));
    const auto calls = recorder.Calls();
    bool reset = false;
    for (const auto& call : calls) {
        SCOPED_TRACE(call.Api + " " + call.Path + " " + call.Sddl);
        EXPECT_FALSE(filetest::HasWorldEntry(call.Sddl));
        EXPECT_NE("SetFileSecurityA", call.Api);
        if (call.Api == "SetNamedSecurityInfoA") {
            reset = true;
            EXPECT_TRUE(call.Information & UNPROTECTED_DACL_SECURITY_INFORMATION);
            EXPECT_TRUE(call.Information & DACL_SECURITY_INFORMATION);
            EXPECT_EQ(std::string::npos, call.Sddl.find('(')) << "no explicit entry";
            EXPECT_EQ(0u, call.Path.rfind(Path("dest.txt"), 0)) << "the copy beside Dest";
        }
    }
    EXPECT_TRUE(reset);
}

} // namespace
