// The module: reading the command line, the program directory, and the
// module lock count that builds and tears down the server-wide objects and
// ends the message loop.
#include "OpcServerObjects.h"
#include "OpcServiceModule.h"

#include "DevlaneControl.h"
#include "HostTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{
TEST(RunMode, OnlyASlashSwitchInAnyCaseRegistersOrUnregisters)
{
    const struct
    {
        const wchar_t* line;
        OpcRunMode mode;
    } cases[] = {
        {L"C:\\bin\\tagbridge.exe /regserver", OpcRunMode::RegisterLocalServer},
        {L"C:\\bin\\tagbridge.exe /RegServer", OpcRunMode::RegisterLocalServer},
        {L"C:\\bin\\tagbridge.exe /REGSERVER", OpcRunMode::RegisterLocalServer},
        {L"\"C:\\bin\\tagbridge.exe\" /  Service", OpcRunMode::RegisterService},
        {L"tagbridge.exe /UnregServer", OpcRunMode::Unregister},
        {L"tagbridge.exe /unregserver /regserver", OpcRunMode::Unregister}, // only the first switch counts
        {L"tagbridge.exe /regserver\tmore words", OpcRunMode::RegisterLocalServer},
        {L"tagbridge.exe -regserver", OpcRunMode::Run},
        {L"tagbridge.exe /regserver2", OpcRunMode::Run},
        {L"tagbridge.exe -Embedding", OpcRunMode::Run},
        {L"tagbridge.exe -Service", OpcRunMode::Run},
        {L"tagbridge.exe /", OpcRunMode::Run},
        {L"tagbridge.exe /   ", OpcRunMode::Run},
        {L"tagbridge.exe", OpcRunMode::Run},
        {L"", OpcRunMode::Run},
        {nullptr, OpcRunMode::Run},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.line != nullptr ? c.line : L"(null)");
        EXPECT_EQ(static_cast<int>(c.mode), static_cast<int>(ParseRunMode(c.line)));
    }
}

TEST(ProgramDirectory, IsTheFolderOfTheRunningProgramWithoutTrailingSeparator)
{
    COpcString directory = ProgramDirectory();
    ASSERT_FALSE(directory.IsEmpty());
    EXPECT_EQ(host_test::Lower(host_test::BinDirectory()), host_test::Lower(directory.Text()));
}

// Counts the builds and can make them fail; the objects themselves are the real ones.
struct BuildLog
{
    static int builds;
    static HRESULT failWith;
    static HRESULT Build(COpcServerObjects& objects, bool simulation)
    {
        ++builds;
        if (FAILED(failWith))
            return failWith;
        return objects.Build(true);
    }
    // Real objects whose end reaches the device library: their settings say
    // the runtime is in use. The watchdog is not needed and is stopped first,
    // so nothing reads the settings while they change.
    static HRESULT BuildForRuntime(COpcServerObjects& objects, bool simulation)
    {
        HRESULT hr = Build(objects, simulation);
        if (SUCCEEDED(hr))
        {
            objects.Registry()->StopWatchdog();
            objects.Settings()->simulationEnabled = false;
            objects.Settings()->outputLogDisable = false;
        }
        return hr;
    }
};
int BuildLog::builds = 0;
HRESULT BuildLog::failWith = S_OK;

const OpcClassEntry kNoClasses[] = {{nullptr, nullptr, nullptr, nullptr, nullptr}};
const OpcCategoryEntry kNoCategories[] = {{nullptr, nullptr, nullptr}};
// {0D7F2B1E-8C44-4E0A-9B61-3A5C7E9F1D22}
const GUID kTestAppId = {0x0d7f2b1e, 0x8c44, 0x4e0a, {0x9b, 0x61, 0x3a, 0x5c, 0x7e, 0x9f, 0x1d, 0x22}};

class ModuleLockTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        BuildLog::builds = 0;
        BuildLog::failWith = S_OK;
        SetServerObjectsBuilder(BuildLog::Build);
        ResetServerState(false);
        DrainQuit();
    }

    void TearDown() override
    {
        SetServerModule(nullptr);
        ResetServerState(false);
        SetServerObjectsBuilder(nullptr);
        DrainQuit();
    }

    // Stands in for the message loop on the test's thread.
    void AttachModule(bool service)
    {
        ResetServerState(service);
        m_module.AttachMainThread();
        SetServerModule(&m_module);
    }

    static bool QuitPosted()
    {
        MSG msg;
        return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
    }

    static void DrainQuit()
    {
        while (QuitPosted())
        {
        }
    }

    COpcServiceModule m_module{nullptr,    L"TbHostTest", L"TbHostTestService", L"Host test",
                               kTestAppId, kNoClasses,    kNoCategories};
};

TEST_F(ModuleLockTest, FirstLockBuildsOnceAndLastReleaseTearsDownAndQuits)
{
    AttachModule(false);
    ASSERT_EQ(S_OK, AddServerLock());
    ASSERT_EQ(S_OK, AddServerLock());
    EXPECT_EQ(1, BuildLog::builds);
    EXPECT_EQ(2, ServerLockCount());
    ASSERT_NE(nullptr, ServerSettings());
    ASSERT_NE(nullptr, ServerDevlaneAPI());
    ASSERT_NE(nullptr, ServerRegistry());
    ASSERT_NE(nullptr, ServerAddressSpace());
    EXPECT_TRUE(ServerRegistry()->IsWatchdogRunning());

    // One object left: the process keeps running.
    EXPECT_EQ(0, ReleaseServerLock());
    EXPECT_FALSE(QuitPosted());
    EXPECT_NE(nullptr, ServerSettings());

    EXPECT_EQ(0, ReleaseServerLock());
    EXPECT_TRUE(QuitPosted());
    EXPECT_EQ(nullptr, ServerSettings());
    EXPECT_EQ(nullptr, ServerRegistry());
    EXPECT_EQ(nullptr, ServerAddressSpace());
    EXPECT_EQ(0u, m_module.ExitCode());
}

TEST_F(ModuleLockTest, ObjectsAreNotHandedOutAgainOnceTornDown)
{
    AttachModule(false);
    ASSERT_EQ(S_OK, AddServerLock());
    ReleaseServerLock();
    DrainQuit();

    // A client arriving while the process ends gets a clean refusal.
    EXPECT_EQ(CO_E_SERVER_STOPPING, AddServerLock());
    EXPECT_EQ(nullptr, ServerSettings());
    EXPECT_EQ(1, BuildLog::builds);
    ReleaseServerLock();
    EXPECT_EQ(0, ServerLockCount());
}

TEST_F(ModuleLockTest, FailedBuildLeavesNothingAndTheNextLockTriesAgain)
{
    AttachModule(false);
    BuildLog::failWith = E_FAIL;
    EXPECT_EQ(E_FAIL, AddServerLock());
    EXPECT_EQ(nullptr, ServerSettings());
    EXPECT_EQ(nullptr, ServerRegistry());

    // The failed object has not released yet when the next one comes.
    BuildLog::failWith = S_OK;
    EXPECT_EQ(S_OK, AddServerLock());
    EXPECT_EQ(2, BuildLog::builds);
    EXPECT_NE(nullptr, ServerSettings());

    ReleaseServerLock();
    EXPECT_FALSE(QuitPosted());
    EXPECT_NE(nullptr, ServerSettings());
    ReleaseServerLock();
    EXPECT_TRUE(QuitPosted());
}

TEST_F(ModuleLockTest, ServiceEndsOnlyAfterAStopRequest)
{
    AttachModule(true);
    ASSERT_EQ(S_OK, AddServerLock()); // the service's own lock
    ASSERT_EQ(S_OK, AddServerLock()); // a client's server object

    ReleaseServerLock();
    EXPECT_FALSE(QuitPosted()) << "a service without a stop request keeps running";
    m_module.PostQuit(7);
    EXPECT_FALSE(QuitPosted());
    EXPECT_EQ(0u, m_module.ExitCode());

    ASSERT_EQ(S_OK, AddServerLock());
    RequestStop();
    ReleaseServerLock();
    EXPECT_TRUE(QuitPosted()) << "the service's own lock is the last one after the stop request";
    EXPECT_NE(nullptr, ServerSettings());

    ReleaseServerLock(); // the service's own, after its loop
    EXPECT_EQ(nullptr, ServerSettings());
}

