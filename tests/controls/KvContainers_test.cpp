#include "platform/ClassesU.h"

#include "controls/KvCardinalHash.h"
#include "controls/KvContainers.h"
#include "controls/KvObjectVector.h"
#include "controls/KvWideString2CardinalVector.h"
#include "controls/KvWideStringHash.h"
#include "controls/KvWideStringVector.h"

#include "ControlsTest.h"
#include "KorvTest.h"

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using ctest::LiveBufferTest;
using ctest::ThrowsWith;

namespace {

// Test items: a short name in 8 bytes; every callback is recorded.
struct Name8 {
    char text[8];
};
std::vector<std::string> gLog;
int gNextInit = 0;

void InitName(void* item)
{
    std::snprintf(static_cast<Name8*>(item)->text, 8, "#%d", gNextInit++);
}
void FreeName(void* item)
{
    gLog.push_back(static_cast<Name8*>(item)->text);
}
void CopyName(const void* s, void* d)
{
    std::memcpy(d, s, sizeof(Name8));
}
void SetName(void* item, const char* name)
{
    std::snprintf(static_cast<Name8*>(item)->text, 8, "%s", name);
}
std::string NameOf(const void* item)
{
    return item ? static_cast<const Name8*>(item)->text : "(nil)";
}
bool SameName(const void* item, const void* data)
{
    return NameOf(item) == static_cast<const char*>(data);
}

// Handlers made and freed per test; Free refuses while a container uses them.
struct NameHandler {
    NameHandler(bool withCopy = true)
    {
        h = new TKvItemHandler();
        h->SetItemSize(sizeof(Name8));
        h->SetOnInitItem(&InitName);
        h->SetOnFreeItem(&FreeName);
        if (withCopy)
            h->SetOnCopyItem(&CopyName);
        gLog.clear();
        gNextInit = 0;
    }
    ~NameHandler() { h->Free(); }
    TKvItemHandler* h;
};

std::vector<std::string> ForwardNames(TKvLinearContainer& c)
{
    std::vector<std::string> names;
    c.Iterate([&](void* item) { names.push_back(NameOf(item)); });
    return names;
}

std::vector<std::string> BackwardNames(const TKvTree& tree)
{
    std::vector<std::string> names;
    for (void* item = tree.PLastItem(); item; item = tree.PrevItem(item))
        names.push_back(NameOf(item));
    return names;
}

using Names = std::vector<std::string>;

} // namespace

TEST(KvContainers, CapacityRules)
{
    const std::pair<int, int> capacity[] = {
        {0, 0},   {1, 1},   {2, 2},   {3, 4},   {4, 4},   {5, 6},    {7, 8},   {9, 10},
        {11, 12}, {15, 16}, {17, 20}, {20, 20}, {21, 24}, {24, 24},  {25, 28}, {28, 28},
        {29, 32}, {32, 32}, {33, 40}, {40, 40}, {95, 96}, {97, 112},
    };
    for (auto [n, expected] : capacity)
        EXPECT_EQ(expected, ContainerCapacity(n)) << "ContainerCapacity(" << n << ")";
    const std::pair<int, int> threshold[] = {
        {0, 0}, {1, 1}, {2, 2}, {4, 3}, {8, 7}, {9, 9}, {20, 17}, {32, 29}, {40, 33},
    };
    for (auto [m, expected] : threshold)
        EXPECT_EQ(expected, ShrinkThreshold(m)) << "ShrinkThreshold(" << m << ")";
}

TEST(KvContainers, HashFunctions)
{
    EXPECT_EQ(0u, HashWideString(WideString()));
    EXPECT_EQ(97u, HashWideString(WideString(u"a")));
    EXPECT_EQ(3105u, HashWideString(WideString(u"ab")));
    EXPECT_EQ(0xAF227BB7u, HashCardinal(1));
    EXPECT_EQ(0x1E3BA9B1u, HashCardinal(0x80000000u));
    EXPECT_EQ(0x047D84DFu, HashCardinal(0xFFFFFFFFu));
    const char16_t buf[] = u"xTaBLE";
    EXPECT_EQ(HashWideString(WideString(u"TaBLE")), HashWideBuf(buf + 1, 5));
    EXPECT_EQ(HashWideStringCI(WideString(u"table")), HashWideBufCI(buf + 1, 5));
    EXPECT_NE(HashWideString(WideString(u"table")), HashWideBuf(buf + 1, 5));
}

