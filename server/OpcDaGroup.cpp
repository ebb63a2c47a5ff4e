#include "OpcDaGroup.h"

#include "OpcContainers.h"
#include "OpcDaCache.h"
#include "OpcDaSettings.h"
#include "OpcDaUpdateScheduler.h"
#include "OpcResultCodes.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"
#include "OpcTaskMem.h"
#include "OpcVariant.h"

#include <memory>
#include <new>

namespace
{
COpcLock handleLock;
COpcMap<uint32_t, bool> liveHandles;
uint32_t nextHandle = 0;

// The update scheduler's base cycle.
DWORD BaseCycle()
{
    IOpcServerHost* host = OpcGetServerHost();
    return OpcDaBaseCycle(host != nullptr ? host->Settings() : nullptr);
}
} // namespace

OPCHANDLE OpcAllocateGroupHandle()
{
    COpcLockGuard guard(handleLock);
    for (;;)
    {
        uint32_t candidate = ++nextHandle;
        if (candidate == 0 || liveHandles.Lookup(candidate) != nullptr)
            continue;
        if (!liveHandles.SetAt(candidate, true))
            return 0;
        return candidate;
    }
}

void OpcFreeGroupHandle(OPCHANDLE handle)
{
    COpcLockGuard guard(handleLock);
    liveHandles.RemoveKey(handle);
}

COpcComPtr<COpcDaGroup> COpcDaGroup::Create(COpcServerObject* server, const COpcString& name)
{
    COpcComPtr<COpcDaGroup> group(new (std::nothrow) COpcDaGroup(server, name));
    if (!group || group->m_serverHandle == 0 || FAILED(group->AddConnectionPoint(IID_IOPCDataCallback)))
        return COpcComPtr<COpcDaGroup>();
    return group;
}

COpcDaGroup::COpcDaGroup(COpcServerObject* server, const COpcString& name)
    : m_server(server), m_name(name), m_serverHandle(OpcAllocateGroupHandle())
{
    GetSystemTimeAsFileTime(&m_lastCallback);
}

COpcDaGroup::~COpcDaGroup()
{
    // A hold dropping its reference may still be finishing its steps.
    while (m_holdsMoving.load() != 0)
        SwitchToThread();
    {
        COpcLockGuard guard(m_lock);
        ResetState();
        DeleteItems();
    }
    RemoveConnectionPoint(IID_IOPCDataCallback);
    OpcFreeGroupHandle(m_serverHandle);
}

const SOpcInterfaceEntry<COpcDaGroup> COpcDaGroup::Interfaces[] = {
    OpcInterface<COpcDaGroup, IConnectionPointContainer>(IID_IUnknown),
    OpcInterface<COpcDaGroup, IConnectionPointContainer>(IID_IConnectionPointContainer),
    OpcInterface<COpcDaGroup, IOPCItemMgt>(IID_IOPCItemMgt),
    OpcInterface<COpcDaGroup, IOPCItemDeadbandMgt>(IID_IOPCItemDeadbandMgt),
    OpcInterface<COpcDaGroup, IOPCItemSamplingMgt>(IID_IOPCItemSamplingMgt),
    OpcInterface<COpcDaGroup, IOPCSyncIO2>(IID_IOPCSyncIO),
    OpcInterface<COpcDaGroup, IOPCSyncIO2>(IID_IOPCSyncIO2),
    OpcInterface<COpcDaGroup, IOPCAsyncIO3>(IID_IOPCAsyncIO2),
    OpcInterface<COpcDaGroup, IOPCAsyncIO3>(IID_IOPCAsyncIO3),
    OpcInterface<COpcDaGroup, IOPCGroupStateMgt2>(IID_IOPCGroupStateMgt),
    OpcInterface<COpcDaGroup, IOPCGroupStateMgt2>(IID_IOPCGroupStateMgt2),
    {}};

void COpcDaGroup::ResetState()
{
    m_clientHandle = 0;
    m_active = FALSE;
    m_callbacksEnabled = TRUE;
    m_updateRate = 0;
    m_timeBias = 0;
    m_percentDeadband = 0.0f;
    m_localeId = 0;
    m_keepAlive = 0;
    m_lastScanTick = ScanReportAll;
}

COpcString COpcDaGroup::Name()
{
    COpcLockGuard guard(m_lock);
    return m_name;
}

void COpcDaGroup::SetNameInternal(const COpcString& name)
{
    COpcLockGuard guard(m_lock);
    m_name = name;
}

bool COpcDaGroup::IsRemoved()
{
    COpcLockGuard guard(m_lock);
    return m_removed != FALSE;
}

bool COpcDaGroup::IsActive()
{
    COpcLockGuard guard(m_lock);
    return m_active != FALSE;
}

LONGLONG COpcDaGroup::LastScanTick()
{
    COpcLockGuard guard(m_lock);
    return m_lastScanTick;
}

