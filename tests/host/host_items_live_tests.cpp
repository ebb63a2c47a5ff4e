// Item management and synchronous IO of the real server through the proxy, at
// their edges: type refusals, duplicate and unknown items, empty calls, max
// age, labels, item IDs that name properties, and values the server must
// refuse without looking into them.
#include "LiveServerFixture.h"

#include <oleauto.h>

#include <cstdlib>

using namespace host_test;

namespace
{
ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ULONGLONG NowTicks()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

// A time stamp the server set within the last few seconds of this machine's clock.
::testing::AssertionResult IsRecent(const FILETIME& stamp)
{
    const ULONGLONG now = NowTicks();
    const ULONGLONG ticks = Ticks(stamp);
    const ULONGLONG window = 5ull * 10000000ull;
    if (ticks != 0 && ticks <= now + window && now - ticks <= window)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "time stamp " << ticks << " is not near now (" << now << ")";
}

// One client with one group: the item and IO interfaces of the group and the server.
class LiveItemsTest : public LiveServerTest
{
protected:
    void SetUp() override
    {
        LiveServerTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(RegisterAndConnect());
        DWORD revised = 0;
        OPCHANDLE groupHandle = 0;
        // A revised rate (OPC_S_UNSUPPORTEDRATE) depends on the tag set served; these tests read and write.
        ASSERT_HRESULT_SUCCEEDED(m_server->AddGroup(L"Edges", TRUE, 1000, 1, nullptr, nullptr, 1033, &groupHandle,
                                                    &revised, IID_IUnknown, m_group.Receive()));
        m_items = COpcComPtr<IOPCItemMgt>::QueryFrom(m_group.Get(), IID_IOPCItemMgt);
        m_sync = COpcComPtr<IOPCSyncIO2>::QueryFrom(m_group.Get(), IID_IOPCSyncIO2);
        m_itemIo = COpcComPtr<IOPCItemIO>::QueryFrom(m_server, IID_IOPCItemIO);
        ASSERT_TRUE(m_items && m_sync && m_itemIo);
    }

    void TearDown() override
    {
        m_items.Reset();
        m_sync.Reset();
        m_itemIo.Reset();
        m_group.Reset();
        LiveServerTest::TearDown();
    }

    struct Added
    {
        HRESULT call = E_FAIL;
        std::vector<HRESULT> errors;
        std::vector<OPCHANDLE> handles;
        std::vector<VARTYPE> canonical;
    };

    // AddItems of (item ID, requested type) pairs; client handles are 100 onward.
    Added Add(const std::vector<std::pair<const wchar_t*, VARTYPE>>& items)
    {
        std::vector<OPCITEMDEF> defs(items.size());
        for (size_t i = 0; i < items.size(); ++i)
        {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = const_cast<LPWSTR>(items[i].first);
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
            defs[i].vtRequestedDataType = items[i].second;
        }
        Added added;
        COpcTaskMem<OPCITEMRESULT> results;
        COpcTaskMem<HRESULT> errors;
        added.call =
            m_items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Receive(), errors.Receive());
        if (FAILED(added.call))
            return added;
        for (size_t i = 0; i < items.size(); ++i)
        {
            added.errors.push_back(errors.Get()[i]);
            added.handles.push_back(results.Get()[i].hServer);
            added.canonical.push_back(results.Get()[i].vtCanonicalDataType);
            CoTaskMemFree(results.Get()[i].pBlob);
        }
        return added;
    }

    struct Sample
    {
        HRESULT error = E_FAIL;
        VARIANT value;
        WORD quality = 0;
        FILETIME stamp = {};
        Sample() { VariantInit(&value); }
        Sample(const Sample&) = delete;
        Sample(Sample&& other) noexcept
            : error(other.error), value(other.value), quality(other.quality), stamp(other.stamp)
        {
            VariantInit(&other.value);
        }
        ~Sample() { VariantClear(&value); }
    };