class KvHashTest : public LiveBufferTest {};

TEST_F(KvHashTest, BucketCountGrowsWithTheEntries)
{
    TKvCardinalHash hash(KvCardinalKeyHandler());
    EXPECT_EQ(7, hash.HashCount());
    std::vector<std::pair<int, int>> changes;
    for (uint32_t k = 0; k < 240; ++k) {
        int before = hash.HashCount();
        *static_cast<uint32_t*>(hash.Insert(&k)) = k * 2;
        if (hash.HashCount() != before)
            changes.push_back({hash.Count(), hash.HashCount()});
    }
    const std::vector<std::pair<int, int>> expected = {
        {7, 15},  {15, 23},  {23, 31},   {31, 39},   {39, 47},   {47, 55},   {55, 63},   {63, 71},
        {71, 87}, {87, 103}, {103, 119}, {119, 135}, {135, 167}, {167, 199}, {199, 231}, {231, 263},
    };
    EXPECT_EQ(expected, changes);
    for (uint32_t k = 0; k < 240; ++k)
        ASSERT_EQ(k * 2, *static_cast<uint32_t*>(hash.Find(&k))) << k;
}

TEST_F(KvHashTest, SetHashCount)
{
    TKvCardinalHash hash(KvCardinalKeyHandler());
    hash.SetHashCount(0);
    EXPECT_EQ(7, hash.HashCount());
    hash.SetHashCount(8);
    EXPECT_EQ(15, hash.HashCount());
    hash.SetHashCount(120);
    EXPECT_EQ(127, hash.HashCount());
    hash.SetHashCount(140);
    EXPECT_EQ(143, hash.HashCount());
    hash.SetHashCount(253);
    EXPECT_EQ(255, hash.HashCount());
    for (uint32_t k = 1; k <= 4; ++k)
        hash.Insert(&k);
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { hash.SetHashCount(3); },
                                              "Class TKvCardinalHash: Invalid HashCount (3)"));
    EXPECT_EQ(255, hash.HashCount());
    EXPECT_EQ(4, hash.Count());
    for (uint32_t k = 1; k <= 4; ++k)
        EXPECT_NE(nullptr, hash.Find(&k));
    hash.Clear();
    EXPECT_EQ(7, hash.HashCount());
    EXPECT_EQ(0, hash.SlotCount());
}

TEST_F(KvHashTest, CaseInsensitiveKeysAndBufferLookups)
{
    TKvCardinalHash hash(KvWideStringKeyHandlerCI());
    WideString table(u"TABLE");
    *static_cast<uint32_t*>(hash.Insert(&table)) = 96;
    WideString lower(u"table");
    EXPECT_EQ(nullptr, hash.Insert(&lower));
    EXPECT_EQ(1, hash.Count());
    EXPECT_EQ(u"TABLE", static_cast<WideString*>(hash.PKeyAtSlot(0))->View());
    const char16_t text[] = u"<tAbLe>";
    EXPECT_EQ(96u, hash.CardinalOfKeyBuf(text + 1, 5));
    EXPECT_EQ(0u, hash.CardinalOfKeyBuf(text + 1, 4));

    TKvWideStringHash exact(KvWideStringKeyHandler());
    *static_cast<WideString*>(exact.Insert(&table)) = WideString(u"upper");
    EXPECT_EQ(nullptr, exact.Find(&lower));
    EXPECT_NE(nullptr, exact.FindBuf(u"TABLE", 5));
    EXPECT_EQ(nullptr, exact.FindBuf(u"table", 5));
}

