#include "OpcServiceModule.h"

#include "OpcApartment.h"
#include "OpcClassFactory.h"
#include "OpcDevlaneAPI.h"
#include "OpcRegistration.h"
#include "OpcServerObjects.h"
#include "OpcSimulationSwitch.h"

#include <atomic>
#include <memory>
#include <new>

namespace
{
// Everything the process shares across the module, the server objects and
// the service. The lock guards the count, the flags next to it and the
// server-wide objects, which are built and torn down while it is held.
struct COpcHostState
{
    COpcLock globalLock;
    std::atomic<COpcServiceModule*> module{nullptr};
    std::atomic<bool> serviceMode{false};
    std::atomic<bool> simulationMode{false};
    std::atomic<bool> stopRequested{false};
    LONG lockCount = 0;
    bool objectsCreated = false;
    bool objectsDestroyed = false;
    COpcServerObjects objects;
    OpcServerObjectsBuilder builder = nullptr;
};

// Never destroyed: at process exit other threads may still be finishing, and
// tearing the objects down from an exit handler could wait on them forever.
COpcHostState& State()
{
    static COpcHostState* state = new COpcHostState();
    return *state;
}

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The class objects registered with COM, revoked in table order by Revoke or
// when the scope ends.
class COpcClassObjects
{
public:
    COpcClassObjects() = default;
    ~COpcClassObjects() { Revoke(); }
    COpcClassObjects(const COpcClassObjects&) = delete;
    COpcClassObjects& operator=(const COpcClassObjects&) = delete;

    HRESULT Register(const OpcClassEntry* table)
    {
        size_t rows = 0;
        for (const OpcClassEntry* entry = table; entry != nullptr && entry->name != nullptr; ++entry)
            ++rows;
        if (rows == 0)
            return S_OK;
        m_cookies.reset(new (std::nothrow) DWORD[rows]);
        if (!m_cookies)
            return E_OUTOFMEMORY;
        for (const OpcClassEntry* entry = table; entry->name != nullptr; ++entry)
        {
            if (entry->clsid == nullptr)
                return E_INVALIDARG;
            COpcComPtr<IClassFactory> factory(COpcClassFactory::Create(entry));
            if (!factory)
                return E_OUTOFMEMORY;
            COpcComPtr<IUnknown> unknown = COpcComPtr<IUnknown>::QueryFrom(factory.Get(), IID_IUnknown);
            if (!unknown)
                return E_NOINTERFACE;
            DWORD cookie = 0;
            HRESULT hr = CoRegisterClassObject(*entry->clsid, unknown.Get(), CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                               REGCLS_MULTIPLEUSE, &cookie);
            if (FAILED(hr))
                return hr;
            m_cookies[m_count++] = cookie;
        }
        return S_OK;
    }

    // No activation reaches the factories after this.
    void Revoke()
    {
        for (size_t i = 0; i < m_count; ++i)
            CoRevokeClassObject(m_cookies[i]);
        m_count = 0;
    }

private:
    std::unique_ptr<DWORD[]> m_cookies;
    size_t m_count = 0;
};

void WINAPI ServiceMainEntry(DWORD, LPWSTR*)
{
    if (COpcServiceModule* module = ServerModule())
        module->ServiceMain();
}

void WINAPI ServiceHandlerEntry(DWORD control)
{
    if (COpcServiceModule* module = ServerModule())
        module->Handler(control);
}

COpcString ClassMutexName(const wchar_t* vendor, const wchar_t* serviceName, const OpcClassEntry* table)
{
    COpcString name = COpcString(vendor) + COpcString(L".");
    if (table != nullptr && table->name != nullptr)
        return name + COpcString(table->name) + COpcString(L".") + COpcString(table->version);
    return name + COpcString(serviceName);
}
} // namespace

// --- command line -----------------------------------------------------------------

