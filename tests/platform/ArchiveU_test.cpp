#include "platform/ArchiveU.h"

#include "CabTestSupport.h"
#include "KorvTest.h"
#include "platform/ArchiveCABU.h"
#include "platform/LogU.h"

#include <gtest/gtest.h>

using namespace cabtest;

namespace {

std::string Expected(const char* routine, const std::string& message)
{
    return std::string("Internal error in module \"ArchivesClass\": \r\nFunction \"") + routine +
           "\" - " + message;
}

// A handler that reads no streams and adds nothing.
class TPlainFrame : public tArchiveFrame {
public:
    using tArchiveFrame::tArchiveFrame;
};

std::unique_ptr<tArchiveFrame> MakePlainFrame(TArchive& archive)
{
    return std::make_unique<TPlainFrame>(archive);
}

std::unique_ptr<tArchiveFrame> MakeNothing(TArchive&)
{
    return nullptr;
}

constexpr int32_t kMissingLibraryType = 901;
constexpr int32_t kPresentLibraryType = 902;
constexpr int32_t kNoInstanceType = 903;

TEST(ArchiveRegistry, TypesLookupsAndTheirErrors)
{
    TArchiveManager& manager = TArchiveManager::Instance();
    const TArchiveInfo* cab = manager.Find(kArchiveTypeCAB);
    ASSERT_NE(cab, nullptr);
    EXPECT_EQ(cab->Name, "CAB");
    EXPECT_TRUE(cab->LibraryName.empty());
    EXPECT_TRUE(cab->Available);

    // A library is looked for beside the program.
    const std::string self = GetApplicationFileName().substr(GetApplicationDir().size());
    manager.RegisterArchiveType(kMissingLibraryType, MakePlainFrame, "TSTA", "ktest-missing.dll");
    manager.RegisterArchiveType(kPresentLibraryType, MakePlainFrame, "TSTB", self);
    manager.RegisterArchiveType(kNoInstanceType, MakeNothing, "TSTC", "");
    EXPECT_FALSE(manager.Find(kMissingLibraryType)->Available);
    EXPECT_TRUE(manager.Find(kPresentLibraryType)->Available);
    EXPECT_EQ(manager.TypeForFileName("C:\\x\\a.TsTb"), kPresentLibraryType);
    EXPECT_EQ(manager.TypeForFileName("C:\\x\\a.tsta"), kArchiveTypeNone);
    EXPECT_EQ(manager.TypeForFileName("C:\\x.cab\\a"), kArchiveTypeNone);
    EXPECT_EQ(manager.TypeForFileName("a.cab"), kArchiveTypeCAB);

    TArchive archive("x.none");
    EXPECT_EQ(archive.ArchiveTypeName(kArchiveTypeCAB, false), "CAB");
    EXPECT_EQ(archive.ArchiveTypeName(kPresentLibraryType, true), self);
    EXPECT_TRUE(archive.LastError().empty());
    EXPECT_TRUE(archive.ArchiveIsAvailable(kArchiveTypeCAB));
    EXPECT_FALSE(archive.ArchiveIsAvailable(kMissingLibraryType));
    EXPECT_TRUE(archive.LastError().empty());

    EXPECT_EQ(archive.ArchiveTypeName(99, false), "");
    EXPECT_EQ(archive.LastError(),
              Expected("ArchiveTypeName", "unknown value in parameter AArchiveType!"));
    EXPECT_FALSE(archive.ArchiveIsAvailable(99));
    EXPECT_EQ(archive.LastError(),
              Expected("ArchiveIsAvailable", "unknown value in parameter AArchiveType!"));

    EXPECT_FALSE(archive.SetArchiveType(kMissingLibraryType));
    EXPECT_EQ(archive.LastError(),
              Expected("SetArchiveType", "required ArchiveType is not available!"));
    EXPECT_FALSE(archive.SetArchiveType(kNoInstanceType));
    EXPECT_EQ(archive.LastError(), Expected("SetArchiveType", "Create Instance of archive error!"));
    EXPECT_EQ(archive.Handler(), nullptr);

    EXPECT_TRUE(archive.SetArchiveType(kPresentLibraryType));
    EXPECT_TRUE(archive.LastError().empty());
    tArchiveFrame* first = archive.Handler();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(archive.SetArchiveType(kPresentLibraryType));
    EXPECT_EQ(archive.Handler(), first) << "the same type keeps its handler";
    EXPECT_TRUE(archive.SetArchiveType(kArchiveTypeCAB));
    EXPECT_NE(dynamic_cast<tCABArchive*>(archive.Handler()), nullptr);
    EXPECT_EQ(archive.ArchiveType(), kArchiveTypeCAB);
}

class ArchiveFacadeTest : public ktest::ScratchDirTest {
protected:
    std::string Path(const std::string& name) const { return dirAnsi_ + name; }
};

TEST_F(ArchiveFacadeTest, TypeByExtensionAndTheNotInitialisedText)
{
    ASSERT_TRUE(WriteAll(Path("x.CAB"), MakeCabinet({{"a.txt", "a"}})));
    TArchive cab(Path("x.CAB"));
    EXPECT_EQ(cab.ArchiveType(), kArchiveTypeCAB);
    TStringList list;
    EXPECT_TRUE(cab.LoadArchiveContents(&list));
    EXPECT_EQ(list.GetText(), "a.txt\r\n");

    ASSERT_TRUE(WriteAll(Path("x.zip"), MakeCabinet({{"a.txt", "a"}})));
    TArchive zip(Path("x.zip"));
    EXPECT_EQ(zip.ArchiveType(), kArchiveTypeNone);
    EXPECT_EQ(zip.Handler(), nullptr);
    list.Add("stale");
    EXPECT_FALSE(zip.LoadArchiveContents(&list));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(zip.LastError(), Expected("LoadArchiveContents",
                                        "Archives Class is not initialized to specific type!"));
    EXPECT_FALSE(zip.DecompressToDir(Path("out"), "", true));
    EXPECT_EQ(zip.LastError(),
              Expected("DecompressToDir", "Archives Class is not initialized to specific type!"));
    EXPECT_FALSE(zip.LoadArchiveContents(nullptr));
    EXPECT_EQ(zip.LastError(),
              Expected("LoadArchiveContents", "parameter ResFileNames (tStrings) is nil!"));
    // A file of another name can be read as a cabinet when asked to.
    EXPECT_TRUE(zip.SetArchiveType(kArchiveTypeCAB));
    EXPECT_TRUE(zip.LoadArchiveContents(&list));
    EXPECT_TRUE(zip.LastError().empty());
    EXPECT_FALSE(zip.DecompressToDir("", "", false));
    EXPECT_EQ(zip.LastError(),
              Expected("DecompressToDir", "parameter TargetDit (string) is empty!"));
}

TEST_F(ArchiveFacadeTest, InitialisationFailures)
{
    TStringList list;
    {
        SCOPED_TRACE("a missing file");
        TArchive archive(Path("missing.cab"));
        EXPECT_FALSE(archive.LoadArchiveContents(&list));
        const std::string text =
            Expected("LoadArchiveContents", "File \"" + Path("missing.cab") + "\" does not exist!");
        EXPECT_EQ(archive.LastError(), text);
        // Initialisation runs once: its failure stands.
        ASSERT_TRUE(WriteAll(Path("missing.cab"), MakeCabinet({{"a.txt", "a"}})));
        EXPECT_FALSE(archive.LoadArchiveContents(&list));
        EXPECT_EQ(archive.LastError(), text);
    }
    {
        SCOPED_TRACE("a file held exclusively");
        ASSERT_TRUE(WriteAll(Path("held.cab"), MakeCabinet({{"a.txt", "a"}})));
        HANDLE held = CreateFileA(Path("held.cab").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        TArchive archive(Path("held.cab"));
        EXPECT_FALSE(archive.LoadArchiveContents(&list));
        CloseHandle(held);
        EXPECT_EQ(
            archive.LastError(),
            Expected("LoadArchiveContents", "Cannot open file 32 \"" + Path("held.cab") + "\"!"));
    }
    {
        SCOPED_TRACE("not a cabinet");
        ASSERT_TRUE(WriteAll(Path("mz.cab"), "MZ" + Noise(500, 3)));
        TArchive archive(Path("mz.cab"));
        EXPECT_FALSE(archive.DecompressToDir(Path("out"), "", true));
        EXPECT_EQ(archive.LastError(), Expected("DecompressToDir", "Cannot initialize archive \"" +
                                                                       Path("mz.cab") + "\"!"));
        EXPECT_EQ(GetFileAttributesA(Path("out").c_str()), INVALID_FILE_ATTRIBUTES);
    }
    {
        SCOPED_TRACE("a type without stream sources, and without adding");
        TArchiveManager::Instance().RegisterArchiveType(
            kPresentLibraryType, MakePlainFrame, "TSTB",
            GetApplicationFileName().substr(GetApplicationDir().size()));
        TMemoryStream stream;
        TArchive archive(Path("s.tstb"), &stream);
        ASSERT_EQ(archive.ArchiveType(), kPresentLibraryType);
        EXPECT_FALSE(archive.LoadArchiveContents(&list));
        EXPECT_EQ(
            archive.LastError(),
            Expected("LoadArchiveContents", "Source stream is not supported (\"TSTB\" archive)!"));
        EXPECT_FALSE(archive.Handler()->AddFile(Path("a.txt"), "a.txt"));
        EXPECT_TRUE(archive.LastError().ends_with(
            " - Adding to archive is not supported (\"TSTB\" archive)!"))
            << archive.LastError();
    }
}

TEST_F(ArchiveFacadeTest, TheSelfUpdateSequence)
{
    const std::string program = Noise(300000, 11);
    const std::string library = Noise(120000, 12);
    ASSERT_TRUE(WriteAll(Path("Korvelle.exe"), program));
    ASSERT_TRUE(WriteAll(Path("helper.dll"), library));
    const auto cabinets = MakeCabinetsWithFCI(
        dirAnsi_, "update%d.cab",
        {{Path("Korvelle.exe"), "Korvelle.exe"}, {Path("helper.dll"), "helper.dll"}}, 0x7FFFFFFF,
        tcompTYPE_MSZIP);
    ASSERT_EQ(cabinets.size(), 1u);

    CreateDirectoryA(Path("update").c_str(), nullptr);
    TArchive archive(cabinets[0]);
    EXPECT_TRUE(archive.SetArchiveType(kArchiveTypeCAB));
    TStringList files;
    EXPECT_TRUE(archive.LoadArchiveContents(&files));
    EXPECT_EQ(files.GetText(), "Korvelle.exe\r\nhelper.dll\r\n");
    EXPECT_TRUE(archive.DecompressToDir(Path("update\\"), "", true));
    EXPECT_TRUE(archive.LastError().empty()) << archive.LastError();
    EXPECT_TRUE(ReadAll(Path("update\\Korvelle.exe")) == program);
    EXPECT_TRUE(ReadAll(Path("update\\helper.dll")) == library);
}

} // namespace
