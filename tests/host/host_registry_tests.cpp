// The server registry: which server object is asked to notify, and the
// runtime watchdog's single notice after the runtime is gone.
#include "OpcDaSettings.h"
#include "OpcDevlaneAPI.h"
#include "OpcServerRegistry.h"

#include "DevlaneControl.h"
#include "HostTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>

namespace
{
struct FakeServer
{
    std::atomic<int> notices{0};
    static void Notify(void* server) { ++static_cast<FakeServer*>(server)->notices; }
    static void Throw(void* server)
    {
        ++static_cast<FakeServer*>(server)->notices;
        throw 42;
    }
};

// A second watchdog on the same library, with settings of its own, whose
// notice always fails: while the runtime is down it checks and notifies every
// cycle, so its notice count counts its cycles. Letting it run some cycles
// gives the watchdog under test as many to do what it must not, on a loaded
// machine as on an idle one; the counts are read once both have ended.
class Pacer
{
public:
    explicit Pacer(COpcDevlaneAPI& devlane) : m_registry(Live(m_settings), devlane)
    {
        m_registry.AddServer(&m_server, FakeServer::Throw);
    }

    // Starts it and waits until it has run this many cycles.
    bool Run(int cycles)
    {
        return m_registry.StartWatchdog() && WaitFor([&] { return m_server.notices >= cycles; });
    }

    // Ends it; from then on Checks() is the library's check count of its whole life.
    int Stop()
    {
        m_registry.StopWatchdog();
        return m_server.notices;
    }

private:
    static const COpcDaSettings& Live(COpcDaSettings& settings)
    {
        settings.simulationEnabled = false;
        return settings;
    }

    COpcDaSettings m_settings;
    FakeServer m_server;
    COpcServerRegistry m_registry;
};

class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, DevlaneControlReset());
        m_logDir = host_test::TempFile(L"hrg");
        DeleteFileW(m_logDir.c_str());
        CreateDirectoryW(m_logDir.c_str(), nullptr);
        m_settings.simulationEnabled = false;
        m_devlane.reset(new COpcDevlaneAPI(m_settings, m_logDir.c_str()));
        m_registry.reset(new COpcServerRegistry(m_settings, *m_devlane));
    }

    void TearDown() override
    {
        m_registry.reset();
        m_devlane.reset();
        DevlaneControlReset();
        DeleteFileW((m_logDir + L"\\ErrorLog\\Error.log").c_str());
        RemoveDirectoryW((m_logDir + L"\\ErrorLog").c_str());
        RemoveDirectoryW(m_logDir.c_str());
    }

    static LONG Checks() { return DevlaneControlCallCount("EasyCheckServerFork"); }

    std::wstring m_logDir;
    COpcDaSettings m_settings;
    std::unique_ptr<COpcDevlaneAPI> m_devlane;
    std::unique_ptr<COpcServerRegistry> m_registry;
};

TEST_F(RegistryTest, ShutdownClientsAsksOnlyTheFirstLiveServer)
{
    FakeServer first, second;
    EXPECT_FALSE(m_registry->ShutdownClients()) << "no server: the caller quits by itself";

    ASSERT_EQ(S_OK, m_registry->AddServer(&first, FakeServer::Notify));
    ASSERT_EQ(S_OK, m_registry->AddServer(&second, FakeServer::Notify));
    EXPECT_TRUE(m_registry->ShutdownClients());
    EXPECT_EQ(1, first.notices);
    EXPECT_EQ(0, second.notices);

    EXPECT_EQ(S_OK, m_registry->RemoveServer(&first));
    EXPECT_EQ(S_FALSE, m_registry->RemoveServer(&first));
    EXPECT_TRUE(m_registry->ShutdownClients());
    EXPECT_EQ(1, second.notices);
    EXPECT_EQ(E_INVALIDARG, m_registry->AddServer(nullptr, FakeServer::Notify));
    EXPECT_EQ(E_INVALIDARG, m_registry->AddServer(&first, nullptr));
    EXPECT_EQ(1u, m_registry->ServerCount());
}