bool COpcDaGroup::MarkRemoved(COpcComPtr<COpcDaGroup> group)
{
    {
        COpcLockGuard guard(group->m_lock);
        group->ResetState();
        group->DeleteItems();
        group->m_removed = TRUE;
    }
    // Dropping the client's advise releases its sink outside the group lock.
    group->RemoveConnectionPoint(IID_IOPCDataCallback);
    LeaveScheduler(group.Get());
    // What is left besides our reference and the holds is the client's. The
    // two counts are read again while a hold is between its reference and
    // m_holds, or when one came or went while they were read.
    LONG clientReferences = 0;
    for (;;)
    {
        const LONG version = group->m_holdsVersion.load();
        if (group->m_holdsMoving.load() == 0)
        {
            const LONG holds = group->m_holds.load();
            const LONG references = group->References();
            if (group->m_holdsMoving.load() == 0 && group->m_holdsVersion.load() == version)
            {
                clientReferences = references - 1 - holds;
                break;
            }
        }
        SwitchToThread();
    }
    group.Reset();
    return clientReferences <= 0;
}

void COpcDaGroupHold::Reset(COpcDaGroup* group) noexcept
{
    // Nothing inside the moving steps calls out, so a reader never waits long.
    if (group != nullptr)
    {
        ++group->m_holdsMoving;
        group->AddRef();
        ++group->m_holds;
        ++group->m_holdsVersion;
        --group->m_holdsMoving;
    }
    COpcDaGroup* old = m_group;
    m_group = group;
    if (old != nullptr)
    {
        // The reference is dropped inside the steps and the group deleted
        // after them; another thread's last Release waits in the destructor
        // for these steps to end.
        ++old->m_holdsMoving;
        --old->m_holds;
        const LONG left = old->DropReference();
        ++old->m_holdsVersion;
        --old->m_holdsMoving;
        if (left == 0)
            delete old;
    }
}

HRESULT COpcDaGroup::CopyFrom(COpcDaGroup& source)
{
    DWORD updateRate;
    OPCHANDLE clientHandle;
    LONG timeBias;
    FLOAT deadband;
    DWORD locale;
    DWORD keepAlive;
    // Copies of the source's items, made under its lock and entered under ours.
    size_t itemCount = 0;
    std::unique_ptr<std::unique_ptr<COpcDaGroupItem>[]> items;
    {
        COpcLockGuard guard(source.m_lock);
        if (source.m_removed)
            return E_FAIL;
        itemCount = source.m_items.GetCount();
        if (itemCount != 0)
        {
            items.reset(new (std::nothrow) std::unique_ptr<COpcDaGroupItem>[itemCount]);
            if (items == nullptr)
                return E_OUTOFMEMORY;
            size_t i = 0;
            for (auto& entry : source.m_items)
            {
                items[i].reset(new (std::nothrow) COpcDaGroupItem(*entry.value));
                if (items[i] == nullptr || items[i]->samples.IsBuffered() != (items[i]->bufferEnabled != FALSE))
                    return E_OUTOFMEMORY;
                ++i;
            }
        }
        updateRate = source.m_updateRate;
        clientHandle = source.m_clientHandle;
        timeBias = source.m_timeBias;
        deadband = source.m_percentDeadband;
        locale = source.m_localeId;
        keepAlive = source.m_keepAlive;
    }
    COpcLockGuard guard(m_lock);
    m_active = FALSE;
    m_callbacksEnabled = TRUE;
    m_updateRate = updateRate;
    m_clientHandle = clientHandle;
    m_timeBias = timeBias;
    m_percentDeadband = deadband;
    m_localeId = locale;
    m_keepAlive = keepAlive;
    for (size_t i = 0; i < itemCount; ++i)
    {
        items[i]->serverHandle = NextItemHandle();
        std::unique_ptr<COpcDaGroupItem>* slot = m_items.SetAt(items[i]->serverHandle);
        if (slot == nullptr)
            return E_OUTOFMEMORY;
        *slot = std::move(items[i]);
    }
    return S_OK;
}

// ---- IOPCGroupStateMgt ------------------------------------------------------

STDMETHODIMP COpcDaGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                   FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                   OPCHANDLE* phServerGroup)
{
    // A client could pass null for any of these; refuse rather than write through it.
    if (pUpdateRate == nullptr || pActive == nullptr || ppName == nullptr || pTimeBias == nullptr ||
        pPercentDeadband == nullptr || pLCID == nullptr || phClientGroup == nullptr || phServerGroup == nullptr)
        return E_INVALIDARG;
    *ppName = nullptr;
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return E_FAIL;
    LPWSTR name = DuplicateText(m_name.TextOrEmpty());
    if (name == nullptr)
        return E_OUTOFMEMORY;
    *pUpdateRate = m_updateRate;
    *pActive = m_active;
    *ppName = name;
    *pTimeBias = m_timeBias;
    *pPercentDeadband = m_percentDeadband;
    *pLCID = m_localeId;
    *phClientGroup = m_clientHandle;
    *phServerGroup = m_serverHandle;
    return S_OK;
}

