// A client's IOPCShutdown for the tests: counts the requests and keeps the
// last reason. Owned by the test (TestOwnedSink).
#pragma once

#include "TestOwnedSink.h"

#include <opccomn.h>

#include <atomic>
#include <mutex>
#include <string>

class ShutdownSink : public TestOwnedSink<IOPCShutdown>
{
public:
    ShutdownSink() : TestOwnedSink(IID_IOPCShutdown) {}

    std::atomic<int> calls{0};    // every request
    std::atomic<int> requests{0}; // the requests that gave a reason

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

    std::wstring LastReason()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lastReason;
    }

private:
    std::mutex m_lock;
    std::wstring m_lastReason;
};
