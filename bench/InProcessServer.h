// What the in-process benchmarks need to run the server object without the
// program around it: a host over an address space of their own, and the
// process's memory figures.
#pragma once

#include "OpcDaCache.h"
#include "OpcDaSettings.h"
#include "OpcDaUpdateScheduler.h"
#include "OpcDevlaneAPI.h"
#include "OpcServerHost.h"
#include "OpcVersionInfo.h"

#include <windows.h>
#include <psapi.h>

namespace bench_inproc
{
struct SMemory
{
    double privateMb;
    double workingMb;
};

inline SMemory Memory()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return {counters.PagefileUsage / 1048576.0, counters.WorkingSetSize / 1048576.0};
}

class Host final : public IOpcServerHost
{
public:
    Host(COpcDaCache& cache, COpcDaSettings& settings, COpcDevlaneAPI& api, COpcDaUpdateScheduler& scheduler)
        : m_cache(cache), m_settings(settings), m_api(api), m_scheduler(scheduler)
    {
    }
    HRESULT AddServerLock() override { return S_OK; }
    void ReleaseServerLock() override {}
    void RequestStop() override {}
    COpcDaCache* AddressSpace() override { return &m_cache; }
    COpcDaSettings* Settings() override { return &m_settings; }
    COpcDevlaneAPI* DeviceAccess() override { return &m_api; }
    const COpcVersionInfo& VersionInfo() override { return m_version; }
    void RegisterServer(COpcServerObject*) override {}
    void UnregisterServer(COpcServerObject*) override {}
    COpcDaUpdateScheduler* UpdateScheduler() override { return &m_scheduler; }

private:
    COpcDaCache& m_cache;
    COpcDaSettings& m_settings;
    COpcDevlaneAPI& m_api;
    COpcDaUpdateScheduler& m_scheduler;
    COpcVersionInfo m_version;
};
} // namespace bench_inproc
