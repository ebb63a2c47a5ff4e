#include "OpcDaCache.h"
#include "OpcDaGroup.h"
#include "OpcDaSettings.h"
#include "OpcDevlaneAPI.h"
#include "OpcHandle.h"
#include "OpcServerHost.h"
#include "OpcServerObject.h"

#include "FailingAllocation.h"
#include "ShutdownSink.h"

#include <opcerror.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace
{
// The process the server objects live in, reduced to what they ask of it.
class FakeHost : public IOpcServerHost
{
public:
    FakeHost() : api(settings), cache(settings, api)
    {
        settings.simulationEnabled = true;
        settings.simulationInterval = 100;
        cache.SetState(OPC_STATUS_RUNNING);
        version.description = COpcString(L"Test server");
        version.major = 1;
        version.minor = 0;
        version.build = 3;
        version.revision = 7;
    }
    HRESULT AddServerLock() override
    {
        ++locks;
        return lockResult;
    }
    void ReleaseServerLock() override { --locks; }
    void RequestStop() override { ++stopRequests; }
    COpcDaCache* AddressSpace() override { return &cache; }
    COpcDaSettings* Settings() override { return &settings; }
    COpcDevlaneAPI* DeviceAccess() override { return &api; }
    const COpcVersionInfo& VersionInfo() override { return version; }
    void RegisterServer(COpcServerObject*) override { ++registered; }
    void UnregisterServer(COpcServerObject*) override { --registered; }

    COpcDaSettings settings;
    COpcDevlaneAPI api;
    COpcDaCache cache;
    COpcVersionInfo version;
    HRESULT lockResult = S_OK;
    int locks = 0;
    int registered = 0;
    int stopRequests = 0;
};

class ServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        OpcSetServerHost(&host);
        ASSERT_EQ(S_OK, OpcCreateServerObject(nullptr, m_unknown.Receive()));
        ASSERT_EQ(S_OK, m_unknown->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(m_server.Receive())));
    }
    void TearDown() override
    {
        m_server.Reset();
        m_unknown.Reset();
        EXPECT_EQ(0, host.locks);
        EXPECT_EQ(0, host.registered);
        OpcSetServerHost(nullptr);
    }

    // Adds a group and returns its state interface.
    HRESULT Add(const wchar_t* name, DWORD rate, COpcComPtr<IOPCGroupStateMgt2>& group, OPCHANDLE* handle = nullptr,
                DWORD* revised = nullptr)
    {
        OPCHANDLE h = 0;
        DWORD r = 0;
        HRESULT hr = m_server->AddGroup(name, FALSE, rate, 42, nullptr, nullptr, 1033, &h, &r, IID_IOPCGroupStateMgt2,
                                        reinterpret_cast<LPUNKNOWN*>(group.Receive()));
        if (handle)
            *handle = h;
        if (revised)
            *revised = r;
        return hr;
    }

    std::wstring NameOf(IOPCGroupStateMgt2* group)
    {
        DWORD rate;
        BOOL active;
        LPWSTR name = nullptr;
        LONG bias;
        FLOAT deadband;
        DWORD lcid;
        OPCHANDLE client, server;
        if (FAILED(group->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &server)))
            return L"<failed>";
        std::wstring result = name;
        CoTaskMemFree(name);
        return result;
    }

    DWORD GroupCount()
    {
        OPCSERVERSTATUS* status = nullptr;
        m_server->GetStatus(&status);
        DWORD count = status->dwGroupCount;
        CoTaskMemFree(status->szVendorInfo);
        CoTaskMemFree(status);
        return count;
    }

    FakeHost host;
    COpcComPtr<IUnknown> m_unknown;
    COpcComPtr<IOPCServer> m_server;
};
} // namespace