    // IOPCSyncIO2::ReadMaxAge of one item.
    Sample ReadAged(OPCHANDLE handle, DWORD maxAge)
    {
        Sample sample;
        COpcTaskMem<VARIANT> values;
        COpcTaskMem<WORD> qualities;
        COpcTaskMem<FILETIME> stamps;
        COpcTaskMem<HRESULT> errors;
        HRESULT hr = m_sync->ReadMaxAge(1, &handle, &maxAge, values.Receive(), qualities.Receive(), stamps.Receive(),
                                        errors.Receive());
        if (FAILED(hr))
        {
            sample.error = hr;
            return sample;
        }
        sample.error = errors.Get()[0];
        sample.value = values.Get()[0];
        sample.quality = qualities.Get()[0];
        sample.stamp = stamps.Get()[0];
        return sample;
    }

    // IOPCSyncIO::Read of several items; the call's result in *call.
    std::vector<Sample> Read(OPCDATASOURCE source, std::vector<OPCHANDLE> handles, HRESULT* call = nullptr)
    {
        std::vector<Sample> samples;
        COpcTaskMem<OPCITEMSTATE> states;
        COpcTaskMem<HRESULT> errors;
        const HRESULT hr = m_sync->Read(source, static_cast<DWORD>(handles.size()), handles.data(), states.Receive(),
                                        errors.Receive());
        if (call != nullptr)
            *call = hr;
        if (FAILED(hr))
            return samples;
        for (size_t i = 0; i < handles.size(); ++i)
        {
            Sample sample;
            sample.error = errors.Get()[i];
            sample.value = states.Get()[i].vDataValue;
            sample.quality = states.Get()[i].wQuality;
            sample.stamp = states.Get()[i].ftTimeStamp;
            samples.push_back(std::move(sample));
        }
        return samples;
    }

    // IOPCSyncIO::Write of one value per item; the per-item errors.
    std::vector<HRESULT> Write(std::vector<OPCHANDLE> handles, std::vector<VARIANT> values, HRESULT& call)
    {
        COpcTaskMem<HRESULT> errors;
        call = m_sync->Write(static_cast<DWORD>(handles.size()), handles.data(), values.data(), errors.Receive());
        std::vector<HRESULT> result;
        if (SUCCEEDED(call))
            result.assign(errors.Get(), errors.Get() + handles.size());
        return result;
    }

    std::string RuntimeValue(const char* address, const char* type)
    {
        const DWORD pid = devlane_control::FindProcess(L"tagbridge.exe");
        if (pid == 0)
            return "<no server>";
        devlane_control::Client runtime(pid);
        return runtime.Get("Line1.PLC1", address, type, 1);
    }

    COpcComPtr<IUnknown> m_group;
    COpcComPtr<IOPCItemMgt> m_items;
    COpcComPtr<IOPCSyncIO2> m_sync;
    COpcComPtr<IOPCItemIO> m_itemIo;
};

