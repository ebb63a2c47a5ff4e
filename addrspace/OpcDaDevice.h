// The device tree of the whole tag configuration: every tag as a device item,
// the device caches made in the device-access library with one poller each,
// and with simulation on the one simulation thread. It serves its items to
// the address space as an item provider.
//
// Item lookups take no lock: the item map changes only while a configuration
// is loaded (before the items are registered) and when the tree is destroyed
// (after they were unregistered).
#pragma once

#include "OpcContainers.h"
#include "OpcDaDeviceItem.h"
#include "OpcDaDevicePoller.h"
#include "OpcGrowArray.h"
#include "OpcDaItemProvider.h"
#include "OpcLock.h"
#include "OpcString.h"
#include "OpcWorkerThread.h"

#include <atomic>
#include <cstdint>
#include <memory>

class COpcDaCache;
class COpcDaSettings;
class IOpcDeviceAccess;
class COpcTagElement;

class COpcDaDevice : public IOpcDaItemProvider
{
public:
    // Cache names one load may create, and serial numbers tried per name.
    static constexpr size_t MaxCaches = 1000;
    static constexpr uint32_t MaxCacheSerial = 1000;
    // Elements nested deeper than this are refused; tag files nest far less.
    static constexpr unsigned MaxDepth = 64;

    COpcDaDevice(COpcDaSettings& settings, IOpcDeviceAccess& api);
    ~COpcDaDevice() override;
    COpcDaDevice(const COpcDaDevice&) = delete;
    COpcDaDevice& operator=(const COpcDaDevice&) = delete;

    // The address space RegisterAll enters the items into (not owned); the
    // device registers itself there as a provider.
    void SetAddressSpace(COpcDaCache* cache);
    COpcLock& Lock() { return m_lock; }

    // Forgets everything loaded (deleting items and pollers); the load
    // context starts afresh.
    virtual void Clear();
    // Stops the threads and deletes every item and poller.
    virtual void DestroyAll();
    // Builds items, device numbers and caches from the tag configuration's
    // root; every refusal is logged and skipped. Always S_OK.
    virtual HRESULT ReadConfiguration(const COpcTagElement& root);
    virtual bool IsExtended() const { return false; }

    // --- IOpcDaItemProvider ------------------------------------------------------
    HRESULT RegisterAll() override;
    HRESULT UnregisterAll() override;
    // An ID holding "CPX" is looked up only up to the character before it.
    bool IsKnownItem(const COpcString& itemId) override;
    HRESULT GetProperties(const COpcString& itemId, bool withValues, COpcDaPropertyList& properties) override;
    HRESULT GetPropertyValue(const COpcString& itemId, DWORD propertyId, VARIANT* value) override;
    HRESULT Read(const COpcString& itemId, DWORD selector, VARIANT* value, FILETIME* timeStamp, WORD* quality) override;
    HRESULT Write(const COpcString& itemId, DWORD selector, const VARIANT& value, const FILETIME* timeStamp,
                  const WORD* quality, WORD* limitQuality) override;

    // --- polling ---------------------------------------------------------------------
    // With simulation on the simulation thread, otherwise one thread per cache
    // (a poller that cannot start is skipped).
    HRESULT StartPolling();
    // Stops the threads, then removes the item IDs from the address space.
    HRESULT StopPolling();
    // One simulation pass over every item, then the simulation table's next row.
    // False when the pass was cut short by a stop request.
    bool SimulationPass(uint64_t cycle);
    bool IsSimulationRunning() const { return m_simulation.IsRunning(); }
    uint64_t SimulationPasses() const { return m_simulationPasses.load(); }

