#include "OpcDaTransaction.h"

#include "OpcDaGroup.h"
#include "OpcResultCodes.h"

#include <cstring>

namespace
{
volatile LONG cancelIds = 0;

const WORD kQualityGood = 0xC0;

// Moves the first `used` entries into a block of `wanted` (zeroed past them).
template <class T>
bool Grow(COpcTaskMem<T>& block, DWORD used, DWORD wanted)
{
    if (block.Get() == nullptr)
        return true; // an optional array this transaction does not carry
    COpcTaskMem<T> grown;
    if (!grown.Allocate(wanted))
        return false;
    if (used > 0)
        memcpy(grown.Get(), block.Get(), used * sizeof(T));
    block = std::move(grown);
    return true;
}
} // namespace

DWORD OpcDaNextCancelId()
{
    DWORD id = static_cast<DWORD>(InterlockedIncrement(&cancelIds));
    // After four billion transactions the counter wraps; 0 means "none" to a client.
    if (id == 0)
        id = static_cast<DWORD>(InterlockedIncrement(&cancelIds));
    return id;
}

COpcDaTransaction::COpcDaTransaction(DWORD kind_, COpcDaGroup* group_, DWORD transactionId_, DWORD count_)
    : cancelId(kind_ == kTransactionDataChange ? 0 : OpcDaNextCancelId()), kind(kind_), group(group_),
      transactionId(transactionId_), count(count_), capacity(count_ > 0 ? count_ : 1)
{
}

COpcDaTransactionPtr COpcDaTransaction::Create(DWORD kind, COpcDaGroup* group, DWORD transactionId, DWORD count)
{
    if (group == nullptr)
        return nullptr;
    COpcDaTransactionPtr t(new (std::nothrow) COpcDaTransaction(kind, group, transactionId, count));
    if (!t)
        return nullptr;
    // A keep-alive still carries one dummy entry: the callback's arrays may not be empty.
    if (!t->serverHandles.Allocate(t->capacity) || !t->clientHandles.Allocate(t->capacity) ||
        !t->values.Allocate(t->capacity) || !t->timeStamps.Allocate(t->capacity) ||
        !t->qualities.Allocate(t->capacity) || !t->errors.Allocate(t->capacity) ||
        (kind == kTransactionDataChange && !t->AddBufferedFlags()))
        return nullptr;
    return t;
}

COpcDaTransaction::~COpcDaTransaction()
{
    if (values.Get() != nullptr)
    {
        for (DWORD i = 0; i < capacity; ++i)
            VariantClear(&values.Get()[i]);
    }
    if (vqts.Get() != nullptr)
    {
        for (DWORD i = 0; i < capacity; ++i)
            VariantClear(&vqts.Get()[i].vDataValue);
    }
    // The queue behind this one goes one by one, not by recursion.
    while (next)
        next = std::move(next->next);
}

bool COpcDaTransaction::Reserve(DWORD wanted)
{
    if (wanted <= capacity)
        return true;
    // Doubling keeps repeated merges linear.
    DWORD grown = capacity;
    while (grown < wanted)
        grown = grown > 0x7FFFFFFF ? wanted : grown * 2;
    if (!Grow(serverHandles, count, grown) || !Grow(clientHandles, count, grown) || !Grow(maxAges, count, grown) ||
        !Grow(vqts, count, grown) || !Grow(values, count, grown) || !Grow(timeStamps, count, grown) ||
        !Grow(qualities, count, grown) || !Grow(errors, count, grown) || !Grow(buffered, count, grown))
        return false;
    capacity = grown;
    return true;
}

HRESULT COpcDaTransaction::QualityOfAll() const
{
    for (DWORD i = 0; i < count; ++i)
    {
        if (qualities.Get()[i] != kQualityGood)
            return S_FALSE;
    }
    return S_OK;
}

HRESULT COpcDaTransaction::ErrorOfAll() const
{
    HRESULT all = S_OK;
    for (DWORD i = 0; i < count; ++i)
    {
        const HRESULT e = errors.Get()[i];
        if (e == OPC_S_DATAQUEUEOVERFLOW)
            return OPC_S_DATAQUEUEOVERFLOW;
        if (e != S_OK)
            all = S_FALSE;
    }
    return all;
}
