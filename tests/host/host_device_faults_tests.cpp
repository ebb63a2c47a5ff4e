// Device and runtime failures seen through a subscription of the real
// server: two devices polled every 100 ms, one of them struck. The struck
// item shows the quality its failure calls for and recovers afterwards, the
// other device goes on being polled, and only the runtime's loss brings a
// shutdown notice, exactly one per client.
#include "DataCallbackSink.h"
#include "LiveServerFixture.h"

#include <oleauto.h>

using namespace host_test;

namespace
{
enum : OPCHANDLE
{
    kHealthy = 1, // Line1.PLC1.Ramp
    kStruck = 2   // Line1.PLC2.Ramp
};

struct Report
{
    WORD quality;
    LONG value;
};

// The reports of one item in the subscription's data changes from record `from` on.
std::vector<Report> ReportsOf(const std::vector<CallbackRecord>& records, OPCHANDLE client, size_t from)
{
    std::vector<Report> reports;
    for (size_t i = from; i < records.size(); ++i)
    {
        if (records[i].kind != CallbackRecord::DataChange)
            continue;
        for (const CallbackEntry& e : records[i].entries)
        {
            if (e.client != client)
                continue;
            VARIANT number;
            VariantInit(&number);
            VariantChangeType(&number, const_cast<VARIANT*>(&e.value), 0, VT_I4);
            reports.push_back({e.quality, number.lVal});
        }
    }
    return reports;
}

// At least n reports of good quality, all good.
bool GoodReports(const std::vector<Report>& reports, size_t n)
{
    size_t good = 0;
    for (const Report& r : reports)
        good += r.quality == OPC_QUALITY_GOOD ? 1 : 0;
    return good >= n && good == reports.size();
}

bool Reported(const std::vector<Report>& reports, WORD quality)
{
    for (const Report& r : reports)
    {
        if (r.quality == quality)
            return true;
    }
    return false;
}

struct Fault
{
    const char* name;
    const char* start; // control command that strikes
    const char* end;   // and the one that heals
    bool everyDevice;  // the runtime: both items are struck
    WORD quality;      // what a struck item reports meanwhile
    int notices;       // shutdown notices per client
};

const Fault kFaults[] = {
    {"every read fails", "inject ReadDevice16M C0B00010 0 device=Line1.PLC2", "inject clear", false,
     OPC_QUALITY_LAST_KNOWN, 0},
    {"answers slowly", "delay Line1.PLC2 1500", "delay Line1.PLC2 0", false, OPC_QUALITY_GOOD, 0},
    // Long against the 100 ms scan: the other device is polled many times over meanwhile.
    {"stops answering", "delay Line1.PLC2 6000", "delay Line1.PLC2 0", false, OPC_QUALITY_GOOD, 0},
    {"runtime gone and back", "runtime down", "runtime up", true, OPC_QUALITY_LAST_KNOWN, 1},
};

class DeviceFaultsTest : public LiveServerTest
{
protected:
    const wchar_t* FolderName() const override { return L"host-device-faults"; }

    // A read from the device of the healthy item, on the caller's thread.
    HRESULT ReadHealthyFromDevice(IUnknown* group, WORD& quality)
    {
        auto io = COpcComPtr<IOPCSyncIO>::QueryFrom(group, IID_IOPCSyncIO);
        OPCHANDLE healthy = m_subscribed.items[0];
        COpcTaskMem<OPCITEMSTATE> states;
        COpcTaskMem<HRESULT> errors;
        const HRESULT hr = io->Read(OPC_DS_DEVICE, 1, &healthy, states.Receive(), errors.Receive());
        if (SUCCEEDED(hr))
        {
            quality = states.Get()[0].wQuality;
            VariantClear(&states.Get()[0].vDataValue);
        }
        return hr;
    }

