// The server object's address-space interfaces: IOPCBrowseServerAddressSpace
// with its per-object browse position, IOPCBrowse with continuation points,
// and IOPCItemProperties.
#include "OpcServerObject.h"

#include "OpcEnumerators.h"

#include "OpcDaCache.h"
#include "OpcDaDataTypes.h"
#include "OpcGrowArray.h"
#include "OpcResultCodes.h"
#include "OpcServerHost.h"
#include "OpcTaskMem.h"
#include "OpcWildcard.h"

#include <cstdio>
#include <new>

namespace
{
// Counts beyond this are refused before anything is read from the caller's
// arrays or allocated; no client needs more in one call.
const DWORD MaxRequestCount = 0x100000;

COpcDaCache* AddressSpace()
{
    IOpcServerHost* host = OpcGetServerHost();
    return host != nullptr ? host->AddressSpace() : nullptr;
}

// Clients pass "" (or nothing) to mean "no filter"; an empty pattern would
// otherwise match only empty names and hide the whole tree.
bool MatchesFilter(const wchar_t* name, const wchar_t* filter)
{
    if (filter == nullptr || *filter == L'\0')
        return true;
    return MatchWildcard(name, filter, false);
}

// A continuation point is an unsigned 32-bit decimal number, nothing else.
bool ParseContinuationPoint(const wchar_t* text, DWORD& value)
{
    unsigned long long result = 0;
    if (*text == L'\0')
        return false;
    for (const wchar_t* p = text; *p != L'\0'; ++p)
    {
        if (*p < L'0' || *p > L'9')
            return false;
        result = result * 10 + static_cast<unsigned>(*p - L'0');
        if (result > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<DWORD>(result);
    return true;
}

void FreeItemProperties(OPCITEMPROPERTIES& item)
{
    if (item.pItemProperties != nullptr)
    {
        for (DWORD i = 0; i < item.dwNumProperties; ++i)
        {
            OPCITEMPROPERTY& property = item.pItemProperties[i];
            CoTaskMemFree(property.szItemID);
            CoTaskMemFree(property.szDescription);
            VariantClear(&property.vValue);
        }
        CoTaskMemFree(item.pItemProperties);
    }
    item.pItemProperties = nullptr;
    item.dwNumProperties = 0;
}

// An array of OPCITEMPROPERTIES whose contents go with it unless detached.
class CItemPropertiesArray
{
public:
    ~CItemPropertiesArray()
    {
        if (m_items.Get() != nullptr)
        {
            for (DWORD i = 0; i < m_count; ++i)
                FreeItemProperties(m_items.Get()[i]);
        }
    }
    bool Allocate(DWORD count)
    {
        m_count = count;
        return m_items.Allocate(count);
    }
    OPCITEMPROPERTIES& operator[](DWORD index) { return m_items.Get()[index]; }
    OPCITEMPROPERTIES* Detach() { return m_items.Detach(); }

private:
    COpcTaskMem<OPCITEMPROPERTIES> m_items;
    DWORD m_count = 0;
};

// Moves a property list into the client's record of one item. S_FALSE when
// a property failed.
HRESULT FillItemProperties(COpcDaPropertyList& list, bool withValues, OPCITEMPROPERTIES& item)
{
    item.hrErrorID = S_OK;
    item.dwNumProperties = 0;
    item.pItemProperties = nullptr;
    size_t count = list.GetCount();
    if (count == 0)
        return S_OK;
    if (count > MaxRequestCount)
        return E_OUTOFMEMORY;
    COpcTaskMem<OPCITEMPROPERTY> properties;
    if (!properties.Allocate(count))
        return E_OUTOFMEMORY;
    OPCITEMPROPERTY* out = properties.Get();
    for (size_t i = 0; i < count; ++i)
        VariantInit(&out[i].vValue);
    item.pItemProperties = properties.Detach();
    item.dwNumProperties = static_cast<DWORD>(count);
    HRESULT result = S_OK;
    for (size_t i = 0; i < count; ++i)
    {
        COpcDaProperty& source = list[i];
        OPCITEMPROPERTY& target = item.pItemProperties[i];
        target.vtDataType = source.type;
        target.dwPropertyID = source.id;
        target.hrErrorID = source.result;
        target.szItemID = DuplicateText(source.itemId.TextOrEmpty());
        target.szDescription = DuplicateText(source.description.TextOrEmpty());
        if (target.szItemID == nullptr || target.szDescription == nullptr)
        {
            FreeItemProperties(item);
            return E_OUTOFMEMORY;
        }
        if (withValues)
        {
            // The list owns the value; hand it over rather than copy it.
            target.vValue = source.value;
            VariantInit(&source.value);
        }
        if (FAILED(source.result))
            result = S_FALSE;
    }
    return result;
}

// A task-memory array of strings that frees each string with the array.
class CStringArray
{
public:
    ~CStringArray()
    {
        if (m_items.Get() != nullptr)
        {
            for (size_t i = 0; i < m_count; ++i)
                CoTaskMemFree(m_items.Get()[i]);
        }
    }
    bool Allocate(size_t count)
    {
        m_count = count;
        return m_items.Allocate(count);
    }
    LPWSTR& operator[](size_t index) { return m_items.Get()[index]; }
    LPWSTR* Detach() { return m_items.Detach(); }

private:
    COpcTaskMem<LPWSTR> m_items;
    size_t m_count = 0;
};

// The names from just below `start` down to `node`, joined with the separators.
COpcString RelativePath(const COpcDaBrowseNode* start, const COpcDaBrowseNode* node)
{
    COpcString path = node->Name();
    for (const COpcDaBrowseNode* parent = node->Parent(); parent != nullptr && parent != start;
         parent = parent->Parent())
    {
        wchar_t separator[2] = {parent->Separator(), L'\0'};
        path = parent->Name() + COpcString(separator) + path;
    }
    return path;
}

// Frees the contents of browse elements (not the array).
void FreeBrowseElements(OPCBROWSEELEMENT* elements, DWORD count)
{
    for (DWORD i = 0; i < count; ++i)
    {
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
        elements[i].szName = nullptr;
        elements[i].szItemID = nullptr;
        FreeItemProperties(elements[i].ItemProperties);
    }
}

// A task-memory array of browse elements that frees their contents with it
// unless detached.
class CBrowseElements
{
public:
    ~CBrowseElements()
    {
        if (m_items.Get() != nullptr)
            FreeBrowseElements(m_items.Get(), m_count);
    }
    bool Allocate(DWORD count)
    {
        m_count = count;
        return m_items.Allocate(count);
    }
    OPCBROWSEELEMENT* Get() const { return m_items.Get(); }
    OPCBROWSEELEMENT* Detach() { return m_items.Detach(); }

private:
    COpcTaskMem<OPCBROWSEELEMENT> m_items;
    DWORD m_count = 0;
};

// The names of one BrowseOPCItemIDs call.
typedef COpcEnumString CBrowseNameEnum;

// The data-type and access-rights filters of BrowseOPCItemIDs for one item;
// VT_EMPTY and 0 let every item pass.
bool PassesLeafFilters(COpcDaCache& cache, const COpcString& itemId, VARTYPE dataType, DWORD accessRights)
{
    if (dataType != VT_EMPTY)
    {
        COpcVariant type;
        if (cache.GetItemProperty(itemId, OPC_DA_PROP_CDT, type.Get()) != S_OK ||
            FAILED(VariantChangeType(type.Get(), type.Get(), 0, VT_I2)) || static_cast<VARTYPE>(type->iVal) != dataType)
            return false;
    }
    if (accessRights != 0)
    {
        COpcVariant rights;
        if (cache.GetItemProperty(itemId, OPC_DA_PROP_RIGHTS, rights.Get()) != S_OK ||
            FAILED(VariantChangeType(rights.Get(), rights.Get(), 0, VT_I4)) ||
            (static_cast<DWORD>(rights->lVal) & accessRights) == 0)
            return false;
    }
    return true;
}

// OPC_BRANCH and OPC_LEAF: the names of start's children of that kind.
// Under the address-space lock.
HRESULT AddChildNames(COpcDaCache& cache, COpcDaBrowseNode& start, OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType,
                      DWORD accessRights, CBrowseNameEnum& names, size_t& kept)
{
    bool leafTests = type == OPC_LEAF && (dataType != VT_EMPTY || accessRights != 0);
    for (UINT i = 0; i < start.ChildCount(); ++i)
    {
        COpcDaBrowseNode* child = start.ChildAt(i);
        if (child == nullptr)
            continue;
        if ((type == OPC_BRANCH) != child->HasChildren())
            continue;
        if (!MatchesFilter(child->Name().TextOrEmpty(), filter))
            continue;
        if (leafTests && (!child->IsItem() || !PassesLeafFilters(cache, child->FullItemId(), dataType, accessRights)))
            continue;
        if (!names.Add(child->Name()))
            return E_OUTOFMEMORY;
        ++kept;
    }
    return S_OK;
}

// OPC_FLAT: the full item IDs of every item below start whose path relative
// to start matches the filter. Under the address-space lock.
HRESULT AddFlatItemIds(COpcDaBrowseNode& start, LPCWSTR filter, CBrowseNameEnum& names, size_t& kept)
{
    // Depth first, a node before its descendants, with an explicit
    // stack so that a deep tree cannot exhaust the thread's stack.
    struct SFrame
    {
        COpcDaBrowseNode* node;
        UINT next;
    };
    bool filtered = filter != nullptr && *filter != L'\0';
    COpcGrowArray<SFrame> stack;
    if (!stack.Append(SFrame{&start, 0}))
        return E_OUTOFMEMORY;
    while (!stack.IsEmpty())
    {
        SFrame& top = stack[stack.GetCount() - 1];
        if (top.next >= top.node->ChildCount())
        {
            stack.RemoveAt(stack.GetCount() - 1);
            continue;
        }
        COpcDaBrowseNode* child = top.node->ChildAt(top.next++);
        if (child == nullptr)
            continue;
        // The relative path is only needed when there is a filter to match.
        if (child->IsItem() && (!filtered || MatchWildcard(RelativePath(&start, child).TextOrEmpty(), filter, false)))
        {
            if (!names.Add(child->FullItemId()))
                return E_OUTOFMEMORY;
            ++kept;
        }
        if (child->HasChildren() && !stack.Append(SFrame{child, 0}))
            return E_OUTOFMEMORY;
    }
    return S_OK;
}

// The children of start that one Browse call returns, from the child at
// position on: at most max of them (0: all), and in next the child the
// continuation point names when more are left. Under the address-space lock.
HRESULT FindBrowseChildren(COpcDaCache& cache, COpcDaBrowseNode& start, DWORD position, OPCBROWSEFILTER filter,
                           LPCWSTR nameFilter, LPCWSTR vendorFilter, DWORD max, COpcGrowArray<COpcDaBrowseNode*>& found,
                           bool& haveNext, DWORD& next)
{
    bool vendorFiltered = vendorFilter != nullptr && *vendorFilter != L'\0';
    UINT count = start.ChildCount();
    for (UINT i = position; i < count; ++i)
    {
        COpcDaBrowseNode* child = start.ChildAt(i);
        if (child == nullptr)
            continue;
        bool hasChildren = child->HasChildren();
        if (!MatchesFilter(child->Name().TextOrEmpty(), nameFilter))
            continue;
        if ((filter == OPC_BROWSE_FILTER_BRANCHES && !hasChildren) ||
            (filter == OPC_BROWSE_FILTER_ITEMS && !child->IsItem()))
            continue;
        if (vendorFiltered && !hasChildren)
        {
            COpcVariant dataType;
            if (cache.GetItemProperty(child->FullItemId(), OPC_DA_PROP_DATA_TYPE, dataType.Get()) != S_OK ||
                dataType->vt != VT_BSTR || !OpcVendorFilterAccepts(vendorFilter, dataType->bstrVal))
                continue;
        }
        if (!found.Append(child))
            return E_OUTOFMEMORY;
        if (max != 0 && found.GetCount() >= max)
        {
            if (i + 1 < count)
            {
                haveNext = true;
                next = i + 1;
            }
            break;
        }
    }
    return S_OK;
}

// Names, item IDs and flags of the nodes found, without properties.
HRESULT FillBrowseElements(const COpcGrowArray<COpcDaBrowseNode*>& found, CBrowseElements& elements)
{
    const DWORD count = static_cast<DWORD>(found.GetCount());
    if (count == 0)
        return S_OK;
    if (!elements.Allocate(count))
        return E_OUTOFMEMORY;
    OPCBROWSEELEMENT* out = elements.Get();
    for (DWORD i = 0; i < count; ++i)
    {
        COpcDaBrowseNode* node = found[i];
        out[i].szName = DuplicateText(node->Name().TextOrEmpty());
        out[i].szItemID = DuplicateText(node->FullItemId().TextOrEmpty());
        out[i].dwFlagValue =
            (node->HasChildren() ? OPC_BROWSE_HASCHILDREN : 0) | (node->IsItem() ? OPC_BROWSE_ISITEM : 0);
        if (out[i].szName == nullptr || out[i].szItemID == nullptr)
            return E_OUTOFMEMORY;
    }
    return S_OK;
}
} // namespace

// ---- IOPCBrowseServerAddressSpace --------------------------------------------------

STDMETHODIMP COpcServerObject::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType)
{
    if (pNameSpaceType == nullptr)
        return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

STDMETHODIMP COpcServerObject::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString)
{
    COpcDaCache* cache = AddressSpace();
    if (cache == nullptr)
        return E_FAIL;
    COpcLockGuard serverGuard(m_lock);
    COpcLockGuard cacheGuard(cache->Lock());
    COpcDaBrowseNode* root = cache->BrowseTree().Root();
    switch (dwBrowseDirection)
    {
    case OPC_BROWSE_UP:
    {
        if (m_browsePosition.IsEmpty() || root == nullptr)
            return E_FAIL;
        COpcDaBrowseNode* node = root->Find(m_browsePosition.Text());
        if (node == nullptr || node->Parent() == nullptr)
            return E_FAIL;
        m_browsePosition = node->Parent()->Path();
        return S_OK;
    }
    case OPC_BROWSE_DOWN:
    {
        if (szString == nullptr || *szString == L'\0' || root == nullptr)
            return E_INVALIDARG;
        COpcDaBrowseNode* start = m_browsePosition.IsEmpty() ? root : root->Find(m_browsePosition.Text());
        COpcDaBrowseNode* node = start != nullptr ? start->Find(szString) : nullptr;
        if (node == nullptr || !node->HasChildren())
            return E_INVALIDARG;
        m_browsePosition = node->Path();
        return S_OK;
    }
    case OPC_BROWSE_TO:
    {
        if (szString == nullptr || *szString == L'\0')
        {
            m_browsePosition = COpcString();
            return S_OK;
        }
        COpcDaBrowseNode* node = root != nullptr ? root->Find(szString) : nullptr;
        if (node == nullptr || !node->HasChildren())
            return E_INVALIDARG;
        m_browsePosition = node->Path();
        return S_OK;
    }
    default: return E_INVALIDARG;
    }
}

STDMETHODIMP COpcServerObject::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                                VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                                LPENUMSTRING* ppIEnumString)
{
    if (ppIEnumString == nullptr)
        return E_INVALIDARG;
    *ppIEnumString = nullptr;
    if ((dwBrowseFilterType != OPC_BRANCH && dwBrowseFilterType != OPC_LEAF && dwBrowseFilterType != OPC_FLAT) ||
        dwAccessRightsFilter >= 4)
        return E_INVALIDARG;
    COpcDaCache* cache = AddressSpace();
    if (cache == nullptr)
        return E_FAIL;

    // The position is copied under the server lock: a concurrent
    // ChangeBrowsePosition must not replace the string while it is read.
    COpcString position;
    {
        COpcLockGuard serverGuard(m_lock);
        position = m_browsePosition;
    }

    COpcComPtr<CBrowseNameEnum> enumerator(new (std::nothrow) CBrowseNameEnum());
    if (!enumerator)
        return E_OUTOFMEMORY;
    size_t kept = 0;
    {
        COpcLockGuard cacheGuard(cache->Lock());
        COpcDaBrowseNode* root = cache->BrowseTree().Root();
        if (root == nullptr)
            return E_FAIL;
        COpcDaBrowseNode* start = position.IsEmpty() ? root : root->Find(position.Text());
        if (start == nullptr)
            return E_FAIL;
        HRESULT added = dwBrowseFilterType != OPC_FLAT
                            ? AddChildNames(*cache, *start, dwBrowseFilterType, szFilterCriteria, vtDataTypeFilter,
                                            dwAccessRightsFilter, *enumerator.Get(), kept)
                            : AddFlatItemIds(*start, szFilterCriteria, *enumerator.Get(), kept);
        if (FAILED(added))
            return added;
    }
    HRESULT hr = enumerator->QueryInterface(IID_IEnumString, reinterpret_cast<void**>(ppIEnumString));
    if (FAILED(hr))
        return hr;
    return kept == 0 ? S_FALSE : S_OK;
}