TEST_F(KvHashTest, DuplicatesDeletionSlotReuseAndPack)
{
    TKvWideStringHash hash(KvWideStringKeyHandler());
    auto put = [&](const std::string& k) {
        WideString key = ctest::Wide(k);
        void* item = hash.Insert(&key);
        if (item)
            *static_cast<WideString*>(item) = key;
        return item;
    };
    auto keys = [&] {
        std::vector<std::string> out;
        for (int i = 0; i < hash.SlotCount(); ++i)
            out.push_back(hash.IsSlotDeleted(i)
                              ? "-"
                              : ctest::Narrow(*static_cast<WideString*>(hash.PKeyAtSlot(i))));
        return out;
    };
    // Twenty entries: up to three deletions stay below the shrink threshold (17).
    std::vector<std::string> expected;
    for (char c = 'a'; c < 'a' + 20; ++c) {
        put(std::string(1, c));
        expected.push_back(std::string(1, c));
    }
    WideString c = ctest::Wide("c");
    *static_cast<WideString*>(hash.Find(&c)) = WideString(u"item of c");
    EXPECT_EQ(nullptr, put("c"));
    EXPECT_EQ(u"item of c", static_cast<WideString*>(hash.Find(&c))->View());
    EXPECT_EQ(u"c", static_cast<WideString*>(hash.PKeyAtSlot(2))->View());
    EXPECT_EQ(hash.FindOrInsert(&c), hash.Find(&c));
    EXPECT_EQ(20, hash.Count());
    *static_cast<WideString*>(hash.Find(&c)) = c;

    WideString absent(u"zz");
    hash.Delete(&absent);
    EXPECT_EQ(20, hash.Count());

    WideString b(u"b"), e(u"e");
    hash.Delete(&b);
    hash.Delete(&e);
    EXPECT_EQ(20, hash.SlotCount());
    EXPECT_EQ(4, hash.FirstDeleted());
    EXPECT_EQ(0x40000001u, hash.SlotHeader(4)); // bit 30 and the next free slot
    EXPECT_EQ(0xC0000000u, hash.SlotHeader(1)); // the end of the free list
    expected[1] = expected[4] = "-";
    EXPECT_EQ(expected, keys());
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { hash.PKeyAtSlot(1); },
                                              "Class TKvWideStringHash: Item is deleted"));
    EXPECT_TRUE(ThrowsWith<EKvContainerError>(
        [&] { hash.IsSlotDeleted(20); }, "Class TKvWideStringHash: List index out of bounds (20)"));

    // The most recently freed slot is taken first: "x" lands where "e" was, and
    // forward scans meet it there.
    put("x");
    expected[4] = "x";
    EXPECT_EQ(expected, keys());
    EXPECT_EQ(1, hash.FirstDeleted());
    std::vector<std::string> seen;
    hash.Iterate(
        [&](void* item) { seen.push_back(ctest::Narrow(*static_cast<WideString*>(item))); });
    std::vector<std::string> live;
    for (const auto& k : expected)
        if (k != "-")
            live.push_back(k);
    EXPECT_EQ(live, seen);

    hash.Pack();
    EXPECT_EQ(live, keys());
    EXPECT_EQ(19, hash.SlotCount());
    EXPECT_LT(hash.FirstDeleted(), 0);
    for (const auto& k : live) {
        WideString key = ctest::Wide(k);
        ASSERT_NE(nullptr, hash.Find(&key)) << k;
    }
    // Deleting below the threshold packs on its own.
    for (const char* k : {"f", "g", "h"}) {
        WideString key = ctest::Wide(k);
        hash.Delete(&key);
    }
    EXPECT_EQ(16, hash.Count());
    EXPECT_EQ(16, hash.SlotCount());
}

TEST_F(KvHashTest, RandomStepsAgreeWithAMap)
{
    TKvWideStringHash hash(KvWideStringKeyHandlerCI());
    std::map<std::u16string, std::u16string> model;
    std::mt19937 rng(12345);
    auto fold = [](std::u16string s) {
        for (auto& c : s)
            c = WideFold(c);
        return s;
    };
    for (int step = 0; step < 10000; ++step) {
        std::u16string key(3, u'k');
        key[1] = static_cast<char16_t>(u'A' + rng() % 26);
        key[2] = static_cast<char16_t>(u'a' + rng() % 8);
        if (rng() % 2)
            key[1] = static_cast<char16_t>(key[1] + 32); // same key in the other case
        WideString k(key);
        switch (rng() % 3) {
        case 0: {
            void* item = hash.Insert(&k);
            bool fresh = model.find(fold(key)) == model.end();
            ASSERT_EQ(fresh, item != nullptr) << step;
            if (item) {
                *static_cast<WideString*>(item) = k;
                model[fold(key)] = key;
            }
            break;
        }
        case 1:
            hash.Delete(&k);
            model.erase(fold(key));
            break;
        default: {
            auto* item = static_cast<WideString*>(hash.Find(&k));
            auto it = model.find(fold(key));
            ASSERT_EQ(it != model.end(), item != nullptr) << step;
            if (item) {
                ASSERT_EQ(it->second, item->View());
            }
        }
        }
        ASSERT_EQ(static_cast<int>(model.size()), hash.Count());
        ASSERT_GE(hash.HashCount(), hash.Count());
    }
}

