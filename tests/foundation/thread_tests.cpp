#include "OpcLock.h"
#include "OpcThreadPool.h"
#include "OpcWorkerThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
const DWORD kLongWait = 10000; // only a broken implementation waits this long

COpcHandle NewEvent(bool manualReset = true)
{
    return COpcHandle(CreateEventW(nullptr, manualReset, FALSE, nullptr));
}

bool Signalled(const COpcHandle& handle, DWORD waitMs = kLongWait)
{
    return WaitForSingleObject(handle.Get(), waitMs) == WAIT_OBJECT_0;
}

COpcHandle OpenCurrentThread()
{
    return COpcHandle(OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()));
}

bool WaitForAll(const std::vector<HANDLE>& handles)
{
    return handles.empty() || WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE,
                                                     kLongWait) < WAIT_OBJECT_0 + handles.size();
}

// Whether another thread could take the lock right now.
bool FreeForOthers(COpcLock& lock)
{
    bool entered = false;
    std::thread(
        [&]
        {
            entered = lock.TryEnter();
            if (entered)
                lock.Leave();
        })
        .join();
    return entered;
}
} // namespace

// --- recursive lock ------------------------------------------------------------

TEST(OpcLock, OwnerReentersAndOthersWaitUntilTheLastLeave)
{
    COpcLock lock;
    {
        COpcLockGuard outer(lock);
        {
            COpcLockGuard inner(lock);
            EXPECT_EQ(GetCurrentThreadId(), lock.OwnerThread());
            EXPECT_EQ(2, lock.Depth());
        }
        EXPECT_EQ(1, lock.Depth());
        EXPECT_FALSE(FreeForOthers(lock));

        outer.Release();
        outer.Release(); // a second release must not leave again
        EXPECT_EQ(COpcLock::NoOwner, lock.OwnerThread());
        EXPECT_TRUE(FreeForOthers(lock));
        outer.Reenter();
        EXPECT_FALSE(FreeForOthers(lock));
    }
    EXPECT_EQ(COpcLock::NoOwner, lock.OwnerThread());
    EXPECT_EQ(0, lock.Depth());
    EXPECT_TRUE(FreeForOthers(lock));
}

TEST(OpcLock, LeaveWithoutHoldingTheLockIsIgnored)
{
    COpcLock lock;
    lock.Enter();
    std::thread([&] { lock.Leave(); }).join();
    EXPECT_FALSE(FreeForOthers(lock));
    lock.Leave();
    lock.Leave();
    EXPECT_TRUE(FreeForOthers(lock));
}

// Threads that outlast the spin and sleep on the lock: none is lost, none gets in beside another.
TEST(OpcLock, ContendedThreadsTakeTurns)
{
    COpcLock lock;
    LONG inside = 0;
    LONG overlaps = 0;
    long long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 20000; ++i)
                {
                    COpcLockGuard guard(lock);
                    if (InterlockedIncrement(&inside) != 1)
                        InterlockedIncrement(&overlaps);
                    ++counter;
                    if (i % 1000 == 0)
                        Sleep(1); // long enough for the others to go to sleep on the lock
                    InterlockedDecrement(&inside);
                }
            });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, overlaps);
    EXPECT_EQ(80000, counter);
    EXPECT_TRUE(FreeForOthers(lock));
}

// --- worker thread -------------------------------------------------------------

namespace
{
// A message-loop body: records what it receives until the stop message.
struct LoopProbe
{
    COpcHandle gotMessage = NewEvent(false);
    std::vector<WPARAM> received;
    bool sawStopMessage = false;
};

LONG g_stoppingCalls = 0;
DWORD g_stoppingThread = 0;

void MessageLoopBody(void* data, bool stopping)
{
    if (stopping)
    {
        EXPECT_EQ(nullptr, data);
        g_stoppingThread = GetCurrentThreadId();
        InterlockedIncrement(&g_stoppingCalls);
        return;
    }
    LoopProbe* probe = static_cast<LoopProbe*>(data);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (msg.message == COpcWorkerThread::StopMessage)
        {
            probe->sawStopMessage = true;
            return;
        }
        probe->received.push_back(msg.wParam);
        SetEvent(probe->gotMessage.Get());
    }
}

