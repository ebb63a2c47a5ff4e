// Clients coming and going, in process: the soak's client life (server
// object, group, three items, sink, sync read and write, asynchronous read,
// write and refresh, then tidy or just let go) against the server object
// with no COM transport in between, on the substitute runtime. Prints the
// process's committed private memory as the cycles go. Set beside the
// out-of-process soak, it tells growth of the server's own code from growth
// in the transport.
//
//   churn_bench.exe TAGFILE INIFILE [CYCLES]       default 7,500 cycles
//
// Run from build/bin with the soak's files, for example
//   scripts/wine-run.sh churn_bench.exe 'host-soak\Tags.xml' 'host-soak\Devlane.ini'
#include "BenchClock.h"
#include "DevlaneControl.h"
#include "InProcessServer.h"
#include "OpcApartment.h"
#include "OpcDaCacheItem.h"
#include "OpcDaDeviceCache.h"
#include "OpcServerObject.h"
#include "OpcTaskMem.h"

#include <opcda.h>
#include <olectl.h>

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace
{
using bench_inproc::Host;
using bench_inproc::Memory;

// Counts the completions by kind; its owner waits on the event for a count.
class CompletionSink final : public IOPCDataCallback
{
public:
    CompletionSink() : m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~CompletionSink() { CloseHandle(m_changed); }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IOPCDataCallback))
            return E_NOINTERFACE;
        *out = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_refs; }
    STDMETHODIMP OnDataChange(DWORD tid, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override
    {
        return Count(tid != 0 ? m_refreshes : m_reports);
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        return Count(m_reads);
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override
    {
        return Count(m_writes);
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    // Waits (30 s at most) until each asynchronous call of the cycle was answered.
    bool WaitForCompletions(LONG cycle)
    {
        const ULONGLONG end = GetTickCount64() + 30000;
        while (m_reads.load() < cycle || m_writes.load() < cycle || m_refreshes.load() < cycle)
        {
            const ULONGLONG now = GetTickCount64();
            if (now >= end)
                return false;
            WaitForSingleObject(m_changed, static_cast<DWORD>(end - now));
        }
        return true;
    }
    LONG References() const { return m_refs.load(); }

private:
    HRESULT Count(std::atomic<LONG>& counter)
    {
        ++counter;
        SetEvent(m_changed);
        return S_OK;
    }

    HANDLE m_changed;
    std::atomic<LONG> m_refs{1};
    std::atomic<LONG> m_reads{0}, m_writes{0}, m_refreshes{0}, m_reports{0};
};

// Bytes in busy blocks of every heap of the process: what the code has
// allocated and not freed, apart from thread stacks and other mappings that
// make the committed figure jump as pool threads come and go.
double HeapBusyMb()
{
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    double bytes = 0;
    for (DWORD i = 0; i < count && i < 64; ++i)
    {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                bytes += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return bytes / 1048576.0;
}

// One client's life; the step that failed, or null.
const char* Cycle(LONG cycle, CompletionSink& sink)
{
    COpcComPtr<IUnknown> unknown;
    if (FAILED(OpcCreateServerObject(nullptr, unknown.Receive())))
        return "server object";
    auto server = COpcComPtr<IOPCServer>::QueryFrom(unknown.Get(), IID_IOPCServer);
    OPCHANDLE group = 0;
    DWORD revised = 0;
    COpcComPtr<IOPCItemMgt> items;
    if (!server || FAILED(server->AddGroup(L"Soak", TRUE, 100, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &group,
                                           &revised, IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items.Receive()))))
        return "AddGroup";
    OPCITEMDEF defs[3] = {};
    const wchar_t* ids[3] = {L"Line1.PLC1.Level", L"Line1.PLC1.Count", L"Line1.PLC1.Ramp"};
    for (int i = 0; i < 3; ++i)
    {
        defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
    }
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    if (items->AddItems(3, defs, results.Receive(), errors.Receive()) != S_OK)
        return "AddItems";
    OPCHANDLE handles[3];
    for (int i = 0; i < 3; ++i)
        handles[i] = results.Get()[i].hServer;

    auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(items.Get(), IID_IConnectionPointContainer);
    COpcComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (!container || FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive())) ||
        FAILED(point->Advise(&sink, &cookie)))
        return "Advise";
    auto sync = COpcComPtr<IOPCSyncIO>::QueryFrom(items.Get(), IID_IOPCSyncIO);
    auto async = COpcComPtr<IOPCAsyncIO2>::QueryFrom(items.Get(), IID_IOPCAsyncIO2);
    COpcTaskMem<OPCITEMSTATE> states;
    if (!sync || !async || sync->Read(OPC_DS_DEVICE, 3, handles, states.Receive(), errors.Receive()) != S_OK)
        return "sync Read";
    for (int i = 0; i < 3; ++i)
        VariantClear(&states.Get()[i].vDataValue);
    VARIANT written[2] = {OpcLongVariant(cycle % 200), OpcLongVariant(cycle)};
    if (sync->Write(2, handles, written, errors.Receive()) != S_OK)
        return "sync Write";
    DWORD cancel = 0;
    const DWORD tid = static_cast<DWORD>(cycle) * 4;
    if (async->Read(3, handles, tid + 1, &cancel, errors.Receive()) != S_OK ||
        async->Write(2, handles, written, tid + 2, &cancel, errors.Receive()) != S_OK ||
        async->Refresh2(OPC_DS_CACHE, tid + 3, &cancel) != S_OK)
        return "asynchronous call";
    if (!sink.WaitForCompletions(cycle))
        return "asynchronous answers (30 s)";
    if (cycle % 2 == 1)
    {
        if (point->Unadvise(cookie) != S_OK || items->RemoveItems(3, handles, errors.Receive()) != S_OK)
            return "Unadvise or RemoveItems";
        point.Reset();
        container.Reset();
        sync.Reset();
        async.Reset();
        items.Reset();
        if (server->RemoveGroup(group, FALSE) != S_OK)
            return "RemoveGroup";
    }
    return nullptr;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::printf("usage: %s TAGFILE INIFILE [CYCLES]\n", argv[0]);
        return 2;
    }
    const LONG cycles = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 7500;
    COpcApartment com;
    const COpcString ini = COpcString::FromAnsi(argv[2]);
    if (DevlaneControlLoadDescription(ini.Text()) < 0)
        return 1;
    COpcDaSettings settings;
    settings.simulationEnabled = false;
    for (uint32_t cycle : {0u, 1u, 2u, 5u, 10u, 20u, 50u, 100u, 300u, 600u})
        settings.AddScanCycle(cycle);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    COpcDevlaneAPI api(settings, temp);
    api.Init();
    api.CreateThreadHandle(GetCurrentThreadId());
    COpcDaDevice device(settings, api);
    COpcDaDeviceCache cache(settings, api, device);
    cache.SetItemFactory(COpcDaCacheItem::Create, nullptr);
    COpcDaUpdateScheduler scheduler(settings);
    if (!scheduler.Start() || FAILED(cache.LoadTagConfiguration(COpcString::FromAnsi(argv[1]))))
        return 1;
    Host host(cache, settings, api, scheduler);
    OpcSetServerHost(&host);

    int result = 0;
    {
        CompletionSink sink;
        double baseline = 0;
        double heapBaseline = 0;
        const double start = bench_clock::Now();
        for (LONG cycle = 1; cycle <= cycles; ++cycle)
        {
            if (const char* failed = Cycle(cycle, sink))
            {
                std::printf("cycle %ld failed: %s\n", static_cast<long>(cycle), failed);
                result = 1;
                break;
            }
            if (cycle == 100)
            {
                baseline = Memory().privateMb;
                heapBaseline = HeapBusyMb();
            }
            if (cycle % 500 == 0)
                std::printf("cycle %5ld  private %8.2f MB  heap in use %8.3f MB  sink references %ld  %.0f cycles/s\n",
                            static_cast<long>(cycle), Memory().privateMb, HeapBusyMb(),
                            static_cast<long>(sink.References()), cycle / (bench_clock::Now() - start));
        }
        const double end = Memory().privateMb;
        const double heapEnd = HeapBusyMb();
        const double perCycle = cycles > 100 ? 1048576.0 / (cycles - 100) : 0.0;
        std::printf("after 100 cycles / at the end: private %.2f / %.2f MB (%.0f bytes per cycle), heap in use "
                    "%.3f / %.3f MB (%.0f bytes per cycle)\n",
                    baseline, end, (end - baseline) * perCycle, heapBaseline, heapEnd,
                    (heapEnd - heapBaseline) * perCycle);
    }
    OpcSetServerHost(nullptr);
    return result;
}
