// Browsing and item properties of the server object, in process, over an
// address space loaded from a small tag configuration in simulation mode.
#include "BrowseOnlyHost.h"
#include "OpcDaDevice.h"
#include "OpcDaDeviceCache.h"
#include "OpcDaSettings.h"
#include "OpcDevlaneAPI.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"
#include "OpcTagDocument.h"
#include "OpcTaskMem.h"

#include <opcerror.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace
{
class ComEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};

::testing::Environment* const comEnvironment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

// Node N, device P with five children: three tags, a group G holding two
// more, and a float tag.
const char* const TagConfiguration = R"xml(<?xml version="1.0" encoding="utf-8"?>
<TagConfiguration>
<RXIInformation BaseFileName="Test.rxp" BuiledNumber="7"/>
<Lintor Name="N" Enable="1">
<Device Name="P" Enable="1">
<AnalogTag Name="A" Enable="1" DeviceAddress="D0" DataType="16Bit(Signed)" DataCount="1" ScanCycle="10" Description="Level" Simulation="None" HighEU="100" LowEU="0" HighInstrumentRange="32767" LowInstrumentRange="-32768" EngineeringUnit="%" DeadBand="0" DecimalPoint="0" SignalCondition="None"/>
<DigitalTag Name="D" Enable="1" DeviceAddress="M0" DataType="Bit" DataCount="1" ScanCycle="10" Description="Pump" Simulation="None" CloseLabel="ON" OpenLabel="OFF" Inverse="Off"/>
<StringTag Name="S" Enable="1" DeviceAddress="D30" DataType="String" DataCount="8" ScanCycle="10" Description="Text" Simulation="None" NullTermination="1"/>
<TagGroup Name="G" Enable="1">
<AnalogTag Name="X" Enable="1" DeviceAddress="D1" DataType="16Bit(Signed)" DataCount="1" ScanCycle="10" Description="x" Simulation="None" HighEU="100" LowEU="0" HighInstrumentRange="32767" LowInstrumentRange="-32768" EngineeringUnit="%" DeadBand="0" DecimalPoint="0" SignalCondition="None"/>
<DigitalTag Name="Y" Enable="1" DeviceAddress="M1" DataType="Bit" DataCount="1" ScanCycle="10" Description="y" Simulation="None" CloseLabel="ON" OpenLabel="OFF" Inverse="Off"/>
</TagGroup>
<AnalogTag Name="F" Enable="1" DeviceAddress="D2" DataType="Float" DataCount="1" ScanCycle="10" Description="f" Simulation="None" HighEU="100" LowEU="0" HighInstrumentRange="100" LowInstrumentRange="0" EngineeringUnit="%" DeadBand="0" DecimalPoint="0" SignalCondition="None"/>
</Device>
</Lintor>
</TagConfiguration>
)xml";

// The process around the server objects, with a loaded address space.
class LoadedHost : public IOpcServerHost
{
public:
    LoadedHost() : api(Simulated(settings)), device(settings, api), cache(settings, api, device)
    {
        cache.SetState(OPC_STATUS_RUNNING);
    }
    HRESULT AddServerLock() override { return S_OK; }
    void ReleaseServerLock() override {}
    void RequestStop() override {}
    COpcDaCache* AddressSpace() override { return &cache; }
    COpcDaSettings* Settings() override { return &settings; }
    COpcDevlaneAPI* DeviceAccess() override { return &api; }
    const COpcVersionInfo& VersionInfo() override { return version; }
    void RegisterServer(COpcServerObject*) override {}
    void UnregisterServer(COpcServerObject*) override {}

