// A small out-of-process OPC DA server of the tests' own. It answers every
// method shape the real server uses with values the tests can predict
// (testserver_protocol.h), so a round trip through opcproxy.dll can be
// checked value by value.
//
//   /regserver    register the LocalServer32 class in the prefix
//   /start        register, start a persistent instance detached from the
//                 caller's output, and wait until it serves (ctest fixture)
//   /stop         end the persistent instance and wait for it to go
//   -Embedding    serve (COM start); with /persist until /stop, otherwise
//                 until the last object is gone
#include "testserver_protocol.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace testserver;

namespace
{

// ---------------------------------------------------------------- module

std::atomic<long> g_objects{0};
Handle g_idle; // set when the last object is gone

class ModuleLock
{
public:
    ModuleLock() { ++g_objects; }
    ModuleLock(const ModuleLock&) : ModuleLock() {}
    ~ModuleLock()
    {
        if (--g_objects == 0 && g_idle)
            SetEvent(g_idle.get());
    }
};

bool IsIid(REFIID a, REFIID b)
{
    return InlineIsEqualGUID(a, b) != 0;
}

HRESULT Deliver(std::function<void()> call)
{
    try
    {
        std::thread(
            [call = std::move(call), lock = ModuleLock()]
            {
                COpcApartment apartment;
                if (SUCCEEDED(apartment.Result()))
                    call();
            })
            .detach();
        return S_OK;
    }
    catch (...)
    {
        return E_OUTOFMEMORY;
    }
}

template <class T>
HRESULT Allocate(TaskArray<T>& array, DWORD count)
{
    return array.allocate(count) ? S_OK : E_OUTOFMEMORY;
}

// --------------------------------------------------------- connection point

// One outgoing interface, one sink. Enough for IOPCShutdown and IOPCDataCallback.
class SinkPoint final : public IConnectionPoint
{
public:
    explicit SinkPoint(REFIID iid) : iid_(iid) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsIid(riid, IID_IUnknown) && !IsIid(riid, IID_IConnectionPoint))
            return E_NOINTERFACE;
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
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

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override
    {
        if (!iid)
            return E_INVALIDARG;
        *iid = iid_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override
    {
        if (!sink || !cookie)
            return E_POINTER;
        ComPtr<IUnknown> typed;
        HRESULT hr = sink->QueryInterface(iid_, typed.put_void());
        if (FAILED(hr))
            return hr;
        std::lock_guard<std::mutex> guard(lock_);
        if (sink_)
            return CONNECT_E_ADVISELIMIT;
        sink_ = typed;
        *cookie = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override
    {
        ComPtr<IUnknown> gone;
        std::lock_guard<std::mutex> guard(lock_);
        if (cookie != 1 || !sink_)
            return CONNECT_E_NOCONNECTION;
        std::swap(gone, sink_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    template <class I>
    ComPtr<I> Sink()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return ComPtr<I>::Share(static_cast<I*>(sink_.get()));
    }

private:
    ~SinkPoint() = default;
    std::atomic<ULONG> refs_{1};
    IID iid_;
    std::mutex lock_;
    ComPtr<IUnknown> sink_;
    ModuleLock module_;
};

HRESULT FindPoint(const ComPtr<SinkPoint>& point, REFIID iid, IConnectionPoint** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    IID own{};
    point->GetConnectionInterface(&own);
    if (!IsIid(iid, own))
        return CONNECT_E_NOCONNECTION;
    return point->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(out));
}

// -------------------------------------------------------------------- items

struct Item
{
    DWORD index = 0;
    std::wstring accessPath;
    bool hasAccessPath = false;
    std::wstring itemId;
    BOOL active = FALSE;
    OPCHANDLE client = 0;
    std::vector<BYTE> blob;
    VARTYPE requested = VT_EMPTY;
    VARTYPE canonical = VT_EMPTY;
    Variant value;
    WORD quality = OPC_QUALITY_WAITING_FOR_INITIAL_DATA;
    FILETIME time{};
    bool deadbandSet = false;
    float deadband = 0.0f;
    bool rateSet = false;
    DWORD samplingRate = 0;
    BOOL bufferEnable = FALSE;
};

// Snapshot of item attributes for the enumerator; deep-copied out on Next.
class ItemEnum final : public IEnumOPCItemAttributes
{
public:
    ItemEnum(std::vector<std::pair<OPCHANDLE, Item>> items, ULONG position)
        : items_(std::move(items)), position_(position)
    {
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsIid(riid, IID_IUnknown) && !IsIid(riid, IID_IEnumOPCItemAttributes))
            return E_NOINTERFACE;
        *ppv = static_cast<IEnumOPCItemAttributes*>(this);
        AddRef();
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

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** items, ULONG* fetched) override
    {
        if (!items || !fetched)
            return E_INVALIDARG;
        *items = nullptr;
        *fetched = 0;
        std::lock_guard<std::mutex> guard(lock_);
        const ULONG count = std::min<ULONG>(celt, static_cast<ULONG>(items_.size()) - position_);
        TaskArray<OPCITEMATTRIBUTES> out;
        if (FAILED(Allocate(out, count)))
            return E_OUTOFMEMORY;
        for (ULONG i = 0; i < count; ++i)
        {
            const auto& [handle, item] = items_[position_ + i];
            OPCITEMATTRIBUTES& a = out[i];
            if (item.hasAccessPath && FAILED(CopyTo(item.accessPath.c_str(), &a.szAccessPath)))
                return E_OUTOFMEMORY;
            if (FAILED(CopyTo(item.itemId.c_str(), &a.szItemID)))
                return E_OUTOFMEMORY;
            a.bActive = item.active;
            a.hClient = item.client;
            a.hServer = handle;
            a.dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
            if (!item.blob.empty())
            {
                a.pBlob = static_cast<BYTE*>(CoTaskMemAlloc(item.blob.size()));
                if (!a.pBlob)
                    return E_OUTOFMEMORY;
                std::memcpy(a.pBlob, item.blob.data(), item.blob.size());
                a.dwBlobSize = static_cast<DWORD>(item.blob.size());
            }
            a.vtRequestedDataType = item.requested;
            a.vtCanonicalDataType = item.canonical;
            a.dwEUType = EuTypeOf(item.index);
            HRESULT hr = EuInfoOf(item.index, &a.vEUInfo);
            if (FAILED(hr))
                return hr;
        }
        position_ += count;
        *fetched = count;
        *items = out.release();
        return count == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        const ULONG left = static_cast<ULONG>(items_.size()) - position_;
        position_ += std::min(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        std::lock_guard<std::mutex> guard(lock_);
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** out) override
    {
        if (!out)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        *out = new (std::nothrow) ItemEnum(items_, position_);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~ItemEnum() = default;
    std::atomic<ULONG> refs_{1};
    std::mutex lock_;
    std::vector<std::pair<OPCHANDLE, Item>> items_;
    ULONG position_;
    ModuleLock module_;
};

// Values of one asynchronous transaction, owned until the callback returns.
struct Delivery
{
    std::vector<OPCHANDLE> clients;
    std::vector<Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<HRESULT> errors;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;

    VARIANT* Values() { return values.empty() ? nullptr : values.front().get(); }
};
static_assert(sizeof(Variant) == sizeof(VARIANT), "Variant arrays double as VARIANT arrays");

// -------------------------------------------------------------------- group

class Group final : public IOPCItemMgt,
                    public IOPCSyncIO2,
                    public IOPCAsyncIO3,
                    public IOPCGroupStateMgt2,
                    public IOPCItemDeadbandMgt,
                    public IOPCItemSamplingMgt,
                    public IConnectionPointContainer
{
public:
    Group(std::wstring name, OPCHANDLE handle) : name_(std::move(name)), handle_(handle)
    {
        point_ = ComPtr<SinkPoint>::Adopt(new SinkPoint(IID_IOPCDataCallback));
    }

    OPCHANDLE handle() const { return handle_; }

    // AddGroup's part of the state; NULL pointers are recorded as markers.
    void Init(BOOL active, DWORD rate, OPCHANDLE client, const LONG* bias, const FLOAT* deadband, DWORD lcid)
    {
        std::lock_guard<std::mutex> guard(lock_);
        active_ = active;
        rate_ = rate;
        client_ = client;
        bias_ = bias ? *bias : kNoTimeBias;
        deadband_ = deadband ? *deadband : kNoDeadband;
        lcid_ = lcid;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsIid(riid, IID_IUnknown) || IsIid(riid, IID_IOPCItemMgt))
            *ppv = static_cast<IOPCItemMgt*>(this);
        else if (IsIid(riid, IID_IOPCSyncIO) || IsIid(riid, IID_IOPCSyncIO2))
            *ppv = static_cast<IOPCSyncIO2*>(this);
        else if (IsIid(riid, IID_IOPCAsyncIO2) || IsIid(riid, IID_IOPCAsyncIO3))
            *ppv = static_cast<IOPCAsyncIO3*>(this);
        else if (IsIid(riid, IID_IOPCGroupStateMgt) || IsIid(riid, IID_IOPCGroupStateMgt2))
            *ppv = static_cast<IOPCGroupStateMgt2*>(this);
        else if (IsIid(riid, IID_IOPCItemDeadbandMgt))
            *ppv = static_cast<IOPCItemDeadbandMgt*>(this);
        else if (IsIid(riid, IID_IOPCItemSamplingMgt))
            *ppv = static_cast<IOPCItemSamplingMgt*>(this);
        else if (IsIid(riid, IID_IConnectionPointContainer))
            *ppv = static_cast<IConnectionPointContainer*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
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

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override
    {
        return FindPoint(point_, riid, out);
    }

    // IOPCItemMgt
    // Items added to an active group with a data sink advised get their first
    // update at once, followed by a keep-alive (no items) when one is set. Both
    // are sent before AddItems returns, so a subscribing client has seen them
    // by the time its call comes back.
    HRESULT STDMETHODCALLTYPE AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results,
                                       HRESULT** errors) override
    {
        HRESULT hr = AddOrValidate(count, defs, TRUE, true, results, errors);
        ComPtr<IOPCDataCallback> sink = point_->Sink<IOPCDataCallback>();
        if (FAILED(hr) || !sink)
            return hr;
        Delivery d;
        OPCHANDLE group = 0;
        bool keepAlive = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!active_)
                return hr;
            for (DWORD i = 0; i < count; ++i)
            {
                auto found = SUCCEEDED((*errors)[i]) ? items_.find((*results)[i].hServer) : items_.end();
                if (found != items_.end() && found->second.active)
                    Snapshot(found->second, S_OK, d);
            }
            group = client_;
            keepAlive = keepAlive_ != 0;
        }
        const DWORD n = static_cast<DWORD>(d.clients.size());
        if (n > 0)
            sink->OnDataChange(0, group, d.masterQuality, d.masterError, n, d.clients.data(), d.Values(),
                               d.qualities.data(), d.times.data(), d.errors.data());
        if (keepAlive)
        {
            // The arrays are reference pointers on the wire, even when empty.
            OPCHANDLE noClient = 0;
            Variant noValue;
            WORD noQuality = 0;
            FILETIME noTime{};
            HRESULT noError = S_OK;
            sink->OnDataChange(0, group, S_OK, S_OK, 0, &noClient, noValue.get(), &noQuality, &noTime, &noError);
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD count, OPCITEMDEF* defs, BOOL blobUpdate, OPCITEMRESULT** results,
                                            HRESULT** errors) override
    {
        return AddOrValidate(count, defs, blobUpdate, false, results, errors);
    }
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override
    {
        return PerItem(count, handles, errors,
                       [this](OPCHANDLE h, DWORD) { return items_.erase(h) ? S_OK : OPC_E_INVALIDHANDLE; });
    }
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active, HRESULT** errors) override
    {
        return PerItem(count, handles, errors,
                       [&](Item& item, DWORD)
                       {
                           item.active = active;
                           return S_OK;
                       });
    }
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD count, OPCHANDLE* handles, OPCHANDLE* clients,
                                               HRESULT** errors) override
    {
        if (!clients)
            return E_INVALIDARG;
        return PerItem(count, handles, errors,
                       [&](Item& item, DWORD i)
                       {
                           item.client = clients[i];
                           return S_OK;
                       });
    }
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types, HRESULT** errors) override
    {
        if (!types)
            return E_INVALIDARG;
        return PerItem(count, handles, errors,
                       [&](Item& item, DWORD i)
                       {
                           item.requested = types[i];
                           return S_OK;
                       });
    }
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, IUnknown** out) override
    {
        if (!out)
            return E_INVALIDARG;
        *out = nullptr;
        std::vector<std::pair<OPCHANDLE, Item>> snapshot;
        {
            std::lock_guard<std::mutex> guard(lock_);
            snapshot.assign(items_.begin(), items_.end());
        }
        const bool empty = snapshot.empty();
        ComPtr<IEnumOPCItemAttributes> e = ComPtr<IEnumOPCItemAttributes>::Adopt(new ItemEnum(std::move(snapshot), 0));
        HRESULT hr = e->QueryInterface(riid, reinterpret_cast<void**>(out));
        return FAILED(hr) ? hr : (empty ? S_FALSE : S_OK);
    }

    // IOPCSyncIO / IOPCSyncIO2
    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                                   HRESULT** errors) override
    {
        if (!states || !errors || !handles || count == 0)
            return E_INVALIDARG;
        if (source != OPC_DS_CACHE && source != OPC_DS_DEVICE)
            return E_INVALIDARG;
        *states = nullptr;
        TaskArray<OPCITEMSTATE> out;
        if (FAILED(Allocate(out, count)))
            return E_OUTOFMEMORY;
        HRESULT hr = PerItem(count, handles, errors,
                             [&](Item& item, DWORD i)
                             {
                                 out[i].hClient = item.client;
                                 out[i].ftTimeStamp = item.time;
                                 out[i].wQuality = item.quality;
                                 return VariantCopy(&out[i].vDataValue, item.value.get());
                             });
        if (SUCCEEDED(hr))
            *states = out.release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override
    {
        if (!values)
            return E_INVALIDARG;
        return PerItem(count, handles, errors, [&](Item& item, DWORD i) { return Store(item, values[i]); });
    }
    HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD count, OPCHANDLE* handles, DWORD* maxAge, VARIANT** values,
                                         WORD** qualities, FILETIME** times, HRESULT** errors) override
    {
        if (!maxAge || !values || !qualities || !times || !errors || !handles || count == 0)
            return E_INVALIDARG;
        *values = nullptr;
        *qualities = nullptr;
        *times = nullptr;
        TaskArray<VARIANT> v;
        TaskArray<WORD> q;
        TaskArray<FILETIME> t;
        if (FAILED(Allocate(v, count)) || FAILED(Allocate(q, count)) || FAILED(Allocate(t, count)))
            return E_OUTOFMEMORY;
        HRESULT hr = PerItem(count, handles, errors,
                             [&](Item& item, DWORD i)
                             {
                                 q[i] = item.quality;
                                 t[i] = item.time;
                                 return VariantCopy(&v[i], item.value.get());
                             });
        if (SUCCEEDED(hr))
        {
            *values = v.release();
            *qualities = q.release();
            *times = t.release();
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD count, OPCHANDLE* handles, OPCITEMVQT* vqts, HRESULT** errors) override
    {
        if (!vqts)
            return E_INVALIDARG;
        return PerItem(count, handles, errors, [&](Item& item, DWORD i) { return StoreVqt(item, vqts[i]); });
    }

    // IOPCAsyncIO2 / IOPCAsyncIO3: each transaction is answered from a thread of its own.
    HRESULT STDMETHODCALLTYPE Read(DWORD count, OPCHANDLE* handles, DWORD transaction, DWORD* cancel,
                                   HRESULT** errors) override
    {
        return ReadAsync(count, handles, transaction, cancel, errors);
    }
    HRESULT STDMETHODCALLTYPE Write(DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD transaction, DWORD* cancel,
                                    HRESULT** errors) override
    {
        if (!values)
            return E_INVALIDARG;
        return WriteAsync(count, handles, transaction, cancel, errors,
                          [&](Item& item, DWORD i) { return Store(item, values[i]); });
    }
    HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancel) override
    {
        if (source != OPC_DS_CACHE && source != OPC_DS_DEVICE)
            return E_INVALIDARG;
        return RefreshAsync(transaction, cancel);
    }
    HRESULT STDMETHODCALLTYPE Cancel2(DWORD cancelId) override
    {
        ComPtr<IOPCDataCallback> sink = point_->Sink<IOPCDataCallback>();
        DWORD transaction = 0;
        OPCHANDLE group = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto found = pending_.find(cancelId);
            if (found == pending_.end())
                return E_FAIL;
            transaction = found->second;
            pending_.erase(found);
            group = client_;
        }
        if (!sink)
            return CONNECT_E_NOCONNECTION;
        return Deliver([sink, transaction, group] { sink->OnCancelComplete(transaction, group); });
    }
    HRESULT STDMETHODCALLTYPE SetEnable(BOOL enable) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        enable_ = enable;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetEnable(BOOL* enable) override
    {
        if (!enable)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        *enable = enable_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReadMaxAge(DWORD count, OPCHANDLE* handles, DWORD* maxAge, DWORD transaction,
                                         DWORD* cancel, HRESULT** errors) override
    {
        if (!maxAge)
            return E_INVALIDARG;
        return ReadAsync(count, handles, transaction, cancel, errors);
    }
    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD count, OPCHANDLE* handles, OPCITEMVQT* vqts, DWORD transaction,
                                       DWORD* cancel, HRESULT** errors) override
    {
        if (!vqts)
            return E_INVALIDARG;
        return WriteAsync(count, handles, transaction, cancel, errors,
                          [&](Item& item, DWORD i) { return StoreVqt(item, vqts[i]); });
    }
    HRESULT STDMETHODCALLTYPE RefreshMaxAge(DWORD, DWORD transaction, DWORD* cancel) override
    {
        return RefreshAsync(transaction, cancel);
    }

    // IOPCGroupStateMgt / IOPCGroupStateMgt2
    HRESULT STDMETHODCALLTYPE GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband,
                                       DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) override
    {
        if (!rate || !active || !name || !bias || !deadband || !lcid || !client || !server)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        HRESULT hr = CopyTo(name_.c_str(), name);
        if (FAILED(hr))
            return hr;
        *rate = rate_;
        *active = active_;
        *bias = bias_;
        *deadband = deadband_;
        *lcid = lcid_;
        *client = client_;
        *server = handle_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetState(DWORD* rate, DWORD* revised, BOOL* active, LONG* bias, FLOAT* deadband,
                                       DWORD* lcid, OPCHANDLE* client) override
    {
        if (!revised)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        HRESULT result = S_OK;
        if (rate)
        {
            rate_ = (*rate + 49) / 50 * 50;
            if (rate_ != *rate)
                result = OPC_S_UNSUPPORTEDRATE;
        }
        *revised = rate_;
        if (active)
            active_ = *active;
        if (bias)
            bias_ = *bias;
        if (deadband)
            deadband_ = *deadband;
        if (lcid)
            lcid_ = *lcid;
        if (client)
            client_ = *client;
        return result;
    }
    HRESULT STDMETHODCALLTYPE SetName(LPCWSTR name) override
    {
        if (!name || !*name)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        name_ = name;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR, REFIID, IUnknown**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetKeepAlive(DWORD time, DWORD* revised) override
    {
        if (!revised)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        keepAlive_ = (time + 999) / 1000 * 1000;
        *revised = keepAlive_;
        return keepAlive_ == time ? S_OK : OPC_S_UNSUPPORTEDRATE;
    }
    HRESULT STDMETHODCALLTYPE GetKeepAlive(DWORD* time) override
    {
        if (!time)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        *time = keepAlive_;
        return S_OK;
    }

    // IOPCItemDeadbandMgt
    HRESULT STDMETHODCALLTYPE SetItemDeadband(DWORD count, OPCHANDLE* handles, FLOAT* deadbands,
                                              HRESULT** errors) override
    {
        if (!deadbands)
            return E_INVALIDARG;
        return PerItem(count, handles, errors,
                       [&](Item& item, DWORD i)
                       {
                           if (!(deadbands[i] >= 0.0f && deadbands[i] <= 100.0f))
                               return E_INVALIDARG;
                           item.deadband = deadbands[i];
                           item.deadbandSet = true;
                           return S_OK;
                       });
    }
    HRESULT STDMETHODCALLTYPE GetItemDeadband(DWORD count, OPCHANDLE* handles, FLOAT** deadbands,
                                              HRESULT** errors) override
    {
        return PerItemOut(count, handles, deadbands, errors,
                          [](Item& item, DWORD, FLOAT& out)
                          {
                              out = item.deadband;
                              return item.deadbandSet ? S_OK : OPC_E_DEADBANDNOTSET;
                          });
    }
    HRESULT STDMETHODCALLTYPE ClearItemDeadband(DWORD count, OPCHANDLE* handles, HRESULT** errors) override
    {
        return PerItem(count, handles, errors,
                       [](Item& item, DWORD)
                       {
                           if (!item.deadbandSet)
                               return OPC_E_DEADBANDNOTSET;
                           item.deadbandSet = false;
                           item.deadband = 0.0f;
                           return S_OK;
                       });
    }

    // IOPCItemSamplingMgt: rates are revised up to whole 100 ms.
    HRESULT STDMETHODCALLTYPE SetItemSamplingRate(DWORD count, OPCHANDLE* handles, DWORD* requested, DWORD** revised,
                                                  HRESULT** errors) override
    {
        if (!requested)
            return E_INVALIDARG;
        return PerItemOut(count, handles, revised, errors,
                          [&](Item& item, DWORD i, DWORD& out)
                          {
                              const DWORD want = requested[i];
                              item.samplingRate = (want + 99) / 100 * 100;
                              item.rateSet = true;
                              out = item.samplingRate;
                              return out == want ? S_OK : OPC_S_UNSUPPORTEDRATE;
                          });
    }
    HRESULT STDMETHODCALLTYPE GetItemSamplingRate(DWORD count, OPCHANDLE* handles, DWORD** rates,
                                                  HRESULT** errors) override
    {
        return PerItemOut(count, handles, rates, errors,
                          [](Item& item, DWORD, DWORD& out)
                          {
                              out = item.samplingRate;
                              return item.rateSet ? S_OK : OPC_E_RATENOTSET;
                          });
    }
    HRESULT STDMETHODCALLTYPE ClearItemSamplingRate(DWORD count, OPCHANDLE* handles, HRESULT** errors) override
    {
        return PerItem(count, handles, errors,
                       [](Item& item, DWORD)
                       {
                           if (!item.rateSet)
                               return OPC_E_RATENOTSET;
                           item.rateSet = false;
                           item.samplingRate = 0;
                           return S_OK;
                       });
    }
    HRESULT STDMETHODCALLTYPE SetItemBufferEnable(DWORD count, OPCHANDLE* handles, BOOL* enable,
                                                  HRESULT** errors) override
    {
        if (!enable)
            return E_INVALIDARG;
        return PerItem(count, handles, errors,
                       [&](Item& item, DWORD i)
                       {
                           item.bufferEnable = enable[i];
                           return S_OK;
                       });
    }
    HRESULT STDMETHODCALLTYPE GetItemBufferEnable(DWORD count, OPCHANDLE* handles, BOOL** enable,
                                                  HRESULT** errors) override
    {
        return PerItemOut(count, handles, enable, errors,
                          [](Item& item, DWORD, BOOL& out)
                          {
                              out = item.bufferEnable;
                              return S_OK;
                          });
    }

private:
    ~Group() = default;

    static HRESULT Store(Item& item, const VARIANT& value)
    {
        HRESULT hr = VariantCopy(item.value.put(), const_cast<VARIANT*>(&value));
        if (SUCCEEDED(hr))
            item.quality = OPC_QUALITY_GOOD;
        return hr;
    }
    static HRESULT StoreVqt(Item& item, const OPCITEMVQT& vqt)
    {
        HRESULT hr = Store(item, vqt.vDataValue);
        if (FAILED(hr))
            return hr;
        if (vqt.bQualitySpecified)
            item.quality = vqt.wQuality;
        if (vqt.bTimeStampSpecified)
            item.time = vqt.ftTimeStamp;
        return S_OK;
    }

    // Runs fn(item, index) under the group lock for every handle; unknown
    // handles fail with OPC_E_INVALIDHANDLE. S_FALSE when any item failed.
    template <class Fn>
    HRESULT PerItem(DWORD count, OPCHANDLE* handles, HRESULT** errors, Fn fn)
    {
        if (!errors || !handles || count == 0)
            return E_INVALIDARG;
        *errors = nullptr;
        TaskArray<HRESULT> out;
        if (FAILED(Allocate(out, count)))
            return E_OUTOFMEMORY;
        bool failed = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (DWORD i = 0; i < count; ++i)
            {
                if constexpr (std::is_invocable_v<Fn, OPCHANDLE, DWORD>)
                {
                    out[i] = fn(handles[i], i);
                }
                else
                {
                    auto found = items_.find(handles[i]);
                    out[i] = found == items_.end() ? OPC_E_INVALIDHANDLE : fn(found->second, i);
                }
                failed = failed || FAILED(out[i]);
            }
        }
        *errors = out.release();
        return failed ? S_FALSE : S_OK;
    }

    template <class T, class Fn>
    HRESULT PerItemOut(DWORD count, OPCHANDLE* handles, T** values, HRESULT** errors, Fn fn)
    {
        if (!values)
            return E_INVALIDARG;
        *values = nullptr;
        TaskArray<T> out;
        if (FAILED(Allocate(out, count)))
            return E_OUTOFMEMORY;
        HRESULT hr = PerItem(count, handles, errors, [&](Item& item, DWORD i) { return fn(item, i, out[i]); });
        if (SUCCEEDED(hr))
            *values = out.release();
        return hr;
    }

    HRESULT AddOrValidate(DWORD count, OPCITEMDEF* defs, BOOL withBlob, bool add, OPCITEMRESULT** results,
                          HRESULT** errors)
    {
        if (!defs || !results || !errors || count == 0)
            return E_INVALIDARG;
        *results = nullptr;
        *errors = nullptr;
        TaskArray<OPCITEMRESULT> out(count);
        TaskArray<HRESULT> err;
        if (FAILED(Allocate(out, count)) || FAILED(Allocate(err, count)))
            return E_OUTOFMEMORY;
        bool failed = false;
        std::lock_guard<std::mutex> guard(lock_);
        for (DWORD i = 0; i < count; ++i)
        {
            const OPCITEMDEF& def = defs[i];
            if (!def.szItemID || !*def.szItemID)
            {
                err[i] = OPC_E_INVALIDITEMID;
                failed = true;
                continue;
            }
            Item item;
            item.index = nextIndex_;
            item.hasAccessPath = def.szAccessPath != nullptr;
            item.accessPath = def.szAccessPath ? def.szAccessPath : L"";
            item.itemId = def.szItemID;
            item.active = def.bActive;
            item.client = def.hClient;
            if (def.pBlob)
                item.blob.assign(def.pBlob, def.pBlob + def.dwBlobSize);
            item.requested = def.vtRequestedDataType;
            item.canonical = def.vtRequestedDataType != VT_EMPTY ? def.vtRequestedDataType : VARTYPE{VT_R8};
            item.time = ItemTime(item.index);

            OPCITEMRESULT& r = out[i];
            r.vtCanonicalDataType = item.canonical;
            r.dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
            // The blob comes back reversed: proof the server saw what was sent.
            if (withBlob && !item.blob.empty())
            {
                r.pBlob = static_cast<BYTE*>(CoTaskMemAlloc(item.blob.size()));
                if (!r.pBlob)
                    return E_OUTOFMEMORY;
                std::reverse_copy(item.blob.begin(), item.blob.end(), r.pBlob);
                r.dwBlobSize = static_cast<DWORD>(item.blob.size());
            }
            if (add)
            {
                r.hServer = nextHandle_++;
                ++nextIndex_;
                items_.emplace(r.hServer, std::move(item));
            }
            err[i] = S_OK;
        }
        *results = out.release();
        *errors = err.release();
        return failed ? S_FALSE : S_OK;
    }

    HRESULT Begin(DWORD transaction, DWORD* cancel, ComPtr<IOPCDataCallback>& sink, OPCHANDLE& group)
    {
        if (!cancel)
            return E_INVALIDARG;
        sink = point_->Sink<IOPCDataCallback>();
        if (!sink)
            return CONNECT_E_NOCONNECTION;
        std::lock_guard<std::mutex> guard(lock_);
        *cancel = nextCancel_++;
        pending_[*cancel] = transaction;
        group = client_;
        return S_OK;
    }

    void Snapshot(const Item& item, HRESULT error, Delivery& d)
    {
        d.clients.push_back(item.client);
        d.values.emplace_back(item.value);
        d.qualities.push_back(item.quality);
        d.times.push_back(item.time);
        d.errors.push_back(error);
        if (FAILED(error))
            d.masterError = S_FALSE;
        if ((item.quality & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD)
            d.masterQuality = S_FALSE;
    }

    HRESULT ReadAsync(DWORD count, OPCHANDLE* handles, DWORD transaction, DWORD* cancel, HRESULT** errors)
    {
        ComPtr<IOPCDataCallback> sink;
        OPCHANDLE group = 0;
        HRESULT hr = Begin(transaction, cancel, sink, group);
        if (FAILED(hr))
            return hr;
        auto d = std::make_shared<Delivery>();
        hr = PerItem(count, handles, errors,
                     [&](Item& item, DWORD)
                     {
                         Snapshot(item, S_OK, *d);
                         return S_OK;
                     });
        if (FAILED(hr) || d->clients.empty())
            return hr;
        const DWORD n = static_cast<DWORD>(d->clients.size());
        HRESULT sent = Deliver(
            [sink, d, transaction, group, n]
            {
                sink->OnReadComplete(transaction, group, d->masterQuality, d->masterError, n, d->clients.data(),
                                     d->Values(), d->qualities.data(), d->times.data(), d->errors.data());
            });
        return FAILED(sent) ? sent : hr;
    }

    template <class Fn>
    HRESULT WriteAsync(DWORD count, OPCHANDLE* handles, DWORD transaction, DWORD* cancel, HRESULT** errors, Fn store)
    {
        ComPtr<IOPCDataCallback> sink;
        OPCHANDLE group = 0;
        HRESULT hr = Begin(transaction, cancel, sink, group);
        if (FAILED(hr))
            return hr;
        auto d = std::make_shared<Delivery>();
        hr = PerItem(count, handles, errors,
                     [&](Item& item, DWORD i)
                     {
                         HRESULT stored = store(item, i);
                         d->clients.push_back(item.client);
                         d->errors.push_back(stored);
                         if (FAILED(stored))
                             d->masterError = S_FALSE;
                         return stored;
                     });
        if (FAILED(hr) || d->clients.empty())
            return hr;
        const DWORD n = static_cast<DWORD>(d->clients.size());
        HRESULT sent = Deliver(
            [sink, d, transaction, group, n]
            { sink->OnWriteComplete(transaction, group, d->masterError, n, d->clients.data(), d->errors.data()); });
        return FAILED(sent) ? sent : hr;
    }

    HRESULT RefreshAsync(DWORD transaction, DWORD* cancel)
    {
        ComPtr<IOPCDataCallback> sink;
        OPCHANDLE group = 0;
        HRESULT hr = Begin(transaction, cancel, sink, group);
        if (FAILED(hr))
            return hr;
        auto d = std::make_shared<Delivery>();
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!active_)
                return E_FAIL;
            for (const auto& entry : items_)
                if (entry.second.active)
                    Snapshot(entry.second, S_OK, *d);
        }
        if (d->clients.empty())
            return E_FAIL;
        const DWORD n = static_cast<DWORD>(d->clients.size());
        return Deliver(
            [sink, d, transaction, group, n]
            {
                sink->OnDataChange(transaction, group, d->masterQuality, d->masterError, n, d->clients.data(),
                                   d->Values(), d->qualities.data(), d->times.data(), d->errors.data());
            });
    }

    std::atomic<ULONG> refs_{1};
    std::mutex lock_;
    std::wstring name_;
    const OPCHANDLE handle_;
    OPCHANDLE client_ = 0;
    BOOL active_ = FALSE;
    BOOL enable_ = TRUE;
    DWORD rate_ = 0;
    LONG bias_ = 0;
    FLOAT deadband_ = 0.0f;
    DWORD lcid_ = 0;
    DWORD keepAlive_ = 0;
    std::map<OPCHANDLE, Item> items_;
    OPCHANDLE nextHandle_ = 1000;
    DWORD nextIndex_ = 0;
    DWORD nextCancel_ = 1;
    std::map<DWORD, DWORD> pending_; // cancel ID -> transaction ID
    ComPtr<SinkPoint> point_;
    ModuleLock module_;
};

