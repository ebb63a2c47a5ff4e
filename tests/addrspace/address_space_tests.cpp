#include "AddressSpaceFixture.h"
#include "FailingAllocation.h"

#include "OpcVariant.h"

#include <string>
#include <vector>

using namespace addrspace_test;

namespace
{
std::vector<std::wstring> ChildNames(const COpcDaBrowseNode* node)
{
    std::vector<std::wstring> names;
    for (UINT i = 0; i < node->ChildCount(); ++i)
        names.push_back(node->ChildAt(i)->Name().TextOrEmpty());
    return names;
}

class Scheduler : public IOpcDaUpdateScheduler
{
public:
    explicit Scheduler(bool starts) : m_starts(starts) {}
    bool Start() override
    {
        ++started;
        return m_starts;
    }
    void Stop() override
    {
        ++stopped;
        // A scan under way needs the address-space lock to end: another thread must get it now.
        if (probe != nullptr)
        {
            HANDLE thread = CreateThread(nullptr, 0, TryLock, probe, 0, nullptr);
            DWORD got = 0;
            WaitForSingleObject(thread, INFINITE);
            GetExitCodeThread(thread, &got);
            CloseHandle(thread);
            lockFreeAtStop = lockFreeAtStop && got == 1;
        }
    }
    static DWORD WINAPI TryLock(void* lock)
    {
        auto* held = static_cast<COpcLock*>(lock);
        if (!held->TryEnter())
            return 0;
        held->Leave();
        return 1;
    }
    int started = 0;
    int stopped = 0;
    COpcLock* probe = nullptr;
    bool lockFreeAtStop = true;

private:
    bool m_starts;
};

// An entry of the kind the server objects derive: it counts its reads.
class CountingEntry : public COpcDaItemEntry
{
public:
    using COpcDaItemEntry::COpcDaItemEntry;
    HRESULT ReadItem(DWORD accessMode, LCID locale, VARTYPE requestedType, DWORD maxAge, DWORD selector, VARIANT* value,
                     FILETIME* timeStamp, WORD* quality) override
    {
        ++reads;
        return COpcDaItemEntry::ReadItem(accessMode, locale, requestedType, maxAge, selector, value, timeStamp,
                                         quality);
    }
    static int reads;
};
int CountingEntry::reads = 0;

COpcDaEntryRef MakeCounting(const COpcString& itemId, IOpcDaItemProvider* provider, void*)
{
    return COpcDaEntryRef(new CountingEntry(itemId, provider));
}

class AddressSpaceItemsTest : public AddressSpaceTest
{
};
} // namespace

TEST(BrowseTreeTest, ItemIdsBecomeBranchesAndLeavesInTheOrderAdded)
{
    COpcDaBrowseTree tree;
    std::vector<COpcDaItemEntry*> entries;
    for (const wchar_t* id : {L"N.P.G.B", L"N.P.G.A", L"N.P.T", L"N.Q..x", L"N.P.G"})
    {
        entries.push_back(new COpcDaItemEntry(COpcString(id), nullptr));
        ASSERT_NE(nullptr, tree.AddItem(COpcString(id), entries.back()));
    }
    COpcDaBrowseNode* root = tree.Root();
    EXPECT_EQ((std::vector<std::wstring>{L"N"}), ChildNames(root));
    COpcDaBrowseNode* group = root->Find(L"N.P.G");
    ASSERT_NE(nullptr, group);
    EXPECT_EQ((std::vector<std::wstring>{L"B", L"A"}), ChildNames(group)); // not sorted
    EXPECT_TRUE(group->Path().Equals(L"N.P.G"));
    EXPECT_TRUE(group->FullItemId().Equals(L"N.P.G"));
    EXPECT_TRUE(group->IsItem());
    EXPECT_FALSE(root->Find(L"N.P")->IsItem());
    EXPECT_EQ(group, root->Find(L"..N.P.G")); // leading separators are skipped
    EXPECT_EQ(group->ChildAt(1), group->Find(L"A"));
    EXPECT_EQ(root, root->Find(L""));
    EXPECT_EQ(nullptr, root->Find(L"N.P.X"));
    EXPECT_EQ(nullptr, group->ChildAt(2));
    ASSERT_NE(nullptr, root->Find(L"N.Q.x")); // an empty segment makes no node
    EXPECT_TRUE(root->Find(L"N.Q.x")->FullItemId().Equals(L"N.Q..x"));
    EXPECT_TRUE(root->Find(L"N.P")->FullItemId().Equals(L"N.P"));
    EXPECT_EQ(L'.', root->Find(L"N.P")->Separator());
    EXPECT_TRUE(root->Path().IsEmpty());

    // Removing items prunes the branches left with neither item nor children.
    EXPECT_TRUE(tree.RemoveItem(COpcString(L"N.P.G.A")));
    EXPECT_TRUE(tree.RemoveItem(COpcString(L"N.P.G.B")));
    EXPECT_EQ(group, root->Find(L"N.P.G")); // still an item of its own
    EXPECT_FALSE(group->HasChildren());
    EXPECT_FALSE(tree.RemoveItem(COpcString(L"N.P.G.A")));
    EXPECT_TRUE(tree.RemoveItem(COpcString(L"N.Q..x")));
    EXPECT_EQ(nullptr, root->Find(L"N.Q"));
    EXPECT_EQ((std::vector<std::wstring>{L"G", L"T"}), ChildNames(root->Find(L"N.P")));
    tree.Clear();
    EXPECT_EQ(0u, tree.Root()->ChildCount());
    for (COpcDaItemEntry* entry : entries)
        entry->Release();
}

