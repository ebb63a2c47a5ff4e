#include "OpcDaDeviceCache.h"

COpcDaDeviceCache::COpcDaDeviceCache(COpcDaSettings& settings, IOpcDeviceAccess& api, COpcDaDevice& device)
    : COpcDaCache(settings, api), m_device(device)
{
    m_device.SetAddressSpace(this);
}

COpcDaDeviceCache::~COpcDaDeviceCache()
{
    // The threads read items that the address space hands out; they end first.
    m_device.StopPolling();
    m_device.SetAddressSpace(nullptr);
}

HRESULT COpcDaDeviceCache::Initialize()
{
    return COpcDaCache::Initialize();
}

HRESULT COpcDaDeviceCache::Uninitialize()
{
    // The subscriptions end before the items they sample go.
    StopScheduler();
    {
        COpcLockGuard guard(m_lock);
        m_device.StopPolling();
        m_device.DestroyAll();
    }
    return COpcDaCache::Uninitialize();
}

HRESULT COpcDaDeviceCache::StartDevices(const COpcTagElement& root)
{
    COpcLockGuard guard(m_lock);
    m_device.ReadConfiguration(root);
    m_device.RegisterAll();
    return m_device.StartPolling();
}

IOpcDaItemProvider* COpcDaDeviceCache::ProviderFor(const COpcString& itemId)
{
    if (m_device.IsKnownItem(itemId))
        return &m_device;
    return COpcDaCache::ProviderFor(itemId);
}