STDMETHODIMP COpcDaGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                   LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup)
{
    // The scheduler's lock comes before ours: it is joined or left once ours is released.
    enum
    {
        Stay,
        Join,
        Leave
    } scheduling = Stay;
    HRESULT result = S_OK;
    {
        COpcLockGuard guard(m_lock);
        if (m_removed)
            return E_FAIL;
        if (pRevisedUpdateRate != nullptr)
            *pRevisedUpdateRate = 0;
        // A requested rate needs somewhere to put the revised one.
        if (pRequestedUpdateRate != nullptr && pRevisedUpdateRate == nullptr)
            return E_INVALIDARG;
        // NaN fails both comparisons, so test for the accepted range instead.
        if (pPercentDeadband != nullptr && !(*pPercentDeadband >= 0.0f && *pPercentDeadband <= 100.0f))
            return E_INVALIDARG;

        if (pPercentDeadband != nullptr)
            m_percentDeadband = *pPercentDeadband;
        if (pRequestedUpdateRate != nullptr)
        {
            DWORD base = BaseCycle();
            DWORD requested = *pRequestedUpdateRate;
            DWORD revised = requested;
            if (requested == 0 || requested % base != 0)
            {
                ULONGLONG next = (static_cast<ULONGLONG>(requested) / base + 1) * base;
                // The largest multiple that fits stands in for one beyond 32 bits.
                revised =
                    next > 0xFFFFFFFFull ? static_cast<DWORD>((0xFFFFFFFFull / base) * base) : static_cast<DWORD>(next);
                result = OPC_S_UNSUPPORTEDRATE;
            }
            m_updateRate = revised;
            *pRevisedUpdateRate = revised;
            m_lastScanTick = ScanRestartGrid;
        }
        if (pTimeBias != nullptr)
            m_timeBias = *pTimeBias;
        if (pLCID != nullptr)
            m_localeId = *pLCID;
        if (phClientGroup != nullptr)
            m_clientHandle = *phClientGroup;
        if (pActive != nullptr)
        {
            BOOL active = *pActive ? TRUE : FALSE;
            if (!m_active && active)
            {
                // The first scan reports every item: nothing counts as sent,
                // and samples left from before do not count either.
                m_lastScanTick = ScanReportAll;
                for (auto& entry : m_items)
                {
                    COpcDaItemSamples& samples = entry.value->samples;
                    samples.Clear();
                    samples.ResetLastSent();
                    samples.lastError = S_OK;
                }
                scheduling = Join;
            }
            else if (m_active && !active)
            {
                scheduling = Leave;
            }
            m_active = active;
        }
    }
    if (scheduling == Leave)
    {
        LeaveScheduler(this);
    }
    else if (scheduling == Join && !JoinScheduler(this))
    {
        COpcLockGuard guard(m_lock);
        m_active = FALSE;
        return E_OUTOFMEMORY;
    }
    return result;
}

STDMETHODIMP COpcDaGroup::SetName(LPCWSTR szName)
{
    // The server lock comes before the group lock, so ask with ours released.
    COpcString oldName;
    COpcComPtr<COpcServerObject> server = HoldServer(&oldName);
    if (!server)
        return E_FAIL;
    HRESULT hr = server->RenameGroup(oldName, COpcString(szName));
    if (FAILED(hr))
        return hr;
    SetNameInternal(COpcString(szName));
    return S_OK;
}

STDMETHODIMP COpcDaGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk)
{
    if (ppUnk == nullptr)
        return E_INVALIDARG;
    *ppUnk = nullptr;
    COpcString sourceName;
    COpcComPtr<COpcServerObject> server = HoldServer(&sourceName);
    if (!server)
        return E_FAIL;
    COpcComPtr<COpcDaGroup> clone;
    HRESULT hr = server->CloneGroup(sourceName, COpcString(szName), clone);
    if (FAILED(hr))
        return hr;
    hr = clone->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    OPCHANDLE handle = clone->ServerHandle();
    clone.Reset();
    if (FAILED(hr))
        server->RemoveGroup(handle, FALSE);
    return hr;
}

