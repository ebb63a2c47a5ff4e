#include "ServerItemsFixture.h"

#include "DataCallbackSink.h"
#include "OpcDaTransaction.h"
#include "TestWaits.h"

#include <olectl.h>

#include <atomic>
#include <thread>

using namespace server_test;

TEST_F(ServerItemsTest, ASinkWhoseClientIsGoneIsDroppedOthersAreKept)
{
    const OPCHANDLE item = AddOne(L"N.P.A");
    auto async = COpcComPtr<IOPCAsyncIO2>::QueryFrom(m_items.Get(), IID_IOPCAsyncIO2);
    auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(m_items.Get(), IID_IConnectionPointContainer);
    COpcComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive()));
    const struct
    {
        HRESULT answer;
        bool dropped;
    } cases[] = {{static_cast<HRESULT>(0x80010108), true}, // the client's process is gone
                 {static_cast<HRESULT>(0x800706BA), true}, // the client's machine cannot be reached
                 {E_FAIL, false},                          // a client fault is its own business
                 {S_OK, false}};
    for (const auto& c : cases)
    {
        DataCallbackSink sink;
        sink.answer = c.answer;
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
        DWORD cancel = 0;
        COpcTaskMem<HRESULT> errors;
        ASSERT_EQ(S_OK, async->Read(1, const_cast<OPCHANDLE*>(&item), 1, &cancel, errors.Receive()));
        ASSERT_TRUE(sink.WaitUntil([](const auto& calls) { return !calls.empty(); })) << std::hex << c.answer;
        BOOL enabled = FALSE;
        if (c.dropped)
        {
            EXPECT_TRUE(WaitFor([&] { return async->GetEnable(&enabled) == CONNECT_E_NOCONNECTION; }))
                << std::hex << c.answer;
            EXPECT_EQ(CONNECT_E_NOCONNECTION,
                      async->Read(1, const_cast<OPCHANDLE*>(&item), 2, &cancel, errors.Receive()));
        }
        else
        {
            // Still called: a second read reaches it.
            ASSERT_EQ(S_OK, async->Read(1, const_cast<OPCHANDLE*>(&item), 2, &cancel, errors.Receive()));
            EXPECT_TRUE(WaitFor([&] { return sink.Records().size() == 2; })) << std::hex << c.answer;
            EXPECT_EQ(S_OK, point->Unadvise(cookie));
        }
        // Released by the server before the sink goes (a dropped one too).
        ASSERT_TRUE(WaitFor([&] { return sink.References() == 1; })) << std::hex << c.answer;
    }
}

TEST_F(ServerItemsTest, AGroupTheClientLetGoIsRemovedWhileItsCallbackIsUnderWay)
{
    // A second group whose read callback stays in the client's sink until
    // the test lets it go: the server still holds the group for it.
    COpcComPtr<IOPCItemMgt> items;
    OPCHANDLE group = 0;
    DWORD revised = 0;
    ASSERT_EQ(S_OK, m_server->AddGroup(L"Held", TRUE, 1000, 8, nullptr, nullptr, 1033, &group, &revised,
                                       IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.Receive())));
    OPCITEMDEF def = Def(L"N.P.A");
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_OK, items->AddItems(1, &def, results.Receive(), errors.Receive()));
    OPCHANDLE item = results.Get()[0].hServer;
    COpcHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    COpcHandle leave(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DataCallbackSink sink;
    sink.during = [&]
    {
        SetEvent(entered.Get());
        WaitForSingleObject(leave.Get(), kWaitCeilingMs);
    };
    {
        auto async = COpcComPtr<IOPCAsyncIO2>::QueryFrom(items.Get(), IID_IOPCAsyncIO2);
        auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(items.Get(), IID_IConnectionPointContainer);
        COpcComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive()));
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
        DWORD cancel = 0;
        ASSERT_EQ(S_OK, async->Read(1, &item, 1, &cancel, errors.Receive()));
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered.Get(), kWaitCeilingMs));
    items.Reset();
    EXPECT_EQ(S_OK, m_server->RemoveGroup(group, FALSE)) << "the client holds nothing";
    SetEvent(leave.Get());
    ASSERT_TRUE(WaitFor([&] { return sink.References() == 1; }));
}

// The server's own short holds come and go on other threads while a group is
// removed: a count taken halfway through one must not pass for the client's.
TEST_F(ServerItemsTest, RemovingAGroupIsNotFooledByHoldsComingAndGoing)
{
    for (int round = 0; round < 200; ++round)
    {
        COpcComPtr<IOPCItemMgt> items;
        OPCHANDLE group = 0;
        DWORD revised = 0;
        ASSERT_EQ(S_OK, m_server->AddGroup(L"Busy", FALSE, 1000, 9, nullptr, nullptr, 1033, &group, &revised,
                                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.Receive())));
        // One hold stays for the round, so the group outlives the removal; the other comes and goes.
        auto* object = static_cast<COpcDaGroup*>(items.Get());
        COpcDaGroupHold kept(object);
        std::atomic<bool> stop{false};
        std::atomic<LONG> turns{0};
        std::thread churn(
            [&]
            {
                COpcDaGroupHold passing;
                for (; !stop.load(); ++turns)
                {
                    passing.Reset(object);
                    passing.Reset();
                }
            });
        items.Reset();
        const bool turning = WaitFor([&] { return turns.load() > 1000; });
        const HRESULT removed = m_server->RemoveGroup(group, FALSE);
        stop = true;
        churn.join();
        ASSERT_TRUE(turning);
        ASSERT_EQ(S_OK, removed) << "round " << round;
    }
}
