#include "platform/ClassesU.h"

#include "KorvTest.h"

#include <string>

using namespace std::string_literals;

namespace {

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

// Seeks, reads at the end and writes past it: the behaviour every stream shares.
void CheckReadAndSeek(TStream& stream, const std::string& content)
{
    ASSERT_EQ(static_cast<int64_t>(content.size()), stream.GetSize());
    EXPECT_EQ(3, stream.Seek(3, TSeekOrigin::Begin));
    EXPECT_EQ(5, stream.Seek(2, TSeekOrigin::Current));
    EXPECT_EQ(static_cast<int64_t>(content.size()) - 4, stream.Seek(-4, TSeekOrigin::End));
    char buf[16] = {};
    // A short read at the end returns the count and no exception.
    EXPECT_EQ(4, stream.Read(buf, sizeof buf));
    EXPECT_EQ(content.substr(content.size() - 4), std::string(buf, 4));
    EXPECT_EQ(0, stream.Read(buf, sizeof buf));
    stream.Seek(-2, TSeekOrigin::End);
    EXPECT_THROW(stream.ReadBuffer(buf, 3), EStreamError);
    EXPECT_EQ(content, ReadWholeStream(stream));
}

} // namespace

TEST(ClassesU, MemoryStreamGrowsSeeksAndReadsShort)
{
    TMemoryStream stream;
    const std::string content = Pattern(100000);
    // Writes of growing sizes, so the block grows many times.
    for (size_t pos = 0, n = 1; pos < content.size(); pos += n, n = n * 2 + 1) {
        const size_t len = std::min(n, content.size() - pos);
        EXPECT_EQ(static_cast<int32_t>(len),
                  stream.Write(content.data() + pos, static_cast<int32_t>(len)));
    }
    EXPECT_EQ(static_cast<int64_t>(content.size()), stream.GetPosition());
    EXPECT_EQ(content, stream.ToString());
    CheckReadAndSeek(stream, content);

    // A write after a seek past the end fills the gap with zeros.
    TMemoryStream gap;
    gap.WriteBuffer("ab", 2);
    gap.Seek(5, TSeekOrigin::Begin);
    gap.WriteBuffer("z", 1);
    EXPECT_EQ("ab\0\0\0z"s, gap.ToString());
    EXPECT_THROW(gap.Seek(-1, TSeekOrigin::Begin), EStreamError);
    EXPECT_THROW(gap.Seek(-7, TSeekOrigin::End), EStreamError);
    EXPECT_EQ(6, gap.GetPosition()) << "a failed seek leaves the position";

    gap.SetSize(2);
    EXPECT_EQ(2, gap.GetPosition());
    EXPECT_EQ("ab", gap.ToString());
    gap.Clear();
    EXPECT_EQ(0, gap.GetSize());
    EXPECT_EQ(0, gap.GetPosition());
}

TEST(ClassesU, CopyFromTakesAllFromTheStartOrACount)
{
    TMemoryStream source;
    source.WriteBuffer("0123456789", 10);
    source.Seek(4, TSeekOrigin::Begin);

    TMemoryStream all;
    EXPECT_EQ(10, all.CopyFrom(source, 0));
    EXPECT_EQ("0123456789", all.ToString());

    source.Seek(4, TSeekOrigin::Begin);
    TMemoryStream part;
    EXPECT_EQ(3, part.CopyFrom(source, 3));
    EXPECT_EQ("456", part.ToString());
    EXPECT_THROW(part.CopyFrom(source, 10), EStreamError) << "only 3 bytes are left";
}

class ClassesUFile : public ktest::ScratchDirTest {};

TEST_F(ClassesUFile, HandleStreamOverAFileOnDriveC)
{
    ASSERT_EQ(L'C', towupper(dir_[0]));
    const std::wstring path = dir_ + L"stream.bin";
    const std::string content = Pattern(70000);
    {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        THandleStream stream(h);
        stream.WriteBuffer(content.data(), static_cast<int32_t>(content.size()));
        CheckReadAndSeek(stream, content);

        stream.SetSize(10);
        EXPECT_EQ(10, stream.GetSize());
        EXPECT_THROW(stream.Seek(-1, TSeekOrigin::Begin), EStreamError);
        CloseHandle(h);
    }
    EXPECT_EQ(content.substr(0, 10), ktest::ReadFileBytes(path));

    // Writing through a handle opened for reading only fails loudly.
    HANDLE ro = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, ro);
    THandleStream readOnly(ro);
    try {
        readOnly.Write("x", 1);
        ADD_FAILURE() << "no exception";
    } catch (const EStreamError& e) {
        EXPECT_NE(nullptr, strstr(e.what(), "Stream write error")) << e.what();
    }
    EXPECT_THROW(readOnly.SetSize(0), EStreamError);
    CloseHandle(ro);
    EXPECT_EQ(content.substr(0, 10), ktest::ReadFileBytes(path)) << "nothing was changed";
}

TEST(ClassesU, ResourceStreamReadsRcdataByteExact)
{
    std::wstring fixture = ktest::ProgramPath();
    fixture.resize(fixture.find_last_of(L'\\') + 1);
    fixture += L"fixtures\\resource_text.txt";
    const std::string expected = ktest::ReadFileBytes(fixture);
    ASSERT_FALSE(expected.empty()) << "fixture beside the program";

    TResourceStream stream(GetModuleHandleW(nullptr), L"TESTTEXT");
    EXPECT_EQ(expected, ReadWholeStream(stream));
    EXPECT_EQ(0, memcmp(expected.data(), stream.Memory(), expected.size()));
    CheckReadAndSeek(stream, expected);
    EXPECT_THROW(stream.Write("x", 1), EStreamError);
    EXPECT_THROW(stream.SetSize(0), EStreamError);
    EXPECT_EQ(expected, ReadWholeStream(stream)) << "unchanged";
}

TEST(ClassesU, MissingResourceThrows)
{
    EXPECT_THROW(TResourceStream(GetModuleHandleW(nullptr), L"NOSUCHRESOURCE"), EStreamError);
    // The name exists, but not as this type.
    EXPECT_THROW(TResourceStream(GetModuleHandleW(nullptr), L"TESTTEXT", RT_HTML), EStreamError);
    try {
        TResourceStream stream(GetModuleHandleW(nullptr), L"NOSUCHRESOURCE");
        ADD_FAILURE() << "no exception";
    } catch (const EStreamError& e) {
        EXPECT_NE(nullptr, strstr(e.what(), "NOSUCHRESOURCE")) << e.what();
    }
}
