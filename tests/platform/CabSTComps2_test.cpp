#include "platform/CabSTComps2.h"

#include "CabTestSupport.h"
#include "KorvTest.h"
#include "platform/BindingU.h"
#include "platform/CabIntf.h"
#include "platform/SysUtilsU.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace cabtest;

namespace {

// ---------------------------------------------------------------------------
// The exception and the binding

TEST(CabError, MessageTable)
{
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string notFound = text ? text : "";
    LocalFree(text);
    while (!notFound.empty() && (notFound.back() == '\r' || notFound.back() == '\n'))
        notFound.pop_back();
    ASSERT_FALSE(notFound.empty());
    const struct {
        int Code;
        int System;
        bool FCI;
        std::string Message;
    } cases[] = {
        {2, 0, false, "Cabinet file does not have the correct format [0x0002]"},
        {1, 2, false, "Cabinet not found [0x0001].\r\n" + notFound + " [0x0002]."},
        {0, 0, false, "No error [0x0000]"},
        {11, 0, false, "FDI aborted [0x000B]"},
        {99, 0, false, "FDI error [0x0063]"},
        {-1, 0, false, "FDI error [0xFFFFFFFF]"},
        {4, 0, true, "Could not create a temporary file [0x0004]"},
        {8, 0, true, "Failure compressing data [0x0008]"},
        {99, 0, true, "FCI error [0x0063]"},
    };
    for (const auto& c : cases) {
        const ESTCabinet e(c.Code, c.System, true, c.FCI);
        EXPECT_EQ(e.what(), c.Message) << c.Code << " " << c.FCI;
        EXPECT_EQ(e.OperationCode(), c.Code);
        EXPECT_EQ(e.SystemError(), c.System);
        EXPECT_EQ(e.FromFCI(), c.FCI);
    }
    EXPECT_STREQ(ESTCabinet("Cabinet file is corrupt").what(), "Cabinet file is corrupt");
}

TEST(CabBinding, AMissingLibraryOrFunctionRaisesTheSystemError)
{
    const struct {
        std::wstring Path;
        DWORD Code;
    } cases[] = {
        {L"C:\\ktest-no-such-folder\\cabinet.dll", ERROR_MOD_NOT_FOUND},
        {SystemFolderPath(L"version.dll"), ERROR_PROC_NOT_FOUND},
    };
    for (const auto& c : cases) {
        try {
            BindCabinetFunctions(c.Path);
            ADD_FAILURE() << "no exception";
        } catch (const ESystemError& e) {
            EXPECT_EQ(e.Code(), c.Code);
        }
    }
    const TCabinetFunctions& f = CabinetFunctions();
    EXPECT_NE(f.FDICopy, nullptr);
    EXPECT_NE(f.FCIFlushFolder, nullptr);
    EXPECT_EQ(&f, &CabinetFunctions());
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(f.Module, path, MAX_PATH);
    EXPECT_EQ(_wcsicmp(path, SystemFolderPath(L"cabinet.dll").c_str()), 0) << path;
}

// ---------------------------------------------------------------------------
// The stream manager

TEST(CabStreamMan, NamesHandlesAndPositions)
{
    tStreamMan& man = tStreamMan::Instance();
    TMemoryStream a;
    a.Write("0123456789", 10);
    TMemoryStream b;
    const std::string nameA = man.Register(&a);
    const std::string nameB = man.Register(&b);
    ASSERT_EQ(nameA.rfind("Stream_", 0), 0u);
    EXPECT_EQ(std::stoi(nameB.substr(7)), std::stoi(nameA.substr(7)) + 1);
    EXPECT_TRUE(man.IsStreamName(nameA));
    EXPECT_TRUE(man.IsStreamName("STREAM_" + nameA.substr(7)));
    EXPECT_FALSE(man.IsStreamName("Stream_x"));
    EXPECT_EQ(man.StreamOf(nameB), &b);

    const INT_PTR h1 = man.Open(nameA, false);
    const INT_PTR h2 = man.Open(nameA, false);
    ASSERT_NE(h1, -1);
    EXPECT_NE(h1, h2);
    EXPECT_EQ(h1 & 1, 1) << "odd: never a kernel handle value";
    char buffer[4] = {};
    EXPECT_EQ(man.Read(h1, buffer, 3), 3u);
    EXPECT_EQ(std::string(buffer, 3), "012");
    EXPECT_EQ(man.Read(h2, buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "01");
    EXPECT_EQ(man.Read(h1, buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "34");
    EXPECT_EQ(man.Seek(h2, -1, SEEK_END), 9);
    EXPECT_EQ(man.Read(h2, buffer, 4), 1u);
    EXPECT_EQ(man.Seek(h2, -20, SEEK_CUR), -1);
    EXPECT_EQ(man.Close(h2), 0);
    EXPECT_EQ(man.Close(h2), -1);

    const INT_PTR hb = man.Open(nameB, true);
    EXPECT_EQ(man.Write(hb, "xy", 2), 2u);
    EXPECT_EQ(b.ToString(), "xy");

    man.Unregister(nameA);
    man.Unregister(nameB);
    EXPECT_FALSE(man.IsStreamName(nameA));
    EXPECT_FALSE(man.IsStreamHandle(h1)) << "unregistering closes the handles";
    EXPECT_EQ(man.Open(nameA, false), -1);
}

// ---------------------------------------------------------------------------
// The directory reader

class CabDirTest : public ktest::ScratchDirTest {
protected:
    std::string Path(const std::string& name) const { return dirAnsi_ + name; }
    std::vector<TCabDirectoryEntry> Read(const std::string& name)
    {
        std::vector<TCabDirectoryEntry> entries;
        ReadCabinetDirectory(name, [&](const TCabDirectoryEntry& e) { entries.push_back(e); });
        return entries;
    }
};

TEST_F(CabDirTest, ReadsTheEntriesInFileOrder)
{
    const std::string cab =
        MakeCabinet({{"b.txt", "bee", DosDate(2020, 2, 3), DosTime(4, 5, 6), FILE_ATTRIBUTE_HIDDEN},
                     {"sub\\a.txt", std::string(40000, 'a')}});
    ASSERT_TRUE(WriteAll(Path("two.cab"), cab));
    const auto entries = Read(Path("two.cab"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, "b.txt");
    EXPECT_EQ(entries[0].Size, 3u);
    EXPECT_EQ(entries[0].Date, DosDate(2020, 2, 3));
    EXPECT_EQ(entries[0].Time, DosTime(4, 5, 6));
    EXPECT_EQ(entries[0].Attributes, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(entries[1].Name, "sub\\a.txt");
    EXPECT_EQ(entries[1].FolderOffset, 3u);

    // The same through a registered stream.
    TMemoryStream stream;
    stream.Write(cab.data(), static_cast<int32_t>(cab.size()));
    const std::string name = tStreamMan::Instance().Register(&stream);
    const auto fromStream = Read(name);
    tStreamMan::Instance().Unregister(name);
    ASSERT_EQ(fromStream.size(), 2u);
    EXPECT_EQ(fromStream[1].Name, "sub\\a.txt");
}

TEST_F(CabDirTest, BadHeadersRaiseTheTexts)
{
    std::string cab = MakeCabinet({{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", "c"}});
    std::string past = cab;
    past[kFileCountField] = 4; // one entry more than there is
    std::string offset = cab;
    offset[kFilesOffsetField + 2] = 1; // far beyond the end
    std::string longName = MakeCabinet({{std::string(257, 'n'), "x"}});
    const struct {
        const char* Name;
        std::string Bytes;
        const char* Message;
    } cases[] = {
        {"MZ", "MZ" + std::string(100, '\0'), "Cabinet file does not have the correct format"},
        {"empty", "", "Cabinet file does not have the correct format"},
        {"short header", cab.substr(0, 20), "Cabinet file is corrupt"},
        {"count past the end", past.substr(0, past.find("c.txt") + 6), "Cabinet file is corrupt"},
        {"offset beyond the size", offset, "Failure setting file stream position"},
        {"name over 256 bytes", longName, "Cabinet file is corrupt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(WriteAll(Path("bad.cab"), c.Bytes));
        try {
            Read(Path("bad.cab"));
            ADD_FAILURE() << "no exception";
        } catch (const ESTCabinet& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
    }
    try {
        Read(Path("missing.cab"));
        ADD_FAILURE() << "no exception";
    } catch (const ESystemError& e) {
        EXPECT_EQ(e.Code(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

// ---------------------------------------------------------------------------
// Reader and writer

class CabReaderTest : public ktest::ScratchDirTest {
protected:
    std::string Path(const std::string& name) const { return dirAnsi_ + name; }
};

TEST_F(CabReaderTest, ReadOnlyTargetsAreOverwrittenUnlessBit1)
{
    ASSERT_TRUE(WriteAll(Path("ro.cab"), MakeCabinet({{"ro.txt", "new bytes"}})));
    CreateDirectoryA(Path("out").c_str(), nullptr);
    const std::string target = Path("out\\ro.txt");
    ASSERT_TRUE(WriteAll(target, "old"));
    SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);

    TSTCabReader reader;
    reader.Extract(Path("ro.cab"), Path("out"), kCabKeepReadOnly);
    EXPECT_EQ(ReadAll(target), "old");
    EXPECT_TRUE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);

    reader.Extract(Path("ro.cab"), Path("out"), 0);
    EXPECT_EQ(ReadAll(target), "new bytes");
    EXPECT_EQ(GetFileAttributesA(target.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(CabReaderTest, ATwoCabinetSetExtractsEachFileOnce)
{
    std::vector<TFciFile> files;
    std::map<std::string, std::string> contents;
    for (const char* name : {"one.bin", "two.bin", "three.bin"}) {
        contents[name] = Noise(30000, static_cast<unsigned>(contents.size() + 1));
        ASSERT_TRUE(WriteAll(Path(name), contents[name]));
        files.push_back({Path(name), name});
    }
    const auto cabinets = MakeCabinetsWithFCI(dirAnsi_, "set%d.cab", files, 50000, tcompTYPE_MSZIP);
    ASSERT_EQ(cabinets.size(), 2u);

    std::map<std::string, int> copies;
    TSTCabReader reader;
    reader.OnCopyFile = [&](TSTCabReader&, const std::string& name, std::string&, bool&) {
        ++copies[name];
    };
    CreateDirectoryA(Path("out").c_str(), nullptr);
    reader.Extract(cabinets[0], Path("out"), 0);
    EXPECT_EQ(copies,
              (std::map<std::string, int>{{"one.bin", 1}, {"two.bin", 1}, {"three.bin", 1}}));
    for (const auto& [name, bytes] : contents)
        EXPECT_TRUE(ReadAll(Path("out\\" + name)) == bytes) << name;

    SCOPED_TRACE("the second cabinet missing");
    ASSERT_TRUE(MoveFileA(cabinets[1].c_str(), Path("away.cab").c_str()));
    try {
        reader.Extract(cabinets[0], Path("out2"), 0);
        ADD_FAILURE() << "no exception";
    } catch (const ESTCabinet& e) {
        EXPECT_FALSE(e.FromFCI());
        EXPECT_NE(e.OperationCode(), 0) << e.what();
    }
}

TEST_F(CabReaderTest, AThrowingEventIsRaisedAfterFDICopy)
{
    ASSERT_TRUE(WriteAll(Path("a.cab"), MakeCabinet({{"a.txt", "a"}, {"b.txt", "b"}})));
    TSTCabReader reader;
    int calls = 0;
    reader.OnCopyFile = [&](TSTCabReader&, const std::string&, std::string&, bool&) {
        ++calls;
        throw std::runtime_error("from the event");
    };
    try {
        reader.Extract(Path("a.cab"), Path("out"), 0);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "from the event");
    }
    EXPECT_EQ(calls, 1);
    // The reader stays usable.
    reader.OnCopyFile = nullptr;
    reader.Extract(Path("a.cab"), Path("out"), 0);
    EXPECT_EQ(ReadAll(Path("out\\b.txt")), "b");
}

std::set<std::string> TemporaryCabFiles()
{
    char folder[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, folder);
    std::set<std::string> names;
    WIN32_FIND_DATAA fd{};
    HANDLE find = FindFirstFileA((std::string(folder) + "stc*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do
            names.insert(fd.cFileName);
        while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    return names;
}

TEST_F(CabReaderTest, AWriterCabinetRoundTripsAndLeavesNoTemporaryFile)
{
    const std::set<std::string> before = TemporaryCabFiles();
    const std::string big = Noise(200000, 9);
    ASSERT_TRUE(WriteAll(Path("big.bin"), big));
    TMemoryStream small;
    small.Write("from a stream", 13);
    const std::string streamName = tStreamMan::Instance().Register(&small);
    {
        TSTCabWriter writer;
        EXPECT_EQ(writer.CompressionType, static_cast<uint32_t>((21 << 8) | 3));
        writer.Create(Path("w.cab"));
        writer.AddFile(Path("big.bin"), "dir\\big.bin");
        writer.AddFile(streamName, "small.txt");
        EXPECT_FALSE(writer.TemporaryFiles().empty());
        writer.Flush();
        EXPECT_TRUE(writer.TemporaryFiles().empty());
        EXPECT_FALSE(writer.Active());
    }
    tStreamMan::Instance().Unregister(streamName);
    EXPECT_EQ(TemporaryCabFiles(), before);

    TSTCabReader reader;
    EXPECT_TRUE(reader.IsCabinet(Path("w.cab")));
    reader.Extract(Path("w.cab"), Path("out"), 0);
    EXPECT_TRUE(ReadAll(Path("out\\dir\\big.bin")) == big);
    EXPECT_EQ(ReadAll(Path("out\\small.txt")), "from a stream");

    SCOPED_TRACE("a writer dropped half-way removes its temporary files too");
    {
        TSTCabWriter writer;
        writer.Create(Path("dropped.cab"));
        writer.AddFile(Path("big.bin"), "big.bin");
    }
    EXPECT_EQ(TemporaryCabFiles(), before);
    try {
        TSTCabWriter writer;
        writer.Create(Path("fail.cab"));
        writer.AddFile(Path("missing.bin"), "missing.bin");
        ADD_FAILURE() << "no exception";
    } catch (const ESTCabinet& e) {
        EXPECT_TRUE(e.FromFCI());
        EXPECT_EQ(e.OperationCode(), FCIERR_OPEN_SRC) << e.what();
    }
    EXPECT_EQ(TemporaryCabFiles(), before);
}

} // namespace