STDMETHODIMP COpcDaGroup::SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime)
{
    if (pdwRevisedKeepAliveTime == nullptr)
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    if (dwKeepAliveTime == 0)
    {
        m_keepAlive = 0;
        *pdwRevisedKeepAliveTime = 0;
        return S_OK;
    }
    ULONGLONG rounded = (static_cast<ULONGLONG>(dwKeepAliveTime) + 999) / 1000 * 1000;
    DWORD revised = rounded > 0xFFFFFFFFull ? 4294967000u : static_cast<DWORD>(rounded);
    m_keepAlive = revised;
    *pdwRevisedKeepAliveTime = revised;
    return revised == dwKeepAliveTime ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

STDMETHODIMP COpcDaGroup::GetKeepAlive(DWORD* pdwKeepAliveTime)
{
    if (pdwKeepAliveTime == nullptr)
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    *pdwKeepAliveTime = m_keepAlive;
    return S_OK;
}

STDMETHODIMP COpcDaGroup::SetEnable(BOOL bEnable)
{
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return E_FAIL;
    if (!IsConnected(IID_IOPCDataCallback))
        return CONNECT_E_NOCONNECTION;
    m_callbacksEnabled = bEnable ? TRUE : FALSE;
    return S_OK;
}

STDMETHODIMP COpcDaGroup::GetEnable(BOOL* pbEnable)
{
    if (pbEnable == nullptr)
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return E_FAIL;
    if (!IsConnected(IID_IOPCDataCallback))
        return CONNECT_E_NOCONNECTION;
    *pbEnable = m_callbacksEnabled;
    return S_OK;
}

// ---- items ------------------------------------------------------------------

namespace
{
COpcDaCache* AddressSpace()
{
    IOpcServerHost* host = OpcGetServerHost();
    return host != nullptr ? host->AddressSpace() : nullptr;
}

// Canonical type and access rights of an item ID, with the defaults for a
// property the provider cannot give.
void DescribeItem(COpcDaCache& cache, const COpcString& itemId, VARTYPE& canonical, DWORD& rights)
{
    COpcVariant value;
    int32_t number = 0;
    canonical = VT_EMPTY;
    if (SUCCEEDED(cache.GetItemProperty(itemId, OPC_DA_PROP_CDT, value.Get())) &&
        SUCCEEDED(GetInt32(number, *value.Get())))
        canonical = static_cast<VARTYPE>(number & 0xFFFF);
    value.Clear();
    rights = kOpcReadable | kOpcWriteable;
    if (SUCCEEDED(cache.GetItemProperty(itemId, OPC_DA_PROP_RIGHTS, value.Get())) &&
        SUCCEEDED(GetInt32(number, *value.Get())))
        rights = static_cast<DWORD>(number);
}

bool ReadNumber(COpcDaCache& cache, const COpcString& itemId, DWORD property, double& number)
{
    COpcVariant value;
    return SUCCEEDED(cache.GetItemProperty(itemId, property, value.Get())) &&
           SUCCEEDED(GetDouble(number, *value.Get()));
}

DWORD ReadEUType(COpcDaCache& cache, const COpcString& itemId)
{
    double type = 0.0;
    return ReadNumber(cache, itemId, OPC_DA_PROP_EUTYPE, type) ? static_cast<DWORD>(type) : 0;
}

HRESULT Overall(const HRESULT* errors, DWORD count)
{
    for (DWORD i = 0; i < count; ++i)
    {
        if (FAILED(errors[i]))
            return S_FALSE;
    }
    return S_OK;
}
} // namespace

void COpcDaGroup::DeleteItems()
{
    m_items.RemoveAll();
}

OPCHANDLE COpcDaGroup::NextItemHandle()
{
    // Never 0 and never one a live item holds, also after the counter wraps.
    for (;;)
    {
        OPCHANDLE candidate = ++m_lastItemHandle;
        if (candidate != 0 && m_items.Lookup(candidate) == nullptr)
            return candidate;
    }
}

HRESULT COpcDaGroup::AddOrValidate(DWORD count, OPCITEMDEF* definitions, OPCITEMRESULT** results, HRESULT** errors,
                                   bool validateOnly)
{
    if (results == nullptr || errors == nullptr)
        return E_INVALIDARG;
    *results = nullptr;
    *errors = nullptr;
    if (definitions == nullptr)
        return E_INVALIDARG;
    HRESULT checked = OpcDaCheckCount(count);
    if (checked != S_OK)
        return checked;
    COpcDaCache* cache = AddressSpace();
    COpcLockGuard guard(m_lock);
    if (m_removed || cache == nullptr)
        return E_FAIL;
    COpcTaskMem<OPCITEMRESULT> outResults;
    COpcTaskMem<HRESULT> outErrors;
    if (!outResults.Allocate(count) || !outErrors.Allocate(count))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < count; ++i)
    {
        const OPCITEMDEF& definition = definitions[i];
        OPCITEMRESULT& result = outResults.Get()[i];
        HRESULT& error = outErrors.Get()[i];
        if (definition.szItemID == nullptr || definition.szItemID[0] == L'\0')
        {
            error = OPC_E_INVALIDITEMID;
            continue;
        }
        COpcString itemId(definition.szItemID);
        if (!cache->ValidateItemID(itemId))
        {
            error = OPC_E_UNKNOWNITEMID;
            continue;
        }
        if (!OpcDaIsSupportedRequestedType(definition.vtRequestedDataType))
        {
            error = OPC_E_BADTYPE;
            continue;
        }
        VARTYPE canonical = VT_EMPTY;
        DWORD rights = 0;
        DescribeItem(*cache, itemId, canonical, rights);
        VARTYPE requested = definition.vtRequestedDataType;
        // A scalar reads as text or in its own shape, an array as text or as an array.
        if (requested != VT_EMPTY && requested != VT_BSTR && (requested & VT_ARRAY) != (canonical & VT_ARRAY))
        {
            error = OPC_E_BADTYPE;
            continue;
        }
        result.vtCanonicalDataType = canonical;
        result.dwAccessRights = rights;
        if (validateOnly)
            continue;
        std::unique_ptr<COpcDaGroupItem> item(new (std::nothrow) COpcDaGroupItem());
        if (!item)
        {
            ZeroMemory(&result, sizeof(result));
            error = E_OUTOFMEMORY;
            continue;
        }
        item->serverHandle = NextItemHandle();
        item->clientHandle = definition.hClient;
        item->itemId = itemId;
        item->accessPath = COpcString(definition.szAccessPath != nullptr ? definition.szAccessPath : L"");
        item->active = definition.bActive ? TRUE : FALSE;
        item->requestedType = requested;
        item->euType = ReadEUType(*cache, itemId);
        if (item->euType == OPC_ANALOG && (!ReadNumber(*cache, itemId, OPC_DA_PROP_HIEU, item->euHigh) ||
                                           !ReadNumber(*cache, itemId, OPC_DA_PROP_LOEU, item->euLow)))
            item->euType = 0;
        std::unique_ptr<COpcDaGroupItem>* slot = m_items.SetAt(item->serverHandle);
        if (slot == nullptr)
        {
            ZeroMemory(&result, sizeof(result));
            error = E_OUTOFMEMORY;
            continue;
        }
        result.hServer = item->serverHandle;
        *slot = std::move(item);
    }
    HRESULT hr = Overall(outErrors.Get(), count);
    *results = outResults.Detach();
    *errors = outErrors.Detach();
    return hr;
}

