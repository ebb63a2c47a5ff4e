// Asynchronous IO of a group (IOPCAsyncIO2/IOPCAsyncIO3) and the delivery of
// every callback to the client's IOPCDataCallback.
#include "OpcDaGroup.h"

#include "OpcDaSettings.h"
#include "OpcResultCodes.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"

#include <memory>
#include <new>

namespace
{
// Results of a call into a client that has gone away: its sink is dropped.
bool IsDisconnected(HRESULT hr)
{
    switch (static_cast<DWORD>(hr))
    {
    case 0x80010108: // RPC_E_DISCONNECTED
    case 0x80010007: // RPC_E_SERVER_DIED
    case 0x80010012: // RPC_E_SERVER_DIED_DNE
    case 0x800401FD: // CO_E_OBJNOTCONNECTED
    case 0x800706BA: // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BE: // RPC_S_CALL_FAILED
    case 0x800706BF: // RPC_S_CALL_FAILED_DNE
        return true;
    default: return false;
    }
}

// A buffered item keeps every sample a report carries; this many at most wait per item.
const DWORD kBufferedSamplesKept = 16;
} // namespace

// One delivery of a group's queue on the server's callback pool. It holds a
// reference on the server for as long as it is queued or running.
class COpcDaDeliveryJob final : public COpcThreadJob
{
public:
    COpcDaDeliveryJob(COpcDaGroup* group, COpcComPtr<COpcServerObject> server)
        : m_group(group), m_server(std::move(server))
    {
    }
    void Execute() override
    {
        m_executed = true;
        m_group->DeliverNext();
    }
    void Destroy() override
    {
        // Perhaps the last reference: the server may end here, on this pool
        // thread, so it goes after the job and its group reference.
        COpcComPtr<COpcServerObject> server = std::move(m_server);
        std::unique_ptr<COpcDaDeliveryJob> self(this);
        if (!m_executed)
            m_group->DropQueued();
    }

private:
    COpcDaGroupHold m_group;
    COpcComPtr<COpcServerObject> m_server;
    bool m_executed = false;
};

// ---- delivery ----------------------------------------------------------------

// A client that unadvises from inside its own callback would wait for that very
// call: the wait for a call under way ends after this long whatever happens.
const DWORD kUnadviseWaitMs = 5000;

template <class Call>
HRESULT COpcDaGroup::CallSink(IUnknown* sink, Call call)
{
    COpcComPtr<IUnknown> current; // released after the lock: it may be a proxy
    {
        COpcLockGuard guard(m_lock);
        current.Reset(SinkFor(IID_IOPCDataCallback));
        if (current.Get() != sink)
            return S_OK;
        if (m_sinkCalls++ == 0)
            ResetEvent(m_noSinkCalls.Get());
    }
    const HRESULT hr = call();
    COpcLockGuard guard(m_lock);
    if (--m_sinkCalls == 0)
        SetEvent(m_noSinkCalls.Get());
    return hr;
}

void COpcDaGroup::OnUnadvise(REFIID iid, DWORD cookie)
{
    if (!InlineIsEqualGUID(iid, IID_IOPCDataCallback))
        return;
    {
        // A delivery that found the sink before it was cleared has counted its call by now.
        COpcLockGuard guard(m_lock);
        if (m_sinkCalls == 0)
            return;
    }
    WaitForSingleObject(m_noSinkCalls.Get(), kUnadviseWaitMs);
}

bool COpcDaGroup::SubmitDelivery()
{
    // Under the group lock: a group not yet removed has a live server.
    if (m_removed || m_server == nullptr || !m_server->TryAddRef())
        return false;
    COpcComPtr<COpcServerObject> server(m_server); // the reference TryAddRef took
    auto* job = new (std::nothrow) COpcDaDeliveryJob(this, std::move(server));
    if (job == nullptr)
        return false;
    if (!m_server->CallbackPool().Submit(job))
    {
        // Not queued: undo what the job holds without running it.
        job->Destroy();
        return false;
    }
    return true;
}

