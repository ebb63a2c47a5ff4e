// What the server objects need from the process that hosts them: the module
// lock count, the stop request, the process-wide objects and the registry that
// tells servers to shut down. The host installs one implementation at start.
#pragma once

#include "OpcVersionInfo.h"

#include <windows.h>

class COpcDaCache;
class COpcDaSettings;
class COpcDaUpdateScheduler;
class COpcDevlaneAPI;
class COpcServerObject;

class IOpcServerHost
{
public:
    // Builds the process-wide objects on the first lock; fails object creation otherwise.
    virtual HRESULT AddServerLock() = 0;
    virtual void ReleaseServerLock() = 0;
    virtual void RequestStop() = 0;
    virtual COpcDaCache* AddressSpace() = 0;
    virtual COpcDaSettings* Settings() = 0;
    virtual COpcDevlaneAPI* DeviceAccess() = 0;
    virtual const COpcVersionInfo& VersionInfo() = 0;
    virtual void RegisterServer(COpcServerObject* server) = 0;
    virtual void UnregisterServer(COpcServerObject* server) = 0;
    // The process-wide update scheduler of the subscriptions; a host without
    // one leaves groups unscanned.
    virtual COpcDaUpdateScheduler* UpdateScheduler() { return nullptr; }

protected:
    ~IOpcServerHost() = default;
};

void OpcSetServerHost(IOpcServerHost* host);
IOpcServerHost* OpcGetServerHost();
