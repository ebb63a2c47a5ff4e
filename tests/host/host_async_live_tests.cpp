// Asynchronous IO of the real server through the proxy: what each call
// queues, what the client's sink is told, and cancellation.
#include "DataCallbackSink.h"
#include "LiveServerFixture.h"

using namespace host_test;

namespace
{
// One client with one group of two fixed tags of the live sample.
class LiveAsyncTest : public LiveServerTest
{
protected:
    void SetUp() override
    {
        LiveServerTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(RegisterAndConnect());
        ASSERT_NO_FATAL_FAILURE(AddGroup(L"Async", TRUE, m_group));
        m_async = COpcComPtr<IOPCAsyncIO3>::QueryFrom(m_group.Get(), IID_IOPCAsyncIO3);
        ASSERT_TRUE(m_async);
        OPCITEMDEF defs[2] = {};
        const wchar_t* ids[2] = {L"Line1.PLC1.Fixed.Count", L"Line1.PLC1.Fixed.Total"};
        for (int i = 0; i < 2; ++i)
        {
            defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
        }
        auto items = COpcComPtr<IOPCItemMgt>::QueryFrom(m_group.Get(), IID_IOPCItemMgt);
        COpcTaskMem<OPCITEMRESULT> results;
        COpcTaskMem<HRESULT> errors;
        ASSERT_EQ(S_OK, items->AddItems(2, defs, results.Receive(), errors.Receive()));
        m_count = results.Get()[0].hServer;
        m_total = results.Get()[1].hServer;
    }

    void TearDown() override
    {
        m_async.Reset();
        m_group.Reset();
        LiveServerTest::TearDown();
    }

    void AddGroup(const wchar_t* name, BOOL active, COpcComPtr<IUnknown>& group, IOPCServer* server = nullptr)
    {
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        ASSERT_HRESULT_SUCCEEDED((server != nullptr ? server : m_server)
                                     ->AddGroup(name, active, 1000, 77, nullptr, nullptr, 1033, &handle, &revised,
                                                IID_IUnknown, group.Receive()));
    }

    DWORD Advise(IUnknown* group, DataCallbackSink& sink)
    {
        auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(group, IID_IConnectionPointContainer);
        COpcComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive()));
        EXPECT_EQ(S_OK, point->Advise(&sink, &cookie));
        return cookie;
    }

    static auto Has(CallbackRecord::Kind kind, DWORD tid)
    {
        return [kind, tid](const std::vector<CallbackRecord>& records)
        {
            for (const CallbackRecord& r : records)
            {
                if (r.kind == kind && r.transactionId == tid)
                    return true;
            }
            return false;
        };
    }

    static int CountOf(const std::vector<CallbackRecord>& records, CallbackRecord::Kind kind, DWORD tid)
    {
        int n = 0;
        for (const CallbackRecord& r : records)
            n += r.kind == kind && r.transactionId == tid ? 1 : 0;
        return n;
    }

    COpcComPtr<IUnknown> m_group;
    COpcComPtr<IOPCAsyncIO3> m_async;
    OPCHANDLE m_count = 0;
    OPCHANDLE m_total = 0;
};