STDMETHODIMP COpcServerObject::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID)
{
    if (szItemID == nullptr)
        return E_INVALIDARG;
    *szItemID = nullptr;
    COpcString position;
    {
        COpcLockGuard serverGuard(m_lock);
        position = m_browsePosition;
    }
    bool emptyName = szItemDataID == nullptr || *szItemDataID == L'\0';
    COpcString result;
    if (!position.IsEmpty() || !emptyName)
    {
        COpcDaCache* cache = AddressSpace();
        if (cache == nullptr)
            return E_FAIL;
        COpcLockGuard cacheGuard(cache->Lock());
        COpcDaBrowseNode* root = cache->BrowseTree().Root();
        if (root == nullptr)
            return E_INVALIDARG;
        COpcDaBrowseNode* node = position.IsEmpty() ? root : root->Find(position.Text());
        if (node != nullptr && !emptyName)
            node = node->Find(szItemDataID);
        if (node == nullptr)
            return E_INVALIDARG;
        result = node->FullItemId();
    }
    *szItemID = DuplicateText(result.TextOrEmpty());
    return *szItemID != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP COpcServerObject::BrowseAccessPaths(LPCWSTR, LPENUMSTRING* ppIEnumString)
{
    if (ppIEnumString == nullptr)
        return E_INVALIDARG;
    *ppIEnumString = nullptr;
    return E_NOTIMPL;
}

// ---- IOPCItemProperties ------------------------------------------------------------

STDMETHODIMP COpcServerObject::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                        LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes)
{
    if (szItemID == nullptr || pdwCount == nullptr || ppPropertyIDs == nullptr || ppDescriptions == nullptr ||
        ppvtDataTypes == nullptr)
        return E_INVALIDARG;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    COpcDaCache* cache = AddressSpace();
    if (cache == nullptr)
        return E_FAIL;
    COpcLockGuard serverGuard(m_lock);
    COpcString itemId(szItemID);
    if (!cache->ValidateItemID(itemId))
        return OPC_E_INVALIDITEMID;
    COpcDaPropertyList list;
    HRESULT hr = cache->QueryItemProperties(itemId, false, list);
    if (FAILED(hr))
        return hr;
    size_t count = list.GetCount();
    if (count == 0)
        return S_OK;
    if (count > MaxRequestCount)
        return E_OUTOFMEMORY;
    COpcTaskMem<DWORD> ids;
    CStringArray descriptions;
    COpcTaskMem<VARTYPE> types;
    if (!ids.Allocate(count) || !descriptions.Allocate(count) || !types.Allocate(count))
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < count; ++i)
    {
        ids.Get()[i] = list[i].id;
        types.Get()[i] = list[i].type;
        descriptions[i] = DuplicateText(list[i].description.TextOrEmpty());
        if (descriptions[i] == nullptr)
            return E_OUTOFMEMORY;
    }
    *pdwCount = static_cast<DWORD>(count);
    *ppPropertyIDs = ids.Detach();
    *ppDescriptions = descriptions.Detach();
    *ppvtDataTypes = types.Detach();
    return S_OK;
}

