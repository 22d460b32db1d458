#include "platform/StringListU.h"

#include "platform/SysUtilsU.h"

#include "KorvTest.h"

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

std::vector<std::string> Lines(const TStringList& list)
{
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i)
        out.push_back(list[i]);
    return out;
}

// Counts its own destruction, to see who frees objects.
struct Tracked : TObject {
    explicit Tracked(int& deaths) : deaths_(deaths) {}
    ~Tracked() override { ++deaths_; }
    int& deaths_;
};

// Every line stands after the one before it under the list's comparison, and a
// bisection for it finds the first of its equals.
void CheckSortedAndFindable(const TStringList& list)
{
    for (int i = 0; i < list.Count(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i) + " '" + list[i] + "'");
        if (i > 0) {
            ASSERT_LE(list.Compare(list[i - 1], list[i]), 0);
        }
        int index = -1;
        ASSERT_TRUE(list.Find(list[i], index));
        ASSERT_LE(index, i);
        EXPECT_EQ(0, list.Compare(list[index], list[i]));
        if (index > 0) {
            EXPECT_LT(list.Compare(list[index - 1], list[i]), 0);
        }
        EXPECT_EQ(index, list.IndexOf(list[i]));
    }
}

} // namespace

TEST(TextStringList, TextSplitsAtCrLfOrCrLf)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"CR LF alone", "\r\n", {""}},
        {"CR alone", "\r", {""}},
        {"LF alone", "\n", {""}},
        {"unterminated", "a", {"a"}},
        {"terminated", "a\r\n", {"a"}},
        {"LF LF", "a\n\nb", {"a", "", "b"}},
        {"CR CR", "a\r\rb", {"a", "", "b"}},
        {"LF CR is two breaks", "a\n\rb", {"a", "", "b"}},
        {"mixed", "a\rb\nc\r\n\r\nd\r\n", {"a", "b", "c", "", "d"}},
        {"CR CR LF", "\r\r\n", {"", ""}},
        {"blanks kept", " x \r\n\t", {" x ", "\t"}},
        {"NUL and high bytes kept", "a\0b\r\n\xE4\xFF"s, {"a\0b"s, "\xE4\xFF"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStringList list;
        list.Add("old");
        list.SetText(c.text);
        EXPECT_EQ(c.lines, Lines(list));
    }

    TStringList list;
    EXPECT_EQ("", list.GetText());
    list.SetText("a\n\nb");
    EXPECT_EQ("a\r\n\r\nb\r\n", list.GetText());
    list.SetText("\r\n");
    EXPECT_EQ("\r\n", list.GetText());
}

TEST(TextStringList, NameValueLines)
{
    TStringList list;
    list.SetText("plain\r\nkey=1\r\nKEY=2\r\nk=\r\na=b=c\r\n=v\r\n");
    EXPECT_EQ("1", list.Values("Key"));
    EXPECT_EQ(1, list.IndexOfName("KEY"));
    EXPECT_EQ(3, list.IndexOfName("k")) << "\"k=\" is found";
    EXPECT_EQ("", list.Values("k"));
    EXPECT_EQ("b=c", list.Values("A"));
    EXPECT_EQ(-1, list.IndexOfName("plain")) << "a line without '=' has no name";
    EXPECT_EQ(-1, list.IndexOfName("ke"));
    EXPECT_EQ("", list.Values("missing"));
    EXPECT_EQ("", list.Names(0));
    EXPECT_EQ("a", list.Names(4));
    EXPECT_EQ("b=c", list.ValueFromIndex(4));
    EXPECT_EQ("", list.ValueFromIndex(0));
    if (GetACP() == 1252) {
        TStringList umlaut;
        umlaut.Add("\xC4rger=1");
        EXPECT_EQ(0, umlaut.IndexOfName("\xE4RGER"))
            << "names compare through the system's mapping";
    }

    list.SetValue("KEY", "9");
    EXPECT_EQ("KEY=9", list[1]) << "the first match is replaced under the new name";
    EXPECT_EQ("KEY=2", list[2]);
    list.SetValue("new", "x");
    EXPECT_EQ("new=x", list[list.Count() - 1]);
    const int before = list.Count();
    list.SetValue("key", "");
    EXPECT_EQ(before - 1, list.Count());
    EXPECT_EQ("2", list.Values("key")) << "the next line of that name is first now";
    list.SetValue("absent", "");
    EXPECT_EQ(before - 1, list.Count());
}