void COpcDaGroup::QueueDelivery(COpcDaTransactionPtr transaction)
{
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return;
    COpcDaTransaction* tail = m_queueTail;
    if (transaction->kind == kTransactionDataChange && tail != nullptr && tail->kind == kTransactionDataChange &&
        Merge(*tail, *transaction))
        return;
    m_queueTail = transaction.get();
    if (tail != nullptr)
        tail->next = std::move(transaction);
    else
        m_queueHead = std::move(transaction);
    if (!m_delivering)
    {
        m_delivering = SubmitDelivery();
        if (!m_delivering)
        {
            // No server to deliver with: nothing queued can ever be delivered.
            m_queueHead.reset();
            m_queueTail = nullptr;
        }
    }
}

void COpcDaGroup::DeliverNext()
{
    COpcDaTransactionPtr transaction;
    {
        COpcLockGuard guard(m_lock);
        transaction = std::move(m_queueHead);
        if (transaction)
        {
            m_queueHead = std::move(transaction->next);
            if (!m_queueHead)
                m_queueTail = nullptr;
        }
    }
    if (transaction)
    {
        Deliver(*transaction);
        transaction.reset();
    }
    // One delivery per job, so the groups of a server take turns on the pool;
    // the next job is queued only now, so one group's callbacks never overlap.
    COpcLockGuard guard(m_lock);
    m_delivering = m_queueHead && SubmitDelivery();
    if (!m_delivering && m_queueHead)
    {
        m_queueHead.reset();
        m_queueTail = nullptr;
    }
}

void COpcDaGroup::DropQueued()
{
    COpcDaTransactionPtr queued;
    {
        COpcLockGuard guard(m_lock);
        queued = std::move(m_queueHead);
        m_queueTail = nullptr;
        m_delivering = false;
    }
}

bool COpcDaGroup::Merge(COpcDaTransaction& into, COpcDaTransaction& from)
{
    // A keep-alive behind a waiting report says nothing new.
    if (from.count == 0)
        return true;
    // Where each item stands in the waiting report; a buffered item's samples
    // all stay, every other item keeps only its newest sample.
    COpcMap<uint32_t, DWORD> at;
    COpcMap<uint32_t, DWORD> samples;
    for (DWORD i = 0; i < into.count; ++i)
    {
        const uint32_t h = static_cast<uint32_t>(into.serverHandles.Get()[i]);
        if (!at.SetAt(h, i))
            return false;
        DWORD* n = samples.Lookup(h);
        if (!samples.SetAt(h, n != nullptr ? *n + 1 : 1))
            return false;
    }
    if (!into.Reserve(into.count + from.count))
        return false;
    for (DWORD i = 0; i < from.count; ++i)
    {
        const uint32_t h = static_cast<uint32_t>(from.serverHandles.Get()[i]);
        const bool buffered = from.buffered.Get() != nullptr && from.buffered.Get()[i] != 0;
        DWORD* found = at.Lookup(h);
        DWORD slot = into.count;
        if (found != nullptr && !buffered)
        {
            slot = *found;
            VariantClear(&into.values.Get()[slot]);
        }
        else
        {
            ++into.count;
            at.SetAt(h, slot);
            DWORD* n = samples.Lookup(h);
            samples.SetAt(h, n != nullptr ? *n + 1 : 1);
        }
        into.serverHandles.Get()[slot] = h;
        into.clientHandles.Get()[slot] = from.clientHandles.Get()[i];
        into.values.Get()[slot] = from.values.Get()[i];
        VariantInit(&from.values.Get()[i]);
        into.timeStamps.Get()[slot] = from.timeStamps.Get()[i];
        into.qualities.Get()[slot] = from.qualities.Get()[i];
        into.errors.Get()[slot] = from.errors.Get()[i];
        if (into.buffered.Get() != nullptr)
            into.buffered.Get()[slot] = buffered ? 1 : 0;
    }
    // A buffered item that has piled up more samples than its buffer holds
    // keeps the newest ones, each saying that some were lost.
    COpcMap<uint32_t, DWORD> excess;
    for (const auto& entry : samples)
    {
        if (entry.value > kBufferedSamplesKept && !excess.SetAt(entry.key, entry.value - kBufferedSamplesKept))
            return false;
    }
    if (excess.GetCount() == 0)
        return true;
    DWORD kept = 0;
    for (DWORD i = 0; i < into.count; ++i)
    {
        const uint32_t h = static_cast<uint32_t>(into.serverHandles.Get()[i]);
        DWORD* drop = excess.Lookup(h);
        if (drop != nullptr && *drop > 0)
        {
            --*drop;
            VariantClear(&into.values.Get()[i]);
            continue;
        }
        if (drop != nullptr && SUCCEEDED(into.errors.Get()[i]))
            into.errors.Get()[i] = OPC_S_DATAQUEUEOVERFLOW;
        if (kept != i)
        {
            into.serverHandles.Get()[kept] = h;
            into.clientHandles.Get()[kept] = into.clientHandles.Get()[i];
            into.values.Get()[kept] = into.values.Get()[i];
            VariantInit(&into.values.Get()[i]);
            into.timeStamps.Get()[kept] = into.timeStamps.Get()[i];
            into.qualities.Get()[kept] = into.qualities.Get()[i];
            into.errors.Get()[kept] = into.errors.Get()[i];
            if (into.buffered.Get() != nullptr)
                into.buffered.Get()[kept] = into.buffered.Get()[i];
        }
        ++kept;
    }
    into.count = kept;
    return true;
}

