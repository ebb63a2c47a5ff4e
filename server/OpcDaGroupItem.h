// One item of a group, the requested-type rules of the item interfaces and the
// enumerator of item attributes.
#pragma once

#include "OpcComObject.h"
#include "OpcDaItemSamples.h"
#include "OpcString.h"
#include "OpcTaskMem.h"

#include <opcda.h>

// Most entries one call may carry. A larger count is refused with
// E_OUTOFMEMORY before anything is allocated or read: its result arrays alone
// would take gigabytes, and touching them could bring the process down.
constexpr DWORD kOpcMaxItemsPerCall = 0x01000000;

// E_INVALIDARG for no entries, E_OUTOFMEMORY beyond the limit, else S_OK.
inline HRESULT OpcDaCheckCount(DWORD count)
{
    return count == 0 ? E_INVALIDARG : count > kOpcMaxItemsPerCall ? E_OUTOFMEMORY : S_OK;
}

// What a client may ask values to be converted to: with VT_ARRAY no other flag,
// and a base type the conversions support.
bool OpcDaIsSupportedRequestedType(VARTYPE type);
// Whether a client's value is one the server may look into: no VT_BYREF, no
// interface pointers, and a base type of the supported list.
bool OpcDaIsAcceptableValue(const VARIANT& value);

struct COpcDaGroupItem
{
    OPCHANDLE serverHandle = 0;
    OPCHANDLE clientHandle = 0;
    COpcString itemId;
    COpcString accessPath;
    BOOL active = FALSE;
    VARTYPE requestedType = 0xFFFF;
    FLOAT deadband = -1.0f;
    DWORD samplingRate = 0xFFFFFFFF;
    BOOL bufferEnabled = FALSE;
    DWORD euType = 0;
    double euLow = 0.0;
    double euHigh = 0.0;
    // The subscription's samples; a copy starts without any.
    COpcDaItemSamples samples;
};

// Deep copy and release of OPCITEMATTRIBUTES (strings, blob and EU info).
HRESULT OpcDaCopyItemAttributes(OPCITEMATTRIBUTES& target, const OPCITEMATTRIBUTES& source);
void OpcDaClearItemAttributes(OPCITEMATTRIBUTES& attributes);

class COpcDaEnumItemAttributes : public COpcComObject<COpcDaEnumItemAttributes, IEnumOPCItemAttributes>
{
public:
    static const SOpcInterfaceEntry<COpcDaEnumItemAttributes> Interfaces[];

    // Takes over the entries (cleared with OpcDaClearItemAttributes and freed
    // with CoTaskMemFree at the end); one reference for the caller. Null when
    // out of memory, in which case the entries are freed here.
    static COpcComPtr<COpcDaEnumItemAttributes> Create(OPCITEMATTRIBUTES* entries, DWORD count);

    STDMETHOD(Next)(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    STDMETHOD(Skip)(ULONG celt) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

private:
    COpcDaEnumItemAttributes(OPCITEMATTRIBUTES* entries, DWORD count) : m_entries(entries), m_count(count) {}
    ~COpcDaEnumItemAttributes() override;

    OPCITEMATTRIBUTES* m_entries;
    DWORD m_count;
    volatile LONG m_position = 0;
};