// The argument checks and lookup shared by GetItemProperties and
// LookupItemIDs: one record per requested ID, in request order.
HRESULT COpcServerObject::PropertiesOf(LPWSTR itemIdText, DWORD count, const DWORD* propertyIds, bool withValues,
                                       COpcDaPropertyList& list)
{
    if (count == 0 || count > MaxRequestCount || propertyIds == nullptr)
        return E_INVALIDARG;
    COpcDaCache* cache = AddressSpace();
    if (cache == nullptr)
        return E_FAIL;
    COpcLockGuard serverGuard(m_lock);
    COpcString itemId(itemIdText);
    if (!cache->ValidateItemID(itemId))
        return OPC_E_INVALIDITEMID;
    HRESULT hr = cache->GetItemPropertyValues(itemId, propertyIds, count, withValues, list);
    if (FAILED(hr))
        return hr;
    return list.GetCount() == count ? S_OK : E_FAIL;
}

STDMETHODIMP COpcServerObject::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                                 VARIANT** ppvData, HRESULT** ppErrors)
{
    if (szItemID == nullptr || ppvData == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    *ppvData = nullptr;
    *ppErrors = nullptr;
    COpcDaPropertyList list;
    HRESULT hr = PropertiesOf(szItemID, dwCount, pdwPropertyIDs, true, list);
    if (FAILED(hr))
        return hr;
    COpcTaskMem<VARIANT> values;
    COpcTaskMem<HRESULT> errors;
    if (!values.Allocate(dwCount) || !errors.Allocate(dwCount))
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i)
    {
        // The list owns the values; they move into the client's array.
        values.Get()[i] = list[i].value;
        VariantInit(&list[i].value);
        errors.Get()[i] = list[i].result;
        if (FAILED(list[i].result))
            result = S_FALSE;
    }
    *ppvData = values.Detach();
    *ppErrors = errors.Detach();
    return result;
}

