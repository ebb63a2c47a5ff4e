// Loading a large tag configuration, and one full refresh pass over its items.
//
//   addrspace_load_bench.exe TAGFILE                 simulation: load, simulation pass, cache reads
//   addrspace_load_bench.exe TAGFILE live INIFILE    substitute runtime: load, polling pass, cache reads
//
// Make the files with tools/taggen.py, for example
//   tools/taggen.py --tags 100000 --out tags.xml
//   tools/taggen.py --tags 100000 --scan-cycles 600 --ini Devlane-bench.ini --out tags-live.xml
// (a long scan cycle keeps the pollers asleep while the pass is measured).
#include "DevlaneControl.h"
#include "OpcDaDeviceCache.h"
#include "OpcDevlaneAPI.h"
#include "OpcTaskMem.h"

#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>

namespace
{
double Now()
{
    LARGE_INTEGER f;
    LARGE_INTEGER c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / double(f.QuadPart);
}

void Memory(const char* when)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    std::printf("%-28s working set %7.1f MB (peak %7.1f MB), private %7.1f MB (peak %7.1f MB)\n", when,
                counters.WorkingSetSize / 1048576.0, counters.PeakWorkingSetSize / 1048576.0,
                counters.PagefileUsage / 1048576.0, counters.PeakPagefileUsage / 1048576.0);
}

void Report(const char* what, const double* seconds, int runs, size_t items)
{
    double best = seconds[0];
    double sum = 0;
    for (int i = 0; i < runs; ++i) {
        best = seconds[i] < best ? seconds[i] : best;
        sum += seconds[i];
    }
    std::printf("%-28s best %8.2f ms, mean %8.2f ms over %d runs (%zu items, %.0f ns per item)\n", what, best * 1e3,
                sum / runs * 1e3, runs, items, items ? best * 1e9 / items : 0.0);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || (argc >= 3 && (std::strcmp(argv[2], "live") != 0 || argc < 4))) {
        std::printf("usage: %s TAGFILE [live INIFILE]\n", argv[0]);
        return 2;
    }
    const bool live = argc >= 4;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int runs = 5;
    {
        COpcDaSettings settings;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        COpcDevlaneAPI api(settings, temp);
        COpcDaDevice device(settings, api);
        COpcDaDeviceCache cache(settings, api, device);
        if (live) {
            const COpcString ini = COpcString::FromAnsi(argv[3]);
            std::printf("runtime description: %ld warnings\n", static_cast<long>(DevlaneControlLoadDescription(ini.Text())));
            settings.simulationEnabled = false;
            for (uint32_t cycle : {0u, 1u, 2u, 5u, 10u, 20u, 50u, 100u, 300u, 600u})
                settings.AddScanCycle(cycle);
            api.Init();
            api.CreateThreadHandle(GetCurrentThreadId());
        } else {
            settings.simulationEnabled = true;
            settings.simulationInterval = 60000;   // one pass at the start, then asleep
            settings.simulationUnit = 100;
        }
        Memory("before loading");
        const double start = Now();
        const HRESULT hr = cache.LoadTagConfiguration(COpcString::FromAnsi(argv[1]));
        const double loaded = Now();
        std::printf("load %s: 0x%08lx in %.3f s, %zu items, %zu device caches, %zu in the address space\n",
                    live ? "with the substitute runtime" : "with simulation", static_cast<unsigned long>(hr),
                    loaded - start, device.ItemCount(), device.CacheCount(), cache.ItemCount());
        Memory("after loading");

        // Let the threads finish their first pass; they then sleep through the measurement.
        for (int waited = 0; waited < 600; ++waited) {
            bool done = live ? true : device.SimulationPasses() >= 1;
            for (size_t i = 0; live && i < device.CacheCount(); ++i)
                done = done && device.PollerAt(i)->Passes() >= 1;
            if (done)
                break;
            Sleep(100);
        }

        double seconds[runs];
        for (int r = 0; r < runs; ++r) {
            const double t0 = Now();
            if (live) {
                for (size_t i = 0; i < device.CacheCount(); ++i)
                    device.PollerAt(i)->PollPass(static_cast<uint64_t>(r));
            } else {
                device.SimulationPass(static_cast<uint64_t>(r + 1));
            }
            seconds[r] = Now() - t0;
        }
        Report(live ? "polling pass" : "simulation pass", seconds, runs, device.ItemCount());

        for (int r = 0; r < runs; ++r) {
            const double t0 = Now();
            for (size_t i = 0; i < device.ItemCount(); ++i) {
                COpcVariant value;
                FILETIME stamp;
                WORD quality;
                cache.ReadItem(device.ItemAt(i)->ItemId(), OPC_DA_READ_CACHE, LOCALE_USER_DEFAULT, VT_EMPTY, 0,
                               value.Get(), &stamp, &quality);
            }
            seconds[r] = Now() - t0;
        }
        Report("cache read of every item", seconds, runs, device.ItemCount());
        Memory("after the passes");

        const double stopStart = Now();
        cache.Uninitialize();
        std::printf("uninitialize: %.3f s\n", Now() - stopStart);
    }
    CoUninitialize();
    return 0;
}
