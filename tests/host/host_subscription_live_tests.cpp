// Subscriptions of the real server through the proxy: the reports of active
// groups, deadbands, buffered sampling, keep-alives and the item deadband and
// sampling interfaces. The server runs from a folder of its own with a few
// tags polled every 100 ms (tests/host/data/SubscriptionTags.xml).
#include "DataCallbackSink.h"
#include "LiveServerFixture.h"

#include <oleauto.h>

#include <tuple>

using namespace host_test;

namespace
{
double Number(const VARIANT& value)
{
    VARIANT number;
    VariantInit(&number);
    return SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(&value), 0, VT_R8)) ? number.dblVal : -1e300;
}

// Values a data change reports for one client handle, oldest first.
std::vector<double> ValuesOf(const CallbackRecord& record, OPCHANDLE client)
{
    std::vector<double> found;
    for (const CallbackEntry& entry : record.entries)
        if (entry.client == client)
            found.push_back(Number(entry.value));
    return found;
}

using Records = std::vector<CallbackRecord>;

// Client handles of the items.
enum : OPCHANDLE
{
    kLevel = 1,
    kCount = 2,
    kRamp = 3
};

// Generous: the server, its runtime and the client all share a slow machine.
const DWORD kCeilingMs = 30000;

class LiveSubscriptionTest : public LiveServerTest
{
protected:
    const wchar_t* FolderName() const override { return L"host-subscriptions"; }

    void SetUp() override
    {
        LiveServerTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(RegisterAndConnect());
    }

    void TearDown() override
    {
        if (m_point && m_cookie != 0)
            m_point->Unadvise(m_cookie);
        m_point.Reset();
        m_state.Reset();
        m_items.Reset();
        m_group.Reset();
        LiveServerTest::TearDown();
    }

    // An inactive group with the given rate and deadband, advised to the sink.
    void MakeGroup(DWORD rate, FLOAT deadband = 0.0f)
    {
        DWORD revised = 0;
        OPCHANDLE handle = 0;
        ASSERT_EQ(S_OK, m_server->AddGroup(L"Subscribed", FALSE, rate, 9, nullptr, &deadband, 1033, &handle, &revised,
                                           IID_IUnknown, m_group.Receive()));
        m_items = COpcComPtr<IOPCItemMgt>::QueryFrom(m_group.Get(), IID_IOPCItemMgt);
        m_state = COpcComPtr<IOPCGroupStateMgt2>::QueryFrom(m_group.Get(), IID_IOPCGroupStateMgt2);
        auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(m_group.Get(), IID_IConnectionPointContainer);
        ASSERT_TRUE(m_items && m_state && container);
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, m_point.Receive()));
        ASSERT_EQ(S_OK, m_point->Advise(static_cast<IOPCDataCallback*>(&m_sink), &m_cookie));
    }

    // Adds (tag name, client handle, active) items; their server handles.
    std::vector<OPCHANDLE> Add(const std::vector<std::tuple<const wchar_t*, OPCHANDLE, BOOL>>& items)
    {
        std::vector<std::wstring> ids;
        for (const auto& item : items)
            ids.push_back(std::wstring(L"Line1.PLC1.") + std::get<0>(item));
        std::vector<OPCITEMDEF> defs(items.size());
        for (size_t i = 0; i < items.size(); ++i)
        {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].hClient = std::get<1>(items[i]);
            defs[i].bActive = std::get<2>(items[i]);
        }
        COpcTaskMem<OPCITEMRESULT> results;
        COpcTaskMem<HRESULT> errors;
        std::vector<OPCHANDLE> handles;
        EXPECT_EQ(S_OK,
                  m_items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Receive(), errors.Receive()));
        if (results.Get() == nullptr)
            return handles;
        for (size_t i = 0; i < items.size(); ++i)
            handles.push_back(results.Get()[i].hServer);
        return handles;
    }

    void Activate()
    {
        BOOL active = TRUE;
        DWORD revised = 0; // an [out] pointer the proxy will not pass as null
        ASSERT_EQ(S_OK, m_state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr));
    }

    devlane_control::Client Runtime()
    {
        return devlane_control::Client(devlane_control::FindProcess(L"tagbridge.exe"));
    }

    // A value as the server reads it: from its cache (as the subscription
    // last sampled it) or from the device.
    double ReadValue(OPCHANDLE item, OPCDATASOURCE source = OPC_DS_CACHE)
    {
        auto sync = COpcComPtr<IOPCSyncIO>::QueryFrom(m_group.Get(), IID_IOPCSyncIO);
        COpcTaskMem<OPCITEMSTATE> states;
        COpcTaskMem<HRESULT> errors;
        if (!sync || FAILED(sync->Read(source, 1, &item, states.Receive(), errors.Receive())))
            return -1e300;
        VARIANT number;
        VariantInit(&number);
        HRESULT hr = VariantChangeType(&number, &states.Get()[0].vDataValue, 0, VT_R8);
        VariantClear(&states.Get()[0].vDataValue);
        return SUCCEEDED(hr) ? number.dblVal : -1e300;
    }

    // Sets a device value and waits until the server has read it.
    void SetDevice(OPCHANDLE item, const char* address, const char* type, int value)
    {
        ASSERT_TRUE(Runtime().Set("Line1.PLC1", address, type, std::to_string(value)));
        ASSERT_TRUE(WaitFor([&] { return ReadValue(item, OPC_DS_DEVICE) == value; }, kCeilingMs));
    }

    static size_t DataCalls(const Records& changes)
    {
        size_t n = 0;
        for (const auto& change : changes)
            n += change.count > 0 ? 1 : 0;
        return n;
    }

    COpcComPtr<IUnknown> m_group;
    COpcComPtr<IOPCItemMgt> m_items;
    COpcComPtr<IOPCGroupStateMgt2> m_state;
    COpcComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
    DataCallbackSink m_sink;
};