TEST_F(LiveItemsTest, ItemManagementRefusesWhatItMustAndKeepsTheRest)
{
    const Added added = Add({{L"Line1.PLC1.Process.Level", VT_EMPTY},
                             {L"Line1.PLC1.Process.Level", VT_BSTR},
                             {L"Line1.PLC1.Process.Ramp", VT_ARRAY | VT_I2},
                             {L"Line1.PLC1.Process.Ramp", VT_DECIMAL},
                             {L"Line1.PLC1.Fixed.Inputs", VT_BSTR},
                             {L"Line1.PLC1.Fixed.Count", static_cast<VARTYPE>(0x7FFF)},
                             {L"", VT_EMPTY},
                             {L"Line1.PLC1.Process.Level:abc", VT_EMPTY},
                             {L"Line1.PLC1.Nothing", VT_EMPTY}});
    ASSERT_EQ(S_FALSE, added.call);
    // Only an empty ID is invalid here; any other that names no tag is unknown.
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, OPC_E_BADTYPE, OPC_E_BADTYPE, S_OK, OPC_E_BADTYPE, OPC_E_INVALIDITEMID,
                                    OPC_E_UNKNOWNITEMID, OPC_E_UNKNOWNITEMID}),
              added.errors);
    // The same tag twice is two items; an array tag may be read as one text.
    EXPECT_NE(added.handles[0], added.handles[1]);
    EXPECT_EQ(VT_R4, added.canonical[0]);
    EXPECT_EQ(VT_ARRAY | VT_BOOL, added.canonical[4]);

    // Validation adds nothing.
    OPCITEMDEF check[2] = {};
    check[0].szItemID = const_cast<LPWSTR>(L"Line1.PLC1.Fixed.Serial");
    check[1].szItemID = const_cast<LPWSTR>(L"Line1.PLC1.Fixed.Nothing");
    check[0].szAccessPath = check[1].szAccessPath = const_cast<LPWSTR>(L"");
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE, m_items->ValidateItems(2, check, FALSE, results.Receive(), errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors.Get()[1]);
    EXPECT_EQ(VT_UI4, results.Get()[0].vtCanonicalDataType);
    EXPECT_EQ(static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE), results.Get()[0].dwAccessRights);

    // The enumerator lists the three items with their attributes, in the order added.
    COpcComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, m_items->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.Receive()));
    auto attributes = COpcComPtr<IEnumOPCItemAttributes>::QueryFrom(unknown.Get(), IID_IEnumOPCItemAttributes);
    ASSERT_TRUE(attributes);
    OPCITEMATTRIBUTES* list = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, attributes->Next(10, &list, &fetched));
    ASSERT_EQ(3u, fetched);
    std::vector<std::wstring> ids;
    for (ULONG i = 0; i < fetched; ++i)
        ids.push_back(list[i].szItemID);
    EXPECT_EQ((std::vector<std::wstring>{L"Line1.PLC1.Process.Level", L"Line1.PLC1.Process.Level",
                                         L"Line1.PLC1.Fixed.Inputs"}),
              ids);
    const OPCITEMATTRIBUTES& level = list[0];
    EXPECT_EQ(OPC_ANALOG, level.dwEUType);
    ASSERT_EQ(VT_ARRAY | VT_R8, level.vEUInfo.vt);
    double* range = static_cast<double*>(level.vEUInfo.parray->pvData);
    EXPECT_EQ(0.0, range[0]);
    EXPECT_EQ(100.0, range[1]);
    EXPECT_EQ(100u, level.hClient);
    EXPECT_EQ(VT_BSTR, list[1].vtRequestedDataType);
    EXPECT_EQ(VT_EMPTY, list[2].vEUInfo.vt);
    for (ULONG i = 0; i < fetched; ++i)
    {
        CoTaskMemFree(list[i].szItemID);
        CoTaskMemFree(list[i].szAccessPath);
        CoTaskMemFree(list[i].pBlob);
        VariantClear(&list[i].vEUInfo);
    }
    CoTaskMemFree(list);

    // A good and an unknown handle: the good one is changed, the call says S_FALSE.
    OPCHANDLE pair[2] = {added.handles[0], 0xBADBAD};
    OPCHANDLE clientHandles[2] = {7, 8};
    VARTYPE types[2] = {VT_R8, VT_R8};
    errors.Reset();
    EXPECT_EQ(S_FALSE, m_items->SetClientHandles(2, pair, clientHandles, errors.Receive()));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);
    errors.Reset();
    EXPECT_EQ(S_FALSE, m_items->SetActiveState(2, pair, FALSE, errors.Receive()));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);
    errors.Reset();
    EXPECT_EQ(S_FALSE, m_items->SetDatatypes(2, pair, types, errors.Receive()));
    errors.Reset();
    types[0] = VT_DECIMAL;
    EXPECT_EQ(S_FALSE, m_items->SetDatatypes(1, pair, types, errors.Receive()));
    EXPECT_EQ(OPC_E_BADTYPE, errors.Get()[0]);
    errors.Reset();
    std::vector<Sample> samples = Read(OPC_DS_DEVICE, {added.handles[0]});
    ASSERT_EQ(1u, samples.size());
    EXPECT_EQ(VT_R8, samples[0].value.vt) << "the refused type left the earlier one in place";
    EXPECT_EQ(0x1C, Read(OPC_DS_CACHE, {added.handles[0]})[0].quality);

    errors.Reset();
    EXPECT_EQ(S_FALSE, m_items->RemoveItems(2, pair, errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);
    errors.Reset();
    EXPECT_EQ(S_FALSE, m_items->RemoveItems(1, pair, errors.Receive())) << "already removed";

    // An empty group still hands out an enumerator, with nothing in it.
    COpcComPtr<IUnknown> empty;
    DWORD revised = 0;
    OPCHANDLE handle = 0;
    ASSERT_EQ(S_OK, m_server->AddGroup(L"Empty", FALSE, 1000, 2, nullptr, nullptr, 1033, &handle, &revised,
                                       IID_IUnknown, empty.Receive()));
    auto emptyItems = COpcComPtr<IOPCItemMgt>::QueryFrom(empty.Get(), IID_IOPCItemMgt);
    ASSERT_TRUE(emptyItems);
    unknown.Reset();
    ASSERT_EQ(S_OK, emptyItems->CreateEnumerator(IID_IEnumOPCItemAttributes, unknown.Receive()));
    attributes = COpcComPtr<IEnumOPCItemAttributes>::QueryFrom(unknown.Get(), IID_IEnumOPCItemAttributes);
    ASSERT_TRUE(attributes);
    list = nullptr;
    fetched = 5;
    EXPECT_EQ(S_FALSE, attributes->Next(1, &list, &fetched));
    EXPECT_EQ(0u, fetched);
    CoTaskMemFree(list);
}

