#include "OpcServerRegistry.h"

#include "OpcDaSettings.h"
#include "OpcDevlaneAPI.h"
#include "OpcThreadRoles.h"

#include <objbase.h>

COpcServerRegistry::COpcServerRegistry(const COpcDaSettings& settings, COpcDevlaneAPI& devlane)
    : m_settings(settings), m_devlane(devlane)
{
}

COpcServerRegistry::~COpcServerRegistry()
{
    StopWatchdog();
}

HRESULT COpcServerRegistry::AddServer(void* server, OpcShutdownNotifier notify, OpcServerHold hold, OpcServerDrop drop)
{
    if (server == nullptr || notify == nullptr || (hold == nullptr) != (drop == nullptr))
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    return m_servers.AddTail(Entry{server, notify, hold, drop}) != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT COpcServerRegistry::RemoveServer(void* server)
{
    COpcLockGuard guard(m_lock);
    for (auto* node = m_servers.GetHead(); node != nullptr; node = node->next)
    {
        if (node->value.server == server)
        {
            m_servers.RemoveAt(node);
            return S_OK;
        }
    }
    return S_FALSE;
}

size_t COpcServerRegistry::ServerCount()
{
    COpcLockGuard guard(m_lock);
    return m_servers.GetCount();
}

bool COpcServerRegistry::ShutdownClients()
{
    return NotifyFirst();
}

bool COpcServerRegistry::Notify(const Entry& entry)
{
    try
    {
        entry.notify(entry.server);
        return true;
    }
    catch (...)
    {
        // The notice is the server object's business; its failure must not
        // take the watchdog or the service control handler down with it.
        return false;
    }
}

bool COpcServerRegistry::NotifyFirst()
{
    Entry held{};
    {
        COpcLockGuard guard(m_lock);
        if (m_servers.IsEmpty())
            return false;
        const Entry& first = m_servers.GetHead()->value;
        // Without a way to hold the server, the lock keeps it from going away.
        if (first.hold == nullptr)
            return Notify(first);
        for (auto* node = m_servers.GetHead(); node != nullptr; node = node->next)
        {
            if (node->value.hold(node->value.server))
            {
                held = node->value;
                break;
            }
        }
        if (held.server == nullptr)
            return false;
    }
    bool told = Notify(held);
    held.drop(held.server);
    return told;
}

bool COpcServerRegistry::StartWatchdog()
{
    COpcLockGuard guard(m_lock);
    return m_watchdog.Start(WatchdogBody, this, INFINITE, THREAD_PRIORITY_NORMAL, OpcThreadRole::RuntimeWatchdog);
}

void COpcServerRegistry::StopWatchdog()
{
    // Not under the registry's lock: the watchdog may be waiting for it to
    // send a notice, and it must get it to be able to end.
    m_watchdog.Stop(INFINITE);
}

DWORD COpcServerRegistry::NextPauseMs(bool hasPrevious, double elapsedMs)
{
    if (!hasPrevious)
        return CycleMs;
    double overrun = elapsedMs - CycleMs;
    if (overrun <= 0.0)
        return CycleMs;
    if (overrun >= CycleMs)
        return 0;
    return static_cast<DWORD>(CycleMs - overrun);
}

void COpcServerRegistry::WatchdogBody(void* data, bool stopping)
{
    // The stopping call has nothing to release: the body waits on its own
    // message queue, which Stop() posts to.
    if (stopping || data == nullptr)
        return;
    static_cast<COpcServerRegistry*>(data)->Watch();
}

bool COpcServerRegistry::PauseUntilStop(DWORD ms)
{
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;)
    {
        // Drain the queue: the stop message (or anything else) only wakes us.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
        }
        if (m_watchdog.IsStopRequested())
            return true;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        // Slices of at most a second, as a bound on a missed wake-up.
        DWORD slice = static_cast<DWORD>(deadline - now < 1000 ? deadline - now : 1000);
        MsgWaitForMultipleObjectsEx(0, nullptr, slice, QS_ALLPOSTMESSAGE, MWMO_INPUTAVAILABLE);
    }
}

void COpcServerRegistry::Watch()
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    HRESULT apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    // One notice per life of this thread: once clients have been told, a
    // runtime that stays away must not make them be told again.
    bool noticeSent = false;
    bool hasStamp = false;
    LARGE_INTEGER stamp{};

    while (!m_watchdog.IsStopRequested())
    {
        if (!noticeSent && !m_settings.simulationEnabled && m_devlane.CheckServerFork() != S_OK)
        {
            // With no server yet, or a notice that failed, the next cycle tries again.
            noticeSent = NotifyFirst();
        }

        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        double elapsedMs = 0.0;
        if (hasStamp && frequency.QuadPart > 0)
            elapsedMs =
                static_cast<double>(now.QuadPart - stamp.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
        DWORD pause = NextPauseMs(hasStamp, elapsedMs);
        stamp = now;
        hasStamp = true;

        if (PauseUntilStop(pause))
            break;
    }

    if (SUCCEEDED(apartment))
        CoUninitialize();
}
