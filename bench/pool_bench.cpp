// Job throughput of the thread pool: how many trivial jobs per second pass
// from Submit through a worker, and how long one job takes there and back.
#include "OpcHandle.h"
#include "OpcThreadPool.h"

#include <windows.h>

#include <cstdio>
#include <memory>

namespace
{
double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(to.QuadPart - from.QuadPart) / double(f.QuadPart);
}

volatile LONG g_executed = 0;
LONG g_target = 0;
HANDLE g_finished = nullptr;

void CountOne()
{
    if (InterlockedIncrement(&g_executed) == g_target)
        SetEvent(g_finished);
}

// Storage owned by the benchmark, so only the pool's own cost is measured.
class StaticJob final : public COpcThreadJob
{
public:
    void Execute() override { CountOne(); }
    void Destroy() override {}
};

// Allocated per submit and freed by Destroy, as the server's transactions are.
class HeapJob final : public COpcThreadJob
{
public:
    void Execute() override { CountOne(); }
    void Destroy() override { delete this; }
};

// Submits `count` jobs made by `make` and waits until all have executed.
template <typename Make>
bool RunBurst(COpcThreadPool& pool, LONG count, Make make, double& seconds, double& submitSeconds)
{
    g_executed = 0;
    g_target = count;
    LARGE_INTEGER t0, t1, t2;
    QueryPerformanceCounter(&t0);
    for (LONG i = 0; i < count; ++i)
    {
        COpcThreadJob* job = make(i);
        if (!pool.Submit(job))
        {
            std::printf("submit %ld failed\n", static_cast<long>(i));
            return false;
        }
    }
    QueryPerformanceCounter(&t1);
    if (WaitForSingleObject(g_finished, 60000) != WAIT_OBJECT_0)
    {
        std::printf("jobs did not finish\n");
        return false;
    }
    QueryPerformanceCounter(&t2);
    seconds = Seconds(t0, t2);
    submitSeconds = Seconds(t0, t1);
    return true;
}
} // namespace

int main()
{
    const LONG jobs = 200000;
    const LONG roundTrips = 2000;

    COpcHandle finished(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    g_finished = finished.Get();
    COpcThreadPool pool;
    if (!finished || !pool.Start())
    {
        std::printf("pool did not start\n");
        return 1;
    }

    std::unique_ptr<StaticJob[]> storage(new StaticJob[jobs]);
    double seconds = 0, submitSeconds = 0;
    if (!RunBurst(
            pool, jobs, [&](LONG i) { return &storage[i]; }, seconds, submitSeconds))
        return 1;
    std::printf("pool, %ld preallocated jobs: %.0f jobs/s (submitting alone %.0f jobs/s)\n", static_cast<long>(jobs),
                jobs / seconds, jobs / submitSeconds);

    if (!RunBurst(
            pool, jobs, [](LONG) { return new HeapJob; }, seconds, submitSeconds))
        return 1;
    std::printf("pool, %ld allocated jobs:    %.0f jobs/s (submitting alone %.0f jobs/s)\n", static_cast<long>(jobs),
                jobs / seconds, jobs / submitSeconds);

    // One job at a time: the wake-up cost of an idle worker.
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    for (LONG i = 0; i < roundTrips; ++i)
    {
        if (!RunBurst(
                pool, 1, [&](LONG) { return &storage[0]; }, seconds, submitSeconds))
            return 1;
    }
    QueryPerformanceCounter(&t1);
    std::printf("pool, one job at a time:  %.1f us per job (%ld round trips)\n", Seconds(t0, t1) * 1e6 / roundTrips,
                static_cast<long>(roundTrips));

    pool.Stop();
    return 0;
}