    // Reads the device tree and registers its items; starts no thread.
    HRESULT Load()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + L"tagbridge-browse-" + std::to_wstring(GetCurrentProcessId()) + L".xml";
        {
            std::ofstream out(path.c_str(), std::ios::binary);
            out << TagConfiguration;
        }
        COpcTagDocument document;
        HRESULT hr = document.Load(COpcString(path.c_str()));
        DeleteFileW(path.c_str());
        if (FAILED(hr))
            return hr;
        device.ReadConfiguration(*document.Root());
        return device.RegisterAll();
    }

    static COpcDaSettings& Simulated(COpcDaSettings& settings)
    {
        settings.simulationEnabled = true;
        settings.simulationInterval = 1000;
        settings.simulationUnit = 100;
        return settings;
    }

    COpcDaSettings settings;
    COpcDevlaneAPI api;
    COpcDaDevice device;
    COpcDaDeviceCache cache;
    COpcVersionInfo version;
    std::wstring path;
};

std::wstring Take(LPWSTR text)
{
    std::wstring result = text ? text : L"(null)";
    CoTaskMemFree(text);
    return result;
}

std::vector<std::wstring> Drain(IEnumString* enumerator)
{
    std::vector<std::wstring> names;
    LPOLESTR name = nullptr;
    ULONG fetched = 0;
    while (enumerator != nullptr && enumerator->Next(1, &name, &fetched) == S_OK)
        names.push_back(Take(name));
    return names;
}

// Everything a Browse call hands back, freed on destruction.
struct BrowseResult
{
    ~BrowseResult()
    {
        for (DWORD i = 0; i < count; ++i)
        {
            CoTaskMemFree(elements[i].szName);
            CoTaskMemFree(elements[i].szItemID);
            OPCITEMPROPERTIES& p = elements[i].ItemProperties;
            for (DWORD j = 0; j < p.dwNumProperties; ++j)
            {
                CoTaskMemFree(p.pItemProperties[j].szItemID);
                CoTaskMemFree(p.pItemProperties[j].szDescription);
                VariantClear(&p.pItemProperties[j].vValue);
            }
            CoTaskMemFree(p.pItemProperties);
        }
        CoTaskMemFree(elements);
    }
    std::vector<std::wstring> Names() const
    {
        std::vector<std::wstring> names;
        for (DWORD i = 0; i < count; ++i)
            names.push_back(elements[i].szName);
        return names;
    }
    HRESULT hr = E_FAIL;
    BOOL more = TRUE;
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
};

typedef std::vector<std::wstring> Names;

class BrowseTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, host.Load());
        OpcSetServerHost(&host);
        ASSERT_EQ(S_OK, OpcCreateServerObject(nullptr, m_unknown.Receive()));
        m_space =
            COpcComPtr<IOPCBrowseServerAddressSpace>::QueryFrom(m_unknown.Get(), IID_IOPCBrowseServerAddressSpace);
        m_browse = COpcComPtr<IOPCBrowse>::QueryFrom(m_unknown.Get(), IID_IOPCBrowse);
        m_properties = COpcComPtr<IOPCItemProperties>::QueryFrom(m_unknown.Get(), IID_IOPCItemProperties);
        ASSERT_TRUE(m_space && m_browse && m_properties);
    }
    void TearDown() override
    {
        m_space.Reset();
        m_browse.Reset();
        m_properties.Reset();
        m_unknown.Reset();
        OpcSetServerHost(nullptr);
    }

    Names Ids(OPCBROWSETYPE type, const wchar_t* filter = L"", VARTYPE vt = VT_EMPTY, DWORD rights = 0,
              HRESULT* result = nullptr)
    {
        COpcComPtr<IEnumString> enumerator;
        HRESULT hr = m_space->BrowseOPCItemIDs(type, filter, vt, rights, enumerator.Receive());
        if (result)
            *result = hr;
        return Drain(enumerator.Get());
    }

    std::wstring Position()
    {
        LPWSTR id = nullptr;
        m_space->GetItemID(const_cast<LPWSTR>(L""), &id);
        return Take(id);
    }

    void Browse(BrowseResult& r, const wchar_t* item, LPWSTR* point, DWORD max = 0,
                OPCBROWSEFILTER filter = OPC_BROWSE_FILTER_ALL, const wchar_t* vendor = L"", BOOL all = FALSE,
                DWORD propertyCount = 0, DWORD* ids = nullptr)
    {
        r.hr =
            m_browse->Browse(const_cast<LPWSTR>(item), point, max, filter, const_cast<LPWSTR>(L""),
                             const_cast<LPWSTR>(vendor), all, TRUE, propertyCount, ids, &r.more, &r.count, &r.elements);
    }

    LoadedHost host;
    COpcComPtr<IUnknown> m_unknown;
    COpcComPtr<IOPCBrowseServerAddressSpace> m_space;
    COpcComPtr<IOPCBrowse> m_browse;
    COpcComPtr<IOPCItemProperties> m_properties;
};

