#include "AddressSpaceFixture.h"

#include <string>

using namespace addrspace_test;

namespace
{
class PollingTest : public AddressSpaceTest
{
protected:
    static ULONGLONG Now() { return GetTickCount64(); }

    std::wstring WriteTable(const std::string& content) { return WriteFile(L"Simulation.csv", content); }

    // Waits until the condition holds, at most timeoutMs.
    template <class Fn>
    static bool WaitFor(Fn condition, DWORD timeoutMs = 5000)
    {
        const ULONGLONG end = Now() + timeoutMs;
        while (!condition())
        {
            if (Now() > end)
                return false;
            Sleep(10);
        }
        return true;
    }
};
} // namespace

TEST(CycleWaitTest, TheNextCycleIsDueAPeriodAfterTheLastWasDue)
{
    // (has a mark, ms since the last cycle was due, period) -> wait
    const struct
    {
        bool mark;
        double since;
        DWORD wait;
    } cases[] = {{false, 5000, 100}, {true, 0, 100}, {true, 30, 70},  {true, 60, 40},  {true, 99.5, 0},
                 {true, 100, 0},     {true, 250, 0}, {true, 1e12, 0}, {true, -3, 103}, {true, -1e12, 200}};
    for (const auto& c : cases)
        EXPECT_EQ(c.wait, OpcCycleWait(c.mark, c.since, 100)) << c.since;
}

TEST_F(PollingTest, APassLongerThanThePeriodStartsTheNextCycleAtOnce)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("A", {{"ScanCycle", "1"}})));
    ASSERT_EQ(0, DevlaneControlSetDeviceDelay("N.P", 250));
    ASSERT_EQ(1u, m_device->CacheCount());
    COpcDaDevicePoller* poller = m_device->PollerAt(0);
    ASSERT_EQ(100u, poller->ScanPeriod());
    ASSERT_EQ(S_OK, m_device->StartPolling());
    ASSERT_TRUE(WaitFor([&] { return poller->Passes() >= 4; }));
    m_device->StopPolling();
    // Only the first pass, which has nothing to measure against, is followed
    // by a sleep; every later one overran by more than a period.
    EXPECT_EQ(100u, poller->WaitedMs());
}

TEST_F(PollingTest, AStopDuringATenSecondPeriodEndsWithinOneSlice)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("Slow", {{"ScanCycle", "100"}})));
    ASSERT_EQ(10000u, m_device->PollerAt(0)->ScanPeriod());
    ASSERT_EQ(S_OK, m_device->StartPolling());
    ASSERT_TRUE(WaitFor([&] { return m_device->PollerAt(0)->Passes() == 1; }));
    Sleep(300);
    const ULONGLONG start = Now();
    m_device->StopPolling();
    EXPECT_LT(Now() - start, 1100u);
    EXPECT_FALSE(m_device->PollerAt(0)->IsRunning());
    // On its way out the thread destroyed its cache and let go of its handle.
    EXPECT_EQ(1, DevlaneControlCallCount("LT_DestroyCacheM"));
    EXPECT_EQ(1, DevlaneControlCallCount("DeleteLintorHandle"));
    EXPECT_EQ(0u, m_cache->ItemCount()); // and the item IDs left the address space

    // The simulation thread keeps the same pace.
    FreshSettings();
    UseSimulation(10000);
    ASSERT_EQ(S_OK, LoadQuietly(Analog("Sim")));
    ASSERT_EQ(S_OK, m_device->StartPolling());
    ASSERT_TRUE(WaitFor([&] { return m_device->SimulationPasses() == 1; }));
    Sleep(300);
    const ULONGLONG simStart = Now();
    m_device->StopPolling();
    EXPECT_LT(Now() - simStart, 1100u);
    EXPECT_FALSE(m_device->IsSimulationRunning());
}

