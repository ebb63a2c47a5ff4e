#include "ServerItemsFixture.h"

#include <string>
#include <vector>

using namespace server_test;

namespace
{
class ItemsTest : public ServerItemsTest
{
protected:
    // Every attribute record the group's enumerator hands out, as copies.
    std::vector<OPCITEMATTRIBUTES> Attributes()
    {
        std::vector<OPCITEMATTRIBUTES> all;
        COpcComPtr<IEnumOPCItemAttributes> enumerator;
        EXPECT_EQ(S_OK, m_items->CreateEnumerator(IID_IEnumOPCItemAttributes,
                                                  reinterpret_cast<LPUNKNOWN*>(enumerator.Receive())));
        if (!enumerator)
            return all;
        for (;;)
        {
            COpcTaskMem<OPCITEMATTRIBUTES> batch;
            ULONG fetched = 0;
            HRESULT hr = enumerator->Next(2, batch.Receive(), &fetched);
            for (ULONG i = 0; i < fetched; ++i)
                all.push_back(batch.Get()[i]);
            if (hr != S_OK)
                break;
        }
        return all;
    }
    static void Free(std::vector<OPCITEMATTRIBUTES>& all)
    {
        for (auto& a : all)
            OpcDaClearItemAttributes(a);
    }
};
} // namespace

TEST_F(ItemsTest, AddItemsReportsEachEntryAndAddsTheGoodOnes)
{
    std::vector<OPCITEMDEF> defs = {Def(L""),                        // empty ID
                                    Def(L"N.P.Missing"),             // not in the address space
                                    Def(L"N.P.A", VT_DECIMAL),       // unsupported type
                                    Def(L"N.P.A", VT_ARRAY | VT_I2), // array of a scalar
                                    Def(L"N.P.Arr", VT_I2),          // scalar of an array
                                    Def(L"N.P.Arr", VT_BSTR),        // an array read as text
                                    Def(L"N.P.A", VT_R8),            // fine
                                    Def(L"N.P.A"),                   // the same ID again
                                    Def(L"N.P.A:abc")};              // suffix not a number
    defs[0].szItemID = nullptr;
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE,
              m_items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Receive(), errors.Receive()));
    const HRESULT expected[] = {
        OPC_E_INVALIDITEMID, OPC_E_UNKNOWNITEMID, OPC_E_BADTYPE, OPC_E_BADTYPE, OPC_E_BADTYPE, S_OK, S_OK, S_OK,
        OPC_E_UNKNOWNITEMID};
    for (size_t i = 0; i < defs.size(); ++i)
        EXPECT_EQ(expected[i], errors.Get()[i]) << "entry " << i;
    // Failed entries leave their result zeroed.
    EXPECT_EQ(0u, results.Get()[0].hServer);
    EXPECT_EQ(0u, results.Get()[3].hServer);
    EXPECT_EQ(VT_ARRAY | VT_I2, results.Get()[5].vtCanonicalDataType);
    EXPECT_EQ(VT_I2, results.Get()[6].vtCanonicalDataType);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE), results.Get()[6].dwAccessRights);
    EXPECT_NE(0u, results.Get()[6].hServer);
    EXPECT_NE(results.Get()[6].hServer, results.Get()[7].hServer);
    EXPECT_EQ(nullptr, results.Get()[6].pBlob);

    std::vector<OPCITEMATTRIBUTES> all = Attributes();
    EXPECT_EQ(3u, all.size());
    Free(all);
}

TEST_F(ItemsTest, ValidateItemsChecksLikeAddItemsButKeepsNothing)
{
    OPCITEMDEF defs[] = {Def(L"N.P.D"), Def(L"N.P.D", VT_ARRAY | VT_BOOL)};
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE, m_items->ValidateItems(2, defs, TRUE, results.Receive(), errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_BADTYPE, errors.Get()[1]);
    EXPECT_EQ(VT_BOOL, results.Get()[0].vtCanonicalDataType);
    EXPECT_EQ(0u, results.Get()[0].dwBlobSize);
    EXPECT_TRUE(Attributes().empty());
}