    void Strike(const Fault& fault)
    {
        Client& first = NewClient();
        Client& second = NewClient();
        ASSERT_EQ(S_OK, first.Connect());
        ASSERT_EQ(S_OK, second.Connect());
        ASSERT_EQ(OPC_STATUS_RUNNING, first.State());
        devlane_control::Client runtime(devlane_control::FindProcess(L"tagbridge.exe"));
        DataCallbackSink& sink = m_sink; // one for every row: each starts after the last one's records
        const size_t start = sink.Records().size();
        ASSERT_EQ(S_OK, m_subscribed.Create(first.server.Get(), L"Faults", 100,
                                            {L"Line1.PLC1.Ramp", L"Line1.PLC2.Ramp"}, &m_sink));
        ASSERT_TRUE(sink.WaitUntil(
            [&](const std::vector<CallbackRecord>& r)
            { return GoodReports(ReportsOf(r, kHealthy, start), 1) && GoodReports(ReportsOf(r, kStruck, start), 1); }));

        size_t from = sink.Records().size();
        ASSERT_TRUE(runtime.Command(fault.start));
        if (fault.everyDevice)
        {
            EXPECT_TRUE(sink.WaitUntil([&](const std::vector<CallbackRecord>& r)
                                       { return Reported(ReportsOf(r, kHealthy, from), fault.quality); }));
        }
        else
        {
            // Calls already under way when the fault struck end as before; then
            // the healthy device goes on reporting good values.
            ASSERT_TRUE(sink.WaitUntil([&](const std::vector<CallbackRecord>& r)
                                       { return GoodReports(ReportsOf(r, kHealthy, from), 3); }));
            const size_t struckBefore = ReportsOf(sink.Records(), kStruck, from).size();
            const size_t later = sink.Records().size();
            EXPECT_TRUE(sink.WaitUntil([&](const std::vector<CallbackRecord>& r)
                                       { return GoodReports(ReportsOf(r, kHealthy, later), 5); }));
            WORD quality = 0;
            EXPECT_EQ(S_OK, ReadHealthyFromDevice(m_subscribed.group.Get(), quality));
            EXPECT_EQ(OPC_QUALITY_GOOD, quality);
            if (std::string(fault.name) == "stops answering")
            {
                EXPECT_EQ(struckBefore, ReportsOf(sink.Records(), kStruck, from).size())
                    << "the healthy device waited for the one that does not answer";
            }
        }
        EXPECT_TRUE(sink.WaitUntil([&](const std::vector<CallbackRecord>& r)
                                   { return Reported(ReportsOf(r, kStruck, from), fault.quality); }));
        if (fault.notices > 0)
        {
            EXPECT_TRUE(WaitFor([&] { return first.sink.calls > 0 && second.sink.calls > 0; }));
        }

        ASSERT_TRUE(runtime.Command(fault.end));
        from = sink.Records().size();
        EXPECT_TRUE(sink.WaitUntil(
            [&](const std::vector<CallbackRecord>& r)
            {
                const std::vector<Report> struck = ReportsOf(r, kStruck, from);
                return GoodReports(ReportsOf(r, kHealthy, from), 3) && !struck.empty() &&
                       struck.back().quality == OPC_QUALITY_GOOD;
            }))
            << "no recovery";
        // Some server cycles more, for a second notice that must not come.
        ASSERT_TRUE(WaitForLibraryCalls(runtime, "ReadDevice16M", 20));
        EXPECT_EQ(fault.notices, first.sink.calls.load());
        EXPECT_EQ(fault.notices, second.sink.calls.load());

        m_subscribed = SubscribedGroup();
        m_clients.clear();
        // The server lets go of the sink with the client's group.
        ASSERT_TRUE(WaitFor([&] { return sink.References() == 1; }));
        EXPECT_TRUE(WaitFor([] { return devlane_control::FindProcess(L"tagbridge.exe") == 0; }));
    }

    DataCallbackSink m_sink; // outlives the clients, whose server may still hold it
    SubscribedGroup m_subscribed;
};
} // namespace

TEST_F(DeviceFaultsTest, AStruckDeviceShowsItsQualityRecoversAndLeavesTheOthersServed)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    for (const Fault& fault : kFaults)
    {
        SCOPED_TRACE(fault.name);
        ASSERT_NO_FATAL_FAILURE(Strike(fault));
    }
}
