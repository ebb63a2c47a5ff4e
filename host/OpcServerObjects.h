// The five server-wide objects: built on the first module lock, in a fixed
// order, and torn down in the reverse order on the last. The module owns them;
// nothing else frees them.
#pragma once

#include "OpcDaDevice.h"
#include "OpcDaDeviceCache.h"
#include "OpcDaSettings.h"
#include "OpcDaUpdateScheduler.h"
#include "OpcDevlaneAPI.h"
#include "OpcServerRegistry.h"

#include <memory>

class COpcServerObjects
{
public:
    COpcServerObjects() = default;
    ~COpcServerObjects() { TearDown(); }
    COpcServerObjects(const COpcServerObjects&) = delete;
    COpcServerObjects& operator=(const COpcServerObjects&) = delete;

    // Builds, in order: the settings, the device-access wrapper (with a
    // library handle for the calling thread unless simulation is on), the
    // server registry with its watchdog, the device tree, and the address
    // space with its update scheduler, which it initialises. When initialising fails the objects built
    // are torn down again and the failure is returned; a configuration the
    // address space could not load is no such failure (see the .cpp).
    HRESULT Build(bool simulation);
    // Address space (uninitialised first), device tree, registry (its
    // watchdog stopped and waited for), wrapper, settings. Safe to repeat.
    void TearDown();

    bool IsBuilt() const { return m_settings != nullptr; }

    COpcDaSettings* Settings() const { return m_settings.get(); }
    COpcDevlaneAPI* Devlane() const { return m_devlane.get(); }
    COpcServerRegistry* Registry() const { return m_registry.get(); }
    COpcDaDevice* Device() const { return m_device.get(); }
    COpcDaDeviceCache* AddressSpace() const { return m_cache.get(); }
    COpcDaUpdateScheduler* UpdateScheduler() const { return m_scheduler.get(); }

private:
    std::unique_ptr<COpcDaSettings> m_settings;
    std::unique_ptr<COpcDevlaneAPI> m_devlane;
    std::unique_ptr<COpcServerRegistry> m_registry;
    std::unique_ptr<COpcDaDevice> m_device;
    std::unique_ptr<COpcDaDeviceCache> m_cache;
    // Started and stopped by the address space, freed after it has stopped it.
    std::unique_ptr<COpcDaUpdateScheduler> m_scheduler;
};