TEST_F(LiveSubscriptionTest, ActivationReportsEveryActiveItemThenOncePerUpdateRate)
{
    MakeGroup(1000);
    const std::vector<OPCHANDLE> handles =
        Add({{L"Level", kLevel, TRUE}, {L"Count", kCount, TRUE}, {L"Ramp", kRamp, FALSE}});
    ASSERT_EQ(3u, handles.size());
    Activate();

    ASSERT_TRUE(m_sink.WaitUntil([](const Records& c) { return !c.empty(); }, kCeilingMs));
    const CallbackRecord first = m_sink.Records()[0];
    std::vector<OPCHANDLE> clients;
    for (const CallbackEntry& entry : first.entries)
        clients.push_back(entry.client);
    EXPECT_EQ((std::vector<OPCHANDLE>{kLevel, kCount}), clients) << "every active item, and only those";
    EXPECT_EQ(S_OK, first.masterError);
    EXPECT_EQ(0, m_sink.Overlaps()) << "one group's callbacks never overlap";

    // The ramp moves all the time: once active it is reported at every update, no more often.
    OPCHANDLE ramp = handles[2];
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_OK, m_items->SetActiveState(1, &ramp, TRUE, errors.Receive()));
    const ULONGLONG start = GetTickCount64();
    const size_t before = m_sink.Records().size();
    ASSERT_TRUE(m_sink.WaitUntil([before](const Records& c) { return c.size() >= before + 4; }, kCeilingMs));
    const Records changes = m_sink.Records();
    const ULONGLONG seconds = (GetTickCount64() - start) / 1000;
    EXPECT_LE(changes.size() - before, seconds + 2) << "at most one report per second";
    // (The first report may have been under way before the ramp became active.)
    for (size_t i = before + 1; i < changes.size(); ++i)
        EXPECT_EQ(1u, ValuesOf(changes[i], kRamp).size()) << "no buffering: the newest sample only";
}

