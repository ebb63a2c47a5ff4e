#include "OpcServerObjects.h"

#include "OpcDaCacheItem.h"

#include <new>

namespace
{
template <class T, class... Args>
HRESULT Make(std::unique_ptr<T>& target, Args&&... args)
{
    try
    {
        target.reset(new (std::nothrow) T(std::forward<Args>(args)...));
    }
    catch (...)
    {
        target.reset();
    }
    return target ? S_OK : E_OUTOFMEMORY;
}
} // namespace

HRESULT COpcServerObjects::Build(bool simulation)
{
    TearDown();

    HRESULT hr = Make(m_settings);
    if (SUCCEEDED(hr))
        hr = Make(m_devlane, *m_settings);
    if (SUCCEEDED(hr) && !simulation)
        m_devlane->CreateThreadHandle(GetCurrentThreadId());
    if (SUCCEEDED(hr))
        hr = Make(m_registry, *m_settings, *m_devlane);
    if (SUCCEEDED(hr) && !m_registry->StartWatchdog())
        hr = E_FAIL;

    if (SUCCEEDED(hr))
        hr = Make(m_device, *m_settings, *m_devlane);
    if (SUCCEEDED(hr))
        hr = Make(m_cache, *m_settings, *m_devlane, *m_device);
    // Entries that cache values and convert them for the clients, made as
    // the tag configuration is loaded.
    if (SUCCEEDED(hr))
        m_cache->SetItemFactory(COpcDaCacheItem::Create, nullptr);
    if (SUCCEEDED(hr))
        hr = Make(m_scheduler, *m_settings);
    if (SUCCEEDED(hr))
        m_cache->SetUpdateScheduler(m_scheduler.get());
    if (SUCCEEDED(hr))
        hr = m_cache->Initialize();

    // A configuration that could not be loaded leaves the server running
    // without one: clients connect and read OPC_STATUS_NOCONFIG from
    // GetStatus, rather than failing to create the server object with no
    // hint why. Only a start-up that failed outright undoes the objects.
    if (FAILED(hr) && m_cache && m_cache->GetState() == OPC_STATUS_NOCONFIG)
        hr = S_OK;

    if (FAILED(hr))
        TearDown();
    return hr;
}

void COpcServerObjects::TearDown()
{
    if (m_cache)
        m_cache->Uninitialize();
    m_cache.reset();
    m_scheduler.reset();
    m_device.reset();
    if (m_registry)
        m_registry->StopWatchdog();
    m_registry.reset();
    m_devlane.reset();
    m_settings.reset();
}