TEST(TextStringList, ObjectsStayWithTheirLinesAndAreFreedOnlyWhenOwned)
{
    int deaths = 0;
    {
        TStringList owning(true);
        auto* b = new Tracked(deaths);
        auto* a = new Tracked(deaths);
        owning.AddObject("b", b);
        owning.AddObject("a", a);
        owning.AddObject("c", nullptr);
        owning.Sort();
        EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), Lines(owning));
        EXPECT_EQ(a, owning.Objects(0));
        EXPECT_EQ(b, owning.Objects(1));
        EXPECT_EQ(nullptr, owning.Objects(2));

        EXPECT_EQ(a, owning.Extract(0));
        EXPECT_EQ(0, deaths) << "extracted, not freed";
        delete a;
        EXPECT_EQ(1, deaths);

        owning.SetObject(0, new Tracked(deaths));
        EXPECT_EQ(2, deaths) << "the replaced owned object is freed";
        owning.Delete(0);
        EXPECT_EQ(3, deaths);
        owning.AddObject("d", new Tracked(deaths));
    }
    EXPECT_EQ(4, deaths) << "the destructor frees what is left";

    deaths = 0;
    Tracked kept(deaths);
    {
        TStringList borrowing;
        borrowing.AddObject("x", &kept);
        borrowing.SetObject(0, &kept);
        borrowing.Delete(0);
        borrowing.AddObject("y", &kept);
        borrowing.Clear();
        borrowing.AddObject("z", &kept);
    }
    EXPECT_EQ(0, deaths);
}

TEST(TextStringList, SortedModeKeepsRepeatsAndFindsWithItsOwnComparison)
{
    // Mixed case, "_" between the upper- and lower-case letters, and bytes above
    // 0x7F: a locale-aware sort searched byte-wise, or a signed comparison,
    // misses some of these.
    const std::vector<std::string> input = {
        "b",
        "B",
        "a",
        "_x",
        "\xE4",
        "\xC4",
        "Z",
        "z",
        "\x80x",
        "a",
        "Ab",
        "aB",
        "\xFF",
        "~",
        "",
        "\xE4"
        "b",
        "1",
        "_x",
    };
    TStringList list;
    for (const std::string& s : input)
        list.Add(s);
    list.SetSorted(true);
    ASSERT_EQ(static_cast<int>(input.size()), list.Count()) << "repeats are kept";
    CheckSortedAndFindable(list);

    // Upper-cased, "_" (0x5F) follows "Z", and 0x80 follows both.
    int z = -1, underscore = -1, high = -1;
    ASSERT_TRUE(list.Find("z", z));
    ASSERT_TRUE(list.Find("_x", underscore));
    ASSERT_TRUE(list.Find("\x80x", high));
    EXPECT_LT(z, underscore);
    EXPECT_LT(underscore, high);
    EXPECT_EQ("_x", list[underscore + 1]) << "both repeats next to each other";

    // Adding keeps the order; a missing line gives its insertion place.
    list.Add("m");
    list.Add("A");
    CheckSortedAndFindable(list);
    int index = -1;
    EXPECT_FALSE(list.Find("n", index));
    EXPECT_LT(list.Compare(list[index - 1], "n"), 0);
    EXPECT_GT(list.Compare(list[index], "n"), 0);
    EXPECT_EQ(-1, list.IndexOf("n"));

    // A changed line moves to its place.
    list.SetString(0, "zz");
    CheckSortedAndFindable(list);

    // Case-sensitive: plain unsigned bytes.
    list.SetCaseSensitive(true);
    CheckSortedAndFindable(list);
    int upperB = -1, lowerA = -1;
    ASSERT_TRUE(list.Find("B", upperB));
    ASSERT_TRUE(list.Find("a", lowerA));
    EXPECT_LT(upperB, lowerA);
    EXPECT_FALSE(list.Find("ZZ", index));
}