void COpcDaGroup::FillClientHandles(COpcDaTransaction& t)
{
    // An item removed since the call was queued reports client handle 0.
    COpcLockGuard guard(m_lock);
    for (DWORD i = 0; i < t.count; ++i)
    {
        std::unique_ptr<COpcDaGroupItem>* item = m_items.Lookup(static_cast<uint32_t>(t.serverHandles.Get()[i]));
        t.clientHandles.Get()[i] = item != nullptr ? (*item)->clientHandle : 0;
    }
}

void COpcDaGroup::ExecuteWriteStep(COpcDaTransaction& t)
{
    COpcTaskMem<HRESULT> errors;
    auto request = OpcDaMakeRequest(
        [&]()
        {
            return ExecuteWrite(t.count, t.serverHandles.Get(), t.vqts.Get() != nullptr ? nullptr : t.values.Get(),
                                t.vqts.Get(), errors.Receive());
        });
    const HRESULT hr = RunOnWorker(
        t.vqts.Get() != nullptr ? COpcDaRequestWorker::GroupWriteVQT : COpcDaRequestWorker::GroupWrite, request);
    for (DWORD i = 0; i < t.count; ++i)
        t.errors.Get()[i] = SUCCEEDED(hr) && errors.Get() != nullptr ? errors.Get()[i] : hr;
    FillClientHandles(t);
    t.masterError = t.ErrorOfAll();
}

void COpcDaGroup::ExecuteReadStep(COpcDaTransaction& t)
{
    HRESULT hr;
    if (t.maxAges.Get() != nullptr)
    {
        COpcTaskMem<VARIANT> values;
        COpcTaskMem<WORD> qualities;
        COpcTaskMem<FILETIME> stamps;
        COpcTaskMem<HRESULT> errors;
        auto request = OpcDaMakeRequest(
            [&]()
            {
                return ExecuteRead(OPC_DS_DEVICE, t.count, t.serverHandles.Get(), t.maxAges.Get(), nullptr,
                                   values.Receive(), qualities.Receive(), stamps.Receive(), errors.Receive());
            });
        hr = RunOnWorker(COpcDaRequestWorker::GroupReadMaxAge, request);
        for (DWORD i = 0; i < t.count; ++i)
        {
            if (SUCCEEDED(hr))
            {
                t.values.Get()[i] = values.Get()[i];
                t.qualities.Get()[i] = qualities.Get()[i];
                t.timeStamps.Get()[i] = stamps.Get()[i];
            }
            t.errors.Get()[i] = SUCCEEDED(hr) ? errors.Get()[i] : hr;
        }
        FillClientHandles(t);
        t.masterQuality = S_OK;
    }
    else
    {
        COpcTaskMem<OPCITEMSTATE> states;
        COpcTaskMem<HRESULT> errors;
        auto request = OpcDaMakeRequest(
            [&]()
            {
                return ExecuteRead(t.source, t.count, t.serverHandles.Get(), nullptr, states.Receive(), nullptr,
                                   nullptr, nullptr, errors.Receive());
            });
        hr = RunOnWorker(COpcDaRequestWorker::GroupRead, request);
        for (DWORD i = 0; i < t.count; ++i)
        {
            if (SUCCEEDED(hr))
            {
                const OPCITEMSTATE& state = states.Get()[i];
                t.clientHandles.Get()[i] = state.hClient;
                t.values.Get()[i] = state.vDataValue;
                t.qualities.Get()[i] = state.wQuality;
                t.timeStamps.Get()[i] = state.ftTimeStamp;
            }
            t.errors.Get()[i] = SUCCEEDED(hr) ? errors.Get()[i] : hr;
        }
        if (FAILED(hr))
            FillClientHandles(t);
        t.masterQuality = t.QualityOfAll();
    }
    t.masterError = t.ErrorOfAll();
}

