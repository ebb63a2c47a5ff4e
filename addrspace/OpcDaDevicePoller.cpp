#include "OpcDaDevicePoller.h"

#include "OpcDaDeviceItem.h"
#include "OpcDaSettings.h"
#include "OpcDeviceAccess.h"
#include "OpcDeviceCodes.h"
#include "OpcErrorLog.h"
#include "OpcThreadRoles.h"

#include <objbase.h>

DWORD OpcCycleWait(bool hasMark, double sinceDueMs, DWORD periodMs)
{
    if (!hasMark)
        return periodMs;
    const double wait = static_cast<double>(periodMs) - sinceDueMs;
    if (!(wait > 0))
        return 0;
    // A wake a little before its time still waits only until the next due time.
    return wait > 2.0 * periodMs ? 2 * periodMs : static_cast<DWORD>(wait);
}

// --- cycle timer -------------------------------------------------------------------------

COpcCycleTimer::COpcCycleTimer()
{
    QueryPerformanceFrequency(&m_frequency);
    m_due.QuadPart = 0;
}

DWORD COpcCycleTimer::NextWait(DWORD periodMs)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const LONGLONG period = m_frequency.QuadPart * static_cast<LONGLONG>(periodMs) / 1000;
    if (!m_hasMark || m_frequency.QuadPart <= 0)
    {
        m_hasMark = true;
        m_due.QuadPart = now.QuadPart + period;
        return periodMs;
    }
    const double sinceDue =
        static_cast<double>(now.QuadPart - m_due.QuadPart) * 1000.0 / static_cast<double>(m_frequency.QuadPart);
    const DWORD wait = OpcCycleWait(true, sinceDue, periodMs);
    if (sinceDue >= static_cast<double>(periodMs))
        m_due.QuadPart = now.QuadPart;
    else
        m_due.QuadPart += period;
    return wait;
}

void COpcCycleTimer::Sleep(const COpcWorkerThread& thread, DWORD waitMs, DWORD sliceMs)
{
    if (sliceMs == 0)
        sliceMs = SliceMs;
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    while (!thread.IsStopRequested())
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const double elapsed = frequency.QuadPart > 0
                                   ? static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart
                                   : static_cast<double>(waitMs);
        if (elapsed >= waitMs)
            return;
        double left = waitMs - elapsed;
        DWORD slice = left > sliceMs ? sliceMs : static_cast<DWORD>(left + 0.999);
        if (slice == 0)
            slice = 1;
        // The thread's queue wakes the wait: the stop message ends a sleep at once.
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_POSTMESSAGE) == WAIT_OBJECT_0)
        {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            {
            }
        }
    }
}

// --- poller ------------------------------------------------------------------------------

COpcDaDevicePoller::COpcDaDevicePoller(COpcDaSettings& settings, IOpcDeviceAccess& api, const COpcString& cacheName,
                                       DWORD scanPeriod)
    : m_settings(settings), m_api(api), m_cacheName(cacheName), m_scanPeriod(scanPeriod != 0 ? scanPeriod : 100)
{
}

COpcDaDevicePoller::~COpcDaDevicePoller()
{
    Stop();
}

bool COpcDaDevicePoller::AddItem(COpcDaDeviceItem* item)
{
    COpcLockGuard guard(m_lock);
    return item != nullptr && m_items.Append(item);
}

bool COpcDaDevicePoller::Start()
{
    return Launch() && WaitRunning();
}

bool COpcDaDevicePoller::Launch()
{
    if (m_worker.IsRunning())
        return false;
    COpcHandle running(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!running)
        return false;
    m_running = std::move(running);
    // Without a wait the worker reports a thread that is not up yet as not
    // started, though it was made and goes on; WaitRunning sees it come up.
    m_worker.Start(&COpcDaDevicePoller::Body, this, 0, THREAD_PRIORITY_NORMAL, OpcThreadRole::DevicePoller);
    return m_worker.IsRunning() || WaitForSingleObject(m_running.Get(), 0) == WAIT_OBJECT_0;
}

bool COpcDaDevicePoller::WaitRunning()
{
    if (!m_running)
        return false;
    if (WaitForSingleObject(m_running.Get(), 0) == WAIT_OBJECT_0)
        return true;
    // The thread signals first thing, so a thread that exists will signal;
    // without one there is nothing to wait for.
    if (!m_worker.IsRunning())
        return WaitForSingleObject(m_running.Get(), 0) == WAIT_OBJECT_0;
    return WaitForSingleObject(m_running.Get(), INFINITE) == WAIT_OBJECT_0;
}

void COpcDaDevicePoller::Stop()
{
    m_worker.Stop(INFINITE);
}

void COpcDaDevicePoller::Body(void* data, bool stopping)
{
    if (stopping || data == nullptr)
        return;
    auto* poller = static_cast<COpcDaDevicePoller*>(data);
    SetEvent(poller->m_running.Get());
    poller->Run();
}

void COpcDaDevicePoller::PollPass(uint64_t cycle)
{
    const DWORD low = static_cast<DWORD>(cycle);
    const DWORD high = static_cast<DWORD>(cycle >> 32);
    const size_t count = m_items.GetCount();
    for (size_t i = 0; i < count && !m_worker.IsStopRequested(); ++i)
        m_items[i]->Poll(low, high, m_scanPeriod);
}

void COpcDaDevicePoller::Run()
{
    const bool live = !m_settings.simulationEnabled;
    if (live)
        m_api.CreateThreadHandle(GetCurrentThreadId());
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    COpcCycleTimer timer;
    for (uint64_t cycle = 0; !m_worker.IsStopRequested(); ++cycle)
    {
        PollPass(cycle);
        ++m_passes;
        const DWORD wait = timer.NextWait(m_scanPeriod);
        m_waitedMs += wait;
        COpcCycleTimer::Sleep(m_worker, wait, m_sliceMs);
    }

    if (SUCCEEDED(com))
        CoUninitialize();
    if (live)
    {
        m_api.DestroyCache(m_cacheName);
        m_api.DeleteThreadHandle(GetCurrentThreadId());
    }
}
