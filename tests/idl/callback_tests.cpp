// Callbacks into this process from a thread of the test server: the data
// callbacks of a group and the shutdown request, through opcproxy.dll in the
// other direction.
#include "client_support.h"

#include <atomic>
#include <mutex>

using namespace testserver;

namespace
{

constexpr DWORD kWaitMs = 10000;

template <class I>
class Sink : public I
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!InlineIsEqualGUID(riid, IID_IUnknown) && !InlineIsEqualGUID(riid, iid_))
            return E_NOINTERFACE;
        *ppv = static_cast<I*>(this);
        this->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    explicit Sink(REFIID iid) : iid_(iid) {}
    virtual ~Sink() = default;

private:
    std::atomic<ULONG> refs_{1};
    IID iid_;
};

// What one callback brought, copied before the call returned.
struct Call
{
    DWORD transaction = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = E_FAIL;
    HRESULT masterError = E_FAIL;
    std::vector<OPCHANDLE> clients;
    std::vector<Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<HRESULT> errors;
};

class DataSink final : public Sink<IOPCDataCallback>
{
public:
    enum Kind
    {
        DataChange,
        ReadComplete,
        WriteComplete,
        CancelComplete,
        Kinds
    };

    DataSink() : Sink(IID_IOPCDataCallback)
    {
        for (Handle& e : events_)
            e.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }

    // Waits for the next callback of that kind and hands out what it carried.
    bool Wait(Kind kind, Call& out)
    {
        if (WaitForSingleObject(events_[kind].get(), kWaitMs) != WAIT_OBJECT_0)
            return false;
        std::lock_guard<std::mutex> guard(lock_);
        out = calls_[kind];
        return true;
    }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error,
                                           DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                           FILETIME* times, HRESULT* errors) override
    {
        return Record(DataChange, transaction, group, quality, error, count, clients, values, qualities, times, errors);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error,
                                             DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                             FILETIME* times, HRESULT* errors) override
    {
        return Record(ReadComplete, transaction, group, quality, error, count, clients, values, qualities, times,
                      errors);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transaction, OPCHANDLE group, HRESULT error, DWORD count,
                                              OPCHANDLE* clients, HRESULT* errors) override
    {
        return Record(WriteComplete, transaction, group, S_OK, error, count, clients, nullptr, nullptr, nullptr,
                      errors);
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD transaction, OPCHANDLE group) override
    {
        return Record(CancelComplete, transaction, group, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    }

private:
    HRESULT Record(Kind kind, DWORD transaction, OPCHANDLE group, HRESULT quality, HRESULT error, DWORD count,
                   const OPCHANDLE* clients, const VARIANT* values, const WORD* qualities, const FILETIME* times,
                   const HRESULT* errors)
    {
        Call call;
        call.transaction = transaction;
        call.group = group;
        call.masterQuality = quality;
        call.masterError = error;
        for (DWORD i = 0; i < count; ++i)
        {
            if (clients)
                call.clients.push_back(clients[i]);
            if (values)
            {
                call.values.emplace_back();
                VariantCopy(call.values.back().get(), const_cast<VARIANT*>(&values[i]));
            }
            if (qualities)
                call.qualities.push_back(qualities[i]);
            if (times)
                call.times.push_back(times[i]);
            if (errors)
                call.errors.push_back(errors[i]);
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            calls_[kind] = std::move(call);
        }
        SetEvent(events_[kind].get());
        return S_OK;
    }

    std::mutex lock_;
    Call calls_[Kinds];
    Handle events_[Kinds];
};

class ShutdownSink final : public Sink<IOPCShutdown>
{
public:
    ShutdownSink() : Sink(IID_IOPCShutdown), called_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    bool Wait(std::wstring& reason)
    {
        if (WaitForSingleObject(called_.get(), kWaitMs) != WAIT_OBJECT_0)
            return false;
        std::lock_guard<std::mutex> guard(lock_);
        reason = reason_;
        return true;
    }

    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            reason_ = Str(reason);
        }
        SetEvent(called_.get());
        return S_OK;
    }

private:
    std::mutex lock_;
    std::wstring reason_;
    Handle called_;
};

HRESULT Connect(const ComPtr<IUnknown>& source, REFIID iid, IUnknown* sink, ComPtr<IConnectionPoint>& point,
                DWORD& cookie)
{
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = source.As(IID_IConnectionPointContainer, container);
    if (FAILED(hr))
        return hr;
    hr = container->FindConnectionPoint(iid, point.put());
    return FAILED(hr) ? hr : point->Advise(sink, &cookie);
}

