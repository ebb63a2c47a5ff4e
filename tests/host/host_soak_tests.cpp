// A soak run of the real server: client after client connects, adds a group
// and items, subscribes, reads, writes, calls asynchronously and goes away,
// while the server's private bytes, handles and threads are sampled. One
// client stays connected throughout so the process (and its figures) lasts.
//
// The run lasts 1,000 cycles and at least TAGBRIDGE_SOAK_SECONDS (default
// 60, about two minutes in all); tests/host/soak.sh runs it for 25 minutes.
#include "DataCallbackSink.h"
#include "LiveServerFixture.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace host_test;

namespace
{
// Growth allowed from the sample after warm-up to the last one. A leak of a
// few hundred bytes per cycle passes the memory bound only in a short run;
// the long run's 10,000 and more cycles make it show.
const SIZE_T kPrivateBytesGrowth = 3 * 1024 * 1024;
const DWORD kHandleGrowth = 16;
const DWORD kThreadGrowth = 4;

// The cycles before the baseline sample: pools, caches and the proxy's tables fill up.
const int kWarmUpCycles = 100;
const int kMinimumCycles = 1000;

struct Usage
{
    SIZE_T privateBytes = 0;
    DWORD handles = 0;
    DWORD threads = 0;
};

DWORD ThreadCount(DWORD processId)
{
    COpcHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (snapshot.Get() == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD threads = 0;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
        threads += entry.th32OwnerProcessID == processId ? 1 : 0;
    return threads;
}

// The process's committed private memory. Wine answers PrivateUsage with 0,
// so the figure is then summed from the process's address space.
SIZE_T PrivateBytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory) &&
        memory.PrivateUsage != 0)
        return memory.PrivateUsage;
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; VirtualQueryEx(process, at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
    }
    return total;
}

// The process's handle count. Wine answers GetProcessHandleCount for another
// process with 0; its process list carries the figure.
DWORD HandleCount(HANDLE process, DWORD processId)
{
    DWORD handles = 0;
    if (GetProcessHandleCount(process, &handles) && handles != 0)
        return handles;
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    if (NtQuerySystemInformation(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) !=
        0)
        return 0;
    for (size_t at = 0;;)
    {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == processId)
            return entry->HandleCount;
        if (entry->NextEntryOffset == 0)
            return 0;
        at += entry->NextEntryOffset;
    }
}

Usage Sample(HANDLE process, DWORD processId)
{
    Usage usage;
    usage.privateBytes = PrivateBytes(process);
    usage.handles = HandleCount(process, processId);
    usage.threads = ThreadCount(processId);
    return usage;
}

struct Figures
{
    Usage start, baseline, end, max;
    void Take(const Usage& u)
    {
        max.privateBytes = std::max(max.privateBytes, u.privateBytes);
        max.handles = std::max(max.handles, u.handles);
        max.threads = std::max(max.threads, u.threads);
    }
};