// ------------------------------------------------------------------- server

struct Written
{
    Variant value;
    WORD quality = OPC_QUALITY_GOOD;
    FILETIME time{};
};

class Server final : public IOPCCommon,
                     public IOPCServer,
                     public IConnectionPointContainer,
                     public IOPCBrowseServerAddressSpace,
                     public IOPCItemProperties,
                     public IOPCBrowse,
                     public IOPCItemIO,
                     public IOpcDaShutdownControl
{
public:
    Server() { point_ = ComPtr<SinkPoint>::Adopt(new SinkPoint(IID_IOPCShutdown)); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsIid(riid, IID_IUnknown) || IsIid(riid, IID_IOPCCommon))
            *ppv = static_cast<IOPCCommon*>(this);
        else if (IsIid(riid, IID_IOPCServer))
            *ppv = static_cast<IOPCServer*>(this);
        else if (IsIid(riid, IID_IConnectionPointContainer))
            *ppv = static_cast<IConnectionPointContainer*>(this);
        else if (IsIid(riid, IID_IOPCBrowseServerAddressSpace))
            *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
        else if (IsIid(riid, IID_IOPCItemProperties))
            *ppv = static_cast<IOPCItemProperties*>(this);
        else if (IsIid(riid, IID_IOPCBrowse))
            *ppv = static_cast<IOPCBrowse*>(this);
        else if (IsIid(riid, IID_IOPCItemIO))
            *ppv = static_cast<IOPCItemIO*>(this);
        else if (IsIid(riid, IID_IOpcDaShutdownControl))
            *ppv = static_cast<IOpcDaShutdownControl*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
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

    // IOPCCommon
    HRESULT STDMETHODCALLTYPE SetLocaleID(LCID lcid) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        locale_ = lcid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* lcid) override
    {
        if (!lcid)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        *lcid = locale_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override
    {
        if (!count || !lcids)
            return E_INVALIDARG;
        static const LCID available[] = {1033, 9, 0, 127, 1041};
        TaskArray<LCID> out;
        if (FAILED(Allocate(out, 5)))
            return E_OUTOFMEMORY;
        std::copy(std::begin(available), std::end(available), out.get());
        *count = 5;
        *lcids = out.release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT code, LPWSTR* text) override
    {
        if (!text)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        return CopyTo(CommonErrorText(code, locale_, client_).c_str(), text);
    }
    HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR name) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        client_ = name ? name : L"(null)";
        return S_OK;
    }

    // IOPCServer
    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE client, LONG* bias,
                                       FLOAT* deadband, DWORD lcid, OPCHANDLE* handle, DWORD* revised, REFIID riid,
                                       IUnknown** group) override
    {
        if (!handle || !revised || !group)
            return E_INVALIDARG;
        *group = nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        std::wstring groupName = name && *name ? name : L"Group" + std::to_wstring(groups_.size() + 1);
        if (groups_.count(groupName))
            return OPC_E_DUPLICATENAME;
        ComPtr<Group> g = ComPtr<Group>::Adopt(new Group(groupName, nextGroup_++));
        g->Init(active, 0, client, bias, deadband, lcid);
        HRESULT hr = g->SetState(&rate, revised, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (FAILED(hr))
            return hr;
        HRESULT qi = g->QueryInterface(riid, reinterpret_cast<void**>(group));
        if (FAILED(qi))
            return qi;
        *handle = g->handle();
        groups_.emplace(groupName, g);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT code, LCID locale, LPWSTR* text) override
    {
        if (!text)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        return CopyTo(ServerErrorText(code, locale, client_).c_str(), text);
    }
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR name, REFIID riid, IUnknown** group) override
    {
        if (!group)
            return E_INVALIDARG;
        *group = nullptr;
        std::lock_guard<std::mutex> guard(lock_);
        auto found = name ? groups_.find(name) : groups_.end();
        if (found == groups_.end())
            return E_INVALIDARG;
        return found->second->QueryInterface(riid, reinterpret_cast<void**>(group));
    }
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** status) override
    {
        if (!status)
            return E_INVALIDARG;
        *status = nullptr;
        TaskPtr<OPCSERVERSTATUS> out;
        *out.put() = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        if (!out.get())
            return E_OUTOFMEMORY;
        std::memset(out.get(), 0, sizeof(OPCSERVERSTATUS));
        std::lock_guard<std::mutex> guard(lock_);
        out->ftStartTime = kStartTime;
        out->ftCurrentTime = kCurrentTime;
        out->ftLastUpdateTime = kLastUpdateTime;
        out->dwServerState = kServerState;
        out->dwGroupCount = static_cast<DWORD>(groups_.size());
        out->dwBandWidth = kBandWidth;
        out->wMajorVersion = kMajor;
        out->wMinorVersion = kMinor;
        out->wBuildNumber = kBuild;
        HRESULT hr = CopyTo(kVendorInfo, &out->szVendorInfo);
        if (FAILED(hr))
            return hr;
        *status = out.release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE handle, BOOL) override
    {
        ComPtr<Group> gone;
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = groups_.begin(); it != groups_.end(); ++it)
        {
            if (it->second->handle() == handle)
            {
                gone = it->second;
                groups_.erase(it);
                return S_OK;
            }
        }
        return E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID, IUnknown**) override { return E_NOTIMPL; }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** out) override
    {
        return FindPoint(point_, riid, out);
    }

    // IOPCBrowseServerAddressSpace
    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* type) override
    {
        if (!type)
            return E_INVALIDARG;
        *type = OPC_NS_FLAT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR text) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        position_ = BrowsePosition(direction, text);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD, IEnumString**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR leaf, LPWSTR* itemId) override
    {
        if (!itemId)
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(lock_);
        return CopyTo(ItemIdAt(position_, leaf).c_str(), itemId);
    }
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR, IEnumString**) override { return E_NOTIMPL; }

    // IOPCItemProperties
    HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR item, DWORD* count, DWORD** ids, LPWSTR** descriptions,
                                                       VARTYPE** types) override
    {
        if (!count || !ids || !descriptions || !types)
            return E_INVALIDARG;
        TaskArray<DWORD> i;
        TaskArray<LPWSTR> d;
        TaskArray<VARTYPE> t;
        if (FAILED(Allocate(i, kPropertyCount)) || FAILED(Allocate(d, kPropertyCount)) ||
            FAILED(Allocate(t, kPropertyCount)))
            return E_OUTOFMEMORY;
        for (DWORD n = 0; n < kPropertyCount; ++n)
        {
            i[n] = kProperties[n].id;
            t[n] = kProperties[n].type;
            HRESULT hr = CopyTo(PropertyDescription(item, kProperties[n]).c_str(), &d[n]);
            if (FAILED(hr))
                return hr;
        }
        *count = kPropertyCount;
        *ids = i.release();
        *descriptions = d.release();
        *types = t.release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR item, DWORD count, DWORD* ids, VARIANT** values,
                                                HRESULT** errors) override
    {
        if (!ids || !values || !errors || count == 0)
            return E_INVALIDARG;
        TaskArray<VARIANT> v;
        TaskArray<HRESULT> e;
        if (FAILED(Allocate(v, count)) || FAILED(Allocate(e, count)))
            return E_OUTOFMEMORY;
        bool failed = false;
        for (DWORD n = 0; n < count; ++n)
        {
            e[n] = PropertyValue(item, ids[n], &v[n]);
            failed = failed || FAILED(e[n]);
        }
        *values = v.release();
        *errors = e.release();
        return failed ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR item, DWORD count, DWORD* ids, LPWSTR** itemIds,
                                            HRESULT** errors) override
    {
        if (!ids || !itemIds || !errors || count == 0)
            return E_INVALIDARG;
        TaskArray<LPWSTR> s;
        TaskArray<HRESULT> e;
        if (FAILED(Allocate(s, count)) || FAILED(Allocate(e, count)))
            return E_OUTOFMEMORY;
        bool failed = false;
        for (DWORD n = 0; n < count; ++n)
        {
            if (!FindProperty(ids[n]))
            {
                e[n] = OPC_E_INVALID_PID;
                failed = true;
                continue;
            }
            e[n] = CopyTo(PropertyItemId(item, ids[n]).c_str(), &s[n]);
            if (FAILED(e[n]))
                return e[n];
        }
        *itemIds = s.release();
        *errors = e.release();
        return failed ? S_FALSE : S_OK;
    }

    // IOPCBrowse
    HRESULT STDMETHODCALLTYPE GetProperties(DWORD itemCount, LPWSTR* itemIds, BOOL withValues, DWORD propertyCount,
                                            DWORD* propertyIds, OPCITEMPROPERTIES** out) override
    {
        if (!itemIds || !out || itemCount == 0 || (propertyCount && !propertyIds))
            return E_INVALIDARG;
        *out = nullptr;
        TaskArray<OPCITEMPROPERTIES> items;
        if (FAILED(Allocate(items, itemCount)))
            return E_OUTOFMEMORY;
        bool failed = false;
        for (DWORD n = 0; n < itemCount; ++n)
        {
            if (!itemIds[n] || wcscmp(itemIds[n], L"bad") == 0)
            {
                items[n].hrErrorID = OPC_E_UNKNOWNITEMID;
                failed = true;
                continue;
            }
            HRESULT hr = FillProperties(itemIds[n], withValues, propertyCount, propertyIds, items[n]);
            if (FAILED(hr))
                return hr;
        }
        *out = items.release();
        return failed ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Browse(LPWSTR root, LPWSTR* continuation, DWORD maxElements, OPCBROWSEFILTER filter,
                                     LPWSTR, LPWSTR, BOOL allProperties, BOOL withValues, DWORD propertyCount,
                                     DWORD* propertyIds, BOOL* more, DWORD* count, OPCBROWSEELEMENT** elements) override
    {
        if (!continuation || !more || !count || !elements || (propertyCount && !propertyIds))
            return E_INVALIDARG;
        *more = FALSE;
        *count = 0;
        *elements = nullptr;
        std::vector<DWORD> matching;
        for (DWORD i = 0; i < kBrowseElementCount; ++i)
        {
            const bool item = BrowseFlags(i) & OPC_BROWSE_ISITEM;
            if (filter == OPC_BROWSE_FILTER_ALL || (filter == OPC_BROWSE_FILTER_ITEMS && item) ||
                (filter == OPC_BROWSE_FILTER_BRANCHES && !item))
                matching.push_back(i);
        }
        DWORD start = 0;
        if (*continuation)
        {
            for (start = 0; start <= matching.size(); ++start)
                if (ContinuationPoint(root, start) == *continuation)
                    break;
            if (start > matching.size())
                return OPC_E_INVALIDCONTINUATIONPOINT;
        }
        const DWORD left = static_cast<DWORD>(matching.size()) - start;
        const DWORD n = maxElements ? std::min(maxElements, left) : left;
        TaskArray<OPCBROWSEELEMENT> out;
        if (FAILED(Allocate(out, n)))
            return E_OUTOFMEMORY;
        for (DWORD k = 0; k < n; ++k)
        {
            const DWORD index = matching[start + k];
            OPCBROWSEELEMENT& e = out[k];
            e.dwFlagValue = BrowseFlags(index);
            if (FAILED(CopyTo(BrowseName(index).c_str(), &e.szName)))
                return E_OUTOFMEMORY;
            const std::wstring id = BrowseItemId(root, index);
            if (FAILED(CopyTo(id.c_str(), &e.szItemID)))
                return E_OUTOFMEMORY;
            if (allProperties || propertyCount)
            {
                DWORD valueOnly = OPC_PROPERTY_VALUE;
                HRESULT hr = allProperties
                                 ? FillProperties(id.c_str(), withValues, 1, &valueOnly, e.ItemProperties)
                                 : FillProperties(id.c_str(), withValues, propertyCount, propertyIds, e.ItemProperties);
                if (FAILED(hr))
                    return hr;
            }
        }
        TaskString next;
        if (start + n < matching.size() && !next.assign(ContinuationPoint(root, start + n).c_str()))
            return E_OUTOFMEMORY;
        CoTaskMemFree(*continuation);
        *continuation = next.release();
        *more = *continuation != nullptr;
        *count = n;
        *elements = out.release();
        return S_OK;
    }

    // IOPCItemIO: values written through WriteVQT are read back; others are
    // "<item>@<max age>" as text.
    HRESULT STDMETHODCALLTYPE Read(DWORD count, LPCWSTR* itemIds, DWORD* maxAge, VARIANT** values, WORD** qualities,
                                   FILETIME** times, HRESULT** errors) override
    {
        if (!itemIds || !maxAge || !values || !qualities || !times || !errors || count == 0)
            return E_INVALIDARG;
        TaskArray<VARIANT> v;
        TaskArray<WORD> q;
        TaskArray<FILETIME> t;
        TaskArray<HRESULT> e;
        if (FAILED(Allocate(v, count)) || FAILED(Allocate(q, count)) || FAILED(Allocate(t, count)) ||
            FAILED(Allocate(e, count)))
            return E_OUTOFMEMORY;
        bool failed = false;
        std::lock_guard<std::mutex> guard(lock_);
        for (DWORD n = 0; n < count; ++n)
        {
            if (!itemIds[n] || !*itemIds[n])
            {
                e[n] = OPC_E_INVALIDITEMID;
                failed = true;
                continue;
            }
            auto found = written_.find(itemIds[n]);
            if (found != written_.end())
            {
                e[n] = VariantCopy(&v[n], found->second.value.get());
                q[n] = found->second.quality;
                t[n] = found->second.time;
            }
            else
            {
                e[n] = MakeBstr((std::wstring(itemIds[n]) + L"@" + std::to_wstring(maxAge[n])).c_str(), &v[n]);
                q[n] = OPC_QUALITY_GOOD;
                t[n] = ItemTime(n);
            }
            failed = failed || FAILED(e[n]);
        }
        *values = v.release();
        *qualities = q.release();
        *times = t.release();
        *errors = e.release();
        return failed ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE WriteVQT(DWORD count, LPCWSTR* itemIds, OPCITEMVQT* vqts, HRESULT** errors) override
    {
        if (!itemIds || !vqts || !errors || count == 0)
            return E_INVALIDARG;
        TaskArray<HRESULT> e;
        if (FAILED(Allocate(e, count)))
            return E_OUTOFMEMORY;
        bool failed = false;
        std::lock_guard<std::mutex> guard(lock_);
        for (DWORD n = 0; n < count; ++n)
        {
            if (!itemIds[n] || !*itemIds[n])
            {
                e[n] = OPC_E_INVALIDITEMID;
                failed = true;
                continue;
            }
            Written& w = written_[itemIds[n]];
            e[n] = VariantCopy(w.value.put(), &vqts[n].vDataValue);
            w.quality = vqts[n].bQualitySpecified ? vqts[n].wQuality : OPC_QUALITY_GOOD;
            w.time = vqts[n].bTimeStampSpecified ? vqts[n].ftTimeStamp : ItemTime(n);
            failed = failed || FAILED(e[n]);
        }
        *errors = e.release();
        return failed ? S_FALSE : S_OK;
    }

    // IOpcDaShutdownControl: tell the advised client from a thread of our own.
    HRESULT STDMETHODCALLTYPE RequestShutdown() override
    {
        ComPtr<IOPCShutdown> sink = point_->Sink<IOPCShutdown>();
        if (!sink)
            return S_OK;
        return Deliver([sink] { sink->ShutdownRequest(kShutdownReason); });
    }

private:
    ~Server() = default;

    static HRESULT FillProperties(const wchar_t* item, BOOL withValues, DWORD count, const DWORD* ids,
                                  OPCITEMPROPERTIES& out)
    {
        const DWORD n = count ? count : kPropertyCount;
        TaskArray<OPCITEMPROPERTY> props;
        if (FAILED(Allocate(props, n)))
            return E_OUTOFMEMORY;
        for (DWORD k = 0; k < n; ++k)
        {
            const DWORD id = count ? ids[k] : kProperties[k].id;
            const PropertyInfo* info = FindProperty(id);
            OPCITEMPROPERTY& p = props[k];
            p.dwPropertyID = id;
            if (!info)
            {
                p.hrErrorID = OPC_E_INVALID_PID;
                continue;
            }
            p.vtDataType = info->type;
            if (FAILED(CopyTo(PropertyItemId(item, id).c_str(), &p.szItemID)) ||
                FAILED(CopyTo(PropertyDescription(item, *info).c_str(), &p.szDescription)))
                return E_OUTOFMEMORY;
            p.hrErrorID = withValues ? PropertyValue(item, id, &p.vValue) : S_OK;
        }
        out.hrErrorID = S_OK;
        out.dwNumProperties = n;
        out.pItemProperties = props.release();
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    std::mutex lock_;
    LCID locale_ = LOCALE_SYSTEM_DEFAULT;
    std::wstring client_;
    std::wstring position_;
    std::map<std::wstring, ComPtr<Group>> groups_;
    OPCHANDLE nextGroup_ = 0x100;
    std::map<std::wstring, Written> written_;
    ComPtr<SinkPoint> point_;
    ModuleLock module_;
};

class Factory final : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsIid(riid, IID_IUnknown) && !IsIid(riid, IID_IClassFactory))
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        try
        {
            ComPtr<Server> server = ComPtr<Server>::Adopt(new Server());
            return server->QueryInterface(riid, ppv);
        }
        catch (...)
        {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            ++g_objects;
        else if (--g_objects == 0 && g_idle)
            SetEvent(g_idle.get());
        return S_OK;
    }
};

