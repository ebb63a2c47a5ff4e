// Loading a large tag configuration, and one full refresh pass over its items.
//
//   addrspace_load_bench.exe TAGFILE                 simulation: load, simulation pass, cache reads
//   addrspace_load_bench.exe TAGFILE live INIFILE    substitute runtime: load, polling pass, cache reads
//   ... phases                                       the load's steps timed one by one
//
// Make the files with tools/taggen.py, for example
//   tools/taggen.py --tags 100000 --out tags.xml
//   tools/taggen.py --tags 100000 --scan-cycles 600 --ini Devlane-bench.ini --out tags-live.xml
// (a long scan cycle keeps the pollers asleep while the pass is measured).
// With the substitute runtime the polling pass is followed by the same reads
// made straight through the library and through the wrapper, which shows
// where a pass spends its time.
#include "BenchClock.h"
#include "DevlaneApi.h"
#include "DevlaneControl.h"
#include "OpcDaDataTypes.h"
#include "OpcDaDeviceCache.h"
#include "OpcDevlaneAPI.h"
#include "OpcTagDocument.h"
#include "OpcTaskMem.h"

#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>

namespace
{
using bench_clock::Now;
using bench_clock::ThreadCpu;

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
    for (int i = 0; i < runs; ++i)
    {
        best = seconds[i] < best ? seconds[i] : best;
        sum += seconds[i];
    }
    std::printf("%-28s best %8.2f ms, mean %8.2f ms over %d runs (%zu items, %.0f ns per item)\n", what, best * 1e3,
                sum / runs * 1e3, runs, items, items ? best * 1e9 / items : 0.0);
}

// The element count a refresh of the item reads (0: nothing is read).
short ReadCount(const COpcDaDeviceItem& item)
{
    if (item.TypeCode() == kOpcTypeString)
        return static_cast<short>(item.DataCount());
    return static_cast<short>(item.DataCount() > 1 ? item.DataCount() : 1);
}

// One pass of the library's own read functions over every polled item, with
// the narrow texts the wrapper would pass: what the library alone costs.
size_t LibraryPass(const COpcDaDevice& device, LINTOR_HANDLE handle)
{
    union
    {
        WORD words[1024];
        LONG longs[1024];
        double doubles[1024];
        char text[2048];
    } buffer;
    size_t failed = 0;
    for (size_t c = 0; c < device.CacheCount(); ++c)
    {
        const COpcDaDevicePoller* poller = device.PollerAt(c);
        for (size_t i = 0; i < poller->ItemCount(); ++i)
        {
            const COpcDaDeviceItem& item = *poller->ItemAt(i);
            const char* dev = item.DevicePath().NarrowText();
            const char* address = item.AccessPath().NarrowText();
            const short n = ReadCount(item);
            if (n == 0)
                continue;
            LONG code = 0;
            switch (item.TypeCode())
            {
            case kOpcTypeBit: code = ReadDeviceBitM(handle, dev, address, buffer.words, n); break;
            case kOpcTypeInt16:
            case kOpcTypeUInt16:
            case kOpcTypeHex16:
                code = ReadDevice16M(handle, dev, address, reinterpret_cast<short*>(buffer.words), n);
                break;
            case kOpcTypeBcd16:
                code = ReadDeviceBCD16M(handle, dev, address, reinterpret_cast<short*>(buffer.words), n);
                break;
            case kOpcTypeInt32:
            case kOpcTypeUInt32:
            case kOpcTypeHex32: code = ReadDevice32M(handle, dev, address, buffer.longs, n); break;
            case kOpcTypeBcd32: code = ReadDeviceBCD32M(handle, dev, address, buffer.longs, n); break;
            case kOpcTypeFloat:
                code = ReadDeviceFloatM(handle, dev, address, reinterpret_cast<float*>(buffer.longs), n);
                break;
            case kOpcTypeDouble: code = ReadDeviceDoubleM(handle, dev, address, buffer.doubles, n); break;
            case kOpcTypeString: code = ReadDeviceStrM(handle, dev, address, buffer.text, n); break;
            default: break;
            }
            failed += code != 0;
        }
    }
    return failed;
}

