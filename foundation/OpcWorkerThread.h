// COpcWorkerThread: a thread with its own message queue, started and stopped
// with a handshake. Every long-running activity of the server runs on one.
//
// The body runs on the new thread as body(data, false) and is expected to loop
// until IsStopRequested() is true or it receives StopMessage. Stop() also calls
// body(nullptr, true) on the stopping thread, so a body blocked on something
// other than its message queue can be released; other bodies ignore that call.
#pragma once

#include "OpcHandle.h"
#include "OpcThreadRoles.h"

#include <windows.h>
#include <atomic>

typedef void (*OpcThreadBody)(void* data, bool stopping);

class COpcWorkerThread
{
public:
    // Thread message posted by Stop().
    static constexpr UINT StopMessage = 0x2414;

    COpcWorkerThread() noexcept;
    // Stops a thread that is still running, waiting for it without limit: the
    // body may still use this object, so it must not go away under it.
    ~COpcWorkerThread();

    COpcWorkerThread(const COpcWorkerThread&) = delete;
    COpcWorkerThread& operator=(const COpcWorkerThread&) = delete;

    virtual bool IsStopRequested() const noexcept { return m_stopRequested.load(); }

    // Starts the thread and waits up to startWaitMs until it has made its
    // message queue. False when no body is given, a thread is already running,
    // the thread cannot be made, or it did not come up within the wait (it then
    // keeps running and Stop() ends it as usual).
    bool Start(OpcThreadBody body, void* data, DWORD startWaitMs = INFINITE, int priority = THREAD_PRIORITY_NORMAL,
               OpcThreadRole role = OpcThreadRole::Worker);

    // Asks the thread to stop and waits up to waitMs for it to end, then
    // forgets it, ended or not; the worker is then idle and can be started again.
    // Called on the worker's own thread it only forgets the thread.
    void Stop(DWORD waitMs = INFINITE);

    // Posts a message to the thread's queue; false when no thread runs or the post fails.
    bool Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const noexcept;

    // Id of the thread, 0 when idle.
    DWORD ThreadId() const noexcept { return m_threadId.load(); }
    // True from Start() until the thread has ended.
    bool IsRunning() const noexcept;

private:
    struct Launch;
    static DWORD WINAPI ThreadMain(void* param) noexcept;
    void Reset() noexcept;

    std::atomic<DWORD> m_threadId;
    COpcHandle m_thread;
    // Manual reset: signalled once the thread has started, and again when it ends.
    COpcHandle m_event;
    std::atomic<bool> m_stopRequested;
    OpcThreadBody m_body;
    void* m_data;
};
