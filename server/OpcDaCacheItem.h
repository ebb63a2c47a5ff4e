// The address space's entry for one tag as the server objects use it: it
// keeps the last value, quality and time stamp taken from the provider,
// refreshes them by the caller's max age, converts to the requested type
// (enumerated and contact labels included) and passes writes on.
#pragma once

#include "OpcDaItemProvider.h"
#include "OpcLock.h"
#include "OpcTaskMem.h"

class COpcDaCacheItem : public COpcDaItemEntry
{
public:
    COpcDaCacheItem(const COpcString& itemId, IOpcDaItemProvider* provider) : COpcDaItemEntry(itemId, provider) {}

    // For COpcDaCache::SetItemFactory.
    static COpcDaEntryRef Create(const COpcString& itemId, IOpcDaItemProvider* provider, void* context);

    HRESULT ReadItem(DWORD accessMode, LCID locale, VARTYPE requestedType, DWORD maxAge, DWORD selector, VARIANT* value,
                     FILETIME* timeStamp, WORD* quality) override;
    HRESULT WriteItem(LCID locale, const VARIANT& value, const FILETIME* timeStamp, const WORD* quality) override;

    // Refreshes the cached value from the provider (access mode 0 or 2).
    HRESULT Refresh(DWORD accessMode);

    // The labels of an enumerated tag (property 8) as VT_ARRAY | VT_BSTR.
    HRESULT GetEULabels(VARIANT* labels);
    // Each integer of value mapped to its label; a text is kept as it is.
    HRESULT IndexToLabel(VARIANT* out, const VARIANT& value);
    // Each text of value mapped to the index of its label (exact comparison).
    HRESULT LabelToIndex(VARIANT* out, const VARIANT& value);

private:
    ~COpcDaCacheItem() override = default;
    bool Changed(IOpcDaItemProvider* provider, const VARIANT& fresh, const VARIANT& cached, double deadband);
    double NumberProperty(IOpcDaItemProvider* provider, DWORD property, double fallback);
    HRESULT ContactLabels(VARIANT* out, const VARIANT& value);

    COpcLock m_itemLock;
    COpcVariant m_value;
    FILETIME m_timeStamp = {};
    WORD m_quality = 0;
};