TEST_F(ServerTest, StatusRightAfterCreation)
{
    EXPECT_EQ(1, host.locks);
    EXPECT_EQ(1, host.registered);
    EXPECT_EQ(E_INVALIDARG, m_server->GetStatus(nullptr));
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(S_OK, m_server->GetStatus(&status));
    EXPECT_EQ(0u, status->ftLastUpdateTime.dwLowDateTime | status->ftLastUpdateTime.dwHighDateTime);
    EXPECT_NE(0u, status->ftStartTime.dwHighDateTime);
    EXPECT_EQ(0xFFFFFFFFu, status->dwBandWidth);
    EXPECT_EQ(0u, status->dwGroupCount);
    EXPECT_EQ(OPC_STATUS_RUNNING, status->dwServerState);
    EXPECT_EQ(1, status->wMajorVersion);
    EXPECT_EQ(307, status->wBuildNumber);
    EXPECT_STREQ(L"Test server", status->szVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    host.cache.SetState(OPC_STATUS_NOCONFIG);
    m_server->GetStatus(&status);
    EXPECT_EQ(OPC_STATUS_NOCONFIG, status->dwServerState);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST(BuildNumber, SmallBuildsFoldTheRevisionIn)
{
    EXPECT_EQ(307, OpcReportedBuildNumber(3, 7));
    EXPECT_EQ(3, OpcReportedBuildNumber(3, 0));
    EXPECT_EQ(300, OpcReportedBuildNumber(300, 7));
    EXPECT_EQ(399, OpcReportedBuildNumber(3, 99));
    EXPECT_EQ(3, OpcReportedBuildNumber(3, 100));
}

TEST_F(ServerTest, InterfacesAnswerInTheirOrderAndOthersAreRefused)
{
    for (REFIID iid : {IID_IOPCCommon, IID_IConnectionPointContainer, IID_IOPCServer, IID_IOPCBrowseServerAddressSpace,
                       IID_IOPCBrowse, IID_IOPCItemProperties, IID_IOPCItemIO, IID_IOpcDaShutdownControl})
    {
        IUnknown* p = nullptr;
        EXPECT_EQ(S_OK, m_unknown->QueryInterface(iid, reinterpret_cast<void**>(&p)));
        if (p)
            p->Release();
    }
    IUnknown* p = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_NOINTERFACE, m_unknown->QueryInterface(IID_IOPCServerPublicGroups, reinterpret_cast<void**>(&p)));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(E_NOINTERFACE, m_unknown->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&p)));
    EXPECT_EQ(E_POINTER, m_unknown->QueryInterface(IID_IOPCServer, nullptr));
    IConnectionPointContainer* cpc = nullptr;
    m_unknown->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCShutdown, &cp));
    cp->Release();
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp));
    cpc->Release();
}

TEST_F(ServerTest, UnnamedGroupsAreNumberedAndTheCounterNeverGoesBack)
{
    COpcComPtr<IOPCGroupStateMgt2> g1, g2, g3, named;
    OPCHANDLE h1 = 0;
    ASSERT_EQ(S_OK, Add(L"", 1000, g1, &h1));
    EXPECT_EQ(L"Group001", NameOf(g1.Get()));
    ASSERT_EQ(S_OK, Add(L"Group003", 1000, named));
    ASSERT_EQ(S_OK, Add(nullptr, 1000, g2));
    EXPECT_EQ(L"Group002", NameOf(g2.Get()));
    g1.Reset();
    EXPECT_EQ(S_OK, m_server->RemoveGroup(h1, FALSE));
    ASSERT_EQ(S_OK, Add(L"", 1000, g3));
    EXPECT_EQ(L"Group004", NameOf(g3.Get())); // skips the client's Group003
    COpcComPtr<IOPCGroupStateMgt2> dup;
    EXPECT_EQ(OPC_E_DUPLICATENAME, Add(L"Group003", 1000, dup));
    EXPECT_EQ(3u, GroupCount());

    IUnknown* byName = nullptr;
    EXPECT_EQ(S_OK, m_server->GetGroupByName(L"Group002", IID_IOPCGroupStateMgt, &byName));
    byName->Release();
    EXPECT_EQ(E_INVALIDARG, m_server->GetGroupByName(L"group002", IID_IOPCGroupStateMgt, &byName));
}

