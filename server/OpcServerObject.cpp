#include "OpcServerObject.h"
#include "OpcDaTransaction.h"

#include "OpcDaCache.h"
#include "OpcDaGroup.h"
#include "OpcDaGroupItem.h"
#include "OpcDaSettings.h"
#include "OpcEnumerators.h"
#include "OpcResultCodes.h"
#include "OpcServerHost.h"
#include "OpcTaskMem.h"

#include <new>

namespace
{
IOpcServerHost* serverHost = nullptr;

// Live server objects in creation order; taken after a server's own lock.
COpcLock serverListLock;
COpcList<COpcServerObject*> serverList;

const DWORD ShutdownMessage = 0x48002;
const wchar_t* const ShutdownFallback = L"ShutdownRequest called...\n";

// The write thread waits for its stop message; its work arrives with the
// asynchronous IO.
// The write thread: the write step of each asynchronous write, strictly in
// the order they were queued, then its completion callback is queued. Each
// message holds a reference on the server, released here; it may be the last
// one, so nothing after it touches the server.
void WriteLoopBody(void* data, bool stopping)
{
    if (stopping)
        return;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (msg.message == COpcWorkerThread::StopMessage)
            break;
        if (msg.message != kTransactionWrite || msg.wParam == 0)
            continue;
        // The server's reference goes last, after the transaction.
        COpcComPtr<COpcServerObject> server(reinterpret_cast<COpcServerObject*>(msg.lParam));
        COpcDaTransactionPtr transaction(reinterpret_cast<COpcDaTransaction*>(msg.wParam));
        COpcDaGroup* group = transaction->group.Get();
        group->Deliver(*transaction);
        transaction->kind = kTransactionWriteDone;
        group->QueueDelivery(std::move(transaction));
    }
    // Writes posted after the stop are dropped with their references.
    while (PeekMessageW(&msg, nullptr, kTransactionWrite, kTransactionWrite, PM_REMOVE))
    {
        if (msg.wParam != 0)
        {
            COpcComPtr<COpcServerObject> server(reinterpret_cast<COpcServerObject*>(msg.lParam));
            COpcDaTransactionPtr transaction(reinterpret_cast<COpcDaTransaction*>(msg.wParam));
        }
    }
}
} // namespace

void OpcSetServerHost(IOpcServerHost* host)
{
    serverHost = host;
}

IOpcServerHost* OpcGetServerHost()
{
    return serverHost;
}

WORD OpcReportedBuildNumber(WORD build, WORD revision)
{
    if (build < 256 && revision >= 1 && revision <= 99)
        return static_cast<WORD>(build * 100 + revision);
    return build;
}

HRESULT OpcCreateServerObject(const CLSID* clsid, IUnknown** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    IOpcServerHost* host = OpcGetServerHost();
    if (host == nullptr)
        return E_UNEXPECTED;
    COpcComPtr<COpcServerObject> server(new (std::nothrow) COpcServerObject());
    if (!server)
        return E_OUTOFMEMORY;
    // The first server of the process builds the process-wide objects.
    HRESULT hr = host->AddServerLock();
    server->m_hostLocked = true;
    if (SUCCEEDED(hr))
        hr = server->FinalConstruct();
    if (FAILED(hr))
        return hr;
    *object = static_cast<IOPCCommon*>(server.Detach());
    return S_OK;
}

COpcServerObject::COpcServerObject() = default;

COpcServerObject::~COpcServerObject()
{
    if (m_constructed)
        FinalRelease();
    if (m_hostLocked && OpcGetServerHost() != nullptr)
        OpcGetServerHost()->ReleaseServerLock();
}

size_t COpcServerObject::LiveCount()
{
    COpcLockGuard guard(serverListLock);
    return serverList.GetCount();
}

