// A soak run of the real server: client after client connects, adds a group
// and items, subscribes, reads, writes, calls asynchronously and goes away,
// while the server's private bytes, handles and threads are sampled. One
// client stays connected throughout so the process (and its figures) lasts.
//
// The run lasts 1,000 cycles and at least TAGBRIDGE_SOAK_SECONDS (default
// 60, about two minutes in all); tests/host/soak.sh runs it for 25 minutes.
#include "DataCallbackSink.h"
#include "LiveServerFixture.h"
#include "ProcessUsage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace host_test;

namespace
{
// Growth allowed from the sample after warm-up to the last one. A leak of a
// few hundred bytes per cycle passes the memory bound only in a short run;
// the long run's 10,000 and more cycles make it show.
const SIZE_T kPrivateBytesGrowth = 3 * 1024 * 1024;
// A thread a pool adds (within kThreadGrowth) brings its stack, which Wine
// commits whole: about 3 MB each.
const SIZE_T kPrivateBytesPerThread = 4 * 1024 * 1024;
const DWORD kHandleGrowth = 16;
const DWORD kThreadGrowth = 4;

// The cycles before the baseline sample: pools, caches and the proxy's tables fill up.
const int kWarmUpCycles = 100;
const int kMinimumCycles = 1000;

using Usage = ProcessUsage;

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

// TAGBRIDGE_SOAK_BARE: 1 = the cycles only connect, 2 = no asynchronous calls;
// set beside the full cycle, this tells which part of a client's life grows.
int BareCycles()
{
    const char* text = std::getenv("TAGBRIDGE_SOAK_BARE");
    return text != nullptr ? std::atoi(text) : 0;
}

bool Has(const std::vector<CallbackRecord>& records, CallbackRecord::Kind kind, DWORD tid)
{
    return std::any_of(records.begin(), records.end(),
                       [&](const CallbackRecord& r) { return r.kind == kind && r.transactionId == tid; });
}

class LiveSoakTest : public LiveServerTest
{
protected:
    // The subscription tags (every tag polled every 100 ms, one of them
    // moving by itself) in a folder of the soak's own, so that tests/host/soak.sh
    // can run beside the other live tests in a Wine prefix of its own.
    // TAGBRIDGE_SOAK_FOLDER names another copy of it.
    const wchar_t* FolderName() const override
    {
        static const std::wstring folder = []
        {
            const char* text = std::getenv("TAGBRIDGE_SOAK_FOLDER");
            return text != nullptr && *text != '\0' ? std::wstring(text, text + strlen(text)) : L"host-soak";
        }();
        return folder.c_str();
    }

    // One client's whole life. Odd cycles tidy up before they go, even ones
    // just let go and leave the group, items and sink to the server. Every
    // tenth waits for a report of the subscription as well.
    void Cycle(int cycle)
    {
        if (BareCycles() == 1)
        {
            // Only what the transport does for every client (TAGBRIDGE_SOAK_BARE=1):
            // a server object, its shutdown sink, one call.
            Client client;
            ASSERT_EQ(S_OK, client.Connect());
            ASSERT_EQ(OPC_STATUS_RUNNING, client.State());
            return;
        }
        DataCallbackSink sink; // outlives the client, whose server may still hold it
        Client client;
        ASSERT_EQ(S_OK, client.Connect());
        SubscribedGroup subscribed;
        ASSERT_EQ(S_OK, subscribed.Create(client.server.Get(), L"Soak", 100,
                                          {L"Line1.PLC1.Level", L"Line1.PLC1.Count", L"Line1.PLC1.Ramp"}, &sink));
        auto items = COpcComPtr<IOPCItemMgt>::QueryFrom(subscribed.group.Get(), IID_IOPCItemMgt);
        auto sync = COpcComPtr<IOPCSyncIO>::QueryFrom(subscribed.group.Get(), IID_IOPCSyncIO);
        auto async = COpcComPtr<IOPCAsyncIO2>::QueryFrom(subscribed.group.Get(), IID_IOPCAsyncIO2);
        ASSERT_TRUE(items && sync && async);
        OPCHANDLE* handles = subscribed.items.data();
        COpcTaskMem<HRESULT> errors;

        COpcTaskMem<OPCITEMSTATE> states;
        ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, 3, handles, states.Receive(), errors.Receive()));
        for (int i = 0; i < 3; ++i)
            VariantClear(&states.Get()[i].vDataValue);
        VARIANT written[2] = {OpcLongVariant(cycle % 200), OpcLongVariant(cycle)};
        ASSERT_EQ(S_OK, sync->Write(2, handles, written, errors.Receive()));