TEST_F(ServerTest, AddGroupWithoutOutPointersLeavesNoGroup)
{
    OPCHANDLE h = 0;
    IUnknown* unk = nullptr;
    EXPECT_EQ(E_INVALIDARG,
              m_server->AddGroup(L"G", TRUE, 1000, 1, nullptr, nullptr, 0, &h, nullptr, IID_IOPCGroupStateMgt, &unk));
    EXPECT_EQ(0u, GroupCount());
    EXPECT_EQ(E_INVALIDARG, m_server->GetGroupByName(L"G", IID_IUnknown, &unk));
    DWORD revised = 0;
    FLOAT bad = 100.5f;
    EXPECT_EQ(E_INVALIDARG,
              m_server->AddGroup(L"G", TRUE, 1000, 1, nullptr, &bad, 0, &h, &revised, IID_IOPCGroupStateMgt, &unk));
    EXPECT_EQ(E_NOINTERFACE,
              m_server->AddGroup(L"G", TRUE, 1000, 1, nullptr, nullptr, 0, &h, &revised, IID_IPersistFile, &unk));
    EXPECT_EQ(0u, GroupCount());
}

TEST_F(ServerTest, UpdateRatesAreRevisedToMultiplesOfTheBaseCycle)
{
    struct
    {
        DWORD requested;
        DWORD revised;
        HRESULT result;
    } cases[] = {{0, 100, OPC_S_UNSUPPORTEDRATE},
                 {100, 100, S_OK},
                 {250, 300, OPC_S_UNSUPPORTEDRATE},
                 {1000, 1000, S_OK},
                 {0xFFFFFFFF, 0xFFFFFFFF / 100 * 100, OPC_S_UNSUPPORTEDRATE}};
    for (const auto& c : cases)
    {
        COpcComPtr<IOPCGroupStateMgt2> g;
        DWORD revised = 0;
        OPCHANDLE h = 0;
        EXPECT_EQ(c.result, Add(L"", c.requested, g, &h, &revised)) << c.requested;
        EXPECT_EQ(c.revised, revised) << c.requested;
        g.Reset();
        m_server->RemoveGroup(h, TRUE);
    }
}

TEST_F(ServerTest, SetStateRejectsBadDeadbandWithoutChangingAnything)
{
    COpcComPtr<IOPCGroupStateMgt2> g;
    ASSERT_EQ(S_OK, Add(L"G", 1000, g));
    DWORD requested = 500, revised = 7;
    for (FLOAT bad : {100.5f, -0.1f, std::nanf("")})
    {
        FLOAT deadband = bad;
        EXPECT_EQ(E_INVALIDARG, g->SetState(&requested, &revised, nullptr, nullptr, &deadband, nullptr, nullptr));
    }
    DWORD rate;
    BOOL active;
    LPWSTR name;
    LONG bias;
    FLOAT deadband;
    DWORD lcid;
    OPCHANDLE client, server;
    ASSERT_EQ(S_OK, g->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &client, &server));
    CoTaskMemFree(name);
    EXPECT_EQ(1000u, rate);
    EXPECT_EQ(0.0f, deadband);
    EXPECT_EQ(42u, client);
    FLOAT full = 100.0f;
    EXPECT_EQ(S_OK, g->SetState(&requested, &revised, nullptr, nullptr, &full, nullptr, nullptr));
    EXPECT_EQ(500u, revised);
    // A requested rate with nowhere to put the revised one is refused.
    EXPECT_EQ(E_INVALIDARG, g->SetState(&requested, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_INVALIDARG, g->GetState(nullptr, &active, &name, &bias, &deadband, &lcid, &client, &server));
}

TEST_F(ServerTest, KeepAliveRoundsUpToWholeSeconds)
{
    COpcComPtr<IOPCGroupStateMgt2> g;
    ASSERT_EQ(S_OK, Add(L"G", 1000, g));
    DWORD revised = 0;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, g->SetKeepAlive(1, &revised));
    EXPECT_EQ(1000u, revised);
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, g->SetKeepAlive(1001, &revised));
    EXPECT_EQ(2000u, revised);
    EXPECT_EQ(S_OK, g->SetKeepAlive(2000, &revised));
    EXPECT_EQ(S_OK, g->SetKeepAlive(0, &revised));
    EXPECT_EQ(0u, revised);
    EXPECT_EQ(E_INVALIDARG, g->SetKeepAlive(5, nullptr));
    DWORD keepAlive = 9;
    EXPECT_EQ(S_OK, g->GetKeepAlive(&keepAlive));
    EXPECT_EQ(0u, keepAlive);
}