TEST_F(BrowseTest, TheBrowsePositionMovesOnlyToBranchesAndStaysWhenAMoveFails)
{
    OPCNAMESPACETYPE type;
    EXPECT_EQ(S_OK, m_space->QueryOrganization(&type));
    EXPECT_EQ(OPC_NS_HIERARCHIAL, type);

    EXPECT_EQ(E_FAIL, m_space->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    EXPECT_EQ(L"", Position());
    EXPECT_EQ(S_OK, m_space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"N"));
    EXPECT_EQ(S_OK, m_space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"P"));
    EXPECT_EQ(L"N.P", Position());
    // A leaf is no place to stand.
    EXPECT_EQ(E_INVALIDARG, m_space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"A"));
    EXPECT_EQ(E_INVALIDARG, m_space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Nothing"));
    EXPECT_EQ(E_INVALIDARG, m_space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L""));
    EXPECT_EQ(E_INVALIDARG, m_space->ChangeBrowsePosition(OPC_BROWSE_TO, L"N.P.A"));
    EXPECT_EQ(E_INVALIDARG, m_space->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(9), L"G"));
    EXPECT_EQ(L"N.P", Position());
    EXPECT_EQ(S_OK, m_space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"G"));
    EXPECT_EQ(S_OK, m_space->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr));
    EXPECT_EQ(L"N.P", Position());

    LPWSTR id = nullptr;
    EXPECT_EQ(S_OK, m_space->GetItemID(const_cast<LPWSTR>(L"G.Y"), &id));
    EXPECT_EQ(L"N.P.G.Y", Take(id));
    EXPECT_EQ(E_INVALIDARG, m_space->GetItemID(const_cast<LPWSTR>(L"Q"), &id));
    EXPECT_EQ(nullptr, id);

    EXPECT_EQ(S_OK, m_space->ChangeBrowsePosition(OPC_BROWSE_TO, L""));
    EXPECT_EQ(S_OK, m_space->GetItemID(nullptr, &id));
    EXPECT_EQ(L"", Take(id));
    EXPECT_EQ(S_OK, m_space->ChangeBrowsePosition(OPC_BROWSE_TO, L"N.P.G"));
    EXPECT_EQ(L"N.P.G", Position());

    LPENUMSTRING paths = reinterpret_cast<LPENUMSTRING>(1);
    EXPECT_EQ(E_NOTIMPL, m_space->BrowseAccessPaths(L"N.P.A", &paths));
    EXPECT_EQ(nullptr, paths);
    EXPECT_EQ(E_INVALIDARG, m_space->BrowseAccessPaths(L"N.P.A", nullptr));
}