TEST_F(RegistryTest, WatchdogSendsExactlyOneNoticeAfterTheRuntimeIsGone)
{
    FakeServer server;
    ASSERT_EQ(S_OK, m_registry->AddServer(&server, FakeServer::Notify));
    ASSERT_TRUE(m_registry->StartWatchdog());
    ASSERT_TRUE(WaitFor([] { return Checks() >= 2; })) << "the runtime is checked every cycle";
    EXPECT_EQ(0, server.notices) << "no notice while the runtime is there";

    ASSERT_EQ(0, DevlaneControlSetRuntime(0));
    ASSERT_TRUE(WaitFor([&] { return server.notices > 0; }));
    const LONG checksUntilNotice = Checks();
    // The runtime stays away for several more cycles.
    Pacer pacer(*m_devlane);
    ASSERT_TRUE(pacer.Run(4));
    const int pacerChecks = pacer.Stop();
    m_registry->StopWatchdog();
    EXPECT_FALSE(m_registry->IsWatchdogRunning());
    EXPECT_EQ(1, server.notices);
    EXPECT_EQ(checksUntilNotice + pacerChecks, Checks()) << "the check stops once the clients were told";
}

TEST_F(RegistryTest, WatchdogWithoutServersKeepsCheckingAndTellsTheFirstThatComes)
{
    ASSERT_EQ(0, DevlaneControlSetRuntime(0));
    ASSERT_TRUE(m_registry->StartWatchdog());
    ASSERT_TRUE(WaitFor([] { return Checks() >= 3; })) << "a lost runtime with no client is checked again";

    FakeServer late;
    ASSERT_EQ(S_OK, m_registry->AddServer(&late, FakeServer::Notify));
    ASSERT_TRUE(WaitFor([&] { return late.notices > 0; }));
    Pacer pacer(*m_devlane);
    ASSERT_TRUE(pacer.Run(4));
    pacer.Stop();
    m_registry->StopWatchdog();
    EXPECT_EQ(1, late.notices);
}

TEST_F(RegistryTest, AFailedNoticeIsRepeatedNextCycle)
{
    FakeServer server;
    ASSERT_EQ(S_OK, m_registry->AddServer(&server, FakeServer::Throw));
    ASSERT_EQ(0, DevlaneControlSetRuntime(0));
    ASSERT_TRUE(m_registry->StartWatchdog());
    EXPECT_TRUE(WaitFor([&] { return server.notices >= 2; }));
}

TEST_F(RegistryTest, WatchdogNeverChecksInSimulation)
{
    m_settings.simulationEnabled = true;
    FakeServer server;
    ASSERT_EQ(S_OK, m_registry->AddServer(&server, FakeServer::Notify));
    ASSERT_EQ(0, DevlaneControlSetRuntime(0));
    ASSERT_TRUE(m_registry->StartWatchdog());
    Pacer pacer(*m_devlane);
    ASSERT_TRUE(pacer.Run(4));
    const int pacerChecks = pacer.Stop();
    m_registry->StopWatchdog();
    EXPECT_EQ(pacerChecks, Checks()) << "only the pacer asked the library";
    EXPECT_EQ(0, server.notices);
}

TEST_F(RegistryTest, StopEndsTheWatchdogWithoutWaitingOutItsPause)
{
    ASSERT_TRUE(m_registry->StartWatchdog());
    ASSERT_TRUE(WaitFor([] { return Checks() >= 1; })) << "in its pause after the first check";
    // How quickly it ends is a matter for measurement, not for this test.
    m_registry->StopWatchdog();
    EXPECT_FALSE(m_registry->IsWatchdogRunning());
}

TEST(WatchdogPause, OverrunShortensTheNextPause)
{
    EXPECT_EQ(300u, COpcServerRegistry::NextPauseMs(false, 0.0)) << "first cycle";
    EXPECT_EQ(300u, COpcServerRegistry::NextPauseMs(false, 900.0));
    EXPECT_EQ(300u, COpcServerRegistry::NextPauseMs(true, 120.0));
    EXPECT_EQ(300u, COpcServerRegistry::NextPauseMs(true, 300.0));
    EXPECT_EQ(200u, COpcServerRegistry::NextPauseMs(true, 400.0));
    EXPECT_EQ(149u, COpcServerRegistry::NextPauseMs(true, 450.7)) << "truncated to whole milliseconds";
    EXPECT_EQ(1u, COpcServerRegistry::NextPauseMs(true, 599.0));
    EXPECT_EQ(0u, COpcServerRegistry::NextPauseMs(true, 599.5));
    EXPECT_EQ(0u, COpcServerRegistry::NextPauseMs(true, 600.0));
    EXPECT_EQ(0u, COpcServerRegistry::NextPauseMs(true, 5000.0));
}
} // namespace
