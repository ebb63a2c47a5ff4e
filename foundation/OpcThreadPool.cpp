#include "OpcThreadPool.h"

#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcThreadRoles.h"

#include <new>

namespace
{
// The event idle workers wait on, one per run of the pool. Each waiting worker
// holds a reference, so Stop can drop the pool's reference at once and the
// handle still stays valid until the last waiter has woken. The count is only
// touched under the pool's lock.
struct WakeEvent
{
    COpcHandle handle;
    LONG references = 1;
    bool retired = false; // the pool stopped; its waiters were already uncounted

    void AddRef() noexcept { ++references; }
    void Release() noexcept
    {
        if (--references == 0)
            delete this;
    }
};
} // namespace

// The pool's state lives on the heap and is shared with the workers: a worker
// that is executing a job when the pool is stopped and destroyed (for example
// by the server object's teardown, or by the job itself) still needs the lock
// and the counts afterwards.
struct COpcThreadPool::Core
{
    volatile LONG references = 1;
    COpcLock lock;
    COpcComPtr<WakeEvent> wake; // null while the pool is stopped
    bool wakeSignalled = false; // mirrors the event, saves needless kernel calls
    COpcThreadJob* head = nullptr;
    COpcThreadJob* tail = nullptr;
    LONG threadCount = 0;
    LONG idleCount = 0;

    void AddRef() noexcept { InterlockedIncrement(&references); }
    void Release() noexcept
    {
        if (InterlockedDecrement(&references) == 0)
            delete this;
    }

    // Under the lock. Returns the queued jobs for destruction outside the lock:
    // destroying a job may release objects whose locks come before ours.
    COpcThreadJob* StopLocked() noexcept
    {
        COpcThreadJob* jobs = head;
        head = tail = nullptr;
        if (wake)
        {
            // Waiting workers end as soon as they wake; take them off the counts
            // now, so a restarted pool does not count on them.
            wake->retired = true;
            threadCount -= idleCount;
            idleCount = 0;
            SetEvent(wake->handle.Get());
            wake.Reset();
            wakeSignalled = false;
        }
        return jobs;
    }

    static void DestroyJobs(COpcThreadJob* job) noexcept
    {
        while (job != nullptr)
        {
            COpcThreadJob* next = job->m_nextJob;
            job->m_nextJob = nullptr;
            job->Destroy();
            job = next;
        }
    }

    void RunWorker() noexcept;
};

void COpcThreadPool::Core::RunWorker() noexcept
{
    COpcLockGuard guard(lock);
    for (;;)
    {
        if (!wake)
            break; // stopped while this worker was executing a job

        // With jobs waiting the event is signalled and the wait would return at
        // once; skipping it saves a kernel call per job.
        if (head == nullptr)
        {
            // Nothing waits: clear a stale signal now rather than wake on it.
            if (wakeSignalled)
            {
                ResetEvent(wake->handle.Get());
                wakeSignalled = false;
            }
            COpcComPtr<WakeEvent> event = wake;
            ++idleCount;
            guard.Release();
            DWORD waited = WaitForSingleObject(event->handle.Get(), INFINITE);
            guard.Reenter();

            bool retired = event->retired;
            event.Reset(); // under the lock, as the count wants
            if (retired)
                return; // Stop has already taken this worker off the counts
            --idleCount;
            if (waited != WAIT_OBJECT_0)
                break;

            if (head == nullptr)
            {
                ResetEvent(wake->handle.Get());
                wakeSignalled = false;
                if (idleCount >= IdleLimit)
                    break;
                continue;
            }
        }

        COpcThreadJob* job = head;
        head = job->m_nextJob;
        if (head == nullptr)
            tail = nullptr;
        job->m_nextJob = nullptr;

        guard.Release();
        job->Execute();
        job->Destroy();
        guard.Reenter();

        if (idleCount >= IdleLimit)
            break;
    }
    --threadCount;
}

COpcThreadPool::COpcThreadPool() noexcept : m_core(new (std::nothrow) Core) {}

COpcThreadPool::~COpcThreadPool()
{
    Stop();
}

bool COpcThreadPool::Start()
{
    if (!m_core)
        return false;
    COpcThreadJob* discarded = nullptr;
    bool started = false;
    {
        COpcLockGuard guard(m_core->lock);
        discarded = m_core->StopLocked();
        COpcComPtr<WakeEvent> wake(new (std::nothrow) WakeEvent);
        if (wake)
        {
            wake->handle.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (wake->handle)
            {
                m_core->wake = std::move(wake);
                started = true;
            }
        }
    }
    Core::DestroyJobs(discarded);
    return started;
}

bool COpcThreadPool::Submit(COpcThreadJob* job)
{
    if (job == nullptr || !m_core)
        return false;
    Core* core = m_core.Get();
    COpcLockGuard guard(core->lock);
    if (!core->wake)
        return false;

    // The worker is made before the job is queued, so a failure leaves the
    // queue as it was and the job with the caller.
    if (core->idleCount == 0 && core->threadCount < ThreadLimit)
    {
        // The worker's reference; never the last one on failure, the pool holds one.
        COpcComPtr<Core> reference = m_core;
        COpcHandle thread(CreateThread(nullptr, 0, WorkerMain, reference.Get(), 0, nullptr));
        if (!thread)
            return false;
        reference.Detach(); // now the worker's
        ++core->threadCount;
    }

    if (core->tail != nullptr)
        core->tail->m_nextJob = job;
    else
        core->head = job;
    core->tail = job;

    if (!core->wakeSignalled)
    {
        SetEvent(core->wake->handle.Get());
        core->wakeSignalled = true;
    }
    return true;
}

void COpcThreadPool::Stop()
{
    if (!m_core)
        return;
    COpcThreadJob* discarded = nullptr;
    {
        COpcLockGuard guard(m_core->lock);
        discarded = m_core->StopLocked();
    }
    Core::DestroyJobs(discarded);
}

bool COpcThreadPool::IsRunning() const
{
    if (!m_core)
        return false;
    COpcLockGuard guard(m_core->lock);
    return static_cast<bool>(m_core->wake);
}

LONG COpcThreadPool::ThreadCount() const
{
    if (!m_core)
        return 0;
    COpcLockGuard guard(m_core->lock);
    return m_core->threadCount;
}

LONG COpcThreadPool::IdleCount() const
{
    if (!m_core)
        return 0;
    COpcLockGuard guard(m_core->lock);
    return m_core->idleCount;
}

DWORD WINAPI COpcThreadPool::WorkerMain(void* param) noexcept
{
    COpcComPtr<Core> core(static_cast<Core*>(param)); // the reference Submit gave this worker
    NameCurrentThread(OpcThreadRole::CallbackPool);
    core->RunWorker();
    return 0;
}