        const DWORD tid = static_cast<DWORD>(cycle) * 4;
        if (BareCycles() == 2)
        {
            ASSERT_EQ(S_OK, subscribed.point->Unadvise(subscribed.cookie));
            return;
        }
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
            ASSERT_EQ(S_OK, subscribed.point->Unadvise(subscribed.cookie));
            ASSERT_EQ(S_OK, items->RemoveItems(3, handles, errors.Receive()));
        }
        subscribed.point.Reset();
        async.Reset();
        sync.Reset();
        items.Reset();
        subscribed.group.Reset();
        if (cycle % 2 == 1)
        {
            ASSERT_EQ(S_OK, client.server->RemoveGroup(subscribed.handle, FALSE));
        }
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
    std::fflush(stdout); // a long run's figures show as they come
}
} // namespace

TEST_F(LiveSoakTest, ClientsComeAndGoWithoutTheServerGrowing)
{
    ASSERT_NO_FATAL_FAILURE(RegisterAndConnect());
    // The first client also holds the class object and every interface the
    // cycles use. Under Wine, the release of the last stub of an interface
    // waits for the interface's calls to end and now and then misses their
    // end, hanging for good (seen with the class factory that each
    // CoCreateInstance lets go); with one stub of each kept, none is ever the last.
    COpcComPtr<IClassFactory> anchorFactory;
    ASSERT_EQ(S_OK, CoGetClassObject(opc_host::kServerClsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(anchorFactory.Receive())));
    DataCallbackSink anchorSink;
    SubscribedGroup anchor;
    ASSERT_EQ(S_OK, anchor.Create(m_server, L"Anchor", 1000, {L"Line1.PLC1.Level"}, &anchorSink));
    auto anchorSync = COpcComPtr<IOPCSyncIO>::QueryFrom(anchor.group.Get(), IID_IOPCSyncIO);
    auto anchorAsync = COpcComPtr<IOPCAsyncIO2>::QueryFrom(anchor.group.Get(), IID_IOPCAsyncIO2);
    auto anchorItems = COpcComPtr<IOPCItemMgt>::QueryFrom(anchor.group.Get(), IID_IOPCItemMgt);
    ASSERT_TRUE(anchorSync && anchorAsync && anchorItems);
    const DWORD processId = devlane_control::FindProcess(L"tagbridge.exe");
    ASSERT_NE(0u, processId);

    Figures figures;
    figures.start = UsageOf(processId);
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
        const Usage now = UsageOf(processId);
        figures.Take(now);
        if (cycles + 1 == kWarmUpCycles)
            figures.baseline = now;
        if (cycles % 500 == 499)
            Print(("@" + std::to_string(cycles + 1)).c_str(), now);
    }
    // Threads a pool started for the last cycles may still be on their way out.
    WaitFor([&] { return UsageOf(processId).threads <= figures.baseline.threads + kThreadGrowth; });
    figures.end = UsageOf(processId);
    figures.Take(figures.end);

    std::printf("[soak] %d cycles\n", cycles);
    Print("start", figures.start);
    Print("baseline", figures.baseline);
    Print("end", figures.end);
    Print("max", figures.max);
    EXPECT_EQ(OPC_STATUS_RUNNING, m_clients.front()->State());
    const DWORD addedThreads =
        figures.end.threads > figures.baseline.threads ? figures.end.threads - figures.baseline.threads : 0;
    EXPECT_LE(figures.end.privateBytes,
              figures.baseline.privateBytes + kPrivateBytesGrowth + addedThreads * kPrivateBytesPerThread);
    EXPECT_LE(figures.end.handles, figures.baseline.handles + kHandleGrowth);
    EXPECT_LE(figures.end.threads, figures.baseline.threads + kThreadGrowth);
    anchor.point->Unadvise(anchor.cookie);
}
