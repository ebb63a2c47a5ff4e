// The address space of the server: a COpcDaCache whose items are the device
// items of the one device tree, polled by the device pollers (or the
// simulation thread) from the moment the tag configuration is loaded.
#pragma once

#include "OpcDaCache.h"
#include "OpcDaDevice.h"

class COpcDaDeviceCache : public COpcDaCache
{
public:
    // The device tree outlives the address space; this object registers
    // itself with it and leaves it again when destroyed.
    COpcDaDeviceCache(COpcDaSettings& settings, IOpcDeviceAccess& api, COpcDaDevice& device);
    ~COpcDaDeviceCache() override;

    HRESULT Initialize() override;
    // Stops the pollers or the simulation thread, removes the item IDs and
    // deletes the device items, stops the scheduler; back to SUSPENDED.
    HRESULT Uninitialize() override;
    // Reads the device tree, registers its items and starts polling.
    HRESULT StartDevices(const COpcTagElement& root) override;
    IOpcDaItemProvider* ProviderFor(const COpcString& itemId) override;

    COpcDaDevice& Device() { return m_device; }

private:
    COpcDaDevice& m_device;
};