VARIANT Long(LONG value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

bool Has(const std::vector<CallbackRecord>& records, CallbackRecord::Kind kind, DWORD tid)
{
    return std::any_of(records.begin(), records.end(),
                       [&](const CallbackRecord& r) { return r.kind == kind && r.transactionId == tid; });
}

class LiveSoakTest : public LiveServerTest
{
protected:
    // Every tag polled every 100 ms, one of them moving by itself.
    const wchar_t* FolderName() const override { return L"host-subscriptions"; }

    // One client's whole life. Odd cycles tidy up before they go, even ones
    // just let go and leave the group, items and sink to the server. Every
    // tenth waits for a report of the subscription as well.
    void Cycle(int cycle)
    {
        Client client;
        ASSERT_EQ(S_OK, client.Connect());
        COpcComPtr<IUnknown> group;
        OPCHANDLE groupHandle = 0;
        DWORD revised = 0;
        ASSERT_EQ(S_OK, client.server->AddGroup(L"Soak", TRUE, 100, 5, nullptr, nullptr, 1033, &groupHandle, &revised,
                                                IID_IUnknown, group.Receive()));
        auto items = COpcComPtr<IOPCItemMgt>::QueryFrom(group.Get(), IID_IOPCItemMgt);
        auto sync = COpcComPtr<IOPCSyncIO>::QueryFrom(group.Get(), IID_IOPCSyncIO);
        auto async = COpcComPtr<IOPCAsyncIO2>::QueryFrom(group.Get(), IID_IOPCAsyncIO2);
        auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(group.Get(), IID_IConnectionPointContainer);
        ASSERT_TRUE(items && sync && async && container);

        const wchar_t* ids[3] = {L"Line1.PLC1.Level", L"Line1.PLC1.Count", L"Line1.PLC1.Ramp"};
        OPCITEMDEF defs[3] = {};
        for (int i = 0; i < 3; ++i)
        {
            defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
        }
        COpcTaskMem<OPCITEMRESULT> results;
        COpcTaskMem<HRESULT> errors;
        ASSERT_EQ(S_OK, items->AddItems(3, defs, results.Receive(), errors.Receive()));
        OPCHANDLE handles[3];
        for (int i = 0; i < 3; ++i)
            handles[i] = results.Get()[i].hServer;

        DataCallbackSink sink;
        COpcComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive()));
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));

        COpcTaskMem<OPCITEMSTATE> states;
        ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, 3, handles, states.Receive(), errors.Receive()));
        for (int i = 0; i < 3; ++i)
            VariantClear(&states.Get()[i].vDataValue);
        VARIANT written[2] = {Long(cycle % 200), Long(cycle)};
        ASSERT_EQ(S_OK, sync->Write(2, handles, written, errors.Receive()));

        const DWORD tid = static_cast<DWORD>(cycle) * 4;
        DWORD cancel = 0;
        ASSERT_EQ(S_OK, async->Read(3, handles, tid + 1, &cancel, errors.Receive()));
        ASSERT_EQ(S_OK, async->Write(2, handles, written, tid + 2, &cancel, errors.Receive()));
        ASSERT_EQ(S_OK, async->Refresh2(OPC_DS_CACHE, tid + 3, &cancel));
        ASSERT_TRUE(sink.WaitUntil(
            [&](const std::vector<CallbackRecord>& r)
            {
                return Has(r, CallbackRecord::ReadComplete, tid + 1) &&
                       Has(r, CallbackRecord::WriteComplete, tid + 2) && Has(r, CallbackRecord::DataChange, tid + 3) &&
                       (cycle % 10 != 0 || Has(r, CallbackRecord::DataChange, 0));
            },
            kWaitCeilingMs))
            << "cycle " << cycle;

        if (cycle % 2 == 1)
        {
            ASSERT_EQ(S_OK, point->Unadvise(cookie));
            ASSERT_EQ(S_OK, items->RemoveItems(3, handles, errors.Receive()));
            point.Reset();
            container.Reset();
            async.Reset();
            sync.Reset();
            items.Reset();
            group.Reset();
            ASSERT_EQ(S_OK, client.server->RemoveGroup(groupHandle, FALSE));
        }
        point.Reset();
        container.Reset();
        async.Reset();
        sync.Reset();
        items.Reset();
        group.Reset();
        client.Disconnect();
        // The server lets go of a sink when its group goes; that may come
        // just after the release returns.
        ASSERT_TRUE(WaitFor([&] { return sink.References() == 1; })) << "cycle " << cycle;
    }
};

unsigned SoakSeconds()
{
    const char* text = std::getenv("TAGBRIDGE_SOAK_SECONDS");
    const unsigned seconds = text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 0;
    return seconds != 0 ? seconds : 60;
}

void Print(const char* label, const Usage& u)
{
    std::printf("[soak] %-8s private %8.2f MB  handles %5lu  threads %3lu\n", label, u.privateBytes / 1048576.0,
                static_cast<unsigned long>(u.handles), static_cast<unsigned long>(u.threads));
}
} // namespace

TEST_F(LiveSoakTest, ClientsComeAndGoWithoutTheServerGrowing)
{
    ASSERT_NO_FATAL_FAILURE(RegisterAndConnect());
    const DWORD processId = devlane_control::FindProcess(L"tagbridge.exe");
    ASSERT_NE(0u, processId);
    COpcHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    ASSERT_TRUE(process.Get() != nullptr);

    Figures figures;
    figures.start = Sample(process.Get(), processId);
    ASSERT_NE(0u, figures.start.privateBytes) << "no private-bytes figure for the server";
    figures.Take(figures.start);
    const unsigned seconds = SoakSeconds();
    const ULONGLONG end = GetTickCount64() + seconds * 1000ull;
    int cycles = 0;
    for (; cycles < kMinimumCycles || GetTickCount64() < end; ++cycles)
    {
        ASSERT_NO_FATAL_FAILURE(Cycle(cycles));
        if (cycles % 10 != 9)
            continue;
        const Usage now = Sample(process.Get(), processId);
        figures.Take(now);
        if (cycles + 1 == kWarmUpCycles)
            figures.baseline = now;
        if (cycles % 500 == 499)
            Print(("@" + std::to_string(cycles + 1)).c_str(), now);
    }
    // Threads a pool started for the last cycles may still be on their way out.
    WaitFor([&] { return Sample(process.Get(), processId).threads <= figures.baseline.threads + kThreadGrowth; });
    figures.end = Sample(process.Get(), processId);
    figures.Take(figures.end);

    std::printf("[soak] %d cycles\n", cycles);
    Print("start", figures.start);
    Print("baseline", figures.baseline);
    Print("end", figures.end);
    Print("max", figures.max);
    EXPECT_EQ(OPC_STATUS_RUNNING, m_clients.front()->State());
    EXPECT_LE(figures.end.privateBytes, figures.baseline.privateBytes + kPrivateBytesGrowth);
    EXPECT_LE(figures.end.handles, figures.baseline.handles + kHandleGrowth);
    EXPECT_LE(figures.end.threads, figures.baseline.threads + kThreadGrowth);
}