TEST_F(LiveAsyncTest, CallsQueueTheKnownItemsAndEachCallbackComesOnce)
{
    DataCallbackSink sink;
    OPCHANDLE handles[2] = {m_count, 12345};
    DWORD cancel = 0;
    COpcTaskMem<HRESULT> errors;
    BOOL enabled = FALSE;
    // Nothing advised: every call is refused before anything is queued.
    EXPECT_EQ(CONNECT_E_NOCONNECTION, m_async->Read(1, handles, 1, &cancel, errors.Receive()));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, m_async->Refresh2(OPC_DS_CACHE, 1, &cancel));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, m_async->SetEnable(FALSE));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, m_async->GetEnable(&enabled));
    Advise(m_group.Get(), sink);
    EXPECT_EQ(S_OK, m_async->GetEnable(&enabled));
    EXPECT_TRUE(enabled);

    // A known and an unknown handle: the unknown one is answered now, the known one in one callback.
    ASSERT_EQ(S_FALSE, m_async->Read(2, handles, 7, &cancel, errors.Receive()));
    EXPECT_EQ(S_OK, errors.Get()[0]);
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors.Get()[1]);
    EXPECT_NE(0u, cancel);
    const DWORD delivered = cancel;
    // Only unknown handles: nothing queued.
    ASSERT_EQ(S_FALSE, m_async->Read(1, &handles[1], 8, &cancel, errors.Receive()));
    EXPECT_EQ(0u, cancel);
    // Max age and VQT variants travel the same road.
    DWORD maxAge = 0;
    ASSERT_EQ(S_OK, m_async->ReadMaxAge(1, &m_count, &maxAge, 9, &cancel, errors.Receive()));
    OPCITEMVQT vqt = {};
    vqt.vDataValue = OpcLongVariant(-7);
    ASSERT_EQ(S_OK, m_async->WriteVQT(1, &m_total, &vqt, 10, &cancel, errors.Receive()));
    ASSERT_TRUE(sink.WaitUntil(Has(CallbackRecord::WriteComplete, 10)));

    std::vector<CallbackRecord> records = sink.Records();
    ASSERT_EQ(1, CountOf(records, CallbackRecord::ReadComplete, 7));
    EXPECT_EQ(0, CountOf(records, CallbackRecord::ReadComplete, 8));
    for (const CallbackRecord& r : records)
    {
        if (r.kind == CallbackRecord::ReadComplete && r.transactionId == 7)
        {
            EXPECT_EQ(77u, r.group);
            ASSERT_EQ(1u, r.count);
            EXPECT_EQ(100u, r.entries[0].client);
            EXPECT_EQ(1234, r.entries[0].value.iVal);
            EXPECT_EQ(0xC0, r.entries[0].quality);
            EXPECT_EQ(S_OK, r.masterQuality);
            EXPECT_EQ(S_OK, r.masterError);
        }
        if (r.kind == CallbackRecord::ReadComplete && r.transactionId == 9)
            EXPECT_EQ(1234, r.entries[0].value.iVal);
        if (r.kind == CallbackRecord::WriteComplete && r.transactionId == 10)
        {
            EXPECT_EQ(S_OK, r.masterError);
            EXPECT_EQ(101u, r.entries[0].client);
        }
    }
    // Delivered transactions cannot be cancelled any more.
    EXPECT_EQ(E_FAIL, m_async->Cancel2(delivered));
}

TEST_F(LiveAsyncTest, ACancelledWriteIsNotExecutedAndReportedOnce)
{
    DataCallbackSink sink;
    Advise(m_group.Get(), sink);
    devlane_control::Client runtime(devlane_control::FindProcess(L"tagbridge.exe"));
    // The first write takes a second, so the second is still waiting behind it when cancelled.
    ASSERT_TRUE(runtime.Delay("Line1.PLC1", 1000));
    VARIANT one = OpcLongVariant(1), two = OpcLongVariant(2);
    DWORD first = 0, second = 0;
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_OK, m_async->Write(1, &m_count, &one, 20, &first, errors.Receive()));
    ASSERT_EQ(S_OK, m_async->Write(1, &m_total, &two, 21, &second, errors.Receive()));
    EXPECT_EQ(S_OK, m_async->Cancel2(second));
    ASSERT_TRUE(sink.WaitUntil(Has(CallbackRecord::CancelComplete, 21)));
    ASSERT_TRUE(sink.WaitUntil(Has(CallbackRecord::WriteComplete, 20)));
    ASSERT_TRUE(runtime.Delay("Line1.PLC1", 0));
    EXPECT_EQ("1", runtime.Get("Line1.PLC1", "D0", "int16"));
    EXPECT_EQ("-100000", runtime.Get("Line1.PLC1", "D10", "int32")) << "the cancelled write reached the device";

    // Later callbacks of the group come after those two, so none was still on its way.
    DWORD refresh = 0;
    ASSERT_EQ(S_OK, m_async->Refresh2(OPC_DS_DEVICE, 22, &refresh));
    ASSERT_TRUE(sink.WaitUntil(Has(CallbackRecord::DataChange, 22)));
    const std::vector<CallbackRecord> records = sink.Records();
    EXPECT_EQ(1, CountOf(records, CallbackRecord::CancelComplete, 21));
    EXPECT_EQ(0, CountOf(records, CallbackRecord::WriteComplete, 21));
    EXPECT_EQ(1, CountOf(records, CallbackRecord::WriteComplete, 20));
}