// ------------------------------------------------------------ process modes

class RegKey
{
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey()
    {
        if (key_)
            RegCloseKey(key_);
    }
    HKEY* put() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::wstring ModulePath()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

LONG SetDefault(const std::wstring& keyPath, const std::wstring& value)
{
    RegKey key;
    LONG rc =
        RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    return RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

int Register()
{
    const std::wstring clsid = std::wstring(L"CLSID\\") + kTestServerClsidText;
    if (SetDefault(clsid, L"opcidl test server") != ERROR_SUCCESS)
        return 1;
    return SetDefault(clsid + L"\\LocalServer32", L"\"" + ModulePath() + L"\"") == ERROR_SUCCESS ? 0 : 1;
}

int Unregister()
{
    const std::wstring clsid = std::wstring(L"CLSID\\") + kTestServerClsidText;
    LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, clsid.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? 0 : 1;
}

int Serve(bool persist)
{
    Handle alive(CreateMutexW(nullptr, TRUE, kAliveMutexName));
    if (!alive)
        return 1;
    // A second start (two clients activating at once) leaves the serving to
    // the instance that is already there.
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;
    Handle ready(CreateEventW(nullptr, TRUE, FALSE, kReadyEventName));
    Handle stop(CreateEventW(nullptr, TRUE, FALSE, kStopEventName));
    g_idle.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!ready || !stop || !g_idle)
        return 1;

    COpcApartment apartment;
    if (FAILED(apartment.Result()))
        return 1;
    static Factory factory;
    DWORD cookie = 0;
    if (FAILED(
            CoRegisterClassObject(CLSID_OpcIdlTestServer, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
        return 1;
    SetEvent(ready.get());

    // Persistent: until /stop. COM-started: until the last object is gone, or
    // after a while without any, so an instance nobody uses does not linger.
    HANDLE waits[] = {stop.get(), g_idle.get()};
    for (;;)
    {
        const DWORD timeout = persist || g_objects > 0 ? INFINITE : 30000;
        DWORD w = WaitForMultipleObjects(persist ? 1 : 2, waits, FALSE, timeout);
        if (w == WAIT_OBJECT_0 || w == WAIT_TIMEOUT || w == WAIT_FAILED)
            break;
        if (w == WAIT_OBJECT_0 + 1 && g_objects == 0)
            break;
    }
    CoRevokeClassObject(cookie);
    ResetEvent(ready.get());
    ReleaseMutex(alive.get());
    return 0;
}

// Starts a persistent instance with its standard handles on NUL: a server
// that kept the caller's pipes would keep ctest waiting for the end of them.
int Start()
{
    if (Register() != 0)
        return 1;
    Handle ready(CreateEventW(nullptr, TRUE, FALSE, kReadyEventName));
    if (!ready)
        return 1;
    Handle running(OpenMutexW(SYNCHRONIZE, FALSE, kAliveMutexName));
    if (running)
        return WaitForSingleObject(ready.get(), 30000) == WAIT_OBJECT_0 ? 0 : 1;

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    Handle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr));
    if (!nul)
        return 1;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul.get();
    std::wstring command = L"\"" + ModulePath() + L"\" -Embedding /persist";
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi))
        return 1;
    Handle process(pi.hProcess);
    Handle thread(pi.hThread);
    HANDLE waits[] = {ready.get(), process.get()};
    return WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0 ? 0 : 1;
}