TEST_F(ServerTest, RemovingAHeldGroupLeavesItRemovedUntilReleased)
{
    COpcComPtr<IOPCGroupStateMgt2> g;
    OPCHANDLE h = 0;
    ASSERT_EQ(S_OK, Add(L"G", 1000, g, &h));
    EXPECT_EQ(E_FAIL, m_server->RemoveGroup(h + 1000, FALSE));
    EXPECT_EQ(OPC_S_INUSE, m_server->RemoveGroup(h, FALSE));
    EXPECT_EQ(1u, GroupCount());
    EXPECT_EQ(L"<failed>", NameOf(g.Get()));
    EXPECT_EQ(E_FAIL, g->SetName(L"X"));
    DWORD keepAlive = 0;
    EXPECT_EQ(S_OK, g->GetKeepAlive(&keepAlive));
    EXPECT_EQ(E_FAIL, m_server->RemoveGroup(h, FALSE));

    COpcComPtr<IOPCGroupStateMgt2> forced;
    ASSERT_EQ(S_OK, Add(L"F", 1000, forced, &h));
    EXPECT_EQ(S_OK, m_server->RemoveGroup(h, TRUE));
    EXPECT_EQ(1u, GroupCount());
}

TEST_F(ServerTest, RenameAndCloneKeepTheMapConsistent)
{
    COpcComPtr<IOPCGroupStateMgt2> a, b;
    ASSERT_EQ(OPC_S_UNSUPPORTEDRATE, Add(L"A", 250, a));
    ASSERT_EQ(S_OK, Add(L"B", 1000, b));
    EXPECT_EQ(OPC_E_DUPLICATENAME, a->SetName(L"B"));
    EXPECT_EQ(E_INVALIDARG, a->SetName(L""));
    EXPECT_EQ(S_OK, a->SetName(L"A2"));
    EXPECT_EQ(L"A2", NameOf(a.Get()));
    IUnknown* unk = nullptr;
    EXPECT_EQ(E_INVALIDARG, m_server->GetGroupByName(L"A", IID_IUnknown, &unk));

    BOOL active = TRUE;
    a->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr);
    COpcComPtr<IOPCGroupStateMgt2> clone;
    EXPECT_EQ(OPC_E_DUPLICATENAME,
              a->CloneGroup(L"B", IID_IOPCGroupStateMgt2, reinterpret_cast<LPUNKNOWN*>(clone.Receive())));
    ASSERT_EQ(S_OK, a->CloneGroup(L"", IID_IOPCGroupStateMgt2, reinterpret_cast<LPUNKNOWN*>(clone.Receive())));
    DWORD rate;
    BOOL isActive;
    LPWSTR name;
    LONG bias;
    FLOAT deadband;
    DWORD lcid;
    OPCHANDLE client, server, sourceServer;
    ASSERT_EQ(S_OK, clone->GetState(&rate, &isActive, &name, &bias, &deadband, &lcid, &client, &server));
    EXPECT_STREQ(L"Group001", name);
    CoTaskMemFree(name);
    EXPECT_EQ(300u, rate);
    EXPECT_FALSE(isActive);
    EXPECT_EQ(42u, client);
    a->GetState(&rate, &isActive, &name, &bias, &deadband, &lcid, &client, &sourceServer);
    CoTaskMemFree(name);
    EXPECT_NE(sourceServer, server);
    EXPECT_EQ(3u, GroupCount());
    // A clone that cannot answer the interface is removed again.
    EXPECT_EQ(E_NOINTERFACE, a->CloneGroup(L"C", IID_IPersistFile, &unk));
    EXPECT_EQ(E_INVALIDARG, m_server->GetGroupByName(L"C", IID_IUnknown, &unk));
}

