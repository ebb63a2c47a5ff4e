// The interface through which the address space reaches the tags of a
// provider (normally the device tree), and the entry of the address space's
// item map that binds an item ID to its provider.
#pragma once

#include "OpcDaProperties.h"
#include "OpcResultCodes.h"
#include "OpcString.h"
#include "OpcTaskMem.h"

#include <windows.h>
#include <oleauto.h>

// Qualities and access rights as OPC numbers them.
constexpr WORD kOpcQualityGood = 0xC0;
constexpr WORD kOpcQualityLastKnown = 0x14;
constexpr WORD kOpcQualityCommFailure = 0x18;
constexpr DWORD kOpcReadable = 1;
constexpr DWORD kOpcWriteable = 2;

// Selectors of Read: the value for a client read that refreshes from the
// device first, and the value as the pollers keep it. Any other selector is a
// property ID.
enum : DWORD
{
    OPC_DA_READ_DEVICE = 0,
    OPC_DA_READ_CACHE = 2
};

class IOpcDaItemProvider
{
public:
    virtual ~IOpcDaItemProvider() = default;

    // Enters every item ID of the provider into the address space.
    virtual HRESULT RegisterAll() = 0;
    // Removes them again.
    virtual HRESULT UnregisterAll() = 0;
    virtual bool IsKnownItem(const COpcString& itemId) = 0;

    // Every property of the item in its fixed order: ID and result, and with
    // withValues also the value. The address space adds item IDs, types and
    // descriptions. OPC_E_UNKNOWNITEMID for an unknown item.
    virtual HRESULT GetProperties(const COpcString& itemId, bool withValues, COpcDaPropertyList& properties) = 0;
    // One property: S_OK with the value (when value is not null), or the
    // property's failure (OPC_E_INVALID_PID, OPC_E_BADRIGHTS ...).
    virtual HRESULT GetPropertyValue(const COpcString& itemId, DWORD propertyId, VARIANT* value) = 0;

    // The value (selector 0 or 2) or a property, with time stamp and quality.
    // value must be initialised; timeStamp and quality may be null.
    virtual HRESULT Read(const COpcString& itemId, DWORD selector, VARIANT* value, FILETIME* timeStamp,
                         WORD* quality) = 0;
    // Selector 0 or 2 writes the value, another selector sets that property.
    // timeStamp and quality are optional and take effect on success;
    // limitQuality (optional) receives the quality of a failed range check.
    virtual HRESULT Write(const COpcString& itemId, DWORD selector, const VARIANT& value, const FILETIME* timeStamp,
                          const WORD* quality, WORD* limitQuality) = 0;
};

// The entry of the item map for one item ID. Reference-counted: the map holds
// one reference, and whoever keeps an entry beyond the address-space lock
// takes its own. The server objects derive their address-space item from it
// (see COpcDaCache::SetItemFactory) to add caching and type conversion; the
// base passes every call straight to the provider.
class COpcDaItemEntry
{
public:
    COpcDaItemEntry(const COpcString& itemId, IOpcDaItemProvider* provider) : m_itemId(itemId), m_provider(provider) {}

    // The count itself; holders keep their reference in a COpcDaEntryRef.
    void AddRef() noexcept { InterlockedIncrement(&m_refs); }
    void Release() noexcept
    {
        if (InterlockedDecrement(&m_refs) == 0)
            delete this;
    }

    const COpcString& ItemId() const noexcept { return m_itemId; }
    // Null after the provider has left the address space.
    IOpcDaItemProvider* Provider() const noexcept { return m_provider; }
    void Detach() noexcept { m_provider = nullptr; }

    // accessMode is OPC_DA_READ_DEVICE or OPC_DA_READ_CACHE; selector 0 reads
    // the value, another one a property. maxAge (ms) and the requested type
    // are for derived entries that cache; the base converts to requestedType
    // (VT_EMPTY keeps the provider's type) and always asks the provider.
    virtual HRESULT ReadItem(DWORD accessMode, LCID locale, VARTYPE requestedType, DWORD maxAge, DWORD selector,
                             VARIANT* value, FILETIME* timeStamp, WORD* quality);
    virtual HRESULT WriteItem(LCID locale, const VARIANT& value, const FILETIME* timeStamp, const WORD* quality);

protected:
    virtual ~COpcDaItemEntry() = default;

private:
    volatile LONG m_refs = 1;
    COpcString m_itemId;
    IOpcDaItemProvider* m_provider;
};

// One counted reference to an entry, given back when the holder goes.
typedef COpcComPtr<COpcDaItemEntry> COpcDaEntryRef;

// Makes the entry of an item ID for the address space; null when out of memory.
typedef COpcDaEntryRef (*OpcDaItemFactory)(const COpcString& itemId, IOpcDaItemProvider* provider, void* context);