TEST_F(PollingTest, ItemsWithScanCycleZeroBelongToNoCacheAndAreNeverPolled)
{
    UseRuntime();
    ASSERT_EQ(S_OK, Load(Analog("Read", {{"ScanCycle", "1"}}) + Analog("WriteOnly", {{"ScanCycle", "0"},
                                                                                     {"DataType", "Float"},
                                                                                     {"DeviceAddress", "D20"},
                                                                                     {"HighInstrumentRange", "100"},
                                                                                     {"LowInstrumentRange", "0"}})));
    ASSERT_EQ(1u, m_device->CacheCount());
    EXPECT_EQ(1u, m_device->PollerAt(0)->ItemCount());
    EXPECT_TRUE(m_cache->ValidateItemID(COpcString(L"N.P.WriteOnly"))); // still in the address space
    ASSERT_TRUE(WaitFor([&] { return m_device->PollerAt(0)->Passes() >= 3; }));
    m_device->StopPolling();
    EXPECT_GE(DevlaneControlCallCount("ReadDevice16M"), 3);
    EXPECT_EQ(0, DevlaneControlCallCount("ReadDeviceFloatM"));
}

TEST_F(PollingTest, EveryCacheGetsOneThreadOfItsOwnAndARunningOneIsLeftAlone)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("A", {{"ScanCycle", "1"}}) +
                                Analog("B", {{"ScanCycle", "2"}, {"DeviceAddress", "D1"}}) +
                                Analog("C", {{"ScanCycle", "5"}, {"DeviceAddress", "D2"}})));
    ASSERT_EQ(3u, m_device->CacheCount());
    const LONG handlesBefore = DevlaneControlCallCount("CreateLintorHandle");

    COpcDaDevicePoller* first = m_device->PollerAt(1);
    ASSERT_TRUE(first->Start());
    EXPECT_TRUE(first->IsRunning());
    EXPECT_FALSE(first->Start()); // one thread per cache, never a second
    EXPECT_FALSE(first->Launch());
    EXPECT_TRUE(first->WaitRunning());

    // The others come up together; the running one keeps its thread.
    ASSERT_EQ(S_OK, m_device->StartPolling());
    for (size_t i = 0; i < m_device->CacheCount(); ++i)
    {
        COpcDaDevicePoller* poller = m_device->PollerAt(i);
        EXPECT_TRUE(poller->IsRunning()) << i;
        EXPECT_TRUE(WaitFor([&] { return poller->Passes() >= 1; })) << i;
    }
    EXPECT_EQ(3, DevlaneControlCallCount("CreateLintorHandle") - handlesBefore);
    EXPECT_EQ(S_OK, m_device->StartPolling()); // nothing left to start
    EXPECT_EQ(3, DevlaneControlCallCount("CreateLintorHandle") - handlesBefore);

    m_device->StopPolling();
    for (size_t i = 0; i < m_device->CacheCount(); ++i)
        EXPECT_FALSE(m_device->PollerAt(i)->IsRunning()) << i;
    EXPECT_EQ(3, DevlaneControlCallCount("LT_DestroyCacheM"));
    // A poller that never ran has nothing to wait for.
    COpcDaDevicePoller idle(*m_settings, *m_api, COpcString(L"#idle"), 100);
    EXPECT_FALSE(idle.WaitRunning());
}

TEST_F(PollingTest, TheSimulationThreadAdvancesTheTableRowOncePerPassAndWraps)
{
    UseSimulation(100);
    ASSERT_TRUE(m_settings->LoadSimulationFile(COpcString(WriteTable("Level\n1\n2\n3\n").c_str())));
    ASSERT_EQ(S_OK, Load(Analog("Level", {{"Simulation", "CSV"}})));
    ASSERT_TRUE(WaitFor([&] { return m_device->SimulationPasses() >= 5; }));
    m_device->StopPolling();
    EXPECT_EQ(m_device->SimulationPasses() % 3, m_settings->simulationRow);
    EXPECT_EQ(0, DevlaneControlCallCount("ReadDevice16M"));
}