TEST(BrowseTreeTest, ManyChildrenAreFoundByNameAndKeepTheirOrder)
{
    COpcDaBrowseTree tree;
    for (int i = 0; i < 5000; ++i)
        ASSERT_NE(nullptr, tree.AddItem(COpcString((L"D.T" + std::to_wstring(i)).c_str()), nullptr));
    COpcDaBrowseNode* device = tree.Root()->Find(L"D");
    ASSERT_EQ(5000u, device->ChildCount());
    for (int i = 0; i < 5000; i += 499)
    {
        COpcDaBrowseNode* child = device->Find((L"T" + std::to_wstring(i)).c_str());
        ASSERT_NE(nullptr, child) << i;
        EXPECT_EQ(child, device->ChildAt(static_cast<UINT>(i)));
    }
    EXPECT_TRUE(tree.RemoveItem(COpcString(L"D.T10")));
    EXPECT_EQ(nullptr, device->Find(L"T10"));
    EXPECT_NE(nullptr, device->Find(L"T4999"));
    EXPECT_TRUE(device->ChildAt(10)->Name().Equals(L"T11"));
}

TEST(BrowseTreeTest, ChildrenAreFoundAfterAFailedIndexAndALaterRemoval)
{
    COpcDaBrowseTree tree;
    for (int i = 0; i < 16; ++i)
        ASSERT_NE(nullptr, tree.AddItem(COpcString((L"D.T" + std::to_wstring(i)).c_str()), nullptr));
    {
        // The seventeenth child outgrows the index of 32 slots; its 64 are refused.
        FailingAllocation fail(64 * sizeof(void*));
        ASSERT_TRUE(fail.Registered());
        ASSERT_NE(nullptr, tree.AddItem(COpcString(L"D.T16"), nullptr));
        EXPECT_TRUE(fail.Failed());
    }
    EXPECT_TRUE(tree.RemoveItem(COpcString(L"D.T0")));
    COpcDaBrowseNode* device = tree.Root()->Find(L"D");
    EXPECT_EQ(nullptr, device->Find(L"T0"));
    for (int i = 1; i <= 16; ++i)
        EXPECT_NE(nullptr, device->Find((L"T" + std::to_wstring(i)).c_str())) << i;
}

TEST(BrowseTreeTest, ADeepTreeIsClearedAndDestroyedWithoutRecursion)
{
    // Far deeper than a recursive teardown could go on the thread's stack
    // (and not deeper: adding a name walks its whole path).
    std::wstring id = L"a";
    for (int i = 0; i < 50000; ++i)
        id += L".a";
    {
        COpcDaBrowseTree tree;
        ASSERT_NE(nullptr, tree.AddItem(COpcString(id.c_str()), nullptr));
        ASSERT_NE(nullptr, tree.AddItem(COpcString(L"b.c"), nullptr));
        EXPECT_EQ(50003u, tree.NodeCount());
        tree.Clear();
        EXPECT_EQ(0u, tree.Root()->ChildCount());
        ASSERT_NE(nullptr, tree.AddItem(COpcString(id.c_str()), nullptr));
    }
}

