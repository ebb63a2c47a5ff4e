// The module object of the server process: its identity, the choice of run
// mode from the command line, the single-instance guard, the class objects,
// the main thread's message loop, and the service's status. Also the
// process-wide module lock count through which server objects build and tear
// down the server-wide objects, and the stop request.
#pragma once

#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcProgramPath.h"
#include "OpcString.h"
#include "OpcVersionInfo.h"

#include <windows.h>
#include <objbase.h>

class COpcDaCache;
class COpcDaDevice;
class COpcDaSettings;
class COpcDaUpdateScheduler;
class COpcDevlaneAPI;
class COpcServerObjects;
class COpcServerRegistry;

// One row of the class-object table; the table ends with a row whose name is null.
struct OpcClassEntry
{
    const CLSID* clsid;
    const wchar_t* name; // short name; ProgID is vendor + "." + name + "." + version
    const wchar_t* version;
    const wchar_t* description; // written as the class's description; empty: the ProgID
    // Creates one server object with a reference count of 1.
    HRESULT (*create)(const CLSID* clsid, IUnknown** object);
};

// One row of the category table; the table ends with a row whose class is null.
struct OpcCategoryEntry
{
    const CLSID* clsid;
    const GUID* catid;
    const wchar_t* description; // at most 127 characters reach the category manager
};

// What the command line asks for.
enum class OpcRunMode
{
    Run,
    RegisterLocalServer,
    RegisterService,
    Unregister
};

// Only a "/" introduces a switch; the first one counts, in any case. Anything
// else, "-regserver" included, runs the server.
OpcRunMode ParseRunMode(const wchar_t* commandLine);

class COpcServiceModule
{
public:
    COpcServiceModule(HINSTANCE instance, const wchar_t* vendor, const wchar_t* serviceName, const wchar_t* displayName,
                      const GUID& appId, const OpcClassEntry* classTable, const OpcCategoryEntry* categoryTable);
    virtual ~COpcServiceModule();
    COpcServiceModule(const COpcServiceModule&) = delete;
    COpcServiceModule& operator=(const COpcServiceModule&) = delete;

    // Reads the command line and runs the chosen mode. Returns the HRESULT of
    // a registration, 0 after unregistration or a normal run, -1 when the
    // service dispatcher could not be started, else the exit code in the status.
    virtual int Start(HINSTANCE instance, const wchar_t* commandLine);
    // Service control handler: only a stop is acted on.
    virtual void Handler(DWORD control);
    // The server's main loop: mutex, apartment, class objects, message loop.
    // S_OK after the loop ended; the failing step's code when start-up failed.
    virtual HRESULT Run();

    // The service main for the dispatcher: registers the handler, reports
    // start-pending, runs, reports stopped.
    void ServiceMain();

    // Ends the message loop with an exit code, except in a service that has
    // not been asked to stop.
    void PostQuit(DWORD exitCode);

    // Makes the calling thread the target of quit requests and gives it its
    // message queue. Run does this before any client can be served; tests use
    // it to stand in for the loop.
    void AttachMainThread();

    HINSTANCE Instance() const { return m_instance; }
    const COpcString& Vendor() const { return m_vendor; }
    const COpcString& ServiceName() const { return m_serviceName; }
    const COpcString& DisplayName() const { return m_displayName; }
    const GUID& AppId() const { return m_appId; }
    const OpcClassEntry* ClassTable() const { return m_classTable; }
    const OpcCategoryEntry* CategoryTable() const { return m_categoryTable; }
    DWORD MainThreadId() const { return m_mainThreadId; }
    DWORD ExitCode() const { return m_status.dwWin32ExitCode; }
    bool HasInstanceMutex() const { return m_instanceMutex.IsValid(); }

    // How long Run waits for the single-instance mutex.
    static constexpr DWORD InstanceWaitMs = 3000;

private:
    void SetServiceState(DWORD state);
    // "LocalService" of the AppID key: the process was started as a service.
    bool IsRegisteredAsService() const;

    HINSTANCE m_instance;
    COpcString m_vendor;
    COpcString m_serviceName;
    COpcString m_displayName;
    GUID m_appId;
    const OpcClassEntry* m_classTable;
    const OpcCategoryEntry* m_categoryTable;
    volatile DWORD m_mainThreadId = 0;
    // A stop that came before the message loop started: the loop is skipped.
    volatile bool m_stopBeforeLoop = false;
    SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
    SERVICE_STATUS m_status = {};
    COpcHandle m_instanceMutex;
};

// --- process-wide state ---------------------------------------------------------
// The running module (set by the entry point for the life of Start), or null.
COpcServiceModule* ServerModule();
void SetServerModule(COpcServiceModule* module);

// Module lock count. Every server object calls AddServerLock when it is built
// and ReleaseServerLock when it is destroyed, also when AddServerLock failed
// (the count is raised either way). The first lock builds the server-wide
// objects; the last tears them down and ends the message loop. After that
// the process is on its way out: a later AddServerLock fails with
// CO_E_SERVER_STOPPING instead of handing out objects that no longer exist.
HRESULT AddServerLock();
LONG ReleaseServerLock();
LONG ServerLockCount();

// Ends the message loop of the running module (see COpcServiceModule::PostQuit).
void PostQuit(DWORD exitCode);

// Run calls it once the loop has ended. Tears down server-wide objects whose
// last release came on another thread than the loop's, also while refused
// late locks are still counted; the objects never go on a thread they own (a
// watchdog that disconnects the last client would otherwise wait for itself
// and free the registry it is running in). With server objects still live it
// frees nothing but finishes the device library (COpcDevlaneAPI::Finish), so
// every way out of the process ends the library and flushes the error log.
void FinishServerObjects();

void RequestStop();
bool IsStopRequested();
bool IsServiceMode();
bool IsSimulationMode();

// The server-wide objects; null outside the time between the first lock and the last release.
COpcDaSettings* ServerSettings();
COpcDevlaneAPI* ServerDevlaneAPI();
COpcServerRegistry* ServerRegistry();
COpcDaDevice* ServerDevice();
COpcDaCache* ServerAddressSpace();
COpcDaUpdateScheduler* ServerUpdateScheduler();

// The program's version resource, read once.
const COpcVersionInfo& ServerVersionInfo();

// For tests: replaces how the server-wide objects are built (null restores
// the real build), and puts the process-wide state back to its start.
typedef HRESULT (*OpcServerObjectsBuilder)(COpcServerObjects& objects, bool simulation);
void SetServerObjectsBuilder(OpcServerObjectsBuilder builder);
void ResetServerState(bool serviceMode = false);