HRESULT COpcServerObject::FinalConstruct()
{
    IOpcServerHost* host = OpcGetServerHost();
    {
        COpcLockGuard guard(m_lock);
        COpcLockGuard list(serverListLock);
        if (serverList.AddTail(this) == nullptr)
            return E_OUTOFMEMORY;
    }
    m_constructed = true;
    HRESULT hr = AddConnectionPoint(IID_IOPCShutdown);
    if (FAILED(hr))
        return hr;
    {
        COpcLockGuard guard(m_lock);
        m_browsePosition = COpcString();
        GetSystemTimeAsFileTime(&m_startTime);
        m_lastUpdateTime = FILETIME{};
        m_groupCount = 0;
        m_bandWidth = 0xFFFFFFFF;
        const COpcVersionInfo& version = host->VersionInfo();
        m_vendorInfo = version.description;
        m_majorVersion = version.major;
        m_minorVersion = version.minor;
        m_buildNumber = OpcReportedBuildNumber(version.build, version.revision);
        m_groupNameCounter = 0;
    }
    host->RegisterServer(this);
    // In simulation no device is touched, so the worker needs no device handle.
    COpcDaSettings* settings = host->Settings();
    bool simulating = settings == nullptr || settings->simulationEnabled;
    if (!m_requestWorker.Start(simulating ? nullptr : host->DeviceAccess()))
        return E_FAIL;
    if (!m_callbackPool.Start())
        return E_FAIL;
    if (!m_writeThread.Start(WriteLoopBody, this, INFINITE, THREAD_PRIORITY_NORMAL, OpcThreadRole::AsyncWrite))
        return E_FAIL;
    return S_OK;
}

void COpcServerObject::FinalRelease()
{
    m_requestWorker.Stop();
    if (OpcGetServerHost() != nullptr)
        OpcGetServerHost()->UnregisterServer(this);

    // Take the groups out one at a time under the lock and mark each removed
    // outside it, since dropping a group's last reference may release a
    // client's sink. This needs no memory, so no group is left unmarked when
    // memory is short: such a group would go on calling this freed server.
    for (;;)
    {
        COpcComPtr<COpcDaGroup> group;
        {
            COpcLockGuard guard(m_lock);
            auto first = m_groups.begin();
            if (first == m_groups.end())
                break;
            group = std::move(first->value);
            const COpcString name = first->key;
            m_groups.RemoveKey(name);
        }
        COpcDaGroup::MarkRemoved(std::move(group));
    }

    m_callbackPool.Stop();
    // The last reference may be a write's, dropped on the write thread itself:
    // it cannot wait for its own end, so it is told to end after this.
    if (m_writeThread.ThreadId() == GetCurrentThreadId())
        m_writeThread.Post(COpcWorkerThread::StopMessage);
    else
        m_writeThread.Stop(INFINITE);
    RemoveConnectionPoint(IID_IOPCShutdown);
    {
        COpcLockGuard guard(m_lock);
        COpcLockGuard list(serverListLock);
        for (auto* node = serverList.GetHead(); node != nullptr; node = node->next)
        {
            if (node->value == this)
            {
                serverList.RemoveAt(node);
                break;
            }
        }
    }
    m_constructed = false;
}

const SOpcInterfaceEntry<COpcServerObject> COpcServerObject::Interfaces[] = {
    OpcInterface<COpcServerObject, IOPCCommon>(IID_IUnknown),
    OpcInterface<COpcServerObject, IOPCCommon>(IID_IOPCCommon),
    OpcInterface<COpcServerObject, IConnectionPointContainer>(IID_IConnectionPointContainer),
    OpcInterface<COpcServerObject, IOPCServer>(IID_IOPCServer),
    OpcInterface<COpcServerObject, IOPCBrowseServerAddressSpace>(IID_IOPCBrowseServerAddressSpace),
    OpcInterface<COpcServerObject, IOPCBrowse>(IID_IOPCBrowse),
    OpcInterface<COpcServerObject, IOPCItemProperties>(IID_IOPCItemProperties),
    OpcInterface<COpcServerObject, IOPCItemIO>(IID_IOPCItemIO),
    OpcInterface<COpcServerObject, IOpcDaShutdownControl>(IID_IOpcDaShutdownControl),
    {}};

HRESULT COpcServerObject::LookupErrorString(HRESULT error, LCID locale, LPWSTR* text)
{
    return OpcLookupErrorString(L"opcproxy", error, locale, text);
}

// ---- groups -------------------------------------------------------------------