TEST_F(LiveSubscriptionTest, ChangesWithinTheDeadbandAreNotReported)
{
    MakeGroup(500, 10.0f); // 10 % of the EU range 0..200: 20
    const std::vector<OPCHANDLE> handles = Add({{L"Level", kLevel, TRUE}});
    ASSERT_EQ(1u, handles.size());
    SetDevice(handles[0], "D200", "int16", 100);
    Activate();
    ASSERT_TRUE(m_sink.WaitUntil([](const Records& c)
                                 { return c.size() == 1 && ValuesOf(c[0], kLevel) == std::vector<double>{100}; },
                                 kCeilingMs));

    // Each step is compared with the value last reported.
    const struct
    {
        int value;
        bool reported;
    } steps[] = {{115, false}, {120, true}, {101, false}, {99, true}, {80, false}, {78, true}, {90, false}};
    std::vector<double> expected = {100};
    for (const auto& step : steps)
    {
        SCOPED_TRACE(step.value);
        ASSERT_TRUE(Runtime().Set("Line1.PLC1", "D200", "int16", std::to_string(step.value)));
        if (step.reported)
        {
            expected.push_back(step.value);
            ASSERT_TRUE(m_sink.WaitUntil(
                [&](const Records& c)
                { return ValuesOf(c.back(), kLevel) == std::vector<double>{static_cast<double>(step.value)}; },
                kCeilingMs));
        }
        else
        {
            // Sampled once the cache holds it; a report of it would be queued by then.
            ASSERT_TRUE(WaitFor([&] { return ReadValue(handles[0]) == step.value; }, kCeilingMs));
        }
    }
    std::vector<double> reported;
    for (const CallbackRecord& change : m_sink.Records())
        for (double v : ValuesOf(change, kLevel))
            reported.push_back(v);
    EXPECT_EQ(expected, reported);
}

TEST_F(LiveSubscriptionTest, AQualityChangeAloneIsReported)
{
    MakeGroup(200);
    const std::vector<OPCHANDLE> handles = Add({{L"Level", kLevel, TRUE}});
    ASSERT_EQ(1u, handles.size());
    SetDevice(handles[0], "D200", "int16", 50);
    Activate();
    ASSERT_TRUE(m_sink.WaitUntil(
        [](const Records& c) {
            return !c.empty() && ValuesOf(c.back(), kLevel) == std::vector<double>{50} &&
                   c.back().entries[0].quality == 0xC0;
        },
        kCeilingMs));
    // Failed polls keep the value and lower its quality to "last known".
    ASSERT_TRUE(Runtime().Inject("ReadDevice16M", 0xC0B00010, 30));
    ASSERT_TRUE(m_sink.WaitUntil([](const Records& c)
                                 { return !c.empty() && c.back().count == 1 && c.back().entries[0].quality != 0xC0; },
                                 kCeilingMs));
    const CallbackRecord lowered = m_sink.Records().back();
    EXPECT_EQ(50.0, Number(lowered.entries[0].value));
    EXPECT_EQ(0x14, lowered.entries[0].quality);
    EXPECT_EQ(S_FALSE, lowered.masterQuality);
}

TEST_F(LiveSubscriptionTest, ABufferedItemReportsItsNewestSixteenSamplesAfterAnOverflow)
{
    MakeGroup(3000);
    const std::vector<OPCHANDLE> handles = Add({{L"Ramp", kRamp, TRUE}});
    ASSERT_EQ(1u, handles.size());
    OPCHANDLE ramp = handles[0];
    auto sampling = COpcComPtr<IOPCItemSamplingMgt>::QueryFrom(m_group.Get(), IID_IOPCItemSamplingMgt);
    ASSERT_TRUE(sampling);
    // Sampled every 100 ms, reported every 3 s: some thirty changes of the ramp per report.
    DWORD requested = 50;
    COpcTaskMem<DWORD> revised;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_FALSE, sampling->SetItemSamplingRate(1, &ramp, &requested, revised.Receive(), errors.Receive()));
    EXPECT_EQ(100u, revised.Get()[0]);
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, errors.Get()[0]);
    BOOL enable = TRUE;
    errors.Reset();
    ASSERT_EQ(S_OK, sampling->SetItemBufferEnable(1, &ramp, &enable, errors.Receive()));
    Activate();

    // The first report comes at activation with one sample; the next one holds the overflow.
    ASSERT_TRUE(m_sink.WaitUntil([](const Records& c) { return c.size() >= 2; }, kCeilingMs));
    const CallbackRecord overflowed = m_sink.Records()[1];
    ASSERT_EQ(16u, overflowed.count);
    EXPECT_EQ(OPC_S_DATAQUEUEOVERFLOW, overflowed.masterError);
    for (const CallbackEntry& entry : overflowed.entries)
        EXPECT_EQ(OPC_S_DATAQUEUEOVERFLOW, entry.error);
}

