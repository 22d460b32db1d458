#include "ChildCases.h"
#include "SettingsTestSupport.h"

#include "platform/FileResourceU.h"
#include "platform/UnicodeU.h"

using namespace settingstest;

namespace {

TEST(FileResourceU, OwnResourcesLoadLineByLineUpToTheFirstNul)
{
    TStringList lines;
    lines.Add("old");
    ASSERT_TRUE(LoadResourceStrings("KTEST_NULTEXT", &lines));
    ASSERT_EQ(2, lines.Count());
    EXPECT_EQ("one", lines[0]);
    EXPECT_EQ("two", lines[1]);

    ASSERT_TRUE(LoadResourceStrings("TESTTEXT", &lines));
    ASSERT_EQ(2, lines.Count());
    EXPECT_EQ("Korvelle test resource: line one", lines[0]);

    EXPECT_FALSE(LoadResourceStrings("TESTTEXT", nullptr));
    EXPECT_FALSE(LoadResourceStrings("NO_SUCH_RESOURCE", &lines));
}

TEST(FileResourceU, OtherFilesAreReadAsDataAndTheListIsAlwaysFresh)
{
    const std::string stub = Narrow(ktest::ProgramDir() + L"korv_stub_v1.exe");
    std::unique_ptr<TStringList> lines;
    ASSERT_TRUE(LoadModuleResourceStrings(stub, "TRANSLATE", lines));
    ASSERT_TRUE(lines);
    EXPECT_EQ("[Languages]", (*lines)[0]);
    std::string shipped;
    ASSERT_TRUE(ReadResourceText(GetModuleHandleW(nullptr), "TRANSLATE", shipped));
    EXPECT_EQ(shipped, lines->GetText());

    // An empty name is the own module.
    ASSERT_TRUE(LoadModuleResourceStrings("", "KTEST_NULTEXT", lines));
    EXPECT_EQ(2, lines->Count());

    const struct {
        const char* name;
        std::string file;
        const char* resource;
    } failures[] = {
        {"missing file", Narrow(ktest::ProgramDir() + L"no_such_file.exe"), "TRANSLATE"},
        {"missing resource", Narrow(ktest::ProgramDir() + L"plain_child.exe"), "TRANSLATE"},
        {"own module, missing resource", "", "NO_SUCH_RESOURCE"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        lines->Add("left over");
        TStringList* before = lines.get();
        EXPECT_FALSE(LoadModuleResourceStrings(f.file, f.resource, lines));
        ASSERT_EQ(before, lines.get()) << "an existing list is kept";
        EXPECT_EQ(0, lines->Count()) << "and cleared";
    }
    std::unique_ptr<TStringList> absent;
    EXPECT_FALSE(LoadModuleResourceStrings(failures[0].file, "TRANSLATE", absent));
    ASSERT_TRUE(absent) << "an absent list is created";
    EXPECT_EQ(0, absent->Count());

    // The data file is released: the stand-in can be replaced at once.
    const std::wstring copy = ktest::ProgramDir() + L"resource_copy.exe";
    ASSERT_TRUE(CopyFileW(Widen(stub).c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(LoadModuleResourceStrings(Narrow(copy), "CONFIG", lines));
    EXPECT_TRUE(DeleteFileW(copy.c_str()));
}

} // namespace