TEST_F(LiveItemsTest, EveryCallRefusesACountOfZero)
{
    OPCITEMDEF def = {};
    def.szItemID = const_cast<LPWSTR>(L"Line1.PLC1.Process.Level");
    def.szAccessPath = const_cast<LPWSTR>(L"");
    OPCHANDLE handle = 1;
    BOOL flag = FALSE;
    VARTYPE type = VT_EMPTY;
    DWORD age = 0;
    VARIANT value;
    VariantInit(&value);
    OPCITEMVQT vqt = {};
    LPCWSTR id = L"Line1.PLC1.Process.Level";

    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    OPCITEMSTATE* states = nullptr;
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* stamps = nullptr;
    EXPECT_EQ(E_INVALIDARG, m_items->AddItems(0, &def, &results, &errors));
    EXPECT_EQ(E_INVALIDARG, m_items->ValidateItems(0, &def, flag, &results, &errors));
    EXPECT_EQ(E_INVALIDARG, m_items->RemoveItems(0, &handle, &errors));
    EXPECT_EQ(E_INVALIDARG, m_items->SetActiveState(0, &handle, TRUE, &errors));
    EXPECT_EQ(E_INVALIDARG, m_items->SetClientHandles(0, &handle, &handle, &errors));
    EXPECT_EQ(E_INVALIDARG, m_items->SetDatatypes(0, &handle, &type, &errors));
    EXPECT_EQ(E_INVALIDARG, m_sync->Read(OPC_DS_CACHE, 0, &handle, &states, &errors));
    EXPECT_EQ(E_INVALIDARG, m_sync->Write(0, &handle, &value, &errors));
    EXPECT_EQ(E_INVALIDARG, m_sync->ReadMaxAge(0, &handle, &age, &values, &qualities, &stamps, &errors));
    EXPECT_EQ(E_INVALIDARG, m_sync->WriteVQT(0, &handle, &vqt, &errors));
    EXPECT_EQ(E_INVALIDARG, m_itemIo->Read(0, &id, &age, &values, &qualities, &stamps, &errors));
    EXPECT_EQ(E_INVALIDARG, m_itemIo->WriteVQT(0, &id, &vqt, &errors));
    EXPECT_EQ(nullptr, errors);
    EXPECT_EQ(nullptr, results);
    EXPECT_EQ(nullptr, states);
    EXPECT_EQ(nullptr, values);
}