    // --- what was loaded ---------------------------------------------------------------
    COpcDaDeviceItem* FindItem(const COpcString& itemId) const;
    size_t ItemCount() const { return m_itemList.GetCount(); }
    // In load order.
    COpcDaDeviceItem* ItemAt(size_t index) const
    {
        return index < m_itemList.GetCount() ? m_itemList[index].get() : nullptr;
    }
    size_t CacheCount() const { return m_pollers.GetCount(); }
    COpcDaDevicePoller* PollerAt(size_t index) const
    {
        return index < m_pollers.GetCount() ? m_pollers[index].get() : nullptr;
    }
    COpcDaDevicePoller* PollerFor(const COpcString& cacheName) const;
    // False when the device path got no number (simulation, or not loaded).
    bool DeviceNumber(const COpcString& devicePath, uint32_t& number) const;
    size_t ScanPeriodCount() const { return m_scanPeriods.GetCount(); }
    DWORD ScanPeriodAt(size_t index) const { return index < m_scanPeriods.GetCount() ? m_scanPeriods[index] : 0; }

private:
    enum class Kind
    {
        Other,
        Node,
        Device,
        Sheet,
        Group,
        Tag
    };
    enum Flag
    {
        FlagNode,
        FlagDevice,
        FlagSheet,
        FlagGroup,
        FlagSubgroup,
        FlagTag,
        FlagCount
    };

    static Kind KindOf(const COpcTagElement& element, uint32_t& tagKind);
    void SetFlagsFrom(Flag first);
    void Walk(const COpcTagElement& element, const COpcString& parentPath, unsigned depth);
    // Entering an element sets the load context its children are read in;
    // false when the element is refused (and logged).
    bool EnterElement(const COpcTagElement& element, Kind kind, uint32_t tagKind, const COpcString& path);
    bool EnterNode(const COpcTagElement& element);
    bool EnterDevice(const COpcTagElement& element);
    bool EnterSheet(const COpcTagElement& element);
    bool EnterGroup(const COpcTagElement& element);
    bool EnterTag(const COpcTagElement& element, uint32_t tagKind, const COpcString& path);
    // Reads "Enable" into the flag; false (and logged) when it is no boolean.
    bool ReadEnable(const COpcTagElement& element, Flag flag);
    const wchar_t* RequiredName(const COpcTagElement& element);
    void BuildTag(const COpcTagElement& element, uint32_t tagKind, const COpcString& itemId);
    bool CheckSymbol(const COpcDaDeviceItem& item);
    // The cache of the current device and the period, made when missing; null
    // with the code to log when there is none.
    COpcDaDevicePoller* FindCache(uint32_t scanPeriod, HRESULT& failure);
    void Refuse(LONG category, HRESULT code, const wchar_t* property);
    COpcString ContextItemId() const;
    void StopThreads();
    void ForgetAll();
    static void SimulationBody(void* data, bool stopping);
    void RunSimulation();

    COpcDaSettings& m_settings;
    IOpcDeviceAccess& m_api;
    COpcDaCache* m_cache = nullptr;
    COpcLock m_lock;

    // The items in load order own them; the map and the pollers only point at them.
    COpcMap<COpcString, COpcDaDeviceItem*> m_items;
    COpcGrowArray<std::unique_ptr<COpcDaDeviceItem>> m_itemList;
    COpcMap<COpcString, uint32_t> m_deviceNumbers;
    uint32_t m_nextDeviceNumber = 0;
    COpcGrowArray<std::unique_ptr<COpcDaDevicePoller>> m_pollers;
    COpcMap<COpcString, COpcDaDevicePoller*> m_pollersByName;
    // Cache of a (device number, scan period) by its name prefix.
    COpcMap<COpcString, COpcDaDevicePoller*> m_pollersByPrefix;
    COpcGrowArray<DWORD> m_scanPeriods;
    COpcDaTextPool m_texts;

    // Load context.
    COpcString m_nodeName;
    COpcString m_deviceName;
    COpcString m_sheetName;
    COpcString m_groupName;
    COpcString m_subgroupName;
    // The tag being walked: text of the loaded document, valid while it is read.
    const wchar_t* m_tagName = nullptr;
    COpcString m_devicePath;
    uint32_t m_deviceNumber = 0;
    bool m_symbolSheet = false;
    bool m_nestedGroup = false;
    bool m_flags[FlagCount] = {true, true, true, true, true, true};
    // The cache the previous tag went to, to skip the lookup for runs of tags.
    COpcDaDevicePoller* m_lastPoller = nullptr;
    uint32_t m_lastDeviceNumber = 0;
    uint32_t m_lastPeriod = 0;

    COpcWorkerThread m_simulation;
    DWORD m_sliceMs = COpcCycleTimer::SliceMs;
    std::atomic<uint64_t> m_simulationPasses{0};
};
