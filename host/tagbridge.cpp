// tagbridge.exe: the OPC Data Access server process. The entry point builds
// the module with the server's identity and class and category tables, runs
// the mode the command line asks for, and returns its result as the exit code.
#include "OpcHostIdentity.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"
#include "OpcServerRegistry.h"
#include "OpcServiceModule.h"

#include <opcda.h>

#include <memory>
#include <new>

namespace
{
// What the server objects reach of the host, through the module's functions.
class COpcHostBinding final : public IOpcServerHost
{
public:
    HRESULT AddServerLock() override { return ::AddServerLock(); }
    void ReleaseServerLock() override { ::ReleaseServerLock(); }
    void RequestStop() override { ::RequestStop(); }
    COpcDaCache* AddressSpace() override { return ServerAddressSpace(); }
    COpcDaSettings* Settings() override { return ServerSettings(); }
    COpcDevlaneAPI* DeviceAccess() override { return ServerDevlaneAPI(); }
    COpcDaUpdateScheduler* UpdateScheduler() override { return ServerUpdateScheduler(); }
    const COpcVersionInfo& VersionInfo() override { return ServerVersionInfo(); }
    void RegisterServer(COpcServerObject* server) override
    {
        if (COpcServerRegistry* registry = ServerRegistry())
            registry->AddServer(server, Notify, Hold, Drop);
    }
    void UnregisterServer(COpcServerObject* server) override
    {
        if (COpcServerRegistry* registry = ServerRegistry())
            registry->RemoveServer(server);
    }

private:
    static void Notify(void* server) { static_cast<COpcServerObject*>(server)->NotifyShutdownAll(); }
    static bool Hold(void* server) { return static_cast<COpcServerObject*>(server)->TryAddRef(); }
    static void Drop(void* server) { static_cast<COpcServerObject*>(server)->Release(); }
};

COpcHostBinding g_binding;

const OpcClassEntry kClassTable[] = {{&opc_host::kServerClsid, opc_host::kServiceName, opc_host::kClassVersion,
                                      opc_host::kDisplayName, OpcCreateServerObject},
                                     {nullptr, nullptr, nullptr, nullptr, nullptr}};

const OpcCategoryEntry kCategoryTable[] = {
    {&opc_host::kServerClsid, &CATID_OPCDAServer20, L"OPC Data Access Servers Version 2.0"},
    {&opc_host::kServerClsid, &CATID_OPCDAServer30, L"OPC Data Access Servers Version 3.0"},
    {nullptr, nullptr, nullptr}};
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    OpcSetServerHost(&g_binding);
    std::unique_ptr<COpcServiceModule> module(
        new (std::nothrow) COpcServiceModule(instance, opc_host::kVendor, opc_host::kServiceName,
                                             opc_host::kDisplayName, opc_host::kAppId, kClassTable, kCategoryTable));
    if (!module)
        return static_cast<int>(E_OUTOFMEMORY);
    SetServerModule(module.get());
    // The command line is read again: the argument lacks the program path.
    int result = module->Start(instance, GetCommandLineW());
    SetServerModule(nullptr);
    return result;
}