TEST_F(LiveItemsTest, MaxAgeDecidesWhenTheDeviceIsAsked)
{
    const Added added = Add({{L"Line1.PLC1.Fixed.Count", VT_EMPTY}, {L"Line1.PLC1.Process.Ramp", VT_EMPTY}});
    ASSERT_EQ(S_OK, added.call);
    const OPCHANDLE count = added.handles[0];
    const OPCHANDLE ramp = added.handles[1];
    // Inactive, so the group's subscription does not refresh the cache between the reads.
    OPCHANDLE both[2] = {count, ramp};
    COpcTaskMem<HRESULT> inactive;
    ASSERT_EQ(S_OK, m_items->SetActiveState(2, both, FALSE, inactive.Receive()));

    // Never read from the device: even the largest max age refreshes once.
    Sample first = ReadAged(count, 0xFFFFFFFF);
    ASSERT_EQ(S_OK, first.error);
    EXPECT_EQ(VT_I2, first.value.vt);
    EXPECT_EQ(1234, first.value.iVal);
    EXPECT_EQ(0xC0, first.quality);
    EXPECT_TRUE(IsRecent(first.stamp));

    // Once the sample is older than 100 ms, the cached sample is returned as
    // it is, time stamp included, to any larger max age.
    const ULONGLONG olderThan100Ms = Ticks(first.stamp) + 1500000;
    ASSERT_TRUE(WaitFor([&] { return NowTicks() >= olderThan100Ms; }));
    Sample cached = ReadAged(count, 0xFFFFFFFF);
    ASSERT_EQ(S_OK, cached.error);
    EXPECT_EQ(1234, cached.value.iVal);
    EXPECT_EQ(Ticks(first.stamp), Ticks(cached.stamp));
    EXPECT_EQ(Ticks(first.stamp), Ticks(ReadAged(count, 60000).stamp)) << "a minute is not over yet";
    Sample aged = ReadAged(count, 100);
    EXPECT_GE(Ticks(aged.stamp), olderThan100Ms) << "older than 100 ms: refreshed";
    EXPECT_TRUE(IsRecent(aged.stamp));
    EXPECT_EQ(0xC0, aged.quality);

    // A moving value: the cache holds it, max age 0 fetches the device's current one.
    Sample rampFirst = ReadAged(ramp, 0);
    ASSERT_EQ(S_OK, rampFirst.error);
    devlane_control::Client runtime(devlane_control::FindProcess(L"tagbridge.exe"));
    const std::string before = runtime.Get("Line1.PLC1", "D100", "int16");
    ASSERT_FALSE(before.empty());
    ASSERT_TRUE(WaitFor(
        [&]
        {
            const std::string now = runtime.Get("Line1.PLC1", "D100", "int16");
            return !now.empty() && now != before;
        }))
        << "the runtime's ramp moves every 100 ms";
    Sample rampCached = ReadAged(ramp, 0xFFFFFFFF);
    EXPECT_EQ(rampFirst.value.iVal, rampCached.value.iVal);
    EXPECT_EQ(Ticks(rampFirst.stamp), Ticks(rampCached.stamp));
    std::vector<Sample> fromCache = Read(OPC_DS_CACHE, {ramp});
    ASSERT_EQ(1u, fromCache.size());
    EXPECT_EQ(rampFirst.value.iVal, fromCache[0].value.iVal) << "a cache read does not ask the device";
    Sample rampNow = ReadAged(ramp, 0);
    EXPECT_NE(rampFirst.value.iVal, rampNow.value.iVal);
    EXPECT_GT(Ticks(rampNow.stamp), Ticks(rampFirst.stamp));
}