STDMETHODIMP COpcDaGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                   HRESULT** ppErrors)
{
    return AddOrValidate(dwCount, pItemArray, ppAddResults, ppErrors, false);
}

STDMETHODIMP COpcDaGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL,
                                        OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors)
{
    return AddOrValidate(dwCount, pItemArray, ppValidationResults, ppErrors, true);
}

template <class Apply>
HRESULT COpcDaGroup::ForEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT** errors, Apply apply)
{
    if (errors == nullptr)
        return E_INVALIDARG;
    *errors = nullptr;
    if (handles == nullptr)
        return E_INVALIDARG;
    HRESULT checked = OpcDaCheckCount(count);
    if (checked != S_OK)
        return checked;
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return E_FAIL;
    COpcTaskMem<HRESULT> out;
    if (!out.Allocate(count))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < count; ++i)
    {
        std::unique_ptr<COpcDaGroupItem>* item = m_items.Lookup(handles[i]);
        out.Get()[i] = item != nullptr ? apply(item->get(), i) : OPC_E_INVALIDHANDLE;
    }
    HRESULT hr = Overall(out.Get(), count);
    *errors = out.Detach();
    return hr;
}

STDMETHODIMP COpcDaGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [this](COpcDaGroupItem* item, DWORD)
                         {
                             const uint32_t handle = item->serverHandle;
                             m_items.RemoveKey(handle);
                             return S_OK;
                         });
}

STDMETHODIMP COpcDaGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors)
{
    BOOL active = bActive ? TRUE : FALSE;
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [active](COpcDaGroupItem* item, DWORD)
                         {
                             item->active = active;
                             return S_OK;
                         });
}

STDMETHODIMP COpcDaGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors)
{
    if (phClient == nullptr)
    {
        if (ppErrors != nullptr)
            *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [phClient](COpcDaGroupItem* item, DWORD i)
                         {
                             item->clientHandle = phClient[i];
                             return S_OK;
                         });
}

STDMETHODIMP COpcDaGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                       HRESULT** ppErrors)
{
    if (pRequestedDatatypes == nullptr)
    {
        if (ppErrors != nullptr)
            *ppErrors = nullptr;
        return E_INVALIDARG;
    }
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [pRequestedDatatypes](COpcDaGroupItem* item, DWORD i)
                         {
                             if (!OpcDaIsSupportedRequestedType(pRequestedDatatypes[i]))
                                 return OPC_E_BADTYPE;
                             item->requestedType = pRequestedDatatypes[i];
                             return S_OK;
                         });
}

STDMETHODIMP COpcDaGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk)
{
    if (ppUnk == nullptr)
        return E_INVALIDARG;
    *ppUnk = nullptr;
    COpcDaCache* cache = AddressSpace();
    COpcTaskMem<OPCITEMATTRIBUTES> entries;
    DWORD count = 0;
    {
        COpcLockGuard guard(m_lock);
        if (m_removed || cache == nullptr)
            return E_FAIL;
        size_t items = m_items.GetCount();
        if (items > 0xFFFFFFFFu)
            return E_OUTOFMEMORY;
        if (items != 0 && !entries.Allocate(items))
            return E_OUTOFMEMORY;
        for (auto& entry : m_items)
        {
            const COpcDaGroupItem& item = *entry.value;
            OPCITEMATTRIBUTES& attributes = entries.Get()[count++];
            VARTYPE canonical;
            DescribeItem(*cache, item.itemId, canonical, attributes.dwAccessRights);
            attributes.vtCanonicalDataType = canonical;
            attributes.dwEUType = static_cast<OPCEUTYPE>(ReadEUType(*cache, item.itemId));
            if (attributes.dwEUType == OPC_ANALOG)
            {
                double low = 0.0, high = 0.0;
                SAFEARRAY* range = nullptr;
                if (ReadNumber(*cache, item.itemId, OPC_DA_PROP_LOEU, low) &&
                    ReadNumber(*cache, item.itemId, OPC_DA_PROP_HIEU, high) &&
                    (range = SafeArrayCreateVector(VT_R8, 0, 2)) != nullptr)
                {
                    LONG index = 0;
                    SafeArrayPutElement(range, &index, &low);
                    index = 1;
                    SafeArrayPutElement(range, &index, &high);
                    attributes.vEUInfo.vt = VT_ARRAY | VT_R8;
                    attributes.vEUInfo.parray = range;
                }
            }
            else if (attributes.dwEUType == OPC_ENUMERATED)
            {
                COpcVariant labels;
                if (SUCCEEDED(cache->GetItemProperty(item.itemId, OPC_DA_PROP_EUINFO, labels.Get())) &&
                    labels->vt == (VT_ARRAY | VT_BSTR))
                    labels.MoveTo(&attributes.vEUInfo);
            }
            attributes.szAccessPath = DuplicateText(item.accessPath.TextOrEmpty());
            attributes.szItemID = DuplicateText(item.itemId.TextOrEmpty());
            attributes.hClient = item.clientHandle;
            attributes.hServer = item.serverHandle;
            attributes.bActive = item.active;
            attributes.vtRequestedDataType = item.requestedType;
            if (attributes.szAccessPath == nullptr || attributes.szItemID == nullptr)
            {
                for (DWORD i = 0; i < count; ++i)
                    OpcDaClearItemAttributes(entries.Get()[i]);
                return E_OUTOFMEMORY;
            }
        }
    }
    COpcComPtr<COpcDaEnumItemAttributes> enumerator = COpcDaEnumItemAttributes::Create(entries.Detach(), count);
    if (!enumerator)
        return E_OUTOFMEMORY;
    HRESULT hr = enumerator->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    return FAILED(hr) ? E_INVALIDARG : S_OK;
}