OpcRunMode ParseRunMode(const wchar_t* commandLine)
{
    if (commandLine == nullptr)
        return OpcRunMode::Run;
    const wchar_t* slash = wcschr(commandLine, L'/');
    if (slash == nullptr)
        return OpcRunMode::Run;
    const wchar_t* start = slash + 1;
    while (*start != L'\0' && IsBlank(*start))
        ++start;
    const wchar_t* end = start;
    while (*end != L'\0' && !IsBlank(*end))
        ++end;
    COpcString word(start, static_cast<size_t>(end - start));
    if (word.IsEmpty())
        return OpcRunMode::Run;
    // Every upper-case letter lowered, then an exact comparison.
    const COpcString lower = word.ToLower();
    if (lower.Equals(L"regserver"))
        return OpcRunMode::RegisterLocalServer;
    if (lower.Equals(L"service"))
        return OpcRunMode::RegisterService;
    if (lower.Equals(L"unregserver"))
        return OpcRunMode::Unregister;
    return OpcRunMode::Run;
}

// --- module -------------------------------------------------------------------------

COpcServiceModule::COpcServiceModule(HINSTANCE instance, const wchar_t* vendor, const wchar_t* serviceName,
                                     const wchar_t* displayName, const GUID& appId, const OpcClassEntry* classTable,
                                     const OpcCategoryEntry* categoryTable)
    : m_instance(instance), m_vendor(vendor), m_serviceName(serviceName), m_displayName(displayName), m_appId(appId),
      m_classTable(classTable), m_categoryTable(categoryTable)
{
    // Open to everyone and inheritable, so that a service and a local server
    // started by any user see the same guard. Without it the server cannot run.
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, TRUE};
    if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
        attributes.lpSecurityDescriptor = &descriptor;
    COpcString mutexName = ClassMutexName(vendor, serviceName, classTable);
    m_instanceMutex.Reset(CreateMutexW(&attributes, FALSE, mutexName.Text()));
}

COpcServiceModule::~COpcServiceModule() = default;

bool COpcServiceModule::IsRegisteredAsService() const
{
    COpcString value;
    COpcString key = COpcString(L"AppID\\") + COpcString(m_appId);
    return ReadRegistryString(HKEY_CLASSES_ROOT, key.Text(), L"LocalService", value);
}

int COpcServiceModule::Start(HINSTANCE instance, const wchar_t* commandLine)
{
    if (instance != nullptr)
        m_instance = instance;
    switch (ParseRunMode(commandLine))
    {
    case OpcRunMode::RegisterLocalServer:
        return RegisterServer(m_instance, m_vendor.Text(), m_serviceName.Text(), m_displayName.Text(), m_appId, false,
                              m_classTable, m_categoryTable);
    case OpcRunMode::RegisterService:
        return RegisterServer(m_instance, m_vendor.Text(), m_serviceName.Text(), m_displayName.Text(), m_appId, true,
                              m_classTable, m_categoryTable);
    case OpcRunMode::Unregister:
        UnregisterServer(m_instance, m_vendor.Text(), m_serviceName.Text(), m_appId, m_classTable, m_categoryTable);
        return 0;
    case OpcRunMode::Run: break;
    }

    // Files named in the configuration without a folder are the program's:
    // COM and the service manager start the server in some other directory.
    COpcString directory = ProgramDirectory();
    if (!directory.IsEmpty())
        SetCurrentDirectoryW(directory.Text());

    if (IsRegisteredAsService())
    {
        State().serviceMode = true;
        m_status = {};
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        m_status.dwCurrentState = SERVICE_STOPPED;
        m_status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(m_serviceName.TextOrEmpty()), ServiceMainEntry},
                                        {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherW(table))
            return -1;
        return static_cast<int>(m_status.dwWin32ExitCode);
    }

    Run();
    return static_cast<int>(m_status.dwWin32ExitCode);
}