TEST_F(LiveItemsTest, ContactLabelsAndPropertyItemIds)
{
    // The eight fixed inputs 1 0 1 1 0 0 1 0 read as texts give their contact labels.
    const Added added = Add({{L"Line1.PLC1.Fixed.Inputs", VT_ARRAY | VT_BSTR},
                             {L"Line1.PLC1.Process.Pump", VT_BOOL},
                             {L"Line1.PLC1.Process.Pump", VT_BSTR}});
    ASSERT_EQ(S_OK, added.call);
    std::vector<Sample> inputs = Read(OPC_DS_DEVICE, {added.handles[0]});
    ASSERT_EQ(1u, inputs.size());
    ASSERT_EQ(S_OK, inputs[0].error);
    ASSERT_EQ(VT_ARRAY | VT_BSTR, inputs[0].value.vt);
    ASSERT_EQ(8u, inputs[0].value.parray->rgsabound[0].cElements);
    std::vector<std::wstring> labels;
    for (ULONG i = 0; i < 8; ++i)
        labels.push_back(static_cast<BSTR*>(inputs[0].value.parray->pvData)[i]);
    EXPECT_EQ((std::vector<std::wstring>{L"ON", L"OFF", L"ON", L"ON", L"OFF", L"OFF", L"ON", L"OFF"}), labels);
    EXPECT_EQ(0xC0, inputs[0].quality);
    EXPECT_TRUE(IsRecent(inputs[0].stamp));

    // The pump's one cached sample, as a flag and as its label, after one device read.
    ASSERT_EQ(S_OK, Read(OPC_DS_DEVICE, {added.handles[1]})[0].error);
    std::vector<Sample> pump = Read(OPC_DS_CACHE, {added.handles[1], added.handles[2]});
    ASSERT_EQ(2u, pump.size());
    ASSERT_EQ(VT_BOOL, pump[0].value.vt);
    ASSERT_EQ(VT_BSTR, pump[1].value.vt);
    EXPECT_STREQ(pump[0].value.boolVal ? L"RUN" : L"STOP", pump[1].value.bstrVal);
    EXPECT_EQ(Ticks(pump[0].stamp), Ticks(pump[1].stamp));

    // By item ID: a tag, a property of it, unknown and malformed IDs.
    LPCWSTR ids[] = {L"Line1.PLC1.Fixed.Count", L"Line1.PLC1.Fixed.Count:101", L"Line1.PLC1.NoSuchTag", L"",
                     L"Line1.PLC1.Fixed.Count:abc"};
    DWORD ages[] = {0, 0, 0, 0, 0};
    COpcTaskMem<VARIANT> values;
    COpcTaskMem<WORD> qualities;
    COpcTaskMem<FILETIME> stamps;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE,
              m_itemIo->Read(5, ids, ages, values.Receive(), qualities.Receive(), stamps.Receive(), errors.Receive()));
    EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID, OPC_E_INVALIDITEMID}),
              std::vector<HRESULT>(errors.Get(), errors.Get() + 5));
    EXPECT_EQ(VT_I2, values.Get()[0].vt);
    EXPECT_EQ(1234, values.Get()[0].iVal);
    EXPECT_EQ(0xC0, qualities.Get()[0]);
    EXPECT_TRUE(IsRecent(stamps.Get()[0]));
    ASSERT_EQ(VT_BSTR, values.Get()[1].vt);
    EXPECT_STREQ(L"Fixed 16-bit value", values.Get()[1].bstrVal);
    EXPECT_EQ(OPC_QUALITY_GOOD, qualities.Get()[1]);
    for (DWORD i = 0; i < 5; ++i)
        VariantClear(&values.Get()[i]);

    // A property cannot be written; the set point can, and arrives scaled back to raw.
    OPCITEMVQT vqt[3] = {};
    LPCWSTR targets[] = {L"Line1.PLC1.Fixed.Count:101", L"Line1.PLC1.Fixed.Setpoint", L"Line1.PLC1.NoSuchTag"};
    vqt[0].vDataValue.vt = VT_I2;
    vqt[0].vDataValue.iVal = 5;
    vqt[1].vDataValue.vt = VT_R4;
    vqt[1].vDataValue.fltVal = 25.0f;
    vqt[2].vDataValue.vt = VT_I2;
    errors.Reset();
    ASSERT_EQ(S_FALSE, m_itemIo->WriteVQT(3, targets, vqt, errors.Receive()));
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_BADRIGHTS, S_OK, OPC_E_UNKNOWNITEMID}),
              std::vector<HRESULT>(errors.Get(), errors.Get() + 3));
    EXPECT_EQ("250", RuntimeValue("D200", "int16"));
    EXPECT_EQ("1234", RuntimeValue("D0", "int16")) << "the property write reached nothing";
}