TEST_F(ItemsTest, HandleMethodsAnswerPerEntryAndLeaveUnknownHandlesAlone)
{
    OPCHANDLE a = AddOne(L"N.P.A");
    OPCHANDLE d = AddOne(L"N.P.D");
    ASSERT_NE(0u, a);
    ASSERT_NE(0u, d);
    OPCHANDLE handles[] = {a, 0xDEAD};
    COpcTaskMem<HRESULT> errors;

    ASSERT_EQ(S_FALSE, m_items->SetActiveState(2, handles, FALSE, errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);

    OPCHANDLE clients[] = {55, 66};
    ASSERT_EQ(S_FALSE, m_items->SetClientHandles(2, handles, clients, errors.Receive()));

    OPCHANDLE typed[] = {a, d, 0xDEAD};
    VARTYPE types[] = {VT_R4, VT_DECIMAL, VT_I4};
    ASSERT_EQ(S_FALSE, m_items->SetDatatypes(3, typed, types, errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_BADTYPE, errors.Get()[1]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[2]);
    // No array-ness comparison here, unlike AddItems.
    VARTYPE arrayType = VT_ARRAY | VT_R8;
    ASSERT_EQ(S_OK, m_items->SetDatatypes(1, &a, &arrayType, errors.Receive()));
    ASSERT_EQ(S_OK, m_items->SetDatatypes(1, &a, types, errors.Receive()));

    std::vector<OPCITEMATTRIBUTES> all = Attributes();
    ASSERT_EQ(2u, all.size());
    for (const auto& attr : all)
    {
        if (attr.hServer == a)
        {
            EXPECT_FALSE(attr.bActive);
            EXPECT_EQ(55u, attr.hClient);
            EXPECT_EQ(VT_R4, attr.vtRequestedDataType);
            EXPECT_STREQ(L"N.P.A", attr.szItemID);
            EXPECT_STREQ(L"", attr.szAccessPath);
            EXPECT_EQ(VT_I2, attr.vtCanonicalDataType);
            EXPECT_EQ(OPC_ANALOG, attr.dwEUType);
            ASSERT_EQ(VT_ARRAY | VT_R8, attr.vEUInfo.vt);
            double* range = nullptr;
            ASSERT_EQ(S_OK, SafeArrayAccessData(attr.vEUInfo.parray, reinterpret_cast<void**>(&range)));
            EXPECT_EQ(0.0, range[0]);
            EXPECT_EQ(100.0, range[1]);
            SafeArrayUnaccessData(attr.vEUInfo.parray);
        }
        else
        {
            EXPECT_EQ(d, attr.hServer);
            EXPECT_TRUE(attr.bActive);
            EXPECT_EQ(VT_BOOL, attr.vtCanonicalDataType);
            EXPECT_EQ(VT_EMPTY, attr.vEUInfo.vt);
        }
    }
    Free(all);

    ASSERT_EQ(S_FALSE, m_items->RemoveItems(2, handles, errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);
    // Gone for good: a second removal no longer knows it.
    ASSERT_EQ(S_FALSE, m_items->RemoveItems(1, &a, errors.Receive()));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[0]);
    all = Attributes();
    EXPECT_EQ(1u, all.size());
    Free(all);
}

TEST_F(ItemsTest, EnumeratorOfAnEmptyGroupAndItsNavigation)
{
    COpcComPtr<IEnumOPCItemAttributes> empty;
    ASSERT_EQ(S_OK,
              m_items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(empty.Receive())));
    COpcTaskMem<OPCITEMATTRIBUTES> batch;
    ULONG fetched = 99;
    EXPECT_EQ(S_FALSE, empty->Next(1, batch.Receive(), &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(E_INVALIDARG, empty->Next(1, nullptr, &fetched));

    COpcComPtr<IUnknown> wrong;
    EXPECT_EQ(E_INVALIDARG, m_items->CreateEnumerator(IID_IOPCServer, wrong.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_items->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr));

    for (int i = 0; i < 3; ++i)
        AddOne(L"N.P.S");
    COpcComPtr<IEnumOPCItemAttributes> full;
    ASSERT_EQ(S_OK,
              m_items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(full.Receive())));
    EXPECT_EQ(S_OK, full->Skip(2));
    COpcComPtr<IEnumOPCItemAttributes> clone;
    ASSERT_EQ(S_OK, full->Clone(clone.Receive()));
    ASSERT_EQ(S_FALSE, clone->Next(5, batch.Receive(), &fetched)); // the clone keeps the position
    ASSERT_EQ(1u, fetched);
    EXPECT_STREQ(L"N.P.S", batch.Get()[0].szItemID);
    OpcDaClearItemAttributes(batch.Get()[0]);
    EXPECT_EQ(S_FALSE, full->Skip(5));
    EXPECT_EQ(S_FALSE, full->Next(1, batch.Receive(), &fetched));
    EXPECT_EQ(S_OK, full->Reset());
    ASSERT_EQ(S_OK, full->Next(3, batch.Receive(), &fetched));
    EXPECT_EQ(3u, fetched);
    for (ULONG i = 0; i < fetched; ++i)
        OpcDaClearItemAttributes(batch.Get()[i]);
}

TEST_F(ItemsTest, BadCountsAndNullPointersAreRefusedWithoutOutput)
{
    OPCITEMDEF def = Def(L"N.P.A");
    OPCHANDLE handle = AddOne(L"N.P.A");
    OPCHANDLE client = 1;
    VARTYPE type = VT_I2;
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    for (DWORD count : {0u, 0xFFFFFFFFu})
    {
        HRESULT expected = count == 0 ? E_INVALIDARG : E_OUTOFMEMORY;
        EXPECT_EQ(expected, m_items->AddItems(count, &def, results.Receive(), errors.Receive()));
        EXPECT_EQ(nullptr, results.Get());
        EXPECT_EQ(nullptr, errors.Get());
        EXPECT_EQ(expected, m_items->ValidateItems(count, &def, FALSE, results.Receive(), errors.Receive()));
        EXPECT_EQ(expected, m_items->RemoveItems(count, &handle, errors.Receive()));
        EXPECT_EQ(expected, m_items->SetActiveState(count, &handle, TRUE, errors.Receive()));
        EXPECT_EQ(expected, m_items->SetClientHandles(count, &handle, &client, errors.Receive()));
        EXPECT_EQ(expected, m_items->SetDatatypes(count, &handle, &type, errors.Receive()));
        EXPECT_EQ(nullptr, errors.Get());
    }
    EXPECT_EQ(E_INVALIDARG, m_items->AddItems(1, nullptr, results.Receive(), errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_items->AddItems(1, &def, nullptr, errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_items->AddItems(1, &def, results.Receive(), nullptr));
    EXPECT_EQ(E_INVALIDARG, m_items->RemoveItems(1, nullptr, errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_items->SetClientHandles(1, &handle, nullptr, errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_items->SetDatatypes(1, &handle, nullptr, errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, m_items->SetActiveState(1, &handle, TRUE, nullptr));
    // Absurd requested types, flags included.
    for (VARTYPE bad : {static_cast<VARTYPE>(VT_BYREF | VT_I4), static_cast<VARTYPE>(VT_ARRAY | VT_BYREF | VT_I4),
                        static_cast<VARTYPE>(VT_VECTOR | VT_I4), static_cast<VARTYPE>(VT_DISPATCH),
                        static_cast<VARTYPE>(VT_ARRAY | VT_UNKNOWN), static_cast<VARTYPE>(VT_INT),
                        static_cast<VARTYPE>(VT_NULL), static_cast<VARTYPE>(0x0FFF), static_cast<VARTYPE>(0xFFFF)})
    {
        HRESULT error = S_OK;
        EXPECT_EQ(0u, AddOne(L"N.P.A", bad, TRUE, &error)) << bad;
        EXPECT_EQ(OPC_E_BADTYPE, error) << bad;
    }
}

TEST_F(ItemsTest, RemovedGroupRefusesEveryItemCall)
{
    OPCHANDLE handle = AddOne(L"N.P.A");
    COpcComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, m_items->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(state.Receive())));
    DWORD rate;
    BOOL active;
    LPWSTR name = nullptr;
    LONG bias;
    FLOAT deadband;
    DWORD locale;
    OPCHANDLE client, server;
    ASSERT_EQ(S_OK, state->GetState(&rate, &active, &name, &bias, &deadband, &locale, &client, &server));
    CoTaskMemFree(name);
    ASSERT_EQ(S_OK, m_server->RemoveGroup(server, TRUE));

    OPCITEMDEF def = Def(L"N.P.A");
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    EXPECT_EQ(E_FAIL, m_items->AddItems(1, &def, results.Receive(), errors.Receive()));
    EXPECT_EQ(E_FAIL, m_items->RemoveItems(1, &handle, errors.Receive()));
    COpcComPtr<IUnknown> enumerator;
    EXPECT_EQ(E_FAIL, m_items->CreateEnumerator(IID_IEnumOPCItemAttributes, enumerator.Receive()));
    COpcTaskMem<OPCITEMSTATE> states;
    EXPECT_EQ(E_FAIL, m_sync->Read(OPC_DS_CACHE, 1, &handle, states.Receive(), errors.Receive()));
    EXPECT_EQ(nullptr, states.Get());
}

TEST_F(ItemsTest, CloneGroupCopiesItemsUnderNewHandles)
{
    OPCHANDLE a = AddOne(L"N.P.A", VT_R8, FALSE);
    COpcComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(S_OK, m_items->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(state.Receive())));
    COpcComPtr<IOPCItemMgt> clone;
    ASSERT_EQ(S_OK, state->CloneGroup(L"Copy", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(clone.Receive())));
    COpcComPtr<IEnumOPCItemAttributes> enumerator;
    ASSERT_EQ(S_OK,
              clone->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(enumerator.Receive())));
    COpcTaskMem<OPCITEMATTRIBUTES> batch;
    ULONG fetched = 0;
    ASSERT_EQ(S_FALSE, enumerator->Next(2, batch.Receive(), &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_STREQ(L"N.P.A", batch.Get()[0].szItemID);
    EXPECT_EQ(VT_R8, batch.Get()[0].vtRequestedDataType);
    EXPECT_FALSE(batch.Get()[0].bActive);
    EXPECT_EQ(100u, batch.Get()[0].hClient);
    EXPECT_NE(0u, batch.Get()[0].hServer);
    OpcDaClearItemAttributes(batch.Get()[0]);
    (void)a;
}