// ---- item deadbands and sampling -------------------------------------------------

namespace
{
const DWORD kSamplingGrid = 100; // ms; revised sampling rates are multiples of it
const DWORD kRateNotSet = 0xFFFFFFFF;

// E_INVALIDARG when an argument array is missing, else the count's check.
HRESULT CheckArguments(DWORD count, const void* input, HRESULT** errors)
{
    if (errors != nullptr)
        *errors = nullptr;
    if (input == nullptr)
        return E_INVALIDARG;
    return OpcDaCheckCount(count);
}

// The next multiple of the grid above a rate that is none (0 gives 100).
DWORD ReviseSamplingRate(DWORD requested)
{
    if (requested != 0 && requested % kSamplingGrid == 0)
        return requested;
    ULONGLONG next = (static_cast<ULONGLONG>(requested) / kSamplingGrid + 1) * kSamplingGrid;
    return next > 0xFFFFFFFFull ? static_cast<DWORD>(0xFFFFFFFFull / kSamplingGrid * kSamplingGrid)
                                : static_cast<DWORD>(next);
}
} // namespace

template <class T, class Apply>
HRESULT COpcDaGroup::ForEachHandleWith(DWORD count, const OPCHANDLE* handles, T** output, HRESULT** errors, Apply apply)
{
    HRESULT hr = CheckArguments(count, output, errors);
    if (hr != S_OK)
        return hr;
    *output = nullptr;
    COpcTaskMem<T> out;
    if (!out.Allocate(count))
        return E_OUTOFMEMORY;
    T* values = out.Get();
    hr = ForEachHandle(count, handles, errors,
                       [&](COpcDaGroupItem* item, DWORD i) { return apply(item, values[i], i); });
    if (SUCCEEDED(hr))
        *output = out.Detach();
    return hr;
}

STDMETHODIMP COpcDaGroup::SetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband,
                                          HRESULT** ppErrors)
{
    HRESULT hr = CheckArguments(dwCount, pPercentDeadband, ppErrors);
    if (hr != S_OK)
        return hr;
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [pPercentDeadband](COpcDaGroupItem* item, DWORD i)
                         {
                             const FLOAT deadband = pPercentDeadband[i];
                             // NaN fails both comparisons and is refused with the rest.
                             if (!(deadband >= 0.0f && deadband <= 100.0f))
                                 return E_INVALIDARG;
                             item->deadband = deadband;
                             return S_OK;
                         });
}

STDMETHODIMP COpcDaGroup::GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                                          HRESULT** ppErrors)
{
    return ForEachHandleWith(dwCount, phServer, ppPercentDeadband, ppErrors,
                             [](COpcDaGroupItem* item, FLOAT& deadband, DWORD)
                             {
                                 if (item->deadband < 0.0f)
                                     return OPC_E_DEADBANDNOTSET;
                                 deadband = item->deadband;
                                 return S_OK;
                             });
}

STDMETHODIMP COpcDaGroup::ClearItemDeadband(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [](COpcDaGroupItem* item, DWORD)
                         {
                             if (item->deadband < 0.0f)
                                 return OPC_E_DEADBANDNOTSET;
                             item->deadband = -1.0f;
                             return S_OK;
                         });
}

STDMETHODIMP COpcDaGroup::SetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwRequestedSamplingRate,
                                              DWORD** ppdwRevisedSamplingRate, HRESULT** ppErrors)
{
    HRESULT hr = CheckArguments(dwCount, pdwRequestedSamplingRate, ppErrors);
    if (hr != S_OK)
        return hr;
    bool revisedAny = false;
    hr = ForEachHandleWith(dwCount, phServer, ppdwRevisedSamplingRate, ppErrors,
                           [&](COpcDaGroupItem* item, DWORD& revised, DWORD i)
                           {
                               revised = ReviseSamplingRate(pdwRequestedSamplingRate[i]);
                               item->samplingRate = revised;
                               if (revised == pdwRequestedSamplingRate[i])
                                   return S_OK;
                               revisedAny = true;
                               return OPC_S_UNSUPPORTEDRATE;
                           });
    return hr == S_OK && revisedAny ? S_FALSE : hr;
}

STDMETHODIMP COpcDaGroup::GetItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, DWORD** ppdwSamplingRate,
                                              HRESULT** ppErrors)
{
    return ForEachHandleWith(dwCount, phServer, ppdwSamplingRate, ppErrors,
                             [](COpcDaGroupItem* item, DWORD& rate, DWORD)
                             {
                                 if (item->samplingRate == kRateNotSet)
                                     return OPC_E_RATENOTSET;
                                 rate = item->samplingRate;
                                 return S_OK;
                             });
}