TEST_F(LiveItemsTest, ValuesAndHandlesTheServerMustRefuse)
{
    const Added added = Add({{L"Line1.PLC1.Fixed.Total", VT_EMPTY}});
    ASSERT_EQ(S_OK, added.call);
    const OPCHANDLE total = added.handles[0];

    // Unknown handles fail per item.
    HRESULT call = E_FAIL;
    std::vector<Sample> samples = Read(OPC_DS_CACHE, {total, 0xBADBAD}, &call);
    EXPECT_EQ(S_FALSE, call);
    ASSERT_EQ(2u, samples.size());
    EXPECT_EQ(S_OK, samples[0].error);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, samples[1].error);
    EXPECT_EQ(VT_EMPTY, samples[1].value.vt);

    // Values that must not be looked into: a reference, an interface, an array of
    // interfaces, and a type no tag converts from.
    VARIANT byRef;
    VariantInit(&byRef);
    LONG target = 77;
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &target;
    VARIANT dispatch;
    VariantInit(&dispatch);
    dispatch.vt = VT_DISPATCH;
    dispatch.pdispVal = nullptr;
    VARIANT unknowns;
    VariantInit(&unknowns);
    unknowns.vt = VT_ARRAY | VT_UNKNOWN;
    unknowns.parray = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    ASSERT_NE(nullptr, unknowns.parray);
    VARIANT empty;
    VariantInit(&empty);
    VARIANT good;
    VariantInit(&good);
    good.vt = VT_I4;
    good.lVal = -12345;

    std::vector<HRESULT> errors =
        Write({total, total, total, total, 0xBADBAD, total}, {byRef, dispatch, unknowns, empty, good, good}, call);
    EXPECT_EQ(S_FALSE, call);
    EXPECT_EQ(
        (std::vector<HRESULT>{OPC_E_BADTYPE, OPC_E_BADTYPE, OPC_E_BADTYPE, OPC_E_BADTYPE, OPC_E_INVALIDHANDLE, S_OK}),
        errors);
    SafeArrayDestroy(unknowns.parray);
    EXPECT_EQ("-12345", RuntimeValue("D10", "int32")) << "only the good value reached the device";

    // The server is still serving.
    samples = Read(OPC_DS_DEVICE, {total});
    ASSERT_EQ(1u, samples.size());
    EXPECT_EQ(S_OK, samples[0].error);
    EXPECT_EQ(-12345, samples[0].value.lVal);
    EXPECT_TRUE(IsRecent(samples[0].stamp));
}

// The same client against a tag set polled once a minute, so an injected
// device failure reaches exactly the call the test makes.
class LiveFaultsTest : public LiveItemsTest
{
protected:
    const wchar_t* FolderName() const override { return L"host-faults"; }

    void SetUp() override
    {
        const std::wstring logDirectory = BinDirectory() + L"\\host-faults\\ErrorLog";
        CreateDirectoryW(logDirectory.c_str(), nullptr);
        m_logPath = logDirectory + L"\\Error.log";
        DeleteFileW(m_logPath.c_str());
        LiveItemsTest::SetUp();
    }

    // Records of the error log file holding `text`; the writer rewrites it about every ten seconds.
    size_t LogRecordsWith(const std::string& text)
    {
        const std::string log = ReadFileText(m_logPath);
        size_t count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++count;
        return count;
    }

    std::wstring m_logPath;
};

