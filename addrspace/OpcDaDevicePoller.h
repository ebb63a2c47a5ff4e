// The threads that keep item values current: one polling thread per device
// cache, or with simulation on one simulation thread (in COpcDaDevice). Both
// follow the same timing: each cycle aims at one period measured from the
// previous sleep's start, time spent polling beyond a period is taken off the
// next sleep, and sleeps are cut into slices of at most a second so a stop
// request is seen within one slice.
#pragma once

#include "OpcGrowArray.h"
#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcString.h"
#include "OpcWorkerThread.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

class COpcDaDeviceItem;
class COpcDaSettings;
class IOpcDeviceAccess;

// The wait before a thread's next cycle on a fixed grid: sinceDueMs is the
// time since the cycle that just ran was due (ignored without a mark, i.e.
// after the first pass). The next cycle is due one period after it, so a long
// pass shortens only the wait that follows and the cycles keep their rate;
// an overdue cycle runs at once. (Measuring from the start of the last sleep
// instead lets the waits swing between short and long for good, and the
// average cycle grows by half the pass time.)
DWORD OpcCycleWait(bool hasMark, double sinceDueMs, DWORD periodMs);

// Paces a thread's cycles by the rule above.
class COpcCycleTimer
{
public:
    static constexpr DWORD SliceMs = 1000;

    COpcCycleTimer();
    // The wait for the pass that just ended; moves the due time on by a
    // period, or to now when the pass ended a whole period late (the grid
    // restarts rather than running a burst of passes to catch up).
    DWORD NextWait(DWORD periodMs);
    // Sleeps waitMs in slices of at most SliceMs, returning early once the
    // thread's stop is requested (its stop message also wakes it at once).
    static void Sleep(const COpcWorkerThread& thread, DWORD waitMs, DWORD sliceMs = SliceMs);

private:
    LARGE_INTEGER m_frequency;
    LARGE_INTEGER m_due; // when the pass that just ran was due
    bool m_hasMark = false;
};

class COpcDaDevicePoller
{
public:
    COpcDaDevicePoller(COpcDaSettings& settings, IOpcDeviceAccess& api, const COpcString& cacheName, DWORD scanPeriod);
    ~COpcDaDevicePoller();
    COpcDaDevicePoller(const COpcDaDevicePoller&) = delete;
    COpcDaDevicePoller& operator=(const COpcDaDevicePoller&) = delete;

    // Appends while the configuration is loaded, before the thread starts.
    bool AddItem(COpcDaDeviceItem* item);
    // Starts the polling thread, waiting until it runs; false when it cannot start.
    bool Start();
    // Start in two halves, so that many pollers can come up at once: Launch
    // makes the thread without waiting for it, WaitRunning then waits without
    // limit until it runs. Each is false when the thread could not be made.
    bool Launch();
    bool WaitRunning();
    // Asks the thread to stop and waits for its end. On its way out the thread
    // destroys its device cache, so a poller is not started again.
    void Stop();
    bool IsRunning() const { return m_worker.IsRunning(); }

    // One pass over the items, in registration order, until the stop is requested.
    void PollPass(uint64_t cycle);

    const COpcString& CacheName() const noexcept { return m_cacheName; }
    DWORD ScanPeriod() const noexcept { return m_scanPeriod; }
    size_t ItemCount() const noexcept { return m_items.GetCount(); }
    COpcDaDeviceItem* ItemAt(size_t index) const noexcept
    {
        return index < m_items.GetCount() ? m_items[index] : nullptr;
    }
    // Passes completed by the thread since it started, and the milliseconds
    // it chose to sleep after them in all.
    uint64_t Passes() const noexcept { return m_passes.load(); }
    uint64_t WaitedMs() const noexcept { return m_waitedMs.load(); }

private:
    static void Body(void* data, bool stopping);
    void Run();

    COpcDaSettings& m_settings;
    IOpcDeviceAccess& m_api;
    COpcLock m_lock;
    COpcString m_cacheName;
    DWORD m_scanPeriod = 100;
    COpcWorkerThread m_worker;
    // Set by the thread as it begins its work.
    COpcHandle m_running;
    // Filled before the thread starts and walked by it without the lock.
    COpcGrowArray<COpcDaDeviceItem*> m_items;
    DWORD m_sliceMs = COpcCycleTimer::SliceMs;
    std::atomic<uint64_t> m_passes{0};
    std::atomic<uint64_t> m_waitedMs{0};
};
