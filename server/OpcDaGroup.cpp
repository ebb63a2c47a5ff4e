#include "OpcDaGroup.h"

#include "OpcContainers.h"
#include "OpcDaSettings.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"

#include <opcerror.h>

#include <new>

namespace
{
COpcLock handleLock;
COpcMap<uint32_t, bool> liveHandles;
uint32_t nextHandle = 0;

// The update scheduler's base cycle: the simulation interval when simulating,
// else the greatest common divisor of the scan periods.
DWORD BaseCycle()
{
    IOpcServerHost* host = OpcGetServerHost();
    COpcDaSettings* settings = host != nullptr ? host->Settings() : nullptr;
    DWORD base = 0;
    if (settings != nullptr)
        base = settings->simulationEnabled ? settings->simulationInterval : settings->baseTick;
    return base != 0 ? base : 100;
}
} // namespace

OPCHANDLE OpcAllocateGroupHandle()
{
    COpcLockGuard guard(handleLock);
    for (;;) {
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

COpcDaGroup* COpcDaGroup::Create(COpcServerObject* server, const COpcString& name)
{
    auto* group = new (std::nothrow) COpcDaGroup(server, name);
    if (group == nullptr)
        return nullptr;
    if (group->m_serverHandle == 0 || FAILED(group->AddConnectionPoint(IID_IOPCDataCallback))) {
        group->Release();
        return nullptr;
    }
    return group;
}

COpcDaGroup::COpcDaGroup(COpcServerObject* server, const COpcString& name)
    : m_server(server), m_name(name), m_serverHandle(OpcAllocateGroupHandle())
{
    GetSystemTimeAsFileTime(&m_lastCallback);
}

COpcDaGroup::~COpcDaGroup()
{
    {
        COpcLockGuard guard(m_lock);
        ResetState();
    }
    RemoveConnectionPoint(IID_IOPCDataCallback);
    OpcFreeGroupHandle(m_serverHandle);
}

STDMETHODIMP COpcDaGroup::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IConnectionPointContainer)
        *object = static_cast<IConnectionPointContainer*>(this);
    else if (iid == IID_IOPCItemMgt)
        *object = static_cast<IOPCItemMgt*>(this);
    else if (iid == IID_IOPCItemDeadbandMgt)
        *object = static_cast<IOPCItemDeadbandMgt*>(this);
    else if (iid == IID_IOPCItemSamplingMgt)
        *object = static_cast<IOPCItemSamplingMgt*>(this);
    else if (iid == IID_IOPCSyncIO || iid == IID_IOPCSyncIO2)
        *object = static_cast<IOPCSyncIO2*>(this);
    else if (iid == IID_IOPCAsyncIO2 || iid == IID_IOPCAsyncIO3)
        *object = static_cast<IOPCAsyncIO3*>(this);
    else if (iid == IID_IOPCGroupStateMgt || iid == IID_IOPCGroupStateMgt2)
        *object = static_cast<IOPCGroupStateMgt2*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) COpcDaGroup::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_refs));
}

STDMETHODIMP_(ULONG) COpcDaGroup::Release()
{
    LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0)
        delete this;
    return static_cast<ULONG>(refs);
}

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

bool COpcDaGroup::MarkRemoved()
{
    {
        COpcLockGuard guard(m_lock);
        ResetState();
        m_removed = TRUE;
    }
    // Dropping the client's advise releases its sink outside the group lock.
    RemoveConnectionPoint(IID_IOPCDataCallback);
    return Release() == 0;
}

