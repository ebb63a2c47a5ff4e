// Round trips through opcproxy.dll to the out-of-process test server: every
// method shape the real server uses, each value checked as it arrives.
#include "client_support.h"

#include <cmath>

using namespace testserver;

namespace
{

std::wstring ReadDefault(HKEY root, const std::wstring& path)
{
    wchar_t value[MAX_PATH] = {};
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(root, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS)
        return L"";
    return value;
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

TEST(OpcProxyRegistration, EveryInterfaceIsMarshalledByOpcproxyWithThePublishedMethodCount)
{
    const struct
    {
        const IID& iid;
        int methods;
    } interfaces[] = {
        {IID_IOPCServer, 9},
        {IID_IOPCServerPublicGroups, 5},
        {IID_IOPCBrowseServerAddressSpace, 8},
        {IID_IOPCGroupStateMgt, 7},
        {IID_IOPCGroupStateMgt2, 9},
        {IID_IOPCPublicGroupStateMgt, 5},
        {IID_IOPCSyncIO, 5},
        {IID_IOPCSyncIO2, 7},
        {IID_IOPCAsyncIO, 7},
        {IID_IOPCAsyncIO2, 9},
        {IID_IOPCAsyncIO3, 12},
        {IID_IOPCItemMgt, 10},
        {IID_IOPCItemDeadbandMgt, 6},
        {IID_IOPCItemSamplingMgt, 8},
        {IID_IOPCItemProperties, 6},
        {IID_IOPCBrowse, 5},
        {IID_IOPCItemIO, 5},
        {IID_IEnumOPCItemAttributes, 7},
        {IID_IOPCDataCallback, 7},
        {IID_IOPCCommon, 8},
        {IID_IOPCShutdown, 4},
        {IID_IOPCServerList, 6},
        {IID_IOPCServerList2, 6},
        {IID_IOPCEnumGUID, 7},
        {IID_IOpcDaShutdownControl, 4},
    };
    for (const auto& i : interfaces)
    {
        const std::wstring key = L"Interface\\" + GuidText(i.iid);
        SCOPED_TRACE(key);
        EXPECT_EQ(ReadDefault(HKEY_CLASSES_ROOT, key + L"\\NumMethods"), std::to_wstring(i.methods));
        const std::wstring clsid = ReadDefault(HKEY_CLASSES_ROOT, key + L"\\ProxyStubClsid32");
        ASSERT_FALSE(clsid.empty());
        std::wstring path = ReadDefault(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\InprocServer32");
        CharLowerW(&path[0]);
        EXPECT_EQ(path.substr(path.rfind(L'\\') + 1), L"opcproxy.dll");
    }
}

// Fails with NULL or garbage strings when the proxy's [out] string offsets
// are left as widl writes them.
TEST_F(TestServerTest, StringOutParametersArriveIntact)
{
    auto common = Server<IOPCCommon>(IID_IOPCCommon);
    const std::wstring longName(3000, L'名');
    for (const std::wstring& client : {std::wstring(L"クライアント\u00e9-1"), longName, std::wstring()})
    {
        ASSERT_HRESULT_SUCCEEDED(common->SetClientName(client.c_str()));
        ASSERT_HRESULT_SUCCEEDED(common->SetLocaleID(1041));
        TaskString text;
        ASSERT_EQ(common->GetErrorString(OPC_E_UNKNOWNITEMID, text.put()), S_OK);
        EXPECT_EQ(Str(text.get()), CommonErrorText(OPC_E_UNKNOWNITEMID, 1041, client));
        ASSERT_EQ(server_->GetErrorString(E_FAIL, 1033, text.put()), S_OK);
        EXPECT_EQ(Str(text.get()), ServerErrorText(E_FAIL, 1033, client));
    }

    LCID locale = 0;
    ASSERT_EQ(common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 1041u);
    DWORD count = 0;
    TaskArray<LCID> locales;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, locales.put()), S_OK);
    ASSERT_EQ(count, 5u);
    const LCID expected[] = {1033, 9, 0, 127, 1041};
    for (DWORD i = 0; i < count; ++i)
        EXPECT_EQ(locales[i], expected[i]);

    auto browse = Server<IOPCBrowseServerAddressSpace>(IID_IOPCBrowseServerAddressSpace);
    OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
    ASSERT_EQ(browse->QueryOrganization(&organization), S_OK);
    EXPECT_EQ(organization, OPC_NS_FLAT);
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"area/ライン"), S_OK);
    wchar_t leaf[] = L"温度";
    TaskString itemId;
    ASSERT_EQ(browse->GetItemID(leaf, itemId.put()), S_OK);
    EXPECT_EQ(Str(itemId.get()), ItemIdAt(BrowsePosition(OPC_BROWSE_TO, L"area/ライン"), leaf));

    ComPtr<IOPCGroupStateMgt> group;
    OPCHANDLE handle = 0;
    DWORD rate = 0;
    ASSERT_HRESULT_SUCCEEDED(server_->AddGroup(L"グループA", FALSE, 100, 1, nullptr, nullptr, 0, &handle, &rate,
                                               IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(group.put())));
    DWORD updateRate = 0, lcid = 0;
    BOOL active = TRUE;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE client = 0, serverHandle = 0;
    TaskString name;
    ASSERT_EQ(group->GetState(&updateRate, &active, name.put(), &bias, &deadband, &lcid, &client, &serverHandle), S_OK);
    EXPECT_EQ(Str(name.get()), L"グループA");
}