// The same pass through the wrapper: handle lookup, checks, error mapping.
size_t WrapperPass(const COpcDaDevice& device, COpcDevlaneAPI& api)
{
    union
    {
        LONG longs[1024];
        ULONG ulongs[1024];
        short shorts[1024];
        unsigned short ushorts[1024];
        float floats[1024];
        double doubles[1024];
        char text[2048];
    } buffer;
    size_t failed = 0;
    for (size_t c = 0; c < device.CacheCount(); ++c)
    {
        const COpcDaDevicePoller* poller = device.PollerAt(c);
        for (size_t i = 0; i < poller->ItemCount(); ++i)
        {
            const COpcDaDeviceItem& item = *poller->ItemAt(i);
            const COpcString& dev = item.DevicePath();
            const COpcString& address = item.AccessPath();
            const short n = ReadCount(item);
            if (n == 0)
                continue;
            HRESULT hr = S_OK;
            switch (item.TypeCode())
            {
            case kOpcTypeBit: hr = api.ReadDeviceBitM(dev, address, buffer.longs, n); break;
            case kOpcTypeInt16: hr = api.ReadDevice16M(dev, address, buffer.shorts, n); break;
            case kOpcTypeUInt16:
            case kOpcTypeHex16: hr = api.ReadDeviceU16M(dev, address, buffer.ushorts, n); break;
            case kOpcTypeBcd16: hr = api.ReadDeviceBCD16M(dev, address, buffer.shorts, n); break;
            case kOpcTypeInt32: hr = api.ReadDevice32M(dev, address, buffer.longs, n); break;
            case kOpcTypeUInt32:
            case kOpcTypeHex32: hr = api.ReadDeviceU32M(dev, address, buffer.ulongs, n); break;
            case kOpcTypeBcd32: hr = api.ReadDeviceBCD32M(dev, address, buffer.longs, n); break;
            case kOpcTypeFloat: hr = api.ReadDeviceFloatM(dev, address, buffer.floats, n); break;
            case kOpcTypeDouble: hr = api.ReadDeviceDoubleM(dev, address, buffer.doubles, n); break;
            case kOpcTypeString: hr = api.ReadDeviceStrM(dev, address, buffer.text, n); break;
            default: break;
            }
            failed += FAILED(hr);
        }
    }
    return failed;
}
} // namespace

