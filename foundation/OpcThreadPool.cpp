#include "OpcThreadPool.h"

#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcThreadRoles.h"

#include <new>

namespace
{
// The event idle workers wait on, one per run of the pool. Each waiting worker
// holds a reference, so Stop can drop the pool's reference at once and the
// handle still stays valid until the last waiter has woken.
struct WakeEvent
{
    COpcHandle handle;
    LONG references = 1;
    bool retired = false;   // the pool stopped; its waiters were already uncounted
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
    WakeEvent* wake = nullptr;      // null while the pool is stopped
    bool wakeSignalled = false;     // mirrors the event, saves needless kernel calls
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

    static void ReleaseWake(WakeEvent* wake) noexcept
    {
        if (--wake->references == 0)
            delete wake;
    }

    // Under the lock. Returns the queued jobs for destruction outside the lock:
    // destroying a job may release objects whose locks come before ours.
    COpcThreadJob* StopLocked() noexcept
    {
        COpcThreadJob* jobs = head;
        head = tail = nullptr;
        if (wake != nullptr)
        {
            // Waiting workers end as soon as they wake; take them off the counts
            // now, so a restarted pool does not count on them.
            wake->retired = true;
            threadCount -= idleCount;
            idleCount = 0;
            SetEvent(wake->handle.Get());
            ReleaseWake(wake);
            wake = nullptr;
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
        if (wake == nullptr)
            break;   // stopped while this worker was executing a job

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
            WakeEvent* event = wake;
            ++event->references;
            ++idleCount;
            guard.Release();
            DWORD waited = WaitForSingleObject(event->handle.Get(), INFINITE);
            guard.Reenter();

            bool retired = event->retired;
            ReleaseWake(event);
            if (retired)
                return;   // Stop has already taken this worker off the counts
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

COpcThreadPool::COpcThreadPool() noexcept : m_core(new (std::nothrow) Core)
{
}

COpcThreadPool::~COpcThreadPool()
{
    if (m_core == nullptr)
        return;
    Stop();
    m_core->Release();
}

bool COpcThreadPool::Start()
{
    if (m_core == nullptr)
        return false;
    COpcThreadJob* discarded = nullptr;
    bool started = false;
    {
        COpcLockGuard guard(m_core->lock);
        discarded = m_core->StopLocked();
        WakeEvent* wake = new (std::nothrow) WakeEvent;
        if (wake != nullptr)
        {
            wake->handle.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (wake->handle)
            {
                m_core->wake = wake;
                started = true;
            }
            else
            {
                delete wake;
            }
        }
    }
    Core::DestroyJobs(discarded);
    return started;
}

bool COpcThreadPool::Submit(COpcThreadJob* job)
{
    if (job == nullptr || m_core == nullptr)
        return false;
    Core* core = m_core;
    COpcLockGuard guard(core->lock);
    if (core->wake == nullptr)
        return false;

    // The worker is made before the job is queued, so a failure leaves the
    // queue as it was and the job with the caller.
    if (core->idleCount == 0 && core->threadCount < ThreadLimit)
    {
        core->AddRef();
        COpcHandle thread(CreateThread(nullptr, 0, WorkerMain, core, 0, nullptr));
        if (!thread)
        {
            core->Release();   // never the last reference: the pool holds one
            return false;
        }
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
    if (m_core == nullptr)
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
    if (m_core == nullptr)
        return false;
    COpcLockGuard guard(m_core->lock);
    return m_core->wake != nullptr;
}

LONG COpcThreadPool::ThreadCount() const
{
    if (m_core == nullptr)
        return 0;
    COpcLockGuard guard(m_core->lock);
    return m_core->threadCount;
}

LONG COpcThreadPool::IdleCount() const
{
    if (m_core == nullptr)
        return 0;
    COpcLockGuard guard(m_core->lock);
    return m_core->idleCount;
}

DWORD WINAPI COpcThreadPool::WorkerMain(void* param) noexcept
{
    Core* core = static_cast<Core*>(param);
    NameCurrentThread(OpcThreadRole::CallbackPool);
    core->RunWorker();
    core->Release();
    return 0;
}