std::wstring ThreadDescription(DWORD threadId)
{
    typedef HRESULT(WINAPI * GetDescription)(HANDLE, PWSTR*);
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "GetThreadDescription");
    COpcHandle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId));
    PWSTR text = nullptr;
    if (proc == nullptr || !thread ||
        FAILED(reinterpret_cast<GetDescription>(reinterpret_cast<void*>(proc))(thread.Get(), &text)))
        return L"(none)";
    std::wstring name = text ? text : L"";
    LocalFree(text);
    return name;
}
} // namespace

TEST(OpcWorkerThread, StartHandshakeMessagesStopMessageAndRestart)
{
    COpcWorkerThread worker;
    EXPECT_FALSE(worker.Post(WM_USER)) << "idle worker";
    EXPECT_FALSE(worker.Start(nullptr, nullptr));
    worker.Stop(0); // idle: only resets

    for (WPARAM run = 0; run < 2; ++run)
    {
        g_stoppingCalls = 0;
        LoopProbe probe;
        ASSERT_TRUE(
            worker.Start(MessageLoopBody, &probe, kLongWait, THREAD_PRIORITY_NORMAL, OpcThreadRole::UpdateScheduler));
        EXPECT_TRUE(worker.IsRunning());
        // The queue exists once Start returns, so nothing posted now is lost.
        ASSERT_TRUE(worker.Post(WM_USER, run));
        ASSERT_TRUE(Signalled(probe.gotMessage));
        EXPECT_FALSE(worker.Start(MessageLoopBody, nullptr)) << "already running";
        std::wstring name = ThreadDescription(worker.ThreadId());
        if (name != L"(none)")
        {
            EXPECT_EQ(std::wstring(ThreadRoleName(OpcThreadRole::UpdateScheduler)), name);
        }

        worker.Stop(kLongWait);
        EXPECT_TRUE(probe.sawStopMessage);
        EXPECT_EQ(std::vector<WPARAM>{run}, probe.received);
        EXPECT_EQ(1, g_stoppingCalls);
        EXPECT_EQ(GetCurrentThreadId(), g_stoppingThread);
        EXPECT_EQ(0u, worker.ThreadId());
        EXPECT_FALSE(worker.IsStopRequested());
        EXPECT_FALSE(worker.Post(WM_USER));
    }
}

namespace
{
// A body blocked on an event, released only by the stopping call.
COpcHandle g_release;
LONG g_bodyFinished = 0;

void BlockedBody(void* data, bool stopping)
{
    if (stopping)
    {
        SetEvent(g_release.Get());
        return;
    }
    SetEvent(static_cast<COpcHandle*>(data)->Get());
    WaitForSingleObject(g_release.Get(), INFINITE);
    InterlockedExchange(&g_bodyFinished, 1);
}
} // namespace

TEST(OpcWorkerThread, StopFromAnotherThreadReleasesABlockedBodyAndWaitsForIt)
{
    g_release = NewEvent();
    g_bodyFinished = 0;
    COpcHandle waiting = NewEvent();
    COpcWorkerThread worker;
    ASSERT_TRUE(worker.Start(BlockedBody, &waiting, kLongWait));
    ASSERT_TRUE(Signalled(waiting));
    std::thread([&] { worker.Stop(kLongWait); }).join();
    EXPECT_EQ(1, g_bodyFinished);
    EXPECT_EQ(0u, worker.ThreadId());
}

namespace
{
// A body that ignores every stop request and ends only when its gate opens.
struct StubbornProbe
{
    COpcHandle started = NewEvent();
    COpcHandle gate = NewEvent();
    COpcHandle thread;
};

void StubbornBody(void* data, bool stopping)
{
    if (stopping)
        return;
    StubbornProbe* probe = static_cast<StubbornProbe*>(data);
    probe->thread = OpenCurrentThread();
    SetEvent(probe->started.Get());
    WaitForSingleObject(probe->gate.Get(), INFINITE);
}
} // namespace