STDMETHODIMP COpcDaGroup::ClearItemSamplingRate(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [](COpcDaGroupItem* item, DWORD)
                         {
                             if (item->samplingRate == kRateNotSet)
                                 return OPC_E_RATENOTSET;
                             item->samplingRate = kRateNotSet;
                             return S_OK;
                         });
}

STDMETHODIMP COpcDaGroup::SetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL* pbEnable, HRESULT** ppErrors)
{
    HRESULT hr = CheckArguments(dwCount, pbEnable, ppErrors);
    if (hr != S_OK)
        return hr;
    return ForEachHandle(dwCount, phServer, ppErrors,
                         [pbEnable](COpcDaGroupItem* item, DWORD i)
                         {
                             const BOOL enable = pbEnable[i] ? TRUE : FALSE;
                             if (enable == item->bufferEnabled)
                                 return S_OK;
                             // A new, empty buffer of the new capacity.
                             if (!item->samples.SetBuffered(enable != FALSE))
                                 return E_OUTOFMEMORY;
                             item->bufferEnabled = enable;
                             return S_OK;
                         });
}

STDMETHODIMP COpcDaGroup::GetItemBufferEnable(DWORD dwCount, OPCHANDLE* phServer, BOOL** ppbEnable, HRESULT** ppErrors)
{
    return ForEachHandleWith(dwCount, phServer, ppbEnable, ppErrors,
                             [](COpcDaGroupItem* item, BOOL& enabled, DWORD)
                             {
                                 enabled = item->bufferEnabled;
                                 return S_OK;
                             });
}

// ---- synchronous IO ---------------------------------------------------------

namespace
{
// What a read or write needs of one item, taken under the group lock so the
// address space is called without it.
struct SItemSnapshot
{
    COpcString itemId;
    OPCHANDLE clientHandle = 0;
    VARTYPE requestedType = VT_EMPTY;
    bool known = false;
    bool active = false;
};

const WORD kQualityOutOfService = 0x1C;
} // namespace

COpcComPtr<COpcServerObject> COpcDaGroup::HoldServer(COpcString* name)
{
    // The server's final release marks us removed, under this lock, before it
    // frees itself; so while we are not removed, asking it for a reference is safe.
    COpcLockGuard guard(m_lock);
    if (m_removed || m_server == nullptr || !m_server->TryAddRef())
        return COpcComPtr<COpcServerObject>();
    if (name != nullptr)
        *name = m_name;
    return COpcComPtr<COpcServerObject>(m_server);
}

HRESULT COpcDaGroup::RunOnWorker(UINT kind, IOpcDaRequest& request)
{
    // Our own reference keeps the server and its worker alive while we wait.
    COpcComPtr<COpcServerObject> server = HoldServer();
    if (!server)
        return E_FAIL;
    return server->RequestWorker().Run(kind, request);
}

HRESULT COpcDaGroup::ExecuteRead(OPCDATASOURCE source, DWORD count, const OPCHANDLE* handles, const DWORD* maxAges,
                                 OPCITEMSTATE** states, VARIANT** values, WORD** qualities, FILETIME** timeStamps,
                                 HRESULT** errors)
{
    COpcDaCache* cache = AddressSpace();
    std::unique_ptr<SItemSnapshot[]> items(new (std::nothrow) SItemSnapshot[count]);
    if (items == nullptr)
        return E_OUTOFMEMORY;
    bool groupActive;
    LCID locale;
    {
        COpcLockGuard guard(m_lock);
        if (m_removed || cache == nullptr)
            return E_FAIL;
        groupActive = m_active != FALSE;
        locale = m_localeId;
        for (DWORD i = 0; i < count; ++i)
        {
            std::unique_ptr<COpcDaGroupItem>* item = m_items.Lookup(handles[i]);
            if (item == nullptr)
                continue;
            items[i].known = true;
            items[i].itemId = (*item)->itemId;
            items[i].clientHandle = (*item)->clientHandle;
            items[i].requestedType = (*item)->requestedType;
            items[i].active = (*item)->active != FALSE;
        }
    }
    COpcTaskMem<OPCITEMSTATE> outStates;
    COpcTaskMem<VARIANT> outValues;
    COpcTaskMem<WORD> outQualities;
    COpcTaskMem<FILETIME> outStamps;
    COpcTaskMem<HRESULT> outErrors;
    bool withStates = states != nullptr;
    if (!outErrors.Allocate(count))
        return E_OUTOFMEMORY;
    if (withStates ? !outStates.Allocate(count)
                   : !outValues.Allocate(count) || !outQualities.Allocate(count) || !outStamps.Allocate(count))
        return E_OUTOFMEMORY;
    // Cache reads take what the address space holds unless it never refreshed;
    // device reads always go to the device.
    DWORD sourceAge = source == OPC_DS_DEVICE ? 0 : 0xFFFFFFFF;
    for (DWORD i = 0; i < count; ++i)
    {
        HRESULT& error = outErrors.Get()[i];
        VARIANT* value = withStates ? &outStates.Get()[i].vDataValue : &outValues.Get()[i];
        WORD* quality = withStates ? &outStates.Get()[i].wQuality : &outQualities.Get()[i];
        FILETIME* stamp = withStates ? &outStates.Get()[i].ftTimeStamp : &outStamps.Get()[i];
        if (!items[i].known)
        {
            error = OPC_E_INVALIDHANDLE;
            continue;
        }
        if (withStates)
            outStates.Get()[i].hClient = items[i].clientHandle;
        DWORD maxAge = maxAges != nullptr ? maxAges[i] : sourceAge;
        error = cache->ReadItem(items[i].itemId, OPC_DA_READ_DEVICE, locale, items[i].requestedType, maxAge, value,
                                stamp, quality);
        if (FAILED(error))
        {
            VariantClear(value);
            continue;
        }
        if (maxAges == nullptr && source == OPC_DS_CACHE && (!items[i].active || !groupActive))
            *quality = kQualityOutOfService;
    }
    HRESULT hr = Overall(outErrors.Get(), count);
    if (withStates)
    {
        *states = outStates.Detach();
    }
    else
    {
        *values = outValues.Detach();
        *qualities = outQualities.Detach();
        *timeStamps = outStamps.Detach();
    }
    *errors = outErrors.Detach();
    return hr;
}