TEST_F(LiveSubscriptionTest, KeepAlivesComeWithoutChangesAndWhileCallbacksAreDisabled)
{
    MakeGroup(1000);
    const std::vector<OPCHANDLE> handles = Add({{L"Count", kCount, TRUE}});
    ASSERT_EQ(1u, handles.size());
    SetDevice(handles[0], "D202", "int32", 7);
    DWORD revised = 0;
    ASSERT_EQ(S_OK, m_state->SetKeepAlive(2000, &revised));
    Activate();

    const auto keepAlives = [](size_t from)
    {
        return [from](const Records& c)
        {
            size_t n = 0;
            for (size_t i = from; i < c.size(); ++i)
                n += c[i].count == 0 ? 1 : 0;
            return n >= 2;
        };
    };
    ASSERT_TRUE(m_sink.WaitUntil(keepAlives(0), kCeilingMs));
    EXPECT_EQ(1u, DataCalls(m_sink.Records())) << "the report at activation, then keep-alives only";

    // Disabled, changes are consumed without a callback; the keep-alives go on.
    auto async = COpcComPtr<IOPCAsyncIO2>::QueryFrom(m_group.Get(), IID_IOPCAsyncIO2);
    ASSERT_TRUE(async);
    ASSERT_EQ(S_OK, async->SetEnable(FALSE));
    const size_t from = m_sink.Records().size();
    for (int value = 8; value < 12; ++value)
    {
        ASSERT_TRUE(Runtime().Set("Line1.PLC1", "D202", "int32", std::to_string(value)));
        // Sampled by the subscription once its cache holds the value.
        ASSERT_TRUE(WaitFor([&] { return ReadValue(handles[0]) == value; }, kCeilingMs));
    }
    ASSERT_TRUE(m_sink.WaitUntil(keepAlives(from), kCeilingMs));
    const Records changes = m_sink.Records();
    for (size_t i = from; i < changes.size(); ++i)
        EXPECT_EQ(0u, changes[i].count);
}

TEST_F(LiveSubscriptionTest, ItemDeadbandAndSamplingSettingsFollowTheirRules)
{
    MakeGroup(1000);
    const std::vector<OPCHANDLE> added = Add({{L"Level", kLevel, TRUE}});
    ASSERT_EQ(1u, added.size());
    auto deadbands = COpcComPtr<IOPCItemDeadbandMgt>::QueryFrom(m_group.Get(), IID_IOPCItemDeadbandMgt);
    auto sampling = COpcComPtr<IOPCItemSamplingMgt>::QueryFrom(m_group.Get(), IID_IOPCItemSamplingMgt);
    ASSERT_TRUE(deadbands && sampling);
    OPCHANDLE handles[2] = {added[0], 0xBADBAD};

    COpcTaskMem<FLOAT> deadband;
    COpcTaskMem<DWORD> rates;
    COpcTaskMem<HRESULT> errors;
    EXPECT_EQ(S_FALSE, deadbands->GetItemDeadband(2, handles, deadband.Receive(), errors.Receive()));
    EXPECT_EQ(OPC_E_DEADBANDNOTSET, errors.Get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);
    FLOAT values[2] = {100.5f, 5.0f};
    EXPECT_EQ(S_FALSE, deadbands->SetItemDeadband(1, handles, values, errors.Receive()));
    EXPECT_EQ(E_INVALIDARG, errors.Get()[0]);
    EXPECT_EQ(S_OK, deadbands->SetItemDeadband(1, handles, &values[1], errors.Receive()));
    EXPECT_EQ(S_OK, deadbands->GetItemDeadband(1, handles, deadband.Receive(), errors.Receive()));
    EXPECT_EQ(5.0f, deadband.Get()[0]);
    EXPECT_EQ(S_OK, deadbands->ClearItemDeadband(1, handles, errors.Receive()));
    EXPECT_EQ(S_FALSE, deadbands->ClearItemDeadband(1, handles, errors.Receive()));
    EXPECT_EQ(OPC_E_DEADBANDNOTSET, errors.Get()[0]);
    EXPECT_EQ(E_INVALIDARG, deadbands->SetItemDeadband(0, handles, values, errors.Receive()));

    // Requested rate -> revised rate and result; the grid is 100 ms.
    const struct
    {
        DWORD requested;
        DWORD revised;
        HRESULT result;
    } rateCases[] = {{0, 100, OPC_S_UNSUPPORTEDRATE}, {150, 200, OPC_S_UNSUPPORTEDRATE}, {200, 200, S_OK}};
    for (const auto& c : rateCases)
    {
        SCOPED_TRACE(c.requested);
        DWORD requested = c.requested;
        EXPECT_EQ(c.result == S_OK ? S_OK : S_FALSE,
                  sampling->SetItemSamplingRate(1, handles, &requested, rates.Receive(), errors.Receive()));
        EXPECT_EQ(c.revised, rates.Get()[0]);
        EXPECT_EQ(c.result, errors.Get()[0]);
        EXPECT_EQ(S_OK, sampling->GetItemSamplingRate(1, handles, rates.Receive(), errors.Receive()));
        EXPECT_EQ(c.revised, rates.Get()[0]);
    }
    EXPECT_EQ(S_OK, sampling->ClearItemSamplingRate(1, handles, errors.Receive()));
    EXPECT_EQ(S_FALSE, sampling->GetItemSamplingRate(1, handles, rates.Receive(), errors.Receive()));
    EXPECT_EQ(OPC_E_RATENOTSET, errors.Get()[0]);

    COpcTaskMem<BOOL> enabled;
    EXPECT_EQ(S_OK, sampling->GetItemBufferEnable(1, handles, enabled.Receive(), errors.Receive()));
    EXPECT_FALSE(enabled.Get()[0]);
}
} // namespace