TEST(TextStringList, SortedModeHoldsForManyGeneratedLines)
{
    // Lines drawn from letters of both cases, punctuation and high bytes, many of
    // them repeated.
    static constexpr char kAlphabet[] = "aAbBzZ_~09 \x7F\x80\xC4\xE4\xDF\xFF\x81\x40";
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    TStringList list;
    list.SetSorted(true);
    std::string text;
    for (int i = 0; i < 600; ++i) {
        std::string line;
        for (uint32_t n = 1 + next() % 3; n > 0; --n)
            line += kAlphabet[next() % (sizeof kAlphabet - 1)];
        list.Add(line);
        text += line + "\r\n";
    }
    EXPECT_EQ(600, list.Count());
    CheckSortedAndFindable(list);

    // Loaded as text the sorted list comes out the same.
    TStringList loaded;
    loaded.SetSorted(true);
    loaded.SetText(text);
    EXPECT_EQ(list.GetText().size(), loaded.GetText().size());
    CheckSortedAndFindable(loaded);
}

// A sorted list upper-cases each line once, when it enters: a bisection that
// upper-cased the lines it meets would map the one long line on every later
// insertion (a catalogue with a 230 KB path among a few hundred short ones
// took seconds).
TEST(TextStringList, SortedModeMapsEachLineOnce)
{
    TStringList list;
    list.SetSorted(true);
    const std::string longLine = "%windir%\\windowsupdate.l" + std::string(100000, '\xF5') + "og";
    const std::string shortLine = "%windir%\\windowsupdate.log";
    const uint64_t before = CaseMappedBytes();
    list.Add(longLine);
    uint64_t total = longLine.size();
    for (int i = 0; i < 1000; ++i) {
        list.Add(shortLine);
        int index = -1;
        ASSERT_TRUE(list.Find(shortLine, index));
        total += 2 * shortLine.size();
    }
    EXPECT_EQ(1001, list.Count());
    EXPECT_EQ(longLine, list[1000]);
    // Each line mapped when added and each probe once: nothing more.
    EXPECT_EQ(total, CaseMappedBytes() - before);
}

// The keys a sorted list keeps follow its lines through every way they
// change: unsorted edits before sorting, a changed line, and the case mode.
TEST(TextStringList, SortedKeysFollowEditsAndCaseMode)
{
    TStringList list;
    list.Add("beta");
    list.Add("Alpha");
    list.SetString(0, "Gamma");
    list.SetSorted(true);
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Gamma"}), Lines(list));
    list.SetString(0, "zeta");
    EXPECT_EQ((std::vector<std::string>{"Gamma", "zeta"}), Lines(list));
    int index = -1;
    EXPECT_TRUE(list.Find("ZETA", index));
    EXPECT_EQ(1, index);
    list.SetCaseSensitive(true);
    EXPECT_FALSE(list.Find("ZETA", index));
    list.Add("Delta");
    list.SetCaseSensitive(false);
    EXPECT_TRUE(list.Find("delta", index));
    EXPECT_TRUE(list.Find("gamma", index));
    EXPECT_TRUE(list.Find("ZeTa", index));
    CheckSortedAndFindable(list);
}

TEST(TextStringList, UnsortedSearchIgnoresCaseThroughTheSystemMapping)
{
    TStringList list;
    list.SetText("One\r\ntwo\r\nTWO\r\n");
    EXPECT_EQ(1, list.IndexOf("Two"));
    EXPECT_EQ(-1, list.IndexOf("thre"));
    list.SetCaseSensitive(true);
    EXPECT_EQ(2, list.IndexOf("TWO"));
    EXPECT_EQ(-1, list.IndexOf("Two"));

    list.Insert(0, "first");
    EXPECT_EQ("first", list[0]);
    list.Insert(list.Count(), "last");
    EXPECT_EQ("last", list[list.Count() - 1]);
    EXPECT_THROW(list.Insert(99, "x"), std::out_of_range);
    EXPECT_THROW(list.Delete(-1), std::out_of_range);
}