void COpcDaGroup::Deliver(COpcDaTransaction& t)
{
    COpcComPtr<IUnknown> unknown;
    bool cancelled = false;
    OPCHANDLE groupHandle = 0;
    {
        COpcLockGuard guard(m_lock);
        // The sink is looked up now: an Unadvise since the queuing drops the delivery.
        unknown.Reset(SinkFor(IID_IOPCDataCallback));
        if (t.kind != kTransactionDataChange)
        {
            BYTE* flag = m_pending.Lookup(static_cast<uint32_t>(t.cancelId));
            cancelled = flag == nullptr || *flag != 0;
            // The write step keeps its entry for the completion that follows.
            if (t.kind != kTransactionWrite)
                m_pending.RemoveKey(static_cast<uint32_t>(t.cancelId));
        }
        groupHandle = m_clientHandle;
    }
    if (!unknown)
        return;
    auto* sink = static_cast<IOPCDataCallback*>(unknown.Get());

    HRESULT called = S_OK;
    if (cancelled)
    {
        // A cancelled write is not executed; its completion step reports it, once.
        if (t.kind == kTransactionWrite)
            return;
        called = CallSink(sink, [&] { return sink->OnCancelComplete(t.transactionId, groupHandle); });
    }
    else
    {
        switch (t.kind)
        {
        case kTransactionWrite: ExecuteWriteStep(t); return;
        case kTransactionWriteDone:
            called = CallSink(sink,
                              [&]
                              {
                                  return sink->OnWriteComplete(t.transactionId, groupHandle, t.masterError, t.count,
                                                               t.clientHandles.Get(), t.errors.Get());
                              });
            break;
        case kTransactionRead:
        case kTransactionRefresh:
        {
            ExecuteReadStep(t);
            called = CallSink(
                sink,
                [&]
                {
                    return t.kind == kTransactionRead
                               ? sink->OnReadComplete(t.transactionId, groupHandle, t.masterQuality, t.masterError,
                                                      t.count, t.clientHandles.Get(), t.values.Get(), t.qualities.Get(),
                                                      t.timeStamps.Get(), t.errors.Get())
                               : sink->OnDataChange(t.transactionId, groupHandle, t.masterQuality, t.masterError,
                                                    t.count, t.clientHandles.Get(), t.values.Get(), t.qualities.Get(),
                                                    t.timeStamps.Get(), t.errors.Get());
                });
            break;
        }
        case kTransactionDataChange:
            // A keep-alive passes one empty entry: the arrays of the call may not be empty.
            called = CallSink(sink,
                              [&]
                              {
                                  return sink->OnDataChange(0, groupHandle, t.count > 0 ? t.QualityOfAll() : S_OK,
                                                            t.count > 0 ? t.ErrorOfAll() : S_OK, t.count,
                                                            t.clientHandles.Get(), t.values.Get(), t.qualities.Get(),
                                                            t.timeStamps.Get(), t.errors.Get());
                              });
            {
                // The delivery job's reference keeps the server; its lock comes before ours.
                COpcServerObject* server = nullptr;
                {
                    COpcLockGuard guard(m_lock);
                    server = m_removed ? nullptr : m_server;
                }
                if (server != nullptr)
                    server->RecordUpdateTime();
            }
            break;
        default: break;
        }
    }
    // A client that has gone away is not called again.
    // (Its proxy is released with no lock of ours held: that may take a while.)
    if (IsDisconnected(called))
    {
        COpcComPtr<IUnknown> current(SinkFor(IID_IOPCDataCallback));
        if (current.Get() == unknown.Get())
            DropSink(IID_IOPCDataCallback);
    }
}