namespace
{
ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

size_t DataChanges(const Records& records)
{
    size_t n = 0;
    for (const CallbackRecord& r : records)
        n += r.kind == CallbackRecord::DataChange && r.count > 0 ? 1 : 0;
    return n;
}
} // namespace

TEST_F(LiveSubscriptionTest, ASlowSinkGetsItsReportsOneAtATimeAndNeverAnOlderValue)
{
    // A client three times slower than the group's rate: reports pile up behind it.
    m_sink.during = [] { Sleep(300); };
    MakeGroup(100);
    Add({{L"Ramp", kRamp, TRUE}});
    Activate();
    ASSERT_TRUE(m_sink.WaitUntil([](const Records& r) { return DataChanges(r) >= 6; }, kCeilingMs));
    EXPECT_EQ(0, m_sink.Overlaps());
    ULONGLONG newest = 0;
    for (const CallbackRecord& r : m_sink.Records())
    {
        for (const CallbackEntry& entry : r.entries)
        {
            EXPECT_GE(Ticks(entry.stamp), newest) << "an older sample after a newer one";
            newest = Ticks(entry.stamp);
        }
    }
}

TEST_F(LiveSubscriptionTest, AKilledSubscriberLeavesTheOthersServed)
{
    // Another client process subscribes, shows a change, and dies with its subscription.
    const std::wstring output = TempFile(L"sub");
    Child doomed;
    ASSERT_TRUE(doomed.Start(L"\"" + ProgramPath(L"opcprobe.exe") + L"\" watch Line1.PLC1.Ramp rate=100 duration=60000",
                             output));
    ASSERT_TRUE(
        WaitFor([&] { return ReadFileText(output).find("Line1.PLC1.Ramp = ") != std::string::npos; }, kCeilingMs));
    const DWORD pid = devlane_control::FindProcess(L"tagbridge.exe");
    doomed.Kill();
    DeleteFileW(output.c_str());

    // The server goes on reporting to this client, report after report.
    MakeGroup(100);
    Add({{L"Ramp", kRamp, TRUE}});
    Activate();
    EXPECT_TRUE(m_sink.WaitUntil([](const Records& r) { return DataChanges(r) >= 10; }, kCeilingMs));
    EXPECT_EQ(pid, devlane_control::FindProcess(L"tagbridge.exe"));
    // The dead client's objects wait for COM's collection; let the server end now.
    if (m_point && m_cookie != 0)
        m_point->Unadvise(m_cookie);
    m_cookie = 0;
    m_point.Reset();
    m_state.Reset();
    m_items.Reset();
    m_group.Reset();
    m_clients.clear();
    QuitThreadsOf(pid);
}
