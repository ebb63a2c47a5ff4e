#include "OpcContainers.h"
#include "OpcGrowArray.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace
{
// Counts live instances so tests can see every stored value destroyed.
struct Tracked
{
    static int live;
    int v = 0;
    Tracked() { ++live; }
    Tracked(int x) : v(x) { ++live; }
    Tracked(const Tracked& o) : v(o.v) { ++live; }
    Tracked& operator=(const Tracked&) = default;
    ~Tracked() { --live; }
};
int Tracked::live = 0;

COpcString Key(int i)
{
    return COpcString(std::to_wstring(i).c_str());
}
} // namespace

TEST(StringHash, MultipliesByThirtyThreePerCodeUnit)
{
    EXPECT_EQ(65u, COpcString(L"A").Hash());
    EXPECT_EQ(65u * 33 + 66, COpcString(L"AB").Hash());
    EXPECT_EQ(0xFFFFFFFFu, COpcString().Hash());
    EXPECT_EQ(0xFFFFFFFFu, COpcString(L"").Hash());

    // 32-bit wrap-around, computed independently.
    const wchar_t* longText = L"Device1.Channel7.Holding.Register.40001.Value";
    uint32_t expected = 0;
    for (const wchar_t* p = longText; *p; ++p)
        expected = expected * 33u + static_cast<uint16_t>(*p);
    EXPECT_EQ(expected, COpcString(longText).Hash());
}

TEST(Map, KeepsSeventeenBucketsUntilTheSixteenthKeyThenDoublesTheCount)
{
    COpcMap<COpcString, int> map;
    EXPECT_EQ(17u, map.GetBucketCount());
    for (int i = 0; i < 15; ++i)
        ASSERT_NE(nullptr, map.SetAt(Key(i)));
    EXPECT_EQ(17u, map.GetBucketCount());
    map.SetAt(Key(15), 15);
    EXPECT_EQ(30u, map.GetBucketCount());
    for (int i = 16; i < 26; ++i)
        map.SetAt(Key(i), i);
    EXPECT_EQ(30u, map.GetBucketCount()); // 26 entries: 30 >= 31.2 is false only at the next insert
    map.SetAt(Key(26), 26);
    EXPECT_EQ(52u, map.GetBucketCount());

    // Every entry survives the rehashes.
    for (int i = 0; i < 27; ++i)
    {
        int v = -1;
        ASSERT_TRUE(map.Lookup(Key(i), v)) << i;
        if (i >= 15)
            EXPECT_EQ(i, v);
    }
    // Setting an existing key neither grows the map nor changes the count.
    map.SetAt(Key(3), 300);
    EXPECT_EQ(27u, map.GetCount());
    EXPECT_EQ(300, *map.Lookup(Key(3)));
}

TEST(Map, IteratesBucketByBucketEachChainFromItsHead)
{
    COpcMap<COpcString, int> strings;
    // "A" 65 -> bucket 14, "B" 66 -> 15, "AB" 2211 -> 1, "R" 82 -> 14.
    strings.SetAt(COpcString(L"A"), 1);
    strings.SetAt(COpcString(L"B"), 2);
    strings.SetAt(COpcString(L"AB"), 3);
    strings.SetAt(COpcString(L"R"), 4);
    std::vector<std::wstring> order;
    for (auto& e : strings)
        order.push_back(e.key.Text());
    EXPECT_EQ((std::vector<std::wstring>{L"AB", L"R", L"A", L"B"}), order);

    COpcMap<uint32_t, int> ints;
    for (uint32_t k : {5u, 1u, 18u, 35u})
        ints.SetAt(k, 0);
    std::vector<uint32_t> keys;
    for (auto& e : ints)
        keys.push_back(e.key);
    EXPECT_EQ((std::vector<uint32_t>{35, 18, 1, 5}), keys);
}

TEST(Map, KeysCompareOrdinallyAndCaseSensitively)
{
    COpcMap<COpcString, int> map;
    map.SetAt(COpcString(L"Tag"), 1);
    EXPECT_EQ(nullptr, map.Lookup(COpcString(L"tag")));
    EXPECT_EQ(nullptr, map.Lookup(COpcString(L"Tag ")));
    EXPECT_NE(nullptr, map.Lookup(COpcString(L"Tag")));
    // The empty key is a key like any other.
    map.SetAt(COpcString(), 2);
    EXPECT_EQ(2, *map.Lookup(COpcString(L"")));
}

TEST(Map, RemovalRecyclesNodesAndTheLastRemovalFreesEveryBlock)
{
    Tracked::live = 0;
    {
        COpcMap<uint32_t, Tracked> map;
        for (uint32_t i = 0; i < 25; ++i)
            map.SetAt(i, Tracked(static_cast<int>(i)));
        EXPECT_EQ(3u, map.GetBlockCount());
        EXPECT_EQ(25, Tracked::live);
        EXPECT_TRUE(map.RemoveKey(7));
        EXPECT_FALSE(map.RemoveKey(7));
        EXPECT_EQ(24, Tracked::live);
        map.SetAt(100, Tracked(100));
        EXPECT_EQ(3u, map.GetBlockCount()); // the freed node was reused
        for (uint32_t i = 0; i < 25; ++i)
            map.RemoveKey(i);
        EXPECT_EQ(1u, map.GetCount());
        map.RemoveKey(100);
        EXPECT_EQ(0u, map.GetBlockCount());
        EXPECT_EQ(17u, map.GetBucketCount());
        EXPECT_EQ(0, Tracked::live);
        map.SetAt(1, Tracked(1));
        EXPECT_EQ(1, map.Lookup(1)->v);
        map.SetAt(2, Tracked(2));
    }
    EXPECT_EQ(0, Tracked::live); // the destructor destroyed the rest
}