namespace {

// Number keys whose hash is the key itself, so that tests choose the buckets.
uint32_t HashIsKey(const void* key)
{
    return *static_cast<const uint32_t*>(key);
}
bool SameNumber(const void* a, const void* b)
{
    return *static_cast<const uint32_t*>(a) == *static_cast<const uint32_t*>(b);
}
void CopyNumber(const void* source, void* dest)
{
    std::memcpy(dest, source, sizeof(uint32_t));
}

// The slots of a bucket's chain, first to last.
std::vector<int> Chain(const TKvHash& hash, int bucket)
{
    std::vector<int> slots;
    for (int i = hash.BucketHead(bucket); i >= 0; i = static_cast<int>(hash.SlotHeader(i)))
        slots.push_back(i);
    return slots;
}

} // namespace

TEST_F(KvHashTest, ChainsAppendRehashReversesFreeListSurvives)
{
    auto* keys = new TKvKeyHandler();
    keys->SetKeySize(sizeof(uint32_t));
    keys->SetOnHashKey(&HashIsKey);
    keys->SetOnSameKeys(&SameNumber);
    keys->SetOnStoreKey(&CopyNumber);
    {
        TKvCardinalHash hash(keys);
        // 7, 14 and 21 share bucket 0; new entries go to the chain's end.
        for (uint32_t k : {7u, 14u, 21u})
            hash.Insert(&k);
        EXPECT_EQ((std::vector<int>{0, 1, 2}), Chain(hash, 0));
        EXPECT_EQ(0x80000000u, hash.SlotHeader(2));
        // A rehash lists each chain from the highest slot down.
        hash.Rehash();
        EXPECT_EQ((std::vector<int>{2, 1, 0}), Chain(hash, 0));
        uint32_t k28 = 28;
        hash.Insert(&k28);
        EXPECT_EQ((std::vector<int>{2, 1, 0, 3}), Chain(hash, 0));
        // A deleted slot heads the free list and keeps it through a rehash.
        uint32_t k14 = 14;
        hash.Delete(&k14);
        EXPECT_EQ((std::vector<int>{2, 0, 3}), Chain(hash, 0));
        hash.Rehash();
        EXPECT_EQ((std::vector<int>{3, 2, 0}), Chain(hash, 0));
        EXPECT_EQ(1, hash.FirstDeleted());
        EXPECT_EQ(0xC0000000u, hash.SlotHeader(1));
        uint32_t k35 = 35;
        hash.Insert(&k35);
        EXPECT_EQ((std::vector<int>{3, 2, 0, 1}), Chain(hash, 0));
        // The bucket is the hash modulo the bucket count, both unsigned:
        // $FFFFFFFF mod 7 is 3 (a signed modulo would give a negative index).
        uint32_t high = 0xFFFFFFFFu;
        *static_cast<uint32_t*>(hash.Insert(&high)) = 1;
        EXPECT_EQ((std::vector<int>{4}), Chain(hash, 3));
        EXPECT_EQ(1u, *static_cast<uint32_t*>(hash.Find(&high)));
    }
    keys->Free();
}

class KvLinearTest : public LiveBufferTest {};

TEST_F(KvLinearTest, TreeOrderForwardsBackwardsAndClear)
{
    NameHandler names;
    {
        TKvTree tree(names.h);
        void* a = tree.InsertLast();
        SetName(a, "A");
        SetName(tree.InsertLast(), "B");
        SetName(tree.InsertLastChild(a), "A2");
        void* a1 = tree.InsertFirstChild(a);
        SetName(a1, "A1");
        SetName(tree.InsertLastChild(a1), "A1a");
        EXPECT_EQ((Names{"A", "A1", "A1a", "A2", "B"}), ForwardNames(tree));
        EXPECT_EQ((Names{"B", "A2", "A1a", "A1", "A"}), BackwardNames(tree));
        EXPECT_EQ("A", NameOf(tree.PFirstItem()));
        EXPECT_EQ("B", NameOf(tree.PLastItem()));
        EXPECT_EQ("A", NameOf(tree.FindFirst("A", &SameName)));
        EXPECT_TRUE(tree.ExistsBackward("A1a", &SameName));
        EXPECT_FALSE(tree.Exists("C", &SameName));
        void* b = tree.FindFirst("B", &SameName);
        SetName(tree.InsertLastChild(b), "B1");
        EXPECT_EQ("B1", NameOf(tree.PLastItem()));
        EXPECT_EQ(6, tree.Count());
        gLog.clear();
        tree.Clear();
        EXPECT_EQ((Names{"B1", "B", "A2", "A1a", "A1", "A"}), gLog);
        EXPECT_EQ(0, tree.Count());
        EXPECT_EQ(nullptr, tree.PFirstItem());
        EXPECT_EQ(nullptr, tree.PLastItem());
    }
}