// ---- queuing -------------------------------------------------------------------

bool COpcDaGroup::Post(COpcDaTransactionPtr t)
{
    // Under the group lock, so a Cancel2 after our return finds the entry.
    const uint32_t cancelId = static_cast<uint32_t>(t->cancelId);
    if (!m_pending.SetAt(cancelId, 0))
        return false;
    if (t->kind == kTransactionWrite)
    {
        if (m_server != nullptr && m_server->PostWrite(t))
            return true;
        m_pending.RemoveKey(cancelId);
        return false;
    }
    QueueDelivery(std::move(t));
    return true;
}

HRESULT COpcDaGroup::QueueAsync(DWORD kind, DWORD count, const OPCHANDLE* handles, const VARIANT* values,
                                const DWORD* maxAges, const OPCITEMVQT* vqts, DWORD transactionId, DWORD* cancelId,
                                HRESULT** errors)
{
    if (handles == nullptr || cancelId == nullptr || errors == nullptr)
        return E_INVALIDARG;
    *errors = nullptr;
    HRESULT checked = OpcDaCheckCount(count);
    if (checked != S_OK)
        return checked;
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return E_FAIL;
    if (!IsConnected(IID_IOPCDataCallback))
        return CONNECT_E_NOCONNECTION;
    *cancelId = 0;
    COpcTaskMem<HRESULT> results;
    if (!results.Allocate(count))
        return E_OUTOFMEMORY;
    DWORD known = 0;
    for (DWORD i = 0; i < count; ++i)
    {
        if (m_items.Lookup(static_cast<uint32_t>(handles[i])) != nullptr)
            ++known;
        else
            results.Get()[i] = OPC_E_INVALIDHANDLE;
    }
    if (known > 0)
    {
        COpcDaTransactionPtr t = COpcDaTransaction::Create(kind, this, transactionId, known);
        if (!t || (maxAges != nullptr && !t->AddMaxAges()) || (vqts != nullptr && !t->AddVqts()))
            return E_OUTOFMEMORY;
        t->source = OPC_DS_DEVICE;
        DWORD n = 0;
        for (DWORD i = 0; i < count; ++i)
        {
            if (results.Get()[i] != S_OK)
                continue;
            t->serverHandles.Get()[n] = handles[i];
            if (maxAges != nullptr)
                t->maxAges.Get()[n] = maxAges[i];
            // A value the server must not look into (a reference, an interface)
            // is not copied; the write step then refuses its empty stand-in.
            if (values != nullptr && OpcDaIsAcceptableValue(values[i]) &&
                FAILED(VariantCopy(&t->values.Get()[n], const_cast<VARIANT*>(&values[i]))))
                return E_OUTOFMEMORY;
            if (vqts != nullptr)
            {
                OPCITEMVQT& copy = t->vqts.Get()[n];
                copy = vqts[i];
                VariantInit(&copy.vDataValue);
                if (OpcDaIsAcceptableValue(vqts[i].vDataValue) &&
                    FAILED(VariantCopy(&copy.vDataValue, const_cast<VARIANT*>(&vqts[i].vDataValue))))
                    return E_OUTOFMEMORY;
            }
            ++n;
        }
        const DWORD id = t->cancelId;
        if (!Post(std::move(t)))
            return E_FAIL;
        *cancelId = id;
    }
    *errors = results.Detach();
    return known == count ? S_OK : S_FALSE;
}