TEST_F(BrowseTest, BrowsingItemIdsFiltersBranchesLeavesAndTheFlatList)
{
    ASSERT_EQ(S_OK, m_space->ChangeBrowsePosition(OPC_BROWSE_TO, L"N.P"));
    EXPECT_EQ(Names({L"G"}), Ids(OPC_BRANCH));
    EXPECT_EQ(Names({L"A", L"D", L"S", L"F"}), Ids(OPC_LEAF));
    // Null and empty criteria mean no filter; matching ignores case.
    EXPECT_EQ(Names({L"A", L"D", L"S", L"F"}), Ids(OPC_LEAF, nullptr));
    EXPECT_EQ(Names({L"S"}), Ids(OPC_LEAF, L"s*"));
    EXPECT_EQ(Names({L"A", L"F"}), Ids(OPC_LEAF, L"[AF]"));
    EXPECT_EQ(Names({L"D"}), Ids(OPC_LEAF, L"", VT_BOOL));
    EXPECT_EQ(Names({L"S"}), Ids(OPC_LEAF, L"", VT_BSTR, 1));

    // The flat list holds full item IDs of every item below the position,
    // nested ones too, and no branch.
    EXPECT_EQ(Names({L"N.P.A", L"N.P.D", L"N.P.S", L"N.P.G.X", L"N.P.G.Y", L"N.P.F"}), Ids(OPC_FLAT));
    {
        // A clone continues where its original stands.
        COpcComPtr<IEnumString> names;
        ASSERT_EQ(S_OK, m_space->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.Receive()));
        EXPECT_EQ(S_OK, names->Skip(4));
        COpcComPtr<IEnumString> clone;
        ASSERT_EQ(S_OK, names->Clone(clone.Receive()));
        EXPECT_EQ(Names({L"N.P.G.Y", L"N.P.F"}), Drain(clone.Get()));
        EXPECT_EQ(S_FALSE, names->Skip(3));
        EXPECT_EQ(Names(), Drain(names.Get()));
    }
    // Its filter sees the path relative to the position.
    EXPECT_EQ(Names({L"N.P.G.X", L"N.P.G.Y"}), Ids(OPC_FLAT, L"G.*"));

    HRESULT hr = S_OK;
    EXPECT_EQ(Names(), Ids(OPC_LEAF, L"Z*", VT_EMPTY, 0, &hr));
    EXPECT_EQ(S_FALSE, hr);
    Ids(static_cast<OPCBROWSETYPE>(4), L"", VT_EMPTY, 0, &hr);
    EXPECT_EQ(E_INVALIDARG, hr);
    Ids(OPC_LEAF, L"", VT_EMPTY, 4, &hr);
    EXPECT_EQ(E_INVALIDARG, hr);
    EXPECT_EQ(E_INVALIDARG, m_space->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, nullptr));
}

TEST_F(BrowseTest, BrowseHandsOutFiveChildrenTwoAtATimeThroughDecimalContinuationPoints)
{
    std::vector<Names> pages;
    LPWSTR point = DuplicateText(L"");
    for (int call = 0; call < 4; ++call)
    {
        BrowseResult r;
        Browse(r, L"N.P", &point, 2);
        ASSERT_EQ(S_OK, r.hr);
        EXPECT_FALSE(r.more);
        pages.push_back(r.Names());
        ASSERT_NE(nullptr, point);
        if (*point == L'\0')
            break;
        for (const wchar_t* c = point; *c; ++c)
            EXPECT_TRUE(*c >= L'0' && *c <= L'9');
    }
    CoTaskMemFree(point);
    ASSERT_EQ(3u, pages.size());
    EXPECT_EQ(Names({L"A", L"D"}), pages[0]);
    EXPECT_EQ(Names({L"S", L"G"}), pages[1]);
    EXPECT_EQ(Names({L"F"}), pages[2]);

    // A point past the children ends the walk; a non-number is refused and
    // leaves the caller's string alone.
    point = DuplicateText(L"99");
    {
        BrowseResult r;
        Browse(r, L"N.P", &point);
        EXPECT_EQ(S_OK, r.hr);
        EXPECT_EQ(0u, r.count);
        EXPECT_EQ(nullptr, r.elements);
        EXPECT_STREQ(L"", point);
    }
    for (const wchar_t* bad : {L"x1", L"-1", L"0x2", L"4294967296", L" 1"})
    {
        CoTaskMemFree(point);
        point = DuplicateText(bad);
        BrowseResult r;
        Browse(r, L"N.P", &point);
        EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, r.hr) << bad;
        EXPECT_STREQ(bad, point);
    }
    CoTaskMemFree(point);
}

