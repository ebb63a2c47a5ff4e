// The address space: the settings it was configured with, the server state
// that configuration decides, the server's version record, the browse tree
// and the item map that binds each item ID to the provider serving it.
//
// Locking: every operation takes the address-space lock (Lock()). The server
// objects hold it themselves while they walk the browse tree. ReadItem and
// WriteItem let go of it before they call the item, so a slow device never
// blocks the address space; the property operations run under it.
#pragma once

#include "OpcContainers.h"
#include "OpcDaBrowseTree.h"
#include "OpcDaItemProvider.h"
#include "OpcDaSettings.h"
#include "OpcLock.h"
#include "OpcResultCodes.h"
#include "OpcString.h"
#include "OpcXml.h"

#include <opcda.h>

class IOpcDeviceAccess;
class COpcTagElement;

// File version and "FileDescription" of the program's version resource.
struct SOpcDaServerVersion
{
    WORD major = 0;
    WORD minor = 0;
    WORD build = 0;
    WORD revision = 0;
    COpcString description;
};

// The process-wide update scheduler of the subscriptions, started and stopped
// with the address space.
class IOpcDaUpdateScheduler
{
public:
    virtual ~IOpcDaUpdateScheduler() = default;
    virtual bool Start() = 0;
    virtual void Stop() = 0;
};

class COpcDaCache
{
public:
    COpcDaCache(COpcDaSettings& settings, IOpcDeviceAccess& api);
    virtual ~COpcDaCache();
    COpcDaCache(const COpcDaCache&) = delete;
    COpcDaCache& operator=(const COpcDaCache&) = delete;

    // Empties the item map and forgets the providers.
    virtual void ReleaseProviders();
    // The start-up of the address space: version, update scheduler, the
    // configuration file and the tag configuration. The state afterwards is
    // RUNNING, NOCONFIG or FAILED; E_FAIL when the state was not SUSPENDED.
    virtual HRESULT Initialize();
    // Stops the devices and the scheduler; back to SUSPENDED. Not to be
    // called with Lock() held: the scheduler's scans need it to end.
    virtual HRESULT Uninitialize();
    // Builds and starts what the tag configuration describes; nothing here.
    virtual HRESULT StartDevices(const COpcTagElement& root);
    // Reads the configuration file into the settings. 0, or a mapped code
    // after one error-log record naming the element that failed.
    virtual HRESULT Load(const COpcString& path);
    // Reads the tag configuration file; 0 or a mapped code.
    virtual HRESULT LoadTagConfiguration(const COpcString& path);
    virtual bool SaveExtra(const COpcTagElement* root) { return true; }
    // Writing the configuration back is not offered: E_NOTIMPL.
    virtual HRESULT SaveConfiguration(const COpcString& path);
    // The registered provider that knows the item ID, or null.
    virtual IOpcDaItemProvider* ProviderFor(const COpcString& itemId);

    COpcLock& Lock() { return m_lock; }
    DWORD GetState() const { return m_state; }
    void SetState(DWORD state) { m_state = state; }
    COpcDaSettings& Settings() { return m_settings; }
    IOpcDeviceAccess& Api() { return m_api; }

    // "OpcConfiguration.xml" in the directory of the running program.
    static COpcString ConfigurationPath();
    // Where Initialize reads the configuration; empty means ConfigurationPath().
    void SetConfigurationPath(const COpcString& path);

    const SOpcDaServerVersion& Version() const { return m_version; }
    // Reads the version record from the program file; "Unknown" and 0.0.0.0 when it has none.
    void ReadVersion();

    // Not owned; started by Initialize, stopped by Uninitialize.
    void SetUpdateScheduler(IOpcDaUpdateScheduler* scheduler);

    // --- providers and the item map ------------------------------------------

    bool RegisterProvider(IOpcDaItemProvider* provider);
    void UnregisterProvider(IOpcDaItemProvider* provider);
    // How AddItem makes entries; null restores the plain COpcDaItemEntry.
    void SetItemFactory(OpcDaItemFactory factory, void* context);