TEST_F(TestServerTest, GroupStateArrivesIntact)
{
    LONG bias = -540;
    FLOAT percent = 12.5f;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IOPCGroupStateMgt2> group;
    ASSERT_EQ(server_->AddGroup(L"g1", TRUE, 230, 77, &bias, &percent, 1041, &handle, &revised, IID_IOPCGroupStateMgt2,
                                reinterpret_cast<IUnknown**>(group.put())),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 250u);
    EXPECT_NE(handle, 0u);

    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LONG gotBias = 0;
    FLOAT gotPercent = 0;
    OPCHANDLE client = 0, server = 0;
    TaskString name;
    ASSERT_EQ(group->GetState(&rate, &active, name.put(), &gotBias, &gotPercent, &lcid, &client, &server), S_OK);
    EXPECT_EQ(rate, 250u);
    EXPECT_EQ(active, TRUE);
    EXPECT_EQ(Str(name.get()), L"g1");
    EXPECT_EQ(gotBias, -540);
    EXPECT_EQ(gotPercent, 12.5f);
    EXPECT_EQ(lcid, 1041u);
    EXPECT_EQ(client, 77u);
    EXPECT_EQ(server, handle);

    // [in, unique] pointers: NULL must arrive as NULL, not as a pointer to 0.
    ComPtr<IOPCGroupStateMgt> bare;
    ASSERT_EQ(server_->AddGroup(L"", FALSE, 100, 78, nullptr, nullptr, 0, &handle, &revised, IID_IOPCGroupStateMgt,
                                reinterpret_cast<IUnknown**>(bare.put())),
              S_OK);
    ASSERT_EQ(bare->GetState(&rate, &active, name.put(), &gotBias, &gotPercent, &lcid, &client, &server), S_OK);
    EXPECT_EQ(Str(name.get()), L"Group2");
    EXPECT_EQ(gotBias, kNoTimeBias);
    EXPECT_EQ(gotPercent, kNoDeadband);

    DWORD newLcid = 1033;
    BOOL inactive = FALSE;
    ASSERT_EQ(group->SetState(nullptr, &revised, &inactive, nullptr, nullptr, &newLcid, nullptr), S_OK);
    EXPECT_EQ(revised, 250u);
    ASSERT_EQ(group->GetState(&rate, &active, name.put(), &gotBias, &gotPercent, &lcid, &client, &server), S_OK);
    EXPECT_EQ(active, FALSE);
    EXPECT_EQ(lcid, 1033u);
    EXPECT_EQ(gotBias, -540);
    EXPECT_EQ(client, 77u);

    DWORD keepAlive = 0;
    EXPECT_EQ(group->SetKeepAlive(1500, &keepAlive), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(keepAlive, 2000u);
    keepAlive = 0;
    ASSERT_EQ(group->GetKeepAlive(&keepAlive), S_OK);
    EXPECT_EQ(keepAlive, 2000u);

    ComPtr<IOPCGroupStateMgt> byName;
    ASSERT_EQ(server_->GetGroupByName(L"g1", IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(byName.put())), S_OK);
    ASSERT_EQ(byName->SetName(L"g1-改"), S_OK);
    ASSERT_EQ(group->GetState(&rate, &active, name.put(), &gotBias, &gotPercent, &lcid, &client, &server), S_OK);
    EXPECT_EQ(Str(name.get()), L"g1-改");
    EXPECT_EQ(server_->RemoveGroup(handle, FALSE), S_OK);
    EXPECT_EQ(server_->RemoveGroup(handle, FALSE), E_FAIL);
}

TEST_F(TestServerTest, ServerStatusArrivesIntact)
{
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> group;
    ASSERT_HRESULT_SUCCEEDED(
        server_->AddGroup(L"", TRUE, 100, 1, nullptr, nullptr, 0, &handle, &revised, IID_IUnknown, group.put()));
    TaskPtr<OPCSERVERSTATUS> status;
    ASSERT_EQ(server_->GetStatus(status.put()), S_OK);
    ASSERT_NE(status.get(), nullptr);
    EXPECT_TRUE(status->ftStartTime == kStartTime);
    EXPECT_TRUE(status->ftCurrentTime == kCurrentTime);
    EXPECT_TRUE(status->ftLastUpdateTime == kLastUpdateTime);
    EXPECT_EQ(status->dwServerState, kServerState);
    EXPECT_EQ(status->dwGroupCount, 1u);
    EXPECT_EQ(status->dwBandWidth, kBandWidth);
    EXPECT_EQ(status->wMajorVersion, kMajor);
    EXPECT_EQ(status->wMinorVersion, kMinor);
    EXPECT_EQ(status->wBuildNumber, kBuild);
    EXPECT_EQ(status->wReserved, 0);
    EXPECT_EQ(Str(status->szVendorInfo), kVendorInfo);
}

TEST_F(TestServerTest, ItemDefinitionsResultsAndAttributesArriveIntact)
{
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_HRESULT_SUCCEEDED(server_->AddGroup(L"", TRUE, 100, 1, nullptr, nullptr, 0, &handle, &revised,
                                               IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items.put())));
    BYTE blob[] = {1, 2, 3, 0, 250};
    wchar_t path0[] = L"経路", id0[] = L"plant.タンク1", id1[] = L"plant.valve", empty[] = L"", id3[] = L"x";
    OPCITEMDEF defs[4] = {};
    defs[0] = {path0, id0, TRUE, 11, sizeof(blob), blob, VT_R4, 0};
    defs[1] = {nullptr, id1, FALSE, 12, 0, nullptr, VT_EMPTY, 0};
    defs[2] = {nullptr, empty, TRUE, 13, 0, nullptr, VT_I2, 0}; // invalid: empty item ID
    defs[3] = {empty, id3, TRUE, 14, 0, nullptr, VT_BSTR, 0};
    TaskArray<OPCITEMRESULT> results(4);
    TaskArray<HRESULT> errors(4);
    ASSERT_EQ(items->AddItems(4, defs, results.put(), errors.put()), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], S_OK);
    EXPECT_EQ(errors[2], OPC_E_INVALIDITEMID);
    EXPECT_EQ(errors[3], S_OK);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(results[1].vtCanonicalDataType, VT_R8);
    EXPECT_EQ(results[0].dwAccessRights, static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE));
    ASSERT_EQ(results[0].dwBlobSize, 5u);
    ASSERT_NE(results[0].pBlob, nullptr);
    const BYTE reversed[] = {250, 0, 3, 2, 1};
    EXPECT_EQ(0, std::memcmp(results[0].pBlob, reversed, 5));
    EXPECT_EQ(results[1].pBlob, nullptr);
    EXPECT_EQ(results[2].hServer, 0u);

    ComPtr<IEnumOPCItemAttributes> e;
    ASSERT_EQ(items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<IUnknown**>(e.put())), S_OK);
    ULONG fetched = 0;
    TaskArray<OPCITEMATTRIBUTES> attributes;
    ASSERT_EQ(e->Next(10, attributes.put(), &fetched), S_FALSE);
    attributes.set_count(fetched);
    ASSERT_EQ(fetched, 3u);
    const OPCITEMDEF* added[] = {&defs[0], &defs[1], &defs[3]};
    const OPCHANDLE serverHandles[] = {results[0].hServer, results[1].hServer, results[3].hServer};
    for (ULONG i = 0; i < fetched; ++i)
    {
        SCOPED_TRACE(i);
        const OPCITEMATTRIBUTES& a = attributes[i];
        EXPECT_EQ(Str(a.szAccessPath), Str(added[i]->szAccessPath));
        EXPECT_EQ(Str(a.szItemID), Str(added[i]->szItemID));
        EXPECT_EQ(a.bActive, added[i]->bActive);
        EXPECT_EQ(a.hClient, added[i]->hClient);
        EXPECT_EQ(a.hServer, serverHandles[i]);
        EXPECT_EQ(a.dwAccessRights, static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE));
        ASSERT_EQ(a.dwBlobSize, added[i]->dwBlobSize);
        if (a.dwBlobSize)
        {
            EXPECT_EQ(0, std::memcmp(a.pBlob, added[i]->pBlob, a.dwBlobSize));
        }
        EXPECT_EQ(a.vtRequestedDataType, added[i]->vtRequestedDataType);
        EXPECT_EQ(a.dwEUType, EuTypeOf(i));
        Variant eu;
        ASSERT_HRESULT_SUCCEEDED(EuInfoOf(i, eu.put()));
        EXPECT_TRUE(SameVariant(a.vEUInfo, *eu.get()));
    }
    EXPECT_EQ(attributes[0].dwEUType, OPC_NOENUM);
    EXPECT_EQ(attributes[1].dwEUType, OPC_ANALOG);
    EXPECT_EQ(attributes[2].dwEUType, OPC_ENUMERATED);

    TaskArray<OPCITEMATTRIBUTES> none;
    ASSERT_EQ(e->Next(1, none.put(), &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(none.get(), nullptr);
}

// VT_BSTR (with an embedded NUL), VT_R8, VT_BOOL, VT_ARRAY and VT_EMPTY.
void MakeValues(Variant (&values)[5])
{
    V_VT(values[0].put()) = VT_BSTR;
    V_BSTR(values[0].get()) = SysAllocStringLen(L"値\0後", 3);
    V_VT(values[1].put()) = VT_R8;
    V_R8(values[1].get()) = -1.25e-300;
    V_VT(values[2].put()) = VT_BOOL;
    V_BOOL(values[2].get()) = VARIANT_TRUE;
    const double numbers[] = {1.0, -2.0, 3.5};
    ASSERT_HRESULT_SUCCEEDED(MakeR8Array(numbers, 3, values[3].put()));
    values[4].put();
}

TEST_F(TestServerTest, VariantValuesRoundTripThroughSyncIo)
{
    OPCHANDLE handles[6] = {};
    ComPtr<IOPCItemMgt> items = AddGroupWithItems(5, handles);
    ASSERT_TRUE(items);
    handles[5] = 0xDEAD; // unknown
    ComPtr<IOPCSyncIO2> io;
    ASSERT_HRESULT_SUCCEEDED(items.As(IID_IOPCSyncIO2, io));

    Variant values[5];
    MakeValues(values);
    VARIANT sent[6];
    for (int i = 0; i < 5; ++i)
        sent[i] = *values[i].get();
    VariantInit(&sent[5]);
    {
        TaskArray<HRESULT> errors(6);
        ASSERT_EQ(io->Write(6, handles, sent, errors.put()), S_FALSE);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(errors[i], S_OK);
        EXPECT_EQ(errors[5], OPC_E_INVALIDHANDLE);
    }
    {
        TaskArray<OPCITEMSTATE> states(6);
        TaskArray<HRESULT> errors(6);
        ASSERT_EQ(io->Read(OPC_DS_DEVICE, 6, handles, states.put(), errors.put()), S_FALSE);
        for (DWORD i = 0; i < 5; ++i)
        {
            SCOPED_TRACE(i);
            EXPECT_EQ(errors[i], S_OK);
            EXPECT_EQ(states[i].hClient, 7000 + i);
            EXPECT_TRUE(states[i].ftTimeStamp == ItemTime(i));
            EXPECT_EQ(states[i].wQuality, OPC_QUALITY_GOOD);
            EXPECT_TRUE(SameVariant(states[i].vDataValue, *values[i].get()));
        }
        EXPECT_EQ(errors[5], OPC_E_INVALIDHANDLE);
        EXPECT_EQ(V_VT(&states[5].vDataValue), VT_EMPTY);
    }

    // VQT: quality and time stamp written with the value come back with it.
    OPCITEMVQT vqt[2] = {};
    vqt[0].vDataValue = *values[3].get();
    vqt[0].bQualitySpecified = TRUE;
    vqt[0].wQuality = OPC_QUALITY_EGU_EXCEEDED | OPC_LIMIT_HIGH;
    vqt[0].bTimeStampSpecified = TRUE;
    vqt[0].ftTimeStamp = FILETIME{0x13572468u, 0x01D00000u};
    vqt[1].vDataValue = *values[0].get();
    {
        TaskArray<HRESULT> errors(2);
        ASSERT_EQ(io->WriteVQT(2, handles, vqt, errors.put()), S_OK);
    }
    DWORD maxAge[2] = {0, 0xFFFFFFFF};
    TaskArray<VARIANT> read(2);
    TaskArray<WORD> qualities(2);
    TaskArray<FILETIME> times(2);
    TaskArray<HRESULT> errors(2);
    ASSERT_EQ(io->ReadMaxAge(2, handles, maxAge, read.put(), qualities.put(), times.put(), errors.put()), S_OK);
    EXPECT_TRUE(SameVariant(read[0], *values[3].get()));
    EXPECT_EQ(qualities[0], OPC_QUALITY_EGU_EXCEEDED | OPC_LIMIT_HIGH);
    EXPECT_TRUE(times[0] == vqt[0].ftTimeStamp);
    EXPECT_TRUE(SameVariant(read[1], *values[0].get()));
    EXPECT_EQ(qualities[1], OPC_QUALITY_GOOD);
    EXPECT_TRUE(times[1] == ItemTime(1));
}

TEST_F(TestServerTest, ItemPropertiesArriveIntact)
{
    auto properties = Server<IOPCItemProperties>(IID_IOPCItemProperties);
    wchar_t item[] = L"tank.レベル";
    DWORD count = 0;
    TaskArray<DWORD> ids;
    TaskArray<LPWSTR> descriptions;
    TaskArray<VARTYPE> types;
    ASSERT_EQ(properties->QueryAvailableProperties(item, &count, ids.put(), descriptions.put(), types.put()), S_OK);
    descriptions.set_count(count);
    ASSERT_EQ(count, kPropertyCount);
    for (DWORD i = 0; i < count; ++i)
    {
        EXPECT_EQ(ids[i], kProperties[i].id);
        EXPECT_EQ(types[i], kProperties[i].type);
        EXPECT_EQ(Str(descriptions[i]), PropertyDescription(item, kProperties[i]));
    }

    DWORD wanted[kPropertyCount + 1];
    for (DWORD i = 0; i < kPropertyCount; ++i)
        wanted[i] = kProperties[i].id;
    wanted[kPropertyCount] = 4999;
    TaskArray<VARIANT> values(kPropertyCount + 1);
    TaskArray<HRESULT> errors(kPropertyCount + 1);
    ASSERT_EQ(properties->GetItemProperties(item, kPropertyCount + 1, wanted, values.put(), errors.put()), S_FALSE);
    for (DWORD i = 0; i < kPropertyCount; ++i)
    {
        SCOPED_TRACE(wanted[i]);
        EXPECT_EQ(errors[i], S_OK);
        Variant expected;
        ASSERT_HRESULT_SUCCEEDED(PropertyValue(item, wanted[i], expected.put()));
        EXPECT_TRUE(SameVariant(values[i], *expected.get()));
    }
    EXPECT_EQ(errors[kPropertyCount], OPC_E_INVALID_PID);
    EXPECT_EQ(V_VT(&values[kPropertyCount]), VT_EMPTY);

    // An array of strings out with a NULL in the middle.
    DWORD lookup[] = {OPC_PROPERTY_DESCRIPTION, 4999, OPC_PROPERTY_VALUE};
    TaskArray<LPWSTR> newIds(3);
    TaskArray<HRESULT> lookupErrors(3);
    ASSERT_EQ(properties->LookupItemIDs(item, 3, lookup, newIds.put(), lookupErrors.put()), S_FALSE);
    EXPECT_EQ(Str(newIds[0]), PropertyItemId(item, OPC_PROPERTY_DESCRIPTION));
    EXPECT_EQ(newIds[1], nullptr);
    EXPECT_EQ(lookupErrors[1], OPC_E_INVALID_PID);
    EXPECT_EQ(Str(newIds[2]), PropertyItemId(item, OPC_PROPERTY_VALUE));
}

void ExpectProperties(const OPCITEMPROPERTIES& got, const wchar_t* item, const DWORD* ids, DWORD count, bool values)
{
    ASSERT_EQ(got.hrErrorID, S_OK);
    ASSERT_EQ(got.dwNumProperties, count);
    ASSERT_NE(got.pItemProperties, nullptr);
    for (DWORD i = 0; i < count; ++i)
    {
        SCOPED_TRACE(ids[i]);
        const OPCITEMPROPERTY& p = got.pItemProperties[i];
        EXPECT_EQ(p.dwPropertyID, ids[i]);
        const PropertyInfo* info = FindProperty(ids[i]);
        if (!info)
        {
            EXPECT_EQ(p.hrErrorID, OPC_E_INVALID_PID);
            EXPECT_EQ(p.szItemID, nullptr);
            continue;
        }
        EXPECT_EQ(p.hrErrorID, S_OK);
        EXPECT_EQ(p.vtDataType, info->type);
        EXPECT_EQ(Str(p.szItemID), PropertyItemId(item, ids[i]));
        EXPECT_EQ(Str(p.szDescription), PropertyDescription(item, *info));
        Variant expected;
        if (values)
        {
            ASSERT_HRESULT_SUCCEEDED(PropertyValue(item, ids[i], expected.put()));
        }
        EXPECT_TRUE(SameVariant(p.vValue, *expected.get()));
        EXPECT_EQ(p.wReserved, 0);
        EXPECT_EQ(p.dwReserved, 0u);
    }
}

TEST_F(TestServerTest, BrowsePropertiesElementsAndContinuationPointsArriveIntact)
{
    auto browse = Server<IOPCBrowse>(IID_IOPCBrowse);
    wchar_t a[] = L"a.b", bad[] = L"bad", c[] = L"c.ツリー";
    LPWSTR itemIds[] = {a, bad, c};
    DWORD ids[] = {OPC_PROPERTY_ACCESS_RIGHTS, 4999, OPC_PROPERTY_DESCRIPTION, OPC_PROPERTY_SCAN_RATE};
    {
        TaskArray<OPCITEMPROPERTIES> got(3);
        ASSERT_EQ(browse->GetProperties(3, itemIds, TRUE, 4, ids, got.put()), S_FALSE);
        ExpectProperties(got[0], a, ids, 4, true);
        EXPECT_EQ(got[1].hrErrorID, OPC_E_UNKNOWNITEMID);
        EXPECT_EQ(got[1].dwNumProperties, 0u);
        EXPECT_EQ(got[1].pItemProperties, nullptr);
        ExpectProperties(got[2], c, ids, 4, true);
    }

    // Three pages of two, one and none left; the continuation point goes in
    // and comes out through the same [in, out] string.
    wchar_t root[] = L"plant", all[] = L"*", vendor[] = L"";
    DWORD noIds = 0; // [in, size_is(0)] is still a reference pointer: never NULL
    TaskString continuation;
    std::vector<DWORD> seen;
    for (int page = 0; page < 3; ++page)
    {
        SCOPED_TRACE(page);
        BOOL more = FALSE;
        DWORD count = 0;
        TaskArray<OPCBROWSEELEMENT> elements;
        ASSERT_EQ(browse->Browse(root, continuation.inout(), 2, OPC_BROWSE_FILTER_ALL, all, vendor, TRUE, TRUE, 0,
                                 &noIds, &more, &count, elements.put()),
                  S_OK);
        elements.set_count(count);
        const DWORD first = static_cast<DWORD>(seen.size());
        ASSERT_EQ(count, std::min<DWORD>(2, kBrowseElementCount - first));
        for (DWORD i = 0; i < count; ++i)
        {
            const OPCBROWSEELEMENT& e = elements[i];
            EXPECT_EQ(Str(e.szName), BrowseName(first + i));
            EXPECT_EQ(Str(e.szItemID), BrowseItemId(root, first + i));
            EXPECT_EQ(e.dwFlagValue, BrowseFlags(first + i));
            const DWORD valueOnly = OPC_PROPERTY_VALUE;
            ExpectProperties(e.ItemProperties, BrowseItemId(root, first + i).c_str(), &valueOnly, 1, true);
            seen.push_back(first + i);
        }
        if (seen.size() < kBrowseElementCount)
        {
            EXPECT_TRUE(more);
            EXPECT_EQ(Str(continuation.get()), ContinuationPoint(root, static_cast<DWORD>(seen.size())));
        }
        else
        {
            EXPECT_FALSE(more);
            EXPECT_EQ(continuation.get(), nullptr);
        }
    }
    EXPECT_EQ(seen.size(), kBrowseElementCount);

    // The filter enum crosses as a 16-bit value; items only are the even ones.
    BOOL more = TRUE;
    DWORD count = 0;
    TaskArray<OPCBROWSEELEMENT> items;
    continuation.reset();
    ASSERT_EQ(browse->Browse(root, continuation.inout(), 0, OPC_BROWSE_FILTER_ITEMS, all, vendor, FALSE, FALSE, 0,
                             &noIds, &more, &count, items.put()),
              S_OK);
    items.set_count(count);
    ASSERT_EQ(count, 3u);
    for (DWORD i = 0; i < count; ++i)
    {
        EXPECT_EQ(Str(items[i].szName), BrowseName(2 * i));
        EXPECT_EQ(items[i].ItemProperties.dwNumProperties, 0u);
        EXPECT_EQ(items[i].ItemProperties.pItemProperties, nullptr);
    }
    EXPECT_FALSE(more);
}

TEST_F(TestServerTest, ItemIoByItemIdArrivesIntact)
{
    auto io = Server<IOPCItemIO>(IID_IOPCItemIO);
    LPCWSTR ids[] = {L"x.1", L"", L"y.二"};
    DWORD maxAge[] = {0, 5, 0xFFFFFFFF};
    {
        TaskArray<VARIANT> values(3);
        TaskArray<WORD> qualities(3);
        TaskArray<FILETIME> times(3);
        TaskArray<HRESULT> errors(3);
        ASSERT_EQ(io->Read(3, ids, maxAge, values.put(), qualities.put(), times.put(), errors.put()), S_FALSE);
        for (DWORD i : {0u, 2u})
        {
            Variant expected;
            MakeBstr((std::wstring(ids[i]) + L"@" + std::to_wstring(maxAge[i])).c_str(), expected.put());
            EXPECT_TRUE(SameVariant(values[i], *expected.get()));
            EXPECT_EQ(qualities[i], OPC_QUALITY_GOOD);
            EXPECT_TRUE(times[i] == ItemTime(i));
            EXPECT_EQ(errors[i], S_OK);
        }
        EXPECT_EQ(errors[1], OPC_E_INVALIDITEMID);
    }

    Variant values[5];
    MakeValues(values);
    OPCITEMVQT vqt[3] = {};
    vqt[0].vDataValue = *values[2].get();
    vqt[0].bQualitySpecified = TRUE;
    vqt[0].wQuality = OPC_QUALITY_LOCAL_OVERRIDE;
    vqt[2].vDataValue = *values[3].get();
    vqt[2].bTimeStampSpecified = TRUE;
    vqt[2].ftTimeStamp = FILETIME{1, 2};
    TaskArray<HRESULT> writeErrors(3);
    ASSERT_EQ(io->WriteVQT(3, ids, vqt, writeErrors.put()), S_FALSE);
    EXPECT_EQ(writeErrors[1], OPC_E_INVALIDITEMID);

    TaskArray<VARIANT> read(3);
    TaskArray<WORD> qualities(3);
    TaskArray<FILETIME> times(3);
    TaskArray<HRESULT> errors(3);
    ASSERT_EQ(io->Read(3, ids, maxAge, read.put(), qualities.put(), times.put(), errors.put()), S_FALSE);
    EXPECT_TRUE(SameVariant(read[0], *values[2].get()));
    EXPECT_EQ(qualities[0], OPC_QUALITY_LOCAL_OVERRIDE);
    EXPECT_TRUE(SameVariant(read[2], *values[3].get()));
    EXPECT_EQ(qualities[2], OPC_QUALITY_GOOD);
    EXPECT_TRUE(times[2] == (FILETIME{1, 2}));
}

TEST_F(TestServerTest, ItemDeadbandAndSamplingSettingsArriveIntact)
{
    OPCHANDLE handles[3] = {};
    ComPtr<IOPCItemMgt> items = AddGroupWithItems(2, handles);
    ASSERT_TRUE(items);
    handles[2] = 0xBAD;
    ComPtr<IOPCItemDeadbandMgt> deadband;
    ComPtr<IOPCItemSamplingMgt> sampling;
    ASSERT_HRESULT_SUCCEEDED(items.As(IID_IOPCItemDeadbandMgt, deadband));
    ASSERT_HRESULT_SUCCEEDED(items.As(IID_IOPCItemSamplingMgt, sampling));

    FLOAT percents[] = {0.5f, 150.0f, 1.0f};
    {
        TaskArray<HRESULT> errors(3);
        ASSERT_EQ(deadband->SetItemDeadband(3, handles, percents, errors.put()), S_FALSE);
        EXPECT_EQ(errors[0], S_OK);
        EXPECT_EQ(errors[1], E_INVALIDARG);
        EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE);
    }
    {
        TaskArray<FLOAT> got(3);
        TaskArray<HRESULT> errors(3);
        ASSERT_EQ(deadband->GetItemDeadband(3, handles, got.put(), errors.put()), S_FALSE);
        EXPECT_EQ(got[0], 0.5f);
        EXPECT_EQ(errors[1], OPC_E_DEADBANDNOTSET);
        EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE);
    }

    DWORD rates[] = {250, 300};
    {
        TaskArray<DWORD> revised(2);
        TaskArray<HRESULT> errors(2);
        ASSERT_EQ(sampling->SetItemSamplingRate(2, handles, rates, revised.put(), errors.put()), S_OK);
        EXPECT_EQ(revised[0], 300u);
        EXPECT_EQ(errors[0], OPC_S_UNSUPPORTEDRATE);
        EXPECT_EQ(revised[1], 300u);
        EXPECT_EQ(errors[1], S_OK);
    }
    BOOL enable[] = {TRUE, FALSE};
    {
        TaskArray<HRESULT> errors(2);
        ASSERT_EQ(sampling->SetItemBufferEnable(2, handles, enable, errors.put()), S_OK);
    }
    TaskArray<BOOL> got(2);
    TaskArray<HRESULT> errors(2);
    ASSERT_EQ(sampling->GetItemBufferEnable(2, handles, got.put(), errors.put()), S_OK);
    EXPECT_EQ(got[0], TRUE);
    EXPECT_EQ(got[1], FALSE);
}

TEST_F(TestServerTest, InterfacesNotOfferedAnswerNoInterface)
{
    ComPtr<IUnknown> none;
    EXPECT_EQ(server_.As(IID_IOPCServerPublicGroups, none), E_NOINTERFACE);
    EXPECT_EQ(server_.As(IID_IOPCServerList2, none), E_NOINTERFACE);
    OPCHANDLE handles[1] = {};
    ComPtr<IOPCItemMgt> items = AddGroupWithItems(1, handles);
    ASSERT_TRUE(items);
    EXPECT_EQ(items.As(IID_IOPCAsyncIO, none), E_NOINTERFACE);
    EXPECT_EQ(items.As(IID_IOPCPublicGroupStateMgt, none), E_NOINTERFACE);
}

} // namespace