TEST_F(ModuleLockTest, LastReleaseOnAnotherThreadLeavesTheTeardownToTheLoopThread)
{
    AttachModule(false);
    ASSERT_EQ(S_OK, AddServerLock());
    std::thread([] { ReleaseServerLock(); }).join();

    EXPECT_TRUE(QuitPosted());
    EXPECT_NE(nullptr, ServerSettings()) << "torn down on the releasing thread";
    EXPECT_EQ(CO_E_SERVER_STOPPING, AddServerLock());
    ReleaseServerLock();
    DrainQuit();

    FinishServerObjects();
    EXPECT_EQ(nullptr, ServerSettings());
    EXPECT_EQ(nullptr, ServerRegistry());
}

// Stop messages the device library received.
int StopMessages()
{
    int stops = 0;
    for (LONG i = 0; i < DevlaneControlOutputLogCount(); ++i)
    {
        LONG level = 0;
        char source[64] = {};
        char message[512] = {};
        if (DevlaneControlReadOutputLog(i, &level, source, sizeof source, message, sizeof message) == 0 && level == 16)
            ++stops;
    }
    return stops;
}

// Each case starts with one lock held (a client's, or the service's own),
// lets clients act while the loop ends, ends it as Run does, then lets the
// remaining locks go. The library hears of the end exactly once, and the
// objects stay only while live server objects use them.
TEST_F(ModuleLockTest, EveryWayOutEndsTheDeviceLibraryExactlyOnce)
{
    const struct
    {
        const char* name;
        bool service;
        void (*whileTheLoopEnds)();
        bool objectsStay;
        void (*afterTheLoop)();
    } cases[] = {
        {"last release on the loop thread", false, [] { ReleaseServerLock(); }, false, [] {}},
        {"last release on an RPC thread", false, [] { std::thread([] { ReleaseServerLock(); }).join(); }, false, [] {}},
        {"a late activation still counted", false,
         []
         {
             std::thread([] { ReleaseServerLock(); }).join();
             EXPECT_EQ(CO_E_SERVER_STOPPING, AddServerLock());
         },
         false, [] { ReleaseServerLock(); }},
        {"a client still connected", false, [] {}, true, [] { ReleaseServerLock(); }},
        {"a client connecting to the stopping service", true,
         []
         {
             RequestStop();
             EXPECT_EQ(S_OK, AddServerLock());
         },
         true, [] { ReleaseServerLock(); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        AttachModule(c.service);
        SetServerObjectsBuilder(BuildLog::BuildForRuntime);
        ASSERT_EQ(0, DevlaneControlReset());
        ASSERT_EQ(S_OK, AddServerLock());
        c.whileTheLoopEnds();

        if (c.service)
            ReleaseServerLock();
        FinishServerObjects();
        EXPECT_EQ(c.objectsStay, ServerSettings() != nullptr);
        EXPECT_EQ(1, StopMessages());

        c.afterTheLoop();
        FinishServerObjects();
        EXPECT_EQ(0, ServerLockCount());
        EXPECT_EQ(nullptr, ServerSettings());
        EXPECT_EQ(1, StopMessages());
        DrainQuit();
    }
}

TEST_F(ModuleLockTest, ConcurrentFirstLocksBuildOnce)
{
    AttachModule(false);
    std::thread threads[6];
    HRESULT results[6] = {};
    for (int i = 0; i < 6; ++i)
        threads[i] = std::thread([&results, i] { results[i] = AddServerLock(); });
    for (auto& t : threads)
        t.join();
    for (HRESULT hr : results)
        EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1, BuildLog::builds);
    EXPECT_EQ(6, ServerLockCount());
    for (int i = 0; i < 6; ++i)
        ReleaseServerLock();
    EXPECT_EQ(nullptr, ServerSettings());
}

TEST(ModuleQuit, QuitOutsideAServiceCarriesTheExitCode)
{
    ResetServerState(false);
    COpcServiceModule module(nullptr, L"TbHostTest", L"TbHostTestService", L"Host test", kTestAppId, kNoClasses,
                             kNoCategories);
    module.AttachMainThread();
    module.PostQuit(5);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(5u, module.ExitCode());
}
} // namespace
