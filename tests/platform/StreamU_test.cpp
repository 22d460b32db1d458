#include "platform/StreamU.h"

#include "FileTestSupport.h"
#include "KorvTest.h"
#include "platform/SecurityU.h"
#include "platform/UnicodeU.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

// One slot's write, the bytes it must give, and a read-back that checks the value.
struct TSlotCase {
    const char* Name;
    std::function<bool(TStreamWriter&)> Write;
    std::string Expected;
    std::function<bool(TStreamReader&)> ReadBack;
    // What a read at the end of the stream must leave: a check on a fresh value.
    std::function<bool(TStreamReader&)> ShortRead;
};

std::vector<TSlotCase> SlotCases()
{
    const std::string five = Bytes({1, 2, 0, 4, 5});
    return {
        {"WriteRaw", [](TStreamWriter& w) { return w.WriteRaw("abc"); }, "abc",
         [](TStreamReader& r) {
             std::string s;
             return r.ReadAll(s) && s == "abc";
         },
         [](TStreamReader& r) {
             std::string s = "x";
             return !r.ReadAll(s) && s.empty();
         }},
        {"WriteLine", [](TStreamWriter& w) { return w.WriteLine("ab"); }, "ab\r\n",
         [](TStreamReader& r) {
             std::string s = "old";
             return r.ReadText(s) && s == "ab\r\n";
         },
         nullptr},
        {"WriteString abc", [](TStreamWriter& w) { return w.WriteString("abc"); },
         Bytes({3, 0, 0, 0, 'a', 'b', 'c'}),
         [](TStreamReader& r) {
             std::string s;
             return r.ReadString(s) && s == "abc";
         },
         [](TStreamReader& r) {
             std::string s = "x";
             return !r.ReadString(s) && s.empty();
         }},
        {"WriteInteger", [](TStreamWriter& w) { return w.WriteInteger(0x12345678); },
         Bytes({0x78, 0x56, 0x34, 0x12}),
         [](TStreamReader& r) {
             int32_t v = 0;
             return r.ReadInteger(v) && v == 0x12345678;
         },
         [](TStreamReader& r) {
             int32_t v = 77;
             return !r.ReadInteger(v) && v == 0;
         }},
        {"WriteInteger -1", [](TStreamWriter& w) { return w.WriteInteger(-1); },
         Bytes({0xFF, 0xFF, 0xFF, 0xFF}),
         [](TStreamReader& r) {
             int32_t v = 0;
             return r.ReadInteger(v) && v == -1;
         },
         nullptr},
        {"WriteBoolean", [](TStreamWriter& w) { return w.WriteBoolean(true); }, Bytes({1}),
         [](TStreamReader& r) {
             bool v = false;
             return r.ReadBoolean(v) && v;
         },
         [](TStreamReader& r) {
             bool v = true;
             return !r.ReadBoolean(v) && !v;
         }},
        {"WriteInt64 min", [](TStreamWriter& w) { return w.WriteInt64(INT64_MIN); },
         Bytes({0, 0, 0, 0, 0, 0, 0, 0x80}),
         [](TStreamReader& r) {
             int64_t v = 0;
             return r.ReadInt64(v) && v == INT64_MIN;
         },
         [](TStreamReader& r) {
             int64_t v = 77;
             return !r.ReadInt64(v) && v == 0;
         }},
        {"WriteInt64 max", [](TStreamWriter& w) { return w.WriteInt64(INT64_MAX); },
         Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
         [](TStreamReader& r) {
             int64_t v = 0;
             return r.ReadInt64(v) && v == INT64_MAX;
         },
         nullptr},
        {"WriteInt64 -1", [](TStreamWriter& w) { return w.WriteInt64(-1); }, std::string(8, '\xFF'),
         [](TStreamReader& r) {
             int64_t v = 0;
             return r.ReadInt64(v) && v == -1;
         },
         nullptr},
        {"WriteByte", [](TStreamWriter& w) { return w.WriteByte(0xFF); }, Bytes({0xFF}),
         [](TStreamReader& r) {
             uint8_t v = 0;
             return r.ReadByte(v) && v == 0xFF;
         },
         [](TStreamReader& r) {
             uint8_t v = 7;
             return !r.ReadByte(v) && v == 0;
         }},
        {"WriteWord", [](TStreamWriter& w) { return w.WriteWord(0xFFFF); }, Bytes({0xFF, 0xFF}),
         [](TStreamReader& r) {
             uint16_t v = 0;
             return r.ReadWord(v) && v == 0xFFFF;
         },
         [](TStreamReader& r) {
             uint16_t v = 7;
             return !r.ReadWord(v) && v == 0;
         }},
        {"WriteBuffer 0", [](TStreamWriter& w) { return w.WriteBuffer("", 0); }, "",
         [](TStreamReader& r) {
             char b = 'x';
             return r.ReadBuffer(&b, 0) && b == 'x';
         },
         nullptr},
        {"WriteBuffer 5", [five](TStreamWriter& w) { return w.WriteBuffer(five.data(), 5); }, five,
         [five](TStreamReader& r) {
             char b[5] = {};
             return r.ReadBuffer(b, 5) && std::string(b, 5) == five;
         },
         [](TStreamReader& r) {
             char b[5] = {};
             return !r.ReadBuffer(b, 5);
         }},
        {"CopyFromStream",
         [](TStreamWriter& w) {
             TMemoryStream source;
             source.Write("hello", 5); // left at its end: the copy starts at 0 anyway
             return w.CopyFromStream(source);
         },
         "hello",
         [](TStreamReader& r) {
             TMemoryStream dest;
             return r.CopyToStream(dest) && dest.ToString() == "hello";
         },
         nullptr},
        {"WriteStreamContents",
         [](TStreamWriter& w) {
             TMemoryStream source;
             source.Write("12345", 5);
             source.SetPosition(3);
             return w.WriteStreamContents(source);
         },
         "12345",
         [](TStreamReader& r) {
             TMemoryStream dest;
             return r.ReadStreamContents(dest) && dest.ToString() == "12345";
         },
         nullptr},
    };
}