// A client renames and clones its group while its last release of the server
// runs: each call finds the server whole or the group removed, never a server
// half torn down (its group map emptied) or freed.
TEST_F(ServerTest, GroupCallsRacingTheServersLastReleaseFindItWholeOrGone)
{
    COpcComPtr<IOPCGroupStateMgt2> group;
    std::atomic<int> calls{0};
    std::atomic<bool> gone{false}, stop{false};
    HRESULT unexpected = S_OK;
    COpcHandle go(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    COpcHandle done(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    // One client thread for all rounds: a thread costs Wine as much as a round.
    std::thread client(
        [&]
        {
            while (WaitForSingleObject(go.Get(), INFINITE) == WAIT_OBJECT_0 && !stop)
            {
                for (int i = 0;; ++i)
                {
                    // A clone without the asked interface is removed again: a third call to the server.
                    IUnknown* clone = nullptr;
                    HRESULT hr = i % 2 == 0 ? group->SetName(i % 4 == 0 ? L"B" : L"A")
                                            : group->CloneGroup(L"C", IID_IPersistFile, &clone);
                    ++calls;
                    if (hr != S_OK && hr != E_NOINTERFACE)
                    {
                        if (hr != E_FAIL)
                            unexpected = hr;
                        break;
                    }
                }
                gone = true;
                SetEvent(done.Get());
            }
        });
    int round = 0;
    for (; round < 1000 && unexpected == S_OK; ++round)
    {
        COpcComPtr<IUnknown> unknown;
        if (FAILED(OpcCreateServerObject(nullptr, unknown.Receive())))
            break;
        COpcComPtr<IOPCServer> server = COpcComPtr<IOPCServer>::QueryFrom(unknown.Get(), IID_IOPCServer);
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        if (FAILED(server->AddGroup(L"A", FALSE, 1000, 0, nullptr, nullptr, 1033, &handle, &revised,
                                    IID_IOPCGroupStateMgt2, reinterpret_cast<LPUNKNOWN*>(group.Receive()))))
            break;
        server.Reset();
        calls = 0;
        gone = false;
        SetEvent(go.Get());
        // Released after a varying number of calls, so the release meets them at different points.
        while (calls.load() <= round % 5 && !gone)
            SwitchToThread();
        unknown.Reset();
        if (WaitForSingleObject(done.Get(), 10000) != WAIT_OBJECT_0)
            break;
        group.Reset();
    }
    stop = true;
    SetEvent(go.Get());
    client.join();
    EXPECT_EQ(S_OK, unexpected) << "round " << round;
    EXPECT_EQ(1000, round);
    EXPECT_EQ(1u, COpcServerObject::LiveCount());
}

TEST_F(ServerTest, OutOfMemoryTheLastReleaseStillMarksEveryGroupRemoved)
{
    // A group left unmarked would go on calling the freed server.
    COpcComPtr<IOPCGroupStateMgt2> groups[5];
    for (auto& group : groups)
        ASSERT_EQ(S_OK, Add(nullptr, 1000, group));
    {
        // Memory for a list of the five is refused: marking them must not need it.
        FailingAllocation fail(5 * sizeof(COpcDaGroup*));
        ASSERT_TRUE(fail.Registered());
        m_server.Reset();
        m_unknown.Reset();
    }
    for (auto& group : groups)
        EXPECT_EQ(L"<failed>", NameOf(group.Get()));
}

TEST_F(ServerTest, GroupEnumeratorsByScope)
{
    IUnknown* unk = nullptr;
    EXPECT_EQ(S_FALSE, m_server->CreateGroupEnumerator(OPC_ENUM_PUBLIC, IID_IEnumString, &unk));
    IEnumString* strings = static_cast<IEnumString*>(unk);
    LPOLESTR item = nullptr;
    ULONG fetched = 7;
    EXPECT_EQ(S_FALSE, strings->Next(1, &item, &fetched));
    EXPECT_EQ(0u, fetched);
    strings->Release();
    EXPECT_EQ(S_FALSE, m_server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &unk));
    unk->Release();

    COpcComPtr<IOPCGroupStateMgt2> a, b;
    Add(L"A", 1000, a);
    Add(L"B", 1000, b);
    ASSERT_EQ(S_OK, m_server->CreateGroupEnumerator(OPC_ENUM_PRIVATE, IID_IEnumString, &unk));
    strings = static_cast<IEnumString*>(unk);
    LPOLESTR names[3] = {};
    EXPECT_EQ(S_FALSE, strings->Next(3, names, &fetched));
    ASSERT_EQ(2u, fetched);
    std::vector<std::wstring> got = {names[0], names[1]};
    CoTaskMemFree(names[0]);
    CoTaskMemFree(names[1]);
    strings->Release();
    EXPECT_TRUE((got == std::vector<std::wstring>{L"A", L"B"}) || (got == std::vector<std::wstring>{L"B", L"A"}));
    EXPECT_EQ(S_OK, m_server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &unk));
    unk->Release();
    EXPECT_EQ(E_NOINTERFACE, m_server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IPersistFile, &unk));
}