STDMETHODIMP COpcServerObject::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                             LPWSTR** ppszNewItemIDs, HRESULT** ppErrors)
{
    if (szItemID == nullptr || ppszNewItemIDs == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    COpcDaPropertyList list;
    HRESULT hr = PropertiesOf(szItemID, dwCount, pdwPropertyIDs, false, list);
    if (FAILED(hr))
        return hr;
    CStringArray ids;
    COpcTaskMem<HRESULT> errors;
    if (!ids.Allocate(dwCount) || !errors.Allocate(dwCount))
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i)
    {
        HRESULT error = list[i].result;
        // The standard properties up to 8 describe the item itself and have
        // no item ID of their own.
        if (list[i].id <= OPC_DA_PROP_EUINFO)
            error = OPC_E_INVALID_PID;
        if (SUCCEEDED(error))
        {
            ids[i] = DuplicateText(list[i].itemId.TextOrEmpty());
            if (ids[i] == nullptr)
                return E_OUTOFMEMORY;
        }
        else
        {
            result = S_FALSE;
        }
        errors.Get()[i] = error;
    }
    *ppszNewItemIDs = ids.Detach();
    *ppErrors = errors.Detach();
    return result;
}

// ---- IOPCBrowse ----------------------------------------------------------------------

STDMETHODIMP COpcServerObject::GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                                             DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                                             OPCITEMPROPERTIES** ppItemProperties)
{
    if (pszItemIDs == nullptr || ppItemProperties == nullptr)
        return E_INVALIDARG;
    *ppItemProperties = nullptr;
    if (dwItemCount == 0 || dwItemCount > MaxRequestCount || dwPropertyCount > MaxRequestCount ||
        (dwPropertyCount > 0 && pdwPropertyIDs == nullptr))
        return E_INVALIDARG;
    COpcDaCache* cache = AddressSpace();
    if (cache == nullptr)
        return E_FAIL;
    COpcLockGuard serverGuard(m_lock);
    CItemPropertiesArray items;
    if (!items.Allocate(dwItemCount))
        return E_OUTOFMEMORY;
    cache->SetPropertyLocale(LocaleId());
    bool withValues = bReturnPropertyValues != FALSE;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwItemCount; ++i)
    {
        OPCITEMPROPERTIES& item = items[i];
        if (pszItemIDs[i] == nullptr)
        {
            item.hrErrorID = OPC_E_INVALIDITEMID;
            result = S_FALSE;
            continue;
        }
        COpcString itemId(pszItemIDs[i]);
        COpcDaPropertyList list;
        HRESULT hr = dwPropertyCount > 0
                         ? cache->GetItemPropertyValues(itemId, pdwPropertyIDs, dwPropertyCount, withValues, list)
                         : cache->QueryItemProperties(itemId, withValues, list);
        if (SUCCEEDED(hr))
            hr = FillItemProperties(list, withValues, item);
        if (hr == E_OUTOFMEMORY)
            return hr;
        item.hrErrorID = hr;
        if (hr != S_OK)
            result = S_FALSE;
    }
    *ppItemProperties = items.Detach();
    return result;
}