TEST_F(BrowseTest, BrowseFlagsFiltersAndUnknownStartingPoints)
{
    {
        BrowseResult r;
        Browse(r, nullptr, nullptr);
        ASSERT_EQ(S_OK, r.hr);
        ASSERT_EQ(1u, r.count);
        EXPECT_STREQ(L"N", r.elements[0].szName);
        EXPECT_EQ(OPC_BROWSE_HASCHILDREN, r.elements[0].dwFlagValue);
    }
    {
        BrowseResult r;
        Browse(r, L"N.P", nullptr, 0, OPC_BROWSE_FILTER_ITEMS);
        EXPECT_EQ(Names({L"A", L"D", L"S", L"F"}), r.Names());
        EXPECT_STREQ(L"N.P.A", r.elements[0].szItemID);
        EXPECT_EQ(OPC_BROWSE_ISITEM, r.elements[0].dwFlagValue);
    }
    {
        BrowseResult r;
        Browse(r, L"N.P", nullptr, 0, OPC_BROWSE_FILTER_BRANCHES);
        ASSERT_EQ(Names({L"G"}), r.Names());
        EXPECT_STREQ(L"N.P.G", r.elements[0].szItemID);
    }
    // Branches pass the vendor filter; leaves only with a matching DataType,
    // whatever the case of the group name.
    for (const wchar_t* vendor : {L"Digital Tag Type", L"digital tag type"})
    {
        BrowseResult r;
        Browse(r, L"N.P", nullptr, 0, OPC_BROWSE_FILTER_ALL, vendor);
        EXPECT_EQ(Names({L"D", L"G"}), r.Names()) << vendor;
    }
    {
        BrowseResult r;
        Browse(r, L"N.P", nullptr, 0, OPC_BROWSE_FILTER_ALL, L"ANALOG TAG TYPE");
        EXPECT_EQ(Names({L"A", L"G", L"F"}), r.Names());
    }
    {
        BrowseResult r;
        Browse(r, L"N.P", nullptr, 0, OPC_BROWSE_FILTER_ALL, L"Other");
        EXPECT_EQ(Names({L"G"}), r.Names());
    }
    {
        BrowseResult r;
        Browse(r, L"N.Q", nullptr);
        EXPECT_EQ(OPC_E_UNKNOWNITEMID, r.hr);
        EXPECT_EQ(0u, r.count);
    }
    BrowseResult r;
    EXPECT_EQ(E_INVALIDARG, m_browse->Browse(nullptr, nullptr, 0, static_cast<OPCBROWSEFILTER>(0), nullptr, nullptr,
                                             FALSE, FALSE, 0, nullptr, &r.more, &r.count, &r.elements));
    EXPECT_EQ(E_INVALIDARG, m_browse->Browse(nullptr, nullptr, 0, OPC_BROWSE_FILTER_ALL, nullptr, nullptr, FALSE, FALSE,
                                             0, nullptr, nullptr, &r.count, &r.elements));
}

TEST_F(BrowseTest, BrowseAttachesTheRequestedPropertiesToEachElement)
{
    DWORD ids[] = {1, 101, 4711};
    BrowseResult r;
    Browse(r, L"N.P.G", nullptr, 0, OPC_BROWSE_FILTER_ALL, L"", FALSE, 3, ids);
    // The unknown property fails per entry.
    EXPECT_EQ(S_FALSE, r.hr);
    ASSERT_EQ(2u, r.count);
    const OPCITEMPROPERTIES& x = r.elements[0].ItemProperties;
    EXPECT_EQ(S_FALSE, x.hrErrorID);
    ASSERT_EQ(3u, x.dwNumProperties);
    EXPECT_EQ(VT_I2, x.pItemProperties[0].vValue.vt);
    EXPECT_EQ(VT_I2, x.pItemProperties[0].vValue.iVal);
    EXPECT_STREQ(L"x", x.pItemProperties[1].vValue.bstrVal);
    EXPECT_STREQ(L"N.P.G.X:101", x.pItemProperties[1].szItemID);
    EXPECT_EQ(OPC_E_INVALID_PID, x.pItemProperties[2].hrErrorID);
}