TEST_F(KvLinearTest, ListAsAStack)
{
    NameHandler names;
    TKvList list(names.h);
    EXPECT_EQ(nullptr, list.PLastItem());
    SetName(list.InsertLast(), "b");
    SetName(list.InsertFirst(), "a");
    void* raw = list.InsertLastRaw();
    EXPECT_EQ(2, gNextInit); // the Raw form called no OnInitItem
    SetName(raw, "c");
    EXPECT_EQ((Names{"a", "b", "c"}), ForwardNames(list));
    EXPECT_EQ("c", NameOf(list.FindLast("c", &SameName)));
    list.DeleteLast();
    EXPECT_EQ((Names{"c"}), gLog);
    EXPECT_EQ("b", NameOf(list.PLastItem()));
    list.DeleteLast();
    list.DeleteLast();
    EXPECT_FALSE(list.NotEmpty());
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { list.DeleteLast(); },
                                              "Class TKvList: Container is empty"));
}

TEST_F(KvLinearTest, VectorSetCountInitsAscendingFreesDescending)
{
    NameHandler names;
    TKvVector vector(names.h);
    vector.SetCount(5);
    EXPECT_EQ(6, vector.Capacity());
    const Names initialised = {"#0", "#1", "#2", "#3", "#4"};
    EXPECT_EQ(initialised, ForwardNames(vector));
    vector.SetCount(2);
    EXPECT_EQ((Names{"#4", "#3", "#2"}), gLog);
    EXPECT_EQ(2, vector.Capacity());
    EXPECT_EQ(2, vector.Count());

    SetName(vector.InsertFirst(), "first");
    SetName(vector.InsertLastRaw(), "last");
    EXPECT_EQ((Names{"first", "#0", "#1", "last"}), ForwardNames(vector));
    EXPECT_EQ(1, vector.IndexOf("#0", &SameName));
    EXPECT_EQ(-1, vector.IndexOf("zz", &SameName));
    gLog.clear();
    vector.Delete(1);
    EXPECT_EQ((Names{"#0"}), gLog);
    EXPECT_EQ((Names{"first", "#1", "last"}), ForwardNames(vector));
    EXPECT_EQ("last", NameOf(vector.PLastItem()));
}