HRESULT COpcServerObject::CreateGroupByName(const COpcString& name, COpcComPtr<COpcDaGroup>& group)
{
    group.Reset();
    COpcLockGuard guard(m_lock);
    COpcString groupName = name;
    if (!groupName.IsEmpty())
    {
        if (m_groups.Lookup(groupName) != nullptr)
            return OPC_E_DUPLICATENAME;
    }
    else
    {
        wchar_t generated[32];
        do
        {
            ++m_groupNameCounter;
            FormatText(generated, 32, L"Group%03u", m_groupNameCounter);
            groupName = COpcString(generated);
        } while (m_groups.Lookup(groupName) != nullptr);
    }
    COpcComPtr<COpcDaGroup> created = COpcDaGroup::Create(this, groupName);
    if (!created)
        return E_OUTOFMEMORY;
    // The map's reference; the caller gets the one Create made.
    if (!m_groups.SetAt(groupName, created))
        return E_OUTOFMEMORY;
    ++m_groupCount;
    group = std::move(created);
    return S_OK;
}

HRESULT COpcServerObject::RemoveGroupByName(const COpcString& name)
{
    COpcComPtr<COpcDaGroup> group;
    {
        COpcLockGuard guard(m_lock);
        COpcComPtr<COpcDaGroup>* found = m_groups.Lookup(name);
        if (found == nullptr)
            return E_FAIL;
        group = std::move(*found);
        m_groups.RemoveKey(name);
        --m_groupCount;
    }
    return S_OK;
}

HRESULT COpcServerObject::RenameGroup(const COpcString& oldName, const COpcString& newName)
{
    COpcLockGuard guard(m_lock);
    if (newName.IsEmpty())
        return E_INVALIDARG;
    COpcComPtr<COpcDaGroup>* found = m_groups.Lookup(oldName);
    if (found == nullptr)
        return E_INVALIDARG;
    if (oldName.Compare(newName) == 0)
        return S_OK;
    if (m_groups.Lookup(newName) != nullptr)
        return OPC_E_DUPLICATENAME;
    const COpcComPtr<COpcDaGroup> group = *found;
    if (!m_groups.SetAt(newName, group))
        return E_OUTOFMEMORY;
    m_groups.RemoveKey(oldName);
    return S_OK;
}

HRESULT COpcServerObject::CloneGroup(const COpcString& sourceName, const COpcString& newName,
                                     COpcComPtr<COpcDaGroup>& clone)
{
    clone.Reset();
    COpcLockGuard guard(m_lock);
    COpcComPtr<COpcDaGroup>* found = m_groups.Lookup(sourceName);
    if (found == nullptr)
        return E_INVALIDARG;
    COpcDaGroup* source = found->Get();
    COpcComPtr<COpcDaGroup> created;
    HRESULT hr = CreateGroupByName(newName, created);
    if (FAILED(hr))
        return hr;
    hr = created->CopyFrom(*source);
    if (FAILED(hr))
    {
        RemoveGroupByName(created->Name());
        return hr;
    }
    clone = std::move(created);
    return S_OK;
}

bool COpcServerObject::PostWrite(COpcDaTransactionPtr& transaction)
{
    if (!TryAddRef())
        return false;
    // The message carries the transaction and this reference to the write thread.
    COpcComPtr<COpcServerObject> held(this);
    if (!m_writeThread.Post(kTransactionWrite, reinterpret_cast<WPARAM>(transaction.get()),
                            reinterpret_cast<LPARAM>(this)))
        return false;
    transaction.release();
    held.Detach();
    return true;
}

void COpcServerObject::RecordUpdateTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    COpcLockGuard guard(m_lock);
    m_lastUpdateTime = now;
}

// ---- IOPCServer -------------------------------------------------------------------

STDMETHODIMP COpcServerObject::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                        OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID,
                                        OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
                                        LPUNKNOWN* ppUnk)
{
    COpcLockGuard guard(m_lock);
    COpcComPtr<COpcDaGroup> group;
    HRESULT hr = CreateGroupByName(COpcString(szName), group);
    if (FAILED(hr))
        return hr;
    COpcString name = group->Name();
    if (phServerGroup == nullptr || pRevisedUpdateRate == nullptr || ppUnk == nullptr)
    {
        RemoveGroupByName(name);
        return E_INVALIDARG;
    }
    *phServerGroup = 0;
    *pRevisedUpdateRate = 0;
    *ppUnk = nullptr;

    LONG timeBias = 0;
    if (pTimeBias != nullptr)
    {
        timeBias = *pTimeBias;
    }
    else
    {
        TIME_ZONE_INFORMATION zone;
        if (GetTimeZoneInformation(&zone) != TIME_ZONE_ID_INVALID)
            timeBias = zone.Bias;
    }
    BOOL active = bActive;
    DWORD requested = dwRequestedUpdateRate;
    DWORD locale = dwLCID;
    OPCHANDLE client = hClientGroup;
    HRESULT state =
        group->SetState(&requested, pRevisedUpdateRate, &active, &timeBias, pPercentDeadband, &locale, &client);
    if (FAILED(state))
    {
        RemoveGroupByName(name);
        return state;
    }
    hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    if (FAILED(hr))
    {
        RemoveGroupByName(name);
        *pRevisedUpdateRate = 0;
        return hr;
    }
    *phServerGroup = group->ServerHandle();
    return state == OPC_S_UNSUPPORTEDRATE ? OPC_S_UNSUPPORTEDRATE : S_OK;
}