TEST_F(BrowseTest, ItemPropertiesReportValuesItemIdsAndTheirErrors)
{
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(S_OK, m_properties->QueryAvailableProperties(const_cast<LPWSTR>(L"N.P.D"), &count, &ids, &descriptions,
                                                           &types));
    ASSERT_GT(count, 3u);
    EXPECT_EQ(3u, ids[2]);
    EXPECT_EQ(VT_I2, types[2]);
    EXPECT_STREQ(L"Item Quality", descriptions[2]);
    for (DWORD i = 0; i < count; ++i)
        CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    EXPECT_EQ(OPC_E_INVALIDITEMID, m_properties->QueryAvailableProperties(const_cast<LPWSTR>(L"N.P.Q"), &count, &ids,
                                                                          &descriptions, &types));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(nullptr, ids);

    DWORD wanted[] = {1, 5, 8, 101, 4711};
    LPWSTR* itemIds = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, m_properties->LookupItemIDs(const_cast<LPWSTR>(L"N.P.A"), 5, wanted, &itemIds, &errors));
    EXPECT_EQ(OPC_E_INVALID_PID, errors[0]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[1]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[2]);
    EXPECT_EQ(nullptr, itemIds[0]);
    EXPECT_EQ(S_OK, errors[3]);
    EXPECT_STREQ(L"N.P.A:101", itemIds[3]);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[4]);
    for (int i = 0; i < 5; ++i)
        CoTaskMemFree(itemIds[i]);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);

    VARIANT* values = nullptr;
    ASSERT_EQ(S_FALSE, m_properties->GetItemProperties(const_cast<LPWSTR>(L"N.P.A"), 2, &wanted[3], &values, &errors));
    EXPECT_STREQ(L"Level", values[0].bstrVal);
    EXPECT_EQ(OPC_E_INVALID_PID, errors[1]);
    for (int i = 0; i < 2; ++i)
        VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