TEST_F(KvLinearTest, AssignBetweenKinds)
{
    NameHandler names, other;
    TKvList list(names.h);
    TKvTree tree(names.h);
    TKvVector vector(names.h);
    SetName(list.InsertLast(), "l1");
    SetName(list.InsertLast(), "l2");
    void* t = tree.InsertLast();
    SetName(t, "t");
    SetName(tree.InsertLastChild(t), "t1");
    SetName(tree.InsertLast(), "u");
    SetName(vector.InsertLast(), "v1");

    // Tree from tree keeps the shape.
    TKvTree treeCopy(names.h);
    treeCopy.Assign(tree);
    EXPECT_EQ((Names{"t", "t1", "u"}), ForwardNames(treeCopy));
    EXPECT_EQ("t", NameOf(treeCopy.ParentItem(treeCopy.FindFirst("t1", &SameName))));
    // Tree from a list: top-level nodes only.
    treeCopy.Assign(list);
    EXPECT_EQ((Names{"l1", "l2"}), ForwardNames(treeCopy));
    EXPECT_EQ(nullptr, treeCopy.ParentItem(treeCopy.PLastItem()));
    // List from a tree: pre-order.
    TKvList listCopy(names.h);
    listCopy.Assign(tree);
    EXPECT_EQ((Names{"t", "t1", "u"}), ForwardNames(listCopy));
    // Vector from vector: resized with SetCount, then overwritten.
    TKvVector vectorCopy(names.h);
    SetName(vectorCopy.InsertLast(), "old1");
    SetName(vectorCopy.InsertLast(), "old2");
    gLog.clear();
    vectorCopy.Assign(vector);
    EXPECT_EQ((Names{"old2"}), gLog); // only the dropped item was freed
    EXPECT_EQ((Names{"v1"}), ForwardNames(vectorCopy));
    vectorCopy.Assign(list);
    EXPECT_EQ((Names{"l1", "l2"}), ForwardNames(vectorCopy));
    vectorCopy.Assign(vectorCopy);
    EXPECT_EQ((Names{"l1", "l2"}), ForwardNames(vectorCopy));

    // A different handler, a missing copy callback, a hash source: refused,
    // the target unchanged.
    TKvVector foreign(other.h);
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { vectorCopy.Assign(foreign); },
                                              "Class TKvVector: Itemhandlers do not match"));
    NameHandler noCopy(false);
    TKvList a(noCopy.h), b(noCopy.h);
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { a.Assign(b); },
                                              "Class TKvItemHandler: OnCopyItems not assigned"));
    TKvCardinalHash hash(KvCardinalKeyHandler());
    TKvVector cardinals(KvCardinalItemHandler());
    EXPECT_TRUE(ThrowsWith<EKvAssignError>([&] { cardinals.Assign(hash); },
                                           "Cannot assign a TKvCardinalHash to a TKvVector"));
    EXPECT_TRUE(ThrowsWith<EKvAssignError>([&] { hash.Assign(cardinals); },
                                           "Cannot assign a TKvVector to a TKvCardinalHash"));
    EXPECT_EQ((Names{"l1", "l2"}), ForwardNames(vectorCopy));
}

TEST_F(KvLinearTest, VeryDeepTreeWalksWithoutRecursion)
{
    NameHandler names;
    constexpr int kDepth = 100000;
    TKvTree tree(names.h);
    void* parent = nullptr;
    for (int i = 0; i < kDepth; ++i)
        parent = tree.InsertLastChild(parent);
    EXPECT_EQ(kDepth, tree.Count());
    int forward = 0;
    tree.Iterate([&](void*) { ++forward; });
    EXPECT_EQ(kDepth, forward);
    EXPECT_EQ(parent, tree.PLastItem());
    int backward = 0;
    for (void* item = tree.PLastItem(); item; item = tree.PrevItem(item))
        ++backward;
    EXPECT_EQ(kDepth, backward);
    EXPECT_FALSE(tree.ExistsBackward("none", &SameName));
    TKvTree copy(names.h);
    copy.Assign(tree);
    EXPECT_EQ(kDepth, copy.Count());
    copy.Clear();
    EXPECT_EQ(0, copy.Count());
}

TEST_F(KvLinearTest, ObjectVectorFreesItsObjects)
{
    static int alive = 0;
    struct Counted : TObject {
        Counted() { ++alive; }
        ~Counted() override { --alive; }
    };
    {
        TKvObjectVector objects;
        for (int i = 0; i < 5; ++i)
            objects.AddObject(new Counted());
        EXPECT_EQ(5, alive);
        objects.Delete(0);
        EXPECT_EQ(4, alive);
        objects.SetCount(2);
        EXPECT_EQ(2, alive);
        EXPECT_NE(nullptr, objects.GetObject(1));
        objects.Clear();
        EXPECT_EQ(0, alive);
        objects.AddObject(new Counted());
    }
    EXPECT_EQ(0, alive);
}

TEST_F(KvLinearTest, NameValueIdVector)
{
    TKvWideString2CardinalVector v;
    v.Add(WideString(u"href"), WideString(u"x"), 52);
    v.Add(WideString(u"alt"), WideString(u"y"), 8);
    v.Add(WideString(u"href"), WideString(u"z"), 52);
    EXPECT_EQ(1, v.IndexOfID(8));
    EXPECT_EQ(-1, v.IndexOfID(9));
    EXPECT_EQ(u"x", v.ValueOfID(52).View());
    EXPECT_TRUE(v.ValueOfID(9).IsEmpty());
    EXPECT_EQ(nullptr, v.FindByID(9));
    EXPECT_EQ(u"alt", v.FindByID(8)->Name.View());
    EXPECT_EQ(u"z", v.ValueAt(2).View());
    EXPECT_TRUE(ThrowsWith<EKvContainerError>(
        [&] { v.ValueAt(3); }, "Class TKvWideString2CardinalVector: List index out of bounds (3)"));
    TKvWideString2CardinalVector copy;
    copy.Assign(v);
    EXPECT_EQ(3, copy.Count());
    EXPECT_EQ(u"z", copy.ValueAt(2).View());

    TKvWideStringVector strings;
    strings.Add(WideString(u"one"));
    strings.SetCount(3);
    EXPECT_TRUE(strings.At(2).IsEmpty());
    EXPECT_EQ(u"one", strings.At(0).View());
}