int main(int argc, char** argv)
{
    const bool phases = argc >= 3 && std::strcmp(argv[argc - 1], "phases") == 0;
    if (phases)
        --argc;
    if (argc < 2 || (argc >= 3 && (std::strcmp(argv[2], "live") != 0 || argc < 4)))
    {
        std::printf("usage: %s TAGFILE [live INIFILE] [phases]\n", argv[0]);
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
        if (live)
        {
            const COpcString ini = COpcString::FromAnsi(argv[3]);
            std::printf("runtime description: %ld warnings\n",
                        static_cast<long>(DevlaneControlLoadDescription(ini.Text())));
            settings.simulationEnabled = false;
            for (uint32_t cycle : {0u, 1u, 2u, 5u, 10u, 20u, 50u, 100u, 300u, 600u})
                settings.AddScanCycle(cycle);
            api.Init();
            api.CreateThreadHandle(GetCurrentThreadId());
        }
        else
        {
            settings.simulationEnabled = true;
            settings.simulationInterval = 60000; // one pass at the start, then asleep
            settings.simulationUnit = 100;
        }
        Memory("before loading");
        {
            // Where a load spends its time: reading the file into the element
            // tree alone, measured apart and thrown away.
            const double parseStart = Now();
            COpcTagDocument document;
            const HRESULT parsed = document.Load(COpcString::FromAnsi(argv[1]));
            std::printf("parse alone: 0x%08lx in %.3f s, %zu elements, %.1f MB of tree\n",
                        static_cast<unsigned long>(parsed), Now() - parseStart, document.ElementCount(),
                        document.MemoryBytes() / 1048576.0);
        }
        Memory("after the parse alone");
        const double start = Now();
        HRESULT hr = S_OK;
        if (phases)
        {
            // The steps of LoadTagConfiguration one by one (without the project check), clock and CPU.
            double clock[5] = {start, 0, 0, 0, 0};
            double cpu[5] = {ThreadCpu(), 0, 0, 0, 0};
            COpcTagDocument document;
            hr = document.Load(COpcString::FromAnsi(argv[1]));
            clock[1] = Now();
            cpu[1] = ThreadCpu();
            device.ReadConfiguration(*document.Root());
            clock[2] = Now();
            cpu[2] = ThreadCpu();
            device.RegisterAll();
            clock[3] = Now();
            cpu[3] = ThreadCpu();
            Memory("before the threads start");
            device.StartPolling();
            clock[4] = Now();
            cpu[4] = ThreadCpu();
            const char* const names[] = {"parse", "items", "address space", "start"};
            std::printf("phases (clock / CPU of this thread):");
            for (int i = 0; i < 4; ++i)
                std::printf(" %s %.3f/%.3f s%s", names[i], clock[i + 1] - clock[i], cpu[i + 1] - cpu[i],
                            i < 3 ? "," : "\n");
        }
        else
        {
            hr = cache.LoadTagConfiguration(COpcString::FromAnsi(argv[1]));
        }
        const double loaded = Now();
        std::printf("load %s: 0x%08lx in %.3f s, %zu items, %zu device caches, %zu in the address space\n",
                    live ? "with the substitute runtime" : "with simulation", static_cast<unsigned long>(hr),
                    loaded - start, device.ItemCount(), device.CacheCount(), cache.ItemCount());
        Memory("after loading");

        // Let the threads finish their first pass; they then sleep through the measurement.
        for (int waited = 0; waited < 600; ++waited)
        {
            bool done = live ? true : device.SimulationPasses() >= 1;
            for (size_t i = 0; live && i < device.CacheCount(); ++i)
                done = done && device.PollerAt(i)->Passes() >= 1;
            if (done)
                break;
            Sleep(100);
        }

        double seconds[runs];
        for (int r = 0; r < runs; ++r)
        {
            const double t0 = Now();
            if (live)
            {
                for (size_t i = 0; i < device.CacheCount(); ++i)
                    device.PollerAt(i)->PollPass(static_cast<uint64_t>(r));
            }
            else
            {
                device.SimulationPass(static_cast<uint64_t>(r + 1));
            }
            seconds[r] = Now() - t0;
        }
        Report(live ? "polling pass" : "simulation pass", seconds, runs, device.ItemCount());

        if (live)
        {
            // Where a polling pass spends its time: the library alone, then the wrapper around it.
            const LINTOR_HANDLE handle = api.GetThreadHandle();
            size_t failed = 0;
            for (int r = 0; r < runs; ++r)
            {
                const double t0 = Now();
                failed = LibraryPass(device, handle);
                seconds[r] = Now() - t0;
            }
            Report("  library reads alone", seconds, runs, device.ItemCount());
            for (int r = 0; r < runs; ++r)
            {
                const double t0 = Now();
                failed += WrapperPass(device, api);
                seconds[r] = Now() - t0;
            }
            Report("  wrapper reads", seconds, runs, device.ItemCount());
            if (failed != 0)
                std::printf("  %zu reads failed\n", failed);
        }

        for (int r = 0; r < runs; ++r)
        {
            const double t0 = Now();
            for (size_t i = 0; i < device.ItemCount(); ++i)
            {
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
