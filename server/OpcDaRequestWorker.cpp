#include "OpcDaRequestWorker.h"

#include "OpcDevlaneAPI.h"

struct COpcDaRequestWorker::Record
{
    IOpcDaRequest* request;
    HANDLE done;
    HRESULT result;
};

COpcDaRequestWorker::~COpcDaRequestWorker()
{
    Stop();
}

bool COpcDaRequestWorker::Start(COpcDevlaneAPI* api)
{
    m_api = api;
    {
        COpcLockGuard guard(m_lock);
        m_accepting = true;
    }
    if (!m_thread.Start(Body, this, INFINITE, THREAD_PRIORITY_NORMAL, OpcThreadRole::RequestWorker))
    {
        COpcLockGuard guard(m_lock);
        m_accepting = false;
        return false;
    }
    return true;
}

void COpcDaRequestWorker::Stop()
{
    m_thread.Stop(INFINITE);
    {
        // A worker that never ran leaves nothing queued, but refuse new calls all the same.
        COpcLockGuard guard(m_lock);
        m_accepting = false;
    }
    COpcLockGuard guard(m_eventLock);
    while (m_spareCount > 0)
        m_spare[--m_spareCount].Close();
}

void COpcDaRequestWorker::Body(void* data, bool stopping)
{
    if (!stopping)
        static_cast<COpcDaRequestWorker*>(data)->Loop();
}

void COpcDaRequestWorker::Loop()
{
    DWORD self = GetCurrentThreadId();
    if (m_api != nullptr)
        m_api->CreateThreadHandle(self);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (msg.message == COpcWorkerThread::StopMessage)
            break;
        if (!IsRequest(msg.message) || msg.lParam == 0)
            continue;
        auto* record = reinterpret_cast<Record*>(msg.lParam);
        record->result = record->request->Execute();
        SetEvent(record->done);
    }
    Drain();
    if (m_api != nullptr)
        m_api->DeleteThreadHandle(self);
}

void COpcDaRequestWorker::Drain()
{
    {
        COpcLockGuard guard(m_lock);
        m_accepting = false;
    }
    // Nobody can post any more; answer what is still queued so no caller waits for ever.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        if (IsRequest(msg.message) && msg.lParam != 0)
        {
            auto* record = reinterpret_cast<Record*>(msg.lParam);
            record->result = E_FAIL;
            SetEvent(record->done);
        }
    }
}

COpcHandle COpcDaRequestWorker::TakeEvent()
{
    {
        COpcLockGuard guard(m_eventLock);
        if (m_spareCount > 0)
            return std::move(m_spare[--m_spareCount]);
    }
    return COpcHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

void COpcDaRequestWorker::GiveEvent(COpcHandle event)
{
    // Beyond the spares the event is closed on the way out.
    COpcLockGuard guard(m_eventLock);
    if (m_spareCount < SpareEvents)
        m_spare[m_spareCount++] = std::move(event);
}

HRESULT COpcDaRequestWorker::Run(UINT kind, IOpcDaRequest& request)
{
    if (!IsRequest(kind))
        return E_INVALIDARG;
    // A request made by the worker itself cannot wait for the worker.
    if (GetCurrentThreadId() == m_thread.ThreadId())
        return request.Execute();
    COpcHandle done = TakeEvent();
    if (!done)
        return E_OUTOFMEMORY;
    Record record{&request, done.Get(), E_FAIL};
    bool posted;
    {
        COpcLockGuard guard(m_lock);
        posted = m_accepting && m_thread.Post(kind, 0, reinterpret_cast<LPARAM>(&record));
    }
    if (posted)
        WaitForSingleObject(record.done, INFINITE);
    // Auto-reset: the wait consumed the signal, so the event is clean for reuse.
    GiveEvent(std::move(done));
    return posted ? record.result : E_FAIL;
}
