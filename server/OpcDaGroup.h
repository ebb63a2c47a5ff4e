// A client's group: its state, its data-callback connection point, its items,
// their synchronous and asynchronous IO, and its subscription (the scan the
// update scheduler runs, item deadbands, sampling rates and buffering).
#pragma once

#include "OpcComObject.h"
#include "OpcConnectionPoint.h"
#include "OpcContainers.h"
#include "OpcDaGroupItem.h"
#include "OpcDaRequestWorker.h"
#include "OpcDaTransaction.h"
#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcString.h"

#include <opcda.h>

#include <atomic>
#include <memory>

class COpcDaCache;
class COpcServerObject;

class COpcDaGroup : public COpcComObject<COpcDaGroup, COpcConnectionPointContainer, IOPCItemMgt, IOPCItemDeadbandMgt,
                                         IOPCItemSamplingMgt, IOPCSyncIO2, IOPCAsyncIO3, IOPCGroupStateMgt2>
{
public:
    // IUnknown, shared by every interface of the object.
    static const SOpcInterfaceEntry<COpcDaGroup> Interfaces[];

    // Markers of the last scan tick: -1 reports every item at the next scan,
    // -2 restarts the rate grid without an immediate callback.
    static constexpr LONGLONG ScanReportAll = -1;
    static constexpr LONGLONG ScanRestartGrid = -2;

    // Created with one reference, for the caller; null when out of memory.
    static COpcComPtr<COpcDaGroup> Create(COpcServerObject* server, const COpcString& name);

    // IOPCGroupStateMgt / IOPCGroupStateMgt2
    STDMETHOD(GetState)
    (DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
     OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
    STDMETHOD(SetState)
    (DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
     DWORD* pLCID, OPCHANDLE* phClientGroup) override;
    STDMETHOD(SetName)(LPCWSTR szName) override;
    STDMETHOD(CloneGroup)(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHOD(SetKeepAlive)(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) override;
    STDMETHOD(GetKeepAlive)(DWORD* pdwKeepAliveTime) override;

    // IOPCItemMgt
    STDMETHOD(AddItems)
    (DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
    STDMETHOD(ValidateItems)
    (DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate, OPCITEMRESULT** ppValidationResults,
     HRESULT** ppErrors) override;
    STDMETHOD(RemoveItems)(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHOD(SetActiveState)(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override;
    STDMETHOD(SetClientHandles)(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) override;
    STDMETHOD(SetDatatypes)
    (DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) override;
    STDMETHOD(CreateEnumerator)(REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCItemDeadbandMgt
    STDMETHOD(SetItemDeadband)
    (DWORD dwCount, OPCHANDLE* phServer, FLOAT* pPercentDeadband, HRESULT** ppErrors) override;
    STDMETHOD(GetItemDeadband)
    (DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband, HRESULT** ppErrors) override;
    STDMETHOD(ClearItemDeadband)(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;

    // IOPCItemSamplingMgt
    STDMETHOD(SetItemSamplingRate)
    (DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwRequestedSamplingRate, DWORD** ppdwRevisedSamplingRate,
     HRESULT** ppErrors) override;
    STDMETHOD(GetItemSamplingRate)
    (DWORD dwCount, OPCHANDLE* phServer, DWORD** ppdwSamplingRate, HRESULT** ppErrors) override;
    STDMETHOD(ClearItemSamplingRate)(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHOD(SetItemBufferEnable)(DWORD dwCount, OPCHANDLE* phServer, BOOL* pbEnable, HRESULT** ppErrors) override;
    STDMETHOD(GetItemBufferEnable)(DWORD dwCount, OPCHANDLE* phServer, BOOL** ppbEnable, HRESULT** ppErrors) override;

    // IOPCSyncIO / IOPCSyncIO2
    STDMETHOD(Read)
    (OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
     HRESULT** ppErrors) override;
    STDMETHOD(Write)(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;
    STDMETHOD(ReadMaxAge)
    (DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, VARIANT** ppvValues, WORD** ppwQualities,
     FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHOD(WriteVQT)(DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;

    // IOPCAsyncIO2 / IOPCAsyncIO3
    STDMETHOD(Read)
    (DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) override;
    STDMETHOD(Write)
    (DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID, DWORD* pdwCancelID,
     HRESULT** ppErrors) override;
    STDMETHOD(Refresh2)(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
    STDMETHOD(Cancel2)(DWORD dwCancelID) override;
    STDMETHOD(SetEnable)(BOOL bEnable) override;
    STDMETHOD(GetEnable)(BOOL* pbEnable) override;
    STDMETHOD(ReadMaxAge)
    (DWORD dwCount, OPCHANDLE* phServer, DWORD* pdwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID,
     HRESULT** ppErrors) override;
    STDMETHOD(WriteVQT)
    (DWORD dwCount, OPCHANDLE* phServer, OPCITEMVQT* pItemVQT, DWORD dwTransactionID, DWORD* pdwCancelID,
     HRESULT** ppErrors) override;
    STDMETHOD(RefreshMaxAge)(DWORD dwMaxAge, DWORD dwTransactionID, DWORD* pdwCancelID) override;

    // For the server object.
    OPCHANDLE ServerHandle() const { return m_serverHandle; }
    COpcString Name();
    void SetNameInternal(const COpcString& name);
    // Drops items and the callback advise, marks the group removed and releases
    // the server's reference, which the caller hands over; true when no
    // reference of the client's is left (the server's own holds end by themselves).
    static bool MarkRemoved(COpcComPtr<COpcDaGroup> group);
    // State of a clone (CloneGroup); the source's lock is taken inside.
    HRESULT CopyFrom(COpcDaGroup& source);
    bool IsRemoved();
    bool IsActive();
    LONGLONG LastScanTick();

    // The synchronous IO as the server object's request worker executes it;
    // the caller has checked the arguments. Cache reads (maxAges null) fill
    // states, reads with max age the four separate arrays.
    HRESULT ExecuteRead(OPCDATASOURCE source, DWORD count, const OPCHANDLE* handles, const DWORD* maxAges,
                        OPCITEMSTATE** states, VARIANT** values, WORD** qualities, FILETIME** timeStamps,
                        HRESULT** errors);
    // values or vqts gives what is written.
    HRESULT ExecuteWrite(DWORD count, const OPCHANDLE* handles, const VARIANT* values, const OPCITEMVQT* vqts,
                         HRESULT** errors);

    // Queues a transaction's callback on the server's callback pool. The
    // callbacks of one group are delivered one at a time, in queue order; a
    // data change still waiting absorbs a later one, so a slow client costs
    // bounded memory. Takes the transaction; may be called under the group lock.
    void QueueDelivery(COpcDaTransactionPtr transaction);
    // One scan of the update scheduler at `tick` with the base cycle `base`
    // (ms): samples the items that are due, queues a report on the group's
    // report ticks, or a keep-alive. Takes the group lock (the scheduler holds
    // its own). False when the group is inactive or removed.
    bool Scan(ULONGLONG tick, DWORD base);

    // Executes a transaction on a server thread: the write step of a write,
    // or the callback of every other kind. No group lock is held meanwhile.
    void Deliver(COpcDaTransaction& transaction);

private:
    COpcDaGroup(COpcServerObject* server, const COpcString& name);
    ~COpcDaGroup() override;
    void ResetState();
    void DeleteItems();
    OPCHANDLE NextItemHandle();
    // The checks and results of AddItems; validateOnly keeps nothing.
    HRESULT AddOrValidate(DWORD count, OPCITEMDEF* definitions, OPCITEMRESULT** results, HRESULT** errors,
                          bool validateOnly);
    // Shared frame of the handle-based item methods: apply(item, index) gives
    // each entry's result for a known handle.
    template <class Apply>
    HRESULT ForEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT** errors, Apply apply);
    // The same with one more result array: apply(item, output entry, index).
    template <class T, class Apply>
    HRESULT ForEachHandleWith(DWORD count, const OPCHANDLE* handles, T** output, HRESULT** errors, Apply apply);
    // Runs one synchronous request on the server's worker.
    HRESULT RunOnWorker(UINT kind, IOpcDaRequest& request);
    // The server with a reference of our own, or null once this group is
    // removed or the server is being destroyed; m_server alone does not keep
    // it alive. `name`, when given, is read under the same lock.
    COpcComPtr<COpcServerObject> HoldServer(COpcString* name = nullptr);
    // The queuing of Read, Write, ReadMaxAge and WriteVQT: known handles go
    // into one transaction, unknown ones get OPC_E_INVALIDHANDLE.
    HRESULT QueueAsync(DWORD kind, DWORD count, const OPCHANDLE* handles, const VARIANT* values, const DWORD* maxAges,
                       const OPCITEMVQT* vqts, DWORD transactionId, DWORD* cancelId, HRESULT** errors);
    // Refresh2 and RefreshMaxAge: every active item.
    HRESULT QueueRefresh(OPCDATASOURCE source, const DWORD* maxAge, DWORD transactionId, DWORD* cancelId);
    // Hands a transaction to the server (write thread or callback pool) and
    // records it as pending; false when the server no longer takes it.
    bool Post(COpcDaTransactionPtr transaction);
    // Appends to a waiting data change; false when it cannot be merged.
    static bool Merge(COpcDaTransaction& into, COpcDaTransaction& from);
    // One delivery of the queue, from the callback pool.
    void DeliverNext();
    // The queue's transactions, dropped undelivered (the pool was stopped).
    void DropQueued();
    bool SubmitDelivery();
    void FillClientHandles(COpcDaTransaction& transaction);
    // The steps of Deliver that run on the request worker: a write's device
    // write, and the reads of Read and Refresh; both fill the transaction's results.
    void ExecuteWriteStep(COpcDaTransaction& transaction);
    void ExecuteReadStep(COpcDaTransaction& transaction);
    // Calls `sink` through `call` unless it has been unadvised since it was
    // looked up; the result of the call, or S_OK when it was not made.
    template <class Call>
    HRESULT CallSink(IUnknown* sink, Call call);
    // Unadvise of the data callback returns once a call to the sink that was
    // under way has ended, so no callback follows its return.
    void OnUnadvise(REFIID iid, DWORD cookie) override;
    // The subscription's steps for one item, under the group lock: how many
    // samples the item reports at this scan, its sample, and its report.
    DWORD CheckItem(COpcDaGroupItem& item, COpcDaCache& cache, ULONGLONG elapsed, DWORD base);
    void SampleItem(COpcDaGroupItem& item, COpcDaCache& cache);
    COpcDaTransactionPtr BuildReport(DWORD samples);
    // Joins or leaves the update scheduler; never under the group lock.
    static bool JoinScheduler(COpcDaGroup* group);
    static void LeaveScheduler(COpcDaGroup* group);
    friend class COpcDaDeliveryJob;
    friend class COpcDaGroupHold;

    COpcLock m_lock;
    COpcServerObject* m_server;
    COpcString m_name;
    OPCHANDLE m_serverHandle;
    OPCHANDLE m_clientHandle = 0;
    BOOL m_active = FALSE;
    BOOL m_callbacksEnabled = TRUE;
    BOOL m_removed = FALSE;
    DWORD m_updateRate = 0;
    LONG m_timeBias = 0;
    FLOAT m_percentDeadband = 0.0f;
    DWORD m_localeId = 0;
    DWORD m_keepAlive = 0;
    FILETIME m_lastCallback = {};
    LONGLONG m_lastScanTick = ScanReportAll;
    COpcMap<uint32_t, std::unique_ptr<COpcDaGroupItem>> m_items;
    OPCHANDLE m_lastItemHandle = 0;
    // Asynchronous transactions queued and not yet delivered: cancel ID to cancelled flag.
    COpcMap<uint32_t, BYTE> m_pending;
    // Callbacks waiting for delivery, and whether a delivery job is under way.
    COpcDaTransactionPtr m_queueHead;
    COpcDaTransaction* m_queueTail = nullptr;
    bool m_delivering = false;
    // Calls into the data callback sink under way, and an event set while there are none.
    DWORD m_sinkCalls = 0;
    COpcHandle m_noSinkCalls{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    // References of COpcDaGroupHold. A hold cannot change its reference and
    // m_holds in one step: it counts itself in m_holdsMoving meanwhile and
    // moves m_holdsVersion when done, so a reader can tell a consistent pair
    // of counts from one taken halfway.
    std::atomic<LONG> m_holds{0};
    std::atomic<LONG> m_holdsMoving{0};
    std::atomic<LONG> m_holdsVersion{0};
};

// Group server handles: never 0 and never shared by two live groups.
OPCHANDLE OpcAllocateGroupHandle();
void OpcFreeGroupHandle(OPCHANDLE handle);