// --- Misuse --------------------------------------------------------------------------------

namespace {
bool NoMatch(const void*, const void*)
{
    return false;
}
} // namespace

TEST_F(KvLinearTest, MisuseRaisesWithTheClassAndChangesNothing)
{
    NameHandler names;
    auto* keys = new TKvKeyHandler();
    keys->SetKeySize(sizeof(uint32_t));
    auto* hashing = new TKvKeyHandler();
    hashing->SetKeySize(sizeof(uint32_t));
    hashing->SetOnHashKey(&HashIsKey);
    hashing->SetOnHashKeyBuf([](const char16_t*, int32_t) { return 0u; });
    struct Case {
        const char* text;
        std::function<void()> fn;
    };
    {
        TKvVector vector(names.h);
        TKvList list(names.h);
        TKvHash bare(names.h, keys);        // no key callbacks at all
        TKvHash hashOnly(names.h, hashing); // hashes, but cannot compare
        SetName(vector.InsertLast(), "keep");
        uint32_t key = 1;
        const char16_t* buf = u"x";
        const Case cases[] = {
            {"Class TKvVector: ItemHandler is nil", [] { TKvVector v(nullptr); }},
            {"Class TKvList: ItemHandler is nil", [] { TKvList l(nullptr); }},
            {"Class TKvTree: ItemHandler is nil", [] { TKvTree t(nullptr); }},
            {"Class TKvHash: ItemHandler is nil", [&] { TKvHash h(nullptr, keys); }},
            {"Class TKvHash: KeyHandler is nil", [&] { TKvHash h(names.h, nullptr); }},
            {"Class TKvCardinalHash: KeyHandler is nil", [] { TKvCardinalHash h(nullptr); }},
            {"Class TKvVector: List index out of bounds (1)", [&] { vector.PItemAt(1); }},
            {"Class TKvVector: List index out of bounds (-1)", [&] { vector.Delete(-1); }},
            {"Class TKvVector: List index out of bounds (-2)", [&] { vector.SetCount(-2); }},
            {"Class TKvVector: SameItems not assigned", [&] { vector.IndexOf("x", nullptr); }},
            {"Class TKvVector: SameItems not assigned", [&] { vector.Exists("x", nullptr); }},
            {"Class TKvList: SameItems not assigned", [&] { list.FindLast("x", nullptr); }},
            {"Class TKvVector: IterateItems not assigned", [&] { vector.Iterate(nullptr); }},
            {"Class TKvKeyHandler: OnHashKey not assigned", [&] { bare.Find(&key); }},
            {"Class TKvKeyHandler: OnStoreKey not assigned", [&] { bare.Insert(&key); }},
            {"Class TKvKeyHandler: OnStoreKey not assigned", [&] { bare.FindOrInsert(&key); }},
            {"Class TKvKeyHandler: OnHashKeyBuf not assigned", [&] { bare.FindBuf(buf, 1); }},
            {"Class TKvKeyHandler: OnHashKey not assigned", [&] { bare.Rehash(); }},
            {"Class TKvKeyHandler: OnHashKey not assigned", [&] { bare.Delete(&key); }},
            {"Class TKvKeyHandler: OnSameKeys not assigned", [&] { hashOnly.Find(&key); }},
            {"Class TKvKeyHandler: OnSameKeyBuf not assigned", [&] { hashOnly.FindBuf(buf, 1); }},
            {"Class TKvHash: Invalid HashCount (-1)", [&] { hashOnly.SetHashCount(-1); }},
            {"Class TKvHash: List index out of bounds (0)", [&] { hashOnly.IsSlotDeleted(0); }},
            {"Class TKvHash: SameItems not assigned", [&] { bare.FindFirst("x", nullptr); }},
            {"Class TKvItemHandler: ItemHandler in use while setting ItemSize",
             [&] { names.h->SetItemSize(4); }},
            {"Class TKvItemHandler: ItemHandler in use while assigning OnInitItem",
             [&] { names.h->SetOnInitItem(nullptr); }},
            {"Class TKvItemHandler: ItemHandler in use while assigning OnFreeItem",
             [&] { names.h->SetOnFreeItem(nullptr); }},
            {"Class TKvItemHandler: ItemHandler in use while assigning OnCopyItem",
             [&] { names.h->SetOnCopyItem(nullptr); }},
            {"Class TKvItemHandler: ItemHandler in use while assigning OnReadItem",
             [&] { names.h->SetOnReadItem(nullptr); }},
            {"Class TKvItemHandler: ItemHandler in use while assigning OnWriteItem",
             [&] { names.h->SetOnWriteItem(nullptr); }},
            {"Class TKvItemHandler: ItemHandler in use while assigning OnReadHeader",
             [&] { names.h->SetOnReadHeader(nullptr); }},
            {"Class TKvItemHandler: ItemHandler in use while assigning OnWriteHeader",
             [&] { names.h->SetOnWriteHeader(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while setting KeySize",
             [&] { keys->SetKeySize(8); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnHashKey",
             [&] { keys->SetOnHashKey(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnHashKeyBuf",
             [&] { keys->SetOnHashKeyBuf(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnSameKeys",
             [&] { keys->SetOnSameKeys(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnSameKeyBuf",
             [&] { keys->SetOnSameKeyBuf(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnStoreKey",
             [&] { keys->SetOnStoreKey(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnStoreKeyBuf",
             [&] { keys->SetOnStoreKeyBuf(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnFreeKey",
             [&] { keys->SetOnFreeKey(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnReadKey",
             [&] { keys->SetOnReadKey(nullptr); }},
            {"Class TKvKeyHandler: ItemHandler in use while assigning OnWriteKey",
             [&] { keys->SetOnWriteKey(nullptr); }},
            {"Class TKvItemHandler: ItemHandler in use during destruction",
             [&] { names.h->Free(); }},
            {"Class TKvKeyHandler: ItemHandler in use during destruction", [&] { keys->Free(); }},
        };
        for (const Case& c : cases)
            EXPECT_TRUE(ThrowsWith<EKvContainerError>(c.fn, c.text)) << c.text;
        EXPECT_EQ(4, names.h->UseCount()); // vector, list and the two bare hashes
        EXPECT_EQ(1, keys->UseCount());
        EXPECT_EQ(7, hashOnly.HashCount());
        EXPECT_EQ(0, hashOnly.Count());
        EXPECT_EQ(1, vector.Count());
        EXPECT_EQ("keep", NameOf(vector.PItemAt(0)));
        EXPECT_EQ(sizeof(Name8), static_cast<size_t>(names.h->ItemSize()));
        (void)NoMatch;
    }
    // Once the containers are gone the same calls succeed.
    EXPECT_EQ(0, names.h->UseCount());
    names.h->SetItemSize(sizeof(Name8));
    keys->SetKeySize(8);
    keys->Free();
    hashing->Free();
}

TEST_F(KvLinearTest, EmptyVectorEnds)
{
    NameHandler names;
    TKvVector vector(names.h);
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { vector.PFirstItem(); },
                                              "Class TKvVector: List index out of bounds (0)"));
    EXPECT_TRUE(ThrowsWith<EKvContainerError>([&] { vector.PLastItem(); },
                                              "Class TKvVector: List index out of bounds (0)"));
    TKvWideStringVector strings;
    EXPECT_TRUE(ThrowsWith<EKvContainerError>(
        [&] { strings.PFirstItem(); }, "Class TKvWideStringVector: List index out of bounds (0)"));
}

// A container left alive at program end leaves its shared handler alive too
// (logged), and the program still ends normally.
KTEST_ROLE(LeakedContainer)
{
    auto* leaked = new TKvWideStringVector();
    leaked->Add(WideString(u"still here"));
    return 0;
}

TEST(KvContainers, SharedHandlerStillInUseAtExitIsLeftAlone)
{
    ktest::ChildResult r = ktest::RunSelf(L"LeakedContainer");
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(0u, r.exitCode);
}