TEST_F(ServerTest, ShutdownNoticeReachesEverySinkOnce)
{
    COpcComPtr<IUnknown> other;
    ASSERT_EQ(S_OK, OpcCreateServerObject(nullptr, other.Receive()));
    EXPECT_EQ(2u, COpcServerObject::LiveCount());

    ShutdownSink first, second;
    DWORD cookie = 0, firstCookie = 0;
    COpcComPtr<IConnectionPoint> firstPoint;
    for (auto pair : {std::make_pair(m_unknown.Get(), &first), std::make_pair(other.Get(), &second)})
    {
        IConnectionPointContainer* cpc = nullptr;
        pair.first->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        IConnectionPoint* cp = nullptr;
        cpc->FindConnectionPoint(IID_IOPCShutdown, &cp);
        ASSERT_EQ(S_OK, cp->Advise(pair.second, &cookie));
        if (pair.second == &first)
        {
            firstPoint = COpcComPtr<IConnectionPoint>::FromBorrowed(cp);
            firstCookie = cookie;
        }
        cp->Release();
        cpc->Release();
    }
    // RequestShutdown tells every other server's clients, not its own.
    IOpcDaShutdownControl* control = nullptr;
    m_unknown->QueryInterface(IID_IOpcDaShutdownControl, reinterpret_cast<void**>(&control));
    EXPECT_EQ(S_OK, control->RequestShutdown());
    control->Release();
    EXPECT_EQ(0, first.calls);
    EXPECT_EQ(1, second.calls);
    EXPECT_FALSE(second.LastReason().empty());
    EXPECT_EQ(1, host.stopRequests);

    static_cast<COpcServerObject*>(static_cast<IOPCCommon*>(m_unknown.Get()))->NotifyShutdownAll();
    EXPECT_EQ(1, first.calls);
    EXPECT_EQ(2, second.calls);
    other.Reset();
    EXPECT_EQ(1u, COpcServerObject::LiveCount());
    EXPECT_EQ(1, second.References()); // the server let go of the sink
    // The first server outlives this scope (the fixture's); its sink must not.
    EXPECT_EQ(S_OK, firstPoint->Unadvise(firstCookie));
    EXPECT_EQ(1, first.References());
}

TEST(ServerCreation, AFailedHostLockFailsCreationAndGivesTheLockBack)
{
    FakeHost host;
    host.lockResult = E_FAIL;
    OpcSetServerHost(&host);
    IUnknown* unk = nullptr;
    EXPECT_EQ(E_FAIL, OpcCreateServerObject(nullptr, &unk));
    EXPECT_EQ(nullptr, unk);
    EXPECT_EQ(0, host.locks);
    EXPECT_EQ(0u, COpcServerObject::LiveCount());
    OpcSetServerHost(nullptr);
    EXPECT_EQ(E_UNEXPECTED, OpcCreateServerObject(nullptr, &unk));
}