    // Enters an item ID into the browse tree and the item map, bound to the
    // provider ProviderFor names. OPC_E_UNKNOWNITEMID without a provider,
    // OPC_E_INVALIDITEMID for an ID without a name, S_FALSE when the ID is
    // already there, E_OUTOFMEMORY.
    HRESULT AddItem(const COpcString& itemId);
    HRESULT RemoveItem(const COpcString& itemId);
    // Removes every item of the provider.
    void RemoveItemsOf(IOpcDaItemProvider* provider);
    size_t ItemCount() const;

    // Splits "tag item ID[:property ID]": S_OK with the tag's ID and the
    // selector (0 without a suffix); OPC_E_INVALIDITEMID for an empty ID or a
    // suffix that is not an unsigned decimal number.
    static HRESULT ParseItemID(const wchar_t* itemId, COpcString& tagId, DWORD& selector);
    static HRESULT ParseItemID(const COpcString& itemId, COpcString& tagId, DWORD& selector);
    // True when the ID parses and its tag is in the item map.
    bool ValidateItemID(const COpcString& itemId);
    // The entry of a tag item ID (no suffix) with a reference for the caller,
    // or null.
    COpcDaEntryRef FindItem(const COpcString& tagId);

    // The tree; walk it only while holding Lock().
    COpcDaBrowseTree& BrowseTree() { return m_tree; }

    // --- values ------------------------------------------------------------------

    // Reads an item ID (with an optional property suffix) through its entry.
    // OPC_E_INVALIDITEMID, OPC_E_UNKNOWNITEMID, or the entry's result.
    HRESULT ReadItem(const COpcString& itemId, DWORD accessMode, LCID locale, VARTYPE requestedType, DWORD maxAge,
                     VARIANT* value, FILETIME* timeStamp, WORD* quality);
    // Writes the value of an item ID; a property suffix is refused with OPC_E_BADRIGHTS.
    HRESULT WriteItem(const COpcString& itemId, LCID locale, const VARIANT& value, const FILETIME* timeStamp,
                      const WORD* quality);

    // --- properties ----------------------------------------------------------------

    // The process-wide locale of property descriptions (last writer wins).
    LCID PropertyLocale() const { return m_propertyLocale; }
    void SetPropertyLocale(LCID locale) { m_propertyLocale = locale; }

    // Every property of an item, with item IDs, types and descriptions filled
    // in, and values with withValues. OPC_E_UNKNOWNITEMID / OPC_E_INVALIDITEMID.
    HRESULT QueryItemProperties(const COpcString& itemId, bool withValues, COpcDaPropertyList& properties);
    // The listed properties in the given order, each with its own result.
    HRESULT GetItemPropertyValues(const COpcString& itemId, const DWORD* propertyIds, size_t count, bool withValues,
                                  COpcDaPropertyList& properties);
    // One property value.
    HRESULT GetItemProperty(const COpcString& itemId, DWORD propertyId, VARIANT* value);

protected:
    // Stops the update scheduler if Initialize started it; without Lock() held.
    void StopScheduler();
    // Fills item ID, type and description of a record from its ID.
    void DescribeProperty(const COpcString& tagId, COpcDaProperty& property) const;
    // Takes the entry of an item ID under the lock: S_OK with a reference.
    HRESULT Resolve(const COpcString& itemId, COpcDaEntryRef& entry, DWORD& selector);

    COpcDaSettings& m_settings;
    IOpcDeviceAccess& m_api;
    COpcLock m_lock;
    volatile DWORD m_state = OPC_STATUS_SUSPENDED;
    COpcXmlElement m_configRoot;
    SOpcDaServerVersion m_version;
    COpcString m_configurationPath;
    IOpcDaUpdateScheduler* m_scheduler = nullptr;
    bool m_schedulerStarted = false;

private:
    HRESULT ReadSettings(const COpcXmlElement& root, const wchar_t*& property);
    HRESULT CheckProject(const COpcTagElement& root);
    // The entry of an item ID's tag, borrowed while the caller holds m_lock.
    HRESULT LookupLocked(const COpcString& itemId, COpcString& tagId, COpcDaItemEntry*& entry);

    COpcDaBrowseTree m_tree;
    COpcMap<COpcString, COpcDaEntryRef> m_items;
    COpcList<IOpcDaItemProvider*> m_providers;
    OpcDaItemFactory m_factory = nullptr;
    void* m_factoryContext = nullptr;
    volatile LCID m_propertyLocale = LOCALE_SYSTEM_DEFAULT;
};