HRESULT COpcServiceModule::Run()
{
    COpcHostState& s = State();

    // Held from here until the process ends; a second server waits, then leaves.
    if (!m_instanceMutex)
        return E_HANDLE;
    if (WaitForSingleObject(m_instanceMutex.Get(), InstanceWaitMs) != WAIT_OBJECT_0)
        return HRESULT_FROM_WIN32(ERROR_TIMEOUT);

    COpcApartment apartment;
    if (FAILED(apartment.Result()))
        return apartment.Result();

    // The queue and the thread id exist before any client can be served: a
    // client that comes and goes before the loop starts still ends it.
    AttachMainThread();

    COpcClassObjects classObjects;
    HRESULT hr = classObjects.Register(m_classTable);
    if (FAILED(hr))
        return hr;

    s.simulationMode = ReadSimulationSwitch(ProgramDirectory());
    if (!s.simulationMode && EasyInit() != 0)
        return E_FAIL;

    bool serviceLock = false;
    if (s.serviceMode)
    {
        // The service keeps the server-wide objects for its whole life.
        hr = AddServerLock();
        serviceLock = true;
        if (FAILED(hr))
        {
            classObjects.Revoke();
            ReleaseServerLock();
            FinishServerObjects();
            return hr;
        }
    }

    MSG msg;
    if (!m_stopBeforeLoop)
    {
        SetServiceState(SERVICE_RUNNING);
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
    }

    // Revoked first: an activation that came during the teardown would find
    // the objects half gone.
    classObjects.Revoke();
    if (serviceLock)
        ReleaseServerLock();
    FinishServerObjects();
    return S_OK;
}

void COpcServiceModule::AttachMainThread()
{
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    m_mainThreadId = GetCurrentThreadId();
}

void COpcServiceModule::SetServiceState(DWORD state)
{
    m_status.dwCurrentState = state;
    if (m_statusHandle != nullptr)
        SetServiceStatus(m_statusHandle, &m_status);
}

void COpcServiceModule::ServiceMain()
{
    m_statusHandle = RegisterServiceCtrlHandlerW(m_serviceName.TextOrEmpty(), ServiceHandlerEntry);
    if (m_statusHandle == nullptr)
        return;
    SetServiceState(SERVICE_START_PENDING);
    m_status.dwWin32ExitCode = 0;
    m_status.dwCheckPoint = 0;
    m_status.dwWaitHint = 0;
    Run();
    SetServiceState(SERVICE_STOPPED);
}

void COpcServiceModule::Handler(DWORD control)
{
    if (control != SERVICE_CONTROL_STOP)
        return;
    SetServiceState(SERVICE_STOP_PENDING);

    // A lock of the handler's own keeps the registry alive while it is asked,
    // without holding the global lock across calls into clients (a client
    // that connects again from inside ShutdownRequest must not wait for us).
    COpcHostState& s = State();
    bool pinned = false;
    {
        COpcLockGuard guard(s.globalLock);
        if (s.objectsCreated && !s.objectsDestroyed && s.objects.Registry() != nullptr)
        {
            ++s.lockCount;
            pinned = true;
        }
    }
    if (pinned)
    {
        // With server objects the clients are told, and the loop ends once
        // they have let go (ReleaseServerLock); without, the loop ends now.
        const bool told = s.objects.Registry()->ShutdownClients();
        ReleaseServerLock();
        if (told)
            return;
    }
    // A stop that comes while Run is still starting must not be lost.
    m_stopBeforeLoop = true;
    if (m_mainThreadId != 0)
        PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
}

void COpcServiceModule::PostQuit(DWORD exitCode)
{
    // A service ends only when it is stopped.
    if (IsServiceMode() && !IsStopRequested())
        return;
    m_status.dwWin32ExitCode = exitCode;
    if (m_mainThreadId != 0)
        PostThreadMessageW(m_mainThreadId, WM_QUIT, 0, 0);
}

// --- process-wide state ---------------------------------------------------------------

COpcServiceModule* ServerModule()
{
    return State().module.load();
}

void SetServerModule(COpcServiceModule* module)
{
    State().module = module;
}