STDMETHODIMP COpcServerObject::Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                                      OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                                      BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                                      DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                                      OPCBROWSEELEMENT** ppBrowseElements)
{
    if (pbMoreElements == nullptr || pdwCount == nullptr || ppBrowseElements == nullptr ||
        (dwBrowseFilter != OPC_BROWSE_FILTER_ALL && dwBrowseFilter != OPC_BROWSE_FILTER_BRANCHES &&
         dwBrowseFilter != OPC_BROWSE_FILTER_ITEMS))
        return E_INVALIDARG;
    // Remaining elements are always signalled through the continuation point.
    *pbMoreElements = FALSE;
    *pdwCount = 0;
    *ppBrowseElements = nullptr;
    if (dwPropertyCount > MaxRequestCount || (dwPropertyCount > 0 && pdwPropertyIDs == nullptr))
        return E_INVALIDARG;

    DWORD position = 0;
    if (pszContinuationPoint != nullptr)
    {
        if (*pszContinuationPoint != nullptr && **pszContinuationPoint != L'\0' &&
            !ParseContinuationPoint(*pszContinuationPoint, position))
            return OPC_E_INVALIDCONTINUATIONPOINT;
        // The caller's string is ours to replace; the old one is freed.
        CoTaskMemFree(*pszContinuationPoint);
        *pszContinuationPoint = DuplicateText(L"");
    }

    COpcDaCache* cache = AddressSpace();
    if (cache == nullptr)
        return E_FAIL;
    COpcLockGuard serverGuard(m_lock);

    CBrowseElements elements;
    DWORD elementCount = 0;
    bool haveNext = false;
    DWORD next = 0;
    {
        COpcLockGuard cacheGuard(cache->Lock());
        COpcDaBrowseNode* root = cache->BrowseTree().Root();
        COpcDaBrowseNode* start = root;
        if (root != nullptr && szItemID != nullptr && *szItemID != L'\0')
            start = root->Find(szItemID);
        if (start == nullptr)
            return OPC_E_UNKNOWNITEMID;
        COpcGrowArray<COpcDaBrowseNode*> found;
        HRESULT hr = FindBrowseChildren(*cache, *start, position, dwBrowseFilter, szElementNameFilter, szVendorFilter,
                                        dwMaxElementsReturned, found, haveNext, next);
        if (SUCCEEDED(hr))
            hr = FillBrowseElements(found, elements);
        if (FAILED(hr))
            return hr;
        elementCount = static_cast<DWORD>(found.GetCount());
    }

    if (elementCount > 0 && (bReturnAllProperties || dwPropertyCount > 0))
    {
        OPCBROWSEELEMENT* out = elements.Get();
        COpcTaskMem<LPWSTR> itemIds;
        if (!itemIds.Allocate(elementCount))
            return E_OUTOFMEMORY;
        for (DWORD i = 0; i < elementCount; ++i)
            itemIds.Get()[i] = out[i].szItemID;
        OPCITEMPROPERTIES* properties = nullptr;
        HRESULT hr = GetProperties(elementCount, itemIds.Get(), bReturnPropertyValues, dwPropertyCount, pdwPropertyIDs,
                                   &properties);
        if (FAILED(hr))
        {
            for (DWORD i = 0; i < elementCount; ++i)
                out[i].ItemProperties.hrErrorID = hr;
        }
        else
        {
            for (DWORD i = 0; i < elementCount; ++i)
                out[i].ItemProperties = properties[i];
            CoTaskMemFree(properties);
        }
    }

    if (haveNext && pszContinuationPoint != nullptr)
    {
        wchar_t text[16];
        swprintf(text, 16, L"%u", static_cast<unsigned>(next));
        // Without the point the client would silently miss elements.
        LPWSTR point = DuplicateText(text);
        if (point == nullptr)
            return E_OUTOFMEMORY;
        CoTaskMemFree(*pszContinuationPoint);
        *pszContinuationPoint = point;
    }

    HRESULT result = S_OK;
    for (DWORD i = 0; i < elementCount; ++i)
    {
        if (elements.Get()[i].ItemProperties.hrErrorID != S_OK)
            result = S_FALSE;
    }
    *pdwCount = elementCount;
    *ppBrowseElements = elements.Detach();
    return result;
}
