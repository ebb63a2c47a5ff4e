// COpcThreadPool: up to four worker threads that run queued jobs in arrival
// order. Workers start on demand and end again when they find nothing to do,
// so an idle pool keeps at most one thread.
#pragma once

#include "OpcTaskMem.h"

#include <windows.h>

// A unit of work. The pool owns a job from a successful Submit until it has
// executed and destroyed it, or destroyed it unexecuted at Stop.
class COpcThreadJob
{
public:
    // Frees the job. Called exactly once, after Execute or instead of it.
    virtual void Destroy() = 0;
    virtual void Execute() = 0;

protected:
    COpcThreadJob() noexcept : m_nextJob(nullptr) {}
    // Virtual so that a Destroy written as "delete this" is sound in any subclass.
    virtual ~COpcThreadJob() = default;

private:
    friend class COpcThreadPool;
    COpcThreadJob(const COpcThreadJob&) = delete;
    COpcThreadJob& operator=(const COpcThreadJob&) = delete;

    // Link of the pool's queue: a queued job costs no allocation.
    COpcThreadJob* m_nextJob;
};

class COpcThreadPool
{
public:
    static constexpr LONG ThreadLimit = 4; // no new worker at this many live threads
    static constexpr LONG IdleLimit = 1;   // a worker ends when this many others are idle

    COpcThreadPool() noexcept;
    // Stops the pool. Workers still running a job finish it on their own and
    // then end; they do not need this object any more.
    ~COpcThreadPool();

    COpcThreadPool(const COpcThreadPool&) = delete;
    COpcThreadPool& operator=(const COpcThreadPool&) = delete;

    // Makes the pool ready. A running pool is stopped first, so its queued
    // jobs are destroyed unexecuted. False when the wake event cannot be made.
    bool Start();
    // Queues a job and starts a worker where needed. False when the pool is
    // stopped or a needed worker cannot be started; the caller then still owns
    // the job and destroys it.
    bool Submit(COpcThreadJob* job);
    // Destroys the queued jobs without executing them and lets idle workers
    // end. Jobs already executing finish. Safe to call from inside a job.
    void Stop();

    bool IsRunning() const;
    // Live workers, and workers waiting for a job (for tests and diagnostics).
    LONG ThreadCount() const;
    LONG IdleCount() const;

private:
    struct Core;
    static DWORD WINAPI WorkerMain(void* param) noexcept;

    COpcComPtr<Core> m_core; // shared with the workers, each holding a reference
};
