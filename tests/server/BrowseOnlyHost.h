// A server host whose address space knows every item ID and holds nothing
// else: enough for server objects that are only browsed (tests and benches).
#pragma once

#include "OpcDaCache.h"
#include "OpcDaItemProvider.h"
#include "OpcDaSettings.h"
#include "OpcDevlaneAPI.h"
#include "OpcServerHost.h"
#include "OpcVersionInfo.h"

// Knows every item ID; enough for an address space that is only browsed.
class EveryItemProvider : public IOpcDaItemProvider
{
public:
    HRESULT RegisterAll() override { return S_OK; }
    HRESULT UnregisterAll() override { return S_OK; }
    bool IsKnownItem(const COpcString&) override { return true; }
    HRESULT GetProperties(const COpcString&, bool, COpcDaPropertyList&) override { return E_NOTIMPL; }
    HRESULT GetPropertyValue(const COpcString&, DWORD, VARIANT*) override { return E_NOTIMPL; }
    HRESULT Read(const COpcString&, DWORD, VARIANT*, FILETIME*, WORD*) override { return E_NOTIMPL; }
    HRESULT Write(const COpcString&, DWORD, const VARIANT&, const FILETIME*, const WORD*, WORD*) override
    {
        return E_NOTIMPL;
    }
};

class BrowseOnlyHost : public IOpcServerHost
{
public:
    BrowseOnlyHost() : api(settings), cache(settings, api) { cache.RegisterProvider(&provider); }
    ~BrowseOnlyHost() { cache.ReleaseProviders(); }
    HRESULT AddServerLock() override { return S_OK; }
    void ReleaseServerLock() override {}
    void RequestStop() override {}
    COpcDaCache* AddressSpace() override { return &cache; }
    COpcDaSettings* Settings() override { return &settings; }
    COpcDevlaneAPI* DeviceAccess() override { return &api; }
    const COpcVersionInfo& VersionInfo() override { return version; }
    void RegisterServer(COpcServerObject*) override {}
    void UnregisterServer(COpcServerObject*) override {}

    COpcDaSettings settings;
    COpcDevlaneAPI api;
    EveryItemProvider provider;
    COpcDaCache cache;
    COpcVersionInfo version;
};