TEST_F(BrowseTest, BadCountsAndNullArraysAreRefusedBeforeAnythingIsRead)
{
    DWORD one = 1;
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    LPWSTR* itemIds = nullptr;
    LPWSTR item = const_cast<LPWSTR>(L"N.P.A");
    EXPECT_EQ(E_INVALIDARG, m_properties->GetItemProperties(item, 0, &one, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, m_properties->GetItemProperties(item, 0xFFFFFFFF, &one, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, m_properties->GetItemProperties(item, 1, nullptr, &values, &errors));
    EXPECT_EQ(E_INVALIDARG, m_properties->LookupItemIDs(item, 0xFFFFFFFF, &one, &itemIds, &errors));
    EXPECT_EQ(OPC_E_INVALIDITEMID, m_properties->GetItemProperties(const_cast<LPWSTR>(L""), 1, &one, &values, &errors));
    EXPECT_EQ(nullptr, values);
    EXPECT_EQ(nullptr, errors);

    OPCITEMPROPERTIES* properties = nullptr;
    EXPECT_EQ(E_INVALIDARG, m_browse->GetProperties(0, &item, FALSE, 0, nullptr, &properties));
    EXPECT_EQ(E_INVALIDARG, m_browse->GetProperties(0xFFFFFFFF, &item, FALSE, 0, nullptr, &properties));
    EXPECT_EQ(E_INVALIDARG, m_browse->GetProperties(1, nullptr, FALSE, 0, nullptr, &properties));
    EXPECT_EQ(E_INVALIDARG, m_browse->GetProperties(1, &item, FALSE, 0xFFFFFFFF, &one, &properties));
    EXPECT_EQ(nullptr, properties);
}

TEST_F(BrowseTest, GetPropertiesSetsTheProcessWidePropertyLocale)
{
    COpcComPtr<IOPCCommon> common = COpcComPtr<IOPCCommon>::QueryFrom(m_unknown.Get(), IID_IOPCCommon);
    ASSERT_EQ(S_OK, common->SetLocaleID(1041));
    LPWSTR items[] = {const_cast<LPWSTR>(L"N.P.A"), const_cast<LPWSTR>(L"N.P.Q")};
    DWORD quality = 3;
    OPCITEMPROPERTIES* properties = nullptr;
    ASSERT_EQ(S_FALSE, m_browse->GetProperties(2, items, FALSE, 1, &quality, &properties));
    EXPECT_EQ(S_OK, properties[0].hrErrorID);
    ASSERT_EQ(1u, properties[0].dwNumProperties);
    EXPECT_STREQ(L"アイテム品質", properties[0].pItemProperties[0].szDescription);
    EXPECT_EQ(VT_EMPTY, properties[0].pItemProperties[0].vValue.vt);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, properties[1].hrErrorID);
    EXPECT_EQ(nullptr, properties[1].pItemProperties);
    CoTaskMemFree(properties[0].pItemProperties[0].szItemID);
    CoTaskMemFree(properties[0].pItemProperties[0].szDescription);
    CoTaskMemFree(properties[0].pItemProperties);
    CoTaskMemFree(properties);

    // Every other server object of the process now sees Japanese descriptions.
    COpcComPtr<IUnknown> other;
    ASSERT_EQ(S_OK, OpcCreateServerObject(nullptr, other.Receive()));
    auto otherProperties = COpcComPtr<IOPCItemProperties>::QueryFrom(other.Get(), IID_IOPCItemProperties);
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(S_OK, otherProperties->QueryAvailableProperties(const_cast<LPWSTR>(L"N.P.A"), &count, &ids, &descriptions,
                                                              &types));
    EXPECT_STREQ(L"アイテム品質", descriptions[2]);
    for (DWORD i = 0; i < count; ++i)
        CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
    host.cache.SetPropertyLocale(LOCALE_SYSTEM_DEFAULT);
}
} // namespace

namespace
{
// Every one of a hundred thousand items, first to last. How long it takes is
// measured by bench/server_browse_bench.
TEST(BrowseLargeTest, AFlatBrowseOfAHundredThousandItemsListsEveryOne)
{
    BrowseOnlyHost host;
    for (int group = 0; group < 100; ++group)
    {
        for (int tag = 0; tag < 1000; ++tag)
        {
            std::wstring id = L"L.G" + std::to_wstring(group) + L".T" + std::to_wstring(tag);
            ASSERT_EQ(S_OK, host.cache.AddItem(COpcString(id.c_str())));
        }
    }
    OpcSetServerHost(&host);
    {
        COpcComPtr<IUnknown> unknown;
        ASSERT_EQ(S_OK, OpcCreateServerObject(nullptr, unknown.Receive()));
        auto space =
            COpcComPtr<IOPCBrowseServerAddressSpace>::QueryFrom(unknown.Get(), IID_IOPCBrowseServerAddressSpace);
        COpcComPtr<IEnumString> names;
        ASSERT_EQ(S_OK, space->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.Receive()));
        ULONG total = 0;
        std::wstring last;
        LPOLESTR batch[256];
        ULONG fetched = 0;
        while (SUCCEEDED(names->Next(256, batch, &fetched)) && fetched > 0)
        {
            if (total == 0)
            {
                EXPECT_STREQ(L"L.G0.T0", batch[0]);
            }
            last = batch[fetched - 1];
            for (ULONG i = 0; i < fetched; ++i)
                CoTaskMemFree(batch[i]);
            total += fetched;
        }
        EXPECT_EQ(100000u, total);
        EXPECT_EQ(L"L.G99.T999", last);
    }
    OpcSetServerHost(nullptr);
}
} // namespace