TEST(List, KeepsInsertionOrderAndRecyclesBlocks)
{
    Tracked::live = 0;
    {
        COpcList<Tracked> list;
        auto* only = list.AddTail(Tracked(1));
        EXPECT_EQ(1u, list.GetBlockCount());
        list.RemoveAt(only);
        EXPECT_EQ(0u, list.GetBlockCount()); // the last removal frees all blocks
        list.AddTail(Tracked(2));
        EXPECT_EQ(1u, list.GetBlockCount()); // so the next add takes a fresh one

        for (int i = 3; i <= 12; ++i)
            list.AddTail(Tracked(i));
        EXPECT_EQ(2u, list.GetBlockCount());
        std::vector<int> values;
        for (auto& t : list)
            values.push_back(t.v);
        EXPECT_EQ((std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), values);

        // Remove from the middle, the head and the tail; re-adding reuses nodes.
        list.RemoveAt(list.GetHead()->next->next);
        list.RemoveAt(list.GetHead());
        EXPECT_EQ(12, list.RemoveTail().v);
        list.AddTail(Tracked(13));
        list.AddTail(Tracked(14));
        EXPECT_EQ(2u, list.GetBlockCount());
        values.clear();
        for (auto& t : list)
            values.push_back(t.v);
        EXPECT_EQ((std::vector<int>{3, 5, 6, 7, 8, 9, 10, 11, 13, 14}), values);
        EXPECT_EQ(nullptr, list.GetHead()->prev);
        EXPECT_EQ(nullptr, list.GetTail()->next);
        EXPECT_EQ(14, list.GetTail()->value.v);
        EXPECT_EQ(10, Tracked::live);
        list.RemoveAll();
        EXPECT_EQ(0, Tracked::live);
        EXPECT_EQ(nullptr, list.GetHead());
        list.AddTail(Tracked(20));
    }
    EXPECT_EQ(0, Tracked::live);
}

TEST(Array, ResizesExactlyKeepsThePrefixAndCopiesDeeply)
{
    COpcArray<COpcString> a;
    EXPECT_TRUE(a.Append(COpcString(L"x")));
    EXPECT_TRUE(a.Append(COpcString(L"y")));
    EXPECT_TRUE(a.Append(a[0])); // appending an element of the same array
    ASSERT_EQ(3u, a.GetSize());
    EXPECT_TRUE(a[2].Equals(L"x"));

    EXPECT_TRUE(a.SetSize(5));
    EXPECT_TRUE(a[1].Equals(L"y"));
    EXPECT_TRUE(a[4].IsEmpty());
    EXPECT_TRUE(a.SetSize(1));
    EXPECT_EQ(1u, a.GetSize());
    EXPECT_TRUE(a[0].Equals(L"x"));

    COpcArray<double> d;
    d.Append(1.5);
    d.Append(-2.25);
    COpcArray<double> e;
    e.Append(9);
    EXPECT_TRUE(e.Copy(d));
    ASSERT_EQ(2u, e.GetSize());
    EXPECT_EQ(-2.25, e[1]);
    d[1] = 0;
    EXPECT_EQ(-2.25, e[1]);
    EXPECT_TRUE(e.SetSize(0));
    EXPECT_EQ(nullptr, e.GetData());

    Tracked::live = 0;
    {
        COpcArray<Tracked> t;
        t.SetSize(4);
        t.SetSize(2);
        EXPECT_EQ(2, Tracked::live);
    }
    EXPECT_EQ(0, Tracked::live);
}

// Owners and plain values take different growth paths; both must keep every
// element, in order, through the doublings, and owners must be freed exactly once.
TEST(GrowArray, KeepsOrderThroughGrowthAndFreesOwnersOnce)
{
    Tracked::live = 0;
    {
        COpcGrowArray<std::unique_ptr<Tracked>> owners;
        COpcGrowArray<int> plain;
        for (int i = 0; i < 100; ++i)
        {
            ASSERT_TRUE(owners.Append(std::unique_ptr<Tracked>(new Tracked(i))));
            ASSERT_TRUE(plain.Append(i));
        }
        EXPECT_EQ(100, Tracked::live);
        owners.RemoveAt(0);
        plain.RemoveAt(0);
        owners.RemoveLast();
        plain.RemoveLast();
        EXPECT_EQ(98, Tracked::live);
        ASSERT_EQ(98u, owners.GetCount());
        ASSERT_EQ(98u, plain.GetCount());
        for (size_t i = 0; i < owners.GetCount(); ++i)
        {
            EXPECT_EQ(static_cast<int>(i) + 1, owners[i]->v);
            EXPECT_EQ(static_cast<int>(i) + 1, plain[i]);
        }
        // Appending an element of the array itself must survive the growth it causes.
        while (plain.GetCount() < 128)
            ASSERT_TRUE(plain.Append(plain[0]));
        ASSERT_TRUE(plain.Append(plain[5]));
        EXPECT_EQ(6, plain.Last());
    }
    EXPECT_EQ(0, Tracked::live);
}
