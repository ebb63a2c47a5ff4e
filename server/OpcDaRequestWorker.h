// The thread of a server object that executes its clients' reads and writes,
// one at a time and with its own device-access handle, while each caller waits
// for its own result.
#pragma once

#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcWorkerThread.h"

#include <windows.h>

class COpcDevlaneAPI;

// One call packed for the worker; the caller owns it and waits for it.
class IOpcDaRequest
{
public:
    virtual HRESULT Execute() = 0;

protected:
    ~IOpcDaRequest() = default;
};

// A request that runs a callable; the callable must not throw.
template <class F>
class COpcDaCallRequest final : public IOpcDaRequest
{
public:
    explicit COpcDaCallRequest(F call) : m_call(call) {}
    HRESULT Execute() override { return m_call(); }

private:
    F m_call;
};

template <class F>
COpcDaCallRequest<F> OpcDaMakeRequest(F call)
{
    return COpcDaCallRequest<F>(call);
}

class COpcDaRequestWorker
{
public:
    // Message numbers of the request kinds.
    enum : UINT
    {
        ItemRead = 0x240E,
        ItemWrite = 0x240F,
        GroupRead = 0x2410,
        GroupWrite = 0x2411,
        GroupReadMaxAge = 0x2412,
        GroupWriteVQT = 0x2413
    };

    COpcDaRequestWorker() = default;
    ~COpcDaRequestWorker();
    COpcDaRequestWorker(const COpcDaRequestWorker&) = delete;
    COpcDaRequestWorker& operator=(const COpcDaRequestWorker&) = delete;

    // api is null in simulation, when the worker needs no device handle.
    bool Start(COpcDevlaneAPI* api);
    // Requests still queued are answered with E_FAIL; later ones are refused.
    void Stop();

    // Executes the request on the worker thread and waits for it: the
    // request's result, or E_FAIL when the worker does not run.
    HRESULT Run(UINT kind, IOpcDaRequest& request);

    DWORD ThreadId() const { return m_thread.ThreadId(); }

private:
    struct Record;
    static void Body(void* data, bool stopping);
    void Loop();
    void Drain();
    COpcHandle TakeEvent();
    void GiveEvent(COpcHandle event);
    static bool IsRequest(UINT message) { return message >= ItemRead && message <= GroupWriteVQT; }

    COpcLock m_lock;
    bool m_accepting = false;
    COpcDevlaneAPI* m_api = nullptr;
    COpcWorkerThread m_thread;
    // Completion events kept for reuse, so a call creates none once warm.
    static constexpr int SpareEvents = 8;
    COpcLock m_eventLock;
    COpcHandle m_spare[SpareEvents];
    int m_spareCount = 0;
};