TEST(StreamRecordTest, EverySlotRoundTripsAndShortReadsGiveZero)
{
    for (const TSlotCase& c : SlotCases()) {
        SCOPED_TRACE(c.Name);
        TMemoryStreamWriter writer;
        ASSERT_TRUE(c.Write(writer));
        EXPECT_EQ(c.Expected, writer.MemoryStream().ToString());

        writer.MemoryStream().SetPosition(0);
        TStreamReader reader(&writer.MemoryStream());
        EXPECT_EQ(static_cast<int64_t>(c.Expected.size()), reader.GetStreamSize());
        EXPECT_TRUE(c.ReadBack(reader));
        if (c.ShortRead) {
            // At the end now: nothing is left to read.
            EXPECT_TRUE(c.ShortRead(reader));
        }
    }
}

TEST(StreamRecordTest, ShortReadsInTheMiddleOfAValue)
{
    TMemoryStream stream;
    stream.Write("\x01\x02\x03", 3);
    TStreamReader reader(&stream);
    struct {
        const char* Name;
        std::function<bool()> Read;
    } cases[] = {
        {"integer",
         [&] {
             int32_t v = 5;
             return !reader.ReadInteger(v) && v == 0;
         }},
        {"int64",
         [&] {
             int64_t v = 5;
             return !reader.ReadInt64(v) && v == 0;
         }},
        {"buffer",
         [&] {
             char b[4];
             return !reader.ReadBuffer(b, 4);
         }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        stream.SetPosition(0);
        EXPECT_TRUE(c.Read());
    }
    stream.SetPosition(2);
    uint16_t w = 9;
    EXPECT_FALSE(reader.ReadWord(w));
    EXPECT_EQ(0, w);
}

// Every operation of a stream throws.
class TThrowingStream : public TStream {
public:
    int32_t Read(void*, int32_t) override { throw EStreamError("read"); }
    int32_t Write(const void*, int32_t) override { throw EStreamError("write"); }
    int64_t Seek(int64_t, TSeekOrigin) override { throw EStreamError("seek"); }
    void SetSize(int64_t) override { throw EStreamError("size"); }
};

// All twenty-two operations, each expected False.
std::vector<std::pair<const char*, std::function<bool(TStreamWriter&, TStreamReader&)>>> AllOps()
{
    return {
        {"WriteRaw", [](TStreamWriter& w, TStreamReader&) { return w.WriteRaw("a"); }},
        {"WriteLine", [](TStreamWriter& w, TStreamReader&) { return w.WriteLine("a"); }},
        {"WriteString", [](TStreamWriter& w, TStreamReader&) { return w.WriteString("a"); }},
        {"WriteInteger", [](TStreamWriter& w, TStreamReader&) { return w.WriteInteger(1); }},
        {"WriteBoolean", [](TStreamWriter& w, TStreamReader&) { return w.WriteBoolean(true); }},
        {"WriteInt64", [](TStreamWriter& w, TStreamReader&) { return w.WriteInt64(1); }},
        {"WriteByte", [](TStreamWriter& w, TStreamReader&) { return w.WriteByte(1); }},
        {"WriteWord", [](TStreamWriter& w, TStreamReader&) { return w.WriteWord(1); }},
        {"WriteBuffer", [](TStreamWriter& w, TStreamReader&) { return w.WriteBuffer("ab", 2); }},
        {"CopyFromStream",
         [](TStreamWriter& w, TStreamReader&) {
             TMemoryStream m;
             m.Write("ab", 2);
             return w.CopyFromStream(m);
         }},
        {"WriteStreamContents",
         [](TStreamWriter& w, TStreamReader&) {
             TMemoryStream m;
             m.Write("ab", 2);
             return w.WriteStreamContents(m);
         }},
        {"ReadAll",
         [](TStreamWriter&, TStreamReader& r) {
             std::string s;
             return r.ReadAll(s);
         }},
        {"ReadText",
         [](TStreamWriter&, TStreamReader& r) {
             std::string s;
             return r.ReadText(s);
         }},
        {"ReadString",
         [](TStreamWriter&, TStreamReader& r) {
             std::string s;
             return r.ReadString(s);
         }},
        {"ReadInteger",
         [](TStreamWriter&, TStreamReader& r) {
             int32_t v = 3;
             return r.ReadInteger(v) || v != 0;
         }},
        {"ReadBoolean",
         [](TStreamWriter&, TStreamReader& r) {
             bool v = true;
             return r.ReadBoolean(v) || v;
         }},
        {"ReadInt64",
         [](TStreamWriter&, TStreamReader& r) {
             int64_t v = 3;
             return r.ReadInt64(v) || v != 0;
         }},
        {"ReadByte",
         [](TStreamWriter&, TStreamReader& r) {
             uint8_t v = 3;
             return r.ReadByte(v) || v != 0;
         }},
        {"ReadWord",
         [](TStreamWriter&, TStreamReader& r) {
             uint16_t v = 3;
             return r.ReadWord(v) || v != 0;
         }},
        {"ReadBuffer",
         [](TStreamWriter&, TStreamReader& r) {
             char b[2];
             return r.ReadBuffer(b, 2);
         }},
        {"CopyToStream",
         [](TStreamWriter&, TStreamReader& r) {
             TMemoryStream m;
             return r.CopyToStream(m);
         }},
        {"ReadStreamContents",
         [](TStreamWriter&, TStreamReader& r) {
             TMemoryStream m;
             return r.ReadStreamContents(m);
         }},
    };
}

TEST(StreamRecordTest, NoStreamOrAThrowingOneGivesFalseAndNothingEscapes)
{
    TThrowingStream throwing;
    TStream* streams[] = {nullptr, &throwing};
    for (TStream* stream : streams) {
        SCOPED_TRACE(stream ? "throwing stream" : "no stream");
        TStreamWriter writer(stream);
        TStreamReader reader(stream);
        EXPECT_EQ(stream != nullptr, writer.HasStream());
        EXPECT_EQ(-1, reader.GetStreamSize());
        for (auto& [name, op] : AllOps()) {
            SCOPED_TRACE(name);
            bool result = true;
            EXPECT_NO_THROW(result = op(writer, reader));
            EXPECT_FALSE(result);
        }
    }
}

// Pieces reach the stream whole and in order, in writes of about a block
// each, and a failed write ends the rest.
TEST(StreamRecordTest, BlockWriterGathersPiecesIntoBlocks)
{
    struct TCountedStream : TMemoryStream {
        std::vector<int32_t> writes;
        int32_t Write(const void* Buffer, int32_t Count) override
        {
            writes.push_back(Count);
            return TMemoryStream::Write(Buffer, Count);
        }
    };
    TCountedStream stream;
    TStreamWriter writer(&stream);
    TBlockWriter out(writer, 10);
    std::string expected;
    for (const std::string piece : {"abc", "defgh", "ij", "", "klmnopqrstuvwxyz", "0"}) {
        EXPECT_TRUE(out.Add(piece));
        expected += piece;
    }
    EXPECT_TRUE(out.Finish());
    EXPECT_EQ(expected, stream.ToString());
    // "abcdefghij", then the long piece with what came before it, then "0".
    EXPECT_EQ((std::vector<int32_t>{10, 16, 1}), stream.writes);
    EXPECT_TRUE(out.Finish()) << "nothing left: nothing written";
    EXPECT_EQ(3u, stream.writes.size());

    TThrowingStream throwing;
    TStreamWriter failing(&throwing);
    TBlockWriter broken(failing, 4);
    EXPECT_TRUE(broken.Add("ab")); // still gathered
    EXPECT_FALSE(broken.Add("cdef"));
    EXPECT_FALSE(broken.Add("g"));
    EXPECT_FALSE(broken.Finish());
}

TEST(StreamRecordTest, EmptyStringIsWrittenButNotReadBack)
{
    TMemoryStreamWriter writer;
    ASSERT_TRUE(writer.WriteString(""));
    EXPECT_EQ(std::string(4, '\0'), writer.MemoryStream().ToString());
    writer.MemoryStream().SetPosition(0);
    TStreamReader reader(&writer.MemoryStream());
    std::string s = "x";
    EXPECT_FALSE(reader.ReadString(s));
}

TEST(StreamRecordTest, ReadAllWantsTheWholeStream)
{
    TMemoryStream stream;
    stream.Write("abcde", 5);
    TStreamReader reader(&stream);
    stream.SetPosition(2);
    std::string s;
    EXPECT_FALSE(reader.ReadAll(s));
    EXPECT_EQ("cde", s); // only what was read, no tail
    stream.SetPosition(0);
    EXPECT_TRUE(reader.ReadAll(s));
    EXPECT_EQ("abcde", s);
}

TEST(StreamRecordTest, StreamCopiesTakeTheirPartOfTheSource)
{
    TMemoryStream stream;
    stream.Write("abcde", 5);
    TStreamReader reader(&stream);
    stream.SetPosition(2);
    TMemoryStream rest;
    EXPECT_TRUE(reader.ReadStreamContents(rest));
    EXPECT_EQ("cde", rest.ToString());

    // The source is at its end; the copy still takes all of it.
    TMemoryStreamWriter writer;
    EXPECT_TRUE(writer.CopyFromStream(stream));
    EXPECT_EQ("abcde", writer.MemoryStream().ToString());

    stream.SetPosition(4);
    TMemoryStream all;
    EXPECT_TRUE(reader.CopyToStream(all));
    EXPECT_EQ("abcde", all.ToString());
}

// A memory stream that counts the reads made past the 4-byte length field.
class TBodyReadCounter : public TMemoryStream {
public:
    int BodyReads = 0;
    int32_t Read(void* Buffer, int32_t Count) override
    {
        if (GetPosition() >= 4)
            ++BodyReads;
        return TMemoryStream::Read(Buffer, Count);
    }
};

TEST(StreamRecordTest, LengthFieldsBeyondTheDataGiveFalseAtOnce)
{
    struct {
        const char* Name;
        std::string Data;
    } cases[] = {
        {"0x7FFFFFFF", Bytes({0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b', 'c'})},
        {"one more than is left", Bytes({4, 0, 0, 0, 'a', 'b', 'c'})},
        {"negative", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 'a'})},
        {"zero", Bytes({0, 0, 0, 0, 'a'})},
        {"short length field", Bytes({3, 0})},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TBodyReadCounter stream;
        stream.Write(c.Data.data(), static_cast<int32_t>(c.Data.size()));
        stream.SetPosition(0);
        TStreamReader reader(&stream);
        std::string s = "old";
        bool result = true;
        EXPECT_NO_THROW(result = reader.ReadString(s));
        EXPECT_FALSE(result);
        EXPECT_TRUE(s.empty());
        // At once: refused from the length field alone, nothing allocated for
        // it and no attempt to read the body.
        EXPECT_EQ(0, stream.BodyReads);
        EXPECT_LT(s.capacity(), 64u);
    }
    // Exactly what is left is fine.
    TMemoryStream stream;
    const std::string exact = Bytes({3, 0, 0, 0, 'a', 'b', 'c'});
    stream.Write(exact.data(), 7);
    stream.SetPosition(0);
    TStreamReader reader(&stream);
    std::string s;
    EXPECT_TRUE(reader.ReadString(s));
    EXPECT_EQ("abc", s);
}

// ---------------------------------------------------------------------------
// Files

class FileStreamTest : public ktest::ScratchDirTest {
protected:
    std::string Path(const std::string& name) const { return dirAnsi_ + name; }
    std::string Read(const std::string& name) const
    {
        return ktest::ReadFileBytes(AnsiToWide(Path(name)));
    }
    // The temporary files of atomic saves of name ("<name>.*.tmp") left in
    // the folder.
    size_t Leftovers(const std::string& name) const
    {
        size_t count = 0;
        WIN32_FIND_DATAA data{};
        HANDLE find = FindFirstFileA((Path(name) + ".*.tmp").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return 0;
        do
            ++count;
        while (FindNextFileA(find, &data));
        FindClose(find);
        return count;
    }
};

TEST_F(FileStreamTest, WriterCreatesFoldersAppendsAndCloses)
{
    TFileWriter writer;
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer.Handle());
    writer.Close(); // never opened: nothing happens
    EXPECT_FALSE(writer.HasStream());

    const std::string file = Path("a\\b\\c.txt");
    ASSERT_TRUE(writer.Open(file));
    EXPECT_TRUE(DirectoryExistsEx(Path("a")));
    EXPECT_TRUE(DirectoryExistsEx(Path("a\\b")));
    EXPECT_NE(INVALID_HANDLE_VALUE, writer.Handle());
    EXPECT_TRUE(writer.WriteRaw("abc"));
    EXPECT_TRUE(writer.Flush());
    writer.Close();
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer.Handle());
    EXPECT_FALSE(writer.HasStream());
    EXPECT_FALSE(writer.Flush());

    TFileWriter appender;
    appender.Append = true;
    ASSERT_TRUE(appender.Open(file));
    EXPECT_TRUE(appender.WriteRaw("def"));
    appender.Close();
    EXPECT_EQ("abcdef", Read("a\\b\\c.txt"));

    // Without Append the file starts again.
    ASSERT_TRUE(writer.Open(file));
    EXPECT_TRUE(writer.WriteRaw("x"));
    // Opening again closes the first handle first.
    ASSERT_TRUE(writer.Open(Path("second.txt")));
    writer.Close();
    EXPECT_EQ("x", Read("a\\b\\c.txt"));
}

TEST_F(FileStreamTest, ReaderSharesAndCreatesNothing)
{
    WriteFile(L"r.txt", std::string("one\0two\r\n", 9));
    // Another handle writes the file; the reader shares read and write.
    HANDLE other =
        CreateFileA(Path("r.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    TFileReader reader;
    ASSERT_TRUE(reader.Open(Path("r.txt")));
    EXPECT_EQ(Path("r.txt"), reader.FileName());
    std::string content;
    EXPECT_TRUE(reader.ReadAll(content));
    EXPECT_EQ(std::string("one\0two\r\n", 9), content);
    reader.Close();
    EXPECT_EQ(INVALID_HANDLE_VALUE, reader.Handle());
    CloseHandle(other);

    EXPECT_FALSE(reader.Open(Path("nofolder\\x.txt")));
    EXPECT_EQ(INVALID_HANDLE_VALUE, reader.Handle());
    EXPECT_FALSE(DirectoryExistsEx(Path("nofolder")));
}

TEST_F(FileStreamTest, LoadFileToStringIsByteExact)
{
    std::string content;
    EXPECT_FALSE(LoadFileToString(Path("missing.txt"), content));
    EXPECT_TRUE(content.empty());

    const std::string bytes("a\0b\r\nc\r\n\0", 9);
    WriteFile(L"data.bin", bytes);
    EXPECT_TRUE(LoadFileToString(Path("data.bin"), content));
    EXPECT_EQ(bytes, content);

    WriteFile(L"empty.bin", "");
    EXPECT_TRUE(LoadFileToString(Path("empty.bin"), content));
    EXPECT_TRUE(content.empty());
}

// A child holds the file without sharing (Windows and Wine then give error 32,
// not 5); the writer and the reader retry. A short hold is given a retry time
// far beyond it, so that the open cannot lose a race with a slow holder on a
// loaded machine; a hold that outlasts the default retry time is checked by the
// clock from below only, and the writer's attempts are counted.
TEST_F(FileStreamTest, LockedFilesAreRetriedForTheRetryTime)
{
    struct {
        const char* Name;
        std::function<bool(const std::string&, DWORD)> Open;
        bool CountsAttempts; // the writer reports each CreateFileA to the recorder
    } openers[] = {
        {"writer",
         [](const std::string& f, DWORD retryTime) {
             TFileWriter w;
             w.RetryTime = retryTime;
             return w.Open(f);
         },
         true},
        {"reader",
         [](const std::string& f, DWORD retryTime) {
             TFileReader r;
             r.RetryTime = retryTime;
             return r.Open(f);
         },
         false},
    };
    const std::string file = Path("locked.txt");
    WriteFile(L"locked.txt", "content");
    for (auto& opener : openers) {
        SCOPED_TRACE(opener.Name);
        {
            filetest::TChild child;
            ASSERT_TRUE(filetest::HoldFile(child, file, 300, 0));
            EXPECT_TRUE(opener.Open(file, 60000)) << "held 300 ms";
            EXPECT_EQ(0u, child.Wait());
        }
        {
            filetest::TChild child;
            ASSERT_TRUE(filetest::HoldFile(child, file, 60000, 0));
            filetest::TRecorderScope recorder;
            const ULONGLONG start = GetTickCount64();
            EXPECT_FALSE(opener.Open(file, kDefaultRetryTime)) << "held throughout";
            const ULONGLONG elapsed = GetTickCount64() - start;
            // Given up by itself, not let in by the holder's end.
            EXPECT_TRUE(child.Running());
            child.Terminate();
            EXPECT_GE(elapsed, 700u) << "eight waits of 100 ms";
            if (opener.CountsAttempts) {
                EXPECT_EQ(size_t{kDefaultRetryTime / 100 + 1}, recorder.Calls().size())
                    << "RetryTime / 100 attempts and one last one";
            }
        }
    }
}

// The loop itself: which errors are waited out, and how many attempts.
TEST(FileRetryTest, TransientErrorsAreRetriedOthersEndTheLoop)
{
    struct {
        DWORD Error;
        DWORD RetryTime;
        unsigned Attempts;
    } cases[] = {
        {ERROR_ACCESS_DENIED, 300, 4},
        {ERROR_SHARING_VIOLATION, 300, 4},
        {ERROR_LOCK_VIOLATION, 300, 4},
        {ERROR_FILE_NOT_FOUND, 300, 2}, // the first failure, then the last attempt
        {ERROR_SHARING_VIOLATION, 0, 1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "error " << c.Error << ", retry time " << c.RetryTime);
        unsigned attempts = 0;
        EXPECT_FALSE(RetryFileOperation(c.RetryTime, [&] {
            ++attempts;
            SetLastError(c.Error);
            return false;
        }));
        EXPECT_EQ(c.Attempts, attempts);
    }
    unsigned attempts = 0;
    EXPECT_TRUE(RetryFileOperation(800, [&] {
        SetLastError(ERROR_SHARING_VIOLATION);
        return ++attempts == 3;
    }));
    EXPECT_EQ(3u, attempts);
}

// ---------------------------------------------------------------------------
// Atomic save

TEST_F(FileStreamTest, AtomicSaveReplacesAndCreates)
{
    EXPECT_TRUE(SaveFileAtomic(Path("new\\s.xml"), "first"));
    EXPECT_EQ("first", Read("new\\s.xml"));
    EXPECT_TRUE(SaveFileAtomic(Path("new\\s.xml"), std::string("sec\0nd\r\n", 8)));
    EXPECT_EQ(std::string("sec\0nd\r\n", 8), Read("new\\s.xml"));
    EXPECT_EQ(0u, Leftovers("new\\s.xml"));

    // A writer that fails leaves the old file and no tmp file.
    EXPECT_FALSE(SaveFileAtomic(Path("new\\s.xml"),
                                [](TStreamWriter& w) { return w.WriteRaw("partial") && false; }));
    EXPECT_EQ(std::string("sec\0nd\r\n", 8), Read("new\\s.xml"));
    EXPECT_EQ(0u, Leftovers("new\\s.xml"));
}

// args: ready event, target, half of the replacement's size.
KTEST_ROLE(SaveHalfAndHang)
{
    const std::string target = WideToAnsi(args.at(1));
    const size_t half = std::stoul(args.at(2));
    SaveFileAtomic(target, [&](TStreamWriter& w) {
        if (!w.WriteRaw(std::string(half, 'N')))
            return false;
        if (HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, args.at(0).c_str())) {
            SetEvent(ready);
            CloseHandle(ready);
        }
        Sleep(INFINITE); // ended from outside
        return true;
    });
    return 0;
}

TEST_F(FileStreamTest, AtomicSaveSurvivesACrashHalfway)
{
    std::string old(1024 * 1024, '\0');
    for (size_t i = 0; i < old.size(); ++i)
        old[i] = static_cast<char>(i * 7 + 3);
    WriteFile(L"startup.xml", old);
    {
        filetest::TChild child;
        ASSERT_TRUE(child.Start(L"SaveHalfAndHang",
                                {AnsiToWide(Path("startup.xml")), std::to_wstring(512 * 1024)}));
        child.Terminate();
    }
    EXPECT_EQ(old, Read("startup.xml"));
    // The next save is not hindered by the left-over tmp file (the dead
    // writer's own), and leaves none of its own.
    EXPECT_EQ(1u, Leftovers("startup.xml"));
    EXPECT_TRUE(SaveFileAtomic(Path("startup.xml"), "fresh"));
    EXPECT_EQ("fresh", Read("startup.xml"));
    EXPECT_EQ(1u, Leftovers("startup.xml"));
}

// As with the locked files: the short hold gets a retry time far beyond it,
// the long one outlasts the default retry time whatever the machine's load.
TEST_F(FileStreamTest, AtomicSaveWaitsForAShortHolderOnly)
{
    WriteFile(L"held.xml", "old");
    {
        filetest::TChild child;
        ASSERT_TRUE(filetest::HoldFile(child, Path("held.xml"), 300, 0));
        EXPECT_TRUE(SaveFileAtomic(Path("held.xml"), "new", TFileSecurity::Inherit, 60000));
        EXPECT_EQ(0u, child.Wait());
    }
    EXPECT_EQ("new", Read("held.xml"));
    {
        // Even a holder that shares everything keeps the name from being replaced.
        filetest::TChild child;
        ASSERT_TRUE(filetest::HoldFile(child, Path("held.xml"), 60000,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
        const ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(SaveFileAtomic(Path("held.xml"), "newer"));
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_TRUE(child.Running());
        EXPECT_EQ(0u, Leftovers("held.xml"));
        child.Terminate();
        EXPECT_GE(elapsed, 700u) << "retried like the writer's Open";
    }
    EXPECT_EQ("new", Read("held.xml"));
}

TEST_F(FileStreamTest, SecurityChoiceReachesTheFiles)
{
    struct {
        TFileSecurity Security;
        const char* Name;
        SECURITY_ATTRIBUTES* Expected;
    } cases[] = {
        {TFileSecurity::Inherit, "inherit", nullptr},
        {TFileSecurity::Protected, "protected", GetProtectedSecurityAttributes()},
        {TFileSecurity::Shared, "shared", GetSharedSecurityAttributes()},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string target = Path(std::string(c.Name) + ".xml");
        filetest::TRecorderScope recorder;
        ASSERT_TRUE(SaveFileAtomic(target, "x", c.Security));
        const auto calls = recorder.Calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ("CreateFileA", calls[0].Api);
        // A name of its own, made new.
        EXPECT_EQ(0u, calls[0].Path.rfind(target + ".", 0)) << calls[0].Path;
        EXPECT_EQ(calls[0].Path.size() - 4, calls[0].Path.rfind(".tmp")) << calls[0].Path;
        EXPECT_EQ(c.Expected != nullptr, calls[0].HasDescriptor);
        if (c.Expected) {
            EXPECT_EQ(filetest::DaclSddl(c.Expected->lpSecurityDescriptor), calls[0].Sddl);
            EXPECT_EQ(c.Security == TFileSecurity::Shared, filetest::HasWorldEntry(calls[0].Sddl));
        }
    }
    // The writer's own default is to inherit.
    TFileWriter writer;
    EXPECT_EQ(TFileSecurity::Inherit, writer.Security);
    EXPECT_FALSE(writer.ShareRead);
    EXPECT_FALSE(writer.ShareWrite);
    EXPECT_FALSE(writer.Append);
    EXPECT_EQ(800u, writer.RetryTime);
    TFileReader reader;
    EXPECT_TRUE(reader.ShareRead);
    EXPECT_TRUE(reader.ShareWrite);
    EXPECT_EQ(800u, reader.RetryTime);
}

} // namespace