TEST(ItemIdTest, ASuffixAfterTheColonMustBeADecimalPropertyId)
{
    COpcString tag;
    DWORD selector = 99;
    EXPECT_EQ(S_OK, COpcDaCache::ParseItemID(L"N.P.T", tag, selector));
    EXPECT_TRUE(tag.Equals(L"N.P.T"));
    EXPECT_EQ(0u, selector);
    EXPECT_EQ(S_OK, COpcDaCache::ParseItemID(L"N.P.T:101", tag, selector));
    EXPECT_TRUE(tag.Equals(L"N.P.T"));
    EXPECT_EQ(101u, selector);
    for (const wchar_t* bad : {L"", L"N.P.T:", L"N.P.T:abc", L"N.P.T:1x", L"N.P.T:-1", L":5", L"N.P.T:4294967296"})
        EXPECT_EQ(OPC_E_INVALIDITEMID, COpcDaCache::ParseItemID(bad, tag, selector)) << bad;
    EXPECT_EQ(OPC_E_INVALIDITEMID, COpcDaCache::ParseItemID(nullptr, tag, selector));
}

TEST_F(AddressSpaceItemsTest, TheItemMapServesValuesAndPropertiesThroughTheProvider)
{
    UseSimulation();
    m_cache->SetItemFactory(&MakeCounting, nullptr);
    ASSERT_EQ(S_OK, LoadQuietly(Analog("A", {{"Description", "Level"}}) + Digital("D")));
    EXPECT_EQ(2u, m_cache->ItemCount());
    EXPECT_TRUE(m_cache->ValidateItemID(COpcString(L"N.P.A:101")));
    EXPECT_FALSE(m_cache->ValidateItemID(COpcString(L"N.P.X")));
    EXPECT_FALSE(m_cache->ValidateItemID(COpcString(L"N.P.A:x")));
    {
        COpcLockGuard guard(m_cache->Lock());
        COpcDaBrowseNode* leaf = m_cache->BrowseTree().Root()->Find(L"N.P.A");
        ASSERT_NE(nullptr, leaf);
        EXPECT_TRUE(leaf->IsItem());
        EXPECT_FALSE(m_cache->BrowseTree().Root()->Find(L"N.P")->IsItem());
    }

    COpcVariant value;
    WORD quality = 0;
    ASSERT_EQ(S_OK, m_cache->ReadItem(COpcString(L"N.P.A:101"), OPC_DA_READ_CACHE, LOCALE_USER_DEFAULT, VT_EMPTY, 0,
                                      value.Get(), nullptr, &quality));
    EXPECT_STREQ(L"Level", value->bstrVal);
    EXPECT_EQ(0xC0, quality);
    ASSERT_EQ(S_OK, m_cache->ReadItem(COpcString(L"N.P.A"), OPC_DA_READ_CACHE, LOCALE_USER_DEFAULT, VT_BSTR, 0,
                                      value.Get(), nullptr, nullptr));
    EXPECT_STREQ(L"0", value->bstrVal);
    EXPECT_EQ(2, CountingEntry::reads);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID,
              m_cache->ReadItem(COpcString(L"N.P.X"), 2, 0, VT_EMPTY, 0, value.Get(), nullptr, nullptr));

    SetInt16(value.Get(), 12);
    EXPECT_EQ(S_OK, m_cache->WriteItem(COpcString(L"N.P.A"), LOCALE_USER_DEFAULT, *value.Get(), nullptr, nullptr));
    EXPECT_EQ(OPC_E_BADRIGHTS,
              m_cache->WriteItem(COpcString(L"N.P.A:101"), LOCALE_USER_DEFAULT, *value.Get(), nullptr, nullptr));

    COpcDaPropertyList list;
    ASSERT_EQ(S_OK, m_cache->QueryItemProperties(COpcString(L"N.P.D"), true, list));
    ASSERT_EQ(19u, list.GetCount());
    EXPECT_EQ(3u, list[2].id);
    EXPECT_TRUE(list[2].itemId.Equals(L"N.P.D:3"));
    EXPECT_TRUE(list[2].description.Equals(L"Item Quality"));
    EXPECT_EQ(VT_I2, list[2].type);
    EXPECT_EQ(VT_I2, list[2].value.vt);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, m_cache->QueryItemProperties(COpcString(L"N.P.X"), false, list));

    m_cache->SetPropertyLocale(1041);
    const DWORD ids[] = {3, 5008, 5011, 4711};
    ASSERT_EQ(S_OK, m_cache->GetItemPropertyValues(COpcString(L"N.P.A"), ids, 4, true, list));
    ASSERT_EQ(4u, list.GetCount());
    EXPECT_TRUE(list[0].description.Equals(L"アイテム品質"));
    EXPECT_EQ(S_OK, list[0].result);
    EXPECT_EQ(OPC_E_INVALID_PID, list[1].result);
    EXPECT_STREQ(L"None", list[2].value.bstrVal);
    EXPECT_EQ(OPC_E_INVALID_PID, list[3].result);
    EXPECT_TRUE(list.AnyFailed());
}