TEST_F(LiveFaultsTest, EveryFailedDeviceCallFailsAndKeepsTheValue)
{
    const Added added = Add({{L"Line1.PLC1.Word", VT_EMPTY}, {L"Line1.PLC1.Bits", VT_EMPTY}});
    ASSERT_EQ(S_OK, added.call);
    const OPCHANDLE word = added.handles[0];
    devlane_control::Client runtime(devlane_control::FindProcess(L"tagbridge.exe"));

    // Codes between the translation table's entries, past it, positive, and one it knows.
    const struct
    {
        unsigned long code;
        HRESULT expected;
    } cases[] = {{0xC0B0020E, static_cast<HRESULT>(0xC0048400)},
                 {0xC0B00040, static_cast<HRESULT>(0xC0048400)},
                 {0xC0B00300, static_cast<HRESULT>(0xC0048400)},
                 {0x00000005, static_cast<HRESULT>(0xC0048400)},
                 {0xC0B00010, static_cast<HRESULT>(0xC0048010)}};
    short good = 100;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.code);
        ASSERT_TRUE(runtime.Set("Line1.PLC1", "D40", "int16", std::to_string(++good)));
        std::vector<Sample> samples = Read(OPC_DS_DEVICE, {word});
        ASSERT_EQ(1u, samples.size());
        ASSERT_EQ(0xC0, samples[0].quality);
        ASSERT_EQ(good, samples[0].value.iVal);

        // A refused read: last known value, bad quality, the old value kept.
        ASSERT_TRUE(runtime.Set("Line1.PLC1", "D40", "int16", "-1"));
        ASSERT_TRUE(runtime.Inject("ReadDevice16M", c.code, 1));
        samples = Read(OPC_DS_DEVICE, {word});
        ASSERT_EQ(1u, samples.size());
        EXPECT_EQ(S_OK, samples[0].error);
        EXPECT_EQ(0x14, samples[0].quality);
        EXPECT_EQ(VT_I2, samples[0].value.vt);
        EXPECT_EQ(good, samples[0].value.iVal);

        // A refused write: the client is told, the device keeps its value.
        ASSERT_TRUE(runtime.Inject("WriteDevice16DM", c.code, 1));
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_I2;
        value.iVal = 555;
        HRESULT call = E_FAIL;
        EXPECT_EQ((std::vector<HRESULT>{c.expected}), Write({word}, {value}, call));
        EXPECT_EQ(S_FALSE, call);
        EXPECT_EQ("-1", runtime.Get("Line1.PLC1", "D40", "int16"));
    }

    // The client can have the unknown failure explained.
    COpcTaskMem<wchar_t> text;
    ASSERT_EQ(S_OK, m_server->GetErrorString(static_cast<HRESULT>(0xC0048400), 1033, text.Receive()));
    EXPECT_NE(nullptr, wcsstr(text.Get(), L"device-access library"));

    // Too many bits for one write: read-only, and the client is told so.
    VARIANT bits;
    VariantInit(&bits);
    bits.vt = VT_ARRAY | VT_BOOL;
    bits.parray = SafeArrayCreateVector(VT_BOOL, 0, 300);
    HRESULT call = E_FAIL;
    EXPECT_EQ((std::vector<HRESULT>{OPC_E_BADRIGHTS}), Write({added.handles[1]}, {bits}, call));
    SafeArrayDestroy(bits.parray);

    // One record per failed call, each with the library's own code where the table has none.
    EXPECT_TRUE(WaitFor([&] { return LogRecordsWith("API      = WriteDevice16DM") == 5; }, 30000));
    EXPECT_EQ(5u, LogRecordsWith("API      = ReadDevice16M"));
    EXPECT_EQ(4u, LogRecordsWith("OLECode  = 0xc0048400 \r\n  API      = ReadDevice16M"));
    EXPECT_EQ(1u, LogRecordsWith("OLECode  = 0xc0048010 \r\n  API      = WriteDevice16DM"));
    EXPECT_EQ(2u, LogRecordsWith("(device code 0xc0b0020e)"));
    EXPECT_EQ(2u, LogRecordsWith("(device code 0x00000005)"));
}
} // namespace
