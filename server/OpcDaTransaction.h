// One asynchronous operation or data change of a group, from the client call
// (or the scan) that queues it to the callback that reports it.
#pragma once

#include "OpcTaskMem.h"

#include <opcda.h>

#include <memory>

class COpcDaGroup;
class COpcDaTransaction;

// A reference the server holds on a group for its own work: a transaction, a
// delivery, a pass of the update scheduler. The group counts these apart from
// the rest, so that RemoveGroup can tell whether the client still holds it.
class COpcDaGroupHold
{
public:
    COpcDaGroupHold() noexcept = default;
    // Takes a reference of its own.
    explicit COpcDaGroupHold(COpcDaGroup* group) noexcept { Reset(group); }
    ~COpcDaGroupHold() { Reset(); }
    COpcDaGroupHold(const COpcDaGroupHold&) = delete;
    COpcDaGroupHold& operator=(const COpcDaGroupHold&) = delete;

    void Reset(COpcDaGroup* group = nullptr) noexcept;
    COpcDaGroup* Get() const noexcept { return m_group; }
    COpcDaGroup* operator->() const noexcept { return m_group; }
    explicit operator bool() const noexcept { return m_group != nullptr; }

private:
    COpcDaGroup* m_group = nullptr;
};

// Owner of a transaction, and the link of a group's delivery queue.
using COpcDaTransactionPtr = std::unique_ptr<COpcDaTransaction>;

enum : DWORD
{
    kTransactionRead = 0x8001,
    kTransactionWrite = 0x8002,     // the write step, on the server's write thread
    kTransactionWriteDone = 0x8003, // the write's completion callback
    kTransactionRefresh = 0x8004,
    kTransactionDataChange = 0x8005, // a subscription report; count 0 is a keep-alive
};

// The next cancel ID of the process: one more for every transaction made, never 0.
DWORD OpcDaNextCancelId();

class COpcDaTransaction
{
public:
    // A transaction of `count` entries: arrays zeroed, values empty, a reference
    // on the group, and a new cancel ID unless it is a data change (clients
    // cancel only what they asked for). Null when out of memory.
    static COpcDaTransactionPtr Create(DWORD kind, COpcDaGroup* group, DWORD transactionId, DWORD count);
    ~COpcDaTransaction();
    COpcDaTransaction(const COpcDaTransaction&) = delete;
    COpcDaTransaction& operator=(const COpcDaTransaction&) = delete;

    // Room for the optional per-entry arrays of ReadMaxAge/RefreshMaxAge and WriteVQT.
    bool AddMaxAges() { return maxAges.Allocate(capacity); }
    bool AddVqts() { return vqts.Allocate(capacity); }
    // A data change marks the samples of buffered items, which a merge keeps all of.
    bool AddBufferedFlags() { return buffered.Allocate(capacity); }
    // Grows every array to hold at least `wanted` entries; count stays.
    bool Reserve(DWORD wanted);
    // hrMasterquality from the qualities: S_FALSE when any is not good.
    HRESULT QualityOfAll() const;
    // hrMastererror from the errors: OPC_S_DATAQUEUEOVERFLOW when a buffer
    // overflowed, S_FALSE when any entry failed, else S_OK.
    HRESULT ErrorOfAll() const;

    const DWORD cancelId;
    DWORD kind;
    const COpcDaGroupHold group;
    const DWORD transactionId;
    OPCDATASOURCE source = OPC_DS_CACHE;
    HRESULT masterError = S_OK;
    HRESULT masterQuality = S_OK;
    DWORD count;
    DWORD capacity;
    COpcTaskMem<OPCHANDLE> serverHandles;
    COpcTaskMem<OPCHANDLE> clientHandles;
    COpcTaskMem<DWORD> maxAges;
    COpcTaskMem<OPCITEMVQT> vqts;
    COpcTaskMem<VARIANT> values;
    COpcTaskMem<FILETIME> timeStamps;
    COpcTaskMem<WORD> qualities;
    COpcTaskMem<HRESULT> errors;
    COpcTaskMem<BYTE> buffered;
    // Link of the group's delivery queue: a transaction owns the ones behind it.
    COpcDaTransactionPtr next;

private:
    COpcDaTransaction(DWORD kind, COpcDaGroup* group, DWORD transactionId, DWORD count);
};
