#include "OpcDaGroupItem.h"

#include "OpcString.h"
#include "OpcTaskMem.h"

#include <new>

namespace
{
bool IsSupportedBase(VARTYPE base)
{
    switch (base)
    {
    case VT_EMPTY:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_BOOL:
    case VT_VARIANT:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8: return true;
    default: return false;
    }
}
} // namespace

bool OpcDaIsSupportedRequestedType(VARTYPE type)
{
    VARTYPE flags = static_cast<VARTYPE>(type & ~VT_TYPEMASK);
    if (flags != 0 && flags != VT_ARRAY)
        return false;
    return IsSupportedBase(static_cast<VARTYPE>(type & VT_TYPEMASK));
}

bool OpcDaIsAcceptableValue(const VARIANT& value)
{
    VARTYPE type = value.vt;
    if (!OpcDaIsSupportedRequestedType(type))
        return false;
    if ((type & VT_ARRAY) == 0)
        return type != VT_VARIANT;
    if (value.parray == nullptr || (type & VT_TYPEMASK) == VT_EMPTY)
        return false;
    if ((type & VT_TYPEMASK) != VT_VARIANT)
        return true;
    // The elements of a VARIANT array must pass the same test.
    COpcSafeArrayAccess access(value.parray);
    if (FAILED(access.Result()) || SafeArrayGetDim(value.parray) != 1)
        return false;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(value.parray, 1, &low);
    SafeArrayGetUBound(value.parray, 1, &high);
    const VARIANT* elements = static_cast<const VARIANT*>(access.Data());
    for (LONG i = 0; i <= high - low; ++i)
    {
        VARTYPE element = elements[i].vt;
        if ((element & ~VT_TYPEMASK) != 0 || element == VT_VARIANT || !IsSupportedBase(element))
            return false;
    }
    return true;
}

void OpcDaClearItemAttributes(OPCITEMATTRIBUTES& attributes)
{
    CoTaskMemFree(attributes.szAccessPath);
    CoTaskMemFree(attributes.szItemID);
    CoTaskMemFree(attributes.pBlob);
    VariantClear(&attributes.vEUInfo);
    ZeroMemory(&attributes, sizeof(attributes));
}

HRESULT OpcDaCopyItemAttributes(OPCITEMATTRIBUTES& target, const OPCITEMATTRIBUTES& source)
{
    ZeroMemory(&target, sizeof(target));
    target.bActive = source.bActive;
    target.hClient = source.hClient;
    target.hServer = source.hServer;
    target.dwAccessRights = source.dwAccessRights;
    target.vtRequestedDataType = source.vtRequestedDataType;
    target.vtCanonicalDataType = source.vtCanonicalDataType;
    target.dwEUType = source.dwEUType;
    target.szAccessPath = DuplicateText(source.szAccessPath != nullptr ? source.szAccessPath : L"");
    target.szItemID = DuplicateText(source.szItemID != nullptr ? source.szItemID : L"");
    HRESULT hr = target.szAccessPath != nullptr && target.szItemID != nullptr ? S_OK : E_OUTOFMEMORY;
    if (SUCCEEDED(hr) && source.dwBlobSize != 0 && source.pBlob != nullptr)
    {
        target.pBlob = static_cast<BYTE*>(CoTaskMemAlloc(source.dwBlobSize));
        if (target.pBlob == nullptr)
        {
            hr = E_OUTOFMEMORY;
        }
        else
        {
            CopyMemory(target.pBlob, source.pBlob, source.dwBlobSize);
            target.dwBlobSize = source.dwBlobSize;
        }
    }
    if (SUCCEEDED(hr))
        hr = VariantCopy(&target.vEUInfo, const_cast<VARIANT*>(&source.vEUInfo));
    if (FAILED(hr))
        OpcDaClearItemAttributes(target);
    return hr;
}

// ---- COpcDaEnumItemAttributes -------------------------------------------------------------

