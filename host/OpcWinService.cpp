#include "OpcWinService.h"

#include "OpcHostIdentity.h"
#include "OpcString.h"

#include <winsvc.h>

namespace
{
// A service manager or service handle, closed once.
class COpcServiceHandle
{
public:
    explicit COpcServiceHandle(SC_HANDLE handle) : m_handle(handle) {}
    ~COpcServiceHandle()
    {
        if (m_handle != nullptr)
            CloseServiceHandle(m_handle);
    }
    COpcServiceHandle(const COpcServiceHandle&) = delete;
    COpcServiceHandle& operator=(const COpcServiceHandle&) = delete;
    SC_HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

// "RPCSS" and "Lintor", the service of the runtime the library talks to.
const wchar_t kDependencies[] = L"RPCSS\0Lintor\0";
} // namespace

bool InstallService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* binaryPath)
{
    if (serviceName == nullptr || binaryPath == nullptr)
        return false;
    COpcServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return false;

    // An existing service is someone's configuration: leave it as it is.
    {
        COpcServiceHandle existing(OpenServiceW(manager.Get(), serviceName, SERVICE_QUERY_CONFIG));
        if (existing)
            return true;
    }

    COpcServiceHandle service(CreateServiceW(manager.Get(), serviceName, displayName, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr,
                                             kDependencies, nullptr, nullptr));
    if (!service)
        return false;

    // Without the message library the description stays empty.
    COpcString description = MessageText(opc_host::kServiceDescriptionMessage);
    SERVICE_DESCRIPTIONW info = {};
    info.lpDescription = const_cast<wchar_t*>(description.TextOrEmpty());
    ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &info);
    return true;
}

void UninstallService(const wchar_t* serviceName)
{
    if (serviceName == nullptr)
        return;
    COpcServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return;
    COpcServiceHandle service(OpenServiceW(manager.Get(), serviceName, SERVICE_STOP | DELETE));
    if (!service)
        return;
    // Not waited for: the service is marked for deletion and goes once stopped.
    SERVICE_STATUS status = {};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    DeleteService(service.Get());
}