int Stop()
{
    Handle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName));
    Handle alive(OpenMutexW(SYNCHRONIZE, FALSE, kAliveMutexName));
    if (!stop || !alive)
        return 0; // nothing running
    SetEvent(stop.get());
    DWORD w = WaitForSingleObject(alive.get(), 15000);
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED)
    {
        ReleaseMutex(alive.get());
        return 0;
    }
    std::fprintf(stderr, "test server did not stop: wait %lu, error %lu\n", w, GetLastError());
    return 1;
}

} // namespace

int main()
{
    struct LocalDelete
    {
        void operator()(LPWSTR* p) const { LocalFree(p); }
    };
    int argc = 0;
    std::unique_ptr<LPWSTR, LocalDelete> args(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!args)
        return 1;
    LPWSTR* argv = args.get();
    bool embedding = false, persist = false;
    int mode = 0; // 1 register, 2 unregister, 3 start, 4 stop
    for (int i = 1; i < argc; ++i)
    {
        const wchar_t* a = argv[i];
        if (*a == L'-' || *a == L'/')
            ++a;
        if (_wcsicmp(a, L"Embedding") == 0)
            embedding = true;
        else if (_wcsicmp(a, L"persist") == 0)
            persist = true;
        else if (_wcsicmp(a, L"regserver") == 0)
            mode = 1;
        else if (_wcsicmp(a, L"unregserver") == 0)
            mode = 2;
        else if (_wcsicmp(a, L"start") == 0)
            mode = 3;
        else if (_wcsicmp(a, L"stop") == 0)
            mode = 4;
    }
    switch (mode)
    {
    case 1: return Register();
    case 2: return Unregister();
    case 3: return Start();
    case 4: return Stop();
    default: return embedding ? Serve(persist) : 2;
    }
}