HRESULT AddServerLock()
{
    COpcHostState& s = State();
    COpcLockGuard guard(s.globalLock);
    ++s.lockCount;
    // Once torn down the objects are not built again: the process is ending,
    // and a server object created now would find nothing to work with.
    if (s.objectsDestroyed)
        return CO_E_SERVER_STOPPING;
    // Built on the first lock that finds them missing, also when an earlier
    // attempt failed while its caller still holds its (failed) lock.
    if (s.objectsCreated)
        return S_OK;
    const bool simulation = ReadSimulationSwitch(ProgramDirectory());
    HRESULT hr = s.builder != nullptr ? s.builder(s.objects, simulation) : s.objects.Build(simulation);
    if (FAILED(hr))
    {
        s.objects.TearDown();
        return hr;
    }
    s.objectsCreated = true;
    return S_OK;
}

LONG ReleaseServerLock()
{
    COpcHostState& s = State();
    COpcLockGuard guard(s.globalLock);
    const LONG old = s.lockCount--;
    if (old == 2)
    {
        // After a stop request the service's own lock is the only one left.
        const bool quit = s.serviceMode && s.stopRequested;
        guard.Release();
        if (quit)
            PostQuit(0);
        return 0;
    }
    if (old == 1)
    {
        if (!s.objectsDestroyed)
        {
            COpcServiceModule* module = s.module.load();
            const DWORD loopThread = module != nullptr ? module->MainThreadId() : 0;
            // Another thread than the loop's leaves it to the loop's thread
            // once the loop has ended (FinishServerObjects).
            if (loopThread == 0 || loopThread == GetCurrentThreadId())
                s.objects.TearDown();
            s.objectsDestroyed = true;
        }
        guard.Release();
        PostQuit(0);
        return 0;
    }
    return 0;
}

LONG ServerLockCount()
{
    COpcHostState& s = State();
    COpcLockGuard guard(s.globalLock);
    return s.lockCount;
}

void PostQuit(DWORD exitCode)
{
    if (COpcServiceModule* module = ServerModule())
        module->PostQuit(exitCode);
}

void FinishServerObjects()
{
    COpcHostState& s = State();
    COpcLockGuard guard(s.globalLock);
    if (s.objectsDestroyed)
    {
        // Locks taken since then were refused (CO_E_SERVER_STOPPING), and
        // their server objects never touch these, so a count above zero does
        // not keep them.
        s.objects.TearDown();
        return;
    }
    // Server objects still live (a client that came while the loop ended, a
    // stop whose notice reached nobody): what they use stays, but the library
    // hears of the end and the error log gets its last flush.
    if (COpcDevlaneAPI* devlane = s.objects.Devlane())
        devlane->Finish();
}

void RequestStop()
{
    State().stopRequested = true;
}

bool IsStopRequested()
{
    return State().stopRequested;
}

bool IsServiceMode()
{
    return State().serviceMode;
}

bool IsSimulationMode()
{
    return State().simulationMode;
}

COpcDaSettings* ServerSettings()
{
    return State().objects.Settings();
}

COpcDevlaneAPI* ServerDevlaneAPI()
{
    return State().objects.Devlane();
}

COpcServerRegistry* ServerRegistry()
{
    return State().objects.Registry();
}

COpcDaDevice* ServerDevice()
{
    return State().objects.Device();
}

COpcDaCache* ServerAddressSpace()
{
    return State().objects.AddressSpace();
}

COpcDaUpdateScheduler* ServerUpdateScheduler()
{
    return State().objects.UpdateScheduler();
}

const COpcVersionInfo& ServerVersionInfo()
{
    static const COpcVersionInfo info = ReadVersionInfo(nullptr);
    return info;
}

void SetServerObjectsBuilder(OpcServerObjectsBuilder builder)
{
    COpcHostState& s = State();
    COpcLockGuard guard(s.globalLock);
    s.builder = builder;
}

void ResetServerState(bool serviceMode)
{
    COpcHostState& s = State();
    COpcLockGuard guard(s.globalLock);
    s.objects.TearDown();
    s.lockCount = 0;
    s.objectsCreated = false;
    s.objectsDestroyed = false;
    s.serviceMode = serviceMode;
    s.simulationMode = false;
    s.stopRequested = false;
}