COpcComPtr<COpcDaEnumItemAttributes> COpcDaEnumItemAttributes::Create(OPCITEMATTRIBUTES* entries, DWORD count)
{
    COpcComPtr<COpcDaEnumItemAttributes> enumerator(new (std::nothrow) COpcDaEnumItemAttributes(entries, count));
    if (!enumerator)
    {
        for (DWORD i = 0; i < count; ++i)
            OpcDaClearItemAttributes(entries[i]);
        CoTaskMemFree(entries);
    }
    return enumerator;
}

COpcDaEnumItemAttributes::~COpcDaEnumItemAttributes()
{
    for (DWORD i = 0; i < m_count; ++i)
        OpcDaClearItemAttributes(m_entries[i]);
    CoTaskMemFree(m_entries);
}

const SOpcInterfaceEntry<COpcDaEnumItemAttributes> COpcDaEnumItemAttributes::Interfaces[] = {
    OpcInterface<COpcDaEnumItemAttributes, IEnumOPCItemAttributes>(IID_IUnknown),
    OpcInterface<COpcDaEnumItemAttributes, IEnumOPCItemAttributes>(IID_IEnumOPCItemAttributes),
    {}};

STDMETHODIMP COpcDaEnumItemAttributes::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched)
{
    if (ppItemArray == nullptr || pceltFetched == nullptr)
        return E_INVALIDARG;
    *ppItemArray = nullptr;
    *pceltFetched = 0;
    DWORD position = static_cast<DWORD>(m_position);
    if (position >= m_count || celt == 0)
        return position >= m_count ? S_FALSE : S_OK;
    DWORD available = m_count - position;
    DWORD take = celt < available ? celt : available;
    COpcTaskMem<OPCITEMATTRIBUTES> out;
    if (!out.Allocate(take))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < take; ++i)
    {
        HRESULT hr = OpcDaCopyItemAttributes(out.Get()[i], m_entries[position + i]);
        if (FAILED(hr))
        {
            for (DWORD j = 0; j < i; ++j)
                OpcDaClearItemAttributes(out.Get()[j]);
            return hr;
        }
    }
    m_position = static_cast<LONG>(position + take);
    *ppItemArray = out.Detach();
    *pceltFetched = take;
    return take == celt ? S_OK : S_FALSE;
}

STDMETHODIMP COpcDaEnumItemAttributes::Skip(ULONG celt)
{
    DWORD position = static_cast<DWORD>(m_position);
    if (static_cast<ULONGLONG>(position) + celt > m_count)
    {
        m_position = static_cast<LONG>(m_count);
        return S_FALSE;
    }
    m_position = static_cast<LONG>(position + celt);
    return S_OK;
}

STDMETHODIMP COpcDaEnumItemAttributes::Reset()
{
    m_position = 0;
    return S_OK;
}

STDMETHODIMP COpcDaEnumItemAttributes::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes)
{
    if (ppEnumItemAttributes == nullptr)
        return E_INVALIDARG;
    *ppEnumItemAttributes = nullptr;
    COpcTaskMem<OPCITEMATTRIBUTES> copy;
    if (m_count != 0)
    {
        if (!copy.Allocate(m_count))
            return E_OUTOFMEMORY;
        for (DWORD i = 0; i < m_count; ++i)
        {
            HRESULT hr = OpcDaCopyItemAttributes(copy.Get()[i], m_entries[i]);
            if (FAILED(hr))
            {
                for (DWORD j = 0; j < i; ++j)
                    OpcDaClearItemAttributes(copy.Get()[j]);
                return hr;
            }
        }
    }
    COpcComPtr<COpcDaEnumItemAttributes> clone = Create(copy.Detach(), m_count);
    if (!clone)
        return E_OUTOFMEMORY;
    clone->m_position = m_position;
    *ppEnumItemAttributes = clone.Detach();
    return S_OK;
}