TEST_F(AddressSpaceItemsTest, OnlyTheTextBeforeCpxDecidesWhetherTheDeviceKnowsAnItem)
{
    UseSimulation();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("A")));
    EXPECT_TRUE(m_device->IsKnownItem(COpcString(L"N.P.A")));
    EXPECT_TRUE(m_device->IsKnownItem(COpcString(L"N.P.A_CPX7")));
    EXPECT_FALSE(m_device->IsKnownItem(COpcString(L"N.P.ACPX")));
    EXPECT_FALSE(m_device->IsKnownItem(COpcString(L"CPX")));
    EXPECT_FALSE(m_device->IsKnownItem(COpcString()));
}

TEST_F(AddressSpaceItemsTest, InitializeAndUninitializeDriveTheServerState)
{
    const std::wstring table = WriteFile(L"Simulation.csv", "A\n1\n");
    const std::wstring tags = WriteFile(L"Tags.xml", Tags(Node("N", Device("P", Analog("A") + Digital("D")))));
    const std::string config = "<OpcConfiguration><OutputLogDisable>0</OutputLogDisable>"
                               "<Simulation Enabled=\"1\" Interval=\"100\" File=\"" +
                               std::string(COpcString(table.c_str()).NarrowText()) + "\"/><TagConfiguration File=\"" +
                               std::string(COpcString(tags.c_str()).NarrowText()) + "\"/></OpcConfiguration>";
    const COpcString configPath(WriteFile(L"OpcConfiguration.xml", config).c_str());

    Build();
    Scheduler failing(false);
    m_cache->SetUpdateScheduler(&failing);
    m_cache->SetConfigurationPath(configPath);
    EXPECT_EQ(E_FAIL, m_cache->Initialize());
    EXPECT_EQ(OPC_STATUS_FAILED, m_cache->GetState());
    EXPECT_EQ(E_FAIL, m_cache->Initialize()); // only from the suspended state

    FreshSettings();
    Build();
    Scheduler scheduler(true);
    scheduler.probe = &m_cache->Lock();
    m_cache->SetUpdateScheduler(&scheduler);
    m_cache->SetConfigurationPath(COpcString((m_dir + L"\\missing.xml").c_str()));
    EXPECT_NE(S_OK, m_cache->Initialize());
    EXPECT_EQ(OPC_STATUS_NOCONFIG, m_cache->GetState());
    m_cache->Uninitialize();
    EXPECT_EQ(1, scheduler.stopped);

    m_cache->SetConfigurationPath(configPath);
    ASSERT_EQ(S_OK, m_cache->Initialize());
    EXPECT_EQ(OPC_STATUS_RUNNING, m_cache->GetState());
    EXPECT_EQ(2u, m_cache->ItemCount());
    EXPECT_TRUE(m_device->IsSimulationRunning());
    EXPECT_EQ(100u, m_settings->baseTick);
    EXPECT_FALSE(m_cache->Version().description.IsEmpty());
    EXPECT_EQ(0, DevlaneControlCallCount("EasyInit"));

    ASSERT_EQ(S_OK, m_cache->Uninitialize());
    EXPECT_EQ(OPC_STATUS_SUSPENDED, m_cache->GetState());
    EXPECT_FALSE(m_device->IsSimulationRunning());
    EXPECT_EQ(0u, m_cache->ItemCount());
    EXPECT_EQ(0u, m_device->ItemCount());
    EXPECT_EQ(2, scheduler.stopped);
    EXPECT_TRUE(scheduler.lockFreeAtStop) << "stopped with the address-space lock held";
    {
        COpcLockGuard guard(m_cache->Lock());
        EXPECT_EQ(0u, m_cache->BrowseTree().Root()->ChildCount());
    }
}