HRESULT COpcDaGroup::ExecuteWrite(DWORD count, const OPCHANDLE* handles, const VARIANT* values, const OPCITEMVQT* vqts,
                                  HRESULT** errors)
{
    COpcDaCache* cache = AddressSpace();
    std::unique_ptr<SItemSnapshot[]> items(new (std::nothrow) SItemSnapshot[count]);
    if (items == nullptr)
        return E_OUTOFMEMORY;
    LCID locale;
    {
        COpcLockGuard guard(m_lock);
        if (m_removed || cache == nullptr)
            return E_FAIL;
        locale = m_localeId;
        for (DWORD i = 0; i < count; ++i)
        {
            std::unique_ptr<COpcDaGroupItem>* item = m_items.Lookup(handles[i]);
            if (item == nullptr)
                continue;
            items[i].known = true;
            items[i].itemId = (*item)->itemId;
            items[i].clientHandle = (*item)->clientHandle;
        }
    }
    COpcTaskMem<HRESULT> outErrors;
    if (!outErrors.Allocate(count))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < count; ++i)
    {
        HRESULT& error = outErrors.Get()[i];
        if (!items[i].known)
        {
            error = OPC_E_INVALIDHANDLE;
            continue;
        }
        const VARIANT& value = vqts != nullptr ? vqts[i].vDataValue : values[i];
        // By-reference values and interface pointers are never looked into.
        if (!OpcDaIsAcceptableValue(value))
        {
            error = OPC_E_BADTYPE;
            continue;
        }
        const WORD* quality = vqts != nullptr && vqts[i].bQualitySpecified ? &vqts[i].wQuality : nullptr;
        const FILETIME* stamp = vqts != nullptr && vqts[i].bTimeStampSpecified ? &vqts[i].ftTimeStamp : nullptr;
        error = cache->WriteItem(items[i].itemId, locale, value, stamp, quality);
    }
    HRESULT hr = Overall(outErrors.Get(), count);
    *errors = outErrors.Detach();
    return hr;
}

STDMETHODIMP COpcDaGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                               HRESULT** ppErrors)
{
    if (phServer == nullptr || ppItemValues == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE)
        return E_INVALIDARG;
    HRESULT checked = OpcDaCheckCount(dwCount);
    if (checked != S_OK)
        return checked;
    auto request = OpcDaMakeRequest(
        [&]() {
            return ExecuteRead(dwSource, dwCount, phServer, nullptr, ppItemValues, nullptr, nullptr, nullptr, ppErrors);
        });
    return RunOnWorker(COpcDaRequestWorker::GroupRead, request);
}

STDMETHODIMP COpcDaGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors)
{
    if (phServer == nullptr || pItemValues == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    *ppErrors = nullptr;
    HRESULT checked = OpcDaCheckCount(dwCount);
    if (checked != S_OK)
        return checked;
    auto request = OpcDaMakeRequest([&]() { return ExecuteWrite(dwCount, phServer, pItemValues, nullptr, ppErrors); });
    return RunOnWorker(COpcDaRequestWorker::GroupWrite, request);
}

STDMETHODIMP COpcDaGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues,
                                     WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors)
{
    if (phServer == nullptr || pdwMaxAge == nullptr || ppvValues == nullptr || ppwQualities == nullptr ||
        ppftTimeStamps == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    *ppvValues = nullptr;
    *ppwQualities = nullptr;
    *ppftTimeStamps = nullptr;
    *ppErrors = nullptr;
    HRESULT checked = OpcDaCheckCount(dwCount);
    if (checked != S_OK)
        return checked;
    auto request = OpcDaMakeRequest(
        [&]()
        {
            return ExecuteRead(OPC_DS_DEVICE, dwCount, phServer, pdwMaxAge, nullptr, ppvValues, ppwQualities,
                               ppftTimeStamps, ppErrors);
        });
    return RunOnWorker(COpcDaRequestWorker::GroupReadMaxAge, request);
}

STDMETHODIMP COpcDaGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, HRESULT** ppErrors)
{
    if (phServer == nullptr || pItemVQT == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    *ppErrors = nullptr;
    HRESULT checked = OpcDaCheckCount(dwCount);
    if (checked != S_OK)
        return checked;
    auto request = OpcDaMakeRequest([&]() { return ExecuteWrite(dwCount, phServer, nullptr, pItemVQT, ppErrors); });
    return RunOnWorker(COpcDaRequestWorker::GroupWriteVQT, request);
}