STDMETHODIMP COpcServerObject::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString)
{
    return LookupErrorString(dwError, dwLocale, ppString);
}

STDMETHODIMP COpcServerObject::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk)
{
    if (ppUnk == nullptr)
        return E_INVALIDARG;
    *ppUnk = nullptr;
    COpcLockGuard guard(m_lock);
    if (szName == nullptr)
        return E_INVALIDARG;
    COpcComPtr<COpcDaGroup>* found = m_groups.Lookup(COpcString(szName));
    if (found == nullptr)
        return E_INVALIDARG;
    return (*found)->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
}

STDMETHODIMP COpcServerObject::GetStatus(OPCSERVERSTATUS** ppServerStatus)
{
    if (ppServerStatus == nullptr)
        return E_INVALIDARG;
    *ppServerStatus = nullptr;
    COpcTaskMem<OPCSERVERSTATUS> status;
    if (!status.Allocate(1))
        return E_OUTOFMEMORY;
    IOpcServerHost* host = OpcGetServerHost();
    COpcDaCache* space = host != nullptr ? host->AddressSpace() : nullptr;
    COpcLockGuard guard(m_lock);
    OPCSERVERSTATUS* s = status.Get();
    s->ftStartTime = m_startTime;
    GetSystemTimeAsFileTime(&s->ftCurrentTime);
    s->ftLastUpdateTime = m_lastUpdateTime;
    s->dwServerState = space != nullptr ? static_cast<OPCSERVERSTATE>(space->GetState()) : OPC_STATUS_FAILED;
    s->dwGroupCount = m_groupCount;
    s->dwBandWidth = m_bandWidth;
    s->wMajorVersion = m_majorVersion;
    s->wMinorVersion = m_minorVersion;
    s->wBuildNumber = m_buildNumber;
    s->szVendorInfo = m_vendorInfo.CopyToTaskMem();
    if (s->szVendorInfo == nullptr && !m_vendorInfo.IsEmpty())
        return E_OUTOFMEMORY;
    *ppServerStatus = status.Detach();
    return S_OK;
}

STDMETHODIMP COpcServerObject::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce)
{
    COpcComPtr<COpcDaGroup> group;
    {
        COpcLockGuard guard(m_lock);
        COpcString name;
        for (auto& entry : m_groups)
        {
            if (entry.value->ServerHandle() == hServerGroup)
            {
                group = std::move(entry.value);
                name = entry.key;
                break;
            }
        }
        if (!group)
            return E_FAIL;
        m_groups.RemoveKey(name);
    }
    // Marking it removed lets go of the client's callback sink, a call into
    // the client; the group is out of the map, so no lock is needed for it.
    bool destroyed = COpcDaGroup::MarkRemoved(std::move(group));
    if (destroyed || bForce)
    {
        COpcLockGuard guard(m_lock);
        --m_groupCount;
        return S_OK;
    }
    return OPC_S_INUSE;
}

