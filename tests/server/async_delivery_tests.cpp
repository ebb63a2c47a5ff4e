#include "ServerItemsFixture.h"

#include "OpcHandle.h"

#include <olectl.h>

#include <atomic>

using namespace server_test;

namespace
{
// A client sink whose every callback answers with a chosen result.
class AnsweringSink final : public IOPCDataCallback
{
public:
    explicit AnsweringSink(HRESULT answer) : m_answer(answer) {}
    STDMETHOD(QueryInterface)(REFIID iid, void** object) override
    {
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IOPCDataCallback)
            return E_NOINTERFACE;
        *object = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++refs); }
    STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(--refs); }
    STDMETHOD(OnDataChange)(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                            HRESULT*) override
    {
        return Called();
    }
    STDMETHOD(OnReadComplete)(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                              HRESULT*) override
    {
        return Called();
    }
    STDMETHOD(OnWriteComplete)(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return Called(); }
    STDMETHOD(OnCancelComplete)(DWORD, OPCHANDLE) override { return Called(); }

    std::atomic<LONG> refs{1};
    std::atomic<int> calls{0};
    COpcHandle called{CreateEventW(nullptr, FALSE, FALSE, nullptr)};

private:
    HRESULT Called()
    {
        ++calls;
        SetEvent(called.Get());
        return m_answer;
    }
    HRESULT m_answer;
};

template <class Condition>
bool WaitUntil(Condition condition, DWORD ceilingMs = 20000)
{
    const ULONGLONG end = GetTickCount64() + ceilingMs;
    while (!condition()) {
        if (GetTickCount64() >= end)
            return false;
        Sleep(10);
    }
    return true;
}
} // namespace

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
    } cases[] = {{static_cast<HRESULT>(0x80010108), true},  // the client's process is gone
                 {static_cast<HRESULT>(0x800706BA), true},  // the client's machine cannot be reached
                 {E_FAIL, false},                           // a client fault is its own business
                 {S_OK, false}};
    for (const auto& c : cases) {
        AnsweringSink sink(c.answer);
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
        DWORD cancel = 0;
        COpcTaskMem<HRESULT> errors;
        ASSERT_EQ(S_OK, async->Read(1, const_cast<OPCHANDLE*>(&item), 1, &cancel, errors.Receive()));
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sink.called.Get(), 20000)) << std::hex << c.answer;
        BOOL enabled = FALSE;
        if (c.dropped) {
            EXPECT_TRUE(WaitUntil([&] { return async->GetEnable(&enabled) == CONNECT_E_NOCONNECTION; }))
                << std::hex << c.answer;
            EXPECT_EQ(CONNECT_E_NOCONNECTION, async->Read(1, const_cast<OPCHANDLE*>(&item), 2, &cancel,
                                                          errors.Receive()));
        } else {
            // Still called: a second read reaches it.
            ASSERT_EQ(S_OK, async->Read(1, const_cast<OPCHANDLE*>(&item), 2, &cancel, errors.Receive()));
            EXPECT_TRUE(WaitUntil([&] { return sink.calls == 2; })) << std::hex << c.answer;
            EXPECT_EQ(S_OK, point->Unadvise(cookie));
        }
        // Released by the server before the sink goes (a dropped one too).
        ASSERT_TRUE(WaitUntil([&] { return sink.refs == 1; })) << std::hex << c.answer;
    }
}
