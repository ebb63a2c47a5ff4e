// A server object over a small simulated address space, with one group, for
// the item and IO tests. No device thread runs: values change only when a test
// writes them or runs a simulation pass.
#pragma once

#include "AddressSpaceFixture.h"

#include "OpcDaCacheItem.h"
#include "OpcDaGroup.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"
#include "OpcVariant.h"

#include <opcerror.h>

namespace server_test
{
using namespace addrspace_test;

class TestHost : public IOpcServerHost
{
public:
    HRESULT AddServerLock() override { return S_OK; }
    void ReleaseServerLock() override {}
    void RequestStop() override {}
    COpcDaCache* AddressSpace() override { return cache; }
    COpcDaSettings* Settings() override { return settings; }
    COpcDevlaneAPI* DeviceAccess() override { return api; }
    const COpcVersionInfo& VersionInfo() override { return version; }
    void RegisterServer(COpcServerObject*) override {}
    void UnregisterServer(COpcServerObject*) override {}

    COpcDaCache* cache = nullptr;
    COpcDaSettings* settings = nullptr;
    COpcDevlaneAPI* api = nullptr;
    COpcVersionInfo version;
};

// Tags of device P of node N: "N.P.A" analog int16 (EU 0..100), "N.P.Arr"
// analog array of four, "N.P.D" digital with contact labels ON/OFF, "N.P.S"
// string, "N.P.Db" analog with a 5 % deadband.
inline std::string SampleTags()
{
    return Analog("A") + Analog("Arr", {{"DeviceAddress", "D10"}, {"DataCount", "4"}}) + Digital("D") + Text("S") +
           Analog("Db", {{"DeviceAddress", "D20"}, {"DeadBand", "5"}});
}

class ServerItemsTest : public AddressSpaceTest
{
protected:
    void SetUp() override
    {
        AddressSpaceTest::SetUp();
        UseSimulation();
        m_cache->SetItemFactory(COpcDaCacheItem::Create, nullptr);
        ASSERT_EQ(S_OK, LoadQuietly(SampleTags()));
        m_cache->SetState(OPC_STATUS_RUNNING);
        m_host.cache = m_cache.get();
        m_host.settings = m_settings.get();
        m_host.api = m_api.get();
        OpcSetServerHost(&m_host);
        ASSERT_EQ(S_OK, OpcCreateServerObject(nullptr, m_unknown.Receive()));
        ASSERT_EQ(S_OK, m_unknown->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(m_server.Receive())));
        OPCHANDLE group = 0;
        DWORD revised = 0;
        ASSERT_EQ(S_OK, m_server->AddGroup(L"G", TRUE, 1000, 7, nullptr, nullptr, 1033, &group, &revised,
                                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(m_items.Receive())));
        ASSERT_EQ(S_OK, m_items->QueryInterface(IID_IOPCSyncIO2, reinterpret_cast<void**>(m_sync.Receive())));
    }

    void TearDown() override
    {
        m_sync.Reset();
        m_items.Reset();
        m_server.Reset();
        m_unknown.Reset();
        OpcSetServerHost(nullptr);
        AddressSpaceTest::TearDown();
    }

    static OPCITEMDEF Def(const wchar_t* itemId, VARTYPE type = VT_EMPTY, OPCHANDLE client = 1, BOOL active = TRUE)
    {
        OPCITEMDEF def = {};
        def.szItemID = const_cast<LPWSTR>(itemId);
        def.szAccessPath = const_cast<LPWSTR>(L"");
        def.bActive = active;
        def.hClient = client;
        def.vtRequestedDataType = type;
        return def;
    }

    // Adds one item; its server handle, or 0 with the per-item error in *error.
    OPCHANDLE AddOne(const wchar_t* itemId, VARTYPE type = VT_EMPTY, BOOL active = TRUE, HRESULT* error = nullptr)
    {
        OPCITEMDEF def = Def(itemId, type, 100, active);
        COpcTaskMem<OPCITEMRESULT> results;
        COpcTaskMem<HRESULT> errors;
        HRESULT hr = m_items->AddItems(1, &def, results.Receive(), errors.Receive());
        if (error != nullptr)
            *error = errors.Get() != nullptr ? errors.Get()[0] : hr;
        return hr == S_OK ? results.Get()[0].hServer : 0;
    }

    // Sets a property of a tag directly on the device item.
    void SetProperty(const wchar_t* itemId, DWORD property, const VARIANT& value)
    {
        ASSERT_EQ(S_OK, Item(itemId)->WriteItem(property, value, nullptr, nullptr, nullptr, true));
    }

    TestHost m_host;
    COpcComPtr<IUnknown> m_unknown;
    COpcComPtr<IOPCServer> m_server;
    COpcComPtr<IOPCItemMgt> m_items;
    COpcComPtr<IOPCSyncIO2> m_sync;
};
} // namespace server_test