STDMETHODIMP COpcServerObject::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk)
{
    if (ppUnk == nullptr)
        return E_INVALIDARG;
    *ppUnk = nullptr;
    COpcLockGuard guard(m_lock);
    if (dwScope == OPC_ENUM_PUBLIC_CONNECTIONS || dwScope == OPC_ENUM_PUBLIC)
    {
        // There are no public groups: an empty enumerator of the asked kind.
        COpcComPtr<IUnknown> empty;
        if (riid == IID_IEnumString)
            empty.Reset(static_cast<IEnumString*>(new (std::nothrow) COpcEnumString()));
        else
            empty.Reset(static_cast<IEnumUnknown*>(new (std::nothrow) COpcEnumUnknown()));
        if (!empty)
            return E_OUTOFMEMORY;
        HRESULT hr = empty->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        return SUCCEEDED(hr) ? S_FALSE : hr;
    }
    if (riid == IID_IEnumString)
    {
        COpcComPtr<COpcEnumString> names(new (std::nothrow) COpcEnumString());
        if (!names)
            return E_OUTOFMEMORY;
        for (auto& entry : m_groups)
        {
            if (!names->Add(entry.key))
                return E_OUTOFMEMORY;
        }
        *ppUnk = static_cast<IEnumString*>(names.Detach());
    }
    else if (riid == IID_IEnumUnknown)
    {
        COpcComPtr<COpcEnumUnknown> groups(new (std::nothrow) COpcEnumUnknown());
        if (!groups)
            return E_OUTOFMEMORY;
        for (auto& entry : m_groups)
        {
            COpcComPtr<IUnknown> unknown = COpcComPtr<IUnknown>::QueryFrom(entry.value.Get(), IID_IUnknown);
            if (!unknown || !groups->Add(unknown))
                return E_OUTOFMEMORY;
        }
        *ppUnk = static_cast<IEnumUnknown*>(groups.Detach());
    }
    else
    {
        return E_NOINTERFACE;
    }
    return m_groups.IsEmpty() ? S_FALSE : S_OK;
}

// ---- shutdown -------------------------------------------------------------------

STDMETHODIMP COpcServerObject::RequestShutdown()
{
    SendShutdownNotice(this, this);
    return S_OK;
}

void COpcServerObject::NotifyShutdownAll()
{
    SendShutdownNotice(this, nullptr);
}

void COpcServerObject::SendShutdownNotice(COpcServerObject* caller, COpcServerObject* except)
{
    if (OpcGetServerHost() != nullptr)
        OpcGetServerHost()->RequestStop();

    // Hold every live server, then call out with no lock held: a client
    // commonly releases its objects from inside ShutdownRequest, and those
    // calls need the server lock.
    COpcList<COpcComPtr<COpcServerObject>> servers;
    {
        COpcLockGuard guard(caller->m_lock);
        COpcLockGuard list(serverListLock);
        for (COpcServerObject* server : serverList)
        {
            if (server == except || !server->TryAddRef())
                continue;
            COpcComPtr<COpcServerObject> held(server); // the reference TryAddRef took
            servers.AddTail(held);
        }
    }

    COpcString reason = MessageText(ShutdownMessage);
    const wchar_t* text = reason.IsEmpty() ? ShutdownFallback : reason.Text();
    for (COpcComPtr<COpcServerObject>& server : servers)
    {
        COpcComPtr<IUnknown> sink(server->SinkFor(IID_IOPCShutdown));
        COpcComPtr<IOPCShutdown> shutdown = COpcComPtr<IOPCShutdown>::QueryFrom(sink.Get(), IID_IOPCShutdown);
        if (shutdown)
        {
            // A client that has gone away answers with an RPC error; go on with the next.
            shutdown->ShutdownRequest(text);
        }
        else
        {
            // Without a sink the client is cut off instead.
            COpcList<COpcComPtr<IUnknown>> groups;
            {
                COpcLockGuard serverGuard(server->m_lock);
                for (auto& entry : server->m_groups)
                {
                    COpcComPtr<IUnknown> unknown = COpcComPtr<IUnknown>::QueryFrom(entry.value.Get(), IID_IUnknown);
                    if (unknown)
                        groups.AddTail(unknown);
                }
            }
            for (COpcComPtr<IUnknown>& group : groups)
            {
                CoDisconnectObject(group.Get(), 0);
                group.Reset();
            }
            CoDisconnectObject(static_cast<IOPCCommon*>(server.Get()), 0);
        }
        server.Reset();
    }
}

// ---- IOPCItemIO -----------------------------------------------------------------------------

