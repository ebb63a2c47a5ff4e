// COpcServerRegistry: the list of live server objects, so that a service stop
// or the loss of the runtime becomes one orderly OPC shutdown, and the
// runtime watchdog that notices that loss.
#pragma once

#include "OpcContainers.h"
#include "OpcLock.h"
#include "OpcWorkerThread.h"

#include <windows.h>

class COpcDaSettings;
class COpcDevlaneAPI;

// Sends the shutdown notice for one server object: sets the stop request and
// tells the clients of every live server object (the server object's
// NotifyShutdownAll). It runs with the registry's lock held, on the watchdog
// thread or the service control dispatcher's thread, so it must not wait for
// a client to finish anything that destroys a server object: a client that
// releases its server from inside ShutdownRequest would then wait on
// RemoveServer, which waits on this call.
typedef void (*OpcShutdownNotifier)(void* server);
// Optional: takes a reference on a server that is not already being destroyed
// (false when it is), and gives it back. With them the notice runs without
// the registry's lock, so a client may create or release server objects from
// inside ShutdownRequest.
typedef bool (*OpcServerHold)(void* server);
typedef void (*OpcServerDrop)(void* server);

class COpcServerRegistry
{
public:
    // Period of the runtime check in milliseconds.
    static constexpr DWORD CycleMs = 300;

    // Both must outlive the registry; the watchdog reads the simulation
    // switch from the settings and asks the library through the wrapper.
    COpcServerRegistry(const COpcDaSettings& settings, COpcDevlaneAPI& devlane);
    // Stops the watchdog, waiting for it without limit.
    ~COpcServerRegistry();
    COpcServerRegistry(const COpcServerRegistry&) = delete;
    COpcServerRegistry& operator=(const COpcServerRegistry&) = delete;

    // Appends a server object with the function that notifies through it
    // (called when the object is built). The registry neither owns nor
    // reference-counts its entries: every object removes itself before it
    // goes away, and RemoveServer waits while a notice runs. E_INVALIDARG for
    // a null argument, E_OUTOFMEMORY when the list cannot grow.
    HRESULT AddServer(void* server, OpcShutdownNotifier notify, OpcServerHold hold = nullptr,
                      OpcServerDrop drop = nullptr);
    // Removes the first entry for the object; S_FALSE when there is none.
    HRESULT RemoveServer(void* server);
    size_t ServerCount();

    // Calls NotifyShutdownAll of the first server object; false when there is none.
    bool ShutdownClients();

    // Starts the watchdog thread (normal priority, waiting without limit for
    // it to come up); false when it could not start.
    bool StartWatchdog();
    // Stops it, waiting without limit for the thread to end. Called on the
    // watchdog thread itself it only lets go of the thread.
    void StopWatchdog();
    bool IsWatchdogRunning() const { return m_watchdog.IsRunning(); }

    // The pause before the next check: a cycle that overran its 300 ms
    // shortens the next one by as much, down to no pause at all.
    // elapsedMs is the time since the previous check's stamp; hasPrevious is
    // false on the first cycle.
    static DWORD NextPauseMs(bool hasPrevious, double elapsedMs);

private:
    static void WatchdogBody(void* data, bool stopping);
    void Watch();
    // Waits up to ms for the stop request; true when it came.
    bool PauseUntilStop(DWORD ms);

    COpcLock m_lock;
    const COpcDaSettings& m_settings;
    COpcDevlaneAPI& m_devlane;
    COpcWorkerThread m_watchdog;
    struct Entry
    {
        void* server;
        OpcShutdownNotifier notify;
        OpcServerHold hold;
        OpcServerDrop drop;
    };
    // Notifies through the first entry; false when there is none or the
    // notice failed. Takes m_lock itself; entries that can be held are
    // notified after it is released.
    bool NotifyFirst();
    static bool Notify(const Entry& entry);

    COpcList<Entry> m_servers;
};
