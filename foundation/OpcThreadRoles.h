// Every kind of thread that runs in the server process, in one place, so a
// debugger or a thread list shows what each thread is for.
#pragma once

#include <windows.h>

enum class OpcThreadRole
{
    Worker,            // a worker thread started without a role of its own
    Main,              // runs the module's message loop (also inside the service main)
    ComRpc,            // carries client calls; created by COM, never by the server
    ServiceDispatcher, // the service control dispatcher's own thread
    RuntimeWatchdog,   // checks that the runtime is still there
    ErrorLogWriter,    // rewrites the error log file
    DevicePoller,      // one per device cache: keeps item values current
    Simulation,        // replaces the device pollers in simulation mode
    UpdateScheduler,   // process-wide: scans subscribed groups each base cycle
    RequestWorker,     // per server object: runs synchronous reads and writes in order
    AsyncWrite,        // per server object: runs asynchronous writes in order
    CallbackPool,      // per server object: up to four threads delivering callbacks
    Count
};

inline const wchar_t* ThreadRoleName(OpcThreadRole role) noexcept
{
    switch (role)
    {
    case OpcThreadRole::Worker: return L"Worker";
    case OpcThreadRole::Main: return L"Main";
    case OpcThreadRole::ComRpc: return L"COM RPC";
    case OpcThreadRole::ServiceDispatcher: return L"Service dispatcher";
    case OpcThreadRole::RuntimeWatchdog: return L"Runtime watchdog";
    case OpcThreadRole::ErrorLogWriter: return L"Error log writer";
    case OpcThreadRole::DevicePoller: return L"Device poller";
    case OpcThreadRole::Simulation: return L"Simulation";
    case OpcThreadRole::UpdateScheduler: return L"Update scheduler";
    case OpcThreadRole::RequestWorker: return L"Request worker";
    case OpcThreadRole::AsyncWrite: return L"Asynchronous write";
    case OpcThreadRole::CallbackPool: return L"Callback pool";
    case OpcThreadRole::Count: break;
    }
    return L"Unknown";
}

// Gives the calling thread its role's name where the system supports thread
// descriptions; does nothing otherwise. Defined with the worker thread.
void NameCurrentThread(OpcThreadRole role) noexcept;