TEST(OpcWorkerThread, StopWithoutWaitLetsGoOfAStubbornThreadWhichCannotHarmTheNextRun)
{
    StubbornProbe stubborn;
    COpcWorkerThread worker;
    ASSERT_TRUE(worker.Start(StubbornBody, &stubborn, kLongWait));
    ASSERT_TRUE(Signalled(stubborn.started));
    worker.Stop(0);
    EXPECT_EQ(0u, worker.ThreadId());
    EXPECT_FALSE(Signalled(stubborn.thread, 0)) << "still running, without our handle";
    EXPECT_TRUE(worker.IsStopRequested()) << "and still told to stop";

    // The old thread ends while the same object runs a new one.
    LoopProbe probe;
    ASSERT_TRUE(worker.Start(MessageLoopBody, &probe, kLongWait));
    SetEvent(stubborn.gate.Get());
    ASSERT_TRUE(Signalled(stubborn.thread));
    EXPECT_TRUE(worker.IsRunning());
    ASSERT_TRUE(worker.Post(WM_USER, 1));
    ASSERT_TRUE(Signalled(probe.gotMessage));
    worker.Stop(kLongWait);
    EXPECT_TRUE(probe.sawStopMessage);
}

// --- thread pool ---------------------------------------------------------------

namespace
{
struct PoolProbe
{
    std::mutex mutex;
    std::vector<int> order; // job indexes in the order they executed
    std::set<DWORD> threads;
    std::vector<HANDLE> threadHandles;
    LONG executed = 0;
    LONG destroyed = 0;
    LONG expected = 0; // executions that signal allDone
    COpcHandle allDone = NewEvent();

    ~PoolProbe()
    {
        for (HANDLE h : threadHandles)
            CloseHandle(h);
    }

    // Stops the pool and waits until every thread that ran a job has ended,
    // so no job uses this probe after the test.
    bool StopAndJoin(COpcThreadPool& pool)
    {
        pool.Stop();
        return WaitForAll(Threads());
    }

    std::vector<HANDLE> Threads()
    {
        std::lock_guard<std::mutex> hold(mutex);
        return threadHandles;
    }
};

class ProbeJob : public COpcThreadJob
{
public:
    ProbeJob(PoolProbe& probe, int index, HANDLE gate = nullptr, HANDLE started = nullptr)
        : m_probe(probe), m_index(index), m_gate(gate), m_started(started)
    {
    }

    void Execute() override
    {
        if (m_started != nullptr)
            SetEvent(m_started);
        if (m_gate != nullptr)
            WaitForSingleObject(m_gate, INFINITE);
        std::lock_guard<std::mutex> hold(m_probe.mutex);
        m_probe.order.push_back(m_index);
        if (m_probe.threads.insert(GetCurrentThreadId()).second)
            m_probe.threadHandles.push_back(OpenCurrentThread().Detach());
        if (++m_probe.executed == m_probe.expected)
            SetEvent(m_probe.allDone.Get());
    }

    void Destroy() override
    {
        InterlockedIncrement(&m_probe.destroyed);
        delete this;
    }

private:
    PoolProbe& m_probe;
    int m_index;
    HANDLE m_gate;
    HANDLE m_started;
};

// Occupies every worker with a job held at its own gate. Each blocker runs
// before the next is submitted, so no worker is idle at a submit and every
// blocker gets a worker of its own.
struct Blockers
{
    COpcHandle gates[COpcThreadPool::ThreadLimit];

    bool Occupy(COpcThreadPool& pool, PoolProbe& probe)
    {
        for (int i = 0; i < COpcThreadPool::ThreadLimit; ++i)
        {
            gates[i] = NewEvent();
            COpcHandle started = NewEvent();
            if (!pool.Submit(new ProbeJob(probe, -1 - i, gates[i].Get(), started.Get())) || !Signalled(started))
                return false;
        }
        return pool.ThreadCount() == COpcThreadPool::ThreadLimit;
    }