HRESULT COpcDaGroup::CopyFrom(COpcDaGroup& source)
{
    DWORD updateRate;
    OPCHANDLE clientHandle;
    LONG timeBias;
    FLOAT deadband;
    DWORD locale;
    DWORD keepAlive;
    {
        COpcLockGuard guard(source.m_lock);
        if (source.m_removed)
            return E_FAIL;
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

    HRESULT result = S_OK;
    if (pPercentDeadband != nullptr)
        m_percentDeadband = *pPercentDeadband;
    if (pRequestedUpdateRate != nullptr) {
        DWORD base = BaseCycle();
        DWORD requested = *pRequestedUpdateRate;
        DWORD revised = requested;
        if (requested == 0 || requested % base != 0) {
            ULONGLONG next = (static_cast<ULONGLONG>(requested) / base + 1) * base;
            // The largest multiple that fits stands in for one beyond 32 bits.
            revised = next > 0xFFFFFFFFull ? static_cast<DWORD>((0xFFFFFFFFull / base) * base) : static_cast<DWORD>(next);
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
    if (pActive != nullptr) {
        BOOL active = *pActive ? TRUE : FALSE;
        if (!m_active && active)
            m_lastScanTick = ScanReportAll;
        m_active = active;
    }
    return result;
}

STDMETHODIMP COpcDaGroup::SetName(LPCWSTR szName)
{
    COpcString oldName;
    {
        COpcLockGuard guard(m_lock);
        if (m_removed)
            return E_FAIL;
        oldName = m_name;
    }
    // The server lock comes before the group lock, so ask with ours released.
    HRESULT hr = m_server->RenameGroup(oldName, COpcString(szName));
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
    {
        COpcLockGuard guard(m_lock);
        if (m_removed)
            return E_FAIL;
        sourceName = m_name;
    }
    COpcDaGroup* clone = nullptr;
    HRESULT hr = m_server->CloneGroup(sourceName, COpcString(szName), &clone);
    if (FAILED(hr))
        return hr;
    hr = clone->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    OPCHANDLE handle = clone->ServerHandle();
    clone->Release();
    if (FAILED(hr))
        m_server->RemoveGroup(handle, FALSE);
    return hr;
}

STDMETHODIMP COpcDaGroup::SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime)
{
    if (pdwRevisedKeepAliveTime == nullptr)
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    if (dwKeepAliveTime == 0) {
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

// ---- interfaces built in later steps ----------------------------------------

#define OPC_GROUP_NOT_YET                                                                                             \
    {                                                                                                                 \
        COpcLockGuard guard(m_lock);                                                                                  \
        return m_removed ? E_FAIL : E_NOTIMPL;                                                                        \
    }

STDMETHODIMP COpcDaGroup::AddItems(DWORD, OPCITEMDEF*, OPCITEMRESULT**, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::RemoveItems(DWORD, OPCHANDLE*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::CreateEnumerator(REFIID, LPUNKNOWN*) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::SetItemDeadband(DWORD, OPCHANDLE*, FLOAT*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::GetItemDeadband(DWORD, OPCHANDLE*, FLOAT**, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::ClearItemDeadband(DWORD, OPCHANDLE*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::SetItemSamplingRate(DWORD, OPCHANDLE*, DWORD*, DWORD**, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::GetItemSamplingRate(DWORD, OPCHANDLE*, DWORD**, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::ClearItemSamplingRate(DWORD, OPCHANDLE*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::SetItemBufferEnable(DWORD, OPCHANDLE*, BOOL*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::GetItemBufferEnable(DWORD, OPCHANDLE*, BOOL**, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::Read(OPCDATASOURCE, DWORD, OPCHANDLE*, OPCITEMSTATE**, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::ReadMaxAge(DWORD, OPCHANDLE*, DWORD*, VARIANT**, WORD**, FILETIME**, HRESULT**)
    OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::WriteVQT(DWORD, OPCHANDLE*, OPCITEMVQT*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::Read(DWORD, OPCHANDLE*, DWORD, DWORD*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::Refresh2(OPCDATASOURCE, DWORD, DWORD*) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::Cancel2(DWORD) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::ReadMaxAge(DWORD, OPCHANDLE*, DWORD*, DWORD, DWORD*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::WriteVQT(DWORD, OPCHANDLE*, OPCITEMVQT*, DWORD, DWORD*, HRESULT**) OPC_GROUP_NOT_YET
STDMETHODIMP COpcDaGroup::RefreshMaxAge(DWORD, DWORD, DWORD*) OPC_GROUP_NOT_YET

STDMETHODIMP COpcDaGroup::SetEnable(BOOL bEnable)
{
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return E_FAIL;
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
    *pbEnable = m_callbacksEnabled;
    return S_OK;
}