TEST_F(TestServerTest, DataCallbacksFromAServerThreadArriveIntact)
{
    OPCHANDLE handles[4] = {};
    ComPtr<IOPCItemMgt> items = AddGroupWithItems(3, handles);
    ASSERT_TRUE(items);
    handles[3] = 0xBAD;
    ComPtr<DataSink> sink = ComPtr<DataSink>::Adopt(new DataSink());
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ComPtr<IUnknown> group;
    ASSERT_HRESULT_SUCCEEDED(items.As(IID_IUnknown, group));
    ASSERT_EQ(Connect(group, IID_IOPCDataCallback, sink.get(), point, cookie), S_OK);

    Variant values[3];
    ASSERT_HRESULT_SUCCEEDED(MakeBstr(L"コールバック", values[0].put()));
    V_VT(values[1].put()) = VT_R8;
    V_R8(values[1].get()) = 2.5;
    const wchar_t* const labels[] = {L"a", L"", L"三"};
    ASSERT_HRESULT_SUCCEEDED(MakeBstrArray(labels, 3, values[2].put()));
    ComPtr<IOPCSyncIO> sync;
    ASSERT_HRESULT_SUCCEEDED(items.As(IID_IOPCSyncIO, sync));
    VARIANT sent[3] = {*values[0].get(), *values[1].get(), *values[2].get()};
    {
        TaskArray<HRESULT> errors(3);
        ASSERT_EQ(sync->Write(3, handles, sent, errors.put()), S_OK);
    }

    ComPtr<IOPCAsyncIO3> async;
    ASSERT_HRESULT_SUCCEEDED(items.As(IID_IOPCAsyncIO3, async));
    auto expectValues = [&](const Call& call, DWORD transaction)
    {
        EXPECT_EQ(call.transaction, transaction);
        EXPECT_EQ(call.group, 500u);
        EXPECT_EQ(call.masterQuality, S_OK);
        EXPECT_EQ(call.masterError, S_OK);
        ASSERT_EQ(call.clients.size(), 3u);
        ASSERT_EQ(call.values.size(), 3u);
        for (DWORD i = 0; i < 3; ++i)
        {
            SCOPED_TRACE(i);
            EXPECT_EQ(call.clients[i], 7000 + i);
            EXPECT_TRUE(SameVariant(*call.values[i].get(), *values[i].get()));
            EXPECT_EQ(call.qualities[i], OPC_QUALITY_GOOD);
            EXPECT_TRUE(call.times[i] == ItemTime(i));
            EXPECT_EQ(call.errors[i], S_OK);
        }
    };

    DWORD cancel = 0;
    {
        TaskArray<HRESULT> errors(4);
        ASSERT_EQ(async->Read(4, handles, 41, &cancel, errors.put()), S_FALSE);
        EXPECT_EQ(errors[3], OPC_E_INVALIDHANDLE);
    }
    Call call;
    ASSERT_TRUE(sink->Wait(DataSink::ReadComplete, call));
    expectValues(call, 41);

    ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 42, &cancel), S_OK);
    ASSERT_TRUE(sink->Wait(DataSink::DataChange, call));
    expectValues(call, 42);

    OPCITEMVQT vqt[2] = {};
    vqt[0].vDataValue = *values[1].get();
    vqt[1].vDataValue = *values[0].get();
    {
        TaskArray<HRESULT> errors(2);
        ASSERT_EQ(async->WriteVQT(2, handles, vqt, 43, &cancel, errors.put()), S_OK);
    }
    ASSERT_TRUE(sink->Wait(DataSink::WriteComplete, call));
    EXPECT_EQ(call.transaction, 43u);
    EXPECT_EQ(call.group, 500u);
    EXPECT_EQ(call.masterError, S_OK);
    EXPECT_EQ(call.clients, (std::vector<OPCHANDLE>{7000, 7001}));
    EXPECT_EQ(call.errors, (std::vector<HRESULT>{S_OK, S_OK}));

    {
        TaskArray<HRESULT> errors(1);
        ASSERT_EQ(async->Read(1, handles, 44, &cancel, errors.put()), S_OK);
    }
    ASSERT_EQ(async->Cancel2(cancel), S_OK);
    ASSERT_TRUE(sink->Wait(DataSink::CancelComplete, call));
    EXPECT_EQ(call.transaction, 44u);
    EXPECT_EQ(call.group, 500u);

    ASSERT_EQ(point->Unadvise(cookie), S_OK);
    TaskArray<HRESULT> errors(1);
    EXPECT_EQ(async->Read(1, handles, 45, &cancel, errors.put()), CONNECT_E_NOCONNECTION);
}

TEST_F(TestServerTest, ShutdownRequestFromAServerThreadArrivesIntact)
{
    ComPtr<ShutdownSink> sink = ComPtr<ShutdownSink>::Adopt(new ShutdownSink());
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ComPtr<IUnknown> server;
    ASSERT_HRESULT_SUCCEEDED(server_.As(IID_IUnknown, server));
    ASSERT_EQ(Connect(server, IID_IOPCShutdown, sink.get(), point, cookie), S_OK);

    auto control = Server<IOpcDaShutdownControl>(IID_IOpcDaShutdownControl);
    ASSERT_EQ(control->RequestShutdown(), S_OK);
    std::wstring reason;
    ASSERT_TRUE(sink->Wait(reason));
    EXPECT_EQ(reason, kShutdownReason);
    EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

} // namespace