HRESULT COpcDaGroup::QueueRefresh(OPCDATASOURCE source, const DWORD* maxAge, DWORD transactionId, DWORD* cancelId)
{
    if (cancelId == nullptr || (maxAge == nullptr && source != OPC_DS_CACHE && source != OPC_DS_DEVICE))
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return E_FAIL;
    if (!IsConnected(IID_IOPCDataCallback))
        return CONNECT_E_NOCONNECTION;
    *cancelId = 0;
    if (!m_active)
        return E_FAIL;
    DWORD active = 0;
    for (const auto& entry : m_items)
    {
        if (entry.value->active)
            ++active;
    }
    if (active == 0)
        return E_FAIL;
    COpcDaTransactionPtr t = COpcDaTransaction::Create(kTransactionRefresh, this, transactionId, active);
    if (!t || (maxAge != nullptr && !t->AddMaxAges()))
        return E_OUTOFMEMORY;
    t->source = maxAge != nullptr ? OPC_DS_DEVICE : source;
    DWORD n = 0;
    for (const auto& entry : m_items)
    {
        if (!entry.value->active)
            continue;
        t->serverHandles.Get()[n] = entry.value->serverHandle;
        if (maxAge != nullptr)
            t->maxAges.Get()[n] = *maxAge;
        ++n;
    }
    const DWORD id = t->cancelId;
    if (!Post(std::move(t)))
        return E_FAIL;
    *cancelId = id;
    return S_OK;
}

STDMETHODIMP COpcDaGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                               HRESULT** ppErrors)
{
    return QueueAsync(kTransactionRead, dwCount, phServer, nullptr, nullptr, nullptr, dwTransactionID, pdwCancelID,
                      ppErrors);
}

STDMETHODIMP COpcDaGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                                DWORD* pdwCancelID, HRESULT** ppErrors)
{
    if (pItemValues == nullptr)
        return E_INVALIDARG;
    HRESULT hr = QueueAsync(kTransactionWrite, dwCount, phServer, pItemValues, nullptr, nullptr, dwTransactionID,
                            pdwCancelID, ppErrors);
    // The configured pause after a write, for devices that need time before
    // the next request. Taken without the group lock, which the update
    // scheduler needs for every other client's subscriptions.
    if (SUCCEEDED(hr))
    {
        IOpcServerHost* host = OpcGetServerHost();
        COpcDaSettings* settings = host != nullptr ? host->Settings() : nullptr;
        if (settings != nullptr && settings->cttWaitTime > 0)
            Sleep(settings->cttWaitTime);
    }
    return hr;
}

STDMETHODIMP COpcDaGroup::ReadMaxAge(DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID,
                                     DWORD* pdwCancelID, HRESULT** ppErrors)
{
    if (pdwMaxAge == nullptr)
        return E_INVALIDARG;
    return QueueAsync(kTransactionRead, dwCount, phServer, nullptr, pdwMaxAge, nullptr, dwTransactionID, pdwCancelID,
                      ppErrors);
}

STDMETHODIMP COpcDaGroup::WriteVQT(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID,
                                   DWORD* pdwCancelID, HRESULT** ppErrors)
{
    if (pItemVQT == nullptr)
        return E_INVALIDARG;
    return QueueAsync(kTransactionWrite, dwCount, phServer, nullptr, nullptr, pItemVQT, dwTransactionID, pdwCancelID,
                      ppErrors);
}

STDMETHODIMP COpcDaGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    return QueueRefresh(dwSource, nullptr, dwTransactionID, pdwCancelID);
}

STDMETHODIMP COpcDaGroup::RefreshMaxAge(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    return QueueRefresh(OPC_DS_DEVICE, &dwMaxAge, dwTransactionID, pdwCancelID);
}

STDMETHODIMP COpcDaGroup::Cancel2(DWORD dwCancelID)
{
    COpcLockGuard guard(m_lock);
    if (m_removed)
        return E_FAIL;
    if (!IsConnected(IID_IOPCDataCallback))
        return CONNECT_E_NOCONNECTION;
    BYTE* flag = m_pending.Lookup(static_cast<uint32_t>(dwCancelID));
    if (flag == nullptr)
        return E_FAIL;
    *flag = 1;
    return S_OK;
}