    void ReleaseAll()
    {
        for (COpcHandle& gate : gates)
            SetEvent(gate.Get());
    }
};
} // namespace

TEST(OpcThreadPool, AtMostFourWorkersJobsStartInArrivalOrderSurplusWorkersEnd)
{
    COpcThreadPool pool;
    PoolProbe probe;
    ASSERT_TRUE(pool.Start());
    Blockers blockers;
    ASSERT_TRUE(blockers.Occupy(pool, probe));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(pool.Submit(new ProbeJob(probe, i)));
    EXPECT_EQ(4, pool.ThreadCount()) << "all busy, yet no fifth worker";

    // One worker freed: it runs the whole queue, one job after the other.
    probe.expected = 1 + 10;
    SetEvent(blockers.gates[0].Get());
    ASSERT_TRUE(Signalled(probe.allDone));
    EXPECT_EQ((std::vector<int>{-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), probe.order);

    // Burst over: all workers but one idle one end.
    probe.expected = 4 + 10;
    ResetEvent(probe.allDone.Get());
    blockers.ReleaseAll();
    ASSERT_TRUE(Signalled(probe.allDone));
    {
        std::vector<HANDLE> live = probe.Threads();
        for (int ended = 0; ended < 3; ++ended)
        {
            DWORD r = WaitForMultipleObjects(static_cast<DWORD>(live.size()), live.data(), FALSE, kLongWait);
            ASSERT_LT(r, WAIT_OBJECT_0 + live.size());
            live.erase(live.begin() + (r - WAIT_OBJECT_0));
        }
    }
    EXPECT_EQ(1, pool.ThreadCount());
    EXPECT_EQ(1, pool.IdleCount());
    EXPECT_TRUE(probe.StopAndJoin(pool));
    EXPECT_EQ(0, pool.ThreadCount());
    EXPECT_EQ(14, probe.destroyed);
}

TEST(OpcThreadPool, TenJobsSubmittedAtOnceRunOnAtMostFourWorkers)
{
    COpcThreadPool pool;
    PoolProbe probe;
    ASSERT_TRUE(pool.Start());
    COpcHandle gate = NewEvent();
    probe.expected = 10;
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(pool.Submit(new ProbeJob(probe, i, gate.Get())));
    EXPECT_LE(pool.ThreadCount(), 4);
    SetEvent(gate.Get());
    ASSERT_TRUE(Signalled(probe.allDone));
    EXPECT_LE(probe.threads.size(), 4u);
    EXPECT_TRUE(probe.StopAndJoin(pool));
}

TEST(OpcThreadPool, StopDestroysQueuedJobsUnexecutedAndEveryWorkerEnds)
{
    COpcThreadPool pool;
    PoolProbe probe;
    ProbeJob* refused = new ProbeJob(probe, 99);
    EXPECT_FALSE(pool.Submit(refused)) << "never started";
    EXPECT_FALSE(pool.Submit(nullptr));

    ASSERT_TRUE(pool.Start());
    Blockers blockers;
    ASSERT_TRUE(blockers.Occupy(pool, probe));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(pool.Submit(new ProbeJob(probe, i)));

    pool.Stop();
    EXPECT_EQ(5, probe.destroyed);
    EXPECT_EQ(0, probe.executed);
    EXPECT_FALSE(pool.Submit(refused)) << "stopped";
    EXPECT_EQ(5, probe.destroyed) << "a refused job stays with the caller";
    refused->Destroy();

    // Running jobs finish, then their workers end.
    probe.expected = 4;
    blockers.ReleaseAll();
    ASSERT_TRUE(Signalled(probe.allDone));
    EXPECT_TRUE(probe.StopAndJoin(pool));
    EXPECT_EQ(0, pool.ThreadCount());
    EXPECT_EQ(4 + 5 + 1, probe.destroyed);
    EXPECT_EQ(4, probe.executed);

    // An idle worker waiting for a job ends at Stop as well.
    ASSERT_TRUE(pool.Start());
    PoolProbe idleProbe;
    idleProbe.expected = 1;
    ASSERT_TRUE(pool.Submit(new ProbeJob(idleProbe, 0)));
    ASSERT_TRUE(Signalled(idleProbe.allDone));
    EXPECT_TRUE(idleProbe.StopAndJoin(pool));
    EXPECT_EQ(0, pool.ThreadCount());
    EXPECT_EQ(0, pool.IdleCount());
}

TEST(OpcThreadPool, StartOnARunningPoolDiscardsItsQueueAndRunsNewJobs)
{
    COpcThreadPool pool;
    PoolProbe probe;
    ASSERT_TRUE(pool.Start());
    Blockers blockers;
    ASSERT_TRUE(blockers.Occupy(pool, probe));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(pool.Submit(new ProbeJob(probe, i)));

    ASSERT_TRUE(pool.Start());
    EXPECT_EQ(3, probe.destroyed);
    EXPECT_EQ(0, probe.executed);

    // The busy workers carry on into the new run and take its jobs.
    probe.expected = 4 + 1;
    ASSERT_TRUE(pool.Submit(new ProbeJob(probe, 100)));
    blockers.ReleaseAll();
    ASSERT_TRUE(Signalled(probe.allDone));
    EXPECT_EQ(1, std::count(probe.order.begin(), probe.order.end(), 100));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, std::count(probe.order.begin(), probe.order.end(), i));
    EXPECT_TRUE(probe.StopAndJoin(pool));
    EXPECT_EQ(3 + 5, probe.destroyed);
}

