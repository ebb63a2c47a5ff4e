// A flat browse of a large address space through the server object, in
// process: the call that builds the whole list, then handing it out in
// batches as a client's enumerator would. A list that grew by copying shows
// here as minutes instead of milliseconds.
//
//   server_browse_bench.exe [ITEMS]    default 100000, in groups of 1000
#include "BenchClock.h"
#include "BrowseOnlyHost.h"
#include "OpcApartment.h"
#include "OpcDaCache.h"
#include "OpcDaSettings.h"
#include "OpcDevlaneAPI.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"
#include "OpcTaskMem.h"

#include <opcda.h>

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
using bench_clock::Now;

int Browse(int items)
{
    COpcComPtr<IUnknown> unknown;
    HRESULT hr = OpcCreateServerObject(nullptr, unknown.Receive());
    auto space = COpcComPtr<IOPCBrowseServerAddressSpace>::QueryFrom(unknown.Get(), IID_IOPCBrowseServerAddressSpace);
    if (FAILED(hr) || !space)
    {
        std::printf("no server object: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    const double start = Now();
    COpcComPtr<IEnumString> names;
    hr = space->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, names.Receive());
    const double listed = Now();
    if (FAILED(hr) || !names)
    {
        std::printf("browse failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    int total = 0;
    LPOLESTR batch[256];
    ULONG fetched = 0;
    while (SUCCEEDED(names->Next(256, batch, &fetched)) && fetched > 0)
    {
        for (ULONG i = 0; i < fetched; ++i)
            CoTaskMemFree(batch[i]);
        total += static_cast<int>(fetched);
    }
    const double drained = Now();
    std::printf("flat browse of %d items: list %8.2f ms, hand out %8.2f ms (%d names)\n", items, (listed - start) * 1e3,
                (drained - listed) * 1e3, total);
    return total == items ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    const int items = argc > 1 ? std::atoi(argv[1]) : 100000;
    if (items <= 0)
    {
        std::printf("usage: %s [ITEMS]\n", argv[0]);
        return 2;
    }
    COpcApartment com;
    int result = 1;
    {
        BrowseOnlyHost host;
        const double start = Now();
        for (int i = 0; i < items; ++i)
        {
            std::wstring id = L"L.G" + std::to_wstring(i / 1000) + L".T" + std::to_wstring(i % 1000);
            if (FAILED(host.cache.AddItem(COpcString(id.c_str()))))
            {
                std::printf("item %d not added\n", i);
                return 1;
            }
        }
        std::printf("address space of %d items: %8.2f ms\n", items, (Now() - start) * 1e3);
        OpcSetServerHost(&host);
        result = Browse(items);
        OpcSetServerHost(nullptr);
    }
    return result;
}