TEST_F(LiveAsyncTest, RefreshNeedsActiveItemsAndCancelIdsAreProcessWide)
{
    DataCallbackSink sink;
    Advise(m_group.Get(), sink);
    auto state = COpcComPtr<IOPCGroupStateMgt>::QueryFrom(m_group.Get(), IID_IOPCGroupStateMgt);
    auto items = COpcComPtr<IOPCItemMgt>::QueryFrom(m_group.Get(), IID_IOPCItemMgt);
    DWORD cancel = 0;
    OPCHANDLE both[2] = {m_count, m_total};
    COpcTaskMem<HRESULT> errors;
    ASSERT_EQ(S_OK, items->SetActiveState(2, both, FALSE, errors.Receive()));
    EXPECT_EQ(E_FAIL, m_async->Refresh2(OPC_DS_CACHE, 30, &cancel));
    ASSERT_EQ(S_OK, items->SetActiveState(2, both, TRUE, errors.Receive()));
    BOOL inactive = FALSE;
    DWORD revised = 0;
    ASSERT_HRESULT_SUCCEEDED(state->SetState(nullptr, &revised, &inactive, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_FAIL, m_async->Refresh2(OPC_DS_CACHE, 31, &cancel));
    EXPECT_EQ(E_INVALIDARG, m_async->Refresh2(static_cast<OPCDATASOURCE>(3), 32, &cancel));

    // A second server object of the process and a group of it: cancel IDs go on by one.
    Client& other = NewClient();
    ASSERT_HRESULT_SUCCEEDED(other.Connect());
    COpcComPtr<IUnknown> otherGroup;
    ASSERT_NO_FATAL_FAILURE(AddGroup(L"Other", FALSE, otherGroup, other.server.Get()));
    DataCallbackSink otherSink;
    Advise(otherGroup.Get(), otherSink);
    auto otherItems = COpcComPtr<IOPCItemMgt>::QueryFrom(otherGroup.Get(), IID_IOPCItemMgt);
    OPCITEMDEF def = {};
    def.szItemID = const_cast<LPWSTR>(L"Line1.PLC1.Fixed.Count");
    def.szAccessPath = const_cast<LPWSTR>(L"");
    COpcTaskMem<OPCITEMRESULT> results;
    ASSERT_EQ(S_OK, otherItems->AddItems(1, &def, results.Receive(), errors.Receive()));
    auto otherAsync = COpcComPtr<IOPCAsyncIO2>::QueryFrom(otherGroup.Get(), IID_IOPCAsyncIO2);
    OPCHANDLE otherHandle = results.Get()[0].hServer;
    DWORD ids[4] = {};
    ASSERT_EQ(S_OK, m_async->Read(1, &m_count, 40, &ids[0], errors.Receive()));
    ASSERT_EQ(S_OK, otherAsync->Read(1, &otherHandle, 41, &ids[1], errors.Receive()));
    ASSERT_EQ(S_OK, m_async->Read(1, &m_total, 42, &ids[2], errors.Receive()));
    ASSERT_EQ(S_OK, otherAsync->Read(1, &otherHandle, 43, &ids[3], errors.Receive()));
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(ids[0] + i, ids[i]);
    EXPECT_TRUE(otherSink.WaitUntil(Has(CallbackRecord::ReadComplete, 43)));
    EXPECT_TRUE(sink.WaitUntil(Has(CallbackRecord::ReadComplete, 42)));
}
} // namespace
