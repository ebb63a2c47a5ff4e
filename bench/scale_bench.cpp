// A whole large configuration in process, with simulation: the load, a flat
// browse of every item ID both ways with continuation, and one group holding
// many of its items at 1,000 ms. bench/scale.sh runs it at 10,000, 100,000
// and 1,000,000 tags and prints the table.
//
//   scale_bench.exe TAGFILE [SUBSCRIBED [SECONDS]]    defaults 100000 items, 10 s
//
// Printed as "key value" lines, so that a script can pick them up:
//  - load: seconds, private memory (and working set) before and after, and per tag;
//  - browse: BrowseOPCItemIDs(OPC_FLAT) listed and handed out 1,000 names at a
//    time; IOPCBrowse::Browse walking every branch, 1,000 elements per call,
//    following the continuation points;
//  - subscription: adding the items, then the process's CPU time per second
//    with the group inactive and active (the difference is the scans' cost,
//    per scan at 1,000 ms), and the reports and values delivered.
#include "BenchClock.h"
#include "InProcessServer.h"
#include "OpcApartment.h"
#include "OpcDaCacheItem.h"
#include "OpcDaDeviceCache.h"
#include "OpcDaSettings.h"
#include "OpcDaUpdateScheduler.h"
#include "OpcDevlaneAPI.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"
#include "OpcTaskMem.h"

#include <opcda.h>
#include <olectl.h>

#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
using bench_clock::Now;
using bench_clock::ProcessCpu;
using bench_inproc::Host;
using bench_inproc::Memory;
using bench_inproc::SMemory;

// Counts the reports and values that arrive; lives on main's stack.
class CountingSink final : public IOPCDataCallback
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        *out = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IOPCDataCallback))
            return E_NOINTERFACE;
        *out = static_cast<IOPCDataCallback*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override
    {
        ++reports;
        values += count;
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    std::atomic<uint64_t> reports{0};
    std::atomic<uint64_t> values{0};
};

// BrowseOPCItemIDs(OPC_FLAT), handed out 1,000 at a time: the names counted.
size_t FlatEnumeration(IUnknown* server, double& listSeconds, double& handSeconds)
{
    auto space = COpcComPtr<IOPCBrowseServerAddressSpace>::QueryFrom(server, IID_IOPCBrowseServerAddressSpace);
    if (!space)
        return 0;
    const double start = Now();
    COpcComPtr<IEnumString> names;
    if (FAILED(space->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.Receive())) || !names)
        return 0;
    const double listed = Now();
    size_t total = 0;
    static LPOLESTR batch[1000];
    ULONG fetched = 0;
    while (SUCCEEDED(names->Next(1000, batch, &fetched)) && fetched > 0)
    {
        for (ULONG i = 0; i < fetched; ++i)
            CoTaskMemFree(batch[i]);
        total += fetched;
    }
    listSeconds = listed - start;
    handSeconds = Now() - listed;
    return total;
}

// IOPCBrowse::Browse over every branch, 1,000 elements per call, following
// the continuation points: the items counted, and the calls made.
size_t BrowseWithContinuation(IUnknown* server, size_t& calls)
{
    auto browse = COpcComPtr<IOPCBrowse>::QueryFrom(server, IID_IOPCBrowse);
    if (!browse)
        return 0;
    size_t items = 0;
    COpcGrowArray<COpcTaskMem<wchar_t>> pending; // branches still to browse
    COpcTaskMem<wchar_t> rootId(DuplicateText(L""));
    if (!pending.Append(std::move(rootId)))
        return 0;
    while (!pending.IsEmpty())
    {
        COpcTaskMem<wchar_t> branch(pending.Last().Detach());
        pending.RemoveLast();
        COpcTaskMem<wchar_t> point;
        do
        {
            BOOL more = FALSE;
            DWORD count = 0;
            OPCBROWSEELEMENT* elements = nullptr;
            LPWSTR continuation = point.Detach();
            const HRESULT hr = browse->Browse(branch.Get(), &continuation, 1000, OPC_BROWSE_FILTER_ALL, nullptr,
                                              nullptr, FALSE, FALSE, 0, nullptr, &more, &count, &elements);
            point.Reset(continuation);
            ++calls;
            if (FAILED(hr))
                return items;
            for (DWORD i = 0; i < count; ++i)
            {
                if (elements[i].dwFlagValue & OPC_BROWSE_ISITEM)
                    ++items;
                if (elements[i].dwFlagValue & OPC_BROWSE_HASCHILDREN)
                {
                    pending.Append(COpcTaskMem<wchar_t>(elements[i].szItemID));
                    elements[i].szItemID = nullptr;
                }
                CoTaskMemFree(elements[i].szName);
                CoTaskMemFree(elements[i].szItemID);
                CoTaskMemFree(elements[i].ItemProperties.pItemProperties);
            }
            CoTaskMemFree(elements);
        } while (point.Get() != nullptr && point.Get()[0] != L'\0');
    }
    return items;
}