HRESULT COpcServerObject::ExecuteItemRead(DWORD count, LPCWSTR* itemIds, const DWORD* maxAges, VARIANT** values,
                                          WORD** qualities, FILETIME** timeStamps, HRESULT** errors)
{
    IOpcServerHost* host = OpcGetServerHost();
    COpcDaCache* cache = host != nullptr ? host->AddressSpace() : nullptr;
    if (cache == nullptr)
        return E_FAIL;
    COpcTaskMem<VARIANT> outValues;
    COpcTaskMem<WORD> outQualities;
    COpcTaskMem<FILETIME> outStamps;
    COpcTaskMem<HRESULT> outErrors;
    if (!outValues.Allocate(count) || !outQualities.Allocate(count) || !outStamps.Allocate(count) ||
        !outErrors.Allocate(count))
        return E_OUTOFMEMORY;
    LCID locale = LocaleId();
    HRESULT hr = S_OK;
    for (DWORD i = 0; i < count; ++i)
    {
        HRESULT& error = outErrors.Get()[i];
        if (itemIds[i] == nullptr || itemIds[i][0] == L'\0')
            error = OPC_E_INVALIDITEMID;
        else
            error = cache->ReadItem(COpcString(itemIds[i]), OPC_DA_READ_DEVICE, locale, VT_EMPTY, maxAges[i],
                                    &outValues.Get()[i], &outStamps.Get()[i], &outQualities.Get()[i]);
        if (FAILED(error))
        {
            VariantClear(&outValues.Get()[i]);
            hr = S_FALSE;
        }
    }
    *values = outValues.Detach();
    *qualities = outQualities.Detach();
    *timeStamps = outStamps.Detach();
    *errors = outErrors.Detach();
    return hr;
}

HRESULT COpcServerObject::ExecuteItemWrite(DWORD count, LPCWSTR* itemIds, const OPCITEMVQT* vqts, HRESULT** errors)
{
    IOpcServerHost* host = OpcGetServerHost();
    COpcDaCache* cache = host != nullptr ? host->AddressSpace() : nullptr;
    if (cache == nullptr)
        return E_FAIL;
    COpcTaskMem<HRESULT> outErrors;
    if (!outErrors.Allocate(count))
        return E_OUTOFMEMORY;
    LCID locale = LocaleId();
    HRESULT hr = S_OK;
    for (DWORD i = 0; i < count; ++i)
    {
        HRESULT& error = outErrors.Get()[i];
        const OPCITEMVQT& vqt = vqts[i];
        if (itemIds[i] == nullptr || itemIds[i][0] == L'\0')
        {
            error = OPC_E_INVALIDITEMID;
        }
        else if (!OpcDaIsAcceptableValue(vqt.vDataValue))
        {
            // By-reference values and interface pointers are never looked into.
            error = OPC_E_BADTYPE;
        }
        else
        {
            error = cache->WriteItem(COpcString(itemIds[i]), locale, vqt.vDataValue,
                                     vqt.bTimeStampSpecified ? &vqt.ftTimeStamp : nullptr,
                                     vqt.bQualitySpecified ? &vqt.wQuality : nullptr);
        }
        if (FAILED(error))
            hr = S_FALSE;
    }
    *errors = outErrors.Detach();
    return hr;
}

STDMETHODIMP COpcServerObject::Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                                    WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors)
{
    if (ppvValues != nullptr)
        *ppvValues = nullptr;
    if (ppwQualities != nullptr)
        *ppwQualities = nullptr;
    if (ppftTimeStamps != nullptr)
        *ppftTimeStamps = nullptr;
    if (ppErrors != nullptr)
        *ppErrors = nullptr;
    if (pszItemIDs == nullptr || pdwMaxAge == nullptr || ppvValues == nullptr || ppwQualities == nullptr ||
        ppftTimeStamps == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    HRESULT checked = OpcDaCheckCount(dwCount);
    if (checked != S_OK)
        return checked;
    auto request = OpcDaMakeRequest(
        [&]()
        { return ExecuteItemRead(dwCount, pszItemIDs, pdwMaxAge, ppvValues, ppwQualities, ppftTimeStamps, ppErrors); });
    return m_requestWorker.Run(COpcDaRequestWorker::ItemRead, request);
}

STDMETHODIMP COpcServerObject::WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors)
{
    if (ppErrors != nullptr)
        *ppErrors = nullptr;
    if (pszItemIDs == nullptr || pItemVQT == nullptr || ppErrors == nullptr)
        return E_INVALIDARG;
    HRESULT checked = OpcDaCheckCount(dwCount);
    if (checked != S_OK)
        return checked;
    auto request = OpcDaMakeRequest([&]() { return ExecuteItemWrite(dwCount, pszItemIDs, pItemVQT, ppErrors); });
    return m_requestWorker.Run(COpcDaRequestWorker::ItemWrite, request);
}
