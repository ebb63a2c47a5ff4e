// A client's IOPCDataCallback for the tests: every call is recorded with its
// entries, waiters are woken per call, and every call answers with a chosen
// result. Owned by the test (TestOwnedSink).
#pragma once

#include "OpcHandle.h"
#include "OpcLock.h"

#include "TestOwnedSink.h"

#include <olectl.h>
#include <opcda.h>

#include <atomic>
#include <functional>
#include <vector>

struct CallbackEntry
{
    OPCHANDLE client = 0;
    VARIANT value;
    WORD quality = 0;
    FILETIME stamp = {};
    HRESULT error = S_OK;
    CallbackEntry() { VariantInit(&value); }
    CallbackEntry(const CallbackEntry& other)
        : client(other.client), quality(other.quality), stamp(other.stamp), error(other.error)
    {
        VariantInit(&value);
        VariantCopy(&value, const_cast<VARIANT*>(&other.value));
    }
    CallbackEntry& operator=(const CallbackEntry&) = delete;
    ~CallbackEntry() { VariantClear(&value); }
};

struct CallbackRecord
{
    enum Kind
    {
        DataChange,
        ReadComplete,
        WriteComplete,
        CancelComplete
    } kind;
    DWORD transactionId = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    DWORD count = 0;
    std::vector<CallbackEntry> entries;
};

class DataCallbackSink final : public TestOwnedSink<IOPCDataCallback>
{
public:
    DataCallbackSink() : TestOwnedSink(IID_IOPCDataCallback) {}

    // Runs inside every call before it returns (a slow client, for example).
    std::function<void()> during;
    // What every call returns (a client that is gone, for example); set before advising.
    HRESULT answer = S_OK;

    STDMETHOD(OnDataChange)
    (DWORD tid, OPCHANDLE group, HRESULT quality, HRESULT error, DWORD count, OPCHANDLE* clients, VARIANT* values,
     WORD* qualities, FILETIME* stamps, HRESULT* errors) override
    {
        return Record(CallbackRecord::DataChange, tid, group, quality, error, count, clients, values, qualities, stamps,
                      errors);
    }
    STDMETHOD(OnReadComplete)
    (DWORD tid, OPCHANDLE group, HRESULT quality, HRESULT error, DWORD count, OPCHANDLE* clients, VARIANT* values,
     WORD* qualities, FILETIME* stamps, HRESULT* errors) override
    {
        return Record(CallbackRecord::ReadComplete, tid, group, quality, error, count, clients, values, qualities,
                      stamps, errors);
    }
    STDMETHOD(OnWriteComplete)
    (DWORD tid, OPCHANDLE group, HRESULT error, DWORD count, OPCHANDLE* clients, HRESULT* errors) override
    {
        return Record(CallbackRecord::WriteComplete, tid, group, S_OK, error, count, clients, nullptr, nullptr, nullptr,
                      errors);
    }
    STDMETHOD(OnCancelComplete)(DWORD tid, OPCHANDLE group) override
    {
        return Record(CallbackRecord::CancelComplete, tid, group, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr,
                      nullptr);
    }

    // Waits until `done` holds for the records so far; false after ceilingMs.
    bool WaitUntil(const std::function<bool(const std::vector<CallbackRecord>&)>& done, DWORD ceilingMs = 20000)
    {
        const ULONGLONG end = GetTickCount64() + ceilingMs;
        for (;;)
        {
            {
                COpcLockGuard guard(m_lock);
                if (done(m_records))
                    return true;
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= end)
                return false;
            WaitForSingleObject(m_called.Get(), static_cast<DWORD>(end - now));
        }
    }
    std::vector<CallbackRecord> Records()
    {
        COpcLockGuard guard(m_lock);
        return m_records;
    }
    // Calls that overlapped another call of this sink.
    int Overlaps() const { return m_overlaps; }

private:
    HRESULT Record(CallbackRecord::Kind kind, DWORD tid, OPCHANDLE group, HRESULT quality, HRESULT error, DWORD count,
                   const OPCHANDLE* clients, const VARIANT* values, const WORD* qualities, const FILETIME* stamps,
                   const HRESULT* errors)
    {
        if (++m_inside > 1)
            ++m_overlaps;
        CallbackRecord record;
        record.kind = kind;
        record.transactionId = tid;
        record.group = group;
        record.masterQuality = quality;
        record.masterError = error;
        record.count = count;
        for (DWORD i = 0; i < count; ++i)
        {
            CallbackEntry entry;
            entry.client = clients[i];
            if (values != nullptr)
                VariantCopy(&entry.value, const_cast<VARIANT*>(&values[i]));
            entry.quality = qualities != nullptr ? qualities[i] : 0;
            entry.stamp = stamps != nullptr ? stamps[i] : FILETIME{};
            entry.error = errors != nullptr ? errors[i] : S_OK;
            record.entries.push_back(entry);
        }
        if (during)
            during();
        {
            COpcLockGuard guard(m_lock);
            m_records.push_back(record);
        }
        --m_inside;
        SetEvent(m_called.Get());
        return answer;
    }

    std::atomic<int> m_inside{0};
    std::atomic<int> m_overlaps{0};
    COpcLock m_lock;
    std::vector<CallbackRecord> m_records;
    COpcHandle m_called{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};
