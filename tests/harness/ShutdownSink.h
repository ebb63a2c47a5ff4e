// A client's IOPCShutdown for the tests: counts the requests and keeps the
// last reason. Owned by the test; the server's references only count, so a
// test can check that the server let go of it.
#pragma once

#include <opccomn.h>

#include <atomic>
#include <mutex>
#include <string>

class ShutdownSink : public IOPCShutdown
{
public:
    std::atomic<int> calls{0};      // every request
    std::atomic<int> requests{0};   // the requests that gave a reason

    STDMETHOD(QueryInterface)(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IOPCShutdown))
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IOPCShutdown*>(this);
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++m_refs); }
    STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(--m_refs); }
    STDMETHOD(ShutdownRequest)(LPCWSTR reason) override
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_lastReason = reason != nullptr ? reason : L"";
        }
        if (reason != nullptr && *reason != L'\0')
            ++requests;
        ++calls;
        return S_OK;
    }

    // 1 when nobody but the test holds the sink.
    LONG References() const { return m_refs; }
    std::wstring LastReason()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lastReason;
    }

private:
    std::atomic<LONG> m_refs{1};
    std::mutex m_lock;
    std::wstring m_lastReason;
};