// Process CPU seconds per second over the time given.
double CpuPerSecond(DWORD ms)
{
    const double cpu = ProcessCpu();
    const double start = Now();
    Sleep(ms);
    return (ProcessCpu() - cpu) / (Now() - start);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::printf("usage: %s TAGFILE [SUBSCRIBED [SECONDS]]\n", argv[0]);
        return 2;
    }
    const size_t wanted = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100000;
    const DWORD seconds = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 10;
    COpcApartment com;
    COpcDaSettings settings;
    settings.simulationEnabled = true;
    settings.simulationInterval = 1000;
    settings.simulationUnit = 100;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    COpcDevlaneAPI api(settings, temp);
    COpcDaDevice device(settings, api);
    COpcDaDeviceCache cache(settings, api, device);
    cache.SetItemFactory(COpcDaCacheItem::Create, nullptr);
    COpcDaUpdateScheduler scheduler(settings);
    if (!scheduler.Start())
        return 1;

    const SMemory before = Memory();
    const double start = Now();
    const HRESULT loaded = cache.LoadTagConfiguration(COpcString::FromAnsi(argv[1]));
    const double loadSeconds = Now() - start;
    const SMemory after = Memory();
    const size_t items = cache.ItemCount();
    std::printf("load_result 0x%08lx\nitems %zu\nload_s %.3f\n", static_cast<unsigned long>(loaded), items,
                loadSeconds);
    std::printf("private_mb_before %.1f\nprivate_mb %.1f\nworking_set_mb %.1f\n", before.privateMb, after.privateMb,
                after.workingMb);
    if (items == 0)
        return 1;
    std::printf("us_per_tag %.2f\nbytes_per_tag %.0f\n", loadSeconds * 1e6 / items,
                (after.privateMb - before.privateMb) * 1048576.0 / items);

    Host host(cache, settings, api, scheduler);
    OpcSetServerHost(&host);
    int result = 0;
    {
        COpcComPtr<IUnknown> server;
        if (FAILED(OpcCreateServerObject(nullptr, server.Receive())) || !server)
            return 1;

        double listSeconds = 0;
        double handSeconds = 0;
        const size_t flat = FlatEnumeration(server.Get(), listSeconds, handSeconds);
        std::printf("flat_enum_items %zu\nflat_enum_list_s %.3f\nflat_enum_hand_out_s %.3f\n", flat, listSeconds,
                    handSeconds);
        size_t calls = 0;
        const double browseStart = Now();
        const size_t browsed = BrowseWithContinuation(server.Get(), calls);
        std::printf("browse_items %zu\nbrowse_calls %zu\nbrowse_s %.3f\n", browsed, calls, Now() - browseStart);
        if (flat != items || browsed != items)
            result = 1;

        // One group at 1,000 ms with the first items of the file.
        auto opcServer = COpcComPtr<IOPCServer>::QueryFrom(server.Get(), IID_IOPCServer);
        OPCHANDLE group = 0;
        DWORD revised = 0;
        COpcComPtr<IOPCItemMgt> itemMgt;
        if (!opcServer ||
            FAILED(opcServer->AddGroup(L"scale", FALSE, 1000, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &group,
                                       &revised, IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(itemMgt.Receive()))))
            return 1;
        const size_t subscribed = wanted < items ? wanted : items;
        const DWORD chunk = 10000;
        COpcTaskMem<OPCITEMDEF> defs;
        if (!defs.Allocate(chunk))
            return 1;
        size_t added = 0;
        const double addStart = Now();
        for (size_t first = 0; first < subscribed; first += chunk)
        {
            const DWORD n = static_cast<DWORD>(subscribed - first < chunk ? subscribed - first : chunk);
            for (DWORD i = 0; i < n; ++i)
            {
                OPCITEMDEF& def = defs.Get()[i];
                def = OPCITEMDEF{};
                def.szItemID = const_cast<LPWSTR>(device.ItemAt(first + i)->ItemId().Text());
                def.bActive = TRUE;
                def.hClient = static_cast<OPCHANDLE>(first + i + 1);
            }
            OPCITEMRESULT* results = nullptr;
            HRESULT* errors = nullptr;
            itemMgt->AddItems(n, defs.Get(), &results, &errors);
            for (DWORD i = 0; results != nullptr && i < n; ++i)
                CoTaskMemFree(results[i].pBlob);
            for (DWORD i = 0; errors != nullptr && i < n; ++i)
                added += SUCCEEDED(errors[i]);
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
        }
        std::printf("subscribed_items %zu\nadd_items_s %.3f\n", added, Now() - addStart);

        CountingSink sink;
        auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(itemMgt.Get(), IID_IConnectionPointContainer);
        COpcComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        if (!container || FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive())) ||
            FAILED(point->Advise(&sink, &cookie)))
            return 1;
        auto state = COpcComPtr<IOPCGroupStateMgt>::QueryFrom(itemMgt.Get(), IID_IOPCGroupStateMgt);
        const double idle = CpuPerSecond(seconds * 1000);
        BOOL active = TRUE;
        state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
        // The first report carries every item; the rate is measured after it.
        for (int waited = 0; waited < 600 && sink.reports.load() == 0; ++waited)
            Sleep(100);
        const uint64_t reports = sink.reports.load();
        const uint64_t values = sink.values.load();
        const double busy = CpuPerSecond(seconds * 1000);
        const double reportsPerSecond = double(sink.reports.load() - reports) / seconds;
        const double valuesPerSecond = double(sink.values.load() - values) / seconds;
        std::printf("cpu_idle_per_s %.3f\ncpu_active_per_s %.3f\nscan_ms %.1f\nscan_ns_per_item %.0f\n", idle, busy,
                    (busy - idle) * 1e3, added != 0 ? (busy - idle) * 1e9 / added : 0.0);
        std::printf("reports_per_s %.2f\nvalues_per_s %.0f\n", reportsPerSecond, valuesPerSecond);
        point->Unadvise(cookie);
        opcServer->RemoveGroup(group, TRUE);
    }
    OpcSetServerHost(nullptr);
    const SMemory end = Memory();
    std::printf("private_mb_end %.1f\n", end.privateMb);
    return result;
}