namespace
{
// Submits a follow-up job and destroys the pool it runs on, as a server
// object's last release may do from inside a callback job.
struct SelfDestroyProbe
{
    COpcThreadPool* pool = nullptr;
    COpcHandle thread;
    COpcHandle followUpDestroyed = NewEvent();
    bool submitted = false;
};

class FollowUpJob : public COpcThreadJob
{
public:
    explicit FollowUpJob(HANDLE destroyed) : m_destroyed(destroyed) {}
    void Execute() override {}
    void Destroy() override
    {
        SetEvent(m_destroyed);
        delete this;
    }

private:
    HANDLE m_destroyed;
};

class SelfDestroyingJob : public COpcThreadJob
{
public:
    explicit SelfDestroyingJob(SelfDestroyProbe& probe) : m_probe(probe) {}
    void Execute() override
    {
        m_probe.thread = OpenCurrentThread();
        FollowUpJob* next = new FollowUpJob(m_probe.followUpDestroyed.Get());
        m_probe.submitted = m_probe.pool->Submit(next); // no pool lock is held here
        delete m_probe.pool;
        if (!m_probe.submitted)
            next->Destroy();
    }
    void Destroy() override { delete this; }

private:
    SelfDestroyProbe& m_probe;
};
} // namespace

TEST(OpcThreadPool, PoolMayBeDestroyedWhileItsWorkersStillRunJobs)
{
    // From another thread, while the job waits at its gate.
    {
        COpcThreadPool* pool = new COpcThreadPool;
        PoolProbe probe;
        ASSERT_TRUE(pool->Start());
        COpcHandle gate = NewEvent();
        COpcHandle started = NewEvent();
        probe.expected = 1;
        ASSERT_TRUE(pool->Submit(new ProbeJob(probe, 0, gate.Get(), started.Get())));
        ASSERT_TRUE(Signalled(started));
        delete pool;
        SetEvent(gate.Get());
        ASSERT_TRUE(Signalled(probe.allDone));
        ASSERT_TRUE(WaitForAll(probe.Threads()));
        EXPECT_EQ(1, probe.destroyed);
    }
    // From inside the job itself.
    {
        SelfDestroyProbe probe;
        probe.pool = new COpcThreadPool;
        ASSERT_TRUE(probe.pool->Start());
        ASSERT_TRUE(probe.pool->Submit(new SelfDestroyingJob(probe)));
        ASSERT_TRUE(Signalled(probe.followUpDestroyed));
        ASSERT_TRUE(Signalled(probe.thread)) << "the worker got through without its pool";
        EXPECT_TRUE(probe.submitted);
    }
}
